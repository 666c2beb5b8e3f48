// Fixture of the playback engine's tests: a media folder of its own, one recording
// output on channels 0-63, a recording command and a fresh engine per test.
#pragma once

#include "host/player/ChannelTester.h"
#include "host/player/CommandManager.h"
#include "host/core/Common.h"
#include "Effects.h"
#include "EngineTestSupport.h"
#include "host/player/MultiSync.h"
#include "host/output/OutputManager.h"
#include "host/output/PixelOverlay.h"
#include "host/player/Player.h"
#include "host/player/PluginManager.h"
#include "host/player/RunMode.h"
#include "Sequence.h"
#include "host/core/Settings.h"
#include "TempDir.h"
#include "TestSequences.h"
#include "host/player/VideoOverlay.h"
#include "host/core/Warnings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

class SequenceFixture : public ::testing::Test {
protected:
    static const uint32_t OUT_CHANNELS = 64;

    void SetUp() override {
        clearSettings();
        WarningHolder::ClearWarnings();
        setTavoMediaDir(dir.path());
        for (const char* sub : {"sequences", "config", "effects"}) {
            mkdir(dir.file(sub).c_str(), 0755);
        }
        setTavomode(TAVO_MODE_PLAYER);
        Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
        multiSync->sendSyncPackets = false;
        ChannelOutputManager::INSTANCE.RemoveAllOutputs();
        ChannelOutputManager::INSTANCE.AddOutput(&out);
        ChannelOutputManager::INSTANCE.SetOutputThread(nullptr);
        EnableChannelOutput();
        CommandManager::INSTANCE.removeAllCommands();
        CommandManager::INSTANCE.addCommand(new RecordingCommand());
        RecordingCommand::clearRuns();
        writePresets(R"({"presets": {
            "SEQUENCE_STARTED": [{"command": "Record", "args": ["started %SEQUENCE_NAME%"]}],
            "SEQUENCE_STOPPED": [{"command": "Record", "args": ["stopped %SEQUENCE_NAME%"]}]}})");
        StopAllEffects();
        PixelOverlayManager::INSTANCE.removeAllModels();
        ChannelTester::INSTANCE.StopTest();
        PluginManager::INSTANCE.removeAllPlugins();
        SDLOutput::SetVideoOverlay(nullptr);
        seq = std::make_unique<Sequence>();
        sequence = seq.get();
    }

    void TearDown() override {
        seq.reset();
        sequence = nullptr;
        ChannelOutputManager::INSTANCE.RemoveAllOutputs();
        ChannelOutputManager::INSTANCE.SetOutputThread(nullptr);
        StopAllEffects();
        PixelOverlayManager::INSTANCE.removeAllModels();
        ChannelTester::INSTANCE.StopTest();
        PluginManager::INSTANCE.removeAllPlugins();
        SDLOutput::SetVideoOverlay(nullptr);
        CommandManager::INSTANCE.removeAllCommands();
        CommandManager::INSTANCE.loadPresets(dir.file("none.json"));
        setTavomode(TAVO_MODE_PLAYER);
        Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
        clearSettings();
    }

    void writePresets(const std::string& json) {
        writeFileBytes(dir.file("config/commandPresets.json"), json);
        ASSERT_TRUE(CommandManager::INSTANCE.loadPresets());
    }

    std::string makeSequence(const std::string& name, uint32_t frames, uint32_t stepTime = 50,
                             std::vector<LCSFFile::VariableHeader> headers = {},
                             LCSFFile::CompressionType compression = LCSFFile::CompressionType::none) {
        TestSequenceOptions o;
        o.channels = 128;
        o.frames = frames;
        o.stepTime = stepTime;
        o.compression = compression;
        o.headers = std::move(headers);
        std::string path = dir.file("sequences/" + name);
        EXPECT_TRUE(writeTestSequence(path, o)) << path;
        return path;
    }

    // One output period as the host's output thread runs it.
    void step(int ms = 0) {
        seq->ReadSequenceData(false);
        seq->ProcessSequenceData(ms);
        seq->SendSequenceData();
    }

    // Periods as the host's output thread runs them, on an absolute schedule, until
    // the sequence ends or `maxPeriods` have run; returns the periods run.
    int playOnSchedule(int stepMS, int maxPeriods) {
        auto next = std::chrono::steady_clock::now();
        int periods = 0;
        while (seq->IsSequenceRunning() && periods < maxPeriods) {
            step();
            periods++;
            next += std::chrono::milliseconds(stepMS);
            std::this_thread::sleep_until(next);
        }
        return periods;
    }

    // Waits until the reader has queued a frame (or finished), so that a step
    // measures the engine rather than the machine's load.
    void waitQueued() {
        EXPECT_TRUE(waitFor([this] { return seq->CachedFrameCount() > 0 || seq->doneRead; }));
    }

    // The frame a slice of output data holds: -1 all zero, -2 no test frame.
    static int frameOf(const std::vector<uint8_t>& d, uint32_t firstChannel = 0) {
        bool zero = true;
        for (uint8_t b : d) {
            zero &= b == 0;
        }
        if (zero) {
            return -1;
        }
        if (d.empty()) {
            return -2;
        }
        // Channel 0 holds 13 * frame (mod 256); 197 is the inverse of 13.
        uint8_t base = (uint8_t)(d[0] - testChannelValue(0, firstChannel));
        uint32_t f = (uint32_t)(base * 197) & 0xFF;
        for (size_t i = 0; i < d.size(); i++) {
            if (d[i] != testChannelValue(f, firstChannel + (uint32_t)i)) {
                return -2;
            }
        }
        return (int)f;
    }

    std::vector<int> sentFrames() {
        std::vector<int> r;
        for (auto& f : out.frames()) {
            r.push_back(frameOf(f));
        }
        return r;
    }

    TempDir dir;
    RecordingOutput out{0, OUT_CHANNELS};
    ManualOutputThread outThread; // installed by the tests that want one
    std::unique_ptr<Sequence> seq;
};

// An "FC" or "FE" header of format 1: entries of (name, [(start, end), ...]).
inline LCSFFile::VariableHeader
actionHeader(char kind, const std::vector<std::pair<std::string, std::vector<std::pair<int, int>>>>& entries,
             const std::string& text = "") {
    std::vector<uint8_t> d{1};
    auto put32 = [&d](int32_t v) {
        for (int i = 0; i < 4; i++) {
            d.push_back((uint8_t)((uint32_t)v >> (8 * i)));
        }
    };
    put32((int32_t)entries.size());
    d.insert(d.end(), text.begin(), text.end());
    d.push_back(0);
    for (auto& e : entries) {
        d.insert(d.end(), e.first.begin(), e.first.end());
        d.push_back(0);
        put32((int32_t)e.second.size());
        for (auto& p : e.second) {
            put32(p.first);
            put32(p.second);
        }
    }
    return LCSFFile::VariableHeader('F', kind, d);
}
