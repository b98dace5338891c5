// The field registry and the object helpers that read the topology database.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trvlib.h"

ZqwFieldId uiFieldTrvSysType = ZQW_NULL_ID;
ZqwFieldId uiFieldTrvSubSysType = ZQW_NULL_ID;
ZqwFieldId uiFieldTrvOsType = ZQW_NULL_ID;
ZqwFieldId uiFieldTrvDeviceStatus = ZQW_NULL_ID;
ZqwFieldId uiFieldTrvNodeObjId = ZQW_NULL_ID;
ZqwFieldId uiFieldIsTrvVantor = ZQW_NULL_ID;
ZqwFieldId uiFieldIsTrvRIXEN = ZQW_NULL_ID;
ZqwFieldId uiFieldTrvRIXENip = ZQW_NULL_ID;
ZqwFieldId uiFieldIsVelmswp = ZQW_NULL_ID;
ZqwFieldId uiFieldIsComputer = ZQW_NULL_ID;
ZqwFieldId uiFieldIsServer = ZQW_NULL_ID;
ZqwFieldId uiFieldIsClient = ZQW_NULL_ID;
ZqwFieldId uiFieldIsDevice = ZQW_NULL_ID;
ZqwFieldId uiFieldIsNode = ZQW_NULL_ID;
ZqwFieldId uiFieldZqwMapsExists = ZQW_NULL_ID;
ZqwFieldId uiFieldIpAddress = ZQW_NULL_ID;
ZqwFieldId uiFieldTopMNodeId = ZQW_NULL_ID;
ZqwFieldId uiFieldIsSNMPSupported = ZQW_NULL_ID;
ZqwFieldId uiFieldIsIP = ZQW_NULL_ID;

const TrvFieldDef aTrvFields[TRV_FIELD_COUNT] = {
    {"trvSysType", &uiFieldTrvSysType, 0},
    {"trvSubSysType", &uiFieldTrvSubSysType, 0},
    {"trvOsType", &uiFieldTrvOsType, 0},
    {"trvDeviceStatus", &uiFieldTrvDeviceStatus, 0},
    {"trvNodeObjId", &uiFieldTrvNodeObjId, 0},
    {"isTrvVantor", &uiFieldIsTrvVantor, 0},
    {"isTrvRIXEN", &uiFieldIsTrvRIXEN, 0},
    {"trvRIXENip", &uiFieldTrvRIXENip, 0},
    {"isVelmswp", &uiFieldIsVelmswp, 1},
    {"isComputer", &uiFieldIsComputer, 0},
    {"isServer", &uiFieldIsServer, 0},
    {"isClient", &uiFieldIsClient, 0},
    {"isDevice", &uiFieldIsDevice, 0},
    {"isNode", &uiFieldIsNode, 0},
    {"ZQW Maps Exists", &uiFieldZqwMapsExists, 0},
    {"IP Address", &uiFieldIpAddress, 0},
    {"TopM Node ID", &uiFieldTopMNodeId, 0},
    {"isSNMPSupported", &uiFieldIsSNMPSupported, 0},
    {"isIP", &uiFieldIsIP, 0},
};

int iGetFieldIds(void) {
    bool bTrvdis = szProgramName != nullptr && std::strcmp(szProgramName, "trvdis") == 0;
    for (const TrvFieldDef &def : aTrvFields) *def.pId = ZQW_NULL_ID;
    for (const TrvFieldDef &def : aTrvFields) {
        if (def.iTrvdisOnly && !bTrvdis) continue;
        ZqwFieldId uiId = ZqwDbFieldNameToFieldId(def.szName);
        if (ZqwIsIdNull(uiId)) return -1;
        *def.pId = uiId;
    }
    return 1;
}

int iIsTrvdisRunning(void) {
    return ZqwIsIdNull(ZqwDbSelectionNameToObjectId(TRV_RUNNING_MARKER)) ? 0 : 1;
}

int iIsNodeManaged(ZqwObjectId uiNode) {
    if (ZqwIsIdNull(uiNode)) return 0;
    ZqwFieldId uiStatus = ZqwDbFieldNameToFieldId("IP Status");
    if (ZqwIsIdNull(uiStatus)) {
        int iErr = ZqwError();
        if (uiDebugLevel >= 2 && iErr != ZQW_E_OK) iPrintError(TRV_ERR_ZQW, "IP Status");
        return iErr == ZQW_E_CONNLOST ? -1 : 0;
    }
    char *szValue = ZqwDbGetFieldEnumByName(uiNode, uiStatus);
    if (szValue == nullptr) return 0;
    int iManaged = std::strcmp(szValue, "Unmanaged") == 0 ? 0 : 1;
    free(szValue);
    return iManaged;
}

int iIsSymbolManaged(ZqwSymbolId uiSymbol) {
    ZqwMapInfo *pMap = ZqwGetMapInfo();
    if (pMap == nullptr) {
        iPrintError(TRV_ERR_ZQW, nullptr);
        return -1;
    }
    ZqwSymbolInfo *pInfo = ZqwGetSymbolInfo(pMap, uiSymbol);
    if (pInfo == nullptr) {
        if (ZqwError() != ZQW_E_NOSYMBOL) iPrintError(TRV_ERR_ZQW, nullptr);
        ZqwFreeMapInfo(pMap);
        return -1;
    }
    int iStatus = pInfo->status;
    ZqwFreeSymbolInfo(pInfo);
    ZqwFreeMapInfo(pMap);
    return iStatus == 5 ? 0 : 1;
}

int (*pfnWebAgentProbe)(const char *szAddress) = iProbeWebAgent;

int iIsWebEnabled(ZqwObjectId uiNode) {
    ZqwFieldValue node{};
    node.is_list = 0;
    node.field_type = ZQW_INT_FIELD;
    node.un.int_val = static_cast<int32_t>(uiNode);
    ZqwFieldValue isIp{};
    isIp.is_list = 0;
    isIp.field_type = ZQW_BOOL_FIELD;
    isIp.un.bool_val = 1;
    ZqwFieldBinding aConditions[2] = {{uiFieldTopMNodeId, &node}, {uiFieldIsIP, &isIp}};
    ZqwFieldBindList conditions{2, aConditions};

    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValues(&conditions);
    if (pList == nullptr) {
        iPrintError(TRV_ERR_ZQW, "%s", "");
        return 0;
    }
    if (pList->count == 0) {
        iPrintDebug(__LINE__, TRV_LIB_SOURCE, 2, "No NIC objects associated with this node");
        ZqwDbFreeObjectIdList(pList);
        return 0;
    }
    for (unsigned int i = 0; i < pList->count; ++i) {
        char *szAddress = ZqwDbGetFieldStringValue(pList->object_ids[i], uiFieldIpAddress);
        if (szAddress == nullptr) continue;
        int iAnswer = pfnWebAgentProbe(szAddress);
        free(szAddress);
        if (iAnswer == 1) {
            iPrintDebug(__LINE__, TRV_LIB_SOURCE, 2, "iIsWebEnabled: Returning TRUE\n");
            ZqwDbFreeObjectIdList(pList);
            return 1;
        }
        iPrintDebug(__LINE__, TRV_LIB_SOURCE, 2, "iIsWebDisabled: Returning TRUE\n");
    }
    ZqwDbFreeObjectIdList(pList);
    return 0;
}

int iGetNodeKind(ZqwObjectId uiObject) {
    if (ZqwDbGetFieldBooleanValue(uiObject, uiFieldIsNode) == 1 && ZqwError() == ZQW_E_OK) return 1;
    if (ZqwDbGetFieldBooleanValue(uiObject, uiFieldIsDevice) == 1) return 2;
    return -1;
}

int iGetNodeObjId(ZqwObjectId uiObject) {
    ZqwFieldValue *pValue = ZqwDbGetFieldValue(uiObject, uiFieldTrvNodeObjId);
    if (pValue == nullptr) return 0;
    int iId = pValue->field_type == ZQW_INT_FIELD ? pValue->un.int_val : 0;
    ZqwDbFreeFieldValue(pValue);
    return iId;
}

int iFieldText(ZqwObjectId uiObject, ZqwFieldId uiField, const char *szNone, char *szBuf, size_t uiSize) {
    int iResult = 0;
    const char *szText = nullptr;
    char szNumber[16];
    char *szName = nullptr;
    ZqwFieldValue *pValue = nullptr;
    if (!ZqwIsIdNull(uiObject) && !ZqwIsIdNull(uiField)) pValue = ZqwDbGetFieldValue(uiObject, uiField);
    if (pValue != nullptr) {
        iResult = 1;
        switch (pValue->field_type) {
        case ZQW_BOOL_FIELD:
            szText = pValue->un.bool_val ? "TRUE" : "FALSE";
            break;
        case ZQW_INT_FIELD:
            std::snprintf(szNumber, sizeof szNumber, "%d", static_cast<int>(pValue->un.int_val));
            szText = szNumber;
            break;
        case ZQW_STRING_FIELD:
            szText = pValue->un.string_val != nullptr ? pValue->un.string_val : "";
            break;
        case ZQW_ENUM_FIELD:
            szName = ZqwDbGetFieldEnumByName(uiObject, uiField);
            szText = szName;
            if (szName == nullptr) iResult = 2;
            break;
        default:
            szText = "";
            break;
        }
    }
    if (szText == nullptr) szText = szNone != nullptr ? szNone : "";
    if (szBuf != nullptr && uiSize > 0) std::snprintf(szBuf, uiSize, "%s", szText);
    std::free(szName);
    ZqwDbFreeFieldValue(pValue);
    return iResult;
}

ZqwObjectIdList *pListSubSysObjIds(ZqwObjectId uiNode) {
    ZqwFieldValue stNode = stIntValue(static_cast<int32_t>(uiNode));
    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValue(uiFieldTrvNodeObjId, &stNode);
    if (pList == nullptr) iPrintError(TRV_ERR_ZQW, "%s :", "trvNodeObjId");
    return pList;  // no subsystem objects: an empty list
}

ZqwObjectIdList *pGetSubSysObjIds(const char *szHost) {
    ZqwObjectId uiNode = ZqwDbHostnameToObjectId(szHost);
    if (ZqwIsIdNull(uiNode)) {
        if (ZqwError() != ZQW_E_NOOBJECT) iPrintError(TRV_ERR_ZQW, "%s :", szHost);
        return nullptr;
    }
    return pListSubSysObjIds(uiNode);
}

ZqwObjectId uiResolveName(const char *szName, int *piDbLost) {
    ZqwObjectId uiId = ZqwDbSelectionNameToObjectId(szName);
    if (!ZqwIsIdNull(uiId)) return uiId;
    if (piDbLost != nullptr && ZqwError() == ZQW_E_CONNLOST) *piDbLost = 1;
    uiId = ZqwDbHostnameToObjectId(szName);
    if (!ZqwIsIdNull(uiId)) return uiId;
    if (piDbLost != nullptr && ZqwError() == ZQW_E_CONNLOST) *piDbLost = 1;
    size_t uiLength = strlen(szName);
    if (uiLength == 0 || uiLength > 10 || strspn(szName, "0123456789") != uiLength) return 0;
    unsigned long ulId = strtoul(szName, nullptr, 10);
    if (ulId == 0 || ulId > 0xFFFFFFFFul) return 0;
    /* An id names an object only when the object has a host name. */
    char *szHost = ZqwDbObjectIdToHostname(static_cast<ZqwObjectId>(ulId));
    if (szHost == nullptr) return 0;
    free(szHost);
    return static_cast<ZqwObjectId>(ulId);
}

ZqwObjectId uiNodeOfAddress(const char *szAddress) {
    // Also before iGetFieldIds: the platform's two fields by name.
    ZqwFieldId uiAddressField = !ZqwIsIdNull(uiFieldIpAddress) ? uiFieldIpAddress : ZqwDbFieldNameToFieldId("IP Address");
    ZqwFieldId uiNodeField = !ZqwIsIdNull(uiFieldTopMNodeId) ? uiFieldTopMNodeId : ZqwDbFieldNameToFieldId("TopM Node ID");
    if (ZqwIsIdNull(uiAddressField) || ZqwIsIdNull(uiNodeField)) return ZQW_NULL_ID;
    ZqwFieldValue stAddress{};
    stAddress.field_type = ZQW_STRING_FIELD;
    stAddress.un.string_val = const_cast<char *>(szAddress);
    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValue(uiAddressField, &stAddress);
    ZqwObjectId uiNode = ZQW_NULL_ID;
    for (unsigned int i = 0; pList != nullptr && i < pList->count && ZqwIsIdNull(uiNode); ++i) {
        ZqwFieldValue *pNodeId = ZqwDbGetFieldValue(pList->object_ids[i], uiNodeField);
        if (pNodeId != nullptr && pNodeId->field_type == ZQW_INT_FIELD && pNodeId->un.int_val > 0)
            uiNode = static_cast<ZqwObjectId>(pNodeId->un.int_val);
        ZqwDbFreeFieldValue(pNodeId);
    }
    ZqwDbFreeObjectIdList(pList);
    return uiNode;
}

ZqwObjectId uiResolveNodeOrAddress(const char *szName, int *piDbLost) {
    ZqwObjectId uiId = uiResolveName(szName, piDbLost);
    if (!ZqwIsIdNull(uiId)) return uiId;
    char szAddress[16];
    if (ZqsnmpHostsAddress(szName, szAddress, sizeof szAddress) != 0) return ZQW_NULL_ID;
    uiId = uiNodeOfAddress(szAddress);
    if (ZqwIsIdNull(uiId)) uiId = ZqwDbHostnameToObjectId(szAddress);
    if (piDbLost != nullptr && ZqwError() == ZQW_E_CONNLOST) *piDbLost = 1;
    return uiId;
}

ZqwFieldValue stBoolValue(int iValue) {
    ZqwFieldValue stValue{};
    stValue.field_type = ZQW_BOOL_FIELD;
    stValue.un.bool_val = iValue;
    return stValue;
}

ZqwFieldValue stIntValue(int32_t iValue) {
    ZqwFieldValue stValue{};
    stValue.field_type = ZQW_INT_FIELD;
    stValue.un.int_val = iValue;
    return stValue;
}

ZqwFieldValue stEnumValue(int32_t iValue) {
    ZqwFieldValue stValue{};
    stValue.field_type = ZQW_ENUM_FIELD;
    stValue.un.enum_val = iValue;
    return stValue;
}
