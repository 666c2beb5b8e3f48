// The PortExpander plug-in: tavod's entry point into this library.
#include "PortExpanderOutput.h"
#include "host/output/Plugin.h"

namespace {

class PortExpanderPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    PortExpanderPlugin() : TavoPlugins::Plugin("PortExpander") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new PortExpanderOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new PortExpanderPlugin();
}
