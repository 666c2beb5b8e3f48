// libFuzzer harness for preview layouts (the "layout" of a preview output and the
// pixel layout files it names): any JSON is read as the layout of an output whose
// channel count the input chooses; an accepted layout is drawn and encoded from a
// channel buffer exactly as long as the output, so every read stays inside it.
#include "FuzzSupport.h"
#include "PixelChangeEncoder.h"
#include "host/core/Common.h"
#include "host/core/JsonUtils.h"
#include "host/output/ScreenPreviewBaseOutput.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::string g_media;

class LayoutOutput : public ScreenPreviewBaseOutput {
public:
    LayoutOutput(unsigned int start, unsigned int count) : ScreenPreviewBaseOutput(start, count) {}
    int SendData(unsigned char*) override { return (int)m_channelCount; }
    bool Map(int width, int height) {
        m_previewWidth = width;
        m_previewHeight = height;
        return InitializePixelMap();
    }
    unsigned char* Buffer() { return m_previewBuffer; }
    size_t BufferSize() const { return (size_t)m_previewWidth * (size_t)m_previewHeight * 3; }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    char tmpl[] = "/tmp/tavo-fuzz-layout-XXXXXX";
    g_media = mkdtemp(tmpl) ? tmpl : "/tmp";
    mkdir((g_media + "/config").c_str(), 0755);
    setTavoMediaDir(g_media);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    // Byte 0-1: the output's channel count; byte 2: a fixed preview size or the
    // layout's own; byte 3: inline, or a layout file.
    const unsigned count = (unsigned)(data[0] | (data[1] << 8)) + 1;
    const bool fixedSize = data[2] & 1;
    const bool asFile = data[3] & 1;
    const std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);

    Json::Value config(Json::objectValue);
    if (asFile) {
        FILE* f = fopen((g_media + "/config/layout.json").c_str(), "wb");
        if (!f) {
            abort();
        }
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        config["layout"]["type"] = "pixels";
        config["layout"]["file"] = "config/layout.json";
    } else if (!LoadJsonFromString(text, config["layout"])) {
        return 0;
    }
    LayoutOutput out(0, count);
    if (!out.Init(config)) {
        return 0;
    }
    if (!out.Map(fixedSize ? 1 + data[2] / 2 : -1, fixedSize ? 1 + data[3] / 2 : -1)) {
        return 0;
    }
    // Exactly the output's channels, so ASan sees any read past them.
    std::vector<unsigned char> channels(count);
    for (unsigned i = 0; i < count; i++) {
        channels[i] = (unsigned char)(i * 37 + 11);
    }
    out.DrawPixels(channels.data());
    PixelChangeEncoder encoder;
    encoder.SetLayout(out.GetPixels(), out.GetPreviewY0());
    std::vector<unsigned char> preview(out.BufferSize());
    std::string changes;
    encoder.EncodeChanges(channels.data(), preview.data(), changes);
    return 0;
}
