// The channel buffer every output reads from: its size is part of the contract
// between the engine, the host and the plug-ins.
#pragma once

#include <cstddef>
#include <cstdint>

// Channels in the buffer; no frame, output or range reaches past them.
constexpr uint32_t TAVO_MAX_CHANNELS = 8388608;
// The whole buffer: the channels plus 8 trailing bytes.
constexpr size_t TAVO_CHANNEL_BUFFER_SIZE = TAVO_MAX_CHANNELS + 8;
