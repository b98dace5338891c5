/*
 * trvrequest - asks trvdis to discover nodes again, or to refresh their status,
 * as the map application's menu actions do.
 *
 *   trvrequest discover|status NAME... [--wait] [--timeout SECONDS]
 *
 * NAME is a selection name, a host name or an object id.  The request goes out
 * through iSendInternalEvent, batched as the map application batches it (at
 * most 15 ids a message, 14 in the first).  With --wait the program holds an
 * event session with trapd from before the first message, waits for trvdis's
 * answer for every node (EVT_NODE_CHANGED after a discovery; EVT_STATUS_UPDATED,
 * or EVT_NODE_CHANGED for a node without status, after a status request) and
 * prints the node's fields as they are then.
 *
 * NAME may also be an address (or a name of conf/hosts) of one of the node's
 * interfaces.  A node trvdis will not answer for (unmanaged; with --wait also
 * one that is no vendor node and gives no SNMP answer) is named with the reason
 * and not waited for.
 *
 * Exit status: 0 sent (and, with --wait, every node answered); 1 a node did not
 * answer in time, or trvdis is not running; 2 bad arguments or unknown names;
 * 3 the database, trapd or the send failed; 4 a node trvdis does not handle
 * (the others were answered).
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

#include <string>
#include <vector>

#include "trvdis.h"
#include "trvlib.h"
#include "zqoid.h"
#include "zqsnmp.h"
#include "zqw.h"

#define REQ_BATCH          15   /* values a message carries at most */
#define REQ_DEFAULT_WAIT   120  /* seconds --wait waits by default */

namespace {

/* One named node and whether trvdis has answered for it; szNotHandled says why
 * trvdis will not answer for it ("" when it will). */
typedef struct ReqNode {
    std::string szName;
    ZqwObjectId uiId;
    int         iAnswered;
    std::string szNotHandled;
} ReqNode;

std::vector<ReqNode> aReqNodes;
int iWantSpecific = 0;   /* the event that completes a node */
int iLostTrapd = 0;

void vPrintUsage(FILE *pOut) {
    fprintf(pOut,
            "usage: trvrequest discover|status NAME... [--wait] [--timeout SECONDS]\n"
            "\n"
            "Asks trvdis for a full discovery (discover) or a status update (status) of\n"
            "the named nodes, as the map's \"Tarvo Discover\" and \"Tarvo Monitor\" do.\n"
            "NAME is a selection name, a host name, an object id, or an address (or a\n"
            "name of conf/hosts) of one of the node's interfaces.  A node trvdis will\n"
            "not answer for (unmanaged; with --wait also a silent node that is no vendor\n"
            "node) is named with the reason at once and not waited for.\n"
            "\n"
            "  --wait             wait until trvdis has handled every node and print its\n"
            "                     fields: class, OS, board, web subsystem and condition\n"
            "  --timeout SECONDS  how long --wait waits (default %d)\n"
            "\n"
            "Exit status: 0 done; 1 a node was not handled in time or trvdis is not\n"
            "running; 2 bad arguments or unknown names; 3 database, trapd or send failure;\n"
            "4 a node trvdis does not handle (the others done).\n",
            REQ_DEFAULT_WAIT);
}

/* Sends one message; 1 sent, -1 not. */
int iSendBatch(ZqPdu *pPdu, const TrvEventDef *pEvent) {
    return iSendInternalEvent(pPdu, pEvent->aEnterprise, TRV_EVENT_OID_LEN, 6, pEvent->iSpecific);
}

/* Sends the ids in messages of the map application's size: before position p
 * (from 1) that is a multiple of 15, the message in hand goes out.  1 all sent,
 * -1 a message failed (the rest is not sent). */
int iSendRequests(const TrvEventDef *pEvent) {
    static const ZqOid aName[] = {1};
    ZqPdu *pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) return -1;
    for (size_t i = 0; i < aReqNodes.size(); ++i) {
        size_t uiPosition = i + 1;
        if (uiPosition % REQ_BATCH == 0) {
            int iSent = iSendBatch(pPdu, pEvent);
            ZqsnmpFreePdu(pPdu);
            if (iSent != 1) return -1;
            pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
            if (pPdu == nullptr) return -1;
        }
        int32_t iValue = static_cast<int32_t>(aReqNodes[i].uiId);
        if (ZqsnmpAddTypedVarBind(pPdu, aName, 1, ZQ_ASN_INTEGER, &iValue, sizeof iValue) == nullptr) {
            ZqsnmpFreePdu(pPdu);
            return -1;
        }
    }
    int iSent = iSendBatch(pPdu, pEvent);
    ZqsnmpFreePdu(pPdu);
    return iSent;
}

/* The event-session callback: marks the nodes trvdis has answered for. */
void vEventCallback(int iReason, ZqSession *pSession, ZqPdu *pPdu, void *pData) {
    (void)pSession;
    (void)pData;
    if (iReason == ZQSNMP_REASON_LOST) iLostTrapd = 1;
    if (iReason != ZQSNMP_REASON_TRAP || pPdu == nullptr) {
        ZqsnmpFreePdu(pPdu);
        return;
    }
    const TrvEventDef *pChanged = pGetEventDef(EVT_NODE_CHANGED);
    const TrvEventDef *pUpdated = pGetEventDef(EVT_STATUS_UPDATED);
    int iSpecific = 0;
    if (pPdu->enterprise_length == TRV_EVENT_OID_LEN && pPdu->enterprise != nullptr) {
        if (iOidCompare(pPdu->enterprise, pChanged->aEnterprise, TRV_EVENT_OID_LEN) == 1)
            iSpecific = EVT_NODE_CHANGED;
        else if (iOidCompare(pPdu->enterprise, pUpdated->aEnterprise, TRV_EVENT_OID_LEN) == 1)
            iSpecific = EVT_STATUS_UPDATED;
    }
    /* A status request is answered by EVT_STATUS_UPDATED, or by EVT_NODE_CHANGED
     * alone for a node that has no status (not a vendor node, or silent). */
    int iCounts = iSpecific == iWantSpecific || (iWantSpecific == EVT_STATUS_UPDATED && iSpecific != 0);
    const ZqVarBind *pVar = pPdu->variables;
    if (iCounts && pVar != nullptr && pVar->type == ZQ_ASN_INTEGER && pVar->val.integer != nullptr) {
        ZqwObjectId uiId = static_cast<ZqwObjectId>(*pVar->val.integer);
        for (ReqNode &stNode : aReqNodes)
            if (stNode.uiId == uiId) stNode.iAnswered = 1;
    }
    ZqsnmpFreePdu(pPdu);
}

int iAllAnswered(void) {
    for (const ReqNode &stNode : aReqNodes)
        if (!stNode.iAnswered && stNode.szNotHandled.empty()) return 0;
    return 1;
}

/* Why trvdis will not answer for a node, "" when it will: it drops a request
 * for an unmanaged node, and (asked with bProbe) it tells nothing of a node that
 * is not a vendor node and gives no SNMP answer, which the same agent check
 * trvdis makes finds out at once. */
std::string szWhyNotHandled(ZqwObjectId uiNode, bool bProbe) {
    if (iIsNodeManaged(uiNode) != 1) return "not managed (IP Status Unmanaged): trvdis does not handle requests for it";
    if (!bProbe || ZqwDbGetFieldBooleanValue(uiNode, uiFieldIsTrvVantor) == 1) return "";
    char *szHost = ZqwDbObjectIdToHostname(uiNode);
    if (szHost == nullptr) return "";
    ZqPdu *pResponse = nullptr;
    short iAgent = iProbeAgent(szHost, &pResponse);
    ZqsnmpFreePdu(pResponse);
    ZqAgentSettings stAgent;
    int iKnown = ZqsnmpAgentSettings(szHost, &stAgent) == 0;
    free(szHost);
    if (iAgent != TRV_AGENT_NONE) return "";
    std::string szWhy = "no SNMP answer";
    if (iKnown)
        szWhy += " from " + std::string(stAgent.address) + ":" + std::to_string(stAgent.port) + " (community " +
                 stAgent.community + ", time-out " + std::to_string(stAgent.timeout_ms) + " ms, " +
                 std::to_string(stAgent.retries) + " retries)";
    return szWhy + ": trvdis keeps nothing of such a node and sends no answer for it";
}

/* A field's value as text ("" when it has none, also for an enumeration value
 * without a name). */
std::string szFieldText(ZqwObjectId uiObject, ZqwFieldId uiField) {
    char szText[TRV_FIELD_TEXT_SIZE];
    iFieldText(uiObject, uiField, "", szText, sizeof szText);
    return szText;
}

/* One line per node: the fields trvdis writes, as they are now. */
void vPrintNode(const ReqNode &stNode) {
    std::string szLine = stNode.szName + ":";
    struct {
        const char *szLabel;
        ZqwFieldId  uiField;
    } aShown[] = {{"class", uiFieldTrvSysType}, {"os", uiFieldTrvOsType}, {"board", uiFieldTrvRIXENip}};
    for (const auto &stShown : aShown) {
        std::string szValue = szFieldText(stNode.uiId, stShown.uiField);
        if (!szValue.empty()) szLine += std::string(" ") + stShown.szLabel + "=" + szValue;
    }
    ZqwFieldValue stOwner = stIntValue(static_cast<int32_t>(stNode.uiId));
    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValue(uiFieldTrvNodeObjId, &stOwner);
    for (unsigned int i = 0; pList != nullptr && i < pList->count; ++i) {
        std::string szKind = szFieldText(pList->object_ids[i], uiFieldTrvSubSysType);
        if (szKind != "WEB_ENABLED" && szKind != "WEB_DISABLED") continue;
        szLine += " web=" + szKind;
        std::string szCondition = szFieldText(pList->object_ids[i], uiFieldTrvDeviceStatus);
        if (!szCondition.empty()) szLine += " condition=" + szCondition;
        break;
    }
    ZqwDbFreeObjectIdList(pList);
    printf("%s\n", szLine.c_str());
}

/* Waits for the answers; 0 all came, 1 the time ran out, 3 trapd went away. */
int iWaitAnswers(ZqSession *pSession, long lSeconds) {
    time_t tEnd = time(nullptr) + lSeconds;
    while (!iAllAnswered() && !iLostTrapd) {
        time_t tNow = time(nullptr);
        if (tNow >= tEnd) return 1;
        fd_set stReadSet;
        FD_ZERO(&stReadSet);
        FD_SET(pSession->sock_fd, &stReadSet);
        struct timeval stWait = {static_cast<time_t>(tEnd - tNow), 0};
        int iReady = select(pSession->sock_fd + 1, &stReadSet, nullptr, nullptr, &stWait);
        if (iReady > 0) ZqsnmpRead(&stReadSet);
    }
    return iLostTrapd && !iAllAnswered() ? 3 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    int iWait = 0;
    long lTimeout = REQ_DEFAULT_WAIT;
    const char *szVerb = nullptr;
    std::vector<const char *> aNames;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            vPrintUsage(stdout);
            return 0;
        } else if (strcmp(argv[i], "--wait") == 0) {
            iWait = 1;
        } else if (strcmp(argv[i], "--timeout") == 0) {
            char *szEnd = nullptr;
            if (i + 1 >= argc || (lTimeout = strtol(argv[i + 1], &szEnd, 10)) <= 0 || *szEnd != '\0' ||
                lTimeout > 86400) {
                fprintf(stderr, "trvrequest: --timeout needs a number of seconds from 1 to 86400\n");
                return 2;
            }
            ++i;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "trvrequest: unknown option %s\n", argv[i]);
            vPrintUsage(stderr);
            return 2;
        } else if (szVerb == nullptr) {
            szVerb = argv[i];
        } else {
            aNames.push_back(argv[i]);
        }
    }
    if (szVerb == nullptr || (strcmp(szVerb, "discover") != 0 && strcmp(szVerb, "status") != 0) ||
        aNames.empty()) {
        vPrintUsage(stderr);
        return 2;
    }
    int iDiscover = strcmp(szVerb, "discover") == 0;
    const TrvEventDef *pEvent = pGetEventDef(iDiscover ? EVT_DISCOVER_REQUEST : EVT_STATUS_REQUEST);
    iWantSpecific = iDiscover ? EVT_NODE_CHANGED : EVT_STATUS_UPDATED;

    szProgramName = "trvrequest";
    if (ZqwDbInit() != 0) {
        fprintf(stderr, "trvrequest: cannot open the topology database (%s)\n", ZqwErrorMsg(ZqwError()));
        return 3;
    }
    int iResult = 0;
    ZqSession *pSession = nullptr;
    int iDbLost = 0, iNotHandled = 0;
    for (const char *szName : aNames) {
        ZqwObjectId uiId = uiResolveNodeOrAddress(szName, &iDbLost);
        if (ZqwIsIdNull(uiId)) {
            fprintf(stderr, "trvrequest: no node \"%s\"\n", szName);
            iResult = 2;
        }
        aReqNodes.push_back({szName, uiId, 0, ""});
    }
    if (iDbLost) {
        fprintf(stderr, "trvrequest: the topology database was lost\n");
        iResult = 3;
    }
    if (iResult != 0) goto done;
    if (iGetFieldIds() != 1) {
        fprintf(stderr, "trvrequest: the integration's fields are not registered in this database\n");
        iResult = 3;
        goto done;
    }
    /* Without trvdis nobody takes the request: say so rather than send into the void. */
    if (iIsTrvdisRunning() != 1) {
        fprintf(stderr, "trvrequest: trvdis is not running (no %s object); nothing sent\n", TRV_RUNNING_MARKER);
        iResult = 1;
        goto done;
    }
    if (iWait) {
        /* Open before sending, so no answer can come before we listen. */
        char szFilter[TRV_MAX_OID_TEXT_SUBIDS * TRV_OID_TEXT_PER_SUBID + 4] = ".";
        const ZqOid aEventArc[] = {ZQ_ENT_SUBIDS, 1, 3};
        iOidToText(aEventArc, ZQ_ENT_LENGTH + 2, szFilter + 1, sizeof szFilter - 4);
        strcat(szFilter, ".*");
        pSession = ZqsnmpEventOpen("127.0.0.1", "trvrequest", vEventCallback, nullptr, szFilter);
        if (pSession == nullptr) {
            fprintf(stderr, "trvrequest: no event session with trapd: %s\n", ZqsnmpErrString(ZqsnmpErrno));
            iResult = 3;
            goto done;
        }
    }
    for (ReqNode &stNode : aReqNodes) {
        stNode.szNotHandled = szWhyNotHandled(stNode.uiId, iWait != 0);
        if (stNode.szNotHandled.empty()) continue;
        fprintf(stderr, "trvrequest: %s: %s\n", stNode.szName.c_str(), stNode.szNotHandled.c_str());
        iNotHandled = 1;
    }
    if (iSendRequests(pEvent) != 1) {
        fprintf(stderr, "trvrequest: the request could not be sent to trapd: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        iResult = 3;
        goto done;
    }
    if (!iWait) {
        printf("%s requested for %zu node%s\n", pEvent->szName, aReqNodes.size(), aReqNodes.size() == 1 ? "" : "s");
        if (iNotHandled) iResult = 4;
        goto done;
    }
    iResult = iWaitAnswers(pSession, lTimeout);
    for (const ReqNode &stNode : aReqNodes) {
        if (stNode.iAnswered)
            vPrintNode(stNode);
        else if (stNode.szNotHandled.empty())
            fprintf(stderr, "trvrequest: %s: no answer from trvdis%s\n", stNode.szName.c_str(),
                    iLostTrapd ? " (the connection with trapd was lost)" : " in time");
    }
    if (iResult == 0 && iNotHandled) iResult = 4;

done:
    ZqsnmpClose(pSession);
    ZqwDbDone();
    return iResult;
}
