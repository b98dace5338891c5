// An exposition text read by the monitoring client's own parser
// (metrics_parse.py, Debian's python3-prometheus-client), for the tests of
// GET /metrics.
#pragma once

#include <cmath>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "testsupport.h"

namespace zqtest {

struct Scrape {
    bool parsed = false;
    std::string error;                         // the parser's complaint
    std::map<std::string, std::string> types;  // family -> counter, gauge, ...
    nlohmann::json samples = nlohmann::json::array();

    // The value of the sample name{label="label_value"} (no label: label ""),
    // NaN when there is none.
    double value(const std::string& name, const std::string& label = "", const std::string& label_value = "") const {
        for (const auto& s : samples) {
            const auto& labels = s[1];
            bool match = label.empty() ? labels.empty()
                                       : labels.size() == 1 && labels.value(label, std::string("\x01")) == label_value;
            if (s[0] == name && match) return std::stod(s[2].get<std::string>());
        }
        return NAN;
    }
    size_t count(const std::string& name) const {
        size_t n = 0;
        for (const auto& s : samples) n += s[0] == name;
        return n;
    }
};

inline Scrape parse_exposition(const std::string& text) {
    Scrape s;
    RunResult r = run({"/usr/bin/python3", source("tests/support/metrics_parse.py")}, {}, text, 20000);
    s.error = r.err;
    if (r.status != 0) return s;
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    if (!j.is_object()) {
        s.error = "not JSON: " + r.out;
        return s;
    }
    for (const auto& [k, v] : j["types"].items()) s.types[k] = v.get<std::string>();
    s.samples = j["samples"];
    s.parsed = true;
    return s;
}

}  // namespace zqtest
