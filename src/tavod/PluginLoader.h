// Loads output plug-ins: every library in the plug-in folder that exports
// createPlugin becomes an output type, known by its plug-in's name.
#pragma once

#include "host/output/Plugin.h"

#include <map>
#include <string>
#include <vector>

// Owns the plug-in objects and the library handles. Outputs created through a
// plug-in, and data objects they handed to the host (the UDP engine's), run code
// of its library: destroy them before the loader.
class PluginLoader {
public:
    PluginLoader() = default;
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Loads every "*.so" of `dir`, in name order; returns how many loaded.
    // A library that cannot load is logged with its file and the reason, and skipped.
    int LoadPluginDir(const std::string& dir);
    // Loads one library; false when it cannot be used (the reason is logged and kept).
    bool LoadPlugin(const std::string& path);

    // Borrowed pointers; null for an unknown name.
    TavoPlugins::Plugin* GetPlugin(const std::string& name) const;
    TavoPlugins::ChannelOutputPlugin* GetChannelOutputPlugin(const std::string& name) const;
    // Names of the loaded output plug-ins, sorted: the "type" values outputs may use.
    std::vector<std::string> GetChannelOutputTypes() const;
    // One line per library that could not be loaded, as logged.
    const std::vector<std::string>& GetErrors() const { return m_errors; }

    // Deletes every plug-in object, then closes its library.
    void UnloadAll();

private:
    struct Loaded {
        std::string path;
        void* handle = nullptr;
        TavoPlugins::Plugin* plugin = nullptr;               // owned
        TavoPlugins::ChannelOutputPlugin* outputs = nullptr; // the same object, or null
    };

    void fail(const std::string& message);

    std::map<std::string, Loaded> m_plugins; // by plug-in name
    std::vector<std::string> m_errors;
};
