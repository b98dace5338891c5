// trapdbench: the sender and the reader of the trap daemon benchmark.
//   trapdbench send --port P --count N [--rate R]   SNMPv1 traps with two bindings to
//                                                   127.0.0.1:P, unpaced or R a second
//   trapdbench send3 --port P --count N [--rate R]  the same as SNMPv3 authPriv traps
//                                                   (SHA-256, AES-128) of user "bench"
//                                                   from engine kBenchEngine
//   trapdbench read --count N [--idle SECONDS]      counts the events of one session
//   trapdbench v3-seeds DIR                         writes the seed messages of the
//                                                   SNMPv3 fuzz target to DIR
// Both print one line "key=value ..." with wall-clock times in milliseconds.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmpusm.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ber.h"
#include "trapbench.h"
#include "zqcommon.h"

namespace {

int send_traps(long port, long count, long rate) {
    std::vector<uint32_t> ent = {1, 3, 6, 1, 4, 1, 64001, 1, 3, 99};
    std::string vbs = ber::varbind({1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 1}, ber::octets("benchmark-trap from the sender")) +
                      ber::varbind({1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 2}, ber::integer(12345));
    std::string d = ber::v1_trap("public", ent, "\x0a\x01\x02\x03", 6, 1001, 4242, vbs);
    trapbench::SendResult res;
    if (!trapbench::send_datagrams("trapdbench", port, count, rate, {d}, 32, res)) return 1;
    trapbench::print_sent(res);
    printf(" bytes=%zu\n", d.size());
    return 0;
}

// SNMPv3 messages built with net-snmp's user-based security model, as a sender
// would build them: the local engine is the traps' authority, and the engine
// time cache holds the boots and time of the engines informs go to.
namespace v3 {

constexpr const char* kBenchEngine = "800000000162656e6368";
constexpr const char* kBenchUser = "bench";
constexpr const char* kBenchAuth = "bench-auth-phrase";
constexpr const char* kBenchPriv = "bench-priv-phrase";

std::string bytes_of(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// net-snmp with no configuration files and no saved state, `engine` (hex) as
// its own engine ID, at `boots`.
void setup(const std::string& engine, unsigned long boots) {
    setenv("MIBS", "", 1);
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    std::string id = bytes_of(engine);
    set_exact_engineID(reinterpret_cast<const u_char*>(id.data()), id.size());
    init_snmp("trapdbench");
    std::string stored = std::to_string(boots - 1);
    engineBoots_conf("engineBoots", stored.data());
}

// A createUser line of net-snmp: "-e 0xENGINE NAME [AUTH PHRASE [PRIV PHRASE]]".
void add_user(std::string line) { usm_parse_create_usmUser("createUser", line.data()); }

struct Msg {
    int command = SNMP_MSG_TRAP2;
    int level = SNMP_SEC_LEVEL_AUTHPRIV;
    std::string user, engine;  // engine in hex; empty for a discovery probe
    bool with_bindings = true;
    long id = 1;
};

bool build(const Msg& m, std::string& out) {
    netsnmp_pdu* pdu = snmp_pdu_create(m.command);
    pdu->version = SNMP_VERSION_3;
    pdu->securityModel = SNMP_SEC_MODEL_USM;
    pdu->securityLevel = m.level;
    pdu->securityName = strdup(m.user.c_str());
    pdu->securityNameLen = m.user.size();
    std::string id = bytes_of(m.engine);
    if (!id.empty()) {
        pdu->securityEngineID = static_cast<u_char*>(netsnmp_memdup(id.data(), id.size()));
        pdu->securityEngineIDLen = id.size();
        pdu->contextEngineID = static_cast<u_char*>(netsnmp_memdup(id.data(), id.size()));
        pdu->contextEngineIDLen = id.size();
    }
    pdu->contextName = strdup("");
    pdu->contextNameLen = 0;
    pdu->reqid = m.id;
    pdu->msgid = m.id;
    if (m.command == SNMP_MSG_INFORM || m.command == SNMP_MSG_GET) pdu->flags |= UCD_MSG_FLAG_EXPECT_RESPONSE;
    if (m.with_bindings) {
        static const oid uptime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
        static const oid trapoid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
        static const oid trap[] = {1, 3, 6, 1, 4, 1, 64001, 1, 3, 99, 0, 1001};
        static const oid text[] = {1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 1};
        static const oid number[] = {1, 3, 6, 1, 4, 1, 64001, 11, 2, 8, 2};
        u_long ticks = 4242;
        long n = 12345;
        const char msg[] = "benchmark-trap from the sender";
        snmp_pdu_add_variable(pdu, uptime, OID_LENGTH(uptime), ASN_TIMETICKS, &ticks, sizeof ticks);
        snmp_pdu_add_variable(pdu, trapoid, OID_LENGTH(trapoid), ASN_OBJECT_ID, trap, sizeof trap);
        snmp_pdu_add_variable(pdu, text, OID_LENGTH(text), ASN_OCTET_STR, msg, sizeof msg - 1);
        snmp_pdu_add_variable(pdu, number, OID_LENGTH(number), ASN_INTEGER, &n, sizeof n);
    }
    netsnmp_session sess;
    snmp_sess_init(&sess);
    sess.version = SNMP_VERSION_3;
    size_t buflen = 4096, offset = 0;
    auto* buf = static_cast<u_char*>(std::malloc(buflen));
    int rc = buf != nullptr ? snmp_build(&buf, &buflen, &offset, &sess, pdu) : -1;
    if (rc == 0) out.assign(reinterpret_cast<const char*>(buf + buflen - offset), offset);
    std::free(buf);
    snmp_free_pdu(pdu);
    return rc == 0;
}

}  // namespace v3

// The boots of the sending engine are the wall clock's seconds, so that every run
// is newer than the last one a receiver saw from the engine (an older one falls
// outside the time window).
int send_v3_traps(long port, long count, long rate) {
    v3::setup(v3::kBenchEngine, static_cast<unsigned long>(time(nullptr)));
    v3::add_user(std::string("-e 0x") + v3::kBenchEngine + " " + v3::kBenchUser + " SHA-256 " + v3::kBenchAuth +
                 " AES " + v3::kBenchPriv);
    // Messages of their own (own message ID, own salt), built before the clock
    // starts, and sent in turn: few enough to be built in a moment (the reader
    // gives up after a few idle seconds), and a receiver takes a message again
    // (SNMPv3 has no replay check within the time window).
    std::vector<std::string> grams(static_cast<size_t>(std::min(count, 10000L)));
    v3::Msg m;
    m.user = v3::kBenchUser;
    m.engine = v3::kBenchEngine;
    for (size_t i = 0; i < grams.size(); ++i) {
        m.id = static_cast<long>(i) + 1;
        if (!v3::build(m, grams[i])) {
            fprintf(stderr, "trapdbench: net-snmp cannot build an SNMPv3 trap\n");
            return 1;
        }
    }
    trapbench::SendResult res;
    if (!trapbench::send_datagrams("trapdbench", port, count, rate, grams, 32, res)) return 1;
    trapbench::print_sent(res);
    printf(" bytes=%zu\n", grams[0].size());
    return 0;
}

// The seeds of the SNMPv3 fuzz target (zq/trapd/fuzz/fuzz_v3.cpp, whose users
// and engine ID these match): valid notifications at each level, an inform, a
// discovery probe, a report, and some that fail each check.
int write_v3_seeds(const std::string& dir) {
    const std::string sender = "8000000001020304", trapd = "800000000566757a7a7633";
    v3::setup(sender, 1);
    v3::add_user("-e 0x" + sender + " plain");
    v3::add_user("-e 0x" + sender + " signer SHA sign-phrase-1");
    v3::add_user("-e 0x" + sender + " stranger SHA stranger-phrase");
    v3::add_user("-e 0x" + trapd + " sealer SHA-256 seal-auth-phrase AES seal-priv-phrase");
    // trapd, the authority of informs, as a sender knows it after discovery.
    std::string id = v3::bytes_of(trapd);
    set_enginetime(reinterpret_cast<const u_char*>(id.data()), id.size(), 1, 3, TRUE);
    struct Seed {
        const char* name;
        v3::Msg m;
        int flip;  // a byte counted from the end to change after building (0: none)
    };
    auto msg = [](int command, int level, const char* user, const std::string& engine, bool bindings = true) {
        v3::Msg m;
        m.command = command;
        m.level = level;
        m.user = user;
        m.engine = engine;
        m.with_bindings = bindings;
        return m;
    };
    const Seed seeds[] = {
        {"trap_noauth", msg(SNMP_MSG_TRAP2, SNMP_SEC_LEVEL_NOAUTH, "plain", sender), 0},
        {"trap_authnopriv", msg(SNMP_MSG_TRAP2, SNMP_SEC_LEVEL_AUTHNOPRIV, "signer", sender), 0},
        {"inform_authpriv", msg(SNMP_MSG_INFORM, SNMP_SEC_LEVEL_AUTHPRIV, "sealer", trapd), 0},
        {"discovery_probe", msg(SNMP_MSG_GET, SNMP_SEC_LEVEL_NOAUTH, "", "", false), 0},
        {"report", msg(SNMP_MSG_REPORT, SNMP_SEC_LEVEL_NOAUTH, "plain", sender), 0},
        {"bad_unknown_user", msg(SNMP_MSG_TRAP2, SNMP_SEC_LEVEL_AUTHNOPRIV, "stranger", sender), 0},
        {"bad_digest", msg(SNMP_MSG_TRAP2, SNMP_SEC_LEVEL_AUTHNOPRIV, "signer", sender), 1},
        {"bad_level", msg(SNMP_MSG_TRAP2, SNMP_SEC_LEVEL_NOAUTH, "signer", sender), 0},
        {"bad_truncated", msg(SNMP_MSG_INFORM, SNMP_SEC_LEVEL_AUTHPRIV, "sealer", trapd), -20},
        // Built after the user's privacy key was changed (below).
        {"bad_decrypt", msg(SNMP_MSG_INFORM, SNMP_SEC_LEVEL_AUTHPRIV, "sealer", trapd), 0},
    };
    mkdir(dir.c_str(), 0755);
    for (const auto& s : seeds) {
        std::string gram;
        if (std::strcmp(s.name, "bad_decrypt") == 0) {
            usmUser* u = usm_get_user(reinterpret_cast<u_char*>(id.data()), id.size(), const_cast<char*>("sealer"));
            if (u != nullptr) usm_free_user(usm_remove_user(u));
            v3::add_user("-e 0x" + trapd + " sealer SHA-256 seal-auth-phrase AES not-the-priv-phrase");
        }
        if (!v3::build(s.m, gram)) {
            fprintf(stderr, "trapdbench: net-snmp cannot build the seed %s\n", s.name);
            return 1;
        }
        if (s.flip > 0) gram[gram.size() - static_cast<size_t>(s.flip)] ^= 0x5a;
        if (s.flip < 0) gram.resize(gram.size() + static_cast<size_t>(s.flip));
        std::string path = dir + "/" + s.name;
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr || fwrite(gram.data(), 1, gram.size(), f) != gram.size() || fclose(f) != 0) {
            fprintf(stderr, "trapdbench: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        puts("usage: trapdbench send --port P --count N [--rate R]\n"
             "       trapdbench send3 --port P --count N [--rate R]\n"
             "       trapdbench read --count N [--idle SECONDS]\n"
             "       trapdbench v3-seeds DIR");
        return argc < 2 ? 2 : 0;
    }
    using trapbench::arg_long;
    long count = arg_long(argc, argv, "--count", 100000);
    if (std::strcmp(argv[1], "send") == 0)
        return send_traps(arg_long(argc, argv, "--port", 162), count, arg_long(argc, argv, "--rate", 0));
    if (std::strcmp(argv[1], "send3") == 0)
        return send_v3_traps(arg_long(argc, argv, "--port", 162), count, arg_long(argc, argv, "--rate", 0));
    if (std::strcmp(argv[1], "v3-seeds") == 0 && argc == 3) return write_v3_seeds(argv[2]);
    if (std::strcmp(argv[1], "read") == 0)
        return trapbench::read_events("trapdbench", "bench", ".1.3.6.1.4.1.64001.*", count,
                                      arg_long(argc, argv, "--idle", 3));
    fprintf(stderr, "trapdbench: unknown command '%s'\n", argv[1]);
    return 2;
}
