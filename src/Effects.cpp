// Running effects.
#include "Effects.h"

#include "host/core/Common.h"
#include "LCSFFile.h"
#include "host/core/Log.h"
#include "Sequence.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>

namespace {

struct RunningEffect {
    int id = 0;
    std::string name;
    std::unique_ptr<LCSFFile> file;
    int startChannel = 0; // 1-based, 0 for the effect's own
    bool loop = false;
    bool background = false;
    int64_t startMS = 0;
    uint32_t shownFrame = UINT32_MAX;
    std::unique_ptr<LCSFFile::FrameData> frame;
    // Placed at a start channel: the frame decoded at its own channels, then its
    // channels one after another, as they are laid from the start channel.
    std::vector<uint8_t> decoded;
    std::vector<uint8_t> placed;
};

std::mutex& effectsLock() {
    static std::mutex m;
    return m;
}
std::list<RunningEffect>& effects() { // guarded by effectsLock()
    static std::list<RunningEffect> e;
    return e;
}
int nextEffectId = 1; // guarded by effectsLock()

std::string effectPath(const std::string& name) {
    std::string dir = getTavoMediaDir("effects");
    std::string p = dir + "/" + name;
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".eseq") != 0) {
        if (FileExists(p + ".eseq") || !FileExists(p)) {
            p += ".eseq";
        }
    }
    return p;
}

// The channel ranges a frame of `f` carries, in the order they are stored.
std::vector<std::pair<uint32_t, uint32_t>> frameRanges(LCSFFile* f) {
    std::vector<std::pair<uint32_t, uint32_t>> r;
    if (auto* v2 = dynamic_cast<V2LCSFFile*>(f)) {
        r = v2->m_rangesToRead;
    } else if (auto* v1 = dynamic_cast<V1LCSFFile*>(f)) {
        r = v1->m_rangesToRead;
    }
    if (r.empty()) {
        r.emplace_back(0, f->getMaxChannel());
    }
    return r;
}

// Every frame type (compressed ones included) decodes through readFrame, so the
// channels are taken from there rather than from one type's storage.
void placeFrame(RunningEffect& e) {
    std::vector<std::pair<uint32_t, uint32_t>> ranges = frameRanges(e.file.get());
    uint64_t span = 0;
    for (auto& r : ranges) {
        span = std::max<uint64_t>(span, (uint64_t)r.first + r.second);
    }
    span = std::min<uint64_t>(span, TAVO_MAX_CHANNELS);
    e.decoded.assign((size_t)span, 0);
    e.placed.clear();
    if (!span || !e.frame->readFrame(e.decoded.data(), (uint32_t)span)) {
        return;
    }
    for (auto& r : ranges) {
        if (r.first >= span) {
            continue;
        }
        uint64_t end = std::min<uint64_t>((uint64_t)r.first + r.second, span);
        e.placed.insert(e.placed.end(), e.decoded.begin() + r.first, e.decoded.begin() + (size_t)end);
    }
}

} // namespace

int StartEffect(const std::string& name, int startChannel, int loop, bool background) {
    {
        std::lock_guard<std::mutex> l(effectsLock());
        for (auto& e : effects()) {
            if (e.name == name) {
                return e.id;
            }
        }
    }
    if (name.empty() || name.find('/') != std::string::npos) {
        LogErr(LOGCH_SEQUENCE, "Effect name \"%s\" is not a file name in the effects folder\n", name.c_str());
        return -1;
    }
    std::string path = effectPath(name);
    if (!FileExists(path)) {
        LogErr(LOGCH_SEQUENCE, "Effect file %s does not exist\n", path.c_str());
        return -1;
    }
    std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(path));
    if (!f) {
        LogErr(LOGCH_SEQUENCE, "Effect file %s could not be opened\n", path.c_str());
        return -1;
    }
    if (!f->m_seqNumFrames || !f->m_seqStepTime) {
        LogErr(LOGCH_SEQUENCE, "Effect file %s holds no frames\n", path.c_str());
        return -1;
    }
    f->prepareRead({}, 0);
    std::lock_guard<std::mutex> l(effectsLock());
    for (auto& e : effects()) {
        if (e.name == name) {
            return e.id;
        }
    }
    RunningEffect e;
    e.id = nextEffectId++;
    e.name = name;
    e.file = std::move(f);
    e.startChannel = startChannel > 0 ? startChannel : 0;
    e.loop = loop != 0;
    e.background = background;
    e.startMS = GetTimeMS();
    LogDebug(LOGCH_SEQUENCE, "Started effect %s (id %d, %u frames)\n", name.c_str(), e.id,
             e.file->m_seqNumFrames);
    effects().push_back(std::move(e));
    return effects().back().id;
}

bool StopEffect(const std::string& name) {
    std::lock_guard<std::mutex> l(effectsLock());
    auto& es = effects();
    for (auto it = es.begin(); it != es.end(); ++it) {
        if (it->name == name) {
            LogDebug(LOGCH_SEQUENCE, "Stopped effect %s\n", name.c_str());
            es.erase(it);
            return true;
        }
    }
    return false;
}

bool StopEffect(int id) {
    std::lock_guard<std::mutex> l(effectsLock());
    auto& es = effects();
    for (auto it = es.begin(); it != es.end(); ++it) {
        if (it->id == id) {
            es.erase(it);
            return true;
        }
    }
    return false;
}

void StopAllEffects() {
    std::lock_guard<std::mutex> l(effectsLock());
    effects().clear();
}

bool IsEffectRunning() {
    std::lock_guard<std::mutex> l(effectsLock());
    return !effects().empty();
}

bool IsEffectRunning(const std::string& name) {
    std::lock_guard<std::mutex> l(effectsLock());
    for (auto& e : effects()) {
        if (e.name == name) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> GetRunningEffects() {
    std::lock_guard<std::mutex> l(effectsLock());
    std::vector<std::string> r;
    for (auto& e : effects()) {
        r.push_back(e.name);
    }
    return r;
}

void OverlayEffects(unsigned char* channelData) {
    std::lock_guard<std::mutex> l(effectsLock());
    int64_t now = GetTimeMS();
    auto& es = effects();
    for (auto it = es.begin(); it != es.end();) {
        RunningEffect& e = *it;
        uint64_t n = (uint64_t)(now - e.startMS) / e.file->m_seqStepTime;
        if (n >= e.file->m_seqNumFrames) {
            if (!e.loop) {
                LogDebug(LOGCH_SEQUENCE, "Effect %s finished\n", e.name.c_str());
                it = es.erase(it);
                continue;
            }
            n %= e.file->m_seqNumFrames;
        }
        if (n != e.shownFrame || !e.frame) {
            e.frame.reset(e.file->getFrame((uint32_t)n));
            e.shownFrame = (uint32_t)n;
            if (e.frame && e.startChannel > 0) {
                placeFrame(e);
            }
        }
        if (e.frame) {
            if (e.startChannel > 0) {
                // Placed at the caller's channel instead of the effect's own.
                uint64_t first = (uint64_t)e.startChannel - 1;
                if (first < TAVO_MAX_CHANNELS && !e.placed.empty()) {
                    size_t len = (size_t)std::min<uint64_t>(e.placed.size(), TAVO_MAX_CHANNELS - first);
                    memcpy(channelData + first, e.placed.data(), len);
                }
            } else {
                e.frame->readFrame(channelData, TAVO_MAX_CHANNELS);
            }
        }
        ++it;
    }
}
