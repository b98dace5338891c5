// The process-manager library: registration with zqspmd, start-up report,
// commands and the final report, over run/zqspmd.sock.
#include "zq.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>

#include "pmproto.h"

namespace {

int g_fd = -1;
std::string g_last_metrics;  // the last set this connection took: an equal one is not sent again

bool valid_name(const char* n) {
    if (n == nullptr || *n == '\0') return false;
    for (const char* p = n; *p; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// The connection broke: forget it, so later calls fail cleanly.
int lost() {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    return -1;
}

}  // namespace

extern "C" int ZqsInit(int* descriptor) {
    if (g_fd >= 0) {
        if (descriptor) *descriptor = g_fd;
        return g_fd;
    }
    const char* name = std::getenv("ZQS_NAME");
    if (!valid_name(name)) {
        errno = EPERM;  // not started by zqspmd
        return -1;
    }
    int fd = zq::pm::connect_unix(zq::pm::socket_path());
    if (fd < 0) return -1;
    std::string hello = std::string("HELLO ") + name + " " + std::to_string(getpid()) + "\n";
    std::string reply;
    if (!zq::pm::send_all(fd, hello) || !zq::pm::read_line(fd, reply, 10000) || reply != "OK") {
        close(fd);
        errno = reply.compare(0, 3, "ERR") == 0 ? EPERM : ECONNRESET;
        return -1;
    }
    g_fd = fd;
    g_last_metrics.clear();
    if (descriptor) *descriptor = fd;
    return fd;
}

extern "C" int ZqsInitComplete(int status, const char* text) {
    if (status != ZQS_INIT_OK && status != ZQS_INIT_FAILED) {
        errno = EINVAL;
        return -1;
    }
    if (g_fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    std::string rec = "INIT " + std::to_string(status) + " " + zq::pm::escape(text ? text : "") + "\n";
    return zq::pm::send_all(g_fd, rec) ? 0 : lost();
}

extern "C" int ZqsReceive(int* command) {
    if (g_fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    std::string line;
    if (!zq::pm::read_line(g_fd, line, -1, 256)) return lost();
    if (line.compare(0, 4, "CMD ") != 0 || line.size() > 14) {
        errno = EPROTO;
        return -1;
    }
    char* end = nullptr;
    long v = std::strtol(line.c_str() + 4, &end, 10);
    if (end == line.c_str() + 4 || *end != '\0' || v < 0 || v > 0x7fffffffL) {
        errno = EPROTO;
        return -1;
    }
    if (command) *command = static_cast<int>(v);
    return static_cast<int>(v);
}

extern "C" int ZqsDone(const char* text) {
    if (g_fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    std::string rec = text ? "DONE " + zq::pm::escape(text) + "\n" : std::string("DONE\n");
    return zq::pm::send_all(g_fd, rec) ? 0 : lost();
}

extern "C" int ZqsProcessState(const char* name, int* exit_status) {
    if (!valid_name(name)) {
        errno = EINVAL;
        return -1;
    }
    int fd = zq::pm::connect_unix(zq::pm::socket_path());
    if (fd < 0) return -1;
    // Read with a time-out of our own: a caller inside a callback must never hang
    // on a process manager that does not answer.
    int state = -1, code = ZQS_NO_EXIT;
    std::string line;
    bool answered = false;
    if (zq::pm::send_all(fd, "STATUS\n")) {
        while (zq::pm::read_line(fd, line, 2000)) {
            if (line == "OK" || line.compare(0, 3, "ERR") == 0) {
                answered = line == "OK";
                break;
            }
            // PROC NAME PID STATE EXIT TEXT
            std::istringstream words(line);
            std::string tag, proc, pid, st, ex;
            words >> tag >> proc >> pid >> st >> ex;
            if (tag != "PROC" || proc != name) continue;
            state = st == "RUNNING" ? ZQS_STATE_RUNNING
                    : st == "NOT_RUNNING" ? ZQS_STATE_NOT_RUNNING
                    : st == "FAILED" ? ZQS_STATE_FAILED
                    : st == "EXITED" ? ZQS_STATE_EXITED
                                       : -1;
            if (ex.compare(0, 3, "sig") == 0) code = -std::atoi(ex.c_str() + 3);
            else if (!ex.empty() && ex != "-") code = std::atoi(ex.c_str());
        }
    }
    close(fd);
    if (!answered || state < 0) {
        errno = answered ? ESRCH : ETIMEDOUT;
        return -1;
    }
    if (exit_status) *exit_status = code;
    return state;
}

extern "C" int ZqsPublishMetrics(const ZqsMetric* metrics, int count) {
    if (count < 0 || count > ZQS_METRICS_MAX || (count > 0 && metrics == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    std::string rec = "METRICS BEGIN\n";
    for (int i = 0; i < count; ++i) {
        const ZqsMetric& in = metrics[i];
        zq::pm::Metric m;
        m.type = in.type == ZQS_METRIC_COUNTER ? 'c' : 'g';
        m.name = in.name ? in.name : "";
        m.value = in.value;
        m.label = in.label ? in.label : "";
        m.label_value = in.label && in.label_value ? in.label_value : "";
        m.help = in.help ? zq::pm::one_line(in.help) : "";
        if ((in.type != ZQS_METRIC_COUNTER && in.type != ZQS_METRIC_GAUGE) || !zq::pm::metric_name_ok(m.name) ||
            (in.label != nullptr && !zq::pm::metric_name_ok(m.label, true))) {
            errno = EINVAL;
            return -1;
        }
        rec += "METRIC\t" + zq::pm::metric_fields(m) + "\n";
    }
    rec += "METRICS END\n";
    if (g_fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    if (rec == g_last_metrics) return 0;
    if (!zq::pm::send_all(g_fd, rec)) return lost();
    g_last_metrics = rec;
    return 0;
}
