// Start-up, playing and shutdown of the daemon.
#include "Daemon.h"

#include "ChannelOutput.h"
#include "Common.h"
#include "DaemonGPIO.h"
#include "HttpApi.h"
#include "Log.h"
#include "OutputManager.h"
#include "Player.h"
#include "RunMode.h"
#include "ScreenPreviewBaseOutput.h"
#include "Sequence.h"
#include "Settings.h"
#include "UDPOutput.h"
#include "Warnings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <exception>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#ifndef TAVO_DEFAULT_PLUGIN_DIR
#define TAVO_DEFAULT_PLUGIN_DIR "plugins"
#endif
#ifndef TAVO_DEFAULT_WEB_DIR
#define TAVO_DEFAULT_WEB_DIR "web"
#endif

Daemon* Daemon::INSTANCE = nullptr;

namespace {

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void onStopSignal(int) {
    if (g_stopRequested.load()) {
        static const char msg[] = "\ntavod: second stop signal, ending at once\n";
        ssize_t r = write(STDERR_FILENO, msg, sizeof(msg) - 1);
        (void)r;
        _exit(EXIT_FAILURE_RUN);
    }
    g_stopRequested.store(true);
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string dirName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(sep, pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string part = text.substr(pos, end - pos);
        part.erase(0, part.find_first_not_of(" \t"));
        part.erase(part.find_last_not_of(" \t") + 1);
        if (!part.empty()) {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    return parts;
}

// The names in `dir`, for a message that says what could have been meant.
std::string listFiles(const std::string& dir, size_t max = 8) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    if (names.empty()) {
        return "none";
    }
    std::sort(names.begin(), names.end());
    std::string r;
    for (size_t i = 0; i < names.size() && i < max; i++) {
        r += (i ? ", " : "") + names[i];
    }
    if (names.size() > max) {
        r += ", ... (" + std::to_string(names.size()) + " in all)";
    }
    return r;
}

} // namespace

Daemon::Daemon(const DaemonOptions& options) : m_options(options) {
    INSTANCE = this;
}

Daemon::~Daemon() {
    Shutdown();
    if (INSTANCE == this) {
        INSTANCE = nullptr;
    }
}

std::string Daemon::DefaultPluginDir() {
    // Beside the program first (bin/../plugins), so a copied build finds its own.
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n > 0) {
        exe[n] = 0;
        std::string dir = dirName(dirName(exe)) + "/plugins";
        if (isDirectory(dir)) {
            return dir;
        }
    }
    return TAVO_DEFAULT_PLUGIN_DIR;
}

std::string Daemon::DefaultWebDir() {
    return TAVO_DEFAULT_WEB_DIR;
}

void Daemon::RequestStop() {
    g_stopRequested.store(true);
}

bool Daemon::StopRequested() {
    return g_stopRequested.load();
}

void Daemon::InstallSignalHandlers() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the main loop's sleep ends at once and it sees the request.
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A write to a closed pipe or socket (standard error read by a finished pager,
    // a browser gone away) must be an error result, not the end of the show.
    signal(SIGPIPE, SIG_IGN);
}

bool Daemon::loadSettings() {
    std::string path = getTavoMediaDir("config/settings.json");
    if (FileExists(path)) {
        std::string error;
        if (!loadSettingsFile(path, error)) {
            LogErr(LOGCH_GENERAL, "%s\n", error.c_str());
            LogErr(LOGCH_GENERAL, "settings.json must be one JSON object of names and values, such as "
                                  "{\"blankBetweenSequences\": 1}\n");
            return false;
        }
    }
    for (const auto& s : m_options.settings) {
        setSetting(s.first, s.second);
    }
    return true;
}

namespace {

void applyLogLevelSetting(const std::string& value) {
    for (const std::string& levels : split(value, ',')) {
        if (!TavoLogger::INSTANCE.setLevels(levels)) {
            LogWarn(LOGCH_GENERAL, "Setting LogLevel: '%s' is not [CHANNEL=]LEVEL; ignored\n", levels.c_str());
        }
    }
}

} // namespace

bool Daemon::setUpLogging() {
    // Settings first, the command line last: it has the final word at start-up.
    applyLogLevelSetting(getSetting("LogLevel", ""));
    // Changed later (over HTTP), the setting takes effect at once.
    registerSettingsListener("tavod", "LogLevel", applyLogLevelSetting);
    for (const std::string& levels : m_options.logLevels) {
        if (!TavoLogger::INSTANCE.setLevels(levels)) {
            LogErr(LOGCH_GENERAL, "--log-level '%s' is not [CHANNEL=]LEVEL\n", levels.c_str());
            return false;
        }
    }
    std::string logs = getTavoMediaDir("logs");
    if (!isDirectory(logs) && mkdir(logs.c_str(), 0755) != 0) {
        LogWarn(LOGCH_GENERAL, "Cannot create %s: %s; logging to standard error only\n", logs.c_str(),
                strerror(errno));
        return true;
    }
    if (!TavoLogger::INSTANCE.openLogFile(logs + "/tavod.log")) {
        LogWarn(LOGCH_GENERAL, "Cannot open %s/tavod.log: %s; logging to standard error only\n", logs.c_str(),
                strerror(errno));
    }
    return true;
}

int Daemon::Start() {
    m_startTimeMS = GetTimeMS();
    if (!isDirectory(m_options.mediaDir)) {
        LogErr(LOGCH_GENERAL,
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

    setTavomode(TAVO_MODE_PLAYER);
    sequence = new Sequence();
    m_outputThread.SetRealTime(getSettingInt("outputThreadRealTime", 1) != 0);
    ChannelOutputManager::INSTANCE.SetOutputThread(&m_outputThread);

    if (!createOutputs()) {
        return EXIT_FAILURE_RUN;
    }

    if (m_options.httpPort > 0) {
        std::string webDir = m_options.webDir.empty() ? DefaultWebDir() : m_options.webDir;
        m_http.reset(new HttpApi(m_options.httpPort, webDir, [this] { return GetStatus(); }));
        std::string error;
        if (!m_http->Start(error)) {
            // The show matters more than its remote control.
            LogErr(LOGCH_GENERAL, "HTTP API not started: %s\n", error.c_str());
            WarningHolder::AddWarning("HTTP API not started: " + error);
            m_http.reset();
        }
    }

    DaemonGPIO::Start(*this);
    m_statusLine.Begin(stdout, m_options.quiet, [this] { return statusText(); });
    m_started = true;
    return EXIT_OK;
}

bool Daemon::createOutputs() {
    std::string pluginDir = m_options.pluginDir.empty() ? DefaultPluginDir() : m_options.pluginDir;
    if (m_loader.LoadPluginDir(pluginDir) == 0) {
        LogWarn(LOGCH_GENERAL, "No output plug-ins loaded from %s (name the folder with --plugin-dir DIR)\n",
                pluginDir.c_str());
    }
    std::vector<std::string> types = m_loader.GetChannelOutputTypes();
    std::vector<std::string> warningsBefore = WarningHolder::GetWarnings();

    // The UDP engine exists before any output's Init: UDP output types look for it there.
    m_udp.reset(new UDPOutput());
    if (!m_udp->Init(Json::Value(Json::objectValue))) {
        LogErr(LOGCH_CHANNELOUT, "UDP sockets cannot be opened; UDP outputs stay off\n");
        m_udp.reset();
    }

    std::string path = getTavoMediaDir("config/channeloutputs.json");
    OutputConfig config;
    bool usable = config.Load(path, types);
    if (!usable || !config.GetErrors().empty()) {
        // A wrong file is for the user to fix before the show, not to find out during it.
        LogErr(LOGCH_GENERAL,
               "%s: %zu problem(s), see above; nothing was played. Fix them, or set \"enabled\": 0 on an output "
               "to leave it out\n",
               path.c_str(), config.GetErrors().size());
        return false;
    }

    std::lock_guard<std::mutex> l(m_outputsLock);
    for (const ConfiguredOutput& c : config.GetOutputs()) {
        TavoPlugins::ChannelOutputPlugin* plugin = m_loader.GetChannelOutputPlugin(c.type);
        std::unique_ptr<ChannelOutput> out;
        std::string failure;
        try {
            if (plugin) {
                out.reset(plugin->createChannelOutput(c.startChannel, c.channelCount));
            }
            if (!out) {
                failure = "its plug-in created no output";
            } else if (!out->Init(c.config)) {
                failure = "it failed to initialise (see the messages above)";
            }
        } catch (const std::exception& e) {
            // A plug-in read a key of the wrong type with the JSON library's throwing accessors.
            failure = std::string("its configuration could not be read: ") + e.what();
        }
        if (!failure.empty()) {
            if (out) {
                try {
                    out->Close();
                } catch (const std::exception&) {
                }
            }
            out.reset();
            std::string text = "Output " + std::to_string(c.index) + " (type " + c.type + ", channels " +
                               std::to_string(c.startChannel + 1) + " to " +
                               std::to_string(c.startChannel + c.channelCount) + ") is left out: " + failure;
            LogWarn(LOGCH_CHANNELOUT, "%s; the show goes on without it\n", text.c_str());
            WarningHolder::AddWarning(text);
            m_failedOutputs.push_back(c);
            continue;
        }
        LogInfo(LOGCH_CHANNELOUT, "Output %d: %s, channels %u to %u\n", c.index, c.type.c_str(), c.startChannel + 1,
                c.startChannel + c.channelCount);
        if (WillLog(LOG_DEBUG, LOGCH_CHANNELOUT)) {
            out->DumpConfig();
        }
        ChannelOutputManager::INSTANCE.AddOutput(out.get());
        m_outputs.push_back(Output{c, std::move(out)});
    }
    // Added last, once every UDP output has handed over its data object: its
    // channel ranges are theirs.
    if (m_udp && m_udp->GetOutputCount() > 0) {
        ChannelOutputManager::INSTANCE.AddOutput(m_udp.get());
    }
    if (m_outputs.empty()) {
        LogWarn(LOGCH_GENERAL, "No outputs are active (%s); frames go nowhere\n", path.c_str());
    }
    reportNewWarnings(warningsBefore);
    return true;
}

void Daemon::reportNewWarnings(const std::vector<std::string>& before) {
    // Some outputs only add a user warning (an address that does not resolve);
    // someone starting the daemon by hand should see it too.
    for (const std::string& w : WarningHolder::GetWarnings()) {
        if (std::find(before.begin(), before.end(), w) != before.end()) {
            continue;
        }
        bool logged = false;
        for (const ConfiguredOutput& f : m_failedOutputs) {
            logged = logged || w.find("Output " + std::to_string(f.index) + " (") == 0;
        }
        if (!logged) {
            LogWarn(LOGCH_GENERAL, "Warning: %s\n", w.c_str());
        }
    }
}

bool Daemon::StartSequence(const std::string& name, int startSecond, std::string& error) {
    if (!sequence) {
        error = "the daemon is not started";
        return false;
    }
    std::string dir = getTavoMediaDir("sequences");
    if (name.empty() || name.find("..") != std::string::npos || name[0] == '/') {
        error = "'" + name + "' is not a sequence name; name a file in " + dir;
        return false;
    }
    std::string path = dir + "/" + name;
    if (!FileExists(path)) {
        error = "there is no sequence " + path + " (sequences there: " + listFiles(dir) + ")";
        return false;
    }

    // The engine's own reason for refusing the file, to repeat in the one line
    // that says what did not play.
    std::vector<std::string> reasons;
    std::mutex reasonsLock;
    std::thread::id self = std::this_thread::get_id();
    int sink = TavoLogger::INSTANCE.addSink([&](const LogLine& line) {
        if (line.level <= LOG_ERR && std::this_thread::get_id() == self) {
            std::lock_guard<std::mutex> l(reasonsLock);
            reasons.push_back(line.text);
        }
    });

    bool ok = false;
    {
        // No frame may be taken between the open (which loads frame 0) and the
        // start; the first frame of the output thread then sends frame 0 itself.
        std::lock_guard<std::recursive_mutex> frames(m_outputThread.FrameLock());
        if (sequence->OpenSequenceFile(name, 0, startSecond)) {
            sequence->StartSequence();
            m_outputThread.SkipNextRead();
            m_outputThread.ForceOutputNow();
            ok = true;
        }
    }
    TavoLogger::INSTANCE.removeSink(sink);
    if (!ok && error.empty()) {
        std::string reason = reasons.empty() ? std::string("the file could not be opened") : reasons.back();
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) {
            reason.pop_back();
        }
        error = "cannot play " + name + ": " + reason;
    }
    if (ok) {
        LogInfo(LOGCH_PLAYER, "Playing %s: %d frames of %d ms\n", name.c_str(),
                sequence->seqStepTime > 0 ? sequence->seqMSDuration / sequence->seqStepTime : 0,
                sequence->seqStepTime.load());
    }
    return ok;
}

void Daemon::StopSequence() {
    if (!sequence) {
        return;
    }
    // Not "playing" any more: the engine blanks the outputs when it closes the file.
    Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
    if (sequence->seqFile.load()) {
        sequence->CloseSequenceFile();
    }
}

int Daemon::Play(const PlayOptions& options) {
    m_passes = options.loop ? 0 : options.repeat;
    int rc = EXIT_OK;
    for (int pass = 1; options.loop || pass <= options.repeat; pass++) {
        if (StopRequested()) {
            break;
        }
        m_pass = pass;
        // While another pass follows, the engine keeps the last frame up instead of
        // blanking between passes; before the last one it blanks at the end.
        bool more = options.loop || pass < options.repeat;
        Player::INSTANCE.SetStatus(more ? PLAYER_STATUS_PLAYING : PLAYER_STATUS_IDLE);
        std::string error;
        if (!StartSequence(options.sequence, pass == 1 ? options.startSecond : -1, error)) {
            LogErr(LOGCH_PLAYER, "%s\n", error.c_str());
            rc = EXIT_FAILURE_RUN;
            break;
        }
        RunLoop([] { return !sequence->IsSequenceRunning(); });
        // A damaged file plays what can be read; the exit says it was not all.
        if (sequence->nothingReadable) {
            LogErr(LOGCH_PLAYER, "cannot play %s: none of its frames could be read\n",
                   options.sequence.c_str());
            rc = EXIT_FAILURE_RUN;
            break;
        }
        if (sequence->unreadableFrames > 0) {
            LogErr(LOGCH_PLAYER, "%s is damaged: %d frame(s) could not be read and were skipped\n",
                   options.sequence.c_str(), sequence->unreadableFrames.load());
            rc = EXIT_FAILURE_RUN;
        }
    }
    if (StopRequested()) {
        LogInfo(LOGCH_PLAYER, "Stopping on request\n");
    }
    StopSequence();
    return rc;
}

int Daemon::AddLoopHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> l(m_hooksLock);
    int id = m_nextHookId++;
    m_hooks.emplace_back(id, std::move(hook));
    return id;
}

void Daemon::RemoveLoopHook(int id) {
    std::lock_guard<std::mutex> l(m_hooksLock);
    m_hooks.erase(std::remove_if(m_hooks.begin(), m_hooks.end(), [id](const auto& h) { return h.first == id; }),
                  m_hooks.end());
}

void Daemon::RunLoop(const std::function<bool()>& done) {
    while (!StopRequested()) {
        if (done && done()) {
            break;
        }
        std::vector<std::function<void()>> hooks;
        {
            std::lock_guard<std::mutex> l(m_hooksLock);
            for (auto& h : m_hooks) {
                hooks.push_back(h.second);
            }
        }
        for (auto& h : hooks) {
            try {
                h();
            } catch (const std::exception& e) {
                LogErr(LOGCH_GENERAL, "Main loop hook failed: %s\n", e.what());
            }
        }
        m_statusLine.Tick();
        int64_t now = GetTimeMS();
        if (m_udp && now - m_lastMonitorMS >= 1000) {
            m_lastMonitorMS = now;
            m_udp->Monitor();
        }
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr); // a stop signal cuts it short
    }
}

void Daemon::closeOutputs() {
    std::lock_guard<std::mutex> l(m_outputsLock);
    for (Output& o : m_outputs) {
        ChannelOutputManager::INSTANCE.RemoveOutput(o.output.get());
    }
    if (m_udp) {
        ChannelOutputManager::INSTANCE.RemoveOutput(m_udp.get());
    }
    for (Output& o : m_outputs) {
        try {
            o.output->Close();
        } catch (const std::exception& e) {
            LogErr(LOGCH_CHANNELOUT, "Closing output %d (%s) failed: %s\n", o.config.index, o.config.type.c_str(),
                   e.what());
        }
    }
    // The UDP engine owns data objects made by plug-in code: gone before the plug-ins.
    if (m_udp) {
        m_udp->Close();
        m_udp.reset();
    }
    m_outputs.clear();
}

void Daemon::logLeftoverThreads() {
    std::vector<std::string> names;
    pid_t self = getpid();
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' || atoi(e->d_name) == self) {
                continue;
            }
            std::string name = e->d_name;
            if (FILE* f = fopen(("/proc/self/task/" + name + "/comm").c_str(), "r")) {
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
        closedir(d);
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
    m_statusLine.End();
    DaemonGPIO::Stop(*this);

    StopSequence();
    // Stop sends a forced frame still pending: the blank the close asked for.
    m_outputThread.Stop();
    if (ChannelOutputManager::INSTANCE.GetOutputThread() == &m_outputThread) {
        ChannelOutputManager::INSTANCE.SetOutputThread(nullptr);
    }
    if (sequence && m_started) {
        // Whatever the engine decided about blanking, the lights go dark when we leave.
        sequence->BlankSequenceData(true);
        sequence->ProcessSequenceData(0);
        sequence->SendSequenceData();
    }
    if (m_http) {
        m_http->Stop();
        m_http.reset();
    }
    closeOutputs();
    m_loader.UnloadAll();
    delete sequence;
    sequence = nullptr;

    unregisterSettingsListener("tavod", "LogLevel");
    logLeftoverThreads();
    if (m_started) {
        OutputThread::Stats s = m_outputThread.GetStats();
        LogInfo(LOGCH_GENERAL, "tavod stopped: %lld frames sent, %lld late\n", s.framesSent, s.lateFrames);
    }
    TavoLogger::INSTANCE.closeLogFile();
}

std::string Daemon::statusText() {
    if (!sequence) {
        return "";
    }
    bool running = sequence->IsSequenceRunning();
    int step = sequence->seqStepTime;
    int duration = sequence->seqMSDuration;
    OutputThread::Stats s = m_outputThread.GetStats();
    std::string text = StatusLine::Format(running ? sequence->GetSequenceName() : "", sequence->seqMSElapsed,
                                          duration, running ? sequence->GetLoadedFrameNumber() : -1,
                                          step > 0 ? duration / step : 0, s.lateFrames);
    if (m_passes == 0 && m_pass > 0) {
        text += "  loop " + std::to_string(m_pass);
    } else if (m_passes > 1) {
        text += "  pass " + std::to_string(m_pass) + "/" + std::to_string(m_passes);
    }
    return text;
}

Json::Value Daemon::GetStatus() {
    Json::Value s(Json::objectValue);
    s["version"] = getTavoVersion();
    s["uptimeMs"] = (Json::Int64)(GetTimeMS() - m_startTimeMS);
    bool running = sequence && sequence->IsSequenceRunning();
    s["status"] = running ? "playing" : "idle";
    s["sequence"] = running ? sequence->GetSequenceName() : "";
    int step = sequence ? sequence->seqStepTime.load() : 0;
    int duration = sequence ? sequence->seqMSDuration.load() : 0;
    s["stepTime"] = step;
    s["frame"] = running ? sequence->GetLoadedFrameNumber() : -1;
    s["frameCount"] = step > 0 ? duration / step : 0;
    s["durationMs"] = duration;
    s["elapsedMs"] = sequence ? sequence->seqMSElapsed.load() : 0;
    s["remainingMs"] = sequence ? sequence->seqMSRemaining.load() : 0;
    s["pass"] = m_pass.load();
    s["passes"] = m_passes.load();
    s["loop"] = m_passes.load() == 0 && m_pass.load() > 0;

    OutputThread::Stats st = m_outputThread.GetStats();
    s["framesSent"] = (Json::Int64)st.framesSent;
    s["lateFrames"] = (Json::Int64)st.lateFrames;
    s["periodUs"] = (Json::Int64)st.periodUs;
    Json::Value lateness(Json::objectValue);
    lateness["lastUs"] = (Json::Int64)st.lastLatenessUs;
    lateness["maxUs"] = (Json::Int64)st.maxLatenessUs;
    lateness["p50Us"] = (Json::Int64)st.p50LatenessUs;
    lateness["p99Us"] = (Json::Int64)st.p99LatenessUs;
    s["lateness"] = lateness;
    Json::Value work(Json::objectValue);
    work["lastUs"] = (Json::Int64)st.lastWorkUs;
    work["maxUs"] = (Json::Int64)st.maxWorkUs;
    work["p99Us"] = (Json::Int64)st.p99WorkUs;
    s["frameWork"] = work;

    Json::Value outputs(Json::arrayValue);
    Json::Value failed(Json::arrayValue);
    {
        std::lock_guard<std::mutex> l(m_outputsLock);
        for (const Output& o : m_outputs) {
            Json::Value j(Json::objectValue);
            j["type"] = o.config.type;
            j["startChannel"] = o.config.startChannel + 1;
            j["channelCount"] = o.config.channelCount;
            if (o.config.type == "WebPreview") {
                const Json::Value& p = o.config.config["port"];
                j["port"] = p.isInt() ? p.asInt() : 32328;
            }
            if (auto* preview = dynamic_cast<ScreenPreviewBaseOutput*>(o.output.get())) {
                j["width"] = preview->GetPreviewWidth();
                j["height"] = preview->GetPreviewHeight();
            }
            outputs.append(j);
        }
        for (const ConfiguredOutput& c : m_failedOutputs) {
            Json::Value j(Json::objectValue);
            j["type"] = c.type;
            j["startChannel"] = c.startChannel + 1;
            j["channelCount"] = c.channelCount;
            failed.append(j);
        }
    }
    s["outputs"] = outputs;
    s["failedOutputs"] = failed;
    if (m_udp) {
        Json::Value u(Json::objectValue);
        u["outputs"] = (Json::UInt64)m_udp->GetOutputCount();
        u["sent"] = (Json::UInt64)m_udp->GetSentCount();
        u["errors"] = (Json::UInt64)m_udp->GetErrorCount();
        s["udp"] = u;
    }
    s["warnings"] = (Json::UInt64)WarningHolder::GetWarnings().size();
    return s;
}
