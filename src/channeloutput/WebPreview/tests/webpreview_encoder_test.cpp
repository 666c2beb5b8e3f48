// The preview stream's pixel change code, tested without sockets.
#include "PixelChangeEncoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

ScreenPreviewPixel pixel(int x, int y, unsigned channel, int count = 3, int type = 0) {
    ScreenPreviewPixel p;
    p.x = x;
    p.y = y;
    p.channel = channel;
    p.channelCount = count;
    p.colorType = type;
    return p;
}

// Gives each record its own three bytes of the preview buffer, in record order.
std::vector<ScreenPreviewPixel> placed(std::vector<ScreenPreviewPixel> pixels) {
    for (size_t i = 0; i < pixels.size(); i++) {
        pixels[i].rPos = (unsigned)(i * 3);
        pixels[i].gPos = (unsigned)(i * 3 + 1);
        pixels[i].bPos = (unsigned)(i * 3 + 2);
    }
    return pixels;
}

struct Harness {
    std::vector<ScreenPreviewPixel> pixels;
    std::vector<unsigned char> preview;
    std::vector<unsigned char> channels;
    PixelChangeEncoder encoder;

    Harness(std::vector<ScreenPreviewPixel> p, int y0, size_t channelCount)
        : pixels(placed(std::move(p))), preview(pixels.size() * 3, 0), channels(channelCount, 0) {
        encoder.SetLayout(pixels, y0);
    }
    std::string encode(PixelChangeEncoder::Result* result = nullptr) {
        std::string out;
        PixelChangeEncoder::Result r = encoder.EncodeChanges(channels.data(), preview.data(), out);
        if (result) {
            *result = r;
        }
        return out;
    }
};

int value(char c) {
    const char* at = strchr(PixelChangeEncoder::ALPHABET, c);
    return at && c ? (int)(at - PixelChangeEncoder::ALPHABET) : -1;
}

} // namespace

TEST(WebPreviewEncoderExamples, OneRedPixelInEventSevenIsTheFortyOneByteEvent) {
    // Y0 = 9, so a pixel at y 4 is sent at Y0 - y = 5.
    Harness h({pixel(10, 4, 0)}, 9, 3);
    h.channels[0] = 255;
    PixelChangeEncoder::Result r;
    const std::string data = h.encode(&r);
    EXPECT_EQ(data, "/00:0A05");
    EXPECT_EQ(r.pixelsChanged, 1);
    EXPECT_EQ(r.colors, 1);

    std::string event;
    BuildSSEEvent(7, data, event);
    EXPECT_EQ(event, "id: 7\r\nevent: message\r\ndata: /00:0A05\r\n\r\n");
    EXPECT_EQ(event.size(), 41u);
    EXPECT_EQ(BuildChunk(event), "29\r\n" + event + "\r\n");
}

TEST(WebPreviewEncoderExamples, ChunkSizeIsLowerCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(BuildChunk(std::string(300, 'x')).substr(0, 5), "12c\r\n");
    EXPECT_EQ(BuildChunk(std::string(300, 'x')).size(), 5u + 300 + 2);
    EXPECT_EQ(BuildChunk(std::string(15, 'x')).substr(0, 3), "f\r\n");
    EXPECT_EQ(BuildChunk(std::string(4096, 'x')).substr(0, 6), "1000\r\n");
}

TEST(WebPreviewEncoderGrouping, SameColourSharesOneGroupInRecordOrderAndRedSortsBeforeBlue) {
    Harness h({pixel(1, 0, 0), pixel(2, 0, 3), pixel(3, 0, 6)}, 0, 9);
    h.channels[0] = 255; // red
    h.channels[5] = 255; // blue
    h.channels[6] = 255; // red
    PixelChangeEncoder::Result r;
    EXPECT_EQ(h.encode(&r), "/00:0100;0300|00/:0200");
    EXPECT_EQ(r.pixelsChanged, 3);
    EXPECT_EQ(r.colors, 2);
}

TEST(WebPreviewEncoderGrouping, GroupsFollowTheByteOrderOfTheirKeysNotTheValueOrder) {
    // Red components 0 ('0'), 10 ('A'), 36 ('a'), 62 ('+'), 63 ('/'), written in value order.
    const int reds[] = {0, 10, 36, 62, 63};
    std::vector<ScreenPreviewPixel> pixels;
    for (int i = 0; i < 5; i++) {
        pixels.push_back(pixel(i, 0, (unsigned)(i * 3)));
    }
    Harness h(pixels, 0, 15);
    for (int i = 0; i < 5; i++) {
        h.channels[i * 3] = (unsigned char)(reds[i] << 2);
        h.channels[i * 3 + 2] = 4; // blue 1 keeps the black one visible
    }
    EXPECT_EQ(h.encode(), "+01:0300|/01:0400|001:0000|A01:0100|a01:0200");
}

TEST(WebPreviewEncoderGrouping, LaterComponentsBreakTiesInByteOrder) {
    Harness h({pixel(0, 0, 0), pixel(1, 0, 3), pixel(2, 0, 6), pixel(3, 0, 9)}, 0, 12);
    const unsigned char colours[4][3] = {{4, 252, 0}, {4, 0, 252}, {4, 0, 248}, {4, 40, 0}};
    for (int i = 0; i < 4; i++) {
        for (int c = 0; c < 3; c++) {
            h.channels[i * 3 + c] = colours[i][c];
        }
    }
    // Keys 1/0, 10/, 10+, 1A0: '+' < '/' < digits < letters.
    EXPECT_EQ(h.encode(), "1/0:0000|10+:0200|10/:0100|1A0:0300");
}

TEST(WebPreviewEncoderChanges, OnlyChangesVisibleAfterTheSixBitCutAreSent) {
    Harness h({pixel(0, 0, 0), pixel(1, 0, 3)}, 0, 6);
    h.channels[0] = 200;
    h.channels[3] = 100;
    EXPECT_EQ(h.encode(), "P00:0100|o00:0000");
    EXPECT_EQ(h.encode(), "") << "nothing changed";

    h.channels[0] = 202; // 200 >> 2 == 202 >> 2
    PixelChangeEncoder::Result r;
    EXPECT_EQ(h.encode(&r), "");
    EXPECT_EQ(r.pixelsChanged, 0);
    EXPECT_EQ(h.preview[0], 50) << "the stored value is the 6-bit one";

    h.channels[0] = 204;
    EXPECT_EQ(h.encode(), "p00:0000");
}

TEST(WebPreviewEncoderChanges, BlackIsNotSentToAZeroedPreviewAndAReturnToBlackIs) {
    Harness h({pixel(0, 0, 0), pixel(1, 0, 3)}, 0, 6);
    EXPECT_EQ(h.encode(), "");
    h.channels[3] = 255;
    EXPECT_EQ(h.encode(), "/00:0100");
    h.channels[3] = 0;
    EXPECT_EQ(h.encode(), "000:0100");
}

TEST(WebPreviewEncoderColours, EveryColourTypeOfTheTable) {
    // s0..s3 = 4, 8, 12, 16 give the 6-bit values 1, 2, 3, 4 ('1' '2' '3' '4').
    struct Case {
        int count;
        int type;
        const char* key;
    };
    const Case cases[] = {
        {3, 0, "123"}, {3, 1, "132"}, {3, 2, "213"}, {3, 3, "312"},  {3, 4, "231"}, {3, 5, "321"},
        {1, 7, "100"}, {1, 8, "111"}, {1, 9, "001"}, {1, 10, "010"}, {4, 2, "444"}, {3, 11, "y/a"},
    };
    for (const Case& c : cases) {
        ScreenPreviewPixel p = pixel(0, 0, 0, c.count, c.type);
        p.fixedColor[0] = 240;
        p.fixedColor[1] = 255;
        p.fixedColor[2] = 144;
        Harness h({p}, 0, 4);
        h.channels = {4, 8, 12, 16};
        EXPECT_EQ(h.encode(), std::string(c.key) + ":0000") << "channels " << c.count << " type " << c.type;
    }
}

TEST(WebPreviewEncoderColours, RgbwWithWhiteIsGreyWhateverItsColourBytes) {
    Harness h({pixel(0, 0, 0, 4, 0), pixel(1, 0, 4, 4, 5)}, 0, 8);
    h.channels = {255, 0, 17, 128, 40, 80, 120, 0};
    // 128 >> 2 = 32 = 'W'; the second has no white and is read as BGR (30, 20, 10).
    EXPECT_EQ(h.encode(), "UKA:0100|WWW:0000");
}

TEST(WebPreviewEncoderPositions, FourCharactersUpToX4094AndSixFrom4095) {
    EXPECT_EQ(PixelChangeEncoder::PositionCode(4094, 5), "/+05");
    EXPECT_EQ(PixelChangeEncoder::PositionCode(4095, 5), "0//005");
    EXPECT_EQ(PixelChangeEncoder::PositionCode(4096, 4097), "100101");
    EXPECT_EQ(PixelChangeEncoder::PositionCode(0, 0), "0000");
    // The 4-character form keeps only the low 12 bits of the height.
    EXPECT_EQ(PixelChangeEncoder::PositionCode(4094, 4096 + 7), PixelChangeEncoder::PositionCode(4094, 7));

    Harness h({pixel(4094, 0, 0), pixel(4095, 0, 3)}, 5, 6);
    h.channels = {255, 255, 255, 255, 255, 255};
    EXPECT_EQ(h.encode(), "///:/+05;0//005");
}

TEST(WebPreviewEncoderPositions, YIsSentFlippedAgainstY0) {
    Harness h({pixel(0, 0, 0), pixel(0, 3, 3)}, 3, 6);
    h.channels = {255, 0, 0, 255, 0, 0};
    EXPECT_EQ(h.encode(), "/00:0003;0000");
}

// Decodes "key:pos;pos|..." into (key, positions) groups, failing the test on bad text.
static std::vector<std::pair<std::string, std::vector<std::string>>> parseData(const std::string& data) {
    std::vector<std::pair<std::string, std::vector<std::string>>> groups;
    size_t at = 0;
    while (at < data.size()) {
        size_t end = data.find('|', at);
        if (end == std::string::npos) {
            end = data.size();
        }
        const std::string g = data.substr(at, end - at);
        EXPECT_GE(g.size(), 8u);
        EXPECT_EQ(g[3], ':');
        std::vector<std::string> positions;
        size_t p = 4;
        while (p <= g.size()) {
            size_t q = g.find(';', p);
            if (q == std::string::npos) {
                q = g.size();
            }
            positions.push_back(g.substr(p, q - p));
            p = q + 1;
        }
        groups.emplace_back(g.substr(0, 3), positions);
        at = end + 1;
    }
    return groups;
}

TEST(WebPreviewEncoderRandom, DecodedEventsReproduceEveryVisibleChangeFrameAfterFrame) {
    // A layout with mixed pixel kinds and wide x; random frames, some pixels unchanged.
    std::mt19937 rng(12345);
    std::vector<ScreenPreviewPixel> pixels;
    unsigned channel = 0;
    for (int i = 0; i < 600; i++) {
        const int kind = i % 4;
        const int count = kind == 1 ? 1 : kind == 2 ? 4 : 3;
        const int type = count == 1 ? 7 + (i / 4) % 4 : (i / 4) % 6;
        pixels.push_back(pixel(i % 5 == 0 ? 4090 + i : i % 97, i / 7, channel, count, type));
        channel += (unsigned)count;
    }
    const int y0 = 600 / 7;
    Harness h(pixels, y0, channel);
    std::map<std::string, std::string> shown; // position -> colour key, as a browser keeps it
    std::vector<std::string> expected(pixels.size(), "000");

    for (int frame = 0; frame < 60; frame++) {
        // Busy frames, quiet frames, still frames, and steps too small to see.
        const unsigned every = frame % 4 == 0 ? 3 : frame % 4 == 1 ? 100 : frame % 4 == 2 ? 0 : 50;
        for (auto& c : h.channels) {
            if (every && rng() % every == 0) {
                c = frame % 8 == 7 ? (unsigned char)(c ^ 1) : (unsigned char)(rng() % 256);
            }
        }
        std::vector<bool> changed(pixels.size(), false);
        for (size_t i = 0; i < pixels.size(); i++) {
            unsigned char r, g, b;
            ScreenPreviewBaseOutput::PixelColor(h.pixels[i], h.channels.data(), r, g, b);
            const std::string key = PixelChangeEncoder::ColorKey(r >> 2, g >> 2, b >> 2);
            changed[i] = key != expected[i];
            expected[i] = key;
        }
        const std::string data = h.encode();
        auto groups = parseData(data);
        for (size_t g = 1; g < groups.size(); g++) {
            EXPECT_LT(groups[g - 1].first, groups[g].first) << "groups out of byte order in frame " << frame;
        }
        size_t sent = 0;
        for (auto& g : groups) {
            size_t lastIndex = 0;
            bool first = true;
            for (auto& pos : g.second) {
                // Find the record with this position (positions are unique in this layout).
                size_t i = 0;
                for (; i < pixels.size(); i++) {
                    if (PixelChangeEncoder::PositionCode(h.pixels[i].x, y0 - h.pixels[i].y) == pos) {
                        break;
                    }
                }
                ASSERT_LT(i, pixels.size()) << "unknown position " << pos;
                EXPECT_TRUE(changed[i]) << "unchanged pixel " << i << " sent in frame " << frame;
                EXPECT_EQ(g.first, expected[i]) << "pixel " << i << " frame " << frame;
                EXPECT_TRUE(first || i > lastIndex) << "positions out of record order";
                lastIndex = i;
                first = false;
                sent++;
            }
        }
        size_t changedCount = 0;
        for (bool c : changed) {
            changedCount += c ? 1 : 0;
        }
        EXPECT_EQ(sent, changedCount) << "frame " << frame;
        for (char c : data) {
            ASSERT_TRUE(c == '|' || c == ':' || c == ';' || value(c) >= 0) << "stray character in the data";
        }
    }
}

TEST(WebPreviewEncoderChanges, AfterTheStoredColoursAreZeroedEveryLitPixelIsSentAgain) {
    // As when a new browser connects: the still picture must be sent whole.
    std::vector<ScreenPreviewPixel> pixels;
    for (int i = 0; i < 40; i++) {
        pixels.push_back(pixel(i, 0, (unsigned)(i * 3)));
    }
    Harness h(pixels, 0, 120);
    h.channels[0] = 255;
    h.channels[39 * 3 + 2] = 255;
    EXPECT_EQ(h.encode(), "/00:0000|00/:0d00");
    EXPECT_EQ(h.encode(), "");

    std::fill(h.preview.begin(), h.preview.end(), 0);
    h.encoder.Invalidate();
    EXPECT_EQ(h.encode(), "/00:0000|00/:0d00");
    EXPECT_EQ(h.encode(), "");
}

TEST(WebPreviewEncoderChanges, PixelsSharingAPlaceAreComparedEveryFrame) {
    // Two pixels at one preview position: each frame finds the other's colour stored there.
    std::vector<ScreenPreviewPixel> pixels = placed({pixel(0, 0, 0), pixel(0, 0, 3)});
    pixels[1].rPos = pixels[0].rPos;
    pixels[1].gPos = pixels[0].gPos;
    pixels[1].bPos = pixels[0].bPos;
    std::vector<unsigned char> preview(6, 0);
    std::vector<unsigned char> channels = {255, 0, 0, 0, 0, 255};
    PixelChangeEncoder encoder;
    encoder.SetLayout(pixels, 0);
    for (int frame = 0; frame < 3; frame++) {
        std::string out;
        encoder.EncodeChanges(channels.data(), preview.data(), out);
        EXPECT_EQ(out, "/00:0000|00/:0000") << "frame " << frame;
    }
}
