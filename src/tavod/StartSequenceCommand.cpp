// "Start Sequence": arguments checked, then the daemon plays the file once.
#include "StartSequenceCommand.h"

#include "Daemon.h"
#include "host/core/Log.h"
#include "host/player/Player.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

StartSequenceCommand::StartSequenceCommand(Daemon& daemon)
    : Command("Start Sequence", "Plays a sequence once"), m_daemon(daemon) {
    args.push_back(CommandArg("sequence", "string", "Sequence"));
    args.push_back(CommandArg("startSecond", "int", "Start second").setOptional().setDefaultValue("0"));
}

std::unique_ptr<Command::Result> StartSequenceCommand::run(const std::vector<std::string>& args) {
    if (args.empty() || args.size() > 2) {
        return std::make_unique<ErrorResult>(
            "Start Sequence needs the sequence name, and may take a start second");
    }
    int startSecond = -1;
    if (args.size() == 2 && !args[1].empty()) {
        errno = 0;
        char* end = nullptr;
        long s = strtol(args[1].c_str(), &end, 10);
        if (errno != 0 || *end != 0 || s < 0 || s > INT_MAX / 1000) {
            return std::make_unique<ErrorResult>(
                "Start Sequence: the start second must be a whole number from 0");
        }
        startSecond = static_cast<int>(s);
    }
    // One pass, blanked at its end, in place of any playlist.
    m_daemon.GetPlaylists().Abandon();
    Player::INSTANCE.SetStatus(PLAYER_STATUS_IDLE);
    std::string error;
    if (!m_daemon.StartSequence(args[0], startSecond, error)) {
        LogWarn(LOGCH_PLAYER, "Start Sequence: %s\n", error.c_str());
        return std::make_unique<ErrorResult>(error);
    }
    return std::make_unique<Result>("Playing " + args[0]);
}
