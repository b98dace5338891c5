#include "evstore.h"

#include <cstring>
#include <ctime>
#include <functional>
#include <tuple>

#include <nlohmann/json.hpp>

#include "zqcommon.h"

namespace zq::ev {

namespace {

using json = nlohmann::json;

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS events(
  id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, version INTEGER NOT NULL,
  trap_id TEXT NOT NULL, enterprise TEXT NOT NULL, generic INTEGER NOT NULL, specific INTEGER NOT NULL,
  agent TEXT NOT NULL, community TEXT NOT NULL, timestamp INTEGER NOT NULL,
  node INTEGER NOT NULL, node_name TEXT NOT NULL, name TEXT NOT NULL, category TEXT NOT NULL,
  severity INTEGER NOT NULL, text TEXT NOT NULL, log_only INTEGER NOT NULL, alarm INTEGER NOT NULL,
  bindings TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_time ON events(time);
CREATE INDEX IF NOT EXISTS events_by_node ON events(node);
CREATE TABLE IF NOT EXISTS alarms(
  id INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT NOT NULL, source TEXT NOT NULL, name TEXT NOT NULL,
  category TEXT NOT NULL, severity INTEGER NOT NULL, node INTEGER NOT NULL, node_name TEXT NOT NULL,
  agent TEXT NOT NULL, text TEXT NOT NULL, count INTEGER NOT NULL, first INTEGER NOT NULL,
  last INTEGER NOT NULL, last_event INTEGER NOT NULL, acked INTEGER NOT NULL DEFAULT 0,
  ack_by TEXT NOT NULL DEFAULT '', ack_time INTEGER NOT NULL DEFAULT 0, cleared INTEGER NOT NULL DEFAULT 0,
  cleared_time INTEGER NOT NULL DEFAULT 0, seq INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS alarms_open ON alarms(key) WHERE cleared = 0;
CREATE INDEX IF NOT EXISTS alarms_by_source ON alarms(source, name) WHERE cleared = 0;
CREATE INDEX IF NOT EXISTS alarms_by_seq ON alarms(seq);
CREATE INDEX IF NOT EXISTS alarms_by_last ON alarms(last);
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS event_kinds(severity INTEGER NOT NULL, category TEXT NOT NULL, name TEXT NOT NULL,
  log_only INTEGER NOT NULL, n INTEGER NOT NULL, PRIMARY KEY(severity, category, name, log_only)) WITHOUT ROWID;
CREATE TRIGGER IF NOT EXISTS events_uncounted AFTER DELETE ON events BEGIN
  UPDATE event_kinds SET n = n - 1 WHERE severity = old.severity AND category = old.category AND name = old.name
    AND log_only = old.log_only;
END;
INSERT OR IGNORE INTO meta VALUES ('alarm_seq', 0), ('removed', 0), ('lost', 0), ('format', 1), ('indexed', 0);
)";

std::string col_text(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, i))) : "";
}

void bind_text(sqlite3_stmt* s, int i, const std::string& t) {
    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
}

// A text that stays as it is until the statement is reset (no copy).
void bind_kept(sqlite3_stmt* s, int i, const std::string& t) {
    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_STATIC);
}

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// Plain text for a JSON string as it is: printable ASCII without '"' and '\\'.
bool json_plain(const std::string& t) {
    for (unsigned char c : t)
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
    return true;
}

std::string bindings_text(const std::vector<Binding>& bs) {
    // The usual bindings (OIDs, numbers, plain text) are written directly, as
    // the JSON library would write them; any other goes through it.
    std::string out = "[";
    bool plain = true;
    for (const auto& b : bs) {
        if (!(plain = json_plain(b.oid) && json_plain(b.type) && json_plain(b.value))) break;
        if (out.size() > 1) out += ',';
        // The keys in the library's order (by name).
        if (b.hex) out += "{\"hex\":\"" + b.value + "\",\"oid\":\"" + b.oid + "\",\"type\":\"" + b.type + "\"}";
        else out += "{\"oid\":\"" + b.oid + "\",\"type\":\"" + b.type + "\",\"value\":\"" + b.value + "\"}";
    }
    if (plain) return out + "]";
    json a = json::array();
    for (const auto& b : bs) {
        json o{{"oid", b.oid}, {"type", b.type}};
        o[b.hex ? "hex" : "value"] = b.value;
        a.push_back(std::move(o));
    }
    return dump(a);
}

// A query built from a filter: the SQL and the values bound to its '?'s in order.
struct Query {
    std::string sql;
    std::vector<std::string> texts;
    std::vector<int> kinds;                        // 0 text, 1 number, in order
    std::vector<int64_t> nums;
    void text(const std::string& t) {
        kinds.push_back(0);
        texts.push_back(t);
    }
    void number(int64_t v) {
        kinds.push_back(1);
        nums.push_back(v);
    }
    void bind(sqlite3_stmt* s) const {
        size_t t = 0, n = 0;
        for (size_t i = 0; i < kinds.size(); ++i) {
            int pos = static_cast<int>(i) + 1;
            if (kinds[i] == 0) bind_text(s, pos, texts[t++]);
            else sqlite3_bind_int64(s, pos, nums[n++]);
        }
    }
    // Rows after f.since and up to f.upto by col (ids, change numbers).
    void range(const Filter& f, const char* col) {
        sql += std::string(" AND ") + col + " > ?";
        number(f.since);
        if (f.upto) {
            sql += std::string(" AND ") + col + " <= ?";
            number(f.upto);
        }
    }
    // Runs it (prepared for this once; built texts are not kept), row for each
    // row; the last result code (SQLITE_DONE when all went well).
    int run(sqlite3* db, const std::function<void(sqlite3_stmt*)>& row) const {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
        if (rc != SQLITE_OK) return rc;
        bind(s);
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) row(s);
        sqlite3_finalize(s);
        return rc;
    }
};

// LIKE pattern for a part of a text; '\' escapes the wildcards.
std::string like_part(const std::string& t) {
    std::string p = "%";
    for (char c : t) {
        if (c == '%' || c == '_' || c == '\\') p += '\\';
        p += c;
    }
    return p + "%";
}

void common_conditions(const Filter& f, Query& q, const char* time_col) {
    if (!f.severities.empty()) {
        q.sql += " AND severity IN (";
        for (size_t i = 0; i < f.severities.size(); ++i) {
            q.sql += i ? ",?" : "?";
            q.number(f.severities[i]);
        }
        q.sql += ")";
    }
    for (auto [list, col] : {std::pair{&f.categories, "category"}, std::pair{&f.names, "name"}}) {
        if (list->empty()) continue;
        q.sql += std::string(" AND ") + col + " IN (";
        for (size_t i = 0; i < list->size(); ++i) {
            q.sql += i ? ",?" : "?";
            q.text((*list)[i]);
        }
        q.sql += ")";
    }
    if (f.node) {
        q.sql += " AND node = ?";
        q.number(f.node);
    } else if (!f.node_name.empty()) {
        q.sql += " AND (node_name = ? COLLATE NOCASE OR agent = ?)";
        q.text(f.node_name);
        q.text(f.node_name);
    }
    if (!f.text.empty()) {
        q.sql += " AND text LIKE ? ESCAPE '\\'";
        q.text(like_part(f.text));
    }
    if (f.from_ms) {
        q.sql += std::string(" AND ") + time_col + " >= ?";
        q.number(f.from_ms);
    }
    if (f.until_ms) {
        q.sql += std::string(" AND ") + time_col + " <= ?";
        q.number(f.until_ms);
    }
}

bool split_list(const std::string& v, std::vector<std::string>& out) {
    out = list_items(v);
    return !out.empty();
}

bool whole(const std::string& v, int64_t lo, int64_t hi, int64_t& out) {
    if (v.empty() || v.size() > 18) return false;
    int64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n < lo || n > hi) return false;
    out = n;
    return true;
}

}  // namespace

std::string store_path() { return instance_path("db/events.db"); }

bool parse_time(const std::string& text, int64_t& ms) {
    int64_t n = 0;
    if (whole(text, 0, 4102444800000LL, n)) {
        ms = n;
        return true;
    }
    struct tm t {};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M", &t);
    if (end == nullptr) return false;
    int frac = 0;
    if (*end == ':') {
        const char* e2 = strptime(end, ":%S", &t);
        if (e2 == nullptr) return false;
        end = e2;
        if (*end == '.') {
            int digits = 0;
            for (++end; *end >= '0' && *end <= '9'; ++end)
                if (digits < 3) frac = frac * 10 + (*end - '0'), ++digits;
            while (digits++ < 3) frac *= 10;
        }
    }
    if (*end == 'Z') ++end;
    if (*end != '\0') return false;
    time_t secs = timegm(&t);
    if (secs < 0) return false;
    ms = static_cast<int64_t>(secs) * 1000 + frac;
    return true;
}

std::string format_time(int64_t ms) {
    time_t secs = static_cast<time_t>(ms / 1000);
    struct tm t {};
    gmtime_r(&secs, &t);
    char buf[40];
    size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
    snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms % 1000));
    return buf;
}

bool parse_filter(const std::string& name, const std::string& value, bool alarms, Filter& f, std::string& reason) {
    auto bad = [&](const std::string& what) {
        reason = name + ": " + what + ", not '" + value + "'";
        return false;
    };
    int64_t n = 0;
    if (name == "severity") {
        std::vector<std::string> items;
        if (!split_list(value, items)) return bad("expected severities (Normal, Warning, Minor, Major, Critical)");
        f.severities.clear();
        for (auto& it : items) {
            int s = 0;
            if (!parse_severity(it, s)) return bad("expected severities (Normal, Warning, Minor, Major, Critical)");
            f.severities.push_back(s);
        }
    } else if (name == "category" || name == "name") {
        auto& list = name == "category" ? f.categories : f.names;
        if (!split_list(value, list)) return bad("expected one or more names");
    } else if (name == "node") {
        if (value.empty()) return bad("expected a node id or name");
        if (whole(value, 1, 0xffffffffLL, n)) f.node = static_cast<uint32_t>(n);
        else f.node_name = value;
    } else if (name == "text") {
        f.text = value;
    } else if (name == "from" || name == "until") {
        if (!parse_time(value, n)) return bad("expected a time (2026-12-08T08:15:00Z, UTC, or milliseconds)");
        (name == "from" ? f.from_ms : f.until_ms) = n;
    } else if (name == "since") {
        if (!whole(value, 0, INT64_MAX / 2, n)) return bad(alarms ? "expected a change number" : "expected an event id");
        f.since = n;
    } else if (name == "limit") {
        if (!whole(value, 1, 10000, n)) return bad("expected a number 1..10000");
        f.limit = static_cast<int>(n);
    } else if (name == "log_only" && !alarms) {
        int b = 0;
        if (!parse_bool_word(value, b)) return bad("expected true or false");
        f.log_only = b;
    } else if (name == "state" && alarms) {
        if (value != "open" && value != "unacked" && value != "acked" && value != "cleared" && value != "all")
            return bad("expected open, unacked, acked, cleared or all");
        f.state = value;
    } else {
        reason = "unknown parameter '" + name + "'";
        return false;
    }
    return true;
}

Store::~Store() {
    for (auto& [sql, s] : stmts_) sqlite3_finalize(s.second);
    for (sqlite3_stmt* s : owned_) sqlite3_finalize(s);
    if (db_) sqlite3_close(db_);
}

bool Store::fail(const char* what) {
    error_ = std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : "no database");
    return false;
}

bool Store::exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        error_ = std::string("event store: ") + (msg ? msg : "failed");
        sqlite3_free(msg);
        return false;
    }
    return true;
}

bool Store::run(const char* sql, std::initializer_list<int64_t> args, int64_t* changed) {
    sqlite3_stmt* s = prepare(sql);
    if (!s) return false;
    int i = 0;
    for (int64_t v : args) sqlite3_bind_int64(s, ++i, v);
    if (sqlite3_step(s) != SQLITE_DONE) return false;
    if (changed) *changed += sqlite3_changes(db_);
    return true;
}

sqlite3_stmt* Store::prepare(const char* sql) {
    // Kept under the text's address (the writer asks for the same few
    // statements thousands of times a second); the text itself confirms it.
    auto it = stmts_.find(sql);
    if (it != stmts_.end()) {
        if (it->second.first == sql) {
            sqlite3_reset(it->second.second);
            sqlite3_clear_bindings(it->second.second);
            return it->second.second;
        }
        sqlite3_finalize(it->second.second);
        stmts_.erase(it);
    }
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
        fail("event store");
        return nullptr;
    }
    if (stmts_.size() < 64) stmts_.emplace(sql, std::pair<std::string, sqlite3_stmt*>{sql, s});
    else owned_.push_back(s);  // finalized with the store
    return s;
}

bool Store::open(const std::string& path, bool writable) {
    int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        fail(("cannot open " + path).c_str());
        return false;
    }
    sqlite3_busy_timeout(db_, 10000);
    sqlite3_exec(db_, "PRAGMA cache_size = -4096", nullptr, nullptr, nullptr);  // 4 MB per connection
    if (!writable) {
        // A store that no writer has made yet has no tables: say so plainly.
        sqlite3_stmt* s = prepare("SELECT 1 FROM sqlite_master WHERE name = 'events'");
        bool ok = s && sqlite3_step(s) == SQLITE_ROW;
        if (s) sqlite3_reset(s);  // a statement left on a row would hold its snapshot for good
        if (!ok) error_ = path + " holds no event store (the map program makes it when it first runs)";
        return ok;
    }
    // The texts' trigram index, filled behind the intake (index_some) so that
    // indexing never slows the store down; meta 'indexed' says how far it got.
    if (!(exec("PRAGMA journal_mode = WAL") && exec("PRAGMA synchronous = NORMAL") && exec(kSchema) &&
          exec("CREATE VIRTUAL TABLE IF NOT EXISTS events_text USING fts5(text, content='events', "
               "content_rowid='id', tokenize='trigram')")))
        return false;
    // How many events of each kind the store holds (a filter on a kind that no
    // event has is answered from it); a store made before it is counted once.
    sqlite3_stmt* k = prepare("SELECT 1 FROM meta WHERE key = 'kinds'");
    bool counted = k && sqlite3_step(k) == SQLITE_ROW;
    if (k) sqlite3_reset(k);
    if (counted) return true;
    if (!exec("BEGIN IMMEDIATE")) return false;
    if (!exec("DELETE FROM event_kinds; INSERT INTO event_kinds SELECT severity, category, name, log_only, count(*) "
              "FROM events GROUP BY 1, 2, 3, 4; INSERT INTO meta VALUES ('kinds', 1)")) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

int64_t Store::meta_value(const char* key) {
    sqlite3_stmt* s = prepare("SELECT value FROM meta WHERE key = ?");
    int64_t v = 0;
    if (!s) return 0;
    sqlite3_bind_text(s, 1, key, -1, SQLITE_STATIC);
    if (sqlite3_step(s) == SQLITE_ROW) v = sqlite3_column_int64(s, 0);
    sqlite3_reset(s);
    return v;
}

bool Store::index_some(int chunk, int64_t& n) {
    n = 0;
    if (!exec("BEGIN IMMEDIATE")) return false;
    int64_t from = meta_value("indexed");
    sqlite3_stmt* s = prepare("SELECT max(id), count(*) FROM (SELECT id FROM events WHERE id > ? ORDER BY id LIMIT ?)");
    int64_t to = 0;
    bool ok = s != nullptr;
    if (ok) {
        sqlite3_bind_int64(s, 1, from);
        sqlite3_bind_int(s, 2, chunk);
        if (sqlite3_step(s) == SQLITE_ROW) {
            to = sqlite3_column_int64(s, 0);
            n = sqlite3_column_int64(s, 1);
        }
        sqlite3_reset(s);
    }
    if (ok && n) {
        ok = run("INSERT INTO events_text(rowid, text) SELECT id, text FROM events WHERE id > ? AND id <= ?",
                 {from, to}) &&
             run("UPDATE meta SET value = ? WHERE key = 'indexed'", {to});
    }
    if (!ok) {
        fail("event store: cannot index texts");
        exec("ROLLBACK");
        return false;
    }
    return exec(n ? "COMMIT" : "ROLLBACK");
}

int64_t Store::next_alarm_seq() {
    sqlite3_stmt* s = prepare("UPDATE meta SET value = value + 1 WHERE key = 'alarm_seq' RETURNING value");
    int64_t v = 0;
    if (s && sqlite3_step(s) == SQLITE_ROW) v = sqlite3_column_int64(s, 0);
    if (s) sqlite3_reset(s);
    return v;
}

bool Store::meta_add(const char* key, int64_t n) {
    sqlite3_stmt* s = prepare("UPDATE meta SET value = value + ? WHERE key = ?");
    if (!s) return false;
    sqlite3_bind_int64(s, 1, n);
    sqlite3_bind_text(s, 2, key, -1, SQLITE_STATIC);
    bool ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    return ok || fail("event store");
}

bool Store::add_lost(int64_t n) {
    if (!exec("BEGIN IMMEDIATE")) return false;
    if (!meta_add("lost", n)) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

namespace {

// An alarm that events of the batch fold into: written once, when the batch
// ends (or before a clear), with the count it gained and its newest event.
struct Folded {
    int64_t id = 0;
    int64_t gained = 0;
    const Event* last = nullptr;
};

}  // namespace

bool Store::add(std::vector<Event>& events) {
    if (events.empty()) return true;
    if (!exec("BEGIN IMMEDIATE")) return false;
    int64_t seq = 0;
    auto alarm_seq = [&] { return seq ? seq : (seq = next_alarm_seq()); };
    // This is the only writer of events: the ids are known before the rows
    // exist, so an alarm names its last event as it is written.
    sqlite3_stmt* n = prepare("SELECT max(COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'events'), 0), "
                              "COALESCE((SELECT max(id) FROM events), 0)) + 1");
    if (!n) return exec("ROLLBACK"), false;
    int64_t next_id = sqlite3_step(n) == SQLITE_ROW ? sqlite3_column_int64(n, 0) : 1;
    sqlite3_reset(n);
    std::unordered_map<std::string, Folded> folded;  // by reduction key
    std::map<std::tuple<int, std::string, std::string, int>, int64_t> kinds;
    auto write_folded = [&] {
        for (auto& [key, a] : folded) {
            if (!a.gained) continue;
            sqlite3_stmt* s = prepare("UPDATE alarms SET count = count + ?, last = ?, severity = ?, text = ?, "
                                      "node_name = ?, category = ?, seq = ?, last_event = ? WHERE id = ?");
            if (!s) return false;
            const Event& ev = *a.last;
            sqlite3_bind_int64(s, 1, a.gained);
            sqlite3_bind_int64(s, 2, ev.time_ms);
            sqlite3_bind_int(s, 3, ev.severity);
            bind_text(s, 4, ev.text);
            bind_text(s, 5, ev.node_name);
            bind_text(s, 6, ev.category);
            sqlite3_bind_int64(s, 7, alarm_seq());
            sqlite3_bind_int64(s, 8, ev.id);
            sqlite3_bind_int64(s, 9, a.id);
            if (sqlite3_step(s) != SQLITE_DONE) return false;
            a.gained = 0;
        }
        return true;
    };
    bool ok = true;
    for (auto& ev : events) {
        ev.id = next_id++;
        std::string source = ev.node ? "node:" + std::to_string(ev.node) : ev.agent;
        ev.alarm = 0;
        if (ev.action == kAlarm && !ev.clears.empty()) {
            // What the batch folded so far goes first: the clear must see it,
            // and the next event of a cleared alarm opens a new one.
            ok = write_folded();
            folded.clear();
            for (const auto& name : ev.clears) {
                sqlite3_stmt* s = ok ? prepare("UPDATE alarms SET cleared = 1, cleared_time = ?, seq = ? "
                                               "WHERE source = ? AND name = ? AND cleared = 0")
                                     : nullptr;
                if (!s) break;
                sqlite3_bind_int64(s, 1, ev.time_ms);
                sqlite3_bind_int64(s, 2, alarm_seq());
                bind_text(s, 3, source);
                bind_text(s, 4, name);
                ok = sqlite3_step(s) == SQLITE_DONE;
            }
        } else if (ev.action == kAlarm) {
            std::string key = ev.name + " " + ev.trap_id + " " + source;
            auto [it, fresh] = folded.try_emplace(key);
            Folded& a = it->second;
            if (fresh) {
                sqlite3_stmt* s = prepare("SELECT id FROM alarms WHERE key = ? AND cleared = 0");
                if (!s) return exec("ROLLBACK"), false;
                bind_text(s, 1, key);
                if (sqlite3_step(s) == SQLITE_ROW) a.id = sqlite3_column_int64(s, 0);
                sqlite3_reset(s);
            }
            if (a.id) {
                ++a.gained;
                a.last = &ev;
            } else {
                sqlite3_stmt* s = prepare("INSERT INTO alarms(key, source, name, category, severity, node, node_name, "
                                          "agent, text, count, first, last, last_event, seq) "
                                          "VALUES (?,?,?,?,?,?,?,?,?,1,?,?,?,?) RETURNING id");
                if (!s) return exec("ROLLBACK"), false;
                bind_text(s, 1, key);
                bind_text(s, 2, source);
                bind_text(s, 3, ev.name);
                bind_text(s, 4, ev.category);
                sqlite3_bind_int(s, 5, ev.severity);
                sqlite3_bind_int64(s, 6, ev.node);
                bind_text(s, 7, ev.node_name);
                bind_text(s, 8, ev.agent);
                bind_text(s, 9, ev.text);
                sqlite3_bind_int64(s, 10, ev.time_ms);
                sqlite3_bind_int64(s, 11, ev.time_ms);
                sqlite3_bind_int64(s, 12, ev.id);
                sqlite3_bind_int64(s, 13, alarm_seq());
                if (sqlite3_step(s) == SQLITE_ROW) a.id = sqlite3_column_int64(s, 0);
                else ok = false;
                sqlite3_reset(s);
            }
            ev.alarm = a.id;
        }
        sqlite3_stmt* s = ok ? prepare("INSERT INTO events(time, version, trap_id, enterprise, generic, specific, agent, "
                                       "community, timestamp, node, node_name, name, category, severity, text, "
                                       "log_only, alarm, bindings, id) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)")
                             : nullptr;
        if (!s) {
            ok = false;
            break;
        }
        int log_only = ev.action == kLogOnly ? 1 : 0;
        sqlite3_bind_int64(s, 1, ev.time_ms);
        sqlite3_bind_int(s, 2, ev.version);
        bind_kept(s, 3, ev.trap_id);
        bind_kept(s, 4, ev.enterprise);
        sqlite3_bind_int(s, 5, ev.generic);
        sqlite3_bind_int(s, 6, ev.specific);
        bind_kept(s, 7, ev.agent);
        bind_kept(s, 8, ev.community);
        sqlite3_bind_int64(s, 9, ev.timestamp);
        sqlite3_bind_int64(s, 10, ev.node);
        bind_kept(s, 11, ev.node_name);
        bind_kept(s, 12, ev.name);
        bind_kept(s, 13, ev.category);
        sqlite3_bind_int(s, 14, ev.severity);
        bind_kept(s, 15, ev.text);
        sqlite3_bind_int(s, 16, log_only);
        sqlite3_bind_int64(s, 17, ev.alarm);
        std::string bindings = bindings_text(ev.bindings);
        bind_kept(s, 18, bindings);
        sqlite3_bind_int64(s, 19, ev.id);
        ok = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);  // before the texts bound in place go
        if (!ok) break;
        ++kinds[{ev.severity, ev.name, ev.category, log_only}];
    }
    ok = ok && write_folded();
    for (auto& [k, count] : kinds) {
        if (!ok) break;
        sqlite3_stmt* s = prepare("INSERT INTO event_kinds(severity, name, category, log_only, n) VALUES (?,?,?,?,?) "
                                  "ON CONFLICT DO UPDATE SET n = n + excluded.n");
        if (!s) {
            ok = false;
            break;
        }
        sqlite3_bind_int(s, 1, std::get<0>(k));
        bind_text(s, 2, std::get<1>(k));
        bind_text(s, 3, std::get<2>(k));
        sqlite3_bind_int(s, 4, std::get<3>(k));
        sqlite3_bind_int64(s, 5, count);
        ok = sqlite3_step(s) == SQLITE_DONE;
    }
    if (!ok) {
        fail("event store: cannot store events");
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

bool Store::prune(int64_t max_count, int max_days, int64_t now_ms, int chunk, int64_t& n) {
    n = 0;
    if (!exec("BEGIN IMMEDIATE")) return false;
    // Two look-ups at the ends of the table (min and max in one aggregate would read an index whole).
    sqlite3_stmt* s = prepare("SELECT (SELECT min(id) FROM events), (SELECT max(id) FROM events)");
    int64_t lo = 0, hi = -1;
    if (s && sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL) {
        lo = sqlite3_column_int64(s, 0);
        hi = sqlite3_column_int64(s, 1);
    }
    if (s) sqlite3_reset(s);
    // Ids only ever grow and only the oldest go, so the ids in between are the count.
    int64_t over = (hi - lo + 1) - max_count;
    bool ok = true;
    // What goes leaves the text index first (it needs the texts to find them).
    int64_t indexed = meta_value("indexed");
    if (over > 0) {
        int64_t cut = lo + std::min<int64_t>(over, chunk);
        ok = run("INSERT INTO events_text(events_text, rowid, text) SELECT 'delete', id, text FROM events "
                 "WHERE id < ? AND id <= ?",
                 {cut, indexed}) &&
             run("DELETE FROM events WHERE id < ?", {cut}, &n);
    }
    int64_t cutoff = now_ms - static_cast<int64_t>(max_days) * 86400000LL;
    // The oldest by time, through its index (by id, every younger event would be read to find none).
    ok = ok &&
         run("INSERT INTO events_text(events_text, rowid, text) SELECT 'delete', id, text FROM events "
             "WHERE id IN (SELECT id FROM events WHERE time < ? ORDER BY time LIMIT ?) AND id <= ?",
             {cutoff, chunk, indexed}) &&
         run("DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time < ? ORDER BY time LIMIT ?)",
             {cutoff, chunk}, &n) &&
         run("DELETE FROM alarms WHERE id IN (SELECT id FROM alarms WHERE last < ? AND cleared = 1 LIMIT ?)",
             {cutoff, chunk});
    if (ok && n) ok = meta_add("removed", n);
    if (!ok) {
        fail("event store: cannot remove old events");
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

bool Store::acknowledge(const std::vector<int64_t>& ids, bool ack, const std::string& who, int64_t now_ms,
                        int64_t& changed) {
    changed = 0;
    if (!exec("BEGIN IMMEDIATE")) return false;
    int64_t seq = 0;
    for (int64_t id : ids) {
        sqlite3_stmt* s = prepare("UPDATE alarms SET acked = ?, ack_by = ?, ack_time = ?, seq = ? WHERE id = ? AND acked <> ?");
        if (!s) return exec("ROLLBACK"), false;
        if (!seq) seq = next_alarm_seq();
        sqlite3_bind_int(s, 1, ack ? 1 : 0);
        bind_text(s, 2, who);
        sqlite3_bind_int64(s, 3, now_ms);
        sqlite3_bind_int64(s, 4, seq);
        sqlite3_bind_int64(s, 5, id);
        sqlite3_bind_int(s, 6, ack ? 1 : 0);
        if (sqlite3_step(s) != SQLITE_DONE) {
            fail("event store: cannot change an alarm");
            exec("ROLLBACK");
            return false;
        }
        changed += sqlite3_changes(db_);
    }
    // Nothing changed: the change number stays as it was (no empty wake-ups).
    if (!changed) return exec("ROLLBACK");
    return exec("COMMIT");
}

bool Store::counters(Counters& c) {
    c = Counters{};
    sqlite3_stmt* s = prepare(
        "SELECT (SELECT seq FROM sqlite_sequence WHERE name = 'events'), "
        "(SELECT value FROM meta WHERE key = 'alarm_seq'), (SELECT value FROM meta WHERE key = 'removed'), "
        "(SELECT value FROM meta WHERE key = 'lost'), (SELECT value FROM meta WHERE key = 'indexed')");
    if (!s) return false;
    bool ok = sqlite3_step(s) == SQLITE_ROW;
    if (ok) {
        c.last_event = sqlite3_column_int64(s, 0);
        c.alarm_seq = sqlite3_column_int64(s, 1);
        c.removed = sqlite3_column_int64(s, 2);
        c.lost = sqlite3_column_int64(s, 3);
        c.indexed = sqlite3_column_int64(s, 4);
    }
    sqlite3_reset(s);
    return ok || fail("event store");
}

namespace {

#define EVENT_COLS                                                                                               \
    "SELECT e.id, e.time, e.version, e.trap_id, e.enterprise, e.generic, e.specific, e.agent, e.community, "     \
    "e.timestamp, e.node, e.node_name, e.name, e.category, e.severity, e.text, e.log_only, e.alarm, e.bindings " \
    "FROM events e"

void read_event(sqlite3_stmt* s, Event& e) {
    e.id = sqlite3_column_int64(s, 0);
    e.time_ms = sqlite3_column_int64(s, 1);
    e.version = sqlite3_column_int(s, 2);
    e.trap_id = col_text(s, 3);
    e.enterprise = col_text(s, 4);
    e.generic = sqlite3_column_int(s, 5);
    e.specific = sqlite3_column_int(s, 6);
    e.agent = col_text(s, 7);
    e.community = col_text(s, 8);
    e.timestamp = static_cast<uint32_t>(sqlite3_column_int64(s, 9));
    e.node = static_cast<uint32_t>(sqlite3_column_int64(s, 10));
    e.node_name = col_text(s, 11);
    e.name = col_text(s, 12);
    e.category = col_text(s, 13);
    e.severity = sqlite3_column_int(s, 14);
    e.text = col_text(s, 15);
    e.action = sqlite3_column_int(s, 16) ? kLogOnly : kAlarm;
    e.alarm = sqlite3_column_int64(s, 17);
    e.bindings_json = col_text(s, 18);  // parsed only by those who need the records (JSON)
}

// The text index answers a part of a text of three characters or more.
bool indexable(const std::string& text) {
    size_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xc0) != 0x80;
    return chars >= 3;
}

// The index's query for a part of a text: one phrase, every character plain
// (LIKE's wildcards too).
std::string phrase(const std::string& text) {
    std::string p = "\"";
    for (char c : text) p += c == '"' ? std::string("\"\"") : std::string(1, c);
    return p + "\"";
}

}  // namespace

bool Store::kinds_present(const Filter& f, bool& any) {
    any = true;
    if (f.severities.empty() && f.categories.empty() && f.names.empty() && f.log_only < 0) return true;
    Filter kinds;
    kinds.severities = f.severities;
    kinds.categories = f.categories;
    kinds.names = f.names;
    // A store whose kinds are not counted yet may hold any.
    Query q;
    q.sql = "SELECT NOT EXISTS (SELECT 1 FROM meta WHERE key = 'kinds') OR EXISTS (SELECT 1 FROM event_kinds WHERE n > 0";
    common_conditions(kinds, q, "");
    if (f.log_only >= 0) {
        q.sql += " AND log_only = ?";
        q.number(f.log_only);
    }
    q.sql += ")";
    int rc = q.run(db_, [&](sqlite3_stmt* s) { any = sqlite3_column_int(s, 0) != 0; });
    if (rc == SQLITE_DONE) return true;
    any = true;
    // A store made before the kinds were counted, read before its writer came.
    return rc == SQLITE_ERROR || fail("event store");
}

// One part of a list: mode 0 every event (a text tested row by row), 1 the
// events the text index has not reached yet, 2 those it has (looked up there).
bool Store::events_part(const Filter& f, int mode, int64_t indexed, int limit, std::vector<Event>& out) {
    Query q;
    Filter rest = f;
    if (mode == 2) {
        q.sql = EVENT_COLS " JOIN events_text t ON t.rowid = e.id WHERE t.text MATCH ? AND e.id <= ?";
        q.text(phrase(f.text));
        q.number(indexed);
        rest.text.clear();
    } else {
        q.sql = mode == 1 ? EVENT_COLS " WHERE e.id > ?" : EVENT_COLS " WHERE 1";
        if (mode == 1) q.number(indexed);
    }
    q.range(f, "e.id");
    common_conditions(rest, q, "e.time");
    if (f.log_only >= 0) {
        q.sql += " AND e.log_only = ?";
        q.number(f.log_only);
    }
    q.sql += mode == 2 ? " ORDER BY t.rowid DESC LIMIT ?" : " ORDER BY e.id DESC LIMIT ?";
    q.number(limit);
    int rc = q.run(db_, [&](sqlite3_stmt* s) {
        out.emplace_back();
        read_event(s, out.back());
    });
    return rc == SQLITE_DONE || fail("event store");
}

bool Store::events(const Filter& f, std::vector<Event>& out, bool& more) {
    out.clear();
    more = false;
    // One read transaction, so every part sees the same store.  A kind no
    // event has is answered from the kinds' counts; a part of a text is
    // looked up in the text index where it reaches, and the newer rest is read
    // row by row.
    if (!exec("BEGIN")) return false;
    bool any = true;
    bool ok = kinds_present(f, any);
    if (ok && any && indexable(f.text)) {
        int64_t indexed = meta_value("indexed");
        ok = events_part(f, 1, indexed, f.limit + 1, out);
        if (ok && static_cast<int>(out.size()) <= f.limit)
            ok = events_part(f, 2, indexed, f.limit + 1 - static_cast<int>(out.size()), out);
    } else if (ok && any) {
        ok = events_part(f, 0, 0, f.limit + 1, out);
    }
    exec("COMMIT");
    if (static_cast<int>(out.size()) > f.limit) {
        out.resize(static_cast<size_t>(f.limit));
        more = true;
    }
    return ok;
}

bool Store::event(int64_t id, Event& out, bool& found) {
    found = false;
    sqlite3_stmt* s = prepare(EVENT_COLS " WHERE e.id = ?");
    if (!s) return false;
    sqlite3_bind_int64(s, 1, id);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        found = true;
        read_event(s, out);
    }
    sqlite3_reset(s);
    return rc == SQLITE_ROW || rc == SQLITE_DONE || fail("event store");
}

bool Store::alarms(const Filter& f, std::vector<Alarm>& out, bool& more) {
    out.clear();
    more = false;
    Query q;
    q.sql = "SELECT id, seq, key, name, category, node_name, agent, text, node, severity, count, first, last, "
            "last_event, acked, cleared, ack_by, ack_time, cleared_time FROM alarms WHERE 1";
    q.range(f, "seq");
    common_conditions(f, q, "last");
    if (f.state == "open") q.sql += " AND cleared = 0";
    else if (f.state == "unacked") q.sql += " AND cleared = 0 AND acked = 0";
    else if (f.state == "acked") q.sql += " AND cleared = 0 AND acked = 1";
    else if (f.state == "cleared") q.sql += " AND cleared = 1";
    q.sql += " ORDER BY last DESC, id DESC LIMIT ?";
    q.number(f.limit + 1);
    int rc = q.run(db_, [&](sqlite3_stmt* s) {
        Alarm a;
        a.id = sqlite3_column_int64(s, 0);
        a.seq = sqlite3_column_int64(s, 1);
        a.key = col_text(s, 2);
        a.name = col_text(s, 3);
        a.category = col_text(s, 4);
        a.node_name = col_text(s, 5);
        a.agent = col_text(s, 6);
        a.text = col_text(s, 7);
        a.node = static_cast<uint32_t>(sqlite3_column_int64(s, 8));
        a.severity = sqlite3_column_int(s, 9);
        a.count = sqlite3_column_int64(s, 10);
        a.first_ms = sqlite3_column_int64(s, 11);
        a.last_ms = sqlite3_column_int64(s, 12);
        a.last_event = sqlite3_column_int64(s, 13);
        a.acked = sqlite3_column_int(s, 14) != 0;
        a.cleared = sqlite3_column_int(s, 15) != 0;
        a.ack_by = col_text(s, 16);
        a.ack_ms = sqlite3_column_int64(s, 17);
        a.cleared_ms = sqlite3_column_int64(s, 18);
        out.push_back(std::move(a));
    });
    if (static_cast<int>(out.size()) > f.limit) {
        out.resize(static_cast<size_t>(f.limit));
        more = true;
    }
    return rc == SQLITE_DONE || fail("event store");
}

bool Store::marked_nodes(std::vector<uint32_t>& out) {
    out.clear();
    sqlite3_stmt* s = prepare(
        "SELECT DISTINCT node FROM alarms WHERE cleared = 0 AND acked = 0 AND severity >= 4 AND node <> 0 ORDER BY node");
    if (!s) return false;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) out.push_back(static_cast<uint32_t>(sqlite3_column_int64(s, 0)));
    sqlite3_reset(s);
    return rc == SQLITE_DONE || fail("event store");
}

std::string event_json(const Event& e) {
    json j{{"id", e.id},
           {"time", format_time(e.time_ms)},
           {"time_ms", e.time_ms},
           {"severity", severity_name(e.severity)},
           {"category", e.category},
           {"name", e.name},
           {"text", e.text},
           {"node", e.node},
           {"node_name", e.node_name},
           {"agent", e.agent},
           {"trap_id", e.trap_id},
           {"enterprise", e.enterprise},
           {"generic", e.generic},
           {"specific", e.specific},
           {"timestamp", e.timestamp},
           {"community", e.community},
           {"version", e.version == 1 ? "v2c" : "v1"},
           {"log_only", e.action == kLogOnly},
           {"alarm", e.alarm}};
    // The bindings as the store keeps them: JSON it wrote itself.
    std::string out = dump(j);
    out.pop_back();
    out += ",\"bindings\":";
    out += e.bindings_json.empty() ? bindings_text(e.bindings) : e.bindings_json;
    out += '}';
    return out;
}

std::string alarm_json(const Alarm& a) {
    json j{{"id", a.id},
           {"seq", a.seq},
           {"name", a.name},
           {"category", a.category},
           {"severity", severity_name(a.severity)},
           {"node", a.node},
           {"node_name", a.node_name},
           {"agent", a.agent},
           {"text", a.text},
           {"count", a.count},
           {"first", format_time(a.first_ms)},
           {"last", format_time(a.last_ms)},
           {"last_ms", a.last_ms},
           {"last_event", a.last_event},
           {"acked", a.acked},
           {"ack_by", a.ack_by},
           {"ack_time", a.ack_ms ? format_time(a.ack_ms) : ""},
           {"cleared", a.cleared},
           {"cleared_time", a.cleared_ms ? format_time(a.cleared_ms) : ""}};
    return dump(j);
}

}  // namespace zq::ev
