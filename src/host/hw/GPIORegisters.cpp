// Mapping the GPIO register block.
#include "host/hw/GPIORegisters.h"

#include "host/core/Log.h"
#include "host/hw/BusDevices.h"
#include "host/hw/BusSimulation.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

GPIORegisters::~GPIORegisters() {
    unmap();
}

bool GPIORegisters::map() {
    unmap();
    m_error.clear();
    if (BusSimulation::INSTANCE.Active()) {
        m_simulated = true;
        m_recording = BusSimulation::INSTANCE.RecordingRegisterWrites();
        m_device = "simulated GPIO registers";
        m_block = BusSimulation::INSTANCE.RegisterBlock();
        LogDebug(LOGCH_CHANNELOUT, "Using the %s%s\n", m_device.c_str(), m_recording ? " (recorded)" : "");
        return true;
    }
    m_simulated = false;
    m_recording = false;
    m_device = BusDevicePath("GPIOMemDevice", "/dev/gpiomem", {});
    int fd = open(m_device.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        m_error = m_device + ": " + strerror(errno);
        LogErr(LOGCH_CHANNELOUT, "Cannot open %s for the GPIO registers: %s\n", m_device.c_str(),
               strerror(errno));
        return false;
    }
    LogDebug(LOGCH_CHANNELOUT, "Opened %s, mem_fd = %d\n", m_device.c_str(), fd);
    // A regular file standing in for the device must hold the whole block: touching
    // a mapped page past its end kills the process with SIGBUS.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < BLOCK_OFFSET + (off_t)BLOCK_SIZE) {
        m_error = m_device + " is a file of " + std::to_string((long long)st.st_size) +
                  " bytes, too small for " + "the register block at " + std::to_string(BLOCK_OFFSET);
        LogErr(LOGCH_CHANNELOUT, "Cannot map the GPIO registers: %s\n", m_error.c_str());
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, BLOCK_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, BLOCK_OFFSET);
    int err = errno;
    close(fd);
    if (p == MAP_FAILED) {
        m_error = "cannot map " + m_device + ": " + strerror(err);
        LogErr(LOGCH_CHANNELOUT, "mmap error %d: %s (%u bytes at offset 0x%lx): %s\n", -1, m_device.c_str(),
               BLOCK_SIZE, BLOCK_OFFSET, strerror(err));
        return false;
    }
    m_block = static_cast<volatile uint32_t*>(p);
    return true;
}

void GPIORegisters::unmap() {
    if (m_block && !m_simulated) {
        munmap(const_cast<uint32_t*>(m_block), BLOCK_SIZE);
    }
    m_block = nullptr;
}

void GPIORegisters::write(uint32_t offset, uint32_t value) {
    if (!m_block || offset >= BLOCK_SIZE || offset % 4) {
        return;
    }
    if (m_recording) {
        BusSimulation::INSTANCE.WriteRegister(offset, value);
    } else {
        m_block[offset / 4] = value;
    }
}

uint32_t GPIORegisters::read(uint32_t offset) const {
    if (!m_block || offset >= BLOCK_SIZE || offset % 4) {
        return 0;
    }
    return m_block[offset / 4];
}

void GPIORegisters::setOutput(int gpio) {
    if (gpio < 0 || gpio > 53) {
        return;
    }
    uint32_t reg = FSEL0 + (uint32_t)(gpio / 10) * 4;
    unsigned shift = (unsigned)(gpio % 10) * 3;
    write(reg, read(reg) & ~(7u << shift));
    write(reg, read(reg) | (1u << shift));
}
