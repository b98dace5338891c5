// evbench: fills an event store, the way the map program's writer does, and
// times it against one transaction per event; then indexes the texts, and
// times the writer at the store's bound (every new event takes the place of
// an old one).
//   evbench fill FILE COUNT [BOUND]   (BOUND: the store's bound, default COUNT)
// Prints "key=value ..." lines; wall-clock times in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "evconf.h"
#include "evstore.h"
#include "zqcommon.h"

namespace {

double now_ms() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count() / 1000.0;
}

// The events of the benchmark: ten vendor traps from 200 nodes, each with a
// readable text and two bindings, classified by the shipped configuration.
zq::ev::Event make(const zq::ev::Conf& conf, long i, int64_t t) {
    zq::ev::Event e;
    int k = static_cast<int>(i % 10);
    e.time_ms = t;
    e.trap_id = zq::expand_arcs("ENT.1.3.1.0.") + std::to_string(6001 + k);
    zq::parse_oid(e.trap_id, e.trap_oid);
    e.enterprise = zq::expand_arcs("ENT.1.3.1");
    e.generic = 6;
    e.specific = 6001 + k;
    e.agent = "10.1." + std::to_string(i % 200 / 100) + "." + std::to_string(i % 100 + 1);
    e.node = static_cast<uint32_t>(i % 200 + 1);
    e.node_name = "srv-" + std::to_string(i % 200 + 1);
    e.community = "public";
    e.bindings = {{zq::expand_arcs("ENT.11.2.8.1"), "OCTET STRING",
                   "Fan " + std::to_string(k + 1) + " in chassis 1 of " + e.node_name + " has failed: condition " +
                       std::to_string(i % 4 + 1) + ". Replace the fan (event " + std::to_string(i) + ").",
                   false}};
    zq::ev::classify(conf, e);
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc != 4 && argc != 5) || std::string(argv[1]) != "fill") {
        std::fprintf(stderr, "usage: evbench fill FILE COUNT [BOUND]\n");
        return 2;
    }
    long count = std::atol(argv[3]);
    int64_t bound = argc == 5 ? std::atoll(argv[4]) : count;  // events_max of the last part
    zq::ev::Conf conf;
    std::vector<std::string> errors;
    zq::ev::load_events_conf(zq::expand_arcs(ZQ_SOURCE_DIR "/zq/conf/events.conf"), conf, errors);
    zq::ev::Store s;
    if (!s.open(argv[2], true)) {
        std::fprintf(stderr, "evbench: %s\n", s.error().c_str());
        return 1;
    }
    int64_t t0 = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch()).count();
    // Baseline: one transaction per event.
    const long single = 2000;
    double a = now_ms();
    for (long i = 0; i < single; ++i) {
        std::vector<zq::ev::Event> one{make(conf, i, t0)};
        if (!s.add(one)) return std::fprintf(stderr, "evbench: %s\n", s.error().c_str()), 1;
    }
    double single_rate = single / ((now_ms() - a) / 1000.0);
    a = now_ms();
    long done = single;
    while (done < count) {
        std::vector<zq::ev::Event> batch;
        for (long i = 0; i < 5000 && done < count; ++i, ++done) batch.push_back(make(conf, done, t0 + done / 20));
        if (!s.add(batch)) return std::fprintf(stderr, "evbench: %s\n", s.error().c_str()), 1;
        if (done % 100000 < 5000) std::fprintf(stderr, "evbench: %ld events\n", done);
    }
    double batch_rate = (done - single) / ((now_ms() - a) / 1000.0);
    // The text index, as the map program's writer fills it when the intake leaves time.
    a = now_ms();
    int64_t n = 0, indexed = 0;
    do {
        if (!s.index_some(2000, n)) return std::fprintf(stderr, "evbench: %s\n", s.error().c_str()), 1;
        indexed += n;
    } while (n);
    double index_rate = indexed / ((now_ms() - a) / 1000.0);
    // A full store: each batch takes the oldest indexed events' place, as the
    // writer's bound does at events_max (its chunk of 20,000 a transaction).
    const long full = std::min(count / 5, 100000L);
    a = now_ms();
    int64_t removed_all = 0;
    for (long k = 0; k < full;) {
        std::vector<zq::ev::Event> batch;
        for (long i = 0; i < 5000 && k < full; ++i, ++k, ++done) batch.push_back(make(conf, done, t0 + done / 20));
        int64_t removed = 0;
        if (!s.add(batch) || !s.prune(bound, 30, t0, 20000, removed))
            return std::fprintf(stderr, "evbench: %s\n", s.error().c_str()), 1;
        removed_all += removed;
    }
    double full_rate = full / ((now_ms() - a) / 1000.0);
    std::printf("stored=%ld batched_rate=%.0f single_rate=%.0f ratio=%.1f indexed=%lld index_rate=%.0f "
                "at_bound=%ld removed=%lld at_bound_rate=%.0f\n",
                count, batch_rate, single_rate, batch_rate / single_rate, static_cast<long long>(indexed), index_rate,
                full, static_cast<long long>(removed_all), full_rate);
    return 0;
}
