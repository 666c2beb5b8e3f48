// The TftPanel plug-in: tavod's entry point into this library.
#include "TftPanelOutput.h"
#include "host/output/Plugin.h"

namespace {

class TftPanelPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    TftPanelPlugin() : TavoPlugins::Plugin("TftPanel") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new TftPanelOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new TftPanelPlugin();
}
