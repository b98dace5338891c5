// The event record codec and trapd's datagram decoding, without any process.
#include <gtest/gtest.h>

#include <random>

#include "ber.h"
#include "datagram.h"
#include "server.h"
#include "usm.h"
#include "testsupport.h"
#include "wire.h"

using namespace zq;

namespace {

const std::vector<uint32_t> kEnt = {1, 3, 6, 1, 4, 1, 64001, 1};
const uint8_t kSource[4] = {127, 0, 0, 9};

wire::Event sample_event() {
    wire::Event e;
    e.version = 1;
    e.community = std::string("pub\0lic", 7);
    e.enterprise = kEnt;
    e.agent = {10, 1, 2, 3};
    e.generic = 6;
    e.specific = 1001;
    e.timestamp = 123456;
    e.trap_id = {1, 3, 6, 1, 4, 1, 64001, 1, 0, 1001};
    auto add = [&](uint8_t type, auto fill) {
        wire::Binding b;
        b.name = {1, 3, 6, 1, 2, 1, 1, static_cast<uint32_t>(e.bindings.size() + 1), 0};
        b.type = type;
        fill(b);
        e.bindings.push_back(b);
    };
    add(2, [](wire::Binding& b) { b.number = static_cast<uint32_t>(-5); });
    add(4, [](wire::Binding& b) { b.bytes = std::string("\x00\xff text", 7); });
    add(5, [](wire::Binding&) {});
    add(6, [](wire::Binding& b) { b.objid = {1, 3, 6, 1, 4294967295u}; });
    add(0x40, [](wire::Binding& b) { b.bytes = std::string("\x0a\x00\x00\x01", 4); });
    add(0x41, [](wire::Binding& b) { b.number = 4000000000u; });
    add(0x42, [](wire::Binding& b) { b.number = 7; });
    add(0x43, [](wire::Binding& b) { b.number = 99; });
    add(0x44, [](wire::Binding& b) { b.bytes = "\x9f\x78\x04"; });
    add(0x46, [](wire::Binding& b) { b.number = 0x123456789abcdefULL; });
    return e;
}

std::string payload_of(const std::string& frame) { return frame.substr(4); }

}  // namespace

TEST(Wire, EventRoundTripKeepsEveryFieldAndType) {
    wire::Event e = sample_event(), d;
    std::string frame, why;
    ASSERT_TRUE(wire::encode_event(e, frame));
    ASSERT_TRUE(wire::decode_event(payload_of(frame), d, why)) << why;
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.community, e.community);
    EXPECT_EQ(d.enterprise, e.enterprise);
    EXPECT_EQ(d.agent, e.agent);
    EXPECT_EQ(d.generic, 6);
    EXPECT_EQ(d.specific, 1001);
    EXPECT_EQ(d.timestamp, 123456u);
    EXPECT_EQ(d.trap_id, e.trap_id);
    ASSERT_EQ(d.bindings.size(), e.bindings.size());
    for (size_t i = 0; i < e.bindings.size(); ++i) {
        EXPECT_EQ(d.bindings[i].name, e.bindings[i].name);
        EXPECT_EQ(d.bindings[i].type, e.bindings[i].type);
        EXPECT_EQ(d.bindings[i].number, e.bindings[i].number);
        EXPECT_EQ(d.bindings[i].bytes, e.bindings[i].bytes);
        EXPECT_EQ(d.bindings[i].objid, e.bindings[i].objid);
    }
}

TEST(Wire, EveryTruncationAndEveryExtraByteIsRejected) {
    std::string frame, why;
    ASSERT_TRUE(wire::encode_event(sample_event(), frame));
    std::string p = payload_of(frame);
    wire::Event d;
    for (size_t n = 0; n < p.size(); ++n) EXPECT_FALSE(wire::decode_event(p.substr(0, n), d, why)) << n;
    EXPECT_FALSE(wire::decode_event(p + "x", d, why));
    wire::Hello h;
    EXPECT_FALSE(wire::decode_hello(p, h, why));
}

TEST(Wire, AbsurdCountsFailWithoutHugeAllocations) {
    // An event that claims 16384 bindings (and one that claims 4 billion) but carries none.
    wire::Event e;
    e.enterprise = kEnt;
    std::string frame, why;
    ASSERT_TRUE(wire::encode_event(e, frame));
    std::string p = payload_of(frame);
    wire::Event d;
    for (const char* count : {"\x00\x00\x40\x00", "\xff\xff\xff\xff"}) {
        std::string q = p.substr(0, p.size() - 4) + std::string(count, 4);
        EXPECT_FALSE(wire::decode_event(q, d, why));
    }
    // An OID length above 128 and a string length above the limit.
    std::string bad_oid = p;
    bad_oid[4] = '\x81';  // kind, version, community length 0 (2 bytes), then the enterprise count
    EXPECT_FALSE(wire::decode_event(bad_oid, d, why));
}

TEST(Wire, FramesSplitAtTheirLengthAndOversizedLengthsAreBad) {
    std::string stream;
    wire::encode_hello({"name", ".*", "k1"}, stream);
    wire::encode_ack(stream);
    std::string_view payload;
    size_t used = 0;
    for (size_t n = 0; n < 4 + 1 + 1 + 2 + 4 + 2 + 2 + 2 + 2; ++n)
        EXPECT_EQ(wire::next_frame(std::string_view(stream).substr(0, n), payload, used), wire::Split::kNeed) << n;
    ASSERT_EQ(wire::next_frame(stream, payload, used), wire::Split::kFrame);
    wire::Hello h;
    std::string why;
    ASSERT_TRUE(wire::decode_hello(payload, h, why));
    EXPECT_EQ(h.name, "name");
    EXPECT_EQ(h.filter, ".*");
    EXPECT_EQ(h.key, "k1");
    ASSERT_EQ(wire::next_frame(std::string_view(stream).substr(used), payload, used), wire::Split::kFrame);
    EXPECT_TRUE(wire::decode_ack(payload, why));
    EXPECT_EQ(wire::next_frame(std::string("\x00\x00\x00\x00", 4), payload, used), wire::Split::kBad);
    EXPECT_EQ(wire::next_frame(std::string("\x7f\xff\xff\xff", 4), payload, used), wire::Split::kBad);
}

TEST(Wire, RandomBytesNeverDecodeBadly) {
    std::mt19937 rng(12345);
    wire::Event d;
    wire::Hello h;
    std::string why;
    for (int i = 0; i < 20000; ++i) {
        std::string s(rng() % 64, '\0');
        for (auto& c : s) c = static_cast<char>(rng());
        if (!s.empty() && i % 2) s[0] = 'E';
        if (wire::decode_event(s, d, why)) {
            std::string again;
            ASSERT_TRUE(wire::encode_event(d, again));
            EXPECT_EQ(payload_of(again), s);
        }
        wire::decode_hello(s, h, why);
    }
}

TEST(Filter, ParsesAndMatchesByWholeSubIdentifiers) {
    wire::Oid p;
    ASSERT_TRUE(wire::parse_filter(".*", p));
    EXPECT_TRUE(p.empty());
    EXPECT_TRUE(wire::filter_matches(p, {1, 3}));
    ASSERT_TRUE(wire::parse_filter(".1.3.6.1.4.1.64001.*", p));
    EXPECT_EQ(p, (wire::Oid{1, 3, 6, 1, 4, 1, 64001}));
    ASSERT_TRUE(wire::parse_filter("1.3.6.1.4.1.64001.*", p));
    EXPECT_TRUE(wire::filter_matches(p, {1, 3, 6, 1, 4, 1, 64001, 1, 0, 5}));
    EXPECT_FALSE(wire::filter_matches(p, {1, 3, 6, 1, 4, 1, 640011, 1}));  // not a text prefix match
    EXPECT_FALSE(wire::filter_matches(p, {1, 3, 6, 1, 4, 1}));
    for (const char* bad : {"", "*", ".1.3.6", ".1.3..6.*", ".1.3.x.*", "..*", ".1.3.6.*.*", ".99999999999.*"})
        EXPECT_FALSE(wire::parse_filter(bad, p) && std::string(bad) != "*") << bad;
}

TEST(TrapId, FollowsGenericAndEnterprise) {
    wire::Event e;
    e.enterprise = kEnt;
    e.generic = 6;
    e.specific = 3004;
    wire::Oid id;
    ASSERT_TRUE(wire::v1_trap_id(e, id));
    EXPECT_EQ(id, (wire::Oid{1, 3, 6, 1, 4, 1, 64001, 1, 0, 3004}));
    e.generic = 2;
    ASSERT_TRUE(wire::v1_trap_id(e, id));
    EXPECT_EQ(id, (wire::Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 3}));
    e.generic = 7;
    EXPECT_FALSE(wire::v1_trap_id(e, id));
    e.generic = 6;
    e.enterprise.clear();
    EXPECT_FALSE(wire::v1_trap_id(e, id));
}

// ---- datagrams ----

TEST(Datagram, V1TrapKeepsItsFieldsAndGetsItsTrapId) {
    std::string vbs = ber::varbind({1, 3, 6, 1, 2, 1, 1, 5, 0}, ber::octets("host")) +
                      ber::varbind({1, 3, 6, 1, 2, 1, 2, 2, 1, 1, 1}, ber::integer(-7)) +
                      ber::varbind({1, 3, 6, 1, 2, 1, 1, 9, 0}, ber::unsigned_(0x46, 0x1122334455667788ULL));
    std::string d = ber::v1_trap("public", kEnt, "\x0a\x01\x02\x03", 6, 1001, 4242, vbs);
    wire::Event ev;
    std::string why;
    ASSERT_TRUE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why)) << why;
    EXPECT_EQ(ev.version, 0);
    EXPECT_EQ(ev.community, "public");
    EXPECT_EQ(ev.enterprise, kEnt);
    EXPECT_EQ(ev.agent, (std::array<uint8_t, 4>{10, 1, 2, 3}));
    EXPECT_EQ(ev.generic, 6);
    EXPECT_EQ(ev.specific, 1001);
    EXPECT_EQ(ev.timestamp, 4242u);
    EXPECT_EQ(ev.trap_id, (wire::Oid{1, 3, 6, 1, 4, 1, 64001, 1, 0, 1001}));
    ASSERT_EQ(ev.bindings.size(), 3u);
    EXPECT_EQ(ev.bindings[0].bytes, "host");
    EXPECT_EQ(static_cast<int32_t>(ev.bindings[1].number), -7);
    EXPECT_EQ(ev.bindings[2].type, 0x46);
    EXPECT_EQ(ev.bindings[2].number, 0x1122334455667788ULL);
}

TEST(Datagram, V1StandardTrapAndUnsetAgentAddress) {
    std::string d = ber::v1_trap("c", kEnt, std::string(4, '\0'), 3, 0, 1, "");
    wire::Event ev;
    std::string why;
    ASSERT_TRUE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why)) << why;
    EXPECT_EQ(ev.trap_id, (wire::Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 4}));
    EXPECT_EQ(ev.agent, (std::array<uint8_t, 4>{127, 0, 0, 9}));  // the sender's address
    d = ber::v1_trap("c", kEnt, "\1\2\3\4", 9, 0, 1, "");
    EXPECT_FALSE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why));
}

TEST(Datagram, V2cNotificationBecomesV1FormAsRfc3584Says) {
    // Enterprise-specific: snmpTrapOID ENT.1.0.77 -> enterprise ENT.1, specific 77.
    std::string vbs = ber::varbind({1, 3, 6, 1, 6, 3, 18, 1, 3, 0}, ber::octets("\x0a\x09\x08\x07", 0x40)) +
                      ber::varbind({1, 3, 6, 1, 2, 1, 1, 5, 0}, ber::octets("x"));
    std::vector<uint32_t> t = kEnt;
    t.push_back(0);
    t.push_back(77);
    std::string d = ber::v2_trap("v2", 555, t, vbs);
    wire::Event ev;
    std::string why;
    ASSERT_TRUE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why)) << why;
    EXPECT_EQ(ev.version, 1);
    EXPECT_EQ(ev.trap_id, t);
    EXPECT_EQ(ev.enterprise, kEnt);
    EXPECT_EQ(ev.generic, 6);
    EXPECT_EQ(ev.specific, 77);
    EXPECT_EQ(ev.timestamp, 555u);
    EXPECT_EQ(ev.agent, (std::array<uint8_t, 4>{10, 9, 8, 7}));  // snmpTrapAddress.0
    ASSERT_EQ(ev.bindings.size(), 2u);                            // sysUpTime.0 and snmpTrapOID.0 removed
    EXPECT_EQ(ev.bindings[1].bytes, "x");

    // Without .0. before the last sub-identifier only the last one goes.
    d = ber::v2_trap("v2", 1, {1, 3, 6, 1, 4, 1, 64001, 5, 9}, "");
    ASSERT_TRUE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why));
    EXPECT_EQ(ev.enterprise, (wire::Oid{1, 3, 6, 1, 4, 1, 64001, 5}));
    EXPECT_EQ(ev.specific, 9);
    EXPECT_EQ(ev.agent, (std::array<uint8_t, 4>{127, 0, 0, 9}));

    // A standard trap: linkUp with snmpTrapEnterprise.0.
    d = ber::v2_trap("v2", 1, {1, 3, 6, 1, 6, 3, 1, 1, 5, 4},
                     ber::varbind({1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0}, ber::oid(kEnt)));
    ASSERT_TRUE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why));
    EXPECT_EQ(ev.generic, 3);
    EXPECT_EQ(ev.specific, 0);
    EXPECT_EQ(ev.enterprise, kEnt);
    EXPECT_EQ(ev.trap_id, (wire::Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 4}));
}

TEST(Datagram, BrokenDatagramsAreRejected) {
    std::string good = ber::v1_trap("public", kEnt, "\1\2\3\4", 6, 1, 1,
                                    ber::varbind({1, 3, 6, 1, 2, 1, 1, 5, 0}, ber::octets("abc")));
    wire::Event ev;
    std::string why;
    auto decode = [&](const std::string& d) {
        return trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why);
    };
    ASSERT_TRUE(decode(good));
    for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(decode(good.substr(0, n))) << n;
    // A length field claiming gigabytes.
    std::string absurd = good;
    absurd[1] = '\x84';
    absurd.insert(2, "\x7f\xff\xff");
    EXPECT_FALSE(decode(absurd));
    // A GetRequest on the trap port, an SNMPv3 header, a v2c message carrying a v1 trap.
    EXPECT_FALSE(decode(ber::seq(ber::integer(0) + ber::octets("public") +
                                 ber::tlv(0xA0, ber::integer(1) + ber::integer(0) + ber::integer(0) + ber::seq("")))));
    EXPECT_FALSE(decode(ber::seq(ber::integer(3) + ber::octets("x"))));
    std::string v2_with_v1_pdu = good;
    v2_with_v1_pdu[4] = '\x01';
    EXPECT_FALSE(decode(v2_with_v1_pdu));
    // A notification without snmpTrapOID.0.
    EXPECT_FALSE(decode(ber::seq(ber::integer(1) + ber::octets("p") +
                                 ber::tlv(0xA7, ber::integer(1) + ber::integer(0) + ber::integer(0) + ber::seq("")))));
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::string d = good;
        for (int k = 0; k < 3; ++k) d[rng() % d.size()] = static_cast<char>(rng());
        if (decode(d)) {
            std::string frame;
            EXPECT_TRUE(wire::encode_event(ev, frame));
            EXPECT_FALSE(ev.trap_id.empty());
        }
    }
}

TEST(Datagram, HugeBindingListsFitInOneRecord) {
    std::string vbs;
    for (int i = 0; i < 5000; ++i) vbs += ber::varbind({1, 3, 6, 1, 4, 1, 64001, static_cast<uint32_t>(i)}, ber::null());
    std::string d = ber::v1_trap("public", kEnt, "\1\2\3\4", 6, 1, 1, vbs);
    wire::Event ev;
    std::string why, frame;
    ASSERT_TRUE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why)) << why;
    EXPECT_EQ(ev.bindings.size(), 5000u);
    EXPECT_TRUE(wire::encode_event(ev, frame));
}

// The fuzzers start from these seeds: they must be traps and records that decode.
TEST(Seeds, FuzzSeedsAreValidInput) {
    std::string why;
    for (const char* name : {"v1_trap", "v2c_trap", "v2c_linkup"}) {
        std::string d = zqtest::read_file(zqtest::source(std::string("zq/trapd/fuzz/corpus/fuzz_datagram/") + name));
        wire::Event ev;
        ASSERT_FALSE(d.empty()) << name;
        EXPECT_TRUE(trapd::decode_datagram(reinterpret_cast<const uint8_t*>(d.data()), d.size(), kSource, ev, why))
            << name << ": " << why;
        if (std::string(name) != "v2c_linkup") {
            // An Opaque-wrapped float comes out as the bytes that came in.
            ASSERT_FALSE(ev.bindings.empty());
            EXPECT_EQ(ev.bindings.back().type, 0x44);
            EXPECT_EQ(ev.bindings.back().bytes, std::string("\x9f\x78\x04\0\0\0\0", 7));
        }
    }
    wire::Event e;
    EXPECT_TRUE(wire::decode_event(zqtest::read_file(zqtest::source("zq/trapd/fuzz/corpus/fuzz_wire/event")), e, why))
        << why;
    EXPECT_EQ(e.bindings.size(), 6u);
    wire::Hello h;
    EXPECT_TRUE(wire::decode_hello(zqtest::read_file(zqtest::source("zq/trapd/fuzz/corpus/fuzz_wire/hello")), h, why));
}

// A trap's text can never forge or split a log line.
TEST(LogLine, QuotesTextAndHexesAnythingElse) {
    wire::Event e = sample_event();
    e.community = "evil\n2026-01-01 00:00:00 TRAP forged";
    e.bindings.resize(2);
    e.bindings[1].bytes = "say \"hi\" \\";
    std::string line = trapd::describe(e);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("community=0x6576696c0a"), std::string::npos) << line;
    EXPECT_NE(line.find("OCTET STRING \"say \\\"hi\\\" \\\\\""), std::string::npos) << line;
    EXPECT_NE(line.find("v2c agent=10.1.2.3 "), std::string::npos) << line;
    EXPECT_NE(line.find("trap_id=1.3.6.1.4.1.64001.1.0.1001 [1.3.6.1.2.1.1.1.0 = INTEGER -5; "), std::string::npos)
        << line;
}

// A length that runs past what holds it never reaches net-snmp's parser, which
// would read past the end of the datagram (the sanitizer build catches that).
// Each seed is tried as it stands and with each byte turned into a large length.
TEST(DatagramV3, NoLengthReadsPastTheMessage) {
    zqtest::TempDir dir;
    const std::string engine_file = dir.path + "/trapd.engineid";
    zqtest::write_file(engine_file, "engineID=800000000566757a7a7633\nboots=0\n");
    std::vector<V3User> users(1);
    users[0].name = "plain";
    users[0].engine = "8000000001020304";
    std::string why;
    ASSERT_TRUE(trapd::usm_setup(engine_file, users, why)) << why;

    auto decode = [&](const std::string& msg) {
        wire::Event ev;
        std::string reply;
        bool inform = false;
        return trapd::decode_v3(reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), kSource, ev, why, inform,
                                reply);
    };
    const std::string trap = zqtest::read_file(zqtest::source("zq/trapd/fuzz/corpus/fuzz_v3/trap_noauth"));
    EXPECT_EQ(decode(trap), trapd::V3Result::kTaken) << why;
    EXPECT_EQ(decode(zqtest::read_file(zqtest::source("zq/trapd/fuzz/corpus/fuzz_v3/bad_overlong_parameters"))),
              trapd::V3Result::kMalformed);
    for (const char* seed : {"trap_noauth", "discovery_probe", "report", "bad_truncated"}) {
        const std::string msg = zqtest::read_file(zqtest::source(std::string("zq/trapd/fuzz/corpus/fuzz_v3/") + seed));
        for (size_t i = 1; i < msg.size(); ++i)
            for (char big : {'\x7f', '\x81', '\x82'}) {
                std::string bad = msg;
                bad[i] = big;
                decode(bad);
            }
    }
}
