// The MQTT output as tavod loads it, publishing through the host's client to a real
// mosquitto broker, checked by what a subscriber receives.
#include "LogCapture.h"
#include "MosquittoBroker.h"
#include "PluginLoader.h"
#include "TempDir.h"
#include "host/output/ChannelBuffer.h"
#include "host/output/ThreadedChannelOutput.h"
#include "host/mqtt/MosquittoClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using mqtttest::MosquittoBroker;
using mqtttest::MqttSubscriber;

namespace {

const std::string pluginPath = std::string(TAVO_PLUGIN_DIR) + "/MQTT.so";

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    int64_t end = mqtttest::nowUs() + (int64_t)timeoutMs * 1000;
    while (!done()) {
        if (mqtttest::nowUs() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class BrokerOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(broker.start(error)) << error;
        ASSERT_TRUE(startClient(error)) << error;
        ASSERT_TRUE(subscriber.connect(broker.port(), {"lights/#"}, error)) << error;
        ASSERT_TRUE(loader.LoadPlugin(pluginPath)) << "build the MQTT target first: " << pluginPath;
        plugin = loader.GetChannelOutputPlugin("MQTT");
        ASSERT_NE(plugin, nullptr);
        buffer.assign(TAVO_CHANNEL_BUFFER_SIZE, 0);
    }
    void TearDown() override {
        for (auto& o : outputs) {
            o->Close();
        }
        outputs.clear(); // plug-in code: before the loader unloads it
        mqtt = nullptr;
        client.reset();
    }

    bool startClient(std::string& error) {
        MosquittoSettings s;
        s.host = "127.0.0.1";
        s.port = broker.port();
        s.clientId = "broker-output-test-" + std::to_string(getpid());
        s.prefix = "tavo/output-test";
        client.reset(new MosquittoClient(s));
        if (!client->Start(error)) {
            return false;
        }
        mqtt = client.get();
        if (!waitUntil([&] { return client->IsConnected(); }, 20000)) {
            error = "the client did not connect: " + client->GetLastError();
            return false;
        }
        return true;
    }

    ThreadedChannelOutput* addOutput(unsigned start, unsigned count, const Json::Value& config,
                                     bool expectOk = true) {
        outputs.emplace_back(plugin->createChannelOutput(start, count));
        int ok = outputs.back()->Init(config);
        EXPECT_EQ(ok != 0, expectOk) << log.text();
        if (!ok) {
            outputs.pop_back();
            return nullptr;
        }
        return dynamic_cast<ThreadedChannelOutput*>(outputs.back().get());
    }

    Json::Value config(const std::string& topic, const std::string& payload = "",
                       const std::string& type = "") {
        Json::Value c(Json::objectValue);
        c["type"] = "MQTT";
        c["topic"] = topic;
        if (!payload.empty()) {
            c["payload"] = payload;
        }
        if (!type.empty()) {
            c["channelType"] = type;
        }
        return c;
    }

    // One frame through the output, as the host's output thread hands it over, and
    // waits until the output's own thread has dealt with it.
    void frame(ThreadedChannelOutput* out, std::vector<unsigned char> channels) {
        ASSERT_NE(out, nullptr);
        unsigned start = out->GetStartChannel();
        std::copy(channels.begin(), channels.end(), buffer.begin() + start);
        long long before = out->FramesSent();
        out->PrepData(buffer.data());
        out->SendData(buffer.data() + start);
        ASSERT_TRUE(waitUntil([&] { return out->FramesSent() > before; }, 10000));
    }

    // The one message a colour gives, as the subscriber receives it.
    std::string publishedFor(const std::string& topic, const std::string& payload,
                             std::vector<unsigned char> colour, const std::string& type = "") {
        ThreadedChannelOutput* out = addOutput(100, 4, config(topic, payload, type));
        if (!out) {
            return "(no output)";
        }
        frame(out, colour);
        if (!subscriber.waitForCount(topic, 1, 10000)) {
            return "(nothing received)";
        }
        return subscriber.payloads(topic)[0];
    }

    LogCapture log{LOG_DEBUG};
    TempDir dir;
    MosquittoBroker broker{dir.path()};
    std::unique_ptr<MosquittoClient> client;
    MqttSubscriber subscriber;
    PluginLoader loader;
    TavoPlugins::ChannelOutputPlugin* plugin = nullptr;
    std::vector<std::unique_ptr<ChannelOutput>> outputs;
    std::vector<unsigned char> buffer;
};

} // namespace

TEST_F(BrokerOutputTest, DefaultTemplateGivesDecimalRGB) {
    EXPECT_EQ(publishedFor("lights/default", "", {255, 128, 0}), "255,128,0");
    std::vector<MqttSubscriber::Message> m = subscriber.messages("lights/default");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_FALSE(m[0].retained);
}

TEST_F(BrokerOutputTest, EmptyPayloadKeepsTheDefaultTemplate) {
    Json::Value c = config("lights/empty");
    c["payload"] = "";
    ThreadedChannelOutput* out = addOutput(10, 3, c);
    frame(out, {255, 128, 0});
    ASSERT_TRUE(subscriber.waitForCount("lights/empty", 1, 10000));
    EXPECT_EQ(subscriber.payloads("lights/empty")[0], "255,128,0");
}

TEST_F(BrokerOutputTest, PercentPlaceholders) {
    EXPECT_EQ(publishedFor("lights/percent", "%RS%,%GS%,%BS%", {255, 128, 0}), "100,50,0");
}

TEST_F(BrokerOutputTest, SwitchPlaceholderOnAndOff) {
    EXPECT_EQ(publishedFor("lights/on", "%SW%", {255, 0, 0}), "ON");
    EXPECT_EQ(publishedFor("lights/off", "%SW%", {254, 254, 254}), "OFF");
}

TEST_F(BrokerOutputTest, RedAndBlueConversions) {
    EXPECT_EQ(publishedFor("lights/red", "%H%,%SV%,%V%,%I%", {255, 0, 0}), "0,100,100,33");
    EXPECT_EQ(publishedFor("lights/blue", "%H%", {0, 0, 255}), "240");
}

TEST_F(BrokerOutputTest, BlackAfterAColourGivesZeroForEveryConversion) {
    ThreadedChannelOutput* out = addOutput(20, 3, config("lights/black", "%H%,%S%,%SI%,%SV%,%I%,%V%"));
    frame(out, {255, 0, 0});
    frame(out, {0, 0, 0});
    ASSERT_TRUE(subscriber.waitForCount("lights/black", 2, 10000));
    EXPECT_EQ(subscriber.payloads("lights/black"),
              (std::vector<std::string>{"0,100,100,100,33,100", "0,0,0,0,0,0"}));
}

TEST_F(BrokerOutputTest, SingleChannelFillsWhite) {
    ThreadedChannelOutput* out = addOutput(30, 1, config("lights/single", "%R%,%G%,%B%,%W%,%WS%", "Single"));
    std::vector<std::pair<int, int>> ranges;
    out->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{30, 30}}));
    frame(out, {128});
    ASSERT_TRUE(subscriber.waitForCount("lights/single", 1, 10000));
    EXPECT_EQ(subscriber.payloads("lights/single")[0], "0,0,0,128,50");
}

TEST_F(BrokerOutputTest, RGBWReadsFourChannels) {
    ThreadedChannelOutput* out = addOutput(40, 4, config("lights/rgbw", "%R%,%G%,%B%,%W%", "RGBW"));
    std::vector<std::pair<int, int>> ranges;
    out->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{40, 43}}));
    frame(out, {1, 2, 3, 4});
    frame(out, {1, 2, 3, 5}); // only the white changed: a change all the same
    ASSERT_TRUE(subscriber.waitForCount("lights/rgbw", 2, 10000));
    EXPECT_EQ(subscriber.payloads("lights/rgbw"), (std::vector<std::string>{"1,2,3,4", "1,2,3,5"}));
}

TEST_F(BrokerOutputTest, LowerCaseTypeKeepsRGB) {
    ThreadedChannelOutput* out = addOutput(50, 4, config("lights/lower", "%R%,%G%,%B%,%W%", "rgb"));
    EXPECT_TRUE(log.contains("\"channelType\" \"rgb\" is not \"RGB\", \"RGBW\" or \"Single\"")) << log.text();
    std::vector<std::pair<int, int>> ranges;
    out->GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{50, 52}}));
    frame(out, {9, 8, 7, 6});
    ASSERT_TRUE(subscriber.waitForCount("lights/lower", 1, 10000));
    EXPECT_EQ(subscriber.payloads("lights/lower")[0], "9,8,7,0");
}

TEST_F(BrokerOutputTest, OneMessagePerChangeNoneForUnchangedFrames) {
    ThreadedChannelOutput* out = addOutput(60, 3, config("lights/changes"));
    frame(out, {0, 0, 0}); // the first black frame: nothing, lastSent starts black
    frame(out, {10, 20, 30});
    frame(out, {10, 20, 30});
    frame(out, {10, 20, 30});
    frame(out, {11, 20, 30});
    frame(out, {11, 20, 30});
    frame(out, {0, 0, 0});
    frame(out, {0, 0, 0});
    frame(out, {10, 20, 30}); // back to an earlier colour: a change
    frame(out, {1, 1, 1});
    // The last message's arrival shows every earlier one has arrived (in order on one topic).
    ASSERT_TRUE(subscriber.waitForPayload("lights/changes", "1,1,1", 10000));
    EXPECT_EQ(subscriber.payloads("lights/changes"),
              (std::vector<std::string>{"10,20,30", "11,20,30", "0,0,0", "10,20,30", "1,1,1"}));
    Json::Value status;
    out->GetStatus(status);
    EXPECT_EQ(status["published"].asUInt64(), 5u);
    EXPECT_EQ(status["topic"].asString(), "lights/changes");
    EXPECT_TRUE(status["connected"].asBool());
}

TEST_F(BrokerOutputTest, FirstBlackFrameIsNotSent) {
    ThreadedChannelOutput* out = addOutput(70, 3, config("lights/firstblack"));
    frame(out, {0, 0, 0});
    frame(out, {0, 0, 1});
    ASSERT_TRUE(subscriber.waitForCount("lights/firstblack", 1, 10000));
    EXPECT_EQ(subscriber.payloads("lights/firstblack"), (std::vector<std::string>{"0,0,1"}));
}

TEST_F(BrokerOutputTest, ChannelsOutsideTheColourDoNotCount) {
    ThreadedChannelOutput* out = addOutput(80, 6, config("lights/extra"));
    frame(out, {1, 2, 3, 0, 0, 0});
    frame(out, {1, 2, 3, 9, 9, 9}); // only channels the output does not publish changed
    frame(out, {1, 2, 4, 9, 9, 9});
    ASSERT_TRUE(subscriber.waitForCount("lights/extra", 2, 10000));
    EXPECT_EQ(subscriber.payloads("lights/extra"), (std::vector<std::string>{"1,2,3", "1,2,4"}));
}

TEST_F(BrokerOutputTest, FramesWhileDisconnectedAreDroppedAndTheColourGoesOutAgainOnReconnecting) {
    ThreadedChannelOutput* out = addOutput(90, 3, config("lights/outage"));
    frame(out, {255, 0, 0});
    ASSERT_TRUE(subscriber.waitForCount("lights/outage", 1, 10000));

    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return !client->IsConnected(); }, 20000));
    frame(out, {0, 255, 0}); // dropped: no connection, and not remembered as sent
    Json::Value status;
    out->GetStatus(status);
    EXPECT_EQ(status["published"].asUInt64(), 1u);
    EXPECT_FALSE(status["connected"].asBool());

    std::string error;
    bool taken = false;
    if (!broker.restart(error, &taken)) {
        ASSERT_TRUE(taken) << error;
        GTEST_SKIP() << "the broker's port was taken by another program while it was down: " << error;
    }
    MqttSubscriber again;
    ASSERT_TRUE(again.connect(broker.port(), {"lights/#"}, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return client->IsConnected(); }, 30000)) << client->GetLastError();
    // The colour last published, unchanged: the first frame of the new connection
    // sends it again, for whoever joined meanwhile; the next one does not.
    frame(out, {255, 0, 0});
    frame(out, {255, 0, 0});
    frame(out, {0, 255, 0});
    ASSERT_TRUE(again.waitForCount("lights/outage", 2, 10000));
    EXPECT_EQ(again.payloads("lights/outage"), (std::vector<std::string>{"255,0,0", "0,255,0"}));
}

TEST_F(BrokerOutputTest, EmptyTopicPublishesNothing) {
    ThreadedChannelOutput* out = addOutput(100, 3, config(""));
    ThreadedChannelOutput* witness = addOutput(110, 3, config("lights/witness"));
    frame(out, {1, 2, 3});
    frame(witness, {1, 2, 3});
    ASSERT_TRUE(subscriber.waitForCount("lights/witness", 1, 10000));
    EXPECT_EQ(subscriber.messages().size(), 1u);
    Json::Value status;
    out->GetStatus(status);
    EXPECT_EQ(status["published"].asUInt64(), 0u);
}

TEST_F(BrokerOutputTest, DumpConfigAndLifecycleLogLines) {
    ThreadedChannelOutput* out = addOutput(120, 4, config("lights/dump", "%H%", "RGBW"));
    out->DumpConfig();
    EXPECT_TRUE(log.contains("BrokerOutput::BrokerOutput(120, 4)")) << log.text();
    EXPECT_TRUE(log.contains("BrokerOutput::Init()")) << log.text();
    EXPECT_TRUE(log.contains("BrokerOutput::DumpConfig()")) << log.text();
    EXPECT_TRUE(log.contains("    Topic           : lights/dump")) << log.text();
    EXPECT_TRUE(log.contains("    Payload         : %H%")) << log.text();
    EXPECT_TRUE(log.contains("    Type            : 4")) << log.text();
    out->Close();
    outputs.clear();
    EXPECT_TRUE(log.contains("BrokerOutput::Close()")) << log.text();
    EXPECT_TRUE(log.contains("BrokerOutput::~BrokerOutput()")) << log.text();
}

TEST_F(BrokerOutputTest, WithoutAClientInitFailsWithTheMessage) {
    mqtt = nullptr;
    std::unique_ptr<ChannelOutput> out(plugin->createChannelOutput(0, 3));
    EXPECT_EQ(out->Init(config("lights/none")), 0);
    bool found = false;
    for (const LogLine& l : log.lines()) {
        found |= l.level == LOG_WARN && l.text.find("MQTT Not Configured, cannot start MQTT Output") == 0;
    }
    EXPECT_TRUE(found) << log.text();
}

TEST_F(BrokerOutputTest, WrongTypedKeysAreReported) {
    Json::Value c = config("lights/x");
    c["topic"] = 5;
    EXPECT_EQ(addOutput(0, 3, c, false), nullptr);
    EXPECT_TRUE(log.contains("\"topic\" must be a text")) << log.text();
    c = config("lights/x");
    c["payload"] = Json::Value(Json::arrayValue);
    EXPECT_EQ(addOutput(0, 3, c, false), nullptr);
    EXPECT_TRUE(log.contains("\"payload\" must be a text")) << log.text();
    c = config("lights/x");
    c["channelType"] = 3;
    EXPECT_EQ(addOutput(0, 3, c, false), nullptr);
    EXPECT_TRUE(log.contains("\"channelType\" must be a text")) << log.text();
}

TEST_F(BrokerOutputTest, TooFewChannelsForTheTypeIsRefused) {
    // The output's thread copies channelCount channels: reading a fourth would overrun it.
    EXPECT_EQ(addOutput(0, 3, config("lights/short", "", "RGBW"), false), nullptr);
    EXPECT_TRUE(log.contains("\"channelType\" RGBW reads 4 channels, but \"channelCount\" is 3"))
        << log.text();
    EXPECT_EQ(addOutput(0, 2, config("lights/short"), false), nullptr);
    EXPECT_NE(addOutput(0, 1, config("lights/short", "", "Single")), nullptr);
}

TEST_F(BrokerOutputTest, WildcardTopicIsRefused) {
    EXPECT_EQ(addOutput(0, 3, config("lights/+/set"), false), nullptr);
    EXPECT_TRUE(log.contains("\"topic\" \"lights/+/set\" cannot be published to")) << log.text();
    EXPECT_EQ(addOutput(0, 3, config("lights/#"), false), nullptr);
}
