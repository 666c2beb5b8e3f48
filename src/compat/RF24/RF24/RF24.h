// The nRF24L01(+) radio driver class, for boards where the RF24 library is not
// installed: the calls the radio output makes, and nothing more, written from the
// chip's public register map over the host's SPI device (SPIUtils) and a GPIO
// output pin for CE (PinCapabilities). It drives a real radio; on a bus with no
// radio every register reads 0, so the data-rate read-back fails.
#pragma once

#include <cstdint>

class SPIUtils;
class PinCapabilities;

typedef enum { RF24_PA_MIN = 0, RF24_PA_LOW, RF24_PA_HIGH, RF24_PA_MAX, RF24_PA_ERROR } rf24_pa_dbm_e;
typedef enum { RF24_1MBPS = 0, RF24_2MBPS, RF24_250KBPS } rf24_datarate_e;
typedef enum { RF24_CRC_DISABLED = 0, RF24_CRC_8, RF24_CRC_16 } rf24_crclength_e;

class RF24 {
public:
    // `cePin`: the GPIO (line of chip 0) wired to the radio's CE. `csPin`: its
    // chip select on SPI port 0, as the GPIO of the port's hardware chip selects
    // (8: CE0, 7: CE1) or as the chip-select number (0, 1). `spiSpeed`: a divider
    // of the board's 250 MHz core clock (32 gives 7.8 MHz); the clock never
    // exceeds the chip's 10 MHz. Nothing is opened before begin().
    RF24(uint16_t cePin, uint16_t csPin, uint32_t spiSpeed);
    ~RF24();
    RF24(const RF24&) = delete;
    RF24& operator=(const RF24&) = delete;

    // Opens the SPI device, makes CE an output driven low, and puts the chip in a
    // known state: powered down, 16-bit CRC, static payloads, interrupt flags and
    // FIFOs cleared. False (logged) when the SPI device or the CE pin cannot be had.
    bool begin();
    // True when the rate reads back as set.
    bool setDataRate(rf24_datarate_e speed);
    rf24_datarate_e getDataRate();
    // Auto-retransmit delay (in steps of 250 us, 0-15) and count (0-15).
    void setRetries(uint8_t delay, uint8_t count);
    // Payload size of every packet, 1 to 32 bytes.
    void setPayloadSize(uint8_t size);
    void setAutoAck(bool enable);
    // 0 to 125: 2400 + channel MHz.
    void setChannel(uint8_t channel);
    void setCRCLength(rf24_crclength_e length);
    // Five-byte addresses, lowest byte sent first.
    void openWritingPipe(uint64_t address);
    void openReadingPipe(uint8_t pipe, uint64_t address);
    // rf24_pa_dbm_e: 0 (-18 dBm) to 3 (0 dBm).
    void setPALevel(uint8_t level, bool lnaEnable = true);
    // Empties the TX FIFO; returns the chip's STATUS.
    uint8_t flush_tx();
    void powerUp();
    // The chip's registers, logged at debug level.
    void printDetails();
    // Sends one packet of the payload size (`length` bytes of `buffer`, the rest
    // zero) and waits until the chip reports it sent, 10 ms at most. False when it
    // does not (logged once until a packet goes out again). After such a packet,
    // packets are handed to the chip without waiting (false) until one of them is
    // seen sent: a radio that stopped answering costs one wait, not one per packet.
    bool write(const void* buffer, uint8_t length);

private:
    uint8_t readRegister(uint8_t reg);
    void readRegister(uint8_t reg, uint8_t* data, int length);
    void writeRegister(uint8_t reg, uint8_t value);
    void writeRegister(uint8_t reg, const uint8_t* data, int length);
    uint8_t command(uint8_t cmd);
    void setCE(bool high);
    // While failing: whether the packet handed over last was sent (then waiting resumes).
    bool resumed();
    void loadPayload(const void* buffer, uint8_t length);
    void pulseCE();

    const uint16_t m_cePin;
    const int m_chipSelect;
    const int m_speedHz;
    SPIUtils* m_spi = nullptr;             // owned
    const PinCapabilities* m_ce = nullptr; // the host's; null when there is none
    uint8_t m_payloadSize = 32;
    bool m_writeFailing = false; // a packet timed out and none has been seen sent since
};
