// Paints a panel wall's picture into a window's image: each pixel gamma
// corrected and scaled up to a square block of image pixels, 4 bytes each (blue,
// green, red and an unused byte). Plain memory work, no X.
#pragma once

#include <cstdint>
#include <vector>

class PanelMatrix;

class PanelPainter {
public:
    // Takes the layout of `panels`: every panel pixel is painted where it shows
    // on the wall, in the colours of the three channels its pixel map sends
    // (first as red, second as green, third as blue). Where panels overlap, the
    // last on the highest output wins; where none lies the image stays black.
    void Build(const PanelMatrix& panels);

    int Width() const { return m_width; }
    int Height() const { return m_height; }

    // Paints `channels` (the picture's channels, from the output's start channel)
    // into `image`, Width() x `scale` by Height() x `scale` pixels of 4 bytes, row
    // after row. Only the blue, green and red bytes of covered pixels are set.
    void Paint(const uint8_t* channels, const uint8_t gamma[256], int scale, uint8_t* image) const;

private:
    static constexpr uint32_t NONE = 0xFFFFFFFF;

    int m_width = 0;
    int m_height = 0;
    // For picture pixel i: entries 3i, 3i + 1, 3i + 2 are the channels painted as
    // red, green and blue; NONE where no panel lies.
    std::vector<uint32_t> m_map;
};
