// The classification probes of a full discovery: does a vendor agent answer,
// which rule of trvconfig.dat the node matches, which NT version a workstation
// runs, whether a remote management board answers; and the removal of a
// node's subsystem objects.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "trvdis.h"

namespace {

const char kSrc[] = TRVDIS_SRC_CHKOS;

const ZqOid aAgentOid[] = {ZQ_ENT_SUBIDS};
const ZqOid aVersionOid[] = {ZQ_ENT_SUBIDS, 11, 2, 2, 2, 0};
const ZqOid aRixenOid[] = {ZQ_ENT_SUBIDS, 9, 2, 5, 1, 1, 5, 2};
constexpr size_t kAgentOidLength = sizeof aAgentOid / sizeof aAgentOid[0];
constexpr size_t kVersionOidLength = sizeof aVersionOid / sizeof aVersionOid[0];
constexpr size_t kRixenOidLength = sizeof aRixenOid / sizeof aRixenOid[0];

ZqSession *pOpenSession(const char *szCommunity, const char *szHost) {
    return ZqsnmpOpen(szCommunity, szHost, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
}

// A request with one null binding, or null (reported, nothing left over).
ZqPdu *pBuildRequest(int iType, const ZqOid *pOid, size_t uiLength) {
    ZqPdu *pRequest = ZqsnmpCreatePdu(iType);
    if (pRequest == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
        return nullptr;
    }
    if (ZqsnmpAddNullVarBind(pRequest, pOid, uiLength) == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
        ZqsnmpFreePdu(pRequest);
        return nullptr;
    }
    return pRequest;
}

// After a send without response: the request is still ours unless the library
// reported a time-out (6) or nothing at all (0).
void vFreeUnsentRequest(ZqPdu *pRequest) {
    if (ZqsnmpErrno != ZQSNMP_E_OK && ZqsnmpErrno != ZQSNMP_E_TIMEOUT) ZqsnmpFreePdu(pRequest);
}

char *szHeapCopy(const char *szText) {
    size_t uiLength = strlen(szText);
    char *szCopy = static_cast<char *>(malloc(uiLength + 1));
    if (szCopy != nullptr) memcpy(szCopy, szText, uiLength + 1);
    return szCopy;
}

bool bSameOid(const ZqOid *pA, size_t uiA, const ZqOid *pB, size_t uiB) {
    if (uiA != uiB) return false;
    if (uiA == 0) return true;
    if (pA == nullptr || pB == nullptr) return false;
    return memcmp(pA, pB, uiA * sizeof(ZqOid)) == 0;
}

// The rule list of trvconfig.dat as one request; null on failure (reported).
ZqPdu *pBuildRuleRequest(const ClassRule *pRule) {
    ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    if (pRequest == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
        return nullptr;
    }
    for (const RuleCondition *pCond = pRule->pConditions; pCond != nullptr; pCond = pCond->pNext) {
        if (pCond->pOid == nullptr || pCond->iOidLength <= 0 ||
            ZqsnmpAddNullVarBind(pRequest, pCond->pOid, static_cast<size_t>(pCond->iOidLength)) == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
            ZqsnmpFreePdu(pRequest);
            return nullptr;
        }
    }
    return pRequest;
}

// The rule's request as pAheadSend knows it (its place in the file's list).
int iRuleKey(const ClassRule *pRule) {
    int iKey = TRV_ASK_RULE0;
    for (const ClassRule *p = pClassRules; p != nullptr; p = p->pNext, ++iKey)
        if (p == pRule) return iKey;
    return -1;
}

// No rule matched: the node is no vendor node of any known kind.
void vNoRuleMatched(ZqwObjectId uiNode) {
    if (ZqwDbSetFieldEnumByName(uiNode, uiFieldTrvSysType, "NonTarvo") == -1) {
        iPrintError(TRV_ERR_ZQW, ":%s", "trvSysType");
        return;
    }
    if (ZqwDbUnsetFieldValue(uiNode, uiFieldTrvOsType) == 0) {
        iPrintError(TRV_ERR_ZQW, ":%s", "trvOsType");
        return;
    }
    DeleteSubSysObjects(uiNode);
    vInformTrvmap(uiNode);
}

}  // namespace

short iCheckAgent(const char *szHost) { return iProbeAgent(szHost, nullptr); }

short iProbeAgent(const char *szHost, ZqPdu **ppResponse) {
    if (ppResponse != nullptr) *ppResponse = nullptr;
    if (szHost == nullptr) return TRV_AGENT_NONE;
    ZqSession *pSession = pOpenSession(nullptr, szHost);
    if (pSession == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, ":%s", szHost);
        return TRV_AGENT_NONE;
    }
    ZqPdu *pRequest = pBuildRequest(ZQSNMP_GETNEXT_REQ, aAgentOid, kAgentOidLength);
    if (pRequest == nullptr) {
        ZqsnmpClose(pSession);
        return TRV_AGENT_NONE;
    }
    ZqPdu *pResponse = pAheadSend(pSession, pRequest, TRV_ASK_AGENT);
    if (pResponse == nullptr) {
        if (ZqsnmpErrno != ZQSNMP_E_TIMEOUT) {
            iPrintError(TRV_ERR_SYSTEM, "Could not send snmp-get %s\n", szHost);
            vFreeUnsentRequest(pRequest);
        }
        ZqsnmpClose(pSession);
        return TRV_AGENT_NONE;
    }
    short iResult;
    switch (pResponse->errstat) {
    case ZQ_ERR_NOERROR: {
        // The first binding must lie below ENT; a short or missing one does not.
        const ZqVarBind *pFirst = pResponse->variables;
        bool bVendor = pFirst != nullptr && pFirst->name != nullptr && pFirst->name_length >= kAgentOidLength &&
                       iOidCompare(pFirst->name, aAgentOid, static_cast<int>(kAgentOidLength)) == 1;
        iResult = bVendor ? TRV_AGENT_PRESENT : TRV_AGENT_FOREIGN;
        break;
    }
    case ZQ_ERR_NOSUCHNAME:
        iResult = TRV_AGENT_FOREIGN;
        break;
    case ZQ_ERR_TOOBIG:
    case ZQ_ERR_READONLY:
    case ZQ_ERR_GENERR:
        iResult = TRV_AGENT_NONE;
        break;
    default:
        iResult = TRV_AGENT_ODD;
        break;
    }
    if (ppResponse != nullptr)
        *ppResponse = pResponse;
    else
        ZqsnmpFreePdu(pResponse);
    ZqsnmpClose(pSession);
    return iResult;
}

int iVarBindMatches(const RuleCondition *pCondition, const ZqVarBind *pReceived) {
    if (pCondition == nullptr || pReceived == nullptr) return 0;
    if (pCondition->ucType != pReceived->type) return 0;
    if (pCondition->iOidLength < 0 ||
        !bSameOid(pCondition->pOid, static_cast<size_t>(pCondition->iOidLength), pReceived->name,
                  pReceived->name_length))
        return 0;
    switch (pCondition->ucType) {
    case ZQ_ASN_INTEGER:
        return pCondition->pValue != nullptr && pReceived->val.integer != nullptr &&
               *static_cast<const int32_t *>(pCondition->pValue) == *pReceived->val.integer;
    case ZQ_ASN_OCTET_STR:
        if (pCondition->iValueLength < 0 || static_cast<size_t>(pCondition->iValueLength) != pReceived->val_len)
            return 0;
        if (pReceived->val_len == 0) return 1;
        return pCondition->pValue != nullptr && pReceived->val.string != nullptr &&
               memcmp(pCondition->pValue, pReceived->val.string, pReceived->val_len) == 0;
    case ZQ_ASN_NULL:
        return pCondition->iValueLength == 0 && pReceived->val_len == 0;
    case ZQ_ASN_OBJECT_ID:
        return pCondition->iValueLength >= 0 &&
               bSameOid(static_cast<const ZqOid *>(pCondition->pValue), static_cast<size_t>(pCondition->iValueLength),
                        pReceived->val.objid, pReceived->val_len);
    default:
        return 0;
    }
}

int iRuleMatches(const ClassRule *pRule, const ZqPdu *pResponse) {
    if (pRule == nullptr || pResponse == nullptr) return 0;
    const RuleCondition *pCond = pRule->pConditions;
    const ZqVarBind *pVar = pResponse->variables;
    if (pCond == nullptr) return 0;  // a rule without conditions decides nothing
    for (; pCond != nullptr && pVar != nullptr; pCond = pCond->pNext, pVar = pVar->next_variable)
        if (!iVarBindMatches(pCond, pVar)) return 0;
    return pCond == nullptr && pVar == nullptr;
}

int iProbeRule(ZqSession *pSession, const ClassRule *pRule, ZqPdu **ppResponse) {
    *ppResponse = nullptr;
    ZqPdu *pRequest = pBuildRuleRequest(pRule);
    if (pRequest == nullptr) return -1;
    ZqPdu *pResponse = pAheadSend(pSession, pRequest, iRuleKey(pRule));
    if (pResponse == nullptr) {
        if (ZqsnmpErrno != ZQSNMP_E_TIMEOUT) {
            int iErr = ZqsnmpErrno;
            iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(iErr));
            vFreeUnsentRequest(pRequest);
            ZqsnmpErrno = iErr;
        }
        return -1;
    }
    *ppResponse = pResponse;
    return pResponse->errstat == ZQ_ERR_NOERROR && iRuleMatches(pRule, pResponse) ? 1 : 0;
}

char *szGetOsType(ZqwObjectId uiNode) {
    char *szHostName = ZqwDbObjectIdToHostname(uiNode);
    if (szHostName == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "szGetOsType : is called with object with NULL hostname\n");
        return szHeapCopy("");
    }
    std::string szHost = szHostName;
    free(szHostName);

    ZqSession *pSession = pOpenSession(nullptr, szHost.c_str());
    if (pSession == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, ":%s", szHost.c_str());
        return szHeapCopy("");
    }
    for (const ClassRule *pRule = pClassRules; pRule != nullptr; pRule = pRule->pNext) {
        ZqPdu *pResponse = nullptr;
        int iMatch = iProbeRule(pSession, pRule, &pResponse);
        if (iMatch < 0) {
            // No answer: the node is not classified this time, no rule further.
            ZqsnmpClose(pSession);
            return szHeapCopy("");
        }
        if (iMatch == 0) {
            ZqsnmpFreePdu(pResponse);
            continue;
        }

        char *szLabel = szHeapCopy(pRule->szLabel != nullptr ? pRule->szLabel : "");
        const char *szSysType = nullptr;
        if (strcmp(pRule->szClass, "Server") == 0)
            szSysType = "TrvServer";
        else if (strcmp(pRule->szClass, "Desktop") == 0)
            szSysType = "TrvDesktop";
        if (szSysType == nullptr) {
            iPrintDebug(__LINE__, kSrc, 2, "Unknown keyword is loaded for Type\n");
            ZqsnmpFreePdu(pResponse);
            ZqsnmpClose(pSession);
            free(szLabel);
            vFatalExit();
        }
        if (ZqwDbSetFieldEnumByName(uiNode, uiFieldTrvSysType, szSysType) == -1) {
            iPrintDebug(__LINE__, kSrc, 2, "Could not set field trvSysType\n");
            iPrintError(TRV_ERR_ZQW, "");
            ZqsnmpFreePdu(pResponse);
            ZqsnmpClose(pSession);
            free(szLabel);
            return szHeapCopy("");
        }
        ZqsnmpFreePdu(pResponse);
        ZqsnmpClose(pSession);
        if (ZqwDbSetFieldBooleanValue(uiNode, uiFieldIsTrvVantor, 1) == -1) iPrintError(TRV_ERR_ZQW, "");
        return szLabel;
    }
    vNoRuleMatched(uiNode);
    ZqsnmpClose(pSession);
    return szHeapCopy("");
}

char *CheckForVerNo(const char *szHost) {
    if (szHost == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Return Failure if pPeername is Null\n");
        return nullptr;
    }
    ZqSession *pSession = pOpenSession("nimbus", szHost);
    if (pSession == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Return Failure if pSession is NULL\n");
        return nullptr;
    }
    ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    if (pRequest == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Close session if PDU is NULL\n");
        ZqsnmpClose(pSession);
        return nullptr;
    }
    if (ZqsnmpAddNullVarBind(pRequest, aVersionOid, kVersionOidLength) == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Free Pdu if varbind is NULL\n");
        ZqsnmpFreePdu(pRequest);
        iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Close session if varbind is NULL\n");
        ZqsnmpClose(pSession);
        return nullptr;
    }
    ZqPdu *pResponse = pAheadSend(pSession, pRequest, TRV_ASK_VERSION);
    if (pResponse == nullptr) {
        if (ZqsnmpErrno != ZQSNMP_E_TIMEOUT) {
            iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Free Pdu if response pdu is NULL\n");
            vFreeUnsentRequest(pRequest);
        }
        iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Close session if response pdu is NULL\n");
        ZqsnmpClose(pSession);
        return nullptr;
    }
    const ZqVarBind *pFirst = pResponse->variables;
    if (pFirst == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Close session if response pdu variables are NULL\n");
        ZqsnmpFreePdu(pResponse);
        ZqsnmpClose(pSession);
        return nullptr;
    }
    ZqsnmpClose(pSession);
    iPrintDebug(__LINE__, kSrc, 2, "CheckForVerNo : Return value of response pdu\n");
    // The version is a text of its own length: copied, terminated, and the
    // response released.
    char *szVersion = nullptr;
    if (pFirst->type == ZQ_ASN_OCTET_STR && (pFirst->val.string != nullptr || pFirst->val_len == 0)) {
        szVersion = static_cast<char *>(malloc(pFirst->val_len + 1));
        if (szVersion != nullptr) {
            if (pFirst->val_len > 0) memcpy(szVersion, pFirst->val.string, pFirst->val_len);
            szVersion[pFirst->val_len] = '\0';
        }
    }
    ZqsnmpFreePdu(pResponse);
    return szVersion;
}

int iProbeRixen(const char *szHost, char *szAddress) {
    szAddress[0] = '\0';
    ZqSession *pSession = pOpenSession(nullptr, szHost);
    if (pSession == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, ":%s", szHost);
        return 0;
    }
    ZqPdu *pRequest = pBuildRequest(ZQSNMP_GET_REQ, aRixenOid, kRixenOidLength);
    if (pRequest == nullptr) {
        ZqsnmpClose(pSession);
        return 0;
    }
    ZqPdu *pResponse = pAheadSend(pSession, pRequest, TRV_ASK_RIXEN);
    if (pResponse == nullptr) {
        if (ZqsnmpErrno == ZQSNMP_E_TIMEOUT) {
            ZqsnmpClose(pSession);
            return -1;
        }
        iPrintError(TRV_ERR_SYSTEM, "Could not send snmp-get %s\n", szHost);
        vFreeUnsentRequest(pRequest);
        ZqsnmpClose(pSession);
        return 0;
    }
    int iFound = 0;
    const ZqVarBind *pFirst = pResponse->variables;
    // Only a four-byte address counts.
    if (pResponse->errstat == ZQ_ERR_NOERROR && pFirst != nullptr &&
        (pFirst->type == ZQ_ASN_IPADDRESS || pFirst->type == ZQ_ASN_OCTET_STR) && pFirst->val.string != nullptr &&
        pFirst->val_len >= 4) {
        const unsigned char *pBytes = pFirst->val.string;
        snprintf(szAddress, 16, "%d.%d.%d.%d", pBytes[0], pBytes[1], pBytes[2], pBytes[3]);
        iFound = 1;
    }
    ZqsnmpFreePdu(pResponse);
    ZqsnmpClose(pSession);
    return iFound;
}

int iCheckRixen(ZqwObjectId uiNode) {
    char *szHostName = ZqwDbObjectIdToHostname(uiNode);
    if (szHostName == nullptr) return 0;
    std::string szHost = szHostName;
    free(szHostName);

    char szAddress[16];
    int iFound = iProbeRixen(szHost.c_str(), szAddress);
    if (iFound < 0) return 0;  // no answer in time: nothing said
    if (iFound == 1) {
        iPrintDebug(__LINE__, kSrc, 1, "RIXEN Agent Present - Address:%s:", szAddress);
        if (ZqwDbSetFieldBooleanValue(uiNode, uiFieldIsTrvRIXEN, 1) == -1) iPrintError(TRV_ERR_ZQW, "");
        if (ZqwDbSetFieldStringValue(uiNode, uiFieldTrvRIXENip, szAddress) == -1) iPrintError(TRV_ERR_ZQW, "");
        return 1;
    }
    iPrintDebug(__LINE__, kSrc, 1, "NO RIXEN Agent Present");
    return 0;
}

void DeleteSubSysObjects(ZqwObjectId uiNode) {
    iPrintDebug(__LINE__, kSrc, 2, "Entering DeleteSubSysObjects Routine.");
    ZqwFieldValue stNode = stIntValue(static_cast<int32_t>(uiNode));
    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValue(uiFieldTrvNodeObjId, &stNode);
    if (pList == nullptr) {
        if (ZqwError() != ZQW_E_OK) iPrintError(TRV_ERR_ZQW, "");
        return;
    }

    // vBuildSubSysFieldList: the six fields cleared on every subsystem object.
    ZqwFieldIdList stFields = {6, static_cast<ZqwFieldId *>(malloc(6 * sizeof(ZqwFieldId)))};
    if (stFields.field_ids == nullptr) {
        if (uiDebugLevel > 1) iPrintError(TRV_ERR_SYSTEM, "");
        ZqwDbFreeObjectIdList(pList);
        return;
    }
    const ZqwFieldId aSix[6] = {uiFieldTrvSysType,      uiFieldTrvOsType,  uiFieldTrvSubSysType,
                                uiFieldTrvDeviceStatus, uiFieldIsComputer, uiFieldIsDevice};
    memcpy(stFields.field_ids, aSix, sizeof aSix);

    for (unsigned int i = 0; i < pList->count; ++i) {
        ZqwObjectId uiObject = pList->object_ids[i];
        if (ZqwIsIdNull(uiObject)) continue;
        ZqwDbUnsetFieldValues(uiObject, &stFields);
        int iMaps = ZqwDbGetFieldIntegerValue(uiObject, uiFieldZqwMapsExists);
        if (iMaps == 0 || (iMaps == -1 && ZqwError() == ZQW_E_NOVALUE)) {
            if (ZqwDbUnsetFieldValue(uiObject, uiFieldTrvNodeObjId) == 0 && ZqwError() != ZQW_E_NOOBJECT)
                iPrintError(TRV_ERR_ZQW, ":%s", "trvNodeObjId");
        }
        iPrintDebug(__LINE__, kSrc, 2, "Unset the trvNodeObjID and delete the object with ID: %d",
                    static_cast<int>(uiObject));
        ZqwDbDeleteObject(uiObject);
        if (ZqwError() != ZQW_E_OK) iPrintError(TRV_ERR_ZQW, "\n");
    }
    free(stFields.field_ids);
    ZqwDbFreeObjectIdList(pList);
}
