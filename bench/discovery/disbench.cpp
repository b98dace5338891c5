// disbench: the helper of bench/discovery/run.
//
//   disbench network N FILE     writes a network file of N vendor nodes for agentsim
//                               and zqtopo (addresses 127.1.x.y)
//   disbench baseline N         issues, straight through zqsnmp, the SNMP requests
//                               trvdis makes for those nodes in a full discovery and
//                               in a status update, and prints nodes per second
//   disbench populate N         adds N computers without SNMP to the database of
//                               $ZQ_ROOT (a large database for the memory figure)
//   disbench events K1 K2 ...   opens an event session with trapd, prints "ready",
//                               then "K SECONDS" (wall clock) when the K-th
//                               EVT_NODE_CHANGED arrives, for each K in turn; so the
//                               run script times the passes without polling a log
//
// The nodes follow the three sysObjectID rules of the shipped trvconfig.dat in
// turn (1, 2 or 3 rules tried), the desktops answer the version probe, every
// third node has a board, every second one a web agent.
#include <signal.h>
#include <sys/select.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "zqoid.h"
#include "zqsnmp.h"
#include "zqw.h"

namespace {

const char kUsage[] =
    "usage: disbench network N FILE | baseline N | populate N | events K1 K2 ...\n"
    "The helper of bench/discovery/run (see there).\n";

std::string address(int i) { return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1); }
int rules_tried(int i) { return i % 3 + 1; }  // ntentsrvr, ntsrvr, ntwkstn

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int write_network(int n, const char* file) {
    std::ofstream out(file);
    out << "{ \"nodes\": [\n";
    const char* sys[] = {"ENT.1.1.1.2", "ENT.1.1.1.1", "ENT.1.1.2.1"};
    for (int i = 0; i < n; ++i) {
        out << "  { \"name\": \"dn" << i << "\", \"addresses\": [\"" << address(i)
            << "\"], \"kind\": \"computer\", \"snmp\": true, \"status\": \"Normal\", "
               "\"community\": [\"public\", \"nimbus\"], \"web_agent\": "
            << (i % 2 == 0 ? "true" : "false") << ", \"mib\": { \"1.3.6.1.2.1.1.2.0\": [\"OID\", \""
            << sys[rules_tried(i) - 1] << "\"], \"ENT.11.2.10.1.0\": [\"HEX\", \"01 0" << (i % 4 + 1)
            << "\"], \"ENT.11.2.2.2.0\": [\"STRING\", \"" << (i % 2 ? "5.0" : "5.1") << "\"]";
        if (i % 3 == 0) out << ", \"ENT.9.2.5.1.1.5.2\": [\"IPADDRESS\", \"16.0.0." << (i % 250 + 1) << "\"]";
        out << " } }" << (i + 1 < n ? "," : "") << "\n";
    }
    out << "] }\n";
    return out ? 0 : 1;
}

// One request on a session of its own, as each probe of trvdis makes it.
bool request(const char* community, const std::string& host, int type, const ZqOid* oid, size_t length) {
    ZqSession* s = ZqsnmpOpen(community, host.c_str(), -1, -1, 0xFFFF, 0xFFFF, nullptr, nullptr);
    if (s == nullptr) return false;
    ZqPdu* pdu = ZqsnmpCreatePdu(type);
    ZqsnmpAddNullVarBind(pdu, oid, length);
    ZqPdu* response = ZqsnmpBlockingSend(s, pdu);
    bool ok = response != nullptr;
    if (response)
        ZqsnmpFreePdu(response);
    else if (ZqsnmpErrno != 6)
        ZqsnmpFreePdu(pdu);
    ZqsnmpClose(s);
    return ok;
}

int baseline(int n) {
    const ZqOid ent[] = {ZQ_ENT_SUBIDS};
    const ZqOid sys_object[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};
    const ZqOid version[] = {ZQ_ENT_SUBIDS, 11, 2, 2, 2, 0};
    const ZqOid board[] = {ZQ_ENT_SUBIDS, 9, 2, 5, 1, 1, 5, 2};
    const ZqOid condition[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};
    auto len = [](const auto& a) { return sizeof a / sizeof a[0]; };
    int failures = 0;
    double start = now();
    for (int i = 0; i < n; ++i) {
        std::string host = "dn" + std::to_string(i);  // by name, as trvdis asks
        failures += !request(nullptr, host, ZQSNMP_GETNEXT_REQ, ent, len(ent));
        for (int r = 0; r < rules_tried(i); ++r)
            failures += !request(nullptr, host, ZQSNMP_GET_REQ, sys_object, len(sys_object));
        if (rules_tried(i) == 3) failures += !request("nimbus", host, ZQSNMP_GET_REQ, version, len(version));
        failures += !request(nullptr, host, ZQSNMP_GET_REQ, board, len(board));
        failures += !request(nullptr, host, ZQSNMP_GET_REQ, condition, len(condition));
    }
    double full = now() - start;
    start = now();
    for (int i = 0; i < n; ++i)
        failures += !request(nullptr, "dn" + std::to_string(i), ZQSNMP_GET_REQ, condition, len(condition));
    double status = now() - start;
    printf("baseline_full_s=%.3f baseline_full_nodes_per_s=%.0f\n", full, n / full);
    printf("baseline_status_s=%.3f baseline_status_nodes_per_s=%.0f\n", status, n / status);
    if (failures) fprintf(stderr, "disbench: %d requests went unanswered\n", failures);
    return failures ? 1 : 0;
}

int populate(int n) {
    if (ZqwDbInit() != 0) {
        fprintf(stderr, "disbench: cannot open the database: %s\n", ZqwErrorMsg(ZqwError()));
        return 1;
    }
    ZqwFieldValue yes{}, no{};
    yes.field_type = no.field_type = ZQW_BOOL_FIELD;
    yes.un.bool_val = 1;
    no.un.bool_val = 0;
    ZqwFieldValue name{};
    name.field_type = ZQW_STRING_FIELD;
    ZqwFieldBinding b[4] = {{ZqwDbFieldNameToFieldId("isNode"), &yes},
                            {ZqwDbFieldNameToFieldId("isComputer"), &yes},
                            {ZqwDbFieldNameToFieldId("isSNMPSupported"), &no},
                            {ZqwDbFieldNameToFieldId("IP Hostname"), &name}};
    ZqwFieldBindList list{4, b};
    for (int i = 0; i < n; ++i) {
        std::string host = "bulk" + std::to_string(i);
        name.un.string_val = host.data();
        if (ZqwDbCreateObject(&list) == 0) {
            fprintf(stderr, "disbench: create failed: %s\n", ZqwErrorMsg(ZqwError()));
            return 1;
        }
    }
    ZqwDbDone();
    return 0;
}

// Counts the node events trvdis sends, as they reach trapd's event sessions.
void count_changed(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    if (reason == ZQSNMP_REASON_TRAP && pdu != nullptr && pdu->specific_type == 3002) ++*static_cast<long*>(data);
    ZqsnmpFreePdu(pdu);
}

int events(const std::vector<long>& marks) {
    long seen = 0;
    std::string filter = "." ZQ_ENT_TEXT ".1.3.3.*";
    ZqSession* s = ZqsnmpEventOpen("127.0.0.1", "disbench", count_changed, &seen, filter.c_str());
    if (s == nullptr) {
        fprintf(stderr, "disbench: no event session: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    size_t next = 0;
    double deadline = now() + 1800;
    while (next < marks.size() && now() < deadline) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s->sock_fd, &set);
        timeval tv{1, 0};
        if (select(s->sock_fd + 1, &set, nullptr, nullptr, &tv) > 0 && ZqsnmpRead(&set) < 0) break;
        timespec t{};
        clock_gettime(CLOCK_REALTIME, &t);
        for (; next < marks.size() && seen >= marks[next]; ++next) {
            printf("%ld %ld.%09ld\n", marks[next], static_cast<long>(t.tv_sec), t.tv_nsec);
            fflush(stdout);
        }
    }
    ZqsnmpClose(s);
    return next == marks.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc >= 3 && !strcmp(argv[1], "events")) {
        std::vector<long> marks;
        for (int i = 2; i < argc; ++i) marks.push_back(atol(argv[i]));
        return events(marks);
    }
    int n = argc >= 3 ? atoi(argv[2]) : 0;
    bool populating = argc >= 2 && !strcmp(argv[1], "populate");
    if (n <= 0 || n > (populating ? 1000000 : 62500)) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (!strcmp(argv[1], "network") && argc == 4) return write_network(n, argv[3]);
    if (!strcmp(argv[1], "baseline") && argc == 3) return baseline(n);
    if (!strcmp(argv[1], "populate") && argc == 3) return populate(n);
    fputs(kUsage, stderr);
    return 2;
}
