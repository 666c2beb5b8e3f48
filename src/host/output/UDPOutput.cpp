// The UDP output engine: data objects queue per frame, the engine sends in batches.
#include "host/output/UDPOutput.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/time.h>
#include <unistd.h>

UDPOutput* UDPOutput::INSTANCE = nullptr;

namespace {

// The kernel takes at most this many messages per sendmmsg call.
constexpr size_t MAX_MESSAGES_PER_CALL = 1024;

// A name whose lookup has not answered in this time counts as not resolving (the
// lookup goes on, and its answer is still taken); a failed name is tried again
// after the retry time, for a board that came up before its network.
constexpr int64_t LOOKUP_WAIT_MS = 1000;
constexpr int64_t LOOKUP_RETRY_MS = 10000;

std::string destinationText(const struct mmsghdr& msg) {
    const struct msghdr& h = msg.msg_hdr;
    if (!h.msg_name || h.msg_namelen < sizeof(struct sockaddr_in)) {
        return "(no address)";
    }
    const struct sockaddr_in* sin = static_cast<const struct sockaddr_in*>(h.msg_name);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(sin->sin_port));
}

// Reads an integer key; false (with a logged message) when present but not an integer.
bool readIntKey(const Json::Value& config, const char* key, int& out, const std::string& who) {
    if (!config.isMember(key)) {
        return true;
    }
    const Json::Value& v = config[key];
    if (!v.isInt()) {
        std::string got = v.isString() ? "the text \"" + v.asString() + "\"" : v.toStyledString();
        while (!got.empty() && got.back() == '\n') {
            got.pop_back();
        }
        LogErr(LOGCH_CHANNELOUT, "%s: \"%s\" must be a whole number, not %s; output disabled\n", who.c_str(),
               key, got.c_str());
        return false;
    }
    out = v.asInt();
    return true;
}

} // namespace

// ---------------------------------------------------------------- UDPOutputMessages

std::vector<struct mmsghdr>& UDPOutputMessages::GetMessages(uint32_t key) {
    return m_messages[key];
}

void UDPOutputMessages::clear() {
    for (auto& g : m_messages) {
        g.second.clear();
    }
}

size_t UDPOutputMessages::size() const {
    size_t n = 0;
    for (const auto& g : m_messages) {
        n += g.second.size();
    }
    return n;
}

// ---------------------------------------------------------------- UDPOutputData

UDPOutputData::UDPOutputData(const Json::Value& config) {
    if (!config.isObject()) {
        LogErr(LOGCH_CHANNELOUT, "UDP output: the configuration is not a JSON object; output disabled\n");
        return;
    }
    bool ok = true;
    if (config.isMember("address")) {
        if (config["address"].isString()) {
            ipAddress = config["address"].asString();
        } else {
            LogErr(LOGCH_CHANNELOUT, "UDP output: \"address\" must be a text such as \"192.168.1.50\"\n");
            ok = false;
        }
    }
    std::string who = "UDP output to " + (ipAddress.empty() ? std::string("(no address)") : ipAddress);
    ok = readIntKey(config, "startChannel", startChannel, who) && ok;
    ok = readIntKey(config, "channelCount", channelCount, who) && ok;

    bool enabled = true;
    if (config.isMember("enabled")) {
        const Json::Value& e = config["enabled"];
        if (e.isBool()) {
            enabled = e.asBool();
        } else if (e.isInt()) {
            enabled = e.asInt() != 0;
        } else {
            LogErr(LOGCH_CHANNELOUT, "%s: \"enabled\" must be 0, 1, true or false\n", who.c_str());
            ok = false;
        }
    }

    if (ok && !HasValidRange()) {
        // Without this check a start of 0 or a long count would read outside the buffer.
        LogErr(LOGCH_CHANNELOUT,
               "%s: \"startChannel\" %d with \"channelCount\" %d does not fit the channels 1 to %d; "
               "output disabled\n",
               who.c_str(), startChannel, channelCount, TAVO_MAX_CHANNELS);
        ok = false;
    }
    usable = ok;
    active = ok && enabled;
}

UDPOutputData::~UDPOutputData() {}

bool UDPOutputData::HasValidRange() const {
    return startChannel >= 1 && channelCount >= 0 &&
           (int64_t)startChannel - 1 + channelCount <= TAVO_MAX_CHANNELS;
}

bool UDPOutputData::IsPingable() {
    return true;
}

void UDPOutputData::Monitor() {}

void UDPOutputData::PostPrepareData(unsigned char*, UDPOutputMessages&) {}

void UDPOutputData::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "    %s to %s\n", GetOutputTypeString().c_str(), ipAddress.c_str());
    LogDebug(LOGCH_CHANNELOUT, "        Start Channel  : %d\n", startChannel);
    LogDebug(LOGCH_CHANNELOUT, "        Channel Count  : %d\n", channelCount);
    LogDebug(LOGCH_CHANNELOUT, "        Active         : %d\n", active ? 1 : 0);
}

void UDPOutputData::GetRequiredChannelRange(int& min, int& max) {
    min = startChannel - 1;
    max = startChannel + channelCount - 1;
}

void UDPOutputData::StartingOutput() {}
void UDPOutputData::StoppingOutput() {}

bool UDPOutputData::NeedToOutputFrame(const unsigned char* channelData, int startChannel_, int start,
                                      int count) {
    if (!channelData || startChannel_ < 0 || start < 0 || count < 0 ||
        (int64_t)startChannel_ + start + count > TAVO_MAX_CHANNELS) {
        return false;
    }
    if (lastSendTimeMS < 0 || GetTimeMS() - lastSendTimeMS >= 1000) {
        return true;
    }
    if ((size_t)start + (size_t)count > lastData.size()) {
        return true;
    }
    return memcmp(channelData + startChannel_ + start, lastData.data() + start, (size_t)count) != 0;
}

void UDPOutputData::SaveFrame(const unsigned char* channelData, int count) {
    if (channelData && count > 0) {
        lastData.assign(channelData, channelData + count);
    } else {
        lastData.clear();
    }
    lastSendTimeMS = GetTimeMS();
}

bool UDPOutputData::parseInetAddr(const std::string& address, in_addr_t& out) {
    struct in_addr a;
    if (address.empty() || inet_pton(AF_INET, address.c_str(), &a) != 1) {
        return false;
    }
    out = a.s_addr;
    return true;
}

bool UDPOutputData::NeedsLookup() const {
    in_addr_t a;
    return !ipAddress.empty() && !parseInetAddr(ipAddress, a);
}

void UDPOutputData::AddressResolved(in_addr_t) {
    valid = true;
    unresolved = false;
}

std::string UDPOutputData::UnresolvedWarning() const {
    return "Could not resolve host name " + ipAddress + " - disabling output";
}

in_addr_t UDPOutputData::toInetAddr(const std::string& address, bool& valid) {
    valid = false;
    in_addr_t literal = 0;
    if (parseInetAddr(address, literal)) {
        valid = true;
        return literal;
    }
    if (address.empty()) {
        return 0;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* res = nullptr;
    in_addr_t r = 0;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &res) == 0) {
        for (struct addrinfo* p = res; p; p = p->ai_next) {
            if (p->ai_family == AF_INET && p->ai_addr && p->ai_addrlen >= sizeof(struct sockaddr_in)) {
                r = reinterpret_cast<struct sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
                valid = true;
                break;
            }
        }
        freeaddrinfo(res);
    }
    return r;
}

// ---------------------------------------------------------------- UDPOutput

UDPOutput::UDPOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LOGCH_CHANNELOUT, "UDPOutput::UDPOutput()\n");
    if (INSTANCE) {
        LogWarn(LOGCH_CHANNELOUT, "A second UDP output engine replaces the first as UDPOutput::INSTANCE\n");
    }
    INSTANCE = this;
}

UDPOutput::~UDPOutput() {
    LogDebug(LOGCH_CHANNELOUT, "UDPOutput::~UDPOutput()\n");
    if (INSTANCE == this) {
        INSTANCE = nullptr;
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stopLookups = true;
    }
    m_lookupWake.notify_all();
    if (m_lookupThread.joinable()) {
        m_lookupThread.join();
    }
    std::lock_guard<std::mutex> g(m_lock);
    for (auto& p : m_lookups) {
        if (p.first->unresolved) {
            WarningHolder::RemoveWarning(p.first->UnresolvedWarning());
        }
    }
    m_lookups.clear();
    if (m_socket >= 0) {
        close(m_socket);
    }
    if (m_broadcastSocket >= 0) {
        close(m_broadcastSocket);
    }
    for (UDPOutputData* d : m_outputs) {
        delete d;
    }
    m_outputs.clear();
}

static int openSocket(bool broadcast) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogErr(LOGCH_CHANNELOUT, "UDPOutput: could not open a UDP socket: %s\n", strerror(errno));
        return -1;
    }
    // A full send buffer must not hold up the output thread for long.
    struct timeval tv = {0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    int bufSize = 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof(bufSize));
    if (broadcast) {
        int one = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) < 0) {
            LogErr(LOGCH_CHANNELOUT, "UDPOutput: could not allow broadcast on a UDP socket: %s\n",
                   strerror(errno));
            close(fd);
            return -1;
        }
    }
    return fd;
}

int UDPOutput::Init(Json::Value config) {
    LogDebug(LOGCH_CHANNELOUT, "UDPOutput::Init(JSON)\n");
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_socket < 0) {
            m_socket = openSocket(false);
        }
        if (m_broadcastSocket < 0) {
            m_broadcastSocket = openSocket(true);
        }
        if (m_socket < 0 || m_broadcastSocket < 0) {
            return 0;
        }
    }
    return ChannelOutput::Init(config);
}

int UDPOutput::Close() {
    LogDebug(LOGCH_CHANNELOUT, "UDPOutput::Close()\n");
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_socket >= 0) {
            close(m_socket);
            m_socket = -1;
        }
        if (m_broadcastSocket >= 0) {
            close(m_broadcastSocket);
            m_broadcastSocket = -1;
        }
        m_messages.clear();
    }
    return ChannelOutput::Close();
}

bool UDPOutput::IsOpen() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_socket >= 0;
}

void UDPOutput::addOutput(UDPOutputData* data) {
    if (!data) {
        return;
    }
    std::lock_guard<std::mutex> g(m_lock);
    m_outputs.push_back(data);
    if (data->active && !data->valid && data->NeedsLookup()) {
        m_lookups[data] = PendingLookup();
        if (!m_lookupThread.joinable()) {
            m_lookupThread = std::thread(&UDPOutput::lookupLoop, this);
        }
        m_lookupWake.notify_all();
    }
}

bool UDPOutput::removeOutput(UDPOutputData* data) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = std::find(m_outputs.begin(), m_outputs.end(), data);
        if (it == m_outputs.end()) {
            return false;
        }
        m_outputs.erase(it);
        // A lookup still in flight ends on its own thread; its answer is dropped.
        m_lookups.erase(data);
        if (data->unresolved) {
            WarningHolder::RemoveWarning(data->UnresolvedWarning());
        }
    }
    delete data;
    return true;
}

// One getaddrinfo on a thread of its own that only this record ties to the engine,
// so an engine that goes away never waits for a name server that does not answer.
struct UDPOutput::Lookup {
    explicit Lookup(const std::string& n) : name(n) {}
    const std::string name;
    std::atomic<bool> done{false};
    bool found = false; // written before `done`
    in_addr_t addr = 0;
};

void UDPOutput::markUnresolved(UDPOutputData* d) {
    if (!d->unresolved) {
        d->unresolved = true;
        LogWarn(LOGCH_CHANNELOUT, "UDP output to %s: the host name does not resolve; trying again later\n",
                d->ipAddress.c_str());
        WarningHolder::AddWarning(d->UnresolvedWarning());
    }
}

void UDPOutput::lookupStep(int64_t nowMS) {
    for (auto& entry : m_lookups) {
        UDPOutputData* d = entry.first;
        PendingLookup& p = entry.second;
        if (p.lookup && p.lookup->done.load(std::memory_order_acquire)) {
            if (p.lookup->found) {
                if (d->unresolved) {
                    WarningHolder::RemoveWarning(d->UnresolvedWarning());
                    LogInfo(LOGCH_CHANNELOUT, "UDP output to %s: the host name resolves now\n",
                            d->ipAddress.c_str());
                }
                d->AddressResolved(p.lookup->addr);
            } else {
                markUnresolved(d);
                p.nextTryMS = nowMS + LOOKUP_RETRY_MS;
            }
            p.lookup.reset();
        } else if (p.lookup && nowMS - p.startedMS >= LOOKUP_WAIT_MS) {
            markUnresolved(d);
        } else if (!p.lookup && !d->valid && nowMS >= p.nextTryMS) {
            std::shared_ptr<Lookup> lk = std::make_shared<Lookup>(d->ipAddress);
            p.lookup = lk;
            p.startedMS = nowMS;
            std::thread([lk]() {
                SetThreadName("Tavo-UDPLookup");
                bool found = false;
                in_addr_t a = UDPOutputData::toInetAddr(lk->name, found);
                lk->addr = a;
                lk->found = found;
                lk->done.store(true, std::memory_order_release);
            }).detach();
        }
    }
    for (auto it = m_lookups.begin(); it != m_lookups.end();) {
        it = it->first->valid ? m_lookups.erase(it) : std::next(it);
    }
}

void UDPOutput::lookupLoop() {
    SetThreadName("Tavo-UDPNames");
    std::unique_lock<std::mutex> l(m_lock);
    while (!m_stopLookups) {
        lookupStep(GetTimeMS());
        m_lookupDone.notify_all();
        bool inFlight = false;
        for (const auto& p : m_lookups) {
            inFlight = inFlight || p.second.lookup;
        }
        // A lookup's end is seen by looking: a short step while one is in flight.
        m_lookupWake.wait_for(l, std::chrono::milliseconds(inFlight ? 20 : m_lookups.empty() ? 60000 : 1000));
    }
}

bool UDPOutput::WaitForLookups(int timeoutMs) {
    std::unique_lock<std::mutex> l(m_lock);
    auto settled = [this]() {
        for (const auto& p : m_lookups) {
            if (!p.first->unresolved) {
                return false;
            }
        }
        return true;
    };
    return m_lookupDone.wait_for(l, std::chrono::milliseconds(timeoutMs), settled);
}

std::string UDPOutput::GetAddressProblem(UDPOutputData* data) const {
    std::lock_guard<std::mutex> g(m_lock);
    if (std::find(m_outputs.begin(), m_outputs.end(), data) == m_outputs.end() || !data->unresolved) {
        return "";
    }
    return data->UnresolvedWarning();
}

std::vector<UDPOutputData*> UDPOutput::GetDataObjects() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_outputs;
}

size_t UDPOutput::GetOutputCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_outputs.size();
}

void UDPOutput::Monitor() {
    // Outside the lock, so that a data object may ask the engine (its send errors);
    // data objects are removed on the thread that calls Monitor, never meanwhile.
    std::vector<UDPOutputData*> outputs = GetDataObjects();
    for (UDPOutputData* d : outputs) {
        d->Monitor();
    }
}

void UDPOutput::PrepData(unsigned char* channelData) {
    std::lock_guard<std::mutex> g(m_lock);
    m_messages.clear();
    if (!channelData) {
        return;
    }
    for (UDPOutputData* d : m_outputs) {
        d->PrepareData(channelData, m_messages);
    }
    for (UDPOutputData* d : m_outputs) {
        d->PostPrepareData(channelData, m_messages);
    }
}

int UDPOutput::SendData(unsigned char*) {
    std::lock_guard<std::mutex> g(m_lock);
    int sent = sendAll(m_messages);
    // The messages point into this frame's buffer; never send them twice.
    m_messages.clear();
    return sent;
}

int UDPOutput::SendMessages(UDPOutputMessages& msgs) {
    std::lock_guard<std::mutex> g(m_lock);
    return sendAll(msgs);
}

int UDPOutput::sendAll(UDPOutputMessages& msgs) {
    if (m_socket < 0) {
        return 0;
    }
    int sent = 0;
    for (auto& grp : msgs.groups()) {
        int fd = grp.first == UDPOutputMessages::BROADCAST_KEY ? m_broadcastSocket : m_socket;
        sent += sendGroup(fd, grp.first, grp.second);
    }
    return sent;
}

int UDPOutput::sendGroup(int fd, uint32_t key, std::vector<struct mmsghdr>& msgs) {
    if (msgs.empty() || fd < 0) {
        return 0;
    }
    size_t i = 0;
    int sent = 0;
    bool failed = false;
    while (i < msgs.size()) {
        unsigned int chunk = (unsigned int)std::min(msgs.size() - i, MAX_MESSAGES_PER_CALL);
        // MSG_NOSIGNAL: an unreachable peer must never turn into a signal.
        int r = sendmmsg(fd, &msgs[i], chunk, MSG_NOSIGNAL);
        if (r > 0) {
            i += (size_t)r;
            sent += r;
            continue;
        }
        int err = errno;
        if (r < 0 && err == EINTR) {
            continue;
        }
        failed = true;
        if (r < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS)) {
            // The send buffer stayed full; drop the rest of this frame for the group.
            noteFailure(key, msgs[i], err);
            m_errors += msgs.size() - i - 1;
            m_errorsByKey[key] += msgs.size() - i - 1;
            break;
        }
        // This one message cannot go (too long, no route, ...); carry on with the next.
        noteFailure(key, msgs[i], r < 0 ? err : EIO);
        i++;
    }
    m_sent += (uint64_t)sent;
    if (!failed) {
        noteSuccess(key);
    }
    return sent;
}

void UDPOutput::noteFailure(uint32_t key, const struct mmsghdr& msg, int err) {
    m_errors++;
    m_errorsByKey[key]++;
    if (m_failing.emplace(key, err).second) {
        LogErr(LOGCH_CHANNELOUT, "UDPOutput: sending to %s failed: %s\n", destinationText(msg).c_str(),
               strerror(err));
    } else {
        LogExcess(LOGCH_CHANNELOUT, "UDPOutput: sending to %s failed again: %s\n",
                  destinationText(msg).c_str(), strerror(err));
    }
}

void UDPOutput::noteSuccess(uint32_t key) {
    auto it = m_failing.find(key);
    if (it != m_failing.end()) {
        m_failing.erase(it);
        struct in_addr a;
        a.s_addr = key;
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &a, text, sizeof(text));
        LogInfo(LOGCH_CHANNELOUT, "UDPOutput: sending to %s works again\n", text);
    }
}

void UDPOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    std::lock_guard<std::mutex> g(m_lock);
    for (UDPOutputData* d : m_outputs) {
        if (!d->active) {
            continue;
        }
        int min = 0;
        int max = 0;
        d->GetRequiredChannelRange(min, max);
        min = std::max(min, 0);
        max = std::min(max, (int)TAVO_MAX_CHANNELS);
        if (max > min) {
            addRange(min, max - 1);
        }
    }
}

void UDPOutput::StartingOutput() {
    std::lock_guard<std::mutex> g(m_lock);
    for (UDPOutputData* d : m_outputs) {
        d->StartingOutput();
    }
}

void UDPOutput::StoppingOutput() {
    std::lock_guard<std::mutex> g(m_lock);
    for (UDPOutputData* d : m_outputs) {
        d->StoppingOutput();
    }
}

void UDPOutput::DumpConfig() {
    LogDebug(LOGCH_CHANNELOUT, "UDPOutput::DumpConfig()\n");
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (UDPOutputData* d : m_outputs) {
            d->DumpConfig();
        }
    }
    ChannelOutput::DumpConfig();
}

uint64_t UDPOutput::GetSentCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_sent;
}

uint64_t UDPOutput::GetErrorCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_errors;
}

uint64_t UDPOutput::GetErrorCount(uint32_t key) const {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_errorsByKey.find(key);
    return it == m_errorsByKey.end() ? 0 : it->second;
}
