// mapbench: the map half of the topology library on one instance whose map
// program has made the node symbols of the map "default".
//
//   mapbench --root ROOT [--chips K] [--sync] [--status OBJECT STATUS]
//
// --chips K  gives every node symbol K component symbols (new objects with mixed
//            statuses on the map), in one map sync, and says how long it took.
// --sync     sets the type and the status source of every node symbol inside one
//            ZqwBeginMapSync/ZqwEndMapSync, then makes as many single-field writes
//            ("Bench Value", each its own transaction) and prints both and the ratio.
// --status   sets the status of OBJECT on the map (ZqwSetStatusOnObject), as an
//            application does for a component; the page benchmark times it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zqw.h"
#include "zqw_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "mapbench: %s: %s (%d)\n", what, ZqwErrorMsg(ZqwError()), ZqwError());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::string root;
    int chips = 0;
    bool sync = false;
    long status_object = 0, status_value = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--root") && i + 1 < argc) root = argv[++i];
        else if (!std::strcmp(argv[i], "--chips") && i + 1 < argc) chips = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--sync")) sync = true;
        else if (!std::strcmp(argv[i], "--status") && i + 2 < argc) {
            status_object = std::atol(argv[++i]);
            status_value = std::atol(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: mapbench --root ROOT [--chips K] [--sync] [--status OBJECT STATUS]\n");
            return 2;
        }
    }
    if (root.empty()) {
        std::fprintf(stderr, "mapbench: --root is required\n");
        return 2;
    }
    setenv("ZQ_ROOT", root.c_str(), 1);
    if (ZqwDbInit() != 0) die("cannot open the database");
    zq::zqw::MapRow row;
    if (!zq::zqw::find_map("default", row)) die("no map default");
    ZqwMapInfo map{row.name.data(), row.read_only ? 1 : 0, row.id};
    if (status_object > 0) {
        if (ZqwSetStatusOnObject(&map, static_cast<ZqwObjectId>(status_object), static_cast<int>(status_value)) != 1)
            die("set status on object");
        ZqwDbDone();
        return 0;
    }
    std::vector<zq::zqw::SymbolRow> symbols;
    if (!zq::zqw::load_symbols(row.id, symbols)) die("cannot read the symbols");
    std::vector<zq::zqw::SymbolRow> nodes;
    for (auto& s : symbols)
        if (s.parent == 0) nodes.push_back(s);

    if (chips > 0) {
        static const char* kinds[] = {"Storage", "Thermal", "Power", "Network", "Memory", "Processor"};
        auto t = Clock::now();
        if (ZqwBeginMapSync(&map) != 1) die("begin map sync");
        unsigned n = 0;
        for (const auto& node : nodes) {
            for (int k = 0; k < chips; ++k, ++n) {
                ZqwObjectId obj = ZqwDbCreateObject(nullptr);
                if (obj == 0) die("create object");
                std::string type = std::string("BenchChip:") + kinds[k % 6];
                // Mostly Normal, some of every other status.
                static const int mix[] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 6, 7, 4, 1, 2, 2, 2};
                int status = mix[(n * 7919u) % 20];
                if (ZqwCreateComponentSymbol(&map, node.object, obj, type.c_str(), kinds[k % 6], status, ZQW_SOURCE_OBJECT,
                                             ZQW_BEHAVIOR_EXPLODABLE, 0) == 0)
                    die("create component symbol");
            }
        }
        if (ZqwEndMapSync(&map) != 1) die("end map sync");
        std::printf("components: %u made in one map sync in %.0f ms\n", n, ms_since(t));
    }

    if (sync) {
        size_t count = nodes.size();
        // Two passes: every symbol to another type and source, then back to what
        // it had, so that every call changes something (an unchanged value is
        // refused with 92) and the map ends as it was.
        auto pass = [&](bool there) {
            auto t = Clock::now();
            if (ZqwBeginMapSync(&map) != 1) die("begin map sync");
            for (const auto& node : nodes) {
                std::string type = there ? (node.type == "Computer:Generic" ? "Server:Generic" : "Computer:Generic") : node.type;
                int source = there ? (node.source == ZQW_SOURCE_COMPOUND ? ZQW_SOURCE_OBJECT : ZQW_SOURCE_COMPOUND) : node.source;
                if (ZqwSetSymbolType(&map, node.id, type.c_str(), 0) != 1) die("set type");
                if (ZqwSetSymbolStatusSource(&map, node.id, source) != 1) die("set status source");
            }
            if (ZqwEndMapSync(&map) != 1) die("end map sync");
            return ms_since(t);
        };
        double there = pass(true), back = pass(false);
        double sync_ms = (there + back) / 2;

        ZqwFieldId field = ZqwDbFieldNameToFieldId("Bench Value");
        if (field == 0) die("field Bench Value");
        auto t = Clock::now();
        int v = 0;
        for (const auto& node : nodes)
            if (ZqwDbSetFieldIntegerValue(node.object, field, ++v) != 1) die("single write");
        double single_ms = ms_since(t);
        std::printf("map sync: type and status source of %zu symbols in one sync: %.0f ms (%.0f and %.0f; %.0f symbols/s)\n",
                    count, sync_ms, there, back, count / (sync_ms / 1000));
        std::printf("baseline: %zu single-field writes: %.0f ms (%.0f writes/s)\n", count, single_ms,
                    count / (single_ms / 1000));
        std::printf("ratio: the map sync is %.1fx as fast (target >= 2x)\n", single_ms / sync_ms);
    }
    ZqwDbDone();
    return 0;
}
