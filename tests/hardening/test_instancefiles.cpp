// The instance's files as the tools write and read them: owner-only whatever the
// caller's umask, odd files in the place of conf/hosts or the session key named
// and never waited on, and a missing instance never taken for a stopped one.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using zqtest::bin;
using zqtest::RunResult;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

unsigned mode_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 01000;
}

// argv run with umask 022, as an operator's shell has it.
RunResult run_umask022(const zqtest::Instance& inst, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "umask 022; exec \"$@\"", "sh"});
    return zqtest::run(argv, inst.env(), "", 20000);
}

TEST(InstanceFiles, ToolsWriteHostsAndRegistryOwnerOnly) {
    zqtest::Instance inst;
    for (const char* f : {"conf/hosts", "registry"}) ASSERT_EQ(chmod((inst.root + "/" + f).c_str(), 0600), 0);
    RunResult r = run_umask022(inst, {bin("zqtopo"), "add", "moded", "127.0.9.2"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_umask022(inst, {bin("zqreg"), "set", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", "Name", "value"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(zqtest::read_file(inst.root + "/conf/hosts"), "127.0.9.2 moded"));
    for (const char* f : {"conf/hosts", "conf/.hosts.lock", "registry", "registry.lock"})
        EXPECT_EQ(mode_of(inst.root + "/" + f), 0600u) << f;
}

// A FIFO where conf/hosts or the session key should be: each tool that opens it
// says which file is odd and ends, and zqcheck names it too.
TEST(InstanceFiles, AFifoInPlaceOfAFileIsNamedNotWaitedOn) {
    zqtest::Instance inst;
    const std::string hosts = inst.root + "/conf/hosts", key = inst.root + "/run/trapd.key";
    ASSERT_EQ(unlink(hosts.c_str()), 0);
    ASSERT_EQ(mkfifo(hosts.c_str(), 0600), 0);
    const std::string net = inst.root + "/net.json";
    zqtest::write_file(net, R"({"nodes": [{"name": "fifo1", "addresses": ["127.0.9.3"], "kind": "server"}]})");
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string says;
    } cases[] = {
        {{bin("zqtopo"), "add", "fifo2", "127.0.9.4"}, 3, hosts + ": is not a regular file (refused)"},
        {{bin("zqtopo"), "import", net}, 3, hosts + ": is not a regular file (refused)"},
        {{bin("zqcheck")}, 1, hosts + ": is not a regular file (refused)"},
        {{bin("zqevents"), "--timeout", "1"}, 2, key + ": is not a regular file (refused)"},
    };
    ASSERT_EQ(mkfifo(key.c_str(), 0600), 0);
    for (const auto& c : cases) {
        RunResult r = zqtest::run(c.argv, inst.env(), "", 10000);
        EXPECT_EQ(r.status, c.status) << c.argv[1] << r.out << r.err;
        EXPECT_TRUE(has(r.out + r.err, c.says)) << c.argv[1] << r.out << r.err;
    }
    for (const char* name : {"fifo1", "fifo2"})  // refused before the database was touched
        EXPECT_EQ(zqtest::run({bin("zqtopo"), "id", name}, inst.env()).status, 2) << name;
    // conf/hosts lines the resolver cannot use are named by zqcheck.
    ASSERT_EQ(unlink(hosts.c_str()), 0);
    zqtest::write_file(hosts, "::1 localhost6\n127.0.9.5 good\nnode9 127.0.9.9\n127.0.9.6\n");
    RunResult r = zqtest::run({bin("zqcheck")}, inst.env());
    EXPECT_TRUE(has(r.out, hosts + ":3: expected a dotted IPv4 address first, not 'node9'")) << r.out;
    EXPECT_TRUE(has(r.out, hosts + ":4: expected ADDRESS NAME")) << r.out;
    EXPECT_FALSE(has(r.out, hosts + ":1:")) << r.out;
}

// A lock another process holds past db_busy_timeout is the database failing
// (3), not a bad argument (2).
TEST(InstanceFiles, ALockedDatabaseIsAFailureOfTheDatabase) {
    zqtest::Instance inst;
    zqtest::write_file(inst.root + "/conf/zq.conf", zqtest::read_file(inst.root + "/conf/zq.conf") + "db_busy_timeout=1\n");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((inst.root + "/db/topology.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    RunResult r = zqtest::run({bin("zqtopo"), "add", "locked", "127.0.9.7"}, inst.env(), "", 20000);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(has(r.err, "locked by another process")) << r.err;
}

TEST(InstanceFiles, ZqstopOnAMissingInstanceIsAnError) {
    RunResult r = zqtest::run({bin("zqstop")}, {{"ZQ_ROOT", "/nonexistent"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "zqstop: no instance at /nonexistent")) << r.out << r.err;
    EXPECT_FALSE(has(r.out, "not running")) << r.out;
}

// The shipped systemd unit gives up on a zqspmd that keeps failing, and one
// daemon that does not start does not fail the whole unit.
TEST(InstanceFiles, TheSystemdUnitHasAStartLimitAndToleratesOneFailingDaemon) {
    std::string unit = zqtest::read_file(zqtest::source("conf/zqspmd.service"));
    size_t service = unit.find("[Service]");
    ASSERT_NE(service, std::string::npos);
    for (const char* line : {"\nStartLimitIntervalSec=", "\nStartLimitBurst="}) {
        size_t at = unit.find(line);
        EXPECT_TRUE(at != std::string::npos && at < service) << line << " in [Unit]";
    }
    EXPECT_TRUE(has(unit, "\nExecStartPost=-")) << unit;
}

}  // namespace
