// Pixel overlay models and their manager.
#include "host/output/PixelOverlay.h"

#include "host/core/Log.h"

#include <algorithm>
#include <cstring>

// Channels a model may reach: the engine's channel buffer holds 8 MiB channels.
static const uint64_t MAX_OVERLAY_CHANNEL = 8 * 1024 * 1024;

PixelOverlayManager PixelOverlayManager::INSTANCE;

PixelOverlayModel::PixelOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                                     int channelsPerNode, const std::string& orientation,
                                     const std::string& startCorner, int strings, int strandsPerString,
                                     bool autoCreated)
    : m_name(name), m_startChannel(startChannel), m_channelCount(channelCount),
      m_channelsPerNode(channelsPerNode > 0 ? channelsPerNode : 3), m_orientation(orientation),
      m_startCorner(startCorner), m_autoCreated(autoCreated), m_buffer(channelCount, 0) {
    int lines = std::max(1, strings) * std::max(1, strandsPerString);
    int nodes = (int)(channelCount / m_channelsPerNode);
    int along = nodes / lines;
    if (orientation == "V") {
        m_width = lines;
        m_height = along;
    } else {
        m_width = along;
        m_height = lines;
    }
}

void PixelOverlayModel::setData(const uint8_t* data) {
    memcpy(m_buffer.data(), data, m_buffer.size());
    setBufferIsDirty(true);
}

void PixelOverlayModel::setPixelValue(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return;
    }
    bool right = m_startCorner.size() == 2 && m_startCorner[1] == 'R';
    bool bottom = !m_startCorner.empty() && m_startCorner[0] == 'B';
    if (right) {
        x = m_width - 1 - x;
    }
    if (bottom) {
        y = m_height - 1 - y;
    }
    size_t node = m_orientation == "V" ? (size_t)x * m_height + y : (size_t)y * m_width + x;
    size_t off = node * m_channelsPerNode;
    uint8_t rgb[3] = {r, g, b};
    for (int i = 0; i < m_channelsPerNode && i < 3 && off + i < m_buffer.size(); i++) {
        m_buffer[off + i] = rgb[i];
    }
}

void PixelOverlayModel::clear() {
    std::fill(m_buffer.begin(), m_buffer.end(), 0);
    setBufferIsDirty(true);
}

void PixelOverlayModel::doOverlay(uint8_t* channelData) {
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
    if (!config.isObject() || !config["Name"].isString() || config["Name"].asString().empty()) {
        LogErr(LOGCH_GENERAL, "Pixel overlay model needs a \"Name\"\n");
        return false;
    }
    std::string name = config["Name"].asString();
    // A file a user wrote: a key of the wrong type is named, not thrown on.
    for (const char* key :
         {"StartChannel", "ChannelCount", "ChannelCountPerNode", "StringCount", "StrandsPerString"}) {
        const Json::Value& v = config[key];
        if (!v.isNull() &&
            !(v.isIntegral() && v.asInt64() >= 0 && v.asInt64() <= (Json::Int64)MAX_OVERLAY_CHANNEL)) {
            LogErr(LOGCH_GENERAL, "Pixel overlay model %s: \"%s\" must be a whole number from 0\n",
                   name.c_str(), key);
            return false;
        }
    }
    for (const char* key : {"Orientation", "StartCorner"}) {
        if (!config[key].isNull() && !config[key].isString()) {
            LogErr(LOGCH_GENERAL, "Pixel overlay model %s: \"%s\" must be a text\n", name.c_str(), key);
            return false;
        }
    }
    Json::Int64 start = config.get("StartChannel", 1).asInt64();
    Json::Int64 count = config.get("ChannelCount", 0).asInt64();
    if (start < 1 || count < 1 || (uint64_t)(start - 1 + count) > MAX_OVERLAY_CHANNEL) {
        LogErr(LOGCH_GENERAL, "Pixel overlay model %s: channels %lld to %lld lie outside 1 to %llu\n",
               name.c_str(), (long long)start, (long long)(start + count - 1),
               (unsigned long long)MAX_OVERLAY_CHANNEL);
        return false;
    }
    auto m = std::make_unique<PixelOverlayModel>(
        name, (uint32_t)(start - 1), (uint32_t)count, config.get("ChannelCountPerNode", 3).asInt(),
        config.get("Orientation", "H").asString(), config.get("StartCorner", "TL").asString(),
        config.get("StringCount", 1).asInt(), config.get("StrandsPerString", 1).asInt(), false);
    std::lock_guard<std::mutex> l(m_lock);
    if (m_models.count(name)) {
        LogErr(LOGCH_GENERAL, "Pixel overlay model %s exists already\n", name.c_str());
        return false;
    }
    m_models[name] = std::move(m);
    return true;
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
        v["startChannel"] = (Json::UInt64)m.second->getStartChannel() + 1;
        v["channelCount"] = (Json::UInt)m.second->getChannelCount();
        v["width"] = m.second->getWidth();
        v["height"] = m.second->getHeight();
        v["autoCreated"] = m.second->isAutoCreated();
        list.append(v);
    }
    return list;
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
