// Command-line parsing for the lcsf tool and the format options of create and convert.
#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

bool ParsedArgs::has(const std::string& name) const {
    for (auto& o : options) {
        if (o.first == name) {
            return true;
        }
    }
    return false;
}

bool parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, ParsedArgs& out,
               std::string& problem) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            out.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* plan = nullptr;
        std::string value;
        bool hasInlineValue = false;
        std::string shown = a;
        if (a[1] == '-') {
            std::string name = a.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                hasInlineValue = true;
                shown = "--" + name;
            }
            for (auto& s : specs) {
                if (name == s.name) {
                    plan = &s;
                }
            }
        } else if (a.size() == 2) {
            for (auto& s : specs) {
                if (s.shortName && a[1] == s.shortName) {
                    plan = &s;
                }
            }
        }
        if (!plan) {
            problem = "unknown option " + shown;
            return false;
        }
        if (!plan->takesValue) {
            if (hasInlineValue) {
                problem = shown + " takes no value";
                return false;
            }
            out.options.emplace_back(plan->name, "");
            continue;
        }
        if (!hasInlineValue) {
            if (i + 1 >= args.size()) {
                problem = shown + " needs a value";
                return false;
            }
            value = args[++i];
        }
        out.options.emplace_back(plan->name, value);
    }
    return true;
}

bool parseU64(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        uint64_t d = (uint64_t)(c - '0');
        if (v > (UINT64_MAX - d) / 10) {
            return false;
        }
        v = v * 10 + d;
    }
    value = v;
    return true;
}

bool parseInt(const std::string& text, int64_t& value) {
    bool negative = !text.empty() && text[0] == '-';
    uint64_t v;
    if (!parseU64(negative ? text.substr(1) : text, v) || v > (uint64_t)INT64_MAX) {
        return false;
    }
    value = negative ? -(int64_t)v : (int64_t)v;
    return true;
}

bool parseSpan(const std::string& text, uint64_t& first, uint64_t& count, bool countOptional) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) {
        count = UINT64_MAX;
        return countOptional && parseU64(text, first);
    }
    if (!parseU64(text.substr(0, colon), first)) {
        return false;
    }
    std::string rest = text.substr(colon + 1);
    if (rest.empty()) {
        count = UINT64_MAX;
        return countOptional;
    }
    return parseU64(rest, count);
}

std::vector<OptionSpec> formatOptionSpecs() {
    return {
        {"version", 0, true}, {"compression", 0, true}, {"level", 0, true},       {"minor", 0, true},
        {"ranges", 0, true},  {"header", 0, true},      {"header-file", 0, true}, {"extended", 0, true},
        {"media", 0, true},   {"unique-id", 0, true},
    };
}

const char* compressionName(int type) {
    switch (type) {
    case LCSFFile::CompressionType::none:
        return "none";
    case LCSFFile::CompressionType::zstd:
        return "zstd";
    case LCSFFile::CompressionType::zlib:
        return "zlib";
    default:
        return "unknown";
    }
}

bool validHeaderCode(const std::string& code, std::string& problem) {
    if (code.size() != 2) {
        problem = "header code '" + code + "' must be exactly two characters";
        return false;
    }
    for (char c : code) {
        if (c <= ' ' || c > '~') {
            problem = "header code '" + code + "' must be two printable characters";
            return false;
        }
    }
    if (code == "ED") {
        problem = "header code 'ED' is reserved for the extended form (use --extended CODE)";
        return false;
    }
    return true;
}

static void putHeader(FormatOptions& fo, LCSFFile::VariableHeader h) {
    for (auto& old : fo.headers) {
        if (old.code[0] == h.code[0] && old.code[1] == h.code[1]) {
            old = std::move(h);
            return;
        }
    }
    fo.headers.push_back(std::move(h));
}

// Reads a whole regular file; headers hold at most 4 GiB (the extended form's u32 length).
static bool readWholeFile(const std::string& path, std::vector<uint8_t>& data, std::string& problem) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        problem = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        problem = "is a directory";
        return false;
    }
    if (S_ISREG(st.st_mode) && (uint64_t)st.st_size > UINT32_MAX) {
        problem = "too large for a variable header (4 GiB at most)";
        return false;
    }
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        problem = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        if (data.size() + n > UINT32_MAX) {
            fclose(f);
            problem = "too large for a variable header (4 GiB at most)";
            return false;
        }
        data.insert(data.end(), buf, buf + n);
    }
    bool failed = ferror(f);
    fclose(f);
    if (failed) {
        problem = "read error";
        return false;
    }
    return true;
}

int applyFormatOption(const std::string& name, const std::string& value, FormatOptions& fo,
                      std::string& problem, std::string& problemFile) {
    if (name == "version") {
        if (value != "1" && value != "2") {
            problem = "--version must be 1 or 2, not '" + value + "'";
            return -1;
        }
        fo.versionSet = true;
        fo.version = value[0] - '0';
        return 1;
    }
    if (name == "compression") {
        if (value == "none") {
            fo.compression = LCSFFile::CompressionType::none;
        } else if (value == "zstd") {
            fo.compression = LCSFFile::CompressionType::zstd;
        } else if (value == "zlib") {
            fo.compression = LCSFFile::CompressionType::zlib;
        } else {
            problem = "--compression must be none, zstd or zlib, not '" + value + "'";
            return -1;
        }
        fo.compressionSet = true;
        return 1;
    }
    if (name == "level") {
        int64_t v;
        if (!parseInt(value, v) || v < -25 || v > 25) {
            problem = "--level must be a whole number (zstd -25..25, zlib 0..9), not '" + value + "'";
            return -1;
        }
        fo.levelSet = true;
        fo.level = (int)v;
        return 1;
    }
    if (name == "minor") {
        uint64_t v;
        if (!parseU64(value, v) || v > 2) {
            problem = "--minor must be 0, 1 or 2, not '" + value + "'";
            return -1;
        }
        fo.minorSet = true;
        fo.minor = (int)v;
        return 1;
    }
    if (name == "ranges") {
        fo.rangesSet = true;
        fo.ranges.clear();
        fo.rangesAll = value == "all";
        if (fo.rangesAll) {
            return 1;
        }
        size_t start = 0;
        while (true) {
            size_t comma = value.find(',', start);
            std::string item =
                value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            uint64_t first, count;
            if (!parseSpan(item, first, count, false) || count == 0) {
                problem =
                    "--ranges wants FIRST:COUNT[,FIRST:COUNT...] with COUNT at least 1 (or 'all'), not '" +
                    value + "'";
                return -1;
            }
            if (first > 0xFFFFFF || count > 0xFFFFFF) {
                problem =
                    "range " + item + " does not fit the file format (first and count at most 16777215)";
                return -1;
            }
            fo.ranges.emplace_back((uint32_t)first, (uint32_t)count);
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        return 1;
    }
    if (name == "header" || name == "header-file" || name == "media") {
        std::string code = "mf";
        std::string rest = value;
        if (name != "media") {
            size_t eq = value.find('=');
            if (eq == std::string::npos) {
                problem = "--" + name + " wants CODE=" + (name == "header" ? "TEXT" : "PATH") + ", not '" +
                          value + "'";
                return -1;
            }
            code = value.substr(0, eq);
            rest = value.substr(eq + 1);
        }
        if (!validHeaderCode(code, problem)) {
            return -1;
        }
        std::vector<uint8_t> data;
        if (name == "header-file") {
            if (!readWholeFile(rest, data, problem)) {
                problemFile = rest;
                return -2;
            }
        } else {
            data.assign(rest.begin(), rest.end());
            data.push_back(0);
        }
        putHeader(fo, LCSFFile::VariableHeader(code[0], code[1], std::move(data)));
        return 1;
    }
    if (name == "extended") {
        if (!validHeaderCode(value, problem)) {
            return -1;
        }
        fo.extendedCodes.push_back(value);
        return 1;
    }
    if (name == "unique-id") {
        if (!parseU64(value, fo.uniqueId)) {
            problem =
                "--unique-id must be a whole number from 0 to 18446744073709551615, not '" + value + "'";
            return -1;
        }
        fo.uniqueIdSet = true;
        return 1;
    }
    return 0;
}

static bool validateRanges(const RangeList& ranges, uint32_t channels, std::string& problem) {
    if (ranges.size() > 255) {
        problem = "at most 255 sparse ranges fit in a file";
        return false;
    }
    RangeList sorted = ranges;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); i++) {
        uint64_t end = (uint64_t)sorted[i].first + sorted[i].second;
        if (end > channels) {
            problem = "range " + std::to_string(sorted[i].first) + ":" + std::to_string(sorted[i].second) +
                      " runs past the " + std::to_string(channels) + " channels (channels are 0-based)";
            return false;
        }
        if (i + 1 < sorted.size() && sorted[i + 1].first < end) {
            problem = "ranges " + std::to_string(sorted[i].first) + ":" + std::to_string(sorted[i].second) +
                      " and " + std::to_string(sorted[i + 1].first) + ":" +
                      std::to_string(sorted[i + 1].second) + " overlap";
            return false;
        }
    }
    return true;
}

bool resolveFormat(const FormatOptions& fo, const LCSFFile* input, WritePlan& plan, std::string& problem) {
    const V2LCSFFile* inV2 = input ? dynamic_cast<const V2LCSFFile*>(input) : nullptr;

    plan.version = fo.versionSet ? fo.version : (input ? (inV2 ? 2 : 1) : 2);
    if (plan.version == 1) {
        if (fo.compressionSet && fo.compression != LCSFFile::CompressionType::none) {
            problem = "version 1 files cannot be compressed (use --version 2, or --compression none)";
            return false;
        }
        if (fo.levelSet) {
            problem = "version 1 files are not compressed, so --level does not apply";
            return false;
        }
        if (fo.minorSet) {
            problem = "version 1 files have no minor versions (--minor needs --version 2)";
            return false;
        }
        if (fo.rangesSet && !fo.rangesAll) {
            problem = "version 1 files cannot hold sparse ranges (--ranges needs --version 2)";
            return false;
        }
        if (!fo.extendedCodes.empty()) {
            problem = "version 1 files have no extended headers (--extended needs --version 2)";
            return false;
        }
        if (fo.uniqueIdSet) {
            problem = "version 1 files store no unique id (--unique-id needs --version 2)";
            return false;
        }
        plan.compression = LCSFFile::CompressionType::none;
        plan.minor = 0;
        plan.ranges.clear();
    } else {
        if (fo.compressionSet) {
            plan.compression = fo.compression;
        } else if (inV2) {
            plan.compression = inV2->m_compressionType;
        } else {
            plan.compression = LCSFFile::CompressionType::zstd;
        }
        if (fo.minorSet) {
            plan.minor = fo.minor;
        } else {
            plan.minor = inV2 ? std::min(std::max(inV2->m_seqVersionMinor, 0), 2) : 0;
        }
        if (fo.rangesSet) {
            plan.ranges = fo.rangesAll ? RangeList() : fo.ranges;
            if (!validateRanges(plan.ranges, plan.channels, problem)) {
                return false;
            }
        } else if (inV2) {
            // The input's own ranges are written back as they are, even odd ones
            // (overlapping, empty): the file then reads exactly as the input did.
            plan.ranges = inV2->m_sparseRanges;
        }
    }

    if (plan.compression == LCSFFile::CompressionType::zstd) {
        plan.level = fo.levelSet ? fo.level : 10;
    } else if (plan.compression == LCSFFile::CompressionType::zlib) {
        if (fo.levelSet && (fo.level < 0 || fo.level > 9)) {
            problem = "--level for zlib must be 0..9, not " + std::to_string(fo.level);
            return false;
        }
        plan.level = fo.levelSet ? fo.level : 3;
    } else {
        if (fo.levelSet) {
            problem = "--level needs a compressed file (--compression zstd or zlib)";
            return false;
        }
        plan.level = 0;
    }

    // Headers: the input's, with those given on the command line replacing the
    // input's of the same code (in place) or added after them.
    plan.headers.clear();
    if (input) {
        plan.headers = input->m_variableHeaders;
    }
    for (auto& h : fo.headers) {
        bool placed = false;
        for (size_t i = 0; i < plan.headers.size();) {
            if (plan.headers[i].code[0] == h.code[0] && plan.headers[i].code[1] == h.code[1]) {
                if (!placed) {
                    plan.headers[i] = h;
                    placed = true;
                    i++;
                } else {
                    plan.headers.erase(plan.headers.begin() + i);
                }
            } else {
                i++;
            }
        }
        if (!placed) {
            plan.headers.push_back(h);
        }
    }
    if (plan.version == 1) {
        for (auto& h : plan.headers) {
            h.extendedData = false;
        }
    }
    for (auto& code : fo.extendedCodes) {
        bool found = false;
        for (auto& h : plan.headers) {
            if (h.code[0] == code[0] && h.code[1] == code[1]) {
                h.extendedData = true;
                found = true;
            }
        }
        if (!found) {
            problem =
                "--extended " + code + " names no variable header (add it with --header or --header-file)";
            return false;
        }
    }
    if (plan.version == 1) {
        uint64_t size = 28;
        for (auto& h : plan.headers) {
            size += 4 + h.data.size();
        }
        if (size > 65532) {
            problem = "the variable headers (" + std::to_string(size - 28) +
                      " bytes with their entries) do not fit a version 1 header (65504 bytes at most); use "
                      "--version 2";
            return false;
        }
    }

    plan.uniqueIdSet = fo.uniqueIdSet || input;
    plan.uniqueId = fo.uniqueIdSet ? fo.uniqueId : (input ? input->m_uniqueId : 0);
    if (plan.version == 1) {
        plan.uniqueIdSet = false;
        plan.uniqueId = 0;
    }
    return true;
}
