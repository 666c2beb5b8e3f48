// Building radio packets.
#include "RadioPacket.h"

#include <cstring>

uint32_t RadioBuildPacket(const uint8_t* channels, uint32_t channelCount, uint32_t k,
                          uint8_t packet[RADIO_PACKET_SIZE]) {
    memset(packet, 0, RADIO_PACKET_SIZE);
    uint64_t offset = (uint64_t)k * RADIO_CHANNELS_PER_PACKET;
    if (offset >= channelCount) {
        return 0;
    }
    uint32_t size = channelCount - (uint32_t)offset;
    if (size > RADIO_CHANNELS_PER_PACKET) {
        size = RADIO_CHANNELS_PER_PACKET;
    }
    memcpy(packet, channels + offset, size);
    packet[30] = (uint8_t)(k & 0xFF);
    return size;
}
