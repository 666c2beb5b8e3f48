// A response whose body is a file, read when the response is sent.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <string>

#include "httpserver/http_response.hpp"

namespace httpserver {

class file_response : public http_response {
public:
    explicit file_response(const std::string& filename, int response_code = http::http_utils::http_ok,
                           const std::string& content_type = http::http_utils::text_plain)
        : http_response(response_code, content_type), filename(filename) {}

    bool get_body(std::string& body) const override;

private:
    std::string filename;
};

} // namespace httpserver
