// The DotMatrix plug-in: tavod's entry point into this library.
#include "DotMatrixOutput.h"
#include "host/output/Plugin.h"

namespace {

class DotMatrixPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    DotMatrixPlugin() : TavoPlugins::Plugin("DotMatrix") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new DotMatrixOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new DotMatrixPlugin();
}
