// A resource: the object registered for a path that renders the responses. Every
// method is allowed and renders through render() unless a subclass overrides it;
// render() itself answers an empty 200.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <map>
#include <memory>
#include <string>

#include "httpserver/http_request.hpp"
#include "httpserver/http_response.hpp"

namespace httpserver {

class http_resource {
public:
    virtual ~http_resource() = default;

    virtual std::shared_ptr<http_response> render(const http_request& req);
    virtual std::shared_ptr<http_response> render_GET(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_POST(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_PUT(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_HEAD(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_DELETE(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_TRACE(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_OPTIONS(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_PATCH(const http_request& req) { return render(req); }
    virtual std::shared_ptr<http_response> render_CONNECT(const http_request& req) { return render(req); }

    // A method that is not allowed gets 405 with an Allow header listing the allowed ones.
    void set_allowing(const std::string& method, bool allowed) { method_state[method] = allowed; }
    void allow_all();
    void disallow_all();
    bool is_allowed(const std::string& method);
    const std::map<std::string, bool>& get_allowed_methods() const { return method_state; }

protected:
    http_resource();

private:
    std::map<std::string, bool> method_state;
};

} // namespace httpserver
