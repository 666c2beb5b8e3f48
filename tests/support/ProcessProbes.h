// What tests and benchmarks read of a running process from /proc.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

// User plus system CPU time of the process, in clock ticks (sysconf(_SC_CLK_TCK)
// a second); -1 when it is gone.
long long ProcessCpuTicks(pid_t pid);

// Nanoseconds the process's thread named `name` has run (its schedstat); -1 when
// it has none of that name.
long long ThreadRunNs(pid_t pid, const std::string& name);

// Whether a UDP socket on `port` is open in the network namespace of the process.
bool ListensOnUdp(pid_t pid, uint16_t port);
