// config/model-overlays.json: named channel ranges laid out as pixel models, which
// commands and effects draw on: {"models": [{"Name": "Tree", "StartChannel": 1,
// "ChannelCount": 300, "ChannelCountPerNode": 3, "Orientation": "H",
// "StartCorner": "TL", "StringCount": 1, "StrandsPerString": 1}, ...]}.
#pragma once

#include <string>
#include <vector>

class PixelOverlayManager;

// Adds every model of the file `path` to `manager`; a missing file adds none. Each
// problem ("FILE: models[N] (NAME): ...") is logged and put in `problems`; a bad
// model is left out. False when there was any problem.
bool LoadModelOverlays(const std::string& path, PixelOverlayManager& manager,
                       std::vector<std::string>& problems);
