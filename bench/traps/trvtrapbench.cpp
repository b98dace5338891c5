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
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ber.h"
#include "trapbench.h"
#include "zqcommon.h"

namespace {

const std::vector<uint32_t> kEnt = {ZQ_ENT_SUBIDS};

std::vector<uint32_t> below(std::initializer_list<uint32_t> tail) {
    std::vector<uint32_t> v = kEnt;
    v.insert(v.end(), tail);
    return v;
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
    trapbench::SendResult res;
    if (!trapbench::send_datagrams("trvtrapbench", port, count, rate, grams, grams.size(), res)) return 1;
    trapbench::print_sent(res);
    printf("\n");
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
    using trapbench::arg_long;
    long count = arg_long(argc, argv, "--count", 20000);
    if (std::strcmp(argv[1], "send") == 0)
        return send_traps(arg_long(argc, argv, "--port", 162), count, arg_long(argc, argv, "--rate", 0));
    if (std::strcmp(argv[1], "read") == 0) {
        std::string filter = "." ZQ_ENT_TEXT ".1.3.1.*";
        return trapbench::read_events("trvtrapbench", "trvtrapbench", filter.c_str(), count,
                                      arg_long(argc, argv, "--idle", 5));
    }
    fprintf(stderr, "trvtrapbench: unknown command '%s'\n", argv[1]);
    return 2;
}
