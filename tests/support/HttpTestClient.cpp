// Blocking HTTP test client over a plain TCP socket.
#include "HttpTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

int connectTo(const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

HttpTestResponse httpRequest(uint16_t port, const std::string& method, const std::string& target,
                             const std::string& body, const std::string& headers) {
    return httpRequestTo("127.0.0.1", port, method, target, body, headers);
}

HttpTestResponse httpRequestTo(const std::string& address, uint16_t port, const std::string& method,
                               const std::string& target, const std::string& body,
                               const std::string& headers) {
    HttpTestResponse response;
    int fd = connectTo(address, port);
    if (fd < 0) {
        return response;
    }
    std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n" + headers;
    if (!body.empty() || method == "POST" || method == "PUT") {
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    request += "\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            close(fd);
            return response;
        }
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        raw.append(buf, static_cast<size_t>(n));
    }
    close(fd);

    size_t headerEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headerEnd == std::string::npos || raw.size() < 12) {
        return response;
    }
    response.status = atoi(raw.c_str() + 9);
    size_t pos = raw.find("\r\n") + 2;
    while (pos < headerEnd) {
        size_t eol = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, eol - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            size_t v = line.find_first_not_of(' ', colon + 1);
            response.headers[name] = v == std::string::npos ? std::string() : line.substr(v);
        }
        pos = eol + 2;
    }
    response.body = raw.substr(headerEnd + 4);
    std::string length = response.header("content-length");
    if (!length.empty() && response.body.size() > static_cast<size_t>(atol(length.c_str()))) {
        response.body.resize(static_cast<size_t>(atol(length.c_str())));
    }
    return response;
}
