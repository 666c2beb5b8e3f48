// Layout reading and pixel map of the preview outputs.
#include "host/output/ScreenPreviewBaseOutput.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>

namespace {

// A layout file describes a prop, not a film: a few megabytes at most.
constexpr long long MAX_LAYOUT_FILE = 64ll * 1024 * 1024;

bool readIntMember(const Json::Value& obj, const char* key, long long& out) {
    const Json::Value& v = obj[key];
    if (v.isInt64()) {
        out = v.asInt64();
        return true;
    }
    if (v.isDouble()) {
        double d = v.asDouble();
        if (d == (double)(long long)d && d > -1e15 && d < 1e15) {
            out = (long long)d;
            return true;
        }
    }
    return false;
}

// "#RRGGBB" or [r, g, b].
bool readFixedColor(const Json::Value& v, unsigned char out[3]) {
    if (v.isString()) {
        const std::string s = v.asString();
        if (s.size() != 7 || s[0] != '#') {
            return false;
        }
        for (int i = 0; i < 3; i++) {
            unsigned value = 0;
            for (int j = 0; j < 2; j++) {
                char c = s[1 + i * 2 + j];
                int d;
                if (c >= '0' && c <= '9') {
                    d = c - '0';
                } else if (c >= 'a' && c <= 'f') {
                    d = c - 'a' + 10;
                } else if (c >= 'A' && c <= 'F') {
                    d = c - 'A' + 10;
                } else {
                    return false;
                }
                value = value * 16 + d;
            }
            out[i] = (unsigned char)value;
        }
        return true;
    }
    if (v.isArray() && v.size() == 3) {
        for (Json::ArrayIndex i = 0; i < 3; i++) {
            if (!v[i].isInt() || v[i].asInt() < 0 || v[i].asInt() > 255) {
                return false;
            }
            out[i] = (unsigned char)v[i].asInt();
        }
        return true;
    }
    return false;
}

bool pathIsSafe(const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return false;
    }
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part == "..") {
            return false;
        }
    }
    return true;
}

} // namespace

ScreenPreviewBaseOutput::ScreenPreviewBaseOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewBaseOutput::ScreenPreviewBaseOutput(%u, %u)\n", startChannel,
             channelCount);
}

ScreenPreviewBaseOutput::~ScreenPreviewBaseOutput() {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewBaseOutput::~ScreenPreviewBaseOutput()\n");
    free(m_previewBuffer);
    m_previewBuffer = nullptr;
}

int ScreenPreviewBaseOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewBaseOutput::Init(JSON)\n");
    if (!config.isObject() && !config.isNull()) {
        LogErr(LOGCH_CHANNELOUT, "Preview output configuration is not a JSON object\n");
        return 0;
    }
    long long v;
    if (config.isMember("width")) {
        if (!readIntMember(config, "width", v) || v > MAX_COORDINATE + 1ll) {
            LogErr(LOGCH_CHANNELOUT, "Preview \"width\" must be an integer up to %d\n", MAX_COORDINATE + 1);
            return 0;
        }
        m_previewWidth = (int)v;
    }
    if (config.isMember("height")) {
        if (!readIntMember(config, "height", v) || v > MAX_COORDINATE + 1ll) {
            LogErr(LOGCH_CHANNELOUT, "Preview \"height\" must be an integer up to %d\n", MAX_COORDINATE + 1);
            return 0;
        }
        m_previewHeight = (int)v;
    }
    if (!config.isMember("layout")) {
        LogErr(LOGCH_CHANNELOUT,
               "Preview output has no \"layout\": add {\"type\": \"matrix\", \"width\": W, \"height\": H} or "
               "{\"type\": \"pixels\", \"file\": \"config/NAME.json\"}\n");
        return 0;
    }
    if (!ReadLayout(config["layout"])) {
        return 0;
    }
    return ChannelOutput::Init(config);
}

bool ScreenPreviewBaseOutput::ReadLayout(const Json::Value& layout) {
    m_layoutPixels.clear();
    m_layoutWidth = m_layoutHeight = 0;
    if (!layout.isObject() || !layout["type"].isString()) {
        LogErr(LOGCH_CHANNELOUT,
               "Preview \"layout\" must be an object with a \"type\" of \"matrix\" or \"pixels\"\n");
        return false;
    }
    const std::string type = layout["type"].asString();
    if (type == "matrix") {
        return ReadMatrixLayout(layout);
    }
    if (type == "pixels") {
        return ReadPixelsLayout(layout);
    }
    LogErr(LOGCH_CHANNELOUT, "Preview layout type '%s' is unknown; use \"matrix\" or \"pixels\"\n",
           type.c_str());
    return false;
}

bool ScreenPreviewBaseOutput::ReadMatrixLayout(const Json::Value& layout) {
    long long w = 0, h = 0;
    if (!readIntMember(layout, "width", w) || !readIntMember(layout, "height", h) || w < 1 || h < 1 ||
        w > MAX_COORDINATE + 1ll || h > MAX_COORDINATE + 1ll) {
        LogErr(LOGCH_CHANNELOUT, "Matrix layout needs a \"width\" and \"height\" from 1 to %d\n",
               MAX_COORDINATE + 1);
        return false;
    }
    const unsigned long long needed = 3ull * (unsigned long long)w * (unsigned long long)h;
    if (needed > m_channelCount) {
        LogErr(LOGCH_CHANNELOUT,
               "Matrix layout %lldx%lld needs %llu channels but the output has only %u (channels %u-%u)\n", w,
               h, needed, m_channelCount, m_startChannel + 1, m_startChannel + m_channelCount);
        return false;
    }
    m_layoutPixels.reserve((size_t)(w * h));
    for (long long y = 0; y < h; y++) {
        for (long long x = 0; x < w; x++) {
            LayoutPixel p{};
            p.x = (int)x;
            p.y = (int)y;
            p.channel = (unsigned int)(3 * (y * w + x));
            p.channelCount = 3;
            p.colorType = 0;
            m_layoutPixels.push_back(p);
        }
    }
    m_layoutWidth = (int)w;
    m_layoutHeight = (int)h;
    m_layoutDescription = "matrix " + std::to_string(w) + "x" + std::to_string(h);
    return true;
}

bool ScreenPreviewBaseOutput::ReadPixelsLayout(const Json::Value& layout) {
    if (layout.isMember("pixels")) {
        m_layoutDescription = "pixels (inline)";
        return ReadPixelList(layout["pixels"], "Inline pixel layout");
    }
    if (!layout["file"].isString()) {
        LogErr(LOGCH_CHANNELOUT, "Pixel layout needs a \"file\" (a path in the media folder, such as "
                                 "\"config/NAME.json\")\n");
        return false;
    }
    const std::string rel = layout["file"].asString();
    if (!pathIsSafe(rel)) {
        LogErr(LOGCH_CHANNELOUT, "Layout file '%s' must be a path inside the media folder, without '..'\n",
               rel.c_str());
        return false;
    }
    const std::string path = getTavoMediaDir(rel);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        LogErr(LOGCH_CHANNELOUT, "Layout file '%s' cannot be read: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > MAX_LAYOUT_FILE) {
        LogErr(LOGCH_CHANNELOUT, "Layout file '%s' is not a regular file of at most %lld bytes\n",
               path.c_str(), MAX_LAYOUT_FILE);
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        LogErr(LOGCH_CHANNELOUT, "Layout file '%s' cannot be opened: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    const std::string body = text.str();

    Json::Value list;
    std::string errors;
    if (!LoadJsonFromString(body, list, &errors)) {
        LogErr(LOGCH_CHANNELOUT, "Layout file '%s' is not valid JSON: %s\n", path.c_str(), errors.c_str());
        return false;
    }
    m_layoutDescription = "pixels from " + rel;
    return ReadPixelList(list, "Layout file '" + path + "'");
}

bool ScreenPreviewBaseOutput::ReadPixelList(const Json::Value& list, const std::string& source) {
    if (!list.isArray() || list.empty()) {
        LogErr(LOGCH_CHANNELOUT, "%s must be a non-empty JSON array of pixels\n", source.c_str());
        return false;
    }
    const unsigned long long first = (unsigned long long)m_startChannel + 1; // 1-based, as users write them
    const unsigned long long last = (unsigned long long)m_startChannel + m_channelCount;
    int maxX = 0, maxY = 0;
    m_layoutPixels.reserve(list.size());
    for (Json::ArrayIndex i = 0; i < list.size(); i++) {
        const Json::Value& e = list[i];
        if (!e.isObject()) {
            LogErr(LOGCH_CHANNELOUT, "%s: pixel %u is not an object\n", source.c_str(), i);
            return false;
        }
        long long x, y, channel, channels = 3, type = 0;
        if (!readIntMember(e, "x", x) || !readIntMember(e, "y", y) || x < 0 || y < 0 || x > MAX_COORDINATE ||
            y > MAX_COORDINATE) {
            LogErr(LOGCH_CHANNELOUT, "%s: pixel %u needs integer \"x\" and \"y\" from 0 to %d\n",
                   source.c_str(), i, MAX_COORDINATE);
            return false;
        }
        if (!readIntMember(e, "channel", channel) || channel < 1) {
            LogErr(LOGCH_CHANNELOUT, "%s: pixel %u needs a \"channel\" of 1 or more (1-based)\n",
                   source.c_str(), i);
            return false;
        }
        if (e.isMember("channels") &&
            (!readIntMember(e, "channels", channels) || (channels != 1 && channels != 3 && channels != 4))) {
            LogErr(LOGCH_CHANNELOUT, "%s: pixel %u has \"channels\" other than 1, 3 or 4\n", source.c_str(),
                   i);
            return false;
        }
        if (e.isMember("type") && (!readIntMember(e, "type", type) || type < 0 || type > 11)) {
            LogErr(LOGCH_CHANNELOUT, "%s: pixel %u has a \"type\" outside 0-11\n", source.c_str(), i);
            return false;
        }
        if ((unsigned long long)channel < first || (unsigned long long)channel + channels - 1 > last) {
            LogErr(LOGCH_CHANNELOUT,
                   "%s: pixel %u uses channels %lld-%lld, outside the output's channels %llu-%llu\n",
                   source.c_str(), i, channel, channel + channels - 1, first, last);
            return false;
        }
        LayoutPixel p{};
        p.x = (int)x;
        p.y = (int)y;
        p.channel = (unsigned int)(channel - (long long)first);
        p.channelCount = (int)channels;
        p.colorType = (int)type;
        if (type == 11 && !readFixedColor(e["color"], p.fixedColor)) {
            LogErr(LOGCH_CHANNELOUT,
                   "%s: pixel %u of type 11 needs a \"color\" as \"#RRGGBB\" or [r, g, b]\n", source.c_str(),
                   i);
            return false;
        }
        maxX = std::max(maxX, p.x);
        maxY = std::max(maxY, p.y);
        m_layoutPixels.push_back(p);
    }
    m_layoutWidth = maxX + 1;
    m_layoutHeight = maxY + 1;
    return true;
}

bool ScreenPreviewBaseOutput::InitializePixelMap() {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewBaseOutput::InitializePixelMap()\n");
    if (m_layoutPixels.empty()) {
        LogErr(LOGCH_CHANNELOUT, "Preview has no layout pixels (Init did not read a layout)\n");
        return false;
    }
    if (m_bytesPerPixel < 3) {
        LogErr(LOGCH_CHANNELOUT, "Preview buffer needs at least 3 bytes per pixel, not %d\n",
               m_bytesPerPixel);
        return false;
    }
    const bool fixedSize = m_previewWidth > 0 && m_previewHeight > 0;
    if (!fixedSize) {
        m_previewWidth = m_layoutWidth;
        m_previewHeight = m_layoutHeight;
    }
    const unsigned long long bytes = (unsigned long long)m_previewWidth *
                                     (unsigned long long)m_previewHeight *
                                     (unsigned long long)m_bytesPerPixel;
    if (bytes > MAX_PREVIEW_BUFFER) {
        LogErr(LOGCH_CHANNELOUT, "Preview of %dx%d is too large: %llu bytes, at most %zu\n", m_previewWidth,
               m_previewHeight, bytes, MAX_PREVIEW_BUFFER);
        return false;
    }
    if (!m_previewBuffer) {
        m_previewBuffer = (unsigned char*)calloc((size_t)bytes, 1);
        if (!m_previewBuffer) {
            LogErr(LOGCH_CHANNELOUT, "Unable to allocate a preview buffer of %llu bytes\n", bytes);
            return false;
        }
    }
    m_previewY0 = m_previewHeight - 1;

    const bool scale = fixedSize && (m_previewWidth != m_layoutWidth || m_previewHeight != m_layoutHeight);
    m_pixels.clear();
    m_pixels.reserve(m_layoutPixels.size());
    for (const LayoutPixel& lp : m_layoutPixels) {
        ScreenPreviewPixel p;
        p.x = lp.x;
        p.y = lp.y;
        if (scale) {
            // Centre of the layout cell, placed in the preview.
            p.x = (int)(((2ll * lp.x + 1) * m_previewWidth) / (2ll * m_layoutWidth));
            p.y = (int)(((2ll * lp.y + 1) * m_previewHeight) / (2ll * m_layoutHeight));
        }
        p.channel = lp.channel;
        p.channelCount = lp.channelCount;
        p.colorType = lp.colorType;
        memcpy(p.fixedColor, lp.fixedColor, 3);
        const unsigned int pos =
            ((unsigned int)p.y * (unsigned int)m_previewWidth + (unsigned int)p.x) * m_bytesPerPixel;
        p.rPos = pos;
        p.gPos = pos + 1;
        p.bPos = pos + 2;
        m_pixels.push_back(p);
    }
    return true;
}

void ScreenPreviewBaseOutput::DrawPixels(unsigned char* channelData) {
    if (!m_previewBuffer || !channelData) {
        return;
    }
    for (const ScreenPreviewPixel& p : m_pixels) {
        PixelColor(p, channelData, m_previewBuffer[p.rPos], m_previewBuffer[p.gPos], m_previewBuffer[p.bPos]);
    }
}

void ScreenPreviewBaseOutput::GetStatus(Json::Value& status) {
    ChannelOutput::GetStatus(status);
    status["width"] = m_previewWidth;
    status["height"] = m_previewHeight;
}

void ScreenPreviewBaseOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "ScreenPreviewBaseOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    Layout           : %s\n", m_layoutDescription.c_str());
    LogDebug(LOGCH_CHANNELOUT, "    Pixels           : %zu\n", m_pixels.size());
    LogDebug(LOGCH_CHANNELOUT, "    Preview Size     : %dx%d\n", m_previewWidth, m_previewHeight);
    LogDebug(LOGCH_CHANNELOUT, "    Pixel Size       : %d\n", m_pixelSize);
    ChannelOutput::DumpConfig();
}
