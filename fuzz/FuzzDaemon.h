// For the harnesses that run the whole daemon in the fuzzer's process: a media
// folder of their own, its files, a short show, and the daemon started quietly.
#pragma once

#include "Daemon.h"
#include "FuzzSupport.h"
#include "LCSFFile.h"
#include "host/core/Log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

// Every failure here is the harness's own: it stops at once, saying where.
inline void WriteFuzzFile(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(text.data(), 1, text.size(), f) != text.size()) {
        fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
        abort();
    }
    fclose(f);
}

// /tmp/tavo-fuzz-NAME-XXXXXX with the folders the daemon expects in a media folder.
inline std::string MakeFuzzMediaFolder(const std::string& name) {
    std::string pattern = "/tmp/tavo-fuzz-" + name + "-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    if (!mkdtemp(path.data())) {
        fprintf(stderr, "fuzz: cannot make %s\n", pattern.c_str());
        abort();
    }
    const std::string media = path.data();
    for (const char* d : {"/config", "/sequences", "/effects", "/plugins", "/logs"}) {
        mkdir((media + d).c_str(), 0755);
    }
    return media;
}

// An uncompressed show whose every frame and channel differ.
inline void WriteFuzzSequence(const std::string& path, uint32_t frames, uint32_t channels) {
    std::unique_ptr<LCSFFile> f(LCSFFile::createLCSFFile(path, 2, LCSFFile::CompressionType::none, 1));
    if (!f) {
        fprintf(stderr, "fuzz: cannot create %s\n", path.c_str());
        abort();
    }
    f->m_seqNumFrames = frames;
    f->m_seqChannelCount = channels;
    f->m_seqStepTime = 25;
    f->writeHeader();
    std::vector<uint8_t> frame(channels);
    for (uint32_t fr = 0; fr < frames; fr++) {
        for (uint32_t c = 0; c < channels; c++) {
            frame[c] = (uint8_t)(fr * 13 + c * 7);
        }
        f->addFrame(fr, frame.data());
    }
    f->finalize();
    if (f->hasWriteError()) {
        fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
        abort();
    }
}

// The daemon on `media`, without its terminal output and log file; `httpPort` 0
// leaves the API to a handed-over socket, or off.
inline Daemon* StartFuzzDaemon(const std::string& media, const char* harness) {
    DaemonOptions options;
    options.mediaDir = media;
    options.pluginDir = media + "/plugins";
    options.httpPort = 0;
    options.quiet = true;
    Daemon* daemon = new Daemon(options);
    if (daemon->Start() != EXIT_OK) {
        fprintf(stderr, "%s: the daemon did not start\n", harness);
        abort();
    }
    TavoLogger::INSTANCE.closeLogFile();
    QuietLogs();
    return daemon;
}
