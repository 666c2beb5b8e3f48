// The playback engine's read-ahead thread, frame cache and frame taking.
#include "Sequence.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/output/OutputManager.h"
#include "host/player/Player.h"
#include "host/player/RunMode.h"
#include "host/core/Warnings.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace {
// The reader stops at this many frames waiting.
const size_t FRAME_CACHE_MAX = 40;
// Played frames kept for single steps back and seeks onto them.
const size_t PLAYED_FRAMES_MAX = 20;
// Step times the codec may fail to give frames before the frame it fails on is
// given up; the frames right after a given-up one are skipped as soon as they fail.
const int UNREADABLE_STEPS = 3;

// Holds the place of a frame the codec cannot give: taking it costs the frame's
// period, the outputs repeating the last frame, so that the frames after it are
// not shown early.
class UnreadableFrame : public LCSFFile::FrameData {
public:
    explicit UnreadableFrame(uint32_t frame) : FrameData(frame) {}
    bool readFrame(uint8_t*, uint32_t) override { return false; }
};
} // namespace

void ReadSequenceDataThread(Sequence* s) {
    s->ReadFramesLoop();
}

bool Sequence::inLists(LCSFFile::FrameData* f) const {
    for (auto* x : frameCache) {
        if (x == f) {
            return true;
        }
    }
    for (auto* x : playedFrames) {
        if (x == f) {
            return true;
        }
    }
    return false;
}

void Sequence::destroyUnlessLast(LCSFFile::FrameData* f) {
    if (f && f != lastFrameData) {
        delete f;
    }
}

void Sequence::SetLastFrameData(LCSFFile::FrameData* f) {
    if (f == lastFrameData) {
        return;
    }
    if (lastFrameData && !inLists(lastFrameData)) {
        delete lastFrameData;
    }
    lastFrameData = f;
    // Only a taken frame fires; the caller that takes one says so.
    frameActionsDue = false;
}

void Sequence::clearCaches() {
    while (!frameCache.empty()) {
        LCSFFile::FrameData* f = frameCache.front();
        frameCache.pop_front();
        destroyUnlessLast(f);
    }
    while (!playedFrames.empty()) {
        LCSFFile::FrameData* f = playedFrames.front();
        playedFrames.pop_front();
        destroyUnlessLast(f);
    }
}

size_t Sequence::CachedFrameCount() {
    std::lock_guard<std::mutex> l(frameCacheLock);
    return frameCache.size();
}

size_t Sequence::PlayedFrameCount() {
    std::lock_guard<std::mutex> l(frameCacheLock);
    return playedFrames.size();
}

int Sequence::GetLoadedFrameNumber() {
    std::lock_guard<std::mutex> l(frameCacheLock);
    return lastFrameData ? (int)lastFrameData->frame : -1;
}

bool Sequence::skipUnreadable(int frame, LCSFFile* file) {
    int64_t now = GetTimeMS();
    if (failingSinceMS < 0) {
        failingSinceMS = now;
    }
    int64_t patience = (int64_t)UNREADABLE_STEPS * std::max(1, seqStepTime.load());
    if (!skippingUnreadable && now - failingSinceMS < patience) {
        return false;
    }
    // Skipped as a late frame is: the outputs repeat the last frame meanwhile.
    lastFrameRead = frame;
    unreadableFrames++;
    if (!skippingUnreadable) {
        skippingUnreadable = true;
        skipRunStart = frame;
        LogWarn(LOGCH_SEQUENCE,
                "Frame %d of %s cannot be read; it is skipped, and so is every unreadable frame after it\n",
                frame, file->m_seqFilename.c_str());
        if (!unreadableWarned) {
            unreadableWarned = true;
            WarningHolder::AddWarningTimeout("Sequence file " + file->m_seqFilename + ": frame " +
                                                 std::to_string(frame) +
                                                 " cannot be read; unreadable frames are skipped",
                                             60);
        }
    }
    return true;
}

void Sequence::noteFrameRead(int frame, LCSFFile* file) {
    failingSinceMS = -1;
    framesRead++;
    if (skippingUnreadable) {
        skippingUnreadable = false;
        LogWarn(LOGCH_SEQUENCE, "Frames %d to %d of %s could not be read and were skipped\n", skipRunStart,
                frame - 1, file->m_seqFilename.c_str());
    }
}

void Sequence::noteEndOfFile(LCSFFile* file) {
    if (skippingUnreadable) {
        skippingUnreadable = false;
        LogWarn(LOGCH_SEQUENCE, "Frames %d to %d of %s could not be read and were skipped\n", skipRunStart,
                (int)file->m_seqNumFrames - 1, file->m_seqFilename.c_str());
    }
    if (framesRead == 0) {
        nothingReadable = true;
        LogErr(LOGCH_SEQUENCE, "No frame of %s could be read; the sequence ends\n",
               file->m_seqFilename.c_str());
    } else if (unreadableFrames > 0) {
        LogWarn(LOGCH_SEQUENCE, "%d frame(s) of %s could not be read and were skipped\n",
                unreadableFrames.load(), file->m_seqFilename.c_str());
    }
}

void Sequence::ReadFramesLoop() {
    SetThreadName("Tavo-ReadFrames");
    std::unique_lock<std::mutex> lock(frameCacheLock);
    while (!shutdownReadThread) {
        LCSFFile* file = seqFile.load();
        if (frameCache.size() >= FRAME_CACHE_MAX || seqStarting > 1 || !file || doneRead) {
            readFramesCV.wait_for(lock, std::chrono::milliseconds(25));
            continue;
        }
        int last = lastFrameRead;
        int next = last + 1;
        uint64_t generation = fileGeneration;
        uint64_t position = positionGeneration;
        if ((uint32_t)next >= file->m_seqNumFrames) {
            doneRead = true;
            noteEndOfFile(file);
            lock.unlock();
            frameLoadedCV.notify_all();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
            continue;
        }
        lock.unlock();

        int64_t t1 = GetTimeMS();
        LCSFFile::FrameData* f = nullptr;
        int64_t t2, t3;
        {
            std::lock_guard<std::mutex> fl(fileLock);
            t2 = GetTimeMS();
            // The file may have been closed or replaced while no lock was held.
            LCSFFile* current = seqFile.load();
            if (!doneRead && current) {
                f = current->getFrame((uint32_t)next);
            }
            t3 = GetTimeMS();
        }
        int64_t t4 = GetTimeMS();
        if (t4 - t1 > 20 || !f) {
            LogDebug(LOGCH_SEQUENCE,
                     "Problem reading frame %d:   %X    Time: %d ms     Last: %d     Lock: %d   GetFrame: %d "
                     "  Unlock: "
                     "%d\n",
                     next, (unsigned)(uintptr_t)f, (int)(t4 - t1), lastFrameRead.load(), (int)(t2 - t1),
                     (int)(t3 - t2), (int)(t4 - t3));
        }

        lock.lock();
        // While the generation is the same, `file` is the open file, not deleted.
        bool sameFile = fileGeneration == generation;
        // Moved by nothing but late periods (each moved it on by one).
        bool samePosition = sameFile && positionGeneration == position && lastFrameRead >= last;
        if (f) {
            if (sameFile) {
                noteFrameRead(next, file);
            }
            // Queued only for the file and the position it was fetched for: a seek
            // or another file meanwhile makes it stale. Late periods do not: a reader
            // slower than a step would never queue a frame again. It is shown next,
            // and the frames of those periods after it are skipped.
            if (samePosition) {
                lastFrameRead = lastFrameRead == last ? next : lastFrameRead + 1;
                frameCache.push_back(f);
                lock.unlock();
                frameLoadedCV.notify_all();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                lock.lock();
            } else {
                delete f;
            }
        } else if (!shutdownReadThread) {
            // A frame the codec cannot give is tried again for a while, then skipped:
            // a damaged block must neither stop the show nor leave it stuck.
            if (samePosition && lastFrameRead == last && skipUnreadable(next, file)) {
                frameCache.push_back(new UnreadableFrame((uint32_t)next));
                lock.unlock();
                frameLoadedCV.notify_all();
                lock.lock();
                continue;
            }
            // A short wait keeps the retries from spinning.
            readFramesCV.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
}

void Sequence::stepBack() {
    std::lock_guard<std::mutex> l(frameCacheLock);
    int before = lastFrameRead;
    // The newest played frame is the one now shown: it goes back to the queue,
    // and the one played before it is queued in front of it.
    if (!playedFrames.empty()) {
        LCSFFile::FrameData* current = playedFrames.back();
        playedFrames.pop_back();
        frameCache.push_front(current);
        if (!playedFrames.empty()) {
            frameCache.push_front(playedFrames.back());
            playedFrames.pop_back();
        } else if (current->frame > 0) {
            // Nothing older is kept: have the reader fetch it again.
            int target = (int)current->frame - 1;
            lastFrameRead = target - 1;
            clearCaches();
        }
    } else if (!frameCache.empty()) {
        // Nothing played since a seek: step back from the frame that comes next.
        int lf = (int)frameCache.front()->frame - 2;
        lastFrameRead = lf < -1 ? -1 : lf;
        clearCaches();
    } else {
        lastFrameRead = -1;
    }
    if (lastFrameRead != before) {
        positionGeneration++;
        // The reader may have finished at the end of the file: it must fetch again.
        doneRead = false;
        readFramesCV.notify_all();
    }
}

void Sequence::ReadSequenceData(bool forceRead) {
    LogExcess(LOGCH_SEQUENCE, "ReadSequenceData()\n");
    std::lock_guard<DeferringMutex> seqLock(sequenceLock);

    if (!forceRead && seqStarting != 0) {
        return;
    }
    if (IsSequenceRunning() && seqPaused) {
        if (seqSingleStep) {
            seqSingleStep = 0;
        } else if (seqSingleStepBack) {
            seqSingleStepBack = 0;
            stepBack();
        } else {
            return;
        }
    }
    if (forceRead || IsSequenceRunning()) {
        takeFrame();
        return;
    }

    if (blankBetweenSequences) {
        BlankSequenceData(false);
    } else if (getTavomode() == TAVO_MODE_REMOTE) {
        if (idleBlankCount <= 5) {
            idleBlankCount++;
        } else {
            BlankSequenceData(false);
        }
    } else if (!Player::INSTANCE.IsPlaying() && (getTavomode() & TAVO_MODE_PLAYER)) {
        BlankSequenceData(false);
    }
}

void Sequence::waitForFirstFrame() {
    // A take waits one step for its frame. The first frame's block may take longer
    // to decode (a busy board, a large block); the show would then start with a
    // blank frame and run a period behind. Nothing plays yet, so wait a little more.
    // A frame the codec fails on is not waited for: the reader skips it in its time.
    std::unique_lock<std::mutex> lock(frameCacheLock);
    readFramesCV.notify_all();
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(FIRST_FRAME_WAIT_MS);
    while (frameCache.empty() && !doneRead && failingSinceMS < 0 &&
           std::chrono::steady_clock::now() < until) {
        frameLoadedCV.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void Sequence::repeatLastFrame() {
    if (!playedFrames.empty()) {
        LCSFFile::FrameData* f = playedFrames.back();
        SetLastFrameData(f);
        f->readFrame(seqData, TAVO_MAX_CHANNELS);
        dataProcessed = false;
    }
}

void Sequence::takeFrame() {
    idleBlankCount = 0;
    std::unique_lock<std::mutex> lock(frameCacheLock);
    if (frameCache.empty() && !doneRead) {
        readFramesCV.notify_all();
        int wait = seqStepTime - 1;
        if (wait > 0) {
            frameLoadedCV.wait_for(lock, std::chrono::milliseconds(wait));
        }
    }
    if (!frameCache.empty()) {
        LCSFFile::FrameData* f = frameCache.front();
        frameCache.pop_front();
        uint32_t number = f->frame;
        if (dynamic_cast<UnreadableFrame*>(f)) {
            delete f;
            repeatLastFrame();
            lock.unlock();
            readFramesCV.notify_all();
        } else {
            if (playedFrames.size() > PLAYED_FRAMES_MAX) {
                LCSFFile::FrameData* old = playedFrames.front();
                playedFrames.pop_front();
                destroyUnlessLast(old);
            }
            playedFrames.push_back(f);
            SetLastFrameData(f);
            frameActionsDue = true;
            lock.unlock();
            readFramesCV.notify_all();
            // f stays alive: it is lastFrameData, which only this lock's holders replace.
            f->readFrame(seqData, TAVO_MAX_CHANNELS);
            dataProcessed = false;
        }
        SetChannelOutputFrameNumber((int)number);
        seqMSElapsed = (int)((long long)number * seqStepTime);
        seqMSRemaining = seqMSDuration - seqMSElapsed;
        return;
    }
    if (doneRead) {
        lock.unlock();
        seqMSElapsed = seqMSDuration.load();
        seqMSRemaining = 0;
        CloseSequenceFile();
        return;
    }
    // Late: show the last frame again and move the position on by one, so that a
    // frame number is skipped for the period (after the frame being fetched).
    // Before the start (the open's take) nothing is late yet, and nothing is skipped.
    if (lastFrameRead > 0 && seqStarting == 0) {
        lastFrameRead++;
        repeatLastFrame();
    }
    lock.unlock();
    readFramesCV.notify_all();
}

void Sequence::SeekSequenceFile(int frameNumber) {
    LogDebug(LOGCH_SEQUENCE, "SeekSequenceFile(%d)\n", frameNumber);
    {
        std::lock_guard<DeferringMutex> seqLock(sequenceLock);
        if (!IsSequenceRunning()) {
            LogDebug(LOGCH_SEQUENCE, "No sequence is running\n");
            return;
        }
    }
    if (frameNumber < 0) {
        // Before the first frame is the first frame; the show goes on from there.
        LogDebug(LOGCH_SEQUENCE, "Seeking to frame 0 instead of %d\n", frameNumber);
        frameNumber = 0;
    }
    std::unique_lock<std::mutex> lock(frameCacheLock);
    uint32_t target = (uint32_t)frameNumber;
    while (!playedFrames.empty() && playedFrames.back()->frame <= target) {
        frameCache.push_front(playedFrames.back());
        playedFrames.pop_back();
    }
    while (!frameCache.empty()) {
        LCSFFile::FrameData* f = frameCache.front();
        if (f->frame == target) {
            lock.unlock();
            readFramesCV.notify_all();
            return;
        }
        if (f->frame > target) {
            break;
        }
        frameCache.pop_front();
        destroyUnlessLast(f);
    }
    // The reader starts over at the target: nothing kept belongs before it any
    // more, also when the queue happened to be empty.
    clearCaches();
    LogDebug(LOGCH_SEQUENCE, "Seeking to %d.   Last read is %d\n", frameNumber, lastFrameRead.load());
    lastFrameRead = frameNumber - 1;
    positionGeneration++;
    // A reader that had reached the end reads again from the new position; left
    // done, the next take would find nothing and close the file.
    doneRead = false;
    readFramesCV.notify_all();
    if (frameNumber <= 99 && getTavomode() == TAVO_MODE_REMOTE) {
        if (++frameSkipCount > 6) {
            WarningHolder::AddWarning("Multiple Frame Skips During Playback - Likely Slow Network");
        }
    }
    lock.unlock();
    readFramesCV.notify_all();
}
