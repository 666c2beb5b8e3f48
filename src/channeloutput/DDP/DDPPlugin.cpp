// The "DDP" plug-in: tavod's entry point into this library.
#include "DDPOutput.h"
#include "host/output/Plugin.h"

namespace {

class DDPPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    DDPPlugin() : TavoPlugins::Plugin("DDP") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new DDPOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new DDPPlugin();
}
