// Status codes, content types and URL helpers of the HTTP resource layer.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <string>
#include <vector>

namespace httpserver {
namespace http {

// Header names compare without regard to case, as HTTP wants.
struct header_comparator {
    bool operator()(const std::string& a, const std::string& b) const;
};
// Arguments compare exactly.
using arg_comparator = std::less<std::string>;

class http_utils {
public:
    enum start_method_T { INTERNAL_SELECT, THREAD_PER_CONNECTION };

    static const int http_continue = 100;
    static const int http_ok = 200;
    static const int http_created = 201;
    static const int http_accepted = 202;
    static const int http_no_content = 204;
    static const int http_moved_permanently = 301;
    static const int http_found = 302;
    static const int http_see_other = 303;
    static const int http_not_modified = 304;
    static const int http_bad_request = 400;
    static const int http_unauthorized = 401;
    static const int http_forbidden = 403;
    static const int http_not_found = 404;
    static const int http_method_not_allowed = 405;
    static const int http_not_acceptable = 406;
    static const int http_conflict = 409;
    static const int http_request_timeout = 408;
    static const int http_payload_too_large = 413;
    static const int http_unsupported_media_type = 415;
    static const int http_request_header_fields_too_large = 431;
    static const int http_internal_server_error = 500;
    static const int http_not_implemented = 501;
    static const int http_service_unavailable = 503;

    static const char* http_header_content_type;
    static const char* http_header_allow;
    static const char* text_plain;
    static const char* application_json;

    static const char* http_method_get;
    static const char* http_method_head;
    static const char* http_method_post;
    static const char* http_method_put;
    static const char* http_method_delete;
    static const char* http_method_options;
    static const char* http_method_patch;
    static const char* http_method_trace;
    static const char* http_method_connect;

    // Splits a URL path on `separator`, dropping empty pieces: "//a/b/" gives {"a", "b"}.
    static std::vector<std::string> tokenize_url(const std::string& str, const char separator = '/');
    // The pieces joined again as "/a/b" ("/" for none): the form under which paths are compared.
    static std::string standardize_url(const std::string& url);
};

} // namespace http
} // namespace httpserver
