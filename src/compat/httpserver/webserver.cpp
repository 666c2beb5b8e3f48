// The HTTP server over libmicrohttpd: collects each request (body included), finds its
// resource by path and queues what the resource renders.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>

#include "httpserver.hpp"

namespace httpserver {

namespace {

// What a connection collects between the calls libmicrohttpd makes for one request.
struct RequestState {
    std::string body;
    bool tooLarge = false;
};

void reportError(const log_error_ptr& log, const std::string& text) {
    if (log) {
        log(text);
    } else {
        fprintf(stderr, "%s\n", text.c_str());
    }
}

MHD_Result collectValue(void* cls, enum MHD_ValueKind kind, const char* key, const char* value) {
    http_request* req = static_cast<http_request*>(cls);
    if (key == nullptr) {
        return MHD_YES;
    }
    if (kind == MHD_GET_ARGUMENT_KIND) {
        req->add_arg(key, value ? value : "");
    } else if (kind == MHD_HEADER_KIND) {
        req->set_header(key, value ? value : "");
    }
    return MHD_YES;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes one key or value of an urlencoded form: "+" is a space, "%41" is "A";
// a "%" not followed by two hex digits stays as it is.
std::string formDecode(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); i++) {
        char c = in[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 && hexValue(in[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(in[i + 1]) * 16 + hexValue(in[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

void parseForm(http_request& req, const std::string& body) {
    for (const auto& pair : http::http_utils::tokenize_url(body, '&')) {
        size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            req.add_arg(formDecode(pair), "");
        } else {
            req.add_arg(formDecode(pair.substr(0, eq)), formDecode(pair.substr(eq + 1)));
        }
    }
}

std::shared_ptr<http_response> plainResponse(const std::string& text, int code) {
    return std::make_shared<string_response>(text, code, http::http_utils::text_plain);
}

MHD_Result queue(struct MHD_Connection* connection, const std::shared_ptr<http_response>& response) {
    std::string body;
    std::shared_ptr<http_response> r = response;
    if (!r->get_body(body)) {
        r = plainResponse("Not Found", http::http_utils::http_not_found);
        r->get_body(body);
    }
    struct MHD_Response* mhd =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (mhd == nullptr) {
        return MHD_NO;
    }
    for (const auto& h : r->get_headers()) {
        MHD_add_response_header(mhd, h.first.c_str(), h.second.c_str());
    }
    int code = r->get_response_code();
    if (code < 100 || code > 999) {
        code = http::http_utils::http_internal_server_error;
    }
    MHD_Result ret = MHD_queue_response(connection, static_cast<unsigned int>(code), mhd);
    MHD_destroy_response(mhd);
    return ret;
}

MHD_Result accessHandler(void* cls, struct MHD_Connection* connection, const char* url, const char* method,
                         const char* version, const char* upload_data, size_t* upload_data_size,
                         void** con_cls) {
    webserver* ws = static_cast<webserver*>(cls);
    return ws->answer(connection, url, method, version, upload_data, upload_data_size, con_cls) ? MHD_YES
                                                                                                : MHD_NO;
}

void requestCompleted(void*, struct MHD_Connection*, void** con_cls, enum MHD_RequestTerminationCode) {
    delete static_cast<RequestState*>(*con_cls);
    *con_cls = nullptr;
}

} // namespace

webserver::webserver(const create_webserver& params) : params(params) {}

webserver::~webserver() {
    stop();
    if (params._bind_socket >= 0) {
        close(params._bind_socket);
    }
}

bool webserver::start(bool blocking) {
    std::unique_lock<std::mutex> l(lock);
    if (daemon != nullptr) {
        return true;
    }
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD;
    if (params._start_method == http::http_utils::THREAD_PER_CONNECTION) {
        flags |= MHD_USE_THREAD_PER_CONNECTION;
    } else {
        flags |= MHD_USE_AUTO;
    }
    if (params._use_dual_stack) {
        flags |= MHD_USE_DUAL_STACK;
    } else if (params._use_ipv6) {
        flags |= MHD_USE_IPv6;
    }

    struct MHD_OptionItem options[8];
    int n = 0;
    options[n++] = {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&requestCompleted), nullptr};
    options[n++] = {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(params._connection_timeout),
                    nullptr};
    if (params._max_connections > 0) {
        options[n++] = {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(params._max_connections), nullptr};
    }
    if (params._max_threads > 1 && params._start_method != http::http_utils::THREAD_PER_CONNECTION) {
        options[n++] = {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(params._max_threads), nullptr};
    }
    struct sockaddr_storage addr = params._bind_address;
    if (params._bind_socket >= 0) {
        // Quiesced before each stop (which needs the inter-thread channel), so the
        // socket handed to us stays open and listening for the next start.
        flags |= MHD_USE_ITC;
        options[n++] = {MHD_OPTION_LISTEN_SOCKET, static_cast<intptr_t>(params._bind_socket), nullptr};
    } else if (params._has_bind_address) {
        if (addr.ss_family == AF_INET6) {
            reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_port = htons(params._port);
            flags |= MHD_USE_IPv6;
        } else {
            reinterpret_cast<struct sockaddr_in*>(&addr)->sin_port = htons(params._port);
        }
        options[n++] = {MHD_OPTION_SOCK_ADDR, 0, &addr};
    }
    options[n++] = {MHD_OPTION_END, 0, nullptr};

    daemon = MHD_start_daemon(flags, params._port, nullptr, nullptr, &accessHandler, this, MHD_OPTION_ARRAY,
                              options, MHD_OPTION_END);
    if (daemon == nullptr) {
        reportError(params._log_error,
                    params._bind_socket >= 0
                        ? std::string("HTTP server could not serve on the socket it was given")
                        : "HTTP server could not listen on port " + std::to_string(params._port) +
                              " (in use, or not permitted)");
        return false;
    }
    running = true;
    if (blocking) {
        stopped.wait(l, [this] { return !running; });
    }
    return true;
}

bool webserver::stop() {
    struct MHD_Daemon* d;
    {
        std::lock_guard<std::mutex> l(lock);
        d = daemon;
        daemon = nullptr;
        running = false;
    }
    stopped.notify_all();
    if (d == nullptr) {
        return false;
    }
    // Outside the lock: stopping waits for requests in progress, which look up resources.
    if (params._bind_socket >= 0) {
        MHD_quiesce_daemon(d);
    }
    MHD_stop_daemon(d);
    return true;
}

bool webserver::is_running() {
    std::lock_guard<std::mutex> l(lock);
    return running;
}

bool webserver::register_resource(const std::string& resource, http_resource* res, bool family) {
    if (res == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> l(lock);
    return registrations.emplace(http::http_utils::standardize_url(resource), Registration{res, family})
        .second;
}

void webserver::unregister_resource(const std::string& resource) {
    std::lock_guard<std::mutex> l(lock);
    registrations.erase(http::http_utils::standardize_url(resource));
}

http_resource* webserver::findResource(const std::string& path) {
    std::string key = http::http_utils::standardize_url(path);
    std::lock_guard<std::mutex> l(lock);
    auto it = registrations.find(key);
    if (it != registrations.end()) {
        return it->second.resource;
    }
    // Walk up the path: the first family registration found is the longest match.
    while (key != "/") {
        size_t slash = key.rfind('/');
        key = slash == 0 ? std::string("/") : key.substr(0, slash);
        it = registrations.find(key);
        if (it != registrations.end() && it->second.family) {
            return it->second.resource;
        }
    }
    return nullptr;
}

std::shared_ptr<http_response> webserver::dispatch(const http_request& req) {
    http_resource* res = findResource(req.get_path());
    if (res == nullptr) {
        if (params._not_found_resource) {
            return params._not_found_resource(req);
        }
        return plainResponse("Not Found", http::http_utils::http_not_found);
    }
    const std::string& m = req.get_method();
    if (!res->is_allowed(m)) {
        if (params._method_not_allowed_resource) {
            return params._method_not_allowed_resource(req);
        }
        std::string allowed;
        for (const auto& s : res->get_allowed_methods()) {
            if (s.second) {
                allowed += (allowed.empty() ? "" : ", ") + s.first;
            }
        }
        auto r = plainResponse("Method Not Allowed", http::http_utils::http_method_not_allowed);
        r->with_header(http::http_utils::http_header_allow, allowed);
        return r;
    }
    std::shared_ptr<http_response> r;
    if (m == http::http_utils::http_method_get) {
        r = res->render_GET(req);
    } else if (m == http::http_utils::http_method_post) {
        r = res->render_POST(req);
    } else if (m == http::http_utils::http_method_put) {
        r = res->render_PUT(req);
    } else if (m == http::http_utils::http_method_delete) {
        r = res->render_DELETE(req);
    } else if (m == http::http_utils::http_method_head) {
        r = res->render_HEAD(req);
    } else if (m == http::http_utils::http_method_options) {
        r = res->render_OPTIONS(req);
    } else if (m == http::http_utils::http_method_patch) {
        r = res->render_PATCH(req);
    } else if (m == http::http_utils::http_method_trace) {
        r = res->render_TRACE(req);
    } else if (m == http::http_utils::http_method_connect) {
        r = res->render_CONNECT(req);
    } else {
        r = res->render(req);
    }
    if (!r) {
        if (params._internal_error_resource) {
            return params._internal_error_resource(req);
        }
        return plainResponse("Internal Error", http::http_utils::http_internal_server_error);
    }
    return r;
}

int webserver::answer(struct MHD_Connection* connection, const char* url, const char* method,
                      const char* version, const char* upload_data, size_t* upload_data_size,
                      void** con_cls) {
    RequestState* state = static_cast<RequestState*>(*con_cls);
    if (state == nullptr) {
        // First call: headers only. The body, if any, follows in later calls.
        *con_cls = state = new RequestState();
        return MHD_YES;
    }
    if (*upload_data_size > 0) {
        if (!state->tooLarge && state->body.size() + *upload_data_size <= params._content_size_limit) {
            state->body.append(upload_data, *upload_data_size);
        } else {
            state->tooLarge = true;
            state->body.clear();
        }
        *upload_data_size = 0;
        return MHD_YES;
    }
    if (state->tooLarge) {
        return queue(connection,
                     plainResponse("Payload Too Large", http::http_utils::http_payload_too_large));
    }

    http_request req;
    req.path = url ? url : "/";
    req.method = method ? method : "";
    req.version = version ? version : "";
    req.content = std::move(state->body);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectValue, &req);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectValue, &req);
    std::string query;
    for (const auto& a : req.args) {
        for (const auto& v : a.second) {
            query += (query.empty() ? "" : "&") + a.first + "=" + v;
        }
    }
    req.querystring = query;
    std::string ctype = req.get_header(http::http_utils::http_header_content_type);
    if (strncasecmp(ctype.c_str(), "application/x-www-form-urlencoded", 33) == 0) {
        parseForm(req, req.content);
    }
    const union MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info != nullptr && info->client_addr != nullptr) {
        char text[INET6_ADDRSTRLEN] = {0};
        if (info->client_addr->sa_family == AF_INET) {
            auto* in = reinterpret_cast<const struct sockaddr_in*>(info->client_addr);
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
            req.requestorPort = ntohs(in->sin_port);
        } else if (info->client_addr->sa_family == AF_INET6) {
            auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(info->client_addr);
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
            req.requestorPort = ntohs(in6->sin6_port);
        }
        req.requestor = text;
    }

    std::shared_ptr<http_response> response;
    try {
        response = dispatch(req);
    } catch (const std::exception& e) {
        // A resource must not unwind into libmicrohttpd's C frames.
        reportError(params._log_error, std::string("HTTP resource for ") + req.path + " failed: " + e.what());
        response = plainResponse("Internal Error", http::http_utils::http_internal_server_error);
    }
    return queue(connection, response);
}

} // namespace httpserver
