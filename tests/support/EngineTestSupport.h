// Helpers for the playback engine's tests: an output that records what it is sent,
// an output thread the test drives by hand, a command that records its runs, and
// a sequence file whose frames arrive slowly.
#pragma once

#include "host/output/ChannelOutput.h"
#include "host/player/CommandManager.h"
#include "LCSFFile.h"
#include "host/output/OutputManager.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Keeps a copy of its slice of every frame sent, and counts PrepData calls.
class RecordingOutput : public ChannelOutput {
public:
    RecordingOutput(unsigned int start, unsigned int count) : ChannelOutput(start, count) {}

    void PrepData(unsigned char*) override;
    int SendData(unsigned char* channelData) override;

    std::vector<std::vector<uint8_t>> frames() const;
    size_t frameCount() const;
    std::vector<uint8_t> lastFrame() const;
    int prepCount() const;
    void clear();

private:
    mutable std::mutex m_lock; // guards m_frames, m_preps
    std::vector<std::vector<uint8_t>> m_frames;
    int m_preps = 0;
};

// An output thread that only records what the engine asks of it.
class ManualOutputThread : public ChannelOutputThread {
public:
    void Start() override { starts++, running = true; }
    void Stop() override { running = false; }
    bool IsRunning() override { return running; }
    void ForceOutputNow() override { forces++; }

    std::atomic<int> starts{0};
    std::atomic<int> forces{0};
    std::atomic<bool> running{false};
};

// Registered as a command; every run appends its first argument (or its name).
class RecordingCommand : public Command {
public:
    explicit RecordingCommand(const std::string& name = "Record") : Command(name, "records its runs") {
        args.emplace_back("text", "string", "Text to record");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override;

    // The runs of every RecordingCommand, in order.
    static std::vector<std::string> runs();
    static void clearRuns();
    static int count(const std::string& text);
};

// Wraps an opened file; getFrame sleeps for delayFor(frame) milliseconds first.
// The engine opens it through Sequence::setFileOpener.
class SlowLCSFFile : public LCSFFile {
public:
    SlowLCSFFile(LCSFFile* inner, std::function<int(uint32_t)> delayFor);
    ~SlowLCSFFile() override;

    void prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                     uint32_t startFrame = 0) override;
    FrameData* getFrame(uint32_t frame) override;
    void writeHeader() override {}
    void addFrame(uint32_t, const uint8_t*) override {}
    uint32_t getMaxChannel() const override { return m_inner->getMaxChannel(); }

    static std::atomic<int> framesFetched;

private:
    LCSFFile* m_inner;
    std::function<int(uint32_t)> m_delayFor;
};

// Writes an "ESEQ" effect: `frames` frames of `count` channels for the 1-based
// `firstChannel`, every byte of frame f being value(f, i).
bool writeEffectFile(const std::string& path, uint32_t firstChannel, uint32_t count, uint32_t frames,
                     const std::function<uint8_t(uint32_t, uint32_t)>& value);

// Polls `cond` every millisecond until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(5));
