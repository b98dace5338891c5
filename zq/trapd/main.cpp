// trapd: the trap daemon of one platform instance.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server.h"
#include "snmpv3conf.h"
#include "usm.h"
#include "zq.h"
#include "zqcommon.h"
#include "zqconf.h"

namespace {

void usage(FILE* f) {
    fputs("usage: trapd [--root DIR] [--foreground] [--listen ADDRESS] [--queue-limit BYTES]\n"
          "             [--log-limit BYTES] [--help]\n"
          "Receives SNMPv1, SNMPv2c and SNMPv3 traps and informs on the instance's UDP\n"
          "trap_port (SNMPv3 from the users of conf/trapd.users) and events from\n"
          "event sessions on the Unix socket run/trapd.sock (and on TCP 127.0.0.1:event_port\n"
          "of conf/zq.conf, after a challenge), logs each one to log/trapd.log and hands it\n"
          "to every session whose filter matches.\n"
          "  --root DIR          the instance directory (default $ZQ_ROOT, else /var/opt/zq)\n"
          "  --foreground        stay in the foreground (trapd always does when run alone)\n"
          "  --listen ADDRESS    address of the UDP trap port (default: trap_listen of\n"
          "                      conf/zq.conf, else 127.0.0.1; 0.0.0.0 for every address)\n"
          "  --queue-limit BYTES events waiting for one session beyond this are dropped\n"
          "                      for that session (default 16777216)\n"
          "  --log-limit BYTES   log/trapd.log becomes trapd.log.1 beyond this (default\n"
          "                      16777216); log_generations of conf/zq.conf are kept (5)\n"
          "SIGHUP reopens log/trapd.log; SIGTERM or SIGINT end trapd.\n",
          f);
}

// The value of a size option: a decimal number of bytes, at least min_bytes; -1
// for anything else.
long long byte_count(const char* text, long long min_bytes) {
    char* end = nullptr;
    long long n = strtoll(text, &end, 10);
    return end && !*end && n >= min_bytes ? n : -1;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    // A file-size limit makes a write fail (and be counted) rather than end trapd.
    signal(SIGXFSZ, SIG_IGN);
    umask(077);  // the log and the key are the instance owner's alone
    std::string listen;
    long long queue_limit = -1, log_limit = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](const char* opt) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "trapd: %s needs a value\n", opt);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--root") {
            setenv("ZQ_ROOT", need("--root"), 1);
        } else if (a == "--foreground" || a == "-f") {
        } else if (a == "--listen") {
            listen = need("--listen");
        } else if (a == "--log-limit") {
            log_limit = byte_count(need("--log-limit"), 4096);
            if (log_limit < 0) {
                fprintf(stderr, "trapd: --log-limit wants a number of bytes (at least 4096)\n");
                return 2;
            }
        } else if (a == "--queue-limit") {
            queue_limit = byte_count(need("--queue-limit"), 1024);
            if (queue_limit < 0) {
                fprintf(stderr, "trapd: --queue-limit wants a number of bytes (at least 1024)\n");
                return 2;
            }
        } else {
            fprintf(stderr, "trapd: unknown argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    zq::InstanceConf conf;
    bool conf_ok = zq::load_instance_conf_or_report("trapd", conf);
    zq::trapd::Options opt;
    opt.trap_port = conf.trap_port;
    opt.event_port = conf.event_port;
    opt.log_path = zq::instance_path("log/trapd.log");
    if (listen.empty()) listen = conf.trap_listen;
    if (!listen.empty()) opt.trap_listen = listen;
    opt.key_path = zq::session_key_path();
    opt.socket_path = zq::session_socket_path();
    opt.communities = conf.trap_communities;
    opt.any_community = std::find(opt.communities.begin(), opt.communities.end(), "*") != opt.communities.end();
    if (conf.trap_users_set) {
        opt.trap_users = conf.trap_users;
        opt.any_user = std::find(opt.trap_users.begin(), opt.trap_users.end(), "*") != opt.trap_users.end();
    }
    opt.local_only = conf.local_only_enterprises;
    opt.max_sessions = static_cast<size_t>(conf.max_event_sessions);
    opt.log_generations = conf.log_generations;
    if (queue_limit > 0) opt.queue_limit = static_cast<size_t>(queue_limit);
    if (log_limit > 0) opt.log_limit = static_cast<size_t>(log_limit);

    // Started by zqspmd (ZQS_NAME set): register, report once the sockets are open,
    // and end on its stop command.
    const char* pm_name = getenv("ZQS_NAME");
    bool managed = pm_name != nullptr && *pm_name != '\0';
    int pm_fd = -1;
    if (managed && ZqsInit(&pm_fd) < 0) {
        fprintf(stderr, "trapd: cannot register with zqspmd: %s\n", strerror(errno));
        return 1;
    }

    if (!conf_ok) {
        if (managed) ZqsInitComplete(ZQS_INIT_FAILED, "conf/zq.conf has errors (see log/trapd.out or zqcheck)");
        return 1;
    }
    // SNMPv3: the users of conf/trapd.users (owner-only) and trapd's engine.
    // Without the file, or without a user in it (as zqsetup writes it), SNMPv3
    // messages are counted as from unknown users.
    std::vector<zq::V3User> users;
    std::vector<std::string> user_errors;
    std::string why;
    if (!zq::load_v3_users(zq::trapd_users_path(), false, users, user_errors) ||
        (!users.empty() &&
         !zq::trapd::usm_setup(zq::instance_path("conf/trapd.engineid"), users, why))) {
        for (auto& e : user_errors) fprintf(stderr, "trapd: %s\n", e.c_str());
        if (!why.empty()) fprintf(stderr, "trapd: SNMPv3: %s\n", why.c_str());
        if (managed) ZqsInitComplete(ZQS_INIT_FAILED, "conf/trapd.users cannot be used (see log/trapd.out or zqcheck)");
        return 1;
    }
    if (!users.empty())
        fprintf(stderr, "trapd: SNMPv3 engine ID %s (boots %lu), %zu users\n", zq::trapd::usm_engine_hex().c_str(),
                zq::trapd::usm_engine_boots(), users.size());
    zq::trapd::Server server(opt);
    if (!server.start()) {
        if (managed) ZqsInitComplete(ZQS_INIT_FAILED, "trapd cannot open its ports (see log/trapd.out)");
        return 1;
    }
    fprintf(stderr, "trapd: listening on UDP %s:%d, %s and TCP 127.0.0.1:%d\n", opt.trap_listen.c_str(),
            server.udp_port(), opt.socket_path.c_str(), server.event_port());
    bool stop_requested = false;
    if (managed) {
        server.watch(pm_fd, [&] {
            int cmd = -1;
            if (ZqsReceive(&cmd) < 0) {
                fprintf(stderr, "trapd: lost the connection with zqspmd, stopping\n");
                server.stop();
            } else if (cmd == ZQS_CMD_STOP) {
                stop_requested = true;
                server.stop();
            } else {
                fprintf(stderr, "trapd: unknown command %d from zqspmd ignored\n", cmd);
            }
        });
        // Its figures go to zqspmd once a second (the map program serves them).
        server.on_tick([&server] {
            std::vector<zq::trapd::Figure> f = server.figures();
            std::vector<ZqsMetric> m;
            for (const auto& x : f)
                m.push_back(ZqsMetric{x.name.c_str(), x.counter ? ZQS_METRIC_COUNTER : ZQS_METRIC_GAUGE,
                                      x.help.c_str(), x.label.empty() ? nullptr : x.label.c_str(),
                                      x.label_value.c_str(), x.value});
            if (m.size() > ZQS_METRICS_MAX) m.resize(ZQS_METRICS_MAX);
            ZqsPublishMetrics(m.data(), static_cast<int>(m.size()));
        });
        ZqsInitComplete(ZQS_INIT_OK, "Initialization complete.");
    }
    server.run();
    if (managed) ZqsDone(stop_requested ? "trapd exiting at the request of zqspmd" : "trapd exiting");
    return 0;
}
