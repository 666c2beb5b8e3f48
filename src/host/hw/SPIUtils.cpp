// SPI through spidev ioctls, or through the bus simulation.
#include "host/hw/SPIUtils.h"

#include "host/core/Log.h"
#include "host/hw/BusDevices.h"
#include "host/hw/BusSimulation.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t MODE = SPI_MODE_0;
constexpr uint8_t BITS = 8;

} // namespace

SPIUtils::SPIUtils(int port, int speed, int chipSelect)
    : m_port(port), m_chipSelect(chipSelect), m_speed(speed) {
    m_simulated = BusSimulation::INSTANCE.Active();
    m_device = m_simulated ? "simulated SPI " + std::to_string(port) + "." + std::to_string(chipSelect)
                           : BusDevicePath("SPIDevice", "/dev/spidev{port}.{cs}",
                                           {{"port", port}, {"cs", chipSelect}});
    if (speed <= 0) {
        m_error = "SPI speed " + std::to_string(speed) + " Hz is not a clock rate";
        LogErr(LOGCH_CHANNELOUT, "SPI device %s: %s\n", m_device.c_str(), m_error.c_str());
        return;
    }
    if (m_simulated) {
        // A real descriptor, so that code checking it sees an open device.
        m_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (m_fd < 0) {
            fail("cannot open /dev/null");
        } else if (BusSimulation::INSTANCE.SPIOpened(port, chipSelect, speed, MODE, BITS) != 0) {
            fail("cannot set SPI mode " + std::to_string(MODE) + " with " + std::to_string(BITS) +
                 "-bit words");
        }
        return;
    }
    m_fd = open(m_device.c_str(), O_RDWR | O_CLOEXEC);
    if (m_fd < 0) {
        fail("cannot open");
        return;
    }
    uint8_t mode = MODE;
    uint8_t bits = BITS;
    uint32_t hz = (uint32_t)speed;
    if (ioctl(m_fd, SPI_IOC_WR_MODE, &mode) < 0) {
        fail("cannot set SPI mode 0 (is it an SPI device?)");
    } else if (ioctl(m_fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0) {
        fail("cannot set 8 bits per word");
    } else if (ioctl(m_fd, SPI_IOC_WR_MAX_SPEED_HZ, &hz) < 0) {
        fail("cannot set the clock to " + std::to_string(speed) + " Hz");
    }
}

SPIUtils::~SPIUtils() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void SPIUtils::fail(const std::string& what) {
    m_error = what + ": " + strerror(errno);
    LogErr(LOGCH_CHANNELOUT, "SPI device %s: %s\n", m_device.c_str(), m_error.c_str());
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

int SPIUtils::xfer(uint8_t* tx, uint8_t* rx, int length) {
    if (m_fd < 0 || !tx || length <= 0) {
        return -1;
    }
    int r;
    if (m_simulated) {
        r = BusSimulation::INSTANCE.SPITransfer(m_port, m_chipSelect, tx, rx, (size_t)length);
    } else {
        struct spi_ioc_transfer t;
        memset(&t, 0, sizeof(t));
        t.tx_buf = (uintptr_t)tx;
        t.rx_buf = (uintptr_t)rx;
        t.len = (uint32_t)length;
        t.speed_hz = (uint32_t)m_speed;
        t.bits_per_word = BITS;
        r = ioctl(m_fd, SPI_IOC_MESSAGE(1), &t);
    }
    if (r < 0) {
        // Per frame, a failing device would otherwise fill the log.
        if (!m_failing) {
            LogErr(LOGCH_CHANNELOUT,
                   "SPI device %s: a transfer of %d bytes failed: %s (not logged again until one works)\n",
                   m_device.c_str(), length, strerror(errno));
            m_failing = true;
        }
        return -1;
    }
    if (m_failing) {
        LogInfo(LOGCH_CHANNELOUT, "SPI device %s: transfers work again\n", m_device.c_str());
        m_failing = false;
    }
    return r;
}
