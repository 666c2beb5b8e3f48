// The CustomUDP plug-in: tavod's entry point into this library.
#include "CustomUDPOutput.h"
#include "host/output/Plugin.h"

namespace {

class CustomUDPPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    CustomUDPPlugin() : TavoPlugins::Plugin("CustomUDP") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new CustomUDPOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new CustomUDPPlugin();
}
