// The map program's web server: the page, its script files and the JSON API
// (zq/README.md, "Map program HTTP API").
//
// cpp-httplib serves every request on one of its worker threads.  Nothing here
// touches the database or an application from such a thread: on_main() hands the
// work to the main loop with post() and waits for its result, and the heavy part
// that needs no database (turning thousands of rows into JSON) runs back on the
// worker, so the main loop only ever spends the time of the queries.
//
// What a stranger can hold is bounded here and in front.cpp: connections get a
// worker only with a whole request head; change bodies are bounded by size
// before they are read and by their number of values before they are parsed;
// long polls are bounded per client and in all, and the oldest is answered
// early when a bound is reached, so that workers stay free for short requests.
#include <arpa/inet.h>
#include <httplib.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "events.h"
#include "front.h"
#include "httpkit.h"
#include "mapops.h"
#include "mapd.h"
#include "metrics.h"
#include "web_assets.h"
#include "zqcommon.h"

namespace zq::map {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kLongPollMs = 25000;        // a changes request waits at most this long
constexpr int kWaitSliceMs = 1000;        // ...in slices, so that a stop is seen quickly
constexpr int kConfigTimeoutMs = 15000;   // query_config answers within 10 s by contract
constexpr size_t kChangeRowsPerReply = 2000;
constexpr size_t kMaxSelection = 100000;
constexpr size_t kMaxBody = 8u << 20;          // the positions of a whole map
constexpr size_t kMaxSmallBody = 2u << 20;     // any other change (100,000 ids fit)
constexpr size_t kBodyBytesInAll = 24u << 20;  // bodies being read or parsed at once
constexpr size_t kPostsInAll = 12;             // changes being read or run at once

struct State {
    FrontServer server;
    std::atomic<bool> stopping{false};
    std::string password;
    bool loopback_only = true;
    std::mutex gate_mu;            // posts, body_bytes
    size_t posts = 0, body_bytes = 0;
    std::mutex parse_mu;           // large bodies are parsed one at a time
    std::mutex read_mu;            // readers
    std::condition_variable read_cv;
    int readers = 0;               // snapshots being read on workers
};
State* g_state = nullptr;

bool stopping() { return g_state == nullptr || g_state->stopping.load(); }

using web::on_main;

// ---- JSON text ---------------------------------------------------------------

// Appends s as a JSON string.  Bytes that are not valid UTF-8 become U+FFFD: a
// label written by some program must never make a whole map unreadable.
void put_string(std::string& out, std::string_view s) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (c < 0x20 || c == 0x7f) {
                        out += "\\u00";
                        out += hex[c >> 4];
                        out += hex[c & 15];
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
        bool ok = len != 0 && c < 0xf5 && c != 0xc0 && c != 0xc1 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xc0) == 0x80;
        if (ok && len == 3) {
            unsigned cp = ((c & 0x0fu) << 12) | ((p[i + 1] & 0x3fu) << 6);
            ok = cp >= 0x800 && (cp < 0xd800 || cp > 0xdfff);
        }
        if (ok && len == 4) {
            unsigned cp = ((c & 0x07u) << 18) | ((p[i + 1] & 0x3fu) << 12);
            ok = cp >= 0x10000 && cp <= 0x10ffff;
        }
        if (ok) {
            out.append(s.data() + i, len);
            i += len;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    out += '"';
}

void put_double(std::string& out, double v) {
    if (!std::isfinite(v)) v = 0;
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// One symbol as the API gives it (README: the symbol record).
void put_symbol(std::string& out, const zqw::SymbolRow& s, const std::string& icon) {
    out += "{\"id\":";
    append_uint(out, s.id);
    out += ",\"object\":";
    append_uint(out, s.object);
    out += ",\"parent\":";
    append_uint(out, s.parent);
    out += ",\"type\":";
    put_string(out, s.type);
    out += ",\"label\":";
    put_string(out, s.label);
    out += ",\"name\":";
    put_string(out, s.name);
    out += ",\"icon\":";
    put_string(out, icon.empty() ? (s.parent != 0 ? "chip" : "generic") : icon);
    out += ",\"status\":";
    append_int(out, s.status);
    out += ",\"source\":";
    append_int(out, s.source);
    out += ",\"behavior\":";
    append_int(out, s.behavior);
    out += ",\"managed\":";
    out += s.managed ? "true" : "false";
    out += ",\"since\":";
    append_int(out, s.since);
    if (s.parent == 0) {
        out += ",\"addresses\":[";
        for (size_t i = 0; i < s.addresses.size(); ++i) {
            if (i) out += ',';
            put_string(out, s.addresses[i]);
        }
        out += ']';
    }
    if (s.has_position) {
        out += ",\"x\":";
        put_double(out, s.x);
        out += ",\"y\":";
        put_double(out, s.y);
    }
    if (!s.action.empty()) {
        out += ",\"app\":";
        put_string(out, s.action_app);
        out += ",\"action\":";
        put_string(out, s.action);
        out += ",\"objects\":[";
        for (size_t i = 0; i < s.action_objects.size(); ++i) {
            if (i) out += ',';
            append_uint(out, s.action_objects[i]);
        }
        out += ']';
    }
    out += '}';
}

// Rows read on the main loop, with the icon class of each type found there too.
struct SymbolBatch {
    std::vector<zqw::SymbolRow> rows;
    std::unordered_map<std::string, std::string> icons;

    void add_icons() {
        for (const auto& r : rows)
            if (!icons.count(r.type)) icons.emplace(r.type, zqw::symbol_icon(r.type));
    }
    void put(std::string& out) const {
        out += '[';
        for (size_t i = 0; i < rows.size(); ++i) {
            if (i) out += ',';
            auto it = icons.find(rows[i].type);
            put_symbol(out, rows[i], it == icons.end() ? std::string() : it->second);
        }
        out += ']';
    }
};

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

constexpr size_t kSymbolsPerChunk = 2000;

// cpp-httplib compresses an answer (gzip, or br where the browser takes it)
// when its type is exactly "application/json": answers over 1 KiB get that
// type, smaller ones the same with the charset named, which it leaves alone.
// Only gzip: the library prefers br, whose compression at the level it uses
// takes a second for a few hundred KiB (check_request leaves br out).
constexpr size_t kCompressFrom = 1024;
const char* json_type(size_t size) {
    return size >= kCompressFrom ? "application/json" : "application/json; charset=utf-8";
}

// head, the symbols as a JSON list, tail.  A large list goes out in chunks
// made as the client reads, so that a map of 100,000 symbols never sits in
// memory twice (rows and text); when it is sent the rows go and the freed
// memory is handed back to the system.
void send_symbols(httplib::Response& res, std::string head, SymbolBatch&& rows, std::string tail) {
    if (rows.rows.size() <= kSymbolsPerChunk) {
        std::string out = std::move(head);
        out.reserve(out.size() + rows.rows.size() * 200 + tail.size());
        rows.put(out);
        out += tail;
        const char* type = json_type(out.size());
        res.set_content(std::move(out), type);
        return;
    }
    auto batch = std::make_shared<SymbolBatch>(std::move(rows));
    auto next = std::make_shared<size_t>(0);
    res.set_chunked_content_provider(
        json_type(kCompressFrom),
        [batch, next, head = std::move(head), tail = std::move(tail)](size_t, httplib::DataSink& sink) {
            size_t& i = *next;
            const auto& list = batch->rows;
            std::string out;
            out.reserve(kSymbolsPerChunk * 200 + head.size() + tail.size());
            if (i == 0) out = head + "[";
            size_t end = std::min(list.size(), i + kSymbolsPerChunk);
            for (; i < end; ++i) {
                if (i) out += ',';
                auto it = batch->icons.find(list[i].type);
                put_symbol(out, list[i], it == batch->icons.end() ? std::string() : it->second);
            }
            if (i == list.size()) out += "]" + tail;
            if (!sink.write(out.data(), out.size())) return false;
            if (i == list.size()) sink.done();
            return true;
        },
        [batch](bool) {
            batch->rows = {};
            batch->icons = {};
            malloc_trim(0);
        });
}

// ---- replies -----------------------------------------------------------------

void reply(httplib::Response& res, const json& j, int status = 200) {
    res.status = status;
    std::string text = dump(j);
    const char* type = json_type(text.size());
    res.set_content(std::move(text), type);
}

void fail(httplib::Response& res, int status, const std::string& message) {
    reply(res, json{{"error", message}}, status);
}

void busy(httplib::Response& res) { fail(res, 503, "the map program is busy or stopping; try again"); }

std::string db_error(const char* what) {
    int e = ZqwError();
    return std::string(what) + ": " + ZqwErrorMsg(e) + " (" + std::to_string(e) + ")";
}

// ---- request checks ----------------------------------------------------------

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

// "host:port" of a URL ("http://host:port/path"), lower case; "" when none.
std::string url_authority(std::string_view url) {
    auto p = url.find("://");
    if (p == std::string_view::npos) return "";
    url.remove_prefix(p + 3);
    auto end = url.find_first_of("/?#");
    if (end != std::string_view::npos) url = url.substr(0, end);
    auto at = url.rfind('@');
    if (at != std::string_view::npos) url.remove_prefix(at + 1);
    return lower(url);
}

// The host part of a Host header value (no port, no brackets).
std::string host_only(std::string_view hostport) {
    if (!hostport.empty() && hostport.front() == '[') {
        auto end = hostport.find(']');
        return lower(hostport.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
    }
    auto colon = hostport.rfind(':');
    if (colon != std::string_view::npos) hostport = hostport.substr(0, colon);
    return lower(hostport);
}

bool loopback_name(const std::string& host) {
    if (host == "localhost" || host == "::1" || host.ends_with(".localhost")) return true;
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

// A changing request must come from a page of this server (or from a script,
// which sends neither header): the browser names the page's origin in Origin,
// or at least in Referer.
bool same_origin(const httplib::Request& req) {
    std::string host = lower(req.get_header_value("Host"));
    if (req.has_header("Origin")) {
        std::string origin = req.get_header_value("Origin");
        return origin != "null" && !host.empty() && url_authority(origin) == host;
    }
    if (req.has_header("Referer")) return !host.empty() && url_authority(req.get_header_value("Referer")) == host;
    return true;
}

// Compares without stopping at the first difference, so the time taken does not
// tell how much of a guess was right.
bool equal_secret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.size() ? b.size() : 1)]);
    return diff == 0 && !b.empty();
}

// Any user name; the password of zq.conf.
bool authorized(const httplib::Request& req, const std::string& password) {
    std::string h = req.get_header_value("Authorization");
    if (h.size() < 6 || lower(h.substr(0, 6)) != "basic ") return false;
    std::string cred = zq::base64_decode(trim(std::string_view(h).substr(6)));
    auto colon = cred.find(':');
    if (colon == std::string::npos) return false;
    return equal_secret(cred.substr(colon + 1), password);
}

// A change being read or run: its place among kPostsInAll and its bytes among
// kBodyBytesInAll, given back when it has been answered.
struct PostRoom {
    size_t bytes;
    explicit PostRoom(size_t n) : bytes(n) {}
    ~PostRoom() {
        std::lock_guard<std::mutex> lk(g_state->gate_mu);
        g_state->posts -= 1;
        g_state->body_bytes -= bytes;
    }
};

bool take_post_room(size_t bytes) {
    State& st = *g_state;
    {
        std::lock_guard<std::mutex> lk(st.gate_mu);
        if (st.posts >= kPostsInAll || st.body_bytes + bytes > kBodyBytesInAll) return false;
        st.posts += 1;
        st.body_bytes += bytes;
    }
    FrontServer::hold_until_answered(std::make_shared<PostRoom>(bytes));
    return true;
}

httplib::Server::HandlerResponse check_request_head(const httplib::Request& req, httplib::Response& res);

// Runs before the body is read.  A request refused here keeps its body unread
// in the connection, which therefore closes after the answer.
httplib::Server::HandlerResponse check_request(const httplib::Request& req, httplib::Response& res) {
    // The request is the library's own, not const: Accept-Encoding without br
    // makes it compress with gzip (see json_type).
    auto& headers = const_cast<httplib::Request&>(req).headers;
    for (auto it = headers.find("Accept-Encoding"); it != headers.end() && lower(it->first) == "accept-encoding"; ++it)
        if (lower(it->second).find("br") != std::string::npos)
            it->second = lower(it->second).find("gzip") != std::string::npos ? "gzip" : "identity";
    auto r = check_request_head(req, res);
    if (r == httplib::Server::HandlerResponse::Handled &&
        (req.has_header("Transfer-Encoding") ||
         (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0"))) {
        res.set_header("Connection", "close");
        FrontServer::close_after_answer();
    }
    return r;
}

httplib::Server::HandlerResponse check_request_head(const httplib::Request& req, httplib::Response& res) {
    const State& st = *g_state;
    // A name that resolves to this machine through someone else's DNS must not
    // reach a server meant for local pages only.
    if (st.loopback_only && !loopback_name(host_only(req.get_header_value("Host")))) {
        fail(res, 403, "this server answers only requests for a loopback host name");
        return httplib::Server::HandlerResponse::Handled;
    }
    // An empty password only with http_auth=none (start_http refuses the rest).
    if (!st.password.empty() && !authorized(req, st.password)) {
        res.set_header("WWW-Authenticate", "Basic realm=\"zq map\", charset=\"UTF-8\"");
        fail(res, 401, "authentication required");
        // A page asked for by the browser gets a page, not JSON text.
        if (!req.path.starts_with("/api/")) {
            res.set_content("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>zq map: password "
                            "needed</title></head><body><h1>Password needed</h1><p>The map program asks for its "
                            "password (http_password of the instance). Reload the page to enter it.</p></body></html>",
                            "text/html; charset=utf-8");
        }
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST") {
        if (!same_origin(req)) {
            fail(res, 403, "cross-origin request refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        std::string type = lower(req.get_header_value("Content-Type"));
        if (type.substr(0, type.find(';')) != "application/json") {
            fail(res, 415, "changes take a JSON body (Content-Type: application/json)");
            return httplib::Server::HandlerResponse::Handled;
        }
        size_t limit = req.path.ends_with("/positions") ? kMaxBody : kMaxSmallBody;
        // A chunked body's length is known only once read: it takes the room of
        // the largest body the call takes (the library stops reading at kMaxBody).
        size_t length = req.has_header("Transfer-Encoding") ? limit : 0;
        if (req.has_header("Content-Length")) {
            std::string v = req.get_header_value("Content-Length");
            auto r = std::from_chars(v.data(), v.data() + v.size(), length);
            if (r.ec != std::errc() || r.ptr != v.data() + v.size()) {
                fail(res, 400, "bad Content-Length");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (length > limit) {
            fail(res, 413, "the body is over " + std::to_string(limit >> 20) + " MiB");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!take_post_room(length)) {
            res.set_header("Retry-After", "1");
            fail(res, 503, "too many changes at once; try again");
            return httplib::Server::HandlerResponse::Handled;
        }
    } else if (req.method != "GET" && req.method != "HEAD") {
        fail(res, 405, "only GET and POST");
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

// ---- request bodies ----------------------------------------------------------

// Counts the values of a JSON text without building it: a body of a few MiB
// can make millions of small values, each costing a hundred bytes and more
// once parsed.  False past max_values or a nesting of kMaxDepth.
constexpr size_t kMaxDepth = 32;
constexpr size_t kValuesOfSmallBody = 10000;
constexpr size_t kLargeBody = 64u << 10;

bool values_within(std::string_view s, size_t max_values) {
    size_t values = 1, depth = 0;
    bool in_string = false, escaped = false;
    for (char c : s) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
            continue;
        }
        switch (c) {
            case '"': in_string = true; break;
            case '[':
            case '{':
                if (++depth > kMaxDepth) return false;
                ++values;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            case ',': ++values; break;
            default: break;
        }
        if (values > max_values) return false;
    }
    return true;
}

std::optional<json> body_of(const httplib::Request& req, httplib::Response& res,
                            size_t max_values = kValuesOfSmallBody) {
    if (!values_within(req.body, max_values)) {
        fail(res, 413, "the body has more values than this call takes");
        return std::nullopt;
    }
    std::unique_lock<std::mutex> lk(g_state->parse_mu, std::defer_lock);
    if (req.body.size() > kLargeBody) lk.lock();
    json j = json::parse(req.body.empty() ? std::string("{}") : req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        fail(res, 400, "the body is not a JSON object");
        return std::nullopt;
    }
    return j;
}

// Values a list of ids (with a few other fields) may take.
constexpr size_t kValuesOfSelection = kMaxSelection + 100;

bool id_of(const json& v, uint32_t& out) {
    if (!v.is_number_integer()) return false;
    auto n = v.get<int64_t>();
    if (n <= 0 || n > 0xffffffffLL) return false;
    out = static_cast<uint32_t>(n);
    return true;
}

// body[key] as a list of ids; false (and a 400 reply) when it is not one.
bool ids_of(const json& body, const char* key, std::vector<uint32_t>& out, httplib::Response& res) {
    auto it = body.find(key);
    if (it == body.end() || !it->is_array() || it->size() > kMaxSelection) {
        fail(res, 400, std::string("\"") + key + "\" must be a list of ids");
        return false;
    }
    for (const auto& v : *it) {
        uint32_t id = 0;
        if (!id_of(v, id)) {
            fail(res, 400, std::string("\"") + key + "\" must be a list of ids");
            return false;
        }
        out.push_back(id);
    }
    return true;
}

bool text_of(const json& body, const char* key, std::string& out, httplib::Response& res) {
    auto it = body.find(key);
    if (it == body.end() || !it->is_string()) {
        fail(res, 400, std::string("\"") + key + "\" must be a text");
        return false;
    }
    out = it->get<std::string>();
    return true;
}

bool path_id(const httplib::Request& req, size_t i, uint32_t& out) {
    if (req.matches.size() <= i) return false;
    std::string s = req.matches[i].str();
    uint64_t v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v == 0 || v > 0xffffffffULL) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// ---- maps and symbols (main loop) ---------------------------------------------

bool map_info_of(uint32_t id, zqw::MapRow& out) {
    std::vector<zqw::MapRow> maps;
    if (!zqw::list_maps(maps)) return false;
    for (auto& m : maps)
        if (m.id == id) {
            out = std::move(m);
            return true;
        }
    zqw::set_error(ZQW_E_BADARG);
    return false;
}

using zqw::map_json;

struct Snapshot {
    bool ok = false;
    int status = 500;      // when not ok
    std::string error;
    int64_t seq = 0;
    uint32_t open = 0;
    SymbolBatch batch;
};

// Runs on the main loop (a changes request whose number is too old), or on a
// worker through a Reader of its own (read_snapshot).
Snapshot take_snapshot(uint32_t map, uint32_t open) {
    Snapshot s;
    s.open = open;
    // The sequence number first: a change made after it is read is then sent
    // again by the next changes request rather than lost.
    s.seq = zqw::last_change();
    if (!zqw::load_symbols(map, s.batch.rows)) {
        // 3: the map is gone (deleted under the page).
        s.status = ZqwError() == ZQW_E_BADARG ? 404 : 500;
        s.error = s.status == 404 ? "no such map" : db_error("cannot read the map's symbols");
        return s;
    }
    s.batch.add_icons();
    s.ok = true;
    count_snapshot(s.batch.rows.size());
    return s;
}

Snapshot take_snapshot(uint32_t map) {
    note_status_changes();
    return take_snapshot(map, open_map());
}

// A whole map read on this worker over a connection of its own, so that the
// main loop goes on serving changes meanwhile: eight pages loading a large map
// at once must not keep a status change from the pages that wait for one.  At
// most kSnapshotReaders at once (two cores; each holds its rows in memory).
constexpr int kSnapshotReaders = 2;

std::optional<Snapshot> read_snapshot(uint32_t map, uint32_t open) {
    State& st = *g_state;
    {
        std::unique_lock<std::mutex> lk(st.read_mu);
        auto deadline = Clock::now() + std::chrono::milliseconds(web::kMainTimeoutMs);
        while (st.readers >= kSnapshotReaders) {
            if (stopping() || st.read_cv.wait_until(lk, deadline) == std::cv_status::timeout) return std::nullopt;
        }
        st.readers += 1;
    }
    struct Leave {
        State& st;
        ~Leave() {
            {
                std::lock_guard<std::mutex> lk(st.read_mu);
                st.readers -= 1;
            }
            st.read_cv.notify_one();
        }
    } leave{st};
    zqw::Reader reader;
    if (!reader.ok()) {
        Snapshot s;
        s.error = db_error("cannot open the database to read the map");
        return s;
    }
    return take_snapshot(map, open);
}

struct Changes {
    bool ok = false, full = false, more = false;
    int status = 500;      // when not ok
    std::string error;
    int64_t seq = 0;
    uint32_t open = 0;
    SymbolBatch batch;
    std::vector<uint32_t> deleted;
};

Changes read_changes(uint32_t map, int64_t since) {
    Changes c;
    c.open = open_map();
    int64_t last = zqw::last_change();
    if (since == last) {
        c.ok = true;
        c.seq = last;
        return c;
    }
    std::vector<zqw::ChangeRow> rows;
    // A number from the future (a database replaced under the page) counts as
    // too old: the page starts over from a snapshot.
    if (since > last || !zqw::changes_since(since, kChangeRowsPerReply, rows)) {
        if (since <= last && ZqwError() != ZQW_E_BADARG) {
            c.error = db_error("cannot read the change log");
            return c;
        }
        Snapshot s = take_snapshot(map);
        c.ok = s.ok;
        c.status = s.status;
        c.error = s.error;
        c.full = true;
        c.seq = s.seq;
        c.batch = std::move(s.batch);
        return c;
    }
    if (rows.empty()) {
        c.ok = true;
        c.seq = last;
        return c;
    }
    c.seq = rows.back().seq;
    c.more = rows.size() >= kChangeRowsPerReply;
    std::vector<uint32_t> existing;
    if (!zqw::affected_symbols(map, rows, existing, c.deleted) || !zqw::load_symbols(map, existing, c.batch.rows)) {
        c.status = ZqwError() == ZQW_E_BADARG ? 404 : 500;
        c.error = c.status == 404 ? "no such map" : db_error("cannot read the changed symbols");
        return c;
    }
    c.batch.add_icons();
    c.ok = true;
    return c;
}

// ---- handlers ------------------------------------------------------------------

void get_maps(const httplib::Request&, httplib::Response& res) {
    auto r = on_main([] {
        std::vector<zqw::MapRow> maps;
        bool ok = zqw::list_maps(maps);
        return std::make_tuple(ok, ok ? std::string() : db_error("cannot list the maps"), open_map(), maps);
    });
    if (!r) return busy(res);
    auto& [ok, error, open, maps] = *r;
    if (!ok) return fail(res, 500, error);
    json list = json::array();
    for (const auto& m : maps) list.push_back(map_json(m));
    reply(res, json{{"open", open}, {"maps", list}});
}

void post_open(const httplib::Request& req, httplib::Response& res) {
    uint32_t map = 0;
    if (!path_id(req, 1, map)) return fail(res, 404, "no such map");
    // The choice is kept in the database: the map program opens it again after a
    // restart, and zqtopo map use makes the same choice.
    auto r = on_main([map] {
        zqw::MapOutcome o = zqw::choose_applications_map(map);
        if (!o.ok()) return o.error;
        if (!open_map(map)) return db_error("cannot open the map");
        return std::string();
    });
    if (!r) return busy(res);
    if (!r->empty()) return fail(res, *r == "no such map" ? 404 : 500, *r);
    reply(res, json{{"open", map}});
}

// ID, or "open": the map open in the map program (what a page shows first; it
// can ask for it before it knows which map that is).
void get_symbols(const httplib::Request& req, httplib::Response& res) {
    uint32_t map = 0;
    bool open = req.matches.size() > 1 && req.matches[1].str() == "open";
    if (!open && !path_id(req, 1, map)) return fail(res, 404, "no such map");
    // The statuses dated and the open map known, the rows are read here.
    auto which = on_main([map, open] {
        note_status_changes();
        return std::make_pair(open ? open_map() : map, open_map());
    });
    if (!which) return busy(res);
    map = which->first;
    int64_t lists = lists_version();
    auto r = read_snapshot(map, which->second);
    if (!r) return busy(res);
    if (!r->ok) return fail(res, r->status, r->error);
    std::string head = "{\"map\":";
    append_uint(head, map);
    head += ",\"open\":";
    append_uint(head, r->open);
    head += ",\"seq\":";
    append_int(head, r->seq);
    head += ",\"lists\":";
    append_int(head, lists);
    head += ",\"symbols\":";
    send_symbols(res, std::move(head), std::move(r->batch), "}");
}

void get_changes(const httplib::Request& req, httplib::Response& res) {
    uint32_t map = 0;
    if (!path_id(req, 1, map)) return fail(res, 404, "no such map");
    int64_t since = 0;
    if (req.has_param("since")) {
        std::string s = req.get_param_value("since");
        auto r = std::from_chars(s.data(), s.data() + s.size(), since);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size() || since < 0)
            return fail(res, 400, "since must be a change number");
    }
    int wait_ms = kLongPollMs;
    if (req.has_param("timeout")) {
        std::string s = req.get_param_value("timeout");
        auto r = std::from_chars(s.data(), s.data() + s.size(), wait_ms);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size() || wait_ms < 0)
            return fail(res, 400, "timeout must be milliseconds");
        wait_ms = std::min(wait_ms, kLongPollMs);
    }
    // The lists number the page knows: a request answers as soon as it moved.
    int64_t lists_known = -1;
    if (req.has_param("lists")) {
        std::string s = req.get_param_value("lists");
        auto r = std::from_chars(s.data(), s.data() + s.size(), lists_known);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size() || lists_known < 0)
            return fail(res, 400, "lists must be a number");
    }
    int64_t lists = lists_version();
    auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    std::optional<Changes> c;
    std::optional<PollSlot> slot;
    if (wait_ms > 0) slot.emplace(req.remote_addr, wake_change_waiters);
    for (;;) {
        lists = lists_version();
        c = on_main([map, since] {
            note_status_changes();
            return read_changes(map, since);
        });
        if (!c) return busy(res);
        if (!c->ok) return fail(res, c->status, c->error);
        bool nothing = !c->full && c->batch.rows.empty() && c->deleted.empty();
        // Rows that touch other maps only move the number on; the page waits on.
        if (!nothing || stopping()) break;
        if (c->seq != since) break;
        if (lists_known >= 0 && lists != lists_known) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || (slot && slot->early())) break;
        wait_for_change(since, static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)), slot ? slot->flag() : nullptr,
                        lists_known);
        if (slot && slot->early()) break;
    }
    std::string head = "{\"map\":";
    append_uint(head, map);
    head += ",\"open\":";
    append_uint(head, c->open);
    head += ",\"seq\":";
    append_int(head, c->seq);
    head += ",\"full\":";
    head += c->full ? "true" : "false";
    head += ",\"more\":";
    head += c->more ? "true" : "false";
    head += ",\"lists\":";
    append_int(head, lists);
    head += ",\"symbols\":";
    std::string tail = ",\"deleted\":[";
    for (size_t i = 0; i < c->deleted.size(); ++i) {
        if (i) tail += ',';
        append_uint(tail, c->deleted[i]);
    }
    tail += "]}";
    send_symbols(res, std::move(head), std::move(c->batch), std::move(tail));
}

std::string read_only_refusal(const zqw::MapRow& m, const char* what) {
    return "the map \"" + m.name + "\" is read-only: " + what + " (make it writable first)";
}

void post_positions(const httplib::Request& req, httplib::Response& res) {
    uint32_t map = 0;
    if (!path_id(req, 1, map)) return fail(res, 404, "no such map");
    auto body = body_of(req, res, 4 * kMaxSelection + 100);
    if (!body) return;
    struct Pos {
        uint32_t symbol;
        double x, y;
    };
    std::vector<Pos> list;
    auto it = body->find("positions");
    if (it == body->end() || !it->is_array() || it->size() > kMaxSelection)
        return fail(res, 400, "\"positions\" must be a list of {symbol, x, y}");
    for (const auto& p : *it) {
        Pos pos{};
        if (!p.is_object() || !p.contains("symbol") || !id_of(p["symbol"], pos.symbol) || !p.contains("x") ||
            !p.contains("y") || !p["x"].is_number() || !p["y"].is_number())
            return fail(res, 400, "\"positions\" must be a list of {symbol, x, y}");
        pos.x = p["x"].get<double>();
        pos.y = p["y"].get<double>();
        if (!std::isfinite(pos.x) || !std::isfinite(pos.y) || std::fabs(pos.x) > 1e9 || std::fabs(pos.y) > 1e9)
            return fail(res, 400, "a position is out of range");
        list.push_back(pos);
    }
    auto r = on_main([map, list] {
        // A read-only map keeps its layout too: the operator marked it so.
        zqw::MapOutcome m = zqw::map_with_id(map);
        if (!m.ok()) return m.error;
        if (m.map.read_only) return read_only_refusal(m.map, "its layout is not saved");
        for (const auto& p : list)
            if (!zqw::set_symbol_position(map, p.symbol, p.x, p.y)) return db_error("cannot save the position");
        return std::string();
    });
    if (!r) return busy(res);
    if (!r->empty()) return fail(res, 400, *r);
    reply(res, json{{"saved", list.size()}});
}

void post_manage(const httplib::Request& req, httplib::Response& res) {
    auto body = body_of(req, res, kValuesOfSelection);
    if (!body) return;
    std::vector<uint32_t> symbols;
    if (!ids_of(*body, "symbols", symbols, res)) return;
    auto m = body->find("managed");
    if (m == body->end() || !m->is_boolean()) return fail(res, 400, "\"managed\" must be true or false");
    bool managed = m->get<bool>();
    if (symbols.empty()) return reply(res, json{{"managed", managed}, {"symbols", 0}});
    auto r = on_main([symbols, managed] {
        // The symbols are those of the applications' map; a read-only one
        // keeps their managed marks as they are.
        zqw::MapOutcome m = zqw::map_with_id(open_map());
        if (m.ok() && m.map.read_only)
            return read_only_refusal(m.map, managed ? "its symbols are not managed" : "its symbols are not unmanaged");
        std::string error;
        bool ok = manage_symbols(symbols, managed, error);
        return ok ? std::string() : (error.empty() ? std::string("failed") : error);
    });
    if (!r) return busy(res);
    if (!r->empty()) return fail(res, 400, *r);
    reply(res, json{{"managed", managed}, {"symbols", symbols.size()}});
}

void post_delete(const httplib::Request& req, httplib::Response& res) {
    auto body = body_of(req, res, kValuesOfSelection);
    if (!body) return;
    std::vector<uint32_t> objects;
    if (!ids_of(*body, "objects", objects, res)) return;
    if (objects.empty()) return reply(res, json{{"deleted", 0}});
    auto r = on_main([objects] {
        std::string error;
        bool ok = delete_objects(objects, error);
        return ok ? std::string() : (error.empty() ? std::string("failed") : error);
    });
    if (!r) return busy(res);
    if (!r->empty()) return fail(res, 400, *r);
    reply(res, json{{"deleted", objects.size()}});
}

// ---- objects -----------------------------------------------------------------------

json value_json(const ZqwFieldValue& v, const zqw::FieldInfo& f) {
    switch (v.field_type) {
        case ZQW_INT_FIELD: return v.un.int_val;
        case ZQW_BOOL_FIELD: return v.un.bool_val != 0;
        case ZQW_STRING_FIELD: return v.un.string_val ? std::string(v.un.string_val) : std::string();
        case ZQW_ENUM_FIELD:
            if (v.un.enum_val >= 0 && static_cast<size_t>(v.un.enum_val) < f.values.size())
                return f.values[static_cast<size_t>(v.un.enum_val)];
            return v.un.enum_val;
        default: return nullptr;
    }
}

void get_object(const httplib::Request& req, httplib::Response& res) {
    uint32_t id = 0;
    if (!path_id(req, 1, id)) return fail(res, 404, "no such object");
    auto r = on_main([id]() -> std::pair<int, json> {
        if (!zqw::object_exists(id)) {
            if (ZqwError() == ZQW_E_OK || ZqwError() == ZQW_E_NOOBJECT) return {404, json{{"error", "no such object"}}};
            return {500, json{{"error", db_error("cannot read the object")}}};
        }
        std::vector<zqw::FieldInfo> fields;
        if (!zqw::list_fields(fields)) return {500, json{{"error", db_error("cannot list the fields")}}};
        json list = json::array();
        for (const auto& f : fields) {
            ZqwFieldValue* v = ZqwDbGetFieldValue(id, f.id);
            if (v == nullptr) continue;
            list.push_back(json{{"name", f.name}, {"type", zqw::type_name(f.type)}, {"value", value_json(*v, f)}});
            ZqwDbFreeFieldValue(v);
        }
        return {200, json{{"id", id}, {"fields", list}}};
    });
    if (!r) return busy(res);
    reply(res, r->second, r->first);
}

// ---- applications -----------------------------------------------------------------

json app_json(const AppStatus& a) {
    json actions = json::array();
    for (const auto& ac : a.def.actions) {
        json j{{"name", ac.name}, {"label", ac.label}};
        if (!ac.url.empty()) j["url"] = ac.url;
        actions.push_back(j);
    }
    json config = json::array();
    for (const auto& c : a.def.config) config.push_back(json{{"field", c.field}, {"label", c.label}});
    json types = json::array();
    for (const auto& t : a.def.symbol_types) types.push_back(json{{"pattern", t.pattern}, {"icon", t.icon}});
    json j{{"name", a.def.name},       {"state", a.state},   {"pid", a.pid},       {"command", a.def.command},
           {"actions", actions},       {"config", config},   {"symbol_types", types}};
    if (a.state == "ended" || a.state == "restarting" || a.state == "failed") j["exit_status"] = a.exit_status;
    if (a.restarts > 0) j["restarts"] = a.restarts;
    if (a.restart_in_ms >= 0) j["restart_in_ms"] = a.restart_in_ms;
    return j;
}

void get_apps(const httplib::Request&, httplib::Response& res) {
    auto r = on_main([] { return apps(); });
    if (!r) return busy(res);
    json list = json::array();
    for (const auto& a : *r) list.push_back(app_json(a));
    reply(res, json{{"apps", list}});
}

void post_restart(const httplib::Request& req, httplib::Response& res) {
    auto body = body_of(req, res);
    if (!body) return;
    std::string app;
    if (!text_of(*body, "app", app, res)) return;
    auto f = body->find("force");
    if (f != body->end() && !f->is_boolean()) return fail(res, 400, "\"force\" must be true or false");
    bool force = f != body->end() && f->get<bool>();
    auto r = on_main([app, force] {
        std::string error;
        bool ok = restart_app(app, force, error);
        return ok ? std::string() : (error.empty() ? std::string("cannot restart it") : error);
    });
    if (!r) return busy(res);
    if (!r->empty()) return fail(res, 400, *r);
    reply(res, json{{"restarted", app}});
}

void post_action(const httplib::Request& req, httplib::Response& res) {
    auto body = body_of(req, res, kValuesOfSelection);
    if (!body) return;
    std::string app, action;
    std::vector<uint32_t> objects;
    if (!text_of(*body, "app", app, res) || !text_of(*body, "action", action, res) ||
        !ids_of(*body, "objects", objects, res))
        return;
    auto r = on_main([app, action, objects] {
        ActionRun run;
        std::string error;
        bool ok = run_action(app, action, objects, run, error);
        if (!ok && error.empty()) error = "the action failed";
        return std::make_tuple(ok, run, error);
    });
    if (!r) return busy(res);
    auto& [ok, run, error] = *r;
    if (!ok) return fail(res, 400, error);
    // The objects it is not for: how many, and the first few with the reason.
    json left = json::array();
    for (size_t i = 0; i < run.left_out.size() && i < 20; ++i)
        left.push_back(json{{"object", run.left_out[i].object}, {"reason", run.left_out[i].reason}});
    reply(res, json{{"ran", action},
                    {"urls", run.urls},
                    {"objects", run.ran},
                    {"left_out", run.left_out.size()},
                    {"left_out_first", left}});
}

// Which actions fit a selection: what the page's menu offers.
void post_action_fit(const httplib::Request& req, httplib::Response& res) {
    auto body = body_of(req, res, kValuesOfSelection);
    std::vector<uint32_t> objects;
    if (!body || !ids_of(*body, "objects", objects, res)) return;
    auto r = on_main([objects] {
        std::vector<ActionFit> fits;
        std::string error;
        bool ok = action_fits(objects, fits, error);
        return std::make_tuple(ok, fits, error);
    });
    if (!r) return busy(res);
    auto& [ok, fits, error] = *r;
    if (!ok) return fail(res, 500, error);
    json list = json::array();
    for (const auto& f : fits) {
        json j{{"app", f.app}, {"action", f.action}, {"label", f.label}, {"url", f.url}, {"covered", f.covered}};
        if (!f.reason.empty()) j["reason"] = f.reason;
        list.push_back(std::move(j));
    }
    reply(res, json{{"objects", objects.size()}, {"actions", list}});
}

// The configuration fields of an application with their registered types, and
// the values stored for the open map.
struct ConfigView {
    int status = 200;
    std::string error;
    std::string app;
    uint32_t map = 0;
    std::vector<zqw::ConfigFieldDef> defs;
    std::vector<zqw::FieldInfo> fields;   // same order as defs
    json values = json::object();
};

const AppStatus* find_app(const std::vector<AppStatus>& list, const std::string& name) {
    for (const auto& a : list)
        if (a.def.name == name) return &a;
    return nullptr;
}

// Main loop: everything needed to show or check a configuration.
ConfigView config_view(const std::string& app, bool with_values) {
    ConfigView v;
    v.app = app;
    auto list = apps();
    const AppStatus* a = find_app(list, app);
    if (a == nullptr) {
        v.status = 404;
        v.error = "no such application";
        return v;
    }
    v.defs = a->def.config;
    std::vector<zqw::FieldInfo> all;
    if (!zqw::list_fields(all)) {
        v.status = 500;
        v.error = db_error("cannot list the fields");
        return v;
    }
    for (const auto& d : v.defs) {
        zqw::FieldInfo fi;
        for (const auto& f : all)
            if (f.name == d.field) fi = f;
        v.fields.push_back(fi);
    }
    v.map = open_map();
    if (!with_values) return v;
    zqw::MapRow row;
    if (!map_info_of(v.map, row)) {
        v.status = 500;
        v.error = db_error("cannot read the open map");
        return v;
    }
    ZqwMapInfo info{row.name.data(), row.read_only ? 1 : 0, row.id};
    ZqwFieldBindList* stored = ZqwGetAppConfigValues(&info, app.c_str());
    if (stored != nullptr) {
        for (unsigned i = 0; i < stored->count; ++i) {
            const ZqwFieldBinding& b = stored->entries[i];
            if (b.value == nullptr) continue;
            for (const auto& f : v.fields)
                if (f.id == b.field_id) v.values[f.name] = value_json(*b.value, f);
        }
        ZqwDbFreeFieldBindList(stored);
    }
    return v;
}

void get_config(const httplib::Request& req, httplib::Response& res) {
    std::string app = req.get_param_value("app");
    if (app.empty()) return fail(res, 400, "app names the application");
    auto r = on_main([app] { return config_view(app, true); });
    if (!r) return busy(res);
    if (r->status != 200) return fail(res, r->status, r->error);
    json fields = json::array();
    for (size_t i = 0; i < r->defs.size(); ++i) {
        const auto& f = r->fields[i];
        json j{{"field", r->defs[i].field}, {"label", r->defs[i].label}, {"type", zqw::type_name(f.type)}};
        if (f.type == ZQW_ENUM_FIELD) j["values"] = f.values;
        if (r->values.contains(f.name)) j["value"] = r->values[f.name];
        fields.push_back(j);
    }
    reply(res, json{{"app", app}, {"map", r->map}, {"fields", fields}});
}

// Builds the binding list of values ({"field": value}) against the view; the list
// is malloc'd as ZqwDbFreeFieldBindList expects.  Empty error on success.
std::string bind_values(const ConfigView& v, const json& values, ZqwFieldBindList*& out) {
    out = nullptr;
    if (!values.is_object()) return "\"values\" must be an object of field names and values";
    for (const auto& [name, value] : values.items()) {
        bool known = false;
        for (const auto& d : v.defs) known = known || d.field == name;
        if (!known) return "\"" + name + "\" is not a configuration field of " + v.app;
        (void)value;
    }
    auto* list = static_cast<ZqwFieldBindList*>(calloc(1, sizeof(ZqwFieldBindList)));
    if (list == nullptr) return "out of memory";
    list->entries = static_cast<ZqwFieldBinding*>(calloc(v.defs.size() + 1, sizeof(ZqwFieldBinding)));
    if (list->entries == nullptr) {
        ZqwDbFreeFieldBindList(list);
        return "out of memory";
    }
    // Frees the list made so far and gives the reason.
    auto refuse = [&list](std::string why) {
        ZqwDbFreeFieldBindList(list);
        return why;
    };
    for (size_t i = 0; i < v.defs.size(); ++i) {
        const auto& f = v.fields[i];
        auto it = values.find(v.defs[i].field);
        if (it == values.end()) continue;
        if (f.id == 0) return refuse("\"" + v.defs[i].field + "\" is not a registered field");
        auto* val = static_cast<ZqwFieldValue*>(calloc(1, sizeof(ZqwFieldValue)));
        if (val == nullptr) return refuse("out of memory");
        ZqwFieldBinding& b = list->entries[list->count++];
        b.field_id = f.id;
        b.value = val;
        val->field_type = f.type;
        std::string bad = "\"" + f.name + "\" takes ";
        switch (f.type) {
            case ZQW_BOOL_FIELD:
                if (!it->is_boolean()) return refuse(bad + "true or false");
                val->un.bool_val = it->get<bool>() ? 1 : 0;
                break;
            case ZQW_INT_FIELD:
                if (!it->is_number_integer() || it->get<int64_t>() < INT32_MIN || it->get<int64_t>() > INT32_MAX)
                    return refuse(bad + "a 32-bit integer");
                val->un.int_val = static_cast<int32_t>(it->get<int64_t>());
                break;
            case ZQW_STRING_FIELD: {
                if (!it->is_string()) return refuse(bad + "a text");
                std::string s = it->get<std::string>();
                if (s.find('\0') != std::string::npos) return refuse(bad + "a text without NUL");
                val->un.string_val = strdup(s.c_str());
                if (val->un.string_val == nullptr) return refuse("out of memory");
                break;
            }
            case ZQW_ENUM_FIELD: {
                int index = -1;
                if (it->is_string()) {
                    for (size_t k = 0; k < f.values.size(); ++k)
                        if (f.values[k] == it->get<std::string>()) index = static_cast<int>(k);
                } else if (it->is_number_integer() && it->get<int64_t>() >= 0 &&
                           it->get<int64_t>() < static_cast<int64_t>(f.values.size())) {
                    index = static_cast<int>(it->get<int64_t>());
                }
                if (index < 0) return refuse(bad + "one of its names");
                val->un.enum_val = index;
                break;
            }
            default: return refuse("\"" + f.name + "\" has an unknown type");
        }
    }
    out = list;
    return "";
}

struct VerifyResult {
    int status = 200;
    std::string error;
    bool replied = false, accept = false;
    std::string message;
};

void post_config_verify(const httplib::Request& req, httplib::Response& res) {
    auto body = body_of(req, res);
    if (!body) return;
    std::string app;
    if (!text_of(*body, "app", app, res)) return;
    json values = body->value("values", json());
    // query_config answers through a callback on the main loop; the promise
    // carries that answer back here.
    auto promise = std::make_shared<std::promise<VerifyResult>>();
    auto future = promise->get_future();
    post([app, values, promise] {
        ConfigView v = config_view(app, false);
        VerifyResult r;
        if (v.status != 200) {
            r.status = v.status;
            r.error = v.error;
            promise->set_value(r);
            return;
        }
        ZqwFieldBindList* list = nullptr;
        std::string error = bind_values(v, values, list);
        if (!error.empty()) {
            r.status = 400;
            r.error = error;
            promise->set_value(r);
            return;
        }
        auto answered = std::make_shared<std::once_flag>();
        query_config(app, *list, [promise, answered](bool replied, bool accept, std::string message) {
            std::call_once(*answered, [&] {
                VerifyResult a;
                a.replied = replied;
                a.accept = accept;
                a.message = std::move(message);
                promise->set_value(a);
            });
        });
        ZqwDbFreeFieldBindList(list);
    });
    auto deadline = Clock::now() + std::chrono::milliseconds(kConfigTimeoutMs);
    while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (stopping() || Clock::now() >= deadline) return busy(res);
    }
    VerifyResult r;
    try {
        r = future.get();
    } catch (...) {
        // The loop dropped the job: it is ending.
        return busy(res);
    }
    if (r.status != 200) return fail(res, r.status, r.error);
    reply(res, json{{"replied", r.replied}, {"accept", r.accept}, {"message", r.message}});
}

void post_config_confirm(const httplib::Request& req, httplib::Response& res) {
    auto body = body_of(req, res);
    if (!body) return;
    std::string app;
    if (!text_of(*body, "app", app, res)) return;
    json values = body->value("values", json());
    auto r = on_main([app, values]() -> std::pair<int, std::string> {
        ConfigView v = config_view(app, false);
        if (v.status != 200) return {v.status, v.error};
        ZqwFieldBindList* list = nullptr;
        std::string error = bind_values(v, values, list);
        if (!error.empty()) return {400, error};
        bool ok = confirm_config(app, *list, error);
        ZqwDbFreeFieldBindList(list);
        if (!ok) return {400, error.empty() ? std::string("cannot store the values") : error};
        return {200, ""};
    });
    if (!r) return busy(res);
    if (r->first != 200) return fail(res, r->first, r->second);
    reply(res, json{{"stored", app}});
}

// ---- static files ---------------------------------------------------------------

void serve_asset(const httplib::Request& req, httplib::Response& res) {
    std::string path = req.path == "/" ? "/index.html" : req.path;
    const WebAsset* a = find_web_asset(path.substr(1));
    if (a == nullptr) return fail(res, 404, "no such file");
    // Types chosen so that the library does not compress: on loopback the bytes
    // are cheaper than the compressor.
    res.set_content(a->data, a->size, a->type);
    res.set_header("Cache-Control", "no-cache");
}

void add_headers(const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "same-origin");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
                   "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    if (req.path.starts_with("/api/")) res.set_header("Cache-Control", "no-store");
}

}  // namespace

// httpkit.h, for the calls kept in files of their own.
namespace web {
bool stopping() { return map::stopping(); }
void reply(httplib::Response& res, const json& j, int status) { map::reply(res, j, status); }
void fail(httplib::Response& res, int status, const std::string& message) { map::fail(res, status, message); }
void busy(httplib::Response& res) { map::busy(res); }
std::optional<json> body_of(const httplib::Request& req, httplib::Response& res) { return map::body_of(req, res); }
bool path_id(const httplib::Request& req, size_t i, uint32_t& out) { return map::path_id(req, i, out); }
}  // namespace web

bool start_http(std::string& error) {
    if (g_state != nullptr) return true;
    InstanceConf conf = read_instance_conf();
    if (std::string why = http_access_problem(conf); !why.empty()) {
        error = "conf/zq.conf: " + why;
        return false;
    }
    // Every worker thread would otherwise get a malloc arena of its own, each
    // keeping what a large answer once needed.
    mallopt(M_ARENA_MAX, 2);
    auto* st = new State;
    if (conf.http_auth) st->password = conf.http_password;
    st->loopback_only = is_loopback_host(conf.http_listen);
    auto& s = st->server;
    s.set_payload_max_length(kMaxBody);
    s.set_pre_routing_handler(check_request);
    s.set_post_routing_handler(add_headers);

    s.Get("/api/maps", get_maps);
    s.Post(R"(/api/maps/(\d+)/open)", post_open);
    s.Get(R"(/api/maps/(\d+|open)/symbols)", get_symbols);
    s.Get(R"(/api/maps/(\d+)/changes)", get_changes);
    s.Post(R"(/api/maps/(\d+)/positions)", post_positions);
    s.Post("/api/symbols/manage", post_manage);
    s.Post("/api/objects/delete", post_delete);
    s.Get(R"(/api/objects/(\d+))", get_object);
    s.Get("/api/apps", get_apps);
    s.Post("/api/apps/restart", post_restart);
    s.Post("/api/actions", post_action);
    s.Post("/api/actions/fit", post_action_fit);
    s.Get("/api/apps/config", get_config);
    s.Post("/api/apps/config/verify", post_config_verify);
    s.Post("/api/apps/config/confirm", post_config_confirm);
    add_event_routes(s);
    add_map_routes(s);
    s.Get("/metrics", get_metrics);
    s.Get(R"(/api/.*)", [](const httplib::Request&, httplib::Response& res) { fail(res, 404, "no such call"); });
    s.Post(R"(/.*)", [](const httplib::Request&, httplib::Response& res) { fail(res, 404, "no such call"); });
    s.Get(R"(/[A-Za-z0-9._-]*)", serve_asset);

    if (!s.bind_to_port(conf.http_listen, conf.http_port)) {
        error = "cannot listen for HTTP on " + conf.http_listen + ":" + std::to_string(conf.http_port) + ": " +
                std::strerror(errno);
        delete st;
        return false;
    }
    g_state = st;
    // Each open page keeps a long poll waiting on a worker (kPollsInAll at
    // most); the rest stay for the short requests.
    FrontLimits limits;
    limits.workers = 48;
    st->server.start(limits);
    return true;
}

void stop_http() {
    State* st = g_state;
    if (st == nullptr) return;
    st->stopping = true;
    wake_change_waiters();
    st->server.stop_all();
    g_state = nullptr;
    delete st;
}

}  // namespace zq::map
