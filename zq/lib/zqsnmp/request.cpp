// Request sessions: SNMPv1 Get/GetNext to agents and SNMPv1 traps to a trap daemon,
// on net-snmp's single-session API.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "internal.h"
#include "zqcommon.h"

namespace zq::snmp {
namespace {

// The arc used for a trap that names no enterprise: the platform's own.
const ZqOid kDefaultEnterprise[] = {ZQ_ZENT_SUBIDS};

// A private directory for net-snmp's persistent state: run/snmp of the instance
// when the instance has a run/ folder, else one below $TMPDIR (or /tmp) that
// belongs to this user.
std::string persistent_dir() {
    struct stat st {};
    std::string run = zq::instance_path("run");
    if (stat(run.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::string dir = run + "/snmp";
        if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return dir;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && *tmp == '/') ? tmp : "/tmp";
    std::string dir = base + "/zqsnmp-" + std::to_string(getuid());
    if ((mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) && lstat(dir.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode) && st.st_uid == getuid())
        return dir;
    std::string templ = base + "/zqsnmp-XXXXXX";
    if (mkdtemp(templ.data()) != nullptr) return templ;
    return base;
}

bool is_local_address(const unsigned char addr[4]) {
    if (addr[0] == 127) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        found = std::memcmp(&sin->sin_addr, addr, 4) == 0;
    }
    freeifaddrs(list);
    return found;
}

// The address this host sends from towards dest (UDP "connect" picks the route;
// nothing is sent).  127.0.0.1 for local destinations or when it cannot be found.
void source_address_for(const unsigned char dest[4], bool local, unsigned char out[4]) {
    static const unsigned char loopback[4] = {127, 0, 0, 1};
    std::memcpy(out, loopback, 4);
    if (local) return;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(162);
    std::memcpy(&sin.sin_addr, dest, 4);
    socklen_t len = sizeof sin;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0 && sin.sin_addr.s_addr != 0)
        std::memcpy(out, &sin.sin_addr, 4);
    close(fd);
}

std::string peer_name(const unsigned char addr[4], int port) {
    return "udp:" + zq::addr_to_string(addr) + ":" + std::to_string(port);
}

// Opens a net-snmp single session to peer; null on failure.  local_port 0: any.
void* open_netsnmp(const std::string& peer, const std::string& community, int retries, int timeout_ms,
                   int local_port) {
    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = SNMP_VERSION_1;
    s.peername = const_cast<char*>(peer.c_str());
    s.community = reinterpret_cast<u_char*>(const_cast<char*>(community.c_str()));
    s.community_len = community.size();
    s.retries = retries;
    s.timeout = static_cast<long>(timeout_ms) * 1000L;
    return open_session(s, local_port);
}

// ZqsnmpErrno after a failed net-snmp call on sessp (never 0).
void set_netsnmp_error(void* sessp, int fallback) {
    int liberr = 0, syserr = 0;
    char* text = nullptr;
    snmp_sess_error(sessp, &syserr, &liberr, &text);  // the C library's errno comes first
    std::free(text);
    if (syserr > 0) set_sys_errno(syserr);
    else set_errno(fallback);
}

// Get/GetNext/Set: the ownership rules of the header, exactly.
ZqPdu* send_request(ZqSession* session, ZqPdu* pdu) {
    ZqSessionImpl* impl = session->impl;
    if (impl->kind != ZqSessionImpl::kRequest || impl->snmp == nullptr) {
        set_errno(ZQSNMP_E_BADSESSION);
        return nullptr;
    }
    // net-snmp frees what it is handed whatever happens, so it gets a copy.
    netsnmp_pdu* copy = to_netsnmp(pdu);
    if (copy == nullptr) return nullptr;
    copy->version = impl->version == 3 ? SNMP_VERSION_3 : SNMP_VERSION_1;
    // Requests always carry the session's community (an SNMPv3 one its user).
    std::free(copy->community);
    copy->community = nullptr;
    copy->community_len = 0;

    netsnmp_pdu* response = nullptr;
    int status = snmp_sess_synch_response(impl->snmp, copy, &response);
    if (status == STAT_SUCCESS && response != nullptr) {
        if (impl->version == 3) v1_form(response);
        ZqPdu* result = from_netsnmp(response);
        snmp_free_pdu(response);
        if (result == nullptr) {
            if (ZqsnmpErrno == ZQSNMP_E_OK) set_errno(ZQSNMP_E_DECODE);
            return nullptr;  // the request stays the caller's
        }
        ZqsnmpFreePdu(pdu);
        set_errno(ZQSNMP_E_OK);
        return result;
    }
    if (response != nullptr) snmp_free_pdu(response);
    if (status == STAT_TIMEOUT) {
        ZqsnmpFreePdu(pdu);
        set_errno(ZQSNMP_E_TIMEOUT);
        return nullptr;
    }
    if (impl->version == 3) {
        // A security failure the agent reported (or net-snmp found in its
        // answer): the request went nowhere, so it stays the caller's.
        int liberr = 0, syserr = 0;
        char* text = nullptr;
        snmp_sess_error(impl->snmp, &syserr, &liberr, &text);
        std::free(text);
        if (int code = v3_error(liberr); code != 0) {
            set_errno(code);
            return nullptr;
        }
    }
    set_netsnmp_error(impl->snmp, ZQSNMP_E_SENDFAIL);
    return nullptr;
}

// A Trap PDU: one SNMPv1 Trap message.  Null when sent (pdu freed); otherwise pdu.
ZqPdu* send_trap(ZqSession* session, ZqPdu* pdu) {
    ZqSessionImpl* impl = session->impl;
    const bool event_session = impl->kind == ZqSessionImpl::kEvent;
    static const unsigned char loopback[4] = {127, 0, 0, 1};
    const unsigned char* dest = event_session ? loopback : impl->peer_addr;
    const bool local = event_session || impl->peer_is_local;

    static const unsigned char unset[4] = {0, 0, 0, 0};
    unsigned char agent[4];
    std::memcpy(agent, pdu->agent_addr, 4);
    if (std::memcmp(agent, unset, 4) == 0) source_address_for(dest, local, agent);
    uint32_t stamp = pdu->time;
    if (stamp == 0) {
        stamp = uptime_hundredths();
        if (stamp == 0) stamp = 1;  // 0 would ask net-snmp to put in its own
    }

    if (event_session) {
        // Through the session with trapd itself, so that events sent on one
        // session reach trapd in the order they were sent.
        std::memcpy(pdu->agent_addr, agent, 4);
        pdu->time = stamp;
        if (ZqsnmpEventSend(session, pdu, nullptr, 0) >= 0) {
            set_errno(ZQSNMP_E_OK);
            return nullptr;
        }
        if (ZqsnmpErrno == ZQSNMP_E_OK) set_errno(ZQSNMP_E_SENDFAIL);
        return pdu;
    }

    if (local) {
        // To this instance's trapd: through an event session, which proves the
        // sender may use the instance (trapd takes some arcs from sessions only).
        // Without a reachable trapd the datagram goes out as before, except for a
        // trap trapd takes from sessions only: that one fails, since a datagram
        // would be refused and the sender told it went.  What the datagram could
        // not carry (an OID BER cannot encode) is refused the same way on both paths.
        netsnmp_pdu* check = to_netsnmp(pdu);
        if (check == nullptr) return pdu;
        snmp_free_pdu(check);
        std::memcpy(pdu->agent_addr, agent, 4);
        pdu->time = stamp;
        if (pdu->community == nullptr) {
            pdu->community = static_cast<unsigned char*>(ZqsnmpMalloc(impl->community.size() + 1));
            if (pdu->community == nullptr) return pdu;
            std::memcpy(pdu->community, impl->community.data(), impl->community.size());
            pdu->community_len = impl->community.size();
        }
        if (pdu->enterprise == nullptr) {
            constexpr size_t n = sizeof kDefaultEnterprise / sizeof kDefaultEnterprise[0];
            pdu->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(n * sizeof(ZqOid)));
            if (pdu->enterprise == nullptr) return pdu;
            for (size_t i = 0; i < n; ++i) pdu->enterprise[i] = static_cast<ZqOid>(kDefaultEnterprise[i]);
            pdu->enterprise_length = n;
        }
        int sent = send_local_trap(pdu);
        if (sent > 0) {
            set_errno(ZQSNMP_E_OK);
            return nullptr;
        }
        if (sent < 0) return pdu;
        if (local_only_trap(pdu)) {
            // Why the session could not be had (not this user's instance), else "not reachable".
            if (ZqsnmpErrno < ZQSNMP_E_SYSBASE) set_errno(ZQSNMP_E_NOTRAPD);
            return pdu;
        }
    }

    netsnmp_pdu* copy = to_netsnmp(pdu);
    if (copy == nullptr) return pdu;
    copy->version = SNMP_VERSION_1;
    std::memcpy(copy->agent_addr, agent, 4);
    copy->time = stamp;
    if (copy->enterprise == nullptr) {
        constexpr size_t n = sizeof kDefaultEnterprise / sizeof kDefaultEnterprise[0];
        copy->enterprise = static_cast<oid*>(std::malloc(n * sizeof(oid)));
        if (copy->enterprise == nullptr) {
            snmp_free_pdu(copy);
            set_errno(ZQSNMP_E_NOMEM);
            return pdu;
        }
        for (size_t i = 0; i < n; ++i) copy->enterprise[i] = kDefaultEnterprise[i];
        copy->enterprise_length = n;
    }

    if (impl->trap_snmp == nullptr) {
        int port = local ? zq::read_instance_conf().trap_port : 162;
        impl->trap_peer = peer_name(dest, port);
        impl->trap_snmp = open_netsnmp(impl->trap_peer, impl->community, 0, impl->timeout_ms, 0);
    }
    if (impl->trap_snmp == nullptr) {
        snmp_free_pdu(copy);
        set_errno(ZQSNMP_E_NOSOCKET);
        return pdu;
    }
    // snmp_sess_send frees the PDU once sent; on failure it stays ours, and the
    // trap session is opened afresh for the next trap.
    if (snmp_sess_send(impl->trap_snmp, copy) == 0) {
        set_netsnmp_error(impl->trap_snmp, ZQSNMP_E_SENDFAIL);
        snmp_free_pdu(copy);
        snmp_sess_close(impl->trap_snmp);
        impl->trap_snmp = nullptr;
        return pdu;
    }
    ZqsnmpFreePdu(pdu);
    set_errno(ZQSNMP_E_OK);
    return nullptr;
}

}  // namespace

void* open_session(netsnmp_session& s, int local_port) {
    if (local_port > 0) {
        std::string client = "0.0.0.0:" + std::to_string(local_port);
        netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CLIENT_ADDR, client.c_str());
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CLIENT_ADDR_USES_PORT, 1);
    }
    void* sessp = snmp_sess_open(&s);
    if (local_port > 0) {
        netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CLIENT_ADDR, nullptr);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CLIENT_ADDR_USES_PORT, 0);
    }
    return sessp;
}

void ensure_netsnmp_init() {
    static bool done = false;
    if (done) return;
    done = true;
    uptime_hundredths();  // the process's up-time counts from here
    // No MIB files, no configuration files, no state written outside the instance.
    setenv("MIBS", "", 1);
    setenv("SNMP_PERSISTENT_DIR", persistent_dir().c_str(), 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    // Quiet: net-snmp writes to standard error unless some log handler exists.
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
    init_snmp("zqsnmp");
}

}  // namespace zq::snmp

using namespace zq::snmp;

extern "C" {

ZqSession* ZqsnmpOpen(const char* community, const char* host, int retries, int timeout,
                      unsigned int remote_port, unsigned int local_port, ZqsnmpCallback callback, void* data) {
    ensure_netsnmp_init();
    std::string name;
    int host_port = -1;
    zq::split_host_port(host != nullptr && *host != '\0' ? host : "127.0.0.1", name, host_port);
    if (name.empty()) {
        set_errno(ZQSNMP_E_BADHOST);
        return nullptr;
    }
    std::optional<in_addr> addr = zq::resolve_host(name);
    if (!addr) {
        set_errno(ZQSNMP_E_BADHOST);
        return nullptr;
    }
    zq::AgentConf conf = zq::agent_conf(zq::instance_path("conf/snmp.conf"), name, addr);

    auto impl = std::make_unique<ZqSessionImpl>();
    impl->kind = ZqSessionImpl::kRequest;
    impl->callback = callback;
    impl->data = data;
    impl->host = name;
    impl->community = community != nullptr ? community : conf.community;
    impl->retries = retries >= 0 ? retries : conf.retries;
    // Time-outs are milliseconds here; 0 and negative values take the configured one.
    impl->timeout_ms = timeout > 0 ? timeout : static_cast<int>(conf.timeout * 1000.0 + 0.5);
    if (impl->timeout_ms <= 0) impl->timeout_ms = 1;
    // An explicit port argument wins over "name:port", which wins over the configuration.
    if (remote_port > 0 && remote_port < 0xFFFF) impl->remote_port = static_cast<int>(remote_port);
    else if (host_port > 0) impl->remote_port = host_port;
    else impl->remote_port = conf.port;
    std::memcpy(impl->peer_addr, &*addr, 4);
    impl->peer_is_local = is_local_address(impl->peer_addr);

    int lport = (local_port > 0 && local_port < 0xFFFF) ? static_cast<int>(local_port) : 0;
    impl->version = conf.version;
    if (conf.version == 3) {
        // SNMPv3: the user of the host line; the community has no meaning.
        impl->snmp = open_v3(peer_name(impl->peer_addr, impl->remote_port), conf, impl->retries, impl->timeout_ms,
                             lport);
        if (impl->snmp == nullptr) return nullptr;  // ZqsnmpErrno says why
    } else {
        impl->snmp = open_netsnmp(peer_name(impl->peer_addr, impl->remote_port), impl->community, impl->retries,
                                  impl->timeout_ms, lport);
    }
    if (impl->snmp == nullptr) {
        set_errno(ZQSNMP_E_NOSOCKET);
        return nullptr;
    }
    auto* session = static_cast<ZqSession*>(std::calloc(1, sizeof(ZqSession)));
    if (session == nullptr) {
        snmp_sess_close(impl->snmp);
        set_errno(ZQSNMP_E_NOMEM);
        return nullptr;
    }
    netsnmp_transport* t = snmp_sess_transport(impl->snmp);
    session->sock_fd = t != nullptr ? t->sock : -1;
    session->flags = 0;
    session->impl = impl.release();
    set_errno(ZQSNMP_E_OK);
    return session;
}

int ZqsnmpClose(ZqSession* session) {
    if (session == nullptr) {
        set_errno(ZQSNMP_E_OK);
        return 0;
    }
    if (session->impl != nullptr && session->impl->kind == ZqSessionImpl::kEvent) return event_close(session);
    if (session->impl != nullptr) {
        async_forget(session);
        if (session->impl->snmp != nullptr && session->impl->version == 3) v3_session_closed(session->impl->snmp);
        if (session->impl->snmp != nullptr) snmp_sess_close(session->impl->snmp);
        if (session->impl->trap_snmp != nullptr) snmp_sess_close(session->impl->trap_snmp);
        delete session->impl;
    }
    std::free(session);
    set_errno(ZQSNMP_E_OK);
    return 0;
}

ZqPdu* ZqsnmpBlockingSend(ZqSession* session, ZqPdu* pdu) {
    if (pdu == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return nullptr;
    }
    const bool trap = pdu->command == ZQSNMP_TRAP;
    if (session == nullptr || session->impl == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return trap ? pdu : nullptr;
    }
    if (session->impl->dead) {
        set_errno(ZQSNMP_E_CLOSED);
        return trap ? pdu : nullptr;
    }
    switch (pdu->command) {
    case ZQSNMP_GET_REQ:
    case ZQSNMP_GETNEXT_REQ:
    case ZQSNMP_SET_REQ:
        return send_request(session, pdu);
    case ZQSNMP_TRAP:
        return send_trap(session, pdu);
    default:
        set_errno(ZQSNMP_E_BADPDUTYPE);
        return nullptr;
    }
}

}  // extern "C"
