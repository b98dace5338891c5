// trvconfig.dat: the grammar, its limits, line numbers, the stored rules, and
// agreement of the shipped file with the demo network.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "allochook.h"
#include "TrvConf.h"
#include "testsupport.h"

namespace {

using zqtest::file_of;

std::vector<uint32_t> oid_of(const RuleCondition *c) { return {c->pOid, c->pOid + c->iOidLength}; }

class TrvConf : public ::testing::Test {
protected:
    // The parse record of the fixture's parses.
    static inline TrvParseResult result{};
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        vFreeTrvConfig();
        zqtest::g_fail_alloc = 0;
        result = TrvParseResult{};
    }
    // Parses text from a fresh start; the line counter is that of the parse.
    static int parse(const std::string &text) {
        reset();
        FILE *f = file_of(text);
        int r = iParseTrvConfig(f, &result);
        std::fclose(f);
        return r;
    }
    static std::vector<const ClassRule *> rules() {
        std::vector<const ClassRule *> v;
        for (const ClassRule *r = pClassRules; r != nullptr; r = r->pNext) v.push_back(r);
        return v;
    }
};

TEST_F(TrvConf, EmptyAndCommentOnlyFilesGiveTheDefaults) {
    for (const char *text : {"", "\n", "# only a comment\n", "# c\n\n[Discovery]\n   indented text is ignored\n\r\n"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse(text), TRVCONF_OK);
        EXPECT_EQ(pClassRules, nullptr);
        EXPECT_EQ(iDiscoveryInterval, 30);
        EXPECT_EQ(uiReDisIteration, 10u);
    }
}

TEST_F(TrvConf, DiscoverySettings) {
    struct Case {
        const char *text;
        int32_t interval;
        uint32_t iteration;
    } cases[] = {
        {"DiscoveryInterval: 45\nRe-DiscoveryIntervalIteration: 3\n", 45, 3},
        {"DiscoveryInterval:0\nRe-DiscoveryIntervalIteration:0\n", 30, 10},
        {"DiscoveryInterval:\n", 30, 10},
        {"DiscoveryInterval:     \n", 30, 10},
        {"DiscoveryInterval: 12 minutes, not more\n", 12, 10},
        {"DiscoveryInterval: 12\nDiscoveryInterval: 7\n", 7, 10},
        // Beyond the 32-bit range the value saturates (and trvdis's range check
        // then replaces it).
        {"DiscoveryInterval: 99999999999999999999\nRe-DiscoveryIntervalIteration: 4294967296\n", INT32_MAX,
         static_cast<uint32_t>(INT32_MAX)},
        {"Re-DiscoveryIntervalIteration: 101\r\n", 30, 101},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(parse(c.text), TRVCONF_OK);
        EXPECT_EQ(iDiscoveryInterval, c.interval);
        EXPECT_EQ(uiReDisIteration, c.iteration);
    }
}

TEST_F(TrvConf, SyntaxErrorsNameTheirLineCountingCommentsAndBlankLines) {
    struct Case {
        const char *text;
        int line;
    } cases[] = {
        {"# a\n\nDiscoveryInterval: 5\n[x]\nPollInterval: 1\n", 5},
        {"DiscoveryInterval: -5\n", 1},
        {"DiscoveryInterval: 1x\n", 1},
        {"DiscoveryInterval 5\n", 1},       // no colon
        {"DiscoveryInterval:\t5\n", 1},     // only blanks may stand before the number
        {"Re-DiscoveryIntervalIteration: +3\n", 1},
        {"\tDiscoveryInterval: 5\n", 1},    // a tab is not a blank
        {"#\n#\nserver:nt:1.2.3 INTEGER \"1\"\n", 3},
        {"Serverx:nt:1.2.3 INTEGER \"1\"\n", 1},
        {"Server:nt:1.2.a INTEGER \"1\"\n", 1},
        {"Server:nt:1.2.3\n", 1},           // the line ends inside the OID
        {"Server:nt:1.2.3 INTEGER\n", 1},
        {"Server:nt:1.2.3 INTEGER 5\n", 1},
        {"Server:nt:1.2.3 STRING \"open\n", 1},
        {"Server:nt:1.2.3:INTEGER \"1\"\n", 1},
        {"Server:nt:1.2.3 INTEGER \"two\"\n", 1},
        {"Server:nt:1.2.3 INTEGER \"\"\n", 1},
        {"Server:nt:1.2.3 OID \".1.x\"\n", 1},
        {"Server:nt:1.2.3 OID \".\"\n", 1},
        {"Server:\n", 1},
        {"Desktop\n", 1},
    };
    // A record of its own, filled before the table: the table's parses go to the
    // fixture's record and leave this one as it was.
    TrvParseResult other{};
    FILE *f = file_of("# 1\n# 2\n# 3\nPollInterval: 1\n");
    ASSERT_EQ(iParseTrvConfig(f, &other), TRVCONF_SYNTAX);
    std::fclose(f);
    const std::string other_detail = other.szDetail;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse(c.text), TRVCONF_SYNTAX);
        EXPECT_EQ(result.iLineNo, c.line);
        EXPECT_EQ(result.iStatus, TRVCONF_SYNTAX);
        EXPECT_NE(std::string(result.szDetail).find("Line " + std::to_string(c.line) + ":"), std::string::npos)
            << result.szDetail;
    }
    EXPECT_EQ(other.iLineNo, 4);
    EXPECT_EQ(other.iStatus, TRVCONF_SYNTAX);
    EXPECT_EQ(other.szDetail, other_detail);
    EXPECT_EQ(other_detail.rfind("Line 4: ", 0), 0u) << other_detail;
}

TEST_F(TrvConf, RulesAreStoredWithTheirTypedValues) {
    ASSERT_EQ(parse("Server:ntsrvr:1.3.6.1.2.1.1.2.0 OID \".1.3.6.1.4.1.64001.1.1\"\n"
                    "Desktop : : ntwkstn :: 1.3.6.1.4.1.64001.11.2.4.0   string   \"Velmora  desk\ttop\" trailing\n"
                    "Server:netware;x:1.3.6.1.4.1.64001.11.2.2.1.0 Integer \"-7\"\n"
                    "Server:big:1.2.4294967295 INTEGER \"99999999999\"\n"),
              TRVCONF_OK);
    auto r = rules();
    ASSERT_EQ(r.size(), 4u);

    EXPECT_STREQ(r[0]->szClass, "Server");
    EXPECT_STREQ(r[0]->szLabel, "ntsrvr");
    const RuleCondition *c = r[0]->pConditions;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->pNext, nullptr);
    EXPECT_EQ(oid_of(c), (std::vector<uint32_t>{1, 3, 6, 1, 2, 1, 1, 2, 0}));
    EXPECT_EQ(c->ucType, TRVCONF_TYPE_OID);
    ASSERT_EQ(c->iValueLength, 9);
    const ZqOid *v = static_cast<const ZqOid *>(c->pValue);
    EXPECT_EQ(std::vector<uint32_t>(v, v + 9), (std::vector<uint32_t>{1, 3, 6, 1, 4, 1, 64001, 1, 1}));

    // Blanks and colons mixed between the first fields; the type in any case;
    // the string kept exactly as written between the quotes.
    EXPECT_STREQ(r[1]->szClass, "Desktop");
    EXPECT_STREQ(r[1]->szLabel, "ntwkstn");
    c = r[1]->pConditions;
    EXPECT_EQ(c->ucType, TRVCONF_TYPE_STRING);
    EXPECT_EQ(c->iValueLength, 17);
    EXPECT_EQ(std::string(static_cast<const char *>(c->pValue), 17), "Velmora  desk\ttop");

    // The label ends at a semicolon like every first token.
    EXPECT_STREQ(r[2]->szLabel, "netware");
    c = r[2]->pConditions;
    EXPECT_EQ(c->ucType, TRVCONF_TYPE_INTEGER);
    EXPECT_EQ(c->iValueLength, 4);
    EXPECT_EQ(*static_cast<const int32_t *>(c->pValue), -7);

    // Sub-identifiers use the whole unsigned range; integers saturate.
    c = r[3]->pConditions;
    EXPECT_EQ(oid_of(c), (std::vector<uint32_t>{1, 2, 4294967295u}));
    EXPECT_EQ(*static_cast<const int32_t *>(c->pValue), INT32_MAX);
}

TEST_F(TrvConf, RulesKeepFileOrderAndDuplicates) {
    ASSERT_EQ(parse("Server:a:1.2.3 INTEGER \"1\"\n# between\nDesktop:b:1.2.3 INTEGER \"1\"\nServer:c:1.2.3 INTEGER \"2\"\n"),
              TRVCONF_OK);
    auto r = rules();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_STREQ(r[0]->szLabel, "a");
    EXPECT_STREQ(r[1]->szLabel, "b");
    EXPECT_STREQ(r[2]->szLabel, "c");
    // A second parse appends: the list is never cleared by loading.
    FILE *f = file_of("Desktop:d:1.2 INTEGER \"3\"\n");
    EXPECT_EQ(iParseTrvConfig(f, &result), TRVCONF_OK);
    std::fclose(f);
    ASSERT_EQ(rules().size(), 4u);
    EXPECT_STREQ(rules()[3]->szLabel, "d");
}

TEST_F(TrvConf, ALongRuleListLoadsInLinearTime) {
    // Appending by walking the list took 2 s for 32,000 rules and did not end
    // for 300,000; in linear time 120,000 take a fraction of a second.
    const int kRules = 120000;
    std::string text;
    for (int i = 0; i < kRules; ++i) text += "Server:os" + std::to_string(i) + ":1.3.6.1.2.1.1.2.0 INTEGER \"1\"\n";
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(parse(text), TRVCONF_OK);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 10.0);
    std::vector<const ClassRule *> all = rules();
    ASSERT_EQ(all.size(), static_cast<size_t>(kRules));
    EXPECT_STREQ(all.front()->szLabel, "os0");
    EXPECT_STREQ(all.back()->szLabel, ("os" + std::to_string(kRules - 1)).c_str());
    // A second load after a release starts a new list.
    ASSERT_EQ(parse("Desktop:a:1.3 INTEGER \"1\"\nServer:b:1.3 INTEGER \"2\"\n"), TRVCONF_OK);
    ASSERT_EQ(rules().size(), 2u);
    EXPECT_STREQ(rules()[1]->szLabel, "b");
}

TEST_F(TrvConf, OidValuesAndUnknownTypeWords) {
    ASSERT_EQ(parse("Server:a:1.2 OID \"1.3.6\"\n"            // no leading dot: the same OID
                    "Server:b:1.2 OID \".1.3.6\"\n"
                    "Server:c:1.2 OID \".1..6.\"\n"           // empty pieces are 0
                    "Server:d:1.2 COUNTER \"17\"\n"),       // accepted, never matches
              TRVCONF_OK);
    auto r = rules();
    ASSERT_EQ(r.size(), 4u);
    for (int i = 0; i < 2; ++i) {
        const RuleCondition *c = r[i]->pConditions;
        const ZqOid *v = static_cast<const ZqOid *>(c->pValue);
        EXPECT_EQ(std::vector<uint32_t>(v, v + c->iValueLength), (std::vector<uint32_t>{1, 3, 6}));
    }
    const RuleCondition *c = r[2]->pConditions;
    const ZqOid *v = static_cast<const ZqOid *>(c->pValue);
    EXPECT_EQ(std::vector<uint32_t>(v, v + c->iValueLength), (std::vector<uint32_t>{1, 0, 6, 0}));
    c = r[3]->pConditions;
    EXPECT_EQ(c->ucType, TRVCONF_TYPE_NONE);
    EXPECT_EQ(c->pValue, nullptr);
    EXPECT_EQ(c->iValueLength, 0);
}

TEST_F(TrvConf, FieldAndLineLimitsAreSyntaxErrorsNotOverruns) {
    const std::string label51(51, 'l'), value127(127, 'v');
    const std::string oid20 = "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17.18.19.20";
    ASSERT_EQ(parse("Server:" + label51 + ":" + oid20 + " STRING \"" + value127 + "\"\n"), TRVCONF_OK);
    EXPECT_EQ(rules()[0]->pConditions->iOidLength, 20);
    EXPECT_EQ(rules()[0]->pConditions->iValueLength, 127);

    const std::string too_long[] = {
        "Server:" + label51 + "x:1.2 INTEGER \"1\"\n",
        "Server:a:" + oid20 + ".21 INTEGER \"1\"\n",
        "Server:a:1.2 STRING \"" + value127 + "v\"\n",
        "Server:a:1.2 OID \"." + oid20 + ".21\"\n",
        "Server:a:1.4294967296 INTEGER \"1\"\n",
        "Server:a:1.2 " + std::string(52, 'T') + " \"1\"\n",
        "Server:a:1.2." + std::string(20, '1') + " INTEGER \"1\"\n",
    };
    for (const std::string &text : too_long) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse(text), TRVCONF_SYNTAX);
        EXPECT_EQ(pClassRules, nullptr);
    }

    // 511 characters are a line; one more is a syntax error at that line, and the
    // reader goes on counting after it.
    EXPECT_EQ(parse("#" + std::string(510, 'x') + "\n"), TRVCONF_OK);
    EXPECT_EQ(parse("#" + std::string(510, 'x') + "\r\n"), TRVCONF_OK);
    EXPECT_EQ(parse("# 1\n#" + std::string(511, 'x') + "\nDiscoveryInterval: 5\n"), TRVCONF_SYNTAX);
    EXPECT_EQ(result.iLineNo, 2);
    EXPECT_EQ(parse("#" + std::string(100000, 'x')), TRVCONF_SYNTAX);
    EXPECT_EQ(result.iLineNo, 1);
    // A NUL byte does not silently cut a line.
    EXPECT_EQ(parse(std::string("# fine\nDiscoveryInterval: 5\0 9\n", 30)), TRVCONF_SYNTAX);
    EXPECT_EQ(result.iLineNo, 2);
}

TEST_F(TrvConf, WindowsLineEndsAreDropped) {
    ASSERT_EQ(parse("# edited elsewhere\r\nDiscoveryInterval: 15\r\nServer:nt:1.2.3 STRING \"a\"\r\n"
                    "Desktop:x:1.2\r.3 INTEGER \"1\"\r\n"),
              TRVCONF_SYNTAX);
    // The carriage return inside a line stays part of it; the line numbers are
    // those of the file.
    EXPECT_EQ(result.iLineNo, 4);
    EXPECT_EQ(iDiscoveryInterval, 15);
    ASSERT_EQ(rules().size(), 1u);
    EXPECT_EQ(rules()[0]->pConditions->iValueLength, 1);

    EXPECT_EQ(parse("DiscoveryInterval: 20\r"), TRVCONF_OK);  // also at the end of the file
    EXPECT_EQ(iDiscoveryInterval, 20);
}

TEST_F(TrvConf, AllocationFailureEndsTheParseAndKeepsOnlyCompleteRules) {
    const std::string text = "Server:a:1.2 INTEGER \"1\"\nDesktop:b:1.3 STRING \"x\"\nServer:c:1.4 OID \".1.5\"\n";
    // Each rule takes five allocations: record, label, condition, OID, value.
    for (int n = 1; n <= 15; ++n) {
        SCOPED_TRACE(n);
        reset();
        zqtest::g_fail_alloc = n;
        FILE *f = file_of(text);
        EXPECT_EQ(iParseTrvConfig(f, &result), TRVCONF_NOMEM);
        std::fclose(f);
        EXPECT_EQ(result.iStatus, TRVCONF_NOMEM);
        auto r = rules();
        ASSERT_EQ(r.size(), static_cast<size_t>((n - 1) / 5));
        for (const ClassRule *rule : r) {
            ASSERT_NE(rule->szLabel, nullptr);
            ASSERT_NE(rule->pConditions, nullptr);
            ASSERT_NE(rule->pConditions->pValue, nullptr);
        }
    }
    reset();
    zqtest::g_fail_alloc = 16;
    FILE *f = file_of(text);
    EXPECT_EQ(iParseTrvConfig(f, &result), TRVCONF_OK);
    std::fclose(f);
}

TEST_F(TrvConf, ParseErrorTexts) {
    struct Case {
        int code;
        const char *text;
    } cases[] = {
        {1, ""},
        {-6, "\nERROR: System Error\n"},
        {-1, "\nERROR: File 'TRVTRAPD.CONF' doesnt exist\n"},
        {-3, "\nERROR: Unknown Error\n"},
    };
    for (const Case &c : cases) {
        TrvParseResult r{};
        r.iStatus = c.code;
        testing::internal::CaptureStdout();
        vPrintParseError(&r);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text);
    }
    TrvParseResult r{};
    r.iStatus = -2;
    r.iLineNo = 17;
    testing::internal::CaptureStdout();
    vPrintParseError(&r);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nERROR: Syntax Error At Line No 17\n");
}

// ---------------------------------------------------------------------------
// The shipped trvconfig.dat against the demo network: every vendor node of the
// network is classified, as intended, by the first matching rule.
// ---------------------------------------------------------------------------

struct MibValue {
    std::string type, value;
};

std::string expand(const std::string &oid) {
    if (oid.rfind("ENT.", 0) == 0) return std::string(ZQ_ENT_TEXT) + oid.substr(3);
    return oid;
}

std::string oid_text(const ZqOid *oid, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? "." : "") + std::to_string(oid[i]);
    return s;
}

// Whether a node's MIB answers a rule's condition as the classification probe
// compares: same type, same value.
bool matches(const RuleCondition *c, const std::map<std::string, MibValue> &mib) {
    auto it = mib.find(oid_text(c->pOid, c->iOidLength));
    if (it == mib.end()) return false;
    const MibValue &m = it->second;
    switch (c->ucType) {
    case TRVCONF_TYPE_INTEGER:
        return m.type == "INTEGER" && std::stoll(m.value) == *static_cast<const int32_t *>(c->pValue);
    case TRVCONF_TYPE_STRING:
        return m.type == "STRING" && m.value == std::string(static_cast<const char *>(c->pValue), c->iValueLength);
    case TRVCONF_TYPE_OID:
        return m.type == "OID" && expand(m.value) == oid_text(static_cast<const ZqOid *>(c->pValue), c->iValueLength);
    default:
        return false;
    }
}

TEST_F(TrvConf, ShippedFileClassifiesTheDemoNetwork) {
    if (std::string(ZQ_ENT_TEXT) != "1.3.6.1.4.1.64001")
        GTEST_SKIP() << "the shipped files spell out the default ENT";
    std::ifstream conf(zqtest::source("conf/trv/trvconfig.dat"), std::ios::binary);
    ASSERT_TRUE(conf.good());
    ASSERT_EQ(parse(std::string(std::istreambuf_iterator<char>(conf), {})), TRVCONF_OK) << result.szDetail;
    EXPECT_EQ(iDiscoveryInterval, 30);
    EXPECT_EQ(uiReDisIteration, 10u);
    for (const ClassRule *r : rules()) EXPECT_NE(r->pConditions->ucType, TRVCONF_TYPE_NONE) << r->szLabel;

    const std::map<std::string, std::string> expected = {
        {"srv-ent1", "Server:ntentsrvr"}, {"srv-ent2", "Server:ntentsrvr"}, {"srv-nt1", "Server:ntsrvr"},
        {"srv-nt2", "Server:ntsrvr"},     {"srv-nt3", "Server:ntsrvr"},     {"srv-down", "Server:ntsrvr"},
        {"srv-private", "Server:ntsrvr"}, {"srv-nw", "Server:netware"},     {"srv-lx", "Server:linux"},
        {"desk-xp", "Desktop:ntwkstn"},   {"desk-2k", "Desktop:ntwkstn"},   {"desk-nt", "Desktop:ntwkstn"},
    };
    std::ifstream in(zqtest::source("zq/sim/networks/demo.json"));
    nlohmann::json net = nlohmann::json::parse(in);
    std::map<std::string, std::string> found;
    for (const auto &node : net["nodes"]) {
        std::map<std::string, MibValue> mib;
        bool vendor = false;
        const nlohmann::json node_mib = node.value("mib", nlohmann::json::object());
        for (const auto &[oid, v] : node_mib.items()) {
            std::string value = v[1].is_string() ? v[1].get<std::string>() : std::to_string(v[1].get<long long>());
            mib[expand(oid)] = {v[0].get<std::string>(), value};
            vendor |= oid.rfind("ENT.", 0) == 0;
        }
        if (!vendor) continue;  // trvdis classifies only nodes whose vendor agents answer
        std::string name = node["name"].get<std::string>();
        for (const ClassRule *r : rules()) {
            if (matches(r->pConditions, mib)) {
                found[name] = std::string(r->szClass) + ":" + r->szLabel;
                break;
            }
        }
        EXPECT_TRUE(found.count(name)) << name << " matches no rule";
    }
    EXPECT_EQ(found, expected);
}

}  // namespace
