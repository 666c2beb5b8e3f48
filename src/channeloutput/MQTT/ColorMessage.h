// One colour as the text of an MQTT message: the colour an output reads from its
// channels, the placeholders of a payload template, and the HSI/HSV conversion.
// Plain code, no client or thread: the MQTT output's tests call it directly.
#pragma once

#include <string>

// The colour last published, and the one a frame carries.
struct BrokerColor {
    unsigned char r = 0;
    unsigned char g = 0;
    unsigned char b = 0;
    unsigned char w = 0;

    bool operator==(const BrokerColor& o) const { return r == o.r && g == o.g && b == o.b && w == o.w; }
    bool operator!=(const BrokerColor& o) const { return !(*this == o); }
};

// Channel types: how many channels the output reads.
enum BrokerChannelType {
    BROKER_SINGLE = 1,
    BROKER_RGB = 3,
    BROKER_RGBW = 4,
};

// "RGBW" 4, "RGB" 3, "Single" 1, exactly as written; any other text: `previous`.
int BrokerChannelTypeFromText(const std::string& text, int previous);
// The text of a channel type, for messages.
const char* BrokerChannelTypeName(int channelType);

// The colour of the output's first channels: RGB from 3, RGB and W from 4, and a
// single channel as W with R, G and B at 0.
BrokerColor TakeBrokerColor(const unsigned char* data, int channelType);

// Fills the template in place: every placeholder, in a fixed order, by its value.
//   "%R%" "%G%" "%B%" "%W%"        the channel values, 0 to 255
//   "%RS%" "%GS%" "%BS%" "%WS%"    the same in percent, value * 100 / 255 rounded down
//   "%SW%"                          "ON" when any of the four is 255, else "OFF"
//   "%H%" "%S%" "%SI%" "%SV%" "%I%" "%V%"   hue in degrees, HSI saturation (twice),
//                                   HSV saturation, intensity and value in percent,
//                                   from R, G and B only, cut to whole numbers
void ReplaceValues(std::string& text, unsigned char r, unsigned char g, unsigned char b, unsigned char w);

// r, g and b from 0 to 1: hue h in degrees (0 to 360), HSI and HSV saturations,
// intensity i and value v, all from 0 to 1.
void RGBtoHSIV(float r, float g, float b, float& h, float& sHSI, float& sHSV, float& i, float& v);
