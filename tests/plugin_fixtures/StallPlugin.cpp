// An output that hangs in SendData while the file its "stallFile" key names exists:
// a stuck output thread, for the service watchdog's tests.
#include "host/output/ChannelOutput.h"
#include "host/output/Plugin.h"

#include <json/json.h>

#include <string>

#include <time.h>
#include <unistd.h>

namespace {

class StallOutput : public ChannelOutput {
public:
    using ChannelOutput::ChannelOutput;
    int Init(Json::Value config) override {
        m_file = config["stallFile"].isString() ? config["stallFile"].asString() : "";
        return ChannelOutput::Init(config);
    }
    int SendData(unsigned char*) override {
        while (!m_file.empty() && access(m_file.c_str(), F_OK) == 0) {
            struct timespec ts = {0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
        return (int)m_channelCount;
    }

private:
    std::string m_file;
};

class StallPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    StallPlugin() : TavoPlugins::Plugin("Stall") {}
    ChannelOutput* createChannelOutput(unsigned int start, unsigned int count) override {
        return new StallOutput(start, count);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new StallPlugin();
}
