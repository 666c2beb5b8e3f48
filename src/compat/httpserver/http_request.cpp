// Request and response accessors, the resource defaults and file bodies.
#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "httpserver.hpp"

namespace httpserver {

std::string http_request::get_path_piece(int index) const {
    std::vector<std::string> pieces = get_path_pieces();
    if (index < 0 || static_cast<size_t>(index) >= pieces.size()) {
        return std::string();
    }
    return pieces[index];
}

http_arg_value http_request::get_arg(const std::string& key) const {
    http_arg_value value;
    auto it = args.find(key);
    if (it != args.end()) {
        value.values = it->second;
    }
    return value;
}

std::map<std::string, std::string, http::arg_comparator> http_request::get_args_flat() const {
    std::map<std::string, std::string, http::arg_comparator> flat;
    for (const auto& a : args) {
        flat[a.first] = a.second.empty() ? std::string() : a.second[0];
    }
    return flat;
}

std::string http_request::get_header(const std::string& key) const {
    auto it = headers.find(key);
    return it == headers.end() ? std::string() : it->second;
}

http_response::http_response(int response_code, const std::string& content_type)
    : response_code(response_code) {
    headers[http::http_utils::http_header_content_type] = content_type;
}

std::string http_response::get_header(const std::string& key) const {
    auto it = headers.find(key);
    return it == headers.end() ? std::string() : it->second;
}

bool http_response::get_body(std::string& body) const {
    body.clear();
    return true;
}

bool file_response::get_body(std::string& body) const {
    std::ifstream in(filename, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) {
        return false;
    }
    body = buf.str();
    return true;
}

http_resource::http_resource() {
    allow_all();
}

void http_resource::allow_all() {
    for (const char* m : {http::http_utils::http_method_get, http::http_utils::http_method_head,
                          http::http_utils::http_method_post, http::http_utils::http_method_put,
                          http::http_utils::http_method_delete, http::http_utils::http_method_options,
                          http::http_utils::http_method_patch, http::http_utils::http_method_trace,
                          http::http_utils::http_method_connect}) {
        method_state[m] = true;
    }
}

void http_resource::disallow_all() {
    for (auto& m : method_state) {
        m.second = false;
    }
}

bool http_resource::is_allowed(const std::string& method) {
    auto it = method_state.find(method);
    return it != method_state.end() && it->second;
}

std::shared_ptr<http_response> http_resource::render(const http_request&) {
    return std::make_shared<string_response>();
}

create_webserver& create_webserver::bind_address(const struct sockaddr* addr) {
    if (addr == nullptr) {
        _has_bind_address = false;
        return *this;
    }
    size_t len = addr->sa_family == AF_INET6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in);
    memset(&_bind_address, 0, sizeof(_bind_address));
    memcpy(&_bind_address, addr, len);
    _has_bind_address = true;
    return *this;
}

} // namespace httpserver
