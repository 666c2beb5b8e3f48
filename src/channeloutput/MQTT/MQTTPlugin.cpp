// The MQTT plug-in: tavod's entry point into this library.
#include "BrokerOutput.h"
#include "host/output/Plugin.h"

namespace {

class MQTTPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    MQTTPlugin() : TavoPlugins::Plugin("MQTT") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override {
        return new BrokerOutput(startChannel, channelCount);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new MQTTPlugin();
}
