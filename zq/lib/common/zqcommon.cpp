#include "zqcommon.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>

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

std::string no_instance_reason(const std::string& root, const char* unset_text) {
    struct stat st {};
    const char* why = "not a directory";
    if (stat(root.c_str(), &st) != 0)
        why = std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        return "";
    const char* env = std::getenv("ZQ_ROOT");
    return "no instance at " + root + " (ZQ_ROOT=" + (env ? env : unset_text) + "): " + why;
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
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

}  // namespace

std::string_view strip_comment(std::string_view line) {
    auto pos = line.find('#');
    if (pos != std::string_view::npos) line = line.substr(0, pos);
    return trim(line);
}

bool ConfLines::next(std::string_view& line) {
    while (!done_) {
        auto end = rest_.find('\n');
        std::string_view raw = rest_.substr(0, end);
        if (end == std::string_view::npos) {
            done_ = true;
            if (raw.empty()) break;  // a text that ends with its line end has no line after it
        } else {
            rest_.remove_prefix(end + 1);
        }
        ++lineno_;
        line = strip_comment(raw);
        if (!line.empty()) return true;
    }
    return false;
}

std::string base64_decode(std::string_view in) {
    auto val = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    unsigned buf = 0;
    int bits = 0;
    for (char c : in) {
        if (c == '=') break;
        int v = val(c);
        if (v < 0) return "";
        buf = (buf << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buf >> bits) & 0xff);
        }
    }
    return out;
}

bool split_setting(std::string_view line, std::string_view& name, std::string_view& value) {
    auto sep = line.find_first_of("= \t");
    if (sep == std::string_view::npos) return false;
    name = trim(line.substr(0, sep));
    value = trim(line.substr(sep + 1));
    if (!value.empty() && value.front() == '=' && line[sep] != '=') value = trim(value.substr(1));
    return true;
}

std::vector<std::string> list_items(std::string_view value) {
    std::vector<std::string> items;
    std::string cur;
    for (char ch : value) {
        if (ch == ',' || ch == ' ' || ch == '\t') {
            if (!cur.empty()) items.push_back(cur);
            cur.clear();
        } else {
            cur += ch;
        }
    }
    if (!cur.empty()) items.push_back(cur);
    return items;
}

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

InstanceConf read_instance_conf(const std::string& file) {
    InstanceConf c;
    std::string text;
    read_regular(file, text);  // a missing or odd file: the defaults (never a hang)
    ConfLines lines(text);
    for (std::string_view line; lines.next(line);) {
        std::string_view key, val;
        if (!split_setting(line, key, val)) continue;
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
        if (key == "http_auth") {
            c.http_auth = val != "none";
            continue;
        }
        if (key == "trap_listen") {
            c.trap_listen = std::string(val);
            continue;
        }
        if (key == "trap_users") {
            c.trap_users = list_items(val);
            c.trap_users_set = true;
            continue;
        }
        if (key == "trap_communities" || key == "local_only_enterprises") {
            std::vector<std::string> items = list_items(val);
            if (key == "trap_communities") {
                c.trap_communities = items;  // empty: none (trapd's strict reader refuses it)
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
        else if (key == "events_max" && v >= 1000) c.events_max = v;
        else if (key == "events_max_days" && v > 0 && v <= 3650) c.events_max_days = v;
    }
    return c;
}

InstanceConf read_instance_conf() { return read_instance_conf(instance_path("conf/zq.conf")); }

const char* const kControlArcsText = "ENT.1.3.2,ENT.1.3.3,ENT.1.3.11,ENT.1.3.12,ENT.1.3.20";

const std::vector<std::vector<uint32_t>>& control_arcs() {
    static const std::vector<std::vector<uint32_t>> arcs = [] {
        std::vector<std::vector<uint32_t>> v;
        for (const auto& it : list_items(kControlArcsText)) {
            std::vector<uint32_t> arc;
            if (parse_oid(it, arc)) v.push_back(arc);
        }
        return v;
    }();
    return arcs;
}

bool is_loopback_host(std::string_view host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr a{};
    return inet_pton(AF_INET, std::string(host).c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string http_access_problem(const InstanceConf& c) {
    if (!c.http_auth) {
        if (is_loopback_host(c.http_listen)) return {};
        return "http_auth=none with http_listen=" + c.http_listen +
               ", an address other hosts can reach: anyone there could change the map (set http_password)";
    }
    if (c.http_password.empty())
        return "no http_password: every user of this host could change the map (zqsetup ROOT adds one; "
               "http_auth=none turns the password off on a single-user host)";
    return {};
}

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

namespace {

// A file's identity and the times of its last changes: while they stay the
// same, a parse of the file still holds.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{}, ctime{};
    bool operator==(const Stamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// The parsed form of a configuration file that is read for every SNMP session
// (conf/hosts, conf/snmp.conf), kept while the file stays the same.  Reading
// and splitting the whole file for each session cost more than the request
// itself once conf/hosts lists the network.  A file changed in the last second
// is read again every time: a second change within the granularity of the file
// system's clock could leave its stamp as it was.
template <class Parsed>
class ParsedFiles {
public:
    std::shared_ptr<const Parsed> get(const std::string& path) {
        struct stat st{};
        const bool regular = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        Stamp stamp;
        if (regular) stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = files_.find(path);
        if (regular && it != files_.end() && it->second.stamp == stamp) return it->second.parsed;
        std::string text;
        read_regular(path, text);  // a missing or odd file reads as empty
        auto parsed = std::make_shared<const Parsed>(Parsed::parse(text));
        if (!regular || !settled(st)) {
            if (it != files_.end()) files_.erase(it);
            return parsed;
        }
        if (files_.size() >= 16) files_.clear();  // tests switch instances; a few files are live
        files_[path] = {stamp, parsed};
        return parsed;
    }

private:
    static bool settled(const struct stat& st) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        // Any change sets the change time.
        return now.tv_sec - st.st_ctim.tv_sec > 1 ||
               (now.tv_sec - st.st_ctim.tv_sec == 1 && now.tv_nsec >= st.st_ctim.tv_nsec);
    }
    struct Entry {
        Stamp stamp;
        std::shared_ptr<const Parsed> parsed;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> files_;
};

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// conf/snmp.conf: the "*" line apart, the others in file order, each with its
// key=value words.
struct SnmpConfTable {
    using Keys = std::vector<std::pair<std::string, std::string>>;
    struct Line {
        std::string pattern;
        Keys keys;
    };
    std::vector<Line> lines;
    std::optional<Keys> star;

    static SnmpConfTable parse(const std::string& text) {
        SnmpConfTable t;
        ConfLines reader(text);
        for (std::string_view line; reader.next(line);) {
            std::vector<std::string_view> words = words_of(line);
            Keys keys;
            for (size_t i = 1; i < words.size(); ++i) {
                auto eq = words[i].find('=');
                if (eq != std::string_view::npos)
                    keys.emplace_back(std::string(words[i].substr(0, eq)), std::string(words[i].substr(eq + 1)));
            }
            if (words[0] == "*") {
                if (!t.star) t.star = std::move(keys);
            } else {
                t.lines.push_back({std::string(words[0]), std::move(keys)});
            }
        }
        return t;
    }
};

void apply_agent_keys(const SnmpConfTable::Keys& keys, AgentConf& c) {
    for (const auto& [key, val] : keys) {
        int v = 0;
        if (key == "community") c.community = val;
        else if (key == "timeout") {
            char* end = nullptr;
            double d = std::strtod(val.c_str(), &end);
            if (end && *end == '\0' && d > 0 && d < 3600) c.timeout = d;
        } else if (key == "retries" && to_int(val, v) && v <= 100) c.retries = v;
        else if (key == "port" && to_int(val, v) && v > 0 && v < 65536) c.port = v;
        else if (key == "version" && (val == "1" || val == "3")) c.version = val[0] - '0';
        else if (key == "user") c.user = val;
        else if (key == "level") c.level = val;
        else if (key == "auth") c.auth = val;
        else if (key == "priv") c.priv = val;
        else if (key == "context") c.context = val;
        else if (key == "secrets") c.secrets = val;
    }
}

ParsedFiles<SnmpConfTable> snmp_conf_files;

// conf/hosts: "ADDRESS NAME [ALIAS...]" a line.
struct HostsTable {
    std::unordered_map<std::string, in_addr> by_name;  // lower-cased name: the first line naming it
    std::unordered_map<uint32_t, std::string> name_of; // address: the first name of its first line

    static HostsTable parse(const std::string& text) {
        HostsTable t;
        ConfLines reader(text);
        for (std::string_view line; reader.next(line);) {
            std::vector<std::string_view> words = words_of(line);
            in_addr addr{};
            if (inet_pton(AF_INET, std::string(words[0]).c_str(), &addr) != 1) continue;
            for (size_t i = 1; i < words.size(); ++i) t.by_name.emplace(ascii_lower(words[i]), addr);
            if (words.size() > 1) t.name_of.emplace(addr.s_addr, std::string(words[1]));
        }
        return t;
    }
};

ParsedFiles<HostsTable> hosts_files;

}  // namespace

AgentConf agent_conf(const std::string& file, std::string_view host) {
    return agent_conf(file, host, resolve_host(host));
}

AgentConf agent_conf(const std::string& file, std::string_view host, const std::optional<in_addr>& addr) {
    std::string addr_text;
    if (addr) {
        char buf[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &*addr, buf, sizeof buf)) addr_text = buf;
    }
    std::shared_ptr<const SnmpConfTable> table = snmp_conf_files.get(file);
    // The line "*" first, then the first matching line over it: a host line
    // keeps every key of "*" that it does not set itself.
    AgentConf c;
    if (table->star) apply_agent_keys(*table->star, c);
    for (const auto& line : table->lines) {
        if (wildcard_match(line.pattern, host) || (!addr_text.empty() && wildcard_match(line.pattern, addr_text))) {
            apply_agent_keys(line.keys, c);
            break;
        }
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

std::optional<in_addr> hosts_file_address(const std::string& hosts_file, std::string_view name) {
    in_addr a{};
    std::string n(trim(name));
    if (n.empty()) return std::nullopt;
    if (inet_pton(AF_INET, n.c_str(), &a) == 1) return a;
    std::shared_ptr<const HostsTable> table = hosts_files.get(hosts_file);
    auto it = table->by_name.find(ascii_lower(n));
    if (it != table->by_name.end()) return it->second;
    return std::nullopt;
}

std::optional<in_addr> resolve_host_in(const std::string& hosts_file, std::string_view name) {
    std::optional<in_addr> known = hosts_file_address(hosts_file, name);
    if (known) return known;
    std::string n(trim(name));
    if (n.empty()) return std::nullopt;
    in_addr a{};
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
    std::shared_ptr<const HostsTable> table = hosts_files.get(instance_path("conf/hosts"));
    auto it = table->name_of.find(addr.s_addr);
    if (it != table->name_of.end()) return it->second;
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

void append_uint(std::string& out, uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_int(std::string& out, int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

bool parse_bool_word(const std::string& s, int& out) {
    for (const char* t : {"TRUE", "yes", "1", "on"})
        if (strcasecmp(s.c_str(), t) == 0) return (out = 1), true;
    for (const char* f : {"FALSE", "no", "0", "off"})
        if (strcasecmp(s.c_str(), f) == 0) return (out = 0), true;
    return false;
}

bool parse_int32(const std::string& s, int& out) {
    if (s.empty() || s.size() > 11) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int>(v);
    return true;
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
std::string session_socket_path() { return instance_path("run/trapd.sock"); }

bool send_pending(int fd, const std::string& out, size_t& off) {
    while (off < out.size()) {
        ssize_t n = ::send(fd, out.data() + off, out.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

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
