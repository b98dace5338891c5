// SNMPv3 request sessions: the settings of a host line of conf/snmp.conf that
// says version=3 and the pass phrases of its users file turned into a net-snmp
// session.  Engine discovery, time synchronisation and key localisation are
// net-snmp's; what is ours is reading the settings safely and telling the
// caller which security failure happened.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmpusm.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "internal.h"
#include "snmpv3conf.h"
#include "zqcommon.h"

namespace zq::snmp {
namespace {

// Why the last v3 session could not be set up, naming the file: the text of
// error ZQSNMP_E_V3CONF until the next such failure.
std::string v3_conf_problem;

// net-snmp keeps one process-wide record per user and engine with the keys
// localised at the first session, and later sessions of that user with that
// engine use it whatever their own pass phrases: an edited users file, or a
// wrong pass phrase tried once, would stay in force until the process ends.
// The sessions open per (engine ID, user), so that the last one to close
// removes the record.
// Never destroyed, for the same reason as the list of waiting sessions: a
// session may be closed while the process exits.
std::map<std::pair<std::string, std::string>, int>& g_in_use = *new std::map<std::pair<std::string, std::string>, int>;

std::pair<std::string, std::string> user_key(void* sessp) {
    netsnmp_session* s = snmp_sess_session(sessp);
    if (s == nullptr) return {};
    return {std::string(reinterpret_cast<const char*>(s->securityEngineID), s->securityEngineIDLen),
            std::string(s->securityName != nullptr ? s->securityName : "", s->securityNameLen)};
}

bool auth_oid(const std::string& canon, const oid*& out, size_t& len) {
    len = 10;
    if (canon == "SHA-1") out = usmHMACSHA1AuthProtocol;
    else if (canon == "SHA-224") out = usmHMAC128SHA224AuthProtocol;
    else if (canon == "SHA-256") out = usmHMAC192SHA256AuthProtocol;
    else if (canon == "SHA-384") out = usmHMAC256SHA384AuthProtocol;
    else if (canon == "SHA-512") out = usmHMAC384SHA512AuthProtocol;
#ifndef NETSNMP_DISABLE_MD5
    else if (canon == "MD5") out = usmHMACMD5AuthProtocol;
#endif
    else return false;
    return true;
}

bool priv_oid(const std::string& canon, const oid*& out, size_t& len) {
    len = 10;
    if (canon == "AES-128") out = usmAESPrivProtocol;
#ifdef NETSNMP_DRAFT_BLUMENTHAL_AES_04
    else if (canon == "AES-192") out = usmAES192PrivProtocol, len = 9;
    else if (canon == "AES-256") out = usmAES256PrivProtocol, len = 9;
#endif
#ifndef NETSNMP_DISABLE_DES
    else if (canon == "DES") out = usmDESPrivProtocol;
#endif
    else return false;
    return true;
}

bool conf_failure(const std::string& why) {
    v3_conf_problem = "The SNMPv3 settings cannot be used: " + why;
    set_errno(ZQSNMP_E_V3CONF);
    return false;
}

}  // namespace

void v3_session_closed(void* sessp) {
    auto key = user_key(sessp);
    auto it = g_in_use.find(key);
    if (it != g_in_use.end() && --it->second > 0) return;
    if (it != g_in_use.end()) g_in_use.erase(it);
    usmUser* u = usm_get_user(reinterpret_cast<const u_char*>(key.first.data()), key.first.size(), key.second.c_str());
    if (u != nullptr) {
        usm_remove_user(u);
        usm_free_user(u);
    }
}

const char* v3_conf_text() { return v3_conf_problem.empty() ? nullptr : v3_conf_problem.c_str(); }

bool v3_protocol_oids(const std::string& auth, const std::string& priv, const oid** auth_out, size_t* auth_len,
                      const oid** priv_out, size_t* priv_len) {
    return (auth.empty() || auth_oid(auth, *auth_out, *auth_len)) &&
           (priv.empty() || priv_oid(priv, *priv_out, *priv_len));
}

int v3_error(int liberr) {
    switch (liberr) {
    case SNMPERR_TIMEOUT: return ZQSNMP_E_TIMEOUT;
    case SNMPERR_UNKNOWN_USER_NAME:
    case SNMPERR_USM_UNKNOWNSECURITYNAME: return ZQSNMP_E_V3USER;
    case SNMPERR_AUTHENTICATION_FAILURE:
    case SNMPERR_USM_AUTHENTICATIONFAILURE: return ZQSNMP_E_V3AUTH;
    case SNMPERR_UNKNOWN_ENG_ID:
    case SNMPERR_USM_UNKNOWNENGINEID: return ZQSNMP_E_V3ENGINE;
    case SNMPERR_NOT_IN_TIME_WINDOW:
    case SNMPERR_USM_NOTINTIMEWINDOW: return ZQSNMP_E_V3TIME;
    case SNMPERR_DECRYPTION_ERR:
    case SNMPERR_USM_DECRYPTIONERROR: return ZQSNMP_E_V3DECRYPT;
    case SNMPERR_UNSUPPORTED_SEC_LEVEL:
    case SNMPERR_USM_UNSUPPORTEDSECURITYLEVEL:
    case SNMPERR_BAD_SEC_LEVEL: return ZQSNMP_E_V3LEVEL;
    default: return 0;
    }
}

void* open_v3(const std::string& peer, const zq::AgentConf& conf, int retries, int timeout_ms, int local_port) {
    // The user's line of the users file, if any: its pass phrases, and the
    // protocols the host line leaves out.
    const std::string file = zq::v3_secrets_path(conf.secrets);
    std::vector<zq::V3User> users;
    std::vector<std::string> errors;
    if (conf.user.empty()) return conf_failure("the host line says version=3 without user=NAME"), nullptr;
    if (!zq::load_v3_users(file, false, users, errors)) return conf_failure(errors.front()), nullptr;
    const zq::V3User* user = nullptr;
    for (const auto& u : users)
        if (u.name == conf.user && u.engine.empty()) user = &u;

    int level = zq::kNoAuthNoPriv;
    if (!conf.level.empty()) {
        if (!zq::parse_sec_level(conf.level, level)) return conf_failure("level=" + conf.level + " is unknown"), nullptr;
    } else if (user != nullptr) {
        level = user->level();
    }
    if (level > zq::kNoAuthNoPriv && (user == nullptr || user->level() < level))
        return conf_failure(file + ": no " + (level == zq::kAuthPriv ? "authpass and privpass" : "authpass") +
                            " for user '" + conf.user + "' (level " + zq::sec_level_name(level) + ")"),
               nullptr;
    std::string auth, priv;
    const std::string auth_text = !conf.auth.empty() ? conf.auth : user != nullptr ? user->auth : "";
    const std::string priv_text = !conf.priv.empty() ? conf.priv : user != nullptr ? user->priv : "";
    if (!zq::canonical_auth(auth_text.empty() ? zq::kDefaultAuth : auth_text, auth))
        return conf_failure("auth=" + auth_text + " is unknown"), nullptr;
    if (!zq::canonical_priv(priv_text.empty() ? zq::kDefaultPriv : priv_text, priv))
        return conf_failure("priv=" + priv_text + " is unknown"), nullptr;

    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = SNMP_VERSION_3;
    s.peername = const_cast<char*>(peer.c_str());
    s.retries = retries;
    s.timeout = static_cast<long>(timeout_ms) * 1000L;
    s.securityName = const_cast<char*>(conf.user.c_str());
    s.securityNameLen = conf.user.size();
    s.securityModel = SNMP_SEC_MODEL_USM;
    s.contextName = const_cast<char*>(conf.context.c_str());
    s.contextNameLen = conf.context.size();
    s.securityLevel = level == zq::kAuthPriv    ? SNMP_SEC_LEVEL_AUTHPRIV
                      : level == zq::kAuthNoPriv ? SNMP_SEC_LEVEL_AUTHNOPRIV
                                                 : SNMP_SEC_LEVEL_NOAUTH;
    const oid* aoid = nullptr;
    const oid* poid = nullptr;
    size_t alen = 0, plen = 0;
    if (level > zq::kNoAuthNoPriv) {
        if (!v3_protocol_oids(auth, level == zq::kAuthPriv ? priv : "", &aoid, &alen, &poid, &plen))
            return conf_failure(auth + "/" + priv + " is not offered by this build of the SNMP library"), nullptr;
        s.securityAuthProto = const_cast<oid*>(aoid);
        s.securityAuthProtoLen = alen;
        s.securityAuthKeyLen = USM_AUTH_KU_LEN;
        if (generate_Ku(aoid, static_cast<u_int>(alen), reinterpret_cast<const u_char*>(user->authpass.data()),
                        user->authpass.size(), s.securityAuthKey, &s.securityAuthKeyLen) != SNMPERR_SUCCESS)
            return conf_failure("the authentication key cannot be made"), nullptr;
    }
    if (level == zq::kAuthPriv) {
        s.securityPrivProto = const_cast<oid*>(poid);
        s.securityPrivProtoLen = plen;
        s.securityPrivKeyLen = USM_PRIV_KU_LEN;
        if (generate_Ku(aoid, static_cast<u_int>(alen), reinterpret_cast<const u_char*>(user->privpass.data()),
                        user->privpass.size(), s.securityPrivKey, &s.securityPrivKeyLen) != SNMPERR_SUCCESS)
            return conf_failure("the privacy key cannot be made"), nullptr;
    }
    // Opening asks the agent for its engine ID (and net-snmp localises the keys
    // with it): the first exchange with the agent happens here.
    void* sessp = open_session(s, local_port);
    // The keys were copied into the session (or are lost with it): clear ours.
    std::memset(s.securityAuthKey, 0, sizeof s.securityAuthKey);
    std::memset(s.securityPrivKey, 0, sizeof s.securityPrivKey);
    if (sessp != nullptr) {
        ++g_in_use[user_key(sessp)];
        return sessp;
    }
    int code = v3_error(s.s_snmp_errno);
    if (code == 0) code = v3_error(snmp_errno);
    set_errno(code != 0 ? code : ZQSNMP_E_V3ENGINE);
    return nullptr;
}

// An SNMPv3 response in the form an SNMPv1 agent gives: the exceptions
// (noSuchObject, noSuchInstance, endOfMibView) become a noSuchName error on the
// first binding that has one, and the SNMPv2 error numbers the SNMPv1 ones that
// RFC 3584 names, so that callers see what an SNMPv1 agent would have said.
void v1_form(netsnmp_pdu* response) {
    switch (response->errstat) {
    case SNMP_ERR_NOERROR:
    case SNMP_ERR_TOOBIG:
    case SNMP_ERR_NOSUCHNAME:
    case SNMP_ERR_BADVALUE:
    case SNMP_ERR_READONLY:
    case SNMP_ERR_GENERR: break;
    case SNMP_ERR_WRONGVALUE:
    case SNMP_ERR_WRONGENCODING:
    case SNMP_ERR_WRONGTYPE:
    case SNMP_ERR_WRONGLENGTH:
    case SNMP_ERR_INCONSISTENTVALUE: response->errstat = SNMP_ERR_BADVALUE; break;
    case SNMP_ERR_NOACCESS:
    case SNMP_ERR_NOTWRITABLE:
    case SNMP_ERR_NOCREATION:
    case SNMP_ERR_INCONSISTENTNAME:
    case SNMP_ERR_AUTHORIZATIONERROR: response->errstat = SNMP_ERR_NOSUCHNAME; break;
    default: response->errstat = SNMP_ERR_GENERR; break;
    }
    if (response->errstat != SNMP_ERR_NOERROR) return;
    long index = 1;
    for (const netsnmp_variable_list* v = response->variables; v != nullptr; v = v->next_variable, ++index) {
        if (v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE || v->type == SNMP_ENDOFMIBVIEW) {
            response->errstat = SNMP_ERR_NOSUCHNAME;
            response->errindex = index;
            return;
        }
    }
}

}  // namespace zq::snmp
