// The network file parser and the agent's answers, without sockets.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "agent.h"
#include "ber.h"
#include "network.h"
#include "zqcommon.h"
#include "zqoid.h"

using namespace zqsim;

namespace {

std::vector<uint32_t> oid(const std::string& text) {
    std::vector<uint32_t> o;
    EXPECT_TRUE(zq::parse_oid(text, o)) << text;
    return o;
}

uint32_t addr(const char* dotted) {
    unsigned a, b, c, d;
    sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    return a << 24 | b << 16 | c << 8 | d;
}

// Builds a request message with NULL values.
std::string request(int version, const std::string& community, uint8_t type, const std::vector<std::string>& oids,
                    int64_t f1 = 0, int64_t f2 = 0, int64_t reqid = 77) {
    using namespace ber;
    std::string list;
    for (const auto& t : oids) {
        std::string vb;
        put_oid(vb, oid(t));
        put_tlv(vb, kNull, "");
        put_tlv(list, kSequence, vb);
    }
    std::string pdu;
    put_int(pdu, reqid);
    put_int(pdu, f1);
    put_int(pdu, f2);
    put_tlv(pdu, kSequence, list);
    std::string msg;
    put_int(msg, version);
    put_tlv(msg, kOctetString, community);
    put_tlv(msg, type, pdu);
    std::string out;
    put_tlv(out, kSequence, msg);
    return out;
}

struct Binding {
    std::string oid;
    uint8_t tag;
    std::string value;
};
struct Response {
    int64_t version = -1, reqid = -1, status = -1, index = -1;
    std::string community;
    std::vector<Binding> binds;
};

Response decode(const std::string& data) {
    using namespace ber;
    Response r;
    Reader top(data);
    std::string_view msg, c, pdu, list;
    EXPECT_TRUE(top.expect(kSequence, msg));
    EXPECT_TRUE(top.at_end());
    Reader m(msg);
    EXPECT_TRUE(m.expect(kInteger, c) && decode_int(c, r.version));
    EXPECT_TRUE(m.expect(kOctetString, c));
    r.community = std::string(c);
    EXPECT_TRUE(m.expect(kResponse, pdu));
    Reader p(pdu);
    EXPECT_TRUE(p.expect(kInteger, c) && decode_int(c, r.reqid));
    EXPECT_TRUE(p.expect(kInteger, c) && decode_int(c, r.status));
    EXPECT_TRUE(p.expect(kInteger, c) && decode_int(c, r.index));
    EXPECT_TRUE(p.expect(kSequence, list));
    Reader l(list);
    while (!l.at_end()) {
        std::string_view vb, o, v;
        EXPECT_TRUE(l.expect(kSequence, vb));
        Reader b(vb);
        std::vector<uint32_t> ov;
        EXPECT_TRUE(b.expect(kOid, o) && decode_oid(o, ov));
        Binding bind;
        bind.oid = zq::oid_to_string(ov);
        EXPECT_TRUE(b.next(bind.tag, v));
        bind.value = std::string(v);
        r.binds.push_back(bind);
        if (::testing::Test::HasFailure()) break;
    }
    return r;
}

const char* const kNet = R"({ "nodes": [
  { "name": "a", "addresses": ["127.0.9.1"], "community": ["public", "nimbus"],
    "mib": { "1.3.6.1.2.1.1.5.0": ["STRING", "a"],
             "ENT.2.0":           ["COUNTER64", 5],
             "ENT.1.0":           ["INTEGER", 2147483647],
             "ENT.3.0":           ["HEX", "01:02 03"] } },
  { "name": "b", "addresses": ["127.0.9.2"], "mib": {} }
] })";

class Answers : public ::testing::Test {
protected:
    Network net = parse_network(kNet);
    Response ask(const std::string& msg, uint32_t to = addr("127.0.9.1")) {
        std::string reply;
        Outcome o = answer(net, to, reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), reply);
        EXPECT_EQ(o, Outcome::kAnswered);
        return o == Outcome::kAnswered ? decode(reply) : Response{};
    }
    Outcome outcome(const std::string& msg, uint32_t to = addr("127.0.9.1")) {
        std::string reply;
        return answer(net, to, reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), reply);
    }
};

}  // namespace

TEST(NetworkFile, ValuesAreEncodedAsTheTypeSays) {
    std::string out, why;
    bool c64 = false;
    auto enc = [&](const char* type, const std::string& text) {
        EXPECT_TRUE(encode_value(type, text, out, c64, why)) << type << " " << text << ": " << why;
        return out;
    };
    EXPECT_EQ(enc("INTEGER", "0"), std::string("\x02\x01\x00", 3));
    EXPECT_EQ(enc("INTEGER", "128"), std::string("\x02\x02\x00\x80", 4));
    EXPECT_EQ(enc("INTEGER", "-129"), std::string("\x02\x02\xff\x7f", 4));
    EXPECT_EQ(enc("integer", "-2147483648"), std::string("\x02\x04\x80\x00\x00\x00", 6));
    EXPECT_EQ(enc("COUNTER", "4294967295"), std::string("\x41\x05\x00\xff\xff\xff\xff", 7));
    EXPECT_EQ(enc("GAUGE", "0"), std::string("\x42\x01\x00", 3));
    EXPECT_EQ(enc("TIMETICKS", "255"), std::string("\x43\x02\x00\xff", 4));
    EXPECT_EQ(enc("IPADDRESS", "16.0.0.5"), std::string("\x40\x04\x10\x00\x00\x05", 6));
    EXPECT_EQ(enc("HEX", "0202"), std::string("\x04\x02\x02\x02", 4));
    EXPECT_EQ(enc("OPAQUE", "c0 ff"), std::string("\x44\x02\xc0\xff", 4));
    EXPECT_EQ(enc("OID", ".1.3.6.1"), std::string("\x06\x03\x2b\x06\x01", 5));
    EXPECT_EQ(enc("OID", "2.999.1"), std::string("\x06\x03\x88\x37\x01", 5));
    EXPECT_EQ(enc("STRING", ""), std::string("\x04\x00", 2));
    EXPECT_EQ(enc("COUNTER64", "18446744073709551615"),
              std::string("\x46\x09\x00\xff\xff\xff\xff\xff\xff\xff\xff", 11));
    EXPECT_TRUE(c64);
    // A long value takes the long length form.
    EXPECT_EQ(enc("STRING", std::string(200, 'x')).substr(0, 3), std::string("\x04\x81\xc8", 3));

    for (auto [type, text] : std::vector<std::pair<const char*, std::string>>{
             {"INTEGER", "2147483648"}, {"INTEGER", "-2147483649"}, {"INTEGER", "1e3"}, {"INTEGER", ""},
             {"COUNTER", "-1"}, {"GAUGE", "4294967296"}, {"TIMETICKS", "x"}, {"HEX", "123"}, {"HEX", "zz"},
             {"HEX", "0 1"}, {"OPAQUE", "g0"}, {"OID", "1"}, {"OID", "3.1"}, {"OID", "1.40"}, {"OID", "1..3"},
             {"IPADDRESS", "1.2.3"}, {"IPADDRESS", "256.1.1.1"}, {"COUNTER64", "18446744073709551616"},
             {"FLOAT", "1"}}) {
        EXPECT_FALSE(encode_value(type, text, out, c64, why)) << type << " " << text;
        EXPECT_FALSE(why.empty());
    }
}

TEST(NetworkFile, BadFilesNameWhatIsWrong) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"{", "not valid JSON"},
        {"[]", "list \"nodes\""},
        {R"({"nodes": {}})", "list \"nodes\""},
        {R"({"nodes": [7]})", "node 1: not an object"},
        {R"({"nodes": [{"addresses": ["127.0.0.1"]}]})", "\"name\""},
        {R"({"nodes": [{"name": "x"}]})", "\"addresses\""},
        {R"({"nodes": [{"name": "x", "addresses": []}]})", "\"addresses\""},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0"]}]})", "not a dotted IPv4"},
        {R"({"nodes": [{"name": "x", "addresses": ["192.168.1.1"]}]})", "not a loopback"},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"]}, {"name": "y", "addresses": ["127.0.0.1"]}]})",
         "belongs to both x and y"},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "community": 5}]})", "\"community\""},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "community": ["a", 5]}]})", "community"},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "silent": "yes"}]})", "\"silent\""},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "web_agent": "slow"}]})", "\"hang\""},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "mib": []}]})", "\"mib\""},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "mib": {"a.b": ["INTEGER", 1]}}]})",
         "mib a.b: not a valid OID"},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "mib": {"1.3": ["INTEGER"]}}]})", "[TYPE, VALUE]"},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "mib": {"1.3": ["INTEGER", 1.5]}}]})",
         "[TYPE, VALUE]"},
        {R"({"nodes": [{"name": "x", "addresses": ["127.0.0.1"], "mib": {"ENT.1": ["INTEGER", 1],
            "1.3.6.1.4.1.64001.1": ["INTEGER", 2]}}]})",
         "is given twice"},
    };
    for (const auto& c : cases) {
        try {
            parse_network(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const NetworkError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what() << "\n for " << c.text;
        }
    }
}

TEST(NetworkFile, DefaultsAndOrdering) {
    Network net = parse_network(R"({"nodes": [
        {"name": "x", "addresses": ["127.0.0.5", "127.1.2.3"], "kind": "server", "status": "Normal",
         "mib": {"ENT.10.0": ["INTEGER", 1], "ENT.9.0": ["INTEGER", 1], "ENT.9": ["INTEGER", 1]}},
        {"name": "y", "addresses": ["127.0.0.6"], "community": "private", "snmp": false}]})");
    ASSERT_EQ(net.nodes.size(), 2u);
    const Node* x = net.find(addr("127.1.2.3"));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->name, "x");
    EXPECT_EQ(x->communities, std::vector<std::string>{"public"});
    EXPECT_TRUE(x->snmp);
    EXPECT_FALSE(x->silent || x->web_agent || x->console);
    ASSERT_EQ(x->mib.size(), 3u);
    EXPECT_EQ(zq::oid_to_string(x->mib[0].oid), std::string(ZQ_ENT_TEXT) + ".9");
    EXPECT_EQ(zq::oid_to_string(x->mib[1].oid), std::string(ZQ_ENT_TEXT) + ".9.0");
    EXPECT_EQ(zq::oid_to_string(x->mib[2].oid), std::string(ZQ_ENT_TEXT) + ".10.0");
    EXPECT_EQ(net.find(addr("127.0.0.6"))->communities, std::vector<std::string>{"private"});
    EXPECT_FALSE(net.find(addr("127.0.0.6"))->snmp);
    EXPECT_EQ(net.find(addr("127.0.0.7")), nullptr);
}

TEST(NetworkFile, TheSampleNetworkLoads) {
    Network net = load_network(std::string(ZQ_SOURCE_DIR) + "/zq/sim/networks/demo.json");
    EXPECT_GE(net.nodes.size(), 10u);
}

TEST_F(Answers, GetAndGetNextInBothVersions) {
    const std::string ent = ZQ_ENT_TEXT;
    Response r = ask(request(0, "public", ber::kGetRequest, {"1.3.6.1.2.1.1.5.0", "ENT.1.0"}, 0, 0, 0x7fffffff));
    EXPECT_EQ(r.version, 0);
    EXPECT_EQ(r.reqid, 0x7fffffff);
    EXPECT_EQ(r.community, "public");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.binds.size(), 2u);
    EXPECT_EQ(r.binds[0].value, "a");
    EXPECT_EQ(r.binds[1].oid, ent + ".1.0");
    EXPECT_EQ(r.binds[1].value, std::string("\x7f\xff\xff\xff", 4));

    // The request id is echoed exactly, negative ones too.
    EXPECT_EQ(ask(request(1, "nimbus", ber::kGetRequest, {"ENT.1.0"}, 0, 0, -5)).reqid, -5);

    r = ask(request(1, "public", ber::kGetNextRequest, {"1.3.6.1.2.1.1.5.0", "ENT.2.0"}));
    ASSERT_EQ(r.binds.size(), 2u);
    EXPECT_EQ(r.binds[0].oid, ent + ".1.0");
    EXPECT_EQ(r.binds[1].oid, ent + ".3.0");
    EXPECT_EQ(r.binds[1].value, "\x01\x02\x03");
}

TEST_F(Answers, V1FailsAtTheFirstUnanswerableBindingAndEchoesTheRequest) {
    Response r = ask(request(0, "public", ber::kGetRequest, {"ENT.1.0", "ENT.7.0", "ENT.8.0"}));
    EXPECT_EQ(r.status, 2);  // noSuchName
    EXPECT_EQ(r.index, 2);
    ASSERT_EQ(r.binds.size(), 3u);
    EXPECT_EQ(r.binds[0].tag, ber::kNull);
    EXPECT_EQ(r.binds[0].oid, std::string(ZQ_ENT_TEXT) + ".1.0");

    // Past the end of the MIB, and the Counter64 that SNMPv1 cannot carry.
    r = ask(request(0, "public", ber::kGetNextRequest, {"ENT.3.0"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.index, 1);
    r = ask(request(0, "public", ber::kGetNextRequest, {"ENT.1.0"}));
    ASSERT_EQ(r.binds.size(), 1u);
    EXPECT_EQ(r.binds[0].oid, std::string(ZQ_ENT_TEXT) + ".3.0");
    EXPECT_EQ(ask(request(0, "public", ber::kGetRequest, {"ENT.2.0"})).status, 2);

    // An empty MIB: GetNext of anything is past the end.
    r = ask(request(0, "public", ber::kGetNextRequest, {"0.0"}), addr("127.0.9.2"));
    EXPECT_EQ(r.status, 2);
}

TEST_F(Answers, V2cAnswersWithExceptionValues) {
    Response r = ask(request(1, "public", ber::kGetRequest, {"ENT.7.0", "ENT.1.5", "ENT.2.0"}));
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.binds.size(), 3u);
    EXPECT_EQ(r.binds[0].tag, ber::kNoSuchObject);
    EXPECT_EQ(r.binds[1].tag, ber::kNoSuchInstance);
    EXPECT_EQ(r.binds[2].tag, ber::kCounter64);
    r = ask(request(1, "public", ber::kGetNextRequest, {"ENT.3.0", "ENT.2.5"}));
    ASSERT_EQ(r.binds.size(), 2u);
    EXPECT_EQ(r.binds[0].tag, ber::kEndOfMibView);
    EXPECT_EQ(r.binds[0].oid, std::string(ZQ_ENT_TEXT) + ".3.0");
    EXPECT_EQ(r.binds[1].tag, ber::kOctetString);
}

TEST_F(Answers, GetBulk) {
    // One non-repeater, then two columns for up to 10 repetitions.
    Response r = ask(request(1, "public", ber::kGetBulkRequest, {"1.3", "1.3", "ENT.2.0"}, 1, 10));
    EXPECT_EQ(r.status, 0);
    // 1 + rounds until both columns are past the end: column 1 has 4 entries, column 2 one.
    ASSERT_GE(r.binds.size(), 3u);
    EXPECT_EQ(r.binds[0].oid, "1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(r.binds[1].oid, "1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(r.binds[2].oid, std::string(ZQ_ENT_TEXT) + ".3.0");
    EXPECT_EQ(r.binds.back().tag, ber::kEndOfMibView);
    EXPECT_LT(r.binds.size(), 1u + 2u * 10u) << "stops once every column has ended";

    // Silly non-repeater and repetition counts are clamped, not trusted.
    r = ask(request(1, "public", ber::kGetBulkRequest, {"1.3"}, -4, 1000000000));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.binds.size(), 5u);  // four entries and endOfMibView
    r = ask(request(1, "public", ber::kGetBulkRequest, {"1.3"}, 99, 5));
    EXPECT_EQ(r.binds.size(), 1u);
    // SNMPv1 has no GetBulk.
    EXPECT_EQ(outcome(request(0, "public", ber::kGetBulkRequest, {"1.3"}, 0, 5)), Outcome::kMalformed);
}

TEST_F(Answers, SetIsRefusedAsReadOnly) {
    EXPECT_EQ(ask(request(0, "public", ber::kSetRequest, {"ENT.1.0"})).status, 2);
    EXPECT_EQ(ask(request(1, "public", ber::kSetRequest, {"ENT.1.0"})).status, 17);
}

TEST_F(Answers, NobodyAnswersTheWrongCommunityOrAddressOrVersion) {
    EXPECT_EQ(outcome(request(0, "Public", ber::kGetRequest, {"ENT.1.0"})), Outcome::kIgnored);
    EXPECT_EQ(outcome(request(0, "public", ber::kGetRequest, {"ENT.1.0"}), addr("127.0.9.3")), Outcome::kIgnored);
    EXPECT_EQ(outcome(request(3, "public", ber::kGetRequest, {"ENT.1.0"})), Outcome::kIgnored);
    EXPECT_EQ(outcome(request(0, "public", ber::kResponse, {"ENT.1.0"})), Outcome::kIgnored);
}

// Every truncation and many random corruptions of valid requests are either
// answered or refused; none reads outside the datagram (the sanitizer build
// checks that) and every answer is itself well-formed.
TEST_F(Answers, DamagedRequestsAreHandledSafely) {
    std::vector<std::string> seeds = {
        request(0, "public", ber::kGetRequest, {"1.3.6.1.2.1.1.5.0", "ENT.1.0"}),
        request(1, "public", ber::kGetNextRequest, {"ENT.2.0", "2.999.4294967295"}),
        request(1, "public", ber::kGetBulkRequest, {"1.3", "ENT"}, 1, 3),
    };
    std::mt19937 rng(12345);
    size_t answered = 0;
    for (const auto& seed : seeds) {
        for (size_t n = 0; n < seed.size(); ++n)
            EXPECT_NE(outcome(seed.substr(0, n)), Outcome::kAnswered) << "truncated to " << n;
        for (int i = 0; i < 3000; ++i) {
            std::string m = seed;
            int edits = 1 + static_cast<int>(rng() % 4);
            for (int e = 0; e < edits; ++e) m[rng() % m.size()] = static_cast<char>(rng() & 0xff);
            std::string reply;
            if (answer(net, addr("127.0.9.1"), reinterpret_cast<const uint8_t*>(m.data()), m.size(), reply) ==
                Outcome::kAnswered) {
                ++answered;
                Response r = decode(reply);
                ASSERT_FALSE(HasFailure()) << "malformed answer";
                EXPECT_LE(reply.size(), kMaxMessage);
            }
        }
    }
    EXPECT_GT(answered, 0u);
}

TEST(Ber, OidsAndIntegersRoundTrip) {
    for (const char* t : {"0.0", "1.3.6.1.4.1.64001", "2.40", "2.4294967215.7", "1.39.4294967295"}) {
        std::string enc;
        ASSERT_TRUE(ber::put_oid(enc, oid(t))) << t;
        ber::Reader r(enc);
        std::string_view c;
        ASSERT_TRUE(r.expect(ber::kOid, c));
        std::vector<uint32_t> back;
        ASSERT_TRUE(ber::decode_oid(c, back)) << t;
        EXPECT_EQ(zq::oid_to_string(back), t);
    }
    std::vector<uint32_t> out;
    EXPECT_FALSE(ber::decode_oid("", out));
    EXPECT_FALSE(ber::decode_oid("\x2b\x86", out)) << "a sub-identifier cut short";
    EXPECT_FALSE(ber::decode_oid("\x2b\x90\x80\x80\x80\x80\x01", out)) << "more than 32 bits";
    EXPECT_FALSE(ber::decode_oid(std::string(130, '\x01'), out)) << "more than 128 sub-identifiers";

    for (int64_t v : {0LL, 1LL, -1LL, 127LL, 128LL, -128LL, -129LL, 2147483647LL, -2147483648LL}) {
        std::string enc;
        ber::put_int(enc, v);
        ber::Reader r(enc);
        std::string_view c;
        int64_t back = 0;
        ASSERT_TRUE(r.expect(ber::kInteger, c) && ber::decode_int(c, back));
        EXPECT_EQ(back, v);
    }
}
