// Reading the panel layout and gamma keys that LED panel outputs share.
#include "host/output/PanelConfig.h"

#include "host/core/JsonUtils.h"
#include "host/core/Log.h"
#include "host/output/ChannelBuffer.h"

#include <algorithm>
#include <cmath>

namespace {

bool readPanels(const Json::Value& config, const std::string& who, PanelLayout& layout) {
    if (!config.isMember("panels")) {
        return true;
    }
    const Json::Value& panels = config["panels"];
    if (!panels.isArray()) {
        LogErr(LOGCH_CHANNELOUT, "%s: \"panels\" must be a list of panels, not %s\n", who.c_str(),
               JsonTypeName(panels));
        return false;
    }
    for (Json::ArrayIndex i = 0; i < panels.size(); i++) {
        std::string where = who + " panel " + std::to_string(i);
        if (!panels[i].isObject()) {
            LogErr(LOGCH_CHANNELOUT, "%s: must be an object, not %s\n", where.c_str(),
                   JsonTypeName(panels[i]));
            return false;
        }
        // A copy: the colour order is filled in before use, the configuration stays as given.
        Json::Value p = panels[i];
        bool ok = true;
        const PanelEntry entry = ReadPanelEntry(p, where, ok);
        if (!ok) {
            return false;
        }
        const int output = entry.output, chain = entry.chain;
        const std::string& orientation = entry.orientation;
        std::string order = entry.colorOrder;
        if (order.empty()) {
            order = ColorOrderToString(layout.colorOrder);
            p["colorOrder"] = order;
        }
        bool known = true;
        TavoColorOrder panelOrder = ColorOrderFromString(order, &known);
        if (!known) {
            LogWarn(LOGCH_CHANNELOUT,
                    "%s: \"colorOrder\" \"%s\" is none of RGB, RBG, GRB, GBR, BRG, BGR; using RGB\n",
                    where.c_str(), order.c_str());
        }
        char letter = orientation.empty() ? 'N' : orientation[0];
        std::string error;
        if (!layout.panelMatrix->AddPanel(output, chain, letter, entry.xOffset, entry.yOffset, panelOrder,
                                          &error)) {
            LogErr(LOGCH_CHANNELOUT, "%s (output %d, position %d): %s\n", where.c_str(), output, chain,
                   error.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

PanelEntry ReadPanelEntry(const Json::Value& panel, const std::string& where, bool& ok) {
    PanelEntry e;
    e.output = JsonKeyInt(panel, "outputNumber", 0, where, ok);
    e.chain = JsonKeyInt(panel, "panelNumber", 0, where, ok);
    e.xOffset = JsonKeyInt(panel, "xOffset", 0, where, ok);
    e.yOffset = JsonKeyInt(panel, "yOffset", 0, where, ok);
    e.orientation = JsonKeyString(panel, "orientation", "", where, ok);
    e.colorOrder = JsonKeyString(panel, "colorOrder", "", where, ok);
    return e;
}

bool ReadSubMatrices(const Json::Value& config, const std::string& who, Matrix& matrix) {
    if (!config.isMember("subMatrices")) {
        return true;
    }
    const Json::Value& subs = config["subMatrices"];
    if (!subs.isArray()) {
        LogErr(LOGCH_CHANNELOUT, "%s: \"subMatrices\" must be a list, not %s\n", who.c_str(),
               JsonTypeName(subs));
        return false;
    }
    for (Json::ArrayIndex i = 0; i < subs.size(); i++) {
        std::string where = who + " sub-matrix " + std::to_string(i);
        if (!subs[i].isObject()) {
            LogErr(LOGCH_CHANNELOUT, "%s: must be an object, not %s\n", where.c_str(), JsonTypeName(subs[i]));
            return false;
        }
        const Json::Value& s = subs[i];
        bool ok = true;
        int enabled = JsonKeyInt(s, "enabled", 0, where, ok);
        int start = JsonKeyInt(s, "startChannel", 1, where, ok);
        int width = JsonKeyInt(s, "width", 0, where, ok);
        int height = JsonKeyInt(s, "height", 0, where, ok);
        int xOffset = JsonKeyInt(s, "xOffset", 0, where, ok);
        int yOffset = JsonKeyInt(s, "yOffset", 0, where, ok);
        if (!ok) {
            return false;
        }
        std::string error;
        if (!matrix.AddSubMatrix(enabled, start - 1, width, height, xOffset, yOffset, &error)) {
            LogErr(LOGCH_CHANNELOUT, "%s (from channel %d): %s\n", where.c_str(), start, error.c_str());
            return false;
        }
    }
    return true;
}

bool ReadPanelLayout(const Json::Value& config, unsigned int startChannel, const std::string& who,
                     PanelLayout& layout) {
    bool ok = true;
    layout.panelWidth = JsonKeyInt(config, "panelWidth", 0, who, ok);
    layout.panelHeight = JsonKeyInt(config, "panelHeight", 0, who, ok);
    if (layout.panelWidth == 0) {
        layout.panelWidth = 32;
    }
    if (layout.panelHeight == 0) {
        layout.panelHeight = 16;
    }
    layout.invertedData = JsonKeyInt(config, "invertedData", 0, who, ok);
    std::string order = JsonKeyString(config, "colorOrder", "", who, ok);
    if (!ok) {
        return false;
    }
    bool known = true;
    layout.colorOrder = ColorOrderFromString(order, &known);
    if (!known) {
        LogWarn(LOGCH_CHANNELOUT,
                "%s: \"colorOrder\" \"%s\" is none of RGB, RBG, GRB, GBR, BRG, BGR; using RGB\n", who.c_str(),
                order.c_str());
    }
    if (layout.panelWidth < 0 || layout.panelHeight < 0) {
        LogErr(LOGCH_CHANNELOUT,
               "%s: the panel size %dx%d is not a size; set \"panelWidth\" and \"panelHeight\"\n",
               who.c_str(), layout.panelWidth, layout.panelHeight);
        return false;
    }

    layout.panelMatrix.reset(new PanelMatrix(layout.panelWidth, layout.panelHeight, layout.invertedData));
    if (!readPanels(config, who, layout)) {
        return false;
    }
    layout.outputs = std::max(1, layout.panelMatrix->OutputCount());
    layout.longestChain = std::max(1, layout.panelMatrix->LongestChain());

    int64_t channels = (int64_t)layout.panelMatrix->Width() * layout.panelMatrix->Height() * 3;
    if ((int64_t)startChannel + channels > TAVO_MAX_CHANNELS) {
        LogErr(LOGCH_CHANNELOUT,
               "%s: the %dx%d picture needs channels %lld to %lld, past the last channel %u; move the "
               "output's \"startChannel\" down or the panels closer\n",
               who.c_str(), layout.panelMatrix->Width(), layout.panelMatrix->Height(),
               (long long)startChannel + 1, (long long)(startChannel + channels),
               (unsigned)TAVO_MAX_CHANNELS);
        return false;
    }
    layout.matrix.reset(
        new Matrix((int)startChannel, layout.panelMatrix->Width(), layout.panelMatrix->Height()));
    return ReadSubMatrices(config, who, *layout.matrix);
}

float ReadPanelGamma(const Json::Value& config, float def, const std::string& who, bool& ok) {
    float gamma = (float)JsonKeyNumber(config, "gamma", def, who, ok);
    if (std::isnan(gamma) || gamma < 0.01f || gamma > 50.0f) {
        return def;
    }
    return gamma;
}

void BuildPanelGammaTable(float gamma, uint8_t table[256]) {
    for (int i = 0; i < 256; i++) {
        float q = (float)i / 255.0f;
        float v = (float)(pow((double)q, (double)gamma) * 255.0);
        if (v > 255.0f) {
            table[i] = 255;
        } else if (v < 0.0f) {
            table[i] = 0;
        } else {
            table[i] = (uint8_t)roundf(v);
        }
    }
}

// Only the names: the values are checked where they are read.
const std::vector<ConfigKey> PANEL_ENTRY_KEYS = {
    {"outputNumber", ConfigKey::ANY}, {"panelNumber", ConfigKey::ANY}, {"xOffset", ConfigKey::ANY},
    {"yOffset", ConfigKey::ANY},      {"orientation", ConfigKey::ANY}, {"colorOrder", ConfigKey::ANY},
};
const std::vector<ConfigKey> SUB_MATRIX_KEYS = {
    {"enabled", ConfigKey::ANY}, {"startChannel", ConfigKey::ANY}, {"width", ConfigKey::ANY},
    {"height", ConfigKey::ANY},  {"xOffset", ConfigKey::ANY},      {"yOffset", ConfigKey::ANY},
};

std::vector<ConfigKey> PanelOutputKeys(std::vector<ConfigKey> own) {
    std::vector<ConfigKey> keys = {
        {"panelWidth", ConfigKey::ANY},
        {"panelHeight", ConfigKey::ANY},
        {"invertedData", ConfigKey::ANY},
        {"colorOrder", ConfigKey::ANY},
        {"panels", ConfigKey::LIST, LLONG_MIN, LLONG_MAX, nullptr, &PANEL_ENTRY_KEYS},
        {"subMatrices", ConfigKey::LIST, LLONG_MIN, LLONG_MAX, nullptr, &SUB_MATRIX_KEYS},
        {"gamma", ConfigKey::ANY},
    };
    keys.insert(keys.end(), own.begin(), own.end());
    return keys;
}
