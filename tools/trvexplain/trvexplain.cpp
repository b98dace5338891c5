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
 * Exit status: 0 the node answered the agent check; 1 it did not; 2 bad
 * arguments or no such node; 3 the database or trvconfig.dat cannot be read.
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

/* One probe as run: what was asked, what came back, what it means. */
typedef struct ExpStep {
    std::string szProbe;
    std::string szRequest;
    std::string szAnswer;
    std::string szVerdict;
} ExpStep;

/* One field trvdis would write (szWould "(unset)" for a removal). */
typedef struct ExpWrite {
    std::string szObject;
    std::string szField;
    std::string szNow;
    std::string szWould;
} ExpWrite;

std::vector<ExpStep> aSteps;
std::vector<ExpWrite> aWrites;
ZqwFieldId uiFieldVelmswp = 0;

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
            "NODE is a selection name, a host name or an object id.\n"
            "\n"
            "  --json   one JSON document instead of the text\n"
            "\n"
            "Exit status: 0 the node answered; 1 it did not; 2 bad arguments or no such\n"
            "node; 3 the database or trvconfig.dat cannot be read.\n");
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

/* The first binding of a response as OID = TYPE VALUE, or its error status. */
std::string szAnswerText(const ZqPdu *pResponse) {
    if (pResponse == nullptr) return std::string("no answer (") + ZqsnmpErrString(ZqsnmpErrno) + ")";
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
           const std::string &szVerdict) {
    aSteps.push_back({szProbe, szRequest, szAnswer, szVerdict});
}

/* A field's value as text, "-" when it has none, "?" for an enumeration value
 * without a name. */
std::string szFieldText(ZqwObjectId uiObject, ZqwFieldId uiField) {
    char szText[TRV_FIELD_TEXT_SIZE];
    return iFieldText(uiObject, uiField, "-", szText, sizeof szText) == 2 ? "?" : szText;
}

void vWrite(const std::string &szObject, ZqwObjectId uiObject, const char *szField, ZqwFieldId uiField,
            const std::string &szWould) {
    aWrites.push_back({szObject, szField, szFieldText(uiObject, uiField), szWould});
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

std::string szJson(const std::string &szText) {
    std::string szOut = "\"";
    for (unsigned char c : szText) {
        if (c == '"' || c == '\\') {
            szOut += '\\';
            szOut += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char szEsc[8];
            snprintf(szEsc, sizeof szEsc, "\\u%04x", c);
            szOut += szEsc;
        } else if (c >= 0x80) {
            szOut += '?';  // answers are bytes, not necessarily UTF-8
        } else {
            szOut += static_cast<char>(c);
        }
    }
    return szOut + "\"";
}

/* The probes of a full discovery, in trvdis's order; the would-be writes.
 * Returns 1 when the node answered the agent check, else 0. */
int iExplain(ZqwObjectId uiNode, const char *szHost) {
    const std::string szNodeLabel = "node";
    int iManaged = iIsNodeManaged(uiNode);
    vStep("managed", "IP Status", szFieldText(uiNode, ZqwDbFieldNameToFieldId("IP Status")),
          iManaged == 1 ? "managed: trvdis handles the node"
                        : "not managed: trvdis leaves the node alone (the probes below run anyway)");
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
    vStep("agent", "GetNext ." + szOidText(aAgentOid, ZQ_ENT_LENGTH), szAnswerText(pResponse), szAgentVerdict);
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
        vWrite(szNodeLabel, uiNode, "trvOsType", uiFieldTrvOsType, "(unset)");
        vWrite(szNodeLabel, uiNode, "isTrvVantor", uiFieldIsTrvVantor, "(unset)");
        vWrite(szNodeLabel, uiNode, "isTrvRIXEN", uiFieldIsTrvRIXEN, "(unset)");
        vWrite(szNodeLabel, uiNode, "trvRIXENip", uiFieldTrvRIXENip, "(unset)");
        ZqwObjectId uiWeb = uiWebObject(szHost);
        if (!ZqwIsIdNull(uiWeb)) aWrites.push_back({"web object " + std::to_string(uiWeb), "(object)", "exists", "(deleted)"});
        return 1;
    }

    // The classification rules, in file order, until one matches.
    ZqSession *pSession = ZqsnmpOpen(nullptr, szHost, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    if (pSession == nullptr) {
        vStep("rules", "session", ZqsnmpErrString(ZqsnmpErrno), "no session: the node is not classified");
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
                  "no answer: trvdis tries no further rule and the node stays as it is");
            iNoAnswer = 1;
            break;
        }
        if (iMatch == 1) {
            pMatched = pRule;
            vStep(szProbe, szConditionText(pRule), szAnswerText(pResponse), "matches");
        } else {
            vStep(szProbe, szConditionText(pRule), szAnswerText(pResponse), "no match: " + szWhyNoMatch(pRule, pResponse));
        }
        ZqsnmpFreePdu(pResponse);
        pResponse = nullptr;
    }
    ZqsnmpClose(pSession);
    if (iNoAnswer) return 1;
    if (pMatched == nullptr) {
        vStep("rules", iRule == 0 ? "trvconfig.dat has no rules" : "every rule tried", "", "no rule matches");
        vWrite(szNodeLabel, uiNode, "trvSysType", uiFieldTrvSysType, "NonTarvo");
        vWrite(szNodeLabel, uiNode, "trvOsType", uiFieldTrvOsType, "(unset)");
        ZqwObjectId uiWeb = uiWebObject(szHost);
        if (!ZqwIsIdNull(uiWeb)) aWrites.push_back({"web object " + std::to_string(uiWeb), "(object)", "exists", "(deleted)"});
        return 1;
    }
    int iServer = strcmp(pMatched->szClass, "Server") == 0;
    std::string szOs = pMatched->szLabel != nullptr ? pMatched->szLabel : "";
    vWrite(szNodeLabel, uiNode, "trvSysType", uiFieldTrvSysType, iServer ? "TrvServer" : "TrvDesktop");
    vWrite(szNodeLabel, uiNode, "isTrvVantor", uiFieldIsTrvVantor, "TRUE");

    // The version probe: only for NT workstations.
    std::string szVersionRequest = "Get ." + szOidText(aVersionOid, EXP_LEN(aVersionOid)) + " (community nimbus)";
    if (szOs.compare(0, 7, "ntwkstn") == 0) {
        char *szVersion = CheckForVerNo(szHost);
        std::string szVerdict = "the OS stays " + szOs;
        if (szVersion != nullptr && strncmp(szVersion, "5.0", 3) == 0) szOs = "2kwkstn";
        else if (szVersion != nullptr && strncmp(szVersion, "5.1", 3) == 0) szOs = "winxpwkstn";
        if (szOs.compare(0, 7, "ntwkstn") != 0) szVerdict = "the OS becomes " + szOs;
        vStep("version", szVersionRequest,
              szVersion != nullptr ? "\"" + std::string(szVersion) + "\"" : std::string("no version"), szVerdict);
        free(szVersion);
    } else {
        vStep("version", szVersionRequest, "", "not asked: only an ntwkstn node is");
    }
    if (!szOs.empty()) vWrite(szNodeLabel, uiNode, "trvOsType", uiFieldTrvOsType, szOs);

    // The board probe.
    char szBoard[16];
    int iBoard = iProbeRixen(szHost, szBoard);
    vStep("board", "Get ." + szOidText(aRixenOid, EXP_LEN(aRixenOid)),
          iBoard == 1 ? std::string(szBoard) : iBoard < 0 ? "no answer" : "no board address",
          iBoard == 1 ? "a remote management board at " + std::string(szBoard)
                      : "no board: the stored board fields stay as they are");
    if (iBoard == 1) {
        vWrite(szNodeLabel, uiNode, "isTrvRIXEN", uiFieldIsTrvRIXEN, "TRUE");
        vWrite(szNodeLabel, uiNode, "trvRIXENip", uiFieldTrvRIXENip, szBoard);
    }

    // The web-agent probe and the web subsystem object.
    const char *szKind = iWeb == 1 ? "WEB_ENABLED" : "WEB_DISABLED";
    vStep("web agent", "HTTP to port " + std::to_string(uiWebAgentPort) + " of each address",
          iWeb == 1 ? "answers" : "no answer", std::string("web subsystem ") + szKind);
    ZqwObjectId uiWeb = uiWebObject(szHost);
    std::string szWebLabel = ZqwIsIdNull(uiWeb) ? "web object (new)" : "web object " + std::to_string(uiWeb);
    vWrite(szWebLabel, uiWeb, "trvSubSysType", uiFieldTrvSubSysType, szKind);

    // The condition poll.
    std::string szPoll = "Get ." + szOidText(aConditionOid, EXP_LEN(aConditionOid));
    pSession = ZqsnmpOpen(nullptr, szHost, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    if (pSession == nullptr) {
        vStep("condition", szPoll, ZqsnmpErrString(ZqsnmpErrno), "no session: the status stays as it is");
        return 1;
    }
    const TrvOid stOid = {aConditionOid, EXP_LEN(aConditionOid)};
    pResponse = GetNodeStatus(pSession, &stOid, 1);
    int iTimeout = pResponse == nullptr && ZqsnmpErrno == ZQSNMP_E_TIMEOUT;
    std::string szAnswer = szAnswerText(pResponse);
    const char *szStatus = pResponse != nullptr || iTimeout ? szStatusForCondition(pResponse) : nullptr;
    ZqsnmpFreePdu(pResponse);
    ZqsnmpClose(pSession);
    vStep("condition", szPoll, szAnswer,
          szStatus != nullptr ? std::string("status ") + szStatus : "no status: the stored one stays");
    if (szStatus != nullptr) vWrite(szWebLabel, uiWeb, "trvDeviceStatus", uiFieldTrvDeviceStatus, szStatus);
    return 1;
}

void vPrintText(const char *szName, ZqwObjectId uiNode, const char *szHost, int iAnswered) {
    printf("%s (object %u, host %s)\n\n", szName, static_cast<unsigned>(uiNode), szHost);
    for (const ExpStep &stStep : aSteps) {
        printf("%-10s %s\n", stStep.szProbe.c_str(), stStep.szRequest.c_str());
        if (!stStep.szAnswer.empty()) printf("%-10s   answer: %s\n", "", stStep.szAnswer.c_str());
        printf("%-10s   -> %s\n", "", stStep.szVerdict.c_str());
    }
    printf("\n");
    if (aWrites.empty()) {
        printf("trvdis would write nothing%s.\n", iAnswered ? "" : " (the node did not answer)");
        return;
    }
    size_t uiObject = 6, uiField = 5, uiNow = 3;
    for (const ExpWrite &stWrite : aWrites) {
        if (stWrite.szObject.size() > uiObject) uiObject = stWrite.szObject.size();
        if (stWrite.szField.size() > uiField) uiField = stWrite.szField.size();
        if (stWrite.szNow.size() > uiNow) uiNow = stWrite.szNow.size();
    }
    printf("trvdis would write:\n");
    printf("  %-*s  %-*s  %-*s  %s\n", static_cast<int>(uiObject), "OBJECT", static_cast<int>(uiField), "FIELD",
           static_cast<int>(uiNow), "NOW", "WOULD BE");
    for (const ExpWrite &stWrite : aWrites)
        printf("  %-*s  %-*s  %-*s  %s%s\n", static_cast<int>(uiObject), stWrite.szObject.c_str(),
               static_cast<int>(uiField), stWrite.szField.c_str(), static_cast<int>(uiNow), stWrite.szNow.c_str(),
               stWrite.szWould.c_str(), stWrite.szNow == stWrite.szWould ? " (unchanged)" : "");
}

void vPrintJson(const char *szName, ZqwObjectId uiNode, const char *szHost, int iAnswered) {
    std::string szOut = "{\"node\": " + szJson(szName) + ", \"id\": " + std::to_string(uiNode) +
                        ", \"host\": " + szJson(szHost) + ", \"answered\": " + (iAnswered ? "true" : "false") +
                        ", \"probes\": [";
    for (size_t i = 0; i < aSteps.size(); ++i)
        szOut += std::string(i ? ", " : "") + "{\"probe\": " + szJson(aSteps[i].szProbe) +
                 ", \"request\": " + szJson(aSteps[i].szRequest) + ", \"answer\": " + szJson(aSteps[i].szAnswer) +
                 ", \"verdict\": " + szJson(aSteps[i].szVerdict) + "}";
    szOut += "], \"writes\": [";
    for (size_t i = 0; i < aWrites.size(); ++i)
        szOut += std::string(i ? ", " : "") + "{\"object\": " + szJson(aWrites[i].szObject) +
                 ", \"field\": " + szJson(aWrites[i].szField) + ", \"now\": " + szJson(aWrites[i].szNow) +
                 ", \"would\": " + szJson(aWrites[i].szWould) + "}";
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
    uiNode = uiResolveName(szName, nullptr);
    if (ZqwIsIdNull(uiNode)) {
        fprintf(stderr, "trvexplain: no node \"%s\"\n", szName);
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
        int iAnswered = iExplain(uiNode, szHost);
        if (iJson)
            vPrintJson(szName, uiNode, szHost, iAnswered);
        else
            vPrintText(szName, uiNode, szHost, iAnswered);
        iResult = iAnswered ? 0 : 1;
    }

done:
    free(szHost);
    vFreeTrvConfig();
    ZqwDbDone();
    return iResult;
}
