// The map synchronisation: node symbol types from what trvdis learned of a node,
// the traps trvdis sends to trvmap, one component symbol per subsystem object
// coloured by its condition, and the cluster probe of enterprise servers.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "trvmap.h"

namespace {

const char kSrc[] = TRVMAP_SRC_UPDATE;

// Source lines the debug records of this module carry.
const int kLineUpdating = 150;
const int kLineNode = 202;
const int kLineSymbolType = 416;
const int kLineFirstSubsystem = 659;
const int kLineLastSubsystem = 663;
const int kLineSubsystem = 667;

// A node type longer than this module can build.
const int kMsgTypeTooLong = 7010;

const ZqOid aNodeChangedOid[] = {ZQ_ENT_SUBIDS, 1, 3, 3};
const ZqOid aStatusUpdatedOid[] = {ZQ_ENT_SUBIDS, 1, 3, 11};
// ENT.11.2.10.1.0: the condition record; byte 62 carries the cluster role.
const ZqOid aClusterOid[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};
constexpr size_t kClusterOidLength = sizeof aClusterOid / sizeof aClusterOid[0];
constexpr size_t kOidBuffer = 30;
constexpr size_t kRoleOffset = 61;

const char kClusterSuffix[] = "-Cluster";
const char kSubsystemRule[] =
    "-------------------------------------------------------------------";

// A text for a trace or a report: never null.
const char *szText(const char *sz) { return sz != nullptr ? sz : ""; }

// A text from the database, taken over and freed here; empty for null.
struct OwnedText {
    char *sz = nullptr;
    explicit OwnedText(char *s) : sz(s) {}
    ~OwnedText() { free(sz); }
    OwnedText(const OwnedText &) = delete;
    OwnedText &operator=(const OwnedText &) = delete;
};

bool bIs(const char *szA, const char *szB) { return szA != nullptr && strcmp(szA, szB) == 0; }

// The object id an INTEGER binding carries; the null id for anything else.
ZqwObjectId uiBindingId(const ZqVarBind *pVar) {
    if (pVar->type != ZQ_ASN_INTEGER || pVar->val.integer == nullptr) return ZQW_NULL_ID;
    int32_t iValue = *pVar->val.integer;
    return iValue > 0 ? static_cast<ZqwObjectId>(iValue) : ZQW_NULL_ID;
}

// A new id list of iCount entries (the array only when iCount > 0); null when
// memory is short (reported).
TrvObjIdList *pNewObjIdList(int iCount) {
    TrvObjIdList *pList = static_cast<TrvObjIdList *>(ZqsnmpMalloc(sizeof(TrvObjIdList)));
    if (pList == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "");
        return nullptr;
    }
    if (iCount > 0) {
        pList->pIds = static_cast<ZqwObjectId *>(ZqsnmpMalloc(static_cast<size_t>(iCount) * sizeof(ZqwObjectId)));
        if (pList->pIds == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "");
            ZqsnmpFree(pList);
            return nullptr;
        }
    }
    pList->iCount = iCount;
    return pList;
}

// The kind flag of a node: 1 TRUE, 0 FALSE or no value, -1 an error that ends
// the pass (reported).
int iReadKindFlag(ZqwObjectId uiNode, ZqwFieldId uiField) {
    int iValue = ZqwDbGetFieldBooleanValue(uiNode, uiField);
    if (iValue == 1) return 1;
    int iErr = ZqwError();
    if (iErr != ZQW_E_OK && iErr != ZQW_E_NOVALUE) {
        iPrintError(TRV_ERR_ZQW, "");
        return -1;
    }
    return 0;
}

// Appends to a bounded type text; false when it would not fit.
bool bAppend(std::string &szType, const char *szPart) {
    size_t uiLength = strlen(szPart);
    if (szType.size() + uiLength > TRVMAP_SYMTYPE_MAX) return false;
    szType += szPart;
    return true;
}

// Removes a subsystem object and its managed symbols on the map.
void vRemoveSubsystem(const ZqwMapInfo *pMap, ZqwObjectId uiSubsystem, const ZqwSymbolList *pSymbols) {
    for (unsigned int k = 0; pSymbols != nullptr && k < pSymbols->count; ++k) {
        ZqwSymbolId uiSymbol = pSymbols->entries[k].symbol;
        if (iIsSymbolManaged(uiSymbol) == 0) continue;
        ZqwClearSymbolApp(pMap, uiSymbol);
        ZqwDeleteSymbol(pMap, uiSymbol);
    }
    ZqwDbDeleteObject(uiSubsystem);
}

}  // namespace

void vFreeObjIdList(TrvObjIdList *pList) {
    if (pList == nullptr) return;
    ZqsnmpFree(pList->pIds);
    ZqsnmpFree(pList);
}

// ---------------------------------------------------------------------------
// Received traps and managed objects
// ---------------------------------------------------------------------------

void vTrapRecvCB(int iReason, ZqSession *pSession, ZqPdu *pPdu, void *pData) {
    if (iReason == ZQSNMP_REASON_LOST) {
        ZqsnmpFreePdu(pPdu);
        vTrapSessionLost(pSession);
        return;
    }
    if (iReason != ZQSNMP_REASON_TRAP) {
        // An unreadable record: nothing to act on.
        ZqsnmpFreePdu(pPdu);
        if (uiDebugLevel > 1) iPrintError(TRV_ERR_SYSTEM, "Unreadable record from trapd.");
        return;
    }
    if (pPdu == nullptr) return;

    if (pPdu->trap_id != nullptr && pPdu->trap_id_length >= TRV_EVENT_OID_LEN &&
        iOidCompare(pPdu->trap_id, aNodeChangedOid, TRV_EVENT_OID_LEN) == 1) {
        TrvObjIdList *pList = nullptr;
        if (pPdu->variables != nullptr) {
            int iCount = 0;
            for (const ZqVarBind *pVar = pPdu->variables; pVar != nullptr; pVar = pVar->next_variable) ++iCount;
            pList = pNewObjIdList(iCount);
            if (pList == nullptr) {
                ZqsnmpFreePdu(pPdu);
                return;
            }
            int i = 0;
            for (const ZqVarBind *pVar = pPdu->variables; pVar != nullptr; pVar = pVar->next_variable)
                pList->pIds[i++] = uiBindingId(pVar);
        } else {
            pList = pGetObjIdFromMap();
            if (pList == nullptr) {
                ZqsnmpFreePdu(pPdu);
                return;
            }
        }
        vUpdateMap(pList);
        vFreeObjIdList(pList);
        ZqsnmpFreePdu(pPdu);
        return;
    }
    if (pPdu->enterprise != nullptr && pPdu->enterprise_length == TRV_EVENT_OID_LEN &&
        iOidCompare(pPdu->enterprise, aStatusUpdatedOid, TRV_EVENT_OID_LEN) == 1) {
        vStatusUpdatedTrap(iReason, pSession, pPdu, pData);
        return;
    }
    ZqsnmpFreePdu(pPdu);
}

void vManageObjectsCB(void * /*pData*/, int /*iEvent*/, ZqwMapInfo * /*pMap*/, void *pEventData) {
    const ZqwObjectList *pObjects = static_cast<const ZqwObjectList *>(pEventData);
    int iCount = pObjects != nullptr ? static_cast<int>(pObjects->count) : 0;
    TrvObjIdList *pList = pNewObjIdList(iCount);
    if (pList == nullptr) return;
    for (int i = 0; i < iCount; ++i) pList->pIds[i] = pObjects->entries[i].object;
    vUpdateMap(pList);
    vFreeObjIdList(pList);
}

// ---------------------------------------------------------------------------
// Node symbols
// ---------------------------------------------------------------------------

TrvObjIdList *pGetObjIdFromMap(void) {
    vMapTrace("trvmap - entering pGetObjIdFromMap\n");
    vMapTrace("pGetObjIdFromMap - got objects from map, begin map sync\n");
    if (ZqwBeginMapSync(pCurrentMap) < 0) {
        iPrintError(TRV_ERR_ZQW, "");
        return nullptr;
    }
    ZqwMapInfo *pCopy = ZqwCopyMapInfo(pCurrentMap);
    ZqwFieldValue stTrue = stBoolValue(1);
    ZqwFieldBinding stBinding = {uiFieldIsTrvVantor, &stTrue};
    ZqwFieldBindList stFilter = {1, &stBinding};
    ZqwObjectList *pObjects = pCopy != nullptr ? ZqwListObjectsOnMap(pCopy, &stFilter) : nullptr;
    if (pObjects == nullptr) {
        iPrintError(TRV_ERR_ZQW, "");
        ZqwEndMapSync(pCurrentMap);
        ZqwFreeMapInfo(pCopy);
        return nullptr;
    }

    vMapTrace("pGetObjIdFromMap - pObjIdList memory allocation\n");
    TrvObjIdList *pResult = static_cast<TrvObjIdList *>(ZqsnmpMalloc(sizeof(TrvObjIdList)));
    if (pResult == nullptr) iPrintError(TRV_ERR_SYSTEM, "");
    vMapTrace("pGetObjIdFromMap - if pObjList.count\n");
    if (pResult != nullptr && pObjects->count == 0) {
        ZqsnmpFree(pResult);
        pResult = nullptr;
    } else if (pResult != nullptr) {
        vMapTrace("pGetObjIdFromMap - second memory allocation\n");
        pResult->pIds = static_cast<ZqwObjectId *>(ZqsnmpMalloc(pObjects->count * sizeof(ZqwObjectId)));
        if (pResult->pIds == nullptr) {
            iPrintError(TRV_ERR_SYSTEM, "");
            ZqsnmpFree(pResult);
            pResult = nullptr;
        } else {
            vMapTrace("pGetObjIdFromMap - entering for loop\n");
            pResult->iCount = static_cast<int>(pObjects->count);
            for (unsigned int i = 0; i < pObjects->count; ++i) pResult->pIds[i] = pObjects->entries[i].object;
        }
    }
    ZqwFreeObjectList(pObjects);
    ZqwEndMapSync(pCurrentMap);
    ZqwFreeMapInfo(pCopy);
    return pResult;
}

int iIsTrvSymType(const char *szType) {
    if (szType == nullptr) return 0;
    if (strncmp(szType, "Computer:Trv", 12) == 0) return 1;
    if (strncmp(szType, "Server:Trv", 10) == 0) return 1;
    if (strncmp(szType, "Client:Trv", 10) == 0) return 1;
    return 0;
}

int iSetSymListType(const ZqwMapInfo *pMap, const ZqwSymbolList *pSymbols, const char *szType, int iArg,
                    int iSource) {
    vMapTrace("iSetSymListType - entered the routine\n");
    if (pSymbols == nullptr || pSymbols->count == 0) return 1;
    for (unsigned int i = 0; i < pSymbols->count; ++i) {
        ZqwSymbolId uiSymbol = pSymbols->entries[i].symbol;
        vMapTrace("iSetSymListType - entered the for loop\n");
        if (iIsSymbolManaged(uiSymbol) == 0) continue;
        vMapTrace("iSetSymListType - checked iIsSymbolManaged\n");
        int iResult = ZqwSetSymbolType(pMap, uiSymbol, szType, iArg);
        vMapTrace("iSetSymListType - set the bitmap for the symbol\n");
        if (iResult == -1) {
            int iErr = ZqwError();
            if (iErr == ZQW_E_NOSYMBOLTYPE) {
                iPrintError(TRV_ERR_ZQW, "%s:", szText(szType));
                iPrintError(TRV_ERR_ZQW, "%s:", szText(pMap != nullptr ? pMap->name : nullptr));
                return iErr;
            }
            if (iErr == ZQW_E_NOSYMBOL) return iErr;
            if (iErr != ZQW_E_NOCHANGE) {
                iPrintError(TRV_ERR_ZQW, "%s:", szText(pMap != nullptr ? pMap->name : nullptr));
                return iErr;
            }
        }
        vMapTrace("iSetSymListType - checked iError for failure\n");
        if (ZqwSetSymbolStatusSource(pMap, uiSymbol, iSource) == -1) {
            int iErr = ZqwError();
            if (iErr != ZQW_E_NOCHANGE && iErr != ZQW_E_NOSYMBOL) iPrintError(TRV_ERR_ZQW, "");
            return iErr;
        }
        vMapTrace("iSetSymListType - set the status source of the symbol\n");
    }
    return 1;
}

void vSetGenericSymType(const ZqwMapInfo *pMap, const ZqwSymbolList *pSymbols, const char *szType) {
    for (unsigned int i = 0; pSymbols != nullptr && i < pSymbols->count; ++i) {
        const ZqwSymbolInfo &stSymbol = pSymbols->entries[i];
        if (iIsSymbolManaged(stSymbol.symbol) == 0 || iIsTrvSymType(stSymbol.type) != 1) continue;
        if (ZqwSetSymbolType(pMap, stSymbol.symbol, szType, 0) != -1) continue;
        int iErr = ZqwError();
        if (iErr == ZQW_E_NOCHANGE || iErr == ZQW_E_NOSYMBOL) continue;
        if (iErr == ZQW_E_NOSYMBOLTYPE)
            iPrintError(TRV_ERR_ZQW, "%s:", szText(szType));
        else
            iPrintError(TRV_ERR_ZQW, "");
    }
}

void vUpdateMap(const TrvObjIdList *pList) {
    if (iUpdateEnabled == 0) return;
    iPrintDebug(kLineUpdating, kSrc, 1, "Updating %d objects", pList != nullptr ? pList->iCount : 0);
    if (pList == nullptr) return;
    ZqwMapInfo *pMap = ZqwGetMapInfo();
    if (pMap == nullptr) {
        iPrintError(TRV_ERR_ZQW, "");
        return;
    }
    if (pMap->read_only == 1) {
        ZqwFreeMapInfo(pMap);
        return;
    }
    vMapTrace("vUpdateMap - entered the routine\n");
    ZqwBeginMapSync(pMap);

    for (int i = 0; i < pList->iCount && pList->pIds != nullptr; ++i) {
        ZqwObjectId uiNode = pList->pIds[i];
        if (iIsNodeManaged(uiNode) == 0) continue;
        {
            OwnedText host(ZqwDbObjectIdToHostname(uiNode));
            if (host.sz != nullptr) iPrintDebug(kLineNode, kSrc, 1, "Updating the node: %s", host.sz);
            vMapTrace("vUpdateMap - entered the for loop\n");
            vMapTrace("vUpdateMap - host *****:%s:*****\n", szText(host.sz));
            vMapTrace("vUpdateMap - get the symbols with Object on current map\n");
        }
        ZqwSymbolList *pSymbols = ZqwGetSymbolsByObject(pMap, uiNode);
        if (pSymbols == nullptr) {
            if (ZqwError() == ZQW_E_NOSYMBOLONMAP) continue;
            iPrintError(TRV_ERR_ZQW, "%s:", szText(pMap->name));
            break;
        }

        OwnedText sysClass(ZqwDbGetFieldEnumByName(uiNode, uiFieldTrvSysType));
        OwnedText os(ZqwDbGetFieldStringValue(uiNode, uiFieldTrvOsType));
        // trvdis takes the OS tag away from a node it no longer counts as the
        // vendor's, so only the vendor classes need one.
        bool bVendor = bIs(sysClass.sz, "TrvServer") || bIs(sysClass.sz, "TrvDesktop");
        if (sysClass.sz == nullptr || (bVendor && os.sz == nullptr)) {
            ZqwFreeSymbolList(pSymbols);
            continue;
        }

        vMapTrace("vUpdateMap - formulate the symbol type for the Velm node\n");
        int iServer = iReadKindFlag(uiNode, uiFieldIsServer);
        vMapTrace("vUpdateMap - checked isServer\n");
        int iClient = iServer < 0 ? -1 : iReadKindFlag(uiNode, uiFieldIsClient);
        if (iServer >= 0) vMapTrace("vUpdateMap - checked isClient\n");
        int iComputer = iClient < 0 ? -1 : iReadKindFlag(uiNode, uiFieldIsComputer);
        if (iClient >= 0) vMapTrace("vUpdateMap - checked isComputer\n");
        if (iServer < 0 || iClient < 0 || iComputer < 0) {
            ZqwFreeSymbolList(pSymbols);
            break;
        }
        const char *szKind = iServer == 1 ? "Server" : iClient == 1 ? "Client" : iComputer == 1 ? "Computer" : nullptr;
        if (szKind == nullptr) {
            ZqwFreeSymbolList(pSymbols);
            continue;
        }
        vMapTrace("vUpdateMap - set the szSymType and freed the symbol list\n");
        std::string szSymType = szKind;
        szSymType += ":";

        if (!bVendor) {
            szSymType += "Generic";
            vSetGenericSymType(pMap, pSymbols, szSymType.c_str());
            iSetSubsystemSymbols(pMap, szSymType.c_str(), uiNode);
            ZqwFreeSymbolList(pSymbols);
            continue;
        }

        bool bFits = bAppend(szSymType, sysClass.sz);
        vMapTrace("vUpdateMap - end of setting Generic symbol\n");
        bFits = bFits && bAppend(szSymType, "-") && bAppend(szSymType, os.sz);
        if (!bFits) {
            OwnedText host(ZqwDbObjectIdToHostname(uiNode));
            iPrintError(kMsgTypeTooLong, "The symbol type of the node %s (object %u) would exceed %d characters.\n",
                        host.sz != nullptr ? host.sz : "", static_cast<unsigned int>(uiNode), TRVMAP_SYMTYPE_MAX);
            ZqwFreeSymbolList(pSymbols);
            continue;
        }
        vMapTrace("vUpdateMap - set symbol with status source as compound\n");
        iPrintDebug(kLineSymbolType, kSrc, 2, "Symbol Type is :%s", szSymType.c_str());
        int iResult = iSetSymListType(pMap, pSymbols, szSymType.c_str(), 0, ZQW_SOURCE_COMPOUND);
        vMapTrace("vUpdateMap - call to setsymlisttype\n");
        ZqwFreeSymbolList(pSymbols);
        if (iResult != -1) {
            vMapTrace("vUpdateMap - szSymType:%s:\n", szSymType.c_str());
            iSetSubsystemSymbols(pMap, szSymType.c_str(), uiNode);
        }
        vMapTrace("vUpdateMap - end of the routine\n");
    }

    ZqwEndMapSync(pMap);
    ZqwFreeMapInfo(pMap);
}

// ---------------------------------------------------------------------------
// Subsystem symbols
// ---------------------------------------------------------------------------

void vIdentifyLabel(const char *szTypeText, char *szLabel) {
    if (szLabel == nullptr) return;
    if (bIs(szTypeText, "WEB_ENABLED"))
        strcpy(szLabel, "Vantor Agents");
    else if (bIs(szTypeText, "WEB_DISABLED"))
        strcpy(szLabel, "WEB_DISABLED");
}

int iClusterType(const char *szType, char *szOut, size_t uiSize) {
    if (szType == nullptr || szOut == nullptr || uiSize == 0) return 0;
    size_t uiLength = strlen(szType), uiSuffix = sizeof kClusterSuffix - 1;
    bool bMarked = uiLength >= uiSuffix && strcmp(szType + uiLength - uiSuffix, kClusterSuffix) == 0;
    size_t uiNeeded = uiLength + (bMarked ? 0 : uiSuffix);
    if (uiNeeded > TRVMAP_SYMTYPE_MAX || uiNeeded + 1 > uiSize) {
        szOut[0] = '\0';
        return 0;
    }
    memcpy(szOut, szType, uiLength);
    if (!bMarked) memcpy(szOut + uiLength, kClusterSuffix, uiSuffix);
    szOut[uiNeeded] = '\0';
    return 1;
}

int iSetSubsystemSymbols(const ZqwMapInfo *pMap, const char *szNodeType, ZqwObjectId uiNode) {
    int iStatus = ZQW_STATUS_UNKNOWN;
    int iResult = -1;

    ZqwObjectIdList *pSubsystems = nullptr;
    {
        OwnedText host(ZqwDbObjectIdToHostname(uiNode));
        if (host.sz == nullptr) {
            int iErr = ZqwError();
            if (iErr != ZQW_E_NOOBJECT && iErr != ZQW_E_NOVALUE)
                iPrintError(TRV_ERR_ZQW, "%lu:", static_cast<unsigned long>(uiNode));
            return -1;
        }
        pSubsystems = pGetSubSysObjIds(host.sz);
    }
    if (pSubsystems == nullptr) return 1;
    if (pSubsystems->count == 0) {
        ZqwDbFreeObjectIdList(pSubsystems);
        return 1;
    }
    vMapTrace("iSetSubsystemSymbols - entering for loop: count %d\n", static_cast<int>(pSubsystems->count));

    for (unsigned int i = 0; i < pSubsystems->count; ++i) {
        ZqwObjectId uiSubsystem = pSubsystems->object_ids[i];
        ZqwSymbolList *pSymbols = ZqwGetSymbolsByObject(pMap, uiSubsystem);
        if (pSymbols == nullptr && ZqwError() != ZQW_E_NOSYMBOLONMAP) {
            iPrintError(TRV_ERR_ZQW, "%s:", szText(pMap != nullptr ? pMap->name : nullptr));
            ZqwDbFreeObjectIdList(pSubsystems);
            return -1;
        }
        vMapTrace("iSetSubsystemSymbols - get the symbols associated with the subsystem object\n");
        OwnedText type(ZqwDbGetFieldEnumByName(uiSubsystem, uiFieldTrvSubSysType));
        int iErr = ZqwError();

        if (type.sz == nullptr || bIs(type.sz, "Unset")) {
            if (iErr == ZQW_E_NOFIELD || iErr == ZQW_E_BADTYPE || iErr == ZQW_E_NOENUM) {
                iPrintError(TRV_ERR_ZQW, "%s:", "trvSubSysType");
                ZqwFreeSymbolList(pSymbols);
                ZqwDbFreeObjectIdList(pSubsystems);
                return -1;
            }
            // An unset value or the kind "Unset": the subsystem goes.  A missing
            // kind for any other reason leaves it for the next pass.
            if (iErr == ZQW_E_NOVALUE || (type.sz != nullptr && iErr != ZQW_E_NOOBJECT))
                vRemoveSubsystem(pMap, uiSubsystem, pSymbols);
            ZqwFreeSymbolList(pSymbols);
            continue;
        }

        vMapTrace("iSetSubsystemSymbols - check the subsystem type\n");
        size_t uiTypeLength = strlen(type.sz);
        if (uiTypeLength + 7 > TRVMAP_ACTION_MAX || uiTypeLength + 10 > TRVMAP_SYMTYPE_MAX) {
            iPrintError(kMsgTypeTooLong, "The sub-system type %s of object %u is too long.\n", type.sz,
                        static_cast<unsigned int>(uiSubsystem));
            ZqwFreeSymbolList(pSymbols);
            continue;
        }
        std::string szAction = std::string("Action_") + type.sz;
        if (ZqwIsIdNull(uiSubsystem)) {
            ZqwFreeSymbolList(pSymbols);
            if (ZqwError() == ZQW_E_NOOBJECT) continue;
            ZqwDbFreeObjectIdList(pSubsystems);
            return -1;
        }
        std::string szSymbolType = std::string("TrvDevice:") + type.sz;
        vMapTrace("iSetSubsystemSymbols - set the symbol type\n");

        if (i == 0)
            iPrintDebug(kLineFirstSubsystem, kSrc, 2, "\n%s\nUpdating the sub-system: %s", kSubsystemRule, type.sz);
        else if (i + 1 == pSubsystems->count)
            iPrintDebug(kLineLastSubsystem, kSrc, 2, "Updating the sub-system: %s\n%s", type.sz, kSubsystemRule);
        else
            iPrintDebug(kLineSubsystem, kSrc, 2, "Updating the sub-system: %s", type.sz);

        // A kind without a label of its own is labelled with its name.
        char szLabel[TRVMAP_LABEL_MAX + 1];
        snprintf(szLabel, sizeof szLabel, "%s", type.sz);
        vIdentifyLabel(type.sz, szLabel);
        vMapTrace("iSetSubsystemSymbols - call to szDevStatus\n");

        OwnedText status(ZqwDbGetFieldEnumByName(uiSubsystem, uiFieldTrvDeviceStatus));
        if (status.sz != nullptr) {
            if (bIs(status.sz, "Normal"))
                iStatus = ZQW_STATUS_NORMAL;
            else if (bIs(status.sz, "Marginal"))
                iStatus = ZQW_STATUS_MARGINAL;
            else if (bIs(status.sz, "Major"))
                iStatus = ZQW_STATUS_MAJOR;
            else if (bIs(status.sz, "Unknown"))
                iStatus = ZQW_STATUS_UNKNOWN;
        } else {
            iErr = ZqwError();
            if (iErr == ZQW_E_BADARG || iErr == ZQW_E_CONNLOST || iErr == ZQW_E_NOFIELD) {
                iPrintError(TRV_ERR_ZQW, ":%s", "trvDeviceStatus");
                ZqwFreeSymbolList(pSymbols);
                continue;
            }
            iStatus = ZQW_STATUS_UNKNOWN;
        }
        vMapTrace("iSetSubsystemSymbols - finished status section\n");

        iResult = iCreateSymbols(pMap, szNodeType, uiNode, uiSubsystem, &pSymbols, szSymbolType.c_str(), szLabel,
                                 iStatus, ZQW_SOURCE_OBJECT, 0, szAction.c_str(), type.sz);
        vMapTrace("iSetSubsystemSymbols - returned from iCreateSymbols: loop %d\n", static_cast<int>(i));
        ZqwFreeSymbolList(pSymbols);
    }

    ZqwDbFreeObjectIdList(pSubsystems);
    vMapTrace("iSetSubsystemSymbols - end of routine, iError = %d\n", iResult);
    return iResult;
}

int iCreateSymbols(const ZqwMapInfo *pMap, const char * /*szNodeType*/, ZqwObjectId uiNode, ZqwObjectId uiSubsystem,
                   ZqwSymbolList **ppSymbols, const char *szSymbolType, const char *szLabel, int iStatus,
                   int iSource, int iFlags, const char *szActionName, const char *szTypeText) {
    int iResult = -1;
    vMapTrace("iCreateSymbols - entered the routine\n");
    ZqwSymbolList *pNodeSymList = ZqwGetSymbolsByObject(pMap, uiNode);
    vMapTrace("iCreateSymbols - got symbols associated with parent object\n");
    if (pNodeSymList == nullptr || pNodeSymList->count == 0) {
        ZqwFreeSymbolList(pNodeSymList);
        return 1;
    }
    vMapTrace("iCreateSymbols - checked if pNodeSymList is null\n");
    ZqwSymbolId uiNodeSymbol = pNodeSymList->entries[0].symbol;
    if (iIsSymbolManaged(uiNodeSymbol) == 0) {
        ZqwFreeSymbolList(pNodeSymList);
        return 1;
    }
    vMapTrace("iCreateSymbols - create subsystem symbols\n");

    if (*ppSymbols != nullptr && (*ppSymbols)->count > 0) {
        if (iIsSymbolManaged((*ppSymbols)->entries[0].symbol) == 0) {
            ZqwFreeSymbolList(pNodeSymList);
            return 1;
        }
        vMapTrace("iCreateSymbols - set status on object\n");
        ZqwSetStatusOnObject(pMap, uiSubsystem, iStatus);
        iSetSymListType(pMap, *ppSymbols, szSymbolType, 0, iSource);
    } else {
        ZqwSymbolId uiId = ZqwCreateComponentSymbol(pMap, uiNode, uiSubsystem, szSymbolType, szLabel, iStatus, iSource,
                                                    0, static_cast<unsigned int>(iFlags));
        vMapTrace("iCreateSymbols - symid = zqcreatecomponentsymbol\n");
        if (uiId == 0) iPrintError(TRV_ERR_ZQW, "%s", szText(szSymbolType));
        ZqwFreeSymbolList(*ppSymbols);
        *ppSymbols = ZqwGetSymbolsByObject(pMap, uiSubsystem);
        vMapTrace("iCreateSymbols - free symbol list\n");
        if (*ppSymbols == nullptr) {
            iResult = ZqwError();
            if (iResult != ZQW_E_NOSYMBOLONMAP) iPrintError(TRV_ERR_ZQW, "");
        }
    }
    vMapTrace("iCreateSymbols - if unmanged then do not proceed\n");

    // Cluster members of enterprise servers show it on their node symbols.
    ZqwSymbolInfo *pInfo = ZqwGetSymbolInfo(pMap, uiNodeSymbol);
    if (pInfo == nullptr) {
        ZqwFreeSymbolList(pNodeSymList);
        return iResult;
    }
    char szClusterType[TRVMAP_SYMTYPE_MAX + 1];
    int iClusterFits = iClusterType(pInfo->type, szClusterType, sizeof szClusterType);
    char *szOSFieldVal = ZqwDbGetFieldStringValue(uiNode, uiFieldTrvOsType);
    vMapTrace("iCreateSymbols - get type and os: szOSFieldVal:%s:\n", szText(szOSFieldVal));
    if (szOSFieldVal == nullptr) {
        vMapTrace("iCreateSymbols - szOSFieldVal is NULL\n");
        ZqwFreeSymbolList(pNodeSymList);
        ZqwFreeSymbolInfo(pInfo);
        return 1;
    }
    if (strcmp(szOSFieldVal, "ntentsrvr") == 0 && iIsCluster(uiNode) == 1 && iClusterFits == 1)
        iSetSymListType(pMap, pNodeSymList, szClusterType, 0, ZQW_SOURCE_COMPOUND);
    free(szOSFieldVal);
    ZqwFreeSymbolList(pNodeSymList);
    ZqwFreeSymbolInfo(pInfo);

    // The action of the subsystem's symbols: its summary, on the node and the
    // subsystem.
    ZqwObjectId aObjects[2] = {uiNode, uiSubsystem};
    ZqwObjectIdList stObjects = {2, aObjects};
    vMapTrace("iCreateSymbols - set behaviour as executable\n");
    for (unsigned int iCount = 0; *ppSymbols != nullptr && iCount < (*ppSymbols)->count; ++iCount) {
        ZqwSymbolId uiSymbol = (*ppSymbols)->entries[iCount].symbol;
        vMapTrace("iCreateSymbols - entered for: iCount(%d), symbolid(%d)\n", static_cast<int>(iCount),
                  static_cast<int>(uiSymbol));
        if (iIsSymbolManaged(uiSymbol) == 0) continue;
        vMapTrace("iCreateSymbols - vIdentifyLabel called with:%s:\n", szText(szTypeText));
        char szNewLabel[TRVMAP_LABEL_MAX + 1];
        snprintf(szNewLabel, sizeof szNewLabel, "%s", szText(szLabel));
        vIdentifyLabel(szTypeText, szNewLabel);
        int iBehavior = 0;
        if (bIs(szTypeText, "WEB_ENABLED")) {
            vMapTrace("iCreateSymbols - WEB ENABLED\n");
            iBehavior = ZQW_BEHAVIOR_EXECUTABLE;
        } else if (bIs(szTypeText, "WEB_DISABLED")) {
            vMapTrace("iCreateSymbols - WEB DISABLED\n");
            iBehavior = ZQW_BEHAVIOR_EXPLODABLE;
        } else {
            continue;
        }
        ZqwSetSymbolBehavior(pMap, uiSymbol, iBehavior, TRVMAP_SUMMARY_APP, szActionName, &stObjects);
        iResult = ZqwSetSymbolLabel(pMap, uiSymbol, szNewLabel);
        vMapTrace("iCreateSymbols - check iError\n");
        if (iResult == -1) {
            iResult = ZqwError();
            if (iResult == ZQW_E_NOAPP || iResult == ZQW_E_NOACTION)
                iPrintError(TRV_ERR_ZQW, "%s:", szText(szActionName));
            else if (iResult != ZQW_E_NOSYMBOLONMAP && iResult != ZQW_E_NOCHANGE && iResult != ZQW_E_NOSYMBOL)
                iPrintError(TRV_ERR_ZQW, "%s:", szText(pMap != nullptr ? pMap->name : nullptr));
        }
        vMapTrace("iCreateSymbols - end for iCount\n");
    }
    vMapTrace("iCreateSymbols - exiting the routine\n");
    return iResult;
}

int iIsCluster(ZqwObjectId uiNode) {
    vMapTrace("iIsCluster - entered the routine\n");
    char *szHost = ZqwDbObjectIdToHostname(uiNode);
    if (szHost == nullptr) {
        if (ZqwError() != ZQW_E_NOVALUE) iPrintError(TRV_ERR_ZQW, "");
        return 0;
    }
    // Without a session (unknown host, no socket) there is nobody to ask.
    ZqSession *pSession = ZqsnmpOpen(nullptr, szHost, -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    free(szHost);
    if (pSession == nullptr) return 0;

    vMapTrace("iIsCluster - entering the for loop\n");
    ZqOid aOid[kOidBuffer] = {};
    memcpy(aOid, aClusterOid, sizeof aClusterOid);
    ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    if (pRequest == nullptr || ZqsnmpAddNullVarBind(pRequest, aOid, kClusterOidLength) == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "");
        ZqsnmpFreePdu(pRequest);
        ZqsnmpClose(pSession);
        return 0;
    }
    ZqPdu *pResponse = ZqsnmpBlockingSend(pSession, pRequest);
    if (pResponse == nullptr) {
        vMapTrace("iIsCluster - pResponse is NULL\n");
        // The library took the request when nothing answered; otherwise it is ours.
        if (ZqsnmpErrno != ZQSNMP_E_TIMEOUT) ZqsnmpFreePdu(pRequest);
        ZqsnmpClose(pSession);
        return 0;
    }
    // A response means the library consumed the request.
    ZqsnmpClose(pSession);
    if (pResponse->errstat != ZQ_ERR_NOERROR) {
        ZqsnmpFreePdu(pResponse);
        return 0;
    }
    vMapTrace("iIsCluster - exited the for loop\n");
    // The role byte exists only in a record long enough to hold it.
    int iTmp = 0;
    const ZqVarBind *pFirst = pResponse->variables;
    if (pFirst != nullptr && (pFirst->type == ZQ_ASN_OCTET_STR || pFirst->type == ZQ_ASN_OPAQUE) &&
        pFirst->val.string != nullptr && pFirst->val_len > kRoleOffset)
        iTmp = pFirst->val.string[kRoleOffset];
    vMapTrace("iIsCluster - iTmp will be assigned :%d:\n", iTmp);
    vMapTrace("iIsCluster - if pResponse is not NULL\n");
    ZqsnmpFreePdu(pResponse);
    vMapTrace("iIsCluster - check the iTmp variable\n");
    if (iTmp >= 1 && iTmp <= 4) {
        vMapTrace("iIsCluster - return true\n");
        return 1;
    }
    vMapTrace("iIsCluster - return false\n");
    return 0;
}
