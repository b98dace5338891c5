// GET /metrics among the real daemons: agentsim, zqspmd, trapd, trvdis,
// trvtrapd and the map program with trvmap; known traps sent to trapd, and the
// scrape read by the monitoring client's own parser.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mapplatform.h"
#include "metricsparse.h"

namespace {

using namespace trvmaptest;

const char kDefinitions[] =
    "START_TRAP\n{.ENT.6} 6001 Y\nFan @1 failed\nEND_TRAP\n"
    "START_TRAP\n{.ENT.6} 6012 N\nSelf test found @1 errors\nEND_TRAP\n";

std::string with_ent(std::string s) {
    for (size_t p; (p = s.find("ENT.")) != std::string::npos;) s.replace(p, 3, kEnt);
    return s;
}

struct MetricsPlatform : MapPlatform {
    MetricsPlatform() : MapPlatform(nodes()) {
        zqtest::write_file(inst.root + "/conf/zqsuf", "trapd " + bin("trapd") + "\ntrvdis " + bin("trvdis") +
                                                          "\ntrvtrapd " + bin("trvtrapd") + "\nzqw " + bin("zqw") +
                                                          " --stop-grace 5\n");
        zqtest::write_file(inst.root + "/conf/c/trv/trvtrapd.conf", with_ent(kDefinitions));
        zqtest::write_file(inst.root + "/conf/c/trv/trvval2str.trap", with_ent("BEGIN_OID ENT.6.2.1\n2 \"ok\"\nEND_OID\n"));
    }
    static std::vector<Node> nodes() {
        Node vendor{"ent1", {"127.0.64.1"}, "server", vendor_mib("ENT.1.1.1.1", "0102")};
        Node other{"other", {"127.0.64.2"}, "server", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.64099.2\"]"}};
        return {vendor, other};
    }
    // GET path: the status and the body (-1 without an answer).
    std::pair<int, std::string> get(const std::string& path, bool with_password = true) {
        httplib::Client c("127.0.0.1", inst.http_port);
        c.set_read_timeout(10, 0);
        if (with_password) c.set_basic_auth("zq", inst.http_password);
        auto r = c.Get(path);
        if (!r) return {-1, ""};
        return {r->status, r->body};
    }
    zqtest::Scrape scrape() {
        auto [status, body] = get("/metrics");
        zqtest::Scrape s;
        if (status == 200) s = zqtest::parse_exposition(body);
        else s.error = "status " + std::to_string(status) + ": " + body;
        return s;
    }
    void trap(int number, const std::string& community = "public") {
        std::string snmp_dir = inst.dir.path + "/snmp";
        RunResult r = zqtest::run({"/usr/bin/snmptrap", "-v1", "-c", community,
                                   "127.0.0.1:" + std::to_string(inst.trap_port), with_ent(".ENT.6"), "127.0.64.1",
                                   "6", std::to_string(number), "100", with_ent("ENT.6.2.1"), "i", "2"},
                                  {{"MIBS", ""}, {"SNMPCONFPATH", snmp_dir}, {"SNMP_PERSISTENT_DIR", snmp_dir}});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void garbage() {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(inst.trap_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char junk[] = "\x30\x82\xff\xff not a message";
        EXPECT_GT(sendto(fd, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        close(fd);
    }
};

TEST(Metrics, TheScrapeCountsKnownTrapsAndShowsEveryDaemon) {
    MetricsPlatform p;
    p.start_agents();
    p.start_pm();
    RunResult r = p.zqstart();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(p.wait_app("Tarvo", "running")) << p.app_out();
    // The password guards it as it guards the API.
    EXPECT_EQ(p.get("/metrics", false).first, 401);

    // Two translated traps, one that asks for the node's status, two numbers
    // without a definition, one with a community trapd does not take and one
    // datagram that is no message at all.
    p.trap(6012);
    p.trap(6012);
    p.trap(6001);
    p.trap(6099);
    p.trap(6098);
    p.trap(6012, "wrong");
    p.garbage();

    zqtest::Scrape s;
    bool counted = zqtest::wait_until(
        [&] {
            s = p.scrape();
            return s.parsed && s.value("trv_traps_translated_total") == 3 && s.value("trv_traps_unknown_total") == 2 &&
                   s.value("zq_trapd_received_traps_total") == 7 && s.value("trv_dis_requests_served_total") >= 1 &&
                   s.value("trv_dis_passes_total") >= 1;
        },
        20000, 200);
    ASSERT_TRUE(counted) << s.error << s.samples.dump(1);

    struct {
        const char* name;
        const char* label;
        const char* label_value;
        double expected;
    } exact[] = {
        {"zq_trapd_malformed_total", "what", "datagram", 1},
        {"zq_trapd_refused_total", "reason", "community", 1},
        {"zq_trapd_refused_total", "reason", "local_only", 0},
        {"zq_trapd_kernel_dropped_total", "", "", 0},
        {"zq_trapd_session_dropped_total", "session", "startrap", 0},
        {"trv_traps_received_total", "", "", 5},
        {"trv_status_requests_total", "", "", 1},
        {"trv_dis_last_pass_nodes", "", "", 2},
        {"zq_map_app_sessions", "", "", 1},
        {"zq_process_running", "process", "trvtrapd", 1},
        {"zq_spmd_up", "", "", 1},
    };
    for (const auto& e : exact)
        EXPECT_EQ(s.value(e.name, e.label, e.label_value), e.expected) << e.name << " " << e.label_value;
    // Every vendor trap, re-issue and status request went through trvtrapd's session.
    EXPECT_GE(s.value("zq_trapd_session_queued_total", "session", "startrap"), 5);
    EXPECT_GE(s.value("trv_dis_last_pass_duration_seconds"), 0);
    EXPECT_EQ(s.value("trv_dis_queue_length", "queue", "request"), 0);
    // The event store saw the vendor traps too, and lost none.
    EXPECT_GE(s.value("zq_events_received_total"), 5);
    EXPECT_EQ(s.value("zq_events_lost_total"), 0);
    EXPECT_EQ(s.count("zq_trapd_refused_total"), 10u);
    // HELP and TYPE as the parser read them (it names a counter without _total).
    EXPECT_EQ(s.types["zq_trapd_received_traps"], "counter");
    EXPECT_EQ(s.types["trv_traps_translated"], "counter");
    EXPECT_EQ(s.types["trv_dis_queue_length"], "gauge");

    // A page's snapshot of the map is counted with its symbols.
    ASSERT_EQ(p.get("/api/maps/open/symbols").first, 200);
    s = p.scrape();
    EXPECT_EQ(s.value("zq_map_snapshots_total"), 1) << s.error;
    EXPECT_GE(s.value("zq_map_last_snapshot_symbols"), 2);

    // A daemon's figures go with it and come back, from zero, with its next life.
    ASSERT_EQ(p.zqstop({"trvtrapd"}).status, 0);
    s = p.scrape();
    EXPECT_TRUE(std::isnan(s.value("trv_traps_translated_total"))) << s.samples.dump(1);
    EXPECT_EQ(s.value("zq_process_running", "process", "trvtrapd"), 0);
    ASSERT_EQ(p.zqstart({"trvtrapd"}).status, 0);
    EXPECT_TRUE(zqtest::wait_until([&] { return p.scrape().value("trv_traps_translated_total") == 0; }, 10000, 100));

    // The daemons ran under the sanitizers of the build, if any: nothing reported.
    ASSERT_EQ(p.zqstop({"all"}).status, 0);
    for (const char* name : {"trapd", "trvdis", "trvtrapd", "zqw", "Tarvo"}) {
        std::string out = zqtest::read_file(p.inst.root + "/log/" + name + ".out");
        EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
        EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
    }
}

}  // namespace
