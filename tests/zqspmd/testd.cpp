// A small managed daemon for the process-manager tests.  It registers with
// zqspmd, reports its start-up and records what happens to it, one line each, in
// the file given with --record:
//   NAME started | NAME init | NAME cmd N | NAME stopping
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "zq.h"

namespace {

std::string g_record, g_name;

void record(const std::string& what) {
    if (g_record.empty()) return;
    std::string line = g_name + " " + what + "\n";
    int fd = open(g_record.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    int init_delay_ms = 0, exit_code = 0, exit_after_init = -1;
    bool ignore_term = false, ignore_stop = false, no_init = false;
    std::string init_fail, done_text = "testd exiting at the request of zqspmd";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--help") {
            std::printf("usage: zqs_testd [--record FILE] [--init-delay MS] [--init-fail TEXT] [--ignore-term]\n"
                        "  [--ignore-stop] [--exit-code N] [--done TEXT] [--done-quoted] [--exit-after-init N] [--no-init]\n");
            return 0;
        }
        if (a == "--record") g_record = next();
        else if (a == "--init-delay") init_delay_ms = std::atoi(next().c_str());
        else if (a == "--init-fail") init_fail = next();
        else if (a == "--ignore-term") ignore_term = true;
        else if (a == "--ignore-stop") ignore_stop = true;
        else if (a == "--exit-code") exit_code = std::atoi(next().c_str());
        else if (a == "--done") done_text = next();
        else if (a == "--done-quoted") done_text = "Unable to open \"x\".\n";
        else if (a == "--exit-after-init") exit_after_init = std::atoi(next().c_str());
        else if (a == "--no-init") no_init = true;
    }
    const char* n = std::getenv("ZQS_NAME");
    g_name = n ? n : "?";
    if (ignore_term) signal(SIGTERM, SIG_IGN);
    record("started");
    if (no_init) {
        while (true) pause();
    }
    int fd = -1;
    if (ZqsInit(&fd) < 0) {
        std::fprintf(stderr, "testd: ZqsInit failed\n");
        return 3;
    }
    if (init_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(init_delay_ms));
    if (!init_fail.empty()) {
        ZqsInitComplete(ZQS_INIT_FAILED, init_fail.c_str());
        return 1;
    }
    // Recorded before the report: once zqspmd has it, the next process may start
    // and record its own line first.
    record("init");
    if (ZqsInitComplete(ZQS_INIT_OK, "Initialization complete.") < 0) return 4;
    if (exit_after_init >= 0) {
        ZqsDone("finished");
        return exit_after_init;
    }
    while (true) {
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(fd, &rs);
        if (select(fd + 1, &rs, nullptr, nullptr, nullptr) < 0) continue;
        int cmd = -1;
        if (ZqsReceive(&cmd) < 0) {
            record("lost");
            return 5;
        }
        record("cmd " + std::to_string(cmd));
        if (cmd == ZQS_CMD_STOP && !ignore_stop) {
            record("stopping");
            ZqsDone(done_text.c_str());
            ZqsDone(nullptr);  // a second, empty report keeps the text
            return exit_code;
        }
    }
}
