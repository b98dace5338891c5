#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "datagram.h"
#include "outlog.h"
#include "sessionauth.h"
#include "usm.h"
#include "zqcommon.h"

namespace zq::trapd {

namespace {

enum Tag : uint64_t { kUdp = 1, kListen = 2, kSignal = 3, kSession = 4, kWatched = 5, kUnixListen = 6 };
constexpr uint64_t tag(Tag kind, int fd) { return (uint64_t{kind} << 32) | static_cast<uint32_t>(fd); }

constexpr int kBatch = 64;            // datagrams per recvmmsg
constexpr int kBatchesPerWake = 16;   // then let the sessions have their turn
constexpr size_t kDatagramMax = 65536;
constexpr size_t kReadChunk = 64 * 1024;

int64_t now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

void append_oid(std::string& s, const wire::Oid& o) {
    for (size_t i = 0; i < o.size(); ++i) {
        if (i) s += '.';
        append_uint(s, o[i]);
    }
}

void append_addr(std::string& s, const uint8_t* a) {
    for (int i = 0; i < 4; ++i) {
        if (i) s += '.';
        append_uint(s, a[i]);
    }
}

std::string wire_oid_text(const wire::Oid& o) {
    std::string s;
    append_oid(s, o);
    return s;
}

std::string addr_text(const uint8_t* a) {
    std::string s;
    append_addr(s, a);
    return s;
}

bool printable(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

// Printable text in double quotes (with \" and \\), anything else as 0x and hex.
void append_quoted(std::string& q, const std::string& s) {
    if (!printable(s)) {
        static const char* hex = "0123456789abcdef";
        q += "0x";
        for (unsigned char c : s) {
            q += hex[c >> 4];
            q += hex[c & 15];
        }
        return;
    }
    q += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    q += '"';
}

// A session's name as a log line shows it: in single quotes, with a quote or
// backslash escaped and anything not printable as \xNN, so that a name sent by a
// peer can never end a line or pass for another field.
std::string name_text(std::string_view name) {
    static const char* hex = "0123456789abcdef";
    std::string q = "'";
    for (unsigned char c : name) {
        if (c < 0x20 || c > 0x7e) {
            q += "\\x";
            q += hex[c >> 4];
            q += hex[c & 15];
            continue;
        }
        if (c == '\'' || c == '\\') q += '\\';
        q += static_cast<char>(c);
    }
    q += '\'';
    return q;
}

void append_value(std::string& s, const wire::Binding& b) {
    switch (b.type) {
    case 2: s += "INTEGER "; append_int(s, static_cast<int32_t>(static_cast<uint32_t>(b.number))); break;
    case 4: s += "OCTET STRING "; append_quoted(s, b.bytes); break;
    case 5: s += "NULL"; break;
    case 6: s += "OBJECT IDENTIFIER "; append_oid(s, b.objid); break;
    case 0x40: s += "IpAddress "; append_addr(s, reinterpret_cast<const uint8_t*>(b.bytes.data())); break;
    case 0x41: s += "Counter32 "; append_uint(s, b.number); break;
    case 0x42: s += "Gauge32 "; append_uint(s, b.number); break;
    case 0x43: s += "TimeTicks "; append_uint(s, b.number); break;
    case 0x44: s += "Opaque "; append_quoted(s, b.bytes); break;
    case 0x46: s += "Counter64 "; append_uint(s, b.number); break;
    default: s += "type "; append_uint(s, b.type); break;
    }
}

}  // namespace

std::string describe(const wire::Event& ev) {
    std::string s;
    s.reserve(256);
    s += ev.version == 0 ? "v1" : ev.version == 3 ? "v3" : "v2c";
    s += " agent=";
    append_addr(s, ev.agent.data());
    if (ev.version == 3) {
        s += " user=";
        append_quoted(s, ev.user);
        s += " level=";
        s += ev.level == 3 ? "authPriv" : ev.level == 2 ? "authNoPriv" : "noAuthNoPriv";
    } else {
        s += " community=";
        append_quoted(s, ev.community);
    }
    s += " enterprise=";
    append_oid(s, ev.enterprise);
    s += " generic=";
    append_int(s, ev.generic);
    s += " specific=";
    append_int(s, ev.specific);
    s += " time=";
    append_uint(s, ev.timestamp);
    s += " trap_id=";
    append_oid(s, ev.trap_id);
    s += " [";
    for (size_t i = 0; i < ev.bindings.size(); ++i) {
        if (i) s += "; ";
        append_oid(s, ev.bindings[i].name);
        s += " = ";
        append_value(s, ev.bindings[i]);
    }
    s += ']';
    return s;
}

// ---- TrapLog ----

TrapLog::TrapLog(std::string path, size_t limit, int generations, size_t line_max)
    : path_(std::move(path)), limit_(limit), generations_(std::max(1, generations)), line_max_(line_max) {
    buf_.reserve(1 << 20);
}

TrapLog::~TrapLog() {
    flush();
    if (fd_ >= 0) close(fd_);
}

void TrapLog::open() {
    if (fd_ >= 0 || path_.empty()) return;
    auto slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0) mkdir(path_.substr(0, slash).c_str(), 0700);
    // Never blocks on a FIFO and never follows a link put in the log's place.
    std::string why;
    fd_ = open_regular(path_, O_WRONLY | O_CREAT | O_APPEND, 0600, &why);
    if (fd_ < 0) {
        static bool warned = false;
        if (!warned) fprintf(stderr, "trapd: cannot write %s\n", why.empty() ? path_.c_str() : why.c_str());
        warned = true;
        return;
    }
    struct stat st {};
    size_ = fstat(fd_, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

// trapd.log -> trapd.log.1 -> ... -> trapd.log.N (the oldest dropped).
void TrapLog::rotate() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    shift_generations(path_, generations_);
    open();
}

void TrapLog::line(const std::string& text) {
    static time_t cached_sec = 0;
    static char stamp[32] = "";
    time_t t = time(nullptr);
    if (t != cached_sec) {
        cached_sec = t;
        tm lt{};
        localtime_r(&t, &lt);
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &lt);
    }
    buf_ += stamp;
    buf_ += ' ';
    if (text.size() > line_max_) {
        // One huge trap must not push the others out of the log's generations.
        buf_.append(text, 0, line_max_);
        buf_ += " ...[cut: ";
        buf_ += std::to_string(text.size() - line_max_);
        buf_ += " more bytes]";
    } else {
        buf_ += text;
    }
    buf_ += '\n';
    ++buf_lines_;
    if (buf_.size() >= (1u << 20)) flush();
}

void TrapLog::flush() {
    if (buf_.empty()) return;
    open();
    if (fd_ >= 0 && size_ >= limit_) rotate();
    if (lost_ > 0 && fd_ >= 0) {
        // Writing works again (or is tried again): say what was lost first.
        std::string note = "LOG " + std::to_string(lost_) + " lines could not be written (" + strerror(lost_errno_) +
                           "); total " + std::to_string(lost_total_) + "\n";
        if (write(fd_, note.data(), note.size()) == static_cast<ssize_t>(note.size())) {
            size_ += note.size();
            lost_ = 0;
        }
    }
    size_t off = 0;
    while (fd_ >= 0 && off < buf_.size()) {
        ssize_t w = write(fd_, buf_.data() + off, buf_.size() - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        lost_errno_ = w < 0 ? errno : EIO;
        break;
    }
    size_ += off;
    if (off < buf_.size()) {
        // What did not fit is lost: count the lines not written whole.
        uint64_t lines = 0;
        for (size_t i = off; i < buf_.size(); ++i) lines += buf_[i] == '\n' ? 1 : 0;
        if (fd_ < 0) lost_errno_ = errno ? errno : EBADF;
        lost_ += lines;
        lost_total_ += lines;
    }
    buf_.clear();
    buf_lines_ = 0;
}

void TrapLog::reopen() {
    flush();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    open();
}

// ---- Server ----

Server::Server(Options opt)
    : opt_(std::move(opt)), log_(opt_.log_path, opt_.log_limit, opt_.log_generations) {}

Server::~Server() {
    for (auto& [fd, s] : sessions_) close(fd);
    for (int fd : {udp_, listen_, unix_, sig_, ep_, spare_fd_})
        if (fd >= 0) close(fd);
    log_.flush();
}

void Server::add(int fd, uint32_t events, uint64_t t) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = t;
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
}

void Server::mod(int fd, uint32_t events, uint64_t t) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = t;
    epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &e);
}

bool Server::start() {
    init_decoder();
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) {
        perror("trapd: epoll_create1");
        return false;
    }

    sockaddr_in ua{};
    ua.sin_family = AF_INET;
    ua.sin_port = htons(static_cast<uint16_t>(opt_.trap_port));
    if (inet_pton(AF_INET, opt_.trap_listen.c_str(), &ua.sin_addr) != 1) {
        fprintf(stderr, "trapd: bad trap listen address '%s'\n", opt_.trap_listen.c_str());
        return false;
    }
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one_flag = 1;
    if (udp_ < 0) {
        perror("trapd: socket");
        return false;
    }
    // A large receive buffer takes bursts; as root the system limit does not apply.
    int rb = opt_.rcvbuf;
    if (setsockopt(udp_, SOL_SOCKET, SO_RCVBUFFORCE, &rb, sizeof rb) != 0)
        setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &rb, sizeof rb);
    // The kernel counts what it drops for a full receive buffer and hands the
    // count along with every datagram: no loss goes unnoticed.
    setsockopt(udp_, SOL_SOCKET, SO_RXQ_OVFL, &one_flag, sizeof one_flag);
    if (bind(udp_, reinterpret_cast<sockaddr*>(&ua), sizeof ua) != 0) {
        fprintf(stderr, "trapd: cannot bind UDP %s:%d: %s\n", opt_.trap_listen.c_str(), opt_.trap_port,
                strerror(errno));
        return false;
    }
    socklen_t len = sizeof ua;
    getsockname(udp_, reinterpret_cast<sockaddr*>(&ua), &len);
    udp_port_ = ntohs(ua.sin_port);

    sockaddr_in ta{};
    ta.sin_family = AF_INET;
    ta.sin_port = htons(static_cast<uint16_t>(opt_.event_port));
    ta.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!open_socket()) return false;
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (listen_ < 0 || setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listen_, reinterpret_cast<sockaddr*>(&ta), sizeof ta) != 0 || listen(listen_, 128) != 0) {
        // Anyone on the host may hold the port while trapd is down; with the Unix
        // socket open that costs nothing but the TCP way in.
        fprintf(stderr, "trapd: cannot listen on TCP 127.0.0.1:%d: %s%s\n", opt_.event_port, strerror(errno),
                unix_ >= 0 ? " (event sessions use the Unix socket only)" : "");
        if (listen_ >= 0) close(listen_);
        listen_ = -1;
        if (unix_ < 0) return false;
    } else {
        len = sizeof ta;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&ta), &len);
        event_port_ = ntohs(ta.sin_port);
    }

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    signal(SIGHUP, SIG_DFL);  // zqspmd starts its daemons with SIGHUP ignored
    sigprocmask(SIG_BLOCK, &set, nullptr);
    sig_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sig_ < 0) {
        perror("trapd: signalfd");
        return false;
    }

    add(udp_, EPOLLIN, tag(kUdp, udp_));
    if (listen_ >= 0) add(listen_, EPOLLIN, tag(kListen, listen_));
    if (unix_ >= 0) add(unix_, EPOLLIN, tag(kUnixListen, unix_));
    add(sig_, EPOLLIN, tag(kSignal, sig_));
    if (!opt_.key_path.empty() && !write_key()) return false;
    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    rxbufs_.resize(static_cast<size_t>(kBatch) * kDatagramMax);
    last_report_ = now_seconds();
    log_.line("START trapd listening on UDP " + opt_.trap_listen + ":" + std::to_string(udp_port_) +
              (unix_ >= 0 ? ", " + opt_.socket_path : std::string()) +
              (listen_ >= 0 ? " and TCP 127.0.0.1:" + std::to_string(event_port_) : std::string()));
    log_.flush();
    return true;
}

// The Unix socket of event sessions, in a folder that only the owner may enter, so
// that nobody else can listen there while trapd is down.  A socket left by a trapd
// that died is replaced; one that answers belongs to a running trapd.
bool Server::open_socket() {
    if (opt_.socket_path.empty()) return true;
    sockaddr_un ua{};
    if (opt_.socket_path.size() >= sizeof ua.sun_path) {
        fprintf(stderr, "trapd: %s is longer than a socket address (%zu bytes): event sessions use the TCP port\n",
                opt_.socket_path.c_str(), sizeof ua.sun_path - 1);
        return true;
    }
    std::string dir = opt_.socket_path.substr(0, opt_.socket_path.rfind('/'));
    mkdir(dir.c_str(), 0700);
    struct stat ds {};
    if (lstat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode) || ds.st_uid != geteuid()) {
        fprintf(stderr, "trapd: %s is not a folder of this user's: the event socket cannot be kept private\n",
                dir.c_str());
        return false;
    }
    if ((ds.st_mode & 077) != 0 && chmod(dir.c_str(), ds.st_mode & 0700) != 0) {
        fprintf(stderr, "trapd: cannot make %s the owner's alone: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    ua.sun_family = AF_UNIX;
    std::memcpy(ua.sun_path, opt_.socket_path.c_str(), opt_.socket_path.size() + 1);
    struct stat ss {};
    if (lstat(opt_.socket_path.c_str(), &ss) == 0) {
        if (!S_ISSOCK(ss.st_mode)) {
            fprintf(stderr, "trapd: %s exists and is not a socket\n", opt_.socket_path.c_str());
            return false;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool alive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&ua), sizeof ua) == 0;
        if (probe >= 0) close(probe);
        if (alive) {
            fprintf(stderr, "trapd: another trapd serves %s\n", opt_.socket_path.c_str());
            return false;
        }
        unlink(opt_.socket_path.c_str());
    }
    unix_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (unix_ < 0 || bind(unix_, reinterpret_cast<sockaddr*>(&ua), sizeof ua) != 0 ||
        chmod(opt_.socket_path.c_str(), 0600) != 0 || listen(unix_, 128) != 0) {
        fprintf(stderr, "trapd: cannot listen on %s: %s\n", opt_.socket_path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// A fresh random key at each start, written owner-only through a temporary name,
// so that only the instance's owner (and root) can open event sessions.
bool Server::write_key() {
    unsigned char raw[16];
    size_t got = 0;
    while (got < sizeof raw) {
        ssize_t r = getrandom(raw + got, sizeof raw - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            fprintf(stderr, "trapd: no random bytes for the session key: %s\n", strerror(errno));
            return false;
        }
        got += static_cast<size_t>(r);
    }
    static const char* hex = "0123456789abcdef";
    key_.clear();
    for (unsigned char c : raw) {
        key_ += hex[c >> 4];
        key_ += hex[c & 15];
    }
    auto slash = opt_.key_path.rfind('/');
    if (slash != std::string::npos && slash > 0) mkdir(opt_.key_path.substr(0, slash).c_str(), 0700);
    std::string tmp = opt_.key_path + ".tmp." + std::to_string(getpid());
    unlink(tmp.c_str());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::string text = key_ + "\n";
    bool ok = fd >= 0 && fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int e = errno;
    if (fd >= 0) close(fd);
    if (ok && rename(tmp.c_str(), opt_.key_path.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        fprintf(stderr, "trapd: cannot write the session key %s: %s\n", opt_.key_path.c_str(), strerror(e));
    }
    return ok;
}

const char* Server::refusal(const wire::Event& ev) const {
    if (ev.version == 3) {
        if (!opt_.any_user && std::find(opt_.trap_users.begin(), opt_.trap_users.end(), ev.user) == opt_.trap_users.end())
            return "user";
    } else if (!opt_.any_community &&
        std::find(opt_.communities.begin(), opt_.communities.end(), ev.community) == opt_.communities.end())
        return "community";
    for (const auto& arc : opt_.local_only)
        if (wire::filter_matches(arc, ev.enterprise) || wire::filter_matches(arc, ev.trap_id)) return "local-only";
    return nullptr;
}

void Server::watch(int fd, std::function<void()> on_readable) {
    watched_[fd] = std::move(on_readable);
    add(fd, EPOLLIN, tag(kWatched, fd));
}

void Server::run() {
    epoll_event evs[64];
    int64_t last_tick = now_seconds();
    while (!stop_) {
        int n = epoll_wait(ep_, evs, 64, 1000);
        if (n < 0 && errno != EINTR) {
            perror("trapd: epoll_wait");
            break;
        }
        for (int i = 0; i < n && !stop_; ++i) {
            uint64_t t = evs[i].data.u64;
            int fd = static_cast<int>(t & 0xffffffffu);
            switch (t >> 32) {
            case kUdp: on_udp(); break;
            case kListen: on_accept(listen_, false); break;
            case kUnixListen: on_accept(unix_, true); break;
            case kSignal: on_signal(); break;
            case kSession: on_session(fd, evs[i].events); break;
            case kWatched: {
                auto it = watched_.find(fd);
                if (it != watched_.end()) it->second();
                break;
            }
            default: break;
            }
        }
        log_.flush();
        flush_dirty();
        int64_t now = now_seconds();
        if (now != last_tick) {
            last_tick = now;
            tick();
        }
    }
    report_counts(true);
    if (!key_.empty()) unlink(opt_.key_path.c_str());
    if (unix_ >= 0) unlink(opt_.socket_path.c_str());
    log_.line("STOP trapd");
    log_.flush();
}

void Server::on_signal() {
    signalfd_siginfo si{};
    while (read(sig_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGHUP) {
            // logrotate moved the log away: go on in a new file.
            log_.reopen();
            log_.line("LOG reopened on SIGHUP");
        } else {
            stop_ = true;
        }
    }
}

void Server::tick() {
    int64_t now = now_seconds();
    std::vector<int> late;
    for (auto& [fd, s] : sessions_)
        if (!s->greeted && now - s->opened >= opt_.greeting_timeout) late.push_back(fd);
    for (int fd : late) {
        ++greeting_timeouts_;
        close_session(fd, nullptr);
    }
    report_counts(false);
    log_.flush();
    if (on_tick_) on_tick_();
}

void Server::report_counts(bool force) {
    int64_t now = now_seconds();
    if (!force && now - last_report_ < 10) return;
    last_report_ = now;
    if (bad_datagrams_ != reported_datagrams_ || bad_records_ != reported_records_) {
        log_.line("DROPPED malformed datagrams " + std::to_string(bad_datagrams_ - reported_datagrams_) +
                  ", malformed session records " + std::to_string(bad_records_ - reported_records_) +
                  " (totals " + std::to_string(bad_datagrams_) + ", " + std::to_string(bad_records_) +
                  "; last: " + last_bad_ + ")");
        reported_datagrams_ = bad_datagrams_;
        reported_records_ = bad_records_;
    }
    if (kernel_drops_ != reported_kernel_drops_) {
        log_.line("DROPPED by the kernel " + std::to_string(kernel_drops_ - reported_kernel_drops_) +
                  " datagrams on the trap port (receive buffer full; total " + std::to_string(kernel_drops_) + ")");
        reported_kernel_drops_ = kernel_drops_;
    }
    write_stats(force);
    uint64_t conn = refused_cap_ + refused_fds_ + greeting_timeouts_ + refused_pending_;
    if (conn != reported_conn_) {
        log_.line("LIMIT connections refused at the session cap (" + std::to_string(opt_.max_sessions) + ") " +
                  std::to_string(refused_cap_) + ", refused for lack of descriptors " + std::to_string(refused_fds_) +
                  ", closed without a hello within " + std::to_string(opt_.greeting_timeout) + " s " +
                  std::to_string(greeting_timeouts_) + ", refused at the cap of connections still greeting (" +
                  std::to_string(opt_.max_pending) + ", " + std::to_string(opt_.max_pending_peer) +
                  " from one address) " + std::to_string(refused_pending_) + " (totals)");
        reported_conn_ = conn;
    }
    uint64_t refused = refused_community_ + refused_local_only_ + refused_sessions_;
    if (refused != reported_refused_) {
        log_.line("REFUSED traps with a community not in trap_communities " + std::to_string(refused_community_) +
                  ", local-only traps from UDP " + std::to_string(refused_local_only_) +
                  ", sessions without the instance key " + std::to_string(refused_sessions_) +
                  " (totals; last: " + last_refused_ + ")");
        reported_refused_ = refused;
    }
    report_v3();
    for (auto& [fd, s] : sessions_) {
        if (s->dropped != s->dropped_reported) {
            log_.line("DROPPED " + std::to_string(s->dropped - s->dropped_reported) + " events for session " +
                      name_text(s->name) + " (queue full; total " + std::to_string(s->dropped) + ")");
            s->dropped_reported = s->dropped;
        }
    }
}

// A STATS line at most once a minute, only when a count changed, and at exit:
// what came in, what was refused or malformed, and per session what was handed
// to it and what it lost.
void Server::write_stats(bool force) {
    int64_t now = now_seconds();
    if (!force && now - last_stats_time_ < 60) return;
    std::string s = "STATS received traps " + std::to_string(received_traps_) + ", events " +
                    std::to_string(received_events_) + "; refused " +
                    std::to_string(refused_community_ + refused_local_only_) + " traps, " +
                    std::to_string(refused_sessions_) + " sessions; malformed " + std::to_string(bad_datagrams_) +
                    " datagrams, " + std::to_string(bad_records_) + " records; dropped by the kernel " +
                    std::to_string(kernel_drops_) + "; log lines lost " + std::to_string(log_.lost_lines()) + ";" +
                    v3_stats();
    for (int fd : order_) {
        const Session& x = *sessions_[fd];
        s += " session " + name_text(x.name) + " delivered " + std::to_string(x.delivered) + " dropped " +
             std::to_string(x.dropped) + ";";
    }
    if (s == last_stats_) return;
    last_stats_time_ = now;
    last_stats_ = s;
    log_.line(s);
}

void Server::on_udp() {
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    alignas(cmsghdr) char control[kBatch][CMSG_SPACE(sizeof(uint32_t))];
    for (int round = 0; round < kBatchesPerWake; ++round) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i].iov_base = rxbufs_.data() + static_cast<size_t>(i) * kDatagramMax;
            iov[i].iov_len = kDatagramMax;
            msgs[i].msg_hdr = msghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_control = control[i];
            msgs[i].msg_hdr.msg_controllen = sizeof control[i];
            msgs[i].msg_len = 0;
        }
        int n = recvmmsg(udp_, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return;
        for (int i = 0; i < n; ++i) {
            for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    uint32_t drops = 0;
                    std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                    kernel_drops_ = drops;
                }
            ++received_traps_;
            const uint8_t* src = reinterpret_cast<const uint8_t*>(&from[i].sin_addr.s_addr);
            wire::Event ev;
            std::string why;
            bool inform = false;
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
                ++bad_datagrams_;
                last_bad_ = "oversized datagram from " + addr_text(src);
                continue;
            }
            const auto* data = static_cast<const uint8_t*>(iov[i].iov_base);
            if (is_v3_datagram(data, msgs[i].msg_len)) {
                if (take_v3(data, msgs[i].msg_len, &from[i], ev)) deliver(ev, "TRAP from " + addr_text(src) + " ");
                continue;
            }
            if (!decode_datagram(data, msgs[i].msg_len, src, ev, why, inform)) {
                ++bad_datagrams_;
                last_bad_ = why + " from " + addr_text(src);
                continue;
            }
            if (const char* no = refusal(ev)) {
                if (no[0] == 'c') ++refused_community_;
                else ++refused_local_only_;
                last_refused_ = std::string(no) + " trap " + wire_oid_text(ev.trap_id) + " from " + addr_text(src);
                continue;
            }
            if (inform) {
                std::string response;
                if (inform_response(data, msgs[i].msg_len, response))
                    sendto(udp_, response.data(), response.size(), MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr*>(&from[i]), sizeof from[i]);
            }
            deliver(ev, "TRAP from " + addr_text(src) + " ");
        }
        log_.flush();  // each receive batch is in the file before anyone is handed it
        flush_dirty();
        if (n < kBatch) return;
    }
}

void Server::on_accept(int lfd, bool local) {
    for (;;) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        int fd = accept4(lfd, local ? nullptr : reinterpret_cast<sockaddr*>(&from), local ? nullptr : &from_len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the pending connection would keep the listening
                // socket readable and the loop spinning.  The spare descriptor makes
                // room to take it and close it at once.
                ++refused_fds_;
                if (!fd_exhausted_) {
                    fd_exhausted_ = true;
                    log_.line("LIMIT out of file descriptors (" + std::string(strerror(errno)) +
                              "): new event sessions are refused until some close");
                    log_.flush();
                }
                if (spare_fd_ >= 0) {
                    close(spare_fd_);
                    spare_fd_ = -1;
                    int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) close(c);
                    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                    if (c >= 0) continue;
                }
                // Not even that: stop watching the ports until a session closes.
                for (int l : {listen_, unix_})
                    if (l >= 0) epoll_ctl(ep_, EPOLL_CTL_DEL, l, nullptr);
                listen_paused_ = true;
            }
            return;
        }
        if (fd_exhausted_ && spare_fd_ >= 0) {
            fd_exhausted_ = false;
            log_.line("LIMIT file descriptors available again");
        }
        // Sessions past their hello have their cap; connections still greeting have
        // caps of their own (per listener, and per address on the TCP port), so that
        // idle connections from anyone never take a session's place.
        uint32_t peer = local ? 0 : from.sin_addr.s_addr;
        if (greeted_ >= opt_.max_sessions) {
            ++refused_cap_;
            close(fd);
            continue;
        }
        if ((local ? pending_local_ : pending_tcp_) >= opt_.max_pending ||
            (!local && pending_peer_[peer] >= opt_.max_pending_peer)) {
            ++refused_pending_;
            close(fd);
            continue;
        }
        // A modest kernel buffer, so that the session's own queue bound is what counts.
        int sndbuf = 256 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        auto s = std::make_unique<Session>();
        s->fd = fd;
        s->serial = next_serial_++;
        s->opened = now_seconds();
        s->local = local;
        s->peer = peer;
        pending(*s, true);
        sessions_[fd] = std::move(s);
        add(fd, EPOLLIN, tag(kSession, fd));
    }
}

void Server::pending(Session& s, bool add) {
    size_t& n = s.local ? pending_local_ : pending_tcp_;
    if (add) {
        ++n;
        if (!s.local) ++pending_peer_[s.peer];
        return;
    }
    n -= n > 0 ? 1 : 0;
    if (s.local) return;
    auto it = pending_peer_.find(s.peer);
    if (it != pending_peer_.end() && --it->second == 0) pending_peer_.erase(it);
}

void Server::on_session(int fd, uint32_t events) {
    auto it = sessions_.find(fd);
    if (it == sessions_.end()) return;
    Session& s = *it->second;
    if (events & EPOLLOUT) {
        flush_session(s);
        if (sessions_.find(fd) == sessions_.end()) return;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_session(s);
}

void Server::read_session(Session& s) {
    int fd = s.fd;
    char buf[kReadChunk];
    size_t total = 0;
    bool eof = false;
    while (total < 16 * kReadChunk) {
        ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0) {
            s.in.append(buf, static_cast<size_t>(r));
            total += static_cast<size_t>(r);
            // Take whole frames as they come so the buffer stays small.
            size_t off = 0;
            for (;;) {
                std::string_view payload;
                size_t used = 0;
                std::string_view rest = std::string_view(s.in).substr(off);
                auto sp = wire::next_frame(rest, payload, used);
                // Before the hello only a hello is legal: a longer frame is refused
                // at its length prefix, not buffered.
                if (!s.greeted && rest.size() >= 4 &&
                    ((uint32_t{static_cast<uint8_t>(rest[0])} << 24) | (uint32_t{static_cast<uint8_t>(rest[1])} << 16) |
                     (uint32_t{static_cast<uint8_t>(rest[2])} << 8) | uint32_t{static_cast<uint8_t>(rest[3])}) >
                        wire::kMaxHello)
                    sp = wire::Split::kBad;
                if (sp == wire::Split::kNeed) break;
                if (sp == wire::Split::kBad) {
                    ++bad_records_;
                    last_bad_ = "oversized or empty frame on session " + name_text(s.name);
                    close_session(fd, "bad frame");
                    return;
                }
                if (!handle_frame(s, payload)) return;  // the session is gone
                off += used;
            }
            s.in.erase(0, off);
            continue;
        }
        if (r == 0) eof = true;
        else if (errno == EINTR) continue;
        else if (errno != EAGAIN && errno != EWOULDBLOCK) eof = true;
        break;
    }
    if (eof) close_session(fd, nullptr);
}

// False when the session was closed.
bool Server::handle_frame(Session& s, std::string_view payload) {
    std::string why;
    uint8_t kind = static_cast<uint8_t>(payload[0]);
    if (!s.greeted && kind == wire::kChallenge && s.nonce.empty()) {
        // trapd proves first that it holds the key, over the caller's nonce; the
        // hello then proves the same of the caller, over trapd's nonce.
        std::string theirs, proof;
        if (!wire::decode_challenge(payload, theirs, why) || !wire::random_nonce(s.nonce)) {
            ++bad_records_;
            last_bad_ = "bad challenge: " + (why.empty() ? std::string("no random bytes") : why);
            close_session(s.fd, "bad challenge");
            return false;
        }
        s.their_nonce = theirs;
        wire::encode_proof(wire::key_proof(key_, wire::kTrapdProof, theirs, s.nonce), s.nonce, proof);
        s.out += proof;  // never dropped: counted, not bounded
        queued_total_ += proof.size();
        if (std::find(dirty_.begin(), dirty_.end(), s.fd) == dirty_.end()) dirty_.push_back(s.fd);
        return true;
    }
    if (!s.greeted) {
        wire::Hello h;
        if (kind != wire::kHello || !wire::decode_hello(payload, h, why)) {
            ++bad_records_;
            last_bad_ = "bad hello: " + (why.empty() ? std::string("not a hello") : why);
            close_session(s.fd, "bad hello");
            return false;
        }
        // On the Unix socket the hello carries the key; on the TCP port, where a
        // stranger could have listened in trapd's place, only the answer to trapd's
        // challenge is taken, never the key itself.
        const char* denied = nullptr;
        if (!key_.empty()) {
            if (!s.nonce.empty()) {
                if (!wire::same_bytes(h.key, wire::hex_of(wire::key_proof(key_, wire::kSessionProof, s.nonce,
                                                                            s.their_nonce))))
                    denied = "the session did not prove the instance key";
            } else if (!s.local) {
                denied = "a session on the TCP port must answer trapd's challenge";
            } else if (!wire::same_bytes(h.key, key_)) {
                denied = "the session did not present the instance key";
            }
        }
        if (denied != nullptr) {
            ++refused_sessions_;
            last_refused_ = "session " + name_text(h.name) + ": " + denied;
            log_.line("SESSION refused " + name_text(h.name) + ": " + denied + " (run/trapd.key)");
            std::string no;
            wire::encode_refusal(std::string("permission denied: ") + denied, no);
            send(s.fd, no.data(), no.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            close_session(s.fd, nullptr);
            return false;
        }
        if (!h.name.empty() && !wire::parse_filter(h.filter, s.prefix)) {
            ++bad_records_;
            last_bad_ = "bad filter from session " + name_text(h.name);
            close_session(s.fd, "bad filter");
            return false;
        }
        if (greeted_ >= opt_.max_sessions) {
            ++refused_cap_;
            close_session(s.fd, nullptr);
            return false;
        }
        pending(s, false);
        s.greeted = true;
        ++greeted_;
        s.name = h.name;
        s.receiving = !h.name.empty();
        if (s.receiving) order_.push_back(s.fd);
        if ((h.flags & wire::kManaged) && s.receiving && managed_ < opt_.max_managed) {
            // Its queue leaves the shared allowance, with what it holds already.
            s.managed = true;
            ++managed_;
            queued_total_ -= std::min(queued_total_, s.out.size() - s.out_off);
        }
        log_.line("SESSION open " + name_text(s.name) +
                  (s.receiving ? " filter " + h.filter : std::string(" send-only")) + (s.managed ? " managed" : ""));
        std::string ack;
        wire::encode_ack(ack);
        s.out += ack;  // never dropped: counted, not bounded
        if (!s.managed) queued_total_ += ack.size();
        if (std::find(dirty_.begin(), dirty_.end(), s.fd) == dirty_.end()) dirty_.push_back(s.fd);
        return true;
    }
    wire::Event ev;
    if (kind != wire::kEvent || !wire::decode_event(payload, ev, why) || !complete_event(ev, why)) {
        ++bad_records_;
        last_bad_ = "bad event record from session " + name_text(s.name) + ": " + (why.empty() ? "not an event" : why);
        close_session(s.fd, "bad record");
        return false;
    }
    ++received_events_;
    deliver(ev, "EVENT from session " + name_text(s.name) + " ");
    return true;
}

void Server::close_session(int fd, const char* why) {
    auto it = sessions_.find(fd);
    if (it == sessions_.end()) return;
    Session& s = *it->second;
    if (s.greeted)
        log_.line("SESSION close " + name_text(s.name) + (why ? std::string(" (") + why + ")" : std::string()) +
                  (s.dropped ? " dropped " + std::to_string(s.dropped) + " events" : std::string()));
    epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    if (s.greeted) {
        --greeted_;
        retire(s);
    } else {
        pending(s, false);
    }
    if (s.managed) --managed_;
    else queued_total_ -= std::min(queued_total_, s.out.size() - s.out_off);
    if (listen_paused_) {
        listen_paused_ = false;
        if (listen_ >= 0) add(listen_, EPOLLIN, tag(kListen, listen_));
        if (unix_ >= 0) add(unix_, EPOLLIN, tag(kUnixListen, unix_));
    }
    order_.erase(std::remove(order_.begin(), order_.end(), fd), order_.end());
    dirty_.erase(std::remove(dirty_.begin(), dirty_.end(), fd), dirty_.end());
    sessions_.erase(it);
}

void Server::deliver(const wire::Event& ev, const std::string& origin) {
    log_.line(origin + describe(ev));
    std::string frame;
    for (int fd : order_) {
        Session& s = *sessions_[fd];
        if (!wire::filter_matches(s.prefix, ev.trap_id)) continue;
        if (frame.empty() && !wire::encode_event(ev, frame)) return;
        if (!enqueue(s, frame)) {
            ++s.dropped;
            continue;
        }
        ++s.delivered;
        if (!s.want_write && (dirty_.empty() || dirty_.back() != fd) &&
            std::find(dirty_.begin(), dirty_.end(), fd) == dirty_.end())
            dirty_.push_back(fd);
    }
}

bool Server::enqueue(Session& s, const std::string& frame) {
    size_t pending = s.out.size() - s.out_off;
    if (pending + frame.size() > opt_.queue_limit) return false;
    if (!s.managed && queued_total_ + frame.size() > opt_.queue_total) return false;
    // What was sent already goes before the queue grows, so that the memory a
    // session holds stays near its bound whatever the size of the events.
    if (s.out_off > 0 && s.out.size() + frame.size() > s.out.capacity()) {
        s.out.erase(0, s.out_off);
        s.out_off = 0;
    }
    s.out += frame;
    if (!s.managed) queued_total_ += frame.size();
    return true;
}

void Server::flush_session(Session& s) {
    size_t before = s.out_off;
    bool alive = send_pending(s.fd, s.out, s.out_off);
    if (!s.managed) queued_total_ -= std::min(queued_total_, s.out_off - before);
    if (!alive) {
        close_session(s.fd, "write failed");
        return;
    }
    if (s.out_off == s.out.size()) {
        s.out.clear();
        if (s.out.capacity() > (1u << 20)) s.out.shrink_to_fit();  // an idle session gives its memory back
        s.out_off = 0;
    } else if (s.out_off > (1u << 20) && s.out_off > s.out.size() / 2) {
        s.out.erase(0, s.out_off);
        s.out_off = 0;
    }
    bool pending = !s.out.empty();
    if (pending != s.want_write) {
        s.want_write = pending;
        mod(s.fd, EPOLLIN | (pending ? EPOLLOUT : 0u), tag(kSession, s.fd));
    }
}

void Server::flush_dirty() {
    std::vector<int> dirty;
    dirty.swap(dirty_);
    for (int fd : dirty) {
        auto it = sessions_.find(fd);
        if (it != sessions_.end()) flush_session(*it->second);
    }
}

}  // namespace zq::trapd
