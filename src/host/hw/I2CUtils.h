// One device on an I2C bus, through the kernel's i2c-dev interface and SMBus
// transfers. The bus is /dev/i2c-BUS, or what the host setting "I2CDevice" says
// ("{bus}" is filled in); under the bus simulation (BusSimulation.h) the device
// is simulated instead.
#pragma once

#include <cstdint>
#include <string>

class I2CUtils {
public:
    // Opens the bus and addresses the device. On failure the descriptor is -1 and
    // the reason is logged and kept in getError(). Whether a device answers at
    // the address shows only with the first transfer, as with the kernel's driver.
    I2CUtils(int bus, int address);
    ~I2CUtils();
    I2CUtils(const I2CUtils&) = delete;
    I2CUtils& operator=(const I2CUtils&) = delete;

    int getFD() const { return m_fd; }
    // Writes `value` into register `reg` of the device (SMBus "write byte data").
    // 0, or -1; a failure is logged once until a write works again.
    int writeByteData(uint8_t reg, uint8_t value);

    const std::string& getDevice() const { return m_device; }
    const std::string& getError() const { return m_error; }
    bool isSimulated() const { return m_simulated; }

private:
    void fail(const std::string& what);

    const int m_bus;
    const int m_address;
    int m_fd = -1;
    bool m_simulated = false;
    bool m_failing = false; // a write failed and none has worked since
    std::string m_device;
    std::string m_error;
};
