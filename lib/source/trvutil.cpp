// OID and text helpers, and the status-name table.
#include <cstdio>
#include <cstring>

#include "trvlib.h"

int iOidCompare(const ZqOid *pA, const ZqOid *pB, int iCount) {
    if (iCount <= 0) return 1;
    if (pA == nullptr || pB == nullptr) return 0;
    for (int i = 0; i < iCount; ++i)
        if (pA[i] != pB[i]) return 0;
    return 1;
}

void vCopyOid(ZqOid *pDest, const ZqOid *pSource, int iCount) {
    if (iCount <= 0 || pDest == nullptr || pSource == nullptr) return;
    std::memmove(pDest, pSource, static_cast<size_t>(iCount) * sizeof(ZqOid));
}

int iOidToText(const ZqOid *pOid, int iCount, char *szText, size_t uiSize) {
    if (szText == nullptr || uiSize == 0) return -1;
    szText[0] = '\0';
    if (iCount > TRV_MAX_OID_TEXT_SUBIDS) return -1;
    if (iCount <= 0) return 0;
    if (pOid == nullptr) return -1;
    size_t uiLen = 0;
    for (int i = 0; i < iCount; ++i) {
        char szPart[16];
        int iPart = std::snprintf(szPart, sizeof szPart, i == 0 ? "%u" : ".%u",
                                  static_cast<unsigned int>(pOid[i]));
        if (iPart < 0 || uiLen + static_cast<size_t>(iPart) + 1 > uiSize) {
            szText[0] = '\0';
            return -1;
        }
        std::memcpy(szText + uiLen, szPart, static_cast<size_t>(iPart));
        uiLen += static_cast<size_t>(iPart);
    }
    szText[uiLen] = '\0';
    return static_cast<int>(uiLen);
}

char *szFirstToken(char *szText) {
    if (szText == nullptr) return nullptr;
    char *p = szText;
    while (*p == ' ' || *p == '\t') ++p;
    char *q = p;
    while (*q != '\0' && *q != ' ' && *q != '\t' && *q != '\n' && *q != ':' && *q != ';') ++q;
    *q = '\0';
    return p;
}

char *szTrimRight(char *szText) {
    if (szText == nullptr) return nullptr;
    size_t n = std::strlen(szText);
    while (n > 0 && szText[n - 1] == ' ') szText[--n] = '\0';
    return szText;
}

__attribute__((weak)) int iTrvAllocationAllowed(void) { return 1; }

void vLineBufferOutput(void) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
}

int iStatusNameToCode(const char *szName) {
    if (szName == nullptr) return 0;
    if (std::strcmp(szName, "Unknown") == 0) return 1;
    if (std::strcmp(szName, "Normal") == 0) return 2;
    if (std::strcmp(szName, "Marginal") == 0) return 3;
    if (std::strcmp(szName, "Major") == 0) return 7;
    return 0;
}
