/*
 * trvmib.h - the traps and notifications of SMIv1 and SMIv2 modules, read with
 * net-snmp's MIB parser, as plain records for trvmib2conf and trvtrapchk.
 *
 * A TRAP-TYPE gives its ENTERPRISE and VALUE; a NOTIFICATION-TYPE is mapped
 * to an enterprise and a specific number as trapd maps a v2 notification
 * (RFC 3584): when the next-to-last sub-identifier of its OID is 0, the
 * enterprise is the OID without its last two sub-identifiers, else without its
 * last one; the specific number is the last sub-identifier.
 *
 * Modules are looked for in the folders of the files given and in the shipped
 * folder of base modules (conf/mibs); a module found in both is taken from the
 * folders of the files given.  Results: 1 success, -1 failure (szMibError says
 * why: the parser's first error with its line, as "FILE: Cannot find module
 * (NAME): At line N in FILE").  Nothing is thread-safe; the records are malloc'ed.
 */
#ifndef TRVMIB_H
#define TRVMIB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MibEnum {
    int32_t          iValue;
    char            *szLabel;
    struct MibEnum  *pNext;        /* in the module's order */
} MibEnum;

/* One variable (object) of a trap, in the order of VARIABLES or OBJECTS. */
typedef struct MibVar {
    char            *szName;
    char            *szOid;        /* dotted, no leading dot; empty when unknown */
    MibEnum         *pEnums;       /* null when the object is not enumerated */
    struct MibVar   *pNext;
} MibVar;

typedef struct MibTrap {
    char            *szName;
    char            *szModule;
    int              iSmiVersion;    /* 1 TRAP-TYPE, 2 NOTIFICATION-TYPE */
    char            *szEnterprise;   /* dotted, no leading dot */
    int32_t          iNumber;        /* the specific trap number */
    char            *szDescription;  /* "" when none */
    MibVar          *pVars;
    int              iVarCount;
    struct MibTrap  *pNext;          /* by enterprise, then number */
} MibTrap;

extern char szMibError[512];

/* Reads the files and lists their traps and notifications (all of them; the
 * caller filters by enterprise).  *ppTraps is null when there are none. */
int  iLoadMibTraps(const char *const *ppFiles, int iCount, MibTrap **ppTraps);
void vFreeMibTraps(MibTrap *pTraps);
/* Releases what the parser holds (at the end of the program). */
void vUnloadMibs(void);
/* 1 when szOid is szPrefix or lies below it (dotted texts, no leading dots). */
int  iOidTextUnder(const char *szOid, const char *szPrefix);

#ifdef __cplusplus
}
#endif

#endif /* TRVMIB_H */
