// trapdbench: the sender and the reader of the trap daemon benchmark.
//   trapdbench send --port P --count N [--rate R]   SNMPv1 traps with two bindings to
//                                                   127.0.0.1:P, unpaced or R a second
//   trapdbench read --count N [--idle SECONDS]      counts the events of one session
// Both print one line "key=value ..." with wall-clock times in milliseconds.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ber.h"
#include "trapbench.h"
#include "zqcommon.h"

namespace {

int send_traps(long port, long count, long rate) {
    std::vector<uint32_t> ent = {1, 3, 6, 1, 4, 1, 64001, 1, 3, 99};
    std::string vbs = ber::varbind({1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 1}, ber::octets("benchmark-trap from the sender")) +
                      ber::varbind({1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 2}, ber::integer(12345));
    std::string d = ber::v1_trap("public", ent, "\x0a\x01\x02\x03", 6, 1001, 4242, vbs);
    trapbench::SendResult res;
    if (!trapbench::send_datagrams("trapdbench", port, count, rate, {d}, 32, res)) return 1;
    trapbench::print_sent(res);
    printf(" bytes=%zu\n", d.size());
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
    using trapbench::arg_long;
    long count = arg_long(argc, argv, "--count", 100000);
    if (std::strcmp(argv[1], "send") == 0)
        return send_traps(arg_long(argc, argv, "--port", 162), count, arg_long(argc, argv, "--rate", 0));
    if (std::strcmp(argv[1], "read") == 0)
        return trapbench::read_events("trapdbench", "bench", ".1.3.6.1.4.1.64001.*", count,
                                      arg_long(argc, argv, "--idle", 3));
    fprintf(stderr, "trapdbench: unknown command '%s'\n", argv[1]);
    return 2;
}
