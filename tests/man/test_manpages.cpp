// The manual pages pass mandoc's lint, say what the README says, and exist for
// every installed program; the package CPack makes from this build holds the
// programs, the pages and the shipped configuration.
#include <dirent.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using zqtest::RunResult;

// The pages the build wrote from the README as it is now.
std::vector<std::string> pages() {
    std::vector<std::string> out;
    for (const char* sec : {"man1", "man8"}) {
        std::string dir = std::string(ZQ_BUILD_DIR) + "/man/" + sec;
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) continue;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return out;
}

TEST(ManualPages, LintCleanCurrentAndOnePerProgram) {
    std::vector<std::string> all = pages();
    ASSERT_GE(all.size(), 28u);
    std::set<std::string> names;
    for (const auto& p : all) {
        RunResult r = zqtest::run({"/usr/bin/mandoc", "-T", "lint", "-W", "warning", p});
        EXPECT_EQ(r.status, 0) << p << "\n" << r.out << r.err;
        EXPECT_EQ(r.out + r.err, "") << p;
        std::string base = p.substr(p.rfind('/') + 1);
        names.insert(base.substr(0, base.rfind('.')));
    }
    // Every installed program has its page (the map program's target builds zqw).
    std::istringstream programs(ZQ_PROGRAMS);
    for (std::string n; programs >> n;) {
        if (n == "zqw_program") n = "zqw";
        EXPECT_TRUE(names.count(n)) << "no manual page for " << n;
    }
    // The pages of the tree were written by the same generator (they may lag a
    // README edit until scripts/manpages runs again) and pass the lint too.
    for (const char* sec : {"man1/zqtopo.1", "man1/trvexplain.1", "man8/trvdis.8"}) {
        RunResult r = zqtest::run({"/usr/bin/mandoc", "-T", "lint", "-W", "warning", zqtest::source("man/") + sec});
        EXPECT_EQ(r.status, 0) << sec << r.out << r.err;
        EXPECT_NE(zqtest::read_file(zqtest::source("man/") + sec).find("Written by scripts/manpages"), std::string::npos);
    }
}

TEST(Package, HoldsProgramsPagesAndConfiguration) {
    zqtest::TempDir dir;
    RunResult r = zqtest::run({"/usr/bin/cpack", "--config", std::string(ZQ_BUILD_DIR) + "/CPackConfig.cmake", "-G", "DEB",
                               "-B", dir.path},
                              {}, "", 280000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string deb;
    DIR* d = opendir(dir.path.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && n.substr(n.size() - 4) == ".deb") deb = dir.path + "/" + n;
    }
    closedir(d);
    ASSERT_FALSE(deb.empty()) << r.out;

    RunResult contents = zqtest::run({"/usr/bin/dpkg-deb", "-c", deb});
    ASSERT_EQ(contents.status, 0) << contents.err;
    std::set<std::string> files;
    std::istringstream lines(contents.out);
    for (std::string line; std::getline(lines, line);) {
        size_t p = line.find("./");
        if (p != std::string::npos) files.insert(line.substr(p + 1));
    }
    for (const char* f : {"/usr/bin/trvdis", "/usr/share/man/man1/trvmib2conf.1", "/usr/bin/trvtrapd", "/usr/bin/trvexplain", "/usr/bin/trvrequest",
                          "/usr/bin/trvmib2conf", "/usr/bin/zqtopo", "/usr/bin/zqspmd", "/usr/bin/trapd",
                          "/usr/bin/zqw", "/usr/share/man/man8/trvdis.8", "/usr/share/man/man1/trvexplain.1",
                          "/usr/share/man/man1/zqtopo.1", "/usr/share/tarvo-zq/conf/trv/trvtrapd.conf",
                          "/usr/share/tarvo-zq/conf/trv/trvval2str.trap", "/usr/share/tarvo-zq/conf/trv/trvconfig.dat",
                          "/usr/share/tarvo-zq/conf/trv.fields", "/usr/share/tarvo-zq/conf/mibs/VELMORA-VANTOR-MIB.txt",
                          "/usr/share/tarvo-zq/zq/fields/zq.fields", "/usr/share/doc/tarvo-zq/README.md"})
        EXPECT_TRUE(files.count(f)) << f << "\n" << contents.out;
    // Nothing of the build or the tests goes in.
    for (const auto& f : files) {
        EXPECT_EQ(f.find("test_"), std::string::npos) << f;
        EXPECT_EQ(f.find("fuzz_"), std::string::npos) << f;
    }
    RunResult info = zqtest::run({"/usr/bin/dpkg-deb", "-f", deb, "Package", "Version"});
    EXPECT_EQ(info.out, "Package: tarvo-zq\nVersion: 3.3.0\n");
}

}  // namespace
