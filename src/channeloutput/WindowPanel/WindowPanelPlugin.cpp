// The WindowPanel plug-in: tavod's entry point into this library.
#include "host/output/Plugin.h"
#include "WindowPanelOutput.h"

namespace {

class WindowPanelPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    WindowPanelPlugin() : TavoPlugins::Plugin("WindowPanel") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new WindowPanelOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new WindowPanelPlugin();
}
