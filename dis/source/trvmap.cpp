// trvmap: start-up in order, the callback registrations, the wait loop over the
// map program and the trap session, map open and every exit, the trace file;
// the menu actions, the create-symbols and delete-objects events and the
// status-updated event; the configuration dialog and the uninstall cleanup.
#include "trvmap.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "winapi.h"
#include "zq.h"

int iMapDebug = 0;
FILE *fpMapDebug = nullptr;
ZqSession *pTrapRecvSession = nullptr;
int iMapDescriptor = -1;
ZqwMapInfo *pCurrentMap = nullptr;
int iUpdateEnabled = 1;
unsigned int uiConsolePort = TRVMAP_CONSOLE_PORT;

namespace {

const char kSrc[] = TRVMAP_SRC_MAIN;

// Source lines the debug records of this module carry.
const int kLineMapOpen = 921;
const int kLineUnsetNode = 1330;
const int kLineDeleteSubsystems = 1423;
const int kLineMonitorSent = 2070;
const int kLineMonitorLast = 2171;
const int kLineStatusAll = 2224;
const int kLineStatusValues = 2274;
const int kLineStatusHost = 2308;

const int kMsgNoTrvdis = 7001;
const int kMsgSendFailed = 7005;
const int kMsgTrvdisNotEnded = 7011;
const int kMsgInternalTrap = 8001;

const ZqOid aDiscoverOid[] = {ZQ_ENT_SUBIDS, 1, 3, 2};
const ZqOid aStatusUpdatedOid[] = {ZQ_ENT_SUBIDS, 1, 3, 11};
const ZqOid aStatusRequestOid[] = {ZQ_ENT_SUBIDS, 1, 3, 12};
const ZqOid aUninstallOid[] = {ZQ_ENT_SUBIDS, 1, 3, 20};
const ZqOid aEntOid[] = {ZQ_ENT_SUBIDS};

const char kMapRule[] = "===================================================================";

const char kUninstallText[] =
    " This operation will result in removing all the Velm Management Agent objects and symbols from the currently "
    "opened map only. This is a pre-requisite for uninstallation of the Vantor Integration for Tarnwick. Click OK to "
    "continue or Cancel to abort the operation.";
const char kBadAddressText[] = "Not a valid IP Address for Vantor Manager.";
const char kNoAgentText[] =
    "There was no response from the remote host. The machine may be down or the Velm Management Agents are not "
    "running on the remote machine. ";
const char kConsoleUpText[] = "Vantor Manager is running on ";
const char kConsoleDownText[] = "Vantor Manager is not running on ";
const char kNoValuesText[] = "Operation Not Valid\n";
const char kConsoleRequest[] = "GET /Proxy/StatusReport?Type=Summary HTTP/1.0\n\n";
const size_t kConsoleReply = 1000;

const char kUsage[] =
    "usage: trvmap [-dl 0|1|2]\n"
    "\n"
    "The Tarvo map application.  The map program zqw starts it from its\n"
    "registration (registration/trv.reg) once trvdis runs: it gives the vendor's\n"
    "nodes their symbol types, draws one component symbol per web subsystem object\n"
    "coloured by the node's condition, marks cluster members, serves the actions\n"
    "\"Tarvo Discover\" and \"Tarvo Monitor\", checks the Vantor Manager address and\n"
    "removes the integration from the open map before it is uninstalled.\n"
    "\n"
    "  -dl N    debug level: 0 none (default), 1 traces, 2 all traces with their\n"
    "           source lines, and optional error reports\n"
    "\n"
    "Logs: \\temp\\vtmzqerr.log and \\temp\\vtmzqdbg.log below the instance; the trace\n"
    "file \\temp\\trvmapdebug.log while \\temp\\srdbglog.txt exists at start.\n";

// What this process set up, so that an exit undoes only that.
bool bMapConnected = false;
// When the trap session may be tried again after trapd went away (monotonic s),
// and the wait before the attempt after that one.
long long llNextTrapAttempt = 0;
int iReconnectDelay = 1;

const char *szText(const char *sz) { return sz != nullptr ? sz : ""; }

void vApplyStatusOf(const std::vector<ZqwObjectId> &ids);

// Monotonic milliseconds.
long long llNowMs(void) {
    struct timespec stNow;
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return stNow.tv_sec * 1000LL + stNow.tv_nsec / 1000000L;
}

std::string szHostPathOf(const char *szWindowsPath) {
    char szPath[1024];
    int iLength = zqHostPath(szWindowsPath, szPath, sizeof szPath);
    if (iLength < 0 || static_cast<size_t>(iLength) >= sizeof szPath) return std::string();
    return szPath;
}

// The eight integration fields, in the order they are unset.
ZqwFieldIdList stIntegrationFields(ZqwFieldId *aIds) {
    aIds[0] = uiFieldTrvSysType;
    aIds[1] = uiFieldTrvOsType;
    aIds[2] = uiFieldTrvSubSysType;
    aIds[3] = uiFieldTrvDeviceStatus;
    aIds[4] = uiFieldTrvNodeObjId;
    aIds[5] = uiFieldIsTrvVantor;
    aIds[6] = uiFieldIsTrvRIXEN;
    aIds[7] = uiFieldTrvRIXENip;
    return ZqwFieldIdList{8, aIds};
}

// Adds an object id to a request message: an INTEGER of four bytes, so that
// ids above 255 arrive whole.
ZqVarBind *pAddObjectId(ZqPdu *pPdu, const ZqOid *pName, ZqwObjectId uiId) {
    int32_t iValue = static_cast<int32_t>(uiId);
    return ZqsnmpAddTypedVarBind(pPdu, pName, TRV_EVENT_OID_LEN, ZQ_ASN_INTEGER, &iValue, sizeof iValue);
}

// The texts of the two discovery-request senders.
struct DiscoverTexts {
    const char *szNoPdu;
    const char *szNoBinding;
};

// Sends EVT_DISCOVER_REQUEST for ids in batches; every id is sent whatever it is.
void vSendDiscoverRequests(const ZqwObjectId *pIds, unsigned int uiCount, const DiscoverTexts &texts) {
    if (uiCount == 0) return;
    ZqPdu *pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "%s", texts.szNoPdu);
        return;
    }
    for (unsigned int i = 0; i < uiCount; ++i) {
        if (iBatchBoundary(static_cast<int>(i + 1)) == 1) {
            if (iSendInternalEvent(pPdu, aDiscoverOid, TRV_EVENT_OID_LEN, 6, EVT_DISCOVER_REQUEST) == -1) {
                // The values so far stay and go with the next message; this one is dropped.
                iPrintError(kMsgSendFailed, "Could not send trap to trvdis process.\n");
                continue;
            }
            ZqsnmpFreePdu(pPdu);
            pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
            if (pPdu == nullptr) {
                iPrintError(TRV_ERR_SYSTEM, "%s", texts.szNoPdu);
                return;
            }
        }
        if (pAddObjectId(pPdu, aDiscoverOid, pIds[i]) == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "%s", texts.szNoBinding);
            ZqsnmpFreePdu(pPdu);
            return;
        }
    }
    if (iSendInternalEvent(pPdu, aDiscoverOid, TRV_EVENT_OID_LEN, 6, EVT_DISCOVER_REQUEST) == -1)
        iPrintError(kMsgSendFailed, "Could not send trap to trvdis process.\n");
    ZqsnmpFreePdu(pPdu);
}

// The node a "Tarvo Monitor" selection stands for, or the null id when it is
// skipped.
ZqwObjectId uiMonitoredNode(ZqwObjectId uiObject, const ZqwMapInfo *pMap) {
    if (ZqwIsIdNull(uiObject)) return ZQW_NULL_ID;
    int iKind = iGetNodeKind(uiObject);
    if (iKind == -1) return ZQW_NULL_ID;
    if (iKind == 2) {
        int iNode = iGetNodeObjId(uiObject);
        if (iNode <= 0) return ZQW_NULL_ID;
        uiObject = static_cast<ZqwObjectId>(iNode);
    }
    if (ZqwDbGetFieldBooleanValue(uiObject, uiFieldIsTrvVantor) != 1 || ZqwError() != ZQW_E_OK) return ZQW_NULL_ID;
    ZqwSymbolList *pSymbols = ZqwGetSymbolsByObject(pMap, uiObject);
    if (pSymbols == nullptr) return ZQW_NULL_ID;
    bool bManaged = pSymbols->count > 0 && iIsSymbolManaged(pSymbols->entries[0].symbol) != 0;
    ZqwFreeSymbolList(pSymbols);
    return bManaged ? uiObject : ZQW_NULL_ID;
}

// 1 when the values ask for the uninstall cleanup (their first entry, a boolean).
bool bUninstallRequested(const ZqwFieldBindList *pValues) {
    if (pValues == nullptr || pValues->count == 0 || pValues->entries == nullptr) return false;
    const ZqwFieldValue *pValue = pValues->entries[0].value;
    return pValue != nullptr && pValue->field_type == ZQW_BOOL_FIELD && pValue->un.bool_val == 1;
}

// The text of the first entry of a field, or null.
const char *szValueOf(const ZqwFieldBindList *pValues, ZqwFieldId uiField) {
    if (pValues == nullptr || pValues->entries == nullptr || ZqwIsIdNull(uiField)) return nullptr;
    for (unsigned int i = 0; i < pValues->count; ++i) {
        const ZqwFieldBinding &stEntry = pValues->entries[i];
        if (stEntry.field_id != uiField) continue;
        if (stEntry.value == nullptr || stEntry.value->field_type != ZQW_STRING_FIELD) return nullptr;
        return stEntry.value->un.string_val;
    }
    return nullptr;
}

// Waits until fd is ready for events or the time is up; true when ready.
bool bWaitFor(int iFd, short iEvents, int iSeconds) {
    struct pollfd stPoll = {iFd, iEvents, 0};
    int iLeft = iSeconds * 1000;
    struct timespec stStart;
    clock_gettime(CLOCK_MONOTONIC, &stStart);
    for (;;) {
        int iReady = poll(&stPoll, 1, iLeft);
        if (iReady > 0) return (stPoll.revents & (iEvents | POLLHUP | POLLERR)) != 0;
        if (iReady == 0 || errno != EINTR) return false;
        struct timespec stNow;
        clock_gettime(CLOCK_MONOTONIC, &stNow);
        long lSpent = (stNow.tv_sec - stStart.tv_sec) * 1000L + (stNow.tv_nsec - stStart.tv_nsec) / 1000000L;
        iLeft = iSeconds * 1000 - static_cast<int>(lSpent);
        if (iLeft <= 0) return false;
    }
}

// The console's answer to the status request, or -1; the socket is ours.
int iAskConsole(int iSocket, const struct sockaddr_in *pAddress) {
    int iFlags = fcntl(iSocket, F_GETFL, 0);
    if (iFlags < 0 || fcntl(iSocket, F_SETFL, iFlags | O_NONBLOCK) < 0) return -1;
    if (connect(iSocket, reinterpret_cast<const struct sockaddr *>(pAddress), sizeof *pAddress) != 0) {
        if (errno != EINPROGRESS) return -1;
        if (!bWaitFor(iSocket, POLLOUT, TRVMAP_CONSOLE_WAIT)) return -1;
        int iError = 0;
        socklen_t uiLength = sizeof iError;
        if (getsockopt(iSocket, SOL_SOCKET, SO_ERROR, &iError, &uiLength) != 0 || iError != 0) return -1;
    } else if (!bWaitFor(iSocket, POLLOUT, TRVMAP_CONSOLE_WAIT)) {
        return -1;
    }
    if (send(iSocket, kConsoleRequest, sizeof kConsoleRequest - 1, MSG_NOSIGNAL) <= 0) return -1;
    if (!bWaitFor(iSocket, POLLIN, TRVMAP_CONSOLE_WAIT)) return -1;
    char szReply[kConsoleReply];
    ssize_t iRead = recv(iSocket, szReply, sizeof szReply, 0);
    if (iRead <= 0) return -1;
    std::string_view svReply(szReply, static_cast<size_t>(iRead));
    return svReply.find("HTTP/") != std::string_view::npos ? 1 : -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// The trace file
// ---------------------------------------------------------------------------

void vMapTrace(const char *szFormat, ...) {
    if (iMapDebug != 1 || fpMapDebug == nullptr) return;
    va_list ap;
    va_start(ap, szFormat);
    vfprintf(fpMapDebug, szFormat, ap);
    va_end(ap);
    fflush(fpMapDebug);
}

void vOpenMapTrace(void) {
    iMapDebug = 0;
    std::string szMarker = szHostPathOf(TRVMAP_TRACE_MARKER);
    if (szMarker.empty() || access(szMarker.c_str(), F_OK) != 0) return;
    // Created or emptied, but only as a regular file of its own: never through
    // a link, never a device or a pipe.
    std::string szTrace = szHostPathOf(TRVMAP_TRACE_FILE);
    int iFd = szTrace.empty() ? -1
                              : open(szTrace.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat stInfo;
    if (iFd >= 0 && (fstat(iFd, &stInfo) != 0 || !S_ISREG(stInfo.st_mode) || ftruncate(iFd, 0) != 0)) {
        close(iFd);
        iFd = -1;
    }
    if (iFd >= 0) {
        int iFlags = fcntl(iFd, F_GETFL, 0);
        if (iFlags >= 0) fcntl(iFd, F_SETFL, iFlags & ~O_NONBLOCK);
        fpMapDebug = fdopen(iFd, "w");
        if (fpMapDebug == nullptr) close(iFd);
    }
    if (fpMapDebug == nullptr) {
        // Nothing could be written: tracing stays off.
        fprintf(stderr, "trvmap: cannot write the trace file \"%s\"; tracing is off.\n", szTrace.c_str());
        return;
    }
    iMapDebug = 1;
    vMapTrace("MapDebug file opened for debug logging.\n");
}

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------

void vGracefulExit(void) {
    vMapTrace("\nGracefully exiting...\n");
    vMapTrace("Close pTrapRecvSession.\n");
    vMapTrace("Call ZqwDone.\n");
    if (pTrapRecvSession != nullptr) {
        ZqsnmpClose(pTrapRecvSession);
        pTrapRecvSession = nullptr;
    }
    if (bMapConnected) {
        ZqwRemoveCallback(ZQW_EVENT_MAP_OPEN, nullptr);
        ZqwDone();
        bMapConnected = false;
    }
    fflush(stdout);
    fflush(stderr);
    exit(0);
}

void vExitCB(void * /*pData*/, int /*iEvent*/, ZqwMapInfo * /*pMap*/, void * /*pEventData*/) { vGracefulExit(); }

ZqwFieldBindList *pBuildCreateSymbolsFilter(int iKind) {
    ZqwFieldId uiFirst = iKind == 1 ? uiFieldIsComputer : iKind == 2 ? uiFieldIsServer : iKind == 3 ? uiFieldIsClient
                                                                                                      : ZQW_NULL_ID;
    if (ZqwIsIdNull(uiFirst)) return nullptr;
    ZqwFieldBindList *pList = static_cast<ZqwFieldBindList *>(ZqsnmpMalloc(sizeof(ZqwFieldBindList)));
    if (pList == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "");
        return nullptr;
    }
    pList->entries = static_cast<ZqwFieldBinding *>(ZqsnmpMalloc(2 * sizeof(ZqwFieldBinding)));
    if (pList->entries == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "");
        ZqwDbFreeFieldBindList(pList);
        return nullptr;
    }
    pList->count = 2;
    const ZqwFieldId aFields[2] = {uiFirst, uiFieldIsSNMPSupported};
    for (int i = 0; i < 2; ++i) {
        ZqwFieldValue *pValue = static_cast<ZqwFieldValue *>(ZqsnmpMalloc(sizeof(ZqwFieldValue)));
        if (pValue == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "");
            ZqwDbFreeFieldBindList(pList);
            return nullptr;
        }
        pValue->is_list = 0;
        pValue->field_type = ZQW_BOOL_FIELD;
        pValue->un.bool_val = 1;
        pList->entries[i].field_id = aFields[i];
        pList->entries[i].value = pValue;
    }
    return pList;
}

int iOpenTrapSession(void) {
    ZqSession *pSession = ZqsnmpTrapOpen(vTrapRecvCB, nullptr);
    if (pSession == nullptr) return -1;
    pSession->flags |= ZQSNMP_FLAG_V1_FORM;
    pTrapRecvSession = pSession;
    return 1;
}

void vTrapSessionLost(ZqSession *pSession) {
    errno = ECONNRESET;
    iPrintError(TRV_ERR_SYSTEM, "Lost connection with trapd; trying again after 1 second, then every %d seconds at most.",
                TRVMAP_RECONNECT);
    vMapTrace("trvmap - lost the session with TWK trapd\n");
    ZqsnmpClose(pSession);
    if (pSession == pTrapRecvSession) pTrapRecvSession = nullptr;
    // zqspmd brings trapd back within a second or two: the first attempt comes
    // as soon, so that little is missed.
    iReconnectDelay = 1;
    llNextTrapAttempt = llNowMs() + iReconnectDelay * 1000LL;
}

void vResyncAfterReopen(void) {
    vMapTrace("trvmap - synchronising the map after the trap session was opened again\n");
    ZqwMapInfo *pMap = ZqwGetMapInfo();
    if (pMap == nullptr) {
        iPrintError(TRV_ERR_ZQW, "Could not get map info.");
        return;
    }
    vMapOpenCB(nullptr, 0, pMap, nullptr);
    ZqwFreeMapInfo(pMap);
    if (iUpdateEnabled != 0) vApplyAllSubSysStatus();
}

void vMapOpenCB(void * /*pData*/, int /*iEvent*/, ZqwMapInfo *pMap, void * /*pEventData*/) {
    vMapTrace("trvmap - entering vMapOpenCB\n");
    if (pMap == nullptr) return;
    vMapTrace("\n\n%s\n Currently opened MAP is:%s\n%s\n", kMapRule, szText(pMap->name), kMapRule);
    iPrintDebug(kLineMapOpen, kSrc, 1, "\n\n%s\n Currently opened MAP is:%s\n%s", kMapRule, szText(pMap->name),
                kMapRule);
    if (ZqwBeginMapSync(pMap) < 0) {
        iPrintError(TRV_ERR_ZQW, "");
        return;
    }
    if (pCurrentMap != nullptr) ZqwFreeMapInfo(pCurrentMap);
    pCurrentMap = ZqwCopyMapInfo(pMap);
    ZqwEndMapSync(pMap);

    TrvObjIdList *pList = pGetObjIdFromMap();
    if (pList == nullptr) return;
    if (pList->pIds == nullptr) {
        vFreeObjIdList(pList);
        return;
    }
    vMapTrace("trvmap - call to vUpdateMap from vMapOpenCB\n");
    vUpdateMap(pList);
    vMapTrace("trvmap - called vUpdateMap\n");
    vFreeObjIdList(pList);
    vMapTrace("trvmap - called ZqsnmpFree\n");
}

void vWaitLoopPass(int iTimeoutMs) {
    // The set is rebuilt for every wait: the trap session may have gone or come.
    fd_set stReadSet;
    FD_ZERO(&stReadSet);
    int iWidth = 0;
    int iTrapFd = pTrapRecvSession != nullptr ? pTrapRecvSession->sock_fd : -1;
    if (iTrapFd >= 0 && iTrapFd < FD_SETSIZE) {
        FD_SET(iTrapFd, &stReadSet);
        if (iTrapFd + 1 > iWidth) iWidth = iTrapFd + 1;
    }
    if (iMapDescriptor >= 0 && iMapDescriptor < FD_SETSIZE) {
        FD_SET(iMapDescriptor, &stReadSet);
        if (iMapDescriptor + 1 > iWidth) iWidth = iMapDescriptor + 1;
    }

    // Without a trap session the wait ends in time for the next attempt.
    long lWaitMs = iTimeoutMs;
    if (pTrapRecvSession == nullptr) {
        long lUntil = static_cast<long>(llNextTrapAttempt - llNowMs());
        if (lUntil < 0) lUntil = 0;
        if (lWaitMs < 0 || lUntil < lWaitMs) lWaitMs = lUntil;
    }
    struct timeval stTimeout = {lWaitMs / 1000, (lWaitMs % 1000) * 1000};
    int iReady = select(iWidth, &stReadSet, nullptr, nullptr, lWaitMs < 0 ? nullptr : &stTimeout);
    if (iReady < 0) {
        int iErr = errno;
        if (iErr == EINTR) return;
        if (iErr == EBADF) {
            iPrintError(TRV_ERR_SYSTEM, "select call returned with -ve value.");
            ZqwDone();
            ZqsnmpClose(pTrapRecvSession);
            exit(1);
        }
        // What select leaves in the set after a failure means nothing.
        iPrintError(TRV_ERR_SYSTEM, "select call returned with -ve value.");
        FD_ZERO(&stReadSet);
    }

    if (iMapDescriptor >= 0 && iMapDescriptor < FD_SETSIZE && FD_ISSET(iMapDescriptor, &stReadSet)) {
        if (ZqwProcessEvent() < 0) {
            iPrintError(TRV_ERR_ZQW, "");
            vGracefulExit();
        }
    }
    if (iTrapFd >= 0 && pTrapRecvSession != nullptr && pTrapRecvSession->sock_fd == iTrapFd &&
        FD_ISSET(iTrapFd, &stReadSet))
        ZqsnmpRead(&stReadSet);

    if (pTrapRecvSession == nullptr && llNowMs() >= llNextTrapAttempt) {
        iReconnectDelay = iReconnectDelay * 2 > TRVMAP_RECONNECT ? TRVMAP_RECONNECT : iReconnectDelay * 2;
        llNextTrapAttempt = llNowMs() + iReconnectDelay * 1000LL;
        if (iOpenTrapSession() == 1) {
            vMapTrace("trvmap - trap session established\n");
            iPrintDebug(__LINE__, kSrc, 1, "The session with trapd is open again.\n");
            // What trvdis said meanwhile went to nobody: read the map's state again.
            vResyncAfterReopen();
        }
    }
}

int iTrvmapMain(int iArgc, char **ppArgv) {
    if (iHelpAsked(iArgc, ppArgv)) {
        fputs(kUsage, stdout);
        return 0;
    }
    szProgramName = "trvmap";
    signal(SIGPIPE, SIG_IGN);
    // What logrotate or an operator sends to a whole process group must not end
    // the map application; it has no file to reopen.
    signal(SIGHUP, SIG_IGN);

    // 1. The trace file.  2. The debug level.
    vOpenMapTrace();
    uiDebugLevel = iGetDebugLevel(iArgc, ppArgv);

    // 3. The locale.
    if (setlocale(LC_ALL, "") == nullptr) {
        iPrintError(0, "Error setting specified locale(native language).Continuing with \"C\"\n");
        setlocale(LC_ALL, "C");
    }

    // 4. The map program.
    if (_ZqwInit(7) < 0) {
        iPrintError(TRV_ERR_ZQW, "");
        vGracefulExit();
    }
    bMapConnected = true;

    // 5. The field registry.  6. trvdis must run.
    if (iGetFieldIds() == -1) vGracefulExit();
    if (iIsTrvdisRunning() != 1) {
        iPrintError(kMsgNoTrvdis, "trvdis process not running, start trvdis process before starting zqw.\n");
        vGracefulExit();
    }

    // 7. The callbacks.
    if (ZqwAddCallback(ZQW_EVENT_DELETE_OBJECTS, nullptr, vDeleteObjectsCB, nullptr) != 0) {
        iPrintError(TRV_ERR_ZQW, " ");
        vGracefulExit();
    }
    if (ZqwAddCallback(ZQW_EVENT_QUERY_APP_CONFIG, nullptr, vQueryAppConfigCB, nullptr) != 0) {
        iPrintError(TRV_ERR_ZQW, "Could not register for zqwQueryAppConfigChange.");
        vGracefulExit();
    }
    if (ZqwAddCallback(ZQW_EVENT_CONFIRM_APP_CONFIG, nullptr, vConfirmAppConfigCB, nullptr) != 0) {
        iPrintError(TRV_ERR_ZQW, "Could not register for zqwConfirmAppConfigChange.");
        vGracefulExit();
    }
    for (int iKind = 1; iKind <= 3; ++iKind) {
        ZqwFieldBindList *pFilter = pBuildCreateSymbolsFilter(iKind);
        if (pFilter == nullptr) {
            iPrintError(TRV_ERR_ZQW, "");
            vGracefulExit();
        }
        int iResult = ZqwAddCallback(ZQW_EVENT_CONFIRM_CREATE_SYMBOLS, pFilter, vCreateSymbolsCB, nullptr);
        ZqwDbFreeFieldBindList(pFilter);
        if (iResult != 0) {
            iPrintError(TRV_ERR_ZQW, "Could not register for zqwConfirmCreateSymbols event.");
            vGracefulExit();
        }
    }
    if (ZqwAddCallback(ZQW_EVENT_MAP_OPEN, nullptr, vMapOpenCB, nullptr) != 0) {
        iPrintError(TRV_ERR_ZQW, "Could not register for map open event.");
        vGracefulExit();
    }
    if (ZqwAddCallback(ZQW_EVENT_CONFIRM_MANAGE_OBJECTS, nullptr, vManageObjectsCB, nullptr) != 0) {
        iPrintError(TRV_ERR_ZQW, "Could not register for ConfirmManageObjects event.");
        vGracefulExit();
    }
    vMapTrace("trvmap - callback for symbol creation done\n");
    if (ZqwAddCallback(ZQW_EVENT_EXIT, nullptr, vExitCB, nullptr) < 0) {
        iPrintError(TRV_ERR_ZQW, "%s :", ZqwErrorMsg(ZqwError()));
        vGracefulExit();
    }
    if (ZqwAddActionCallback(TRVMAP_ACTION_DISCOVER, vMenuClickCB, nullptr) < 0) {
        iPrintError(TRV_ERR_ZQW, "%s :", ZqwErrorMsg(ZqwError()));
        vGracefulExit();
    }
    if (ZqwAddActionCallback(TRVMAP_ACTION_MONITOR, vMonitorClickCB, nullptr) < 0) {
        iPrintError(TRV_ERR_ZQW, nullptr);
        vGracefulExit();
    }

    // 8. The map descriptor.
    iMapDescriptor = ZqwFileDescriptor();
    if (iMapDescriptor < 0) {
        iPrintError(TRV_ERR_ZQW, "");
        vGracefulExit();
    }

    // 9. The trap session.
    vMapTrace("trvmap - establish a session with TWK trapd\n");
    if (iOpenTrapSession() != 1) {
        iPrintError(TRV_ERR_SYSTEM, "Could not open trap session.");
        vGracefulExit();
    }
    vMapTrace("trvmap - trap session established\n");

    // 10, 11. The map open now is synchronised at once; without its information
    // the first synchronisation waits for the next map open.
    ZqwMapInfo *pMap = ZqwGetMapInfo();
    if (pMap == nullptr) {
        iPrintError(TRV_ERR_ZQW, "Could not get map info.");
        vMapTrace("trvmap - could not get map info\n");
    } else {
        vMapOpenCB(nullptr, 0, pMap, nullptr);
        ZqwFreeMapInfo(pMap);
    }

    // 12. The wait loop.
    vMapTrace("trvmap - entering while loop in main\n");
    for (;;) vWaitLoopPass(-1);
}

// ---------------------------------------------------------------------------
// Menu actions, created symbols, deleted objects
// ---------------------------------------------------------------------------

int iBatchBoundary(int iPosition) { return iPosition > 0 && iPosition % TRVMAP_BATCH == 0 ? 1 : 0; }

void vMenuClickCB(void * /*pData*/, const char *szAction, const char * /*szMenuItem*/, ZqwObjectIdList *pSelection,
                  int /*iArgc*/, char ** /*ppArgv*/, ZqwMapInfo * /*pMap*/) {
    vMapTrace("trvmap - entering vMenuClickCB\n");
    if (szAction == nullptr || strcmp(szAction, TRVMAP_ACTION_DISCOVER) != 0) return;
    static const DiscoverTexts stTexts = {"Could not form trap pdu.", "Could not add typed var."};
    if (pSelection == nullptr || pSelection->object_ids == nullptr) return;
    vSendDiscoverRequests(pSelection->object_ids, pSelection->count, stTexts);
}

void vCreateSymbolsCB(void * /*pData*/, int iEvent, ZqwMapInfo * /*pMap*/, void *pEventData) {
    if (iEvent != ZQW_EVENT_CONFIRM_CREATE_SYMBOLS) return;
    const ZqwSymbolList *pSymbols = static_cast<const ZqwSymbolList *>(pEventData);
    if (pSymbols == nullptr || pSymbols->count == 0 || pSymbols->entries == nullptr) return;
    ZqwObjectId *pIds = static_cast<ZqwObjectId *>(ZqsnmpMalloc(pSymbols->count * sizeof(ZqwObjectId)));
    if (pIds == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "");
        return;
    }
    for (unsigned int i = 0; i < pSymbols->count; ++i) pIds[i] = pSymbols->entries[i].object;
    static const DiscoverTexts stTexts = {"Could not form Trap PDU.", "Could not add Typed Varbind."};
    vSendDiscoverRequests(pIds, pSymbols->count, stTexts);
    ZqsnmpFree(pIds);
}

void vMonitorClickCB(void * /*pData*/, const char *szAction, const char * /*szMenuItem*/, ZqwObjectIdList *pSelection,
                     int /*iArgc*/, char ** /*ppArgv*/, ZqwMapInfo *pMap) {
    if (szAction == nullptr || strcmp(szAction, TRVMAP_ACTION_MONITOR) != 0) return;
    ZqPdu *pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pPdu == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "Could not form trap PDU");
        return;
    }
    pPdu->trap_type = 6;
    pPdu->specific_type = EVT_STATUS_REQUEST;
    unsigned int uiCount = pSelection != nullptr && pSelection->object_ids != nullptr ? pSelection->count : 0;
    for (unsigned int i = 0; i < uiCount; ++i) {
        if (iBatchBoundary(static_cast<int>(i + 1)) == 1) {
            if (iSendInternalEvent(pPdu, aStatusRequestOid, TRV_EVENT_OID_LEN, 6, EVT_STATUS_REQUEST) == -1) {
                iPrintError(kMsgInternalTrap, "Unable to send an internal trap");
                ZqsnmpFreePdu(pPdu);
                return;
            }
            iPrintDebug(kLineMonitorSent, kSrc, 1, "Trap sent to trvupdate requesting for on-demand status updation.\n");
            ZqsnmpFreePdu(pPdu);
            pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
            if (pPdu == nullptr) {
                iPrintError(TRV_ERR_SYSTEM, "Could not form trap PDU");
                return;
            }
            pPdu->trap_type = 6;
            pPdu->specific_type = EVT_STATUS_REQUEST;
        }
        ZqwObjectId uiNode = uiMonitoredNode(pSelection->object_ids[i], pMap);
        if (ZqwIsIdNull(uiNode)) continue;
        if (pAddObjectId(pPdu, aStatusRequestOid, uiNode) == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "Could not add typed var bind");
            ZqsnmpFreePdu(pPdu);
            return;
        }
    }
    if (uiCount > 0) {
        if (iSendInternalEvent(pPdu, aStatusRequestOid, TRV_EVENT_OID_LEN, 6, EVT_STATUS_REQUEST) == -1)
            iPrintError(kMsgInternalTrap, "Unable to send an internal trap");
        else
            iPrintDebug(kLineMonitorLast, kSrc, 1, "Trap sent to trvupdate requesting for on-demand status updation.\n");
    }
    ZqsnmpFreePdu(pPdu);
}

void vDeleteObjectsCB(void * /*pData*/, int /*iEvent*/, ZqwMapInfo * /*pMap*/, void *pEventData) {
    const ZqwObjectList *pObjects = static_cast<const ZqwObjectList *>(pEventData);
    ZqwFieldId aIds[8];
    ZqwFieldIdList stFields = stIntegrationFields(aIds);
    for (unsigned int i = 0; pObjects != nullptr && pObjects->entries != nullptr && i < pObjects->count; ++i) {
        const ZqwObjectInfo &stObject = pObjects->entries[i];
        if (stObject.state != 2) continue;
        if (ZqwDbUnsetFieldValues(stObject.object, &stFields) != 1 && ZqwError() != ZQW_E_NOOBJECT)
            iPrintError(TRV_ERR_ZQW, "");
        ZqwDbDeleteObject(stObject.object);
    }
}

// ---------------------------------------------------------------------------
// Status updates from trvdis
// ---------------------------------------------------------------------------

ZqwObjectList *pGetVantorObjectsOnMap(void) {
    ZqwMapInfo *pMap = ZqwGetMapInfo();
    if (pMap == nullptr) {
        iPrintError(TRV_ERR_ZQW, "");
        return nullptr;
    }
    if (ZqwIsIdNull(uiFieldIsTrvVantor)) {
        ZqwFreeMapInfo(pMap);
        return nullptr;
    }
    ZqwFieldValue stTrue = stBoolValue(1);
    ZqwFieldBinding stBinding = {uiFieldIsTrvVantor, &stTrue};
    ZqwFieldBindList stFilter = {1, &stBinding};
    ZqwObjectList *pObjects = ZqwListObjectsOnMap(pMap, &stFilter);
    if (pObjects == nullptr) {
        if (ZqwError() == ZQW_E_NOFIELD)
            iPrintError(TRV_ERR_ZQW, "%s :", "isTrvVantor");
        else
            iPrintError(TRV_ERR_ZQW, "");
    }
    ZqwFreeMapInfo(pMap);
    return pObjects;
}

ZqwObjectIdList *pListSubSysObjects(ZqwObjectId uiNode) {
    if (ZqwIsIdNull(uiFieldTrvNodeObjId)) {
        iPrintError(TRV_ERR_ZQW, "%s :", "trvNodeObjId");
        return nullptr;
    }
    return pListSubSysObjIds(uiNode);
}

void vApplySubSysStatus(const ZqwObjectIdList *pList, const ZqwMapInfo *pMap) {
    for (unsigned int i = 0; pList != nullptr && i < pList->count; ++i) {
        ZqwObjectId uiObject = pList->object_ids[i];
        if (ZqwIsIdNull(uiObject)) continue;
        char *szStatus = ZqwDbGetFieldEnumByName(uiObject, uiFieldTrvDeviceStatus);
        if (szStatus == nullptr) continue;
        ZqwSetStatusOnObject(pMap, uiObject, iStatusNameToCode(szStatus));
        free(szStatus);
    }
}

void vStatusUpdatedTrap(int /*iReason*/, ZqSession * /*pSession*/, ZqPdu *pPdu, void * /*pData*/) {
    if (pPdu == nullptr) return;
    if (pPdu->enterprise == nullptr || pPdu->enterprise_length != TRV_EVENT_OID_LEN ||
        iOidCompare(pPdu->enterprise, aStatusUpdatedOid, TRV_EVENT_OID_LEN) != 1) {
        ZqsnmpFreePdu(pPdu);
        return;
    }
    // The nodes: those the trap names, else every vendor node of the map.
    std::vector<ZqwObjectId> ids;
    if (pPdu->variables != nullptr) {
        iPrintDebug(kLineStatusValues, kSrc, 2, "Trap received from trvupdate after status updation.\n");
        for (const ZqVarBind *pVar = pPdu->variables; pVar != nullptr; pVar = pVar->next_variable) {
            int32_t iValue = pVar->type == ZQ_ASN_INTEGER && pVar->val.integer != nullptr ? *pVar->val.integer : 0;
            ids.push_back(iValue > 0 ? static_cast<ZqwObjectId>(iValue) : ZQW_NULL_ID);
        }
    } else {
        iPrintDebug(kLineStatusAll, kSrc, 1, "Trap received from trvupdate after status updation.\n");
        ZqsnmpFreePdu(pPdu);
        vApplyAllSubSysStatus();
        return;
    }
    vApplyStatusOf(ids);
    ZqsnmpFreePdu(pPdu);
}

void vApplyAllSubSysStatus(void) {
    ZqwObjectList *pObjects = pGetVantorObjectsOnMap();
    if (pObjects == nullptr) return;
    std::vector<ZqwObjectId> ids;
    for (unsigned int i = 0; i < pObjects->count; ++i) ids.push_back(pObjects->entries[i].object);
    ZqwFreeObjectList(pObjects);
    vApplyStatusOf(ids);
}

namespace {

// The subsystems of each node get their status on the open map.
void vApplyStatusOf(const std::vector<ZqwObjectId> &ids) {
    ZqwMapInfo *pMap = ZqwGetMapInfo();
    if (pMap == nullptr) {
        iPrintError(TRV_ERR_ZQW, "");
        return;
    }
    for (ZqwObjectId uiNode : ids) {
        if (ZqwIsIdNull(uiNode)) continue;
        ZqwObjectIdList *pSubsystems = pListSubSysObjects(uiNode);
        if (pSubsystems == nullptr) continue;
        if (pSubsystems->count > 0) {
            vApplySubSysStatus(pSubsystems, pMap);
            iPrintDebug(kLineStatusHost, kSrc, 1, "Status updated for the host %d\n", static_cast<int>(uiNode));
        }
        ZqwDbFreeObjectIdList(pSubsystems);
    }
    ZqwFreeMapInfo(pMap);
}

}  // namespace

// ---------------------------------------------------------------------------
// Configuration dialog and uninstall cleanup
// ---------------------------------------------------------------------------

int iIsValidIpAddress(const char *szText) {
    if (szText == nullptr) return -1;
    size_t uiLength = strlen(szText);
    if (uiLength < 7 || uiLength > 15) return -1;
    if (szText[0] == '.' || szText[uiLength - 1] == '.') return -1;
    int iDots = 0;
    for (size_t i = 0; i < uiLength; ++i) {
        char c = szText[i];
        if (c == '.') {
            if (i > 0 && szText[i - 1] == '.') return -1;
            ++iDots;
        } else if (c < '0' || c > '9') {
            return -1;
        }
    }
    return iDots == 3 ? 1 : -1;
}

int iIsAgentResponding(const char *szAddress) {
    if (szAddress == nullptr) return -1;
    ZqSession *pSession = ZqsnmpOpen(nullptr, szAddress, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    if (pSession == nullptr) return -1;
    ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GETNEXT_REQ);
    if (pRequest == nullptr || ZqsnmpAddNullVarBind(pRequest, aEntOid, ZQ_ENT_LENGTH) == nullptr) {
        ZqsnmpFreePdu(pRequest);
        ZqsnmpClose(pSession);
        return -1;
    }
    ZqPdu *pResponse = ZqsnmpBlockingSend(pSession, pRequest);
    if (pResponse != nullptr) {
        ZqsnmpFreePdu(pResponse);
        ZqsnmpClose(pSession);
        return 1;
    }
    if (ZqsnmpErrno != ZQSNMP_E_TIMEOUT) ZqsnmpFreePdu(pRequest);
    ZqsnmpClose(pSession);
    return -1;
}

int iIsVantorManagerRunning(const char *szAddress) {
    struct sockaddr_in *pAddress = static_cast<struct sockaddr_in *>(ZqsnmpMalloc(sizeof(struct sockaddr_in)));
    if (pAddress == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "Error in memory allocation\n");
        return -1;
    }
    pAddress->sin_family = AF_INET;
    pAddress->sin_port = htons(static_cast<uint16_t>(uiConsolePort));
    int iResult = -1;
    // The address as the agent probe's session and the web probe take it (leading
    // zeros allowed, as the syntax check allows them), so all three ask one node.
    if (szAddress != nullptr && inet_aton(szAddress, &pAddress->sin_addr) != 0) {
        int iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (iSocket >= 0) {
            iResult = iAskConsole(iSocket, pAddress);
            close(iSocket);
        }
    }
    ZqsnmpFree(pAddress);
    return iResult;
}

void vQueryAppConfigCB(void * /*pData*/, int /*iEvent*/, ZqwMapInfo *pMap, void *pEventData) {
    const ZqwFieldBindList *pValues = static_cast<const ZqwFieldBindList *>(pEventData);
    if (pValues == nullptr || pValues->count == 0 || pValues->entries == nullptr) {
        ZqwVerifyAppConfigChange(pMap, nullptr, 0, kNoValuesText);
        return;
    }
    if (bUninstallRequested(pValues)) {
        ZqwVerifyAppConfigChange(pMap, pValues, 1, kUninstallText);
        return;
    }
    const char *szAddress = szValueOf(pValues, ZqwDbFieldNameToFieldId(TRVMAP_CONSOLE_FIELD));
    std::string szMessage;
    if (iIsValidIpAddress(szAddress) != 1)
        szMessage = kBadAddressText;
    else if (iIsAgentResponding(szAddress) != 1)
        szMessage = kNoAgentText;
    else if (iIsVantorManagerRunning(szAddress) == 1)
        szMessage = std::string(kConsoleUpText) + szAddress;
    else
        szMessage = std::string(kConsoleDownText) + szAddress;
    ZqwVerifyAppConfigChange(pMap, pValues, 1, szMessage.c_str());
}

void vConfirmAppConfigCB(void * /*pData*/, int /*iEvent*/, ZqwMapInfo *pMap, void *pEventData) {
    ZqwFieldBindList *pValues = static_cast<ZqwFieldBindList *>(pEventData);
    if (bUninstallRequested(pValues)) {
        pValues->entries[0].value->un.bool_val = 0;
        // Every way out that removes nothing stores the option back as off: the
        // dialog must not show an uninstall that did not happen.
        ZqPdu *pPdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
        if (pPdu == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "Could not form trap pdu.");
            ZqwSetAppConfigValues(pMap, pValues);
            return;
        }
        // trvdis must be there to be asked: one that is not running (stopped,
        // or gone with trapd) may be started again and write everything back.
        int iExit = ZQS_NO_EXIT;
        int iState = ZqsProcessState(TRVMAP_TRVDIS_NAME, &iExit);
        if (iState != ZQS_STATE_RUNNING) {
            ZqsnmpFreePdu(pPdu);
            iPrintError(kMsgTrvdisNotEnded,
                        iState < 0 ? "Could not ask zqspmd whether trvdis runs; nothing was removed from the map.\n"
                                   : "trvdis is not running, so it cannot be asked to end; nothing was removed from "
                                     "the map (start trvdis and confirm the uninstall again).\n");
            ZqwSetAppConfigValues(pMap, pValues);
            return;
        }
        int iSent = iSendInternalEvent(pPdu, aUninstallOid, TRV_EVENT_OID_LEN, 6, EVT_UNINSTALL_REQUEST);
        ZqsnmpFreePdu(pPdu);
        if (iSent == -1) {
            iPrintError(kMsgSendFailed, "Could not send trap to trvdis process.\n");
            ZqwSetAppConfigValues(pMap, pValues);
            return;
        }
        // trvdis first finishes the requests it holds and writes their fields:
        // the cleanup starts only once it has ended.
        char szWhy[160];
        if (iWaitTrvdisEnded(szWhy, sizeof szWhy) != 1) {
            iPrintError(kMsgTrvdisNotEnded, "%s; nothing was removed from the map.\n", szWhy);
            ZqwSetAppConfigValues(pMap, pValues);
            return;
        }
        vRemoveMapObjects();
        iUpdateEnabled = 0;
        ZqwSetAppConfigValues(pMap, pValues);
        return;
    }

    // The console's address goes to the user's environment, where the vendor's
    // tools look for it.
    ZqwFieldId uiField = ZqwDbFieldNameToFieldId(TRVMAP_CONSOLE_FIELD);
    ZqwFieldBindList *pCurrent = ZqwGetAppConfigValues(pMap, ZqwGetAppName());
    if (pCurrent == nullptr) return;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
        ZqwDbFreeFieldBindList(pCurrent);
        return;
    }
    for (unsigned int i = 0; pCurrent->entries != nullptr && i < pCurrent->count; ++i) {
        const ZqwFieldBinding &stEntry = pCurrent->entries[i];
        if (ZqwIsIdNull(uiField) || stEntry.field_id != uiField || stEntry.value == nullptr ||
            stEntry.value->field_type != ZQW_STRING_FIELD || stEntry.value->un.string_val == nullptr)
            continue;
        char szValue[TRVMAP_REG_VALUE_MAX + 1];
        snprintf(szValue, sizeof szValue, "%s", stEntry.value->un.string_val);
        RegSetValueExA(hKey, TRVMAP_CONSOLE_FIELD, 0, REG_SZ, reinterpret_cast<const BYTE *>(szValue),
                       static_cast<DWORD>(strlen(szValue) + 1));
    }
    RegCloseKey(hKey);
    ZqwDbFreeFieldBindList(pCurrent);
}

int iWaitTrvdisEnded(char *szWhy, size_t uiSize) {
    struct timespec stStart, stNow;
    clock_gettime(CLOCK_MONOTONIC, &stStart);
    int iState = -1, iExit = ZQS_NO_EXIT;
    for (;;) {
        iState = ZqsProcessState(TRVMAP_TRVDIS_NAME, &iExit);
        if (iState >= 0 && iState != ZQS_STATE_RUNNING) break;
        clock_gettime(CLOCK_MONOTONIC, &stNow);
        long lSpent = (stNow.tv_sec - stStart.tv_sec) * 1000L + (stNow.tv_nsec - stStart.tv_nsec) / 1000000L;
        if (lSpent >= TRVMAP_UNINSTALL_WAIT * 1000L) {
            snprintf(szWhy, uiSize,
                     iState < 0 ? "zqspmd could not say whether trvdis has ended"
                                : "trvdis has not ended %d seconds after the uninstall request",
                     TRVMAP_UNINSTALL_WAIT);
            return -1;
        }
        Sleep(100);
    }
    // Ended by the request it exits with status 0; ended any other way zqspmd
    // may start it again.
    if (iExit != 0) {
        if (iExit == ZQS_NO_EXIT)
            snprintf(szWhy, uiSize, "trvdis no longer runs, but zqspmd knows no exit status of it");
        else if (iExit < 0)
            snprintf(szWhy, uiSize, "trvdis was ended by signal %d, not by the uninstall request", -iExit);
        else
            snprintf(szWhy, uiSize, "trvdis ended with status %d, not at the uninstall request", iExit);
        return -1;
    }
    return 1;
}

void vRemoveMapObjects(void) {
    TrvObjIdList *pList = pGetObjIdFromMap();
    if (pList == nullptr) return;
    if (ZqwBeginMapSync(pCurrentMap) < 0) iPrintError(TRV_ERR_ZQW, "");
    for (int i = 0; pList->pIds != nullptr && i < pList->iCount; ++i) {
        ZqwObjectId uiObject = pList->pIds[i];
        char *szHost = ZqwDbObjectIdToHostname(uiObject);
        if (szHost == nullptr) {
            iPrintError(TRV_ERR_ZQW, ":%d", static_cast<int>(uiObject));
            continue;
        }
        ZqwSymbolList *pSymbols = ZqwGetSymbolsByObject(pCurrentMap, uiObject);
        for (unsigned int k = 0; pSymbols != nullptr && k < pSymbols->count; ++k)
            vUnsetTrvNodeSymbol(&pSymbols->entries[k], szHost);
        ZqwFreeSymbolList(pSymbols);
        free(szHost);
    }
    vFreeObjIdList(pList);
    ZqwEndMapSync(pCurrentMap);
}

void vUnsetTrvNodeSymbol(const ZqwSymbolInfo *pSymbol, const char *szHost) {
    iPrintDebug(kLineUnsetNode, kSrc, 2, "Unset TRV Node Symbol function.\n");
    if (pSymbol == nullptr) return;
    ZqwFieldId aIds[8];
    ZqwFieldIdList stFields = stIntegrationFields(aIds);
    for (unsigned int i = 0; i < stFields.count; ++i) {
        if (ZqwDbUnsetFieldValue(pSymbol->object, aIds[i]) == 0 && ZqwError() != ZQW_E_NOOBJECT)
            iPrintError(TRV_ERR_ZQW, "");
    }
    if (iIsTrvSymType(pSymbol->type) == 1) {
        // Server:TrvServer-ntentsrvr becomes Server:Generic.
        std::string szType(pSymbol->type, strcspn(pSymbol->type, ":"));
        szType += ":Generic";
        if (ZqwSetSymbolType(pCurrentMap, pSymbol->symbol, szType.c_str(), 0) == -1 &&
            ZqwError() == ZQW_E_NOSYMBOLTYPE)
            iPrintError(TRV_ERR_ZQW, "");
    }

    ZqwObjectIdList *pSubsystems = pGetSubSysObjIds(szHost);
    if (pSubsystems == nullptr) return;
    for (unsigned int i = 0; i < pSubsystems->count; ++i) {
        ZqwObjectId uiSubsystem = pSubsystems->object_ids[i];
        ZqwSymbolList *pSymbols = ZqwGetSymbolsByObject(pCurrentMap, uiSubsystem);
        for (unsigned int k = 0; pSymbols != nullptr && k < pSymbols->count; ++k) {
            ZqwClearSymbolApp(pCurrentMap, pSymbols->entries[k].symbol);
            ZqwDeleteSymbol(pCurrentMap, pSymbols->entries[k].symbol);
        }
        ZqwFreeSymbolList(pSymbols);
        iPrintDebug(kLineDeleteSubsystems, kSrc, 2, "Delete subsystems and unset fields.\n");
        // Subsystem objects still drawn on other maps keep their fields.
        int iMaps = ZqwDbGetFieldIntegerValue(uiSubsystem, uiFieldZqwMapsExists);
        int iErr = ZqwError();
        if (!((iMaps == 0 && iErr == ZQW_E_OK) || (iMaps == -1 && iErr == ZQW_E_NOVALUE))) continue;
        if (ZqwDbUnsetFieldValues(uiSubsystem, &stFields) == 0 && ZqwError() != ZQW_E_NOOBJECT) {
            iPrintError(TRV_ERR_ZQW, "Could not delete Object ObjId=%d.\n", static_cast<int>(uiSubsystem));
            continue;
        }
        if (ZqwDbDeleteObject(uiSubsystem) == -1)
            iPrintError(TRV_ERR_ZQW, "Could not delete Object ObjId=%d.\n", static_cast<int>(uiSubsystem));
    }
    ZqwDbFreeObjectIdList(pSubsystems);
}
