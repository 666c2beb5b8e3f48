// The "E131" plug-in: tavod's entry point into this library.
#include "E131Output.h"
#include "host/output/Plugin.h"

namespace {

class E131Plugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    E131Plugin() : TavoPlugins::Plugin("E131") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new E131Output(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new E131Plugin();
}
