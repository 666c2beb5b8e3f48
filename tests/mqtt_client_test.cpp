// The host's MQTT client against a real mosquitto broker: connecting in the
// background, publishing, the bounded queue, refused credentials, TLS, reconnection,
// subscriptions, and the settings it is made from.
#include "LogCapture.h"
#include "MosquittoBroker.h"
#include "TempDir.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"
#include "host/mqtt/MosquittoClient.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

using mqtttest::MosquittoBroker;
using mqtttest::MqttSubscriber;

namespace {

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

bool hasWarning(const std::string& needle) {
    for (const std::string& w : WarningHolder::GetWarnings()) {
        if (w.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

MosquittoSettings settingsFor(int port, const std::string& name) {
    MosquittoSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    s.clientId = name + "-" + std::to_string(getpid());
    s.prefix = "tavo/" + name;
    return s;
}

class MosquittoClientTest : public ::testing::Test {
protected:
    void SetUp() override { WarningHolder::ClearWarnings(); }
    void TearDown() override {
        client.reset();
        WarningHolder::ClearWarnings();
    }

    void startBroker(const MosquittoBroker::Options& options = MosquittoBroker::Options()) {
        broker.reset(new MosquittoBroker(dir.path(), options));
        std::string error;
        ASSERT_TRUE(broker->start(error)) << error;
    }
    void startClient(const MosquittoSettings& s) {
        client.reset(new MosquittoClient(s));
        std::string error;
        ASSERT_TRUE(client->Start(error)) << error;
    }
    void connectClient(const MosquittoSettings& s) {
        startClient(s);
        ASSERT_TRUE(waitUntil([&] { return client->IsConnected(); }, 20000)) << client->GetLastError();
    }

    LogCapture log{LOG_DEBUG};
    TempDir dir;
    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<MosquittoClient> client;
};

} // namespace

TEST_F(MosquittoClientTest, ConnectsInTheBackgroundAndSaysOnline) {
    startBroker();
    MqttSubscriber sub;
    std::string error;
    ASSERT_TRUE(sub.connect(broker->port(), {"tavo/online/#"}, error)) << error;
    connectClient(settingsFor(broker->port(), "online"));
    EXPECT_EQ(client->GetState(), MosquittoClient::State::Connected);
    EXPECT_EQ(client->GetConnectionCount(), 1u);
    ASSERT_TRUE(sub.waitForPayload("tavo/online/status", "online", 10000));
    EXPECT_TRUE(log.contains("MQTT: connected to 127.0.0.1:" + std::to_string(broker->port()))) << log.text();

    // Retained: a later subscriber learns it too.
    MqttSubscriber late;
    ASSERT_TRUE(late.connect(broker->port(), {"tavo/online/status"}, error)) << error;
    ASSERT_TRUE(late.waitForCount("tavo/online/status", 1, 10000));
    EXPECT_EQ(late.messages()[0].payload, "online");
    EXPECT_TRUE(late.messages()[0].retained);
}

TEST_F(MosquittoClientTest, StopSaysOfflineAndDisconnects) {
    startBroker();
    MqttSubscriber sub;
    std::string error;
    ASSERT_TRUE(sub.connect(broker->port(), {"tavo/stop/status"}, error)) << error;
    connectClient(settingsFor(broker->port(), "stop"));
    ASSERT_TRUE(sub.waitForPayload("tavo/stop/status", "online", 10000));
    client->Stop();
    EXPECT_EQ(client->GetState(), MosquittoClient::State::Stopped);
    ASSERT_TRUE(sub.waitForPayload("tavo/stop/status", "offline", 10000));
    EXPECT_FALSE(client->PublishRaw("tavo/stop/x", "late", false, 1));
    client->Stop(); // twice is harmless
}

TEST_F(MosquittoClientTest, PublishRawKeepsTopicPayloadAndRetain) {
    startBroker();
    connectClient(settingsFor(broker->port(), "publish"));
    MqttSubscriber sub;
    std::string error;
    ASSERT_TRUE(sub.connect(broker->port(), {"lamp/#"}, error)) << error;
    std::string binary("a\0b\xff", 4);
    EXPECT_TRUE(client->PublishRaw("lamp/one", "255,128,0", false, 1));
    EXPECT_TRUE(client->PublishRaw("lamp/two", binary, false, 0));
    EXPECT_TRUE(client->PublishRaw("lamp/kept", "kept", true, 1));
    ASSERT_TRUE(sub.waitForCount("lamp/kept", 1, 10000));
    ASSERT_TRUE(sub.waitForCount("lamp/two", 1, 10000));
    EXPECT_EQ(sub.payloads("lamp/one"), (std::vector<std::string>{"255,128,0"}));
    EXPECT_EQ(sub.payloads("lamp/two"), (std::vector<std::string>{binary}));

    MqttSubscriber late;
    ASSERT_TRUE(late.connect(broker->port(), {"lamp/#"}, error)) << error;
    ASSERT_TRUE(late.waitForCount("lamp/kept", 1, 10000));
    EXPECT_TRUE(late.messages("lamp/kept")[0].retained);
    EXPECT_TRUE(late.messages("lamp/one").empty()); // not retained

    ASSERT_TRUE(waitUntil([&] { return client->GetQueuedCount() == 0; }, 10000));
    MosquittoClient::Stats s = client->GetStats();
    EXPECT_EQ(s.published, 4u); // with "online"
    EXPECT_EQ(s.delivered, 4u);
    EXPECT_EQ(s.dropped, 0u);
}

TEST_F(MosquittoClientTest, PublishesUnderThePrefix) {
    startBroker();
    connectClient(settingsFor(broker->port(), "prefixed"));
    MqttSubscriber sub;
    std::string error;
    ASSERT_TRUE(sub.connect(broker->port(), {"tavo/prefixed/#"}, error)) << error;
    EXPECT_TRUE(client->Publish("player/status", "idle"));
    ASSERT_TRUE(sub.waitForPayload("tavo/prefixed/player/status", "idle", 10000));
}

TEST_F(MosquittoClientTest, NothingIsHandedOverWithoutAConnection) {
    MosquittoSettings s = settingsFor(1, "none"); // nothing listens on port 1
    startClient(s);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_FALSE(client->PublishRaw("lamp/x", "1", false, 1));
    EXPECT_FALSE(client->PublishRaw("lamp/x", "1", false, 0));
    MosquittoClient::Stats st = client->GetStats();
    EXPECT_EQ(st.failed, 2u);
    EXPECT_EQ(st.published, 0u);
    EXPECT_EQ(st.queued, 0u);
}

TEST_F(MosquittoClientTest, TopicsWithWildcardsAreRefused) {
    EXPECT_TRUE(MosquittoClient::IsValidPublishTopic("a/b"));
    EXPECT_TRUE(MosquittoClient::IsValidPublishTopic("a b/c"));
    EXPECT_FALSE(MosquittoClient::IsValidPublishTopic(""));
    EXPECT_FALSE(MosquittoClient::IsValidPublishTopic("a/+/b"));
    EXPECT_FALSE(MosquittoClient::IsValidPublishTopic("a/#"));
    EXPECT_FALSE(MosquittoClient::IsValidPublishTopic(std::string("a\xff", 2)));

    startBroker();
    connectClient(settingsFor(broker->port(), "wild"));
    // The "online" message of the connection is queued until the broker takes it.
    ASSERT_TRUE(waitUntil([&] { return client->GetQueuedCount() == 0; }, 10000));
    EXPECT_FALSE(client->PublishRaw("a/+/b", "x", false, 1));
    EXPECT_EQ(client->GetStats().failed, 1u);
    EXPECT_EQ(client->GetQueuedCount(), 0u);
    EXPECT_TRUE(log.contains("MQTT: cannot publish to a/+/b")) << log.text();
}

TEST_F(MosquittoClientTest, ABrokerThatStopsReadingCannotGrowTheQueue) {
    startBroker();
    MosquittoSettings s = settingsFor(broker->port(), "stalled");
    s.maxQueued = 50;
    connectClient(s);
    MqttSubscriber sub;
    std::string error;
    ASSERT_TRUE(sub.connect(broker->port(), {"stalled/#"}, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return client->GetQueuedCount() == 0; }, 10000)); // "online" went out

    ASSERT_TRUE(broker->pause());
    int accepted = 0;
    for (int i = 0; i < 200; i++) {
        accepted += client->PublishRaw("stalled/n", std::to_string(i), false, 1);
    }
    EXPECT_EQ(accepted, 50);
    MosquittoClient::Stats st = client->GetStats();
    EXPECT_EQ(st.queued, 50u);
    EXPECT_EQ(st.dropped, 150u);
    EXPECT_EQ(log.count("dropping messages until it catches up"), 1) << log.text();
    Json::Value status;
    client->GetStatus(status);
    EXPECT_EQ(status["queued"].asUInt64(), 50u);
    EXPECT_EQ(status["maxQueued"].asUInt64(), 50u);
    EXPECT_EQ(status["dropped"].asUInt64(), 150u);
    // tavod's own status still has a little room.
    EXPECT_TRUE(client->Publish("player/status", "playing"));

    broker->resume();
    ASSERT_TRUE(sub.waitForCount("stalled/n", 50, 20000));
    std::vector<std::string> expected;
    for (int i = 0; i < 50; i++) {
        expected.push_back(std::to_string(i));
    }
    EXPECT_EQ(sub.payloads("stalled/n"), expected);
    ASSERT_TRUE(waitUntil([&] { return client->GetQueuedCount() == 0; }, 10000));
    EXPECT_TRUE(client->PublishRaw("stalled/n", "after", false, 1));
    ASSERT_TRUE(sub.waitForPayload("stalled/n", "after", 10000));
}

namespace {
int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) {
            n++;
        }
        closedir(d);
    }
    return n;
}
} // namespace

TEST_F(MosquittoClientTest, ABrokerThatNeverAnswersIsGivenUpAndTriedAgain) {
    startBroker();
    ASSERT_TRUE(broker->pause()); // takes the connection (the kernel does), never answers
    MosquittoSettings s = settingsFor(broker->port(), "mute");
    s.connectTimeoutMS = 300;
    s.reconnectDelayMS = 50;
    s.reconnectDelayMaxMS = 50;
    int before = openDescriptors();
    startClient(s);
    // The client gives the reason first and the state last: waiting for the state
    // finds both (the other way round, a slow machine sees the state still Connecting).
    ASSERT_TRUE(waitUntil([&] { return client->GetState() == MosquittoClient::State::Unreachable; }, 20000))
        << client->GetLastError();
    EXPECT_EQ(client->GetLastError(), "no answer within 0.3 s");
    // Several attempts later, each one's socket is gone again.
    ASSERT_TRUE(waitUntil([&] { return log.count("still unreachable: no answer within 0.3 s") >= 5; }, 30000))
        << log.text();
    EXPECT_LE(openDescriptors(), before + 4);
    broker->resume();
    ASSERT_TRUE(waitUntil([&] { return client->IsConnected(); }, 20000)) << client->GetLastError();
}

TEST_F(MosquittoClientTest, WrongCredentialsAreRefusedWithAWarningAndALogLine) {
    MosquittoBroker::Options o;
    o.user = "show";
    o.password = "s3cret";
    startBroker(o);
    MosquittoSettings s = settingsFor(broker->port(), "creds");
    s.username = "show";
    s.password = "wrong";
    startClient(s);
    ASSERT_TRUE(waitUntil([&] { return client->GetState() == MosquittoClient::State::Refused; }, 20000))
        << MosquittoClient::StateName(client->GetState()) << " " << client->GetLastError();
    std::string where = "127.0.0.1:" + std::to_string(broker->port());
    EXPECT_TRUE(hasWarning("MQTT broker " + where + " refused the connection (")) << log.text();
    EXPECT_TRUE(hasWarning("check MQTTUsername and MQTTPassword"));
    bool errorLine = false;
    for (const LogLine& l : log.lines()) {
        errorLine |=
            l.level == LOG_ERR && l.text.find("MQTT broker " + where + " refused the connection") == 0;
    }
    EXPECT_TRUE(errorLine) << log.text();
    EXPECT_EQ(log.text().find("wrong"), std::string::npos) << "the password is never logged";
    Json::Value status;
    client->GetStatus(status);
    EXPECT_EQ(status["state"].asString(), "refused");
    EXPECT_FALSE(status["connected"].asBool());
    EXPECT_FALSE(status["lastError"].asString().empty());

    // The right ones connect, and the warning goes.
    client.reset();
    EXPECT_FALSE(hasWarning("refused the connection"));
    s.password = "s3cret";
    connectClient(s);
    EXPECT_FALSE(hasWarning("MQTT broker"));
}

TEST_F(MosquittoClientTest, NoCredentialsAgainstABrokerThatWantsThemIsRefused) {
    MosquittoBroker::Options o;
    o.user = "show";
    o.password = "s3cret";
    startBroker(o);
    startClient(settingsFor(broker->port(), "anon"));
    ASSERT_TRUE(waitUntil([&] { return client->GetState() == MosquittoClient::State::Refused; }, 20000));
    EXPECT_EQ(client->GetLastError(), "not authorised");
}

TEST_F(MosquittoClientTest, TLSWithTheTestsOwnCertificate) {
    MosquittoBroker::Options o;
    o.tls = true;
    startBroker(o);
    MosquittoSettings s = settingsFor(broker->port(), "tls");
    s.caFile = broker->caFile();
    connectClient(s);
    MqttSubscriber sub;
    MqttSubscriber::Options so;
    so.caFile = broker->caFile();
    std::string error;
    ASSERT_TRUE(sub.connect(broker->port(), {"secure/#"}, error, so)) << error;
    EXPECT_TRUE(client->PublishRaw("secure/lamp", "0,0,255", false, 1));
    ASSERT_TRUE(sub.waitForPayload("secure/lamp", "0,0,255", 10000));
    Json::Value status;
    client->GetStatus(status);
    EXPECT_TRUE(status["tls"].asBool());
}

TEST_F(MosquittoClientTest, TLSWithAnotherCAIsNotTrusted) {
    MosquittoBroker::Options o;
    o.tls = true;
    startBroker(o);
    MosquittoSettings s = settingsFor(broker->port(), "tlsbad");
    s.caFile = broker->otherCaFile();
    startClient(s);
    ASSERT_TRUE(waitUntil([&] { return client->GetState() == MosquittoClient::State::Unreachable; }, 20000));
    EXPECT_NE(client->GetLastError().find("TLS handshake failed"), std::string::npos)
        << client->GetLastError();
    EXPECT_TRUE(hasWarning("cannot be reached: the TLS handshake failed"));
    EXPECT_FALSE(client->IsConnected());
}

TEST_F(MosquittoClientTest, PlainClientAgainstATLSBrokerDoesNotConnect) {
    MosquittoBroker::Options o;
    o.tls = true;
    startBroker(o);
    startClient(settingsFor(broker->port(), "plain"));
    ASSERT_TRUE(waitUntil([&] { return client->GetState() == MosquittoClient::State::Unreachable; }, 30000));
    EXPECT_FALSE(client->IsConnected());
}

TEST_F(MosquittoClientTest, UnreachableBrokerWarnsAndStartDoesNotWait) {
    TempDir d;
    MosquittoBroker probe(d.path());
    std::string error;
    ASSERT_TRUE(probe.start(error)) << error;
    int port = probe.port();
    probe.stop(); // nothing listens there now
    startClient(settingsFor(port, "down"));
    std::string where = "127.0.0.1:" + std::to_string(port);
    // The state is set last, after the reason and the warning: wait for it.
    ASSERT_TRUE(waitUntil([&] { return client->GetState() == MosquittoClient::State::Unreachable; }, 20000))
        << log.text();
    EXPECT_TRUE(hasWarning("MQTT broker " + where + " cannot be reached")) << log.text();
    EXPECT_EQ(client->GetLastError(), "Connection refused");
    EXPECT_TRUE(log.contains("MQTT broker " + where + " cannot be reached: Connection refused"))
        << log.text();
    // It keeps trying, quietly.
    ASSERT_TRUE(waitUntil([&] { return log.count("still unreachable") >= 1; }, 20000)) << log.text();
    EXPECT_EQ(log.count("cannot be reached: Connection refused; trying again"), 1) << log.text();
}

TEST_F(MosquittoClientTest, AHostThatDoesNotResolveIsTriedAgain) {
    MosquittoSettings s = settingsFor(1883, "noname");
    s.host = "no-such-broker.invalid";
    startClient(s);
    ASSERT_TRUE(waitUntil([&] { return client->GetState() == MosquittoClient::State::Unreachable; }, 60000));
    EXPECT_EQ(client->GetLastError(), "the host name no-such-broker.invalid cannot be resolved");
    // libmosquitto's own loop would have ended here for good; ours goes on.
    ASSERT_TRUE(waitUntil([&] { return log.count("still unreachable") >= 1; }, 60000)) << log.text();
}

TEST_F(MosquittoClientTest, StartAndStopDoNotWaitForAnUnansweredConnection) {
    // An address that swallows the connection attempt (or refuses at once where the
    // machine has no route): neither Start nor Stop may wait for it.
    MosquittoSettings s = settingsFor(1883, "blackhole");
    s.host = "10.255.255.1";
    int64_t t0 = mqtttest::nowUs();
    startClient(s);
    int64_t started = mqtttest::nowUs() - t0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(client->IsConnected());
    t0 = mqtttest::nowUs();
    client->Stop();
    int64_t stopped = mqtttest::nowUs() - t0;
    // A TCP connect gives up after minutes; these bounds only catch waiting for it.
    EXPECT_LT(started, 5000000);
    EXPECT_LT(stopped, 5000000);
}

TEST_F(MosquittoClientTest, ReconnectsByItselfAfterTheBrokerRestarts) {
    startBroker();
    connectClient(settingsFor(broker->port(), "again"));
    std::string where = "127.0.0.1:" + std::to_string(broker->port());
    broker->stop();
    ASSERT_TRUE(waitUntil([&] { return !client->IsConnected(); }, 20000));
    ASSERT_TRUE(waitUntil([&] { return hasWarning("MQTT broker " + where + " cannot be reached"); }, 20000));
    EXPECT_TRUE(log.contains("MQTT connection to " + where + " dropped")) << log.text();
    EXPECT_FALSE(client->PublishRaw("x/y", "1", false, 1));

    std::string error;
    bool taken = false;
    if (!broker->restart(error, &taken)) {
        ASSERT_TRUE(taken) << error;
        GTEST_SKIP() << "the broker's port was taken while it was down: " << error;
    }
    MqttSubscriber sub;
    ASSERT_TRUE(sub.connect(broker->port(), {"tavo/again/status", "x/#"}, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return client->IsConnected(); }, 30000)) << client->GetLastError();
    EXPECT_EQ(client->GetConnectionCount(), 2u);
    EXPECT_TRUE(log.contains("MQTT: connected to " + where + " again")) << log.text();
    EXPECT_FALSE(hasWarning("MQTT broker"));
    EXPECT_TRUE(client->GetLastError().empty());
    ASSERT_TRUE(sub.waitForPayload("tavo/again/status", "online", 10000));
    EXPECT_TRUE(client->PublishRaw("x/y", "2", false, 1));
    ASSERT_TRUE(sub.waitForPayload("x/y", "2", 10000));
}

TEST_F(MosquittoClientTest, CallbacksGetTheirTopicsAndSurviveAReconnection) {
    startBroker();
    MosquittoSettings s = settingsFor(broker->port(), "cb");
    std::mutex lock;
    std::vector<std::string> got;
    client.reset(new MosquittoClient(s));
    client->AddCallback("tavo/cb/command", [&](const std::string& topic, const std::string& payload) {
        std::lock_guard<std::mutex> l(lock);
        got.push_back(topic + "=" + payload);
    });
    std::string error;
    ASSERT_TRUE(client->Start(error)) << error;
    ASSERT_TRUE(waitUntil([&] { return client->IsConnected(); }, 20000));
    auto received = [&] {
        std::lock_guard<std::mutex> l(lock);
        return got;
    };

    MqttSubscriber pub;
    ASSERT_TRUE(pub.connect(broker->port(), {}, error)) << error;
    // The subscription is made on connection: wait for it to carry.
    ASSERT_TRUE(waitUntil(
        [&] {
            pub.publish("tavo/cb/command", "one");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return !received().empty();
        },
        10000));
    ASSERT_TRUE(pub.publish("tavo/cb/other", "no"));
    ASSERT_TRUE(pub.publish("tavo/cb/command", "two"));
    ASSERT_TRUE(waitUntil([&] { return received().back() == "tavo/cb/command=two"; }, 10000));
    for (const std::string& r : received()) {
        EXPECT_TRUE(r == "tavo/cb/command=one" || r == "tavo/cb/command=two") << r;
    }

    broker->stop();
    ASSERT_TRUE(waitUntil([&] { return !client->IsConnected(); }, 20000));
    bool taken = false;
    if (!broker->restart(error, &taken)) {
        ASSERT_TRUE(taken) << error;
        GTEST_SKIP() << "the broker's port was taken while it was down: " << error;
    }
    ASSERT_TRUE(waitUntil([&] { return client->IsConnected(); }, 30000));
    MqttSubscriber pub2;
    ASSERT_TRUE(pub2.connect(broker->port(), {}, error)) << error;
    ASSERT_TRUE(waitUntil(
        [&] {
            pub2.publish("tavo/cb/command", "three");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return received().back() == "tavo/cb/command=three";
        },
        10000));
    EXPECT_GE(client->GetStats().received, 3u);
}

TEST(MosquittoSettingsTest, EmptyHostMeansOff) {
    clearSettings();
    MosquittoSettings s;
    std::string error;
    EXPECT_TRUE(MosquittoSettings::FromHostSettings(s, error));
    EXPECT_TRUE(s.host.empty());
    EXPECT_TRUE(error.empty());
}

TEST(MosquittoSettingsTest, DefaultsComeFromTheHostName) {
    clearSettings();
    setSetting("MQTTHost", " broker.local ");
    setSetting("HostName", "stage left!");
    MosquittoSettings s;
    std::string error;
    ASSERT_TRUE(MosquittoSettings::FromHostSettings(s, error)) << error;
    EXPECT_EQ(s.host, "broker.local");
    EXPECT_EQ(s.port, 1883);
    EXPECT_EQ(s.clientId, "tavod-stageleft");
    EXPECT_EQ(s.prefix, "tavo/stageleft");
    EXPECT_TRUE(s.caFile.empty());
    EXPECT_TRUE(s.username.empty());
    clearSettings();
}

TEST(MosquittoSettingsTest, EverySettingIsRead) {
    clearSettings();
    TempDir d;
    writeFileBytes(d.file("ca.crt"), "x");
    setSetting("MQTTHost", "10.0.0.5");
    setSetting("MQTTPort", "8883");
    setSetting("MQTTClientId", "porch");
    setSetting("MQTTUsername", "u");
    setSetting("MQTTPassword", "p w");
    setSetting("MQTTCaFile", d.file("ca.crt"));
    setSetting("MQTTPrefix", "shows/porch/");
    MosquittoSettings s;
    std::string error;
    ASSERT_TRUE(MosquittoSettings::FromHostSettings(s, error)) << error;
    EXPECT_EQ(s.port, 8883);
    EXPECT_EQ(s.clientId, "porch");
    EXPECT_EQ(s.username, "u");
    EXPECT_EQ(s.password, "p w");
    EXPECT_EQ(s.caFile, d.file("ca.crt"));
    EXPECT_EQ(s.prefix, "shows/porch"); // no trailing '/': topics are PREFIX/status
    clearSettings();
}

TEST(MosquittoSettingsTest, UnusableValuesAreReported) {
    struct Case {
        const char* name;
        const char* value;
        const char* error;
    };
    const Case cases[] = {
        {"MQTTPort", "abc", "MQTTPort \"abc\" is not a TCP port (1 to 65535)"},
        {"MQTTPort", "0", "MQTTPort \"0\" is not a TCP port (1 to 65535)"},
        {"MQTTPort", "70000", "MQTTPort \"70000\" is not a TCP port (1 to 65535)"},
        {"MQTTCaFile", "/no/such/ca.crt",
         "MQTTCaFile /no/such/ca.crt cannot be read: No such file or directory"},
        {"MQTTPrefix", "shows/#", "MQTTPrefix \"shows/#\" cannot start a topic"},
        {"MQTTPrefix", "a/+/b", "MQTTPrefix \"a/+/b\" cannot start a topic"},
        {"MQTTPrefix", "/", "MQTTPrefix \"/\" cannot start a topic"},
    };
    for (const Case& c : cases) {
        clearSettings();
        setSetting("MQTTHost", "127.0.0.1");
        setSetting(c.name, c.value);
        MosquittoSettings s;
        std::string error;
        EXPECT_FALSE(MosquittoSettings::FromHostSettings(s, error)) << c.name << "=" << c.value;
        EXPECT_EQ(error.find(c.error), 0u) << error;
    }
    clearSettings();
}

TEST(MosquittoClientStart, AnUnreadableCaFileStopsTheStart) {
    MosquittoSettings s = settingsFor(1883, "badca");
    s.caFile = "/no/such/ca.crt";
    MosquittoClient c(s);
    std::string error;
    EXPECT_FALSE(c.Start(error));
    EXPECT_EQ(error.find("MQTTCaFile /no/such/ca.crt cannot be used"), 0u) << error;
    EXPECT_EQ(c.GetState(), MosquittoClient::State::Stopped);
}

TEST(MosquittoClientStart, NoHostNoStart) {
    MosquittoClient c(MosquittoSettings{});
    std::string error;
    EXPECT_FALSE(c.Start(error));
    EXPECT_FALSE(error.empty());
}
