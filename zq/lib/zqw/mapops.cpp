#include "mapops.h"

#include <charconv>

#include "zqcommon.h"

namespace zq::zqw {

namespace {

MapOutcome refused(int status, std::string error) {
    MapOutcome o;
    o.status = status;
    o.error = std::move(error);
    return o;
}

MapOutcome db_failed(const std::string& what) { return refused(500, what + ": " + ZqwErrorMsg(ZqwError())); }

// "" when the name will do.  Control characters would break a line of zqtopo's
// output and of the log.
std::string name_problem(const std::string& name) {
    if (trim(name).empty()) return "a map needs a name";
    if (name.size() > kMaxMapName)
        return "a map name has at most " + std::to_string(kMaxMapName) + " bytes, not " + std::to_string(name.size());
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return "a map name cannot hold control characters";
    return "";
}

std::string filter_problem(const MapFilter& filter) {
    if (filter.size() > kMaxMapConditions)
        return "a filter has at most " + std::to_string(kMaxMapConditions) + " conditions";
    for (const auto& [field, value] : filter) {
        switch (check_condition(field, value)) {
            case 0: break;
            case ZQW_E_NOFIELD: return "filter: no field " + zq::quoted(field);
            case ZQW_E_BADARG:
            case ZQW_E_NOENUM: return "filter: " + zq::quoted(value) + " is not a value of the field " + zq::quoted(field);
            default: return "filter: cannot check the field " + zq::quoted(field) + ": " + ZqwErrorMsg(ZqwError());
        }
    }
    return "";
}

}  // namespace

MapOutcome map_with_id(uint32_t id) {
    std::vector<MapRow> maps;
    if (!list_maps(maps)) return db_failed("cannot list the maps");
    for (auto& m : maps)
        if (m.id == id) {
            MapOutcome o;
            o.map = std::move(m);
            return o;
        }
    return refused(404, "no such map");
}

MapOutcome map_named(const std::string& name_or_id) {
    std::vector<MapRow> maps;
    if (!list_maps(maps)) return db_failed("cannot list the maps");
    uint32_t id = 0;
    auto r = std::from_chars(name_or_id.data(), name_or_id.data() + name_or_id.size(), id);
    bool numeric = r.ec == std::errc() && r.ptr == name_or_id.data() + name_or_id.size();
    for (int pass = 0; pass < 2; ++pass)
        for (auto& m : maps)
            if (pass == 0 ? m.name == name_or_id : numeric && m.id == id) {
                MapOutcome o;
                o.map = std::move(m);
                return o;
            }
    return refused(404, "no such map: " + zq::quoted(name_or_id));
}

MapOutcome make_map(const std::string& name, const MapFilter& filter, bool read_only) {
    std::string why = name_problem(name);
    if (why.empty()) why = filter_problem(filter);
    if (!why.empty()) return refused(400, why);
    uint32_t id = create_map(name, read_only, filter);
    if (id == 0) {
        if (ZqwError() == ZQW_E_EXISTS) return refused(400, "a map named " + zq::quoted(name) + " exists already");
        return db_failed("cannot make the map");
    }
    return map_with_id(id);
}

MapOutcome rename_map_to(uint32_t id, const std::string& name) {
    MapOutcome o = map_with_id(id);
    if (!o.ok()) return o;
    if (o.map.name == name) return o;
    if (o.map.name == "default") return refused(400, "the map \"default\" keeps its name");
    std::string why = name_problem(name);
    if (!why.empty()) return refused(400, why);
    if (!rename_map(id, name)) {
        if (ZqwError() == ZQW_E_EXISTS) return refused(400, "a map named " + zq::quoted(name) + " exists already");
        return db_failed("cannot rename the map");
    }
    return map_with_id(id);
}

MapOutcome mark_map_read_only(uint32_t id, bool read_only) {
    MapOutcome o = map_with_id(id);
    if (!o.ok() || o.map.read_only == read_only) return o;
    if (!set_map_read_only(id, read_only)) return db_failed("cannot change the map");
    return map_with_id(id);
}

MapOutcome remove_map(uint32_t id) {
    MapOutcome o = map_with_id(id);
    if (!o.ok()) return o;
    if (o.map.name == "default") return refused(400, "the map \"default\" cannot be deleted");
    uint32_t apps = applications_map();
    if (apps == 0) return db_failed("cannot read the applications' map");
    if (apps == id)
        return refused(400, "the applications work on the map " + zq::quoted(o.map.name) +
                                ": make another map theirs before deleting it");
    if (!delete_map(id)) return db_failed("cannot delete the map");
    return o;
}

nlohmann::json map_json(const MapRow& m) {
    nlohmann::json filter = nlohmann::json::object();
    for (const auto& [k, v] : m.filter) filter[k] = v;
    return nlohmann::json{{"id", m.id}, {"name", m.name}, {"read_only", m.read_only}, {"filter", filter}};
}

MapOutcome choose_applications_map(uint32_t id) {
    MapOutcome o = map_with_id(id);
    if (!o.ok()) return o;
    if (!set_applications_map(id)) return db_failed("cannot choose the applications' map");
    return o;
}

}  // namespace zq::zqw
