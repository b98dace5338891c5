// zqstatus: one line per process of zqspmd: name, pid, state, exit status, last text.
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pmproto.h"
#include "zqcommon.h"

namespace {

void usage(FILE* f) {
    std::fprintf(f,
                 "usage: zqstatus [NAME...] [--json]\n"
                 "Prints one line per process that zqspmd of the instance $ZQ_ROOT manages, in start\n"
                 "order (only the NAMEs given, when any): NAME PID STATE EXIT TEXT.  PID is '-' when\n"
                 "the process does not run; STATE is RUNNING, NOT_RUNNING, FAILED or EXITED; EXIT is\n"
                 "the exit status of its last run ('-' none yet, sigN when a signal ended it); TEXT is\n"
                 "the last text the process gave when it reported its start-up or that it was done.\n"
                 "  --json   one JSON object a line: name, pid, state, exit, text\n"
                 "Exit status: 0 all shown processes are fine; 1 one of them is FAILED or EXITED, or\n"
                 "zqspmd is not running; 2 bad arguments or a NAME zqspmd does not manage.\n");
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

// A column that is a number, or '-' for none, as JSON.
nlohmann::json number_or_null(const std::string& s) {
    if (s == "-" || s.empty()) return nullptr;
    if (s.size() <= 10 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
        return std::stoll(s);
    return s;
}

struct Options {
    std::vector<std::string> names;
    std::vector<bool> seen;
    bool json = false;
    bool bad = false;  // a shown process is FAILED or EXITED
};

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--json") {
            o.json = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "zqstatus: unknown argument: %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (std::find(o.names.begin(), o.names.end(), a) == o.names.end()) {
            o.names.push_back(a);  // a name given twice is reported once
        }
    }
    o.seen.assign(o.names.size(), false);
    std::string err;
    int r = zq::pm::request(
        "STATUS",
        [&o](const std::string& line) {
            if (line.compare(0, 5, "PROC ") != 0) return;
            auto f = split(line.substr(5), 5);
            if (f.size() < 5) return;
            if (!o.names.empty()) {
                auto it = std::find(o.names.begin(), o.names.end(), f[0]);
                if (it == o.names.end()) return;
                o.seen[static_cast<size_t>(it - o.names.begin())] = true;
            }
            if (f[2] == "FAILED" || f[2] == "EXITED") o.bad = true;
            std::string text = zq::pm::one_line(zq::pm::unescape(f[4]));
            if (o.json) {
                nlohmann::json j = {{"name", f[0]},
                                    {"pid", number_or_null(f[1])},
                                    {"state", f[2]},
                                    {"exit", number_or_null(f[3])},
                                    {"text", text}};
                std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            } else {
                std::printf("%-12s %-8s %-11s %-6s %s\n", f[0].c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str(),
                            text.c_str());
            }
        },
        err);
    if (r != 0) {
        std::fprintf(stderr, "zqstatus: %s\n", err.c_str());
        return 1;
    }
    int status = o.bad ? 1 : 0;
    for (size_t i = 0; i < o.names.size(); ++i) {
        if (o.seen[i]) continue;
        std::fprintf(stderr, "zqstatus: zqspmd manages no process \"%s\"\n", o.names[i].c_str());
        status = 2;
    }
    return status;
}
