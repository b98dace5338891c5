// trvtrapd.conf and trvval2str.trap: grammar, limits and line numbers; the sort
// order and lookup of trap definitions; the value-to-string lookup.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "allochook.h"
#include "testsupport.h"
#include "trvlib.h"
#include "trvtrapinit.h"

namespace {

using zqtest::file_of;

std::string block(const std::string &ent, const std::string &number, const std::string &flag = "N",
                  const std::string &format = "text") {
    return "START_TRAP\n{" + ent + "} " + number + " " + flag + "\n" + format + "\nEND_TRAP\n";
}

std::vector<uint32_t> split(const std::string &text) {
    std::vector<uint32_t> v;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t dot = text.find('.', pos);
        if (dot == std::string::npos) dot = text.size();
        v.push_back(static_cast<uint32_t>(std::stoul(text.substr(pos, dot - pos))));
        pos = dot + 1;
    }
    return v;
}

// A received trap as the event session delivers it: its enterprise, and the
// trap identifier enterprise.0.number.
struct Trap {
    std::vector<uint32_t> enterprise, trap_id;
    ZqPdu pdu{};
    Trap(const std::string &ent, uint32_t number) : enterprise(split(ent)) {
        trap_id = enterprise;
        trap_id.push_back(0);
        trap_id.push_back(number);
        pdu.command = ZQSNMP_TRAP;
        pdu.enterprise = enterprise.data();
        pdu.enterprise_length = enterprise.size();
        pdu.trap_id = trap_id.data();
        pdu.trap_id_length = trap_id.size();
        pdu.specific_type = static_cast<int32_t>(number);
    }
};

class TrapDefs : public ::testing::Test {
protected:
    // The parse record of the fixture's parses.
    static inline TrvParseResult result{};
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        vFreeTrapDefs();
        zqtest::g_fail_alloc = 0;
        result = TrvParseResult{};
        iTrapState = 0;
    }
    static int parse(const std::string &text) {
        reset();
        FILE *f = file_of(text);
        int r = iParseTrapDefs(f, &result);
        std::fclose(f);
        return r;
    }
    static const TrapDef *find(const std::string &ent, uint32_t number) {
        Trap t(ent, number);
        return pFindTrapDef(&t.pdu);
    }
};

TEST_F(TrapDefs, BlocksCommentsAndBothEndsOfFile) {
    const std::string text = "# first\n#\n" + block(".1.3.6.1.4.1.64001.6", "6001", "Y", "Fan @I1,1 failed: @M1.") +
                             "# second\n" + block(".1.2", "7", "N", "# a format statement, not a comment");
    for (const std::string &t : {text, text.substr(0, text.size() - 1)}) {
        ASSERT_EQ(parse(t), TRAPCONF_OK);
        ASSERT_EQ(iTrapDefCount, 2);
        EXPECT_STREQ(ppTrapDefs[0]->szEnterprise, ".1.3.6.1.4.1.64001.6");
        EXPECT_EQ(ppTrapDefs[0]->iTrapNumber, 6001);
        EXPECT_EQ(ppTrapDefs[0]->cStatusUpdate, 'Y');
        EXPECT_STREQ(ppTrapDefs[0]->szFormat, "Fan @I1,1 failed: @M1.");
        EXPECT_STREQ(ppTrapDefs[1]->szFormat, "# a format statement, not a comment");
        EXPECT_EQ(ppTrapDefs[1]->cStatusUpdate, 'N');
    }
    // Empty file, comments only, Windows line ends, blanks around the number,
    // text after the flag, an empty format statement.
    EXPECT_EQ(parse(""), TRAPCONF_OK);
    EXPECT_EQ(iTrapDefCount, 0);
    EXPECT_EQ(parse("# nothing yet\r\n"), TRAPCONF_OK);
    EXPECT_EQ(iTrapDefCount, 0);
    ASSERT_EQ(parse("START_TRAP\r\n{.1.2}   99  Yes, please\r\nformat\r\nEND_TRAP\r"), TRAPCONF_OK);
    ASSERT_EQ(iTrapDefCount, 1);
    EXPECT_EQ(ppTrapDefs[0]->iTrapNumber, 99);
    EXPECT_EQ(ppTrapDefs[0]->cStatusUpdate, 'Y');
    EXPECT_STREQ(ppTrapDefs[0]->szFormat, "format");
    ASSERT_EQ(parse("START_TRAP\n{.1.2}5 N\n\nEND_TRAP\n"), TRAPCONF_OK);
    EXPECT_STREQ(ppTrapDefs[0]->szFormat, "");
}

TEST_F(TrapDefs, SyntaxErrorsAtTheLineJustRead) {
    const std::string ok = block(".1.2", "5");
    struct Case {
        std::string text;
        int line;
    } cases[] = {
        {ok + "\n" + block(".1.2", "6"), 5},                       // blank line between blocks
        {ok + "   \n", 5},
        {"START_TRAP\n# comment\ntext\nEND_TRAP\n", 2},           // comment in place of the header
        {block(".1.2", "5", "y"), 2},
        {block(".1.2", "-5"), 2},
        {block(".1.a", "5"), 2},
        {block("", "5"), 2},                                      // empty enterprise
        {"START_TRAP\n{.1.2 5 N\ntext\nEND_TRAP\n", 2},           // no closing brace
        {"START_TRAP\n.1.2} 5 N\ntext\nEND_TRAP\n", 2},
        {"START_TRAP\n{.1.2} 5\ntext\nEND_TRAP\n", 2},
        {"START_TRAP\n{.1.2} 5X N\ntext\nEND_TRAP\n", 2},
        {"START_TRAP\n{.1.2} N\ntext\nEND_TRAP\n", 2},
        {"START_TRAP \n{.1.2} 5 N\ntext\nEND_TRAP\n", 1},
        {"start_trap\n", 1},
        {"START_TRAP\n{.1.2} 5 N\ntext\nEND_TRAP x\n", 4},
        {"START_TRAP\n{.1.2} 5 N\ntext\n" + ok, 4},               // END_TRAP missing
        {ok + "START_TRAP\n{.1.2} 5 N\n", 7},                     // the file ends inside a block
        {ok + "START_TRAP\n{.1.2} 5 N\ntext", 8},
        {block("." + std::string(26, '1'), "5") + block("." + std::string(26, '1') + ".", "5"), 6},
        {block(".1", std::string(27, '9')) + block(".1", std::string(28, '9')), 6},
        {block(".1", "5", "N", std::string(511, 'f')) + block(".1", "5", "N", std::string(512, 'f')), 7},
        {block(".1", "5", "N", std::string("a\0b", 3)), 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        EXPECT_EQ(parse(c.text), TRAPCONF_SYNTAX);
        EXPECT_EQ(result.iLineNo, c.line);
        EXPECT_EQ(result.iStatus, TRAPCONF_SYNTAX);
    }
}

TEST_F(TrapDefs, TrapNumbersSaturateAtTheSigned32BitLimit) {
    ASSERT_EQ(parse(block(".1", "2147483647") + block(".1", "2147483648") + block(".1", "000000000000000000000000012")),
              TRAPCONF_OK);
    EXPECT_EQ(ppTrapDefs[0]->iTrapNumber, INT32_MAX);
    EXPECT_EQ(ppTrapDefs[1]->iTrapNumber, INT32_MAX);
    EXPECT_EQ(ppTrapDefs[2]->iTrapNumber, 12);
}

TEST_F(TrapDefs, SortByNumberThenEnterpriseText) {
    ASSERT_EQ(parse(block(".1.3.9", "20") + block(".1.3.10", "20") + block(".1.3.2", "5") + block(".1.3", "20") +
                    block(".1.4", "1")),
                    TRAPCONF_OK);
    vSortTrapDefs();
    std::vector<std::string> order;
    for (int i = 0; i < iTrapDefCount; ++i)
        order.push_back(std::to_string(ppTrapDefs[i]->iTrapNumber) + ppTrapDefs[i]->szEnterprise);
    // Equal numbers by the enterprise text in byte order: ".1.3" < ".1.3.10" < ".1.3.9".
    EXPECT_EQ(order, (std::vector<std::string>{"1.1.4", "5.1.3.2", "20.1.3", "20.1.3.10", "20.1.3.9"}));

    // Many definitions, many duplicates: the same order as a reference sort.
    std::mt19937 rng(7);
    std::string text;
    std::vector<std::pair<int, std::string>> want;
    for (int i = 0; i < 600; ++i) {
        int number = static_cast<int>(rng() % 40);
        std::string ent = ".1." + std::to_string(rng() % 12);
        text += block(ent, std::to_string(number));
        want.emplace_back(number, ent);
    }
    ASSERT_EQ(parse(text), TRAPCONF_OK);
    vSortTrapDefs();
    std::sort(want.begin(), want.end());
    ASSERT_EQ(iTrapDefCount, 600);
    for (int i = 0; i < iTrapDefCount; ++i) {
        EXPECT_EQ(ppTrapDefs[i]->iTrapNumber, want[i].first);
        EXPECT_EQ(ppTrapDefs[i]->szEnterprise, want[i].second);
    }
}

TEST_F(TrapDefs, LookupByNumberAndEnterprise) {
    // A table of one definition finds any trap with its number.
    ASSERT_EQ(parse(block(".1.3.6.1.4.1.64001.6", "6001")), TRAPCONF_OK);
    vSortTrapDefs();
    EXPECT_EQ(find("1.3.6.1.4.1.64001.6", 6001), ppTrapDefs[0]);
    EXPECT_EQ(find("1.3.6.1.4.1.64001.3", 6001), ppTrapDefs[0]);
    EXPECT_EQ(find("1.3.6.1.4.1.64001.6", 6002), nullptr);
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_DEF);

    // Same number under two enterprises: each trap finds its own.
    ASSERT_EQ(parse(block(".1.3.9", "20", "N", "nine") + block(".1.3.5", "20", "N", "five") +
                    block(".1.1", "5", "N", "five-one") + block(".1.7", "30", "N", "thirty")),
              TRAPCONF_OK);
    vSortTrapDefs();
    EXPECT_STREQ(find("1.3.9", 20)->szFormat, "nine");
    EXPECT_STREQ(find("1.3.5", 20)->szFormat, "five");
    EXPECT_STREQ(find("1.1", 5)->szFormat, "five-one");
    EXPECT_EQ(find("1.1", 21), nullptr);
    EXPECT_EQ(find("1.1", 4), nullptr);
    EXPECT_EQ(find("1.1", 31), nullptr);

    // A number defined only under another enterprise: found when the received
    // enterprise sorts after the stored one, not when before ...
    EXPECT_STREQ(find("1.9", 30)->szFormat, "thirty");
    EXPECT_EQ(find("1.5", 30), nullptr);
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_DEF);
    EXPECT_STREQ(find("1.4", 20)->szFormat, "nine");  // "1.4" sorts after "1.3.9"
    // ... unless the definition is the first of the table.
    EXPECT_STREQ(find("1.0", 5)->szFormat, "five-one");

    // Enterprises written without the leading dot are compared whole.
    ASSERT_EQ(parse(block("1.3.5", "40", "N", "a") + block("1.3.7", "40", "N", "b")), TRAPCONF_OK);
    vSortTrapDefs();
    EXPECT_STREQ(find("1.3.7", 40)->szFormat, "b");
    EXPECT_STREQ(find("1.3.5", 40)->szFormat, "a");
}

TEST_F(TrapDefs, LookupRefusesWhatItCannotConvertAndAnEmptyTable) {
    EXPECT_EQ(find("1.3.6", 1), nullptr);  // no table at all
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_DEF);

    ASSERT_EQ(parse(block(".1", "1")), TRAPCONF_OK);
    std::string huge = "1";
    for (int i = 0; i < 256; ++i) huge += ".4294967295";  // 257 sub-identifiers
    EXPECT_EQ(find(huge, 1), nullptr);
    EXPECT_EQ(iTrapState, TRAP_STATE_OID_TEXT);
    std::string most = "4294967295";
    for (int i = 1; i < 256; ++i) most += ".4294967295";  // 256 fit the buffer
    EXPECT_EQ(find(most, 1), ppTrapDefs[0]);

    Trap t("1.3", 1);
    t.pdu.trap_id_length = 0;
    EXPECT_EQ(pFindTrapDef(&t.pdu), nullptr);
    EXPECT_EQ(pFindTrapDef(nullptr), nullptr);
}

TEST_F(TrapDefs, AllocationFailureKeepsOnlyCompleteDefinitions) {
    const std::string text = block(".1.2", "1") + block(".1.3", "2") + block(".1.4", "3");
    // Each definition takes four allocations: the slot, the record and two texts.
    for (int n = 1; n <= 12; ++n) {
        SCOPED_TRACE(n);
        reset();
        zqtest::g_fail_alloc = n;
        FILE *f = file_of(text);
        EXPECT_EQ(iParseTrapDefs(f, &result), TRAPCONF_NOMEM);
        std::fclose(f);
        ASSERT_EQ(iTrapDefCount, (n - 1) / 4);
        for (int i = 0; i < iTrapDefCount; ++i) ASSERT_NE(ppTrapDefs[i]->szFormat, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Value-to-string maps
// ---------------------------------------------------------------------------

class ValMap : public ::testing::Test {
protected:
    // The parse record of the fixture's parses.
    static inline TrvParseResult result{};
    zqtest::TempDir dir;
    void SetUp() override {
        // The lookup writes its error-log entries below the instance.
        mkdir((dir.path + "/temp").c_str(), 0755);
        setenv("ZQ_ROOT", dir.path.c_str(), 1);
        std::snprintf(szValToStrPath, sizeof szValToStrPath, "%s", "/zq/conf/c/trv/trvval2str.trap");
        reset();
    }
    void TearDown() override { reset(); }
    static void reset() {
        vFreeValMap();
        zqtest::g_fail_alloc = 0;
        result = TrvParseResult{};
        iTrapState = 0;
    }
    static int parse(const std::string &text) {
        reset();
        FILE *f = file_of(text);
        int r = iParseValMap(f, &result);
        std::fclose(f);
        return r;
    }
    static std::string lookup(const std::string &oid, int value, size_t size = 2048) {
        std::vector<char> buf(size + 1, 'X');
        int n = iValToStr(oid.c_str(), value, buf.data(), size);
        EXPECT_EQ(n, static_cast<int>(std::strlen(buf.data())));
        EXPECT_EQ(buf[size], 'X');  // nothing written past the buffer
        return buf.data();
    }
    std::string error_log() const { return zqtest::read_file(dir.path + "/temp/vtmzqerr.log"); }
};

TEST_F(ValMap, BlocksPairsAndWhatMayStandBetweenThem) {
    ASSERT_EQ(parse("# fans\n\n   \nBEGIN_OID 1.3.6.1.4.1.64001.6.2.6.7.1.9 trailing words\n"
                    "1 \"other\"\n  2   \"ok\" ignored\n3 \"degraded\n"
                    "END_OID\r\n\n# nothing mapped here\n  BEGIN_OID   1.2.3\n  END_OID  \n"
                    "BEGIN_OID .1.5\n7 \"seven\"\nEND_OID"),
              TRAPCONF_OK);
    ASSERT_EQ(iValMapCount, 3);
    EXPECT_STREQ(ppValMap[0]->szOid, "1.3.6.1.4.1.64001.6.2.6.7.1.9");
    std::vector<std::pair<int, std::string>> pairs;
    for (const ValMapPair *p = ppValMap[0]->pPairs; p != nullptr; p = p->pNext) pairs.emplace_back(p->iValue, p->szText);
    EXPECT_EQ(pairs, (std::vector<std::pair<int, std::string>>{{1, "other"}, {2, "ok"}, {3, "degraded"}}));
    EXPECT_EQ(ppValMap[1]->pPairs, nullptr);
    EXPECT_STREQ(ppValMap[2]->szOid, ".1.5");
}

TEST_F(ValMap, SyntaxErrorsAtTheirLineKeepWhatWasRead) {
    const std::string one = "BEGIN_OID 1.1\n1 \"a\"\nEND_OID\n";
    struct Case {
        std::string text;
        int line, blocks;
    } cases[] = {
        {one + "BEGIN_OID 1.2\n1 \"a\"\n\n2 \"b\"\nEND_OID\n", 6, 2},   // blank line inside a block
        {one + "BEGIN_OID 1.2\n   \nEND_OID\n", 5, 2},
        {one + "BEGIN_OID 1.2\n# no comments here\nEND_OID\n", 5, 2},
        {one + "BEGIN_OID 1.2\n1 \"a\"\n", 6, 2},                        // the file ends inside a block
        {one + "BEGIN_OID 1.2\n1 \"a\"", 6, 2},
        {"BEGIN_OID\n", 1, 0},
        {"BEGIN_OID  \n", 1, 0},
        {"BEGIN_OIDS 1.2\nEND_OID\n", 1, 0},
        {"begin_oid 1.2\nEND_OID\n", 1, 0},
        {"BEGIN_OID 1.2a\nEND_OID\n", 1, 0},
        {"1 \"a\"\n", 1, 0},
        {"END_OID\n", 1, 0},
        {"BEGIN_OID 1.2\n-1 \"a\"\nEND_OID\n", 2, 1},
        {"BEGIN_OID 1.2\n1a \"a\"\nEND_OID\n", 2, 1},
        {"BEGIN_OID 1.2\n1 a\nEND_OID\n", 2, 1},
        {"BEGIN_OID 1.2\n\"a\"\nEND_OID\n", 2, 1},
        {"BEGIN_OID 1.2\n1 \"END_OID\"\n", 3, 1},                        // a value line never ends a block
        {"BEGIN_OID 1.2\nEND_OID now\n", 2, 1},
        {"BEGIN_OID 1." + std::string(50, '2') + "\nEND_OID\n", 1, 0},   // 52 characters
        {"BEGIN_OID 1.2\n" + std::string(28, '1') + " \"a\"\nEND_OID\n", 2, 1},
        {"BEGIN_OID 1.2\n1 \"" + std::string(252, 't') + "\"\nEND_OID\n", 2, 1},  // 256 characters
        {one + one + "BEGIN_OID 1.3\n1 \"a\"\n2 \"b\nx\nEND_OID\n", 10, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        EXPECT_EQ(parse(c.text), TRAPCONF_SYNTAX);
        EXPECT_EQ(result.iLineNo, c.line);
        EXPECT_EQ(iValMapCount, c.blocks);
    }
    // The partly read third block stays usable.
    ASSERT_EQ(parse(one + one + "BEGIN_OID 1.3\n1 \"a\"\n2 \"b\nx\nEND_OID\n"), TRAPCONF_SYNTAX);
    EXPECT_EQ(lookup("1.3.0", 2), "b");

    // The longest lines and fields that fit.
    EXPECT_EQ(parse("BEGIN_OID 1." + std::string(49, '2') + "\n" + std::string(27, '0') + "5 \"" +
                    std::string(224, 't') + "\"\nEND_OID\n"),
              TRAPCONF_SYNTAX);  // 28 digits
    EXPECT_EQ(parse("BEGIN_OID 1." + std::string(49, '2') + "\n" + std::string(26, '0') + "5 \"" +
                    std::string(224, 't') + "\"\nEND_OID\n"),
              TRAPCONF_OK);
    EXPECT_EQ(ppValMap[0]->pPairs->iValue, 5);
}

TEST_F(ValMap, ValuesSaturateAtTheSigned32BitLimit) {
    ASSERT_EQ(parse("BEGIN_OID 1.2\n2147483647 \"max\"\n99999999999999 \"more\"\nEND_OID\n"), TRAPCONF_OK);
    EXPECT_EQ(ppValMap[0]->pPairs->iValue, INT32_MAX);
    EXPECT_EQ(ppValMap[0]->pPairs->pNext->iValue, INT32_MAX);
    EXPECT_EQ(lookup("1.2.0", INT32_MAX), "max");  // the first pair with the value wins
}

TEST_F(ValMap, LookupMatchesWholeSubIdentifiersFirstBlockFirst) {
    ASSERT_EQ(parse("BEGIN_OID 1.2.3\n1 \"short\"\n1 \"duplicate\"\nEND_OID\n"
                    "BEGIN_OID 1.2.3.4\n1 \"longer\"\n2 \"two\"\nEND_OID\n"
                    "BEGIN_OID 1.2.30\n1 \"thirty\"\nEND_OID\n"
                    "BEGIN_OID .1.7\n1 \"dotted\"\nEND_OID\n"),
              TRAPCONF_OK);
    EXPECT_EQ(lookup("1.2.3", 1), "short");
    EXPECT_EQ(lookup("1.2.3.0.1", 1), "short");
    EXPECT_EQ(lookup("1.2.3.4.1", 1), "short");  // the earlier block decides, also when shorter
    EXPECT_EQ(lookup("1.2.30.1", 1), "thirty");  // not a prefix at a dot of 1.2.3
    EXPECT_EQ(lookup("1.2.3.4.1", 1, 3), "sh");  // cut to the caller's buffer
    EXPECT_EQ(iTrapState, 0);

    EXPECT_EQ(lookup("1.2.3.4.1", 2), "");  // 1.2.3 decides and has no 2
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_VALUE);
    EXPECT_NE(error_log().find("(1107): Value-to-string mappings for a required ObjectId in "
                               "\"/zq/conf/c/trv/trvval2str.trap\" is missing."),
              std::string::npos)
        << error_log();

    iTrapState = 0;
    EXPECT_EQ(lookup("1.2", 1), "");
    EXPECT_EQ(lookup("1.2.31", 1), "");
    EXPECT_EQ(lookup("1.7.0", 1), "");  // written with a leading dot: never matches
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_OBJECT);
    EXPECT_NE(error_log().find("(1106): ObjectID of a required MIB object in \"/zq/conf/c/trv/trvval2str.trap\" "
                               "is missing."),
              std::string::npos);
}

TEST_F(ValMap, ABlockWithoutValuesAnswersNoObject) {
    ASSERT_EQ(parse("BEGIN_OID 1.2\nEND_OID\nBEGIN_OID 1.2.3\n1 \"one\"\nEND_OID\n"), TRAPCONF_OK);
    EXPECT_EQ(lookup("1.2.3.0", 1), "");
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_OBJECT);
}

TEST_F(ValMap, AllocationFailureCountsOnlyCompleteBlocks) {
    const std::string text = "BEGIN_OID 1.2\n1 \"a\"\nEND_OID\nBEGIN_OID 1.3\n1 \"b\"\nEND_OID\n";
    // A block takes three allocations (slot, record, OID text), a pair two.
    const int blocks_after[] = {0, 0, 0, 1, 1, 1, 1, 1, 2, 2};
    for (int n = 1; n <= 10; ++n) {
        SCOPED_TRACE(n);
        reset();
        zqtest::g_fail_alloc = n;
        FILE *f = file_of(text);
        EXPECT_EQ(iParseValMap(f, &result), TRAPCONF_NOMEM);
        std::fclose(f);
        EXPECT_EQ(result.iStatus, TRAPCONF_NOMEM);
        ASSERT_EQ(iValMapCount, blocks_after[n - 1]);
        for (int i = 0; i < iValMapCount; ++i) {
            ASSERT_NE(ppValMap[i]->szOid, nullptr);
            for (const ValMapPair *p = ppValMap[i]->pPairs; p != nullptr; p = p->pNext) ASSERT_NE(p->szText, nullptr);
        }
        if (iValMapCount > 0) lookup("1.2.0", 1);  // whatever is in the table can be looked up
    }
}

// ---------------------------------------------------------------------------
// The shipped files
// ---------------------------------------------------------------------------

TEST_F(TrapDefs, ShippedDefinitionsCoverTheVendorTrapsAndEveryCommand) {
    if (std::string(ZQ_ENT_TEXT) != "1.3.6.1.4.1.64001")
        GTEST_SKIP() << "the shipped files spell out the default ENT";
    ASSERT_EQ(parse(zqtest::read_file(zqtest::source("conf/trv/trvtrapd.conf"))), TRAPCONF_OK) << result.szDetail;
    EXPECT_GE(iTrapDefCount, 20);
    const std::string ent = std::string(".") + ZQ_ENT_TEXT + ".";
    std::set<int> numbers;
    std::string all_formats;
    for (int i = 0; i < iTrapDefCount; ++i) {
        const TrapDef *d = ppTrapDefs[i];
        EXPECT_EQ(std::string(d->szEnterprise).rfind(ent, 0), 0u) << d->szEnterprise;
        // The lookup matches by number first: numbers are unique, and the
        // internal events' numbers are not reused.
        EXPECT_TRUE(numbers.insert(d->iTrapNumber).second) << d->iTrapNumber;
        EXPECT_FALSE(d->iTrapNumber >= 3001 && d->iTrapNumber <= 3005) << d->iTrapNumber;
        all_formats += d->szFormat;
        all_formats += "\n";
    }
    for (const char *command : {"@A", "@C", "@T", "@@", "@1", "@I1,1", "@I2,1", "@M1", "@M2"})
        EXPECT_NE(all_formats.find(command), std::string::npos) << command;
    // Every definition is found by its own trap.
    vSortTrapDefs();
    for (int i = 0; i < iTrapDefCount; ++i) {
        const TrapDef *d = ppTrapDefs[i];
        EXPECT_EQ(find(d->szEnterprise + 1, static_cast<uint32_t>(d->iTrapNumber)), d);
    }
}

TEST_F(ValMap, ShippedTextsNameVendorObjects) {
    if (std::string(ZQ_ENT_TEXT) != "1.3.6.1.4.1.64001")
        GTEST_SKIP() << "the shipped files spell out the default ENT";
    ASSERT_EQ(parse(zqtest::read_file(zqtest::source("conf/trv/trvval2str.trap"))), TRAPCONF_OK);
    EXPECT_GE(iValMapCount, 10);
    const std::string ent = std::string(ZQ_ENT_TEXT) + ".";
    for (int i = 0; i < iValMapCount; ++i) {
        EXPECT_EQ(std::string(ppValMap[i]->szOid).rfind(ent, 0), 0u) << ppValMap[i]->szOid;
        EXPECT_NE(ppValMap[i]->pPairs, nullptr) << ppValMap[i]->szOid;
    }
    // The fan condition of fan 3 in chassis 1, as a trap carries it.
    EXPECT_EQ(lookup(ent + "6.2.6.7.1.9.1.3", 4), "failed");
    EXPECT_EQ(iTrapState, 0);
}

TEST(TrapParseErrorTexts, OneTableForBothFiles) {
    struct Case {
        int code;
        const char *text;
    } cases[] = {
        {0, "\nERROR: Syntax Error At Line No 12\n"},
        {1, ""},
        {-2, "\nERROR: File 'TRVTRAPD.CONF' doesnt exist\n"},
        {-1, "\nERROR: System Error\n"},
        {5, "\nERROR: Unknown Error\n"},
    };
    for (const Case &c : cases) {
        TrvParseResult r{};
        r.iStatus = c.code;
        r.iLineNo = 12;
        testing::internal::CaptureStdout();
        vPrintTrapParseError(&r);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text);
    }
}

}  // namespace
