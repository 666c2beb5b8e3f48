// The ScreenPreview output: which model it draws into ("ModelName" against
// "modelName"), the framebuffer model it creates from a device (with or without
// "/dev/") and removes once, the bytes that reach a memory-backed framebuffer, and
// the configurations it refuses with a message.
#include "FakeFramebuffers.h"
#include "LogCapture.h"
#include "ScreenPreviewOutput.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

const unsigned START = 0;
const unsigned COUNT = 300;
const uint8_t U = FakeFramebuffers::UNTOUCHED;

// One RGB pixel at (x, y) reading channels 1 to 3 (the output starts at channel
// 1), after a black one at the far corner: the layout is then exactly the
// model's size, not scaled into it.
Json::Value onePixelLayout(int x, int y, int width = 8, int height = 6) {
    Json::Value corner(Json::objectValue);
    corner["x"] = width - 1;
    corner["y"] = height - 1;
    corner["channel"] = 298;
    Json::Value p(Json::objectValue);
    p["x"] = x;
    p["y"] = y;
    p["channel"] = 1;
    Json::Value layout(Json::objectValue);
    layout["type"] = "pixels";
    layout["pixels"].append(corner);
    layout["pixels"].append(p);
    return layout;
}

Json::Value named(const std::string& model) {
    Json::Value c(Json::objectValue);
    c["type"] = "ScreenPreview";
    c["modelName"] = model;
    c["layout"] = onePixelLayout(2, 2);
    return c;
}

Json::Value onDevice(const std::string& device, int width = 8, int height = 6) {
    Json::Value c(Json::objectValue);
    c["type"] = "ScreenPreview";
    c["device"] = device;
    c["width"] = width;
    c["height"] = height;
    c["layout"] = onePixelLayout(2, 2);
    return c;
}

Json::Value memoryModel(const std::string& name, int width, int height) {
    Json::Value m(Json::objectValue);
    m["Name"] = name;
    m["Type"] = "Memory";
    m["Width"] = width;
    m["Height"] = height;
    return m;
}

class ScreenPreviewOutputTest : public ::testing::Test {
protected:
    void SetUp() override { models.removeAllModels(); }
    void TearDown() override { models.removeAllModels(); }

    std::unique_ptr<ScreenPreviewOutput> output() {
        return std::unique_ptr<ScreenPreviewOutput>(new ScreenPreviewOutput(START, COUNT));
    }
    // The lit points of a model: (x, y) -> 0xRRGGBB.
    std::map<std::pair<int, int>, uint32_t> lit(const std::string& name) {
        std::map<std::pair<int, int>, uint32_t> r;
        PixelOverlayModel* m = models.getModel(name);
        for (int y = 0; m && y < m->getHeight(); y++) {
            for (int x = 0; x < m->getWidth(); x++) {
                uint8_t cr, cg, cb;
                m->getPixelValue(x, y, cr, cg, cb);
                if (cr || cg || cb) {
                    r[{x, y}] = (uint32_t)cr << 16 | (uint32_t)cg << 8 | cb;
                }
            }
        }
        return r;
    }

    PixelOverlayManager& models = PixelOverlayManager::INSTANCE;
    LogCapture log{LOG_INFO};
    std::vector<unsigned char> data = std::vector<unsigned char>(COUNT, 0);
};

} // namespace

TEST_F(ScreenPreviewOutputTest, DrawsIntoTheNamedModel) {
    ASSERT_TRUE(models.addModel(memoryModel("Preview", 8, 6)));
    auto out = output();
    ASSERT_EQ(1, out->Init(named("Preview"))) << log.text();
    EXPECT_FALSE(out->IsAutoCreated());
    EXPECT_EQ(8, out->GetPreviewWidth());
    EXPECT_EQ(6, out->GetPreviewHeight());
    data[0] = 0x12;
    data[1] = 0x34;
    data[2] = 0x56;
    EXPECT_EQ((int)COUNT, out->SendData(data.data()));
    EXPECT_EQ(
        (std::map<std::pair<int, int>, uint32_t>{{{1, 2}, 0x123456}, {{2, 1}, 0x123456}, {{2, 2}, 0x123456}}),
        lit("Preview"));
    // A named model is the host's: Close leaves it.
    out.reset();
    EXPECT_NE(nullptr, models.getModel("Preview"));
}

TEST_F(ScreenPreviewOutputTest, ModelOfFourChannelNodesIsClearedWholeByInit) {
    // 8 x 6 RGBW nodes: the model's buffer (192 bytes) is larger than the
    // picture's 144; Init hands the model a cleared buffer of the model's size.
    Json::Value m(Json::objectValue);
    m["Name"] = "Wall";
    m["StartChannel"] = 1;
    m["ChannelCount"] = 8 * 6 * 4;
    m["ChannelCountPerNode"] = 4;
    m["StringCount"] = 6;
    ASSERT_TRUE(models.addModel(m)) << log.text();
    PixelOverlayModel* wall = models.getModel("Wall");
    ASSERT_EQ(8, wall->getWidth());
    ASSERT_EQ(6, wall->getHeight());
    memset(wall->getOverlayBuffer(), 0x55, wall->getBufferSize());
    auto out = output();
    ASSERT_EQ(1, out->Init(named("Wall"))) << log.text();
    EXPECT_EQ(std::vector<uint8_t>(192, 0),
              std::vector<uint8_t>(wall->getOverlayBuffer(), wall->getOverlayBuffer() + 192));
    data[0] = 255;
    out->SendData(data.data());
    EXPECT_EQ(3u, lit("Wall").size());
}

TEST_F(ScreenPreviewOutputTest, LayoutIsScaledToTheModelsSize) {
    // A layout 3 x 3 (one pixel at 2, 2) into an 8 x 6 model: the cell's centre
    // lands at (5 x 8 / 6, 5 x 6 / 6) = (6, 5).
    ASSERT_TRUE(models.addModel(memoryModel("Preview", 8, 6)));
    Json::Value c = named("Preview");
    c["layout"]["pixels"].removeIndex(0, nullptr);
    ASSERT_EQ(1u, c["layout"]["pixels"].size());
    auto out = output();
    ASSERT_EQ(1, out->Init(c)) << log.text();
    data[0] = 255;
    out->SendData(data.data());
    EXPECT_EQ(
        (std::map<std::pair<int, int>, uint32_t>{{{5, 5}, 0xFF0000}, {{6, 4}, 0xFF0000}, {{6, 5}, 0xFF0000}}),
        lit("Preview"));
}

TEST_F(ScreenPreviewOutputTest, LowerCaseKeysAreReadLastAndWin) {
    ASSERT_TRUE(models.addModel(memoryModel("Upper", 8, 6)));
    ASSERT_TRUE(models.addModel(memoryModel("lower", 8, 6)));
    Json::Value c = named("lower");
    c["ModelName"] = "Upper";
    c["PixelSize"] = 4;
    c["pixelSize"] = 1;
    auto out = output();
    ASSERT_EQ(1, out->Init(c)) << log.text();
    EXPECT_EQ("lower", out->GetModelName());
    EXPECT_EQ(1, out->GetPixelSize());
    data[0] = 255;
    out->SendData(data.data());
    EXPECT_EQ(3u, lit("lower").size()) << "pixel size 1: three points";
    EXPECT_TRUE(lit("Upper").empty());

    // Only the upper-case keys: they are used.
    c = named("x");
    c.removeMember("modelName");
    c["ModelName"] = "Upper";
    c["PixelSize"] = 4;
    auto second = output();
    ASSERT_EQ(1, second->Init(c)) << log.text();
    EXPECT_EQ("Upper", second->GetModelName());
    EXPECT_EQ(4, second->GetPixelSize());
    second->SendData(data.data());
    EXPECT_EQ(11u, lit("Upper").size()) << "pixel size 4: a disc of radius 2";
}

TEST_F(ScreenPreviewOutputTest, DeviceWithOrWithoutDevCreatesTheSameModel) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    for (const char* device : {"/dev/fb1", "fb1"}) {
        auto out = output();
        ASSERT_EQ(1, out->Init(onDevice(device))) << device << "\n" << log.text();
        EXPECT_EQ("FB - fb1", out->GetModelName()) << device;
        EXPECT_TRUE(out->IsAutoCreated());
        auto* m = dynamic_cast<FramebufferOverlayModel*>(models.getModel("FB - fb1"));
        ASSERT_NE(nullptr, m) << device;
        EXPECT_EQ("/dev/fb1", m->getDevice());
        EXPECT_EQ(8, m->getWidth());
        EXPECT_EQ(6, m->getHeight());
        EXPECT_EQ(1, m->getPixelSize());
        EXPECT_TRUE(m->isAutoCreated());
        out->Close();
        EXPECT_EQ(nullptr, models.getModel("FB - fb1")) << "removed by Close";
    }
    EXPECT_EQ(std::vector<std::string>({"/dev/fb1", "/dev/fb1"}), screens.opened);
}

TEST_F(ScreenPreviewOutputTest, AutomaticModelIsCreatedAgainByTheNextInit) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    auto out = output();
    ASSERT_EQ(1, out->Init(onDevice("fb0")));
    ASSERT_NE(nullptr, models.getModel("FB - fb0"));
    out->Close();
    ASSERT_EQ(nullptr, models.getModel("FB - fb0"));
    // The same output, configured again.
    ASSERT_EQ(1, out->Init(onDevice("fb0"))) << log.text();
    EXPECT_NE(nullptr, models.getModel("FB - fb0"));
    out.reset();
    EXPECT_EQ(nullptr, models.getModel("FB - fb0")) << "the destructor closes";
}

TEST_F(ScreenPreviewOutputTest, AnAutomaticNameInUseFailsInitAndThatModelStays) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    auto first = output();
    ASSERT_EQ(1, first->Init(onDevice("fb0")));
    auto second = output();
    EXPECT_EQ(0, second->Init(onDevice("/dev/fb0")));
    EXPECT_TRUE(log.contains("Empty Pixel Overlay Model name")) << log.text();
    EXPECT_TRUE(log.contains("a model named 'FB - fb0' exists already")) << log.text();
    second.reset();
    EXPECT_NE(nullptr, models.getModel("FB - fb0")) << "the failed output must not remove the other's model";
    EXPECT_EQ(1u, screens.opened.size());
}

TEST_F(ScreenPreviewOutputTest, ClosingTwiceRemovesTheModelOnceAndFreesOnce) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    auto first = output();
    ASSERT_EQ(1, first->Init(onDevice("fb0")));
    EXPECT_NE(0, first->Close());
    // Another output now owns a model of the same name.
    auto second = output();
    ASSERT_EQ(1, second->Init(onDevice("fb0"))) << log.text();
    // Closed again, then destroyed (which closes a third time): the other's model stays.
    EXPECT_NE(0, first->Close());
    first.reset();
    EXPECT_NE(nullptr, models.getModel("FB - fb0"));
    data[0] = 255;
    EXPECT_EQ((int)COUNT, second->SendData(data.data()));
    EXPECT_EQ(3u, lit("FB - fb0").size());
    second.reset();
    EXPECT_EQ(nullptr, models.getModel("FB - fb0"));
}

TEST_F(ScreenPreviewOutputTest, FramesBeforeInitOrAfterCloseDrawNothing) {
    ASSERT_TRUE(models.addModel(memoryModel("Preview", 8, 6)));
    auto out = output();
    data[0] = 255;
    EXPECT_EQ((int)COUNT, out->SendData(data.data()));
    ASSERT_EQ(1, out->Init(named("Preview")));
    out->Close();
    EXPECT_EQ((int)COUNT, out->SendData(data.data()));
    EXPECT_TRUE(lit("Preview").empty());
}

TEST_F(ScreenPreviewOutputTest, WritesRgb565BytesIntoASixteenBitFramebuffer) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(4, 3, 2));
    Json::Value c = onDevice("fb0", 4, 3);
    c["layout"] = onePixelLayout(1, 1, 4, 3);
    auto out = output();
    ASSERT_EQ(1, out->Init(c)) << log.text();
    // Init clears the screen: every visible byte black, the row padding untouched.
    EXPECT_EQ(std::vector<uint8_t>(
                  {0, 0, 0, 0, 0, 0, 0, 0, U, U, 0, 0, 0, 0, 0, 0, 0, 0, U, U, 0, 0, 0, 0, 0, 0, 0, 0, U, U}),
              screens.bytes());
    data[0] = 0xFF;
    data[1] = 0x80;
    data[2] = 0x00;
    out->SendData(data.data());
    // (255, 128, 0) -> 0xFC00; the disc is (0,1), (1,0), (1,1).
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0x00, 0xFC, 0, 0, 0, 0, U, U, 0x00, 0xFC, 0x00, 0xFC, 0,
                                    0, 0, 0,    U,    U, 0, 0, 0, 0, 0, 0,    0,    0,    U,    U}),
              screens.bytes());
}

TEST_F(ScreenPreviewOutputTest, WritesOpaqueBytesIntoAThirtyTwoBitFramebuffer) {
    FakeFramebuffers screens(FakeFramebuffers::xrgb8888(3, 2, true));
    Json::Value c = onDevice("fb0", 3, 2);
    c["layout"] = onePixelLayout(2, 1, 3, 2);
    auto out = output();
    ASSERT_EQ(1, out->Init(c)) << log.text();
    const uint8_t B[4] = {0, 0, 0, 0xFF}; // black, opaque
    std::vector<uint8_t> black;
    for (int i = 0; i < 6; i++) {
        black.insert(black.end(), B, B + 4);
    }
    EXPECT_EQ(black, screens.bytes());
    data[0] = 0x12;
    data[1] = 0x34;
    data[2] = 0x56;
    out->SendData(data.data());
    const std::vector<uint8_t> expected = {
        0, 0, 0, 0xFF, 0,    0,    0,    0xFF, 0x56, 0x34, 0x12, 0xFF, //
        0, 0, 0, 0xFF, 0x56, 0x34, 0x12, 0xFF, 0x56, 0x34, 0x12, 0xFF,
    };
    EXPECT_EQ(expected, screens.bytes());
}

TEST_F(ScreenPreviewOutputTest, ModelInAnActiveStateIsShownByTheHostNotByTheOutput) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(2, 2));
    Json::Value c = onDevice("fb0", 2, 2);
    c["layout"] = onePixelLayout(1, 1, 2, 2);
    auto out = output();
    ASSERT_EQ(1, out->Init(c)) << log.text();
    PixelOverlayModel* m = models.getModel("FB - fb0");
    m->setState(PixelOverlayModel::Enabled);
    screens.fill(U);
    data[0] = 255;
    out->SendData(data.data());
    EXPECT_EQ(std::vector<uint8_t>(8, U), screens.bytes()) << "left to the host";
    EXPECT_TRUE(m->isBufferDirty());
    std::vector<uint8_t> channels(16, 0);
    models.doOverlays(channels.data());
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0x00, 0xF8, 0x00, 0xF8, 0x00, 0xF8}), screens.bytes());
}

TEST_F(ScreenPreviewOutputTest, IncompleteOrEmptyModelDescriptionsAreRefused) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    Json::Value noHeight = onDevice("fb0");
    noHeight.removeMember("height");
    Json::Value zeroWidth = onDevice("fb0", 0, 6);
    Json::Value negative = onDevice("fb0", 8, -6);
    Json::Value noDevice = onDevice("/dev/");
    for (const Json::Value& c : {noHeight, zeroWidth, negative, noDevice}) {
        log.clear();
        auto out = output();
        EXPECT_EQ(0, out->Init(c)) << c.toStyledString();
        EXPECT_TRUE(log.contains("Empty Pixel Overlay Model name")) << log.text();
    }
    EXPECT_TRUE(screens.opened.empty());
    EXPECT_TRUE(models.getModelNames().empty());

    log.clear();
    auto out = output();
    EXPECT_EQ(0, out->Init(named("Nope")));
    EXPECT_TRUE(log.contains("Invalid Pixel Overlay Model: 'Nope'")) << log.text();
}

TEST_F(ScreenPreviewOutputTest, AbsurdlyLargePicturesAreRefusedBeforeAnythingIsMade) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    for (auto size : {std::make_pair(100000, 100000), std::make_pair(2147483647, 2147483647),
                      std::make_pair(4097, 5461)}) {
        log.clear();
        auto out = output();
        EXPECT_EQ(0, out->Init(onDevice("fb0", size.first, size.second)));
        EXPECT_TRUE(log.contains("ScreenPreview picture of " + std::to_string(size.first) + "x" +
                                 std::to_string(size.second) +
                                 " is too large (more than 64 MiB); make \"width\" and \"height\" smaller"))
            << log.text();
    }
    EXPECT_TRUE(screens.opened.empty());
    EXPECT_TRUE(models.getModelNames().empty());
    // Just within the limit is made.
    auto out = output();
    EXPECT_EQ(1, out->Init(onDevice("fb0", 4096, 5461))) << log.text();
}

TEST_F(ScreenPreviewOutputTest, FailedInitRemovesTheModelItCreated) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    Json::Value c = onDevice("fb0");
    c["layout"] = Json::Value(Json::objectValue); // no type: the base refuses it
    auto out = output();
    EXPECT_EQ(0, out->Init(c));
    EXPECT_EQ(1u, screens.opened.size());
    EXPECT_EQ(nullptr, models.getModel("FB - fb0"));
    EXPECT_FALSE(out->IsAutoCreated());
}

TEST_F(ScreenPreviewOutputTest, WrongTypedKeysAreReportedNeverThrown) {
    ASSERT_TRUE(models.addModel(memoryModel("Preview", 8, 6)));
    struct Case {
        const char* key;
        Json::Value value;
        const char* message;
    };
    const Case cases[] = {
        {"modelName", 5, "ScreenPreview \"modelName\" must be a text"},
        {"ModelName", true, "ScreenPreview \"ModelName\" must be a text"},
        {"pixelSize", "big", "ScreenPreview \"pixelSize\" must be a whole number"},
        {"PixelSize", 2.5, "ScreenPreview \"PixelSize\" must be a whole number"},
        {"pixelSize", 257, "ScreenPreview \"pixelSize\" 257 is larger than 256"},
    };
    for (const Case& k : cases) {
        Json::Value c = named("Preview");
        c[k.key] = k.value;
        log.clear();
        auto out = output();
        int ok = 1;
        EXPECT_NO_THROW(ok = out->Init(c));
        EXPECT_EQ(0, ok) << k.key;
        EXPECT_TRUE(log.contains(k.message)) << k.key << "\n" << log.text();
    }
    Json::Value c = onDevice("fb0");
    c["width"] = "8";
    log.clear();
    auto out = output();
    EXPECT_EQ(0, out->Init(c));
    EXPECT_TRUE(log.contains("ScreenPreview \"width\" must be a whole number")) << log.text();
}

TEST_F(ScreenPreviewOutputTest, StatusNamesTheModelAndWhereItsPictureIs) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(8, 6));
    auto out = output();
    ASSERT_EQ(1, out->Init(onDevice("fb0")));
    Json::Value s(Json::objectValue);
    out->GetStatus(s);
    EXPECT_EQ("FB - fb0", s["modelName"].asString());
    EXPECT_EQ("/api/overlays/models/FB%20-%20fb0/image", s["previewImage"].asString());
    EXPECT_EQ(8, s["width"].asInt());
    EXPECT_EQ(6, s["height"].asInt());
}
