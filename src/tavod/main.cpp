// tavod: the command line, and the dispatch to the daemon's commands.
#include "host/core/Common.h"
#include "ConfigCheck.h"
#include "Daemon.h"
#include "Paths.h"
#include "PluginLoader.h"
#include "Signals.h"
#include "host/core/Log.h"
#include "host/core/Settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

const char* USAGE =
    "usage: tavod [OPTIONS] play SEQUENCE [--loop | --repeat N] [--start-second S]\n"
    "       tavod [OPTIONS] run\n"
    "       tavod [OPTIONS] --check-config\n"
    "       tavod [--plugin-dir DIR] --list-outputs\n"
    "       tavod --help | --version\n"
    "\n"
    "Plays lighting-show sequences of a media folder to the outputs configured in its\n"
    "config/channeloutputs.json, on time, and answers an HTTP API with a control page.\n"
    "\n"
    "commands:\n"
    "  run                  stay up, idle until told to play: by the control page (GET /),\n"
    "                       POST /api/playback, POST /api/command or GPIO inputs\n"
    "                       (config/gpio.json); the service runs this\n"
    "  play SEQUENCE        play media/sequences/SEQUENCE once, then exit\n"
    "    --loop             play it again and again until stopped (Ctrl-C)\n"
    "    --repeat N         play it N times\n"
    "    --start-second S   start the first pass S seconds in\n"
    "  --check-config       check every configuration file of the media folder and every\n"
    "                       sequence its presets name; print each problem with its file,\n"
    "                       entry and key; exit 0 when there is none, else 1\n"
    "\n"
    "options:\n"
    "  --media-dir DIR           media folder (default ./media): config/, sequences/, logs/\n"
    "  --plugin-dir DIR          output plug-ins (default: lib/tavo/plugins beside an installed\n"
    "                            tavod, plugins/ beside a built one)\n"
    "  --web-dir DIR             the pages: control page / and preview /preview (default:\n"
    "                            share/tavo/web beside an installed tavod, else the source's web/)\n"
    "  --set NAME=VALUE          override a setting of config/settings.json (repeatable)\n"
    "  --log-level [CHANNEL=]LEVEL  error, warning, info, debug or excess (1..5), for every\n"
    "                            channel or one of general, sequence, channelout, gpio, player;\n"
    "                            at run time: PUT /api/settings/LogLevel.CHANNEL\n"
    "  --http-port N             port of the HTTP API and the pages (default 8080; 0: off)\n"
    "  --quiet                   no status line on the terminal\n"
    "  --list-outputs            print the output types of the plug-in folder, then exit\n"
    "  -h, --help                this text\n"
    "  --version                 the version\n"
    "\n"
    "signals: SIGINT or SIGTERM stop the show (outputs blanked and closed, exit status 0);\n"
    "SIGHUP re-reads config/channeloutputs.json between two frames: unchanged outputs\n"
    "keep running, changed ones are re-opened, a file with problems changes nothing.\n"
    "\n"
    "environment: NOTIFY_SOCKET and WATCHDOG_USEC (readiness, status and watchdog pings\n"
    "to a service manager); JOURNAL_STREAM (log lines with a <N> priority prefix and\n"
    "no time stamp); LISTEN_FDS, LISTEN_PID, LISTEN_FDNAMES (an HTTP socket handed over).\n"
    "\n"
    "Exit status: 0 success, 1 bad configuration, sequence or start-up failure, 2 bad usage.\n"
    "Manual: tavod(8); the files and the HTTP API: docs/tavod.md.\n";

struct CommandLine {
    DaemonOptions daemon;
    std::string command;
    std::vector<std::string> args; // the command's own arguments
    bool help = false;
    bool version = false;
    bool listOutputs = false;
    bool checkConfig = false;
};

bool parseInt(const std::string& text, long min, long max, long& out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool validLogLevel(const std::string& levels) {
    size_t eq = levels.find('=');
    if (eq == std::string::npos) {
        return TavoLogger::parseLevel(levels) != 0;
    }
    return TavoLogger::INSTANCE.findChannel(levels.substr(0, eq)) &&
           TavoLogger::parseLevel(levels.substr(eq + 1)) != 0;
}

// Splits "--name=value" into name and value; other arguments come back unchanged.
void splitOption(const std::string& arg, std::string& name, std::string& value, bool& hasValue) {
    size_t eq = arg.find('=');
    hasValue = arg.compare(0, 2, "--") == 0 && eq != std::string::npos;
    name = hasValue ? arg.substr(0, eq) : arg;
    value = hasValue ? arg.substr(eq + 1) : std::string();
}

// The value of option `name`: after its "=", or the next argument (then `i` moves on).
bool optionValue(const std::vector<std::string>& args, size_t& i, const std::string& name, bool hasValue,
                 const std::string& value, std::string& out, std::string& error) {
    if (hasValue) {
        out = value;
        return true;
    }
    if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
    }
    out = args[++i];
    return true;
}

// Global options may stand before or after the command; the rest belongs to it.
bool parseCommandLine(int argc, char** argv, CommandLine& cl, std::string& error) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); i++) {
        std::string name, value;
        bool hasValue;
        splitOption(args[i], name, value, hasValue);
        auto takeValue = [&](std::string& out) {
            return optionValue(args, i, name, hasValue, value, out, error);
        };

        if (name == "-h" || name == "--help") {
            cl.help = true;
        } else if (name == "--version") {
            cl.version = true;
        } else if (name == "--list-outputs") {
            cl.listOutputs = true;
        } else if (name == "--check-config") {
            cl.checkConfig = true;
        } else if (name == "--quiet") {
            cl.daemon.quiet = true;
        } else if (name == "--media-dir") {
            if (!takeValue(cl.daemon.mediaDir)) {
                return false;
            }
        } else if (name == "--plugin-dir") {
            if (!takeValue(cl.daemon.pluginDir)) {
                return false;
            }
        } else if (name == "--web-dir") {
            if (!takeValue(cl.daemon.webDir)) {
                return false;
            }
        } else if (name == "--set") {
            std::string s;
            if (!takeValue(s)) {
                return false;
            }
            size_t eq = s.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "--set wants NAME=VALUE, not '" + s + "'";
                return false;
            }
            cl.daemon.settings.emplace_back(s.substr(0, eq), s.substr(eq + 1));
        } else if (name == "--log-level") {
            std::string s;
            if (!takeValue(s)) {
                return false;
            }
            if (!validLogLevel(s)) {
                error = "--log-level wants [CHANNEL=]LEVEL with LEVEL error, warning, info, debug, excess or "
                        "1..5 "
                        "and CHANNEL general, sequence, channelout, gpio or player; not '" +
                        s + "'";
                return false;
            }
            cl.daemon.logLevels.push_back(s);
        } else if (name == "--http-port") {
            std::string s;
            long port;
            if (!takeValue(s)) {
                return false;
            }
            if (!parseInt(s, 0, 65535, port)) {
                error = "--http-port wants a TCP port from 1 to 65535, or 0 to turn the HTTP API off; not '" +
                        s + "'";
                return false;
            }
            cl.daemon.httpPort = (int)port;
        } else if (cl.command.empty()) {
            if (!args[i].empty() && args[i][0] == '-') {
                error = "unknown option " + args[i];
                return false;
            }
            cl.command = args[i];
        } else {
            cl.args.push_back(args[i]);
        }
    }
    return true;
}

bool parsePlayArgs(const std::vector<std::string>& args, PlayOptions& play, std::string& error) {
    bool repeatGiven = false;
    for (size_t i = 0; i < args.size(); i++) {
        std::string name, value;
        bool hasValue;
        splitOption(args[i], name, value, hasValue);
        auto takeValue = [&](std::string& out) {
            return optionValue(args, i, name, hasValue, value, out, error);
        };
        if (name == "--loop") {
            play.loop = true;
        } else if (name == "--repeat") {
            std::string s;
            long n;
            if (!takeValue(s)) {
                return false;
            }
            if (!parseInt(s, 1, 1000000, n)) {
                error = "--repeat wants a number of passes from 1 to 1000000, not '" + s + "'";
                return false;
            }
            play.repeat = (int)n;
            repeatGiven = true;
        } else if (name == "--start-second") {
            std::string s;
            long n;
            if (!takeValue(s)) {
                return false;
            }
            if (!parseInt(s, 0, 24L * 3600, n)) {
                error = "--start-second wants whole seconds from 0, not '" + s + "'";
                return false;
            }
            play.startSecond = (int)n;
        } else if (!args[i].empty() && args[i][0] == '-') {
            error = "unknown option of play: " + args[i];
            return false;
        } else if (play.sequence.empty()) {
            play.sequence = args[i];
        } else {
            error = "play takes one sequence; '" + args[i] + "' is one too many";
            return false;
        }
    }
    if (play.sequence.empty()) {
        error = "play needs a SEQUENCE: a file name in the media folder's sequences/";
        return false;
    }
    if (play.loop && repeatGiven) {
        error = "--loop and --repeat cannot be used together";
        return false;
    }
    return true;
}

// The plug-in names a "type" in channeloutputs.json may use, one a line.
int listOutputs(const std::string& pluginDir, const std::vector<std::string>& logLevels) {
    // The list is the answer: what was loaded from where only with --log-level info.
    TavoLogger::INSTANCE.setLevels("warning");
    for (const std::string& l : logLevels) {
        TavoLogger::INSTANCE.setLevels(l);
    }
    PluginLoader loader;
    loader.LoadPluginDir(pluginDir); // a library that cannot load says why on standard error
    std::vector<std::string> types = loader.GetChannelOutputTypes();
    if (types.empty()) {
        fprintf(stderr, "tavod: no output plug-ins in %s (name the folder with --plugin-dir DIR)\n",
                pluginDir.c_str());
        return EXIT_FAILURE_RUN;
    }
    for (const std::string& t : types) {
        printf("%s\n", t.c_str());
    }
    return EXIT_OK;
}

// Every problem of every configuration file, on standard output; 0 when none.
int checkConfig(const DaemonOptions& options) {
    if (!tavod::IsDirectory(options.mediaDir)) {
        printf("%s: the media folder does not exist\n", options.mediaDir.c_str());
        return EXIT_FAILURE_RUN;
    }
    setTavoMediaDir(options.mediaDir);
    // The checkers' log lines are the problems again: the list below says them once.
    TavoLogger::INSTANCE.setStderr(false);
    PluginLoader loader;
    loader.LoadPluginDir(options.pluginDir.empty() ? tavod::DefaultPluginDir() : options.pluginDir);
    ConfigCheck check(options.mediaDir);
    check.CheckSettingsFile();
    // --set overrides what settings.json says, as it would for the show.
    for (const auto& s : options.settings) {
        setSetting(s.first, s.second);
    }
    check.CheckSettingValues();
    check.CheckOutputs(loader);
    check.CheckPins();
    check.CheckGPIOInputs();
    check.CheckPresets();
    check.CheckModelOverlays();
    check.CheckBridge();
    check.CheckPlaylists();
    check.CheckSchedule();
    TavoLogger::INSTANCE.setStderr(true);
    for (const std::string& p : loader.GetErrors()) {
        printf("warning: %s\n", p.c_str());
    }
    for (const std::string& p : check.Problems()) {
        printf("%s\n", p.c_str());
    }
    if (!check.Problems().empty()) {
        printf("%zu problem(s) in %s\n", check.Problems().size(), options.mediaDir.c_str());
        return EXIT_FAILURE_RUN;
    }
    printf("No problems: %zu file(s) checked in %s\n", check.Checked().size(), options.mediaDir.c_str());
    return EXIT_OK;
}

int usageError(const std::string& error) {
    fprintf(stderr, "tavod: %s\nRun 'tavod --help' for the usage.\n", error.c_str());
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char** argv) {
    CommandLine cl;
    std::string error;
    if (!parseCommandLine(argc, argv, cl, error)) {
        return usageError(error);
    }
    if (cl.help) {
        fputs(USAGE, stdout);
        return EXIT_OK;
    }
    if (cl.version) {
        printf("tavod %s\n", getTavoVersion().c_str());
        return EXIT_OK;
    }
    if (cl.checkConfig) {
        return checkConfig(cl.daemon);
    }
    if (cl.listOutputs) {
        return listOutputs(cl.daemon.pluginDir.empty() ? tavod::DefaultPluginDir() : cl.daemon.pluginDir,
                           cl.daemon.logLevels);
    }
    if (cl.command.empty()) {
        return usageError("no command given");
    }

    // Each command checks its arguments before anything starts.
    std::function<int(Daemon&)> run;
    if (cl.command == "play") {
        PlayOptions play;
        if (!parsePlayArgs(cl.args, play, error)) {
            return usageError(error);
        }
        run = [play](Daemon& d) { return d.Play(play); };
    } else if (cl.command == "run") {
        if (!cl.args.empty()) {
            return usageError("run takes no arguments");
        }
        run = [](Daemon& d) {
            d.GetPlaylists().EnableSchedule();
            d.RunLoop(nullptr);
            return static_cast<int>(EXIT_OK);
        };
    } else {
        return usageError("unknown command '" + cl.command + "'");
    }

    tavod::InstallSignalHandlers();
    Daemon daemon(cl.daemon);
    int rc = daemon.Start();
    if (rc == EXIT_OK) {
        rc = run(daemon);
    }
    daemon.Shutdown();
    return rc;
}
