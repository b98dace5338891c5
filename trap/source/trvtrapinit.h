/*
 * trvtrapinit.h - trvtrapd's two configuration files and the daemon's trap state.
 *
 * trvtrapd.conf: the trap definitions.  Comment lines ('#' first) may stand
 * before each block; every block is exactly four lines:
 *
 *   START_TRAP
 *   {.ENTERPRISE} NUMBER Y|N        enterprise: digits and dots (at most 27),
 *                                   number: digits (at most 27), Y: ask trvdis
 *                                   for a status update of the sending node
 *   FORMAT STATEMENT                any text: the event text with its @-commands
 *   END_TRAP
 *
 * trvval2str.trap: texts for the integer values of enumerated MIB objects.
 * Comment and blank lines may stand between blocks:
 *
 *   BEGIN_OID 1.3.6.1.4.1.64001.2.3.1.4
 *   1 "other"
 *   2 "ok"
 *   END_OID
 *
 * Lines hold at most 511 (trap definitions) and 255 (value texts) characters;
 * a carriage return before the line end is dropped.
 *
 * The parsers are shared by trvtrapd and the checkers trvtrapchk and
 * trvval2strchk.  Every record and text of both tables is allocated with
 * ZqsnmpMalloc, the pointer arrays with realloc.
 */
#ifndef TRVTRAPINIT_H
#define TRVTRAPINIT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "trvlib.h"
#include "zqsnmp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * The trap state: the last failure of trvtrapd, process-wide.  Never reset;
 * every failure overwrites it.
 * ------------------------------------------------------------------------ */
#define TRAP_STATE_NOT_PROCESSED  1500  /* no definition, or a needed binding is absent */
#define TRAP_STATE_NOMEM          1501
#define TRAP_STATE_OID_TEXT       1502  /* an OID of more than 256 sub-identifiers */
#define TRAP_STATE_FORMAT         1505  /* error in a format statement */
#define TRAP_STATE_NO_DEF         1506  /* no trap definition matches */
#define TRAP_STATE_NO_OBJECT      1507  /* value-to-string file: no block for the object */
#define TRAP_STATE_NO_VALUE       1508  /* value-to-string file: no text for the value */
#define TRAP_STATE_FATAL          1999  /* the daemon must stop */
extern int iTrapState;

/* Parser results, shared by both files.  Each loader and parser takes the
 * caller's parse record (trvlib.h), never null; its fields per file are
 * described below. */
#define TRAPCONF_OK        1
#define TRAPCONF_SYNTAX    0
#define TRAPCONF_NOMEM    (-1)
#define TRAPCONF_NOFILE   (-2)

/* ------------------------------------------------------------------------
 * Trap definitions (trvtrapd.conf)
 * ------------------------------------------------------------------------ */
#define TRAPDEF_LINE_MAX        511
#define TRAPDEF_ENTERPRISE_MAX   27
#define TRAPDEF_NUMBER_MAX       27
/* Room for the received enterprise as text in the lookup. */
#define TRAPDEF_ENT_TEXT_SIZE  2820

typedef struct TrapDef {
    char    *szEnterprise;    /* as written between the braces, with its leading dot */
    int32_t  iTrapNumber;     /* specific trap number */
    char     cStatusUpdate;   /* 'Y': ask for a status update of the node; 'N' */
    char    *szFormat;        /* the format statement: the block's third line */
} TrapDef;

/* The table of the last load: pointers in file order, sorted by vSortTrapDefs. */
extern TrapDef **ppTrapDefs;
extern int       iTrapDefCount;

/* The parse record of trvtrapd.conf:
 *   iLineNo   counts the lines read; iLoadTrapDefs sets it to 0 first, so each
 *             load counts from line 1; iParseTrapDefs goes on from it;
 *   iStatus   the result of the last iParseTrapDefs (a load that cannot open
 *             the file leaves it);
 *   szDetail  "" when a parse starts, then "Line N: why" for trvtrapchk's
 *             detail line and trvtrapd's error log. */

/* Loads trvtrapd.conf (pOpenConfFile): the number of definitions (1 or more)
 * with *pppTable set; 0 after a failed parse (message printed, table emptied)
 * or for a file without blocks; -2 when the file cannot be opened (nothing
 * printed).  A previous table is released first. */
int      iLoadTrapDefs(TrapDef ***pppTable, TrvParseResult *pResult);
/* As iLoadTrapDefs, from a file already opened (pOpenNamedConfFile: a candidate
 * named by the operator), which it closes; null gives TRAPCONF_NOFILE. */
int      iLoadTrapDefsFrom(FILE *pFile, TrapDef ***pppTable, TrvParseResult *pResult);
/* Appends the definitions of an open file: 1, 0 (syntax) or -1 (memory). */
int      iParseTrapDefs(FILE *pFile, TrvParseResult *pResult);
/* Writes the text of the record's status to standard output (both files; a
 * syntax error with the record's line number). */
void     vPrintTrapParseError(const TrvParseResult *pResult);
/* By trap number, then by enterprise text in byte order. */
void     vSortTrapDefs(void);
/* The definition for a received trap (by the last sub-identifier of its trap
 * identifier and its enterprise), or null with the trap state 1502 or 1506. */
TrapDef *pFindTrapDef(const ZqPdu *pTrap);
void     vFreeTrapDefs(void);

/* ------------------------------------------------------------------------
 * Value-to-string maps (trvval2str.trap)
 * ------------------------------------------------------------------------ */
#define VALMAP_LINE_MAX     255
#define VALMAP_WORD_MAX      51   /* first word and OID text of a BEGIN_OID line */
#define VALMAP_NUMBER_MAX    27
#define VALMAP_TEXT_MAX     255

typedef struct ValMapPair {
    int32_t             iValue;
    char               *szText;
    struct ValMapPair  *pNext;    /* file order */
} ValMapPair;

typedef struct ValMapEntry {
    char        *szOid;           /* as written after BEGIN_OID */
    ValMapPair  *pPairs;          /* null when the block has no value lines */
} ValMapEntry;

extern ValMapEntry **ppValMap;       /* blocks in file order */
extern int           iValMapCount;   /* blocks begun (record and OID text exist) */

/* The parse record of trvval2str.trap:
 *   iLineNo   counts the lines read; iLoadValMap sets it to 0 first, so each
 *             load counts from line 1; iParseValMap goes on from it;
 *   iStatus   iLoadValMap sets 3 before it opens the file and -2 when it
 *             cannot; otherwise the result of the last iParseValMap;
 *   szDetail  "" when a parse starts: this parser says no more than the line. */

/* Loads the named file (pOpenConfFile): the number of blocks begun, also after
 * a failed parse (message printed; what was read stays), or -2 when the file
 * cannot be opened.  *pppTable is set to the table.  A previous table is
 * released first. */
int  iLoadValMap(ValMapEntry ***pppTable, const char *szFileName, TrvParseResult *pResult);
/* As iLoadValMap, from a file already opened, which it closes. */
int  iLoadValMapFrom(FILE *pFile, ValMapEntry ***pppTable, TrvParseResult *pResult);
/* Appends the blocks of an open file: 1, 0 (syntax) or -1 (memory). */
int  iParseValMap(FILE *pFile, TrvParseResult *pResult);
/* The text for value iValue of the OID szOid (dotted, no leading dot): the
 * first block whose OID is szOid or a prefix of it ending at a dot decides.
 * Copies the text into szText (uiSize bytes) and returns its length; returns 0
 * with error-log entry 1106 / trap state 1507 (no block, or a block without
 * values) or 1107 / 1508 (no text for the value). */
int  iValToStr(const char *szOid, int iValue, char *szText, size_t uiSize);
void vFreeValMap(void);

#ifdef __cplusplus
}
#endif

#endif /* TRVTRAPINIT_H */
