// The "WindowPanel" output: a virtual LED panel wall in an X11 window, for
// previewing shows without panels. It takes the panel layout keys of the HUB75
// output and, on its own output thread, paints each frame gamma corrected and
// scaled up into an image that it copies to the window. A lost X server (or a
// closed window) stops the preview with a warning; the show goes on, and the
// display is tried again every few seconds. No wait on the server is unbounded: one
// that stops answering is let go as a lost one, and Close never waits for it.
#pragma once

#include "host/output/PanelConfig.h"
#include "host/output/ThreadedChannelOutput.h"
#include "PanelPainter.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <json/json.h>

// Xlib's types as Xlib declares them (Display is struct _XDisplay, GC a
// struct _XGC*, windows and pixmaps XIDs): its header's macros (None, Bool,
// Status) stay out of the files that include this one.
struct _XDisplay;
struct _XGC;
struct _XImage;
namespace windowpanel {
class DisplayDeadline;
}

class WindowPanelOutput : public ThreadedChannelOutput {
public:
    WindowPanelOutput(unsigned int startChannel, unsigned int channelCount);
    ~WindowPanelOutput() override;

    std::string GetOutputType() const override;
    int Init(Json::Value config) override;
    bool CheckConfig(const Json::Value& config) override;
    int Close() override;
    // Lays the sub-matrices into the whole channel buffer before SendData hands
    // the output's slice of it to the output thread.
    void PrepData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;
    int RawSendData(unsigned char* channelData) override;
    // No frame for a second: a lost display is still tried again.
    void WaitTimedOut() override;
    // "display", "width" and "height" of the window, "scale", "connected" (false
    // once the X server is lost), "framesDrawn".
    void GetStatus(Json::Value& status) override;

    // Read by tests.
    _XDisplay* GetDisplay() const { return m_display; }
    unsigned long GetWindow() const { return m_window; }
    const std::string& GetDisplayName() const { return m_displayName; }
    int GetScaleWidth() const { return m_scaleWidth; }
    int GetScaleHeight() const { return m_scaleHeight; }
    const uint8_t* GetGammaCurve() const { return m_gammaCurve; }
    bool ConnectionLost() const { return m_connectionLost.load(); }
    long long FramesDrawn() const { return m_framesDrawn.load(); }

    // The longest the output waits on the X server at once, and how often a lost
    // one is tried again.
    static constexpr int X_WAIT_LIMIT_MS = 3000;
    static constexpr int X_RETRY_MS = 3000;

private:
    bool readConfig(const Json::Value& config);
    // The image buffer, the connection and the window; on failure the caller lets
    // what was made go with closeDisplay.
    bool openWindow();
    // Output thread: opens a lost display again, at most every X_RETRY_MS.
    void retryDisplay();
    // Frees the window, its image and the connection; safe on a lost connection
    // and when nothing is open. On a lost connection only the thread that met the
    // break may call it (Xlib leaves the connection locked for that thread).
    void closeDisplay();
    void reportLost();
    std::string lostWarning() const;

    std::string m_colorOrder = "RGB";
    PanelLayout m_layout; // read by Init
    uint8_t m_gammaCurve[256];
    int m_scale = 10;
    int m_scaleWidth = 0;
    int m_scaleHeight = 0;
    // Allocated with calloc: once m_image is made over it, XDestroyImage frees it.
    char* m_imageData = nullptr;
    // Between Init and Close only the output thread uses the connection (and lets
    // a broken one go itself); Init, Close and the destructor use it while the
    // thread is stopped.
    _XDisplay* m_display = nullptr;
    int m_screenNumber = 0;
    unsigned long m_window = 0; // Window
    _XGC* m_gc = nullptr;
    unsigned long m_pixmap = 0; // Pixmap
    _XImage* m_image = nullptr;
    std::string m_title;

    PanelPainter m_painter;
    std::string m_displayName;
    // Set by Xlib's handlers (on whichever thread meets the broken connection).
    std::atomic<bool> m_connectionLost{false};
    bool m_lostReported = false; // output thread, then Close
    bool m_retrying = false;     // output thread: openWindow's failures are logged at debug level
    int64_t m_nextRetryMS = 0;   // output thread
    std::atomic<bool> m_closing{false};
    std::unique_ptr<windowpanel::DisplayDeadline> m_deadline;
    std::atomic<bool> m_connected{false};
    std::atomic<long long> m_framesDrawn{0};
};
