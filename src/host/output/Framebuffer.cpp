// Framebuffer devices: the Linux device, memory stand-ins and pixel packing.
#include "host/output/Framebuffer.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

class LinuxFramebufferDevice : public FramebufferDevice {
public:
    LinuxFramebufferDevice(int fd, uint8_t* memory, size_t size, const FramebufferGeometry& g)
        : m_fd(fd), m_memory(memory), m_size(size) {
        m_geometry = g;
    }
    ~LinuxFramebufferDevice() override {
        munmap(m_memory, m_size);
        close(m_fd);
    }
    uint8_t* memory() override { return m_memory; }
    size_t size() const override { return m_size; }

private:
    int m_fd;
    uint8_t* m_memory;
    size_t m_size;
};

FramebufferGeometry::Field field(const struct fb_bitfield& b) {
    FramebufferGeometry::Field f;
    f.offset = (int)b.offset;
    f.length = (int)b.length;
    return f;
}

std::unique_ptr<FramebufferDevice> openLinux(const std::string& path, std::string& error) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + strerror(errno);
        return nullptr;
    }
    struct fb_var_screeninfo var;
    struct fb_fix_screeninfo fix;
    memset(&var, 0, sizeof(var));
    memset(&fix, 0, sizeof(fix));
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0) {
        error = path + " is not a framebuffer (reading its geometry failed: " + strerror(errno) + ")";
        close(fd);
        return nullptr;
    }
    if (fix.type != FB_TYPE_PACKED_PIXELS) {
        error = path + " does not store packed pixels (type " + std::to_string(fix.type) + ")";
        close(fd);
        return nullptr;
    }
    FramebufferGeometry g;
    g.width = (int)var.xres;
    g.height = (int)var.yres;
    g.bitsPerPixel = (int)var.bits_per_pixel;
    g.lineLength = (int)fix.line_length;
    g.xOffset = (int)var.xoffset;
    g.yOffset = (int)var.yoffset;
    g.red = field(var.red);
    g.green = field(var.green);
    g.blue = field(var.blue);
    g.transp = field(var.transp);
    size_t size = fix.smem_len ? (size_t)fix.smem_len : (size_t)fix.line_length * var.yres_virtual;
    if (size == 0) {
        error = path + " reports no memory";
        close(fd);
        return nullptr;
    }
    void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        error = "cannot map the memory of " + path + ": " + strerror(errno);
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<FramebufferDevice>(new LinuxFramebufferDevice(fd, (uint8_t*)mem, size, g));
}

std::mutex& openerLock() {
    static std::mutex m;
    return m;
}

FramebufferDevice::Opener& opener() {
    static FramebufferDevice::Opener o; // guarded by openerLock()
    return o;
}

// The value of an 8-bit component in a field of `length` bits at `offset`.
uint32_t scaled(unsigned v, const FramebufferGeometry::Field& f) {
    if (f.length <= 0) {
        return 0;
    }
    uint32_t x = f.length >= 8 ? (uint32_t)v << (f.length - 8) : (uint32_t)v >> (8 - f.length);
    return x << f.offset;
}

} // namespace

std::unique_ptr<FramebufferDevice> FramebufferDevice::Open(const std::string& path, std::string& error) {
    Opener o;
    {
        std::lock_guard<std::mutex> l(openerLock());
        o = opener();
    }
    return o ? o(path, error) : openLinux(path, error);
}

void FramebufferDevice::SetOpener(Opener o) {
    std::lock_guard<std::mutex> l(openerLock());
    opener() = std::move(o);
}

MemoryFramebufferDevice::MemoryFramebufferDevice(const FramebufferGeometry& geometry) {
    m_geometry = geometry;
    long long rows = (long long)geometry.yOffset + geometry.height;
    long long bytes = rows > 0 && geometry.lineLength > 0 ? rows * geometry.lineLength : 0;
    m_memory.assign((size_t)bytes, 0);
}

bool FramebufferPixelPacker::Configure(const FramebufferGeometry& g, std::string& error) {
    if (g.bitsPerPixel != 16 && g.bitsPerPixel != 24 && g.bitsPerPixel != 32) {
        error = std::to_string(g.bitsPerPixel) + " bits per pixel; only 16, 24 and 32 can be drawn";
        return false;
    }
    const FramebufferGeometry::Field* fields[] = {&g.red, &g.green, &g.blue, &g.transp};
    for (const FramebufferGeometry::Field* f : fields) {
        if (f->offset < 0 || f->length < 0 || f->length > 16 || f->offset + f->length > g.bitsPerPixel) {
            error = "a colour field (" + std::to_string(f->length) + " bits at bit " +
                    std::to_string(f->offset) + ") lies outside its " + std::to_string(g.bitsPerPixel) +
                    "-bit pixels";
            return false;
        }
    }
    m_bytesPerPixel = g.bitsPerPixel / 8;
    for (unsigned v = 0; v < 256; v++) {
        m_red[v] = scaled(v, g.red);
        m_green[v] = scaled(v, g.green);
        m_blue[v] = scaled(v, g.blue);
    }
    m_opaque = g.transp.length > 0 ? (((1u << g.transp.length) - 1) << g.transp.offset) : 0;
    return true;
}

void FramebufferPixelPacker::PackRow(const uint8_t* rgb, int count, uint8_t* out) const {
    switch (m_bytesPerPixel) {
    case 2:
        for (int i = 0; i < count; i++, rgb += 3, out += 2) {
            uint16_t v = (uint16_t)Pack(rgb[0], rgb[1], rgb[2]);
            memcpy(out, &v, 2);
        }
        break;
    case 3:
        // Three bytes, lowest first, as 24-bit framebuffers store them.
        for (int i = 0; i < count; i++, rgb += 3, out += 3) {
            uint32_t v = Pack(rgb[0], rgb[1], rgb[2]);
            out[0] = (uint8_t)v;
            out[1] = (uint8_t)(v >> 8);
            out[2] = (uint8_t)(v >> 16);
        }
        break;
    case 4:
        for (int i = 0; i < count; i++, rgb += 3, out += 4) {
            uint32_t v = Pack(rgb[0], rgb[1], rgb[2]);
            memcpy(out, &v, 4);
        }
        break;
    default:
        break;
    }
}
