// The HTTP server: listens on a port, finds the resource registered for each
// request's path and sends what it renders. Requests are served on libmicrohttpd's
// threads, so resources must be safe to call from them.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "httpserver/create_webserver.hpp"
#include "httpserver/http_resource.hpp"

struct MHD_Daemon;
struct MHD_Connection;

namespace httpserver {

class webserver {
public:
    explicit webserver(const create_webserver& params);
    ~webserver();
    webserver(const webserver&) = delete;
    webserver& operator=(const webserver&) = delete;

    // Starts listening. With `blocking`, waits until stop() is called from another
    // thread. False (and a log line) when the port cannot be opened.
    bool start(bool blocking = false);
    // Stops listening and waits for the requests in progress; true when it was running.
    bool stop();
    bool is_running();

    // Registers `res` (borrowed: it must outlive its registration) for `resource`.
    // A family resource also serves every path below its own: "/gpio" with family
    // gets "/gpio/extra". An exact registration wins over a family one, and the
    // family with the longest path wins among families. False when the path is
    // already registered.
    bool register_resource(const std::string& resource, http_resource* res, bool family = false);
    void unregister_resource(const std::string& resource);

    // Runs one request through the resources as the server would, without a socket.
    std::shared_ptr<http_response> dispatch(const http_request& req);

    // The libmicrohttpd entry points; public only so that the C callbacks can reach them.
    int answer(struct MHD_Connection* connection, const char* url, const char* method, const char* version,
               const char* upload_data, size_t* upload_data_size, void** con_cls);
    void connection_opened(struct MHD_Connection* connection);
    void connection_closed(struct MHD_Connection* connection);
    void request_done(struct MHD_Connection* connection);

    // Connections disconnected so far for sending their request too slowly.
    uint64_t get_slow_requests_cut();

private:
    struct Registration {
        http_resource* resource;
        bool family;
    };
    http_resource* findResource(const std::string& path);

    // A connection of the request time limit: its socket, and until when it may
    // take to send a whole request; `busy` while a resource answers one.
    struct Watch {
        int fd = -1;
        int64_t deadlineUs = 0;
        bool busy = false;
        bool cut = false;
    };
    void watchSlowRequests();
    void setBusy(struct MHD_Connection* connection, bool busy);

    create_webserver params;
    struct MHD_Daemon* daemon = nullptr;
    // The watch: libmicrohttpd tells a connection's end before it closes the socket,
    // and waits for watchLock meanwhile, so a socket found here is still that connection's.
    std::mutex watchLock; // guards watched, watchStop, slowCut
    std::condition_variable watchWake;
    std::map<struct MHD_Connection*, Watch> watched;
    bool watchStop = false;
    uint64_t slowCut = 0;
    std::thread watchThread;
    std::mutex lock; // guards registrations and daemon
    std::map<std::string, Registration> registrations;
    std::condition_variable stopped; // wakes a blocking start() when stop() is called
    bool running = false;            // guarded by lock
};

} // namespace httpserver
