// The preview through a real tavod: a memory model declared in
// config/model-overlays.json, a ScreenPreview output drawing a show into it, and
// the picture fetched as a PNG from tavod's HTTP API, decoded and compared pixel
// by pixel.
#include "JsonText.h"
#include "LCSFFile.h"
#include "PngTestImage.h"
#include "TavodTestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <map>
#include <memory>

using namespace tavodtest;

namespace {

const int W = 12, H = 8;

// Every frame the same, so that whichever frame the picture shows is known.
bool writeConstantShow(const std::string& path, const std::vector<uint8_t>& frame, uint32_t frames) {
    std::unique_ptr<LCSFFile> f(LCSFFile::createLCSFFile(path, 2, LCSFFile::CompressionType::none, 0));
    if (!f) {
        return false;
    }
    f->m_seqNumFrames = frames;
    f->m_seqChannelCount = (uint32_t)frame.size();
    f->m_seqStepTime = 25;
    f->writeHeader();
    for (uint32_t i = 0; i < frames; i++) {
        f->addFrame(i, frame.data());
    }
    f->finalize();
    return !f->hasWriteError();
}

class ScreenPreviewTavodTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (tavod) {
            tavod->sendSignal(SIGTERM);
            EXPECT_TRUE(tavod->wait(10000));
            EXPECT_EQ(0, tavod->exitCode()) << tavod->err();
        }
    }
    MediaDir media;
    uint16_t port = 0;
    std::unique_ptr<Tavod> tavod;
};

} // namespace

TEST_F(ScreenPreviewTavodTest, PictureOfTheShowIsServedAsPng) {
    media.writeConfig("model-overlays.json",
                      "{\"models\": [{\"Name\": \"Roof Preview\", \"Type\": \"Memory\", \"Width\": 12, "
                      "\"Height\": 8}]}");
    // Pixel size 4 (discs of radius 2): a black pixel at the far corner (so the
    // layout is the model's size, not scaled), an RGB pixel, a GRB one, an RGBW
    // one with white, a fixed colour, a single red channel at the corner (clipped).
    media.writeOutputs(
        "{\"type\": \"ScreenPreview\", \"startChannel\": 1, \"channelCount\": 30, "
        "\"modelName\": \"Roof Preview\", \"pixelSize\": 4, \"layout\": {\"type\": \"pixels\", "
        "\"pixels\": ["
        "{\"x\": 11, \"y\": 7, \"channel\": 13},"
        "{\"x\": 2, \"y\": 2, \"channel\": 1},"
        "{\"x\": 9, \"y\": 2, \"channel\": 4, \"type\": 2},"
        "{\"x\": 5, \"y\": 6, \"channel\": 7, \"channels\": 4},"
        "{\"x\": 9, \"y\": 6, \"channel\": 11, \"channels\": 1, \"type\": 11, \"color\": "
        "\"#102030\"},"
        "{\"x\": 0, \"y\": 0, \"channel\": 12, \"channels\": 1, \"type\": 7}]}}");
    std::vector<uint8_t> frame = {200, 100, 50, 10, 20, 30, 1, 2, 3, 128, 99, 77};
    frame.resize(30, 0);
    ASSERT_TRUE(writeConstantShow(media.sequencePath("still.lcsf"), frame, 40));
    tavod = startWithHttp(media, {"play", "still.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);

    // What the picture must be: each pixel's disc (points -2..1 within radius 2),
    // in layout order, clipped at the edges; black elsewhere.
    const int disc[11][2] = {{-2, 0}, {-1, -1}, {-1, 0}, {-1, 1}, {0, -2}, {0, -1},
                             {0, 0},  {0, 1},   {1, -1}, {1, 0},  {1, 1}};
    const struct {
        int x, y;
        uint32_t colour;
    } pixels[] = {{2, 2, 0xC86432}, {9, 2, 0x140A1E}, {5, 6, 0x808080}, {9, 6, 0x102030}, {0, 0, 0x4D0000}};
    std::map<std::pair<int, int>, uint32_t> expected;
    for (const auto& p : pixels) {
        for (const auto& d : disc) {
            int x = p.x + d[0], y = p.y + d[1];
            if (x >= 0 && x < W && y >= 0 && y < H) {
                expected[{x, y}] = p.colour;
            }
        }
    }

    // The first frames may not have been drawn yet when the API answers.
    PngTestImage img;
    std::string error;
    int64_t end = nowUs() + 10 * 1000000;
    HttpTestResponse r;
    do {
        r = httpGet(port, "/api/overlays/models/Roof%20Preview/image");
        ASSERT_EQ(200, r.status) << r.body;
        ASSERT_TRUE(decodePng(r.body, img, error)) << error;
        if (img.at(2, 2) != 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (nowUs() < end);
    EXPECT_EQ("image/png", r.header("content-type"));
    ASSERT_EQ(W, img.width);
    ASSERT_EQ(H, img.height);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            auto it = expected.find({x, y});
            EXPECT_EQ(it == expected.end() ? 0u : it->second, img.at(x, y)) << "at " << x << "," << y;
        }
    }

    // The status says where the picture is; an unknown model is not found.
    Json::Value status = parseJson(httpGet(port, "/api/status").body);
    ASSERT_EQ(1u, status["outputs"].size()) << status.toStyledString() << tavod->err();
    EXPECT_EQ("Roof Preview", status["outputs"][0]["modelName"].asString());
    EXPECT_EQ("/api/overlays/models/Roof%20Preview/image", status["outputs"][0]["previewImage"].asString());
    EXPECT_EQ(404, httpGet(port, "/api/overlays/models/Nothing/image").status);
}

TEST_F(ScreenPreviewTavodTest, AModelThatCannotBeMadeIsReportedAndTheShowGoesOn) {
    // No such framebuffer: the model is left out with the reason, the preview
    // fails with its own message, and tavod plays on.
    media.writeConfig(
        "model-overlays.json",
        "{\"models\": [{\"Name\": \"Screen\", \"Type\": \"FB\", \"Device\": \"fb-tavo-none\"}]}");
    media.writeOutputs(
        "{\"type\": \"ScreenPreview\", \"startChannel\": 1, \"channelCount\": 3, "
        "\"modelName\": \"Screen\", \"layout\": {\"type\": \"matrix\", \"width\": 1, \"height\": "
        "1}}");
    ASSERT_TRUE(media.writeSequence("loop.lcsf", 3, 40, 25));
    tavod = startWithHttp(media, {"play", "loop.lcsf", "--loop"}, port);
    ASSERT_TRUE(tavod);
    EXPECT_NE(std::string::npos,
              tavod->err().find("is left out: cannot open /dev/fb-tavo-none: No such file or directory"))
        << tavod->err();
    EXPECT_NE(std::string::npos, tavod->err().find("Invalid Pixel Overlay Model: 'Screen'")) << tavod->err();
    Json::Value warnings = parseJson(httpGet(port, "/api/warnings").body);
    bool warned = false;
    for (const Json::Value& w : warnings) {
        warned |= w.asString().find("Overlay model Screen of ") == 0;
    }
    EXPECT_TRUE(warned) << warnings.toStyledString();
    // The API answers before the show starts; it must start all the same.
    Json::Value status;
    int64_t end = nowUs() + 10 * 1000000;
    do {
        status = parseJson(httpGet(port, "/api/status").body);
        if (status["status"].asString() == "playing") {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (nowUs() < end);
    EXPECT_EQ("playing", status["status"].asString()) << status.toStyledString();
    EXPECT_EQ(1u, status["failedOutputs"].size()) << status.toStyledString();
}
