// The preview base: layouts, their checks against the output's channels, and the pixel map.
#include "host/output/ScreenPreviewBaseOutput.h"

#include "host/core/Common.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// The smallest concrete preview, with the base's members in reach.
class TestPreview : public ScreenPreviewBaseOutput {
public:
    using ScreenPreviewBaseOutput::ScreenPreviewBaseOutput;
    int SendData(unsigned char*) override { return (int)m_channelCount; }

    void fixSize(int w, int h) {
        m_previewWidth = w;
        m_previewHeight = h;
    }
    unsigned char* buffer() const { return m_previewBuffer; }
};

Json::Value matrix(int w, int h) {
    Json::Value c;
    c["layout"]["type"] = "matrix";
    c["layout"]["width"] = w;
    c["layout"]["height"] = h;
    return c;
}

Json::Value pixelsFile(const std::string& name) {
    Json::Value c;
    c["layout"]["type"] = "pixels";
    c["layout"]["file"] = name;
    return c;
}

class MediaDir : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = getTavoMediaDir();
        setTavoMediaDir(m_dir.path());
        mkdir(m_dir.file("config").c_str(), 0755);
    }
    void TearDown() override { setTavoMediaDir(m_saved); }
    void writeLayout(const std::string& name, const std::string& text) {
        writeFileBytes(m_dir.file("config/" + name), text);
    }

    TempDir m_dir;
    std::string m_saved;
    LogCapture m_log;
};

} // namespace

TEST(ScreenPreviewMatrixLayout, PixelsFollowTheChannelsRowByRowFromTheTop) {
    LogCapture log;
    TestPreview out(100, 3 * 4 * 3);
    ASSERT_EQ(out.Init(matrix(4, 3)), 1) << log.text();
    ASSERT_TRUE(out.InitializePixelMap()) << log.text();

    EXPECT_EQ(out.GetPreviewWidth(), 4);
    EXPECT_EQ(out.GetPreviewHeight(), 3);
    EXPECT_EQ(out.GetPreviewY0(), 2);
    const auto& px = out.GetPixels();
    ASSERT_EQ(px.size(), 12u);
    for (int y = 0; y < 3; y++) {
        for (int x = 0; x < 4; x++) {
            const ScreenPreviewPixel& p = px[y * 4 + x];
            EXPECT_EQ(p.x, x);
            EXPECT_EQ(p.y, y);
            EXPECT_EQ(p.channel, (unsigned)(3 * (y * 4 + x)))
                << "offsets count from the output's first channel";
            EXPECT_EQ(p.channelCount, 3);
            EXPECT_EQ(p.colorType, 0);
            EXPECT_EQ(p.rPos, (unsigned)(3 * (y * 4 + x)));
            EXPECT_EQ(p.gPos, p.rPos + 1);
            EXPECT_EQ(p.bPos, p.rPos + 2);
        }
    }
    ASSERT_NE(out.buffer(), nullptr);
}

TEST(ScreenPreviewMatrixLayout, ALayoutLargerThanTheOutputOrMalformedFailsInit) {
    {
        LogCapture log;
        TestPreview out(0, 35);
        EXPECT_EQ(out.Init(matrix(4, 3)), 0);
        EXPECT_TRUE(
            log.contains("Matrix layout 4x3 needs 36 channels but the output has only 35 (channels 1-35)"))
            << log.text();
    }
    {
        LogCapture log;
        TestPreview out(0, 36);
        EXPECT_EQ(out.Init(matrix(0, 3)), 0);
        EXPECT_TRUE(log.contains("\"width\" and \"height\"")) << log.text();
    }
    {
        // 65536 x 65536 x 3 overflows 32 bits; it must not wrap into a small number.
        LogCapture log;
        TestPreview out(0, 4000000000u);
        EXPECT_EQ(out.Init(matrix(65536, 65536)), 0);
        EXPECT_TRUE(log.contains("needs 12884901888 channels")) << log.text();
    }
    {
        LogCapture log;
        TestPreview out(0, 36);
        Json::Value c;
        EXPECT_EQ(out.Init(c), 0);
        EXPECT_TRUE(log.contains("has no \"layout\"")) << log.text();
        c["layout"]["type"] = "circle";
        EXPECT_EQ(out.Init(c), 0);
        EXPECT_TRUE(log.contains("'circle' is unknown")) << log.text();
    }
}

TEST(ScreenPreviewMatrixLayout, AFixedPreviewSizeScalesTheLayoutIntoIt) {
    LogCapture log;
    TestPreview out(0, 3 * 4 * 2);
    ASSERT_EQ(out.Init(matrix(4, 2)), 1) << log.text();
    out.fixSize(40, 10);
    ASSERT_TRUE(out.InitializePixelMap()) << log.text();
    EXPECT_EQ(out.GetPreviewY0(), 9);
    const auto& px = out.GetPixels();
    // Cell centres: x 5, 15, 25, 35; y 2 (2.5) and 7 (7.5).
    EXPECT_EQ(px[0].x, 5);
    EXPECT_EQ(px[0].y, 2);
    EXPECT_EQ(px[7].x, 35);
    EXPECT_EQ(px[7].y, 7);
    EXPECT_EQ(px[7].rPos, (unsigned)((7 * 40 + 35) * 3));
}

TEST(ScreenPreviewMatrixLayout, TooLargeAPreviewBufferIsRefused) {
    LogCapture log;
    TestPreview out(0, 3 * 2);
    ASSERT_EQ(out.Init(matrix(2, 1)), 1);
    out.fixSize(200000, 200000);
    EXPECT_FALSE(out.InitializePixelMap());
    EXPECT_TRUE(log.contains("is too large")) << log.text();
}

TEST(ScreenPreviewColours, DrawPixelsWritesEachPixelsColourByItsType) {
    LogCapture log;
    TestPreview out(0, 12);
    Json::Value c;
    c["layout"]["type"] = "pixels";
    Json::Value& list = c["layout"]["pixels"];
    auto add = [&](int x, int channel, int channels, int type) {
        Json::Value p;
        p["x"] = x;
        p["y"] = 0;
        p["channel"] = channel;
        p["channels"] = channels;
        p["type"] = type;
        list.append(p);
    };
    add(0, 1, 3, 3);  // s2 s0 s1
    add(1, 1, 4, 0);  // RGBW with white: grey
    add(2, 5, 1, 9);  // blue from s0
    add(3, 6, 3, 11); // fixed colour
    list[3]["color"] = "#0a0B0c";
    ASSERT_EQ(out.Init(c), 1) << log.text();
    ASSERT_TRUE(out.InitializePixelMap()) << log.text();

    unsigned char data[12] = {10, 20, 30, 40, 50, 60, 70, 80, 0, 0, 0, 0};
    out.DrawPixels(data);
    const unsigned char* b = out.buffer();
    const unsigned char expect[4][3] = {{30, 10, 20}, {40, 40, 40}, {0, 0, 50}, {10, 11, 12}};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(b[i * 3], expect[i][0]) << "pixel " << i;
        EXPECT_EQ(b[i * 3 + 1], expect[i][1]) << "pixel " << i;
        EXPECT_EQ(b[i * 3 + 2], expect[i][2]) << "pixel " << i;
    }
}

TEST_F(MediaDir, APixelFileGivesPixelsInItsOrderWithAbsoluteChannels) {
    writeLayout("arch.json", R"([
        {"x": 5, "y": 0, "channel": 101, "channels": 3, "type": 2},
        {"x": 0, "y": 7, "channel": 104, "channels": 1, "type": 7},
        {"x": 9, "y": 3, "channel": 105, "channels": 4}
    ])");
    TestPreview out(100, 10); // channels 101-110
    ASSERT_EQ(out.Init(pixelsFile("config/arch.json")), 1) << m_log.text();
    ASSERT_TRUE(out.InitializePixelMap());
    EXPECT_EQ(out.GetPreviewWidth(), 10);
    EXPECT_EQ(out.GetPreviewHeight(), 8);
    EXPECT_EQ(out.GetPreviewY0(), 7);
    const auto& px = out.GetPixels();
    ASSERT_EQ(px.size(), 3u);
    EXPECT_EQ(px[0].channel, 0u);
    EXPECT_EQ(px[0].colorType, 2);
    EXPECT_EQ(px[1].channel, 3u);
    EXPECT_EQ(px[1].channelCount, 1);
    EXPECT_EQ(px[2].channel, 4u);
    EXPECT_EQ(px[2].channelCount, 4);
    EXPECT_EQ(px[2].colorType, 0) << "type defaults to 0";
    EXPECT_EQ(px[1].rPos, (7u * 10 + 0) * 3);
}

TEST_F(MediaDir, BadPixelFilesFailInitNamingTheProblem) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"[{\"x\": 1, \"y\": 1, \"channel\": 1", "is not valid JSON"},
        {"{\"x\": 1}", "must be a non-empty JSON array"},
        {"[]", "must be a non-empty JSON array"},
        {"[7]", "pixel 0 is not an object"},
        {"[{\"x\": -1, \"y\": 0, \"channel\": 1}]", "pixel 0 needs integer \"x\" and \"y\""},
        {"[{\"x\": 1.5, \"y\": 0, \"channel\": 1}]", "pixel 0 needs integer \"x\" and \"y\""},
        {"[{\"x\": 300000, \"y\": 0, \"channel\": 1}]", "pixel 0 needs integer \"x\" and \"y\""},
        {"[{\"x\": 0, \"y\": 0}]", "pixel 0 needs a \"channel\""},
        {"[{\"x\": 0, \"y\": 0, \"channel\": 0}]", "pixel 0 needs a \"channel\""},
        {"[{\"x\": 0, \"y\": 0, \"channel\": 1, \"channels\": 2}]", "other than 1, 3 or 4"},
        {"[{\"x\": 0, \"y\": 0, \"channel\": 1, \"type\": 12}]", "\"type\" outside 0-11"},
        {"[{\"x\": 0, \"y\": 0, \"channel\": 1, \"type\": 11}]", "type 11 needs a \"color\""},
        {"[{\"x\": 0, \"y\": 0, \"channel\": 1, \"type\": 11, \"color\": \"#12345g\"}]",
         "type 11 needs a \"color\""},
        {"[{\"x\": 0, \"y\": 0, \"channel\": 1}, {\"x\": 1, \"y\": 0, \"channel\": 8}]",
         "pixel 1 uses channels 8-10, outside the output's channels 1-9"},
        {"[{\"x\": 0, \"y\": 0, \"channel\": 4294967295, \"channels\": 4}]", "outside the output's channels"},
    };
    for (const Case& c : cases) {
        m_log.clear();
        writeLayout("bad.json", c.text);
        TestPreview out(0, 9);
        EXPECT_EQ(out.Init(pixelsFile("config/bad.json")), 0) << c.text;
        EXPECT_TRUE(m_log.contains(c.message)) << c.text << "\n" << m_log.text();
        EXPECT_TRUE(m_log.contains("bad.json")) << "the message names the file";
    }
    // Nesting deeper than the JSON reader allows: reported like any other bad text.
    for (int depth : {100, 1200}) {
        m_log.clear();
        writeLayout("deep.json", std::string(depth, '[') + std::string(depth, ']'));
        TestPreview out(0, 9);
        int ok = 1;
        EXPECT_NO_THROW(ok = out.Init(pixelsFile("config/deep.json"))) << depth;
        EXPECT_EQ(ok, 0);
        EXPECT_TRUE(m_log.contains("deep.json")) << m_log.text();
    }
}

TEST_F(MediaDir, TheLayoutFileMustBeAReadableFileInsideTheMediaFolder) {
    TestPreview out(0, 9);
    EXPECT_EQ(out.Init(pixelsFile("config/missing.json")), 0);
    EXPECT_TRUE(m_log.contains("missing.json' cannot be read")) << m_log.text();

    EXPECT_EQ(out.Init(pixelsFile("../etc/passwd")), 0);
    EXPECT_TRUE(m_log.contains("must be a path inside the media folder")) << m_log.text();
    EXPECT_EQ(out.Init(pixelsFile("/etc/passwd")), 0);

    EXPECT_EQ(out.Init(pixelsFile("config")), 0);
    EXPECT_TRUE(m_log.contains("is not a regular file")) << m_log.text();

    Json::Value noFile;
    noFile["layout"]["type"] = "pixels";
    EXPECT_EQ(out.Init(noFile), 0);
    EXPECT_TRUE(m_log.contains("needs a \"file\"")) << m_log.text();
}
