// The web preview server's limits: connections per port and per address, what a
// connection may send, and how soon its request must be complete.
#include "RequestWatch.h"
#include "WebPreviewOutput.h"

#include "LogCapture.h"
#include "RawTcpClient.h"
#include "WebPreviewTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace webpreview_test;

namespace {

const std::string REQUEST = "GET / HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n";

Json::Value config(const Json::Value& limits = Json::Value(Json::objectValue)) {
    Json::Value c = limits;
    c["type"] = "WebPreview";
    c["port"] = 0;
    c["layout"]["type"] = "matrix";
    c["layout"]["width"] = 4;
    c["layout"]["height"] = 2;
    return c;
}

class WebPreviewLimits : public ::testing::Test {
protected:
    void start(const Json::Value& limits) {
        m_output.reset(new WebPreviewOutput(0, 24));
        ASSERT_EQ(m_output->Init(config(limits)), 1) << m_log.text();
        m_port = (uint16_t)m_output->GetPort();
        m_channels.assign(64, 0);
    }
    void TearDown() override {
        m_clients.clear();
        m_output.reset();
    }
    // A browser from `from` that got the stream's header.
    RawTcpClient* browser(const std::string& from = "127.0.0.1", bool sendRequest = true) {
        m_clients.emplace_back(new RawTcpClient(m_port, from));
        RawTcpClient* c = m_clients.back().get();
        EXPECT_TRUE(c->ok());
        if (sendRequest) {
            c->send(REQUEST);
        }
        c->read(3000, "\r\n\r\n");
        EXPECT_EQ(c->status(), 200) << c->received();
        return c;
    }
    void frame(unsigned char value) {
        m_channels[0] = value;
        m_output->PrepData(m_channels.data());
        m_output->SendData(m_channels.data());
    }
    // Whether `c` gets the next frame's chunk.
    bool getsFrames(RawTcpClient* c) {
        const size_t before = c->received().size();
        // The preview keeps 6 bits a colour: each frame's value differs above the lowest two.
        frame((unsigned char)((m_frame++ % 63 + 1) * 4));
        c->read(2000, "data: ");
        return c->received().size() > before && !c->closedByPeer();
    }

    LogCapture m_log;
    std::unique_ptr<WebPreviewOutput> m_output;
    uint16_t m_port = 0;
    std::vector<unsigned char> m_channels;
    std::vector<std::unique_ptr<RawTcpClient>> m_clients;
    int m_frame = 0;
};

} // namespace

TEST(WebPreviewRequestWatch, TheHeadEndsAtTheFirstEmptyLine) {
    RequestWatch w(0);
    EXPECT_EQ(w.Received("GET / HTTP/1.1\r\nHost: x\r\n", 25), RequestWatch::Verdict::Fine);
    EXPECT_FALSE(w.HeadComplete());
    EXPECT_EQ(w.Received("\r", 1), RequestWatch::Verdict::Fine);
    EXPECT_FALSE(w.HeadComplete());
    EXPECT_EQ(w.Received("\n", 1), RequestWatch::Verdict::Fine);
    EXPECT_TRUE(w.HeadComplete());
    EXPECT_EQ(w.BytesReceived(), 27u);
    // Once complete, time no longer matters.
    EXPECT_EQ(w.Check(1000LL * 1000000), RequestWatch::Verdict::Fine);

    RequestWatch bare(0);
    bare.Received("GET / HTTP/1.0\nA: b\n\n", 21);
    EXPECT_TRUE(bare.HeadComplete());

    // Empty lines before the request line are skipped, not taken for its end.
    RequestWatch leading(0);
    leading.Received("\r\n\r\n\n", 5);
    EXPECT_FALSE(leading.HeadComplete());
    leading.Received("GET / HTTP/1.1\r\n\r\n", 18);
    EXPECT_TRUE(leading.HeadComplete());

    // One byte at a time is the same as all at once.
    RequestWatch trickle(0);
    for (char c : REQUEST) {
        trickle.Received(&c, 1);
    }
    EXPECT_TRUE(trickle.HeadComplete());
    EXPECT_EQ(trickle.BytesReceived(), REQUEST.size());
}

TEST(WebPreviewRequestWatch, SizesAndTimeHaveTheirLimits) {
    RequestWatch big(0);
    const std::string line = "X: " + std::string(RequestWatch::MAX_HEAD_BYTES, 'a');
    EXPECT_EQ(big.Received(line.data(), RequestWatch::MAX_HEAD_BYTES - 1), RequestWatch::Verdict::Fine);
    EXPECT_EQ(big.Received("a", 1), RequestWatch::Verdict::HeadTooLarge);

    // A head ending on the limit's last byte is fine.
    RequestWatch edge(0);
    std::string exact = "GET / HTTP/1.1\r\nX: ";
    exact += std::string(RequestWatch::MAX_HEAD_BYTES - exact.size() - 4, 'b') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), RequestWatch::MAX_HEAD_BYTES);
    EXPECT_EQ(edge.Received(exact.data(), exact.size()), RequestWatch::Verdict::Fine);
    EXPECT_TRUE(edge.HeadComplete());

    RequestWatch chatty(0);
    chatty.Received(REQUEST.data(), REQUEST.size());
    const std::string more(RequestWatch::MAX_TOTAL_BYTES - REQUEST.size(), 'c');
    EXPECT_EQ(chatty.Received(more.data(), more.size()), RequestWatch::Verdict::Fine);
    EXPECT_EQ(chatty.Received("c", 1), RequestWatch::Verdict::TooMuchData);

    RequestWatch slow(5000000, 2000000);
    slow.Received("GET / HTTP/1.1\r\n", 16);
    EXPECT_EQ(slow.Check(7000000), RequestWatch::Verdict::Fine);
    EXPECT_EQ(slow.Check(7000001), RequestWatch::Verdict::TooSlow);
    EXPECT_STREQ(RequestWatch::Describe(RequestWatch::Verdict::TooSlow), "no complete request in time");
}

TEST_F(WebPreviewLimits, ConnectionsBeyondThePortsLimitAreAnswered503) {
    Json::Value limits;
    limits["maxConnections"] = 3;
    start(limits);
    std::vector<RawTcpClient*> served;
    for (int i = 0; i < 3; i++) {
        served.push_back(browser("127.0.0." + std::to_string(10 + i)));
    }
    // Their requests are in: none of them is a place to be made free.
    ASSERT_TRUE(waitFor(
        [&] { return m_output->GetConnectionCount() == 3 && m_output->GetUnfinishedRequestCount() == 0; },
        3000));
    RawTcpClient extra(m_port, "127.0.0.20");
    ASSERT_TRUE(extra.ok());
    EXPECT_TRUE(extra.waitClosed(3000));
    EXPECT_EQ(extra.status(), 503) << extra.received();
    EXPECT_NE(extra.received().find("Retry-After: 10\r\n"), std::string::npos);
    EXPECT_NE(extra.received().find("Too many preview connections"), std::string::npos);
    EXPECT_EQ(m_output->GetRefusedCount(), 1u);
    EXPECT_TRUE(m_log.contains("refused a connection: 3 connections already (\"maxConnections\")"))
        << m_log.text();
    for (RawTcpClient* c : served) {
        EXPECT_TRUE(getsFrames(c));
    }
    Json::Value status;
    m_output->GetStatus(status);
    EXPECT_EQ(status["connections"].asInt(), 3);
    EXPECT_EQ(status["refusedConnections"].asInt(), 1);

    // One leaves; the next is served.
    m_clients.front()->close();
    ASSERT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 2; }, 3000));
    EXPECT_TRUE(getsFrames(browser("127.0.0.21")));
}

TEST_F(WebPreviewLimits, APortFullOfUnfinishedRequestsMakesRoomForABrowser) {
    Json::Value limits;
    limits["maxConnections"] = 3;
    start(limits);
    RawTcpClient* good = browser("127.0.0.10");
    // Two that never finish their request hold the other places.
    RawTcpClient* first = browser("127.0.0.11", false);
    first->send("GET / HT");
    ASSERT_TRUE(waitFor([&] { return m_output->GetUnfinishedRequestCount() == 1; }, 3000));
    RawTcpClient* second = browser("127.0.0.12", false);
    second->send("GET / HT");
    ASSERT_TRUE(waitFor(
        [&] { return m_output->GetConnectionCount() == 3 && m_output->GetUnfinishedRequestCount() == 2; },
        3000));
    // A browser is served all the same: the oldest unfinished one gives way.
    RawTcpClient* late = browser("127.0.0.13");
    EXPECT_TRUE(first->waitClosed(3000));
    EXPECT_FALSE(second->closedByPeer());
    EXPECT_EQ(m_output->GetRefusedCount(), 0u);
    EXPECT_EQ(m_output->GetDroppedCount(), 1u);
    EXPECT_TRUE(m_log.contains("dropped a connection whose request was not complete")) << m_log.text();
    EXPECT_TRUE(getsFrames(late));
    EXPECT_TRUE(getsFrames(good));
    // With every place held by a finished request, the next is refused.
    second->send("TP/1.1\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return m_output->GetUnfinishedRequestCount() == 0; }, 3000));
    RawTcpClient extra(m_port, "127.0.0.14");
    EXPECT_TRUE(extra.waitClosed(3000));
    EXPECT_EQ(extra.status(), 503) << extra.received();
}

TEST_F(WebPreviewLimits, OneAddressGetsItsShareAndOthersAreStillServed) {
    Json::Value limits;
    limits["maxConnectionsPerAddress"] = 2;
    start(limits);
    browser("127.0.0.1");
    browser("127.0.0.1");
    ASSERT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 2; }, 3000));
    RawTcpClient third(m_port, "127.0.0.1");
    EXPECT_TRUE(third.waitClosed(3000));
    EXPECT_EQ(third.status(), 503);
    EXPECT_TRUE(m_log.contains("2 connections from 127.0.0.1 already")) << m_log.text();
    RawTcpClient* other = browser("127.0.0.2");
    EXPECT_TRUE(getsFrames(other));
    EXPECT_EQ(m_output->GetConnectionCount(), 3u);
}

TEST_F(WebPreviewLimits, AConnectionSendingTooMuchIsDropped) {
    start(Json::Value(Json::objectValue));
    RawTcpClient* good = browser();
    RawTcpClient* chatty = browser("127.0.0.3");
    // A request, then a flood no browser sends.
    const std::string flood(32 * 1024, 'x');
    chatty->send(flood);
    EXPECT_TRUE(chatty->waitClosed(5000));
    EXPECT_EQ(m_output->GetDroppedCount(), 1u);
    EXPECT_TRUE(m_log.contains("dropped a connection: sent more than 16 KiB")) << m_log.text();
    EXPECT_TRUE(getsFrames(good));

    // A head that never ends within 8 KiB.
    RawTcpClient* endless = browser("127.0.0.4", false);
    endless->send("GET / HTTP/1.1\r\nX-Long: " + std::string(9000, 'y'));
    EXPECT_TRUE(endless->waitClosed(5000));
    EXPECT_EQ(m_output->GetDroppedCount(), 2u);
    EXPECT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 1; }, 3000));
    EXPECT_TRUE(getsFrames(good));
}

TEST_F(WebPreviewLimits, ARequestTrickledOrNeverSentIsDroppedInTime) {
    Json::Value limits;
    limits["requestTimeout"] = 1;
    start(limits);
    RawTcpClient* good = browser();
    RawTcpClient* silent = browser("127.0.0.5", false);
    RawTcpClient* slow = browser("127.0.0.6", false);
    const int64_t began = nowMs();
    // One byte every 100 ms: never idle, never complete in time.
    for (size_t i = 0; i < REQUEST.size() - 2 && !slow->closedByPeer(); i++) {
        slow->send(REQUEST.substr(i, 1));
        slow->read(100);
        EXPECT_TRUE(getsFrames(good)) << "the stream goes on meanwhile";
    }
    EXPECT_TRUE(slow->waitClosed(5000));
    EXPECT_TRUE(silent->waitClosed(5000));
    EXPECT_GE(nowMs() - began, 900) << "dropped before its time";
    EXPECT_EQ(m_output->GetDroppedCount(), 2u);
    // The browser that sent its request in time keeps its stream.
    EXPECT_FALSE(good->closedByPeer());
    EXPECT_TRUE(getsFrames(good));
    EXPECT_TRUE(waitFor([&] { return m_output->GetConnectionCount() == 1; }, 3000));
}

TEST_F(WebPreviewLimits, FloodsOfRefusalsAreLoggedNowAndThen) {
    Json::Value limits;
    limits["maxConnections"] = 1;
    start(limits);
    browser();
    ASSERT_TRUE(waitFor(
        [&] { return m_output->GetConnectionCount() == 1 && m_output->GetUnfinishedRequestCount() == 0; },
        3000));
    for (int i = 0; i < 10; i++) {
        RawTcpClient extra(m_port, "127.0.0.7");
        EXPECT_TRUE(extra.waitClosed(3000));
        EXPECT_EQ(extra.status(), 503);
    }
    EXPECT_EQ(m_output->GetRefusedCount(), 10u);
    int infoLines = 0;
    for (const LogLine& l : m_log.lines()) {
        infoLines += l.level == LOG_INFO && l.text.find("refused a connection") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(infoLines, 1) << "one line, not ten: " << m_log.text();
    EXPECT_EQ(m_log.count("refused a connection"), 10);
}

TEST_F(WebPreviewLimits, BadLimitsFailInit) {
    for (const char* key : {"maxConnections", "maxConnectionsPerAddress", "requestTimeout"}) {
        for (const Json::Value& bad : {Json::Value(0), Json::Value("many"), Json::Value(5000)}) {
            Json::Value limits;
            limits[key] = bad;
            WebPreviewOutput out(0, 24);
            LogCapture log;
            EXPECT_EQ(out.Init(config(limits)), 0) << key;
            EXPECT_TRUE(log.contains(std::string("\"") + key + "\"")) << log.text();
        }
    }
}
