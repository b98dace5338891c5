// trvtrapchk: checks the syntax of trvtrapd.conf, the trap formatter's trap
// definitions, with trvtrapd's own parser, and prints one verdict; with --lint
// it also looks for definitions that cannot work as meant.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <map>
#include <string>
#include <vector>

#include "trvlib.h"
#include "trvmib.h"
#include "trvtrapinit.h"

namespace {

const char kUsage[] =
    "usage: trvtrapchk [--lint [--mib MIBFILE...]]\n"
    "\n"
    "Checks the syntax of trvtrapd.conf in the configuration directory below the\n"
    "platform's installation directory (registry value PathName, then conf/c/trv/)\n"
    "with the parser trvtrapd uses, and prints one verdict:\n"
    "  Success : File PATH passed syntax check\n"
    "  Error : Syntax Error in file PATH      (after the parser's line message,\n"
    "                                         followed by a line on the cause)\n"
    "  Error : File PATH not found\n"
    "A file without any trap definition is a syntax error.\n"
    "Without --lint other arguments are ignored and the exit status is always 0.\n"
    "\n"
    "--lint then prints one finding a line, PATH:LINE: TEXT:\n"
    "  a trap number defined more than once (a trap is found by its number, so\n"
    "  only one of the definitions can ever be used);\n"
    "with --mib, for the definitions whose trap the MIB modules define:\n"
    "  @n, @Ik,n and @Mn naming a binding beyond the trap's variables;\n"
    "  @Mn whose variable has no block in trvval2str.trap.\n"
    "Exit status with --lint: 0 no findings, 1 findings or a syntax error, 2 bad\n"
    "arguments, 3 a MIB cannot be read.\n";

/* The line of each definition's first line (the {ENTERPRISE} line), in file order. */
std::vector<int> aDefLines;

void vFindDefinitionLines(const char *szPath) {
    FILE *pFile = fopen(szPath, "r");
    if (pFile == nullptr) return;
    char szLine[4096];
    int iLine = 0, iAfterStart = 0;
    while (fgets(szLine, sizeof szLine, pFile) != nullptr) {
        size_t uiLength = strlen(szLine);
        if (uiLength > 0 && szLine[uiLength - 1] != '\n' && !feof(pFile)) continue;  // the rest of a long line
        ++iLine;
        if (iAfterStart) aDefLines.push_back(iLine);
        iAfterStart = strncmp(szLine, "START_TRAP", 10) == 0;
    }
    fclose(pFile);
}

int iFindings = 0;

void vFinding(int iLine, const std::string &szText) {
    printf("%s:%d: %s\n", szTrapConfPath, iLine, szText.c_str());
    ++iFindings;
}

/* One binding reference of a format statement: its command and number. */
typedef struct FormatRef {
    char cKind;   /* 'V' @n, 'I' @Ik,n, 'M' @Mn */
    int  iBinding;
    std::string szText;
} FormatRef;

std::vector<FormatRef> aRefsOf(const char *szFormat) {
    std::vector<FormatRef> aRefs;
    for (const char *p = szFormat; *p != '\0'; ++p) {
        if (*p != '@') continue;
        const char *q = p + 1;
        if (*q == '@') {
            p = q;
            continue;
        }
        int k = 0, n = 0;
        if (*q >= '0' && *q <= '9' && sscanf(q, "%d", &n) == 1)
            aRefs.push_back({'V', n, "@" + std::to_string(n)});
        else if (*q == 'M' && sscanf(q + 1, "%d", &n) == 1)
            aRefs.push_back({'M', n, "@M" + std::to_string(n)});
        else if (*q == 'I' && sscanf(q + 1, "%d,%d", &k, &n) == 2)
            aRefs.push_back({'I', n, "@I" + std::to_string(k) + "," + std::to_string(n)});
    }
    return aRefs;
}

/* 1 when a block of trvval2str.trap covers the object (its OID or a prefix of
 * it ending at a dot), as trvtrapd looks it up. */
int iMapCovers(const char *szObject) {
    for (int i = 0; i < iValMapCount; ++i)
        if (ppValMap[i] != nullptr && ppValMap[i]->szOid != nullptr && ppValMap[i]->pPairs != nullptr &&
            iOidTextUnder(szObject, ppValMap[i]->szOid))
            return 1;
    return 0;
}

int iLint(const std::vector<const char *> &aMibs) {
    vFindDefinitionLines(szTrapConfPath);
    auto iLineOf = [](int i) { return i < static_cast<int>(aDefLines.size()) ? aDefLines[i] : 0; };

    std::map<int32_t, int> aFirstByNumber;
    for (int i = 0; i < iTrapDefCount; ++i) {
        const TrapDef *pDef = ppTrapDefs[i];
        auto it = aFirstByNumber.find(pDef->iTrapNumber);
        if (it == aFirstByNumber.end()) {
            aFirstByNumber[pDef->iTrapNumber] = i;
            continue;
        }
        const TrapDef *pFirst = ppTrapDefs[it->second];
        vFinding(iLineOf(i), "trap " + std::to_string(pDef->iTrapNumber) + " under " + pDef->szEnterprise +
                                 " is defined at line " + std::to_string(iLineOf(it->second)) + " already (under " +
                                 pFirst->szEnterprise + "): a trap is found by its number, one of them is never used");
    }
    if (aMibs.empty()) return 0;

    MibTrap *pTraps = nullptr;
    if (iLoadMibTraps(aMibs.data(), static_cast<int>(aMibs.size()), &pTraps) != 1) {
        fprintf(stderr, "trvtrapchk: %s\n", szMibError);
        vUnloadMibs();
        return 3;
    }
    ValMapEntry **ppMaps = nullptr;
    TrvParseResult stMapParse = {};
    if (iLoadValMap(&ppMaps, "trvval2str.trap", &stMapParse) < 0)
        fprintf(stderr, "trvtrapchk: %s cannot be read: every @M finding below follows from that\n", szValToStrPath);
    for (int i = 0; i < iTrapDefCount; ++i) {
        const TrapDef *pDef = ppTrapDefs[i];
        const char *szEnt = pDef->szEnterprise[0] == '.' ? pDef->szEnterprise + 1 : pDef->szEnterprise;
        const MibTrap *pTrap = pTraps;
        while (pTrap != nullptr && !(pTrap->iNumber == pDef->iTrapNumber && strcmp(pTrap->szEnterprise, szEnt) == 0))
            pTrap = pTrap->pNext;
        if (pTrap == nullptr) continue;
        for (const FormatRef &stRef : aRefsOf(pDef->szFormat)) {
            // Binding 0 is read as the first, as trvtrapd does.
            int iBinding = stRef.iBinding == 0 ? 1 : stRef.iBinding;
            if (iBinding > pTrap->iVarCount) {
                vFinding(iLineOf(i) + 1, stRef.szText + " names binding " + std::to_string(iBinding) + ", but " +
                                             pTrap->szName + " has " + std::to_string(pTrap->iVarCount) +
                                             " variable" + (pTrap->iVarCount == 1 ? "" : "s"));
                continue;
            }
            if (stRef.cKind != 'M') continue;
            const MibVar *pVar = pTrap->pVars;
            for (int k = 1; k < iBinding; ++k) pVar = pVar->pNext;
            if (pVar->szOid[0] == '\0' || !iMapCovers(pVar->szOid))
                vFinding(iLineOf(i) + 1, stRef.szText + " maps " + pVar->szName + " (" + pVar->szOid +
                                             "), which has no block in trvval2str.trap");
        }
    }
    vFreeValMap();
    vFreeMibTraps(pTraps);
    vUnloadMibs();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    int iLintWanted = 0, iMibArgs = 0;
    std::vector<const char *> aMibs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lint") == 0) {
            iLintWanted = 1;
        } else if (std::strcmp(argv[i], "--mib") == 0) {
            iMibArgs = 1;
        } else if (iMibArgs && argv[i][0] != '-') {
            aMibs.push_back(argv[i]);
        }
    }
    if (iMibArgs && (!iLintWanted || aMibs.empty())) {
        std::fputs("trvtrapchk: --mib needs --lint and at least one MIB file\n", stderr);
        return 2;
    }
    TrapDef **ppTable = nullptr;
    TrvParseResult stParse = {};
    int iResult = iLoadTrapDefs(&ppTable, &stParse);
    if (iResult >= 1) {
        std::printf("Success : File %s passed syntax check\n", szTrapConfPath);
    } else if (iResult == 0) {
        std::printf("Error : Syntax Error in file %s\n", szTrapConfPath);
        std::printf("%s\n", stParse.szDetail[0] != '\0' ? stParse.szDetail : "The file holds no trap definition");
    } else if (iResult == TRAPCONF_NOFILE) {
        std::printf("Error : File %s not found\n", szTrapConfPath);
    } else {
        std::printf("Unknown Error !! \n");
    }
    int iStatus = 0;
    if (iLintWanted) {
        iStatus = iResult >= 1 ? iLint(aMibs) : 1;
        if (iStatus == 0 && iFindings > 0) iStatus = 1;
    }
    vFreeTrapDefs();
    std::fflush(stdout);
    return iStatus;
}
