// trvdis's figures for monitoring: the passes, the queues and the requests
// served, handed to zqspmd (the map program serves them with the others').
// Counters only grow while the daemon runs.
#include <errno.h>
#include <time.h>

#include <unordered_set>

#include "trvdis.h"

namespace {

double dPassStart = -1;         // monotonic seconds the running pass began, -1 when none runs
bool bPassListed = false;       // the running pass has queued all its nodes
std::unordered_set<ZqwObjectId> setPassNodes;  // nodes the running pass queued (one listed twice counts once)
unsigned long ulPasses = 0;
double dLastPassSeconds = 0;
unsigned long ulLastPassNodes = 0;
unsigned long ulRequestsServed = 0, ulPassNodesHandled = 0;
unsigned long aQueueFull[2] = {0, 0};  // by queue: ids dropped for a full queue
bool bChanged = true;
time_t tLastPublished = 0;

double dNow(void) {
    struct timespec stNow;
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return static_cast<double>(stNow.tv_sec) + static_cast<double>(stNow.tv_nsec) / 1e9;
}

// The pass ends when all its nodes were listed and the last one was taken.
void vCheckPassEnd(void) {
    if (dPassStart < 0 || !bPassListed || iQueueLength(TRVDIS_QUEUE_DISCOVERY) > 0) return;
    dLastPassSeconds = dNow() - dPassStart;
    ulLastPassNodes = setPassNodes.size();
    setPassNodes.clear();
    ++ulPasses;
    dPassStart = -1;
    bChanged = true;
}

}  // namespace

void vFiguresPassBegin(void) {
    dPassStart = dNow();
    bPassListed = false;
    setPassNodes.clear();
}

void vFiguresPassListed(void) {
    bPassListed = true;
    vCheckPassEnd();
}

void vFiguresNodeQueued(int iWhich, ZqwObjectId uiId, int iStored) {
    if (!iStored) ++aQueueFull[iWhich == TRVDIS_QUEUE_DISCOVERY];
    else if (iWhich == TRVDIS_QUEUE_DISCOVERY && dPassStart >= 0) setPassNodes.insert(uiId);
    bChanged = true;
}

void vFiguresNodeTaken(int iWhich) {
    if (iWhich == TRVDIS_QUEUE_REQUEST) ++ulRequestsServed;
    else ++ulPassNodesHandled;
    bChanged = true;
}

int iPublishFigures(void) {
    vCheckPassEnd();
    if (!bChanged) return 0;
    time_t tNow = time(nullptr);
    if (tNow == tLastPublished) return 1;
    tLastPublished = tNow;
    bChanged = false;
    const char *szQueue = "Node ids waiting in a queue of trvdis";
    const char *szFull = "Node ids dropped because their queue was full";
    ZqsMetric aFigures[] = {
        {"trv_dis_passes_total", ZQS_METRIC_COUNTER, "Discovery passes completed", nullptr, nullptr,
         static_cast<double>(ulPasses)},
        {"trv_dis_last_pass_duration_seconds", ZQS_METRIC_GAUGE,
         "How long the last completed discovery pass took, from listing to its last node", nullptr, nullptr,
         dLastPassSeconds},
        {"trv_dis_last_pass_nodes", ZQS_METRIC_GAUGE, "SNMP nodes the last completed discovery pass handled",
         nullptr, nullptr, static_cast<double>(ulLastPassNodes)},
        {"trv_dis_pass_nodes_handled_total", ZQS_METRIC_COUNTER, "Nodes handled by discovery passes", nullptr,
         nullptr, static_cast<double>(ulPassNodesHandled)},
        {"trv_dis_requests_served_total", ZQS_METRIC_COUNTER,
         "Discover and status requests served (from trvmap and trvtrapd)", nullptr, nullptr,
         static_cast<double>(ulRequestsServed)},
        {"trv_dis_queue_length", ZQS_METRIC_GAUGE, szQueue, "queue", "request",
         static_cast<double>(iQueueLength(TRVDIS_QUEUE_REQUEST))},
        {"trv_dis_queue_length", ZQS_METRIC_GAUGE, szQueue, "queue", "discovery",
         static_cast<double>(iQueueLength(TRVDIS_QUEUE_DISCOVERY))},
        {"trv_dis_queue_full_total", ZQS_METRIC_COUNTER, szFull, "queue", "request",
         static_cast<double>(aQueueFull[0])},
        {"trv_dis_queue_full_total", ZQS_METRIC_COUNTER, szFull, "queue", "discovery",
         static_cast<double>(aQueueFull[1])},
    };
    ZqsPublishMetrics(aFigures, static_cast<int>(sizeof aFigures / sizeof aFigures[0]));
    return 0;
}
