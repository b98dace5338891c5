// The manual pages, as the build writes them from man/pages and the README,
// pass mandoc's lint, exist for every installed program and describe every
// option the program's --help names.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using zqtest::RunResult;

// The pages the build wrote from man/pages and the README as they are now.
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

TEST(ManualPages, LintCleanAndOnePerProgram) {
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
}

// The options a text names: -x, --long-name.
std::set<std::string> flags(const std::string& text) {
    std::set<std::string> out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '-' || (i > 0 && text[i - 1] != ' ' && text[i - 1] != '[' && text[i - 1] != '|' &&
                               text[i - 1] != '\n' && text[i - 1] != '\t'))
            continue;
        size_t j = i + 1;
        if (j < text.size() && text[j] == '-') ++j;
        if (j >= text.size() || !std::isalpha(static_cast<unsigned char>(text[j]))) continue;
        while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '-')) ++j;
        out.insert(text.substr(i, j - i));
        i = j;
    }
    return out;
}

// The options a page's OPTIONS section describes: each "Fl x" of its
// ".It" lines is -x.  Empty when the page has no OPTIONS.
std::set<std::string> described_options(const std::string& page) {
    std::set<std::string> out;
    size_t from = page.find("\n.Sh OPTIONS\n");
    if (from == std::string::npos) return out;
    size_t to = page.find("\n.Sh ", from + 1);
    std::istringstream lines(page.substr(from + 1, to == std::string::npos ? std::string::npos : to - from));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(".It ", 0) != 0) continue;
        std::istringstream words(line);
        for (std::string w, prev; words >> w; prev = w)
            if (prev == "Fl") out.insert("-" + w);
    }
    return out;
}

// Every page's SYNOPSIS names the options the program's --help shows in its
// usage lines, and no others; its OPTIONS describes every option --help names
// anywhere (the usage, the list of options, the notes).
TEST(ManualPages, SynopsisAndOptionsAgreeWithHelp) {
    std::istringstream programs(ZQ_PROGRAMS);
    int compared = 0;
    for (std::string n; programs >> n;) {
        if (n == "zqw_program") n = "zqw";
        std::string page;
        for (const char* sec : {"1", "8"}) {
            std::string p = std::string(ZQ_BUILD_DIR) + "/man/man" + sec + "/" + n + "." + sec;
            if (access(p.c_str(), R_OK) == 0) page = zqtest::read_file(p);
        }
        ASSERT_FALSE(page.empty()) << n;
        size_t from = page.find(".Sh SYNOPSIS\n"), to = page.find(".Sh DESCRIPTION");
        ASSERT_NE(from, std::string::npos) << n;
        std::string synopsis = page.substr(from, to - from);
        RunResult help = zqtest::run({zqtest::bin(n), "--help"}, {{"ZQ_ROOT", "/nonexistent"}}, "", 10000);
        std::string text = help.out + help.err;
        ASSERT_NE(page.find("\n.Sh OPTIONS\n"), std::string::npos) << n << ": no OPTIONS";
        std::set<std::string> described = described_options(page);
        for (const auto& f : flags(text)) EXPECT_TRUE(described.count(f)) << n << ": " << f << " is not in OPTIONS";
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t u = lower.find("usage");
        if (u == std::string::npos) continue;  // no usage to compare with
        size_t end = text.find("\n\n", u);
        std::string usage = text.substr(u, end == std::string::npos ? std::string::npos : end - u);
        std::set<std::string> want = flags(usage);
        // trvchkagnt's usage message is the system's own and names -n only;
        // it takes -f too, as its page says.
        if (n == "trvchkagnt") want.insert("-f");
        EXPECT_EQ(flags(synopsis), want) << n << "\n" << synopsis << "\n" << usage;
        ++compared;
    }
    EXPECT_GE(compared, 25);
}

}  // namespace
