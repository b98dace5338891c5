// zqsetup: the instance tree, the configuration it writes, and re-runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "snmpv3conf.h"
#include "testsupport.h"
#include "zqcommon.h"

namespace fs = std::filesystem;
using zqtest::bin;
using zqtest::read_file;
using zqtest::run;
using zqtest::TempDir;
using zqtest::write_file;

namespace {

bool contains(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

}  // namespace

TEST(ZqSetup, CreatesTheWholeTreeWithPortsCommunityAndRegistry) {
    TempDir t;
    std::string root = t.path + "/inst";
    auto r = run({bin("zqsetup"), root, "--trap-port", "20162", "--event-port", "25162", "--snmp-port",
                  "20161", "--http-port", "27180", "--community", "s3cret"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* d : {"conf", "conf/c/trv", "fields", "registration", "db", "temp", "log", "run"})
        EXPECT_TRUE(fs::is_directory(root + "/" + d)) << d;
    for (const char* f : {"conf/zq.conf", "conf/snmp.conf", "conf/hosts", "conf/zqsuf", "registry"})
        EXPECT_TRUE(fs::is_regular_file(root + "/" + f)) << f;

    zq::InstanceConf c = zq::read_instance_conf(root + "/conf/zq.conf");
    EXPECT_EQ(c.trap_port, 20162);
    EXPECT_EQ(c.event_port, 25162);
    EXPECT_EQ(c.http_port, 27180);
    EXPECT_EQ(c.poll_interval, 300);

    zq::AgentConf a = zq::agent_conf(root + "/conf/snmp.conf", "127.0.0.1");
    EXPECT_EQ(a.community, "s3cret");
    EXPECT_EQ(a.port, 20161);
    EXPECT_DOUBLE_EQ(a.timeout, 0.8);
    EXPECT_EQ(a.retries, 3);

    EXPECT_EQ(read_file(root + "/registry"),
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvel\\Tarnwick]\nPathName=" + root + "\n");
}

TEST(ZqSetup, DefaultsAndRelativeRootBecomesAbsolute) {
    TempDir t;
    // A relative ROOT is recorded in the registry as an absolute path.
    auto r = run({"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" rel/inst", t.path, bin("zqsetup")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string root = t.path + "/rel/inst";
    EXPECT_TRUE(contains(read_file(root + "/registry"), "PathName=" + root + "\n"));
    zq::InstanceConf c = zq::read_instance_conf(root + "/conf/zq.conf");
    EXPECT_EQ(c.trap_port, 162);
    EXPECT_EQ(c.event_port, 5162);
    EXPECT_EQ(c.http_port, 7180);
    zq::AgentConf a = zq::agent_conf(root + "/conf/snmp.conf", "somehost");
    EXPECT_EQ(a.community, "public");
    EXPECT_EQ(a.port, 161);
}

TEST(ZqSetup, RerunKeepsEditsAndForceRewrites) {
    TempDir t;
    std::string root = t.path + "/inst";
    ASSERT_EQ(run({bin("zqsetup"), root, "--trap-port", "20162"}).status, 0);
    const std::string edited = "trap_port=30000\ntrap_communities=c1\nlocal_only_enterprises=ENT.1.3\nhttp_auth=none\n";
    write_file(root + "/conf/zq.conf", edited);
    write_file(root + "/conf/hosts", "127.0.1.1 srv1\n");
    fs::remove_all(root + "/log");

    auto again = run({bin("zqsetup"), root, "--trap-port", "20999"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(root + "/conf/zq.conf"), edited);
    EXPECT_EQ(read_file(root + "/conf/hosts"), "127.0.1.1 srv1\n");
    EXPECT_TRUE(contains(again.out, "kept conf/zq.conf"));
    EXPECT_TRUE(fs::is_directory(root + "/log")) << "a missing part is completed";

    auto forced = run({bin("zqsetup"), root, "--trap-port", "20999", "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(zq::read_instance_conf(root + "/conf/zq.conf").trap_port, 20999);
    EXPECT_FALSE(contains(read_file(root + "/conf/hosts"), "srv1"));
    // No temporary files are left behind.
    for (const auto& e : fs::directory_iterator(root + "/conf"))
        EXPECT_FALSE(contains(e.path().filename().string(), ".tmp")) << e.path();
}

// The SNMPv3 users files: owner-only from the start, no user in them, examples
// that are sound lines once uncommented, and never rewritten (they hold secrets).
TEST(ZqSetup, WritesOwnerOnlyV3UsersFilesWithExamplesAndNeverRewritesThem) {
    TempDir t;
    std::string root = t.path + "/inst";
    ASSERT_EQ(run({bin("zqsetup"), root}).status, 0);
    for (const char* rel : {"conf/snmpv3.users", "conf/trapd.users"}) {
        SCOPED_TRACE(rel);
        std::string file = root + "/" + rel;
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::vector<zq::V3User> users;
        std::vector<std::string> errors;
        EXPECT_TRUE(zq::load_v3_users(file, true, users, errors)) << (errors.empty() ? "" : errors[0]);
        EXPECT_TRUE(users.empty());

        std::string examples;
        for (size_t at = 0; (at = read_file(file).find("\n#ops ", at)) != std::string::npos; ++at) {
            std::string text = read_file(file);
            examples += text.substr(at + 2, text.find('\n', at + 1) - at - 1);
        }
        write_file(file, examples);
        chmod(file.c_str(), 0600);
        EXPECT_TRUE(zq::load_v3_users(file, true, users, errors)) << (errors.empty() ? "" : errors[0]);
        EXPECT_FALSE(users.empty());
    }
    const std::string mine = "ops authpass=my-own-phrase\n";
    write_file(root + "/conf/snmpv3.users", mine);
    ASSERT_EQ(run({bin("zqsetup"), root, "--force"}).status, 0);
    EXPECT_EQ(read_file(root + "/conf/snmpv3.users"), mine);
    EXPECT_EQ(run({bin("zqcheck")}, {{"ZQ_ROOT", root}}).status, 0);
}

TEST(ZqSetup, BadCommandLinesAreRefusedWithoutCreatingAnything) {
    TempDir t;
    std::string root = t.path + "/inst";
    for (std::string bad : {"0", "65536", "-5", "12x", "", "99999999999"}) {
        auto r = run({bin("zqsetup"), root, "--trap-port", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_TRUE(contains(r.err, "port")) << r.err;
    }
    EXPECT_EQ(run({bin("zqsetup"), root, "--snmp-port=70000"}).status, 2);
    EXPECT_EQ(run({bin("zqsetup"), root, "--event-port"}).status, 2);
    EXPECT_EQ(run({bin("zqsetup"), root, "--community", "two words"}).status, 2);
    EXPECT_EQ(run({bin("zqsetup"), root, "--bogus"}).status, 2);
    EXPECT_EQ(run({bin("zqsetup")}).status, 2);
    EXPECT_EQ(run({bin("zqsetup"), root, root + "2"}).status, 2);
    EXPECT_EQ(run({bin("zqsetup"), std::string("a\nb")}).status, 2);
    EXPECT_FALSE(fs::exists(root));

    auto help = run({bin("zqsetup"), "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "usage: zqsetup ROOT"));
}

TEST(ZqSetup, UnwritableRootIsAnError) {
    TempDir t;
    write_file(t.path + "/file", "x");
    auto r = run({bin("zqsetup"), t.path + "/file/inst"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "cannot create")) << r.err;
}

TEST(ZqSetup, ZqsufNamesOnlyTheDaemonsInstalledBesideIt) {
    TempDir t;
    // A private bin folder: zqsetup, two of the four daemons and the map program (last).
    std::string b = t.path + "/bin";
    fs::create_directories(b);
    fs::copy_file(bin("zqsetup"), b + "/zqsetup");
    for (const char* name : {"trapd", "trvdis", "zqw"}) {
        write_file(b + "/" + name, "#!/bin/sh\n");
        chmod((b + "/" + name).c_str(), 0755);
    }
    write_file(b + "/netmon", "not executable");
    std::string root = t.path + "/inst";
    ASSERT_EQ(run({b + "/zqsetup", root}).status, 0);
    EXPECT_EQ(read_file(root + "/conf/zqsuf"),
              "# Processes zqspmd manages, in start order: NAME PATH [ARGUMENTS...]\n"
              "trapd " + b + "/trapd\n"
              "trvdis " + b + "/trvdis\n"
              "zqw " + b + "/zqw --stop-grace 8\n");
}

TEST(ZqSetup, CopiesShippedFieldsAndIntegrationConfiguration) {
    TempDir t;
    std::string data = t.path + "/data";
    fs::create_directories(data + "/zq/fields");
    fs::create_directories(data + "/conf/trv/subdir");
    write_file(data + "/zq/fields/zq.fields", "field \"Demo Flag\" Boolean\n");
    write_file(data + "/zq/fields/README", "not a field file\n");
    write_file(data + "/conf/trv/trvconfig.dat", "rules\n");
    std::string root = t.path + "/inst";
    ASSERT_EQ(run({bin("zqsetup"), root, "--data", data}).status, 0);
    EXPECT_EQ(read_file(root + "/fields/zq.fields"), "field \"Demo Flag\" Boolean\n");
    EXPECT_FALSE(fs::exists(root + "/fields/README"));
    EXPECT_EQ(read_file(root + "/conf/c/trv/trvconfig.dat"), "rules\n");
    EXPECT_FALSE(fs::exists(root + "/conf/c/trv/subdir"));

    // The operator's edit survives a re-run; --force brings the shipped file back.
    write_file(root + "/conf/c/trv/trvconfig.dat", "edited\n");
    ASSERT_EQ(run({bin("zqsetup"), root, "--data", data}).status, 0);
    EXPECT_EQ(read_file(root + "/conf/c/trv/trvconfig.dat"), "edited\n");
    ASSERT_EQ(run({bin("zqsetup"), root, "--data", data, "--force"}).status, 0);
    EXPECT_EQ(read_file(root + "/conf/c/trv/trvconfig.dat"), "rules\n");

}

// A --data that names no folder of shipped files (a typo, a wrong folder) is
// refused before anything is made: exit 2, the path named, no instance folder.
TEST(ZqSetup, RefusesDataFolderWithoutShippedFiles) {
    TempDir t;
    fs::create_directories(t.path + "/empty");
    fs::create_directories(t.path + "/other/zq");  // zq/ but none of the folders copied from
    write_file(t.path + "/plain", "a file\n");
    for (const std::string& data : {t.path + "/nothing", t.path + "/empty", t.path + "/other", t.path + "/plain"}) {
        std::string root = t.path + "/inst";
        zqtest::RunResult r = run({bin("zqsetup"), root, "--data", data});
        EXPECT_EQ(r.status, 2) << data;
        EXPECT_NE(r.err.find("--data " + data + ": "), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("ready"), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(root)) << data;
    }
    // One shipped folder is enough.
    fs::create_directories(t.path + "/other/zq/conf");
    EXPECT_EQ(run({bin("zqsetup"), t.path + "/inst", "--data", t.path + "/other"}).status, 0);
}

TEST(ZqSetup, TestSupportInstanceUsesIt) {
    zqtest::Instance inst;
    zq::InstanceConf c = zq::read_instance_conf(inst.root + "/conf/zq.conf");
    EXPECT_EQ(c.trap_port, inst.trap_port);
    EXPECT_EQ(c.event_port, inst.event_port);
    EXPECT_EQ(zq::agent_conf(inst.root + "/conf/snmp.conf", "127.0.0.1").port, inst.snmp_port);
}
