// Warning list; expired warnings are dropped whenever the list is touched.
#include "host/core/Warnings.h"

#include "host/core/Common.h"
#include "host/core/Log.h"

#include <map>
#include <mutex>

namespace {

std::mutex& warnLock() {
    static std::mutex m;
    return m;
}
// text -> expiry in GetTimeMS(), 0 for none. Guarded by warnLock().
std::map<std::string, long long>& warnings() {
    static std::map<std::string, long long> w;
    return w;
}

void purgeExpired() {
    long long now = GetTimeMS();
    auto& w = warnings();
    for (auto it = w.begin(); it != w.end();) {
        if (it->second && it->second <= now) {
            it = w.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace

void WarningHolder::AddWarning(const std::string& text) {
    AddWarningTimeout(text, 0);
}

void WarningHolder::AddWarningTimeout(const std::string& text, int seconds) {
    bool isNew;
    {
        std::lock_guard<std::mutex> l(warnLock());
        purgeExpired();
        isNew = warnings().count(text) == 0;
        warnings()[text] = seconds > 0 ? GetTimeMS() + seconds * 1000LL : 0;
    }
    if (isNew) {
        LogWarn(LOGCH_GENERAL, "%s", text.c_str());
    }
}

void WarningHolder::RemoveWarning(const std::string& text) {
    std::lock_guard<std::mutex> l(warnLock());
    warnings().erase(text);
}

std::vector<std::string> WarningHolder::GetWarnings() {
    std::lock_guard<std::mutex> l(warnLock());
    purgeExpired();
    std::vector<std::string> r;
    for (auto& w : warnings()) {
        r.push_back(w.first);
    }
    return r;
}

void WarningHolder::ClearWarnings() {
    std::lock_guard<std::mutex> l(warnLock());
    warnings().clear();
}
