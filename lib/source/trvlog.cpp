// The error and debug loggers: two log files shared by every program, each entry
// also echoed to standard error, both rotated at 1 MiB.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "trvint.h"
#include "trvlib.h"
#include "winapi.h"

const char *szProgramName = nullptr;
uint16_t uiDebugLevel = 0;

namespace {

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Puts errno back as the caller left it, whatever the logger did meanwhile.
struct ErrnoKeeper {
    int iSaved = errno;
    ~ErrnoKeeper() { errno = iSaved; }
};

const char *ProgramName() {
    if (szProgramName != nullptr && szProgramName[0] != '\0') return szProgramName;
    return program_invocation_short_name;
}

// "Mar 07 09:05:30 '99" (bDebug) or "Mar 07 09:05:30 '99 :\n" (error log).
std::string Timestamp(bool bDebug) {
    time_t t = time(nullptr);
    struct tm tmNow {};
    localtime_r(&t, &tmNow);
    char szBuf[64];
    snprintf(szBuf, sizeof szBuf, bDebug ? "%s %02d %02d:%02d:%02d '%02d" : "%s %02d %02d:%02d:%02d '%02d :\n",
             kMonths[tmNow.tm_mon % 12], tmNow.tm_mday, tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec,
             tmNow.tm_year % 100);
    return szBuf;
}

// Opens a log for appending, never through a symbolic link and only when it is
// a regular file.
FILE *OpenLog(const std::string &szPath, bool bReadToo) {
    return zqOpenLogFile(szPath.c_str(), bReadToo ? "a+" : "a");
}

void Write(FILE *fp, const std::string &szText) {
    if (!szText.empty()) fwrite(szText.data(), 1, szText.size(), fp);
}

// Flushes, checks the size, and turns a log of the limit or more into its
// ".old" generation; closes the file in every case.  -1 when the size cannot
// be read.
int CloseAndRotate(FILE *fp, const char *szLog, const char *szOld) {
    // The echo on standard error is whole as well, even where that stream is
    // line-buffered and the entry ends without a line break.
    fflush(stderr);
    fflush(fp);
    struct stat st {};
    if (fstat(fileno(fp), &st) != 0) {
        fprintf(stderr, "fstat: %s\n", strerror(errno));
        fclose(fp);
        return -1;
    }
    fclose(fp);
    if (st.st_size >= TRV_LOG_LIMIT) {
        std::string szLogPath = TrvHostPath(szLog);
        std::string szOldPath = TrvHostPath(szOld);
        struct stat stOld {};
        if (lstat(szOldPath.c_str(), &stOld) == 0) DeleteFileA(szOldPath.c_str());
        rename(szLogPath.c_str(), szOldPath.c_str());
    }
    return 1;
}

int MessageSet(const char *szName) {
    if (szName == nullptr) return 0;
    if (strcmp(szName, "trvtrapd") == 0) return 1;
    if (strcmp(szName, "trvdis") == 0) return 2;
    if (strcmp(szName, "trvmap") == 0) return 7;
    if (strcmp(szName, "trvins") == 0) return 6;
    if (strcmp(szName, "trvchk") == 0) return 5;
    return 0;
}

}  // namespace

std::string TrvFormat(const char *szFormat, va_list ap) {
    if (szFormat == nullptr) return std::string();
    va_list apCount;
    va_copy(apCount, ap);
    int iLen = vsnprintf(nullptr, 0, szFormat, apCount);
    va_end(apCount);
    if (iLen <= 0) return std::string();
    std::string szText(static_cast<size_t>(iLen), '\0');
    va_list apWrite;
    va_copy(apWrite, ap);
    vsnprintf(szText.data(), szText.size() + 1, szFormat, apWrite);
    va_end(apWrite);
    return szText;
}

const char *szGetMessage(int iSet, int iNumber, const char *szDefault) {
    (void)iSet;
    (void)iNumber;
    return szDefault;
}

int iPrintError(int iCode, const char *szFormat, ...) {
    // Taken first: opening the log below changes errno, and the error text must
    // be the one of the failure the caller reports.
    ErrnoKeeper keep;
    int iSavedErrno = keep.iSaved;
    int iSavedSnmpErrno = ZqsnmpErrno;
    int iSavedZqwError = ZqwError();

    std::string szStamp = Timestamp(false);
    std::string szPath = TrvHostPath(TRV_ERROR_LOG);
    FILE *fp = OpenLog(szPath, true);
    if (fp == nullptr) {
        fprintf(stderr, "Error : Unable to open error log file: \"%s\".\n", szPath.c_str());
        return -1;
    }
    const char *szName = ProgramName();

    if (iCode == TRV_ERR_SYSTEM || iCode == TRV_ERR_SNMP || iCode == TRV_ERR_ZQW) {
        const char *szClass = "";
        int iNumber = 0;
        std::string szErrText;
        if (iCode == TRV_ERR_SYSTEM) {
            szClass = "SYSTEM ERROR";
            iNumber = 8001;
            szErrText = strerror(iSavedErrno);
        } else if (iCode == TRV_ERR_SNMP) {
            szClass = "SNMP API ERROR";
            iNumber = 8003;
            const char *s = ZqsnmpErrString(iSavedSnmpErrno);
            szErrText = s ? s : "";
        } else {
            szClass = "ZQW API ERROR";
            iNumber = 8002;
            const char *s = ZqwErrorMsg(iSavedZqwError);
            szErrText = s ? s : "";
        }
        const char *szClassText = szGetMessage(8, iNumber, szClass);
        if (szClassText == nullptr) szClassText = szClass;
        std::string szMessage;
        if (szFormat != nullptr) {
            va_list ap;
            va_start(ap, szFormat);
            szMessage = TrvFormat(szFormat, ap);
            va_end(ap);
        }
        fprintf(fp, "\n%s%s (%s): %s ", szStamp.c_str(), szName, szClassText, szErrText.c_str());
        Write(fp, szMessage);
        fprintf(stderr, "\n%s (%s): %s ", szName, szClassText, szErrText.c_str());
        Write(stderr, szMessage);
    } else if (iCode < 0) {
        fprintf(stderr, "Error : (%s): iPrintError called for unknown error.\n", szName);
        fflush(fp);
        fclose(fp);
        return -1;
    } else {
        const char *szText = szGetMessage(MessageSet(szProgramName), iCode, szFormat);
        if (szText != nullptr) {
            va_list ap;
            va_start(ap, szFormat);
            std::string szMessage = TrvFormat(szText, ap);
            va_end(ap);
            fprintf(fp, "\n%s%s (%d): ", szStamp.c_str(), szName, iCode);
            Write(fp, szMessage);
            fprintf(stderr, "\n%s (%d): ", szName, iCode);
            Write(stderr, szMessage);
        }
    }
    return CloseAndRotate(fp, TRV_ERROR_LOG, TRV_ERROR_LOG_OLD);
}

int iPrintDebug(int iLine, const char *szSource, uint16_t uiDetail, const char *szFormat, ...) {
    ErrnoKeeper keep;
    if (uiDebugLevel == 0) return 1;
    if (uiDebugLevel == 1 && uiDetail >= 2) return 1;
    if (uiDebugLevel > 2) return 1;

    std::string szStamp = Timestamp(true);
    std::string szPath = TrvHostPath(TRV_DEBUG_LOG);
    FILE *fp = OpenLog(szPath, false);
    if (fp == nullptr) {
        fprintf(stderr, "Error : Unable to open Debug file %s\n", szPath.c_str());
        return -1;
    }
    const char *szName = ProgramName();
    std::string szMessage;
    if (szFormat != nullptr) {
        va_list ap;
        va_start(ap, szFormat);
        szMessage = TrvFormat(szFormat, ap);
        va_end(ap);
    }
    if (uiDetail == 1)
        fprintf(fp, "\n%s (%s) :\n", szStamp.c_str(), szName);
    else
        fprintf(fp, "\n%s(Line %d in %s of %s) :\n", szStamp.c_str(), iLine, szSource ? szSource : "", szName);
    Write(fp, szMessage);
    fprintf(stderr, "\n%s:", szName);
    Write(stderr, szMessage);
    return CloseAndRotate(fp, TRV_DEBUG_LOG, TRV_DEBUG_LOG_OLD);
}

int iHelpAsked(int iArgc, char **ppArgv) {
    for (int i = 1; ppArgv != nullptr && i < iArgc; ++i) {
        if (ppArgv[i] == nullptr) continue;
        if (strcmp(ppArgv[i], "--help") == 0 || strcmp(ppArgv[i], "-h") == 0) return 1;
    }
    return 0;
}

uint16_t iGetDebugLevel(int iArgc, char **ppArgv) {
    uint16_t uiLevel = 0;
    if (iArgc < 2 || ppArgv == nullptr) return 0;
    for (int i = 1; i < iArgc; ++i) {
        if (ppArgv[i] == nullptr || strcmp(ppArgv[i], "-dl") != 0) continue;
        if (i == iArgc - 1 || ppArgv[i + 1] == nullptr) {
            iPrintError(64, "Insufficient number of arguments, Assuming debug level 0.\n");
            uiLevel = 0;
            continue;
        }
        // The value: leading blanks, an optional sign, then the leading digits
        // ("2x" reads as 2).  Values beyond 2 (negative ones too) give 0; a text
        // that does not begin with a number leaves the level as it was.
        const char *p = ppArgv[i + 1];
        if (*p == '\0') {
            uiLevel = 0;
            continue;
        }
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
        bool bNegative = false;
        if (*p == '+' || *p == '-') {
            bNegative = (*p == '-');
            ++p;
        }
        if (*p < '0' || *p > '9') continue;
        unsigned long ulValue = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            ulValue = ulValue * 10 + static_cast<unsigned long>(*p - '0');
            if (ulValue > 2) ulValue = 3;  // saturate: only 0, 1, 2 matter
        }
        if (bNegative && ulValue != 0) ulValue = 3;
        uiLevel = ulValue > 2 ? 0 : static_cast<uint16_t>(ulValue);
    }
    return uiLevel;
}
