// topobench: measures the topology database on one instance.
//
//   topobench --root ROOT --nodes N --zqtopo PATH [--writes W]
//
// Writes a network file of N nodes with one address each (the first 100 are
// servers, the rest clients), times `zqtopo import` of it, then times look-ups
// by selection name and by host name (median of single calls), lists of the 100
// servers (by one condition and by two), and W single-field writes.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "zqw.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string node_name(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "node%06d", i);
    return buf;
}

// Runs a program; its exit status, and the processor time it used in cpu_s.
int run_program(const std::vector<std::string>& args, double& cpu_s) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int st = 0;
    struct rusage ru {};
    wait4(pid, &st, 0, &ru);
    cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

double cpu_now() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void die(const std::string& msg) {
    std::cerr << "topobench: " << msg << " (" << ZqwErrorMsg(ZqwError()) << ")\n";
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string root, zqtopo;
    int nodes = 1000, writes = 10000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--root") root = next();
        else if (a == "--nodes") nodes = std::atoi(next().c_str());
        else if (a == "--zqtopo") zqtopo = next();
        else if (a == "--writes") writes = std::atoi(next().c_str());
        else if (a == "--help") {
            std::cout << "usage: topobench --root ROOT --nodes N --zqtopo PATH [--writes W]\n";
            return 0;
        } else die("unknown argument " + a);
    }
    if (root.empty() || zqtopo.empty() || nodes < 100 || nodes > 16000000) die("bad arguments");
    setenv("ZQ_ROOT", root.c_str(), 1);

    // The network file.
    std::string net = root + "/bench-network.json";
    {
        std::ofstream out(net);
        out << "{ \"nodes\": [\n";
        for (int i = 0; i < nodes; ++i) {
            out << (i ? ",\n" : "") << "{\"name\":\"" << node_name(i) << "\",\"addresses\":[\"10."
                << ((i >> 16) & 255) << "." << ((i >> 8) & 255) << "." << (i & 255) << "\"],\"kind\":\""
                << (i < 100 ? "server" : "client") << "\",\"snmp\":true,\"status\":\"Normal\"}";
        }
        out << "\n] }\n";
    }
    // The machine may be shared: the processor time is given beside the wall time.
    auto t0 = Clock::now();
    double import_cpu = 0;
    if (run_program({zqtopo, "import", net}, import_cpu) != 0) die("zqtopo import failed");
    double import_s = micros(Clock::now() - t0) / 1e6;
    std::printf("nodes %d: import %.2f s wall, %.0f nodes/s; %.2f s processor time, %.0f nodes/s "
                "(each node with one interface object)\n",
                nodes, import_s, nodes / import_s, import_cpu, nodes / import_cpu);

    if (ZqwDbInit() != 0) die("no database");
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> pick(0, nodes - 1);
    const int lookups = 20000;
    std::vector<double> by_sel, by_host;
    for (int i = 0; i < lookups; ++i) {
        std::string name = node_name(pick(rng));
        auto a = Clock::now();
        ZqwObjectId id = ZqwDbSelectionNameToObjectId(name.c_str());
        auto b = Clock::now();
        ZqwObjectId id2 = ZqwDbHostnameToObjectId(name.c_str());
        auto c = Clock::now();
        if (ZqwIsIdNull(id) || id != id2) die("look-up of " + name + " failed");
        by_sel.push_back(micros(b - a));
        by_host.push_back(micros(c - b));
    }
    std::printf("nodes %d: look-up by selection name %.1f us, by host name %.1f us (median of %d)\n", nodes,
                median(by_sel), median(by_host), lookups);

    ZqwFieldId is_server = ZqwDbFieldNameToFieldId("isServer");
    ZqwFieldId is_computer = ZqwDbFieldNameToFieldId("isComputer");
    ZqwFieldValue yes{0, ZQW_BOOL_FIELD, {1}};
    ZqwFieldBinding two[] = {{is_computer, &yes}, {is_server, &yes}};
    ZqwFieldBindList both{2, two};
    std::vector<double> one_cond, two_cond;
    for (int i = 0; i < 500; ++i) {
        auto a = Clock::now();
        ZqwObjectIdList* l1 = ZqwDbListObjectsByFieldValue(is_server, &yes);
        auto b = Clock::now();
        ZqwObjectIdList* l2 = ZqwDbListObjectsByFieldValues(&both);
        auto c = Clock::now();
        if (l1 == nullptr || l2 == nullptr || l1->count != 100 || l2->count != 100) die("list failed");
        ZqwDbFreeObjectIdList(l1);
        ZqwDbFreeObjectIdList(l2);
        one_cond.push_back(micros(b - a));
        two_cond.push_back(micros(c - b));
    }
    std::printf("nodes %d: list of 100 matches: isServer=TRUE %.1f us; isComputer=TRUE and isServer=TRUE "
                "(%d computers) %.1f us (median of 500)\n",
                nodes, median(one_cond), nodes, median(two_cond));

    ZqwFieldId maps = ZqwDbFieldNameToFieldId("ZQW Maps Exists");
    std::vector<ZqwObjectId> targets;
    for (int i = 0; i < 1000; ++i) targets.push_back(ZqwDbSelectionNameToObjectId(node_name(pick(rng)).c_str()));
    auto w0 = Clock::now();
    double c0 = cpu_now();
    for (int i = 0; i < writes; ++i)
        if (ZqwDbSetFieldIntegerValue(targets[static_cast<size_t>(i) % targets.size()], maps, i) != 1)
            die("write failed");
    double write_s = micros(Clock::now() - w0) / 1e6, write_cpu = cpu_now() - c0;
    std::printf("nodes %d: %d single-field writes %.2f s wall, %.0f writes/s; %.2f s processor time "
                "(one transaction each)\n",
                nodes, writes, write_s, writes / write_s, write_cpu);
    ZqwDbDone();
    return 0;
}
