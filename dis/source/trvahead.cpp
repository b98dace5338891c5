// Probe ahead, commit in order.  The network questions of the nodes a pass
// will handle next go out before their turn, many nodes at once, from the
// daemon's one loop: the agent probe, the rule Gets, the version and board
// Gets, the status Get and the web-agent probe of each address.  When a
// node's turn comes its step runs exactly as it would alone, but each request
// it makes is answered from what was gathered for it; only what is missing is
// asked then.  The step's database calls are one group, committed before each
// event and before any request that has to wait for the network.
#include <errno.h>
#include <stdlib.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "trvdis.h"

int iProbeWindow = 1;
uint64_t uiQueuedSerial = 0;
uint64_t uiTakenSerial = 0;
const ZqwObjectId *pPassIds = nullptr;
size_t uiPassCount = 0;
size_t uiPassNext = 0;

namespace {

using Clock = std::chrono::steady_clock;

const ZqOid aAgentOid[] = {ZQ_ENT_SUBIDS};
const ZqOid aVersionOid[] = {ZQ_ENT_SUBIDS, 11, 2, 2, 2, 0};
const ZqOid aRixenOid[] = {ZQ_ENT_SUBIDS, 9, 2, 5, 1, 1, 5, 2};
const ZqOid aStatusOid[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};

const char kWebRequest[] = "GET /Proxy/StatusReport?Type=Summary HTTP/1.0\n\n";
const auto kWebWait = std::chrono::seconds(5);  // each wait of the web-agent probe
const auto kMaxAge = std::chrono::seconds(TRVDIS_AHEAD_MAX_AGE);
const int kSocketsReserved = 64;
// The longest a node's turn waits for what was asked ahead for it (the web
// probe's two waits are 10 s; a long SNMP time-out may be longer).
const auto kGiveUp = std::chrono::seconds(30);  // descriptors kept free for everything else

// One SNMP question gathered ahead.
struct Answer {
    enum State { kNone, kWaiting, kAnswered, kSilent } state = kNone;
    int iReqId = 0;
    ZqPdu *pResponse = nullptr;
    bool bUsed = false;
};

// One web-agent probe of one address.
struct WebProbe {
    std::string szAddress;
    int fd = -1;
    enum Stage { kConnecting, kSending, kReading, kDone } stage = kDone;
    int iResult = 0;  // 1 answered, -1 not; 0 not gathered
    Clock::time_point deadline;
};

struct Gathering {
    uint64_t uiSerial = 0;
    ZqwObjectId uiNode = ZQW_NULL_ID;
    unsigned int uiPass = 0;
    Clock::time_point started;
    ZqSession *pPublic = nullptr;  // agent, rules, board, status
    ZqSession *pNimbus = nullptr;  // version
    std::vector<Answer> aSnmp;     // TRV_ASK_* then one per rule
    std::vector<WebProbe> aWeb;
    int iWaiting = 0;
    int iSockets = 0;

    ~Gathering() {
        for (Answer &a : aSnmp) ZqsnmpFreePdu(a.pResponse);
        for (WebProbe &w : aWeb)
            if (w.fd >= 0) close(w.fd);
        ZqsnmpClose(pPublic);
        ZqsnmpClose(pNimbus);
    }
};

std::deque<std::unique_ptr<Gathering>> aGathered;  // in serial order
unsigned int uiPassNumber = 0;
int iInFlight = 0;
int iSocketsOpen = 0;
// The scan: the next serial to gather for, and where the pass list stands for it.
uint64_t uiScanSerial = 0;
size_t uiBeyondIndex = 0;
uint64_t uiBeyondSerial = 0;

Gathering *pCurrent = nullptr;  // the gathering of the node whose step runs
std::unique_ptr<Gathering> pCurrentOwned;
bool bInStep = false;

int iSocketBudget(void) {
    struct rlimit stLimit {};
    long lLimit = FD_SETSIZE;
    if (getrlimit(RLIMIT_NOFILE, &stLimit) == 0 && stLimit.rlim_cur != RLIM_INFINITY &&
        static_cast<long>(stLimit.rlim_cur) < lLimit)
        lLimit = static_cast<long>(stLimit.rlim_cur);
    return static_cast<int>(lLimit) - kSocketsReserved;
}

int iKeptLimit(void) { return iProbeWindow * 8; }

void vFinishOne(Gathering *pG) {
    if (--pG->iWaiting == 0) --iInFlight;
}

// Gatherings with nothing left on the way give their sockets back; the answers
// stay.  (Never from inside an answer's callback: its session is still in use.)
void vCloseFinished(void) {
    for (auto &pG : aGathered) {
        if (pG->iWaiting > 0 || (pG->pPublic == nullptr && pG->pNimbus == nullptr)) continue;
        ZqsnmpClose(pG->pPublic);
        ZqsnmpClose(pG->pNimbus);
        pG->pPublic = pG->pNimbus = nullptr;
        iSocketsOpen -= pG->iSockets;
        pG->iSockets = 0;
    }
}

// An answer for a gathering (the data of its sessions; a gathering closes its
// sessions before it goes, so no answer comes for one that is gone).
void vOnAnswer(int iReason, ZqSession *, ZqPdu *pPdu, void *pData) {
    auto *pG = static_cast<Gathering *>(pData);
    Answer *pAnswer = nullptr;
    if (pPdu != nullptr)
        for (Answer &a : pG->aSnmp)
            if (a.state == Answer::kWaiting && a.iReqId == pPdu->reqid) pAnswer = &a;
    if (pAnswer == nullptr) {
        ZqsnmpFreePdu(pPdu);
        return;
    }
    if (iReason == ZQSNMP_REASON_RESPONSE) {
        pAnswer->state = Answer::kAnswered;
        pAnswer->pResponse = pPdu;
    } else {
        // No answer in time; a request that could not be sent is asked at the turn.
        pAnswer->state = iReason == ZQSNMP_REASON_NORESPONSE ? Answer::kSilent : Answer::kNone;
        ZqsnmpFreePdu(pPdu);
    }
    vFinishOne(pG);
}

void vAsk(Gathering *pG, ZqSession *pSession, size_t uiKey, int iType, const ZqOid *pOid, size_t uiLength) {
    if (pSession == nullptr) return;
    ZqPdu *pRequest = ZqsnmpCreatePdu(iType);
    if (pRequest == nullptr) return;
    if (ZqsnmpAddNullVarBind(pRequest, pOid, uiLength) == nullptr) {
        ZqsnmpFreePdu(pRequest);
        return;
    }
    int iReqId = ZqsnmpAsyncSend(pSession, pRequest);
    if (iReqId < 0) {
        ZqsnmpFreePdu(pRequest);  // not gathered: the step asks itself
        return;
    }
    pG->aSnmp[uiKey].state = Answer::kWaiting;
    pG->aSnmp[uiKey].iReqId = iReqId;
    ++pG->iWaiting;
}

void vAskRule(Gathering *pG, ZqSession *pSession, size_t uiKey, const ClassRule *pRule) {
    ZqPdu *pRequest = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    if (pRequest == nullptr) return;
    for (const RuleCondition *pCond = pRule->pConditions; pCond != nullptr; pCond = pCond->pNext) {
        if (pCond->pOid == nullptr || pCond->iOidLength <= 0 ||
            ZqsnmpAddNullVarBind(pRequest, pCond->pOid, static_cast<size_t>(pCond->iOidLength)) == nullptr) {
            ZqsnmpFreePdu(pRequest);
            return;
        }
    }
    int iReqId = ZqsnmpAsyncSend(pSession, pRequest);
    if (iReqId < 0) {
        ZqsnmpFreePdu(pRequest);
        return;
    }
    pG->aSnmp[uiKey].state = Answer::kWaiting;
    pG->aSnmp[uiKey].iReqId = iReqId;
    ++pG->iWaiting;
}

// A request session for the gathering; its socket counts, and must fit a wait.
ZqSession *pOpenFor(Gathering *pG, const char *szCommunity, const std::string &szHost) {
    ZqSession *pSession = ZqsnmpOpen(szCommunity, szHost.c_str(), -1, -1, 0xFFFF, 0xFFFF, vOnAnswer, pG);
    if (pSession == nullptr) return nullptr;
    if (pSession->sock_fd < 0 || pSession->sock_fd >= FD_SETSIZE) {
        ZqsnmpClose(pSession);
        return nullptr;
    }
    ++pG->iSockets;
    ++iSocketsOpen;
    return pSession;
}

void vWebEnd(Gathering *pG, WebProbe &w, int iResult);

// The web-agent probe, step by step without waiting: connect, send, one read.
void vWebStart(Gathering *pG, WebProbe &w) {
    w.iResult = 0;
    w.stage = WebProbe::kDone;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    if (fd >= FD_SETSIZE) {
        close(fd);
        return;
    }
    struct sockaddr_in stAddr {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(static_cast<uint16_t>(uiWebAgentPort));
    stAddr.sin_addr.s_addr = inet_addr(w.szAddress.c_str());
    w.fd = fd;
    ++pG->iSockets;
    ++iSocketsOpen;
    ++pG->iWaiting;
    w.deadline = Clock::now() + kWebWait;
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&stAddr), sizeof stAddr) == 0)
        w.stage = WebProbe::kSending;
    else if (errno == EINPROGRESS)
        w.stage = WebProbe::kConnecting;
    else
        vWebEnd(pG, w, -1);  // refused at once
}

void vWebEnd(Gathering *pG, WebProbe &w, int iResult) {
    w.iResult = iResult;
    w.stage = WebProbe::kDone;
    if (w.fd >= 0) {
        close(w.fd);
        w.fd = -1;
        --pG->iSockets;
        --iSocketsOpen;
    }
    vFinishOne(pG);
}

// One step of a web probe whose socket may be ready (or whose wait ran out).
void vWebStep(Gathering *pG, WebProbe &w, const fd_set *pRead, const fd_set *pWrite, Clock::time_point now) {
    if (w.fd < 0 || w.stage == WebProbe::kDone) return;
    bool bReadable = FD_ISSET(w.fd, pRead), bWritable = FD_ISSET(w.fd, pWrite);
    if (w.stage == WebProbe::kConnecting && bWritable) {
        int iErr = 0;
        socklen_t uiLen = sizeof iErr;
        if (getsockopt(w.fd, SOL_SOCKET, SO_ERROR, &iErr, &uiLen) != 0 || iErr != 0) return vWebEnd(pG, w, -1);
        w.stage = WebProbe::kSending;
        w.deadline = now + kWebWait;
    }
    if (w.stage == WebProbe::kSending) {
        ssize_t iSent = send(w.fd, kWebRequest, sizeof kWebRequest - 1, MSG_NOSIGNAL);
        if (iSent <= 0) {
            if (iSent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && now < w.deadline) return;
            return vWebEnd(pG, w, -1);
        }
        w.stage = WebProbe::kReading;
        w.deadline = now + kWebWait;
        return;
    }
    if (w.stage == WebProbe::kReading && bReadable) {
        char szReply[1000];
        ssize_t iGot = recv(w.fd, szReply, sizeof szReply, 0);
        if (iGot < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (iGot < 0) return vWebEnd(pG, w, -1);
        std::string_view reply(szReply, static_cast<size_t>(iGot));
        return vWebEnd(pG, w, reply.find("HTTP/") != std::string_view::npos ? 1 : -1);
    }
    if (now >= w.deadline) vWebEnd(pG, w, -1);
}

// The node at a serial of the pass, when it is known: in the discovery queue,
// or further in the pass's list (a node the pass will queue).  The last one
// found further in the list is kept, so that asking again reads nothing.
uint64_t uiFoundSerial = UINT64_MAX;
ZqwObjectId uiFoundNode = ZQW_NULL_ID;

ZqwObjectId uiNodeAt(uint64_t uiSerial) {
    if (uiSerial == uiFoundSerial && uiSerial >= uiQueuedSerial) return uiFoundNode;
    if (uiSerial < uiQueuedSerial) {
        uint64_t uiOffset = uiSerial - uiTakenSerial;
        int iSlot = static_cast<int>((static_cast<uint64_t>(stDiscoveryQueue.iHead) + uiOffset) % TRVDIS_QUEUE_SLOTS);
        return stDiscoveryQueue.aSlots[iSlot];
    }
    if (pPassIds == nullptr) return ZQW_NULL_ID;
    if (uiBeyondIndex < uiPassNext || uiBeyondSerial != uiSerial) {
        if (uiSerial != uiQueuedSerial) return ZQW_NULL_ID;
        uiBeyondIndex = uiPassNext;
        uiBeyondSerial = uiQueuedSerial;
    }
    while (uiBeyondIndex < uiPassCount) {
        ZqwObjectId uiId = pPassIds[uiBeyondIndex++];
        if (ZqwDbGetFieldBooleanValue(uiId, uiFieldIsSNMPSupported) == 1) {
            uiFoundSerial = uiBeyondSerial++;
            uiFoundNode = uiId;
            return uiId;
        }
    }
    return ZQW_NULL_ID;
}

// Whether the node's turn will be a full discovery, as vDiscoverHost decides it.
bool bFullDiscovery(ZqwObjectId uiNode) {
    if (ZqwDbGetFieldBooleanValue(uiNode, uiFieldIsTrvVantor) == 0 && ZqwError() == ZQW_E_NOVALUE) return true;
    return iIterationNum == 1 || (iIterationNum == 0 && uiReDisIteration == 1);
}

// The addresses the web-agent probe of a node walks, in its order.
std::vector<std::string> aWebAddresses(ZqwObjectId uiNode) {
    std::vector<std::string> aAddresses;
    ZqwFieldValue stNode = stIntValue(static_cast<int32_t>(uiNode));
    ZqwFieldValue stTrue = stBoolValue(1);
    ZqwFieldBinding aConditions[2] = {{uiFieldTopMNodeId, &stNode}, {uiFieldIsIP, &stTrue}};
    ZqwFieldBindList stConditions = {2, aConditions};
    ZqwObjectIdList *pList = ZqwDbListObjectsByFieldValues(&stConditions);
    if (pList == nullptr) return aAddresses;
    for (unsigned int i = 0; i < pList->count; ++i) {
        char *szAddress = ZqwDbGetFieldStringValue(pList->object_ids[i], uiFieldIpAddress);
        if (szAddress == nullptr) continue;
        aAddresses.push_back(szAddress);
        free(szAddress);
    }
    ZqwDbFreeObjectIdList(pList);
    return aAddresses;
}

// Starts the gathering of one node; false when there is no room for it now.
bool bGather(uint64_t uiSerial, ZqwObjectId uiNode) {
    auto pG = std::make_unique<Gathering>();
    pG->uiSerial = uiSerial;
    pG->uiNode = uiNode;
    pG->uiPass = uiPassNumber;
    pG->started = Clock::now();
    // In flight from here; the hold keeps it so while its requests go out (one
    // may end at once), and is let go at the end.
    ++iInFlight;
    pG->iWaiting = 1;
    if (!ZqwIsIdNull(uiNode) && iIsNodeManaged(uiNode) == 1) {
        char *szHostName = ZqwDbObjectIdToHostname(uiNode);
        if (szHostName != nullptr) {
            std::string szHost = szHostName;
            free(szHostName);
            size_t uiRules = 0;
            for (const ClassRule *pRule = pClassRules; pRule != nullptr; pRule = pRule->pNext) ++uiRules;
            pG->aSnmp.resize(TRV_ASK_RULE0 + uiRules);
            bool bFull = bFullDiscovery(uiNode);
            std::vector<std::string> aAddresses;
            if (bFull) aAddresses = aWebAddresses(uiNode);
            int iNeeded = (bFull ? 2 : 1) + static_cast<int>(aAddresses.size());
            if (iSocketsOpen + iNeeded > iSocketBudget()) {
                --iInFlight;
                return false;
            }
            pG->pPublic = pOpenFor(pG.get(), nullptr, szHost);
            if (bFull) {
                vAsk(pG.get(), pG->pPublic, TRV_ASK_AGENT, ZQSNMP_GETNEXT_REQ, aAgentOid,
                     sizeof aAgentOid / sizeof aAgentOid[0]);
                size_t uiKey = TRV_ASK_RULE0;
                for (const ClassRule *pRule = pClassRules; pRule != nullptr; pRule = pRule->pNext)
                    if (pG->pPublic != nullptr) vAskRule(pG.get(), pG->pPublic, uiKey++, pRule);
                vAsk(pG.get(), pG->pPublic, TRV_ASK_RIXEN, ZQSNMP_GET_REQ, aRixenOid,
                     sizeof aRixenOid / sizeof aRixenOid[0]);
                pG->pNimbus = pOpenFor(pG.get(), "nimbus", szHost);
                vAsk(pG.get(), pG->pNimbus, TRV_ASK_VERSION, ZQSNMP_GET_REQ, aVersionOid,
                     sizeof aVersionOid / sizeof aVersionOid[0]);
                for (const std::string &szAddress : aAddresses) {
                    pG->aWeb.emplace_back();
                    pG->aWeb.back().szAddress = szAddress;
                    vWebStart(pG.get(), pG->aWeb.back());
                }
            }
            vAsk(pG.get(), pG->pPublic, TRV_ASK_STATUS, ZQSNMP_GET_REQ, aStatusOid,
                 sizeof aStatusOid / sizeof aStatusOid[0]);
        }
    }
    vFinishOne(pG.get());
    if (pG->iWaiting == 0) {
        ZqsnmpClose(pG->pPublic);
        ZqsnmpClose(pG->pNimbus);
        pG->pPublic = pG->pNimbus = nullptr;
        iSocketsOpen -= pG->iSockets;
        pG->iSockets = 0;
    }
    aGathered.push_back(std::move(pG));
    return true;
}

// Drops gatherings that can no longer be used: behind the queue's head.
void vDropPassed(void) {
    while (!aGathered.empty() && aGathered.front()->uiSerial < uiTakenSerial) {
        if (aGathered.front()->iWaiting > 0) --iInFlight;
        iSocketsOpen -= aGathered.front()->iSockets;
        aGathered.pop_front();
    }
}

bool bEnabled(void) { return iProbeWindow > 1; }

}  // namespace

void vAheadNewPass(void) {
    ++uiPassNumber;
    // What the previous pass gathered is not used in this one.
    while (!aGathered.empty()) {
        if (aGathered.front()->iWaiting > 0) --iInFlight;
        iSocketsOpen -= aGathered.front()->iSockets;
        aGathered.pop_front();
    }
    uiScanSerial = uiQueuedSerial;
    uiBeyondIndex = uiPassNext;
    uiBeyondSerial = uiQueuedSerial;
    uiFoundSerial = UINT64_MAX;
}

void vAheadPassEnded(void) {
    pPassIds = nullptr;
    uiPassCount = uiPassNext = 0;
}

void vAheadForget(ZqwObjectId uiNode) {
    // A request's node is asked afresh: what was gathered before the request
    // is dropped (and gathered again if the pass still comes to the node).
    for (auto &pG : aGathered) {
        if (pG->uiNode != uiNode) continue;
        if (pG->iWaiting > 0) --iInFlight;
        iSocketsOpen -= pG->iSockets;
        uint64_t uiSerial = pG->uiSerial;
        pG = std::make_unique<Gathering>();
        pG->uiSerial = uiSerial;  // kept in its place, with nothing in it
        pG->uiNode = ZQW_NULL_ID;
    }
}

void vAheadFill(void) {
    if (!bEnabled()) return;
    vDropPassed();
    if (uiScanSerial < uiTakenSerial) uiScanSerial = uiTakenSerial;
    while (iInFlight < iProbeWindow && static_cast<int>(aGathered.size()) < iKeptLimit()) {
        ZqwObjectId uiNode = uiNodeAt(uiScanSerial);
        if (ZqwIsIdNull(uiNode)) return;
        if (!bGather(uiScanSerial, uiNode)) return;
        ++uiScanSerial;
    }
}

void vAheadWaitSet(int *pWidth, fd_set *pRead, fd_set *pWrite, struct timeval *pTimeout) {
    if (!bEnabled() || iInFlight == 0) return;
    ZqsnmpAsyncSelectInfo(pWidth, pRead, pTimeout);
    Clock::time_point now = Clock::now(), next = Clock::time_point::max();
    for (auto &pG : aGathered) {
        for (WebProbe &w : pG->aWeb) {
            if (w.fd < 0 || w.stage == WebProbe::kDone) continue;
            if (w.stage == WebProbe::kReading) FD_SET(w.fd, pRead);
            else FD_SET(w.fd, pWrite);
            if (w.fd + 1 > *pWidth) *pWidth = w.fd + 1;
            if (w.deadline < next) next = w.deadline;
        }
    }
    if (next != Clock::time_point::max()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
        if (left < 0) left = 0;
        struct timeval stLeft = {static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
        if (timercmp(&stLeft, pTimeout, <)) *pTimeout = stLeft;
    }
}

void vAheadPump(fd_set *pRead, fd_set *pWrite) {
    if (!bEnabled()) return;
    if (iInFlight > 0) {
        ZqsnmpAsyncRead(pRead);
        Clock::time_point now = Clock::now();
        for (auto &pG : aGathered)
            for (WebProbe &w : pG->aWeb) vWebStep(pG.get(), w, pRead, pWrite, now);
        vCloseFinished();
    }
    vAheadFill();
}

int iAheadHeadReady(void) {
    if (!bEnabled()) return 1;
    vDropPassed();
    if (aGathered.empty()) return 1;
    const Gathering &g = *aGathered.front();
    // Past kGiveUp the node's turn comes all the same; it asks for what is missing.
    return g.uiSerial != uiTakenSerial || g.iWaiting == 0 || Clock::now() - g.started > kGiveUp;
}

int iAheadInFlight(void) { return iInFlight; }

int iAheadDue(void) {
    // Between nodes whose answers are all in, the requests in flight are looked
    // at every 2 ms, not at every node: looking costs a little per socket.
    static Clock::time_point last;
    Clock::time_point now = Clock::now();
    if (now - last < std::chrono::milliseconds(2)) return 0;
    last = now;
    return 1;
}

void vAheadStepBegin(ZqwObjectId uiNode, int iWhich) {
    pCurrent = nullptr;
    pCurrentOwned.reset();
    if (bEnabled() && iWhich == TRVDIS_QUEUE_DISCOVERY) {
        // The node just taken had serial uiTakenSerial - 1.
        while (!aGathered.empty() && aGathered.front()->uiSerial < uiTakenSerial - 1) {
            if (aGathered.front()->iWaiting > 0) --iInFlight;
            iSocketsOpen -= aGathered.front()->iSockets;
            aGathered.pop_front();
        }
        if (!aGathered.empty() && aGathered.front()->uiSerial == uiTakenSerial - 1) {
            std::unique_ptr<Gathering> pG = std::move(aGathered.front());
            aGathered.pop_front();
            if (pG->iWaiting > 0) --iInFlight;
            iSocketsOpen -= pG->iSockets;
            bool bFresh = pG->uiNode == uiNode && pG->uiPass == uiPassNumber && pG->iWaiting == 0 &&
                          Clock::now() - pG->started <= kMaxAge;
            if (bFresh) {
                pCurrentOwned = std::move(pG);
                pCurrent = pCurrentOwned.get();
            }
        }
    }
    bInStep = true;
    ZqwDbBegin();
}

void vAheadStepCommit(void) {
    if (!bInStep) return;
    if (ZqwDbCommit() == -1) iPrintError(TRV_ERR_ZQW, "");
    ZqwDbBegin();
}

void vAheadStepEnd(void) {
    if (bInStep) {
        bInStep = false;
        if (ZqwDbCommit() == -1) iPrintError(TRV_ERR_ZQW, "");
    }
    pCurrent = nullptr;
    pCurrentOwned.reset();
}

ZqPdu *pAheadSend(ZqSession *pSession, ZqPdu *pRequest, int iKey) {
    if (pCurrent != nullptr && iKey >= 0 && static_cast<size_t>(iKey) < pCurrent->aSnmp.size()) {
        Answer &a = pCurrent->aSnmp[static_cast<size_t>(iKey)];
        if (!a.bUsed && (a.state == Answer::kAnswered || a.state == Answer::kSilent)) {
            // The request is consumed as a send would consume it.
            a.bUsed = true;
            ZqsnmpFreePdu(pRequest);
            if (a.state == Answer::kSilent) {
                ZqsnmpErrno = ZQSNMP_E_TIMEOUT;
                return nullptr;
            }
            ZqPdu *pResponse = a.pResponse;
            a.pResponse = nullptr;
            ZqsnmpErrno = ZQSNMP_E_OK;
            return pResponse;
        }
    }
    // Asked now: the group is committed first, since other writers would
    // otherwise wait for this node's network.
    vAheadStepCommit();
    return ZqsnmpBlockingSend(pSession, pRequest);
}

int iAheadWebProbe(const char *szAddress) {
    if (pCurrent != nullptr && szAddress != nullptr) {
        for (WebProbe &w : pCurrent->aWeb) {
            if (w.iResult != 0 && w.szAddress == szAddress) {
                int iResult = w.iResult;
                w.iResult = 0;  // used once
                return iResult;
            }
        }
    }
    vAheadStepCommit();
    return iProbeWebAgent(szAddress);
}

void vAheadClear(void) {
    aGathered.clear();
    iInFlight = 0;
    iSocketsOpen = 0;
    pCurrent = nullptr;
    pCurrentOwned.reset();
}
