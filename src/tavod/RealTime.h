// Real-time scheduling for the output thread and locked memory for the process, where
// the system allows them (CAP_SYS_NICE or an RLIMIT_RTPRIO, CAP_IPC_LOCK or an
// RLIMIT_MEMLOCK), with a message that says how to allow them where it does not.
#pragma once

namespace tavod {

// The settings: "outputThreadPriority" 1 to 99 asks for SCHED_FIFO at that priority
// and locked memory, and says so loudly when refused; 0 (the default) keeps the
// quiet try at priority 10 that "outputThreadRealTime" (default 1) allows.
// "outputThreadCpu" N (0 or more) gives the output thread processor N to itself:
// the thread runs only there and tavod's other threads only elsewhere.
struct RealTimeChoice {
    int priority = 0;      // 0: none
    bool required = false; // asked for by the user: a refusal is a warning
    bool lockMemory = false;
    int cpu = -1; // -1: the output thread shares every processor
};
RealTimeChoice RealTimeFromSettings();

// SCHED_FIFO at `priority` for the calling thread; true when granted.
bool MakeThreadRealTime(int priority, bool required);
// Keeps the calling thread, and every thread it starts from now on, off processor
// `cpu`; false (with a warning saying why) when `cpu` is not one this process may
// use, or the only one.
bool ReserveCpu(int cpu);
// Runs the calling thread on processor `cpu` only; true when granted.
bool PinThreadToCpu(int cpu);
// Locks the process's pages in memory as they are used (no page of the show is
// ever paged out); true when granted.
bool LockMemory();

} // namespace tavod
