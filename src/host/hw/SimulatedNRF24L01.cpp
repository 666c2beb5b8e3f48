// The simulated nRF24L01+ radio.
#include "host/hw/SimulatedNRF24L01.h"

#include <cstring>

namespace {

constexpr uint8_t PWR_UP = 0x02;
constexpr uint8_t PRIM_RX = 0x01;
constexpr uint8_t EN_CRC = 0x08;
constexpr uint8_t CRCO = 0x04;
constexpr uint8_t TX_DS = 0x20;
constexpr uint8_t MAX_RT = 0x10;
constexpr uint8_t STATUS_FLAGS = 0x70;
constexpr size_t TX_FIFO_DEPTH = 3;

// Index into m_addresses of a five-byte register, or -1.
int addressIndex(uint8_t reg) {
    switch (reg) {
    case SimulatedNRF24L01::RX_ADDR_P0:
        return 0;
    case SimulatedNRF24L01::RX_ADDR_P1:
        return 1;
    case SimulatedNRF24L01::TX_ADDR:
        return 2;
    default:
        return -1;
    }
}

} // namespace

SimulatedNRF24L01::SimulatedNRF24L01(int ceChip, int ceLine) : m_ceChip(ceChip), m_ceLine(ceLine) {
    // The chip's reset values.
    memset(m_regs, 0, sizeof(m_regs));
    m_regs[CONFIG] = 0x08;
    m_regs[EN_AA] = 0x3F;
    m_regs[EN_RXADDR] = 0x03;
    m_regs[SETUP_AW] = 0x03;
    m_regs[SETUP_RETR] = 0x03;
    m_regs[RF_CH] = 0x02;
    m_regs[RF_SETUP] = 0x0E;
    m_regs[0x0C] = 0xC3;
    m_regs[0x0D] = 0xC4;
    m_regs[0x0E] = 0xC5;
    m_regs[0x0F] = 0xC6;
    memset(m_addresses[0], 0xE7, 5);
    memset(m_addresses[1], 0xC2, 5);
    memset(m_addresses[2], 0xE7, 5);
}

void SimulatedNRF24L01::transfer(const uint8_t* tx, uint8_t* rx, size_t length) {
    std::lock_guard<std::mutex> l(m_lock);
    if (length == 0) {
        return;
    }
    // STATUS: the interrupt flags, "RX FIFO empty" as the pipe number, TX_FULL.
    uint8_t status = (uint8_t)((m_regs[STATUS] & STATUS_FLAGS) | 0x0E | (m_txFifo.size() >= TX_FIFO_DEPTH));
    rx[0] = status;
    uint8_t cmd = tx[0];
    if (cmd < W_REGISTER) {
        uint8_t reg = cmd & 0x1F;
        int a = addressIndex(reg);
        for (size_t i = 1; i < length; i++) {
            if (a >= 0) {
                rx[i] = i <= 5 ? m_addresses[a][i - 1] : 0;
            } else if (i == 1) {
                rx[i] = reg == STATUS ? status : m_regs[reg];
            }
        }
        if (reg == FIFO_STATUS && length > 1) {
            rx[1] = (uint8_t)(0x01 | (m_txFifo.empty() ? 0x10 : 0) |
                              (m_txFifo.size() >= TX_FIFO_DEPTH ? 0x20 : 0));
        }
        return;
    }
    if (cmd < 0x40) {
        uint8_t reg = cmd & 0x1F;
        if (length < 2) {
            return;
        }
        int a = addressIndex(reg);
        if (a >= 0) {
            for (size_t i = 1; i < length && i <= 5; i++) {
                m_addresses[a][i - 1] = tx[i];
            }
        } else if (reg == STATUS) {
            // Writing 1 clears an interrupt flag.
            m_regs[STATUS] &= (uint8_t) ~(tx[1] & STATUS_FLAGS);
        } else if (reg != FIFO_STATUS && reg != 0x08 && reg != 0x09) {
            m_regs[reg] = tx[1];
        }
        if (reg == CONFIG) {
            transmitLocked();
        }
        return;
    }
    switch (cmd) {
    case W_TX_PAYLOAD:
        if (m_txFifo.size() < TX_FIFO_DEPTH) {
            m_txFifo.emplace_back(tx + 1, tx + length);
        }
        transmitLocked();
        break;
    case FLUSH_TX:
        m_txFifo.clear();
        break;
    default:
        break; // NOP, FLUSH_RX and what the simulation does not model
    }
}

void SimulatedNRF24L01::pinChanged(int chip, int line, bool value) {
    std::lock_guard<std::mutex> l(m_lock);
    if (chip != m_ceChip || line != m_ceLine) {
        return;
    }
    if (value && !m_ce) {
        m_ceRising++;
    }
    m_ce = value;
    transmitLocked();
}

void SimulatedNRF24L01::transmitLocked() {
    if (!m_ce || !(m_regs[CONFIG] & PWR_UP) || (m_regs[CONFIG] & PRIM_RX)) {
        return;
    }
    while (!m_txFifo.empty()) {
        Packet p;
        p.payload = m_txFifo.front();
        p.channel = m_regs[RF_CH];
        p.rfSetup = m_regs[RF_SETUP];
        p.address = 0;
        for (int i = 4; i >= 0; i--) {
            p.address = (p.address << 8) | m_addresses[2][i];
        }
        p.crc16 = (m_regs[CONFIG] & EN_CRC) && (m_regs[CONFIG] & CRCO);
        m_sent.push_back(p);
        if (m_regs[EN_AA] & 0x01) {
            // Nobody acknowledges: after its retries the chip gives up and keeps the payload.
            m_regs[STATUS] |= MAX_RT;
            return;
        }
        m_txFifo.pop_front();
        m_regs[STATUS] |= TX_DS;
    }
}

uint8_t SimulatedNRF24L01::Register(uint8_t reg) const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_regs[reg & 0x1F];
}

uint64_t SimulatedNRF24L01::Address(uint8_t reg) const {
    std::lock_guard<std::mutex> l(m_lock);
    int a = addressIndex(reg);
    uint64_t v = 0;
    for (int i = 4; a >= 0 && i >= 0; i--) {
        v = (v << 8) | m_addresses[a][i];
    }
    return v;
}

std::vector<SimulatedNRF24L01::Packet> SimulatedNRF24L01::Sent() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_sent;
}

size_t SimulatedNRF24L01::TxFifoSize() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_txFifo.size();
}

int SimulatedNRF24L01::CERisingEdges() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_ceRising;
}

bool SimulatedNRF24L01::CE() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_ce;
}
