// Internals of the zqw library that the platform's own programs use (zqsetup,
// zqtopo, the benchmark); not part of the interface the integration sees.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zqw.h"

namespace zq::zqw {

// The database file of the current instance: $ZQ_ROOT/db/topology.db.
std::string database_path();
// The most memory SQLite keeps as page cache for this process's connection
// (KiB, 256 to 1048576; 32 MiB after ZqwDbInit).  A bulk transaction still
// takes its larger cache while it runs.
bool set_page_cache(int kib);

// Creates an empty topology database at path when there is none (through a
// temporary file and a rename, so no process sees half a database).  An existing
// file is kept and checked to be a topology database.  False with a message on
// failure.
bool create_database(const std::string& path, std::string& error);

// One field registration of a .fields file.
struct FieldDef {
    std::string name;
    int type = 0;                      // ZQW_*_FIELD
    std::vector<std::string> values;   // Enumeration: the names, value 0 first
    int line = 0;
};

// Parses the text of a .fields file.  Bad lines are reported in errors as
// "NAME:LINE: message" (name is the file name given) and left out.
std::vector<FieldDef> parse_fields(const std::string& text, const std::string& name,
                                   std::vector<std::string>& errors);

// Registers the fields of a .fields file in the database at db_path, in one
// transaction.  A field that exists with the same type is kept; an enumeration
// may gain values at its end.  A field registered with another type, or whose
// values differ, is reported and left as it is.  Returns the number of fields
// now registered from the file, or -1 when the file or database cannot be used;
// every problem is added to errors.
int register_fields_file(const std::string& db_path, const std::string& file,
                         std::vector<std::string>& errors);

// Splits a line of a .fields or registration file into words: blanks separate,
// double quotes group (\" and \\ inside), '#' starts a comment.  False with a
// message on an unterminated quote or a quote inside a bare word.
bool split_words(const std::string& line, std::vector<std::string>& words, std::string& error);

// Type names as the .fields files write them ("Boolean", ...), "" for others.
const char* type_name(int type);

// --- over the connection of ZqwDbInit ---------------------------------------

// Sets the error number ZqwError() reports (for the library's other parts).
void set_error(int code);

struct FieldInfo {
    ZqwFieldId id = 0;
    std::string name;
    int type = 0;
    std::vector<std::string> values;   // Enumeration
};

// Every registered field in id order.  False (ZqwError set) on failure.
bool list_fields(std::vector<FieldInfo>& out);

// Whether an object exists.  False also on failure (ZqwError tells).
bool object_exists(ZqwObjectId id);

// A bulk transaction: every call of the library between begin_bulk() and
// end_bulk(true) is one transaction, for imports.  A call that fails before it
// changes anything (every check: 3, 62, 63, 64, 69, 70, 80) leaves the bulk
// transaction intact; one that fails after a change (only on a failing disk)
// spoils it: end_bulk(true) then rolls everything back and fails with 23.
// end_bulk(false) rolls the whole of it back.
bool begin_bulk();
bool end_bulk(bool commit);

}  // namespace zq::zqw

// --- the map store: what the map program (zq/map) needs beyond platform/zqw.h ---
// Over the connection of ZqwDbInit, on the thread that uses the library.  Each
// returns false (or 0) with ZqwError set on failure.

namespace zq::zqw {

struct MapRow {
    uint32_t id = 0;
    std::string name;
    bool read_only = false;
    std::vector<std::pair<std::string, std::string>> filter;   // field name, value text
};

// One symbol with the status it shows now (status sources and unmanaged applied).
struct SymbolRow {
    uint32_t id = 0, map = 0, object = 0, parent = 0;
    std::string type, label;
    int status = 0, source = 1, behavior = 1;
    bool managed = true;
    std::string action_app, action;        // the executable symbol's action, if any
    std::vector<uint32_t> action_objects;
    bool has_position = false;
    double x = 0, y = 0;                   // saved position (node symbols)
    std::string name;                      // selection name, else host name, of the object
    // The status the map program last recorded for the symbol and since when
    // (unix seconds; 0: unknown).  See note_statuses.
    int recorded_status = 0;
    int64_t since = 0;
    std::vector<std::string> addresses;    // node symbols: the "IP Address" of each interface of the node
};

struct ChangeRow {
    int64_t seq = 0;
    uint32_t map = 0;      // 0: an object-level change, seen on every map
    uint32_t symbol = 0;   // 0 when the row names an object
    uint32_t object = 0;
};

bool list_maps(std::vector<MapRow>& out);
bool find_map(const std::string& name, MapRow& out);
// A new map holding a node symbol for every node object matching filter (every
// condition; field names and value texts as zqtopo find takes them).  0 on failure
// (63 when the name exists).
uint32_t create_map(const std::string& name, bool read_only,
                    const std::vector<std::pair<std::string, std::string>>& filter);
bool set_map_read_only(uint32_t map, bool read_only);
// "default" and the applications' map cannot be deleted (3).
bool delete_map(uint32_t map);
// A new name (3: no such map, or "default", which keeps its name; 63: taken).
bool rename_map(uint32_t map, const std::string& name);
// Whether a filter condition parses: 0, or 62 (no such field), 3 (a value the
// field's type does not take), 70 (no such enumeration name).
int check_condition(const std::string& field, const std::string& value);
// The map the applications work on (the map program opens it and follows a
// change of it): the one last chosen, else "default".  0 on failure.
uint32_t applications_map();
bool set_applications_map(uint32_t map);   // 3: no such map

// Where an object shows: the types of its symbols on every map, and the node
// object whose symbol holds one of its component symbols (0: none).
struct ObjectShown {
    std::vector<std::string> types;
    uint32_t node = 0;
};
bool object_shown(uint32_t object, ObjectShown& out);
// Whether every condition (field name, value text) holds on the object: failed
// is empty, or the first that does not ("FIELD=VALUE").  False only when the
// database fails.
bool object_matches(uint32_t object, const std::vector<std::pair<std::string, std::string>>& conds,
                    std::string& failed);

// A connection of its own to the instance's database, for a thread other than
// the one that uses the library (the map program's web server reads snapshots
// so, leaving its loop free): while a Reader lives, the calls of this header
// made on its thread read through it.  It changes nothing (query_only).  ok()
// is false when it could not be opened (ZqwError on its thread tells).
class Reader {
public:
    Reader();
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    bool ok() const { return impl_ != nullptr; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Every symbol of a map, in id order; or only those of ids.  A node symbol comes
// with the addresses of its node's interface objects (those whose "TopM Node ID"
// names the node), in the order of the interfaces' ids.
bool load_symbols(uint32_t map, std::vector<SymbolRow>& out);
bool load_symbols(uint32_t map, const std::vector<uint32_t>& ids, std::vector<SymbolRow>& out);

// Records the status each of rows (as just read) shows: a row whose status
// differs from the one recorded for it gets it recorded with since = now; a
// symbol that had none recorded gets since = 0 instead when unknown_first (the
// map program's first pass at start-up: when its status came is not known).
// Each row's recorded_status and since follow.  Writes no change-log row.
bool note_statuses(std::vector<SymbolRow>& rows, int64_t now, bool unknown_first);

// The change log: every change of a symbol, of an object's status on a map, of a
// node's "IP Status" or "isNode", and every deleted object adds a row (database
// triggers and the library's writes, so changes by any process are seen).
int64_t last_change();
// The rows after seq (at most limit).  False with 3 when seq is older than the
// oldest row kept, or newer than last_change() (a number from before the
// database was replaced): the caller then takes a full snapshot.
bool changes_since(int64_t seq, size_t limit, std::vector<ChangeRow>& out);
// The symbols of a map that rows touch: changed symbols, symbols of changed
// objects and the node symbols holding either (compound status); and the ids
// among them that no longer exist (deleted).
bool affected_symbols(uint32_t map, const std::vector<ChangeRow>& rows,
                      std::vector<uint32_t>& existing, std::vector<uint32_t>& deleted);
// Keeps the newest keep rows.
bool prune_changes(int64_t keep);

// Node symbols: a symbol of a node object on a map (type unchecked: the map
// program's own generic types); the node objects without a symbol on the map; the
// node symbols whose object is gone or no longer a node, or no longer matches the
// map's filter.
uint32_t create_node_symbol(uint32_t map, uint32_t object, const std::string& type);
bool nodes_without_symbol(uint32_t map, std::vector<uint32_t>& objects);
bool stale_node_symbols(uint32_t map, std::vector<uint32_t>& symbols);

bool set_symbol_managed(uint32_t map, uint32_t symbol, bool managed);
bool set_symbol_position(uint32_t map, uint32_t symbol, double x, double y);

// Registrations, as the map program loaded them from registration/ (replaces
// what was stored before, in one transaction).
struct ActionDef {
    std::string name, label;
    std::string url;                    // URL template (${hostname}, ${object}) or empty
    std::vector<std::string> args;      // arguments handed to the callback
};
struct ConfigFieldDef {
    std::string field, label;           // a registered field
};
struct SymbolTypeDef {
    std::string pattern, icon;          // pattern may end in '*'
};
struct AppDef {
    std::string name, file;
    std::vector<std::string> command;   // empty: an application of actions only
    std::vector<ActionDef> actions;
    std::vector<SymbolTypeDef> symbol_types;
    std::vector<ConfigFieldDef> config;
    // "covers ACTION FIELD=VALUE...": the objects an action is for (every
    // condition of one of its covers lines holds).  An action without any is
    // for the objects that have a symbol of one of symbol_types, or for any
    // object when there are none.
    using Conditions = std::vector<std::pair<std::string, std::string>>;
    std::map<std::string, std::vector<Conditions>> covers;
};
bool store_registrations(const std::vector<AppDef>& apps);
bool load_registrations(std::vector<AppDef>& apps);
// The icon class of a symbol type ("" when no registration declares it).
std::string symbol_icon(const std::string& type);

// Configuration values of an application on a map, stored on confirmation
// (3 no map, 30 no such application, 62, 64, 70 a bad value).
bool store_app_config(uint32_t map, const std::string& app, const ZqwFieldBindList& values);

// The name of the map application this process is connected as; null when it is
// not connected (app.cpp keeps the connection).
const char* current_app_name();

}  // namespace zq::zqw
