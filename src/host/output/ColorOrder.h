// Colour orders of LED pixels and panels: which of red, green and blue a device
// expects first, second and third, and their names in configurations.
#pragma once

#include <string>

// Numbered in the order of their names; the numbers may be stored: keep them.
enum TavoColorOrder {
    kColorOrderRGB = 0,
    kColorOrderRBG = 1,
    kColorOrderGRB = 2,
    kColorOrderGBR = 3,
    kColorOrderBRG = 4,
    kColorOrderBGR = 5,
};

// "RGB", "RBG", "GRB", "GBR", "BRG" or "BGR", upper or lower case. An empty or
// unknown text gives kColorOrderRGB; `known`, when given, tells whether the text
// named an order (an empty text counts as known: it means "the default").
TavoColorOrder ColorOrderFromString(const std::string& text, bool* known = nullptr);
// The upper-case name; "RGB" for a value outside the enumeration.
std::string ColorOrderToString(TavoColorOrder order);
// For send position 0, 1 and 2, the colour it carries: 0 red, 1 green, 2 blue.
// GRB gives {1, 0, 2}. Values outside the enumeration give RGB's {0, 1, 2}.
void ColorOrderChannels(TavoColorOrder order, int channels[3]);
