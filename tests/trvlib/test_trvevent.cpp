// Internal events sent with iSendInternalEvent through a real trapd, received
// by an event session as the other programs receive them.
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventread.h"
#include "testsupport.h"
#include "trvlib.h"
#include "trvtest.h"

namespace {

struct Binding {
    std::vector<ZqOid> name;
    int type;
    std::string value;  // the bytes of the value
};
struct Event {
    std::vector<ZqOid> enterprise;
    int generic, specific;
    std::string community;
    std::vector<Binding> bindings;
};

Binding binding_of(const ZqVarBind* vb) {
    Binding b{{vb->name, vb->name + vb->name_length}, vb->type, {}};
    if (vb->type == ZQ_ASN_INTEGER)
        b.value = std::to_string(*vb->val.integer);
    else if (vb->val.string)
        b.value.assign(reinterpret_cast<const char*>(vb->val.string), vb->val_len);
    return b;
}

void collect(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    if (reason != ZQSNMP_REASON_TRAP || pdu == nullptr) return;
    Event e{{pdu->enterprise, pdu->enterprise + pdu->enterprise_length}, pdu->trap_type, pdu->specific_type, {}, {}};
    if (pdu->community) e.community.assign(reinterpret_cast<const char*>(pdu->community), pdu->community_len);
    for (const ZqVarBind* vb = pdu->variables; vb; vb = vb->next_variable) e.bindings.push_back(binding_of(vb));
    static_cast<std::vector<Event>*>(data)->push_back(e);
    ZqsnmpFreePdu(pdu);
}

std::vector<ZqOid> oid(const ZqOid* o, size_t n) { return {o, o + n}; }

// One instance with its trapd for the whole program.
class TrvEvent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inst_ = std::make_unique<zqtest::Instance>();
        inst_->activate();
        trapd_ = std::make_unique<zqtest::Process>(
            std::vector<std::string>{zqtest::bin("trapd"), "--root", inst_->root, "--foreground"}, inst_->env());
        std::string filter = std::string(".") + ZQ_ENT_TEXT + ".*";
        zqtest::wait_until(
            [&] { return (rx_ = ZqsnmpEventOpen("127.0.0.1", "trvtest", collect, &seen_, filter.c_str())) != nullptr; },
            10000);
    }
    static void TearDownTestSuite() {
        ZqsnmpClose(rx_);
        trapd_.reset();
        inst_.reset();
    }
    void SetUp() override {
        ASSERT_NE(rx_, nullptr) << trapd_->err();
        szProgramName = "trvdis";
        seen_.clear();
    }

    // Waits for n events (or 10 seconds).
    static bool receive(size_t n) {
        return zqtest::read_events_until(rx_, [&] { return seen_.size() >= n; }, 10000);
    }

    static ZqPdu* source() { return ZqsnmpCreatePdu(ZQSNMP_TRAP); }

    static std::unique_ptr<zqtest::Instance> inst_;
    static std::unique_ptr<zqtest::Process> trapd_;
    static ZqSession* rx_;
    static std::vector<Event> seen_;
};
std::unique_ptr<zqtest::Instance> TrvEvent::inst_;
std::unique_ptr<zqtest::Process> TrvEvent::trapd_;
ZqSession* TrvEvent::rx_ = nullptr;
std::vector<Event> TrvEvent::seen_;

TEST_F(TrvEvent, BindingsAreRenamedToTheEnterpriseAndTheSourceStaysAsItWas) {
    const TrvEventDef* def = pGetEventDef(EVT_NODE_CHANGED);
    ZqPdu* src = source();
    const ZqOid one[] = {1};
    int32_t node = 4711;
    ASSERT_NE(ZqsnmpAddTypedVarBind(src, one, 1, ZQ_ASN_INTEGER, &node, 1), nullptr);

    EXPECT_EQ(iSendInternalEvent(src, def->aEnterprise, TRV_EVENT_OID_LEN, 6, EVT_NODE_CHANGED), 1);
    ASSERT_TRUE(receive(1));
    const Event& e = seen_[0];
    std::vector<ZqOid> ent = oid(def->aEnterprise, TRV_EVENT_OID_LEN);
    EXPECT_EQ(e.enterprise, ent);
    EXPECT_EQ(e.generic, 6);
    EXPECT_EQ(e.specific, 3002);
    ASSERT_EQ(e.bindings.size(), 1u);
    EXPECT_EQ(e.bindings[0].name, ent);
    EXPECT_EQ(e.bindings[0].type, ZQ_ASN_INTEGER);
    EXPECT_EQ(e.bindings[0].value, "4711");

    // The caller's PDU is untouched and still the caller's.
    ASSERT_NE(src->variables, nullptr);
    EXPECT_EQ(oid(src->variables->name, src->variables->name_length), std::vector<ZqOid>{1});
    EXPECT_EQ(*src->variables->val.integer, 4711);
    EXPECT_EQ(src->variables->next_variable, nullptr);
    ZqsnmpFreePdu(src);
}

TEST_F(TrvEvent, SeveralBindingsKeepOrderTypesAndCommunity) {
    const TrvEventDef* def = pGetEventDef(EVT_STATUS_REQUEST);
    ZqPdu* src = source();
    const ZqOid a[] = {1, 3, 6, 1, 4, 1, 99, 1}, b[] = {2};
    int32_t id = 12;
    ZqsnmpAddTypedVarBind(src, a, 8, ZQ_ASN_INTEGER, &id, 1);
    ZqsnmpAddTypedVarBind(src, b, 1, ZQ_ASN_OCTET_STR, "192.168.10.200", 14);
    const char community[] = "private";
    src->community = static_cast<unsigned char*>(ZqsnmpMalloc(7));
    std::memcpy(src->community, community, 7);  // no terminator
    src->community_len = 7;

    EXPECT_EQ(iSendInternalEvent(src, def->aEnterprise, TRV_EVENT_OID_LEN, 6, EVT_STATUS_REQUEST), 1);
    ASSERT_TRUE(receive(1));
    const Event& e = seen_[0];
    std::vector<ZqOid> ent = oid(def->aEnterprise, TRV_EVENT_OID_LEN);
    EXPECT_EQ(e.specific, 3004);
    EXPECT_EQ(e.community, "private");
    ASSERT_EQ(e.bindings.size(), 2u);
    EXPECT_EQ(e.bindings[0].name, ent);
    EXPECT_EQ(e.bindings[0].value, "12");
    EXPECT_EQ(e.bindings[1].name, ent);
    EXPECT_EQ(e.bindings[1].type, ZQ_ASN_OCTET_STR);
    EXPECT_EQ(e.bindings[1].value, "192.168.10.200");
    ZqsnmpFreePdu(src);
}

TEST_F(TrvEvent, UninstallRequestCarriesNoBindings) {
    const TrvEventDef* def = pGetEventDef(EVT_UNINSTALL_REQUEST);
    ZqPdu* src = source();
    EXPECT_EQ(iSendInternalEvent(src, def->aEnterprise, TRV_EVENT_OID_LEN, 6, EVT_UNINSTALL_REQUEST), 1);
    ASSERT_TRUE(receive(1));
    EXPECT_EQ(seen_[0].specific, 3005);
    EXPECT_EQ(seen_[0].enterprise, oid(def->aEnterprise, TRV_EVENT_OID_LEN));
    EXPECT_TRUE(seen_[0].bindings.empty());
    ZqsnmpFreePdu(src);
}

TEST_F(TrvEvent, TrapThatCannotBeSentIsFreedOnceAndReported) {
    // An OBJECT IDENTIFIER value that BER cannot encode (first arc above 2):
    // the library hands the new trap back, the sender frees it exactly once.
    const TrvEventDef* def = pGetEventDef(EVT_NODE_CHANGED);
    ZqPdu* src = source();
    const ZqOid one[] = {1}, bad[] = {7, 99};
    ASSERT_NE(ZqsnmpAddTypedVarBind(src, one, 1, ZQ_ASN_OBJECT_ID, bad, 2), nullptr);
    trvtest::StderrCapture cap;
    EXPECT_EQ(iSendInternalEvent(src, def->aEnterprise, TRV_EVENT_OID_LEN, 6, EVT_NODE_CHANGED), -1);
    EXPECT_NE(cap.text().find("(SYSTEM ERROR)"), std::string::npos);
    EXPECT_EQ(src->variables->val.objid[0], 7u);
    ZqsnmpFreePdu(src);

    // Nothing of it arrived: the next event is the first one seen.
    ZqPdu* next = source();
    EXPECT_EQ(iSendInternalEvent(next, def->aEnterprise, TRV_EVENT_OID_LEN, 6, EVT_NODE_CHANGED), 1);
    ASSERT_TRUE(receive(1));
    EXPECT_TRUE(seen_[0].bindings.empty());
    ZqsnmpFreePdu(next);
}

TEST_F(TrvEvent, SessionThatCannotBeOpenedFailsAndLeavesTheSource) {
    const TrvEventDef* def = pGetEventDef(EVT_NODE_CHANGED);
    ZqPdu* src = source();
    const ZqOid one[] = {1};
    int32_t node = 5;
    ZqsnmpAddTypedVarBind(src, one, 1, ZQ_ASN_INTEGER, &node, 1);

    // No descriptor left for a socket: the session cannot be opened.
    vCloseEventSender();
    struct rlimit saved {};
    getrlimit(RLIMIT_NOFILE, &saved);
    std::vector<int> fds;
    struct rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = dup(0)) >= 0;) fds.push_back(fd);
    int result = iSendInternalEvent(src, def->aEnterprise, TRV_EVENT_OID_LEN, 6, EVT_NODE_CHANGED);
    for (int fd : fds) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(oid(src->variables->name, src->variables->name_length), std::vector<ZqOid>{1});
    EXPECT_EQ(*src->variables->val.integer, 5);
    ZqsnmpFreePdu(src);
}

}  // namespace
