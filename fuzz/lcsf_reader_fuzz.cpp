// libFuzzer harness for the sequence file reader: arbitrary bytes are opened as a
// sequence file and read the way playback reads one, under ASan and UBSan.
#include "LCSFFile.h"
#include "host/output/ChannelBuffer.h"
#include "host/core/Log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The engine's channel buffer.
const uint32_t MAX_CHANNELS = TAVO_MAX_CHANNELS;
uint8_t g_channelData[TAVO_CHANNEL_BUFFER_SIZE];

int g_fd = -1;
std::string g_path;

// Frames read per pass; the first ones and the last few cover block starts, the
// short first block and the end of the index without decoding whole shows.
const uint32_t FIRST_FRAMES = 40;
const uint32_t FIRST_PASS_CHANNELS = 65536;
const uint32_t LAST_FRAMES = 4;

void readFrames(LCSFFile* f, uint32_t from) {
    uint32_t frames = f->m_seqNumFrames;
    auto readOne = [&](uint32_t fr) {
        std::unique_ptr<LCSFFile::FrameData> fd(f->getFrame(fr));
        if (fd) {
            fd->readFrame(g_channelData, MAX_CHANNELS);
        }
    };
    uint32_t end = frames < from + FIRST_FRAMES ? frames : from + FIRST_FRAMES;
    for (uint32_t fr = from; fr < end; fr++) {
        readOne(fr);
    }
    uint32_t tail = frames > LAST_FRAMES ? frames - LAST_FRAMES : 0;
    if (tail < end) {
        tail = end;
    }
    for (uint32_t fr = tail; fr < frames; fr++) {
        readOne(fr);
    }
    // One frame past the end, and frame 0 again after the end (a jump backwards).
    readOne(frames);
    readOne(0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Messages about broken files are expected by the thousand; formatting them is
    // part of the code under test, printing them is not.
    TavoLogger::INSTANCE.setStderr(false);
    TavoLogger::INSTANCE.setLevels("excess");
    g_fd = memfd_create("lcsf-fuzz", 0);
    if (g_fd < 0) {
        perror("memfd_create");
        abort();
    }
    g_path = "/proc/self/fd/" + std::to_string(g_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(g_fd, 0) != 0 || (size && pwrite(g_fd, data, size, 0) != (ssize_t)size)) {
        abort();
    }

    // Pass 1: the whole frame from frame 0, as one output over the first channels.
    // (Capped: under ASan, a fresh multi-megabyte frame buffer per frame would make
    // every input with a huge channel count a time-out.)
    {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(g_path));
        if (!f) {
            return 0;
        }
        f->getMediaFilename();
        uint32_t maxChannel = f->getMaxChannel();
        uint32_t count = maxChannel < FIRST_PASS_CHANNELS ? maxChannel : FIRST_PASS_CHANNELS;
        f->prepareRead({{0, count}}, 0);
        readFrames(f.get(), 0);
    }

    // Pass 2: scattered output ranges (some past the end, some overlapping) from the
    // middle of the show, then a second prepareRead that moves back to the start.
    {
        std::unique_ptr<LCSFFile> f(LCSFFile::openLCSFFile(g_path));
        if (!f) {
            return 0;
        }
        uint32_t maxChannel = f->getMaxChannel();
        uint32_t last = maxChannel > 5 ? maxChannel - 5 : 0;
        std::vector<std::pair<uint32_t, uint32_t>> ranges = {
            {3, 10}, {100, 50}, {120, 40}, {last, 20}, {MAX_CHANNELS - 4, 4}, {0xFFFFFFF0u, 0x20}};
        uint32_t mid = f->m_seqNumFrames / 2;
        f->prepareRead(ranges, mid);
        readFrames(f.get(), mid);
        f->prepareRead({{1, 2}}, 0);
        readFrames(f.get(), 0);
    }
    return 0;
}
