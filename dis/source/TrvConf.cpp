// The discovery configuration file trvconfig.dat: line reader, rule parser and
// the process-wide rule list that trvdis classifies nodes with.
#include "TrvConf.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trvlib.h"

ClassRule *pClassRules = nullptr;
int32_t iDiscoveryInterval = TRVCONF_DEFAULT_INTERVAL;
uint32_t uiReDisIteration = TRVCONF_DEFAULT_ITERATION;

namespace {

const char kSource[] = "dis/source/TrvConf";

// Where the next rule goes: the last rule's link, so that a long file loads in
// linear time.
ClassRule **ppRuleTail = &pClassRules;

void *pConfAlloc(size_t uiSize) {
    if (!iTrvAllocationAllowed()) return nullptr;
    return std::malloc(uiSize == 0 ? 1 : uiSize);
}

char *szConfDup(const char *szText, size_t uiLength) {
    char *p = static_cast<char *>(pConfAlloc(uiLength + 1));
    if (p == nullptr) return nullptr;
    std::memcpy(p, szText, uiLength);
    p[uiLength] = '\0';
    return p;
}

// Records why the parse failed (for trvconfchk's detail line) and gives -2.
__attribute__((format(printf, 2, 3))) int iSyntax(TrvParseResult *pResult, const char *szFormat, ...) {
    char szWhy[96];
    va_list ap;
    va_start(ap, szFormat);
    std::vsnprintf(szWhy, sizeof szWhy, szFormat, ap);
    va_end(ap);
    std::snprintf(pResult->szDetail, sizeof pResult->szDetail, "Line %d: %s", pResult->iLineNo, szWhy);
    return TRVCONF_SYNTAX;
}

int iNoMemory(TrvParseResult *pResult) {
    std::snprintf(pResult->szDetail, sizeof pResult->szDetail, "Line %d: out of memory", pResult->iLineNo);
    return TRVCONF_NOMEM;
}

// True for an optional sign followed by one or more digits, and nothing else.
bool bIsNumber(const char *szText) {
    const char *p = szText;
    if (*p == '+' || *p == '-') ++p;
    if (*p == '\0') return false;
    for (; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

// Copies the run of characters at p up to (not including) a stop character or
// the end into szField (room for TRVCONF_FIELD_MAX + 1 or uiMax + 1 bytes).
// Returns the position after the run, or null when the run is longer than uiMax.
const char *pTakeField(const char *p, const char *szStops, char *szField, size_t uiMax) {
    size_t n = std::strcspn(p, szStops);
    if (n > uiMax) return nullptr;
    std::memcpy(szField, p, n);
    szField[n] = '\0';
    return p + n;
}

const char *pSkip(const char *p, const char *szChars) { return p + std::strspn(p, szChars); }

// Splits a rule line into its five fields.  1 or -2.
int iParseRuleLine(const char *szLine, char *szClass, char *szLabel, char *szOid, char *szType, char *szValue,
                   TrvParseResult *pResult) {
    const char *p = pSkip(szLine, " ");
    p = pTakeField(p, " :", szClass, TRVCONF_FIELD_MAX);
    if (p == nullptr || (std::strcmp(szClass, "Server") != 0 && std::strcmp(szClass, "Desktop") != 0))
        return iSyntax(pResult, "the class word must be Server or Desktop");

    p = pTakeField(pSkip(p, " :"), " :", szLabel, TRVCONF_FIELD_MAX);
    if (p == nullptr) return iSyntax(pResult, "the label is longer than %d characters", TRVCONF_FIELD_MAX);
    if (szLabel[0] == '\0') return iSyntax(pResult, "the label is missing");

    p = pTakeField(pSkip(p, " :"), " ", szOid, TRVCONF_FIELD_MAX);
    if (p == nullptr) return iSyntax(pResult, "the OID is longer than %d characters", TRVCONF_FIELD_MAX);
    if (szOid[0] == '\0') return iSyntax(pResult, "the OID is missing");
    if (szOid[std::strspn(szOid, "0123456789.")] != '\0')
        return iSyntax(pResult, "the OID may hold only digits and dots");
    if (*p == '\0') return iSyntax(pResult, "the type and the value are missing");

    p = pTakeField(pSkip(p, " "), " ", szType, TRVCONF_FIELD_MAX);
    if (p == nullptr) return iSyntax(pResult, "the type word is longer than %d characters", TRVCONF_FIELD_MAX);
    if (szType[0] == '\0') return iSyntax(pResult, "the type word is missing");

    p = pSkip(p, " ");
    if (*p != '"') return iSyntax(pResult, "the value must be written in double quotes");
    ++p;
    const char *pEnd = std::strchr(p, '"');
    if (pEnd == nullptr) return iSyntax(pResult, "the value has no closing double quote");
    size_t n = static_cast<size_t>(pEnd - p);
    if (n > TRVCONF_VALUE_MAX) return iSyntax(pResult, "the value is longer than %d characters", TRVCONF_VALUE_MAX);
    std::memcpy(szValue, p, n);
    szValue[n] = '\0';
    return TRVCONF_OK;
}

void vFreeRule(ClassRule *pRule) {
    if (pRule == nullptr) return;
    RuleCondition *pCond = pRule->pConditions;
    while (pCond != nullptr) {
        RuleCondition *pNext = pCond->pNext;
        std::free(pCond->pOid);
        std::free(pCond->pValue);
        std::free(pCond);
        pCond = pNext;
    }
    std::free(pRule->szLabel);
    std::free(pRule);
}

// Fills the condition's type and value from the type word and the value text.
int iSetConditionValue(RuleCondition *pCond, char *szType, char *szValue, TrvParseResult *pResult) {
    for (char *p = szType; *p != '\0'; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    const char *szWord = szFirstToken(szType);
    if (std::strcmp(szWord, "INTEGER") == 0) {
        pCond->ucType = TRVCONF_TYPE_INTEGER;
    } else if (std::strcmp(szWord, "OID") == 0) {
        pCond->ucType = TRVCONF_TYPE_OID;
    } else if (std::strcmp(szWord, "STRING") == 0) {
        pCond->ucType = TRVCONF_TYPE_STRING;
    } else {
        // An unknown type word is accepted; the condition then has no type and
        // no value, and never matches an answer.
        pCond->ucType = TRVCONF_TYPE_NONE;
        return TRVCONF_OK;
    }

    if (pCond->ucType == TRVCONF_TYPE_INTEGER) {
        const char *szNumber = szFirstToken(szValue);
        if (!bIsNumber(szNumber)) return iSyntax(pResult, "an INTEGER value must be a decimal number");
        int32_t *pInt = static_cast<int32_t *>(pConfAlloc(sizeof(int32_t)));
        if (pInt == nullptr) return iNoMemory(pResult);
        *pInt = iConfigNumber(szNumber);
        pCond->pValue = pInt;
        pCond->iValueLength = 4;
    } else if (pCond->ucType == TRVCONF_TYPE_STRING) {
        size_t n = std::strlen(szValue);
        pCond->pValue = szConfDup(szValue, n);
        if (pCond->pValue == nullptr) return iNoMemory(pResult);
        pCond->iValueLength = static_cast<int32_t>(n);
    } else {
        // An OID value is written with a leading dot; it is stepped over when
        // it is there, so a value written without one means the same OID.
        const char *szOid = szFirstToken(szValue);
        if (*szOid == '.') ++szOid;
        if (*szOid == '\0') return iSyntax(pResult, "an OID value needs at least one sub-identifier");
        if (szOid[std::strspn(szOid, "0123456789.")] != '\0')
            return iSyntax(pResult, "an OID value may hold only digits and dots");
        int iError = TRVCONF_OK;
        int32_t iCount = 0;
        ZqOid *pOid = iSplitOid(szOid, &iCount, &iError);
        if (pOid == nullptr)
            return iError == TRVCONF_NOMEM ? iNoMemory(pResult) : iSyntax(pResult, "the OID value is not valid");
        pCond->pValue = pOid;
        pCond->iValueLength = iCount;
    }
    return TRVCONF_OK;
}

// One rule line: parsed, built completely, then appended to the list; a rule
// that could not be completed is freed at the one exit.
int iAddRule(const char *szLine, TrvParseResult *pResult) {
    char szClass[TRVCONF_FIELD_MAX + 1], szLabel[TRVCONF_FIELD_MAX + 1], szOid[TRVCONF_FIELD_MAX + 1],
        szType[TRVCONF_FIELD_MAX + 1], szValue[TRVCONF_VALUE_MAX + 1];
    int iResult = iParseRuleLine(szLine, szClass, szLabel, szOid, szType, szValue, pResult);
    if (iResult != TRVCONF_OK) return iResult;
    iPrintDebug(__LINE__, kSource, 2, "\n%s %s %s %s %s", szClass, szLabel, szOid, szType, szValue);

    RuleCondition *pCond = nullptr;
    int iError = TRVCONF_OK;
    const char *szToken = nullptr;
    ClassRule *pRule = static_cast<ClassRule *>(pConfAlloc(sizeof(ClassRule)));
    if (pRule == nullptr) return iNoMemory(pResult);
    std::memset(pRule, 0, sizeof *pRule);
    // The class word is "Server" or "Desktop" (checked above), so it fits.
    std::memcpy(pRule->szClass, szClass, std::strlen(szClass) + 1);

    szToken = szFirstToken(szLabel);
    if (*szToken == '\0') {
        iResult = iSyntax(pResult, "the label is missing");
        goto done;
    }
    pRule->szLabel = szConfDup(szToken, std::strlen(szToken));
    if (pRule->szLabel != nullptr) pCond = static_cast<RuleCondition *>(pConfAlloc(sizeof(RuleCondition)));
    if (pCond == nullptr) {
        iResult = iNoMemory(pResult);
        goto done;
    }
    std::memset(pCond, 0, sizeof *pCond);
    pRule->pConditions = pCond;

    pCond->pOid = iSplitOid(szFirstToken(szOid), &pCond->iOidLength, &iError);
    if (pCond->pOid == nullptr) {
        iResult = iError == TRVCONF_NOMEM ? iNoMemory(pResult) : iSyntax(pResult, "the OID is not valid");
        goto done;
    }
    iResult = iSetConditionValue(pCond, szType, szValue, pResult);
    if (iResult != TRVCONF_OK) goto done;

    if (pClassRules == nullptr) ppRuleTail = &pClassRules;
    while (*ppRuleTail != nullptr) ppRuleTail = &(*ppRuleTail)->pNext;
    *ppRuleTail = pRule;
    ppRuleTail = &pRule->pNext;
    pRule = nullptr;  // the list's now

done:
    vFreeRule(pRule);
    return iResult;
}

// The value of a "Keyword: number" line: digits after the colon and its blanks,
// up to a blank or the end.  1 (value in *piValue) or -2.
int iParseNumberLine(const char *szLine, int32_t *piValue, TrvParseResult *pResult) {
    const char *p = std::strchr(szLine, ':');
    if (p == nullptr) return iSyntax(pResult, "a colon must follow the keyword");
    p = pSkip(p + 1, " ");
    const char *pStart = p;
    while (*p != '\0' && *p != ' ') {
        if (*p < '0' || *p > '9') return iSyntax(pResult, "the value may hold only digits");
        ++p;
    }
    char szDigits[TRVCONF_LINE_MAX + 1];
    size_t n = static_cast<size_t>(p - pStart);
    std::memcpy(szDigits, pStart, n);
    szDigits[n] = '\0';
    *piValue = iConfigNumber(szDigits);
    return TRVCONF_OK;
}

}  // namespace

int iReadConfLine(FILE *pFile, char *szBuffer, TrvParseResult *pResult) {
    int iRead = iReadConfigLine(pFile, szBuffer, TRVCONF_LINE_MAX, &pResult->iLineNo);
    return iRead == -2 ? TRVCONF_SYNTAX : iRead;
}

ZqOid *iSplitOid(const char *szText, int32_t *piCount, int *piError) {
    *piCount = 0;
    *piError = TRVCONF_OK;
    ZqOid aOid[TRVCONF_OID_MAX];
    int32_t iCount = 0;
    const char *p = szText;
    for (;;) {
        size_t n = std::strcspn(p, ".");
        if (iCount == TRVCONF_OID_MAX) {
            *piError = TRVCONF_SYNTAX;
            return nullptr;
        }
        if (n > TRVCONF_SUBID_DIGITS) {
            *piError = TRVCONF_SYNTAX;
            return nullptr;
        }
        uint64_t ullValue = 0;
        for (size_t i = 0; i < n; ++i) {
            if (p[i] < '0' || p[i] > '9') {
                *piError = TRVCONF_SYNTAX;
                return nullptr;
            }
            ullValue = ullValue * 10 + static_cast<uint64_t>(p[i] - '0');
        }
        if (ullValue > UINT32_MAX) {
            *piError = TRVCONF_SYNTAX;
            return nullptr;
        }
        aOid[iCount++] = static_cast<ZqOid>(ullValue);
        if (p[n] == '\0') break;
        p += n + 1;
    }
    ZqOid *pOid = static_cast<ZqOid *>(pConfAlloc(static_cast<size_t>(iCount) * sizeof(ZqOid)));
    if (pOid == nullptr) {
        *piError = TRVCONF_NOMEM;
        return nullptr;
    }
    std::memcpy(pOid, aOid, static_cast<size_t>(iCount) * sizeof(ZqOid));
    *piCount = iCount;
    return pOid;
}

int iParseTrvConfig(FILE *pFile, TrvParseResult *pResult) {
    pResult->iStatus = TRVCONF_OK;
    pResult->szDetail[0] = '\0';
    char szLine[TRVCONF_LINE_MAX + 1];
    while (!std::feof(pFile)) {
        int iRead = iReadConfLine(pFile, szLine, pResult);
        int iResult = TRVCONF_OK;
        if (iRead == -1) {
            std::snprintf(pResult->szDetail, sizeof pResult->szDetail, "Line %d: the file cannot be read",
                          pResult->iLineNo);
            iResult = TRVCONF_NOMEM;
        } else if (iRead == TRVCONF_SYNTAX) {
            iResult = iSyntax(pResult, "the line is longer than %d characters or holds a NUL byte", TRVCONF_LINE_MAX);
        } else if (szLine[0] == '\0' || std::strchr("\n #[", szLine[0]) != nullptr) {
            continue;
        } else if (std::strspn(szLine, "Server") == 6 || std::strspn(szLine, "Desktop") == 7) {
            iResult = iAddRule(szLine, pResult);
        } else if (std::strspn(szLine, "DiscoveryInterval") == 17) {
            int32_t iValue = 0;
            iResult = iParseNumberLine(szLine, &iValue, pResult);
            if (iResult == TRVCONF_OK) iDiscoveryInterval = iValue == 0 ? TRVCONF_DEFAULT_INTERVAL : iValue;
        } else if (std::strspn(szLine, "Re-DiscoveryIntervalIteration") == 29) {
            int32_t iValue = 0;
            iResult = iParseNumberLine(szLine, &iValue, pResult);
            if (iResult == TRVCONF_OK)
                uiReDisIteration = iValue == 0 ? TRVCONF_DEFAULT_ITERATION : static_cast<uint32_t>(iValue);
        } else {
            iResult = iSyntax(pResult, "not a rule, DiscoveryInterval or Re-DiscoveryIntervalIteration");
        }
        if (iResult != TRVCONF_OK) {
            pResult->iStatus = iResult;
            return iResult;
        }
    }
    return TRVCONF_OK;
}

void vPrintParseError(const TrvParseResult *pResult) {
    switch (pResult->iStatus) {
    case TRVCONF_OK:
        break;
    case TRVCONF_NOMEM:
        std::printf("\nERROR: System Error\n");
        break;
    case TRVCONF_SYNTAX:
        std::printf("\nERROR: Syntax Error At Line No %d\n", pResult->iLineNo);
        break;
    case TRVCONF_NOFILE:
        std::printf("\nERROR: File 'TRVTRAPD.CONF' doesnt exist\n");
        break;
    default:
        std::printf("\nERROR: Unknown Error\n");
        break;
    }
}

int iReadTrvConfig(TrvParseResult *pResult) {
    pResult->iLineNo = 0;
    FILE *pFile = pOpenConfFile("trvconfig.dat");
    if (pFile == nullptr) return TRVCONF_NOFILE;
    int iResult = iParseTrvConfig(pFile, pResult);
    std::fclose(pFile);
    return iResult;
}

int iLoadTrvConfig(TrvParseResult *pResult) {
    int iResult = iReadTrvConfig(pResult);
    if (iResult != TRVCONF_OK && iResult != TRVCONF_NOFILE) vPrintParseError(pResult);
    return iResult;
}

void vFreeTrvConfig(void) {
    while (pClassRules != nullptr) {
        ClassRule *pNext = pClassRules->pNext;
        vFreeRule(pClassRules);
        pClassRules = pNext;
    }
    ppRuleTail = &pClassRules;
    iDiscoveryInterval = TRVCONF_DEFAULT_INTERVAL;
    uiReDisIteration = TRVCONF_DEFAULT_ITERATION;
}
