// trvchkagnt and trvchksnmp against real agents: simulated nodes of agentsim on
// 127.0.9.x and Debian's snmpd on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace {

using zqtest::Env;
using zqtest::RunResult;

const std::string kUsage =
    "\nTarvo utility to determine whether a node has Active Tarvo Agents.\n\n"
    "Usage :\ttrvchkagnt [-n nodename1 nodename2 ...]  \n\n"
    "\tnodename \t: Hostname/IP-Address of node.\n"
    "\tfilename\t: Name of file with list of Hostnames/IP-Addresses .\n";
const std::string kDefaultCommunity =
    "\nDefault Community String is taken from SNMP Configuration Database.\n"
    "Use the environment variable \"TRV_COMMUNITY\" to change it.\n";
const std::string kAvailable = "       SNMP connectivity is available.\n";
const std::string kNotAvailable = "       SNMP connectivity is not available.\n";
const std::string kRunning = "       Velm Management Agents are running.\n\n";
const std::string kNotRunning = "       Velm Management Agents are not running.\n\n";

std::string bad_option(const std::string& arg) { return "\nError : \"" + arg + "\" is a bad option. \n"; }
std::string node(const std::string& name) { return "\nNode - " + name + "\n"; }

// The system group of MIB-II; without sysContact.0 when lacking_contact.
std::string system_group(const std::string& name, bool lacking_contact = false) {
    std::string s =
        "\"1.3.6.1.2.1.1.1.0\": [\"STRING\", \"test node\"],"
        "\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"ENT.1.1.1.2\"],"
        "\"1.3.6.1.2.1.1.3.0\": [\"TIMETICKS\", 4242],";
    if (!lacking_contact) s += "\"1.3.6.1.2.1.1.4.0\": [\"STRING\", \"ops\"],";
    s += "\"1.3.6.1.2.1.1.5.0\": [\"STRING\", \"" + name +
         "\"],"
         "\"1.3.6.1.2.1.1.6.0\": [\"STRING\", \"lab\"],"
         "\"1.3.6.1.2.1.1.7.0\": [\"INTEGER\", 72]";
    return s;
}

// An agent that answers one request with the given error status and the
// request's own bindings: no real agent gives genErr or badValue on demand.
class ErrorAgent {
public:
    ErrorAgent(const char* addr, int port) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr, &a.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~ErrorAgent() { close(fd_); }
    bool ok() const { return ok_; }
    // Serves one request in the background; join() before looking at the tool.
    std::thread answer_once(int status) {
        return std::thread([this, status] {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) return;
            char buf[2048];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n <= 0) return;
            std::string m(buf, static_cast<size_t>(n)), reply = this->reply(m, status);
            sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
        });
    }

private:
    // The TLV at m[at]: its whole length, and the header length in *head.
    static size_t tlv_size(const std::string& m, size_t at, size_t* head) {
        size_t len = static_cast<unsigned char>(m.at(at + 1)), h = 2;
        if (len & 0x80) {
            size_t k = len & 0x7f;
            len = 0;
            for (size_t i = 0; i < k; ++i) len = len << 8 | static_cast<unsigned char>(m.at(at + 2 + i));
            h += k;
        }
        if (head) *head = h;
        return h + len;
    }
    static std::string tlv(char tag, const std::string& v) {
        std::string len = v.size() < 128 ? std::string(1, static_cast<char>(v.size()))
                                         : std::string{'\x82', static_cast<char>(v.size() >> 8), static_cast<char>(v.size())};
        return std::string(1, tag) + len + v;
    }
    static std::string reply(const std::string& m, int status) {
        size_t head = 0;
        tlv_size(m, 0, &head);
        size_t at = head;
        std::string version = m.substr(at, tlv_size(m, at, nullptr));
        at += version.size();
        std::string community = m.substr(at, tlv_size(m, at, nullptr));
        at += community.size();
        tlv_size(m, at, &head);  // the request PDU
        at += head;
        std::string id = m.substr(at, tlv_size(m, at, nullptr));
        at += id.size();
        at += tlv_size(m, at, nullptr);  // error status
        at += tlv_size(m, at, nullptr);  // error index
        std::string binds = m.substr(at, tlv_size(m, at, nullptr));
        std::string pdu = id + tlv(2, std::string(1, static_cast<char>(status))) + tlv(2, "\x01") + binds;
        return tlv(0x30, version + community + tlv('\xa2', pdu));
    }
    int fd_ = -1;
    bool ok_ = false;
};

// vend: the vendor's agents; plain: MIB-II only, without sysContact; zent: an
// object past the vendor's arc; silent: never answers; secret: answers only the
// community "nimbus".
std::string network() {
    auto n = [](const std::string& name, const std::string& addr, const std::string& extra,
                const std::string& mib) {
        return "{\"name\": \"" + name + "\", \"addresses\": [\"" + addr +
               "\"], \"kind\": \"server\", \"snmp\": true, " + extra + " \"mib\": {" + mib + "}}";
    };
    return "{\"nodes\": [" +
           n("vend", "127.0.9.1", "", system_group("vend") + ", \"ENT.11.2.2.2.0\": [\"STRING\", \"5.0\"]") + "," +
           n("plain", "127.0.9.2", "", system_group("plain", true)) + "," +
           n("zent", "127.0.9.3", "", system_group("zent") + ", \"ZENT.1.0\": [\"INTEGER\", 1]") + "," +
           n("silent", "127.0.9.4", "\"silent\": true,", system_group("silent")) + "," +
           n("secret", "127.0.9.5", "\"community\": \"nimbus\",",
             system_group("secret") + ", \"ENT.11.2.2.2.0\": [\"STRING\", \"5.0\"]") + "," +
           // An answer too big for a datagram: the agent says tooBig.
           n("huge", "127.0.9.6", "", system_group(std::string(66000, 'h'))) +
           "]}";
}

class CheckTools : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        unsetenv("TRV_COMMUNITY");
        inst_ = std::make_unique<zqtest::Instance>();
        const std::string& root = inst_->root;
        std::string port = std::to_string(inst_->snmp_port);
        snmpd_port_ = zqtest::free_udp_port();
        error_port_ = zqtest::free_udp_port();
        std::string sport = std::to_string(snmpd_port_);
        // Silence costs one short time-out; the answering nodes get room to spare.
        zqtest::write_file(root + "/conf/snmp.conf",
                           "127.0.9.4 port=" + port + " timeout=0.3 retries=0\n"
                           "127.0.9.5 port=" + port + " timeout=0.3 retries=1\n"
                           "127.0.9.7 port=" + std::to_string(error_port_) + " timeout=1 retries=0\n"
                           "127.0.9.* port=" + port + " timeout=1 retries=2\n"
                           "127.0.0.1 port=" + sport + " timeout=0.5 retries=1\n");
        zqtest::write_file(root + "/conf/hosts",
                           "127.0.9.1 vend\n127.0.9.2 plain\n127.0.9.3 zent\n127.0.9.4 silent\n127.0.9.5 secret\n");
        zqtest::write_file(inst_->dir.path + "/net.json", network());
        agentsim_ = std::make_unique<zqtest::Process>(
            std::vector<std::string>{zqtest::bin("agentsim"), inst_->dir.path + "/net.json", "--port", port,
                                     "--web-port", "0", "--console-port", "0"},
            inst_->env());
        agentsim_ok_ = agentsim_->wait_for_out("serving 6 nodes", 10000);

        snmpd_ = zqtest::start_snmpd(inst_->dir.path, snmpd_port_, "rocommunity public 127.0.0.1\nsysservices 72\n");
    }
    static void TearDownTestSuite() {
        snmpd_.reset();
        agentsim_.reset();
        inst_.reset();
    }
    void SetUp() override { ASSERT_TRUE(agentsim_ok_) << agentsim_->err(); }

    static RunResult agnt(const std::vector<std::string>& args, Env env = {}) {
        std::vector<std::string> argv{zqtest::bin("trvchkagnt")};
        argv.insert(argv.end(), args.begin(), args.end());
        Env e = inst_->env();
        e.insert(e.end(), env.begin(), env.end());
        return zqtest::run(argv, e);
    }
    static RunResult snmp(const std::vector<std::string>& args) {
        std::vector<std::string> argv{zqtest::bin("trvchksnmp")};
        argv.insert(argv.end(), args.begin(), args.end());
        return zqtest::run(argv, inst_->env());
    }

    static std::unique_ptr<zqtest::Instance> inst_;
    static std::unique_ptr<zqtest::Process> agentsim_, snmpd_;
    static bool agentsim_ok_;
    static int snmpd_port_, error_port_;
};
std::unique_ptr<zqtest::Instance> CheckTools::inst_;
std::unique_ptr<zqtest::Process> CheckTools::agentsim_;
std::unique_ptr<zqtest::Process> CheckTools::snmpd_;
bool CheckTools::agentsim_ok_ = false;
int CheckTools::snmpd_port_ = 0;
int CheckTools::error_port_ = 0;

// ---- trvchkagnt -------------------------------------------------------------

TEST_F(CheckTools, AgentCheckUsageAndOptionErrors) {
    RunResult none = agnt({});
    EXPECT_EQ(none.status, 255);
    EXPECT_EQ(none.out, kUsage);

    RunResult bad = agnt({"-x", "a"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, bad_option("-x") + kUsage);

    // A bad option anywhere is found before anything else.
    RunResult bad_late = agnt({"-n", "vend", "-q"});
    EXPECT_EQ(bad_late.status, 1);
    EXPECT_EQ(bad_late.out, bad_option("-q") + kUsage);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-n"}, {"-n", "-n"}, {"-n", "-n", "-n"}, {"-n", "-f", "a"}, {"-f"}, {"-f", "a", "b"}}) {
        RunResult r = agnt(args);
        EXPECT_EQ(r.status, 254) << args.size();
        EXPECT_EQ(r.out, kUsage);
    }

    // "-n" comes first: what stands before it is no node.
    for (const auto& args : std::vector<std::vector<std::string>>{{"a"}, {"a", "-n", "vend"}}) {
        RunResult no_option = agnt(args);
        EXPECT_EQ(no_option.status, 253) << args.size();
        EXPECT_EQ(no_option.out, kDefaultCommunity + bad_option("a") + kUsage);
    }

    RunResult help = agnt({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, kUsage);
}

TEST_F(CheckTools, AgentCheckReportsEachNode) {
    RunResult r = agnt({"-n", "vend", "plain", "127.0.9.3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kDefaultCommunity + node("vend") + kAvailable + kRunning + node("plain") + kAvailable +
                         kNotRunning + node("127.0.9.3") + kAvailable + kNotRunning);
    EXPECT_EQ(r.err, "");
}

TEST_F(CheckTools, SilentAndUnknownNodesAreNotAvailable) {
    // The silent node gets no agents query; the others are reported all the same.
    RunResult r = agnt({"-n", "silent", "nosuch.invalid", "vend"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kDefaultCommunity + node("silent") + kNotAvailable + node("nosuch.invalid") + kNotAvailable +
                         node("vend") + kAvailable + kRunning);
    // The unknown host fails in the library, which says why on standard error.
    EXPECT_EQ(r.err.substr(0, 1), "\n");
    EXPECT_GT(r.err.size(), 2u);
}

TEST_F(CheckTools, AnEmptyNameIsNoNode) {
    // Without the check the library would ask 127.0.0.1, where snmpd answers.
    RunResult agent = agnt({"-n", "", "vend"});
    EXPECT_EQ(agent.status, 1);
    EXPECT_EQ(agent.out, kDefaultCommunity + node("") + kNotAvailable + node("vend") + kAvailable + kRunning);
    RunResult s = snmp({"", "public"});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.err, " SNMP connection absent");
}

TEST_F(CheckTools, CommunityComesFromTrvCommunity) {
    RunResult with = agnt({"-n", "secret"}, {{"TRV_COMMUNITY", "nimbus"}});
    EXPECT_EQ(with.status, 0);
    EXPECT_EQ(with.out, "\nUsing Community String \"nimbus\".\n" + node("secret") + kAvailable + kRunning);

    RunResult without = agnt({"-n", "secret"}, {{"TRV_COMMUNITY", ""}});
    EXPECT_EQ(without.status, 1);
    EXPECT_EQ(without.out, kDefaultCommunity + node("secret") + kNotAvailable);
}

TEST_F(CheckTools, AgentCheckReadsNodeNamesFromAFile) {
    zqtest::TempDir t;
    std::string file = t.path + "/nodes";
    zqtest::write_file(file, "# lab nodes\n\n  vend  \n\t127.0.9.2\r\n# zent\n   \nzent\n");
    RunResult r = agnt({"-f", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kDefaultCommunity + node("vend") + kAvailable + kRunning + node("127.0.9.2") + kAvailable +
                         kNotRunning + node("zent") + kAvailable + kNotRunning);

    zqtest::write_file(file, "silent\n");
    EXPECT_EQ(agnt({"-f", file}).status, 1);

    // What cannot be a host name is skipped with a word on standard error.
    zqtest::write_file(file, std::string(300, 'h') + "\n" + std::string(5000, 'x') + "\n" + std::string("nul\0byte\nvend\n", 14));
    RunResult odd = agnt({"-f", file});
    EXPECT_EQ(odd.status, 0) << odd.err;
    EXPECT_EQ(odd.out, kDefaultCommunity + node("vend") + kAvailable + kRunning);
    for (const char* n : {"line 1 ", "line 2 ", "line 3 "}) EXPECT_NE(odd.err.find(n), std::string::npos) << odd.err;

    // A device that never ends is read only so far.
    RunResult zero = agnt({"-f", "/dev/zero"});
    EXPECT_EQ(zero.status, 1);
    EXPECT_NE(zero.err.find("\nNo nodes specified in \"/dev/zero\".\n"), std::string::npos);

    // A file that names no node, or cannot be read: nothing is asked.
    zqtest::write_file(file, "# nothing here\n\n");
    for (const std::string& f : {file, t.path + "/missing", t.path}) {
        RunResult none = agnt({"-f", f});
        EXPECT_EQ(none.status, 1) << f;
        EXPECT_EQ(none.err, "\nNo nodes specified in \"" + f + "\".\n");
        EXPECT_EQ(none.out, kDefaultCommunity);
    }
}

// ---- trvchksnmp -------------------------------------------------------------

TEST_F(CheckTools, SnmpCheckUsage) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"127.0.0.1"}}) {
        RunResult r = snmp(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Usage: trvchksnmp hostname community\n");
        EXPECT_EQ(r.out, "");
    }
    RunResult help = snmp({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, "Usage: trvchksnmp hostname community\n");
}

TEST_F(CheckTools, SnmpCheckAgainstSnmpd) {
    if (!snmpd_) GTEST_SKIP() << "snmpd is not installed or did not start";
    RunResult present = snmp({"127.0.0.1", "public"});
    EXPECT_EQ(present.status, 0) << present.err;
    EXPECT_EQ(present.out, "\n SNMP connection present.\n");
    EXPECT_EQ(present.err, "");

    // snmpd stays silent to a community it does not know.
    RunResult absent = snmp({"127.0.0.1", "wrong"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.out, "");
    EXPECT_EQ(absent.err, " SNMP connection absent");
}

TEST_F(CheckTools, SnmpCheckAgainstSimulatedNodes) {
    RunResult present = snmp({"vend", "public"});
    EXPECT_EQ(present.status, 0) << present.err;
    EXPECT_EQ(present.out, "\n SNMP connection present.\n");

    // One of the seven objects is missing: noSuchName, the request can be fixed,
    // and the tool ends as after an answer but says nothing.
    RunResult lacking = snmp({"plain", "public"});
    EXPECT_EQ(lacking.status, 0) << lacking.err;
    EXPECT_EQ(lacking.out, "");
    EXPECT_EQ(lacking.err, "");

    RunResult silent = snmp({"silent", "public"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.err, " SNMP connection absent");
}

TEST_F(CheckTools, SnmpCheckNamesTheAgentsErrorStatus) {
    RunResult big = snmp({"127.0.9.6", "public"});
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(big.err, " tooBig\n");

    ErrorAgent agent("127.0.9.7", error_port_);
    ASSERT_TRUE(agent.ok());
    const std::pair<int, std::string> cases[] = {
        {3, "badValue"}, {4, "readOnly"}, {5, "genErr"}, {16, "authorizationError"}, {99, "error status 99"}};
    for (const auto& [status, name] : cases) {
        std::thread t = agent.answer_once(status);
        RunResult r = snmp({"127.0.9.7", "public"});
        t.join();
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, " " + name + "\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(CheckTools, SnmpCheckOfAnUnknownHost) {
    RunResult r = snmp({"nosuch.invalid", "public"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Unable to initialize SNMP session: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.back(), '\n');
    EXPECT_EQ(r.out, "");
}

}  // namespace
