// The UDP socket of many boards in sync: it sends sync packets to a multicast group
// (or a list of unicast addresses, for networks without multicast) and hears the
// other boards' on a thread of its own ("Tavo-Sync").
#pragma once

#include "protocols/Sync.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace tavosync {

struct Settings {
    std::string group = protocols::sync::GROUP; // where packets go and are heard
    uint16_t port = protocols::sync::PORT;      // the port this board listens on
    std::string interface; // multicast leaves and is joined here; "": every one that takes it
    // "ADDRESS[:PORT]" each: sent to these instead of the group (a port left out is `port`).
    std::vector<std::string> unicast;
    // Runs first on the channel's thread (the daemon gives it real-time priority there).
    std::function<void()> threadStart;
};

class Channel {
public:
    // A packet from another board: its address, and the steady clock's microseconds
    // when it arrived (GetTime). On the channel's thread.
    using Handler =
        std::function<void(const protocols::sync::Packet& packet, uint32_t from, int64_t arrivedUs)>;

    Channel() = default;
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Opens the socket, joins the group (unless unicast) and starts the thread;
    // false with `error` set.
    bool Open(const Settings& settings, Handler handler, std::string& error);
    void Close();
    // Sends to every destination, numbering the packet; false when it could not go.
    bool Send(protocols::sync::Packet packet);
    uint64_t Sent() const { return m_sent; }
    uint64_t Received() const { return m_received; }
    uint64_t Refused() const { return m_refused; }
    uint32_t Id() const { return m_id; }

private:
    void run();

    Settings m_settings;
    Handler m_handler;
    int m_fd = -1;
    int m_wakeFd = -1;
    std::thread m_thread;
    std::mutex m_sendLock; // guards m_sequence and sending
    uint16_t m_sequence = 0;
    std::vector<struct sockaddr_in> m_to;
    std::vector<int> m_interfaces; // where the group is joined and sent to; empty: the routing table's choice
    uint32_t m_id = 0;             // our sender id: multicast comes back to its sender, and is dropped
    std::atomic<uint64_t> m_sent{0}, m_received{0}, m_refused{0};
};

// The indexes of the interfaces that are up and take multicast, loopback left out.
std::vector<int> MulticastInterfaces();
// "ADDRESS[:PORT]" read into `to`; false when it is neither.
bool ParseDestination(const std::string& text, uint16_t defaultPort, struct sockaddr_in& to);

} // namespace tavosync
