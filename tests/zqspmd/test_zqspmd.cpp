// The process manager for real: zqspmd with the small test daemon, driven with
// zqstart, zqstop and zqstatus.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using zqtest::bin;
using zqtest::read_file;
using zqtest::RunResult;

const std::string kTestd = ZQS_TESTD;

struct Row {
    std::string pid, state, exit, text;
};

// An instance of its own with conf/zqsuf and a foreground zqspmd.
struct Pm {
    zqtest::TempDir dir;
    std::string root, rec;
    std::unique_ptr<zqtest::Process> pmd;

    std::string start_wait = "20";
    std::string restart_delay = "1";

    explicit Pm(const std::string& zqsuf, bool start = true) {
        root = dir.path + "/zq";
        rec = dir.path + "/record";
        mkdir(root.c_str(), 0755);
        mkdir((root + "/conf").c_str(), 0755);
        zqtest::write_file(root + "/conf/zqsuf", zqsuf);
        if (start) start_pmd();
    }
    ~Pm() {
        if (pmd && pmd->running()) tool({bin("zqstop")});
    }
    void start_pmd() {
        pmd = std::make_unique<zqtest::Process>(
            std::vector<std::string>{bin("zqspmd"), "--stop-grace", "1", "--start-wait", start_wait,
                                     "--restart-delay", restart_delay},
            env());
        EXPECT_TRUE(zqtest::wait_until([&] { return tool({bin("zqstatus")}).status == 0; }, 10000))
            << pmd->err();
    }
    zqtest::Env env() const { return {{"ZQ_ROOT", root}}; }
    RunResult tool(const std::vector<std::string>& argv) const { return zqtest::run(argv, env()); }
    std::string line(const std::string& name, const std::string& args) const {
        return name + " " + kTestd + " --record " + rec + " " + args + "\n";
    }
    std::map<std::string, Row> status() const {
        std::map<std::string, Row> m;
        std::istringstream in(tool({bin("zqstatus")}).out);
        std::string l;
        while (std::getline(in, l)) {
            std::istringstream w(l);
            std::string name;
            Row r;
            w >> name >> r.pid >> r.state >> r.exit;
            std::getline(w, r.text);
            size_t b = r.text.find_first_not_of(' ');
            r.text = b == std::string::npos ? "" : r.text.substr(b);
            m[name] = r;
        }
        return m;
    }
    bool wait_state(const std::string& name, const std::string& state, int ms = 15000) const {
        return zqtest::wait_until([&] { return status()[name].state == state; }, ms, 50);
    }
    std::vector<std::string> records() const {
        std::vector<std::string> v;
        std::istringstream in(read_file(rec));
        std::string l;
        while (std::getline(in, l)) v.push_back(l);
        return v;
    }
    bool recorded(const std::string& what, int ms = 10000) const {
        return zqtest::wait_until([&] { return read_file(rec).find(what + "\n") != std::string::npos; }, ms);
    }
};

size_t index_of(const std::vector<std::string>& v, const std::string& s) {
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] == s) return i;
    return v.size();
}

TEST(Zqspmd, StartsInOrderEachAfterTheOneBeforeReportedItsStartUp) {
    std::string suf = "# start order\n";
    Pm pm("", false);
    suf += pm.line("slow", "--init-delay 600");
    suf += pm.line("broken", "--init-fail \"no configuration\"");
    suf += pm.line("last", "");
    suf += "missing /nonexistent/program --flag\n";
    zqtest::write_file(pm.root + "/conf/zqsuf", suf);
    pm.start_pmd();

    RunResult r = pm.tool({bin("zqstart")});
    EXPECT_EQ(r.status, 1) << r.out << r.err;  // broken and missing did not start
    EXPECT_NE(r.err.find("broken"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing"), std::string::npos) << r.err;

    auto rec = pm.records();
    size_t slow_init = index_of(rec, "slow init"), broken_started = index_of(rec, "broken started"),
           last_started = index_of(rec, "last started");
    ASSERT_LT(slow_init, rec.size()) << read_file(pm.rec);
    ASSERT_LT(broken_started, rec.size());
    ASSERT_LT(last_started, rec.size());
    EXPECT_LT(slow_init, broken_started);     // waited for the start-up report
    EXPECT_LT(broken_started, last_started);  // a failed start-up lets the next one go

    auto st = pm.status();
    EXPECT_EQ(st["slow"].state, "RUNNING");
    EXPECT_NE(st["slow"].pid, "-");
    EXPECT_EQ(st["slow"].text, "Initialization complete.");
    EXPECT_TRUE(pm.wait_state("broken", "FAILED"));
    EXPECT_EQ(pm.status()["broken"].text, "no configuration");
    EXPECT_EQ(st["missing"].state, "FAILED");
    EXPECT_NE(st["missing"].text.find("No such file"), std::string::npos) << st["missing"].text;

    // Starting again touches only what does not run.
    r = pm.tool({bin("zqstart"), "slow"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("already running"), std::string::npos) << r.out;
    EXPECT_EQ(pm.status()["slow"].pid, st["slow"].pid);

    r = pm.tool({bin("zqstart"), "nosuch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nosuch"), std::string::npos);
}

TEST(Zqspmd, CommandsReachTheDaemonAndStopEndsIt) {
    Pm pm("", false);
    zqtest::write_file(pm.root + "/conf/zqsuf",
                       pm.line("first", "") +
                           pm.line("worker", "--exit-code 1 --done-quoted") +
                           pm.line("idle", ""));
    pm.start_pmd();
    ASSERT_EQ(pm.tool({bin("zqstart"), "worker", "first"}).status, 0);
    EXPECT_EQ(pm.status()["idle"].state, "NOT_RUNNING");
    EXPECT_EQ(pm.status()["idle"].pid, "-");

    // A command number the daemon does not know reaches it too, and it goes on.
    RunResult r = pm.tool({bin("zqstop"), "--command", "42", "worker"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(pm.recorded("worker cmd 42"));
    EXPECT_EQ(pm.status()["worker"].state, "RUNNING");
    EXPECT_EQ(pm.tool({bin("zqstop"), "--command", "7", "idle"}).status, 1);  // not running
    EXPECT_EQ(pm.tool({bin("zqstop"), "--command", "x", "worker"}).status, 2);

    r = pm.tool({bin("zqstop"), "worker", "first"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto rec = pm.records();
    // Reverse start order: worker (started second) goes first.
    EXPECT_LT(index_of(rec, "worker stopping"), index_of(rec, "first cmd 6"));
    auto st = pm.status();
    EXPECT_EQ(st["worker"].state, "NOT_RUNNING");
    EXPECT_EQ(st["worker"].exit, "1");
    EXPECT_EQ(st["worker"].text, "Unable to open \"x\".");  // the line break does not break the line
    EXPECT_EQ(st["first"].exit, "0");
    EXPECT_EQ(st["first"].text, "testd exiting at the request of zqspmd");
}

TEST(Zqspmd, ADaemonThatDoesNotStopIsKilledAfterTheGraceTime) {
    Pm pm("", false);
    zqtest::write_file(pm.root + "/conf/zqsuf",
                       pm.line("stubborn", "--ignore-term --ignore-stop") + pm.line("plain", "--no-init"));
    pm.start_wait = "0.5";
    pm.start_pmd();
    ASSERT_EQ(pm.tool({bin("zqstart")}).status, 0);  // "plain" never reports: started after the wait
    RunResult r = pm.tool({bin("zqstop"), "stubborn"});
    EXPECT_EQ(r.status, 3) << r.err;  // not a clean stop
    EXPECT_NE(r.out.find("killed"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("were killed"), std::string::npos) << r.err;
    EXPECT_TRUE(pm.recorded("stubborn cmd 6"));
    auto st = pm.status();
    EXPECT_EQ(st["stubborn"].state, "NOT_RUNNING");
    EXPECT_EQ(st["stubborn"].exit, "sig9");

    // A process that never registered is asked with SIGTERM.
    r = pm.tool({bin("zqstop"), "plain"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pm.status()["plain"].exit, "sig15");
}

TEST(Zqspmd, StatusTellsExitedFromFailedAndKeepsTheLastText) {
    Pm pm("", false);
    // restart=no: a non-zero status would otherwise bring it back.
    zqtest::write_file(pm.root + "/conf/zqsuf", pm.line("oneshot restart=no", "--exit-after-init 3") +
                                                    pm.line("quitter", "--init-delay 100 --init-fail \"bad\"") +
                                                    pm.line("runner", ""));
    pm.start_pmd();
    pm.tool({bin("zqstart")});
    ASSERT_TRUE(pm.wait_state("oneshot", "EXITED"));
    ASSERT_TRUE(pm.wait_state("quitter", "FAILED"));
    ASSERT_TRUE(zqtest::wait_until([&] { return pm.status()["quitter"].pid == "-"; }, 10000));
    auto st = pm.status();
    EXPECT_EQ(st["oneshot"].exit, "3");
    EXPECT_EQ(st["oneshot"].text, "finished");
    EXPECT_EQ(st["oneshot"].pid, "-");
    EXPECT_EQ(st["quitter"].exit, "1");
    EXPECT_EQ(st["quitter"].text, "bad");

    // The exit status tells a script whether the named (or any) process is
    // down; --json gives the same columns as values.
    ASSERT_TRUE(pm.wait_state("runner", "RUNNING"));
    struct Case {
        std::vector<std::string> args;
        int status;
        size_t lines;
    } cases[] = {
        {{}, 1, 3},
        {{"runner"}, 0, 1},
        {{"oneshot"}, 1, 1},
        {{"runner", "quitter"}, 1, 2},
        {{"runner", "nosuch"}, 2, 1},
        {{"runner", "runner"}, 0, 1},  // each once
        {{"--bogus"}, 2, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {bin("zqstatus")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = pm.tool(argv);
        EXPECT_EQ(r.status, c.status) << argv.size();
        EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')), c.lines) << r.out;
    }
    RunResult r = pm.tool({bin("zqstatus"), "--json", "oneshot", "runner"});
    EXPECT_EQ(r.status, 1);
    std::istringstream lines(r.out);
    std::string one, two;
    std::getline(lines, one);
    std::getline(lines, two);
    auto a = nlohmann::json::parse(one), b = nlohmann::json::parse(two);
    EXPECT_EQ(a["name"], "oneshot");
    EXPECT_TRUE(a["pid"].is_null());
    EXPECT_EQ(a["state"], "EXITED");
    EXPECT_EQ(a["exit"], 3);
    EXPECT_EQ(a["text"], "finished");
    EXPECT_EQ(b["name"], "runner");
    EXPECT_TRUE(b["pid"].is_number());
    EXPECT_TRUE(b["exit"].is_null());
}

TEST(Zqspmd, RegistrationOnlyForTheProcessItStarted) {
    Pm pm("", false);
    zqtest::write_file(pm.root + "/conf/zqsuf", pm.line("d", ""));
    // zqspmd not running: ZqsInit fails.
    RunResult r = zqtest::run({kTestd}, {{"ZQ_ROOT", pm.root}, {"ZQS_NAME", "d"}});
    EXPECT_EQ(r.status, 3) << r.err;
    pm.start_pmd();
    ASSERT_EQ(pm.tool({bin("zqstart")}).status, 0);
    // Started by hand under a managed name, or with no name at all: refused.
    r = zqtest::run({kTestd}, {{"ZQ_ROOT", pm.root}, {"ZQS_NAME", "d"}});
    EXPECT_EQ(r.status, 3);
    r = zqtest::run({kTestd}, {{"ZQ_ROOT", pm.root}, {"ZQS_NAME", ""}});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(pm.status()["d"].state, "RUNNING");  // the real one is untouched

    // A second zqspmd for the same instance refuses to run.
    r = pm.tool({bin("zqspmd")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already running"), std::string::npos) << r.err;

    // SIGTERM to zqspmd stops every process through command 6 and ends it.
    EXPECT_EQ(pm.pmd->stop(SIGTERM, 15000), 0);
    EXPECT_TRUE(pm.recorded("d cmd 6"));
    EXPECT_FALSE(zqtest::wait_until([&] { return access((pm.root + "/run/zqspmd.sock").c_str(), F_OK) == 0; }, 0));
}

TEST(Zqspmd, ZqstartLaunchesZqspmdAndZqstopEndsIt) {
    Pm pm("", false);
    zqtest::write_file(pm.root + "/conf/zqsuf", pm.line("d", ""));
    RunResult r = pm.tool({bin("zqstart")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string pidtext = read_file(pm.root + "/run/zqspmd.pid");
    pid_t pid = std::atoi(pidtext.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(pm.status()["d"].state, "RUNNING");
    EXPECT_NE(read_file(pm.root + "/log/zqspmd.log").find("d: started"), std::string::npos);

    r = pm.tool({bin("zqstop")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(pm.recorded("d cmd 6"));
    bool gone = zqtest::wait_until([&] { return kill(pid, 0) != 0; }, 10000);
    if (!gone) kill(pid, SIGKILL);
    EXPECT_TRUE(gone);
    EXPECT_EQ(pm.tool({bin("zqstatus")}).status, 1);
    r = pm.tool({bin("zqstop")});
    EXPECT_EQ(r.status, 0);  // nothing to stop is no failure
}

// Talks to zqspmd's socket directly; returns what came back before it closed.
std::string raw_request(const std::string& root, const std::string& bytes) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string path = root + "/run/zqspmd.sock";
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return "connect failed";
    }
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    close(fd);
    return got;
}

TEST(Zqspmd, GarbageOnTheSocketIsRefusedAndServiceGoesOn) {
    Pm pm("", false);
    zqtest::write_file(pm.root + "/conf/zqsuf", pm.line("d", ""));
    pm.start_pmd();
    EXPECT_EQ(raw_request(pm.root, "FROBNICATE\n"), "ERR unknown request\n");
    EXPECT_EQ(raw_request(pm.root, "SEND -1 d\n"), "ERR bad command number\n");
    EXPECT_EQ(raw_request(pm.root, "HELLO d 1\n"), "ERR not started by zqspmd\n");
    EXPECT_EQ(raw_request(pm.root, std::string(70000, 'x')), "");  // no line end: dropped
    EXPECT_EQ(raw_request(pm.root, std::string("STATUS\0\x01\n", 9)), "ERR unknown request\n");
    ASSERT_EQ(pm.tool({bin("zqstart")}).status, 0);
    auto st = pm.status();
    EXPECT_EQ(st.size(), 1u);
    EXPECT_EQ(st["d"].state, "RUNNING");
}

// trapd speaks the protocol: it reports its start-up once its ports are open and
// ends cleanly on command 6.
TEST(Zqspmd, ManagesTrapd) {
    zqtest::Instance inst;
    zqtest::write_file(inst.root + "/conf/zqsuf", "trapd " + bin("trapd") + "\n");
    zqtest::Process pmd({bin("zqspmd"), "--stop-grace", "5"}, inst.env());
    ASSERT_TRUE(zqtest::wait_until([&] { return zqtest::run({bin("zqstatus")}, inst.env()).status == 0; }, 10000));
    RunResult r = zqtest::run({bin("zqstart"), "trapd"}, inst.env());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string st = zqtest::run({bin("zqstatus")}, inst.env()).out;
    EXPECT_NE(st.find("RUNNING"), std::string::npos) << st;
    EXPECT_NE(st.find("Initialization complete."), std::string::npos) << st;
    // Its event port answers as soon as zqstart has returned.
    r = zqtest::run({bin("zqevents"), "--count", "1", "--timeout", "1"}, inst.env());
    EXPECT_NE(r.err.find("listening"), std::string::npos) << r.err;

    EXPECT_EQ(zqtest::run({bin("zqstop"), "--command", "9", "trapd"}, inst.env()).status, 0);
    r = zqtest::run({bin("zqstop"), "trapd"}, inst.env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("trapd stopped"), std::string::npos) << r.out;  // not killed
    st = zqtest::run({bin("zqstatus")}, inst.env()).out;
    EXPECT_NE(st.find("NOT_RUNNING 0"), std::string::npos) << st;
    EXPECT_NE(st.find("exiting at the request of zqspmd"), std::string::npos) << st;
    EXPECT_NE(read_file(inst.root + "/log/trapd.out").find("unknown command 9"), std::string::npos);
}

}  // namespace

namespace {

// What zqspmd does when a process ends without being asked: a signal it did not
// send brings the process back (with back-off, five times in ten minutes), an
// end at the process's own request does not, and restart=no turns it off.
TEST(Zqspmd, RestartsWhatDiedWithBackOffButNotWhatEndedOnItsOwn) {
    Pm pm("", false);
    zqtest::write_file(pm.root + "/conf/zqsuf", pm.line("crasher", "") + pm.line("keeper restart=no", "") +
                                                    pm.line("quitter", "--exit-after-init 0"));
    pm.restart_delay = "0.1";
    pm.start_pmd();
    pm.tool({bin("zqstart")});
    ASSERT_TRUE(pm.wait_state("keeper", "RUNNING"));
    ASSERT_TRUE(pm.wait_state("quitter", "EXITED"));

    std::string pid = pm.status()["crasher"].pid;
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
        ASSERT_TRUE(zqtest::wait_until(
            [&] {
                Row r = pm.status()["crasher"];
                return r.state == "RUNNING" && r.pid != "-" && r.pid != pid;
            },
            15000, 20))
            << "restart " << round + 1;
        pid = pm.status()["crasher"].pid;
    }
    ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);  // the sixth death within 10 minutes
    ASSERT_TRUE(pm.wait_state("crasher", "FAILED"));
    usleep(500 * 1000);
    Row c = pm.status()["crasher"];
    EXPECT_EQ(c.pid, "-");
    EXPECT_EQ(c.exit, "sig9");
    EXPECT_EQ(c.text, "killed by signal 9; restarted 5 times in 10 minutes, not again");

    ASSERT_EQ(kill(std::stoi(pm.status()["keeper"].pid), SIGKILL), 0);
    ASSERT_TRUE(pm.wait_state("keeper", "EXITED"));
    usleep(500 * 1000);
    Row k = pm.status()["keeper"];
    EXPECT_EQ(k.pid, "-");
    EXPECT_EQ(k.text, "killed by signal 9");

    Row q = pm.status()["quitter"];
    EXPECT_EQ(q.pid, "-");
    EXPECT_EQ(q.text, "finished");
    size_t starts = 0;
    for (const auto& r : pm.records()) starts += r == "quitter started" ? 1 : 0;
    EXPECT_EQ(starts, 1u);

    // The operator starts the FAILED one again: it gets a whole restart budget.
    pm.tool({bin("zqstart"), "crasher"});
    ASSERT_TRUE(pm.wait_state("crasher", "RUNNING"));
    pid = pm.status()["crasher"].pid;
    ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
    EXPECT_TRUE(zqtest::wait_until(
        [&] {
            Row r = pm.status()["crasher"];
            return r.state == "RUNNING" && r.pid != "-" && r.pid != pid;
        },
        15000, 20))
        << pm.status()["crasher"].state;
}

// A process that prints without end costs at most four files of 4 MiB: its
// output reaches log/NAME.out through zqspmd, which rotates it, and a file moved
// away (logrotate, then SIGHUP) is followed by a new one.
TEST(Zqspmd, OutputFilesAreBoundedAndReopened) {
    Pm pm("", false);
    std::string script = pm.dir.path + "/chatty.sh";
    zqtest::write_file(script,
                       "trap 'echo again' USR1\n"
                       "head -c 18000000 /dev/zero | tr '\\0' x\n"
                       "echo end\n"
                       "while :; do sleep 0.05; done\n");
    zqtest::write_file(pm.root + "/conf/zqsuf", "chatty /bin/sh " + script + "\n");
    pm.start_wait = "0.2";
    pm.start_pmd();
    ASSERT_EQ(pm.tool({bin("zqstart"), "chatty"}).status, 0);
    std::string out = pm.root + "/log/chatty.out";
    auto size_of = [](const std::string& path) -> long long {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    };
    auto ends_with = [&](const std::string& text) {
        std::string t = read_file(out);
        return t.size() >= text.size() && t.compare(t.size() - text.size(), text.size(), text) == 0;
    };
    ASSERT_TRUE(zqtest::wait_until([&] { return ends_with("end\n"); }, 30000)) << size_of(out);
    const long long limit = 4 << 20, slack = 1 << 20;
    long long total = 0;
    for (const std::string suffix : {"", ".1", ".2", ".3"}) {
        long long n = size_of(out + suffix);
        EXPECT_GT(n, 0) << suffix;
        EXPECT_LE(n, limit + slack) << suffix;
        total += n;
    }
    EXPECT_EQ(size_of(out + ".4"), -1);
    EXPECT_LT(total, 18000000);

    ASSERT_EQ(rename(out.c_str(), (out + ".moved").c_str()), 0);
    ASSERT_EQ(kill(pm.pmd->pid(), SIGHUP), 0);
    ASSERT_EQ(kill(std::stoi(pm.status()["chatty"].pid), SIGUSR1), 0);
    EXPECT_TRUE(zqtest::wait_until([&] { return read_file(out) == "again\n"; }, 10000)) << read_file(out);
}

}  // namespace
