/*
 * trvchkagnt - tells for each node whether it answers SNMP and whether the
 * vendor's management agents answer in the vendor's enterprise subtree.
 *
 *   trvchkagnt -n nodename1 nodename2 ...
 *   trvchkagnt -f filename      (one host name or address a line; blank lines
 *                                and lines starting with '#' are skipped, as is
 *                                what cannot be a host name)
 *
 * The community is TRV_COMMUNITY when set and not empty, else the one the SNMP
 * library's configuration gives.  Exit status after a report: 0 when every node
 * answered SNMP, 1 otherwise.  Usage and option errors: 255 (no arguments),
 * 1 (bad option), 254 (bad use of -n or -f, or no node after -n), 253 (no
 * option first).  An empty node name is reported as not answering.
 */
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zqoid.h"
#include "zqsnmp.h"

static const ZqOid aConnectivityOid[] = {1, 3};
static const ZqOid aAgentsOid[] = {ZQ_ENT_SUBIDS};

static void vPrintUsage(void) {
    printf("\nTarvo utility to determine whether a node has Active Tarvo Agents.\n\n");
    printf("Usage :\ttrvchkagnt [-n nodename1 nodename2 ...]  \n\n");
    printf("\tnodename \t: Hostname/IP-Address of node.\n");
    printf("\tfilename\t: Name of file with list of Hostnames/IP-Addresses .\n");
}

static void vPrintBadOption(const char *szArg) {
    printf("\nError : \"%s\" is a bad option. \n", szArg);
    vPrintUsage();
}

static void vReportLibraryError(void) {
    fprintf(stderr, "\n%s\n", ZqsnmpErrString(ZqsnmpErrno));
}

/* One GetNextRequest for pOid to the node.  1 when the node answered with error
 * status 0 and a first binding whose OID lies under pOid; 0 otherwise.  The
 * answer is judged on its own, whatever other nodes answered before. */
static int iQueryNode(const char *szNode, const char *szCommunity, const ZqOid *pOid, size_t uiOidLength) {
    /* An empty name is no node: the library would take it for this host. */
    if (szNode[0] == '\0') return 0;
    ZqSession *pSession = ZqsnmpOpen(szCommunity, szNode, -1, -1, 0xffff, 0xffff, NULL, NULL);
    if (pSession == NULL) {
        vReportLibraryError();
        return 0;
    }
    ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GETNEXT_REQ);
    if (pRequest == NULL) {
        vReportLibraryError();
        ZqsnmpClose(pSession);
        return 0;
    }
    if (ZqsnmpAddNullVarBind(pRequest, pOid, uiOidLength) == NULL) {
        vReportLibraryError();
        ZqsnmpFreePdu(pRequest);
        ZqsnmpClose(pSession);
        return 0;
    }
    ZqPdu *pResponse = ZqsnmpBlockingSend(pSession, pRequest);
    if (pResponse == NULL) {
        /* An SNMPv3 agent's refusal says why (unknown user, wrong key...): a
         * library error like the others; a silent node is no error. */
        if (ZqsnmpErrno >= ZQSNMP_E_V3USER && ZqsnmpErrno <= ZQSNMP_E_V3LEVEL) vReportLibraryError();
        /* Without an answer the library has freed the request itself (error 6). */
        if (ZqsnmpErrno != ZQSNMP_E_TIMEOUT) ZqsnmpFreePdu(pRequest);
        ZqsnmpClose(pSession);
        return 0;
    }
    const ZqVarBind *pFirst = pResponse->variables;
    int iResult = pResponse->errstat == ZQ_ERR_NOERROR && pFirst != NULL && pFirst->name != NULL &&
                  pFirst->name_length >= uiOidLength &&
                  memcmp(pFirst->name, pOid, uiOidLength * sizeof(ZqOid)) == 0;
    ZqsnmpFreePdu(pResponse);
    ZqsnmpClose(pSession);
    return iResult;
}

/* Reports every node; 1 when all answered SNMP, else 0. */
static int iReportNodes(const std::vector<std::string> &aNodes, const char *szCommunity) {
    int iAllAnswered = 1;
    if (szCommunity != NULL) printf("\nUsing Community String \"%s\".\n", szCommunity);
    for (const std::string &szNode : aNodes) {
        printf("\nNode - %s\n", szNode.c_str());
        fflush(stdout);
        if (!iQueryNode(szNode.c_str(), szCommunity, aConnectivityOid, 2)) {
            printf("       SNMP connectivity is not available.\n");
            iAllAnswered = 0;
            continue;
        }
        printf("       SNMP connectivity is available.\n");
        if (iQueryNode(szNode.c_str(), szCommunity, aAgentsOid, ZQ_ENT_LENGTH))
            printf("       Velm Management Agents are running.\n\n");
        else
            printf("       Velm Management Agents are not running.\n\n");
        fflush(stdout);
    }
    return iAllAnswered;
}

/* Node names longer than a host name can be are not names; a line keeps at most
 * this many characters; no more than this many bytes of a file are read (a
 * device such as /dev/zero never ends). */
#define AGN_NAME_MAX   255
#define AGN_LINE_MAX   1024
#define AGN_FILE_MAX   (16L * 1024 * 1024)

/* Adds the name of one line of a node file: surrounding blanks ignored, blank
 * lines and '#' lines skipped, anything that cannot be a name reported. */
static void vAddNodeLine(std::vector<std::string> &aNodes, const std::string &szLine, int iCut,
                         const char *szFileName, long lLineNo) {
    const char *szBlanks = " \t\r\f\v";
    size_t uiStart = szLine.find_first_not_of(szBlanks);
    if (uiStart == std::string::npos || szLine[uiStart] == '#') return;
    size_t uiEnd = szLine.find_last_not_of(szBlanks);
    std::string szName = szLine.substr(uiStart, uiEnd - uiStart + 1);
    if (iCut || szName.size() > AGN_NAME_MAX || szName.find('\0') != std::string::npos) {
        fprintf(stderr, "trvchkagnt: \"%s\" line %ld is no node name; skipped.\n", szFileName, lLineNo);
        return;
    }
    aNodes.push_back(szName);
}

/* The node names of a file, one a line.  Empty when the file cannot be read. */
static std::vector<std::string> aReadNodeFile(const char *szFileName) {
    std::vector<std::string> aNodes;
    FILE *fp = fopen(szFileName, "r");
    if (fp == NULL) return aNodes;
    std::string szLine;
    int iCut = 0;
    long lLineNo = 1, lBytes = 0;
    for (;;) {
        int c = getc(fp);
        if (c != EOF && ++lBytes > AGN_FILE_MAX) {
            fprintf(stderr, "trvchkagnt: only the first %ld bytes of \"%s\" are read.\n", AGN_FILE_MAX, szFileName);
            c = EOF;
        }
        if (c == EOF || c == '\n') {
            vAddNodeLine(aNodes, szLine, iCut, szFileName, lLineNo);
            if (c == EOF) break;
            szLine.clear();
            iCut = 0;
            ++lLineNo;
        } else if (szLine.size() < AGN_LINE_MAX) {
            szLine += static_cast<char>(c);
        } else {
            iCut = 1;
        }
    }
    fclose(fp);
    return aNodes;
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        vPrintUsage();
        return 255;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        vPrintUsage();
        return 0;
    }

    int iNodeList = 0, iNodeFile = 0;
    for (int i = 1; i < argc; ++i) {
        const char *szArg = argv[i];
        if (szArg[0] != '-' || strlen(szArg) != 2) continue;
        if (szArg[1] == 'n')
            iNodeList = 1;
        else if (szArg[1] == 'f')
            iNodeFile = 1;
        else {
            vPrintBadOption(szArg);
            return 1;
        }
    }
    if (iNodeList && (iNodeFile || argc < 3)) {
        vPrintUsage();
        return 254;
    }
    /* The node list is every argument after the first, "-n" coming first; a
     * repeated "-n" is no node, and a list of nothing else checks nothing. */
    std::vector<std::string> aNodes;
    iNodeList = iNodeList && strcmp(argv[1], "-n") == 0;
    if (iNodeList) {
        for (int i = 2; i < argc; ++i)
            if (strcmp(argv[i], "-n") != 0) aNodes.push_back(argv[i]);
        if (aNodes.empty()) {
            vPrintUsage();
            return 254;
        }
    }
    /* "-f" takes exactly one file name. */
    if (!iNodeList && strcmp(argv[1], "-f") == 0 && argc != 3) {
        vPrintUsage();
        return 254;
    }

    const char *szCommunity = getenv("TRV_COMMUNITY");
    if (szCommunity == NULL || szCommunity[0] == '\0') {
        szCommunity = NULL;
        printf("\nDefault Community String is taken from SNMP Configuration ");
        printf("Database.\n");
        printf("Use the environment variable \"TRV_COMMUNITY\" to change it.\n");
    }

    if (!iNodeList && strcmp(argv[1], "-f") == 0) {
        aNodes = aReadNodeFile(argv[2]);
        if (aNodes.empty()) {
            fflush(stdout);
            fprintf(stderr, "\nNo nodes specified in \"%s\".\n", argv[2]);
            return 1;
        }
    } else if (!iNodeList) {
        vPrintBadOption(argv[1]);
        return 253;
    }
    return iReportNodes(aNodes, szCommunity) ? 0 : 1;
}
