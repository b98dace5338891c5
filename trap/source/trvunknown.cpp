// Vendor traps without a definition: trvtrapd re-issues nothing for them, but
// keeps each as one line of log/trvtrapd.unknown, so that a definition can be
// written for it later (by hand or with trvmib2conf).  The file is rotated like
// the shared logs; the count of kept traps lives for the process.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "trvlib.h"
#include "trvtrapmain.h"
#include "winapi.h"

unsigned long ulUnknownTraps = 0;

namespace {

// A binding value shown in the line: its text when printable, else hex;
// at most this many bytes of it.
constexpr size_t kValueMax = 256;

void vAppendOid(std::string &szLine, const ZqOid *pOid, size_t uiLength) {
    char szText[TRV_MAX_OID_TEXT_SUBIDS * TRV_OID_TEXT_PER_SUBID + 1];
    if (pOid == nullptr || uiLength == 0 || iOidToText(pOid, static_cast<int>(uiLength), szText, sizeof szText) < 0)
        szLine += "-";
    else
        szLine += szText;
}

void vAppendBytes(std::string &szLine, const unsigned char *pBytes, size_t uiLength) {
    bool bText = true;
    for (size_t i = 0; i < uiLength; ++i)
        if (pBytes[i] < 0x20 || pBytes[i] >= 0x7f || pBytes[i] == '"' || pBytes[i] == '\\') bText = false;
    size_t uiShown = uiLength < kValueMax ? uiLength : kValueMax;
    char szHex[3];
    if (bText) {
        szLine += '"';
        szLine.append(reinterpret_cast<const char *>(pBytes), uiShown);
        szLine += '"';
    } else {
        szLine += "0x";
        for (size_t i = 0; i < uiShown; ++i) {
            snprintf(szHex, sizeof szHex, "%02X", pBytes[i]);
            szLine += szHex;
        }
    }
    if (uiShown < uiLength) szLine += "...";
}

void vAppendBinding(std::string &szLine, const ZqVarBind *pVar) {
    vAppendOid(szLine, pVar->name, pVar->name_length);
    szLine += ' ';
    switch (pVar->type) {
    case ZQ_ASN_INTEGER:
        szLine += "INTEGER " + (pVar->val.integer ? std::to_string(*pVar->val.integer) : std::string("-"));
        break;
    case ZQ_ASN_COUNTER:
    case ZQ_ASN_GAUGE:
    case ZQ_ASN_TIMETICKS:
        szLine += pVar->type == ZQ_ASN_COUNTER ? "Counter32 " : pVar->type == ZQ_ASN_GAUGE ? "Gauge32 " : "TimeTicks ";
        szLine += pVar->val.integer ? std::to_string(static_cast<uint32_t>(*pVar->val.integer)) : std::string("-");
        break;
    case ZQ_ASN_COUNTER64:
        szLine += "Counter64 " + (pVar->val.counter64 ? std::to_string(*pVar->val.counter64) : std::string("-"));
        break;
    case ZQ_ASN_OCTET_STR:
    case ZQ_ASN_OPAQUE:
        szLine += pVar->type == ZQ_ASN_OCTET_STR ? "STRING " : "Opaque ";
        vAppendBytes(szLine, pVar->val.string, pVar->val.string ? pVar->val_len : 0);
        break;
    case ZQ_ASN_IPADDRESS:
        szLine += "IpAddress ";
        if (pVar->val.string != nullptr && pVar->val_len == 4) {
            char szAddress[16];
            snprintf(szAddress, sizeof szAddress, "%u.%u.%u.%u", pVar->val.string[0], pVar->val.string[1],
                     pVar->val.string[2], pVar->val.string[3]);
            szLine += szAddress;
        } else {
            szLine += "-";
        }
        break;
    case ZQ_ASN_OBJECT_ID:
        szLine += "OID ";
        vAppendOid(szLine, pVar->val.objid, pVar->val.objid ? pVar->val_len : 0);
        break;
    case ZQ_ASN_NULL: szLine += "NULL"; break;
    default: szLine += "type" + std::to_string(pVar->type); break;
    }
}

}  // namespace

int iKeepUnknownTrap(const ZqPdu *pTrap) {
    if (pTrap == nullptr) return -1;
    ++ulUnknownTraps;

    char szStamp[32];
    time_t tNow = time(nullptr);
    struct tm stNow;
    gmtime_r(&tNow, &stNow);
    strftime(szStamp, sizeof szStamp, "%Y-%m-%dT%H:%M:%SZ", &stNow);
    char szAgent[16];
    snprintf(szAgent, sizeof szAgent, "%u.%u.%u.%u", pTrap->agent_addr[0], pTrap->agent_addr[1], pTrap->agent_addr[2],
             pTrap->agent_addr[3]);
    std::string szLine = std::string(szStamp) + " #" + std::to_string(ulUnknownTraps) + " agent=" + szAgent +
                         " enterprise=";
    vAppendOid(szLine, pTrap->enterprise, pTrap->enterprise_length);
    szLine += " generic=" + std::to_string(pTrap->trap_type) + " number=" + std::to_string(pTrap->specific_type) +
              " trap_id=";
    vAppendOid(szLine, pTrap->trap_id, pTrap->trap_id_length);
    szLine += " bindings=[";
    int iFirst = 1;
    for (const ZqVarBind *pVar = pTrap->variables; pVar != nullptr; pVar = pVar->next_variable) {
        if (!iFirst) szLine += "; ";
        iFirst = 0;
        vAppendBinding(szLine, pVar);
    }
    szLine += "]\n";

    char szPath[TRV_CONF_PATH_SIZE], szOld[TRV_CONF_PATH_SIZE];
    int iPath = zqHostPath(TRV_UNKNOWN_LOG, szPath, sizeof szPath);
    int iOld = zqHostPath(TRV_UNKNOWN_LOG_OLD, szOld, sizeof szOld);
    if (iPath < 0 || iPath >= static_cast<int>(sizeof szPath) || iOld < 0 || iOld >= static_cast<int>(sizeof szOld))
        return -1;
    // Rotated as the shared logs are: the full file becomes the old generation.
    struct stat stFile;
    if (lstat(szPath, &stFile) == 0 && stFile.st_size >= TRV_LOG_LIMIT) rename(szPath, szOld);
    FILE *pFile = zqOpenLogFile(szPath, "a");
    if (pFile == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "iKeepUnknownTrap: %s\n", szPath);
        return -1;
    }
    int iWritten = fputs(szLine.c_str(), pFile) >= 0;
    if (fclose(pFile) != 0) iWritten = 0;
    return iWritten ? 1 : -1;
}
