// The show schedule of config/schedule.json: which playlist plays when, decided
// from the local calendar and clock. No threads and no clock of its own; the
// caller passes the time it asks about.
//
//   {"schedule": [{"enabled": true, "playlist": "evening", "days": "everyday",
//                  "startTime": "17:00", "endTime": "22:00", "repeat": true, "stopType": "graceful"}]}
//
// Entries are in priority order: where windows overlap, the first one plays.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include <json/json.h>

enum class ScheduleStop { Graceful, GracefulAfterLoop, Now };

struct ScheduleEntry {
    bool enabled = true;
    std::string playlist;
    std::vector<bool> days; // 7 entries, [0] = Sunday (as struct tm's tm_wday)
    int startDate = 0;      // inclusive; YYYYMMDD, or MMDD for a range every year;
    int endDate = 0;        // 0 and 0: every date
    int startSecond = 0;    // seconds after local midnight
    int endSecond = 0;      // < startSecond: the window crosses midnight; 86400: "24:00"
    bool repeat = true;     // the playlist's main section loops until the window ends
    ScheduleStop stop = ScheduleStop::Graceful;

    // Whether a window starts on this local calendar day (month and day from 1,
    // `weekday` as tm_wday). A yearly range may cross a year end (12-01 to 01-06).
    bool StartsOn(int year, int month, int day, int weekday) const;
};

struct ScheduleWindow {
    int entry = -1;            // index in Entries(); -1: none
    time_t start = 0, end = 0; // [start, end) in UTC seconds
};

// Windows are made per calendar day in the process's time zone (TZ, else
// /etc/localtime): the day a window starts on decides whether there is one, and
// each day gives at most one. A clock time that does not exist that day (inside
// the hour skipped when daylight saving starts) is the first real instant after
// it: 02:30 becomes 03:00. A clock time that happens twice (the hour repeated when
// it ends) is its first occurrence. A window that would thereby end no later than
// it starts (wholly inside the skipped hour) keeps its length from the first real
// instant after its start. So a change of clocks neither skips nor doubles a show.
class Schedule {
public:
    // Reads the "schedule" list. Every problem is appended to `problems` as
    // "FILE: entry N: \"KEY\": what is wrong" (N from 1; FILE is `file` as given) and the
    // entry is left out; all problems are reported at once, never only the first.
    // A missing or empty list is no problem. Returns true when there were no problems.
    bool Load(const Json::Value& root, const std::string& file, std::vector<std::string>& problems);
    // Reads the file (a missing file: an empty schedule, no problem; bad JSON: one problem naming the file).
    bool LoadFile(const std::string& path, std::vector<std::string>& problems);
    const std::vector<ScheduleEntry>& Entries() const { return m_entries; }
    // The window, of the first enabled entry in priority order, that contains `now`
    // (start <= now < end); entry -1 when none. A window that started the day
    // before and crosses midnight counts.
    ScheduleWindow Current(time_t now) const;
    // The earliest window start strictly after `now` over all enabled entries
    // (searching up to about 400 days ahead); entry -1 when none. Of windows that
    // start at the same time, the first entry's.
    ScheduleWindow Next(time_t now) const;
    // Text for a status page: local "YYYY-MM-DD HH:MM:SS" of a time.
    static std::string LocalText(time_t t);

private:
    std::vector<ScheduleEntry> m_entries;
};
