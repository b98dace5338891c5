// Requests against a real agent (Debian's snmpd on loopback) and traps sent to a
// UDP socket of the test, decoded with net-snmp.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_impl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <set>
#include <vector>

#include "internal.h"
#include "testsupport.h"
#include "zqsnmp.h"

namespace {

using zqtest::Instance;
using zqtest::Process;

const ZqOid kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const ZqOid kSysObjectId[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};
const ZqOid kSysName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
const ZqOid kSystem[] = {1, 3, 6, 1, 2, 1, 1};
const ZqOid kMissing[] = {1, 3, 6, 1, 2, 1, 1, 99, 0};
const ZqOid kEntInt[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};
const ZqOid kEntBytes[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 2, 0};
constexpr size_t kEntLeaf = ZQ_ENT_LENGTH + 5;

std::vector<ZqOid> name_of(const ZqVarBind* vb) { return {vb->name, vb->name + vb->name_length}; }
template <size_t N>
std::vector<ZqOid> oid_of(const ZqOid (&o)[N]) {
    return {o, o + N};
}

ZqPdu* request(int type, std::initializer_list<std::pair<const ZqOid*, size_t>> names) {
    ZqPdu* p = ZqsnmpCreatePdu(type);
    for (auto [n, len] : names) EXPECT_NE(ZqsnmpAddNullVarBind(p, n, len), nullptr);
    return p;
}

struct SessionCloser {
    void operator()(ZqSession* s) const { ZqsnmpClose(s); }
};
using SessionPtr = std::unique_ptr<ZqSession, SessionCloser>;

SessionPtr open(const char* host, const char* community = nullptr) {
    return SessionPtr(ZqsnmpOpen(community, host, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr));
}

// One instance and one snmpd for the whole program; each test rewrites the
// instance's conf/snmp.conf and conf/hosts as it needs.
class AgentTest : public ::testing::Test {
protected:
    static inline Instance* inst = nullptr;
    static inline std::unique_ptr<Process> snmpd;
    static inline int agent_port = 0;

    static void SetUpTestSuite() {
        inst = new Instance();
        inst->activate();
        agent_port = inst->snmp_port;
        snmpd = zqtest::start_snmpd(inst->dir.path, agent_port,
                                    "rocommunity public 127.0.0.1\n"
                                    "override ." ZQ_ENT_TEXT ".11.2.10.1.0 integer 305419896\n"
                                    "override ." ZQ_ENT_TEXT ".11.2.10.2.0 octet_str 0x480002ff\n");
    }
    static void TearDownTestSuite() {
        snmpd.reset();
        delete inst;
        inst = nullptr;
    }
    void SetUp() override {
        inst->activate();
        if (snmpd == nullptr) GTEST_SKIP() << "/usr/sbin/snmpd is not installed";
        snmp_conf("* port=" + std::to_string(agent_port) + " timeout=0.5 retries=1\n");
        zqtest::write_file(inst->root + "/conf/hosts", "");
    }
    static void snmp_conf(const std::string& text) { zqtest::write_file(inst->root + "/conf/snmp.conf", text); }
    static std::string silent() { return "timeout=0.2 retries=0"; }
};

TEST_F(AgentTest, GetReturnsBindingsInRequestOrder) {
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    EXPECT_GE(s->sock_fd, 0);
    ZqPdu* req = request(ZQSNMP_GET_REQ, {{kSysName, 9}, {kEntInt, kEntLeaf}, {kSysObjectId, 9},
                                          {kEntBytes, kEntLeaf}, {kSysDescr, 9}});
    ZqPdu* resp = ZqsnmpBlockingSend(s.get(), req);  // the request is consumed
    ASSERT_NE(resp, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    EXPECT_EQ(ZqsnmpErrno, 0);
    EXPECT_EQ(resp->command, ZQSNMP_RESPONSE);
    EXPECT_EQ(resp->errstat, 0);
    EXPECT_EQ(resp->version, 0);

    const ZqVarBind* vb = resp->variables;
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(name_of(vb), oid_of(kSysName));
    EXPECT_EQ(vb->type, ZQ_ASN_OCTET_STR);
    vb = vb->next_variable;
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(name_of(vb), oid_of(kEntInt));
    EXPECT_EQ(vb->type, ZQ_ASN_INTEGER);
    EXPECT_EQ(*vb->val.integer, 305419896);
    vb = vb->next_variable;
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(vb->type, ZQ_ASN_OBJECT_ID);
    ASSERT_GE(vb->val_len, 7u);
    EXPECT_EQ(std::vector<ZqOid>(vb->val.objid, vb->val.objid + 6), (std::vector<ZqOid>{1, 3, 6, 1, 4, 1}));
    vb = vb->next_variable;
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(vb->type, ZQ_ASN_OCTET_STR);
    ASSERT_EQ(vb->val_len, 4u);  // binary bytes, an embedded NUL counted
    EXPECT_EQ(std::memcmp(vb->val.string, "\x48\x00\x02\xff", 4), 0);
    EXPECT_EQ(vb->val.string[1], 0);  // the condition byte the status poll reads
    EXPECT_EQ(vb->val.string[4], 0);
    vb = vb->next_variable;
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(name_of(vb), oid_of(kSysDescr));
    EXPECT_GT(vb->val_len, 0u);
    EXPECT_EQ(vb->next_variable, nullptr);
    ZqsnmpFreePdu(resp);
}

TEST_F(AgentTest, GetNextWalksToTheFirstObject) {
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    ZqPdu* resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GETNEXT_REQ, {{kSystem, 7}}));
    ASSERT_NE(resp, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    ASSERT_NE(resp->variables, nullptr);
    EXPECT_EQ(name_of(resp->variables), oid_of(kSysDescr));
    ZqsnmpFreePdu(resp);

    // Beyond the agent's last object GetNext is noSuchName in SNMPv1.
    const ZqOid end[] = {1, 4};
    resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GETNEXT_REQ, {{end, 2}}));
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(resp->errstat, ZQ_ERR_NOSUCHNAME);
    EXPECT_EQ(resp->errindex, 1);
    ZqsnmpFreePdu(resp);
}

TEST_F(AgentTest, NamesThatBerCannotCarryAreRefusedNotAltered) {
    // "2" alone or "5.1" would reach the agent as some other OID.
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    const ZqOid one[] = {2};
    const ZqOid bad_first[] = {5, 1};
    const ZqOid bad_second[] = {1, 40};
    for (auto [name, len] : {std::pair<const ZqOid*, size_t>{one, 1}, {bad_first, 2}, {bad_second, 2}}) {
        ZqPdu* req = request(ZQSNMP_GETNEXT_REQ, {{name, len}});
        EXPECT_EQ(ZqsnmpBlockingSend(s.get(), req), nullptr);
        EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_ENCODE);
        ZqsnmpFreePdu(req);  // still the caller's
    }
    const ZqOid ok[] = {2, 999};
    ZqPdu* resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GETNEXT_REQ, {{ok, 2}}));
    ASSERT_NE(resp, nullptr);
    ZqsnmpFreePdu(resp);
}

TEST_F(AgentTest, NoSuchNameIsReportedAndFixPduRepairsTheRequest) {
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    ZqPdu* resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}, {kMissing, 9}, {kSysName, 9}}));
    ASSERT_NE(resp, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    EXPECT_EQ(ZqsnmpErrno, 0);  // an answer, even a negative one, is no library error
    EXPECT_EQ(resp->errstat, ZQ_ERR_NOSUCHNAME);
    EXPECT_EQ(resp->errindex, 2);

    ZqPdu* fixed = ZqsnmpFixPdu(resp, ZQSNMP_GET_REQ);
    ASSERT_NE(fixed, nullptr);
    ZqsnmpFreePdu(resp);
    resp = ZqsnmpBlockingSend(s.get(), fixed);
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(resp->errstat, 0);
    ASSERT_NE(resp->variables, nullptr);
    EXPECT_EQ(name_of(resp->variables), oid_of(kSysDescr));
    ASSERT_NE(resp->variables->next_variable, nullptr);
    EXPECT_EQ(name_of(resp->variables->next_variable), oid_of(kSysName));
    ZqsnmpFreePdu(resp);
}

TEST_F(AgentTest, SilenceIsATimeOutAndTheLibraryFreesTheRequest) {
    // Wrong community: an SNMPv1 agent stays silent.  Under ASan, freeing the
    // request here would be a double free and not freeing it in the library a leak.
    snmp_conf("* port=" + std::to_string(agent_port) + " " + silent() + "\n");
    SessionPtr s = open("127.0.0.1", "not-the-community");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}})), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_TIMEOUT);

    // A port where nobody listens.
    SessionPtr quiet = SessionPtr(
        ZqsnmpOpen(nullptr, "127.0.0.1", 0, 200, zqtest::free_udp_port(), 0xFFFF, nullptr, nullptr));
    ASSERT_NE(quiet, nullptr);
    EXPECT_EQ(ZqsnmpBlockingSend(quiet.get(), request(ZQSNMP_GETNEXT_REQ, {{kSystem, 7}})), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_TIMEOUT);
    EXPECT_STRNE(ZqsnmpErrString(ZqsnmpErrno), "Unknown error");
}

// What the callback of the asynchronous requests was told: reason and reqid.
std::vector<std::pair<int, int32_t>> g_async;
void on_async(int reason, ZqSession*, ZqPdu* pdu, void*) {
    g_async.emplace_back(reason, pdu != nullptr ? pdu->reqid : -1);
    ZqsnmpFreePdu(pdu);
}

TEST_F(AgentTest, AsyncRequestsAreAnsweredOnceEachThroughTheSessionsOwnWait) {
    // An answering session and a silent one (wrong community) with two retries:
    // each request gets exactly one callback, the silent one after its retries.
    g_async.clear();
    snmp_conf("* port=" + std::to_string(agent_port) + " timeout=0.15 retries=2\n");
    SessionPtr good(ZqsnmpOpen(nullptr, "127.0.0.1", -1, -1, 0xFFFF, 0xFFFF, on_async, nullptr));
    SessionPtr quiet(ZqsnmpOpen("not-the-community", "127.0.0.1", -1, -1, 0xFFFF, 0xFFFF, on_async, nullptr));
    ASSERT_NE(good, nullptr);
    ASSERT_NE(quiet, nullptr);
    int a = ZqsnmpAsyncSend(good.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}}));
    int b = ZqsnmpAsyncSend(good.get(), request(ZQSNMP_GETNEXT_REQ, {{kSystem, 7}}));
    int c = ZqsnmpAsyncSend(quiet.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}}));
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_GT(c, 0);
    ZqPdu* trap = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    EXPECT_EQ(ZqsnmpAsyncSend(good.get(), trap), -1);  // only Get and GetNext
    ZqsnmpFreePdu(trap);
    for (int round = 0; round < 200 && g_async.size() < 3; ++round) {
        fd_set set;
        FD_ZERO(&set);
        int width = 0;
        timeval tv{1, 0};
        ASSERT_GE(ZqsnmpAsyncSelectInfo(&width, &set, &tv), 1);
        EXPECT_LE(tv.tv_sec, 1);
        select(width, &set, nullptr, nullptr, &tv);
        ZqsnmpAsyncRead(&set);
    }
    ASSERT_EQ(g_async.size(), 3u);
    std::set<std::pair<int, int32_t>> got(g_async.begin(), g_async.end());
    EXPECT_EQ(got, (std::set<std::pair<int, int32_t>>{
                       {ZQSNMP_REASON_RESPONSE, a}, {ZQSNMP_REASON_RESPONSE, b}, {ZQSNMP_REASON_NORESPONSE, c}}));
    EXPECT_EQ(g_async.back(), std::make_pair(ZQSNMP_REASON_NORESPONSE, c)) << "after its retries";
    // Nothing waits any more; a session closed with a request waiting calls nothing.
    fd_set set;
    FD_ZERO(&set);
    int width = 0;
    timeval tv{1, 0};
    EXPECT_EQ(ZqsnmpAsyncSelectInfo(&width, &set, &tv), 0);
    ASSERT_GT(ZqsnmpAsyncSend(quiet.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}})), 0);
    quiet.reset();
    EXPECT_EQ(ZqsnmpAsyncSelectInfo(&width, &set, &tv), 0);
    EXPECT_EQ(g_async.size(), 3u);
}

TEST_F(AgentTest, AFailedSendLeavesTheRequestWithTheCaller) {
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    ZqPdu* req = request(ZQSNMP_GET_REQ, {{kSysDescr, 9}});
    req->variables->type = 0x99;  // cannot be encoded
    EXPECT_EQ(ZqsnmpBlockingSend(s.get(), req), nullptr);
    EXPECT_NE(ZqsnmpErrno, 0);
    EXPECT_NE(ZqsnmpErrno, ZQSNMP_E_TIMEOUT);
    EXPECT_EQ(req->command, ZQSNMP_GET_REQ);  // still alive and ours
    ZqsnmpFreePdu(req);

    ZqPdu* response = ZqsnmpCreatePdu(ZQSNMP_RESPONSE);
    EXPECT_EQ(ZqsnmpBlockingSend(s.get(), response), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADPDUTYPE);
    ZqsnmpFreePdu(response);

    ZqPdu* orphan = request(ZQSNMP_GET_REQ, {{kSysDescr, 9}});
    EXPECT_EQ(ZqsnmpBlockingSend(nullptr, orphan), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADARG);
    ZqsnmpFreePdu(orphan);
}

TEST_F(AgentTest, UnknownHostIs22AndNullsAreHarmless) {
    EXPECT_EQ(open("no-such-host.invalid"), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADHOST);
    EXPECT_EQ(open(":161"), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADHOST);
    ZqsnmpFreePdu(nullptr);
    EXPECT_EQ(ZqsnmpClose(nullptr), 0);
    EXPECT_EQ(ZqsnmpErrno, 0);
}

TEST_F(AgentTest, ConfigurationChoosesCommunityPortAndTimeOut) {
    // The first matching line wins over "*"; null community, -1 and 0xFFFF take it.
    snmp_conf("10.* community=nobody port=1\n"
              "127.0.0.* community=public port=" + std::to_string(agent_port) + " timeout=0.3 retries=2\n"
              "* community=wrong port=1 " + silent() + "\n");
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->impl->community, "public");
    EXPECT_EQ(s->impl->remote_port, agent_port);
    EXPECT_EQ(s->impl->timeout_ms, 300);
    EXPECT_EQ(s->impl->retries, 2);
    ZqPdu* resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}}));
    ASSERT_NE(resp, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    ZqsnmpFreePdu(resp);

    // The configured community is wrong: the agent stays silent.
    snmp_conf("* community=wrong port=" + std::to_string(agent_port) + " " + silent() + "\n");
    s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}})), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_TIMEOUT);
    // An explicit community, retries and time-out win over the configuration.
    s = SessionPtr(ZqsnmpOpen("public", "127.0.0.1", 1, 700, 0xFFFF, 0xFFFF, nullptr, nullptr));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->impl->timeout_ms, 700);
    EXPECT_EQ(s->impl->retries, 1);
    resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}}));
    ASSERT_NE(resp, nullptr);
    ZqsnmpFreePdu(resp);
}

TEST_F(AgentTest, HostsFileAndHostPortAreHonoured) {
    zqtest::write_file(inst->root + "/conf/hosts", "# managed nodes\n127.0.0.1   agent-one  alias-one\n");
    snmp_conf("agent-one community=public port=" + std::to_string(agent_port) + "\n* port=1 " + silent() + "\n");
    SessionPtr s = open("agent-one");
    ASSERT_NE(s, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    ZqPdu* resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}}));
    ASSERT_NE(resp, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    ZqsnmpFreePdu(resp);

    // "name:port" sets the port when the configuration says otherwise.
    s = open(("alias-one:" + std::to_string(agent_port)).c_str());
    ASSERT_NE(s, nullptr);
    resp = ZqsnmpBlockingSend(s.get(), request(ZQSNMP_GET_REQ, {{kSysDescr, 9}}));
    ASSERT_NE(resp, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    ZqsnmpFreePdu(resp);
}

// --- traps -----------------------------------------------------------------

// A UDP socket of the test on 127.0.0.1:port.
struct TrapSink {
    int fd = -1;
    explicit TrapSink(int port) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    }
    ~TrapSink() { close(fd); }
    // The next datagram decoded by net-snmp (the caller frees it), or null.
    netsnmp_pdu* receive(std::string& community) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return nullptr;
        u_char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return nullptr;
        u_char comm[256];
        size_t comm_len = sizeof comm;
        long version = -1;
        size_t len = static_cast<size_t>(n);
        u_char* data = snmp_comstr_parse(buf, &len, comm, &comm_len, &version);
        if (data == nullptr || version != SNMP_VERSION_1) return nullptr;
        community.assign(reinterpret_cast<char*>(comm), comm_len);
        netsnmp_pdu* pdu = snmp_pdu_create(0);
        pdu->version = version;
        if (snmp_pdu_parse(pdu, data, &len) != 0) {
            snmp_free_pdu(pdu);
            return nullptr;
        }
        return pdu;
    }
};

std::vector<oid> oids(const oid* o, size_t n) { return {o, o + n}; }

TEST_F(AgentTest, TrapGoesToThisInstancesTrapPortAsSnmpV1) {
    TrapSink sink(inst->trap_port);
    SessionPtr s = open("127.0.0.1", "quillfern");
    ASSERT_NE(s, nullptr);
    ZqPdu* trap = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    // Not a control event: without trapd those never go as a datagram.
    const ZqOid ent[] = {ZQ_ENT_SUBIDS, 1, 3, 1};
    trap->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof ent));
    std::memcpy(trap->enterprise, ent, sizeof ent);
    trap->enterprise_length = ZQ_ENT_LENGTH + 3;
    trap->trap_type = 6;
    trap->specific_type = 3002;
    int32_t id = 0x01020304;
    ASSERT_NE(ZqsnmpAddTypedVarBind(trap, ent, ZQ_ENT_LENGTH + 3, ZQ_ASN_INTEGER, &id, 1), nullptr);
    ASSERT_NE(ZqsnmpAddTypedVarBind(trap, ent, ZQ_ENT_LENGTH + 3, ZQ_ASN_OCTET_STR, "10.1.2.3", 8), nullptr);
    EXPECT_EQ(ZqsnmpBlockingSend(s.get(), trap), nullptr);  // sent and consumed
    EXPECT_EQ(ZqsnmpErrno, 0);

    std::string community;
    netsnmp_pdu* got = sink.receive(community);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->command, SNMP_MSG_TRAP);
    EXPECT_EQ(community, "quillfern");
    std::vector<oid> want_ent(ent, ent + ZQ_ENT_LENGTH + 3);
    EXPECT_EQ(oids(got->enterprise, got->enterprise_length), want_ent);
    EXPECT_EQ(got->trap_type, 6);
    EXPECT_EQ(got->specific_type, 3002);
    const unsigned char loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(got->agent_addr, loopback, 4), 0);  // unset -> the sender's address
    EXPECT_NE(got->time, 0u);                                 // unset -> the process's up-time
    netsnmp_variable_list* v = got->variables;
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(oids(v->name, v->name_length), want_ent);
    EXPECT_EQ(v->type, ASN_INTEGER);
    EXPECT_EQ(*v->val.integer, 0x01020304L);  // the full value, though the length was 1
    v = v->next_variable;
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, ASN_OCTET_STR);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(v->val.string), v->val_len), "10.1.2.3");
    EXPECT_EQ(v->next_variable, nullptr);
    snmp_free_pdu(got);
}

TEST_F(AgentTest, TrapKeepsAgentAddressAndTimeStampThatWereSet) {
    TrapSink sink(inst->trap_port);
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    ZqPdu* trap = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    const unsigned char agent[4] = {10, 1, 2, 3};
    std::memcpy(trap->agent_addr, agent, 4);
    trap->time = 4242;
    trap->trap_type = 3;  // linkUp, no enterprise given: the platform's arc is used
    EXPECT_EQ(ZqsnmpBlockingSend(s.get(), trap), nullptr);

    std::string community;
    netsnmp_pdu* got = sink.receive(community);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(community, "public");  // the session's (configured) community
    EXPECT_EQ(std::memcmp(got->agent_addr, agent, 4), 0);
    EXPECT_EQ(got->time, 4242u);
    EXPECT_EQ(got->trap_type, 3);
    const ZqOid zent[] = {ZQ_ZENT_SUBIDS};
    EXPECT_EQ(oids(got->enterprise, got->enterprise_length), std::vector<oid>(zent, zent + ZQ_ZENT_LENGTH));
    EXPECT_EQ(got->variables, nullptr);
    snmp_free_pdu(got);
}

TEST_F(AgentTest, UnsentTrapIsReturnedToTheCaller) {
    SessionPtr s = open("127.0.0.1");
    ASSERT_NE(s, nullptr);
    ZqPdu* trap = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    ZqsnmpAddNullVarBind(trap, kSysDescr, 9);
    trap->variables->type = 0x99;
    EXPECT_EQ(ZqsnmpBlockingSend(s.get(), trap), trap);  // the same PDU, still ours
    EXPECT_NE(ZqsnmpErrno, 0);
    ZqsnmpFreePdu(trap);

    ZqPdu* again = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    EXPECT_EQ(ZqsnmpBlockingSend(nullptr, again), again);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADARG);
    ZqsnmpFreePdu(again);
}

}  // namespace
