// The event browser's calls of the map program's web server (zq/README.md,
// "Events"): GET /api/events, /api/events/ID, /api/alarms, POST
// /api/alarms/ack and /unack.  They pass the same request checks as the map's
// calls (the server's pre-routing handler).  Unlike those, they never go
// through the main loop: each request opens the event store with a connection
// of its own on its worker thread, reads (or acknowledges) and closes it, so a
// long list never holds up the map.
#include <httplib.h>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "events.h"
#include "evstore.h"
#include "front.h"
#include "zqcommon.h"

namespace zq::map {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kLongPollMs = 25000;
constexpr int kWaitSliceMs = 1000;
constexpr size_t kMaxIds = 10000;
constexpr const char* kJsonType = "application/json; charset=utf-8";

void answer(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, kJsonType);
}

void refuse(httplib::Response& res, int status, const std::string& message) {
    answer(res, status, json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace));
}

// The filter of a list request, and its long-poll wait: false (with a 400
// already answered) for an unknown parameter or a value that does not parse.
bool filter_of(const httplib::Request& req, httplib::Response& res, bool alarms, ev::Filter& f, int& wait_ms) {
    wait_ms = 0;
    for (const auto& [name, value] : req.params) {
        std::string reason;
        if (name == "timeout") {
            long ms = value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos
                          ? -1
                          : std::stol(value);
            if (ms < 0 || ms > kLongPollMs) {
                refuse(res, 400, "timeout: expected milliseconds 0.." + std::to_string(kLongPollMs) + ", not '" + value + "'");
                return false;
            }
            wait_ms = static_cast<int>(ms);
            continue;
        }
        if (!ev::parse_filter(name, value, alarms, f, reason)) {
            refuse(res, 400, reason);
            return false;
        }
    }
    if (req.has_param("since") && !req.has_param("timeout")) wait_ms = kLongPollMs;
    return true;
}

bool open_store(ev::Store& store, bool writable, httplib::Response& res) {
    if (store.open(ev::store_path(), writable)) return true;
    refuse(res, 503, store.error());
    return false;
}

// Lists: with since, the answer waits until something after it matches (or
// the time-out passes), like the map's changes.
template <class Read>
void long_poll(const httplib::Request& req, httplib::Response& res, bool alarms, Read read) {
    ev::Filter f;
    int wait_ms = 0;
    if (!filter_of(req, res, alarms, f, wait_ms)) return;
    if (!events_running()) return refuse(res, 503, "the map program is stopping");
    ev::Store store;
    if (!open_store(store, false, res)) return;
    auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    std::optional<PollSlot> slot;
    if (wait_ms > 0) slot.emplace(req.remote_addr, nullptr);
    for (;;) {
        uint64_t version = events_version();
        ev::Counters c;
        std::string body;
        bool found = false;
        if (!store.counters(c) || !read(store, f, c, body, found)) return refuse(res, 500, store.error());
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (found || left <= 0 || !events_running() || (slot && slot->early())) return answer(res, 200, body);
        wait_for_events(version, static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
    }
}

void counters_head(std::string& out, int64_t seq, const ev::Counters& c, bool more) {
    out = "{\"seq\":" + std::to_string(seq) + ",\"removed\":" + std::to_string(c.removed) +
          ",\"lost\":" + std::to_string(c.lost) + ",\"indexed\":" + std::to_string(c.indexed) +
          ",\"more\":" + (more ? "true" : "false");
}

void get_events(const httplib::Request& req, httplib::Response& res) {
    long_poll(req, res, false, [](ev::Store& store, ev::Filter f, const ev::Counters& c, std::string& body, bool& found) {
        f.upto = c.last_event;  // the answer's seq covers exactly what it read
        std::vector<ev::Event> list;
        bool more = false;
        if (!store.events(f, list, more)) return false;
        // A since beyond the store (a store made anew) answers at once with
        // where the store is, so the caller starts again from there.
        counters_head(body, c.last_event, c, more);
        body += ",\"events\":[";
        for (size_t i = 0; i < list.size(); ++i) body += (i ? "," : "") + ev::event_json(list[i]);
        body += "]}";
        found = !list.empty() || f.since > c.last_event;
        return true;
    });
}

void get_alarms(const httplib::Request& req, httplib::Response& res) {
    long_poll(req, res, true, [](ev::Store& store, ev::Filter f, const ev::Counters& c, std::string& body, bool& found) {
        f.upto = c.alarm_seq;
        std::vector<ev::Alarm> list;
        std::vector<uint32_t> marked;
        bool more = false;
        if (!store.alarms(f, list, more) || !store.marked_nodes(marked)) return false;
        counters_head(body, c.alarm_seq, c, more);
        body += ",\"marked_nodes\":" + json(marked).dump() + ",\"alarms\":[";
        for (size_t i = 0; i < list.size(); ++i) body += (i ? "," : "") + ev::alarm_json(list[i]);
        body += "]}";
        found = !list.empty() || f.since > c.alarm_seq;
        return true;
    });
}

void get_event(const httplib::Request& req, httplib::Response& res) {
    std::string s = req.matches[1].str();
    if (s.size() > 18) return refuse(res, 404, "no such event");
    int64_t id = std::stoll(s);
    ev::Store store;
    if (!open_store(store, false, res)) return;
    ev::Event e;
    bool found = false;
    if (!store.event(id, e, found)) return refuse(res, 500, store.error());
    if (!found) return refuse(res, 404, "no such event (it may have been removed by the store's bounds)");
    answer(res, 200, "{\"event\":" + ev::event_json(e) + "}");
}

// Who acknowledges: the user name of the request's authentication, else "operator".
std::string who_of(const httplib::Request& req) {
    std::string h = req.get_header_value("Authorization");
    if (h.size() > 6 && strncasecmp(h.c_str(), "basic ", 6) == 0) {
        std::string cred = zq::base64_decode(std::string(trim(std::string_view(h).substr(6))));
        std::string user = cred.substr(0, cred.find(':'));
        bool printable = !user.empty() && user.size() <= 64;
        for (unsigned char ch : user) printable = printable && ch >= 0x20 && ch != 0x7f;
        if (printable) return user;
    }
    return "operator";
}

void post_ack(const httplib::Request& req, httplib::Response& res, bool ack) {
    json body = json::parse(req.body.empty() ? std::string("{}") : req.body, nullptr, false);
    auto it = body.is_object() ? body.find("alarms") : body.end();
    std::vector<int64_t> ids;
    bool ok = body.is_object() && it != body.end() && it->is_array() && it->size() <= kMaxIds;
    for (size_t i = 0; ok && i < it->size(); ++i) {
        ok = (*it)[i].is_number_integer() && (*it)[i].get<int64_t>() > 0;
        if (ok) ids.push_back((*it)[i].get<int64_t>());
    }
    if (!ok) return refuse(res, 400, "\"alarms\" must be a list of alarm ids (at most 10000)");
    ev::Store store;
    if (!open_store(store, true, res)) return;
    int64_t changed = 0;
    std::string who = who_of(req);
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch()).count();
    if (!store.acknowledge(ids, ack, who, now, changed)) return refuse(res, 500, store.error());
    if (changed) events_changed();
    ev::Counters c;
    store.counters(c);
    answer(res, 200,
           json{{"changed", changed}, {"seq", c.alarm_seq}, {"by", who}}.dump(-1, ' ', false,
                                                                           json::error_handler_t::replace));
}

}  // namespace

void add_event_routes(httplib::Server& s) {
    s.Get("/api/events", get_events);
    s.Get(R"(/api/events/(\d+))", get_event);
    s.Get("/api/alarms", get_alarms);
    s.Post("/api/alarms/ack", [](const httplib::Request& req, httplib::Response& res) { post_ack(req, res, true); });
    s.Post("/api/alarms/unack", [](const httplib::Request& req, httplib::Response& res) { post_ack(req, res, false); });
}

}  // namespace zq::map
