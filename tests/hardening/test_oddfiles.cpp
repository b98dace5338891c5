// A FIFO or a symbolic link where the instance keeps a log, the registry or a
// configuration file: every program reports the file and goes on or ends, and
// none of them hangs on it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testsupport.h"
#include "zqsnmp.h"

namespace {

using zqtest::bin;
using zqtest::RunResult;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(OddFiles, FifosAndLinksAreRefusedWithTheirNameNeverWaitedOn) {
    zqtest::Instance inst;
    inst.activate();
    const std::string log = inst.root + "/log/";

    // trapd.log a FIFO: trapd says so and serves all the same.
    ASSERT_EQ(mkfifo((log + "trapd.log").c_str(), 0600), 0);
    {
        zqtest::Process trapd({bin("trapd"), "--root", inst.root});
        ASSERT_TRUE(trapd.wait_for_err("listening", 10000)) << trapd.err();
        EXPECT_TRUE(has(trapd.err(), log + "trapd.log: is not a regular file")) << trapd.err();
        ZqSession* s = ZqsnmpEventOpen(nullptr, "t", nullptr, nullptr, ".*");
        EXPECT_NE(s, nullptr) << ZqsnmpErrno;
        if (s) ZqsnmpClose(s);
        EXPECT_EQ(trapd.stop(), 0);
    }
    // A link in its place is not followed: the file it names stays untouched.
    unlink((log + "trapd.log").c_str());
    zqtest::write_file(inst.dir.path + "/elsewhere", "");
    ASSERT_EQ(symlink((inst.dir.path + "/elsewhere").c_str(), (log + "trapd.log").c_str()), 0);
    {
        zqtest::Process trapd({bin("trapd"), "--root", inst.root});
        ASSERT_TRUE(trapd.wait_for_err("listening", 10000)) << trapd.err();
        EXPECT_TRUE(has(trapd.err(), log + "trapd.log: is a symbolic link")) << trapd.err();
        EXPECT_EQ(trapd.stop(), 0);
    }
    EXPECT_EQ(zqtest::read_file(inst.dir.path + "/elsewhere"), "");

    // log/trapd.out a FIFO: the start fails at once with the file named, and
    // zqspmd goes on answering.
    zqtest::write_file(inst.root + "/conf/zqsuf", "trapd " + bin("trapd") + "\n");
    ASSERT_EQ(mkfifo((log + "trapd.out").c_str(), 0600), 0);
    zqtest::Process pmd({bin("zqspmd")}, inst.env());
    ASSERT_TRUE(zqtest::wait_until([&] { return zqtest::run({bin("zqstatus")}, inst.env()).status == 0; }, 10000));
    RunResult r = zqtest::run({bin("zqstart"), "trapd"}, inst.env(), "", 15000);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    r = zqtest::run({bin("zqstatus")}, inst.env(), "", 5000);
    EXPECT_EQ(r.status, 1);  // it answers, and a process is FAILED
    EXPECT_TRUE(has(r.out, "FAILED")) << r.out;
    EXPECT_TRUE(has(r.out, log + "trapd.out: is not a regular file")) << r.out;
    EXPECT_EQ(zqtest::run({bin("zqstop")}, inst.env(), "", 15000).status, 0);

    // The registry and the integration's configuration.
    std::string reg = inst.root + "/registry";
    unlink(reg.c_str());
    ASSERT_EQ(mkfifo(reg.c_str(), 0600), 0);
    r = zqtest::run({bin("zqreg"), "get", "HKLM\\SOFTWARE\\Velmora\\Corvel\\Tarnwick", "PathName"}, inst.env(), "",
                    10000);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    unlink(reg.c_str());
    zqtest::write_file(reg, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvel\\Tarnwick]\nPathName=" + inst.root + "\n");
    std::string conf = inst.root + "/conf/c/trv/trvconfig.dat";
    unlink(conf.c_str());
    ASSERT_EQ(mkfifo(conf.c_str(), 0600), 0);
    r = zqtest::run({bin("trvconfchk")}, inst.env(), "", 10000);
    EXPECT_NE(r.status, -1) << "trvconfchk hangs on a FIFO";
    EXPECT_TRUE(has(r.out, "Error : File " + conf)) << r.out << r.err;  // the checker's verdict; status always 0
}

}  // namespace
