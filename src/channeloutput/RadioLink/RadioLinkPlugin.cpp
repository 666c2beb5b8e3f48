// The RadioLink plug-in: tavod's entry point into this library.
#include "RadioLinkOutput.h"
#include "host/output/Plugin.h"

namespace {

class RadioLinkPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    RadioLinkPlugin() : TavoPlugins::Plugin("RadioLink") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new RadioLinkOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new RadioLinkPlugin();
}
