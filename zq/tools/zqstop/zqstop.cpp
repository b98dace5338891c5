// zqstop [NAME...]: stops the named processes (or all, and then zqspmd itself) in
// reverse start order; zqstop --command N NAME sends command N instead.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pmproto.h"
#include "zqcommon.h"

namespace {

void usage(FILE* f) {
    std::fprintf(f,
                 "usage: zqstop [NAME...]\n"
                 "       zqstop --command N NAME\n"
                 "Stops the named processes of the instance $ZQ_ROOT in reverse start order: each\n"
                 "receives command 6 and gets up to 10 seconds to end before it is killed.  With\n"
                 "no NAME every process is stopped and zqspmd ends too; NAME \"all\" stops every\n"
                 "process and leaves zqspmd running.  --command N sends command N (0 or more) to\n"
                 "NAME and returns at once.  Exit status 0 on success, 1 on failure, 2 on bad usage.\n");
}

bool plain_word(const std::string& a) {
    return !a.empty() && a[0] != '-' && a.find_first_of(" \t\r\n") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    std::string req;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--command") {
            if (argc != i + 3 || !names.empty()) {
                usage(stderr);
                return 2;
            }
            std::string n = argv[i + 1], name = argv[i + 2];
            char* end = nullptr;
            long v = std::strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || v < 0 || v > 0x7fffffffL || !plain_word(name)) {
                std::fprintf(stderr, "zqstop: --command needs a number (0 or more) and a process name\n");
                return 2;
            }
            req = "SEND " + std::to_string(v) + " " + name;
            break;
        }
        if (!plain_word(a)) {
            std::fprintf(stderr, "zqstop: bad argument: %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
        names.push_back(a);
    }
    if (req.empty()) {
        if (names.empty()) {
            req = "SHUTDOWN";
        } else {
            req = "STOP";
            for (auto& n : names) req += " " + n;
        }
    }
    // "Not running" is only true of an instance that exists: a mistyped ZQ_ROOT
    // must not pass for a stopped one.  (Another user's instance, which cannot
    // even be looked at, gets "permission denied" from the request below.)
    struct stat root_st {};
    if (stat(zq::root().c_str(), &root_st) != 0 ? errno != EACCES : !S_ISDIR(root_st.st_mode)) {
        std::string missing = zq::no_instance_reason(zq::root(), "not set, so the default");
        std::fprintf(stderr, "zqstop: %s\n", missing.c_str());
        return 1;
    }
    std::string err;
    // A process that had to be killed did not end cleanly (it may have left
    // state behind): that is not a success.
    std::vector<std::string> killed;
    int r = zq::pm::request(
        req,
        [&](const std::string& line) {
            zq::pm::print_info(line);
            const std::string tail = " killed";
            if (line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
                killed.push_back(line);
        },
        err);
    if (r < 0 && req == "SHUTDOWN" && errno != EACCES && errno != EPERM) {
        std::printf("zqspmd is not running\n");
        return 0;
    }
    if (r != 0) {
        std::fprintf(stderr, "zqstop: %s\n", err.c_str());
        return 1;
    }
    if (!killed.empty()) {
        std::fprintf(stderr, "zqstop: %zu process(es) did not stop within the grace time and were killed\n",
                     killed.size());
        return 3;
    }
    return 0;
}
