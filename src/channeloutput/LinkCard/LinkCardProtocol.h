// The receiver cards' raw Ethernet protocol: the frames the output sends, the
// discovery request and response, and the numbers derived from the configuration
// (brightness byte, gamma table, row pieces). No sockets: tests call it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What one receiver card reported to discovery.
struct ReceiverInfo {
    uint32_t receiverNumber = 0;
    uint32_t versionMajor = 0;
    uint32_t versionMinor = 0;
    uint32_t cabinetWidth = 0;  // pixels
    uint32_t cabinetHeight = 0; // pixels
    uint32_t uptime = 0;        // milliseconds
    uint32_t packets = 0;
};

namespace linkcard {

// Every frame: destination 11:22:33:44:55:66, then source 22:22:33:44:55:66.
const uint8_t DEST_MAC[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const uint8_t SRC_MAC[6] = {0x22, 0x22, 0x33, 0x44, 0x55, 0x66};

const int BRIGHTNESS_FRAME_SIZE = 77;
const int BRIGHTNESS_FIRST_PIECE = 13; // the frame goes out in two pieces: 13 and 64 bytes
const int DISPLAY_FRAME_SIZE = 112;
const int ROW_HEADER_SIZE = 21;
const int MAX_PIECE_BYTES = 1491; // 497 pixels of a row per packet
// Row numbers and pixel offsets travel in 16-bit fields.
const int MAX_ROWS = 65536;
const int MAX_ROW_PIXELS = 65536;

const int DISCOVERY_REQUEST_SIZE = 284;
const int DISCOVERY_RESPONSE_BUFFER = 1070;
const int DISCOVERY_MIN_RESPONSE = 1001; // a response is longer than 1000 bytes
const int DISCOVERY_MAX_INDEX = 31;

// Frame type bytes (byte 12).
const uint8_t TYPE_DISPLAY = 0x01;
const uint8_t TYPE_DISCOVERY_REQUEST = 0x07;
const uint8_t TYPE_DISCOVERY_RESPONSE = 0x08;
const uint8_t TYPE_BRIGHTNESS = 0x0A;
const uint8_t TYPE_ROW = 0x55;

// EtherTypes of the sockets: frames go out as 0xFF00 (protocol 255 in network
// order, as the socket is opened), discovery answers come back as 0x0805.
const uint16_t SEND_PROTOCOL = 255;
const uint16_t DISCOVERY_PROTOCOL = 0x0508;

// Writes the 12 address bytes at `buffer`.
void SetHostMACs(uint8_t* buffer);

// Fill whole frames (the buffers are written in full: no need to clear them).
void BuildBrightnessFrame(uint8_t frame[BRIGHTNESS_FRAME_SIZE], uint8_t brightness);
void BuildDisplayFrame(uint8_t frame[DISPLAY_FRAME_SIZE], uint8_t brightness);
// The header of the piece of `row` that starts at byte `offset` and is `length`
// bytes long: pixel numbers offset / 3 and length / 3, big-endian.
void BuildRowHeader(uint8_t header[ROW_HEADER_SIZE], int row, int offset, int length);
// Packets a row of `rowSize` bytes takes (0 for an empty row).
int PiecesPerRow(int rowSize);

// The brightness byte of the frames from a percentage: 0 gives 255 (the cards'
// full brightness, as when the key is absent), otherwise percent x 2.55 cut
// toward zero (100 gives 255, 50 gives 127, 1 gives 2). Call with 0 to 100.
uint8_t BrightnessByte(int percent);

// The gamma exponent a configuration text gives: a decimal number from 0.01 to 50;
// anything else (no number, out of range) gives 1.0.
float GammaFromText(const std::string& text);
float GammaInRange(float gamma);
// table[i] = round(255 x (i / 255) ^ gamma), clipped to 0..255.
void BuildGammaTable(float gamma, uint8_t table[256]);

// Orientation letters of configurations older than version 2, which counted
// turns the other way round: L <-> R, N <-> U; others pass unchanged.
char TranslateLegacyOrientation(char letter);

// The discovery request asking receiver `index`.
void BuildDiscoveryRequest(uint8_t request[DISCOVERY_REQUEST_SIZE], int index);
// Reads a discovery response; false (info untouched) for a frame that is not one:
// 1000 bytes or fewer, another source address or type byte.
bool ParseDiscoveryResponse(const uint8_t* frame, size_t length, ReceiverInfo& info);

} // namespace linkcard
