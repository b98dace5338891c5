// trapd's figures for monitoring: the counts it already keeps for its log, as
// counters that only grow while it runs (main.cpp hands them to zqspmd).
#include <algorithm>

#include "server.h"
#include "usm.h"

namespace zq::trapd {

namespace {

constexpr size_t kRetiredNames = 64;  // session names whose counts outlive their session
const char* const kOthers = "(others)";

}  // namespace

void Server::retire(const Session& s) {
    auto it = retired_.find(s.name);
    if (it == retired_.end()) it = retired_.size() < kRetiredNames ? retired_.emplace(s.name, Retired{}).first
                                                                   : retired_.emplace(kOthers, Retired{}).first;
    it->second.delivered += s.delivered;
    it->second.dropped += s.dropped;
}

std::vector<Figure> Server::figures() const {
    std::vector<Figure> f;
    auto add = [&](const char* name, bool counter, const char* help, double value, const char* label = nullptr,
                   const std::string& label_value = {}) {
        f.push_back(Figure{name, counter, help, label ? label : "", label ? label_value : std::string(), value});
    };
    add("zq_trapd_received_traps_total", true, "Datagrams received on the trap port",
        static_cast<double>(received_traps_));
    add("zq_trapd_received_events_total", true, "Events received from sessions (applications' own events)",
        static_cast<double>(received_events_));
    const char* malformed = "Malformed datagrams on the trap port and malformed records of sessions";
    add("zq_trapd_malformed_total", true, malformed, static_cast<double>(bad_datagrams_), "what", "datagram");
    add("zq_trapd_malformed_total", true, malformed, static_cast<double>(bad_records_), "what", "record");
    const char* refused = "Traps and sessions refused by the access rules, by reason (SNMPv3 ones by the check "
                          "that failed)";
    add("zq_trapd_refused_total", true, refused, static_cast<double>(refused_community_), "reason", "community");
    add("zq_trapd_refused_total", true, refused, static_cast<double>(refused_local_only_), "reason", "local_only");
    add("zq_trapd_refused_total", true, refused, static_cast<double>(refused_sessions_), "reason", "session_key");
    for (V3Result r : {V3Result::kUnknownUser, V3Result::kUnknownEngine, V3Result::kAuth, V3Result::kDecrypt,
                       V3Result::kTime, V3Result::kLevel})
        add("zq_trapd_refused_total", true, refused, static_cast<double>(v3_failed_[static_cast<int>(r)]), "reason",
            std::string("v3_") + v3_reason_name(r));
    add("zq_trapd_refused_total", true, refused, static_cast<double>(v3_refused_user_), "reason",
        "v3_not_in_trap_users");
    add("zq_trapd_kernel_dropped_total", true,
        "Datagrams the kernel dropped on the trap port for a full receive buffer", static_cast<double>(kernel_drops_));
    add("zq_trapd_log_lines_lost_total", true, "Lines of trapd.log that could not be written",
        static_cast<double>(log_.lost_lines()));
    const char* conns = "Event connections refused or closed, by reason";
    add("zq_trapd_connections_refused_total", true, conns, static_cast<double>(refused_cap_), "reason",
        "session_cap");
    add("zq_trapd_connections_refused_total", true, conns, static_cast<double>(refused_fds_), "reason",
        "descriptors");
    add("zq_trapd_connections_refused_total", true, conns, static_cast<double>(greeting_timeouts_), "reason",
        "no_hello");
    add("zq_trapd_connections_refused_total", true, conns, static_cast<double>(refused_pending_), "reason",
        "pending_cap");
    add("zq_trapd_sessions", false, "Event sessions past their hello", static_cast<double>(greeted_));

    // Per session name: the sessions open now and the ones that closed.
    std::map<std::string, Retired> total = retired_;
    std::map<std::string, double> waiting;
    for (const auto& [fd, s] : sessions_) {
        if (!s->greeted) continue;
        Retired& t = total[s->name];
        t.delivered += s->delivered;
        t.dropped += s->dropped;
        waiting[s->name] += static_cast<double>(s->out.size() - s->out_off);
    }
    for (const auto& [name, t] : total)
        add("zq_trapd_session_queued_total", true, "Events queued for the sessions of a name",
            static_cast<double>(t.delivered), "session", name);
    for (const auto& [name, t] : total)
        add("zq_trapd_session_dropped_total", true, "Events the sessions of a name lost to a full queue",
            static_cast<double>(t.dropped), "session", name);
    for (const auto& [name, bytes] : waiting)
        add("zq_trapd_session_queue_bytes", false, "Bytes waiting now for the open sessions of a name", bytes,
            "session", name);
    return f;
}

}  // namespace zq::trapd
