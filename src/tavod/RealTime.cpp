// Real-time priority and locked memory.
#include "RealTime.h"

#include "host/core/Log.h"
#include "host/core/Settings.h"
#include "host/core/Warnings.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#ifndef MCL_ONFAULT
#define MCL_ONFAULT 4
#endif

namespace tavod {

RealTimeChoice RealTimeFromSettings() {
    RealTimeChoice c;
    int asked = getSettingInt("outputThreadPriority", 0);
    if (asked < 0 || asked > 99) {
        LogWarn(LOGCH_GENERAL,
                "Setting outputThreadPriority %d is not 0 (off) or a priority from 1 to 99; "
                "ignored\n",
                asked);
        asked = 0;
    }
    if (asked > 0) {
        c.priority = asked;
        c.required = true;
        c.lockMemory = true;
    } else if (getSettingInt("outputThreadRealTime", 1) != 0) {
        c.priority = 10;
    }
    c.cpu = getSettingInt("outputThreadCpu", -1);
    if (c.cpu < -1) {
        LogWarn(LOGCH_GENERAL, "Setting outputThreadCpu %d is not -1 (off) or a processor number; ignored\n",
                c.cpu);
        c.cpu = -1;
    }
    return c;
}

bool ReserveCpu(int cpu) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        CPU_ZERO(&allowed);
    }
    std::string why;
    if (cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &allowed)) {
        why = "tavod may not run on it";
    } else if (CPU_COUNT(&allowed) < 2) {
        why = "it is the only processor tavod may run on";
    } else {
        CPU_CLR(cpu, &allowed);
        const int r = pthread_setaffinity_np(pthread_self(), sizeof(allowed), &allowed);
        if (r == 0) {
            LogInfo(LOGCH_GENERAL, "Processor %d is kept for the channel output thread\n", cpu);
            return true;
        }
        why = strerror(r);
    }
    const std::string text = "Setting outputThreadCpu " + std::to_string(cpu) + " ignored: " + why +
                             " (see /proc/cpuinfo, or the service's CPUAffinity)";
    WarningHolder::AddWarning(text); // logs it too
    return false;
}

bool PinThreadToCpu(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    const int r = pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
    if (r != 0) {
        LogWarn(LOGCH_CHANNELOUT, "Channel output thread cannot be kept on processor %d: %s\n", cpu,
                strerror(r));
        return false;
    }
    LogInfo(LOGCH_CHANNELOUT, "Channel output thread runs on processor %d alone\n", cpu);
    return true;
}

bool MakeThreadRealTime(int priority, bool required) {
    struct sched_param sp;
    memset(&sp, 0, sizeof(sp));
    sp.sched_priority = priority;
    int r = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    if (r == 0) {
        LogInfo(LOGCH_CHANNELOUT, "Channel output thread runs with real-time priority %d (SCHED_FIFO)\n",
                priority);
        return true;
    }
    std::string text = std::string("Channel output thread runs without real-time priority ") +
                       std::to_string(priority) + " (" + strerror(r) +
                       "): allow it with AmbientCapabilities=CAP_SYS_NICE in the service, "
                       "'setcap cap_sys_nice,cap_ipc_lock+ep tavod', or LimitRTPRIO";
    if (required) {
        WarningHolder::AddWarning(text); // logs it too
    } else {
        LogDebug(LOGCH_CHANNELOUT, "%s\n", text.c_str());
    }
    return false;
}

bool LockMemory() {
    // On fault: pages are locked as they are touched, so idle thread stacks do not
    // take the board's memory all at once.
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0) {
        LogInfo(LOGCH_GENERAL, "Memory locked: no page of tavod is paged out\n");
        return true;
    }
    std::string text = std::string("Memory not locked (") + strerror(errno) +
                       "): allow it with AmbientCapabilities=CAP_IPC_LOCK or LimitMEMLOCK=infinity in the "
                       "service, or 'setcap cap_sys_nice,cap_ipc_lock+ep tavod'";
    WarningHolder::AddWarning(text); // logs it too
    return false;
}

} // namespace tavod
