#include "snmpv3conf.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "zqcommon.h"

namespace zq {

namespace {

bool iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

bool pick(std::string_view text, std::initializer_list<std::pair<const char*, const char*>> names, std::string& out) {
    for (const auto& [name, canonical] : names) {
        if (iequal(text, name)) {
            out = canonical;
            return true;
        }
    }
    return false;
}

// One word of 8 to 255 characters: net-snmp asks for at least 8, and a
// shorter phrase would be guessed.
bool good_phrase(std::string_view s) {
    if (s.size() < 8 || s.size() > 255) return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c == 0x7f || c == '#') return false;
    return true;
}

// An engine ID in hex (an optional 0x), 5 to 32 bytes as SNMP allows.
bool engine_hex(std::string_view s, std::string& out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.size() % 2 != 0 || s.size() < 10 || s.size() > 64) return false;
    out.clear();
    for (char c : s) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        out += c;
    }
    return true;
}

bool user_name_ok(std::string_view s) {
    if (s.empty() || s.size() > 32) return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c == 0x7f || c == '#' || c == ',' || c == '=') return false;
    return true;
}

std::string where(const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; }

}  // namespace

bool parse_sec_level(std::string_view text, int& level) {
    if (iequal(text, "noAuthNoPriv")) level = kNoAuthNoPriv;
    else if (iequal(text, "authNoPriv")) level = kAuthNoPriv;
    else if (iequal(text, "authPriv")) level = kAuthPriv;
    else return false;
    return true;
}

const char* sec_level_name(int level) {
    switch (level) {
    case kNoAuthNoPriv: return "noAuthNoPriv";
    case kAuthNoPriv: return "authNoPriv";
    case kAuthPriv: return "authPriv";
    default: return "";
    }
}

bool canonical_auth(std::string_view text, std::string& out) {
    return pick(text,
                {{"SHA", "SHA-1"}, {"SHA-1", "SHA-1"}, {"SHA1", "SHA-1"}, {"SHA-224", "SHA-224"},
                 {"SHA224", "SHA-224"}, {"SHA-256", "SHA-256"}, {"SHA256", "SHA-256"}, {"SHA-384", "SHA-384"},
                 {"SHA384", "SHA-384"}, {"SHA-512", "SHA-512"}, {"SHA512", "SHA-512"}, {"MD5", "MD5"}},
                out);
}

bool canonical_priv(std::string_view text, std::string& out) {
    return pick(text,
                {{"AES", "AES-128"}, {"AES-128", "AES-128"}, {"AES128", "AES-128"}, {"AES-192", "AES-192"},
                 {"AES192", "AES-192"}, {"AES-256", "AES-256"}, {"AES256", "AES-256"}, {"DES", "DES"}},
                out);
}

int V3User::level() const {
    if (authpass.empty()) return kNoAuthNoPriv;
    return privpass.empty() ? kAuthNoPriv : kAuthPriv;
}

std::string v3_users_path() { return instance_path("conf/snmpv3.users"); }
std::string trapd_users_path() { return instance_path("conf/trapd.users"); }
std::string v3_secrets_path(const std::string& value) {
    if (value.empty()) return v3_users_path();
    return value[0] == '/' ? value : instance_path("conf/" + value);
}

std::string owner_only_problem(const std::string& file) {
    struct stat st {};
    if (lstat(file.c_str(), &st) != 0) return file + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return file + ": not a regular file";
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return file + ": holds pass phrases but others may read it (mode " + mode + "; chmod 600 it)";
    }
    return "";
}

bool load_v3_users(const std::string& file, bool must_exist, std::vector<V3User>& users,
                   std::vector<std::string>& errors) {
    users.clear();
    size_t first_error = errors.size();
    struct stat st {};
    if (lstat(file.c_str(), &st) != 0 && errno == ENOENT) {
        if (must_exist) errors.push_back(file + ": no such file (it holds the SNMPv3 pass phrases)");
        return errors.size() == first_error;
    }
    if (std::string why = owner_only_problem(file); !why.empty()) {
        errors.push_back(why);
        return false;
    }
    std::string text, why;
    if (!read_regular(file, text, &why, 1u << 20)) {
        errors.push_back(why);
        return false;
    }
    std::map<std::pair<std::string, std::string>, int> seen;  // (name, engine): line
    ConfLines lines(text);
    for (std::string_view line; lines.next(line);) {
        const int lineno = lines.lineno();
        std::vector<std::string_view> words = words_of(line);
        V3User u;
        u.name = std::string(words[0]);
        u.line = lineno;
        bool ok = true;
        auto err = [&](const std::string& what) {
            errors.push_back(where(file, lineno) + what);
            ok = false;
        };
        if (!user_name_ok(u.name)) err("expected a user name (1 to 32 characters) first, not '" + u.name + "'");
        for (size_t i = 1; i < words.size(); ++i) {
            std::string_view w = words[i];
            auto eq = w.find('=');
            std::string key(w.substr(0, eq));
            std::string_view val = eq == std::string_view::npos ? std::string_view() : w.substr(eq + 1);
            // Pass phrases never go into a message: a typo must not show one.
            if (eq == std::string_view::npos) err("expected KEY=VALUE (auth, authpass, priv, privpass, engine)");
            else if (key == "auth") {
                if (!canonical_auth(val, u.auth))
                    err("auth: expected SHA-1, SHA-224, SHA-256, SHA-384, SHA-512 or MD5, not '" + std::string(val) + "'");
            } else if (key == "priv") {
                if (!canonical_priv(val, u.priv))
                    err("priv: expected AES-128, AES-192, AES-256 or DES, not '" + std::string(val) + "'");
            } else if (key == "authpass" || key == "privpass") {
                if (!good_phrase(val)) err(key + ": expected one word of 8 to 255 characters");
                else (key == "authpass" ? u.authpass : u.privpass) = std::string(val);
            } else if (key == "engine") {
                if (!engine_hex(val, u.engine))
                    err("engine: expected an engine ID of 5 to 32 bytes in hex, not '" + std::string(val) + "'");
            } else {
                err("unknown key '" + key + "' (known: auth, authpass, priv, privpass, engine)");
            }
        }
        if (ok && !u.privpass.empty() && u.authpass.empty()) err("privpass needs authpass too (no privacy without authentication)");
        if (ok && u.authpass.empty() && (!u.auth.empty() || !u.priv.empty()))
            err("a protocol without its pass phrase (authpass=, privpass=)");
        if (ok && u.privpass.empty() && !u.priv.empty()) err("priv without privpass");
        if (!ok) continue;
        auto key = std::make_pair(u.name, u.engine);
        if (auto s = seen.find(key); s != seen.end()) {
            err("user '" + u.name + "' is given twice" + (u.engine.empty() ? "" : " for engine " + u.engine) +
                " (also on line " + std::to_string(s->second) + ")");
            continue;
        }
        seen[key] = lineno;
        users.push_back(std::move(u));
    }
    return errors.size() == first_error;
}

bool is_v3_key(std::string_view key) {
    return key == "version" || key == "user" || key == "level" || key == "auth" || key == "priv" ||
           key == "context" || key == "secrets";
}

bool check_v3_value(std::string_view key, std::string_view value, std::string& expected) {
    std::string canon;
    int level = 0;
    if (key == "version") {
        expected = "1 or 3";
        return value == "1" || value == "3";
    }
    if (key == "user") {
        expected = "a user name of 1 to 32 characters";
        return user_name_ok(value);
    }
    if (key == "level") {
        expected = "noAuthNoPriv, authNoPriv or authPriv";
        return parse_sec_level(value, level);
    }
    if (key == "auth") {
        expected = "SHA-1, SHA-224, SHA-256, SHA-384, SHA-512 or MD5";
        return canonical_auth(value, canon);
    }
    if (key == "priv") {
        expected = "AES-128, AES-192, AES-256 or DES";
        return canonical_priv(value, canon);
    }
    if (key == "context") {
        expected = "a context name of at most 32 characters";
        return value.size() <= 32 && value.find('#') == std::string_view::npos;
    }
    if (key == "secrets") {
        expected = "a file name";
        return !value.empty();
    }
    expected = "a known key";
    return false;
}

void check_v3_host(const std::string& at, const std::string& user, const std::string& level_text,
                   const std::string& secrets, std::vector<std::string>& errors) {
    if (user.empty()) {
        errors.push_back(at + "version=3 needs user=NAME");
        return;
    }
    int level = kNoAuthNoPriv;
    if (!level_text.empty() && !parse_sec_level(level_text, level)) return;  // reported with the key
    const std::string file = v3_secrets_path(secrets);
    std::vector<V3User> users;
    if (!load_v3_users(file, level > kNoAuthNoPriv, users, errors)) return;
    if (level == kNoAuthNoPriv) return;
    const V3User* found = nullptr;
    for (const auto& u : users)
        if (u.name == user && u.engine.empty()) found = &u;
    if (found == nullptr) {
        errors.push_back(at + "user '" + user + "' is not in " + file);
        return;
    }
    if (found->level() < level)
        errors.push_back(at + "level " + sec_level_name(level) + " needs " +
                         (level == kAuthPriv ? "authpass and privpass" : "authpass") + " for user '" + user +
                         "' in " + file);
}

}  // namespace zq
