// Keeping each E1.31 output's CID across restarts.
#include "StreamId.h"

#include "host/core/Common.h"
#include "host/core/JsonUtils.h"

#include <cstdio>
#include <fstream>
#include <random>

#include <fcntl.h>
#include <unistd.h>

namespace e131out {

namespace {

protocols::e131::Cid randomCid() {
    protocols::e131::Cid c{};
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? read(fd, c.data(), c.size()) : -1;
    if (fd >= 0) {
        close(fd);
    }
    if (got != (ssize_t)c.size()) {
        std::random_device rd;
        for (uint8_t& b : c) {
            b = (uint8_t)rd();
        }
    }
    c[6] = (uint8_t)((c[6] & 0x0f) | 0x40); // a version 4 (random) UUID
    c[8] = (uint8_t)((c[8] & 0x3f) | 0x80);
    return c;
}

} // namespace

std::string CidText(const protocols::e131::Cid& c) {
    char s[37];
    snprintf(s, sizeof(s), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", c[0], c[1],
             c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11], c[12], c[13], c[14], c[15]);
    return s;
}

bool ParseCid(const std::string& text, protocols::e131::Cid& cid) {
    std::string hex;
    for (char ch : text) {
        if (ch != '-') {
            hex += ch;
        }
    }
    if (hex.size() != 32) {
        return false;
    }
    for (size_t i = 0; i < 16; i++) {
        unsigned v = 0;
        if (sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1) {
            return false;
        }
        cid[i] = (uint8_t)v;
    }
    return true;
}

protocols::e131::Cid StreamCid(const std::string& key, std::string& warning) {
    std::string path = getTavoMediaDir("config") + "/e131-cids.json";
    Json::Value ids(Json::objectValue);
    if (FileExists(path)) {
        std::string error;
        if (!LoadJsonFromFile(path, ids, &error) || !ids.isObject()) {
            warning = path + " cannot be read (" + error + "); E1.31 sources get new ids this time";
            ids = Json::Value(Json::objectValue);
        }
    }
    protocols::e131::Cid cid{};
    if (ids.isMember(key) && ids[key].isString() && ParseCid(ids[key].asString(), cid)) {
        return cid;
    }
    cid = randomCid();
    ids[key] = CidText(cid);
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << SaveJsonToString(ids) << "\n";
        if (!f.flush()) {
            warning = "cannot write " + tmp + "; this E1.31 source gets a new id at every start";
            unlink(tmp.c_str());
            return cid;
        }
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        warning = "cannot write " + path + "; this E1.31 source gets a new id at every start";
        unlink(tmp.c_str());
    }
    return cid;
}

} // namespace e131out
