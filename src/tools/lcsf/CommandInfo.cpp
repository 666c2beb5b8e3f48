// `lcsf info FILE [--json]`: the header fields, variable headers, sparse ranges and
// block table of a sequence file.
#include "Options.h"
#include "Tool.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// JSON string contents: bytes that are not valid UTF-8 are taken as Latin-1, so
// any header data gives valid JSON.
std::string jsonString(const std::string& s) {
    std::string out = "\"";
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = (unsigned char)s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
            i++;
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
            i++;
            continue;
        }
        if (c < 0x80) {
            out += (char)c;
            i++;
            continue;
        }
        // A well-formed UTF-8 sequence is kept as it is.
        size_t len = (c >= 0xC2 && c <= 0xDF)   ? 2
                     : (c >= 0xE0 && c <= 0xEF) ? 3
                     : (c >= 0xF0 && c <= 0xF4) ? 4
                                                : 0;
        bool valid = len && i + len <= s.size();
        for (size_t k = 1; valid && k < len; k++) {
            valid = ((unsigned char)s[i + k] & 0xC0) == 0x80;
        }
        if (valid) {
            out.append(s, i, len);
            i += len;
        } else {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
            i++;
        }
    }
    return out + "\"";
}

std::string codeString(const char code[2]) {
    return std::string(code, 2);
}

struct BlockRow {
    uint32_t firstFrame;
    uint64_t offset;
    uint64_t length;
};

// The block table as the player uses it. The codec's table ends with the file size,
// so the last block would seem to hold the extended header data stored after it;
// the stored lengths come from the header's block index instead.
std::vector<BlockRow> blockTable(const V2LCSFFile* v2) {
    std::vector<BlockRow> rows;
    if (!v2 || v2->m_compressionType == LCSFFile::CompressionType::none || v2->m_frameOffsets.size() < 2) {
        return rows;
    }
    std::vector<uint64_t> stored;
    FILE* f = fopen(v2->m_seqFilename.c_str(), "rb");
    if (f) {
        uint8_t h[32];
        if (fread(h, 1, 32, f) == 32) {
            int count = h[21] + ((h[20] >> 4) << 8);
            for (int i = 0; i < count && 32 + 8 * (uint64_t)(i + 1) <= v2->m_seqChanDataOffset; i++) {
                uint8_t e[8];
                if (fread(e, 1, 8, f) != 8) {
                    break;
                }
                uint32_t len =
                    (uint32_t)e[4] | ((uint32_t)e[5] << 8) | ((uint32_t)e[6] << 16) | ((uint32_t)e[7] << 24);
                if (len) {
                    stored.push_back(len);
                }
            }
        }
        fclose(f);
    }
    for (size_t i = 0; i + 1 < v2->m_frameOffsets.size(); i++) {
        uint64_t length = v2->m_frameOffsets[i + 1].second - v2->m_frameOffsets[i].second;
        if (i < stored.size() && stored[i] < length) {
            length = stored[i];
        }
        rows.push_back({v2->m_frameOffsets[i].first, v2->m_frameOffsets[i].second, length});
    }
    return rows;
}

bool looksLikeText(const std::vector<uint8_t>& d) {
    if (d.empty() || d.back() != 0) {
        return false;
    }
    for (size_t i = 0; i + 1 < d.size(); i++) {
        if (d[i] < 0x20 && d[i] != '\t') {
            return false;
        }
    }
    return true;
}

void printJson(const LCSFFile* file) {
    const V2LCSFFile* v2 = dynamic_cast<const V2LCSFFile*>(file);
    printf("{\n");
    printf("  \"majorVersion\": %d,\n", file->m_seqVersionMajor);
    printf("  \"minorVersion\": %d,\n", file->m_seqVersionMinor);
    printf("  \"channelDataOffset\": %" PRIu64 ",\n", file->m_seqChanDataOffset);
    printf("  \"channelCount\": %u,\n", file->m_seqChannelCount);
    printf("  \"frameCount\": %u,\n", file->m_seqNumFrames);
    printf("  \"stepTime\": %u,\n", file->m_seqStepTime);
    printf("  \"compression\": \"%s\",\n", compressionName(v2 ? v2->m_compressionType : 0));
    printf("  \"blockCount\": %d,\n", v2 ? v2->getBlockCount() : 0);
    printf("  \"sparseRanges\": [");
    if (v2) {
        for (size_t i = 0; i < v2->m_sparseRanges.size(); i++) {
            printf("%s[%u, %u]", i ? ", " : "", v2->m_sparseRanges[i].first, v2->m_sparseRanges[i].second);
        }
    }
    printf("],\n");
    printf("  \"uniqueId\": %" PRIu64 ",\n", file->m_uniqueId);
    printf("  \"variableHeaders\": [");
    for (size_t i = 0; i < file->m_variableHeaders.size(); i++) {
        auto& h = file->m_variableHeaders[i];
        printf("%s\n    {\"code\": %s, \"length\": %zu, \"extended\": %s}", i ? "," : "",
               jsonString(codeString(h.code)).c_str(), h.data.size(), h.extendedData ? "true" : "false");
    }
    printf("%s],\n", file->m_variableHeaders.empty() ? "" : "\n  ");
    printf("  \"mediaFilename\": %s\n", jsonString(file->getMediaFilename()).c_str());
    printf("}\n");
}

void printText(const LCSFFile* file, bool effect) {
    const V2LCSFFile* v2 = dynamic_cast<const V2LCSFFile*>(file);
    printf("File:                %s\n", file->m_seqFilename.c_str());
    printf("Format:              version %d.%d%s\n", file->m_seqVersionMajor, file->m_seqVersionMinor,
           effect ? " (effect sequence)" : "");
    printf("File size:           %" PRIu64 " bytes\n", file->m_seqFileSize);
    printf("Channel data offset: %" PRIu64 "\n", file->m_seqChanDataOffset);
    if (v2 && !v2->m_sparseRanges.empty()) {
        printf("Channels:            %u stored per frame, channels 0 to %u covered\n",
               file->m_seqChannelCount, file->getMaxChannel() ? file->getMaxChannel() - 1 : 0);
    } else {
        printf("Channels:            %u\n", file->m_seqChannelCount);
    }
    double seconds = (double)file->m_seqNumFrames * file->m_seqStepTime / 1000.0;
    printf("Frames:              %u (%.3f s)\n", file->m_seqNumFrames, seconds);
    if (file->m_seqStepTime) {
        printf("Step time:           %u ms (%.2f frames/s)\n", file->m_seqStepTime,
               1000.0 / file->m_seqStepTime);
    } else {
        printf("Step time:           0 ms\n");
    }
    printf("Compression:         %s\n", compressionName(v2 ? v2->m_compressionType : 0));
    if (file->m_seqVersionMajor == 1) {
        printf("Unique id:           %" PRIu64 " (modification time; version 1 stores none)\n",
               file->m_uniqueId);
    } else {
        printf("Unique id:           %" PRIu64 "\n", file->m_uniqueId);
    }
    std::string media = file->getMediaFilename();
    printf("Media file:          %s\n", media.empty() ? "(none)" : media.c_str());

    size_t rangeCount = v2 ? v2->m_sparseRanges.size() : 0;
    printf("Sparse ranges:       %zu%s\n", rangeCount, rangeCount ? " (first channel, count; 0-based)" : "");
    for (size_t i = 0; v2 && i < rangeCount; i++) {
        auto& r = v2->m_sparseRanges[i];
        printf("  %u:%u   channels %u-%u\n", r.first, r.second, r.first,
               r.second ? (uint32_t)(r.first + (uint64_t)r.second - 1) : r.first);
    }

    printf("Variable headers:    %zu\n", file->m_variableHeaders.size());
    for (auto& h : file->m_variableHeaders) {
        std::string code = LCSFFile::codeText(h.code);
        printf("  %s  %8zu bytes%s", code.c_str(), h.data.size(), h.extendedData ? "  extended" : "");
        if (looksLikeText(h.data)) {
            std::string text((const char*)h.data.data(), h.data.size() - 1);
            if (text.size() > 60) {
                text = text.substr(0, 57) + "...";
            }
            printf("  \"%s\"", text.c_str());
        } else if (!h.data.empty()) {
            printf("  ");
            for (size_t i = 0; i < h.data.size() && i < 16; i++) {
                printf("%02x", h.data[i]);
            }
            if (h.data.size() > 16) {
                printf("...");
            }
        }
        printf("\n");
    }

    if (v2 && v2->m_compressionType != LCSFFile::CompressionType::none) {
        auto rows = blockTable(v2);
        printf("Blocks:              %d\n", v2->getBlockCount());
        printf("  %5s  %11s  %12s  %10s\n", "block", "first frame", "offset", "length");
        for (size_t i = 0; i < rows.size(); i++) {
            printf("  %5zu  %11u  %12" PRIu64 "  %10" PRIu64 "\n", i, rows[i].firstFrame, rows[i].offset,
                   rows[i].length);
        }
    }
}

bool isEffectFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    char id[4] = {0};
    bool r = f && fread(id, 1, 4, f) == 4 && memcmp(id, "ESEQ", 4) == 0;
    if (f) {
        fclose(f);
    }
    return r;
}

} // namespace

int commandInfo(const std::vector<std::string>& args) {
    ParsedArgs pa;
    std::string problem;
    if (!parseArgs(args, {{"json", 0, false}}, pa, problem)) {
        return usageError("info", problem);
    }
    if (pa.operands.size() != 1) {
        return usageError("info", pa.operands.empty() ? "missing FILE" : "takes one FILE");
    }
    const std::string& path = pa.operands[0];
    std::vector<std::string> warnings;
    LCSFFile* file = openInput(path, problem, warnings);
    if (!file) {
        return fileError(path, problem);
    }
    if (pa.has("json")) {
        printJson(file);
    } else {
        printText(file, isEffectFile(path));
    }
    delete file;
    for (auto& w : warnings) {
        fprintf(stderr, "lcsf: %s: warning: %s\n", path.c_str(), w.c_str());
    }
    return EXIT_OK;
}
