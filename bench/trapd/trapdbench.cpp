// trapdbench: the sender and the reader of the trap daemon benchmark.
//   trapdbench send --port P --count N [--rate R]   SNMPv1 traps with two bindings to
//                                                   127.0.0.1:P, unpaced or R a second
//   trapdbench read --count N [--idle SECONDS]      counts the events of one session
// Both print one line "key=value ..." with wall-clock times in milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ber.h"
#include "zqcommon.h"
#include "zqsnmp.h"

namespace {

double now_ms() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1000.0;
}

long arg_long(int argc, char** argv, const char* name, long def) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
    return def;
}

int send_traps(long port, long count, long rate) {
    std::vector<uint32_t> ent = {1, 3, 6, 1, 4, 1, 64001, 1, 3, 99};
    std::string vbs = ber::varbind({1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 1}, ber::octets("benchmark-trap from the sender")) +
                      ber::varbind({1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 2}, ber::integer(12345));
    std::string d = ber::v1_trap("public", ent, "\x0a\x01\x02\x03", 6, 1001, 4242, vbs);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int sb = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sb, sizeof sb);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        perror("trapdbench: connect");
        return 1;
    }
    constexpr int kBatch = 32;
    mmsghdr msgs[kBatch];
    iovec iov{const_cast<char*>(d.data()), d.size()};
    for (auto& m : msgs) {
        m = mmsghdr{};
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }
    long sent = 0, failed = 0;
    double start = now_ms();
    while (sent < count) {
        long due = count;
        if (rate > 0) {
            due = static_cast<long>((now_ms() - start) * rate / 1000.0) + 1;
            if (due > count) due = count;
            if (due <= sent) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
        }
        int n = static_cast<int>(std::min<long>(kBatch, due - sent));
        int r = sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
        if (r > 0) sent += r;
        else ++failed, ++sent;
    }
    double end = now_ms();
    printf("sent=%ld failed=%ld start_ms=%.1f end_ms=%.1f rate=%.0f bytes=%zu\n", sent - failed, failed, start, end,
           (sent - failed) / ((end - start) / 1000.0), d.size());
    close(fd);
    return 0;
}

struct ReadState {
    long count = 0;
    double first = 0, last = 0;
    bool lost = false;
};

void on_event(int reason, ZqSession*, ZqPdu* pdu, void* data) {
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

int read_events(long count, long idle_s) {
    ReadState st;
    ZqSession* s = ZqsnmpEventOpen(nullptr, "bench", on_event, &st, ".1.3.6.1.4.1.64001.*");
    if (s == nullptr) {
        fprintf(stderr, "trapdbench: cannot open an event session: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        return 1;
    }
    fprintf(stderr, "listening\n");
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
    printf("received=%ld first_ms=%.1f last_ms=%.1f\n", st.count, st.first, st.last);
    ZqsnmpClose(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        puts("usage: trapdbench send --port P --count N [--rate R]\n"
             "       trapdbench read --count N [--idle SECONDS]");
        return argc < 2 ? 2 : 0;
    }
    long count = arg_long(argc, argv, "--count", 100000);
    if (std::strcmp(argv[1], "send") == 0)
        return send_traps(arg_long(argc, argv, "--port", 162), count, arg_long(argc, argv, "--rate", 0));
    if (std::strcmp(argv[1], "read") == 0) return read_events(count, arg_long(argc, argv, "--idle", 3));
    fprintf(stderr, "trapdbench: unknown command '%s'\n", argv[1]);
    return 2;
}
