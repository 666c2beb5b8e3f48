// The host's channel tester: colour, chase and the outputs' own patterns over the
// channel buffer, blanking what is not tested, and bad tests refused without a throw.
#include "JsonText.h"
#include "LogCapture.h"
#include "host/output/ChannelOutput.h"
#include "host/output/OutputManager.h"
#include "host/player/ChannelTester.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class RecordingOutput : public ChannelOutput {
public:
    using ChannelOutput::ChannelOutput;
    int SendData(unsigned char*) override { return 0; }
    bool SupportsTesting() const override { return true; }
    void OverlayTestData(unsigned char* data, int cycle, float part, int type,
                         const Json::Value& config) override {
        calls++;
        lastCycle = cycle;
        lastPart = part;
        lastType = type;
        lastConfig = config;
        data[m_startChannel] = 0xEE;
    }
    int calls = 0;
    int lastCycle = -1;
    float lastPart = -1;
    int lastType = -1;
    Json::Value lastConfig;
};

class ChannelTesterTest : public ::testing::Test {
protected:
    void TearDown() override {
        ChannelTester::INSTANCE.StopTest();
        ChannelOutputManager::INSTANCE.RemoveAllOutputs();
    }
    ChannelTester& t = ChannelTester::INSTANCE;
};

TEST_F(ChannelTesterTest, AChaseMovesOneNodePerStep) {
    ASSERT_TRUE(t.SetupTest(parseJson(R"({"enabled": 1, "mode": "chase", "channelSet": "2-7", "stepMs": 60,
                                      "colors": [[1, 2], [3, 4]]})")));
    // Whichever step the clock is in, the nodes alternate, only the range changes,
    // and both steps come.
    bool sawA = false, sawB = false;
    for (int i = 0; i < 40 && !(sawA && sawB); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<uint8_t> again(9, 9);
        t.OverlayTestData(again.data());
        bool stepA = again == std::vector<uint8_t>{9, 1, 2, 3, 4, 1, 2, 9, 9};
        bool stepB = again == std::vector<uint8_t>{9, 3, 4, 1, 2, 3, 4, 9, 9};
        EXPECT_TRUE(stepA || stepB);
        sawA = sawA || stepA;
        sawB = sawB || stepB;
    }
    EXPECT_TRUE(sawA && sawB);
}

TEST_F(ChannelTesterTest, BlankOthersDarkensEveryOutputChannelFirst) {
    RecordingOutput out(0, 6);
    ChannelOutputManager::INSTANCE.AddOutput(&out);
    ASSERT_TRUE(t.SetupTest(
        parseJson(R"({"enabled": true, "channelSet": "3-4", "color": [7], "blankOthers": true})")));
    std::vector<uint8_t> buf(8, 5);
    t.OverlayTestData(buf.data());
    EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 7, 7, 0, 0, 5, 5}))
        << "channels no output reads stay as they were";
}

TEST_F(ChannelTesterTest, OutputsModeHandsTheOutputsTheirCycle) {
    RecordingOutput a(0, 3), b(3, 3);
    ASSERT_FALSE(t.SetupTest(parseJson(R"({"enabled": 1, "mode": "outputs"})")))
        << "outputs mode with no output to test";
    ASSERT_TRUE(
        t.SetupTest(parseJson(R"({"enabled": 1, "mode": "outputs", "testType": 4, "cycleMs": 50})"), {&b}));
    std::vector<uint8_t> buf(6, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    t.OverlayTestData(buf.data());
    EXPECT_EQ(a.calls, 0);
    EXPECT_EQ(b.calls, 1);
    EXPECT_EQ(b.lastType, 4);
    EXPECT_GE(b.lastCycle, 2);
    EXPECT_GE(b.lastPart, 0.0f);
    EXPECT_LT(b.lastPart, 1.0f);
    EXPECT_EQ(b.lastConfig["mode"].asString(), "outputs");
    EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 0, 0xEE, 0, 0}));
    EXPECT_EQ(t.GetConfig()["testType"].asInt(), 4);
    t.StopTest();
    EXPECT_TRUE(t.GetConfig().isNull());
    t.OverlayTestData(buf.data());
    EXPECT_EQ(b.calls, 1) << "a stopped test touches nothing";
}

TEST_F(ChannelTesterTest, WrongTypesAreRefusedNotThrown) {
    ASSERT_TRUE(t.SetupTest(parseJson(R"({"enabled": 1, "channelSet": "1-2", "color": [1, 1]})")));
    LogCapture log;
    for (const char* bad :
         {R"({"enabled": "on", "channelSet": "1-2"})", R"({"enabled": 1, "channelSet": ["1-2"]})",
          R"({"enabled": 1, "channelSet": "1-2", "color": ["red"]})",
          R"({"enabled": 1, "channelSet": "1-2", "color": [1, -1]})",
          R"({"enabled": 1, "channelSet": "1-2", "colors": [[1], "x"]})",
          R"({"enabled": 1, "channelSet": "1-2", "colors": []})",
          R"({"enabled": 1, "channelSet": "1-2", "mode": 3})",
          R"({"enabled": 1, "channelSet": "1-2", "stepMs": 1.5})",
          R"({"enabled": 1, "channelSet": "1-2", "cycleMs": 0})",
          R"({"enabled": 1, "channelSet": "1-2", "blankOthers": "yes"})",
          R"({"enabled": 1, "channelSet": "1-, 4"})", R"([1])"}) {
        bool ok = true;
        EXPECT_NO_THROW(ok = t.SetupTest(parseJson(bad))) << bad;
        EXPECT_FALSE(ok) << bad;
    }
    EXPECT_EQ(log.count("Channel test: "), 12) << log.text();
    std::vector<uint8_t> buf(3, 0);
    t.OverlayTestData(buf.data());
    EXPECT_EQ(buf, (std::vector<uint8_t>{1, 1, 0})) << "the running test stays";
}

} // namespace
