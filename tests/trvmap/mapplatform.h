// trvmap under the map program among the real daemons: a platform with the map
// program after trvdis, an HTTP client for its API, and the symbols of a node
// as the map shows them.
#pragma once

#include <httplib.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "trvmaptest.h"

namespace trvmaptest {

using json = nlohmann::json;
using zq::zqw::SymbolRow;

// A platform with the map program after trvdis, and an HTTP client for it.
struct MapPlatform : Platform {
    MapPlatform(const std::vector<Node>& nodes, bool with_trvdis = true, bool trace = true,
                const std::string& trvdis_options = "")
        : Platform(nodes, default_rules()) {
        std::string suf = "trapd " + bin("trapd") + "\n";
        if (with_trvdis) suf += "trvdis " + trvdis_options + bin("trvdis") + " -dl 1\n";
        suf += "zqw " + bin("zqw") + " --stop-grace 5\n";
        zqtest::write_file(inst.root + "/conf/zqsuf", suf);
        if (trace) zqtest::write_file(inst.root + "/temp/srdbglog.txt", "");
    }
    json call(const std::string& method, const std::string& path, const json& body = json()) {
        httplib::Client c("127.0.0.1", inst.http_port);
        c.set_read_timeout(30, 0);
        c.set_basic_auth("zq", inst.http_password);
        auto r = method == "GET" ? c.Get(path) : c.Post(path, body.dump(), "application/json");
        if (!r) return json{{"error", "no answer"}};
        json j = json::parse(r->body, nullptr, false);
        if (!j.is_object()) j = json{{"error", r->body}};
        if (r->status != 200) j["status"] = r->status;
        return j;
    }
    // The state of an application as the map program shows it.
    json app(const std::string& name) {
        json apps = call("GET", "/api/apps");
        for (const auto& a : apps.value("apps", json::array()))
            if (a.value("name", "") == name) return a;
        return json::object();
    }
    bool wait_app(const std::string& name, const std::string& state, int timeout_ms = 30000) {
        return zqtest::wait_until([&] { return app(name).value("state", "") == state; }, timeout_ms, 100);
    }
    std::string trace() const { return zqtest::read_file(inst.root + "/temp/trvmapdebug.log"); }
    std::string app_out() const { return zqtest::read_file(inst.root + "/log/Tarvo.out"); }
};

// The node symbol and the component symbols of a node on a map.
struct Drawn {
    SymbolRow node;
    std::vector<SymbolRow> chips;
    bool found = false;
};
inline Drawn drawn(uint32_t map, ZqwObjectId node) {
    Drawn d;
    for (const SymbolRow& s : symbols_of(map, node)) {
        if (s.parent != 0) continue;
        d.node = s;
        d.found = true;
    }
    std::vector<SymbolRow> all;
    zq::zqw::load_symbols(map, all);
    for (const SymbolRow& s : all)
        if (d.found && s.parent == d.node.id) d.chips.push_back(s);
    return d;
}
inline std::string type_of(uint32_t map, ZqwObjectId node) { return drawn(map, node).node.type; }

inline size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

inline bool wait_for(const std::function<bool()>& cond, int timeout_ms = 30000) {
    return zqtest::wait_until(cond, timeout_ms, 100);
}

}  // namespace trvmaptest
