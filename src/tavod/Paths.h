// Where tavod finds its files: the plug-in and web folders of a build or an
// install, and the small file-system helpers its messages use.
#pragma once

#include <string>

namespace tavod {

bool IsDirectory(const std::string& path);
// The folder part of `path` ("." when it has none).
std::string DirName(const std::string& path);
// The names in `dir`, sorted, at most `max` and a count of the rest ("none" when
// empty): for a message that says what could have been meant.
std::string ListFiles(const std::string& dir, size_t max = 8);

// The plug-in folder when --plugin-dir does not name one: bin/../plugins beside
// the program (a build, or a copied build), else the one the build put them in.
std::string DefaultPluginDir();
// The folder of the pages served at /, when --web-dir does not name one.
std::string DefaultWebDir();

} // namespace tavod
