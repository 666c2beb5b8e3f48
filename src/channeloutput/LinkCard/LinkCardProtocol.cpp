// Receiver-card frames, discovery messages and the numbers derived from the
// configuration.
#include "LinkCardProtocol.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace linkcard {

namespace {

void put16(uint8_t* p, int v) {
    p[0] = (uint8_t)((v >> 8) & 0xFF);
    p[1] = (uint8_t)(v & 0xFF);
}

uint32_t get16(const uint8_t* p) {
    return ((uint32_t)p[0] << 8) | p[1];
}

uint32_t get32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

} // namespace

void SetHostMACs(uint8_t* buffer) {
    memcpy(buffer, DEST_MAC, 6);
    memcpy(buffer + 6, SRC_MAC, 6);
}

void BuildBrightnessFrame(uint8_t frame[BRIGHTNESS_FRAME_SIZE], uint8_t brightness) {
    memset(frame, 0, BRIGHTNESS_FRAME_SIZE);
    SetHostMACs(frame);
    frame[12] = TYPE_BRIGHTNESS;
    frame[13] = brightness;
    frame[14] = brightness;
    frame[15] = brightness;
    frame[16] = 0xFF;
}

void BuildDisplayFrame(uint8_t frame[DISPLAY_FRAME_SIZE], uint8_t brightness) {
    memset(frame, 0, DISPLAY_FRAME_SIZE);
    SetHostMACs(frame);
    frame[12] = TYPE_DISPLAY;
    frame[13] = 0x07;
    frame[35] = brightness;
    frame[36] = 0x05;
    frame[38] = brightness;
    frame[39] = brightness;
    frame[40] = brightness;
}

void BuildRowHeader(uint8_t header[ROW_HEADER_SIZE], int row, int offset, int length) {
    memset(header, 0, ROW_HEADER_SIZE);
    SetHostMACs(header);
    header[12] = TYPE_ROW;
    put16(header + 13, row);
    put16(header + 15, offset / 3);
    put16(header + 17, length / 3);
    header[19] = 0x08;
    header[20] = 0x88;
}

int PiecesPerRow(int rowSize) {
    return rowSize <= 0 ? 0 : (rowSize - 1) / MAX_PIECE_BYTES + 1;
}

uint8_t BrightnessByte(int percent) {
    if (percent <= 0) {
        return 255;
    }
    return (uint8_t)((percent * 255 / 100) & 0xFF);
}

float GammaInRange(float gamma) {
    return (gamma < 0.01f || gamma > 50.0f || std::isnan(gamma)) ? 1.0f : gamma;
}

float GammaFromText(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    double g = strtod(start, &end);
    if (end == start) {
        return 1.0f;
    }
    return GammaInRange((float)g);
}

void BuildGammaTable(float gamma, uint8_t table[256]) {
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

char TranslateLegacyOrientation(char letter) {
    switch (letter) {
    case 'L':
        return 'R';
    case 'N':
        return 'U';
    case 'R':
        return 'L';
    case 'U':
        return 'N';
    default:
        return letter;
    }
}

void BuildDiscoveryRequest(uint8_t request[DISCOVERY_REQUEST_SIZE], int index) {
    memset(request, 0, DISCOVERY_REQUEST_SIZE);
    SetHostMACs(request);
    request[12] = TYPE_DISCOVERY_REQUEST;
    request[16] = (uint8_t)index;
}

bool ParseDiscoveryResponse(const uint8_t* frame, size_t length, ReceiverInfo& info) {
    if (!frame || length < (size_t)DISCOVERY_MIN_RESPONSE || memcmp(frame + 6, DEST_MAC, 6) != 0 ||
        frame[12] != TYPE_DISCOVERY_RESPONSE) {
        return false;
    }
    info.versionMajor = frame[15];
    info.versionMinor = frame[16];
    info.cabinetWidth = get16(frame + 34);
    info.cabinetHeight = get16(frame + 36);
    info.packets = get32(frame + 51);
    info.uptime = get32(frame + 59);
    info.receiverNumber = frame[98];
    return true;
}

} // namespace linkcard
