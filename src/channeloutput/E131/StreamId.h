// The CID an E1.31 source sends in every packet: receivers tell sources apart by
// it, so each output keeps its own across restarts, in the media folder's
// config/e131-cids.json.
#pragma once

#include "protocols/E131.h"

#include <string>

namespace e131out {

// The CID kept under `key`; a new random one is made and stored when there is none
// (or the file cannot be read or written: then it lasts for this run, and
// `warning` says why).
protocols::e131::Cid StreamCid(const std::string& key, std::string& warning);
std::string CidText(const protocols::e131::Cid& cid);
bool ParseCid(const std::string& text, protocols::e131::Cid& cid);

} // namespace e131out
