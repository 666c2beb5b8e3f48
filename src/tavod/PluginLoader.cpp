// Plug-in loading with dlopen; a bad library is named, explained and skipped.
#include "PluginLoader.h"

#include "host/core/Common.h"
#include "host/core/Log.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include <dlfcn.h>

PluginLoader::~PluginLoader() {
    UnloadAll();
}

void PluginLoader::fail(const std::string& message) {
    LogErr(LOGCH_CHANNELOUT, "%s\n", message.c_str());
    m_errors.push_back(message);
}

int PluginLoader::LoadPluginDir(const std::string& dir) {
    std::vector<std::string> names;
    if (int err = ListFolder(dir, names)) {
        fail("Could not read the plug-in folder " + dir + ": " + strerror(err));
        if (names.empty()) {
            return 0;
        }
    }
    std::vector<std::string> files;
    for (const std::string& name : names) {
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) {
            files.push_back(name);
        }
    }
    std::sort(files.begin(), files.end());

    int loaded = 0;
    for (const std::string& f : files) {
        if (LoadPlugin(dir + "/" + f)) {
            loaded++;
        }
    }
    LogInfo(LOGCH_CHANNELOUT, "Loaded %d of %zu plug-ins from %s\n", loaded, files.size(), dir.c_str());
    return loaded;
}

bool PluginLoader::LoadPlugin(const std::string& path) {
    // RTLD_NOW: a library with unresolved symbols fails here, with a reason,
    // rather than when a frame first reaches the missing function.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = dlerror();
        fail("Could not load plug-in " + path + ": " + (err ? err : "unknown error"));
        return false;
    }
    dlerror();
    void* sym = dlsym(handle, "createPlugin");
    if (!sym) {
        const char* err = dlerror();
        fail("Plug-in " + path + " has no createPlugin entry point (" + (err ? err : "symbol is null") +
             "); skipped");
        dlclose(handle);
        return false;
    }
    TavoCreatePluginFn create = reinterpret_cast<TavoCreatePluginFn>(sym);
    TavoPlugins::Plugin* plugin = nullptr;
    try {
        plugin = create();
    } catch (const std::exception& e) {
        fail("Plug-in " + path + ": createPlugin failed: " + e.what() + "; skipped");
        dlclose(handle);
        return false;
    } catch (...) {
        fail("Plug-in " + path + ": createPlugin failed; skipped");
        dlclose(handle);
        return false;
    }
    if (!plugin) {
        fail("Plug-in " + path + ": createPlugin returned no plug-in; skipped");
        dlclose(handle);
        return false;
    }
    const std::string name = plugin->getName();
    std::string problem;
    if (name.empty()) {
        problem = "its plug-in has no name";
    } else if (m_plugins.count(name)) {
        problem = "the name \"" + name + "\" is already taken by " + m_plugins[name].path;
    }
    if (!problem.empty()) {
        fail("Plug-in " + path + ": " + problem + "; skipped");
        delete plugin;
        dlclose(handle);
        return false;
    }
    Loaded l;
    l.path = path;
    l.handle = handle;
    l.plugin = plugin;
    l.outputs = dynamic_cast<TavoPlugins::ChannelOutputPlugin*>(plugin);
    m_plugins[name] = l;
    LogInfo(LOGCH_CHANNELOUT, "Loaded plug-in \"%s\" from %s%s\n", name.c_str(), path.c_str(),
            l.outputs ? "" : " (not an output plug-in)");
    return true;
}

TavoPlugins::Plugin* PluginLoader::GetPlugin(const std::string& name) const {
    auto it = m_plugins.find(name);
    return it == m_plugins.end() ? nullptr : it->second.plugin;
}

TavoPlugins::ChannelOutputPlugin* PluginLoader::GetChannelOutputPlugin(const std::string& name) const {
    auto it = m_plugins.find(name);
    return it == m_plugins.end() ? nullptr : it->second.outputs;
}

std::vector<std::string> PluginLoader::GetChannelOutputTypes() const {
    std::vector<std::string> r;
    for (const auto& p : m_plugins) {
        if (p.second.outputs) {
            r.push_back(p.first);
        }
    }
    return r; // the map keeps them sorted
}

void PluginLoader::UnloadAll() {
    for (auto& p : m_plugins) {
        delete p.second.plugin;
        dlclose(p.second.handle);
    }
    m_plugins.clear();
}
