// The status poll: one Get of the node's condition per web subsystem object,
// the condition written into trvDeviceStatus, then EVT_STATUS_UPDATED.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "trvdis.h"

namespace {

const char kSrc[] = TRVDIS_SRC_STATUS;

// ENT.11.2.10.1.0: the condition record; byte 1 is the condition code.
const ZqOid aConditionOid[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};
constexpr int kConditionOidLength = static_cast<int>(sizeof aConditionOid / sizeof aConditionOid[0]);

const ZqOid aStatusUpdatedOid[] = {ZQ_ENT_SUBIDS, 1, 3, 11};
constexpr size_t kStatusUpdatedOidLength = sizeof aStatusUpdatedOid / sizeof aStatusUpdatedOid[0];

// Condition codes 1 to 4; anything else writes nothing.
const char *const aConditionNames[5] = {nullptr, "Unknown", "Normal", "Marginal", "Major"};

void vSendStatusUpdated(const char *szHost) {
    ZqwObjectId uiNode = ZqwDbHostnameToObjectId(szHost);
    vAheadStepCommit();  // the writes go before the event that announces them
    if (ZqwIsIdNull(uiNode)) {
        if (ZqwError() != ZQW_E_NOOBJECT) iPrintError(TRV_ERR_ZQW, "%s :", szHost);
        return;
    }
    ZqPdu *pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
        return;
    }
    pPdu->trap_type = 6;
    pPdu->specific_type = EVT_STATUS_UPDATED;
    int32_t iValue = static_cast<int32_t>(uiNode);
    if (ZqsnmpAddTypedVarBind(pPdu, aStatusUpdatedOid, kStatusUpdatedOidLength, ZQ_ASN_INTEGER, &iValue,
                              sizeof iValue) == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
    } else if (iSendInternalEvent(pPdu, aStatusUpdatedOid, kStatusUpdatedOidLength, 6, EVT_STATUS_UPDATED) < 0) {
        iPrintError(TRV_ERR_SYSTEM, "");
    }
    ZqsnmpFreePdu(pPdu);
}

}  // namespace

int iWebSubSysKind(const char *szName) {
    if (szName == nullptr) return 0;
    if (strcmp(szName, "WEB_DISABLED") == 0) return 1;
    if (strcmp(szName, "WEB_ENABLED") == 0) return 2;
    return 0;
}

void vPollNodeStatus(ZqwObjectId uiNode) {
    char *szHostName = ZqwDbObjectIdToHostname(uiNode);
    if (szHostName == nullptr) {
        if (ZqwError() != ZQW_E_NOVALUE) iPrintError(TRV_ERR_ZQW, "");
        return;
    }
    std::string szHost = szHostName;
    free(szHostName);

    ZqSession *pSession = ZqsnmpOpen(nullptr, szHost.c_str(), -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    if (pSession == nullptr && ZqsnmpErrno != ZQSNMP_E_BADHOST && ZqsnmpErrno != ZQSNMP_E_NOSOCKET) {
        iPrintError(TRV_ERR_SYSTEM, "Unable to open a session with %s.", szHost.c_str());
        return;
    }
    iPrintDebug(__LINE__, kSrc, 2, "Established an SNMP session with the Host %s ", szHost.c_str());
    ZqwObjectIdList *pList = pGetSubSysObjIds(szHost.c_str());
    if (pList == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "Null SubSystem ObjIds List for the Host %s ", szHost.c_str());
        ZqsnmpClose(pSession);
        return;
    }
    UpdateSubsystemStatus(pList, pSession, szHost.c_str());
    ZqwDbFreeObjectIdList(pList);
    ZqsnmpClose(pSession);
}

void UpdateSubsystemStatus(const ZqwObjectIdList *pList, ZqSession *pSession, const char *szHost) {
    iPrintDebug(__LINE__, kSrc, 2, "Entering the UpdateSubsystemStatus routine.\n");
    int iNoResponse = 0;
    for (unsigned int i = 0; pList != nullptr && i < pList->count; ++i) {
        ZqwObjectId uiObject = pList->object_ids[i];
        char *szName = ZqwDbGetFieldEnumByName(uiObject, uiFieldTrvSubSysType);
        if (szName == nullptr) {
            int iErr = ZqwError();
            if (iErr != ZQW_E_NOOBJECT && iErr != ZQW_E_NOVALUE) iPrintError(TRV_ERR_ZQW, "%s :", "trvSubSysType");
            continue;
        }
        int iKind = iWebSubSysKind(szName);
        free(szName);
        if (iKind == 0) continue;
        if (iNoResponse == 1) {
            iPrintDebug(__LINE__, kSrc, 2, "No response from host (iNoResponse) - node down.");
            iSetSubSysStatus(szHost, nullptr, uiObject);
            continue;
        }
        // Without a session (the host did not resolve, no socket) a query is a
        // failed one: the status stays as it is.
        if (pSession == nullptr) continue;
        const TrvOid stOid = {aConditionOid, kConditionOidLength};
        ZqPdu *pResponse = GetNodeStatus(pSession, &stOid, 1);
        if (pResponse == nullptr) {
            if (ZqsnmpErrno == ZQSNMP_E_TIMEOUT) {
                iPrintDebug(__LINE__, kSrc, 2, "No response from host - node down.");
                iNoResponse = 1;
                iSetSubSysStatus(szHost, nullptr, uiObject);
            }
            continue;
        }
        iPrintDebug(__LINE__, kSrc, 2, "Response from host and agents - set current status.");
        iSetSubSysStatus(szHost, pResponse, uiObject);
        ZqsnmpFreePdu(pResponse);
    }
    vSendStatusUpdated(szHost);
}

ZqPdu *GetNodeStatus(ZqSession *pSession, const TrvOid *aOids, int iCount) {
    ZqPdu *pResult = nullptr;
    for (int i = 0; i < iCount; ++i) {
        // The copy holds 30 sub-identifiers; a longer OID is refused, never cut.
        if (aOids[i].pOid == nullptr || aOids[i].iLength <= 0 || aOids[i].iLength > TRV_STATUS_OID_MAX) {
            iPrintError(TRV_ERR_SYSTEM, "GetNodeStatus: OID of %d sub-identifiers refused.\n", aOids[i].iLength);
            ZqsnmpFreePdu(pResult);
            return nullptr;
        }
        ZqOid *pCopy = static_cast<ZqOid *>(malloc(TRV_STATUS_OID_MAX * sizeof(ZqOid)));
        if (pCopy == nullptr) {
            ZqsnmpFreePdu(pResult);
            return nullptr;
        }
        memcpy(pCopy, aOids[i].pOid, static_cast<size_t>(aOids[i].iLength) * sizeof(ZqOid));
        ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
        if (pRequest == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
            free(pCopy);
            ZqsnmpFreePdu(pResult);
            return nullptr;
        }
        if (ZqsnmpAddNullVarBind(pRequest, pCopy, static_cast<size_t>(aOids[i].iLength)) == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
            ZqsnmpFreePdu(pRequest);
            free(pCopy);
            ZqsnmpFreePdu(pResult);
            return nullptr;
        }
        ZqPdu *pResponse = pAheadSend(pSession, pRequest, TRV_ASK_STATUS);
        iPrintDebug(__LINE__, kSrc, 1, "Sent a Packet to get the Node Status.\n");
        if (pResponse == nullptr) {
            int iErr = ZqsnmpErrno;
            iPrintDebug(__LINE__, kSrc, 2, "Error: %s\n", ZqsnmpErrString(iErr));
            free(pCopy);
            if (iErr == ZQSNMP_E_TIMEOUT) {
                ZqsnmpFreePdu(pResult);
                ZqsnmpErrno = ZQSNMP_E_TIMEOUT;
                return nullptr;
            }
            if (iErr != ZQSNMP_E_OK) {
                ZqsnmpFreePdu(pRequest);
                iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(iErr));
                ZqsnmpFreePdu(pResult);
                ZqsnmpErrno = iErr;
                return nullptr;
            }
            continue;
        }
        free(pCopy);
        if (pResponse->errstat != ZQ_ERR_NOERROR) {
            iPrintDebug(__LINE__, kSrc, 2, "Error2: %s\n", ZqsnmpErrString(ZqsnmpErrno));
            ZqsnmpFreePdu(pResponse);
            ZqsnmpFreePdu(pResult);
            return nullptr;
        }
        iPrintDebug(__LINE__, kSrc, 2, "GetNodeStatus: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        ZqsnmpFreePdu(pResult);
        pResult = pResponse;
    }
    return pResult;
}

const char *szStatusForCondition(const ZqPdu *pResponse) {
    if (pResponse == nullptr) return "Unknown";
    // The condition code is byte 1 of the record; a record too short to hold
    // it (or no record at all) says nothing but "Unknown".
    const ZqVarBind *pFirst = pResponse->variables;
    bool bRecord = pFirst != nullptr && (pFirst->type == ZQ_ASN_OCTET_STR || pFirst->type == ZQ_ASN_OPAQUE) &&
                   pFirst->val.string != nullptr && pFirst->val_len >= 2;
    if (!bRecord) return "Unknown";
    int iCode = pFirst->val.string[1];
    if (iCode < 1 || iCode > 4) return nullptr;
    return aConditionNames[iCode];
}

int iSetSubSysStatus(const char *szHost, const ZqPdu *pResponse, ZqwObjectId uiObject) {
    iPrintDebug(__LINE__, kSrc, 2, "Entering the set status trap routine.");
    if (pResponse == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "No response from the Host %s. Setting the status to Unknown.", szHost);
        return ZqwDbSetFieldEnumByName(uiObject, uiFieldTrvDeviceStatus, "Unknown");
    }
    const ZqVarBind *pFirst = pResponse->variables;
    bool bRecord = pFirst != nullptr && (pFirst->type == ZQ_ASN_OCTET_STR || pFirst->type == ZQ_ASN_OPAQUE) &&
                   pFirst->val.string != nullptr && pFirst->val_len >= 2;
    const char *szStatus = szStatusForCondition(pResponse);
    if (!bRecord) return ZqwDbSetFieldEnumByName(uiObject, uiFieldTrvDeviceStatus, szStatus);
    if (szStatus == nullptr) return 0;
    int iResult = ZqwDbSetFieldEnumByName(uiObject, uiFieldTrvDeviceStatus, szStatus);
    iPrintDebug(__LINE__, kSrc, 2, "Setting the status to %s - Object ID %d - Hostname %s\n", szStatus,
                static_cast<int>(uiObject), szHost);
    return iResult;
}
