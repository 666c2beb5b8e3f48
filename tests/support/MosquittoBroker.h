// A real mosquitto broker for tests and benchmarks, on 127.0.0.1 with a generated
// configuration (anonymous, with a password file, or with TLS and a CA and server
// certificate made here with openssl), and a subscriber that records what arrives.
//
// The broker must be given a port number, so it is chosen here and, when the
// broker cannot bind it (another test took it), another is tried: no port is
// picked "free" and handed over. Ports come from below the kernel's ephemeral range,
// which connections of other tests never take.
//
// Header only and without GoogleTest, so a benchmark can use it; users link
// libmosquitto (tavomqtt brings it).
#pragma once

#include <mosquitto.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace mqtttest {

inline int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Runs a command through the shell; its output goes to `log`. True on exit status 0.
inline bool runCommand(const std::string& command, const std::string& log) {
    std::string full = command + " >>" + log + " 2>&1";
    int rc = system(full.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

inline std::string findProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin", "/usr/local/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0) {
            return p;
        }
    }
    return "";
}

class MosquittoBroker {
public:
    struct Options {
        std::string user;     // set: a password file with this user, no anonymous clients
        std::string password; // ... and this password
        bool tls = false;     // a CA and a server certificate for 127.0.0.1, TLS only
        // Sessions and their queued messages kept across a stop and a start, so a
        // subscriber of a lasting session misses nothing while it is away.
        bool persistence = false;
    };

    // `dir`: a folder of the test's own, for the configuration, files and log.
    explicit MosquittoBroker(const std::string& dir) : MosquittoBroker(dir, Options()) {}
    MosquittoBroker(const std::string& dir, const Options& options) : m_dir(dir), m_options(options) {}
    ~MosquittoBroker() { stop(); }
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts on a port of its choosing, another one each time the chosen one is taken.
    bool start(std::string& error) {
        if (!prepare(error)) {
            return false;
        }
        std::random_device rd;
        std::mt19937 pick(rd() ^ (unsigned)getpid());
        for (int attempt = 0; attempt < 30; attempt++) {
            int port = 20000 + (int)(pick() % 12000);
            bool taken = false;
            if (launch(port, taken, error)) {
                return true;
            }
            if (!taken) {
                return false;
            }
        }
        error = "no port could be bound after 30 tries";
        return false;
    }

    // Starts again on the port it had. False (with `taken`) when that port was taken meanwhile.
    bool restart(std::string& error, bool* taken = nullptr) {
        bool t = false;
        bool ok = launch(m_port, t, error);
        if (taken) {
            *taken = t;
        }
        return ok;
    }

    void stop() {
        if (m_pid <= 0) {
            return;
        }
        kill(m_pid, SIGCONT);
        kill(m_pid, SIGTERM);
        int64_t end = nowUs() + 5000000;
        int st;
        while (waitpid(m_pid, &st, WNOHANG) == 0) {
            if (nowUs() > end) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &st, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
    }

    // The broker keeps its connections but stops reading them (SIGSTOP).
    bool pause() {
        if (m_pid <= 0 || kill(m_pid, SIGSTOP) != 0) {
            return false;
        }
        // Stopped only once the kernel says so.
        for (int i = 0; i < 500; i++) {
            std::string stat = readFile("/proc/" + std::to_string(m_pid) + "/stat");
            size_t paren = stat.rfind(')');
            if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'T') {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void resume() {
        if (m_pid > 0) {
            kill(m_pid, SIGCONT);
        }
    }

    bool running() const { return m_pid > 0; }
    int port() const { return m_port; }
    std::string caFile() const { return m_dir + "/ca.crt"; }
    std::string otherCaFile() const { return m_dir + "/other-ca.crt"; }
    std::string log() const {
        return readFile(m_dir + "/mosquitto.log") + readFile(m_dir + "/mosquitto.out");
    }

private:
    bool prepare(std::string& error) {
        m_program = findProgram("mosquitto");
        if (m_program.empty()) {
            error = "the mosquitto broker is not installed (bash scripts/install-deps.sh installs it)";
            return false;
        }
        std::string setupLog = m_dir + "/setup.log";
        if (!m_options.user.empty()) {
            std::string passwd = findProgram("mosquitto_passwd");
            if (passwd.empty() || !runCommand(passwd + " -b -c " + m_dir + "/passwords " + m_options.user +
                                                  " " + m_options.password,
                                              setupLog)) {
                error = "mosquitto_passwd failed: " + readFile(setupLog);
                return false;
            }
            chmod((m_dir + "/passwords").c_str(), 0600);
        }
        if (m_options.tls && !makeCertificates(error)) {
            return false;
        }
        return true;
    }

    // A CA, a server certificate it signs for 127.0.0.1 and localhost, and a second
    // CA that signed nothing (for a client that must refuse the server).
    bool makeCertificates(std::string& error) {
        std::string d = m_dir;
        std::string log = d + "/setup.log";
        std::string openssl = findProgram("openssl");
        if (openssl.empty()) {
            error = "openssl is not installed (bash scripts/install-deps.sh installs it)";
            return false;
        }
        writeFile(d + "/server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                     "basicConstraints=CA:FALSE\n"
                                     "keyUsage=digitalSignature,keyEncipherment\n"
                                     "extendedKeyUsage=serverAuth\n");
        const std::vector<std::string> steps = {
            openssl + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=tavo-test-ca -keyout " + d +
                "/ca.key -out " + d + "/ca.crt",
            openssl + " req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " + d + "/server.key -out " +
                d + "/server.csr",
            openssl + " x509 -req -in " + d + "/server.csr -CA " + d + "/ca.crt -CAkey " + d +
                "/ca.key -CAcreateserial -days 2 -extfile " + d + "/server.ext -out " + d + "/server.crt",
            openssl + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=tavo-other-ca -keyout " + d +
                "/other-ca.key -out " + d + "/other-ca.crt",
        };
        for (const std::string& s : steps) {
            if (!runCommand(s, log)) {
                error = "making the test certificates failed: " + s + "\n" + readFile(log);
                return false;
            }
        }
        return true;
    }

    std::string config(int port) const {
        std::string c = "listener " + std::to_string(port) + " 127.0.0.1\n";
        c += "log_dest file " + m_dir + "/mosquitto.log\n";
        c += "log_type all\n";
        if (m_options.persistence) {
            c += "persistence true\n";
            c += "persistence_location " + m_dir + "/\n";
        } else {
            c += "persistence false\n";
        }
        c += "max_queued_messages 0\n"; // no limit: a test counts every message
        if (geteuid() == 0) {
            c += "user root\n"; // keeps reading the test's files
        }
        if (m_options.user.empty()) {
            c += "allow_anonymous true\n";
        } else {
            c += "allow_anonymous false\n";
            c += "password_file " + m_dir + "/passwords\n";
        }
        if (m_options.tls) {
            c += "cafile " + m_dir + "/ca.crt\n";
            c += "certfile " + m_dir + "/server.crt\n";
            c += "keyfile " + m_dir + "/server.key\n";
        }
        return c;
    }

    // Starts the broker on `port` and waits until it runs (true) or ends; `taken`
    // when it ended because the port was in use.
    bool launch(int port, bool& taken, std::string& error) {
        taken = false;
        stop();
        std::string conf = m_dir + "/mosquitto.conf";
        writeFile(conf, config(port));
        unlink((m_dir + "/mosquitto.log").c_str());
        std::string out = m_dir + "/mosquitto.out";
        int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> argv = {m_program, "-c", conf};
        std::vector<char*> cargs;
        for (std::string& a : argv) {
            cargs.push_back(&a[0]);
        }
        cargs.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(outFd, STDOUT_FILENO);
            dup2(outFd, STDERR_FILENO);
            execv(cargs[0], cargs.data());
            _exit(127);
        }
        close(outFd);
        if (pid < 0) {
            error = "fork failed";
            return false;
        }
        int64_t end = nowUs() + 20000000;
        while (nowUs() < end) {
            std::string l = log();
            if (l.find(" running") != std::string::npos) {
                m_pid = pid;
                m_port = port;
                return true;
            }
            int st;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                l = log();
                taken = l.find("Address already in use") != std::string::npos;
                error = "mosquitto ended on port " + std::to_string(port) + ": " + l;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        int st;
        waitpid(pid, &st, 0);
        error = "mosquitto did not start within 20 s: " + log();
        return false;
    }

    std::string m_dir;
    Options m_options;
    std::string m_program;
    pid_t m_pid = -1;
    int m_port = 0;
};

// A client that subscribes and records every message with its arrival time, and
// can publish (commands). Runs libmosquitto's own thread.
class MqttSubscriber {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
        int64_t timeUs = 0; // steady clock, microseconds
    };
    struct Options {
        std::string caFile;
        std::string user;
        std::string password;
    };

    // A lasting session (`cleanSession` false) needs a `clientId`; the broker keeps
    // its subscriptions and queues its QoS 1 messages while it is away.
    explicit MqttSubscriber(const std::string& clientId = "", bool cleanSession = true) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), cleanSession, this);
        mosquitto_connect_callback_set(m_mosq, [](struct mosquitto*, void* self, int rc) {
            MqttSubscriber* s = static_cast<MqttSubscriber*>(self);
            std::lock_guard<std::mutex> l(s->m_lock);
            s->m_connackRc = rc;
            s->m_changed.notify_all();
        });
        mosquitto_subscribe_callback_set(m_mosq, [](struct mosquitto*, void* self, int, int, const int*) {
            MqttSubscriber* s = static_cast<MqttSubscriber*>(self);
            std::lock_guard<std::mutex> l(s->m_lock);
            s->m_subscribed++;
            s->m_changed.notify_all();
        });
        mosquitto_publish_callback_set(m_mosq, [](struct mosquitto*, void* self, int) {
            MqttSubscriber* s = static_cast<MqttSubscriber*>(self);
            std::lock_guard<std::mutex> l(s->m_lock);
            s->m_published++;
            s->m_changed.notify_all();
        });
        mosquitto_message_callback_set(m_mosq,
                                       [](struct mosquitto*, void* self, const struct mosquitto_message* m) {
                                           MqttSubscriber* s = static_cast<MqttSubscriber*>(self);
                                           Message msg;
                                           msg.timeUs = nowUs();
                                           msg.topic = m->topic;
                                           msg.payload.assign(static_cast<const char*>(m->payload),
                                                              m->payloadlen > 0 ? (size_t)m->payloadlen : 0);
                                           msg.retained = m->retain;
                                           std::lock_guard<std::mutex> l(s->m_lock);
                                           s->m_messages.push_back(std::move(msg));
                                           s->m_changed.notify_all();
                                       });
    }
    ~MqttSubscriber() {
        disconnect();
        mosquitto_destroy(m_mosq);
    }
    void disconnect() {
        if (m_started) {
            mosquitto_disconnect(m_mosq);
            mosquitto_loop_stop(m_mosq, true);
            m_started = false;
        }
    }
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // Connects to 127.0.0.1:port and subscribes to each filter (QoS 1); true once
    // the broker confirmed every subscription.
    bool connect(int port, const std::vector<std::string>& filters, std::string& error,
                 const Options& options = Options()) {
        if (!options.caFile.empty()) {
            mosquitto_tls_set(m_mosq, options.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        if (!options.user.empty()) {
            mosquitto_username_pw_set(m_mosq, options.user.c_str(), options.password.c_str());
        }
        {
            std::lock_guard<std::mutex> l(m_lock);
            m_connackRc = -1;
            m_subscribed = 0;
        }
        int rc = mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("subscriber cannot connect: ") + mosquitto_strerror(rc);
            return false;
        }
        mosquitto_loop_start(m_mosq);
        m_started = true;
        {
            std::unique_lock<std::mutex> l(m_lock);
            if (!m_changed.wait_for(l, std::chrono::seconds(10), [this] { return m_connackRc >= 0; }) ||
                m_connackRc != 0) {
                error = "subscriber not accepted by the broker";
                return false;
            }
        }
        for (const std::string& f : filters) {
            mosquitto_subscribe(m_mosq, nullptr, f.c_str(), 1);
        }
        std::unique_lock<std::mutex> l(m_lock);
        if (!m_changed.wait_for(l, std::chrono::seconds(10),
                                [&] { return m_subscribed >= (int)filters.size(); })) {
            error = "the broker did not confirm the subscriptions";
            return false;
        }
        return true;
    }

    bool publish(const std::string& topic, const std::string& payload, bool retain = false) {
        int before;
        {
            std::lock_guard<std::mutex> l(m_lock);
            before = m_published;
        }
        if (mosquitto_publish(m_mosq, nullptr, topic.c_str(), (int)payload.size(), payload.data(), 1,
                              retain) != MOSQ_ERR_SUCCESS) {
            return false;
        }
        std::unique_lock<std::mutex> l(m_lock);
        return m_changed.wait_for(l, std::chrono::seconds(10), [&] { return m_published > before; });
    }

    // Messages so far, of one topic or of all (empty `topic`).
    std::vector<Message> messages(const std::string& topic = "") {
        std::lock_guard<std::mutex> l(m_lock);
        if (topic.empty()) {
            return m_messages;
        }
        std::vector<Message> r;
        for (const Message& m : m_messages) {
            if (m.topic == topic) {
                r.push_back(m);
            }
        }
        return r;
    }
    std::vector<std::string> payloads(const std::string& topic) {
        std::vector<std::string> r;
        for (const Message& m : messages(topic)) {
            r.push_back(m.payload);
        }
        return r;
    }

    // Waits until `done` holds for the messages so far; false on time-out.
    bool waitFor(const std::function<bool(const std::vector<Message>&)>& done, int timeoutMs) {
        std::unique_lock<std::mutex> l(m_lock);
        return m_changed.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return done(m_messages); });
    }
    bool waitForCount(const std::string& topic, size_t count, int timeoutMs) {
        return waitFor(
            [&](const std::vector<Message>& all) {
                size_t n = 0;
                for (const Message& m : all) {
                    n += m.topic == topic;
                }
                return n >= count;
            },
            timeoutMs);
    }
    // Waits for a message on `topic` with exactly `payload`.
    bool waitForPayload(const std::string& topic, const std::string& payload, int timeoutMs) {
        return waitFor(
            [&](const std::vector<Message>& all) {
                for (const Message& m : all) {
                    if (m.topic == topic && m.payload == payload) {
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
    }
    void clear() {
        std::lock_guard<std::mutex> l(m_lock);
        m_messages.clear();
    }

private:
    struct mosquitto* m_mosq = nullptr;
    bool m_started = false;
    std::mutex m_lock; // guards the members below
    std::condition_variable m_changed;
    int m_connackRc = -1;
    int m_subscribed = 0;
    int m_published = 0;
    std::vector<Message> m_messages;
};

} // namespace mqtttest
