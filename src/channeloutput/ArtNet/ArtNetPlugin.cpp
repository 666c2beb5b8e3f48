// The "ArtNet" plug-in: tavod's entry point into this library.
#include "ArtNetOutput.h"
#include "host/output/Plugin.h"

namespace {

class ArtNetPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    ArtNetPlugin() : TavoPlugins::Plugin("ArtNet") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new ArtNetOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new ArtNetPlugin();
}
