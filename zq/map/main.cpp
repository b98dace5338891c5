// zqw: the map program of one platform instance.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon.h"
#include "events.h"
#include "mapd.h"
#include "zq.h"
#include "zqcommon.h"

namespace {

void usage(FILE* f) {
    fputs("usage: zqw [--root DIR] [--foreground] [--stop-grace SECONDS] [--no-apps] [--help]\n"
          "The map program: keeps the map 'default' in step with the topology's nodes,\n"
          "starts and hosts the applications registered in registration/*.reg (they\n"
          "connect over run/zqw.sock) and serves the map page on http_port (conf/zq.conf).\n"
          "  --root DIR            the instance directory (default $ZQ_ROOT, else /var/opt/zq)\n"
          "  --foreground          stay in the foreground (zqw always does)\n"
          "  --stop-grace SECONDS  how long applications get to end after event 1 (default 10)\n"
          "  --no-apps             start no application (they may still connect)\n"
          "Under zqspmd (ZQS_NAME set) it registers and ends on zqstop; alone, on SIGTERM or SIGINT.\n",
          f);
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    zq::map::Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](const char* o) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "zqw: %s needs a value\n", o);
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
        } else if (a == "--no-apps") {
            opt.start_apps = false;
        } else if (a == "--stop-grace") {
            const char* v = need("--stop-grace");
            char* end = nullptr;
            double s = strtod(v, &end);
            if (end == v || *end != '\0' || !(s >= 0 && s <= 3600)) {
                fprintf(stderr, "zqw: --stop-grace wants seconds (0 to 3600)\n");
                return 2;
            }
            opt.stop_grace_ms = static_cast<int>(s * 1000);
        } else {
            fprintf(stderr, "zqw: unknown argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    // Before any thread exists, so that every thread leaves them to the loop's signalfd.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGHUP, SIG_IGN);
    opt.signals = true;

    const char* pm_name = getenv("ZQS_NAME");
    bool managed = pm_name != nullptr && *pm_name != '\0';
    bool stop_requested = false;
    int pm_fd = -1;
    if (managed) {
        if (ZqsInit(&pm_fd) < 0) {
            fprintf(stderr, "zqw: cannot register with zqspmd: %s\n", strerror(errno));
            return 1;
        }
        opt.watch_fd = pm_fd;
        opt.on_watch = [&] {
            int cmd = -1;
            if (ZqsReceive(&cmd) < 0) {
                fprintf(stderr, "zqw: lost the connection with zqspmd, stopping\n");
                zq::map::request_stop();
            } else if (cmd == ZQS_CMD_STOP) {
                stop_requested = true;
                zq::map::request_stop();
            } else {
                fprintf(stderr, "zqw: unknown command %d from zqspmd ignored\n", cmd);
            }
        };
    }
    opt.on_ready = [&](std::string& error) {
        if (!zq::map::start_events(error) || !zq::map::start_http(error)) return false;
        if (managed) ZqsInitComplete(ZQS_INIT_OK, "Initialization complete.");
        return true;
    };
    int status = zq::map::run(opt);
    zq::map::stop_events();  // first: its long polls answer, so the web server's workers end
    zq::map::stop_http();
    if (managed) {
        if (status != 0)
            ZqsInitComplete(ZQS_INIT_FAILED, "zqw cannot start (see log/zqw.out)");
        else
            ZqsDone(stop_requested ? "zqw exiting at the request of zqspmd" : "zqw exiting");
    }
    return status;
}
