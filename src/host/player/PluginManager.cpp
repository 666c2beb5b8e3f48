// Plug-in hooks of the playback path.
#include "host/player/PluginManager.h"

#include <algorithm>

PluginManager PluginManager::INSTANCE;

void PluginManager::addPlugin(TavoPlugins::Plugin* plugin) {
    if (!plugin) {
        return;
    }
    std::lock_guard<std::mutex> l(m_lock);
    if (std::find(m_plugins.begin(), m_plugins.end(), plugin) != m_plugins.end()) {
        return;
    }
    m_plugins.push_back(plugin);
    if (auto* d = dynamic_cast<TavoPlugins::ChannelDataPlugin*>(plugin)) {
        m_dataPlugins.push_back(d);
    }
}

void PluginManager::removePlugin(TavoPlugins::Plugin* plugin) {
    std::lock_guard<std::mutex> l(m_lock);
    m_plugins.erase(std::remove(m_plugins.begin(), m_plugins.end(), plugin), m_plugins.end());
    if (auto* d = dynamic_cast<TavoPlugins::ChannelDataPlugin*>(plugin)) {
        m_dataPlugins.erase(std::remove(m_dataPlugins.begin(), m_dataPlugins.end(), d), m_dataPlugins.end());
    }
}

void PluginManager::removeAllPlugins() {
    std::lock_guard<std::mutex> l(m_lock);
    m_plugins.clear();
    m_dataPlugins.clear();
}

std::vector<TavoPlugins::Plugin*> PluginManager::getPlugins() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_plugins;
}

void PluginManager::modifySequenceData(int ms, unsigned char* seqData) {
    std::lock_guard<std::mutex> l(m_lock);
    for (auto* p : m_dataPlugins) {
        p->modifySequenceData(ms, seqData);
    }
}

void PluginManager::modifyChannelData(int ms, unsigned char* seqData) {
    std::lock_guard<std::mutex> l(m_lock);
    for (auto* p : m_dataPlugins) {
        p->modifyChannelData(ms, seqData);
    }
}

void PluginManager::multiSyncData(const unsigned char* data, int len) {
    std::lock_guard<std::mutex> l(m_lock);
    for (auto* p : m_plugins) {
        p->multiSyncData(data, len);
    }
}
