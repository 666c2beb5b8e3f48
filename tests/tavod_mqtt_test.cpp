// tavod's own MQTT topics with a real broker: availability with its last will, what
// plays, commands on PREFIX/command (run only when accepted), Home Assistant
// discovery, refused credentials and bad settings, and /api/status's "mqtt".
#include "JsonText.h"
#include "MosquittoBroker.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

using namespace tavodtest;
using mqtttest::MosquittoBroker;
using mqtttest::MqttSubscriber;

namespace {

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

const std::string PREFIX = "tavo/stage";

class TavodMqttTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 20 frames of 25 ms: half a second a pass.
        ASSERT_TRUE(media.writeSequence("short.lcsf", 30, 20, 25));
        media.writeOutputs(customUdp(1, 30, rx.port(), "{data}"));
    }
    void TearDown() override { stopTavod(); }

    void startBroker(const MosquittoBroker::Options& o = MosquittoBroker::Options()) {
        broker.reset(new MosquittoBroker(brokerDir.path(), o));
        std::string error;
        ASSERT_TRUE(broker->start(error)) << error;
    }
    void subscribe(MqttSubscriber& sub, const std::vector<std::string>& filters) {
        std::string error;
        ASSERT_TRUE(sub.connect(broker->port(), filters, error)) << error;
    }

    std::vector<std::string> mqttArgs(std::vector<std::string> more = {}) {
        std::vector<std::string> a = {"--set", "MQTTHost=127.0.0.1",
                                      "--set", "MQTTPort=" + std::to_string(broker ? broker->port() : 1),
                                      "--set", "MQTTClientId=" + clientId,
                                      "--set", "MQTTPrefix=" + PREFIX};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
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
    }
    Json::Value status() {
        HttpTestResponse r = httpGet(httpPort, "/api/status");
        return r.status == 200 ? parseJson(r.body) : Json::Value();
    }
    bool hasWarning(const std::string& needle) {
        for (const Json::Value& w : parseJson(httpGet(httpPort, "/api/warnings").body)) {
            if (w.asString().find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    bool connected() { return status()["mqtt"]["connected"].asBool(); }

    MediaDir media;
    TempDir brokerDir;
    TimedUdpReceiver rx;
    std::unique_ptr<MosquittoBroker> broker;
    std::string clientId = "tavod-mqtt-test-" + std::to_string(getpid());
    uint16_t httpPort = 0;
    std::unique_ptr<Tavod> tavod;
};

std::string command(const std::string& name, const std::vector<std::string>& args) {
    Json::Value c(Json::objectValue);
    c["command"] = name;
    c["args"] = Json::Value(Json::arrayValue);
    for (const std::string& a : args) {
        c["args"].append(a);
    }
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, c);
}

} // namespace

TEST_F(TavodMqttTest, StatusTopicsFollowTheShow) {
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {PREFIX + "/#"});
    ASSERT_TRUE(startTavod(mqttArgs({"run"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/status", "online", 20000)) << tavod->err();
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "idle", 10000));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/sequence", "", 10000));

    HttpTestResponse r =
        httpRequest(httpPort, "POST", "/api/command", command("Start Sequence", {"short.lcsf"}));
    ASSERT_EQ(r.status, 200) << r.body;
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "playing", 10000));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/sequence", "short.lcsf", 10000));
    // Half a second later it ends, and says so.
    ASSERT_TRUE(sub.waitForCount(PREFIX + "/player/status", 3, 10000));
    EXPECT_EQ(sub.payloads(PREFIX + "/player/status"), (std::vector<std::string>{"idle", "playing", "idle"}));
    ASSERT_TRUE(sub.waitForCount(PREFIX + "/player/sequence", 3, 10000));
    EXPECT_EQ(sub.payloads(PREFIX + "/player/sequence"), (std::vector<std::string>{"", "short.lcsf", ""}));

    // A playlist that plays the sequence once is named while it plays.
    ASSERT_EQ(mkdir(media.file("playlists").c_str(), 0755), 0);
    writeFileBytes(media.file("playlists/night.json"),
                   "{\"mainPlaylist\": [{\"type\": \"sequence\", \"sequence\": \"short.lcsf\"}]}");
    r = httpRequest(httpPort, "POST", "/api/command", command("Start Playlist", {"night"}));
    ASSERT_EQ(r.status, 200) << r.body;
    ASSERT_TRUE(sub.waitForCount(PREFIX + "/player/playlist", 3, 10000)) << tavod->err();
    EXPECT_EQ(sub.payloads(PREFIX + "/player/playlist"), (std::vector<std::string>{"", "night", ""}));

    // Retained: a newcomer learns the state at once.
    MqttSubscriber late;
    subscribe(late, {PREFIX + "/status", PREFIX + "/player/status"});
    ASSERT_TRUE(late.waitForCount(PREFIX + "/player/status", 1, 10000));
    EXPECT_TRUE(late.messages(PREFIX + "/player/status")[0].retained);
    EXPECT_EQ(late.payloads(PREFIX + "/status"), (std::vector<std::string>{"online"}));

    stopTavod();
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/status", "offline", 10000));
    EXPECT_NE(tavod->err().find("MQTT: disconnected from 127.0.0.1"), std::string::npos) << tavod->err();
}

// A follower tells the broker what it hears: the leader board, in PREFIX/sync,
// retained, without the counters that change with every packet.
TEST_F(TavodMqttTest, TheSyncTopicNamesTheBoardsAFollowerHears) {
    startBroker();
    std::string syncPort;
    {
        UdpReceiver probe; // a port no one uses, for the follower
        ASSERT_TRUE(probe.bound());
        syncPort = std::to_string(probe.port());
    }
    MediaDir leaderMedia;
    uint16_t leaderHttp = 0;
    std::unique_ptr<Tavod> leader = startWithHttp(
        leaderMedia, {"--set", "syncMode=leader", "--set", "syncUnicast=127.0.0.1:" + syncPort, "run"},
        leaderHttp);
    ASSERT_TRUE(leader);
    MqttSubscriber sub;
    subscribe(sub, {PREFIX + "/sync"});
    ASSERT_TRUE(startTavod(mqttArgs({"--set", "syncMode=follower", "--set", "syncPort=" + syncPort, "run"})));
    // The leader's presence comes every 3 s.
    auto hearsLeader = [&] {
        for (const std::string& p : sub.payloads(PREFIX + "/sync")) {
            Json::Value v = parseJson(p);
            if (v["mode"] == "follower" && v["boards"].size() == 1 && v["boards"][0]["mode"] == "leader") {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(waitUntil(hearsLeader, 15000))
        << ::testing::PrintToString(sub.payloads(PREFIX + "/sync")) << tavod->err();
    Json::Value last = parseJson(sub.payloads(PREFIX + "/sync").back());
    EXPECT_FALSE(last.isMember("packetsReceived")) << last;
    EXPECT_FALSE(last["boards"][0].isMember("lastSeenMs")) << last;
    EXPECT_EQ(last["boards"][0]["address"], "127.0.0.1") << last;
    MqttSubscriber late;
    subscribe(late, {PREFIX + "/sync"});
    ASSERT_TRUE(late.waitForCount(PREFIX + "/sync", 1, 10000));
    EXPECT_TRUE(late.messages(PREFIX + "/sync")[0].retained);
    leader->sendSignal(SIGTERM);
    EXPECT_TRUE(leader->wait(20000));
}

TEST_F(TavodMqttTest, TheLastWillSaysOfflineWhenTavodDies) {
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {PREFIX + "/status"});
    ASSERT_TRUE(startTavod(mqttArgs({"run"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/status", "online", 20000)) << tavod->err();
    tavod->sendSignal(SIGKILL);
    ASSERT_TRUE(tavod->wait(10000));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/status", "offline", 20000));
    tavod.reset();
}

TEST_F(TavodMqttTest, AcceptedCommandStartsASequence) {
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {PREFIX + "/#"});
    ASSERT_TRUE(startTavod(mqttArgs({"--set", "MQTTAcceptCommands=1", "run"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "idle", 20000)) << tavod->err();
    ASSERT_TRUE(sub.publish(PREFIX + "/command", command("Start Sequence", {"short.lcsf"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "playing", 10000)) << tavod->err();
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 5000)) << "the sequence's frames go out";
    ASSERT_TRUE(sub.waitForCount(PREFIX + "/command/result", 1, 10000));
    Json::Value result = parseJson(sub.payloads(PREFIX + "/command/result")[0]);
    EXPECT_EQ(result["command"].asString(), "Start Sequence");
    EXPECT_TRUE(result["ok"].asBool());
    EXPECT_EQ(result["result"].asString(), "Playing short.lcsf");
    EXPECT_NE(tavod->err().find("MQTT command \"Start Sequence\": Playing short.lcsf"), std::string::npos)
        << tavod->err();
    Json::Value m = status()["mqtt"];
    EXPECT_EQ(m["commands"].asString(), "accepted");
    EXPECT_EQ(m["commandsReceived"].asUInt64(), 1u);
}

TEST_F(TavodMqttTest, FailedAndMalformedCommandsAnswerWithAnError) {
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {PREFIX + "/#"});
    ASSERT_TRUE(startTavod(mqttArgs({"--set", "MQTTAcceptCommands=1", "run"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "idle", 20000)) << tavod->err();
    ASSERT_TRUE(sub.publish(PREFIX + "/command", command("Start Sequence", {"missing.lcsf"})));
    ASSERT_TRUE(sub.publish(PREFIX + "/command", "not json at all"));
    ASSERT_TRUE(sub.publish(PREFIX + "/command", command("No Such Command", {})));
    ASSERT_TRUE(sub.waitForCount(PREFIX + "/command/result", 3, 10000)) << tavod->err();
    std::vector<std::string> results = sub.payloads(PREFIX + "/command/result");
    Json::Value missing = parseJson(results[0]);
    EXPECT_FALSE(missing["ok"].asBool());
    EXPECT_NE(missing["result"].asString().find("there is no sequence"), std::string::npos) << results[0];
    Json::Value garbage = parseJson(results[1]);
    EXPECT_FALSE(garbage["ok"].asBool());
    EXPECT_EQ(garbage["result"].asString(),
              "The message must be a JSON object: {\"command\": NAME, \"args\": [TEXT, ...]}");
    EXPECT_FALSE(parseJson(results[2])["ok"].asBool());
    EXPECT_EQ(status()["status"].asString(), "idle");
    EXPECT_TRUE(tavod->running());
}

TEST_F(TavodMqttTest, ACommandNamesNoSequenceOutsideTheSequencesFolder) {
    // A good show outside the media folder: were it opened, it would play.
    TempDir outside;
    TestSequenceOptions o;
    o.frames = 400;
    ASSERT_TRUE(writeTestSequence(outside.file("secret.lcsf"), o));
    ASSERT_EQ(symlink(outside.file("secret.lcsf").c_str(), media.sequencePath("away.lcsf").c_str()), 0);
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {PREFIX + "/#"});
    ASSERT_TRUE(startTavod(mqttArgs({"--set", "MQTTAcceptCommands=1", "run"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "idle", 20000)) << tavod->err();
    const std::vector<std::string> names = {"../../" + outside.path().substr(1) + "/secret.lcsf",
                                            outside.file("secret.lcsf"), "away.lcsf", "$(touch x).lcsf"};
    for (const std::string& name : names) {
        ASSERT_TRUE(sub.publish(PREFIX + "/command", command("Start Sequence", {name})));
    }
    ASSERT_TRUE(sub.waitForCount(PREFIX + "/command/result", names.size(), 10000)) << tavod->err();
    std::vector<std::string> results = sub.payloads(PREFIX + "/command/result");
    for (size_t i = 0; i < names.size(); i++) {
        Json::Value r = parseJson(results[i]);
        EXPECT_FALSE(r["ok"].asBool()) << names[i];
        const std::string expected = i < 3 ? "is not a sequence name" : "there is no sequence";
        EXPECT_NE(r["result"].asString().find(expected), std::string::npos) << names[i] << ": " << results[i];
    }
    EXPECT_EQ(status()["status"].asString(), "idle");
}

TEST_F(TavodMqttTest, CommandsAreIgnoredUnlessAccepted) {
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {PREFIX + "/#"});
    ASSERT_TRUE(startTavod(mqttArgs({"run"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "idle", 20000)) << tavod->err();
    EXPECT_NE(tavod->err().find("MQTT: commands on " + PREFIX +
                                "/command are ignored; set MQTTAcceptCommands to 1 to accept them"),
              std::string::npos)
        << tavod->err();
    ASSERT_TRUE(sub.publish(PREFIX + "/command", command("Start Sequence", {"short.lcsf"})));
    // Nothing to wait for when nothing happens: give it well over the main loop's rounds.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Json::Value s = status();
    EXPECT_EQ(s["status"].asString(), "idle");
    EXPECT_EQ(s["mqtt"]["commands"].asString(), "ignored");
    EXPECT_EQ(s["mqtt"]["commandsReceived"].asUInt64(), 0u);
    EXPECT_TRUE(sub.messages(PREFIX + "/command/result").empty());
    EXPECT_EQ(sub.payloads(PREFIX + "/player/status"), (std::vector<std::string>{"idle"}));
    // The same command over HTTP still works: tavod was listening, just not to MQTT.
    ASSERT_EQ(httpRequest(httpPort, "POST", "/api/command", command("Start Sequence", {"short.lcsf"})).status,
              200);
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/status", "playing", 10000));
}

TEST_F(TavodMqttTest, StatusShowsTheClient) {
    startBroker();
    ASSERT_TRUE(startTavod(mqttArgs({"run"})));
    ASSERT_TRUE(waitUntil([&] { return connected(); }, 20000)) << tavod->err();
    Json::Value m = status()["mqtt"];
    EXPECT_TRUE(m["configured"].asBool());
    EXPECT_EQ(m["state"].asString(), "connected");
    EXPECT_EQ(m["host"].asString(), "127.0.0.1");
    EXPECT_EQ(m["port"].asInt(), broker->port());
    EXPECT_EQ(m["clientId"].asString(), clientId);
    EXPECT_EQ(m["prefix"].asString(), PREFIX);
    EXPECT_FALSE(m["tls"].asBool());
    EXPECT_EQ(m["connections"].asUInt64(), 1u);
    EXPECT_EQ(m["dropped"].asUInt64(), 0u);
    EXPECT_TRUE(m["queued"].isIntegral());
    EXPECT_EQ(m["maxQueued"].asUInt64(), 5000u);
    EXPECT_EQ(m["lastError"].asString(), "");
    EXPECT_FALSE(m["homeAssistant"].asBool());
    EXPECT_EQ(m["commands"].asString(), "ignored");
}

TEST_F(TavodMqttTest, HomeAssistantDiscovery) {
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {"homeassistant/#", PREFIX + "/#"});
    ASSERT_TRUE(startTavod(mqttArgs({"--set", "MQTTHomeAssistant=1", "--set", "HostName=stage", "run"})));
    std::string node = clientId;
    for (char& c : node) {
        c = (isalnum((unsigned char)c) || c == '-' || c == '_') ? c : '_';
    }
    std::string statusConfig = "homeassistant/sensor/" + node + "/status/config";
    std::string sequenceConfig = "homeassistant/sensor/" + node + "/sequence/config";
    ASSERT_TRUE(sub.waitForCount(statusConfig, 1, 20000)) << tavod->err();
    ASSERT_TRUE(sub.waitForCount(sequenceConfig, 1, 10000));

    Json::Value st = parseJson(sub.payloads(statusConfig)[0]);
    EXPECT_EQ(st["name"].asString(), "Status");
    EXPECT_EQ(st["unique_id"].asString(), node + "_status");
    EXPECT_EQ(st["state_topic"].asString(), PREFIX + "/player/status");
    EXPECT_EQ(st["availability_topic"].asString(), PREFIX + "/status");
    EXPECT_EQ(st["payload_available"].asString(), "online");
    EXPECT_EQ(st["payload_not_available"].asString(), "offline");
    EXPECT_EQ(st["device"]["identifiers"][0].asString(), node);
    EXPECT_EQ(st["device"]["name"].asString(), "tavod stage");
    EXPECT_FALSE(st["device"]["sw_version"].asString().empty());
    Json::Value sq = parseJson(sub.payloads(sequenceConfig)[0]);
    EXPECT_EQ(sq["unique_id"].asString(), node + "_sequence");
    EXPECT_EQ(sq["state_topic"].asString(), PREFIX + "/player/sequence");
    EXPECT_EQ(sq["device"], st["device"]);

    // Retained, so a dashboard started later finds tavod.
    MqttSubscriber late;
    subscribe(late, {"homeassistant/#"});
    ASSERT_TRUE(late.waitForCount(sequenceConfig, 1, 10000));
    EXPECT_TRUE(late.messages(statusConfig).at(0).retained);
    EXPECT_TRUE(status()["mqtt"]["homeAssistant"].asBool());
}

TEST_F(TavodMqttTest, NoDiscoveryUnlessAskedFor) {
    startBroker();
    MqttSubscriber sub;
    subscribe(sub, {"homeassistant/#", PREFIX + "/#"});
    ASSERT_TRUE(startTavod(mqttArgs({"run"})));
    // Discovery would go out before the player's state, on the same connection.
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/player/sequence", "", 20000)) << tavod->err();
    for (const MqttSubscriber::Message& m : sub.messages()) {
        EXPECT_NE(m.topic.rfind("homeassistant/", 0), 0u) << m.topic;
    }
}

TEST_F(TavodMqttTest, WrongCredentialsWarnAndTheShowGoesOn) {
    MosquittoBroker::Options o;
    o.user = "show";
    o.password = "right";
    startBroker(o);
    ASSERT_TRUE(startTavod(mqttArgs(
        {"--set", "MQTTUsername=show", "--set", "MQTTPassword=wrong", "play", "short.lcsf", "--loop"})));
    std::string where = "127.0.0.1:" + std::to_string(broker->port());
    ASSERT_TRUE(waitUntil([&] { return status()["mqtt"]["state"].asString() == "refused"; }, 20000))
        << tavod->err();
    EXPECT_TRUE(hasWarning("MQTT broker " + where +
                           " refused the connection (not authorised): check MQTTUsername "
                           "and MQTTPassword"))
        << tavod->err();
    EXPECT_NE(
        tavod->err().find("error: MQTT broker " + where +
                          " refused the connection: not authorised; check MQTTUsername and MQTTPassword"),
        std::string::npos)
        << tavod->err();
    EXPECT_EQ(tavod->err().find("wrong"), std::string::npos) << "the password is never logged";
    Datagram d;
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(rx.receive(d, 5000)) << "the show goes on";
    }
    EXPECT_EQ(status()["status"].asString(), "playing");
}

TEST_F(TavodMqttTest, UnreachableBrokerWarnsAndTheShowStartsAnyway) {
    ASSERT_TRUE(startTavod(mqttArgs({"play", "short.lcsf", "--loop"}))); // no broker: port 1
    Datagram d;
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(rx.receive(d, 5000)) << tavod->err();
    }
    ASSERT_TRUE(waitUntil(
        [&] { return hasWarning("MQTT broker 127.0.0.1:1 cannot be reached: Connection refused"); }, 20000));
    EXPECT_EQ(status()["mqtt"]["state"].asString(), "unreachable");
    EXPECT_EQ(status()["mqtt"]["lastError"].asString(), "Connection refused");
}

TEST_F(TavodMqttTest, UnusableSettingsWarnAndTheShowGoesOn) {
    ASSERT_TRUE(
        startTavod({"--set", "MQTTHost=127.0.0.1", "--set", "MQTTPort=abc", "play", "short.lcsf", "--loop"}));
    Datagram d;
    ASSERT_TRUE(rx.receive(d, 5000)) << tavod->err();
    Json::Value m = status()["mqtt"];
    EXPECT_EQ(m["state"].asString(), "failed");
    EXPECT_TRUE(m["configured"].asBool());
    EXPECT_EQ(m["lastError"].asString(), "MQTTPort \"abc\" is not a TCP port (1 to 65535)");
    EXPECT_TRUE(hasWarning("MQTT not started: MQTTPort \"abc\" is not a TCP port (1 to 65535)"));
}

TEST_F(TavodMqttTest, TLSWithTheTestsOwnCertificate) {
    MosquittoBroker::Options o;
    o.tls = true;
    startBroker(o);
    MqttSubscriber sub;
    MqttSubscriber::Options so;
    so.caFile = broker->caFile();
    std::string error;
    ASSERT_TRUE(sub.connect(broker->port(), {PREFIX + "/#"}, error, so)) << error;
    ASSERT_TRUE(startTavod(mqttArgs({"--set", "MQTTCaFile=" + broker->caFile(), "run"})));
    ASSERT_TRUE(sub.waitForPayload(PREFIX + "/status", "online", 20000)) << tavod->err();
    EXPECT_TRUE(status()["mqtt"]["tls"].asBool());
}
