#include "Lateness.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

int64_t RealTimeUs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

std::vector<int> UsableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof(set), &set);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; c++) {
        if (CPU_ISSET(c, &set)) {
            cpus.push_back(c);
        }
    }
    return cpus;
}

void RaiseThreadToFifo(int priority) {
    struct sched_param sp;
    memset(&sp, 0, sizeof(sp));
    sp.sched_priority = priority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
}

ssize_t ReceiveStamped(int fd, std::vector<uint8_t>& buf, int64_t& arrivalUs, int timeoutMs) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        return -1;
    }
    char control[256];
    struct iovec iov = {buf.data(), buf.size()};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    arrivalUs = RealTimeUs();
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            struct timespec ts;
            memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            arrivalUs = (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
        }
    }
    return n;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double n = (double)values.size();
    const size_t i = (size_t)std::max(0.0, std::min(n - 1, std::ceil(p / 100.0 * n) - 1));
    return values[i];
}
