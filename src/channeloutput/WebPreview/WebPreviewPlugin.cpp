// Plug-in entry point of the web preview output.
#include "host/output/Plugin.h"
#include "WebPreviewOutput.h"

class WebPreviewPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    WebPreviewPlugin() : TavoPlugins::Plugin("WebPreview") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new WebPreviewOutput(startChannel, channelCount);
    }
};

extern "C" {
TavoPlugins::Plugin* createPlugin() {
    return new WebPreviewPlugin();
}
}
