// OID and text helpers, the status names and the event catalogue.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "trvlib.h"

namespace {

TEST(TrvOid, TextOfAnOid) {
    const ZqOid oid[] = {1, 3, 6, 1};
    char buf[64];
    EXPECT_EQ(iOidToText(oid, 4, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "1.3.6.1");
    EXPECT_EQ(iOidToText(oid, 0, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");

    const ZqOid big[] = {4294967295u, 0};
    EXPECT_EQ(iOidToText(big, 2, buf, sizeof buf), 12);
    EXPECT_STREQ(buf, "4294967295.0");
}

TEST(TrvOid, TextIsRefusedRatherThanOverrun) {
    std::vector<ZqOid> oid(257, 4294967295u);
    std::vector<char> buf(257 * 11 + 1, 'x');
    EXPECT_EQ(iOidToText(oid.data(), 257, buf.data(), buf.size()), -1);
    EXPECT_EQ(iOidToText(oid.data(), 256, buf.data(), buf.size()), 256 * 11 - 1);

    const ZqOid small[] = {1, 3, 6, 1};
    char exact[8];  // "1.3.6.1" and its terminator
    EXPECT_EQ(iOidToText(small, 4, exact, sizeof exact), 7);
    char shortBuf[8 + 8];
    std::memset(shortBuf, 'z', sizeof shortBuf);
    EXPECT_EQ(iOidToText(small, 4, shortBuf, 7), -1);
    EXPECT_STREQ(shortBuf, "");
    EXPECT_EQ(shortBuf[7], 'z');  // nothing beyond the given size was touched
    EXPECT_EQ(iOidToText(small, 4, shortBuf, 0), -1);
}

TEST(TrvOid, CompareAndCopy) {
    const ZqOid a[] = {1, 3, 6, 1, 4};
    const ZqOid b[] = {1, 3, 6, 2, 4};
    EXPECT_EQ(iOidCompare(a, b, 3), 1);
    EXPECT_EQ(iOidCompare(a, b, 4), 0);
    EXPECT_EQ(iOidCompare(a, b, 0), 1);
    EXPECT_EQ(iOidCompare(a, b, -3), 1);
    ZqOid c[5] = {};
    vCopyOid(c, a, 5);
    EXPECT_EQ(iOidCompare(a, c, 5), 1);
}

TEST(TrvText, FirstTokenAndTrim) {
    char t1[] = " \t word: rest";
    EXPECT_STREQ(szFirstToken(t1), "word");
    char t2[] = "a;b";
    EXPECT_STREQ(szFirstToken(t2), "a");
    char t3[] = "line\n";
    EXPECT_STREQ(szFirstToken(t3), "line");
    char t4[] = "   ";
    EXPECT_STREQ(szFirstToken(t4), "");
    EXPECT_EQ(szFirstToken(nullptr), nullptr);

    char r1[] = "dir  ";
    EXPECT_STREQ(szTrimRight(r1), "dir");
    char r2[] = "dir\t ";
    EXPECT_STREQ(szTrimRight(r2), "dir\t");  // blanks only
    char r3[] = "   ";
    EXPECT_STREQ(szTrimRight(r3), "");
    EXPECT_EQ(szTrimRight(nullptr), nullptr);
}

TEST(TrvText, StatusNames) {
    EXPECT_EQ(iStatusNameToCode("Unknown"), 1);
    EXPECT_EQ(iStatusNameToCode("Normal"), 2);
    EXPECT_EQ(iStatusNameToCode("Marginal"), 3);
    EXPECT_EQ(iStatusNameToCode("Major"), 7);
    EXPECT_EQ(iStatusNameToCode("Critical"), 0);
    EXPECT_EQ(iStatusNameToCode("normal"), 0);
    EXPECT_EQ(iStatusNameToCode(nullptr), 0);
}

TEST(TrvEvents, CatalogueNamesEachEventOnce) {
    const ZqOid ent[] = {ZQ_ENT_SUBIDS};
    const struct { int specific; ZqOid last; } expected[] = {
        {3001, 2}, {3002, 3}, {3003, 11}, {3004, 12}, {3005, 20}};
    for (auto& e : expected) {
        const TrvEventDef* def = pGetEventDef(e.specific);
        ASSERT_NE(def, nullptr) << e.specific;
        EXPECT_EQ(iOidCompare(def->aEnterprise, ent, ZQ_ENT_LENGTH), 1);
        EXPECT_EQ(def->aEnterprise[ZQ_ENT_LENGTH], 1u);
        EXPECT_EQ(def->aEnterprise[ZQ_ENT_LENGTH + 1], 3u);
        EXPECT_EQ(def->aEnterprise[ZQ_ENT_LENGTH + 2], e.last);
    }
    EXPECT_EQ(pGetEventDef(3006), nullptr);
}

}  // namespace
