// Framebuffers in memory for tests: while an object of this class lives, every
// framebuffer the host opens is memory of the geometry the test chose, filled with
// a marker byte so that bytes never written can be told from written ones.
#pragma once

#include "host/output/Framebuffer.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

class FakeFramebuffers {
public:
    static constexpr uint8_t UNTOUCHED = 0xEE;

    explicit FakeFramebuffers(const FramebufferGeometry& geometry) : m_geometry(geometry) {
        FramebufferDevice::SetOpener([this](const std::string& path, std::string&) {
            opened.push_back(path);
            std::unique_ptr<MemoryFramebufferDevice> d(new MemoryFramebufferDevice(m_geometry));
            memset(d->memory(), UNTOUCHED, d->size());
            last = d.get();
            return std::unique_ptr<FramebufferDevice>(std::move(d));
        });
    }
    ~FakeFramebuffers() { FramebufferDevice::SetOpener(nullptr); }
    FakeFramebuffers(const FakeFramebuffers&) = delete;
    FakeFramebuffers& operator=(const FakeFramebuffers&) = delete;

    // The bytes of the last device opened (owned by its model: valid while it lives).
    std::vector<uint8_t> bytes() const {
        return std::vector<uint8_t>(last->memory(), last->memory() + last->size());
    }
    void fill(uint8_t value) { memset(last->memory(), value, last->size()); }

    // Paths opened, in order.
    std::vector<std::string> opened;
    MemoryFramebufferDevice* last = nullptr;

    // A 16-bit RGB 5-6-5 screen with `padding` bytes after each row.
    static FramebufferGeometry rgb565(int width, int height, int padding = 0) {
        FramebufferGeometry g;
        g.width = width;
        g.height = height;
        g.bitsPerPixel = 16;
        g.lineLength = width * 2 + padding;
        g.red = {11, 5};
        g.green = {5, 6};
        g.blue = {0, 5};
        return g;
    }
    // A 32-bit screen, blue in the lowest byte, alpha (when `alpha`) in the highest.
    static FramebufferGeometry xrgb8888(int width, int height, bool alpha, int padding = 0) {
        FramebufferGeometry g;
        g.width = width;
        g.height = height;
        g.bitsPerPixel = 32;
        g.lineLength = width * 4 + padding;
        g.red = {16, 8};
        g.green = {8, 8};
        g.blue = {0, 8};
        if (alpha) {
            g.transp = {24, 8};
        }
        return g;
    }

private:
    FramebufferGeometry m_geometry;
};
