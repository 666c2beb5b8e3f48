// Base of every response: status code, headers, and the body the server sends.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <map>
#include <string>

#include "httpserver/http_utils.hpp"

namespace httpserver {

class http_response {
public:
    http_response() = default;
    http_response(int response_code, const std::string& content_type);
    virtual ~http_response() = default;

    int get_response_code() const { return response_code; }
    // Header by name, in any case; "" when absent.
    std::string get_header(const std::string& key) const;
    const std::map<std::string, std::string, http::header_comparator>& get_headers() const { return headers; }
    http_response& with_header(const std::string& key, const std::string& value) {
        headers[key] = value;
        return *this;
    }

    // The bytes to send. False when the body cannot be produced (a file that cannot
    // be read); the server then answers 404 instead.
    virtual bool get_body(std::string& body) const;

protected:
    int response_code = -1;
    std::map<std::string, std::string, http::header_comparator> headers;
};

} // namespace httpserver
