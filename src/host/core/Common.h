// Small host utilities: clocks, thread names, files, media folder, version.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Microseconds and milliseconds on the monotonic clock: for deadlines and
// durations, unaffected by changes of the wall clock.
int64_t GetTime();
int64_t GetTimeMS();

// Names the calling thread (shown by top and gdb); longer names are cut to 15 characters.
void SetThreadName(const std::string& name);

bool FileExists(const std::string& path);

// Puts the names in folder `dir`, but "." and "..", into `names` in the order the
// folder gives them. 0 when the whole folder was read, else the errno of opening it
// or of reading it part way (`names` then holds what was read before): a folder
// that cannot be read must not pass for an empty one.
int ListFolder(const std::string& dir, std::vector<std::string>& names);

// Replaces every occurrence of `from` in `text` with `to`, left to right; text put
// in by a replacement is not searched again. An empty `from` changes nothing.
void replaceAll(std::string& text, const std::string& from, const std::string& to);

// The media folder ("./media" until set) and paths inside it: getTavoMediaDir("sequences").
void setTavoMediaDir(const std::string& dir);
std::string getTavoMediaDir(const std::string& sub = "");

std::string getTavoVersion();

// Replaces `from` with `to` when `text` begins with it; true when it did. An empty
// `from` changes nothing.
bool replaceStart(std::string& text, const std::string& from, const std::string& to);
