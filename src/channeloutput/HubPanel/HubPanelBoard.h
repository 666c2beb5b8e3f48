// What HubPanel checks of the board before it takes the GPIO header: the board's
// model, the kernel modules loaded, and the module tools it runs (with fixed
// arguments, no shell). No device access: files and programs only.
#pragma once

#include <string>
#include <vector>

namespace hubpanel {

// The board's files under `root` ("/" on a board; tests point it elsewhere):
// root + "proc/device-tree/model" and root + "proc/modules".
std::string ModelPath(const std::string& root);
std::string ModulesPath(const std::string& root);

// A whole file; false when it cannot be read (`text` is emptied then). The model
// file ends in a NUL byte: trailing NULs and line ends are taken off.
bool ReadBoardFile(const std::string& path, std::string& text);

// Boards the panel driver library cannot drive: their model starts with
// "Raspberry Pi 5" or "Raspberry Pi Compute Module 5".
bool IsUnsupportedBoard(const std::string& model);
// Boards with the onboard sound module that shares the panels' timer.
bool IsRaspberryPi(const std::string& model);
// Whether /proc/modules text lists the module `name` (the first word of a line).
bool ModuleLoaded(const std::string& modules, const std::string& name);

// Runs argv[0] (an absolute path) with the arguments argv[1...], without a shell,
// and waits for it. True when it exited with status 0; otherwise false with what
// happened in `error` ("exited with status 1", "was killed by signal 9",
// "could not be started: No such file or directory").
bool RunProgram(const std::vector<std::string>& argv, std::string& error);

} // namespace hubpanel
