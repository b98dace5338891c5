// The library's SQL layer, shared by its source files (db.cpp, map.cpp): the
// connection of ZqwDbInit, cached statements, transactions and guarded(), the
// one place where the C++ inside turns into results and error numbers.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zqw.h"

namespace zq::zqw::sql {

// Per thread: a Reader's thread has errors of its own (ZqwError on the thread
// that uses the library is not touched by it).
inline thread_local int g_error = 0;

struct Fail {
    int code;
};
struct Busy {};

// Longest text a string field takes.
inline constexpr size_t kMaxText = 65535;
// Most bindings one created object takes, most conditions one list takes.
inline constexpr unsigned kMaxBindings = 1000;
inline constexpr unsigned kMaxConditions = 32;

struct Connection {
    sqlite3* db = nullptr;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    // Keyed by the address of the SQL text: every statement is a literal of this file.
    std::unordered_map<const char*, sqlite3_stmt*> statements;
    // Inserts of the first values of a new object, by the number of values.
    std::unordered_map<size_t, sqlite3_stmt*> inserts;
    // Lists by several conditions, by the number of conditions.
    std::unordered_map<size_t, sqlite3_stmt*> intersections;
    int cache_kib = 32768;  // SQLite's page cache of this connection, outside bulk transactions
    int depth = 0;   // open transactions: 1 in a call or a bulk transaction, 2 in a call inside a bulk one
    // In a bulk transaction this process holds the write lock, so no other
    // process can change the fields meanwhile: their types may be kept.
    bool bulk = false;
    std::unordered_map<ZqwFieldId, int> bulk_types;
    // Calls inside a bulk transaction run without savepoints (they cost a copy of
    // every page a call touches).  A call that fails after it changed something
    // spoils the bulk transaction, which then rolls back instead of committing.
    bool spoiled = false;
    // A group of calls (ZqwDbBegin to ZqwDbCommit): asked for, and begun in SQL
    // by its first call.  While it is open each writing call runs inside a
    // savepoint of its own, so that a failing call undoes only itself.  lost:
    // SQLite rolled the group back under a failing call (a full disk), so its
    // commit must fail.
    bool group = false;
    bool group_open = false;
    bool group_lost = false;
    // Map syncs (map.cpp): their nesting, the symbols whose change is already in
    // the change log of the open sync, and the symbol types found registered in it.
    int syncs = 0;
    std::unordered_set<uint32_t> logged;
    std::unordered_map<std::string, bool> types;
    // How long a call waits for a lock another process holds (db_busy_timeout of
    // conf/zq.conf), and since when the current call waits.
    std::chrono::milliseconds busy_timeout{30000};
    std::chrono::steady_clock::time_point call_start{};

    ~Connection() {
        for (auto& [sql, st] : statements) sqlite3_finalize(st);
        for (auto& [n, st] : inserts) sqlite3_finalize(st);
        for (auto& [n, st] : intersections) sqlite3_finalize(st);
        if (db != nullptr) sqlite3_close_v2(db);
    }
};

// The connection a call uses: the one of ZqwDbInit, or on a thread where a
// Reader lives (zqw_internal.h) that reader's own.
class Current {
public:
    Connection* get() const { return reader ? reader : owned_.get(); }
    Connection* operator->() const { return get(); }
    Connection& operator*() const { return *get(); }
    explicit operator bool() const { return get() != nullptr; }
    Current& operator=(std::unique_ptr<Connection> c) {
        owned_ = std::move(c);
        return *this;
    }
    void reset() { owned_.reset(); }
    static inline thread_local Connection* reader = nullptr;

private:
    std::unique_ptr<Connection> owned_;
};

inline Current g;

inline bool file_unreadable(const struct stat& st, const std::string& path) {
    static const bool root = geteuid() == 0;
    // root reads any file, so for root a file nobody may read counts as unreadable.
    if (root) return (st.st_mode & 0444) == 0;
    return access(path.c_str(), R_OK) != 0;
}

inline bool same_file(const Connection& c) {
    struct stat st;
    if (stat(c.path.c_str(), &st) != 0) return false;
    if (st.st_dev != c.dev || st.st_ino != c.ino) return false;
    return !file_unreadable(st, c.path);
}

inline void check_alive() {
    if (!g) throw Fail{ZQW_E_CONNLOST};
    // A bulk transaction checks the file when it begins and before it commits,
    // a group of calls when it begins.
    if (!g->bulk && !g->group_open && !same_file(*g)) throw Fail{ZQW_E_CONNLOST};
}

// Another process holds the database: wait, unless the file went away meanwhile.
inline bool waited_too_long(const Connection& c) {
    return c.call_start != std::chrono::steady_clock::time_point{} &&
           std::chrono::steady_clock::now() - c.call_start >= c.busy_timeout;
}

inline int busy_handler(void* data, int count) {
    auto* c = static_cast<Connection*>(data);
    if (waited_too_long(*c)) return 0;  // past db_busy_timeout: the call fails
    usleep(count < 20 ? 200 : 2000);
    if (count % 200 == 199 && !same_file(*c)) return 0;
    return 1;
}

[[noreturn]] inline void throw_rc(int rc) {
    int primary = rc & 0xff;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) throw Busy{};
    if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) throw Fail{ZQW_E_EXISTS};
    if (primary == SQLITE_CONSTRAINT) throw Fail{ZQW_E_BADARG};
    if (primary == SQLITE_NOMEM) throw std::bad_alloc();
    // Unreadable, damaged, read-only, replaced: the database is no longer usable.
    throw Fail{ZQW_E_CONNLOST};
}

// A cached prepared statement, reset when the object goes out of scope.
class Query {
public:
    explicit Query(const char* sql) {
        auto it = g->statements.find(sql);
        if (it != g->statements.end()) {
            st_ = it->second;
        } else {
            int rc = sqlite3_prepare_v3(g->db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr);
            if (rc != SQLITE_OK) throw_rc(rc);
            g->statements.emplace(sql, st_);
        }
    }
    // The insert of n values (object, field, value) in one statement.
    explicit Query(size_t n) {
        auto it = g->inserts.find(n);
        if (it != g->inserts.end()) {
            st_ = it->second;
            return;
        }
        // OR FAIL: no statement journal.  Every value was checked before, and a
        // failure still undoes the whole call (its transaction, or a spoiled bulk).
        std::string sql = "INSERT OR FAIL INTO vals(object, field, value) VALUES ";
        for (size_t i = 0; i < n; ++i) sql += i ? ",(?,?,?)" : "(?,?,?)";
        int rc = sqlite3_prepare_v3(g->db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr);
        if (rc != SQLITE_OK) throw_rc(rc);
        g->inserts.emplace(n, st_);
    }
    // The objects that meet n conditions (field ?1 = ?2 first, then ?3 = ?4 ...),
    // in id order, read along the first condition's index.
    struct Intersect {
        size_t n;
    };
    explicit Query(Intersect in) {
        auto it = g->intersections.find(in.n);
        if (it != g->intersections.end()) {
            st_ = it->second;
            return;
        }
        std::string sql = "SELECT c0.object FROM vals c0";
        for (size_t i = 1; i < in.n; ++i) {
            std::string c = "c" + std::to_string(i);
            sql += " CROSS JOIN vals " + c + " ON " + c + ".object = c0.object AND " + c + ".field = ?" +
                   std::to_string(2 * i + 1) + " AND " + c + ".value = ?" + std::to_string(2 * i + 2);
        }
        sql += " WHERE c0.field = ?1 AND c0.value = ?2 ORDER BY c0.object";
        int rc = sqlite3_prepare_v3(g->db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr);
        if (rc != SQLITE_OK) throw_rc(rc);
        g->intersections.emplace(in.n, st_);
    }
    ~Query() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& bind(int64_t v) {
        check(sqlite3_bind_int64(st_, ++n_, v));
        return *this;
    }
    Query& bind_real(double v) {
        check(sqlite3_bind_double(st_, ++n_, v));
        return *this;
    }
    Query& bind_null() {
        check(sqlite3_bind_null(st_, ++n_));
        return *this;
    }
    Query& bind(const std::string& v) {
        check(sqlite3_bind_text(st_, ++n_, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
        return *this;
    }
    // True when a row is there.
    bool step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw_rc(sqlite3_extended_errcode(g->db));
    }
    int64_t integer(int col) { return sqlite3_column_int64(st_, col); }
    double real(int col) { return sqlite3_column_double(st_, col); }
    bool is_null(int col) { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    std::string text(int col) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, col));
        int n = sqlite3_column_bytes(st_, col);
        return p ? std::string(p, static_cast<size_t>(n)) : std::string();
    }

private:
    static void check(int rc) {
        if (rc != SQLITE_OK) throw_rc(rc);
    }
    sqlite3_stmt* st_ = nullptr;
    int n_ = 0;
};

inline void run(const char* sql) {
    Query q(sql);
    q.step();
}

// One call's transaction: BEGIN (IMMEDIATE when it writes, so that no read lock
// ever has to be upgraded).  Inside a bulk transaction the call joins it; calls
// check everything they can before their first change.  Inside a group of calls
// the first call begins the group's transaction (IMMEDIATE: the group writes),
// and a writing call runs in a savepoint, undone alone when the call fails.
class Transaction {
public:
    explicit Transaction(bool write) {
        if (g->group && g->depth == 0) {
            if (g->group_open && sqlite3_get_autocommit(g->db)) {
                // SQLite gave the group up under an earlier call's failure.
                g->group_open = false;
                g->group_lost = true;
            }
            if (!g->group_open) {
                run("BEGIN IMMEDIATE");
                g->group_open = true;
            }
        }
        nested_ = g->depth > 0 || g->group_open;
        if (nested_) changes_ = sqlite3_total_changes64(g->db);
        else run(write ? "BEGIN IMMEDIATE" : "BEGIN");
        savepoint_ = write && g->group_open && !g->bulk;
        if (savepoint_) run("SAVEPOINT zqw_call");
        ++g->depth;
        active_ = true;
    }
    void commit() {
        if (savepoint_) run("RELEASE zqw_call");
        else if (!nested_) run("COMMIT");
        --g->depth;
        active_ = false;
    }
    ~Transaction() {
        if (!active_) return;
        --g->depth;
        if (savepoint_) {
            if (!sqlite3_get_autocommit(g->db))
                sqlite3_exec(g->db, "ROLLBACK TO zqw_call; RELEASE zqw_call", nullptr, nullptr, nullptr);
        } else if (!nested_) {
            sqlite3_exec(g->db, "ROLLBACK", nullptr, nullptr, nullptr);
        } else if (g->bulk && sqlite3_total_changes64(g->db) != changes_) {
            g->spoiled = true;
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

private:
    bool nested_ = false;
    bool savepoint_ = false;
    bool active_ = false;
    sqlite3_int64 changes_ = 0;
};

// The outermost call starts the clock of its wait for locks.
struct CallClock {
    Connection* c;
    bool outer;
    explicit CallClock(Connection* conn)
        : c(conn), outer(conn != nullptr && conn->call_start == std::chrono::steady_clock::time_point{}) {
        if (outer) c->call_start = std::chrono::steady_clock::now();
    }
    ~CallClock() {
        if (outer && g.get() == c) c->call_start = {};
    }
    CallClock(const CallClock&) = delete;
    CallClock& operator=(const CallClock&) = delete;
};

template <class R, class F>
R guarded(R on_failure, F&& body) {
    CallClock clock(g.get());
    try {
        for (int attempt = 0;; ++attempt) {
            try {
                check_alive();
                R r = body();
                g_error = ZQW_E_OK;
                return r;
            } catch (const Busy&) {
                // Another process held the lock past db_busy_timeout: the call fails.
                if (g && waited_too_long(*g)) throw Fail{ZQW_E_LOCKED};
                // Only cases SQLite does not wait for itself end up here.
                usleep(attempt < 20 ? 500 : 5000);
            }
        }
    } catch (const Fail& f) {
        g_error = f.code;
    } catch (const std::bad_alloc&) {
        g_error = ZQW_E_CONNLOST;
    } catch (...) {
        g_error = ZQW_E_CONNLOST;
    }
    return on_failure;
}

// --- building blocks over values (db.cpp; they throw Fail) -------------------

struct Value {
    int type = 0;
    int64_t number = 0;
    std::string text;
};

int field_type(ZqwFieldId field);
void require_object(ZqwObjectId object);
// A caller's value record checked against the field: 3, 62, 64, 70.
Value from_record(ZqwFieldId field, const ZqwFieldValue* rec);
Query& bind_value(Query& q, const Value& v);
char* heap_copy(const std::string& s);
ZqwObjectIdList* make_list(const std::vector<ZqwObjectId>& ids);
// The objects whose field has the value, in id order; how many, up to cap.
std::vector<ZqwObjectId> objects_with(ZqwFieldId field, const Value& v);
int64_t count_upto(ZqwFieldId field, const Value& v, int64_t cap);

// A condition "field = value" of a filter.
struct Condition {
    ZqwFieldId field = 0;
    Value value;
};
// The conditions of a caller's binding list, each value checked against its field.
std::vector<Condition> conditions_of(const ZqwFieldBindList& list);
// The index of the condition with the fewest matching objects (0 for fewer than
// two).  The counts are taken with a cap that starts at first_cap and grows
// fourfold until one count stays below it, so finding the condition costs about
// as much as its own matches, however many the others have.
size_t fewest_matches(const std::vector<Condition>& conds, int64_t first_cap);

}  // namespace zq::zqw::sql
