// zqtopo: the operator's tool for the topology database of one instance.
//
// Every subcommand is one function below; NAME arguments are resolved by
// selection name, then host name, then as a decimal object id.
#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zqcommon.h"
#include "zqoid.h"
#include "nodeevent.h"
#include "zqsnmp.h"
#include "zqw.h"
#include "zqw_internal.h"
#include "mapops.h"

namespace {

using nlohmann::json;

const char* const kUsage =
    "usage: zqtopo COMMAND [ARGUMENTS]\n"
    "\n"
    "Reads and changes the topology database of the instance named by $ZQ_ROOT.\n"
    "NAME is a selection name, a host name or an object id.\n"
    "\n"
    "  import NETWORK.json            create or update the nodes of a network file,\n"
    "                                 their IP interfaces and conf/hosts lines\n"
    "  add NAME ADDRESS... [--server|--client|--computer|--device] [--snmp]\n"
    "                                 create one node (default kind: computer)\n"
    "  remove NAME                    delete a node with its interfaces and hosts line\n"
    "  status NAME STATUS             set IP Status; a change to or from Critical\n"
    "                                 sends the node down or up event\n"
    "  show NAME [--json]             every field with a value\n"
    "  get NAME FIELD                 one value (TRUE/FALSE, enumeration names)\n"
    "  id NAME                        the object id\n"
    "  find FIELD=VALUE...            objects where every condition holds: id and\n"
    "                                 selection name, one a line\n"
    "  nodes [--json] [FIELD=VALUE...]\n"
    "                                 one line per node where every condition\n"
    "                                 holds: name, address, kind, IP Status and,\n"
    "                                 where set, the vendor class, OS tag, web\n"
    "                                 subsystem, its condition, board address;\n"
    "                                 FIELD may also be a column (condition=Major,\n"
    "                                 kind=server, \"-\" for none) or a field of the\n"
    "                                 web subsystem (trvDeviceStatus=Major)\n"
    "  set NAME FIELD VALUE           set a value\n"
    "  unset NAME FIELD               remove a value\n"
    "  fields                         the registered fields, in .fields syntax\n"
    "  maps [--json]                  one line per map: id, name, read-only or\n"
    "                                 writable, \"applications\" for the map the\n"
    "                                 applications work on, its filter\n"
    "  map create NAME [FIELD=VALUE...] [--read-only] [--json]\n"
    "                                 a map of the nodes where every condition\n"
    "                                 holds (name: 1 to 64 bytes)\n"
    "  map rename MAP NEW-NAME        MAP is a map's name or id\n"
    "  map read-only MAP, map writable MAP\n"
    "                                 whether applications may change the map\n"
    "  map delete MAP                 not \"default\", nor the applications' map\n"
    "  map use MAP                    make it the map the applications work on\n"
    "                                 (the running map program follows)\n"
    "\n"
    "Exit status: 0 done; 1 nothing there (get: no value, find, nodes: no match);\n"
    "2 bad arguments, unknown object, field or value, or a network file with\n"
    "errors (its good nodes are imported); 3 the database or trapd failed.\n";

// An error that ends the command: message and exit status.
struct Exit {
    int status;
    std::string message;
};

[[noreturn]] void usage_error(const std::string& msg) { throw Exit{2, msg + " (zqtopo --help shows the usage)"}; }

// What the caller named wrongly is a bad argument (2); anything else, a lock
// held too long or a lost database among them, is the database failing (3).
[[noreturn]] void db_error(const std::string& what) {
    int e = ZqwError();
    bool callers = e == ZQW_E_BADARG || e == ZQW_E_NOFIELD || e == ZQW_E_EXISTS || e == ZQW_E_BADTYPE ||
                   e == ZQW_E_NOVALUE || e == ZQW_E_NOENUM || e == ZQW_E_NOOBJECT;
    throw Exit{callers ? 2 : 3, what + ": " + ZqwErrorMsg(e)};
}

void open_db() {
    if (ZqwDbInit() == 0) return;
    std::string path = zq::zqw::database_path();
    // Another user's instance: say so rather than hint at a missing one.
    if (access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
        throw Exit{3, "cannot open the topology database " + path +
                          ": permission denied (the instance belongs to another user)"};
    throw Exit{3, "cannot open the topology database " + path + " (is ZQ_ROOT an instance made by zqsetup?)"};
}

std::string take(char* p) {
    std::string s = p ? p : "";
    std::free(p);
    return s;
}

ZqwFieldId field_id(const std::string& name) {
    ZqwFieldId f = ZqwDbFieldNameToFieldId(name.c_str());
    if (ZqwIsIdNull(f)) {
        if (ZqwError() == ZQW_E_NOFIELD) throw Exit{2, "no field \"" + name + "\""};
        db_error("field \"" + name + "\"");
    }
    return f;
}

int field_type(ZqwFieldId f) {
    static std::vector<zq::zqw::FieldInfo> fields;
    if (fields.empty() && !zq::zqw::list_fields(fields)) db_error("fields");
    for (const auto& fi : fields)
        if (fi.id == f) return fi.type;
    return 0;
}

// NAME: a selection name, a host name, or an object id.
ZqwObjectId resolve(const std::string& name) {
    ZqwObjectId id = ZqwDbSelectionNameToObjectId(name.c_str());
    if (!ZqwIsIdNull(id)) return id;
    if (ZqwError() != ZQW_E_NOOBJECT) db_error(name);
    id = ZqwDbHostnameToObjectId(name.c_str());
    if (!ZqwIsIdNull(id)) return id;
    if (ZqwError() != ZQW_E_NOOBJECT) db_error(name);
    if (!name.empty() && name.size() <= 10 &&
        std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); })) {
        unsigned long v = std::strtoul(name.c_str(), nullptr, 10);
        if (v > 0 && v <= UINT32_MAX && zq::zqw::object_exists(static_cast<ZqwObjectId>(v)))
            return static_cast<ZqwObjectId>(v);
        if (ZqwError() == ZQW_E_CONNLOST) db_error(name);
    }
    throw Exit{2, "no object \"" + name + "\""};
}

// A value typed at the command line, as a record for the field (its text, if
// any, points into `text`).
ZqwFieldValue to_record(ZqwFieldId f, const std::string& field, const std::string& text) {
    ZqwFieldValue v{0, field_type(f), {0}};
    switch (v.field_type) {
        case ZQW_BOOL_FIELD:
            if (!zq::parse_bool_word(text, v.un.bool_val)) throw Exit{2, field + ": \"" + text + "\" is not TRUE or FALSE"};
            break;
        case ZQW_INT_FIELD:
            if (!zq::parse_int32(text, v.un.int_val)) throw Exit{2, field + ": \"" + text + "\" is not a 32-bit integer"};
            break;
        case ZQW_ENUM_FIELD: {
            int e = ZqwDbGetEnumValue(f, text.c_str());
            if (e < 0) {
                int n = 0;
                if (ZqwError() == ZQW_E_NOENUM && zq::parse_int32(text, n) && n >= 0) e = n;  // an index
                else throw Exit{ZqwError() == ZQW_E_CONNLOST ? 3 : 2, field + ": no value \"" + text + "\""};
            }
            v.un.enum_val = e;
            break;
        }
        case ZQW_STRING_FIELD: v.un.string_val = const_cast<char*>(text.c_str()); break;
        default: throw Exit{2, field + ": field of unknown type"};
    }
    return v;
}

// The value as zqtopo prints it; nullopt when the object has none.
std::optional<std::string> value_text(ZqwObjectId o, ZqwFieldId f, const std::string& field) {
    ZqwFieldValue* v = ZqwDbGetFieldValue(o, f);
    if (v == nullptr) {
        if (ZqwError() == ZQW_E_NOVALUE) return std::nullopt;
        db_error(field);
    }
    std::string out;
    switch (v->field_type) {
        case ZQW_BOOL_FIELD: out = v->un.bool_val ? "TRUE" : "FALSE"; break;
        case ZQW_INT_FIELD: out = std::to_string(v->un.int_val); break;
        case ZQW_STRING_FIELD: out = v->un.string_val; break;
        case ZQW_ENUM_FIELD: {
            char* name = ZqwDbGetFieldEnumByName(o, f);
            out = name ? name : std::to_string(v->un.enum_val);
            std::free(name);
            break;
        }
    }
    ZqwDbFreeFieldValue(v);
    return out;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\n') out += "\\n";
        else if (c < 0x20 || c == 0x7f) out += '?';
        else out += static_cast<char>(c);
    }
    return out;
}


// --- nodes ---------------------------------------------------------------------

struct NodeEntry {
    std::string name;
    std::vector<std::string> addresses;
    std::string kind = "computer";
    bool snmp = true;
    std::string status = "Normal";
};

struct PlatformFields {
    ZqwFieldId sel, host, is_node, is_computer, is_server, is_client, is_device, is_snmp, is_ip, address, node_id,
        status;
    PlatformFields()
        : sel(field_id("Selection Name")), host(field_id("IP Hostname")), is_node(field_id("isNode")),
          is_computer(field_id("isComputer")), is_server(field_id("isServer")), is_client(field_id("isClient")),
          is_device(field_id("isDevice")), is_snmp(field_id("isSNMPSupported")), is_ip(field_id("isIP")),
          address(field_id("IP Address")), node_id(field_id("TopM Node ID")), status(field_id("IP Status")) {}
};

bool valid_host_name(const std::string& s) {
    if (s.empty() || s.size() > 255) return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c == 0x7f || c == '#') return false;
    return true;
}

bool valid_address(const std::string& s) {
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

// Checks a node; the reason on failure.
std::optional<std::string> check_node(const NodeEntry& n) {
    if (!valid_host_name(n.name)) return "the name must be 1 to 255 characters without blanks, '#' or controls";
    if (n.addresses.empty()) return "a node needs at least one address";
    for (const auto& a : n.addresses)
        if (!valid_address(a)) return "\"" + a + "\" is not a dotted IPv4 address";
    static const std::set<std::string> kinds = {"server", "client", "computer", "device"};
    if (!kinds.count(n.kind)) return "kind \"" + n.kind + "\" is not server, client, computer or device";
    return std::nullopt;
}

ZqwFieldValue boolean(bool b) { return ZqwFieldValue{0, ZQW_BOOL_FIELD, {b ? 1 : 0}}; }

// Creates or updates a node with its IP interface objects.  Throws Exit.
ZqwObjectId write_node(const PlatformFields& F, const NodeEntry& n, bool must_be_new) {
    static std::unordered_map<std::string, int> statuses;
    auto known = statuses.find(n.status);
    int status = known != statuses.end() ? known->second : ZqwDbGetEnumValue(F.status, n.status.c_str());
    if (status < 0) {
        if (ZqwError() == ZQW_E_NOENUM) throw Exit{2, n.name + ": no IP Status \"" + n.status + "\""};
        db_error("IP Status");
    }
    statuses[n.status] = status;
    ZqwFieldValue name{0, ZQW_STRING_FIELD, {0}};
    name.un.string_val = const_cast<char*>(n.name.c_str());
    ZqwFieldValue st{0, ZQW_ENUM_FIELD, {0}};
    st.un.enum_val = status;
    bool computer = n.kind != "device";
    ZqwFieldValue yes = boolean(true), v_computer = boolean(computer), v_server = boolean(n.kind == "server"),
                  v_client = boolean(n.kind == "client"), v_device = boolean(n.kind == "device"),
                  v_snmp = boolean(n.snmp);
    std::vector<ZqwFieldBinding> values = {
        {F.host, &name},         {F.is_node, &yes},      {F.is_computer, &v_computer}, {F.is_server, &v_server},
        {F.is_client, &v_client}, {F.is_device, &v_device}, {F.is_snmp, &v_snmp},       {F.is_ip, &yes},
        {F.status, &st}};

    ZqwObjectId id = ZqwDbSelectionNameToObjectId(n.name.c_str());
    if (ZqwIsIdNull(id) && ZqwError() != ZQW_E_NOOBJECT) db_error(n.name);
    bool is_new = ZqwIsIdNull(id);
    if (!is_new && must_be_new) throw Exit{2, "\"" + n.name + "\" exists (zqtopo import updates nodes)"};
    if (is_new) {
        values.push_back({F.sel, &name});
        ZqwFieldBindList list{static_cast<unsigned>(values.size()), values.data()};
        id = ZqwDbCreateObject(&list);
        if (ZqwIsIdNull(id)) db_error(n.name);
    } else {
        for (const auto& b : values)
            if (ZqwDbSetFieldValue(id, b.field_id, b.value) != 1) db_error(n.name);
    }

    // Interfaces: keep those whose address is still listed, delete the others,
    // create the missing ones.
    std::set<std::string> missing(n.addresses.begin(), n.addresses.end());
    if (!is_new) {
        ZqwFieldValue mine{0, ZQW_INT_FIELD, {static_cast<int32_t>(id)}};
        ZqwObjectIdList* ifs = ZqwDbListObjectsByFieldValue(F.node_id, &mine);
        if (ifs == nullptr) db_error(n.name + " interfaces");
        std::vector<ZqwObjectId> found(ifs->object_ids, ifs->object_ids + ifs->count);
        ZqwDbFreeObjectIdList(ifs);
        for (ZqwObjectId i : found) {
            std::string a = take(ZqwDbGetFieldStringValue(i, F.address));
            if (missing.erase(a) == 0 && ZqwDbDeleteObject(i) != 1) db_error(n.name + " interface");
        }
    }
    for (const auto& a : n.addresses) {
        if (!missing.count(a)) continue;
        missing.erase(a);
        ZqwFieldValue addr{0, ZQW_STRING_FIELD, {0}};
        addr.un.string_val = const_cast<char*>(a.c_str());
        ZqwFieldValue owner{0, ZQW_INT_FIELD, {static_cast<int32_t>(id)}};
        ZqwFieldBinding b[] = {{F.address, &addr}, {F.node_id, &owner}, {F.is_ip, &yes}};
        ZqwFieldBindList list{3, b};
        if (ZqwIsIdNull(ZqwDbCreateObject(&list))) db_error(n.name + " interface " + a);
    }
    return id;
}

// The IP interface objects of a node.
std::vector<ZqwObjectId> interfaces_of(const PlatformFields& F, ZqwObjectId node) {
    ZqwFieldValue mine{0, ZQW_INT_FIELD, {static_cast<int32_t>(node)}};
    ZqwObjectIdList* ifs = ZqwDbListObjectsByFieldValue(F.node_id, &mine);
    if (ifs == nullptr) db_error("interfaces");
    std::vector<ZqwObjectId> v(ifs->object_ids, ifs->object_ids + ifs->count);
    ZqwDbFreeObjectIdList(ifs);
    return v;
}

// conf/hosts: drops the lines that name any of `names` and appends `add` (ADDRESS
// NAME pairs).  The file is replaced through a rename, under a lock, so
// concurrent runs and readers never see half a file.
void update_hosts(const std::unordered_set<std::string>& names_lower,
                  const std::vector<std::pair<std::string, std::string>>& add) {
    std::string path = zq::instance_path("conf/hosts");
    std::string lock_path = zq::instance_path("conf/.hosts.lock");
    // Opened as every file of the instance is: a FIFO or a link in the place of
    // the lock or of conf/hosts is refused, never waited on.  What is written is
    // the owner's alone, whatever the caller's umask.
    std::string why;
    int lock = zq::open_regular(lock_path, O_RDWR | O_CREAT, 0600, &why);
    if (lock < 0) throw Exit{3, "cannot lock " + why};
    if (flock(lock, LOCK_EX) != 0) {
        close(lock);
        throw Exit{3, "cannot lock " + lock_path + ": " + std::strerror(errno)};
    }
    std::string text;
    if (!zq::read_regular(path, text, &why) && errno != ENOENT) {
        close(lock);
        throw Exit{3, "cannot read " + why};
    }
    std::istringstream in(text);
    std::ostringstream out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string w;
        bool drop = false;
        if (words >> w) {
            while (words >> w) {
                std::string l = w;
                std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return std::tolower(c); });
                if (names_lower.count(l)) drop = true;
            }
        }
        if (!drop) out << line << "\n";
    }
    for (const auto& [addr, name] : add) out << addr << " " << name << "\n";
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::string body = out.str();
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && fchmod(fd, 0600) == 0;
        for (size_t off = 0; ok && off < body.size();) {
            ssize_t n = write(fd, body.data() + off, body.size() - off);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) off += static_cast<size_t>(n);
        }
        int e = errno;
        if (fd >= 0 && close(fd) != 0) ok = false;
        if (!ok) {
            std::remove(tmp.c_str());
            close(lock);
            throw Exit{3, "cannot write " + tmp + ": " + std::strerror(e)};
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        close(lock);
        throw Exit{3, "cannot replace " + path + ": " + std::strerror(errno)};
    }
    close(lock);
}

// Refuses, before the database is touched, a conf/hosts or lock that
// update_hosts would refuse, so a refused import or add leaves no node behind.
void check_hosts_file() {
    std::string why, text;
    int lock = zq::open_regular(zq::instance_path("conf/.hosts.lock"), O_RDWR | O_CREAT, 0600, &why);
    if (lock < 0) throw Exit{3, "cannot lock " + why};
    close(lock);
    if (!zq::read_regular(zq::instance_path("conf/hosts"), text, &why) && errno != ENOENT)
        throw Exit{3, "cannot read " + why};
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// --- network file ------------------------------------------------------------------

// The nodes of a network file; bad nodes are reported in errors and left out.
std::vector<NodeEntry> read_network(const std::string& path, std::vector<std::string>& errors) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Exit{2, "cannot read " + path + ": " + std::strerror(errno)};
    json doc = json::parse(in, nullptr, false);
    if (doc.is_discarded()) throw Exit{2, path + ": not valid JSON"};
    if (!doc.is_object() || !doc.contains("nodes") || !doc["nodes"].is_array())
        throw Exit{2, path + ": expected an object with a list \"nodes\""};
    std::vector<NodeEntry> nodes;
    std::unordered_set<std::string> seen;
    size_t index = 0;
    for (const json& j : doc["nodes"]) {
        ++index;
        std::string where = path + ": node " + std::to_string(index);
        NodeEntry n;
        try {
            if (!j.is_object()) throw std::runtime_error("not an object");
            if (!j.contains("name") || !j["name"].is_string()) throw std::runtime_error("\"name\" must be a text");
            n.name = j["name"].get<std::string>();
            where += " (" + printable(n.name) + ")";
            if (!j.contains("addresses") || !j["addresses"].is_array())
                throw std::runtime_error("\"addresses\" must be a list");
            for (const json& a : j["addresses"]) {
                if (!a.is_string()) throw std::runtime_error("every address must be a text");
                n.addresses.push_back(a.get<std::string>());
            }
            if (j.contains("kind") && !j["kind"].is_null()) {
                if (!j["kind"].is_string()) throw std::runtime_error("\"kind\" must be a text");
                n.kind = j["kind"].get<std::string>();
            }
            if (j.contains("snmp") && !j["snmp"].is_null()) {
                if (!j["snmp"].is_boolean()) throw std::runtime_error("\"snmp\" must be true or false");
                n.snmp = j["snmp"].get<bool>();
            }
            if (j.contains("status") && !j["status"].is_null()) {
                if (!j["status"].is_string()) throw std::runtime_error("\"status\" must be a text");
                n.status = j["status"].get<std::string>();
            }
        } catch (const std::exception& e) {
            errors.push_back(where + ": " + e.what());
            continue;
        }
        if (auto why = check_node(n)) {
            errors.push_back(where + ": " + *why);
            continue;
        }
        if (!seen.insert(lower(n.name)).second) {
            errors.push_back(where + ": the name appears twice; the first is imported");
            continue;
        }
        nodes.push_back(std::move(n));
    }
    return nodes;
}

// --- commands ------------------------------------------------------------------------

int cmd_import(const std::vector<std::string>& args) {
    if (args.size() != 1) usage_error("import takes one network file");
    std::vector<std::string> errors;
    std::vector<NodeEntry> nodes = read_network(args[0], errors);
    open_db();
    check_hosts_file();
    PlatformFields F;
    if (!zq::zqw::begin_bulk()) db_error("import");
    std::vector<std::pair<std::string, std::string>> hosts;
    std::unordered_set<std::string> names;
    try {
        for (const auto& n : nodes) {
            try {
                write_node(F, n, false);
            } catch (const Exit& e) {
                if (e.status != 2) throw;
                errors.push_back(args[0] + ": " + n.name + ": " + e.message);
                continue;
            }
            hosts.emplace_back(n.addresses[0], n.name);
            names.insert(lower(n.name));
        }
    } catch (...) {
        zq::zqw::end_bulk(false);
        throw;
    }
    if (!zq::zqw::end_bulk(true)) db_error("import");
    update_hosts(names, hosts);
    for (const auto& e : errors) std::cerr << "zqtopo: " << e << "\n";
    std::cout << "imported " << hosts.size() << " node" << (hosts.size() == 1 ? "" : "s");
    if (!errors.empty()) std::cout << ", " << errors.size() << " rejected";
    std::cout << "\n";
    return errors.empty() ? 0 : 2;
}

int cmd_add(const std::vector<std::string>& args) {
    NodeEntry n;
    n.snmp = false;
    std::vector<std::string> pos;
    int kinds = 0;
    for (const auto& a : args) {
        if (a == "--server" || a == "--client" || a == "--computer" || a == "--device") {
            n.kind = a.substr(2);
            ++kinds;
        } else if (a == "--snmp") {
            n.snmp = true;
        } else if (a.size() > 1 && a[0] == '-') {
            usage_error("unknown option " + a);
        } else {
            pos.push_back(a);
        }
    }
    if (kinds > 1) usage_error("give one of --server, --client, --computer, --device");
    if (pos.size() < 2) usage_error("add needs NAME and at least one ADDRESS");
    n.name = pos[0];
    n.addresses.assign(pos.begin() + 1, pos.end());
    if (auto why = check_node(n)) throw Exit{2, n.name + ": " + *why};
    open_db();
    check_hosts_file();
    PlatformFields F;
    if (!zq::zqw::begin_bulk()) db_error("add");
    ZqwObjectId id = 0;
    try {
        id = write_node(F, n, true);
    } catch (...) {
        zq::zqw::end_bulk(false);
        throw;
    }
    if (!zq::zqw::end_bulk(true)) db_error("add");
    update_hosts({lower(n.name)}, {{n.addresses[0], n.name}});
    std::cout << id << "\n";
    return 0;
}

int cmd_remove(const std::vector<std::string>& args) {
    if (args.size() != 1) usage_error("remove takes one NAME");
    open_db();
    PlatformFields F;
    ZqwObjectId id = resolve(args[0]);
    std::string host = take(ZqwDbObjectIdToHostname(id));
    if (!zq::zqw::begin_bulk()) db_error("remove");
    try {
        for (ZqwObjectId i : interfaces_of(F, id))
            if (ZqwDbDeleteObject(i) != 1) db_error("interface");
        if (ZqwDbDeleteObject(id) != 1) db_error(args[0]);
    } catch (...) {
        zq::zqw::end_bulk(false);
        throw;
    }
    if (!zq::zqw::end_bulk(true)) db_error("remove");
    if (!host.empty()) update_hosts({lower(host)}, {});
    return 0;
}

// The node up or down event, with the node's first interface address as agent.
void send_node_event(const PlatformFields& F, ZqwObjectId id, const std::string& host, bool up) {
    std::string agent;
    for (ZqwObjectId i : interfaces_of(F, id)) {
        std::string a = take(ZqwDbGetFieldStringValue(i, F.address));
        in_addr in{};
        if (inet_pton(AF_INET, a.c_str(), &in) == 1) {
            agent = a;
            break;
        }
    }
    std::string why;
    if (!zq::send_node_event(id, host, agent, up, why))
        throw Exit{3, "IP Status was set, but the node event could not be sent: " + why};
}

int cmd_status(const std::vector<std::string>& args) {
    if (args.size() != 2) usage_error("status takes NAME and STATUS");
    open_db();
    PlatformFields F;
    ZqwObjectId id = resolve(args[0]);
    std::optional<std::string> old = value_text(id, F.status, "IP Status");
    if (ZqwDbSetFieldEnumByName(id, F.status, args[1].c_str()) != 1) {
        if (ZqwError() == ZQW_E_NOENUM) throw Exit{2, "no IP Status \"" + args[1] + "\""};
        db_error("IP Status");
    }
    bool was_down = old && *old == "Critical", is_down = args[1] == "Critical";
    if (was_down != is_down) {
        std::string host = take(ZqwDbObjectIdToHostname(id));
        if (host.empty()) host = args[0];
        send_node_event(F, id, host, !is_down);
    }
    return 0;
}

int cmd_show(const std::vector<std::string>& args) {
    bool as_json = false;
    std::vector<std::string> pos;
    for (const auto& a : args) {
        if (a == "--json") as_json = true;
        else pos.push_back(a);
    }
    if (pos.size() != 1) usage_error("show takes one NAME");
    open_db();
    ZqwObjectId id = resolve(pos[0]);
    std::vector<zq::zqw::FieldInfo> fields;
    if (!zq::zqw::list_fields(fields)) db_error("fields");
    json values = json::object();
    std::ostringstream text;
    for (const auto& f : fields) {
        auto v = value_text(id, f.id, f.name);
        if (!v) continue;
        text << f.name << ": " << printable(*v) << "\n";
        if (f.type == ZQW_BOOL_FIELD) values[f.name] = *v == "TRUE";
        else if (f.type == ZQW_INT_FIELD) values[f.name] = std::stoll(*v);
        else values[f.name] = *v;
    }
    if (as_json) {
        json doc = {{"id", id}, {"fields", values}};
        std::cout << doc.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    } else {
        std::cout << text.str();
    }
    return 0;
}

int cmd_get(const std::vector<std::string>& args) {
    if (args.size() != 2) usage_error("get takes NAME and FIELD");
    open_db();
    ZqwObjectId id = resolve(args[0]);
    ZqwFieldId f = field_id(args[1]);
    auto v = value_text(id, f, args[1]);
    if (!v) return 1;
    std::cout << *v << "\n";
    return 0;
}

int cmd_id(const std::vector<std::string>& args) {
    if (args.size() != 1) usage_error("id takes one NAME");
    open_db();
    std::cout << resolve(args[0]) << "\n";
    return 0;
}

// FIELD=VALUE conditions as a binding list; string records point into `values`.
struct Conditions {
    std::deque<std::string> values;  // a deque: its texts never move
    std::vector<ZqwFieldValue> records;
    std::vector<ZqwFieldBinding> bindings;
    ZqwFieldBindList list() {
        for (size_t i = 0; i < bindings.size(); ++i) bindings[i].value = &records[i];
        return ZqwFieldBindList{static_cast<unsigned>(bindings.size()), bindings.data()};
    }
};

void add_conditions(Conditions& c, const std::vector<std::string>& args) {
    for (const auto& a : args) {
        auto eq = a.find('=');
        if (eq == std::string::npos || eq == 0) usage_error("\"" + a + "\" is not FIELD=VALUE");
        std::string name = a.substr(0, eq);
        c.values.push_back(a.substr(eq + 1));
        ZqwFieldId f = field_id(name);
        c.records.push_back(to_record(f, name, c.values.back()));
        c.bindings.push_back({f, nullptr});
    }
}

std::vector<ZqwObjectId> matching(Conditions& c, const char* what) {
    ZqwFieldBindList list = c.list();
    ZqwObjectIdList* found = ZqwDbListObjectsByFieldValues(&list);
    if (found == nullptr) {
        if (ZqwError() == ZQW_E_NOENUM) throw Exit{2, "no such enumeration value"};
        db_error(what);
    }
    std::vector<ZqwObjectId> ids(found->object_ids, found->object_ids + found->count);
    ZqwDbFreeObjectIdList(found);
    return ids;
}

int cmd_find(const std::vector<std::string>& args) {
    if (args.empty()) usage_error("find needs at least one FIELD=VALUE");
    open_db();
    Conditions c;
    add_conditions(c, args);
    std::vector<ZqwObjectId> ids = matching(c, "find");
    ZqwFieldId sel = field_id("Selection Name");
    std::ostringstream out;
    for (ZqwObjectId id : ids) {
        char* name = ZqwDbGetFieldStringValue(id, sel);
        out << id << " " << printable(name ? name : "") << "\n";
        std::free(name);
    }
    std::cout << out.str();
    return ids.empty() ? 1 : 0;
}

// A field that an instance may lack (the integration's): the null id then.
ZqwFieldId optional_field(const char* name) {
    ZqwFieldId f = ZqwDbFieldNameToFieldId(name);
    if (ZqwIsIdNull(f) && ZqwError() != ZQW_E_NOFIELD) db_error(name);
    return f;
}

std::optional<std::string> optional_value(ZqwObjectId o, ZqwFieldId f, const char* name) {
    if (ZqwIsIdNull(f)) return std::nullopt;
    auto v = value_text(o, f, name);
    if (v && v->empty()) return std::nullopt;
    return v;
}

// One line of `zqtopo nodes`.
struct NodeRow {
    ZqwObjectId id = 0;
    std::string name, address, kind, status;
    std::optional<std::string> sys_class, os, web, condition, board;
};

// The text of a row's column by its name in the header (lower case), as the
// line shows it ("-" for none); null for a name that is no column.
std::optional<std::string> column_text(const NodeRow& r, const std::string& column) {
    auto dash = [](const std::optional<std::string>& v) { return v ? *v : std::string("-"); };
    if (column == "name") return r.name;
    if (column == "address") return r.address.empty() ? "-" : r.address;
    if (column == "kind") return r.kind;
    if (column == "status") return r.status;
    if (column == "class") return dash(r.sys_class);
    if (column == "os") return dash(r.os);
    if (column == "web") return dash(r.web);
    if (column == "condition") return dash(r.condition);
    if (column == "board") return dash(r.board);
    return std::nullopt;
}

int cmd_nodes(const std::vector<std::string>& args) {
    bool as_json = false;
    std::vector<std::string> conds;
    // Conditions on what the line shows rather than on the node object: a
    // column by its header name, or a field of the web subsystem object
    // (trvSubSysType, trvDeviceStatus), which the WEB and CONDITION columns show.
    std::vector<std::pair<std::string, std::string>> shown;
    for (const auto& a : args) {
        if (a == "--json") {
            as_json = true;
            continue;
        }
        auto eq = a.find('=');
        std::string key = eq == std::string::npos ? a : a.substr(0, eq);
        if (eq != std::string::npos && column_text(NodeRow{}, key))
            shown.push_back({key, a.substr(eq + 1)});
        else if (eq != std::string::npos && (key == "trvSubSysType" || key == "trvDeviceStatus"))
            shown.push_back({key == "trvSubSysType" ? "web" : "condition", a.substr(eq + 1)});
        else
            conds.push_back(a);
    }
    open_db();
    PlatformFields F;
    Conditions c;
    add_conditions(c, {"isNode=TRUE"});
    add_conditions(c, conds);
    for (const auto& [column, want] : shown) {
        const char* field = column == "web" ? "trvSubSysType" : column == "condition" ? "trvDeviceStatus" : nullptr;
        if (field == nullptr || want == "-") continue;
        ZqwFieldId f = field_id(field);
        if (ZqwDbGetEnumValue(f, want.c_str()) == -1) throw Exit{2, "no such enumeration value: " + want};
    }
    std::vector<ZqwObjectId> ids = matching(c, "nodes");
    std::sort(ids.begin(), ids.end());

    ZqwFieldId sys = optional_field("trvSysType"), os = optional_field("trvOsType"),
               sub = optional_field("trvSubSysType"), cond = optional_field("trvDeviceStatus"),
               owner = optional_field("trvNodeObjId"), board = optional_field("trvRIXENip");
    std::vector<NodeRow> rows;
    rows.reserve(ids.size());
    for (ZqwObjectId id : ids) {
        NodeRow r;
        r.id = id;
        r.name = value_text(id, F.sel, "Selection Name").value_or("");
        if (r.name.empty()) r.name = value_text(id, F.host, "IP Hostname").value_or(std::to_string(id));
        // The first interface made is the node's first address.
        std::vector<ZqwObjectId> ifs = interfaces_of(F, id);
        std::sort(ifs.begin(), ifs.end());
        for (ZqwObjectId i : ifs) {
            auto a = value_text(i, F.address, "IP Address");
            if (a && !a->empty()) {
                r.address = *a;
                break;
            }
        }
        auto flag = [&](ZqwFieldId f, const char* n) { return value_text(id, f, n).value_or("") == "TRUE"; };
        r.kind = flag(F.is_device, "isDevice")   ? "device"
                 : flag(F.is_server, "isServer") ? "server"
                 : flag(F.is_client, "isClient") ? "client"
                 : flag(F.is_computer, "isComputer") ? "computer"
                                                     : "node";
        r.status = value_text(id, F.status, "IP Status").value_or("");
        r.sys_class = optional_value(id, sys, "trvSysType");
        r.os = optional_value(id, os, "trvOsType");
        r.board = optional_value(id, board, "trvRIXENip");
        // The web subsystem object: the one whose kind names the web agent.
        if (!ZqwIsIdNull(owner) && !ZqwIsIdNull(sub)) {
            ZqwFieldValue mine{0, ZQW_INT_FIELD, {static_cast<int32_t>(id)}};
            ZqwObjectIdList* objs = ZqwDbListObjectsByFieldValue(owner, &mine);
            if (objs == nullptr) db_error("trvNodeObjId");
            std::vector<ZqwObjectId> subs(objs->object_ids, objs->object_ids + objs->count);
            ZqwDbFreeObjectIdList(objs);
            std::sort(subs.begin(), subs.end());
            for (ZqwObjectId s : subs) {
                auto kind = optional_value(s, sub, "trvSubSysType");
                if (!kind || (*kind != "WEB_ENABLED" && *kind != "WEB_DISABLED")) continue;
                r.web = kind;
                r.condition = optional_value(s, cond, "trvDeviceStatus");
                break;
            }
        }
        bool keep = true;
        for (const auto& [column, want] : shown) keep = keep && column_text(r, column) == want;
        if (keep) rows.push_back(std::move(r));
    }

    std::ostringstream out;
    if (as_json) {
        for (const auto& r : rows) {
            json j = {{"id", r.id}, {"name", r.name}, {"address", r.address}, {"kind", r.kind}, {"status", r.status}};
            if (r.sys_class) j["class"] = *r.sys_class;
            if (r.os) j["os"] = *r.os;
            if (r.web) j["web"] = *r.web;
            if (r.condition) j["condition"] = *r.condition;
            if (r.board) j["board"] = *r.board;
            out << j.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
        }
    } else if (!rows.empty()) {
        std::vector<std::vector<std::string>> table = {
            {"NAME", "ADDRESS", "KIND", "STATUS", "CLASS", "OS", "WEB", "CONDITION", "BOARD"}};
        auto dash = [](const std::optional<std::string>& v) { return v ? printable(*v) : std::string("-"); };
        for (const auto& r : rows)
            table.push_back({printable(r.name), r.address.empty() ? "-" : r.address, r.kind, r.status,
                             dash(r.sys_class), dash(r.os), dash(r.web), dash(r.condition), dash(r.board)});
        std::vector<size_t> width(table[0].size(), 0);
        for (const auto& line : table)
            for (size_t k = 0; k < line.size(); ++k) width[k] = std::max(width[k], line[k].size());
        for (const auto& line : table) {
            std::string text;
            for (size_t k = 0; k < line.size(); ++k) {
                text += line[k];
                if (k + 1 < line.size()) text += std::string(width[k] - line[k].size() + 2, ' ');
            }
            out << text << "\n";
        }
    }
    std::cout << out.str();
    return rows.empty() ? 1 : 0;
}

int cmd_set(const std::vector<std::string>& args) {
    if (args.size() != 3) usage_error("set takes NAME, FIELD and VALUE");
    open_db();
    ZqwObjectId id = resolve(args[0]);
    ZqwFieldId f = field_id(args[1]);
    ZqwFieldValue v = to_record(f, args[1], args[2]);
    if (ZqwDbSetFieldValue(id, f, &v) != 1) db_error(args[1]);
    return 0;
}

int cmd_unset(const std::vector<std::string>& args) {
    if (args.size() != 2) usage_error("unset takes NAME and FIELD");
    open_db();
    ZqwObjectId id = resolve(args[0]);
    ZqwFieldId f = field_id(args[1]);
    if (ZqwDbUnsetFieldValue(id, f) != 1) db_error(args[1]);
    return 0;
}

int cmd_fields(const std::vector<std::string>& args) {
    if (!args.empty()) usage_error("fields takes no arguments");
    open_db();
    std::vector<zq::zqw::FieldInfo> fields;
    if (!zq::zqw::list_fields(fields)) db_error("fields");
    for (const auto& f : fields) {
        std::cout << "field " << zq::quoted(f.name) << " " << zq::zqw::type_name(f.type);
        for (const auto& v : f.values) std::cout << " " << zq::quoted(v);
        std::cout << "\n";
    }
    return 0;
}

// --- maps ------------------------------------------------------------------------

// The result of a map call: the map, or the refusal as the exit status (a
// refused or unknown map 2, the database 3).
const zq::zqw::MapRow& map_or_exit(const zq::zqw::MapOutcome& o) {
    if (!o.ok()) throw Exit{o.status == 500 ? 3 : 2, o.error};
    return o.map;
}

// --json among args: removed, and told.
bool take_flag(std::vector<std::string>& args, const char* flag) {
    auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end()) return false;
    args.erase(it);
    return true;
}

std::string filter_text(const zq::zqw::MapRow& m) {
    std::string s;
    for (const auto& [f, v] : m.filter) s += " " + zq::quoted(f + "=" + v);
    return s;
}

int cmd_maps(const std::vector<std::string>& argv) {
    std::vector<std::string> args(argv);
    bool as_json = take_flag(args, "--json");
    if (!args.empty()) usage_error("maps takes only --json");
    open_db();
    std::vector<zq::zqw::MapRow> maps;
    if (!zq::zqw::list_maps(maps)) db_error("maps");
    uint32_t apps = zq::zqw::applications_map();
    if (apps == 0) db_error("the applications' map");
    if (as_json) {
        json list = json::array();
        for (const auto& m : maps) {
            json j = zq::zqw::map_json(m);
            j["applications"] = m.id == apps;
            list.push_back(j);
        }
        std::cout << json{{"maps", list}, {"applications", apps}}.dump(2, ' ', false, json::error_handler_t::replace)
                  << "\n";
        return 0;
    }
    std::ostringstream out;
    for (const auto& m : maps)
        out << m.id << " " << zq::quoted(m.name) << (m.read_only ? " read-only" : " writable")
            << (m.id == apps ? " applications" : "") << filter_text(m) << "\n";
    std::cout << out.str();
    return 0;
}

// map create NAME [FIELD=VALUE...] [--read-only], map rename MAP NAME, map
// read-only MAP, map writable MAP, map delete MAP, map use MAP (--json each).
int cmd_map(const std::vector<std::string>& argv) {
    std::vector<std::string> args(argv);
    bool as_json = take_flag(args, "--json");
    if (args.empty()) usage_error("map needs create, rename, read-only, writable, delete or use");
    std::string verb = args[0];
    args.erase(args.begin());
    auto want = [&](size_t n, const char* form) {
        if (args.size() != n) usage_error(std::string("usage: zqtopo map ") + form);
    };
    zq::zqw::MapOutcome o;
    std::string done;
    if (verb == "create") {
        bool read_only = take_flag(args, "--read-only");
        if (args.empty()) usage_error("usage: zqtopo map create NAME [FIELD=VALUE...] [--read-only] [--json]");
        zq::zqw::MapFilter filter;
        for (size_t i = 1; i < args.size(); ++i) {
            auto eq = args[i].find('=');
            if (eq == std::string::npos || eq == 0) usage_error("\"" + args[i] + "\" is not FIELD=VALUE");
            filter.emplace_back(args[i].substr(0, eq), args[i].substr(eq + 1));
        }
        open_db();
        o = zq::zqw::make_map(args[0], filter, read_only);
        done = "made";
    } else if (verb == "rename") {
        want(2, "rename MAP NEW-NAME [--json]");
        open_db();
        uint32_t id = map_or_exit(zq::zqw::map_named(args[0])).id;
        o = zq::zqw::rename_map_to(id, args[1]);
        done = "renamed";
    } else if (verb == "read-only" || verb == "writable") {
        want(1, (verb + " MAP [--json]").c_str());
        open_db();
        uint32_t id = map_or_exit(zq::zqw::map_named(args[0])).id;
        o = zq::zqw::mark_map_read_only(id, verb == "read-only");
        done = verb;
    } else if (verb == "delete") {
        want(1, "delete MAP [--json]");
        open_db();
        o = zq::zqw::remove_map(map_or_exit(zq::zqw::map_named(args[0])).id);
        done = "deleted";
    } else if (verb == "use") {
        want(1, "use MAP [--json]");
        open_db();
        o = zq::zqw::choose_applications_map(map_or_exit(zq::zqw::map_named(args[0])).id);
        done = "is the applications' map";
    } else {
        usage_error("unknown map command \"" + verb + "\"");
    }
    const zq::zqw::MapRow& m = map_or_exit(o);
    if (as_json)
        std::cout << json{{"map", zq::zqw::map_json(m)}}.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    else
        std::cout << "map " << m.id << " " << zq::quoted(m.name) << " " << done << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    if (std::find(args.begin(), args.end(), "--help") != args.end() || args[0] == "-h" || args[0] == "help") {
        std::cout << kUsage;
        return 0;
    }
    static const std::map<std::string, int (*)(const std::vector<std::string>&)> commands = {
        {"import", cmd_import}, {"add", cmd_add},   {"remove", cmd_remove}, {"status", cmd_status},
        {"show", cmd_show},     {"get", cmd_get},   {"id", cmd_id},         {"find", cmd_find}, {"nodes", cmd_nodes},
        {"set", cmd_set},       {"unset", cmd_unset}, {"fields", cmd_fields}, {"maps", cmd_maps},
        {"map", cmd_map}};
    auto it = commands.find(args[0]);
    int status = 0;
    try {
        if (it == commands.end()) usage_error("unknown command \"" + args[0] + "\"");
        status = it->second(std::vector<std::string>(args.begin() + 1, args.end()));
    } catch (const Exit& e) {
        std::cerr << "zqtopo: " << e.message << "\n";
        status = e.status;
    } catch (const std::exception& e) {
        std::cerr << "zqtopo: " << e.what() << "\n";
        status = 3;
    }
    std::cout.flush();
    ZqwDbDone();
    return status;
}
