// The layout of the topology database (shared by the library's source files).
#pragma once

#include <string>

struct sqlite3;

namespace zq::zqw {

// Stored in zqw_meta under the key "format"; ZqwDbInit refuses other files.  A
// database of the previous format (kFormat1: objects and fields only) is
// upgraded in place by the first program that opens it (kUpgrade1).
inline constexpr const char* kFormat = "zqw-2";
inline constexpr const char* kFormat1 = "zqw-1";

// The two fields the library itself rests on have fixed ids, so that the partial
// indexes below can name them.
inline constexpr unsigned kSelectionNameField = 1;
inline constexpr unsigned kHostnameField = 2;

// objects: one row per object; AUTOINCREMENT so that an id is never reused (a
//   stale id held by another process or stored in a field never names a new object).
// fields / enum_values: the registered fields; an enumeration's value is the index.
// vals: one row per (object, field) that has a value; booleans, integers and
//   enumerations are stored as integers, strings as text.  vals_by_value serves
//   every look-up and list by value (its entries end with the object id, so the
//   matches come out in id order); the partial indexes make selection names
//   unique and host names searchable without regard to case.
inline constexpr const char* kObjectTables = R"sql(
CREATE TABLE zqw_meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE objects(id INTEGER PRIMARY KEY AUTOINCREMENT);
CREATE TABLE fields(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, type INTEGER NOT NULL);
CREATE TABLE enum_values(field INTEGER NOT NULL, value INTEGER NOT NULL, name TEXT NOT NULL,
                         PRIMARY KEY(field, value), UNIQUE(field, name)) WITHOUT ROWID;
CREATE TABLE vals(object INTEGER NOT NULL, field INTEGER NOT NULL, value NOT NULL,
                  PRIMARY KEY(object, field)) WITHOUT ROWID;
CREATE INDEX vals_by_value ON vals(field, value);
CREATE UNIQUE INDEX vals_selection_name ON vals(value) WHERE field = 1;
CREATE INDEX vals_hostname ON vals(value COLLATE NOCASE) WHERE field = 2;
INSERT INTO fields(id, name, type) VALUES (1, 'Selection Name', 3), (2, 'IP Hostname', 3);
)sql";

// The columns that record when a symbol's status last changed, added to the
// symbols of the second format without a change of format (kUpgradeStatus):
// programs that do not know them leave them alone.
#define STATUS_COLUMNS ", shown_status INTEGER NOT NULL DEFAULT 0, status_since INTEGER NOT NULL DEFAULT 0"
inline constexpr const char* kStatusColumns = STATUS_COLUMNS;
inline constexpr const char* kUpgradeStatus =
    "ALTER TABLE symbols ADD COLUMN shown_status INTEGER NOT NULL DEFAULT 0;\n"
    "ALTER TABLE symbols ADD COLUMN status_since INTEGER NOT NULL DEFAULT 0;\n";

// The maps (added by the second format).
// maps: read_only maps are left unchanged by applications; map_filters: the
//   conditions (field name, value text) a node must meet to be on the map.
// symbols: parent 0 marks a node symbol (at most one per object and map:
//   symbols_node); a component names its node symbol.  status is stored only for
//   status source 3; the others are computed when read.  managed 0: the operator
//   unmanaged it (it shows 5).  action_*: the action of an executable symbol
//   (action_objects: decimal ids, blank-separated; empty: the symbol's object).
//   shown_status, status_since: the status the map program last saw the symbol
//   show and since when (unix seconds, 0 unknown; kStatusColumns).
// object_status: the status set on an object for a map (source 1).
// positions: where the operator put an object's node symbol on a map (kept by
//   object, so a node that leaves and comes back keeps its place).
// applications, actions, symbol_types, config_fields: the registrations as the
//   map program last loaded them (lists are stored as lines: see map.cpp).
// app_config: an application's stored configuration values for a map.
// changes: the change log pages follow.  Library writes of symbols, status,
//   positions and configuration add rows; the triggers add rows for what any
//   process does to a node's "IP Status" or "isNode", to an interface's address
//   (kAddressTriggers) and for deleted objects, so
//   changes made by other programs are seen too.  map 0 is an object-level row
//   (every map), symbol 0 a row naming only an object.
// (A look-up by parent says "parent <> 0" so that the partial index serves it.
// The triggers test a value's field by its id, a look-up by primary key: an
// IN (SELECT ...) would build a table on every write of any value.)
// The triggers also keep "ZQW Maps Exists" (the number of maps holding a symbol
// of the object) and remove an object's symbols, statuses and positions with it.
inline constexpr const char* kMapTables = R"sql(
CREATE TABLE maps(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL UNIQUE,
                  read_only INTEGER NOT NULL DEFAULT 0);
CREATE TABLE map_filters(map INTEGER NOT NULL, pos INTEGER NOT NULL, field TEXT NOT NULL,
                         value TEXT NOT NULL, PRIMARY KEY(map, pos)) WITHOUT ROWID;
CREATE TABLE symbols(id INTEGER PRIMARY KEY AUTOINCREMENT, map INTEGER NOT NULL,
                     object INTEGER NOT NULL, parent INTEGER NOT NULL DEFAULT 0,
                     type TEXT NOT NULL, label TEXT, source INTEGER NOT NULL DEFAULT 1,
                     status INTEGER NOT NULL DEFAULT 0, behavior INTEGER NOT NULL DEFAULT 1,
                     managed INTEGER NOT NULL DEFAULT 1, action_app TEXT, action TEXT,
                     action_objects TEXT)sql" STATUS_COLUMNS R"sql();
CREATE UNIQUE INDEX symbols_node ON symbols(map, object) WHERE parent = 0;
CREATE INDEX symbols_by_map ON symbols(map, id);
CREATE INDEX symbols_by_object ON symbols(object, map);
CREATE INDEX symbols_by_parent ON symbols(parent) WHERE parent <> 0;
CREATE TABLE object_status(map INTEGER NOT NULL, object INTEGER NOT NULL, status INTEGER NOT NULL,
                           PRIMARY KEY(map, object)) WITHOUT ROWID;
CREATE INDEX object_status_by_object ON object_status(object);
CREATE TABLE positions(map INTEGER NOT NULL, object INTEGER NOT NULL, x REAL NOT NULL, y REAL NOT NULL,
                       PRIMARY KEY(map, object)) WITHOUT ROWID;
CREATE INDEX positions_by_object ON positions(object);
CREATE TABLE applications(name TEXT PRIMARY KEY, pos INTEGER NOT NULL, file TEXT NOT NULL,
                          command TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE actions(app TEXT NOT NULL, name TEXT NOT NULL, pos INTEGER NOT NULL, label TEXT NOT NULL,
                     url TEXT NOT NULL, args TEXT NOT NULL, PRIMARY KEY(app, name)) WITHOUT ROWID;
CREATE TABLE symbol_types(pattern TEXT NOT NULL, app TEXT NOT NULL, pos INTEGER NOT NULL,
                          icon TEXT NOT NULL, PRIMARY KEY(pattern, app)) WITHOUT ROWID;
CREATE TABLE config_fields(app TEXT NOT NULL, field TEXT NOT NULL, pos INTEGER NOT NULL,
                           label TEXT NOT NULL, PRIMARY KEY(app, field)) WITHOUT ROWID;
CREATE TABLE app_config(map INTEGER NOT NULL, app TEXT NOT NULL, field INTEGER NOT NULL, value NOT NULL,
                        PRIMARY KEY(map, app, field)) WITHOUT ROWID;
CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, map INTEGER NOT NULL,
                     symbol INTEGER NOT NULL, object INTEGER NOT NULL);

CREATE TRIGGER symbols_added AFTER INSERT ON symbols BEGIN
  INSERT INTO changes(map, symbol, object) VALUES (NEW.map, NEW.id, NEW.object);
  INSERT OR REPLACE INTO vals(object, field, value)
    SELECT NEW.object, f.id, (SELECT count(DISTINCT map) FROM symbols WHERE object = NEW.object)
    FROM fields f WHERE f.name = 'ZQW Maps Exists' AND f.type = 1;
END;
CREATE TRIGGER symbols_removed AFTER DELETE ON symbols BEGIN
  INSERT INTO changes(map, symbol, object) VALUES (OLD.map, OLD.id, OLD.object);
  INSERT INTO changes(map, symbol, object)
    SELECT OLD.map, p.id, p.object FROM symbols p WHERE OLD.parent <> 0 AND p.id = OLD.parent;
  INSERT OR REPLACE INTO vals(object, field, value)
    SELECT OLD.object, f.id, (SELECT count(DISTINCT map) FROM symbols WHERE object = OLD.object)
    FROM fields f WHERE f.name = 'ZQW Maps Exists' AND f.type = 1
      AND EXISTS (SELECT 1 FROM objects WHERE id = OLD.object);
END;
CREATE TRIGGER object_removed AFTER DELETE ON objects BEGIN
  DELETE FROM symbols WHERE parent <> 0 AND parent IN (SELECT id FROM symbols WHERE object = OLD.id AND parent = 0);
  DELETE FROM symbols WHERE object = OLD.id;
  DELETE FROM object_status WHERE object = OLD.id;
  DELETE FROM positions WHERE object = OLD.id;
  INSERT INTO changes(map, symbol, object) VALUES (0, 0, OLD.id);
END;
CREATE TRIGGER node_value_added AFTER INSERT ON vals
  WHEN EXISTS (SELECT 1 FROM fields WHERE id = NEW.field AND name IN ('IP Status', 'isNode')) BEGIN
  INSERT INTO changes(map, symbol, object) VALUES (0, 0, NEW.object);
END;
CREATE TRIGGER node_value_changed AFTER UPDATE OF value ON vals
  WHEN NEW.value IS NOT OLD.value
   AND EXISTS (SELECT 1 FROM fields WHERE id = NEW.field AND name IN ('IP Status', 'isNode')) BEGIN
  INSERT INTO changes(map, symbol, object) VALUES (0, 0, NEW.object);
END;
CREATE TRIGGER node_value_removed AFTER DELETE ON vals
  WHEN EXISTS (SELECT 1 FROM fields WHERE id = OLD.field AND name IN ('IP Status', 'isNode')) BEGIN
  INSERT INTO changes(map, symbol, object) VALUES (0, 0, OLD.object);
END;

INSERT INTO maps(name) VALUES ('default');
INSERT INTO zqw_meta(key, value) VALUES ('changes_pruned', '0');
)sql";

// A node's symbol record carries the "IP Address" of each of its interfaces
// (the objects whose "TopM Node ID" names it): writing either value sends the
// node again (an object-level row for the node named, before and after).
// Added to a database that lacks them when it is opened (address_value_added
// is the one looked for).
inline constexpr const char* kAddressTriggers = R"sql(
CREATE TRIGGER address_value_added AFTER INSERT ON vals
  WHEN EXISTS (SELECT 1 FROM fields WHERE id = NEW.field AND name IN ('IP Address', 'TopM Node ID')) BEGIN
  INSERT INTO changes(map, symbol, object)
    SELECT 0, 0, n.value FROM vals n JOIN fields f ON f.id = n.field AND f.name = 'TopM Node ID'
    WHERE n.object = NEW.object;
END;
CREATE TRIGGER address_value_changed AFTER UPDATE OF value ON vals
  WHEN NEW.value IS NOT OLD.value
   AND EXISTS (SELECT 1 FROM fields WHERE id = NEW.field AND name IN ('IP Address', 'TopM Node ID')) BEGIN
  INSERT INTO changes(map, symbol, object)
    SELECT 0, 0, n.value FROM vals n JOIN fields f ON f.id = n.field AND f.name = 'TopM Node ID'
    WHERE n.object = NEW.object;
  INSERT INTO changes(map, symbol, object)
    SELECT 0, 0, OLD.value FROM fields WHERE id = OLD.field AND name = 'TopM Node ID';
END;
CREATE TRIGGER address_value_removed AFTER DELETE ON vals
  WHEN EXISTS (SELECT 1 FROM fields WHERE id = OLD.field AND name IN ('IP Address', 'TopM Node ID')) BEGIN
  INSERT INTO changes(map, symbol, object)
    SELECT 0, 0, n.value FROM vals n JOIN fields f ON f.id = n.field AND f.name = 'TopM Node ID'
    WHERE n.object = OLD.object
    UNION SELECT 0, 0, OLD.value FROM fields WHERE id = OLD.field AND name = 'TopM Node ID';
END;
)sql";

// A new database.
inline const std::string kSchema =
    std::string(kObjectTables) + kMapTables + kAddressTriggers + "INSERT INTO zqw_meta(key, value) VALUES ('format', 'zqw-2');\n";

// A "zqw-1" database to "zqw-2": the maps beside what is there (run in one
// write transaction after the format was read again inside it).
inline const std::string kUpgrade1 =
    std::string(kMapTables) + kAddressTriggers + "UPDATE zqw_meta SET value = 'zqw-2' WHERE key = 'format';\n";

// Brings the database of an open connection to the current format (in its own
// write transaction; nothing when it is current).  False with a message when it
// is no topology database or cannot be upgraded.  (fields.cpp)
bool upgrade_database(sqlite3* db, std::string& error);

}  // namespace zq::zqw
