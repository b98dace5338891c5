// GET /metrics: the figures of every process of the instance (handed to zqspmd
// with ZqsPublishMetrics) and the map program's own, in the text format
// monitoring systems scrape.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "pmproto.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zq::map {

// The handler (any worker thread; the password is checked before it).
void get_metrics(const httplib::Request& req, httplib::Response& res);

// A full snapshot of a map with this many symbols was read for a page.
void count_snapshot(size_t symbols);

// One figure of some process, as zqspmd hands it on.
struct ProcessMetric {
    std::string process;
    zq::pm::Metric metric;
};
// type 'c' (counter) or 'g' (gauge); no label when label is empty.
ProcessMetric make_figure(const std::string& process, char type, const std::string& name, const std::string& help,
                          double value, const std::string& label = "", const std::string& label_value = "");
// The exposition text of figures: one HELP and TYPE per name, at the first
// figure of that name; a later figure whose type differs from the first, or
// that repeats a name and label value, is left out.
std::string render_metrics(const std::vector<ProcessMetric>& figures);

}  // namespace zq::map
