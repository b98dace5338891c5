// What pages follow besides the symbols: when each symbol's status last
// changed, and whether the lists of applications and maps changed.
//
// When each symbol's status last changed.  The status a symbol shows is
// computed when it is read (status sources, components, management), so no
// write says when it changed: the map program reads again the symbols the
// change log names and records those whose status differs from the one it
// recorded before (zqw::note_statuses).  The record is in the database, so it
// outlives a restart; a change made while the map program was not running is
// dated when it starts.
#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "mapd.h"
#include "zqw_internal.h"

namespace zq::map {

namespace {

int64_t g_noted = -1;            // the change-log row noted up to; -1: no pass yet
bool g_failing = false;          // the last pass failed (said once in the log)
constexpr size_t kRowsPerPass = 5000;

// The symbols of every map (or those rows touch) read and noted.
bool note_maps(const std::vector<zqw::ChangeRow>* rows, int64_t now, bool startup) {
    std::vector<zqw::MapRow> maps;
    if (!zqw::list_maps(maps)) return false;
    for (const auto& m : maps) {
        std::vector<zqw::SymbolRow> symbols;
        if (rows == nullptr) {
            if (!zqw::load_symbols(m.id, symbols)) return false;
        } else {
            std::vector<uint32_t> existing, deleted;
            if (!zqw::affected_symbols(m.id, *rows, existing, deleted)) return false;
            if (existing.empty()) continue;
            if (!zqw::load_symbols(m.id, existing, symbols)) return false;
        }
        if (!zqw::note_statuses(symbols, now, startup)) return false;
    }
    return true;
}

}  // namespace

void note_status_changes(bool startup) {
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    int64_t last = zqw::last_change();
    bool first = startup || g_noted < 0;
    while (first || g_noted < last) {
        std::vector<zqw::ChangeRow> rows;
        bool whole = first || !zqw::changes_since(g_noted, kRowsPerPass, rows) || rows.size() >= kRowsPerPass;
        if (!whole && rows.empty()) {
            g_noted = last;
            break;
        }
        // Rows pruned, or a burst: one pass over everything costs less.
        if (!note_maps(whole ? nullptr : &rows, now, first)) {
            if (!g_failing) log("cannot record the symbols' statuses: %s", ZqwErrorMsg(ZqwError()));
            g_failing = true;
            return;
        }
        g_noted = whole ? last : rows.back().seq;
        first = false;
    }
    g_failing = false;
}

namespace {

std::atomic<int64_t> g_lists{1};
std::string g_lists_seen;   // what the number stands for now

}  // namespace

void note_list_changes() {
    std::string text;
    for (const auto& a : apps()) {
        text += a.def.name + '\n' + a.state + '\n' + std::to_string(a.pid) + ' ' + std::to_string(a.exit_status) +
                ' ' + std::to_string(a.restarts) + '\n';
    }
    std::vector<zqw::MapRow> maps;
    if (!zqw::list_maps(maps)) return;
    for (const auto& m : maps) {
        text += std::to_string(m.id) + ' ' + (m.read_only ? "ro " : "rw ") + m.name + '\n';
        for (const auto& [field, value] : m.filter) text += field + '\n' + value + '\n';
    }
    text += "open " + std::to_string(open_map());
    if (text == g_lists_seen) return;
    g_lists_seen = std::move(text);
    g_lists.fetch_add(1);
    wake_change_waiters();
}

int64_t lists_version() { return g_lists.load(); }

}  // namespace zq::map
