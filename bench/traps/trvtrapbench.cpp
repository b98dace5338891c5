// trvtrapbench: the sender and the reader of the trap formatter benchmark.
//   trvtrapbench send --port P --count N [--rate R]
//       SNMPv1 vendor traps to 127.0.0.1:P, cycling over the ten benchmark
//       definitions (enterprise ENT.6, numbers 6001 to 6010), each from an agent of
//       its own, with two bindings: a fan condition (INTEGER 1 to 4) and a server
//       name.  Unpaced, or R a second.
//   trvtrapbench read --count N [--idle SECONDS]
//       counts the traps trvtrapd re-issues (enterprise ENT.1.3.1) on an event
//       session of this instance's trapd.
// Both print one line "key=value ..." with wall-clock times in milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

const std::vector<uint32_t> kEnt = {ZQ_ENT_SUBIDS};

std::vector<uint32_t> below(std::initializer_list<uint32_t> tail) {
    std::vector<uint32_t> v = kEnt;
    v.insert(v.end(), tail);
    return v;
}

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
    // Ten datagrams, one per definition; fan k of condition k % 4 + 1.
    std::vector<std::string> grams;
    for (uint32_t i = 0; i < 10; ++i) {
        std::string vbs = ber::varbind(below({6, 2, 6, 7, 1, 9, i + 1}), ber::integer(i % 4 + 1)) +
                          ber::varbind({1, 3, 6, 1, 2, 1, 1, 5, 0}, ber::octets("srv-" + std::to_string(i + 1)));
        std::string agent = {10, 1, 0, static_cast<char>(i + 1)};
        grams.push_back(ber::v1_trap("public", below({6}), agent, 6, static_cast<int>(6001 + i), 100 + i, vbs));
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int sb = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sb, sizeof sb);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        perror("trvtrapbench: connect");
        return 1;
    }
    constexpr int kBatch = 10;
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    for (int i = 0; i < kBatch; ++i) {
        iov[i] = {const_cast<char*>(grams[static_cast<size_t>(i)].data()), grams[static_cast<size_t>(i)].size()};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
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
        // Always from the definition that is next in the cycle.
        int first = static_cast<int>(sent % kBatch);
        int n = static_cast<int>(std::min<long>(kBatch - first, due - sent));
        int r = sendmmsg(fd, msgs + first, static_cast<unsigned>(n), 0);
        if (r > 0) {
            sent += r;
        } else {
            ++failed;
            ++sent;
        }
    }
    double end = now_ms();
    printf("sent=%ld failed=%ld start_ms=%.1f end_ms=%.1f rate=%.0f\n", sent - failed, failed, start, end,
           (sent - failed) / ((end - start) / 1000.0));
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
    std::string filter = "." ZQ_ENT_TEXT ".1.3.1.*";
    ZqSession* s = ZqsnmpEventOpen(nullptr, "trvtrapbench", on_event, &st, filter.c_str());
    if (s == nullptr) {
        fprintf(stderr, "trvtrapbench: cannot open an event session: %s\n", ZqsnmpErrString(ZqsnmpErrno));
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
        puts("usage: trvtrapbench send --port P --count N [--rate R]\n"
             "       trvtrapbench read --count N [--idle SECONDS]");
        return argc < 2 ? 2 : 0;
    }
    long count = arg_long(argc, argv, "--count", 20000);
    if (std::strcmp(argv[1], "send") == 0)
        return send_traps(arg_long(argc, argv, "--port", 162), count, arg_long(argc, argv, "--rate", 0));
    if (std::strcmp(argv[1], "read") == 0) return read_events(count, arg_long(argc, argv, "--idle", 5));
    fprintf(stderr, "trvtrapbench: unknown command '%s'\n", argv[1]);
    return 2;
}
