// Port values, register writes and addresses of the port expander.
#include "PortExpanderPorts.h"

#include "host/core/JsonUtils.h"

#include <cstdio>
#include <cstdlib>

std::vector<PortExpanderWrite> PortExpanderSetupWrites() {
    return {{PORTEXPANDER_IOCON, 0x20}, {PORTEXPANDER_IODIRA, 0x00}, {PORTEXPANDER_IODIRB, 0x00}};
}

PortExpanderPorts PortExpanderPortsFor(const uint8_t* channels, uint32_t channelCount) {
    PortExpanderPorts p;
    for (uint32_t i = 0; i < channelCount && i < 16; i++) {
        if (channels[i]) {
            if (i < 8) {
                p.a |= (uint8_t)(1u << i);
            } else {
                p.b |= (uint8_t)(1u << (i - 8));
            }
        }
    }
    return p;
}

std::string PortExpanderBitsText(const PortExpanderPorts& ports) {
    std::string t = "Byte1: 0b";
    for (int bit = 7; bit >= 0; bit--) {
        t += (ports.a >> bit) & 1 ? '1' : '0';
    }
    t += ", Byte2: 0b";
    for (int bit = 7; bit >= 0; bit--) {
        t += (ports.b >> bit) & 1 ? '1' : '0';
    }
    return t;
}

bool PortExpanderParseAddress(const Json::Value& deviceID, int& address, std::string& shown) {
    char hex[16];
    if (deviceID.isNull()) {
        address = 0;
        shown = "0";
        return true;
    }
    if (deviceID.isInt()) {
        address = deviceID.asInt();
        snprintf(hex, sizeof(hex), "%X", (unsigned)address);
        shown = hex;
        return true;
    }
    if (deviceID.isString()) {
        const std::string& text = deviceID.asString();
        shown = text;
        // Decimal digits and nothing else: strtol alone would take " 36", "36abc" or "" as numbers.
        if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        address = (int)strtol(text.c_str(), nullptr, 10);
        snprintf(hex, sizeof(hex), "%X", (unsigned)address);
        shown = hex;
        return true;
    }
    shown = JsonTypeName(deviceID);
    return false;
}
