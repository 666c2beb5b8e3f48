// The Custom UDP packet template: "tokens" compiled once into constant pieces and
// placeholders for the channel data, so a frame is sent without copying bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UDPTemplate {
    // The datagram's pieces in order: constant bytes, or an empty placeholder
    // where the output's channel data goes.
    std::vector<std::vector<uint8_t>> buffers;
    // Indices into `buffers` of the placeholders.
    std::vector<uint32_t> dataSegments;
};

// Compiles a template for an output of `channelCount` channels. Tokens are separated
// by single spaces; see README.md for what each token appends. An unknown token of
// three or more characters starting with "{" is printed to standard output and sent
// as its characters.
UDPTemplate CompileUDPTemplate(const std::string& tokens, uint32_t channelCount);
