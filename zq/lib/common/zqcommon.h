// Shared helpers of the platform stand-in: the instance tree below ZQ_ROOT, its
// configuration files, host-name resolution and dotted OID text.
#pragma once

#include <netinet/in.h>

#include <cstdarg>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zq {

// The instance directory: $ZQ_ROOT, or /var/opt/zq when unset or empty.
std::string root();
// root() + "/" + rel.
std::string instance_path(std::string_view rel);
// Empty when root is a directory; else "no instance at ROOT (ZQ_ROOT=VALUE): WHY",
// VALUE being unset_text when ZQ_ROOT is not set, for a program's refusal to start.
std::string no_instance_reason(const std::string& root, const char* unset_text);

// The integration's control events (discover, status, uninstall and the like):
// the arcs local_only_enterprises must hold unless local_only_override=yes.
extern const char* const kControlArcsText;  // "ENT.1.3.2,ENT.1.3.3,..."
const std::vector<std::vector<uint32_t>>& control_arcs();

// conf/zq.conf: one "name=value" (or "name value") a line, '#' starts a comment.
struct InstanceConf {
    int trap_port = 162;
    int event_port = 5162;
    int http_port = 7180;
    int poll_interval = 300;   // seconds, netmon
    std::string http_listen = "127.0.0.1";   // the map program's web server address
    std::string http_password;                // the password of HTTP basic authentication
    bool http_auth = true;                    // false: http_auth=none, the map asks no password
    int max_event_sessions = 256;  // trapd's event-session connections at once
    int log_generations = 5;   // trapd.log.1 .. trapd.log.N kept
    int db_busy_timeout = 30;  // seconds a database call waits for another process's lock
    long events_max = 1000000; // events the map program's event store keeps at most
    int events_max_days = 30;  // ... and for how many days
    std::string trap_listen;   // empty: 127.0.0.1
    // Communities trapd takes UDP traps with; "*" in the list takes any.  No line
    // is not "any": the platform's default community alone.
    std::vector<std::string> trap_communities{"public"};
    // Arcs whose traps trapd takes only from event sessions, never from UDP: the
    // control arcs when there is no line.  A list that leaves any of them out
    // needs local_only_override=yes.
    std::vector<std::vector<uint32_t>> local_only_enterprises = control_arcs();
    bool local_only_override = false;
    // SNMPv3 users (of conf/trapd.users) trapd takes traps and informs from; "*"
    // in the list (or no trap_users line at all) takes every user of that file.
    std::vector<std::string> trap_users;
    bool trap_users_set = false;
};
// The map program's web server must not be open to every user of the host: a
// password unless http_auth=none, and never none on an address other hosts can
// reach.  Empty when conf allows serving, else why not (for zqcheck and zqw).
std::string http_access_problem(const InstanceConf& conf);
// "localhost", "::1" or a dotted 127.x.y.z address (names are not resolved).
bool is_loopback_host(std::string_view host);
// Reads conf/zq.conf of the current instance; a missing file gives the defaults.
InstanceConf read_instance_conf();
InstanceConf read_instance_conf(const std::string& file);

// conf/snmp.conf: "PATTERN [community=C] [timeout=SECONDS] [retries=N] [port=P]"
// and, for SNMPv3 agents, "version=3 user=NAME [level=L] [auth=P] [priv=P]
// [context=C] [secrets=FILE]" (see snmpv3conf.h; the pass phrases live in the
// users file, never here).
struct AgentConf {
    std::string community = "public";
    double timeout = 0.8;   // seconds
    int retries = 3;
    int port = 161;
    int version = 1;        // 1 or 3
    std::string user;       // SNMPv3 security name
    std::string level;      // as written; empty: noAuthNoPriv
    std::string auth, priv; // as written; empty: the defaults of snmpv3conf.h
    std::string context;
    std::string secrets;    // as written; empty: conf/snmpv3.users
};
// The settings for a host: the keys of the first line whose pattern matches the
// name (or its dotted address), then those of the line "*" for the keys that line
// does not set, then the defaults.
AgentConf agent_conf(std::string_view host);
AgentConf agent_conf(const std::string& file, std::string_view host);
// The same for a host the caller has resolved already (addr: none when it does not).
AgentConf agent_conf(const std::string& file, std::string_view host, const std::optional<in_addr>& addr);
// '*' matches any run of characters, everything else itself (case-insensitive).
bool wildcard_match(std::string_view pattern, std::string_view text);

// Resolves a host name or dotted address: conf/hosts of the instance first, then
// the system resolver (IPv4 only).  "name:port" is not accepted here; see split_host_port.
std::optional<in_addr> resolve_host(std::string_view name);
std::optional<in_addr> resolve_host_in(const std::string& hosts_file, std::string_view name);
// A dotted address itself, or the address the hosts file gives the name; the
// system resolver is not asked.
std::optional<in_addr> hosts_file_address(const std::string& hosts_file, std::string_view name);
// Splits "name:port"; port is -1 when absent or not a number 1..65535.
void split_host_port(std::string_view text, std::string& host, int& port);
// The first name of conf/hosts (or the resolver) for an address, or the dotted address.
std::string host_name_of(in_addr addr);

// "ENT.x.y" / "ZENT.x.y" (an optional leading dot kept) with the arcs expanded.
std::string expand_arcs(std::string_view text);
// Parses dotted decimal ("1.3.6", ".1.3.6", "ENT.1"); false on anything else or
// on a sub-identifier above 2^32-1, or more than 128 sub-identifiers.
bool parse_oid(std::string_view text, std::vector<uint32_t>& out);
// Dotted decimal without a leading dot.
std::string oid_to_string(const uint32_t* oid, size_t len);
inline std::string oid_to_string(const std::vector<uint32_t>& oid) {
    return oid_to_string(oid.data(), oid.size());
}
std::string addr_to_string(const unsigned char addr[4]);

// Appends a number in decimal, as the wire texts and JSON replies want it: no
// locale, no grouping, no temporary string.
void append_uint(std::string& out, uint64_t v);
void append_int(std::string& out, int64_t v);

// Values of the database's fields typed as text (map filters, zqtopo's command
// line).  A boolean: TRUE, yes, 1, on or FALSE, no, 0, off, in any case.
bool parse_bool_word(const std::string& s, int& out);
// A signed decimal that fits 32 bits, nothing before or after it.
bool parse_int32(const std::string& s, int& out);

// Opens a file of the instance (log, registry, configuration, key) without blocking
// on a FIFO or device and without following a symbolic link in its last component;
// anything but a regular file is refused.  The descriptor is blocking again and
// close-on-exec.  -1 with errno set (ELOOP for a link, EINVAL for a file that is not
// regular) and a message naming the file in why.
int open_regular(const std::string& path, int flags, unsigned mode, std::string* why = nullptr);
// Reads a whole regular file (at most max bytes) the same way; false with why set.
bool read_regular(const std::string& path, std::string& out, std::string* why = nullptr,
                  size_t max = 64u << 20);

// run/trapd.key: the key trapd writes (owner-only) at each start.  Event sessions
// present it, which proves the peer may read the instance.
std::string session_key_path();
// run/trapd.sock: trapd's Unix socket for event sessions (in run/, which is the
// owner's alone), so that only the instance's owner can listen where the library
// sends the key.
std::string session_socket_path();

// Ignore SIGPIPE: a peer that resets a socket must not kill a program silently.
void ignore_sigpipe();

// Sends out from off onwards on a non-blocking stream socket, advancing off,
// until all is sent or the socket takes no more.  False when the peer is gone
// (any error but EAGAIN and EINTR); off then counts what went out before.
bool send_pending(int fd, const std::string& out, size_t& off);

// Writes "YYYY-MM-DD HH:MM:SS TAG: MESSAGE\n" (local time) to fd when fd >= 0, and to
// standard error too when echo is set: the daemons' log lines.  The message is
// formatted printf-style and cut at 2,047 characters.
void log_vline(int fd, bool echo, const std::string& tag, const char* fmt, va_list ap)
    __attribute__((format(printf, 4, 0)));

// Decodes base64 (stops at '='); empty for a text with other characters.
std::string base64_decode(std::string_view in);

// Trims blanks at both ends.
std::string_view trim(std::string_view s);
// s in double quotes with '"' and '\\' escaped by a backslash: one word of a
// line that names or pass phrases may hold blanks and quotes in.
std::string quoted(std::string_view s);

// The configuration files share one lexical form: '#' starts a comment that runs
// to the end of the line, and white space around what is left does not count.
// The lenient readers here and the strict checks of zqconf.h read the same way,
// so a line the checker accepts means the same to the daemons.

// A line without its comment and the white space around it.
std::string_view strip_comment(std::string_view line);

// The lines of a configuration text that hold more than a comment, as
// strip_comment leaves them, with their 1-based numbers in the text.  The text
// must outlive the reader; a line stays valid as long as the text does.
class ConfLines {
public:
    explicit ConfLines(std::string_view text) : rest_(text) {}
    // The next such line; false at the end of the text.
    bool next(std::string_view& line);
    int lineno() const { return lineno_; }

private:
    std::string_view rest_;
    bool done_ = false;
    int lineno_ = 0;
};

// The words of a line, separated by white space.
std::vector<std::string_view> words_of(std::string_view line);

// A setting line "NAME=VALUE", "NAME VALUE" or "NAME = VALUE": the name and the
// value, trimmed.  One '=' after the blanks that end the name is the separator;
// an '=' right after a first '=' belongs to the value.  False when the line has
// no separator at all.
bool split_setting(std::string_view line, std::string_view& name, std::string_view& value);

// The items of a list value, separated by commas, blanks or tabs (empty items
// are dropped).
std::vector<std::string> list_items(std::string_view value);

// The directories of $PATH in order (/usr/local/bin:/usr/bin:/bin when it is not
// set); an empty entry stands for the current directory, ".".
std::vector<std::string> path_dirs();

}  // namespace zq
