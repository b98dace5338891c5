// SNMPv3 settings of an instance: the security levels and protocol names that
// conf/snmp.conf and the users files use, and the users files themselves.
//
// A users file holds pass phrases, so it must be readable by its owner only:
// a file that grants any access to its group or to others is refused, with its
// path, before anything in it is used.  Two files share the format:
//   conf/snmpv3.users  the pass phrases of the users that conf/snmp.conf names
//                      (or the file a host line names with secrets=FILE)
//   conf/trapd.users   the users trapd takes SNMPv3 traps and informs from
// One user a line: NAME [KEY=VALUE]... with the keys
//   auth=PROTOCOL  authpass=PHRASE  priv=PROTOCOL  privpass=PHRASE  engine=HEX
// Pass phrases are one word of 8 to 255 characters (no blanks, no '#').
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zq {

// Security levels, numbered as SNMPv3 numbers them.
constexpr int kNoAuthNoPriv = 1;
constexpr int kAuthNoPriv = 2;
constexpr int kAuthPriv = 3;
// noAuthNoPriv, authNoPriv, authPriv (any case); false for anything else.
bool parse_sec_level(std::string_view text, int& level);
// "noAuthNoPriv", "authNoPriv", "authPriv"; "" for other numbers.
const char* sec_level_name(int level);

// The protocols under their canonical names: SHA-1, SHA-224, SHA-256, SHA-384,
// SHA-512 and MD5 (MD5 only when named); AES-128, AES-192, AES-256 and DES (DES
// only when named).  SHA and AES are short for SHA-1 and AES-128.  False for
// any other name.
bool canonical_auth(std::string_view text, std::string& out);
bool canonical_priv(std::string_view text, std::string& out);
// What a host line or a user without auth= or priv= gets.
inline const char* kDefaultAuth = "SHA-1";
inline const char* kDefaultPriv = "AES-128";

struct V3User {
    std::string name;
    std::string auth, priv;          // canonical, empty when not given
    std::string authpass, privpass;  // empty when not given
    std::string engine;              // lower-case hex, empty when not given
    int line = 0;
    // The level the user's pass phrases allow: authPriv with both, authNoPriv
    // with the authentication one, else noAuthNoPriv.
    int level() const;
};

// conf/snmpv3.users and conf/trapd.users of the current instance.
std::string v3_users_path();
std::string trapd_users_path();
// A secrets=FILE of a host line: absolute as written, else below conf/.
std::string v3_secrets_path(const std::string& value);

// Empty when file is a regular file that neither its group nor others may
// read, write or run; else why not, naming the file.
std::string owner_only_problem(const std::string& file);

// Reads a users file strictly: every malformed line, unknown key, bad value or
// user named twice (for the same engine) is an error "FILE:LINE: ...".  A
// missing file gives no users and, when must_exist, an error.  A file that is
// not owner-only is one error and nothing of it is read.  False on any error.
bool load_v3_users(const std::string& file, bool must_exist, std::vector<V3User>& users,
                   std::vector<std::string>& errors);

// The SNMPv3 keys of a host line of conf/snmp.conf and their checks: false with
// what was expected when value does not fit key.  Keys: version, user, level,
// auth, priv, context, secrets.
bool is_v3_key(std::string_view key);
bool check_v3_value(std::string_view key, std::string_view value, std::string& expected);

}  // namespace zq

namespace zq {
// The cross-file check of one host line that says version=3 (with what the
// line "*" adds): a user is named and the users file (secrets, or
// conf/snmpv3.users when empty) is owner-only and gives that user the pass
// phrases its level needs.  Errors start with at ("FILE:LINE: ").
void check_v3_host(const std::string& at, const std::string& user, const std::string& level,
                   const std::string& secrets, std::vector<std::string>& errors);
}  // namespace zq
