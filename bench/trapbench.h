// The pieces the trap benchmarks' senders and readers have in common: a UDP
// sender of ready-made datagrams, unpaced or at a given rate, and a reader that
// counts the traps of one event session of this instance's trapd.
// Both report wall-clock times in milliseconds.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "zqsnmp.h"

namespace trapbench {

inline double now_ms() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1000.0;
}

// The number after the option `name`, or `def` when it is not given.
inline long arg_long(int argc, char** argv, const char* name, long def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
    return def;
}

struct SendResult {
    long sent = 0, failed = 0;
    double start = 0, end = 0;
};

// Sends `count` datagrams to 127.0.0.1:port, cycling over `grams` in order, in
// batches of up to `batch` (at least grams.size()) per system call; unpaced, or
// `rate` a second.  false (after a message naming `prog`) when it cannot connect.
inline bool send_datagrams(const char* prog, long port, long count, long rate, const std::vector<std::string>& grams,
                           size_t batch, SendResult& res) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int sb = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sb, sizeof sb);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "%s: connect: %s\n", prog, std::strerror(errno));
        close(fd);
        return false;
    }
    batch = std::max(batch, grams.size());
    std::vector<mmsghdr> msgs(batch);
    std::vector<iovec> iov(batch);
    for (size_t i = 0; i < batch; ++i) {
        const std::string& g = grams[i % grams.size()];
        iov[i] = {const_cast<char*>(g.data()), g.size()};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const long cycle = static_cast<long>(grams.size());
    long sent = 0, failed = 0;
    double start = now_ms();
    while (sent < count) {
        long due = count;
        if (rate > 0) {
            due = std::min(count, static_cast<long>((now_ms() - start) * rate / 1000.0) + 1);
            if (due <= sent) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
        }
        // Always from the datagram that is next in the cycle.
        long first = sent % cycle;
        int n = static_cast<int>(std::min<long>(static_cast<long>(batch) - first, due - sent));
        int r = sendmmsg(fd, msgs.data() + first, static_cast<unsigned>(n), 0);
        if (r > 0) {
            sent += r;
        } else {
            ++failed;
            ++sent;
        }
    }
    res.end = now_ms();
    res.start = start;
    res.sent = sent - failed;
    res.failed = failed;
    close(fd);
    return true;
}

// The sender's line, without its end: "sent=N failed=N start_ms=T end_ms=T rate=R".
inline void print_sent(const SendResult& r) {
    std::printf("sent=%ld failed=%ld start_ms=%.1f end_ms=%.1f rate=%.0f", r.sent, r.failed, r.start, r.end,
                r.sent / ((r.end - r.start) / 1000.0));
}

struct ReadState {
    long count = 0;
    double first = 0, last = 0;
    bool lost = false;
};

inline void on_event(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    auto* st = static_cast<ReadState*>(data);
    if (reason == ZQSNMP_REASON_TRAP) {
        double t = now_ms();
        if (st->count++ == 0) st->first = t;
        st->last = t;
    } else if (reason == ZQSNMP_REASON_LOST) {
        st->lost = true;
    }
    ZqsnmpFreePdu(pdu);
}

// Counts the traps of an event session named `session` with `filter` until
// `count` came, the session is lost, or none came for `idle_s` seconds; prints
// "received=N first_ms=T last_ms=T".  1 (after a message naming `prog`) when the
// session cannot be opened.
inline int read_events(const char* prog, const char* session, const char* filter, long count, long idle_s) {
    ReadState st;
    ZqSession* s = ZqsnmpEventOpen(nullptr, session, on_event, &st, filter);
    if (s == nullptr) {
        std::fprintf(stderr, "%s: cannot open an event session: %s\n", prog, ZqsnmpErrString(ZqsnmpErrno));
        return 1;
    }
    std::fprintf(stderr, "listening\n");
    double idle_since = now_ms();
    while (st.count < count && !st.lost && now_ms() - idle_since < idle_s * 1000.0) {
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(s->sock_fd, &rs);
        timeval tv{0, 100000};
        if (select(s->sock_fd + 1, &rs, nullptr, nullptr, &tv) > 0) {
            long before = st.count;
            ZqsnmpRead(&rs);
            if (st.count != before) idle_since = now_ms();
        }
    }
    std::printf("received=%ld first_ms=%.1f last_ms=%.1f\n", st.count, st.first, st.last);
    ZqsnmpClose(s);
    return 0;
}

}  // namespace trapbench
