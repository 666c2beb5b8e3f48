// Test helper: a JSON text (an HTTP body, a log line, a file) read into a value;
// text that is not JSON fails the calling test with the parser's message.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>
#include <string>

inline Json::Value parseJson(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) {
        ADD_FAILURE() << "not JSON: " << errs << "\n" << text;
    }
    return v;
}
