// The HubPanel plug-in: tavod's entry point into this library.
#include "host/output/Plugin.h"
#include "HubPanelOutput.h"

namespace {

class HubPanelPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    HubPanelPlugin() : TavoPlugins::Plugin("HubPanel") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new HubPanelOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new HubPanelPlugin();
}
