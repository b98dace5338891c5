// The operator's map calls (zq/README.md, "Map program HTTP API"):
//   POST /api/maps                 {"name", "filter": {FIELD: VALUE...}, "read_only"}
//   POST /api/maps/ID/rename       {"name"}
//   POST /api/maps/ID/read_only    {"read_only": true|false}
//   POST /api/maps/ID/delete       {}
// Each answers {"map": {...}} (the map as it is now; as it was for delete), or
// 400 / 404 with a text and nothing changed.  Which map a page shows is the
// page's own business; POST /api/maps/ID/open (http.cpp) chooses the map the
// applications work on.
#include <httplib.h>

#include <string>

#include <nlohmann/json.hpp>

#include "httpkit.h"
#include "mapops.h"
#include "zqcommon.h"

namespace zq::map {

namespace {

using json = nlohmann::json;
using zq::zqw::MapOutcome;

// Keys other than those a call takes are refused: a misspelt "read_only"
// would otherwise make a writable map without a word.
bool only_keys(const json& body, std::initializer_list<const char*> keys, httplib::Response& res) {
    for (const auto& [k, v] : body.items()) {
        bool known = false;
        for (const char* key : keys) known = known || k == key;
        if (!known) {
            web::fail(res, 400, "unknown key \"" + k + "\"");
            return false;
        }
    }
    return true;
}

bool name_of(const json& body, std::string& out, httplib::Response& res) {
    auto it = body.find("name");
    if (it == body.end() || !it->is_string()) {
        web::fail(res, 400, "\"name\" must be a text");
        return false;
    }
    out = it->get<std::string>();
    return true;
}

bool flag_of(const json& body, const char* key, bool required, bool& out, httplib::Response& res) {
    auto it = body.find(key);
    if (it == body.end() && !required) return true;
    if (it == body.end() || !it->is_boolean()) {
        web::fail(res, 400, std::string("\"") + key + "\" must be true or false");
        return false;
    }
    out = it->get<bool>();
    return true;
}

bool filter_of(const json& body, zq::zqw::MapFilter& out, httplib::Response& res) {
    auto it = body.find("filter");
    if (it == body.end() || it->is_null()) return true;
    if (!it->is_object()) {
        web::fail(res, 400, "\"filter\" must be an object of field names and values");
        return false;
    }
    for (const auto& [field, value] : it->items()) {
        if (!value.is_string()) {
            web::fail(res, 400, "filter: the value of \"" + field + "\" must be a text");
            return false;
        }
        out.emplace_back(field, value.get<std::string>());
    }
    return true;
}

// Runs a change on the main loop and answers it.
template <class F>
void answer(httplib::Response& res, F change) {
    auto r = web::on_main(std::move(change));
    if (!r) return web::busy(res);
    if (!r->ok()) return web::fail(res, r->status, r->error);
    web::reply(res, json{{"map", zq::zqw::map_json(r->map)}});
}

void post_create(const httplib::Request& req, httplib::Response& res) {
    auto body = web::body_of(req, res);
    if (!body || !only_keys(*body, {"name", "filter", "read_only"}, res)) return;
    std::string name;
    zq::zqw::MapFilter filter;
    bool read_only = false;
    if (!name_of(*body, name, res) || !filter_of(*body, filter, res) || !flag_of(*body, "read_only", false, read_only, res))
        return;
    answer(res, [name, filter, read_only] {
        MapOutcome o = zq::zqw::make_map(name, filter, read_only);
        if (o.ok()) log("map %s made", zq::quoted(o.map.name).c_str());
        return o;
    });
}

void post_rename(const httplib::Request& req, httplib::Response& res) {
    uint32_t id = 0;
    if (!web::path_id(req, 1, id)) return web::fail(res, 404, "no such map");
    auto body = web::body_of(req, res);
    std::string name;
    if (!body || !only_keys(*body, {"name"}, res) || !name_of(*body, name, res)) return;
    answer(res, [id, name] { return zq::zqw::rename_map_to(id, name); });
}

void post_read_only(const httplib::Request& req, httplib::Response& res) {
    uint32_t id = 0;
    if (!web::path_id(req, 1, id)) return web::fail(res, 404, "no such map");
    auto body = web::body_of(req, res);
    bool read_only = false;
    if (!body || !only_keys(*body, {"read_only"}, res) || !flag_of(*body, "read_only", true, read_only, res)) return;
    answer(res, [id, read_only] { return zq::zqw::mark_map_read_only(id, read_only); });
}

void post_delete(const httplib::Request& req, httplib::Response& res) {
    uint32_t id = 0;
    if (!web::path_id(req, 1, id)) return web::fail(res, 404, "no such map");
    auto body = web::body_of(req, res);
    if (!body || !only_keys(*body, {}, res)) return;
    answer(res, [id] {
        MapOutcome o = zq::zqw::remove_map(id);
        if (o.ok()) log("map %s deleted", zq::quoted(o.map.name).c_str());
        return o;
    });
}

}  // namespace

void add_map_routes(httplib::Server& s) {
    s.Post("/api/maps", post_create);
    s.Post(R"(/api/maps/(\d+)/rename)", post_rename);
    s.Post(R"(/api/maps/(\d+)/read_only)", post_read_only);
    s.Post(R"(/api/maps/(\d+)/delete)", post_delete);
}

}  // namespace zq::map
