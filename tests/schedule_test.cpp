// The schedule's decisions: which window is current and which comes next, on the
// local calendar of Europe/Berlin, its two clock changes of 2026 included, and
// the problems schedule.json is checked for.
#include "host/player/Schedule.h"
#include "host/core/JsonUtils.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

// The instant of a local "YYYY-MM-DD HH:MM[:SS]". With a trailing " +01" or " +02"
// (the offset from UTC) it names one of the two instants of a repeated hour, or
// one an hour never reads, exactly; without, mktime decides.
time_t At(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, offset = 0;
    char rest[8] = "";
    int n = sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
    if (n < 6) {
        s = 0;
        n = sscanf(text.c_str(), "%d-%d-%d %d:%d %7s", &y, &mo, &d, &h, &mi, rest);
    } else {
        sscanf(text.c_str(), "%*d-%*d-%*d %*d:%*d:%*d %7s", rest);
    }
    EXPECT_GE(n, 5) << text;
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    if (rest[0] == '+' && sscanf(rest + 1, "%d", &offset) == 1) {
        return timegm(&tm) - offset * 3600;
    }
    tm.tm_isdst = -1;
    return mktime(&tm);
}

Schedule Loaded(const std::string& json) {
    Json::Value root;
    EXPECT_TRUE(LoadJsonFromString(json, root)) << json;
    Schedule s;
    std::vector<std::string> problems;
    EXPECT_TRUE(s.Load(root, "schedule.json", problems)) << json;
    EXPECT_TRUE(problems.empty()) << problems.front();
    return s;
}

// One entry of playlist "show" with these extra keys.
Schedule OneEntry(const std::string& keys) {
    return Loaded(R"({"schedule": [{"playlist": "show", )" + keys + "}]}");
}

std::string Text(const ScheduleWindow& w) {
    if (w.entry < 0) {
        return "none";
    }
    return std::to_string(w.entry) + ": " + Schedule::LocalText(w.start) + " to " +
           Schedule::LocalText(w.end);
}

// Every test runs in Berlin's time zone, whatever the machine's is. Without the
// zone files the same rules, written out, give the same 2026.
class ScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        m_hadTz = tz != nullptr;
        m_tz = tz ? tz : "";
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        if (At("2026-01-15 12:00") != At("2026-01-15 12:00 +01") ||
            At("2026-07-15 12:00") != At("2026-07-15 12:00 +02")) {
            setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
            tzset();
        }
        ASSERT_EQ(At("2026-07-15 12:00"), At("2026-07-15 12:00 +02"));
    }
    void TearDown() override {
        if (m_hadTz) {
            setenv("TZ", m_tz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_hadTz = false;
    std::string m_tz;
};

TEST_F(ScheduleTest, DayKindsAcrossAWeek) {
    // 2026-06-01 is a Monday; each pattern reads Monday to Sunday.
    const struct {
        const char* days;
        const char* pattern;
    } kinds[] = {{R"("everyday")", "1111111"},
                 {R"("weekdays")", "1111100"},
                 {R"("weekends")", "0000011"},
                 {R"(["mon", "Friday", "SUNDAY"])", "1000101"}};
    auto day = [](int offset, const char* time) {
        char buf[32];
        snprintf(buf, sizeof buf, "2026-06-%02d %s", 1 + offset, time);
        return std::string(buf);
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.days);
        const Schedule s = OneEntry(std::string(R"("days": )") + kind.days +
                                    R"(, "startTime": "10:00", "endTime": "14:00")");
        ASSERT_EQ(s.Entries().size(), 1u);
        // days[] counts from Sunday, the pattern from Monday.
        for (int wday = 0; wday < 7; wday++) {
            EXPECT_EQ(s.Entries()[0].days[wday], kind.pattern[(wday + 6) % 7] == '1') << wday;
        }
        for (int i = 0; i < 7; i++) {
            SCOPED_TRACE(day(i, ""));
            const bool on = kind.pattern[i] == '1';
            const ScheduleWindow w = s.Current(At(day(i, "12:00")));
            EXPECT_EQ(w.entry, on ? 0 : -1);
            if (on) {
                EXPECT_EQ(w.start, At(day(i, "10:00")));
                EXPECT_EQ(w.end, At(day(i, "14:00")));
            }
            EXPECT_EQ(s.Current(At(day(i, "10:00"))).entry, on ? 0 : -1);
            EXPECT_EQ(s.Current(At(day(i, "09:59:59"))).entry, -1);
            EXPECT_EQ(s.Current(At(day(i, "14:00"))).entry, -1) << "the end is not inside";
            int next = i + 1;
            while (kind.pattern[next % 7] != '1') {
                next++;
            }
            const ScheduleWindow n = s.Next(At(day(i, "12:00")));
            EXPECT_EQ(Text(n), "0: " + day(next, "10:00:00") + " to " + day(next, "14:00:00"));
            if (on) {
                EXPECT_EQ(s.Next(At(day(i, "09:59:59"))).start, At(day(i, "10:00")));
                EXPECT_EQ(s.Next(At(day(i, "10:00"))).start, At(day(next, "10:00"))) << "strictly after";
            }
        }
    }
}

TEST_F(ScheduleTest, WindowsCrossingMidnightBelongToTheDayTheyStart) {
    const Schedule every = OneEntry(R"("startTime": "22:00", "endTime": "02:00")");
    EXPECT_EQ(Text(every.Current(At("2026-06-03 01:00"))), "0: 2026-06-02 22:00:00 to 2026-06-03 02:00:00");
    EXPECT_EQ(every.Current(At("2026-06-03 02:00")).entry, -1);
    EXPECT_EQ(every.Current(At("2026-06-03 21:59:59")).entry, -1);
    EXPECT_EQ(Text(every.Current(At("2026-06-03 23:00"))), "0: 2026-06-03 22:00:00 to 2026-06-04 02:00:00");
    EXPECT_EQ(Text(every.Next(At("2026-06-03 01:00"))), "0: 2026-06-03 22:00:00 to 2026-06-04 02:00:00");

    // Friday 2026-06-05's window runs into Saturday; Sunday night has none.
    const Schedule weekdays = OneEntry(R"("days": "weekdays", "startTime": "22:00", "endTime": "02:00")");
    EXPECT_EQ(Text(weekdays.Current(At("2026-06-06 01:30"))),
              "0: 2026-06-05 22:00:00 to 2026-06-06 02:00:00");
    EXPECT_EQ(weekdays.Current(At("2026-06-06 23:00")).entry, -1);
    EXPECT_EQ(weekdays.Current(At("2026-06-07 01:00")).entry, -1);
    EXPECT_EQ(weekdays.Current(At("2026-06-08 01:00")).entry, -1);
    EXPECT_EQ(Text(weekdays.Current(At("2026-06-09 01:00"))),
              "0: 2026-06-08 22:00:00 to 2026-06-09 02:00:00");
    EXPECT_EQ(Text(weekdays.Next(At("2026-06-06 01:30"))), "0: 2026-06-08 22:00:00 to 2026-06-09 02:00:00");

    // "24:00" ends at the next midnight, and belongs to the day before it.
    const Schedule late = OneEntry(R"("days": ["sat"], "startTime": "20:00", "endTime": "24:00")");
    EXPECT_EQ(Text(late.Current(At("2026-06-06 23:59:59"))), "0: 2026-06-06 20:00:00 to 2026-06-07 00:00:00");
    EXPECT_EQ(late.Current(At("2026-06-07 00:00")).entry, -1);
}

TEST_F(ScheduleTest, DateRanges) {
    // Every year from 20 December to 6 January, across the year end.
    const Schedule winter =
        OneEntry(R"("startDate": "12-20", "endDate": "01-06", "startTime": "18:00", "endTime": "20:00")");
    const struct {
        const char* date;
        bool on;
    } days[] = {{"2026-12-19", false}, {"2026-12-20", true}, {"2026-12-31", true},
                {"2027-01-01", true},  {"2027-01-06", true}, {"2027-01-07", false}};
    for (const auto& d : days) {
        EXPECT_EQ(winter.Current(At(std::string(d.date) + " 19:00")).entry, d.on ? 0 : -1) << d.date;
    }
    EXPECT_EQ(Text(winter.Next(At("2026-07-01 12:00"))), "0: 2026-12-20 18:00:00 to 2026-12-20 20:00:00");
    EXPECT_EQ(Text(winter.Next(At("2027-01-06 19:00"))), "0: 2027-12-20 18:00:00 to 2027-12-20 20:00:00");

    // Three fixed days; the last day's window runs past its end into 4 August.
    const Schedule august = OneEntry(
        R"("startDate": "2026-08-01", "endDate": "2026-08-03", "startTime": "22:00", "endTime": "01:00")");
    EXPECT_EQ(Text(august.Next(At("2026-06-01 12:00"))), "0: 2026-08-01 22:00:00 to 2026-08-02 01:00:00");
    EXPECT_EQ(august.Current(At("2026-07-31 22:30")).entry, -1);
    EXPECT_EQ(Text(august.Current(At("2026-08-04 00:30"))), "0: 2026-08-03 22:00:00 to 2026-08-04 01:00:00");
    EXPECT_EQ(august.Current(At("2026-08-04 22:30")).entry, -1);
    EXPECT_EQ(august.Next(At("2026-08-03 23:00")).entry, -1) << "no window after the range";
}

// Scans Current minute by minute from noon the day before `day` to past the day
// after it and returns how often each window was entered, by start, and the
// minutes inside windows that start on `day`.
std::map<time_t, int> Entered(const Schedule& s, const std::string& day, int& minutesOnDay) {
    std::map<time_t, int> entered;
    minutesOnDay = 0;
    const time_t from = At(day + " 00:00") - 12 * 3600;
    const time_t to = At(day + " 00:00") + 50 * 3600;
    ScheduleWindow last;
    for (time_t t = from; t < to; t += 60) {
        const ScheduleWindow w = s.Current(t);
        if (w.entry >= 0 && (last.entry < 0 || last.start != w.start)) {
            entered[w.start]++;
        }
        if (w.entry >= 0 && Schedule::LocalText(w.start).compare(0, 10, day) == 0) {
            minutesOnDay++;
        }
        last = w;
    }
    return entered;
}

TEST_F(ScheduleTest, ClockChangesNeitherSkipNorDoubleAWindow) {
    // 2026-03-29: 02:00 CET jumps to 03:00 CEST. 2026-10-25: 03:00 CEST falls back
    // to 02:00 CET, so 02:00 to 03:00 reads twice.
    const struct {
        const char* day;
        const char* times;
        const char* start; // with the offset in force
        int seconds;       // real length
    } cases[] = {
        {"2026-03-29", R"("startTime": "01:00", "endTime": "04:00")", "2026-03-29 01:00 +01", 2 * 3600},
        {"2026-03-29", R"("startTime": "02:30", "endTime": "04:00")", "2026-03-29 03:00 +02", 3600},
        {"2026-03-29", R"("startTime": "02:10", "endTime": "02:50")", "2026-03-29 03:00 +02", 40 * 60},
        {"2026-03-28", R"("startTime": "23:00", "endTime": "02:30")", "2026-03-28 23:00 +01", 3 * 3600},
        {"2026-10-25", R"("startTime": "01:00", "endTime": "04:00")", "2026-10-25 01:00 +02", 4 * 3600},
        {"2026-10-25", R"("startTime": "02:30", "endTime": "05:00")", "2026-10-25 02:30 +02",
         3 * 3600 + 1800},
        {"2026-10-25", R"("startTime": "02:00", "endTime": "02:45")", "2026-10-25 02:00 +02", 45 * 60},
        {"2026-10-24", R"("startTime": "23:00", "endTime": "02:30")", "2026-10-24 23:00 +02",
         3 * 3600 + 1800},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.day) + " " + c.times);
        const Schedule s = OneEntry(c.times);
        const ScheduleWindow w = s.Current(At(c.start));
        ASSERT_EQ(w.entry, 0);
        EXPECT_EQ(w.start, At(c.start));
        EXPECT_EQ(w.end - w.start, c.seconds);
        EXPECT_EQ(s.Current(w.start - 1).entry, -1) << "nothing begins before the start";
        int minutesOnDay = 0;
        const std::map<time_t, int> entered = Entered(s, c.day, minutesOnDay);
        int startsOnDay = 0;
        for (const auto& e : entered) {
            EXPECT_EQ(e.second, 1) << "entered twice: " << Schedule::LocalText(e.first);
            startsOnDay += Schedule::LocalText(e.first).compare(0, 10, c.day) == 0;
        }
        EXPECT_EQ(startsOnDay, 1);
        EXPECT_EQ(entered.count(w.start), 1u);
        EXPECT_EQ(entered.count(s.Next(w.start).start), 1u) << "the next day's window follows";
        EXPECT_EQ(minutesOnDay * 60, c.seconds);
    }

    // The repeated hour starts nothing a second time: after the first 02:00 to
    // 02:45, the next window is the following night's.
    const Schedule repeated = OneEntry(R"("startTime": "02:00", "endTime": "02:45")");
    EXPECT_EQ(repeated.Current(At("2026-10-25 02:10 +01")).entry, -1);
    EXPECT_EQ(repeated.Next(At("2026-10-25 02:50 +02")).start, At("2026-10-26 02:00"));
    const Schedule skipped = OneEntry(R"("startTime": "02:30", "endTime": "04:00")");
    EXPECT_EQ(skipped.Next(At("2026-03-29 00:00")).start, At("2026-03-29 03:00 +02"));
}

TEST_F(ScheduleTest, TheFirstEnabledEntryWins) {
    const Schedule s = Loaded(R"({"schedule": [
        {"enabled": false, "playlist": "off", "startTime": "17:00", "endTime": "23:00"},
        {"playlist": "inner", "startTime": "19:00", "endTime": "21:00"},
        {"playlist": "outer", "startTime": "18:00", "endTime": "22:00"},
        {"playlist": "tied", "startTime": "18:00", "endTime": "19:30"}]})");
    ASSERT_EQ(s.Entries().size(), 4u);
    EXPECT_FALSE(s.Entries()[0].enabled);
    EXPECT_EQ(s.Current(At("2026-06-01 17:30")).entry, -1) << "a disabled entry plays nothing";
    EXPECT_EQ(Text(s.Current(At("2026-06-01 18:30"))), "2: 2026-06-01 18:00:00 to 2026-06-01 22:00:00");
    EXPECT_EQ(Text(s.Current(At("2026-06-01 19:15"))), "1: 2026-06-01 19:00:00 to 2026-06-01 21:00:00");
    EXPECT_EQ(Text(s.Current(At("2026-06-01 21:30"))), "2: 2026-06-01 18:00:00 to 2026-06-01 22:00:00");
    EXPECT_EQ(Text(s.Next(At("2026-06-01 17:00"))), "2: 2026-06-01 18:00:00 to 2026-06-01 22:00:00");
    EXPECT_EQ(Text(s.Next(At("2026-06-01 18:30"))), "1: 2026-06-01 19:00:00 to 2026-06-01 21:00:00");

    const Schedule none = Loaded(R"({"schedule": [
        {"enabled": false, "playlist": "off", "startTime": "17:00", "endTime": "23:00"}]})");
    EXPECT_EQ(none.Current(At("2026-06-01 18:00")).entry, -1);
    EXPECT_EQ(none.Next(At("2026-06-01 12:00")).entry, -1);
}

TEST_F(ScheduleTest, LoadReportsEveryProblemAtOnce) {
    Json::Value root;
    ASSERT_TRUE(LoadJsonFromString(R"({"schedule": [
        {"playlist": "evening", "startTime": "17:00", "endTime": "22:00"},
        {"playlist": "a", "startTime": "25:00", "endTime": "17:60"},
        {"playlist": "b", "days": ["mon", "funday"], "startTime": "5pm", "endTime": "18:00"},
        {"playlist": "c", "startTime": "18:00", "endTime": "18:00:00"},
        {"startTime": "18:00", "endTime": "19:00", "stopType": "sometime"},
        {"playlist": "d", "startDate": "2026-05-10", "endDate": "2026-05-01", "startTime": "18:00", "endTime": "19:00"},
        {"enabled": "yes", "playlist": "e", "startDate": "12-01", "startTime": "24:00", "endTime": "19:00"},
        {"enabled": false, "playlist": "late", "days": "weekends", "startDate": "12-01", "endDate": "01-06",
         "startTime": "20:15:30", "endTime": "24:00", "repeat": false, "stopType": "graceful after the loop"},
        {"playlist": "now", "days": ["saturday"], "startTime": "9:00", "endTime": "10:00", "stopType": "now"},
        {"playlist": "loop", "startTime": "23:00", "endTime": "01:00", "stopType": "gracefulLoop"},
        42]})",
                                   root));
    Schedule s;
    std::vector<std::string> problems = {"an earlier problem"};
    EXPECT_FALSE(s.Load(root, "media/config/schedule.json", problems));
    const struct {
        int entry;
        const char* key; // "" for the entry itself
        const char* words;
    } expected[] = {
        {2, "startTime", "\"25:00\""},
        {2, "endTime", "\"17:60\""},
        {3, "days", "\"funday\""},
        {3, "startTime", "\"5pm\""},
        {4, "endTime", "empty"},
        {5, "playlist", "missing"},
        {5, "stopType", "\"sometime\""},
        {6, "endDate", "before startDate 2026-05-10"},
        {7, "enabled", "true or false"},
        {7, "endDate", "missing"},
        {7, "startTime", "24:00 ends a day"},
        {11, "", "must be an object"},
    };
    ASSERT_EQ(problems.size(), 1 + sizeof expected / sizeof expected[0]);
    EXPECT_EQ(problems[0], "an earlier problem");
    for (size_t i = 0; i < sizeof expected / sizeof expected[0]; i++) {
        const auto& e = expected[i];
        const std::string prefix = "media/config/schedule.json: entry " + std::to_string(e.entry) + ": " +
                                   (*e.key ? std::string("\"") + e.key + "\": " : std::string());
        const std::string& p = problems[i + 1];
        EXPECT_EQ(p.compare(0, prefix.size(), prefix), 0) << p << "\nexpected to start with " << prefix;
        EXPECT_NE(p.find(e.words), std::string::npos) << p << "\nexpected to contain " << e.words;
    }

    // The good entries load, defaults and all.
    ASSERT_EQ(s.Entries().size(), 4u);
    const ScheduleEntry& evening = s.Entries()[0];
    EXPECT_EQ(evening.playlist, "evening");
    EXPECT_TRUE(evening.enabled);
    EXPECT_TRUE(evening.repeat);
    EXPECT_EQ(evening.stop, ScheduleStop::Graceful);
    EXPECT_EQ(evening.days, std::vector<bool>(7, true));
    EXPECT_EQ(evening.startSecond, 17 * 3600);
    EXPECT_EQ(evening.endSecond, 22 * 3600);
    const ScheduleEntry& late = s.Entries()[1];
    EXPECT_EQ(late.playlist, "late");
    EXPECT_FALSE(late.enabled);
    EXPECT_FALSE(late.repeat);
    EXPECT_EQ(late.stop, ScheduleStop::GracefulAfterLoop);
    EXPECT_EQ(late.days, std::vector<bool>({true, false, false, false, false, false, true}));
    EXPECT_EQ(late.startSecond, 20 * 3600 + 15 * 60 + 30);
    EXPECT_EQ(late.endSecond, 86400);
    EXPECT_TRUE(late.StartsOn(2026, 12, 5, 6));
    EXPECT_TRUE(late.StartsOn(2027, 1, 3, 0));
    EXPECT_FALSE(late.StartsOn(2027, 1, 9, 6));
    EXPECT_EQ(s.Entries()[2].stop, ScheduleStop::Now);
    EXPECT_EQ(s.Entries()[2].days, std::vector<bool>({false, false, false, false, false, false, true}));
    EXPECT_EQ(s.Entries()[2].startSecond, 9 * 3600);
    EXPECT_EQ(s.Entries()[3].stop, ScheduleStop::GracefulAfterLoop);

    // From files: missing is an empty schedule, broken JSON one problem naming the
    // file, and each load replaces what was there.
    TempDir dir;
    problems.clear();
    EXPECT_TRUE(s.LoadFile(dir.file("schedule.json"), problems));
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(s.Entries().empty());
    writeFileBytes(dir.file("schedule.json"), R"({"schedule": [{"playlist": "x", )");
    EXPECT_FALSE(s.LoadFile(dir.file("schedule.json"), problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].compare(0, dir.file("schedule.json").size() + 2, dir.file("schedule.json") + ": "),
              0)
        << problems[0];
    problems.clear();
    writeFileBytes(dir.file("schedule.json"), R"({"schedule": []})");
    EXPECT_TRUE(s.LoadFile(dir.file("schedule.json"), problems));
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(s.Entries().empty());
}

} // namespace
