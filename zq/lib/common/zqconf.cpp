#include "zqconf.h"

#include "snmpv3conf.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace zq {

namespace {

std::string where(const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; }

bool whole_number(std::string_view s, long long lo, long long hi, long long& out) {
    if (s.empty() || s.size() > 12) return false;
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

bool dotted_ipv4(const std::string& s) {
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool printable_word(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c == 0x7f || c == '#' || c == ',') return false;
    return true;
}

// The text of a file to check.  A missing file is no error (the defaults
// apply): false with nothing added; a file that cannot be read: false with the
// reason added to errors.
bool read_conf_text(const std::string& file, std::string& text, std::vector<std::string>& errors) {
    std::string why;
    if (read_regular(file, text, &why)) return true;
    if (errno != ENOENT) errors.push_back(why);
    return false;
}

// The keys of conf/zq.conf, with what each expects.  http_listen, http_password
// and http_auth belong to the map program's web server.
const std::map<std::string, const char*>& zq_keys() {
    static const std::map<std::string, const char*> keys = {
        {"trap_port", "a port number 1..65535"},
        {"event_port", "a port number 1..65535"},
        {"http_port", "a port number 1..65535"},
        {"poll_interval", "seconds, 1..86400"},
        {"trap_listen", "a dotted IPv4 address"},
        {"trap_communities", "communities separated by commas or blanks (* for any)"},
        {"trap_users", "SNMPv3 user names of conf/trapd.users separated by commas or blanks (* for any)"},
        {"local_only_enterprises", "dotted OIDs (ENT. allowed) separated by commas or blanks"},
        {"local_only_override", "yes or no"},
        {"max_event_sessions", "a number 1..65536"},
        {"log_generations", "a number 1..100"},
        {"db_busy_timeout", "seconds, 1..86400"},
        {"events_max", "a number of events 1000..100000000"},
        {"events_max_days", "days, 1..3650"},
        {"http_listen", "an address or host name to listen on"},
        {"http_password", "the text of a password (the rest of the line)"},
        {"http_auth", "password or none"},
    };
    return keys;
}

}  // namespace

bool load_instance_conf(const std::string& file, InstanceConf& c, std::vector<std::string>& errors) {
    c = InstanceConf{};
    size_t first_error = errors.size();
    std::string text;
    if (!read_conf_text(file, text, errors)) return errors.size() == first_error;
    std::map<std::string, int> seen;
    ConfLines lines(text);
    for (std::string_view line; lines.next(line);) {
        int lineno = lines.lineno();
        std::string_view name, val;
        if (!split_setting(line, name, val)) {
            errors.push_back(where(file, lineno) + "expected NAME=VALUE, not '" + std::string(line) + "'");
            continue;
        }
        std::string key(name);
        auto k = zq_keys().find(key);
        if (k == zq_keys().end()) {
            std::string known;
            for (auto& [name, what] : zq_keys()) known += (known.empty() ? "" : ", ") + name;
            errors.push_back(where(file, lineno) + "unknown key '" + key + "' (known: " + known + ")");
            continue;
        }
        if (auto s = seen.find(key); s != seen.end()) {
            errors.push_back(where(file, lineno) + key + " is set twice (also on line " + std::to_string(s->second) +
                             ")");
            continue;
        }
        seen[key] = lineno;
        std::string v(val);
        auto bad = [&] {
            errors.push_back(where(file, lineno) + key + ": expected " + k->second + ", not '" + v + "'");
        };
        long long n = 0;
        if (key == "trap_port" || key == "event_port" || key == "http_port") {
            if (!whole_number(v, 1, 65535, n)) bad();
            else (key == "trap_port" ? c.trap_port : key == "event_port" ? c.event_port : c.http_port) = int(n);
        } else if (key == "poll_interval" || key == "db_busy_timeout") {
            if (!whole_number(v, 1, 86400, n)) bad();
            else (key == "poll_interval" ? c.poll_interval : c.db_busy_timeout) = int(n);
        } else if (key == "log_generations") {
            if (!whole_number(v, 1, 100, n)) bad();
            else c.log_generations = int(n);
        } else if (key == "events_max") {
            if (!whole_number(v, 1000, 100000000, n)) bad();
            else c.events_max = long(n);
        } else if (key == "events_max_days") {
            if (!whole_number(v, 1, 3650, n)) bad();
            else c.events_max_days = int(n);
        } else if (key == "max_event_sessions") {
            if (!whole_number(v, 1, 65536, n)) bad();
            else c.max_event_sessions = int(n);
        } else if (key == "trap_listen") {
            if (!dotted_ipv4(v)) bad();
            else c.trap_listen = v;
        } else if (key == "http_listen") {
            if (v.find_first_of(" \t") != std::string::npos) bad();
            else if (!v.empty()) c.http_listen = v;  // empty keeps 127.0.0.1
        } else if (key == "trap_communities") {
            auto items = list_items(v);
            bool ok = !items.empty();
            for (auto& it : items) ok = ok && printable_word(it);
            if (!ok) bad();
            c.trap_communities = items;
        } else if (key == "local_only_override") {
            if (v != "yes" && v != "no") bad();
            else c.local_only_override = v == "yes";
        } else if (key == "trap_users") {
            auto items = list_items(v);
            bool ok = !items.empty();
            for (auto& it : items) ok = ok && printable_word(it) && it.size() <= 32;
            if (!ok) bad();
            c.trap_users = items;
            c.trap_users_set = true;
        } else if (key == "local_only_enterprises") {
            auto items = list_items(v);
            c.local_only_enterprises.clear();
            for (auto& it : items) {
                std::vector<uint32_t> arc;
                if (!parse_oid(it, arc)) {
                    errors.push_back(where(file, lineno) + key + ": '" + it + "' is not a dotted OID");
                    continue;
                }
                c.local_only_enterprises.push_back(arc);
            }
        } else if (key == "http_password") {
            c.http_password = v;  // empty: none given (http_access_problem says so)
        } else if (key == "http_auth") {
            if (v != "password" && v != "none") bad();
            else c.http_auth = v == "password";
        }
    }
    // A list that leaves out a control arc lets anyone who reaches trap_port send
    // that event (an uninstall among them): only when the operator says so.
    if (auto l = seen.find("local_only_enterprises"); l != seen.end() && !c.local_only_override) {
        std::string left_out;
        std::vector<std::string> names = list_items(kControlArcsText);
        for (size_t i = 0; i < control_arcs().size(); ++i) {
            const auto& arc = control_arcs()[i];
            bool covered = false;
            for (const auto& e : c.local_only_enterprises)
                covered = covered || (e.size() <= arc.size() && std::equal(e.begin(), e.end(), arc.begin()));
            if (!covered) left_out += (left_out.empty() ? "" : ", ") + names[i];
        }
        if (!left_out.empty())
            errors.push_back(where(file, l->second) + "local_only_enterprises leaves out " + left_out +
                             ", the integration's control events (anyone who reaches trap_port could send them): "
                             "list them, or set local_only_override=yes");
    }
    return errors.size() == first_error;
}

bool load_instance_conf_or_report(const char* program, InstanceConf& out) {
    std::vector<std::string> errors;
    if (load_instance_conf(instance_path("conf/zq.conf"), out, errors)) return true;
    for (auto& e : errors) std::fprintf(stderr, "%s: %s\n", program, e.c_str());
    std::fprintf(stderr, "%s: not started: conf/zq.conf has errors (zqcheck lists every file's)\n", program);
    return false;
}

bool check_snmp_conf(const std::string& file, std::vector<std::string>& errors) {
    size_t first_error = errors.size();
    std::string text;
    if (!read_conf_text(file, text, errors)) return errors.size() == first_error;
    // The SNMPv3 keys of each line, to check the lines that say version=3
    // against their users file once the line "*" is known.
    std::vector<std::pair<int, std::map<std::string, std::string>>> v3_lines;
    std::map<std::string, std::string> star;
    bool star_seen = false;
    ConfLines lines(text);
    for (std::string_view line; lines.next(line);) {
        int lineno = lines.lineno();
        std::vector<std::string_view> words = words_of(line);
        const std::string pattern(words[0]);
        std::map<std::string, std::string> v3;
        if (pattern.find('=') != std::string::npos) {
            errors.push_back(where(file, lineno) + "expected a host pattern first, not '" + pattern + "'");
            continue;
        }
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string w(words[i]);
            auto eq = w.find('=');
            std::string key = w.substr(0, eq), val = eq == std::string::npos ? "" : w.substr(eq + 1);
            auto bad = [&](const char* what) {
                errors.push_back(where(file, lineno) + key + ": expected " + what + ", not '" + val + "'");
            };
            long long n = 0;
            if (eq == std::string::npos) {
                errors.push_back(where(file, lineno) + "expected KEY=VALUE (community, timeout, retries, port), not '" +
                                 w + "'");
            } else if (key == "community") {
                if (val.empty()) bad("a community");
            } else if (key == "timeout") {
                char* end = nullptr;
                double d = std::strtod(val.c_str(), &end);
                if (val.empty() || end == nullptr || *end != '\0' || !(d > 0 && d < 3600)) bad("seconds above 0 and below 3600");
            } else if (key == "retries") {
                if (!whole_number(val, 0, 100, n)) bad("a number 0..100");
            } else if (key == "port") {
                if (!whole_number(val, 1, 65535, n)) bad("a port number 1..65535");
            } else if (is_v3_key(key)) {
                std::string expected;
                if (!check_v3_value(key, val, expected)) bad(expected.c_str());
                else v3[key] = val;
            } else {
                errors.push_back(where(file, lineno) + "unknown key '" + key +
                                 "' (known: community, timeout, retries, port, version, user, level, auth, priv, "
                                 "context, secrets)");
            }
        }
        if (pattern == "*" && !star_seen) {
            star = v3;
            star_seen = true;
        }
        v3_lines.emplace_back(lineno, std::move(v3));
    }
    for (auto& [lineno, keys] : v3_lines) {
        for (const auto& [k, v] : star) keys.emplace(k, v);  // the line's own keys win
        if (keys["version"] != "3") continue;
        check_v3_host(where(file, lineno), keys["user"], keys["level"], keys["secrets"], errors);
    }
    return errors.size() == first_error;
}

bool check_hosts_file(const std::string& file, std::vector<std::string>& errors) {
    size_t first_error = errors.size();
    std::string text;
    if (!read_conf_text(file, text, errors)) return errors.size() == first_error;
    ConfLines lines(text);
    for (std::string_view line; lines.next(line);) {
        std::vector<std::string_view> words = words_of(line);
        in6_addr v6{};
        if (inet_pton(AF_INET6, std::string(words[0]).c_str(), &v6) == 1) continue;  // the resolver is IPv4 only
        if (!dotted_ipv4(std::string(words[0])))
            errors.push_back(where(file, lines.lineno()) + "expected a dotted IPv4 address first, not '" +
                             std::string(words[0]) + "' (the line is not used)");
        else if (words.size() < 2)
            errors.push_back(where(file, lines.lineno()) + "expected ADDRESS NAME [ALIAS...]");
    }
    return errors.size() == first_error;
}

bool valid_process_name(const std::string& n) {
    if (n.empty() || n.size() > 64 || n == "all") return false;
    for (char c : n) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

namespace {

// Blanks separate words, "..." groups (no escapes).  False for an open quote.
bool split_words(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string w;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '"') quoted = !quoted;
            else w += line[i];
            ++i;
        }
        if (quoted) return false;
        words.push_back(w);
    }
    return true;
}

}  // namespace

bool parse_zqsuf(const std::string& text, const std::string& file, std::vector<SufLine>& lines,
                 std::vector<std::string>& errors) {
    size_t first_error = errors.size();
    lines.clear();
    std::istringstream in(text);
    std::string raw;
    int lineno = 0;
    while (std::getline(in, raw)) {
        ++lineno;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string_view t = trim(raw);
        if (t.empty() || t.front() == '#') continue;
        std::vector<std::string> w;
        if (!split_words(std::string(t), w)) {
            errors.push_back(where(file, lineno) + "a double quote is not closed");
            continue;
        }
        if (w.size() < 2) {
            errors.push_back(where(file, lineno) + "expected NAME [restart=no] PATH [ARGUMENTS...]");
            continue;
        }
        if (!valid_process_name(w[0])) {
            errors.push_back(where(file, lineno) + "bad process name '" + w[0] +
                             "' (letters, digits, '_', '-', '.'; not \"all\")");
            continue;
        }
        SufLine l;
        l.name = w[0];
        l.line = lineno;
        size_t first = 1;
        bool bad_option = false;
        for (; first < w.size() && w[first].rfind("restart=", 0) == 0; ++first) {
            if (w[first] == "restart=no") l.restart = false;
            else if (w[first] == "restart=yes") l.restart = true;
            else bad_option = true;
        }
        if (bad_option) {
            errors.push_back(where(file, lineno) + "restart= takes yes or no");
            continue;
        }
        if (first >= w.size()) {
            errors.push_back(where(file, lineno) + "expected NAME [restart=no] PATH [ARGUMENTS...]");
            continue;
        }
        bool dup = false;
        for (auto& o : lines) dup = dup || o.name == l.name;
        if (dup) {
            errors.push_back(where(file, lineno) + l.name + " is listed twice");
            continue;
        }
        l.argv.assign(w.begin() + static_cast<long>(first), w.end());
        lines.push_back(std::move(l));
    }
    return errors.size() == first_error;
}

}  // namespace zq
