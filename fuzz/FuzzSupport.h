// What every harness does first: the thousands of messages about bad input are
// formatted (that is code under test) but printed nowhere.
#pragma once

#include "host/core/Log.h"

#include <cstdio>

inline void QuietLogs() {
    TavoLogger::INSTANCE.setStderr(false);
    for (LogChannel* c : TavoLogger::INSTANCE.channels()) {
        c->setLevel(LOG_EXCESS);
    }
}

// Standard output too: some parsers print what they do not know there.
inline void QuietStdout() {
    if (!freopen("/dev/null", "w", stdout)) {
        return;
    }
}
