// Colour order names and channel positions.
#include "host/output/ColorOrder.h"

#include <cctype>

namespace {

const char* const NAMES[] = {"RGB", "RBG", "GRB", "GBR", "BRG", "BGR"};
const int COUNT = 6;

} // namespace

TavoColorOrder ColorOrderFromString(const std::string& text, bool* known) {
    if (known) {
        *known = true;
    }
    if (text.empty()) {
        return kColorOrderRGB;
    }
    std::string upper;
    for (char c : text) {
        upper += (char)toupper((unsigned char)c);
    }
    for (int i = 0; i < COUNT; i++) {
        if (upper == NAMES[i]) {
            return (TavoColorOrder)i;
        }
    }
    if (known) {
        *known = false;
    }
    return kColorOrderRGB;
}

std::string ColorOrderToString(TavoColorOrder order) {
    int i = (int)order;
    return (i >= 0 && i < COUNT) ? NAMES[i] : NAMES[0];
}

void ColorOrderChannels(TavoColorOrder order, int channels[3]) {
    const char* name = NAMES[((int)order >= 0 && (int)order < COUNT) ? (int)order : 0];
    for (int k = 0; k < 3; k++) {
        channels[k] = name[k] == 'R' ? 0 : name[k] == 'G' ? 1 : 2;
    }
}
