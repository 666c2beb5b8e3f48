// The playback engine's per-frame road to the outputs: processing, sending,
// blanking, pause and single steps.
//
// The channel buffer is written by the frame taker, the layers below and blanking,
// and read by the outputs; all of them run under sequenceLock, so a close that
// blanks from the player's thread never meets the output thread in the buffer or
// in the outputs.
#include "Sequence.h"

#include "host/player/ChannelTester.h"
#include "host/player/CommandManager.h"
#include "host/core/Common.h"
#include "Effects.h"
#include "host/core/Log.h"
#include "host/player/MultiSync.h"
#include "host/output/OutputManager.h"
#include "host/output/PixelOverlay.h"
#include "host/player/PluginManager.h"
#include "host/player/VideoOverlay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <time.h>

void Sequence::ProcessSequenceData(int ms) {
    std::lock_guard<DeferringMutex> seqLock(sequenceLock);
    if (dataProcessed) {
        // Lay the layers on clean frame data again, not on last time's result.
        std::lock_guard<std::mutex> l(frameCacheLock);
        if (lastFrameData) {
            lastFrameData->readFrame(seqData, TAVO_MAX_CHANNELS);
        }
    }
    {
        std::lock_guard<std::mutex> l(bridgeRangesLock);
        if (bridgeData && !bridgeRanges.empty()) {
            uint64_t now = (uint64_t)GetTimeMS();
            std::map<uint32_t, uint32_t> live; // start channel -> longest live length
            for (auto it = bridgeRanges.begin(); it != bridgeRanges.end();) {
                auto& lengths = it->second.lengths;
                for (auto li = lengths.begin(); li != lengths.end();) {
                    if (li->second < now) {
                        li = lengths.erase(li);
                    } else {
                        ++li;
                    }
                }
                if (lengths.empty()) {
                    it = bridgeRanges.erase(it);
                    continue;
                }
                uint32_t longest = lengths.rbegin()->first;
                if (longest) {
                    uint32_t& l = live[it->second.startChannel];
                    if (longest > l) {
                        l = longest;
                    }
                }
                ++it;
            }
            // Copy merged runs: overlapping and touching blocks go in one piece.
            bool open = false;
            uint64_t s = 0, e = 0;
            for (auto& r : live) {
                uint64_t rs = r.first, re = (uint64_t)r.first + r.second;
                if (open && rs <= e) {
                    if (re > e) {
                        e = re;
                    }
                    continue;
                }
                if (open) {
                    memcpy(seqData + s, bridgeData + s, (size_t)(e - s));
                }
                open = true;
                s = rs;
                e = re;
            }
            if (open) {
                memcpy(seqData + s, bridgeData + s, (size_t)(e - s));
            }
        }
    }
    PluginManager::INSTANCE.modifySequenceData(ms, seqData);
    if (IsEffectRunning()) {
        OverlayEffects(seqData);
    }
    if (SDLOutput::IsOverlayingVideo()) {
        SDLOutput::ProcessVideoOverlay((unsigned int)ms);
    }
    if (PixelOverlayManager::INSTANCE.hasActiveOverlays()) {
        PixelOverlayManager::INSTANCE.doOverlays(seqData);
    }
    if (ChannelTester::INSTANCE.Testing()) {
        ChannelTester::INSTANCE.OverlayTestData(seqData);
    }
    PluginManager::INSTANCE.modifyChannelData(ms, seqData);
    PrepareChannelData(seqData);
    dataProcessed = true;
}

void Sequence::SendSequenceData() {
    // The frame's actions are copied out: a preset may close the sequence (and
    // empty the tables) on this very thread.
    std::vector<std::string> presets, on, off;
    std::string name;
    {
        std::lock_guard<std::mutex> l(frameCacheLock);
        if (lastFrameData && frameActionsDue) {
            frameActionsDue = false;
            uint32_t n = lastFrameData->frame;
            auto it = commandPresets.find(n);
            if (it != commandPresets.end()) {
                presets = it->second;
                name = seqFilename;
            }
            it = effectsOn.find(n);
            if (it != effectsOn.end()) {
                on = it->second;
            }
            it = effectsOff.find(n);
            if (it != effectsOff.end()) {
                off = it->second;
            }
        }
    }
    if (!presets.empty()) {
        std::map<std::string, std::string> keywords{{"SEQUENCE_NAME", name}};
        for (const std::string& p : presets) {
            CommandManager::INSTANCE.TriggerPreset(p, keywords);
        }
    }
    for (const std::string& e : on) {
        StartEffect(e, 0, 1, false);
    }
    for (const std::string& e : off) {
        StopEffect(e);
    }
    std::lock_guard<DeferringMutex> seqLock(sequenceLock);
    SendChannelData(seqData);
}

void Sequence::BlankSequenceData(bool clearBridge) {
    LogExcess(LOGCH_SEQUENCE, "BlankSequenceData()\n");
    std::lock_guard<DeferringMutex> seqLock(sequenceLock);
    ChannelRanges ranges = GetOutputRanges(true);
    for (auto& r : ranges) {
        if (r.first >= TAVO_MAX_CHANNELS) {
            continue;
        }
        size_t len = std::min<uint64_t>(r.second, (uint64_t)TAVO_MAX_CHANNELS - r.first);
        memset(seqData + r.first, 0, len);
    }
    if (clearBridge) {
        std::lock_guard<std::mutex> l(bridgeRangesLock);
        if (bridgeData) {
            for (auto& r : ranges) {
                if (r.first >= TAVO_MAX_CHANNELS) {
                    continue;
                }
                size_t len = std::min<uint64_t>(r.second, (uint64_t)TAVO_MAX_CHANNELS - r.first);
                memset(bridgeData + r.first, 0, len);
            }
            bridgeRanges.clear();
        }
    }
    dataProcessed = false;
    std::lock_guard<std::mutex> l(frameCacheLock);
    SetLastFrameData(nullptr);
}

void Sequence::SendBlankingData() {
    LogDebug(LOGCH_SEQUENCE, "SendBlankingData()\n");
    struct timespec ts = {0, 5 * 1000 * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    if (multiSync && multiSync->sendSyncPackets) {
        multiSync->SendBlankingDataPacket();
    }
    BlankSequenceData(true);
    if (ChannelOutputThreadIsRunning() && ChannelOutputThreadIsEnabled()) {
        ForceChannelOutputNow();
    } else {
        ProcessSequenceData(0);
        SendSequenceData();
    }
}

int Sequence::SequenceIsPaused() {
    return seqPaused;
}

void Sequence::ToggleSequencePause() {
    seqPaused = seqPaused ? 0 : 1;
}

void Sequence::SingleStepSequence() {
    seqSingleStep = 1;
}

void Sequence::SingleStepSequenceBack() {
    seqSingleStepBack = 1;
}
