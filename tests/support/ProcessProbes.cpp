#include "ProcessProbes.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <dirent.h>

long long ProcessCpuTicks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold spaces: the fields count from the last ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream in(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14) {
            utime = atoll(field.c_str());
        } else if (i == 15) {
            stime = atoll(field.c_str());
        }
    }
    return utime + stime;
}

long long ThreadRunNs(pid_t pid, const std::string& name) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task/";
    DIR* d = opendir(dir.c_str());
    long long ns = -1;
    for (struct dirent* e = d ? readdir(d) : nullptr; e; e = readdir(d)) {
        std::string comm;
        std::ifstream(dir + e->d_name + "/comm") >> comm;
        if (comm == name) {
            std::ifstream(dir + e->d_name + "/schedstat") >> ns;
            break;
        }
    }
    if (d) {
        closedir(d);
    }
    return ns;
}

bool ListensOnUdp(pid_t pid, uint16_t port) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/udp");
    char wanted[8];
    snprintf(wanted, sizeof(wanted), ":%04X", port);
    std::string line;
    while (std::getline(in, line)) {
        // "sl local_address rem_address ...", the local address as ADDRESS:PORT in hex.
        std::istringstream fields(line);
        std::string sl, local;
        if (fields >> sl >> local && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
            return true;
        }
    }
    return false;
}
