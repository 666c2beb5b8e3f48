// The plug-in interface: every output library exports `createPlugin`, which returns
// an object deriving from both classes below. The host owns and deletes it.
#pragma once

#include <string>

class ChannelOutput;

namespace TavoPlugins {

class Plugin {
public:
    explicit Plugin(const std::string& name) : m_name(name) {}
    virtual ~Plugin() {}
    virtual void multiSyncData(const unsigned char*, int) {}

    const std::string& getName() const { return m_name; }

protected:
    std::string m_name;
};

class ChannelOutputPlugin {
public:
    virtual ~ChannelOutputPlugin() {}
    // A new output for (0-based start channel, channel count); the caller owns it.
    virtual ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) = 0;
};

} // namespace TavoPlugins

// Signature of the exported entry point, for the loader's dlsym.
extern "C" {
typedef TavoPlugins::Plugin* (*TavoCreatePluginFn)();
}
