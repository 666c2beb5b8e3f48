// The receiver-card wire format, byte by byte: frames, row headers, discovery
// messages, and the numbers taken from the configuration.
#include "LinkCardProtocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace linkcard;

namespace {

const std::vector<uint8_t> ADDRESSES = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                        0x22, 0x22, 0x33, 0x44, 0x55, 0x66};

std::vector<uint8_t> head(const uint8_t* p, size_t n) {
    return std::vector<uint8_t>(p, p + n);
}

} // namespace

TEST(LinkCardProtocolTest, AddressesDestinationThenSource) {
    uint8_t b[12] = {};
    SetHostMACs(b);
    EXPECT_EQ(ADDRESSES, head(b, 12));
}

TEST(LinkCardProtocolTest, BrightnessFrame) {
    uint8_t f[BRIGHTNESS_FRAME_SIZE];
    memset(f, 0xEE, sizeof(f));
    BuildBrightnessFrame(f, 127);
    std::vector<uint8_t> expected(77, 0);
    std::copy(ADDRESSES.begin(), ADDRESSES.end(), expected.begin());
    expected[12] = 0x0A;
    expected[13] = expected[14] = expected[15] = 127;
    expected[16] = 0xFF;
    EXPECT_EQ(expected, head(f, 77));
}

TEST(LinkCardProtocolTest, DisplayFrame) {
    uint8_t f[DISPLAY_FRAME_SIZE];
    memset(f, 0xEE, sizeof(f));
    BuildDisplayFrame(f, 255);
    std::vector<uint8_t> expected(112, 0);
    std::copy(ADDRESSES.begin(), ADDRESSES.end(), expected.begin());
    expected[12] = 0x01;
    expected[13] = 0x07;
    expected[35] = 255;
    expected[36] = 0x05;
    expected[38] = expected[39] = expected[40] = 255;
    EXPECT_EQ(expected, head(f, 112));
}

TEST(LinkCardProtocolTest, RowHeaderCarriesRowAndPixelNumbersBigEndian) {
    uint8_t h[ROW_HEADER_SIZE];
    BuildRowHeader(h, 0x0123, 497 * 3, 30 * 3);
    std::vector<uint8_t> expected = ADDRESSES;
    for (uint8_t b : {0x55, 0x01, 0x23, 0x01, 0xF1, 0x00, 0x1E, 0x08, 0x88}) {
        expected.push_back(b);
    }
    EXPECT_EQ(expected, head(h, 21));
    BuildRowHeader(h, 256, 0, 384);
    EXPECT_EQ(1, h[13]);
    EXPECT_EQ(0, h[14]);
    EXPECT_EQ(0, h[17]);
    EXPECT_EQ(128, h[18]);
}

TEST(LinkCardProtocolTest, PiecesPerRow) {
    EXPECT_EQ(0, PiecesPerRow(0));
    EXPECT_EQ(1, PiecesPerRow(384));
    EXPECT_EQ(1, PiecesPerRow(1491));
    EXPECT_EQ(2, PiecesPerRow(1494));
    EXPECT_EQ(3, PiecesPerRow(3072));
}

TEST(LinkCardProtocolTest, BrightnessByte) {
    EXPECT_EQ(255, BrightnessByte(0));
    EXPECT_EQ(255, BrightnessByte(100));
    EXPECT_EQ(127, BrightnessByte(50));
    EXPECT_EQ(2, BrightnessByte(1));
    EXPECT_EQ(25, BrightnessByte(10));
}

TEST(LinkCardProtocolTest, GammaOutOfRangeOrNoNumberIsOne) {
    EXPECT_FLOAT_EQ(1.0f, GammaFromText("0.005"));
    EXPECT_FLOAT_EQ(1.0f, GammaFromText("60"));
    EXPECT_FLOAT_EQ(1.0f, GammaFromText("bright"));
    EXPECT_FLOAT_EQ(1.0f, GammaFromText(""));
    EXPECT_FLOAT_EQ(2.2f, GammaFromText("2.2"));
    EXPECT_FLOAT_EQ(0.01f, GammaFromText("0.01"));
    EXPECT_FLOAT_EQ(50.0f, GammaFromText("50"));
    EXPECT_FLOAT_EQ(1.0f, GammaInRange(std::nanf("")));
}

TEST(LinkCardProtocolTest, GammaTables) {
    uint8_t t[256];
    BuildGammaTable(1.0f, t);
    for (int i = 0; i < 256; i++) {
        EXPECT_EQ(i, t[i]);
    }
    BuildGammaTable(2.2f, t);
    EXPECT_EQ(0, t[0]);
    EXPECT_EQ(56, t[128]);
    EXPECT_EQ(255, t[255]);
    EXPECT_EQ(1, t[20]); // 255 x (20/255)^2.2 = 0.94
    EXPECT_EQ(0, t[13]); // 0.36
    for (int i = 1; i < 256; i++) {
        EXPECT_LE(t[i - 1], t[i]);
    }
}

TEST(LinkCardProtocolTest, LegacyOrientationLetters) {
    EXPECT_EQ('R', TranslateLegacyOrientation('L'));
    EXPECT_EQ('U', TranslateLegacyOrientation('N'));
    EXPECT_EQ('L', TranslateLegacyOrientation('R'));
    EXPECT_EQ('N', TranslateLegacyOrientation('U'));
    EXPECT_EQ('x', TranslateLegacyOrientation('x'));
}

TEST(LinkCardProtocolTest, DiscoveryRequest) {
    uint8_t r[DISCOVERY_REQUEST_SIZE];
    memset(r, 0xEE, sizeof(r));
    BuildDiscoveryRequest(r, 31);
    std::vector<uint8_t> expected(284, 0);
    std::copy(ADDRESSES.begin(), ADDRESSES.end(), expected.begin());
    expected[12] = 0x07;
    expected[16] = 31;
    EXPECT_EQ(expected, head(r, 284));
}

TEST(LinkCardProtocolTest, DiscoveryResponseFields) {
    std::vector<uint8_t> f(1001, 0);
    const uint8_t card[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    memcpy(f.data() + 6, card, 6);
    f[12] = 0x08;
    f[15] = 13;
    f[16] = 4;
    f[34] = 0x01;
    f[35] = 0x00; // 256 wide
    f[36] = 0x00;
    f[37] = 0x80; // 128 high
    f[51] = 0xFF;
    f[52] = 0x00;
    f[53] = 0x00;
    f[54] = 0x01;
    f[59] = 0x80;
    f[62] = 0x02;
    f[98] = 7;
    ReceiverInfo info;
    ASSERT_TRUE(ParseDiscoveryResponse(f.data(), f.size(), info));
    EXPECT_EQ(13u, info.versionMajor);
    EXPECT_EQ(4u, info.versionMinor);
    EXPECT_EQ(256u, info.cabinetWidth);
    EXPECT_EQ(128u, info.cabinetHeight);
    EXPECT_EQ(0xFF000001u, info.packets);
    EXPECT_EQ(0x80000002u, info.uptime);
    EXPECT_EQ(7u, info.receiverNumber);
}

TEST(LinkCardProtocolTest, NotAResponseIsSkipped) {
    std::vector<uint8_t> f(1001, 0);
    memcpy(f.data() + 6, DEST_MAC, 6);
    f[12] = 0x08;
    f[15] = 9;
    ReceiverInfo info;
    info.versionMajor = 77;
    EXPECT_FALSE(ParseDiscoveryResponse(f.data(), 1000, info)) << "1000 bytes are too few";
    f[12] = 0x07;
    EXPECT_FALSE(ParseDiscoveryResponse(f.data(), f.size(), info));
    f[12] = 0x08;
    f[11] = 0x67;
    EXPECT_FALSE(ParseDiscoveryResponse(f.data(), f.size(), info));
    EXPECT_FALSE(ParseDiscoveryResponse(nullptr, 2000, info));
    EXPECT_EQ(77u, info.versionMajor);
    f[11] = 0x66;
    EXPECT_TRUE(ParseDiscoveryResponse(f.data(), f.size(), info));
    EXPECT_EQ(9u, info.versionMajor);
}
