// The event store: db/events.db of an instance, a SQLite file of its own (WAL)
// beside the topology database.  The map program is its only writer (one
// Store opened writable, on one thread); readers (its web server's workers,
// zqevents --history) open their own read-only Store.  Every call returns
// false with a text in error() when the database fails; nothing throws.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "evconf.h"

namespace zq::ev {

std::string store_path();   // $ZQ_ROOT/db/events.db

// What a list asks for.  Parsed from the web API's parameters and from
// zqevents' options by parse_filter; the same names are used by both.
struct Filter {
    std::vector<int> severities;        // empty: any
    std::vector<std::string> categories;
    std::vector<std::string> names;
    uint32_t node = 0;                  // a node id ...
    std::string node_name;              // ... or its name (or an agent address)
    std::string text;                   // a part of the text (any case)
    int64_t from_ms = 0, until_ms = 0;  // time range, 0: open
    int64_t since = 0;                  // events: ids above; alarms: change numbers above
    int limit = 100;                    // 1..10000
    int log_only = -1;                  // events: -1 both, 0 not log only, 1 only log only
    std::string state = "open";         // alarms: open (not cleared), unacked, acked, cleared, all
    int64_t upto = 0;                   // not a parameter: ids (change numbers) up to this, 0 any
};
// Takes one parameter (name, value) into f; false with the reason for an
// unknown name or a value that does not parse.  alarms: the alarm list's names.
bool parse_filter(const std::string& name, const std::string& value, bool alarms, Filter& f, std::string& reason);
// "2026-12-08T08:15:00Z" (seconds, fraction and Z optional; UTC) or
// milliseconds since 1970; false otherwise.
bool parse_time(const std::string& text, int64_t& ms);
std::string format_time(int64_t ms);  // UTC, to the millisecond, ISO 8601

struct Alarm {
    int64_t id = 0, seq = 0;
    std::string key, name, category, node_name, agent, text;
    uint32_t node = 0;
    int severity = kNormal;
    int64_t count = 0, first_ms = 0, last_ms = 0, last_event = 0;
    bool acked = false, cleared = false;
    std::string ack_by;
    int64_t ack_ms = 0, cleared_ms = 0;
};

struct Counters {
    int64_t last_event = 0;   // the highest event id
    int64_t alarm_seq = 0;    // the last alarm change number
    int64_t removed = 0;      // events removed by the bounds
    int64_t lost = 0;         // events the store could not keep (it fell behind)
    int64_t indexed = 0;      // the text index holds the events up to this id
};

class Store {
public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens (writable: creates when missing) the store at path.
    bool open(const std::string& path, bool writable);
    const std::string& error() const { return error_; }

    // --- the writer ---
    // Stores a batch of classified events in one transaction: each gets its id;
    // events that are not log only fold into alarms (reduction key: name, trap
    // identifier, node or agent); a Normal event with clears= clears the open
    // alarms of those names of the same node.  ignore entries never get here.
    bool add(std::vector<Event>& events);
    // Removes the oldest events beyond max_count and those older than
    // max_days, at most chunk rows a call (so a writer never holds the lock
    // long); n gets the number removed.  Cleared alarms older than max_days go too.
    bool prune(int64_t max_count, int max_days, int64_t now_ms, int chunk, int64_t& n);
    bool add_lost(int64_t n);
    // Adds the texts of up to chunk events the text index has not reached to
    // it, in id order; n gets how many (0: it is complete).
    bool index_some(int chunk, int64_t& n);
    // Acknowledge or unacknowledge alarms (any connection that may write).
    bool acknowledge(const std::vector<int64_t>& ids, bool ack, const std::string& who, int64_t now_ms,
                     int64_t& changed);

    // --- readers ---
    bool counters(Counters& c);
    // Newest first.  more: the limit cut the list.
    bool events(const Filter& f, std::vector<Event>& out, bool& more);
    bool event(int64_t id, Event& out, bool& found);
    // Newest change first (by last time).
    bool alarms(const Filter& f, std::vector<Alarm>& out, bool& more);
    // Nodes with an open, unacknowledged Major or Critical alarm.
    bool marked_nodes(std::vector<uint32_t>& out);

private:
    sqlite3_stmt* prepare(const char* sql);
    // One statement of numbers bound in order, run to its end; the rows it
    // changed are added to *changed.
    bool run(const char* sql, std::initializer_list<int64_t> args, int64_t* changed = nullptr);
    bool exec(const char* sql);
    bool fail(const char* what);
    int64_t next_alarm_seq();
    int64_t meta_value(const char* key);
    bool events_part(const Filter& f, int mode, int64_t indexed, int limit, std::vector<Event>& out);
    bool kinds_present(const Filter& f, bool& any);
    bool meta_add(const char* key, int64_t n);

    sqlite3* db_ = nullptr;
    std::unordered_map<const char*, std::pair<std::string, sqlite3_stmt*>> stmts_;
    std::vector<sqlite3_stmt*> owned_;
    std::string error_;
};

// JSON texts of the records, as the web API and zqevents --json write them.
std::string event_json(const Event& e);
std::string alarm_json(const Alarm& a);

}  // namespace zq::ev
