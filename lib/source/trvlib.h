/*
 * trvlib.h - the integration's common library.
 *
 * Shared by trvdis, trvmap and trvtrapd (trvdelfld uses the logger and the field
 * registry, the checkers the configuration-file opener):
 *   - the error and debug loggers and their two shared log files,
 *   - the field registry and small object, OID and text helpers,
 *   - the installation directory and the configuration-file opener,
 *   - the web-agent probe,
 *   - the internal events and the sender iSendInternalEvent.
 *
 * Results follow the system's rule: 1 success or yes, 0 no, -1 failure.
 * Nothing here throws, and nothing is thread-safe: every program is
 * single-threaded.
 */
#ifndef TRVLIB_H
#define TRVLIB_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "zqoid.h"
#include "zqsnmp.h"
#include "zqw.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Error and debug logging
 * ------------------------------------------------------------------------ */

/* Program name printed in every log line and selecting the message set:
 * "trvdis", "trvmap" or "trvtrapd".  Set once before the first log call.
 * Left null (trvdelfld, the checkers), the logger prints the name the program
 * was started under. */
extern const char *szProgramName;

/* Debug level 0 (default), 1 or 2; set once at start from iGetDebugLevel. */
extern uint16_t uiDebugLevel;

/* Error classes for iPrintError. */
#define TRV_ERR_SYSTEM  (-1)  /* "SYSTEM ERROR": strerror(errno) */
#define TRV_ERR_SNMP    (-2)  /* "SNMP API ERROR": ZqsnmpErrString(ZqsnmpErrno) */
#define TRV_ERR_ZQW     (-3)  /* "ZQW API ERROR": ZqwErrorMsg(ZqwError()) */

/* Shared logs, in Windows form (they go through zqHostPath:
 * "\temp\vtmzqerr.log" is $ZQ_ROOT/temp/vtmzqerr.log). */
#define TRV_ERROR_LOG      "\\temp\\vtmzqerr.log"
#define TRV_ERROR_LOG_OLD  "\\temp\\vtmzqerr.old"
#define TRV_DEBUG_LOG      "\\temp\\vtmzqdbg.log"
#define TRV_DEBUG_LOG_OLD  "\\temp\\vtmzqdbg.old"
/* A log of this size or more becomes the ".old" generation. */
#define TRV_LOG_LIMIT      1048576L

/* The source name the library's own debug records carry. */
#define TRV_LIB_SOURCE     "lib/source/trvlib"

/* iCode -1, -2, -3: an error class; 0 or more: a message number.  The format
 * may be null.  Returns 1 when handled, -1 on failure (log not writable, unknown
 * negative code).  errno, ZqsnmpErrno and ZqwError() are taken as they are on
 * entry, and errno is as it was on return. */
int iPrintError(int iCode, const char *szFormat, ...)
    __attribute__((format(printf, 2, 3)));

/* iDetail 1 is shown at levels 1 and 2; 2 only at level 2, with line, source
 * and program name.  Returns 1 when written or suppressed, -1 on failure. */
int iPrintDebug(int iLine, const char *szSource, uint16_t uiDetail, const char *szFormat, ...)
    __attribute__((format(printf, 4, 5)));

/* The debug level from the options: "-dl N" with N 0, 1 or 2; the last one
 * decides.  "-dl" without a value writes message 64 and gives 0. */
uint16_t iGetDebugLevel(int iArgc, char **ppArgv);

/* 1 when "--help" or "-h" is among the options (anywhere), else 0: a daemon
 * then prints its usage and ends before it touches anything. */
int iHelpAsked(int iArgc, char **ppArgv);

/* The allocation hook: the configuration parsers and the trap formatter ask
 * it before each allocation, which goes ahead when it returns 1.  The
 * library's own definition (weak) always does; only a test program defines
 * its own, to make a chosen allocation fail and prove the path that handles
 * it.  Nothing in the shipping programs replaces it. */
int iTrvAllocationAllowed(void);

/* Makes standard output and standard error line-buffered.  A daemon's output
 * goes to a log file, which stdio would otherwise buffer until the process
 * ends; every daemon calls this first. */
void vLineBufferOutput(void);

/* The text of a message: the default, unchanged (the one point where a message
 * catalogue would be consulted). */
const char *szGetMessage(int iSet, int iNumber, const char *szDefault);

/* ------------------------------------------------------------------------
 * OID and text helpers
 * ------------------------------------------------------------------------ */

/* Most sub-identifiers iOidToText writes, and the room one needs ("4294967295."). */
#define TRV_MAX_OID_TEXT_SUBIDS 256
#define TRV_OID_TEXT_PER_SUBID  11

/* 1 when the first iCount sub-identifiers are equal (also for iCount <= 0). */
int  iOidCompare(const ZqOid *pA, const ZqOid *pB, int iCount);
void vCopyOid(ZqOid *pDest, const ZqOid *pSource, int iCount);
/* Dotted decimal into szText (room for uiSize bytes with the terminator);
 * returns its length, or -1 for more than 256 sub-identifiers or a text that
 * does not fit (the buffer then holds the empty text when uiSize > 0). */
int  iOidToText(const ZqOid *pOid, int iCount, char *szText, size_t uiSize);

/* Cuts the text in place after its first token (leading blanks and tabs
 * skipped; the token ends at blank, tab, line feed, ':', ';').  Returns the
 * token's start, null for null. */
char *szFirstToken(char *szText);
/* Removes trailing blanks in place; returns the text, null for null. */
char *szTrimRight(char *szText);

/* Status names of trvDeviceStatus: "Unknown" 1, "Normal" 2, "Marginal" 3,
 * "Major" 7, anything else 0. */
int iStatusNameToCode(const char *szName);

/* ------------------------------------------------------------------------
 * Installation directory and configuration files
 * ------------------------------------------------------------------------ */

#define TRV_INSTALL_DIR_SIZE  100   /* 99 characters and the terminator */
#define TRV_CONF_PATH_SIZE    256   /* 255 characters and the terminator */
#define TRV_REGISTRY_KEY      "SOFTWARE\\Velmora\\Corvel\\Tarnwick"
#define TRV_REGISTRY_VALUE    "PathName"
#define TRV_CONF_DIR          "\\conf\\c\\trv\\"

/* The installation directory (registry value PathName), read again on every
 * vReadInstallDir; empty when the value cannot be read. */
extern char szInstallDir[TRV_INSTALL_DIR_SIZE];
/* The host path under which the last pOpenConfFile of each of the three files
 * looked (empty before the first call). */
extern char szTrvConfigPath[TRV_CONF_PATH_SIZE];   /* "trvconfig.dat" */
extern char szTrapConfPath[TRV_CONF_PATH_SIZE];    /* "trvtrapd.conf" */
extern char szValToStrPath[TRV_CONF_PATH_SIZE];    /* "trvval2str.trap" */

/* What a configuration parser reports besides its result: the caller owns the
 * record and passes it to the loader or parser, so that two parses (a checker
 * looking at two files, a test) never share one.  Zero-initialised is a valid
 * start; each loader says which fields it resets. */
#define TRV_PARSE_DETAIL_SIZE 128
typedef struct TrvParseResult {
    int  iLineNo;                           /* 1-based number of the line just read */
    int  iStatus;                           /* result of the last parse */
    char szDetail[TRV_PARSE_DETAIL_SIZE];   /* a short text on the last syntax error,
                                               "" when none */
} TrvParseResult;

/* The line reader of the three configuration files.  Reads one line into
 * szBuffer (uiMax + 1 bytes) without its line end and a carriage return right
 * before it, and counts it in *piLineNo (also at the end of the file).
 * 1: a line; 0: the end of the file, nothing read; -2: longer than uiMax or
 * holding a NUL byte (the rest of the line is consumed, the buffer holds the
 * empty text); -1: the file cannot be read (ferror). */
int iReadConfigLine(FILE *pFile, char *szBuffer, size_t uiMax, int *piLineNo);
/* A number of a configuration file, read as the Windows runtime's atol read
 * it: leading white space, a sign, digits up to the first other character;
 * beyond the 32-bit range the nearest limit (saturation, never overflow). */
int32_t iConfigNumber(const char *szText);

void vReadInstallDir(void);
/* Opens installation directory + "\conf\c\trv\" + name for reading (through
 * zqHostPath); null when it cannot be opened.  Writes no message. */
FILE *pOpenConfFile(const char *szFileName);
/* Opens the file at szPath (a host path the operator named, such as a candidate
 * file not installed yet) in place of the named one: remembered as that file's
 * path, opened as pOpenConfFile opens (a link is followed: the operator named
 * it).  Null when it cannot be opened. */
FILE *pOpenNamedConfFile(const char *szPath, const char *szFileName);
/* Opens a regular file for reading without blocking on a FIFO (and, unless
 * iFollowLink, without following a link at its last part); null (errno set)
 * otherwise. */
FILE *pOpenRegularFile(const char *szHostPath, int iFollowLink);

/* ------------------------------------------------------------------------
 * Web-agent probe
 * ------------------------------------------------------------------------ */

/* The web agent's TCP port.  Always 2301 in the programs; tests point it at a
 * responder of their own. */
extern unsigned int uiWebAgentPort;
#define TRV_WEB_AGENT_PORT 2301

/* 1 when an HTTP reply came back from address:2301, -1 in every other case. */
int iProbeWebAgent(const char *szAddress);

/* ------------------------------------------------------------------------
 * Internal events
 * ------------------------------------------------------------------------ */

#define EVT_DISCOVER_REQUEST   3001
#define EVT_NODE_CHANGED       3002
#define EVT_STATUS_UPDATED     3003
#define EVT_STATUS_REQUEST     3004
#define EVT_UNINSTALL_REQUEST  3005

/* Sub-identifiers of an internal event's enterprise: ENT.1.3.n. */
#define TRV_EVENT_OID_LEN (ZQ_ENT_LENGTH + 3)

/* One internal event of the catalogue. */
typedef struct TrvEventDef {
    int         iSpecific;                       /* 3001 to 3005 */
    const char *szName;                          /* "EVT_NODE_CHANGED" ... */
    ZqOid       aEnterprise[TRV_EVENT_OID_LEN];  /* ENT.1.3.n */
} TrvEventDef;

/* The catalogue of the five internal events, in number order. */
extern const TrvEventDef aTrvEvents[5];
/* The catalogue entry of an event number, or null. */
const TrvEventDef *pGetEventDef(int iSpecific);

/* Sends a Trap PDU to the local trap daemon with the given enterprise, generic
 * and specific number, carrying sourcePdu's bindings, each renamed to the
 * enterprise OID, and its community.  sourcePdu stays the caller's, unchanged;
 * the caller frees it whatever the result.  1 sent, -1 failure (reported). */
int iSendInternalEvent(const ZqPdu *pSourcePdu, const ZqOid *pEnterprise, size_t uiEnterpriseLength,
                       int iGeneric, int iSpecific);
/* The sender keeps its session to the trap daemon open between events (a new
 * one after a failed send or for another community); this closes it. */
void vCloseEventSender(void);

/* ------------------------------------------------------------------------
 * Field registry and object helpers
 * ------------------------------------------------------------------------ */

/* Field ids, one per registry field, resolved by iGetFieldIds (null before). */
extern ZqwFieldId uiFieldTrvSysType;        /* trvSysType (enumeration) */
extern ZqwFieldId uiFieldTrvSubSysType;     /* trvSubSysType (enumeration) */
extern ZqwFieldId uiFieldTrvOsType;         /* trvOsType (text) */
extern ZqwFieldId uiFieldTrvDeviceStatus;   /* trvDeviceStatus (enumeration) */
extern ZqwFieldId uiFieldTrvNodeObjId;      /* trvNodeObjId (integer) */
extern ZqwFieldId uiFieldIsTrvVantor;       /* isTrvVantor (boolean) */
extern ZqwFieldId uiFieldIsTrvRIXEN;        /* isTrvRIXEN (boolean) */
extern ZqwFieldId uiFieldTrvRIXENip;        /* trvRIXENip (text) */
extern ZqwFieldId uiFieldIsVelmswp;         /* isVelmswp (boolean; trvdis only) */
extern ZqwFieldId uiFieldIsComputer;        /* isComputer */
extern ZqwFieldId uiFieldIsServer;          /* isServer */
extern ZqwFieldId uiFieldIsClient;          /* isClient */
extern ZqwFieldId uiFieldIsDevice;          /* isDevice */
extern ZqwFieldId uiFieldIsNode;            /* isNode */
extern ZqwFieldId uiFieldZqwMapsExists;     /* "ZQW Maps Exists" (integer) */
extern ZqwFieldId uiFieldIpAddress;         /* "IP Address" (text, interface objects) */
extern ZqwFieldId uiFieldTopMNodeId;        /* "TopM Node ID" (integer, interface objects) */
extern ZqwFieldId uiFieldIsSNMPSupported;   /* isSNMPSupported */
extern ZqwFieldId uiFieldIsIP;              /* isIP */

/* One field of the registry, in resolution order. */
typedef struct TrvFieldDef {
    const char *szName;
    ZqwFieldId *pId;
    int         iTrvdisOnly;   /* 1: only trvdis resolves it (isVelmswp) */
} TrvFieldDef;
#define TRV_FIELD_COUNT 19
extern const TrvFieldDef aTrvFields[TRV_FIELD_COUNT];

/* The selection name of the running marker that trvdis keeps while it runs. */
#define TRV_RUNNING_MARKER "Trvrunning"

/* Resolves the registry in table order; the program named "trvdis" resolves all
 * 19 names, every other program the list without isVelmswp.  1 when every name
 * resolved; -1 at the first that does not (the rest stay null).  No message. */
int iGetFieldIds(void);
/* 1 when the running marker exists, else 0. */
int iIsTrvdisRunning(void);
/* 1 managed, 0 unmanaged or no "IP Status" value, -1 database connection lost. */
int iIsNodeManaged(ZqwObjectId uiNode);
/* 1 when the web agent answers on one of the node's IP interfaces, else 0.
 * Each address is probed through pfnWebAgentProbe (iProbeWebAgent unless the
 * program puts its own there: trvdis answers from probes made ahead). */
int iIsWebEnabled(ZqwObjectId uiNode);
extern int (*pfnWebAgentProbe)(const char *szAddress);
/* 1 node, 2 device, -1 neither. */
int iGetNodeKind(ZqwObjectId uiObject);
/* The object's trvNodeObjId, or 0 when it has none. */
int iGetNodeObjId(ZqwObjectId uiObject);
/* The objects whose trvNodeObjId is the host's object id (an empty list when
 * there are none); null on failure or when the host has no object.  Freed with
 * ZqwDbFreeObjectIdList.  Shared by trvdis and trvmap. */
ZqwObjectIdList *pGetSubSysObjIds(const char *szHost);
/* The same for a node's object id; a failed look-up is reported ("trvNodeObjId :"). */
ZqwObjectIdList *pListSubSysObjIds(ZqwObjectId uiNode);
/* The object named by a selection name, a host name or a decimal id (an id
 * names an object only when that object has a host name); the null id when
 * none.  *piDbLost (when piDbLost is not null) is set to 1 when a look-up
 * failed because the database connection was lost. */
ZqwObjectId uiResolveName(const char *szName, int *piDbLost);
/* The node whose interface object carries the dotted address ("IP Address",
 * then its "TopM Node ID"); the null id when none. */
ZqwObjectId uiNodeOfAddress(const char *szAddress);
/* uiResolveName, then an address or a host name of conf/hosts: the node of an
 * interface with that address, else the node whose host name is the address. */
ZqwObjectId uiResolveNodeOrAddress(const char *szName, int *piDbLost);
/* Value records for the database's look-ups and filters. */
ZqwFieldValue stBoolValue(int iValue);
ZqwFieldValue stIntValue(int32_t iValue);
ZqwFieldValue stEnumValue(int32_t iValue);
/* Room for a field's value as text in the tools that print it; a longer text
 * is cut. */
#define TRV_FIELD_TEXT_SIZE 1024
/* A field's value as text in szBuf (uiSize bytes, cut to fit): "TRUE" or
 * "FALSE", the integer in decimal, the string, the enumeration value's name.
 * 1 with the value; 0 when there is none (a null object or field, or no value
 * set) and 2 for an enumeration value that has no name: szBuf then holds
 * szNone (null: ""). */
int iFieldText(ZqwObjectId uiObject, ZqwFieldId uiField, const char *szNone, char *szBuf, size_t uiSize);
/* 1 managed, 0 unmanaged (symbol status 5), -1 when the open map or the symbol's
 * information cannot be read (no report for a symbol that does not exist, 141). */
int iIsSymbolManaged(ZqwSymbolId uiSymbol);

#ifdef __cplusplus
}
#endif

#endif /* TRVLIB_H */
