// A playlist of media/playlists/NAME.json: a lead-in played once, a main section
// that may repeat (in random order if asked), and a lead-out played at the end.
//
//   {"name": "evening", "repeat": true, "random": false,
//    "leadIn": [{"type": "sequence", "sequence": "intro.lcsf"}],
//    "mainPlaylist": [{"type": "sequence", "sequence": "song1.lcsf", "startSecond": 0},
//                     {"type": "pause", "seconds": 5},
//                     {"type": "command", "command": "GPIO", "args": ["P1-11", "On"]},
//                     {"type": "playlist", "playlist": "songs"}],
//    "leadOut": [{"type": "sequence", "sequence": "outro.lcsf"}]}
//
// A "playlist" entry is replaced, when loading, by the other playlist's three
// sections in order, so the player only ever sees sequences, pauses and commands.
#pragma once

#include <string>
#include <vector>

#include <json/json.h>

struct PlaylistEntry {
    enum Type { SEQUENCE, PAUSE, COMMAND };
    Type type = SEQUENCE;
    std::string sequence; // SEQUENCE: a file of the media folder's sequences/
    int startSecond = 0;  // SEQUENCE: where it starts
    int pauseMs = 0;      // PAUSE
    Json::Value command;  // COMMAND: {"command": NAME, "args": [...]}, as the command manager runs it

    // "song1.lcsf", "pause 5 s", "command GPIO": for status and logs.
    std::string Describe() const;
};

struct Playlist {
    std::string name;
    // Passes of the main section: 1 (the default, "repeat": false), N ("repeat": N),
    // or 0 for until stopped ("repeat": true).
    int repeat = 1;
    bool random = false; // the main section in a new random order each pass
    std::vector<PlaylistEntry> leadIn, main, leadOut;
};

// The playlist NAME from `dir` (NAME.json), nested playlists expanded. Every problem
// is appended as "FILE: SECTION entry N: \"KEY\" ..." (entries from 1); false when
// there was any, or when the file is missing or holds nothing to play.
bool LoadPlaylist(const std::string& dir, const std::string& name, Playlist& out,
                  std::vector<std::string>& problems);
// The names of the playlists in `dir` (NAME.json files), sorted.
std::vector<std::string> ListPlaylists(const std::string& dir);
