// A simulated nRF24L01+ radio on a simulated SPI port: its registers, the
// three-deep TX FIFO and the CE pin, after the chip's public register map. A
// payload leaves the FIFO while the chip is powered up in transmit mode and CE is
// high; the packets sent are kept for tests to look at.
#pragma once

#include "host/hw/BusSimulation.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class SimulatedNRF24L01 : public SimulatedSPIChip {
public:
    // Register numbers and commands of the chip.
    enum : uint8_t {
        CONFIG = 0x00,
        EN_AA = 0x01,
        EN_RXADDR = 0x02,
        SETUP_AW = 0x03,
        SETUP_RETR = 0x04,
        RF_CH = 0x05,
        RF_SETUP = 0x06,
        STATUS = 0x07,
        RX_ADDR_P0 = 0x0A,
        RX_ADDR_P1 = 0x0B,
        TX_ADDR = 0x10,
        RX_PW_P0 = 0x11,
        FIFO_STATUS = 0x17,
        DYNPD = 0x1C,
        FEATURE = 0x1D,
        R_REGISTER = 0x00,
        W_REGISTER = 0x20,
        R_RX_PAYLOAD = 0x61,
        W_TX_PAYLOAD = 0xA0,
        FLUSH_TX = 0xE1,
        FLUSH_RX = 0xE2,
        NOP = 0xFF,
    };

    struct Packet {
        std::vector<uint8_t> payload;
        int channel;      // RF_CH when it was sent
        uint8_t rfSetup;  // RF_SETUP when it was sent (data rate and power)
        uint64_t address; // TX_ADDR, first byte lowest
        bool crc16;       // CONFIG's CRC length when it was sent (CRC on)
    };

    // `ceChip`, `ceLine`: the output pin wired to the chip's CE.
    explicit SimulatedNRF24L01(int ceChip = 0, int ceLine = 22);

    void transfer(const uint8_t* tx, uint8_t* rx, size_t length) override;
    void pinChanged(int chip, int line, bool value) override;

    uint8_t Register(uint8_t reg) const;
    // A five-byte address register (RX_ADDR_P0, RX_ADDR_P1, TX_ADDR), first byte lowest.
    uint64_t Address(uint8_t reg) const;
    std::vector<Packet> Sent() const;
    size_t TxFifoSize() const;
    int CERisingEdges() const;
    bool CE() const;

private:
    void transmitLocked();

    mutable std::mutex m_lock; // guards everything below
    uint8_t m_regs[0x20];
    uint8_t m_addresses[3][5]; // RX_ADDR_P0, RX_ADDR_P1, TX_ADDR
    std::deque<std::vector<uint8_t>> m_txFifo;
    std::vector<Packet> m_sent;
    const int m_ceChip;
    const int m_ceLine;
    bool m_ce = false;
    int m_ceRising = 0;
};
