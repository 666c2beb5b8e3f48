// Overlay models of type "FB": the bytes they write into 16-, 24- and 32-bit
// framebuffers (memory-backed through the host's seam), pixel size, clipping,
// panning, device names, and when the picture is shown.
#include "FakeFramebuffers.h"
#include "LogCapture.h"
#include "host/output/PixelOverlay.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class FramebufferModelTest : public ::testing::Test {
protected:
    void SetUp() override { mgr.removeAllModels(); }
    void TearDown() override { mgr.removeAllModels(); }

    Json::Value fb(const std::string& device, int width, int height, int pixelSize = 1) {
        Json::Value m(Json::objectValue);
        m["Name"] = "Screen";
        m["Type"] = "FB";
        m["Device"] = device;
        m["Width"] = width;
        m["Height"] = height;
        m["PixelSize"] = pixelSize;
        return m;
    }

    PixelOverlayManager& mgr = PixelOverlayManager::INSTANCE;
    LogCapture log{LOG_INFO};
};

const uint8_t U = FakeFramebuffers::UNTOUCHED;

// A 3 x 2 picture of known colours.
void paint(PixelOverlayModel* m) {
    m->setPixelValue(0, 0, 255, 0, 0);
    m->setPixelValue(1, 0, 0, 255, 0);
    m->setPixelValue(2, 0, 0, 0, 255);
    m->setPixelValue(0, 1, 255, 255, 255);
    m->setPixelValue(1, 1, 0x12, 0x34, 0x56);
    m->setPixelValue(2, 1, 0, 0, 0);
}

} // namespace

TEST_F(FramebufferModelTest, SixteenBitScreenGetsRgb565BytesAndKeepsRowPadding) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(3, 2, 4));
    ASSERT_TRUE(mgr.addModel(fb("fb1", 3, 2))) << log.text();
    PixelOverlayModel* m = mgr.getModel("Screen");
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("FB", m->getType());
    EXPECT_FALSE(m->hasChannels());
    paint(m);
    m->setData(m->getOverlayBuffer());
    // 0x12,0x34,0x56 -> red 2, green 13, blue 10 -> 0x11AA; stored lowest byte first.
    const std::vector<uint8_t> expected = {
        0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, U, U, U, U, //
        0xFF, 0xFF, 0xAA, 0x11, 0x00, 0x00, U, U, U, U,
    };
    EXPECT_EQ(expected, screens.bytes());
}

TEST_F(FramebufferModelTest, ThirtyTwoBitScreenGetsOpaqueBgraBytes) {
    FakeFramebuffers screens(FakeFramebuffers::xrgb8888(3, 2, true));
    ASSERT_TRUE(mgr.addModel(fb("fb0", 3, 2))) << log.text();
    PixelOverlayModel* m = mgr.getModel("Screen");
    paint(m);
    m->setData(m->getOverlayBuffer());
    const std::vector<uint8_t> expected = {
        0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, //
        0xFF, 0xFF, 0xFF, 0xFF, 0x56, 0x34, 0x12, 0xFF, 0x00, 0x00, 0x00, 0xFF,
    };
    EXPECT_EQ(expected, screens.bytes());
}

TEST_F(FramebufferModelTest, ThirtyTwoBitScreenWithoutAlphaLeavesTheTopByteZero) {
    FakeFramebuffers screens(FakeFramebuffers::xrgb8888(1, 1, false));
    ASSERT_TRUE(mgr.addModel(fb("fb0", 1, 1))) << log.text();
    PixelOverlayModel* m = mgr.getModel("Screen");
    m->setPixelValue(0, 0, 0x12, 0x34, 0x56);
    m->setData(m->getOverlayBuffer());
    EXPECT_EQ(std::vector<uint8_t>({0x56, 0x34, 0x12, 0x00}), screens.bytes());
}

TEST_F(FramebufferModelTest, TwentyFourBitScreenGetsThreeBytesAPixel) {
    FramebufferGeometry g = FakeFramebuffers::xrgb8888(2, 1, false, 2);
    g.bitsPerPixel = 24;
    g.lineLength = 2 * 3 + 2;
    FakeFramebuffers screens(g);
    ASSERT_TRUE(mgr.addModel(fb("fb0", 2, 1))) << log.text();
    PixelOverlayModel* m = mgr.getModel("Screen");
    m->setPixelValue(0, 0, 0x12, 0x34, 0x56);
    m->setPixelValue(1, 0, 0xAB, 0xCD, 0xEF);
    m->setData(m->getOverlayBuffer());
    EXPECT_EQ(std::vector<uint8_t>({0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB, U, U}), screens.bytes());
}

TEST_F(FramebufferModelTest, PixelSizeDrawsSquaresAndWhatDoesNotFitIsCutOff) {
    // A 2 x 2 picture at pixel size 2 on a 3 x 3 screen: the squares' right column
    // and bottom row fall outside.
    FakeFramebuffers screens(FakeFramebuffers::rgb565(3, 3, 2));
    ASSERT_TRUE(mgr.addModel(fb("fb0", 2, 2, 2))) << log.text();
    EXPECT_TRUE(log.contains("is larger than /dev/fb0 (3x3); the rest is cut off")) << log.text();
    PixelOverlayModel* m = mgr.getModel("Screen");
    m->setPixelValue(0, 0, 255, 0, 0);
    m->setPixelValue(1, 0, 0, 255, 0);
    m->setPixelValue(0, 1, 0, 0, 255);
    m->setPixelValue(1, 1, 255, 255, 255);
    m->setData(m->getOverlayBuffer());
    const std::vector<uint8_t> expected = {
        0x00, 0xF8, 0x00, 0xF8, 0xE0, 0x07, U, U, //
        0x00, 0xF8, 0x00, 0xF8, 0xE0, 0x07, U, U, //
        0x1F, 0x00, 0x1F, 0x00, 0xFF, 0xFF, U, U,
    };
    EXPECT_EQ(expected, screens.bytes());
}

TEST_F(FramebufferModelTest, PannedScreenIsDrawnWhereItsVisibleAreaIs) {
    FramebufferGeometry g = FakeFramebuffers::rgb565(1, 1, 2);
    g.xOffset = 1;
    g.yOffset = 1;
    g.lineLength = 4;
    FakeFramebuffers screens(g);
    ASSERT_TRUE(mgr.addModel(fb("fb0", 1, 1))) << log.text();
    PixelOverlayModel* m = mgr.getModel("Screen");
    m->setPixelValue(0, 0, 255, 255, 255);
    m->setData(m->getOverlayBuffer());
    EXPECT_EQ(std::vector<uint8_t>({U, U, U, U, U, U, 0xFF, 0xFF}), screens.bytes());
}

TEST_F(FramebufferModelTest, NoSizeGivenFitsTheScreenAtItsPixelSize) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(64, 48));
    ASSERT_TRUE(mgr.addModel(fb("fb0", 0, 0, 4))) << log.text();
    PixelOverlayModel* m = mgr.getModel("Screen");
    EXPECT_EQ(16, m->getWidth());
    EXPECT_EQ(12, m->getHeight());
    EXPECT_FALSE(log.contains("cut off")) << log.text();
}

TEST_F(FramebufferModelTest, DeviceIsFoundUnderDevWithOrWithoutThePrefix) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(4, 4));
    ASSERT_TRUE(mgr.addModel(fb("fb1", 4, 4)));
    mgr.removeAllModels();
    ASSERT_TRUE(mgr.addModel(fb("/dev/fb1", 4, 4)));
    EXPECT_EQ(std::vector<std::string>({"/dev/fb1", "/dev/fb1"}), screens.opened);
    FramebufferOverlayModel* m = dynamic_cast<FramebufferOverlayModel*>(mgr.getModel("Screen"));
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("/dev/fb1", m->getDevice());
}

TEST_F(FramebufferModelTest, DeviceNamesLeadingOutOfDevAreRefusedUnopened) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(4, 4));
    for (const char* bad :
         {"../sda", "/dev/../etc/passwd", "fb0/../../etc/shadow", "", "/dev/", "//fb0", "fb0\n", ".."}) {
        log.clear();
        EXPECT_FALSE(mgr.addModel(fb(bad, 4, 4))) << bad;
        EXPECT_TRUE(log.contains("is not a framebuffer device name")) << bad << "\n" << log.text();
    }
    EXPECT_TRUE(screens.opened.empty());
    EXPECT_EQ(nullptr, mgr.getModel("Screen"));
}

TEST_F(FramebufferModelTest, ScreensOfOtherDepthsAreRefusedWithTheReason) {
    FramebufferGeometry g = FakeFramebuffers::rgb565(4, 4);
    g.bitsPerPixel = 8;
    FakeFramebuffers screens(g);
    EXPECT_FALSE(mgr.addModel(fb("fb0", 4, 4)));
    EXPECT_TRUE(log.contains("Pixel overlay model Screen: /dev/fb0 has 8 bits per pixel; only 16, 24 and 32 "
                             "can be drawn"))
        << log.text();
    EXPECT_EQ(nullptr, mgr.getModel("Screen"));
}

TEST_F(FramebufferModelTest, MissingOrWrongRealDevicesAreNamedWithTheSystemsReason) {
    // The real opener: no framebuffer by that name, and a device that is not one.
    EXPECT_FALSE(mgr.addModel(fb("fb-tavo-missing", 4, 4)));
    EXPECT_TRUE(log.contains("cannot open /dev/fb-tavo-missing: No such file or directory")) << log.text();
    EXPECT_FALSE(mgr.addModel(fb("null", 4, 4)));
    EXPECT_TRUE(
        log.contains("/dev/null is not a framebuffer (reading its geometry failed: Inappropriate ioctl "
                     "for device)"))
        << log.text();
}

TEST_F(FramebufferModelTest, EnabledModelIsShownByTheHostOnceEachTimeItChanges) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(1, 1));
    ASSERT_TRUE(mgr.addModel(fb("fb0", 1, 1)));
    PixelOverlayModel* m = mgr.getModel("Screen");
    std::vector<uint8_t> channels(16, 0);

    // Disabled: whoever draws shows it; the host's pass leaves the screen alone.
    m->setPixelValue(0, 0, 255, 255, 255);
    m->setBufferIsDirty(true);
    EXPECT_FALSE(mgr.hasActiveOverlays());
    m->doOverlay(channels.data());
    EXPECT_EQ(std::vector<uint8_t>({U, U}), screens.bytes());

    m->setState(PixelOverlayModel::Enabled);
    ASSERT_TRUE(mgr.hasActiveOverlays());
    mgr.doOverlays(channels.data());
    EXPECT_EQ(std::vector<uint8_t>({0xFF, 0xFF}), screens.bytes());
    EXPECT_FALSE(m->isBufferDirty());
    // Unchanged since: not written again.
    screens.fill(U);
    mgr.doOverlays(channels.data());
    EXPECT_EQ(std::vector<uint8_t>({U, U}), screens.bytes());
    EXPECT_EQ(std::vector<uint8_t>(16, 0), channels) << "a screen model has no channels to lay over";
}

TEST_F(FramebufferModelTest, ShowDataShowsWithoutChangingTheBuffer) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(2, 1));
    ASSERT_TRUE(mgr.addModel(fb("fb0", 2, 1)));
    PixelOverlayModel* m = mgr.getModel("Screen");
    m->setPixelValue(0, 0, 255, 0, 0);
    const std::vector<uint8_t> white(6, 255);
    m->showData(white.data());
    EXPECT_EQ(std::vector<uint8_t>({0xFF, 0xFF, 0xFF, 0xFF}), screens.bytes());
    EXPECT_EQ(255, m->getOverlayBuffer()[0]);
    EXPECT_EQ(0, m->getOverlayBuffer()[3]);
}

TEST_F(FramebufferModelTest, WrongTypedKeysAreReportedAndTheModelRefused) {
    FakeFramebuffers screens(FakeFramebuffers::rgb565(4, 4));
    Json::Value m = fb("fb0", 4, 4);
    m["PixelSize"] = "2";
    EXPECT_FALSE(mgr.addModel(m));
    EXPECT_TRUE(log.contains("Pixel overlay model Screen: \"PixelSize\" must be a whole number"))
        << log.text();
    m = fb("fb0", 4, 4);
    m["Device"] = 0;
    EXPECT_FALSE(mgr.addModel(m));
    EXPECT_TRUE(log.contains("\"Device\" must be a text")) << log.text();
    m = fb("fb0", 4, 4, 0);
    EXPECT_FALSE(mgr.addModel(m));
    EXPECT_TRUE(log.contains("\"PixelSize\" must be 1 to 256")) << log.text();
    EXPECT_TRUE(screens.opened.empty());
}
