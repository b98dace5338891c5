// The error and debug loggers: exact lines, classes, rotation, symbolic links,
// and the -dl option.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "trvlib.h"
#include "trvtest.h"

namespace fs = std::filesystem;

namespace {

// The timestamp forms: "Mar 07 09:05:30 '99 :\n" (error log) and
// "Mar 07 09:05:30 '99" (debug log).
const std::string kStamp = "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] '[0-9][0-9]";

class TrvLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<zqtest::TempDir>();
        setenv("ZQ_ROOT", root_->path.c_str(), 1);
    }
    static void TearDownTestSuite() { root_.reset(); }

    void SetUp() override {
        fs::remove_all(temp());
        fs::create_directories(temp());
        szProgramName = "trvdis";
        uiDebugLevel = 0;
    }

    static std::string temp() { return root_->path + "/temp"; }
    static std::string errlog() { return temp() + "/vtmzqerr.log"; }
    static std::string errold() { return temp() + "/vtmzqerr.old"; }
    static std::string dbglog() { return temp() + "/vtmzqdbg.log"; }
    static std::string dbgold() { return temp() + "/vtmzqdbg.old"; }
    static std::string read(const std::string& p) { return zqtest::read_file(p); }
    static bool matches(const std::string& text, const std::string& re) {
        return std::regex_match(text, std::regex(re));
    }

    static std::unique_ptr<zqtest::TempDir> root_;
};
std::unique_ptr<zqtest::TempDir> TrvLog::root_;

TEST_F(TrvLog, MessageNumberLineInLogAndOnStandardError) {
    trvtest::StderrCapture cap;
    EXPECT_EQ(iPrintError(2201, "Bad command(%d) from \"%s\".\n", 9, "zqspmd"), 1);
    EXPECT_EQ(cap.text(), "\ntrvdis (2201): Bad command(9) from \"zqspmd\".\n");
    EXPECT_TRUE(matches(read(errlog()), "\n" + kStamp + " :\ntrvdis \\(2201\\): Bad command\\(9\\) from \"zqspmd\"\\.\n"))
        << read(errlog());

    szProgramName = "trvmap";
    EXPECT_EQ(iPrintError(2201, "x"), 1);
    std::string log = read(errlog());
    EXPECT_TRUE(log.ends_with("\ntrvmap (2201): x")) << log;
}

TEST_F(TrvLog, EntriesAppendWithoutAddedLineBreak) {
    iPrintError(1002, "one");
    iPrintError(1003, "two\n");
    EXPECT_TRUE(matches(read(errlog()), "\n" + kStamp + " :\ntrvdis \\(1002\\): one\n" + kStamp +
                                            " :\ntrvdis \\(1003\\): two\n"))
        << read(errlog());
}

TEST_F(TrvLog, ErrorClassesCarryNameAndTextAtEveryLevel) {
    for (uint16_t level : {0, 1, 2}) {
        SCOPED_TRACE(level);
        uiDebugLevel = level;
        fs::remove(errlog());
        trvtest::StderrCapture cap;
        errno = EACCES;
        EXPECT_EQ(iPrintError(-1, "open %s\n", "f"), 1);
        EXPECT_EQ(errno, EACCES);  // the caller's errno survives the call
        std::string text = strerror(EACCES);
        EXPECT_EQ(cap.text(), "\ntrvdis (SYSTEM ERROR): " + text + " open f\n");
        EXPECT_TRUE(matches(read(errlog()), "\n" + kStamp + " :\ntrvdis \\(SYSTEM ERROR\\): " + text + " open f\n"))
            << read(errlog());
    }
}

TEST_F(TrvLog, SnmpAndDatabaseErrorsUseTheirNumbersAtEntry) {
    ZqsnmpErrno = ZQSNMP_E_TIMEOUT;
    std::string snmp = ZqsnmpErrString(ZQSNMP_E_TIMEOUT);
    {
        trvtest::StderrCapture cap;
        EXPECT_EQ(iPrintError(-2, nullptr), 1);  // header only
        EXPECT_EQ(cap.text(), "\ntrvdis (SNMP API ERROR): " + snmp + " ");
    }
    EXPECT_TRUE(matches(read(errlog()), "\n" + kStamp + " :\ntrvdis \\(SNMP API ERROR\\): .* ")) << read(errlog());
    EXPECT_EQ(read(errlog()).substr(read(errlog()).size() - snmp.size() - 1), snmp + " ");

    // A database call that fails before the database is opened sets its error.
    ZqwDbFieldNameToFieldId("isNode");
    int code = ZqwError();
    ASSERT_NE(code, 0);
    std::string zqw = ZqwErrorMsg(code);
    trvtest::StderrCapture cap;
    EXPECT_EQ(iPrintError(-3, "%s :", "trvNodeObjId"), 1);
    EXPECT_EQ(cap.text(), "\ntrvdis (ZQW API ERROR): " + zqw + " trvNodeObjId :");
    // Callers test the numbers after reporting: the logger leaves them as they were.
    EXPECT_EQ(ZqwError(), code);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_TIMEOUT);
}

TEST_F(TrvLog, UnknownNegativeCodeCreatesTheLogButWritesNothing) {
    trvtest::StderrCapture cap;
    EXPECT_EQ(iPrintError(-4, "never %s", "shown"), -1);
    EXPECT_EQ(cap.text(), "Error : (trvdis): iPrintError called for unknown error.\n");
    ASSERT_TRUE(fs::exists(errlog()));
    EXPECT_EQ(fs::file_size(errlog()), 0u);
}

TEST_F(TrvLog, MessageNumberWithoutTextWritesNothing) {
    trvtest::StderrCapture cap;
    EXPECT_EQ(iPrintError(65, nullptr), 1);
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(read(errlog()), "");
}

TEST_F(TrvLog, LongMessagesWithManyArgumentsReachBothOutputsWhole) {
    // The message goes to the log and to standard error from one argument list.
    std::string big(5000, 'y');
    trvtest::StderrCapture cap;
    EXPECT_EQ(iPrintError(7005, "%s|%d|%s|%u|%c|%s\n", "a", -7, big.c_str(), 42u, 'z', "end"), 1);
    std::string msg = "a|-7|" + big + "|42|z|end\n";
    EXPECT_TRUE(cap.text() == "\ntrvdis (7005): " + msg);
    EXPECT_TRUE(read(errlog()).ends_with("trvdis (7005): " + msg));

    uiDebugLevel = 1;
    trvtest::StderrCapture cap2;
    EXPECT_EQ(iPrintDebug(1, "s", 1, "%s|%d|%s\n", "b", 9, big.c_str()), 1);
    EXPECT_TRUE(cap2.text() == "\ntrvdis:b|9|" + big + "\n");
    EXPECT_TRUE(read(dbglog()).ends_with("(trvdis) :\nb|9|" + big + "\n"));
}

TEST_F(TrvLog, UnnamedProgramShowsItsOwnName) {
    szProgramName = nullptr;
    trvtest::StderrCapture cap;
    iPrintError(3, "x");
    EXPECT_EQ(cap.text(), std::string("\n") + program_invocation_short_name + " (3): x");
}

TEST_F(TrvLog, DebugLevelsSelectDetails) {
    uiDebugLevel = 0;
    EXPECT_EQ(iPrintDebug(10, "dis/source/trvdis", 1, "a"), 1);
    EXPECT_FALSE(fs::exists(dbglog()));

    uiDebugLevel = 1;
    EXPECT_EQ(iPrintDebug(10, "dis/source/trvdis", 2, "hidden"), 1);
    EXPECT_FALSE(fs::exists(dbglog()));
    {
        trvtest::StderrCapture cap;
        EXPECT_EQ(iPrintDebug(10, "dis/source/trvdis", 1, "shown %d\n", 1), 1);
        EXPECT_EQ(cap.text(), "\ntrvdis:shown 1\n");
    }
    EXPECT_TRUE(matches(read(dbglog()), "\n" + kStamp + " \\(trvdis\\) :\nshown 1\n")) << read(dbglog());

    uiDebugLevel = 2;
    fs::remove(dbglog());
    EXPECT_EQ(iPrintDebug(42, "dis/source/trvdis", 2, "where"), 1);
    EXPECT_EQ(iPrintDebug(43, "dis/source/trvdis", 1, "what"), 1);
    EXPECT_TRUE(matches(read(dbglog()), "\n" + kStamp + "\\(Line 42 in dis/source/trvdis of trvdis\\) :\nwhere\n" +
                                            kStamp + " \\(trvdis\\) :\nwhat"))
        << read(dbglog());

    uiDebugLevel = 3;
    fs::remove(dbglog());
    EXPECT_EQ(iPrintDebug(1, "x", 1, "never"), 1);
    EXPECT_FALSE(fs::exists(dbglog()));
}

TEST_F(TrvLog, MissingTempDirectoryFailsAndIsNotCreated) {
    fs::remove_all(temp());
    uiDebugLevel = 2;
    {
        trvtest::StderrCapture cap;
        EXPECT_EQ(iPrintError(1, "x"), -1);
        EXPECT_EQ(cap.text(), "Error : Unable to open error log file: \"" + errlog() + "\".\n");
    }
    {
        trvtest::StderrCapture cap;
        EXPECT_EQ(iPrintDebug(1, "x", 1, "x"), -1);
        EXPECT_EQ(cap.text(), "Error : Unable to open Debug file " + dbglog() + "\n");
    }
    EXPECT_FALSE(fs::exists(temp()));
}

TEST_F(TrvLog, SymbolicLinksAreNotFollowed) {
    std::string target = root_->path + "/precious";
    zqtest::write_file(target, "keep");
    fs::create_symlink(target, errlog());
    fs::create_symlink(target, dbglog());
    uiDebugLevel = 2;
    trvtest::StderrCapture cap;
    EXPECT_EQ(iPrintError(1, "x"), -1);
    EXPECT_EQ(iPrintDebug(1, "x", 1, "x"), -1);
    EXPECT_EQ(read(target), "keep");
    std::string err = cap.text();
    EXPECT_NE(err.find("Unable to open error log file"), std::string::npos);
    EXPECT_NE(err.find("Unable to open Debug file"), std::string::npos);
}

TEST_F(TrvLog, NonRegularLogIsRefused) {
    ASSERT_EQ(mkfifo(errlog().c_str(), 0600), 0);
    trvtest::StderrCapture cap;
    EXPECT_EQ(iPrintError(1, "x"), -1);  // and does not hang on the FIFO
}

// Fills a file with n bytes.
void fill(const std::string& path, size_t n) { zqtest::write_file(path, std::string(n, '#')); }

TEST_F(TrvLog, ErrorLogRotatesOnceTheEntryReachesOneMebibyte) {
    trvtest::StderrCapture cap;
    iPrintError(2201, "entry\n");
    const size_t entry = fs::file_size(errlog());  // every such entry has this length

    // Ends at 1,048,575 bytes: kept.
    fill(errlog(), 1048575 - entry);
    zqtest::write_file(errold(), "older generation");
    iPrintError(2201, "entry\n");
    ASSERT_TRUE(fs::exists(errlog()));
    EXPECT_EQ(fs::file_size(errlog()), 1048575u);
    EXPECT_EQ(read(errold()), "older generation");

    // The next entry is written first, then the log replaces the old generation.
    iPrintError(2201, "entry\n");
    EXPECT_FALSE(fs::exists(errlog()));
    ASSERT_TRUE(fs::exists(errold()));
    EXPECT_EQ(fs::file_size(errold()), 1048575u + entry);
    std::string old = read(errold());
    EXPECT_EQ(old.substr(old.size() - 21), "trvdis (2201): entry\n");

    // And the one after starts a new log.
    iPrintError(2201, "entry\n");
    EXPECT_EQ(fs::file_size(errlog()), entry);
}

TEST_F(TrvLog, ErrorLogAtExactlyTheLimitRotates) {
    trvtest::StderrCapture cap;
    iPrintError(2201, "entry\n");
    const size_t entry = fs::file_size(errlog());
    fill(errlog(), 1048576 - entry);
    iPrintError(2201, "entry\n");
    EXPECT_FALSE(fs::exists(errlog()));
    EXPECT_EQ(fs::file_size(errold()), 1048576u);
}

TEST_F(TrvLog, DebugLogRotatesLikeTheErrorLog) {
    uiDebugLevel = 1;
    trvtest::StderrCapture cap;
    iPrintDebug(1, "x", 1, "entry\n");
    const size_t entry = fs::file_size(dbglog());
    fill(dbglog(), 1048575 - entry);
    iPrintDebug(1, "x", 1, "entry\n");
    EXPECT_EQ(fs::file_size(dbglog()), 1048575u);
    zqtest::write_file(dbgold(), "older");
    iPrintDebug(1, "x", 1, "entry\n");
    EXPECT_FALSE(fs::exists(dbglog()));
    EXPECT_EQ(fs::file_size(dbgold()), 1048575u + entry);
    iPrintDebug(1, "x", 1, "entry\n");
    EXPECT_EQ(fs::file_size(dbglog()), entry);
}

TEST_F(TrvLog, OldGenerationSymlinkIsReplacedNotFollowed) {
    std::string target = root_->path + "/precious";
    zqtest::write_file(target, "keep");
    fs::create_symlink(target, errold());
    trvtest::StderrCapture cap;
    fill(errlog(), 1048576);
    iPrintError(1, "x");
    EXPECT_EQ(read(target), "keep");
    EXPECT_FALSE(fs::is_symlink(errold()));
    EXPECT_GT(fs::file_size(errold()), 1048576u);
}

uint16_t level(std::vector<std::string> args) {
    args.insert(args.begin(), "trvdis");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return iGetDebugLevel(static_cast<int>(args.size()), argv.data());
}

TEST(TrvOptions, HelpAskedAnywhereAmongTheOptions) {
    struct {
        std::vector<std::string> args;
        int asked;
    } cases[] = {
        {{}, 0},
        {{"--help"}, 1},
        {{"-h"}, 1},
        {{"-dl", "2", "-h"}, 1},
        {{"-help"}, 0},
        {{"--HELP"}, 0},
        {{"-hx", "h"}, 0},
    };
    for (auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--help");  // the program's name never counts
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(iHelpAsked(static_cast<int>(args.size()), argv.data()), c.asked) << args.size();
    }
    EXPECT_EQ(iHelpAsked(3, nullptr), 0);
}

TEST_F(TrvLog, DebugLevelOption) {
    EXPECT_EQ(level({}), 0);
    EXPECT_EQ(level({"-dl", "2"}), 2);
    EXPECT_EQ(level({"-dl", "1"}), 1);
    EXPECT_EQ(level({"-x", "-dl", "2x"}), 2);     // leading digits
    EXPECT_EQ(level({"-dl", "3"}), 0);            // above 2
    EXPECT_EQ(level({"-dl", ""}), 0);             // empty
    EXPECT_EQ(level({"-dl", "65538"}), 0);        // no 16-bit wrap-around to 2
    EXPECT_EQ(level({"-dl", "99999999999999999999"}), 0);
    EXPECT_EQ(level({"-dl", "-1"}), 0);
    EXPECT_EQ(level({"-dl", "2", "-dl", "word"}), 2);  // not a number: unchanged
    EXPECT_EQ(level({"-dl", "2", "-dl", "1"}), 1);      // the last one decides
    EXPECT_EQ(level({"-dl", "-dl", "1"}), 1);           // the value is examined too
    EXPECT_EQ(level({"-DL", "2"}), 0);
    EXPECT_EQ(read(errlog()), "");
}

TEST_F(TrvLog, DebugLevelOptionWithoutValueWritesMessage64) {
    trvtest::StderrCapture cap;
    EXPECT_EQ(level({"-dl", "2", "-dl"}), 0);
    EXPECT_EQ(cap.text(), "\ntrvdis (64): Insufficient number of arguments, Assuming debug level 0.\n");
    EXPECT_TRUE(matches(read(errlog()),
                        "\n" + kStamp + " :\ntrvdis \\(64\\): Insufficient number of arguments, Assuming debug level 0\\.\n"));
}

}  // namespace
