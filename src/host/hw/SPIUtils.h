// One device on an SPI port, through the kernel's spidev interface: mode 0, 8-bit
// words, a fixed clock. The device file is /dev/spidevPORT.CS, or what the host
// setting "SPIDevice" says ("{port}" and "{cs}" are filled in); under the bus
// simulation (BusSimulation.h) the port is simulated instead.
#pragma once

#include <cstdint>
#include <string>

class SPIUtils {
public:
    // Opens the device and sets mode, word size and `speed` (Hz). On failure the
    // descriptor is -1 and the reason is logged and kept in getError().
    SPIUtils(int port, int speed, int chipSelect = 0);
    ~SPIUtils();
    SPIUtils(const SPIUtils&) = delete;
    SPIUtils& operator=(const SPIUtils&) = delete;

    // The device's descriptor, -1 when it could not be opened.
    int getFD() const { return m_fd; }
    // Sends `length` bytes of `tx` in one transfer (chip select held throughout)
    // and receives as many into `rx` unless it is null. The bytes transferred, or
    // -1; a failure is logged once until a transfer works again.
    int xfer(uint8_t* tx, uint8_t* rx, int length);

    const std::string& getDevice() const { return m_device; }
    const std::string& getError() const { return m_error; }
    bool isSimulated() const { return m_simulated; }

private:
    void fail(const std::string& what);

    const int m_port;
    const int m_chipSelect;
    const int m_speed;
    int m_fd = -1;
    bool m_simulated = false;
    bool m_failing = false; // a transfer failed and none has worked since
    std::string m_device;
    std::string m_error;
};
