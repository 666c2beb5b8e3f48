// The engine's synchronisation events, handed to the daemon's sender.
#include "host/player/MultiSync.h"

#include "host/core/Log.h"

namespace {
MultiSync theMultiSync;
}
MultiSync* multiSync = &theMultiSync;

void MultiSync::SetListener(Listener listener) {
    std::lock_guard<std::mutex> l(m_lock);
    m_listener = std::move(listener);
}

void MultiSync::tell(Event event, const std::string& name) {
    Listener listener;
    {
        std::lock_guard<std::mutex> l(m_lock);
        listener = m_listener;
    }
    static const char* names[] = {"sequence open packet", "sequence start packet", "sequence stop packet",
                                  "blanking packet"};
    LogDebug(LOGCH_PLAYER, "MultiSync: %s%s%s\n", names[event], name.empty() ? "" : " for ", name.c_str());
    if (listener) {
        listener(event, name);
    }
}

void MultiSync::SendSeqOpenPacket(const std::string& filename) {
    tell(OPEN, filename);
}

void MultiSync::SendSeqSyncStartPacket(const std::string& filename) {
    tell(START, filename);
}

void MultiSync::SendSeqSyncStopPacket(const std::string& filename) {
    tell(STOP, filename);
}

void MultiSync::SendBlankingDataPacket() {
    tell(BLANK, "");
}
