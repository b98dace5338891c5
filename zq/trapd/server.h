// trapd's event loop: the UDP trap port, the TCP event port, the sessions and
// their queues, and the trap log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "wire.h"

namespace zq::trapd {

struct Options {
    std::string trap_listen = "127.0.0.1";  // address of the UDP trap port
    int trap_port = 162;
    int event_port = 5162;
    // run/trapd.sock: the Unix socket of event sessions (empty: none).  Its folder
    // is made the owner's alone; a path too long for a socket address leaves the
    // TCP port, where sessions prove the key by a challenge.
    std::string socket_path;
    std::string log_path;                   // log/trapd.log of the instance
    size_t queue_limit = 16u << 20;         // bytes waiting for one session
    size_t queue_total = 256u << 20;        // bytes waiting for all shared-allowance sessions together
    size_t max_sessions = 256;              // sessions past their hello at once
    // Connections that have not finished their hello: at most max_pending on each
    // listener (the Unix socket and the TCP port apart), at most max_pending_peer
    // from one TCP address, and each for greeting_timeout seconds.  They never
    // take the places of sessions.
    size_t max_pending = 64;
    size_t max_pending_peer = 8;
    int greeting_timeout = 5;               // seconds for a new connection's hello
    // Sessions of the instance's own programs (the hello's managed flag) have their
    // queue outside the shared allowance, up to this many of them.
    size_t max_managed = 32;
    size_t log_limit = 16u << 20;           // trapd.log is renamed trapd.log.1 beyond this
    int log_generations = 5;                // trapd.log.1 .. trapd.log.N are kept
    int rcvbuf = 8 << 20;
    // Access to the intake.  Event sessions must present the key written to
    // key_path (owner-only) at start; empty key_path: no key asked (tests of the
    // loop alone).  UDP traps need one of communities unless any_community;
    // traps under a local_only arc are taken from sessions only.
    std::string key_path;
    bool any_community = true;
    std::vector<std::string> communities;
    std::vector<wire::Oid> local_only;
    // SNMPv3 traps and informs are taken from the users of users (net-snmp has
    // them, see usm.h) named in trap_users, or from any of them when any_user.
    bool any_user = true;
    std::vector<std::string> trap_users;
};

// The trap log: one line per trap or event, buffered here and written after
// every receive batch and at least every second.  Past its limit the file is
// renamed trapd.log.1 (the older ones shifted up to trapd.log.N).  A line longer
// than the line bound is cut, with a mark saying how much was left out.  Lines
// that cannot be written (a full disk) are counted and reported in the log once
// writing works again.
class TrapLog {
public:
    TrapLog(std::string path, size_t limit, int generations = 5, size_t line_max = 8192);
    ~TrapLog();
    void line(const std::string& text);
    void flush();
    // Closes and opens the file again (after a rotation by someone else).
    void reopen();
    uint64_t lost_lines() const { return lost_total_; }

private:
    void open();
    void rotate();
    std::string path_;
    size_t limit_;
    int generations_;
    size_t line_max_;
    size_t size_ = 0;
    int fd_ = -1;
    std::string buf_;
    uint64_t buf_lines_ = 0;
    uint64_t lost_ = 0, lost_total_ = 0;  // lines not written since the last report, and ever
    int lost_errno_ = 0;
};

// One figure of trapd's for monitoring (ZqsPublishMetrics in zq.h).
struct Figure {
    std::string name;
    bool counter = true;  // else a gauge
    std::string help, label, label_value;
    double value = 0;
};

// One readable line for a trap (without the time stamp and newline).
std::string describe(const wire::Event& ev);

class Server {
public:
    explicit Server(Options opt);
    ~Server();
    // Opens the sockets; false with a message on standard error when one cannot be opened.
    bool start();
    // Runs until SIGTERM or SIGINT (blocked by start and read through a signalfd).
    void run();
    // Watches another descriptor in the same loop (the process manager's).
    void watch(int fd, std::function<void()> on_readable);
    // Calls fn about once a second from the loop (to hand figures() on).
    void on_tick(std::function<void()> fn) { on_tick_ = std::move(fn); }
    // What came in, what was refused or malformed, and per session name what was
    // queued for it and what it lost: counters that only grow while trapd runs
    // (metrics.cpp).
    std::vector<Figure> figures() const;
    // Ends run() after the current round (a stop command from the process manager).
    void stop() { stop_ = true; }

    int udp_port() const { return udp_port_; }
    // Datagrams the kernel dropped on the trap port since it was opened.
    uint32_t kernel_drops() const { return kernel_drops_; }
    // The TCP event port (0 when it could not be had and the Unix socket serves alone).
    int event_port() const { return event_port_; }

private:
    struct Session {
        int fd = -1;
        uint64_t serial = 0;
        bool greeted = false;
        bool receiving = false;
        std::string name;
        wire::Oid prefix;
        std::string in;
        std::string out;
        size_t out_off = 0;
        bool want_write = false;
        uint64_t dropped = 0;
        uint64_t dropped_reported = 0;
        int64_t opened = 0;      // monotonic seconds, for the greeting time-out
        uint64_t delivered = 0;  // events queued for it
        bool local = false;      // came through the Unix socket
        uint32_t peer = 0;       // TCP source address (network order)
        bool managed = false;    // its queue is outside the shared allowance
        std::string nonce, their_nonce;  // of the challenge on the TCP port
    };

    void on_udp();
    void on_accept(int lfd, bool local);
    bool open_socket();
    // Counts a connection that has not said hello yet (add) or no longer is one.
    void pending(Session& s, bool add);
    void on_session(int fd, uint32_t events);
    void read_session(Session& s);
    bool handle_frame(Session& s, std::string_view payload);
    void close_session(int fd, const char* why);
    void deliver(const wire::Event& ev, const std::string& origin);
    void flush_session(Session& s);
    // Appends to a session's queue within the per-session and total bounds; false
    // (nothing queued) when it does not fit.
    bool enqueue(Session& s, const std::string& frame);
    void flush_dirty();
    void tick();
    void on_signal();
    void report_counts(bool force);
    bool write_key();
    // Why a UDP trap is refused, or null when it is taken.
    const char* refusal(const wire::Event& ev) const;
    // SNMPv3 datagrams (server_v3.cpp): decodes one, sends the report or the
    // inform's response it wants, counts what fails; true when ev is to be
    // delivered.  report_v3 writes the counts like the other refusals.
    bool take_v3(const uint8_t* data, size_t len, const void* from, wire::Event& ev);
    void report_v3();
    std::string v3_stats() const;
    void add(int fd, uint32_t events, uint64_t tag);
    void mod(int fd, uint32_t events, uint64_t tag);

    Options opt_;
    int ep_ = -1, udp_ = -1, listen_ = -1, unix_ = -1, sig_ = -1;
    int udp_port_ = 0, event_port_ = 0;
    bool stop_ = false;
    TrapLog log_;
    std::unordered_map<int, std::unique_ptr<Session>> sessions_;
    std::vector<int> order_;      // receiving sessions by descriptor, in the order they said hello
    std::vector<int> dirty_;      // sessions with fresh output
    std::unordered_map<int, std::function<void()>> watched_;
    uint64_t next_serial_ = 1;
    // Counts of what was dropped (reported to the log, at most every 10 seconds).
    uint64_t bad_datagrams_ = 0, bad_records_ = 0, reported_datagrams_ = 0, reported_records_ = 0;
    std::string last_bad_;
    // Refusals by the access rules (reported like the malformed counts).
    uint64_t refused_community_ = 0, refused_local_only_ = 0, refused_sessions_ = 0;
    uint64_t reported_refused_ = 0;
    std::string last_refused_;
    // SNMPv3 messages not taken, per reason of usm.h (the failures of security
    // checks, which never reach a session) and users not in trap_users.
    uint64_t v3_failed_[16] = {};
    uint64_t v3_refused_user_ = 0, v3_reported_ = 0;
    std::string v3_last_;
    std::string key_;
    // Connections refused for the session cap or the descriptor limit, and
    // sessions closed for a missing greeting.
    uint64_t refused_cap_ = 0, refused_fds_ = 0, greeting_timeouts_ = 0, reported_conn_ = 0;
    uint64_t refused_pending_ = 0;
    size_t greeted_ = 0, managed_ = 0;
    size_t pending_local_ = 0, pending_tcp_ = 0;
    std::unordered_map<uint32_t, size_t> pending_peer_;
    bool fd_exhausted_ = false;
    bool listen_paused_ = false;  // logged once per episode
    int spare_fd_ = -1;          // given up to accept and close one connection when descriptors run out
    size_t queued_total_ = 0;  // bytes waiting for the sessions of the shared allowance
    // What came in and what the kernel dropped before trapd could read it
    // (SO_RXQ_OVFL: the socket's count of datagrams dropped for a full buffer).
    uint64_t received_traps_ = 0, received_events_ = 0;
    uint32_t kernel_drops_ = 0, reported_kernel_drops_ = 0;
    std::string last_stats_;
    int64_t last_stats_time_ = 0;
    void write_stats(bool force);
    int64_t last_report_ = 0;
    std::vector<uint8_t> rxbufs_;
    std::function<void()> on_tick_;
    // The queued and dropped counts of sessions that have closed, by name (at
    // most kRetiredNames names; the rest together), so that the figures of a
    // name never go down when its session reconnects.
    struct Retired {
        uint64_t delivered = 0, dropped = 0;
    };
    std::map<std::string, Retired> retired_;
    void retire(const Session& s);
};

}  // namespace zq::trapd
