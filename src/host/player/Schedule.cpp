// Reading schedule.json and finding its windows on the local calendar.
#include "host/player/Schedule.h"

#include "host/core/ConfigKeys.h"
#include "host/core/JsonUtils.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

const int DAY_SECONDS = 86400;
// How far Next looks ahead: a yearly date range starts within a year, plus slack.
const int NEXT_SEARCH_DAYS = 400;

const char* const DAY_NAMES[7][2] = {{"sun", "sunday"},    {"mon", "monday"},   {"tue", "tuesday"},
                                     {"wed", "wednesday"}, {"thu", "thursday"}, {"fri", "friday"},
                                     {"sat", "saturday"}};

// A local calendar day; `weekday` as tm_wday.
struct Day {
    int year = 0, month = 0, day = 0, weekday = 0;
};

// Days since 1970-01-01 of a proleptic Gregorian date (month and day from 1).
int64_t civilDays(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool leapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int monthDays(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leapYear(y) ? 29 : days[m - 1];
}

// The local clock reading of an instant as one number that grows by one per second
// of the clock: days since 1970 times 86400 plus the time of day. Comparing it with
// the wanted reading is how a clock time that is skipped or repeated is found.
int64_t clockReading(time_t t) {
    struct tm tm;
    if (!localtime_r(&t, &tm)) {
        return (int64_t)t;
    }
    return civilDays(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday) * DAY_SECONDS + tm.tm_hour * 3600 +
           tm.tm_min * 60 + tm.tm_sec;
}

Day dayOf(time_t t) {
    struct tm tm;
    Day d;
    if (localtime_r(&t, &tm)) {
        d.year = tm.tm_year + 1900;
        d.month = tm.tm_mon + 1;
        d.day = tm.tm_mday;
        d.weekday = tm.tm_wday;
    }
    return d;
}

// The calendar day `n` days after `d`. Days are 23 or 25 hours long when the clocks
// change, so the date is stepped in struct tm and mktime normalises it; noon
// exists on every day.
Day addDays(const Day& d, int n) {
    struct tm tm = {};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day + n;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    mktime(&tm);
    Day r;
    r.year = tm.tm_year + 1900;
    r.month = tm.tm_mon + 1;
    r.day = tm.tm_mday;
    r.weekday = tm.tm_wday;
    return r;
}

// The first instant whose local clock reads `second` seconds after the midnight
// that begins day `d` or later (`second` may pass 86400 into the next day). For a
// clock time that exists once that is the time itself; for one that happens twice,
// its first occurrence; for one the clocks skip, the instant they jump forward.
time_t localInstant(const Day& d, int second) {
    struct tm tm = {};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const time_t guess = mktime(&tm);
    const int64_t wanted = civilDays(d.year, d.month, d.day) * DAY_SECONDS + second;
    // mktime picks one of the offsets around a change, and which one for a time that
    // does not exist or exists twice is its own choice. The offsets in force a day
    // either side are the candidates: no zone changes its clocks twice in two days.
    const time_t probes[3] = {guess - DAY_SECONDS, guess, guess + DAY_SECONDS};
    int64_t candidates[3];
    int64_t best = INT64_MAX;
    for (int i = 0; i < 3; i++) {
        candidates[i] = wanted - (clockReading(probes[i]) - (int64_t)probes[i]);
        if (clockReading((time_t)candidates[i]) == wanted && candidates[i] < best) {
            best = candidates[i];
        }
    }
    if (best != INT64_MAX) {
        return (time_t)best;
    }
    // Skipped: the clock passes from before `wanted` to after it between the
    // candidates; the instant it first reads `wanted` or later is the jump.
    int64_t lo = candidates[0], hi = candidates[0];
    for (int64_t c : candidates) {
        lo = c < lo ? c : lo;
        hi = c > hi ? c : hi;
    }
    if (clockReading((time_t)lo) >= wanted || clockReading((time_t)hi) < wanted) {
        return guess;
    }
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (clockReading((time_t)mid) >= wanted) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return (time_t)hi;
}

// The window `e` starts on day `d`, if it has one there.
bool windowOn(const ScheduleEntry& e, const Day& d, ScheduleWindow& w) {
    if (!e.StartsOn(d.year, d.month, d.day, d.weekday)) {
        return false;
    }
    const int length =
        e.endSecond > e.startSecond ? e.endSecond - e.startSecond : e.endSecond + DAY_SECONDS - e.startSecond;
    w.start = localInstant(d, e.startSecond);
    w.end = localInstant(d, e.startSecond + length);
    if (w.end <= w.start) {
        w.end = w.start + length;
    }
    return true;
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = (char)tolower((unsigned char)c);
    }
    return s;
}

// `n` digits at `s`, as a number; -1 when they are not all digits.
int digits(const std::string& s, size_t at, size_t n) {
    if (at + n > s.size()) {
        return -1;
    }
    int v = 0;
    for (size_t i = at; i < at + n; i++) {
        if (!isdigit((unsigned char)s[i])) {
            return -1;
        }
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// "H:MM", "HH:MM" or "HH:MM:SS" (24 h); "24:00" only where `endOfDay` allows it.
bool parseTime(const std::string& s, bool endOfDay, int& seconds) {
    const size_t colon = s.find(':');
    if (colon != 1 && colon != 2) {
        return false;
    }
    const int h = digits(s, 0, colon);
    const int m = digits(s, colon + 1, 2);
    int sec = 0;
    if (s.size() == colon + 6 && s[colon + 3] == ':') {
        sec = digits(s, colon + 4, 2);
    } else if (s.size() != colon + 3) {
        return false;
    }
    if (h < 0 || m < 0 || sec < 0 || m > 59 || sec > 59) {
        return false;
    }
    if (h > 23 && !(endOfDay && h == 24 && m == 0 && sec == 0)) {
        return false;
    }
    seconds = h * 3600 + m * 60 + sec;
    return true;
}

// "YYYY-MM-DD" as YYYYMMDD, or "MM-DD" (every year) as MMDD; -1 when neither.
int parseDate(const std::string& s) {
    int y = 0, m, d;
    if (s.size() == 10 && s[4] == '-' && s[7] == '-') {
        y = digits(s, 0, 4);
        m = digits(s, 5, 2);
        d = digits(s, 8, 2);
        if (y < 1) {
            return -1;
        }
    } else if (s.size() == 5 && s[2] == '-') {
        m = digits(s, 0, 2);
        d = digits(s, 3, 2);
    } else {
        return -1;
    }
    // Every year's range takes 29 February: it is there in leap years.
    if (m < 1 || m > 12 || d < 1 || d > monthDays(y ? y : 2000, m)) {
        return -1;
    }
    return y * 10000 + m * 100 + d;
}

std::string dateText(int date) {
    char buf[16];
    if (date >= 10000) {
        snprintf(buf, sizeof buf, "%04d-%02d-%02d", date / 10000, date / 100 % 100, date % 100);
    } else {
        snprintf(buf, sizeof buf, "%02d-%02d", date / 100, date % 100);
    }
    return buf;
}

// The problems of one entry, each after "FILE: entry N: ".
class EntryReader {
public:
    EntryReader(const Json::Value& object, const std::string& prefix, std::vector<std::string>& problems)
        : m_object(object), m_prefix(prefix), m_problems(problems) {}

    bool Read(ScheduleEntry& e) {
        const size_t before = m_problems.size();
        e.enabled = readBool("enabled", true);
        e.repeat = readBool("repeat", true);
        readPlaylist(e);
        readDays(e);
        readDates(e);
        readTimes(e);
        readStop(e);
        return m_problems.size() == before;
    }

private:
    static const std::vector<std::string>& knownKeys() {
        static const std::vector<std::string> keys = {"enabled",   "playlist", "days",
                                                      "startDate", "endDate",  "startTime",
                                                      "endTime",   "repeat",   "stopType"};
        return keys;
    }

    void problem(const char* key, const std::string& text) {
        m_problems.push_back(m_prefix + "\"" + key + "\": " + text);
    }

    // "missing", with the unknown key that looks like a misspelling of it, if any.
    void missing(const char* key, const std::string& what) {
        std::string text = "missing; " + what;
        for (const std::string& name : m_object.getMemberNames()) {
            const std::vector<std::string>& known = knownKeys();
            bool isKnown = false;
            for (const std::string& k : known) {
                isKnown = isKnown || k == name;
            }
            if (!isKnown && NearestName(name, {key}) == key) {
                text += " (is \"" + name + "\" meant?)";
                break;
            }
        }
        problem(key, text);
    }

    const Json::Value* find(const char* key) {
        const Json::Value* v = m_object.find(key, key + strlen(key));
        return v && !v->isNull() ? v : nullptr;
    }

    // true or false; a whole number too, as older configuration pages stored them.
    bool readBool(const char* key, bool def) {
        const Json::Value* v = find(key);
        if (!v) {
            return def;
        }
        if (v->isBool()) {
            return v->asBool();
        }
        if (v->isInt()) {
            return v->asInt() != 0;
        }
        problem(key, std::string("must be true or false, not ") + JsonTypeName(*v));
        return def;
    }

    // The text of `key`, or null (with a problem) when it is there but no text.
    const Json::Value* text(const char* key) {
        const Json::Value* v = find(key);
        if (v && !v->isString()) {
            problem(key, std::string("must be a text, not ") + JsonTypeName(*v));
            return nullptr;
        }
        return v;
    }

    void readPlaylist(ScheduleEntry& e) {
        if (!find("playlist")) {
            missing("playlist", "name the playlist to play");
            return;
        }
        if (const Json::Value* v = text("playlist")) {
            e.playlist = v->asString();
            if (e.playlist.find_first_not_of(" \t") == std::string::npos) {
                problem("playlist", "is empty; name the playlist to play");
            }
        }
    }

    // The weekday of a day name ("mon" or "monday", any case); -1 when none.
    static int weekday(const std::string& name) {
        const std::string l = lower(name);
        for (int i = 0; i < 7; i++) {
            if (l == DAY_NAMES[i][0] || l == DAY_NAMES[i][1]) {
                return i;
            }
        }
        return -1;
    }

    void readDays(ScheduleEntry& e) {
        const char* const hint = "; use \"everyday\", \"weekdays\", \"weekends\" or a list of days "
                                 "(\"sun\", \"mon\", \"tue\", \"wed\", \"thu\", \"fri\", \"sat\")";
        e.days.assign(7, false);
        const Json::Value* v = find("days");
        if (!v) {
            // No days named: every day, as the configuration page's first choice.
            e.days.assign(7, true);
            return;
        }
        if (v->isString()) {
            const std::string kind = lower(v->asString());
            if (kind == "everyday") {
                e.days.assign(7, true);
            } else if (kind == "weekdays") {
                for (int i = 1; i <= 5; i++) {
                    e.days[i] = true;
                }
            } else if (kind == "weekends") {
                e.days[0] = e.days[6] = true;
            } else if (weekday(kind) >= 0) {
                e.days[weekday(kind)] = true;
            } else {
                problem("days", "unknown \"" + v->asString() + "\"" + hint);
            }
            return;
        }
        if (!v->isArray()) {
            problem("days", std::string("must be a text or a list, not ") + JsonTypeName(*v) + hint);
            return;
        }
        if (v->empty()) {
            problem("days", std::string("the list names no day") + hint);
            return;
        }
        for (Json::ArrayIndex i = 0; i < v->size(); i++) {
            const Json::Value& name = (*v)[i];
            const int day = name.isString() ? weekday(name.asString()) : -1;
            if (day >= 0) {
                e.days[day] = true;
            } else if (name.isString()) {
                problem("days", "unknown day \"" + name.asString() +
                                    "\"; name days as \"sun\", \"mon\", \"tue\", \"wed\", \"thu\", \"fri\", "
                                    "\"sat\" or in full (\"monday\")");
            } else {
                problem("days",
                        "item " + std::to_string(i + 1) + " must be a day name, not " + JsonTypeName(name));
            }
        }
    }

    // A date of `key`: 0 when absent, -1 after a problem.
    int readDate(const char* key) {
        if (!find(key)) {
            return 0;
        }
        const Json::Value* v = text(key);
        if (!v) {
            return -1;
        }
        const int date = parseDate(v->asString());
        if (date < 0) {
            problem(key, "\"" + v->asString() +
                             "\" is no date; write YYYY-MM-DD (that day) or MM-DD (that day every year)");
        }
        return date;
    }

    void readDates(ScheduleEntry& e) {
        const int start = readDate("startDate");
        const int end = readDate("endDate");
        if (start < 0 || end < 0) {
            return;
        }
        if ((start == 0) != (end == 0)) {
            missing(start ? "endDate" : "startDate", "a date range needs both startDate and endDate");
            return;
        }
        if ((start >= 10000) != (end >= 10000)) {
            problem("endDate", dateText(end) + " and startDate " + dateText(start) +
                                   " must both be YYYY-MM-DD or both MM-DD");
            return;
        }
        // A range every year may wrap (12-01 to 01-06); a fixed one may not.
        if (start >= 10000 && end < start) {
            problem("endDate", dateText(end) + " is before startDate " + dateText(start));
            return;
        }
        e.startDate = start;
        e.endDate = end;
    }

    // The seconds after midnight of `key`; -1 after a problem.
    int readTime(const char* key, bool endOfDay) {
        if (!find(key)) {
            missing(key, "write HH:MM or HH:MM:SS");
            return -1;
        }
        const Json::Value* v = text(key);
        if (!v) {
            return -1;
        }
        int seconds = 0;
        if (!endOfDay && parseTime(v->asString(), true, seconds) && seconds == DAY_SECONDS) {
            problem(key, "24:00 ends a day; a window that starts at midnight starts at 00:00");
            return -1;
        }
        if (!parseTime(v->asString(), endOfDay, seconds)) {
            problem(key, "\"" + v->asString() +
                             "\" is no time of day; write HH:MM or HH:MM:SS, from 00:00 to " +
                             (endOfDay ? "24:00" : "23:59:59"));
            return -1;
        }
        return seconds;
    }

    void readTimes(ScheduleEntry& e) {
        const int start = readTime("startTime", false);
        const int end = readTime("endTime", true);
        if (start < 0 || end < 0) {
            return;
        }
        // An end before the start runs past midnight; 00:00 to 24:00 is the whole day.
        if (end == start) {
            problem("endTime", "the window is empty (endTime equals startTime)");
            return;
        }
        e.startSecond = start;
        e.endSecond = end;
    }

    void readStop(ScheduleEntry& e) {
        const Json::Value* v = text("stopType");
        if (!v) {
            return;
        }
        const std::string s = lower(v->asString());
        if (s == "graceful") {
            e.stop = ScheduleStop::Graceful;
        } else if (s == "graceful after the loop" || s == "gracefulloop") {
            e.stop = ScheduleStop::GracefulAfterLoop;
        } else if (s == "now") {
            e.stop = ScheduleStop::Now;
        } else {
            problem("stopType", "unknown \"" + v->asString() +
                                    "\"; use \"graceful\", \"graceful after the loop\" or \"now\"");
        }
    }

    const Json::Value& m_object;
    const std::string m_prefix;
    std::vector<std::string>& m_problems;
};

} // namespace

bool ScheduleEntry::StartsOn(int year, int month, int day, int weekday) const {
    if (weekday < 0 || weekday > 6 || days.size() != 7 || !days[weekday]) {
        return false;
    }
    if (!startDate && !endDate) {
        return true;
    }
    if (startDate >= 10000) {
        const int date = year * 10000 + month * 100 + day;
        return date >= startDate && date <= endDate;
    }
    const int date = month * 100 + day;
    if (startDate <= endDate) {
        return date >= startDate && date <= endDate;
    }
    return date >= startDate || date <= endDate;
}

bool Schedule::Load(const Json::Value& root, const std::string& file, std::vector<std::string>& problems) {
    m_entries.clear();
    if (root.isNull()) {
        return true;
    }
    if (!root.isObject()) {
        problems.push_back(file + ": must be an object with a \"schedule\" list, not " + JsonTypeName(root));
        return false;
    }
    const Json::Value& list = root["schedule"];
    if (list.isNull()) {
        return true;
    }
    if (!list.isArray()) {
        problems.push_back(file + ": \"schedule\" must be a list, not " + JsonTypeName(list));
        return false;
    }
    const size_t before = problems.size();
    for (Json::ArrayIndex i = 0; i < list.size(); i++) {
        const std::string prefix = file + ": entry " + std::to_string(i + 1) + ": ";
        if (!list[i].isObject()) {
            problems.push_back(prefix + "must be an object, not " + JsonTypeName(list[i]));
            continue;
        }
        ScheduleEntry e;
        if (EntryReader(list[i], prefix, problems).Read(e)) {
            m_entries.push_back(std::move(e));
        }
    }
    return problems.size() == before;
}

bool Schedule::LoadFile(const std::string& path, std::vector<std::string>& problems) {
    m_entries.clear();
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return true;
    }
    Json::Value root;
    std::string error;
    if (!LoadJsonFromFile(path, root, &error)) {
        problems.push_back(path + ": " + error);
        return false;
    }
    return Load(root, path, problems);
}

ScheduleWindow Schedule::Current(time_t now) const {
    const Day today = dayOf(now);
    const Day days[2] = {addDays(today, -1), today};
    for (size_t i = 0; i < m_entries.size(); i++) {
        if (!m_entries[i].enabled) {
            continue;
        }
        for (const Day& d : days) {
            ScheduleWindow w;
            if (windowOn(m_entries[i], d, w) && w.start <= now && now < w.end) {
                w.entry = (int)i;
                return w;
            }
        }
    }
    return ScheduleWindow();
}

ScheduleWindow Schedule::Next(time_t now) const {
    ScheduleWindow best;
    bool any = false;
    for (const ScheduleEntry& e : m_entries) {
        any = any || e.enabled;
    }
    if (!any) {
        return best;
    }
    std::vector<Day> days;
    days.reserve(NEXT_SEARCH_DAYS + 1);
    const Day today = dayOf(now);
    for (int n = 0; n <= NEXT_SEARCH_DAYS; n++) {
        days.push_back(addDays(today, n));
    }
    for (size_t i = 0; i < m_entries.size(); i++) {
        if (!m_entries[i].enabled) {
            continue;
        }
        for (const Day& d : days) {
            ScheduleWindow w;
            if (!windowOn(m_entries[i], d, w) || w.start <= now) {
                continue;
            }
            // Later days start later: the first found is this entry's next.
            if (best.entry < 0 || w.start < best.start) {
                best = w;
                best.entry = (int)i;
            }
            break;
        }
    }
    return best;
}

std::string Schedule::LocalText(time_t t) {
    struct tm tm;
    char buf[32];
    if (!localtime_r(&t, &tm) || !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm)) {
        return "";
    }
    return buf;
}
