// The internal events: their catalogue and the sender.
#include <cstring>
#include <string>

#include "trvlib.h"

// The one place that names the internal events' enterprises and numbers.
const TrvEventDef aTrvEvents[5] = {
    {EVT_DISCOVER_REQUEST, "EVT_DISCOVER_REQUEST", {ZQ_ENT_SUBIDS, 1, 3, 2}},
    {EVT_NODE_CHANGED, "EVT_NODE_CHANGED", {ZQ_ENT_SUBIDS, 1, 3, 3}},
    {EVT_STATUS_UPDATED, "EVT_STATUS_UPDATED", {ZQ_ENT_SUBIDS, 1, 3, 11}},
    {EVT_STATUS_REQUEST, "EVT_STATUS_REQUEST", {ZQ_ENT_SUBIDS, 1, 3, 12}},
    {EVT_UNINSTALL_REQUEST, "EVT_UNINSTALL_REQUEST", {ZQ_ENT_SUBIDS, 1, 3, 20}},
};

const TrvEventDef *pGetEventDef(int iSpecific) {
    for (const TrvEventDef &def : aTrvEvents)
        if (def.iSpecific == iSpecific) return &def;
    return nullptr;
}

namespace {

// The session events go out on, kept from one event to the next with the
// community it was opened with: a discovery pass sends two events a node, and
// a session each would cost more than the node's own request.
ZqSession *pKeptSender = nullptr;
bool bKeptCommunity = false;
std::string szKeptCommunity;

// The kept session for this community, opened when there is none or it was
// opened for another one; null (ZqsnmpErrno set) when it cannot be opened.
ZqSession *pEventSender(bool bCommunity, const std::string &szCommunity) {
    if (pKeptSender != nullptr && (bKeptCommunity != bCommunity || szKeptCommunity != szCommunity))
        vCloseEventSender();
    if (pKeptSender == nullptr) {
        pKeptSender = ZqsnmpOpen(bCommunity ? szCommunity.c_str() : nullptr, "127.0.0.1", -1, -1, 0xFFFF, 0xFFFF,
                                 nullptr, nullptr);
        bKeptCommunity = bCommunity;
        szKeptCommunity = szCommunity;
    }
    return pKeptSender;
}

}  // namespace

void vCloseEventSender(void) {
    ZqsnmpClose(pKeptSender);
    pKeptSender = nullptr;
}

int iSendInternalEvent(const ZqPdu *pSourcePdu, const ZqOid *pEnterprise, size_t uiEnterpriseLength,
                       int iGeneric, int iSpecific) {
    if (pEnterprise == nullptr || uiEnterpriseLength == 0) {
        iPrintError(TRV_ERR_SYSTEM, "iSendInternalEvent: no enterprise.\n");
        return -1;
    }
    ZqPdu *pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iSendInternalEvent: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        return -1;
    }
    pPdu->enterprise = static_cast<ZqOid *>(ZqsnmpMalloc(uiEnterpriseLength * sizeof(ZqOid)));
    if (pPdu->enterprise == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iSendInternalEvent: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        ZqsnmpFreePdu(pPdu);
        return -1;
    }
    std::memcpy(pPdu->enterprise, pEnterprise, uiEnterpriseLength * sizeof(ZqOid));
    pPdu->enterprise_length = uiEnterpriseLength;
    pPdu->trap_type = iGeneric;
    pPdu->specific_type = iSpecific;

    // Every binding goes out under the enterprise's name, whatever it was called
    // in the caller's PDU.
    for (const ZqVarBind *pVar = pSourcePdu ? pSourcePdu->variables : nullptr; pVar != nullptr;
         pVar = pVar->next_variable) {
        ZqVarBind *pNew = pVar->type == ZQ_ASN_NULL
                              ? ZqsnmpAddNullVarBind(pPdu, pEnterprise, uiEnterpriseLength)
                              : ZqsnmpAddTypedVarBind(pPdu, pEnterprise, uiEnterpriseLength, pVar->type,
                                                      pVar->val.raw, pVar->val_len);
        if (pNew == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "iSendInternalEvent: %s\n", ZqsnmpErrString(ZqsnmpErrno));
            ZqsnmpFreePdu(pPdu);
            return -1;
        }
    }

    // The caller's community (not necessarily terminated); none: the configured one.
    std::string szCommunity;
    bool bCommunity = pSourcePdu != nullptr && pSourcePdu->community != nullptr;
    if (bCommunity)
        szCommunity.assign(reinterpret_cast<const char *>(pSourcePdu->community), pSourcePdu->community_len);
    ZqSession *pSession = pEventSender(bCommunity, szCommunity);
    if (pSession == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iSendInternalEvent: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        ZqsnmpFreePdu(pPdu);
        return -1;
    }
    // A trap that went out comes back as null and belongs to the library; one
    // that did not is handed back as the very same PDU, freed here once.
    ZqPdu *pBack = ZqsnmpBlockingSend(pSession, pPdu);
    if (pBack == nullptr) return 1;
    iPrintError(TRV_ERR_SYSTEM, "iSendInternalEvent: %s\n", ZqsnmpErrString(ZqsnmpErrno));
    ZqsnmpFreePdu(pBack);
    vCloseEventSender();  // the next event starts on a fresh session
    return -1;
}
