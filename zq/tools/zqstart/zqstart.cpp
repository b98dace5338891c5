// zqstart [NAME...]: starts zqspmd for the instance when it is not running, then
// the named processes of conf/zqsuf (or all of them), in their start order.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pmproto.h"
#include "zqcommon.h"

namespace {

void usage(FILE* f) {
    std::fprintf(f,
                 "usage: zqstart [NAME...]\n"
                 "Starts the process manager zqspmd of the instance $ZQ_ROOT when it is not\n"
                 "running, then the named processes of conf/zqsuf (all when none are named), each\n"
                 "after the one before it has reported its start-up.  Exit status 0 when every\n"
                 "process runs, 1 when one could not be started, 2 on bad usage.\n");
}

bool zqspmd_answers() {
    int fd = zq::pm::connect_unix(zq::pm::socket_path());
    if (fd < 0) return false;
    close(fd);
    return true;
}

// Runs "zqspmd --daemon"; it returns once its socket listens.
bool launch_zqspmd() {
    std::string exe = zq::pm::program_dir() + "/zqspmd";
    if (access(exe.c_str(), X_OK) != 0) exe = "zqspmd";
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>("--daemon"), nullptr};
        signal(SIGPIPE, SIG_DFL);
        if (exe.find('/') != std::string::npos) execv(exe.c_str(), argv);
        else execvp(exe.c_str(), argv);
        std::fprintf(stderr, "zqstart: cannot run zqspmd: %s\n", std::strerror(errno));
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    // It said why on standard error (a bad conf/zqsuf, another zqspmd...).
    if (WIFEXITED(st) && WEXITSTATUS(st) != 0 && !zqspmd_answers()) return false;
    // A zqspmd started at the same moment by someone else is as good as ours.
    for (int i = 0; i < 100; ++i) {
        if (zqspmd_answers()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    std::string req = "START";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a.empty() || a[0] == '-' || a.find_first_of(" \t\r\n") != std::string::npos) {
            std::fprintf(stderr, "zqstart: bad argument: %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
        req += " " + a;
    }
    if (!zqspmd_answers()) {
        std::printf("starting zqspmd for %s\n", zq::root().c_str());
        std::fflush(stdout);
        if (!launch_zqspmd()) {
            std::fprintf(stderr, "zqstart: zqspmd did not start (see %s)\n",
                         zq::instance_path("log/zqspmd.log").c_str());
            return 1;
        }
    }
    std::string err;
    int r = zq::pm::request(req, zq::pm::print_info, err);
    if (r != 0) {
        std::fprintf(stderr, "zqstart: %s\n", err.c_str());
        return 1;
    }
    return 0;
}
