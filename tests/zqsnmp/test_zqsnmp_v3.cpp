// SNMPv3 request sessions against Debian's snmpd with a user of each security
// level: the host lines of conf/snmp.conf, the owner-only users file, and the
// error each security failure gives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testsupport.h"
#include "zqsnmp.h"

namespace {

using zqtest::Instance;
using zqtest::Process;

const ZqOid kEntInt[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};
const ZqOid kMissing[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 9, 0};
constexpr size_t kEntLeaf = ZQ_ENT_LENGTH + 5;

struct SessionCloser {
    void operator()(ZqSession* s) const { ZqsnmpClose(s); }
};
using SessionPtr = std::unique_ptr<ZqSession, SessionCloser>;

class V3Agent : public ::testing::Test {
protected:
    static inline Instance* inst = nullptr;
    static inline std::unique_ptr<Process> snmpd;

    static void SetUpTestSuite() {
        inst = new Instance();
        inst->activate();
        // One user per level, and per pair of protocols worth telling apart.
        snmpd = zqtest::start_snmpd(inst->dir.path, inst->snmp_port,
                                    "createUser plain\n"
                                    "createUser signer SHA \"sign-phrase-1\"\n"
                                    "createUser sealer SHA-256 \"seal-auth-phrase\" AES \"seal-priv-phrase\"\n"
                                    "createUser vault SHA-512 \"vault-auth-phrase\" AES-256 \"vault-priv-phrase\"\n"
                                    "rouser plain noauth\nrouser signer auth\nrouser sealer priv\nrouser vault priv\n"
                                    "override ." ZQ_ENT_TEXT ".11.2.10.1.0 integer 305419896\n");
    }
    static void TearDownTestSuite() {
        snmpd.reset();
        delete inst;
        inst = nullptr;
    }
    void SetUp() override {
        inst->activate();
        if (snmpd == nullptr) GTEST_SKIP() << "/usr/sbin/snmpd is not installed";
        users("plain\n"
              "signer authpass=sign-phrase-1\n"
              "sealer auth=SHA-256 authpass=seal-auth-phrase priv=AES privpass=seal-priv-phrase\n"
              "vault authpass=vault-auth-phrase privpass=vault-priv-phrase\n");
        // Another users file, named by secrets=, with wrong pass phrases.
        users("sealer auth=SHA-256 authpass=not-the-phrase privpass=seal-priv-phrase\n"
              "signer authpass=sign-phrase-1 privpass=sign-priv-phrase\n"
              "nobody authpass=nobody-phrase-1\n"
              "vault auth=SHA-512 authpass=vault-auth-phrase priv=AES-256 privpass=not-the-phrase\n",
              0600, "wrong.users");
    }
    static void users(const std::string& text, mode_t mode = 0600, const std::string& name = "snmpv3.users") {
        std::string f = inst->root + "/conf/" + name;
        zqtest::write_file(f, text);
        chmod(f.c_str(), mode);
    }
    static void host_line(const std::string& keys) {
        zqtest::write_file(inst->root + "/conf/snmp.conf", "v3host " + keys + "\n* port=" +
                                                               std::to_string(inst->snmp_port) +
                                                               " timeout=0.5 retries=1\n");
        zqtest::write_file(inst->root + "/conf/hosts", "127.0.0.1 v3host\n");
    }
    // A Get of the vendor's integer: its value, or -errno.
    static long long get_int(const ZqOid* name, size_t len) {
        SessionPtr s(ZqsnmpOpen("ignored", "v3host", -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr));
        if (!s) return -ZqsnmpErrno;
        ZqPdu* req = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
        ZqsnmpAddNullVarBind(req, name, len);
        ZqPdu* resp = ZqsnmpBlockingSend(s.get(), req);
        if (resp == nullptr) {
            int e = ZqsnmpErrno;
            if (e != ZQSNMP_E_TIMEOUT) ZqsnmpFreePdu(req);
            return -e;
        }
        long long v = resp->errstat != 0 ? -1000 - resp->errstat
                      : resp->variables->type == ZQ_ASN_INTEGER ? *resp->variables->val.integer
                                                                : -2000;
        EXPECT_EQ(resp->version, 3);
        ZqsnmpFreePdu(resp);
        return v;
    }
};

}  // namespace

TEST_F(V3Agent, EachLevelAnswersAndEachFailureHasItsOwnError) {
    struct Case {
        const char* keys;
        long long want;  // the value, or -error
    } cases[] = {
        {"version=3 user=plain level=noAuthNoPriv", 305419896},
        {"version=3 user=signer level=authNoPriv", 305419896},
        {"version=3 user=sealer level=authPriv", 305419896},
        // Protocols from the host line win over the users file's (none there).
        {"version=3 user=vault level=authPriv auth=SHA-512 priv=AES-256", 305419896},
        // The level defaults to what the user's pass phrases allow.
        {"version=3 user=signer", 305419896},
        {"version=3 user=sealer level=authPriv secrets=wrong.users", -ZQSNMP_E_V3AUTH},
        // snmpd cannot decrypt with the wrong key and says nothing.
        {"version=3 user=vault level=authPriv secrets=wrong.users", -ZQSNMP_E_TIMEOUT},
        {"version=3 user=sealer level=authPriv auth=SHA-1", -ZQSNMP_E_V3AUTH},
        {"version=3 user=signer level=authNoPriv auth=MD5", -ZQSNMP_E_V3AUTH},
        {"version=3 user=nobody level=noAuthNoPriv", -ZQSNMP_E_V3USER},
        // snmpd's "signer" has no privacy key.
        {"version=3 user=signer level=authPriv secrets=wrong.users", -ZQSNMP_E_V3LEVEL},
        // snmpd lets "signer" read at authNoPriv or above: a plain request reads
        // as an object the user may not see.
        {"version=3 user=signer level=noAuthNoPriv", -1000 - ZQ_ERR_NOSUCHNAME},
        {"version=3 user=ghost level=authPriv", -ZQSNMP_E_V3CONF},
    };
    for (const Case& c : cases) {
        host_line(c.keys);
        EXPECT_EQ(get_int(kEntInt, kEntLeaf), c.want) << c.keys << ": " << ZqsnmpErrString(ZqsnmpErrno);
    }
    // A missing object reads as an SNMPv1 agent says it: noSuchName.
    host_line("version=3 user=sealer level=authPriv");
    EXPECT_EQ(get_int(kMissing, kEntLeaf), -1000 - ZQ_ERR_NOSUCHNAME);
}

TEST_F(V3Agent, AUsersFileOthersMayReadIsRefusedWithItsPath) {
    host_line("version=3 user=sealer level=authPriv");
    users("sealer auth=SHA-256 authpass=seal-auth-phrase priv=AES privpass=seal-priv-phrase\n", 0644);
    EXPECT_EQ(get_int(kEntInt, kEntLeaf), -ZQSNMP_E_V3CONF);
    std::string text = ZqsnmpErrString(ZQSNMP_E_V3CONF);
    EXPECT_NE(text.find(inst->root + "/conf/snmpv3.users"), std::string::npos) << text;
    EXPECT_NE(text.find("0644"), std::string::npos) << text;
    // zqcheck says the same, and checks the host line against the file.
    auto r = zqtest::run({zqtest::bin("zqcheck")}, inst->env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("conf/snmpv3.users: holds pass phrases but others may read it (mode 0644"),
              std::string::npos)
        << r.out;
    users("sealer authpass=seal-auth-phrase\n");
    r = zqtest::run({zqtest::bin("zqcheck")}, inst->env());
    EXPECT_NE(r.out.find("level authPriv needs authpass and privpass for user 'sealer'"), std::string::npos) << r.out;
}

TEST_F(V3Agent, CheckersAnswerForAnSnmpv3Host) {
    auto run = [](const std::vector<std::string>& argv) { return zqtest::run(argv, inst->env()); };
    host_line("version=3 user=sealer level=authPriv");
    auto snmp = run({zqtest::bin("trvchksnmp"), "v3host", "unused"});
    EXPECT_EQ(snmp.status, 0) << snmp.err;
    auto agnt = run({zqtest::bin("trvchkagnt"), "-n", "v3host"});
    EXPECT_NE(agnt.out.find("SNMP connectivity is available."), std::string::npos) << agnt.out << agnt.err;
    EXPECT_NE(agnt.out.find("Management Agents are running."), std::string::npos) << agnt.out;
    // A refusal by the agent: no connection, and the tools say why (a wrong
    // privacy key gets no answer from snmpd: the usual texts).
    struct Case {
        const char* keys;
        int error;  // 0: silence
    } cases[] = {
        {"version=3 user=sealer level=authPriv secrets=wrong.users", ZQSNMP_E_V3AUTH},
        {"version=3 user=nobody level=noAuthNoPriv", ZQSNMP_E_V3USER},
        {"version=3 user=vault level=authPriv secrets=wrong.users", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        host_line(c.keys);
        const std::string why = c.error != 0 ? ZqsnmpErrString(c.error) : "";
        snmp = run({zqtest::bin("trvchksnmp"), "v3host", "unused"});
        EXPECT_EQ(snmp.status, 1);
        EXPECT_EQ(snmp.err, c.error != 0 ? " SNMP connection absent: " + why + "\n" : " SNMP connection absent");
        agnt = run({zqtest::bin("trvchkagnt"), "-n", "v3host"});
        EXPECT_NE(agnt.out.find("SNMP connectivity is not available."), std::string::npos) << agnt.out;
        EXPECT_EQ(agnt.err, c.error != 0 ? "\n" + why + "\n" : "");
    }
}
