// zqevents: prints the events that the local trap daemon delivers, one line each.
#include <sys/select.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "evstore.h"
#include "zqcommon.h"
#include "zqsnmp.h"

namespace {

// Text from the network, for a terminal: control characters escaped.
std::string shown(const std::string& t) {
    std::string out;
    for (unsigned char c : t) {
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else out += static_cast<char>(c);
    }
    return out;
}

// zqevents --history: the store's newest records that pass the filter, oldest first.
int history(const std::vector<std::pair<std::string, std::string>>& params, bool alarms, bool json) {
    zq::ev::Filter f;
    for (const auto& [name, value] : params) {
        std::string reason;
        if (!zq::ev::parse_filter(name, value, alarms, f, reason)) {
            fprintf(stderr, "zqevents: --%s\n", reason.c_str());
            return 2;
        }
    }
    zq::ev::Store store;
    if (!store.open(zq::ev::store_path(), false)) {
        fprintf(stderr, "zqevents: %s\n", store.error().c_str());
        return 2;
    }
    bool more = false;
    size_t n = 0;
    if (alarms) {
        std::vector<zq::ev::Alarm> list;
        if (!store.alarms(f, list, more)) {
            fprintf(stderr, "zqevents: %s\n", store.error().c_str());
            return 2;
        }
        n = list.size();
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            const auto& a = *it;
            if (json) {
                printf("%s\n", zq::ev::alarm_json(a).c_str());
                continue;
            }
            std::string state = a.cleared ? "cleared" : a.acked ? "acked by " + a.ack_by : "open";
            printf("%s  %-8s  %-16s  %-10s  %s  count=%lld  %s  (%s)\n", zq::ev::format_time(a.last_ms).c_str(),
                   zq::ev::severity_name(a.severity), shown(a.node_name.empty() ? a.agent : a.node_name).c_str(),
                   a.category.c_str(), a.name.c_str(), static_cast<long long>(a.count), shown(a.text).c_str(),
                   shown(state).c_str());
        }
    } else {
        std::vector<zq::ev::Event> list;
        if (!store.events(f, list, more)) {
            fprintf(stderr, "zqevents: %s\n", store.error().c_str());
            return 2;
        }
        n = list.size();
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            const auto& e = *it;
            if (json) {
                printf("%s\n", zq::ev::event_json(e).c_str());
                continue;
            }
            printf("%s  %-8s  %-16s  %-10s  %s  %s\n", zq::ev::format_time(e.time_ms).c_str(),
                   zq::ev::severity_name(e.severity), shown(e.node_name.empty() ? e.agent : e.node_name).c_str(),
                   e.category.c_str(), e.name.c_str(), shown(e.text).c_str());
        }
    }
    if (more && !json) fprintf(stderr, "zqevents: more match; older ones were left out (--limit)\n");
    return n ? 0 : 1;
}

struct State {
    bool json = false;
    long long wanted = -1;  // -1: no limit
    long long seen = 0;
    bool lost = false;
};

void usage(FILE* f) {
    fputs("usage: zqevents [--filter PREFIX.*] [--count N] [--timeout SECONDS] [--json] [--help]\n"
          "       zqevents --history [--alarms [--state S]] [--severity LIST] [--category LIST]\n"
          "                [--name LIST] [--node NODE] [--text TEXT] [--from TIME] [--until TIME]\n"
          "                [--limit N] [--json]\n"
          "Opens an event session with the trap daemon of the instance ($ZQ_ROOT), writes\n"
          "\"listening\" to standard error once it is open and prints every event received,\n"
          "one line each.\n"
          "  --filter F    \".*\" (every event, the default) or an OID prefix such as\n"
          "                \".1.3.6.1.4.1.64001.*\"\n"
          "  --count N     exit 0 after N events\n"
          "  --timeout S   exit 1 when S seconds pass first\n"
          "  --json        one JSON object per line (with \"received\", the time it\n"
          "                came, and \"version\", v1, v2c or v3; SNMPv3 traps also have\n"
          "                \"user\" and \"level\")\n"
          "Exit status: 0 after N events, 1 on time-out, 2 on a usage error or when the\n"
          "trap daemon cannot be reached, 3 when the connection with it is lost.\n"
          "\n"
          "--history reads the map program's event store (db/events.db) instead: the\n"
          "newest events (or with --alarms the alarms) that pass every filter, oldest\n"
          "first, one line each (--json: the records of GET /api/events, /api/alarms).\n"
          "  --severity LIST  Normal, Warning, Minor, Major, Critical (commas between)\n"
          "  --category LIST, --name LIST   categories, event names\n"
          "  --node NODE      a node id, name or agent address\n"
          "  --text TEXT      a part of the text (any case)\n"
          "  --from TIME, --until TIME      2026-12-08T08:15:00Z (UTC) or milliseconds\n"
          "  --limit N        at most N (default 100, at most 10000)\n"
          "  --state S        alarms: open (default), unacked, acked, cleared, all\n"
          "Exit status: 0 with something listed, 1 when nothing matched, 2 on a usage\n"
          "error or when the store cannot be read.\n",
          f);
}

std::string oid_text(const ZqOid* o, size_t n) { return o ? zq::oid_to_string(o, n) : std::string(); }

bool printable(const unsigned char* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if ((s[i] < 0x20 || s[i] > 0x7e) && s[i] != '\t' && s[i] != '\n' && s[i] != '\r') return false;
    return true;
}

std::string hex(const unsigned char* s, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string h;
    for (size_t i = 0; i < n; ++i) {
        h += digits[s[i] >> 4];
        h += digits[s[i] & 15];
    }
    return h;
}

using zq::ev::type_name;

nlohmann::json binding_json(const ZqVarBind* vb) {
    nlohmann::json j;
    j["oid"] = oid_text(vb->name, vb->name_length);
    j["type"] = type_name(vb->type);
    switch (vb->type) {
    case ZQ_ASN_INTEGER: j["value"] = vb->val.integer ? *vb->val.integer : 0; break;
    case ZQ_ASN_COUNTER:
    case ZQ_ASN_GAUGE:
    case ZQ_ASN_TIMETICKS: j["value"] = vb->val.integer ? static_cast<uint32_t>(*vb->val.integer) : 0u; break;
    case ZQ_ASN_COUNTER64: j["value"] = vb->val.counter64 ? *vb->val.counter64 : 0u; break;
    case ZQ_ASN_NULL: j["value"] = nullptr; break;
    case ZQ_ASN_OBJECT_ID: j["value"] = oid_text(vb->val.objid, vb->val_len); break;
    case ZQ_ASN_IPADDRESS: j["value"] = vb->val.string ? zq::addr_to_string(vb->val.string) : ""; break;
    case ZQ_ASN_OCTET_STR:
        if (printable(vb->val.string, vb->val_len))
            j["value"] = std::string(reinterpret_cast<const char*>(vb->val.string), vb->val_len);
        else
            j["hex"] = hex(vb->val.string, vb->val_len);
        break;
    default: j["hex"] = hex(vb->val.string, vb->val.string ? vb->val_len : 0); break;
    }
    return j;
}

std::string text_value(const ZqVarBind* vb) {
    nlohmann::json j = binding_json(vb);
    if (j.contains("hex")) return "0x" + j["hex"].get<std::string>();
    if (j["value"].is_string() && vb->type == ZQ_ASN_OCTET_STR) return j["value"].dump();  // quoted, escaped
    if (j["value"].is_null()) return "NULL";
    if (j["value"].is_string()) return j["value"].get<std::string>();
    return j["value"].dump();
}

// When this program received the event: UTC, to the millisecond.
std::string received_time() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm t {};
    gmtime_r(&now.tv_sec, &t);
    char text[40];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
    snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

std::string json_text(const std::string& s) {
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string v3_user(const ZqPdu* p) {
    return p->security_name != nullptr
               ? std::string(reinterpret_cast<const char*>(p->security_name), p->security_name_len)
               : std::string();
}

const char* level_name(int level) {
    return level == 3 ? "authPriv" : level == 2 ? "authNoPriv" : "noAuthNoPriv";
}

void print_event(const ZqPdu* p, bool json) {
    std::string community(reinterpret_cast<const char*>(p->community ? p->community : reinterpret_cast<const unsigned char*>("")),
                          p->community ? p->community_len : 0);
    if (json) {
        nlohmann::json j;
        j["agent"] = zq::addr_to_string(p->agent_addr);
        j["community"] = community;
        j["enterprise"] = oid_text(p->enterprise, p->enterprise_length);
        j["generic"] = p->trap_type;
        j["specific"] = p->specific_type;
        j["timestamp"] = p->time;
        j["trap_id"] = oid_text(p->trap_id, p->trap_id_length);
        j["received"] = received_time();
        j["version"] = p->version == 3 ? "v3" : p->version == 1 ? "v2c" : "v1";
        if (p->version == 3) {
            j["user"] = v3_user(p);
            j["level"] = level_name(p->security_level);
        }
        j["varbinds"] = nlohmann::json::array();
        for (const ZqVarBind* vb = p->variables; vb; vb = vb->next_variable) j["varbinds"].push_back(binding_json(vb));
        printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        // An SNMPv3 trap has a user and a security level where the others have a community.
        std::string who = p->version == 3 ? " version=v3 user=" + json_text(v3_user(p)) +
                                                " level=" + level_name(p->security_level)
                                          : " community=" + json_text(community);
        std::string line = "trap_id=" + oid_text(p->trap_id, p->trap_id_length) +
                           " agent=" + zq::addr_to_string(p->agent_addr) + who +
                           " enterprise=" + oid_text(p->enterprise, p->enterprise_length) +
                           " generic=" + std::to_string(p->trap_type) + " specific=" + std::to_string(p->specific_type) +
                           " timestamp=" + std::to_string(p->time);
        for (const ZqVarBind* vb = p->variables; vb; vb = vb->next_variable)
            line += std::string(" | ") + oid_text(vb->name, vb->name_length) + " " + type_name(vb->type) + " " +
                    text_value(vb);
        printf("%s\n", line.c_str());
    }
    fflush(stdout);
}

void on_event(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    auto* st = static_cast<State*>(data);
    if (reason == ZQSNMP_REASON_TRAP && pdu) {
        if (st->wanted < 0 || st->seen < st->wanted) {
            print_event(pdu, st->json);
            ++st->seen;
        }
    } else if (reason == ZQSNMP_REASON_LOST) {
        st->lost = true;
    } else {
        fprintf(stderr, "zqevents: an unreadable record was received\n");
    }
    ZqsnmpFreePdu(pdu);
}

bool number(const char* s, double& out) {
    char* end = nullptr;
    out = strtod(s, &end);
    return end && end != s && *end == '\0' && out >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    State st;
    std::string filter = ".*";
    double timeout = -1;
    bool hist = false, alarms = false;
    std::vector<std::pair<std::string, std::string>> params;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "zqevents: %s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        double d = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--json") {
            st.json = true;
        } else if (a == "--history") {
            hist = true;
        } else if (a == "--alarms") {
            alarms = true;
        } else if (a == "--severity" || a == "--category" || a == "--name" || a == "--node" || a == "--text" ||
                   a == "--from" || a == "--until" || a == "--limit" || a == "--state") {
            std::string name = a.substr(2);
            params.emplace_back(name, value());
        } else if (a == "--filter") {
            filter = value();
        } else if (a == "--count") {
            if (!number(value(), d) || d < 1 || d != static_cast<long long>(d)) {
                fprintf(stderr, "zqevents: --count wants a whole number above 0\n");
                return 2;
            }
            st.wanted = static_cast<long long>(d);
        } else if (a == "--timeout") {
            if (!number(value(), timeout)) {
                fprintf(stderr, "zqevents: --timeout wants a number of seconds\n");
                return 2;
            }
        } else {
            fprintf(stderr, "zqevents: unknown argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (hist) return history(params, alarms, st.json);
    if (alarms || !params.empty()) {
        fprintf(stderr, "zqevents: --alarms and the filters go with --history\n");
        return 2;
    }
    ZqSession* s = ZqsnmpEventOpen(nullptr, "zqevents", on_event, &st, filter.c_str());
    if (s == nullptr) {
        int e = ZqsnmpErrno;
        fprintf(stderr, "zqevents: cannot open an event session: %s\n", ZqsnmpErrString(e));
        return 2;
    }
    fprintf(stderr, "listening\n");
    fflush(stderr);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    while (st.wanted < 0 || st.seen < st.wanted) {
        if (st.lost) {
            fprintf(stderr, "zqevents: the connection with trapd was lost\n");
            ZqsnmpClose(s);
            return 3;
        }
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(s->sock_fd, &rs);
        timeval tv{};
        timeval* tvp = nullptr;
        if (timeout >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ZqsnmpClose(s);
                return 1;
            }
            tv.tv_sec = static_cast<time_t>(left.count() / 1000000);
            tv.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
            tvp = &tv;
        }
        int r = select(s->sock_fd + 1, &rs, nullptr, nullptr, tvp);
        if (r > 0) ZqsnmpRead(&rs);
    }
    ZqsnmpClose(s);
    return 0;
}
