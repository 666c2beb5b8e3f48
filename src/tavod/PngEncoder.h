// PNG images of RGB pictures, for the overlay models' image on the HTTP API.
#pragma once

#include <cstdint>
#include <string>

// Encodes `width` x `height` RGB pixels (3 bytes each, row by row from the top)
// as a PNG file into `png`. False with `error` set when libpng refuses.
bool EncodePng(int width, int height, const uint8_t* rgb, std::string& png, std::string& error);
