// URL helpers and constants of the HTTP resource layer.
#include <strings.h>

#define _HTTPSERVER_HPP_INSIDE_
#include "httpserver/http_utils.hpp"
#undef _HTTPSERVER_HPP_INSIDE_

namespace httpserver {
namespace http {

bool header_comparator::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

const char* http_utils::http_header_content_type = "Content-Type";
const char* http_utils::http_header_allow = "Allow";
const char* http_utils::text_plain = "text/plain";
const char* http_utils::application_json = "application/json";

const char* http_utils::http_method_get = "GET";
const char* http_utils::http_method_head = "HEAD";
const char* http_utils::http_method_post = "POST";
const char* http_utils::http_method_put = "PUT";
const char* http_utils::http_method_delete = "DELETE";
const char* http_utils::http_method_options = "OPTIONS";
const char* http_utils::http_method_patch = "PATCH";
const char* http_utils::http_method_trace = "TRACE";
const char* http_utils::http_method_connect = "CONNECT";

std::vector<std::string> http_utils::tokenize_url(const std::string& str, const char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= str.size()) {
        size_t end = str.find(separator, start);
        if (end == std::string::npos) {
            end = str.size();
        }
        if (end > start) {
            pieces.emplace_back(str, start, end - start);
        }
        start = end + 1;
    }
    return pieces;
}

std::string http_utils::standardize_url(const std::string& url) {
    std::string out;
    for (const auto& piece : tokenize_url(url)) {
        out += "/";
        out += piece;
    }
    return out.empty() ? std::string("/") : out;
}

} // namespace http
} // namespace httpserver
