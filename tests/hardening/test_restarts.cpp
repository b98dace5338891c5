// Signals from outside: SIGHUP (logrotate, operators) leaves every daemon running;
// a trapd killed with SIGKILL comes back, and so do the daemons that ended with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "zqsnmp.h"

namespace {

using zqtest::bin;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Row {
    std::string pid, state;
};

std::map<std::string, Row> status(const zqtest::Instance& inst) {
    std::map<std::string, Row> m;
    std::istringstream in(zqtest::run({bin("zqstatus")}, inst.env()).out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream w(line);
        std::string name;
        Row r;
        w >> name >> r.pid >> r.state;
        m[name] = r;
    }
    return m;
}

TEST(Restarts, HangupLeavesEveryDaemonRunningAndAKilledTrapdComesBackWithTheOthers) {
    zqtest::Instance inst;
    inst.activate();
    const std::vector<std::string> daemons = {"trapd", "netmon", "trvdis", "trvtrapd"};
    zqtest::write_file(inst.root + "/conf/zqsuf", "trapd " + bin("trapd") + "\nnetmon " + bin("netmon") +
                                                      " --interval 3600\ntrvdis " + bin("trvdis") +
                                                      "\ntrvtrapd " + bin("trvtrapd") + "\n");
    zqtest::Process pmd({bin("zqspmd"), "--restart-delay", "0.2", "--stop-grace", "5"}, inst.env());
    ASSERT_TRUE(zqtest::wait_until([&] { return zqtest::run({bin("zqstatus")}, inst.env()).status == 0; }, 10000));
    zqtest::RunResult r = zqtest::run({bin("zqstart")}, inst.env());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto before = status(inst);
    for (const auto& d : daemons) ASSERT_EQ(before[d].state, "RUNNING") << d;

    // SIGHUP to every daemon and to zqspmd.
    for (const auto& d : daemons) ASSERT_EQ(kill(std::stoi(before[d].pid), SIGHUP), 0) << d;
    ASSERT_EQ(kill(pmd.pid(), SIGHUP), 0);
    usleep(1500 * 1000);
    auto after_hup = status(inst);
    for (const auto& d : daemons) {
        EXPECT_EQ(after_hup[d].state, "RUNNING") << d;
        EXPECT_EQ(after_hup[d].pid, before[d].pid) << d;
    }
    EXPECT_TRUE(pmd.running());
    EXPECT_TRUE(has(zqtest::read_file(inst.root + "/log/trapd.log"), "LOG reopened on SIGHUP"));
    EXPECT_TRUE(has(zqtest::read_file(inst.root + "/log/zqspmd.log"), "SIGHUP: log reopened"));

    // SIGKILL to trapd: trapd comes back, and trvdis and trvtrapd, which end when
    // they lose it, come back after it.
    ASSERT_EQ(kill(std::stoi(before["trapd"].pid), SIGKILL), 0);
    EXPECT_TRUE(zqtest::wait_until(
        [&] {
            auto now = status(inst);
            for (const auto& d : {"trapd", "trvdis", "trvtrapd"})
                if (now[d].state != "RUNNING" || now[d].pid == "-" || now[d].pid == before[d].pid) return false;
            return true;
        },
        40000, 200))
        << zqtest::run({bin("zqstatus")}, inst.env()).out << zqtest::read_file(inst.root + "/log/zqspmd.log");
    std::string pmlog = zqtest::read_file(inst.root + "/log/zqspmd.log");
    EXPECT_TRUE(has(pmlog, "trapd: pid " + before["trapd"].pid + " ended by signal 9")) << pmlog;
    EXPECT_EQ(status(inst)["netmon"].pid, before["netmon"].pid);  // it does not need trapd
    // trvdis reported the loss with its cause, not a stale errno.
    std::string errors = zqtest::read_file(inst.root + "/temp/vtmzqerr.log");
    EXPECT_TRUE(has(errors, "trvdis (8001): SYSTEM ERROR: Connection reset by peer") ||
                has(errors, "Connection reset by peer"))
        << errors;
    ZqSession* s = ZqsnmpEventOpen(nullptr, "check", nullptr, nullptr, ".*");
    EXPECT_NE(s, nullptr) << ZqsnmpErrno;
    if (s) ZqsnmpClose(s);
    r = zqtest::run({bin("zqstop")}, inst.env(), "", 60000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

}  // namespace
