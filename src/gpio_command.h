// The "GPIO" command: drives a named pin as an output, on, off or the opposite of
// what this command last set.
#pragma once

#include "host/player/CommandManager.h"

class TavoGPIOCommand : public Command {
public:
    TavoGPIOCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
