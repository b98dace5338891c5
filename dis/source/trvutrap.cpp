// The event session with trapd: discover and status requests go to the request
// queue, platform node up/down events bring a vendor node back into it, the
// un-install request ends the daemon.  And EVT_NODE_CHANGED for trvmap.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "trvdis.h"

namespace {

const char kSrc[] = TRVDIS_SRC_TRAP;

const ZqOid aUninstallOid[] = {ZQ_ENT_SUBIDS, 1, 3, 20};
const ZqOid aDiscoverOid[] = {ZQ_ENT_SUBIDS, 1, 3, 2};
const ZqOid aStatusRequestOid[] = {ZQ_ENT_SUBIDS, 1, 3, 12};
const ZqOid aNodeChangedOid[] = {ZQ_ENT_SUBIDS, 1, 3, 3};
const ZqOid aNodeEventOid[] = {ZQ_ZENT_SUBIDS, 2, 17};
constexpr size_t kEventOidLength = sizeof aUninstallOid / sizeof aUninstallOid[0];
constexpr size_t kNodeEventOidLength = sizeof aNodeEventOid / sizeof aNodeEventOid[0];
// The node event's specific number sits after ZENT.2.17.x.0.
constexpr size_t kNodeEventSpecificIndex = kNodeEventOidLength + 2;

// True when the OID has at least uiPrefix sub-identifiers and begins with pPrefix.
bool bHasPrefix(const ZqOid *pOid, size_t uiLength, const ZqOid *pPrefix, size_t uiPrefix) {
    return pOid != nullptr && uiLength >= uiPrefix &&
           iOidCompare(pOid, pPrefix, static_cast<int>(uiPrefix)) == 1;
}

// A binding's text, copied with its length, at most 255 bytes.
std::string szBindingText(const ZqVarBind *pVar) {
    if (pVar->val.string == nullptr) return std::string();
    size_t uiLength = pVar->val_len < TRV_BINDING_TEXT_MAX ? pVar->val_len : TRV_BINDING_TEXT_MAX;
    std::string szText(reinterpret_cast<const char *>(pVar->val.string), uiLength);
    // A NUL inside ends the text, as it would in the 256-byte buffer.
    size_t uiNul = szText.find('\0');
    if (uiNul != std::string::npos) szText.resize(uiNul);
    return szText;
}

// The leading decimal digits as an object id; 0 when there are none or they do
// not fit an id.
ZqwObjectId uiLeadingId(const std::string &szText) {
    uint64_t ullValue = 0;
    for (char c : szText) {
        if (c < '0' || c > '9') break;
        ullValue = ullValue * 10 + static_cast<uint64_t>(c - '0');
        if (ullValue > UINT32_MAX) return ZQW_NULL_ID;
    }
    return static_cast<ZqwObjectId>(ullValue);
}

// A platform node up/down event: true when it is one (handled or dropped here),
// false for a NonTarvo node, which goes on to the request test.
bool bNodeEvent(const ZqPdu *pPdu) {
    if (!bHasPrefix(pPdu->trap_id, pPdu->trap_id_length, aNodeEventOid, kNodeEventOidLength) ||
        pPdu->trap_id_length <= kNodeEventSpecificIndex)
        return false;
    ZqOid uiSpecific = pPdu->trap_id[kNodeEventSpecificIndex];
    if (uiSpecific != TRV_NODE_UP_SPECIFIC && uiSpecific != TRV_NODE_DOWN_SPECIFIC) return false;
    if (pPdu->variables == nullptr) return true;
    iPrintDebug(__LINE__, kSrc, 1, "Node Up/Down Trap is received.\n");

    // Host name, "Node Up"/"Node Down", the node's object id as text.
    const ZqVarBind *pThird = pPdu->variables->next_variable;
    if (pThird != nullptr) pThird = pThird->next_variable;
    if (pThird == nullptr || pThird->type != ZQ_ASN_OCTET_STR) return true;
    ZqwObjectId uiNode = uiLeadingId(szBindingText(pThird));
    if (ZqwIsIdNull(uiNode)) return true;

    char *szSysType = ZqwDbGetFieldEnumByName(uiNode, uiFieldTrvSysType);
    if (szSysType == nullptr) return true;
    bool bVendor = strcmp(szSysType, "TrvDesktop") == 0 || strcmp(szSysType, "TrvServer") == 0;
    free(szSysType);
    if (!bVendor) return false;
    if (iIsNodeManaged(uiNode) == 1) iQueueNode(uiNode, TRVDIS_QUEUE_REQUEST);
    return true;
}

// An address or host name from trvtrapd: the node's id into the request queue.
void vQueueByName(const std::string &szName) {
    ZqwObjectId uiNode = ZqwDbHostnameToObjectId(szName.c_str());
    if (!ZqwIsIdNull(uiNode)) {
        iQueueNode(uiNode, TRVDIS_QUEUE_REQUEST);
        iPrintDebug(__LINE__, kSrc, 1, "vProcessReqTrap :  4 Before freeing Pdu\n");
        return;
    }
    if (ZqwError() != ZQW_E_NOOBJECT) {
        iPrintError(TRV_ERR_ZQW, "");
        return;
    }
    // Not a host name: the interface that carries the address names its node.
    ZqwFieldValue stAddress{};
    stAddress.field_type = ZQW_STRING_FIELD;
    stAddress.un.string_val = const_cast<char *>(szName.c_str());
    ZqwFieldBinding stBinding = {uiFieldIpAddress, &stAddress};
    ZqwFieldBindList stBindings = {1, &stBinding};
    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValues(&stBindings);
    if (pList == nullptr) {
        iPrintError(TRV_ERR_ZQW, "");
        iPrintDebug(__LINE__, kSrc, 1, "vProcessReqTrap :  1 Before freeing Pdu\n");
        return;
    }
    if (pList->count != 1) {
        iPrintError(3019, "No object found with the IP Address %s", szName.c_str());
        ZqwDbFreeObjectIdList(pList);
        iPrintDebug(__LINE__, kSrc, 1, "vProcessReqTrap :  2 Before freeing Pdu\n");
        return;
    }
    ZqwFieldValue *pNodeId = ZqwDbGetFieldValue(pList->object_ids[0], uiFieldTopMNodeId);
    if (pNodeId == nullptr || pNodeId->field_type != ZQW_INT_FIELD) {
        ZqwDbFreeFieldValue(pNodeId);
        ZqwDbFreeObjectIdList(pList);
        iPrintDebug(__LINE__, kSrc, 1, "vProcessReqTrap :  3 Before freeing Pdu\n");
        return;
    }
    uiNode = static_cast<ZqwObjectId>(pNodeId->un.int_val);
    iPrintDebug(__LINE__, kSrc, 1, "Converted IP Address for %s to ObjectId %d", szName.c_str(),
                static_cast<int>(uiNode));
    if (iIsNodeManaged(uiNode) == 1) iQueueNode(uiNode, TRVDIS_QUEUE_REQUEST);
    ZqwDbFreeFieldValue(pNodeId);
    ZqwDbFreeObjectIdList(pList);
}

// EVT_DISCOVER_REQUEST or EVT_STATUS_REQUEST.
void vQueueRequest(const ZqPdu *pPdu) {
    iPrintDebug(__LINE__, kSrc, 1, "Received Tarvo enterprise trap.");
    const ZqVarBind *pFirst = pPdu->variables;
    if (pFirst == nullptr) return;
    if (pFirst->type == ZQ_ASN_INTEGER) {
        // Node ids, in order; only INTEGER bindings carry one.
        for (const ZqVarBind *pVar = pFirst; pVar != nullptr; pVar = pVar->next_variable) {
            if (pVar->type != ZQ_ASN_INTEGER || pVar->val.integer == nullptr || *pVar->val.integer <= 0) continue;
            iQueueNode(static_cast<ZqwObjectId>(*pVar->val.integer), TRVDIS_QUEUE_REQUEST);
        }
    } else if (pFirst->type == ZQ_ASN_OCTET_STR) {
        // An empty text names no host and no address: its look-ups fail and
        // the request is reported (3019) like any other unknown name.
        vQueueByName(szBindingText(pFirst));
    }
}

}  // namespace

void vTrapCallback(int iReason, ZqSession *pSession, ZqPdu *pPdu, void * /*pData*/) {
    switch (iReason) {
    case ZQSNMP_REASON_TRAP:
        vProcessReqTrap(pPdu);
        return;
    case ZQSNMP_REASON_LOST:
        ZqsnmpFreePdu(pPdu);
        iPrintError(TRV_ERR_SYSTEM, "");
        iPrintDebug(__LINE__, kSrc, 1, "Lost connection with trapd, trvupdate has terminated!\n");
        iPrintDebug(__LINE__, kSrc, 2, "Lost connection with trapd, exiting.");
        ZqsnmpClose(pSession);
        if (pSession == pEventSession) pEventSession = nullptr;
        ZqsDone("Lost connection with trapd, trvupdate terminating");
        exit(0);
    case ZQSNMP_REASON_ERROR:
        ZqsnmpFreePdu(pPdu);
        iPrintError(TRV_ERR_SYSTEM, "");
        return;
    default:
        ZqsnmpFreePdu(pPdu);
        iPrintError(1002, "Trap callback invoked for unknown reason");
        return;
    }
}

void vProcessReqTrap(ZqPdu *pPdu) {
    if (pPdu == nullptr) return;
    if (pPdu->enterprise_length == kEventOidLength &&
        bHasPrefix(pPdu->enterprise, pPdu->enterprise_length, aUninstallOid, kEventOidLength)) {
        ZqsnmpFreePdu(pPdu);
        ZqsDone("Exited on request from trvmap for un-install request");
        exit(0);
    }
    if (!bNodeEvent(pPdu) &&
        (bHasPrefix(pPdu->trap_id, pPdu->trap_id_length, aStatusRequestOid, kEventOidLength) ||
         bHasPrefix(pPdu->trap_id, pPdu->trap_id_length, aDiscoverOid, kEventOidLength)))
        vQueueRequest(pPdu);
    ZqsnmpFreePdu(pPdu);
}

void vInformTrvmap(ZqwObjectId uiNode) {
    vAheadStepCommit();  // the node's writes go before the event that announces them
    ZqPdu *pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "Could not send trap.");
        return;
    }
    // The binding's name here is a placeholder; the sender renames it.
    const ZqOid aName[] = {1};
    int32_t iValue = static_cast<int32_t>(uiNode);
    if (ZqsnmpAddTypedVarBind(pPdu, aName, 1, ZQ_ASN_INTEGER, &iValue, sizeof iValue) == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "Could not add trap varbind.");
        ZqsnmpFreePdu(pPdu);
        return;
    }
    if (iSendInternalEvent(pPdu, aNodeChangedOid, kEventOidLength, 6, EVT_NODE_CHANGED) == -1) {
        iPrintError(TRV_ERR_SYSTEM, "Could not send trap1.");
    } else {
        iPrintDebug(__LINE__, kSrc, 2, "vInformTrvmap: Sent internal event %d for object %d.", EVT_NODE_CHANGED,
                    static_cast<int>(uiNode));
        iPrintDebug(__LINE__, kSrc, 2, "vInformTrvmap: Before freeing  PDU.\n");
    }
    ZqsnmpFreePdu(pPdu);
}
