// The map program's main loop as a library: the zqw program runs it, and the
// tests run it in-process (then they reach the mapd.h functions through post()).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace zq::map {

struct Options {
    int stop_grace_ms = 10000;         // how long applications get to end after event 1
    int poll_ms = 150;                 // change-log polling period
    size_t queue_limit = 4u << 20;     // bytes waiting for one application; beyond: disconnected
    int query_timeout_ms = 10000;      // an unanswered configuration query is given up
    // An application that dies (a signal, a non-zero status) after it had its
    // session is started again after restart_delay_ms, doubled for each restart,
    // at most restart_budget times in ten minutes; then it is "failed".
    int restart_delay_ms = 1000;
    int restart_budget = 5;
    bool start_apps = true;            // start the registered applications' commands
    bool signals = false;              // end on SIGTERM/SIGINT (the caller blocked them in every thread)
    int watch_fd = -1;                 // another descriptor (the process manager's) ...
    std::function<void()> on_watch;    // ... and what to do when it is readable
    // Runs on the loop's thread once everything is up (the web server starts
    // here).  False with a text ends the program with status 1.
    std::function<bool(std::string&)> on_ready;
};

// Runs the map program of the instance $ZQ_ROOT until request_stop() or a
// signal; 0 after a clean stop, 1 when it cannot start (a message on standard
// error says why).
int run(const Options& opt);

// Ends run() the way zqstop does: event 1, then the applications get
// stop_grace_ms to end.  Thread-safe; also before run() has started its loop.
void request_stop();

}  // namespace zq::map
