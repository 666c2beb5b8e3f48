// Discs of the layout preview.
#include "ScreenPreviewDraw.h"

#include <cmath>

namespace screenpreview {

int DiscRadius(int pixelSize) {
    return pixelSize > 1 ? pixelSize / 2 : 1;
}

std::vector<DiscPoint> DiscPoints(int radius) {
    std::vector<DiscPoint> points;
    for (int dx = -radius; dx < radius; dx++) {
        for (int dy = -radius; dy < radius; dy++) {
            if (std::sqrt((double)(dx * dx + dy * dy)) <= (double)radius) {
                points.push_back({dx, dy});
            }
        }
    }
    return points;
}

void DrawPixels(const std::vector<ScreenPreviewPixel>& pixels, const unsigned char* data,
                const std::vector<DiscPoint>& disc, int width, int height, PixelOverlayModel& model) {
    for (const ScreenPreviewPixel& p : pixels) {
        unsigned char r, g, b;
        ScreenPreviewBaseOutput::PixelColor(p, data, r, g, b);
        for (const DiscPoint& d : disc) {
            const int x = p.x + d.dx;
            const int y = p.y + d.dy;
            if (x >= 0 && x < width && y >= 0 && y < height) {
                model.setPixelValue(x, y, r, g, b);
            }
        }
    }
}

} // namespace screenpreview
