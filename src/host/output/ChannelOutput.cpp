// Default behaviour of outputs.
#include "host/output/ChannelOutput.h"

#include "host/core/Log.h"

#include <cstdio>
#include <cxxabi.h>
#include <cstdlib>
#include <typeinfo>

ChannelOutput::ChannelOutput(unsigned int startChannel, unsigned int channelCount)
    : m_startChannel(startChannel), m_channelCount(channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "ChannelOutput::ChannelOutput(%u, %u)\n", startChannel, channelCount);
}

ChannelOutput::~ChannelOutput() {
    LogDebug(LOGCH_CHANNELOUT, "ChannelOutput::~ChannelOutput()\n");
}

std::string ChannelOutput::GetOutputType() const {
    // The class's own name: outputs that have a name for users override this.
    int status = 0;
    const char* mangled = typeid(*this).name();
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string r = (status == 0 && demangled) ? demangled : mangled;
    free(demangled);
    return r;
}

int ChannelOutput::Init(Json::Value) {
    LogDebug(LOGCH_CHANNELOUT, "ChannelOutput::Init(JSON)\n");
    return 1;
}

int ChannelOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "ChannelOutput::Close()\n");
    return 1;
}

void ChannelOutput::PrepData(unsigned char*) {}

void ChannelOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    if (m_channelCount) {
        addRange((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
    }
}

void ChannelOutput::StartingOutput() {}
void ChannelOutput::StoppingOutput() {}
void ChannelOutput::OverlayTestData(unsigned char*, int, float, int, const Json::Value&) {}

bool ChannelOutput::SupportsTesting() const {
    return false;
}

void ChannelOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "ChannelOutput::DumpConfig()\n");
    LogDebug(LOGCH_CHANNELOUT, "    Output Type      : %s\n", GetOutputType().c_str());
    LogDebug(LOGCH_CHANNELOUT, "    Start Channel    : %u\n", m_startChannel + 1);
    LogDebug(LOGCH_CHANNELOUT, "    Channel Count    : %u\n", m_channelCount);
}

void ChannelOutput::GetStatus(Json::Value&) {}

bool ChannelOutput::CheckConfig(const Json::Value&) {
    return true;
}

void ChannelOutput::ConvertToCSV(Json::Value config, char* csv) {
    if (!csv) {
        return;
    }
    // "type,start,count" is enough for the status pages that ask for it.
    snprintf(csv, 256, "%s,%u,%u", config.isObject() ? config.get("type", "").asString().c_str() : "",
             m_startChannel + 1, m_channelCount);
}
