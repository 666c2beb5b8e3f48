// The CustomUDP template compiler and message building, without sockets.
#include "CustomUDPOutput.h"
#include "UDPTemplate.h"

#include "LogCapture.h"
#include "host/output/UDPOutput.h"
#include "host/core/Warnings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The datagram a template gives for `data`, assembled from the compiled pieces the
// way the kernel gathers the I/O vectors.
Bytes render(const UDPTemplate& t, const Bytes& data) {
    Bytes out;
    for (size_t i = 0; i < t.buffers.size(); i++) {
        bool isData = false;
        for (uint32_t d : t.dataSegments) {
            isData = isData || d == i;
        }
        if (isData) {
            EXPECT_TRUE(t.buffers[i].empty()) << "data placeholder " << i << " carries bytes";
            out.insert(out.end(), data.begin(), data.end());
        } else {
            out.insert(out.end(), t.buffers[i].begin(), t.buffers[i].end());
        }
    }
    return out;
}

Bytes compileOne(const std::string& tokens, uint32_t channels) {
    return render(CompileUDPTemplate(tokens, channels), Bytes());
}

Bytes gather(const struct mmsghdr& m) {
    Bytes out;
    for (size_t i = 0; i < m.msg_hdr.msg_iovlen; i++) {
        const uint8_t* p = static_cast<const uint8_t*>(m.msg_hdr.msg_iov[i].iov_base);
        out.insert(out.end(), p, p + m.msg_hdr.msg_iov[i].iov_len);
    }
    return out;
}

// The channel buffer as the engine owns it, channel n = (n * 7 + 3) & 0xFF.
std::vector<unsigned char> makeChannelBuffer() {
    std::vector<unsigned char> buf(TAVO_CHANNEL_BUFFER_SIZE);
    for (size_t i = 0; i < buf.size(); i++) {
        buf[i] = (unsigned char)((i * 7 + 3) & 0xFF);
    }
    return buf;
}

Json::Value udpConfig(const std::string& address, int port, int start, int count, const std::string& tokens) {
    Json::Value c;
    c["address"] = address;
    c["port"] = port;
    c["startChannel"] = start;
    c["channelCount"] = count;
    c["enabled"] = 1;
    c["tokens"] = tokens;
    return c;
}

} // namespace

// ------------------------------------------------------------------ template tokens

struct TokenCase {
    const char* tokens;
    uint32_t channels;
    Bytes expected;
};

class TemplateTokenTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TemplateTokenTest, AppendsTheTokensBytes) {
    const TokenCase& c = GetParam();
    testing::internal::CaptureStdout();
    Bytes got = compileOne(c.tokens, c.channels);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, c.expected) << "template \"" << c.tokens << "\" with " << c.channels << " channels";
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, TemplateTokenTest,
    ::testing::Values(
        // one- and two-character tokens are literal, whatever they look like
        TokenCase{"A", 3, {'A'}}, TokenCase{"AB", 3, {'A', 'B'}}, TokenCase{"0x", 3, {'0', 'x'}},
        TokenCase{"{P", 3, {'{', 'P'}}, TokenCase{"#4", 3, {'#', '4'}},
        // pixel count, one byte: 1000 channels is 333 pixels, 0x14D
        TokenCase{"{P}", 1000, {0x4D}}, TokenCase{"{p}", 1000, {0x4D}}, TokenCase{"{P1}", 1000, {0x4D}},
        TokenCase{"{p1}", 1000, {0x4D}},
        // channel count, one byte: 1000 is 0x3E8
        TokenCase{"{S}", 1000, {0xE8}}, TokenCase{"{s}", 1000, {0xE8}}, TokenCase{"{S1}", 1000, {0xE8}},
        TokenCase{"{s1}", 1000, {0xE8}},
        // two-byte counts, both byte orders
        TokenCase{"{P2}", 765, {0xFF, 0x00}}, TokenCase{"{p2}", 765, {0x00, 0xFF}},
        TokenCase{"{P2}", 1000, {0x4D, 0x01}}, TokenCase{"{p2}", 1000, {0x01, 0x4D}},
        TokenCase{"{S2}", 300, {0x2C, 0x01}}, TokenCase{"{s2}", 300, {0x01, 0x2C}},
        // the high byte is bits 8 to 15: 70000 channels is 0x11170
        TokenCase{"{S2}", 70000, {0x70, 0x11}}, TokenCase{"{s2}", 70000, {0x11, 0x70}},
        TokenCase{"{S}", 70000, {0x70}},
        // hexadecimal bytes keep their low 8 bits
        TokenCase{"0x41", 3, {0x41}}, TokenCase{"0x1FF", 3, {0xFF}}, TokenCase{"0x7e", 3, {0x7E}},
        TokenCase{"#41", 3, {0x41}}, TokenCase{"#1ff", 3, {0xFF}}, TokenCase{"#000", 3, {0x00}},
        // longer tokens that are none of the above vanish
        TokenCase{"ABC", 3, {}}, TokenCase{"0X41", 3, {}}, TokenCase{"041", 3, {}}, TokenCase{"data", 3, {}},
        // unknown "{" tokens are sent as they stand
        TokenCase{"{foo}", 3, {'{', 'f', 'o', 'o', '}'}}, TokenCase{"{P1}x", 3, {'{', 'P', '1', '}', 'x'}},
        TokenCase{"{DATA}", 3, {'{', 'D', 'A', 'T', 'A', '}'}},
        // the worked examples
        TokenCase{"AB 0x1FF X", 3, {'A', 'B', 0xFF, 'X'}}));

TEST(TemplateCompile, UnknownBraceTokensArePrintedWithoutNewline) {
    testing::internal::CaptureStdout();
    Bytes got = compileOne("{foo} {P1}x {P1}", 300);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Unknown token -{foo}-Unknown token -{P1}x-");
    EXPECT_EQ(got, Bytes({'{', 'f', 'o', 'o', '}', '{', 'P', '1', '}', 'x', 100}));
}

TEST(TemplateCompile, OnlySingleSpacesSeparateTokens) {
    EXPECT_EQ(compileOne("  A  0x42   C ", 3), bytes("ABC"));
    // tabs are not separators: "A\tB" is one three-character token and vanishes
    EXPECT_EQ(compileOne("A\tB", 3), Bytes());
    EXPECT_EQ(compileOne("", 3), Bytes());
    EXPECT_EQ(compileOne("   ", 3), Bytes());
}

TEST(TemplateCompile, DataTokensBecomePlaceholdersBetweenConstantPieces) {
    UDPTemplate t = CompileUDPTemplate("#41 {s2} {data}", 300);
    ASSERT_EQ(t.buffers.size(), 2u);
    EXPECT_EQ(t.buffers[0], Bytes({0x41, 0x01, 0x2C}));
    EXPECT_TRUE(t.buffers[1].empty());
    EXPECT_EQ(t.dataSegments, std::vector<uint32_t>({1}));

    t = CompileUDPTemplate("{data} AB {data} CD", 6);
    ASSERT_EQ(t.buffers.size(), 4u);
    EXPECT_EQ(t.dataSegments, std::vector<uint32_t>({0, 2}));
    EXPECT_EQ(t.buffers[1], bytes("AB"));
    EXPECT_EQ(t.buffers[3], bytes("CD"));

    // two data tokens in a row: two placeholders, no empty constant piece between
    t = CompileUDPTemplate("{data} {data}", 6);
    ASSERT_EQ(t.buffers.size(), 2u);
    EXPECT_EQ(t.dataSegments, std::vector<uint32_t>({0, 1}));

    Bytes data = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(render(CompileUDPTemplate("Z {data} 0x00 {data}", 6), data),
              Bytes({'Z', 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6}));

    t = CompileUDPTemplate("", 6);
    EXPECT_TRUE(t.buffers.empty());
    EXPECT_TRUE(t.dataSegments.empty());
}

// ------------------------------------------------------------------ the data object

class CustomUDPDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        WarningHolder::ClearWarnings();
        buf = makeChannelBuffer();
    }
    std::vector<unsigned char> buf;
    UDPOutputMessages msgs;
};

TEST_F(CustomUDPDataTest, QueuesOneMessageWithTemplateAndLiveChannels) {
    testing::internal::CaptureStdout();
    CustomUDPOutputData d(udpConfig("127.0.0.1", 9000, 11, 300, "#41 {s2} {data}"));
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(d.active);
    ASSERT_TRUE(d.valid);
    EXPECT_TRUE(d.IsPingable());
    EXPECT_EQ(d.GetOutputTypeString(), "CustomUDP");

    d.PrepareData(buf.data(), msgs);
    uint32_t key = inet_addr("127.0.0.1");
    ASSERT_EQ(msgs.size(), 1u);
    ASSERT_EQ(msgs.GetMessages(key).size(), 1u);
    const struct mmsghdr& m = msgs.GetMessages(key)[0];

    Bytes expected = {0x41, 0x01, 0x2C};
    expected.insert(expected.end(), buf.begin() + 10, buf.begin() + 310);
    EXPECT_EQ(gather(m), expected);
    EXPECT_EQ(m.msg_len, 303u);
    ASSERT_EQ(m.msg_hdr.msg_namelen, 16u);
    const struct sockaddr_in* to = static_cast<const struct sockaddr_in*>(m.msg_hdr.msg_name);
    EXPECT_EQ(to->sin_family, AF_INET);
    EXPECT_EQ(ntohs(to->sin_port), 9000);
    EXPECT_EQ(to->sin_addr.s_addr, key);
    // no copy: the data piece points straight into the channel buffer
    EXPECT_EQ(m.msg_hdr.msg_iov[1].iov_base, buf.data() + 10);
    EXPECT_EQ(m.msg_hdr.msg_control, nullptr);
}

TEST_F(CustomUDPDataTest, AddressEndingIn255GoesToTheBroadcastGroup) {
    testing::internal::CaptureStdout();
    CustomUDPOutputData d(udpConfig("10.1.2.255", 9000, 1, 3, "{data}"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(d.isBroadcast);
    EXPECT_FALSE(d.IsPingable());
    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.GetMessages(UDPOutputMessages::BROADCAST_KEY).size(), 1u);
    EXPECT_EQ(msgs.size(), 1u);
    EXPECT_EQ(out, "ip: 10.1.2.255    FF02010A\nfp: 255\nfp2: 10\n");
}

TEST_F(CustomUDPDataTest, ABCTemplateGivesAnEmptyDatagram) {
    testing::internal::CaptureStdout();
    CustomUDPOutputData d(udpConfig("127.0.0.1", 9000, 1, 3, "ABC"));
    testing::internal::GetCapturedStdout();
    d.PrepareData(buf.data(), msgs);
    ASSERT_EQ(msgs.size(), 1u);
    const struct mmsghdr& m = msgs.GetMessages(inet_addr("127.0.0.1"))[0];
    EXPECT_EQ(m.msg_hdr.msg_iovlen, 0u);
    EXPECT_EQ(m.msg_len, 0u);
}

TEST_F(CustomUDPDataTest, UnchangedFramesAreSkippedButRefreshedEverySecond) {
    testing::internal::CaptureStdout();
    CustomUDPOutputData d(udpConfig("127.0.0.1", 9000, 101, 30, "{data}"));
    testing::internal::GetCapturedStdout();

    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.size(), 1u);
    EXPECT_EQ(d.skippedFrames, 0);

    msgs.clear();
    d.PrepareData(buf.data(), msgs);
    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.size(), 0u);
    EXPECT_EQ(d.skippedFrames, 2);

    // a change outside the output's channels is still no change
    buf[99]++;
    buf[131]++;
    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.size(), 0u);

    buf[129]++; // the last channel of the output
    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.size(), 1u);
    EXPECT_EQ(d.skippedFrames, 0);

    msgs.clear();
    d.lastSendTimeMS -= 1000;
    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.size(), 1u) << "an unchanged frame must still go out once a second";
}

TEST_F(CustomUDPDataTest, UnresolvableHostWarnsAndOnlyCountsSkippedFrames) {
    testing::internal::CaptureStdout();
    CustomUDPOutputData* d = new CustomUDPOutputData(udpConfig("nosuchhost.invalid", 9000, 1, 3, "{data}"));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(d->valid);
    // The name is looked up by the engine, on a thread of its own.
    UDPOutput engine;
    engine.addOutput(d);
    EXPECT_TRUE(engine.WaitForLookups(20000));
    const std::string warning = "Could not resolve host name nosuchhost.invalid - disabling output";
    EXPECT_FALSE(d->valid);
    auto w = WarningHolder::GetWarnings();
    EXPECT_NE(std::find(w.begin(), w.end(), warning), w.end());
    EXPECT_EQ(engine.GetAddressProblem(d), warning);
    for (int i = 0; i < 3; i++) {
        d->PrepareData(buf.data(), msgs);
    }
    EXPECT_EQ(msgs.size(), 0u);
    EXPECT_EQ(d->skippedFrames, 3);
    engine.removeOutput(d);
    w = WarningHolder::GetWarnings();
    EXPECT_EQ(std::find(w.begin(), w.end(), warning), w.end()) << "the warning goes with the output";
}

TEST_F(CustomUDPDataTest, AHostNameIsLookedUpByTheEngineAndThenSentTo) {
    testing::internal::CaptureStdout();
    CustomUDPOutputData* d = new CustomUDPOutputData(udpConfig("localhost", 9000, 1, 3, "{data}"));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(d->valid) << "no name is looked up where the output is made";
    UDPOutput engine;
    engine.addOutput(d);
    ASSERT_TRUE(engine.WaitForLookups(20000));
    engine.PrepData(buf.data());
    EXPECT_TRUE(d->valid);
    EXPECT_EQ(d->destination.sin_addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(engine.GetAddressProblem(d), "");
}

struct BadConfigCase {
    const char* name;
    Json::Value config;
    const char* logNeedle; // in the error line
};

class CustomUDPBadConfigTest : public ::testing::TestWithParam<BadConfigCase> {};

TEST_P(CustomUDPBadConfigTest, IsLoggedAndSendsNothing) {
    const BadConfigCase& c = GetParam();
    std::vector<unsigned char> buf = makeChannelBuffer();
    LogCapture log;
    UDPOutputMessages msgs;
    testing::internal::CaptureStdout();
    CustomUDPOutputData d(c.config);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(d.active);
    EXPECT_TRUE(log.contains(c.logNeedle)) << log.text();
    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.size(), 0u);
}

Json::Value withKey(Json::Value c, const char* key, const Json::Value& v) {
    c[key] = v;
    return c;
}

const Json::Value goodConfig = udpConfig("127.0.0.1", 9000, 1, 3, "{data}");

INSTANTIATE_TEST_SUITE_P(
    Keys, CustomUDPBadConfigTest,
    ::testing::Values(
        BadConfigCase{"StartZero", withKey(goodConfig, "startChannel", 0), "\"startChannel\" 0"},
        BadConfigCase{"PastTheBuffer",
                      withKey(withKey(goodConfig, "startChannel", 8388600), "channelCount", 100),
                      "does not fit the channels 1 to 8388608"},
        BadConfigCase{"NegativeCount", withKey(goodConfig, "channelCount", -3), "\"channelCount\" -3"},
        BadConfigCase{"StartAsText", withKey(goodConfig, "startChannel", "1"),
                      "\"startChannel\" must be a whole number, not the text \"1\""},
        BadConfigCase{"PortAsText", withKey(goodConfig, "port", "9000"), "\"port\" must be a number"},
        BadConfigCase{"PortTooLarge", withKey(goodConfig, "port", 70000), "\"port\" 70000 is not a UDP port"},
        BadConfigCase{"PortMissing", Json::Value(Json::objectValue), "\"port\" 0 is not a UDP port"},
        BadConfigCase{"TokensNotText", withKey(goodConfig, "tokens", 5), "\"tokens\" must be a text"},
        BadConfigCase{"AddressNotText", withKey(goodConfig, "address", 10), "\"address\" must be a text"},
        BadConfigCase{"EnabledAsWord", withKey(goodConfig, "enabled", "yes"), "\"enabled\" must be"},
        BadConfigCase{"TooLongForADatagram", withKey(goodConfig, "channelCount", 70000),
                      "the datagram would be 70000 bytes"},
        BadConfigCase{"NotAnObject", Json::Value(5), "not a JSON object"}),
    [](const ::testing::TestParamInfo<BadConfigCase>& i) { return std::string(i.param.name); });

TEST(CustomUDPData, DisabledOutputSendsNothing) {
    std::vector<unsigned char> buf = makeChannelBuffer();
    UDPOutputMessages msgs;
    testing::internal::CaptureStdout();
    CustomUDPOutputData d(withKey(goodConfig, "enabled", 0));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(d.active);
    d.PrepareData(buf.data(), msgs);
    EXPECT_EQ(msgs.size(), 0u);
    EXPECT_EQ(d.skippedFrames, 1);
}

// ------------------------------------------------------------------ the output object

TEST(CustomUDPOutputObject, InitWithoutTheEngineFailsWithItsMessage) {
    // An output that could never send must not start as if it worked.
    ASSERT_EQ(UDPOutput::INSTANCE, nullptr);
    LogCapture log;
    CustomUDPOutput out(0, 3);
    EXPECT_EQ(out.Init(withKey(goodConfig, "type", "CustomUDP")), 0);
    EXPECT_EQ(log.count("CustomUDPOutput Requires the UDP outputs to be enabled"), 1) << log.text();
    EXPECT_NE(out.Close(), 0);
}

TEST(CustomUDPOutputObject, InitFailsForAConfigurationThatCouldNeverSend) {
    UDPOutput engine;
    struct Case {
        Json::Value config;
        const char* message;
    };
    Json::Value tokensNotText = udpConfig("127.0.0.1", 9000, 1, 3, "{data}");
    tokensNotText["tokens"] = 7;
    const Case cases[] = {
        {udpConfig("127.0.0.1", 70000, 1, 3, "{data}"), "\"port\" 70000 is not a UDP port"},
        {udpConfig("127.0.0.1", 0, 1, 3, "{data}"), "\"port\" 0 is not a UDP port"},
        {tokensNotText, "\"tokens\" must be a text"},
        {udpConfig("127.0.0.1", 9000, 1, 70000, "{data}"), "more than the 65507 a UDP datagram can carry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        LogCapture log;
        CustomUDPOutput out(0, (unsigned)c.config["channelCount"].asInt());
        testing::internal::CaptureStdout();
        EXPECT_EQ(out.Init(withKey(c.config, "type", "CustomUDP")), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        out.Close();
    }
    EXPECT_EQ(engine.GetOutputCount(), 0u) << "nothing that cannot send is handed to the engine";
}

TEST(CustomUDPOutputObject, InitHandsOneDataObjectToTheEngine) {
    UDPOutput engine;
    CustomUDPOutput out(10, 300);
    testing::internal::CaptureStdout();
    EXPECT_NE(out.Init(withKey(udpConfig("127.0.0.1", 9000, 11, 300, "{data}"), "type", "CustomUDP")), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(engine.GetOutputCount(), 1u);
    EXPECT_EQ(out.GetOutputType(), "CustomUDPOutput");

    std::vector<std::pair<int, int>> ranges;
    out.GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    engine.GetRequiredChannelRanges([&](int a, int b) { ranges.emplace_back(a, b); });
    EXPECT_EQ(ranges, (std::vector<std::pair<int, int>>{{10, 309}, {10, 309}}));
}
