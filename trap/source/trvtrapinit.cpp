// trvtrapd's configuration: the trap definitions (trvtrapd.conf) with their
// sorted table and lookup, and the value-to-string maps (trvval2str.trap) with
// their lookup.  The daemon's own start-up code lives beside these parsers.
#include "trvtrapinit.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trvlib.h"

int iTrapState = 0;

TrapDef **ppTrapDefs = nullptr;
int iTrapDefCount = 0;

ValMapEntry **ppValMap = nullptr;
int iValMapCount = 0;

namespace {

const char kSource[] = "trap/source/trvtrapinit";

// ---------------------------------------------------------------------------
// Shared by both parsers
// ---------------------------------------------------------------------------

bool bAllocFails() { return !iTrvAllocationAllowed(); }

void *pTrapAlloc(size_t uiSize) { return bAllocFails() ? nullptr : ZqsnmpMalloc(uiSize); }

char *szTrapDup(const char *szText) {
    size_t n = std::strlen(szText);
    char *p = static_cast<char *>(pTrapAlloc(n + 1));
    if (p != nullptr) std::memcpy(p, szText, n + 1);
    return p;
}

// Grows a pointer array by one slot with realloc; false when memory is short
// (the array is then unchanged).
template <typename T>
bool bGrow(T ***pppArray, int iCount) {
    if (bAllocFails()) return false;
    void *p = std::realloc(*pppArray, static_cast<size_t>(iCount + 1) * sizeof(T *));
    if (p == nullptr) return false;
    *pppArray = static_cast<T **>(p);
    return true;
}

bool bIsDigit(char c) { return c >= '0' && c <= '9'; }

bool bAllBlanks(const char *szLine) { return szLine[std::strspn(szLine, " ")] == '\0'; }

// ---------------------------------------------------------------------------
// Trap definitions
// ---------------------------------------------------------------------------

__attribute__((format(printf, 2, 3))) int iTrapSyntax(TrvParseResult *pResult, const char *szFormat, ...) {
    char szWhy[96];
    va_list ap;
    va_start(ap, szFormat);
    std::vsnprintf(szWhy, sizeof szWhy, szFormat, ap);
    va_end(ap);
    std::snprintf(pResult->szDetail, sizeof pResult->szDetail, "Line %d: %s", pResult->iLineNo, szWhy);
    return TRAPCONF_SYNTAX;
}

int iTrapLineError(int iRead, TrvParseResult *pResult) {
    if (iRead == -1) {
        std::snprintf(pResult->szDetail, sizeof pResult->szDetail, "Line %d: the file cannot be read",
                      pResult->iLineNo);
        return TRAPCONF_NOMEM;
    }
    if (iRead == 0) return iTrapSyntax(pResult, "the file ends inside a definition");
    return iTrapSyntax(pResult, "the line is longer than %d characters or holds a NUL byte", TRAPDEF_LINE_MAX);
}

// "{ENTERPRISE} NUMBER Y|N": 1 with the fields, or 0.
int iParseTrapHeader(const char *szLine, char *szEnterprise, int32_t *piNumber, char *pcFlag,
                     TrvParseResult *pResult) {
    if (szLine[0] != '{') return iTrapSyntax(pResult, "the header line must start with {");
    const char *p = szLine + 1;
    size_t n = std::strcspn(p, "}");
    for (size_t i = 0; i < n; ++i)
        if (!bIsDigit(p[i]) && p[i] != '.') return iTrapSyntax(pResult, "the enterprise may hold only digits and dots");
    if (n == 0) return iTrapSyntax(pResult, "the enterprise is missing");
    if (n > TRAPDEF_ENTERPRISE_MAX)
        return iTrapSyntax(pResult, "the enterprise is longer than %d characters", TRAPDEF_ENTERPRISE_MAX);
    std::memcpy(szEnterprise, p, n);
    szEnterprise[n] = '\0';
    p += n;
    if (*p == '}') ++p;
    p += std::strspn(p, " ");

    n = std::strcspn(p, " ");
    for (size_t i = 0; i < n; ++i)
        if (!bIsDigit(p[i])) return iTrapSyntax(pResult, "the trap number may hold only digits");
    if (n == 0) return iTrapSyntax(pResult, "the trap number is missing");
    if (n > TRAPDEF_NUMBER_MAX)
        return iTrapSyntax(pResult, "the trap number is longer than %d digits", TRAPDEF_NUMBER_MAX);
    *piNumber = iConfigNumber(p);
    p += n;
    p += std::strspn(p, " ");
    if (*p != 'Y' && *p != 'N') return iTrapSyntax(pResult, "Y or N must follow the trap number");
    *pcFlag = *p;
    return TRAPCONF_OK;
}

void vFreeTrapDef(TrapDef *pDef) {
    if (pDef == nullptr) return;
    ZqsnmpFree(pDef->szEnterprise);
    ZqsnmpFree(pDef->szFormat);
    ZqsnmpFree(pDef);
}

int iAppendTrapDef(const char *szEnterprise, int32_t iNumber, char cFlag, const char *szFormat) {
    if (!bGrow(&ppTrapDefs, iTrapDefCount)) return TRAPCONF_NOMEM;
    TrapDef *pDef = static_cast<TrapDef *>(pTrapAlloc(sizeof(TrapDef)));
    if (pDef == nullptr) return TRAPCONF_NOMEM;
    pDef->szFormat = nullptr;
    pDef->szEnterprise = szTrapDup(szEnterprise);
    if (pDef->szEnterprise != nullptr) pDef->szFormat = szTrapDup(szFormat);
    if (pDef->szFormat == nullptr) {
        vFreeTrapDef(pDef);
        return TRAPCONF_NOMEM;
    }
    pDef->iTrapNumber = iNumber;
    pDef->cStatusUpdate = cFlag;
    ppTrapDefs[iTrapDefCount++] = pDef;
    return TRAPCONF_OK;
}

int iParseTrapDefsLoop(FILE *pFile, TrvParseResult *pResult) {
    char szLine[TRAPDEF_LINE_MAX + 1];
    for (;;) {
        int iRead = iReadConfigLine(pFile, szLine, TRAPDEF_LINE_MAX, &pResult->iLineNo);
        if (iRead == 0) return TRAPCONF_OK;  // the end where a block may begin
        if (iRead != 1) return iTrapLineError(iRead, pResult);
        if (szLine[0] == '#') continue;
        if (std::strcmp(szLine, "START_TRAP") != 0) return iTrapSyntax(pResult, "START_TRAP expected");

        iRead = iReadConfigLine(pFile, szLine, TRAPDEF_LINE_MAX, &pResult->iLineNo);
        if (iRead != 1) return iTrapLineError(iRead, pResult);
        char szEnterprise[TRAPDEF_ENTERPRISE_MAX + 1];
        int32_t iNumber = 0;
        char cFlag = 'N';
        int iResult = iParseTrapHeader(szLine, szEnterprise, &iNumber, &cFlag, pResult);
        if (iResult != TRAPCONF_OK) return iResult;

        char szFormat[TRAPDEF_LINE_MAX + 1];
        iRead = iReadConfigLine(pFile, szFormat, TRAPDEF_LINE_MAX, &pResult->iLineNo);
        if (iRead != 1) return iTrapLineError(iRead, pResult);

        iRead = iReadConfigLine(pFile, szLine, TRAPDEF_LINE_MAX, &pResult->iLineNo);
        if (iRead != 1) return iTrapLineError(iRead, pResult);
        if (std::strcmp(szLine, "END_TRAP") != 0) return iTrapSyntax(pResult, "END_TRAP expected");

        iResult = iAppendTrapDef(szEnterprise, iNumber, cFlag, szFormat);
        if (iResult != TRAPCONF_OK) {
            std::snprintf(pResult->szDetail, sizeof pResult->szDetail, "Line %d: out of memory", pResult->iLineNo);
            return iResult;
        }
    }
}

// The enterprise as the table is ordered and searched by: without its leading
// dot (the received enterprise is converted to text without one).
const char *szEnterpriseKey(const TrapDef *pDef) {
    const char *p = pDef->szEnterprise;
    return *p == '.' ? p + 1 : p;
}

int iCompareTrapDefs(const TrapDef *pA, const TrapDef *pB) {
    if (pA->iTrapNumber != pB->iTrapNumber) return pA->iTrapNumber < pB->iTrapNumber ? -1 : 1;
    return std::strcmp(szEnterpriseKey(pA), szEnterpriseKey(pB));
}

void vSwap(TrapDef **ppA, TrapDef **ppB) {
    TrapDef *p = *ppA;
    *ppA = *ppB;
    *ppB = p;
}

// Quicksort of [iLo, iHi]: the middle element is the pivot, swapped to the
// front; the smaller part is sorted by recursion and the larger by iteration,
// so the depth stays logarithmic whatever the file holds.
void vQuickSort(TrapDef **ppArray, int iLo, int iHi) {
    while (iLo < iHi) {
        vSwap(&ppArray[iLo], &ppArray[iLo + (iHi - iLo) / 2]);
        int iLast = iLo;
        for (int i = iLo + 1; i <= iHi; ++i)
            if (iCompareTrapDefs(ppArray[i], ppArray[iLo]) < 0) vSwap(&ppArray[++iLast], &ppArray[i]);
        vSwap(&ppArray[iLo], &ppArray[iLast]);
        if (iLast - iLo < iHi - iLast) {
            vQuickSort(ppArray, iLo, iLast - 1);
            iLo = iLast + 1;
        } else {
            vQuickSort(ppArray, iLast + 1, iHi);
            iHi = iLast - 1;
        }
    }
}

// ---------------------------------------------------------------------------
// Value-to-string maps
// ---------------------------------------------------------------------------

int iValMapLineError(int iRead) { return iRead == -1 ? TRAPCONF_NOMEM : TRAPCONF_SYNTAX; }

// "BEGIN_OID OID": 1 with the OID text, or 0.
int iParseOidLine(const char *szLine, char *szOid) {
    const char *p = szLine + std::strspn(szLine, " ");
    size_t n = std::strcspn(p, " ");
    if (n != 9 || std::strncmp(p, "BEGIN_OID", 9) != 0) return TRAPCONF_SYNTAX;
    p += n;
    p += std::strspn(p, " ");
    n = std::strcspn(p, " ");
    if (n == 0 || n > VALMAP_WORD_MAX) return TRAPCONF_SYNTAX;
    for (size_t i = 0; i < n; ++i)
        if (!bIsDigit(p[i]) && p[i] != '.') return TRAPCONF_SYNTAX;
    std::memcpy(szOid, p, n);
    szOid[n] = '\0';
    return TRAPCONF_OK;
}

// The line that ends a block: END_OID, blanks allowed around it.
bool bIsEndLine(const char *szLine) {
    const char *p = szLine + std::strspn(szLine, " ");
    if (std::strncmp(p, "END_OID", 7) != 0) return false;
    return bAllBlanks(p + 7);
}

// "VALUE "TEXT"": 1 with the value and the text, or 0.
int iParseValueLine(const char *szLine, int32_t *piValue, char *szText) {
    const char *p = szLine + std::strspn(szLine, " ");
    size_t n = std::strcspn(p, " ");
    if (n == 0 || n > VALMAP_NUMBER_MAX) return TRAPCONF_SYNTAX;
    for (size_t i = 0; i < n; ++i)
        if (!bIsDigit(p[i])) return TRAPCONF_SYNTAX;
    *piValue = iConfigNumber(p);
    p += n;
    p += std::strspn(p, " ");
    if (*p != '"') return TRAPCONF_SYNTAX;
    ++p;
    n = std::strcspn(p, "\"");  // up to the closing quote or the end of the line
    std::memcpy(szText, p, n);  // the line holds at most VALMAP_TEXT_MAX characters
    szText[n] = '\0';
    return TRAPCONF_OK;
}

int iAppendBlock(const char *szOid) {
    if (!bGrow(&ppValMap, iValMapCount)) return TRAPCONF_NOMEM;
    ValMapEntry *pEntry = static_cast<ValMapEntry *>(pTrapAlloc(sizeof(ValMapEntry)));
    if (pEntry == nullptr) return TRAPCONF_NOMEM;
    pEntry->pPairs = nullptr;
    pEntry->szOid = szTrapDup(szOid);
    if (pEntry->szOid == nullptr) {
        ZqsnmpFree(pEntry);
        return TRAPCONF_NOMEM;
    }
    ppValMap[iValMapCount++] = pEntry;  // the block counts once record and text exist
    return TRAPCONF_OK;
}

// The link after the last pair of the block being read, so that a long block
// loads in linear time.
ValMapPair **ppPairTail = nullptr;

int iAppendPair(ValMapEntry *pEntry, int32_t iValue, const char *szText) {
    ValMapPair *pPair = static_cast<ValMapPair *>(pTrapAlloc(sizeof(ValMapPair)));
    if (pPair == nullptr) return TRAPCONF_NOMEM;
    pPair->szText = szTrapDup(szText);
    if (pPair->szText == nullptr) {
        ZqsnmpFree(pPair);
        return TRAPCONF_NOMEM;
    }
    pPair->iValue = iValue;
    pPair->pNext = nullptr;
    if (ppPairTail == nullptr) ppPairTail = &pEntry->pPairs;
    *ppPairTail = pPair;
    ppPairTail = &pPair->pNext;
    return TRAPCONF_OK;
}

int iParseValMapLoop(FILE *pFile, TrvParseResult *pResult) {
    char szLine[VALMAP_LINE_MAX + 1];
    for (;;) {
        int iRead = iReadConfigLine(pFile, szLine, VALMAP_LINE_MAX, &pResult->iLineNo);
        if (iRead == 0) return TRAPCONF_OK;  // the end between blocks
        if (iRead != 1) return iValMapLineError(iRead);
        if (szLine[0] == '#' || bAllBlanks(szLine)) continue;

        char szOid[VALMAP_WORD_MAX + 1];
        if (iParseOidLine(szLine, szOid) != TRAPCONF_OK) return TRAPCONF_SYNTAX;
        int iResult = iAppendBlock(szOid);
        if (iResult != TRAPCONF_OK) return iResult;
        ValMapEntry *pEntry = ppValMap[iValMapCount - 1];
        ppPairTail = &pEntry->pPairs;

        for (;;) {
            iRead = iReadConfigLine(pFile, szLine, VALMAP_LINE_MAX, &pResult->iLineNo);
            if (iRead != 1) return iValMapLineError(iRead);  // also the end inside a block
            if (bAllBlanks(szLine)) return TRAPCONF_SYNTAX;
            if (bIsEndLine(szLine)) break;
            int32_t iValue = 0;
            char szText[VALMAP_TEXT_MAX + 1];
            if (iParseValueLine(szLine, &iValue, szText) != TRAPCONF_OK) return TRAPCONF_SYNTAX;
            iResult = iAppendPair(pEntry, iValue, szText);
            if (iResult != TRAPCONF_OK) return iResult;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Trap definitions
// ---------------------------------------------------------------------------

void vPrintTrapParseError(const TrvParseResult *pResult) {
    switch (pResult->iStatus) {
    case TRAPCONF_SYNTAX:
        std::printf("\nERROR: Syntax Error At Line No %d\n", pResult->iLineNo);
        break;
    case TRAPCONF_OK:
        break;
    case TRAPCONF_NOFILE:
        std::printf("\nERROR: File 'TRVTRAPD.CONF' doesnt exist\n");
        break;
    case TRAPCONF_NOMEM:
        std::printf("\nERROR: System Error\n");
        break;
    default:
        std::printf("\nERROR: Unknown Error\n");
        break;
    }
}

int iParseTrapDefs(FILE *pFile, TrvParseResult *pResult) {
    pResult->szDetail[0] = '\0';
    pResult->iStatus = iParseTrapDefsLoop(pFile, pResult);
    return pResult->iStatus;
}

int iLoadTrapDefs(TrapDef ***pppTable, TrvParseResult *pResult) {
    return iLoadTrapDefsFrom(pOpenConfFile("trvtrapd.conf"), pppTable, pResult);
}

int iLoadTrapDefsFrom(FILE *pFile, TrapDef ***pppTable, TrvParseResult *pResult) {
    vFreeTrapDefs();
    // Each load counts its own lines from 1.
    pResult->iLineNo = 0;
    if (pFile == nullptr) return TRAPCONF_NOFILE;
    int iResult = iParseTrapDefs(pFile, pResult);
    std::fclose(pFile);
    vPrintTrapParseError(pResult);
    if (iResult != TRAPCONF_OK) {
        vFreeTrapDefs();
        return 0;
    }
    if (pppTable != nullptr) *pppTable = ppTrapDefs;
    return iTrapDefCount;
}

void vSortTrapDefs(void) {
    if (iTrapDefCount > 1) vQuickSort(ppTrapDefs, 0, iTrapDefCount - 1);
}

TrapDef *pFindTrapDef(const ZqPdu *pTrap) {
    char szEnterprise[TRAPDEF_ENT_TEXT_SIZE];
    if (pTrap == nullptr || pTrap->enterprise_length > TRV_MAX_OID_TEXT_SUBIDS ||
        iOidToText(pTrap->enterprise, static_cast<int>(pTrap->enterprise_length), szEnterprise,
                   sizeof szEnterprise) < 0) {
        iTrapState = TRAP_STATE_OID_TEXT;
        return nullptr;
    }
    if (pTrap->trap_id == nullptr || pTrap->trap_id_length == 0 || iTrapDefCount <= 0) {
        iTrapState = TRAP_STATE_NO_DEF;
        return nullptr;
    }
    int32_t iNumber = static_cast<int32_t>(pTrap->trap_id[pTrap->trap_id_length - 1]);

    // The last definition that does not sort after the key, or the first one.
    int iLo = 0, iHi = iTrapDefCount;
    while (iLo < iHi - 1) {
        int iMid = (iLo + iHi) / 2;
        const TrapDef *pDef = ppTrapDefs[iMid];
        bool bBefore = iNumber < pDef->iTrapNumber ||
                       (iNumber == pDef->iTrapNumber && std::strcmp(szEnterprise, szEnterpriseKey(pDef)) < 0);
        if (bBefore)
            iHi = iMid;
        else
            iLo = iMid;
    }
    if (ppTrapDefs[iLo]->iTrapNumber == iNumber) return ppTrapDefs[iLo];
    iTrapState = TRAP_STATE_NO_DEF;
    return nullptr;
}

void vFreeTrapDefs(void) {
    for (int i = iTrapDefCount - 1; i >= 0; --i) vFreeTrapDef(ppTrapDefs[i]);
    std::free(ppTrapDefs);
    ppTrapDefs = nullptr;
    iTrapDefCount = 0;
}

// ---------------------------------------------------------------------------
// Value-to-string maps
// ---------------------------------------------------------------------------

int iParseValMap(FILE *pFile, TrvParseResult *pResult) {
    pResult->szDetail[0] = '\0';
    pResult->iStatus = iParseValMapLoop(pFile, pResult);
    return pResult->iStatus;
}

int iLoadValMap(ValMapEntry ***pppTable, const char *szFileName, TrvParseResult *pResult) {
    return iLoadValMapFrom(pOpenConfFile(szFileName), pppTable, pResult);
}

int iLoadValMapFrom(FILE *pFile, ValMapEntry ***pppTable, TrvParseResult *pResult) {
    vFreeValMap();
    pResult->iStatus = 3;
    // Each load counts its own lines from 1.
    pResult->iLineNo = 0;
    if (pFile == nullptr) {
        pResult->iStatus = TRAPCONF_NOFILE;
        return TRAPCONF_NOFILE;
    }
    iParseValMap(pFile, pResult);
    vPrintTrapParseError(pResult);
    if (pppTable != nullptr) *pppTable = ppValMap;
    std::fclose(pFile);
    return iValMapCount;
}

int iValToStr(const char *szOid, int iValue, char *szText, size_t uiSize) {
    if (szText != nullptr && uiSize > 0) szText[0] = '\0';
    if (szOid == nullptr) szOid = "";
    const ValMapEntry *pBlock = nullptr;
    for (int i = 0; i < iValMapCount && pBlock == nullptr; ++i) {
        const ValMapEntry *pEntry = ppValMap[i];
        // Taken as written: a block written with a leading dot never matches
        // the received OID, which is text without one.
        const char *szKey = pEntry->szOid;
        size_t n = std::strlen(szKey);
        // A prefix only up to a dot: 1.2.3 names 1.2.3.0.1, not 1.2.30.1.
        if (std::strncmp(szOid, szKey, n) == 0 && (szOid[n] == '\0' || szOid[n] == '.')) pBlock = pEntry;
    }
    if (pBlock == nullptr || pBlock->pPairs == nullptr) {
        iPrintError(1106, "ObjectID of a required MIB object in \"%s\" is missing.", szValToStrPath);
        iTrapState = TRAP_STATE_NO_OBJECT;
        return 0;
    }
    for (const ValMapPair *pPair = pBlock->pPairs; pPair != nullptr; pPair = pPair->pNext) {
        if (pPair->iValue != iValue) continue;
        iPrintDebug(__LINE__, kSource, 2, "iValToStr: Mapped string is >>>%s<<<\n", pPair->szText);
        if (szText == nullptr || uiSize == 0) return 0;
        size_t n = std::strlen(pPair->szText);
        if (n > uiSize - 1) n = uiSize - 1;
        std::memcpy(szText, pPair->szText, n);
        szText[n] = '\0';
        return static_cast<int>(n);
    }
    iPrintError(1107, "Value-to-string mappings for a required ObjectId in \"%s\" is missing.", szValToStrPath);
    iTrapState = TRAP_STATE_NO_VALUE;
    return 0;
}

void vFreeValMap(void) {
    for (int i = iValMapCount - 1; i >= 0; --i) {
        ValMapEntry *pEntry = ppValMap[i];
        ValMapPair *pPair = pEntry->pPairs;
        while (pPair != nullptr) {
            ValMapPair *pNext = pPair->pNext;
            ZqsnmpFree(pPair->szText);
            ZqsnmpFree(pPair);
            pPair = pNext;
        }
        ZqsnmpFree(pEntry->szOid);
        ZqsnmpFree(pEntry);
    }
    std::free(ppValMap);
    ppValMap = nullptr;
    iValMapCount = 0;
}
