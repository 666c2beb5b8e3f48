// The playback engine: opens the sequence the player names, reads its frames ahead
// on a thread of its own, lays bridge data, effects, overlays and tests over each
// frame and hands it to the host's outputs; blanks between sequences.
//
// Locks, in the order they are taken: sequenceLock, fileLock, frameCacheLock.
// bridgeRangesLock is taken last and nothing is taken while it is held.
#pragma once

#include "host/core/MonotonicCondition.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LCSFFile.h"
#include "host/output/ChannelBuffer.h"

// Longest sequence path, terminating zero included.
#define TAVO_SEQUENCE_PATH_MAX 2048

// A recursive mutex whose holder may leave work to run once it has let go of the
// mutex completely. Presets and commands run that way: one may start a sequence,
// which waits for the host's output thread, which may be waiting for this mutex.
class DeferringMutex {
public:
    void lock() {
        m_mutex.lock();
        m_depth++;
    }
    // The last unlock of the holder runs its work, on its thread, after releasing.
    void unlock();
    // Holder only.
    void runAfterUnlock(std::function<void()> work) { m_after.push_back(std::move(work)); }

private:
    std::recursive_mutex m_mutex;
    int m_depth = 0;                            // holder only
    std::vector<std::function<void()>> m_after; // holder only
};

class Sequence {
public:
    class BridgeRangeData {
    public:
        uint32_t startChannel = 0;
        std::map<uint32_t, uint64_t> lengths; // block length -> expiry (GetTimeMS)
    };

    Sequence();
    ~Sequence();

    int OpenSequenceFile(const std::string& filename, int startFrame = 0, int startSecond = -1);
    void StartSequence();
    void StartSequence(const std::string& filename, int startFrame);
    void CloseSequenceFile();
    void CloseIfOpen(const std::string& filename);
    int IsSequenceRunning();
    int IsSequenceRunning(const std::string& filename);
    void ProcessVariableHeaders();

    // Read-ahead and frame taking.
    void ReadFramesLoop();
    void ReadSequenceData(bool forceRead = false);
    void SeekSequenceFile(int frameNumber);
    void SetLastFrameData(LCSFFile::FrameData* frame);
    void clearCaches();

    // Processing and sending.
    void ProcessSequenceData(int ms);
    void SendSequenceData();
    void BlankSequenceData(bool clearBridge = false);
    void SendBlankingData();
    int SequenceIsPaused();
    void ToggleSequencePause();
    void SingleStepSequence();
    void SingleStepSequenceBack();

    // Bridge data.
    void SetBridgeData(unsigned char* data, int startChannel, int length, unsigned long long expiry);
    bool hasBridgeData();
    void setBridgePrioritySetting(const std::string& value);

    // Status for the host and tests.
    std::string GetSequenceName();
    size_t CachedFrameCount();
    size_t PlayedFrameCount();
    // Number of the frame whose data is in the buffer; -1 when none (blanked).
    int GetLoadedFrameNumber();

    // Test seam: how files are opened (LCSFFile::openLCSFFile unless replaced),
    // so a test can slow a file's getFrame down. An empty function restores it.
    void setFileOpener(std::function<LCSFFile*(const std::string&)> opener);

    std::atomic<int> seqMSDuration{0};
    std::atomic<int> seqMSElapsed{0};
    std::atomic<int> seqMSRemaining{0};
    unsigned char* seqData = nullptr;
    // Written with sequenceLock and frameCacheLock held; read with either.
    std::string seqFilename;
    std::atomic<bool> prioritizeSequence{true};
    std::atomic<bool> warnWhenPlaying{true};
    std::map<uint64_t, BridgeRangeData> bridgeRanges; // guarded by bridgeRangesLock
    std::mutex bridgeRangesLock;
    unsigned char* bridgeData = nullptr; // allocated once; contents guarded by bridgeRangesLock
    // Set and cleared with fileLock and frameCacheLock held.
    std::atomic<LCSFFile*> seqFile{nullptr};
    std::atomic<int> seqStarting{0};
    std::atomic<int> seqPaused{0};
    std::atomic<int> seqStepTime{0};
    std::atomic<int> seqSingleStep{0};
    std::atomic<int> seqSingleStepBack{0};
    std::atomic<float> seqRefreshRate{20.0f};
    int idleBlankCount = 0; // guarded by sequenceLock
    std::atomic<bool> dataProcessed{false};
    std::atomic<int> frameSkipCount{0};
    std::atomic<int> blankBetweenSequences{0};
    // Presets triggered under it run only once it is free: runAfterUnlock.
    DeferringMutex sequenceLock;
    std::atomic<int> lastFrameRead{-1};
    std::atomic<bool> doneRead{false};
    // Counts the files opened and closed, so that a frame fetched from one file is
    // never queued for the next; guarded by frameCacheLock.
    uint64_t fileGeneration = 0;
    // Counts the seeks and steps back that moved the reader's position, so that a
    // frame fetched for the old position is not queued; guarded by frameCacheLock.
    uint64_t positionGeneration = 0;
    std::atomic<bool> shutdownReadThread{false};
    std::thread* readThread = nullptr; // created by the first open, under sequenceLock
    // The two lists, lastFrameData and the action tables below are guarded by frameCacheLock.
    std::list<LCSFFile::FrameData*> frameCache;
    std::list<LCSFFile::FrameData*> playedFrames;
    LCSFFile::FrameData* lastFrameData = nullptr;
    // lastFrameData was taken and its presets and effects have not fired yet; a
    // frame shown again (paused, late, not started) does not fire them again.
    bool frameActionsDue = false;
    std::mutex frameCacheLock;
    std::mutex fileLock;
    MonotonicCondition readFramesCV;
    MonotonicCondition frameLoadedCV;
    std::map<uint32_t, std::vector<std::string>> commandPresets;
    std::map<uint32_t, std::vector<std::string>> effectsOn;
    std::map<uint32_t, std::vector<std::string>> effectsOff;

    // Frames of the file last opened that could not be read and were skipped, and
    // whether it ended without a single frame that could be read. Reset by an open.
    std::atomic<int> unreadableFrames{0};
    std::atomic<bool> nothingReadable{false};

private:
    // The reader's bookkeeping of frames the codec cannot give (frameCacheLock held).
    bool skipUnreadable(int frame, LCSFFile* file);
    void noteFrameRead(int frame, LCSFFile* file);
    void noteEndOfFile(LCSFFile* file);
    void takeFrame();       // ReadSequenceData's frame taking, sequenceLock held
    void blankAfterClose(); // CloseSequenceFile's blanking by the rules
    void repeatLastFrame(); // the newest played frame into the buffer again, frameCacheLock held
    // Longest wait of an open for its first frame, beyond the usual one step.
    static constexpr int FIRST_FRAME_WAIT_MS = 2000;
    void waitForFirstFrame(); // sequenceLock held
    void stepBack();          // sequenceLock held
    bool inLists(LCSFFile::FrameData* f) const;
    void destroyUnlessLast(LCSFFile::FrameData* f);
    void setSequenceName(const std::string& name); // sequenceLock held

    // Guarded by frameCacheLock; reset by an open.
    int64_t failingSinceMS = -1;     // first failed fetch since the last good one; -1 none
    bool skippingUnreadable = false; // the last frame was given up on: so is the next failing one
    int skipRunStart = -1;           // first frame of the run being skipped
    int framesRead = 0;              // frames the codec gave for the open file
    bool unreadableWarned = false;   // the user was warned about this file

    std::mutex openerLock; // guards fileOpener
    std::function<LCSFFile*(const std::string&)> fileOpener;
};

// Entry of the "Tavo-ReadFrames" thread.
void ReadSequenceDataThread(Sequence* s);

// The one engine of the daemon.
extern Sequence* sequence;
