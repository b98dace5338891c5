/*
 * TrvConf.h - the discovery configuration file trvconfig.dat.
 *
 * trvconfig.dat holds two settings of the discovery cycle and an ordered list of
 * classification rules.  Grammar (one item a line; lines of at most 511
 * characters; a carriage return before the line end is dropped):
 *
 *   # comment            lines starting with '#', '[', a blank, or empty: ignored
 *   DiscoveryInterval: 30
 *   Re-DiscoveryIntervalIteration: 10
 *   Server:LABEL:OID TYPE "VALUE"
 *   Desktop:LABEL:OID TYPE "VALUE"
 *
 * A rule says: a node whose agent answers VALUE of type TYPE (INTEGER, STRING or
 * OID, any case) for OID is a server (or desktop) running the operating system
 * LABEL.  OID is dotted decimal without a leading dot; an OID value is written
 * with one.  Blanks and colons may be mixed between the first three fields.
 *
 * The parser is shared by trvdis (which uses the rules) and trvconfchk (which
 * only reports the result).  Results: 1 success, -1 the file cannot be opened,
 * -2 syntax error, -6 allocation failure.
 */
#ifndef TRVCONF_H
#define TRVCONF_H

#include <stdint.h>
#include <stdio.h>

#include "trvlib.h"
#include "zqoid.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the loader and the parser. */
#define TRVCONF_OK          1
#define TRVCONF_NOFILE     (-1)
#define TRVCONF_SYNTAX     (-2)
#define TRVCONF_NOMEM      (-6)

/* Expected SNMP types of a condition (the platform's type codes). */
#define TRVCONF_TYPE_NONE     0   /* a type word other than INTEGER, STRING, OID: never matches */
#define TRVCONF_TYPE_INTEGER  2
#define TRVCONF_TYPE_STRING   4
#define TRVCONF_TYPE_OID      6

/* Limits of the file. */
#define TRVCONF_LINE_MAX      511  /* characters of a line */
#define TRVCONF_FIELD_MAX      51  /* class word, label, OID text, type word */
#define TRVCONF_VALUE_MAX     127  /* characters between the quotes */
#define TRVCONF_OID_MAX        20  /* sub-identifiers of an OID */
#define TRVCONF_SUBID_DIGITS   19  /* digits of one sub-identifier */

/* Defaults of the two settings (also what a 0 in the file gives). */
#define TRVCONF_DEFAULT_INTERVAL   30
#define TRVCONF_DEFAULT_ITERATION  10

/* One condition of a rule: the agent's answer for pOid must have type ucType
 * and equal the value. */
typedef struct RuleCondition {
    struct RuleCondition *pNext;   /* null: the parser gives every rule one condition */
    ZqOid         *pOid;           /* owned (malloc), iOidLength sub-identifiers */
    int32_t        iOidLength;
    unsigned char  ucType;         /* TRVCONF_TYPE_* */
    void          *pValue;         /* owned (malloc): one int32_t (INTEGER), the characters
                                      plus a terminator (STRING), ZqOid[] (OID); null for
                                      TRVCONF_TYPE_NONE */
    int32_t        iValueLength;   /* 4; characters; sub-identifiers; 0 for NONE */
} RuleCondition;

/* One rule line, in file order. */
typedef struct ClassRule {
    char                  szClass[16];   /* "Server" or "Desktop" */
    char                 *szLabel;       /* owned (malloc): the OS label */
    RuleCondition        *pConditions;   /* exactly one */
    struct ClassRule     *pNext;         /* null at the tail */
} ClassRule;

/* Results of the last load, process-wide. */
extern ClassRule   *pClassRules;        /* head of the rule list, null when none */
extern int32_t      iDiscoveryInterval; /* minutes; starts at 30 */
extern uint32_t     uiReDisIteration;   /* passes between re-discoveries; starts at 10 */

/* The parse record (trvlib.h) of this file, *pResult, never null:
 *   iLineNo   counts the lines read; iLoadTrvConfig sets it to 0 first, so
 *             each load counts from line 1; iParseTrvConfig goes on from it;
 *   iStatus   1 when a parse starts, then the result of a failed parse;
 *   szDetail  "" when a parse starts, then "Line N: why" for trvconfchk's
 *             detail line and trvdis's error log. */

/* Loads trvconfig.dat (pOpenConfFile): 1, -1 (nothing printed, the record
 * keeps its status and detail), -2 or -6 (the message printed by
 * vPrintParseError).  Rules are appended to the list. */
int  iLoadTrvConfig(TrvParseResult *pResult);
/* The same without the message: for a tool whose standard output is its
 * report, with the reason in the record. */
int  iReadTrvConfig(TrvParseResult *pResult);
/* The line loop over an open file: 1, -2 or -6.  Resets the status and the
 * detail, not the line counter. */
int  iParseTrvConfig(FILE *pFile, TrvParseResult *pResult);
/* Writes the text of the record's status to standard output (a syntax error
 * with the record's line number). */
void vPrintParseError(const TrvParseResult *pResult);
/* The library's configuration line reader (iReadConfigLine) for this file:
 * szBuffer holds TRVCONF_LINE_MAX + 1 bytes, pResult->iLineNo counts.  Returns
 * 1 for a line, 0 at the end of the file (empty line), -2 for a line longer
 * than TRVCONF_LINE_MAX or holding a NUL byte (the rest of the line is
 * consumed and the buffer holds the empty text), -1 when the file cannot be
 * read. */
int  iReadConfLine(FILE *pFile, char *szBuffer, TrvParseResult *pResult);
/* Splits dotted decimal text at every dot (an empty piece gives 0).  Returns a
 * malloc'ed array and its count, or null: *piError is then -6 (allocation) or
 * -2 (more than TRVCONF_OID_MAX pieces, a piece that is not a number of at most
 * TRVCONF_SUBID_DIGITS digits and at most 4294967295). */
ZqOid *iSplitOid(const char *szText, int32_t *piCount, int *piError);
/* Releases the rule list and restores both settings' start values. */
void vFreeTrvConfig(void);

#ifdef __cplusplus
}
#endif

#endif /* TRVCONF_H */
