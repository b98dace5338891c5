// Traps sent with ZqsnmpBlockingSend reach the event sessions of a real trapd:
// over UDP from a request session, and through a send-only event session.
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "eventread.h"
#include "testsupport.h"
#include "zqsnmp.h"

namespace {

struct Seen {
    int32_t specific;
    unsigned char agent[4];
    uint32_t time;
    std::vector<ZqOid> trap_id;
};

void collect(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    if (reason != ZQSNMP_REASON_TRAP || pdu == nullptr) return;
    Seen s{pdu->specific_type, {}, pdu->time, {}};
    std::memcpy(s.agent, pdu->agent_addr, 4);
    if (pdu->trap_id) s.trap_id.assign(pdu->trap_id, pdu->trap_id + pdu->trap_id_length);
    static_cast<std::vector<Seen>*>(data)->push_back(s);
    ZqsnmpFreePdu(pdu);
}

const ZqOid kEnt[] = {ZQ_ENT_SUBIDS, 1, 3, 12};
constexpr size_t kEntLen = ZQ_ENT_LENGTH + 3;

ZqPdu* event(int specific) {
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    p->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof kEnt));
    std::memcpy(p->enterprise, kEnt, sizeof kEnt);
    p->enterprise_length = kEntLen;
    p->trap_type = 6;
    p->specific_type = specific;
    int32_t id = specific;
    ZqsnmpAddTypedVarBind(p, kEnt, kEntLen, ZQ_ASN_INTEGER, &id, 1);
    return p;
}

TEST(ZqsnmpThroughTrapd, BlockingSendReachesEveryEventSession) {
    if (access(zqtest::bin("trapd").c_str(), X_OK) != 0) GTEST_SKIP() << "trapd is not built";
    zqtest::Instance inst;
    inst.activate();
    zqtest::Process trapd({zqtest::bin("trapd"), "--root", inst.root, "--foreground"}, inst.env());
    std::vector<Seen> seen;
    ZqSession* rx = nullptr;
    ASSERT_TRUE(zqtest::wait_until(
        [&] { return (rx = ZqsnmpEventOpen("127.0.0.1", "zqsnmp-test", collect, &seen, ".*")) != nullptr; }, 10000))
        << trapd.err();

    // A send-only event session: an event handed over with ZqsnmpEventSend and then
    // one with ZqsnmpBlockingSend arrive in the order they were sent.
    ZqSession* tx = ZqsnmpEventOpen("127.0.0.1", nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(tx, nullptr);
    ASSERT_GE(ZqsnmpEventSend(tx, event(3001), nullptr, 0), 0);
    EXPECT_EQ(ZqsnmpBlockingSend(tx, event(3002)), nullptr);
    EXPECT_EQ(ZqsnmpErrno, 0);
    // A request session to the local host: an SNMPv1 trap to this instance's trap port.
    ZqSession* req = ZqsnmpOpen(nullptr, "127.0.0.1", -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(ZqsnmpBlockingSend(req, event(3004)), nullptr);
    EXPECT_EQ(ZqsnmpErrno, 0);

    zqtest::read_events_until(rx, [&] { return seen.size() >= 3; }, 10000);
    ASSERT_EQ(seen.size(), 3u) << trapd.err();
    std::vector<int32_t> order;
    for (const Seen& s : seen) order.push_back(s.specific);
    auto pos = [&](int32_t sp) { return std::find(order.begin(), order.end(), sp) - order.begin(); };
    EXPECT_LT(pos(3001), pos(3002));
    EXPECT_LT(pos(3004), 3);
    const unsigned char loopback[4] = {127, 0, 0, 1};
    std::vector<ZqOid> want_id(kEnt, kEnt + kEntLen);
    want_id.push_back(0);
    for (const Seen& s : seen) {
        if (s.specific == 3001) continue;  // ZqsnmpEventSend's defaults are the event side's
        SCOPED_TRACE(s.specific);
        EXPECT_EQ(std::memcmp(s.agent, loopback, 4), 0);
        EXPECT_NE(s.time, 0u);
        std::vector<ZqOid> id = want_id;
        id.push_back(static_cast<ZqOid>(s.specific));
        EXPECT_EQ(s.trap_id, id);
    }
    ZqsnmpClose(req);
    ZqsnmpClose(tx);
    ZqsnmpClose(rx);
}

}  // namespace
