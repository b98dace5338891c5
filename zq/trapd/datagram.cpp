#include "datagram.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_impl.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace zq::trapd {

namespace {

const wire::Oid kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const wire::Oid kSnmpTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const wire::Oid kSnmpTrapEnterprise = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
const wire::Oid kSnmpTrapAddress = {1, 3, 6, 1, 6, 3, 18, 1, 3, 0};
const wire::Oid kSnmpTraps = {1, 3, 6, 1, 6, 3, 1, 1, 5};

struct PduFree {
    void operator()(netsnmp_pdu* p) const { snmp_free_pdu(p); }
};

bool to_oid(const oid* in, size_t len, wire::Oid& out, size_t min_len) {
    if (len < min_len || len > wire::kMaxOid || (len > 0 && in == nullptr)) return false;
    out.resize(len);
    for (size_t i = 0; i < len; ++i) {
        if (in[i] > 0xffffffffUL) return false;
        out[i] = static_cast<uint32_t>(in[i]);
    }
    return true;
}

// The BER of an Opaque-wrapped float or double: 9f, the tag, the length, the value
// in network byte order.
std::string opaque_wrap(uint8_t tag, const void* value, size_t n) {
    std::string out = {'\x9f', static_cast<char>(tag), static_cast<char>(n)};
    const auto* p = static_cast<const unsigned char*>(value);
    for (size_t i = 0; i < n; ++i)
        out += static_cast<char>(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? p[n - 1 - i] : p[i]);
    return out;
}

// One net-snmp binding as a record binding; false for values trapd cannot carry.
bool to_binding(const netsnmp_variable_list* v, wire::Binding& b, std::string& why) {
    if (!to_oid(v->name, v->name_length, b.name, 1)) {
        why = "bad binding name";
        return false;
    }
    switch (v->type) {
    case ASN_INTEGER:
        if (v->val.integer == nullptr) break;
        b.type = ASN_INTEGER;
        b.number = static_cast<uint32_t>(static_cast<int32_t>(*v->val.integer));
        return true;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
        if (v->val.integer == nullptr) break;
        b.type = v->type == ASN_UINTEGER ? ASN_GAUGE : v->type;
        b.number = static_cast<uint32_t>(*v->val.integer);
        return true;
    case ASN_COUNTER64:
        if (v->val.counter64 == nullptr) break;
        b.type = ASN_COUNTER64;
        b.number = (static_cast<uint64_t>(v->val.counter64->high & 0xffffffffUL) << 32) |
                   (v->val.counter64->low & 0xffffffffUL);
        return true;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_BIT_STR:
    case ASN_NSAP:
        if (v->val_len > wire::kMaxString || (v->val_len > 0 && v->val.string == nullptr)) break;
        b.type = v->type == ASN_OPAQUE ? ASN_OPAQUE : ASN_OCTET_STR;
        b.bytes.assign(reinterpret_cast<const char*>(v->val.string), v->val_len);
        return true;
    case ASN_IPADDRESS:
        if (v->val_len != 4 || v->val.string == nullptr) break;
        b.type = ASN_IPADDRESS;
        b.bytes.assign(reinterpret_cast<const char*>(v->val.string), 4);
        return true;
    case ASN_OBJECT_ID:
        if (!to_oid(v->val.objid, v->val_len / sizeof(oid), b.objid, 1)) break;
        b.type = ASN_OBJECT_ID;
        return true;
#ifdef NETSNMP_WITH_OPAQUE_SPECIAL_TYPES
    // net-snmp unwraps Opaque-wrapped numbers; wrap them again as they came.
    case ASN_OPAQUE_FLOAT:
        if (v->val.floatVal == nullptr) break;
        b.type = ASN_OPAQUE;
        b.bytes = opaque_wrap(0x78, v->val.floatVal, sizeof(float));
        return true;
    case ASN_OPAQUE_DOUBLE:
        if (v->val.doubleVal == nullptr) break;
        b.type = ASN_OPAQUE;
        b.bytes = opaque_wrap(0x79, v->val.doubleVal, sizeof(double));
        return true;
    case ASN_OPAQUE_I64:
    case ASN_OPAQUE_U64:
    case ASN_OPAQUE_COUNTER64:
        if (v->val.counter64 == nullptr) break;
        b.type = ASN_COUNTER64;
        b.number = (static_cast<uint64_t>(v->val.counter64->high & 0xffffffffUL) << 32) |
                   (v->val.counter64->low & 0xffffffffUL);
        return true;
#endif
    case ASN_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
        b.type = ASN_NULL;
        return true;
    default:
        why = "unsupported value type " + std::to_string(v->type);
        return false;
    }
    why = "bad binding value";
    return false;
}

bool from_v1(const netsnmp_pdu* pdu, const uint8_t source[4], wire::Event& ev, std::string& why) {
    if (!to_oid(pdu->enterprise, pdu->enterprise_length, ev.enterprise, 0)) {
        why = "bad enterprise";
        return false;
    }
    if (pdu->trap_type < 0 || pdu->trap_type > 6) {
        why = "generic trap out of range";
        return false;
    }
    if (pdu->specific_type < INT32_MIN || pdu->specific_type > INT32_MAX) {
        why = "specific trap out of range";
        return false;
    }
    ev.generic = static_cast<int32_t>(pdu->trap_type);
    ev.specific = static_cast<int32_t>(pdu->specific_type);
    ev.timestamp = static_cast<uint32_t>(pdu->time);
    std::memcpy(ev.agent.data(), pdu->agent_addr, 4);
    if (ev.agent == std::array<uint8_t, 4>{}) std::memcpy(ev.agent.data(), source, 4);
    for (const netsnmp_variable_list* v = pdu->variables; v != nullptr; v = v->next_variable) {
        if (ev.bindings.size() >= wire::kMaxBindings) {
            why = "too many bindings";
            return false;
        }
        wire::Binding b;
        if (!to_binding(v, b, why)) return false;
        ev.bindings.push_back(std::move(b));
    }
    if (!wire::v1_trap_id(ev, ev.trap_id)) {
        why = "generic trap 6 without an enterprise";
        return false;
    }
    return true;
}

// SNMPv2c notification to SNMPv1 form, as RFC 3584 section 3.2 says.
bool from_v2(const netsnmp_pdu* pdu, const uint8_t source[4], wire::Event& ev, std::string& why) {
    std::vector<wire::Binding> all;
    for (const netsnmp_variable_list* v = pdu->variables; v != nullptr; v = v->next_variable) {
        if (all.size() >= wire::kMaxBindings) {
            why = "too many bindings";
            return false;
        }
        wire::Binding b;
        if (!to_binding(v, b, why)) return false;
        all.push_back(std::move(b));
    }
    const wire::Binding* trap_oid = nullptr;
    const wire::Binding* enterprise = nullptr;
    std::memcpy(ev.agent.data(), source, 4);
    const wire::Binding* uptime = nullptr;
    for (const auto& b : all) {
        if (b.name == kSysUpTime && uptime == nullptr && b.type == ASN_TIMETICKS) {
            ev.timestamp = static_cast<uint32_t>(b.number);
            uptime = &b;
        } else if (b.name == kSnmpTrapOid && trap_oid == nullptr && b.type == ASN_OBJECT_ID) {
            trap_oid = &b;
        } else if (b.name == kSnmpTrapEnterprise && b.type == ASN_OBJECT_ID) {
            enterprise = &b;
        } else if (b.name == kSnmpTrapAddress && b.type == ASN_IPADDRESS) {
            std::memcpy(ev.agent.data(), b.bytes.data(), 4);
        }
    }
    if (trap_oid == nullptr) {
        why = "notification without snmpTrapOID.0";
        return false;
    }
    const wire::Oid& t = trap_oid->objid;
    ev.trap_id = t;
    bool standard = t.size() == kSnmpTraps.size() + 1 && wire::filter_matches(kSnmpTraps, t) && t.back() >= 1 &&
                    t.back() <= 6;
    if (standard) {
        ev.generic = static_cast<int32_t>(t.back() - 1);
        ev.specific = 0;
        ev.enterprise = enterprise != nullptr ? enterprise->objid : kSnmpTraps;
    } else {
        ev.generic = 6;
        ev.specific = static_cast<int32_t>(t.back());
        ev.enterprise.assign(t.begin(), t.end() - 1);
        if (ev.enterprise.size() > 1 && ev.enterprise.back() == 0) ev.enterprise.pop_back();
    }
    // Every binding but sysUpTime.0 and snmpTrapOID.0 goes along.
    for (auto& b : all)
        if (&b != trap_oid && &b != uptime) ev.bindings.push_back(std::move(b));
    return true;
}

}  // namespace

bool notification_from_v2(const netsnmp_pdu* pdu, const uint8_t source[4], wire::Event& ev, std::string& why) {
    return from_v2(pdu, source, ev, why);
}

void init_decoder() {
    static bool done = false;
    if (done) return;
    done = true;
    // A handler that drops everything: without any, net-snmp writes to standard error.
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
}

bool decode_datagram(const uint8_t* data, size_t len, const uint8_t source[4], wire::Event& ev,
                     std::string& why) {
    bool inform = false;
    return decode_datagram(data, len, source, ev, why, inform);
}

bool decode_datagram(const uint8_t* data, size_t len, const uint8_t source[4], wire::Event& ev,
                     std::string& why, bool& inform) {
    inform = false;
    init_decoder();
    ev = wire::Event{};
    if (data == nullptr || len == 0) {
        why = "empty datagram";
        return false;
    }
    // net-snmp's parsers take a non-const buffer; they do not write to it, but a copy
    // keeps that promise out of our hands.
    std::unique_ptr<u_char[]> buf(new u_char[len]);
    std::memcpy(buf.get(), data, len);
    size_t length = len;
    u_char community[COMMUNITY_MAX_LEN];
    size_t community_len = sizeof community;
    long version = -1;
    u_char* p = snmp_comstr_parse(buf.get(), &length, community, &community_len, &version);
    if (p == nullptr) {
        why = "bad message header";
        return false;
    }
    if (version != SNMP_VERSION_1 && version != SNMP_VERSION_2c) {
        why = "unsupported SNMP version " + std::to_string(version);
        return false;
    }
    std::unique_ptr<netsnmp_pdu, PduFree> pdu(static_cast<netsnmp_pdu*>(std::calloc(1, sizeof(netsnmp_pdu))));
    if (!pdu) {
        why = "out of memory";
        return false;
    }
    pdu->version = version;
    if (snmp_pdu_parse(pdu.get(), p, &length) != 0) {
        why = "bad PDU encoding";
        return false;
    }
    ev.version = version == SNMP_VERSION_1 ? 0 : 1;
    ev.community.assign(reinterpret_cast<const char*>(community), community_len);
    if (version == SNMP_VERSION_1 && pdu->command == SNMP_MSG_TRAP) return from_v1(pdu.get(), source, ev, why);
    if (version == SNMP_VERSION_2c && pdu->command == SNMP_MSG_TRAP2) return from_v2(pdu.get(), source, ev, why);
    if (version == SNMP_VERSION_2c && pdu->command == SNMP_MSG_INFORM) {
        inform = true;
        return from_v2(pdu.get(), source, ev, why);
    }
    why = "not a trap (PDU type " + std::to_string(pdu->command) + ")";
    return false;
}

bool ber_header(const uint8_t* data, size_t len, size_t& pos, uint8_t& tag, size_t& content) {
    if (pos + 2 > len) return false;
    tag = data[pos++];
    uint8_t first = data[pos++];
    if (first < 0x80) {
        content = first;
    } else {
        size_t n = first & 0x7f;
        if (n == 0 || n > 4 || pos + n > len) return false;
        content = 0;
        for (size_t i = 0; i < n; ++i) content = (content << 8) | data[pos++];
    }
    return content <= len - pos;
}

bool inform_response(const uint8_t* data, size_t len, std::string& out) {
    if (data == nullptr) return false;
    size_t pos = 0, content = 0;
    uint8_t tag = 0;
    if (!ber_header(data, len, pos, tag, content) || tag != 0x30) return false;
    for (uint8_t want : {uint8_t{0x02}, uint8_t{0x04}}) {  // version, community
        if (!ber_header(data, len, pos, tag, content) || tag != want) return false;
        pos += content;
    }
    if (pos >= len || data[pos] != SNMP_MSG_INFORM) return false;
    out.assign(reinterpret_cast<const char*>(data), len);
    out[pos] = static_cast<char>(SNMP_MSG_RESPONSE);
    return true;
}

bool complete_event(wire::Event& ev, std::string& why) {
    if (!wire::v1_trap_id(ev, ev.trap_id)) {
        why = ev.generic == 6 ? "enterprise-specific event without an enterprise" : "generic trap out of range";
        return false;
    }
    if (ev.agent == std::array<uint8_t, 4>{}) ev.agent = {127, 0, 0, 1};
    return true;
}

}  // namespace zq::trapd
