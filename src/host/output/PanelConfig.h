// The configuration keys that LED panel outputs share: the panel layout
// ("panelWidth", "panelHeight", "invertedData", "colorOrder", "panels",
// "subMatrices") read into a PanelMatrix and a Matrix, and the gamma table.
#pragma once

#include "host/core/ConfigKeys.h"
#include "host/output/ColorOrder.h"
#include "host/output/Matrix.h"
#include "host/output/PanelMatrix.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

// An image an output allocates for its panels (a canvas, a window's picture) is
// refused beyond this size: a wrong "scale" or panel number must not become an
// allocation that fails or overflows.
const int64_t PANEL_IMAGE_MAX_BYTES = 64LL * 1024 * 1024;

struct PanelLayout {
    int panelWidth = 32;
    int panelHeight = 16;
    int invertedData = 0;
    TavoColorOrder colorOrder = kColorOrderRGB; // the output's default for its panels
    int outputs = 1;                            // highest "outputNumber" + 1; 1 without panels
    int longestChain = 1;                       // highest "panelNumber" + 1; 1 without panels
    std::unique_ptr<PanelMatrix> panelMatrix;
    std::unique_ptr<Matrix> matrix; // the picture from the output's start channel, with its sub-matrices

    // The panels' picture: how many, and its size in pixels (0 before it is read).
    int PanelCount() const { return panelMatrix ? panelMatrix->PanelCount() : 0; }
    int Width() const { return panelMatrix ? panelMatrix->Width() : 0; }
    int Height() const { return panelMatrix ? panelMatrix->Height() : 0; }
};

// Reads the layout keys of an output whose picture starts at channel
// `startChannel` (0-based):
//   "panelWidth", "panelHeight"  0 or absent: 32 and 16
//   "invertedData", "colorOrder" (empty or absent: RGB; an unknown name is warned of and gives RGB)
//   "panels": [{"outputNumber", "panelNumber", "orientation" (its first letter; "N" when
//              empty), "xOffset", "yOffset", "colorOrder" (empty: the output's)}]
//   "subMatrices": [{"enabled", "startChannel" (1-based), "width", "height", "xOffset", "yOffset"}]
// False, with each problem logged as an error that starts with `who`, for a key of
// the wrong type, a panel or sub-matrix the host refuses (named by its place in the
// list), a negative panel size, or a picture whose channels would reach past the
// channel buffer.
bool ReadPanelLayout(const Json::Value& config, unsigned int startChannel, const std::string& who,
                     PanelLayout& layout);

// One entry of "panels": {"outputNumber", "panelNumber", "xOffset", "yOffset",
// "orientation", "colorOrder"}, each absent key 0 or empty. A key of the wrong type
// is logged as an error naming `where` and clears `ok`.
struct PanelEntry {
    int output = 0;
    int chain = 0;
    int xOffset = 0;
    int yOffset = 0;
    std::string orientation;
    std::string colorOrder;
};
PanelEntry ReadPanelEntry(const Json::Value& panel, const std::string& where, bool& ok);

// "subMatrices": [{"enabled", "startChannel" (1-based), "width", "height", "xOffset",
// "yOffset"}] added to `matrix`; absent, none. False, with the problem logged as an
// error that starts with `who` (and the sub-matrix's place in the list), for a key of
// the wrong type or a sub-matrix the matrix refuses.
bool ReadSubMatrices(const Json::Value& config, const std::string& who, Matrix& matrix);

// "gamma": a decimal number, usually a text ("2.2"). Absent, a text that is no
// number, or a value below 0.01 or above 50 gives `def`. A key of another type is
// logged (naming `who`) and clears `ok`.
float ReadPanelGamma(const Json::Value& config, float def, const std::string& who, bool& ok);

// table[i] = round(255 x (i / 255) ^ gamma), clipped to 0..255: 1.0 is the identity,
// 2.2 maps 128 to 56.
void BuildPanelGammaTable(float gamma, uint8_t table[256]);

// The keys of one "panels" entry and of one "subMatrices" entry, for the outputs'
// key tables (ConfigKey::entries).
extern const std::vector<ConfigKey> PANEL_ENTRY_KEYS;
extern const std::vector<ConfigKey> SUB_MATRIX_KEYS;
// The layout keys above ("panelWidth" ... "subMatrices", and "gamma"), only named,
// followed by an output's `own` keys: a panel output's key table.
std::vector<ConfigKey> PanelOutputKeys(std::vector<ConfigKey> own);
