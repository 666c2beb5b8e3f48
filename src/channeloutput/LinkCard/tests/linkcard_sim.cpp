// linkcard_sim: a simulated receiver card on a network interface, for tests and
// for trying the LinkCard output without hardware (see the folder's README).
//
//   linkcard_sim --interface IF [--cards 12.1,13.0] [--out DIR] [--noise]
//
// Prints "ready" once it listens. On SIGTERM or SIGINT it writes DIR/summary.json
// (frame counts, discovery requests per index, the picture count and size) and
// DIR/picture.rgb (the last picture shown, rows after rows), and exits 0.
#include "LinkCardSim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

int usage() {
    fprintf(stderr, "usage: linkcard_sim --interface IF [--cards MAJOR.MINOR,...] [--out DIR] [--noise]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string ifName;
    std::string out;
    std::vector<SimCard> cards;
    bool noise = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--interface" && i + 1 < argc) {
            ifName = argv[++i];
        } else if (a == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (a == "--cards" && i + 1 < argc) {
            std::string list = argv[++i];
            size_t pos = 0;
            while (pos < list.size()) {
                size_t comma = list.find(',', pos);
                std::string v =
                    list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                SimCard c;
                char* end = nullptr;
                c.major = (int)strtol(v.c_str(), &end, 10);
                c.minor = (end && *end == '.') ? (int)strtol(end + 1, nullptr, 10) : 0;
                cards.push_back(c);
                if (comma == std::string::npos) {
                    break;
                }
                pos = comma + 1;
            }
        } else if (a == "--noise") {
            noise = true;
        } else {
            return usage();
        }
    }
    if (ifName.empty()) {
        return usage();
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);

    ReceiverCardSim sim;
    std::string error;
    if (!sim.Open(ifName, error)) {
        fprintf(stderr, "linkcard_sim: %s\n", error.c_str());
        return 1;
    }
    sim.SetCards(cards);
    printf("ready\n");
    fflush(stdout);
    while (!g_stop) {
        if (noise) {
            sim.SendNoise(20);
        }
        sim.Poll(noise ? 2 : 50);
    }
    // What arrived before the signal counts too, however late this process ran.
    while (sim.Poll(0) > 0) {
    }

    if (!out.empty()) {
        FILE* f = fopen((out + "/summary.json").c_str(), "w");
        if (!f) {
            perror("linkcard_sim: summary.json");
            return 1;
        }
        fprintf(f,
                "{\"brightnessFrames\": %d, \"displayFrames\": %d, \"rowPackets\": %d, \"brightness\": %d, ",
                sim.brightnessFrames, sim.displayFrames, sim.rowPackets, sim.lastBrightness);
        fprintf(f, "\"pictures\": %d, \"rows\": %d, \"rowSize\": %d, \"requests\": {", sim.pictureCount,
                sim.pictureRows, sim.pictureRowSize);
        bool first = true;
        for (auto& r : sim.requests) {
            fprintf(f, "%s\"%d\": %d", first ? "" : ", ", r.first, r.second);
            first = false;
        }
        fprintf(f, "}}\n");
        fclose(f);
        f = fopen((out + "/picture.rgb").c_str(), "wb");
        if (f) {
            if (!sim.pictures.empty()) {
                fwrite(sim.pictures.back().data(), 1, sim.pictures.back().size(), f);
            }
            fclose(f);
        }
    }
    return 0;
}
