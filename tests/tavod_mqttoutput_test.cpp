// MQTT outputs in the real tavod with a real broker: without MQTT set up, with the
// broker started after tavod, with the broker stopped and started again in the
// middle of a show while another output keeps its frames on time, and the blank
// that every output publishes last when tavod stops.
#include "JsonText.h"
#include "MosquittoBroker.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace tavodtest;
using mqtttest::MosquittoBroker;
using mqtttest::MqttSubscriber;

namespace {

// A sequence whose channel values `value(frame, channel)` gives.
bool writeSequence(const std::string& path, uint32_t channels, uint32_t frames, uint32_t stepTime,
                   const std::function<uint8_t(uint32_t, uint32_t)>& value) {
    std::unique_ptr<LCSFFile> f(LCSFFile::createLCSFFile(path, 2, LCSFFile::CompressionType::none, 0));
    if (!f) {
        return false;
    }
    f->m_seqNumFrames = frames;
    f->m_seqChannelCount = channels;
    f->m_seqStepTime = stepTime;
    f->writeHeader();
    std::vector<uint8_t> frame(channels);
    for (uint32_t fr = 0; fr < frames; fr++) {
        for (uint32_t c = 0; c < channels; c++) {
            frame[c] = value(fr, c);
        }
        f->addFrame(fr, frame.data());
    }
    f->finalize();
    return !f->hasWriteError();
}

std::string mqttOutput(int startChannel, const std::string& topic, int channelCount = 3) {
    return "{\"type\": \"MQTT\", \"enabled\": 1, \"startChannel\": " + std::to_string(startChannel) +
           ", \"channelCount\": " + std::to_string(channelCount) + ", \"topic\": \"" + topic + "\"}";
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    int64_t end = nowUs() + (int64_t)timeoutMs * 1000;
    while (!done()) {
        if (nowUs() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class MqttTavodTest : public ::testing::Test {
protected:
    void TearDown() override { stopTavod(); }

    // tavod with its HTTP API on a socket bound here; waits until it answers.
    // False (startWithHttp says why) when tavod did not come up: ASSERT_TRUE it.
    [[nodiscard]] bool startTavod(const std::vector<std::string>& args) {
        tavod = startWithHttp(media, args, httpPort, 20000);
        return tavod != nullptr;
    }
    void stopTavod() {
        if (tavod && tavod->running()) {
            tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(tavod->wait(20000));
            EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
            EXPECT_EQ(tavod->err().find("still running at exit"), std::string::npos) << tavod->err();
        }
        tavod.reset();
    }
    Json::Value status() {
        HttpTestResponse r = httpGet(httpPort, "/api/status");
        return r.status == 200 ? parseJson(r.body) : Json::Value();
    }
    Json::Value warnings() { return parseJson(httpGet(httpPort, "/api/warnings").body); }
    bool hasWarning(const std::string& needle) {
        for (const Json::Value& w : warnings()) {
            if (w.asString().find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    // Plays `sequence` in a loop, publishing to the broker on `port`.
    std::vector<std::string> mqttTavodArgs(int port, const std::string& sequence) {
        return {"--set", "MQTTHost=127.0.0.1",
                "--set", "MQTTPort=" + std::to_string(port),
                "--set", "MQTTClientId=tavod-test-" + std::to_string(getpid()),
                "--set", "MQTTPrefix=tavo/test",
                "play",  sequence,
                "--loop"};
    }

    MediaDir media;
    TempDir brokerDir;
    TimedUdpReceiver rx;
    uint16_t httpPort = 0;
    std::unique_ptr<Tavod> tavod;
};

} // namespace

TEST_F(MqttTavodTest, WithoutMQTTTheOutputIsLeftOutAndTheShowGoesOn) {
    ASSERT_TRUE(media.writeSequence("show.lcsf", 30, 40, 25));
    media.writeOutputs(mqttOutput(1, "lights/a") + ", " + customUdp(4, 27, rx.port(), "{data}"));
    ASSERT_TRUE(startTavod({"play", "show.lcsf", "--loop"}));

    Datagram d;
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(rx.receive(d, 5000)) << tavod->err();
    }
    Json::Value s = status();
    ASSERT_EQ(s["failedOutputs"].size(), 1u) << s.toStyledString();
    EXPECT_EQ(s["failedOutputs"][0]["type"].asString(), "MQTT");
    EXPECT_EQ(s["failedOutputs"][0]["reason"].asString(), "MQTT Not Configured, cannot start MQTT Output");
    ASSERT_EQ(s["outputs"].size(), 1u);
    EXPECT_EQ(s["outputs"][0]["type"].asString(), "CustomUDP");
    EXPECT_EQ(s["mqtt"]["state"].asString(), "off");
    EXPECT_FALSE(s["mqtt"]["configured"].asBool());
    EXPECT_TRUE(
        hasWarning("Output 0 (type MQTT, channels 1 to 3) is left out: MQTT Not Configured, cannot start "
                   "MQTT Output"))
        << warnings().toStyledString();
    EXPECT_NE(tavod->err().find("MQTT Not Configured, cannot start MQTT Output"), std::string::npos);
}

TEST_F(MqttTavodTest, BrokerStartedAfterTavodGetsTheFirstFrameOfTheConnection) {
    // Channels 0 to 2 hold one colour for the whole show; the rest change, for the UDP output.
    ASSERT_TRUE(writeSequence(media.sequencePath("steady.lcsf"), 30, 40, 25, [](uint32_t f, uint32_t c) {
        return c < 3 ? (uint8_t)(10 * (c + 1)) : (uint8_t)(f + c);
    }));
    media.writeOutputs(mqttOutput(1, "lights/steady") + ", " + customUdp(4, 27, rx.port(), "{data}"));

    // The broker keeps a lasting session for the subscriber while it is down, so
    // the subscriber misses nothing tavod publishes the moment the broker is back.
    MosquittoBroker::Options o;
    o.persistence = true;
    MosquittoBroker broker(brokerDir.path(), o);
    std::string subscriberId = "steady-watch-" + std::to_string(getpid());
    std::string error;
    for (int attempt = 0;; attempt++) {
        ASSERT_LT(attempt, 3) << "the broker's port was taken each time while it was down";
        ASSERT_TRUE(broker.start(error)) << error;
        {
            MqttSubscriber sub(subscriberId, false);
            ASSERT_TRUE(sub.connect(broker.port(), {"lights/#"}, error)) << error;
        }
        broker.stop();

        ASSERT_TRUE(startTavod(mqttTavodArgs(broker.port(), "steady.lcsf")));
        Datagram d;
        for (int i = 0; i < 10; i++) {
            ASSERT_TRUE(rx.receive(d, 5000)) << tavod->err();
        }
        Json::Value s = status();
        EXPECT_FALSE(s["mqtt"]["connected"].asBool());
        EXPECT_EQ(s["mqtt"]["state"].asString(), "unreachable") << s["mqtt"].toStyledString();
        EXPECT_TRUE(
            hasWarning("MQTT broker 127.0.0.1:" + std::to_string(broker.port()) + " cannot be reached"));
        EXPECT_EQ(s["outputs"][0]["published"].asUInt64(), 0u);

        bool taken = false;
        if (broker.restart(error, &taken)) {
            break;
        }
        ASSERT_TRUE(taken) << error;
        stopTavod();
    }
    ASSERT_TRUE(waitUntil([&] { return status()["mqtt"]["connected"].asBool(); }, 30000)) << tavod->err();
    // A second of frames after the connection: the colour never changes.
    int64_t frames = status()["framesSent"].asInt64();
    ASSERT_TRUE(waitUntil([&] { return status()["framesSent"].asInt64() >= frames + 40; }, 20000));
    EXPECT_EQ(status()["outputs"][0]["published"].asUInt64(), 1u);
    EXPECT_FALSE(hasWarning("MQTT broker"));

    MqttSubscriber sub(subscriberId, false);
    ASSERT_TRUE(sub.connect(broker.port(), {"lights/#"}, error)) << error;
    ASSERT_TRUE(sub.waitForCount("lights/steady", 1, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // a second message would follow at once
    EXPECT_EQ(sub.payloads("lights/steady"), (std::vector<std::string>{"10,20,30"}));
}

TEST_F(MqttTavodTest, BrokerRestartedMidShowReconnectsAndOtherOutputsKeepTime) {
    const int mqttOutputs = 20;
    ASSERT_TRUE(media.writeSequence("show.lcsf", 3 * mqttOutputs + 30, 40, 25));
    std::string outputs;
    for (int i = 0; i < mqttOutputs; i++) {
        outputs += mqttOutput(1 + 3 * i, "lights/" + std::to_string(i)) + ", ";
    }
    media.writeOutputs(outputs + customUdp(3 * mqttOutputs + 1, 30, rx.port(), "{data}"));

    MosquittoBroker broker(brokerDir.path());
    std::string error;
    ASSERT_TRUE(broker.start(error)) << error;
    MqttSubscriber before;
    ASSERT_TRUE(before.connect(broker.port(), {"lights/#"}, error)) << error;
    ASSERT_TRUE(startTavod(mqttTavodArgs(broker.port(), "show.lcsf")));

    // Every UDP frame's arrival, on a thread of its own, for the whole show.
    std::atomic<bool> done{false};
    std::vector<int64_t> arrivals;
    std::thread receiver([&] {
        Datagram d;
        while (!done) {
            if (rx.receive(d, 200)) {
                arrivals.push_back(d.timeUs);
            }
        }
    });

    ASSERT_TRUE(before.waitForCount("lights/0", 20, 20000)) << tavod->err();
    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return !status()["mqtt"]["connected"].asBool(); }, 20000));
    ASSERT_TRUE(waitUntil(
        [&] { return hasWarning("MQTT broker 127.0.0.1:" + std::to_string(broker.port())); }, 20000));
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the show goes on without the broker

    bool taken = false;
    bool restarted = broker.restart(error, &taken);
    if (!restarted) {
        done = true;
        receiver.join();
        ASSERT_TRUE(taken) << error;
        GTEST_SKIP() << "the broker's port was taken while it was down: " << error;
    }
    MqttSubscriber after;
    ASSERT_TRUE(after.connect(broker.port(), {"lights/#"}, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return status()["mqtt"]["connections"].asUInt64() == 2; }, 30000))
        << status()["mqtt"].toStyledString();
    ASSERT_TRUE(after.waitForCount("lights/" + std::to_string(mqttOutputs - 1), 20, 20000));
    EXPECT_FALSE(hasWarning("MQTT broker"));
    done = true;
    receiver.join();

    Json::Value s = status();
    EXPECT_EQ(s["mqtt"]["dropped"].asUInt64(), 0u) << s["mqtt"].toStyledString();
    EXPECT_TRUE(s["mqtt"]["connected"].asBool());
    // Nothing about the broker may hold the output thread: the UDP output's frames
    // came all along. The bounds are far above a frame (25 ms) and far below what
    // waiting for a connection would cost (seconds).
    ASSERT_GT(arrivals.size(), 40u);
    int64_t maxGap = 0;
    for (size_t i = 1; i < arrivals.size(); i++) {
        maxGap = std::max(maxGap, arrivals[i] - arrivals[i - 1]);
    }
    RecordProperty("udpMaxGapUs", std::to_string(maxGap));
    RecordProperty("latenessMaxUs", s["lateness"]["maxUs"].asString());
    RecordProperty("latenessP99Us", s["lateness"]["p99Us"].asString());
    EXPECT_LT(maxGap, 500000) << "frames stopped for " << maxGap / 1000 << " ms";
    EXPECT_LT(s["lateness"]["maxUs"].asInt64(), 500000) << s["lateness"].toStyledString();
}

TEST_F(MqttTavodTest, EveryOutputPublishesTheBlankLastWhenTavodStops) {
    // Many outputs whose colour changes every frame, so that their threads are busy
    // publishing when the blank is handed over and Close follows.
    const int mqttOutputs = 20;
    ASSERT_TRUE(writeSequence(media.sequencePath("lit.lcsf"), 3 * mqttOutputs, 40, 25,
                              [](uint32_t f, uint32_t) { return (uint8_t)(100 + f); }));
    std::string outputs;
    for (int i = 0; i < mqttOutputs; i++) {
        outputs += (i ? ", " : "") + mqttOutput(1 + 3 * i, "lights/" + std::to_string(i));
    }
    media.writeOutputs(outputs);

    MosquittoBroker broker(brokerDir.path());
    std::string error;
    ASSERT_TRUE(broker.start(error)) << error;
    MqttSubscriber sub;
    ASSERT_TRUE(sub.connect(broker.port(), {"lights/#"}, error)) << error;
    ASSERT_TRUE(startTavod(mqttTavodArgs(broker.port(), "lit.lcsf")));
    for (int i = 0; i < mqttOutputs; i++) {
        ASSERT_TRUE(sub.waitForPayload("lights/" + std::to_string(i), "110,110,110", 20000)) << tavod->err();
    }

    tavod->sendSignal(SIGTERM);
    ASSERT_TRUE(tavod->wait(20000));
    EXPECT_EQ(tavod->exitCode(), 0) << tavod->err();
    sub.waitFor(
        [&](const std::vector<MqttSubscriber::Message>& all) {
            std::map<std::string, std::string> last;
            for (const MqttSubscriber::Message& m : all) {
                last[m.topic] = m.payload;
            }
            for (int i = 0; i < mqttOutputs; i++) {
                if (last["lights/" + std::to_string(i)] != "0,0,0") {
                    return false;
                }
            }
            return true;
        },
        10000);
    for (int i = 0; i < mqttOutputs; i++) {
        std::vector<std::string> p = sub.payloads("lights/" + std::to_string(i));
        ASSERT_FALSE(p.empty());
        EXPECT_EQ(p.back(), "0,0,0") << "output " << i << " kept its colour after tavod stopped";
    }
}
