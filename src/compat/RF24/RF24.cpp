// The nRF24L01(+) driver: register reads and writes as SPI transfers, CE as a GPIO output.
#include "RF24/RF24.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/hw/Pins.h"
#include "host/hw/SPIUtils.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Commands.
constexpr uint8_t R_REGISTER = 0x00;
constexpr uint8_t W_REGISTER = 0x20;
constexpr uint8_t W_TX_PAYLOAD = 0xA0;
constexpr uint8_t FLUSH_TX = 0xE1;
constexpr uint8_t FLUSH_RX = 0xE2;
constexpr uint8_t NOP = 0xFF;

// Registers.
constexpr uint8_t CONFIG = 0x00;
constexpr uint8_t EN_AA = 0x01;
constexpr uint8_t EN_RXADDR = 0x02;
constexpr uint8_t SETUP_RETR = 0x04;
constexpr uint8_t RF_CH = 0x05;
constexpr uint8_t RF_SETUP = 0x06;
constexpr uint8_t STATUS = 0x07;
constexpr uint8_t RX_ADDR_P0 = 0x0A;
constexpr uint8_t TX_ADDR = 0x10;
constexpr uint8_t RX_PW_P0 = 0x11;
constexpr uint8_t DYNPD = 0x1C;
constexpr uint8_t FEATURE = 0x1D;

// Bits.
constexpr uint8_t EN_CRC = 0x08;
constexpr uint8_t CRCO = 0x04;
constexpr uint8_t PWR_UP = 0x02;
constexpr uint8_t TX_DS = 0x20;
constexpr uint8_t MAX_RT = 0x10;
constexpr uint8_t STATUS_FLAGS = 0x70;
constexpr uint8_t RF_DR_LOW = 0x20;
constexpr uint8_t RF_DR_HIGH = 0x08;

constexpr int CORE_CLOCK_HZ = 250000000;
constexpr int MAX_CLOCK_HZ = 10000000;
// A 32-byte packet at 250 kbit/s is in the air for about 1.5 ms.
constexpr int64_t SEND_TIMEOUT_US = 10000;

int chipSelectOf(uint16_t csPin) {
    if (csPin == 7) {
        return 1;
    }
    if (csPin == 8) {
        return 0;
    }
    return csPin;
}

int speedOf(uint32_t divider) {
    if (divider == 0) {
        return MAX_CLOCK_HZ;
    }
    return std::min(CORE_CLOCK_HZ / (int)std::min<uint32_t>(divider, CORE_CLOCK_HZ), MAX_CLOCK_HZ);
}

} // namespace

RF24::RF24(uint16_t cePin, uint16_t csPin, uint32_t spiSpeed)
    : m_cePin(cePin), m_chipSelect(chipSelectOf(csPin)), m_speedHz(speedOf(spiSpeed)) {}

RF24::~RF24() {
    if (m_ce) {
        m_ce->setValue(false);
    }
    delete m_spi;
}

bool RF24::begin() {
    delete m_spi;
    m_spi = new SPIUtils(0, m_speedHz, m_chipSelect);
    if (m_spi->getFD() < 0) {
        return false;
    }
    m_ce = PinCapabilities::getPinByGPIO(0, m_cePin).ptr();
    if (!m_ce) {
        LogErr(LOGCH_CHANNELOUT,
               "nRF24L01: there is no GPIO line %u on chip 0 for the radio's CE pin; nothing can be sent\n",
               m_cePin);
    } else if (!m_ce->configPin("gpio", true, "nRF24L01 CE")) {
        m_ce = nullptr;
    } else {
        m_ce->setValue(false);
    }
    writeRegister(CONFIG, EN_CRC | CRCO);
    writeRegister(DYNPD, 0);
    writeRegister(FEATURE, 0);
    writeRegister(STATUS, STATUS_FLAGS);
    command(FLUSH_RX);
    command(FLUSH_TX);
    return m_ce != nullptr;
}

bool RF24::setDataRate(rf24_datarate_e speed) {
    uint8_t v = readRegister(RF_SETUP) & (uint8_t) ~(RF_DR_LOW | RF_DR_HIGH);
    if (speed == RF24_250KBPS) {
        v |= RF_DR_LOW;
    } else if (speed == RF24_2MBPS) {
        v |= RF_DR_HIGH;
    }
    writeRegister(RF_SETUP, v);
    return readRegister(RF_SETUP) == v;
}

rf24_datarate_e RF24::getDataRate() {
    // Both bits set is reserved: it reads as 1 Mbit/s, so that a bus reading all
    // ones (no chip, MISO pulled up) fails a 250 kbit/s read-back too.
    uint8_t bits = readRegister(RF_SETUP) & (RF_DR_LOW | RF_DR_HIGH);
    if (bits == RF_DR_LOW) {
        return RF24_250KBPS;
    }
    if (bits == RF_DR_HIGH) {
        return RF24_2MBPS;
    }
    return RF24_1MBPS;
}

void RF24::setRetries(uint8_t delay, uint8_t count) {
    writeRegister(SETUP_RETR, (uint8_t)((std::min<uint8_t>(delay, 15) << 4) | std::min<uint8_t>(count, 15)));
}

void RF24::setPayloadSize(uint8_t size) {
    m_payloadSize = std::max<uint8_t>(1, std::min<uint8_t>(size, 32));
    for (uint8_t pipe = 0; pipe < 6; pipe++) {
        writeRegister(RX_PW_P0 + pipe, m_payloadSize);
    }
}

void RF24::setAutoAck(bool enable) {
    writeRegister(EN_AA, enable ? 0x3F : 0x00);
}

void RF24::setChannel(uint8_t channel) {
    writeRegister(RF_CH, std::min<uint8_t>(channel, 125));
}

void RF24::setCRCLength(rf24_crclength_e length) {
    uint8_t v = readRegister(CONFIG) & (uint8_t) ~(EN_CRC | CRCO);
    if (length == RF24_CRC_8) {
        v |= EN_CRC;
    } else if (length == RF24_CRC_16) {
        v |= EN_CRC | CRCO;
    }
    writeRegister(CONFIG, v);
}

void RF24::openWritingPipe(uint64_t address) {
    uint8_t a[5];
    for (int i = 0; i < 5; i++) {
        a[i] = (uint8_t)(address >> (8 * i));
    }
    // Pipe 0 receives on the same address, for the acknowledgements.
    writeRegister(RX_ADDR_P0, a, 5);
    writeRegister(TX_ADDR, a, 5);
    writeRegister(RX_PW_P0, m_payloadSize);
}

void RF24::openReadingPipe(uint8_t pipe, uint64_t address) {
    if (pipe > 5) {
        LogErr(LOGCH_CHANNELOUT, "nRF24L01: there is no reading pipe %u (0 to 5)\n", pipe);
        return;
    }
    uint8_t a[5];
    for (int i = 0; i < 5; i++) {
        a[i] = (uint8_t)(address >> (8 * i));
    }
    // Pipes 2 to 5 share the upper bytes of pipe 1's address and take only the lowest.
    writeRegister(RX_ADDR_P0 + pipe, a, pipe < 2 ? 5 : 1);
    writeRegister(RX_PW_P0 + pipe, m_payloadSize);
    writeRegister(EN_RXADDR, readRegister(EN_RXADDR) | (uint8_t)(1 << pipe));
}

void RF24::setPALevel(uint8_t level, bool lnaEnable) {
    uint8_t v = readRegister(RF_SETUP) & (uint8_t)~0x07;
    v |= (uint8_t)(std::min<uint8_t>(level, RF24_PA_MAX) << 1) | (lnaEnable ? 1 : 0);
    writeRegister(RF_SETUP, v);
}

uint8_t RF24::flush_tx() {
    return command(FLUSH_TX);
}

void RF24::powerUp() {
    uint8_t v = readRegister(CONFIG);
    if (!(v & PWR_UP)) {
        writeRegister(CONFIG, v | PWR_UP);
        // From power down to standby takes up to 4.5 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void RF24::printDetails() {
    uint8_t tx[5], p0[5], p1[5];
    readRegister(TX_ADDR, tx, 5);
    readRegister(RX_ADDR_P0, p0, 5);
    readRegister(RX_ADDR_P0 + 1, p1, 5);
    auto hex5 = [](const uint8_t* a) {
        char buf[16];
        snprintf(buf, sizeof(buf), "0x%02x%02x%02x%02x%02x", a[4], a[3], a[2], a[1], a[0]);
        return std::string(buf);
    };
    uint8_t setup = readRegister(RF_SETUP);
    static const char* rates[] = {"1MBPS", "2MBPS", "250KBPS"};
    LogDebug(LOGCH_CHANNELOUT, "nRF24L01 on %s, CE on GPIO %u%s\n", m_spi ? m_spi->getDevice().c_str() : "-",
             m_cePin, m_ce ? "" : " (not available)");
    LogDebug(LOGCH_CHANNELOUT, "    STATUS     = 0x%02x\n", command(NOP));
    LogDebug(LOGCH_CHANNELOUT, "    CONFIG     = 0x%02x\n", readRegister(CONFIG));
    LogDebug(LOGCH_CHANNELOUT, "    RF_CH      = %u (%u MHz)\n", readRegister(RF_CH),
             2400u + readRegister(RF_CH));
    LogDebug(LOGCH_CHANNELOUT, "    RF_SETUP   = 0x%02x (%s, PA level %u)\n", setup, rates[getDataRate()],
             (setup >> 1) & 3);
    LogDebug(LOGCH_CHANNELOUT, "    EN_AA      = 0x%02x\n", readRegister(EN_AA));
    LogDebug(LOGCH_CHANNELOUT, "    EN_RXADDR  = 0x%02x\n", readRegister(EN_RXADDR));
    LogDebug(LOGCH_CHANNELOUT, "    SETUP_RETR = 0x%02x\n", readRegister(SETUP_RETR));
    LogDebug(LOGCH_CHANNELOUT, "    TX_ADDR    = %s\n", hex5(tx).c_str());
    LogDebug(LOGCH_CHANNELOUT, "    RX_ADDR_P0 = %s, RX_ADDR_P1 = %s\n", hex5(p0).c_str(), hex5(p1).c_str());
    LogDebug(LOGCH_CHANNELOUT, "    RX_PW_P0   = %u\n", readRegister(RX_PW_P0));
}

bool RF24::write(const void* buffer, uint8_t length) {
    if (!m_spi || m_spi->getFD() < 0) {
        return false;
    }
    if (m_writeFailing && !resumed()) {
        // The radio has not answered since a packet timed out: the packet is handed
        // over without waiting, so that a silent radio costs one wait, not one per packet.
        loadPayload(buffer, length);
        pulseCE();
        return false;
    }
    loadPayload(buffer, length);

    setCE(true);
    uint8_t status = 0;
    int64_t deadline = GetTime() + SEND_TIMEOUT_US;
    while (true) {
        status = command(NOP);
        if ((status & (TX_DS | MAX_RT)) || GetTime() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    setCE(false);
    writeRegister(STATUS, STATUS_FLAGS);

    if (status & TX_DS) {
        return true;
    }
    flush_tx();
    if (!m_writeFailing) {
        LogErr(LOGCH_CHANNELOUT,
               "nRF24L01 on %s: a packet was not sent (%s; packets are sent without waiting and this is not "
               "logged again until one is)\n",
               m_spi->getDevice().c_str(),
               (status & MAX_RT) ? "no acknowledgement after the retries"
                                 : "the chip did not report it sent");
        m_writeFailing = true;
    }
    return false;
}

bool RF24::resumed() {
    // FLUSH_TX answers with STATUS as it was: whether the packet handed over last went out.
    uint8_t status = flush_tx();
    if (status & (TX_DS | MAX_RT)) {
        writeRegister(STATUS, STATUS_FLAGS);
    }
    if (!(status & TX_DS)) {
        return false;
    }
    LogInfo(LOGCH_CHANNELOUT, "nRF24L01: packets are sent again\n");
    m_writeFailing = false;
    return true;
}

void RF24::loadPayload(const void* buffer, uint8_t length) {
    uint8_t tx[33];
    memset(tx, 0, sizeof(tx));
    tx[0] = W_TX_PAYLOAD;
    memcpy(tx + 1, buffer, std::min(length, m_payloadSize));
    m_spi->xfer(tx, nullptr, 1 + m_payloadSize);
}

void RF24::pulseCE() {
    // The chip starts sending on a CE pulse of 10 us or more.
    setCE(true);
    std::this_thread::sleep_for(std::chrono::microseconds(10));
    setCE(false);
}

uint8_t RF24::readRegister(uint8_t reg) {
    uint8_t v = 0;
    readRegister(reg, &v, 1);
    return v;
}

void RF24::readRegister(uint8_t reg, uint8_t* data, int length) {
    uint8_t tx[6] = {(uint8_t)(R_REGISTER | (reg & 0x1F)), NOP, NOP, NOP, NOP, NOP};
    uint8_t rx[6] = {0, 0, 0, 0, 0, 0};
    length = std::min(length, 5);
    if (!m_spi || m_spi->xfer(tx, rx, 1 + length) < 0) {
        memset(data, 0, (size_t)length);
        return;
    }
    memcpy(data, rx + 1, (size_t)length);
}

void RF24::writeRegister(uint8_t reg, uint8_t value) {
    writeRegister(reg, &value, 1);
}

void RF24::writeRegister(uint8_t reg, const uint8_t* data, int length) {
    uint8_t tx[6];
    length = std::min(length, 5);
    tx[0] = (uint8_t)(W_REGISTER | (reg & 0x1F));
    memcpy(tx + 1, data, (size_t)length);
    if (m_spi) {
        m_spi->xfer(tx, nullptr, 1 + length);
    }
}

uint8_t RF24::command(uint8_t cmd) {
    uint8_t status = 0;
    if (m_spi) {
        m_spi->xfer(&cmd, &status, 1);
    }
    return status;
}

void RF24::setCE(bool high) {
    if (m_ce) {
        m_ce->setValue(high);
    }
}
