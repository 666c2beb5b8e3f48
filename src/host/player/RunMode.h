// The player's run mode and the per-host variants of media files.
#pragma once

#include <cstddef>
#include <string>

// Run modes are bit values; the engine compares them, the daemon sets them.
enum TavoMode {
    TAVO_MODE_BRIDGE = 1, // passes network channel data on, plays nothing itself
    TAVO_MODE_PLAYER = 2, // plays its own schedule and playlists
    TAVO_MODE_REMOTE = 8, // follows another player's synchronisation packets
};

int getTavomode();
void setTavomode(int mode);

// When `hostName` is not empty and "<name>-<hostName><ext>" exists beside the file
// named in `filename`, that name is written over `filename` and true is returned.
// `size` is the capacity of `filename`; a name that would not fit is left alone.
bool CheckForHostSpecificFile(const std::string& hostName, char* filename, size_t size);
