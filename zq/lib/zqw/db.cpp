// The database half of zqw over SQLite.
//
// Every entry point runs through guarded(): it checks that the database file is
// still the one that was opened, runs the body (which throws Fail for an error
// number), retries when SQLite reports the database busy, and turns the outcome
// into a result and an error number.  Nothing of the C++ side escapes to callers.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "schema.h"
#include "zqcommon.h"
#include "zqw.h"
#include "sql.h"
#include "zqw_internal.h"

namespace zq::zqw {

using namespace sql;

namespace sql {

// --- building blocks (they throw Fail) ---------------------------------------


int field_type(ZqwFieldId field) {
    if (field == 0) throw Fail{ZQW_E_BADARG};
    if (g->bulk) {
        auto it = g->bulk_types.find(field);
        if (it != g->bulk_types.end()) return it->second;
    }
    Query q("SELECT type FROM fields WHERE id = ?");
    q.bind(field);
    if (!q.step()) throw Fail{ZQW_E_NOFIELD};
    int type = static_cast<int>(q.integer(0));
    if (g->bulk) g->bulk_types[field] = type;
    return type;
}

void require_object(ZqwObjectId object) {
    if (object == 0) throw Fail{ZQW_E_BADARG};
    Query q("SELECT 1 FROM objects WHERE id = ?");
    q.bind(object);
    if (!q.step()) throw Fail{ZQW_E_NOOBJECT};
}

void require_enum_value(ZqwFieldId field, int64_t value) {
    Query q("SELECT 1 FROM enum_values WHERE field = ? AND value = ?");
    q.bind(field).bind(value);
    if (!q.step()) throw Fail{ZQW_E_NOENUM};
}

int64_t enum_index(ZqwFieldId field, const std::string& name) {
    Query q("SELECT value FROM enum_values WHERE field = ? AND name = ?");
    q.bind(field).bind(name);
    if (!q.step()) throw Fail{ZQW_E_NOENUM};
    return q.integer(0);
}

std::string enum_name(ZqwFieldId field, int64_t value) {
    Query q("SELECT name FROM enum_values WHERE field = ? AND value = ?");
    q.bind(field).bind(value);
    if (!q.step()) throw Fail{ZQW_E_NOENUM};
    return q.text(0);
}

// The stored value of (object, field) after the checks for arguments, field,
// type (want 0: any), object and value.
Value get_value(ZqwObjectId object, ZqwFieldId field, int want) {
    if (object == 0 || field == 0) throw Fail{ZQW_E_BADARG};
    Value v;
    bool has_value = false;
    {
        Query q("SELECT f.type, v.value FROM fields f "
                "LEFT JOIN vals v ON v.object = ?1 AND v.field = f.id WHERE f.id = ?2");
        q.bind(object).bind(field);
        if (!q.step()) throw Fail{ZQW_E_NOFIELD};
        v.type = static_cast<int>(q.integer(0));
        if (want != 0 && v.type != want) throw Fail{ZQW_E_BADTYPE};
        if (!q.is_null(1)) {
            has_value = true;
            if (v.type == ZQW_STRING_FIELD) v.text = q.text(1);
            else v.number = q.integer(1);
        }
    }
    if (!has_value) {
        require_object(object);
        throw Fail{ZQW_E_NOVALUE};
    }
    return v;
}

void check_text(ZqwFieldId field, const std::string& text) {
    if (text.size() > kMaxText) throw Fail{ZQW_E_BADARG};
    if ((field == kSelectionNameField || field == kHostnameField) && text.empty()) throw Fail{ZQW_E_BADARG};
}

// The checks of put_value for a new object, made before anything is written.
void check_value(ZqwFieldId field, const Value& v) {
    if (v.type == ZQW_STRING_FIELD) check_text(field, v.text);
    if (field == kSelectionNameField) {
        Query q("SELECT 1 FROM vals WHERE field = 1 AND value = ?");
        q.bind(v.text);
        if (q.step()) throw Fail{ZQW_E_EXISTS};
    }
}

// Stores a value that already has the field's type, inside a transaction.
void put_value(ZqwObjectId object, ZqwFieldId field, const Value& v) {
    if (v.type == ZQW_ENUM_FIELD) require_enum_value(field, v.number);
    if (v.type == ZQW_STRING_FIELD) check_text(field, v.text);
    // The same value again changes no page, so its commit writes nothing to the
    // log: a status poll mostly finds what it found last time.
    Query q("INSERT INTO vals(object, field, value) VALUES (?, ?, ?) "
            "ON CONFLICT(object, field) DO UPDATE SET value = excluded.value WHERE value IS NOT excluded.value");
    q.bind(object).bind(field);
    if (v.type == ZQW_STRING_FIELD) q.bind(v.text);
    else q.bind(v.number);
    q.step();  // a selection name another object has: unique index, error 63
}

// A caller's value record checked against the field: 3, 62, 64, 70.
Value from_record(ZqwFieldId field, const ZqwFieldValue* rec) {
    if (rec == nullptr || rec->is_list != 0 || field == 0) throw Fail{ZQW_E_BADARG};
    int type = field_type(field);
    if (rec->field_type != type) throw Fail{ZQW_E_BADTYPE};
    Value v;
    v.type = type;
    switch (type) {
        case ZQW_INT_FIELD: v.number = rec->un.int_val; break;
        case ZQW_BOOL_FIELD: v.number = rec->un.bool_val != 0 ? 1 : 0; break;
        case ZQW_ENUM_FIELD:
            v.number = rec->un.enum_val;
            require_enum_value(field, v.number);
            break;
        case ZQW_STRING_FIELD:
            if (rec->un.string_val == nullptr) throw Fail{ZQW_E_BADARG};
            v.text = rec->un.string_val;
            break;
        default: throw Fail{ZQW_E_BADTYPE};
    }
    return v;
}

int set_value(ZqwObjectId object, ZqwFieldId field, int type, Value v) {
    if (object == 0 || field == 0) throw Fail{ZQW_E_BADARG};
    Transaction t(true);
    if (field_type(field) != type) throw Fail{ZQW_E_BADTYPE};
    require_object(object);
    v.type = type;
    put_value(object, field, v);
    t.commit();
    return 1;
}

char* heap_copy(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p == nullptr) throw std::bad_alloc();
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

ZqwObjectIdList* make_list(const std::vector<ZqwObjectId>& ids) {
    auto* list = static_cast<ZqwObjectIdList*>(std::calloc(1, sizeof(ZqwObjectIdList)));
    if (list == nullptr) throw std::bad_alloc();
    if (!ids.empty()) {
        list->object_ids = static_cast<ZqwObjectId*>(std::malloc(ids.size() * sizeof(ZqwObjectId)));
        if (list->object_ids == nullptr) {
            std::free(list);
            throw std::bad_alloc();
        }
        std::memcpy(list->object_ids, ids.data(), ids.size() * sizeof(ZqwObjectId));
    }
    list->count = static_cast<unsigned>(ids.size());
    return list;
}

Query& bind_value(Query& q, const Value& v) {
    return v.type == ZQW_STRING_FIELD ? q.bind(v.text) : q.bind(v.number);
}

std::vector<ZqwObjectId> objects_with(ZqwFieldId field, const Value& v) {
    std::vector<ZqwObjectId> ids;
    Query q("SELECT object FROM vals WHERE field = ? AND value = ? ORDER BY object");
    bind_value(q.bind(field), v);
    while (q.step()) ids.push_back(static_cast<ZqwObjectId>(q.integer(0)));
    return ids;
}

// How many objects match, counting no further than cap.
int64_t count_upto(ZqwFieldId field, const Value& v, int64_t cap) {
    Query q("SELECT count(*) FROM (SELECT 1 FROM vals WHERE field = ? AND value = ? LIMIT ?)");
    bind_value(q.bind(field), v).bind(cap);
    q.step();
    return q.integer(0);
}

std::vector<Condition> conditions_of(const ZqwFieldBindList& list) {
    std::vector<Condition> conds;
    for (unsigned i = 0; i < list.count; ++i) {
        const ZqwFieldBinding& b = list.entries[i];
        conds.push_back({b.field_id, from_record(b.field_id, b.value)});
    }
    return conds;
}

size_t fewest_matches(const std::vector<Condition>& conds, int64_t first_cap) {
    size_t driver = 0;
    for (int64_t cap = first_cap; conds.size() > 1; cap *= 4) {
        int64_t best = -1;
        for (size_t i = 0; i < conds.size(); ++i) {
            int64_t n = count_upto(conds[i].field, conds[i].value, cap);
            if (best < 0 || n < best) {
                best = n;
                driver = i;
            }
        }
        if (best < cap) break;
    }
    return driver;
}

ZqwObjectId new_object() {
    {
        Query q("INSERT INTO objects DEFAULT VALUES");
        q.step();
    }
    sqlite3_int64 id = sqlite3_last_insert_rowid(g->db);
    if (id <= 0 || id > static_cast<sqlite3_int64>(UINT32_MAX)) throw Fail{ZQW_E_BADARG};
    return static_cast<ZqwObjectId>(id);
}

}  // namespace sql


// --- internal interface ---------------------------------------------------------

void set_error(int code) { g_error = code; }

std::string database_path() { return zq::instance_path("db/topology.db"); }

namespace {

// SQLite's page cache of the connection, in KiB.
void use_page_cache(int kib) {
    std::string sql = "PRAGMA cache_size = -" + std::to_string(kib);
    sqlite3_exec(g->db, sql.c_str(), nullptr, nullptr, nullptr);
}

}  // namespace

bool set_page_cache(int kib) {
    return guarded(false, [&] {
        if (kib < 256 || kib > 1048576) throw Fail{ZQW_E_BADARG};
        g->cache_kib = kib;
        if (!g->bulk) use_page_cache(kib);  // else when the bulk transaction ends
        return true;
    });
}

bool list_fields(std::vector<FieldInfo>& out) {
    out.clear();
    return guarded(false, [&] {
        std::vector<FieldInfo> fields;
        Transaction t(false);
        {
            Query q("SELECT id, name, type FROM fields ORDER BY id");
            while (q.step()) {
                FieldInfo f;
                f.id = static_cast<ZqwFieldId>(q.integer(0));
                f.name = q.text(1);
                f.type = static_cast<int>(q.integer(2));
                fields.push_back(std::move(f));
            }
        }
        for (auto& f : fields) {
            if (f.type != ZQW_ENUM_FIELD) continue;
            Query q("SELECT name FROM enum_values WHERE field = ? ORDER BY value");
            q.bind(f.id);
            while (q.step()) f.values.push_back(q.text(0));
        }
        t.commit();
        out = std::move(fields);
        return true;
    });
}

bool object_exists(ZqwObjectId id) {
    return guarded(false, [&] {
        require_object(id);
        return true;
    });
}

bool begin_bulk() {
    return guarded(false, [&] {
        if (g->depth != 0 || g->group) throw Fail{ZQW_E_BADARG};
        // Room for a whole import in the page cache (released when it ends).
        run("PRAGMA cache_size = -262144");
        run("BEGIN IMMEDIATE");
        g->depth = 1;
        g->bulk = true;
        g->spoiled = false;
        g->bulk_types.clear();
        return true;
    });
}

bool end_bulk(bool commit) {
    if (!g || g->depth != 1) {
        g_error = g ? ZQW_E_BADARG : ZQW_E_CONNLOST;
        return false;
    }
    g->bulk = false;
    g->bulk_types.clear();
    struct RestoreCache {
        ~RestoreCache() {
            if (g) use_page_cache(g->cache_kib);
        }
    } restore;
    if (g->spoiled) {
        sqlite3_exec(g->db, "ROLLBACK", nullptr, nullptr, nullptr);
        g->depth = 0;
        g_error = commit ? ZQW_E_CONNLOST : ZQW_E_OK;
        return !commit;
    }
    if (!commit) {
        sqlite3_exec(g->db, "ROLLBACK", nullptr, nullptr, nullptr);
        g->depth = 0;
        g_error = ZQW_E_OK;
        return true;
    }
    bool ok = guarded(false, [&] {
        run("COMMIT");
        return true;
    });
    if (!ok) sqlite3_exec(g->db, "ROLLBACK", nullptr, nullptr, nullptr);
    g->depth = 0;
    return ok;
}

}  // namespace zq::zqw

using namespace zq::zqw;

extern "C" {

int ZqwIsIdNull(uint32_t id) { return id == 0 ? 1 : 0; }

int ZqwError(void) { return g_error; }

const char* ZqwErrorMsg(int code) {
    switch (code) {
        case ZQW_E_OK: return "no error";
        case ZQW_E_BADARG: return "bad argument (null or invalid id)";
        case ZQW_E_CONNLOST: return "the connection to the database was lost";
        case ZQW_E_LOCKED: return "the database is locked by another process (db_busy_timeout passed)";
        case ZQW_E_NOAPP: return "no such application";
        case ZQW_E_NOACTION: return "no such action";
        case ZQW_E_NOFIELD: return "no such field";
        case ZQW_E_EXISTS: return "the object already exists";
        case ZQW_E_BADTYPE: return "the field has another type than the call expects";
        case ZQW_E_NOVALUE: return "the field has no value on this object";
        case ZQW_E_NOENUM: return "no such enumeration value";
        case ZQW_E_NOOBJECT: return "no such object";
        case ZQW_E_NOSYMBOLONMAP: return "the object has no symbol on this map";
        case ZQW_E_NOCHANGE: return "nothing to change: the symbol already has that value";
        case ZQW_E_NOSYMBOLTYPE: return "the symbol type is not registered";
        case ZQW_E_NOSYMBOL: return "no such symbol";
        default: return "unknown error";
    }
}

int ZqwDbInit(void) {
    g.reset();
    auto c = std::make_unique<Connection>();
    c->path = database_path();
    struct stat st;
    if (stat(c->path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || file_unreadable(st, c->path)) {
        g_error = ZQW_E_CONNLOST;
        return -1;
    }
    // Never SQLITE_OPEN_CREATE: only zqsetup makes a database.
    if (sqlite3_open_v2(c->path.c_str(), &c->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        g_error = ZQW_E_CONNLOST;
        return -1;
    }
    sqlite3_extended_result_codes(c->db, 1);
    sqlite3_busy_handler(c->db, busy_handler, c.get());
    c->busy_timeout = std::chrono::milliseconds(static_cast<long long>(zq::read_instance_conf().db_busy_timeout) * 1000);
    c->dev = st.st_dev;
    c->ino = st.st_ino;
    // A database of the previous format gains the map tables here, once.
    std::string error;
    if (!upgrade_database(c->db, error)) {
        g_error = ZQW_E_CONNLOST;
        return -1;
    }
    g = std::move(c);
    bool ok = guarded(false, [] {
        // Commits survive a crash of the process; WAL keeps readers and the writer apart.
        run("PRAGMA synchronous = NORMAL");
        // Savepoints and sorts stay in memory; a big import keeps its pages cached.
        run("PRAGMA temp_store = MEMORY");
        use_page_cache(g->cache_kib);
        Query q("SELECT value FROM zqw_meta WHERE key = 'format'");
        if (!q.step() || q.text(0) != kFormat) throw Fail{ZQW_E_CONNLOST};
        return true;
    });
    if (!ok) {
        g.reset();
        g_error = ZQW_E_CONNLOST;
        return -1;
    }
    return 0;
}

struct zq::zqw::Reader::Impl {
    std::unique_ptr<Connection> conn;
    Connection* previous = nullptr;
};

zq::zqw::Reader::Reader() {
    auto c = std::make_unique<Connection>();
    c->path = database_path();
    struct stat st;
    if (stat(c->path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || file_unreadable(st, c->path) ||
        sqlite3_open_v2(c->path.c_str(), &c->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        g_error = ZQW_E_CONNLOST;
        return;
    }
    sqlite3_extended_result_codes(c->db, 1);
    sqlite3_busy_handler(c->db, busy_handler, c.get());
    c->dev = st.st_dev;
    c->ino = st.st_ino;
    auto impl = std::make_unique<Impl>();
    Connection* previous = Current::reader;
    impl->previous = previous;
    Current::reader = c.get();
    impl->conn = std::move(c);
    bool ok = guarded(false, [] {
        run("PRAGMA query_only = 1");
        run("PRAGMA cache_size = -16384");
        Query q("SELECT value FROM zqw_meta WHERE key = 'format'");
        if (!q.step() || q.text(0) != kFormat) throw Fail{ZQW_E_CONNLOST};
        return true;
    });
    Current::reader = previous;
    if (ok) {
        Current::reader = impl->conn.get();
        impl_ = std::move(impl);
    }
}

zq::zqw::Reader::~Reader() {
    if (impl_) Current::reader = impl_->previous;
}

// The test build's fault hook: an SQLite result code that the commit of a group
// is to end with instead of its own (0: none).  The product never sets one.
__attribute__((weak)) int ZqwTestCommitFault(void) { return 0; }

int ZqwDbBegin(void) {
    if (!g) {
        g_error = ZQW_E_CONNLOST;
        return -1;
    }
    if (g->group || g->depth != 0) {
        g_error = ZQW_E_BADARG;
        return -1;
    }
    g->group = true;
    g->group_open = false;
    g->group_lost = false;
    g_error = ZQW_E_OK;
    return 0;
}

int ZqwDbCommit(void) {
    if (!g || !g->group) {
        g_error = g ? ZQW_E_BADARG : ZQW_E_CONNLOST;
        return -1;
    }
    g->group = false;
    const bool open = g->group_open, lost = g->group_lost;
    g->group_open = g->group_lost = false;
    if (!open || sqlite3_get_autocommit(g->db)) {
        // Nothing begun, or SQLite already gave the group up.
        g_error = lost || open ? ZQW_E_CONNLOST : ZQW_E_OK;
        return g_error == ZQW_E_OK ? 0 : -1;
    }
    int rc = ZqwTestCommitFault();
    if (rc == SQLITE_OK) rc = sqlite3_exec(g->db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && !lost) {
        g_error = ZQW_E_OK;
        return 0;
    }
    if (!sqlite3_get_autocommit(g->db)) sqlite3_exec(g->db, "ROLLBACK", nullptr, nullptr, nullptr);
    int primary = rc & 0xff;
    g_error = (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) ? ZQW_E_LOCKED : ZQW_E_CONNLOST;
    return -1;
}

int ZqwDbSetPageCache(int kib) {
    if (!g) {
        g_error = ZQW_E_CONNLOST;
        return -1;
    }
    if (!zq::zqw::set_page_cache(kib)) return -1;
    g_error = ZQW_E_OK;
    return 0;
}

void ZqwDbDone(void) {
    g.reset();
    g_error = ZQW_E_OK;
}

ZqwFieldId ZqwDbFieldNameToFieldId(const char* name) {
    return guarded<ZqwFieldId>(0, [&] {
        if (name == nullptr) throw Fail{ZQW_E_BADARG};
        Query q("SELECT id FROM fields WHERE name = ?");
        q.bind(std::string(name));
        if (!q.step()) throw Fail{ZQW_E_NOFIELD};
        return static_cast<ZqwFieldId>(q.integer(0));
    });
}

ZqwObjectId ZqwDbSelectionNameToObjectId(const char* name) {
    return guarded<ZqwObjectId>(0, [&] {
        if (name == nullptr) throw Fail{ZQW_E_BADARG};
        Query q("SELECT object FROM vals WHERE field = 1 AND value = ?");
        q.bind(std::string(name));
        if (!q.step()) throw Fail{ZQW_E_NOOBJECT};
        return static_cast<ZqwObjectId>(q.integer(0));
    });
}

ZqwObjectId ZqwDbHostnameToObjectId(const char* host) {
    return guarded<ZqwObjectId>(0, [&] {
        if (host == nullptr) throw Fail{ZQW_E_BADARG};
        Query q("SELECT object FROM vals WHERE field = 2 AND value = ?1 COLLATE NOCASE "
                "ORDER BY object LIMIT 1");
        q.bind(std::string(host));
        if (!q.step()) throw Fail{ZQW_E_NOOBJECT};
        return static_cast<ZqwObjectId>(q.integer(0));
    });
}

char* ZqwDbObjectIdToHostname(ZqwObjectId object) {
    return guarded<char*>(nullptr, [&] {
        if (object == 0) throw Fail{ZQW_E_BADARG};
        std::string host;
        {
            Query q("SELECT value FROM vals WHERE object = ? AND field = 2");
            q.bind(object);
            if (q.step()) host = q.text(0);
            else host.clear();
            if (host.empty()) {
                require_object(object);
                throw Fail{ZQW_E_NOVALUE};
            }
        }
        return heap_copy(host);
    });
}

ZqwObjectId ZqwDbCreateObject(const ZqwFieldBindList* bindings) {
    return guarded<ZqwObjectId>(0, [&] {
        if (bindings != nullptr && ((bindings->count > 0 && bindings->entries == nullptr) ||
                                    bindings->count > kMaxBindings))
            throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        // Every binding is checked before the first change.
        std::vector<std::pair<ZqwFieldId, Value>> values;
        for (unsigned i = 0; bindings != nullptr && i < bindings->count; ++i) {
            const ZqwFieldBinding& b = bindings->entries[i];
            values.emplace_back(b.field_id, from_record(b.field_id, b.value));
            check_value(b.field_id, values.back().second);
        }
        ZqwObjectId id = new_object();
        // A new object has no values yet: one insert of all of them.  A field
        // bound twice keeps its last value.
        std::vector<std::pair<ZqwFieldId, const Value*>> last;
        for (auto v = values.rbegin(); v != values.rend(); ++v)
            if (std::none_of(last.begin(), last.end(), [&](const auto& l) { return l.first == v->first; }))
                last.emplace_back(v->first, &v->second);
        if (!last.empty()) {
            Query q(last.size());
            for (const auto& [field, v] : last) bind_value(q.bind(id).bind(field), *v);
            q.step();
        }
        t.commit();
        return id;
    });
}

ZqwObjectId ZqwDbCreateObjectBySelectionName(const char* name) {
    return guarded<ZqwObjectId>(0, [&] {
        if (name == nullptr || *name == '\0') throw Fail{ZQW_E_BADARG};
        Value v;
        v.type = ZQW_STRING_FIELD;
        v.text = name;
        check_text(kSelectionNameField, v.text);
        Transaction t(true);
        {
            Query q("SELECT object FROM vals WHERE field = 1 AND value = ?");
            q.bind(v.text);
            if (q.step()) throw Fail{ZQW_E_EXISTS};
        }
        ZqwObjectId id = new_object();
        put_value(id, kSelectionNameField, v);
        t.commit();
        return id;
    });
}

int ZqwDbDeleteObject(ZqwObjectId object) {
    return guarded(-1, [&] {
        if (object == 0) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        require_object(object);
        {
            Query q("DELETE FROM vals WHERE object = ?");
            q.bind(object);
            q.step();
        }
        {
            Query q("DELETE FROM objects WHERE id = ?");
            q.bind(object);
            q.step();
        }
        t.commit();
        return 1;
    });
}

int ZqwDbDeleteField(ZqwFieldId field) {
    return guarded(-1, [&] {
        if (field == 0 || field == kSelectionNameField || field == kHostnameField) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        field_type(field);
        g->bulk_types.erase(field);
        for (const char* sql : {"DELETE FROM vals WHERE field = ?", "DELETE FROM enum_values WHERE field = ?",
                                "DELETE FROM app_config WHERE field = ?",
                                "DELETE FROM fields WHERE id = ?"}) {
            Query q(sql);
            q.bind(field);
            q.step();
        }
        t.commit();
        return 1;
    });
}

int ZqwDbGetFieldBooleanValue(ZqwObjectId object, ZqwFieldId field) {
    return guarded(0, [&] { return get_value(object, field, ZQW_BOOL_FIELD).number != 0 ? 1 : 0; });
}

int ZqwDbGetFieldIntegerValue(ZqwObjectId object, ZqwFieldId field) {
    return guarded(-1, [&] { return static_cast<int>(get_value(object, field, ZQW_INT_FIELD).number); });
}

char* ZqwDbGetFieldStringValue(ZqwObjectId object, ZqwFieldId field) {
    return guarded<char*>(nullptr, [&] { return heap_copy(get_value(object, field, ZQW_STRING_FIELD).text); });
}

char* ZqwDbGetFieldEnumByName(ZqwObjectId object, ZqwFieldId field) {
    return guarded<char*>(nullptr, [&] {
        Transaction t(false);  // one read of the database for both look-ups
        Value v = get_value(object, field, ZQW_ENUM_FIELD);
        std::string name = enum_name(field, v.number);
        t.commit();
        return heap_copy(name);
    });
}

int ZqwDbGetFieldEnumByValue(ZqwObjectId object, ZqwFieldId field) {
    return guarded(-1, [&] { return static_cast<int>(get_value(object, field, ZQW_ENUM_FIELD).number); });
}

int ZqwDbGetEnumValue(ZqwFieldId field, const char* name) {
    return guarded(-1, [&] {
        if (field == 0 || name == nullptr) throw Fail{ZQW_E_BADARG};
        if (field_type(field) != ZQW_ENUM_FIELD) throw Fail{ZQW_E_BADTYPE};
        return static_cast<int>(enum_index(field, name));
    });
}

ZqwFieldValue* ZqwDbGetFieldValue(ZqwObjectId object, ZqwFieldId field) {
    return guarded<ZqwFieldValue*>(nullptr, [&] {
        Value v = get_value(object, field, 0);
        auto* rec = static_cast<ZqwFieldValue*>(std::calloc(1, sizeof(ZqwFieldValue)));
        if (rec == nullptr) throw std::bad_alloc();
        rec->is_list = 0;
        rec->field_type = v.type;
        switch (v.type) {
            case ZQW_STRING_FIELD:
                rec->un.string_val = static_cast<char*>(std::malloc(v.text.size() + 1));
                if (rec->un.string_val == nullptr) {
                    std::free(rec);
                    throw std::bad_alloc();
                }
                std::memcpy(rec->un.string_val, v.text.c_str(), v.text.size() + 1);
                break;
            case ZQW_BOOL_FIELD: rec->un.bool_val = v.number != 0 ? 1 : 0; break;
            case ZQW_ENUM_FIELD: rec->un.enum_val = static_cast<int32_t>(v.number); break;
            default: rec->un.int_val = static_cast<int32_t>(v.number); break;
        }
        return rec;
    });
}

void ZqwDbFreeFieldValue(ZqwFieldValue* value) {
    if (value == nullptr) return;
    if (value->field_type == ZQW_STRING_FIELD) std::free(value->un.string_val);
    std::free(value);
}

int ZqwDbSetFieldBooleanValue(ZqwObjectId object, ZqwFieldId field, int value) {
    return guarded(-1, [&] {
        Value v;
        v.number = value != 0 ? 1 : 0;
        return set_value(object, field, ZQW_BOOL_FIELD, v);
    });
}

int ZqwDbSetFieldIntegerValue(ZqwObjectId object, ZqwFieldId field, int value) {
    return guarded(-1, [&] {
        Value v;
        v.number = value;
        return set_value(object, field, ZQW_INT_FIELD, v);
    });
}

int ZqwDbSetFieldStringValue(ZqwObjectId object, ZqwFieldId field, const char* value) {
    return guarded(-1, [&] {
        if (value == nullptr) throw Fail{ZQW_E_BADARG};
        Value v;
        v.text = value;
        return set_value(object, field, ZQW_STRING_FIELD, v);
    });
}

int ZqwDbSetFieldEnumByValue(ZqwObjectId object, ZqwFieldId field, int value) {
    return guarded(-1, [&] {
        Value v;
        v.number = value;
        return set_value(object, field, ZQW_ENUM_FIELD, v);
    });
}

int ZqwDbSetFieldEnumByName(ZqwObjectId object, ZqwFieldId field, const char* name) {
    return guarded(-1, [&] {
        if (object == 0 || field == 0 || name == nullptr) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        if (field_type(field) != ZQW_ENUM_FIELD) throw Fail{ZQW_E_BADTYPE};
        require_object(object);
        Value v;
        v.type = ZQW_ENUM_FIELD;
        v.number = enum_index(field, name);
        put_value(object, field, v);
        t.commit();
        return 1;
    });
}

int ZqwDbSetFieldValue(ZqwObjectId object, ZqwFieldId field, const ZqwFieldValue* value) {
    return guarded(-1, [&] {
        if (object == 0 || field == 0 || value == nullptr) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        Value v = from_record(field, value);
        require_object(object);
        put_value(object, field, v);
        t.commit();
        return 1;
    });
}

int ZqwDbUnsetFieldValue(ZqwObjectId object, ZqwFieldId field) {
    return guarded(0, [&] {
        if (object == 0 || field == 0) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        field_type(field);
        require_object(object);
        {
            Query q("DELETE FROM vals WHERE object = ? AND field = ?");
            q.bind(object).bind(field);
            q.step();
        }
        t.commit();
        return 1;
    });
}

int ZqwDbUnsetFieldValues(ZqwObjectId object, const ZqwFieldIdList* fields) {
    return guarded(0, [&] {
        if (object == 0 || fields == nullptr || (fields->count > 0 && fields->field_ids == nullptr))
            throw Fail{ZQW_E_BADARG};
        for (unsigned i = 0; i < fields->count; ++i)
            if (fields->field_ids[i] == 0) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        for (unsigned i = 0; i < fields->count; ++i) field_type(fields->field_ids[i]);
        require_object(object);
        for (unsigned i = 0; i < fields->count; ++i) {
            Query q("DELETE FROM vals WHERE object = ? AND field = ?");
            q.bind(object).bind(fields->field_ids[i]);
            q.step();
        }
        t.commit();
        return 1;
    });
}

ZqwObjectIdList* ZqwDbListObjectsByFieldValue(ZqwFieldId field, const ZqwFieldValue* value) {
    return guarded<ZqwObjectIdList*>(nullptr, [&] {
        Transaction t(false);
        Value v = from_record(field, value);
        std::vector<ZqwObjectId> ids = objects_with(field, v);
        t.commit();
        return make_list(ids);
    });
}

ZqwObjectIdList* ZqwDbListObjectsByFieldValues(const ZqwFieldBindList* bindings) {
    return guarded<ZqwObjectIdList*>(nullptr, [&] {
        if (bindings == nullptr || bindings->count == 0 || bindings->entries == nullptr ||
            bindings->count > kMaxConditions)
            throw Fail{ZQW_E_BADARG};
        Transaction t(false);
        std::vector<Condition> conds = conditions_of(*bindings);
        // Drive from the condition with the fewest matches.
        size_t driver = fewest_matches(conds, 8);
        // One statement: the driver's index range, each match probed for the
        // other conditions by its primary key.
        std::swap(conds[0], conds[driver]);
        std::vector<ZqwObjectId> ids;
        {
            Query q(Query::Intersect{conds.size()});
            for (const auto& [field, v] : conds) bind_value(q.bind(field), v);
            while (q.step()) ids.push_back(static_cast<ZqwObjectId>(q.integer(0)));
        }
        t.commit();
        return make_list(ids);
    });
}

void ZqwDbFreeObjectIdList(ZqwObjectIdList* list) {
    if (list == nullptr) return;
    std::free(list->object_ids);
    std::free(list);
}

void ZqwDbFreeFieldBindList(ZqwFieldBindList* list) {
    if (list == nullptr) return;
    if (list->entries != nullptr) {
        for (unsigned i = 0; i < list->count; ++i) {
            ZqwFieldValue* v = list->entries[i].value;
            if (v != nullptr && v->field_type == ZQW_STRING_FIELD) std::free(v->un.string_val);
            std::free(v);
        }
        std::free(list->entries);
    }
    std::free(list);
}

}  // extern "C"
