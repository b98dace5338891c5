// For tests that hand trap PDUs to a program's trap handlers directly: a PDU
// with a chosen trap id and enterprise, and OIDs below the vendor arcs.
// Header-only, so that the test support library itself needs no SNMP library.
#pragma once

#include <cstring>
#include <vector>

#include "zqoid.h"
#include "zqsnmp.h"

namespace zqtest {

// A trap PDU (freed with ZqsnmpFreePdu); an empty trap id or enterprise is left unset.
inline ZqPdu* trap(const std::vector<ZqOid>& trap_id, const std::vector<ZqOid>& enterprise = {}) {
    ZqPdu* pdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (!trap_id.empty()) {
        pdu->trap_id = static_cast<ZqOid*>(ZqsnmpMalloc(trap_id.size() * sizeof(ZqOid)));
        std::memcpy(pdu->trap_id, trap_id.data(), trap_id.size() * sizeof(ZqOid));
        pdu->trap_id_length = trap_id.size();
    }
    if (!enterprise.empty()) {
        pdu->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(enterprise.size() * sizeof(ZqOid)));
        std::memcpy(pdu->enterprise, enterprise.data(), enterprise.size() * sizeof(ZqOid));
        pdu->enterprise_length = enterprise.size();
    }
    return pdu;
}

// ENT.tail and ZENT.tail.
inline std::vector<ZqOid> ent(const std::vector<ZqOid>& tail) {
    std::vector<ZqOid> oid = {ZQ_ENT_SUBIDS};
    oid.insert(oid.end(), tail.begin(), tail.end());
    return oid;
}
inline std::vector<ZqOid> zent(const std::vector<ZqOid>& tail) {
    std::vector<ZqOid> oid = {ZQ_ZENT_SUBIDS};
    oid.insert(oid.end(), tail.begin(), tail.end());
    return oid;
}

}  // namespace zqtest
