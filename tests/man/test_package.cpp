// The Debian packages CPack makes from this build: what goes where, and that the
// service they install can run.  The main package is unpacked into a scratch
// root; its zqsetup makes an instance there and the unit's own commands
// (zqcheck, zqspmd, zqstart, zqstop) start and stop it, as systemd would.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using zqtest::RunResult;

struct Packages {
    zqtest::TempDir dir;
    std::string main, sim;
    std::string error;
};

// Packs the build once for every case of this file.
Packages& packages() {
    static Packages* p = [] {
        auto* out = new Packages;
        RunResult r = zqtest::run({"/usr/bin/cpack", "--config", std::string(ZQ_BUILD_DIR) + "/CPackConfig.cmake",
                                   "-G", "DEB", "-B", out->dir.path},
                                  {}, "", 280000);
        if (r.status != 0) out->error = r.out + r.err;
        if (DIR* d = opendir(out->dir.path.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n.rfind("tarvo-zq-sim_", 0) == 0) out->sim = out->dir.path + "/" + n;
                else if (n.rfind("tarvo-zq_", 0) == 0) out->main = out->dir.path + "/" + n;
            }
            closedir(d);
        }
        return out;
    }();
    return *p;
}

// Path -> the listing's line (mode, owner, size, ..., "-> target" for a link).
std::map<std::string, std::string> contents(const std::string& deb) {
    std::map<std::string, std::string> files;
    RunResult r = zqtest::run({"/usr/bin/dpkg-deb", "-c", deb});
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        size_t p = line.find(" ./");
        if (p == std::string::npos) continue;
        std::string path = line.substr(p + 2);
        size_t arrow = path.find(" -> ");
        if (arrow != std::string::npos) path.resize(arrow);
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        files[path] = line;
    }
    return files;
}

TEST(Package, LayoutOfBothPackages) {
    Packages& p = packages();
    ASSERT_EQ(p.error, "");
    ASSERT_FALSE(p.main.empty());
    ASSERT_FALSE(p.sim.empty());
    auto files = contents(p.main);
    auto sim = contents(p.sim);

    // path, in the main package, a link (to ../lib/tarvo-zq/bin/NAME)
    struct Want {
        const char* path;
        bool present;
        bool link;
    };
    const Want want[] = {
        {"/usr/lib/tarvo-zq/bin/trvdis", true, false},      {"/usr/lib/tarvo-zq/bin/trvtrapd", true, false},
        {"/usr/lib/tarvo-zq/bin/trvmap", true, false},      {"/usr/lib/tarvo-zq/bin/trapd", true, false},
        {"/usr/lib/tarvo-zq/bin/netmon", true, false},      {"/usr/lib/tarvo-zq/bin/zqw", true, false},
        {"/usr/lib/tarvo-zq/bin/zqspmd", true, false},      {"/usr/lib/tarvo-zq/bin/zqcheck", true, false},
        {"/usr/lib/tarvo-zq/bin/zqsetup", true, false},     {"/usr/bin/zqsetup", true, true},
        {"/usr/bin/zqstart", true, true},                   {"/usr/bin/zqstop", true, true},
        {"/usr/bin/zqstatus", true, true},                  {"/usr/bin/zqtopo", true, true},
        {"/usr/bin/zqevents", true, true},                  {"/usr/bin/zqcheck", true, true},
        {"/usr/bin/trvexplain", true, true},                {"/usr/bin/trvrequest", true, true},
        {"/usr/bin/trvmib2conf", true, true},               {"/usr/bin/trvtrapchk", true, true},
        {"/usr/bin/trapd", false, false},                   {"/usr/bin/netmon", false, false},
        {"/usr/bin/trvdis", false, false},                  {"/usr/bin/zqspmd", false, false},
        {"/usr/bin/agentsim", false, false},                {"/usr/lib/tarvo-zq/bin/agentsim", false, false},
        {"/usr/share/man/man1/trvexplain.1.gz", true, false}, {"/usr/share/man/man8/trvdis.8.gz", true, false},
        {"/usr/share/man/man1/zqtopo.1.gz", true, false},   {"/usr/share/man/man1/agentsim.1.gz", false, false},
        {"/usr/share/man/man1/trvexplain.1", false, false}, {"/usr/share/doc/tarvo-zq/README.md", true, false},
        {"/usr/share/doc/tarvo-zq/README.zq.md", true, false}, {"/usr/share/doc/tarvo-zq/copyright", true, false},
        {"/usr/share/doc/tarvo-zq/changelog.gz", true, false}, {"/etc/tarvo-zq/zqspmd.conf", true, false},
        {"/usr/lib/systemd/system/zqspmd.service", true, false},
        {"/usr/share/tarvo-zq/conf/trv/trvtrapd.conf", true, false},
        {"/usr/share/tarvo-zq/conf/trv/trvconfig.dat", true, false},
        {"/usr/share/tarvo-zq/conf/mibs/VELMORA-VANTOR-MIB.txt", true, false},
        {"/usr/share/tarvo-zq/zq/fields/zq.fields", true, false},
    };
    for (const Want& w : want) {
        auto it = files.find(w.path);
        EXPECT_EQ(it != files.end(), w.present) << w.path;
        if (it == files.end() || !w.link) continue;
        std::string name = std::string(w.path).substr(std::string(w.path).rfind('/') + 1);
        EXPECT_NE(it->second.find(" -> ../lib/tarvo-zq/bin/" + name), std::string::npos) << it->second;
    }
    for (const auto& [f, line] : files) {
        EXPECT_EQ(f.find("test_"), std::string::npos) << f;
        EXPECT_EQ(f.find("fuzz_"), std::string::npos) << f;
    }
    for (const char* f : {"/usr/bin/agentsim", "/usr/share/man/man1/agentsim.1.gz",
                          "/usr/share/doc/tarvo-zq-sim/copyright", "/usr/share/tarvo-zq-sim/networks/demo.json"})
        EXPECT_TRUE(sim.count(f)) << f;

    // The unit's settings survive an upgrade: a conffile.
    EXPECT_EQ(zqtest::run({"/usr/bin/dpkg-deb", "-I", p.main, "conffiles"}).out, "/etc/tarvo-zq/zqspmd.conf\n");
    RunResult info = zqtest::run({"/usr/bin/dpkg-deb", "-f", p.main, "Package", "Version"});
    EXPECT_EQ(info.out, "Package: tarvo-zq\nVersion: 3.3.0\n");
}

// lintian's errors, when it is installed (its warnings are shown, not failed on).
TEST(Package, LintianFindsNoErrors) {
    if (access("/usr/bin/lintian", X_OK) != 0) GTEST_SKIP() << "lintian is not installed";
#ifdef ZQ_SANITIZED
    GTEST_SKIP() << "the sanitizers' build is not what a package holds";
#endif
    Packages& p = packages();
    ASSERT_EQ(p.error, "");
    RunResult r = zqtest::run({"/usr/bin/lintian", "--no-cfg", "--allow-root", p.main, p.sim}, {}, "", 280000);
    std::istringstream lines(r.out + r.err);
    std::string errors;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("E: ", 0) == 0) errors += line + "\n";
    EXPECT_EQ(errors, "") << r.out << r.err;
    EXPECT_NE(r.status, -1) << "lintian did not finish";
}

// The unit's commands, as written in it.
std::map<std::string, std::string> unit_commands(const std::string& unit) {
    std::map<std::string, std::string> m;
    std::istringstream in(unit);
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (line.rfind("Exec", 0) != 0 || eq == std::string::npos) continue;
        // Prefixes such as "-" (a failure does not fail the unit) are not part of the path.
        size_t path = line.find('/', eq);
        m[line.substr(0, eq)] = path == std::string::npos ? line.substr(eq + 1) : line.substr(path);
    }
    return m;
}

TEST(Package, InstalledServiceMakesAndRunsAnInstance) {
    Packages& p = packages();
    ASSERT_EQ(p.error, "");
    zqtest::TempDir scratch;
    const std::string root = scratch.path + "/root";
    RunResult x = zqtest::run({"/usr/bin/dpkg-deb", "-x", p.main, root});
    ASSERT_EQ(x.status, 0) << x.err;

    const std::string unit_path = root + "/usr/lib/systemd/system/zqspmd.service";
    std::string unit = zqtest::read_file(unit_path);
    // systemd's own check of the unit, its paths moved into the scratch root
    // (which has no systemd of its own to load the unit's dependencies from).
    if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
        std::string moved = unit;
        for (const std::string from : {"/usr/lib/tarvo-zq/", "/etc/tarvo-zq/"})
            for (size_t p = moved.find(from); p != std::string::npos; p = moved.find(from, p + root.size() + 1))
                moved.insert(p, root);
        mkdir((scratch.path + "/unit").c_str(), 0700);
        zqtest::write_file(scratch.path + "/unit/zqspmd.service", moved);
        RunResult v =
            zqtest::run({"/usr/bin/systemd-analyze", "verify", "--man=no", scratch.path + "/unit/zqspmd.service"});
        EXPECT_EQ(v.status, 0) << v.out << v.err;
        EXPECT_EQ(v.err, "") << moved;
    }
    auto exec = unit_commands(unit);
    for (const char* key : {"ExecStartPre", "ExecStart", "ExecStartPost", "ExecStop"}) {
        ASSERT_TRUE(exec.count(key)) << key << "\n" << unit;
        EXPECT_EQ(access((root + exec[key]).c_str(), X_OK), 0) << key << "=" << exec[key];
    }
    // The unit takes ZQ_ROOT from the conffile.
    EXPECT_NE(unit.find("EnvironmentFile=-/etc/tarvo-zq/zqspmd.conf"), std::string::npos);
    EXPECT_NE(zqtest::read_file(root + "/etc/tarvo-zq/zqspmd.conf").find("\nZQ_ROOT=/var/opt/zq\n"),
              std::string::npos);

    // The installed zqsetup makes an instance whose daemons are the installed ones
    // and whose shipped files come from the installed data folder.
    const std::string inst = scratch.path + "/zq";
    RunResult s = zqtest::run({root + "/usr/bin/zqsetup", inst, "--trap-port", std::to_string(zqtest::free_port()),
                               "--event-port", std::to_string(zqtest::free_tcp_port()), "--snmp-port",
                               std::to_string(zqtest::free_udp_port()), "--http-port",
                               std::to_string(zqtest::free_tcp_port())});
    ASSERT_EQ(s.status, 0) << s.out << s.err;
    std::string zqsuf = zqtest::read_file(inst + "/conf/zqsuf");
    for (const char* d : {"trapd", "netmon", "trvdis", "trvtrapd", "zqw"})
        EXPECT_NE(zqsuf.find(std::string(d) + " " + root + "/usr/lib/tarvo-zq/bin/" + d), std::string::npos) << zqsuf;
    EXPECT_EQ(zqtest::read_file(inst + "/conf/c/trv/trvtrapd.conf"),
              zqtest::read_file(root + "/usr/share/tarvo-zq/conf/trv/trvtrapd.conf"));

    // As systemd runs the unit: the check, the manager, the start, the stop.
    zqtest::Env env = {{"ZQ_ROOT", inst}};
    RunResult check = zqtest::run({root + exec["ExecStartPre"]}, env);
    ASSERT_EQ(check.status, 0) << check.out << check.err;
    zqtest::Process pmd({root + exec["ExecStart"]}, env);
    ASSERT_TRUE(zqtest::wait_until([&] { return zqtest::run({root + "/usr/bin/zqstatus"}, env).status == 0; }, 10000))
        << pmd.err();
    RunResult start = zqtest::run({root + exec["ExecStartPost"]}, env);
    EXPECT_EQ(start.status, 0) << start.out << start.err;
    RunResult status = zqtest::run({root + "/usr/bin/zqstatus"}, env);
    for (const char* d : {"trapd", "netmon", "trvdis", "trvtrapd", "zqw"}) {
        std::istringstream in(status.out);
        bool running = false;
        for (std::string line; std::getline(in, line);)
            if (line.rfind(std::string(d) + " ", 0) == 0 && line.find("RUNNING") != std::string::npos) running = true;
        EXPECT_TRUE(running) << d << "\n" << status.out << status.err;
    }
    RunResult stop = zqtest::run({root + exec["ExecStop"]}, env);
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    EXPECT_EQ(pmd.wait(15000), 0) << pmd.err();
}

}  // namespace
