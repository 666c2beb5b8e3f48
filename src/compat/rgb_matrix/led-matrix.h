// Stand-in for the HUB75 panel driver library's header: the same header name,
// namespace and calls a HUB75 panel output makes, over canvases kept in memory, so
// the output builds and runs where the library is not installed. No panel is
// driven; tests read the shown canvas back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Only the stand-in defines this: code that reads canvases back (tests, tools)
// looks for it.
#define RGB_MATRIX_STANDIN 1

namespace rgb_matrix {

class Canvas {
public:
    virtual ~Canvas() {}
    virtual int width() const = 0;
    virtual int height() const = 0;
    // A pixel outside the canvas is ignored.
    virtual void SetPixel(int x, int y, uint8_t red, uint8_t green, uint8_t blue) = 0;
    virtual void Clear() = 0;
    virtual void Fill(uint8_t red, uint8_t green, uint8_t blue) = 0;
};

// An off-screen canvas of the matrix, made by RGBMatrix::CreateFrameCanvas and
// owned by the matrix.
class FrameCanvas : public Canvas {
public:
    int width() const override { return m_width; }
    int height() const override { return m_height; }
    void SetPixel(int x, int y, uint8_t red, uint8_t green, uint8_t blue) override {
        if ((unsigned)x < (unsigned)m_width && (unsigned)y < (unsigned)m_height) {
            uint8_t* p = &m_pixels[((size_t)y * m_width + x) * 3];
            p[0] = red;
            p[1] = green;
            p[2] = blue;
        }
    }
    void Clear() override;
    void Fill(uint8_t red, uint8_t green, uint8_t blue) override;

    // Stand-in only. The pixels, 3 bytes each (red, green, blue), row after row.
    const std::vector<uint8_t>& pixels() const { return m_pixels; }
    // False outside the canvas.
    bool GetPixel(int x, int y, uint8_t* red, uint8_t* green, uint8_t* blue) const;
    // Writes the canvas as a binary PPM image (P6); false with the reason in `error`.
    bool WritePPM(const std::string& path, std::string* error = nullptr) const;

private:
    friend class RGBMatrix;
    FrameCanvas(int width, int height);

    int m_width;
    int m_height;
    std::vector<uint8_t> m_pixels;
};

// How the driver runs: GPIO timing, and what it does to the process.
struct RuntimeOptions {
    RuntimeOptions();

    int gpio_slowdown;   // 1; slower boards need less, faster ones more
    int daemon;          // 0: stay in the foreground; 1: become a daemon; -1: let the caller's flags say
    int drop_privileges; // 1: drop root once the GPIO is set up; 0: keep it; -1: as the caller says
    bool do_gpio_init;   // true: set up the GPIO pins
    const char* drop_priv_user;
    const char* drop_priv_group;
};

class RGBMatrix : public Canvas {
public:
    // What the panels are and how they are driven.
    struct Options {
        Options();

        // True when every option lies in its range; otherwise false with every
        // bad option and its allowed range in `err`.
        bool Validate(std::string* err) const;

        const char* hardware_mapping; // "regular"; the wiring of the board's GPIO header
        int rows;                     // 32; rows of one panel
        int cols;                     // 32; columns of one panel
        int chain_length;             // 1; panels in one chain
        int parallel;                 // 1; chains driven at once (1 to 6)
        int pwm_bits;                 // 11; bits of colour depth (1 to 11)
        int pwm_lsb_nanoseconds;      // 130
        int pwm_dither_bits;          // 0
        int brightness;               // 100; percent (1 to 100)
        int scan_mode;                // 0 progressive, 1 interlaced
        int row_address_type;         // 0 (0 to 5)
        int multiplexing;             // 0: none (0 to 20)
        // (The stand-in also refuses a canvas, cols x chain_length by rows x
        // parallel, of more than 16 Mi pixels.)
        bool disable_hardware_pulsing;
        bool show_refresh_rate;
        bool inverse_colors;
        const char* led_rgb_sequence;    // "RGB"
        const char* pixel_mapper_config; // null: none
        const char* panel_type;          // null or "": plain panels; "FM6126A", "FM6127"
        int limit_refresh_rate_hz;       // 0: no limit
    };

    // The matrix for `options`, or null when the options are refused. The caller
    // owns it; its canvases go with it.
    static RGBMatrix* CreateFromOptions(const Options& options, const RuntimeOptions& runtime_options);
    ~RGBMatrix() override;

    // A new off-screen canvas of the matrix's size, owned by the matrix.
    FrameCanvas* CreateFrameCanvas();
    // Shows `other` from the next refresh on and gives back the canvas shown until
    // then, to draw the next frame into. `framerate_fraction` n shows a canvas for
    // n refreshes at least. A null `other` changes nothing and gives back null.
    FrameCanvas* SwapOnVSync(FrameCanvas* other, unsigned framerate_fraction = 1);

    // The canvas shown.
    int width() const override { return m_width; }
    int height() const override { return m_height; }
    void SetPixel(int x, int y, uint8_t red, uint8_t green, uint8_t blue) override;
    void Clear() override;
    void Fill(uint8_t red, uint8_t green, uint8_t blue) override;

    // Stand-in only: what a test reads back. The canvas shown (the matrix's own
    // until the first swap), the options as given (the texts copied), and the
    // swaps so far.
    const FrameCanvas* ShownCanvas() const { return m_shown; }
    const Options& GivenOptions() const { return m_options; }
    const RuntimeOptions& GivenRuntimeOptions() const { return m_runtime; }
    uint64_t SwapCount() const { return m_swaps; }
    // Matrices alive in this process.
    static int LiveMatrices();

private:
    RGBMatrix(const Options& options, const RuntimeOptions& runtime);

    Options m_options;
    RuntimeOptions m_runtime;
    std::string m_hardwareMapping; // the texts m_options points to
    std::string m_rgbSequence;
    std::string m_pixelMapper;
    std::string m_panelType;
    int m_width;
    int m_height;
    std::vector<std::unique_ptr<FrameCanvas>> m_canvases;
    FrameCanvas* m_shown = nullptr;
    uint64_t m_swaps = 0;
};

} // namespace rgb_matrix
