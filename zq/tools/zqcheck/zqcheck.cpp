// zqcheck: checks every configuration file of an instance before it is started
// ("zqcheck && zqstart"): the platform's own files with the daemons' strict
// readers, the integration's three files with their checkers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "evconf.h"
#include "pmproto.h"
#include "zqcommon.h"
#include "snmpv3conf.h"
#include "zqconf.h"

namespace {

void usage(FILE* f) {
    std::fputs("usage: zqcheck [--help]\n"
               "Checks the configuration of the instance $ZQ_ROOT (default /var/opt/zq):\n"
               "conf/zq.conf, conf/snmp.conf and conf/zqsuf with the readers the daemons use\n"
               "(and the SNMPv3 users files conf/snmpv3.users and conf/trapd.users, which\n"
               "must be readable by their owner only)\n"
               "(every unknown key, bad value or malformed line is named with its file and\n"
               "line), conf/events.conf, that every program of conf/zqsuf can be found, that\n"
               "the registry is a readable regular file, and the integration's trvconfig.dat,\n"
               "trvtrapd.conf and\n"
               "trvval2str.trap with trvconfchk, trvtrapchk and trvval2strchk when they are\n"
               "installed beside zqcheck.  Prints one line per file.\n"
               "Exit status: 0 when everything is right, 1 on any error, 2 on bad usage.\n",
               f);
}

int g_errors = 0;

// conf/trapd.users against trap_users of conf/zq.conf: every user named there
// exists, and every line names protocols its pass phrases can be used with.
void check_trap_users(const zq::InstanceConf& conf, const std::vector<zq::V3User>& users,
                      std::vector<std::string>& errors) {
    for (const auto& name : conf.trap_users) {
        if (name == "*") continue;
        bool found = false;
        for (const auto& u : users) found = found || u.name == name;
        if (!found) errors.push_back("trap_users of conf/zq.conf names '" + name + "', who has no line here");
    }
}

void report(const std::string& what, const std::vector<std::string>& errors) {
    if (errors.empty()) {
        std::printf("ok     %s\n", what.c_str());
        return;
    }
    std::printf("ERROR  %s\n", what.c_str());
    for (auto& e : errors) std::printf("       %s\n", e.c_str());
    g_errors += static_cast<int>(errors.size());
}

bool regular_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program of a conf/zqsuf line, found as zqspmd finds it.
std::string find_program(const std::string& prog) {
    if (prog.front() == '/') return regular_file(prog) ? prog : "";
    if (prog.find('/') != std::string::npos) {
        std::string p = zq::instance_path(prog);
        return regular_file(p) ? p : "";
    }
    std::string mine = zq::pm::program_dir();
    if (!mine.empty() && regular_file(mine + "/" + prog)) return mine + "/" + prog;
    for (const std::string& dir : zq::path_dirs())
        if (regular_file(dir + "/" + prog)) return dir + "/" + prog;
    return "";
}

// Runs a checker (standard output captured, 20 s at most); false when it could
// not be run.
bool run_checker(const std::string& exe, std::string& out) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(p[1], 1);
        dup2(p[1], 2);
        int nul = open("/dev/null", O_RDONLY);
        if (nul >= 0) dup2(nul, 0);
        char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        execv(exe.c_str(), argv);
        _exit(127);
    }
    close(p[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            out += "\n(no verdict within 20 s)";
            break;
        }
        pollfd pf{p[0], POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        if (out.size() < 65536) out.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return !(WIFEXITED(st) && WEXITSTATUS(st) == 127);
}

void check_integration(const char* checker, const char* file) {
    std::string dir = zq::pm::program_dir();
    std::string exe = dir + "/" + checker;
    std::string what = std::string(file) + " (" + checker + ")";
    if (dir.empty() || !regular_file(exe)) {
        std::printf("skip   %s: %s is not installed beside zqcheck\n", file, checker);
        return;
    }
    std::string out;
    if (!run_checker(exe, out)) {
        report(what, {"cannot run " + exe});
        return;
    }
    std::vector<std::string> lines, errors;
    bool success = false;
    size_t start = 0;
    while (start <= out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line(zq::trim(std::string_view(out).substr(start, end - start)));
        if (!line.empty()) lines.push_back(line);
        if (line.rfind("Success :", 0) == 0) success = true;
        start = end + 1;
    }
    if (!success) errors = lines.empty() ? std::vector<std::string>{"no verdict"} : lines;
    report(what, errors);
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
        std::fprintf(stderr, "zqcheck: unknown argument: %s\n", a.c_str());
        usage(stderr);
        return 2;
    }
    std::string root = zq::root();
    std::string missing = zq::no_instance_reason(root, "(not set)");
    if (!missing.empty()) {
        std::fprintf(stderr, "zqcheck: %s\n", missing.c_str());
        return 1;
    }

    std::vector<std::string> errors;
    zq::InstanceConf conf;
    std::string zqconf = zq::instance_path("conf/zq.conf");
    if (access(zqconf.c_str(), F_OK) != 0) errors.push_back(zqconf + ": missing (zqsetup writes it)");
    else if (zq::load_instance_conf(zqconf, conf, errors)) {
        if (std::string why = zq::http_access_problem(conf); !why.empty()) errors.push_back(zqconf + ": " + why);
        // The password is a secret: the file must be its owner's alone.
        struct stat st {};
        if (conf.http_auth && !conf.http_password.empty() && stat(zqconf.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 0777));
            errors.push_back(zqconf + ": holds http_password but other users may read it (mode " + mode +
                             "; chmod 600 it)");
        }
    }
    report("conf/zq.conf", errors);

    errors.clear();
    zq::check_snmp_conf(zq::instance_path("conf/snmp.conf"), errors);
    report("conf/snmp.conf", errors);

    // The users files hold pass phrases: each is checked, mode included, when
    // it exists (conf/snmp.conf's lines ask for the ones they need above).
    for (const std::string& users : {zq::v3_users_path(), zq::trapd_users_path()}) {
        if (access(users.c_str(), F_OK) != 0) continue;
        errors.clear();
        std::vector<zq::V3User> list;
        zq::load_v3_users(users, true, list, errors);
        if (users == zq::trapd_users_path()) check_trap_users(conf, list, errors);
        report(users.substr(users.rfind("/conf/") + 1), errors);
    }

    errors.clear();
    zq::check_hosts_file(zq::instance_path("conf/hosts"), errors);
    report("conf/hosts", errors);

    errors.clear();
    std::string suf = zq::instance_path("conf/zqsuf"), text, why;
    std::vector<zq::SufLine> lines;
    if (!zq::read_regular(suf, text, &why)) errors.push_back(why);
    else zq::parse_zqsuf(text, suf, lines, errors);
    for (auto& l : lines)
        if (find_program(l.argv[0]).empty())
            errors.push_back(suf + ":" + std::to_string(l.line) + ": " + l.name + ": program " + l.argv[0] +
                             " not found or not executable");
    report("conf/zqsuf", errors);

    errors.clear();
    zq::ev::Conf events;
    zq::ev::load_events_conf(zq::instance_path("conf/events.conf"), events, errors);
    report("conf/events.conf", errors);

    errors.clear();
    std::string reg = zq::instance_path("registry");
    if (!zq::read_regular(reg, text, &why)) errors.push_back(why);
    report("registry", errors);

    check_integration("trvconfchk", "conf/c/trv/trvconfig.dat");
    check_integration("trvtrapchk", "conf/c/trv/trvtrapd.conf");
    check_integration("trvval2strchk", "conf/c/trv/trvval2str.trap");

    if (g_errors > 0) {
        std::printf("zqcheck: %d error(s) in %s\n", g_errors, root.c_str());
        return 1;
    }
    std::printf("zqcheck: %s is ready to start\n", root.c_str());
    return 0;
}
