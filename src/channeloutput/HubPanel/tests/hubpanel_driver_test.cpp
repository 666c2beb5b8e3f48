// The in-memory panel driver HubPanel builds on where the real one is not
// installed: options checked with every problem named, canvases of the chains'
// size, pixels kept, and SwapOnVSync handing back the canvas shown until then.
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <memory>

#include "led-matrix.h"

#ifdef RGB_MATRIX_STANDIN

using rgb_matrix::FrameCanvas;
using rgb_matrix::RGBMatrix;

TEST(RgbMatrixStandIn, DefaultOptionsAreValid) {
    RGBMatrix::Options o;
    std::string err = "stale";
    EXPECT_TRUE(o.Validate(&err));
    EXPECT_EQ("", err);
    EXPECT_STREQ("regular", o.hardware_mapping);
    EXPECT_EQ(11, o.pwm_bits);
    EXPECT_EQ(100, o.brightness);
    rgb_matrix::RuntimeOptions r;
    EXPECT_EQ(1, r.gpio_slowdown);
    EXPECT_TRUE(r.do_gpio_init);
}

TEST(RgbMatrixStandIn, EveryBadOptionIsNamedWithItsRange) {
    RGBMatrix::Options o;
    o.pwm_bits = 12;
    o.brightness = 0;
    o.parallel = 7;
    o.panel_type = "FM9999";
    std::string err;
    EXPECT_FALSE(o.Validate(&err));
    EXPECT_NE(std::string::npos, err.find("pwm_bits 12 is outside 1 to 11")) << err;
    EXPECT_NE(std::string::npos, err.find("brightness 0 is outside 1 to 100")) << err;
    EXPECT_NE(std::string::npos, err.find("parallel 7 is outside 1 to 6")) << err;
    EXPECT_NE(std::string::npos, err.find("panel_type \"FM9999\" is none of FM6126A, FM6127")) << err;
    EXPECT_EQ(nullptr, RGBMatrix::CreateFromOptions(o, rgb_matrix::RuntimeOptions()));
}

TEST(RgbMatrixStandIn, AHugeCanvasIsRefused) {
    RGBMatrix::Options o;
    o.cols = 512;
    o.chain_length = 1024;
    o.rows = 64;
    o.parallel = 6;
    std::string err;
    EXPECT_FALSE(o.Validate(&err));
    EXPECT_NE(std::string::npos, err.find("a canvas of 524288 x 384 pixels")) << err;
}

TEST(RgbMatrixStandIn, CanvasesAreTheChainsSizeAndKeepTheirPixels) {
    LogCapture log(LOG_DEBUG);
    RGBMatrix::Options o;
    o.rows = 16;
    o.cols = 32;
    o.chain_length = 3;
    o.parallel = 2;
    std::string mapping = "adafruit-hat";
    o.hardware_mapping = mapping.c_str();
    std::unique_ptr<RGBMatrix> m(RGBMatrix::CreateFromOptions(o, rgb_matrix::RuntimeOptions()));
    ASSERT_NE(nullptr, m);
    mapping = "overwritten";
    EXPECT_STREQ("adafruit-hat", m->GivenOptions().hardware_mapping) << "the texts are the matrix's own";
    EXPECT_EQ(96, m->width());
    EXPECT_EQ(32, m->height());
    FrameCanvas* c = m->CreateFrameCanvas();
    EXPECT_EQ(96, c->width());
    EXPECT_EQ(32, c->height());
    c->SetPixel(95, 31, 1, 2, 3);
    c->SetPixel(96, 0, 9, 9, 9); // outside: ignored
    c->SetPixel(-1, 0, 9, 9, 9);
    uint8_t r, g, b;
    ASSERT_TRUE(c->GetPixel(95, 31, &r, &g, &b));
    EXPECT_EQ(1, r);
    EXPECT_EQ(2, g);
    EXPECT_EQ(3, b);
    EXPECT_FALSE(c->GetPixel(96, 0, &r, &g, &b));
    EXPECT_EQ(96u * 32 * 3, c->pixels().size());
    size_t lit = 0;
    for (uint8_t v : c->pixels()) {
        lit += v != 0;
    }
    EXPECT_EQ(3u, lit) << "only the pixel inside was set";
    c->Fill(4, 5, 6);
    ASSERT_TRUE(c->GetPixel(0, 0, &r, &g, &b));
    EXPECT_EQ(5, g);
    c->Clear();
    ASSERT_TRUE(c->GetPixel(0, 0, &r, &g, &b));
    EXPECT_EQ(0, g);
}

TEST(RgbMatrixStandIn, SwapOnVSyncShowsTheCanvasAndHandsBackTheOneShownBefore) {
    std::unique_ptr<RGBMatrix> m(
        RGBMatrix::CreateFromOptions(RGBMatrix::Options(), rgb_matrix::RuntimeOptions()));
    ASSERT_NE(nullptr, m);
    const FrameCanvas* own = m->ShownCanvas();
    ASSERT_NE(nullptr, own) << "the matrix shows a canvas of its own from the start";
    FrameCanvas* a = m->CreateFrameCanvas();
    FrameCanvas* b = m->CreateFrameCanvas();
    EXPECT_EQ(own, m->SwapOnVSync(a));
    EXPECT_EQ(a, m->ShownCanvas());
    EXPECT_EQ(a, m->SwapOnVSync(b, 2));
    EXPECT_EQ(b, m->ShownCanvas());
    EXPECT_EQ(nullptr, m->SwapOnVSync(nullptr));
    EXPECT_EQ(b, m->ShownCanvas());
    EXPECT_EQ(2u, m->SwapCount());
    m->SetPixel(0, 0, 7, 8, 9); // the matrix itself draws on the shown canvas
    uint8_t r, g, bl;
    ASSERT_TRUE(m->ShownCanvas()->GetPixel(0, 0, &r, &g, &bl));
    EXPECT_EQ(9, bl);
}

TEST(RgbMatrixStandIn, MatricesAreCountedAndFreeTheirCanvases) {
    int before = RGBMatrix::LiveMatrices();
    {
        std::unique_ptr<RGBMatrix> m(
            RGBMatrix::CreateFromOptions(RGBMatrix::Options(), rgb_matrix::RuntimeOptions()));
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(before + 1, RGBMatrix::LiveMatrices());
    }
    EXPECT_EQ(before, RGBMatrix::LiveMatrices());
}

#else

TEST(RgbMatrixStandIn, NotBuilt) {
    GTEST_SKIP() << "built against the installed panel driver library";
}

#endif
