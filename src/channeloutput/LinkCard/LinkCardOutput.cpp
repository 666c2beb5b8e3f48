// The "LinkCard" output: configuration, link checks, the raw socket, the messages
// built once in Init, and the per-frame copy and sending.
#include "LinkCardOutput.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/Matrix.h"
#include "host/output/PanelConfig.h"
#include "host/output/PanelMatrix.h"
#include "host/output/PixelOverlay.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

using namespace linkcard;

namespace {

const char* const DEFAULT_SYSFS_ROOT = "/sys/class/net/";
// A frame gets this long to go out before the rest is dropped.
const int64_t SEND_RETRY_MS = 22;
// How often the watch looks at the interface.
const std::chrono::milliseconds WATCH_PERIOD(1000);

int systemSendmmsg(int fd, struct mmsghdr* messages, unsigned int count, int flags) {
    return sendmmsg(fd, messages, count, flags);
}

// The errors that say the interface is down or gone: retrying cannot help.
bool linkGoneError(int e) {
    return e == ENETDOWN || e == ENXIO || e == ENODEV || e == ENETUNREACH;
}

// A full socket buffer empties within the frame: worth a retry.
bool retryableError(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == ENOBUFS || e == EINTR || e == 0;
}

// The first whitespace-delimited word of a file; empty when it cannot be read.
std::string firstWord(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    if (in) {
        in >> word;
    }
    return word;
}

} // namespace

LinkCardOutput::LinkCardOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount), m_send(systemSendmmsg), m_clock(GetTimeMS) {
    LogDebug(LOGCH_CHANNELOUT, "LinkCardOutput::LinkCardOutput(%u, %u)\n", startChannel, channelCount);
    memset(m_gammaTable, 0, sizeof(m_gammaTable));
    memset(&m_if, 0, sizeof(m_if));
    memset(&m_sockAddr, 0, sizeof(m_sockAddr));
}

LinkCardOutput::~LinkCardOutput() {
    LogDebug(LOGCH_CHANNELOUT, "LinkCardOutput::~LinkCardOutput()\n");
    stopWatch();
    if (m_fd >= 0) {
        close(m_fd);
    }
}

std::string LinkCardOutput::GetOutputType() const {
    return "ColorLight Panels";
}

std::string LinkCardOutput::sysfsPath(const std::string& file) const {
    std::string root = m_sysfsRoot.empty() ? DEFAULT_SYSFS_ROOT : m_sysfsRoot;
    if (root.back() != '/') {
        root += '/';
    }
    return root + m_ifName + "/" + file;
}

int LinkCardOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "LinkCardOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!checkLink() || !openSocket()) {
        return 0;
    }
    if (m_firmwareVersion == 0) {
        GetReceiverInfo();
        if (m_receivers.empty() && m_linkDownDisable) {
            return 0;
        }
    }

    bool ok = true;
    int brightness = JsonKeyInt(config, "brightness", 0, "LinkCard output", ok);
    if (!ok) {
        return 0;
    }
    if (brightness < 0 || brightness > 100) {
        // Cut to 8 bits, 101 would make a nearly dark wall.
        LogWarn(LOGCH_CHANNELOUT, "LinkCard: \"brightness\" %d is a percentage from 0 to 100; using 100%%\n",
                brightness);
        brightness = 100;
    }
    m_brightness = BrightnessByte(brightness);
    buildMessages();
    registerOverlayModel(config);
    startWatch();
    return ChannelOutput::Init(config);
}

bool LinkCardOutput::readLayout(const Json::Value& config) {
    bool ok = true;
    m_panelWidth = JsonKeyInt(config, "panelWidth", 0, "LinkCard output", ok);
    m_panelHeight = JsonKeyInt(config, "panelHeight", 0, "LinkCard output", ok);
    if (m_panelWidth == 0) {
        m_panelWidth = 32;
    }
    if (m_panelHeight == 0) {
        m_panelHeight = 16;
    }
    m_invertedData = JsonKeyInt(config, "invertedData", 0, "LinkCard output", ok);
    std::string order = JsonKeyString(config, "colorOrder", "", "LinkCard output", ok);
    bool known = true;
    m_colorOrder = ColorOrderFromString(order, &known);
    if (!known) {
        LogWarn(LOGCH_CHANNELOUT,
                "LinkCard: \"colorOrder\" \"%s\" is none of RGB, RBG, GRB, GBR, BRG, BGR; using RGB\n",
                order.c_str());
    }
    if (!ok) {
        return false;
    }
    if (m_panelWidth < 0 || m_panelHeight < 0) {
        LogErr(LOGCH_CHANNELOUT,
               "LinkCard: the panel size %dx%d is not a size; set \"panelWidth\" and \"panelHeight\"\n",
               m_panelWidth, m_panelHeight);
        return false;
    }

    m_panelMatrix.reset(new PanelMatrix(m_panelWidth, m_panelHeight, m_invertedData));
    m_legacyLayout =
        !config.isMember("cfgVersion") || JsonKeyInt(config, "cfgVersion", 1, "LinkCard output", ok) <= 1;
    int maxOutput = 0;
    int maxChain = 0;
    if (config.isMember("panels")) {
        const Json::Value& panels = config["panels"];
        if (!panels.isArray()) {
            LogErr(LOGCH_CHANNELOUT, "LinkCard: \"panels\" must be a list of panels, not %s\n",
                   JsonTypeName(panels));
            return false;
        }
        for (Json::ArrayIndex i = 0; i < panels.size(); i++) {
            std::string where = "LinkCard panel " + std::to_string(i);
            if (!panels[i].isObject()) {
                LogErr(LOGCH_CHANNELOUT, "%s: must be an object, not %s\n", where.c_str(),
                       JsonTypeName(panels[i]));
                return false;
            }
            Json::Value p = panels[i];
            const PanelEntry entry = ReadPanelEntry(p, where, ok);
            if (!ok) {
                return false;
            }
            const int output = entry.output, chain = entry.chain;
            const std::string& orientation = entry.orientation;
            std::string panelOrder = entry.colorOrder;
            char letter;
            if (orientation.empty()) {
                letter = m_legacyLayout ? 'U' : 'N';
            } else {
                letter = orientation[0];
                if (m_legacyLayout) {
                    letter = TranslateLegacyOrientation(letter);
                }
            }
            if (panelOrder.empty()) {
                panelOrder = ColorOrderToString(m_colorOrder);
                p["colorOrder"] = panelOrder;
            }
            std::string error;
            if (!m_panelMatrix->AddPanel(output, chain, letter, entry.xOffset, entry.yOffset,
                                         ColorOrderFromString(panelOrder), &error)) {
                LogErr(LOGCH_CHANNELOUT, "%s (output %d, panel number %d): %s\n", where.c_str(), output,
                       chain, error.c_str());
                return false;
            }
            maxOutput = std::max(maxOutput, output);
            maxChain = std::max(maxChain, chain);
        }
    }

    m_outputs = maxOutput + 1;
    m_longestChain = maxChain + 1;
    m_rows = m_outputs * m_panelHeight;
    m_width = m_panelMatrix->Width();
    m_height = m_panelMatrix->Height();
    // Rows and pixel numbers go out in 16-bit fields.
    int64_t rows = (int64_t)m_outputs * m_panelHeight;
    int64_t rowPixels = (int64_t)m_panelWidth * m_longestChain;
    if (rows > MAX_ROWS) {
        LogErr(LOGCH_CHANNELOUT,
               "LinkCard: %d outputs of %d-pixel-high panels make %lld receiver rows, more than the %d the "
               "cards "
               "can number; check \"outputNumber\" and \"panelHeight\"\n",
               m_outputs, m_panelHeight, (long long)rows, MAX_ROWS);
        return false;
    }
    if (rowPixels > MAX_ROW_PIXELS) {
        LogErr(LOGCH_CHANNELOUT,
               "LinkCard: chains of %d panels %d pixels wide make rows of %lld pixels, more than the %d the "
               "cards "
               "can number; check \"panelNumber\" and \"panelWidth\"\n",
               m_longestChain, m_panelWidth, (long long)rowPixels, MAX_ROW_PIXELS);
        return false;
    }
    if (rows * rowPixels * 3 > (int64_t)TAVO_MAX_CHANNELS) {
        LogErr(
            LOGCH_CHANNELOUT,
            "LinkCard: %d outputs with chains of %d panels of %dx%d need %lld bytes per frame, more than the "
            "%u channels there are\n",
            m_outputs, m_longestChain, m_panelWidth, m_panelHeight, (long long)(rows * rowPixels * 3),
            TAVO_MAX_CHANNELS);
        return false;
    }
    int64_t channels = (int64_t)m_width * m_height * 3;
    if ((int64_t)m_startChannel + channels > (int64_t)TAVO_MAX_CHANNELS) {
        LogErr(LOGCH_CHANNELOUT,
               "LinkCard: the %dx%d panel picture from channel %u reaches past channel %u\n", m_width,
               m_height, m_startChannel + 1, TAVO_MAX_CHANNELS);
        return false;
    }
    m_channelCount = (unsigned int)channels;
    m_rowSize = m_panelWidth * m_longestChain * 3;
    m_outputBuffer.reset(new uint8_t[(size_t)m_rows * m_rowSize]());
    buildCopyRuns();

    m_matrix.reset(new Matrix((int)m_startChannel, m_width, m_height));
    if (!ReadSubMatrices(config, "LinkCard", *m_matrix)) {
        return false;
    }
    return ok;
}

bool LinkCardOutput::readConfig(const Json::Value& config) {
    // Init again: the watch of the last one reads what is read here.
    stopWatch();
    bool ok = true;
    float gamma = 1.0f;
    if (config.isMember("gamma")) {
        const Json::Value& g = config["gamma"];
        if (g.isString()) {
            gamma = GammaFromText(g.asString());
        } else if (g.isNumeric()) {
            gamma = GammaInRange((float)g.asDouble());
        } else {
            LogErr(LOGCH_CHANNELOUT, "LinkCard output: \"gamma\" must be a number such as \"2.2\", not %s\n",
                   JsonTypeName(g));
            ok = false;
        }
    }
    BuildGammaTable(gamma, m_gammaTable);

    m_ifName = JsonKeyString(config, "interface", "eth1", "LinkCard output", ok);
    if (m_ifName.size() > IFNAMSIZ - 1) {
        LogErr(LOGCH_CHANNELOUT,
               "LinkCard: \"interface\" \"%s\" is longer than the %d characters an interface name "
               "may have\n",
               m_ifName.c_str(), IFNAMSIZ - 1);
        return false;
    }
    if (m_ifName.find('/') != std::string::npos || m_ifName == "." || m_ifName == "..") {
        LogErr(LOGCH_CHANNELOUT, "LinkCard: \"interface\" \"%s\" is not an interface name\n",
               m_ifName.c_str());
        return false;
    }
    m_sysfsRoot = getSetting("LinkCardSysfsRoot", DEFAULT_SYSFS_ROOT);

    m_firmwareVersion = getSettingInt("ColorlightFirmwareVersion", 0);
    m_linkDownDisable = getSettingInt("ColorlightLinkDownDisable", 0) == 1;
    m_linkDownDisable = JsonKeyBool(config, "linkCheck", m_linkDownDisable, "LinkCard output", ok);
    m_firmwareVersion = JsonKeyInt(config, "firmwareVersion", m_firmwareVersion, "LinkCard output", ok);
    return ok;
}

bool LinkCardOutput::checkLink() {
    errno = 0;
    std::string state = firstWord(sysfsPath("operstate"));
    std::string w1 = "ColorLight: Configured interface " + m_ifName + " does not have link";
    // Said here already: the watch only reports a change from this.
    m_noLink = state != "up";
    m_sendsFail = false;
    m_linkDown = m_noLink.load();
    if (state == "up") {
        WarningHolder::RemoveWarning(w1);
    } else {
        LogErr(LOGCH_CHANNELOUT, "Error ColorLight: Configured interface %s does not have link %s\n",
               m_ifName.c_str(), strerror(errno));
        WarningHolder::AddWarning(w1);
        if (m_linkDownDisable) {
            return false;
        }
    }

    m_linkSpeed = 0;
    errno = 0;
    {
        std::ifstream in(sysfsPath("speed"));
        if (in) {
            in >> m_linkSpeed;
            if (in.fail()) {
                m_linkSpeed = 0;
            }
        }
    }
    std::string w2 = "ColorLight: Configured interface " + m_ifName + " is not 1000Mbps Capable";
    if (m_linkSpeed >= 1 && m_linkSpeed <= 999) {
        LogErr(LOGCH_CHANNELOUT, "Error ColorLight: Configured interface %s is not 1000Mbps Capable: %s\n",
               m_ifName.c_str(), strerror(errno));
        WarningHolder::AddWarning(w2);
        if (m_linkDownDisable) {
            return false;
        }
    } else {
        WarningHolder::RemoveWarning(w2);
    }
    return true;
}

bool LinkCardOutput::openSocket() {
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = socket(AF_PACKET, SOCK_RAW, SEND_PROTOCOL);
    if (m_fd < 0) {
        LogErr(LOGCH_CHANNELOUT, "Error creating raw socket: %s\n", strerror(errno));
        return false;
    }
    memset(&m_if, 0, sizeof(m_if));
    strncpy(m_if.ifr_name, m_ifName.c_str(), IFNAMSIZ - 1);
    if (ioctl(m_fd, SIOCGIFINDEX, &m_if) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Error getting index of %s interface: %s\n", m_ifName.c_str(),
               strerror(errno));
        return false;
    }
    memset(&m_sockAddr, 0, sizeof(m_sockAddr));
    m_sockAddr.sll_family = AF_PACKET;
    m_sockAddr.sll_ifindex = m_if.ifr_ifindex;
    m_sockAddr.sll_halen = 6;
    memcpy(m_sockAddr.sll_addr, DEST_MAC, 6);
    if (bind(m_fd, (struct sockaddr*)&m_sockAddr, sizeof(m_sockAddr)) < 0) {
        LogErr(LOGCH_CHANNELOUT, "bind() failed\n");
        return false;
    }
    m_boundIndex = m_if.ifr_ifindex;
    return true;
}

void LinkCardOutput::buildMessages() {
    int repeats = m_firmwareVersion > 12 ? 2 : 1;
    int pieces = PiecesPerRow(m_rowSize);
    size_t n = (size_t)m_rows * pieces + repeats;
    m_dataMsgs.assign(n, mmsghdr{});
    m_dataIovecs.assign(2 * n, iovec{});

    m_brightnessFrame.assign(BRIGHTNESS_FRAME_SIZE, 0);
    BuildBrightnessFrame(m_brightnessFrame.data(), m_brightness);
    for (int r = 0; r < repeats; r++) {
        m_dataIovecs[2 * r] = {m_brightnessFrame.data(), (size_t)BRIGHTNESS_FIRST_PIECE};
        m_dataIovecs[2 * r + 1] = {m_brightnessFrame.data() + BRIGHTNESS_FIRST_PIECE,
                                   (size_t)(BRIGHTNESS_FRAME_SIZE - BRIGHTNESS_FIRST_PIECE)};
    }

    m_rowHeaders.assign((size_t)m_rows * pieces * ROW_HEADER_SIZE, 0);
    size_t k = repeats;
    for (int row = 0; row < m_rows && m_rowSize > 0; row++) {
        uint8_t* base = m_outputBuffer.get() + (size_t)row * m_rowSize;
        for (int o = 0; o < m_rowSize; o += MAX_PIECE_BYTES) {
            int len = o + MAX_PIECE_BYTES <= m_rowSize ? MAX_PIECE_BYTES : m_rowSize - o;
            uint8_t* header = m_rowHeaders.data() + (k - repeats) * ROW_HEADER_SIZE;
            BuildRowHeader(header, row, o, len);
            m_dataIovecs[2 * k] = {header, (size_t)ROW_HEADER_SIZE};
            m_dataIovecs[2 * k + 1] = {base + o, (size_t)len};
            k++;
        }
    }
    for (size_t j = 0; j < n; j++) {
        m_dataMsgs[j].msg_hdr.msg_iov = &m_dataIovecs[2 * j];
        m_dataMsgs[j].msg_hdr.msg_iovlen = 2;
    }

    m_displayFrame.assign(DISPLAY_FRAME_SIZE, 0);
    BuildDisplayFrame(m_displayFrame.data(), m_brightness);
    m_displayMsgs.assign(repeats, mmsghdr{});
    m_displayIovecs.assign(repeats, iovec{m_displayFrame.data(), (size_t)DISPLAY_FRAME_SIZE});
    for (int r = 0; r < repeats; r++) {
        m_displayMsgs[r].msg_hdr.msg_iov = &m_displayIovecs[r];
        m_displayMsgs[r].msg_hdr.msg_iovlen = 1;
    }
}

void LinkCardOutput::registerOverlayModel(const Json::Value& config) {
    std::string base = "LED Panels";
    if (config["LEDPanelMatrixName"].isString() && !config["LEDPanelMatrixName"].asString().empty()) {
        base = config["LEDPanelMatrixName"].asString();
    }
    if (config.isMember("description") && config["description"].isString()) {
        base = config["description"].asString();
    }
    m_overlayModelAdded = PixelOverlayManager::INSTANCE.addPanelModel(
        base, m_startChannel, m_channelCount, m_invertedData != 0, (uint32_t)m_height, m_overlayModelName);
    if (!m_overlayModelAdded) {
        m_overlayModelName.clear();
    }
}

int LinkCardOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "LinkCardOutput::Close()\n");
    stopWatch();
    // Checked by the flag: a model may be named "" (an empty "description").
    if (m_overlayModelAdded) {
        PixelOverlayManager::INSTANCE.removeAutoOverlayModel(m_overlayModelName);
        m_overlayModelAdded = false;
        m_overlayModelName.clear();
    }
    for (const std::string& w : m_warnings) {
        WarningHolder::RemoveWarning(w);
    }
    return ChannelOutput::Close();
}

void LinkCardOutput::SetHostMACs(void* buffer) {
    linkcard::SetHostMACs(static_cast<uint8_t*>(buffer));
}

void LinkCardOutput::PrepData(unsigned char* channelData) {
    if (!m_outputBuffer || !m_panelMatrix || m_fd < 0) {
        return;
    }
    m_matrix->OverlaySubMatrices(channelData);
    const unsigned char* src = channelData + m_startChannel;
    const uint8_t* gamma = m_gammaTable;
    uint8_t* out = m_outputBuffer.get();
    for (const CopyRun& r : m_copyRuns) {
        uint8_t* d = out + r.dst;
        int64_t at = r.src;
        for (uint32_t i = 0; i < r.pixels; i++, d += 3, at += r.stride) {
            d[0] = gamma[src[at]];
            d[1] = gamma[src[at + r.second]];
            d[2] = gamma[src[at + r.third]];
        }
    }
    // A frame is slow when any of its lists gave up, the rows or the display frame
    // after them: the count starts again only after a frame that went out whole.
    if (!m_frameSlow) {
        m_slowFrames = 0;
    }
    m_frameSlow = false;
    m_lastGaveUp = false;
    SendMessages(m_dataMsgs);
    // Without link the frame goes nowhere, even when the kernel takes it.
    if (m_lastGaveUp || m_noLink) {
        m_droppedFrames++;
    }
}

void LinkCardOutput::buildCopyRuns() {
    m_copyRuns.clear();
    const size_t chainBytes = (size_t)m_panelWidth * 3;
    for (int o = 0; o < m_outputs; o++) {
        for (int index : m_panelMatrix->GetOutputPanels(o)) {
            const LEDPanel& panel = m_panelMatrix->GetPanel(index);
            const int q = m_legacyLayout ? panel.chain : m_longestChain - 1 - panel.chain;
            for (int y = 0; y < m_panelHeight; y++) {
                const uint32_t rowStart =
                    (uint32_t)((size_t)(o * m_panelHeight + y) * m_rowSize + q * chainBytes);
                const uint32_t* map = panel.pixelMap.data() + (size_t)y * chainBytes;
                for (int x = 0; x < m_panelWidth; x++, map += 3) {
                    const uint32_t dst = rowStart + (uint32_t)(3 * x);
                    const int32_t second = (int32_t)((int64_t)map[1] - map[0]);
                    const int32_t third = (int32_t)((int64_t)map[2] - map[0]);
                    if (!m_copyRuns.empty()) {
                        CopyRun& r = m_copyRuns.back();
                        const int64_t step = (int64_t)map[0] - r.src;
                        const bool follows =
                            r.dst + 3 * r.pixels == dst && r.second == second && r.third == third;
                        if (follows && r.pixels == 1 && step >= INT32_MIN && step <= INT32_MAX) {
                            r.stride = (int32_t)step;
                            r.pixels = 2;
                            continue;
                        }
                        if (follows && r.pixels > 1 && step == (int64_t)r.stride * r.pixels) {
                            r.pixels++;
                            continue;
                        }
                    }
                    m_copyRuns.push_back({dst, map[0], 0, second, third, 1});
                }
            }
        }
    }
}

int LinkCardOutput::SendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "LinkCardOutput::SendData(%p)\n", (void*)channelData);
    if (m_fd >= 0) {
        SendMessages(m_displayMsgs);
    }
    return (int)m_channelCount;
}

int LinkCardOutput::SendMessagesHelper(struct mmsghdr* messages, int count) {
    return m_send(m_fd, messages, (unsigned int)count, MSG_DONTWAIT);
}

int LinkCardOutput::SendMessages(std::vector<struct mmsghdr>& messages) {
    int64_t t0 = m_clock();
    int n = (int)messages.size();
    if (n == 0) {
        return 0;
    }
    auto wentOut = [this] {
        if (m_sendsFail) {
            noteLink(m_sendsFail, false, "");
        }
    };
    errno = 0;
    int r = SendMessagesHelper(messages.data(), n);
    int sent = r > 0 ? r : 0;
    if (sent == n) {
        wentOut();
        return r;
    }
    int retries = 0;
    int err = errno;
    while (true) {
        if (r < 0 && linkGoneError(err)) {
            // Down or gone: every retry would fail the same way, and the time
            // belongs to the other outputs on this thread.
            noteLink(m_sendsFail, true, strerror(err));
            m_lastGaveUp = true;
            return r;
        }
        if (r < 0 && !retryableError(err)) {
            break;
        }
        if (m_noLink) {
            // No carrier: a full queue will not empty, and the frame goes nowhere anyway.
            m_lastGaveUp = true;
            return r;
        }
        if (m_clock() - t0 >= SEND_RETRY_MS) {
            break;
        }
        struct timespec pause = {0, 500000};
        while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {
        }
        errno = 0;
        r = SendMessagesHelper(messages.data() + sent, n - sent);
        err = errno;
        if (r > 0) {
            sent += r;
        }
        if (sent == n) {
            wentOut();
            return r;
        }
        retries++;
    }
    LogWarn(LOGCH_CHANNELOUT,
            "sendmmsg() failed for ColorLight output (Socket: %d   output count: %d/%d   time: %dms) with "
            "error: %d   "
            "%s, errorcount: %d\n",
            m_fd, sent, n, (int)(m_clock() - t0), err, strerror(err), retries);
    frameGaveUp();
    return r;
}

void LinkCardOutput::frameGaveUp() {
    m_lastGaveUp = true;
    // Once per frame, whichever of its lists gave up (PrepData starts the count again).
    if (m_frameSlow) {
        return;
    }
    m_frameSlow = true;
    m_slowFrames++;
    if (m_slowFrames > 3) {
        std::string text = "Repeated frames taking more than 20ms to send to ColorLight";
        LogWarn(LOGCH_CHANNELOUT, "%s", text.c_str());
        WarningHolder::AddWarningTimeout(text, 30);
    }
}

void LinkCardOutput::noteLink(std::atomic<bool>& side, bool down, const std::string& why) {
    std::lock_guard<std::mutex> l(m_linkLock);
    side = down;
    bool nowDown = m_sendsFail || m_noLink;
    if (nowDown == m_linkDown) {
        return;
    }
    m_linkDown = nowDown;
    std::string w1 = "ColorLight: Configured interface " + m_ifName + " does not have link";
    if (nowDown) {
        LogErr(LOGCH_CHANNELOUT,
               "LinkCard: interface %s is down or gone (%s); frames are dropped until it is back\n",
               m_ifName.c_str(), why.c_str());
        WarningHolder::AddWarning(w1);
    } else {
        LogInfo(LOGCH_CHANNELOUT,
                "LinkCard: interface %s is back; %llu frames were dropped while it was down\n",
                m_ifName.c_str(), (unsigned long long)m_droppedFrames.load());
        WarningHolder::RemoveWarning(w1);
    }
}

void LinkCardOutput::startWatch() {
    stopWatch();
    m_watchStop = false;
    m_watch = std::thread([this] { watchLink(); });
}

void LinkCardOutput::stopWatch() {
    if (!m_watch.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> l(m_watchLock);
        m_watchStop = true;
    }
    m_watchWake.notify_all();
    m_watch.join();
}

void LinkCardOutput::watchLink() {
    std::unique_lock<std::mutex> l(m_watchLock);
    while (!m_watchWake.wait_for(l, WATCH_PERIOD, [this] { return m_watchStop; })) {
        l.unlock();
        // An interface removed and made again (an adapter re-enumerating, a driver
        // reload) comes back under a new index: the socket bound to the old one
        // would fail every send.
        struct ifreq ifr;
        memset(&ifr, 0, sizeof(ifr));
        strncpy(ifr.ifr_name, m_ifName.c_str(), IFNAMSIZ - 1);
        if (ioctl(m_fd, SIOCGIFINDEX, &ifr) == 0 && ifr.ifr_ifindex != m_boundIndex) {
            struct sockaddr_ll at = m_sockAddr;
            at.sll_ifindex = ifr.ifr_ifindex;
            if (bind(m_fd, (struct sockaddr*)&at, sizeof(at)) == 0) {
                LogInfo(LOGCH_CHANNELOUT, "LinkCard: interface %s is there again (index %d); sending to it\n",
                        m_ifName.c_str(), ifr.ifr_ifindex);
                m_boundIndex = ifr.ifr_ifindex;
            }
        }
        // A lost carrier fails no send: the kernel drops the frames quietly.
        std::string state = firstWord(sysfsPath("operstate"));
        bool down = state != "up";
        if (down != m_noLink) {
            noteLink(m_noLink, down, state.empty() ? "no such interface" : "operstate " + state);
        }
        l.lock();
    }
}

void LinkCardOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    ChannelOutput::GetRequiredChannelRanges(addRange);
    // The blocks the sub-matrices copy in may lie outside the picture's channels.
    if (m_matrix) {
        m_matrix->AddSourceRanges(addRange);
    }
}

void LinkCardOutput::OverlayTestData(unsigned char* channelData, int cycleNum, float, int testType,
                                     const Json::Value&) {
    if (!m_panelMatrix) {
        return;
    }
    for (int o = 0; o < m_outputs; o++) {
        for (int index : m_panelMatrix->GetOutputPanels(o)) {
            m_panelMatrix->GetPanel(index).drawTestPattern(channelData + m_startChannel, cycleNum, testType);
        }
    }
}

bool LinkCardOutput::SupportsTesting() const {
    return true;
}

void LinkCardOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "LinkCardOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    Width          : %d\n", m_width);
    LogDebug(LOGCH_CHANNELOUT, "    Height         : %d\n", m_height);
    LogDebug(LOGCH_CHANNELOUT, "    Rows           : %d\n", m_rows);
    LogDebug(LOGCH_CHANNELOUT, "    Row Size       : %d\n", m_rowSize);
    LogDebug(LOGCH_CHANNELOUT, "    m_fd           : %d\n", m_fd);
    LogDebug(LOGCH_CHANNELOUT, "    Outputs        : %d\n", m_outputs);
    LogDebug(LOGCH_CHANNELOUT, "    Longest Chain  : %d\n", m_longestChain);
    LogDebug(LOGCH_CHANNELOUT, "    Inverted Data  : %d\n", m_invertedData);
    LogDebug(LOGCH_CHANNELOUT, "    Interface      : %s\n", m_ifName.c_str());
    ChannelOutput::DumpConfig();
}

void LinkCardOutput::GetStatus(Json::Value& status) {
    status["interface"] = m_ifName;
    status["linkSpeed"] = m_linkSpeed;
    status["firmwareVersion"] = m_firmwareVersion;
    status["receivers"] = m_receiverCount.load();
    status["droppedFrames"] = (Json::UInt64)m_droppedFrames.load();
    status["linkDown"] = m_linkDown.load();
}

bool LinkCardOutput::CheckConfig(const Json::Value& config) {
    // readLayout and readConfig check the values they read; "brightness" is read later.
    static const std::vector<ConfigKey> keys = PanelOutputKeys({
        {"interface", ConfigKey::ANY},
        {"cfgVersion", ConfigKey::ANY},
        {"brightness", ConfigKey::WHOLE},
        {"linkCheck", ConfigKey::ANY},
        {"firmwareVersion", ConfigKey::ANY},
        {"LEDPanelMatrixName", ConfigKey::ANY},
        {"description", ConfigKey::ANY},
    });
    // The layout and keys as Init reads them: nothing here touches the interface.
    return CheckConfigKeys(config, keys, "LinkCard output") && readLayout(config) && readConfig(config);
}
