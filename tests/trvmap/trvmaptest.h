// What the trvmap tests share beyond the trvdis tests' helpers: networks with
// management consoles and long condition records, the events trapd saw, and
// the symbols of a map read in this process.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "trvdistest.h"
#include "zqw_internal.h"

namespace trvmaptest {

using namespace trvdistest;

// A condition record (ENT.11.2.10.1.0) of `length` bytes: condition code in
// byte 2, the cluster role in byte 62 (when the record is that long).
inline std::string condition_record(int condition, int role, size_t length = 64) {
    std::string hex;
    char byte[3];
    for (size_t i = 0; i < length; ++i) {
        int v = i == 0 ? 1 : i == 1 ? condition : i == 61 ? role : 0;
        snprintf(byte, sizeof byte, "%02x", v);
        hex += byte;
    }
    return hex;
}

// A network with the management console switch beside the web agent's.
struct MapNode {
    Node node;
    bool console = false;
};

inline std::string map_network_json(const std::vector<MapNode>& nodes) {
    std::vector<Node> plain;
    for (const MapNode& n : nodes) plain.push_back(n.node);
    std::string text = network_json(plain);
    // network_json writes one node a line: the console goes after web_agent.
    std::istringstream in(text);
    std::string out, line;
    size_t i = 0;
    while (std::getline(in, line)) {
        size_t at = line.find("\"web_agent\": ");
        if (at != std::string::npos && i < nodes.size()) {
            line.insert(at, std::string("\"console\": ") + (nodes[i].console ? "true" : "false") + ", ");
            ++i;
        }
        out += line + "\n";
    }
    return out;
}

// The internal events trapd logged with one specific number, each as the list
// of its INTEGER values, in the order trapd saw them.
inline std::vector<std::vector<long>> logged_events(const std::string& trapd_log, int specific) {
    std::vector<std::vector<long>> events;
    std::istringstream lines(trapd_log);
    const std::string key = "specific=" + std::to_string(specific) + " ";
    for (std::string line; std::getline(lines, line);) {
        if (line.find(key) == std::string::npos) continue;
        std::vector<long> values;
        for (size_t at = line.find("INTEGER "); at != std::string::npos; at = line.find("INTEGER ", at + 8))
            values.push_back(std::stol(line.substr(at + 8)));
        events.push_back(values);
    }
    return events;
}

// The map "default" of the open database as a map information record.
struct MapRecord {
    ZqwMapInfo info{};
    explicit MapRecord(const std::string& name = "default") {
        zq::zqw::MapRow row;
        if (zq::zqw::find_map(name, row)) {
            info.map_id = row.id;
            info.read_only = row.read_only ? 1 : 0;
        }
        name_ = name;
        info.name = name_.data();
    }
    const ZqwMapInfo* get() const { return &info; }
    uint32_t id() const { return info.map_id; }

private:
    std::string name_;
};

// The symbols of an object on a map, as the map program shows them.
inline std::vector<zq::zqw::SymbolRow> symbols_of(uint32_t map, ZqwObjectId object) {
    std::vector<zq::zqw::SymbolRow> all, mine;
    if (!zq::zqw::load_symbols(map, all)) return mine;
    for (const auto& s : all)
        if (s.object == object) mine.push_back(s);
    return mine;
}

}  // namespace trvmaptest
