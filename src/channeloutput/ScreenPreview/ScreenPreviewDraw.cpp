// Discs of the layout preview.
#include "ScreenPreviewDraw.h"

#include <algorithm>
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

namespace {

// A picture model's buffer is the picture itself, 3 bytes a pixel, row by row:
// the points are written straight into it, the bytes setPixelValue would write,
// at a third of its cost (no per-point clipping inside the picture, no
// orientation to look up).
void drawIntoPicture(const std::vector<ScreenPreviewPixel>& pixels, const unsigned char* data,
                     const std::vector<DiscPoint>& disc, int width, int height, uint8_t* picture,
                     int pictureWidth) {
    if (disc.empty()) {
        return;
    }
    int minDx = 0, maxDx = 0, minDy = 0, maxDy = 0;
    std::vector<long> deltas;
    deltas.reserve(disc.size());
    for (const DiscPoint& d : disc) {
        minDx = std::min(minDx, d.dx);
        maxDx = std::max(maxDx, d.dx);
        minDy = std::min(minDy, d.dy);
        maxDy = std::max(maxDy, d.dy);
        deltas.push_back(((long)d.dy * pictureWidth + d.dx) * 3);
    }
    const long* delta = deltas.data();
    const size_t count = deltas.size();
    for (const ScreenPreviewPixel& p : pixels) {
        unsigned char r, g, b;
        ScreenPreviewBaseOutput::PixelColor(p, data, r, g, b);
        if (p.x + minDx >= 0 && p.x + maxDx < width && p.y + minDy >= 0 && p.y + maxDy < height) {
            uint8_t* centre = picture + ((long)p.y * pictureWidth + p.x) * 3;
            for (size_t i = 0; i < count; i++) {
                uint8_t* q = centre + delta[i];
                q[0] = r;
                q[1] = g;
                q[2] = b;
            }
            continue;
        }
        for (const DiscPoint& d : disc) {
            const int x = p.x + d.dx;
            const int y = p.y + d.dy;
            if (x >= 0 && x < width && y >= 0 && y < height) {
                uint8_t* q = picture + ((long)y * pictureWidth + x) * 3;
                q[0] = r;
                q[1] = g;
                q[2] = b;
            }
        }
    }
}

} // namespace

void DrawPixels(const std::vector<ScreenPreviewPixel>& pixels, const unsigned char* data,
                const std::vector<DiscPoint>& disc, int width, int height, PixelOverlayModel& model) {
    width = std::min(width, model.getWidth());
    height = std::min(height, model.getHeight());
    if (!model.hasChannels() && model.getBufferSize() >= (size_t)model.getWidth() * model.getHeight() * 3) {
        drawIntoPicture(pixels, data, disc, width, height, model.getOverlayBuffer(), model.getWidth());
        return;
    }
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
