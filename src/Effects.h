// Effects: short "ESEQ" sequences from the media folder's effects/ folder, laid
// over the channel buffer at their own channel range while they run. They live
// beside the engine because they are read with the sequence codec.
#pragma once

#include <string>
#include <vector>

// Starts effects/<name>.eseq (or <name> when it names the file with its
// extension). `startChannel` 0 plays at the effect's own channels, otherwise from
// that 1-based channel. `loop` nonzero repeats it; `background` is kept for the
// status. Returns the effect's id, or -1 when the file cannot be played. An
// effect of that name that runs already keeps running and its id is returned.
int StartEffect(const std::string& name, int startChannel, int loop, bool background);
// Stops the effect of that name; false when none runs.
bool StopEffect(const std::string& name);
bool StopEffect(int id);
void StopAllEffects();
bool IsEffectRunning();
bool IsEffectRunning(const std::string& name);
std::vector<std::string> GetRunningEffects();
// Lays the current frame of every running effect over `channelData`, and ends
// the effects that have played their last frame.
void OverlayEffects(unsigned char* channelData);
