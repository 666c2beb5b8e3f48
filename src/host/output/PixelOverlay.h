// Pixel overlay models: named pictures that something other than the sequence
// draws into (a text, a preview, a panel picture). A model of channels, when
// active, is laid over the channel data each frame; a framebuffer model shows its
// picture on a screen, a memory model only keeps it (tavod serves it as an image).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "host/output/Framebuffer.h"

// A model of the channel data (type "Channel"): `startChannel` and
// `channelCount` place it in the channel buffer, and its buffer holds the
// model's channels in channel order. Models of other types (subclasses) have
// no channels: their buffer is a picture of getWidth() x getHeight() RGB
// pixels, row by row from the top-left, shown elsewhere (a screen, HTTP).
class PixelOverlayModel {
public:
    enum State {
        Disabled = 0,
        Enabled = 1,        // the whole buffer replaces the channels
        Transparent = 2,    // only nonzero channels replace the channels
        TransparentRGB = 3, // only nodes with a nonzero channel replace the channels
    };
    // Largest picture a model of another type than "Channel" may hold.
    static constexpr size_t MAX_PICTURE_BYTES = 64u * 1024 * 1024;

    // `startChannel` 0-based; orientation "H" (strings run across) or "V";
    // start corner "TL", "TR", "BL" or "BR".
    PixelOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                      int channelsPerNode, const std::string& orientation, const std::string& startCorner,
                      int strings, int strandsPerString, bool autoCreated);
    virtual ~PixelOverlayModel() {}

    const std::string& getName() const { return m_name; }
    // "Channel", "FB" or "Memory".
    const std::string& getType() const { return m_type; }
    bool hasChannels() const { return m_hasChannels; }
    uint32_t getStartChannel() const { return m_startChannel; }
    uint32_t getChannelCount() const { return m_channelCount; }
    int getChannelsPerNode() const { return m_channelsPerNode; }
    int getWidth() const { return m_width; }
    int getHeight() const { return m_height; }
    bool isAutoCreated() const { return m_autoCreated; }

    // For a model with a display, Disabled means that whoever draws into it shows
    // the buffer (setData); in the other states the host shows a changed buffer
    // each frame.
    uint8_t getState() const { return m_state.load(); }
    void setState(uint8_t state) { m_state.store(state); }

    // The model's buffer, getBufferSize() bytes. Callers that write it directly
    // hold no lock; a frame may show a half-written picture, which is harmless.
    uint8_t* getOverlayBuffer() { return m_buffer.data(); }
    size_t getBufferSize() const { return m_buffer.size(); }
    // Replaces the whole buffer with getBufferSize() bytes laid out as the buffer
    // is (the model's own buffer may be given: nothing is copied then), marks it
    // changed, and on a model with a display shows it.
    virtual void setData(const uint8_t* data);
    // Shows getBufferSize() bytes, laid out as the buffer, on the model's display,
    // leaving the buffer as it is; nothing on a model without a display.
    virtual void showData(const uint8_t* data);

    // Pixel (x, y) of the model's picture, (0, 0) at the top-left; outside the
    // picture nothing is written and black is read.
    void setPixelValue(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
        if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
            return;
        }
        size_t off = pixelOffset(x, y);
        uint8_t* p = m_buffer.data() + off;
        if (m_channelsPerNode >= 3 && off + 3 <= m_buffer.size()) {
            p[0] = r;
            p[1] = g;
            p[2] = b;
            return;
        }
        uint8_t rgb[3] = {r, g, b};
        for (int i = 0; i < m_channelsPerNode && i < 3 && off + i < m_buffer.size(); i++) {
            p[i] = rgb[i];
        }
    }
    void getPixelValue(int x, int y, uint8_t& r, uint8_t& g, uint8_t& b) const;
    void setBufferIsDirty(bool dirty) { m_dirty.store(dirty); }
    bool isBufferDirty() const { return m_dirty.load(); }
    void clear();

    // Lays the buffer over `channelData` by the model's state; a model with a
    // display shows a changed buffer instead, unless it is Disabled.
    virtual void doOverlay(uint8_t* channelData);

protected:
    // A picture model of another type: width x height RGB pixels, no channels.
    PixelOverlayModel(const std::string& name, const std::string& type, int width, int height,
                      bool autoCreated);

    // Whether the buffer changed since this was last asked; clears the flag.
    bool takeBufferDirty() { return m_dirty.exchange(false); }

    std::vector<uint8_t> m_buffer;

private:
    size_t pixelOffset(int x, int y) const {
        if (m_right) {
            x = m_width - 1 - x;
        }
        if (m_bottom) {
            y = m_height - 1 - y;
        }
        size_t node = m_vertical ? (size_t)x * m_height + y : (size_t)y * m_width + x;
        return node * m_channelsPerNode;
    }

    std::string m_name;
    std::string m_type = "Channel";
    bool m_hasChannels = true;
    uint32_t m_startChannel = 0;
    uint32_t m_channelCount = 0;
    int m_channelsPerNode = 3;
    std::string m_orientation = "H";
    std::string m_startCorner = "TL";
    // From the orientation and start corner, for the per-pixel calls.
    bool m_vertical = false;
    bool m_right = false;
    bool m_bottom = false;
    int m_width = 0;
    int m_height = 0;
    bool m_autoCreated;
    std::atomic<uint8_t> m_state{Disabled};
    std::atomic<bool> m_dirty{false};
};

// A picture kept in memory only ("Memory"), to be seen over HTTP as an image.
class MemoryOverlayModel : public PixelOverlayModel {
public:
    MemoryOverlayModel(const std::string& name, int width, int height, bool autoCreated)
        : PixelOverlayModel(name, "Memory", width, height, autoCreated) {}
};

// A picture shown on a framebuffer device ("FB"): each model pixel is a square of
// `pixelSize` device pixels from the top-left of the screen; what does not fit
// the screen is cut off.
class FramebufferOverlayModel : public PixelOverlayModel {
public:
    // Null, with `error` set, when the device cannot be drawn on.
    static std::unique_ptr<FramebufferOverlayModel> Create(const std::string& name, const std::string& device,
                                                           int width, int height, int pixelSize,
                                                           bool autoCreated, std::string& error);
    ~FramebufferOverlayModel() override;

    const std::string& getDevice() const { return m_devicePath; }
    int getPixelSize() const { return m_pixelSize; }

    void setData(const uint8_t* data) override;
    void showData(const uint8_t* data) override;
    void doOverlay(uint8_t* channelData) override;

private:
    FramebufferOverlayModel(const std::string& name, int width, int height, bool autoCreated)
        : PixelOverlayModel(name, "FB", width, height, autoCreated) {}

    std::string m_devicePath;
    std::unique_ptr<FramebufferDevice> m_device;
    FramebufferPixelPacker m_packer;
    int m_pixelSize = 1;
    int m_drawWidth = 0;        // device pixels drawn of each row
    int m_drawHeight = 0;       // device rows drawn
    std::vector<uint8_t> m_row; // one packed device row, output thread only
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
    // Adds a model by its "Type" (see the output kit's README):
    //   "Channel" (the default): "StartChannel" (1-based), "ChannelCount",
    //     "ChannelCountPerNode", "Orientation", "StartCorner", "StringCount",
    //     "StrandsPerString";
    //   "FB": "Device" ("fb0" or "/dev/fb0"), "Width", "Height" (0 or absent: what
    //     fits the screen), "PixelSize";
    //   "Memory": "Width", "Height".
    // With "autoCreated" true, removeAutoOverlayModel removes it. False with a
    // message on a bad object (a wrong-typed key included), a device that cannot be
    // drawn on, a picture over 64 MiB, or a name in use.
    bool addModel(const Json::Value& config);
    // Adds the models of a file {"models": [addModel objects...]}; a missing file
    // adds nothing. A model whose device cannot be used is left out, with a
    // warning whose text is added to `leftOut`. False, with the problems logged
    // and nothing of the file added, when the file is unreadable or malformed or a
    // model in it is wrong (a wrong-typed or missing key, a bad value, a name in
    // use).
    bool loadModels(const std::string& path, std::vector<std::string>* leftOut = nullptr);
    // Registers a model an output made of its own picture (`startChannel` 0-based;
    // orientation and start corner as PixelOverlayModel takes them; `strings` x
    // `strandsPerString` lines of nodes). False with a message when the name is in
    // use or the channels reach past the channel buffer; nothing is added then.
    bool addAutoOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                             uint32_t channelsPerNode, const std::string& orientation,
                             const std::string& startCorner, uint32_t strings, uint32_t strandsPerString);
    // Registers a panel output's picture (RGB, `height` rows from the top, or from
    // the bottom with `invertedData`) as an automatic model named `baseName`, or
    // baseName-1, -2, ... when that name is taken; `name` receives the name. False
    // when automatic models are off or it was not added.
    bool addPanelModel(const std::string& baseName, uint32_t startChannel, uint32_t channelCount,
                       bool invertedData, uint32_t height, std::string& name);
    // Drops the automatic model of that name; other models are kept.
    void removeAutoOverlayModel(const std::string& name);
    void removeModel(const std::string& name);
    void removeAllModels();
    std::vector<std::string> getModelNames();
    // Every model, by name: [{"name", "type", "width", "height", "autoCreated",
    // and for channel models "startChannel" (1-based, as users count) and
    // "channelCount"}, ...].
    Json::Value getModelList();
    // A copy of the model's picture: width x height RGB pixels, row by row from the
    // top-left. False when there is no such model.
    bool getModelImage(const std::string& name, int& width, int& height, std::vector<uint8_t>& rgb);

    bool hasActiveOverlays();
    void doOverlays(uint8_t* channelData);

private:
    // With `deviceError`, a model whose device cannot be used is not logged: its
    // reason goes there (and nowhere else is it set).
    bool addModel(const Json::Value& config, std::string* deviceError);

    std::mutex m_lock; // guards m_models
    std::map<std::string, std::unique_ptr<PixelOverlayModel>> m_models;
};
