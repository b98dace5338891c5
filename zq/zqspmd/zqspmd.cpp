// zqspmd: the process manager of one instance.  It starts the processes of
// conf/zqsuf in order, each only after the one before it has reported the end of
// its start-up, keeps their state, and passes commands to them.  Daemons and the
// operator's tools talk to it on run/zqspmd.sock (protocol in pmproto.h and
// zq/README.md).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <sstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outlog.h"
#include "pmproto.h"
#include "zqcommon.h"
#include "zqconf.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- settings

struct Options {
    bool daemon = false;
    double start_wait = 30.0;  // seconds a start waits for the start-up report
    double stop_grace = 10.0;  // seconds a stop waits before SIGKILL
    double restart_delay = 1.0;  // seconds before the first automatic restart (doubled each time)
};
Options g_opt;

// ---------------------------------------------------------------- log

int g_log_fd = -1;
bool g_log_stderr = true;

void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    zq::log_vline(g_log_fd, g_log_stderr, "zqspmd[" + std::to_string(getpid()) + "]", fmt, ap);
    va_end(ap);
}

// ---------------------------------------------------------------- processes

enum class State { NotRunning, Running, Failed, Exited };

const char* state_name(State s) {
    switch (s) {
        case State::NotRunning: return "NOT_RUNNING";
        case State::Running: return "RUNNING";
        case State::Failed: return "FAILED";
        case State::Exited: return "EXITED";
    }
    return "?";
}

struct Proc {
    std::string name;
    std::vector<std::string> argv;  // argv[0] is the program path as written
    bool listed = true;              // still in conf/zqsuf
    pid_t pid = -1;
    State state = State::NotRunning;
    std::optional<int> exit_status;  // >= 0 exit code, < 0 minus the signal number
    std::string text;                // last text of InitComplete / Done
    int conn = -1;                   // registered connection (ZqsInit)
    int init = 0;                    // 0 none yet, 1 complete, 2 failed
    bool stopping = false;           // a stop (command 6) was sent
    // Restarts (see reap): off with "restart=no" on the line in conf/zqsuf.
    bool restart = true;
    std::deque<Clock::time_point> restarts;  // automatic restarts of the last 10 minutes
    bool restart_pending = false;             // at restart_at
    Clock::time_point restart_at{};
    bool wait_trapd = false;                  // ended because trapd was lost: once it is back
    Clock::time_point ended_at{};             // when it ended on its own (status 0)
    std::shared_ptr<zq::OutLog> out;          // log/NAME.out
    std::vector<zq::pm::Metric> metrics;      // its last ZqsPublishMetrics set, while it runs
};

std::vector<Proc> g_procs;

// The read ends of the pipes the processes write their output into, each with
// its process's log/NAME.out.  A pipe stays until every writer has closed it
// (a process's children may outlive it), so there may be more than one per name.
struct Output {
    int fd = -1;
    std::shared_ptr<zq::OutLog> log;
};
std::vector<Output> g_outputs;

Proc* find_proc(const std::string& name) {
    for (auto& p : g_procs)
        if (p.name == name) return &p;
    return nullptr;
}

// Reads conf/zqsuf: new names are appended, known ones take the new command line
// (used at their next start); names no longer listed are dropped once they are not
// running.
// False (nothing changed, the errors logged and in errors) when the file cannot
// be read or has a line in error: zqspmd never runs half a list.
bool load_zqsuf(std::vector<std::string>* errors_out = nullptr) {
    std::string file = zq::instance_path("conf/zqsuf");
    std::string text, why;
    std::vector<std::string> errors;
    std::vector<zq::SufLine> lines;
    if (!zq::read_regular(file, text, &why)) errors.push_back("cannot read " + why);
    else zq::parse_zqsuf(text, file, lines, errors);
    if (!errors.empty()) {
        for (auto& e : errors) logf("%s", e.c_str());
        logf("conf/zqsuf not taken: it has errors (the processes stay as they were)");
        if (errors_out) *errors_out = errors;
        return false;
    }
    for (auto& p : g_procs) p.listed = false;
    std::vector<Proc> order;
    for (auto& l : lines) {
        Proc* old = find_proc(l.name);
        Proc p = old ? std::move(*old) : Proc{};
        if (old) old->name.clear();  // moved
        p.name = l.name;
        p.restart = l.restart;
        p.argv = l.argv;
        p.listed = true;
        order.push_back(std::move(p));
    }
    // Keep running processes that are no longer listed, so they can still be stopped.
    for (auto& p : g_procs)
        if (!p.name.empty() && !p.listed && p.pid > 0) order.push_back(std::move(p));
    g_procs = std::move(order);
    return true;
}

bool executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The file to execute: absolute paths as written, other paths with a '/' below
// ZQ_ROOT, bare names in zqspmd's own directory, then on PATH.
std::string resolve_program(const std::string& prog) {
    if (prog.empty()) return {};
    if (prog.front() == '/') return prog;
    if (prog.find('/') != std::string::npos) return zq::instance_path(prog);
    std::string mine = zq::pm::program_dir();
    if (!mine.empty() && executable(mine + "/" + prog)) return mine + "/" + prog;
    for (const std::string& dir : zq::path_dirs())
        if (executable(dir + "/" + prog)) return dir + "/" + prog;
    return prog;  // execve reports ENOENT
}

// Starts p.  false (with p FAILED and the reason in p.text) when it cannot run.
bool spawn(Proc& p) {
    p.exit_status.reset();
    p.text.clear();
    p.metrics.clear();
    p.init = 0;
    p.stopping = false;
    if (p.argv.empty()) return false;
    std::string exe = resolve_program(p.argv[0]);
    // Its output reaches log/NAME.out through zqspmd, which keeps the file bounded.
    std::string out_path = zq::instance_path("log/" + p.name + ".out");
    std::string why;
    if (!p.out || p.out->path() != out_path) p.out = std::make_shared<zq::OutLog>(out_path);
    if (!p.out->open(&why)) {
        p.state = State::Failed;
        p.text = "cannot open " + why;
        logf("%s: %s", p.name.c_str(), p.text.c_str());
        return false;
    }
    int outpipe[2];
    if (pipe2(outpipe, O_CLOEXEC) != 0) {
        p.state = State::Failed;
        p.text = std::string("cannot start: ") + std::strerror(errno);
        return false;
    }
    int out = outpipe[1];
    int errpipe[2];
    if (pipe2(errpipe, O_CLOEXEC) != 0) {
        close(outpipe[0]);
        close(out);
        p.state = State::Failed;
        p.text = std::string("cannot start: ") + std::strerror(errno);
        return false;
    }
    // Everything the child needs is prepared before fork.
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "ZQ_ROOT=", 8) == 0 || std::strncmp(*e, "ZQS_NAME=", 9) == 0) continue;
        envs.emplace_back(*e);
    }
    envs.push_back("ZQ_ROOT=" + zq::root());
    envs.push_back("ZQS_NAME=" + p.name);
    std::vector<char*> cargv, cenv;
    for (auto& a : p.argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(outpipe[0]);
        close(out);
        close(errpipe[0]);
        close(errpipe[1]);
        p.state = State::Failed;
        p.text = std::string("cannot start: ") + std::strerror(e);
        logf("%s: %s", p.name.c_str(), p.text.c_str());
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT}) signal(s, SIG_DFL);
        // What logrotate and operators send the whole group must not end a daemon:
        // ignored unless the program asks for it itself (trapd reopens its log).
        signal(SIGHUP, SIG_IGN);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(exe.c_str(), cargv.data(), cenv.data());
        int e = errno;
        ssize_t w = write(errpipe[1], &e, sizeof e);
        (void)w;
        _exit(127);
    }
    close(out);
    fcntl(outpipe[0], F_SETFL, O_NONBLOCK);
    g_outputs.push_back(Output{outpipe[0], p.out});
    close(errpipe[1]);
    int e = 0;
    ssize_t n;
    do n = read(errpipe[0], &e, sizeof e);
    while (n < 0 && errno == EINTR);
    close(errpipe[0]);
    if (n == sizeof e) {
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        p.state = State::Failed;
        p.text = "cannot start " + exe + ": " + std::strerror(e);
        logf("%s: %s", p.name.c_str(), p.text.c_str());
        return false;
    }
    p.pid = pid;
    p.state = State::Running;
    logf("%s: started %s (pid %d)", p.name.c_str(), exe.c_str(), static_cast<int>(pid));
    return true;
}

// ---------------------------------------------------------------- jobs

// Starts and stops run one at a time, in order, so that a process always finds the
// ones before it running; status and commands are answered at once.
struct Job {
    enum Kind { Start, Stop, Shutdown } kind = Start;
    std::vector<std::string> names;  // in the order they are worked on
    size_t idx = 0;
    enum Phase { Idle, WaitInit, WaitExit, WaitKill } phase = Idle;
    Clock::time_point deadline{};
    int client = -1;
    std::vector<std::string> failed;
};

std::deque<Job> g_jobs;
bool g_quit = false;

// ---------------------------------------------------------------- connections

struct Conn {
    int fd = -1;
    std::string in;
    bool is_daemon = false;
    std::string proc;     // registered process name
    bool busy = false;    // a tool request is being worked on
    bool closed = false;  // to be removed
    // A daemon's ZqsPublishMetrics set being received (METRICS BEGIN .. END).
    bool in_metrics = false;
    std::vector<zq::pm::Metric> metrics;
    size_t metrics_bytes = 0;
};

constexpr size_t kMetricsMax = 512;             // figures of one set (ZQS_METRICS_MAX)
constexpr size_t kMetricsBytesMax = 256u << 10;  // and their bytes

std::map<int, Conn> g_conns;

void reply(int fd, const std::string& line) {
    if (fd < 0 || g_conns.find(fd) == g_conns.end()) return;
    std::string s = line + "\n";
    while (!s.empty()) {
        ssize_t n = send(fd, s.data(), s.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            g_conns[fd].closed = true;  // a client that does not read loses its answer
            return;
        }
        s.erase(0, static_cast<size_t>(n));
    }
}

void close_conn(int fd) {
    auto it = g_conns.find(fd);
    if (it == g_conns.end()) return;
    for (auto& p : g_procs)
        if (p.conn == fd) {
            p.conn = -1;
            p.metrics.clear();  // its figures go with it
        }
    for (auto& j : g_jobs)
        if (j.client == fd) j.client = -1;  // the number may be reused
    close(fd);
    g_conns.erase(it);
}

// ---------------------------------------------------------------- job steps


Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

void info(Job& j, const std::string& text) {
    logf("%s", text.c_str());
    reply(j.client, "INFO " + zq::pm::escape(text));
}

void send_stop(Proc& p) {
    p.stopping = true;
    if (p.conn >= 0 && zq::pm::send_all(p.conn, "CMD 6\n")) {
        logf("%s: sent command 6 (stop)", p.name.c_str());
        return;
    }
    // Never registered (or the connection is gone): ask with SIGTERM instead.
    logf("%s: not registered, sending SIGTERM", p.name.c_str());
    kill(p.pid, SIGTERM);
}

// Advances the current job as far as it can go now.
void step_jobs() {
    while (!g_jobs.empty()) {
        Job& j = g_jobs.front();
        if (j.idx >= j.names.size()) {
            if (j.failed.empty()) {
                reply(j.client, "OK");
            } else {
                std::string list;
                for (auto& n : j.failed) list += (list.empty() ? "" : " ") + n;
                reply(j.client, std::string("ERR ") + (j.kind == Job::Start ? "not started: " : "not stopped: ") +
                                    zq::pm::escape(list));
            }
            if (j.client >= 0 && g_conns.count(j.client)) g_conns[j.client].closed = true;
            if (j.kind == Job::Shutdown) g_quit = true;
            g_jobs.pop_front();
            continue;
        }
        Proc* p = find_proc(j.names[j.idx]);
        auto next = [&] {
            ++j.idx;
            j.phase = Job::Idle;
        };
        if (p == nullptr) {  // dropped from conf/zqsuf meanwhile
            next();
            continue;
        }
        if (j.kind == Job::Start) {
            if (j.phase == Job::Idle) {
                if (p->pid > 0) {
                    info(j, p->name + " is already running");
                    next();
                    continue;
                }
                if (!spawn(*p)) {
                    info(j, p->name + " could not be started: " + p->text);
                    j.failed.push_back(p->name);
                    next();
                    continue;
                }
                j.phase = Job::WaitInit;
                j.deadline = after(g_opt.start_wait);
            }
            if (p->init == 1) {
                info(j, p->name + " started (pid " + std::to_string(p->pid) + ")");
                next();
            } else if (p->init == 2) {
                info(j, p->name + " reported a failed start-up: " + p->text);
                j.failed.push_back(p->name);
                next();
            } else if (p->pid <= 0) {
                info(j, p->name + " ended during its start-up");
                j.failed.push_back(p->name);
                next();
            } else if (Clock::now() >= j.deadline) {
                info(j, p->name + " did not report its start-up in time; going on");
                next();
            } else {
                return;  // wait
            }
        } else {
            if (j.phase == Job::Idle) {
                if (p->pid <= 0) {
                    if (j.kind == Job::Stop) info(j, p->name + " is not running");
                    next();
                    continue;
                }
                send_stop(*p);
                j.phase = Job::WaitExit;
                j.deadline = after(g_opt.stop_grace);
            }
            if (p->pid <= 0) {
                info(j, p->name + (j.phase == Job::WaitKill ? " killed" : " stopped"));
                next();
            } else if (Clock::now() >= j.deadline) {
                if (j.phase == Job::WaitExit) {
                    logf("%s: still running after %.1f s, sending SIGKILL", p->name.c_str(), g_opt.stop_grace);
                    kill(-p->pid, SIGKILL);
                    kill(p->pid, SIGKILL);
                    j.phase = Job::WaitKill;
                    j.deadline = after(5);
                } else {
                    info(j, p->name + " could not be killed");
                    j.failed.push_back(p->name);
                    next();
                }
            } else {
                return;
            }
        }
    }
}

void queue_job(Job::Kind kind, const std::vector<std::string>& names, int client) {
    Job j;
    j.kind = kind;
    j.client = client;
    if (names.empty()) {  // all, in start order (stops in reverse)
        for (auto& p : g_procs)
            if (kind == Job::Start ? p.listed : true) j.names.push_back(p.name);
    } else {
        for (auto& p : g_procs)
            for (auto& n : names)
                if (p.name == n) j.names.push_back(p.name);
    }
    if (kind != Job::Start) std::reverse(j.names.begin(), j.names.end());
    for (auto& n : j.names)
        if (Proc* p = find_proc(n); p != nullptr && (kind != Job::Start || client >= 0)) {
            // An operator's start or stop replaces whatever restart was planned,
            // and a start gives the process its whole restart budget again: a
            // daemon FAILED after five restarts is watched as before once the
            // operator has mended what made it fail.
            p->restart_pending = false;
            p->wait_trapd = false;
            if (kind == Job::Start) p->restarts.clear();
        }
    if (client >= 0) g_conns[client].busy = true;
    g_jobs.push_back(std::move(j));
}

// ---------------------------------------------------------------- requests

std::vector<std::string> words_of(const std::string& s) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        size_t b = i;
        while (i < s.size() && s[i] != ' ') ++i;
        if (i > b) w.push_back(s.substr(b, i - b));
    }
    return w;
}

void handle_daemon_record(Conn& c, const std::string& line) {
    Proc* p = find_proc(c.proc);
    if (p == nullptr || p->conn != c.fd) return;
    if (line.compare(0, 5, "INIT ") == 0 && line.size() >= 6 && (line[5] == '1' || line[5] == '2')) {
        p->init = line[5] - '0';
        p->text = line.size() > 7 ? zq::pm::unescape(line.substr(7)) : std::string();
        if (p->init == 2) p->state = State::Failed;
        logf("%s: start-up %s: %s", p->name.c_str(), p->init == 1 ? "complete" : "FAILED",
             zq::pm::escape(p->text).c_str());
    } else if (line == "METRICS BEGIN") {
        c.in_metrics = true;
        c.metrics.clear();
        c.metrics_bytes = 0;
    } else if (line.compare(0, 7, "METRIC\t") == 0) {
        // Beyond the bounds or malformed: left out (the set is the library's,
        // so this is a mismatch of versions, not an operator's error).
        zq::pm::Metric m;
        c.metrics_bytes += line.size();
        if (c.in_metrics && c.metrics.size() < kMetricsMax && c.metrics_bytes <= kMetricsBytesMax &&
            zq::pm::parse_metric_fields(std::string_view(line).substr(7), m))
            c.metrics.push_back(std::move(m));
    } else if (line == "METRICS END") {
        if (c.in_metrics) p->metrics = std::move(c.metrics);
        c.in_metrics = false;
        c.metrics.clear();
    } else if (line == "DONE" || line.compare(0, 5, "DONE ") == 0) {
        if (line.size() > 5) p->text = zq::pm::unescape(line.substr(5));
        logf("%s: done: %s", p->name.c_str(), zq::pm::escape(p->text).c_str());
    } else {
        logf("%s: unknown record ignored", p->name.c_str());
    }
}

bool peer_uid_ok(int fd, pid_t* pid_out) {
    ucred cr{};
    socklen_t len = sizeof cr;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &len) != 0) return false;
    if (pid_out) *pid_out = cr.pid;
    return cr.uid == getuid() || cr.uid == 0;
}

void handle_hello(Conn& c, const std::vector<std::string>& w) {
    pid_t peer = -1;
    peer_uid_ok(c.fd, &peer);
    Proc* p = w.size() == 3 ? find_proc(w[1]) : nullptr;
    // The caller must be the process started under that name, or one of its
    // descendants in the process group it was started in (a wrapper script).
    if (p == nullptr || p->pid <= 0 || peer <= 0 || (peer != p->pid && getpgid(peer) != p->pid)) {
        logf("registration refused: %s (pid %d) was not started by zqspmd", w.size() > 1 ? w[1].c_str() : "?",
             static_cast<int>(peer));
        reply(c.fd, "ERR not started by zqspmd");
        c.closed = true;
        return;
    }
    if (p->conn >= 0 && p->conn != c.fd && g_conns.count(p->conn)) g_conns[p->conn].closed = true;
    p->conn = c.fd;
    c.is_daemon = true;
    c.proc = p->name;
    logf("%s: registered (pid %d)", p->name.c_str(), static_cast<int>(peer));
    reply(c.fd, "OK");
}

void handle_status(Conn& c) {
    for (auto& p : g_procs) {
        std::string exit = "-";
        if (p.exit_status) exit = *p.exit_status >= 0 ? std::to_string(*p.exit_status)
                                                        : "sig" + std::to_string(-*p.exit_status);
        reply(c.fd, "PROC " + p.name + " " + (p.pid > 0 ? std::to_string(p.pid) : "-") + " " +
                        state_name(p.state) + " " + exit + " " + zq::pm::escape(p.text));
    }
    reply(c.fd, "OK");
    c.closed = true;
}

// The figures of every running process, and zqspmd's own: whether each
// process runs and how often it was restarted lately.
void handle_metrics(Conn& c) {
    auto send = [&](const std::string& proc, const zq::pm::Metric& m) {
        reply(c.fd, "METRIC\t" + proc + "\t" + zq::pm::metric_fields(m));
    };
    auto per_process = [&](const char* name, const char* help, auto value_of) {
        for (auto& p : g_procs) {
            zq::pm::Metric m;
            m.type = 'g';
            m.name = name;
            m.help = help;
            m.label = "process";
            m.label_value = p.name;
            m.value = value_of(p);
            send("zqspmd", m);
        }
    };
    auto now = Clock::now();
    per_process("zq_process_running", "1 while the process of conf/zqsuf runs, else 0",
                [](const Proc& p) { return p.pid > 0 ? 1.0 : 0.0; });
    per_process("zq_process_restarts", "Automatic restarts of the process in the last 10 minutes", [&](const Proc& p) {
        return static_cast<double>(std::count_if(p.restarts.begin(), p.restarts.end(), [&](Clock::time_point t) {
            return now - t <= std::chrono::minutes(10);
        }));
    });
    for (auto& p : g_procs)
        if (p.pid > 0)
            for (auto& m : p.metrics) send(p.name, m);
    reply(c.fd, "OK");
    c.closed = true;
}

void handle_request(Conn& c, const std::string& line) {
    std::vector<std::string> w = words_of(line);
    if (w.empty()) return;
    if (c.is_daemon) {
        handle_daemon_record(c, line);
        return;
    }
    if (c.busy) return;  // one request per tool connection
    if (w[0] == "HELLO") {
        handle_hello(c, w);
        return;
    }
    if (!peer_uid_ok(c.fd, nullptr)) {
        reply(c.fd, "ERR permission denied");
        c.closed = true;
        return;
    }
    if (w[0] == "STATUS") {
        handle_status(c);
        return;
    }
    if (w[0] == "METRICS") {
        handle_metrics(c);
        return;
    }
    if (w[0] == "SHUTDOWN") {
        logf("shutdown requested");
        queue_job(Job::Shutdown, {}, c.fd);
        return;
    }
    if (w[0] == "START" || w[0] == "STOP") {
        std::vector<std::string> errors;
        if (w[0] == "START" && !load_zqsuf(&errors)) {
            reply(c.fd, "ERR " + zq::pm::escape(errors.front() + (errors.size() > 1 ? " (and " +
                                                    std::to_string(errors.size() - 1) + " more, see zqcheck)" : "")));
            c.closed = true;
            return;
        }
        std::vector<std::string> names(w.begin() + 1, w.end());
        bool all = names.empty();
        for (auto& n : names) all = all || n == "all";
        if (all) names.clear();
        for (auto& n : names)
            if (find_proc(n) == nullptr) {
                reply(c.fd, "ERR no process named " + zq::pm::escape(n) + " in conf/zqsuf");
                c.closed = true;
                return;
            }
        logf("%s %s", w[0] == "START" ? "start" : "stop", all ? "all" : line.substr(w[0].size() + 1).c_str());
        queue_job(w[0] == "START" ? Job::Start : Job::Stop, names, c.fd);
        return;
    }
    if (w[0] == "SEND" && w.size() == 3) {
        char* end = nullptr;
        long n = std::strtol(w[1].c_str(), &end, 10);
        Proc* p = find_proc(w[2]);
        std::string err;
        if (end == w[1].c_str() || *end != '\0' || n < 0 || n > 0x7fffffffL) err = "bad command number";
        else if (p == nullptr) err = "no process named " + w[2];
        else if (p->pid <= 0) err = w[2] + " is not running";
        else if (p->conn < 0) err = w[2] + " has not registered with zqspmd";
        else if (!zq::pm::send_all(p->conn, "CMD " + std::to_string(n) + "\n")) err = "cannot reach " + w[2];
        if (err.empty()) logf("%s: sent command %ld", p->name.c_str(), n);
        reply(c.fd, err.empty() ? "OK" : "ERR " + zq::pm::escape(err));
        c.closed = true;
        return;
    }
    reply(c.fd, "ERR unknown request");
    c.closed = true;
}

// Reads what is there; false when the peer is gone.
bool read_conn(Conn& c) {
    char buf[4096];
    bool alive = true;
    while (true) {
        ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            alive = false;  // what came before the end still counts
            break;
        }
        c.in.append(buf, static_cast<size_t>(n));
        if (c.in.size() > 65536 && c.in.find('\n') == std::string::npos) return false;
    }
    size_t pos;
    while (!c.closed && (pos = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, pos);
        c.in.erase(0, pos + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        handle_request(c, line);
    }
    return alive;
}

// ---------------------------------------------------------------- children

Clock::time_point g_trapd_lost_at{};
bool g_shutting_down = false;

bool is_trapd(const Proc& p) {
    if (p.name == "trapd") return true;
    if (p.argv.empty()) return false;
    const std::string& a = p.argv[0];
    return a == "trapd" || (a.size() > 6 && a.compare(a.size() - 6, 6, "/trapd") == 0);
}

const Proc* trapd_proc() {
    for (auto& p : g_procs)
        if (is_trapd(p)) return &p;
    return nullptr;
}

// Why a process that ended after a good start-up is started again, and when:
//  - ended while trapd is gone (or went within the last 10 s): once trapd is
//    back, in conf/zqsuf order (the integration's daemons end when they lose it);
//  - ended by a signal zqspmd did not send, or with a non-zero status: again
//    after 1, 2, 4, 8, 16 s (--restart-delay), at most 5 times in 10 minutes, then FAILED;
//  - status 0 otherwise: it ended at its own request, and stays ended.
void plan_restart(Proc& p, int st) {
    if (!p.restart || !p.listed || g_shutting_down) return;
    const Proc* t = trapd_proc();
    bool trapd_gone = t != nullptr && t != &p &&
                      (t->pid <= 0 || t->init != 1 || Clock::now() - g_trapd_lost_at < std::chrono::seconds(10)) &&
                      g_trapd_lost_at != Clock::time_point{};
    bool crashed = WIFSIGNALED(st) || (WIFEXITED(st) && WEXITSTATUS(st) != 0);
    if (!crashed && !trapd_gone) return;
    if (trapd_gone) {
        p.wait_trapd = true;
        logf("%s: ended after trapd was lost; restarted once trapd is back", p.name.c_str());
        return;
    }
    auto now = Clock::now();
    while (!p.restarts.empty() && now - p.restarts.front() > std::chrono::minutes(10)) p.restarts.pop_front();
    if (p.restarts.size() >= 5) {
        p.state = State::Failed;
        p.text += (p.text.empty() ? "" : "; ") + std::string("restarted 5 times in 10 minutes, not again");
        logf("%s: restarted 5 times in 10 minutes: not restarted again (FAILED)", p.name.c_str());
        return;
    }
    double delay = g_opt.restart_delay * (1 << p.restarts.size());
    p.restarts.push_back(now);
    p.restart_pending = true;
    p.restart_at = after(delay);
    logf("%s: restarting in %.1f s (restart %zu of at most 5 in 10 minutes)", p.name.c_str(), delay,
         p.restarts.size());
}

// Starts what is due: planned restarts, and the processes that wait for trapd once
// trapd has reported its start-up.  The milliseconds until the next planned
// restart, or -1.
long long run_restarts() {
    long long next = -1;
    if (g_shutting_down) return next;
    auto now = Clock::now();
    std::vector<std::string> due;
    for (auto& p : g_procs) {
        if (!p.restart_pending) continue;
        if (p.pid > 0) {
            p.restart_pending = false;
            continue;
        }
        if (now >= p.restart_at) {
            p.restart_pending = false;
            due.push_back(p.name);
        } else {
            long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(p.restart_at - now).count() + 1;
            if (next < 0 || ms < next) next = ms;
        }
    }
    const Proc* t = trapd_proc();
    if (t != nullptr && t->pid > 0 && t->init == 1)
        for (auto& p : g_procs)
            if (p.wait_trapd) {
                p.wait_trapd = false;
                if (p.pid <= 0 && std::find(due.begin(), due.end(), p.name) == due.end()) due.push_back(p.name);
            }
    if (!due.empty()) {
        // In conf/zqsuf order, one after the other, like a start from zqstart.
        std::vector<std::string> ordered;
        for (auto& p : g_procs)
            if (std::find(due.begin(), due.end(), p.name) != due.end()) ordered.push_back(p.name);
        logf("restarting %zu process(es)", ordered.size());
        queue_job(Job::Start, ordered, -1);
    }
    return next;
}

// A daemon that loses trapd may see the connection close, end and be reaped
// before trapd itself is (the kernel closes a dying process's sockets before it
// reports its death).  Such a process ended "on its own" a moment before trapd
// was seen to go: it waits for trapd like the ones that ended after.
void adopt_trapd_losses(const Proc& trapd) {
    auto now = Clock::now();
    for (auto& q : g_procs) {
        if (&q == &trapd || q.pid > 0 || q.state != State::Exited || q.wait_trapd || q.restart_pending) continue;
        if (!q.restart || !q.listed || g_shutting_down || q.ended_at == Clock::time_point{}) continue;
        if (now - q.ended_at > std::chrono::seconds(3)) continue;
        q.wait_trapd = true;
        q.ended_at = {};
        logf("%s: ended as trapd was lost; restarted once trapd is back", q.name.c_str());
    }
}

void reap() {
    while (true) {
        int st = 0;
        pid_t pid = waitpid(-1, &st, WNOHANG);
        if (pid <= 0) return;
        for (auto& p : g_procs) {
            if (p.pid != pid) continue;
            // Take in what it said last before it went.
            if (p.conn >= 0 && g_conns.count(p.conn)) {
                Conn& c = g_conns[p.conn];
                read_conn(c);
                c.closed = true;
            }
            p.pid = -1;
            p.exit_status = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            bool started_well = p.init == 1 && p.state != State::Failed;
            if (p.stopping) p.state = State::NotRunning;
            else if (p.state == State::Failed || p.init != 1) p.state = State::Failed;
            else p.state = State::Exited;
            // A death by a signal zqspmd did not send says so, rather than the
            // last text the process gave.
            if (WIFSIGNALED(st) && !p.stopping) p.text = "killed by signal " + std::to_string(WTERMSIG(st));
            if (is_trapd(p)) {
                g_trapd_lost_at = Clock::now();
                adopt_trapd_losses(p);
            }
            if (!p.stopping && started_well) plan_restart(p, st);
            if (p.state == State::Exited && !p.wait_trapd && !p.restart_pending) p.ended_at = Clock::now();
            if (WIFEXITED(st))
                logf("%s: pid %d exited with status %d -> %s", p.name.c_str(), static_cast<int>(pid),
                     WEXITSTATUS(st), state_name(p.state));
            else
                logf("%s: pid %d ended by signal %d -> %s", p.name.c_str(), static_cast<int>(pid), WTERMSIG(st),
                     state_name(p.state));
        }
    }
}

// ---------------------------------------------------------------- main

int g_sigpipe[2] = {-1, -1};
volatile sig_atomic_t g_got_term = 0, g_got_hup = 0;

void on_signal(int sig) {
    int e = errno;
    if (sig == SIGTERM || sig == SIGINT) g_got_term = 1;
    if (sig == SIGHUP) g_got_hup = 1;
    char b = 0;
    ssize_t n = write(g_sigpipe[1], &b, 1);
    (void)n;
    errno = e;
}

void usage(FILE* f) {
    std::fprintf(f,
                 "usage: zqspmd [--daemon] [--start-wait SECONDS] [--stop-grace SECONDS]\n"
                 "              [--restart-delay SECONDS]\n"
                 "The process manager of the instance $ZQ_ROOT (default /var/opt/zq): starts the\n"
                 "processes of conf/zqsuf on request of zqstart, stops them on request of zqstop\n"
                 "and reports their state to zqstatus.  Socket run/zqspmd.sock, log log/zqspmd.log.\n"
                 "  --daemon             detach from the terminal (zqstart uses this)\n"
                 "  --start-wait S       seconds to wait for a start-up report (default 30)\n"
                 "  --stop-grace S       seconds a stopped process gets before SIGKILL (default 10)\n"
                 "  --restart-delay S    seconds before restarting a process that died (default 1,\n"
                 "                       doubled for each restart; at most 5 in 10 minutes)\n"
                 "A process killed by a signal zqspmd did not send, or ending with a non-zero\n"
                 "status, is restarted; one that ended after trapd was lost is restarted once\n"
                 "trapd is back; \"NAME restart=no PATH\" in conf/zqsuf turns this off.\n"
                 "Each process's output goes to log/NAME.out, rotated at 4 MiB into NAME.out.1\n"
                 "to .3.  SIGTERM or SIGINT stops every process and ends zqspmd; SIGHUP reopens\n"
                 "the logs and the output files and re-reads conf/zqsuf.\n");
}

bool parse_seconds(const char* s, double& out) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || !(v >= 0) || v > 86400) return false;
    out = v;
    return true;
}

// ---------------------------------------------------------------- start-up steps

// The options into g_opt: -1 to go on, else the exit status (0 after --help).
int parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--daemon") {
            g_opt.daemon = true;
        } else if ((a == "--start-wait" || a == "--stop-grace" || a == "--restart-delay") && i + 1 < argc) {
            double& dst = a == "--start-wait" ? g_opt.start_wait
                          : a == "--stop-grace" ? g_opt.stop_grace
                                                : g_opt.restart_delay;
            if (!parse_seconds(argv[++i], dst)) {
                std::fprintf(stderr, "zqspmd: %s: not a number of seconds: %s\n", a.c_str(), argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "zqspmd: unknown argument: %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    return -1;
}

// One zqspmd per instance: the lock on the pid file says who runs.  The locked
// descriptor, or -1 (reported).
int lock_instance(const std::string& root, const std::string& pidfile) {
    std::string why;
    int pidfd = zq::open_regular(pidfile, O_RDWR | O_CREAT, 0600, &why);
    if (pidfd < 0) {
        std::fprintf(stderr, "zqspmd: cannot open %s\n", why.c_str());
        return -1;
    }
    if (flock(pidfd, LOCK_EX | LOCK_NB) != 0) {
        char buf[32] = {0};
        ssize_t n = pread(pidfd, buf, sizeof buf - 1, 0);
        (void)n;
        std::fprintf(stderr, "zqspmd: already running for %s (pid %s)\n", root.c_str(),
                     std::string(zq::trim(buf)).c_str());
        close(pidfd);
        return -1;
    }
    return pidfd;
}

// The listening socket, reachable by this user only; -1 (reported) on failure.
int listen_socket(const std::string& sock) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (sock.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "zqspmd: socket path too long: %s\n", sock.c_str());
        return -1;
    }
    std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    unlink(sock.c_str());  // a stale socket of a zqspmd that ended without cleaning up
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    mode_t old = umask(0077);
    bool bound = lfd >= 0 && bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    umask(old);
    if (!bound || listen(lfd, 64) != 0) {
        std::fprintf(stderr, "zqspmd: cannot listen on %s: %s\n", sock.c_str(), std::strerror(errno));
        if (lfd >= 0) close(lfd);
        return -1;
    }
    return lfd;
}

// Detaches from the terminal.  The first process waits for the middle one and
// ends with 0: by then the socket is listening, so zqstart can talk at once.
// -1 (reported) when the first fork fails; returns only in the daemon.
int daemonize() {
    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "zqspmd: fork: %s\n", std::strerror(errno));
        return -1;
    }
    if (pid > 0) {
        int s;
        waitpid(pid, &s, 0);
        _exit(0);
    }
    setsid();
    pid = fork();
    if (pid != 0) _exit(pid < 0 ? 1 : 0);
    if (chdir("/") != 0) {
    }
    int nul = open("/dev/null", O_RDWR);
    if (nul >= 0) {
        dup2(nul, 0);
        dup2(nul, 1);
        dup2(nul, 2);
        if (nul > 2) close(nul);
    }
    g_log_stderr = false;
    return 0;
}

// Signals become bytes on a pipe, so that poll wakes up for them.
bool install_signals() {
    if (pipe2(g_sigpipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        logf("pipe: %s", std::strerror(errno));
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
    return true;
}

// ---------------------------------------------------------------- the loop

// Acts on the signals that arrived since the last turn.
void handle_signals(bool& shutting_down) {
    if (g_got_term && !shutting_down) {
        g_got_term = 0;
        shutting_down = true;
        g_shutting_down = true;
        logf("SIGTERM: stopping every process");
        // Ahead of anything queued: a shutdown must not wait for a slow start.
        if (g_jobs.empty() || g_jobs.front().kind != Job::Shutdown) {
            for (auto& j : g_jobs) {
                reply(j.client, "ERR zqspmd is shutting down");
                if (g_conns.count(j.client)) g_conns[j.client].closed = true;
            }
            g_jobs.clear();
            queue_job(Job::Shutdown, {}, -1);
        }
    }
    if (g_got_hup) {
        g_got_hup = 0;
        // Reopen the log (logrotate moved it away) and read conf/zqsuf again.
        std::string why;
        int fd = zq::open_regular(zq::instance_path("log/zqspmd.log"), O_WRONLY | O_CREAT | O_APPEND, 0600, &why);
        if (fd >= 0) {
            if (g_log_fd >= 0) close(g_log_fd);
            g_log_fd = fd;
        }
        for (auto& o : g_outputs) o.log->reopen();
        logf("SIGHUP: log reopened, reading conf/zqsuf again");
        if (fd < 0) logf("cannot reopen %s", why.c_str());
        load_zqsuf();
    }
}

void close_finished_conns() {
    for (auto it = g_conns.begin(); it != g_conns.end();) {
        int fd = it->first;
        bool gone = it->second.closed;
        ++it;
        if (gone) close_conn(fd);
    }
}

// How long poll may sleep: until the deadline of the job in progress or the
// next planned restart (restart_ms, -1 for none), else until something happens.
int poll_timeout(long long restart_ms) {
    int timeout = -1;
    if (!g_jobs.empty() && g_jobs.front().phase != Job::Idle) {
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(g_jobs.front().deadline - Clock::now()).count();
        timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, 60000)));
    }
    if (restart_ms >= 0 && (timeout < 0 || restart_ms < timeout)) timeout = static_cast<int>(restart_ms);
    return timeout;
}

// Copies the processes' output into their files; a pipe at its end goes.
void copy_outputs(const std::vector<pollfd>& fds, size_t first) {
    std::vector<Output> kept;
    for (size_t i = 0; i < g_outputs.size(); ++i) {
        Output& o = g_outputs[i];
        bool ready = first + i < fds.size() && fds[first + i].fd == o.fd && fds[first + i].revents != 0;
        if (ready && !zq::drain_output(o.fd, *o.log)) {
            close(o.fd);
            continue;
        }
        kept.push_back(std::move(o));
    }
    g_outputs = std::move(kept);
}

void accept_clients(int lfd) {
    while (true) {
        int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) break;
        if (g_conns.size() >= 1000) {
            close(c);
            continue;
        }
        g_conns[c] = Conn{};
        g_conns[c].fd = c;
    }
}

// The event loop: signals, ended children and the job queue first, then one
// wait for the socket, the signal pipe and the clients.
void serve(int lfd) {
    bool shutting_down = false;
    while (!g_quit) {
        handle_signals(shutting_down);
        reap();
        long long restart_ms = run_restarts();
        step_jobs();
        close_finished_conns();
        if (g_quit) break;

        std::vector<pollfd> fds;
        fds.push_back({lfd, POLLIN, 0});
        fds.push_back({g_sigpipe[0], POLLIN, 0});
        for (auto& [fd, c] : g_conns) fds.push_back({fd, POLLIN, 0});
        size_t first_output = fds.size();
        for (auto& o : g_outputs) fds.push_back({o.fd, POLLIN, 0});
        int r = poll(fds.data(), fds.size(), poll_timeout(restart_ms));
        if (r < 0) {
            if (errno != EINTR) logf("poll: %s", std::strerror(errno));
            continue;
        }
        if (fds[1].revents) {
            char b[64];
            while (read(g_sigpipe[0], b, sizeof b) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) accept_clients(lfd);
        copy_outputs(fds, first_output);
        for (size_t i = 2; i < first_output; ++i) {
            if (!fds[i].revents) continue;
            auto it = g_conns.find(fds[i].fd);
            if (it == g_conns.end()) continue;
            if (!read_conn(it->second)) it->second.closed = true;
        }
    }
    for (auto it = g_conns.begin(); it != g_conns.end();) {
        int fd = it->first;
        ++it;
        close_conn(fd);
    }
    // What the ended processes wrote last.
    for (auto& o : g_outputs) {
        zq::drain_output(o.fd, *o.log);
        close(o.fd);
    }
    g_outputs.clear();
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    // Everything zqspmd and the daemons it starts create is the owner's alone.
    umask(077);
    int status = parse_options(argc, argv);
    if (status >= 0) return status;

    std::string root = zq::root();
    std::string missing = zq::no_instance_reason(root, "not set, so the default");
    if (!missing.empty()) {
        std::fprintf(stderr, "zqspmd: %s\n", missing.c_str());
        return 1;
    }
    mkdir(zq::instance_path("run").c_str(), 0700);
    mkdir(zq::instance_path("log").c_str(), 0700);

    std::string pidfile = zq::pm::pid_path();
    int pidfd = lock_instance(root, pidfile);
    if (pidfd < 0) return 1;
    std::string sock = zq::pm::socket_path();
    int lfd = listen_socket(sock);
    if (lfd < 0) return 1;

    std::string logpath = zq::instance_path("log/zqspmd.log");
    std::string log_why;
    g_log_fd = zq::open_regular(logpath, O_WRONLY | O_CREAT | O_APPEND, 0600, &log_why);
    if (g_log_fd < 0) std::fprintf(stderr, "zqspmd: cannot open %s\n", log_why.c_str());

    // Before detaching, so that the errors reach the terminal (and zqstart).
    if (!load_zqsuf()) {
        // Never a silent half list: the operator fixes the file (zqcheck) first.
        logf("not started: conf/zqsuf has errors");
        unlink(sock.c_str());
        unlink(pidfile.c_str());
        return 1;
    }

    if (g_opt.daemon && daemonize() < 0) return 1;
    std::string pidtext = std::to_string(getpid()) + "\n";
    if (ftruncate(pidfd, 0) != 0 || pwrite(pidfd, pidtext.data(), pidtext.size(), 0) < 0)
        logf("cannot write %s: %s", pidfile.c_str(), std::strerror(errno));
    if (!install_signals()) return 1;

    logf("started for %s (socket %s)", root.c_str(), sock.c_str());
    serve(lfd);
    unlink(sock.c_str());
    unlink(pidfile.c_str());
    logf("ended");
    return 0;
}
