// The 32-byte radio packet, without a radio: a frame is cut into packets of up to
// 30 channel values, numbered from 0, which receivers put back together.
//
//   byte 0 .. 29   channels k*30 .. k*30+29 of the output (zeros after the last)
//   byte 30        packet number k within the frame
//   byte 31        0
#pragma once

#include <cstdint>

constexpr int RADIO_PACKET_SIZE = 32;
constexpr uint32_t RADIO_CHANNELS_PER_PACKET = 30;
// The packet number is one byte: more packets would reuse numbers and overwrite
// channels at the receivers.
constexpr uint32_t RADIO_MAX_CHANNELS = 256 * RADIO_CHANNELS_PER_PACKET;

inline uint32_t RadioPacketCount(uint32_t channelCount) {
    return (channelCount + RADIO_CHANNELS_PER_PACKET - 1) / RADIO_CHANNELS_PER_PACKET;
}

// Packet `k` of a frame of `channelCount` channels into `packet`; returns how many
// channels it carries (0 when k is past the frame).
uint32_t RadioBuildPacket(const uint8_t* channels, uint32_t channelCount, uint32_t k,
                          uint8_t packet[RADIO_PACKET_SIZE]);
