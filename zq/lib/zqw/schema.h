// The layout of the topology database (shared by the library's source files).
#pragma once

namespace zq::zqw {

// Stored in zqw_meta under the key "format"; ZqwDbInit refuses other files.
inline constexpr const char* kFormat = "zqw-1";

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
inline constexpr const char* kSchema = R"sql(
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
INSERT INTO zqw_meta(key, value) VALUES ('format', 'zqw-1');
)sql";

}  // namespace zq::zqw
