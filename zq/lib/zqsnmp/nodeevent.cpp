#include "nodeevent.h"

#include <arpa/inet.h>

#include <cstring>

#include "zqsnmp.h"

namespace zq {

bool send_node_event(uint32_t object_id, const std::string& host, const std::string& agent, bool up,
                     std::string& why) {
    ZqSession* s = ZqsnmpEventOpen("127.0.0.1", nullptr, nullptr, nullptr, nullptr);
    if (s == nullptr) {
        why = ZqsnmpErrString(ZqsnmpErrno);
        return false;
    }
    static const ZqOid kEnterprise[] = {ZQ_ZENT_SUBIDS, 2, 17, 1};
    constexpr size_t n = sizeof kEnterprise / sizeof kEnterprise[0];
    ZqPdu* pdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    bool ok = pdu != nullptr;
    if (ok) {
        pdu->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof kEnterprise));
        ok = pdu->enterprise != nullptr;
    }
    if (ok) {
        std::memcpy(pdu->enterprise, kEnterprise, sizeof kEnterprise);
        pdu->enterprise_length = n;
        pdu->trap_type = 6;
        pdu->specific_type = up ? 58916864 : 58916865;
        in_addr in{};
        if (inet_pton(AF_INET, agent.c_str(), &in) == 1) std::memcpy(pdu->agent_addr, &in, 4);
        const std::string texts[] = {host, up ? "Node Up" : "Node Down", std::to_string(object_id)};
        for (unsigned k = 0; k < 3 && ok; ++k) {
            ZqOid name[n + 1];
            std::memcpy(name, kEnterprise, sizeof kEnterprise);
            name[n] = k + 1;
            ok = ZqsnmpAddTypedVarBind(pdu, name, n + 1, ZQ_ASN_OCTET_STR, texts[k].data(), texts[k].size()) !=
                 nullptr;
        }
    }
    ok = ok && ZqsnmpEventSend(s, pdu, nullptr, 0) >= 0;
    if (!ok) {
        why = ZqsnmpErrString(ZqsnmpErrno);
        ZqsnmpFreePdu(pdu);
    }
    ZqsnmpClose(s);
    return ok;
}

}  // namespace zq
