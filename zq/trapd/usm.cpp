#include "usm.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmpusm.h>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "datagram.h"
#include "zqcommon.h"
#include "zqoid.h"

namespace zq::trapd {

namespace {

struct PduFree {
    void operator()(netsnmp_pdu* p) const { snmp_free_pdu(p); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduFree>;

// The users of conf/trapd.users, kept for the level check: net-snmp takes a
// message at any level the user's keys allow, even noAuthNoPriv from a user
// with keys, which anyone could forge.
std::vector<V3User> g_users;
bool g_ready = false;

std::string hex_of(const u_char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

bool bytes_of(const std::string& hex, std::string& out) {
    out.clear();
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        std::string two = hex.substr(i, 2);
        long v = std::strtol(two.c_str(), &end, 16);
        if (end == nullptr || *end != '\0') return false;
        out += static_cast<char>(v);
    }
    return true;
}

// net-snmp's names of our canonical protocol names.
const char* netsnmp_auth_name(const std::string& canon) { return canon == "SHA-1" ? "SHA" : canon.c_str(); }
const char* netsnmp_priv_name(const std::string& canon) { return canon == "AES-128" ? "AES" : canon.c_str(); }


// The engine file: "engineID HEX" and "boots N".  A missing file gives a fresh
// random engine ID under the platform maker's enterprise (RFC 3411 format 5,
// octets) and boots 0.
bool read_engine_file(const std::string& file, std::string& id, unsigned long& boots, std::string& why) {
    std::string text;
    boots = 0;
    id.clear();
    if (!read_regular(file, text, &why, 4096)) {
        if (errno != ENOENT) return false;
        unsigned char rnd[8];
        if (getrandom(rnd, sizeof rnd, 0) != static_cast<ssize_t>(sizeof rnd)) {
            why = "no random bytes for a new engine ID";
            return false;
        }
        static const ZqOid zent[] = {ZQ_ZENT_SUBIDS};
        const uint32_t ent = zent[sizeof zent / sizeof zent[0] - 1];
        id = std::string{static_cast<char>(0x80 | ((ent >> 24) & 0x7f)), static_cast<char>((ent >> 16) & 0xff),
                         static_cast<char>((ent >> 8) & 0xff), static_cast<char>(ent & 0xff), '\x05'};
        id.append(reinterpret_cast<const char*>(rnd), sizeof rnd);
        return true;
    }
    ConfLines lines(text);
    for (std::string_view line; lines.next(line);) {
        std::string_view key, val;
        if (!split_setting(line, key, val)) continue;
        if (key == "engineID") bytes_of(std::string(val), id);
        else if (key == "boots") boots = std::strtoul(std::string(val).c_str(), nullptr, 10);
    }
    if (id.size() < 5 || id.size() > 32) {
        why = file + ": no engineID line with 5 to 32 bytes in hex (remove the file for a new engine ID)";
        return false;
    }
    return true;
}

bool write_engine_file(const std::string& file, const std::string& id, unsigned long boots, std::string& why) {
    std::string text = "# trapd's SNMPv3 engine: senders of informs learn it by discovery.\n"
                       "# Written by trapd at each start; keep it to keep the engine ID.\n"
                       "engineID=" + hex_of(reinterpret_cast<const u_char*>(id.data()), id.size()) +
                       "\nboots=" + std::to_string(boots) + "\n";
    std::string tmp = file + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ok = fsync(fd) == 0 && ok, close(fd);
    ok = ok && rename(tmp.c_str(), file.c_str()) == 0;
    if (!ok) {
        why = file + ": cannot be written: " + std::strerror(errno);
        unlink(tmp.c_str());
    }
    return ok;
}

bool encode(netsnmp_pdu* pdu, std::string& out) {
    netsnmp_session sess;
    snmp_sess_init(&sess);
    sess.version = SNMP_VERSION_3;
    size_t buflen = 4096, offset = 0;
    auto* buf = static_cast<u_char*>(std::malloc(buflen));
    if (buf == nullptr) return false;
    // Reverse encoding (net-snmp's default) builds from the end of the buffer.
    int rc = snmp_build(&buf, &buflen, &offset, &sess, pdu);
    if (rc == 0) out.assign(reinterpret_cast<const char*>(buf + buflen - offset), offset);
    std::free(buf);
    return rc == 0;
}

// The Report telling the sender why its message was not taken (and, for a
// discovery probe, trapd's engine ID, boots and time).
void make_report(netsnmp_pdu* pdu, int error, std::string& reply) {
    pdu->flags |= UCD_MSG_FLAG_FORCE_PDU_COPY;
    PduPtr copy(snmp_clone_pdu(pdu));
    if (!copy || snmpv3_make_report(copy.get(), error) != SNMPERR_SUCCESS) return;
    if (!encode(copy.get(), reply)) reply.clear();
}

const V3User* find_user(const std::string& name, const std::string& engine) {
    for (const auto& u : g_users)
        if (u.name == name && u.engine == engine) return &u;
    return nullptr;
}

bool name_known(const std::string& name) {
    for (const auto& u : g_users)
        if (u.name == name) return true;
    return false;
}

// Whether the elements from data[pos] to end each lie whole within it, and the
// same inside every constructed one, at most 16 deep.
bool ber_nested(const uint8_t* data, size_t pos, size_t end, int depth) {
    if (depth > 16) return false;
    while (pos < end) {
        uint8_t tag = 0;
        size_t content = 0;
        if (!ber_header(data, end, pos, tag, content)) return false;
        if ((tag & 0x1f) == 0x1f) return false;  // no tag of SNMP's takes more than a byte
        if ((tag & 0x20) != 0 && !ber_nested(data, pos, pos + content, depth + 1)) return false;
        pos += content;
    }
    return true;
}

// An SNMPv3 message is SEQUENCE { version, header, security parameters (an
// OCTET STRING holding a SEQUENCE), scoped PDU (a SEQUENCE, or an OCTET STRING
// when encrypted) }.  net-snmp's parser takes the security parameters' lengths
// on trust and reads past the end of a message that claims more than it holds,
// so every length is checked against what holds it before the message goes there.
bool v3_lengths_fit(const uint8_t* data, size_t len) {
    size_t pos = 0, content = 0;
    uint8_t tag = 0;
    if (!ber_header(data, len, pos, tag, content) || tag != 0x30) return false;
    const size_t end = pos + content;
    if (!ber_nested(data, pos, end, 1)) return false;
    for (int skip = 0; skip < 2; ++skip) {
        if (!ber_header(data, end, pos, tag, content)) return false;
        pos += content;
    }
    if (!ber_header(data, end, pos, tag, content) || tag != 0x04) return false;
    return ber_nested(data, pos, pos + content, 1);
}

// The msgFlags of a message v3_lengths_fit took: SEQUENCE { version, header
// SEQUENCE { msgID, msgMaxSize, msgFlags (an OCTET STRING of one byte), ... } }.
// Read here rather than from what net-snmp parsed: when a security check fails
// it stops before it sets them on the PDU, and an encrypted inform cannot be
// told from a trap by its PDU.
uint8_t v3_msg_flags(const uint8_t* data, size_t len) {
    size_t pos = 0, content = 0;
    uint8_t tag = 0;
    if (!ber_header(data, len, pos, tag, content)) return 0;
    const size_t end = pos + content;
    if (!ber_header(data, end, pos, tag, content)) return 0;  // version
    pos += content;
    if (!ber_header(data, end, pos, tag, content) || tag != 0x30) return 0;
    const size_t header_end = pos + content;
    for (int skip = 0; skip < 2; ++skip) {  // msgID, msgMaxSize
        if (!ber_header(data, header_end, pos, tag, content)) return 0;
        pos += content;
    }
    if (!ber_header(data, header_end, pos, tag, content) || tag != 0x04 || content != 1) return 0;
    return data[pos];
}

}  // namespace

const char* v3_reason_name(V3Result r) {
    switch (r) {
    case V3Result::kUnknownUser: return "user";
    case V3Result::kUnknownEngine: return "engine";
    case V3Result::kAuth: return "auth";
    case V3Result::kDecrypt: return "decrypt";
    case V3Result::kTime: return "time";
    case V3Result::kLevel: return "level";
    case V3Result::kDiscovery: return "discovery";
    case V3Result::kMalformed: return "malformed";
    default: return "taken";
    }
}

bool usm_setup(const std::string& engine_file, const std::vector<V3User>& users, std::string& why) {
    init_decoder();
    std::string id;
    unsigned long boots = 0;
    if (!read_engine_file(engine_file, id, boots, why)) return false;
    ++boots;
    if (!write_engine_file(engine_file, id, boots, why)) return false;

    // No configuration files, no state written by net-snmp itself: the engine
    // file above is trapd's.
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    // The engine ID before net-snmp starts, which then enters it in its cache of
    // engines (an engine missing there is unknown, even the local one).
    if (set_exact_engineID(reinterpret_cast<const u_char*>(id.data()), id.size()) != SNMPERR_SUCCESS) {
        why = "the engine ID cannot be set";
        return false;
    }
    init_snmp("trapd");
    // net-snmp counts the stored number as the last start's and adds one.
    std::string stored = std::to_string(boots - 1);
    engineBoots_conf("engineBoots", stored.data());
    set_enginetime(reinterpret_cast<const u_char*>(id.data()), static_cast<u_int>(id.size()),
                   snmpv3_local_snmpEngineBoots(), snmpv3_local_snmpEngineTime(), TRUE);

    for (const auto& u : users) {
        std::string line;
        if (!u.engine.empty()) line += "-e 0x" + u.engine + " ";
        line += zq::quoted(u.name);
        if (!u.authpass.empty()) {
            line += std::string(" ") + netsnmp_auth_name(u.auth.empty() ? kDefaultAuth : u.auth) + " " +
                    zq::quoted(u.authpass);
            if (!u.privpass.empty())
                line += std::string(" ") + netsnmp_priv_name(u.priv.empty() ? kDefaultPriv : u.priv) + " " +
                        zq::quoted(u.privpass);
        }
        size_t before = 0;
        for (usmUser* p = usm_get_userList(); p != nullptr; p = p->next) ++before;
        usm_parse_create_usmUser("createUser", line.data());
        std::fill(line.begin(), line.end(), '\0');
        size_t after = 0;
        for (usmUser* p = usm_get_userList(); p != nullptr; p = p->next) ++after;
        if (after != before + 1) {
            why = "user '" + u.name + "' (line " + std::to_string(u.line) +
                  ") cannot be set up: its protocols are not offered by this build of the SNMP library";
            return false;
        }
    }
    g_users = users;
    g_ready = true;
    return true;
}

std::string usm_engine_hex() {
    u_char buf[64];
    size_t n = snmpv3_get_engineID(buf, sizeof buf);
    return hex_of(buf, n);
}

unsigned long usm_engine_boots() { return snmpv3_local_snmpEngineBoots(); }

bool is_v3_datagram(const uint8_t* data, size_t len) {
    // SEQUENCE { INTEGER 3, ... }: the length of the sequence may take 1 to 5 bytes.
    if (data == nullptr || len < 5 || data[0] != 0x30) return false;
    size_t pos = 2;
    if (data[1] & 0x80) pos += data[1] & 0x7f;
    return pos + 3 <= len && data[pos] == 0x02 && data[pos + 1] == 0x01 && data[pos + 2] == 0x03;
}

V3Result decode_v3(const uint8_t* data, size_t len, const uint8_t source[4], wire::Event& ev, std::string& why,
                   bool& inform, std::string& reply) {
    inform = false;
    reply.clear();
    ev = wire::Event{};
    if (!is_v3_datagram(data, len)) {
        why = "not an SNMPv3 message";
        return V3Result::kMalformed;
    }
    if (!v3_lengths_fit(data, len)) {
        why = "bad SNMPv3 message (a length runs past what holds it)";
        return V3Result::kMalformed;
    }
    if (!g_ready) {
        why = "no SNMPv3 users are configured";
        return V3Result::kUnknownUser;
    }
    std::unique_ptr<u_char[]> buf(new u_char[len]);
    std::memcpy(buf.get(), data, len);
    PduPtr pdu(snmp_pdu_create(0));
    if (!pdu) {
        why = "out of memory";
        return V3Result::kMalformed;
    }
    pdu->version = SNMP_VERSION_3;
    netsnmp_session sess;
    snmp_sess_init(&sess);
    sess.version = SNMP_VERSION_3;
    // Authoritative for what asks for an answer (informs, discovery: they must
    // name trapd's engine), not for traps, whose sender is the authority.
    sess.isAuthoritative = SNMP_SESS_UNKNOWNAUTH;
    size_t length = len;
    u_char* after = nullptr;
    int rc = snmpv3_parse(pdu.get(), buf.get(), &length, &after, &sess);
    const std::string name(pdu->securityName != nullptr ? pdu->securityName : "", pdu->securityNameLen);
    const std::string engine = hex_of(pdu->securityEngineID, pdu->securityEngineIDLen);
    const bool confirmed = (v3_msg_flags(data, len) & SNMP_MSG_FLAG_RPRT_BIT) != 0;
    if (rc != SNMPERR_SUCCESS) {
        V3Result r = V3Result::kMalformed;
        switch (rc) {
        case SNMPERR_USM_UNKNOWNENGINEID:
            r = pdu->securityEngineIDLen == 0 ? V3Result::kDiscovery : V3Result::kUnknownEngine;
            break;
        case SNMPERR_USM_UNKNOWNSECURITYNAME:
            r = name_known(name) ? V3Result::kUnknownEngine : V3Result::kUnknownUser;
            break;
        case SNMPERR_USM_AUTHENTICATIONFAILURE: r = V3Result::kAuth; break;
        case SNMPERR_USM_DECRYPTIONERROR: r = V3Result::kDecrypt; break;
        case SNMPERR_USM_NOTINTIMEWINDOW: r = V3Result::kTime; break;
        case SNMPERR_USM_UNSUPPORTEDSECURITYLEVEL: r = V3Result::kLevel; break;
        case SNMPERR_ASN_PARSE_ERR:
            // An authenticated message that does not parse once decrypted was
            // encrypted with another key.
            if (pdu->securityLevel == SNMP_SEC_LEVEL_AUTHPRIV && name_known(name)) r = V3Result::kDecrypt;
            break;
        default: break;
        }
        why = r == V3Result::kMalformed ? "bad SNMPv3 message (error " + std::to_string(rc) + ")"
                                        : std::string("SNMPv3 ") + v3_reason_name(r) + " failure";
        // Only a message that asked for an answer gets a report, as RFC 3412 says:
        // an inform or a discovery probe sets the reportable flag, a trap never does.
        if (r != V3Result::kMalformed && confirmed)
            make_report(pdu.get(), r == V3Result::kDecrypt ? SNMPERR_USM_DECRYPTIONERROR : rc, reply);
        return r;
    }
    // The level the user's keys ask for: informs come with trapd's own engine
    // ID, traps with the sender's.
    const V3User* user = find_user(name, engine == usm_engine_hex() ? "" : engine);
    if (user == nullptr) user = find_user(name, "");
    const int level = pdu->securityLevel;
    if (user == nullptr || level < user->level()) {
        why = "SNMPv3 message from user '" + name + "' at " + sec_level_name(level) + ", below the user's " +
              (user != nullptr ? sec_level_name(user->level()) : "level");
        return V3Result::kLevel;
    }
    bool ok = false;
    if (pdu->command == SNMP_MSG_TRAP2 || pdu->command == SNMP_MSG_INFORM) {
        ok = notification_from_v2(pdu.get(), source, ev, why);
    } else {
        why = "not a notification (PDU type " + std::to_string(pdu->command) + ")";
    }
    if (!ok) return V3Result::kMalformed;
    ev.version = 3;
    ev.user = name;
    ev.level = level;
    if (pdu->command == SNMP_MSG_INFORM) {
        inform = true;
        PduPtr response(snmp_clone_pdu(pdu.get()));
        if (response) {
            response->command = SNMP_MSG_RESPONSE;
            response->errstat = 0;
            response->errindex = 0;
            response->flags &= ~(UCD_MSG_FLAG_EXPECT_RESPONSE | SNMP_MSG_FLAG_RPRT_BIT);
            if (!encode(response.get(), reply)) reply.clear();
        }
    }
    return V3Result::kTaken;
}

}  // namespace zq::trapd
