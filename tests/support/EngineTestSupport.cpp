// Engine test helpers.
#include "EngineTestSupport.h"

#include <cstdio>
#include <thread>

void RecordingOutput::PrepData(unsigned char*) {
    std::lock_guard<std::mutex> l(m_lock);
    m_preps++;
}

int RecordingOutput::SendData(unsigned char* channelData) {
    std::lock_guard<std::mutex> l(m_lock);
    m_frames.emplace_back(channelData, channelData + m_channelCount);
    return (int)m_channelCount;
}

std::vector<std::vector<uint8_t>> RecordingOutput::frames() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_frames;
}

size_t RecordingOutput::frameCount() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_frames.size();
}

std::vector<uint8_t> RecordingOutput::lastFrame() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_frames.empty() ? std::vector<uint8_t>() : m_frames.back();
}

int RecordingOutput::prepCount() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_preps;
}

void RecordingOutput::clear() {
    std::lock_guard<std::mutex> l(m_lock);
    m_frames.clear();
    m_preps = 0;
}

namespace {
std::mutex runsLock;
std::vector<std::string> recordedRuns; // guarded by runsLock
} // namespace

std::unique_ptr<Command::Result> RecordingCommand::run(const std::vector<std::string>& a) {
    std::lock_guard<std::mutex> l(runsLock);
    recordedRuns.push_back(a.empty() ? name : a[0]);
    return std::make_unique<Result>("OK");
}

std::vector<std::string> RecordingCommand::runs() {
    std::lock_guard<std::mutex> l(runsLock);
    return recordedRuns;
}

void RecordingCommand::clearRuns() {
    std::lock_guard<std::mutex> l(runsLock);
    recordedRuns.clear();
}

int RecordingCommand::count(const std::string& text) {
    std::lock_guard<std::mutex> l(runsLock);
    int n = 0;
    for (auto& r : recordedRuns) {
        n += r == text;
    }
    return n;
}

std::atomic<int> SlowLCSFFile::framesFetched{0};

SlowLCSFFile::SlowLCSFFile(LCSFFile* inner, std::function<int(uint32_t)> delayFor)
    : LCSFFile("-memory-"), m_inner(inner), m_delayFor(std::move(delayFor)) {
    m_seqFilename = inner->m_seqFilename;
    m_uniqueId = inner->m_uniqueId;
    m_seqNumFrames = inner->m_seqNumFrames;
    m_seqChannelCount = inner->m_seqChannelCount;
    m_seqStepTime = inner->m_seqStepTime;
    m_seqVersionMajor = inner->m_seqVersionMajor;
    m_seqVersionMinor = inner->m_seqVersionMinor;
    m_variableHeaders = inner->m_variableHeaders;
}

SlowLCSFFile::~SlowLCSFFile() {
    delete m_inner;
}

void SlowLCSFFile::prepareRead(const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                               uint32_t startFrame) {
    m_inner->prepareRead(ranges, startFrame);
}

LCSFFile::FrameData* SlowLCSFFile::getFrame(uint32_t frame) {
    int ms = m_delayFor ? m_delayFor(frame) : 0;
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    framesFetched++;
    return m_inner->getFrame(frame);
}

bool writeEffectFile(const std::string& path, uint32_t firstChannel, uint32_t count, uint32_t frames,
                     const std::function<uint8_t(uint32_t, uint32_t)>& value) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    uint8_t h[20] = {'E', 'S', 'E', 'Q'};
    auto put32 = [&h](int off, uint32_t v) {
        for (int i = 0; i < 4; i++) {
            h[off + i] = (uint8_t)(v >> (8 * i));
        }
    };
    put32(8, count);
    put32(12, firstChannel);
    put32(16, count);
    bool ok = fwrite(h, 1, sizeof(h), f) == sizeof(h);
    std::vector<uint8_t> frame(count);
    for (uint32_t fr = 0; fr < frames && ok; fr++) {
        for (uint32_t i = 0; i < count; i++) {
            frame[i] = value(fr, i);
        }
        ok = fwrite(frame.data(), 1, count, f) == count;
    }
    return fclose(f) == 0 && ok;
}

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
