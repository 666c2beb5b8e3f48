// Bus devices in memory, for tests and for trying bus outputs without hardware.
// While the simulation is on, SPIUtils, I2CUtils, GPIORegisters and the output pins
// that PinCapabilities::getPinByGPIO(chip, line) hands out work here instead of on
// the board's device files, and every transfer, write and pin change is kept in
// the order it happened.
//
// It is on when a test calls Enable(), or when the host setting "BusSimulation" is
// "1" (every device answers like a bus with nothing on it: reads are 0, writes are
// kept) or "nrf24l01" (the same, with a simulated nRF24L01+ radio on every SPI
// port, CE on line 22 of chip 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

class PinCapabilities;

enum class BusEventType { SPITransfer, I2CWrite, PinConfig, PinValue };

struct BusEvent {
    BusEventType type;
    int bus;    // SPI port, I2C bus or GPIO chip
    int device; // SPI chip select, I2C address or GPIO line
    // SPI: the bytes sent; I2C: register and value; pin value: 0 or 1; pin
    // configuration: 1 for an output, 0 for an input.
    std::vector<uint8_t> bytes;
    std::string mode; // pin configuration only: "gpio", "gpio_pu", ...

    // "spi 0.0: 01 81", "i2c 1@0x20: 0a=20", "pin 0:8 = 1", "pin 0:8 gpio out"
    std::string text() const;
};

// One write to the GPIO register block: byte offset and value.
struct RegisterWrite {
    uint32_t offset;
    uint32_t value;
    bool operator==(const RegisterWrite& o) const { return offset == o.offset && value == o.value; }
};

// A device on a simulated SPI port: it answers each transfer and sees every
// change of the board's output pins (to follow the ones wired to it).
class SimulatedSPIChip {
public:
    virtual ~SimulatedSPIChip() {}
    // `rx` has `length` bytes and comes zeroed.
    virtual void transfer(const uint8_t* tx, uint8_t* rx, size_t length) = 0;
    virtual void pinChanged(int chip, int line, bool value) {
        (void)chip;
        (void)line;
        (void)value;
    }
};

class BusSimulation {
public:
    static BusSimulation INSTANCE;

    // Devices opened from now on are simulated (those already open stay what they are).
    void Enable();
    void Disable();
    // Enabled, or switched on by the host setting "BusSimulation".
    bool Active() const;

    // Forgets the events, the register block's contents, pin values, attached chips
    // and absent devices. Pins handed out stay valid.
    void Reset();

    std::vector<BusEvent> Events() const;
    // The events as text() gives them.
    std::vector<std::string> EventTexts() const;
    void ClearEvents();
    // Only the last 100,000 events are kept (a simulated show may run for hours);
    // this counts those dropped from the front.
    uint64_t DroppedEvents() const;

    // Register writes are kept only when asked for: one TFT frame is more than a
    // million of them. Kept apart from the events, in their own order.
    void RecordRegisterWrites(bool record);
    bool RecordingRegisterWrites() const;
    std::vector<RegisterWrite> RegisterWrites() const;
    void ClearRegisterWrites();

    // The chip that answers on SPI `port` with chip select `chipSelect`; null
    // detaches it. Without one, every byte read is 0.
    void AttachSPIChip(int port, int chipSelect, std::shared_ptr<SimulatedSPIChip> chip);
    std::shared_ptr<SimulatedSPIChip> GetSPIChip(int port, int chipSelect) const;
    // Speed the port was last opened with (0 when never).
    int SPISpeed(int port, int chipSelect) const;

    // Writes to an absent I2C device fail with ENXIO, as on a bus where nothing answers.
    void SetI2CDeviceAbsent(int bus, int address, bool absent);
    // The last value written to a register of an I2C device (-1 when never written).
    int I2CRegister(int bus, int address, uint8_t reg) const;

    // The value last set on a simulated output pin (0 when never set; configuring
    // a pin as an output drives it to 0, as the character device does).
    int PinValue(int chip, int line) const;
    // An absent pin is not handed out (its ptr() is null), as on a board without that line.
    void SetPinAbsent(int chip, int line, bool absent);

    // ---- the device side: called by the host's bus classes. Like the kernel's
    // spidev on the board's controller, a port takes SPI modes 0 to 3, 8-bit words
    // and a clock above 0, and a transfer of at most SPI_MAX_TRANSFER bytes.
    static constexpr size_t SPI_MAX_TRANSFER = 4096;
    // 0, or -1 with errno EINVAL for what the port cannot do.
    int SPIOpened(int port, int chipSelect, int speed, uint8_t mode, uint8_t bitsPerWord);
    // Returns `length`; `rx` (may be null) receives the chip's answer. -1 with
    // errno EMSGSIZE, and nothing sent, for more than SPI_MAX_TRANSFER bytes.
    int SPITransfer(int port, int chipSelect, const uint8_t* tx, uint8_t* rx, size_t length);
    // 0, or -1 with errno set.
    int I2CWrite(int bus, int address, uint8_t reg, uint8_t value);
    // The simulated GPIO register block: 4096 bytes, never freed.
    volatile uint32_t* RegisterBlock();
    void WriteRegister(uint32_t offset, uint32_t value);
    // The simulated pin for (chip, line); it lives as long as the process.
    const PinCapabilities& GetPin(int chip, int line);
    void PinConfigured(int chip, int line, const std::string& mode, bool output);
    void PinSet(int chip, int line, bool value);

private:
    void addEvent(BusEvent&& e); // with m_lock held

    mutable std::mutex m_lock; // guards everything below
    bool m_enabled = false;
    std::deque<BusEvent> m_events;
    uint64_t m_dropped = 0;
    bool m_recordRegisters = false;
    std::vector<RegisterWrite> m_registerWrites;
    alignas(64) uint32_t m_registers[1024] = {};
    std::map<std::pair<int, int>, std::shared_ptr<SimulatedSPIChip>> m_chips;
    std::map<std::pair<int, int>, int> m_spiSpeeds;
    std::set<std::pair<int, int>> m_absentI2C;
    std::map<std::tuple<int, int, int>, uint8_t> m_i2cRegisters;
    std::map<std::pair<int, int>, int> m_pinValues;
    std::set<std::pair<int, int>> m_absentPins;
    std::map<std::pair<int, int>, std::unique_ptr<PinCapabilities>> m_pins;
};
