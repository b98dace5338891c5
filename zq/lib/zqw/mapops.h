// The operator's map calls, shared by the map program's web server and zqtopo:
// make a map, rename it, mark it read-only or writable, delete it, and choose
// the map the applications work on.  Each checks everything first and changes
// nothing when it refuses; the text of a refusal is for the operator.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "zqw_internal.h"

namespace zq::zqw {

constexpr size_t kMaxMapName = 64;          // bytes
constexpr size_t kMaxMapConditions = 32;

using MapFilter = std::vector<std::pair<std::string, std::string>>;   // field name, value text

struct MapOutcome {
    int status = 200;      // 400 refused, 404 no such map, 500 the database failed
    std::string error;
    MapRow map;            // the map as it is after the call
    bool ok() const { return status == 200; }
};

// The map with that id, or else that name (zqtopo takes either).
MapOutcome map_named(const std::string& name_or_id);
MapOutcome map_with_id(uint32_t id);

MapOutcome make_map(const std::string& name, const MapFilter& filter, bool read_only);
MapOutcome rename_map_to(uint32_t id, const std::string& name);
MapOutcome mark_map_read_only(uint32_t id, bool read_only);
MapOutcome remove_map(uint32_t id);            // the map as it was
MapOutcome choose_applications_map(uint32_t id);

// {"id", "name", "read_only", "filter": {FIELD: VALUE...}}: the map program's
// answers and zqtopo --json.
nlohmann::json map_json(const MapRow& m);

}  // namespace zq::zqw
