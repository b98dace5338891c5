#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zqtest {

std::string bin(const std::string& name) { return std::string(ZQ_TEST_BIN_DIR) + "/" + name; }
std::string source(const std::string& rel) { return std::string(ZQ_TEST_SOURCE_DIR) + "/" + rel; }

TempDir::TempDir() {
    const char* t = std::getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/zqtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (std::getenv("ZQTEST_KEEP") == nullptr) std::filesystem::remove_all(path, ec);
}

namespace {

int bound_port_zero(int type) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool port_free(int type, int port);

// A port below the kernel's range for ports it hands out itself: a port the
// kernel gave the test and took back would soon be given to another test's
// client socket, and the daemon started on it later would find it taken.
int bound_port(int type) {
    static std::mt19937 pick{std::random_device{}()};
    std::uniform_int_distribution<int> in_range(20000, 32000);
    for (int i = 0; i < 200; ++i) {
        int p = in_range(pick);
        if (port_free(type, p)) return p;
    }
    return bound_port_zero(type);
}

bool port_free(int type, int port) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

}  // namespace

// Binds fd to the address and listens; fd, or -1 (closed, errno kept).
static int bind_and_listen(int fd, const sockaddr* a, socklen_t len, int backlog) {
    if (fd < 0) return -1;
    if (bind(fd, a, len) != 0 || listen(fd, backlog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int listen_tcp(const std::string& addr, int port, int backlog) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return bind_and_listen(fd, reinterpret_cast<sockaddr*>(&a), sizeof a, backlog);
}

int listen_unix(const std::string& path, int backlog) {
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return bind_and_listen(socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&a), sizeof a, backlog);
}

int connect_unix(const std::string& path) {
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) return -1;
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int free_udp_port() { return bound_port(SOCK_DGRAM); }
int free_tcp_port() { return bound_port(SOCK_STREAM); }

int free_port() {
    for (int i = 0; i < 100; ++i) {
        int p = bound_port(SOCK_STREAM);
        if (p > 0 && port_free(SOCK_DGRAM, p) && port_free(SOCK_STREAM, p)) return p;
    }
    return -1;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

FILE* file_of(const std::string& text) {
    FILE* f = std::tmpfile();
    if (f == nullptr) return nullptr;
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

Process::Process(const std::vector<std::string>& argv, const Env& env, const std::string& stdin_text) {
    out_path_ = dir_.path + "/stdout";
    err_path_ = dir_.path + "/stderr";
    std::string in_path = dir_.path + "/stdin";
    write_file(in_path, stdin_text);
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        bool overridden = false;
        for (auto& [k, v] : env)
            if (kv.compare(0, k.size() + 1, k + "=") == 0) overridden = true;
        if (!overridden) envs.push_back(kv);
    }
    for (auto& [k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        signal(SIGPIPE, SIG_DFL);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
}

Process::~Process() {
    if (!reaped_) stop(SIGTERM, 5000);
    if (!reaped_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        wait(5000);
    }
}

bool Process::running() {
    if (reaped_) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = decode_status(st);
        return false;
    }
    return true;
}

int Process::wait(int timeout_ms) {
    wait_until([this] { return !running(); }, timeout_ms, 5);
    return reaped_ ? status_ : -1;
}

int Process::stop(int sig, int timeout_ms) {
    if (reaped_) return status_;
    kill(pid_, sig);
    int st = wait(timeout_ms);
    if (st == -1) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        st = wait(5000);
    }
    return st;
}

std::string Process::out() const { return read_file(out_path_); }
std::string Process::err() const { return read_file(err_path_); }

bool Process::wait_for_out(const std::string& needle, int timeout_ms) const {
    return wait_until([&] { return out().find(needle) != std::string::npos; }, timeout_ms);
}

bool Process::wait_for_err(const std::string& needle, int timeout_ms) const {
    return wait_until([&] { return err().find(needle) != std::string::npos; }, timeout_ms);
}

std::unique_ptr<Process> start_snmpd(const std::string& dir, int port, const std::string& conf,
                                     const std::string& address) {
    if (access("/usr/sbin/snmpd", X_OK) != 0) return nullptr;
    write_file(dir + "/snmpd.conf", "[snmp] persistentDir " + dir + "/snmpd-state\n" + conf);
    auto snmpd = std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/snmpd", "-f", "-Lo", "-C", "-c",
                                                                    dir + "/snmpd.conf", "-r",
                                                                    "udp:" + address + ":" + std::to_string(port)},
                                           Env{{"MIBS", ""}});
    if (!snmpd->wait_for_out("NET-SNMP version", 10000)) {
        ADD_FAILURE() << "snmpd did not start: " << snmpd->out() << snmpd->err();
        return nullptr;
    }
    return snmpd;
}

RunResult run(const std::vector<std::string>& argv, const Env& env, const std::string& stdin_text,
              int timeout_ms) {
    Process p(argv, env, stdin_text);
    RunResult r;
    r.status = p.wait(timeout_ms);
    if (r.status == -1) r.status = p.stop(SIGKILL, 5000) == -1 ? -1 : -1;
    r.out = p.out();
    r.err = p.err();
    return r;
}

Instance::Instance(const std::vector<std::string>& extra_setup_args) {
    root = dir.path + "/zq";
    trap_port = free_port();
    event_port = free_tcp_port();
    snmp_port = free_udp_port();
    http_port = free_tcp_port();
    std::vector<std::string> argv = {bin("zqsetup"),      root,
                                     "--trap-port",       std::to_string(trap_port),
                                     "--event-port",      std::to_string(event_port),
                                     "--snmp-port",       std::to_string(snmp_port),
                                     "--http-port",       std::to_string(http_port)};
    argv.insert(argv.end(), extra_setup_args.begin(), extra_setup_args.end());
    RunResult r = run(argv);
    if (r.status != 0) throw std::runtime_error("zqsetup failed: " + r.err);
    std::istringstream conf(read_file(root + "/conf/zq.conf"));
    for (std::string line; std::getline(conf, line);)
        if (line.rfind("http_password=", 0) == 0) http_password = line.substr(14);
}

std::string without_settings(const std::string& text, const std::vector<std::string>& keys) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        bool drop = false;
        for (const auto& k : keys) drop = drop || line.rfind(k + "=", 0) == 0;
        if (!drop) out += line;
        start = end;
    }
    return out;
}

std::vector<std::string> as_nobody(const std::vector<std::string>& argv) {
    std::vector<std::string> out{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

std::string nobody_skip_reason() {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) return "needs root and setpriv";
    if (run(as_nobody({bin("zqstatus"), "--help"})).status != 0) return "the build is out of another user's reach";
    return "";
}

void Instance::activate() const { setenv("ZQ_ROOT", root.c_str(), 1); }

}  // namespace zqtest
