// The map program's event store: every event trapd delivers goes into
// db/events.db (zq/lib/events), classified by conf/events.conf and folded
// into alarms.  Two threads of its own, so that neither the map program's
// loop nor the intake ever waits for the database:
//   - the intake thread holds an event session with trapd (filter ".*"),
//     turns each trap into a record and queues it (bounded: what does not fit
//     is counted as lost and said);
//   - the writer thread takes the queue in batches, classifies, finds each
//     event's node in the topology database, writes one transaction per batch,
//     applies the bounds of conf/zq.conf, and wakes the web server's waiters.
// The web server's handlers read the store with connections of their own.
#pragma once

#include <cstdint>
#include <string>

namespace httplib {
class Server;
}

namespace zq::map {

// Starts both threads (the store is made when missing).  False with a text
// when the store cannot be opened.
bool start_events(std::string& error);
// Before the web server stops: waiting long polls answer at once.
void stop_events();
bool events_running();

// What the store took in since the map program started (for GET /metrics):
// events received from trapd, written, ignored by events.conf, lost (the
// queue was full or the store failed), and waiting for the writer now.
struct EventFigures {
    uint64_t received = 0, stored = 0, ignored = 0, lost = 0;
    size_t queued = 0;
};
EventFigures event_figures();

// A number that moves on whenever the store changed.  A web server thread takes
// it before it reads the store, and then waits until it moves on (or
// timeout_ms passed), so that no change falls between the read and the wait.
uint64_t events_version();
void wait_for_events(uint64_t version, int timeout_ms);
// After an acknowledgement written by a web server thread: wake the waiters.
void events_changed();

// --- the web API (eventhttp.cpp) -------------------------------------------
// GET /api/events, /api/events/ID, /api/alarms; POST /api/alarms/ack, /unack.
// Called with the map program's server before it listens.
void add_event_routes(httplib::Server& server);

}  // namespace zq::map
