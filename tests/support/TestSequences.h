// Writes small sequence files for tests, with a known value for every channel of every frame.
#pragma once

#include "LCSFFile.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TestSequenceOptions {
    int version = 2;
    LCSFFile::CompressionType compression = LCSFFile::CompressionType::none;
    int level = 1;
    int minor = 0;
    uint32_t channels = 64;
    uint32_t frames = 20;
    uint32_t stepTime = 25;
    uint64_t uniqueId = 0;
    std::vector<std::pair<uint32_t, uint32_t>> sparseRanges;
    std::vector<LCSFFile::VariableHeader> headers;
};

// The value every test file holds at (frame, channel).
inline uint8_t testChannelValue(uint32_t frame, uint32_t channel) {
    return (uint8_t)((channel * 7 + frame * 13 + (channel >> 8)) & 0xFF);
}

// Writes the file (or, for "-memory-", returns the bytes in `memory`). False on failure.
bool writeTestSequence(const std::string& path, const TestSequenceOptions& opts,
                       std::vector<uint8_t>* memory = nullptr);

// Reads every frame of `path` into full channel buffers of `channels` bytes.
std::vector<std::vector<uint8_t>>
readAllFrames(const std::string& path, uint32_t channels,
              const std::vector<std::pair<uint32_t, uint32_t>>& ranges = {});

// Overwrites the compressed data of block `block` of a version 2 compressed file, so
// that it no longer decodes. False when the file has no such block.
bool damageBlock(const std::string& path, size_t block);
