// zqsetup: creates (or completes) one platform instance below ROOT.
//
// Each step of the set-up is one function below; main() runs them in order.  A
// step never overwrites a file that exists unless --force was given, so running
// zqsetup again on an instance keeps the operator's edits.
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "zqcommon.h"
#include "zqw_internal.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: zqsetup ROOT [--trap-port N] [--event-port N] [--snmp-port N] [--http-port N]\n"
    "               [--community C] [--data DIR] [--force] [--help]\n"
    "\n"
    "Creates the platform instance below ROOT: the directory tree, conf/zq.conf,\n"
    "conf/snmp.conf, conf/hosts, conf/zqsuf, the registry file, the SNMPv3 users\n"
    "files (conf/snmpv3.users, conf/trapd.users: an example, no user; never\n"
    "rewritten) and the shipped configuration, field and application registration\n"
    "files.  Files that exist are kept unless --force; an existing conf/zq.conf gets\n"
    "the lines it lacks (trap_communities, local_only_enterprises, http_password).\n"
    "conf/zq.conf holds a random password for the map program, readable by the\n"
    "owner only.\n"
    "\n"
    "  --trap-port N    UDP port trapd receives traps on (default 162)\n"
    "  --event-port N   TCP port of trapd's event sessions (default 5162)\n"
    "  --snmp-port N    port agents are asked on (default 161)\n"
    "  --http-port N    port of the map program's web server (default 7180)\n"
    "  --community C    community for every agent (default public)\n"
    "  --data DIR       where the shipped files are read from (default: the installed\n"
    "                   share/tarvo-zq beside lib/tarvo-zq/bin, else the source tree);\n"
    "                   a folder without any of them is refused\n"
    "  --force          rewrite files that exist\n"
    "\n"
    "Exit status: 0 done, 1 error, 2 bad command line.\n";

struct Options {
    std::string root;   // absolute, no trailing slash
    int trap_port = 162;
    int event_port = 5162;
    int snmp_port = 161;
    int http_port = 7180;
    std::string community = "public";
    bool community_given = false;
    std::string data_dir;  // empty: default_data_dir()
    bool force = false;
};

struct UsageError {
    std::string message;
};

// A step failed; the text says what and why.
struct SetupError {
    std::string message;
};

// The directory zqsetup's own executable lies in: the installed daemons sit beside it.
std::string own_bin_dir() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return self.parent_path().string();
}

// Installed, the programs are in PREFIX/lib/tarvo-zq/bin and the shipped files
// in PREFIX/share/tarvo-zq: found from where zqsetup runs, so that a package
// unpacked below any root works.  Else the folder the build named.
std::string default_data_dir() {
    std::string bin = own_bin_dir();
    const std::string tail = "/lib/tarvo-zq/bin";
    std::error_code ec;
    if (bin.size() > tail.size() && bin.compare(bin.size() - tail.size(), tail.size(), tail) == 0) {
        std::string data = bin.substr(0, bin.size() - tail.size()) + "/share/tarvo-zq";
        if (fs::is_directory(data, ec)) return data;
    }
    return ZQ_SETUP_DATA_DIR;
}

std::optional<int> parse_port(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 65535) return std::nullopt;
    return v;
}

bool printable_text(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

// Why DIR cannot be the folder of shipped files (empty when it can): it must be a
// folder holding at least one of the folders the steps copy from.  Checked before
// anything is made, so a wrong --data leaves no half-made instance behind.
std::string data_dir_problem(const std::string& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return dir + ": no such folder";
    for (const char* sub : {"zq/fields", "zq/registration", "zq/conf", "conf/trv", "conf/registration"})
        if (fs::is_directory(dir + "/" + sub, ec)) return {};
    return dir + ": not a folder of shipped files (none of zq/fields, zq/registration, zq/conf, conf/trv, "
                 "conf/registration in it)";
}

Options parse_args(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        bool has_inline = false;
        if (a.rfind("--", 0) == 0) {
            auto eq = a.find('=');
            if (eq != std::string::npos) {
                value = a.substr(eq + 1);
                a = a.substr(0, eq);
                has_inline = true;
            }
        }
        auto need_value = [&]() -> std::string {
            if (has_inline) return value;
            if (i + 1 >= argc) throw UsageError{a + " needs a value"};
            return argv[++i];
        };
        auto port_value = [&]() {
            std::string v = need_value();
            auto p = parse_port(v);
            if (!p) throw UsageError{a + ": '" + v + "' is not a port number (1..65535)"};
            return *p;
        };
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (a == "--trap-port") {
            o.trap_port = port_value();
        } else if (a == "--event-port") {
            o.event_port = port_value();
        } else if (a == "--snmp-port") {
            o.snmp_port = port_value();
        } else if (a == "--http-port") {
            o.http_port = port_value();
        } else if (a == "--community") {
            o.community = need_value();
            o.community_given = true;
            if (o.community.empty() || !printable_text(o.community) ||
                o.community.find_first_of(" \t#") != std::string::npos)
                throw UsageError{"--community: must be non-empty, without blanks, '#' or control characters"};
        } else if (a == "--data") {
            o.data_dir = need_value();
        } else if (a == "--force") {
            if (has_inline) throw UsageError{"--force takes no value"};
            o.force = true;
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError{"unknown option " + a};
        } else {
            positional.push_back(a);
        }
    }
    bool data_given = !o.data_dir.empty();
    if (!data_given) o.data_dir = default_data_dir();
    if (std::string why = data_dir_problem(o.data_dir); !why.empty()) {
        // A typo in --data is the command line's fault; a lost default is the installation's.
        if (data_given) throw UsageError{"--data " + why};
        throw SetupError{"the shipped files: " + why};
    }
    if (positional.empty()) throw UsageError{"ROOT is missing"};
    if (positional.size() > 1) throw UsageError{"only one ROOT may be given"};
    if (positional[0].empty() || !printable_text(positional[0]))
        throw UsageError{"ROOT must be a path without control characters"};
    std::error_code ec;
    fs::path abs = fs::absolute(positional[0], ec);
    if (ec) throw UsageError{"ROOT: " + ec.message()};
    std::string r = abs.lexically_normal().string();
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    o.root = r;
    return o;
}

std::string path_in(const Options& o, const std::string& rel) { return o.root + "/" + rel; }

void make_dir(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw SetupError{"cannot create " + dir + ": " + ec.message()};
    if (!fs::is_directory(dir, ec)) throw SetupError{dir + " exists and is not a directory"};
}

// Writes a file through a temporary name and a rename, so a reader never sees
// half of it.
void replace_file(const std::string& path, const std::string& text) {
    std::error_code ec;
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            fs::remove(tmp, ec);
            throw SetupError{"cannot write " + path + ": " + std::strerror(errno)};
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        fs::remove(tmp, ec);
        throw SetupError{"cannot write " + path + ": " + std::strerror(e)};
    }
}

// The same for a file of the instance; one that exists is kept unless force.
void write_file(const Options& o, const std::string& rel, const std::string& text) {
    std::string path = path_in(o, rel);
    std::error_code ec;
    if (!o.force && fs::exists(path, ec)) {
        std::cout << "kept " << rel << " (it exists; --force rewrites it)\n";
        return;
    }
    replace_file(path, text);
}

// A password for the map program: 24 letters and digits from the kernel's
// random source (about 140 bits), nothing a configuration line could misread.
std::string random_password() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    unsigned char buf[64];
    while (out.size() < 24) {
        ssize_t n = getrandom(buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw SetupError{std::string("no random bytes for the map's password: ") + std::strerror(errno)};
        for (ssize_t i = 0; i < n && out.size() < 24; ++i)
            if (buf[i] < 248) out += alphabet[buf[i] % 62];  // 248 = 4 * 62: no value more likely
    }
    return out;
}

// Copies the regular files of src_dir whose name ends with suffix (every file when
// empty) into the instance folder dest_rel.  A missing src_dir is not an error:
// nothing of that kind is shipped (the data folder itself was checked first).
void copy_files(const Options& o, const std::string& src_dir, const std::string& suffix,
                const std::string& dest_rel) {
    std::error_code ec;
    if (!fs::is_directory(src_dir, ec)) return;
    std::string dest = path_in(o, dest_rel);
    for (const auto& entry : fs::directory_iterator(src_dir, ec)) {
        if (!entry.is_regular_file(ec)) continue;
        std::string name = entry.path().filename().string();
        if (!suffix.empty() && (name.size() <= suffix.size() ||
                                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0))
            continue;
        fs::path target = fs::path(dest) / name;
        if (!o.force && fs::exists(target, ec)) continue;
        fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing, ec);
        if (ec) throw SetupError{"cannot copy " + entry.path().string() + " to " + target.string() + ": " + ec.message()};
        // The copy keeps the source's mode: the instance's files are its owner's alone.
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, ec);
    }
    if (ec) throw SetupError{"cannot read " + src_dir + ": " + ec.message()};
}

// --- the steps ----------------------------------------------------------------

void step_tree(const Options& o) {
    make_dir(o.root);
    for (const char* d : {"conf", "conf/c/trv", "fields", "registration", "db", "temp", "log", "run"})
        make_dir(path_in(o, d));
}

const char* const kCommunitiesComment = "# UDP traps are taken only with one of these communities (* takes any).\n";
const char* const kLocalOnlyComment =
    "# Traps under these arcs are taken from this instance's own programs only\n"
    "# (event sessions), never from the network: the integration's control events.\n";
const char* const kPasswordComment =
    "# The map program's password (any user name).  http_auth=none in its place\n"
    "# serves the map without one: only on a host no one else logs in to.\n";

// An instance made by an older zqsetup lacks the lines that close it to other
// users: they are added (the operator's other lines are kept), and said.
void complete_zq_conf(const Options& o) {
    const std::string rel = "conf/zq.conf", path = path_in(o, rel);
    std::string text, why;
    if (!zq::read_regular(path, text, &why)) throw SetupError{why};
    std::set<std::string, std::less<>> keys;
    zq::ConfLines lines(text);
    for (std::string_view line, name, value; lines.next(line);)
        if (zq::split_setting(line, name, value)) keys.emplace(name);
    std::string add;
    std::vector<std::string> added;
    if (!keys.contains("trap_communities")) {
        // The community the instance's agents are asked with, unless one is given.
        std::string c = o.community_given ? o.community : zq::agent_conf(path_in(o, "conf/snmp.conf"), "*", std::nullopt).community;
        add += kCommunitiesComment + ("trap_communities=" + c + "\n");
        added.push_back("trap_communities=" + c);
    }
    if (!keys.contains("local_only_enterprises")) {
        add += kLocalOnlyComment + ("local_only_enterprises=" + std::string(zq::kControlArcsText) + "\n");
        added.push_back("local_only_enterprises=" + std::string(zq::kControlArcsText));
    }
    if (!keys.contains("http_password") && !keys.contains("http_auth")) {
        add += kPasswordComment + ("http_password=" + random_password() + "\n");
        added.push_back("http_password (a new random password for the map)");
    }
    if (add.empty()) {
        std::cout << "kept " << rel << " (it exists; --force rewrites it)\n";
        return;
    }
    if (!text.empty() && text.back() != '\n') text += '\n';
    replace_file(path, text + add);
    for (const auto& a : added) std::cout << "added " << a << " to " << rel << "\n";
}

void step_zq_conf(const Options& o) {
    std::error_code ec;
    if (!o.force && fs::exists(path_in(o, "conf/zq.conf"), ec)) {
        complete_zq_conf(o);
        return;
    }
    write_file(o, "conf/zq.conf",
               "# Ports and intervals of this zq instance (name=value).\n"
               "trap_port=" + std::to_string(o.trap_port) + "\n"
               "event_port=" + std::to_string(o.event_port) + "\n"
               "http_port=" + std::to_string(o.http_port) + "\n"
               "poll_interval=300\n" +
               kCommunitiesComment + "trap_communities=" + o.community + "\n" +
               kLocalOnlyComment + "local_only_enterprises=" + zq::kControlArcsText + "\n" +
               kPasswordComment + "http_password=" + random_password() + "\n");
}

// How to open the map, as the instance's conf/zq.conf has it now.
void print_map_access(const Options& o) {
    zq::InstanceConf c = zq::read_instance_conf(path_in(o, "conf/zq.conf"));
    std::string host = c.http_listen;
    if (host == "0.0.0.0" || host == "::") host = "127.0.0.1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::cout << "the map: http://" << host << ":" << c.http_port << "/ ";
    if (!c.http_auth) std::cout << "(no password: http_auth=none)\n";
    else std::cout << "(any user name; the password is the http_password line of " << path_in(o, "conf/zq.conf") << ")\n";
}

void step_snmp_conf(const Options& o) {
    write_file(o, "conf/snmp.conf",
               "# How agents are reached: PATTERN [community=C] [timeout=SECONDS] [retries=N] [port=P]\n"
               "# The first line whose pattern matches wins, then the line \"*\".\n"
               "* community=" + o.community + " port=" + std::to_string(o.snmp_port) +
                   " timeout=0.8 retries=3\n");
}

void step_hosts(const Options& o) {
    write_file(o, "conf/hosts",
               "# Host names of managed nodes, hosts(5) format: ADDRESS NAME [ALIAS...]\n"
               "# Read before the system resolver.\n");
}

// The SNMPv3 users files, owner-only from the start (the umask), with an example
// and no user: the pass phrases are the operator's.  Never rewritten, not even
// with --force: they hold the only copy of the secrets.
void step_v3_users(const Options& o) {
    auto format = [](const char* engine) {
        return std::string("# One user a line: NAME ") + engine +
               "[auth=PROTOCOL] authpass=PHRASE [priv=PROTOCOL] [privpass=PHRASE]\n"
               "# Pass phrases are one word of 8 to 255 characters.  Owner-only (chmod 600):\n";
    };
    const std::pair<const char*, std::string> files[] = {
        {"conf/snmpv3.users",
         "# SNMPv3 users for polling: the pass phrases of the users that the version=3\n"
         "# lines of conf/snmp.conf name.\n" + format("") +
             "# a file its group or others may read is refused.  For example:\n"
             "#ops auth=SHA-256 authpass=ops-auth-phrase priv=AES-128 privpass=ops-priv-phrase\n"},
        {"conf/trapd.users",
         "# SNMPv3 users trapd takes traps and informs from (trap_users of conf/zq.conf\n"
         "# chooses among them).  A trap's sender is its own engine: a line per sending\n"
         "# engine, with engine=HEX its engine ID; a line without engine= serves informs.\n" + format("[engine=HEX] ") +
             "# a file its group or others may read keeps trapd from starting.  For example:\n"
             "#ops engine=80001f8880c71100000000000000 auth=SHA-256 authpass=trap-auth-phrase priv=AES-128 "
             "privpass=trap-priv-phrase\n"
             "#ops auth=SHA-256 authpass=trap-auth-phrase priv=AES-128 privpass=trap-priv-phrase\n"}};
    std::error_code ec;
    for (const auto& [rel, text] : files)
        if (!fs::exists(path_in(o, rel), ec)) replace_file(path_in(o, rel), text);
}

void step_registry(const Options& o) {
    write_file(o, "registry",
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvel\\Tarnwick]\nPathName=" + o.root + "\n");
}

void step_zqsuf(const Options& o) {
    std::string bin = own_bin_dir();
    std::string text = "# Processes zqspmd manages, in start order: NAME PATH [ARGUMENTS...]\n";
    // The map program comes last: its applications need the daemons before it.
    for (const char* name : {"trapd", "netmon", "trvdis", "trvtrapd", "zqw"}) {
        std::string path = bin + "/" + name;
        if (bin.empty() || access(path.c_str(), X_OK) != 0) continue;
        text += std::string(name) + " " + path;
        // The map program gives its applications less time to end than zqspmd
        // gives it (10 s), so that it is still there to kill a hung one.
        if (std::string(name) == "zqw") text += " --stop-grace 8";
        text += "\n";
    }
    write_file(o, "conf/zqsuf", text);
}

void step_fields(const Options& o) {
    copy_files(o, o.data_dir + "/zq/fields", ".fields", "fields");
    copy_files(o, o.data_dir + "/conf", ".fields", "fields");  // the integration's trv.fields
}

void step_integration_conf(const Options& o) {
    copy_files(o, o.data_dir + "/conf/trv", "", "conf/c/trv");
    copy_files(o, o.data_dir + "/zq/conf", ".conf", "conf");  // events.conf: the event store's entries
}

// The map program's application registrations: the platform's own (its generic
// symbol types) and the integration's.
void step_registration(const Options& o) {
    copy_files(o, o.data_dir + "/zq/registration", ".reg", "registration");
    copy_files(o, o.data_dir + "/conf/registration", ".reg", "registration");
}

// The topology database: created when missing (an existing one is kept, also with
// --force), then every fields/*.fields file registered into it, in name order.
// Registering again is harmless; bad lines are reported and the rest registered.
// Owner-only for everything that holds communities, traps, keys or the database:
// an existing instance with looser modes is mended, with a warning.
void step_modes(const Options& o) {
    std::vector<std::string> paths = {"db", "conf", "log", "run", "temp", "registry"};
    std::error_code ec;
    for (const char* dir : {"db", "conf", "log", "run", "temp"})
        for (const auto& entry : fs::recursive_directory_iterator(path_in(o, dir), ec))
            if (!entry.is_symlink(ec)) paths.push_back(fs::relative(entry.path(), o.root, ec).string());
    for (const auto& rel : paths) {
        std::string p = path_in(o, rel);
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
        mode_t mode = st.st_mode & 07777;
        if ((mode & 077) == 0) continue;
        mode_t owner_only = mode & ~static_cast<mode_t>(077);
        if (chmod(p.c_str(), owner_only) != 0) {
            std::cerr << "zqsetup: warning: " << rel << " is open to other users (mode " << std::oct << mode
                      << std::dec << ") and cannot be changed: " << std::strerror(errno) << "\n";
            continue;
        }
        std::cerr << "zqsetup: warning: " << rel << " was open to other users (mode " << std::oct << mode << "), now "
                  << owner_only << std::dec << "\n";
    }
}

void step_database(const Options& o) {
    std::string db = path_in(o, "db/topology.db");
    std::string error;
    if (!zq::zqw::create_database(db, error)) throw SetupError{error};
    std::vector<std::string> files, problems;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path_in(o, "fields"), ec))
        if (entry.is_regular_file(ec) && entry.path().extension() == ".fields") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) zq::zqw::register_fields_file(db, f, problems);
    for (const auto& p : problems) std::cerr << "zqsetup: " << p << "\n";
    if (!problems.empty()) throw SetupError{"some fields could not be registered (see above)"};
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    umask(077);  // the instance is its owner's alone
    Options o;
    try {
        o = parse_args(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "zqsetup: " << e.message << "\n(zqsetup --help shows the usage)\n";
        return 2;
    } catch (const SetupError& e) {
        std::cerr << "zqsetup: " << e.message << "\n";
        return 1;
    }
    using Step = void (*)(const Options&);
    const Step steps[] = {step_tree,     step_zq_conf, step_snmp_conf, step_v3_users, step_hosts,
                          step_registry, step_zqsuf,   step_fields,    step_integration_conf,
                          step_registration, step_database, step_modes};
    try {
        for (Step s : steps) s(o);
    } catch (const SetupError& e) {
        std::cerr << "zqsetup: " << e.message << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "zqsetup: " << e.what() << "\n";
        return 1;
    }
    std::cout << "zqsetup: instance ready in " << o.root << "\n";
    print_map_access(o);
    return 0;
}
