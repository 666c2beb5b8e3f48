// Pixel overlay models and their manager.
#include "host/output/PixelOverlay.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cstring>

// Channels a model may reach: the engine's channel buffer holds 8 MiB channels.
static const uint64_t MAX_OVERLAY_CHANNEL = 8 * 1024 * 1024;

PixelOverlayManager PixelOverlayManager::INSTANCE;

namespace {

// Keys of a model's object, read without exceptions: a wrong-typed key is logged,
// naming the model and the key, and the model is refused.
class ModelKeys {
public:
    ModelKeys(const Json::Value& config, const std::string& name) : m_config(config), m_name(name) {}

    bool number(const char* key, long long def, long long& out) const {
        const Json::Value& v = m_config[key];
        if (v.isNull()) {
            out = def;
            return true;
        }
        if (v.isInt64()) {
            out = v.asInt64();
            return true;
        }
        // Range first: converting a double beyond long long is undefined.
        if (v.isDouble() && v.asDouble() > -1e15 && v.asDouble() < 1e15 &&
            v.asDouble() == (double)(long long)v.asDouble()) {
            out = (long long)v.asDouble();
            return true;
        }
        return wrong(key, "a whole number");
    }
    bool text(const char* key, const char* def, std::string& out) const {
        const Json::Value& v = m_config[key];
        if (v.isNull()) {
            out = def;
            return true;
        }
        if (!v.isString()) {
            return wrong(key, "a text");
        }
        out = v.asString();
        return true;
    }
    bool flag(const char* key, bool def, bool& out) const {
        const Json::Value& v = m_config[key];
        if (v.isNull()) {
            out = def;
            return true;
        }
        if (!v.isBool()) {
            return wrong(key, "true or false");
        }
        out = v.asBool();
        return true;
    }

private:
    bool wrong(const char* key, const char* what) const {
        LogErr(LOGCH_GENERAL, "Pixel overlay model %s: \"%s\" must be %s\n", m_name.c_str(), key, what);
        return false;
    }
    const Json::Value& m_config;
    const std::string& m_name;
};

} // namespace

PixelOverlayModel::PixelOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                                     int channelsPerNode, const std::string& orientation,
                                     const std::string& startCorner, int strings, int strandsPerString,
                                     bool autoCreated)
    : m_buffer(channelCount, 0), m_name(name), m_startChannel(startChannel), m_channelCount(channelCount),
      m_channelsPerNode(channelsPerNode > 0 ? channelsPerNode : 3), m_orientation(orientation),
      m_startCorner(startCorner), m_autoCreated(autoCreated) {
    int lines = std::max(1, strings) * std::max(1, strandsPerString);
    int nodes = (int)(channelCount / m_channelsPerNode);
    int along = nodes / lines;
    m_vertical = orientation == "V";
    m_right = startCorner.size() == 2 && startCorner[1] == 'R';
    m_bottom = !startCorner.empty() && startCorner[0] == 'B';
    if (m_vertical) {
        m_width = lines;
        m_height = along;
    } else {
        m_width = along;
        m_height = lines;
    }
}

PixelOverlayModel::PixelOverlayModel(const std::string& name, const std::string& type, int width, int height,
                                     bool autoCreated)
    : m_buffer((size_t)width * (size_t)height * 3, 0), m_name(name), m_type(type), m_hasChannels(false),
      m_width(width), m_height(height), m_autoCreated(autoCreated) {}

void PixelOverlayModel::setData(const uint8_t* data) {
    // Drawers that wrote into getOverlayBuffer() hand it back: nothing to copy.
    if (data != m_buffer.data()) {
        memcpy(m_buffer.data(), data, m_buffer.size());
    }
    setBufferIsDirty(true);
}

void PixelOverlayModel::showData(const uint8_t*) {}

void PixelOverlayModel::getPixelValue(int x, int y, uint8_t& r, uint8_t& g, uint8_t& b) const {
    r = g = b = 0;
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return;
    }
    size_t off = pixelOffset(x, y);
    if (off >= m_buffer.size()) {
        return;
    }
    const uint8_t* p = m_buffer.data() + off;
    if (m_channelsPerNode == 1) {
        r = g = b = p[0];
        return;
    }
    r = p[0];
    g = off + 1 < m_buffer.size() ? p[1] : 0;
    b = m_channelsPerNode >= 3 && off + 2 < m_buffer.size() ? p[2] : 0;
}

void PixelOverlayModel::clear() {
    std::fill(m_buffer.begin(), m_buffer.end(), 0);
    setBufferIsDirty(true);
}

void PixelOverlayModel::doOverlay(uint8_t* channelData) {
    if (!m_hasChannels) {
        return;
    }
    uint64_t end = std::min<uint64_t>((uint64_t)m_startChannel + m_channelCount, MAX_OVERLAY_CHANNEL);
    if (m_startChannel >= end) {
        return;
    }
    size_t len = (size_t)(end - m_startChannel);
    uint8_t* dst = channelData + m_startChannel;
    const uint8_t* src = m_buffer.data();
    switch (getState()) {
    case Enabled:
        memcpy(dst, src, len);
        break;
    case Transparent:
        for (size_t i = 0; i < len; i++) {
            if (src[i]) {
                dst[i] = src[i];
            }
        }
        break;
    case TransparentRGB:
        for (size_t i = 0; i + m_channelsPerNode <= len; i += m_channelsPerNode) {
            bool lit = false;
            for (int c = 0; c < m_channelsPerNode; c++) {
                lit |= src[i + c] != 0;
            }
            if (lit) {
                memcpy(dst + i, src + i, m_channelsPerNode);
            }
        }
        break;
    default:
        break;
    }
}

PixelOverlayModel* PixelOverlayManager::getModel(const std::string& name) {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_models.find(name);
    return it == m_models.end() ? nullptr : it->second.get();
}

bool PixelOverlayManager::addModel(const Json::Value& config) {
    return addModel(config, nullptr);
}

bool PixelOverlayManager::addModel(const Json::Value& config, std::string* deviceError) {
    if (!config.isObject() || !config["Name"].isString() || config["Name"].asString().empty()) {
        LogErr(LOGCH_GENERAL, "Pixel overlay model needs a \"Name\" (a text)\n");
        return false;
    }
    const std::string name = config["Name"].asString();
    ModelKeys keys(config, name);
    std::string type;
    bool autoCreated = false;
    if (!keys.text("Type", "Channel", type) || !keys.flag("autoCreated", false, autoCreated)) {
        return false;
    }
    std::unique_ptr<PixelOverlayModel> m;
    if (type == "Channel") {
        long long start, count, perNode, strings, strands;
        std::string orientation, corner;
        if (!keys.number("StartChannel", 1, start) || !keys.number("ChannelCount", 0, count) ||
            !keys.number("ChannelCountPerNode", 3, perNode) || !keys.text("Orientation", "H", orientation) ||
            !keys.text("StartCorner", "TL", corner) || !keys.number("StringCount", 1, strings) ||
            !keys.number("StrandsPerString", 1, strands)) {
            return false;
        }
        if (start < 1 || count < 1 || (uint64_t)(start - 1 + count) > MAX_OVERLAY_CHANNEL) {
            LogErr(LOGCH_GENERAL, "Pixel overlay model %s: channels %lld to %lld lie outside 1 to %llu\n",
                   name.c_str(), start, start + count - 1, (unsigned long long)MAX_OVERLAY_CHANNEL);
            return false;
        }
        if (perNode < 1 || perNode > 4 || strings > 65536 || strands > 65536) {
            LogErr(LOGCH_GENERAL,
                   "Pixel overlay model %s: \"ChannelCountPerNode\" must be 1 to 4, \"StringCount\" and "
                   "\"StrandsPerString\" at most 65536\n",
                   name.c_str());
            return false;
        }
        m.reset(new PixelOverlayModel(name, (uint32_t)(start - 1), (uint32_t)count, (int)perNode, orientation,
                                      corner, (int)strings, (int)strands, autoCreated));
    } else if (type == "FB" || type == "Memory") {
        long long width, height, pixelSize = 1;
        std::string device;
        const long long defaultSize = type == "FB" ? 0 : -1;
        if (!keys.number("Width", defaultSize, width) || !keys.number("Height", defaultSize, height) ||
            (type == "FB" && (!keys.number("PixelSize", 1, pixelSize) || !keys.text("Device", "", device)))) {
            return false;
        }
        const long long least = type == "FB" ? 0 : 1;
        if (width < least || height < least || width > 65536 || height > 65536 ||
            (unsigned long long)width * (unsigned long long)height * 3 >
                PixelOverlayModel::MAX_PICTURE_BYTES) {
            LogErr(LOGCH_GENERAL,
                   "Pixel overlay model %s: \"Width\" and \"Height\" must be %s, for a picture of at most "
                   "%zu MiB (3 bytes a pixel)\n",
                   name.c_str(), type == "FB" ? "0 (fit the screen) or more" : "1 or more",
                   PixelOverlayModel::MAX_PICTURE_BYTES >> 20);
            return false;
        }
        if (type == "Memory") {
            m.reset(new MemoryOverlayModel(name, (int)width, (int)height, autoCreated));
        } else {
            if (pixelSize < 1 || pixelSize > 256) {
                LogErr(LOGCH_GENERAL, "Pixel overlay model %s: \"PixelSize\" must be 1 to 256\n",
                       name.c_str());
                return false;
            }
            std::string error;
            m = FramebufferOverlayModel::Create(name, device, (int)width, (int)height, (int)pixelSize,
                                                autoCreated, error);
            if (!m) {
                if (deviceError) {
                    *deviceError = error;
                } else {
                    LogErr(LOGCH_GENERAL, "Pixel overlay model %s: %s\n", name.c_str(), error.c_str());
                }
                return false;
            }
        }
    } else {
        LogErr(LOGCH_GENERAL,
               "Pixel overlay model %s: \"Type\" '%s' is unknown; use \"Channel\", \"FB\" or \"Memory\"\n",
               name.c_str(), type.c_str());
        return false;
    }
    std::lock_guard<std::mutex> l(m_lock);
    if (m_models.count(name)) {
        LogErr(LOGCH_GENERAL, "Pixel overlay model %s exists already\n", name.c_str());
        return false;
    }
    m_models[name] = std::move(m);
    return true;
}

bool PixelOverlayManager::loadModels(const std::string& path, std::vector<std::string>* leftOut) {
    if (!FileExists(path)) {
        LogDebug(LOGCH_GENERAL, "No overlay models file %s\n", path.c_str());
        return true;
    }
    Json::Value root;
    std::string error;
    if (!LoadJsonFromFile(path, root, &error)) {
        LogErr(LOGCH_GENERAL, "Overlay models file %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    if (!root.isObject() || !root["models"].isArray()) {
        LogErr(LOGCH_GENERAL, "Overlay models file %s must hold {\"models\": [...]}\n", path.c_str());
        return false;
    }
    std::vector<std::string> added;
    int wrong = 0;
    for (const Json::Value& m : root["models"]) {
        std::string deviceError;
        if (addModel(m, &deviceError)) {
            added.push_back(m["Name"].asString());
        } else if (!deviceError.empty()) {
            // The file is right; the screen is missing or unusable today.
            std::string text =
                "Overlay model " + m["Name"].asString() + " of " + path + " is left out: " + deviceError;
            LogWarn(LOGCH_GENERAL, "%s; the show goes on without it\n", text.c_str());
            if (leftOut) {
                leftOut->push_back(text);
            }
        } else {
            wrong++;
        }
    }
    if (wrong) {
        for (const std::string& name : added) {
            removeModel(name);
        }
        LogErr(LOGCH_GENERAL, "Overlay models file %s: %d model(s) wrong, see above; fix or remove them\n",
               path.c_str(), wrong);
        return false;
    }
    LogInfo(LOGCH_GENERAL, "%zu overlay model(s) from %s\n", added.size(), path.c_str());
    return true;
}

bool PixelOverlayManager::addPanelModel(const std::string& baseName, uint32_t startChannel,
                                        uint32_t channelCount, bool invertedData, uint32_t height,
                                        std::string& name) {
    if (!autoCreateModels.load()) {
        return false;
    }
    name = baseName;
    for (int n = 1; getModel(name) && n < 100000; n++) {
        name = baseName + "-" + std::to_string(n);
    }
    return addAutoOverlayModel(name, startChannel, channelCount, 3, "H", invertedData ? "BL" : "TL", height,
                               1);
}

bool PixelOverlayManager::addAutoOverlayModel(const std::string& name, uint32_t startChannel,
                                              uint32_t channelCount, uint32_t channelsPerNode,
                                              const std::string& orientation, const std::string& startCorner,
                                              uint32_t strings, uint32_t strandsPerString) {
    if ((uint64_t)startChannel + channelCount > MAX_OVERLAY_CHANNEL) {
        LogErr(LOGCH_GENERAL, "Pixel overlay model %s reaches past the channel buffer, not added\n",
               name.c_str());
        return false;
    }
    auto m = std::make_unique<PixelOverlayModel>(name, startChannel, channelCount, (int)channelsPerNode,
                                                 orientation, startCorner, (int)strings,
                                                 (int)strandsPerString, true);
    std::lock_guard<std::mutex> l(m_lock);
    if (m_models.count(name)) {
        LogErr(LOGCH_GENERAL, "Pixel overlay model %s exists already\n", name.c_str());
        return false;
    }
    m_models[name] = std::move(m);
    return true;
}

void PixelOverlayManager::removeAutoOverlayModel(const std::string& name) {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_models.find(name);
    if (it != m_models.end() && it->second->isAutoCreated()) {
        m_models.erase(it);
    }
}

void PixelOverlayManager::removeModel(const std::string& name) {
    std::lock_guard<std::mutex> l(m_lock);
    m_models.erase(name);
}

void PixelOverlayManager::removeAllModels() {
    std::lock_guard<std::mutex> l(m_lock);
    m_models.clear();
}

std::vector<std::string> PixelOverlayManager::getModelNames() {
    std::lock_guard<std::mutex> l(m_lock);
    std::vector<std::string> r;
    for (auto& m : m_models) {
        r.push_back(m.first);
    }
    return r;
}

Json::Value PixelOverlayManager::getModelList() {
    std::lock_guard<std::mutex> l(m_lock);
    Json::Value list(Json::arrayValue);
    for (auto& m : m_models) {
        Json::Value v(Json::objectValue);
        v["name"] = m.first;
        v["type"] = m.second->getType();
        if (m.second->hasChannels()) {
            v["startChannel"] = (Json::UInt64)m.second->getStartChannel() + 1;
            v["channelCount"] = (Json::UInt)m.second->getChannelCount();
        }
        v["width"] = m.second->getWidth();
        v["height"] = m.second->getHeight();
        v["autoCreated"] = m.second->isAutoCreated();
        list.append(v);
    }
    return list;
}

bool PixelOverlayManager::getModelImage(const std::string& name, int& width, int& height,
                                        std::vector<uint8_t>& rgb) {
    // Under the lock: the model cannot be removed while it is copied.
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_models.find(name);
    if (it == m_models.end()) {
        return false;
    }
    PixelOverlayModel& m = *it->second;
    width = m.getWidth();
    height = m.getHeight();
    rgb.assign((size_t)width * (size_t)height * 3, 0);
    if (!m.hasChannels()) {
        memcpy(rgb.data(), m.getOverlayBuffer(), std::min(rgb.size(), m.getBufferSize()));
        return true;
    }
    uint8_t* p = rgb.data();
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++, p += 3) {
            m.getPixelValue(x, y, p[0], p[1], p[2]);
        }
    }
    return true;
}

bool PixelOverlayManager::hasActiveOverlays() {
    std::lock_guard<std::mutex> l(m_lock);
    for (auto& m : m_models) {
        if (m.second->getState() != PixelOverlayModel::Disabled) {
            return true;
        }
    }
    return false;
}

void PixelOverlayManager::doOverlays(uint8_t* channelData) {
    std::lock_guard<std::mutex> l(m_lock);
    for (auto& m : m_models) {
        m.second->doOverlay(channelData);
    }
}

std::unique_ptr<FramebufferOverlayModel>
FramebufferOverlayModel::Create(const std::string& name, const std::string& device, int width, int height,
                                int pixelSize, bool autoCreated, std::string& error) {
    std::string dev = device;
    if (dev.compare(0, 5, "/dev/") == 0) {
        dev.erase(0, 5);
    }
    // A device under /dev, named as users see it there: no way out of the folder.
    bool safe = !dev.empty() && dev[0] != '/' && dev.size() <= 64;
    for (size_t i = 0; safe && i < dev.size(); i++) {
        char c = dev[i];
        safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == '.' || c == '/';
    }
    if (!safe || ("/" + dev + "/").find("/../") != std::string::npos) {
        error =
            "\"Device\" '" + device + "' is not a framebuffer device name such as \"fb0\" or \"/dev/fb0\"";
        return nullptr;
    }
    const std::string path = "/dev/" + dev;
    std::unique_ptr<FramebufferDevice> fb = FramebufferDevice::Open(path, error);
    if (!fb) {
        return nullptr;
    }
    FramebufferGeometry g = fb->geometry();
    FramebufferPixelPacker packer;
    if (!packer.Configure(g, error)) {
        error = path + " has " + error;
        return nullptr;
    }
    // What of the visible area the mapped memory really holds.
    const long long bpp = packer.BytesPerPixel();
    long long cols = std::min<long long>(g.width, g.lineLength / bpp - g.xOffset);
    long long rows = g.lineLength > 0
                         ? std::min<long long>(g.height, (long long)(fb->size() / g.lineLength) - g.yOffset)
                         : 0;
    if (g.xOffset < 0 || g.yOffset < 0 || cols < 1 || rows < 1) {
        error = path + " reports a visible area (" + std::to_string(g.width) + "x" +
                std::to_string(g.height) + " at " + std::to_string(g.xOffset) + "," +
                std::to_string(g.yOffset) + ") outside its memory";
        return nullptr;
    }
    if (width == 0) {
        width = std::max(1, (int)cols / pixelSize);
    }
    if (height == 0) {
        height = std::max(1, (int)rows / pixelSize);
    }
    if ((unsigned long long)width * (unsigned long long)height * 3 > MAX_PICTURE_BYTES) {
        error = std::to_string(width) + "x" + std::to_string(height) + " pixels need more than " +
                std::to_string(MAX_PICTURE_BYTES >> 20) + " MiB";
        return nullptr;
    }
    std::unique_ptr<FramebufferOverlayModel> m(new FramebufferOverlayModel(name, width, height, autoCreated));
    m->m_devicePath = path;
    m->m_device = std::move(fb);
    m->m_packer = packer;
    m->m_pixelSize = pixelSize;
    m->m_drawWidth = (int)std::min<long long>((long long)width * pixelSize, cols);
    m->m_drawHeight = (int)std::min<long long>((long long)height * pixelSize, rows);
    m->m_row.assign((size_t)m->m_drawWidth * bpp, 0);
    if ((long long)width * pixelSize > cols || (long long)height * pixelSize > rows) {
        LogWarn(
            LOGCH_GENERAL,
            "Pixel overlay model %s: %dx%d at pixel size %d is larger than %s (%lldx%lld); the rest is cut "
            "off\n",
            name.c_str(), width, height, pixelSize, path.c_str(), cols, rows);
    }
    LogInfo(LOGCH_GENERAL, "Pixel overlay model %s: %dx%d on %s (%dx%d, %d bits per pixel)\n", name.c_str(),
            width, height, path.c_str(), g.width, g.height, g.bitsPerPixel);
    return m;
}

FramebufferOverlayModel::~FramebufferOverlayModel() {}

void FramebufferOverlayModel::setData(const uint8_t* data) {
    if (data != m_buffer.data()) {
        memcpy(m_buffer.data(), data, m_buffer.size());
    }
    setBufferIsDirty(false);
    showData(m_buffer.data());
}

void FramebufferOverlayModel::showData(const uint8_t* data) {
    const FramebufferGeometry& g = m_device->geometry();
    const int bpp = m_packer.BytesPerPixel();
    uint8_t* base = m_device->memory() + (size_t)g.yOffset * g.lineLength + (size_t)g.xOffset * bpp;
    const int width = getWidth();
    if (m_pixelSize == 1) {
        for (int y = 0; y < m_drawHeight; y++) {
            m_packer.PackRow(data + (size_t)y * width * 3, m_drawWidth, base + (size_t)y * g.lineLength);
        }
        return;
    }
    // Each model row once into m_row, widened to pixelSize, then copied to its rows.
    for (int y = 0; y * m_pixelSize < m_drawHeight; y++) {
        const uint8_t* src = data + (size_t)y * width * 3;
        uint8_t* out = m_row.data();
        for (int x = 0, col = 0; col < m_drawWidth; x++, src += 3) {
            uint8_t packed[4];
            m_packer.PackRow(src, 1, packed);
            for (int k = 0; k < m_pixelSize && col < m_drawWidth; k++, col++, out += bpp) {
                memcpy(out, packed, (size_t)bpp);
            }
        }
        for (int k = 0; k < m_pixelSize && y * m_pixelSize + k < m_drawHeight; k++) {
            memcpy(base + (size_t)(y * m_pixelSize + k) * g.lineLength, m_row.data(), m_row.size());
        }
    }
}

void FramebufferOverlayModel::doOverlay(uint8_t*) {
    if (getState() != Disabled && takeBufferDirty()) {
        showData(m_buffer.data());
    }
}
