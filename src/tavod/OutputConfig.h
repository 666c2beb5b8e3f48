// The output configuration, channeloutputs.json: which outputs to create, of which
// plug-in type, over which channels. Checked fully before any output sees it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

class ChannelOutput;
class PluginLoader;

struct ConfiguredOutput {
    int index = 0;                 // position in "channelOutputs"
    std::string type;              // the plug-in name
    unsigned int startChannel = 0; // 0-based, as outputs are constructed with
    unsigned int channelCount = 0;
    Json::Value config; // the output's object as written, for its Init
};

class OutputConfig {
public:
    // Reads `path`. A missing file means no outputs. False when the file exists but
    // cannot be used at all; a bad output is only left out. Every problem is logged,
    // added to the user warnings and kept in GetErrors().
    bool Load(const std::string& path, const std::vector<std::string>& availableTypes);
    // The same for text already read; `fileName` names it in messages.
    bool Parse(const std::string& text, const std::string& fileName,
               const std::vector<std::string>& availableTypes);

    // The enabled outputs that passed every check, in file order.
    const std::vector<ConfiguredOutput>& GetOutputs() const { return m_outputs; }
    const std::vector<std::string>& GetErrors() const { return m_errors; }
    // Mistakes that leave the file usable (a key it does not know), each logged.
    const std::vector<std::string>& GetWarnings() const { return m_warnings; }

private:
    void error(const std::string& message);
    bool checkOutput(const Json::Value& entry, int index, const std::string& fileName,
                     const std::vector<std::string>& availableTypes);

    std::vector<ConfiguredOutput> m_outputs;
    std::vector<std::string> m_errors;
    std::vector<std::string> m_warnings;
};

// Creates one configured output with its plug-in and calls its Init with its JSON
// object. Null, with `failure` saying why, when it cannot be used; nothing it
// throws gets out. The caller owns the output and must delete it before the
// loader unloads the plug-ins.
std::unique_ptr<ChannelOutput> CreateOutput(const ConfiguredOutput& output, const PluginLoader& loader,
                                            std::string& failure);

// Creates each configured output with its plug-in and calls its Init with its JSON
// object; an output whose Init fails is logged and deleted. The caller owns the
// outputs and must delete them before the loader unloads the plug-ins.
std::vector<std::unique_ptr<ChannelOutput>> CreateConfiguredOutputs(const OutputConfig& config,
                                                                    const PluginLoader& loader);
