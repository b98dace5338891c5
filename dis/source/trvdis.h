/*
 * trvdis.h - the discovery and status daemon trvdis: the records, the
 * process-wide state and the routines its modules share.
 *
 *   trvdis.cpp               start-up, the main loop with its two queues and
 *                            timer, vDrainEvents, the stop command, every exit
 *   trvdiscover.cpp          the discovery pass and the per-node step, the web
 *                            subsystem object of a node
 *   chkos.cpp                the classification probes (agent, rules, version,
 *                            remote management board) and DeleteSubSysObjects
 *   get_set_status_trap.cpp  the status poll of a node's web subsystem objects
 *   trvutrap.cpp             the event-session callback (requests, platform node
 *                            events, un-install) and vInformTrvmap
 *   TrvConf                  the trvconfig.dat parser (rules and the two settings)
 *
 * Results follow the system's rule: 1 success or yes, 0 no, -1 failure, with
 * the few other small codes noted below.  Everything runs in one thread.
 */
#ifndef TRVDIS_H
#define TRVDIS_H

#include <stdint.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include "TrvConf.h"
#include "trvlib.h"
#include "zq.h"
#include "zqsnmp.h"
#include "zqw.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Source names the debug records carry. */
#define TRVDIS_SRC_MAIN     "dis/source/trvdis"
#define TRVDIS_SRC_DISCOVER "dis/source/trvdiscover"
#define TRVDIS_SRC_CHKOS    "dis/source/chkos"
#define TRVDIS_SRC_STATUS   "dis/source/get_set_status_trap"
#define TRVDIS_SRC_TRAP     "dis/source/trvutrap"

/* ------------------------------------------------------------------------
 * Queues of node object ids (trvdis.cpp)
 * ------------------------------------------------------------------------ */

#define TRVDIS_QUEUE_SLOTS   512  /* a queue holds at most 511 ids */
#define TRVDIS_QUEUE_REQUEST   0  /* ids from events: always served first */
#define TRVDIS_QUEUE_DISCOVERY 1  /* ids of a discovery pass */
#define TRVDIS_DRAIN_EVERY   500  /* vDiscover drains before every 500th listed id */
#define TRVDIS_PAGE_CACHE_KIB 4096 /* database pages kept in memory (ZqwDbSetPageCache) */

typedef struct TrvQueue {
    ZqwObjectId aSlots[TRVDIS_QUEUE_SLOTS];
    int         iHead;   /* next to take */
    int         iTail;   /* next free slot */
} TrvQueue;

extern TrvQueue stRequestQueue;
extern TrvQueue stDiscoveryQueue;

/* Appends to the discovery queue (iWhich 1) or the request queue (iWhich 0).
 * 1 stored (or, in the request queue, already waiting there), 0 when the queue
 * is full (the id is dropped without a word). */
int iQueueNode(ZqwObjectId uiId, int iWhich);
/* Takes the next id of a queue and clears its slot; the null id when empty. */
ZqwObjectId uiTakeNode(int iWhich);
/* Number of ids waiting in a queue. */
int iQueueLength(int iWhich);
/* Empties both queues. */
void vClearQueues(void);

/* ------------------------------------------------------------------------
 * Lifecycle and main loop (trvdis.cpp)
 * ------------------------------------------------------------------------ */

extern int          iPmSocket;          /* descriptor of zqspmd, -1 before ZqsInit */
extern ZqSession   *pEventSession;      /* session with trapd, null when not open */
extern int          iSelectWidth;       /* highest descriptor of the read set plus one */
extern fd_set       stMasterReadSet;    /* the descriptors every wait looks at */
extern int32_t      iSavedInterval;     /* DiscoveryInterval as loaded (minutes) */
extern uint32_t     uiSavedIteration;   /* Re-DiscoveryIntervalIteration as loaded */
extern unsigned int iIterationNum;      /* pass counter modulo uiReDisIteration */
extern long         lRemainingTime;     /* seconds until the next discovery pass */

/* What the loop waits with and hands out: the clock (seconds), the wait, a
 * discovery pass and the step of one node.  The daemon's own are time(),
 * select(), vDiscover and vDiscoverHost (weak definitions); only a test
 * program defines its own, to drive the timer. */
time_t tTrvClock(void);
int iTrvWait(int iWidth, fd_set *pReadSet, struct timeval *pTimeout);
void vTrvRunPass(void);
void vTrvRunNode(int iWhich);

/* Loads trvconfig.dat and range-checks its two settings; 1, or the process ends
 * with the parser's reason. */
int iLoadConfiguration(void);
/* The running marker "Trvrunning": 1 created (or there already), -1 failure. */
int iShowRunning(void);
/* Deletes the running marker: 1 deleted, -1 none there or not deleted. */
int iRemoveRunning(void);
/* Ends the process with status 1, undoing only what this process set up: the
 * marker it created, the session it opened, the registration it made. */
void vFatalExit(void) __attribute__((noreturn));
/* Serves the process manager, events and both queues until nothing is pending. */
void vDrainEvents(void);
/* One cycle of the main loop: wait, timer, command, one piece of work. */
void vMainLoopCycle(void);
/* Adds a descriptor to the master read set (and the select width). */
void vWatchDescriptor(int iFd);
/* The whole daemon: start-up, first pass, main loop.  Returns only for --help. */
int iTrvdisMain(int iArgc, char **ppArgv);

/* ------------------------------------------------------------------------
 * Figures for monitoring (trvfigures.cpp)
 * ------------------------------------------------------------------------ */

/* A discovery pass began / has listed all its nodes (it ends when the
 * discovery queue is empty after that). */
void vFiguresPassBegin(void);
void vFiguresPassListed(void);
/* A node was stored in a queue (iStored 1) or dropped for a full queue (0);
 * a node was taken from a queue to be handled. */
void vFiguresNodeQueued(int iWhich, ZqwObjectId uiId, int iStored);
void vFiguresNodeTaken(int iWhich);
/* Hands the figures to zqspmd (ZqsPublishMetrics), at most once a second:
 * 1 when changed figures wait for the next second (the caller then waits at
 * most a second), 0 when nothing waits. */
int iPublishFigures(void);

/* ------------------------------------------------------------------------
 * Discovery cycle (trvdiscover.cpp)
 * ------------------------------------------------------------------------ */

/* One discovery pass: every SNMP-capable server, client and computer goes to
 * the discovery queue (drained every 500 ids). */
void vDiscover(void);
/* Handles one node from the request queue (0) or the discovery queue (1). */
void vDiscoverHost(int iWhich);
/* Creates or retypes the node's web subsystem object; 1 done, -1 not. */
int iUpdateWebSubSys(ZqwObjectId uiNode);
/* The node's subsystem object of one kind, or the null id (iFindSubSysError
 * then tells a failure or duplicates (1) from none (0)). */
ZqwObjectId iFindSubSysObject(ZqwObjectId uiNode, const char *szKindName);
extern int iFindSubSysError;

/* ------------------------------------------------------------------------
 * Classification probes (chkos.cpp)
 * ------------------------------------------------------------------------ */

#define TRV_AGENT_NONE     0  /* no usable answer */
#define TRV_AGENT_ODD      1  /* an answer with an unexpected error status */
#define TRV_AGENT_PRESENT  3  /* the vendor's agents answer */
#define TRV_AGENT_FOREIGN  4  /* the node answers but is no vendor node */

short iCheckAgent(const char *szHost);
/* The label of the first matching rule (which also sets trvSysType and
 * isTrvVantor), or the empty text when nothing was decided; always a heap copy
 * the caller frees (free()); null only when memory is short. */
char *szGetOsType(ZqwObjectId uiNode);
/* The node's version text as a heap copy (free()), or null. */
char *CheckForVerNo(const char *szHost);
/* 1 when a board address was found and stored, else 0. */
int iCheckRixen(ZqwObjectId uiNode);
/* The probes without their writes, for those who only look (trvexplain).
 * iProbeAgent: iCheckAgent, with the response handed to the caller (who frees
 * it) when ppResponse is not null; *ppResponse is null when none came.
 * iProbeRule: one rule's Get on an open session: 1 the rule matches, 0 it does
 * not (an error status or another answer), -1 no answer (ZqsnmpErrno tells;
 * trvdis tries no further rule).  The response, if any, goes to *ppResponse.
 * iProbeRixen: 1 and the dotted board address in szAddress (16 bytes) when a
 * board answers, 0 when none does, -1 no answer in time. */
short iProbeAgent(const char *szHost, ZqPdu **ppResponse);
int iProbeRule(ZqSession *pSession, const ClassRule *pRule, ZqPdu **ppResponse);
int iProbeRixen(const char *szHost, char *szAddress);
/* 1 when every condition of the rule matches the response's binding in the
 * same place and both lists end together. */
int iRuleMatches(const ClassRule *pRule, const ZqPdu *pResponse);
/* 1 when one rule condition matches one response binding. */
int iVarBindMatches(const RuleCondition *pCondition, const ZqVarBind *pReceived);
/* Deletes every subsystem object of a node. */
void DeleteSubSysObjects(ZqwObjectId uiNode);

/* ------------------------------------------------------------------------
 * Status polling (get_set_status_trap.cpp)
 * ------------------------------------------------------------------------ */

void vPollNodeStatus(ZqwObjectId uiNode);
void UpdateSubsystemStatus(const ZqwObjectIdList *pList, ZqSession *pSession, const char *szHost);
/* One OID of a status query. */
typedef struct TrvOid {
    const ZqOid *pOid;
    int          iLength;
} TrvOid;
/* Copies of an OID for a status query hold at most 30 sub-identifiers. */
#define TRV_STATUS_OID_MAX 30
/* One Get per OID; the last good response (the caller's) or null. */
ZqPdu *GetNodeStatus(ZqSession *pSession, const TrvOid *aOids, int iCount);
int iSetSubSysStatus(const char *szHost, const ZqPdu *pResponse, ZqwObjectId uiObject);
/* The status a condition answer gives: "Unknown" for no response or no record,
 * the name of codes 1 to 4, null for any other code (nothing is written). */
const char *szStatusForCondition(const ZqPdu *pResponse);
/* "WEB_DISABLED" 1, "WEB_ENABLED" 2, anything else 0. */
int iWebSubSysKind(const char *szName);

/* ------------------------------------------------------------------------
 * Probe ahead, commit in order (trvahead.cpp)
 *
 * The network requests of the nodes a pass handles next go out before their
 * turn, up to iProbeWindow nodes at once (trvdis -window N; 1: none ahead, each
 * node asks at its turn).  At its turn a node's step takes each answer from
 * what was gathered for it in this pass, at most TRVDIS_AHEAD_MAX_AGE seconds
 * ago, and asks only for what is missing.  Nodes of the request queue are
 * always asked afresh.  The step's database calls are one group (ZqwDbBegin),
 * committed before each event and before any request that waits for the
 * network.
 * ------------------------------------------------------------------------ */

#define TRVDIS_DEFAULT_WINDOW 256
#define TRVDIS_MAX_WINDOW     4096
#define TRVDIS_AHEAD_MAX_AGE  60

/* What a step asks, as pAheadSend knows it. */
#define TRV_ASK_AGENT   0
#define TRV_ASK_VERSION 1
#define TRV_ASK_RIXEN   2
#define TRV_ASK_STATUS  3
#define TRV_ASK_RULE0   4   /* then one per rule, in file order */

extern int iProbeWindow;
/* Ids ever put into / taken from the discovery queue: a node's place in a pass. */
extern uint64_t uiQueuedSerial;
extern uint64_t uiTakenSerial;
/* The pass's list of ids and how far vDiscover has come in it (null between passes). */
extern const ZqwObjectId *pPassIds;
extern size_t uiPassCount;
extern size_t uiPassNext;

void vAheadNewPass(void);
void vAheadPassEnded(void);
/* A request for the node arrived: nothing gathered for it before is used. */
void vAheadForget(ZqwObjectId uiNode);
/* Starts gathering for the next nodes while the window has room. */
void vAheadFill(void);
/* Adds the descriptors of the requests in flight to a wait, and lowers its time-out. */
void vAheadWaitSet(int *pWidth, fd_set *pRead, fd_set *pWrite, struct timeval *pTimeout);
/* After a wait: takes the answers that came, then fills the window. */
void vAheadPump(fd_set *pRead, fd_set *pWrite);
/* 1 when the discovery queue's next node may take its turn (nothing of it still
 * on the way). */
int iAheadHeadReady(void);
int iAheadInFlight(void);
/* 1 when the requests in flight are to be looked at in a wait that does not
 * wait (at most every 2 ms). */
int iAheadDue(void);
/* Around one node's step. */
void vAheadStepBegin(ZqwObjectId uiNode, int iWhich);
void vAheadStepCommit(void);
void vAheadStepEnd(void);
/* ZqsnmpBlockingSend for the step's request iKey (TRV_ASK_*), answered from
 * what was gathered when there is something; same ownership rules. */
ZqPdu *pAheadSend(ZqSession *pSession, ZqPdu *pRequest, int iKey);
/* iProbeWebAgent for the step, answered from what was gathered. */
int iAheadWebProbe(const char *szAddress);
/* Forgets everything (the queues were emptied). */
void vAheadClear(void);

/* ------------------------------------------------------------------------
 * Trap listener and map notifications (trvutrap.cpp)
 * ------------------------------------------------------------------------ */

#define TRV_NODE_UP_SPECIFIC    58916864u
#define TRV_NODE_DOWN_SPECIFIC  58916865u
/* Most bytes of a text taken from a binding (a 256-byte buffer). */
#define TRV_BINDING_TEXT_MAX    255

void vTrapCallback(int iReason, ZqSession *pSession, ZqPdu *pPdu, void *pData);
void vProcessReqTrap(ZqPdu *pPdu);
/* Sends EVT_NODE_CHANGED for a node. */
void vInformTrvmap(ZqwObjectId uiNode);

#ifdef __cplusplus
}
#endif

#endif /* TRVDIS_H */
