// The "LinkCard" output: LED panels hanging in chains off receiver cards that take
// raw Ethernet frames on a network interface of their own. Each frame of channel
// data becomes one packet per receiver row piece and a display frame.
#pragma once

#include "host/core/MonotonicCondition.h"

#include "host/output/ChannelOutput.h"
#include "host/output/ColorOrder.h"
#include "LinkCardProtocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/uio.h>

class Matrix;
class PanelMatrix;

class LinkCardOutput : public ChannelOutput {
public:
    // The call that sends a batch: sendmmsg, unless a test puts another in.
    using SendFunction = int (*)(int fd, struct mmsghdr* messages, unsigned int count, int flags);
    // Milliseconds on a steady clock: GetTimeMS, unless a test puts another in.
    using ClockFunction = int64_t (*)();

    LinkCardOutput(unsigned int startChannel, unsigned int channelCount);
    ~LinkCardOutput() override;

    std::string GetOutputType() const override;
    int Init(Json::Value config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType,
                         const Json::Value& config) override;
    bool SupportsTesting() const override;
    void DumpConfig() override;
    // "interface", "linkSpeed", "firmwareVersion", "receivers", "droppedFrames"
    // (frames given up, or sent while the interface had no link), "linkDown".
    void GetStatus(Json::Value& status) override;
    bool CheckConfig(const Json::Value& config) override;

    void SetHostMACs(void* buffer);
    int SendMessagesHelper(struct mmsghdr* messages, int count);
    // Sends a whole list; gives up on the rest after about 22 ms of retrying a
    // full buffer, and at once when the interface is down or gone.
    int SendMessages(std::vector<struct mmsghdr>& messages);
    void GetReceiverInfo();

    // Test seams: the call that sends batches and the clock that bounds its
    // retrying (the host setting "LinkCardSysfsRoot" sets the sysfs folder of
    // network interfaces).
    void SetSendFunction(SendFunction send) { m_send = send; }
    void SetClock(ClockFunction clock) { m_clock = clock; }

    // Read by tests and the status.
    int GetFirmwareVersion() const { return m_firmwareVersion; }
    const std::vector<ReceiverInfo>& GetReceivers() const { return m_receivers; }
    const std::string& GetOverlayModelName() const { return m_overlayModelName; }
    int GetRows() const { return m_rows; }
    int GetRowSize() const { return m_rowSize; }
    const uint8_t* GetOutputBuffer() const { return m_outputBuffer.get(); }
    const uint8_t* GetGammaTable() const { return m_gammaTable; }
    uint8_t GetBrightnessByte() const { return m_brightness; }
    const std::vector<struct mmsghdr>& GetDataMessages() const { return m_dataMsgs; }
    const std::vector<struct mmsghdr>& GetDisplayMessages() const { return m_displayMsgs; }
    bool IsLegacyLayout() const { return m_legacyLayout; }
    bool GetLinkDownDisable() const { return m_linkDownDisable; }
    uint64_t GetDroppedFrames() const { return m_droppedFrames.load(); }

private:
    bool readConfig(const Json::Value& config);
    bool readLayout(const Json::Value& config);
    bool checkLink();
    bool openSocket();
    void buildMessages();
    void registerOverlayModel(const Json::Value& config);
    std::string sysfsPath(const std::string& file) const;
    // Either side (the sends, the watch) saying the link went or came back; the
    // warning and the log line follow the two together.
    void noteLink(std::atomic<bool>& side, bool down, const std::string& why);
    void frameGaveUp();
    // The watch: once a second, off the frame path, reads the interface's state and
    // binds the socket again when the interface has come back under a new index.
    void startWatch();
    void stopWatch();
    void watchLink();

    int m_width = 0;
    int m_height = 0;
    std::string m_ifName;
    int m_linkSpeed = 0;
    TavoColorOrder m_colorOrder = kColorOrderRGB;
    int m_fd = -1;
    int m_rowSize = 0;
    int m_slowFrames = 0;
    int m_panelWidth = 0;
    int m_panelHeight = 0;
    int m_rows = 0;
    int m_outputs = 0;
    int m_longestChain = 0;
    int m_invertedData = 0;
    std::unique_ptr<uint8_t[]> m_outputBuffer;
    // The frame copy as runs of pixels whose channels step evenly through the
    // picture (a panel row, most often), worked out from the panels' pixel maps at
    // Init, so that each frame reads no map entry per byte.
    struct CopyRun {
        uint32_t dst;   // the run's first byte in m_outputBuffer
        uint32_t src;   // its first pixel's first channel, from the start channel
        int32_t stride; // from one pixel's channels to the next one's
        int32_t second; // a pixel's second and third channel, from its first
        int32_t third;
        uint32_t pixels;
    };
    std::vector<CopyRun> m_copyRuns;
    void buildCopyRuns();
    std::unique_ptr<Matrix> m_matrix;
    std::unique_ptr<PanelMatrix> m_panelMatrix;
    uint8_t m_gammaTable[256];
    bool m_legacyLayout = false;
    bool m_linkDownDisable = false;
    int m_firmwareVersion = 0;
    std::vector<ReceiverInfo> m_receivers;
    std::vector<struct mmsghdr> m_displayMsgs;
    std::vector<struct iovec> m_displayIovecs;
    std::vector<struct mmsghdr> m_dataMsgs;
    std::vector<struct iovec> m_dataIovecs;
    struct ifreq m_if;
    struct sockaddr_ll m_sockAddr;
    std::string m_overlayModelName;
    bool m_overlayModelAdded = false;
    std::vector<std::string> m_warnings;

    // The frames, built once in Init; messages point into them.
    std::vector<uint8_t> m_brightnessFrame;
    std::vector<uint8_t> m_displayFrame;
    std::vector<uint8_t> m_rowHeaders; // ROW_HEADER_SIZE bytes per row piece
    uint8_t m_brightness = 255;
    std::string m_sysfsRoot;
    SendFunction m_send;
    ClockFunction m_clock;
    bool m_lastGaveUp = false; // the last SendMessages dropped part of its list
    bool m_frameSlow = false;  // a list of this frame gave up (counted once in m_slowFrames)
    // Set on the output thread and the watch's, read by GetStatus on the HTTP threads.
    std::atomic<bool> m_sendsFail{false}; // the last send said the interface is down or gone
    std::atomic<bool> m_noLink{false};    // the watch's last look: the interface is not "up"
    std::atomic<bool> m_linkDown{false};  // either of the two
    std::mutex m_linkLock;                // one transition of m_linkDown at a time
    std::atomic<int> m_boundIndex{0};     // the interface index m_fd is bound to
    std::thread m_watch;
    std::mutex m_watchLock;
    MonotonicCondition m_watchWake;
    bool m_watchStop = false;
    std::atomic<uint64_t> m_droppedFrames{0};
    std::atomic<int> m_receiverCount{0};
};
