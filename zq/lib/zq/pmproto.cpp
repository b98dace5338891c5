#include "pmproto.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "zqcommon.h"

namespace zq::pm {

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[5];
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

namespace {
int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        char n = text[i + 1];
        if (n == 'n') out += '\n', ++i;
        else if (n == 't') out += '\t', ++i;
        else if (n == 'r') out += '\r', ++i;
        else if (n == '\\') out += '\\', ++i;
        else if (n == 'x' && i + 3 < text.size() && hexval(text[i + 2]) >= 0 && hexval(text[i + 3]) >= 0) {
            out += static_cast<char>(hexval(text[i + 2]) * 16 + hexval(text[i + 3]));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

std::string socket_path() { return instance_path("run/zqspmd.sock"); }
std::string pid_path() { return instance_path("run/zqspmd.pid"); }

int connect_unix(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    while (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno == EINTR) continue;
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool read_line(int fd, std::string& line, int timeout_ms, size_t max_len) {
    line.clear();
    while (true) {
        if (timeout_ms >= 0) {
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, timeout_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
        }
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        if (line.size() >= max_len) return false;
        line += c;
    }
}

int request(const std::string& line, const std::function<void(const std::string&)>& on_line, std::string& err) {
    int fd = connect_unix(socket_path());
    if (fd < 0) {
        int e = errno;
        struct stat st {};
        if (e == EACCES || e == EPERM)
            err = "permission denied: zqspmd's socket " + socket_path() + " belongs to another user";
        else if (stat(root().c_str(), &st) != 0)
            err = "no instance at " + root() + " (ZQ_ROOT=" + (std::getenv("ZQ_ROOT") ? std::getenv("ZQ_ROOT") : "not set") +
                  "): " + std::strerror(errno);
        else
            err = "zqspmd is not running (" + socket_path() + ": " + std::strerror(e) + ")";
        errno = e;
        return -1;
    }
    if (!send_all(fd, line + "\n")) {
        err = std::string("cannot talk to zqspmd: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    // Replies are read in larger pieces here: nothing follows the final line.
    std::string buf, cur;
    char chunk[4096];
    int result = -1;
    err = "zqspmd closed the connection before it answered";
    bool done = false;
    while (!done) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buf.append(chunk, static_cast<size_t>(n));
        size_t pos;
        while (!done && (pos = buf.find('\n')) != std::string::npos) {
            cur = buf.substr(0, pos);
            buf.erase(0, pos + 1);
            if (cur == "OK") {
                result = 0;
                err.clear();
                done = true;
            } else if (cur.compare(0, 4, "ERR ") == 0 || cur == "ERR") {
                result = 1;
                err = cur.size() > 4 ? unescape(cur.substr(4)) : "error";
                done = true;
            } else {
                on_line(cur);
            }
        }
    }
    close(fd);
    return result;
}

std::string program_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string s(buf, static_cast<size_t>(n));
    auto slash = s.rfind('/');
    return slash == std::string::npos ? std::string() : s.substr(0, slash);
}

std::string one_line(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n' || c == '\r' || c == '\t') out += ' ';
        else if (c < 0x20 || c == 0x7f) out += '?';
        else out += static_cast<char>(c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void print_info(const std::string& line) {
    if (line.compare(0, 5, "INFO ") != 0) return;
    std::printf("%s\n", one_line(unescape(line.substr(5))).c_str());
    std::fflush(stdout);
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    while (true) {
        size_t at = text.find(sep);
        out.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return out;
        text.remove_prefix(at + 1);
    }
}

bool metric_name_ok(std::string_view name, bool label) {
    if (name.empty() || name.size() > 100 || (name[0] >= '0' && name[0] <= '9')) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  (c == ':' && !label);
        if (!ok) return false;
    }
    return true;
}

std::string metric_fields(const Metric& m) {
    char num[64];
    auto r = std::to_chars(num, num + sizeof num, m.value);
    std::string out(1, m.type);
    out += '\t';
    out += m.name;
    out += '\t';
    out.append(num, r.ptr);
    out += '\t';
    out += m.label;
    out += '\t';
    out += escape(m.label_value);
    out += '\t';
    out += escape(m.help);
    return out;
}

bool parse_metric_fields(std::string_view fields, Metric& m) {
    std::vector<std::string_view> f = split(fields, '\t');
    if (f.size() != 6 || (f[0] != "c" && f[0] != "g") || !metric_name_ok(f[1]) ||
        (!f[3].empty() && !metric_name_ok(f[3], true)))
        return false;
    double v = 0;
    auto r = std::from_chars(f[2].data(), f[2].data() + f[2].size(), v);
    if (r.ec != std::errc() || r.ptr != f[2].data() + f[2].size()) return false;
    m.type = f[0][0];
    m.name = std::string(f[1]);
    m.value = v;
    m.label = std::string(f[3]);
    m.label_value = f[3].empty() ? std::string() : unescape(f[4]);
    m.help = unescape(f[5]);
    return true;
}

}  // namespace zq::pm
