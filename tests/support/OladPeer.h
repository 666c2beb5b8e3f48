// Debian's olad as a peer that receives and sends E1.31 and Art-Net: started as
// its own unprivileged user in a network namespace of the test's, with every other
// plug-in off, read back through its HTTP server (/get_dmx?u=N) and fed with
// ola_streaming_client, at a priority of the caller's.
#pragma once

#include "HttpTestClient.h"
#include "TempDir.h"

#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class OladPeer {
public:
    static constexpr int HTTP_PORT = 9090;

    // `address` is the namespace's own address, which olad binds its plug-ins to.
    OladPeer(const std::string& ns, const std::string& address) : m_ns(ns), m_address(address) {
        struct passwd* pw = getpwnam("olad");
        if (access("/usr/bin/olad", X_OK) != 0 || !pw) {
            m_reason = "Debian's ola package (olad) is not installed; scripts/install-deps.sh installs it";
            return;
        }
        writeConfig();
        if (chown(m_dir.path().c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            m_reason = "cannot hand the configuration folder to the olad user";
            return;
        }
        for (const std::string& f : m_files) {
            if (chown(f.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                m_reason = "cannot hand " + f + " to the olad user";
                return;
            }
        }
        // olad refuses to run as root.
        std::vector<std::string> argv = {"ip",
                                         "netns",
                                         "exec",
                                         ns,
                                         "setpriv",
                                         "--reuid=olad",
                                         "--regid=" + std::to_string(pw->pw_gid),
                                         "--clear-groups",
                                         "/usr/bin/olad",
                                         "-c",
                                         m_dir.path(),
                                         "-l",
                                         "1",
                                         "-p",
                                         std::to_string(HTTP_PORT),
                                         "--no-register-with-dns-sd"};
        std::vector<char*> cargs;
        for (std::string& a : argv) {
            cargs.push_back(&a[0]);
        }
        cargs.push_back(nullptr);
        std::string log = m_dir.path() + "/olad.log";
        m_pid = fork();
        if (m_pid == 0) {
            FILE* f = fopen(log.c_str(), "w");
            if (f) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            execvp(cargs[0], cargs.data());
            _exit(127);
        }
        for (int i = 0; i < 300 && !m_ok; i++) {
            m_ok = run("ip netns exec " + ns + " ola_dev_info 2>&1 | grep -q 'E1.31'") == 0 &&
                   run("ip netns exec " + ns + " ola_dev_info 2>&1 | grep -q 'ArtNet'") == 0;
            if (!m_ok) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (!m_ok) {
            m_reason = "olad did not start its E1.31 and Art-Net devices; its log: " + readLog();
        }
    }
    ~OladPeer() {
        if (m_pid > 0 && !Stop(SIGTERM, 2000)) {
            kill(m_pid, SIGKILL);
            int st;
            waitpid(m_pid, &st, 0);
        }
    }
    OladPeer(const OladPeer&) = delete;
    OladPeer& operator=(const OladPeer&) = delete;

    bool ok() const { return m_ok; }
    const std::string& reason() const { return m_reason; }

    // Receives E1.31 universe `universe` on input port `port` (0 to 7) into olad's
    // universe of the same number.
    bool ReceiveE131(int universe, int port) { return patch("E1.31", port, universe); }
    // Receives the Art-Net port-address `universe` (0 to 15: net and sub-net 0)
    // on input port `port` (0 to 3) into olad's universe `olaUniverse`.
    bool ReceiveArtNet(int olaUniverse, int port) { return patch("ArtNet", port, olaUniverse); }

    // Sends olad's universe `universe` as E1.31 universe `universe` (multicast) from
    // output port `port` (0 to 3).
    bool SendE131(int universe, int port) { return patch("E1.31", port, universe, false); }
    // Sets olad's universe to `values` (at most 512, each 0 to 255); olad sends it
    // on the patched output ports when it changed, at `priority` (0 to 200: its
    // output ports inherit the priority of the data).
    bool SetDmx(int olaUniverse, const std::vector<int>& values, int priority = 100) {
        std::string list;
        for (int v : values) {
            list += (list.empty() ? "" : ",") + std::to_string(v);
        }
        return run("ip netns exec " + m_ns + " ola_streaming_client -u " + std::to_string(olaUniverse) +
                   " --priority " + std::to_string(priority) + " -d " + list) == 0;
    }

    // Sends olad `signal` and waits up to `timeoutMs` for it to exit. On SIGTERM
    // olad shuts down and ends each E1.31 stream it sends with three
    // Stream_Terminated packets (no slots); on SIGKILL it just goes silent.
    bool Stop(int signal, int timeoutMs = 10000) {
        if (m_pid <= 0) {
            return false;
        }
        kill(m_pid, signal);
        int st;
        for (int i = 0; i <= timeoutMs / 20; i++) {
            if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
                m_pid = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // What olad holds for one of its universes (empty before anything arrived).
    std::vector<int> Dmx(int olaUniverse) {
        std::vector<int> r;
        HttpTestResponse h =
            httpRequestTo(m_address, HTTP_PORT, "GET", "/get_dmx?u=" + std::to_string(olaUniverse));
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string errors;
        std::istringstream in(h.body);
        if (h.status == 200 && Json::parseFromStream(b, in, &v, &errors) && v["dmx"].isArray()) {
            for (const Json::Value& x : v["dmx"]) {
                r.push_back(x.asInt());
            }
        }
        return r;
    }
    std::string readLog() const {
        std::ifstream f(m_dir.path() + "/olad.log");
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

private:
    static int run(const std::string& command) {
        int st = system((command + " > /dev/null 2>&1").c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    bool patch(const std::string& device, int port, int universe, bool input = true) {
        // The device's number, from olad's own list.
        std::string cmd = "ip netns exec " + m_ns +
                          " ola_dev_info 2>/dev/null | sed -n 's/^Device \\([0-9]*\\): " + device +
                          ".*/\\1/p'";
        FILE* p = popen(cmd.c_str(), "r");
        int alias = 0;
        if (!p || fscanf(p, "%d", &alias) != 1) {
            if (p) {
                pclose(p);
            }
            return false;
        }
        pclose(p);
        return run("ip netns exec " + m_ns + " ola_patch -d " + std::to_string(alias) + " -p " +
                   std::to_string(port) + (input ? " -i" : "") + " -u " + std::to_string(universe)) == 0;
    }
    void writeConfig() {
        // Every plug-in olad knows, off but the two under test.
        const char* off[] = {"dummy",      "espnet",    "ftdidmx",
                             "gpio",       "karate",    "kinet",
                             "milinst",    "opendmx",   "openpixelcontrol",
                             "osc",        "pathport",  "renard",
                             "sandnet",    "shownet",   "spi",
                             "stageprofi", "uartdmx",   "usbdmx",
                             "usbserial",  "dmx4linux", "nanoleaf",
                             "e133",       "usbpro"};
        for (const char* name : off) {
            write(std::string("ola-") + name + ".conf", "enabled = false\n");
        }
        write("ola-e131.conf", "enabled = true\nip = " + m_address +
                                   "\ninput_ports = 8\noutput_ports = 4\nignore_preview = true\n");
        write("ola-artnet.conf", "enabled = true\nip = " + m_address +
                                     "\nnet = 0\nsubnet = 0\noutput_ports = 4\nshort_name = olad peer\n");
    }
    void write(const std::string& name, const std::string& text) {
        std::string path = m_dir.path() + "/" + name;
        std::ofstream(path) << text;
        m_files.push_back(path);
    }

    TempDir m_dir;
    std::vector<std::string> m_files;
    std::string m_ns;
    std::string m_address;
    pid_t m_pid = -1;
    bool m_ok = false;
    std::string m_reason;
};
