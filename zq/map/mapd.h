// The map program's state as its web server sees it.  The HTTP handlers run on
// cpp-httplib's worker threads; everything that touches the database or an
// application runs on the main loop's thread, handed over with post().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zqw.h"
#include "zqw_internal.h"
#include "coverage.h"

namespace zq::map {

// One line to the map program's log (and its standard error), tagged "zqw".
void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Runs fn on the main loop's thread, soon (thread-safe).
void post(std::function<void()> fn);

// Waits, on a worker thread, until the change log may have grown past seq,
// lists_version() is no longer lists (when lists >= 0), timeout_ms passed or
// *give_up is set (the main loop wakes the waiters when it sees new rows;
// whoever sets a give_up flag calls wake_change_waiters()).
void wait_for_change(int64_t seq, int timeout_ms, const std::atomic<bool>* give_up = nullptr, int64_t lists = -1);
void wake_change_waiters();

// --- main thread only ---------------------------------------------------------

// Records the time of every change of a symbol's shown status (the record's
// "since"): at start-up for every symbol (one recorded before keeps its time
// when its status is the same), then for the symbols the change log names.
// Whoever reads symbols for a page calls it first (cheap when nothing is new),
// so that a status comes with its time.  (statuses.cpp)
void note_status_changes(bool startup = false);

// A number that moves on whenever the list of applications (name, state, pid,
// exit status, restarts) or of maps (or the applications' map) changes, so that
// pages learn it with the change stream instead of asking for the lists again
// and again.  note_list_changes runs on the main loop every poll period and
// wakes the waiters when it moved; lists_version is thread-safe.  (statuses.cpp)
void note_list_changes();
int64_t lists_version();

uint32_t open_map();                       // the id of the open map
bool open_map(uint32_t map);               // opens it; event 3 to every application

struct AppStatus {
    zq::zqw::AppDef def;
    // "running", "starting", "ended", "restarting" (it died; started again soon),
    // "failed" (it died once too often: restarted only by the operator),
    // "actions only", "not started" (zqw --no-apps)
    std::string state;
    int exit_status = 0;                   // when it ended: the status, or 128+signal
    long pid = 0;
    int restarts = 0;                      // automatic restarts in the last ten minutes
    int restart_in_ms = -1;                // "restarting": when
};
std::vector<AppStatus> apps();
// An application that is not running is started; a running one only with
// force: it is stopped (SIGTERM to its process group, SIGKILL after the stop
// grace time) and started again when it has ended.
bool restart_app(const std::string& app, bool force, std::string& error);

// Runs an action on the objects of a selection it is for (coverage.h): a
// program's action goes to its application's action callback; a URL action
// gives the URLs to open (one per object, each once).  An action for none of
// them is refused with the reason.
struct ActionRun {
    std::vector<std::string> urls;
    size_t ran = 0;                      // the objects it ran for
    std::vector<ObjectFit> left_out;     // those it is not for
};
bool run_action(const std::string& app, const std::string& action,
                const std::vector<uint32_t>& selection, ActionRun& run, std::string& error);

// How every action of every application fits a selection: what the page offers.
struct ActionFit {
    std::string app, action, label;
    bool url = false;
    size_t covered = 0;                  // objects it is for
    std::string reason;                  // why not, for the first object it is not for
};
bool action_fits(const std::vector<uint32_t>& selection, std::vector<ActionFit>& out, std::string& error);

// Configuration dialog.  query sends event 5 and calls done on the main thread
// when the application answers (or after 10 s: replied false).  confirm stores
// the values and sends event 6.
void query_config(const std::string& app, const ZqwFieldBindList& values,
                  std::function<void(bool replied, bool accept, std::string message)> done);
bool confirm_config(const std::string& app, const ZqwFieldBindList& values, std::string& error);

// Operator actions: event 15 first, then the objects go; managing again sends 21.
bool delete_objects(const std::vector<uint32_t>& objects, std::string& error);
bool manage_symbols(const std::vector<uint32_t>& symbols, bool managed, std::string& error);

// --- the web server (http.cpp) ----------------------------------------------------
// start_http runs on the main loop's thread once the map program is up; false
// with a text stops the program.  stop_http runs after the loop has ended (on
// the thread that ran it): from then on post() drops what it is given.
bool start_http(std::string& error);
void stop_http();

}  // namespace zq::map
