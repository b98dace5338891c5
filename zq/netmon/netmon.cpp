// netmon: polls sysUpTime.0 of every managed SNMP node of the topology database,
// keeps its IP Status Normal or Critical, and sends the node up and down events.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "zq.h"
#include "zqcommon.h"
#include "zqconf.h"
#include "nodeevent.h"
#include "zqsnmp.h"
#include "zqw.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_log = -1;

void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    zq::log_vline(g_log, false, "netmon", fmt, ap);
    va_end(ap);
}

// Messages that matter to whoever runs netmon go to the log and standard error.
void complain(const std::string& text) {
    logf("%s", text.c_str());
    std::fprintf(stderr, "netmon: %s\n", text.c_str());
}

volatile sig_atomic_t g_stop_signal = 0;
void on_term(int) { g_stop_signal = 1; }

struct Fields {
    ZqwFieldId is_node, is_snmp, status, address, node_id;
    bool ok() const { return is_node && is_snmp && status && address && node_id; }
};

std::string take(char* p) {
    std::string s = p ? p : "";
    std::free(p);
    return s;
}

// The node's interface addresses, in id order.
std::vector<std::string> addresses_of(const Fields& f, ZqwObjectId node) {
    std::vector<std::string> out;
    ZqwFieldValue v{};
    v.field_type = ZQW_INT_FIELD;
    v.un.int_val = static_cast<int32_t>(node);
    ZqwObjectIdList* l = ZqwDbListObjectsByFieldValue(f.node_id, &v);
    if (l == nullptr) return out;
    for (unsigned i = 0; i < l->count; ++i) {
        std::string a = take(ZqwDbGetFieldStringValue(l->object_ids[i], f.address));
        if (!a.empty()) out.push_back(a);
    }
    ZqwDbFreeObjectIdList(l);
    return out;
}

enum class Answer { Yes, No, Unknown };

// Asks the node for sysUpTime.0: any response means it is up.
Answer poll_node(const std::string& target, std::string& why) {
    ZqSession* s = ZqsnmpOpen(nullptr, target.c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
    if (s == nullptr) {
        why = ZqsnmpErrString(ZqsnmpErrno);
        return Answer::Unknown;
    }
    static const ZqOid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
    ZqPdu* req = ZqsnmpCreatePdu(ZQSNMP_GET_REQ);
    if (req == nullptr || ZqsnmpAddNullVarBind(req, kSysUpTime, 9) == nullptr) {
        why = ZqsnmpErrString(ZqsnmpErrno);
        ZqsnmpFreePdu(req);
        ZqsnmpClose(s);
        return Answer::Unknown;
    }
    ZqPdu* resp = ZqsnmpBlockingSend(s, req);
    Answer a = Answer::Yes;
    if (resp == nullptr) {
        int e = ZqsnmpErrno;
        why = ZqsnmpErrString(e);
        if (e == ZQSNMP_E_TIMEOUT) a = Answer::No;  // the library has freed the request
        else {
            a = Answer::Unknown;
            ZqsnmpFreePdu(req);
        }
    }
    ZqsnmpFreePdu(resp);
    ZqsnmpClose(s);
    return a;
}

struct Monitor {
    Fields f{};
    int pm_fd = -1;
    bool stop_requested = false;
    bool lost_pm = false;

    bool stopping() const { return stop_requested || lost_pm || g_stop_signal; }

    // Reads a command when one is waiting (wait_ms 0: do not wait).
    void serve_pm(int wait_ms) {
        fd_set rs;
        FD_ZERO(&rs);
        int width = 0;
        if (pm_fd >= 0) {
            FD_SET(pm_fd, &rs);
            width = pm_fd + 1;
        }
        timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
        int r = select(width, &rs, nullptr, nullptr, &tv);
        if (r <= 0 || pm_fd < 0 || !FD_ISSET(pm_fd, &rs)) return;
        int cmd = -1;
        if (ZqsReceive(&cmd) < 0) {
            complain("lost the connection with zqspmd, stopping");
            lost_pm = true;
        } else if (cmd == ZQS_CMD_STOP) {
            stop_requested = true;
        } else {
            logf("unknown command %d from zqspmd ignored", cmd);
        }
    }

    bool resolve_fields() {
        f.is_node = ZqwDbFieldNameToFieldId("isNode");
        f.is_snmp = ZqwDbFieldNameToFieldId("isSNMPSupported");
        f.status = ZqwDbFieldNameToFieldId("IP Status");
        f.address = ZqwDbFieldNameToFieldId("IP Address");
        f.node_id = ZqwDbFieldNameToFieldId("TopM Node ID");
        return f.ok();
    }

    void check_node(ZqwObjectId id) {
        std::string old = take(ZqwDbGetFieldEnumByName(id, f.status));
        if (old == "Unmanaged") return;
        std::string host = take(ZqwDbObjectIdToHostname(id));
        std::vector<std::string> addrs = addresses_of(f, id);
        std::string target = !addrs.empty() ? addrs.front() : host;
        if (target.empty()) return;
        std::string why;
        Answer a = poll_node(target, why);
        if (a == Answer::Unknown) {
            logf("%s (object %u): not polled: %s", target.c_str(), id, why.c_str());
            return;
        }
        std::string now = a == Answer::Yes ? "Normal" : "Critical";
        if (now == old) return;
        // A node removed while it was polled is no error.
        if (ZqwDbSetFieldEnumByName(id, f.status, now.c_str()) != 1) {
            if (ZqwError() != ZQW_E_NOOBJECT)
                logf("cannot set IP Status of object %u: %s", id, ZqwErrorMsg(ZqwError()));
            return;
        }
        logf("%s (object %u): IP Status %s -> %s", host.empty() ? target.c_str() : host.c_str(), id,
             old.empty() ? "unset" : old.c_str(), now.c_str());
        bool was_down = old == "Critical", is_down = now == "Critical";
        if (was_down == is_down) return;  // Unknown -> Normal is no node event
        if (!zq::send_node_event(id, host.empty() ? target : host, addrs.empty() ? "" : addrs.front(), !is_down, why))
            complain("node " + std::string(is_down ? "down" : "up") + " event for " + host + " not sent: " + why);
    }

    // One pass over the managed SNMP nodes; commands are served between nodes.
    void pass() {
        ZqwFieldValue yes{};
        yes.field_type = ZQW_BOOL_FIELD;
        yes.un.bool_val = 1;
        ZqwFieldBinding b[2];
        ZqwFieldValue yes2 = yes;
        b[0].field_id = f.is_node;
        b[0].value = &yes;
        b[1].field_id = f.is_snmp;
        b[1].value = &yes2;
        ZqwFieldBindList list{2, b};
        ZqwObjectIdList* nodes = ZqwDbListObjectsByFieldValues(&list);
        if (nodes == nullptr) {
            int e = ZqwError();
            logf("cannot list the nodes: %s", ZqwErrorMsg(e));
            if (e == ZQW_E_CONNLOST && ZqwDbInit() == 0) resolve_fields();
            return;
        }
        for (unsigned i = 0; i < nodes->count && !stopping(); ++i) {
            check_node(nodes->object_ids[i]);
            serve_pm(0);
        }
        ZqwDbFreeObjectIdList(nodes);
    }
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: netmon [--interval SECONDS]\n"
                 "Polls sysUpTime.0 of every SNMP node of the topology database of $ZQ_ROOT whose\n"
                 "IP Status is not Unmanaged, sets IP Status Normal (it answered) or Critical\n"
                 "(no answer), and sends the node down or up event to trapd when a node becomes\n"
                 "Critical or stops being Critical.  Log: log/netmon.log.\n"
                 "  --interval SECONDS  time between the starts of two passes (default:\n"
                 "                      poll_interval of conf/zq.conf, else 300)\n"
                 "Runs under zqspmd (stops on its command 6) or alone until SIGTERM or SIGINT.\n");
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    umask(077);  // its log is the instance owner's alone
    int interval = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--interval" && i + 1 < argc) {
            char* end = nullptr;
            long v = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || v < 1 || v > 86400 * 7) {
                std::fprintf(stderr, "netmon: --interval wants a number of seconds (1 or more)\n");
                return 2;
            }
            interval = static_cast<int>(v);
            continue;
        }
        std::fprintf(stderr, "netmon: unknown argument: %s\n", a.c_str());
        usage(stderr);
        return 2;
    }
    zq::InstanceConf conf;
    bool conf_ok = zq::load_instance_conf_or_report("netmon", conf);
    if (interval < 0) interval = conf.poll_interval;

    std::string logpath = zq::instance_path("log/netmon.log");
    std::string log_why;
    g_log = zq::open_regular(logpath, O_WRONLY | O_CREAT | O_APPEND, 0600, &log_why);
    if (g_log < 0) std::fprintf(stderr, "netmon: cannot open %s\n", log_why.c_str());

    struct sigaction sa {};
    sa.sa_handler = on_term;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);  // no SA_RESTART: the wait ends at once
    sigaction(SIGINT, &sa, nullptr);

    Monitor m;
    const char* pm_name = std::getenv("ZQS_NAME");
    bool managed = pm_name != nullptr && *pm_name != '\0';
    if (managed && ZqsInit(&m.pm_fd) < 0) {
        complain(std::string("cannot register with zqspmd: ") + std::strerror(errno));
        return 1;
    }
    auto fail = [&](const std::string& why) {
        complain(why);
        if (managed) ZqsInitComplete(ZQS_INIT_FAILED, why.c_str());
        return 1;
    };
    if (!conf_ok) return fail("conf/zq.conf has errors (see log/netmon.out or zqcheck)");
    // One netmon per instance, like the other daemons: a lock on run/netmon.pid.
    std::string lock_why;
    mkdir(zq::instance_path("run").c_str(), 0700);
    int lock = zq::open_regular(zq::instance_path("run/netmon.pid"), O_RDWR | O_CREAT, 0600, &lock_why);
    if (lock < 0) return fail("cannot open " + lock_why);
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        char buf[32] = {0};
        ssize_t got = pread(lock, buf, sizeof buf - 1, 0);
        (void)got;
        return fail("another netmon runs for this instance (pid " + std::string(zq::trim(buf)) + ")");
    }
    std::string pidtext = std::to_string(getpid()) + "\n";
    if (ftruncate(lock, 0) != 0 || pwrite(lock, pidtext.data(), pidtext.size(), 0) < 0) {
    }
    if (ZqwDbInit() != 0) return fail("cannot open the topology database: " + std::string(ZqwErrorMsg(ZqwError())));
    if (!m.resolve_fields()) return fail("the platform fields are not registered (run zqsetup)");
    if (managed) ZqsInitComplete(ZQS_INIT_OK, "Initialization complete.");
    logf("polling every %d s", interval);

    auto next = Clock::now();
    while (!m.stopping()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        if (left > 0) {
            m.serve_pm(static_cast<int>(std::min<long long>(left, 1000)));
            continue;
        }
        next = Clock::now() + std::chrono::seconds(interval);
        m.pass();
    }
    logf("stopping");
    if (managed) ZqsDone(m.stop_requested ? "netmon exiting at the request of zqspmd" : "netmon exiting");
    ZqwDbDone();
    return 0;
}
