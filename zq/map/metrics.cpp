// GET /metrics (metrics.h).  zqspmd holds the last figures each daemon handed
// it; they are asked for at each scrape over run/zqspmd.sock, so no daemon
// opens a port of its own for them.
#include "metrics.h"

#include <httplib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "events.h"
#include "front.h"
#include "mapd.h"

namespace zq::map {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAskMs = 2000;                 // zqspmd and the main loop answer within this
constexpr size_t kAnswerMax = 4u << 20;      // bytes of zqspmd's answer

std::atomic<uint64_t> g_snapshots{0}, g_snapshot_symbols{0}, g_last_snapshot{0};

// Any text as valid UTF-8: a byte that does not belong to a well-formed
// sequence becomes U+FFFD.
std::string utf8(std::string_view s) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : c >= 0xc2 && c < 0xe0 ? 2 : c >= 0xe0 && c < 0xf0 ? 3 : c >= 0xf0 && c < 0xf5 ? 4 : 0;
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xc0) == 0x80;
        // Overlong forms, surrogates and code points past U+10FFFF.
        if (ok && len == 3) ok = !(c == 0xe0 && p[i + 1] < 0xa0) && !(c == 0xed && p[i + 1] >= 0xa0);
        if (ok && len == 4) ok = !(c == 0xf0 && p[i + 1] < 0x90) && !(c == 0xf4 && p[i + 1] >= 0x90);
        if (!ok) {
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        out.append(s.substr(i, len));
        i += len;
    }
    return out;
}

// HELP text: backslash and line feed escaped; a label value: the double quote too.
std::string escaped(std::string_view text, bool label_value) {
    std::string out;
    for (char c : utf8(text)) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '"' && label_value) out += "\\\"";
        else out += c;
    }
    return out;
}

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Asks zqspmd for every process's figures; false when it cannot be reached or
// does not answer in time (the map program may run without it).
bool ask_zqspmd(std::vector<ProcessMetric>& out) {
    int fd = zq::pm::connect_unix(zq::pm::socket_path());
    if (fd < 0) return false;
    std::string text;
    bool done = false;
    if (zq::pm::send_all(fd, "METRICS\n")) {
        auto deadline = Clock::now() + std::chrono::milliseconds(kAskMs);
        char buf[16384];
        while (!done && text.size() <= kAnswerMax) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) break;
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
            done = text.ends_with("\nOK\n") || text == "OK\n";
        }
    }
    close(fd);
    if (!done) return false;
    for (std::string_view line : zq::pm::split(text, '\n')) {
        // METRIC \t PROCESS \t FIELDS
        if (!line.starts_with("METRIC\t")) continue;
        line.remove_prefix(7);
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) continue;
        ProcessMetric m;
        m.process = std::string(line.substr(0, tab));
        if (zq::pm::parse_metric_fields(line.substr(tab + 1), m.metric)) out.push_back(std::move(m));
    }
    return true;
}

// Applications connected now, from the main loop; -1 when it did not answer.
long connected_apps() {
    auto promise = std::make_shared<std::promise<long>>();
    std::future<long> future = promise->get_future();
    post([promise] {
        long n = 0;
        for (const AppStatus& a : apps()) n += a.state == "running";
        promise->set_value(n);
    });
    if (future.wait_for(std::chrono::milliseconds(kAskMs)) != std::future_status::ready) return -1;
    try {
        return future.get();
    } catch (...) {
        return -1;  // the loop has ended and dropped the job
    }
}

void add(std::vector<ProcessMetric>& f, const char* name, char type, const char* help, double value) {
    f.push_back(make_figure("zqw", type, name, help, value));
}

}  // namespace

ProcessMetric make_figure(const std::string& process, char type, const std::string& name, const std::string& help,
                          double value, const std::string& label, const std::string& label_value) {
    ProcessMetric m;
    m.process = process;
    m.metric.type = type;
    m.metric.name = name;
    m.metric.help = help;
    m.metric.value = value;
    m.metric.label = label;
    m.metric.label_value = label_value;
    return m;
}

void count_snapshot(size_t symbols) {
    g_snapshots += 1;
    g_snapshot_symbols += symbols;
    g_last_snapshot = symbols;
}

std::string render_metrics(const std::vector<ProcessMetric>& figures) {
    std::string out;
    std::map<std::string, char> types;                 // name -> type of its first figure
    std::set<std::pair<std::string, std::string>> seen;  // name, label value
    std::map<std::string, std::string> bodies;
    std::vector<std::string> order;
    for (const ProcessMetric& f : figures) {
        const zq::pm::Metric& m = f.metric;
        auto [it, fresh] = types.emplace(m.name, m.type);
        if (it->second != m.type || !seen.emplace(m.name, m.label + "=" + m.label_value).second) continue;
        std::string& body = bodies[m.name];
        if (fresh) {
            order.push_back(m.name);
            body += "# HELP " + m.name + " " + escaped(m.help, false) + "\n";
            body += "# TYPE " + m.name + (m.type == 'c' ? " counter\n" : " gauge\n");
        }
        body += m.name;
        if (!m.label.empty()) body += "{" + m.label + "=\"" + escaped(m.label_value, true) + "\"}";
        body += " " + number(m.value) + "\n";
    }
    for (const std::string& name : order) out += bodies[name];
    return out;
}

void get_metrics(const httplib::Request&, httplib::Response& res) {
    std::vector<ProcessMetric> f;
    size_t polls = 0, clients = 0;
    PollSlot::count(polls, clients);
    long apps = connected_apps();
    add(f, "zq_map_page_clients", 'g', "Client addresses with a page waiting for changes now",
        static_cast<double>(clients));
    add(f, "zq_map_long_polls", 'g', "Requests waiting for changes of a map or of the events now",
        static_cast<double>(polls));
    if (apps >= 0)
        add(f, "zq_map_app_sessions", 'g', "Applications connected to the map program now", static_cast<double>(apps));
    add(f, "zq_map_snapshots_total", 'c', "Full snapshots of a map read for pages",
        static_cast<double>(g_snapshots.load()));
    add(f, "zq_map_snapshot_symbols_total", 'c', "Symbols in all the full snapshots read for pages",
        static_cast<double>(g_snapshot_symbols.load()));
    add(f, "zq_map_last_snapshot_symbols", 'g', "Symbols in the last full snapshot read for a page",
        static_cast<double>(g_last_snapshot.load()));
    EventFigures ev = event_figures();
    add(f, "zq_events_received_total", 'c', "Events the event store received from trapd",
        static_cast<double>(ev.received));
    add(f, "zq_events_stored_total", 'c', "Events written to the event store", static_cast<double>(ev.stored));
    add(f, "zq_events_ignored_total", 'c', "Events conf/events.conf says to ignore", static_cast<double>(ev.ignored));
    add(f, "zq_events_lost_total", 'c', "Events the store could not keep (its queue was full or a write failed)",
        static_cast<double>(ev.lost));
    add(f, "zq_events_queue_length", 'g', "Events waiting for the store's writer now", static_cast<double>(ev.queued));
    bool pm = ask_zqspmd(f);
    add(f, "zq_spmd_up", 'g', "1 when zqspmd answered for the figures of the other processes", pm ? 1 : 0);
    res.set_content(render_metrics(f), "text/plain; version=0.0.4; charset=utf-8");
    res.set_header("Cache-Control", "no-store");
}

}  // namespace zq::map
