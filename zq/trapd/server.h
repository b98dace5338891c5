// trapd's event loop: the UDP trap port, the TCP event port, the sessions and
// their queues, and the trap log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
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
    std::string log_path;                   // log/trapd.log of the instance
    size_t queue_limit = 16u << 20;         // bytes waiting for one session
    size_t log_limit = 16u << 20;           // trapd.log is renamed trapd.log.old beyond this
    int rcvbuf = 8 << 20;
};

// The trap log: one line per trap or event, buffered, flushed at least every second,
// renamed to trapd.log.old when it grows past its limit.
class TrapLog {
public:
    TrapLog(std::string path, size_t limit);
    ~TrapLog();
    void line(const std::string& text);
    void flush();

private:
    void open();
    std::string path_;
    size_t limit_;
    size_t size_ = 0;
    FILE* f_ = nullptr;
    std::vector<char> buf_;
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
    // Ends run() after the current round (a stop command from the process manager).
    void stop() { stop_ = true; }

    int udp_port() const { return udp_port_; }
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
    };

    void on_udp();
    void on_accept();
    void on_session(int fd, uint32_t events);
    void read_session(Session& s);
    bool handle_frame(Session& s, std::string_view payload);
    void close_session(int fd, const char* why);
    void deliver(const wire::Event& ev, const std::string& origin);
    void flush_session(Session& s);
    void flush_dirty();
    void tick();
    void report_counts(bool force);
    void add(int fd, uint32_t events, uint64_t tag);
    void mod(int fd, uint32_t events, uint64_t tag);

    Options opt_;
    int ep_ = -1, udp_ = -1, listen_ = -1, sig_ = -1;
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
    int64_t last_report_ = 0;
    std::vector<uint8_t> rxbufs_;
};

}  // namespace zq::trapd
