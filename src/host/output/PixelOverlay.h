// Pixel overlay models: named blocks of channels that something other than the
// sequence draws into (a text, a preview, a panel picture). An active model's
// buffer is laid over the channel data each frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class PixelOverlayModel {
public:
    enum State {
        Disabled = 0,
        Enabled = 1,        // the whole buffer replaces the channels
        Transparent = 2,    // only nonzero channels replace the channels
        TransparentRGB = 3, // only nodes with a nonzero channel replace the channels
    };

    // `startChannel` 0-based; orientation "H" (strings run across) or "V";
    // start corner "TL", "TR", "BL" or "BR".
    PixelOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                      int channelsPerNode, const std::string& orientation, const std::string& startCorner,
                      int strings, int strandsPerString, bool autoCreated);
    virtual ~PixelOverlayModel() {}

    const std::string& getName() const { return m_name; }
    uint32_t getStartChannel() const { return m_startChannel; }
    uint32_t getChannelCount() const { return m_channelCount; }
    int getChannelsPerNode() const { return m_channelsPerNode; }
    int getWidth() const { return m_width; }
    int getHeight() const { return m_height; }
    bool isAutoCreated() const { return m_autoCreated; }

    uint8_t getState() const { return m_state.load(); }
    void setState(uint8_t state) { m_state.store(state); }

    // The model's channels, in channel order. Callers that write it directly hold
    // no lock; a frame may show a half-written picture, which is harmless.
    uint8_t* getOverlayBuffer() { return m_buffer.data(); }
    // Copies getChannelCount() bytes in.
    virtual void setData(const uint8_t* data);
    void setPixelValue(int x, int y, uint8_t r, uint8_t g, uint8_t b);
    void setBufferIsDirty(bool dirty) { m_dirty.store(dirty); }
    bool isBufferDirty() const { return m_dirty.load(); }
    void clear();

    // Lays the buffer over `channelData` by the model's state.
    void doOverlay(uint8_t* channelData);

private:
    std::string m_name;
    uint32_t m_startChannel;
    uint32_t m_channelCount;
    int m_channelsPerNode;
    std::string m_orientation;
    std::string m_startCorner;
    int m_width = 0;
    int m_height = 0;
    bool m_autoCreated;
    std::atomic<uint8_t> m_state{Disabled};
    std::atomic<bool> m_dirty{false};
    std::vector<uint8_t> m_buffer;
};

class PixelOverlayManager {
public:
    static PixelOverlayManager INSTANCE;

    // The switch for automatic models: panel outputs register their pictures as
    // models (addAutoOverlayModel) in Init only while it is set. On by default;
    // outputs only read it.
    std::atomic<bool> autoCreateModels{true};

    // The model of that name, or null. Models live until removed; the pointer
    // stays valid until then.
    PixelOverlayModel* getModel(const std::string& name);
    // {"Name", "StartChannel" (1-based), "ChannelCount", "ChannelCountPerNode",
    //  "Orientation", "StartCorner", "StringCount", "StrandsPerString"}.
    // False with a message on a bad object or a name in use.
    bool addModel(const Json::Value& config);
    // Registers a model an output made of its own picture (`startChannel` 0-based;
    // orientation and start corner as PixelOverlayModel takes them; `strings` x
    // `strandsPerString` lines of nodes). False with a message when the name is in
    // use or the channels reach past the channel buffer; nothing is added then.
    bool addAutoOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                             uint32_t channelsPerNode, const std::string& orientation,
                             const std::string& startCorner, uint32_t strings, uint32_t strandsPerString);
    // Drops the automatic model of that name; a model added by addModel is kept.
    void removeAutoOverlayModel(const std::string& name);
    void removeModel(const std::string& name);
    void removeAllModels();
    std::vector<std::string> getModelNames();
    // Every model, by name: [{"name", "startChannel" (1-based, as users count),
    // "channelCount", "width", "height", "autoCreated"}, ...].
    Json::Value getModelList();

    bool hasActiveOverlays();
    void doOverlays(uint8_t* channelData);

private:
    std::mutex m_lock; // guards m_models
    std::map<std::string, std::unique_ptr<PixelOverlayModel>> m_models;
};
