// The /gpio pin list served over a real socket on 127.0.0.1 by the HTTP layer, and
// the resource's own answers for requests routed to it from elsewhere.
#include "GpioTestSupport.h"

#include "HttpTestClient.h"
#include "LoopbackListener.h"
#include "host/core/JsonUtils.h"
#include "LogCapture.h"

namespace {

class GPIOHttpTest : public GPIOTestBase {
protected:
    void SetUp() override {
        GPIOTestBase::SetUp();
        LoopbackListener listener;
        ASSERT_TRUE(listener.ok());
        m_port = listener.port();
        m_server.reset(
            new httpserver::webserver(httpserver::create_webserver().bind_socket(listener.release())));
        ASSERT_TRUE(m_server->register_resource("/gpio", &GPIOManager::INSTANCE, true));
        ASSERT_TRUE(m_server->start(false));
    }
    void TearDown() override {
        m_server->stop();
        GPIOTestBase::TearDown();
    }
    Json::Value parse(const std::string& body) {
        Json::Value v;
        EXPECT_TRUE(LoadJsonFromString(body, v)) << body;
        return v;
    }

    uint16_t m_port = 0;
    std::unique_ptr<httpserver::webserver> m_server;
};

} // namespace

TEST_F(GPIOHttpTest, FullDescriptionsAndNamesOnly) {
    usePins({"B1", "B2"}, {"P1"});
    HttpTestResponse r = httpGet(m_port, "/gpio");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    Json::Value all = parse(r.body);
    ASSERT_TRUE(all.isArray());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]["pin"].asString(), "B1");
    EXPECT_EQ(all[0]["gpio"].asInt(), 1);
    EXPECT_TRUE(all[0]["supportsGpiod"].asBool());
    EXPECT_EQ(all[2]["pin"].asString(), "P1");
    EXPECT_FALSE(all[2]["supportsGpiod"].asBool());
    // Each element is the pin's own description.
    EXPECT_EQ(all[1], pin("B2")->toJSON());

    r = httpGet(m_port, "/gpio?list=true");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.body, R"(["B1","B2","P1"])");
}

TEST_F(GPIOHttpTest, OnlyExactTrueSelectsNames) {
    usePins({"B1"});
    std::string full = httpGet(m_port, "/gpio").body;
    ASSERT_EQ(parse(full)[0]["pin"].asString(), "B1");
    for (const char* q :
         {"/gpio?list=TRUE", "/gpio?list=1", "/gpio?list=True", "/gpio?list=", "/gpio?other=true"}) {
        HttpTestResponse r = httpGet(m_port, q);
        EXPECT_EQ(r.status, 200) << q;
        EXPECT_EQ(r.body, full) << q;
    }
    // The first value counts.
    EXPECT_EQ(httpGet(m_port, "/gpio?list=true&list=false").body, R"(["B1"])");
    EXPECT_EQ(httpGet(m_port, "/gpio/?list=true").body, R"(["B1"])");
}

TEST_F(GPIOHttpTest, OtherPathsAreNotFound) {
    usePins({"B1"});
    for (const char* path : {"/gpio/extra", "/other", "/gpio/extra?list=true"}) {
        HttpTestResponse r = httpGet(m_port, path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.header("content-type"), "text/plain") << path;
        EXPECT_EQ(r.body, "Not Found") << path;
    }
    // Routed to the resource from anywhere, it answers for "gpio" alone.
    for (const char* path : {"/other", "/", "", "/GPIO", "/gpios", "/x/gpio"}) {
        httpserver::http_request req;
        req.set_path(path);
        auto resp = GPIOManager::INSTANCE.render_GET(req);
        EXPECT_EQ(resp->get_response_code(), 404) << path;
        EXPECT_EQ(resp->get_header("Content-Type"), "text/plain");
        std::string body;
        resp->get_body(body);
        EXPECT_EQ(body, "Not Found");
    }
}

TEST_F(GPIOHttpTest, NoPinsGivesAnEmptyArray) {
    PinCapabilities::ClearPins();
    for (const char* path : {"/gpio", "/gpio?list=true"}) {
        HttpTestResponse r = httpGet(m_port, path);
        EXPECT_EQ(r.status, 200) << path;
        EXPECT_EQ(r.header("content-type"), "application/json");
        EXPECT_EQ(r.body, "[]") << path;
    }
}

TEST_F(GPIOHttpTest, OtherMethodsKeepTheLibraryDefault) {
    usePins({"B1"});
    HttpTestResponse r = httpRequest(m_port, "POST", "/gpio", "x");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
}

TEST(PinsConfigTest, PinsJsonSelectsTheProviderAndReportsBadPins) {
    TempDir media;
    setTavoMediaDir(media.path());
    mkdir(media.file("config").c_str(), 0777);
    writeFileBytes(media.file("config/pins.json"), R"({"provider": "simulated", "simulatedDir": "pins",
        "pins": [{"name": "A", "gpio": 4}, {"name": "a/b"}, {"gpio": 3}, {"name": "C", "edges": "no"},
                 {"name": "A"}, {"name": "D", "edges": false}]})");
    LogCapture log;
    EXPECT_FALSE(PinCapabilities::InitPinCapabilities());
    EXPECT_TRUE(log.contains("pins.json: pin 1 needs a \"name\"")) << log.text();
    EXPECT_TRUE(log.contains("pins.json: pin C: \"edges\" must be true or false")) << log.text();
    EXPECT_TRUE(log.contains("pins.json: pin name A is given twice")) << log.text();
    EXPECT_EQ(PinCapabilities::getPinNames(), std::vector<std::string>({"A", "D"}));
    EXPECT_EQ(PinCapabilities::getPinByGPIO(4).ptr(), PinCapabilities::getPinByName("A").ptr());
    EXPECT_EQ(PinCapabilities::getPinByGPIO(5).ptr(), nullptr);
    EXPECT_EQ(PinCapabilities::getPinByName("a/b").ptr(), nullptr);
    EXPECT_FALSE(PinCapabilities::getPinByName("D").supportsGpiod());

    // The value file is read as it stands; the test side writes it.
    const PinCapabilities* a = PinCapabilities::getPinByName("A").ptr();
    EXPECT_EQ(a->getValue(), 0);
    writeFileBytes(media.file("pins/A.value"), "5\n");
    EXPECT_EQ(a->getValue(), 5);
    writeFileBytes(media.file("pins/A.value"), "garbage");
    EXPECT_EQ(a->getValue(), 0);
    a->setValue(true);
    EXPECT_EQ(readFileBytes(media.file("pins/A.value")), "1\n");

    writeFileBytes(media.file("config/pins.json"), R"({"provider": "wires"})");
    EXPECT_FALSE(PinCapabilities::InitPinCapabilities());
    EXPECT_TRUE(PinCapabilities::getPinNames().empty());

    // A gpiod table entry needs its chip and line; a chip that is not there fails when used.
    writeFileBytes(media.file("config/pins.json"),
                   R"({"provider": "gpiod", "pins": [{"name": "G", "chip": "nochip99", "line": 3, "gpio": 3},
                                                      {"name": "H", "line": 1}]})");
    EXPECT_FALSE(PinCapabilities::InitPinCapabilities());
    ASSERT_EQ(PinCapabilities::getPinNames(), std::vector<std::string>({"G"}));
    const PinCapabilities* g = PinCapabilities::getPinByName("G").ptr();
    EXPECT_EQ(g->toJSON()["gpioChip"].asString(), "nochip99");
    EXPECT_EQ(g->toJSON()["gpioLine"].asInt(), 3);
    EXPECT_TRUE(log.contains("pin H needs \"chip\"")) << log.text();
    EXPECT_FALSE(g->configPin("gpio", false, "GPIO Input"));
    EXPECT_TRUE(log.contains("Cannot open GPIO chip nochip99 for G")) << log.text();
    EXPECT_EQ(g->requestEventFile(true, true), -1);
    EXPECT_EQ(g->getValue(), 0);
    // Read over and over by polling, a missing chip is reported once.
    for (int i = 0; i < 5; i++) {
        g->getValue();
    }
    EXPECT_EQ(log.count("Cannot open GPIO chip nochip99 for G"), 1) << log.text();
    PinCapabilities::ClearPins();
}
