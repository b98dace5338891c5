// PDU records, allocator, error texts, FixPdu and the conversion to and from
// net-snmp's PDU (no network).
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "zqsnmp.h"

namespace {

const ZqOid kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const ZqOid kSysName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
const ZqOid kEntThing[] = {ZQ_ENT_SUBIDS, 1, 3, 3};

size_t count_bindings(const ZqPdu* pdu) {
    size_t n = 0;
    for (const ZqVarBind* vb = pdu->variables; vb; vb = vb->next_variable) ++n;
    return n;
}

std::vector<ZqOid> name_of(const ZqVarBind* vb) { return {vb->name, vb->name + vb->name_length}; }

TEST(ZqsnmpErrors, EveryNumberHasAStableText) {
    EXPECT_STREQ(ZqsnmpErrString(0), "No error");
    // Every defined library number has its own text; gaps below 50 are unknown.
    std::vector<std::string> seen;
    for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 22, 23}) {
        std::string t = ZqsnmpErrString(n);
        EXPECT_NE(t, "Unknown error") << n;
        for (const auto& s : seen) EXPECT_NE(s, t) << n;
        seen.push_back(t);
    }
    EXPECT_STREQ(ZqsnmpErrString(18), "Unknown error");
    EXPECT_STREQ(ZqsnmpErrString(49), "Unknown error");
    EXPECT_STREQ(ZqsnmpErrString(-1), "Unknown error");
    // From 50 on: the system's text for errno = n - 50, kept across later calls.
    const char* enoent = ZqsnmpErrString(ZQSNMP_E_SYSBASE + ENOENT);
    EXPECT_STREQ(enoent, strerror(ENOENT));
    std::string copy = enoent;
    ZqsnmpErrString(6);
    EXPECT_EQ(copy, enoent);
    EXPECT_FALSE(std::string(ZqsnmpErrString(ZQSNMP_E_SYSBASE + 100000)).empty());
}

TEST(ZqsnmpMemory, MallocZeroFillsAndRejectsZeroSize) {
    auto* p = static_cast<unsigned char*>(ZqsnmpMalloc(64));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ZqsnmpErrno, 0);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
    ZqsnmpFree(p);
    EXPECT_EQ(ZqsnmpMalloc(0), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_NOMEM);
    // Freeing keeps the error of the call before (callers free, then look).
    ZqsnmpFree(nullptr);
    ZqsnmpFreePdu(nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_NOMEM);
}

TEST(ZqsnmpPdu, CreateAcceptsOnlyV1Types) {
    for (int t = ZQSNMP_GET_REQ; t <= ZQSNMP_TRAP; ++t) {
        ZqPdu* p = ZqsnmpCreatePdu(t);
        ASSERT_NE(p, nullptr) << t;
        EXPECT_EQ(p->command, t);
        EXPECT_EQ(p->variables, nullptr);
        ZqsnmpFreePdu(p);
    }
    for (int t : {0, 159, 165, 167, -1}) {
        EXPECT_EQ(ZqsnmpCreatePdu(t), nullptr) << t;
        EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADPDUTYPE);
    }
    ZqPdu* trap = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    ASSERT_NE(trap, nullptr);
    EXPECT_EQ(trap->trap_type, 0);
    EXPECT_EQ(trap->specific_type, 0);
    EXPECT_EQ(trap->time, 0u);
    const unsigned char zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(trap->agent_addr, zero, 4), 0);
    EXPECT_EQ(trap->enterprise, nullptr);
    ZqsnmpFreePdu(trap);
}

TEST(ZqsnmpPdu, FreeReleasesEveryOwnedMember) {
    // Run under ASan: a leak of any member fails the suite.
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    ASSERT_NE(p, nullptr);
    p->community = static_cast<unsigned char*>(ZqsnmpMalloc(6));
    std::memcpy(p->community, "public", 6);
    p->community_len = 6;
    p->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof kEntThing));
    std::memcpy(p->enterprise, kEntThing, sizeof kEntThing);
    p->enterprise_length = sizeof kEntThing / sizeof(ZqOid);
    p->trap_id = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof kEntThing));
    p->trap_id_length = 1;
    int v = 7;
    ASSERT_NE(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, ZQ_ASN_INTEGER, &v, 1), nullptr);
    ASSERT_NE(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, ZQ_ASN_OCTET_STR, "abc", 3), nullptr);
    ASSERT_NE(ZqsnmpAddNullVarBind(p, kSysName, 9), nullptr);
    ZqsnmpFreePdu(p);
}

TEST(ZqsnmpVarBind, IntegerReadsTheFull32BitsWhateverTheLength) {
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    int32_t values[] = {0x12345678, -2, 305419896};
    for (int32_t v : values) {
        ZqVarBind* vb = ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_INTEGER, &v, 1);
        ASSERT_NE(vb, nullptr);
        EXPECT_EQ(*vb->val.integer, v);
        EXPECT_EQ(vb->val_len, 4u);
    }
    uint32_t big = 0xFFFFFFF0u;
    ZqVarBind* g = ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_GAUGE, &big, 1);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(*g->val.integer), big);
    EXPECT_EQ(count_bindings(p), 4u);
    ZqsnmpFreePdu(p);
}

TEST(ZqsnmpVarBind, CopiesNameAndValueAndKeepsOrder) {
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    ZqOid name[] = {1, 3, 6, 1, 4, 1, 9};
    char text[] = "hello";
    ZqOid objval[] = {1, 3, 6, 1, 6, 3, 1, 1, 5, 1};
    unsigned char ip[4] = {10, 1, 2, 3};
    uint64_t c64 = 0x123456789ABCDEFull;
    ASSERT_NE(ZqsnmpAddTypedVarBind(p, name, 7, ZQ_ASN_OCTET_STR, text, 5), nullptr);
    ASSERT_NE(ZqsnmpAddTypedVarBind(p, name, 7, ZQ_ASN_OBJECT_ID, objval, 10), nullptr);
    ASSERT_NE(ZqsnmpAddTypedVarBind(p, name, 7, ZQ_ASN_IPADDRESS, ip, 4), nullptr);
    ASSERT_NE(ZqsnmpAddTypedVarBind(p, name, 7, ZQ_ASN_COUNTER64, &c64, 8), nullptr);
    ASSERT_NE(ZqsnmpAddTypedVarBind(p, name, 7, ZQ_ASN_OCTET_STR, "", 0), nullptr);
    // The caller's buffers stay the caller's: change them afterwards.
    name[6] = 99;
    std::strcpy(text, "XXXXX");
    objval[9] = 42;
    ip[0] = 0;

    ZqVarBind* vb = p->variables;
    EXPECT_EQ(vb->type, ZQ_ASN_OCTET_STR);
    EXPECT_EQ(vb->val_len, 5u);
    EXPECT_STREQ(reinterpret_cast<char*>(vb->val.string), "hello");  // NUL past the length
    EXPECT_EQ(name_of(vb), (std::vector<ZqOid>{1, 3, 6, 1, 4, 1, 9}));
    vb = vb->next_variable;
    EXPECT_EQ(vb->type, ZQ_ASN_OBJECT_ID);
    EXPECT_EQ(vb->val_len, 10u);
    EXPECT_EQ(vb->val.objid[9], 1u);
    vb = vb->next_variable;
    EXPECT_EQ(vb->type, ZQ_ASN_IPADDRESS);
    EXPECT_EQ(vb->val_len, 4u);
    EXPECT_EQ(vb->val.string[0], 10);
    vb = vb->next_variable;
    EXPECT_EQ(*vb->val.counter64, c64);
    vb = vb->next_variable;
    EXPECT_EQ(vb->val_len, 0u);
    ASSERT_NE(vb->val.string, nullptr);
    EXPECT_EQ(vb->val.string[0], 0);
    EXPECT_EQ(vb->next_variable, nullptr);
    ZqsnmpFreePdu(p);
}

TEST(ZqsnmpVarBind, RejectsBadNamesValuesAndTypes) {
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    std::vector<ZqOid> long_name(129, 1);
    int v = 1;
    EXPECT_EQ(ZqsnmpAddNullVarBind(p, kSysDescr, 0), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADLENGTH);
    EXPECT_EQ(ZqsnmpAddNullVarBind(p, long_name.data(), 129), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADLENGTH);
    EXPECT_NE(ZqsnmpAddNullVarBind(p, long_name.data(), 128), nullptr);
    EXPECT_EQ(ZqsnmpAddNullVarBind(p, nullptr, 3), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADARG);
    EXPECT_EQ(ZqsnmpAddNullVarBind(nullptr, kSysDescr, 9), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADARG);

    std::string huge(65536, 'x');
    EXPECT_EQ(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, ZQ_ASN_OCTET_STR, huge.data(), huge.size()), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADLENGTH);
    EXPECT_NE(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, ZQ_ASN_OCTET_STR, huge.data(), 65535), nullptr);
    EXPECT_EQ(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, ZQ_ASN_OBJECT_ID, long_name.data(), 129), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADLENGTH);
    EXPECT_EQ(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, ZQ_ASN_IPADDRESS, "abc", 3), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADLENGTH);
    EXPECT_EQ(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, 0x99, &v, 4), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADTYPE);
    EXPECT_EQ(ZqsnmpAddTypedVarBind(p, kSysDescr, 9, ZQ_ASN_INTEGER, nullptr, 4), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADARG);
    // Failures leave the PDU as it was.
    EXPECT_EQ(count_bindings(p), 2u);
    ZqsnmpFreePdu(p);
}

// A noSuchName response as an agent sends it: the request's bindings echoed.
ZqPdu* nosuchname_response(int bindings, int errindex) {
    ZqPdu* r = ZqsnmpCreatePdu(ZQSNMP_RESPONSE);
    r->errstat = ZQ_ERR_NOSUCHNAME;
    r->errindex = errindex;
    r->community = static_cast<unsigned char*>(ZqsnmpMalloc(6));
    std::memcpy(r->community, "public", 6);
    r->community_len = 6;
    for (int i = 1; i <= bindings; ++i) {
        ZqOid name[] = {1, 3, 6, 1, 2, 1, 1, static_cast<ZqOid>(i), 0};
        ZqsnmpAddNullVarBind(r, name, 9);
    }
    return r;
}

TEST(ZqsnmpFixPdu, DropsTheFailedBindingOnly) {
    ZqPdu* r = nosuchname_response(3, 2);
    ZqPdu* fixed = ZqsnmpFixPdu(r, ZQSNMP_GET_REQ);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(ZqsnmpErrno, 0);
    EXPECT_EQ(fixed->command, ZQSNMP_GET_REQ);
    EXPECT_EQ(fixed->errstat, 0);
    ASSERT_EQ(count_bindings(fixed), 2u);
    EXPECT_EQ(fixed->variables->name[7], 1u);
    EXPECT_EQ(fixed->variables->next_variable->name[7], 3u);
    EXPECT_EQ(fixed->variables->type, ZQ_ASN_NULL);
    // The argument is untouched.
    EXPECT_EQ(count_bindings(r), 3u);
    EXPECT_NE(fixed->variables->name, r->variables->name);
    ZqsnmpFreePdu(fixed);
    ZqsnmpFreePdu(r);
}

TEST(ZqsnmpFixPdu, RefusesWhatCannotBeFixed) {
    ZqPdu* single = nosuchname_response(1, 1);
    EXPECT_EQ(ZqsnmpFixPdu(single, ZQSNMP_GET_REQ), nullptr);  // nothing would remain
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_FIX);
    ZqPdu* bad_index = nosuchname_response(2, 5);
    EXPECT_EQ(ZqsnmpFixPdu(bad_index, ZQSNMP_GET_REQ), nullptr);
    ZqPdu* zero_index = nosuchname_response(2, 0);
    EXPECT_EQ(ZqsnmpFixPdu(zero_index, ZQSNMP_GET_REQ), nullptr);
    ZqPdu* other = nosuchname_response(2, 1);
    other->errstat = ZQ_ERR_GENERR;
    EXPECT_EQ(ZqsnmpFixPdu(other, ZQSNMP_GET_REQ), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_FIX);
    other->errstat = ZQ_ERR_NOSUCHNAME;
    EXPECT_EQ(ZqsnmpFixPdu(other, ZQSNMP_TRAP), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADPDUTYPE);
    EXPECT_EQ(ZqsnmpFixPdu(nullptr, ZQSNMP_GET_REQ), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADARG);
    for (ZqPdu* p : {single, bad_index, zero_index, other}) ZqsnmpFreePdu(p);
}

TEST(ZqsnmpConvert, EveryTypeSurvivesTheRoundTrip) {
    zq::snmp::ensure_netsnmp_init();
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    p->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof kEntThing));
    std::memcpy(p->enterprise, kEntThing, sizeof kEntThing);
    p->enterprise_length = 10;
    p->trap_type = 6;
    p->specific_type = 3002;
    p->time = 0xFFFFFFFEu;
    const unsigned char agent[4] = {10, 1, 2, 3};
    std::memcpy(p->agent_addr, agent, 4);
    p->community = static_cast<unsigned char*>(ZqsnmpMalloc(9));
    std::memcpy(p->community, "quillfern", 9);
    p->community_len = 9;
    int32_t neg = -123456789;
    uint32_t counter = 0xFFFFFFFFu, gauge = 0x80000000u, ticks = 4000000000u;
    uint64_t c64 = 0xFEDCBA9876543210ull;
    const unsigned char bin[] = {0x48, 0, 0xFF};
    const ZqOid highoid[] = {1, 3, 0xFFFFFFFFu};
    const unsigned char ip[] = {192, 168, 0, 1};
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_INTEGER, &neg, 4);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_COUNTER, &counter, 4);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_GAUGE, &gauge, 4);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_TIMETICKS, &ticks, 4);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_COUNTER64, &c64, 8);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_OCTET_STR, bin, 3);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_OPAQUE, bin, 3);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_OBJECT_ID, highoid, 3);
    ZqsnmpAddTypedVarBind(p, kEntThing, 10, ZQ_ASN_IPADDRESS, ip, 4);
    ZqsnmpAddNullVarBind(p, kSysName, 9);
    ASSERT_EQ(count_bindings(p), 10u);

    netsnmp_pdu* n = zq::snmp::to_netsnmp(p);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->command, SNMP_MSG_TRAP);
    EXPECT_EQ(*n->variables->val.integer, -123456789L);
    EXPECT_EQ(n->enterprise[9], 3u);
    ZqPdu* back = zq::snmp::from_netsnmp(n);
    snmp_free_pdu(n);
    ASSERT_NE(back, nullptr);

    EXPECT_EQ(back->command, ZQSNMP_TRAP);
    EXPECT_EQ(back->trap_type, 6);
    EXPECT_EQ(back->specific_type, 3002);
    EXPECT_EQ(back->time, 0xFFFFFFFEu);
    EXPECT_EQ(std::memcmp(back->agent_addr, agent, 4), 0);
    ASSERT_EQ(back->community_len, 9u);
    EXPECT_STREQ(reinterpret_cast<char*>(back->community), "quillfern");
    ASSERT_EQ(back->enterprise_length, 10u);
    EXPECT_EQ(std::memcmp(back->enterprise, kEntThing, sizeof kEntThing), 0);
    EXPECT_EQ(back->trap_id, nullptr);

    const ZqVarBind* a = p->variables;
    const ZqVarBind* b = back->variables;
    for (int i = 0; a && b; ++i, a = a->next_variable, b = b->next_variable) {
        SCOPED_TRACE(i);
        EXPECT_EQ(name_of(a), name_of(b));
        EXPECT_EQ(a->type, b->type);
        EXPECT_EQ(a->val_len, b->val_len);
        size_t bytes = a->type == ZQ_ASN_OBJECT_ID ? a->val_len * sizeof(ZqOid) : a->val_len;
        if (a->val.raw) {
            ASSERT_NE(b->val.raw, nullptr);
            EXPECT_EQ(std::memcmp(a->val.raw, b->val.raw, bytes), 0);
        }
    }
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    ZqsnmpFreePdu(back);
    ZqsnmpFreePdu(p);
}

TEST(ZqsnmpConvert, RejectsWhatCannotBeExpressed) {
    zq::snmp::ensure_netsnmp_init();
    // A binding put together by hand with a type the library does not know.
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    ZqsnmpAddNullVarBind(p, kSysDescr, 9);
    p->variables->type = 0x99;
    EXPECT_EQ(zq::snmp::to_netsnmp(p), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADTYPE);
    ZqsnmpFreePdu(p);

    // A received sub-identifier above 32 bits cannot be a ZqOid.
    netsnmp_pdu* n = snmp_pdu_create(SNMP_MSG_RESPONSE);
    oid wide[] = {1, 3, 6, 0x100000000ul};
    snmp_add_null_var(n, wide, 4);
    EXPECT_EQ(zq::snmp::from_netsnmp(n), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_DECODE);
    snmp_free_pdu(n);
}

}  // namespace
