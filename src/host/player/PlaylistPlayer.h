// Plays a playlist entry by entry: the lead-in once, the main section as many passes
// as asked (in a new random order each pass if the playlist says so), then the
// lead-out, and idle. It is driven from the daemon's main loop (Tick) and acts
// through a PlaylistHost, so it holds no thread and no engine of its own.
//
// Stopping: StopGracefully lets the entry playing finish and then plays the
// lead-out; StopAfterLoop does so at the end of the main section's pass; StopNow
// stops at once, without the lead-out. Next and Previous move within the section.
#pragma once

#include "Playlist.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <json/json.h>

// What the player needs of the daemon.
class PlaylistHost {
public:
    virtual ~PlaylistHost() {}
    // Starts a sequence (the previous one, if any, ends); false with `error` set.
    // `again`: a later pass of the main section, said in the log once only.
    virtual bool StartSequence(const std::string& name, int startSecond, std::string& error, bool again) = 0;
    virtual bool SequenceRunning() = 0;
    // Stops the running sequence, if any. `blank`: the outputs go dark (otherwise
    // the next entry follows at once).
    virtual void StopSequence(bool blank) = 0;
    virtual void RunCommand(const Json::Value& command) = 0;
    // Whether one sequence follows another without a blank: true while a playlist plays.
    virtual void SetPlaying(bool playing) = 0;
    // Milliseconds of a clock that never steps back.
    virtual int64_t NowMS() = 0;
};

class PlaylistPlayer {
public:
    enum Section { IDLE, LEAD_IN, MAIN, LEAD_OUT };

    explicit PlaylistPlayer(PlaylistHost& host) : m_host(host) {}

    // Starts `playlist` from its first entry, replacing what plays. `repeat`: passes
    // of the main section, 0 for until stopped, -1 for what the playlist says.
    void Start(const Playlist& playlist, int repeat = -1);
    void StopGracefully();
    void StopAfterLoop();
    void StopNow();
    // Forgets the playlist without touching the sequence: something started by hand
    // (a sequence, from the control page or a command) takes over.
    void Abandon();
    void Next();
    void Previous();
    // Advances when the entry playing is done; on the main loop.
    void Tick();

    bool Active() const { return m_section != IDLE; }
    const std::string& PlaylistName() const { return m_playlist.name; }
    // {"playlist", "section" ("leadIn", "mainPlaylist", "leadOut" or "idle"),
    //  "entry" (from 1), "entries", "description", "pass", "passes" (0: until
    //  stopped), "stopping" ("", "graceful", "afterLoop"), "secondsLeft" (of a pause)}.
    Json::Value Status() const;

private:
    std::vector<PlaylistEntry>& entries(Section s);
    // Starts entry m_index of m_section, or moves on to what follows, until
    // something plays or the playlist has ended.
    void startEntry();
    // The entry playing is done: on to the next one, the next section or the end.
    void advance();
    void enterSection(Section s);
    // The end of a section: the next section, another pass, or the end.
    void sectionDone();
    void finish();

    PlaylistHost& m_host;
    Playlist m_playlist;
    Section m_section = IDLE;
    size_t m_index = 0;
    int m_pass = 1;
    int m_passes = 1;
    enum Stopping { NOT_STOPPING, GRACEFUL, AFTER_LOOP } m_stopping = NOT_STOPPING;
    bool m_entryPlaying = false;   // a sequence or a pause of the entry is under way
    bool m_playedThisPass = false; // a sequence or a pause of the main section ran this pass
    int m_generation = 0;          // changes when the playlist is started or stopped
    int64_t m_pauseEndMS = 0;
    std::vector<PlaylistEntry> m_order; // the main section in this pass's order
    std::mt19937 m_random{std::random_device{}()};
};
