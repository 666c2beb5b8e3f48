// Construction parameters of a webserver, set in a chain: create_webserver(8080).max_threads(4).
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "httpserver/http_request.hpp"
#include "httpserver/http_response.hpp"
#include "httpserver/http_utils.hpp"

namespace httpserver {

typedef std::function<std::shared_ptr<http_response>(const http_request&)> render_ptr;
typedef std::function<void(const std::string&)> log_error_ptr;

class create_webserver {
public:
    explicit create_webserver(uint16_t port = 80) : _port(port) {}

    create_webserver& port(uint16_t p) {
        _port = p;
        return *this;
    }
    create_webserver& max_threads(int n) {
        _max_threads = n;
        return *this;
    }
    create_webserver& max_connections(int n) {
        _max_connections = n;
        return *this;
    }
    create_webserver& connection_timeout(int seconds) {
        _connection_timeout = seconds;
        return *this;
    }
    // Bodies larger than this are refused with 413 before a resource sees them.
    create_webserver& content_size_limit(size_t bytes) {
        _content_size_limit = bytes;
        return *this;
    }
    create_webserver& start_method(http::http_utils::start_method_T m) {
        _start_method = m;
        return *this;
    }
    create_webserver& use_ipv6() {
        _use_ipv6 = true;
        return *this;
    }
    create_webserver& no_ipv6() {
        _use_ipv6 = false;
        return *this;
    }
    create_webserver& use_dual_stack() {
        _use_dual_stack = true;
        return *this;
    }
    create_webserver& no_dual_stack() {
        _use_dual_stack = false;
        return *this;
    }
    // Listen on this address only (port taken from `port`); an AF_INET or AF_INET6 address.
    create_webserver& bind_address(const struct sockaddr* addr);
    // Serve on a socket already bound and listening (handed over by a service
    // manager or a test); `port` and `bind_address` are then not used. The server
    // owns it from here and closes it when it is destroyed.
    create_webserver& bind_socket(int fd) {
        _bind_socket = fd;
        return *this;
    }
    create_webserver& not_found_resource(const render_ptr& r) {
        _not_found_resource = r;
        return *this;
    }
    create_webserver& method_not_allowed_resource(const render_ptr& r) {
        _method_not_allowed_resource = r;
        return *this;
    }
    create_webserver& internal_error_resource(const render_ptr& r) {
        _internal_error_resource = r;
        return *this;
    }
    // Where the server reports what goes wrong (a port it cannot open); standard error when unset.
    create_webserver& log_error(const log_error_ptr& l) {
        _log_error = l;
        return *this;
    }

private:
    friend class webserver;

    uint16_t _port;
    int _max_threads = 0;
    int _max_connections = 0;
    int _connection_timeout = 180;
    size_t _content_size_limit = 1 << 20;
    http::http_utils::start_method_T _start_method = http::http_utils::INTERNAL_SELECT;
    bool _use_ipv6 = false;
    bool _use_dual_stack = false;
    bool _has_bind_address = false;
    int _bind_socket = -1;
    struct sockaddr_storage _bind_address;
    render_ptr _not_found_resource;
    render_ptr _method_not_allowed_resource;
    render_ptr _internal_error_resource;
    log_error_ptr _log_error;
};

} // namespace httpserver
