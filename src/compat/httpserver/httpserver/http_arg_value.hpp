// One request argument: every value it was given, the first one being its plain value.
#pragma once

#if !defined(_HTTPSERVER_HPP_INSIDE_)
#error "Only <httpserver.hpp> can be included directly."
#endif

#include <string>
#include <vector>

namespace httpserver {

class http_arg_value {
public:
    std::string get_flat_value() const { return values.empty() ? std::string() : values[0]; }
    std::vector<std::string> get_all_values() const { return values; }
    operator std::string() const { return get_flat_value(); }
    bool operator==(const std::string& other) const { return get_flat_value() == other; }
    bool operator!=(const std::string& other) const { return get_flat_value() != other; }

    std::vector<std::string> values;
};

} // namespace httpserver
