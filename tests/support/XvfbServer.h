// A real X server for tests: Xvfb on a display number of its own. A number another
// server holds makes Xvfb exit before it says it is ready; then the next number is
// tried. Readiness is Xvfb's own word (-displayfd), not a guess.
#pragma once

// (Test files include <gtest/gtest.h> before this: Xlib's macros None, Bool and
// Status clash with it.)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

class XvfbServer {
public:
    // `screen` is Xvfb's WIDTHxHEIGHTxDEPTH. `display` >= 0 asks for that number
    // only (no retry: for tests of the default display).
    explicit XvfbServer(const std::string& screen = "1280x1024x24", int display = -1) {
        if (access("/usr/bin/Xvfb", X_OK) != 0) {
            m_reason = "no /usr/bin/Xvfb (Debian's xvfb package; scripts/install-deps.sh installs it)";
            return;
        }
        if (display >= 0) {
            start(display, screen);
            return;
        }
        // Numbers spread by process, so parallel tests rarely meet; a meeting costs one retry.
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        int n = 100 + (int)((getpid() * 37 + now.tv_nsec / 1000) % 800);
        for (int attempt = 0; attempt < 40 && m_pid < 0; attempt++) {
            start(n, screen);
            n = 100 + (n - 100 + 97) % 800;
        }
    }
    ~XvfbServer() {
        stop(SIGTERM);
        if (!m_log.empty()) {
            unlink(m_log.c_str());
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool ok() const { return m_pid > 0; }
    const std::string& reason() const { return m_reason; }
    // ":N"
    const std::string& display() const { return m_display; }
    pid_t pid() const { return m_pid; }

    // Ends the server at once, as a crash would, and waits for it to be gone.
    void kill() { stop(SIGKILL); }

private:
    void start(int n, const std::string& screen) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            m_reason = std::string("pipe: ") + strerror(errno);
            return;
        }
        std::string log = logPath();
        std::string number = ":" + std::to_string(n);
        const char* argv[] = {"/usr/bin/Xvfb", number.c_str(), "-displayfd", "3", "-nolisten",
                              "tcp",           "-noreset",     "-screen",    "0", screen.c_str(),
                              nullptr};
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            dup2(ready[1], 3);
            signal(SIGPIPE, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(argv[0], (char* const*)argv);
            _exit(127);
        }
        close(ready[1]);
        if (pid < 0) {
            close(ready[0]);
            m_reason = std::string("fork: ") + strerror(errno);
            return;
        }
        // Xvfb writes its display number once it listens; an exit closes the pipe first.
        std::string said;
        struct pollfd p = {ready[0], POLLIN, 0};
        while (said.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0) {
            char buf[32];
            ssize_t r = read(ready[0], buf, sizeof(buf));
            if (r <= 0) {
                break;
            }
            said.append(buf, (size_t)r);
        }
        close(ready[0]);
        if (said.find('\n') != std::string::npos && atoi(said.c_str()) == n) {
            m_pid = pid;
            m_display = number;
            return;
        }
        ::kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        m_reason = "Xvfb " + number + " did not start: " + readLog();
    }

    void stop(int sig) {
        if (m_pid > 0) {
            ::kill(m_pid, sig);
            int status;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
    }

    // Xvfb's messages, for the reason it did not start.
    std::string logPath() {
        if (m_log.empty()) {
            char path[] = "/tmp/tavo-xvfb-XXXXXX";
            int fd = mkstemp(path);
            if (fd >= 0) {
                close(fd);
                m_log = path;
            }
        }
        return m_log.empty() ? "/dev/null" : m_log;
    }
    std::string readLog() {
        std::string text;
        int fd = open(m_log.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[4096];
        ssize_t r;
        while (fd >= 0 && (r = read(fd, buf, sizeof(buf))) > 0) {
            text.append(buf, (size_t)r);
        }
        if (fd >= 0) {
            close(fd);
        }
        return text;
    }

    std::string m_log;
    pid_t m_pid = -1;
    std::string m_display;
    std::string m_reason;
};

// A second client of the server, as a user's screen would be: reads what the
// window shows.
class XProbe {
public:
    explicit XProbe(const std::string& display) : m_display(XOpenDisplay(display.c_str())) {}
    ~XProbe() {
        if (m_display) {
            XCloseDisplay(m_display);
        }
    }
    XProbe(const XProbe&) = delete;
    XProbe& operator=(const XProbe&) = delete;

    Display* get() const { return m_display; }
    // The window's pixels as 0xRRGGBB, row after row; empty when they cannot be read.
    std::vector<uint32_t> pixels(Window w, int width, int height) {
        std::vector<uint32_t> out;
        XImage* image = XGetImage(m_display, w, 0, 0, (unsigned)width, (unsigned)height, AllPlanes, ZPixmap);
        if (!image) {
            return out;
        }
        out.reserve((size_t)width * height);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                out.push_back((uint32_t)XGetPixel(image, x, y) & 0xFFFFFF);
            }
        }
        XDestroyImage(image);
        return out;
    }

private:
    Display* m_display;
};
