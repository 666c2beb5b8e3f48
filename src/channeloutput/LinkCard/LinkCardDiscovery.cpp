// Receiver discovery: asks the cards on the interface, index after index, what
// they are, and takes the highest firmware major version any reports.
#include "LinkCardOutput.h"

#include "host/core/Common.h"
#include "host/core/Log.h"
#include "host/core/Warnings.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace linkcard;

namespace {

// A card answers within the 300 ms receive time-out. Something that keeps sending
// frames of the answers' EtherType would keep each wait going: every index gets
// at most this long, and discovery as a whole (32 cards answering one after the
// other need about 32 x 300 ms) at most the second.
const int64_t INDEX_LIMIT_MS = 1000;
const int64_t DISCOVERY_LIMIT_MS = 12000;

} // namespace

void LinkCardOutput::GetReceiverInfo() {
    uint8_t request[DISCOVERY_REQUEST_SIZE];
    BuildDiscoveryRequest(request, 0);
    struct iovec piece = {request, sizeof(request)};
    struct mmsghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_hdr.msg_iov = &piece;
    message.msg_hdr.msg_iovlen = 1;

    int rfd = socket(AF_PACKET, SOCK_RAW, DISCOVERY_PROTOCOL);
    if (rfd < 0) {
        LogErr(LOGCH_CHANNELOUT, "Unable to open receive socket\n");
        return;
    }

    // Cards answer to an address that is not the interface's own.
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, m_ifName.c_str(), IFNAMSIZ - 1);
    ioctl(rfd, SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags |= IFF_PROMISC;
    ioctl(rfd, SIOCSIFFLAGS, &ifr);

    struct timeval timeout = {0, 300000};
    if (setsockopt(rfd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Unable to set socket receive timeout\n");
        close(rfd);
        return;
    }
    int one = 1;
    if (setsockopt(rfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Unable to set receive socket options\n");
        close(rfd);
        return;
    }
    char device[IFNAMSIZ];
    memset(device, 0, sizeof(device));
    strncpy(device, m_ifName.c_str(), IFNAMSIZ - 1);
    if (setsockopt(rfd, SOL_SOCKET, SO_BINDTODEVICE, device, IFNAMSIZ - 1) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Unable to bind receive socket\n");
        close(rfd);
        return;
    }
    // A packet socket hears every interface whatever SO_BINDTODEVICE says: without
    // this, cards on another output's interface would be taken for ours.
    struct sockaddr_ll at;
    memset(&at, 0, sizeof(at));
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(0x0805);
    at.sll_ifindex = m_if.ifr_ifindex;
    if (bind(rfd, (struct sockaddr*)&at, sizeof(at)) < 0) {
        LogErr(LOGCH_CHANNELOUT, "Unable to bind receive socket to %s: %s\n", m_ifName.c_str(),
               strerror(errno));
        close(rfd);
        return;
    }
    // Answers that arrived before the bind may come from anywhere.
    uint8_t drain[DISCOVERY_RESPONSE_BUFFER];
    while (recv(rfd, drain, sizeof(drain), MSG_DONTWAIT) > 0) {
    }

    LogInfo(LOGCH_CHANNELOUT, "Searching for ColorLight receivers\n");
    uint8_t buffer[DISCOVERY_RESPONSE_BUFFER];
    memset(buffer, 0, sizeof(buffer));
    int index = 0;
    int retriesLeft = 2;
    int64_t start = GetTimeMS();
    bool cutShort = false;
    while (true) {
        request[16] = (uint8_t)index;
        int copies = retriesLeft == 0 ? 3 : 1;
        for (int c = 0; c < copies; c++) {
            sendmmsg(m_fd, &message, 1, MSG_DONTWAIT);
        }

        int64_t indexStart = GetTimeMS();
        int counted = 0;
        while (true) {
            ssize_t len = recvfrom(rfd, buffer, sizeof(buffer), 0, nullptr, nullptr);
            if (len <= 0) {
                break;
            }
            ReceiverInfo info;
            if (ParseDiscoveryResponse(buffer, (size_t)len, info)) {
                counted++;
                if (WillLog(LOG_DEBUG, LOGCH_CHANNELOUT)) {
                    LogDebug(LOGCH_CHANNELOUT, "Response received from receiver id %d\n", index);
                    HexDump("DiscoverResponse", buffer, 256, LOGCH_CHANNELOUT, 16);
                }
                LogInfo(LOGCH_CHANNELOUT, "Found Receiver #%d:\n", (int)info.receiverNumber);
                LogInfo(LOGCH_CHANNELOUT, "- Firmware Version    : v%d.%d\n", (int)info.versionMajor,
                        (int)info.versionMinor);
                LogInfo(LOGCH_CHANNELOUT, "- Cabinet Size (WxH)  : %dx%d\n", (int)info.cabinetWidth,
                        (int)info.cabinetHeight);
                LogInfo(LOGCH_CHANNELOUT, "- Uptime              : %ums\n", info.uptime);
                LogInfo(LOGCH_CHANNELOUT, "- Packets             : %u\n", info.packets);
                if ((int)info.versionMajor > m_firmwareVersion) {
                    m_firmwareVersion = (int)info.versionMajor;
                }
                if (m_receivers.size() < (size_t)index + 1) {
                    m_receivers.resize((size_t)index + 1);
                }
                m_receivers[index] = info;
            }
            int64_t now = GetTimeMS();
            if (now - indexStart >= INDEX_LIMIT_MS || now - start >= DISCOVERY_LIMIT_MS) {
                cutShort = true;
                break;
            }
        }
        if (cutShort) {
            LogWarn(LOGCH_CHANNELOUT,
                    "LinkCard: discovery on %s stopped at index %d after %d ms: frames kept arriving without "
                    "a pause\n",
                    m_ifName.c_str(), index, (int)(GetTimeMS() - start));
            break;
        }
        if (counted > 0) {
            if (++index > DISCOVERY_MAX_INDEX) {
                break;
            }
        } else if (index == 0 && retriesLeft > 0) {
            retriesLeft--;
        } else {
            break;
        }
    }

    if (m_receivers.empty()) {
        std::string w3 = "ColorLight: No receiver cards were detected on interface " + m_ifName;
        WarningHolder::AddWarning(w3);
        LogWarn(LOGCH_CHANNELOUT, "WARNING: %s\n", w3.c_str());
        m_warnings.push_back(w3);
    } else {
        LogInfo(LOGCH_CHANNELOUT, "Found %d ColorLight receiver(s)\n", (int)m_receivers.size());
    }
    m_receiverCount = (int)m_receivers.size();
    close(rfd);
}
