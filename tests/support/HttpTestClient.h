// A small blocking HTTP/1.1 client for tests that talk to a server on 127.0.0.1
// (or another address of a test's own).
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct HttpTestResponse {
    int status = 0;                             // 0 when no answer could be read
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

// Sends one request (Connection: close) and reads the whole answer; `headers`
// holds extra request header lines, each ending in "\r\n".
HttpTestResponse httpRequest(uint16_t port, const std::string& method, const std::string& target,
                             const std::string& body = "", const std::string& headers = "");
// The same to a server at another IPv4 address (a peer in a test's network namespace).
HttpTestResponse httpRequestTo(const std::string& address, uint16_t port, const std::string& method,
                               const std::string& target, const std::string& body = "",
                               const std::string& headers = "");
inline HttpTestResponse httpGet(uint16_t port, const std::string& target) {
    return httpRequest(port, "GET", target);
}
