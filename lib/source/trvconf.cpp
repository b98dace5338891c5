// The installation directory (from the registry) and the configuration-file
// opener.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "trvint.h"
#include "trvlib.h"
#include "winapi.h"

char szInstallDir[TRV_INSTALL_DIR_SIZE] = "";
char szTrvConfigPath[TRV_CONF_PATH_SIZE] = "";
char szTrapConfPath[TRV_CONF_PATH_SIZE] = "";
char szValToStrPath[TRV_CONF_PATH_SIZE] = "";

std::string TrvHostPath(const char *szWindowsPath) {
    char szBuf[512];
    int iLen = zqHostPath(szWindowsPath, szBuf, sizeof szBuf);
    if (iLen < 0) return std::string();
    if (static_cast<size_t>(iLen) < sizeof szBuf) return std::string(szBuf, static_cast<size_t>(iLen));
    std::vector<char> big(static_cast<size_t>(iLen) + 1);
    if (zqHostPath(szWindowsPath, big.data(), big.size()) != iLen) return std::string();
    return std::string(big.data(), static_cast<size_t>(iLen));
}

void vReadInstallDir(void) {
    szInstallDir[0] = '\0';
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, TRV_REGISTRY_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition) != ERROR_SUCCESS)
        return;
    char szValue[TRV_INSTALL_DIR_SIZE] = "";
    DWORD dwType = 0;
    DWORD dwSize = sizeof szValue;
    LONG lResult = RegQueryValueExA(hKey, TRV_REGISTRY_VALUE, nullptr, &dwType,
                                    reinterpret_cast<BYTE *>(szValue), &dwSize);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) return;
    // The value may come without its terminator when it fills the buffer.
    size_t uiLen = strnlen(szValue, sizeof szValue);
    if (uiLen >= sizeof szInstallDir) return;
    memcpy(szInstallDir, szValue, uiLen);
    szInstallDir[uiLen] = '\0';
}

FILE *pOpenConfFile(const char *szFileName) {
    if (szFileName == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    vReadInstallDir();
    szTrimRight(szInstallDir);

    std::string szWindowsPath = std::string(szInstallDir) + TRV_CONF_DIR + szFileName;
    // Messages name the file that is really opened: the host path.
    std::string szHostPath = TrvHostPath(szWindowsPath.c_str());

    char *pRemembered = nullptr;
    if (strcmp(szFileName, "trvconfig.dat") == 0)
        pRemembered = szTrvConfigPath;
    else if (strcmp(szFileName, "trvtrapd.conf") == 0)
        pRemembered = szTrapConfPath;
    else if (strcmp(szFileName, "trvval2str.trap") == 0)
        pRemembered = szValToStrPath;

    // A path longer than the 255 characters the remembered texts hold is not
    // opened: a message could not name it.  The remembered text then shows its
    // beginning followed by "...".
    bool bTooLong = szHostPath.size() >= TRV_CONF_PATH_SIZE;
    if (bTooLong) szHostPath = szHostPath.substr(0, TRV_CONF_PATH_SIZE - 4) + "...";
    if (pRemembered != nullptr) {
        memcpy(pRemembered, szHostPath.data(), szHostPath.size());
        pRemembered[szHostPath.size()] = '\0';
    }
    if (bTooLong || szHostPath.empty()) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return pOpenRegularFile(szHostPath.c_str(), 0);
}

FILE *pOpenNamedConfFile(const char *szPath, const char *szFileName) {
    if (szPath == nullptr || szFileName == nullptr || szPath[0] == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    char *pRemembered = strcmp(szFileName, "trvtrapd.conf") == 0     ? szTrapConfPath
                        : strcmp(szFileName, "trvval2str.trap") == 0 ? szValToStrPath
                        : strcmp(szFileName, "trvconfig.dat") == 0   ? szTrvConfigPath
                                                                     : nullptr;
    size_t uiLen = strlen(szPath);
    if (uiLen >= TRV_CONF_PATH_SIZE) {
        if (pRemembered != nullptr) snprintf(pRemembered, TRV_CONF_PATH_SIZE, "%.*s...", TRV_CONF_PATH_SIZE - 4, szPath);
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (pRemembered != nullptr) memcpy(pRemembered, szPath, uiLen + 1);
    return pOpenRegularFile(szPath, 1);
}

FILE *pOpenRegularFile(const char *szHostPath, int iFollowLink) {
    // Opened without blocking (a FIFO in the file's place must not hang the
    // daemons or the checkers) and without following a link; only a regular file
    // holds configuration (a directory opens for reading on Linux).
    int iFd = open(szHostPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | (iFollowLink ? 0 : O_NOFOLLOW));
    if (iFd < 0) return nullptr;
    struct stat st {};
    if (fstat(iFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        bool bDir = S_ISDIR(st.st_mode);
        close(iFd);
        errno = bDir ? EISDIR : EINVAL;
        return nullptr;
    }
    int iFlags = fcntl(iFd, F_GETFL);
    if (iFlags >= 0) fcntl(iFd, F_SETFL, iFlags & ~O_NONBLOCK);
    FILE *fp = fdopen(iFd, "r");
    if (fp == nullptr) close(iFd);
    return fp;
}

int iReadConfigLine(FILE *pFile, char *szBuffer, size_t uiMax, int *piLineNo) {
    size_t n = 0;
    bool bAny = false, bBad = false, bCr = false;
    int c;
    szBuffer[0] = '\0';
    while ((c = std::fgetc(pFile)) != EOF) {
        bAny = true;
        if (c == '\n') break;
        if (bCr) {  // the carriage return held back was part of the line
            if (n < uiMax)
                szBuffer[n++] = '\r';
            else
                bBad = true;
            bCr = false;
        }
        if (c == '\r') {
            bCr = true;
            continue;
        }
        if (c == '\0') bBad = true;
        if (n < uiMax)
            szBuffer[n++] = static_cast<char>(c);
        else
            bBad = true;
    }
    ++*piLineNo;
    if (std::ferror(pFile)) {
        szBuffer[0] = '\0';
        return -1;
    }
    if (!bAny) return 0;
    if (bBad) {
        szBuffer[0] = '\0';
        return -2;
    }
    szBuffer[n] = '\0';
    return 1;
}

int32_t iConfigNumber(const char *szText) {
    const char *p = szText;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-') bNegative = (*p++ == '-');
    int64_t llValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        llValue = llValue * 10 + (*p - '0');
        if (llValue > static_cast<int64_t>(INT32_MAX) + 1) llValue = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (bNegative) llValue = -llValue;
    if (llValue > INT32_MAX) return INT32_MAX;
    if (llValue < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(llValue);
}
