// Start-up and shutdown of the daemon.
#include "Daemon.h"

#include "ConfigCheck.h"
#include "HttpApi.h"
#include "LogLevels.h"
#include "Paths.h"
#include "RealTime.h"
#include "Sequence.h"
#include "host/core/Common.h"
#include "host/core/ListenSockets.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"
#include "host/output/OutputManager.h"
#include "host/output/PixelOverlay.h"
#include "host/player/Player.h"
#include "host/player/RunMode.h"
#include "host/core/Settings.h"

#include <cstdlib>
#include <cstring>
#include <exception>

#include <unistd.h>

Daemon* Daemon::INSTANCE = nullptr;

Daemon::Daemon(const DaemonOptions& options)
    : m_options(options), m_outputThread([this](bool skipRead) { runFrame(skipRead); }) {
    INSTANCE = this;
}

Daemon::~Daemon() {
    Shutdown();
    if (INSTANCE == this) {
        INSTANCE = nullptr;
    }
}

int Daemon::Start() {
    m_startTimeMS = GetTimeMS();
    if (!tavod::IsDirectory(m_options.mediaDir)) {
        LogErr(
            LOGCH_GENERAL,
            "Media folder %s does not exist; create it (with config/ and sequences/ inside) or name another "
            "with --media-dir DIR\n",
            m_options.mediaDir.c_str());
        return EXIT_FAILURE_RUN;
    }
    setTavoMediaDir(m_options.mediaDir);
    if (!loadSettings()) {
        return EXIT_FAILURE_RUN;
    }
    if (!setUpLogging()) {
        return EXIT_USAGE;
    }
    LogInfo(LOGCH_GENERAL, "tavod %s starting; media folder %s\n", getTavoVersion().c_str(),
            m_options.mediaDir.c_str());
    checkConfiguration();

    setTavomode(TAVO_MODE_PLAYER);
    m_sequence.reset(new Sequence());
    sequence = m_sequence.get(); // the host contract's name for the one engine
    tavod::RealTimeChoice rt = tavod::RealTimeFromSettings();
    if (rt.lockMemory) {
        tavod::LockMemory();
    }
    m_outputThread.SetRealTime(rt.priority, rt.required);
    // Before any other thread starts: they all inherit the main thread's processors.
    if (rt.cpu >= 0 && tavod::ReserveCpu(rt.cpu)) {
        m_outputThread.SetCpu(rt.cpu);
    }
    m_outputThread.SetFrameDoneHook([this] {
        m_watchdog.FrameDone();
        m_sync.FrameDone();
    });
    ChannelOutputManager::INSTANCE.SetOutputThread(&m_outputThread);

    // Declared overlay models first: outputs may draw into them from Init on. A
    // wrong file stops us before the show; a screen that is missing does not.
    std::vector<std::string> modelsLeftOut;
    if (!PixelOverlayManager::INSTANCE.loadModels(getTavoMediaDir("config/model-overlays.json"),
                                                  &modelsLeftOut)) {
        return EXIT_FAILURE_RUN;
    }
    for (const std::string& text : modelsLeftOut) {
        WarningHolder::AddWarning(text);
    }
    // MQTT outputs publish through the client: it exists before their Init.
    m_mqtt.Start(*this);
    std::string pluginDir = m_options.pluginDir.empty() ? tavod::DefaultPluginDir() : m_options.pluginDir;
    if (!m_outputs.Create(pluginDir, getTavoMediaDir("config/channeloutputs.json"))) {
        return EXIT_FAILURE_RUN;
    }
    // The API answers only once everything behind it is ready: a client that sees
    // it answer may drive GPIO inputs and commands at once.
    if (!m_bridge.Start(*this)) {
        return EXIT_FAILURE_RUN;
    }
    createHttpApi();
    m_commands.Start(*this);
    m_gpio.Start(*this);
    m_testMode.Start(*this);
    m_control.Start(*this);
    if (!m_playlists.Start(*this) || !m_sync.Start(*this)) {
        return EXIT_FAILURE_RUN;
    }
    startHttpApi();
    m_statusLine.Begin(stdout, m_options.quiet, [this] { return statusText(); });
    m_started = true;
    // Idle, no output thread runs to feed the watchdog: the main loop does.
    m_watchdogHook = AddLoopHook([this] {
        m_watchdog.MainLoopTick(m_outputThread.IsRunning());
        loopCheck();
    });
    if (m_watchdog.Enabled()) {
        LogInfo(LOGCH_GENERAL, "Service watchdog: a ping every %lld ms while frames go out\n",
                (long long)(m_watchdog.PingIntervalUs() / 1000));
    }
    // The outputs are up and the API answers: the service manager may call us started.
    m_notifier.Ready(serviceStatus());
    return EXIT_OK;
}

void Daemon::checkConfiguration() {
    // Settings and outputs are checked as they load, and stop the start; what
    // loading alone would pass over is said here, once, before the show.
    ConfigCheck check(m_options.mediaDir);
    check.CheckAtStartup();
    for (const std::string& p : check.Problems()) {
        WarningHolder::AddWarning(p);
    }
    if (!check.Problems().empty()) {
        LogWarn(LOGCH_GENERAL,
                "%zu configuration problem(s), see above; 'tavod --check-config' lists every one\n",
                check.Problems().size());
    }
}

void Daemon::createHttpApi() {
    // A socket handed over by the starter (a service manager, a test) is already
    // bound; otherwise --http-port says where to listen.
    int listenFd = TakeListenSocket("http");
    if (listenFd < 0 && m_options.httpPort <= 0) {
        return;
    }
    std::string webDir = m_options.webDir.empty() ? tavod::DefaultWebDir() : m_options.webDir;
    m_http.reset(new HttpApi(
        m_options.httpPort, listenFd, webDir, [this] { return GetStatus(); }, HttpApi::LimitsFromSettings()));
}

void Daemon::startHttpApi() {
    std::string error;
    if (m_http && !m_http->Start(error)) {
        // The show matters more than its remote control. The API object stays (not
        // serving), so what registered on it can unregister at shutdown.
        LogErr(LOGCH_GENERAL, "HTTP API not started: %s\n", error.c_str());
        WarningHolder::AddWarning("HTTP API not started: " + error);
    }
}

void Daemon::runFrame(bool skipRead) {
    Sequence* s = m_sequence.get();
    if (!s) {
        return;
    }
    bool running = s->IsSequenceRunning();
    if (running && !m_showRunning) {
        ChannelOutputManager::INSTANCE.StartingOutput();
    }
    if (!skipRead) {
        s->ReadSequenceData(false);
    }
    s->ProcessSequenceData(s->seqMSElapsed);
    s->SendSequenceData();
    // The end of a show (not of one pass of several): one frame later its blank has
    // surely gone out, and streams that receivers would time out are ended then.
    bool nowRunning = s->IsSequenceRunning();
    if (m_stopOutputsPending && !nowRunning && Player::INSTANCE.GetStatus() != PLAYER_STATUS_PLAYING) {
        ChannelOutputManager::INSTANCE.StoppingOutput();
    }
    m_stopOutputsPending = m_showRunning && !nowRunning;
    m_showRunning = nowRunning;
}

void Daemon::logLeftoverThreads() {
    const std::string tasks = "/proc/self/task";
    std::vector<std::string> ids;
    if (int err = ListFolder(tasks, ids)) {
        LogWarn(LOGCH_GENERAL, "Could not list the threads left at exit in %s: %s\n", tasks.c_str(),
                strerror(err));
    }
    std::vector<std::string> names;
    pid_t self = getpid();
    for (const std::string& id : ids) {
        if (atoi(id.c_str()) == self) {
            continue;
        }
        std::string name = id;
        if (FILE* f = fopen((tasks + "/" + id + "/comm").c_str(), "r")) {
            char buf[64] = {0};
            if (fgets(buf, sizeof(buf), f)) {
                name = buf;
                name.erase(name.find_last_not_of("\n") + 1);
            }
            fclose(f);
        }
#ifdef __SANITIZE_THREAD__
        // ThreadSanitizer's own helper thread carries the program's name.
        if (name == "tavod") {
            continue;
        }
#endif
        names.push_back(name);
    }
    if (!names.empty()) {
        std::string list;
        for (const std::string& n : names) {
            list += (list.empty() ? "" : ", ") + n;
        }
        LogWarn(LOGCH_GENERAL, "%zu thread(s) still running at exit: %s\n", names.size(), list.c_str());
    }
}

void Daemon::Shutdown() {
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    m_notifier.Stopping();
    m_statusLine.End();
    if (m_watchdogHook >= 0) {
        RemoveLoopHook(m_watchdogHook);
        m_watchdogHook = -1;
    }
    m_control.Stop(*this);
    m_testMode.Stop(*this);
    // Commands still queued run now, while the pins they may drive are there.
    m_commands.Stop(*this);
    m_playlists.Stop(*this);
    m_sync.Stop(*this);
    m_gpio.Stop(*this);
    m_bridge.Stop();

    StopSequence();
    // Stop sends a forced frame still pending: the blank the close asked for.
    m_outputThread.Stop();
    if (ChannelOutputManager::INSTANCE.GetOutputThread() == &m_outputThread) {
        ChannelOutputManager::INSTANCE.SetOutputThread(nullptr);
    }
    if (m_sequence && m_started) {
        // Whatever the engine decided about blanking, the lights go dark when we leave.
        m_sequence->BlankSequenceData(true);
        m_sequence->ProcessSequenceData(0);
        m_sequence->SendSequenceData();
    }
    if (m_http) {
        m_http->Stop();
        m_http.reset();
    }
    m_outputs.Close();
    // Framebuffer models let go of their devices before we leave.
    PixelOverlayManager::INSTANCE.removeAllModels();
    // Last, once no output publishes any more.
    m_mqtt.Stop(*this);
    sequence = nullptr;
    m_sequence.reset();

    tavod::UnwatchLogLevelSettings();
    logLeftoverThreads();
    if (m_started) {
        OutputThread::Stats s = m_outputThread.GetStats();
        LogInfo(LOGCH_GENERAL, "tavod stopped: %lld frames sent, %lld late\n", s.framesSent, s.lateFrames);
    }
    TavoLogger::INSTANCE.closeLogFile();
}
