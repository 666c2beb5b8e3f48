// Running the suite's armhf build under qemu-user (make test-armhf).
#pragma once

#include <string>

// True when the test programs run under emulation: make test-armhf sets
// TAVO_EMULATED=qemu-arm for them.
bool UnderEmulation();

// Why the case (Suite.Name) cannot work under emulation, or an empty string.
// Every such case is named in the one list in Emulation.cpp, and is skipped
// with that reason before its fixture is set up.
std::string EmulationSkipReason(const std::string& caseName);
