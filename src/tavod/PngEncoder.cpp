// PNG encoding with libpng, into memory.
#include "PngEncoder.h"

#include <png.h>

#include <csetjmp>

namespace {

struct PngSink {
    std::string* out;
    std::string error;
};

void writeData(png_structp png, png_bytep data, png_size_t length) {
    PngSink* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    sink->out->append(reinterpret_cast<const char*>(data), length);
}

void flushData(png_structp) {}

// libpng reports by jumping back to the setjmp of EncodePng; the text is kept first.
void onError(png_structp png, png_const_charp message) {
    PngSink* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    sink->error = message ? message : "libpng failed";
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

} // namespace

bool EncodePng(int width, int height, const uint8_t* rgb, std::string& png, std::string& error) {
    png.clear();
    if (width < 1 || height < 1 || !rgb) {
        error = "no picture to encode (" + std::to_string(width) + "x" + std::to_string(height) + ")";
        return false;
    }
    PngSink sink{&png, std::string()};
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, onError, onWarning);
    if (!p) {
        error = "libpng could not start";
        return false;
    }
    png_infop info = png_create_info_struct(p);
    if (!info) {
        png_destroy_write_struct(&p, nullptr);
        error = "libpng could not start";
        return false;
    }
    // Nothing with a destructor is made between here and the end: a jump back
    // from libpng skips no clean-up but png_destroy_write_struct's.
    if (setjmp(png_jmpbuf(p))) {
        png_destroy_write_struct(&p, &info);
        error = "PNG encoding failed: " + sink.error;
        png.clear();
        return false;
    }
    png_set_write_fn(p, &sink, writeData, flushData);
    // A preview is fetched often and thrown away: speed before size.
    png_set_compression_level(p, 1);
    png_set_IHDR(p, info, (png_uint_32)width, (png_uint_32)height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(p, info);
    for (int y = 0; y < height; y++) {
        png_write_row(p, const_cast<png_bytep>(rgb + (size_t)y * width * 3));
    }
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    return true;
}
