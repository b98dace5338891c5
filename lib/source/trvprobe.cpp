// The web-agent probe: one HTTP request to address:2301, one reply block.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "trvlib.h"

unsigned int uiWebAgentPort = TRV_WEB_AGENT_PORT;

namespace {

const char kRequest[] = "GET /Proxy/StatusReport?Type=Summary HTTP/1.0\n\n";
const int kWaitMs = 5000;       // each of the waits: connect/writable, readable
const size_t kReplyMax = 1000;  // the one block of the reply that is looked at

// Waits up to kWaitMs for the events; true when one of them came.
bool WaitFor(int fd, short sEvents) {
    struct pollfd pfd {};
    pfd.fd = fd;
    pfd.events = sEvents;
    int r;
    do {
        r = poll(&pfd, 1, kWaitMs);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (pfd.revents & (sEvents | POLLERR | POLLHUP)) != 0;
}

// Owns the socket and the address record for the length of one probe.
struct ProbeResources {
    struct sockaddr_in *pAddr = nullptr;
    int fd = -1;
    ~ProbeResources() {
        if (fd >= 0) close(fd);
        free(pAddr);
    }
};

}  // namespace

int iProbeWebAgent(const char *szAddress) {
    ProbeResources res;
    res.pAddr = static_cast<struct sockaddr_in *>(calloc(1, sizeof(struct sockaddr_in)));
    if (res.pAddr == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "Error in memory allocation\n");
        return -1;
    }
    res.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (res.fd < 0) return -1;

    res.pAddr->sin_family = AF_INET;
    res.pAddr->sin_port = htons(static_cast<uint16_t>(uiWebAgentPort));
    // No validation: a text that does not parse gives the all-ones address,
    // which cannot be connected to.
    res.pAddr->sin_addr.s_addr = szAddress != nullptr ? inet_addr(szAddress) : INADDR_NONE;

    // Non-blocking from the start: a silent address must not hold the caller for
    // the system's connect time-out (about two minutes), so the connection gets
    // the same 5 seconds as the other waits; a refusal still ends it at once.
    int iOn = 1;
    if (ioctl(res.fd, FIONBIO, &iOn) != 0) return -1;
    if (connect(res.fd, reinterpret_cast<struct sockaddr *>(res.pAddr), sizeof *res.pAddr) != 0) {
        if (errno != EINPROGRESS) return -1;
        if (!WaitFor(res.fd, POLLOUT)) return -1;
        int iErr = 0;
        socklen_t uiLen = sizeof iErr;
        if (getsockopt(res.fd, SOL_SOCKET, SO_ERROR, &iErr, &uiLen) != 0 || iErr != 0) return -1;
    }

    if (!WaitFor(res.fd, POLLOUT)) return -1;
    ssize_t iSent = send(res.fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL);
    if (iSent <= 0) return -1;

    if (!WaitFor(res.fd, POLLIN)) return -1;
    char szReply[kReplyMax];
    ssize_t iGot = recv(res.fd, szReply, sizeof szReply, 0);
    if (iGot < 0) return -1;

    // Only the bytes received count: the block carries no terminator.
    std::string_view reply(szReply, static_cast<size_t>(iGot));
    return reply.find("HTTP/") != std::string_view::npos ? 1 : -1;
}
