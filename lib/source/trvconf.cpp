// The installation directory (from the registry) and the configuration-file
// opener.
#include <errno.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "trvint.h"
#include "trvlib.h"
#include "winapi.h"

char szInstallDir[TRV_INSTALL_DIR_SIZE] = "";
char szTrvConfigPath[TRV_CONF_PATH_SIZE] = "";
char szTrapConfPath[TRV_CONF_PATH_SIZE] = "";
char szValToStrPath[TRV_CONF_PATH_SIZE] = "";

std::string TrvHostPath(const char *szWindowsPath) {
    return zqHostPathString(szWindowsPath);
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
    // opened: a message could not name it.  The remembered text keeps as much
    // of it as fits.
    bool bTooLong = szHostPath.size() >= TRV_CONF_PATH_SIZE;
    if (pRemembered != nullptr) {
        size_t uiLen = bTooLong ? TRV_CONF_PATH_SIZE - 1 : szHostPath.size();
        memcpy(pRemembered, szHostPath.data(), uiLen);
        pRemembered[uiLen] = '\0';
    }
    if (bTooLong) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return fopen(szHostPath.c_str(), "re");
}
