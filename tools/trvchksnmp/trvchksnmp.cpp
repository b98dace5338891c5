/*
 * trvchksnmp - asks one node for the seven objects of the MIB-II system group
 * and tells whether an SNMP connection with it works.
 *
 *   trvchksnmp hostname community
 *
 * Exit status: 0 when the node answered (the result of closing the session),
 * 1 on every failure.
 */
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zqsnmp.h"

#define CHK_SYSTEM_OBJECTS 7
#define CHK_OID_LENGTH     9

/* sysDescr.0 to sysServices.0, in this order. */
static const ZqOid aSystemOids[CHK_SYSTEM_OBJECTS][CHK_OID_LENGTH] = {
    {1, 3, 6, 1, 2, 1, 1, 1, 0}, {1, 3, 6, 1, 2, 1, 1, 2, 0}, {1, 3, 6, 1, 2, 1, 1, 3, 0},
    {1, 3, 6, 1, 2, 1, 1, 4, 0}, {1, 3, 6, 1, 2, 1, 1, 5, 0}, {1, 3, 6, 1, 2, 1, 1, 6, 0},
    {1, 3, 6, 1, 2, 1, 1, 7, 0},
};

/* A failed system call (error 50 and above) is reported by the C runtime with the
 * bare text; any other error number as the formatted text with its meaning. */
static void vReportFailure(const char *szBare, const char *szFormat) {
    if (ZqsnmpErrno >= ZQSNMP_E_SYSBASE) {
        errno = ZqsnmpErrno - ZQSNMP_E_SYSBASE;
        perror(szBare);
    } else {
        fprintf(stderr, szFormat, ZqsnmpErrString(ZqsnmpErrno));
    }
}

/* The name of an SNMP error status (RFC 3416), as an operator looks it up. */
static const char *szErrorStatusName(long lStatus) {
    static const char *const aNames[] = {
        "noError",         "tooBig",       "noSuchName",    "badValue",           "readOnly",
        "genErr",          "noAccess",     "wrongType",     "wrongLength",        "wrongEncoding",
        "wrongValue",      "noCreation",   "inconsistentValue", "resourceUnavailable", "commitFailed",
        "undoFailed",      "authorizationError", "notWritable", "inconsistentName",
    };
    if (lStatus >= 0 && lStatus < static_cast<long>(sizeof aNames / sizeof aNames[0])) return aNames[lStatus];
    return NULL;
}

/* Ends a run in which the node answered: the session is closed and the result of
 * closing it is the exit status. */
static int iFinish(ZqSession *pSession) {
    return ZqsnmpClose(pSession);
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf("Usage: %s hostname community\n", "trvchksnmp");
        return 0;
    }
    if (argc < 3) {
        fprintf(stderr, "Usage: %s hostname community\n", "trvchksnmp");
        return 1;
    }

    /* An empty host name is no node (the library would ask this host). */
    if (argv[1][0] == '\0') {
        fprintf(stderr, " SNMP connection absent");
        return 1;
    }
    ZqSession *pSession = ZqsnmpOpen(argv[2], argv[1], -1, -1, 0xffff, 0xffff, NULL, NULL);
    if (pSession == NULL) {
        vReportFailure("Unable to initialize SNMP session", "Unable to initialize SNMP session: %s");
        return 1;
    }
    ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    if (pRequest == NULL) {
        vReportFailure(" Unable to create PDU", "Unable to create PDU: %s\n");
        ZqsnmpClose(pSession);
        return 1;
    }
    for (int i = 0; i < CHK_SYSTEM_OBJECTS; ++i) {
        if (ZqsnmpAddNullVarBind(pRequest, aSystemOids[i], CHK_OID_LENGTH) == NULL) {
            vReportFailure(" Couldn't add variable", "Couldn't add variable: %s");
            ZqsnmpFreePdu(pRequest);
            ZqsnmpClose(pSession);
            return 1;
        }
    }

    ZqPdu *pResponse = ZqsnmpBlockingSend(pSession, pRequest);
    if (pResponse == NULL) {
        if (ZqsnmpErrno >= ZQSNMP_E_SYSBASE) {
            errno = ZqsnmpErrno - ZQSNMP_E_SYSBASE;
            perror(" Error sending request");
        } else if (ZqsnmpErrno >= ZQSNMP_E_V3USER && ZqsnmpErrno <= ZQSNMP_E_V3LEVEL) {
            /* An SNMPv3 agent refused the request and its report says why. */
            fprintf(stderr, " SNMP connection absent: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        } else {
            fprintf(stderr, " SNMP connection absent");
        }
        /* Without an answer the library has freed the request itself (error 6). */
        if (ZqsnmpErrno != ZQSNMP_E_TIMEOUT) ZqsnmpFreePdu(pRequest);
        ZqsnmpClose(pSession);
        return 1;
    }
    /* From here on the request belongs to the library: only the answer is ours. */

    if (pResponse->errstat == ZQ_ERR_NOERROR) {
        printf("\n SNMP connection present.\n");
        ZqsnmpFreePdu(pResponse);
        return iFinish(pSession);
    }
    if (pResponse->errstat == ZQ_ERR_NOSUCHNAME) {
        /* The agent lacks one of the objects: it answered all the same. */
        ZqPdu *pFixed = ZqsnmpFixPdu(pResponse, ZQSNMP_GET_REQ);
        if (pFixed != NULL) {
            ZqsnmpFreePdu(pFixed);
            ZqsnmpFreePdu(pResponse);
            return iFinish(pSession);
        }
        if (ZqsnmpErrno >= ZQSNMP_E_SYSBASE) {
            errno = ZqsnmpErrno - ZQSNMP_E_SYSBASE;
            perror(" Error sending request");
        } else {
            fprintf(stderr, "Error sending request: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        }
        ZqsnmpFreePdu(pResponse);
        ZqsnmpClose(pSession);
        return 1;
    }
    /* The agent's error status, by its protocol name: the library's error
     * texts use the same numbers for other things. */
    const char *szName = szErrorStatusName(pResponse->errstat);
    if (szName != NULL)
        fprintf(stderr, " %s\n", szName);
    else
        fprintf(stderr, " error status %ld\n", static_cast<long>(pResponse->errstat));
    ZqsnmpFreePdu(pResponse);
    ZqsnmpClose(pSession);
    return 1;
}
