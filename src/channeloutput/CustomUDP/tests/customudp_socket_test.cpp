// The CustomUDP plug-in as the daemon uses it: loaded with dlopen, outputs created
// from channeloutputs.json, frames sent through the UDP engine to 127.0.0.1.
#include "host/output/ChannelOutput.h"
#include "LogCapture.h"
#include "OutputConfig.h"
#include "PluginLoader.h"
#include "host/output/UDPOutput.h"

#include "UdpReceiver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using Receiver = UdpReceiver;

const std::string pluginPath = std::string(TAVO_PLUGIN_DIR) + "/CustomUDP.so";

// One frame the way the daemon's output thread runs it: every output's PrepData,
// then every output's SendData from its first channel.
void runFrame(const std::vector<ChannelOutput*>& outputs, unsigned char* buffer) {
    for (ChannelOutput* o : outputs) {
        o->PrepData(buffer);
    }
    for (ChannelOutput* o : outputs) {
        o->SendData(buffer + o->GetStartChannel());
    }
}

class CustomUDPPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(loader.LoadPlugin(pluginPath)) << "build the CustomUDP target first: " << pluginPath;
        plugin = loader.GetChannelOutputPlugin("CustomUDP");
        ASSERT_NE(plugin, nullptr);
        engine.reset(new UDPOutput());
        ASSERT_NE(engine->Init(Json::Value(Json::objectValue)), 0);
        buffer.assign(TAVO_CHANNEL_BUFFER_SIZE, 0);
        for (size_t i = 0; i < 4096; i++) {
            buffer[i] = (unsigned char)(i * 13 + 1);
        }
    }
    void TearDown() override {
        // Outputs and the engine's data objects run plug-in code: gone before the loader.
        for (auto& o : outputs) {
            o->Close();
        }
        outputs.clear();
        engine.reset();
    }

    ChannelOutput* addOutput(unsigned start0, unsigned count, const Json::Value& config) {
        outputs.emplace_back(plugin->createChannelOutput(start0, count));
        testing::internal::CaptureStdout(); // the data object prints its address
        int ok = outputs.back()->Init(config);
        testing::internal::GetCapturedStdout();
        EXPECT_NE(ok, 0);
        return outputs.back().get();
    }

    std::vector<ChannelOutput*> frameOrder() {
        std::vector<ChannelOutput*> r;
        for (auto& o : outputs) {
            r.push_back(o.get());
        }
        r.push_back(engine.get());
        return r;
    }

    Bytes channels(size_t start0, size_t count) {
        return Bytes(buffer.begin() + start0, buffer.begin() + start0 + count);
    }

    PluginLoader loader;
    TavoPlugins::ChannelOutputPlugin* plugin = nullptr;
    std::unique_ptr<UDPOutput> engine;
    std::vector<std::unique_ptr<ChannelOutput>> outputs;
    std::vector<unsigned char> buffer;
};

Json::Value outputConfig(uint16_t port, int start1, int count, const std::string& tokens) {
    Json::Value c;
    c["type"] = "CustomUDP";
    c["enabled"] = 1;
    c["startChannel"] = start1;
    c["channelCount"] = count;
    c["address"] = "127.0.0.1";
    c["port"] = port;
    c["tokens"] = tokens;
    return c;
}

} // namespace

TEST_F(CustomUDPPluginTest, TheLoadedPluginIsNamedCustomUDP) {
    TavoPlugins::Plugin* p = loader.GetPlugin("CustomUDP");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->getName(), "CustomUDP");
    EXPECT_EQ(loader.GetChannelOutputTypes(), std::vector<std::string>{"CustomUDP"});
}

TEST_F(CustomUDPPluginTest, FramesArriveAsTheTemplateDescribes) {
    Receiver r;
    addOutput(10, 300, outputConfig(r.port(), 11, 300, "#41 {s2} {data}"));
    EXPECT_EQ(engine->GetOutputCount(), 1u);

    for (int frame = 0; frame < 3; frame++) {
        buffer[10 + frame] = (unsigned char)(0xF0 + frame);
        runFrame(frameOrder(), buffer.data());
        Bytes expected = {0x41, 0x01, 0x2C};
        Bytes data = channels(10, 300);
        expected.insert(expected.end(), data.begin(), data.end());
        Bytes got;
        ASSERT_TRUE(r.receive(got)) << "frame " << frame;
        EXPECT_EQ(got, expected) << "frame " << frame;
    }
}

TEST_F(CustomUDPPluginTest, CountsLiteralsAndRepeatedDataInOneDatagram) {
    Receiver r;
    addOutput(765, 765, outputConfig(r.port(), 766, 765, "AB {P2} {p2} {data} 0x1FF {S} {data} X {foo} ABC"));
    runFrame(frameOrder(), buffer.data());
    Bytes data = channels(765, 765);
    Bytes expected = {'A', 'B', 0xFF, 0x00, 0x00, 0xFF};
    expected.insert(expected.end(), data.begin(), data.end());
    expected.insert(expected.end(), {0xFF, 0xFD});
    expected.insert(expected.end(), data.begin(), data.end());
    expected.insert(expected.end(), {'X', '{', 'f', 'o', 'o', '}'});
    Bytes got;
    ASSERT_TRUE(r.receive(got));
    EXPECT_EQ(got, expected);
}

TEST_F(CustomUDPPluginTest, UnchangedFramesAreNotResentUntilTheDataChanges) {
    Receiver r;
    addOutput(0, 6, outputConfig(r.port(), 1, 6, "{data}"));
    Bytes got;
    runFrame(frameOrder(), buffer.data());
    ASSERT_TRUE(r.receive(got));
    runFrame(frameOrder(), buffer.data());
    EXPECT_FALSE(r.receive(got, 150));
    buffer[5] ^= 0xFF;
    runFrame(frameOrder(), buffer.data());
    ASSERT_TRUE(r.receive(got));
    EXPECT_EQ(got, channels(0, 6));
}

TEST_F(CustomUDPPluginTest, UnresolvableHostLeavesTheOthersRunning) {
    Receiver r;
    addOutput(0, 3, outputConfig(r.port(), 1, 3, "{data}"));
    Json::Value bad = outputConfig(r.port(), 4, 3, "#AA {data}");
    bad["address"] = "nosuchhost.invalid";
    addOutput(3, 3, bad);
    EXPECT_EQ(engine->GetOutputCount(), 2u);
    runFrame(frameOrder(), buffer.data());
    Bytes got;
    ASSERT_TRUE(r.receive(got));
    EXPECT_EQ(got, channels(0, 3));
    EXPECT_FALSE(r.receive(got, 150));
}

TEST_F(CustomUDPPluginTest, OutputsCreatedFromTheConfigurationFileSend) {
    Receiver r;
    std::string text = R"({"channelOutputs": [
        {"type": "CustomUDP", "enabled": 1, "startChannel": 101, "channelCount": 9,
         "address": "127.0.0.1", "port": )" +
                       std::to_string(r.port()) + R"(, "tokens": "{S} {data}"},
        {"type": "CustomUDP", "enabled": 0, "startChannel": 1, "channelCount": 3,
         "address": "127.0.0.1", "port": )" +
                       std::to_string(r.port()) + R"(, "tokens": "off"}
    ]})";
    OutputConfig config;
    ASSERT_TRUE(config.Parse(text, "channeloutputs.json", loader.GetChannelOutputTypes()));
    ASSERT_EQ(config.GetOutputs().size(), 1u);
    testing::internal::CaptureStdout();
    outputs = CreateConfiguredOutputs(config, loader);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0]->GetStartChannel(), 100u);
    EXPECT_EQ(outputs[0]->GetChannelCount(), 9u);

    runFrame(frameOrder(), buffer.data());
    Bytes expected = {9};
    Bytes data = channels(100, 9);
    expected.insert(expected.end(), data.begin(), data.end());
    Bytes got;
    ASSERT_TRUE(r.receive(got));
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(r.receive(got, 150));
}

TEST(CustomUDPPluginNoEngine, InitSaysTheUDPOutputsAreOff) {
    ASSERT_EQ(UDPOutput::INSTANCE, nullptr);
    PluginLoader loader;
    ASSERT_TRUE(loader.LoadPlugin(pluginPath));
    LogCapture log;
    std::unique_ptr<ChannelOutput> out(loader.GetChannelOutputPlugin("CustomUDP")->createChannelOutput(0, 3));
    EXPECT_EQ(out->Init(outputConfig(9, 1, 3, "{data}")), 0);
    EXPECT_TRUE(log.contains("CustomUDPOutput Requires the UDP outputs to be enabled")) << log.text();
    out.reset();
}
