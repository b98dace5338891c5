// Requests that do not wait: a Get/GetNext goes out on a request session at
// once, and its answer (or its time-out after the session's retries) comes back
// through the session's callback while the caller drives the library from its
// own wait (ZqsnmpAsyncSelectInfo, then ZqsnmpAsyncRead).
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <sys/select.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "internal.h"

namespace zq::snmp {
namespace {

// Request sessions with requests of their own in flight, each once.  Never
// destroyed: a session may be closed from another object's destructor while the
// process exits, after this list's own would have run.
std::vector<ZqSession*>& waiting() {
    static auto* w = new std::vector<ZqSession*>;
    return *w;
}

void forget(ZqSession* session) {
    auto& w = waiting();
    w.erase(std::remove(w.begin(), w.end(), session), w.end());
}

// net-snmp's callback: the answer (or the request that timed out) to the
// session's own callback as a PDU of ours.
int on_answer(int op, netsnmp_session*, int reqid, netsnmp_pdu* pdu, void* magic) {
    auto* session = static_cast<ZqSession*>(magic);
    ZqSessionImpl* impl = session->impl;
    if (impl == nullptr || impl->closing) return 1;
    int reason;
    if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) reason = ZQSNMP_REASON_RESPONSE;
    else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) reason = ZQSNMP_REASON_NORESPONSE;
    else if (op == NETSNMP_CALLBACK_OP_SEND_FAILED) reason = ZQSNMP_REASON_SENDFAILED;
    else return 1;  // a retry going out, and the like: the request still waits
    if (impl->async_pending > 0) --impl->async_pending;
    int v3_failure = 0;
    if (reason == ZQSNMP_REASON_RESPONSE && pdu != nullptr && pdu->command == SNMP_MSG_REPORT) {
        // An SNMPv3 agent's report: no answer, and ZqsnmpErrno says which
        // security check failed.
        reason = ZQSNMP_REASON_NORESPONSE;
        v3_failure = v3_error(snmpv3_get_report_type(pdu));
        if (v3_failure == 0) v3_failure = ZQSNMP_E_V3ENGINE;
    } else if (reason == ZQSNMP_REASON_RESPONSE && pdu != nullptr && impl->version == 3) {
        v1_form(pdu);
    }
    ZqPdu* copy = pdu != nullptr ? from_netsnmp(pdu) : nullptr;
    if (copy != nullptr && v3_failure != 0) {
        copy->command = ZQSNMP_GET_REQ;
        copy->reqid = reqid;
    }
    if (v3_failure != 0) set_errno(v3_failure);
    if (impl->callback != nullptr) impl->callback(reason, session, copy, impl->data);
    else ZqsnmpFreePdu(copy);
    return 1;
}

}  // namespace

void async_forget(ZqSession* session) {
    if (session->impl != nullptr) session->impl->closing = true;
    forget(session);
}

}  // namespace zq::snmp

using namespace zq::snmp;

extern "C" {

int ZqsnmpAsyncSend(ZqSession* session, ZqPdu* pdu) {
    if (session == nullptr || session->impl == nullptr || pdu == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return -1;
    }
    ZqSessionImpl* impl = session->impl;
    if (impl->kind != ZqSessionImpl::kRequest || impl->snmp == nullptr) {
        set_errno(ZQSNMP_E_BADSESSION);
        return -1;
    }
    if (pdu->command != ZQSNMP_GET_REQ && pdu->command != ZQSNMP_GETNEXT_REQ) {
        set_errno(ZQSNMP_E_BADPDUTYPE);
        return -1;
    }
    netsnmp_pdu* copy = to_netsnmp(pdu);
    if (copy == nullptr) return -1;
    copy->version = impl->version == 3 ? SNMP_VERSION_3 : SNMP_VERSION_1;
    std::free(copy->community);  // requests carry the session's community (SNMPv3: its user)
    copy->community = nullptr;
    copy->community_len = 0;
    int reqid = snmp_sess_async_send(impl->snmp, copy, on_answer, session);
    if (reqid == 0) {
        snmp_free_pdu(copy);
        int liberr = 0, syserr = 0;
        char* text = nullptr;
        snmp_sess_error(impl->snmp, &syserr, &liberr, &text);  // the C library's errno first
        std::free(text);
        if (syserr > 0) set_sys_errno(syserr);
        else set_errno(ZQSNMP_E_SENDFAIL);
        return -1;
    }
    ++impl->async_pending;
    auto& w = waiting();
    if (std::find(w.begin(), w.end(), session) == w.end()) w.push_back(session);
    ZqsnmpFreePdu(pdu);
    set_errno(ZQSNMP_E_OK);
    return reqid;
}

int ZqsnmpAsyncSelectInfo(int* width, fd_set* readset, struct timeval* timeout) {
    if (width == nullptr || readset == nullptr || timeout == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return -1;
    }
    int sessions = 0;
    for (ZqSession* s : waiting()) {
        if (s->impl->async_pending <= 0) continue;
        ++sessions;
        int fds = 0, block = 1;
        struct timeval next = {0, 0};
        fd_set own;
        FD_ZERO(&own);
        snmp_sess_select_info(s->impl->snmp, &fds, &own, &next, &block);
        if (s->sock_fd >= 0 && s->sock_fd < FD_SETSIZE) {
            FD_SET(s->sock_fd, readset);
            if (s->sock_fd + 1 > *width) *width = s->sock_fd + 1;
        }
        if (!block && timercmp(&next, timeout, <)) *timeout = next;
    }
    set_errno(ZQSNMP_E_OK);
    return sessions;
}

int ZqsnmpAsyncRead(fd_set* readset) {
    if (readset == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return -1;
    }
    // Callbacks may close sessions (and so change the list): a copy is walked,
    // and each session is looked for again before it is touched.
    std::vector<ZqSession*> now = waiting();
    auto still = [](ZqSession* s) {
        const auto& w = waiting();
        return std::find(w.begin(), w.end(), s) != w.end();
    };
    int answered = 0;
    for (ZqSession* s : now) {
        if (!still(s)) continue;
        int before = s->impl->async_pending;
        if (s->sock_fd >= 0 && s->sock_fd < FD_SETSIZE && FD_ISSET(s->sock_fd, readset)) {
            fd_set own;
            FD_ZERO(&own);
            FD_SET(s->sock_fd, &own);
            snmp_sess_read(s->impl->snmp, &own);
        }
        if (!still(s)) continue;
        snmp_sess_timeout(s->impl->snmp);
        if (!still(s)) continue;
        answered += before - s->impl->async_pending;
        if (s->impl->async_pending <= 0) forget(s);
    }
    set_errno(ZQSNMP_E_OK);
    return answered;
}

}  // extern "C"
