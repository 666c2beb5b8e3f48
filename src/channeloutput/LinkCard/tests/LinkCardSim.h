// A simulated receiver card, for tests and for trying the output without
// hardware: on one network interface (the far end of a veth pair) it answers
// discovery as N cards with given firmware versions, records every frame the
// output sends (brightness, row and display frames), and reassembles the picture
// each display frame shows. Used in-process by the tests and by linkcard_sim.
#pragma once

#include "LinkCardProtocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct SimCard {
    int major = 12;
    int minor = 0;
    int cabinetWidth = 128;
    int cabinetHeight = 64;
    uint32_t uptime = 123456;
    uint32_t packets = 7890;
};

class ReceiverCardSim {
public:
    // Pictures kept; later ones replace the oldest (the count goes on).
    static const size_t KEEP_PICTURES = 64;

    ~ReceiverCardSim() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }

    // Listens on `ifName` in the calling thread's network namespace. False with
    // the reason in `error`.
    bool Open(const std::string& ifName, std::string& error) {
        m_fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
        if (m_fd < 0) {
            error = std::string("raw socket: ") + strerror(errno);
            return false;
        }
        struct sockaddr_ll a;
        memset(&a, 0, sizeof(a));
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_ALL);
        a.sll_ifindex = (int)if_nametoindex(ifName.c_str());
        if (a.sll_ifindex == 0) {
            error = "no interface " + ifName + ": " + strerror(errno);
            return false;
        }
        if (bind(m_fd, (struct sockaddr*)&a, sizeof(a)) < 0) {
            error = "bind to " + ifName + ": " + strerror(errno);
            return false;
        }
        int size = 8 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        return true;
    }

    void SetCards(const std::vector<SimCard>& cards) { m_cards = cards; }
    // Keep every frame received (for byte-exact checks); off, only counts.
    void SetKeepFrames(bool keep) { m_keepFrames = keep; }

    // Handles the frames that arrive within `timeoutMs`; returns how many.
    int Poll(int timeoutMs) {
        int handled = 0;
        struct pollfd p = {m_fd, POLLIN, 0};
        while (poll(&p, 1, handled ? 0 : timeoutMs) > 0) {
            uint8_t frame[9000];
            struct sockaddr_ll from;
            socklen_t fromLen = sizeof(from);
            ssize_t len = recvfrom(m_fd, frame, sizeof(frame), 0, (struct sockaddr*)&from, &fromLen);
            if (len <= 0) {
                break;
            }
            if (from.sll_pkttype == PACKET_OUTGOING) {
                continue; // our own answers
            }
            handle(frame, (size_t)len);
            handled++;
        }
        return handled;
    }

    // Sends `count` frames of the discovery answers' EtherType that are no answer
    // (too short): a host that keeps sending them must not hold discovery.
    void SendNoise(int count) {
        uint8_t frame[64];
        memset(frame, 0, sizeof(frame));
        memcpy(frame, linkcard::SRC_MAC, 6);
        memcpy(frame + 6, linkcard::DEST_MAC, 6);
        frame[12] = 0x08;
        frame[13] = 0x05;
        for (int i = 0; i < count; i++) {
            send(m_fd, frame, sizeof(frame), 0);
        }
    }

    // Every frame of the output, in order of arrival (SetKeepFrames).
    std::vector<std::vector<uint8_t>> frames;
    int brightnessFrames = 0;
    int displayFrames = 0;
    int rowPackets = 0;
    int otherFrames = 0;
    uint8_t lastBrightness = 0;
    std::map<int, int> requests; // discovery requests per index asked
    int pictureCount = 0;
    // The rows shown at each display frame, row after row, each as long as the
    // longest row seen; the latest last.
    std::vector<std::vector<uint8_t>> pictures;
    int pictureRows = 0;
    int pictureRowSize = 0;

    // The rows as they stand.
    std::vector<uint8_t> CurrentPicture() const {
        std::vector<uint8_t> p((size_t)pictureRowsNow() * rowSizeNow(), 0);
        for (auto& r : m_rows) {
            memcpy(p.data() + (size_t)r.first * rowSizeNow(), r.second.data(), r.second.size());
        }
        return p;
    }

private:
    int rowSizeNow() const {
        size_t m = 0;
        for (auto& r : m_rows) {
            m = std::max(m, r.second.size());
        }
        return (int)m;
    }
    int pictureRowsNow() const { return m_rows.empty() ? 0 : m_rows.rbegin()->first + 1; }

    void handle(const uint8_t* f, size_t len) {
        if (len < 14 || memcmp(f, linkcard::DEST_MAC, 6) != 0 || memcmp(f + 6, linkcard::SRC_MAC, 6) != 0) {
            otherFrames++;
            return;
        }
        if (m_keepFrames) {
            frames.emplace_back(f, f + len);
        }
        switch (f[12]) {
        case linkcard::TYPE_BRIGHTNESS:
            brightnessFrames++;
            lastBrightness = f[13];
            break;
        case linkcard::TYPE_ROW: {
            if (len < (size_t)linkcard::ROW_HEADER_SIZE) {
                otherFrames++;
                return;
            }
            rowPackets++;
            int row = (f[13] << 8) | f[14];
            size_t offset = (size_t)((f[15] << 8) | f[16]) * 3;
            size_t count = (size_t)((f[17] << 8) | f[18]) * 3;
            count = std::min(count, len - linkcard::ROW_HEADER_SIZE);
            std::vector<uint8_t>& r = m_rows[row];
            if (r.size() < offset + count) {
                r.resize(offset + count, 0);
            }
            memcpy(r.data() + offset, f + linkcard::ROW_HEADER_SIZE, count);
            break;
        }
        case linkcard::TYPE_DISPLAY:
            displayFrames++;
            pictureCount++;
            pictureRows = pictureRowsNow();
            pictureRowSize = rowSizeNow();
            if (pictures.size() >= KEEP_PICTURES) {
                pictures.erase(pictures.begin());
            }
            pictures.push_back(CurrentPicture());
            break;
        case linkcard::TYPE_DISCOVERY_REQUEST:
            if (len >= 17) {
                requests[f[16]]++;
                answer(f[16]);
            }
            break;
        default:
            otherFrames++;
            break;
        }
    }

    void answer(int index) {
        if (index >= (int)m_cards.size()) {
            return;
        }
        const SimCard& c = m_cards[index];
        uint8_t r[linkcard::DISCOVERY_RESPONSE_BUFFER];
        memset(r, 0, sizeof(r));
        memcpy(r, linkcard::SRC_MAC, 6);
        memcpy(r + 6, linkcard::DEST_MAC, 6);
        r[12] = linkcard::TYPE_DISCOVERY_RESPONSE;
        r[13] = 0x05;
        r[15] = (uint8_t)c.major;
        r[16] = (uint8_t)c.minor;
        r[34] = (uint8_t)(c.cabinetWidth >> 8);
        r[35] = (uint8_t)c.cabinetWidth;
        r[36] = (uint8_t)(c.cabinetHeight >> 8);
        r[37] = (uint8_t)c.cabinetHeight;
        for (int i = 0; i < 4; i++) {
            r[51 + i] = (uint8_t)(c.packets >> (24 - 8 * i));
            r[59 + i] = (uint8_t)(c.uptime >> (24 - 8 * i));
        }
        r[98] = (uint8_t)index;
        send(m_fd, r, sizeof(r), 0);
    }

    int m_fd = -1;
    bool m_keepFrames = false;
    std::vector<SimCard> m_cards;
    std::map<int, std::vector<uint8_t>> m_rows;
};
