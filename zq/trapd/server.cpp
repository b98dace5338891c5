#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "datagram.h"

namespace zq::trapd {

namespace {

enum Tag : uint64_t { kUdp = 1, kListen = 2, kSignal = 3, kSession = 4, kWatched = 5 };
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

void append_num(std::string& s, uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

void append_signed(std::string& s, int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

void append_oid(std::string& s, const wire::Oid& o) {
    for (size_t i = 0; i < o.size(); ++i) {
        if (i) s += '.';
        append_num(s, o[i]);
    }
}

void append_addr(std::string& s, const uint8_t* a) {
    for (int i = 0; i < 4; ++i) {
        if (i) s += '.';
        append_num(s, a[i]);
    }
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

void append_value(std::string& s, const wire::Binding& b) {
    switch (b.type) {
    case 2: s += "INTEGER "; append_signed(s, static_cast<int32_t>(static_cast<uint32_t>(b.number))); break;
    case 4: s += "OCTET STRING "; append_quoted(s, b.bytes); break;
    case 5: s += "NULL"; break;
    case 6: s += "OBJECT IDENTIFIER "; append_oid(s, b.objid); break;
    case 0x40: s += "IpAddress "; append_addr(s, reinterpret_cast<const uint8_t*>(b.bytes.data())); break;
    case 0x41: s += "Counter32 "; append_num(s, b.number); break;
    case 0x42: s += "Gauge32 "; append_num(s, b.number); break;
    case 0x43: s += "TimeTicks "; append_num(s, b.number); break;
    case 0x44: s += "Opaque "; append_quoted(s, b.bytes); break;
    case 0x46: s += "Counter64 "; append_num(s, b.number); break;
    default: s += "type "; append_num(s, b.type); break;
    }
}

}  // namespace

std::string describe(const wire::Event& ev) {
    std::string s;
    s.reserve(256);
    s += ev.version == 0 ? "v1" : "v2c";
    s += " agent=";
    append_addr(s, ev.agent.data());
    s += " community=";
    append_quoted(s, ev.community);
    s += " enterprise=";
    append_oid(s, ev.enterprise);
    s += " generic=";
    append_signed(s, ev.generic);
    s += " specific=";
    append_signed(s, ev.specific);
    s += " time=";
    append_num(s, ev.timestamp);
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

TrapLog::TrapLog(std::string path, size_t limit) : path_(std::move(path)), limit_(limit), buf_(1 << 20) {}

TrapLog::~TrapLog() {
    if (f_) fclose(f_);
}

void TrapLog::open() {
    if (f_ || path_.empty()) return;
    auto slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0) mkdir(path_.substr(0, slash).c_str(), 0755);
    f_ = fopen(path_.c_str(), "a");
    if (!f_) {
        static bool warned = false;
        if (!warned) fprintf(stderr, "trapd: cannot write %s: %s\n", path_.c_str(), strerror(errno));
        warned = true;
        return;
    }
    setvbuf(f_, buf_.data(), _IOFBF, buf_.size());
    long pos = ftell(f_);
    size_ = pos > 0 ? static_cast<size_t>(pos) : 0;
}

void TrapLog::line(const std::string& text) {
    open();
    if (!f_) return;
    if (size_ >= limit_) {
        fclose(f_);
        f_ = nullptr;
        std::string old = path_ + ".old";
        rename(path_.c_str(), old.c_str());
        open();
        if (!f_) return;
    }
    static time_t cached_sec = 0;
    static char stamp[32] = "";
    time_t t = time(nullptr);
    if (t != cached_sec) {
        cached_sec = t;
        tm lt{};
        localtime_r(&t, &lt);
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &lt);
    }
    size_t n = std::strlen(stamp);
    fwrite(stamp, 1, n, f_);
    fputc(' ', f_);
    fwrite(text.data(), 1, text.size(), f_);
    fputc('\n', f_);
    size_ += n + text.size() + 2;
}

void TrapLog::flush() {
    if (f_) fflush(f_);
}

// ---- Server ----

Server::Server(Options opt) : opt_(std::move(opt)), log_(opt_.log_path, opt_.log_limit) {}

Server::~Server() {
    for (auto& [fd, s] : sessions_) close(fd);
    for (int fd : {udp_, listen_, sig_, ep_})
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
    if (udp_ < 0) {
        perror("trapd: socket");
        return false;
    }
    // A large receive buffer takes bursts; as root the system limit does not apply.
    int rb = opt_.rcvbuf;
    if (setsockopt(udp_, SOL_SOCKET, SO_RCVBUFFORCE, &rb, sizeof rb) != 0)
        setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &rb, sizeof rb);
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
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (listen_ < 0 || setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listen_, reinterpret_cast<sockaddr*>(&ta), sizeof ta) != 0 || listen(listen_, 128) != 0) {
        fprintf(stderr, "trapd: cannot listen on TCP 127.0.0.1:%d: %s\n", opt_.event_port, strerror(errno));
        return false;
    }
    len = sizeof ta;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&ta), &len);
    event_port_ = ntohs(ta.sin_port);

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    sig_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sig_ < 0) {
        perror("trapd: signalfd");
        return false;
    }

    add(udp_, EPOLLIN, tag(kUdp, udp_));
    add(listen_, EPOLLIN, tag(kListen, listen_));
    add(sig_, EPOLLIN, tag(kSignal, sig_));
    rxbufs_.resize(static_cast<size_t>(kBatch) * kDatagramMax);
    last_report_ = now_seconds();
    log_.line("START trapd listening on UDP " + opt_.trap_listen + ":" + std::to_string(udp_port_) +
              " and TCP 127.0.0.1:" + std::to_string(event_port_));
    log_.flush();
    return true;
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
            case kListen: on_accept(); break;
            case kSignal: stop_ = true; break;
            case kSession: on_session(fd, evs[i].events); break;
            case kWatched: {
                auto it = watched_.find(fd);
                if (it != watched_.end()) it->second();
                break;
            }
            default: break;
            }
        }
        flush_dirty();
        int64_t now = now_seconds();
        if (now != last_tick) {
            last_tick = now;
            tick();
        }
    }
    report_counts(true);
    log_.line("STOP trapd");
    log_.flush();
}

void Server::tick() {
    report_counts(false);
    log_.flush();
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
    for (auto& [fd, s] : sessions_) {
        if (s->dropped != s->dropped_reported) {
            log_.line("DROPPED " + std::to_string(s->dropped - s->dropped_reported) + " events for session '" +
                      s->name + "' (queue full; total " + std::to_string(s->dropped) + ")");
            s->dropped_reported = s->dropped;
        }
    }
}

void Server::on_udp() {
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    for (int round = 0; round < kBatchesPerWake; ++round) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i].iov_base = rxbufs_.data() + static_cast<size_t>(i) * kDatagramMax;
            iov[i].iov_len = kDatagramMax;
            msgs[i].msg_hdr = msghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_len = 0;
        }
        int n = recvmmsg(udp_, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return;
        for (int i = 0; i < n; ++i) {
            const uint8_t* src = reinterpret_cast<const uint8_t*>(&from[i].sin_addr.s_addr);
            wire::Event ev;
            std::string why;
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
                ++bad_datagrams_;
                last_bad_ = "oversized datagram from " + addr_text(src);
                continue;
            }
            if (!decode_datagram(static_cast<const uint8_t*>(iov[i].iov_base), msgs[i].msg_len, src, ev, why)) {
                ++bad_datagrams_;
                last_bad_ = why + " from " + addr_text(src);
                continue;
            }
            deliver(ev, "TRAP from " + addr_text(src) + " ");
        }
        flush_dirty();
        if (n < kBatch) return;
    }
}

void Server::on_accept() {
    for (;;) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        // A modest kernel buffer, so that the session's own queue bound is what counts.
        int sndbuf = 256 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        auto s = std::make_unique<Session>();
        s->fd = fd;
        s->serial = next_serial_++;
        sessions_[fd] = std::move(s);
        add(fd, EPOLLIN, tag(kSession, fd));
    }
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
                auto sp = wire::next_frame(std::string_view(s.in).substr(off), payload, used);
                if (sp == wire::Split::kNeed) break;
                if (sp == wire::Split::kBad) {
                    ++bad_records_;
                    last_bad_ = "oversized or empty frame on session '" + s.name + "'";
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
    if (!s.greeted) {
        wire::Hello h;
        if (kind != wire::kHello || !wire::decode_hello(payload, h, why)) {
            ++bad_records_;
            last_bad_ = "bad hello: " + (why.empty() ? std::string("not a hello") : why);
            close_session(s.fd, "bad hello");
            return false;
        }
        if (!h.name.empty() && !wire::parse_filter(h.filter, s.prefix)) {
            ++bad_records_;
            last_bad_ = "bad filter from session '" + h.name + "'";
            close_session(s.fd, "bad filter");
            return false;
        }
        s.greeted = true;
        s.name = h.name;
        s.receiving = !h.name.empty();
        if (s.receiving) order_.push_back(s.fd);
        log_.line("SESSION open '" + s.name + "'" + (s.receiving ? " filter " + h.filter : std::string(" send-only")));
        wire::encode_ack(s.out);
        if (std::find(dirty_.begin(), dirty_.end(), s.fd) == dirty_.end()) dirty_.push_back(s.fd);
        return true;
    }
    wire::Event ev;
    if (kind != wire::kEvent || !wire::decode_event(payload, ev, why) || !complete_event(ev, why)) {
        ++bad_records_;
        last_bad_ = "bad event record from session '" + s.name + "': " + (why.empty() ? "not an event" : why);
        close_session(s.fd, "bad record");
        return false;
    }
    deliver(ev, "EVENT from session '" + s.name + "' ");
    return true;
}

void Server::close_session(int fd, const char* why) {
    auto it = sessions_.find(fd);
    if (it == sessions_.end()) return;
    Session& s = *it->second;
    if (s.greeted)
        log_.line("SESSION close '" + s.name + "'" + (why ? std::string(" (") + why + ")" : std::string()) +
                  (s.dropped ? " dropped " + std::to_string(s.dropped) + " events" : std::string()));
    epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
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
        if (s.out.size() - s.out_off + frame.size() > opt_.queue_limit) {
            ++s.dropped;
            continue;
        }
        s.out += frame;
        if (!s.want_write && (dirty_.empty() || dirty_.back() != fd) &&
            std::find(dirty_.begin(), dirty_.end(), fd) == dirty_.end())
            dirty_.push_back(fd);
    }
}

void Server::flush_session(Session& s) {
    while (s.out_off < s.out.size()) {
        ssize_t w = send(s.fd, s.out.data() + s.out_off, s.out.size() - s.out_off, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w > 0) {
            s.out_off += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        close_session(s.fd, "write failed");
        return;
    }
    if (s.out_off == s.out.size()) {
        s.out.clear();
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
