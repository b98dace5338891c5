// trvdis: start-up in order, the configuration with its range checks, the main
// loop with its two queues and the discovery timer, the process manager's
// commands, and every way out.
#include "trvdis.h"

#include <errno.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

TrvQueue stRequestQueue = {};
TrvQueue stDiscoveryQueue = {};

int iPmSocket = -1;
ZqSession *pEventSession = nullptr;
int iSelectWidth = -1;
fd_set stMasterReadSet;
int32_t iSavedInterval = TRVCONF_DEFAULT_INTERVAL;
uint32_t uiSavedIteration = TRVCONF_DEFAULT_ITERATION;
unsigned int iIterationNum = 0;
long lRemainingTime = 0;

namespace {

// What this process itself has set up, so that an early exit undoes only that.
bool bPmRegistered = false;
bool bMarkerCreated = false;

// Failed waits in a row (EINTR not counted); the second one ends the daemon.
int iSelectFailures = 0;
const int kSelectFailureLimit = 2;

// The callback data given to the event session: a static integer.
int iEventSessionData = 0;

const char kUsage[] =
    "usage: trvdis [-dl 0|1|2] [-window N]\n"
    "\n"
    "The Tarvo discovery and status daemon.  It is started and stopped by the\n"
    "platform's process manager (zqstart, zqstop): it classifies the SNMP nodes of\n"
    "the topology database by the rules of trvconfig.dat, keeps one web subsystem\n"
    "object per vendor node with the node's condition, and serves the discover and\n"
    "status requests of trvmap and trvtrapd.\n"
    "\n"
    "  -dl N    debug level: 0 none (default), 1 traces, 2 all traces with their\n"
    "           source lines, and optional error reports\n"
    "  -window N  nodes whose requests go out ahead of their turn, at once\n"
    "           (1 to 4096, default 256; 1: each node asks at its turn)\n"
    "\n"
    "Logs: \\temp\\vtmzqerr.log and \\temp\\vtmzqdbg.log below the instance.\n";

TrvQueue *pQueueOf(int iWhich) { return iWhich == TRVDIS_QUEUE_DISCOVERY ? &stDiscoveryQueue : &stRequestQueue; }

[[noreturn]] void vExit(int iStatus) {
    fflush(stdout);
    fflush(stderr);
    exit(iStatus);
}

// The wait of the loop and of vDrainEvents.  After a failure nothing counts as
// readable; EINTR is harmless, any other failure is reported and a second one
// in a row ends the daemon as a lost descriptor would.
int iWait(fd_set *pReady, struct timeval *pTimeout) {
    int iWidth = iSelectWidth < 0 ? 0 : iSelectWidth;
    int iReady;
    bool bPoll = pTimeout != nullptr && pTimeout->tv_sec == 0 && pTimeout->tv_usec == 0;
    if (iAheadInFlight() > 0 && (!bPoll || iAheadDue())) {
        // The requests gathered ahead are waited for in the same wait.
        fd_set stWrite;
        FD_ZERO(&stWrite);
        vAheadWaitSet(&iWidth, pReady, &stWrite, pTimeout);
        iReady = select(iWidth, pReady, &stWrite, nullptr, pTimeout);
        if (iReady >= 0) vAheadPump(pReady, &stWrite);
    } else {
        iReady = iTrvWait(iWidth, pReady, pTimeout);
        vAheadFill();
    }
    if (iReady >= 0) {
        iSelectFailures = 0;
        return iReady;
    }
    int iErr = errno;
    FD_ZERO(pReady);
    if (iErr == EINTR) return 0;
    iPrintError(TRV_ERR_SYSTEM, "select: %s\n", strerror(iErr));
    if (++iSelectFailures >= kSelectFailureLimit) vFatalExit();
    return 0;
}

[[noreturn]] void vShutdown(void) {
    iRemoveRunning();
    ZqsDone("trvdis exiting at the request of ZqsPMD (via zqstop)");
    ZqsnmpClose(pEventSession);
    pEventSession = nullptr;
    vExit(1);
}

// The process-manager descriptor is readable: one command.
void vServeCommand(void) {
    int iCommand = 0;
    if (ZqsReceive(&iCommand) < 0) {
        iPrintError(TRV_ERR_SYSTEM, "");
        vFatalExit();
    }
    if (iCommand == ZQS_CMD_STOP) vShutdown();
    iPrintError(2201, "Bad command(%d) from \"zqspmd\".\n", iCommand);
}

bool bQueuedWork(void) {
    return iQueueLength(TRVDIS_QUEUE_REQUEST) > 0 || iQueueLength(TRVDIS_QUEUE_DISCOVERY) > 0;
}

// Work that can be done now: a request, or a node of the pass whose answers
// gathered ahead are all in.
bool bReadyWork(void) {
    return iQueueLength(TRVDIS_QUEUE_REQUEST) > 0 ||
           (iQueueLength(TRVDIS_QUEUE_DISCOVERY) > 0 && iAheadHeadReady());
}

// Longest wait for the answers of the next node of the pass, while nothing
// else is to be done; the loop looks at the process manager and events meanwhile.
const struct timeval kAheadWait = {0, 200000};

// One piece of work, first match only: a requested node, else the events
// waiting, else a node of the discovery pass.  True when events were read.
bool bDoWork(fd_set *pReady) {
    if (iQueueLength(TRVDIS_QUEUE_REQUEST) > 0) {
        vTrvRunNode(TRVDIS_QUEUE_REQUEST);
        return false;
    }
    if (pEventSession != nullptr && pEventSession->sock_fd >= 0 && FD_ISSET(pEventSession->sock_fd, pReady)) {
        ZqsnmpRead(pReady);
        return true;
    }
    if (iQueueLength(TRVDIS_QUEUE_DISCOVERY) > 0 && iAheadHeadReady()) vTrvRunNode(TRVDIS_QUEUE_DISCOVERY);
    return false;
}

bool bReadable(int iFd, const fd_set *pReady) { return iFd >= 0 && FD_ISSET(iFd, pReady); }

// The one entry of the error log naming the first field that did not resolve.
const char *szUnresolvedField(void) {
    for (const TrvFieldDef &def : aTrvFields)
        if (ZqwIsIdNull(*def.pId)) return def.szName;
    return "";
}

// A failed start-up after the marker exists: the reason to zqspmd, the marker
// removed, status 1.
[[noreturn]] void vStartupFailed(const std::string &szReason) {
    ZqsDone(szReason.c_str());
    iRemoveRunning();
    vExit(1);
}

// -window N: 1 to TRVDIS_MAX_WINDOW; anything else is reported and the default used.
int iWindowOption(int iArgc, char **ppArgv) {
    for (int i = 1; i < iArgc; ++i) {
        if (ppArgv[i] == nullptr || strcmp(ppArgv[i], "-window") != 0) continue;
        char *pEnd = nullptr;
        long lValue = i + 1 < iArgc && ppArgv[i + 1] != nullptr ? strtol(ppArgv[i + 1], &pEnd, 10) : 0;
        if (pEnd == nullptr || pEnd == ppArgv[i + 1] || *pEnd != '\0' || lValue < 1 || lValue > TRVDIS_MAX_WINDOW) {
            iPrintError(2004, "%s out of range assuming default value.\n", "Probe window");
            return TRVDIS_DEFAULT_WINDOW;
        }
        return static_cast<int>(lValue);
    }
    return TRVDIS_DEFAULT_WINDOW;
}

std::string szWithPath(const char *szFormat) {
    char szText[TRV_CONF_PATH_SIZE + 64];
    snprintf(szText, sizeof szText, szFormat, szTrvConfigPath);
    return szText;
}

}  // namespace

__attribute__((weak)) time_t tTrvClock(void) { return time(nullptr); }
__attribute__((weak)) int iTrvWait(int iWidth, fd_set *pReadSet, struct timeval *pTimeout) {
    return select(iWidth, pReadSet, nullptr, nullptr, pTimeout);
}
__attribute__((weak)) void vTrvRunPass(void) { vDiscover(); }
__attribute__((weak)) void vTrvRunNode(int iWhich) { vDiscoverHost(iWhich); }

// ---------------------------------------------------------------------------
// Queues
// ---------------------------------------------------------------------------

int iQueueNode(ZqwObjectId uiId, int iWhich) {
    TrvQueue *pQueue = pQueueOf(iWhich);
    // A node already waiting for its request is served once: a burst of traps
    // about one silent node would otherwise poll it again and again while
    // other nodes' requests wait (or are refused by the full queue).
    if (iWhich == TRVDIS_QUEUE_REQUEST) {
        for (int i = pQueue->iHead; i != pQueue->iTail; i = (i + 1) % TRVDIS_QUEUE_SLOTS)
            if (pQueue->aSlots[i] == uiId) return 1;
    }
    int iNext = (pQueue->iTail + 1) % TRVDIS_QUEUE_SLOTS;
    if (iNext == pQueue->iHead) {
        vFiguresNodeQueued(iWhich, uiId, 0);
        return 0;
    }
    pQueue->aSlots[pQueue->iTail] = uiId;
    pQueue->iTail = iNext;
    vFiguresNodeQueued(iWhich, uiId, 1);
    if (iWhich == TRVDIS_QUEUE_DISCOVERY)
        ++uiQueuedSerial;
    else
        vAheadForget(uiId);  // a request is never served from older answers
    return 1;
}

ZqwObjectId uiTakeNode(int iWhich) {
    TrvQueue *pQueue = pQueueOf(iWhich);
    if (pQueue->iHead == pQueue->iTail) return ZQW_NULL_ID;
    ZqwObjectId uiId = pQueue->aSlots[pQueue->iHead];
    pQueue->aSlots[pQueue->iHead] = ZQW_NULL_ID;
    pQueue->iHead = (pQueue->iHead + 1) % TRVDIS_QUEUE_SLOTS;
    if (iWhich == TRVDIS_QUEUE_DISCOVERY) ++uiTakenSerial;
    vFiguresNodeTaken(iWhich);
    return uiId;
}

int iQueueLength(int iWhich) {
    const TrvQueue *pQueue = pQueueOf(iWhich);
    return (pQueue->iTail - pQueue->iHead + TRVDIS_QUEUE_SLOTS) % TRVDIS_QUEUE_SLOTS;
}

void vClearQueues(void) {
    stRequestQueue = TrvQueue{};
    stDiscoveryQueue = TrvQueue{};
    uiTakenSerial = uiQueuedSerial;
    vAheadClear();
}

// ---------------------------------------------------------------------------
// Marker, configuration, exits
// ---------------------------------------------------------------------------

int iShowRunning(void) {
    ZqwObjectId uiId = ZqwDbCreateObjectBySelectionName(TRV_RUNNING_MARKER);
    if (!ZqwIsIdNull(uiId) || ZqwError() == ZQW_E_EXISTS) {
        bMarkerCreated = true;
        return 1;
    }
    iPrintError(TRV_ERR_ZQW, "");
    return -1;
}

int iRemoveRunning(void) {
    ZqwObjectId uiId = ZqwDbSelectionNameToObjectId(TRV_RUNNING_MARKER);
    if (ZqwIsIdNull(uiId)) return -1;
    if (ZqwDbDeleteObject(uiId) == -1) return -1;
    bMarkerCreated = false;
    return 1;
}

void vFatalExit(void) {
    vAheadStepEnd();  // what the node's step wrote so far is kept
    if (bMarkerCreated) iRemoveRunning();
    if (pEventSession != nullptr) {
        ZqsnmpClose(pEventSession);
        pEventSession = nullptr;
    }
    if (bPmRegistered) ZqsDone("trvdis exiting on a fatal error (see the error log).");
    vExit(1);
}

int iLoadConfiguration(void) {
    TrvParseResult stParse = {};
    int iResult = iLoadTrvConfig(&stParse);
    switch (iResult) {
    case TRVCONF_NOFILE:
        iPrintError(2000, "Unable to find file %s.\n", szTrvConfigPath);
        vStartupFailed(szWithPath("Unable to open \"%s\".\n"));
    case TRVCONF_SYNTAX: {
        // The second field carries the parser's own words on the line.
        char szWhy[sizeof stParse.szDetail + 48];
        if (stParse.szDetail[0] != '\0')
            snprintf(szWhy, sizeof szWhy, "%s", stParse.szDetail);
        else
            snprintf(szWhy, sizeof szWhy, "Syntax Error At Line No %d", stParse.iLineNo);
        iPrintError(101, "%s - %s\n", szTrvConfigPath, szWhy);
        vStartupFailed(szWithPath("Syntax error in \"%s\".\n"));
    }
    case TRVCONF_NOMEM:
        iPrintError(2009, "Parser returned system call error.\n");
        vStartupFailed("Exiting on system call error.\n");
    case TRVCONF_OK:
        break;
    default:
        return 1;
    }
    if (iDiscoveryInterval < 1 || iDiscoveryInterval > 4272) {
        iDiscoveryInterval = 30;
        iPrintError(2004, "%s out of range assuming default value.\n", "Discovery interval");
    }
    if (uiReDisIteration == 0 || uiReDisIteration > 100) {
        uiReDisIteration = 6;
        iPrintError(2004, "%s out of range assuming default value.\n", "Re-discover iteration");
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The loop
// ---------------------------------------------------------------------------

void vWatchDescriptor(int iFd) {
    if (iFd < 0 || iFd >= FD_SETSIZE) return;
    FD_SET(iFd, &stMasterReadSet);
    if (iFd + 1 > iSelectWidth) iSelectWidth = iFd + 1;
}

void vDrainEvents(void) {
    for (;;) {
        fd_set stReady = stMasterReadSet;
        struct timeval stPoll = {0, 0};
        if (!bReadyWork() && bQueuedWork()) stPoll = kAheadWait;  // the pass's next node is on its way
        if (bPmRegistered) iPublishFigures();
        int iReady = iWait(&stReady, &stPoll);
        if (iReady <= 0 && !bQueuedWork()) return;
        if (bReadable(iPmSocket, &stReady)) vServeCommand();
        bDoWork(&stReady);
    }
}

void vMainLoopCycle(void) {
    // Sets, settings and time-out are rebuilt for every wait.
    fd_set stReady = stMasterReadSet;
    iDiscoveryInterval = iSavedInterval;
    uiReDisIteration = uiSavedIteration;
    const long lInterval = static_cast<long>(iSavedInterval) * 60L;
    time_t tStart = tTrvClock();

    struct timeval stTimeout = {0, 0};
    if (!bQueuedWork()) stTimeout.tv_sec = lRemainingTime > 0 ? lRemainingTime : 0;
    else if (!bReadyWork()) stTimeout = kAheadWait;
    // Changed figures held back by the pace wake the loop within a second.
    if (bPmRegistered && iPublishFigures() == 1 && stTimeout.tv_sec >= 1) stTimeout = {1, 0};
    iWait(&stReady, &stTimeout);

    time_t tWoken = tTrvClock();
    lRemainingTime -= static_cast<long>(tWoken - tStart);
    if (lRemainingTime <= 0) {
        vTrvRunPass();
        lRemainingTime = lInterval;
        // The interval counts from the end of the pass: a pass longer than the
        // interval must not make the next one follow without a pause.
        tWoken = tTrvClock();
        // The pass served commands and events itself: what was readable before
        // it may be gone now, so nothing of that wait is acted on.
        FD_ZERO(&stReady);
    }

    if (bReadable(iPmSocket, &stReady)) vServeCommand();

    if (bDoWork(&stReady)) {
        // Events were read: the next cycle starts at once.  A clock set back
        // still gets the next cycle to run a pass.
        if (lRemainingTime > lInterval) lRemainingTime = 0;
        return;
    }

    // The pass and the node handled count against the next interval.
    lRemainingTime -= static_cast<long>(tTrvClock() - tWoken);
    if (lRemainingTime <= 0 || lRemainingTime > lInterval) lRemainingTime = 0;
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

int iTrvdisMain(int iArgc, char **ppArgv) {
    vLineBufferOutput();
    if (iHelpAsked(iArgc, ppArgv)) {
        fputs(kUsage, stdout);
        return 0;
    }
    szProgramName = "trvdis";
    signal(SIGPIPE, SIG_IGN);

    // 1. Debug level, and the window of requests sent ahead.
    uiDebugLevel = iGetDebugLevel(iArgc, ppArgv);
    iProbeWindow = iWindowOption(iArgc, ppArgv);
    pfnWebAgentProbe = iAheadWebProbe;

    // 2. Locale.
    if (setlocale(LC_ALL, "") == nullptr) {
        iPrintError(2104, "Error in setting specified locale(Native Language).Assuming default language \"C\".\n");
        setlocale(LC_ALL, "C");
    }

    // 3. The process manager.
    int iDescriptor = -1;
    int iResult = ZqsInit(&iDescriptor);
    if (iResult < 0) {
        iPrintError(2003, "Unable to open a connection with zqspmd. Check if zqspmd is running.\n");
        vFatalExit();
    }
    bPmRegistered = true;
    iPmSocket = iResult;
    if (iResult + 1 > iSelectWidth) iSelectWidth = iResult + 1;

    // 4. zqstop stops the daemon with command 6, never with a signal.
    signal(SIGTERM, SIG_IGN);

    // 5. The topology database.
    if (ZqwDbInit() < 0) {
        iPrintError(TRV_ERR_ZQW, "");
        ZqsDone("Could not connect to zqwdb.");
        vExit(1);
    }
    // A pass reads every listed node: with the platform's default cache all of a
    // large database's pages would stay in this daemon's memory.
    ZqwDbSetPageCache(TRVDIS_PAGE_CACHE_KIB);

    // 6. The field registry.
    if (iGetFieldIds() == -1) {
        std::string szField = szUnresolvedField();
        iPrintError(TRV_ERR_ZQW, ":%s\n", szField.c_str());
        ZqsDone(("Could not resolve the field \"" + szField + "\" in the topology database.").c_str());
        vExit(1);
    }

    // 7. The running marker.
    if (iShowRunning() != 1) {
        ZqsDone("Could not show that trvdis has started.");
        vExit(1);
    }

    // 8. trvconfig.dat; the settings are kept as loaded.
    iLoadConfiguration();
    iSavedInterval = iDiscoveryInterval;
    uiSavedIteration = uiReDisIteration;

    // 9. The event session with trapd.
    pEventSession = ZqsnmpEventOpen("127.0.0.1", "VantorIntegration", vTrapCallback, &iEventSessionData, ".*");
    if (pEventSession == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "%s\n", ZqsnmpErrString(ZqsnmpErrno));
        ZqsDone("Open session with trapd failed.");
        iRemoveRunning();
        vExit(1);
    }
    pEventSession->flags |= ZQSNMP_FLAG_V1_FORM;

    // 10. Start-up complete.
    if (ZqsInitComplete(ZQS_INIT_OK, "Initialization complete.") < 0) {
        iPrintError(TRV_ERR_SYSTEM, "");
        vFatalExit();
    }

    // 11. The master read set.
    FD_ZERO(&stMasterReadSet);
    vWatchDescriptor(iPmSocket);
    if (pEventSession->sock_fd != iPmSocket) vWatchDescriptor(pEventSession->sock_fd);

    // 12. The first pass, then the loop.
    lRemainingTime = static_cast<long>(iSavedInterval) * 60L;
    vTrvRunPass();
    iPrintDebug(__LINE__, TRVDIS_SRC_MAIN, 2, "Returned from vDiscover in Main\n");
    for (;;) vMainLoopCycle();
}
