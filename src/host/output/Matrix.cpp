// Sub-matrices copied into a panel picture.
#include "host/output/Matrix.h"

#include "host/output/ChannelBuffer.h"

#include <cstdint>
#include <cstring>

Matrix::Matrix(int startChannel, int width, int height)
    : m_startChannel(startChannel), m_width(width), m_height(height) {}

bool Matrix::AddSubMatrix(int enabled, int startChannel, int width, int height, int xOffset, int yOffset,
                          std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) {
            *error = why;
        }
        return false;
    };
    if (enabled) {
        std::string size = std::to_string(width) + "x" + std::to_string(height);
        if (width <= 0 || height <= 0) {
            return fail("the size " + size + " has no pixels");
        }
        if (xOffset < 0 || yOffset < 0 || (int64_t)xOffset + width > m_width ||
            (int64_t)yOffset + height > m_height) {
            return fail(size + " at (" + std::to_string(xOffset) + ", " + std::to_string(yOffset) +
                        ") does not lie inside the " + std::to_string(m_width) + "x" +
                        std::to_string(m_height) + " picture");
        }
        if (startChannel < 0 || (int64_t)startChannel + (int64_t)width * height * 3 > TAVO_MAX_CHANNELS) {
            return fail("its channels from " + std::to_string((int64_t)startChannel + 1) +
                        " reach past the channel buffer");
        }
        if (m_startChannel < 0 ||
            (int64_t)m_startChannel + (int64_t)m_width * m_height * 3 > TAVO_MAX_CHANNELS) {
            return fail("the picture itself reaches past the channel buffer");
        }
    }
    m_subMatrices.push_back({enabled != 0, startChannel, width, height, xOffset, yOffset});
    return true;
}

void Matrix::OverlaySubMatrices(unsigned char* channelData) {
    for (const SubMatrix& s : m_subMatrices) {
        if (!s.enabled) {
            continue;
        }
        size_t rowBytes = (size_t)s.width * 3;
        for (int r = 0; r < s.height; r++) {
            const unsigned char* src = channelData + s.startChannel + (size_t)r * rowBytes;
            unsigned char* dst =
                channelData + m_startChannel + ((size_t)(s.yOffset + r) * m_width + s.xOffset) * 3;
            // The block may lie inside the picture itself.
            memmove(dst, src, rowBytes);
        }
    }
}

void Matrix::AddSourceRanges(const std::function<void(int, int)>& addRange) const {
    for (const SubMatrix& s : m_subMatrices) {
        if (s.enabled) {
            addRange(s.startChannel, s.startChannel + s.width * s.height * 3 - 1);
        }
    }
}
