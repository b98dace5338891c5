// What another user of the host can do to an instance: nothing through the map
// program's web server without the password zqsetup wrote, and nothing through
// an instance made before these defaults once zqsetup has run on it again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "testsupport.h"
#include "zqoid.h"

namespace {

using zqtest::bin;
using zqtest::RunResult;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The HTTP status curl gets for a request to the map program (000: no answer).
std::string http_status(const zqtest::Instance& inst, const std::string& method, const std::string& path,
                        const std::string& body, bool as_nobody, const std::string& password = "") {
    std::vector<std::string> argv{"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", method};
    if (!body.empty()) argv.insert(argv.end(), {"-H", "Content-Type: application/json", "--data", body});
    if (!password.empty()) argv.insert(argv.end(), {"-u", "zq:" + password});
    argv.push_back("http://127.0.0.1:" + std::to_string(inst.http_port) + path);
    return zqtest::run(as_nobody ? zqtest::as_nobody(argv) : argv, {}, "", 20000).out;
}

// The map program alone, with the platform's registration only (no application).
void map_only(const zqtest::Instance& inst) {
    zqtest::write_file(inst.root + "/conf/zqsuf", "zqw " + bin("zqw") + "\n");
    zqtest::run({"/bin/sh", "-c", "find \"$0\" -name '*.reg' ! -name zq.reg -delete", inst.root + "/registration"});
}

TEST(LocalUsers, TheMapAsksEveryoneButTheOwnerForThePasswordZqsetupWrote) {
    if (std::string why = zqtest::nobody_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    zqtest::Instance inst;
    struct stat st {};
    ASSERT_EQ(stat((inst.root + "/conf/zq.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(inst.http_password.size(), 24u);
    RunResult again = zqtest::run({bin("zqsetup"), inst.root});
    EXPECT_TRUE(has(again.out, "the map: http://127.0.0.1:" + std::to_string(inst.http_port) +
                                   "/ (any user name; the password is the http_password line of " + inst.root +
                                   "/conf/zq.conf)"))
        << again.out;

    ASSERT_EQ(zqtest::run({bin("zqtopo"), "add", "victim", "127.0.9.1", "--server"}, inst.env()).status, 0);
    std::string id = zqtest::run({bin("zqtopo"), "id", "victim"}, inst.env()).out;
    id = id.substr(0, id.find('\n'));
    map_only(inst);
    ASSERT_EQ(zqtest::run({bin("zqstart")}, inst.env(), "", 30000).status, 0);
    ASSERT_TRUE(zqtest::wait_until(
        [&] { return http_status(inst, "GET", "/api/maps", "", false, inst.http_password) == "200"; }, 15000, 100));

    const std::string del = "{\"objects\": [" + id + "]}";
    struct Case {
        std::string method, path, body;
    } attacks[] = {
        {"POST", "/api/objects/delete", del},
        {"POST", "/api/apps/config/confirm", R"({"app": "Tarvo", "values": {"trvUninstall": true}})"},
        {"POST", "/api/apps/restart", R"({"app": "Tarvo"})"},
        {"GET", "/api/maps", ""},
        {"GET", "/", ""},
    };
    for (const auto& a : attacks) EXPECT_EQ(http_status(inst, a.method, a.path, a.body, true), "401") << a.path;
    EXPECT_EQ(zqtest::run({bin("zqtopo"), "id", "victim"}, inst.env()).status, 0) << "the object went";
    // The same request with the password does the work: the 401s above were the password's.
    EXPECT_EQ(http_status(inst, "POST", "/api/objects/delete", del, true, inst.http_password), "200");
    EXPECT_NE(zqtest::run({bin("zqtopo"), "id", "victim"}, inst.env()).status, 0);
    EXPECT_EQ(zqtest::run({bin("zqstop")}, inst.env(), "", 30000).status, 0);
}

// zqcheck and the map program agree on what leaves the map open: no password, or
// none on an address other hosts reach.  http_auth=none on loopback is the
// single-user host's choice, and then the map answers without one.
TEST(LocalUsers, ZqcheckAndTheMapRefuseAMapOpenToOthers) {
    zqtest::Instance inst;
    map_only(inst);
    const std::string conf = inst.root + "/conf/zq.conf";
    const std::string base = zqtest::without_settings(zqtest::read_file(conf), {"http_password"});
    struct Case {
        std::string lines;
        unsigned mode;
        std::string says;  // empty: accepted
    } cases[] = {
        {"", 0600, "no http_password: every user of this host could change the map"},
        {"http_password=\n", 0600, "no http_password"},
        {"http_auth=none\nhttp_listen=0.0.0.0\n", 0600, "http_auth=none with http_listen=0.0.0.0"},
        {"http_auth=off\n", 0600, "http_auth: expected password or none, not 'off'"},
        {"http_password=x\n", 0644, "holds http_password but other users may read it (mode 644"},
        {"http_password=x\nhttp_listen=0.0.0.0\n", 0600, ""},
        {"http_auth=none\nhttp_listen=localhost\n", 0600, ""},
    };
    for (const auto& c : cases) {
        zqtest::write_file(conf, base + c.lines);
        ASSERT_EQ(chmod(conf.c_str(), c.mode), 0);
        RunResult check = zqtest::run({bin("zqcheck")}, inst.env());
        EXPECT_EQ(check.status, c.says.empty() ? 0 : 1) << c.lines << check.out;
        EXPECT_TRUE(has(check.out, c.says)) << c.lines << check.out;
        if (c.says.empty() || c.mode != 0600 || has(c.says, "expected")) continue;
        RunResult map = zqtest::run({bin("zqw")}, inst.env(), "", 20000);
        EXPECT_EQ(map.status, 1) << c.lines << map.err;
        EXPECT_TRUE(has(map.err, c.says)) << c.lines << map.err;
    }
    // The documented switch for a single-user host: no password asked.
    zqtest::write_file(conf, base + "http_auth=none\n");
    zqtest::Process map({bin("zqw")}, inst.env());
    EXPECT_TRUE(zqtest::wait_until([&] { return http_status(inst, "GET", "/api/maps", "", false) == "200"; }, 15000,
                                   100))
        << map.err();
}

// An instance made before these defaults: its zq.conf has ports only.  The lines
// it lacks mean the safe defaults to trapd (not "any community", not "nothing
// local-only"), and zqsetup run again adds them and says so.
TEST(LocalUsers, AnOldInstanceIsClosedByDefaultAndCompletedByZqsetup) {
    zqtest::Instance inst;
    const std::string conf = inst.root + "/conf/zq.conf";
    const std::string old_text =
        zqtest::without_settings(zqtest::read_file(conf), {"trap_communities", "local_only_enterprises", "http_password"});
    zqtest::write_file(conf, old_text);
    {
        zqtest::Process trapd({bin("trapd"), "--root", inst.root});
        ASSERT_TRUE(trapd.wait_for_err("listening", 10000)) << trapd.err();
        const std::string dest = "127.0.0.1:" + std::to_string(inst.trap_port);
        // Two refused, then one taken: once that one is in the log, trapd has
        // looked at all three.
        for (const auto& [community, arc] : {std::pair{"intruder", ".1.3"}, {"public", ".1.3.20"}, {"public", ".1.4"}})
            ASSERT_EQ(zqtest::run({"/usr/bin/snmptrap", "-v1", "-c", community, dest,
                                   std::string(ZQ_ENT_TEXT) + arc, "10.9.9.9", "6", "3005", "0"},
                                  {{"MIBS", ""}})
                          .status,
                      0);
        // The refusals are counted; the counts go to the log at the latest when trapd stops.
        EXPECT_TRUE(zqtest::wait_until(
            [&] { return has(zqtest::read_file(inst.root + "/log/trapd.log"), "specific=3005"); }, 10000, 20));
        trapd.stop();
        std::string log = zqtest::read_file(inst.root + "/log/trapd.log");
        EXPECT_TRUE(has(log, "community not in trap_communities 1, local-only traps from UDP 1")) << log;
    }
    RunResult r = zqtest::run({bin("zqsetup"), inst.root});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* said : {"added trap_communities=public to conf/zq.conf",
                             "added local_only_enterprises=ENT.1.3.2,ENT.1.3.3,ENT.1.3.11,ENT.1.3.12,ENT.1.3.20 to "
                             "conf/zq.conf",
                             "added http_password (a new random password for the map) to conf/zq.conf"})
        EXPECT_TRUE(has(r.out, said)) << r.out;
    std::string now = zqtest::read_file(conf);
    EXPECT_EQ(now.substr(0, old_text.size()), old_text);  // the operator's lines stay as they were
    EXPECT_EQ(zqtest::run({bin("zqcheck")}, inst.env()).status, 0);
    r = zqtest::run({bin("zqsetup"), inst.root});
    EXPECT_TRUE(has(r.out, "kept conf/zq.conf")) << r.out;
    EXPECT_EQ(zqtest::read_file(conf), now);
}

// An explicit list that leaves a control arc out is refused by zqcheck and by
// trapd, unless local_only_override=yes; empty lists are not "allow all".
TEST(LocalUsers, ListsThatOpenTheControlEventsAreRefused) {
    zqtest::Instance inst;
    const std::string conf = inst.root + "/conf/zq.conf";
    const std::string base = zqtest::without_settings(zqtest::read_file(conf), {"trap_communities", "local_only_enterprises"});
    struct Case {
        std::string lines, says;  // says empty: accepted
    } cases[] = {
        {"local_only_enterprises=\n", "leaves out ENT.1.3.2, ENT.1.3.3, ENT.1.3.11, ENT.1.3.12, ENT.1.3.20"},
        {"local_only_enterprises=ENT.1.3.2,ENT.1.3.3,ENT.1.3.11,ENT.1.3.12\n", "leaves out ENT.1.3.20, the"},
        {"local_only_enterprises=ENT.1.3.20.1 ENT.1.3.2 ENT.1.3.3 ENT.1.3.11 ENT.1.3.12\n", "leaves out ENT.1.3.20,"},
        {"trap_communities=\n", "trap_communities: expected communities"},
        {"local_only_override=maybe\n", "local_only_override: expected yes or no"},
        {"local_only_enterprises=ENT.1.3\n", ""},
        {"local_only_enterprises=ENT.1.3.2\nlocal_only_override=yes\n", ""},
    };
    for (const auto& c : cases) {
        zqtest::write_file(conf, base + c.lines);
        RunResult check = zqtest::run({bin("zqcheck")}, inst.env());
        EXPECT_EQ(check.status, c.says.empty() ? 0 : 1) << c.lines << check.out;
        EXPECT_TRUE(has(check.out, c.says)) << c.lines << check.out;
        if (c.says.empty()) continue;
        RunResult trapd = zqtest::run({bin("trapd"), "--root", inst.root}, {}, "", 10000);
        EXPECT_EQ(trapd.status, 1) << c.lines << trapd.err;
        EXPECT_TRUE(has(trapd.err, c.says)) << c.lines << trapd.err;
    }
}

}  // namespace
