// trapd and SNMPv3: net-snmp's snmptrap and snmpinform with a user of each
// security level and pair of protocols, and the messages that must be counted
// and never delivered.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "eventread.h"
#include "testsupport.h"
#include "zqsnmp.h"

using zqtest::Process;

namespace {

const std::string kEntText = "1.3.6.1.4.1.64001";
const std::string kSender = "0x8000000001020304";  // the engine ID the traps come from

struct V3Got {
    int version = -1, level = -1;
    std::string user, community, trap_id;
};

void keep(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    if (reason != ZQSNMP_REASON_TRAP || pdu == nullptr) return;
    V3Got g;
    g.version = pdu->version;
    g.level = pdu->security_level;
    if (pdu->security_name) g.user.assign(reinterpret_cast<char*>(pdu->security_name), pdu->security_name_len);
    g.community.assign(reinterpret_cast<char*>(pdu->community), pdu->community_len);
    for (size_t i = 0; i < pdu->trap_id_length; ++i) g.trap_id += (i ? "." : "") + std::to_string(pdu->trap_id[i]);
    static_cast<std::vector<V3Got>*>(data)->push_back(g);
    ZqsnmpFreePdu(pdu);
}

// The security arguments of net-snmp's commands for a user.
std::vector<std::string> as(const std::string& user, const std::string& level, const std::string& auth = "",
                            const std::string& authpass = "", const std::string& priv = "",
                            const std::string& privpass = "") {
    std::vector<std::string> a = {"-v3", "-u", user, "-l", level};
    if (!auth.empty()) a.insert(a.end(), {"-a", auth, "-A", authpass});
    if (!priv.empty()) a.insert(a.end(), {"-x", priv, "-X", privpass});
    return a;
}

}  // namespace

TEST(TrapdV3, EachLevelIsDeliveredAndEachSecurityFailureCountedNotDelivered) {
    zqtest::Instance inst;
    inst.activate();
    std::string users = inst.root + "/conf/trapd.users";
    zqtest::write_file(users,
                       "plain engine=" + kSender + "\n"
                       "signer engine=" + kSender + " auth=SHA authpass=sign-phrase-1\n"
                       "sealer engine=" + kSender + " auth=SHA-256 authpass=seal-auth-phrase priv=AES privpass=seal-priv-phrase\n"
                       "vault engine=" + kSender + " auth=SHA-512 authpass=vault-auth-phrase priv=AES-256 privpass=vault-priv-phrase\n"
                       "old engine=" + kSender + " auth=MD5 authpass=old-auth-phrase priv=DES privpass=old-priv-phrase\n"
                       "# informs come with trapd's own engine ID\n"
                       "sealer auth=SHA-256 authpass=seal-auth-phrase priv=AES privpass=seal-priv-phrase\n"
                       "outsider engine=" + kSender + " auth=SHA-256 authpass=outsider-phrase\n");
    chmod(users.c_str(), 0600);
    std::string conf = zqtest::read_file(inst.root + "/conf/zq.conf");
    zqtest::write_file(inst.root + "/conf/zq.conf", conf + "trap_users=plain signer sealer vault old\n");
    auto trapd = std::make_unique<Process>(std::vector<std::string>{zqtest::bin("trapd"), "--root", inst.root});
    ASSERT_TRUE(trapd->wait_for_err("listening", 10000)) << trapd->err();

    std::vector<V3Got> got;
    ZqSession* s = ZqsnmpEventOpen("127.0.0.1", "v3", keep, &got, ".*");
    ASSERT_NE(s, nullptr) << ZqsnmpErrString(ZqsnmpErrno);
    Process json({zqtest::bin("zqevents"), "--json", "--count", "1", "--timeout", "20"}, inst.env());
    ASSERT_TRUE(json.wait_for_err("listening", 10000)) << json.err();

    const std::string dest = "127.0.0.1:" + std::to_string(inst.trap_port);
    const zqtest::Env env = {{"MIBS", ""}, {"SNMP_PERSISTENT_DIR", inst.dir.path + "/net-snmp"},
                             {"HOME", inst.dir.path}};
    auto trap = [&](std::vector<std::string> sec, int specific, const std::string& engine = kSender,
                    std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"/usr/bin/snmptrap", "-e", engine};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.insert(argv.end(), sec.begin(), sec.end());
        argv.insert(argv.end(), {dest, "", kEntText + ".1.3.0." + std::to_string(specific)});
        auto r = zqtest::run(argv, env);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    // Delivered: every level, every pair of protocols, and an answered inform.
    trap(as("plain", "noAuthNoPriv"), 1);
    trap(as("signer", "authNoPriv", "SHA", "sign-phrase-1"), 2);
    trap(as("sealer", "authPriv", "SHA-256", "seal-auth-phrase", "AES", "seal-priv-phrase"), 3);
    trap(as("vault", "authPriv", "SHA-512", "vault-auth-phrase", "AES-256", "vault-priv-phrase"), 4);
    trap(as("old", "authPriv", "MD5", "old-auth-phrase", "DES", "old-priv-phrase"), 5);
    std::vector<std::string> inform = {"/usr/bin/snmpinform", "-t", "2", "-r", "1"};
    for (auto& a : as("sealer", "authPriv", "SHA-256", "seal-auth-phrase", "AES", "seal-priv-phrase")) inform.push_back(a);
    inform.insert(inform.end(), {dest, "", kEntText + ".1.3.0.6"});
    auto r = zqtest::run(inform, env);
    EXPECT_EQ(r.status, 0) << "the inform was not answered: " << r.err;

    // Not delivered, each counted under its reason.
    trap(as("signer", "authNoPriv", "SHA", "wrong-phrase-1"), 101);                          // auth
    trap(as("sealer", "authPriv", "SHA-256", "seal-auth-phrase", "AES", "wrong-priv-1"), 102); // decrypt
    trap(as("signer", "authNoPriv", "SHA", "sign-phrase-1"), 103, "0x80000000010203ff");      // engine
    trap(as("nobody", "noAuthNoPriv"), 104);                                                  // user
    trap(as("signer", "noAuthNoPriv"), 105);                                                  // level
    trap(as("outsider", "authNoPriv", "SHA-256", "outsider-phrase"), 106);                    // trap_users
    // A replay from before the last boot the sender announced: outside the window.
    trap(as("signer", "authNoPriv", "SHA", "sign-phrase-1"), 7, kSender, {"-Z", "40,100"});
    trap(as("signer", "authNoPriv", "SHA", "sign-phrase-1"), 107, kSender, {"-Z", "20,100"});
    // An inform with a wrong key gets a report, never a response: snmpinform
    // ends with the reason the report names rather than a time-out.
    const std::pair<std::vector<std::string>, const char*> bad_informs[] = {
        {as("sealer", "authPriv", "SHA-256", "wrong-phrase-2", "AES", "seal-priv-phrase"), "Authentication failure"},
        {as("sealer", "authPriv", "SHA-256", "seal-auth-phrase", "AES", "wrong-priv-2"), "Decryption error"},
    };
    for (const auto& [sec, reason] : bad_informs) {
        std::vector<std::string> argv = {"/usr/bin/snmpinform", "-t", "5", "-r", "0"};
        argv.insert(argv.end(), sec.begin(), sec.end());
        argv.insert(argv.end(), {dest, "", kEntText + ".1.3.0.108"});
        r = zqtest::run(argv, env);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    }

    zqtest::read_events_until(s, [&] { return got.size() >= 7; }, 10000);
    zqtest::read_events_until(s, [&] { return false; }, 300);  // nothing more comes
    ZqsnmpClose(s);
    ASSERT_EQ(got.size(), 7u);
    const std::pair<const char*, int> want[] = {{"plain", 1}, {"signer", 2}, {"sealer", 3}, {"vault", 3},
                                                {"old", 3},   {"sealer", 3}, {"signer", 2}};
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].version, 3) << i;
        EXPECT_EQ(got[i].user, want[i].first) << i;
        EXPECT_EQ(got[i].level, want[i].second) << i;
        EXPECT_EQ(got[i].community, "") << i;
        EXPECT_EQ(got[i].trap_id, kEntText + ".1.3.0." + std::to_string(i + 1)) << i;
    }
    ASSERT_EQ(json.wait(10000), 0) << json.err();
    auto j = nlohmann::json::parse(json.out().substr(0, json.out().find('\n')));
    EXPECT_EQ(j["version"], "v3");
    EXPECT_EQ(j["user"], "plain");
    EXPECT_EQ(j["level"], "noAuthNoPriv");

    ASSERT_EQ(trapd->stop(), 0);
    std::string log = zqtest::read_file(inst.root + "/log/trapd.log");
    EXPECT_NE(log.find("v3 agent=127.0.0.1 user=\"sealer\" level=authPriv"), std::string::npos) << log;
    EXPECT_NE(log.find("REFUSED SNMPv3 messages (totals): user 1, engine 1, auth 2, decrypt 2, time 1, level 1, "
                       "user not in trap_users 1"),
              std::string::npos)
        << log;
    // The engine ID stays across restarts; the boot count goes up.
    std::string engine = zqtest::read_file(inst.root + "/conf/trapd.engineid");
    EXPECT_NE(engine.find("boots=1\n"), std::string::npos) << engine;
    trapd = std::make_unique<Process>(std::vector<std::string>{zqtest::bin("trapd"), "--root", inst.root});
    ASSERT_TRUE(trapd->wait_for_err("listening", 10000)) << trapd->err();
    std::string again = zqtest::read_file(inst.root + "/conf/trapd.engineid");
    EXPECT_EQ(again.substr(0, again.find("boots=")), engine.substr(0, engine.find("boots=")));
    EXPECT_NE(again.find("boots=2\n"), std::string::npos) << again;
    ASSERT_EQ(trapd->stop(), 0);

    // A users file others may read: trapd does not start, and says which file.
    chmod(users.c_str(), 0644);
    auto refused = zqtest::run({zqtest::bin("trapd"), "--root", inst.root}, {}, "", 10000);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(users + ": holds pass phrases but others may read it"), std::string::npos)
        << refused.err;
}
