// The HTTP server's limits over real sockets: connections per port and per
// address, request head and body sizes, and the time a client has to send a request.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <httpserver.hpp>

#include "HttpTestClient.h"
#include "LoopbackListener.h"
#include "RawTcpClient.h"

using namespace httpserver;

namespace {

class TextResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        if (delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        }
        return std::make_shared<string_response>("got " + req.get_path(), 200, "text/plain");
    }
    std::shared_ptr<http_response> render_POST(const http_request& req) override {
        rendered++;
        return std::make_shared<string_response>("body " + std::to_string(req.get_content().size()), 200,
                                                 "text/plain");
    }
    int delayMs = 0;
    std::atomic<int> rendered{0};
};

std::string get(const std::string& path, bool keepAlive = false) {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
}

class LimitsTest : public ::testing::Test {
protected:
    void start(create_webserver params) {
        LoopbackListener listener;
        ASSERT_TRUE(listener.ok());
        port = listener.port();
        server.reset(new webserver(params.bind_socket(listener.release())));
        server->register_resource("/text", &resource);
        ASSERT_TRUE(server->start(false));
    }
    // A client that sent a request and got an answer.
    int answered(const std::string& from = "127.0.0.1") {
        RawTcpClient c(port, from);
        if (!c.ok() || !c.send(get("/text"))) {
            return -1;
        }
        c.read(5000, "got /text");
        return c.status();
    }

    uint16_t port = 0;
    TextResource resource;
    std::unique_ptr<webserver> server;
};

} // namespace

TEST_F(LimitsTest, ConnectionsBeyondThePortsLimitWaitForAPlace) {
    start(create_webserver().max_connections(4).connection_timeout(30));
    std::vector<std::unique_ptr<RawTcpClient>> held;
    for (int i = 0; i < 4; i++) {
        // Each from its own address, so only the port's limit counts.
        held.emplace_back(new RawTcpClient(port, "127.0.0." + std::to_string(10 + i)));
        ASSERT_TRUE(held.back()->ok());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // A fifth is not taken while the four are held: it waits in the listening queue.
    RawTcpClient fifth(port, "127.0.0.20");
    ASSERT_TRUE(fifth.ok());
    ASSERT_TRUE(fifth.send(get("/text")));
    fifth.read(1500, "got /text");
    EXPECT_EQ(fifth.status(), 0) << fifth.received();
    EXPECT_FALSE(fifth.closedByPeer());
    // The held ones are served; once one has gone, the fifth is too.
    for (auto& c : held) {
        ASSERT_TRUE(c->send(get("/text")));
        c->read(5000, "got /text");
        EXPECT_EQ(c->status(), 200);
    }
    held.front()->close();
    fifth.read(5000, "got /text");
    EXPECT_EQ(fifth.status(), 200);
}

TEST_F(LimitsTest, OneAddressGetsItsShareAndOthersAreStillServed) {
    start(create_webserver().per_IP_connection_limit(3).connection_timeout(30));
    std::vector<std::unique_ptr<RawTcpClient>> held;
    for (int i = 0; i < 3; i++) {
        held.emplace_back(new RawTcpClient(port, "127.0.0.1"));
        ASSERT_TRUE(held.back()->ok());
        // One byte of a request, so the server has surely taken the connection.
        held.back()->send("G");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RawTcpClient fourth(port, "127.0.0.1");
    ASSERT_TRUE(fourth.ok());
    fourth.send(get("/text"));
    EXPECT_TRUE(fourth.waitClosed(5000));
    EXPECT_EQ(fourth.status(), 0) << fourth.received();
    // Another address is not held back by the first one's connections.
    EXPECT_EQ(answered("127.0.0.2"), 200);
    EXPECT_EQ(answered("127.0.0.3"), 200);
    // The held ones are served when they finish their requests.
    for (auto& c : held) {
        ASSERT_TRUE(c->send(get("/text").substr(1)));
        c->read(5000, "got /text");
        EXPECT_EQ(c->status(), 200) << c->received();
    }
}

TEST_F(LimitsTest, ARequestHeadBeyondTheLimitIsAnswered431) {
    start(create_webserver().header_size_limit(2048).memory_limit(32 * 1024));
    HttpTestResponse r = httpRequest(port, "GET", "/text", "", "X-Big: " + std::string(1500, 'a') + "\r\n");
    EXPECT_EQ(r.status, 200);
    r = httpRequest(port, "GET", "/text", "", "X-Big: " + std::string(2100, 'a') + "\r\n");
    EXPECT_EQ(r.status, 431);
    EXPECT_EQ(r.body, "Request Header Fields Too Large");
    // Many small headers count together, and so does a long query.
    std::string many;
    for (int i = 0; i < 100; i++) {
        many += "X-H" + std::to_string(i) + ": " + std::string(20, 'b') + "\r\n";
    }
    EXPECT_EQ(httpRequest(port, "GET", "/text", "", many).status, 431);
    EXPECT_EQ(httpRequest(port, "GET", "/text?q=" + std::string(2100, 'c')).status, 431);
    // A head larger than the connection's memory is refused by libmicrohttpd itself,
    // still with a status code.
    r = httpRequest(port, "GET", "/text", "", "X-Huge: " + std::string(64 * 1024, 'a') + "\r\n");
    EXPECT_TRUE(r.status == 431 || r.status == 414 || r.status == 413) << r.status;
    EXPECT_EQ(resource.rendered, 0);
    EXPECT_EQ(httpRequest(port, "GET", "/text").status, 200);
}

TEST_F(LimitsTest, ABodyAnnouncedTooLargeIsRefusedBeforeItIsSent) {
    start(create_webserver().content_size_limit(1024));
    RawTcpClient c(port);
    ASSERT_TRUE(c.ok());
    // Only the head: the answer comes without the body ever being sent.
    ASSERT_TRUE(c.send("POST /text HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n"));
    c.read(5000, "Payload Too Large");
    EXPECT_EQ(c.status(), 413);
    EXPECT_EQ(httpRequest(port, "POST", "/text", std::string(1025, 'x')).status, 413);
    // A body sent in chunks, with no length announced, is refused once it is all in.
    RawTcpClient chunked(port);
    ASSERT_TRUE(chunked.ok());
    std::string req =
        "POST /text HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    for (int i = 0; i < 3; i++) {
        req += "200\r\n" + std::string(0x200, 'y') + "\r\n";
    }
    req += "0\r\n\r\n";
    ASSERT_TRUE(chunked.send(req));
    chunked.read(5000, "Payload Too Large");
    EXPECT_EQ(chunked.status(), 413);
    EXPECT_EQ(resource.rendered, 0);
    HttpTestResponse r = httpRequest(port, "POST", "/text", std::string(1024, 'x'));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "body 1024");
    // A length that is not a number is libmicrohttpd's to refuse.
    RawTcpClient bad(port);
    ASSERT_TRUE(
        bad.send("POST /text HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999999\r\n\r\n"));
    bad.read(5000, "\r\n\r\n");
    EXPECT_GE(bad.status(), 400);
}

TEST_F(LimitsTest, AClientTricklingItsRequestIsDisconnectedWhileOthersAreServed) {
    start(create_webserver().request_timeout(1).connection_timeout(30));
    RawTcpClient slow(port, "127.0.0.5");
    ASSERT_TRUE(slow.ok());
    const std::string request = get("/text");
    const auto began = std::chrono::steady_clock::now();
    size_t sent = 0;
    // One byte every 100 ms: never idle, never done in time.
    while (sent < request.size() - 1 && !slow.closedByPeer()) {
        if (!slow.send(request.substr(sent, 1))) {
            break;
        }
        sent++;
        slow.read(100);
        if (sent == 3) {
            EXPECT_EQ(answered(), 200) << "another client is served meanwhile";
        }
    }
    EXPECT_TRUE(slow.waitClosed(5000)) << "sent " << sent << " bytes and still connected";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_LT(sent, request.size() - 1);
    EXPECT_GE(seconds, 0.9) << "cut before its time";
    EXPECT_EQ(slow.status(), 0);
    EXPECT_EQ(server->get_slow_requests_cut(), 1u);
}

TEST_F(LimitsTest, ASlowBodyIsCutAndASlowResourceIsNot) {
    start(create_webserver().request_timeout(1).connection_timeout(30));
    RawTcpClient slow(port);
    ASSERT_TRUE(slow.ok());
    ASSERT_TRUE(slow.send("POST /text HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n"));
    for (int i = 0; i < 40 && !slow.closedByPeer(); i++) {
        slow.send("z");
        slow.read(100);
    }
    EXPECT_TRUE(slow.waitClosed(5000));
    EXPECT_EQ(resource.rendered, 0);

    // The time limit is the client's: a resource taking longer still answers.
    resource.delayMs = 2500;
    EXPECT_EQ(answered(), 200);
    resource.delayMs = 0;
}

TEST_F(LimitsTest, AKeptAliveConnectionHasTheTimeAgainForEachRequest) {
    start(create_webserver().request_timeout(2).connection_timeout(30));
    RawTcpClient c(port);
    ASSERT_TRUE(c.ok());
    auto answers = [&c] {
        int n = 0;
        for (size_t at = c.received().find("got /text"); at != std::string::npos;
             at = c.received().find("got /text", at + 1)) {
            n++;
        }
        return n;
    };
    for (int i = 1; i <= 3; i++) {
        // Each request comes 1.2 s after the previous answer: 3.6 s in all, each within its 2 s.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ASSERT_TRUE(c.send(get("/text", true).substr(0, 10)));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(c.send(get("/text", true).substr(10)));
        for (int wait = 0; wait < 50 && answers() < i && !c.closedByPeer(); wait++) {
            c.read(100);
        }
        EXPECT_EQ(answers(), i) << c.received();
    }
    EXPECT_FALSE(c.closedByPeer());
    // Idle past the time: closed.
    EXPECT_TRUE(c.waitClosed(5000));
}
