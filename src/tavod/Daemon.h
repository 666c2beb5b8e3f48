// The daemon: start-up (media folder, settings, logging, plug-ins, outputs, HTTP
// API), playing sequences through the engine on the timed output thread, and an
// orderly shutdown that blanks the outputs before closing them.
#pragma once

#include "OutputConfig.h"
#include "OutputThread.h"
#include "PluginLoader.h"
#include "StatusLine.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

class ChannelOutput;
class HttpApi;
class UDPOutput;

struct DaemonOptions {
    std::string mediaDir = "./media";
    std::string pluginDir; // empty: next to the program, else where the build put them
    std::string webDir;    // empty: the source tree's web/ folder
    std::vector<std::pair<std::string, std::string>> settings; // --set NAME=VALUE, in order
    std::vector<std::string> logLevels;                       // --log-level [CHANNEL=]LEVEL
    int httpPort = 8080;                                      // 0: no HTTP API
    bool quiet = false;                                       // no status line
};

struct PlayOptions {
    std::string sequence; // file name in the media folder's sequences/
    bool loop = false;    // until stopped
    int repeat = 1;       // times to play, when not looping
    int startSecond = -1; // where the first pass starts; below 0: the beginning
};

// Exit statuses of the program.
enum DaemonExit {
    EXIT_OK = 0,
    EXIT_FAILURE_RUN = 1, // configuration, sequence or start-up failure
    EXIT_USAGE = 2,       // bad command line
};

class Daemon {
public:
    // The running daemon, for commands and modules that act on it; null when none.
    static Daemon* INSTANCE;

    explicit Daemon(const DaemonOptions& options);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Everything up to the outputs being ready and the HTTP API listening.
    // EXIT_OK, or the exit status to end with (the reason is logged).
    int Start();
    // Plays as `options` says, until done or stopped. EXIT_OK or EXIT_FAILURE_RUN.
    int Play(const PlayOptions& options);
    // Runs the main loop until `done` returns true or a stop is requested.
    void RunLoop(const std::function<bool()>& done);
    // Blanks and closes the outputs, stops every thread; safe to call twice.
    void Shutdown();

    // Opens and starts a sequence; it plays on the output thread from its first
    // frame. False with `error` set when it cannot be played.
    bool StartSequence(const std::string& name, int startSecond, std::string& error);
    // Closes the running sequence, blanking the outputs.
    void StopSequence();

    // Functions the main loop calls every 10 ms (GPIO, command queues, ...), on
    // the main thread. Returns an id for RemoveLoopHook.
    int AddLoopHook(std::function<void()> hook);
    void RemoveLoopHook(int id);

    // Asks the main loop to end; safe from a signal handler.
    static void RequestStop();
    static bool StopRequested();
    // SIGINT and SIGTERM stop cleanly (a second one ends at once); SIGPIPE is ignored.
    static void InstallSignalHandlers();

    // The body of GET /api/status.
    Json::Value GetStatus();
    // The HTTP API, once started; null when turned off or not started.
    HttpApi* GetHttpApi() { return m_http.get(); }
    OutputThread& GetOutputThread() { return m_outputThread; }
    const DaemonOptions& GetOptions() const { return m_options; }

    // Where plug-ins and the web page are looked for when the options leave it open.
    static std::string DefaultPluginDir();
    static std::string DefaultWebDir();

private:
    struct Output {
        ConfiguredOutput config;
        std::unique_ptr<ChannelOutput> output;
    };

    bool setUpLogging();
    bool loadSettings();
    bool createOutputs();
    void closeOutputs();
    void reportNewWarnings(const std::vector<std::string>& before);
    std::string statusText();
    void logLeftoverThreads();

    DaemonOptions m_options;
    bool m_started = false;
    bool m_shutDown = false;
    PluginLoader m_loader;
    OutputThread m_outputThread;
    std::unique_ptr<UDPOutput> m_udp;
    std::unique_ptr<HttpApi> m_http;
    StatusLine m_statusLine;

    std::mutex m_outputsLock; // guards m_outputs and m_failedOutputs
    std::vector<Output> m_outputs;
    std::vector<ConfiguredOutput> m_failedOutputs;

    std::mutex m_hooksLock; // guards m_hooks
    std::vector<std::pair<int, std::function<void()>>> m_hooks;
    int m_nextHookId = 1;

    std::atomic<int> m_pass{0};  // which pass of the current play, from 1
    std::atomic<int> m_passes{0}; // passes asked for; 0 while looping
    int64_t m_startTimeMS = 0;
    int64_t m_lastMonitorMS = 0;
};
