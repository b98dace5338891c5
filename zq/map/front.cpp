// The map program's web server connections (front.h says who does what).
#include "front.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace zq::map {

namespace {

using Clock = std::chrono::steady_clock;

struct Conn {
    int fd = -1;
    std::string client, local;
    int client_port = 0, local_port = 0;
    std::string buf;                   // bytes read ahead, from off on
    size_t off = 0;
    Clock::time_point since;           // began its present wait (the oldest goes first)
    Clock::time_point deadline;        // of the present wait
    bool idle = false;                 // kept alive, no byte of its next request yet
    bool close_after = false;
    size_t served = 0;
    std::vector<std::shared_ptr<void>> held;   // until the present request is answered

    ~Conn() {
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        }
    }
    size_t pending() const { return buf.size() - off; }
    bool head_complete() const {
        std::string_view v(buf);
        v.remove_prefix(off);
        return v.find("\r\n\r\n") != std::string_view::npos || v.find("\n\n") != std::string_view::npos;
    }
    // Best effort: a short answer for a client that is given up on.
    void say(const char* status) const {
        std::string s = std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        ssize_t r = ::send(fd, s.data(), s.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)r;
    }
};

thread_local Conn* tls_conn = nullptr;

// The long polls waiting, oldest first (PollSlot).
struct Poll {
    std::string client;
    std::shared_ptr<std::atomic<bool>> early;
    std::function<void()> wake;
};
std::mutex g_polls_mu;
std::list<Poll> g_polls;
size_t g_polls_per_client = FrontLimits().polls_per_client;
size_t g_polls_max = FrontLimits().polls_max;

int ms_until(Clock::time_point t) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(ms, 0, 1 << 30));
}

// Waits until fd is ready for events, at most ms and never past deadline.
bool wait_fd(int fd, short events, int ms, Clock::time_point deadline) {
    for (;;) {
        int left = std::min(ms, ms_until(deadline));
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        auto start = Clock::now();
        int r = ::poll(&p, 1, left);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
        ms -= static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }
}

// The stream cpp-httplib reads a request from and writes its answer to: the
// bytes the head thread read first, then the socket, within the request's
// deadline.
class ConnStream final : public httplib::Stream {
public:
    ConnStream(Conn& c, Clock::time_point deadline, const FrontLimits& lim) : c_(c), deadline_(deadline), lim_(lim) {}

    bool is_readable() const override {
        return c_.pending() > 0 || wait_fd(c_.fd, POLLIN, lim_.read_timeout_ms, deadline_);
    }
    bool is_writable() const override {
        return wait_fd(c_.fd, POLLOUT, lim_.write_timeout_ms, Clock::now() + std::chrono::hours(1));
    }
    ssize_t read(char* ptr, size_t size) override {
        if (c_.pending() > 0) {
            size_t k = std::min(size, c_.pending());
            std::memcpy(ptr, c_.buf.data() + c_.off, k);
            c_.off += k;
            if (c_.off == c_.buf.size()) {
                c_.buf.clear();
                c_.off = 0;
            }
            return static_cast<ssize_t>(k);
        }
        if (!wait_fd(c_.fd, POLLIN, lim_.read_timeout_ms, deadline_)) return -1;
        if (size >= sizeof chunk_) return recv_some(ptr, size);
        ssize_t r = recv_some(chunk_, sizeof chunk_);
        if (r <= 0) return r;
        size_t k = std::min(size, static_cast<size_t>(r));
        std::memcpy(ptr, chunk_, k);
        c_.buf.assign(chunk_ + k, static_cast<size_t>(r) - k);
        c_.off = 0;
        return static_cast<ssize_t>(k);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        ssize_t r;
        do r = ::send(c_.fd, ptr, size, MSG_NOSIGNAL);
        while (r < 0 && errno == EINTR);
        return r;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.client;
        port = c_.client_port;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.local;
        port = c_.local_port;
    }
    socket_t socket() const override { return c_.fd; }

private:
    ssize_t recv_some(char* p, size_t n) {
        ssize_t r;
        do r = ::recv(c_.fd, p, n, 0);
        while (r < 0 && errno == EINTR);
        return r;
    }
    Conn& c_;
    Clock::time_point deadline_;
    const FrontLimits& lim_;
    char chunk_[4096];
};

void name_of(const sockaddr_storage& a, std::string& ip, int& port) {
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    socklen_t len = a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&a), len, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(serv);
    }
}

}  // namespace

struct FrontServer::Impl {
    FrontServer* owner = nullptr;
    FrontLimits lim;
    std::atomic<bool> stopping{false};
    int ep = -1, wake = -1;
    std::mutex mu;
    std::vector<std::shared_ptr<Conn>> incoming;            // for the head thread (mu)
    std::unordered_map<int, std::shared_ptr<Conn>> waiting;  // head thread only
    std::unordered_map<std::string, size_t> per_client;     // head thread only
    std::unique_ptr<httplib::ThreadPool> pool;
    std::thread head_thread;

    void hand_over(std::shared_ptr<Conn> c) {
        {
            std::lock_guard<std::mutex> lk(mu);
            incoming.push_back(std::move(c));
        }
        uint64_t one = 1;
        ssize_t r = ::write(wake, &one, sizeof one);
        (void)r;
    }

    // ---- head thread ----

    void forget(int fd) {
        auto it = waiting.find(fd);
        if (it == waiting.end()) return;
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        auto pc = per_client.find(it->second->client);
        if (pc != per_client.end() && --pc->second == 0) per_client.erase(pc);
        waiting.erase(it);
    }

    // Closes the connection of client (any client when empty) that has waited longest.
    void drop_oldest(const std::string& client) {
        int oldest = -1;
        Clock::time_point t = Clock::time_point::max();
        for (const auto& [fd, c] : waiting)
            if ((client.empty() || c->client == client) && c->since < t) {
                t = c->since;
                oldest = fd;
            }
        if (oldest >= 0) forget(oldest);
    }

    void admit(std::shared_ptr<Conn> c) {
        if (c->head_complete()) return dispatch(std::move(c));
        auto pc = per_client.find(c->client);
        if (pc != per_client.end() && pc->second >= lim.waiting_per_client) drop_oldest(c->client);
        if (waiting.size() >= lim.waiting_max) drop_oldest("");
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = c->fd;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev) != 0) return;   // closed with c
        ++per_client[c->client];
        waiting.emplace(c->fd, std::move(c));
    }

    void readable(int fd) {
        auto it = waiting.find(fd);
        if (it == waiting.end()) return;
        Conn& c = *it->second;
        char tmp[4096];
        for (;;) {
            size_t room = lim.head_max + 1 > c.pending() ? lim.head_max + 1 - c.pending() : 0;
            if (room == 0) break;
            ssize_t r = ::recv(fd, tmp, std::min(room, sizeof tmp), MSG_DONTWAIT);
            if (r > 0) {
                if (c.idle) {
                    c.idle = false;
                    c.deadline = Clock::now() + std::chrono::milliseconds(lim.head_ms);
                }
                c.buf.append(tmp, static_cast<size_t>(r));
                continue;
            }
            if (r < 0 && (errno == EINTR)) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            return forget(fd);   // closed by the client, or an error
        }
        if (c.head_complete()) {
            auto conn = it->second;
            forget(fd);
            dispatch(std::move(conn));
        } else if (c.pending() > lim.head_max) {
            c.say("431 Request Header Fields Too Large");
            forget(fd);
        }
    }

    void expire() {
        auto now = Clock::now();
        std::vector<int> late;
        for (const auto& [fd, c] : waiting)
            if (c->deadline <= now) late.push_back(fd);
        for (int fd : late) {
            const Conn& c = *waiting[fd];
            if (!c.idle && c.pending() > 0) c.say("408 Request Timeout");
            forget(fd);
        }
    }

    void head_loop() {
        epoll_event events[64];
        auto next_scan = Clock::now();
        while (!stopping) {
            std::vector<std::shared_ptr<Conn>> added;
            {
                std::lock_guard<std::mutex> lk(mu);
                added.swap(incoming);
            }
            for (auto& c : added) admit(std::move(c));
            int n = epoll_wait(ep, events, 64, 200);
            for (int i = 0; i < n; ++i) {
                if (events[i].data.fd == wake) {
                    uint64_t v;
                    ssize_t r = ::read(wake, &v, sizeof v);
                    (void)r;
                } else {
                    readable(events[i].data.fd);
                }
            }
            if (Clock::now() >= next_scan) {
                expire();
                next_scan = Clock::now() + std::chrono::milliseconds(200);
            }
        }
        waiting.clear();
        per_client.clear();
    }

    // ---- workers ----

    void dispatch(std::shared_ptr<Conn> c) {
        pool->enqueue([this, c] { serve(c); });
    }

    void serve(std::shared_ptr<Conn> c) {
        while (!stopping) {
            auto deadline = Clock::now() + std::chrono::milliseconds(lim.request_ms);
            ConnStream strm(*c, deadline, lim);
            bool last = ++c->served >= lim.requests_per_conn;
            bool closed = false;
            tls_conn = c.get();
            bool ok = owner->serve_request(strm, last, closed);
            tls_conn = nullptr;
            c->held.clear();
            if (!ok || closed || last || c->close_after || stopping) return;
            if (c->head_complete()) continue;   // the next request came with this one
            c->since = Clock::now();
            c->idle = c->pending() == 0;
            c->deadline = c->since + std::chrono::milliseconds(c->idle ? lim.idle_ms : lim.head_ms);
            return hand_over(std::move(c));
        }
    }
};

FrontServer::FrontServer() : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    // cpp-httplib's own pool only hands the accepted sockets over.
    new_task_queue = [] { return new httplib::ThreadPool(2); };
}

FrontServer::~FrontServer() { stop_all(); }

bool FrontServer::serve_request(httplib::Stream& strm, bool last, bool& closed) {
    return process_request(strm, last, closed, nullptr);
}

void FrontServer::start(const FrontLimits& limits) {
    Impl& im = *impl_;
    im.lim = limits;
    // The Keep-Alive header tells clients how long an idle connection stays.
    set_keep_alive_timeout(std::max(1, limits.idle_ms / 1000));
    set_keep_alive_max_count(limits.requests_per_conn);
    {
        std::lock_guard<std::mutex> lk(g_polls_mu);
        g_polls_per_client = limits.polls_per_client;
        g_polls_max = limits.polls_max;
    }
    im.ep = epoll_create1(EPOLL_CLOEXEC);
    im.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = im.wake;
    epoll_ctl(im.ep, EPOLL_CTL_ADD, im.wake, &ev);
    // cpp-httplib listens with a backlog of 5: a page's burst of connections
    // would wait for the client's SYN retry (a second and more).  A second
    // listen() on the bound socket sets the backlog anew.
    ::listen(svr_sock_, SOMAXCONN);
    im.pool = std::make_unique<httplib::ThreadPool>(limits.workers);
    im.head_thread = std::thread([&im] { im.head_loop(); });
    listener_ = std::thread([this] { listen_after_bind(); });
}

void FrontServer::stop_all() {
    Impl& im = *impl_;
    if (im.stopping.exchange(true)) return;
    stop();
    if (listener_.joinable()) listener_.join();
    if (im.head_thread.joinable()) {
        uint64_t one = 1;
        ssize_t r = ::write(im.wake, &one, sizeof one);
        (void)r;
        im.head_thread.join();
    }
    if (im.pool) im.pool->shutdown();
    {
        std::lock_guard<std::mutex> lk(im.mu);
        im.incoming.clear();
    }
    if (im.ep >= 0) ::close(im.ep);
    if (im.wake >= 0) ::close(im.wake);
    im.ep = im.wake = -1;
}

bool FrontServer::process_and_close_socket(socket_t sock) {
    auto c = std::make_shared<Conn>();
    c->fd = sock;
    // An answer goes out in many small writes (compressed, or chunk by chunk):
    // waiting for the peer's delayed ACK before each would cost 40 ms apiece.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&a), &len) == 0) name_of(a, c->client, c->client_port);
    len = sizeof a;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len) == 0) name_of(a, c->local, c->local_port);
    if (impl_->stopping) return false;   // c closes it
    c->since = Clock::now();
    c->deadline = c->since + std::chrono::milliseconds(impl_->lim.head_ms);
    impl_->hand_over(std::move(c));
    return true;
}

std::string FrontServer::current_client() { return tls_conn ? tls_conn->client : std::string(); }

void FrontServer::close_after_answer() {
    if (tls_conn) tls_conn->close_after = true;
}

void FrontServer::hold_until_answered(std::shared_ptr<void> token) {
    if (tls_conn) tls_conn->held.push_back(std::move(token));
}

PollSlot::PollSlot(const std::string& client, std::function<void()> wake)
    : early_(std::make_shared<std::atomic<bool>>(false)) {
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard<std::mutex> lk(g_polls_mu);
        auto end_oldest_of = [&](const std::string& who) {
            for (auto p = g_polls.begin(); p != g_polls.end(); ++p)
                if (p->client == who) {
                    p->early->store(true);
                    if (p->wake) wakes.push_back(p->wake);
                    g_polls.erase(p);
                    return;
                }
        };
        size_t mine = 0;
        for (const auto& p : g_polls) mine += p.client == client;
        if (mine >= g_polls_per_client) end_oldest_of(client);
        if (!g_polls.empty() && g_polls.size() >= g_polls_max) {
            std::map<std::string, size_t> count;
            for (const auto& p : g_polls) ++count[p.client];
            auto most = std::max_element(count.begin(), count.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; });
            end_oldest_of(most->first);
        }
        g_polls.push_back(Poll{client, early_, std::move(wake)});
    }
    for (auto& w : wakes) w();
}

void PollSlot::count(size_t& polls, size_t& clients) {
    std::lock_guard<std::mutex> lk(g_polls_mu);
    std::set<std::string> who;
    for (const auto& p : g_polls) who.insert(p.client);
    polls = g_polls.size();
    clients = who.size();
}

PollSlot::~PollSlot() {
    std::lock_guard<std::mutex> lk(g_polls_mu);
    // An early one was taken off the list by whoever ended it.
    if (early_->load()) return;
    for (auto p = g_polls.begin(); p != g_polls.end(); ++p)
        if (p->early == early_) {
            g_polls.erase(p);
            return;
        }
}

}  // namespace zq::map
