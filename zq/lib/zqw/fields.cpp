// Creating a topology database and registering fields from .fields files.
//
// A .fields file holds one field a line:
//     field "NAME" TYPE ["VALUE" ...]
// TYPE is Boolean, Integer, String or Enumeration (any case); an Enumeration
// lists its values in order, the first being value 0.  Names and values are
// written in double quotes (\" is a quote, \\ a backslash) or, when they have no
// blank, quote or '#', bare.  '#' outside quotes starts a comment; blank lines
// are skipped.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <strings.h>

#include "schema.h"
#include "zqw_internal.h"

namespace zq::zqw {
namespace {

constexpr size_t kMaxName = 255;
constexpr size_t kMaxValues = 1000;

int parse_type(const std::string& w) {
    for (int t : {ZQW_INT_FIELD, ZQW_BOOL_FIELD, ZQW_STRING_FIELD, ZQW_ENUM_FIELD})
        if (strcasecmp(w.c_str(), type_name(t)) == 0) return t;
    return 0;
}

bool printable(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

std::string sql_error(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

bool exec(sqlite3* db, const char* sql, std::string& error) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    error = msg ? msg : sql_error(db);
    sqlite3_free(msg);
    return false;
}

// Opens an existing database for registration; waits for other writers.
sqlite3* open_existing(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error = "cannot open " + path + ": " + sql_error(db);
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 600000);
    if (!upgrade_database(db, error)) {
        error = path + ": " + error;
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

// The format stored in the database, "" when there is none.
std::string stored_format(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    std::string format;
    if (sqlite3_prepare_v2(db, "SELECT value FROM zqw_meta WHERE key = 'format'", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        const auto* v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        if (v != nullptr) format = v;
    }
    sqlite3_finalize(st);
    return format;
}

}  // namespace

bool split_words(const std::string& line, std::vector<std::string>& words, std::string& error) {
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string w;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    w += line[i++];
                } else if (d == '"') {
                    closed = true;
                    break;
                } else {
                    w += d;
                }
            }
            if (!closed) {
                error = "unterminated quote";
                return false;
            }
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
                error = "a blank must follow a quoted word";
                return false;
            }
            words.push_back(std::move(w));
        } else {
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#' &&
                   line[i] != '"')
                ++i;
            if (i < line.size() && line[i] == '"') {
                error = "a quote inside a bare word";
                return false;
            }
            words.push_back(line.substr(start, i - start));
        }
    }
    return true;
}


// Whether the symbols table has the columns of kStatusColumns.
static bool has_status_columns(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_info('symbols') WHERE name = 'status_since'", -1, &st,
                           nullptr) == SQLITE_OK)
        found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
}

// Whether the database has the triggers of kAddressTriggers.
static bool has_address_triggers(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'trigger' AND name = 'address_value_added'",
                           -1, &st, nullptr) == SQLITE_OK)
        found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
}

bool upgrade_database(sqlite3* db, std::string& error) {
    std::string format = stored_format(db);
    if (format == kFormat && has_status_columns(db) && has_address_triggers(db)) return true;
    if (format != kFormat1 && format != kFormat) {
        error = "not a topology database";
        return false;
    }
    // Read again under the write lock: another process may have upgraded it meanwhile.
    bool ok = exec(db, "BEGIN IMMEDIATE", error);
    if (ok) {
        format = stored_format(db);
        if (format == kFormat1) ok = exec(db, kUpgrade1.c_str(), error);
        else if (format != kFormat) {
            error = "not a topology database";
            ok = false;
        }
    }
    if (ok && !has_status_columns(db)) ok = exec(db, kUpgradeStatus, error);
    if (ok && !has_address_triggers(db)) ok = exec(db, kAddressTriggers, error);
    ok = ok && exec(db, "COMMIT", error);
    if (!ok) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (error.empty()) error = "cannot upgrade the database";
        return false;
    }
    return true;
}

namespace {

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) st_ = nullptr;
    }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool ok() const { return st_ != nullptr; }
    void reset() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    void bind(int i, int64_t v) { sqlite3_bind_int64(st_, i, v); }
    void bind(int i, const std::string& s) {
        sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(st_); }
    int64_t integer(int c) { return sqlite3_column_int64(st_, c); }
    std::string text(int c) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, c));
        return p ? p : "";
    }
    std::string error() const { return sqlite3_errmsg(db_); }

private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

}  // namespace

const char* type_name(int type) {
    switch (type) {
        case ZQW_INT_FIELD: return "Integer";
        case ZQW_BOOL_FIELD: return "Boolean";
        case ZQW_STRING_FIELD: return "String";
        case ZQW_ENUM_FIELD: return "Enumeration";
        default: return "";
    }
}

std::vector<FieldDef> parse_fields(const std::string& text, const std::string& name,
                                   std::vector<std::string>& errors) {
    std::vector<FieldDef> defs;
    std::set<std::string> seen;
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        auto fail = [&](const std::string& msg) {
            errors.push_back(name + ":" + std::to_string(lineno) + ": " + msg);
        };
        std::vector<std::string> w;
        std::string err;
        if (!split_words(line, w, err)) {
            fail(err);
            continue;
        }
        if (w.empty()) continue;
        if (w[0] != "field") {
            fail("a line must begin with the word field");
            continue;
        }
        if (w.size() < 3) {
            fail("expected: field \"NAME\" TYPE [\"VALUE\" ...]");
            continue;
        }
        FieldDef d;
        d.name = w[1];
        d.line = lineno;
        d.type = parse_type(w[2]);
        if (d.name.empty() || d.name.size() > kMaxName || !printable(d.name)) {
            fail("the field name must be 1 to 255 printable characters");
            continue;
        }
        if (d.type == 0) {
            fail("unknown type \"" + w[2] + "\" (Boolean, Integer, String or Enumeration)");
            continue;
        }
        d.values.assign(w.begin() + 3, w.end());
        if (d.type != ZQW_ENUM_FIELD && !d.values.empty()) {
            fail("only an Enumeration lists values");
            continue;
        }
        if (d.type == ZQW_ENUM_FIELD) {
            if (d.values.empty() || d.values.size() > kMaxValues) {
                fail("an Enumeration lists 1 to 1000 values");
                continue;
            }
            std::set<std::string> names;
            bool bad = false;
            for (const auto& v : d.values) {
                if (v.empty() || v.size() > kMaxName || !printable(v)) {
                    fail("an enumeration value must be 1 to 255 printable characters");
                    bad = true;
                    break;
                }
                if (!names.insert(v).second) {
                    fail("the value \"" + v + "\" appears twice");
                    bad = true;
                    break;
                }
            }
            if (bad) continue;
        }
        if (!seen.insert(d.name).second) {
            fail("the field \"" + d.name + "\" is registered twice in this file");
            continue;
        }
        defs.push_back(std::move(d));
    }
    return defs;
}

bool create_database(const std::string& path, std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        sqlite3* db = open_existing(path, error);
        if (db == nullptr) return false;
        sqlite3_close_v2(db);
        return true;
    }
    std::string tmp = path + ".new." + std::to_string(getpid());
    std::remove(tmp.c_str());
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(tmp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    if (!ok) error = "cannot create " + tmp + ": " + sql_error(db);
    ok = ok && exec(db, "PRAGMA journal_mode = WAL", error);
    ok = ok && exec(db, "BEGIN", error) && exec(db, kSchema.c_str(), error) && exec(db, "COMMIT", error);
    // Closing the last connection folds the write-ahead log into the file.
    if (sqlite3_close_v2(db) != SQLITE_OK && ok) {
        error = "cannot close " + tmp;
        ok = false;
    }
    if (ok && link(tmp.c_str(), path.c_str()) != 0) {
        // link, not rename: a database another zqsetup made meanwhile is kept.
        int e = errno;
        if (e == EEXIST) {
            ok = create_database(path, error);
        } else {
            error = "cannot create " + path + ": " + std::strerror(e);
            ok = false;
        }
    }
    std::remove(tmp.c_str());
    std::remove((tmp + "-wal").c_str());
    std::remove((tmp + "-shm").c_str());
    return ok;
}

int register_fields_file(const std::string& db_path, const std::string& file, std::vector<std::string>& errors) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        errors.push_back(file + ": cannot read: " + std::strerror(errno));
        return -1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<FieldDef> defs = parse_fields(text.str(), file, errors);

    std::string err;
    sqlite3* db = open_existing(db_path, err);
    if (db == nullptr) {
        errors.push_back(err);
        return -1;
    }
    int registered = 0;
    bool ok = exec(db, "BEGIN IMMEDIATE", err);
    {
        Stmt find(db, "SELECT id, type FROM fields WHERE name = ?");
        Stmt values(db, "SELECT name FROM enum_values WHERE field = ? ORDER BY value");
        Stmt add_field(db, "INSERT INTO fields(name, type) VALUES (?, ?)");
        Stmt add_value(db, "INSERT INTO enum_values(field, value, name) VALUES (?, ?, ?)");
        if (ok && !(find.ok() && values.ok() && add_field.ok() && add_value.ok())) {
            err = find.error();
            ok = false;
        }
        for (const FieldDef& d : defs) {
            if (!ok) break;
            auto where = file + ":" + std::to_string(d.line) + ": field \"" + d.name + "\": ";
            find.reset();
            find.bind(1, d.name);
            int64_t id = 0;
            std::vector<std::string> old;
            if (find.step() == SQLITE_ROW) {
                id = find.integer(0);
                int type = static_cast<int>(find.integer(1));
                if (type != d.type) {
                    errors.push_back(where + "registered as " + type_name(type) + ", kept as it is");
                    continue;
                }
                values.reset();
                values.bind(1, id);
                while (values.step() == SQLITE_ROW) old.push_back(values.text(0));
            } else {
                add_field.reset();
                add_field.bind(1, d.name);
                add_field.bind(2, d.type);
                if (add_field.step() != SQLITE_DONE) {
                    err = add_field.error();
                    ok = false;
                    break;
                }
                id = sqlite3_last_insert_rowid(db);
            }
            // An enumeration keeps the values it has (stored values are their
            // indexes) and may gain new ones at its end.
            bool prefix = old.size() <= d.values.size();
            for (size_t i = 0; prefix && i < old.size(); ++i) prefix = old[i] == d.values[i];
            if (!prefix) {
                errors.push_back(where + "its values differ from the registered ones, kept as it is");
                continue;
            }
            for (size_t i = old.size(); i < d.values.size() && ok; ++i) {
                add_value.reset();
                add_value.bind(1, id);
                add_value.bind(2, static_cast<int64_t>(i));
                add_value.bind(3, d.values[i]);
                if (add_value.step() != SQLITE_DONE) {
                    err = add_value.error();
                    ok = false;
                }
            }
            if (ok) ++registered;
        }
    }
    ok = ok && exec(db, "COMMIT", err);
    if (!ok) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        errors.push_back(db_path + ": " + err);
        registered = -1;
    }
    sqlite3_close_v2(db);
    return registered;
}

}  // namespace zq::zqw
