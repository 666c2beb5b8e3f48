// The preview page in a real headless Chromium, fed by the WebPreview plug-in while
// frames play; the check is what the page reads back from its own canvas.
#include "host/output/ChannelOutput.h"
#include "LogCapture.h"
#include "host/output/Plugin.h"
#include "TempDir.h"
#include "LoopbackListener.h"
#include "WebPreviewTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

using namespace webpreview_test;

namespace {

const char* CHROMIUM = "/usr/bin/chromium";
const int W = 8, H = 4;

// The show: a fixed picture, pixel (2, 2) that turns from red to green five frames
// after a browser connects, and a ticker at (7, 0) that changes every frame so that
// events keep coming.
const unsigned char TICKER[4][3] = {{255, 255, 0}, {0, 255, 255}, {255, 0, 255}, {128, 128, 128}};
void fixedPicture(std::vector<unsigned char>& ch) {
    auto set = [&](int x, int y, int r, int g, int b) {
        unsigned char* p = &ch[3 * (y * W + x)];
        p[0] = (unsigned char)r;
        p[1] = (unsigned char)g;
        p[2] = (unsigned char)b;
    };
    set(0, 0, 255, 0, 0);
    set(1, 0, 0, 255, 0);
    set(0, 3, 0, 0, 255);     // bottom-left
    set(7, 3, 255, 255, 255); // bottom-right
    set(3, 1, 200, 100, 50);  // cut to 6 bits: 50, 25, 12
    set(4, 2, 3, 3, 3);       // below one 6-bit step: black, never sent
    set(5, 1, 64, 0, 128);
}

// 6-bit value shown in 8 bits, as the page expands it.
int shown(int v8) {
    const int v = v8 >> 2;
    return (v << 2) | (v >> 4);
}
int shownColor(int r, int g, int b) {
    return (shown(r) << 16) | (shown(g) << 8) | shown(b);
}

// Serves the page at "/preview" and a status document (or 404) at "/api/status", like tavod's API.
class PageServer {
public:
    PageServer(const std::string& page, const std::string& status) : m_page(page), m_status(status) {
        m_port = m_socket.port();
        m_listener = m_socket.release();
        m_ok = m_listener >= 0;
        m_thread = std::thread([this] { run(); });
    }
    ~PageServer() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    int port() const { return m_port; }
    bool ok() const { return m_ok; }
    int statusRequests() const { return m_statusRequests; }

private:
    void run() {
        while (!m_stop) {
            struct pollfd p = {m_listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            int fd = accept(m_listener, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            std::string req;
            readSome(fd, req, 2000, "\r\n\r\n");
            const std::string path = req.substr(4, req.find(' ', 4) - 4);
            std::string body, type = "text/html; charset=utf-8", code = "200 OK";
            if (path.compare(0, 11, "/api/status") == 0) {
                m_statusRequests++;
                type = "application/json";
                body = m_status;
                if (m_status.empty()) {
                    code = "404 Not Found";
                    body = "not here";
                }
            } else if (path == "/preview" || path.compare(0, 9, "/preview?") == 0) {
                body = m_page;
            } else {
                code = "404 Not Found";
            }
            std::string resp = "HTTP/1.1 " + code + "\r\nContent-Type: " + type +
                               "\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n\r\n" + body;
            send(fd, resp.data(), resp.size(), MSG_NOSIGNAL);
            close(fd);
        }
    }
    std::string m_page, m_status;
    LoopbackListener m_socket;
    int m_port = 0;
    int m_listener = -1;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_statusRequests{0};
    std::thread m_thread;
};

std::string runChromium(const std::string& url, const std::string& profile) {
    // Virtual time lets the page settle once it has closed its stream (?readback=N).
    const std::string cmd = std::string("timeout 90 ") + CHROMIUM +
                            " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                            " --disable-background-networking --disable-component-update --disable-sync"
                            " --window-size=800,400 --virtual-time-budget=20000 --user-data-dir=" +
                            profile + " --dump-dom '" + url + "' 2>/dev/null";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

std::string elementText(const std::string& dom, const std::string& id) {
    size_t at = dom.find("id=\"" + id + "\"");
    if (at == std::string::npos || (at = dom.find('>', at)) == std::string::npos) {
        return "<missing>";
    }
    at++;
    return dom.substr(at, dom.find('<', at) - at);
}

class WebPreviewInChromium : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(CHROMIUM, X_OK) != 0) {
            GTEST_SKIP() << CHROMIUM << " is not installed (Debian package chromium, a test dependency)";
        }
        const std::string lib = std::string(TAVO_PLUGIN_DIR) + "/WebPreview.so";
        m_handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_handle, nullptr) << dlerror();
        auto create = (TavoCreatePluginFn)dlsym(m_handle, "createPlugin");
        ASSERT_NE(create, nullptr) << dlerror();
        m_plugin.reset(create());
        ASSERT_EQ(m_plugin->getName(), "WebPreview");
        auto* outputs = dynamic_cast<TavoPlugins::ChannelOutputPlugin*>(m_plugin.get());
        ASSERT_NE(outputs, nullptr);
        m_output.reset(outputs->createChannelOutput(0, 3 * W * H));

        Json::Value c;
        c["type"] = "WebPreview";
        c["port"] = 0; // any free one: the output says which in its status
        c["layout"]["type"] = "matrix";
        c["layout"]["width"] = W;
        c["layout"]["height"] = H;
        ASSERT_EQ(m_output->Init(c), 1) << m_log.text();
        Json::Value status;
        m_output->GetStatus(status);
        m_previewPort = status["port"].asInt();
        ASSERT_GT(m_previewPort, 0) << status.toStyledString();

        FILE* f = fopen((std::string(TAVO_SOURCE_DIR) + "/web/preview.html").c_str(), "rb");
        ASSERT_NE(f, nullptr);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
            m_page.append(buf, n);
        }
        fclose(f);

        m_frames = std::thread([this] { play(); });
    }
    void TearDown() override {
        m_stop = true;
        if (m_frames.joinable()) {
            m_frames.join();
        }
        m_output.reset();
        m_plugin.reset();
        if (m_handle) {
            dlclose(m_handle);
        }
    }

    // Frames every 25 ms, on the output as the host's output thread drives it.
    void play() {
        std::vector<unsigned char> ch(3 * W * H, 0);
        int accepted = 0, sinceConnect = 0;
        for (int frame = 0; !m_stop; frame++) {
            const int now = m_log.count("Accepted preview connection");
            if (now != accepted) {
                accepted = now;
                sinceConnect = 0;
            }
            std::fill(ch.begin(), ch.end(), 0);
            fixedPicture(ch);
            unsigned char* p22 = &ch[3 * (2 * W + 2)];
            p22[sinceConnect < 5 ? 0 : 1] = 255;
            memcpy(&ch[3 * 7], TICKER[frame % 4], 3);
            m_output->PrepData(ch.data());
            m_output->SendData(ch.data());
            sinceConnect++;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }

    // What the page read back: (x, y from the bottom) -> 0xRRGGBB, plus its header lines.
    void expectPicture(const std::string& readback) {
        std::istringstream in(readback);
        std::string line;
        std::getline(in, line);
        EXPECT_EQ(line, "events 20");
        std::getline(in, line);
        EXPECT_EQ(line, "extent 8 4") << "the page learnt the layout's size from the lit pixels";
        std::map<std::pair<int, int>, int> got;
        while (std::getline(in, line)) {
            int x, y;
            unsigned color;
            ASSERT_EQ(sscanf(line.c_str(), "%d %d %x", &x, &y, &color), 3) << line;
            got[{x, y}] = (int)color;
        }
        // Layout row y is sent, and read back, as 3 - y.
        std::map<std::pair<int, int>, int> want = {
            {{0, 3}, shownColor(255, 0, 0)},    {{1, 3}, shownColor(0, 255, 0)},
            {{0, 0}, shownColor(0, 0, 255)},    {{7, 0}, shownColor(255, 255, 255)},
            {{3, 2}, shownColor(200, 100, 50)}, {{5, 2}, shownColor(64, 0, 128)},
            {{2, 1}, shownColor(0, 255, 0)},
        };
        ASSERT_TRUE(got.count({7, 3})) << "the ticker is missing";
        std::set<int> tickerColors;
        for (auto& t : TICKER) {
            tickerColors.insert(shownColor(t[0], t[1], t[2]));
        }
        EXPECT_TRUE(tickerColors.count(got[{7, 3}])) << std::hex << got[{7, 3}];
        got.erase({7, 3});
        EXPECT_EQ(got, want) << readback;
    }

    LogCapture m_log{LOG_DEBUG};
    void* m_handle = nullptr;
    std::unique_ptr<TavoPlugins::Plugin> m_plugin;
    std::unique_ptr<ChannelOutput> m_output;
    int m_previewPort = 0;
    std::string m_page;
    std::atomic<bool> m_stop{false};
    std::thread m_frames;
};

} // namespace

TEST_F(WebPreviewInChromium, ThePagePaintsTheStreamedPixelsWhereTheyBelong) {
    PageServer server(m_page, ""); // no status: the page must stay quiet about it
    ASSERT_TRUE(server.ok());
    TempDir profile;
    const std::string dom = runChromium("http://127.0.0.1:" + std::to_string(server.port()) +
                                            "/preview?port=" + std::to_string(m_previewPort) + "&readback=20",
                                        profile.path());
    ASSERT_NE(dom.find("id=\"readback\""), std::string::npos) << "no page came back:\n" << dom.substr(0, 500);
    expectPicture(elementText(dom, "readback"));
    EXPECT_EQ(elementText(dom, "conn"), "closed after 20 events");
    EXPECT_EQ(elementText(dom, "show"), "");
    EXPECT_EQ(elementText(dom, "size"), "8 \xC3\x97 4");
}

TEST_F(WebPreviewInChromium, ThePageFindsThePreviewPortAndShowStatusInTheDaemonStatus) {
    const std::string status = "{\"status_name\": \"playing\", \"current_sequence\": \"demo.lcsf\", "
                               "\"outputs\": [{\"type\": \"Other\", \"port\": 1}, {\"type\": \"WebPreview\", "
                               "\"port\": " +
                               std::to_string(m_previewPort) +
                               ", \"previewPage\": \"/preview?port=" + std::to_string(m_previewPort) +
                               "\"}]}";
    PageServer server(m_page, status);
    ASSERT_TRUE(server.ok());
    TempDir profile;
    const std::string dom = runChromium(
        "http://127.0.0.1:" + std::to_string(server.port()) + "/preview?readback=20", profile.path());
    ASSERT_NE(dom.find("id=\"readback\""), std::string::npos) << "no page came back:\n" << dom.substr(0, 500);
    expectPicture(elementText(dom, "readback"));
    EXPECT_EQ(elementText(dom, "show"), "playing: demo.lcsf");
    EXPECT_GE(server.statusRequests(), 1);
}
