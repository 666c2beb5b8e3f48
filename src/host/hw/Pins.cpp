// Pin registry and the two pin providers: libgpiod v1 lines, and simulated pins.
#include "host/hw/Pins.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/hw/BusSimulation.h"

#include <fcntl.h>
#include <gpiod.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// The pin returned for a name (or number) that no pin has.
class NoPin : public PinCapabilities {
public:
    NoPin() : PinCapabilities("", -1) {}
    const PinCapabilities* ptr() const override { return nullptr; }
};

int gpiodFlagsForMode(const std::string& mode) {
    if (mode == "gpio_pu") {
        return GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP;
    }
    if (mode == "gpio_pd") {
        return GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN;
    }
    return 0;
}

// A line of a GPIO chip. The chip is opened on first use and the line requested
// by configPin or requestEventFile; mutable because pins are handed out const.
class GPIODPin : public PinCapabilities {
public:
    GPIODPin(const std::string& name, int gpio, const std::string& chipName, unsigned int line)
        : PinCapabilities(name, gpio), m_chipName(chipName), m_offset(line) {}
    ~GPIODPin() override {
        releaseGPIOD();
        if (m_chip) {
            gpiod_chip_close(m_chip);
        }
    }

    bool configPin(const std::string& mode, bool directionOut,
                   const std::string& description) const override {
        if (!openLine()) {
            return false;
        }
        releaseGPIOD();
        m_mode = mode;
        m_consumer = description.empty() ? "tavod" : description;
        int rc = directionOut
                     ? gpiod_line_request_output(m_line, m_consumer.c_str(), 0)
                     : gpiod_line_request_input_flags(m_line, m_consumer.c_str(), gpiodFlagsForMode(mode));
        if (rc != 0) {
            reportOnce("Cannot request GPIO line " + m_chipName + ":" + std::to_string(m_offset) + " (" +
                       name + ") as " + (directionOut ? "output" : "input") + ": " + strerror(errno));
            return false;
        }
        m_output = directionOut;
        m_reported = false;
        return true;
    }
    int getValue() const override {
        if (!m_line || !gpiod_line_is_requested(m_line)) {
            if (!configPin(m_mode, false, m_consumer)) {
                return 0;
            }
        }
        int v = gpiod_line_get_value(m_line);
        return v < 0 ? 0 : v;
    }
    void setValue(bool value) const override {
        if (!m_line || !gpiod_line_is_requested(m_line) || !m_output) {
            if (!configPin(m_mode, true, m_consumer)) {
                return;
            }
        }
        if (gpiod_line_set_value(m_line, value ? 1 : 0) != 0) {
            LogErr(LOGCH_GPIO, "Cannot set GPIO %s: %s\n", name.c_str(), strerror(errno));
        }
    }
    bool supportsGpiod() const override { return true; }
    int requestEventFile(bool risingEdge, bool fallingEdge) const override {
        if ((!risingEdge && !fallingEdge) || !openLine()) {
            return -1;
        }
        releaseGPIOD();
        int flags = gpiodFlagsForMode(m_mode);
        int rc;
        if (risingEdge && fallingEdge) {
            rc = gpiod_line_request_both_edges_events_flags(m_line, m_consumer.c_str(), flags);
        } else if (risingEdge) {
            rc = gpiod_line_request_rising_edge_events_flags(m_line, m_consumer.c_str(), flags);
        } else {
            rc = gpiod_line_request_falling_edge_events_flags(m_line, m_consumer.c_str(), flags);
        }
        if (rc != 0) {
            LogWarn(LOGCH_GPIO, "GPIO %s cannot deliver line events (%s); it will be polled\n", name.c_str(),
                    strerror(errno));
            return -1;
        }
        m_output = false;
        return gpiod_line_event_get_fd(m_line);
    }
    void releaseGPIOD() const override {
        if (m_line && gpiod_line_is_requested(m_line)) {
            gpiod_line_release(m_line);
        }
    }
    Json::Value toJSON() const override {
        Json::Value v = PinCapabilities::toJSON();
        v["provider"] = "gpiod";
        v["gpioChip"] = m_chipName;
        v["gpioLine"] = m_offset;
        return v;
    }

private:
    bool openLine() const {
        if (m_line) {
            return true;
        }
        if (!m_chip) {
            m_chip = gpiod_chip_open_lookup(m_chipName.c_str());
            if (!m_chip) {
                reportOnce("Cannot open GPIO chip " + m_chipName + " for " + name + ": " + strerror(errno));
                return false;
            }
        }
        m_line = gpiod_chip_get_line(m_chip, m_offset);
        if (!m_line) {
            reportOnce("GPIO chip " + m_chipName + " has no line " + std::to_string(m_offset) + " (" + name +
                       ")");
            return false;
        }
        return true;
    }
    // A polled pin is read every few milliseconds: one message per failure, not one per read.
    void reportOnce(const std::string& text) const {
        if (!m_reported) {
            LogErr(LOGCH_GPIO, "%s\n", text.c_str());
            m_reported = true;
        }
    }

    const std::string m_chipName;
    const unsigned int m_offset;
    mutable struct gpiod_chip* m_chip = nullptr;
    mutable struct gpiod_line* m_line = nullptr;
    mutable std::string m_mode = "gpio";
    mutable std::string m_consumer = "tavod";
    mutable bool m_output = false;
    mutable bool m_reported = false; // a failure was logged and nothing has worked since
};

// A pin played by files in a folder, so that a test drives it from outside:
//   NAME.value   its value as decimal text ("0", "1", "5"); read by getValue,
//                written by setValue; a missing or unreadable file reads 0
//   NAME.events  a FIFO that takes kernel line events (struct gpioevent_data,
//                16 bytes each); it is the pin's event file, or, when only one
//                edge is asked for, feeds it with the events of that edge only
//   NAME.config  "MODE in|out DESCRIPTION", rewritten by each configPin
//   NAME.trace   every value the line was driven to, one per line, in order
// Like a line of the character device, a line configured as an output is driven
// to 0 by the request itself.
class SimulatedPin : public PinCapabilities {
public:
    SimulatedPin(const std::string& name, int gpio, const std::string& dir, bool edges)
        : PinCapabilities(name, gpio), m_dir(dir), m_edges(edges) {}
    ~SimulatedPin() override { releaseGPIOD(); }

    bool configPin(const std::string& mode, bool directionOut,
                   const std::string& description) const override {
        std::ofstream out(file(".config"), std::ios::trunc);
        out << mode << (directionOut ? " out " : " in ") << description << "\n";
        if (!out) {
            LogErr(LOGCH_GPIO, "Cannot write %s: %s\n", file(".config").c_str(), strerror(errno));
            return false;
        }
        if (directionOut) {
            drive(false);
        }
        return true;
    }
    int getValue() const override {
        std::ifstream in(file(".value"));
        long v = 0;
        if (!(in >> v) || v < INT32_MIN || v > INT32_MAX) {
            return 0;
        }
        return static_cast<int>(v);
    }
    void setValue(bool value) const override { drive(value); }
    bool supportsGpiod() const override { return m_edges; }
    int requestEventFile(bool risingEdge, bool fallingEdge) const override {
        if (!m_edges || (!risingEdge && !fallingEdge)) {
            return -1;
        }
        releaseGPIOD();
        std::string path = file(".events");
        if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) {
            LogErr(LOGCH_GPIO, "Cannot create %s: %s\n", path.c_str(), strerror(errno));
            return -1;
        }
        m_readFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // Our own writer keeps the FIFO from reporting hang-up, over and over,
        // whenever no test has it open.
        m_keepFd = m_readFd < 0 ? -1 : open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_readFd < 0 || m_keepFd < 0) {
            LogErr(LOGCH_GPIO, "Cannot open %s: %s\n", path.c_str(), strerror(errno));
            releaseGPIOD();
            return -1;
        }
        if (risingEdge && fallingEdge) {
            return m_readFd;
        }
        // A line asked for one edge never reports the other: a thread passes on
        // only the events of the edge asked for.
        int deliver[2] = {-1, -1};
        if (pipe2(deliver, O_NONBLOCK | O_CLOEXEC) != 0 || pipe2(m_stopFds, O_NONBLOCK | O_CLOEXEC) != 0) {
            LogErr(LOGCH_GPIO, "Cannot make the event pipe of %s: %s\n", name.c_str(), strerror(errno));
            closeFd(deliver[0]);
            closeFd(deliver[1]);
            releaseGPIOD();
            return -1;
        }
        m_deliverFd = deliver[0];
        m_filter = std::thread(passEdges, m_readFd, deliver[1], m_stopFds[0],
                               risingEdge ? GPIOEVENT_EVENT_RISING_EDGE : GPIOEVENT_EVENT_FALLING_EDGE);
        return m_deliverFd;
    }
    void releaseGPIOD() const override {
        if (m_filter.joinable()) {
            char stop = 1;
            ssize_t w = write(m_stopFds[1], &stop, 1);
            (void)w;
            m_filter.join();
        }
        closeFd(m_stopFds[0]);
        closeFd(m_stopFds[1]);
        closeFd(m_deliverFd);
        closeFd(m_readFd);
        closeFd(m_keepFd);
    }
    Json::Value toJSON() const override {
        Json::Value v = PinCapabilities::toJSON();
        v["provider"] = "simulated";
        return v;
    }

private:
    std::string file(const char* suffix) const { return m_dir + "/" + name + suffix; }

    void drive(bool value) const {
        // Written whole under another name and renamed, so a reader never sees half a value.
        std::string tmp = file(".value.tmp");
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << (value ? 1 : 0) << "\n";
        }
        if (rename(tmp.c_str(), file(".value").c_str()) != 0) {
            LogErr(LOGCH_GPIO, "Cannot set simulated GPIO %s: %s\n", name.c_str(), strerror(errno));
        }
        std::ofstream trace(file(".trace"), std::ios::app);
        trace << (value ? 1 : 0) << "\n";
    }

    static void closeFd(int& fd) {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }

    // Copies the events of edge `id` from `from` to `to` (whose writing end it
    // closes) until `stop` is readable.
    static void passEdges(int from, int to, int stop, uint32_t id) {
        struct gpioevent_data ev;
        size_t have = 0; // bytes of `ev` read so far
        while (true) {
            struct pollfd fds[2] = {{from, POLLIN, 0}, {stop, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[1].revents) {
                break;
            }
            if (!(fds[0].revents & POLLIN)) {
                continue;
            }
            ssize_t n = read(from, reinterpret_cast<char*>(&ev) + have, sizeof(ev) - have);
            if (n <= 0) {
                continue;
            }
            have += (size_t)n;
            if (have == sizeof(ev)) {
                have = 0;
                if (ev.id == id) {
                    ssize_t w = write(to, &ev, sizeof(ev));
                    (void)w;
                }
            }
        }
        close(to);
    }

    const std::string m_dir;
    const bool m_edges;
    mutable int m_readFd = -1;
    mutable int m_keepFd = -1;
    mutable int m_deliverFd = -1;        // the event file handed out when one edge is asked for
    mutable int m_stopFds[2] = {-1, -1}; // a byte here ends m_filter
    mutable std::thread m_filter;        // passes on the edge asked for
};

struct Registry {
    std::mutex lock; // guards everything below
    bool initialised = false;
    std::vector<std::unique_ptr<PinCapabilities>> pins;
    std::vector<std::string> keys; // what each pin of `pins` is made from (pinKey)
    // Pins of an earlier configuration that it no longer has: outputs and inputs may
    // still hold them, so they are kept until ClearPins.
    std::vector<std::unique_ptr<PinCapabilities>> retired;
    std::map<std::string, const PinCapabilities*> byName;
    std::map<int, const PinCapabilities*> byGPIO;
    std::map<std::pair<int, int>, const PinCapabilities*> byChipLine; // (chip number, line)
};

Registry& registry() {
    static Registry r;
    return r;
}

const NoPin& noPin() {
    static NoPin p;
    return p;
}

// Pin names become file names for simulated pins and keys everywhere.
bool validPinName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name.find('/') == std::string::npos && name[0] != '.';
}

// The number N of a chip named "gpiochipN", "/dev/gpiochipN" or "N"; -1 for a label.
int chipNumber(const std::string& chip) {
    std::string digits = chip;
    for (const char* prefix : {"/dev/gpiochip", "gpiochip"}) {
        if (digits.compare(0, strlen(prefix), prefix) == 0) {
            digits = digits.substr(strlen(prefix));
            break;
        }
    }
    if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return atoi(digits.c_str());
}

// The pins of the configuration being replaced, by what they were made from.
using SparePins = std::map<std::string, std::unique_ptr<PinCapabilities>>;

// What a pin is made from: a pin configured again from the same is the same object.
std::string pinKey(const char* provider, const std::string& name, int gpio, const std::string& where,
                   long detail) {
    return std::string(provider) + "\n" + name + "\n" + std::to_string(gpio) + "\n" + where + "\n" +
           std::to_string(detail);
}

// Forgets the configured pins; they go into `spare` to be taken up again, or are
// retired, never freed: whoever holds one keeps a live object.
void forgetPins(Registry& r, SparePins* spare) {
    for (size_t i = 0; i < r.pins.size(); i++) {
        if (spare && !spare->count(r.keys[i])) {
            (*spare)[r.keys[i]] = std::move(r.pins[i]);
        } else {
            r.retired.push_back(std::move(r.pins[i]));
        }
    }
    r.pins.clear();
    r.keys.clear();
    r.byName.clear();
    r.byGPIO.clear();
    r.byChipLine.clear();
    r.initialised = true;
}

// Adds the pin of `key`: the spare one made from the same, else `make()`.
template <typename Make>
void addPin(Registry& r, SparePins& spare, const std::string& key, const std::string& name, Make make,
            int chip = -1, int line = -1) {
    if (r.byName.count(name)) {
        LogErr(LOGCH_GPIO, "pins.json: pin name %s is given twice; the first one is kept\n", name.c_str());
        return;
    }
    std::unique_ptr<PinCapabilities> pin;
    auto it = spare.find(key);
    if (it != spare.end()) {
        pin = std::move(it->second);
        spare.erase(it);
    } else {
        pin = make();
    }
    r.byName[pin->name] = pin.get();
    if (pin->kernelGpio >= 0 && !r.byGPIO.count(pin->kernelGpio)) {
        r.byGPIO[pin->kernelGpio] = pin.get();
    }
    if (chip >= 0 && line >= 0 && !r.byChipLine.count({chip, line})) {
        r.byChipLine[{chip, line}] = pin.get();
    }
    r.pins.push_back(std::move(pin));
    r.keys.push_back(key);
}

// Every line of every GPIO chip, named by the kernel's line name where it has one.
void addBoardPins(Registry& r, SparePins& spare) {
    struct gpiod_chip_iter* iter = gpiod_chip_iter_new();
    if (!iter) {
        LogDebug(LOGCH_GPIO, "No GPIO chips found\n");
        return;
    }
    struct gpiod_chip* chip;
    int gpioBase = 0;
    gpiod_foreach_chip(iter, chip) {
        std::string chipName = gpiod_chip_name(chip);
        unsigned int lines = gpiod_chip_num_lines(chip);
        for (unsigned int i = 0; i < lines; i++) {
            struct gpiod_line* line = gpiod_chip_get_line(chip, i);
            const char* lineName = line ? gpiod_line_name(line) : nullptr;
            std::string name =
                lineName && validPinName(lineName) ? lineName : chipName + "-" + std::to_string(i);
            if (r.byName.count(name)) {
                name = chipName + "-" + std::to_string(i);
            }
            int gpio = gpioBase + static_cast<int>(i);
            addPin(
                r, spare, pinKey("gpiod", name, gpio, chipName, i), name,
                [&] { return std::make_unique<GPIODPin>(name, gpio, chipName, i); }, chipNumber(chipName),
                static_cast<int>(i));
        }
        gpioBase += static_cast<int>(lines);
    }
    gpiod_chip_iter_free(iter);
}

bool configureFrom(Registry& r, SparePins& spare, const Json::Value& config, const std::string& baseDir) {
    if (!config.isObject()) {
        LogErr(LOGCH_GPIO, "pins.json: the top level must be an object\n");
        return false;
    }
    const Json::Value& provider = config["provider"];
    if (!provider.isNull() && !provider.isString()) {
        LogErr(LOGCH_GPIO, "pins.json: \"provider\" must be \"gpiod\" or \"simulated\"\n");
        return false;
    }
    std::string kind = provider.isString() ? provider.asString() : "gpiod";
    if (kind != "gpiod" && kind != "simulated") {
        LogErr(LOGCH_GPIO, "pins.json: unknown provider \"%s\"; use \"gpiod\" or \"simulated\"\n",
               kind.c_str());
        return false;
    }
    std::string dir;
    if (kind == "simulated") {
        const Json::Value& d = config["simulatedDir"];
        dir = d.isString() && !d.asString().empty() ? d.asString() : "gpio-sim";
        if (dir[0] != '/') {
            dir = baseDir + "/" + dir;
        }
        mkdir(dir.c_str(), 0777);
    }
    const Json::Value& pins = config["pins"];
    if (pins.isNull() && kind == "gpiod") {
        addBoardPins(r, spare);
        return true;
    }
    if (!pins.isArray()) {
        LogErr(LOGCH_GPIO, "pins.json: \"pins\" must be an array of pin objects\n");
        return false;
    }
    bool ok = true;
    for (Json::ArrayIndex i = 0; i < pins.size(); i++) {
        const Json::Value& p = pins[i];
        if (!p.isObject() || !p["name"].isString() || !validPinName(p["name"].asString())) {
            LogErr(LOGCH_GPIO, "pins.json: pin %u needs a \"name\" (text without \"/\"); skipped\n", i);
            ok = false;
            continue;
        }
        std::string name = p["name"].asString();
        const Json::Value& gpio = p["gpio"];
        if (!gpio.isNull() && !(gpio.isInt() && gpio.asInt() >= 0)) {
            LogErr(LOGCH_GPIO, "pins.json: pin %s: \"gpio\" must be a number from 0; skipped\n",
                   name.c_str());
            ok = false;
            continue;
        }
        int number = gpio.isNull() ? -1 : gpio.asInt();
        if (kind == "simulated") {
            const Json::Value& edges = p["edges"];
            if (!edges.isNull() && !edges.isBool()) {
                LogErr(LOGCH_GPIO, "pins.json: pin %s: \"edges\" must be true or false; skipped\n",
                       name.c_str());
                ok = false;
                continue;
            }
            // "chip" and "line" are optional here: they let bus outputs find the pin by its line.
            const Json::Value& chip = p["chip"];
            const Json::Value& line = p["line"];
            int chipNo = chip.isUInt()     ? (int)chip.asUInt()
                         : chip.isString() ? chipNumber(chip.asString())
                                           : 0;
            bool withEdges = edges.isNull() || edges.asBool();
            addPin(
                r, spare, pinKey("simulated", name, number, dir, withEdges), name,
                [&] { return std::make_unique<SimulatedPin>(name, number, dir, withEdges); }, chipNo,
                line.isUInt() ? (int)line.asUInt() : -1);
        } else {
            const Json::Value& chip = p["chip"];
            const Json::Value& line = p["line"];
            if (!chip.isString() || !line.isUInt()) {
                LogErr(LOGCH_GPIO,
                       "pins.json: pin %s needs \"chip\" (a text) and \"line\" (a number from 0); skipped\n",
                       name.c_str());
                ok = false;
                continue;
            }
            addPin(
                r, spare, pinKey("gpiod", name, number, chip.asString(), line.asUInt()), name,
                [&] { return std::make_unique<GPIODPin>(name, number, chip.asString(), line.asUInt()); },
                chipNumber(chip.asString()), (int)line.asUInt());
        }
    }
    return ok;
}

// Configures the pins anew; a pin made from the same as before is the same object.
bool configureLocked(Registry& r, const Json::Value& config, const std::string& baseDir) {
    SparePins spare;
    forgetPins(r, &spare);
    bool ok = configureFrom(r, spare, config, baseDir);
    for (auto& p : spare) {
        r.retired.push_back(std::move(p.second));
    }
    return ok;
}

bool initLocked(Registry& r, const std::string& path) {
    std::string file = path.empty() ? getTavoMediaDir("config/pins.json") : path;
    if (!FileExists(file)) {
        return configureLocked(r, Json::Value(Json::objectValue), getTavoMediaDir());
    }
    Json::Value config;
    std::string error;
    if (!LoadJsonFromFile(file, config, &error)) {
        LogErr(LOGCH_GPIO, "Cannot read %s: %s\n", file.c_str(), error.c_str());
        forgetPins(r, nullptr);
        return false;
    }
    return configureLocked(r, config, getTavoMediaDir());
}

void ensureInitialised(Registry& r) {
    if (!r.initialised) {
        initLocked(r, "");
    }
}

} // namespace

PinCapabilities::PinCapabilities(const std::string& name, int gpio) : name(name), kernelGpio(gpio) {}
PinCapabilities::~PinCapabilities() {}

bool PinCapabilities::configPin(const std::string&, bool, const std::string&) const {
    return true;
}
int PinCapabilities::getValue() const {
    return 0;
}
void PinCapabilities::setValue(bool) const {}
bool PinCapabilities::supportsGpiod() const {
    return true;
}
int PinCapabilities::requestEventFile(bool, bool) const {
    return -1;
}
void PinCapabilities::releaseGPIOD() const {}

Json::Value PinCapabilities::toJSON() const {
    Json::Value v(Json::objectValue);
    v["pin"] = name;
    v["gpio"] = kernelGpio;
    v["supportsGpiod"] = supportsGpiod();
    return v;
}

const PinCapabilities& PinCapabilities::getPinByName(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    ensureInitialised(r);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? static_cast<const PinCapabilities&>(noPin()) : *it->second;
}

const PinCapabilities& PinCapabilities::getPinByGPIO(int gpio) {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    ensureInitialised(r);
    auto it = r.byGPIO.find(gpio);
    return it == r.byGPIO.end() ? static_cast<const PinCapabilities&>(noPin()) : *it->second;
}

const PinCapabilities& PinCapabilities::getPinByGPIO(int chip, int line) {
    if (BusSimulation::INSTANCE.Active()) {
        return BusSimulation::INSTANCE.GetPin(chip, line);
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    ensureInitialised(r);
    auto it = r.byChipLine.find({chip, line});
    return it == r.byChipLine.end() ? static_cast<const PinCapabilities&>(noPin()) : *it->second;
}

std::vector<std::string> PinCapabilities::getPinNames() {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    ensureInitialised(r);
    std::vector<std::string> names;
    for (const auto& p : r.pins) {
        names.push_back(p->name);
    }
    return names;
}

bool PinCapabilities::InitPinCapabilities(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    return initLocked(r, path);
}

bool PinCapabilities::ConfigurePins(const Json::Value& config, const std::string& baseDir) {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    return configureLocked(r, config, baseDir);
}

void PinCapabilities::ClearPins() {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    forgetPins(r, nullptr);
    r.retired.clear();
}
