// Base class of every output: a slice (start channel, channel count) of the channel
// buffer that the output turns into device traffic once per frame.
#pragma once

#include <functional>
#include <string>

#include <json/json.h>

class ChannelOutput {
public:
    // `startChannel` is 0-based; the host converts the 1-based numbers users write.
    ChannelOutput(unsigned int startChannel, unsigned int channelCount);
    virtual ~ChannelOutput();

    virtual std::string GetOutputType() const;
    // Nonzero on success. Overrides end by calling this one and returning its result.
    virtual int Init(Json::Value config);
    virtual int Close();
    // The whole channel buffer, channel 0 at index 0.
    virtual void PrepData(unsigned char* channelData);
    // The buffer from this output's first channel; returns the channels handled.
    virtual int SendData(unsigned char* channelData) = 0;
    // Calls add(first, last), both inclusive, for each channel range the output reads.
    virtual void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange);
    virtual void StartingOutput();
    virtual void StoppingOutput();
    virtual void OverlayTestData(unsigned char* channelData, int cycleCount, float percentOfCycle,
                                 int testType, const Json::Value& config);
    virtual bool SupportsTesting() const;
    virtual void DumpConfig();
    virtual void ConvertToCSV(Json::Value config, char* csv);
    // Adds what /api/status shows of this output beyond its type and channels: a
    // preview's size, port and page ("previewPage", a path on the daemon's HTTP
    // server), a link's state. Runs on the HTTP server's threads while frames are
    // sent: read only what is safe to read from another thread.
    virtual void GetStatus(Json::Value& status);
    // Checks the configuration the way Init reads it, without opening any device:
    // problems that make Init refuse are logged as errors (false), unknown keys as
    // warnings. Init calls it first; tavod --check-config calls it alone.
    virtual bool CheckConfig(const Json::Value& config);

    unsigned int GetStartChannel() const { return m_startChannel; }
    unsigned int GetChannelCount() const { return m_channelCount; }

protected:
    unsigned int m_startChannel;
    unsigned int m_channelCount;
};
