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
#include "zqoid.h"

namespace {

const char kUsage[] =
    "usage: trvtrapchk [FILE] [--lint [--mib MIBFILE...]]\n"
    "\n"
    "Checks the syntax of trvtrapd.conf with the parser trvtrapd uses, and prints\n"
    "one verdict.  The file is FILE when given (a candidate, before it is\n"
    "installed), else trvtrapd.conf in the configuration directory below the\n"
    "platform's installation directory (registry value PathName, then conf/c/trv/):\n"
    "  Success : File PATH passed syntax check\n"
    "  Error : Syntax Error in file PATH      (after the parser's line message,\n"
    "                                         followed by a line on the cause)\n"
    "  Error : File PATH not found\n"
    "A file without any trap definition is a syntax error.\n"
    "Without --lint the exit status is 0 whatever the verdict.\n"
    "\n"
    "--lint then prints one finding a line, PATH:LINE: TEXT:\n"
    "  a definition that is never used (the same trap number and enterprise\n"
    "  defined before it);\n"
    "  a trap number defined under two enterprises (a trap of that number under\n"
    "  any other enterprise is shown with one of them);\n"
    "  a definition whose enterprise lies outside the vendor's arc " ZQ_ENT_TEXT "\n"
    "  (trvtrapd never receives its trap);\n"
    "with --mib, for the definitions whose trap the MIB modules define:\n"
    "  @n, @Ik,n and @Mn naming a binding beyond the trap's variables;\n"
    "  @Mn whose variable the MIB does not enumerate, or has no block in\n"
    "  trvval2str.trap (the one beside FILE when there is one, else the\n"
    "  installed one).\n"
    "Exit status: 0 (without --lint always); with --lint 0 no findings, 1 findings\n"
    "or a syntax error; 2 bad arguments; 3 a MIB cannot be read.\n";

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

/* The definition trvtrapd finds for a trap of that number under that
 * enterprise (text with or without its leading dot), in the sorted table. */
const TrapDef *pLookUp(int32_t iNumber, const char *szEnterprise) {
    std::vector<ZqOid> aEnt;
    for (const char *p = szEnterprise; *p != '\0';) {
        if (*p == '.') {
            ++p;
            continue;
        }
        char *szEnd = nullptr;
        aEnt.push_back(static_cast<ZqOid>(strtoul(p, &szEnd, 10)));
        if (szEnd == p) break;
        p = szEnd;
    }
    ZqOid aId[1] = {static_cast<ZqOid>(iNumber)};
    ZqPdu stPdu = {};
    stPdu.enterprise = aEnt.data();
    stPdu.enterprise_length = aEnt.size();
    stPdu.trap_id = aId;
    stPdu.trap_id_length = 1;
    return pFindTrapDef(&stPdu);
}

/* The value maps a candidate FILE is checked against: the trvval2str.trap
 * beside it when there is one (the pair trvmib2conf --out writes), else the
 * installed one (empty). */
std::string szCandidateMaps(const char *szFile) {
    if (szFile == nullptr) return {};
    std::string szDir = szFile;
    size_t uiSlash = szDir.rfind('/');
    szDir = uiSlash == std::string::npos ? "." : szDir.substr(0, uiSlash + 1);
    std::string szMaps = szDir + (szDir.back() == '/' ? "" : "/") + "trvval2str.trap";
    FILE *pFile = fopen(szMaps.c_str(), "r");
    if (pFile == nullptr) return {};
    fclose(pFile);
    return szMaps;
}

int iLint(const std::vector<const char *> &aMibs, const char *szFile) {
    vFindDefinitionLines(szTrapConfPath);
    auto iLineOf = [](int i) { return i < static_cast<int>(aDefLines.size()) ? aDefLines[i] : 0; };

    // Definitions of one trap number, by enterprise: trvtrapd finds a trap by
    // its number and enterprise in the sorted table; of two alike only one is
    // ever found, and a trap of a number defined under two enterprises but
    // received under a third is shown with one of them.
    std::map<int32_t, std::vector<int>> aByNumber;
    std::map<const TrapDef *, int> aIndexOf;
    for (int i = 0; i < iTrapDefCount; ++i) {
        aByNumber[ppTrapDefs[i]->iTrapNumber].push_back(i);
        aIndexOf[ppTrapDefs[i]] = i;
    }
    std::vector<TrapDef *> aFileOrder(ppTrapDefs, ppTrapDefs + iTrapDefCount);
    vSortTrapDefs();
    for (const auto &[iNumber, aDefs] : aByNumber) {
        for (size_t k = 1; k < aDefs.size(); ++k) {
            const TrapDef *pDef = aFileOrder[aDefs[k]];
            const TrapDef *pSame = nullptr, *pOther = nullptr;
            for (size_t j = 0; j < k; ++j) {
                const TrapDef *pEarlier = aFileOrder[aDefs[j]];
                if (strcmp(pEarlier->szEnterprise, pDef->szEnterprise) == 0) pSame = pSame ? pSame : pEarlier;
                else pOther = pOther ? pOther : pEarlier;
            }
            if (pSame != nullptr) {
                const TrapDef *pFound = pLookUp(iNumber, pDef->szEnterprise);
                const TrapDef *pUnused = pFound == pDef ? pSame : pDef;
                const TrapDef *pUsed = pFound == pDef ? pDef : pSame;
                vFinding(iLineOf(aIndexOf[pUnused]),
                         "this definition of trap " + std::to_string(iNumber) + " under " + pDef->szEnterprise +
                             " is never used: trvtrapd finds the one at line " + std::to_string(iLineOf(aIndexOf[pUsed])));
            } else if (pOther != nullptr) {
                vFinding(iLineOf(aDefs[k]), "trap " + std::to_string(iNumber) + " under " + pDef->szEnterprise +
                                                " is defined at line " + std::to_string(iLineOf(aIndexOf[pOther])) +
                                                " under " + pOther->szEnterprise +
                                                " too: a trap of that number under any other enterprise is shown with "
                                                "one of them");
            }
        }
    }
    for (int i = 0; i < iTrapDefCount; ++i) {
        const TrapDef *pDef = aFileOrder[i];
        const char *szEnt = pDef->szEnterprise[0] == '.' ? pDef->szEnterprise + 1 : pDef->szEnterprise;
        if (!iOidTextUnder(szEnt, ZQ_ENT_TEXT) || strcmp(szEnt, ZQ_ENT_TEXT) == 0)
            vFinding(iLineOf(i), "trap " + std::to_string(pDef->iTrapNumber) + " under " + pDef->szEnterprise +
                                     " lies outside the vendor's arc ." ZQ_ENT_TEXT ": trvtrapd never receives it");
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
    const std::string szBeside = szCandidateMaps(szFile);
    int iMaps = szBeside.empty() ? iLoadValMap(&ppMaps, "trvval2str.trap", &stMapParse)
                                 : iLoadValMapFrom(pOpenNamedConfFile(szBeside.c_str(), "trvval2str.trap"), &ppMaps,
                                                   &stMapParse);
    if (iMaps < 0)
        fprintf(stderr, "trvtrapchk: %s cannot be read: every @M finding below follows from that\n", szValToStrPath);
    const std::string szMapsName = szBeside.empty() ? "trvval2str.trap" : szBeside;
    for (int i = 0; i < iTrapDefCount; ++i) {
        const TrapDef *pDef = aFileOrder[i];
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
            if (pVar->pEnums == nullptr)
                vFinding(iLineOf(i) + 1, stRef.szText + " maps " + pVar->szName +
                                             ", which the MIB does not enumerate: use @" + std::to_string(iBinding) +
                                             " for its value");
            else if (pVar->szOid[0] == '\0' || !iMapCovers(pVar->szOid))
                vFinding(iLineOf(i) + 1, stRef.szText + " maps " + pVar->szName + " (" + pVar->szOid +
                                             "), which has no block in " + szMapsName);
        }
    }
    vFreeValMap();
    vFreeMibTraps(pTraps);
    vUnloadMibs();
    return 0;
}

int iUsageError(const char *szWhat, const char *szArg) {
    std::fprintf(stderr, "trvtrapchk: %s%s\n%s", szWhat, szArg, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    int iLintWanted = 0, iMibArgs = 0;
    const char *szFile = nullptr;
    std::vector<const char *> aMibs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--lint") == 0) {
            iLintWanted = 1;
        } else if (std::strcmp(argv[i], "--mib") == 0) {
            iMibArgs = 1;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return iUsageError("unknown option ", argv[i]);
        } else if (iMibArgs) {
            aMibs.push_back(argv[i]);
        } else if (szFile == nullptr) {
            szFile = argv[i];
        } else {
            return iUsageError("one FILE only; MIB files follow --mib: ", argv[i]);
        }
    }
    if (iMibArgs && (!iLintWanted || aMibs.empty())) {
        std::fputs("trvtrapchk: --mib needs --lint and at least one MIB file\n", stderr);
        return 2;
    }
    TrvParseResult stParse = {};
    int iResult = szFile != nullptr ? iLoadTrapDefsFrom(pOpenNamedConfFile(szFile, "trvtrapd.conf"), nullptr, &stParse)
                                    : iLoadTrapDefs(nullptr, &stParse);
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
        iStatus = iResult >= 1 ? iLint(aMibs, szFile) : 1;
        if (iStatus == 0 && iFindings > 0) iStatus = 1;
    }
    vFreeTrapDefs();
    std::fflush(stdout);
    return iStatus;
}
