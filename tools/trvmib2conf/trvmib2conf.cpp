/*
 * trvmib2conf - trap definitions and value maps from MIB modules.
 *
 *   trvmib2conf [--enterprise OID] [--merge DIR | --out DIR] [--events FILE] MIBFILE...
 *
 * Reads SMIv1 and SMIv2 modules with net-snmp's MIB parser and writes, for every
 * TRAP-TYPE and NOTIFICATION-TYPE under the enterprise (default the vendor's
 * arc), one trvtrapd.conf definition: its enterprise and number, N (no status
 * request), and a format statement made of the first sentence of its
 * DESCRIPTION and each variable as name=@n (its value) or, for an enumerated
 * variable, name=@Mn (its text); and one trvval2str.trap block for every
 * enumerated variable used.  A v2 notification gets the enterprise and number
 * trapd gives it.  What is written passes trvtrapd's parsers first.
 *
 * Without --merge or --out both parts go to standard output.  --out DIR writes
 * DIR/trvtrapd.conf and DIR/trvval2str.trap; --merge DIR adds to those files
 * only what they lack (a trap number they define, a block for the same object)
 * and names on standard error what it skipped.
 *
 * --events FILE also adds to the map program's event configuration FILE (a
 * conf/events.conf) an entry for the readable event of every converted trap
 * that FILE has none for: its name, category Tarvo, the severity of the
 * trap's "--#SEVERITY" comment in the MIB (Warning without one) and the text
 * "$1" (the readable text).
 *
 * --enterprise must lie within the vendor's arc (trvtrapd receives nothing else);
 * --merge needs both files in DIR.  An enumeration value trvval2str.trap cannot
 * hold (a negative one) is left out of its map with a warning.
 *
 * Exit status: 0 written; 1 no trap under the enterprise; 2 bad arguments;
 * 3 a MIB cannot be read, the result does not pass the parsers, or a file
 * cannot be written.
 */
#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "trvmib.h"
#include "trvtrapinit.h"
#include "zqoid.h"

namespace {

const char *szMyName = "trvmib2conf";

void vPrintUsage(FILE *pOut) {
    fprintf(pOut,
            "usage: trvmib2conf [--enterprise OID] [--merge DIR | --out DIR] [--events FILE] MIBFILE...\n"
            "\n"
            "Turns the TRAP-TYPE and NOTIFICATION-TYPE definitions of SMIv1/SMIv2 modules\n"
            "under the enterprise (default %s) into trvtrapd.conf definitions\n"
            "(status request N, the first sentence of the DESCRIPTION, then name=@n for\n"
            "each variable or name=@Mn for an enumerated one) and trvval2str.trap blocks\n"
            "for the enumerated variables.\n"
            "\n"
            "  --enterprise OID  only traps whose enterprise lies below OID (within %s)\n"
            "  --out DIR         write DIR/trvtrapd.conf and DIR/trvval2str.trap\n"
            "  --merge DIR       add to those files (both must exist) only what they lack;\n"
            "                    say what was skipped\n"
            "  --events FILE     add to the event configuration FILE (conf/events.conf) an\n"
            "                    entry for each trap's readable event it lacks, with the\n"
            "                    severity of the trap's --#SEVERITY comment (else Warning)\n"
            "Without --out or --merge both parts go to standard output.\n"
            "\n"
            "Exit status: 0 written; 1 no trap under the enterprise; 2 bad arguments;\n"
            "3 a MIB cannot be read, the result fails the parsers, or a write failed.\n",
            ZQ_ENT_TEXT, ZQ_ENT_TEXT);
}

/* The first sentence of a description, on one line, ready for a format
 * statement ('@' doubled, control characters as blanks). */
std::string szFirstSentence(const char *szDescription, const char *szFallback) {
    std::string szText;
    for (const char *p = szDescription; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) c = ' ';
        if (c == ' ' && (szText.empty() || szText.back() == ' ')) continue;
        szText += static_cast<char>(c);
        if (c == '.' && (p[1] == '\0' || p[1] == ' ' || p[1] == '\n' || p[1] == '\t' || p[1] == '\r')) break;
    }
    while (!szText.empty() && szText.back() == ' ') szText.pop_back();
    if (szText.empty()) szText = szFallback;
    std::string szOut;
    for (char c : szText) {
        if (c == '@') szOut += '@';
        szOut += c;
    }
    return szOut;
}

/* One converted trap. */
typedef struct ConvDef {
    int32_t     iNumber;
    std::string szEnterprise;
    std::string szText;     /* the whole block, comment line included */
    std::string szName;
} ConvDef;

typedef struct ConvMap {
    std::string szOid;
    std::string szText;
    std::string szName;
} ConvMap;

std::vector<ConvDef> aDefs;
std::vector<ConvMap> aMaps;

/* Adds the value map of an enumerated variable: 1, or 0 when it has none that
 * trvval2str.trap can hold (the variable is then shown by its value).  Values
 * it cannot hold are left out with a warning naming the object; the rest of
 * the map and of the conversion goes on. */
int iAddMap(const MibTrap *pTrap, const MibVar *pVar) {
    if (strlen(pVar->szOid) > VALMAP_WORD_MAX) {
        fprintf(stderr, "%s: warning: value map of %s::%s skipped: its OID is longer than trvval2str.trap allows\n",
                szMyName, pTrap->szModule, pVar->szName);
        return 0;
    }
    std::string szBlock = std::string("# ") + pTrap->szModule + "::" + pVar->szName + "\nBEGIN_OID " + pVar->szOid + "\n";
    int iValues = 0;
    for (const MibEnum *pEnum = pVar->pEnums; pEnum != nullptr; pEnum = pEnum->pNext) {
        const char *szWhy = nullptr;
        if (pEnum->iValue < 0)
            szWhy = "trvval2str.trap holds no negative value";
        else if (strlen(pEnum->szLabel) > VALMAP_TEXT_MAX - VALMAP_NUMBER_MAX - 3 || strchr(pEnum->szLabel, '"') != nullptr)
            szWhy = "its label does not fit a trvval2str.trap line";
        if (szWhy != nullptr) {
            fprintf(stderr, "%s: warning: %s::%s: value %d (%s) left out of its value map: %s\n", szMyName,
                    pTrap->szModule, pVar->szName, pEnum->iValue, pEnum->szLabel, szWhy);
            continue;
        }
        szBlock += std::to_string(pEnum->iValue) + " \"" + pEnum->szLabel + "\"\n";
        ++iValues;
    }
    if (iValues == 0) {
        fprintf(stderr, "%s: warning: value map of %s::%s skipped: none of its values can be written\n", szMyName,
                pTrap->szModule, pVar->szName);
        return 0;
    }
    aMaps.push_back({pVar->szOid, szBlock + "END_OID\n", pVar->szName});
    return 1;
}

/* Builds the definitions and maps; 1, or 0 when nothing lies under the enterprise. */
int iConvert(const MibTrap *pTraps, const std::string &szEnterprise) {
    std::set<int32_t> aNumbers;
    std::set<std::string> aMapOids, aNoMapOids;  // objects with a map made, and without one
    int iFound = 0;
    for (const MibTrap *pTrap = pTraps; pTrap != nullptr; pTrap = pTrap->pNext) {
        if (!iOidTextUnder(pTrap->szEnterprise, szEnterprise.c_str())) continue;
        iFound = 1;
        std::string szEnt = std::string(".") + pTrap->szEnterprise;
        if (szEnt.size() > TRAPDEF_ENTERPRISE_MAX) {
            fprintf(stderr, "%s: %s::%s skipped: its enterprise %s is longer than trvtrapd.conf allows (%d)\n",
                    szMyName, pTrap->szModule, pTrap->szName, szEnt.c_str(), TRAPDEF_ENTERPRISE_MAX);
            continue;
        }
        if (pTrap->iNumber < 0 || !aNumbers.insert(pTrap->iNumber).second) {
            fprintf(stderr, "%s: %s::%s skipped: trap number %d is converted already (a trap is found by its number)\n",
                    szMyName, pTrap->szModule, pTrap->szName, pTrap->iNumber);
            continue;
        }
        std::string szFormat = szFirstSentence(pTrap->szDescription, pTrap->szName);
        int iIndex = 0;
        for (const MibVar *pVar = pTrap->pVars; pVar != nullptr; pVar = pVar->pNext) {
            ++iIndex;
            int iEnumerated = pVar->pEnums != nullptr && pVar->szOid[0] != '\0';
            int iMapped = iEnumerated && !aNoMapOids.count(pVar->szOid) &&
                          (aMapOids.count(pVar->szOid) || iAddMap(pTrap, pVar));
            if (iEnumerated) (iMapped ? aMapOids : aNoMapOids).insert(pVar->szOid);
            szFormat += std::string(" ") + pVar->szName + "=@" + (iMapped ? "M" : "") + std::to_string(iIndex);
        }
        // A format statement is one line of at most 511 characters: the
        // sentence gives way to the variables.
        if (szFormat.size() > TRAPDEF_LINE_MAX) szFormat.resize(TRAPDEF_LINE_MAX);
        std::string szBlock = std::string("# ") + pTrap->szModule + "::" + pTrap->szName +
                              (pTrap->iSmiVersion == 2 ? " (NOTIFICATION-TYPE)" : " (TRAP-TYPE)") + "\nSTART_TRAP\n{" +
                              szEnt + "} " + std::to_string(pTrap->iNumber) + " N\n" + szFormat + "\nEND_TRAP\n";
        aDefs.push_back({pTrap->iNumber, szEnt, szBlock, pTrap->szName});
    }
    return iFound;
}

/* Runs one of trvtrapd's parsers over a text held in memory: its result, or
 * -1 when the text cannot be read as a stream (nothing parsed). */
int iParseText(const std::string &szText, int (*pParse)(FILE *, TrvParseResult *), TrvParseResult *pResult) {
    FILE *pFile = fmemopen(const_cast<char *>(szText.data()), szText.size(), "r");
    if (pFile == nullptr) return -1;
    int iResult = pParse(pFile, pResult);
    fclose(pFile);
    return iResult;
}

/* 1 when both texts pass trvtrapd's parsers (an empty text passes). */
int iPassesParsers(const std::string &szTraps, const std::string &szMaps, std::string &szWhy) {
    int iOk = 1;
    if (!szTraps.empty()) {
        TrvParseResult stParse = {};
        if (iParseText(szTraps, iParseTrapDefs, &stParse) != TRAPCONF_OK) {
            szWhy = std::string("trvtrapd.conf: ") + stParse.szDetail;
            iOk = 0;
        }
        vFreeTrapDefs();
    }
    if (iOk && !szMaps.empty()) {
        TrvParseResult stParse = {};
        if (iParseText(szMaps, iParseValMap, &stParse) != TRAPCONF_OK) {
            szWhy = "trvval2str.trap: syntax error at line " + std::to_string(stParse.iLineNo);
            iOk = 0;
        }
        vFreeValMap();
    }
    return iOk;
}

int iReadText(const std::string &szPath, std::string &szText) {
    FILE *pFile = fopen(szPath.c_str(), "r");
    if (pFile == nullptr) return 0;
    char aBuffer[65536];
    size_t uiRead;
    while ((uiRead = fread(aBuffer, 1, sizeof aBuffer, pFile)) > 0) szText.append(aBuffer, uiRead);
    fclose(pFile);
    return 1;
}

typedef std::vector<std::pair<std::string, std::string>> FileTexts; /* path, text */

/* Replaces files through temporary ones beside them, renamed into place only
 * once every one is written: a reader never sees half of a file, and a failure
 * leaves the old files (or none), never half a conversion.  On failure
 * szFailed names the file and errno says why. */
int iWriteFiles(const FileTexts &aFiles, std::string &szFailed) {
    size_t iTemps = 0;
    int iOk = 1;
    for (; iOk && iTemps < aFiles.size(); ++iTemps) {
        const std::string &szPath = aFiles[iTemps].first, &szText = aFiles[iTemps].second;
        szFailed = szPath;
        struct stat stInfo;
        if (lstat(szPath.c_str(), &stInfo) == 0 && S_ISDIR(stInfo.st_mode)) {
            errno = EISDIR;  // a rename could not replace it
            iOk = 0;
            break;
        }
        FILE *pFile = fopen((szPath + ".new").c_str(), "w");
        if (pFile == nullptr) {
            iOk = 0;
            break;
        }
        iOk = fwrite(szText.data(), 1, szText.size(), pFile) == szText.size();
        if (fclose(pFile) != 0) iOk = 0;
    }
    for (size_t i = 0; iOk && i < aFiles.size(); ++i) {
        szFailed = aFiles[i].first;
        if (rename((aFiles[i].first + ".new").c_str(), aFiles[i].first.c_str()) != 0) iOk = 0;
    }
    if (!iOk) {
        int iError = errno;
        for (size_t i = 0; i < iTemps; ++i) unlink((aFiles[i].first + ".new").c_str());
        errno = iError;
    }
    return iOk;
}

std::string szJoinDefs(void) {
    std::string szText;
    for (const ConvDef &stDef : aDefs) szText += stDef.szText;
    return szText;
}

std::string szJoinMaps(void) {
    std::string szText;
    for (const ConvMap &stMap : aMaps) szText += stMap.szText + "\n";
    return szText;
}

/* --merge: appends what the files lack.  Exit status as main's. */
// The severity of a trap's "--#SEVERITY WORD" comment, between its
// "NAME TRAP-TYPE" (or NOTIFICATION-TYPE) and its "::=", in one of the MIB
// texts: Normal, Warning, Minor, Major or Critical; Warning without one.
std::string szSeverityOf(const std::vector<std::string> &aTexts, const std::string &szName) {
    for (const std::string &szText : aTexts) {
        for (size_t p = szText.find(szName); p != std::string::npos; p = szText.find(szName, p + 1)) {
            if (p > 0 && !isspace(static_cast<unsigned char>(szText[p - 1]))) continue;
            size_t q = szText.find_first_not_of(" \t\r\n", p + szName.size());
            if (q == std::string::npos ||
                (szText.compare(q, 9, "TRAP-TYPE") != 0 && szText.compare(q, 17, "NOTIFICATION-TYPE") != 0))
                continue;
            size_t iEnd = szText.find("::=", q);
            size_t s = szText.find("--#SEVERITY", q);
            if (s == std::string::npos || s > iEnd) return "Warning";
            size_t w = szText.find_first_not_of(" \t", s + 11);
            size_t e = w == std::string::npos ? w : szText.find_first_of(" \t\r\n", w);
            std::string szWord = w == std::string::npos ? "" : szText.substr(w, e - w);
            for (char &c : szWord) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            if (szWord == "CRITICAL" || szWord == "FATAL" || szWord == "NONRECOVERABLE") return "Critical";
            if (szWord == "MAJOR" || szWord == "SEVERE") return "Major";
            if (szWord == "MINOR") return "Minor";
            if (szWord == "WARNING" || szWord == "DEGRADED") return "Warning";
            if (szWord == "NORMAL" || szWord == "INFORMATIONAL" || szWord == "INFO" || szWord == "OK" ||
                szWord == "CLEAR")
                return "Normal";
            return "Warning";
        }
    }
    return "Warning";
}

// Adds to the event configuration file the entries its patterns lack.
int iWriteEvents(const std::string &szFile, const std::vector<const char *> &aFiles) {
    std::vector<std::string> aTexts;
    for (const char *szMib : aFiles) {
        std::string szText;
        if (iReadText(szMib, szText)) aTexts.push_back(szText);
    }
    std::string szOld;
    if (access(szFile.c_str(), F_OK) == 0 && !iReadText(szFile, szOld)) {
        fprintf(stderr, "%s: cannot read %s\n", szMyName, szFile.c_str());
        return 3;
    }
    std::set<std::string> aHave;
    size_t iStart = 0;
    while (iStart < szOld.size()) {
        size_t iEnd = szOld.find('\n', iStart);
        if (iEnd == std::string::npos) iEnd = szOld.size();
        std::string szLine = szOld.substr(iStart, iEnd - iStart);
        size_t w = szLine.find_first_not_of(" \t");
        if (w != std::string::npos && szLine[w] != '#') aHave.insert(szLine.substr(w, szLine.find_first_of(" \t", w) - w));
        iStart = iEnd + 1;
    }
    std::string szNew = szOld;
    if (!szNew.empty() && szNew.back() != '\n') szNew += '\n';
    int iAdded = 0;
    for (const ConvDef &stDef : aDefs) {
        // The readable event trvtrapd re-issues for this trap number.
        std::string szNum = std::to_string(stDef.iNumber);
        std::string szPattern = std::string(ZQ_ENT_TEXT) + ".1.3.1.0." + szNum;
        if (aHave.count(szPattern) || aHave.count("ENT.1.3.1.0." + szNum)) continue;
        szNew += szPattern + "  " + stDef.szName + "  Tarvo  " + szSeverityOf(aTexts, stDef.szName) + "  \"$1\"\n";
        ++iAdded;
    }
    std::string szFailed;
    if (iAdded > 0 && !iWriteFiles({{szFile, szNew}}, szFailed)) {
        fprintf(stderr, "%s: cannot write %s: %s\n", szMyName, szFailed.c_str(), strerror(errno));
        return 3;
    }
    printf("added %d event entries to %s\n", iAdded, szFile.c_str());
    return 0;
}

int iMerge(const std::string &szDir) {
    std::string szTrapPath = szDir + "/trvtrapd.conf", szMapPath = szDir + "/trvval2str.trap";
    std::string szTraps, szMaps;
    iReadText(szTrapPath, szTraps);
    iReadText(szMapPath, szMaps);
    std::string szWhy;
    if (!iPassesParsers(szTraps, szMaps, szWhy)) {
        fprintf(stderr, "%s: %s/%s: the existing file does not pass the parser; nothing merged\n", szMyName,
                szDir.c_str(), szWhy.c_str());
        return 3;
    }
    // What the files define now: trap numbers, value-map objects.
    std::set<int32_t> aHave;
    std::set<std::string> aHaveMaps;
    if (!szTraps.empty()) {
        TrvParseResult stParse = {};
        iParseText(szTraps, iParseTrapDefs, &stParse);
        for (int i = 0; i < iTrapDefCount; ++i) aHave.insert(ppTrapDefs[i]->iTrapNumber);
        vFreeTrapDefs();
    }
    if (!szMaps.empty()) {
        TrvParseResult stParse = {};
        iParseText(szMaps, iParseValMap, &stParse);
        for (int i = 0; i < iValMapCount; ++i) aHaveMaps.insert(ppValMap[i]->szOid);
        vFreeValMap();
    }
    int iAddedDefs = 0, iAddedMaps = 0, iSkipped = 0;
    std::string szNewTraps = szTraps, szNewMaps = szMaps;
    if (!szNewTraps.empty() && szNewTraps.back() != '\n') szNewTraps += '\n';
    if (!szNewMaps.empty() && szNewMaps.back() != '\n') szNewMaps += '\n';
    for (const ConvDef &stDef : aDefs) {
        if (aHave.count(stDef.iNumber)) {
            fprintf(stderr, "%s: skipped %s: trvtrapd.conf defines trap %d already\n", szMyName, stDef.szName.c_str(),
                    stDef.iNumber);
            ++iSkipped;
            continue;
        }
        szNewTraps += stDef.szText;
        ++iAddedDefs;
    }
    for (const ConvMap &stMap : aMaps) {
        if (aHaveMaps.count(stMap.szOid)) {
            fprintf(stderr, "%s: skipped the value map of %s: trvval2str.trap has a block for %s already\n", szMyName,
                    stMap.szName.c_str(), stMap.szOid.c_str());
            ++iSkipped;
            continue;
        }
        szNewMaps += "\n" + stMap.szText;
        ++iAddedMaps;
    }
    if (!iPassesParsers(szNewTraps, szNewMaps, szWhy)) {
        fprintf(stderr, "%s: the merged %s; nothing written\n", szMyName, szWhy.c_str());
        return 3;
    }
    FileTexts aChanged;
    if (iAddedDefs > 0) aChanged.push_back({szTrapPath, szNewTraps});
    if (iAddedMaps > 0) aChanged.push_back({szMapPath, szNewMaps});
    std::string szFailed;
    if (!iWriteFiles(aChanged, szFailed)) {
        fprintf(stderr, "%s: cannot write %s: %s; nothing merged\n", szMyName, szFailed.c_str(), strerror(errno));
        return 3;
    }
    printf("added %d definitions and %d value maps, skipped %d\n", iAddedDefs, iAddedMaps, iSkipped);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string szEnterprise = ZQ_ENT_TEXT, szMerge, szOut, szEvents;
    std::vector<const char *> aFiles;
    for (int i = 1; i < argc; ++i) {
        std::string szArg = argv[i];
        if (szArg == "--help" || szArg == "-h") {
            vPrintUsage(stdout);
            return 0;
        }
        if (szArg == "--enterprise" || szArg == "--merge" || szArg == "--out" || szArg == "--events") {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s: %s needs a value\n", szMyName, szArg.c_str());
                return 2;
            }
            std::string szValue = argv[++i];
            if (szArg == "--enterprise") {
                if (!szValue.empty() && szValue[0] == '.') szValue.erase(0, 1);
                if (szValue.empty() || szValue.find_first_not_of("0123456789.") != std::string::npos ||
                    szValue.find("..") != std::string::npos || szValue.back() == '.') {
                    fprintf(stderr, "%s: --enterprise wants a dotted OID\n", szMyName);
                    return 2;
                }
                // trvtrapd receives the vendor's traps only: a definition for
                // another maker's trap would never be used, and, since a trap is
                // found by its number, would name the vendor's unknown traps.
                if (!iOidTextUnder(szValue.c_str(), ZQ_ENT_TEXT)) {
                    fprintf(stderr,
                            "%s: --enterprise %s lies outside the vendor's arc %s: trvtrapd never receives "
                            "those traps\n",
                            szMyName, szValue.c_str(), ZQ_ENT_TEXT);
                    return 2;
                }
                szEnterprise = szValue;
            } else if (szArg == "--merge") {
                szMerge = szValue;
            } else if (szArg == "--events") {
                szEvents = szValue;
            } else {
                szOut = szValue;
            }
        } else if (!szArg.empty() && szArg[0] == '-') {
            fprintf(stderr, "%s: unknown option %s\n", szMyName, szArg.c_str());
            vPrintUsage(stderr);
            return 2;
        } else {
            aFiles.push_back(argv[i]);
        }
    }
    if (aFiles.empty() || (!szMerge.empty() && !szOut.empty())) {
        vPrintUsage(stderr);
        return 2;
    }

    // A merge adds to files that are there: a mistyped folder would get new
    // files that nothing reads.
    if (!szMerge.empty()) {
        for (const char *szName : {"/trvtrapd.conf", "/trvval2str.trap"}) {
            if (access((szMerge + szName).c_str(), R_OK | W_OK) != 0) {
                fprintf(stderr, "%s: --merge %s: %s%s: %s (the folder of the files to merge into)\n", szMyName,
                        szMerge.c_str(), szMerge.c_str(), szName, strerror(errno));
                return 2;
            }
        }
    }
    MibTrap *pTraps = nullptr;
    if (iLoadMibTraps(aFiles.data(), static_cast<int>(aFiles.size()), &pTraps) != 1) {
        fprintf(stderr, "%s: %s\n", szMyName, szMibError);
        vUnloadMibs();
        return 3;
    }
    int iFound = iConvert(pTraps, szEnterprise);
    vFreeMibTraps(pTraps);
    vUnloadMibs();
    if (!iFound) {
        fprintf(stderr, "%s: no trap or notification under %s\n", szMyName, szEnterprise.c_str());
        return 1;
    }
    std::string szTraps = szJoinDefs(), szMaps = szJoinMaps(), szWhy;
    if (!iPassesParsers(szTraps, szMaps, szWhy)) {
        fprintf(stderr, "%s: the converted %s; nothing written\n", szMyName, szWhy.c_str());
        return 3;
    }
    // The event entries only once the definitions they name are written.
    if (!szMerge.empty()) {
        int iResult = iMerge(szMerge);
        return iResult == 0 && !szEvents.empty() ? iWriteEvents(szEvents, aFiles) : iResult;
    }
    if (!szOut.empty()) {
        std::string szHeader = "# Converted by trvmib2conf from:";
        for (const char *szFile : aFiles) szHeader += std::string(" ") + szFile;
        szHeader += "\n";
        std::string szFailed;
        if (!iWriteFiles({{szOut + "/trvtrapd.conf", szHeader + szTraps},
                          {szOut + "/trvval2str.trap", szHeader + "\n" + szMaps}},
                         szFailed)) {
            fprintf(stderr, "%s: cannot write %s: %s; nothing written\n", szMyName, szFailed.c_str(),
                    strerror(errno));
            return 3;
        }
        printf("wrote %zu definitions and %zu value maps into %s\n", aDefs.size(), aMaps.size(), szOut.c_str());
        return szEvents.empty() ? 0 : iWriteEvents(szEvents, aFiles);
    }
    printf("# ---- trvtrapd.conf ----\n%s# ---- trvval2str.trap ----\n\n%s", szTraps.c_str(), szMaps.c_str());
    return szEvents.empty() ? 0 : iWriteEvents(szEvents, aFiles);
}
