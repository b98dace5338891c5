// The map program's application socket ($ZQ_ROOT/run/zqw.sock), shared by the
// library side (app.cpp) and the map program (zq/map).
//
// A stream of frames in both directions: a 4-byte big-endian payload length
// (1 to kMaxFrame), then the payload, one JSON object whose "t" says what it is.
// The messages are listed in zq/README.md ("Application socket").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zqw.h"

namespace zq::zqw::proto {

using json = nlohmann::json;

inline constexpr int kVersion = 7;
// Largest payload either side accepts; longer lengths break the stream.
inline constexpr size_t kMaxFrame = 8u << 20;

// The frame of a message (texts that are not UTF-8 are carried with U+FFFD).
std::string frame(const json& message);

// Moves every complete frame at the front of buf into out.  False (with a text)
// when a length is 0 or above kMaxFrame, or a payload is not a JSON object: the
// stream is then unusable.
bool take_frames(std::string& buf, std::vector<json>& out, std::string& error);

// Accessors that never throw: the default when the key is missing or of another type.
int64_t get_int(const json& j, const char* key, int64_t def = 0);
std::string get_str(const json& j, const char* key, const std::string& def = {});
bool get_bool(const json& j, const char* key, bool def = false);
const json* get(const json& j, const char* key);   // null when missing

// Map information.
json map_json(uint32_t id, const std::string& name, bool read_only);

// Field values {"field": id, "type": t, "value": v} (null texts become "").
json value_json(ZqwFieldId field, const ZqwFieldValue* value);
json bindings_json(const ZqwFieldBindList* list);
// A malloc'd binding list (freed with ZqwDbFreeFieldBindList); null when j is
// not a well-formed list.
ZqwFieldBindList* bindings_from_json(const json& j);
// The conditions of a filter as plain values (no heap records).
struct Condition {
    ZqwFieldId field = 0;
    int type = 0;
    int64_t number = 0;      // integer, boolean (0/1), enumeration
    std::string text;        // string
};
bool conditions_from_json(const json& j, std::vector<Condition>& out);
json conditions_json(const std::vector<Condition>& conds);
// Whether value (of any type, may be null) equals the condition's value.
bool condition_holds(const Condition& c, const ZqwFieldValue* value);

// Objects (events 15 and 21) and symbols (event 17).
struct ObjectEntry {
    uint32_t object = 0, symbol = 0;
    std::string selection_name, hostname;
    bool has_selection_name = false, has_hostname = false;
    int status = 0, state = 1;
};
json objects_json(const std::vector<ObjectEntry>& objects);
ZqwObjectList* objects_from_json(const json& j);   // malloc'd; free_object_list
void free_object_list(ZqwObjectList* list);

struct SymbolEntry {
    uint32_t symbol = 0, object = 0, parent = 0;
    std::string type, label;
    bool has_label = false;
    int status = 0, source = 1, behavior = 1;
};
json symbols_json(const std::vector<SymbolEntry>& symbols);
ZqwSymbolList* symbols_from_json(const json& j);   // malloc'd; free_symbol_list
void free_symbol_list(ZqwSymbolList* list);

}  // namespace zq::zqw::proto
