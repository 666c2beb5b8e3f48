// User-visible warnings, identified by their text, some removed after a time-out.
#pragma once

#include <string>
#include <vector>

class WarningHolder {
public:
    static void AddWarning(const std::string& text);
    static void AddWarningTimeout(const std::string& text, int seconds);
    static void RemoveWarning(const std::string& text);
    static std::vector<std::string> GetWarnings();
    static void ClearWarnings();
};
