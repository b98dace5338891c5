// The map program's main loop: one epoll loop over the application socket, the
// applications' sessions and processes, posted work and the change-log poll.
//
// Everything that touches the database or an application runs on the loop's
// thread.  Other threads (the web server's workers) hand work over with post()
// and wait for changes with wait_for_change().
#include "daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "appproto.h"
#include "mapd.h"
#include "outlog.h"
#include "pmproto.h"
#include "registration.h"
#include "zqcommon.h"

extern char** environ;

namespace zq::map {

void log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    zq::log_vline(-1, true, "zqw", fmt, ap);
    va_end(ap);
}

namespace {

namespace proto = zq::zqw::proto;
using proto::json;
using Clock = std::chrono::steady_clock;


int64_t ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// --- shared with other threads ------------------------------------------------

std::mutex g_post_mu;
std::deque<std::function<void()>> g_posted;
int g_evfd = -1;              // -1: no loop takes work
std::atomic<bool> g_stop_requested{false};

std::mutex g_change_mu;
std::condition_variable g_change_cv;
int64_t g_seq = 0;            // the newest change-log row the loop has seen
bool g_closed = true;         // no loop: waiters return at once

void wake_loop() {
    std::lock_guard<std::mutex> lk(g_post_mu);
    if (g_evfd >= 0) {
        uint64_t one = 1;
        ssize_t r = write(g_evfd, &one, sizeof one);
        (void)r;
    }
}

void publish_seq(int64_t seq, bool closed) {
    {
        std::lock_guard<std::mutex> lk(g_change_mu);
        g_seq = seq;
        g_closed = closed;
    }
    g_change_cv.notify_all();
}

// --- the loop -------------------------------------------------------------------

// Sessions at most, and how long a new one may take to say hello.
constexpr size_t kMaxSessions = 256;
constexpr int kHelloMs = 5000;

enum Kind : uint32_t { kListen = 1, kEvent, kSignal, kWatch, kConn, kChild, kOutput };

uint64_t tag(Kind k, int fd) { return (uint64_t{k} << 32) | static_cast<uint32_t>(fd); }

struct Conn {
    int fd = -1;
    Clock::time_point accepted = Clock::now();
    std::string app;             // empty until hello
    std::string in, out;
    size_t out_off = 0;
    bool want_write = false;
    bool closing = false;        // shut the writing side once the queue is out
    bool shut = false;
    std::map<int, std::set<int>> subs;                        // event -> registrations
    std::map<int, std::vector<proto::Condition>> filters;     // event 17 registration -> filter
    std::set<std::string> action_callbacks;
};

struct App {
    zq::zqw::AppDef def;
    pid_t pid = 0;
    int pidfd = -1;
    bool alive = false;
    bool ended = false;
    int exit_status = 0;
    int conn = -1;               // its session's descriptor
    bool had_session = false;    // this run said hello: it started well
    std::deque<Clock::time_point> restarts;   // automatic restarts of the last ten minutes
    bool restart_pending = false;
    Clock::time_point restart_at{};
    bool failed = false;         // the restart budget is spent
    bool forced = false;         // stopped by the operator's restart: started again once it ended
    Clock::time_point kill_at{}; // ... and killed if it has not ended by then
    std::shared_ptr<zq::OutLog> out;   // log/NAME.out
};

struct Query {
    std::string app;
    Clock::time_point deadline;
    std::function<void(bool, bool, std::string)> done;
};

class Daemon;
Daemon* g_daemon = nullptr;

class Daemon {
public:
    explicit Daemon(const Options& opt) : opt_(opt) {}
    ~Daemon();
    bool start();
    void loop();

    // mapd.h
    uint32_t open_id() const { return open_.id; }
    bool open_by_id(uint32_t map);
    std::vector<AppStatus> app_status() const;
    bool restart(const std::string& name, bool force, std::string& error);
    bool action(const std::string& app, const std::string& action, const std::vector<uint32_t>& sel,
                ActionRun& run, std::string& error);
    bool fits(const std::vector<uint32_t>& sel, std::vector<ActionFit>& out, std::string& error);
    void query(const std::string& app, const ZqwFieldBindList& values,
               std::function<void(bool, bool, std::string)> done);
    bool confirm(const std::string& app, const ZqwFieldBindList& values, std::string& error);
    bool remove_objects(const std::vector<uint32_t>& objects, std::string& error);
    bool manage(const std::vector<uint32_t>& symbols, bool managed, std::string& error);

private:
    void add(int fd, uint32_t events, uint64_t t);
    void on_accept();
    void on_conn(int fd, uint32_t events);
    void on_child(int pidfd);
    void on_output(int fd);
    void plan_restart(App& a, bool crashed);
    void run_restarts();
    void handle(Conn& c, const json& msg);
    void hello(Conn& c, const json& msg);
    void send(Conn& c, const json& msg);
    void flush(Conn& c);
    void close_conn(int fd, const char* why);
    void run_posted();
    void poll_changes(bool force);
    void reconcile();
    void deliver_created(const std::vector<uint32_t>& symbols);
    std::string generic_type(uint32_t object);
    json open_map_json();
    void broadcast(int event, const json* data);
    bool spawn(App& a, std::string& error);
    std::string resolve_program(const std::string& prog) const;
    App* find_app(const std::string& name);
    Conn* conn_of(const std::string& app);
    std::vector<proto::ObjectEntry> object_entries(const std::vector<uint32_t>& objects, int state);
    void begin_stop();
    bool everything_ended() const;
    void expire_queries(bool all);

    Options opt_;
    int ep_ = -1, listen_ = -1, evfd_ = -1, sig_ = -1, lock_ = -1;
    std::string sock_path_;
    zq::zqw::MapRow open_;
    std::vector<App> apps_;
    std::unordered_map<int, std::unique_ptr<Conn>> conns_;
    std::unordered_map<int, size_t> children_;   // pidfd -> index in apps_
    // The read ends of the applications' output pipes, each with its file; a
    // pipe stays until every writer closed it.
    std::unordered_map<int, std::shared_ptr<zq::OutLog>> outputs_;
    std::map<int64_t, Query> queries_;
    int64_t next_query_ = 1;
    int64_t last_seq_ = 0;
    bool need_reconcile_ = false;
    Clock::time_point last_poll_{}, last_reconcile_{}, last_prune_{};
    bool stopping_ = false, killed_ = false;
    Clock::time_point stop_deadline_{}, kill_deadline_{};
    ZqwFieldId f_server_ = 0, f_client_ = 0, f_computer_ = 0, f_device_ = 0;
    std::set<uint32_t> delete_failures_;   // maps whose stale symbols could not go (logged once)
};

Daemon::~Daemon() {
    for (auto& [fd, c] : conns_) close(fd);
    for (auto& [pfd, i] : children_) close(pfd);
    for (auto& [ofd, log] : outputs_) {
        zq::drain_output(ofd, *log);
        close(ofd);
    }
    for (int fd : {listen_, sig_, ep_, lock_})
        if (fd >= 0) close(fd);
    {
        std::lock_guard<std::mutex> lk(g_post_mu);
        if (g_evfd == evfd_) g_evfd = -1;
    }
    if (evfd_ >= 0) close(evfd_);
    if (!sock_path_.empty() && listen_ >= 0) unlink(sock_path_.c_str());
}

void Daemon::add(int fd, uint32_t events, uint64_t t) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = t;
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
}

bool Daemon::start() {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    evfd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ep_ < 0 || evfd_ < 0) {
        log("cannot make its event loop: %s", strerror(errno));
        return false;
    }
    std::string run_dir = zq::instance_path("run");
    std::string lock_path = run_dir + "/zqw.lock";
    lock_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (lock_ < 0) {
        log("cannot open %s: %s (is ZQ_ROOT=%s an instance made by zqsetup?)", lock_path.c_str(), strerror(errno),
            zq::root().c_str());
        return false;
    }
    if (flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        log("another map program runs for the instance %s", zq::root().c_str());
        return false;
    }
    if (ZqwDbInit() != 0) {
        log("cannot open the topology database %s", zq::zqw::database_path().c_str());
        return false;
    }
    // The map program lives as long as the platform, and a full snapshot of a
    // large map reads every symbol once: a small cache keeps its memory down,
    // and the system's file cache still holds the pages.
    zq::zqw::set_page_cache(8192);
    if (!zq::zqw::find_map("default", open_)) {
        if (zq::zqw::create_map("default", false, {}) == 0 || !zq::zqw::find_map("default", open_)) {
            log("cannot make the map 'default': %s", ZqwErrorMsg(ZqwError()));
            return false;
        }
    }
    // The map the applications work on is kept in the database across restarts.
    if (uint32_t chosen = zq::zqw::applications_map(); chosen != 0 && chosen != open_.id) {
        std::vector<zq::zqw::MapRow> maps;
        if (zq::zqw::list_maps(maps))
            for (auto& m : maps)
                if (m.id == chosen) open_ = m;
    }
    f_server_ = ZqwDbFieldNameToFieldId("isServer");
    f_client_ = ZqwDbFieldNameToFieldId("isClient");
    f_computer_ = ZqwDbFieldNameToFieldId("isComputer");
    f_device_ = ZqwDbFieldNameToFieldId("isDevice");

    // Registrations: what the files say now replaces what was stored.
    std::vector<std::string> problems;
    std::vector<zq::zqw::AppDef> defs = load_registration_dir(zq::instance_path("registration"), problems);
    for (auto& d : defs) {
        std::vector<zq::zqw::ConfigFieldDef> kept;
        for (auto& cf : d.config) {
            if (ZqwIsIdNull(ZqwDbFieldNameToFieldId(cf.field.c_str())))
                problems.push_back(d.file + ": configuration field '" + cf.field + "' of " + d.name +
                                   " is not a registered field; left out");
            else
                kept.push_back(cf);
        }
        d.config = std::move(kept);
    }
    for (const auto& p : problems) log("registration: %s", p.c_str());
    if (!zq::zqw::store_registrations(defs)) {
        log("cannot store the registrations: %s", ZqwErrorMsg(ZqwError()));
        return false;
    }
    for (auto& d : defs) {
        App app;
        app.def = std::move(d);
        apps_.push_back(std::move(app));
    }

    // The application socket, owner-only.
    sock_path_ = run_dir + "/zqw.sock";
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (sock_path_.size() >= sizeof a.sun_path) {
        log("the socket path %s is too long", sock_path_.c_str());
        sock_path_.clear();
        return false;
    }
    std::memcpy(a.sun_path, sock_path_.c_str(), sock_path_.size() + 1);
    unlink(sock_path_.c_str());   // a stale one: the lock says no other map program runs
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    mode_t old = umask(077);
    bool bound = listen_ >= 0 && bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    umask(old);
    if (!bound || listen(listen_, 64) != 0) {
        log("cannot listen on %s: %s", sock_path_.c_str(), strerror(errno));
        return false;
    }
    chmod(sock_path_.c_str(), 0600);

    if (opt_.signals) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        sig_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        if (sig_ >= 0) add(sig_, EPOLLIN, tag(kSignal, sig_));
    }
    add(listen_, EPOLLIN, tag(kListen, listen_));
    add(evfd_, EPOLLIN, tag(kEvent, evfd_));
    if (opt_.watch_fd >= 0) add(opt_.watch_fd, EPOLLIN, tag(kWatch, opt_.watch_fd));

    last_seq_ = zq::zqw::last_change();
    reconcile();
    note_status_changes(true);
    {
        std::lock_guard<std::mutex> lk(g_post_mu);
        g_evfd = evfd_;
    }
    publish_seq(last_seq_, false);
    log("map program of %s: %zu application(s) registered, map '%s' open, socket %s", zq::root().c_str(),
        apps_.size(), open_.name.c_str(), sock_path_.c_str());
    if (opt_.start_apps) {
        for (auto& app : apps_) {
            if (app.def.command.empty()) continue;
            std::string err;
            if (!spawn(app, err)) log("cannot start %s: %s", app.def.name.c_str(), err.c_str());
        }
    }
    return true;
}

// --- applications: processes ----------------------------------------------------

std::string Daemon::resolve_program(const std::string& prog) const {
    auto executable = [](const std::string& p) {
        struct stat st{};
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
    };
    if (prog.find('/') != std::string::npos) {
        std::string p = prog[0] == '/' ? prog : zq::instance_path(prog);
        return executable(p) ? p : std::string();
    }
    std::vector<std::string> dirs;
    std::string own = zq::pm::program_dir();
    if (!own.empty()) dirs.push_back(own);
    for (auto& d : zq::path_dirs()) dirs.push_back(d);
    for (const auto& d : dirs) {
        std::string p = d + "/" + prog;
        if (executable(p)) return p;
    }
    return {};
}

// The application's output file: log/NAME.out with the name made safe for a file name.
std::string out_file(const std::string& app) {
    std::string n;
    for (char c : app) n += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
    if (n.empty() || n[0] == '.') n = "_" + n;
    return zq::instance_path("log/" + n + ".out");
}

bool Daemon::spawn(App& a, std::string& error) {
    std::string prog = resolve_program(a.def.command[0]);
    if (prog.empty()) {
        error = "no program '" + a.def.command[0] + "' (neither beside zqw nor on PATH)";
        a.ended = true;
        a.exit_status = 127;
        return false;
    }
    // Its output reaches log/NAME.out through the map program, which keeps the
    // file bounded.
    std::string out = out_file(a.def.name);
    if (!a.out || a.out->path() != out) a.out = std::make_shared<zq::OutLog>(out);
    std::string why;
    if (!a.out->open(&why)) {
        error = "cannot open " + why;
        return false;
    }
    int outpipe[2];
    if (pipe2(outpipe, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + strerror(errno);
        return false;
    }
    int ofd = outpipe[1];
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string s = *e;
        if (s.rfind("ZQ_ROOT=", 0) == 0 || s.rfind("ZQW_SOCKET=", 0) == 0 || s.rfind("ZQW_APP=", 0) == 0 ||
            s.rfind("ZQS_NAME=", 0) == 0)
            continue;
        env.push_back(std::move(s));
    }
    env.push_back("ZQ_ROOT=" + zq::root());
    env.push_back("ZQW_SOCKET=" + sock_path_);
    env.push_back("ZQW_APP=" + a.def.name);
    std::vector<char*> envp, argv;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = a.def.command;
    args[0] = prog;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t at;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&at);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, ofd, 1);
    posix_spawn_file_actions_adddup2(&fa, ofd, 2);
    sigset_t all, none;
    sigfillset(&all);
    // SIGHUP keeps the map program's disposition (zqw ignores it): what logrotate
    // or an operator sends to a whole group must not end an application.
    sigdelset(&all, SIGHUP);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&at, &all);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setpgroup(&at, 0);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, prog.c_str(), &fa, &at, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    close(ofd);
    if (rc != 0) {
        close(outpipe[0]);
        error = "cannot start " + prog + ": " + strerror(rc);
        return false;
    }
    fcntl(outpipe[0], F_SETFL, O_NONBLOCK);
    outputs_[outpipe[0]] = a.out;
    add(outpipe[0], EPOLLIN, tag(kOutput, outpipe[0]));
    int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    a.pid = pid;
    a.alive = true;
    a.ended = false;
    a.exit_status = 0;
    a.had_session = false;
    a.restart_pending = false;
    if (pfd >= 0) {
        fcntl(pfd, F_SETFD, FD_CLOEXEC);
        a.pidfd = pfd;
        children_[pfd] = static_cast<size_t>(&a - apps_.data());
        add(pfd, EPOLLIN, tag(kChild, pfd));
    }
    log("started %s (pid %d): %s", a.def.name.c_str(), static_cast<int>(pid), prog.c_str());
    return true;
}

void Daemon::on_child(int pidfd) {
    auto it = children_.find(pidfd);
    if (it == children_.end()) return;
    App& a = apps_[it->second];
    int status = 0;
    pid_t r = waitpid(a.pid, &status, WNOHANG);
    if (r == 0) return;   // not yet
    epoll_ctl(ep_, EPOLL_CTL_DEL, pidfd, nullptr);
    close(pidfd);
    children_.erase(it);
    a.pidfd = -1;
    a.alive = false;
    a.ended = true;
    a.exit_status = r < 0 ? 0 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (WIFSIGNALED(status))
        log("%s (pid %d) was ended by signal %d", a.def.name.c_str(), static_cast<int>(a.pid), WTERMSIG(status));
    else
        log("%s (pid %d) ended with status %d", a.def.name.c_str(), static_cast<int>(a.pid), a.exit_status);
    if (a.forced) {
        // The operator asked for this end: started again at once, with a new budget.
        a.forced = false;
        a.restarts.clear();
        a.failed = false;
        a.restart_pending = false;
        std::string err;
        if (!stopping_ && !spawn(a, err)) log("cannot restart %s: %s", a.def.name.c_str(), err.c_str());
        return;
    }
    plan_restart(a, r > 0 && (WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)));
}

// As zqspmd does for its daemons: an application that dies after a good start
// (it had its session) is started again after 1, 2, 4, 8, 16 s, at most five
// times in ten minutes; one that ends with status 0 ended at its own wish, and
// one that never got as far as its session would only fail again.
void Daemon::plan_restart(App& a, bool crashed) {
    if (stopping_ || !crashed || !a.had_session) return;
    auto now = Clock::now();
    while (!a.restarts.empty() && now - a.restarts.front() > std::chrono::minutes(10)) a.restarts.pop_front();
    if (a.restarts.size() >= static_cast<size_t>(opt_.restart_budget)) {
        a.failed = true;
        log("%s: restarted %zu times in 10 minutes: not restarted again", a.def.name.c_str(), a.restarts.size());
        return;
    }
    long long delay = static_cast<long long>(opt_.restart_delay_ms) << a.restarts.size();
    a.restarts.push_back(now);
    a.restart_pending = true;
    a.restart_at = now + std::chrono::milliseconds(delay);
    log("%s: restarting in %.1f s (restart %zu of at most %d in 10 minutes)", a.def.name.c_str(), delay / 1000.0,
        a.restarts.size(), opt_.restart_budget);
}

void Daemon::run_restarts() {
    if (stopping_) return;
    auto now = Clock::now();
    for (auto& a : apps_) {
        if (a.forced && a.alive && now >= a.kill_at) {
            // A hung application that ignores SIGTERM.
            log("%s (pid %d) did not end: killed", a.def.name.c_str(), static_cast<int>(a.pid));
            kill(-a.pid, SIGKILL);
            a.kill_at = now + std::chrono::hours(24);
        }
        if (!a.restart_pending || now < a.restart_at) continue;
        a.restart_pending = false;
        if (a.alive) continue;
        std::string err;
        if (!spawn(a, err)) log("cannot restart %s: %s", a.def.name.c_str(), err.c_str());
    }
}

void Daemon::on_output(int fd) {
    auto it = outputs_.find(fd);
    if (it == outputs_.end()) return;
    if (zq::drain_output(fd, *it->second)) return;
    epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    outputs_.erase(it);
}

App* Daemon::find_app(const std::string& name) {
    for (auto& a : apps_)
        if (a.def.name == name) return &a;
    return nullptr;
}

Conn* Daemon::conn_of(const std::string& app) {
    App* a = find_app(app);
    if (a == nullptr || a->conn < 0) return nullptr;
    auto it = conns_.find(a->conn);
    return it == conns_.end() ? nullptr : it->second.get();
}

// --- applications: sessions ------------------------------------------------------

void Daemon::on_accept() {
    for (;;) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (conns_.size() >= kMaxSessions) {   // applications are few; this is a runaway
            close(fd);
            continue;
        }
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        conns_[fd] = std::move(c);
        add(fd, EPOLLIN, tag(kConn, fd));
    }
}

void Daemon::close_conn(int fd, const char* why) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) return;
    Conn& c = *it->second;
    if (!c.app.empty()) {
        if (why != nullptr) log("session of %s ended: %s", c.app.c_str(), why);
        if (App* a = find_app(c.app); a != nullptr && a->conn == fd) a->conn = -1;
        for (auto q = queries_.begin(); q != queries_.end();) {
            if (q->second.app == c.app) {
                auto done = std::move(q->second.done);
                q = queries_.erase(q);
                if (done) done(false, false, "");
            } else {
                ++q;
            }
        }
    }
    epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    conns_.erase(it);
}

void Daemon::flush(Conn& c) {
    if (!send_pending(c.fd, c.out, c.out_off)) {
        close_conn(c.fd, "the application's side is closed");
        return;
    }
    if (c.out_off == c.out.size()) {
        c.out.clear();
        c.out_off = 0;
    } else if (c.out_off > (1u << 16) && c.out_off * 2 > c.out.size()) {
        c.out.erase(0, c.out_off);
        c.out_off = 0;
    }
    bool pending = !c.out.empty();
    if (pending != c.want_write) {
        c.want_write = pending;
        epoll_event e{};
        e.events = EPOLLIN | (pending ? EPOLLOUT : 0u);
        e.data.u64 = tag(kConn, c.fd);
        epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &e);
    }
    if (!pending && c.closing && !c.shut) {
        shutdown(c.fd, SHUT_WR);
        c.shut = true;
    }
}

// Queues a message; an application that lets its queue overflow loses its session
// rather than holding up the map program.
void Daemon::send(Conn& c, const json& msg) {
    if (c.shut) return;
    std::string f = proto::frame(msg);
    if (c.out.size() - c.out_off + f.size() > opt_.queue_limit) {
        close_conn(c.fd, "it does not read its events (queue full)");
        return;
    }
    c.out += f;
    flush(c);
}

void Daemon::on_conn(int fd, uint32_t events) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) return;
    Conn& c = *it->second;
    if (events & EPOLLOUT) {
        flush(c);
        if (conns_.find(fd) == conns_.end()) return;
    }
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
    char buf[65536];
    bool eof = false;
    for (int round = 0; round < 16; ++round) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
            if (n < static_cast<ssize_t>(sizeof buf)) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        eof = true;
        break;
    }
    std::vector<json> frames;
    std::string err;
    bool ok = proto::take_frames(c.in, frames, err);
    for (const auto& f : frames) {
        handle(c, f);
        if (conns_.find(fd) == conns_.end()) return;
    }
    if (!ok) {
        close_conn(fd, err.c_str());
        return;
    }
    if (eof) close_conn(fd, stopping_ ? nullptr : "the application closed it");
}

void Daemon::hello(Conn& c, const json& msg) {
    std::string name = proto::get_str(msg, "app");
    auto refuse = [&](const std::string& why) {
        log("refused a session for '%s': %s", name.c_str(), why.c_str());
        c.out += proto::frame(json{{"t", "refused"}, {"error", why}});
        c.closing = true;
        flush(c);
    };
    if (proto::get_int(msg, "version") != proto::kVersion) return refuse("protocol version 7 expected");
    if (stopping_) return refuse("the map program is ending");
    App* a = find_app(name);
    if (a == nullptr) return refuse("no application of that name is registered");
    if (a->conn >= 0) return refuse("the application is connected already");
    c.app = name;
    a->conn = c.fd;
    a->had_session = true;
    json actions = json::array();
    for (const auto& act : a->def.actions) actions.push_back(act.name);
    send(c, json{{"t", "welcome"}, {"map", open_map_json()}, {"actions", actions}});
    log("%s connected (pid %lld)", name.c_str(), static_cast<long long>(proto::get_int(msg, "pid")));
}

void Daemon::handle(Conn& c, const json& msg) {
    std::string t = proto::get_str(msg, "t");
    if (c.app.empty()) {
        if (t == "hello" && !c.closing) hello(c, msg);
        else if (!c.closing) close_conn(c.fd, nullptr);
        return;
    }
    if (t == "subscribe") {
        int event = static_cast<int>(proto::get_int(msg, "event"));
        int reg = static_cast<int>(proto::get_int(msg, "reg"));
        if (event == ZQW_EVENT_CONFIRM_CREATE_SYMBOLS) {
            std::vector<proto::Condition> conds;
            const json* f = proto::get(msg, "filter");
            if (!proto::conditions_from_json(f ? *f : json(), conds)) {
                log("%s sent a filter that cannot be read; registration %d left out", c.app.c_str(), reg);
                return;
            }
            c.filters[reg] = std::move(conds);
        }
        c.subs[event].insert(reg);
    } else if (t == "unsubscribe") {
        int event = static_cast<int>(proto::get_int(msg, "event"));
        int reg = static_cast<int>(proto::get_int(msg, "reg"));
        auto it = c.subs.find(event);
        if (it != c.subs.end()) {
            it->second.erase(reg);
            if (it->second.empty()) c.subs.erase(it);
        }
        if (event == ZQW_EVENT_CONFIRM_CREATE_SYMBOLS) c.filters.erase(reg);
    } else if (t == "action_callback") {
        c.action_callbacks.insert(proto::get_str(msg, "action"));
    } else if (t == "verify") {
        auto it = queries_.find(proto::get_int(msg, "seq"));
        if (it == queries_.end() || it->second.app != c.app) return;   // late: given up already
        auto done = std::move(it->second.done);
        queries_.erase(it);
        if (done) done(true, proto::get_bool(msg, "accept"), proto::get_str(msg, "message"));
    } else if (t == "bye") {
        c.closing = true;
        flush(c);
    }
}

json Daemon::open_map_json() {
    // The name and the read-only mark may have changed.
    std::vector<zq::zqw::MapRow> maps;
    if (zq::zqw::list_maps(maps))
        for (auto& m : maps)
            if (m.id == open_.id) open_ = std::move(m);
    return proto::map_json(open_.id, open_.name, open_.read_only);
}

void Daemon::broadcast(int event, const json* data) {
    json msg{{"t", "event"}, {"event", event}, {"map", open_map_json()}};
    if (data != nullptr) msg["data"] = *data;
    std::vector<int> fds;
    for (auto& [fd, c] : conns_)
        if (!c->app.empty() && c->subs.count(event)) fds.push_back(fd);
    for (int fd : fds) {
        auto it = conns_.find(fd);
        if (it != conns_.end()) send(*it->second, msg);
    }
}

// --- nodes and symbols ---------------------------------------------------------------

std::string Daemon::generic_type(uint32_t object) {
    std::pair<ZqwFieldId, const char*> kinds[] = {{f_server_, "Server:Generic"},
                                                  {f_client_, "Client:Generic"},
                                                  {f_computer_, "Computer:Generic"},
                                                  {f_device_, "Device:Generic"}};
    for (auto& [f, type] : kinds)
        if (f != 0 && ZqwDbGetFieldBooleanValue(object, f) == 1) return type;
    return "Computer:Generic";
}

void Daemon::reconcile() {
    last_reconcile_ = Clock::now();
    need_reconcile_ = false;
    std::vector<zq::zqw::MapRow> maps;
    if (!zq::zqw::list_maps(maps)) return;
    std::vector<uint32_t> fresh;
    for (const auto& m : maps) {
        std::vector<uint32_t> missing, stale;
        if (!zq::zqw::nodes_without_symbol(m.id, missing) || !zq::zqw::stale_node_symbols(m.id, stale)) continue;
        if (missing.empty() && stale.empty()) continue;
        ZqwMapInfo mi{const_cast<char*>(m.name.c_str()), m.read_only ? 1 : 0, m.id};
        ZqwBeginMapSync(&mi);
        for (uint32_t obj : missing) {
            uint32_t sym = zq::zqw::create_node_symbol(m.id, obj, generic_type(obj));
            if (sym != 0 && m.id == open_.id) fresh.push_back(sym);
        }
        // Read-only binds the applications, not the map program keeping the
        // map's nodes in step: the mark is lifted inside the sync, so no other
        // process ever sees it lifted.
        bool lifted = m.read_only && !stale.empty() && zq::zqw::set_map_read_only(m.id, false);
        int failed = 0;
        for (uint32_t sym : stale)
            if (ZqwDeleteSymbol(&mi, sym) < 0 && ZqwError() != ZQW_E_NOSYMBOL) ++failed;
        if (lifted && !zq::zqw::set_map_read_only(m.id, true)) ++failed;
        ZqwEndMapSync(&mi);
        if (failed > 0 && delete_failures_.insert(m.id).second)
            log("map '%s': %d symbol(s) of objects that are gone cannot be removed: %s", m.name.c_str(), failed,
                ZqwErrorMsg(ZqwError()));
    }
    if (!fresh.empty()) deliver_created(fresh);
}

// Event 17: one delivery per registration whose filter holds on new symbols'
// objects, with those symbols (in pieces, so that a large import stays within
// the frame size).
void Daemon::deliver_created(const std::vector<uint32_t>& symbols) {
    bool wanted = false;
    for (auto& [fd, c] : conns_)
        if (!c->filters.empty()) wanted = true;
    if (!wanted) return;
    std::vector<zq::zqw::SymbolRow> rows;
    if (!zq::zqw::load_symbols(open_.id, symbols, rows)) return;
    std::map<std::pair<uint32_t, ZqwFieldId>, std::unique_ptr<ZqwFieldValue, void (*)(ZqwFieldValue*)>> cache;
    auto holds = [&](uint32_t object, const proto::Condition& cond) {
        auto key = std::make_pair(object, cond.field);
        auto it = cache.find(key);
        if (it == cache.end())
            it = cache.emplace(key, std::unique_ptr<ZqwFieldValue, void (*)(ZqwFieldValue*)>(
                                        ZqwDbGetFieldValue(object, cond.field), ZqwDbFreeFieldValue))
                     .first;
        return proto::condition_holds(cond, it->second.get());
    };
    json map = open_map_json();
    std::vector<int> fds;
    for (auto& [fd, c] : conns_) fds.push_back(fd);
    for (int fd : fds) {
        auto cit = conns_.find(fd);
        if (cit == conns_.end()) continue;
        auto filters = cit->second->filters;   // a copy: sending may close the session
        for (const auto& [reg, conds] : filters) {
            std::vector<proto::SymbolEntry> match;
            for (const auto& r : rows) {
                bool all = true;
                for (const auto& cond : conds)
                    if (!holds(r.object, cond)) {
                        all = false;
                        break;
                    }
                if (!all) continue;
                proto::SymbolEntry e;
                e.symbol = r.id;
                e.object = r.object;
                e.parent = r.parent;
                e.type = r.type;
                e.label = r.label;
                e.has_label = !r.label.empty();
                e.status = r.status;
                e.source = r.source;
                e.behavior = r.behavior;
                match.push_back(std::move(e));
            }
            for (size_t off = 0; off < match.size(); off += 2000) {
                std::vector<proto::SymbolEntry> part(match.begin() + static_cast<std::ptrdiff_t>(off),
                                                     match.begin() + static_cast<std::ptrdiff_t>(
                                                                         std::min(match.size(), off + 2000)));
                auto it = conns_.find(fd);
                if (it == conns_.end()) break;
                send(*it->second, json{{"t", "event"},
                                       {"event", ZQW_EVENT_CONFIRM_CREATE_SYMBOLS},
                                       {"reg", reg},
                                       {"map", map},
                                       {"data", proto::symbols_json(part)}});
            }
        }
    }
}

void Daemon::poll_changes(bool force) {
    last_poll_ = Clock::now();
    int64_t seq = zq::zqw::last_change();
    bool map_changed = false;   // a map made, renamed, marked, deleted or chosen
    if (seq != last_seq_) {
        std::vector<zq::zqw::ChangeRow> rows;
        if (!zq::zqw::changes_since(last_seq_, 5000, rows) || rows.size() >= 5000) {
            need_reconcile_ = true;
            map_changed = true;
        } else {
            // Rows of objects (not of symbols or maps): a node may have come or gone.
            for (const auto& r : rows) {
                if (r.map == 0 && r.symbol == 0 && r.object != 0) need_reconcile_ = true;
                if (r.map != 0 && r.symbol == 0 && r.object == 0) map_changed = true;
            }
        }
        last_seq_ = seq;
        publish_seq(seq, false);
    }
    // The applications' map chosen by another process (zqtopo map use).
    if (map_changed) {
        uint32_t chosen = zq::zqw::applications_map();
        if (chosen != 0 && chosen != open_.id) open_by_id(chosen);
    }
    // New and removed nodes are taken in at most twice a second: a burst of
    // writes costs one pass.
    // A map's filter may name fields whose changes the log does not carry: a
    // full pass every 30 s catches those too.
    if (ms_since(last_reconcile_) >= 30000) need_reconcile_ = true;
    if (need_reconcile_ && (force || ms_since(last_reconcile_) >= 500)) {
        reconcile();
        int64_t after = zq::zqw::last_change();
        if (after != last_seq_) {
            last_seq_ = after;
            publish_seq(after, false);
        }
    }
    note_status_changes();
    note_list_changes();
    if (ms_since(last_prune_) >= 60000) {
        last_prune_ = Clock::now();
        zq::zqw::prune_changes(100000);
    }
}

// --- posted work, stop -------------------------------------------------------------

void Daemon::run_posted() {
    uint64_t n;
    while (read(evfd_, &n, sizeof n) > 0) {
    }
    std::deque<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> lk(g_post_mu);
        work.swap(g_posted);
    }
    for (auto& fn : work) fn();
    if (g_stop_requested.load() && !stopping_) begin_stop();
}

void Daemon::expire_queries(bool all) {
    auto now = Clock::now();
    for (auto q = queries_.begin(); q != queries_.end();) {
        if (all || q->second.deadline <= now) {
            auto done = std::move(q->second.done);
            q = queries_.erase(q);
            if (done) done(false, false, "");
        } else {
            ++q;
        }
    }
}

void Daemon::begin_stop() {
    stopping_ = true;
    stop_deadline_ = Clock::now() + std::chrono::milliseconds(opt_.stop_grace_ms);
    log("ending: event 1 to every application");
    epoll_ctl(ep_, EPOLL_CTL_DEL, listen_, nullptr);
    expire_queries(true);
    broadcast(ZQW_EVENT_EXIT, nullptr);
    std::vector<int> fds;
    for (auto& [fd, c] : conns_) fds.push_back(fd);
    for (int fd : fds) {
        auto it = conns_.find(fd);
        if (it == conns_.end()) continue;
        it->second->closing = true;   // after event 1 the application sees its session end
        flush(*it->second);
    }
    // An application that never connected cannot get event 1: it gets SIGTERM.
    for (auto& a : apps_)
        if (a.alive && a.conn < 0) kill(-a.pid, SIGTERM);
}

bool Daemon::everything_ended() const {
    for (const auto& a : apps_)
        if (a.alive) return false;
    return conns_.empty();
}

void Daemon::loop() {
    epoll_event evs[64];
    for (;;) {
        if (g_stop_requested.load() && !stopping_) begin_stop();
        if (stopping_) {
            if (everything_ended()) break;
            auto now = Clock::now();
            if (!killed_ && now >= stop_deadline_) {
                killed_ = true;
                kill_deadline_ = now + std::chrono::seconds(2);
                for (auto& a : apps_)
                    if (a.alive) {
                        log("%s did not end in time: killed", a.def.name.c_str());
                        kill(-a.pid, SIGKILL);
                    }
                std::vector<int> fds;
                for (auto& [fd, c] : conns_) fds.push_back(fd);
                for (int fd : fds) close_conn(fd, nullptr);
            }
            if (killed_ && now >= kill_deadline_) break;
        }
        int wait = opt_.poll_ms - static_cast<int>(ms_since(last_poll_));
        if (wait < 0) wait = 0;
        if (stopping_) wait = std::min(wait, 50);
        int n = epoll_wait(ep_, evs, 64, wait);
        if (n < 0 && errno != EINTR) {
            log("epoll_wait: %s", strerror(errno));
            break;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t t = evs[i].data.u64;
            int fd = static_cast<int>(t & 0xffffffffu);
            switch (static_cast<Kind>(t >> 32)) {
            case kListen: on_accept(); break;
            case kEvent: run_posted(); break;
            case kSignal: {
                signalfd_siginfo si;
                while (read(sig_, &si, sizeof si) > 0) {
                }
                if (!stopping_) begin_stop();
                break;
            }
            case kWatch:
                if (opt_.on_watch) opt_.on_watch();
                break;
            case kConn: on_conn(fd, evs[i].events); break;
            case kChild: on_child(fd); break;
            case kOutput: on_output(fd); break;
            }
        }
        if (!queries_.empty()) expire_queries(false);
        run_restarts();
        if (ms_since(last_poll_) >= opt_.poll_ms) {
            poll_changes(false);
            std::vector<int> silent;
            for (auto& [fd, c] : conns_)
                if (c->app.empty() && ms_since(c->accepted) > kHelloMs) silent.push_back(fd);
            for (int fd : silent) close_conn(fd, nullptr);
        }
    }
    // Whatever ran past the deadline is gone now; reap what the kill ended.
    for (auto& a : apps_)
        if (a.alive) {
            int st = 0;
            if (waitpid(a.pid, &st, WNOHANG) > 0) a.alive = false;
        }
}

// --- mapd.h ----------------------------------------------------------------------

bool Daemon::open_by_id(uint32_t map) {
    std::vector<zq::zqw::MapRow> maps;
    if (!zq::zqw::list_maps(maps)) return false;
    for (auto& m : maps) {
        if (m.id != map) continue;
        if (m.id != open_.id) log("map '%s' opened", m.name.c_str());
        open_ = m;
        broadcast(ZQW_EVENT_MAP_OPEN, nullptr);
        return true;
    }
    return false;
}

std::vector<AppStatus> Daemon::app_status() const {
    std::vector<AppStatus> out;
    for (const auto& a : apps_) {
        AppStatus s;
        s.def = a.def;
        s.pid = a.alive ? a.pid : 0;
        s.exit_status = a.exit_status;
        s.restarts = static_cast<int>(a.restarts.size());
        if (a.def.command.empty()) s.state = "actions only";
        else if (a.alive) s.state = a.conn >= 0 ? "running" : "starting";
        else if (a.restart_pending) {
            s.state = "restarting";
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(a.restart_at - Clock::now()).count();
            s.restart_in_ms = static_cast<int>(std::max<long long>(0, ms));
        } else if (a.failed) s.state = "failed";
        else if (a.ended) s.state = "ended";
        else s.state = "not started";
        out.push_back(std::move(s));
    }
    return out;
}

bool Daemon::restart(const std::string& name, bool force, std::string& error) {
    App* a = find_app(name);
    if (a == nullptr) {
        error = "no application '" + name + "' is registered";
        return false;
    }
    if (a->def.command.empty()) {
        error = name + " has no program to start (an application of actions only)";
        return false;
    }
    if (stopping_) {
        error = "the map program is ending";
        return false;
    }
    if (a->alive) {
        if (!force) {
            error = name + " is running (with force it is stopped and started again)";
            return false;
        }
        // Its process group (it leads one) gets SIGTERM, SIGKILL after the
        // grace time; on_child starts it again.
        if (!a->forced) {
            a->forced = true;
            a->kill_at = Clock::now() + std::chrono::milliseconds(opt_.stop_grace_ms);
            log("%s (pid %d): stopped to be started again", a->def.name.c_str(), static_cast<int>(a->pid));
            kill(-a->pid, SIGTERM);
        }
        return true;
    }
    // The operator's restart starts afresh: a new budget, no restart planned.
    a->restarts.clear();
    a->failed = false;
    a->restart_pending = false;
    return spawn(*a, error);
}

std::string url_part(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char ch : text) {
        if (std::isalnum(ch) || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
            out += static_cast<char>(ch);
        } else {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
    return out;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
    return s;
}

bool Daemon::action(const std::string& app, const std::string& name, const std::vector<uint32_t>& sel,
                    ActionRun& run, std::string& error) {
    run = ActionRun{};
    App* a = find_app(app);
    if (a == nullptr) {
        error = "no application '" + app + "' is registered";
        return false;
    }
    const zq::zqw::ActionDef* act = nullptr;
    for (const auto& x : a->def.actions)
        if (x.name == name) act = &x;
    if (act == nullptr) {
        error = app + " has no action '" + name + "'";
        return false;
    }
    // Only the objects the action is for: nothing is reported run for objects
    // no one handles.
    Fitter fitter(sel);
    std::vector<ObjectFit> fits;
    if (!fitter.fit(a->def, *act, fits, error)) return false;
    std::vector<uint32_t> objects;
    for (auto& f : fits) {
        if (f.covered) objects.push_back(f.object);
        else run.left_out.push_back(std::move(f));
    }
    if (objects.empty()) {
        error = act->label + ": " + refusal(run.left_out);
        run.left_out.clear();
        return false;
    }
    run.ran = objects.size();
    if (!act->url.empty()) {
        std::set<std::string> made;
        for (const auto& f : fits) {
            if (!f.covered) continue;
            std::string url = replace_all(act->url, "${hostname}", url_part(f.host));
            url = replace_all(url, "${object}", std::to_string(f.object));
            if (made.insert(url).second) run.urls.push_back(url);
        }
        return true;
    }
    Conn* c = conn_of(app);
    if (c == nullptr) {
        error = app + " is not running";
        return false;
    }
    if (!c->action_callbacks.count(name)) {
        error = app + " takes no '" + name + "' actions";
        return false;
    }
    json ids = json::array();
    for (uint32_t o : objects) ids.push_back(o);
    send(*c, json{{"t", "action"},
                  {"action", name},
                  {"menu_item", act->label},
                  {"selection", ids},
                  {"args", act->args},
                  {"map", open_map_json()}});
    return true;
}

bool Daemon::fits(const std::vector<uint32_t>& sel, std::vector<ActionFit>& out, std::string& error) {
    out.clear();
    Fitter fitter(sel);
    std::vector<ObjectFit> fits;
    for (const auto& a : apps_)
        for (const auto& act : a.def.actions) {
            if (!fitter.fit(a.def, act, fits, error)) return false;
            ActionFit f{a.def.name, act.name, act.label, !act.url.empty(), 0, ""};
            std::vector<ObjectFit> not_for;
            for (auto& x : fits) {
                if (x.covered) ++f.covered;
                else if (not_for.empty()) not_for.push_back(std::move(x));
            }
            if (!not_for.empty()) f.reason = refusal(not_for);
            out.push_back(std::move(f));
        }
    return true;
}

void Daemon::query(const std::string& app, const ZqwFieldBindList& values,
                   std::function<void(bool, bool, std::string)> done) {
    Conn* c = conn_of(app);
    if (c == nullptr) {
        done(false, false, "");
        return;
    }
    if (!c->subs.count(ZQW_EVENT_QUERY_APP_CONFIG)) {
        done(true, true, "");   // nobody to verify: the change stands
        return;
    }
    int64_t seq = next_query_++;
    queries_[seq] = Query{app, Clock::now() + std::chrono::milliseconds(opt_.query_timeout_ms), std::move(done)};
    send(*c, json{{"t", "event"},
                  {"event", ZQW_EVENT_QUERY_APP_CONFIG},
                  {"seq", seq},
                  {"map", open_map_json()},
                  {"data", proto::bindings_json(&values)}});
}

bool Daemon::confirm(const std::string& app, const ZqwFieldBindList& values, std::string& error) {
    if (find_app(app) == nullptr) {
        error = "no application '" + app + "' is registered";
        return false;
    }
    if (!zq::zqw::store_app_config(open_.id, app, values)) {
        error = ZqwErrorMsg(ZqwError());
        return false;
    }
    Conn* c = conn_of(app);
    if (c != nullptr && c->subs.count(ZQW_EVENT_CONFIRM_APP_CONFIG))
        send(*c, json{{"t", "event"},
                      {"event", ZQW_EVENT_CONFIRM_APP_CONFIG},
                      {"map", open_map_json()},
                      {"data", proto::bindings_json(&values)}});
    return true;
}

std::vector<proto::ObjectEntry> Daemon::object_entries(const std::vector<uint32_t>& objects, int state) {
    std::vector<proto::ObjectEntry> out;
    ZqwMapInfo mi{const_cast<char*>(open_.name.c_str()), open_.read_only ? 1 : 0, open_.id};
    for (uint32_t obj : objects) {
        proto::ObjectEntry e;
        e.object = obj;
        e.state = state;
        if (ZqwSymbolList* syms = ZqwGetSymbolsByObject(&mi, obj)) {
            for (unsigned i = 0; i < syms->count; ++i)
                if (syms->entries[i].parent == 0) {
                    e.symbol = syms->entries[i].symbol;
                    e.status = syms->entries[i].status;
                    break;
                }
            ZqwFreeSymbolList(syms);
        }
        if (char* s = ZqwDbGetFieldStringValue(obj, 1)) {   // "Selection Name"
            e.selection_name = s;
            e.has_selection_name = true;
            std::free(s);
        }
        if (char* h = ZqwDbObjectIdToHostname(obj)) {
            e.hostname = h;
            e.has_hostname = true;
            std::free(h);
        }
        out.push_back(std::move(e));
    }
    return out;
}

bool Daemon::remove_objects(const std::vector<uint32_t>& objects, std::string& error) {
    std::vector<uint32_t> ids;
    std::set<uint32_t> seen;
    for (uint32_t o : objects) {
        if (!seen.insert(o).second) continue;
        if (!zq::zqw::object_exists(o)) {
            error = ZqwError() == ZQW_E_CONNLOST ? ZqwErrorMsg(ZQW_E_CONNLOST) : "no object " + std::to_string(o);
            return false;
        }
        ids.push_back(o);
    }
    if (ids.empty()) {
        error = "nothing to delete";
        return false;
    }
    json data = proto::objects_json(object_entries(ids, 2));
    broadcast(ZQW_EVENT_DELETE_OBJECTS, &data);
    for (uint32_t o : ids)
        if (ZqwDbDeleteObject(o) < 0 && ZqwError() != ZQW_E_NOOBJECT) {
            error = "object " + std::to_string(o) + ": " + ZqwErrorMsg(ZqwError());
            return false;
        }
    need_reconcile_ = true;
    return true;
}

bool Daemon::manage(const std::vector<uint32_t>& symbols, bool managed, std::string& error) {
    std::vector<zq::zqw::SymbolRow> rows;
    if (!zq::zqw::load_symbols(open_.id, symbols, rows)) {
        error = ZqwErrorMsg(ZqwError());
        return false;
    }
    if (rows.size() != std::set<uint32_t>(symbols.begin(), symbols.end()).size()) {
        error = "a symbol is not on the open map";
        return false;
    }
    std::vector<uint32_t> again;
    for (const auto& r : rows) {
        if (r.managed == managed) continue;
        if (!zq::zqw::set_symbol_managed(open_.id, r.id, managed)) {
            error = "symbol " + std::to_string(r.id) + ": " + ZqwErrorMsg(ZqwError());
            return false;
        }
        if (managed && std::find(again.begin(), again.end(), r.object) == again.end()) again.push_back(r.object);
    }
    if (!again.empty()) {
        std::sort(again.begin(), again.end());
        json data = proto::objects_json(object_entries(again, 1));
        broadcast(ZQW_EVENT_CONFIRM_MANAGE_OBJECTS, &data);
    }
    return true;
}

}  // namespace

// --- public ------------------------------------------------------------------------

int run(const Options& opt) {
    auto d = std::make_unique<Daemon>(opt);
    if (!d->start()) {
        ZqwDbDone();
        return 1;
    }
    g_daemon = d.get();
    int status = 0;
    if (opt.on_ready) {
        std::string err;
        if (!opt.on_ready(err)) {
            log("%s", err.c_str());
            status = 1;
            g_stop_requested = true;
        }
    }
    d->loop();
    // From here on nothing takes posted work: what is queued is dropped (a
    // waiting caller sees its promise broken), and waiters return.
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lk(g_post_mu);
        g_evfd = -1;
        dropped.swap(g_posted);
    }
    dropped.clear();
    publish_seq(g_seq, true);
    g_daemon = nullptr;
    d.reset();
    ZqwDbDone();
    g_stop_requested = false;
    log("ended");
    return status;
}

void request_stop() {
    g_stop_requested = true;
    wake_loop();
}

void post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lk(g_post_mu);
        if (g_evfd >= 0) {
            g_posted.push_back(std::move(fn));
            uint64_t one = 1;
            ssize_t r = write(g_evfd, &one, sizeof one);
            (void)r;
            return;
        }
    }
    // No loop: fn is dropped here, outside the lock.
}

void wait_for_change(int64_t seq, int timeout_ms, const std::atomic<bool>* give_up, int64_t lists) {
    std::unique_lock<std::mutex> lk(g_change_mu);
    g_change_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
        return g_closed || g_seq > seq || (give_up != nullptr && give_up->load()) ||
               (lists >= 0 && lists_version() != lists);
    });
}

void wake_change_waiters() {
    { std::lock_guard<std::mutex> lk(g_change_mu); }
    g_change_cv.notify_all();
}

uint32_t open_map() { return g_daemon ? g_daemon->open_id() : 0; }

bool open_map(uint32_t map) { return g_daemon && g_daemon->open_by_id(map); }

std::vector<AppStatus> apps() { return g_daemon ? g_daemon->app_status() : std::vector<AppStatus>{}; }

bool restart_app(const std::string& app, bool force, std::string& error) {
    if (!g_daemon) {
        error = "the map program is not running";
        return false;
    }
    return g_daemon->restart(app, force, error);
}

bool run_action(const std::string& app, const std::string& action, const std::vector<uint32_t>& selection,
                ActionRun& run, std::string& error) {
    if (!g_daemon) {
        error = "the map program is not running";
        return false;
    }
    return g_daemon->action(app, action, selection, run, error);
}

bool action_fits(const std::vector<uint32_t>& selection, std::vector<ActionFit>& out, std::string& error) {
    if (!g_daemon) {
        error = "the map program is not running";
        return false;
    }
    return g_daemon->fits(selection, out, error);
}

void query_config(const std::string& app, const ZqwFieldBindList& values,
                  std::function<void(bool replied, bool accept, std::string message)> done) {
    if (!g_daemon) {
        done(false, false, "");
        return;
    }
    g_daemon->query(app, values, std::move(done));
}

bool confirm_config(const std::string& app, const ZqwFieldBindList& values, std::string& error) {
    if (!g_daemon) {
        error = "the map program is not running";
        return false;
    }
    return g_daemon->confirm(app, values, error);
}

bool delete_objects(const std::vector<uint32_t>& objects, std::string& error) {
    if (!g_daemon) {
        error = "the map program is not running";
        return false;
    }
    return g_daemon->remove_objects(objects, error);
}

bool manage_symbols(const std::vector<uint32_t>& symbols, bool managed, std::string& error) {
    if (!g_daemon) {
        error = "the map program is not running";
        return false;
    }
    return g_daemon->manage(symbols, managed, error);
}

}  // namespace zq::map
