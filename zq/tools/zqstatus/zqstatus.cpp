// zqstatus: one line per process of zqspmd: name, pid, state, exit status, last text.
#include <cstdio>
#include <string>
#include <vector>

#include "pmproto.h"
#include "zqcommon.h"

namespace {

void usage(FILE* f) {
    std::fprintf(f,
                 "usage: zqstatus\n"
                 "Prints one line per process that zqspmd of the instance $ZQ_ROOT manages, in start\n"
                 "order: NAME PID STATE EXIT TEXT.  PID is '-' when the process does not run; STATE\n"
                 "is RUNNING, NOT_RUNNING, FAILED or EXITED; EXIT is the exit status of its last run\n"
                 "('-' none yet, sigN when a signal ended it); TEXT is the last text the process gave\n"
                 "when it reported its start-up or that it was done.  Exit status 1 when zqspmd\n"
                 "is not running.\n");
}

std::vector<std::string> split(const std::string& s, size_t fields) {
    std::vector<std::string> out;
    size_t i = 0;
    while (out.size() + 1 < fields && i <= s.size()) {
        size_t sp = s.find(' ', i);
        if (sp == std::string::npos) break;
        out.push_back(s.substr(i, sp - i));
        i = sp + 1;
    }
    out.push_back(i <= s.size() ? s.substr(i) : std::string());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        std::fprintf(stderr, "zqstatus: unknown argument: %s\n", a.c_str());
        usage(stderr);
        return 2;
    }
    std::string err;
    int r = zq::pm::request(
        "STATUS",
        [](const std::string& line) {
            if (line.compare(0, 5, "PROC ") != 0) return;
            auto f = split(line.substr(5), 5);
            if (f.size() < 5) return;
            std::printf("%-12s %-8s %-11s %-6s %s\n", f[0].c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str(),
                        zq::pm::one_line(zq::pm::unescape(f[4])).c_str());
        },
        err);
    if (r != 0) {
        std::fprintf(stderr, "zqstatus: %s\n", err.c_str());
        return 1;
    }
    return 0;
}
