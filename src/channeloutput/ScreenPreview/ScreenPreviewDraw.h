// Drawing the layout preview into an overlay model: each layout pixel as a small
// disc of its colour, clipped at the picture's edges.
#pragma once

#include "host/output/PixelOverlay.h"
#include "host/output/ScreenPreviewBaseOutput.h"

#include <vector>

namespace screenpreview {

// One point of a disc, relative to the pixel's position.
struct DiscPoint {
    int dx;
    int dy;
};

// The disc radius for a pixel size: half of it (rounded down) above 1, else 1.
int DiscRadius(int pixelSize);

// The points (dx, dy), dx and dy from -radius to radius - 1, whose distance from
// the centre is at most `radius`; dx outer, dy inner, as they are drawn.
std::vector<DiscPoint> DiscPoints(int radius);

// Draws the disc of every pixel, in order (a later pixel covers an earlier one),
// in the pixel's colour from `data` (the output's first channel), as
// setPixelValue draws it; points outside width x height (and the model) are left
// out.
void DrawPixels(const std::vector<ScreenPreviewPixel>& pixels, const unsigned char* data,
                const std::vector<DiscPoint>& disc, int width, int height, PixelOverlayModel& model);

} // namespace screenpreview
