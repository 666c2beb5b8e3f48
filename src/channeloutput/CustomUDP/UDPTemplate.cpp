// Compiler of the Custom UDP packet template.
#include "UDPTemplate.h"

#include <cstdio>
#include <cstdlib>

namespace {

void appendLiteral(const std::string& token, std::vector<uint8_t>& out) {
    out.insert(out.end(), token.begin(), token.end());
}

// Appends what a constant token stands for; the data token is handled by the caller.
void appendToken(const std::string& token, uint32_t channelCount, std::vector<uint8_t>& out) {
    const uint32_t n = channelCount;
    const uint32_t p = channelCount / 3;
    if (token.size() <= 2) {
        appendLiteral(token, out);
    } else if (token == "{P}" || token == "{p}" || token == "{P1}" || token == "{p1}") {
        out.push_back((uint8_t)(p & 0xFF));
    } else if (token == "{S}" || token == "{s}" || token == "{S1}" || token == "{s1}") {
        out.push_back((uint8_t)(n & 0xFF));
    } else if (token == "{P2}") {
        out.push_back((uint8_t)(p & 0xFF));
        out.push_back((uint8_t)((p >> 8) & 0xFF));
    } else if (token == "{p2}") {
        out.push_back((uint8_t)((p >> 8) & 0xFF));
        out.push_back((uint8_t)(p & 0xFF));
    } else if (token == "{S2}") {
        out.push_back((uint8_t)(n & 0xFF));
        out.push_back((uint8_t)((n >> 8) & 0xFF));
    } else if (token == "{s2}") {
        out.push_back((uint8_t)((n >> 8) & 0xFF));
        out.push_back((uint8_t)(n & 0xFF));
    } else if (token.compare(0, 2, "0x") == 0) {
        out.push_back((uint8_t)(strtoul(token.c_str(), nullptr, 16) & 0xFF));
    } else if (token[0] == '#') {
        out.push_back((uint8_t)(strtoul(token.c_str() + 1, nullptr, 16) & 0xFF));
    } else if (token[0] == '{') {
        // Most likely a mistyped count; sending it literally makes the mistake visible.
        printf("Unknown token -%s-", token.c_str());
        appendLiteral(token, out);
    }
    // Any other longer token is dropped.
}

} // namespace

UDPTemplate CompileUDPTemplate(const std::string& tokens, uint32_t channelCount) {
    UDPTemplate t;
    std::vector<uint8_t> current;
    size_t pos = 0;
    while (pos <= tokens.size()) {
        size_t end = tokens.find(' ', pos);
        if (end == std::string::npos) {
            end = tokens.size();
        }
        if (end > pos) {
            std::string token = tokens.substr(pos, end - pos);
            if (token == "{data}") {
                if (!current.empty()) {
                    t.buffers.push_back(std::move(current));
                    current.clear();
                }
                t.dataSegments.push_back((uint32_t)t.buffers.size());
                t.buffers.emplace_back();
            } else {
                appendToken(token, channelCount, current);
            }
        }
        pos = end + 1;
    }
    if (!current.empty()) {
        t.buffers.push_back(std::move(current));
    }
    return t;
}
