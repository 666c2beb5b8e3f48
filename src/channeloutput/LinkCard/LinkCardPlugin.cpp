// The LinkCard plug-in: tavod's entry point into this library.
#include "host/output/Plugin.h"
#include "LinkCardOutput.h"

namespace {

class LinkCardPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    LinkCardPlugin() : TavoPlugins::Plugin("LinkCard") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new LinkCardOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new LinkCardPlugin();
}
