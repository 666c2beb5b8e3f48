// tavod with the bus-attached outputs (TFT panel, dot matrix, radio, port
// expander): on a machine without their device files each is left out with its
// message and listed as failed while the show goes on; with the bus simulated,
// all of them play.
#include "TavodTestSupport.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>

extern char** environ;

using namespace tavodtest;

namespace {

// The four outputs on the first 300 channels, and a CustomUDP output after them
// that shows whether the show goes on.
std::string busOutputs(int udpPort) {
    return "{\"type\": \"TftPanel\", \"startChannel\": 1, \"channelCount\": 300, \"bpp\": 16}, "
           "{\"type\": \"DotMatrix\", \"startChannel\": 1, \"channelCount\": 64, \"panels\": 1, "
           "\"channelsPerPixel\": 1}, "
           "{\"type\": \"RadioLink\", \"startChannel\": 1, \"channelCount\": 64, \"channel\": 76, \"speed\": "
           "2}, "
           "{\"type\": \"PortExpander\", \"startChannel\": 1, \"channelCount\": 16, \"deviceID\": 32}, " +
           customUdp(301, 300, udpPort, "{data}");
}

// tavod with its HTTP API on a socket bound here first and handed over the way a
// service manager does (fd 3, LISTEN_FDS), so that no other process can take the
// port in between.
class TavodWithApi {
public:
    TavodWithApi(const MediaDir& media, const std::vector<std::string>& args) {
        m_err = media.file("tavod.stderr");
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (s < 0 || bind(s, (struct sockaddr*)&a, sizeof(a)) != 0 || listen(s, 16) != 0 ||
            getsockname(s, (struct sockaddr*)&a, &len) != 0) {
            ADD_FAILURE() << "cannot make the API socket: " << strerror(errno);
            return;
        }
        port = ntohs(a.sin_port);

        std::vector<std::string> argv = {std::string(TAVO_BIN_DIR) + "/tavod",
                                         "--media-dir",
                                         media.path(),
                                         "--plugin-dir",
                                         TAVO_PLUGIN_DIR,
                                         "--quiet",
                                         "--log-level",
                                         "channelout=debug"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargs;
        for (std::string& x : argv) {
            cargs.push_back(&x[0]);
        }
        cargs.push_back(nullptr);
        // The child writes its own pid into LISTEN_PID: only async-signal-safe work after fork.
        std::vector<std::string> env = {"LISTEN_FDS=1", "LISTEN_FDNAMES=http", "LISTEN_PID=0000000000"};
        for (char** e = environ; *e; e++) {
            if (strncmp(*e, "LISTEN_", 7) != 0) {
                env.push_back(*e);
            }
        }
        std::vector<char*> cenv;
        for (std::string& x : env) {
            cenv.push_back(&x[0]);
        }
        cenv.push_back(nullptr);
        char* pidDigits = cenv[2] + strlen("LISTEN_PID=");
        int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
        m_pid = fork();
        if (m_pid == 0) {
            unsigned long p = (unsigned long)getpid();
            for (int i = 9; i >= 0; i--, p /= 10) {
                pidDigits[i] = (char)('0' + p % 10);
            }
            dup2(devnull, STDIN_FILENO);
            dup2(devnull, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            dup2(s, 3); // without close-on-exec
            execve(cargs[0], cargs.data(), cenv.data());
            _exit(127);
        }
        close(err);
        close(devnull);
        close(s);
    }
    ~TavodWithApi() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
        }
    }
    bool running() {
        if (!m_exited && waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
            m_exited = true;
        }
        return !m_exited;
    }
    // SIGTERM, then the exit status (-1 when it did not end within 10 s).
    int stop() {
        if (m_pid <= 0) {
            return -1; // no child: kill(-1) would signal every process
        }
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 1000 && running(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (running()) {
            return -1;
        }
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 1000 + WTERMSIG(m_status);
    }
    std::string err() const { return readFileBytes(m_err); }
    Json::Value get(const std::string& path) {
        Json::Value v;
        LoadJsonFromString(httpRequest(port, "GET", path).body, v);
        return v;
    }

    int port = 0;

private:
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
    std::string m_err;
};

class TavodBusOutputsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(media.writeSequence("show.lcsf", 600, 20, 25)); }

    MediaDir media;
    TimedUdpReceiver rx;
};

} // namespace

TEST_F(TavodBusOutputsTest, WithoutTheirDevicesTheyAreLeftOutAndTheShowGoesOn) {
    // This machine has no SPI, I2C or GPIO register devices; on one that has, the
    // settings point the outputs at files that do not exist.
    bool boardDevices = false;
    for (const char* f : {"/dev/spidev0.0", "/dev/spidev0.1", "/dev/i2c-1", "/dev/gpiomem"}) {
        boardDevices |= access(f, F_OK) == 0;
    }
    std::string devices = boardDevices ? media.file("none") : "/dev";
    if (boardDevices) {
        media.writeConfig("settings.json",
                          "{\"SPIDevice\": \"" + devices + "/spidev{port}.{cs}\", \"I2CDevice\": \"" +
                              devices + "/i2c-{bus}\", \"GPIOMemDevice\": \"" + devices + "/gpiomem\"}");
    }
    media.writeOutputs(busOutputs(rx.port()));
    TavodWithApi tavod(media, {"play", "show.lcsf", "--loop"});
    ASSERT_NE(0, tavod.port);

    // The show plays to the output that has its device.
    Datagram d;
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(rx.receive(d, 5000)) << tavod.err();
        ASSERT_EQ(300u, d.bytes.size());
    }
    ASSERT_TRUE(tavod.running());

    Json::Value status = tavod.get("/api/status");
    ASSERT_TRUE(status.isObject()) << tavod.err();
    // Each with its own last word on why.
    std::map<std::string, std::string> failed;
    for (const Json::Value& f : status["failedOutputs"]) {
        failed[f["type"].asString()] = f["reason"].asString();
    }
    EXPECT_EQ((std::map<std::string, std::string>{
                  {"DotMatrix", "SPIUtils setup failed"},
                  {"PortExpander", "Error opening I2C device for PortExpander output"},
                  {"RadioLink", "Failed to detect nRF Radio by setting speed to 250k!"},
                  {"TftPanel",
                   "Cannot open " + devices + "/gpiomem for the GPIO registers: No such file or directory"}}),
              failed);
    ASSERT_EQ(1u, status["outputs"].size());
    EXPECT_EQ("CustomUDP", status["outputs"][0]["type"].asString());

    // Each says what is missing, in the log and among the user warnings.
    std::string err = tavod.err();
    for (const std::string& message : std::vector<std::string>{
             "Cannot open " + devices + "/gpiomem for the GPIO registers: No such file or directory",
             "SPI device " + devices + "/spidev0.0: cannot open: No such file or directory",
             std::string("SPIUtils setup failed"),
             "SPI device " + devices + "/spidev0.1: cannot open: No such file or directory",
             std::string("Failed to detect nRF Radio by setting speed to 250k!"),
             "I2C " + devices + "/i2c-1 device 0x20: cannot open: No such file or directory",
             std::string("Error opening I2C device for PortExpander output"),
             std::string("Output 0 (type TftPanel, channels 1 to 300) is left out: Cannot open"),
             std::string("Output 3 (type PortExpander, channels 1 to 16) is left out")}) {
        EXPECT_NE(std::string::npos, err.find(message)) << message << "\n" << err;
    }
    Json::Value warnings = tavod.get("/api/warnings");
    std::string all = SaveJsonToString(warnings, "");
    for (const char* w :
         {"TftPanel output: cannot use the GPIO registers", "DotMatrix output: cannot open",
          "RadioLink output: no nRF24L01 radio answers", "PortExpander output: cannot open"}) {
        EXPECT_NE(std::string::npos, all.find(w)) << w << "\n" << all;
    }

    EXPECT_EQ(0, tavod.stop()) << tavod.err();
}

TEST_F(TavodBusOutputsTest, WithTheBusSimulatedEveryOneOfThemPlays) {
    media.writeConfig("settings.json", "{\"BusSimulation\": \"nrf24l01\"}");
    media.writeOutputs(busOutputs(rx.port()));
    std::unique_ptr<Tavod> t(
        new Tavod(media.path(), tavodArgs(media, {"--log-level", "channelout=excess", "play", "show.lcsf"})));
    ASSERT_TRUE(t->wait(60000));
    EXPECT_EQ(0, t->exitCode()) << t->err();
    std::string err = t->err();
    EXPECT_EQ(std::string::npos, err.find("is left out")) << err;
    int frames = 0;
    Datagram d;
    while (rx.receive(d, 200)) {
        frames++;
    }
    EXPECT_EQ(21, frames); // 20 frames and the blank

    // Every bus output handled the frames: each leaves its per-frame line.
    auto count = [&](const std::string& needle) {
        int n = 0;
        for (size_t at = err.find(needle); at != std::string::npos; at = err.find(needle, at + 1)) {
            n++;
        }
        return n;
    };
    EXPECT_GE(count("TftPanelOutput::RawSendData("), 1);
    EXPECT_GE(count("DotMatrixOutput::SendData("), 20);
    EXPECT_GE(count("Shipping off packet 2 (offset: 60/64, size: 4)"), 20);
    EXPECT_GE(count("PortExpanderOutput::SendData("), 20);
}

// With the pins of pins.json (the pin objects tavod loads, not the bus simulation's)
// and an SPI device standing in for spidev, the dot matrix drives its chip-select
// pin low before each transfer and high after it, frame after frame: the pins tavod
// loads again when its GPIO services start are the ones the output already holds.
TEST_F(TavodBusOutputsTest, TheDotMatrixFramesEveryTransferWithItsChipSelectPin) {
    std::string pins = media.file("pins");
    // The relay first: a chip-select pin freed and made again would land on it.
    media.writeConfig("pins.json", "{\"provider\": \"simulated\", \"simulatedDir\": \"" + pins +
                                       "\", \"pins\": [{\"name\": \"Relay\", \"line\": 17}, "
                                       "{\"name\": \"CS\", \"line\": 8}]}");
    writeFileBytes(media.file("spidev0.0"), "");
    char device[PATH_MAX];
    ASSERT_NE(nullptr, realpath(media.file("spidev0.0").c_str(), device));
    media.writeConfig("settings.json", "{\"SPIDevice\": \"" + media.path() + "/spidev{port}.{cs}\"}");
    media.writeOutputs("{\"type\": \"DotMatrix\", \"startChannel\": 1, \"channelCount\": 64, "
                       "\"panels\": 1, \"channelsPerPixel\": 1}");

    // The stand-in writes each transfer into the chip-select pin's own trace, in
    // order with the pin's changes.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("LD_PRELOAD", TAVO_SPIDEV_STANDIN, 1);
    setenv("SPIDEV_STANDIN", device, 1);
    setenv("SPIDEV_STANDIN_TRACE", (pins + "/CS.trace").c_str(), 1);
    setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    Tavod t(media.path(), tavodArgs(media, {"--log-level", "channelout=excess", "play", "show.lcsf"}));
    unsetenv("LD_PRELOAD");
    unsetenv("SPIDEV_STANDIN");
    unsetenv("SPIDEV_STANDIN_TRACE");
    if (asan.empty()) {
        unsetenv("ASAN_OPTIONS");
    } else {
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
    ASSERT_TRUE(t.wait(60000));
    ASSERT_EQ(0, t.exitCode()) << t.err();

    std::vector<std::string> lines;
    std::istringstream trace(readFileBytes(pins + "/CS.trace"));
    for (std::string line; std::getline(trace, line);) {
        lines.push_back(line);
    }
    // Made an output (which drives it low), then low, one transfer, high, each time.
    ASSERT_FALSE(lines.empty()) << t.err();
    EXPECT_EQ("0", lines[0]);
    int transfers = 0;
    for (size_t i = 1; i < lines.size(); i += 3, transfers++) {
        ASSERT_LE(i + 3, lines.size()) << "transfer " << transfers << " is not framed";
        ASSERT_EQ("0", lines[i]) << "before transfer " << transfers;
        ASSERT_EQ("spi ", lines[i + 1].substr(0, 4)) << "transfer " << transfers;
        ASSERT_EQ("1", lines[i + 2]) << "after transfer " << transfers;
    }
    // The five set-up commands, and eight rows for each frame played.
    EXPECT_GE(transfers, 5 + 8);
    EXPECT_EQ(0, (transfers - 5) % 8) << transfers;
    EXPECT_NE(std::string::npos, t.err().find("DotMatrixOutput::SendData(")) << t.err();
    EXPECT_FALSE(FileExists(pins + "/Relay.trace"))
        << "the relay was driven: " << readFileBytes(pins + "/Relay.trace");
}
