// Playback engine: bridge data kept with its expiry, merged over the frame, under
// the priority setting; bad blocks rejected.
#include "LogCapture.h"
#include "SequenceFixture.h"

#include <thread>

class SequenceBridge : public SequenceFixture {
protected:
    void SetUp() override {
        SequenceFixture::SetUp();
        ChannelOutputManager::INSTANCE.RemoveAllOutputs();
        ChannelOutputManager::INSTANCE.AddOutput(&wide);
    }
    void TearDown() override {
        ChannelOutputManager::INSTANCE.RemoveAllOutputs();
        SequenceFixture::TearDown();
    }

    void bridge(int start, int length, uint8_t value, long long expiresInMs) {
        std::vector<uint8_t> d((size_t)length, value);
        seq->SetBridgeData(d.data(), start, length, (unsigned long long)(GetTimeMS() + expiresInMs));
    }

    // Lays the layers over a buffer filled with `under` and returns channels 0-1023.
    std::vector<uint8_t> process(uint8_t under = 0x55) {
        memset(seq->seqData, under, 1024);
        seq->ProcessSequenceData(0);
        return std::vector<uint8_t>(seq->seqData, seq->seqData + 1024);
    }

    static int countOf(const std::vector<uint8_t>& v, size_t from, size_t to, uint8_t value) {
        int n = 0;
        for (size_t i = from; i < to; i++) {
            n += v[i] == value;
        }
        return n;
    }

    RecordingOutput wide{0, 1024};
};

TEST_F(SequenceBridge, TheLongestLiveBlockAtAStartIsShown) {
    bridge(0, 512, 1, 60000);
    bridge(0, 100, 2, 60000);
    EXPECT_TRUE(seq->hasBridgeData());
    auto v = process();
    // The same bytes hold the latest data: 2 for 0-99, 1 for 100-511.
    EXPECT_EQ(countOf(v, 0, 100, 2), 100);
    EXPECT_EQ(countOf(v, 100, 512, 1), 412);
    EXPECT_EQ(countOf(v, 512, 1024, 0x55), 512);

    // The 512 block expires: only 100 channels stay bridged.
    bridge(0, 512, 1, -1);
    v = process();
    EXPECT_EQ(countOf(v, 0, 100, 1), 100);
    EXPECT_EQ(countOf(v, 100, 1024, 0x55), 924);
    {
        std::lock_guard<std::mutex> l(seq->bridgeRangesLock);
        ASSERT_EQ(seq->bridgeRanges.size(), 1u);
        EXPECT_EQ(seq->bridgeRanges.begin()->second.lengths.size(), 1u);
    }
}

TEST_F(SequenceBridge, OverlappingAndTouchingBlocksMergeButGapsStay) {
    // Leave marks in the bridge buffer that are not live any more.
    bridge(0, 64, 9, -1);
    process();
    EXPECT_FALSE(seq->hasBridgeData());

    bridge(0, 10, 1, 60000);
    bridge(20, 10, 2, 60000);
    auto v = process();
    EXPECT_EQ(countOf(v, 0, 10, 1), 10);
    EXPECT_EQ(countOf(v, 10, 20, 0x55), 10) << "the gap keeps the frame";
    EXPECT_EQ(countOf(v, 20, 30, 2), 10);
    EXPECT_EQ(countOf(v, 30, 64, 0x55), 34);

    bridge(10, 10, 3, 60000); // touches both neighbours
    v = process();
    EXPECT_EQ(countOf(v, 10, 20, 3), 10);
    EXPECT_EQ(countOf(v, 30, 64, 0x55), 34);

    bridge(100, 50, 4, 60000);
    bridge(0, 512, 5, 60000); // overlaps everything before
    v = process();
    EXPECT_EQ(countOf(v, 0, 512, 5), 512);
    EXPECT_EQ(countOf(v, 512, 1024, 0x55), 512);
}

TEST_F(SequenceBridge, BlocksExpireAtTheirTime) {
    // A second to live: the first processing comes well before it ends even on a
    // busy machine under ThreadSanitizer.
    bridge(0, 8, 7, 1000);
    EXPECT_EQ(countOf(process(), 0, 8, 7), 8);
    EXPECT_TRUE(seq->hasBridgeData());
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_TRUE(seq->hasBridgeData()) << "dropped at the next processing only";
    EXPECT_EQ(countOf(process(), 0, 8, 0x55), 8);
    EXPECT_FALSE(seq->hasBridgeData());
}

TEST_F(SequenceBridge, PrioritySettingDecidesWhileASequenceRuns) {
    makeSequence("a.lcsf", 100);
    const std::string warning = "Received bridging data while sequence is running.";
    struct Case {
        const char* setting;
        bool stored;
        bool warns;
    };
    for (const Case& c :
         {Case{"Prioritize Sequence", false, false}, Case{"Warn If Sequence Running", false, true},
          Case{"Send Bridge Data", true, false}}) {
        SCOPED_TRACE(c.setting);
        setSetting("bridgeDataPriority", c.setting);
        WarningHolder::ClearWarnings();
        // A block stored before the sequence started stays live.
        bridge(500, 4, 8, 60000);
        ASSERT_EQ(seq->OpenSequenceFile("a.lcsf", 0, -1), 1);
        seq->StartSequence();
        bridge(0, 16, 6, 60000);
        seq->ProcessSequenceData(0);
        seq->SendSequenceData();
        auto f = wide.lastFrame();
        EXPECT_EQ(countOf(f, 0, 16, 6), c.stored ? 16 : 0);
        EXPECT_EQ(countOf(f, 500, 504, 8), 4);
        auto w = WarningHolder::GetWarnings();
        EXPECT_EQ(std::count(w.begin(), w.end(), warning), c.warns ? 1 : 0);
        seq->CloseSequenceFile(); // blanking clears the bridge data too
        EXPECT_FALSE(seq->hasBridgeData());
    }
}

TEST_F(SequenceBridge, BlankingClearsBridgeDataOnlyWhenAsked) {
    bridge(0, 32, 3, 60000);
    seq->BlankSequenceData(false);
    EXPECT_TRUE(seq->hasBridgeData());
    EXPECT_EQ(countOf(process(), 0, 32, 3), 32);
    seq->BlankSequenceData(true);
    EXPECT_FALSE(seq->hasBridgeData());
    EXPECT_EQ(seq->bridgeData[0], 0);
    EXPECT_EQ(countOf(process(), 0, 32, 0x55), 32);
}

TEST_F(SequenceBridge, BlocksOutsideTheBufferAreRejected) {
    LogCapture log;
    std::vector<uint8_t> d(64, 1);
    seq->SetBridgeData(d.data(), -1, 8, GetTimeMS() + 60000);
    seq->SetBridgeData(d.data(), 0, -8, GetTimeMS() + 60000);
    seq->SetBridgeData(d.data(), TAVO_CHANNEL_BUFFER_SIZE - 8, 9, GetTimeMS() + 60000);
    seq->SetBridgeData(d.data(), INT32_MAX, 64, GetTimeMS() + 60000);
    seq->SetBridgeData(nullptr, 0, 8, GetTimeMS() + 60000);
    EXPECT_EQ(log.count("rejected"), 5) << log.text();
    EXPECT_FALSE(seq->hasBridgeData());
    EXPECT_EQ(seq->bridgeData, nullptr);
    // The last bytes of the buffer may be bridged.
    seq->SetBridgeData(d.data(), TAVO_CHANNEL_BUFFER_SIZE - 8, 8, GetTimeMS() + 60000);
    EXPECT_TRUE(seq->hasBridgeData());
    seq->ProcessSequenceData(0);
    EXPECT_EQ(seq->seqData[TAVO_CHANNEL_BUFFER_SIZE - 1], 1);
}

TEST_F(SequenceBridge, NetworkThreadAndOutputThreadTogether) {
    std::atomic<bool> stop{false};
    std::thread network([this, &stop] {
        std::vector<uint8_t> d(300);
        for (int i = 0; !stop; i++) {
            std::fill(d.begin(), d.end(), (uint8_t)i);
            seq->SetBridgeData(d.data(), (i * 50) % 700, 300, GetTimeMS() + (i % 3 ? 20 : -1));
        }
    });
    for (int i = 0; i < 300; i++) {
        seq->ProcessSequenceData(i);
        seq->SendSequenceData();
        if (i % 50 == 0) {
            seq->BlankSequenceData(true);
        }
    }
    stop = true;
    network.join();
    EXPECT_EQ(wide.frameCount(), 300u);
}
