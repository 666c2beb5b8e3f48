// The E1.31, Art-Net and DDP codecs: packets byte for byte against the standards'
// layouts, and decoding that refuses what does not add up.
#include "protocols/ArtNet.h"
#include "protocols/DDP.h"
#include "protocols/E131.h"
#include "protocols/Sync.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace protocols;

namespace {

e131::Cid testCid() {
    e131::Cid c;
    for (size_t i = 0; i < c.size(); i++) {
        c[i] = (uint8_t)(0xa0 + i);
    }
    return c;
}

std::vector<uint8_t> e131Header(size_t slots, uint32_t rootVector, uint32_t framingVector) {
    size_t size = 126 + slots;
    std::vector<uint8_t> b = {0x00, 0x10, 0x00, 0x00, 'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
    b.push_back((uint8_t)(0x70 | ((size - 16) >> 8)));
    b.push_back((uint8_t)(size - 16));
    for (int i = 3; i >= 0; i--) {
        b.push_back((uint8_t)(rootVector >> (8 * i)));
    }
    e131::Cid c = testCid();
    b.insert(b.end(), c.begin(), c.end());
    b.push_back((uint8_t)(0x70 | ((size - 38) >> 8)));
    b.push_back((uint8_t)(size - 38));
    for (int i = 3; i >= 0; i--) {
        b.push_back((uint8_t)(framingVector >> (8 * i)));
    }
    return b;
}

} // namespace

TEST(E131Codec, ADataPacketIsLaidOutByteForByte) {
    e131::DataHeader h;
    h.cid = testCid();
    h.sourceName = "stage left";
    h.priority = 150;
    h.syncAddress = 7000;
    h.sequence = 42;
    h.options = e131::OPTION_PREVIEW;
    h.universe = 513;
    const uint8_t slots[3] = {1, 2, 255};
    uint8_t out[e131::MAX_PACKET_SIZE];
    ASSERT_EQ(129u, e131::encodeData(out, h, slots, 3));

    std::vector<uint8_t> want = e131Header(3, 0x00000004, 0x00000002);
    std::vector<uint8_t> name(64, 0);
    memcpy(name.data(), "stage left", 10);
    want.insert(want.end(), name.begin(), name.end());
    const uint8_t framingTail[] = {150, 0x1b, 0x58, 42, 0x80, 0x02, 0x01};
    want.insert(want.end(), framingTail, framingTail + sizeof(framingTail));
    const uint8_t dmp[] = {0x70, 14, 0x02, 0xa1, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 1, 2, 255};
    want.insert(want.end(), dmp, dmp + sizeof(dmp));
    ASSERT_EQ(want.size(), 129u);
    EXPECT_EQ(want, std::vector<uint8_t>(out, out + 129));

    e131::Packet p = e131::decode(out, 129);
    ASSERT_EQ(e131::PacketKind::data, p.kind);
    EXPECT_EQ(h.cid, p.cid);
    EXPECT_EQ("stage left", p.sourceName);
    EXPECT_EQ(150, p.priority);
    EXPECT_EQ(7000, p.syncAddress);
    EXPECT_EQ(42, p.sequence);
    EXPECT_EQ(e131::OPTION_PREVIEW, p.options);
    EXPECT_EQ(513, p.universe);
    ASSERT_EQ(3u, p.slotCount);
    EXPECT_EQ(0, memcmp(slots, p.slots, 3));

    // A source name of 64 bytes or more keeps its terminating zero.
    h.sourceName = std::string(80, 'x');
    e131::encodeData(out, h, slots, 3);
    EXPECT_EQ(0, out[44 + 63]);
    EXPECT_EQ(0u, e131::encodeData(out, h, slots, 513));
}

TEST(E131Codec, ASynchronizationPacketIsLaidOutByteForByte) {
    uint8_t out[e131::SYNC_PACKET_SIZE];
    ASSERT_EQ(49u, e131::encodeSync(out, testCid(), 9, 7000));
    std::vector<uint8_t> want = {0x00, 0x10, 0x00, 0x00, 'A', 'S',  'C', '-',  'E',  '1',  '.',
                                 '1',  '7',  0,    0,    0,   0x70, 33,  0x00, 0x00, 0x00, 0x08};
    e131::Cid c = testCid();
    want.insert(want.end(), c.begin(), c.end());
    const uint8_t framing[] = {0x70, 11, 0x00, 0x00, 0x00, 0x01, 9, 0x1b, 0x58, 0, 0};
    want.insert(want.end(), framing, framing + sizeof(framing));
    EXPECT_EQ(want, std::vector<uint8_t>(out, out + 49));
    e131::Packet p = e131::decode(out, 49);
    ASSERT_EQ(e131::PacketKind::sync, p.kind);
    EXPECT_EQ(9, p.sequence);
    EXPECT_EQ(7000, p.syncAddress);
}

TEST(E131Codec, DecodingRefusesEveryTruncationAndInconsistentLength) {
    e131::DataHeader h;
    h.universe = 1;
    std::vector<uint8_t> slots(512, 7);
    uint8_t out[e131::MAX_PACKET_SIZE];
    size_t size = e131::encodeData(out, h, slots.data(), slots.size());
    ASSERT_EQ(e131::PacketKind::data, e131::decode(out, size).kind);
    for (size_t n = 0; n < size; n++) {
        std::string why;
        EXPECT_EQ(e131::PacketKind::invalid, e131::decode(out, n, &why).kind) << n;
        EXPECT_FALSE(why.empty());
    }
    // A property count that claims more than the datagram holds.
    std::vector<uint8_t> bad(out, out + size);
    bad[124]++;
    EXPECT_EQ(e131::PacketKind::invalid, e131::decode(bad.data(), bad.size()).kind);
    // Universe 0 is not a data universe.
    h.universe = 0;
    size = e131::encodeData(out, h, slots.data(), 10);
    EXPECT_EQ(e131::PacketKind::invalid, e131::decode(out, size).kind);
    EXPECT_EQ(e131::PacketKind::invalid, e131::decode(nullptr, 0).kind);
}

TEST(E131Codec, TheSequenceWindowDropsLateAndRepeatedPacketsOnly) {
    EXPECT_TRUE(e131::sequenceAccepted(10, 11));
    EXPECT_FALSE(e131::sequenceAccepted(10, 10)); // a duplicate
    EXPECT_FALSE(e131::sequenceAccepted(10, 9));  // late
    EXPECT_FALSE(e131::sequenceAccepted(5, 242)); // 19 behind, across the wrap
    EXPECT_TRUE(e131::sequenceAccepted(5, 241));  // 20 behind: a restarted source
    EXPECT_TRUE(e131::sequenceAccepted(255, 0));
    EXPECT_EQ((std::array<uint8_t, 4>{239, 255, 1, 2}), e131::multicastGroup(258));
}

TEST(ArtNetCodec, DmxSyncAndPollAreLaidOutByteForByte) {
    uint8_t out[artnet::DMX_HEADER_SIZE + artnet::MAX_DMX_LENGTH];
    const uint8_t data[4] = {9, 8, 7, 6};
    uint16_t port = artnet::portAddress(1, 2, 3);
    EXPECT_EQ(0x123, port);
    ASSERT_EQ(22u, artnet::encodeDmx(out, port, 200, data, 4));
    const uint8_t dmx[] = {'A', 'r', 't', '-',  'N',  'e',  't',  0, 0x00, 0x50, 0x00,
                           14,  200, 0,   0x23, 0x01, 0x00, 0x04, 9, 8,    7,    6};
    EXPECT_EQ(std::vector<uint8_t>(dmx, dmx + sizeof(dmx)), std::vector<uint8_t>(out, out + 22));
    artnet::Packet p = artnet::decode(out, 22);
    ASSERT_EQ(artnet::PacketKind::dmx, p.kind);
    EXPECT_EQ(0x123, p.portAddress);
    EXPECT_EQ(200, p.sequence);
    ASSERT_EQ(4u, p.length);
    EXPECT_EQ(0, memcmp(data, p.data, 4));
    EXPECT_EQ(0u, artnet::encodeDmx(out, port, 1, data, 3)); // odd lengths are not ArtDmx
    EXPECT_EQ(artnet::PacketKind::invalid, artnet::decode(out, 21).kind);

    ASSERT_EQ(14u, artnet::encodeSync(out));
    const uint8_t sync[] = {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x52, 0x00, 14, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(sync, sync + 14), std::vector<uint8_t>(out, out + 14));
    ASSERT_EQ(14u, artnet::encodePoll(out));
    const uint8_t poll[] = {'A', 'r', 't', '-', 'N', 'e', 't', 0, 0x00, 0x20, 0x00, 14, 0x02, 0x10};
    EXPECT_EQ(std::vector<uint8_t>(poll, poll + 14), std::vector<uint8_t>(out, out + 14));
}

TEST(ArtNetCodec, APollReplyNamesTheNodeAndItsPorts) {
    artnet::PollReply r;
    r.address = {10, 1, 2, 3};
    r.shortName = "wall";
    r.longName = "the wall's controller";
    r.netSwitch = 1;
    r.subSwitch = 2;
    r.outputs = {0x120, 0x121};
    r.inputs = {0x125};
    uint8_t out[artnet::POLL_REPLY_SIZE];
    ASSERT_EQ(239u, artnet::encodePollReply(out, r));
    EXPECT_EQ(0x00, out[8]);
    EXPECT_EQ(0x21, out[9]);
    EXPECT_EQ(0x36, out[14]); // port 6454, little-endian
    EXPECT_EQ(0x19, out[15]);
    artnet::Packet p = artnet::decode(out, sizeof(out));
    ASSERT_EQ(artnet::PacketKind::pollReply, p.kind);
    EXPECT_EQ(r.address, p.reply.address);
    EXPECT_EQ("wall", p.reply.shortName);
    EXPECT_EQ("the wall's controller", p.reply.longName);
    EXPECT_EQ(r.outputs, p.reply.outputs);
    EXPECT_EQ(r.inputs, p.reply.inputs);
    EXPECT_EQ(artnet::PacketKind::invalid, artnet::decode(out, 200).kind);
}

TEST(DDPCodec, HeadersAndHostileLengths) {
    uint8_t out[ddp::HEADER_SIZE + 4];
    ddp::Header h;
    h.flags = ddp::FLAG_VERSION_1 | ddp::FLAG_PUSH;
    h.sequence = 15;
    h.offset = 0x01020304;
    h.length = 4;
    ddp::encodeHeader(out, h);
    const uint8_t want[] = {0x41, 0x0f, 0x0b, 0x01, 0x01, 0x02, 0x03, 0x04, 0x00, 0x04};
    EXPECT_EQ(std::vector<uint8_t>(want, want + 10), std::vector<uint8_t>(out, out + 10));
    memset(out + 10, 5, 4);
    ddp::Packet p = ddp::decode(out, sizeof(out));
    ASSERT_TRUE(p.valid);
    EXPECT_TRUE(p.push());
    EXPECT_EQ(0x01020304u, p.header.offset);
    EXPECT_EQ(4u, p.length);
    EXPECT_FALSE(ddp::decode(out, sizeof(out) - 1).valid); // the length runs past the datagram
    out[0] = 0x80;                                         // version 2
    EXPECT_FALSE(ddp::decode(out, sizeof(out)).valid);
    out[0] = ddp::FLAG_VERSION_1 | ddp::FLAG_TIME; // a timecode that is not there
    EXPECT_FALSE(ddp::decode(out, sizeof(out)).valid);
    EXPECT_EQ(1, ddp::nextSequence(15));
    EXPECT_EQ(2, ddp::nextSequence(1));
}

// Our own sync packets: the documented layout (docs/sync.md), a round trip of every
// type, and every truncation refused.
TEST(SyncCodec, APositionIsLaidOutByteForByteAndEveryTypeReadsBack) {
    sync::Packet p;
    p.type = sync::Type::POSITION;
    p.sequence = 0x0102;
    p.sender = 0xA0B0C0D0;
    p.frame = 1234;
    p.elapsedMs = 30850;
    p.stepMs = 25;
    p.name = "show.lcsf";
    uint8_t out[sync::MAX_PACKET_SIZE];
    size_t n = sync::encode(out, p);
    const std::vector<uint8_t> want = {'T',  'V', 'S', 'Y',  1,    3,   0x01, 0x02, 0xA0, 0xB0, 0xC0,
                                       0xD0, 0,   0,   0x04, 0xD2, 0,   0,    0x78, 0x82, 0,    25,
                                       9,    's', 'h', 'o',  'w',  '.', 'l',  'c',  's',  'f'};
    EXPECT_EQ(std::vector<uint8_t>(out, out + n), want);

    sync::Packet presence;
    presence.type = sync::Type::PRESENCE;
    presence.mode = sync::Mode::FOLLOWER;
    presence.offsetUs = -1500;
    presence.host = "stage-left";
    presence.version = "0.1.0";
    presence.name = "show.lcsf";
    sync::Packet plugin;
    plugin.type = sync::Type::PLUGIN;
    plugin.data = {1, 2, 3};
    sync::Packet blank;
    blank.type = sync::Type::BLANK;
    for (const sync::Packet& s : {p, presence, plugin, blank}) {
        size_t size = sync::encode(out, s);
        ASSERT_GT(size, 0u);
        sync::Packet r = sync::decode(out, size);
        ASSERT_TRUE(r.valid);
        EXPECT_EQ(r.type, s.type);
        EXPECT_EQ(r.name, s.name);
        EXPECT_EQ(r.frame, s.frame);
        EXPECT_EQ(r.host, s.host);
        EXPECT_EQ(r.offsetUs, s.offsetUs);
        EXPECT_EQ(r.data, s.data);
        for (size_t cut = 0; cut < size; cut++) {
            std::string why;
            EXPECT_FALSE(sync::decode(out, cut, &why).valid) << cut;
            EXPECT_FALSE(why.empty());
        }
    }
    // Another version, an unknown type.
    out[4] = 2;
    EXPECT_FALSE(sync::decode(out, n).valid);
    out[4] = 1;
    out[5] = 9;
    EXPECT_FALSE(sync::decode(out, n).valid);
    // A text too long for its length byte is not written.
    p.name = std::string(256, 'x');
    EXPECT_EQ(sync::encode(out, p), 0u);
}
