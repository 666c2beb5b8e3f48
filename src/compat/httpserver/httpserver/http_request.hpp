// An HTTP request as a resource sees it: method, path, query and form arguments,
// headers and the body, all copied out of the server's connection.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "httpserver/http_arg_value.hpp"
#include "httpserver/http_utils.hpp"

namespace httpserver {

class webserver;

class http_request {
public:
    http_request() = default;

    const std::string& get_path() const { return path; }
    std::vector<std::string> get_path_pieces() const { return http::http_utils::tokenize_url(path); }
    // The piece at `index`, or "" past the end.
    std::string get_path_piece(int index) const;
    const std::string& get_method() const { return method; }
    const std::string& get_version() const { return version; }
    const std::string& get_content() const { return content; }
    const std::string& get_querystring() const { return querystring; }

    // The argument from the query string (or an urlencoded form body); an absent
    // argument has no values and reads as "".
    http_arg_value get_arg(const std::string& key) const;
    std::string get_arg_flat(const std::string& key) const { return get_arg(key).get_flat_value(); }
    // First value of every argument.
    std::map<std::string, std::string, http::arg_comparator> get_args_flat() const;
    std::map<std::string, std::vector<std::string>, http::arg_comparator> get_args() const { return args; }

    // Header by name, in any case; "" when absent.
    std::string get_header(const std::string& key) const;
    const std::map<std::string, std::string, http::header_comparator>& get_headers() const { return headers; }

    const std::string& get_requestor() const { return requestor; }
    uint16_t get_requestor_port() const { return requestorPort; }

    // Filled by the server (and by tests that call a resource directly).
    void set_path(const std::string& p) { path = p; }
    void set_method(const std::string& m) { method = m; }
    void set_content(const std::string& c) { content = c; }
    void set_header(const std::string& key, const std::string& value) { headers[key] = value; }
    void add_arg(const std::string& key, const std::string& value) { args[key].push_back(value); }
    void set_querystring(const std::string& q) { querystring = q; }

private:
    friend class webserver;

    std::string path;
    std::string method;
    std::string version;
    std::string content;
    std::string querystring;
    std::string requestor;
    uint16_t requestorPort = 0;
    std::map<std::string, std::vector<std::string>, http::arg_comparator> args;
    std::map<std::string, std::string, http::header_comparator> headers;
};

} // namespace httpserver
