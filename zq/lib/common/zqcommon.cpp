#include "zqcommon.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "zqoid.h"

namespace zq {

std::string root() {
    const char* r = std::getenv("ZQ_ROOT");
    if (r == nullptr || *r == '\0') return "/var/opt/zq";
    std::string s(r);
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string instance_path(std::string_view rel) {
    std::string p = root();
    p += '/';
    p += rel;
    return p;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

namespace {

bool to_int(std::string_view s, int& out) {
    s = trim(s);
    if (s.empty() || s.size() > 10) return false;
    long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > 0x7fffffff) return false;
    out = static_cast<int>(v);
    return true;
}

std::string_view strip_comment(std::string_view line) {
    auto pos = line.find('#');
    if (pos != std::string_view::npos) line = line.substr(0, pos);
    return trim(line);
}

}  // namespace

InstanceConf read_instance_conf(const std::string& file) {
    InstanceConf c;
    std::string text;
    read_regular(file, text);  // a missing or odd file: the defaults (never a hang)
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        std::string_view line = strip_comment(raw);
        if (line.empty()) continue;
        auto sep = line.find_first_of("= \t");
        if (sep == std::string_view::npos) continue;
        std::string_view key = trim(line.substr(0, sep));
        std::string_view val = trim(line.substr(sep + 1));
        if (!val.empty() && val.front() == '=') val = trim(val.substr(1));
        // Texts: the whole rest of the line (a '#' in a password is a comment, so
        // it cannot hold one; the README says so).
        if (key == "http_listen") {
            if (!val.empty()) c.http_listen = std::string(val);
            continue;
        }
        if (key == "http_password") {
            c.http_password = std::string(val);
            continue;
        }
        if (key == "trap_listen") {
            c.trap_listen = std::string(val);
            continue;
        }
        if (key == "trap_communities" || key == "local_only_enterprises") {
            std::vector<std::string> items;
            std::string cur;
            for (char ch : val) {
                if (ch == ',' || ch == ' ' || ch == '\t') {
                    if (!cur.empty()) items.push_back(cur);
                    cur.clear();
                } else {
                    cur += ch;
                }
            }
            if (!cur.empty()) items.push_back(cur);
            if (key == "trap_communities") {
                c.trap_communities = items;
                c.trap_communities_set = true;
            } else {
                c.local_only_enterprises.clear();
                for (const auto& it : items) {
                    std::vector<uint32_t> arc;
                    if (parse_oid(it, arc)) c.local_only_enterprises.push_back(arc);
                }
            }
            continue;
        }
        int v = 0;
        if (!to_int(val, v)) continue;
        if (key == "trap_port" && v > 0 && v < 65536) c.trap_port = v;
        else if (key == "event_port" && v > 0 && v < 65536) c.event_port = v;
        else if (key == "http_port" && v > 0 && v < 65536) c.http_port = v;
        else if (key == "poll_interval" && v > 0) c.poll_interval = v;
        else if (key == "max_event_sessions" && v > 0) c.max_event_sessions = v;
        else if (key == "db_busy_timeout" && v > 0 && v <= 86400) c.db_busy_timeout = v;
    }
    return c;
}

InstanceConf read_instance_conf() { return read_instance_conf(instance_path("conf/zq.conf")); }

bool wildcard_match(std::string_view p, std::string_view t) {
    // Iterative matcher with backtracking to the last '*'.
    size_t pi = 0, ti = 0, star = std::string_view::npos, mark = 0;
    while (ti < t.size()) {
        if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = ti;
        } else if (pi < p.size() &&
                   std::tolower(static_cast<unsigned char>(p[pi])) ==
                       std::tolower(static_cast<unsigned char>(t[ti]))) {
            ++pi;
            ++ti;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            ti = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

AgentConf agent_conf(const std::string& file, std::string_view host) {
    std::string addr_text;
    if (auto a = resolve_host(host)) {
        char buf[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &*a, buf, sizeof buf)) addr_text = buf;
    }
    std::string text;
    read_regular(file, text);
    std::istringstream in(text);
    std::string raw;
    std::optional<std::string> matched, star;
    while (std::getline(in, raw)) {
        std::string_view line = strip_comment(raw);
        if (line.empty()) continue;
        auto sep = line.find_first_of(" \t");
        std::string_view pat = line.substr(0, sep);
        std::string rest = sep == std::string_view::npos ? std::string() : std::string(line.substr(sep));
        if (pat == "*") {
            if (!star) star = rest;
            continue;
        }
        if (!matched && (wildcard_match(pat, host) || (!addr_text.empty() && wildcard_match(pat, addr_text))))
            matched = rest;
    }
    // The line "*" first, then the matching line over it: a host line keeps every
    // key of "*" that it does not set itself.
    AgentConf c;
    std::string chosen = (star ? *star : std::string()) + " " + (matched ? *matched : std::string());
    std::istringstream words(chosen);
    std::string w;
    while (words >> w) {
        auto eq = w.find('=');
        if (eq == std::string::npos) continue;
        std::string key = w.substr(0, eq), val = w.substr(eq + 1);
        int v = 0;
        if (key == "community") c.community = val;
        else if (key == "timeout") {
            char* end = nullptr;
            double d = std::strtod(val.c_str(), &end);
            if (end && *end == '\0' && d > 0 && d < 3600) c.timeout = d;
        } else if (key == "retries" && to_int(val, v) && v <= 100) c.retries = v;
        else if (key == "port" && to_int(val, v) && v > 0 && v < 65536) c.port = v;
    }
    return c;
}

AgentConf agent_conf(std::string_view host) { return agent_conf(instance_path("conf/snmp.conf"), host); }

void split_host_port(std::string_view text, std::string& host, int& port) {
    port = -1;
    auto colon = text.rfind(':');
    if (colon != std::string_view::npos && text.find(':') == colon) {
        int v = 0;
        if (to_int(text.substr(colon + 1), v) && v > 0 && v < 65536) {
            host.assign(text.substr(0, colon));
            port = v;
            return;
        }
    }
    host.assign(text);
}

std::optional<in_addr> resolve_host_in(const std::string& hosts_file, std::string_view name) {
    in_addr a{};
    std::string n(trim(name));
    if (n.empty()) return std::nullopt;
    if (inet_pton(AF_INET, n.c_str(), &a) == 1) return a;
    std::string text;
    read_regular(hosts_file, text);
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        std::string_view line = strip_comment(raw);
        if (line.empty()) continue;
        std::istringstream words{std::string(line)};
        std::string addr, alias;
        if (!(words >> addr)) continue;
        in_addr cand{};
        if (inet_pton(AF_INET, addr.c_str(), &cand) != 1) continue;
        while (words >> alias)
            if (strcasecmp(alias.c_str(), n.c_str()) == 0) return cand;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(n.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return std::nullopt;
    a = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return a;
}

std::optional<in_addr> resolve_host(std::string_view name) {
    return resolve_host_in(instance_path("conf/hosts"), name);
}

std::string host_name_of(in_addr addr) {
    char buf[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    std::string text;
    read_regular(instance_path("conf/hosts"), text);
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        std::string_view line = strip_comment(raw);
        std::istringstream words{std::string(line)};
        std::string a, name;
        if ((words >> a >> name) && a == buf) return name;
    }
    return buf;
}

std::string expand_arcs(std::string_view text) {
    std::string out;
    std::string_view t = text;
    bool dot = false;
    if (!t.empty() && t.front() == '.') {
        dot = true;
        t.remove_prefix(1);
    }
    auto expand = [&](std::string_view prefix, const char* arc) {
        if (t.substr(0, prefix.size()) == prefix &&
            (t.size() == prefix.size() || t[prefix.size()] == '.')) {
            out = dot ? "." : "";
            out += arc;
            out += t.substr(prefix.size());
            return true;
        }
        return false;
    };
    if (expand("ENT", ZQ_ENT_TEXT) || expand("ZENT", ZQ_ZENT_TEXT)) return out;
    return std::string(text);
}

bool parse_oid(std::string_view text, std::vector<uint32_t>& out) {
    out.clear();
    std::string full = expand_arcs(trim(text));
    std::string_view t = full;
    if (!t.empty() && t.front() == '.') t.remove_prefix(1);
    if (t.empty()) return false;
    uint64_t cur = 0;
    bool digit = false;
    for (char c : t) {
        if (c >= '0' && c <= '9') {
            cur = cur * 10 + static_cast<uint64_t>(c - '0');
            if (cur > 0xffffffffULL) return false;
            digit = true;
        } else if (c == '.') {
            if (!digit) return false;
            out.push_back(static_cast<uint32_t>(cur));
            cur = 0;
            digit = false;
        } else {
            return false;
        }
        if (out.size() > 128) return false;
    }
    if (!digit) return false;
    out.push_back(static_cast<uint32_t>(cur));
    return out.size() <= 128;
}

std::string oid_to_string(const uint32_t* oid, size_t len) {
    std::string s;
    for (size_t i = 0; i < len; ++i) {
        if (i) s += '.';
        s += std::to_string(oid[i]);
    }
    return s;
}

std::string addr_to_string(const unsigned char addr[4]) {
    return std::to_string(addr[0]) + "." + std::to_string(addr[1]) + "." + std::to_string(addr[2]) + "." +
           std::to_string(addr[3]);
}

void log_vline(int fd, bool echo, const std::string& tag, const char* fmt, va_list ap) {
    char msg[2048];
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::string line = std::string(stamp) + " " + tag + ": " + msg + "\n";
    if (fd >= 0 && write(fd, line.data(), line.size()) < 0) {
        // a log that cannot be written loses the line; the daemon goes on
    }
    if (echo && write(2, line.data(), line.size()) < 0) {
    }
}

int open_regular(const std::string& path, int flags, unsigned mode, std::string* why) {
    int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) {
        int e = errno;
        if (why) {
            if (e == ELOOP)
                *why = path + ": is a symbolic link (refused)";
            else if (e == ENXIO)
                *why = path + ": is not a regular file (refused)";
            else
                *why = path + ": " + std::strerror(e);
        }
        errno = e;
        return -1;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (why) *why = path + ": is not a regular file (refused)";
        errno = EINVAL;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

bool read_regular(const std::string& path, std::string& out, std::string* why, size_t max) {
    out.clear();
    int fd = open_regular(path, O_RDONLY, 0, why);
    if (fd < 0) return false;
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0) {
            out.append(buf, static_cast<size_t>(r));
            if (out.size() > max) {
                ::close(fd);
                if (why) *why = path + ": larger than " + std::to_string(max) + " bytes";
                errno = EFBIG;
                return false;
            }
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        int e = errno;
        ::close(fd);
        if (r < 0) {
            if (why) *why = path + ": " + std::strerror(e);
            errno = e;
            return false;
        }
        return true;
    }
}

std::string session_key_path() { return instance_path("run/trapd.key"); }

void ignore_sigpipe() { signal(SIGPIPE, SIG_IGN); }

std::vector<std::string> path_dirs() {
    const char* p = std::getenv("PATH");
    std::string ps = p ? p : "/usr/local/bin:/usr/bin:/bin";
    std::vector<std::string> dirs;
    size_t start = 0;
    while (start <= ps.size()) {
        size_t end = ps.find(':', start);
        if (end == std::string::npos) end = ps.size();
        std::string dir = ps.substr(start, end - start);
        dirs.push_back(dir.empty() ? "." : dir);
        start = end + 1;
    }
    return dirs;
}

}  // namespace zq
