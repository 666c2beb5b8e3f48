// Decoding PNG images in tests with libpng (tests that include this link it).
#pragma once

#include <png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct PngTestImage {
    int width = 0;
    int height = 0;
    int bitDepth = 0;         // from the header, as written
    int colorType = 0;        // from the header: 2 is RGB
    std::vector<uint8_t> rgb; // width x height x 3, row by row from the top
    // Pixel (x, y) as 0xRRGGBB.
    uint32_t at(int x, int y) const {
        const uint8_t* p = &rgb[((size_t)y * width + x) * 3];
        return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
    }
};

// False, with `error` set, when `bytes` is not a whole PNG file.
inline bool decodePng(const std::string& bytes, PngTestImage& image, std::string& error) {
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (bytes.size() < 33 || memcmp(bytes.data(), signature, 8) != 0 || bytes.compare(12, 4, "IHDR") != 0) {
        error = "no PNG signature and header";
        return false;
    }
    image.bitDepth = (uint8_t)bytes[24];
    image.colorType = (uint8_t)bytes[25];
    png_image png;
    memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) {
        error = png.message;
        return false;
    }
    png.format = PNG_FORMAT_RGB;
    image.width = (int)png.width;
    image.height = (int)png.height;
    image.rgb.assign(PNG_IMAGE_SIZE(png), 0);
    if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) {
        error = png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}
