// A response whose body is a string held in memory.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <string>

#include "httpserver/http_response.hpp"

namespace httpserver {

class string_response : public http_response {
public:
    string_response() : http_response(http::http_utils::http_ok, http::http_utils::text_plain) {}
    explicit string_response(std::string content, int response_code = http::http_utils::http_ok,
                             const std::string& content_type = http::http_utils::text_plain)
        : http_response(response_code, content_type), content(std::move(content)) {}

    const std::string& get_content() const { return content; }
    bool get_body(std::string& body) const override {
        body = content;
        return true;
    }

private:
    std::string content;
};

} // namespace httpserver
