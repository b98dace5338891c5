// trvtrapd for real: started by zqspmd after trapd, fed SNMPv1 traps by
// net-snmp's snmptrap, watched through an event session of its own.  Covers the
// re-issued trap and the status request field by field, Y versus N, format
// errors, the loop guards, start-up failures and every way the daemon ends.
#include <signal.h>
#include <sys/select.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventread.h"
#include "testsupport.h"
#include "trvtraptest.h"
#include "zqsnmp.h"
#include "zqw.h"

namespace {

using trvtraptest::kEnt;
using zqtest::bin;
using zqtest::read_file;
using zqtest::RunResult;

struct Binding {
    std::string name;
    int type;
    std::string value;
};
struct Event {
    std::string enterprise, agent, community;
    int generic, specific;
    std::vector<Binding> bindings;
    std::string text() const { return bindings.empty() ? "" : bindings[0].value; }
    bool reissue(int number) const { return enterprise == kEnt + ".1.3.1" && specific == number; }
    bool status_request() const { return enterprise == kEnt + ".1.3.12"; }
};

void collect(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    if (reason != ZQSNMP_REASON_TRAP || pdu == nullptr) return;
    Event e;
    e.enterprise = trvtraptest::text(pdu->enterprise, pdu->enterprise_length);
    const unsigned char* a = pdu->agent_addr;
    e.agent = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
    if (pdu->community) e.community.assign(reinterpret_cast<const char*>(pdu->community), pdu->community_len);
    e.generic = pdu->trap_type;
    e.specific = pdu->specific_type;
    for (const ZqVarBind* vb = pdu->variables; vb; vb = vb->next_variable) {
        Binding b{trvtraptest::text(vb->name, vb->name_length), vb->type, {}};
        if (vb->type == ZQ_ASN_OCTET_STR && vb->val.string)
            b.value.assign(reinterpret_cast<const char*>(vb->val.string), vb->val_len);
        e.bindings.push_back(b);
    }
    static_cast<std::vector<Event>*>(data)->push_back(e);
    ZqsnmpFreePdu(pdu);
}

const char kConf[] =
    "# definitions of the tests\n"
    "START_TRAP\n{.ENT.6} 6001 Y\nFan @I1,1 failed: @M1 (community @C, agent @A, time @T)\nEND_TRAP\n"
    "START_TRAP\n{.ENT.6} 6012 N\nSelf test found @1 errors on @A\nEND_TRAP\n"
    "START_TRAP\n{.ENT.11} 11003 N\nFence @1\nEND_TRAP\n"
    "START_TRAP\n{.ENT.11} 11004 N\nBad @2 command @Q here, value @1\nEND_TRAP\n"
    // Numbers that trvtrapd's own traps carry: only the guards keep these from
    // looping.
    "START_TRAP\n{.ENT.1.3.1} 7001 N\nLoop @1\nEND_TRAP\n"
    "START_TRAP\n{.ENT.1.3.12} 3004 Y\nStatus request @1\nEND_TRAP\n"
    "START_TRAP\n{.ENT.1.3.2} 3001 N\nDiscover request @1\nEND_TRAP\n";

const char kMap[] = "BEGIN_OID ENT.6.2.6.7.1.9\n2 \"ok\"\n4 \"failed\"\nEND_OID\n";

std::string expand_ent(std::string s) {
    for (size_t p; (p = s.find("ENT.")) != std::string::npos;) s.replace(p, 3, kEnt);
    return s;
}

struct Row {
    std::string pid, state, exit, text;
};

// One instance: zqspmd in the foreground managing trapd and trvtrapd, the
// running marker of trvdis, and the two files.
class Platform {
public:
    explicit Platform(const std::string& conf = kConf, const std::string& map = kMap) {
        inst.activate();
        zqtest::write_file(inst.root + "/conf/zqsuf", "trapd " + bin("trapd") + "\ntrvtrapd " + bin("trvtrapd") + "\n");
        // The scenarios send traps with more than the instance's community.
        std::string conf_text = zqtest::read_file(inst.root + "/conf/zq.conf");
        auto at = conf_text.find("trap_communities=");
        if (at != std::string::npos) conf_text.insert(conf_text.find('\n', at), ",c0mm");
        zqtest::write_file(inst.root + "/conf/zq.conf", conf_text);
        files(conf, map);
        marker(true);
        snmp_dir = inst.dir.path + "/snmp";
        pmd = std::make_unique<zqtest::Process>(
            std::vector<std::string>{bin("zqspmd"), "--stop-grace", "5", "--start-wait", "20"}, inst.env());
        EXPECT_TRUE(zqtest::wait_until([&] { return tool({bin("zqstatus")}).status == 0; }, 10000)) << pmd->err();
    }
    ~Platform() {
        if (observer) ZqsnmpClose(observer);
        tool({bin("zqstop")});
        pmd->wait(20000);
        // The daemon ran under the sanitizers of the build, if any: nothing may
        // have been reported.
        std::string out = read_file(inst.root + "/log/trvtrapd.out");
        EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
        EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
    }

    void files(const std::string& conf, const std::string& map) {
        std::string dir = inst.root + "/conf/c/trv/";
        if (conf == "-") unlink((dir + "trvtrapd.conf").c_str());
        else zqtest::write_file(dir + "trvtrapd.conf", expand_ent(conf));
        if (map == "-") unlink((dir + "trvval2str.trap").c_str());
        else zqtest::write_file(dir + "trvval2str.trap", expand_ent(map));
    }
    // Creates or removes the object trvdis keeps while it runs.
    void marker(bool present) {
        ASSERT_EQ(ZqwDbInit(), 0);
        ZqwObjectId id = ZqwDbSelectionNameToObjectId("Trvrunning");
        if (present && ZqwIsIdNull(id)) {
            EXPECT_FALSE(ZqwIsIdNull(ZqwDbCreateObjectBySelectionName("Trvrunning")));
        }
        if (!present && !ZqwIsIdNull(id)) {
            EXPECT_GE(ZqwDbDeleteObject(id), 1);
        }
        ZqwDbDone();
    }

    RunResult tool(const std::vector<std::string>& argv) const { return zqtest::run(argv, inst.env()); }
    // An event from this instance's own programs (snmpnotify): the only way
    // control events reach trapd.
    void notify(const std::string& trap_id, const std::vector<std::string>& bindings) {
        std::vector<std::string> argv = {bin("snmpnotify"), "-a", "10.1.2.3", "localhost", expand_ent(trap_id)};
        for (const auto& b : bindings) argv.push_back(expand_ent(b));
        RunResult r = tool(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    Row status(const std::string& name) const {
        std::istringstream in(tool({bin("zqstatus")}).out);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream w(line);
            std::string n;
            Row r;
            w >> n >> r.pid >> r.state >> r.exit;
            std::getline(w, r.text);
            size_t b = r.text.find_first_not_of(' ');
            r.text = b == std::string::npos ? "" : r.text.substr(b);
            if (n == name) return r;
        }
        return {};
    }
    bool wait_state(const std::string& name, const std::string& state) const {
        return zqtest::wait_until([&] { return status(name).state == state; }, 20000, 50);
    }
    std::string error_log() const { return read_file(inst.root + "/temp/vtmzqerr.log"); }
    std::string pm_log() const { return read_file(inst.root + "/log/zqspmd.log"); }

    // Starts trapd and trvtrapd and opens the observing session.
    void start() {
        RunResult r = tool({bin("zqstart")});
        ASSERT_EQ(r.status, 0) << r.out << r.err << read_file(inst.root + "/log/trvtrapd.out");
        std::string filter = "." + kEnt + ".*";
        observer = ZqsnmpEventOpen("127.0.0.1", "observer", collect, &events, filter.c_str());
        ASSERT_NE(observer, nullptr);
    }

    // snmptrap -v1 to trapd: enterprise, agent, specific number, then OID TYPE VALUE triples.
    void trap(const std::string& enterprise, const std::string& agent, int number,
              const std::vector<std::string>& bindings = {}, const std::string& community = "public",
              const std::string& time = "4321") {
        std::vector<std::string> argv = {"/usr/bin/snmptrap", "-v1", "-c", community,
                                         "127.0.0.1:" + std::to_string(inst.trap_port),
                                         expand_ent(enterprise), agent, "6", std::to_string(number), time};
        for (const auto& b : bindings) argv.push_back(expand_ent(b));
        RunResult r = zqtest::run(argv, {{"MIBS", ""}, {"SNMPCONFPATH", snmp_dir}, {"SNMP_PERSISTENT_DIR", snmp_dir}});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Reads events until pred holds (or 15 seconds pass).
    bool until(const std::function<bool()>& pred) {
        return zqtest::read_events_until(observer, pred, 15000, 1);
    }
    const Event* find(const std::function<bool(const Event&)>& pred, size_t from = 0) const {
        for (size_t i = from; i < events.size(); ++i)
            if (pred(events[i])) return &events[i];
        return nullptr;
    }
    // A fence: a trap whose re-issue proves that trvtrapd has dealt with every
    // trap sent before it.  Returns the index of that re-issue.
    size_t fence() {
        std::string tag = "fence-" + std::to_string(++fences_);
        trap("ENT.11", "10.9.9.9", 11003, {"ENT.11.2.1.0", "s", tag});
        size_t at = 0;
        EXPECT_TRUE(until([&] {
            for (size_t i = 0; i < events.size(); ++i)
                if (events[i].reissue(11003) && events[i].text() == "Fence " + tag) return at = i, true;
            return false;
        })) << tag;
        return at;
    }
    size_t count(const std::function<bool(const Event&)>& pred, size_t from, size_t to) const {
        size_t n = 0;
        for (size_t i = from; i < to && i < events.size(); ++i) n += pred(events[i]) ? 1 : 0;
        return n;
    }

    zqtest::Instance inst;
    std::string snmp_dir;
    std::unique_ptr<zqtest::Process> pmd;
    ZqSession* observer = nullptr;
    std::vector<Event> events;

private:
    int fences_ = 0;
};

// One platform with a serving trvtrapd for the tests of trap processing.
class Serving : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        p_ = new Platform;
        p_->start();
    }
    static void TearDownTestSuite() {
        delete p_;
        p_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(p_->observer, nullptr);
        mark_ = p_->events.size();
    }
    static Platform* p_;
    size_t mark_ = 0;
};
Platform* Serving::p_ = nullptr;

TEST_F(Serving, TheReissuedTrapAndTheStatusRequestFieldByField) {
    Platform& p = *p_;
    p.trap("ENT.6", "10.1.2.3", 6001, {"ENT.6.2.6.7.1.9.3", "i", "4"}, "c0mm");
    size_t end = p.fence();
    const Event* r = p.find([](const Event& e) { return e.reissue(6001); }, mark_);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->enterprise, kEnt + ".1.3.1");
    EXPECT_EQ(r->generic, 6);
    EXPECT_EQ(r->specific, 6001);
    EXPECT_EQ(r->agent, "10.1.2.3");
    EXPECT_EQ(r->community, "c0mm");
    ASSERT_EQ(r->bindings.size(), 1u);
    EXPECT_EQ(r->bindings[0].name, kEnt + ".11.2.8.1");
    EXPECT_EQ(r->bindings[0].type, ZQ_ASN_OCTET_STR);
    EXPECT_EQ(r->bindings[0].value, "Fan 3 failed: failed (community c0mm, agent 10.1.2.3, time 4321)");

    // Y: exactly one status request, after the re-issued trap.
    EXPECT_EQ(p.count([](const Event& e) { return e.status_request(); }, mark_, end), 1u);
    const Event* s = p.find([](const Event& e) { return e.status_request(); }, mark_);
    ASSERT_NE(s, nullptr);
    EXPECT_GT(s, r);
    EXPECT_EQ(s->specific, 3004);
    EXPECT_EQ(s->generic, 6);
    EXPECT_EQ(s->agent, "127.0.0.1");
    EXPECT_EQ(s->community, "quillfern");
    ASSERT_EQ(s->bindings.size(), 1u);
    EXPECT_EQ(s->bindings[0].name, kEnt + ".11.2.8.1");
    EXPECT_EQ(s->bindings[0].type, ZQ_ASN_OCTET_STR);
    EXPECT_EQ(s->bindings[0].value, "10.1.2.3");
    // The status request itself is an internal event: not formatted again.
    EXPECT_EQ(p.count([](const Event& e) { return e.reissue(3004); }, mark_, end), 0u);
}

TEST_F(Serving, WithNNoStatusRequestIsSent) {
    Platform& p = *p_;
    p.trap("ENT.6", "10.4.5.6", 6012, {"1.3.6.1.2.1.1.1.0", "i", "3"});
    size_t end = p.fence();
    const Event* r = p.find([](const Event& e) { return e.reissue(6012); }, mark_);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->text(), "Self test found 3 errors on 10.4.5.6");
    EXPECT_EQ(p.count([](const Event& e) { return e.status_request(); }, mark_, end), 0u);
}

TEST_F(Serving, AFormatErrorLeavesTheMarkerAndTheTrapIsStillReissued) {
    Platform& p = *p_;
    p.trap("ENT.11", "10.1.2.3", 11004, {"1.3.6.1.2.1.1.5.0", "s", "v1"});
    p.fence();
    const Event* r = p.find([](const Event& e) { return e.reissue(11004); }, mark_);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->text(), "Bad # FORMAT ERROR # command # FORMAT ERROR # here, value v1");
    std::string log = p.error_log();
    EXPECT_NE(log.find("trvtrapd (1014): Enterprise ID - " + kEnt + ".11; Trap Number - 11004 : Required Varbind"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("trvtrapd (1010): "), std::string::npos);
    EXPECT_NE(log.find("trvtrapd (1008): "), std::string::npos);
    EXPECT_NE(log.find(p.inst.root + "/conf/c/trv/trvtrapd.conf"), std::string::npos) << log;
}

TEST_F(Serving, AnUndefinedNumberIsDroppedWithoutALogEntry) {
    Platform& p = *p_;
    std::string before = p.error_log();
    p.trap("ENT.6", "10.1.2.3", 9999, {"1.3.6.1.2.1.1.5.0", "s", "x"});
    size_t end = p.fence();
    EXPECT_EQ(p.count([](const Event& e) { return e.enterprise == kEnt + ".1.3.1" && e.specific != 11003; }, mark_,
                      end),
              0u);
    EXPECT_EQ(p.error_log(), before);
}

// Undefined vendor traps are re-issued by nobody but kept, one line each, in a
// rotated file; re-issued traps and internal events are not vendor traps.
TEST_F(Serving, UndefinedVendorTrapsAreKeptInTheUnknownLog) {
    Platform& p = *p_;
    std::string path = p.inst.root + "/log/trvtrapd.unknown";
    std::string full(1048576, 'x');
    full += "\n";
    zqtest::write_file(path, full);  // a full file: the next line rotates it
    p.trap("ENT.6", "10.1.2.3", 9998, {"1.3.6.1.2.1.1.5.0", "s", "disk 2", "ENT.6.1.1", "x", "00FF0a"});
    p.trap("ENT.77.1", "10.1.2.4", 4242, {"ENT.77.1.2", "i", "-5", "ENT.77.1.3", "a", "10.0.0.1"});
    p.trap("ENT.1.3.1", "10.1.2.3", 9997);                       // looks re-issued
    p.trap("ENT.1.3.2", "10.1.2.3", 3001, {"ENT.1.3.2", "i", "17"});  // an internal event
    p.fence();
    EXPECT_EQ(read_file(path + ".old"), full);
    std::istringstream lines(read_file(path));
    std::vector<std::string> kept;
    for (std::string line; std::getline(lines, line);) kept.push_back(line);
    ASSERT_EQ(kept.size(), 2u) << read_file(path);
    EXPECT_NE(kept[0].find(" agent=10.1.2.3 enterprise=" + kEnt + ".6 generic=6 number=9998 trap_id=" + kEnt +
                           ".6.0.9998 bindings=[1.3.6.1.2.1.1.5.0 STRING \"disk 2\"; " + kEnt +
                           ".6.1.1 STRING 0x00FF0A]"),
              std::string::npos)
        << kept[0];
    EXPECT_NE(kept[1].find(" agent=10.1.2.4 enterprise=" + kEnt + ".77.1 generic=6 number=4242 trap_id=" + kEnt +
                           ".77.1.0.4242 bindings=[" + kEnt + ".77.1.2 INTEGER -5; " + kEnt +
                           ".77.1.3 IpAddress 10.0.0.1]"),
              std::string::npos)
        << kept[1];
    // Counted: each line carries the running count.
    auto count_of = [](const std::string& line) { return std::stoul(line.substr(line.find(" #") + 2)); };
    EXPECT_EQ(count_of(kept[1]), count_of(kept[0]) + 1);
    EXPECT_EQ(kept[0].find("\n"), std::string::npos);
}

TEST_F(Serving, ReissuedTrapsAreNotProcessedAgain) {
    Platform& p = *p_;
    // 7001 is defined under ENT.1.3.1 itself, so every re-issued 7001 finds a
    // definition: only the loop guard stops it.
    p.trap("ENT.6", "10.1.2.3", 7001, {"1.3.6.1.2.1.1.5.0", "s", "first"});
    // A trap that merely looks re-issued is not processed either.
    p.trap("ENT.1.3.1", "10.1.2.3", 7001, {"1.3.6.1.2.1.1.5.0", "s", "second"});
    size_t end = p.fence();
    EXPECT_EQ(p.count([](const Event& e) { return e.reissue(7001); }, mark_, end), 2u);  // the re-issue and the second
    EXPECT_EQ(p.count([](const Event& e) { return e.reissue(7001) && e.text() == "Loop first"; }, mark_, end), 1u);
    EXPECT_EQ(p.count([](const Event& e) { return e.reissue(7001) && e.text() == "Loop second"; }, mark_, end), 0u);
}

TEST_F(Serving, InternalEventsAreNeverFormatted) {
    Platform& p = *p_;
    p.notify("ENT.1.3.12.0.3004", {"ENT.11.2.8.1", "octetstring", "10.7.7.7"});
    p.notify("ENT.1.3.2.0.3001", {"ENT.1.3.2", "integer", "17"});
    size_t end = p.fence();
    EXPECT_EQ(p.count([](const Event& e) { return e.enterprise == kEnt + ".1.3.1" && e.specific != 11003; }, mark_,
                      end),
              0u);
    EXPECT_EQ(p.count([](const Event& e) { return e.status_request(); }, mark_, end), 1u);  // the one sent above
}

TEST_F(Serving, AnUnknownCommandAndSigtermLeaveItServing) {
    Platform& p = *p_;
    RunResult r = p.tool({bin("zqstop"), "--command", "9", "trvtrapd"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zqtest::wait_until(
        [&] { return p.error_log().find("trvtrapd (1016): Bad Command from \"zqspmd\" process.") != std::string::npos; },
        10000))
        << p.error_log();
    Row row = p.status("trvtrapd");
    ASSERT_EQ(row.state, "RUNNING");
    ASSERT_EQ(kill(std::stoi(row.pid), SIGTERM), 0);
    // Still serving after both.
    p.fence();
    EXPECT_EQ(p.status("trvtrapd").state, "RUNNING");
}

// Start-up, stop and the loss of trapd, each through the process manager.
TEST(Lifecycle, StartUpFailuresAreReportedAndEndWithStatusOne) {
    Platform p;
    ASSERT_EQ(p.tool({bin("zqstart"), "trapd"}).status, 0);
    auto fails = [&](const std::string& why) {
        RunResult r = p.tool({bin("zqstart"), "trvtrapd"});
        EXPECT_EQ(r.status, 1) << why << r.out << r.err;
        EXPECT_TRUE(p.wait_state("trvtrapd", "FAILED")) << why;
        Row row = p.status("trvtrapd");
        EXPECT_EQ(row.exit, "1") << why;
        EXPECT_EQ(row.text, "Initialization failed.") << why;
        EXPECT_NE(p.error_log().find("trvtrapd (1001): *** Critical Error: Exiting! ***"), std::string::npos) << why;
    };

    p.marker(false);
    fails("trvdis not running");
    EXPECT_NE(p.pm_log().find("Initialization failed. \"trvdis\" is not running."), std::string::npos) << p.pm_log();
    p.marker(true);

    std::string path = p.inst.root + "/conf/c/trv/trvtrapd.conf";
    p.files("# nothing\n", kMap);
    fails("empty trvtrapd.conf");
    EXPECT_NE(p.error_log().find("trvtrapd (65): " + path + " - \n"), std::string::npos) << p.error_log();

    p.files("START_TRAP\n{.1.2} 5 y\nx\nEND_TRAP\n", kMap);
    fails("syntax error");
    EXPECT_NE(p.error_log().find("trvtrapd (65): " + path + " - Line 2: "), std::string::npos) << p.error_log();

    p.files("-", kMap);
    fails("no trvtrapd.conf");
    EXPECT_NE(p.error_log().find("(SYSTEM ERROR): "), std::string::npos);
    EXPECT_NE(p.error_log().find(" \": trvtrapd.conf\""), std::string::npos) << p.error_log();

    p.files(kConf, "-");
    fails("no trvval2str.trap");
    EXPECT_NE(p.error_log().find(" \"trvval2str.dat\""), std::string::npos) << p.error_log();

    std::string before = p.error_log();
    p.files(kConf, "# no blocks\n\n");
    fails("empty trvval2str.trap");
    std::string added = p.error_log().substr(before.size());
    EXPECT_EQ(added.find("(65)"), std::string::npos) << added;
    EXPECT_EQ(added.find("SYSTEM ERROR"), std::string::npos) << added;
}

TEST(Lifecycle, TheStopCommandAndTheLossOfTrapdEndWithStatusZero) {
    Platform p;
    p.start();
    p.fence();
    ASSERT_EQ(p.tool({bin("zqstop"), "trvtrapd"}).status, 0);
    Row row = p.status("trvtrapd");
    EXPECT_EQ(row.state, "NOT_RUNNING");
    EXPECT_EQ(row.exit, "0");
    EXPECT_EQ(row.text, "trvtrapd exiting at the request of ZqsPMD (via zqstop)");

    ZqsnmpClose(p.observer);
    p.observer = nullptr;
    ASSERT_EQ(p.tool({bin("zqstart"), "trvtrapd"}).status, 0);
    ASSERT_EQ(p.tool({bin("zqstop"), "trapd"}).status, 0);
    EXPECT_TRUE(p.wait_state("trvtrapd", "EXITED"));
    row = p.status("trvtrapd");
    EXPECT_EQ(row.exit, "0");
    EXPECT_EQ(row.text, "Lost connection with trapd, trapd has terminated.");
}

TEST(Lifecycle, WhatItPrintsReachesItsLogWhileItRuns) {
    // A value map with a bad second block: trvtrapd starts with the first and
    // prints the parser's message, which must be in log/trvtrapd.out at once,
    // not when the daemon ends.
    Platform p(kConf, std::string(kMap) + "BEGIN_OID ENT.6.2.6.7.1.8\nbad line\nEND_OID\n");
    p.start();
    EXPECT_EQ(p.status("trvtrapd").state, "RUNNING");
    EXPECT_TRUE(zqtest::wait_until(
        [&] { return read_file(p.inst.root + "/log/trvtrapd.out").find("Syntax Error At Line No 6") != std::string::npos; },
        5000))
        << read_file(p.inst.root + "/log/trvtrapd.out");
}

TEST(Lifecycle, OutsideTheProcessManagerItDoesNotStart) {
    zqtest::Instance inst;
    RunResult r = zqtest::run({bin("trvtrapd")}, inst.env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(read_file(inst.root + "/temp/vtmzqerr.log").find("trvtrapd (SYSTEM ERROR)"), std::string::npos);
    r = zqtest::run({bin("trvtrapd"), "--help"}, inst.env());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: trvtrapd"), std::string::npos);
}

}  // namespace
