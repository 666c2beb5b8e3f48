// The port expander's side of the wire, without a bus: its registers, the port
// values a frame gives, and the address a configuration names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

// Registers of the 16-bit expander (two 8-bit ports, A and B), in its default bank layout.
constexpr uint8_t PORTEXPANDER_IOCON = 0x0A;  // configuration
constexpr uint8_t PORTEXPANDER_IODIRA = 0x00; // direction of port A: a 0 bit is an output
constexpr uint8_t PORTEXPANDER_IODIRB = 0x01;
constexpr uint8_t PORTEXPANDER_GPIOA = 0x12; // output value of port A
constexpr uint8_t PORTEXPANDER_GPIOB = 0x13;
// Addresses the device can be strapped to.
constexpr int PORTEXPANDER_FIRST_ADDRESS = 0x20;
constexpr int PORTEXPANDER_LAST_ADDRESS = 0x27;

struct PortExpanderWrite {
    uint8_t reg;
    uint8_t value;
    bool operator==(const PortExpanderWrite& o) const { return reg == o.reg && value == o.value; }
};

// The writes that make all 16 pins outputs, in order.
std::vector<PortExpanderWrite> PortExpanderSetupWrites();

// A pin is high when its channel is not 0: channels 0-7 drive port A bits 0-7,
// channels 8-15 port B bits 0-7; channels from 16 on are not used.
struct PortExpanderPorts {
    uint8_t a = 0;
    uint8_t b = 0;
};
PortExpanderPorts PortExpanderPortsFor(const uint8_t* channels, uint32_t channelCount);
// "Byte1: 0b10000001, Byte2: 0b00000010": both ports, bit 7 first.
std::string PortExpanderBitsText(const PortExpanderPorts& ports);

// "deviceID": a whole number, or a text holding a decimal number and nothing else.
// False when it is neither (a missing key reads as 0, which is no valid address);
// `shown` is what a message shows of it: a number in hexadecimal, anything else
// as it stands.
bool PortExpanderParseAddress(const Json::Value& deviceID, int& address, std::string& shown);
