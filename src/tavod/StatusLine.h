// One line at the bottom of the terminal that shows how the show is going, redrawn a
// few times a second; log lines are printed above it instead of through it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

class StatusLine {
public:
    using TextFunction = std::function<std::string()>;

    StatusLine() = default;
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Starts showing the line on `out` when it is a terminal (and not `quiet`);
    // returns whether it is shown. While it is, log lines for standard error are
    // printed by it, so they do not break the line.
    bool Begin(FILE* out, bool quiet, TextFunction text);
    // Redraws when the last redraw is at least `intervalMs` old. Call it often.
    void Tick(int intervalMs = 250);
    // Removes the line and gives standard error back to the logger.
    void End();
    bool Active() const { return m_active; }

    // The text of a status line from its parts, for the daemon and the tests.
    static std::string Format(const std::string& sequence, int elapsedMs, int totalMs, int frame,
                              int frameCount, long long lateFrames);

private:
    void draw(); // m_lock held

    bool m_active = false;
    FILE* m_out = nullptr;
    TextFunction m_text;
    int m_sinkId = 0;
    int64_t m_lastDraw = 0;
    std::mutex m_lock;   // guards m_shown and writes to m_out and stderr
    std::string m_shown; // the text now on the line
};
