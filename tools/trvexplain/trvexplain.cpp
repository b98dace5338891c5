/*
 * trvexplain - why trvdis classifies a node as it does.
 *
 *   trvexplain NODE [--json]
 *
 * Runs for one node, in trvdis's order and through trvdis's own probe routines
 * (so with the same SNMP settings: conf/snmp.conf through the platform
 * library), the probes of a full discovery: the agent check, each rule of
 * trvconfig.dat until one matches, the version probe, the board probe, the
 * web-agent probe and the condition poll.  Then it lists what trvdis would
 * write, beside what is stored now.  It writes nothing to the database.
 *
 * NODE may also be an address (or a name of conf/hosts) of one of the node's
 * interfaces.  Each SNMP request shows the address, port, community and
 * time-out it used.  The verdict on the node follows what trvdis does: an
 * unmanaged node gets nothing else, a node no pass lists is handled on a
 * request only.
 *
 * Exit status: 0 the node answered the agent check; 1 it did not; 2 bad
 * arguments or no such node; 3 the database or trvconfig.dat cannot be read;
 * 4 the node is not managed.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "TrvConf.h"
#include "trvdis.h"
#include "trvlib.h"
#include "zqoid.h"
#include "zqsnmp.h"
#include "zqw.h"

namespace {

/* One probe as run: what was asked (and how: address, port, community,
 * time-out), what came back, what it means; iAnswered and iMatched are 1 or 0,
 * -1 where they do not apply. */
typedef struct ExpStep {
    std::string szProbe;
    std::string szRequest;
    std::string szAnswer;
    std::string szVerdict;
    std::string szVia;
    int         iAnswered;
    int         iMatched;
} ExpStep;

/* One field trvdis would write; iNowSet 0 when it has no value now, iWouldSet
 * 0 for a removal. */
typedef struct ExpWrite {
    std::string szObject;
    std::string szField;
    std::string szNow;
    std::string szWould;
    int         iNowSet;
    int         iWouldSet;
} ExpWrite;

std::vector<ExpStep> aSteps;
std::vector<ExpWrite> aWrites;
ZqwFieldId uiFieldVelmswp = 0;
/* How trvdis's requests reach the node (conf/hosts, conf/snmp.conf). */
ZqAgentSettings stAgent;
int iAgentKnown = 0;
/* The node's verdict: 0 unmanaged (nothing else is run), 1 listed by a pass,
 * 2 handled on a request only. */
int iHandling = 1;

const ZqOid aConditionOid[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};
const ZqOid aVersionOid[] = {ZQ_ENT_SUBIDS, 11, 2, 2, 2, 0};
const ZqOid aRixenOid[] = {ZQ_ENT_SUBIDS, 9, 2, 5, 1, 1, 5, 2};
const ZqOid aAgentOid[] = {ZQ_ENT_SUBIDS};
#define EXP_LEN(a) (static_cast<int>(sizeof(a) / sizeof((a)[0])))

void vPrintUsage(FILE *pOut) {
    fprintf(pOut,
            "usage: trvexplain NODE [--json]\n"
            "\n"
            "Runs trvdis's probes of a full discovery for one node, in trvdis's order\n"
            "and with the same SNMP settings, and shows each question and answer: the\n"
            "agent check, every classification rule tried, the version, board and\n"
            "web-agent probes and the condition poll; then what trvdis would write,\n"
            "beside what is stored now.  Nothing is written.\n"
            "NODE is a selection name, a host name, an object id, or an address (or a\n"
            "name of conf/hosts) of one of the node's interfaces.  Each request shows\n"
            "the address, port, community and time-out it used.  An unmanaged node\n"
            "gets its verdict and nothing else.\n"
            "\n"
            "  --json   one JSON document instead of the text\n"
            "\n"
            "Exit status: 0 the node answered; 1 it did not; 2 bad arguments or no such\n"
            "node; 3 the database or trvconfig.dat cannot be read; 4 the node is not\n"
            "managed (trvdis does not handle it).\n");
}

std::string szOidText(const ZqOid *pOid, size_t uiLength) {
    if (pOid == nullptr || uiLength == 0) return "";
    char szText[TRV_MAX_OID_TEXT_SUBIDS * TRV_OID_TEXT_PER_SUBID + 1];
    if (iOidToText(pOid, static_cast<int>(uiLength), szText, sizeof szText) < 0) return "?";
    return szText;
}

const char *szTypeName(int iType) {
    switch (iType) {
    case ZQ_ASN_INTEGER: return "INTEGER";
    case ZQ_ASN_OCTET_STR: return "STRING";
    case ZQ_ASN_NULL: return "NULL";
    case ZQ_ASN_OBJECT_ID: return "OID";
    case ZQ_ASN_IPADDRESS: return "IpAddress";
    case ZQ_ASN_COUNTER: return "Counter32";
    case ZQ_ASN_GAUGE: return "Gauge32";
    case ZQ_ASN_TIMETICKS: return "TimeTicks";
    case ZQ_ASN_OPAQUE: return "Opaque";
    case ZQ_ASN_COUNTER64: return "Counter64";
    default: return "unknown type";
    }
}

/* Bytes as a quoted text when printable, else as hex. */
std::string szBytesText(const unsigned char *pBytes, size_t uiLength) {
    int iPrintable = 1;
    for (size_t i = 0; i < uiLength; ++i)
        if (pBytes[i] < 0x20 || pBytes[i] >= 0x7f) iPrintable = 0;
    std::string szText;
    if (iPrintable) {
        szText = "\"";
        szText.append(reinterpret_cast<const char *>(pBytes), uiLength);
        return szText + "\"";
    }
    szText = "0x";
    char szHex[3];
    for (size_t i = 0; i < uiLength; ++i) {
        snprintf(szHex, sizeof szHex, "%02X", pBytes[i]);
        szText += szHex;
    }
    return szText;
}

/* A binding's value as TYPE VALUE. */
std::string szValueText(const ZqVarBind *pVar) {
    std::string szType = szTypeName(pVar->type);
    switch (pVar->type) {
    case ZQ_ASN_INTEGER:
    case ZQ_ASN_COUNTER:
    case ZQ_ASN_GAUGE:
    case ZQ_ASN_TIMETICKS:
        if (pVar->val.integer == nullptr) return szType;
        return szType + " " +
               (pVar->type == ZQ_ASN_INTEGER ? std::to_string(*pVar->val.integer)
                                             : std::to_string(static_cast<uint32_t>(*pVar->val.integer)));
    case ZQ_ASN_OCTET_STR:
    case ZQ_ASN_OPAQUE:
        return szType + " " + (pVar->val.string != nullptr ? szBytesText(pVar->val.string, pVar->val_len) : "\"\"");
    case ZQ_ASN_IPADDRESS:
        if (pVar->val.string == nullptr || pVar->val_len != 4) return szType;
        return szType + " " + std::to_string(pVar->val.string[0]) + "." + std::to_string(pVar->val.string[1]) + "." +
               std::to_string(pVar->val.string[2]) + "." + std::to_string(pVar->val.string[3]);
    case ZQ_ASN_OBJECT_ID: return szType + " ." + szOidText(pVar->val.objid, pVar->val_len);
    case ZQ_ASN_COUNTER64:
        return szType + " " + (pVar->val.counter64 != nullptr ? std::to_string(*pVar->val.counter64) : "");
    default: return szType;
    }
}

/* How an SNMP request went: address and port, community, time-out and tries. */
std::string szViaText(const char *szCommunity) {
    if (!iAgentKnown) return "";
    return std::string(stAgent.address) + ":" + std::to_string(stAgent.port) + ", community " +
           (szCommunity != nullptr ? szCommunity : stAgent.community) + ", time-out " +
           std::to_string(stAgent.timeout_ms) + " ms, " + std::to_string(stAgent.retries) + " retries";
}

/* The first binding of a response as OID = TYPE VALUE, or its error status. */
std::string szAnswerText(const ZqPdu *pResponse) {
    if (pResponse == nullptr) {
        if (!iAgentKnown) return "no answer";
        return "no answer within " + std::to_string(stAgent.timeout_ms) + " ms and " + std::to_string(stAgent.retries) +
               " retries";
    }
    if (pResponse->errstat != ZQ_ERR_NOERROR)
        return "error status " + std::to_string(pResponse->errstat) +
               (pResponse->errstat == ZQ_ERR_NOSUCHNAME ? " (noSuchName)" : "");
    std::string szText;
    for (const ZqVarBind *pVar = pResponse->variables; pVar != nullptr; pVar = pVar->next_variable) {
        if (!szText.empty()) szText += ", ";
        szText += "." + szOidText(pVar->name, pVar->name_length) + " = " + szValueText(pVar);
    }
    return szText.empty() ? "no bindings" : szText;
}

/* A rule's condition as the file says it. */
std::string szConditionText(const ClassRule *pRule) {
    std::string szText = std::string(pRule->szClass) + ":" + (pRule->szLabel ? pRule->szLabel : "") + ":";
    const RuleCondition *pCond = pRule->pConditions;
    if (pCond == nullptr) return szText;
    szText += szOidText(pCond->pOid, static_cast<size_t>(pCond->iOidLength > 0 ? pCond->iOidLength : 0)) + " ";
    switch (pCond->ucType) {
    case TRVCONF_TYPE_INTEGER:
        szText += "INTEGER \"" + std::to_string(pCond->pValue ? *static_cast<const int32_t *>(pCond->pValue) : 0) +
                  "\"";
        break;
    case TRVCONF_TYPE_STRING:
        szText += std::string("STRING \"") + (pCond->pValue ? static_cast<const char *>(pCond->pValue) : "") + "\"";
        break;
    case TRVCONF_TYPE_OID:
        szText += "OID \"." +
                  szOidText(static_cast<const ZqOid *>(pCond->pValue),
                            static_cast<size_t>(pCond->iValueLength > 0 ? pCond->iValueLength : 0)) +
                  "\"";
        break;
    default: szText += "(unknown type word)"; break;
    }
    return szText;
}

/* Why a rule did not match the answer (the verdict itself is trvdis's). */
std::string szWhyNoMatch(const ClassRule *pRule, const ZqPdu *pResponse) {
    if (pResponse->errstat != ZQ_ERR_NOERROR) return "the agent answered with an error status";
    const RuleCondition *pCond = pRule->pConditions;
    const ZqVarBind *pVar = pResponse->variables;
    for (; pCond != nullptr && pVar != nullptr; pCond = pCond->pNext, pVar = pVar->next_variable) {
        if (iVarBindMatches(pCond, pVar)) continue;
        if (pCond->ucType == TRVCONF_TYPE_NONE) return "the rule's type word is unknown: it never matches";
        if (pCond->ucType != pVar->type)
            return std::string("the rule wants ") + szTypeName(pCond->ucType) + ", the node gave " +
                   szTypeName(pVar->type);
        if (szOidText(pCond->pOid, static_cast<size_t>(pCond->iOidLength)) != szOidText(pVar->name, pVar->name_length))
            return "the answer is for another OID";
        if (pCond->ucType == TRVCONF_TYPE_STRING && pCond->iValueLength >= 0 &&
            static_cast<size_t>(pCond->iValueLength) != pVar->val_len)
            return "the texts differ in length (" + std::to_string(pCond->iValueLength) + " against " +
                   std::to_string(pVar->val_len) + " characters)";
        return "the values differ";
    }
    if (pCond == nullptr && pVar == nullptr) return "the rule has no condition";
    return "the answer has another number of bindings than the rule has conditions";
}

void vStep(const std::string &szProbe, const std::string &szRequest, const std::string &szAnswer,
           const std::string &szVerdict, const std::string &szVia = "", int iAnswered = -1, int iMatched = -1) {
    aSteps.push_back({szProbe, szRequest, szAnswer, szVerdict, szVia, iAnswered, iMatched});
}

/* A field's value as text, "-" when it has none, "?" for an enumeration value
 * without a name; *piSet (when given) 0 when it has none. */
std::string szFieldText(ZqwObjectId uiObject, ZqwFieldId uiField, int *piSet = nullptr) {
    char szText[TRV_FIELD_TEXT_SIZE];
    int iResult = iFieldText(uiObject, uiField, "-", szText, sizeof szText);
    if (piSet != nullptr) *piSet = iResult != 0;
    return iResult == 2 ? "?" : szText;
}

/* szWould null: trvdis would remove the value. */
void vWrite(const std::string &szObject, ZqwObjectId uiObject, const char *szField, ZqwFieldId uiField,
            const char *szWould) {
    int iNowSet = 0;
    std::string szNow = szFieldText(uiObject, uiField, &iNowSet);
    aWrites.push_back({szObject, szField, szNow, szWould != nullptr ? szWould : "(unset)", iNowSet, szWould != nullptr});
}

/* The node's web subsystem object as trvdis picks it: the WEB_ENABLED one,
 * else the WEB_DISABLED one; the null id when it has none. */
ZqwObjectId uiWebObject(const char *szHost) {
    ZqwObjectIdList *pList = pGetSubSysObjIds(szHost);
    ZqwObjectId uiEnabled = 0, uiDisabled = 0;
    for (unsigned int i = 0; pList != nullptr && i < pList->count; ++i) {
        std::string szKind = szFieldText(pList->object_ids[i], uiFieldTrvSubSysType);
        if (szKind == "WEB_ENABLED" && ZqwIsIdNull(uiEnabled)) uiEnabled = pList->object_ids[i];
        if (szKind == "WEB_DISABLED" && ZqwIsIdNull(uiDisabled)) uiDisabled = pList->object_ids[i];
    }
    ZqwDbFreeObjectIdList(pList);
    return !ZqwIsIdNull(uiEnabled) ? uiEnabled : uiDisabled;
}

/* The length of the UTF-8 sequence at p (1 to 4) and its code point, or 0 when
 * the bytes are no well-formed sequence. */
int iUtf8Sequence(const unsigned char *p, size_t uiLeft, uint32_t *puiCode) {
    int iLength = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : 0;
    if (iLength == 0 || uiLeft < static_cast<size_t>(iLength)) return 0;
    uint32_t uiCode = p[0] & (0x7F >> iLength);
    for (int i = 1; i < iLength; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        uiCode = (uiCode << 6) | (p[i] & 0x3F);
    }
    static const uint32_t aMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (uiCode < aMin[iLength] || uiCode > 0x10FFFF || (uiCode >= 0xD800 && uiCode <= 0xDFFF)) return 0;
    *puiCode = uiCode;
    return iLength;
}

/* A JSON string: ASCII as it is, everything else as \u escapes (UTF-8 decoded;
 * a byte that is no part of a UTF-8 sequence as the Latin-1 character). */
std::string szJson(const std::string &szText) {
    std::string szOut = "\"";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(szText.data());
    size_t uiLeft = szText.size();
    char szEsc[16];
    while (uiLeft > 0) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            szOut += '\\';
            szOut += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            szOut += static_cast<char>(c);
        } else {
            uint32_t uiCode = c;
            int iLength = c >= 0x80 ? iUtf8Sequence(p, uiLeft, &uiCode) : 1;
            if (iLength == 0) iLength = 1;  // uiCode stays the byte
            if (uiCode >= 0x10000) {
                uint32_t uiRest = uiCode - 0x10000;
                snprintf(szEsc, sizeof szEsc, "\\u%04x\\u%04x", 0xD800 + (uiRest >> 10), 0xDC00 + (uiRest & 0x3FF));
            } else {
                snprintf(szEsc, sizeof szEsc, "\\u%04x", uiCode);
            }
            szOut += szEsc;
            p += iLength;
            uiLeft -= static_cast<size_t>(iLength);
            continue;
        }
        ++p;
        --uiLeft;
    }
    return szOut + "\"";
}

/* The probes of a full discovery, in trvdis's order; the would-be writes.
 * Returns 1 when the node answered the agent check, else 0. */
int iExplain(ZqwObjectId uiNode, const char *szHost) {
    const std::string szNodeLabel = "node";
    // What a pass does with the node: it lists the servers, clients and
    // computers that support SNMP, and drops an unmanaged node, as it drops a
    // request for one.  A node no pass lists is handled on a request only.
    int iManaged = iIsNodeManaged(uiNode);
    int iSnmp = ZqwDbGetFieldBooleanValue(uiNode, uiFieldIsSNMPSupported) == 1;
    int iKind = ZqwDbGetFieldBooleanValue(uiNode, uiFieldIsServer) == 1 ||
                ZqwDbGetFieldBooleanValue(uiNode, uiFieldIsClient) == 1 ||
                ZqwDbGetFieldBooleanValue(uiNode, uiFieldIsComputer) == 1;
    std::string szState = "IP Status " + szFieldText(uiNode, ZqwDbFieldNameToFieldId("IP Status")) +
                          ", isSNMPSupported " + (iSnmp ? "TRUE" : "FALSE") + ", server/client/computer " +
                          (iKind ? "yes" : "no");
    if (iManaged != 1) {
        iHandling = 0;
        vStep("managed", "IP Status", szState, "not managed: trvdis leaves the node alone, also on a request");
        return -1;
    }
    iHandling = iSnmp && iKind ? 1 : 2;
    vStep("managed", "IP Status, isSNMPSupported, isServer/isClient/isComputer", szState,
          iHandling == 1 ? "managed: every pass of trvdis handles the node"
          : !iSnmp       ? "managed, but isSNMPSupported is not TRUE: no pass lists the node; trvdis probes it only "
                           "on a request (trvrequest)"
                         : "managed, but neither server, client nor computer: no pass lists the node; trvdis probes "
                           "it only on a request (trvrequest)");
    std::string szVantor = szFieldText(uiNode, uiFieldIsTrvVantor);

    // The agent check.
    ZqPdu *pResponse = nullptr;
    short iAgent = iProbeAgent(szHost, &pResponse);
    const char *szAgentVerdict = iAgent == TRV_AGENT_PRESENT ? "a vendor agent answers"
                                 : iAgent == TRV_AGENT_ODD   ? "an answer with an unexpected error status: "
                                                               "trvdis treats it as a vendor agent"
                                 : iAgent == TRV_AGENT_FOREIGN
                                     ? "the node answers, but not under the vendor arc: not a vendor node"
                                     : "no usable answer";
    vStep("agent", "GetNext ." + szOidText(aAgentOid, ZQ_ENT_LENGTH), szAnswerText(pResponse), szAgentVerdict,
          szViaText(nullptr), pResponse != nullptr, iAgent != TRV_AGENT_NONE && iAgent != TRV_AGENT_FOREIGN);
    ZqsnmpFreePdu(pResponse);

    if (iAgent == TRV_AGENT_NONE) {
        if (szVantor == "TRUE") {
            ZqwObjectIdList *pList = pGetSubSysObjIds(szHost);
            for (unsigned int i = 0; pList != nullptr && i < pList->count; ++i) {
                std::string szKind = szFieldText(pList->object_ids[i], uiFieldTrvSubSysType);
                if (iWebSubSysKind(szKind.c_str()) > 0)
                    vWrite("web object " + std::to_string(pList->object_ids[i]), pList->object_ids[i],
                           "trvDeviceStatus", uiFieldTrvDeviceStatus, "Unknown");
            }
            ZqwDbFreeObjectIdList(pList);
        }
        return 0;
    }
    int iWeb = iIsWebEnabled(uiNode);
    if (iWeb == 1) vWrite(szNodeLabel, uiNode, "isVelmswp", uiFieldVelmswp, "TRUE");
    if (iAgent == TRV_AGENT_FOREIGN) {
        vWrite(szNodeLabel, uiNode, "trvSysType", uiFieldTrvSysType, "NonTarvo");
        vWrite(szNodeLabel, uiNode, "trvOsType", uiFieldTrvOsType, nullptr);
        vWrite(szNodeLabel, uiNode, "isTrvVantor", uiFieldIsTrvVantor, nullptr);
        vWrite(szNodeLabel, uiNode, "isTrvRIXEN", uiFieldIsTrvRIXEN, nullptr);
        vWrite(szNodeLabel, uiNode, "trvRIXENip", uiFieldTrvRIXENip, nullptr);
        ZqwObjectId uiWeb = uiWebObject(szHost);
        if (!ZqwIsIdNull(uiWeb)) aWrites.push_back({"web object " + std::to_string(uiWeb), "(object)", "exists", "(deleted)", 1, 0});
        return 1;
    }

    // The classification rules, in file order, until one matches.
    ZqSession *pSession = ZqsnmpOpen(nullptr, szHost, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    if (pSession == nullptr) {
        vStep("rules", "session", ZqsnmpErrString(ZqsnmpErrno), "no session: the node is not classified",
              szViaText(nullptr), 0);
        return 1;
    }
    const ClassRule *pMatched = nullptr;
    int iRule = 0, iNoAnswer = 0;
    for (const ClassRule *pRule = pClassRules; pRule != nullptr && pMatched == nullptr; pRule = pRule->pNext) {
        ++iRule;
        int iMatch = iProbeRule(pSession, pRule, &pResponse);
        std::string szProbe = "rule " + std::to_string(iRule);
        if (iMatch < 0) {
            vStep(szProbe, szConditionText(pRule), szAnswerText(nullptr),
                  "no answer: trvdis tries no further rule and the node stays as it is", szViaText(nullptr), 0, 0);
            iNoAnswer = 1;
            break;
        }
        if (iMatch == 1) {
            pMatched = pRule;
            vStep(szProbe, szConditionText(pRule), szAnswerText(pResponse), "matches", szViaText(nullptr), 1, 1);
        } else {
            vStep(szProbe, szConditionText(pRule), szAnswerText(pResponse), "no match: " + szWhyNoMatch(pRule, pResponse),
                  szViaText(nullptr), 1, 0);
        }
        ZqsnmpFreePdu(pResponse);
        pResponse = nullptr;
    }
    ZqsnmpClose(pSession);
    if (iNoAnswer) return 1;
    if (pMatched == nullptr) {
        vStep("rules", iRule == 0 ? "trvconfig.dat has no rules" : "every rule tried", "", "no rule matches", "", -1,
              0);
        vWrite(szNodeLabel, uiNode, "trvSysType", uiFieldTrvSysType, "NonTarvo");
        vWrite(szNodeLabel, uiNode, "trvOsType", uiFieldTrvOsType, nullptr);
        ZqwObjectId uiWeb = uiWebObject(szHost);
        if (!ZqwIsIdNull(uiWeb)) aWrites.push_back({"web object " + std::to_string(uiWeb), "(object)", "exists", "(deleted)", 1, 0});
        return 1;
    }
    int iServer = strcmp(pMatched->szClass, "Server") == 0;
    std::string szOs = pMatched->szLabel != nullptr ? pMatched->szLabel : "";
    vWrite(szNodeLabel, uiNode, "trvSysType", uiFieldTrvSysType, iServer ? "TrvServer" : "TrvDesktop");
    vWrite(szNodeLabel, uiNode, "isTrvVantor", uiFieldIsTrvVantor, "TRUE");

    // The version probe: only for NT workstations.
    std::string szVersionRequest = "Get ." + szOidText(aVersionOid, EXP_LEN(aVersionOid));
    if (szOs.compare(0, 7, "ntwkstn") == 0) {
        char *szVersion = CheckForVerNo(szHost);
        std::string szVerdict = "the OS stays " + szOs;
        if (szVersion != nullptr && strncmp(szVersion, "5.0", 3) == 0) szOs = "2kwkstn";
        else if (szVersion != nullptr && strncmp(szVersion, "5.1", 3) == 0) szOs = "winxpwkstn";
        if (szOs.compare(0, 7, "ntwkstn") != 0) szVerdict = "the OS becomes " + szOs;
        vStep("version", szVersionRequest,
              szVersion != nullptr ? "\"" + std::string(szVersion) + "\"" : std::string("no version"), szVerdict,
              szViaText("nimbus"), szVersion != nullptr);
        free(szVersion);
    } else {
        vStep("version", szVersionRequest, "", "not asked: only an ntwkstn node is");
    }
    if (!szOs.empty()) vWrite(szNodeLabel, uiNode, "trvOsType", uiFieldTrvOsType, szOs.c_str());

    // The board probe.
    char szBoard[16];
    int iBoard = iProbeRixen(szHost, szBoard);
    vStep("board", "Get ." + szOidText(aRixenOid, EXP_LEN(aRixenOid)),
          iBoard == 1 ? std::string(szBoard) : iBoard < 0 ? szAnswerText(nullptr) : "no board address",
          iBoard == 1 ? "a remote management board at " + std::string(szBoard)
                      : "no board: the stored board fields stay as they are",
          szViaText(nullptr), iBoard >= 0);
    if (iBoard == 1) {
        vWrite(szNodeLabel, uiNode, "isTrvRIXEN", uiFieldIsTrvRIXEN, "TRUE");
        vWrite(szNodeLabel, uiNode, "trvRIXENip", uiFieldTrvRIXENip, szBoard);
    }

    // The web-agent probe and the web subsystem object.
    const char *szKind = iWeb == 1 ? "WEB_ENABLED" : "WEB_DISABLED";
    vStep("web agent", "HTTP to port " + std::to_string(uiWebAgentPort) + " of each address",
          iWeb == 1 ? "answers" : "no answer", std::string("web subsystem ") + szKind,
          "each interface address, port " + std::to_string(uiWebAgentPort), iWeb == 1);
    ZqwObjectId uiWeb = uiWebObject(szHost);
    std::string szWebLabel = ZqwIsIdNull(uiWeb) ? "web object (new)" : "web object " + std::to_string(uiWeb);
    vWrite(szWebLabel, uiWeb, "trvSubSysType", uiFieldTrvSubSysType, szKind);

    // The condition poll.
    std::string szPoll = "Get ." + szOidText(aConditionOid, EXP_LEN(aConditionOid));
    pSession = ZqsnmpOpen(nullptr, szHost, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    if (pSession == nullptr) {
        vStep("condition", szPoll, ZqsnmpErrString(ZqsnmpErrno), "no session: the status stays as it is",
              szViaText(nullptr), 0);
        return 1;
    }
    const TrvOid stOid = {aConditionOid, EXP_LEN(aConditionOid)};
    pResponse = GetNodeStatus(pSession, &stOid, 1);
    int iTimeout = pResponse == nullptr && ZqsnmpErrno == ZQSNMP_E_TIMEOUT;
    std::string szAnswer = szAnswerText(pResponse);
    int iAnsweredPoll = pResponse != nullptr;
    const char *szStatus = pResponse != nullptr || iTimeout ? szStatusForCondition(pResponse) : nullptr;
    ZqsnmpFreePdu(pResponse);
    ZqsnmpClose(pSession);
    vStep("condition", szPoll, szAnswer,
          szStatus != nullptr ? std::string("status ") + szStatus : "no status: the stored one stays",
          szViaText(nullptr), iAnsweredPoll);
    if (szStatus != nullptr) vWrite(szWebLabel, uiWeb, "trvDeviceStatus", uiFieldTrvDeviceStatus, szStatus);
    return 1;
}

void vPrintText(const char *szName, ZqwObjectId uiNode, const char *szHost, int iAnswered) {
    printf("%s (object %u, host %s", szName, static_cast<unsigned>(uiNode), szHost);
    if (iAgentKnown) printf(", address %s", stAgent.address);
    printf(")\n\n");
    for (const ExpStep &stStep : aSteps) {
        printf("%-10s %s\n", stStep.szProbe.c_str(), stStep.szRequest.c_str());
        if (!stStep.szVia.empty()) printf("%-10s   to: %s\n", "", stStep.szVia.c_str());
        if (!stStep.szAnswer.empty()) printf("%-10s   answer: %s\n", "", stStep.szAnswer.c_str());
        printf("%-10s   -> %s\n", "", stStep.szVerdict.c_str());
    }
    printf("\n");
    if (iHandling == 0) {
        printf("trvdis does not handle the node: nothing would be written.\n");
        return;
    }
    const char *szWhen = iHandling == 2 ? " on a request" : "";
    if (aWrites.empty()) {
        printf("trvdis would write nothing%s%s.\n", szWhen, iAnswered ? "" : " (the node did not answer)");
        return;
    }
    size_t uiObject = 6, uiField = 5, uiNow = 3;
    for (const ExpWrite &stWrite : aWrites) {
        if (stWrite.szObject.size() > uiObject) uiObject = stWrite.szObject.size();
        if (stWrite.szField.size() > uiField) uiField = stWrite.szField.size();
        if (stWrite.szNow.size() > uiNow) uiNow = stWrite.szNow.size();
    }
    printf("trvdis would write%s:\n", szWhen);
    printf("  %-*s  %-*s  %-*s  %s\n", static_cast<int>(uiObject), "OBJECT", static_cast<int>(uiField), "FIELD",
           static_cast<int>(uiNow), "NOW", "WOULD BE");
    for (const ExpWrite &stWrite : aWrites)
        printf("  %-*s  %-*s  %-*s  %s%s\n", static_cast<int>(uiObject), stWrite.szObject.c_str(),
               static_cast<int>(uiField), stWrite.szField.c_str(), static_cast<int>(uiNow), stWrite.szNow.c_str(),
               stWrite.szWould.c_str(), stWrite.szNow == stWrite.szWould ? " (unchanged)" : "");
}

/* JSON helpers: a text or null, a flag or null. */
std::string szJsonOrNull(int iSet, const std::string &szText) { return iSet ? szJson(szText) : "null"; }
std::string szJsonFlag(int iFlag) { return iFlag < 0 ? "null" : iFlag ? "true" : "false"; }

void vPrintJson(const char *szName, ZqwObjectId uiNode, const char *szHost, int iAnswered) {
    std::string szOut = "{\"node\": " + szJson(szName) + ", \"id\": " + std::to_string(uiNode) +
                        ", \"host\": " + szJson(szHost) + ", \"address\": " + szJsonOrNull(iAgentKnown, stAgent.address) +
                        ", \"managed\": " + szJsonFlag(iHandling != 0) +
                        ", \"listed_by_pass\": " + szJsonFlag(iHandling == 1) +
                        ", \"answered\": " + (iAnswered ? "true" : "false") + ", \"probes\": [";
    for (size_t i = 0; i < aSteps.size(); ++i) {
        const ExpStep &st = aSteps[i];
        std::string szVia = "null";
        if (!st.szVia.empty() && iAgentKnown && st.szProbe != "web agent")
            szVia = "{\"address\": " + szJson(stAgent.address) + ", \"port\": " + std::to_string(stAgent.port) +
                    ", \"community\": " + szJson(st.szProbe == "version" ? "nimbus" : stAgent.community) +
                    ", \"timeout_ms\": " + std::to_string(stAgent.timeout_ms) +
                    ", \"retries\": " + std::to_string(stAgent.retries) + "}";
        else if (!st.szVia.empty())
            szVia = "{\"port\": " + std::to_string(uiWebAgentPort) + "}";
        szOut += std::string(i ? ", " : "") + "{\"probe\": " + szJson(st.szProbe) +
                 ", \"request\": " + szJson(st.szRequest) + ", \"via\": " + szVia +
                 ", \"answer\": " + szJsonOrNull(!st.szAnswer.empty(), st.szAnswer) +
                 ", \"answered\": " + szJsonFlag(st.iAnswered) + ", \"matched\": " + szJsonFlag(st.iMatched) +
                 ", \"verdict\": " + szJson(st.szVerdict) + "}";
    }
    szOut += "], \"writes\": [";
    for (size_t i = 0; i < aWrites.size(); ++i)
        szOut += std::string(i ? ", " : "") + "{\"object\": " + szJson(aWrites[i].szObject) +
                 ", \"field\": " + szJson(aWrites[i].szField) +
                 ", \"now\": " + szJsonOrNull(aWrites[i].iNowSet, aWrites[i].szNow) +
                 ", \"would\": " + szJsonOrNull(aWrites[i].iWouldSet, aWrites[i].szWould) + "}";
    szOut += "]}";
    printf("%s\n", szOut.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    int iJson = 0;
    const char *szName = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            vPrintUsage(stdout);
            return 0;
        }
        if (strcmp(argv[i], "--json") == 0) {
            iJson = 1;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "trvexplain: unknown option %s\n", argv[i]);
            vPrintUsage(stderr);
            return 2;
        } else if (szName == nullptr) {
            szName = argv[i];
        } else {
            vPrintUsage(stderr);
            return 2;
        }
    }
    if (szName == nullptr) {
        vPrintUsage(stderr);
        return 2;
    }
    szProgramName = "trvexplain";
    uiDebugLevel = 0;
    if (ZqwDbInit() != 0) {
        fprintf(stderr, "trvexplain: cannot open the topology database (%s)\n", ZqwErrorMsg(ZqwError()));
        return 3;
    }
    int iResult = 3;
    ZqwObjectId uiNode = 0;
    char *szHost = nullptr;
    int iLoad = 0;
    TrvParseResult stParse = {};
    if (iGetFieldIds() != 1) {
        fprintf(stderr, "trvexplain: the integration's fields are not registered in this database\n");
        goto done;
    }
    uiFieldVelmswp = ZqwDbFieldNameToFieldId("isVelmswp");
    uiNode = uiResolveNodeOrAddress(szName, nullptr);
    if (ZqwIsIdNull(uiNode)) {
        fprintf(stderr,
                "trvexplain: no node \"%s\" (no selection name, host name, object id or interface address "
                "of a node)\n",
                szName);
        iResult = 2;
        goto done;
    }
    szHost = ZqwDbObjectIdToHostname(uiNode);
    if (szHost == nullptr) {
        fprintf(stderr, "trvexplain: \"%s\" has no host name\n", szName);
        iResult = 2;
        goto done;
    }
    // Standard output belongs to the report (with --json to the document
    // alone): the reason for a failed load goes to standard error below.
    iLoad = iReadTrvConfig(&stParse);
    if (iLoad != TRVCONF_OK) {
        fprintf(stderr, "trvexplain: %s cannot be loaded (%s)\n", szTrvConfigPath,
                iLoad == TRVCONF_NOFILE ? "no such file"
                : stParse.szDetail[0] != '\0' ? stParse.szDetail
                                               : "syntax error");
        goto done;
    }
    {
        iAgentKnown = ZqsnmpAgentSettings(szHost, &stAgent) == 0;
        int iAnswered = iExplain(uiNode, szHost);
        if (iJson)
            vPrintJson(szName, uiNode, szHost, iAnswered > 0);
        else
            vPrintText(szName, uiNode, szHost, iAnswered > 0);
        iResult = iAnswered < 0 ? 4 : iAnswered ? 0 : 1;
    }

done:
    free(szHost);
    vFreeTrvConfig();
    ZqwDbDone();
    return iResult;
}
