// Measuring when frames arrive: the kernel's arrival time of each datagram, a
// receiving thread that the load cannot delay, and percentiles of the lateness.
#pragma once

#include <cstdint>
#include <sys/types.h>
#include <vector>

// Microseconds on the real-time clock, the one the kernel stamps datagrams with.
int64_t RealTimeUs();

// The processors this process may run on (its affinity), in order.
std::vector<int> UsableCpus();

// The calling thread at SCHED_FIFO `priority` where allowed (root); else unchanged.
void RaiseThreadToFifo(int priority);

// The next datagram on `fd` into `buf` (its size is the most read) with its arrival
// time in `arrivalUs`: the kernel's stamp when SO_TIMESTAMPNS is on, else the time
// it was read. Returns the datagram's length, or -1 when none came within `timeoutMs`.
ssize_t ReceiveStamped(int fd, std::vector<uint8_t>& buf, int64_t& arrivalUs, int timeoutMs);

// The p-th percentile (0 to 100) of `values`: the smallest value at or above p % of
// them; 0 for none.
double Percentile(std::vector<double> values, double p);
