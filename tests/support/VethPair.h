// A veth pair for tests: the near end in the test's own network
// namespace (or in another one named), the cards' end in a namespace made for the
// test, both removed again when the object goes (also when the test fails). Needs
// root (CAP_NET_ADMIN).
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

// A shell command, its output (standard error too) into `output`; the exit status.
inline int runCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) {
        output = strerror(errno);
        return -1;
    }
    char buf[256];
    while (fgets(buf, sizeof(buf), p)) {
        output += buf;
    }
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `f` with the calling thread in the named network namespace (sockets made
// there stay there), then returns the thread to its own; false when it could not enter.
template <typename F> bool inNetworkNamespace(const std::string& ns, F f) {
    int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = self >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (entered) {
        f();
        setns(self, CLONE_NEWNET);
    }
    if (self >= 0) {
        close(self);
    }
    if (target >= 0) {
        close(target);
    }
    return entered;
}

class VethPair {
public:
    // Names carry the process id and a counter, so parallel tests never meet.
    // `nearNs`: the namespace (of `ip netns`) the near end is made in; "": the test's own.
    explicit VethPair(const std::string& nearNs = "")
        : m_near(nearNs.empty() ? "ip " : "ip -n " + nearNs + " ") {
        static std::atomic<int> counter{0};
        int n = counter++;
        std::string id = std::to_string(getpid() % 100000) + "x" + std::to_string(n);
        ns = "tvlc" + id;
        host = "tvh" + id; // at most 15 characters
        card = "tvc" + id;
        if (geteuid() != 0) {
            m_reason = "creating a network namespace and a veth pair needs root";
            return;
        }
        if (run("ip netns add " + ns) != 0) {
            m_reason = "'ip netns add' failed (is iproute2 installed? " + m_output + ")";
            return;
        }
        m_nsMade = true;
        m_ok = Add();
    }
    ~VethPair() {
        if (m_linkMade) {
            run(m_near + "link del " + host);
        }
        if (m_nsMade) {
            run("ip netns del " + ns);
        }
    }
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;

    bool ok() const { return m_ok; }
    // Why the pair could not be made: for GTEST_SKIP.
    const std::string& reason() const { return m_reason; }

    // Each returns once the host end's operational state shows the change: the
    // kernel publishes it some time after the link is set (up to a second).
    bool SetHostUp(bool up) {
        m_hostUp = up;
        return run(m_near + "link set " + host + (up ? " up" : " down")) == 0 && waitForOperstate();
    }
    bool SetCardUp(bool up) {
        m_cardUp = up;
        return run("ip -n " + ns + " link set " + card + (up ? " up" : " down")) == 0 && waitForOperstate();
    }

    // Removes the pair (both ends go), as when an adapter is unplugged or its
    // driver unloaded.
    bool Remove() {
        if (run(m_near + "link del " + host) != 0) {
            return false;
        }
        m_linkMade = false;
        return true;
    }
    // Makes the pair (again) under the same names, both ends up; made again, the
    // ends have new interface indexes. False with the reason kept for reason().
    bool Add() {
        if (run(m_near + "link add " + host + " type veth peer name " + card + " netns " + ns) != 0) {
            m_reason = "'ip link add ... type veth' failed: " + m_output;
            return false;
        }
        m_linkMade = true;
        m_hostUp = m_cardUp = true;
        if (run(m_near + "link set " + host + " up") != 0 ||
            run("ip -n " + ns + " link set " + card + " up") != 0) {
            m_reason = "cannot bring the veth pair up: " + m_output;
            return false;
        }
        if (!waitForOperstate()) {
            m_reason = "the veth pair did not come up";
            return false;
        }
        return true;
    }

    // Runs `f` with the calling thread in the cards' namespace (sockets made there
    // stay there), then returns the thread to its own.
    template <typename F> bool InCardNamespace(F f) { return inNetworkNamespace(ns, f); }

    // Gives the pair a link-local /30 of this process's own (gone with the pair) and
    // brings up the far namespace's loopback; `peer` is the far end's address.
    bool AddLinkLocalAddresses(std::string& peer) {
        std::string net = "169.254." + std::to_string(20 + getpid() % 200) + ".";
        peer = net + "2";
        return run(m_near + "addr add " + net + "1/30 dev " + host) == 0 &&
               run("ip -n " + ns + " addr add " + peer + "/30 dev " + card) == 0 &&
               run("ip -n " + ns + " link set lo up") == 0;
    }

    // A shell command; its output is kept for the messages above.
    int run(const std::string& command) { return runCommand(command, m_output); }

    std::string ns;
    std::string host;
    std::string card;

private:
    // Waits (up to 3 s) until the host end's operstate is "up" exactly when both ends are up.
    bool waitForOperstate() {
        bool wantUp = m_hostUp && m_cardUp;
        for (int i = 0; i < 300; i++) {
            if (hostOperUp() == wantUp) {
                return true;
            }
            usleep(10 * 1000);
        }
        return false;
    }

    // /sys shows the namespace it was mounted in: a near end elsewhere is asked of ip.
    bool hostOperUp() {
        if (m_near != "ip ") {
            std::string out;
            return runCommand(m_near + "-o link show dev " + host, out) == 0 &&
                   out.find(" state UP ") != std::string::npos;
        }
        char state[32] = {0};
        FILE* f = fopen(("/sys/class/net/" + host + "/operstate").c_str(), "r");
        if (f) {
            if (!fgets(state, sizeof(state), f)) {
                state[0] = 0;
            }
            fclose(f);
        }
        return strncmp(state, "up", 2) == 0;
    }

    const std::string m_near; // "ip " or "ip -n NAMESPACE ": commands for the near end
    bool m_hostUp = true;
    bool m_cardUp = true;
    bool m_ok = false;
    bool m_nsMade = false;
    bool m_linkMade = false;
    std::string m_reason;
    std::string m_output;
};
