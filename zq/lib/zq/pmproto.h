// The line protocol spoken on run/zqspmd.sock (shared by the zq library, zqspmd
// and the zqstart/zqstop/zqstatus tools).  One record is one line; texts inside a
// record are escaped so that a record never holds a line break.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zq::pm {

// Control characters, DEL and the backslash become \n, \t, \r, \\ or \xHH.
std::string escape(std::string_view text);
// Reverses escape(); a malformed escape is kept as it stands.
std::string unescape(std::string_view text);

// $ZQ_ROOT/run/zqspmd.sock and the pid file beside it.
std::string socket_path();
std::string pid_path();

// A connected, close-on-exec stream socket to path; -1 on failure (errno set).
int connect_unix(const std::string& path);
// Writes every byte (never raises SIGPIPE); false on failure.
bool send_all(int fd, std::string_view data);
// Reads one line (without its '\n') one byte at a time, so that nothing beyond the
// line is consumed.  timeout_ms < 0 waits for ever.  false on EOF, error, time-out
// or a line longer than max_len.
bool read_line(int fd, std::string& line, int timeout_ms = -1, size_t max_len = 65536);

// Sends one request to zqspmd and passes every reply line before the final one to
// on_line.  Returns 0 for a final "OK", 1 for "ERR" (err gets its text), -1 when
// zqspmd cannot be reached or the connection ends early (err says why).
int request(const std::string& line, const std::function<void(const std::string&)>& on_line,
            std::string& err);

// The directory of the running program (from /proc/self/exe), empty if unknown.
std::string program_dir();

// Makes a status text printable on one line: trailing blanks and line breaks go,
// inner line breaks and tabs become blanks, other control characters '?'.
std::string one_line(std::string_view text);

// A request's on_line for the tools that show progress: prints the text of an
// "INFO " line with one_line() and flushes; other lines are passed over.
void print_info(const std::string& line);

// One figure of ZqsPublishMetrics as it travels: the records "METRICS BEGIN",
// one "METRIC\tFIELDS" per figure and "METRICS END" from a daemon; zqspmd
// answers a METRICS request with "METRIC\tPROCESS\tFIELDS" lines.  FIELDS are
// TYPE (c or g), NAME, VALUE, LABEL (may be empty), LABEL VALUE and HELP,
// separated by tabs, the last two escaped (so no field holds a tab).
struct Metric {
    char type = 'c';  // 'c' counter, 'g' gauge
    std::string name;
    double value = 0;
    std::string label, label_value, help;
};
// A metric name ([a-zA-Z_:][a-zA-Z0-9_:]*, at most 100 characters), or with
// label true a label name ([a-zA-Z_][a-zA-Z0-9_]*).
bool metric_name_ok(std::string_view name, bool label = false);
std::string metric_fields(const Metric& m);
// false for anything but the six fields above with good names and a number.
bool parse_metric_fields(std::string_view fields, Metric& m);
// Splits text at each sep.
std::vector<std::string_view> split(std::string_view text, char sep);

}  // namespace zq::pm
