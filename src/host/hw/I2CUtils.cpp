// I2C through i2c-dev ioctls, or through the bus simulation.
#include "host/hw/I2CUtils.h"

#include "host/core/Log.h"
#include "host/hw/BusDevices.h"
#include "host/hw/BusSimulation.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

I2CUtils::I2CUtils(int bus, int address) : m_bus(bus), m_address(address) {
    char at[16];
    snprintf(at, sizeof(at), "0x%02x", (unsigned)address & 0xFFFF);
    m_simulated = BusSimulation::INSTANCE.Active();
    std::string path = m_simulated ? "" : BusDevicePath("I2CDevice", "/dev/i2c-{bus}", {{"bus", bus}});
    m_device = (m_simulated ? "simulated I2C bus " + std::to_string(bus) : path) + " device " + at;
    if (address < 0x03 || address > 0x77) {
        m_error = std::string("address ") + at + " is not a 7-bit device address";
        LogErr(LOGCH_CHANNELOUT, "I2C %s: %s\n", m_device.c_str(), m_error.c_str());
        return;
    }
    if (m_simulated) {
        m_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (m_fd < 0) {
            fail("cannot open /dev/null");
        }
        return;
    }
    m_fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (m_fd < 0) {
        fail("cannot open");
        return;
    }
    if (ioctl(m_fd, I2C_SLAVE, (unsigned long)address) < 0) {
        fail("cannot address the device (is it an I2C bus?)");
    }
}

I2CUtils::~I2CUtils() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void I2CUtils::fail(const std::string& what) {
    m_error = what + ": " + strerror(errno);
    LogErr(LOGCH_CHANNELOUT, "I2C %s: %s\n", m_device.c_str(), m_error.c_str());
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

int I2CUtils::writeByteData(uint8_t reg, uint8_t value) {
    if (m_fd < 0) {
        return -1;
    }
    int r;
    if (m_simulated) {
        r = BusSimulation::INSTANCE.I2CWrite(m_bus, m_address, reg, value);
    } else {
        union i2c_smbus_data data;
        data.byte = value;
        struct i2c_smbus_ioctl_data args;
        args.read_write = I2C_SMBUS_WRITE;
        args.command = reg;
        args.size = I2C_SMBUS_BYTE_DATA;
        args.data = &data;
        r = ioctl(m_fd, I2C_SMBUS, &args);
    }
    if (r < 0) {
        // Per frame, a device that went away would otherwise fill the log.
        if (!m_failing) {
            LogErr(LOGCH_CHANNELOUT,
                   "I2C %s: writing register 0x%02x failed: %s (not logged again until a write works)\n",
                   m_device.c_str(), reg, strerror(errno));
            m_failing = true;
        }
        return -1;
    }
    if (m_failing) {
        LogInfo(LOGCH_CHANNELOUT, "I2C %s: writes work again\n", m_device.c_str());
        m_failing = false;
    }
    return 0;
}
