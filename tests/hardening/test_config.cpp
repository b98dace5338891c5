// Configuration mistakes are named, file and line, and never become silent
// defaults: zqcheck lists them and exits 1, the daemons refuse to start on them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testsupport.h"
#include "zqcommon.h"

namespace {

using zqtest::bin;
using zqtest::RunResult;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Config, TyposInEachFileAreNamedByZqcheckAndStopTheDaemons) {
    zqtest::Instance inst;
    const std::string zq = inst.root + "/conf/zq.conf", snmp = inst.root + "/conf/snmp.conf",
                      suf = inst.root + "/conf/zqsuf";
    const std::string zq_text = zqtest::read_file(zq), snmp_text = zqtest::read_file(snmp);
    const std::string suf_text = "trapd " + bin("trapd") + "\n";
    zqtest::write_file(suf, suf_text);
    // Keys of the map program's web server are known too.
    zqtest::write_file(zq, zqtest::without_settings(zq_text, {"http_password"}) + "http_listen=127.0.0.1\nhttp_password=s3cret\ndb_busy_timeout=5\n");
    RunResult r = zqtest::run({bin("zqcheck")}, inst.env());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "ok     conf/c/trv/trvconfig.dat (trvconfchk)")) << r.out;

    int zq_line = 1;
    for (char c : zq_text) zq_line += c == '\n' ? 1 : 0;
    struct Case {
        std::string file, base, added, expect;
    } cases[] = {
        {zq, zqtest::without_settings(zq_text, {"trap_port"}), "trap_port=21570x\n", "trap_port: expected a port number 1..65535, not '21570x'"},
        {zq, zq_text, "trap_listn=0.0.0.0\n", "unknown key 'trap_listn'"},
        {zq, zq_text, "trap_port=1\n", "trap_port is set twice"},
        {zq, zq_text, "trap_listen=everywhere\n", "trap_listen: expected a dotted IPv4 address"},
        {zq, zqtest::without_settings(zq_text, {"local_only_enterprises"}), "local_only_enterprises=ENT.1.x\n", "'ENT.1.x' is not a dotted OID"},
        {zq, zq_text, "lonely\n", "expected NAME=VALUE"},
        {snmp, snmp_text, "host1 comunity=x\n", "unknown key 'comunity'"},
        {snmp, snmp_text, "host2 timeout=0.8s\n", "timeout: expected seconds"},
        {snmp, snmp_text, "host3 retries\n", "expected KEY=VALUE"},
        {suf, suf_text, "bad/name /bin/true\n", "bad process name 'bad/name'"},
        {suf, suf_text, "x restart=maybe /bin/true\n", "restart= takes yes or no"},
        {suf, suf_text, "y /no/such/program\n", "program /no/such/program not found"},
    };
    for (const auto& c : cases) {
        zqtest::write_file(c.file, c.base + c.added);
        int line = 1;
        for (char ch : c.base) line += ch == '\n' ? 1 : 0;
        r = zqtest::run({bin("zqcheck")}, inst.env());
        EXPECT_EQ(r.status, 1) << c.added << r.out;
        EXPECT_TRUE(has(r.out, c.file + ":" + std::to_string(line) + ": ")) << c.added << r.out;
        EXPECT_TRUE(has(r.out, c.expect)) << c.added << r.out;
        // The daemon that reads the file does not start on it.
        if (c.file == zq) {
            RunResult t = zqtest::run({bin("trapd"), "--root", inst.root}, {}, "", 10000);
            EXPECT_EQ(t.status, 1) << c.added << t.err;
            EXPECT_TRUE(has(t.err, c.expect)) << t.err;
        } else if (c.file == suf && c.expect.find("not found") == std::string::npos) {
            RunResult t = zqtest::run({bin("zqstart")}, inst.env(), "", 20000);
            EXPECT_EQ(t.status, 1) << c.added << t.out << t.err;
            EXPECT_TRUE(has(t.err, c.expect)) << t.err;
        }
        zqtest::write_file(c.file, c.file == zq ? zq_text : c.base);
    }
    (void)zq_line;
    EXPECT_EQ(zqtest::run({bin("zqcheck")}, inst.env()).status, 0);
    EXPECT_EQ(zqtest::run({bin("zqcheck")}, {{"ZQ_ROOT", inst.root + "/nowhere"}}).status, 1);

    // A second netmon beside the first is refused.
    zqtest::Process first({bin("netmon"), "--interval", "3600"}, inst.env());
    ASSERT_TRUE(zqtest::wait_until([&] { return has(zqtest::read_file(inst.root + "/log/netmon.log"), "polling"); },
                                   10000));
    RunResult second = zqtest::run({bin("netmon")}, inst.env(), "", 10000);
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(has(second.err, "another netmon runs for this instance")) << second.err;
    EXPECT_TRUE(first.running());
}

// A host line takes the keys it does not set from the line "*".
TEST(Config, AHostLineInheritsWhatItDoesNotSetFromTheStarLine) {
    zqtest::TempDir dir;
    std::string file = dir.path + "/snmp.conf";
    zqtest::write_file(file, "router* retries=1\nswitch* community=sw\n* community=c1 port=1161 timeout=2\n");
    zq::AgentConf r = zq::agent_conf(file, "router9");
    EXPECT_EQ(r.community, "c1");
    EXPECT_EQ(r.port, 1161);
    EXPECT_DOUBLE_EQ(r.timeout, 2.0);
    EXPECT_EQ(r.retries, 1);
    zq::AgentConf s = zq::agent_conf(file, "switch1");
    EXPECT_EQ(s.community, "sw");
    EXPECT_EQ(s.retries, 3);  // the default: neither line sets it
    EXPECT_EQ(s.port, 1161);
}

}  // namespace

namespace {

unsigned mode_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 01000;
}

// What holds communities, traps, keys or the database is its owner's alone, and
// zqsetup mends an instance whose modes were loosened.
TEST(FileModes, TheInstanceIsOwnerOnlyAndLooseModesAreMended) {
    zqtest::Instance inst;
    const std::vector<std::string> private_paths = {"db", "conf", "log", "run", "temp", "registry", "conf/zq.conf",
                                                    "conf/snmp.conf", "db/topology.db"};
    for (const auto& p : private_paths) EXPECT_EQ(mode_of(inst.root + "/" + p) & 077, 0u) << p;
    {
        zqtest::Process trapd({bin("trapd"), "--root", inst.root});
        ASSERT_TRUE(trapd.wait_for_err("listening", 10000));
        EXPECT_EQ(mode_of(inst.root + "/log/trapd.log"), 0600u);
        EXPECT_EQ(mode_of(inst.root + "/run/trapd.key"), 0600u);
    }
    ASSERT_EQ(chmod((inst.root + "/conf/snmp.conf").c_str(), 0644), 0);
    ASSERT_EQ(chmod((inst.root + "/db").c_str(), 0755), 0);
    RunResult r = zqtest::run({bin("zqsetup"), inst.root});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "warning: conf/snmp.conf was open to other users (mode 644), now 600")) << r.err;
    EXPECT_TRUE(has(r.err, "warning: db was open to other users (mode 755), now 700")) << r.err;
    EXPECT_EQ(mode_of(inst.root + "/conf/snmp.conf"), 0600u);
    EXPECT_EQ(mode_of(inst.root + "/db"), 0700u);
}

// Another user's tools are told that the instance is not theirs, never that it
// is missing or unreachable.
TEST(FileModes, AnotherUserIsToldPermissionDenied) {
    if (std::string why = zqtest::nobody_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    zqtest::Instance inst;
    zqtest::write_file(inst.root + "/conf/zqsuf", "trapd " + bin("trapd") + "\n");
    ASSERT_EQ(zqtest::run({bin("zqstart")}, inst.env()).status, 0);
    struct Case {
        std::vector<std::string> command;
        int status;
        std::string says;
    } cases[] = {
        {{"zqstatus"}, 1, "zqstatus: permission denied: zqspmd's socket"},
        {{"zqstop"}, 1, "zqstop: permission denied: zqspmd's socket"},
        {{"zqevents"}, 2, "zqevents: cannot open an event session: Permission denied"},
        {{"zqtopo", "nodes"}, 3, ": permission denied (the instance belongs to another user)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = c.command;
        argv[0] = bin(argv[0]);
        RunResult r = zqtest::run(zqtest::as_nobody(argv), inst.env(), "", 10000);
        EXPECT_EQ(r.status, c.status) << c.command[0] << ": " << r.err;
        EXPECT_TRUE(has(r.err, c.says)) << c.command[0] << ": " << r.err;
    }
    EXPECT_EQ(zqtest::run({bin("zqstop")}, inst.env(), "", 30000).status, 0);
}

}  // namespace
