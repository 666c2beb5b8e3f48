// The playback engine: object, settings, open, start and close.
#include "Sequence.h"

#include "host/player/ChannelTester.h"
#include "host/player/CommandManager.h"
#include "host/core/Common.h"
#include "Effects.h"
#include "host/core/Log.h"
#include "host/core/MediaPath.h"
#include "host/player/MultiSync.h"
#include "host/output/OutputManager.h"
#include "host/output/PixelOverlay.h"
#include "host/player/Player.h"
#include "host/player/PluginManager.h"
#include "host/player/RunMode.h"
#include "host/core/Settings.h"
#include "host/player/VideoOverlay.h"
#include "host/core/Warnings.h"

#include <climits>
#include <cstring>
#include <sys/mman.h>

#ifndef MAP_HUGE_SHIFT
#define MAP_HUGE_SHIFT 26
#endif

Sequence* sequence = nullptr;

void DeferringMutex::unlock() {
    if (--m_depth > 0 || m_after.empty()) {
        m_mutex.unlock();
        return;
    }
    std::vector<std::function<void()>> work;
    work.swap(m_after);
    m_mutex.unlock();
    for (auto& w : work) {
        w();
    }
}

namespace {

bool syncEnabled() {
    return multiSync && multiSync->sendSyncPackets;
}

int32_t readLE32s(const uint8_t* p) {
    return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                     ((uint32_t)p[3] << 24));
}

// Reads a NUL-terminated text at `pos` of `data`; false when no NUL ends it inside.
bool readText(const std::vector<uint8_t>& data, size_t& pos, std::string& out) {
    if (pos >= data.size()) {
        return false;
    }
    const void* nul = memchr(data.data() + pos, 0, data.size() - pos);
    if (!nul) {
        return false;
    }
    size_t len = (const uint8_t*)nul - (data.data() + pos);
    out.assign((const char*)data.data() + pos, len);
    pos += len + 1;
    return true;
}

} // namespace

Sequence::Sequence() {
    void* p = mmap(nullptr, TAVO_CHANNEL_BUFFER_SIZE, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB | (21 << MAP_HUGE_SHIFT), -1, 0);
    if (p != MAP_FAILED) {
        LogDebug(LOGCH_SEQUENCE, "Using Huge Pages for Sequence Data   %p\n", p);
    } else {
        p = mmap(nullptr, TAVO_CHANNEL_BUFFER_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                 0);
        if (p == MAP_FAILED) {
            // Without the buffer nothing can play; the host cannot go on either.
            LogErr(LOGCH_SEQUENCE, "Could not map %zu bytes for the channel buffer: %s\n",
                   TAVO_CHANNEL_BUFFER_SIZE, strerror(errno));
            abort();
        }
        LogDebug(LOGCH_SEQUENCE, "Not using Huge Pages for Sequence Data   %p\n", p);
    }
    seqData = (unsigned char*)p;
    memset(seqData, 0, TAVO_CHANNEL_BUFFER_SIZE);
    seqData[TAVO_MAX_CHANNELS + 4] = 0xFF;

    blankBetweenSequences = getSettingInt("blankBetweenSequences", 0);
    setBridgePrioritySetting(getSetting("bridgeDataPriority", "Warn If Sequence Running"));
    registerSettingsListener("sequence", "blankBetweenSequences", [this](const std::string&) {
        blankBetweenSequences = getSettingInt("blankBetweenSequences", 0);
    });
    registerSettingsListener("sequence", "bridgeDataPriority",
                             [this](const std::string& value) { setBridgePrioritySetting(value); });
}

Sequence::~Sequence() {
    // The listeners capture this object; a setting changed later must not reach it.
    unregisterSettingsListener("sequence", "blankBetweenSequences");
    unregisterSettingsListener("sequence", "bridgeDataPriority");

    {
        std::lock_guard<std::mutex> l(frameCacheLock);
        shutdownReadThread = true;
    }
    readFramesCV.notify_all();
    if (readThread) {
        readThread->join();
        delete readThread;
        readThread = nullptr;
    }
    SetLastFrameData(nullptr);
    clearCaches();
    delete seqFile.exchange(nullptr);
    free(bridgeData);
    bridgeData = nullptr;
    munmap(seqData, TAVO_CHANNEL_BUFFER_SIZE);
    seqData = nullptr;
}

void Sequence::setFileOpener(std::function<LCSFFile*(const std::string&)> opener) {
    std::lock_guard<std::mutex> l(openerLock);
    fileOpener = std::move(opener);
}

void Sequence::setSequenceName(const std::string& name) {
    std::lock_guard<std::mutex> l(frameCacheLock);
    seqFilename = name;
}

std::string Sequence::GetSequenceName() {
    std::lock_guard<std::mutex> l(frameCacheLock);
    return seqFilename;
}

int Sequence::IsSequenceRunning() {
    return seqFile.load() != nullptr && seqStarting == 0;
}

int Sequence::IsSequenceRunning(const std::string& filename) {
    std::lock_guard<DeferringMutex> l(sequenceLock);
    return filename == seqFilename && IsSequenceRunning();
}

int Sequence::OpenSequenceFile(const std::string& filename, int startFrame, int startSecond) {
    LogDebug(LOGCH_SEQUENCE, "OpenSequenceFile(%s, %d, %d)\n", filename.c_str(), startFrame, startSecond);
    if (filename.empty()) {
        LogErr(LOGCH_SEQUENCE, "Empty Sequence Filename!\n");
        return 0;
    }

    std::unique_lock<DeferringMutex> seqLock(sequenceLock);
    if (seqFile.load() && seqFilename == filename && seqStarting != 0) {
        return 1;
    }
    if (IsSequenceRunning()) {
        CloseSequenceFile();
    }
    {
        std::lock_guard<std::mutex> fl(fileLock);
        std::lock_guard<std::mutex> cl(frameCacheLock);
        if (LCSFFile* old = seqFile.exchange(nullptr)) {
            delete old;
            commandPresets.clear();
            effectsOn.clear();
            effectsOff.clear();
        }
        fileGeneration++;
        seqStarting = 2;
        doneRead = false;
        failingSinceMS = -1;
        skippingUnreadable = false;
        skipRunStart = -1;
        framesRead = 0;
        unreadableWarned = false;
        unreadableFrames = 0;
        nothingReadable = false;
        lastFrameRead = startFrame ? startFrame - 1 : -1;
        clearCaches();
    }
    seqPaused = 0;
    seqMSDuration = 0;
    seqMSElapsed = 0;
    seqMSRemaining = 0;

    SetChannelOutputFrameNumber(lastFrameRead + 1);

    if (!readThread) {
        readThread = new std::thread(ReadSequenceDataThread, this);
    }

    setSequenceName(filename);
    // A failed open leaves nothing under the name, so that a later start of the
    // same name opens the file again.
    auto openFailed = [this] {
        seqStarting = 0;
        setSequenceName("");
    };

    std::string seqDir = getTavoMediaDir("sequences");
    std::string full;
    std::string refused;
    if (!ResolveMediaPath("sequences", filename, full, refused)) {
        // The name may come from a request; it must not open anything outside the folder.
        LogErr(LOGCH_SEQUENCE, "Sequence name '%s' refused: %s\n", filename.c_str(), refused.c_str());
        openFailed();
        return 0;
    }
    if (full.size() >= TAVO_SEQUENCE_PATH_MAX) {
        // Cutting the name to fit could name another file; refuse instead.
        LogErr(LOGCH_SEQUENCE, "Sequence file path is %d bytes long, longer than %d: %s\n", (int)full.size(),
               TAVO_SEQUENCE_PATH_MAX - 1, full.c_str());
        openFailed();
        return 0;
    }
    char path[TAVO_SEQUENCE_PATH_MAX];
    memcpy(path, full.c_str(), full.size() + 1);
    if (getTavomode() == TAVO_MODE_REMOTE &&
        CheckForHostSpecificFile(getSetting("HostName", ""), path, sizeof(path))) {
        // The host name is a setting that may be changed over HTTP: its file must stay in the folder too.
        std::string hostFile;
        std::string hostPath(path + seqDir.size() + 1);
        if (!ResolveMediaPath("sequences", hostPath, hostFile, refused)) {
            LogErr(LOGCH_SEQUENCE, "Host-specific sequence '%s' refused: %s\n", hostPath.c_str(),
                   refused.c_str());
            memcpy(path, full.c_str(), full.size() + 1);
        }
    }

    if (!FileExists(path)) {
        std::string warning = std::string("Sequence file ") + path + " does not exist\n";
        if (getTavomode() != TAVO_MODE_REMOTE) {
            LogErr(LOGCH_SEQUENCE, "Sequence file %s does not exist\n", path);
            WarningHolder::AddWarningTimeout(warning, 60);
            openFailed();
            return 0;
        }
        LogDebug(LOGCH_SEQUENCE, "Sequence file %s does not exist\n", path);
        std::string fallback = seqDir + "/fallback.lcsf";
        if (fallback.size() >= TAVO_SEQUENCE_PATH_MAX) {
            LogErr(LOGCH_SEQUENCE, "Fallback sequence path is longer than %d bytes: %s\n",
                   TAVO_SEQUENCE_PATH_MAX - 1, fallback.c_str());
            WarningHolder::AddWarningTimeout(warning, 60);
            openFailed();
            return 0;
        }
        memcpy(path, fallback.c_str(), fallback.size() + 1);
        if (!FileExists(path)) {
            LogDebug(LOGCH_SEQUENCE, "Fallback Sequence file %s does not exist\n", path);
            WarningHolder::AddWarningTimeout(warning, 60);
            openFailed();
            return 0;
        }
        setSequenceName("fallback.lcsf");
        LogDebug(LOGCH_SEQUENCE, "Playing Fallback Sequence file %s\n", path);
    }

    if (syncEnabled()) {
        seqLock.unlock();
        multiSync->SendSeqOpenPacket(filename);
        seqLock.lock();
    }

    LCSFFile* f;
    {
        std::function<LCSFFile*(const std::string&)> opener;
        {
            std::lock_guard<std::mutex> l(openerLock);
            opener = fileOpener;
        }
        f = opener ? opener(path) : LCSFFile::openLCSFFile(path);
    }
    if (!f) {
        LogErr(LOGCH_SEQUENCE, "Error opening sequence file: %s. LCSFFile::openLCSFFile returned NULL\n",
               path);
        openFailed();
        return 0;
    }
    if (f->m_seqStepTime == 0 || f->m_seqStepTime > INT_MAX) {
        // Every timing of the engine divides by the step time.
        LogErr(LOGCH_SEQUENCE,
               "Sequence file %s has a step time of %u ms; it needs at least 1 ms per frame\n", path,
               (unsigned)f->m_seqStepTime);
        delete f;
        openFailed();
        return 0;
    }

    seqStepTime = (int)f->m_seqStepTime;
    seqRefreshRate = 1000.0f / (float)seqStepTime;

    if (startSecond >= 0) {
        long long lf = (long long)startSecond * 1000 / seqStepTime - 1;
        if (lf < -1) {
            lf = -1;
        }
        lastFrameRead = lf > INT_MAX ? INT_MAX : (int)lf;
    }

    // Nothing to read from there on: the first take would close the file again.
    // Refuse it here, so that the caller learns that nothing plays, and why.
    if ((int64_t)lastFrameRead + 1 >= (int64_t)f->m_seqNumFrames) {
        if (f->m_seqNumFrames == 0) {
            LogErr(LOGCH_SEQUENCE, "Sequence file %s holds no frames\n", path);
        } else if (startSecond >= 0) {
            LogErr(LOGCH_SEQUENCE, "Start second %d is past the end of %s (%.1f s long)\n", startSecond, path,
                   (double)f->m_seqNumFrames * seqStepTime / 1000.0);
        } else {
            LogErr(LOGCH_SEQUENCE, "Start frame %d is past the end of %s (%u frames)\n", startFrame, path,
                   (unsigned)f->m_seqNumFrames);
        }
        delete f;
        openFailed();
        return 0;
    }

    f->prepareRead(GetOutputRanges(true), startFrame < 0 ? 0 : (uint32_t)startFrame);

    long long duration = (long long)f->m_seqNumFrames * seqStepTime;
    seqMSDuration = duration > INT_MAX ? INT_MAX : (int)duration;
    seqMSElapsed = 0;
    seqMSRemaining = seqMSDuration.load();

    SetChannelOutputRefreshRate(seqRefreshRate);

    {
        std::lock_guard<std::mutex> fl(fileLock);
        std::lock_guard<std::mutex> cl(frameCacheLock);
        fileGeneration++;
        seqFile = f;
        seqStarting = 1;
    }
    readFramesCV.notify_all();

    seqPaused = 0;
    seqSingleStep = 0;
    seqSingleStepBack = 0;
    dataProcessed = false;

    ProcessVariableHeaders();

    waitForFirstFrame();
    ReadSequenceData(true);
    if (!seqFile.load()) {
        // The first take found the end and closed the file.
        LogErr(LOGCH_SEQUENCE, "Sequence file %s ended as it was opened; nothing plays\n", path);
        seqStarting = 0;
        return 0;
    }

    seqLock.unlock();
    StartChannelOutputThread();
    frameSkipCount = 0;

    LogDebug(LOGCH_SEQUENCE, "seqRefreshRate        : %f\n", (double)seqRefreshRate.load());
    LogDebug(LOGCH_SEQUENCE, "seqMSDuration         : %d\n", seqMSDuration.load());
    LogDebug(LOGCH_SEQUENCE, "seqMSRemaining        : %d\n", seqMSRemaining.load());
    return 1;
}

// "FC" and "FE" headers, format 1:
//
//   +0  u8    1
//   +1  s32   N entries (little-endian, unaligned)
//   +5  text  NUL-terminated, unused
//   then N times: name NUL-terminated, s32 R, R times (s32 start frame, s32 end frame)
//
// The counts come from the file: every read is checked against the header's data.
void Sequence::ProcessVariableHeaders() {
    LCSFFile* f = seqFile.load();
    if (!f) {
        return;
    }
    std::map<uint32_t, std::vector<std::string>> presets, on, off;
    for (const LCSFFile::VariableHeader& vh : f->m_variableHeaders) {
        bool fc = vh.code[0] == 'F' && vh.code[1] == 'C';
        bool fe = vh.code[0] == 'F' && vh.code[1] == 'E';
        if ((!fc && !fe) || vh.data.empty() || vh.data[0] != 1) {
            continue;
        }
        const std::vector<uint8_t>& d = vh.data;
        const char* code = fc ? "FC" : "FE";
        if (d.size() < 5) {
            LogErr(LOGCH_SEQUENCE,
                   "Variable header %s holds %d bytes, too few for its entry count; ignored\n", code,
                   (int)d.size());
            continue;
        }
        int32_t count = readLE32s(d.data() + 1);
        size_t pos = 5;
        std::string unused;
        if (!readText(d, pos, unused)) {
            LogErr(LOGCH_SEQUENCE, "Variable header %s: its text runs past its %d bytes; ignored\n", code,
                   (int)d.size());
            continue;
        }
        for (int32_t e = 0; e < count; e++) {
            std::string name;
            if (!readText(d, pos, name) || d.size() - pos < 4) {
                LogErr(LOGCH_SEQUENCE,
                       "Variable header %s: entry %d of %d runs past its %d bytes; ignoring the rest of it\n",
                       code, (int)e + 1, (int)count, (int)d.size());
                break;
            }
            int32_t pairs = readLE32s(d.data() + pos);
            pos += 4;
            if (pairs > 0 && (uint64_t)pairs * 8 > d.size() - pos) {
                LogErr(LOGCH_SEQUENCE,
                       "Variable header %s: entry %s claims %d frame pairs, more than its %d bytes hold; "
                       "ignoring the "
                       "rest of it\n",
                       code, name.c_str(), (int)pairs, (int)d.size());
                break;
            }
            for (int32_t r = 0; r < pairs; r++) {
                uint32_t start = (uint32_t)readLE32s(d.data() + pos);
                uint32_t end = (uint32_t)readLE32s(d.data() + pos + 4);
                pos += 8;
                if (fc) {
                    presets[start].push_back(name);
                    presets[end].push_back(name + "_END");
                } else {
                    on[start].push_back(name);
                    off[end].push_back(name);
                }
            }
        }
    }
    std::lock_guard<std::mutex> l(frameCacheLock);
    for (auto& p : presets) {
        auto& dst = commandPresets[p.first];
        dst.insert(dst.end(), p.second.begin(), p.second.end());
    }
    for (auto& p : on) {
        auto& dst = effectsOn[p.first];
        dst.insert(dst.end(), p.second.begin(), p.second.end());
    }
    for (auto& p : off) {
        auto& dst = effectsOff[p.first];
        dst.insert(dst.end(), p.second.begin(), p.second.end());
    }
}

void Sequence::StartSequence() {
    std::lock_guard<DeferringMutex> l(sequenceLock);
    if (!IsSequenceRunning() && seqFile.load()) {
        if (syncEnabled()) {
            ResetChannelOutputFrameNumber();
            multiSync->SendSeqSyncStartPacket(seqFilename);
        }
        seqStarting = 0;
        SetChannelOutputRefreshRate(seqRefreshRate);
        StartChannelOutputThread();
    }
    // Presets that react to a start (lights, doors, music) must not run for a
    // show that is not playing.
    if (IsSequenceRunning()) {
        std::string name = seqFilename;
        sequenceLock.runAfterUnlock([name] {
            CommandManager::INSTANCE.TriggerPreset("SEQUENCE_STARTED", {{"SEQUENCE_NAME", name}});
        });
    }
}

void Sequence::StartSequence(const std::string& filename, int startFrame) {
    std::lock_guard<DeferringMutex> l(sequenceLock);
    if (seqFilename != filename) {
        CloseSequenceFile();
        if (!OpenSequenceFile(filename, startFrame, -1)) {
            return;
        }
    }
    StartSequence();
    if (startFrame) {
        SeekSequenceFile(startFrame);
    }
}

void Sequence::CloseSequenceFile() {
    std::string name = GetSequenceName();
    LogDebug(LOGCH_SEQUENCE, "CloseSequenceFile() %s\n", name.c_str());
    if (syncEnabled()) {
        multiSync->SendSeqSyncStopPacket(name);
    }

    std::lock_guard<DeferringMutex> seqLock(sequenceLock);
    name = seqFilename;
    bool closed = false;
    {
        std::lock_guard<std::mutex> fl(fileLock);
        std::lock_guard<std::mutex> cl(frameCacheLock);
        if (LCSFFile* f = seqFile.exchange(nullptr)) {
            fileGeneration++;
            delete f;
            commandPresets.clear();
            effectsOn.clear();
            effectsOff.clear();
            closed = true;
        }
    }
    {
        std::lock_guard<std::mutex> cl(frameCacheLock);
        clearCaches();
        doneRead = true;
        lastFrameRead = -1;
    }
    frameLoadedCV.notify_all();

    setSequenceName("");
    seqPaused = 0;

    if (!closed) {
        blankAfterClose();
        return;
    }
    // The preset may start the next sequence, which waits for the host's output
    // thread, which may be waiting for our locks: it runs once this thread holds
    // none. Blanking comes after it, as it depends on what the preset does (an
    // effect it starts keeps the last frame up).
    sequenceLock.runAfterUnlock([this, name] {
        CommandManager::INSTANCE.TriggerPreset("SEQUENCE_STOPPED", {{"SEQUENCE_NAME", name}});
        blankAfterClose();
    });
}

void Sequence::blankAfterClose() {
    std::lock_guard<DeferringMutex> seqLock(sequenceLock);
    if (seqFile.load()) {
        // Another sequence was opened since: its first frame is in the buffer.
        return;
    }
    if (IsEffectRunning() || getTavomode() == TAVO_MODE_REMOTE ||
        Player::INSTANCE.GetStatus() == PLAYER_STATUS_PLAYING) {
        if (blankBetweenSequences) {
            SendBlankingData();
        }
    } else {
        SendBlankingData();
    }
}

void Sequence::CloseIfOpen(const std::string& filename) {
    std::lock_guard<DeferringMutex> l(sequenceLock);
    if (seqFilename == filename) {
        CloseSequenceFile();
    }
}
