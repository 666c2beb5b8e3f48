// What every output plug-in must do, checked the way tavod uses it: loaded from the
// plug-in folder, an output created, Init with a small configuration, its channel
// ranges, frames through PrepData and SendData, Close, and deletion.
#include "ChannelOutput.h"
#include "FreePort.h"
#include "LogCapture.h"
#include "PluginLoader.h"
#include "UDPOutput.h"

#include <gtest/gtest.h>


#include <memory>
#include <string>
#include <vector>

namespace {

struct PluginCase {
    const char* name;
    const char* outputType; // GetOutputType of its outputs: the output class's name
    const char* config; // the output's keys besides type, startChannel and channelCount;
                        // a "port" of 0 is replaced by a free one
};

const unsigned START = 30;  // 0-based, as the host constructs outputs
const unsigned COUNT = 300; // 100 RGB pixels

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    r->parse(text.data(), text.data() + text.size(), &v, &errs);
    return v;
}

} // namespace

class OutputCompliance : public ::testing::TestWithParam<PluginCase> {
protected:
    void SetUp() override {
        std::string path = std::string(TAVO_PLUGIN_DIR) + "/" + GetParam().name + ".so";
        ASSERT_TRUE(loader.LoadPlugin(path)) << "build the plug-in first: " << path;
        plugin = loader.GetChannelOutputPlugin(GetParam().name);
        ASSERT_NE(nullptr, plugin) << "the plug-in names itself after its file";
        // UDP outputs send through the host's engine, which tavod makes first.
        udp.reset(new UDPOutput());
        ASSERT_NE(0, udp->Init(Json::Value(Json::objectValue)));
    }
    void TearDown() override {
        if (udp) {
            udp->Close();
        }
        udp.reset(); // its data objects hold plug-in code: before the loader unloads it
    }

    Json::Value config() {
        Json::Value c = parse(GetParam().config);
        c["type"] = GetParam().name;
        c["enabled"] = 1;
        c["startChannel"] = START + 1;
        c["channelCount"] = COUNT;
        if (c.isMember("port") && c["port"].asInt() == 0) {
            c["port"] = freeTcpPort();
        }
        return c;
    }

    PluginLoader loader;
    TavoPlugins::ChannelOutputPlugin* plugin = nullptr;
    std::unique_ptr<UDPOutput> udp;
    LogCapture log{LOG_INFO};
};

TEST_P(OutputCompliance, LivesThroughInitFramesCloseAndDeletion) {
    std::unique_ptr<ChannelOutput> out(plugin->createChannelOutput(START, COUNT));
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(START, out->GetStartChannel());
    EXPECT_EQ(COUNT, out->GetChannelCount());

    testing::internal::CaptureStdout(); // some outputs print what they configured
    int ok = out->Init(config());
    testing::internal::GetCapturedStdout();
    ASSERT_NE(0, ok) << log.text();
    EXPECT_EQ(GetParam().outputType, out->GetOutputType());

    // Every channel an output asks for lies inside its own slice of the buffer.
    std::vector<std::pair<int, int>> ranges;
    out->GetRequiredChannelRanges([&](int first, int last) { ranges.emplace_back(first, last); });
    ASSERT_FALSE(ranges.empty());
    for (auto& r : ranges) {
        EXPECT_LE((int)START, r.first);
        EXPECT_LE(r.first, r.second);
        EXPECT_LE(r.second, (int)(START + COUNT - 1));
    }

    std::vector<unsigned char> buffer(8388616, 0);
    for (int frame = 0; frame < 5; frame++) {
        for (unsigned c = 0; c < START + COUNT + 10; c++) {
            buffer[c] = (unsigned char)(c * 3 + frame * 50);
        }
        out->PrepData(buffer.data());
        udp->PrepData(buffer.data());
        EXPECT_GE(out->SendData(buffer.data() + START), 0);
        udp->SendData(buffer.data());
    }
    out->DumpConfig();
    EXPECT_NE(0, out->Close());
    out.reset();
    EXPECT_FALSE(log.contains("error")) << log.text();
}

TEST_P(OutputCompliance, WrongTypedKeysAreReportedNeverThrown) {
    std::unique_ptr<ChannelOutput> out(plugin->createChannelOutput(START, COUNT));
    ASSERT_NE(nullptr, out);
    Json::Value bad = config();
    // Every key of the wrong type at once: a plug-in reports it; it must not throw or
    // crash. It may refuse to start, or start with its traffic off.
    for (const auto& key : bad.getMemberNames()) {
        if (key != "type") {
            bad[key] = Json::Value(Json::arrayValue);
        }
    }
    testing::internal::CaptureStdout();
    int ok = 0;
    EXPECT_NO_THROW(ok = out->Init(bad));
    testing::internal::GetCapturedStdout();
    bool errorLogged = false;
    for (auto& l : log.lines()) {
        errorLogged |= l.level == LOG_ERR;
    }
    EXPECT_TRUE(errorLogged) << log.text();
    if (ok) {
        std::vector<unsigned char> buffer(8388616, 7);
        out->PrepData(buffer.data());
        udp->PrepData(buffer.data());
        out->SendData(buffer.data() + START);
        udp->SendData(buffer.data());
        out->Close();
    }
    out.reset();
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, OutputCompliance,
    ::testing::Values(PluginCase{"CustomUDP", "CustomUDPOutput",
                                 R"({"address": "127.0.0.1", "port": 9, "tokens": "{data}"})"},
                      PluginCase{"WebPreview", "WebPreviewOutput",
                                 R"({"port": 0, "layout": {"type": "matrix", "width": 10, "height": 10}})"}),
    [](const ::testing::TestParamInfo<PluginCase>& i) { return std::string(i.param.name); });
