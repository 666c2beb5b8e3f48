// Synchronisation packets: logged until a transport exists.
#include "host/player/MultiSync.h"

#include "host/core/Log.h"

namespace {
MultiSync theMultiSync;
}
MultiSync* multiSync = &theMultiSync;

void MultiSync::SendSeqOpenPacket(const std::string& filename) {
    LogDebug(LOGCH_PLAYER, "MultiSync: sequence open packet for %s\n", filename.c_str());
}

void MultiSync::SendSeqSyncStartPacket(const std::string& filename) {
    LogDebug(LOGCH_PLAYER, "MultiSync: sequence start packet for %s\n", filename.c_str());
}

void MultiSync::SendSeqSyncStopPacket(const std::string& filename) {
    LogDebug(LOGCH_PLAYER, "MultiSync: sequence stop packet for %s\n", filename.c_str());
}

void MultiSync::SendBlankingDataPacket() {
    LogDebug(LOGCH_PLAYER, "MultiSync: blanking packet\n");
}
