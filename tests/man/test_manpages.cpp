// The manual pages pass mandoc's lint, say what the README says, and exist for
// every installed program.
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

}  // namespace
