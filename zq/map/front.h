// The map program's web server connections: what a stranger on the port can
// hold, and for how long.
//
// cpp-httplib would give each connection a worker thread from accept to close,
// so a few dozen clients that send their request head slowly (a line every few
// seconds) hold every worker and the page stops loading.  Here one thread waits
// for the heads of all connections at once (epoll) and a worker gets a
// connection only when a whole request head has arrived; between the requests
// of a kept-alive connection it goes back to that thread.  Every wait has a
// deadline, and the connections waiting for a head are bounded per client
// address and in all (the oldest goes first when a bound is reached).
//
// Threads: the accept loop (cpp-httplib's listen), the head thread, and the
// workers that run the handlers.  Conn records move between the head thread
// and one worker at a time.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zq::map {

struct FrontLimits {
    size_t workers = 48;               // threads running handlers
    int head_ms = 10000;               // a request head arrives whole within this
    int idle_ms = 3000;                // a kept-alive connection waits this long for its next request
    int request_ms = 20000;            // the rest of a request (its body) arrives within this
    int read_timeout_ms = 10000;       // one read of the body waits at most this long
    int write_timeout_ms = 30000;      // one write of an answer waits at most this long
    size_t head_max = 16384;           // bytes of a request line and its headers
    size_t waiting_max = 512;          // connections waiting for a head, in all ...
    size_t waiting_per_client = 128;   // ... and from one address
    size_t requests_per_conn = 100;    // then the connection is closed
    size_t polls_per_client = 8;       // long polls waiting, of one address ...
    size_t polls_max = 24;             // ... and in all
};

// A waiting long poll's place among those of its client and of all.  Taking
// one past a bound asks the oldest poll of the same client (or, past the bound
// of all, of the client with the most) to end early: its early() turns true and
// its wake (if any) is called, and it answers with what it has; the page simply
// asks again.  So long polls never take more than polls_max workers.
class PollSlot {
public:
    PollSlot(const std::string& client, std::function<void()> wake);
    ~PollSlot();
    PollSlot(const PollSlot&) = delete;
    PollSlot& operator=(const PollSlot&) = delete;
    bool early() const { return early_->load(); }
    // The long polls waiting now, and the client addresses they come from.
    static void count(size_t& polls, size_t& clients);
    const std::atomic<bool>* flag() const { return early_.get(); }

private:
    std::shared_ptr<std::atomic<bool>> early_;
};

class FrontServer : public httplib::Server {
public:
    FrontServer();
    ~FrontServer() override;

    // bind_to_port first; then start() runs the accept loop, the head thread
    // and the workers; stop() ends them all (handlers should see their own
    // stop flag and return soon).
    void start(const FrontLimits& limits);
    void stop_all();

    // On a worker, inside a handler: the client address of the request being
    // served ("" elsewhere), and a way to say that the connection must close
    // after the answer (its body was not read).
    static std::string current_client();
    static void close_after_answer();
    // Keeps token until the present request has been answered (or given up).
    static void hold_until_answered(std::shared_ptr<void> token);

    struct Impl;

private:
    bool process_and_close_socket(socket_t sock) override;
    bool serve_request(httplib::Stream& strm, bool last, bool& closed);
    std::unique_ptr<Impl> impl_;
    std::thread listener_;
};

}  // namespace zq::map
