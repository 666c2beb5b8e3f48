// Umbrella header of the HTTP resource layer: the same header name and classes as the
// C++ library it stands in for, over libmicrohttpd, so code builds against either.
#pragma once

#define _HTTPSERVER_HPP_INSIDE_
// create_webserver has request_timeout and header_size_limit.
#define TAVO_HTTPSERVER_REQUEST_LIMITS 1

#include "httpserver/http_utils.hpp"
#include "httpserver/http_arg_value.hpp"
#include "httpserver/http_request.hpp"
#include "httpserver/http_response.hpp"
#include "httpserver/string_response.hpp"
#include "httpserver/file_response.hpp"
#include "httpserver/http_resource.hpp"
#include "httpserver/create_webserver.hpp"
#include "httpserver/webserver.hpp"

#undef _HTTPSERVER_HPP_INSIDE_
