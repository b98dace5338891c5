// Internals of the zqsnmp library shared by its source files (not part of the
// interface the integration sees).
#pragma once

#include <string>
#include <vector>

#include "zqsnmp.h"

struct snmp_pdu;  // net-snmp's PDU
typedef struct snmp_pdu netsnmp_pdu;
struct snmp_session;  // net-snmp's session
typedef struct snmp_session netsnmp_session;
namespace zq {
struct AgentConf;
}

struct ZqSessionImpl {
    enum Kind { kRequest = 1, kEvent = 2 } kind = kRequest;
    ZqsnmpCallback callback = nullptr;
    void* data = nullptr;
    bool dead = false;
    // Requests of ZqsnmpAsyncSend not yet answered nor timed out (async.cpp);
    // closing: the session is being closed, answers are no longer delivered.
    int async_pending = 0;
    bool closing = false;

    // Request sessions (net-snmp single-session handle and what it was opened with).
    void* snmp = nullptr;
    std::string host;        // as given (without :port)
    std::string community;
    int version = 1;         // 1, or 3 for a host line that says version=3
    int remote_port = 161;
    int retries = 3;
    int timeout_ms = 800;
    unsigned char peer_addr[4] = {0, 0, 0, 0};
    bool peer_is_local = false;
    // Traps sent on a request session go out through a second net-snmp session
    // to the trap port, opened at the first trap and kept with its port: a
    // sender of many traps must not pay a socket and a configuration read each.
    void* trap_snmp = nullptr;
    std::string trap_peer;

    // Event sessions with trapd.
    std::string name;        // empty: send-only
    std::string filter;      // ".*" or ".1.3.6...*"
    std::string rxbuf;       // bytes received, not yet a whole record
    int lost_errno = 0;      // why the connection was lost (errno for the LOST callback)
};

namespace zq::snmp {

// Sets ZqsnmpErrno; set_sys_errno(e) sets 50 + e.
void set_errno(int code);
void set_sys_errno(int e);

// net-snmp's library set up once per process (MIBS empty, persistent state below
// the instance, no config files read).
void ensure_netsnmp_init();

// Conversions to and from net-snmp's PDU.  to_netsnmp copies; null on failure
// (ZqsnmpErrno set).  from_netsnmp makes a new ZqPdu (the caller's); null on
// failure.  Both copy command, version, request id, error status and index,
// community, the trap fields and every binding; from_netsnmp leaves trap_id
// null (the event side fills it in), to_netsnmp ignores it.
netsnmp_pdu* to_netsnmp(const ZqPdu* pdu);
ZqPdu* from_netsnmp(const netsnmp_pdu* pdu);

// A trap for this instance's trapd through the process's send-only event
// session (event.cpp): 1 sent (pdu consumed); 0 trapd cannot be reached that way
// (pdu untouched); -1 the PDU cannot be sent (ZqsnmpErrno set, pdu still the caller's).
int send_local_trap(ZqPdu* pdu);
// True when trapd takes this trap from event sessions only (its enterprise or trap
// identifier lies under an arc of local_only_enterprises): it must never go as a
// datagram instead.
bool local_only_trap(const ZqPdu* pdu);

// A request session being closed leaves the asynchronous requests (async.cpp).
void async_forget(ZqSession* session);

// snmp_sess_open of s, from local_port when above 0 (request.cpp).
void* open_session(netsnmp_session& s, int local_port);

// SNMPv3 request sessions (v3.cpp).  open_v3: a session for the host line conf
// with its users file; null with ZqsnmpErrno set (V3CONF when the settings
// cannot be used, a V3 security error or 6 when the agent's engine cannot be
// learnt).  v3_error: the zqsnmp number of a net-snmp security error, else 0.
// v1_form: a response turned into what an SNMPv1 agent would have answered.
// v3_conf_text: the text of the last V3CONF failure (null before any).
void* open_v3(const std::string& peer, const zq::AgentConf& conf, int retries, int timeout_ms, int local_port);
int v3_error(int liberr);
// Before its net-snmp session is closed: the last session of a user with an
// engine takes net-snmp's copy of the user's localised keys with it, so that
// the next session localises the pass phrases of the users file as they are then.
void v3_session_closed(void* sessp);
void v1_form(netsnmp_pdu* response);
const char* v3_conf_text();

// Event-session half of ZqsnmpClose (event.cpp).
int event_close(ZqSession* session);

// Seconds*100 since the process started using the library (trap time stamps).
uint32_t uptime_hundredths();

}  // namespace zq::snmp
