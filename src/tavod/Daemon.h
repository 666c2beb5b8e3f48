// The daemon: start-up (media folder, settings, logging, plug-ins, outputs, HTTP
// API), playing sequences through the engine it owns on the timed output thread,
// and an orderly shutdown that blanks the outputs before closing them.
//
// Where each job lives: Daemon.cpp start-up and shutdown; DaemonSettings.cpp
// settings and logging (LogLevels.* the run-time log levels); OutputSet.* the
// outputs, and reloading them; DaemonPlayback.cpp starting, stopping and playing
// sequences; DaemonControl.cpp what the control page and SIGHUP ask (pause, loop,
// the sequence list, reloads) and ControlApi.* its HTTP resources; DaemonLoop.cpp the
// main loop; DaemonStatus.cpp the status; Signals.* and Paths.* signals and folders;
// CommandWiring.* and GPIOWiring.* the command and GPIO services on the main loop and
// the HTTP API; ConfigCheck.* the checks of every configuration file (--check-config
// and start-up); Notify.* and Watchdog.* the service manager's readiness and watchdog;
// RealTime.* real-time priority and locked memory; TestMode.* the test mode;
// MQTTWiring.* the MQTT client and tavod's own topics; BridgeWiring.* bridge mode
// (the network input feeding the engine's bridge data); PlaylistWiring.* playlists
// and the schedule; SyncWiring.* many boards in sync.
//
// Threads: Start, Play, RunLoop and Shutdown run on the main thread; StartSequence
// and StopSequence on the main thread (commands run there too); GetStatus on the
// HTTP server's threads; the engine's frames on the output thread.
#pragma once

#include "BridgeWiring.h"
#include "CommandWiring.h"
#include "ControlApi.h"
#include "GPIOWiring.h"
#include "MQTTWiring.h"
#include "Notify.h"
#include "OutputSet.h"
#include "OutputThread.h"
#include "PlaylistWiring.h"
#include "StatusLine.h"
#include "SyncWiring.h"
#include "TestMode.h"
#include "Watchdog.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

class HttpApi;
class Sequence;

struct DaemonOptions {
    std::string mediaDir = "./media";
    std::string pluginDir; // empty: next to the program, else where the build put them
    std::string webDir;    // empty: the source tree's web/ folder
    std::vector<std::pair<std::string, std::string>> settings; // --set NAME=VALUE, in order
    std::vector<std::string> logLevels;                        // --log-level [CHANNEL=]LEVEL
    int httpPort = 8080;                                       // 0: no HTTP API
    bool quiet = false;                                        // no status line
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
    // frame, from `startSecond` (-1: the start) or from `startFrame` when that is
    // above 0. False with `error` set when it cannot be played. A later pass of a
    // loop (`again`) is logged at debug level only: the first "Playing" line says it all.
    bool StartSequence(const std::string& name, int startSecond, std::string& error, bool again = false,
                       int startFrame = 0);
    // Closes the running sequence, blanking the outputs.
    void StopSequence();

    // Control (DaemonControl.cpp), on the main thread.
    // Plays `name` from its start, once or until stopped (`loop`).
    bool PlaySequence(const std::string& name, bool loop, std::string& error);
    // Stops the running sequence and any loop, passes or playlist still to come.
    void StopPlaying();
    // Forgets the loop PlaySequence set up (a playlist takes over).
    void ForgetLoop();
    // Pauses or resumes the running sequence; false when none runs.
    bool SetPaused(bool paused);
    // Whether the running sequence starts again at its end.
    void SetLoop(bool loop);
    // Re-reads channeloutputs.json between frames (SIGHUP, POST /api/outputs/reload):
    // {"reloaded": bool, "kept", "started", "closed", "failed": [...], "problems": [...]}.
    Json::Value ReloadOutputs();
    // The sequences of the media folder with what their headers say (GET /api/sequences).
    // False, with `error` naming the folder and the reason, when the folder cannot be
    // read; a folder not made yet holds no sequences.
    bool ListSequences(Json::Value& list, std::string& error);

    // Functions the main loop calls every 10 ms (GPIO, command queues, ...), on
    // the main thread, in the order they were added. Returns an id for RemoveLoopHook.
    int AddLoopHook(std::function<void()> hook);
    void RemoveLoopHook(int id);

    // The body of GET /api/status.
    Json::Value GetStatus();
    // The HTTP API (serving once Start is done); null when turned off.
    HttpApi* GetHttpApi() { return m_http.get(); }
    OutputThread& GetOutputThread() { return m_outputThread; }
    OutputSet& GetOutputs() { return m_outputs; }
    // The engine; null before Start and after Shutdown.
    Sequence* GetSequence() { return m_sequence.get(); }
    ServiceNotifier& GetNotifier() { return m_notifier; }
    PlaylistWiring& GetPlaylists() { return m_playlists; }
    SyncWiring& GetSync() { return m_sync; }
    const DaemonOptions& GetOptions() const { return m_options; }

private:
    // Settings and logging (DaemonSettings.cpp).
    bool loadSettings();
    bool setUpLogging();
    // The checks of ConfigCheck that loading does not make; problems are warnings.
    void checkConfiguration();
    void createHttpApi();
    void startHttpApi();
    // One period of the output thread: the engine takes, processes and sends a frame.
    void runFrame(bool skipRead);
    std::string statusText();
    // One line for the service manager's status ("Playing show.lcsf 0:04 / 0:10").
    std::string serviceStatus();
    // Restarts a looping sequence that came to its end (run mode); main loop.
    void loopCheck();
    void logLeftoverThreads();

    DaemonOptions m_options;
    bool m_started = false;
    // Before the output thread: its frames feed the watchdog.
    ServiceNotifier m_notifier;
    Watchdog m_watchdog{m_notifier};
    bool m_shutDown = false;
    // Only the output thread's frames touch these two.
    bool m_showRunning = false;
    bool m_stopOutputsPending = false;
    // The engine; the global `sequence` points at it while it lives.
    std::unique_ptr<Sequence> m_sequence;
    OutputThread m_outputThread;
    OutputSet m_outputs;
    std::unique_ptr<HttpApi> m_http;
    CommandWiring m_commands;
    GPIOWiring m_gpio;
    MQTTWiring m_mqtt;
    BridgeWiring m_bridge;
    PlaylistWiring m_playlists;
    SyncWiring m_sync;
    TestMode m_testMode;
    ControlApi m_control;
    StatusLine m_statusLine;
    std::string m_lastServiceStatus;
    int m_watchdogHook = -1;

    std::mutex m_hooksLock; // guards m_hooks and m_nextHookId
    std::vector<std::pair<int, std::function<void()>>> m_hooks;
    int m_nextHookId = 1;

    std::atomic<int> m_pass{0};             // which pass of the current play, from 1
    std::atomic<int> m_passes{0};           // passes asked for; 0 while looping
    std::atomic<bool> m_loop{false};        // the running sequence starts again at its end
    std::string m_loopSequence;             // what PlaySequence started to loop (main thread)
    std::atomic<bool> m_playStopped{false}; // StopPlaying ends `tavod play` too
    int64_t m_startTimeMS = 0;
    int64_t m_lastMonitorMS = 0;
};
