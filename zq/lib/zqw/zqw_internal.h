// Internals of the zqw library that the platform's own programs use (zqsetup,
// zqtopo, the benchmark); not part of the interface the integration sees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zqw.h"

namespace zq::zqw {

// The database file of the current instance: $ZQ_ROOT/db/topology.db.
std::string database_path();

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
