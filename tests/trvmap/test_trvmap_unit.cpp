// trvmap's routines in this process, against a real trapd and agentsim: the
// address checks of the configuration dialog, the cluster probe, the batches of
// the discovery requests, the trap session losing and finding trapd again,
// received traps of odd shapes, the delete-objects event and the trace file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "eventread.h"
#include "trappdu.h"
#include "trvmap.h"
#include "trvmaptest.h"

namespace {

using namespace trvmaptest;
using zqtest::ent;
using zqtest::trap;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Events collected from an event session of trapd.
struct Event {
    int specific = 0;
    std::vector<long> values;
    std::vector<size_t> lengths;
};
std::vector<Event> g_seen;

void collect(int reason, ZqSession*, ZqPdu* pdu, void*) {
    if (reason != ZQSNMP_REASON_TRAP || pdu == nullptr) return;
    Event e;
    e.specific = pdu->specific_type;
    for (const ZqVarBind* vb = pdu->variables; vb; vb = vb->next_variable) {
        e.values.push_back(vb->type == ZQ_ASN_INTEGER && vb->val.integer ? *vb->val.integer : -1);
        e.lengths.push_back(vb->val_len);
    }
    g_seen.push_back(e);
    ZqsnmpFreePdu(pdu);
}

class TrvmapUnit : public ::testing::Test {
protected:
    static inline zqtest::Instance* inst = nullptr;
    static inline Process* agents = nullptr;
    static inline Process* trapd = nullptr;
    static inline ZqSession* rx = nullptr;
    static inline int console_port = 0;

    static void start_trapd() {
        trapd = new Process({bin("trapd"), "--root", inst->root, "--foreground"}, inst->env());
        std::string filter = "." + kEnt + ".1.3.*";
        zqtest::wait_until(
            [&] { return (rx = ZqsnmpEventOpen("127.0.0.1", "trvmaptest", collect, nullptr, filter.c_str())) != nullptr; },
            10000);
    }
    static void stop_trapd() {
        ZqsnmpClose(rx);
        rx = nullptr;
        delete trapd;
        trapd = nullptr;
    }

    static void SetUpTestSuite() {
        inst = new zqtest::Instance();
        inst->activate();
        zqtest::write_file(inst->root + "/conf/snmp.conf",
                           "* community=public port=" + std::to_string(inst->snmp_port) + " timeout=0.3 retries=0\n");
        zqtest::write_file(inst->root + "/conf/hosts",
                           "127.0.61.1 role3\n127.0.61.2 role0\n127.0.61.3 role5\n127.0.61.4 role4\n"
                           "127.0.61.5 short\n127.0.61.6 silent\n127.0.61.7 console\n");
        std::string mib = "\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"ENT.1.1.1.2\"]";
        auto with_record = [&](const std::string& hex) {
            return std::vector<std::string>{mib, "\"ENT.11.2.10.1.0\": [\"HEX\", \"" + hex + "\"]"};
        };
        Node silent{"silent", {"127.0.61.6"}, "server", with_record(condition_record(2, 3))};
        silent.silent = true;
        std::vector<MapNode> nodes = {
            {{"role3", {"127.0.61.1"}, "server", with_record(condition_record(2, 3))}},
            {{"role0", {"127.0.61.2"}, "server", with_record(condition_record(2, 0))}},
            {{"role5", {"127.0.61.3"}, "server", with_record(condition_record(2, 5))}},
            {{"role4", {"127.0.61.4"}, "server", with_record(condition_record(2, 4))}},
            // 61 bytes: one short of the role byte.
            {{"short", {"127.0.61.5"}, "server", with_record(condition_record(2, 3, 61))}},
            {silent},
            {{"console", {"127.0.61.7"}, "server", with_record(condition_record(2, 0))}, true},
        };
        console_port = zqtest::free_tcp_port();
        zqtest::write_file(inst->dir.path + "/net.json", map_network_json(nodes));
        agents = new Process({bin("agentsim"), inst->dir.path + "/net.json", "--web-port", "0", "--console-port",
                              std::to_string(console_port)},
                             inst->env());
        if (!agents->wait_for_out("serving", 10000)) ADD_FAILURE() << agents->err();
        start_trapd();
    }
    static void TearDownTestSuite() {
        stop_trapd();
        delete agents;
        agents = nullptr;
        delete inst;
        inst = nullptr;
    }
    void SetUp() override {
        inst->activate();
        ASSERT_NO_FATAL_FAILURE(open_as_program("trvmap"));
        ASSERT_NE(rx, nullptr) << trapd->err();
        uiConsolePort = static_cast<unsigned int>(console_port);
        g_seen.clear();
    }
    void TearDown() override {
        ZqsnmpClose(pTrapRecvSession);
        pTrapRecvSession = nullptr;
    }
    std::string error_log() const { return zqtest::read_file(inst->root + "/temp/vtmzqerr.log"); }

    static bool receive(size_t n) {
        return zqtest::read_events_until(rx, [&] { return g_seen.size() >= n; }, 10000);
    }
    static ZqwObjectId node(const std::string& host) {
        ZqwObjectId id = ZqwDbCreateObject(nullptr);
        EXPECT_NE(id, 0u);
        set_string(id, "IP Hostname", host.c_str());
        set_bool(id, "isNode", 1);
        return id;
    }
};

// ---------------------------------------------------------------------------
// Configuration dialog: address checks
// ---------------------------------------------------------------------------

TEST_F(TrvmapUnit, AddressSyntax) {
    struct {
        const char* text;
        int valid;
    } cases[] = {
        {"10.1.2.3", 1},          {"999.999.999.999", 1}, {"1.2.3", -1},    {"1.2.3.4.5", -1},
        {".1.2.3.4", -1},         {"1.2.3.4.", -1},       {"1..2.3.4", -1}, {"1.2.3.x", -1},
        {"1.2.3.4567890123", -1}, {"", -1},               {nullptr, -1},    {"1.2.3.45678901", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(iIsValidIpAddress(c.text), c.valid) << (c.text ? c.text : "(null)");
}

TEST_F(TrvmapUnit, AgentAndConsoleProbes) {
    EXPECT_EQ(iIsAgentResponding("127.0.61.7"), 1);
    EXPECT_EQ(iIsAgentResponding("127.0.61.6"), -1);  // silent
    EXPECT_EQ(iIsAgentResponding(nullptr), -1);

    EXPECT_EQ(iIsVantorManagerRunning("127.0.61.7"), 1);
    EXPECT_EQ(iIsVantorManagerRunning("127.0.61.1"), -1);       // no console: refused
    EXPECT_EQ(iIsVantorManagerRunning("999.999.999.999"), -1);  // passes the syntax check, names nothing
    // Leading zeros pass the syntax check, and both probes take the address as
    // the SNMP session does: 127.0.61.007 is the node 127.0.61.7.
    EXPECT_EQ(iIsAgentResponding("127.0.61.007"), 1);
    EXPECT_EQ(iIsVantorManagerRunning("127.0.61.007"), 1);

    // A console that takes the connection and never answers is given up after
    // five seconds, not waited for.
    int fd = zqtest::listen_tcp("127.0.61.90", console_port);
    ASSERT_GE(fd, 0) << strerror(errno);
    auto t = Clock::now();
    EXPECT_EQ(iIsVantorManagerRunning("127.0.61.90"), -1);
    long ms = ms_since(t);
    EXPECT_GE(ms, 4500);
    EXPECT_LT(ms, 8000);
    close(fd);
}

// ---------------------------------------------------------------------------
// Cluster probe
// ---------------------------------------------------------------------------

TEST_F(TrvmapUnit, ClusterRoleByte) {
    struct {
        const char* host;
        int cluster;
    } cases[] = {
        {"role3", 1}, {"role4", 1}, {"role0", 0}, {"role5", 0},
        {"short", 0},   // the record ends before the role byte
        {"silent", 0},  // no answer
        {"nowhere", 0}, // a host name nobody resolves
    };
    for (const auto& c : cases) EXPECT_EQ(iIsCluster(node(c.host)), c.cluster) << c.host;
    ZqwObjectId nameless = ZqwDbCreateObject(nullptr);
    EXPECT_EQ(iIsCluster(nameless), 0);
    EXPECT_EQ(iIsCluster(0), 0);
}

TEST_F(TrvmapUnit, ClusterTypeIsMarkedOnceAndBounded) {
    char out[TRVMAP_SYMTYPE_MAX + 1];
    ASSERT_EQ(iClusterType("Server:TrvServer-ntentsrvr", out, sizeof out), 1);
    EXPECT_STREQ(out, "Server:TrvServer-ntentsrvr-Cluster");
    ASSERT_EQ(iClusterType("Server:TrvServer-ntentsrvr-Cluster", out, sizeof out), 1);
    EXPECT_STREQ(out, "Server:TrvServer-ntentsrvr-Cluster");
    std::string full(TRVMAP_SYMTYPE_MAX - 7, 'x');
    EXPECT_EQ(iClusterType(full.c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    std::string fits(TRVMAP_SYMTYPE_MAX - 8, 'x');
    ASSERT_EQ(iClusterType(fits.c_str(), out, sizeof out), 1);
    EXPECT_EQ(strlen(out), static_cast<size_t>(TRVMAP_SYMTYPE_MAX));
}

// ---------------------------------------------------------------------------
// Discovery requests: the action and newly created symbols
// ---------------------------------------------------------------------------

TEST_F(TrvmapUnit, DiscoverSendsBatchesOfFourteenThenFifteen) {
    struct {
        int count;
        std::vector<size_t> sizes;
    } cases[] = {{0, {}}, {14, {14}}, {15, {14, 1}}, {29, {14, 15}}, {30, {14, 15, 1}}};
    for (const auto& c : cases) {
        g_seen.clear();
        // Ids above 255 must arrive whole.
        std::vector<ZqwObjectId> ids;
        for (int i = 0; i < c.count; ++i) ids.push_back(static_cast<ZqwObjectId>(250 + i * 1000));
        ZqwObjectIdList sel = {static_cast<unsigned>(ids.size()), ids.data()};
        vMenuClickCB(nullptr, "Tarvo Discover", "", &sel, 0, nullptr, nullptr);
        vMenuClickCB(nullptr, "Tarvo Monitor", "", &sel, 0, nullptr, nullptr);  // not its action
        // A marker event ends what this case sent.
        ZqPdu* end = ZqsnmpCreatePdu(ZQSNMP_TRAP);
        ASSERT_EQ(iSendInternalEvent(end, pGetEventDef(EVT_NODE_CHANGED)->aEnterprise, TRV_EVENT_OID_LEN, 6,
                                     EVT_NODE_CHANGED),
                  1);
        ZqsnmpFreePdu(end);
        ASSERT_TRUE(receive(c.sizes.size() + 1)) << c.count;
        std::vector<size_t> sizes;
        std::vector<long> values;
        for (size_t k = 0; k + 1 < g_seen.size(); ++k) {
            EXPECT_EQ(g_seen[k].specific, EVT_DISCOVER_REQUEST);
            sizes.push_back(g_seen[k].values.size());
            values.insert(values.end(), g_seen[k].values.begin(), g_seen[k].values.end());
            for (size_t len : g_seen[k].lengths) EXPECT_EQ(len, 4u);
        }
        EXPECT_EQ(sizes, c.sizes) << c.count;
        EXPECT_EQ(values, std::vector<long>(ids.begin(), ids.end())) << c.count;
    }
}

TEST_F(TrvmapUnit, CreatedSymbolsAskForDiscoveryOfTheirObjects) {
    std::vector<ZqwSymbolInfo> entries(16);
    for (int i = 0; i < 16; ++i) entries[i].object = static_cast<ZqwObjectId>(1000 + i);
    ZqwSymbolList symbols = {16, entries.data()};
    vCreateSymbolsCB(nullptr, ZQW_EVENT_MAP_OPEN, nullptr, &symbols);  // another event: nothing
    vCreateSymbolsCB(nullptr, ZQW_EVENT_CONFIRM_CREATE_SYMBOLS, nullptr, &symbols);
    ASSERT_TRUE(receive(2));
    EXPECT_EQ(g_seen[0].values.size(), 14u);
    EXPECT_EQ(g_seen[1].values, (std::vector<long>{1014, 1015}));
    zqtest::read_events_until(rx, [] { return false; }, 300);
    EXPECT_EQ(g_seen.size(), 2u);
}

// ---------------------------------------------------------------------------
// Received traps and the trap session
// ---------------------------------------------------------------------------

TEST_F(TrvmapUnit, OddTrapsAreFreedAndIgnored) {
    // Identifiers shorter than the events', an event number under another
    // enterprise length, bindings that are no integers, and no PDU at all.
    std::vector<ZqPdu*> pdus = {
        trap({1, 3}, {}),
        trap(ent({1, 3}), ent({1, 3, 11, 0})),
        trap(ent({1, 3, 11, 0, 3003}), ent({1, 3})),
        trap({}, {}),
    };
    for (ZqPdu* p : pdus) vTrapRecvCB(ZQSNMP_REASON_TRAP, nullptr, p, nullptr);
    vTrapRecvCB(ZQSNMP_REASON_TRAP, nullptr, nullptr, nullptr);
    vTrapRecvCB(ZQSNMP_REASON_ERROR, nullptr, nullptr, nullptr);
    SUCCEED();  // the sanitizer build checks the reads and frees
}

TEST_F(TrvmapUnit, LostTrapdIsReportedOnceAndTheSessionComesBack) {
    ASSERT_EQ(iOpenTrapSession(), 1);
    ASSERT_NE(pTrapRecvSession, nullptr);
    iMapDescriptor = -1;
    size_t reports_before = 0;
    {
        std::string log = error_log();
        for (size_t at = log.find("Lost connection with trapd"); at != std::string::npos;
             at = log.find("Lost connection with trapd", at + 1))
            ++reports_before;
    }
    stop_trapd();
    auto t = Clock::now();
    for (int i = 0; i < 20 && pTrapRecvSession != nullptr; ++i) vWaitLoopPass(200);
    EXPECT_EQ(pTrapRecvSession, nullptr);

    // Without a session the loop waits; it does not spin.
    auto w = Clock::now();
    vWaitLoopPass(300);
    EXPECT_GE(ms_since(w), 250);

    start_trapd();
    ASSERT_NE(rx, nullptr);
    // Tried again after a second (trapd is usually back by then), not at once.
    while (pTrapRecvSession == nullptr && ms_since(t) < 6000) vWaitLoopPass(200);
    ASSERT_NE(pTrapRecvSession, nullptr);
    EXPECT_GE(ms_since(t), 900);
    std::string log = error_log();
    size_t reports = 0;
    for (size_t at = log.find("Lost connection with trapd"); at != std::string::npos;
         at = log.find("Lost connection with trapd", at + 1))
        ++reports;
    EXPECT_EQ(reports, reports_before + 1) << log;
}

// ---------------------------------------------------------------------------
// Delete-objects event
// ---------------------------------------------------------------------------

TEST_F(TrvmapUnit, DeleteEventRemovesOnlyObjectsMarkedForDeletion) {
    ZqwObjectId gone = node("gone"), kept = node("kept");
    for (ZqwObjectId id : {gone, kept}) {
        set_enum(id, "trvSysType", "TrvServer");
        set_bool(id, "isTrvVantor", 1);
    }
    std::vector<ZqwObjectInfo> entries(3);
    entries[0].object = gone;
    entries[0].state = 2;
    entries[1].object = kept;
    entries[1].state = 1;
    entries[2].object = 999999;  // no such object: nothing to report
    entries[2].state = 2;
    ZqwObjectList objects = {3, entries.data()};
    std::string before = error_log();
    vDeleteObjectsCB(nullptr, ZQW_EVENT_DELETE_OBJECTS, nullptr, &objects);
    EXPECT_FALSE(zq::zqw::object_exists(gone));
    EXPECT_TRUE(zq::zqw::object_exists(kept));
    EXPECT_EQ(value(kept, "trvSysType"), "TrvServer");
    EXPECT_EQ(error_log(), before);
}

// ---------------------------------------------------------------------------
// Trace file
// ---------------------------------------------------------------------------

TEST_F(TrvmapUnit, TraceFileFollowsTheMarkerAndNeverALink) {
    std::string marker = inst->root + "/temp/srdbglog.txt", trace = inst->root + "/temp/trvmapdebug.log";
    auto reset = [&] {
        if (fpMapDebug) fclose(fpMapDebug);
        fpMapDebug = nullptr;
        iMapDebug = 0;
    };
    unlink(marker.c_str());
    unlink(trace.c_str());
    vOpenMapTrace();
    EXPECT_EQ(iMapDebug, 0);
    vMapTrace("nothing\n");
    EXPECT_NE(access(trace.c_str(), F_OK), 0);

    zqtest::write_file(marker, "");
    zqtest::write_file(trace, "an older trace\n");
    vOpenMapTrace();
    EXPECT_EQ(iMapDebug, 1);
    vMapTrace("trvmap - %s\n", "traced");
    EXPECT_EQ(zqtest::read_file(trace), "MapDebug file opened for debug logging.\ntrvmap - traced\n");
    reset();

    // A link in the trace file's place is not followed: tracing stays off.
    std::string target = inst->dir.path + "/elsewhere";
    zqtest::write_file(target, "keep me\n");
    unlink(trace.c_str());
    ASSERT_EQ(symlink(target.c_str(), trace.c_str()), 0);
    vOpenMapTrace();
    EXPECT_EQ(iMapDebug, 0);
    EXPECT_EQ(zqtest::read_file(target), "keep me\n");
    reset();
    unlink(trace.c_str());
    unlink(marker.c_str());
}

}  // namespace
