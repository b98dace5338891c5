#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "evstore.h"
#include "mapd.h"
#include "zqcommon.h"
#include "zqsnmp.h"

namespace zq::map {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kQueueMax = 200000;      // events waiting for the writer; beyond: lost (counted) ...
constexpr size_t kQueueBytes = 64u << 20; // ... and their bytes: a burst of huge traps is bounded too
constexpr size_t kBatchMax = 5000;        // events per transaction
constexpr int kPruneChunk = 20000;        // rows a bound removes per transaction
constexpr int kIndexChunk = 500;          // texts indexed per transaction, when no event waits (some 30 ms)
constexpr int kReconnectMs = 2000;        // a lost trapd is looked for again this often
constexpr int kNodeCacheMs = 30000;       // how long an address's node is remembered


int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The node of an agent address, through the topology database's interface
// objects ("IP Address", "TopM Node ID"), read with a read-only connection of
// the writer's own (the map program's library connection belongs to its loop).
class NodeFinder {
public:
    ~NodeFinder() {
        if (stmt_) sqlite3_finalize(stmt_);
        if (db_) sqlite3_close(db_);
    }
    void find(const std::string& addr, uint32_t& node, std::string& name) {
        node = 0;
        name.clear();
        auto now = Clock::now();
        auto it = cache_.find(addr);
        if (it != cache_.end() && now - it->second.when < std::chrono::milliseconds(kNodeCacheMs)) {
            node = it->second.node;
            name = it->second.name;
            return;
        }
        if (!ready() ) return;
        sqlite3_reset(stmt_);
        sqlite3_bind_text(stmt_, 1, addr.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(stmt_) == SQLITE_ROW) {
            node = static_cast<uint32_t>(sqlite3_column_int64(stmt_, 0));
            const unsigned char* t = sqlite3_column_text(stmt_, 1);
            name = t ? reinterpret_cast<const char*>(t) : "";
        }
        sqlite3_reset(stmt_);
        if (cache_.size() > 10000) cache_.clear();
        cache_[addr] = {now, node, name};
    }

private:
    bool ready() {
        if (stmt_) return true;
        if (Clock::now() < retry_) return false;
        retry_ = Clock::now() + std::chrono::seconds(10);
        std::string path = instance_path("db/topology.db");
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
            return false;
        }
        sqlite3_busy_timeout(db_, 2000);
        const char* sql =
            "SELECT t.value, COALESCE(s.value, h.value, '') FROM vals a "
            "JOIN vals t ON t.object = a.object AND t.field = (SELECT id FROM fields WHERE name = 'TopM Node ID') "
            "LEFT JOIN vals s ON s.object = t.value AND s.field = 1 "
            "LEFT JOIN vals h ON h.object = t.value AND h.field = 2 "
            "WHERE a.field = (SELECT id FROM fields WHERE name = 'IP Address') AND a.value = ? "
            "ORDER BY t.value LIMIT 1";
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
            stmt_ = nullptr;
            return false;
        }
        return true;
    }
    struct Hit {
        Clock::time_point when;
        uint32_t node;
        std::string name;
    };
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    Clock::time_point retry_{};
    std::unordered_map<std::string, Hit> cache_;
};

struct State {
    std::mutex mu;
    std::condition_variable cv;          // the writer waits on it
    std::deque<ev::Event> queue;
    size_t queued_bytes = 0;
    int64_t lost = 0;                    // not yet written to the store's count
    bool stopping = false;
    int stop_pipe[2] = {-1, -1};
    std::thread intake, writer;
    ev::Store store;
    InstanceConf conf;
};
State* g_state = nullptr;

// Waiters of the web server.
std::atomic<bool> g_running{false};
std::mutex g_wait_mu;
std::condition_variable g_wait_cv;
uint64_t g_version = 0;

// The figures of event_figures().
std::atomic<uint64_t> g_received{0}, g_stored{0}, g_ignored{0}, g_lost{0};
std::atomic<size_t> g_queued{0};

// About what an event holds in memory.
size_t size_of(const ev::Event& e) {
    size_t n = sizeof e + e.trap_id.size() + e.enterprise.size() + e.community.size() + e.trap_oid.size() * 4;
    for (const auto& b : e.bindings) n += sizeof b + b.oid.size() + b.type.size() + b.value.size();
    return n;
}

void on_trap(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    auto* st = static_cast<State*>(data);
    if (reason == ZQSNMP_REASON_TRAP && pdu) {
        ev::Event e;
        e.time_ms = now_ms();
        ev::event_from_pdu(pdu, e);
        size_t bytes = size_of(e);
        std::lock_guard<std::mutex> lk(st->mu);
        ++g_received;
        if (st->queue.size() >= kQueueMax || st->queued_bytes + bytes > kQueueBytes) {
            ++st->lost;
        } else {
            st->queued_bytes += bytes;
            st->queue.push_back(std::move(e));
            g_queued = st->queue.size();
            if (st->queue.size() == 1) st->cv.notify_one();
        }
    }
    ZqsnmpFreePdu(pdu);
}

// Holds the event session; a trapd that is not there (yet) is looked for again.
void intake_loop(State* st) {
    ZqSession* s = nullptr;
    bool said_missing = false;
    for (;;) {
        if (s == nullptr) {
            s = ZqsnmpEventOpen(nullptr, "zqw-events", on_trap, st, ".*");
            if (s != nullptr) {
                log("events: receiving events from trapd");
                said_missing = false;
            } else if (!said_missing) {
                log("events: trapd cannot be reached (%s); trying again every %d s", ZqsnmpErrString(ZqsnmpErrno),
                    kReconnectMs / 1000);
                said_missing = true;
            }
        }
        pollfd p[2] = {{st->stop_pipe[0], POLLIN, 0}, {s ? s->sock_fd : -1, POLLIN, 0}};
        int r = poll(p, s ? 2 : 1, s ? -1 : kReconnectMs);
        if (r > 0 && (p[0].revents & POLLIN)) break;
        if (r > 0 && s && p[1].revents) {
            fd_set rs;
            FD_ZERO(&rs);
            FD_SET(s->sock_fd, &rs);
            ZqsnmpRead(&rs);
            if (s->sock_fd < 0) {
                log("events: the connection with trapd was lost; trying again every %d s", kReconnectMs / 1000);
                ZqsnmpClose(s);
                s = nullptr;
                said_missing = true;
            }
        }
    }
    ZqsnmpClose(s);
}

struct ConfFile {
    std::string path = instance_path("conf/events.conf");
    ev::Conf conf;
    struct timespec mtime{};
    off_t size = -1;
    ino_t ino = 0;
    bool loaded = false;
    Clock::time_point checked{};

    // Reads the file again when it changed; a file with errors leaves the last
    // good configuration in force (and says so).
    void refresh() {
        auto now = Clock::now();
        if (loaded && now - checked < std::chrono::milliseconds(500)) return;
        checked = now;
        struct stat sb {};
        bool exists = stat(path.c_str(), &sb) == 0;
        if (loaded && exists && sb.st_ino == ino && sb.st_size == size && sb.st_mtim.tv_sec == mtime.tv_sec &&
            sb.st_mtim.tv_nsec == mtime.tv_nsec)
            return;
        if (loaded && !exists && size < 0) return;
        ev::Conf fresh;
        std::vector<std::string> errors;
        ev::load_events_conf(path, fresh, errors);
        ino = exists ? sb.st_ino : 0;
        size = exists ? sb.st_size : -1;
        mtime = exists ? sb.st_mtim : timespec{};
        if (!errors.empty()) {
            for (auto& e : errors) log("events: %s", e.c_str());
            log("events: %s has errors; %s", path.c_str(),
                loaded ? "the last good configuration stays in force" : "events get the defaults until it is mended");
            loaded = true;
            return;
        }
        conf = std::move(fresh);
        log("events: %zu entries of %s in force", conf.entries.size(), path.c_str());
        loaded = true;
    }
};

void notify_waiters() {
    {
        std::lock_guard<std::mutex> lk(g_wait_mu);
        ++g_version;
    }
    g_wait_cv.notify_all();
}

void writer_loop(State* st) {
    pthread_setname_np(pthread_self(), "zqw-evwriter");  // its CPU time is measured by name
    ConfFile cf;
    NodeFinder nodes;
    auto last_prune = Clock::now() - std::chrono::hours(1);
    auto last_said = Clock::now() - std::chrono::hours(1);
    int64_t lost_total = 0, lost_since_said = 0;
    bool index_behind = true;
    for (;;) {
        std::vector<ev::Event> batch;
        int64_t lost = 0;
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lk(st->mu);
            st->cv.wait_for(lk, index_behind ? std::chrono::milliseconds(0) : std::chrono::milliseconds(1000),
                            [&] { return !st->queue.empty() || st->stopping; });
            stopping = st->stopping;
            size_t n = std::min(st->queue.size(), kBatchMax);
            batch.reserve(n);
            for (size_t i = 0; i < n; ++i) {
                st->queued_bytes -= std::min(st->queued_bytes, size_of(st->queue.front()));
                batch.push_back(std::move(st->queue.front()));
                st->queue.pop_front();
            }
            lost = st->lost;
            st->lost = 0;
            g_queued = st->queue.size();
        }
        cf.refresh();
        std::vector<ev::Event> keep;
        keep.reserve(batch.size());
        for (auto& e : batch) {
            nodes.find(e.agent, e.node, e.node_name);
            ev::classify(cf.conf, e);
            if (e.action != ev::kIgnore) keep.push_back(std::move(e));
        }
        g_ignored += batch.size() - keep.size();
        if (!keep.empty() && !st->store.add(keep)) {
            log("events: %s", st->store.error().c_str());
            lost += static_cast<int64_t>(keep.size());
        } else {
            g_stored += keep.size();
        }
        g_lost += static_cast<uint64_t>(lost);
        if (lost) {
            lost_total += lost;
            lost_since_said += lost;
            if (!st->store.add_lost(lost)) log("events: %s", st->store.error().c_str());
        }
        auto now = Clock::now();
        if (lost_since_said && now - last_said >= std::chrono::seconds(10)) {
            log("events: %lld events could not be kept (the store fell behind or failed; %lld in all)",
                static_cast<long long>(lost_since_said), static_cast<long long>(lost_total));
            lost_since_said = 0;
            last_said = now;
        }
        if (now - last_prune >= std::chrono::seconds(1) || keep.size() >= kBatchMax) {
            int64_t removed = 0;
            if (!st->store.prune(st->conf.events_max, st->conf.events_max_days, now_ms(), kPruneChunk, removed))
                log("events: %s", st->store.error().c_str());
            last_prune = now;
        }
        if (!keep.empty() || lost) notify_waiters();
        // The text index follows only when no event waits: a search reads the
        // events it has not reached row by row.
        index_behind = false;
        bool waiting;
        {
            std::lock_guard<std::mutex> lk(st->mu);
            waiting = !st->queue.empty();
        }
        if (!waiting && !stopping) {
            int64_t n = 0;
            if (!st->store.index_some(kIndexChunk, n)) log("events: %s", st->store.error().c_str());
            index_behind = n == kIndexChunk;
        }
        if (stopping) {
            std::lock_guard<std::mutex> lk(st->mu);
            if (st->queue.empty()) break;  // what came before the stop is written first
        }
    }
    if (lost_since_said)
        log("events: %lld events could not be kept (%lld in all)", static_cast<long long>(lost_since_said),
            static_cast<long long>(lost_total));
}

}  // namespace

bool start_events(std::string& error) {
    if (g_state != nullptr) return true;
    auto st = std::make_unique<State>();
    st->conf = read_instance_conf();
    if (!st->store.open(ev::store_path(), true)) {
        error = st->store.error();
        return false;
    }
    if (pipe2(st->stop_pipe, O_CLOEXEC) != 0) {
        error = std::string("events: cannot make a pipe: ") + strerror(errno);
        return false;
    }
    g_state = st.release();
    g_running = true;
    g_state->writer = std::thread(writer_loop, g_state);
    g_state->intake = std::thread(intake_loop, g_state);
    return true;
}

void stop_events() {
    State* st = g_state;
    if (st == nullptr) return;
    g_running = false;
    notify_waiters();
    if (write(st->stop_pipe[1], "x", 1) < 0) {
        // The pipe is ours and empty: this cannot fail in practice.
    }
    st->intake.join();
    {
        std::lock_guard<std::mutex> lk(st->mu);
        st->stopping = true;
    }
    st->cv.notify_one();
    st->writer.join();
    close(st->stop_pipe[0]);
    close(st->stop_pipe[1]);
    g_state = nullptr;
    delete st;
    notify_waiters();
}

bool events_running() { return g_running.load(); }

EventFigures event_figures() {
    EventFigures f;
    f.received = g_received;
    f.stored = g_stored;
    f.ignored = g_ignored;
    f.lost = g_lost;
    f.queued = g_queued;
    return f;
}

uint64_t events_version() {
    std::lock_guard<std::mutex> lk(g_wait_mu);
    return g_version;
}

void wait_for_events(uint64_t version, int timeout_ms) {
    std::unique_lock<std::mutex> lk(g_wait_mu);
    g_wait_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return g_version != version; });
}

void events_changed() { notify_waiters(); }

}  // namespace zq::map
