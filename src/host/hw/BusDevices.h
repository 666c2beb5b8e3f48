// Where the bus classes find their device files: a path from a host setting, with
// the port or bus number put in, so that tests and unusual boards can point
// elsewhere.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The setting `setting` (or `def` when unset or empty), each "{NAME}" replaced by its number.
std::string BusDevicePath(const char* setting, const char* def,
                          const std::vector<std::pair<std::string, int>>& numbers);
