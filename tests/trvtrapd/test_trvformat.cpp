// The format-statement interpreter of trvtrapd: every @-command, the rendering
// of every value type, the error marker with its messages, the limits of the
// text, and bytes that are not ASCII.
#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allochook.h"
#include "testsupport.h"
#include "trvlib.h"
#include "trvtrapinit.h"
#include "trvtrapmain.h"
#include "trvtraptest.h"

namespace {

using trvtraptest::kEnt;
using trvtraptest::oid;
using trvtraptest::Trap;

const std::string kNull = "<null>";

class Format : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new zqtest::TempDir;
        mkdir((dir_->path + "/temp").c_str(), 0755);
        setenv("ZQ_ROOT", dir_->path.c_str(), 1);
        szProgramName = "trvtrapd";
        std::snprintf(szTrapConfPath, sizeof szTrapConfPath, "%s", "/zq/conf/c/trv/trvtrapd.conf");
        std::string map = "BEGIN_OID " + kEnt + ".6.2.6.7.1.9\n1 \"other\"\n2 \"ok\"\n4 \"failed\"\nEND_OID\n"
                          "BEGIN_OID 1.3.6.1.9.8\nEND_OID\n"
                          "BEGIN_OID 1.3.6.1.9.7\n1 \"Temp\xc3\xa9rature \xe2\x9c\x93\"\nEND_OID\n"
                          "BEGIN_OID 1.3.6.1.9.6\n3 \"\"\nEND_OID\n"
                          "BEGIN_OID .1.3.6.1.9.5\n1 \"dotted\"\nEND_OID\n";
        FILE* f = std::tmpfile();
        std::fwrite(map.data(), 1, map.size(), f);
        std::rewind(f);
        vFreeValMap();
        TrvParseResult parse{};
        ASSERT_EQ(iParseValMap(f, &parse), 1);
        std::fclose(f);
    }
    static void TearDownTestSuite() {
        vFreeValMap();
        delete dir_;
    }
    void SetUp() override {
        // The interpreter works on bytes, whatever the locale says.
        std::setlocale(LC_ALL, "C.UTF-8");
        zqtest::write_file(log_path(), "");
        iTrapState = 0;
        zqtest::g_fail_alloc = 0;
    }
    static std::string log_path() { return dir_->path + "/temp/vtmzqerr.log"; }
    static std::string log() { return zqtest::read_file(log_path()); }
    static bool logged(int number) { return log().find("trvtrapd (" + std::to_string(number) + "): ") != std::string::npos; }

    // The expanded text, or "<null>".
    static std::string expand(const Trap& trap, const std::string& format) {
        std::string f = format;
        TrapDef def{const_cast<char*>(".1"), 6001, 'N', f.data()};
        char* s = szFormatTrapText(trap.pdu(), &def);
        if (s == nullptr) return kNull;
        std::string r = s;
        ZqsnmpFree(s);
        return r;
    }

    static zqtest::TempDir* dir_;
};
zqtest::TempDir* Format::dir_ = nullptr;

const std::string kMarker = "# FORMAT ERROR #";

TEST_F(Format, PlainTextAndTheTrapsOwnFields) {
    Trap t;
    EXPECT_EQ(expand(t, "No commands at all."), "No commands at all.");
    EXPECT_EQ(expand(t, ""), "");
    EXPECT_EQ(expand(t, "100@@ delivered"), "100@ delivered");
    EXPECT_EQ(expand(t, "@A/@C/@T"), "10.1.2.3/public/1234");
    // Address bytes above 127 and a time stamp above 2^31 print unsigned.
    t.agent(200, 201, 255, 128);
    t.pdu()->time = 4000000000u;
    EXPECT_EQ(expand(t, "from @A at @T"), "from 200.201.255.128 at 4000000000");
    // A community is taken up to its length; a NUL byte in it ends it there, and
    // the statement goes on.
    t.community(std::string("ab\0cd", 5));
    EXPECT_EQ(expand(t, "[@C] rest"), "[ab] rest");
    EXPECT_TRUE(log().empty()) << log();
    EXPECT_EQ(iTrapState, 0);
}

TEST_F(Format, BadCommandsLeaveTheMarkerAndTheRestOfTheText) {
    Trap t;
    t.integer("1.3.6.1.2.1.1.1.0", 7);
    // A lone @ at the very end.
    EXPECT_EQ(expand(t, "ends with @"), "ends with " + kMarker);
    EXPECT_TRUE(logged(1008)) << log();
    EXPECT_NE(log().find("Enterprise ID - " + kEnt + ".6; Trap Number - 6001 : Bad format command in the format "
                         "statement of the trap definition in \"/zq/conf/c/trv/trvtrapd.conf\"."),
              std::string::npos)
        << log();
    EXPECT_EQ(iTrapState, TRAP_STATE_FORMAT);
    // Letters are case-sensitive; the rest of the bad command up to the next
    // blank is dropped.
    EXPECT_EQ(expand(t, "a @a1x b @Zzz c @ d"), "a " + kMarker + " b " + kMarker + " c " + kMarker + " d");
    // @2 on a trap with one binding: 1014 and 1010.
    zqtest::write_file(log_path(), "");
    EXPECT_EQ(expand(t, "one @1, two @2x, end"), "one 7, two " + kMarker + " end");
    EXPECT_TRUE(logged(1014)) << log();
    EXPECT_NE(log().find("Enterprise ID - " + kEnt + ".6; Trap Number - 6001 : Required Varbind is not present in "
                         "the Varbind list."),
              std::string::npos);
    EXPECT_TRUE(logged(1010)) << log();
    EXPECT_NE(log().find("Received Varbind list does not contain the varbind specified in the format statement in "
                         "\"/zq/conf/c/trv/trvtrapd.conf\"."),
              std::string::npos);
}

TEST_F(Format, BindingNumbersAndTheTextBehindThem) {
    Trap t;
    t.octets("1.3.6.1.2.1.1.5.0", "srv1").integer("1.3.6.1.2.1.1.7.0", 72);
    EXPECT_EQ(expand(t, "@1abc @2.@2"), "srv1abc 72.72");
    EXPECT_EQ(expand(t, "@0 and @01"), "srv1 and srv1");  // 0 and 1 both name the first
    EXPECT_EQ(expand(t, "@99999999999999 end"), kMarker + " end");
    EXPECT_TRUE(logged(1010));
}

TEST_F(Format, SubIdentifiersOfABindingName) {
    Trap t;
    t.integer("1.3.6.1.2.1.1.3.0", 1).integer("1.3.6.1.2.1.1.4.0", 2).integer("1.3.6.1.2.1.2.2.1.8.5", 1);
    t.add("1.3.6.1.4294967295.7", ZQ_ASN_NULL, nullptr, 0);
    EXPECT_EQ(expand(t, "if @I1,3 status"), "if 5 status");
    EXPECT_EQ(expand(t, "@I2,3 @I11,3 @I2,4;"), "8 1 4294967295;");
    EXPECT_TRUE(log().empty()) << log();

    EXPECT_EQ(expand(t, "[@I0,3] [@I12,3]"), "[" + kMarker + " [" + kMarker);
    EXPECT_TRUE(logged(1011)) << log();
    EXPECT_NE(log().find("The SubId specified in the format statement of the trap definition in "
                         "\"/zq/conf/c/trv/trvtrapd.conf\" is not valid."),
              std::string::npos);
    zqtest::write_file(log_path(), "");
    EXPECT_EQ(expand(t, "@I1,0 @I1,101 x"), kMarker + " " + kMarker + " x");
    EXPECT_TRUE(logged(1009));
    EXPECT_NE(log().find("Enterprise ID -" + kEnt + ".6; Trap Number - 6001 : Bad varbind number"), std::string::npos);
    zqtest::write_file(log_path(), "");
    EXPECT_EQ(expand(t, "@I1 @I1,x @I,3 @I1;3 y"), kMarker + " " + kMarker + " " + kMarker + " " + kMarker + " y");
    EXPECT_TRUE(logged(1008));
    EXPECT_FALSE(logged(1009));
    zqtest::write_file(log_path(), "");
    EXPECT_EQ(expand(t, "@I1,5"), kMarker);
    EXPECT_TRUE(logged(1014));
    EXPECT_TRUE(logged(1010));
}

TEST_F(Format, MappedValues) {
    const std::string fan = kEnt + ".6.2.6.7.1.9";
    Trap t;
    t.integer(fan + ".1", 4).integer(fan + ".2", 3).octets("1.3.6.1.2.1.1.5.0", "srv1");
    t.integer("1.3.6.1.9.8.1", 2).integer("1.3.6.1.9.9.1", -6);
    EXPECT_EQ(expand(t, "condition @M1."), "condition failed.");
    EXPECT_TRUE(log().empty()) << log();
    // A value without a text: the number, and 1107.
    EXPECT_EQ(expand(t, "condition @M2."), "condition 3.");
    EXPECT_TRUE(logged(1107)) << log();
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_VALUE);
    // A block without values, and no block at all: the number, and 1106.
    zqtest::write_file(log_path(), "");
    EXPECT_EQ(expand(t, "@M4 @M5"), "2 -6");
    EXPECT_TRUE(logged(1106)) << log();
    EXPECT_FALSE(logged(1107));
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_OBJECT);
    // A block written with a leading dot never matches: the number, and 1106.
    zqtest::write_file(log_path(), "");
    Trap dotted;
    dotted.integer("1.3.6.1.9.5.1", 1);
    EXPECT_EQ(expand(dotted, "@M1"), "1");
    EXPECT_TRUE(logged(1106)) << log();
    // An OCTET STRING has no mapped text: 1007.
    zqtest::write_file(log_path(), "");
    EXPECT_EQ(expand(t, "@M3 end"), kMarker + " end");
    EXPECT_TRUE(logged(1007)) << log();
    EXPECT_NE(log().find(":Incorrect type in the received Varbind OR Wrong format command in the trap definition in "
                         "\"/zq/conf/c/trv/trvtrapd.conf\"."),
              std::string::npos);
    zqtest::write_file(log_path(), "");
    EXPECT_EQ(expand(t, "@M0 @M101 @M-1 @M @Mx"), kMarker + " " + kMarker + " " + kMarker + " " + kMarker + " " + kMarker);
    EXPECT_TRUE(logged(1008));
    EXPECT_EQ(expand(t, "@M6"), kMarker);
    EXPECT_TRUE(logged(1010));
}

TEST_F(Format, AnEmptyMappedTextStaysEmptyAfterAMissingValue) {
    Trap t;
    t.integer(kEnt + ".6.2.6.7.1.9.1", 3).integer("1.3.6.1.9.6.1", 3);
    // The first trap leaves the state of a value without a text behind ...
    EXPECT_EQ(expand(t, "@M1"), "3");
    EXPECT_EQ(iTrapState, TRAP_STATE_NO_VALUE);
    // ... which must not turn the next trap's empty text into the number.
    EXPECT_EQ(expand(t, "[@M2]"), "[]");
    EXPECT_EQ(expand(t, "@M1 [@M2]"), "3 []");
}

TEST_F(Format, EveryValueType) {
    Trap t;
    const unsigned char ip[4] = {10, 0, 0, 1};
    const unsigned char opaque[2] = {0x0A, 0xFF};
    const uint64_t big = 1;
    t.integer("1.3.6.1.2.1.1.1.0", -5)                                           // 1
        .octets("1.3.6.1.2.1.1.2.0", std::string("ab\0cd", 5))                   // 2
        .add("1.3.6.1.2.1.1.3.0", ZQ_ASN_NULL, nullptr, 0)                       // 3
        .objid("1.3.6.1.2.1.1.4.0", "1.3.6.1.4.1.4294967295")                    // 4
        .add("1.3.6.1.2.1.1.5.0", ZQ_ASN_IPADDRESS, ip, 4)                       // 5
        .integer("1.3.6.1.2.1.1.6.0", -1, ZQ_ASN_COUNTER)                        // 6
        .integer("1.3.6.1.2.1.1.7.0", 7, ZQ_ASN_GAUGE)                           // 7
        .integer("1.3.6.1.2.1.1.8.0", -2, ZQ_ASN_TIMETICKS)                      // 8
        .add("1.3.6.1.2.1.1.9.0", ZQ_ASN_OPAQUE, opaque, 2)                      // 9
        .add("1.3.6.1.2.1.1.10.0", ZQ_ASN_COUNTER64, &big, 8)                    // 10
        .octets("1.3.6.1.2.1.1.11.0", "");                                       // 11
    int32_t u = -3;
    t.raw(oid("1.3.6.1.2.1.1.12.0"), 7, &u, 4, 4);                              // 12: unsigned 32-bit
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(expand(t, "@1|@2|@3|@4|@5|@6|@7|@8|@9|@11|@12"),
              "-5|ab|NULL|1.3.6.1.4.1.4294967295|10.0.0.1|4294967295|7|4294967294| AFF||4294967293");
    EXPECT_TRUE(log().empty()) << log();
    // A type without a rendering: nothing, message 1015, the state unchanged.
    iTrapState = 0;
    EXPECT_EQ(expand(t, "[@10]"), "[]");
    EXPECT_TRUE(logged(1015)) << log();
    EXPECT_NE(log().find("Enterprise ID - " + kEnt + ".6; Trap Number - 6001 : Unrecognized type in a Varbind of the "
                         "received trap."),
              std::string::npos);
    EXPECT_EQ(iTrapState, 0);
}

TEST_F(Format, UnusableValuesAreFormatErrors) {
    Trap t;
    const unsigned char three[3] = {1, 2, 3};
    t.raw(oid("1.3.6.1.2.1.1.1.0"), ZQ_ASN_INTEGER, nullptr, 0, 4);    // no value
    t.raw(oid("1.3.6.1.2.1.1.2.0"), ZQ_ASN_IPADDRESS, three, 3, 3);    // three bytes
    t.raw(oid("1.3.6.1.2.1.1.3.0"), ZQ_ASN_OCTET_STR, nullptr, 0, 9);  // a length without bytes
    EXPECT_EQ(expand(t, "@1 @2 @3 @M1 ok"), kMarker + " " + kMarker + " " + kMarker + " " + kMarker + " ok");
    EXPECT_TRUE(logged(1007)) << log();
}

TEST_F(Format, BytesThatAreNotAsciiPassUnchanged) {
    Trap t;
    t.octets("1.3.6.1.2.1.1.5.0", "Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac");      // UTF-8
    t.octets("1.3.6.1.2.1.1.6.0", "caf\xe9");                                // Latin-1: not UTF-8
    t.integer("1.3.6.1.9.7.0", 1);
    EXPECT_EQ(expand(t, "L\xc3\xbc" "fter @1 \xe2\x9c\x93 @2 @M3 \xff"),
              "L\xc3\xbc" "fter Gr\xc3\xb6\xc3\x9f" "e \xe2\x82\xac \xe2\x9c\x93 caf\xe9 Temp\xc3\xa9rature \xe2\x9c\x93 \xff");
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(expand(t, "\xe9t\xe9 @2"), "\xe9t\xe9 caf\xe9");
    EXPECT_TRUE(log().empty()) << log();
}

TEST_F(Format, TheTextIsCutAt2047Bytes) {
    Trap t;
    std::string kilo(1000, 'k');
    t.octets("1.3.6.1.2.1.1.5.0", kilo).octets("1.3.6.1.2.1.1.6.0", std::string(65535, 'v'));
    std::vector<unsigned char> opaque(3000, 0xAB);
    t.add("1.3.6.1.2.1.1.7.0", ZQ_ASN_OPAQUE, opaque.data(), opaque.size());
    t.community(std::string(3000, 'c'));

    std::string r = expand(t, "@1@1@1@1 never");
    EXPECT_EQ(r, kilo + kilo + std::string(47, 'k'));
    EXPECT_EQ(expand(t, "<@2>"), "<" + std::string(2046, 'v'));
    r = expand(t, "@3");
    EXPECT_EQ(r.size(), 2046u);  // whole bytes only: 1,023 of them
    EXPECT_EQ(r.substr(0, 6), "ABABAB");
    EXPECT_EQ(expand(t, "@C"), std::string(2047, 'c'));
    // Commands and markers at the limit are cut as well.
    r = expand(t, std::string(500, 'x') + "@1@1 @A @9 @@");
    EXPECT_EQ(r.size(), 2047u);
    EXPECT_EQ(r, (std::string(500, 'x') + kilo + kilo).substr(0, 2047));
    r = expand(t, "@1@1" + std::string(40, 'y') + " @Q");
    EXPECT_EQ(r, kilo + kilo + std::string(40, 'y') + " # FORM");
}

TEST_F(Format, LongBindingNamesAndObjectIdentifiers) {
    Trap t;
    std::vector<ZqOid> name256(256, 4294967295u), name257(257, 4294967295u);
    int32_t one = 1;
    t.raw(name256, ZQ_ASN_INTEGER, &one, 4, 4);
    t.raw(name256, ZQ_ASN_OBJECT_ID, name256.data(), name256.size() * 4, 256);
    // The longest name converts (2,815 characters) and is simply not in the file.
    EXPECT_EQ(expand(t, "@M1 @I256,1 @I257,1"), "1 4294967295 " + kMarker);
    EXPECT_TRUE(logged(1106));
    std::string r = expand(t, "@2");
    EXPECT_EQ(r.size(), 2047u);
    EXPECT_EQ(r.substr(0, 22), "4294967295.4294967295.");

    // More than 256 sub-identifiers cannot be converted: the text is dropped.
    Trap u;
    u.raw(name257, ZQ_ASN_INTEGER, &one, 4, 4);
    u.raw(oid("1.3.6.1.2.1.1.5.0"), ZQ_ASN_OBJECT_ID, name257.data(), name257.size() * 4, 257);
    EXPECT_EQ(expand(u, "@I1,1"), "4294967295");
    EXPECT_EQ(expand(u, "@M1"), kNull);
    EXPECT_EQ(iTrapState, TRAP_STATE_OID_TEXT);
    iTrapState = 0;
    EXPECT_EQ(expand(u, "@2"), kNull);
    EXPECT_EQ(iTrapState, TRAP_STATE_OID_TEXT);
}

TEST_F(Format, AFailedAllocationDropsTheText) {
    Trap t;
    zqtest::g_fail_alloc = 1;
    EXPECT_EQ(expand(t, "text"), kNull);
    EXPECT_EQ(iTrapState, TRAP_STATE_NOMEM);
    EXPECT_NE(log().find("trvtrapd (SYSTEM ERROR)"), std::string::npos) << log();
    EXPECT_EQ(expand(t, "text"), "text");
}

}  // namespace

namespace {

// The re-issued PDU, built without sending it.
TEST_F(Format, TheReissuedPduOwnsCopiesAndAFailedBindingIsFatal) {
    Trap t("ENT.6", 6012);
    t.community(std::string("c\0m", 3));
    ZqOid* ent = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof aReissueEnterprise));
    std::memcpy(ent, aReissueEnterprise, sizeof aReissueEnterprise);
    ZqPdu* pdu = nullptr;
    ASSERT_EQ(iCreateCompletePdu(t.pdu(), &pdu, "the text", ent, aTextBindingName), 1);
    ZqsnmpFree(ent);  // the caller's array stays the caller's
    ASSERT_NE(pdu, nullptr);
    EXPECT_EQ(trvtraptest::text(pdu->enterprise, pdu->enterprise_length), kEnt + ".1.3.1");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pdu->community), pdu->community_len), std::string("c\0m", 3));
    EXPECT_EQ(pdu->trap_type, 6);
    EXPECT_EQ(pdu->specific_type, 6012);
    EXPECT_EQ(std::memcmp(pdu->agent_addr, t.pdu()->agent_addr, 4), 0);
    ASSERT_NE(pdu->variables, nullptr);
    EXPECT_EQ(pdu->variables->next_variable, nullptr);
    EXPECT_EQ(trvtraptest::text(pdu->variables->name, pdu->variables->name_length), kEnt + ".11.2.8.1");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pdu->variables->val.string), pdu->variables->val_len), "the text");
    ZqsnmpFreePdu(pdu);

    // No PDU: state 1501.  The text binding cannot be added: 1999, which stops the daemon.
    zqtest::g_fail_alloc = 1;
    EXPECT_EQ(iCreateCompletePdu(t.pdu(), &pdu, "x", aReissueEnterprise, aTextBindingName), -1);
    EXPECT_EQ(pdu, nullptr);
    EXPECT_EQ(iTrapState, TRAP_STATE_NOMEM);
    zqtest::g_fail_alloc = 4;  // the PDU, the community, the enterprise, then the binding
    EXPECT_EQ(iCreateCompletePdu(t.pdu(), &pdu, "x", aReissueEnterprise, aTextBindingName), -1);
    EXPECT_EQ(pdu, nullptr);
    EXPECT_EQ(iTrapState, TRAP_STATE_FATAL);
}

}  // namespace
