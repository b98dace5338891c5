// trvrixen with a browser that records what it was given, and trvversion.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"
#include "zqw.h"

namespace {

using zqtest::RunResult;

const std::string kUsage = "Usage: trvrixen.exe ZqSelectionName\n";

class Trvrixen : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inst_ = std::make_unique<zqtest::Instance>();
        inst_->activate();
        record_ = inst_->dir.path + "/browser.rec";
        browser_ = inst_->dir.path + "/browser";
        // Appends its arguments, one a line, and a marker line after them.
        zqtest::write_file(browser_, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + record_ +
                                         "'\necho -- >> '" + record_ + "'\n");
        chmod(browser_.c_str(), 0755);

        ASSERT_EQ(ZqwDbInit(), 0);
        ZqwFieldId ip = ZqwDbFieldNameToFieldId("trvRIXENip");
        ASSERT_FALSE(ZqwIsIdNull(ip));
        auto node = [&](const char* name, const char* board) {
            ZqwObjectId id = ZqwDbCreateObjectBySelectionName(name);
            ASSERT_FALSE(ZqwIsIdNull(id)) << name;
            if (board) {
                ASSERT_EQ(ZqwDbSetFieldStringValue(id, ip, board), 1) << name;
            }
        };
        node("board1", "16.0.0.5");
        node("board2", "16.0.0.6");
        node("noboard", nullptr);
        node("evil-semicolon", "16.0.0.5;touch pwned");
        node("evil-subshell", "$(touch pwned)");
        node("evil-blank", "16.0.0.5 --new-window");
        node("evil-empty", "");
        node("too-long", std::string(249, '1').c_str());
        ZqwDbDone();
    }
    static void TearDownTestSuite() { inst_.reset(); }

    static RunResult rixen(const std::vector<std::string>& args) {
        std::vector<std::string> argv{zqtest::bin("trvrixen")};
        argv.insert(argv.end(), args.begin(), args.end());
        zqtest::Env env = inst_->env();
        env.push_back({"BROWSER", browser_});
        return zqtest::run(argv, env);
    }
    // Waits until the browser has recorded n runs; returns the record.
    static std::string record_after(size_t runs) {
        zqtest::wait_until(
            [&] {
                std::string r = zqtest::read_file(record_);
                size_t n = 0;
                for (size_t p = r.find("--\n"); p != std::string::npos; p = r.find("--\n", p + 1)) ++n;
                return n >= runs;
            },
            10000);
        return zqtest::read_file(record_);
    }

    static std::unique_ptr<zqtest::Instance> inst_;
    static std::string record_, browser_;
};
std::unique_ptr<zqtest::Instance> Trvrixen::inst_;
std::string Trvrixen::record_;
std::string Trvrixen::browser_;

TEST_F(Trvrixen, UsageUnlessExactlyOneArgument) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"board1", "board2"}, {"--help"}}) {
        RunResult r = rixen(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage);
    }
}

TEST_F(Trvrixen, OpensTheBoardAndRefusesAnythingButADottedAddress) {
    // Refused texts first: none may reach the browser.
    for (const char* name : {"evil-semicolon", "evil-subshell", "evil-blank", "evil-empty", "too-long"}) {
        RunResult r = rixen({name});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find("nothing opened"), std::string::npos) << name;
    }
    // Nothing to open, and names that find nothing.
    RunResult none = rixen({"noboard"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "");
    RunResult unknown = rixen({"no-such-node"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_EQ(unknown.out + unknown.err, "");

    RunResult ok = rixen({"board1"});
    EXPECT_EQ(ok.status, 1);
    EXPECT_EQ(ok.out + ok.err, "");
    // The browser ran once, for the one board that may open, with the URL as its
    // only argument.
    EXPECT_EQ(record_after(1), "http://16.0.0.5\n--\n");
    RunResult ok2 = rixen({"board2"});
    EXPECT_EQ(ok2.status, 1);
    EXPECT_EQ(record_after(2), "http://16.0.0.5\n--\nhttp://16.0.0.6\n--\n");
}

TEST_F(Trvrixen, WithoutDatabaseOrFieldItEndsQuietly) {
    zqtest::TempDir empty;
    RunResult r = zqtest::run({zqtest::bin("trvrixen"), "board1"}, {{"ZQ_ROOT", empty.path}, {"BROWSER", browser_}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");

    // After the integration's fields are removed, the board field is gone too.
    zqtest::Instance other;
    ASSERT_EQ(zqtest::run({zqtest::bin("trvdelfld"), "y"}, other.env()).status, 0);
    RunResult gone = zqtest::run({zqtest::bin("trvrixen"), "board1"}, {{"ZQ_ROOT", other.root}, {"BROWSER", browser_}});
    EXPECT_EQ(gone.status, 0);
    EXPECT_EQ(gone.out + gone.err, "");
}

TEST(Trvversion, PrintsTheVersion) {
    RunResult r = zqtest::run({zqtest::bin("trvversion")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n3.3\n");
    RunResult help = zqtest::run({zqtest::bin("trvversion"), "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: trvversion"), std::string::npos);
}

}  // namespace
