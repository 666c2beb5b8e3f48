// Plug-in entry point of the framebuffer preview output.
#include "ScreenPreviewOutput.h"
#include "host/output/Plugin.h"

class ScreenPreviewPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    ScreenPreviewPlugin() : TavoPlugins::Plugin("ScreenPreview") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new ScreenPreviewOutput(startChannel, channelCount);
    }
};

extern "C" {
TavoPlugins::Plugin* createPlugin() {
    return new ScreenPreviewPlugin();
}
}
