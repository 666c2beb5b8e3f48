// Commands: named actions with described arguments, run from JSON objects (GPIO
// inputs, presets, the HTTP API), and command presets: named lists of commands in
// config/commandPresets.json, run with %KEYWORD% substitution.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class Command {
public:
    class CommandArg {
    public:
        CommandArg(const std::string& name, const std::string& type, const std::string& description)
            : name(name), type(type), description(description) {}
        CommandArg& setContentListUrl(const std::string& url) {
            contentListUrl = url;
            return *this;
        }
        CommandArg& setContentList(const std::vector<std::string>& values) {
            contentList = values;
            return *this;
        }
        CommandArg& setOptional(bool o = true) {
            optional = o;
            return *this;
        }
        CommandArg& setDefaultValue(const std::string& v) {
            defaultValue = v;
            return *this;
        }

        std::string name;
        std::string type;
        std::string description;
        bool optional = false;
        std::string defaultValue;
        std::string contentListUrl;           // where a user interface fetches the allowed values
        std::vector<std::string> contentList; // the allowed values, when fixed
    };

    // The outcome of a run: a text with its content type, and whether it failed.
    class Result {
    public:
        Result(const std::string& text = "", const std::string& contentType = "text/plain")
            : m_text(text), m_contentType(contentType) {}
        virtual ~Result() {}
        virtual bool isDone() const { return true; }
        virtual bool isError() const { return false; }
        const std::string& get() const { return m_text; }
        const std::string& contentType() const { return m_contentType; }

    protected:
        std::string m_text;
        std::string m_contentType;
    };

    class ErrorResult : public Result {
    public:
        explicit ErrorResult(const std::string& text, const std::string& contentType = "text/plain")
            : Result(text, contentType) {}
        bool isError() const override { return true; }
    };

    explicit Command(const std::string& name, const std::string& description = "")
        : name(name), description(description) {}
    virtual ~Command() {}

    virtual Json::Value getDescription();
    virtual bool hidden() { return false; }
    virtual std::unique_ptr<Result> run(const std::vector<std::string>& args) = 0;

    std::string name;
    std::string description;
    std::vector<CommandArg> args;
};

class CommandManager {
public:
    static CommandManager INSTANCE;

    // Takes ownership; a command of the same name is replaced (and deleted).
    void addCommand(Command* cmd);
    void removeCommand(const std::string& name);
    bool hasCommand(const std::string& name);
    // Descriptions of every visible command, as a JSON array.
    Json::Value getDescriptions();
    void removeAllCommands();

    // Runs {"command": NAME, "args": [text, ...]}; "multisyncCommand" and other
    // members are ignored. An unknown command or a bad object is an error result.
    std::unique_ptr<Command::Result> run(const Json::Value& command);
    std::unique_ptr<Command::Result> run(const std::string& name, const std::vector<std::string>& args);

    // Presets file: {"presets": {"NAME": [ {"command": ..., "args": [...]}, ... ]}}.
    // Loads getTavoMediaDir("config/commandPresets.json") when `path` is empty.
    // A missing file means no presets; false with a message when it cannot be parsed.
    bool loadPresets(const std::string& path = "");
    // Runs every command of the preset in order, each string argument with each
    // %KEY% of `keywords` replaced by its value. An unknown preset is logged and ignored.
    void TriggerPreset(const std::string& name, const std::map<std::string, std::string>& keywords);
    void TriggerPreset(const std::string& name);
    bool hasPreset(const std::string& name);

    static std::string ReplaceKeywords(std::string text, const std::map<std::string, std::string>& keywords);

private:
    std::mutex m_lock; // guards m_commands, m_presets, m_presetsLoaded
    // Commands run outside the lock (a command may run others, or trigger presets),
    // so a running command is kept alive by its shared pointer.
    std::map<std::string, std::shared_ptr<Command>> m_commands;
    std::map<std::string, std::vector<Json::Value>> m_presets;
    bool m_presetsLoaded = false;
};
