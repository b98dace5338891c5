// Helpers for tests that start the real programs: temporary instances, free
// loopback ports, child processes with captured output.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zqtest {

using Env = std::vector<std::pair<std::string, std::string>>;

// Path of a built program (bin/ of the build tree).
std::string bin(const std::string& name);
// Path of a file of the source tree.
std::string source(const std::string& rel);

// A fresh directory below $TMPDIR, removed with its contents at the end.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// A port that was free on 127.0.0.1 a moment ago.
int free_udp_port();
int free_tcp_port();
// A port free for both UDP and TCP.
int free_port();

// A TCP socket listening on addr:port (a dotted IPv4 address, SO_REUSEADDR set),
// for a test that plays a server itself; -1 with errno set when it cannot be had.
int listen_tcp(const std::string& addr, int port, int backlog = 4);

// The same on a Unix socket at path (the folder must exist; a file there is not
// replaced); and a connection to one.  -1 with errno set when it cannot be had.
int listen_unix(const std::string& path, int backlog = 4);
int connect_unix(const std::string& path);

bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms = 10);

// A child process with standard output and error captured to files.
class Process {
public:
    Process(const std::vector<std::string>& argv, const Env& env = {}, const std::string& stdin_text = "");
    ~Process();  // SIGTERM, up to 5 s, then SIGKILL
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends sig and waits up to timeout_ms; returns the wait status as wait_status() does.
    int stop(int sig = 15, int timeout_ms = 5000);
    // Waits for the end: exit status (0-255), 128+signal when killed, -1 on time-out.
    int wait(int timeout_ms);
    std::string out() const;
    std::string err() const;
    bool wait_for_out(const std::string& needle, int timeout_ms) const;
    bool wait_for_err(const std::string& needle, int timeout_ms) const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string out_path_, err_path_;
    TempDir dir_;
};

struct RunResult {
    int status = -1;  // as Process::wait
    std::string out, err;
};
RunResult run(const std::vector<std::string>& argv, const Env& env = {}, const std::string& stdin_text = "",
              int timeout_ms = 60000);

// Debian's snmpd, started in the foreground on udp:ADDRESS:port with the
// configuration conf (after a line putting its state in DIR/snmpd-state; the
// file is DIR/snmpd.conf), once it says it runs.  nullptr when snmpd is not
// installed, and also (with a test failure) when it does not start.
std::unique_ptr<Process> start_snmpd(const std::string& dir, int port, const std::string& conf,
                                     const std::string& address = "127.0.0.1");

// A platform instance made with zqsetup in a temporary folder, on free ports.
struct Instance {
    TempDir dir;
    std::string root;
    int trap_port, event_port, snmp_port, http_port;
    std::string http_password;  // the map's, as zqsetup wrote it (any user name goes with it)
    explicit Instance(const std::vector<std::string>& extra_setup_args = {});
    Env env() const { return {{"ZQ_ROOT", root}}; }
    // trapd's socket for event sessions.
    std::string event_socket() const { return root + "/run/trapd.sock"; }
    // Sets ZQ_ROOT in this process (for tests that call the libraries directly).
    void activate() const;
};

// argv run as the unprivileged user nobody (65534, no groups), for attacks a
// local user could make.  nobody_skip_reason() is empty when that can be done
// here: the test runs as root and nobody can reach the build.
std::vector<std::string> as_nobody(const std::vector<std::string>& argv);
std::string nobody_skip_reason();

std::string read_file(const std::string& path);
// A configuration text without the lines "KEY=..." of any of keys.
std::string without_settings(const std::string& text, const std::vector<std::string>& keys);
void write_file(const std::string& path, const std::string& text);
// An anonymous temporary file holding text, read from its start; nullptr when
// none can be made.  The caller closes it.
FILE* file_of(const std::string& text);

}  // namespace zqtest
