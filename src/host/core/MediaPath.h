// Names that come from outside (a request, a command, a preset, a GPIO action, an
// MQTT message) turned into paths of files inside the media folder, and nowhere else.
#pragma once

#include <string>

// The longest name ResolveMediaPath takes: as long as a path may be (the callers
// refuse paths too long for their own buffers with their own messages).
const size_t MEDIA_NAME_MAX = 4096;

// Resolves `name`, relative to the media folder's sub-folder `folder` ("sequences",
// "effects"; empty for the media folder itself), into `path` (that folder, "/",
// `name`). Refused, false with `error` saying why:
//   - an empty name, one longer than MEDIA_NAME_MAX, or one holding a control
//     character (NUL, newline, ...);
//   - an absolute name, or one with a ".." component;
//   - a name whose file exists but, symbolic links followed, lies outside the real
//     path of `folder` (the folder itself may be a link: sequences kept elsewhere);
//   - a name of the folder itself.
// A name that passes but names no file gives true: the caller says it is missing.
// Nothing is ever handed to a shell; the path is for open() and stat() only.
bool ResolveMediaPath(const std::string& folder, const std::string& name, std::string& path,
                      std::string& error);
