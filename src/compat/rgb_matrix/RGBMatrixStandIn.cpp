// The in-memory HUB75 matrix: options checked as the driver checks them, canvases
// kept in memory and swapped, and one log line saying that no panel is driven.
#include "led-matrix.h"

#include "host/core/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace rgb_matrix {

namespace {

const int64_t MAX_CANVAS_PIXELS = 16LL * 1024 * 1024;
std::atomic<int> g_liveMatrices{0};
std::once_flag g_toldNoPanels;

std::string copyText(const char* s) {
    return s ? std::string(s) : std::string();
}

} // namespace

// ---------------------------------------------------------------- FrameCanvas

FrameCanvas::FrameCanvas(int width, int height)
    : m_width(width), m_height(height), m_pixels((size_t)width * height * 3, 0) {}

void FrameCanvas::Clear() {
    std::fill(m_pixels.begin(), m_pixels.end(), 0);
}

void FrameCanvas::Fill(uint8_t red, uint8_t green, uint8_t blue) {
    for (size_t i = 0; i < m_pixels.size(); i += 3) {
        m_pixels[i] = red;
        m_pixels[i + 1] = green;
        m_pixels[i + 2] = blue;
    }
}

bool FrameCanvas::GetPixel(int x, int y, uint8_t* red, uint8_t* green, uint8_t* blue) const {
    if ((unsigned)x >= (unsigned)m_width || (unsigned)y >= (unsigned)m_height) {
        return false;
    }
    const uint8_t* p = &m_pixels[((size_t)y * m_width + x) * 3];
    *red = p[0];
    *green = p[1];
    *blue = p[2];
    return true;
}

bool FrameCanvas::WritePPM(const std::string& path, std::string* error) const {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        if (error) {
            *error = "cannot create " + path + ": " + strerror(errno);
        }
        return false;
    }
    bool ok = fprintf(f, "P6\n%d %d\n255\n", m_width, m_height) > 0 &&
              fwrite(m_pixels.data(), 1, m_pixels.size(), f) == m_pixels.size();
    int writeErrno = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        writeErrno = errno;
    }
    if (!ok && error) {
        *error = "cannot write " + path + ": " + strerror(writeErrno);
    }
    return ok;
}

// ---------------------------------------------------------------- options

RuntimeOptions::RuntimeOptions()
    : gpio_slowdown(1), daemon(0), drop_privileges(1), do_gpio_init(true), drop_priv_user(nullptr),
      drop_priv_group(nullptr) {}

RGBMatrix::Options::Options()
    : hardware_mapping("regular"), rows(32), cols(32), chain_length(1), parallel(1), pwm_bits(11),
      pwm_lsb_nanoseconds(130), pwm_dither_bits(0), brightness(100), scan_mode(0), row_address_type(0),
      multiplexing(0), disable_hardware_pulsing(false), show_refresh_rate(false), inverse_colors(false),
      led_rgb_sequence("RGB"), pixel_mapper_config(nullptr), panel_type(nullptr), limit_refresh_rate_hz(0) {}

bool RGBMatrix::Options::Validate(std::string* err) const {
    std::string problems;
    auto range = [&](const char* name, int value, int low, int high) {
        if (value < low || value > high) {
            problems += std::string(problems.empty() ? "" : "; ") + name + " " + std::to_string(value) +
                        " is outside " + std::to_string(low) + " to " + std::to_string(high);
        }
    };
    range("rows", rows, 1, 64);
    range("cols", cols, 1, 512);
    range("chain_length", chain_length, 1, 1024);
    range("parallel", parallel, 1, 6);
    range("pwm_bits", pwm_bits, 1, 11);
    range("brightness", brightness, 1, 100);
    range("scan_mode", scan_mode, 0, 1);
    range("row_address_type", row_address_type, 0, 5);
    range("multiplexing", multiplexing, 0, 20);
    range("pwm_dither_bits", pwm_dither_bits, 0, 2);
    if (!hardware_mapping || !*hardware_mapping) {
        problems += std::string(problems.empty() ? "" : "; ") + "no hardware_mapping";
    }
    std::string type = copyText(panel_type);
    if (!type.empty() && type != "FM6126A" && type != "FM6127") {
        problems += std::string(problems.empty() ? "" : "; ") + "panel_type \"" + type +
                    "\" is none of FM6126A, FM6127";
    }
    if (problems.empty() && (int64_t)cols * chain_length * rows * parallel > MAX_CANVAS_PIXELS) {
        problems = "a canvas of " + std::to_string((int64_t)cols * chain_length) + " x " +
                   std::to_string((int64_t)rows * parallel) + " pixels is more than this driver holds";
    }
    if (err) {
        *err = problems;
    }
    return problems.empty();
}

// ---------------------------------------------------------------- RGBMatrix

RGBMatrix* RGBMatrix::CreateFromOptions(const Options& options, const RuntimeOptions& runtime_options) {
    if (!options.Validate(nullptr)) {
        return nullptr;
    }
    std::call_once(g_toldNoPanels, [] {
        LogInfo(LOGCH_CHANNELOUT,
                "rgb_matrix: built without the rpi-rgb-led-matrix library; no HUB75 panel is "
                "driven, frames are kept in memory\n");
    });
    return new RGBMatrix(options, runtime_options);
}

RGBMatrix::RGBMatrix(const Options& options, const RuntimeOptions& runtime)
    : m_options(options), m_runtime(runtime), m_hardwareMapping(copyText(options.hardware_mapping)),
      m_rgbSequence(copyText(options.led_rgb_sequence)), m_pixelMapper(copyText(options.pixel_mapper_config)),
      m_panelType(copyText(options.panel_type)), m_width(options.cols * options.chain_length),
      m_height(options.rows * options.parallel) {
    // The caller's texts may go once this returns: point at the copies.
    m_options.hardware_mapping = options.hardware_mapping ? m_hardwareMapping.c_str() : nullptr;
    m_options.led_rgb_sequence = options.led_rgb_sequence ? m_rgbSequence.c_str() : nullptr;
    m_options.pixel_mapper_config = options.pixel_mapper_config ? m_pixelMapper.c_str() : nullptr;
    m_options.panel_type = options.panel_type ? m_panelType.c_str() : nullptr;
    m_runtime.drop_priv_user = nullptr;
    m_runtime.drop_priv_group = nullptr;
    m_shown = CreateFrameCanvas();
    g_liveMatrices++;
}

RGBMatrix::~RGBMatrix() {
    g_liveMatrices--;
}

int RGBMatrix::LiveMatrices() {
    return g_liveMatrices.load();
}

FrameCanvas* RGBMatrix::CreateFrameCanvas() {
    m_canvases.emplace_back(new FrameCanvas(m_width, m_height));
    return m_canvases.back().get();
}

FrameCanvas* RGBMatrix::SwapOnVSync(FrameCanvas* other, unsigned) {
    if (!other) {
        return nullptr;
    }
    FrameCanvas* previous = m_shown;
    m_shown = other;
    m_swaps++;
    return previous;
}

void RGBMatrix::SetPixel(int x, int y, uint8_t red, uint8_t green, uint8_t blue) {
    m_shown->SetPixel(x, y, red, green, blue);
}

void RGBMatrix::Clear() {
    m_shown->Clear();
}

void RGBMatrix::Fill(uint8_t red, uint8_t green, uint8_t blue) {
    m_shown->Fill(red, green, blue);
}

} // namespace rgb_matrix
