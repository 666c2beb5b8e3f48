// The command "Start Sequence" SEQUENCE [START_SECOND]: plays a sequence of the
// media folder once, through the running daemon.
#pragma once

#include "host/player/CommandManager.h"

class Daemon;

class StartSequenceCommand : public Command {
public:
    // `daemon` is borrowed and outlives the command (it removes it at shutdown).
    explicit StartSequenceCommand(Daemon& daemon);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;

private:
    Daemon& m_daemon;
};
