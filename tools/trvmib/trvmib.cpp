// The MIB reader: net-snmp's parser over the files given, then one record per
// trap or notification, with the OIDs and enumerations of its variables.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "trvmib.h"

char szMibError[512];

namespace {

char *szDup(const char *szText) { return strdup(szText != nullptr ? szText : ""); }

std::string szOidOf(const struct tree *pNode) {
    std::vector<unsigned long> aSubIds;
    for (; pNode != nullptr; pNode = pNode->parent) aSubIds.push_back(pNode->subid);
    std::string szText;
    for (auto it = aSubIds.rbegin(); it != aSubIds.rend(); ++it) {
        if (!szText.empty()) szText += '.';
        szText += std::to_string(*it);
    }
    return szText;
}

std::string szParentOid(const std::string &szOid, int iDrop) {
    std::string szText = szOid;
    for (int i = 0; i < iDrop; ++i) {
        size_t uiDot = szText.rfind('.');
        szText = uiDot == std::string::npos ? "" : szText.substr(0, uiDot);
    }
    return szText;
}

std::string szModuleOf(const struct tree *pNode) {
    char szName[256];
    szName[0] = '\0';
    module_name(pNode->modid, szName);
    return szName;
}

/* The shipped base modules: PREFIX/share/tarvo-zq/conf/mibs when the program
 * runs installed from PREFIX/lib/tarvo-zq/bin (wherever the package was
 * unpacked), else the folder the build named. */
std::string szShippedMibDir() {
    char szSelf[4096];
    ssize_t iLength = readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    if (iLength > 0) {
        std::string szBin(szSelf, static_cast<size_t>(iLength));
        szBin = szBin.substr(0, szBin.rfind('/'));
        const std::string szTail = "/lib/tarvo-zq/bin";
        if (szBin.size() > szTail.size() && szBin.compare(szBin.size() - szTail.size(), szTail.size(), szTail) == 0) {
            std::string szDir = szBin.substr(0, szBin.size() - szTail.size()) + "/share/tarvo-zq/conf/mibs";
            struct stat st;
            if (stat(szDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return szDir;
        }
    }
    return TRV_MIB_DIR;
}

/* The object a variable names: in the trap's own module first. */
struct tree *pFindObject(const char *szLabel, int iModule) {
    struct tree *pNode = find_tree_node(szLabel, iModule);
    return pNode != nullptr ? pNode : find_tree_node(szLabel, -1);
}

MibTrap *pNewTrap(const struct tree *pNode, int iVersion, const std::string &szEnterprise, unsigned long ulNumber) {
    MibTrap *pTrap = static_cast<MibTrap *>(calloc(1, sizeof(MibTrap)));
    if (pTrap == nullptr) return nullptr;
    pTrap->szName = szDup(pNode->label);
    pTrap->szModule = szDup(szModuleOf(pNode).c_str());
    pTrap->iSmiVersion = iVersion;
    pTrap->szEnterprise = szDup(szEnterprise.c_str());
    pTrap->iNumber = static_cast<int32_t>(ulNumber);
    pTrap->szDescription = szDup(pNode->description);
    MibVar **ppTail = &pTrap->pVars;
    for (const struct varbind_list *pVb = pNode->varbinds; pVb != nullptr; pVb = pVb->next) {
        MibVar *pVar = static_cast<MibVar *>(calloc(1, sizeof(MibVar)));
        if (pVar == nullptr) break;
        pVar->szName = szDup(pVb->vblabel);
        struct tree *pObject = pFindObject(pVb->vblabel, pNode->modid);
        pVar->szOid = szDup(pObject != nullptr ? szOidOf(pObject).c_str() : "");
        MibEnum **ppEnumTail = &pVar->pEnums;
        for (const struct enum_list *pE = pObject != nullptr ? pObject->enums : nullptr; pE != nullptr; pE = pE->next) {
            MibEnum *pEnum = static_cast<MibEnum *>(calloc(1, sizeof(MibEnum)));
            if (pEnum == nullptr) break;
            pEnum->iValue = pE->value;
            pEnum->szLabel = szDup(pE->label);
            *ppEnumTail = pEnum;
            ppEnumTail = &pEnum->pNext;
        }
        *ppTail = pVar;
        ppTail = &pVar->pNext;
        ++pTrap->iVarCount;
    }
    return pTrap;
}

void vCollect(const struct tree *pNode, std::vector<MibTrap *> &aTraps) {
    for (; pNode != nullptr; pNode = pNode->next_peer) {
        const struct tree *pParent = pNode->parent;
        // A TRAP-TYPE sits at ENTERPRISE.0.VALUE below a node the parser marks.
        if (pParent != nullptr && pParent->type == TYPE_TRAPTYPE && pParent->subid == 0 && pParent->parent != nullptr) {
            MibTrap *pTrap = pNewTrap(pNode, 1, szOidOf(pParent->parent), pNode->subid);
            if (pTrap != nullptr) aTraps.push_back(pTrap);
        } else if (pNode->type == TYPE_NOTIFTYPE) {
            std::string szOid = szOidOf(pNode);
            int iDrop = pParent != nullptr && pParent->subid == 0 ? 2 : 1;
            MibTrap *pTrap = pNewTrap(pNode, 2, szParentOid(szOid, iDrop), pNode->subid);
            if (pTrap != nullptr) aTraps.push_back(pTrap);
        }
        vCollect(pNode->child_list, aTraps);
    }
}

int iParsed = 0;

/* What the parser logged while reading the files: its first error names the
 * module, the line and the file ("Cannot find module (X): At line 9 in F"). */
std::vector<std::string> aParserMessages;

int iKeepParserMessage(int, int, void *pServerArg, void *) {
    const struct snmp_log_message *pMessage = static_cast<const struct snmp_log_message *>(pServerArg);
    if (pMessage != nullptr && pMessage->msg != nullptr && aParserMessages.size() < 64) {
        std::string szText = pMessage->msg;
        while (!szText.empty() && (szText.back() == '\n' || szText.back() == ' ')) szText.pop_back();
        aParserMessages.push_back(szText);
    }
    return 0;
}

/* The parser's first message that names a line, else "". */
std::string szFirstParserError(void) {
    for (const std::string &szText : aParserMessages)
        if (szText.find(": At line ") != std::string::npos) return szText;
    return "";
}

/* Dotted texts in OID order: -1, 0, 1. */
int iCompareOidText(const char *szA, const char *szB) {
    while (*szA != '\0' && *szB != '\0') {
        char *szEndA = nullptr, *szEndB = nullptr;
        unsigned long ulA = strtoul(szA, &szEndA, 10), ulB = strtoul(szB, &szEndB, 10);
        if (ulA != ulB) return ulA < ulB ? -1 : 1;
        szA = *szEndA == '.' ? szEndA + 1 : szEndA;
        szB = *szEndB == '.' ? szEndB + 1 : szEndB;
    }
    return *szA == '\0' ? (*szB == '\0' ? 0 : -1) : 1;
}

}  // namespace

int iOidTextUnder(const char *szOid, const char *szPrefix) {
    size_t uiLength = strlen(szPrefix);
    if (uiLength == 0) return 1;
    return strncmp(szOid, szPrefix, uiLength) == 0 && (szOid[uiLength] == '\0' || szOid[uiLength] == '.');
}

int iLoadMibTraps(const char *const *ppFiles, int iCount, MibTrap **ppTraps) {
    *ppTraps = nullptr;
    szMibError[0] = '\0';
    // Only the files given and the base modules: never the system's MIB
    // folders or the modules the environment names.  Of two modules of one
    // name the parser takes the one of the folder it indexed last: the
    // operator's folders come after the shipped one, so that a complete module
    // of theirs wins over the reduced one shipped.
    std::string szDirs = szShippedMibDir();
    for (int i = 0; i < iCount; ++i) {
        std::string szFile = ppFiles[i];
        size_t uiSlash = szFile.rfind('/');
        std::string szDir = uiSlash == std::string::npos ? "." : szFile.substr(0, uiSlash);
        if (szDir.empty()) szDir = "/";
        if ((":" + szDirs + ":").find(":" + szDir + ":") == std::string::npos) szDirs += ":" + szDir;
    }
    if (!iParsed) {
        setenv("MIBS", "", 1);
        netsnmp_set_mib_directory(szDirs.c_str());
        snmp_set_save_descriptions(1);
        netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_ERRORS, 1);
        snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, iKeepParserMessage, nullptr);
        snmp_enable_calllog();
        netsnmp_init_mib();
        iParsed = 1;
    } else {
        netsnmp_set_mib_directory(szDirs.c_str());
    }
    for (int i = 0; i < iCount; ++i) {
        FILE *pProbe = fopen(ppFiles[i], "r");
        if (pProbe == nullptr) {
            snprintf(szMibError, sizeof szMibError, "%s: cannot be read", ppFiles[i]);
            return -1;
        }
        fclose(pProbe);
        int iBefore = get_mib_parse_error_count();
        aParserMessages.clear();
        if (read_mib(ppFiles[i]) == nullptr || get_mib_parse_error_count() > iBefore) {
            std::string szWhy = szFirstParserError();
            if (szWhy.empty())
                snprintf(szMibError, sizeof szMibError, "%s: not a MIB module the parser accepts", ppFiles[i]);
            else
                snprintf(szMibError, sizeof szMibError, "%s: %s", ppFiles[i], szWhy.c_str());
            return -1;
        }
    }
    std::vector<MibTrap *> aTraps;
    vCollect(get_tree_head(), aTraps);
    // By enterprise, then number; the parser's tree order is by sub-identifier.
    std::vector<MibTrap *> aSorted;
    for (MibTrap *pTrap : aTraps) {
        auto it = aSorted.begin();
        while (it != aSorted.end()) {
            int iOrder = iCompareOidText((*it)->szEnterprise, pTrap->szEnterprise);
            if (iOrder > 0 || (iOrder == 0 && (*it)->iNumber > pTrap->iNumber)) break;
            ++it;
        }
        aSorted.insert(it, pTrap);
    }
    for (size_t i = 0; i + 1 < aSorted.size(); ++i) aSorted[i]->pNext = aSorted[i + 1];
    *ppTraps = aSorted.empty() ? nullptr : aSorted[0];
    return 1;
}

void vFreeMibTraps(MibTrap *pTraps) {
    while (pTraps != nullptr) {
        MibTrap *pNext = pTraps->pNext;
        for (MibVar *pVar = pTraps->pVars; pVar != nullptr;) {
            MibVar *pNextVar = pVar->pNext;
            for (MibEnum *pEnum = pVar->pEnums; pEnum != nullptr;) {
                MibEnum *pNextEnum = pEnum->pNext;
                free(pEnum->szLabel);
                free(pEnum);
                pEnum = pNextEnum;
            }
            free(pVar->szName);
            free(pVar->szOid);
            free(pVar);
            pVar = pNextVar;
        }
        free(pTraps->szName);
        free(pTraps->szModule);
        free(pTraps->szEnterprise);
        free(pTraps->szDescription);
        free(pTraps);
        pTraps = pNext;
    }
}

void vUnloadMibs(void) {
    if (iParsed) shutdown_mib();
    iParsed = 0;
}
