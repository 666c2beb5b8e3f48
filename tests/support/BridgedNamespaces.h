// Boards on one switch, for tests: a Linux bridge in a network namespace of its
// own, and for each board a namespace joined to it by a veth pair (VethPair, its
// near end a port of the bridge). The boards have addresses .1, .2, ... and the
// bridge .254 of a link-local /24, so a socket made in the bridge's namespace
// (InBridgeNamespace) hears every board. Each board knows the bridge's hardware
// address beforehand (a permanent neighbour entry): with packets dropped on the way
// to a board, a lost ARP answer would otherwise hold what it sends to the bridge
// for a second. All of it goes with the object, also when the test fails. Needs
// root (CAP_NET_ADMIN).
#pragma once

#include "VethPair.h"

#include <memory>
#include <string>
#include <vector>

class BridgedNamespaces {
public:
    explicit BridgedNamespaces(int boards) {
        static std::atomic<int> counter{0};
        ns = "tvbr" + std::to_string(getpid() % 100000) + "x" + std::to_string(counter++);
        m_net = "169.254." + std::to_string(20 + getpid() % 200) + ".";
        if (geteuid() != 0) {
            m_reason = "creating network namespaces and a bridge needs root";
            return;
        }
        if (run("ip netns add " + ns) != 0) {
            m_reason = "'ip netns add' failed (is iproute2 installed? " + m_output + ")";
            return;
        }
        m_nsMade = true;
        if (run("ip -n " + ns + " link add name br0 address " + BRIDGE_MAC + " type bridge") != 0 ||
            run("ip -n " + ns + " addr add " + BridgeAddress() + "/24 dev br0") != 0 ||
            run("ip -n " + ns + " link set br0 up") != 0 || run("ip -n " + ns + " link set lo up") != 0) {
            m_reason = "cannot make the bridge: " + m_output;
            return;
        }
        for (int i = 0; i < boards; i++) {
            m_links.push_back(std::make_unique<VethPair>(ns));
            VethPair& v = *m_links.back();
            if (!v.ok()) {
                m_reason = v.reason();
                return;
            }
            if (run("ip -n " + ns + " link set " + v.host + " master br0") != 0 ||
                run("ip -n " + v.ns + " addr add " + BoardAddress(i) + "/24 dev " + v.card) != 0 ||
                run("ip -n " + v.ns + " neigh replace " + BridgeAddress() + " lladdr " + BRIDGE_MAC +
                    " dev " + v.card + " nud permanent") != 0 ||
                run("ip -n " + v.ns + " link set lo up") != 0) {
                m_reason = "cannot join a board to the bridge: " + m_output;
                return;
            }
        }
        m_ok = true;
    }
    ~BridgedNamespaces() {
        m_links.clear();
        if (m_nsMade) {
            run("ip netns del " + ns);
        }
    }
    BridgedNamespaces(const BridgedNamespaces&) = delete;
    BridgedNamespaces& operator=(const BridgedNamespaces&) = delete;

    bool ok() const { return m_ok; }
    // Why the network could not be made: for GTEST_SKIP.
    const std::string& reason() const { return m_reason; }
    // The last command's output, for a failure's message.
    const std::string& output() const { return m_output; }

    const std::string& BoardNamespace(int board) const { return m_links[board]->ns; }
    std::string BoardAddress(int board) const { return m_net + std::to_string(board + 1); }
    std::string BridgeAddress() const { return m_net + "254"; }

    // Drops `percent` of the packets the bridge passes on to `board` (what the board
    // hears; what it sends goes through): netem where the kernel has it, else a
    // classic BPF filter on the port's egress that drops on a random number.
    bool DropOnTheWayTo(int board, int percent) {
        const std::string tc = "ip netns exec " + ns + " tc ";
        const std::string port = m_links[board]->host;
        if (run(tc + "qdisc add dev " + port + " root netem loss " + std::to_string(percent) + "%") == 0) {
            return true;
        }
        // A = random; A %= 100; A >= percent: pass (0), else drop (TC_ACT_SHOT, 2).
        const std::string program =
            "5,32 0 0 4294963256,148 0 0 100,53 1 0 " + std::to_string(percent) + ",6 0 0 2,6 0 0 0";
        return run(tc + "qdisc add dev " + port + " clsact") == 0 &&
               run(tc + "filter add dev " + port + " egress bpf da bytecode '" + program + "'") == 0;
    }
    // How many packets the port to `board` dropped so far; -1 when unknown.
    long long Dropped(int board) {
        if (run("ip netns exec " + ns + " tc -s qdisc show dev " + m_links[board]->host) != 0) {
            return -1;
        }
        long long total = 0;
        for (size_t at = m_output.find("dropped "); at != std::string::npos;
             at = m_output.find("dropped ", at + 1)) {
            total += atoll(m_output.c_str() + at + 8);
        }
        return total;
    }

    // Runs `f` with the calling thread in the bridge's namespace.
    template <typename F> bool InBridgeNamespace(F f) { return inNetworkNamespace(ns, f); }

    std::string ns; // the bridge's namespace

private:
    // Set, so that it stays what the boards were told (a bridge takes a port's otherwise).
    static constexpr const char* BRIDGE_MAC = "02:00:00:00:00:fe";

    int run(const std::string& command) { return runCommand(command, m_output); }

    std::vector<std::unique_ptr<VethPair>> m_links;
    std::string m_net;
    bool m_ok = false;
    bool m_nsMade = false;
    std::string m_reason;
    std::string m_output;
};
