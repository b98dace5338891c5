/*
 * trvmap.h - the map application trvmap: the records, the process-wide state
 * and the routines its two modules share.
 *
 *   trvmap.cpp     start-up in order, the callback registrations, the wait loop
 *                  over the map program and the trap session, map open, every
 *                  exit, the trace file; the menu actions, the create-symbols
 *                  and delete-objects events, the status-updated event; the
 *                  configuration dialog and the uninstall cleanup
 *   trvupdate.cpp  the map synchronisation (node symbol types), the received
 *                  traps, the subsystem symbols and the cluster probe
 *
 * The map program starts trvmap from its registration (conf/registration/trv.reg)
 * and every callback runs inside the wait loop, one at a time.  Results follow
 * the system's rule: 1 success or yes, 0 no, -1 failure, with the few other small
 * codes noted below.
 */
#ifndef TRVMAP_H
#define TRVMAP_H

#include <stdint.h>
#include <stdio.h>

#include "trvlib.h"
#include "zqsnmp.h"
#include "zqw.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Source names the debug records carry. */
#define TRVMAP_SRC_MAIN   "dis/source/trvmap"
#define TRVMAP_SRC_UPDATE "dis/source/trvupdate"

/* The trace file and the marker file that switches it on (Windows form; they go
 * through zqHostPath, so both lie in $ZQ_ROOT/temp). */
#define TRVMAP_TRACE_MARKER "c:\\temp\\srdbglog.txt"
#define TRVMAP_TRACE_FILE   "c:\\temp\\trvmapdebug.log"

/* Names of the registration (conf/registration/trv.reg). */
#define TRVMAP_ACTION_DISCOVER "Tarvo Discover"
#define TRVMAP_ACTION_MONITOR  "Tarvo Monitor"
#define TRVMAP_SUMMARY_APP     "Velm Sub-system Summary"
#define TRVMAP_CONSOLE_FIELD   "VTMXEIp"

/* Bounds of the texts built per node and per subsystem. */
#define TRVMAP_SYMTYPE_MAX  255  /* szSymType, the cluster type */
#define TRVMAP_ACTION_MAX   31   /* "Action_" + subsystem type */
#define TRVMAP_LABEL_MAX    255
#define TRVMAP_BATCH        15   /* values per request message, see iBatchBoundary */
#define TRVMAP_MESSAGE_MAX  200  /* the verification messages built here */
#define TRVMAP_REG_VALUE_MAX 15  /* characters of VTMXEIp kept in the environment */
#define TRVMAP_CONSOLE_PORT 280
#define TRVMAP_CONSOLE_WAIT 5    /* seconds at each step of the console probe */
#define TRVMAP_RECONNECT    10   /* at most this many seconds between attempts to reopen the
                                    trap session: the first comes after 1 s, then 2, 4, 8 */
#define TRVMAP_UNINSTALL_WAIT 10 /* seconds the uninstall cleanup waits for trvdis to end */
#define TRVMAP_TRVDIS_NAME  "trvdis" /* trvdis's name in conf/zqsuf, asked of zqspmd */

/* trvmap's own object-id list: both parts allocated with ZqsnmpMalloc and freed
 * with vFreeObjIdList (ZqsnmpFree). */
typedef struct TrvObjIdList {
    int          iCount;
    ZqwObjectId *pIds;
} TrvObjIdList;
void vFreeObjIdList(TrvObjIdList *pList);

/* ------------------------------------------------------------------------
 * Process-wide state
 * ------------------------------------------------------------------------ */

extern int         iMapDebug;        /* 1 while the trace file is written */
extern FILE       *fpMapDebug;       /* the trace file, open while iMapDebug is 1 */
extern ZqSession  *pTrapRecvSession; /* the session with trapd; null while trapd is away */
extern int         iMapDescriptor;   /* ZqwFileDescriptor(), -1 before */
extern ZqwMapInfo *pCurrentMap;      /* trvmap's copy of the open map, or null */
extern int         iUpdateEnabled;   /* 0 after the uninstall cleanup: vUpdateMap does nothing */

/* One trace line (printf form), flushed, while iMapDebug is 1. */
void vMapTrace(const char *szFormat, ...) __attribute__((format(printf, 1, 2)));
/* Opens the trace file when the marker file exists (start-up step 1). */
void vOpenMapTrace(void);

/* ------------------------------------------------------------------------
 * Lifecycle (trvmap.cpp)
 * ------------------------------------------------------------------------ */

/* The whole program: start-up, first synchronisation, wait loop.  Returns only
 * for --help. */
int  iTrvmapMain(int iArgc, char **ppArgv);
/* One pass of the wait loop: waits (at most iTimeoutMs, -1 without end) and
 * serves what is readable.  Ends the process on the exits of the loop. */
void vWaitLoopPass(int iTimeoutMs);
void vMapOpenCB(void *pData, int iEvent, ZqwMapInfo *pMap, void *pEventData);
void vExitCB(void *pData, int iEvent, ZqwMapInfo *pMap, void *pEventData);
void vGracefulExit(void) __attribute__((noreturn));
/* The binding list {isComputer|isServer|isClient TRUE, isSNMPSupported TRUE} for
 * iKind 1, 2, 3 (ZqwDbFreeFieldBindList), or null. */
ZqwFieldBindList *pBuildCreateSymbolsFilter(int iKind);
/* Opens the trap session and notes it; 1 done, -1 not (nothing reported). */
int  iOpenTrapSession(void);
/* The trap session with trapd is lost: one report, the session closed and
 * left out of the wait until it can be opened again (tried after 1 s, then
 * with a doubling wait of at most TRVMAP_RECONNECT seconds).  The map goes on
 * being served meanwhile. */
void vTrapSessionLost(ZqSession *pSession);
/* After the trap session was opened again: what trvdis sent meanwhile is lost,
 * so the open map is synchronised as on a map open and every vendor node's
 * subsystem status is applied again from the database. */
void vResyncAfterReopen(void);

/* ------------------------------------------------------------------------
 * Map synchronisation and node symbols (trvupdate.cpp)
 * ------------------------------------------------------------------------ */

TrvObjIdList *pGetObjIdFromMap(void);
void vUpdateMap(const TrvObjIdList *pList);
/* 1 when every managed symbol got the type and source, else the error code. */
int  iSetSymListType(const ZqwMapInfo *pMap, const ZqwSymbolList *pSymbols, const char *szType, int iArg,
                     int iSource);
void vSetGenericSymType(const ZqwMapInfo *pMap, const ZqwSymbolList *pSymbols, const char *szType);
int  iIsTrvSymType(const char *szType);
void vTrapRecvCB(int iReason, ZqSession *pSession, ZqPdu *pPdu, void *pData);
void vManageObjectsCB(void *pData, int iEvent, ZqwMapInfo *pMap, void *pEventData);

/* ------------------------------------------------------------------------
 * Subsystem symbols and cluster detection (trvupdate.cpp)
 * ------------------------------------------------------------------------ */

int  iSetSubsystemSymbols(const ZqwMapInfo *pMap, const char *szNodeType, ZqwObjectId uiNode);
int  iCreateSymbols(const ZqwMapInfo *pMap, const char *szNodeType, ZqwObjectId uiNode, ZqwObjectId uiSubsystem,
                    ZqwSymbolList **ppSymbols, const char *szSymbolType, const char *szLabel, int iStatus,
                    int iSource, int iFlags, const char *szActionName, const char *szTypeText);
/* Fills szLabel (at least TRVMAP_LABEL_MAX + 1 bytes) for the two web kinds;
 * leaves it alone for any other. */
void vIdentifyLabel(const char *szTypeText, char *szLabel);
int  iIsCluster(ZqwObjectId uiNode);
/* The cluster form of a node symbol type: the type with "-Cluster" appended,
 * unless it ends with it already.  0 when it does not fit szOut (uiSize bytes). */
int  iClusterType(const char *szType, char *szOut, size_t uiSize);

/* ------------------------------------------------------------------------
 * Menu actions and on-demand status (trvmap.cpp)
 * ------------------------------------------------------------------------ */

/* 1 when the object at position p (from 1) starts a new request message. */
int  iBatchBoundary(int iPosition);
void vMenuClickCB(void *pData, const char *szAction, const char *szMenuItem, ZqwObjectIdList *pSelection,
                  int iArgc, char **ppArgv, ZqwMapInfo *pMap);
void vMonitorClickCB(void *pData, const char *szAction, const char *szMenuItem, ZqwObjectIdList *pSelection,
                     int iArgc, char **ppArgv, ZqwMapInfo *pMap);
void vCreateSymbolsCB(void *pData, int iEvent, ZqwMapInfo *pMap, void *pEventData);
void vDeleteObjectsCB(void *pData, int iEvent, ZqwMapInfo *pMap, void *pEventData);
void vStatusUpdatedTrap(int iReason, ZqSession *pSession, ZqPdu *pPdu, void *pData);
ZqwObjectList *pGetVantorObjectsOnMap(void);
ZqwObjectIdList *pListSubSysObjects(ZqwObjectId uiNode);
void vApplySubSysStatus(const ZqwObjectIdList *pList, const ZqwMapInfo *pMap);
/* The status pass of an EVT_STATUS_UPDATED without values: every vendor node of
 * the map gets its subsystems' status from the database. */
void vApplyAllSubSysStatus(void);

/* ------------------------------------------------------------------------
 * Configuration change and uninstall cleanup (trvmap.cpp)
 * ------------------------------------------------------------------------ */

void vQueryAppConfigCB(void *pData, int iEvent, ZqwMapInfo *pMap, void *pEventData);
void vConfirmAppConfigCB(void *pData, int iEvent, ZqwMapInfo *pMap, void *pEventData);
int  iIsValidIpAddress(const char *szText);
int  iIsAgentResponding(const char *szAddress);
int  iIsVantorManagerRunning(const char *szAddress);
/* The console's TCP port: always 280 in the program; tests point it elsewhere. */
extern unsigned int uiConsolePort;
void vRemoveMapObjects(void);
/* Waits (at most TRVMAP_UNINSTALL_WAIT seconds) until zqspmd shows trvdis ended
 * with status 0, the end of an uninstall request.  1 ended; -1 not (still
 * running, ended otherwise, or zqspmd cannot say), with the reason in szWhy
 * (uiSize bytes). */
int  iWaitTrvdisEnded(char *szWhy, size_t uiSize);
void vUnsetTrvNodeSymbol(const ZqwSymbolInfo *pSymbol, const char *szHost);

#ifdef __cplusplus
}
#endif

#endif /* TRVMAP_H */
