// PDU and binding records, the library's allocator and its error numbers.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "internal.h"

int ZqsnmpErrno = 0;

namespace zq::snmp {

void set_errno(int code) { ZqsnmpErrno = code; }
void set_sys_errno(int e) { ZqsnmpErrno = ZQSNMP_E_SYSBASE + (e > 0 ? e : 0); }

uint32_t uptime_hundredths() {
    using clock = std::chrono::steady_clock;
    static const clock::time_point start = clock::now();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
    return static_cast<uint32_t>(elapsed.count() / 10);
}

}  // namespace zq::snmp

using zq::snmp::set_errno;

namespace {

constexpr size_t kMaxOidLength = 128;
constexpr size_t kMaxStringLength = 65535;

const char* library_text(int code) {
    switch (code) {
    case ZQSNMP_E_OK: return "No error";
    case ZQSNMP_E_GENERR: return "Generic SNMP library error";
    case ZQSNMP_E_BADARG: return "Null or invalid argument";
    case ZQSNMP_E_NOMEM: return "Out of memory";
    case ZQSNMP_E_BADPDUTYPE: return "PDU type not supported by this call";
    case ZQSNMP_E_ENCODE: return "The PDU cannot be encoded";
    case ZQSNMP_E_TIMEOUT: return "No response from the agent (time-out)";
    case ZQSNMP_E_BADTYPE: return "Value type not supported";
    case ZQSNMP_E_BADLENGTH: return "Value or OID length out of range";
    case ZQSNMP_E_DECODE: return "A received message cannot be decoded";
    case ZQSNMP_E_NOTRAPD: return "The trap daemon of this instance is not reachable";
    case ZQSNMP_E_BADFILTER: return "Bad event filter (expected \".*\" or \".OID.*\")";
    case ZQSNMP_E_CLOSED: return "The session is closed";
    case ZQSNMP_E_SENDFAIL: return "The message could not be sent";
    case ZQSNMP_E_NOTLOCAL: return "An event session needs the local host";
    case ZQSNMP_E_BADSESSION: return "The call does not apply to this kind of session";
    case ZQSNMP_E_FIX: return "The PDU cannot be fixed";
    case ZQSNMP_E_CONFIG: return "The instance configuration cannot be read";
    case ZQSNMP_E_BADHOST: return "Unknown host";
    case ZQSNMP_E_NOSOCKET: return "No socket can be opened for the session";
    case ZQSNMP_E_V3USER: return "SNMPv3: the agent does not know the user (unknown user name)";
    case ZQSNMP_E_V3AUTH: return "SNMPv3: authentication failed (wrong authentication pass phrase or protocol)";
    case ZQSNMP_E_V3ENGINE: return "SNMPv3: unknown engine ID (the agent's engine could not be learnt or was refused)";
    case ZQSNMP_E_V3TIME: return "SNMPv3: the message was outside the agent's time window";
    case ZQSNMP_E_V3DECRYPT: return "SNMPv3: decryption failed (wrong privacy pass phrase or protocol)";
    case ZQSNMP_E_V3LEVEL: return "SNMPv3: the security level is not supported for this user";
    case ZQSNMP_E_V3CONF: {
        const char* detail = zq::snmp::v3_conf_text();
        return detail != nullptr ? detail : "The SNMPv3 settings cannot be used";
    }
    default: return nullptr;
    }
}

void free_varbind(ZqVarBind* vb) {
    std::free(vb->name);
    std::free(vb->val.raw);
    std::free(vb);
}

bool name_ok(const ZqOid* name, size_t name_length) {
    if (name == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return false;
    }
    if (name_length == 0 || name_length > kMaxOidLength) {
        set_errno(ZQSNMP_E_BADLENGTH);
        return false;
    }
    return true;
}

// A new binding with a copy of the name, appended to the end of pdu's list.
ZqVarBind* append_binding(ZqPdu* pdu, const ZqOid* name, size_t name_length) {
    auto* vb = static_cast<ZqVarBind*>(ZqsnmpMalloc(sizeof(ZqVarBind)));
    if (vb == nullptr) return nullptr;
    vb->name = static_cast<ZqOid*>(ZqsnmpMalloc(name_length * sizeof(ZqOid)));
    if (vb->name == nullptr) {
        std::free(vb);
        return nullptr;
    }
    std::memcpy(vb->name, name, name_length * sizeof(ZqOid));
    vb->name_length = name_length;
    vb->type = ZQ_ASN_NULL;
    ZqVarBind** tail = &pdu->variables;
    while (*tail != nullptr) tail = &(*tail)->next_variable;
    *tail = vb;
    return vb;
}

// Unlinks and frees the last binding of pdu (one that was just appended).
void drop_last(ZqPdu* pdu) {
    ZqVarBind** tail = &pdu->variables;
    while (*tail != nullptr && (*tail)->next_variable != nullptr) tail = &(*tail)->next_variable;
    if (*tail != nullptr) {
        free_varbind(*tail);
        *tail = nullptr;
    }
}

}  // namespace

extern "C" {

const char* ZqsnmpErrString(int code) {
    if (code >= ZQSNMP_E_SYSBASE) {
        // strerror's buffer may be reused by the next call; keep our own copy.
        static thread_local char buf[256];
        const char* text = strerror_r(code - ZQSNMP_E_SYSBASE, buf, sizeof buf);
        if (text != buf) {
            std::strncpy(buf, text, sizeof buf - 1);
            buf[sizeof buf - 1] = '\0';
        }
        return buf;
    }
    const char* text = code >= 0 ? library_text(code) : nullptr;
    return text != nullptr ? text : "Unknown error";
}

void* ZqsnmpMalloc(size_t size) {
    if (size == 0) {
        set_errno(ZQSNMP_E_NOMEM);
        return nullptr;
    }
    void* p = std::calloc(1, size);
    set_errno(p != nullptr ? ZQSNMP_E_OK : ZQSNMP_E_NOMEM);
    return p;
}

// Leaves ZqsnmpErrno alone: callers free a request and then look at the error.
void ZqsnmpFree(void* ptr) { std::free(ptr); }

ZqPdu* ZqsnmpCreatePdu(int type) {
    if (type < ZQSNMP_GET_REQ || type > ZQSNMP_TRAP) {
        set_errno(ZQSNMP_E_BADPDUTYPE);
        return nullptr;
    }
    auto* pdu = static_cast<ZqPdu*>(ZqsnmpMalloc(sizeof(ZqPdu)));
    if (pdu == nullptr) return nullptr;
    // Zero-filled: version 1 (0), no community, no bindings; a trap has generic 0,
    // specific 0, time stamp 0 and agent address 0 (both filled in when sent).
    pdu->command = type;
    set_errno(ZQSNMP_E_OK);
    return pdu;
}

void ZqsnmpFreePdu(ZqPdu* pdu) {
    if (pdu == nullptr) return;
    ZqVarBind* vb = pdu->variables;
    while (vb != nullptr) {
        ZqVarBind* next = vb->next_variable;
        free_varbind(vb);
        vb = next;
    }
    std::free(pdu->community);
    std::free(pdu->enterprise);
    std::free(pdu->trap_id);
    std::free(pdu->security_name);
    std::free(pdu);
}

ZqVarBind* ZqsnmpAddNullVarBind(ZqPdu* pdu, const ZqOid* name, size_t name_length) {
    if (pdu == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return nullptr;
    }
    if (!name_ok(name, name_length)) return nullptr;
    ZqVarBind* vb = append_binding(pdu, name, name_length);
    if (vb != nullptr) set_errno(ZQSNMP_E_OK);
    return vb;
}

ZqVarBind* ZqsnmpAddTypedVarBind(ZqPdu* pdu, const ZqOid* name, size_t name_length, int type,
                                 const void* value, size_t length) {
    if (pdu == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return nullptr;
    }
    if (!name_ok(name, name_length)) return nullptr;
    if (type == ZQ_ASN_NULL) return ZqsnmpAddNullVarBind(pdu, name, name_length);

    // Check the value before anything is allocated.
    size_t bytes = 0;     // bytes to allocate for the value
    size_t copy = 0;      // bytes to copy from the caller
    size_t val_len = 0;   // the binding's val_len
    switch (type) {
    case ZQ_ASN_INTEGER:
    case ZQ_ASN_COUNTER:
    case ZQ_ASN_GAUGE:
    case ZQ_ASN_TIMETICKS:
        // Always one full 32-bit value: callers pass a length of 1 for an int.
        bytes = copy = val_len = sizeof(int32_t);
        break;
    case ZQ_ASN_COUNTER64:
        bytes = copy = val_len = sizeof(uint64_t);
        break;
    case ZQ_ASN_IPADDRESS:
        if (length != 4) {
            set_errno(ZQSNMP_E_BADLENGTH);
            return nullptr;
        }
        copy = val_len = 4;
        bytes = 5;
        break;
    case ZQ_ASN_OCTET_STR:
    case ZQ_ASN_OPAQUE:
        if (length > kMaxStringLength) {
            set_errno(ZQSNMP_E_BADLENGTH);
            return nullptr;
        }
        copy = val_len = length;
        bytes = length + 1;  // a NUL that is not counted
        break;
    case ZQ_ASN_OBJECT_ID:
        if (length == 0 || length > kMaxOidLength) {
            set_errno(ZQSNMP_E_BADLENGTH);
            return nullptr;
        }
        bytes = copy = length * sizeof(ZqOid);
        val_len = length;
        break;
    default:
        set_errno(ZQSNMP_E_BADTYPE);
        return nullptr;
    }
    if (value == nullptr && copy > 0) {
        set_errno(ZQSNMP_E_BADARG);
        return nullptr;
    }

    ZqVarBind* vb = append_binding(pdu, name, name_length);
    if (vb == nullptr) return nullptr;
    vb->val.raw = ZqsnmpMalloc(bytes);
    if (vb->val.raw == nullptr) {
        drop_last(pdu);
        set_errno(ZQSNMP_E_NOMEM);
        return nullptr;
    }
    if (copy > 0) std::memcpy(vb->val.raw, value, copy);
    vb->type = static_cast<unsigned char>(type);
    vb->val_len = val_len;
    set_errno(ZQSNMP_E_OK);
    return vb;
}

ZqPdu* ZqsnmpFixPdu(const ZqPdu* response, int command) {
    if (response == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return nullptr;
    }
    if (command != ZQSNMP_GET_REQ && command != ZQSNMP_GETNEXT_REQ && command != ZQSNMP_SET_REQ) {
        set_errno(ZQSNMP_E_BADPDUTYPE);
        return nullptr;
    }
    if (response->errstat != ZQ_ERR_NOSUCHNAME || response->errindex < 1) {
        set_errno(ZQSNMP_E_FIX);
        return nullptr;
    }
    size_t count = 0;
    for (const ZqVarBind* vb = response->variables; vb != nullptr; vb = vb->next_variable) ++count;
    if (static_cast<size_t>(response->errindex) > count || count < 2) {
        set_errno(ZQSNMP_E_FIX);
        return nullptr;
    }

    ZqPdu* fixed = ZqsnmpCreatePdu(command);
    if (fixed == nullptr) return nullptr;
    if (response->community != nullptr && response->community_len > 0) {
        fixed->community = static_cast<unsigned char*>(ZqsnmpMalloc(response->community_len + 1));
        if (fixed->community == nullptr) {
            ZqsnmpFreePdu(fixed);
            return nullptr;
        }
        std::memcpy(fixed->community, response->community, response->community_len);
        fixed->community_len = response->community_len;
    }
    int index = 1;
    for (const ZqVarBind* vb = response->variables; vb != nullptr; vb = vb->next_variable, ++index) {
        if (index == response->errindex) continue;
        // A Get or GetNext asks without values; a Set keeps the values it carried.
        ZqVarBind* added;
        if (command != ZQSNMP_SET_REQ || vb->type == ZQ_ASN_NULL || vb->val.raw == nullptr) {
            added = ZqsnmpAddNullVarBind(fixed, vb->name, vb->name_length);
        } else {
            added = ZqsnmpAddTypedVarBind(fixed, vb->name, vb->name_length, vb->type, vb->val.raw, vb->val_len);
        }
        if (added == nullptr) {
            int err = ZqsnmpErrno;
            ZqsnmpFreePdu(fixed);
            set_errno(err);
            return nullptr;
        }
    }
    set_errno(ZQSNMP_E_OK);
    return fixed;
}

}  // extern "C"
