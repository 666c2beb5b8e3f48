// Base of the outputs that preview the show's layout on a screen or in a browser:
// reads the layout, keeps one record per layout pixel and a preview buffer.
#pragma once

#include "host/output/ChannelOutput.h"

#include <string>
#include <vector>

// One layout pixel, as the preview outputs read it.
struct ScreenPreviewPixel {
    int x = 0;                               // preview column, 0 at the left
    int y = 0;                               // preview row, 0 at the top
    unsigned int channel = 0;                // offset of the first channel from the output's first channel
    int channelCount = 3;                    // 1, 3 or 4
    int colorType = 0;                       // colour type code, see PixelColor
    unsigned char fixedColor[3] = {0, 0, 0}; // red, green, blue of type 11
    // Byte positions of this pixel's red, green and blue in the preview buffer.
    unsigned int rPos = 0;
    unsigned int gPos = 0;
    unsigned int bPos = 0;
};

// The preview buffer is malloc'ed memory. InitializePixelMap allocates it when a
// subclass has not; whoever frees it earlier sets the pointer to null, and the
// destructor frees what is left.
class ScreenPreviewBaseOutput : public ChannelOutput {
public:
    // Largest coordinate a layout may use (18 bits, what a 6-character position carries).
    static constexpr int MAX_COORDINATE = (1 << 18) - 1;
    // Largest preview buffer InitializePixelMap allocates.
    static constexpr size_t MAX_PREVIEW_BUFFER = 64u * 1024 * 1024;

    ScreenPreviewBaseOutput(unsigned int startChannel, unsigned int channelCount);
    ~ScreenPreviewBaseOutput() override;

    // Reads "layout" (and "width"/"height", the preview size when a subclass fixes
    // one) and checks it against the output's channels; 0 with a message on failure.
    int Init(Json::Value config) override;
    void DumpConfig() override;
    // "width" and "height" of the preview.
    void GetStatus(Json::Value& status) override;

    // Writes the current colour of every pixel into the preview buffer (8 bits a component).
    virtual void DrawPixels(unsigned char* channelData);

    // Builds the pixel records from the layout read by Init. A preview width or
    // height <= 0 takes the layout's own size; a fixed size scales the layout into it.
    // Allocates the preview buffer (zeroed) when it is null. False with a message on failure.
    bool InitializePixelMap();

    // The colour of pixel `p`, with `data` at the output's first channel. Any record
    // with the members channel, channelCount, colorType and fixedColor will do.
    template <typename Pixel>
    static inline void PixelColor(const Pixel& p, const unsigned char* data, unsigned char& r,
                                  unsigned char& g, unsigned char& b);

    const std::vector<ScreenPreviewPixel>& GetPixels() const { return m_pixels; }
    int GetPreviewWidth() const { return m_previewWidth; }
    int GetPreviewHeight() const { return m_previewHeight; }
    int GetPreviewY0() const { return m_previewY0; }

protected:
    // One pixel as the layout gives it, before it is placed in the preview.
    struct LayoutPixel {
        int x;
        int y;
        unsigned int channel; // from the output's first channel
        int channelCount;
        int colorType;
        unsigned char fixedColor[3];
    };

    bool ReadLayout(const Json::Value& layout);
    bool ReadMatrixLayout(const Json::Value& layout);
    bool ReadPixelsLayout(const Json::Value& layout);
    bool ReadPixelList(const Json::Value& list, const std::string& source);

    int m_previewWidth = -1;
    int m_previewHeight = -1;
    int m_previewY0 = 0; // vertical reference: positions are sent as Y0 - y
    int m_bytesPerPixel = 3;
    int m_bitsPerPixel = 24;
    int m_pixelSize = 1;
    unsigned char* m_previewBuffer = nullptr;
    std::vector<ScreenPreviewPixel> m_pixels;

    std::string m_layoutDescription; // for DumpConfig and messages
    std::vector<LayoutPixel> m_layoutPixels;
    int m_layoutWidth = 0;
    int m_layoutHeight = 0;
};

//  type  channels  red    green  blue
//  11    any       fixed  fixed  fixed
//  0-5   3 (or 4 with s3 == 0): s0..s2 in the order RGB RBG GRB BRG GBR BGR
//  any   4 with s3 != 0: white s3 as grey
//  7-10  1         red / grey / blue / green from s0
// Other combinations: 3 or 4 channels as RGB, 1 channel as grey.
template <typename Pixel>
inline void ScreenPreviewBaseOutput::PixelColor(const Pixel& p, const unsigned char* data, unsigned char& r,
                                                unsigned char& g, unsigned char& b) {
    if (p.colorType == 11) {
        r = p.fixedColor[0];
        g = p.fixedColor[1];
        b = p.fixedColor[2];
        return;
    }
    const unsigned char* s = data + p.channel;
    if (p.channelCount == 1) {
        switch (p.colorType) {
        case 7:
            r = s[0];
            g = 0;
            b = 0;
            return;
        case 9:
            r = 0;
            g = 0;
            b = s[0];
            return;
        case 10:
            r = 0;
            g = s[0];
            b = 0;
            return;
        default:
            r = g = b = s[0];
            return;
        }
    }
    if (p.channelCount == 4 && s[3]) {
        r = g = b = s[3];
        return;
    }
    switch (p.colorType) {
    case 1:
        r = s[0];
        g = s[2];
        b = s[1];
        return;
    case 2:
        r = s[1];
        g = s[0];
        b = s[2];
        return;
    case 3:
        r = s[2];
        g = s[0];
        b = s[1];
        return;
    case 4:
        r = s[1];
        g = s[2];
        b = s[0];
        return;
    case 5:
        r = s[2];
        g = s[1];
        b = s[0];
        return;
    default:
        r = s[0];
        g = s[1];
        b = s[2];
        return;
    }
}
