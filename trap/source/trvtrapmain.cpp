// trvtrapd's work on one received vendor trap: the format-statement
// interpreter that builds the readable event text, the re-issue of the trap
// under the integration's own enterprise, and the status request to trvdis.
#include "trvtrapmain.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trvlib.h"

ZqSession *pSendSession = nullptr;

const ZqOid aReissueEnterprise[TRV_REISSUE_ENT_LEN] = {ZQ_ENT_SUBIDS, 1, 3, 1};
const ZqOid aTextBindingName[TRV_TEXT_BINDING_LEN] = {ZQ_ENT_SUBIDS, 11, 2, 8, 1};
const ZqOid aStatusRequestEnterprise[TRV_STATUS_ENT_LEN] = {ZQ_ENT_SUBIDS, 1, 3, 12};

namespace {

const char kSource[] = "trap/source/trvtrapmain";

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

bool bAllocFails() { return !iTrvAllocationAllowed(); }

// Memory that crosses into the platform library (PDU members, the result text).
void *pPlatformAlloc(size_t uiSize) { return bAllocFails() ? nullptr : ZqsnmpMalloc(uiSize); }

// Appends up to uiCount bytes, cut at the space left; returns the bytes written.
size_t uiAppend(FormatOutput *pOutput, const char *pBytes, size_t uiCount) {
    size_t uiLeft = FORMAT_TEXT_MAX - pOutput->uiLength;
    if (uiCount > uiLeft) uiCount = uiLeft;
    std::memcpy(pOutput->szText + pOutput->uiLength, pBytes, uiCount);
    pOutput->uiLength += uiCount;
    pOutput->szText[pOutput->uiLength] = '\0';
    return uiCount;
}

__attribute__((format(printf, 2, 3))) size_t uiAppendf(FormatOutput *pOutput, const char *szFormat, ...) {
    char szPart[64];
    va_list ap;
    va_start(ap, szFormat);
    int iLen = std::vsnprintf(szPart, sizeof szPart, szFormat, ap);
    va_end(ap);
    if (iLen <= 0) return 0;
    size_t uiLen = static_cast<size_t>(iLen) < sizeof szPart ? static_cast<size_t>(iLen) : sizeof szPart - 1;
    return uiAppend(pOutput, szPart, uiLen);
}

// An OID as dotted text in a buffer of TRAPDEF_ENT_TEXT_SIZE bytes, which holds
// the longest text iOidToText writes; false for more than 256 sub-identifiers.
bool bOidText(const ZqOid *pOid, size_t uiLength, char *szText) {
    szText[0] = '\0';
    if (uiLength > TRV_MAX_OID_TEXT_SUBIDS) return false;
    return iOidToText(pOid, static_cast<int>(uiLength), szText, TRAPDEF_ENT_TEXT_SIZE) >= 0;
}

// The trap number the interpreter's messages name.
int iTrapNumber(const ZqPdu *pTrap) { return static_cast<int>(pTrap->specific_type); }

// A sign and a run of digits, as sscanf's "%d" reads them (saturating at the
// limits of int).  False, with *ppText unchanged, when no digit follows.
bool bReadNumber(const char **ppText, int *piValue) {
    const char *p = *ppText;
    bool bNegative = false;
    if (*p == '+' || *p == '-') bNegative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    long long llValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (llValue <= INT32_MAX) llValue = llValue * 10 + (*p - '0');
    if (bNegative) llValue = -llValue;
    if (llValue > INT32_MAX) llValue = INT32_MAX;
    if (llValue < INT32_MIN) llValue = INT32_MIN;
    *piValue = static_cast<int>(llValue);
    *ppText = p;
    return true;
}

// The 32-bit value of an integer-typed binding, or null when it has none.
const int32_t *pIntegerValue(const ZqVarBind *pBinding) {
    if (pBinding->val.integer == nullptr || pBinding->val_len < sizeof(int32_t)) return nullptr;
    return pBinding->val.integer;
}

// The error-log entry of a bad command: the trap's enterprise, its number and
// the definition file.
void vReportFormatError(int iCode, const char *szEnterprise, int iNumber) {
    switch (iCode) {
    case 1007:
        iPrintError(1007,
                    "Enterprise ID - %s; Trap Number - %d :Incorrect type in the received Varbind OR Wrong format "
                    "command in the trap definition in \"%s\".",
                    szEnterprise, iNumber, szTrapConfPath);
        break;
    case 1008:
        iPrintError(1008,
                    "Enterprise ID - %s; Trap Number - %d : Bad format command in the format statement of the trap "
                    "definition in \"%s\".",
                    szEnterprise, iNumber, szTrapConfPath);
        break;
    case 1009:
        iPrintError(1009,
                    "Enterprise ID -%s; Trap Number - %d : Bad varbind number in the trap format statement for the "
                    "received trap in \"%s\".",
                    szEnterprise, iNumber, szTrapConfPath);
        break;
    case 1010:
        iPrintError(1010,
                    "Enterprise ID - %s; Trap Number - %d : Received Varbind list does not contain the varbind "
                    "specified in the format statement in \"%s\".",
                    szEnterprise, iNumber, szTrapConfPath);
        break;
    default:
        iPrintError(1011,
                    "Enterprise ID - %s; Trap Number - %d : The SubId specified in the format statement of the trap "
                    "definition in \"%s\" is not valid.",
                    szEnterprise, iNumber, szTrapConfPath);
        break;
    }
}

// A format error of one command: the message, the marker in place of the
// command, trap state 1505.  -1 always; the state is 1502 instead when the
// enterprise cannot be named (the text is then dropped).
int iFormatError(int iCode, const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap) {
    char szEnterprise[TRAPDEF_ENT_TEXT_SIZE];
    if (!bOidText(pTrap->enterprise, pTrap->enterprise_length, szEnterprise)) {
        iTrapState = TRAP_STATE_OID_TEXT;
        return -1;
    }
    vReportFormatError(iCode, szEnterprise, iTrapNumber(pTrap));
    vInsertFormatError(ppInput, pOutput);
    iTrapState = TRAP_STATE_FORMAT;
    return -1;
}

// ---------------------------------------------------------------------------
// Trap processing helpers
// ---------------------------------------------------------------------------

// Internal events of the integration (ENT.1.3.2, .3, .11, .12, .20) are never
// formatted: trvtrapd's own status requests come back on its session.
bool bIsInternalEvent(const ZqPdu *pTrap) {
    if (pTrap->enterprise == nullptr || pTrap->enterprise_length != TRV_EVENT_OID_LEN) return false;
    for (const TrvEventDef &def : aTrvEvents)
        if (iOidCompare(pTrap->enterprise, def.aEnterprise, TRV_EVENT_OID_LEN) == 1) return true;
    return false;
}

// A trap identifier below ENT.1.3.1.0: a trap trvtrapd has re-issued.
bool bIsReissuedTrap(const ZqPdu *pTrap) {
    return pTrap->trap_id != nullptr && pTrap->trap_id_length > TRV_REISSUE_ENT_LEN &&
           iOidCompare(pTrap->trap_id, aReissueEnterprise, TRV_REISSUE_ENT_LEN) == 1 &&
           pTrap->trap_id[TRV_REISSUE_ENT_LEN] == 0;
}

// The last sub-identifier of the trap identifier (the specific number when
// there is none).
int32_t iTrapIdNumber(const ZqPdu *pTrap) {
    if (pTrap->trap_id == nullptr || pTrap->trap_id_length == 0) return pTrap->specific_type;
    return static_cast<int32_t>(pTrap->trap_id[pTrap->trap_id_length - 1]);
}

ZqOid *pCopyOidForPdu(const ZqOid *pOid, size_t uiLength) {
    ZqOid *pCopy = static_cast<ZqOid *>(pPlatformAlloc(uiLength * sizeof(ZqOid)));
    if (pCopy != nullptr) vCopyOid(pCopy, pOid, static_cast<int>(uiLength));
    return pCopy;
}

}  // namespace

ZqSession *pOpenSendSession(void) {
    if (pSendSession == nullptr) pSendSession = ZqsnmpEventOpen("127.0.0.1", nullptr, nullptr, nullptr, nullptr);
    return pSendSession;
}

void vCloseSendSession(void) {
    ZqsnmpClose(pSendSession);
    pSendSession = nullptr;
}

// ---------------------------------------------------------------------------
// Format-statement interpreter
// ---------------------------------------------------------------------------

void vInsertFormatError(const char **ppInput, FormatOutput *pOutput) {
    const char *szMarker = szGetMessage(1, 1103, FORMAT_ERROR_MARKER);
    uiAppend(pOutput, szMarker, std::strlen(szMarker));
    const char *p = *ppInput;
    while (*p != '\0' && *p != ' ') ++p;
    *ppInput = p;
}

const ZqVarBind *pGetVarBind(int iNumber, const ZqPdu *pTrap) {
    const ZqVarBind *pBinding = pTrap->variables;
    for (int i = 1; pBinding != nullptr && i < iNumber; ++i) pBinding = pBinding->next_variable;
    if (pBinding != nullptr) return pBinding;
    char szEnterprise[TRAPDEF_ENT_TEXT_SIZE];
    bOidText(pTrap->enterprise, pTrap->enterprise_length, szEnterprise);
    iPrintError(1014, "Enterprise ID - %s; Trap Number - %d : Required Varbind is not present in the Varbind list.",
                szEnterprise, iTrapNumber(pTrap));
    iTrapState = TRAP_STATE_NOT_PROCESSED;
    return nullptr;
}

int iRenderVarBind(FormatOutput *pOutput, const ZqVarBind *pBinding, const ZqPdu *pTrap) {
    char szWork[FORMAT_TEXT_SIZE];
    size_t uiLen = 0;
    const int32_t *pInt = nullptr;
    szWork[0] = '\0';
    switch (pBinding->type) {
    case ZQ_ASN_INTEGER:
        if ((pInt = pIntegerValue(pBinding)) == nullptr) return -1;
        uiLen = static_cast<size_t>(std::snprintf(szWork, sizeof szWork, "%d", static_cast<int>(*pInt)));
        break;
    case 7:  // unsigned 32-bit integer
        if ((pInt = pIntegerValue(pBinding)) == nullptr) return -1;
        uiLen = static_cast<size_t>(std::snprintf(szWork, sizeof szWork, "%u", static_cast<unsigned int>(*pInt)));
        break;
    case ZQ_ASN_COUNTER:
    case ZQ_ASN_GAUGE:
    case ZQ_ASN_TIMETICKS:
        if ((pInt = pIntegerValue(pBinding)) == nullptr) return -1;
        uiLen = static_cast<size_t>(
            std::snprintf(szWork, sizeof szWork, "%lu", static_cast<unsigned long>(static_cast<uint32_t>(*pInt))));
        break;
    case ZQ_ASN_OCTET_STR: {
        if (pBinding->val_len > 0 && pBinding->val.string == nullptr) return -1;
        const char *pBytes = reinterpret_cast<const char *>(pBinding->val.string);
        size_t uiMax = pBinding->val_len < FORMAT_TEXT_MAX ? pBinding->val_len : FORMAT_TEXT_MAX;
        // The value ends at its length or at its first NUL byte.
        while (uiLen < uiMax && pBytes[uiLen] != '\0') ++uiLen;
        if (uiLen > 0) std::memcpy(szWork, pBytes, uiLen);
        break;
    }
    case ZQ_ASN_NULL:
        uiLen = 4;
        std::memcpy(szWork, "NULL", 4);
        break;
    case ZQ_ASN_OBJECT_ID: {
        if (pBinding->val_len > 0 && pBinding->val.objid == nullptr) return -1;
        char szOid[TRAPDEF_ENT_TEXT_SIZE];
        if (!bOidText(pBinding->val.objid, pBinding->val_len, szOid)) {
            iTrapState = TRAP_STATE_OID_TEXT;
            return -2;
        }
        uiLen = std::strlen(szOid);
        if (uiLen > FORMAT_TEXT_MAX) uiLen = FORMAT_TEXT_MAX;
        std::memcpy(szWork, szOid, uiLen);
        break;
    }
    case ZQ_ASN_IPADDRESS: {
        if (pBinding->val.string == nullptr || pBinding->val_len != 4) return -1;
        const unsigned char *pAddr = pBinding->val.string;
        uiLen = static_cast<size_t>(std::snprintf(szWork, sizeof szWork, "%lu.%lu.%lu.%lu",
                                                  static_cast<unsigned long>(pAddr[0]),
                                                  static_cast<unsigned long>(pAddr[1]),
                                                  static_cast<unsigned long>(pAddr[2]),
                                                  static_cast<unsigned long>(pAddr[3])));
        break;
    }
    case ZQ_ASN_OPAQUE: {
        if (pBinding->val_len > 0 && pBinding->val.string == nullptr) return -1;
        // Two characters a byte; a byte below 16 is padded with a blank.
        for (size_t i = 0; i < pBinding->val_len && uiLen + 2 <= FORMAT_TEXT_MAX; ++i)
            uiLen += static_cast<size_t>(std::snprintf(szWork + uiLen, sizeof szWork - uiLen, "%2X",
                                                       static_cast<unsigned int>(pBinding->val.string[i])));
        break;
    }
    default: {
        char szEnterprise[TRAPDEF_ENT_TEXT_SIZE];
        bOidText(pTrap->enterprise, pTrap->enterprise_length, szEnterprise);
        iPrintError(1015, "Enterprise ID - %s; Trap Number - %d : Unrecognized type in a Varbind of the received trap.",
                    szEnterprise, iTrapNumber(pTrap));
        return 0;
    }
    }
    return static_cast<int>(uiAppend(pOutput, szWork, uiLen));
}

int iSubstVarBind(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap) {
    const char *p = *ppInput;
    int iNumber = 0;
    if (!bReadNumber(&p, &iNumber)) return iFormatError(1008, ppInput, pOutput, pTrap);
    const ZqVarBind *pBinding = pGetVarBind(iNumber, pTrap);
    if (pBinding == nullptr) return iFormatError(1010, ppInput, pOutput, pTrap);
    int iWritten = iRenderVarBind(pOutput, pBinding, pTrap);
    if (iWritten == -2) return -1;  // trap state 1502: the text is dropped
    if (iWritten < 0) return iFormatError(1007, ppInput, pOutput, pTrap);
    *ppInput = p;
    return 1;
}

int iSubstSubId(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap) {
    const char *p = *ppInput + 1;  // after the letter
    int iPosition = 0, iNumber = 0;
    if (!bReadNumber(&p, &iPosition) || *p != ',') return iFormatError(1008, ppInput, pOutput, pTrap);
    ++p;
    if (!bReadNumber(&p, &iNumber)) return iFormatError(1008, ppInput, pOutput, pTrap);
    if (iNumber < 1 || iNumber > FORMAT_VARBIND_MAX) return iFormatError(1009, ppInput, pOutput, pTrap);
    const ZqVarBind *pBinding = pGetVarBind(iNumber, pTrap);
    if (pBinding == nullptr) return iFormatError(1010, ppInput, pOutput, pTrap);
    if (iPosition < 1 || pBinding->name == nullptr || static_cast<size_t>(iPosition) > pBinding->name_length)
        return iFormatError(1011, ppInput, pOutput, pTrap);
    uiAppendf(pOutput, "%ld", static_cast<long>(pBinding->name[pBinding->name_length - static_cast<size_t>(iPosition)]));
    *ppInput = p;
    return 1;
}

int iSubstMappedValue(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap) {
    const char *p = *ppInput + 1;  // after the letter
    int iNumber = 0;
    if (!bReadNumber(&p, &iNumber) || iNumber < 1 || iNumber > FORMAT_VARBIND_MAX)
        return iFormatError(1008, ppInput, pOutput, pTrap);
    const ZqVarBind *pBinding = pGetVarBind(iNumber, pTrap);
    if (pBinding == nullptr) return iFormatError(1010, ppInput, pOutput, pTrap);
    const int32_t *pValue = nullptr;
    if ((pBinding->type != ZQ_ASN_INTEGER && pBinding->type != 7) || (pValue = pIntegerValue(pBinding)) == nullptr)
        return iFormatError(1007, ppInput, pOutput, pTrap);

    char szName[TRAPDEF_ENT_TEXT_SIZE];
    if (!bOidText(pBinding->name, pBinding->name_length, szName)) {
        iTrapState = TRAP_STATE_OID_TEXT;
        return -1;
    }
    char szText[FORMAT_TEXT_SIZE];
    // The state tells a missing object or value from an empty text only when it
    // is not left over from an earlier substitution or trap.
    iTrapState = 0;
    int iLen = iValToStr(szName, static_cast<int>(*pValue), szText, sizeof szText);
    if (iLen > 0)
        uiAppend(pOutput, szText, static_cast<size_t>(iLen));
    else if (iTrapState == TRAP_STATE_NO_OBJECT || iTrapState == TRAP_STATE_NO_VALUE)
        uiAppendf(pOutput, "%d", static_cast<int>(*pValue));
    *ppInput = p;
    return 1;
}

int iSubstCommand(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap) {
    const char *p = *ppInput;
    // "%.1s" prints the command character, and nothing for the end of the text.
    iPrintDebug(__LINE__, kSource, 2, "iSubstCommand: The command is >> @%.1s <<\n", p);
    switch (*p) {
    case '@':
        uiAppend(pOutput, "@", 1);
        break;
    case 'A':
        uiAppendf(pOutput, "%d.%d.%d.%d", pTrap->agent_addr[0], pTrap->agent_addr[1], pTrap->agent_addr[2],
                  pTrap->agent_addr[3]);
        break;
    case 'C': {
        // The community's bytes up to its length; a NUL byte would end the text.
        const char *pCommunity = reinterpret_cast<const char *>(pTrap->community);
        size_t uiLen = 0;
        if (pCommunity != nullptr)
            while (uiLen < pTrap->community_len && pCommunity[uiLen] != '\0') ++uiLen;
        uiAppend(pOutput, pCommunity, uiLen);
        break;
    }
    case 'T':
        uiAppendf(pOutput, "%ld", static_cast<long>(pTrap->time));
        break;
    case 'I':
        return iSubstSubId(ppInput, pOutput, pTrap);
    case 'M':
        return iSubstMappedValue(ppInput, pOutput, pTrap);
    default:
        if (*p >= '0' && *p <= '9') return iSubstVarBind(ppInput, pOutput, pTrap);
        return iFormatError(1008, ppInput, pOutput, pTrap);
    }
    *ppInput = p + 1;
    return 1;
}

char *szFormatTrapText(const ZqPdu *pTrap, const TrapDef *pDef) {
    if (pTrap == nullptr || pDef == nullptr || pDef->szFormat == nullptr) {
        iTrapState = TRAP_STATE_NOT_PROCESSED;
        return nullptr;
    }
    FormatOutput out;
    out.uiLength = 0;
    out.szText[0] = '\0';
    const char *pInput = pDef->szFormat;
    // Bytes are copied as they are; an expansion that reaches the limit is cut there.
    while (*pInput != '\0' && out.uiLength < FORMAT_TEXT_MAX) {
        if (*pInput != '@') {
            const char *pAt = std::strchr(pInput, '@');
            size_t uiRun = pAt != nullptr ? static_cast<size_t>(pAt - pInput) : std::strlen(pInput);
            uiAppend(&out, pInput, uiRun);
            pInput += uiRun;
            continue;
        }
        ++pInput;
        if (iSubstCommand(&pInput, &out, pTrap) == -1 && iTrapState != TRAP_STATE_FORMAT) return nullptr;
    }
    char *szResult = static_cast<char *>(pPlatformAlloc(out.uiLength + 1));
    if (szResult == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "szFormatTrapText: Error in memory allocation\n");
        iTrapState = TRAP_STATE_NOMEM;
        return nullptr;
    }
    std::memcpy(szResult, out.szText, out.uiLength + 1);
    return szResult;
}

// ---------------------------------------------------------------------------
// Trap processing and re-issue
// ---------------------------------------------------------------------------

int iCreateCompletePdu(const ZqPdu *pTrap, ZqPdu **ppNewPdu, const char *szText, const ZqOid *pEnterprise,
                       const ZqOid *pBindingName) {
    *ppNewPdu = nullptr;
    ZqPdu *pPdu = bAllocFails() ? nullptr : ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) {
        iPrintDebug(__LINE__, kSource, 2, "iCreateCompletePdu:Pdu created is NULL \n ");
        iPrintError(TRV_ERR_SYSTEM, "iCreateCompletePdu: Cannot create a PDU.\n");
        iTrapState = TRAP_STATE_NOMEM;
        return -1;
    }
    iPrintDebug(__LINE__, kSource, 2, "iCreateCompletePdu:Pdu created not NULL ");
    iPrintDebug(__LINE__, kSource, 2, "iCreateCompletePdu:Copying recvd pdu to send pdu \n");

    // The community is copied with its length: it may hold any bytes.
    if (pTrap->community != nullptr && pTrap->community_len > 0) {
        pPdu->community = static_cast<unsigned char *>(pPlatformAlloc(pTrap->community_len + 1));
        if (pPdu->community != nullptr) {
            std::memcpy(pPdu->community, pTrap->community, pTrap->community_len);
            pPdu->community_len = pTrap->community_len;
        }
    }
    // The PDU owns a copy of the enterprise; the caller's array stays the caller's.
    pPdu->enterprise = pCopyOidForPdu(pEnterprise, TRV_REISSUE_ENT_LEN);
    if (pPdu->enterprise == nullptr || (pTrap->community_len > 0 && pTrap->community != nullptr &&
                                        pPdu->community == nullptr)) {
        iPrintError(TRV_ERR_SYSTEM, "iCreateCompletePdu: Error in memory allocation\n");
        ZqsnmpFreePdu(pPdu);
        iTrapState = TRAP_STATE_NOMEM;
        return -1;
    }
    pPdu->enterprise_length = TRV_REISSUE_ENT_LEN;
    std::memcpy(pPdu->agent_addr, pTrap->agent_addr, sizeof pPdu->agent_addr);
    pPdu->trap_type = 6;
    pPdu->specific_type = iTrapIdNumber(pTrap);
    iPrintDebug(__LINE__, kSource, 2, "iCreateCompletePdu:Adding varbind to pdu.");

    if (bAllocFails() || ZqsnmpAddTypedVarBind(pPdu, pBindingName, TRV_TEXT_BINDING_LEN, ZQ_ASN_OCTET_STR, szText,
                                               std::strlen(szText)) == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iCreateCompletePdu: Cannot add the text binding.\n");
        iPrintDebug(__LINE__, kSource, 2, "iCreateCompletePdu:Varbind is null.\n");
        ZqsnmpFreePdu(pPdu);
        iTrapState = TRAP_STATE_FATAL;
        return -1;
    }
    iPrintDebug(__LINE__, kSource, 2, "iCreateCompletePdu: Created a Trap PDU and added Varable binding to it.");
    iPrintDebug(__LINE__, kSource, 2, "iCreateCompletePdu: success\n");
    *ppNewPdu = pPdu;
    return 1;
}

unsigned long ulReceivedTraps = 0;
unsigned long ulTranslatedTraps = 0;
unsigned long ulStatusRequests = 0;

int iNodeStatusUpdate(ZqSession *pSession, const ZqPdu *pTrap) {
    // Freed once at the end: the enterprise until the PDU owns it, the PDU until
    // the library takes it, and a PDU the library hands back.
    int iResult = -1;
    ZqPdu *pPdu = nullptr;
    ZqPdu *pBack = nullptr;
    in_addr_t uiLocal;
    char szAddress[16];
    ZqOid *pEnterprise = pCopyOidForPdu(aStatusRequestEnterprise, TRV_STATUS_ENT_LEN);
    if (pEnterprise == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iNodeStatusUpdate: Error in memory allocation\n");
        iTrapState = TRAP_STATE_NOMEM;
        goto done;
    }
    pPdu = bAllocFails() ? nullptr : ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iNodeStatusUpdate: Cannot create a PDU.\n");
        iTrapState = TRAP_STATE_NOMEM;
        goto done;
    }
    pPdu->enterprise = pEnterprise;  // the PDU owns it from here
    pEnterprise = nullptr;
    pPdu->enterprise_length = TRV_STATUS_ENT_LEN;
    pPdu->community = static_cast<unsigned char *>(pPlatformAlloc(sizeof TRV_STATUS_COMMUNITY));
    if (pPdu->community == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iNodeStatusUpdate: Error in memory allocation\n");
        iTrapState = TRAP_STATE_NOMEM;
        goto done;
    }
    std::memcpy(pPdu->community, TRV_STATUS_COMMUNITY, sizeof TRV_STATUS_COMMUNITY);
    pPdu->community_len = sizeof TRV_STATUS_COMMUNITY - 1;
    uiLocal = inet_addr("127.0.0.1");
    std::memcpy(pPdu->agent_addr, &uiLocal, sizeof pPdu->agent_addr);
    pPdu->time = 0;
    pPdu->trap_type = 6;
    pPdu->specific_type = EVT_STATUS_REQUEST;

    std::snprintf(szAddress, sizeof szAddress, "%d.%d.%d.%d", pTrap->agent_addr[0], pTrap->agent_addr[1],
                  pTrap->agent_addr[2], pTrap->agent_addr[3]);
    iPrintDebug(__LINE__, kSource, 2, "iNodeStatusUpdate: Node address for update: %s", szAddress);
    if (bAllocFails() || ZqsnmpAddTypedVarBind(pPdu, aTextBindingName, TRV_TEXT_BINDING_LEN, ZQ_ASN_OCTET_STR,
                                               szAddress, std::strlen(szAddress)) == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iNodeStatusUpdate: Cannot add the address binding.\n");
        goto done;
    }
    // Null: sent, and the library has taken the PDU.  Otherwise the request
    // itself comes back, still ours.
    pBack = ZqsnmpBlockingSend(pSession, pPdu);
    pPdu = nullptr;
    if (pBack == nullptr) {
        iResult = 1;
        goto done;
    }
    iPrintError(TRV_ERR_SNMP, "iNodeStatusUpdate: The status request was not sent.\n");

done:
    ZqsnmpFreePdu(pBack);
    ZqsnmpFreePdu(pPdu);
    ZqsnmpFree(pEnterprise);
    return iResult;
}

int iProcessRecvdTrap(const ZqPdu *pTrap) {
    iPrintDebug(__LINE__, kSource, 2, "Entered the process received trap routine.");
    if (pTrap == nullptr) {
        iTrapState = TRAP_STATE_NOT_PROCESSED;
        return -1;
    }
    // The integration's internal events are not vendor traps, whatever numbers
    // trvtrapd.conf defines.
    if (bIsInternalEvent(pTrap)) {
        iPrintDebug(__LINE__, kSource, 2, "iProcessRecvdTrap: Internal event %d of the integration, not processed.\n",
                    static_cast<int>(pTrap->specific_type));
        return -1;
    }
    if (!bIsReissuedTrap(pTrap)) ++ulReceivedTraps;
    const TrapDef *pDef = pFindTrapDef(pTrap);
    if (pDef == nullptr) {
        // Nothing to re-issue; kept so that a definition can follow.
        if (!bIsReissuedTrap(pTrap)) iKeepUnknownTrap(pTrap);
        iTrapState = TRAP_STATE_NOT_PROCESSED;
        return -1;
    }
    if (uiDebugLevel != 0) {
        char szEnterprise[TRAPDEF_ENT_TEXT_SIZE], szTrapId[TRAPDEF_ENT_TEXT_SIZE];
        bOidText(pTrap->enterprise, pTrap->enterprise_length, szEnterprise);
        bOidText(pTrap->trap_id, pTrap->trap_id_length, szTrapId);
        iPrintDebug(__LINE__, kSource, 1, "===> Processing trap: Trap No %ld; Ent ID = %s <===\n",
                    static_cast<long>(iTrapIdNumber(pTrap)), szEnterprise);
        iPrintDebug(__LINE__, kSource, 1, "===> Processing trap: Notify OID = %s <===\n", szTrapId);
        iPrintDebug(__LINE__, kSource, 1, "===> Length of  Notify OID = %d <===\n",
                    static_cast<int>(pTrap->trap_id_length));
    }
    if (bIsReissuedTrap(pTrap)) {
        if (uiDebugLevel != 0)
            iPrintDebug(__LINE__, kSource, 2,
                        "###Do not process trap re-issued by trvtrapd enterprise " ZQ_ENT_TEXT ".1.3.1\n");
        return -1;
    }
    iPrintDebug(__LINE__, kSource, 2, "iProcessRecvdTrap: Trap format statement:\n%s\n", pDef->szFormat);

    // What this routine acquires, freed once at its end: the text, the
    // enterprise copy, the re-issued PDU until the library takes it, and the
    // destination.
    int iResult = -1;
    ZqOid *pEnterprise = nullptr;
    ZqPdu *pNewPdu = nullptr;
    ZqEventAddr *pDest = nullptr;
    ZqSession *pSend = nullptr;
    char *szText = szFormatTrapText(pTrap, pDef);
    if (szText == nullptr) {
        iPrintError(1004, "Unable to interpret the received trap.");
        goto done;
    }
    iPrintDebug(__LINE__, kSource, 1, "iProcessRecvdTrap: New data for the received trap");

    pEnterprise = static_cast<ZqOid *>(pPlatformAlloc(sizeof aReissueEnterprise));
    if (pEnterprise == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iProcessRecvdTrap: Error in memory allocation\n");
        iTrapState = TRAP_STATE_NOMEM;
        goto done;
    }
    vCopyOid(pEnterprise, aReissueEnterprise, TRV_REISSUE_ENT_LEN);

    if (iCreateCompletePdu(pTrap, &pNewPdu, szText, pEnterprise, aTextBindingName) == -1) {
        iPrintError(1005, "Unable to form PDU.");
        goto done;
    }
    iPrintDebug(__LINE__, kSource, 1, "iProcessRecvdTrap: PDU is created and new variable binding added.");

    pSend = pOpenSendSession();
    if (pSend == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iProcessRecvdTrap: Cannot open a session to send the event to \"trapd\".\n");
        goto done;
    }
    iPrintDebug(__LINE__, kSource, 1, "iProcessRecvdTrap: Session to send the event to \"trapd\" established.");

    pDest = static_cast<ZqEventAddr *>(pPlatformAlloc(sizeof(ZqEventAddr)));
    if (pDest == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "Error in memory allocation\n");
        iTrapState = TRAP_STATE_NOMEM;
        goto done;
    }
    pDest->family = 2;
    pDest->port = TRV_TRAP_PORT;  // as a plain 16-bit value
    std::memcpy(pDest->addr, pTrap->agent_addr, sizeof pDest->addr);

    if (ZqsnmpEventSend(pSend, pNewPdu, pDest, 0) < 0) {
        // The kept session may have gone stale: once more on a new one (the PDU
        // is still ours after a failed send).
        vCloseSendSession();
        pSend = pOpenSendSession();
        if (pSend == nullptr || ZqsnmpEventSend(pSend, pNewPdu, pDest, 0) < 0) {
            iPrintError(TRV_ERR_SYSTEM, "iProcessRecvdTrap: Cannot send the event to \"trapd\".\n");
            vCloseSendSession();
            goto done;
        }
    }
    pNewPdu = nullptr;  // sent: the library's now
    iPrintDebug(__LINE__, kSource, 1, "iProcessRecvdTrap: Newly formulated trap sent to \"trapd\".");

    if (pDef->cStatusUpdate == 'Y') {
        iPrintDebug(__LINE__, kSource, 2, "iProcessRecvdTrap: Node status update requested.");
        if (iNodeStatusUpdate(pSend, pTrap) == -1) {
            ++ulTranslatedTraps;  // the text went out; only the request failed
            vCloseSendSession();
            goto done;
        }
        ++ulStatusRequests;
    }
    ++ulTranslatedTraps;
    iPrintDebug(__LINE__, kSource, 1, "iProcessRecvdTrap: Node status info sent for database update.");
    iPrintDebug(__LINE__, kSource, 1, "=========== Trap processed successfully! ==========\n");
    iResult = 1;

done:
    ZqsnmpFreePdu(pNewPdu);
    ZqsnmpFree(pDest);
    ZqsnmpFree(pEnterprise);
    ZqsnmpFree(szText);
    return iResult;
}
