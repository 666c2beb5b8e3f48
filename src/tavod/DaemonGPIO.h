// Wires the GPIO side into the daemon: pins, GPIOManager, the event loop and GPIO
// checks on the main loop, the "Start Sequence" command, and the HTTP resources
// /gpio, /api/command and /api/options/GPIOLIST.
#pragma once

#include "CommandManager.h"

class Daemon;

// "Start Sequence" SEQUENCE [START_SECOND]: plays a sequence of the media folder once.
class StartSequenceCommand : public Command {
public:
    StartSequenceCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class DaemonGPIO {
public:
    // After the daemon's Start (its HTTP API may be off), on the main thread.
    static void Start(Daemon& daemon);
    // At the beginning of the daemon's Shutdown, on the main thread; safe to call twice.
    static void Stop(Daemon& daemon);
};
