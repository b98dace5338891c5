/*
 * trvtrapmain.h - trvtrapd's work: the format-statement interpreter, the
 * processing and re-issue of a received vendor trap, and the daemon's life
 * (start-up, the process-manager loop, the session callback, the exit).
 *
 * FORMAT STATEMENTS
 *   Text is copied byte for byte (UTF-8 and any other bytes pass through
 *   unchanged); an @ starts a command, letters are case-sensitive:
 *     @@      a single @
 *     @A      the agent address, dotted
 *     @C      the community (up to its length or a NUL byte)
 *     @T      the time stamp, decimal
 *     @n      the value of binding n (1-based; 0 means 1), rendered by its type
 *     @Ik,n   the k-th last sub-identifier of binding n's name (n 1..100)
 *     @Mn     the text for binding n's integer value from trvval2str.trap
 *             (n 1..100); the decimal value when the file has none
 *   A bad command leaves "# FORMAT ERROR #" in its place (the rest of the
 *   command, up to the next blank, is dropped), writes an error-log entry and
 *   the expansion goes on.  The expanded text holds at most 2,047 bytes; what
 *   would pass that is cut.  Each rendered value holds at most 2,047 bytes.
 *
 * OWNERSHIP
 *   szFormatTrapText returns text allocated with ZqsnmpMalloc: the caller frees
 *   it with ZqsnmpFree.  The received trap is only read.
 *
 * Single-threaded; the trap state (iTrapState, trvtrapinit.h) records the last
 * failure.
 */
#ifndef TRVTRAPMAIN_H
#define TRVTRAPMAIN_H

#include <stddef.h>
#include <stdint.h>

#include "trvtrapinit.h"
#include "zqsnmp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Format-statement interpreter
 * ------------------------------------------------------------------------ */
#define FORMAT_TEXT_MAX     2047   /* bytes of an expanded text, also of one rendered value */
#define FORMAT_TEXT_SIZE    (FORMAT_TEXT_MAX + 1)
#define FORMAT_VARBIND_MAX  100    /* highest binding number of @M and @I */
#define FORMAT_ERROR_MARKER "# FORMAT ERROR #"

/* The output of one expansion: the text so far and its length.  Every writer
 * stops at FORMAT_TEXT_MAX bytes; szText is always terminated. */
typedef struct FormatOutput {
    char   szText[FORMAT_TEXT_SIZE];
    size_t uiLength;
} FormatOutput;

/* The expanded text (ZqsnmpMalloc; the caller frees it), or null when the trap
 * must be dropped: the trap state says why (1501 memory, 1502 an OID that
 * cannot be converted to text). */
char *szFormatTrapText(const ZqPdu *pTrap, const TrapDef *pDef);

/* One command.  On entry *ppInput points at the character after '@'.  Both the
 * input and the output advance.  1 done; -1 with the trap state 1505 (a format
 * error: the marker was written, go on) or another state (drop the text). */
int iSubstCommand(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap);
/* @n, @Ik,n and @Mn; same parameters and results as iSubstCommand, *ppInput at
 * the first digit (@n) or at the letter (@I, @M). */
int iSubstVarBind(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap);
int iSubstSubId(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap);
int iSubstMappedValue(const char **ppInput, FormatOutput *pOutput, const ZqPdu *pTrap);

/* The n-th binding (1-based; 0 and 1 give the first), or null with error-log
 * entry 1014 and the trap state 1500. */
const ZqVarBind *pGetVarBind(int iNumber, const ZqPdu *pTrap);

/* Appends the binding's value as text, by type.  The number of bytes written
 * (0 for an empty value, for a value cut to nothing by a full output, and for
 * an unknown type, which also writes error-log entry 1015); -1 when the value
 * is not usable for its type (a missing or short value); -2 when an OBJECT
 * IDENTIFIER value cannot be converted to text (trap state 1502). */
int iRenderVarBind(FormatOutput *pOutput, const ZqVarBind *pBinding, const ZqPdu *pTrap);

/* Writes the marker and moves the input to the next blank (or the end). */
void vInsertFormatError(const char **ppInput, FormatOutput *pOutput);

/* ------------------------------------------------------------------------
 * Trap processing and re-issue
 * ------------------------------------------------------------------------ */
/* The OIDs of the re-issue, all below ENT. */
#define TRV_REISSUE_ENT_LEN   (ZQ_ENT_LENGTH + 3)   /* ENT.1.3.1 */
#define TRV_TEXT_BINDING_LEN  (ZQ_ENT_LENGTH + 4)   /* ENT.11.2.8.1 */
#define TRV_STATUS_ENT_LEN    (ZQ_ENT_LENGTH + 3)   /* ENT.1.3.12 */
extern const ZqOid aReissueEnterprise[TRV_REISSUE_ENT_LEN];
extern const ZqOid aTextBindingName[TRV_TEXT_BINDING_LEN];
extern const ZqOid aStatusRequestEnterprise[TRV_STATUS_ENT_LEN];
#define TRV_STATUS_COMMUNITY  "quillfern"
#define TRV_TRAP_PORT         162

/* 1 when the trap was re-issued (and the status request sent when its
 * definition asks for one); -1 when it was ignored or failed.  The caller
 * stops the daemon when the result is -1 and the trap state is 1999. */
int iProcessRecvdTrap(const ZqPdu *pTrap);

/* A new Trap PDU (*ppNewPdu, the caller's) re-issuing pTrap with the text as
 * its one OCTET STRING binding named pBindingName (TRV_TEXT_BINDING_LEN
 * sub-identifiers) and the enterprise pEnterprise (TRV_REISSUE_ENT_LEN
 * sub-identifiers).  The PDU gets copies of both arrays; the caller's stay the
 * caller's.  szText must be terminated.  1, or -1 (trap state 1501, or 1999
 * when the binding cannot be added). */
int iCreateCompletePdu(const ZqPdu *pTrap, ZqPdu **ppNewPdu, const char *szText, const ZqOid *pEnterprise,
                       const ZqOid *pBindingName);

/* Sends the status-request event (3004, ENT.1.3.12) for the trap's agent on the
 * given send session.  1 sent, -1 failure. */
int iNodeStatusUpdate(ZqSession *pSession, const ZqPdu *pTrap);

/* The send session of the re-issued traps and the status requests: a
 * send-only event session with trapd, opened at the first trap and kept for
 * the next ones (a connection per trap would bound a trap storm by its
 * round trips).  Null until opened and after a failure, which closes it. */
extern ZqSession *pSendSession;
ZqSession *pOpenSendSession(void);
void       vCloseSendSession(void);

/* Vendor traps without a definition are kept, one line each (time, agent,
 * enterprise, generic, number, trap identifier, bindings), in the log below,
 * rotated at TRV_LOG_LIMIT bytes; ulUnknownTraps counts them.  1 written, -1
 * not (the trap is counted all the same). */
#define TRV_UNKNOWN_LOG      "\\log\\trvtrapd.unknown"
#define TRV_UNKNOWN_LOG_OLD  "\\log\\trvtrapd.unknown.old"
extern unsigned long ulUnknownTraps;
int iKeepUnknownTrap(const ZqPdu *pTrap);

/* Counts for monitoring, from the start of the daemon: vendor traps received
 * (internal events and re-issued traps not counted), traps re-issued with
 * their text, and status requests sent to trvdis. */
extern unsigned long ulReceivedTraps;
extern unsigned long ulTranslatedTraps;
extern unsigned long ulStatusRequests;

/* ------------------------------------------------------------------------
 * The daemon's life (trvtrapd.cpp)
 * ------------------------------------------------------------------------ */
/* The process-manager channel and the trap session. */
extern int        iZqsDescriptor;
extern ZqSession *pTrapSession;

/* Program name "trvtrapd", the debug level from "-dl", the user's locale. */
void vInitProcess(int iArgc, char **ppArgv);
/* Database, the running marker of trvdis, both files loaded, definitions
 * sorted: 1, or -1 (reported). */
int  iInitialize(void);
/* Serves the process manager and the trap session; never returns. */
void vTrapdLoop(ZqSession *pSession, int iDescriptor);
/* The callback of the trap session. */
void vTrapdCallback(int iReason, ZqSession *pSession, ZqPdu *pPdu, void *pData);
/* Releases the tables, tells the process manager (kind 1, 2, 3: ZqsDone;
 * 4: ZqsInitComplete(2, ...); 5: ZqsDone after a stop) and exits. */
void vTrapdExit(int iKind, int iStatus, const char *szText) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif /* TRVTRAPMAIN_H */
