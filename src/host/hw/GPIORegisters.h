// The board's GPIO register block (BCM2835 layout), mapped from /dev/gpiomem (or
// the file the host setting "GPIOMemDevice" names) for outputs that bit-bang a bus
// faster than any system call allows. Under the bus simulation (BusSimulation.h)
// the block is memory, and writes can be recorded.
#pragma once

#include <cstdint>
#include <string>

class GPIORegisters {
public:
    // Byte offsets of the registers used: function select of GPIO 0-9 (the next
    // ones follow every 4 bytes), set (a 1 bit drives the pin high), clear (low).
    static constexpr uint32_t FSEL0 = 0x00;
    static constexpr uint32_t SET0 = 0x1C;
    static constexpr uint32_t CLR0 = 0x28;
    static constexpr uint32_t BLOCK_SIZE = 4096;
    static constexpr long BLOCK_OFFSET = 0x200000; // in the device file

    GPIORegisters() {}
    ~GPIORegisters();
    GPIORegisters(const GPIORegisters&) = delete;
    GPIORegisters& operator=(const GPIORegisters&) = delete;

    // Opens the device for reading and writing with synchronous writes and maps
    // the block. False, with the reason logged and in getError(), when it cannot.
    bool map();
    void unmap();
    bool isMapped() const { return m_block != nullptr; }

    // The mapped block, null when not mapped. Writes straight into it are the
    // fast path; when isRecording(), writes must go through write() instead.
    volatile uint32_t* getBlock() const { return m_block; }
    bool isRecording() const { return m_recording; }

    // One register (byte offset within the block; others are ignored).
    void write(uint32_t offset, uint32_t value);
    uint32_t read(uint32_t offset) const;
    // Makes `gpio` (0-53) an output: its three function bits cleared, then set to 001.
    void setOutput(int gpio);

    const std::string& getDevice() const { return m_device; }
    const std::string& getError() const { return m_error; }

private:
    volatile uint32_t* m_block = nullptr;
    bool m_simulated = false;
    bool m_recording = false;
    std::string m_device;
    std::string m_error;
};
