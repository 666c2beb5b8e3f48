// Frames handed to readers: the read ranges' channels packed one after another.
#include "LCSFFile.h"

#include <cstdlib>
#include <cstring>

UncompressedFrameData::UncompressedFrameData(uint32_t frame, uint32_t size,
                                             const std::vector<std::pair<uint32_t, uint32_t>>& ranges)
    : FrameData(frame), m_size(size), m_ranges(ranges) {
    // Zeroed, so a short read hands out zeros rather than old memory.
    m_data = size ? (uint8_t*)calloc(size, 1) : nullptr;
    if (!m_data) {
        m_size = 0;
    }
}

UncompressedFrameData::~UncompressedFrameData() {
    free(m_data);
}

bool UncompressedFrameData::readFrame(uint8_t* data, uint32_t maxChannels) {
    if (!m_data) {
        return false;
    }
    uint64_t pos = 0;
    for (auto& r : m_ranges) {
        if (pos + r.second > m_size) {
            return false;
        }
        if (r.first < maxChannels) {
            uint32_t n = std::min<uint32_t>(r.second, maxChannels - r.first);
            memcpy(data + r.first, m_data + pos, n);
        }
        pos += r.second;
    }
    return true;
}

bool isWithinRange(const std::vector<std::pair<uint32_t, uint32_t>>& ranges, uint32_t start, uint32_t count) {
    for (auto& r : ranges) {
        uint64_t end = (uint64_t)r.first + r.second;
        if (r.first <= start && start < end && (uint64_t)start + count - 1 < end) {
            return true;
        }
    }
    return false;
}

std::vector<std::pair<uint32_t, uint32_t>>
clipRanges(const std::vector<std::pair<uint32_t, uint32_t>>& ranges, uint32_t channelCount, uint32_t* total) {
    std::vector<std::pair<uint32_t, uint32_t>> r;
    uint64_t sum = 0;
    for (auto& range : ranges) {
        if (range.first >= channelCount) {
            continue;
        }
        uint32_t count = (uint32_t)std::min<uint64_t>(range.second, (uint64_t)channelCount - range.first);
        r.emplace_back(range.first, count);
        sum += count;
    }
    *total = (uint32_t)std::min<uint64_t>(sum, UINT32_MAX);
    return r;
}
