// The discovery cycle: a pass queues every SNMP-capable computer; the per-node
// step decides between a full discovery and a status update; each vendor node
// keeps one web subsystem object.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "trvdis.h"

int iFindSubSysError = 0;

namespace {

const char kSrc[] = TRVDIS_SRC_DISCOVER;

// The web-agent probe of the node in hand, made once per full discovery: the
// step probes before the agent check, and the node's web object takes its kind
// from that same answer instead of probing the same addresses a second time a
// few milliseconds later.  uiWebProbeNode is the null id outside a full
// discovery.
ZqwObjectId uiWebProbeNode = ZQW_NULL_ID;
int iWebProbeResult = 0;

int iNodeWebEnabled(ZqwObjectId uiNode) {
    if (!ZqwIsIdNull(uiWebProbeNode) && uiWebProbeNode == uiNode) return iWebProbeResult;
    return iIsWebEnabled(uiNode);
}

// A text from the database, taken over and freed here; empty for null.
std::string szTake(char *szText) {
    std::string szCopy = szText != nullptr ? szText : "";
    free(szText);
    return szCopy;
}

[[noreturn]] void vLostDatabase(void) {
    vAheadStepEnd();
    ZqsDone("Lost connection with zqwdb.");
    exit(1);
}

// r = 0 for a node that was a vendor node: its web objects become "Unknown".
void vMarkSubSystemsUnknown(ZqwObjectId uiNode, const char *szHost) {
    ZqwObjectIdList *pList = pGetSubSysObjIds(szHost);
    if (pList == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "Null SubSystem ObjIds List for the Host %s ", szHost);
        return;
    }
    for (unsigned int i = 0; i < pList->count; ++i) {
        ZqwObjectId uiObject = pList->object_ids[i];
        char *szName = ZqwDbGetFieldEnumByName(uiObject, uiFieldTrvSubSysType);
        if (szName == nullptr) {
            // Skipped at every level; only the report depends on the level.
            int iErr = ZqwError();
            if (uiDebugLevel > 1 && iErr != ZQW_E_NOOBJECT && iErr != ZQW_E_NOVALUE)
                iPrintError(TRV_ERR_ZQW, "%s :", "trvSubSysType");
            continue;
        }
        int iKind = iWebSubSysKind(szName);
        free(szName);
        if (iKind > 0) {
            if (ZqwDbSetFieldEnumByName(uiObject, uiFieldTrvDeviceStatus, "Unknown") == -1)
                iPrintError(TRV_ERR_ZQW, ":%s", "trvDeviceStatus");
            vInformTrvmap(uiNode);
        }
    }
    ZqwDbFreeObjectIdList(pList);
}

// r = 4: the node answers but runs no vendor agent.
void vMarkNonVendor(ZqwObjectId uiNode) {
    iPrintDebug(__LINE__, kSrc, 1, " : NON-TARVO NODE :");
    if (ZqwDbSetFieldEnumByName(uiNode, uiFieldTrvSysType, "NonTarvo") == -1) {
        iPrintError(TRV_ERR_ZQW, ":%s", "trvSysType");
        return;
    }
    const struct {
        ZqwFieldId uiField;
        const char *szName;
    } aUnset[] = {{uiFieldTrvOsType, "trvOsType"},
                  {uiFieldIsTrvVantor, "isTrvVantor"},
                  {uiFieldIsTrvRIXEN, "isTrvRIXEN"},
                  {uiFieldTrvRIXENip, "trvRIXENip"}};
    for (const auto &field : aUnset) {
        if (ZqwDbUnsetFieldValue(uiNode, field.uiField) == 0) {
            iPrintError(TRV_ERR_ZQW, ":%s", field.szName);
            return;
        }
    }
    DeleteSubSysObjects(uiNode);
    vInformTrvmap(uiNode);
}

// Any other r: a vendor agent answers.
void vClassifyVendorNode(ZqwObjectId uiNode, const char *szHost) {
    iPrintDebug(__LINE__, kSrc, 2, " : TARVO NODE :");
    char *szOs = szGetOsType(uiNode);
    if (szOs == nullptr) {
        iPrintDebug(__LINE__, kSrc, 2, "GetOsType returned a NULL value.\n");
        return;
    }
    std::string szOsType = szTake(szOs);
    iPrintDebug(__LINE__, kSrc, 2, "OsType = : %s :", szOsType.c_str());
    if (szOsType.empty()) return;

    if (szOsType.compare(0, 7, "ntwkstn") == 0) {
        char *szVersion = CheckForVerNo(szHost);
        if (szVersion != nullptr) {
            iPrintDebug(__LINE__, kSrc, 2, "OsVerNo = %s", szVersion);
            bool bChanged = true;
            if (strncmp(szVersion, "5.0", 3) == 0)
                szOsType = "2kwkstn";
            else if (strncmp(szVersion, "5.1", 3) == 0)
                szOsType = "winxpwkstn";
            else
                bChanged = false;
            free(szVersion);
            if (bChanged) iPrintDebug(__LINE__, kSrc, 2, "OsType = : %s :", szOsType.c_str());
        }
    }
    if (ZqwDbSetFieldStringValue(uiNode, uiFieldTrvOsType, szOsType.c_str()) == -1)
        iPrintError(TRV_ERR_ZQW, ":%s", "trvOsType");

    iCheckRixen(uiNode);
    iUpdateWebSubSys(uiNode);
    vPollNodeStatus(uiNode);
    vInformTrvmap(uiNode);
}

}  // namespace

void vDiscover(void) {
    // Servers, then clients, then computers: a server that is also a computer
    // comes twice.
    const ZqwFieldId aFields[3] = {uiFieldIsServer, uiFieldIsClient, uiFieldIsComputer};
    ZqwObjectIdList *aLists[3] = {nullptr, nullptr, nullptr};
    auto vFreeLists = [&aLists]() {
        for (ZqwObjectIdList *&pList : aLists) {
            ZqwDbFreeObjectIdList(pList);
            pList = nullptr;
        }
    };
    vFiguresPassBegin();
    ZqwFieldValue stTrue = stBoolValue(1);
    size_t uiTotal = 0;
    for (int i = 0; i < 3; ++i) {
        aLists[i] = ZqwDbListObjectsByFieldValue(aFields[i], &stTrue);
        if (aLists[i] == nullptr) {
            if (ZqwError() != ZQW_E_OK) {
                iPrintError(TRV_ERR_ZQW, "");
                vFreeLists();
                return;
            }
            continue;  // nothing, and no error: an empty listing
        }
        uiTotal += aLists[i]->count;
    }

    ZqwObjectId *pAll = static_cast<ZqwObjectId *>(malloc((uiTotal > 0 ? uiTotal : 1) * sizeof(ZqwObjectId)));
    if (pAll == nullptr) {
        if (uiDebugLevel > 1) iPrintError(TRV_ERR_SYSTEM, "");
        vFreeLists();
        return;
    }
    size_t uiCount = 0;
    for (ZqwObjectIdList *pList : aLists) {
        if (pList == nullptr || pList->count == 0) continue;
        memcpy(pAll + uiCount, pList->object_ids, pList->count * sizeof(ZqwObjectId));
        uiCount += pList->count;
    }
    vFreeLists();

    iIterationNum = (iIterationNum + 1) % (uiReDisIteration > 0 ? uiReDisIteration : 1);

    // The nodes further in the list are gathered for ahead while the queue drains.
    pPassIds = pAll;
    uiPassCount = uiCount;
    uiPassNext = 0;
    vAheadNewPass();
    for (size_t i = 0; i < uiCount; ++i) {
        uiPassNext = i;
        if (i % TRVDIS_DRAIN_EVERY == 0) vDrainEvents();
        if (ZqwDbGetFieldBooleanValue(pAll[i], uiFieldIsSNMPSupported) == 1) {
            iQueueNode(pAll[i], TRVDIS_QUEUE_DISCOVERY);  // beyond a full queue: skipped
        } else if (uiDebugLevel > 1 && ZqwError() != ZQW_E_OK) {
            iPrintError(TRV_ERR_ZQW, "");
        }
    }
    vAheadPassEnded();
    free(pAll);
    vFiguresPassListed();
}

void vDiscoverHost(int iWhich) {
    ZqwObjectId uiNode = uiTakeNode(iWhich);
    if (ZqwIsIdNull(uiNode)) return;
    // The step's database calls are one group, committed before its events.
    vAheadStepBegin(uiNode, iWhich);
    struct StepEnd {
        ~StepEnd() { vAheadStepEnd(); }
    } stEnd;

    int iManaged = iIsNodeManaged(uiNode);
    if (iManaged == 0) return;
    if (iManaged == -1) vLostDatabase();

    char *szHostName = ZqwDbObjectIdToHostname(uiNode);
    int iHostError = ZqwError();
    iPrintDebug(__LINE__, kSrc, 2, "Discovering Host %s\n", szHostName != nullptr ? szHostName : "");
    if (szHostName == nullptr) {
        if (iHostError == ZQW_E_CONNLOST) {
            iPrintError(TRV_ERR_ZQW, "");
            vLostDatabase();
        }
        return;
    }
    std::string szHost = szTake(szHostName);

    int iVantor = ZqwDbGetFieldBooleanValue(uiNode, uiFieldIsTrvVantor);
    bool bNeverClassified = false;
    if (iVantor == 0) {
        int iErr = ZqwError();
        if (uiDebugLevel > 1 && iErr != ZQW_E_OK) iPrintError(TRV_ERR_ZQW, "");
        bNeverClassified = iErr == ZQW_E_NOVALUE;
    }

    if (!bNeverClassified && iWhich == TRVDIS_QUEUE_DISCOVERY &&
        !(iIterationNum == 1 || (iIterationNum == 0 && uiReDisIteration == 1))) {
        iPrintDebug(__LINE__, kSrc, 1, "            :Updating Status: ");
        vPollNodeStatus(uiNode);
        vInformTrvmap(uiNode);
        return;
    }

    iPrintDebug(__LINE__, kSrc, 2, "Entering into discovery section \n iIterationNum= %d\n uiReDisIteration= %d \n",
                static_cast<int>(iIterationNum), static_cast<int>(uiReDisIteration));
    iWebProbeResult = iIsWebEnabled(uiNode);
    uiWebProbeNode = uiNode;
    if (iWebProbeResult != 0) {
        iPrintDebug(__LINE__, kSrc, 2, "Set the isVelmswp field to TRUE for: %s\n", szHost.c_str());
        if (ZqwDbSetFieldBooleanValue(uiNode, uiFieldIsVelmswp, 1) == -1) iPrintError(TRV_ERR_ZQW, "");
    }

    short iAgent = iCheckAgent(szHost.c_str());
    if (iAgent == TRV_AGENT_NONE) {
        if (iVantor == 1) vMarkSubSystemsUnknown(uiNode, szHost.c_str());
    } else if (iAgent == TRV_AGENT_FOREIGN) {
        vMarkNonVendor(uiNode);
    } else {
        vClassifyVendorNode(uiNode, szHost.c_str());
    }
    uiWebProbeNode = ZQW_NULL_ID;
}

ZqwObjectId iFindSubSysObject(ZqwObjectId uiNode, const char *szKindName) {
    iFindSubSysError = 0;
    int iKind = ZqwDbGetEnumValue(uiFieldTrvSubSysType, szKindName);
    if (iKind == -1) {
        // The field's definition lacks the value: nothing here can work.
        iPrintError(TRV_ERR_ZQW, ":%s", "trvSubSysType");
        vFatalExit();
    }
    ZqwFieldValue stNode = stIntValue(static_cast<int32_t>(uiNode));
    ZqwFieldValue stKind = stEnumValue(iKind);
    ZqwFieldBinding aBindings[2] = {{uiFieldTrvNodeObjId, &stNode}, {uiFieldTrvSubSysType, &stKind}};
    ZqwFieldBindList stBindings = {2, aBindings};
    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValues(&stBindings);
    if (pList == nullptr) {
        iPrintError(TRV_ERR_ZQW, "");
        iFindSubSysError = 1;
        return ZQW_NULL_ID;
    }
    ZqwObjectId uiFound = ZQW_NULL_ID;
    if (pList->count == 1) {
        uiFound = pList->object_ids[0];
    } else if (pList->count > 1) {
        std::string szHost = szTake(ZqwDbObjectIdToHostname(uiNode));
        iPrintError(2203, "Duplicate objects:%s.\n", szHost.c_str());
        iFindSubSysError = 1;
    }
    ZqwDbFreeObjectIdList(pList);
    return uiFound;
}

int iUpdateWebSubSys(ZqwObjectId uiNode) {
    const char *szKindName = iNodeWebEnabled(uiNode) == 1 ? "WEB_ENABLED" : "WEB_DISABLED";

    ZqwObjectId uiEnabled = iFindSubSysObject(uiNode, "WEB_ENABLED");
    if (ZqwIsIdNull(uiEnabled) && iFindSubSysError) return -1;
    ZqwObjectId uiDisabled = iFindSubSysObject(uiNode, "WEB_DISABLED");
    if (ZqwIsIdNull(uiDisabled) && iFindSubSysError) return -1;

    ZqwObjectId uiWeb = !ZqwIsIdNull(uiEnabled) ? uiEnabled : uiDisabled;
    if (!ZqwIsIdNull(uiWeb)) {
        // The object follows the web agent as it comes and goes.
        if (ZqwDbSetFieldEnumByName(uiWeb, uiFieldTrvSubSysType, szKindName) == -1) {
            iPrintError(TRV_ERR_ZQW, ":%s", "trvSubSysType");
            return -1;
        }
        return 1;
    }

    uiWeb = ZqwDbCreateObject(nullptr);
    if (ZqwIsIdNull(uiWeb)) {
        iPrintError(TRV_ERR_ZQW, ":ERROR finding Object");
        return -1;
    }
    if (ZqwDbSetFieldBooleanValue(uiWeb, uiFieldIsComputer, 0) == -1) iPrintError(TRV_ERR_ZQW, ":%s", "isComputer");
    if (ZqwDbSetFieldBooleanValue(uiWeb, uiFieldIsDevice, 1) == -1) iPrintError(TRV_ERR_ZQW, ":%s", "isDevice");
    // Without its kind or its node the object could never be found again: a
    // new one would follow on every pass.  It goes at once.
    bool bOrphan = false;
    if (ZqwDbSetFieldEnumByName(uiWeb, uiFieldTrvSubSysType, szKindName) == -1) {
        iPrintError(TRV_ERR_ZQW, ":%s", "trvSubSysType");
        bOrphan = true;
    }
    if (!bOrphan && ZqwDbSetFieldIntegerValue(uiWeb, uiFieldTrvNodeObjId, static_cast<int>(uiNode)) == -1) {
        iPrintError(TRV_ERR_ZQW, ":%s", "trvNodeObjId");
        bOrphan = true;
    }
    if (bOrphan) {
        if (ZqwDbDeleteObject(uiWeb) == -1) iPrintError(TRV_ERR_ZQW, "\n");
        return -1;
    }
    return 1;
}
