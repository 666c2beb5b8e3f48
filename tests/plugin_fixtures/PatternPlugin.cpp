// An output that draws its own test pattern and sends nothing: each of its channels
// gets [testType, cycle, percent of the cycle, 0xA5] over and over, where another
// output (CustomUDP) can carry it out to a test.
#include "host/output/ChannelOutput.h"
#include "host/output/Plugin.h"

#include <json/json.h>

namespace {

class PatternOutput : public ChannelOutput {
public:
    using ChannelOutput::ChannelOutput;
    int SendData(unsigned char*) override { return (int)m_channelCount; }
    bool SupportsTesting() const override { return true; }
    void OverlayTestData(unsigned char* channelData, int cycleCount, float percentOfCycle, int testType,
                         const Json::Value&) override {
        const unsigned char marks[4] = {(unsigned char)testType, (unsigned char)cycleCount,
                                        (unsigned char)(percentOfCycle * 100), 0xA5};
        for (unsigned int i = 0; i < m_channelCount; i++) {
            channelData[m_startChannel + i] = marks[i % 4];
        }
    }
};

class PatternPlugin : public TavoPlugins::Plugin, public TavoPlugins::ChannelOutputPlugin {
public:
    PatternPlugin() : TavoPlugins::Plugin("Pattern") {}
    ChannelOutput* createChannelOutput(unsigned int start, unsigned int count) override {
        return new PatternOutput(start, count);
    }
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new PatternPlugin();
}
