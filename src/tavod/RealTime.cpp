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
    return c;
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
        LogWarn(LOGCH_CHANNELOUT, "%s\n", text.c_str());
        WarningHolder::AddWarning(text);
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
    LogWarn(LOGCH_GENERAL, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
    return false;
}

} // namespace tavod
