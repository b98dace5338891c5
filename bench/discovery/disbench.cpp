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
//                               run script times the passes without polling a log.
//                               A mark HOST/K waits for the K-th event of one node.
//   disbench mix N FILE [quiet] writes the realistic network of N nodes: 80% vendor
//                               nodes as above, 10% other SNMP agents, 5% silent SNMP
//                               nodes whose web port hangs (left out with "quiet"),
//                               5% nodes without SNMP
//   disbench baseline-mix N     the bare requests of that network without its silent
//                               nodes: a vendor node's as above, another agent's one
//                               GetNext (in both passes)
//   disbench requests STOPFILE HOST...
//                               sends a status request for the next HOST every
//                               second until STOPFILE exists, and prints the longest
//                               wait for its EVT_STATUS_UPDATED
//
// The nodes follow the three sysObjectID rules of the shipped trvconfig.dat in
// turn (1, 2 or 3 rules tried), the desktops answer the version probe, every
// third node has a board, every second one a web agent.
#include <signal.h>
#include <unistd.h>
#include <sys/select.h>
#include <time.h>

#include <algorithm>
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
    "usage: disbench network N FILE | mix N FILE [quiet] | baseline N | baseline-mix N | populate N |\n"
    "       events K1 K2 ... | requests STOPFILE HOST...\n"
    "The helper of bench/discovery/run (see there).\n";

std::string address(int i) { return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1); }
int rules_tried(int i) { return i % 3 + 1; }  // ntentsrvr, ntsrvr, ntwkstn

// The realistic network, node by node (the last node of 20 is a vendor node,
// so a pass ends with a node's event).
enum class Kind { kVendor, kOther, kSilent, kNoSnmp };
Kind kind_of(int i) {
    if (i % 20 == 0) return Kind::kSilent;
    if (i % 20 == 1) return Kind::kNoSnmp;
    if (i % 10 == 5) return Kind::kOther;
    return Kind::kVendor;
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void vendor_node(std::ostream& out, int i) {
    const char* sys[] = {"ENT.1.1.1.2", "ENT.1.1.1.1", "ENT.1.1.2.1"};
    out << "  { \"name\": \"dn" << i << "\", \"addresses\": [\"" << address(i)
        << "\"], \"kind\": \"computer\", \"snmp\": true, \"status\": \"Normal\", "
           "\"community\": [\"public\", \"nimbus\"], \"web_agent\": "
        << (i % 2 == 0 ? "true" : "false") << ", \"mib\": { \"1.3.6.1.2.1.1.2.0\": [\"OID\", \""
        << sys[rules_tried(i) - 1] << "\"], \"ENT.11.2.10.1.0\": [\"HEX\", \"01 0" << (i % 4 + 1)
        << "\"], \"ENT.11.2.2.2.0\": [\"STRING\", \"" << (i % 2 ? "5.0" : "5.1") << "\"]";
    if (i % 3 == 0) out << ", \"ENT.9.2.5.1.1.5.2\": [\"IPADDRESS\", \"16.0.0." << (i % 250 + 1) << "\"]";
    out << " } }";
}

int write_network(int n, const char* file) {
    std::ofstream out(file);
    out << "{ \"nodes\": [\n";
    for (int i = 0; i < n; ++i) {
        vendor_node(out, i);
        out << (i + 1 < n ? "," : "") << "\n";
    }
    out << "] }\n";
    return out ? 0 : 1;
}

int write_mix(int n, const char* file, bool quiet) {
    std::ofstream out(file);
    out << "{ \"nodes\": [\n";
    bool first = true;
    for (int i = 0; i < n; ++i) {
        Kind k = kind_of(i);
        if (quiet && k == Kind::kSilent) continue;
        if (!first) out << ",\n";
        first = false;
        std::string head = "  { \"name\": \"dn" + std::to_string(i) + "\", \"addresses\": [\"" + address(i) +
                           "\"], \"kind\": \"computer\", \"status\": \"Normal\", ";
        switch (k) {
        case Kind::kVendor: vendor_node(out, i); break;
        case Kind::kOther:
            out << head << "\"snmp\": true, \"mib\": { \"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.8072.3.2.10\"] } }";
            break;
        case Kind::kSilent:
            out << head << "\"snmp\": true, \"silent\": true, \"web_agent\": \"hang\", \"mib\": {} }";
            break;
        case Kind::kNoSnmp: out << head << "\"snmp\": false }"; break;
        }
    }
    out << "\n] }\n";
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

// The bare requests of n nodes; mix: the realistic network without its silent
// nodes (nodes without SNMP are never asked).
int baseline(int n, bool mix) {
    const ZqOid ent[] = {ZQ_ENT_SUBIDS};
    const ZqOid sys_object[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};
    const ZqOid version[] = {ZQ_ENT_SUBIDS, 11, 2, 2, 2, 0};
    const ZqOid board[] = {ZQ_ENT_SUBIDS, 9, 2, 5, 1, 1, 5, 2};
    const ZqOid condition[] = {ZQ_ENT_SUBIDS, 11, 2, 10, 1, 0};
    auto len = [](const auto& a) { return sizeof a / sizeof a[0]; };
    auto kind = [mix](int i) { return mix ? kind_of(i) : Kind::kVendor; };
    int failures = 0, counted = 0;
    double start = now();
    for (int i = 0; i < n; ++i) {
        std::string host = "dn" + std::to_string(i);  // by name, as trvdis asks
        Kind k = kind(i);
        if (k == Kind::kSilent || k == Kind::kNoSnmp) continue;
        ++counted;
        failures += !request(nullptr, host, ZQSNMP_GETNEXT_REQ, ent, len(ent));
        if (k == Kind::kOther) continue;
        for (int r = 0; r < rules_tried(i); ++r)
            failures += !request(nullptr, host, ZQSNMP_GET_REQ, sys_object, len(sys_object));
        if (rules_tried(i) == 3) failures += !request("nimbus", host, ZQSNMP_GET_REQ, version, len(version));
        failures += !request(nullptr, host, ZQSNMP_GET_REQ, board, len(board));
        failures += !request(nullptr, host, ZQSNMP_GET_REQ, condition, len(condition));
    }
    double full = now() - start;
    start = now();
    for (int i = 0; i < n; ++i) {
        Kind k = kind(i);
        std::string host = "dn" + std::to_string(i);
        if (k == Kind::kVendor) failures += !request(nullptr, host, ZQSNMP_GET_REQ, condition, len(condition));
        else if (k == Kind::kOther) failures += !request(nullptr, host, ZQSNMP_GETNEXT_REQ, ent, len(ent));
    }
    double status = now() - start;
    printf("baseline_full_s=%.3f baseline_full_nodes_per_s=%.0f\n", full, counted / full);
    printf("baseline_status_s=%.3f baseline_status_nodes_per_s=%.0f\n", status, counted / status);
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

// Counts the node events trvdis sends, as they reach trapd's event sessions:
// all of them, and those of the nodes some marks name.
struct Seen {
    long all = 0;
    std::vector<std::pair<ZqwObjectId, long>> per_node;
};

void count_changed(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    auto* seen = static_cast<Seen*>(data);
    if (reason == ZQSNMP_REASON_TRAP && pdu != nullptr && pdu->specific_type == 3002) {
        ++seen->all;
        const ZqVarBind* v = pdu->variables;
        if (v != nullptr && v->type == ZQ_ASN_INTEGER && v->val.integer != nullptr)
            for (auto& [id, n] : seen->per_node)
                if (id == static_cast<ZqwObjectId>(*v->val.integer)) ++n;
    }
    ZqsnmpFreePdu(pdu);
}

// A mark: K (the K-th event of all) or HOST/K (the K-th of one node).
struct Mark {
    std::string text;
    long count = 0;
    int node = -1;  // index into Seen::per_node
};

int events(const std::vector<std::string>& texts) {
    Seen seen;
    std::vector<Mark> marks;
    for (const std::string& t : texts) {
        Mark m;
        m.text = t;
        size_t slash = t.find('/');
        m.count = atol(t.c_str() + (slash == std::string::npos ? 0 : slash + 1));
        if (slash != std::string::npos) {
            if (ZqwDbInit() != 0) return 1;
            ZqwObjectId id = ZqwDbHostnameToObjectId(t.substr(0, slash).c_str());
            if (id == 0) {
                fprintf(stderr, "disbench: no node %s\n", t.substr(0, slash).c_str());
                return 1;
            }
            m.node = static_cast<int>(seen.per_node.size());
            seen.per_node.emplace_back(id, 0);
        }
        marks.push_back(m);
    }
    std::string filter = "." ZQ_ENT_TEXT ".1.3.3.*";
    ZqSession* s = ZqsnmpEventOpen("127.0.0.1", "disbench", count_changed, &seen, filter.c_str());
    if (s == nullptr) {
        fprintf(stderr, "disbench: no event session: %s\n", ZqsnmpErrString(ZqsnmpErrno));
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    size_t next = 0;
    double deadline = now() + 3600;
    auto reached = [&seen](const Mark& m) {
        return (m.node < 0 ? seen.all : seen.per_node[static_cast<size_t>(m.node)].second) >= m.count;
    };
    while (next < marks.size() && now() < deadline) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s->sock_fd, &set);
        timeval tv{1, 0};
        if (select(s->sock_fd + 1, &set, nullptr, nullptr, &tv) > 0 && ZqsnmpRead(&set) < 0) break;
        timespec t{};
        clock_gettime(CLOCK_REALTIME, &t);
        for (; next < marks.size() && reached(marks[next]); ++next) {
            printf("%s %ld.%09ld\n", marks[next].text.c_str(), static_cast<long>(t.tv_sec), t.tv_nsec);
            fflush(stdout);
        }
    }
    ZqsnmpClose(s);
    return next == marks.size() ? 0 : 1;
}

// The status requests: one a second, each waited for by its EVT_STATUS_UPDATED.
struct Requests {
    ZqwObjectId waiting_for = 0;
    double sent_at = 0, longest = 0;
    int answered = 0;
};

void on_updated(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    auto* r = static_cast<Requests*>(data);
    if (reason == ZQSNMP_REASON_TRAP && pdu != nullptr && pdu->specific_type == 3003 && r->waiting_for != 0) {
        const ZqVarBind* v = pdu->variables;
        if (v != nullptr && v->type == ZQ_ASN_INTEGER && v->val.integer != nullptr &&
            static_cast<ZqwObjectId>(*v->val.integer) == r->waiting_for) {
            double wait = now() - r->sent_at;
            if (wait > r->longest) r->longest = wait;
            ++r->answered;
            r->waiting_for = 0;
        }
    }
    ZqsnmpFreePdu(pdu);
}

int requests(const char* stop_file, const std::vector<std::string>& hosts) {
    if (ZqwDbInit() != 0) return 1;
    std::vector<ZqwObjectId> ids;
    for (const std::string& h : hosts)
        if (ZqwObjectId id = ZqwDbHostnameToObjectId(h.c_str()); id != 0) ids.push_back(id);
    if (ids.empty()) return 1;
    Requests r;
    std::string filter = "." ZQ_ENT_TEXT ".1.3.11.*";
    ZqSession* s = ZqsnmpEventOpen("127.0.0.1", "disbench-requests", on_updated, &r, filter.c_str());
    if (s == nullptr) return 1;
    const ZqOid request_oid[] = {ZQ_ENT_SUBIDS, 1, 3, 12};
    int sent = 0;
    double next_send = now();
    for (size_t k = 0; access(stop_file, F_OK) != 0; ) {
        if (now() >= next_send) {
            // A request still waited for holds back the next one; its wait counts in full.
            if (r.waiting_for != 0) r.longest = std::max(r.longest, now() - r.sent_at);
            if (r.waiting_for == 0) {
                ZqPdu* pdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
                pdu->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(sizeof request_oid));
                memcpy(pdu->enterprise, request_oid, sizeof request_oid);
                pdu->enterprise_length = sizeof request_oid / sizeof request_oid[0];
                pdu->trap_type = 6;
                pdu->specific_type = 3004;
                int32_t id = static_cast<int32_t>(ids[k++ % ids.size()]);
                ZqsnmpAddTypedVarBind(pdu, request_oid, pdu->enterprise_length, ZQ_ASN_INTEGER, &id, sizeof id);
                r.waiting_for = static_cast<ZqwObjectId>(id);
                r.sent_at = now();
                if (ZqsnmpEventSend(s, pdu, nullptr, 0) < 0) ZqsnmpFreePdu(pdu);
                ++sent;
            }
            next_send += 1.0;
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s->sock_fd, &set);
        timeval tv{0, 100000};
        if (select(s->sock_fd + 1, &set, nullptr, nullptr, &tv) > 0 && ZqsnmpRead(&set) < 0) break;
    }
    if (r.waiting_for != 0) {
        double wait = now() - r.sent_at;
        if (wait > r.longest) r.longest = wait;
    }
    printf("requests_sent=%d requests_answered=%d request_longest_s=%.3f\n", sent, r.answered, r.longest);
    ZqsnmpClose(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc >= 3 && !strcmp(argv[1], "events")) return events(std::vector<std::string>(argv + 2, argv + argc));
    if (argc >= 4 && !strcmp(argv[1], "requests"))
        return requests(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    int n = argc >= 3 ? atoi(argv[2]) : 0;
    bool populating = argc >= 2 && !strcmp(argv[1], "populate");
    if (n <= 0 || n > (populating ? 1000000 : 62500)) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (!strcmp(argv[1], "network") && argc == 4) return write_network(n, argv[3]);
    if (!strcmp(argv[1], "baseline") && argc == 3) return baseline(n, false);
    if (!strcmp(argv[1], "baseline-mix") && argc == 3) return baseline(n, true);
    if (!strcmp(argv[1], "mix") && (argc == 4 || (argc == 5 && !strcmp(argv[4], "quiet"))))
        return write_mix(n, argv[3], argc == 5);
    if (!strcmp(argv[1], "populate") && argc == 3) return populate(n);
    fputs(kUsage, stderr);
    return 2;
}
