// The "CustomUDP" output plug-in.
#include "CustomUDPOutput.h"

#include "host/core/ConfigKeys.h"
#include "host/core/Log.h"
#include "UDPTemplate.h"
#include "host/core/Warnings.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include <limits.h>

namespace {

// The largest payload an IPv4 UDP datagram can carry.
constexpr size_t MAX_UDP_PAYLOAD = 65507;

} // namespace

CustomUDPOutputData::CustomUDPOutputData(const Json::Value& config) : UDPOutputData(config) {
    memset(&destination, 0, sizeof(destination));
    bool configOk = config.isObject() && ReadKeys(config, ipAddress, tokens, port);
    destination.sin_family = AF_INET;
    destination.sin_port = htons((uint16_t)port);
    // A host name is looked up by the engine once the object is handed to it: a name
    // server that does not answer must hold neither the start nor a frame.
    valid = parseInetAddr(ipAddress, destination.sin_addr.s_addr);
    if (!valid && !NeedsLookup()) {
        WarningHolder::AddWarning(UnresolvedWarning());
        unresolved = true;
        active = false;
    }

    const unsigned char* octets = reinterpret_cast<const unsigned char*>(&destination.sin_addr.s_addr);
    printf("ip: %s    %X\n", ipAddress.c_str(), (unsigned int)destination.sin_addr.s_addr);
    printf("fp: %d\n", octets[3]);
    printf("fp2: %d\n", octets[0]);
    isBroadcast = octets[3] == 255;

    UDPTemplate t = CompileUDPTemplate(tokens, channelCount > 0 ? (uint32_t)channelCount : 0);
    buffers = std::move(t.buffers);
    dataSegments = std::move(t.dataSegments);
    segments.resize(buffers.size());
    for (size_t i = 0; i < buffers.size(); i++) {
        segments[i].iov_base = buffers[i].data();
        segments[i].iov_len = buffers[i].size();
    }
    size_t total = 0;
    for (uint32_t idx : dataSegments) {
        segments[idx].iov_len = channelCount > 0 ? (size_t)channelCount : 0;
    }
    for (const struct iovec& v : segments) {
        total += v.iov_len;
    }

    if (segments.size() > IOV_MAX) {
        LogErr(LOGCH_CHANNELOUT,
               "CustomUDP output to %s: the template has %zu pieces, more than the %d a "
               "datagram may have; output disabled\n",
               ipAddress.c_str(), segments.size(), IOV_MAX);
        configOk = false;
    }
    if (total > MAX_UDP_PAYLOAD) {
        LogErr(LOGCH_CHANNELOUT,
               "CustomUDP output to %s: the datagram would be %zu bytes, more than the %zu "
               "a UDP datagram can carry; use fewer channels; output disabled\n",
               ipAddress.c_str(), total, MAX_UDP_PAYLOAD);
        configOk = false;
    }
    if (!configOk) {
        usable = false;
        active = false;
    }
}

CustomUDPOutputData::~CustomUDPOutputData() {}

bool CustomUDPOutputData::ReadKeys(const Json::Value& config, const std::string& address, std::string& tokens,
                                   int& port) {
    if (config.isMember("tokens")) {
        if (!config["tokens"].isString()) {
            LogErr(LOGCH_CHANNELOUT,
                   "CustomUDP output to %s: \"tokens\" must be a text such as \"#41 {data}\"; "
                   "output disabled\n",
                   address.c_str());
            return false;
        }
        tokens = config["tokens"].asString();
    }
    if (config.isMember("port")) {
        if (!config["port"].isInt()) {
            LogErr(LOGCH_CHANNELOUT,
                   "CustomUDP output to %s: \"port\" must be a number from 1 to 65535; "
                   "output disabled\n",
                   address.c_str());
            return false;
        }
        port = config["port"].asInt();
    }
    if (port < 1 || port > 65535) {
        // htons would silently send to another port, and port 0 cannot be sent to.
        LogErr(LOGCH_CHANNELOUT,
               "CustomUDP output to %s: \"port\" %d is not a UDP port (1 to 65535); "
               "output disabled\n",
               address.c_str(), port);
        return false;
    }
    return true;
}

void CustomUDPOutputData::AddressResolved(in_addr_t addr) {
    destination.sin_addr.s_addr = addr;
    isBroadcast = reinterpret_cast<const unsigned char*>(&addr)[3] == 255;
    UDPOutputData::AddressResolved(addr);
}

bool CustomUDPOutputData::IsPingable() {
    return !isBroadcast;
}

void CustomUDPOutputData::PrepareData(unsigned char* channelData, UDPOutputMessages& msgs) {
    if (!valid || !active) {
        skippedFrames++;
        return;
    }
    if (!NeedToOutputFrame(channelData, startChannel - 1, 0, channelCount)) {
        skippedFrames++;
        return;
    }
    struct mmsghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_hdr.msg_name = &destination;
    msg.msg_hdr.msg_namelen = sizeof(destination);
    msg.msg_hdr.msg_iov = segments.data();
    msg.msg_hdr.msg_iovlen = segments.size();
    unsigned int len = 0;
    for (const struct iovec& v : segments) {
        len += (unsigned int)v.iov_len;
    }
    msg.msg_len = len;

    unsigned char* first = channelData + startChannel - 1;
    for (uint32_t idx : dataSegments) {
        segments[idx].iov_base = first;
    }
    uint32_t key = isBroadcast ? UDPOutputMessages::BROADCAST_KEY : destination.sin_addr.s_addr;
    msgs.GetMessages(key).push_back(msg);

    SaveFrame(first, channelCount);
    skippedFrames = 0;
}

void CustomUDPOutputData::DumpConfig() {}

std::string CustomUDPOutputData::GetOutputTypeString() const {
    return "CustomUDP";
}

// ---------------------------------------------------------------- CustomUDPOutput

CustomUDPOutput::CustomUDPOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "CustomUDPOutput::CustomUDPOutput(%u, %u)\n", startChannel, channelCount);
}

CustomUDPOutput::~CustomUDPOutput() {
    LogDebug(LOGCH_CHANNELOUT, "CustomUDPOutput::~CustomUDPOutput()\n");
}

int CustomUDPOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "CustomUDPOutput::Init(JSON)\n");
    if (!CheckConfig(config)) {
        return 0;
    }
    // An output that could never send fails here, so that it is listed as failed
    // with a warning instead of looking as if it worked.
    if (!UDPOutput::INSTANCE) {
        LogErr(LOGCH_CHANNELOUT, "CustomUDPOutput Requires the UDP outputs to be enabled\n");
        return 0;
    }
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "CustomUDPOutput: the configuration is not a JSON object\n");
        return 0;
    }
    Json::Value dataConfig = config;
    dataConfig.removeMember("type");
    std::unique_ptr<CustomUDPOutputData> data(new CustomUDPOutputData(dataConfig));
    if (!data->usable) {
        return 0; // the reason is logged
    }
    UDPOutput::INSTANCE->addOutput(data.release());
    return ChannelOutput::Init(config);
}

bool CustomUDPOutput::CheckConfig(const Json::Value& config) {
    static const std::vector<ConfigKey> keys = {
        {"address", ConfigKey::ANY},
        {"port", ConfigKey::ANY},
        {"tokens", ConfigKey::ANY},
    };
    if (!CheckConfigKeys(config, keys, "CustomUDP")) {
        return false;
    }
    const Json::Value& address = config["address"];
    std::string addressText = address.isString() ? address.asString() : "";
    std::string tokens;
    int port = 0;
    if (!CustomUDPOutputData::ReadKeys(config, addressText, tokens, port)) {
        return false;
    }
    if (addressText.empty()) {
        LogWarn(LOGCH_CHANNELOUT, "CustomUDP: \"address\" is missing: nothing can be sent\n");
    }
    if (tokens.empty()) {
        LogWarn(LOGCH_CHANNELOUT, "CustomUDP: \"tokens\" is empty: every datagram would be empty\n");
    }
    return true;
}

int CustomUDPOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "CustomUDPOutput::Close()\n");
    return ChannelOutput::Close();
}

int CustomUDPOutput::SendData(unsigned char*) {
    return (int)m_channelCount;
}

void CustomUDPOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    if (m_channelCount) {
        addRange((int)m_startChannel, (int)(m_startChannel + m_channelCount - 1));
    }
}
