// Plug-ins that take part in playback: each frame they may change the sequence
// data (before effects and overlays) and the final channel data (after them).
#pragma once

#include <mutex>
#include <vector>

#include "host/output/Plugin.h"

namespace TavoPlugins {

// A plug-in that wants the per-frame hooks derives from this too.
class ChannelDataPlugin {
public:
    virtual ~ChannelDataPlugin() {}
    virtual void modifySequenceData(int ms, unsigned char* seqData) { (void)ms, (void)seqData; }
    virtual void modifyChannelData(int ms, unsigned char* seqData) { (void)ms, (void)seqData; }
};

} // namespace TavoPlugins

// Plug-ins are borrowed: the daemon owns them and removes them before deleting.
class PluginManager {
public:
    static PluginManager INSTANCE;

    void addPlugin(TavoPlugins::Plugin* plugin);
    void removePlugin(TavoPlugins::Plugin* plugin);
    void removeAllPlugins();
    std::vector<TavoPlugins::Plugin*> getPlugins();

    void modifySequenceData(int ms, unsigned char* seqData);
    void modifyChannelData(int ms, unsigned char* seqData);
    void multiSyncData(const unsigned char* data, int len);

private:
    std::mutex m_lock; // guards both lists; hooks run with it held, so a hook must not add or remove plug-ins
    std::vector<TavoPlugins::Plugin*> m_plugins;
    std::vector<TavoPlugins::ChannelDataPlugin*> m_dataPlugins;
};
