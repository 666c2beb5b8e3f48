// The HTTP resource layer served over real sockets on 127.0.0.1: routing by path and
// family, every method with its body, arguments, headers, status codes, limits.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <arpa/inet.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include <httpserver.hpp>

#include "HttpTestClient.h"
#include "LoopbackListener.h"
#include "TempDir.h"

using namespace httpserver;

namespace {

// Answers with what it saw, so the tests can check how the request arrived.
class EchoResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override { return echo("GET", req); }
    std::shared_ptr<http_response> render_POST(const http_request& req) override { return echo("POST", req); }
    std::shared_ptr<http_response> render_PUT(const http_request& req) override { return echo("PUT", req); }
    std::shared_ptr<http_response> render_DELETE(const http_request& req) override {
        return echo("DELETE", req);
    }

    std::string name = "echo";

private:
    std::shared_ptr<http_response> echo(const std::string& handler, const http_request& req) {
        std::string text = name + " " + handler + " " + req.get_method() + " " + req.get_path() + "\n";
        for (const auto& a : req.get_args()) {
            text += "arg " + a.first + "=";
            for (const auto& v : a.second) {
                text += "[" + v + "]";
            }
            text += "\n";
        }
        text += "header x-test=" + req.get_header("X-TEST") + "\n";
        text += "body=" + req.get_content() + "\n";
        auto r = std::make_shared<string_response>(text, 200, "text/x-echo");
        r->with_header("X-Handler", handler);
        return r;
    }
};

class GetOnlyResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        return std::make_shared<string_response>("{\"ok\":true}", 201, "application/json");
    }
};

class ThrowingResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        throw std::runtime_error("boom");
    }
};

class NullResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override { return nullptr; }
};

class WebserverTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoopbackListener listener;
        ASSERT_TRUE(listener.ok());
        port = listener.port();
        server.reset(new webserver(create_webserver()
                                       .bind_socket(listener.release())
                                       .content_size_limit(64 * 1024)
                                       .log_error([this](const std::string& e) { errors.push_back(e); })));
    }
    void start() { ASSERT_TRUE(server->start(false)); }

    uint16_t port = 0;
    std::vector<std::string> errors;
    std::unique_ptr<webserver> server;
};

} // namespace

TEST(HttpUtilsTest, TokenizeUrlDropsEmptyPieces) {
    EXPECT_EQ(http::http_utils::tokenize_url("/gpio"), std::vector<std::string>({"gpio"}));
    EXPECT_EQ(http::http_utils::tokenize_url("//gpio///extra/"), std::vector<std::string>({"gpio", "extra"}));
    EXPECT_TRUE(http::http_utils::tokenize_url("/").empty());
    EXPECT_TRUE(http::http_utils::tokenize_url("").empty());
    EXPECT_EQ(http::http_utils::tokenize_url("a,,b", ','), std::vector<std::string>({"a", "b"}));
    EXPECT_EQ(http::http_utils::standardize_url("//a//b/"), "/a/b");
    EXPECT_EQ(http::http_utils::standardize_url(""), "/");
}

TEST(HttpRequestTest, AbsentArgumentReadsEmptyAndFirstValueWins) {
    http_request req;
    req.add_arg("list", "true");
    req.add_arg("list", "false");
    std::string list = req.get_arg("list");
    EXPECT_EQ(list, "true");
    EXPECT_EQ(req.get_arg("list").get_all_values().size(), 2u);
    std::string missing = req.get_arg("nothing");
    EXPECT_EQ(missing, "");
    req.set_header("Content-Type", "application/json");
    EXPECT_EQ(req.get_header("content-type"), "application/json");
}

TEST_F(WebserverTest, EveryMethodReachesItsRenderWithBodyArgsAndHeaders) {
    EchoResource echo;
    ASSERT_TRUE(server->register_resource("/echo", &echo));
    start();

    HttpTestResponse r = httpGet(port, "/echo?x=1&x=2&y=&z=a%20b");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "text/x-echo");
    EXPECT_EQ(r.header("x-handler"), "GET");
    EXPECT_NE(r.body.find("echo GET GET /echo\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("arg x=[1][2]\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("arg y=[]\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("arg z=[a b]\n"), std::string::npos) << r.body;

    r = httpRequest(port, "POST", "/echo", "{\"command\":\"x\"}",
                    "Content-Type: application/json\r\nX-Test: 42\r\n");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("x-handler"), "POST");
    EXPECT_NE(r.body.find("body={\"command\":\"x\"}\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("header x-test=42\n"), std::string::npos) << r.body;

    r = httpRequest(port, "PUT", "/echo", "value");
    EXPECT_EQ(r.header("x-handler"), "PUT");
    EXPECT_NE(r.body.find("body=value\n"), std::string::npos) << r.body;

    r = httpRequest(port, "DELETE", "/echo");
    EXPECT_EQ(r.header("x-handler"), "DELETE");

    // A body larger than one read of the server arrives whole.
    std::string big(40000, 'q');
    r = httpRequest(port, "POST", "/echo", big);
    EXPECT_NE(r.body.find("body=" + big + "\n"), std::string::npos);
}

TEST_F(WebserverTest, FormBodiesBecomeArguments) {
    EchoResource echo;
    server->register_resource("/echo", &echo);
    start();
    HttpTestResponse r = httpRequest(port, "POST", "/echo", "a=1+2&b=%41%zz&flag",
                                     "Content-Type: application/x-www-form-urlencoded\r\n");
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("arg a=[1 2]\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("arg b=[A%zz]\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("arg flag=[]\n"), std::string::npos) << r.body;
}

TEST_F(WebserverTest, ExactBeatsFamilyAndLongestFamilyWins) {
    EchoResource api, status, deep, exact;
    api.name = "api";
    status.name = "status";
    deep.name = "deep";
    exact.name = "exact";
    server->register_resource("/api", &api, true);
    server->register_resource("/api/status", &status);
    server->register_resource("/api/a/b", &deep, true);
    server->register_resource("exact/", &exact);
    EXPECT_FALSE(server->register_resource("/api/status", &api));
    start();

    EXPECT_EQ(httpGet(port, "/api/status").body.substr(0, 7), "status ");
    EXPECT_EQ(httpGet(port, "/api/status/").body.substr(0, 7), "status ");
    // "/api/status" is not a family: below it the family "/api" answers.
    EXPECT_EQ(httpGet(port, "/api/status/more").body.substr(0, 4), "api ");
    EXPECT_EQ(httpGet(port, "/api").body.substr(0, 4), "api ");
    EXPECT_EQ(httpGet(port, "/api/other/x").body.substr(0, 4), "api ");
    EXPECT_EQ(httpGet(port, "/api/a/b/c/d").body.substr(0, 5), "deep ");
    EXPECT_EQ(httpGet(port, "//exact").body.substr(0, 6), "exact ");
    EXPECT_EQ(httpGet(port, "/exact/sub").status, 404);

    HttpTestResponse r = httpGet(port, "/apix");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "Not Found");
    EXPECT_EQ(r.header("content-type"), "text/plain");

    server->unregister_resource("/api");
    EXPECT_EQ(httpGet(port, "/api/other").status, 404);
}

TEST_F(WebserverTest, RootFamilyCatchesEverything) {
    EchoResource root;
    root.name = "root";
    server->register_resource("/", &root, true);
    start();
    EXPECT_EQ(httpGet(port, "/").body.substr(0, 5), "root ");
    EXPECT_EQ(httpGet(port, "/any/where").body.substr(0, 5), "root ");
}

TEST_F(WebserverTest, DefaultsDisallowedMethodsAndFailures) {
    GetOnlyResource getOnly, locked;
    ThrowingResource throwing;
    NullResource null;
    locked.disallow_all();
    locked.set_allowing("GET", true);
    server->register_resource("/get", &getOnly);
    server->register_resource("/locked", &locked);
    server->register_resource("/throw", &throwing);
    server->register_resource("/null", &null);
    start();

    HttpTestResponse r = httpGet(port, "/get");
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.body, "{\"ok\":true}");

    // Methods a resource does not render answer the library default: an empty 200.
    r = httpRequest(port, "POST", "/get", "x");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");

    r = httpRequest(port, "POST", "/locked", "x");
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(r.header("allow"), "GET");
    EXPECT_EQ(httpGet(port, "/locked").status, 201);

    r = httpGet(port, "/throw");
    EXPECT_EQ(r.status, 500);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("boom"), std::string::npos);
    EXPECT_EQ(httpGet(port, "/null").status, 500);

    // HEAD sends the headers of GET and no body.
    r = httpRequest(port, "HEAD", "/get");
    EXPECT_EQ(r.status, 200); // HEAD renders through render(): the empty default
    EXPECT_EQ(r.body, "");
}

TEST_F(WebserverTest, OversizedBodyIsRefusedBeforeTheResource) {
    EchoResource echo;
    server->register_resource("/echo", &echo);
    start();
    HttpTestResponse r = httpRequest(port, "POST", "/echo", std::string(64 * 1024 + 1, 'x'));
    EXPECT_EQ(r.status, 413);
    r = httpRequest(port, "POST", "/echo", std::string(64 * 1024, 'x'));
    EXPECT_EQ(r.status, 200);
}

TEST_F(WebserverTest, FileResponsesAndCustomNotFound) {
    TempDir dir;
    writeFileBytes(dir.file("page.html"), "<p>hi</p>");
    class FileResource : public http_resource {
    public:
        std::string path;
        std::shared_ptr<http_response> render_GET(const http_request&) override {
            return std::make_shared<file_response>(path, 200, "text/html");
        }
    } present, missing;
    present.path = dir.file("page.html");
    missing.path = dir.file("absent.html");
    LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    port = listener.port();
    server.reset(new webserver(
        create_webserver().bind_socket(listener.release()).not_found_resource([](const http_request& req) {
            return std::make_shared<string_response>("no " + req.get_path(), 404, "text/html");
        })));
    server->register_resource("/page", &present);
    server->register_resource("/absent", &missing);
    start();

    HttpTestResponse r = httpGet(port, "/page");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "text/html");
    EXPECT_EQ(r.body, "<p>hi</p>");
    EXPECT_EQ(httpGet(port, "/absent").status, 404);
    r = httpGet(port, "/elsewhere");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "no /elsewhere");
}

TEST_F(WebserverTest, StartStopAndPortInUse) {
    EchoResource echo;
    server->register_resource("/echo", &echo);
    EXPECT_FALSE(server->is_running());
    start();
    EXPECT_TRUE(server->is_running());

    webserver second(create_webserver(port).log_error([this](const std::string& e) { errors.push_back(e); }));
    EXPECT_FALSE(second.start(false));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(std::to_string(port)), std::string::npos);

    EXPECT_EQ(httpGet(port, "/echo").status, 200);
    EXPECT_TRUE(server->stop());
    EXPECT_FALSE(server->is_running());
    EXPECT_EQ(httpGet(port, "/echo").status, 0);
    EXPECT_FALSE(server->stop());
    // Registrations survive a restart.
    start();
    EXPECT_EQ(httpGet(port, "/echo").status, 200);
}

TEST_F(WebserverTest, BlockingStartReturnsOnStop) {
    std::atomic<bool> returned(false);
    std::thread t([&] {
        server->start(true);
        returned = true;
    });
    for (int i = 0; i < 500 && !server->is_running(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(server->is_running());
    EXPECT_FALSE(returned);
    EXPECT_EQ(httpGet(port, "/x").status, 404);
    server->stop();
    t.join();
    EXPECT_TRUE(returned);
}

TEST_F(WebserverTest, BindAddressAndConcurrentClients) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.reset(new webserver(
        create_webserver(port).bind_address(reinterpret_cast<struct sockaddr*>(&addr)).max_threads(4)));
    EchoResource echo;
    server->register_resource("/echo", &echo);
    start();
    std::atomic<int> ok(0);
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; c++) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 10; i++) {
                HttpTestResponse r = httpGet(port, "/echo?c=" + std::to_string(c));
                if (r.status == 200 &&
                    r.body.find("arg c=[" + std::to_string(c) + "]") != std::string::npos) {
                    ok++;
                }
            }
        });
    }
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(ok, 80);
}
