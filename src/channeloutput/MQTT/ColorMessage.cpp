// Colour to message text.
#include "ColorMessage.h"

#include "host/core/Common.h"

#include <algorithm>
#include <cmath>

int BrokerChannelTypeFromText(const std::string& text, int previous) {
    if (text == "RGBW") {
        return BROKER_RGBW;
    }
    if (text == "RGB") {
        return BROKER_RGB;
    }
    if (text == "Single") {
        return BROKER_SINGLE;
    }
    return previous;
}

const char* BrokerChannelTypeName(int channelType) {
    switch (channelType) {
    case BROKER_RGBW:
        return "RGBW";
    case BROKER_SINGLE:
        return "Single";
    default:
        return "RGB";
    }
}

BrokerColor TakeBrokerColor(const unsigned char* data, int channelType) {
    BrokerColor c;
    if (channelType == BROKER_SINGLE) {
        c.w = data[0];
        return c;
    }
    c.r = data[0];
    c.g = data[1];
    c.b = data[2];
    if (channelType == BROKER_RGBW) {
        c.w = data[3];
    }
    return c;
}

void RGBtoHSIV(float r, float g, float b, float& h, float& sHSI, float& sHSV, float& i, float& v) {
    float max = std::max(r, std::max(g, b));
    float min = std::min(r, std::min(g, b));
    float d = max - min;
    v = max;
    i = (float)(((double)r + (double)g + (double)b) * (1.0 / 3.0));
    if (d == 0) {
        h = 0;
        sHSI = 0;
    } else {
        if (max == r) {
            h = (float)std::fmod((double)((g - b) / d), 6.0);
        } else if (max == g) {
            h = (b - r) / d + 2;
        } else {
            h = (r - g) / d + 4;
        }
        h = h * 60;
        sHSI = i == 0 ? 0 : 1 - min / i;
    }
    sHSV = max == 0 ? 0 : d / max;
    if (h < 0) {
        h += 360;
    }
}

void ReplaceValues(std::string& text, unsigned char r, unsigned char g, unsigned char b, unsigned char w) {
    replaceAll(text, "%R%", std::to_string(r));
    replaceAll(text, "%G%", std::to_string(g));
    replaceAll(text, "%B%", std::to_string(b));
    replaceAll(text, "%W%", std::to_string(w));
    replaceAll(text, "%RS%", std::to_string(r * 100 / 255));
    replaceAll(text, "%GS%", std::to_string(g * 100 / 255));
    replaceAll(text, "%BS%", std::to_string(b * 100 / 255));
    replaceAll(text, "%WS%", std::to_string(w * 100 / 255));
    replaceAll(text, "%SW%", (r == 255 || g == 255 || b == 255 || w == 255) ? "ON" : "OFF");

    float h, sHSI, sHSV, i, v;
    RGBtoHSIV(r / 255.0f, g / 255.0f, b / 255.0f, h, sHSI, sHSV, i, v);
    replaceAll(text, "%H%", std::to_string((int)h));
    replaceAll(text, "%S%", std::to_string((int)(sHSI * 100)));
    replaceAll(text, "%SI%", std::to_string((int)(sHSI * 100)));
    replaceAll(text, "%SV%", std::to_string((int)(sHSV * 100)));
    replaceAll(text, "%I%", std::to_string((int)(i * 100)));
    replaceAll(text, "%V%", std::to_string((int)(v * 100)));
}
