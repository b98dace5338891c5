// Conversion between zq's PDU records and net-snmp's.  This is the only place
// where 32-bit ZqOid sub-identifiers meet net-snmp's `oid`.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "internal.h"

namespace zq::snmp {
namespace {

constexpr size_t kMaxOidLength = 128;

// ZqOid array -> a malloc'd net-snmp oid array (net-snmp frees it with free()).
oid* to_oids(const ZqOid* in, size_t len) {
    auto* out = static_cast<oid*>(std::malloc(len * sizeof(oid)));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < len; ++i) out[i] = in[i];
    return out;
}

// net-snmp oid array -> a ZqsnmpMalloc'd ZqOid array; null when a sub-identifier
// does not fit 32 bits or memory is short (ZqsnmpErrno set).
ZqOid* from_oids(const oid* in, size_t len) {
    if (len == 0 || len > kMaxOidLength) {
        set_errno(ZQSNMP_E_DECODE);
        return nullptr;
    }
    for (size_t i = 0; i < len; ++i) {
        if (in[i] > 0xFFFFFFFFul) {
            set_errno(ZQSNMP_E_DECODE);
            return nullptr;
        }
    }
    auto* out = static_cast<ZqOid*>(ZqsnmpMalloc(len * sizeof(ZqOid)));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < len; ++i) out[i] = static_cast<ZqOid>(in[i]);
    return out;
}

// Whether BER can carry the OID as it is: at least two sub-identifiers, the first
// 0, 1 or 2, and below 40 the second when the first is 0 or 1 (the first two share
// one encoded sub-identifier).  Anything else would reach the peer as another OID.
bool encodable(const ZqOid* o, size_t len) {
    if (o == nullptr || len < 2 || len > kMaxOidLength) return false;
    if (o[0] > 2) return false;
    return o[0] == 2 || o[1] < 40;
}

bool add_to_netsnmp(netsnmp_pdu* out, const ZqVarBind* vb) {
    if (!encodable(vb->name, vb->name_length)) {
        set_errno(ZQSNMP_E_ENCODE);
        return false;
    }
    std::vector<oid> name(vb->name, vb->name + vb->name_length);
    const void* value = nullptr;
    size_t len = 0;
    long integer = 0;
    struct counter64 c64 = {0, 0};
    std::vector<oid> objid;
    bool has_value = vb->val.raw != nullptr;
    switch (vb->type) {
    case ZQ_ASN_NULL:
        break;
    case ZQ_ASN_INTEGER:
        if (!has_value) goto bad_value;
        integer = *vb->val.integer;  // sign-extended
        value = &integer;
        len = sizeof integer;
        break;
    case ZQ_ASN_COUNTER:
    case ZQ_ASN_GAUGE:
    case ZQ_ASN_TIMETICKS:
        if (!has_value) goto bad_value;
        integer = static_cast<long>(static_cast<uint32_t>(*vb->val.integer));
        value = &integer;
        len = sizeof integer;
        break;
    case ZQ_ASN_COUNTER64:
        if (!has_value) goto bad_value;
        c64.high = static_cast<u_long>(*vb->val.counter64 >> 32);
        c64.low = static_cast<u_long>(*vb->val.counter64 & 0xFFFFFFFFu);
        value = &c64;
        len = sizeof c64;
        break;
    case ZQ_ASN_IPADDRESS:
        if (!has_value || vb->val_len != 4) goto bad_value;
        value = vb->val.string;
        len = 4;
        break;
    case ZQ_ASN_OCTET_STR:
    case ZQ_ASN_OPAQUE:
        if (vb->val_len > 0 && !has_value) goto bad_value;
        value = has_value ? vb->val.string : reinterpret_cast<const unsigned char*>("");
        len = vb->val_len;
        break;
    case ZQ_ASN_OBJECT_ID:
        if (!has_value || vb->val_len == 0 || vb->val_len > kMaxOidLength) goto bad_value;
        if (!encodable(vb->val.objid, vb->val_len)) {
            set_errno(ZQSNMP_E_ENCODE);
            return false;
        }
        objid.assign(vb->val.objid, vb->val.objid + vb->val_len);
        value = objid.data();
        len = objid.size() * sizeof(oid);
        break;
    default:
        set_errno(ZQSNMP_E_BADTYPE);
        return false;
    }
    if (snmp_pdu_add_variable(out, name.data(), name.size(), vb->type,
                              static_cast<const u_char*>(value), len) == nullptr) {
        set_errno(ZQSNMP_E_ENCODE);
        return false;
    }
    return true;

bad_value:
    set_errno(ZQSNMP_E_BADLENGTH);
    return false;
}

// One received binding as a new ZqVarBind (value owned); null on failure.
ZqVarBind* from_variable(const netsnmp_variable_list* v) {
    auto* vb = static_cast<ZqVarBind*>(ZqsnmpMalloc(sizeof(ZqVarBind)));
    if (vb == nullptr) return nullptr;
    auto fail = [vb]() -> ZqVarBind* {
        std::free(vb->name);
        std::free(vb->val.raw);
        std::free(vb);
        return nullptr;
    };
    vb->name = from_oids(v->name, v->name_length);
    if (vb->name == nullptr) return fail();
    vb->name_length = v->name_length;
    vb->type = v->type;
    switch (v->type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
        if (v->val.integer == nullptr) break;
        vb->val.integer = static_cast<int32_t*>(ZqsnmpMalloc(sizeof(int32_t)));
        if (vb->val.integer == nullptr) return fail();
        // Unsigned types arrive as 0..2^32-1 in a long: keep the 32 bits.
        *vb->val.integer = static_cast<int32_t>(static_cast<uint32_t>(*v->val.integer));
        vb->val_len = sizeof(int32_t);
        break;
    case ASN_COUNTER64:
        if (v->val.counter64 == nullptr) break;
        vb->val.counter64 = static_cast<uint64_t*>(ZqsnmpMalloc(sizeof(uint64_t)));
        if (vb->val.counter64 == nullptr) return fail();
        *vb->val.counter64 = (static_cast<uint64_t>(v->val.counter64->high & 0xFFFFFFFFu) << 32) |
                             (v->val.counter64->low & 0xFFFFFFFFu);
        vb->val_len = sizeof(uint64_t);
        break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
    case ASN_BIT_STR:
    case ASN_NSAP:
        // Always a buffer, NUL-terminated one byte past the counted length.
        vb->val.string = static_cast<unsigned char*>(ZqsnmpMalloc(v->val_len + 1));
        if (vb->val.string == nullptr) return fail();
        if (v->val_len > 0 && v->val.string != nullptr) std::memcpy(vb->val.string, v->val.string, v->val_len);
        vb->val_len = v->val_len;
        break;
    case ASN_OBJECT_ID: {
        size_t n = v->val_len / sizeof(oid);
        if (v->val.objid == nullptr || n == 0) break;
        vb->val.objid = from_oids(v->val.objid, n);
        if (vb->val.objid == nullptr) return fail();
        vb->val_len = n;
        break;
    }
    default:
        // NULL and the SNMPv2 exceptions (noSuchObject, noSuchInstance,
        // endOfMibView): the type byte alone, no value.
        break;
    }
    return vb;
}

}  // namespace

netsnmp_pdu* to_netsnmp(const ZqPdu* pdu) {
    if (pdu == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return nullptr;
    }
    if (pdu->command < static_cast<int>(SNMP_MSG_GET) || pdu->command > static_cast<int>(SNMP_MSG_TRAP2)) {
        set_errno(ZQSNMP_E_BADPDUTYPE);
        return nullptr;
    }
    netsnmp_pdu* out = snmp_pdu_create(pdu->command);
    if (out == nullptr) {
        set_errno(ZQSNMP_E_NOMEM);
        return nullptr;
    }
    auto fail = [out]() -> netsnmp_pdu* {
        snmp_free_pdu(out);
        return nullptr;
    };
    out->version = pdu->version == 1 ? SNMP_VERSION_2c : SNMP_VERSION_1;
    // snmp_pdu_create drew a fresh request id; keep the caller's only when set.
    if (pdu->reqid != 0) out->reqid = pdu->reqid;
    out->errstat = pdu->errstat;
    out->errindex = pdu->errindex;
    if (pdu->community != nullptr && pdu->community_len > 0) {
        out->community = static_cast<u_char*>(std::malloc(pdu->community_len));
        if (out->community == nullptr) {
            set_errno(ZQSNMP_E_NOMEM);
            return fail();
        }
        std::memcpy(out->community, pdu->community, pdu->community_len);
        out->community_len = pdu->community_len;
    }
    if (pdu->enterprise != nullptr && pdu->enterprise_length > 0) {
        if (!encodable(pdu->enterprise, pdu->enterprise_length)) {
            set_errno(ZQSNMP_E_ENCODE);
            return fail();
        }
        out->enterprise = to_oids(pdu->enterprise, pdu->enterprise_length);
        if (out->enterprise == nullptr) {
            set_errno(ZQSNMP_E_NOMEM);
            return fail();
        }
        out->enterprise_length = pdu->enterprise_length;
    }
    std::memcpy(out->agent_addr, pdu->agent_addr, 4);
    out->trap_type = pdu->trap_type;
    out->specific_type = pdu->specific_type;
    out->time = pdu->time;
    for (const ZqVarBind* vb = pdu->variables; vb != nullptr; vb = vb->next_variable) {
        if (!add_to_netsnmp(out, vb)) return fail();
    }
    set_errno(ZQSNMP_E_OK);
    return out;
}

ZqPdu* from_netsnmp(const netsnmp_pdu* pdu) {
    if (pdu == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return nullptr;
    }
    auto* out = static_cast<ZqPdu*>(ZqsnmpMalloc(sizeof(ZqPdu)));
    if (out == nullptr) return nullptr;
    auto fail = [out]() -> ZqPdu* {
        int err = ZqsnmpErrno;
        ZqsnmpFreePdu(out);
        set_errno(err);
        return nullptr;
    };
    out->command = pdu->command;
    out->version = pdu->version == SNMP_VERSION_1 ? 0 : pdu->version == SNMP_VERSION_3 ? 3 : 1;
    out->reqid = static_cast<int32_t>(pdu->reqid);
    out->errstat = static_cast<int32_t>(pdu->errstat);
    out->errindex = static_cast<int32_t>(pdu->errindex);
    if (pdu->community != nullptr) {
        // One byte more than counted, NUL, so that callers may read it as text.
        out->community = static_cast<unsigned char*>(ZqsnmpMalloc(pdu->community_len + 1));
        if (out->community == nullptr) return fail();
        std::memcpy(out->community, pdu->community, pdu->community_len);
        out->community_len = pdu->community_len;
    }
    if (pdu->enterprise != nullptr && pdu->enterprise_length > 0) {
        out->enterprise = from_oids(pdu->enterprise, pdu->enterprise_length);
        if (out->enterprise == nullptr) return fail();
        out->enterprise_length = pdu->enterprise_length;
    }
    std::memcpy(out->agent_addr, pdu->agent_addr, 4);
    out->trap_type = static_cast<int32_t>(pdu->trap_type);
    out->specific_type = static_cast<int32_t>(pdu->specific_type);
    out->time = static_cast<uint32_t>(pdu->time);
    ZqVarBind** tail = &out->variables;
    for (const netsnmp_variable_list* v = pdu->variables; v != nullptr; v = v->next_variable) {
        ZqVarBind* vb = from_variable(v);
        if (vb == nullptr) return fail();
        *tail = vb;
        tail = &vb->next_variable;
    }
    set_errno(ZQSNMP_E_OK);
    return out;
}

}  // namespace zq::snmp
