// agentsim against net-snmp's own command-line tools, over real UDP and TCP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"

using zqtest::bin;
using zqtest::Process;
using zqtest::run;
using zqtest::RunResult;
using zqtest::TempDir;
using zqtest::write_file;

namespace {

const char* const kNetwork = R"({ "nodes": [
  { "name": "alpha", "addresses": ["127.0.4.1", "127.0.5.1"], "web_agent": true, "console": true,
    "mib": {
      "1.3.6.1.2.1.1.5.0":  ["STRING", "alpha"],
      "ENT.1.1.0":          ["INTEGER", -42],
      "ENT.1.2.0":          ["STRING", "hello world"],
      "ENT.1.3.0":          ["HEX", "00ff10"],
      "ENT.1.4.0":          ["OID", "ENT.1.2.3"],
      "ENT.1.5.0":          ["IPADDRESS", "10.1.2.3"],
      "ENT.1.6.0":          ["COUNTER", 4294967295],
      "ENT.1.7.0":          ["GAUGE", "7"],
      "ENT.1.8.0":          ["TIMETICKS", 12345],
      "ENT.1.9.0":          ["OPAQUE", "C0FFEE"],
      "ENT.1.10.0":         ["COUNTER64", "18446744073709551615"] } },
  { "name": "beta", "addresses": ["127.0.4.2"], "community": ["private", "other"],
    "mib": { "1.3.6.1.2.1.1.5.0": ["STRING", "beta"] } },
  { "name": "quiet", "addresses": ["127.0.4.3"], "silent": true, "web_agent": "hang",
    "mib": { "1.3.6.1.2.1.1.5.0": ["STRING", "quiet"] } },
  { "name": "noagent", "addresses": ["127.0.4.4"], "snmp": false,
    "mib": { "1.3.6.1.2.1.1.5.0": ["STRING", "noagent"] } }
] })";

const std::string kEnt = "1.3.6.1.4.1.64001";

bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// One agentsim for the whole suite: starting it is cheap, but the suite is
// meant to be frugal.
class Agentsim : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        file_ = dir_->path + "/net.json";
        write_file(file_, kNetwork);
        port_ = zqtest::free_udp_port();
        web_port_ = zqtest::free_tcp_port();
        console_port_ = zqtest::free_tcp_port();
        proc_ = new Process({bin("agentsim"), file_, "--port", std::to_string(port_), "--web-port",
                             std::to_string(web_port_), "--console-port", std::to_string(console_port_)});
        ASSERT_TRUE(proc_->wait_for_out("serving 4 nodes", 10000)) << proc_->err();
    }
    static void TearDownTestSuite() {
        delete proc_;
        delete dir_;
    }

    // Runs a net-snmp tool with numeric output and no MIB files.
    static RunResult snmp(const std::string& tool, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"/usr/bin/" + tool, "-On", "-t", "0.3", "-r", "0"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, {{"MIBS", ""}, {"SNMPCONFPATH", dir_->path}, {"SNMP_PERSISTENT_DIR", dir_->path}});
    }
    static std::string at(const std::string& addr) { return addr + ":" + std::to_string(port_); }

    static TempDir* dir_;
    static std::string file_;
    static int port_, web_port_, console_port_;
    static Process* proc_;
};

TempDir* Agentsim::dir_ = nullptr;
std::string Agentsim::file_;
int Agentsim::port_ = 0, Agentsim::web_port_ = 0, Agentsim::console_port_ = 0;
Process* Agentsim::proc_ = nullptr;

TEST_F(Agentsim, GetShowsEveryTypeInBothVersions) {
    for (const char* v : {"-v1", "-v2c"}) {
        auto r = snmp("snmpget", {v, "-c", "public", at("127.0.4.1"), kEnt + ".1.1.0", kEnt + ".1.2.0",
                                  kEnt + ".1.3.0", kEnt + ".1.4.0", kEnt + ".1.5.0", kEnt + ".1.6.0",
                                  kEnt + ".1.7.0", kEnt + ".1.8.0", kEnt + ".1.9.0"});
        ASSERT_EQ(r.status, 0) << v << r.err;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.1.0 = INTEGER: -42")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.2.0 = STRING: \"hello world\"")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.3.0 = Hex-STRING: 00 FF 10")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.4.0 = OID: ." + kEnt + ".1.2.3")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.5.0 = IpAddress: 10.1.2.3")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.6.0 = Counter32: 4294967295")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.7.0 = Gauge32: 7")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.8.0 = Timeticks: (12345)")) << r.out;
        EXPECT_TRUE(has(r.out, "." + kEnt + ".1.9.0 = OPAQUE: C0 FF EE")) << r.out;
    }
    auto c64 = snmp("snmpget", {"-v2c", "-c", "public", at("127.0.4.1"), kEnt + ".1.10.0"});
    EXPECT_TRUE(has(c64.out, "Counter64: 18446744073709551615")) << c64.out << c64.err;
}

TEST_F(Agentsim, WalkGoesInOidOrderAndEnds) {
    auto v1 = snmp("snmpwalk", {"-v1", "-c", "public", at("127.0.4.1"), ".1"});
    ASSERT_EQ(v1.status, 0) << v1.err;
    // Numeric order: sysName first, then ENT.1.1 ... ENT.1.9 (10 after 9, not after 1).
    size_t pos = v1.out.find(".1.3.6.1.2.1.1.5.0 = STRING: \"alpha\"");
    ASSERT_NE(pos, std::string::npos) << v1.out;
    for (int i = 1; i <= 9; ++i) {
        size_t next = v1.out.find("." + kEnt + ".1." + std::to_string(i) + ".0 =", pos);
        ASSERT_NE(next, std::string::npos) << i << "\n" << v1.out;
        pos = next;
    }
    // SNMPv1 cannot carry a Counter64: the walk passes over it.
    EXPECT_FALSE(has(v1.out, "Counter64")) << v1.out;

    auto v2 = snmp("snmpwalk", {"-v2c", "-c", "public", at("127.0.4.1"), kEnt});
    ASSERT_EQ(v2.status, 0) << v2.err;
    EXPECT_TRUE(has(v2.out, "." + kEnt + ".1.10.0 = Counter64: 18446744073709551615")) << v2.out;
    EXPECT_EQ(v2.out.find(".1.3.6.1.2.1.1.5.0"), std::string::npos) << "the walk stays below its root";
}

TEST_F(Agentsim, PastTheEndAndMissingObjects) {
    auto v1 = snmp("snmpgetnext", {"-v1", "-c", "public", at("127.0.4.1"), kEnt + ".1.10.0"});
    EXPECT_NE(v1.status, 0);
    EXPECT_TRUE(has(v1.out + v1.err, "noSuchName")) << v1.out << v1.err;

    auto v2 = snmp("snmpgetnext", {"-v2c", "-c", "public", at("127.0.4.1"), kEnt + ".1.10.0"});
    EXPECT_TRUE(has(v2.out, "No more variables left in this MIB View")) << v2.out << v2.err;

    auto get1 = snmp("snmpget", {"-v1", "-c", "public", at("127.0.4.1"), kEnt + ".1.99.0"});
    EXPECT_NE(get1.status, 0);
    EXPECT_TRUE(has(get1.out + get1.err, "noSuchName")) << get1.out << get1.err;

    auto get2 = snmp("snmpget", {"-v2c", "-c", "public", at("127.0.4.1"), kEnt + ".1.99.0", kEnt + ".1.2.1"});
    EXPECT_TRUE(has(get2.out, "." + kEnt + ".1.99.0 = No Such Object")) << get2.out;
    EXPECT_TRUE(has(get2.out, "." + kEnt + ".1.2.1 = No Such Instance")) << get2.out;
}

TEST_F(Agentsim, BulkGetReturnsRepetitions) {
    auto r = snmp("snmpbulkget", {"-v2c", "-c", "public", "-Cn1", "-Cr3", at("127.0.4.1"), "1.3.6.1.2.1.1.4.0",
                                  kEnt + ".1.7.0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, ".1.3.6.1.2.1.1.5.0 = STRING: \"alpha\"")) << r.out;
    EXPECT_TRUE(has(r.out, "." + kEnt + ".1.8.0 = Timeticks")) << r.out;
    EXPECT_TRUE(has(r.out, "." + kEnt + ".1.9.0 = OPAQUE")) << r.out;
    EXPECT_TRUE(has(r.out, "." + kEnt + ".1.10.0 = Counter64")) << r.out;
}

TEST_F(Agentsim, CommunitiesSilentNodesAndUnknownAddresses) {
    // beta answers either of its two communities and not the default one.
    for (const char* c : {"private", "other"}) {
        auto ok = snmp("snmpget", {"-v2c", "-c", c, at("127.0.4.2"), "1.3.6.1.2.1.1.5.0"});
        EXPECT_TRUE(has(ok.out, "STRING: \"beta\"")) << c << ok.out << ok.err;
    }
    struct Case {
        const char* addr;
        const char* community;
    } silent[] = {{"127.0.4.2", "public"},   // wrong community
                  {"127.0.4.1", "private"},  // alpha only answers public
                  {"127.0.4.3", "public"},   // silent node
                  {"127.0.4.4", "public"},   // no agent at all
                  {"127.0.4.9", "public"}};  // no node there
    for (const auto& c : silent) {
        auto r = snmp("snmpget", {"-v1", "-c", c.community, at(c.addr), "1.3.6.1.2.1.1.5.0"});
        EXPECT_NE(r.status, 0) << c.addr;
        EXPECT_TRUE(has(r.err, "Timeout")) << c.addr << " " << r.out << r.err;
    }
}

TEST_F(Agentsim, EachAddressAnswersForItsOwnNode) {
    auto a = snmp("snmpget", {"-v1", "-c", "public", at("127.0.4.1"), "1.3.6.1.2.1.1.5.0"});
    auto a2 = snmp("snmpget", {"-v1", "-c", "public", at("127.0.5.1"), "1.3.6.1.2.1.1.5.0"});
    auto b = snmp("snmpget", {"-v1", "-c", "private", at("127.0.4.2"), "1.3.6.1.2.1.1.5.0"});
    EXPECT_TRUE(has(a.out, "\"alpha\"")) << a.out;
    EXPECT_TRUE(has(a2.out, "\"alpha\"")) << a2.out << a2.err;
    EXPECT_TRUE(has(b.out, "\"beta\"")) << b.out;
}

// A connected UDP socket only accepts datagrams from the address it is
// connected to, so a reply shows it came from the address that was asked.
TEST_F(Agentsim, RepliesComeFromTheAskedAddress) {
    // SNMPv1 Get of sysName.0, community "private", request id 0x1234.
    const unsigned char get[] = {0x30, 0x28, 0x02, 0x01, 0x00, 0x04, 0x07, 'p', 'r', 'i', 'v', 'a', 't', 'e',
                                 0xa0, 0x1a, 0x02, 0x02, 0x12, 0x34, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00,
                                 0x30, 0x0e, 0x30, 0x0c, 0x06, 0x08, 0x2b, 0x06, 0x01, 0x02, 0x01, 0x01,
                                 0x05, 0x00, 0x05, 0x00};
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port_));
    inet_pton(AF_INET, "127.0.4.2", &to.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(send(fd, get, sizeof get, 0), static_cast<ssize_t>(sizeof get));
    unsigned char buf[1500];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    close(fd);
    ASSERT_GT(n, 0) << "no reply from 127.0.4.2";
    std::string reply(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    EXPECT_TRUE(has(reply, std::string("\x02\x02\x12\x34", 4))) << "request id echoed";
    EXPECT_TRUE(has(reply, "beta"));
}

TEST_F(Agentsim, GarbageDoesNotStopIt) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port_));
    inet_pton(AF_INET, "127.0.4.1", &to.sin_addr);
    const std::string junk[] = {"", "x", std::string("\x30\x84\xff\xff\xff\xff", 6), std::string("\x30\x80", 2),
                                std::string(65000, '\x30')};
    for (const auto& j : junk)
        sendto(fd, j.data(), j.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    auto r = snmp("snmpget", {"-v2c", "-c", "public", at("127.0.4.1"), "1.3.6.1.2.1.1.5.0"});
    EXPECT_TRUE(has(r.out, "\"alpha\"")) << r.out << r.err;
    EXPECT_TRUE(proc_->running());
}

TEST_F(Agentsim, HttpRespondersAnswerWhereConfigured) {
    auto probe = [](const char* addr, int port, long wait_ms = 5000) -> std::string {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr, &a.sin_addr);
        timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return "refused";
        }
        const char req[] = "GET /Proxy/StatusReport?Type=Summary HTTP/1.0\n\n";
        send(fd, req, sizeof req - 1, MSG_NOSIGNAL);
        std::string got;
        char buf[1000];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
        if (n < 0 && got.empty()) got = "no answer";  // still open when the wait ran out
        close(fd);
        return got;
    };
    EXPECT_EQ(probe("127.0.4.1", web_port_).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(probe("127.0.5.1", web_port_).rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << "every address of the node";
    EXPECT_EQ(probe("127.0.4.1", console_port_).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(probe("127.0.4.2", web_port_), "refused");
    EXPECT_EQ(probe("127.0.4.2", console_port_), "refused");
    // "hang": accepted, and never answered.
    EXPECT_EQ(probe("127.0.4.3", web_port_, 400), "no answer");
}

// Runs last in the suite: it changes the network file.
TEST_F(Agentsim, ZzSighupRereadsTheFileAndKeepsTheOldOneWhenBad) {
    write_file(file_, R"({"nodes": [{"name": "beta", "addresses": ["127.0.4.2"], "web_agent": true,
                          "mib": {"1.3.6.1.2.1.1.5.0": ["STRING", "beta2"]}}]})");
    kill(proc_->pid(), SIGHUP);
    ASSERT_TRUE(proc_->wait_for_out("reloaded", 5000)) << proc_->err();
    auto b = snmp("snmpget", {"-v1", "-c", "public", at("127.0.4.2"), "1.3.6.1.2.1.1.5.0"});
    EXPECT_TRUE(has(b.out, "\"beta2\"")) << b.out << b.err;
    auto gone = snmp("snmpget", {"-v1", "-c", "public", at("127.0.4.1"), "1.3.6.1.2.1.1.5.0"});
    EXPECT_TRUE(has(gone.err, "Timeout")) << "alpha left the network";

    write_file(file_, R"({"nodes": [{"name": "beta", "addresses": ["10.0.0.1"]}]})");
    kill(proc_->pid(), SIGHUP);
    ASSERT_TRUE(proc_->wait_for_err("cannot reload", 5000));
    EXPECT_TRUE(has(proc_->err(), "not a loopback address")) << proc_->err();
    auto still = snmp("snmpget", {"-v1", "-c", "public", at("127.0.4.2"), "1.3.6.1.2.1.1.5.0"});
    EXPECT_TRUE(has(still.out, "\"beta2\"")) << still.out << still.err;
    EXPECT_TRUE(proc_->running());
}

TEST(AgentsimStart, DefaultPortComesFromTheInstance) {
    zqtest::Instance inst;
    TempDir t;
    write_file(t.path + "/net.json", kNetwork);
    Process p({bin("agentsim"), t.path + "/net.json", "--web-port", std::to_string(zqtest::free_tcp_port()),
               "--console-port", std::to_string(zqtest::free_tcp_port())},
              inst.env());
    ASSERT_TRUE(p.wait_for_out("on UDP port " + std::to_string(inst.snmp_port) + "\n", 10000)) << p.err();
    auto r = run({"/usr/bin/snmpget", "-On", "-t", "0.5", "-r", "1", "-v1", "-c", "public",
                  "127.0.4.1:" + std::to_string(inst.snmp_port), "1.3.6.1.2.1.1.5.0"},
                 {{"MIBS", ""}, {"SNMPCONFPATH", t.path}, {"SNMP_PERSISTENT_DIR", t.path}});
    EXPECT_TRUE(has(r.out, "\"alpha\"")) << r.out << r.err;
    EXPECT_EQ(p.stop(SIGTERM), 0);
}

TEST(AgentsimStart, BadFilesAndCommandLinesAreRefused) {
    TempDir t;
    write_file(t.path + "/bad.json", R"({"nodes": [{"name": "x", "addresses": ["127.0.0.9"],
                                        "mib": {"1.3.6.1.2.1.1.5.0": ["INTEGER", "many"]}}]})");
    auto bad = run({bin("agentsim"), t.path + "/bad.json", "--port", "1"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(has(bad.err, "node 1 (x), mib 1.3.6.1.2.1.1.5.0: INTEGER")) << bad.err;
    auto missing = run({bin("agentsim"), t.path + "/none.json"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(has(missing.err, "cannot read")) << missing.err;
    EXPECT_EQ(run({bin("agentsim")}).status, 2);
    EXPECT_EQ(run({bin("agentsim"), "x.json", "--port", "0"}).status, 2);
    EXPECT_EQ(run({bin("agentsim"), "x.json", "--bogus"}).status, 2);
    auto help = run({bin("agentsim"), "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(has(help.out, "usage: agentsim"));
}

}  // namespace
