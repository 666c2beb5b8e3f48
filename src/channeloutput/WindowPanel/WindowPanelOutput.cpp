// The "WindowPanel" output: configuration, the window and its image, painting on
// the output thread, and surviving the loss of the X server.
#include "WindowPanelOutput.h"

#include "XConnectionWatch.h"
#include "host/core/Common.h"
#include "host/core/ConfigKeys.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/output/Matrix.h"
#include "host/output/PanelConfig.h"
#include "host/output/PanelMatrix.h"

#include <cstdlib>
#include <cstring>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const char* const WHO = "WindowPanel";
// X windows are at most this many pixels across (coordinates are 16-bit, signed).
const int64_t X_MAX_SIZE = 32767;

} // namespace

// A failed attempt to open the display again is told only at debug level: the
// loss was told once.
#define WINDOW_FAIL(...)                                                                                     \
    _LogWrite(__FILE__, __LINE__, m_retrying ? LOG_DEBUG : LOG_ERR, LOGCH_CHANNELOUT, __VA_ARGS__)

WindowPanelOutput::WindowPanelOutput(unsigned int startChannel, unsigned int channelCount)
    : ThreadedChannelOutput(startChannel, channelCount),
      m_deadline(new windowpanel::DisplayDeadline(X_WAIT_LIMIT_MS)) {
    LogDebug(LOGCH_CHANNELOUT, "WindowPanelOutput::WindowPanelOutput(%u, %u)\n", startChannel, channelCount);
    // The output thread paints while tavod's threads may Init or Close.
    XInitThreads();
    m_useDoubleBuffer = 1;
    memset(m_gammaCurve, 0, sizeof(m_gammaCurve));
}

WindowPanelOutput::~WindowPanelOutput() {
    LogDebug(LOGCH_CHANNELOUT, "WindowPanelOutput::~WindowPanelOutput()\n");
    // Without a Close, the thread must still stop before what it paints with goes.
    m_closing = true;
    StopThread();
    closeDisplay();
}

std::string WindowPanelOutput::GetOutputType() const {
    return "WindowPanel";
}

int WindowPanelOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "WindowPanelOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "WindowPanel: the configuration is not a JSON object\n");
        return 0;
    }
    // A second Init without Close: the old window goes first.
    m_closing = true;
    StopThread();
    closeDisplay();
    m_closing = false;
    if (!readConfig(config)) {
        return 0;
    }
    const char* env = getenv("DISPLAY");
    m_displayName = env ? env : ":0";
    m_lostReported = false;
    m_retrying = false;
    if (!openWindow()) {
        closeDisplay();
        return 0;
    }
    WarningHolder::RemoveWarning(lostWarning());
    m_connected = true;
    return ThreadedChannelOutput::Init(config);
}

bool WindowPanelOutput::readConfig(const Json::Value& config) {
    if (!ReadPanelLayout(config, m_startChannel, WHO, m_layout)) {
        return false;
    }
    bool ok = true;
    m_colorOrder = JsonKeyString(config, "colorOrder", "", WHO, ok);
    m_channelCount = (unsigned int)m_layout.Width() * m_layout.Height() * 3;
    BuildPanelGammaTable(ReadPanelGamma(config, 2.2f, WHO, ok), m_gammaCurve);
    m_scale = JsonKeyInt(config, "scale", 10, WHO, ok);
    m_title = JsonKeyString(config, "title", "WindowPanel", WHO, ok);
    if (!ok) {
        return false;
    }
    if (m_layout.PanelCount() == 0) {
        LogErr(LOGCH_CHANNELOUT,
               "WindowPanel: no \"panels\" are configured: the window would have no pixels\n");
        return false;
    }
    if (m_scale < 1) {
        LogErr(LOGCH_CHANNELOUT,
               "WindowPanel: \"scale\" %d must be 1 or more (screen pixels per panel pixel)\n", m_scale);
        return false;
    }
    int64_t w = (int64_t)m_layout.Width() * m_scale;
    int64_t h = (int64_t)m_layout.Height() * m_scale;
    if (w > X_MAX_SIZE || h > X_MAX_SIZE || w * h * 4 > PANEL_IMAGE_MAX_BYTES) {
        LogErr(
            LOGCH_CHANNELOUT,
            "WindowPanel: the %dx%d picture at \"scale\" %d makes a %lldx%lld window, more than %lld MiB of "
            "image or %lld pixels across; lower \"scale\"\n",
            m_layout.Width(), m_layout.Height(), m_scale, (long long)w, (long long)h,
            (long long)(PANEL_IMAGE_MAX_BYTES >> 20), (long long)X_MAX_SIZE);
        return false;
    }
    m_scaleWidth = (int)w;
    m_scaleHeight = (int)h;
    m_painter.Build(*m_layout.panelMatrix);
    return true;
}

bool WindowPanelOutput::openWindow() {
    m_imageData = (char*)calloc((size_t)m_scaleWidth * m_scaleHeight, 4);
    if (!m_imageData) {
        WINDOW_FAIL("WindowPanel: no memory for a %dx%d image\n", m_scaleWidth, m_scaleHeight);
        return false;
    }
    m_connectionLost = false;
    bool timedOut = false;
    m_display = windowpanel::OpenDisplayWithin(m_displayName, X_WAIT_LIMIT_MS, timedOut);
    if (!m_display) {
        if (timedOut) {
            WINDOW_FAIL("WindowPanel: the X server %s took the connection but did not answer within %d s\n",
                        m_displayName.c_str(), X_WAIT_LIMIT_MS / 1000);
        } else {
            WINDOW_FAIL("Unable to connect to X Server: %s\n", m_displayName.c_str());
        }
        return false;
    }
    windowpanel::WatchDisplay(m_display, &m_connectionLost);
    m_deadline->Watch(m_display);
    windowpanel::DisplayDeadline::Stretch bounded(*m_deadline);
    m_screenNumber = DefaultScreen(m_display);
    int depth = DefaultDepth(m_display, m_screenNumber);
    if (depth != 24) {
        WINDOW_FAIL("WindowPanel: the X server %s shows %d bits per pixel; the preview needs 24\n",
                    m_displayName.c_str(), depth);
        return false;
    }

    m_image = XCreateImage(m_display, nullptr, 24, ZPixmap, 0, m_imageData, m_scaleWidth, m_scaleHeight, 32,
                           m_scaleWidth * 4);
    if (!m_image || m_image->bits_per_pixel != 32) {
        WINDOW_FAIL("WindowPanel: the X server %s keeps no 32-bit pixels for depth 24\n",
                    m_displayName.c_str());
        return false;
    }
    // The bytes are blue, green, red: the low byte first, whatever the server's order.
    m_image->byte_order = LSBFirst;
    XInitImage(m_image);

    Window root = RootWindow(m_display, m_screenNumber);
    m_pixmap = XCreatePixmap(m_display, root, m_scaleWidth, m_scaleHeight, 24);
    m_gc = XCreateGC(m_display, m_pixmap, 0, nullptr);
    if (!m_gc) {
        WINDOW_FAIL("Unable to create GC\n");
        return false;
    }

    XSetWindowAttributes attributes;
    memset(&attributes, 0, sizeof(attributes));
    attributes.background_pixel = BlackPixel(m_display, m_screenNumber);
    m_window = XCreateWindow(m_display, root, 100, 100, m_scaleWidth, m_scaleHeight, 5, 24, InputOutput,
                             DefaultVisual(m_display, m_screenNumber), CWBackPixel, &attributes);
    XMapWindow(m_display, m_window);
    XStoreName(m_display, m_window, m_title.c_str());
    XSetIconName(m_display, m_window, m_title.c_str());
    XFlush(m_display);
    // Errors come back asynchronously: wait for the server to have seen it all.
    XSync(m_display, False);
    std::string error = windowpanel::TakeError(m_display);
    if (m_connectionLost) {
        WINDOW_FAIL("WindowPanel: the X server %s went away while the window was made\n",
                    m_displayName.c_str());
        return false;
    }
    if (!error.empty()) {
        WINDOW_FAIL("WindowPanel: the X server %s refused the window: %s\n", m_displayName.c_str(),
                    error.c_str());
        return false;
    }
    return true;
}

int WindowPanelOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "WindowPanelOutput::Close()\n");
    // The output thread stops first: nothing paints while the window goes. It
    // waits on the server for X_WAIT_LIMIT_MS at most.
    m_closing = true;
    int r = ThreadedChannelOutput::Close();
    closeDisplay();
    return r;
}

void WindowPanelOutput::closeDisplay() {
    m_connected = false;
    m_nextRetryMS = GetTimeMS() + X_RETRY_MS;
    if (m_display) {
        windowpanel::DisplayDeadline::Stretch bounded(*m_deadline);
        bool lost = m_connectionLost;
        if (lost) {
            reportLost();
        } else {
            XLockDisplay(m_display);
            XDestroyWindow(m_display, m_window);
            XFreePixmap(m_display, m_pixmap);
        }
        // What the client holds goes in any case; on a lost connection these send nothing.
        if (m_gc) {
            XFreeGC(m_display, m_gc);
        }
        if (m_image) {
            XDestroyImage(m_image); // frees m_imageData too
            m_imageData = nullptr;
        }
        if (!lost) {
            XUnlockDisplay(m_display);
        }
        XCloseDisplay(m_display);
        m_deadline->Forget();
        windowpanel::UnwatchDisplay(m_display, &m_connectionLost);
        if (m_connectionLost) {
            reportLost(); // met while closing
        }
    } else if (m_image) {
        XDestroyImage(m_image);
        m_imageData = nullptr;
    }
    free(m_imageData);
    m_imageData = nullptr;
    m_image = nullptr;
    m_display = nullptr;
    m_window = 0;
    m_pixmap = 0;
    m_gc = nullptr;
}

std::string WindowPanelOutput::lostWarning() const {
    return "WindowPanel: lost the X server " + m_displayName + "; the preview window stopped";
}

void WindowPanelOutput::reportLost() {
    if (m_lostReported) {
        return;
    }
    m_lostReported = true;
    m_connected = false;
    if (m_deadline->Expired()) {
        LogErr(LOGCH_CHANNELOUT,
               "WindowPanel: the X server %s stopped answering (nothing for %d s); the preview lets it go "
               "and stops drawing, the show goes on\n",
               m_displayName.c_str(), X_WAIT_LIMIT_MS / 1000);
    } else {
        LogErr(LOGCH_CHANNELOUT,
               "WindowPanel: the connection to the X server %s broke (the server ended, or the window was "
               "closed); the preview stops drawing, the show goes on\n",
               m_displayName.c_str());
    }
    WarningHolder::AddWarning(lostWarning());
}

void WindowPanelOutput::PrepData(unsigned char* channelData) {
    if (m_layout.matrix) {
        m_layout.matrix->OverlaySubMatrices(channelData);
    }
}

int WindowPanelOutput::RawSendData(unsigned char* channelData) {
    LogExcess(LOGCH_CHANNELOUT, "WindowPanelOutput::RawSendData(%p)\n", (void*)channelData);
    if (!m_display) {
        retryDisplay();
        if (!m_display) {
            return (int)m_channelCount;
        }
    }
    m_painter.Paint(channelData, m_gammaCurve, m_scale, (uint8_t*)m_imageData);
    {
        windowpanel::DisplayDeadline::Stretch bounded(*m_deadline);
        XLockDisplay(m_display);
        XPutImage(m_display, m_window, m_gc, m_image, 0, 0, 0, 0, m_scaleWidth, m_scaleHeight);
        XSync(m_display, True);
        XFlush(m_display);
        XUnlockDisplay(m_display);
    }
    if (m_connectionLost) {
        // Xlib keeps a broken connection locked for the thread that met the break:
        // any other thread would wait on it for ever. This one lets it go now.
        closeDisplay();
        return (int)m_channelCount;
    }
    m_framesDrawn++;
    return (int)m_channelCount;
}

void WindowPanelOutput::WaitTimedOut() {
    if (!m_display) {
        retryDisplay();
    }
}

void WindowPanelOutput::retryDisplay() {
    if (m_closing || GetTimeMS() < m_nextRetryMS) {
        return;
    }
    m_retrying = true;
    bool opened = openWindow();
    m_retrying = false;
    if (!opened) {
        closeDisplay();
        return;
    }
    m_lostReported = false;
    WarningHolder::RemoveWarning(lostWarning());
    m_connected = true;
    LogInfo(LOGCH_CHANNELOUT, "WindowPanel: the X server %s answers again; the preview draws again\n",
            m_displayName.c_str());
}

void WindowPanelOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    ThreadedChannelOutput::GetRequiredChannelRanges(addRange);
    // The blocks the sub-matrices copy in may lie outside the picture's channels.
    if (m_layout.matrix) {
        m_layout.matrix->AddSourceRanges(addRange);
    }
}

void WindowPanelOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "WindowPanelOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    Panels        : %d\n", m_layout.PanelCount());
    LogDebug(LOGCH_CHANNELOUT, "    Width         : %d\n", m_layout.Width());
    LogDebug(LOGCH_CHANNELOUT, "    Height        : %d\n", m_layout.Height());
    LogDebug(LOGCH_CHANNELOUT, "    Scale         : %d\n", m_scale);
    LogDebug(LOGCH_CHANNELOUT, "    Scaled Width  : %d\n", m_scaleWidth);
    LogDebug(LOGCH_CHANNELOUT, "    Scaled Height : %d\n", m_scaleHeight);
    ThreadedChannelOutput::DumpConfig();
}

void WindowPanelOutput::GetStatus(Json::Value& status) {
    status["display"] = m_displayName;
    status["width"] = m_scaleWidth;
    status["height"] = m_scaleHeight;
    status["scale"] = m_scale;
    status["connected"] = m_connected.load();
    status["framesDrawn"] = (Json::Int64)m_framesDrawn.load();
}

bool WindowPanelOutput::CheckConfig(const Json::Value& config) {
    // The values are read, and checked, by Init; this names keys it does not know.
    static const std::vector<ConfigKey> keys = PanelOutputKeys({
        {"scale", ConfigKey::ANY},
        {"title", ConfigKey::ANY},
    });
    return CheckConfigKeys(config, keys, "WindowPanel");
}
