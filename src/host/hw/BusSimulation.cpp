// The in-memory bus: its record of events, the simulated register block, pins and chips.
#include "host/hw/BusSimulation.h"

#include "host/core/Settings.h"
#include "host/hw/Pins.h"
#include "host/hw/SimulatedNRF24L01.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// About 10 MB: enough for any test, bounded for a simulated show that runs for hours.
constexpr size_t MAX_EVENTS = 100000;

std::string hexByte(uint8_t b) {
    char buf[4];
    snprintf(buf, sizeof(buf), "%02x", b);
    return buf;
}

// What the host setting asks for: "" off, "nrf24l01" a radio on every port, else plain devices.
std::string settingMode() {
    std::string v = getSetting("BusSimulation", "");
    if (v.empty() || v == "0" || v == "false" || v == "off") {
        return "";
    }
    return v;
}

// An output pin of the simulation: its changes go into the record, in order with the transfers.
class SimulatedBusPin : public PinCapabilities {
public:
    SimulatedBusPin(int chip, int line)
        : PinCapabilities("bus-sim-" + std::to_string(chip) + "-" + std::to_string(line),
                          chip == 0 ? line : -1),
          m_chip(chip), m_line(line) {}

    bool configPin(const std::string& mode, bool directionOut, const std::string&) const override {
        BusSimulation::INSTANCE.PinConfigured(m_chip, m_line, mode, directionOut);
        return true;
    }
    int getValue() const override { return BusSimulation::INSTANCE.PinValue(m_chip, m_line); }
    void setValue(bool value) const override { BusSimulation::INSTANCE.PinSet(m_chip, m_line, value); }
    bool supportsGpiod() const override { return false; }
    Json::Value toJSON() const override {
        Json::Value v = PinCapabilities::toJSON();
        v["provider"] = "bus-simulation";
        v["gpioChip"] = m_chip;
        v["gpioLine"] = m_line;
        return v;
    }

private:
    const int m_chip;
    const int m_line;
};

// What GetPin gives for an absent line.
class AbsentPin : public PinCapabilities {
public:
    AbsentPin() : PinCapabilities("", -1) {}
    const PinCapabilities* ptr() const override { return nullptr; }
};

} // namespace

BusSimulation BusSimulation::INSTANCE;

std::string BusEvent::text() const {
    std::string t;
    switch (type) {
    case BusEventType::SPITransfer:
        t = "spi " + std::to_string(bus) + "." + std::to_string(device) + ":";
        for (uint8_t b : bytes) {
            t += " " + hexByte(b);
        }
        break;
    case BusEventType::I2CWrite: {
        char buf[64];
        snprintf(buf, sizeof(buf), "i2c %d@0x%02x: %02x=%02x", bus, device, bytes.size() > 0 ? bytes[0] : 0,
                 bytes.size() > 1 ? bytes[1] : 0);
        t = buf;
        break;
    }
    case BusEventType::PinConfig:
        t = "pin " + std::to_string(bus) + ":" + std::to_string(device) + " " + mode +
            (!bytes.empty() && bytes[0] ? " out" : " in");
        break;
    case BusEventType::PinValue:
        t = "pin " + std::to_string(bus) + ":" + std::to_string(device) + " = " +
            (!bytes.empty() && bytes[0] ? "1" : "0");
        break;
    }
    return t;
}

void BusSimulation::Enable() {
    std::lock_guard<std::mutex> l(m_lock);
    m_enabled = true;
}

void BusSimulation::Disable() {
    std::lock_guard<std::mutex> l(m_lock);
    m_enabled = false;
}

bool BusSimulation::Active() const {
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (m_enabled) {
            return true;
        }
    }
    return !settingMode().empty();
}

void BusSimulation::Reset() {
    std::lock_guard<std::mutex> l(m_lock);
    m_events.clear();
    m_dropped = 0;
    m_recordRegisters = false;
    m_registerWrites.clear();
    memset(m_registers, 0, sizeof(m_registers));
    m_chips.clear();
    m_spiSpeeds.clear();
    m_absentI2C.clear();
    m_i2cRegisters.clear();
    m_pinValues.clear();
    m_absentPins.clear();
}

std::vector<BusEvent> BusSimulation::Events() const {
    std::lock_guard<std::mutex> l(m_lock);
    return std::vector<BusEvent>(m_events.begin(), m_events.end());
}

std::vector<std::string> BusSimulation::EventTexts() const {
    std::vector<std::string> texts;
    for (const BusEvent& e : Events()) {
        texts.push_back(e.text());
    }
    return texts;
}

void BusSimulation::ClearEvents() {
    std::lock_guard<std::mutex> l(m_lock);
    m_events.clear();
}

uint64_t BusSimulation::DroppedEvents() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_dropped;
}

void BusSimulation::RecordRegisterWrites(bool record) {
    std::lock_guard<std::mutex> l(m_lock);
    m_recordRegisters = record;
}

bool BusSimulation::RecordingRegisterWrites() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_recordRegisters;
}

std::vector<RegisterWrite> BusSimulation::RegisterWrites() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_registerWrites;
}

void BusSimulation::ClearRegisterWrites() {
    std::lock_guard<std::mutex> l(m_lock);
    m_registerWrites.clear();
}

void BusSimulation::AttachSPIChip(int port, int chipSelect, std::shared_ptr<SimulatedSPIChip> chip) {
    std::lock_guard<std::mutex> l(m_lock);
    if (chip) {
        m_chips[{port, chipSelect}] = chip;
    } else {
        m_chips.erase({port, chipSelect});
    }
}

std::shared_ptr<SimulatedSPIChip> BusSimulation::GetSPIChip(int port, int chipSelect) const {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_chips.find({port, chipSelect});
    return it == m_chips.end() ? nullptr : it->second;
}

int BusSimulation::SPISpeed(int port, int chipSelect) const {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_spiSpeeds.find({port, chipSelect});
    return it == m_spiSpeeds.end() ? 0 : it->second;
}

void BusSimulation::SetI2CDeviceAbsent(int bus, int address, bool absent) {
    std::lock_guard<std::mutex> l(m_lock);
    if (absent) {
        m_absentI2C.insert({bus, address});
    } else {
        m_absentI2C.erase({bus, address});
    }
}

int BusSimulation::I2CRegister(int bus, int address, uint8_t reg) const {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_i2cRegisters.find(std::make_tuple(bus, address, (int)reg));
    return it == m_i2cRegisters.end() ? -1 : it->second;
}

int BusSimulation::PinValue(int chip, int line) const {
    std::lock_guard<std::mutex> l(m_lock);
    auto it = m_pinValues.find({chip, line});
    return it == m_pinValues.end() ? 0 : it->second;
}

void BusSimulation::SetPinAbsent(int chip, int line, bool absent) {
    std::lock_guard<std::mutex> l(m_lock);
    if (absent) {
        m_absentPins.insert({chip, line});
    } else {
        m_absentPins.erase({chip, line});
    }
}

int BusSimulation::SPIOpened(int port, int chipSelect, int speed, uint8_t mode, uint8_t bitsPerWord) {
    if (speed <= 0 || mode > 3 || bitsPerWord != 8) {
        errno = EINVAL;
        return -1;
    }
    bool radio = settingMode() == "nrf24l01";
    std::lock_guard<std::mutex> l(m_lock);
    m_spiSpeeds[{port, chipSelect}] = speed;
    if (radio && !m_chips.count({port, chipSelect})) {
        m_chips[{port, chipSelect}] = std::make_shared<SimulatedNRF24L01>();
    }
    return 0;
}

int BusSimulation::SPITransfer(int port, int chipSelect, const uint8_t* tx, uint8_t* rx, size_t length) {
    if (length > SPI_MAX_TRANSFER) {
        errno = EMSGSIZE;
        return -1;
    }
    std::lock_guard<std::mutex> l(m_lock);
    BusEvent e{BusEventType::SPITransfer, port, chipSelect, std::vector<uint8_t>(tx, tx + length), ""};
    addEvent(std::move(e));
    std::vector<uint8_t> answer(length, 0);
    auto it = m_chips.find({port, chipSelect});
    if (it != m_chips.end() && length > 0) {
        it->second->transfer(tx, answer.data(), length);
    }
    if (rx) {
        memcpy(rx, answer.data(), length);
    }
    return (int)length;
}

int BusSimulation::I2CWrite(int bus, int address, uint8_t reg, uint8_t value) {
    std::lock_guard<std::mutex> l(m_lock);
    if (m_absentI2C.count({bus, address})) {
        errno = ENXIO;
        return -1;
    }
    addEvent(BusEvent{BusEventType::I2CWrite, bus, address, {reg, value}, ""});
    m_i2cRegisters[std::make_tuple(bus, address, (int)reg)] = value;
    return 0;
}

volatile uint32_t* BusSimulation::RegisterBlock() {
    return m_registers;
}

void BusSimulation::WriteRegister(uint32_t offset, uint32_t value) {
    std::lock_guard<std::mutex> l(m_lock);
    if (offset / 4 < sizeof(m_registers) / sizeof(m_registers[0])) {
        m_registers[offset / 4] = value;
    }
    if (m_recordRegisters) {
        m_registerWrites.push_back(RegisterWrite{offset, value});
    }
}

const PinCapabilities& BusSimulation::GetPin(int chip, int line) {
    static const AbsentPin absent;
    std::lock_guard<std::mutex> l(m_lock);
    if (m_absentPins.count({chip, line})) {
        return absent;
    }
    std::unique_ptr<PinCapabilities>& p = m_pins[{chip, line}];
    if (!p) {
        p.reset(new SimulatedBusPin(chip, line));
    }
    return *p;
}

void BusSimulation::PinConfigured(int chip, int line, const std::string& mode, bool output) {
    std::lock_guard<std::mutex> l(m_lock);
    addEvent(BusEvent{BusEventType::PinConfig, chip, line, {(uint8_t)(output ? 1 : 0)}, mode});
    if (output) {
        // As on the character device, requesting an output drives it low.
        m_pinValues[{chip, line}] = 0;
        for (auto& c : m_chips) {
            c.second->pinChanged(chip, line, false);
        }
    }
}

void BusSimulation::PinSet(int chip, int line, bool value) {
    std::lock_guard<std::mutex> l(m_lock);
    m_pinValues[{chip, line}] = value ? 1 : 0;
    addEvent(BusEvent{BusEventType::PinValue, chip, line, {(uint8_t)(value ? 1 : 0)}, ""});
    for (auto& c : m_chips) {
        c.second->pinChanged(chip, line, value);
    }
}

void BusSimulation::addEvent(BusEvent&& e) {
    if (m_events.size() >= MAX_EVENTS) {
        m_events.pop_front();
        m_dropped++;
    }
    m_events.push_back(std::move(e));
}
