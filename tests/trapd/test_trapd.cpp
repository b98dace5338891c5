// trapd with real peers: net-snmp's snmptrap, the library's event sessions,
// zqevents and snmpnotify, and hostile input on both ports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "ber.h"
#include "testsupport.h"
#include "wire.h"
#include "zqsnmp.h"

using zqtest::Process;

namespace {

const std::vector<uint32_t> kEnt = {1, 3, 6, 1, 4, 1, 64001, 1, 3};
const std::string kEntText = "1.3.6.1.4.1.64001";

std::string oid_text(const ZqOid* o, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (i ? "." : "") + std::to_string(o[i]);
    return s;
}

// What a session received, copied out of the delivered PDUs.
struct Got {
    int reason = 0;
    int version = -1;
    std::string community, enterprise, agent, trap_id;
    int generic = -1, specific = -1;
    uint32_t time = 0;
    std::vector<std::string> bindings;  // "oid type value"
};

struct Sink {
    std::vector<Got> got;
    bool close_in_callback = false;
};

void collect(int reason, ZqSession* s, ZqPdu* pdu, void* data) {
    auto* sink = static_cast<Sink*>(data);
    Got g;
    g.reason = reason;
    if (pdu) {
        g.version = pdu->version;
        g.community.assign(reinterpret_cast<char*>(pdu->community), pdu->community_len);
        g.enterprise = oid_text(pdu->enterprise, pdu->enterprise_length);
        char a[16];
        snprintf(a, sizeof a, "%d.%d.%d.%d", pdu->agent_addr[0], pdu->agent_addr[1], pdu->agent_addr[2],
                 pdu->agent_addr[3]);
        g.agent = a;
        g.trap_id = oid_text(pdu->trap_id, pdu->trap_id_length);
        g.generic = pdu->trap_type;
        g.specific = pdu->specific_type;
        g.time = pdu->time;
        EXPECT_EQ(pdu->command, ZQSNMP_TRAP);
        for (ZqVarBind* vb = pdu->variables; vb; vb = vb->next_variable) {
            std::string v;
            if (vb->type == ZQ_ASN_OCTET_STR) v.assign(reinterpret_cast<char*>(vb->val.string), vb->val_len);
            else if (vb->type == ZQ_ASN_INTEGER) v = std::to_string(*vb->val.integer);
            else if (vb->type == ZQ_ASN_OBJECT_ID) v = oid_text(vb->val.objid, vb->val_len);
            g.bindings.push_back(oid_text(vb->name, vb->name_length) + " " + std::to_string(vb->type) + " " + v);
        }
    }
    sink->got.push_back(g);
    ZqsnmpFreePdu(pdu);
    if (sink->close_in_callback) ZqsnmpClose(s);
}

// Reads the sessions until `want` callbacks arrived at the sink of `s` or the time is up.
void pump(const std::vector<ZqSession*>& sessions, const Sink& sink, size_t want, int ms) {
    zqtest::wait_until(
        [&] {
            fd_set rs;
            FD_ZERO(&rs);
            int maxfd = -1;
            for (auto* s : sessions)
                if (s->sock_fd >= 0) {
                    FD_SET(s->sock_fd, &rs);
                    maxfd = std::max(maxfd, s->sock_fd);
                }
            if (maxfd < 0) return true;
            timeval tv{0, 20000};
            if (select(maxfd + 1, &rs, nullptr, nullptr, &tv) > 0) ZqsnmpRead(&rs);
            return sink.got.size() >= want;
        },
        ms, 0);
}

void send_udp(int port, const std::string& d) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    close(fd);
}

// A TCP connection to the event port from a loopback source address of its own.
int connect_tcp_from(const std::string& source, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_tcp(int port) { return connect_tcp_from("127.0.0.1", port); }

// True when trapd closed the connection (EOF within the time).
bool closed_by_peer(int fd, int ms) {
    return zqtest::wait_until(
        [&] {
            char b[4096];
            ssize_t r = recv(fd, b, sizeof b, MSG_DONTWAIT);
            return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        ms);
}

std::string ent_trap(uint32_t specific, const std::string& text) {
    return ber::v1_trap("public", kEnt, "\x0a\x01\x02\x03", 6, static_cast<int>(specific), 77,
                        ber::varbind({1, 3, 6, 1, 2, 1, 1, 5, 0}, ber::octets(text)));
}

class TrapdTest : public ::testing::Test {
protected:
    void SetUp() override {
        inst = std::make_unique<zqtest::Instance>();
        inst->activate();
        set_conf("trap_communities", "public,pub2");
        start_trapd();
    }
    void start_trapd(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {zqtest::bin("trapd"), "--root", inst->root};
        argv.insert(argv.end(), extra.begin(), extra.end());
        trapd = std::make_unique<Process>(argv);
        ASSERT_TRUE(trapd->wait_for_err("listening", 10000)) << trapd->err();
    }
    // Stops trapd and returns its log.
    std::string stop_trapd() {
        EXPECT_EQ(trapd->stop(), 0);
        return zqtest::read_file(inst->root + "/log/trapd.log");
    }
    ZqSession* open(Sink& sink, const char* filter, const char* name = "test") {
        ZqSession* s = ZqsnmpEventOpen("127.0.0.1", name, collect, &sink, filter);
        EXPECT_NE(s, nullptr) << ZqsnmpErrno;
        return s;
    }
    // Replaces the line of key in conf/zq.conf (or adds it).
    void set_conf(const std::string& key, const std::string& value) {
        std::string path = inst->root + "/conf/zq.conf";
        std::istringstream in(zqtest::read_file(path));
        std::string line, out;
        while (std::getline(in, line))
            if (line.rfind(key + "=", 0) != 0) out += line + "\n";
        zqtest::write_file(path, out + key + "=" + value + "\n");
    }
    // The instance's session key, as trapd wrote it.
    std::string key() const {
        std::string k = zqtest::read_file(inst->root + "/run/trapd.key");
        while (!k.empty() && k.back() == '\n') k.pop_back();
        return k;
    }
    ZqPdu* ent_pdu(uint32_t sub, int32_t specific) {
        ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_TRAP);
        std::vector<uint32_t> ent = {1, 3, 6, 1, 4, 1, 64001, 1, 3, sub};
        p->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(ent.size() * sizeof(ZqOid)));
        std::copy(ent.begin(), ent.end(), p->enterprise);
        p->enterprise_length = ent.size();
        p->trap_type = 6;
        p->specific_type = specific;
        int32_t v = 42;
        EXPECT_NE(ZqsnmpAddTypedVarBind(p, p->enterprise, p->enterprise_length, ZQ_ASN_INTEGER, &v, 1), nullptr);
        return p;
    }

    std::unique_ptr<zqtest::Instance> inst;
    std::unique_ptr<Process> trapd;
};

}  // namespace

TEST_F(TrapdTest, SnmptrapV1AndV2cReachASessionWithEveryField) {
    Sink sink;
    ZqSession* s = open(sink, ".*");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->flags & ZQSNMP_FLAG_V1_FORM, unsigned{ZQSNMP_FLAG_V1_FORM});
    std::string dest = "127.0.0.1:" + std::to_string(inst->trap_port);
    auto r = zqtest::run({"/usr/bin/snmptrap", "-v1", "-c", "public", dest, kEntText + ".1.3", "10.1.2.3", "6",
                          "1001", "1234", "1.3.6.1.2.1.1.5.0", "s", "hello", "1.3.6.1.2.1.2.2.1.1.1", "i", "-5"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = zqtest::run({"/usr/bin/snmptrap", "-v2c", "-c", "pub2", dest, "555", kEntText + ".1.3.0.77",
                     "1.3.6.1.6.3.18.1.3.0", "a", "10.9.8.7", "1.3.6.1.2.1.1.2.0", "o", "1.3.6.1.4.1.5"});
    ASSERT_EQ(r.status, 0) << r.err;
    pump({s}, sink, 2, 10000);
    ASSERT_EQ(sink.got.size(), 2u);
    const Got& a = sink.got[0];
    EXPECT_EQ(a.reason, ZQSNMP_REASON_TRAP);
    EXPECT_EQ(a.version, 0);
    EXPECT_EQ(a.community, "public");
    EXPECT_EQ(a.enterprise, kEntText + ".1.3");
    EXPECT_EQ(a.agent, "10.1.2.3");
    EXPECT_EQ(a.generic, 6);
    EXPECT_EQ(a.specific, 1001);
    EXPECT_EQ(a.time, 1234u);
    EXPECT_EQ(a.trap_id, kEntText + ".1.3.0.1001");
    EXPECT_EQ(a.bindings, (std::vector<std::string>{"1.3.6.1.2.1.1.5.0 4 hello", "1.3.6.1.2.1.2.2.1.1.1 2 -5"}));
    const Got& b = sink.got[1];
    EXPECT_EQ(b.version, 1);
    EXPECT_EQ(b.community, "pub2");
    EXPECT_EQ(b.enterprise, kEntText + ".1.3");
    EXPECT_EQ(b.agent, "10.9.8.7");
    EXPECT_EQ(b.generic, 6);
    EXPECT_EQ(b.specific, 77);
    EXPECT_EQ(b.time, 555u);
    EXPECT_EQ(b.trap_id, kEntText + ".1.3.0.77");
    ASSERT_EQ(b.bindings.size(), 2u);
    EXPECT_EQ(b.bindings[1], "1.3.6.1.2.1.1.2.0 6 1.3.6.1.4.1.5");
    ZqsnmpClose(s);
    std::string log = stop_trapd();
    EXPECT_NE(log.find("trap_id=" + kEntText + ".1.3.0.1001"), std::string::npos) << log;
    EXPECT_NE(log.find("trap_id=" + kEntText + ".1.3.0.77"), std::string::npos) << log;
}

TEST_F(TrapdTest, ZqeventsJsonAndSnmpnotify) {
    auto now = [] {
        time_t t = time(nullptr);
        struct tm u {};
        gmtime_r(&t, &u);
        char text[32];
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &u);
        return std::string(text);
    };
    std::string before = now();
    Process ev({zqtest::bin("zqevents"), "--json", "--count", "3", "--timeout", "20"}, inst->env());
    ASSERT_TRUE(ev.wait_for_err("listening", 10000)) << ev.err();
    auto r = zqtest::run({"/usr/bin/snmptrap", "-v1", "-c", "public", "127.0.0.1:" + std::to_string(inst->trap_port),
                          kEntText + ".1.3", "10.1.2.3", "6", "5", "99", "1.3.6.1.2.1.1.5.0", "x", "00ff01",
                          "1.3.6.1.2.1.1.7.0", "u", "4000000000"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = zqtest::run({zqtest::bin("snmpnotify"), "-a", "10.7.7.7", "-c", "quill", "localhost", "ENT.1.3.1.0.105",
                     ".ENT.1.3.1.100.1", "octetstring", "VELMSVM - label text", "1.3.6.1.2.1.1.3.0", "timeticks", "12",
                     "1.3.6.1.2.1.1.2.0", "objectid", "ENT.1", "1.3.6.1.2.1.4.20.1.1.1", "ipaddress", "10.0.0.1"},
                    inst->env());
    ASSERT_EQ(r.status, 0) << r.err;
    r = zqtest::run({"/usr/bin/snmptrap", "-v2c", "-c", "public", "127.0.0.1:" + std::to_string(inst->trap_port), "",
                     kEntText + ".1.3.0.6"},
                    {{"MIBS", ""}});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(ev.wait(20000), 0) << ev.err();
    std::string after = now() + "~";
    std::vector<nlohmann::json> lines;
    std::string out = ev.out();
    for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(nlohmann::json::parse(out.substr(pos, nl - pos)));
    ASSERT_EQ(lines.size(), 3u) << out;
    // The receive time of each event, and the version it came in.
    for (const auto& l : lines) {
        std::string received = l["received"];
        EXPECT_EQ(received.size(), 24u) << received;  // 2026-12-08T08:15:00.123Z
        EXPECT_GE(received, before);
        EXPECT_LE(received, after);
    }
    EXPECT_EQ(lines[0]["version"], "v1");
    EXPECT_EQ(lines[1]["version"], "v1");
    EXPECT_EQ(lines[2]["version"], "v2c");
    EXPECT_EQ(lines[2]["trap_id"], kEntText + ".1.3.0.6");
    auto& a = lines[0];
    EXPECT_EQ(a["agent"], "10.1.2.3");
    EXPECT_EQ(a["community"], "public");
    EXPECT_EQ(a["enterprise"], kEntText + ".1.3");
    EXPECT_EQ(a["generic"], 6);
    EXPECT_EQ(a["specific"], 5);
    EXPECT_EQ(a["timestamp"], 99);
    EXPECT_EQ(a["trap_id"], kEntText + ".1.3.0.5");
    EXPECT_EQ(a["varbinds"][0]["type"], "OCTET STRING");
    EXPECT_EQ(a["varbinds"][0]["hex"], "00ff01");
    EXPECT_FALSE(a["varbinds"][0].contains("value"));
    EXPECT_EQ(a["varbinds"][1]["type"], "Gauge32");
    EXPECT_EQ(a["varbinds"][1]["value"], 4000000000u);
    auto& b = lines[1];
    EXPECT_EQ(b["agent"], "10.7.7.7");
    EXPECT_EQ(b["community"], "quill");
    EXPECT_EQ(b["enterprise"], kEntText + ".1.3.1");
    EXPECT_EQ(b["specific"], 105);
    EXPECT_EQ(b["trap_id"], kEntText + ".1.3.1.0.105");
    ASSERT_EQ(b["varbinds"].size(), 4u);
    EXPECT_EQ(b["varbinds"][0]["oid"], kEntText + ".1.3.1.100.1");
    EXPECT_EQ(b["varbinds"][0]["value"], "VELMSVM - label text");
    EXPECT_EQ(b["varbinds"][1]["type"], "TimeTicks");
    EXPECT_EQ(b["varbinds"][1]["value"], 12);
    EXPECT_EQ(b["varbinds"][2]["value"], kEntText + ".1");
    EXPECT_EQ(b["varbinds"][3]["type"], "IpAddress");
    EXPECT_EQ(b["varbinds"][3]["value"], "10.0.0.1");

    // Refusals: a remote server, a bad OID, a bad type; and a time-out exits 1.
    for (std::vector<std::string> args : {std::vector<std::string>{"192.0.2.1", "ENT.1.0.1"},
                                          {"localhost", "ENT.1.1"},
                                          {"localhost", "ENT.1.0.1", "1.3.6", "float", "1"},
                                          {"localhost", "ENT.1.0.1", "1.3.6", "integer", "12x"}}) {
        args.insert(args.begin(), zqtest::bin("snmpnotify"));
        r = zqtest::run(args, inst->env());
        EXPECT_NE(r.status, 0) << args[1];
        EXPECT_NE(r.err.find("snmpnotify:"), std::string::npos);
    }
    r = zqtest::run({zqtest::bin("zqevents"), "--timeout", "0.2"}, inst->env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("listening"), std::string::npos);
}

TEST_F(TrapdTest, FiltersChooseTheSessionsForBlockingSendAndEventSend) {
    Sink all, ent, other, sender_sink;
    ZqSession* s_all = open(all, ".*", "all");
    ZqSession* s_ent = open(ent, ("." + kEntText + ".*").c_str(), "ent");
    ZqSession* s_other = open(other, ".1.3.6.1.4.1.99999.*", "other");
    ZqSession* sender = ZqsnmpEventOpen("localhost", nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(s_all && s_ent && s_other && sender);

    // An SNMPv1 trap through a request session to the local host's trap port.
    ZqSession* req = ZqsnmpOpen(nullptr, "127.0.0.1", -1, -1, 0xffff, 0xffff, nullptr, nullptr);
    ASSERT_NE(req, nullptr) << ZqsnmpErrno;
    EXPECT_EQ(ZqsnmpBlockingSend(req, ent_pdu(3, 3002)), nullptr) << ZqsnmpErrno;
    ZqsnmpClose(req);

    // An event through a send-only session; the agent address comes from the record.
    ZqPdu* p = ent_pdu(12, 3004);
    ZqEventAddr addr{2, 162, {10, 1, 2, 3}, {0}};
    ASSERT_GE(ZqsnmpEventSend(sender, p, &addr, 0), 0) << ZqsnmpErrno;
    // A request PDU is refused and stays the caller's.
    ZqPdu* get = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    EXPECT_LT(ZqsnmpEventSend(sender, get, nullptr, 0), 0);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADPDUTYPE);
    ZqsnmpFreePdu(get);
    // A trap outside ENT reaches only ".*".
    send_udp(inst->trap_port, ber::v1_trap("public", {1, 3, 6, 1, 4, 1, 5}, "\1\2\3\4", 6, 1, 1, ""));

    pump({s_all, s_ent, s_other}, all, 3, 10000);
    pump({s_all, s_ent, s_other}, ent, 2, 2000);
    ASSERT_EQ(all.got.size(), 3u);
    ASSERT_EQ(ent.got.size(), 2u);
    EXPECT_TRUE(other.got.empty());
    // The UDP trap and the session's event take different roads: either may come first.
    if (ent.got[0].trap_id != kEntText + ".1.3.3.0.3002") std::swap(ent.got[0], ent.got[1]);
    EXPECT_EQ(ent.got[0].trap_id, kEntText + ".1.3.3.0.3002");
    EXPECT_EQ(ent.got[0].bindings.at(0), kEntText + ".1.3.3 2 42");
    EXPECT_NE(ent.got[0].time, 0u);  // the library's up-time
    EXPECT_EQ(ent.got[1].trap_id, kEntText + ".1.3.12.0.3004");
    EXPECT_EQ(ent.got[1].agent, "10.1.2.3");
    std::multiset<std::string> ids;
    for (const auto& g : all.got) ids.insert(g.trap_id);
    EXPECT_EQ(ids, (std::multiset<std::string>{kEntText + ".1.3.3.0.3002", kEntText + ".1.3.12.0.3004",
                                               "1.3.6.1.4.1.5.0.1"}));
    // The send-only session never receives anything.
    fd_set rs;
    FD_ZERO(&rs);
    FD_SET(sender->sock_fd, &rs);
    timeval tv{0, 0};
    EXPECT_EQ(select(sender->sock_fd + 1, &rs, nullptr, nullptr, &tv), 0);
    for (auto* s : {s_all, s_ent, s_other, sender}) EXPECT_EQ(ZqsnmpClose(s), 0);
}

TEST_F(TrapdTest, OpenRefusesBadArgumentsAndAMissingTrapd) {
    Sink sink;
    EXPECT_EQ(ZqsnmpEventOpen("10.1.2.3", "x", collect, &sink, ".*"), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_NOTLOCAL);
    for (const char* f : {".1.3.6", "1.3.*.4", "", ".a.b.*"}) {
        EXPECT_EQ(ZqsnmpEventOpen(nullptr, "x", collect, &sink, f), nullptr) << f;
        EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_BADFILTER) << f;
    }
    ZqSession* s = ZqsnmpTrapOpen(collect, &sink);
    ASSERT_NE(s, nullptr);
    // trapd ends: the session reports 57 once and is dead; the caller still closes it.
    stop_trapd();
    pump({s}, sink, 1, 10000);
    ASSERT_EQ(sink.got.size(), 1u);
    EXPECT_EQ(sink.got[0].reason, ZQSNMP_REASON_LOST);
    EXPECT_EQ(s->sock_fd, -1);
    ZqPdu* p = ent_pdu(3, 1);
    EXPECT_LT(ZqsnmpEventSend(s, p, nullptr, 0), 0);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_CLOSED);
    ZqsnmpFreePdu(p);
    EXPECT_EQ(ZqsnmpClose(s), 0);
    EXPECT_EQ(ZqsnmpEventOpen(nullptr, "x", collect, &sink, ".*"), nullptr);
    EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_NOTRAPD);
}

TEST_F(TrapdTest, HostileDatagramsAndRecordsAreDroppedAndCounted) {
    Sink sink;
    ZqSession* s = open(sink, ".*");
    ASSERT_NE(s, nullptr);
    std::mt19937 rng(99);
    std::string good = ent_trap(1, "first");
    for (int i = 0; i < 50; ++i) {
        std::string junk(rng() % 300 + 1, '\0');
        for (auto& c : junk) c = static_cast<char>(rng());
        send_udp(inst->trap_port, junk);
    }
    for (size_t n = 1; n < good.size(); n += 3) send_udp(inst->trap_port, good.substr(0, n));
    std::string absurd = good;
    absurd[1] = '\x84';
    absurd.insert(2, "\x7f\xff\xff");
    send_udp(inst->trap_port, absurd);
    std::string vbs;  // a huge binding list: about 56 KB in one datagram
    for (int i = 0; i < 3500; ++i) vbs += ber::varbind({1, 3, 6, 1, 4, 1, 64001, static_cast<uint32_t>(i)}, ber::null());
    send_udp(inst->trap_port, ber::v1_trap("public", kEnt, "\1\2\3\4", 6, 2, 1, vbs));

    // Event port: garbage, an absurd frame length, an event before the hello, a bad filter.
    std::vector<std::string> attacks = {std::string("garbage that is not a frame"), std::string("\x7f\xff\xff\xff", 4),
                                        std::string("\x00\x00\x00\x00", 4)};
    zq::wire::Event e;
    e.enterprise = kEnt;
    std::string ev_frame;
    zq::wire::encode_event(e, ev_frame);
    attacks.push_back(ev_frame);
    std::string bad_filter;
    zq::wire::encode_hello({"x", ".1.2", key()}, bad_filter);
    attacks.push_back(bad_filter);
    std::string hello_then_junk;
    zq::wire::encode_hello({"", "", key()}, hello_then_junk);
    hello_then_junk += std::string("\x00\x00\x00\x03" "E\x07\x07", 7);
    attacks.push_back(hello_then_junk);
    for (const auto& a : attacks) {
        int fd = zqtest::connect_unix(inst->event_socket());
        ASSERT_GE(fd, 0);
        send(fd, a.data(), a.size(), MSG_NOSIGNAL);
        EXPECT_TRUE(closed_by_peer(fd, 5000)) << a.size();
        close(fd);
    }
    send_udp(inst->trap_port, ent_trap(3, "after"));
    pump({s}, sink, 2, 10000);
    ASSERT_EQ(sink.got.size(), 2u);
    EXPECT_EQ(sink.got[0].bindings.size(), 3500u);
    EXPECT_EQ(sink.got[1].bindings.at(0), "1.3.6.1.2.1.1.5.0 4 after");
    ZqsnmpClose(s);
    std::string log = stop_trapd();
    EXPECT_NE(log.find("DROPPED malformed datagrams"), std::string::npos) << log;
}

TEST_F(TrapdTest, ASessionThatNeverReadsDelaysNoOther) {
    trapd.reset();
    start_trapd({"--queue-limit", "65536"});
    // A raw session that says hello and then never reads.
    int stuck = zqtest::connect_unix(inst->event_socket());
    ASSERT_GE(stuck, 0);
    int small = 4096;
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string hello;
    zq::wire::encode_hello({"stuck", ".*", key()}, hello);
    send(stuck, hello.data(), hello.size(), MSG_NOSIGNAL);
    Sink sink;
    ZqSession* s = open(sink, ".*");
    ASSERT_NE(s, nullptr);
    const int total = 3000;
    std::string text(1000, 'x');
    for (int i = 0; i < total; ++i) {
        send_udp(inst->trap_port, ent_trap(static_cast<uint32_t>(i), text));
        if (i % 20 == 19) pump({s}, sink, static_cast<size_t>(i + 1), 5000);  // a reader that keeps up
    }
    pump({s}, sink, total, 20000);
    ASSERT_EQ(sink.got.size(), static_cast<size_t>(total));
    for (int i = 0; i < total; ++i) ASSERT_EQ(sink.got[i].specific, i) << "arrival order";
    ZqsnmpClose(s);
    close(stuck);
    std::string log = stop_trapd();
    // The stuck session lost events of its own, and was told so in the log.
    auto pos = log.find("SESSION close 'stuck'");
    ASSERT_NE(pos, std::string::npos);
    EXPECT_NE(log.find(" dropped ", pos), std::string::npos) << log.substr(pos, 200);
}

// Size options are refused before trapd touches the instance when they are not
// a plain number of bytes at or above their floor.
TEST(TrapdOptions, SizeLimitsBelowTheirFloorOrNotNumbersAreRefused) {
    zqtest::TempDir dir;
    struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--log-limit", "4095"}, "--log-limit wants a number of bytes (at least 4096)"},
        {{"--log-limit", ""}, "--log-limit wants a number of bytes (at least 4096)"},
        {{"--log-limit", "8k"}, "--log-limit wants a number of bytes (at least 4096)"},
        {{"--queue-limit", "1023"}, "--queue-limit wants a number of bytes (at least 1024)"},
        {{"--queue-limit", "-5000"}, "--queue-limit wants a number of bytes (at least 1024)"},
        {{"--queue-limit", "2048 "}, "--queue-limit wants a number of bytes (at least 1024)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {zqtest::bin("trapd")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = zqtest::run(argv, {{"ZQ_ROOT", dir.path + "/none"}}, "", 10000);
        EXPECT_EQ(r.status, 2) << c.args[1];
        EXPECT_NE(r.err.find("trapd: " + c.message), std::string::npos) << c.args[1] << ": " << r.err;
    }
}

// A stand-in trapd on the event socket that sends hand-made bytes, to drive
// ZqsnmpRead through partial, unreadable and broken records.
TEST(EventSession, PartialUnreadableAndBrokenRecords) {
    zqtest::TempDir dir;
    std::string root = dir.path + "/zq";
    std::filesystem::create_directories(root + "/run");
    setenv("ZQ_ROOT", root.c_str(), 1);
    int lfd = zqtest::listen_unix(root + "/run/trapd.sock");
    ASSERT_GE(lfd, 0) << strerror(errno);
    // The acknowledgement goes out before the open, so it is waiting in the socket.
    int cfd = -1;
    std::string ack;
    zq::wire::encode_ack(ack);
    std::thread server([&] {
        cfd = accept(lfd, nullptr, nullptr);
        send(cfd, ack.data(), ack.size(), MSG_NOSIGNAL);
    });
    Sink sink;
    sink.close_in_callback = false;
    ZqSession* s = ZqsnmpEventOpen(nullptr, "t", collect, &sink, ".*");
    server.join();
    ASSERT_NE(s, nullptr) << ZqsnmpErrno;

    zq::wire::Event e;
    e.enterprise = kEnt;
    e.trap_id = {1, 2, 3};
    e.specific = 9;
    std::string frame;
    zq::wire::encode_event(e, frame);
    // Byte by byte: one trap, once the last byte is in.
    for (size_t i = 0; i < frame.size(); ++i) {
        send(cfd, frame.data() + i, 1, MSG_NOSIGNAL);
        pump({s}, sink, 1, i + 1 == frame.size() ? 5000 : 30);
        EXPECT_EQ(sink.got.size(), i + 1 == frame.size() ? 1u : 0u) << i;
    }
    // A whole frame that does not decode: reason 6, and the session goes on.
    std::string junk = std::string("\x00\x00\x00\x02" "E\x09", 6) + frame;
    send(cfd, junk.data(), junk.size(), MSG_NOSIGNAL);
    pump({s}, sink, 3, 5000);
    ASSERT_EQ(sink.got.size(), 3u);
    EXPECT_EQ(sink.got[1].reason, ZQSNMP_REASON_ERROR);
    EXPECT_EQ(sink.got[2].reason, ZQSNMP_REASON_TRAP);
    // Two traps, the first callback closes the session: the second is not delivered
    // and nothing touches the freed session.
    sink.close_in_callback = true;
    std::string two = frame + frame;
    send(cfd, two.data(), two.size(), MSG_NOSIGNAL);
    pump({s}, sink, 4, 5000);
    EXPECT_EQ(sink.got.size(), 4u);

    // A new session: an absurd length gives 6, then 57, once.
    std::thread server2([&] {
        close(cfd);
        cfd = accept(lfd, nullptr, nullptr);
        send(cfd, ack.data(), ack.size(), MSG_NOSIGNAL);
    });
    Sink sink2;
    ZqSession* s2 = ZqsnmpEventOpen(nullptr, "t", collect, &sink2, ".*");
    server2.join();
    ASSERT_NE(s2, nullptr);
    send(cfd, "\x7f\xff\xff\xff", 4, MSG_NOSIGNAL);
    pump({s2}, sink2, 2, 5000);
    ASSERT_EQ(sink2.got.size(), 2u);
    EXPECT_EQ(sink2.got[0].reason, ZQSNMP_REASON_ERROR);
    EXPECT_EQ(sink2.got[1].reason, ZQSNMP_REASON_LOST);
    EXPECT_EQ(s2->sock_fd, -1);
    ZqsnmpClose(s2);
    close(cfd);
    close(lfd);
}

namespace {

// What trapd answers a raw hello: the first frame's kind ('A' or 'R', 0 for none)
// and whether it closed the connection afterwards.
std::pair<char, bool> raw_hello(int fd, const zq::wire::Hello& h) {
    if (fd < 0) return {0, false};
    std::string frame;
    zq::wire::encode_hello(h, frame);
    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    std::string got;
    bool closed = false;
    zqtest::wait_until(
        [&] {
            char b[512];
            ssize_t r = recv(fd, b, sizeof b, MSG_DONTWAIT);
            if (r > 0) got.append(b, static_cast<size_t>(r));
            if (r == 0) closed = true;
            return closed || (got.size() > 4 && got[4] == 'A');
        },
        5000);
    close(fd);
    return {got.size() > 4 ? got[4] : 0, closed};
}

int snmpinform(int port, const std::string& community, const std::string& trap_oid) {
    return zqtest::run({"/usr/bin/snmpinform", "-v2c", "-t", "1", "-r", "0", "-c", community,
                        "127.0.0.1:" + std::to_string(port), "", trap_oid, "1.3.6.1.2.1.1.5.0", "s", "inform"},
                       {{"MIBS", ""}})
        .status;
}

}  // namespace

// Who may hand trapd a trap: sessions with the instance key, UDP senders with a
// listed community, and control events from sessions only; informs are answered.
TEST_F(TrapdTest, IntakeAccessKeyCommunitiesLocalOnlyArcsAndInforms) {
    struct stat st {};
    ASSERT_EQ(stat((inst->root + "/run/trapd.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(key().size(), 32u);

    struct HelloCase {
        std::string what, key;
        bool tcp;
        char answer;
        bool closed;
    } hellos[] = {{"no key", "", false, 'R', true},
                  {"a wrong key", std::string(32, '0'), false, 'R', true},
                  {"a prefix of the key", key().substr(0, 16), false, 'R', true},
                  {"the key", key(), false, 'A', false},
                  {"the key on the TCP port, without the challenge", key(), true, 'R', true}};
    for (const auto& c : hellos) {
        int fd = c.tcp ? connect_tcp(inst->event_port) : zqtest::connect_unix(inst->event_socket());
        auto [answer, closed] = raw_hello(fd, {"probe", ".*", c.key});
        EXPECT_EQ(answer, c.answer) << c.what;
        EXPECT_EQ(closed, c.closed) << c.what;
    }

    Sink sink;
    ZqSession* s = open(sink, ".*");
    ASSERT_NE(s, nullptr);
    std::string dest = "127.0.0.1:" + std::to_string(inst->trap_port);
    auto v1 = [&](const std::string& community, const std::string& enterprise, const std::string& text) {
        auto r = zqtest::run({"/usr/bin/snmptrap", "-v1", "-c", community, dest, kEntText + enterprise, "10.9.9.9",
                              "6", "3005", "0", "1.3.6.1.2.1.1.5.0", "s", text},
                             {{"MIBS", ""}});
        ASSERT_EQ(r.status, 0) << r.err;
    };
    v1("intruder", ".1.3", "bad community");
    v1("public", ".1.3.20", "uninstall over UDP");
    v1("public", ".1.3.20.4", "below a local-only arc");
    v1("public", ".1.3.200", "beside a local-only arc");  // not under ENT.1.3.20
    // The same control event from this instance's programs: a session, and a
    // request session's trap to the local trapd.
    auto r = zqtest::run({zqtest::bin("snmpnotify"), "localhost", "ENT.1.3.20.0.3005", "1.3.6.1.2.1.1.5.0",
                          "octetstring", "from a session"},
                         inst->env());
    ASSERT_EQ(r.status, 0) << r.err;
    ZqSession* req = ZqsnmpOpen(nullptr, "127.0.0.1", -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    ASSERT_NE(req, nullptr);
    ZqPdu* p = ent_pdu(20, 3005);
    EXPECT_EQ(ZqsnmpBlockingSend(req, p), nullptr) << ZqsnmpErrno;
    ZqsnmpClose(req);
    // Informs: answered (snmpinform succeeds) and delivered; with a community
    // that is not listed, neither.
    EXPECT_EQ(snmpinform(inst->trap_port, "public", kEntText + ".1.3.0.88"), 0);
    EXPECT_NE(snmpinform(inst->trap_port, "intruder", kEntText + ".1.3.0.89"), 0);

    pump({s}, sink, 4, 10000);
    pump({s}, sink, 5, 1000);  // nothing more arrives
    ASSERT_EQ(sink.got.size(), 4u);
    EXPECT_EQ(sink.got[0].bindings.at(0), "1.3.6.1.2.1.1.5.0 4 beside a local-only arc");
    EXPECT_EQ(sink.got[1].bindings.at(0), "1.3.6.1.2.1.1.5.0 4 from a session");
    EXPECT_EQ(sink.got[2].trap_id, kEntText + ".1.3.20.0.3005");
    EXPECT_EQ(sink.got[2].community, "public");  // the request session's community
    EXPECT_EQ(sink.got[3].trap_id, kEntText + ".1.3.0.88");
    ZqsnmpClose(s);
    std::string log = stop_trapd();
    EXPECT_NE(log.find("REFUSED traps with a community not in trap_communities 2, local-only traps from UDP 2, "
                       "sessions without the instance key 4"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("SESSION refused 'probe'"), std::string::npos);
}

namespace {

// Resident memory of a process in KiB, and its processor time in clock ticks.
long rss_kib(pid_t pid) {
    std::istringstream in(zqtest::read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}
long cpu_ticks(pid_t pid) {
    std::string stat = zqtest::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    return utime + stime;
}


}  // namespace

// Text from a peer never makes or breaks a line of trapd.log: a session name with
// a line feed, a carriage return, quotes or bytes outside ASCII is escaped in
// every line it appears in (open, event, close, refusal).
TEST_F(TrapdTest, PeerTextIsEscapedInEveryLogLine) {
    struct Case {
        std::string name, shown;
    } cases[] = {
        {"evil\n1999-01-01 00:00:00 SESSION open 'trvdis' filter .*",
         "'evil\\x0a1999-01-01 00:00:00 SESSION open \\'trvdis\\' filter .*'"},
        {"cr\rback", "'cr\\x0dback'"},
        {"quote' and \\", "'quote\\' and \\\\'"},
        {"caf\xc3\xa9", "'caf\\xc3\\xa9'"},
    };
    for (const Case& c : cases) {
        Sink sink;
        ZqSession* s = open(sink, ".*", c.name.c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(ZqsnmpBlockingSend(s, ent_pdu(9, 1)), nullptr) << ZqsnmpErrno;
        pump({s}, sink, 1, 5000);
        ZqsnmpClose(s);
        auto [answer, closed] = raw_hello(zqtest::connect_unix(inst->event_socket()), {c.name, ".*", "wrong"});
        EXPECT_EQ(answer, 'R');
    }
    std::string log = stop_trapd();
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) EXPECT_NE(line.rfind("1999-01-01", 0), 0u) << "a forged line: " << line;
    EXPECT_EQ(log.find('\r'), std::string::npos);
    for (const Case& c : cases)
        for (const char* kind : {"SESSION open ", "EVENT from session ", "SESSION close ", "SESSION refused "})
            EXPECT_TRUE(log.find(kind + c.shown) != std::string::npos) << kind << c.shown << "\n" << log;
}

// Idle connections from anyone (300, from one address and from many) hold neither
// the sessions' places nor memory: the instance's programs open their sessions
// while they wait, and the connections go within the greeting time.  A huge frame
// announced before the hello and a descriptor limit cost no memory and no
// spinning loop.
TEST_F(TrapdTest, IdleConnectionsHugeFramesAndDescriptorExhaustionStayBounded) {
    long rss_before = rss_kib(trapd->pid());
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) {
        std::string from = i < 100 ? "127.0.0.1" : "127.0.1." + std::to_string(2 + i % 40);
        int fd = connect_tcp_from(from, inst->event_port);
        if (fd >= 0) idle.push_back(fd);
    }
    ASSERT_GT(idle.size(), 250u);
    // A frame of almost 1 MiB announced and half sent, without a hello.
    int huge = zqtest::connect_unix(inst->event_socket());
    ASSERT_GE(huge, 0);
    std::string part("\x00\x0f\xff\xf0" "H", 5);
    part += std::string(512 * 1024, 'x');
    send(huge, part.data(), part.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    EXPECT_TRUE(closed_by_peer(huge, 3000)) << "refused at the length prefix";
    close(huge);
    EXPECT_LT(rss_kib(trapd->pid()) - rss_before, 16 * 1024);
    // Sessions open while the idle connections wait: the library's, zqevents' and
    // snmpnotify's.
    Sink sink;
    ZqSession* s = ZqsnmpEventOpen(nullptr, "while idle", collect, &sink, ".*");
    ASSERT_NE(s, nullptr) << ZqsnmpErrno;
    Process events({zqtest::bin("zqevents"), "--count", "1", "--timeout", "10"}, inst->env());
    ASSERT_TRUE(events.wait_for_err("listening", 5000)) << events.err();
    auto sent = zqtest::run({zqtest::bin("snmpnotify"), "localhost", kEntText + ".1.3.0.7"}, inst->env(), "", 10000);
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(events.wait(10000), 0) << events.err();
    pump({s}, sink, 1, 5000);
    EXPECT_EQ(sink.got.size(), 1u);
    ZqsnmpClose(s);
    // Past the caps the connections are closed at once; the others within the
    // greeting time.
    size_t closed_soon = 0;
    for (int fd : idle) closed_soon += closed_by_peer(fd, 1) ? 1 : 0;
    EXPECT_GE(closed_soon, idle.size() - 64);
    EXPECT_TRUE(zqtest::wait_until([&] { return closed_by_peer(idle.back(), 1); }, 8000));
    for (int fd : idle) close(fd);
    std::string log = stop_trapd();
    EXPECT_NE(log.find("refused at the cap of connections still greeting (64, 8 from one address) "),
              std::string::npos)
        << log;

    // With 40 descriptors trapd runs out: it neither spins nor stops serving.
    trapd = std::make_unique<Process>(std::vector<std::string>{"/usr/bin/prlimit", "--nofile=40:40", zqtest::bin("trapd"),
                                                               "--root", inst->root});
    ASSERT_TRUE(trapd->wait_for_err("listening", 10000)) << trapd->err();
    std::vector<int> many;
    for (int i = 0; i < 60; ++i) {
        int fd = zqtest::connect_unix(inst->event_socket());
        if (fd >= 0) many.push_back(fd);
    }
    usleep(200 * 1000);
    long t0 = cpu_ticks(trapd->pid());
    usleep(2000 * 1000);
    EXPECT_LT(cpu_ticks(trapd->pid()) - t0, 50) << "trapd spins while out of descriptors";  // < 0.5 s of 2 s
    for (int fd : many) close(fd);
    Sink sink2;
    ZqSession* s2 = nullptr;
    EXPECT_TRUE(zqtest::wait_until([&] { return (s2 = ZqsnmpEventOpen(nullptr, "again", collect, &sink2, ".*")); },
                                   10000));
    if (s2) ZqsnmpClose(s2);
    log = stop_trapd();
    size_t first = log.find("LIMIT out of file descriptors");
    EXPECT_NE(first, std::string::npos) << log;
}

// Nothing is lost without a word: the kernel's drops are counted, a trap is in the
// log before anyone gets it (a kill -9 loses no line), huge lines are cut, the
// log keeps its generations, and lines a full disk refused are reported.
namespace {

// Reads until a trap with this specific number arrived.
bool pump_until(ZqSession* s, Sink& sink, int specific, int ms) {
    return zqtest::wait_until(
        [&] {
            pump({s}, sink, sink.got.size() + 1, 100);
            return !sink.got.empty() && sink.got.back().specific == specific;
        },
        ms, 0);
}

}  // namespace

TEST_F(TrapdTest, KernelDropsKillsHugeLinesGenerationsAndFailedWritesAreAccountedFor) {
    Sink sink;
    ZqSession* s = open(sink, ".*");
    ASSERT_NE(s, nullptr);
    // Datagrams sent while trapd cannot read overflow its receive buffer.
    ASSERT_EQ(kill(trapd->pid(), SIGSTOP), 0);
    const int burst = 20000;
    std::string big = ent_trap(1, std::string(1000, 'b'));
    for (int i = 0; i < burst; ++i) send_udp(inst->trap_port, big);
    ASSERT_EQ(kill(trapd->pid(), SIGCONT), 0);
    send_udp(inst->trap_port, ent_trap(2, "after the burst"));
    ASSERT_TRUE(pump_until(s, sink, 2, 30000));
    size_t got = sink.got.size();
    ASSERT_LT(got, static_cast<size_t>(burst + 1)) << "the burst fit: nothing to count";
    // A huge trap, then kill -9 as soon as it was delivered.
    send_udp(inst->trap_port, ent_trap(3, std::string(20000, 'h')));
    pump({s}, sink, got + 1, 10000);
    ASSERT_EQ(sink.got.size(), got + 1);
    ASSERT_EQ(kill(trapd->pid(), SIGKILL), 0);
    trapd->wait(5000);
    ZqsnmpClose(s);
    std::string log = zqtest::read_file(inst->root + "/log/trapd.log");
    EXPECT_NE(log.find("...[cut: "), std::string::npos) << "the huge line is cut";
    EXPECT_NE(log.find("after the burst"), std::string::npos);

    // The drop count: in the log at exit, and it matches what was missing.
    start_trapd();
    Sink sink2;
    ZqSession* s2 = open(sink2, ".*");
    ASSERT_EQ(kill(trapd->pid(), SIGSTOP), 0);
    for (int i = 0; i < burst; ++i) send_udp(inst->trap_port, big);
    ASSERT_EQ(kill(trapd->pid(), SIGCONT), 0);
    send_udp(inst->trap_port, ent_trap(2, "last"));
    ASSERT_TRUE(pump_until(s2, sink2, 2, 30000));
    size_t missing = burst + 1 - sink2.got.size();
    ZqsnmpClose(s2);
    log = stop_trapd();
    auto pos = log.rfind("STATS received traps ");
    ASSERT_NE(pos, std::string::npos) << log;
    EXPECT_NE(log.find("dropped by the kernel " + std::to_string(missing) + ";", pos), std::string::npos)
        << log.substr(pos, 300) << " missing " << missing;
    EXPECT_NE(log.find("DROPPED by the kernel"), std::string::npos);

    // Generations: with a 64 KiB limit and 2 generations, trapd.log.1 and .2 exist, .3 never.
    set_conf("log_generations", "2");
    start_trapd({"--log-limit", "65536"});
    for (int i = 0; i < 600; ++i) send_udp(inst->trap_port, ent_trap(i, std::string(400, 'g')));
    usleep(500 * 1000);
    stop_trapd();
    struct stat st {};
    EXPECT_EQ(stat((inst->root + "/log/trapd.log.1").c_str(), &st), 0);
    EXPECT_EQ(stat((inst->root + "/log/trapd.log.2").c_str(), &st), 0);
    EXPECT_NE(stat((inst->root + "/log/trapd.log.3").c_str(), &st), 0);

    // A log that cannot grow (a file-size limit stands in for a full disk): the
    // lines are counted, and reported once the file can be written again.
    std::string path = inst->root + "/log/trapd.log";
    unlink(path.c_str());
    trapd = std::make_unique<Process>(std::vector<std::string>{"/usr/bin/prlimit", "--fsize=16384", zqtest::bin("trapd"),
                                                               "--root", inst->root});
    ASSERT_TRUE(trapd->wait_for_err("listening", 10000)) << trapd->err();
    for (int i = 0; i < 100; ++i) send_udp(inst->trap_port, ent_trap(i, std::string(400, 'f')));
    usleep(1500 * 1000);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);  // room again
    send_udp(inst->trap_port, ent_trap(7, "room again"));
    EXPECT_TRUE(zqtest::wait_until(
        [&] { return zqtest::read_file(path).find("lines could not be written (File too large)") != std::string::npos; },
        5000))
        << zqtest::read_file(path);
    EXPECT_TRUE(trapd->running());
}
