// Command-line parsing for the lcsf tool: words into options and operands, numbers
// and ranges checked, and the format options shared by create and convert.
#pragma once

#include "LCSFFile.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using RangeList = std::vector<std::pair<uint32_t, uint32_t>>;

struct OptionSpec {
    const char* name; // long name without "--"
    char shortName;   // 0 when none
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::string> operands;
    // (long name, value) in command-line order; flags have an empty value.
    std::vector<std::pair<std::string, std::string>> options;
    bool has(const std::string& name) const;
};

// Splits `args` by `specs`; "--name VALUE", "--name=VALUE", "-x VALUE", "--" ends
// options, a lone "-" is an operand. False with `problem` set on an unknown option
// or a missing value.
bool parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, ParsedArgs& out,
               std::string& problem);

// Whole decimal numbers only (no sign unless `allowNegative`, no blanks, no suffix).
bool parseU64(const std::string& text, uint64_t& value);
bool parseInt(const std::string& text, int64_t& value);

// "FIRST:COUNT" with COUNT optional ("FIRST:" or "FIRST" alone) when `countOptional`;
// a missing count is returned as UINT64_MAX.
bool parseSpan(const std::string& text, uint64_t& first, uint64_t& count, bool countOptional);

// The format options of create and convert, as given (nothing resolved yet).
struct FormatOptions {
    bool versionSet = false;
    int version = 2;
    bool compressionSet = false;
    LCSFFile::CompressionType compression = LCSFFile::CompressionType::zstd;
    bool levelSet = false;
    int level = 0;
    bool minorSet = false;
    int minor = 0;
    bool rangesSet = false;
    bool rangesAll = false; // "--ranges all": store every channel
    RangeList ranges;
    std::vector<LCSFFile::VariableHeader> headers; // later ones with the same code replace earlier ones
    std::vector<std::string> extendedCodes;
    bool uniqueIdSet = false;
    uint64_t uniqueId = 0;
};

// The specs of the format options, to append to a command's own.
std::vector<OptionSpec> formatOptionSpecs();

// Applies one parsed option if it is a format option. Returns 0 when it was not one,
// 1 when applied, and -1 (usage problem) or -2 (input problem, e.g. an unreadable
// header file) with `problem` set; for -2, `problemFile` names the file.
int applyFormatOption(const std::string& name, const std::string& value, FormatOptions& fo,
                      std::string& problem, std::string& problemFile);

const char* compressionName(int type);

// What a new file will be, after defaults and the input file (for convert) are applied.
struct WritePlan {
    int version = 2;
    LCSFFile::CompressionType compression = LCSFFile::CompressionType::zstd;
    int level = 10;
    int minor = 0;
    RangeList ranges;
    std::vector<LCSFFile::VariableHeader> headers;
    bool uniqueIdSet = false;
    uint64_t uniqueId = 0;
    uint32_t channels = 0;
    uint32_t frames = 0;
    uint32_t stepTime = 50;
};

// Resolves `fo` against `input` (null for create; for convert the file being copied:
// its version, compression, minor version, ranges and headers become the defaults).
// `plan.channels` must be set. False with a usage problem in `problem`.
bool resolveFormat(const FormatOptions& fo, const LCSFFile* input, WritePlan& plan, std::string& problem);

// True when `code` is two printable characters other than "ED" (which marks the extended form).
bool validHeaderCode(const std::string& code, std::string& problem);
