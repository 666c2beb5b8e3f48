// Framebuffer devices (/dev/fbN) as the overlay models of type "FB" draw on them:
// the geometry, the mapped memory, and RGB pixels packed into 16, 24 or 32 bits.
// Opening goes through a seam that tests replace with memory of a given geometry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct FramebufferGeometry {
    // Where a colour component sits in a pixel value: `length` bits from bit `offset`.
    struct Field {
        int offset = 0;
        int length = 0;
    };
    int width = 0;        // visible pixels of a row
    int height = 0;       // visible rows
    int bitsPerPixel = 0; // 16, 24 and 32 are drawn
    int lineLength = 0;   // bytes from one row to the next
    int xOffset = 0;      // the visible area within the memory (panning)
    int yOffset = 0;
    Field red, green, blue, transp;
};

// An open framebuffer: its geometry and its memory, writable, `size()` bytes.
class FramebufferDevice {
public:
    using Opener =
        std::function<std::unique_ptr<FramebufferDevice>(const std::string& path, std::string& error)>;

    virtual ~FramebufferDevice() {}
    const FramebufferGeometry& geometry() const { return m_geometry; }
    virtual uint8_t* memory() = 0;
    virtual size_t size() const = 0;

    // Opens `path` ("/dev/fb0"); null with `error` set (the path and the reason)
    // when it cannot be used.
    static std::unique_ptr<FramebufferDevice> Open(const std::string& path, std::string& error);
    // Replaces how devices are opened (tests: memory of a chosen geometry); an empty
    // opener brings back the real devices.
    static void SetOpener(Opener opener);

protected:
    FramebufferGeometry m_geometry;
};

// A framebuffer in ordinary memory, zeroed: (yOffset + height) rows of lineLength bytes.
class MemoryFramebufferDevice : public FramebufferDevice {
public:
    explicit MemoryFramebufferDevice(const FramebufferGeometry& geometry);
    uint8_t* memory() override { return m_memory.data(); }
    size_t size() const override { return m_memory.size(); }

private:
    std::vector<uint8_t> m_memory;
};

// Packs 8-bit red, green and blue into the pixel values of one geometry; the
// transparency bits, when the format has them, are set (opaque).
class FramebufferPixelPacker {
public:
    // False, with `error` set, for a geometry it cannot draw (bits per pixel other
    // than 16, 24, 32; a field outside the pixel).
    bool Configure(const FramebufferGeometry& geometry, std::string& error);
    int BytesPerPixel() const { return m_bytesPerPixel; }
    uint32_t Pack(uint8_t r, uint8_t g, uint8_t b) const {
        return m_red[r] | m_green[g] | m_blue[b] | m_opaque;
    }
    // Writes `count` RGB pixels (3 bytes each) as packed pixels to `out`, in the
    // byte order of this machine (the order the display controller reads).
    void PackRow(const uint8_t* rgb, int count, uint8_t* out) const;

private:
    int m_bytesPerPixel = 0;
    uint32_t m_red[256] = {};
    uint32_t m_green[256] = {};
    uint32_t m_blue[256] = {};
    uint32_t m_opaque = 0;
};
