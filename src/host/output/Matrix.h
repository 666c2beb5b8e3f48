// A panel output's picture in the channel buffer, and the sub-matrices copied
// into it each frame: blocks of pixels that a sequence keeps elsewhere in its
// channels and that are shown at a place of the picture.
#pragma once

#include <functional>
#include <string>
#include <vector>

class Matrix {
public:
    // The picture: `width` x `height` RGB pixels, row after row, from channel
    // `startChannel` (0-based) of the channel buffer.
    Matrix(int startChannel, int width, int height);

    // Each frame, OverlaySubMatrices copies the `width` x `height` pixels found
    // (row after row) from channel `startChannel` (0-based) into the picture with
    // their top-left corner at (xOffset, yOffset). A disabled one (`enabled` 0) is
    // kept, unchecked, and never copied. False, with the reason in `error` and
    // nothing added, when an enabled one has no pixels, does not lie wholly inside
    // the picture, or either block reaches past the channel buffer.
    bool AddSubMatrix(int enabled, int startChannel, int width, int height, int xOffset, int yOffset,
                      std::string* error = nullptr);

    // Copies every enabled sub-matrix into place in `channelData` (the whole
    // buffer), in the order they were added.
    void OverlaySubMatrices(unsigned char* channelData);

    int SubMatrixCount() const { return (int)m_subMatrices.size(); }

    // Calls add(first, last), both inclusive, for the channels each enabled
    // sub-matrix copies from: an output reads these besides its own picture.
    void AddSourceRanges(const std::function<void(int, int)>& addRange) const;

private:
    struct SubMatrix {
        bool enabled;
        int startChannel;
        int width;
        int height;
        int xOffset;
        int yOffset;
    };

    int m_startChannel;
    int m_width;
    int m_height;
    std::vector<SubMatrix> m_subMatrices;
};
