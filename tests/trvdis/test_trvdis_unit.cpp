// trvdis's modules in this process: the queues, the loop's timer through the
// clock and wait seams, the drain of a long pass, rule matching, received
// events with short or odd contents, the status poll and its time-out, the
// configuration's range checks, and the agent probe against agentsim.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "allochook.h"
#include "eventread.h"
#include "trappdu.h"
#include "trvdis.h"
#include "trvdistest.h"

namespace {

using namespace trvdistest;
using zqtest::ent;
using zqtest::trap;
using zqtest::zent;

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// A UDP socket on addr:port that counts what it receives.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener(const char* addr, int p) : port(p) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr, &a.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    }
    ~Listener() { close(fd); }
    int drain() {
        char buf[2048];
        int n = 0;
        while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
        return n;
    }
};

// A real trapd of the instance for one test, and a session of its own that
// counts the vendor's events trapd delivers (control events never go over UDP).
struct EventTap {
    zqtest::Process trapd;
    ZqSession* rx = nullptr;
    int seen = 0;
    static void count(int reason, ZqSession*, ZqPdu* pdu, void* data) {
        if (reason == ZQSNMP_REASON_TRAP) ++*static_cast<int*>(data);
        if (pdu) ZqsnmpFreePdu(pdu);
    }
    explicit EventTap(const zqtest::Instance& in)
        : trapd({zqtest::bin("trapd"), "--root", in.root, "--foreground"}, in.env()) {
        vCloseEventSender();  // the next event opens its session with this trapd
        std::string filter = std::string(".") + ZQ_ENT_TEXT + ".*";
        zqtest::wait_until([&] { return (rx = ZqsnmpEventOpen("127.0.0.1", "tap", count, &seen, filter.c_str())) != nullptr; },
                           10000);
        EXPECT_NE(rx, nullptr) << trapd.err();
    }
    ~EventTap() {
        vCloseEventSender();
        ZqsnmpClose(rx);
    }
    // The events delivered since the last call (waits up to 2 s for want of them).
    int drain(int want = 1) {
        if (rx) zqtest::read_events_until(rx, [&] { return seen >= want; }, 2000);
        int n = seen;
        seen = 0;
        return n;
    }
};

void add_int(ZqPdu* pdu, int32_t v) {
    const ZqOid name[] = {1, 3};
    ASSERT_NE(ZqsnmpAddTypedVarBind(pdu, name, 2, ZQ_ASN_INTEGER, &v, sizeof v), nullptr);
}
void add_text(ZqPdu* pdu, const std::string& text, int type = ZQ_ASN_OCTET_STR) {
    const ZqOid name[] = {1, 3};
    ASSERT_NE(ZqsnmpAddTypedVarBind(pdu, name, 2, type, text.data(), text.size()), nullptr);
}

std::vector<ZqwObjectId> take_all(int which) {
    std::vector<ZqwObjectId> ids;
    for (ZqwObjectId id; (id = uiTakeNode(which)) != 0;) ids.push_back(id);
    return ids;
}

// The fakes the loop tests put behind the seams.
time_t g_now = 1000000;
std::vector<long> g_timeouts;
bool g_full_wait = true;  // a wait takes its whole time-out ...
long g_wait_advance = 0;  // ... or this many seconds (negative: the clock went back)
int g_passes = 0;
std::vector<int> g_handled;  // which queue each per-node step took from
long g_node_cost = 0;        // seconds one node takes
long g_pass_cost = 0;        // seconds a discovery pass takes
std::vector<int> g_queue_at_node;

time_t fake_clock() { return g_now; }
int fake_select(int, fd_set* set, struct timeval* tv) {
    g_timeouts.push_back(tv ? tv->tv_sec : -1);
    g_now += g_full_wait ? (tv ? tv->tv_sec : 0) : g_wait_advance;
    // Descriptors the test made readable stay set; the rest are cleared.
    fd_set ready;
    FD_ZERO(&ready);
    int n = 0;
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        if (!FD_ISSET(fd, set)) continue;
        fd_set one;
        FD_ZERO(&one);
        FD_SET(fd, &one);
        struct timeval zero = {0, 0};
        if (select(fd + 1, &one, nullptr, nullptr, &zero) == 1) {
            FD_SET(fd, &ready);
            ++n;
        }
    }
    *set = ready;
    return n;
}
void fake_pass() {
    ++g_passes;
    g_now += g_pass_cost;
}
void fake_host(int which) {
    g_queue_at_node.push_back(iQueueLength(which));
    if (uiTakeNode(which) != 0) g_handled.push_back(which);
    g_now += g_node_cost;
}

// The loop's seams, replaced for this program: each goes where the test says.
time_t (*g_clock)(void) = fake_clock;
int (*g_wait)(int, fd_set*, struct timeval*) = fake_select;
void (*g_pass)(void) = fake_pass;
void (*g_node)(int) = fake_host;

}  // namespace

time_t tTrvClock(void) { return g_clock(); }
int iTrvWait(int iWidth, fd_set* set, struct timeval* tv) { return g_wait(iWidth, set, tv); }
void vTrvRunPass(void) { g_pass(); }
void vTrvRunNode(int iWhich) { g_node(iWhich); }

// The test build's fault hook of the database library: while g_disk_full is
// set, every commit of a group ends as on a full disk (SQLITE_FULL).
bool g_disk_full = false;
extern "C" int ZqwTestCommitFault(void) { return g_disk_full ? 13 : 0; }

namespace {

class TrvdisUnit : public ::testing::Test {
protected:
    static inline zqtest::Instance* inst = nullptr;
    static inline Process* agents = nullptr;
    static inline int silent_port = 0;

    static void SetUpTestSuite() {
        inst = new zqtest::Instance();
        inst->activate();
        silent_port = zqtest::free_udp_port();
        zqtest::write_file(inst->root + "/conf/snmp.conf",
                           "127.0.54.50 port=" + std::to_string(silent_port) +
                               " timeout=0.2 retries=0\n* community=public port=" + std::to_string(inst->snmp_port) +
                               " timeout=0.5 retries=0\n");
        zqtest::write_file(inst->root + "/conf/hosts", "127.0.54.50 gone-host\n127.0.54.3 vendor-host commit-a commit-b\n");
        // Agents whose answers to the agent probe are short or missing.
        std::vector<Node> nodes = {
            {"short", {"127.0.54.1"}, "server", {"\"1.3.7\": [\"INTEGER\", 1]"}},
            {"before", {"127.0.54.2"}, "server", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.1\"]"}},
            {"vendor", {"127.0.54.3"}, "server", vendor_mib("ENT.1.1.1.1", "0102", "5.1xyz")},
        };
        zqtest::write_file(inst->dir.path + "/net.json", network_json(nodes));
        agents = new Process({bin("agentsim"), inst->dir.path + "/net.json", "--web-port", "0", "--console-port", "0"},
                             inst->env());
        if (!agents->wait_for_out("serving", 10000)) ADD_FAILURE() << agents->err();
    }
    static void TearDownTestSuite() {
        delete agents;
        agents = nullptr;
        delete inst;
        inst = nullptr;
    }
    void SetUp() override {
        inst->activate();
        ASSERT_NO_FATAL_FAILURE(open_as_program("trvdis"));
        vClearQueues();
        g_clock = fake_clock;
        g_wait = fake_select;
        g_pass = fake_pass;
        g_node = fake_host;
        FD_ZERO(&stMasterReadSet);
        iSelectWidth = -1;
        iPmSocket = -1;
        pEventSession = nullptr;
        iSavedInterval = 2;
        uiSavedIteration = 10;
        lRemainingTime = 120;
        g_timeouts.clear();
        g_handled.clear();
        g_queue_at_node.clear();
        g_passes = 0;
        g_full_wait = true;
        g_wait_advance = 0;
        g_node_cost = 0;
        g_pass_cost = 0;
    }
    void TearDown() override {
        vClearQueues();
        pEventSession = nullptr;
        iPmSocket = -1;
    }
    std::string error_log() const { return zqtest::read_file(inst->root + "/temp/vtmzqerr.log"); }

    // A node object as zqtopo makes one, with a class and an IP Status.
    static ZqwObjectId node(const std::string& host, const char* sys_type = nullptr, const char* ip_status = "Normal") {
        ZqwObjectId id = ZqwDbCreateObject(nullptr);
        EXPECT_NE(id, 0u);
        set_string(id, "IP Hostname", host.c_str());
        set_bool(id, "isNode", 1);
        if (ip_status) set_enum(id, "IP Status", ip_status);
        if (sys_type) set_enum(id, "trvSysType", sys_type);
        return id;
    }
};

// ---------------------------------------------------------------------------
// Queues
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, QueueHolds511IdsInOrderAndRefusesMoreSilently) {
    for (ZqwObjectId id = 1; id <= 511; ++id) ASSERT_EQ(iQueueNode(id, TRVDIS_QUEUE_DISCOVERY), 1) << id;
    EXPECT_EQ(iQueueNode(512, TRVDIS_QUEUE_DISCOVERY), 0);
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_DISCOVERY), 511);
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_REQUEST), 0);  // the other queue is apart
    EXPECT_EQ(iQueueNode(7, TRVDIS_QUEUE_REQUEST), 1);
    // Taken ids free their slots; the ring wraps and keeps the order.
    for (ZqwObjectId id = 1; id <= 300; ++id) ASSERT_EQ(uiTakeNode(TRVDIS_QUEUE_DISCOVERY), id);
    for (ZqwObjectId id = 1000; id < 1300; ++id) ASSERT_EQ(iQueueNode(id, TRVDIS_QUEUE_DISCOVERY), 1);
    EXPECT_EQ(iQueueNode(5000, TRVDIS_QUEUE_DISCOVERY), 0);
    std::vector<ZqwObjectId> rest = take_all(TRVDIS_QUEUE_DISCOVERY);
    ASSERT_EQ(rest.size(), 511u);
    EXPECT_EQ(rest.front(), 301u);
    EXPECT_EQ(rest[210], 511u);
    EXPECT_EQ(rest[211], 1000u);
    EXPECT_EQ(rest.back(), 1299u);
    EXPECT_EQ(uiTakeNode(TRVDIS_QUEUE_DISCOVERY), 0u);
    for (const ZqwObjectId slot : stDiscoveryQueue.aSlots) ASSERT_EQ(slot, 0u);
    EXPECT_EQ(take_all(TRVDIS_QUEUE_REQUEST), std::vector<ZqwObjectId>{7});
}

// ---------------------------------------------------------------------------
// The loop's timer, through the clock and wait seams
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, IdleLoopSleepsTheIntervalThenRunsExactlyOnePass) {
    vMainLoopCycle();
    EXPECT_EQ(g_timeouts, std::vector<long>{120});
    EXPECT_EQ(g_passes, 1);
    EXPECT_EQ(lRemainingTime, 120);
    // A wait cut short by something that is not there: no pass, the rest waited next.
    g_full_wait = false;
    g_wait_advance = 50;
    vMainLoopCycle();
    EXPECT_EQ(g_passes, 1);
    EXPECT_EQ(lRemainingTime, 70);
    g_full_wait = true;
    vMainLoopCycle();
    EXPECT_EQ(g_timeouts.back(), 70);
    EXPECT_EQ(g_passes, 2);
}

TEST_F(TrvdisUnit, QueuedNodesArePolledOneACycleAndCountAgainstTheNextInterval) {
    for (ZqwObjectId id = 1; id <= 3; ++id) iQueueNode(id, TRVDIS_QUEUE_DISCOVERY);
    g_node_cost = 10;
    for (int i = 0; i < 3; ++i) vMainLoopCycle();
    EXPECT_EQ(g_timeouts, (std::vector<long>{0, 0, 0}));  // work waiting: no sleep
    EXPECT_EQ(g_handled, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(lRemainingTime, 90);
    vMainLoopCycle();
    EXPECT_EQ(g_timeouts.back(), 90);
    EXPECT_EQ(g_passes, 1);
}

TEST_F(TrvdisUnit, TheIntervalCountsFromTheEndOfThePass) {
    // A pass as long as or longer than the interval still leaves a whole
    // interval of rest; only the work after the pass counts against it.
    struct Case {
        long pass_cost;
        bool request;  // a requested node (10 s) is handled in the same cycle
        long remaining;
    } cases[] = {{0, false, 120}, {50, false, 120}, {120, false, 120}, {500, false, 120}, {500, true, 110}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pass_cost);
        lRemainingTime = 0;
        g_pass_cost = c.pass_cost;
        g_node_cost = 10;
        g_passes = 0;
        if (c.request) iQueueNode(3, TRVDIS_QUEUE_REQUEST);
        vMainLoopCycle();
        EXPECT_EQ(g_passes, 1);
        EXPECT_EQ(lRemainingTime, c.remaining);
    }
}

TEST_F(TrvdisUnit, ANodeWaitingForItsRequestIsQueuedOnce) {
    // A burst of requests for one node polls it once; the discovery queue keeps
    // its duplicates (a server that is also a computer comes twice).
    for (ZqwObjectId id : {5u, 7u, 5u, 5u, 7u, 9u}) EXPECT_EQ(iQueueNode(id, TRVDIS_QUEUE_REQUEST), 1);
    for (int i = 0; i < 200; ++i) {
        ZqPdu* pdu = trap(ent({1, 3, 2, 0, 3001}));
        add_int(pdu, 5);
        vProcessReqTrap(pdu);
    }
    EXPECT_EQ(take_all(TRVDIS_QUEUE_REQUEST), (std::vector<ZqwObjectId>{5, 7, 9}));
    EXPECT_EQ(iQueueNode(5, TRVDIS_QUEUE_REQUEST), 1);  // served: it may come again
    EXPECT_EQ(take_all(TRVDIS_QUEUE_REQUEST), std::vector<ZqwObjectId>{5});
    iQueueNode(5, TRVDIS_QUEUE_DISCOVERY);
    iQueueNode(5, TRVDIS_QUEUE_DISCOVERY);
    EXPECT_EQ(take_all(TRVDIS_QUEUE_DISCOVERY), (std::vector<ZqwObjectId>{5, 5}));
}

TEST_F(TrvdisUnit, ClockSetBackMakesTheNextCycleRunAPass) {
    iSavedInterval = 30;
    lRemainingTime = 1800;
    g_full_wait = false;
    g_wait_advance = -4000;  // the clock went back more than an interval during the wait
    iQueueNode(5, TRVDIS_QUEUE_DISCOVERY);
    vMainLoopCycle();
    EXPECT_EQ(g_passes, 0);
    EXPECT_EQ(lRemainingTime, 0);
    g_wait_advance = 0;
    vMainLoopCycle();
    EXPECT_EQ(g_passes, 1);
    EXPECT_EQ(lRemainingTime, 1800);
}

TEST_F(TrvdisUnit, RequestQueueGoesBeforeEventsAndEventsBeforeTheDiscoveryQueue) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);  // an event waiting on the session
    ZqSession fake{p[0], 0, nullptr};
    pEventSession = &fake;
    vWatchDescriptor(p[0]);
    iQueueNode(11, TRVDIS_QUEUE_REQUEST);
    iQueueNode(12, TRVDIS_QUEUE_REQUEST);
    iQueueNode(21, TRVDIS_QUEUE_DISCOVERY);
    vMainLoopCycle();
    vMainLoopCycle();
    EXPECT_EQ(g_handled, (std::vector<int>{0, 0}));
    // Now the event goes first (the session is not the library's, so it stays
    // readable): the discovery queue waits.
    vMainLoopCycle();
    EXPECT_EQ(g_handled.size(), 2u);
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_DISCOVERY), 1);
    close(p[0]);
    close(p[1]);
}

TEST_F(TrvdisUnit, ReadinessSeenBeforeAPassIsNotActedOnAfterIt) {
    // A readable process-manager descriptor that this process never registered:
    // acting on it would end the test in vFatalExit.
    int pm[2], ev[2];
    ASSERT_EQ(pipe(pm), 0);
    ASSERT_EQ(pipe(ev), 0);
    ASSERT_EQ(write(pm[1], "x", 1), 1);
    ASSERT_EQ(write(ev[1], "x", 1), 1);
    iPmSocket = pm[0];
    vWatchDescriptor(pm[0]);
    ZqSession fake{ev[0], 0, nullptr};
    pEventSession = &fake;
    vWatchDescriptor(ev[0]);
    lRemainingTime = 0;
    iQueueNode(31, TRVDIS_QUEUE_DISCOVERY);
    vMainLoopCycle();
    EXPECT_EQ(g_passes, 1);
    EXPECT_EQ(g_handled, std::vector<int>{1});  // the pass's node, not the stale event
    EXPECT_EQ(iSelectWidth, std::max(pm[0], ev[0]) + 1);
    for (int fd : {pm[0], pm[1], ev[0], ev[1]}) close(fd);
}

int g_fail_errno = 0;
int failing_select(int, fd_set*, struct timeval*) {
    errno = g_fail_errno;
    return -1;
}

TEST_F(TrvdisUnit, FailedWaitsCountAsNothingReadableAndARepeatedFailureEndsTheDaemon) {
    g_wait = failing_select;
    g_fail_errno = EINTR;
    for (int i = 0; i < 3; ++i) vMainLoopCycle();  // interrupted waits are harmless
    iQueueNode(41, TRVDIS_QUEUE_DISCOVERY);
    g_fail_errno = EBADF;
    vMainLoopCycle();  // one failure: reported, and the work goes on
    EXPECT_EQ(g_handled, std::vector<int>{1});
    EXPECT_NE(error_log().find("select: "), std::string::npos);
    EXPECT_EXIT(vMainLoopCycle(), ::testing::ExitedWithCode(1), "");
}

// ---------------------------------------------------------------------------
// A long pass is drained every 500 ids
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, LongPassIsDrainedEvery500IdsAndLosesNone) {
    auto make = [](std::initializer_list<const char*> flags) {
        ZqwFieldValue t{};
        t.field_type = ZQW_BOOL_FIELD;
        t.un.bool_val = 1;
        std::vector<ZqwFieldBinding> b;
        for (const char* f : flags) b.push_back({ZqwDbFieldNameToFieldId(f), &t});
        ZqwFieldBindList list{static_cast<unsigned>(b.size()), b.data()};
        ASSERT_NE(ZqwDbCreateObject(&list), 0u);
    };
    for (int i = 0; i < 3; ++i) make({"isComputer"});  // no SNMP: not queued
    for (int i = 0; i < 2; ++i) make({"isServer", "isComputer", "isSNMPSupported"});
    for (int i = 0; i < 1100; ++i) make({"isComputer", "isSNMPSupported"});
    iIterationNum = 0;
    uiReDisIteration = 10;
    vDiscover();
    EXPECT_EQ(iIterationNum, 1u);
    // Two servers listed twice, 1100 computers once: 1104 queued in all, at
    // most 500 at a time, and everything before the last 500 listed handled.
    size_t handled = g_handled.size();
    EXPECT_EQ(handled + static_cast<size_t>(iQueueLength(TRVDIS_QUEUE_DISCOVERY)), 1104u);
    EXPECT_GE(handled, 500u);
    EXPECT_LE(iQueueLength(TRVDIS_QUEUE_DISCOVERY), 500);
    for (int n : g_queue_at_node) ASSERT_LE(n, 500);
    // A request queued meanwhile goes first in the next drain.
    iQueueNode(77, TRVDIS_QUEUE_REQUEST);
    g_handled.clear();
    vDrainEvents();
    ASSERT_FALSE(g_handled.empty());
    EXPECT_EQ(g_handled.front(), TRVDIS_QUEUE_REQUEST);
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_DISCOVERY), 0);
}

// ---------------------------------------------------------------------------
// Rule matching
// ---------------------------------------------------------------------------

struct Rule {
    ClassRule rule{};
    RuleCondition cond{};
    std::vector<ZqOid> oid;
    std::vector<char> value;
    Rule(const std::vector<ZqOid>& o, unsigned char type, const void* v, int32_t length, size_t bytes) : oid(o) {
        std::strcpy(rule.szClass, "Server");
        rule.pConditions = &cond;
        cond.pOid = oid.data();
        cond.iOidLength = static_cast<int32_t>(oid.size());
        cond.ucType = type;
        value.assign(static_cast<const char*>(v), static_cast<const char*>(v) + bytes);
        cond.pValue = value.data();
        cond.iValueLength = length;
    }
};

ZqPdu* response(const std::vector<ZqOid>& oid, int type, const void* v, size_t length, int extra = 0) {
    ZqPdu* pdu = ZqsnmpCreatePdu(ZQSNMP_RESPONSE);
    ZqsnmpAddTypedVarBind(pdu, oid.data(), oid.size(), type, v, length);
    for (int i = 0; i < extra; ++i) ZqsnmpAddNullVarBind(pdu, oid.data(), oid.size());
    return pdu;
}

TEST_F(TrvdisUnit, RuleMatchingIsExactInTypeOidValueAndLength) {
    std::vector<ZqOid> o = ent({11, 2, 2, 4, 0});
    Rule lin(o, ZQ_ASN_OCTET_STR, "Lin", 3, 3);
    Rule linu(o, ZQ_ASN_OCTET_STR, "Linu", 4, 4);
    ZqPdu* answer = response(o, ZQ_ASN_OCTET_STR, "Linu", 4);
    EXPECT_EQ(iRuleMatches(&lin.rule, answer), 0);  // three characters of four
    EXPECT_EQ(iRuleMatches(&linu.rule, answer), 1);
    ZqPdu* longer = response(o, ZQ_ASN_OCTET_STR, "Linu", 4, 1);
    EXPECT_EQ(iRuleMatches(&linu.rule, longer), 0);  // one binding more
    ZqPdu* other_oid = response(ent({11, 2, 2, 4, 1}), ZQ_ASN_OCTET_STR, "Linu", 4);
    EXPECT_EQ(iRuleMatches(&linu.rule, other_oid), 0);
    ZqPdu* empty = ZqsnmpCreatePdu(ZQSNMP_RESPONSE);
    EXPECT_EQ(iRuleMatches(&linu.rule, empty), 0);  // one binding fewer
    ClassRule bare{};
    EXPECT_EQ(iRuleMatches(&bare, empty), 0);  // a rule without conditions decides nothing

    int32_t three = 3, four = 4;
    Rule i3(o, ZQ_ASN_INTEGER, &three, 4, 4);
    ZqPdu* int3 = response(o, ZQ_ASN_INTEGER, &three, 4);
    ZqPdu* int4 = response(o, ZQ_ASN_INTEGER, &four, 4);
    EXPECT_EQ(iRuleMatches(&i3.rule, int3), 1);
    EXPECT_EQ(iRuleMatches(&i3.rule, int4), 0);
    EXPECT_EQ(iRuleMatches(&i3.rule, answer), 0);  // type differs

    std::vector<ZqOid> id = ent({1, 1, 1, 2}), prefix = ent({1, 1, 1});
    Rule oid_rule(o, ZQ_ASN_OBJECT_ID, id.data(), static_cast<int32_t>(id.size()), id.size() * sizeof(ZqOid));
    ZqPdu* same = response(o, ZQ_ASN_OBJECT_ID, id.data(), id.size());
    ZqPdu* shorter = response(o, ZQ_ASN_OBJECT_ID, prefix.data(), prefix.size());
    EXPECT_EQ(iRuleMatches(&oid_rule.rule, same), 1);
    EXPECT_EQ(iRuleMatches(&oid_rule.rule, shorter), 0);

    Rule unknown(o, TRVCONF_TYPE_NONE, "", 0, 0);
    EXPECT_EQ(iVarBindMatches(&unknown.cond, answer->variables), 0);
    for (ZqPdu* pdu : {answer, longer, other_oid, empty, int3, int4, same, shorter}) ZqsnmpFreePdu(pdu);
}

// ---------------------------------------------------------------------------
// Received events
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, RequestsQueueOnlyWhatTheyCarrySafely) {
    ZqPdu* pdu = trap(ent({1, 3, 2, 0, 3001}));
    add_int(pdu, 5);
    add_text(pdu, "9");
    add_int(pdu, -1);
    add_int(pdu, 0);
    add_int(pdu, 7);
    vProcessReqTrap(pdu);
    EXPECT_EQ(take_all(TRVDIS_QUEUE_REQUEST), (std::vector<ZqwObjectId>{5, 7}));

    // Identifiers too short for the comparison, and no identifier at all.
    for (size_t n : {0u, 3u, 9u}) {
        std::vector<ZqOid> id = ent({1, 3, 2, 0, 3001});
        id.resize(n);
        pdu = trap(id);
        add_int(pdu, 5);
        vProcessReqTrap(pdu);
    }
    // Enterprises that begin like the un-install request but are shorter or longer.
    vProcessReqTrap(trap({}, ent({1, 3})));
    vProcessReqTrap(trap({}, ent({1, 3, 20, 5})));
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_REQUEST), 0);

    // A status request for a name that is no host and no address, the empty
    // one included: looked up, then the addresses, then reported.
    for (const std::string name : {"", "no-such-host"}) {
        zqtest::write_file(inst->root + "/temp/vtmzqerr.log", "");
        pdu = trap(ent({1, 3, 12, 0, 3004}));
        add_text(pdu, name);
        vProcessReqTrap(pdu);
        const std::string want = "(3019): No object found with the IP Address " + name;
        std::string log = error_log();
        EXPECT_TRUE(log.size() >= want.size() && log.compare(log.size() - want.size(), want.size(), want) == 0)
            << "[" << name << "] " << log;
    }
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_REQUEST), 0);

    // A status request by a text too long for its buffer: cut, looked up, dropped.
    pdu = trap(ent({1, 3, 12, 0, 3004}));
    add_text(pdu, std::string(4000, 'a'));
    vProcessReqTrap(pdu);
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_REQUEST), 0);
    EXPECT_NE(error_log().find("(3019): No object found with the IP Address " + std::string(255, 'a')),
              std::string::npos);
    EXPECT_EQ(error_log().find(std::string(256, 'a')), std::string::npos);

    // Our own events and re-issued traps: freed without action.
    for (ZqOid n : {3u, 11u, 1u}) {
        pdu = trap(ent({1, 3, n, 0, 3002}), ent({1, 3, n}));
        add_int(pdu, 5);
        vProcessReqTrap(pdu);
    }
    EXPECT_EQ(iQueueLength(TRVDIS_QUEUE_REQUEST), 0);
    vProcessReqTrap(nullptr);
}

TEST_F(TrvdisUnit, NodeEventsQueueOnlyManagedVendorNodesAndDropMalformedOnes) {
    ZqwObjectId server = node("ne-server", "TrvServer"), desk = node("ne-desk", "TrvDesktop"),
                foreign = node("ne-foreign", "NonTarvo"), unmanaged = node("ne-unm", "TrvServer", "Unmanaged"),
                fresh = node("ne-fresh");
    auto event = [](ZqOid specific, std::vector<std::pair<int, std::string>> bindings, size_t id_length = 12) {
        std::vector<ZqOid> id = zent({2, 17, 1, 0, specific});
        id.resize(id_length);
        ZqPdu* pdu = trap(id);
        for (auto& [type, text] : bindings) {
            if (type == ZQ_ASN_INTEGER)
                add_int(pdu, std::stoi(text));
            else
                add_text(pdu, text, type);
        }
        vProcessReqTrap(pdu);
    };
    auto good = [](ZqwObjectId id) {
        return std::vector<std::pair<int, std::string>>{
            {ZQ_ASN_OCTET_STR, "host"}, {ZQ_ASN_OCTET_STR, "Node Down"}, {ZQ_ASN_OCTET_STR, std::to_string(id)}};
    };
    event(58916865, good(server));
    event(58916864, good(desk));
    event(58916865, good(foreign));
    event(58916865, good(unmanaged));
    event(58916865, good(fresh));
    event(58916866, good(server));  // another specific number
    event(58916865, good(server), 11);  // identifier without its specific number
    event(58916865, {{ZQ_ASN_OCTET_STR, "host"}, {ZQ_ASN_OCTET_STR, "Node Down"}});
    event(58916865, {{ZQ_ASN_OCTET_STR, "host"}, {ZQ_ASN_OCTET_STR, "Node Down"},
                     {ZQ_ASN_INTEGER, std::to_string(server)}});
    event(58916865, {});
    event(58916865, {{ZQ_ASN_OCTET_STR, "h"}, {ZQ_ASN_OCTET_STR, "d"}, {ZQ_ASN_OCTET_STR, "99999999999"}});
    event(58916865, {{ZQ_ASN_OCTET_STR, "h"}, {ZQ_ASN_OCTET_STR, "d"}, {ZQ_ASN_OCTET_STR, "x12"}});
    event(58916865,
          {{ZQ_ASN_OCTET_STR, "h"}, {ZQ_ASN_OCTET_STR, "d"}, {ZQ_ASN_OCTET_STR, std::to_string(desk) + "abc"}});
    EXPECT_EQ(take_all(TRVDIS_QUEUE_REQUEST), (std::vector<ZqwObjectId>{server, desk}));  // desk waits once
}

TEST_F(TrvdisUnit, UninstallEndsWithStatusZeroAndUnknownReasonsAreReported) {
    ZqPdu* pdu = trap(ent({1, 3, 20, 0, 3005}), ent({1, 3, 20}));
    EXPECT_EXIT(vProcessReqTrap(pdu), ::testing::ExitedWithCode(0), "");
    ZqsnmpFreePdu(pdu);  // the child took it; this process still holds its copy
    vTrapCallback(99, nullptr, trap(ent({1})), nullptr);
    EXPECT_NE(error_log().find("trvdis (1002): Trap callback invoked for unknown reason"), std::string::npos);
    vTrapCallback(ZQSNMP_REASON_ERROR, nullptr, nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// Status poll
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, SilentNodeSetsEveryWebObjectUnknownAfterOneRequest) {
    Listener agent("127.0.54.50", silent_port);
    EventTap trapd(*inst);
    ZqwObjectId n = node("127.0.54.50", "TrvServer");
    ZqwObjectId a = make_subsystem(n, "WEB_ENABLED", "Normal");
    ZqwObjectId b = make_subsystem(n, "WEB_DISABLED", "Normal");
    ZqwObjectId other = make_subsystem(n, "Unset", "Normal");
    vPollNodeStatus(n);
    EXPECT_EQ(value(a, "trvDeviceStatus"), "Unknown");
    EXPECT_EQ(value(b, "trvDeviceStatus"), "Unknown");
    EXPECT_EQ(value(other, "trvDeviceStatus"), "Normal");  // not a web object: left alone
    EXPECT_EQ(agent.drain(), 1);
    EXPECT_EQ(trapd.drain(), 1);  // EVT_STATUS_UPDATED
}

TEST_F(TrvdisUnit, VendorNodeThatStopsAnsweringMarksItsWebObjectsUnknownPastUnreadableOnes) {
    Listener agent("127.0.54.50", silent_port);
    ZqwObjectId n = node("gone-host", "TrvServer");
    set_bool(n, "isTrvVantor", 1);
    ZqwObjectId odd = ZqwDbCreateObject(nullptr);  // a subsystem object without a kind
    set_int(odd, "trvNodeObjId", static_cast<int>(n));
    ZqwObjectId web = make_subsystem(n, "WEB_ENABLED", "Normal");
    iQueueNode(n, TRVDIS_QUEUE_REQUEST);
    vDiscoverHost(TRVDIS_QUEUE_REQUEST);  // full discovery; the agent probe times out
    EXPECT_EQ(agent.drain(), 1);
    EXPECT_EQ(value(web, "trvDeviceStatus"), "Unknown");
    EXPECT_EQ(value(odd, "trvDeviceStatus"), "<none>");
    EXPECT_EQ(value(n, "trvSysType"), "TrvServer");  // the class stays
}

TEST_F(TrvdisUnit, AFailedCommitLosesOnlyItsOwnNodesWritesAndIsReported) {
    zqtest::write_file(inst->root + "/conf/c/trv/trvconfig.dat", default_rules());
    vFreeTrvConfig();
    TrvParseResult parse{};
    ASSERT_EQ(iLoadTrvConfig(&parse), 1);
    // Two names of the one vendor agent: two nodes never classified.
    ZqwObjectId a = node("commit-a"), b = node("commit-b");
    size_t before = error_log().size();
    g_disk_full = true;
    iQueueNode(a, TRVDIS_QUEUE_REQUEST);
    vDiscoverHost(TRVDIS_QUEUE_REQUEST);
    g_disk_full = false;
    iQueueNode(b, TRVDIS_QUEUE_REQUEST);
    vDiscoverHost(TRVDIS_QUEUE_REQUEST);
    EXPECT_EQ(value(a, "trvSysType"), "<none>");
    EXPECT_TRUE(subsystems(a).empty());
    EXPECT_EQ(value(b, "trvSysType"), "TrvServer");
    EXPECT_EQ(value(b, "trvOsType"), "ntsrvr");
    EXPECT_EQ(subsystems(b).size(), 1u);
    std::string log = error_log().substr(before);
    EXPECT_NE(log.find("(ZQW API ERROR): the connection to the database was lost"), std::string::npos) << log;
    vFreeTrvConfig();
}

TEST_F(TrvdisUnit, PassCounterDecidesBetweenStatusOnlyAndFullDiscovery) {
    zqtest::write_file(inst->root + "/conf/c/trv/trvconfig.dat", default_rules());
    vFreeTrvConfig();
    TrvParseResult parse{};
    ASSERT_EQ(iLoadTrvConfig(&parse), 1);
    ZqwObjectId n = node("vendor-host", "TrvServer");
    set_bool(n, "isTrvVantor", 1);
    set_string(n, "trvOsType", "old");
    ZqwObjectId web = make_subsystem(n, "WEB_DISABLED", "Warning");
    auto step = [&](unsigned iteration, unsigned every, int which) {
        iIterationNum = iteration;
        uiReDisIteration = every;
        set_string(n, "trvOsType", "old");
        set_enum(web, "trvDeviceStatus", "Warning");
        iQueueNode(n, which);
        vDiscoverHost(which);
        EXPECT_EQ(value(web, "trvDeviceStatus"), "Normal");  // polled either way
        return value(n, "trvOsType") == "ntsrvr" ? "full" : "status";
    };
    EXPECT_STREQ(step(2, 10, TRVDIS_QUEUE_DISCOVERY), "status");
    EXPECT_STREQ(step(0, 10, TRVDIS_QUEUE_DISCOVERY), "status");
    EXPECT_STREQ(step(1, 10, TRVDIS_QUEUE_DISCOVERY), "full");
    EXPECT_STREQ(step(0, 1, TRVDIS_QUEUE_DISCOVERY), "full");   // every pass when the iteration is 1
    EXPECT_STREQ(step(2, 10, TRVDIS_QUEUE_REQUEST), "full");    // requested nodes always
    ZqwDbUnsetFieldValue(n, ZqwDbFieldNameToFieldId("isTrvVantor"));
    EXPECT_STREQ(step(2, 10, TRVDIS_QUEUE_DISCOVERY), "full");  // never classified
    EXPECT_EQ(subsystems(n), std::vector<ZqwObjectId>{web});
    vFreeTrvConfig();
}

TEST_F(TrvdisUnit, StatusUpdatedIsSentWithoutObjectsAndWithoutASession) {
    EventTap trapd(*inst);
    ZqwObjectId bare = node("127.0.54.3", "TrvServer");
    vPollNodeStatus(bare);
    EXPECT_EQ(trapd.drain(), 1);
    // A host name that resolves nowhere: no session, the status stays.
    ZqwObjectId lost = node("no-such-host.invalid", "TrvServer");
    ZqwObjectId web = make_subsystem(lost, "WEB_ENABLED", "Marginal");
    vPollNodeStatus(lost);
    EXPECT_EQ(value(web, "trvDeviceStatus"), "Marginal");
    EXPECT_EQ(trapd.drain(), 1);
}

TEST_F(TrvdisUnit, ConditionCodesAndShortRecords) {
    ZqwObjectId obj = make_subsystem(node("cc-host", "TrvServer"), "WEB_ENABLED", "Warning");
    std::vector<ZqOid> o = ent({11, 2, 10, 1, 0});
    auto set = [&](int type, const std::string& bytes) {
        ZqPdu* pdu = response(o, type, bytes.data(), bytes.size());
        iSetSubSysStatus("cc-host", pdu, obj);
        ZqsnmpFreePdu(pdu);
        return value(obj, "trvDeviceStatus");
    };
    EXPECT_EQ(set(ZQ_ASN_OCTET_STR, std::string("\x01\x00", 2)), "Warning");  // 0: nothing
    EXPECT_EQ(set(ZQ_ASN_OCTET_STR, "\x01\x05"), "Warning");                  // 5: nothing
    EXPECT_EQ(set(ZQ_ASN_OCTET_STR, "\x01\x03"), "Marginal");
    EXPECT_EQ(set(ZQ_ASN_OCTET_STR, "\x01\x04"), "Major");
    EXPECT_EQ(set(ZQ_ASN_OCTET_STR, "\x01\x02"), "Normal");
    EXPECT_EQ(set(ZQ_ASN_OCTET_STR, "\x01"), "Unknown");  // too short for a code
    set_enum(obj, "trvDeviceStatus", "Normal");
    ZqPdu* none = ZqsnmpCreatePdu(ZQSNMP_RESPONSE);
    iSetSubSysStatus("cc-host", none, obj);  // no binding at all
    ZqsnmpFreePdu(none);
    EXPECT_EQ(value(obj, "trvDeviceStatus"), "Unknown");
    set_enum(obj, "trvDeviceStatus", "Normal");
    iSetSubSysStatus("cc-host", nullptr, obj);  // no answer
    EXPECT_EQ(value(obj, "trvDeviceStatus"), "Unknown");
    EXPECT_EQ(iWebSubSysKind("WEB_DISABLED"), 1);
    EXPECT_EQ(iWebSubSysKind("WEB_ENABLED"), 2);
    EXPECT_EQ(iWebSubSysKind("web_enabled"), 0);
    EXPECT_EQ(iWebSubSysKind(nullptr), 0);
}

TEST_F(TrvdisUnit, StatusQueryRefusesAnOidLongerThanItsCopy) {
    std::vector<ZqOid> longer(31, 1);
    TrvOid oid = {longer.data(), 31};
    ZqSession* s = ZqsnmpOpen(nullptr, "127.0.54.3", -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(GetNodeStatus(s, &oid, 1), nullptr);
    std::vector<ZqOid> good = ent({11, 2, 10, 1, 0});
    oid = {good.data(), static_cast<int>(good.size())};
    ZqPdu* r = GetNodeStatus(s, &oid, 1);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(r->variables, nullptr);
    EXPECT_EQ(r->variables->val.string[1], 2);
    ZqsnmpFreePdu(r);
    ZqsnmpClose(s);
}

// ---------------------------------------------------------------------------
// Probes against agentsim
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, AgentProbeNeedsABindingBelowTheVendorArc) {
    EXPECT_EQ(iCheckAgent("127.0.54.1"), TRV_AGENT_FOREIGN);  // next OID 1.3.7: shorter than ENT
    EXPECT_EQ(iCheckAgent("127.0.54.2"), TRV_AGENT_FOREIGN);  // nothing after ENT: noSuchName
    EXPECT_EQ(iCheckAgent("127.0.54.3"), TRV_AGENT_PRESENT);
    EXPECT_EQ(iCheckAgent(nullptr), TRV_AGENT_NONE);
    char* version = CheckForVerNo("127.0.54.3");
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, "5.1xyz");
    free(version);
    EXPECT_EQ(CheckForVerNo("127.0.54.1"), nullptr);  // no such object: no text
}

// ---------------------------------------------------------------------------
// Web subsystem objects, their removal, the marker
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, WebObjectIsCreatedOnceRetypedAndLeftAloneWhenDuplicated) {
    ZqwObjectId n = node("wo-host", "TrvServer");
    EXPECT_EQ(iUpdateWebSubSys(n), 1);  // no interfaces: no web agent
    std::vector<ZqwObjectId> objs = subsystems(n);
    ASSERT_EQ(objs.size(), 1u);
    EXPECT_EQ(value(objs[0], "trvSubSysType"), "WEB_DISABLED");
    EXPECT_EQ(value(objs[0], "isDevice"), "TRUE");
    EXPECT_EQ(value(objs[0], "isComputer"), "FALSE");
    set_enum(objs[0], "trvSubSysType", "WEB_ENABLED");
    EXPECT_EQ(iUpdateWebSubSys(n), 1);
    EXPECT_EQ(subsystems(n), objs);
    EXPECT_EQ(value(objs[0], "trvSubSysType"), "WEB_DISABLED");
    ZqwObjectId dup = make_subsystem(n, "WEB_DISABLED");
    EXPECT_EQ(iUpdateWebSubSys(n), -1);
    EXPECT_EQ(iFindSubSysError, 1);
    EXPECT_EQ(subsystems(n), (std::vector<ZqwObjectId>{objs[0], dup}));
    EXPECT_NE(error_log().find("trvdis (2203): Duplicate objects:wo-host."), std::string::npos);
}

TEST_F(TrvdisUnit, DeletingSubsystemsRemovesEveryObjectOfTheNodeOnly) {
    ZqwObjectId n = node("del-host", "TrvServer");
    ZqwObjectId keep = node("del-other", "TrvServer");
    ZqwObjectId a = make_subsystem(n, "WEB_ENABLED", "Normal");
    ZqwObjectId b = make_subsystem(n, "WEB_DISABLED");
    set_int(b, "ZQW Maps Exists", 1);
    ZqwObjectId c = make_subsystem(keep, "WEB_ENABLED");
    DeleteSubSysObjects(n);
    EXPECT_TRUE(subsystems(n).empty());
    EXPECT_EQ(value(a, "isDevice"), "<none>");
    EXPECT_EQ(value(b, "isDevice"), "<none>");
    EXPECT_EQ(subsystems(keep), std::vector<ZqwObjectId>{c});
    EXPECT_EQ(value(n, "trvSysType"), "TrvServer");  // the node keeps its own fields
}

TEST_F(TrvdisUnit, RunningMarkerIsShownAndRemoved) {
    EXPECT_EQ(iRemoveRunning(), -1);  // none there
    EXPECT_EQ(iShowRunning(), 1);
    EXPECT_EQ(iIsTrvdisRunning(), 1);
    EXPECT_EQ(iShowRunning(), 1);  // there already
    EXPECT_EQ(iRemoveRunning(), 1);
    EXPECT_EQ(iIsTrvdisRunning(), 0);
    EXPECT_EQ(iRemoveRunning(), -1);
}

// The database going away under a node in hand ends the daemon with status 1;
// the marker is left for the next start to find.
TEST_F(TrvdisUnit, LostDatabaseWhileHandlingANodeEndsWithStatusOneAndLeavesTheMarker) {
    ZqwObjectId n = node("vendor-host", "TrvServer");
    ASSERT_EQ(iShowRunning(), 1);
    const std::string db = inst->root + "/db/topology.db";
    const std::string away = db + ".away";
    auto lose = [&] {
        iQueueNode(n, TRVDIS_QUEUE_REQUEST);
        if (std::rename(db.c_str(), away.c_str()) != 0) _exit(3);
        vDiscoverHost(TRVDIS_QUEUE_REQUEST);
        std::rename(away.c_str(), db.c_str());  // only when the daemon went on
    };
    EXPECT_EXIT(lose(), ::testing::ExitedWithCode(1), "");
    std::rename(away.c_str(), db.c_str());
    EXPECT_EQ(iIsTrvdisRunning(), 1);
    EXPECT_EQ(iRemoveRunning(), 1);
}

// A trvSubSysType whose definition lacks WEB_ENABLED leaves nothing to find a
// web object by: the daemon names the field, removes its marker and ends.
TEST_F(TrvdisUnit, WebKindMissingFromTheFieldDefinitionEndsTheDaemon) {
    ZqwObjectId n = node("vendor-host", "TrvServer");
    ASSERT_EQ(iShowRunning(), 1);
    size_t before = error_log().size();
    auto update = [&] {
        uiFieldTrvSubSysType = uiFieldTrvSysType;  // an enumeration without the web kinds
        iUpdateWebSubSys(n);
    };
    EXPECT_EXIT(update(), ::testing::ExitedWithCode(1), "");
    EXPECT_NE(error_log().find(":trvSubSysType", before), std::string::npos) << error_log().substr(before);
    EXPECT_EQ(iIsTrvdisRunning(), 0);
}

// ---------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------

TEST_F(TrvdisUnit, RangeChecksReplaceOnlyValuesOutsideTheirLimits) {
    std::string conf = inst->root + "/conf/c/trv/trvconfig.dat";
    auto load = [&](const std::string& text) {
        zqtest::write_file(conf, text);
        vFreeTrvConfig();
        return iLoadConfiguration();
    };
    size_t before = error_log().size();
    EXPECT_EQ(load("DiscoveryInterval: 4272\nRe-DiscoveryIntervalIteration: 100\n"), 1);
    EXPECT_EQ(iDiscoveryInterval, 4272);
    EXPECT_EQ(uiReDisIteration, 100u);
    EXPECT_EQ(error_log().size(), before);  // nothing reported
    EXPECT_EQ(load("DiscoveryInterval: 5000\nRe-DiscoveryIntervalIteration: 101\n"), 1);
    EXPECT_EQ(iDiscoveryInterval, 30);
    EXPECT_EQ(uiReDisIteration, 6u);
    std::string log = error_log().substr(before);
    EXPECT_NE(log.find("trvdis (2004): Discovery interval out of range assuming default value."), std::string::npos);
    EXPECT_NE(log.find("trvdis (2004): Re-discover iteration out of range assuming default value."),
              std::string::npos);
    EXPECT_EQ(load("DiscoveryInterval: 0\nRe-DiscoveryIntervalIteration: 0\n"), 1);  // the parser's defaults
    EXPECT_EQ(iDiscoveryInterval, 30);
    EXPECT_EQ(uiReDisIteration, 10u);

    zqtest::write_file(conf, "Server:x:1.3.6.1.2.1.1.2.0 OID \".1.3.6\"\n");
    vFreeTrvConfig();
    zqtest::g_fail_alloc = 1;
    EXPECT_EXIT(iLoadConfiguration(), ::testing::ExitedWithCode(1), "");
    zqtest::g_fail_alloc = 0;
    EXPECT_NE(error_log().find("trvdis (2009): Parser returned system call error."), std::string::npos);
    vFreeTrvConfig();
}

}  // namespace
