// Where tavod finds its files: the plug-in and web folders of a build or an
// install, and the small file-system helpers its messages use.
#pragma once

#include <string>

namespace tavod {

bool IsDirectory(const std::string& path);
// The folder part of `path` ("." when it has none).
std::string DirName(const std::string& path);
// The names in `dir`, sorted, at most `max` and a count of the rest ("none" when
// empty, the reason when it cannot be read): for a message that says what could
// have been meant.
std::string ListFiles(const std::string& dir, size_t max = 8);

// The board's name for other boards and controllers: the "HostName" setting, else
// the system's host name.
std::string BoardName();

// The folder above the program's bin/ (PREFIX of an install, or the build folder).
std::string InstallRoot();
// The plug-in folder when --plugin-dir does not name one: lib/tavo/plugins of an
// install, or plugins/ of a (copied) build, beside the program; else the one the
// build put them in.
std::string DefaultPluginDir();
// The folder of the pages when --web-dir does not name one: share/tavo/web of an
// install beside the program, else the source tree's web/.
std::string DefaultWebDir();

} // namespace tavod
