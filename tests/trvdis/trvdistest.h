// What the trvdis tests share: a platform instance with agentsim, zqspmd and
// trapd for real, trvdis under zqspmd, and the database read in-process
// through zqw.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "trvlib.h"
#include "zqoid.h"
#include "zqsnmp.h"
#include "zqw.h"

namespace trvdistest {

using zqtest::bin;
using zqtest::Process;
using zqtest::RunResult;

inline const std::string kEnt = ZQ_ENT_TEXT;
inline const std::string kZent = ZQ_ZENT_TEXT;

// One node of a network file; mib entries are JSON text: "\"OID\": [\"TYPE\", VALUE]".
struct Node {
    std::string name;
    std::vector<std::string> addresses;
    std::string kind = "server";
    std::vector<std::string> mib;
    bool web = false;
    bool silent = false;
    bool web_hang = false;  // a web port that accepts and never answers
    std::string status = "Normal";
};

// The MIB of a vendor node: sysObjectID, condition code, and optionally the
// version text and the board address.
inline std::vector<std::string> vendor_mib(const std::string& sys_object, const std::string& condition_hex,
                                           const std::string& version = "", const std::string& board = "") {
    std::vector<std::string> mib = {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"" + sys_object + "\"]",
                                    "\"1.3.6.1.2.1.1.3.0\": [\"TIMETICKS\", 100]"};
    if (!condition_hex.empty()) mib.push_back("\"ENT.11.2.10.1.0\": [\"HEX\", \"" + condition_hex + "\"]");
    if (!version.empty()) mib.push_back("\"ENT.11.2.2.2.0\": [\"STRING\", \"" + version + "\"]");
    if (!board.empty()) mib.push_back("\"ENT.9.2.5.1.1.5.2\": [\"IPADDRESS\", \"" + board + "\"]");
    return mib;
}

inline std::string network_json(const std::vector<Node>& nodes) {
    std::ostringstream out;
    out << "{ \"nodes\": [\n";
    for (size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        out << "  { \"name\": \"" << n.name << "\", \"addresses\": [";
        for (size_t k = 0; k < n.addresses.size(); ++k) out << (k ? ", " : "") << "\"" << n.addresses[k] << "\"";
        out << "], \"kind\": \"" << n.kind << "\", \"snmp\": true, \"status\": \"" << n.status
            << "\", \"community\": [\"public\", \"nimbus\"], \"silent\": " << (n.silent ? "true" : "false")
            << ", \"web_agent\": " << (n.web_hang ? "\"hang\"" : n.web ? "true" : "false") << ", \"mib\": {";
        for (size_t k = 0; k < n.mib.size(); ++k) out << (k ? ", " : "") << n.mib[k];
        out << "} }" << (i + 1 < nodes.size() ? "," : "") << "\n";
    }
    out << "] }\n";
    return out.str();
}

// The rules every scenario starts from (the shipped file's first three).
inline std::string default_rules(int interval = 30, int iteration = 10) {
    return "DiscoveryInterval: " + std::to_string(interval) +
           "\nRe-DiscoveryIntervalIteration: " + std::to_string(iteration) +
           "\n"
           "Server:ntentsrvr:1.3.6.1.2.1.1.2.0 OID \"." + kEnt + ".1.1.1.2\"\n"
           "Server:ntsrvr:1.3.6.1.2.1.1.2.0 OID \"." + kEnt + ".1.1.1.1\"\n"
           "Desktop:ntwkstn:1.3.6.1.2.1.1.2.0 OID \"." + kEnt + ".1.1.2.1\"\n";
}

// ---------------------------------------------------------------------------
// The database, read in this process
// ---------------------------------------------------------------------------

// Opens (again) the database of the active instance.
inline void open_db() { ASSERT_EQ(ZqwDbInit(), 0) << ZqwErrorMsg(ZqwError()); }

// The database opened as the named program opens it when it calls the
// integration's routines in-process: its log name, debug level 0, the field
// registry resolved.
inline void open_as_program(const char* name) {
    open_db();
    szProgramName = name;
    uiDebugLevel = 0;
    ASSERT_EQ(iGetFieldIds(), 1);
}

inline ZqwObjectId node_id(const std::string& host) { return ZqwDbHostnameToObjectId(host.c_str()); }

// A field's value as zqtopo prints it, or "<none>".
inline std::string value(ZqwObjectId object, const std::string& field) {
    ZqwFieldId f = ZqwDbFieldNameToFieldId(field.c_str());
    ZqwFieldValue* v = ZqwDbGetFieldValue(object, f);
    if (v == nullptr) return "<none>";
    std::string text;
    switch (v->field_type) {
    case ZQW_INT_FIELD: text = std::to_string(v->un.int_val); break;
    case ZQW_BOOL_FIELD: text = v->un.bool_val ? "TRUE" : "FALSE"; break;
    case ZQW_STRING_FIELD: text = v->un.string_val ? v->un.string_val : ""; break;
    case ZQW_ENUM_FIELD: {
        char* name = ZqwDbGetFieldEnumByName(object, f);
        text = name ? name : "?";
        free(name);
        break;
    }
    }
    ZqwDbFreeFieldValue(v);
    return text;
}
inline std::string value(const std::string& host, const std::string& field) { return value(node_id(host), field); }

inline void set_enum(ZqwObjectId object, const char* field, const char* name) {
    ASSERT_EQ(ZqwDbSetFieldEnumByName(object, ZqwDbFieldNameToFieldId(field), name), 1) << field;
}
inline void set_bool(ZqwObjectId object, const char* field, int v) {
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(object, ZqwDbFieldNameToFieldId(field), v), 1) << field;
}
inline void set_string(ZqwObjectId object, const char* field, const char* v) {
    ASSERT_EQ(ZqwDbSetFieldStringValue(object, ZqwDbFieldNameToFieldId(field), v), 1) << field;
}
inline void set_int(ZqwObjectId object, const char* field, int v) {
    ASSERT_EQ(ZqwDbSetFieldIntegerValue(object, ZqwDbFieldNameToFieldId(field), v), 1) << field;
}

// The subsystem objects of a node (trvNodeObjId), in id order.
inline std::vector<ZqwObjectId> subsystems(ZqwObjectId node) {
    ZqwFieldValue v{};
    v.field_type = ZQW_INT_FIELD;
    v.un.int_val = static_cast<int32_t>(node);
    std::vector<ZqwObjectId> ids;
    ZqwObjectIdList* list = ZqwDbListObjectsByFieldValue(ZqwDbFieldNameToFieldId("trvNodeObjId"), &v);
    if (list == nullptr) return ids;
    for (unsigned i = 0; i < list->count; ++i) ids.push_back(list->object_ids[i]);
    ZqwDbFreeObjectIdList(list);
    return ids;
}

// A web subsystem object as trvdis makes it.
inline ZqwObjectId make_subsystem(ZqwObjectId node, const char* kind, const char* status = nullptr) {
    ZqwObjectId id = ZqwDbCreateObject(nullptr);
    EXPECT_NE(id, 0u);
    set_bool(id, "isComputer", 0);
    set_bool(id, "isDevice", 1);
    set_enum(id, "trvSubSysType", kind);
    set_int(id, "trvNodeObjId", static_cast<int>(node));
    if (status) set_enum(id, "trvDeviceStatus", status);
    return id;
}

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

// Sends an internal event carrying INTEGER ids, as trvmap does.
inline void send_ids(int specific, const std::vector<int>& ids) {
    const TrvEventDef* def = pGetEventDef(specific);
    ASSERT_NE(def, nullptr);
    ZqPdu* pdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    const ZqOid name[] = {1};
    for (int id : ids) ASSERT_NE(ZqsnmpAddTypedVarBind(pdu, name, 1, ZQ_ASN_INTEGER, &id, sizeof id), nullptr);
    EXPECT_EQ(iSendInternalEvent(pdu, def->aEnterprise, TRV_EVENT_OID_LEN, 6, specific), 1);
    ZqsnmpFreePdu(pdu);
}

// snmpnotify with bindings "OID TYPE VALUE ...".
inline void notify(const zqtest::Env& env, const std::string& trap_id, const std::vector<std::string>& bindings) {
    std::vector<std::string> argv = {bin("snmpnotify"), "127.0.0.1", trap_id};
    argv.insert(argv.end(), bindings.begin(), bindings.end());
    RunResult r = zqtest::run(argv, env);
    ASSERT_EQ(r.status, 0) << r.err;
}

// A platform node event for a node (ZENT.2.17.1, up or down).
inline void node_event(const zqtest::Env& env, const std::string& host, ZqwObjectId id, bool up = false) {
    std::string o = kZent + ".2.17.1";
    notify(env, o + ".0." + (up ? "58916864" : "58916865"),
           {o, "octetstring", host, o, "octetstring", up ? "Node Up" : "Node Down", o, "octetstring",
            std::to_string(id)});
}

// ---------------------------------------------------------------------------
// A running platform with trvdis
// ---------------------------------------------------------------------------

struct Platform {
    zqtest::Instance inst;
    std::string net;
    std::unique_ptr<Process> agents, pmd;

    // rules: the text of trvconfig.dat; snmp_extra: lines put before the line "*".
    Platform(const std::vector<Node>& nodes, const std::string& rules, const std::string& snmp_extra = "",
             double timeout = 0.4, int retries = 0) {
        inst.activate();
        net = inst.dir.path + "/net.json";
        zqtest::write_file(net, network_json(nodes));
        zqtest::write_file(inst.root + "/conf/c/trv/trvconfig.dat", rules);
        std::ostringstream t;
        t << timeout;
        zqtest::write_file(inst.root + "/conf/snmp.conf", snmp_extra + "* community=public port=" +
                                                               std::to_string(inst.snmp_port) +
                                                               " timeout=" + t.str() +
                                                               " retries=" + std::to_string(retries) + "\n");
        RunResult r = zqtest::run({bin("zqtopo"), "import", net}, env());
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        zqtest::write_file(inst.root + "/conf/zqsuf",
                           "trapd " + bin("trapd") + "\ntrvdis " + bin("trvdis") + " -dl 1\n");
        open_db();
    }
    ~Platform() {
        if (pmd) zqtest::run({bin("zqstop")}, env(), "", 30000);
    }

    zqtest::Env env() const { return inst.env(); }
    std::string root() const { return inst.root; }

    void start_agents() {
        agents = std::make_unique<Process>(std::vector<std::string>{bin("agentsim"), net, "--console-port", "0"}, env());
        ASSERT_TRUE(agents->wait_for_out("serving", 10000)) << agents->err();
    }
    // Rewrites the network file and has agentsim read it again.
    void reload(const std::vector<Node>& nodes) {
        std::string before = agents->out();
        size_t n = 0;
        for (size_t p = before.find("reloaded"); p != std::string::npos; p = before.find("reloaded", p + 1)) ++n;
        zqtest::write_file(net, network_json(nodes));
        kill(agents->pid(), SIGHUP);
        ASSERT_TRUE(zqtest::wait_until(
            [&] {
                std::string out = agents->out();
                size_t m = 0;
                for (size_t p = out.find("reloaded"); p != std::string::npos; p = out.find("reloaded", p + 1)) ++m;
                return m > n;
            },
            10000));
    }
    void start_pm(const zqtest::Env& extra = {}) {
        zqtest::Env e = env();
        e.insert(e.end(), extra.begin(), extra.end());
        pmd = std::make_unique<Process>(std::vector<std::string>{bin("zqspmd"), "--stop-grace", "20"}, e);
        ASSERT_TRUE(zqtest::wait_until([&] { return zqtest::run({bin("zqstatus")}, env()).status == 0; }, 10000));
    }
    RunResult zqstart(const std::vector<std::string>& names = {}) {
        std::vector<std::string> argv = {bin("zqstart")};
        argv.insert(argv.end(), names.begin(), names.end());
        return zqtest::run(argv, env());
    }
    RunResult zqstop(const std::vector<std::string>& names) {
        std::vector<std::string> argv = {bin("zqstop")};
        argv.insert(argv.end(), names.begin(), names.end());
        return zqtest::run(argv, env(), "", 60000);
    }
    // A process as zqstatus shows it.
    struct ProcStatus {
        std::string pid, state, exit, text;
    };
    ProcStatus status(const std::string& name) {
        std::istringstream lines(zqtest::run({bin("zqstatus")}, env()).out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string n;
            ProcStatus st;
            words >> n >> st.pid >> st.state >> st.exit;
            if (n != name) continue;
            std::getline(words, st.text);
            size_t start = st.text.find_first_not_of(' ');
            st.text = start == std::string::npos ? "" : st.text.substr(start);
            return st;
        }
        return {};
    }
    // Waits until the process no longer runs (or was never started).
    ProcStatus wait_ended(const std::string& name, int timeout_ms = 30000) {
        ProcStatus st;
        zqtest::wait_until(
            [&] {
                st = status(name);
                return st.state != "RUNNING";
            },
            timeout_ms, 100);
        return st;
    }
    std::string error_log() const { return zqtest::read_file(inst.root + "/temp/vtmzqerr.log"); }
    std::string trapd_log() const { return zqtest::read_file(inst.root + "/log/trapd.log"); }
    std::string daemon_out() const { return zqtest::read_file(inst.root + "/log/trvdis.out"); }

    // How many events of one number trapd has seen for one node id.
    int events(int specific, ZqwObjectId id) const {
        std::string log = trapd_log();
        std::string a = "specific=" + std::to_string(specific) + " ", b = "INTEGER " + std::to_string(id) + "]";
        int n = 0;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
        return n;
    }
    // The ids of EVT_NODE_CHANGED events in the order trapd saw them.
    std::vector<ZqwObjectId> changed_order() const {
        std::vector<ZqwObjectId> ids;
        std::istringstream lines(trapd_log());
        for (std::string line; std::getline(lines, line);) {
            if (line.find("specific=3002 ") == std::string::npos) continue;
            size_t p = line.rfind("INTEGER ");
            if (p != std::string::npos) ids.push_back(static_cast<ZqwObjectId>(std::stoul(line.substr(p + 8))));
        }
        return ids;
    }
    bool wait_events(int specific, ZqwObjectId id, int count, int timeout_ms = 30000) const {
        return zqtest::wait_until([&] { return events(specific, id) >= count; }, timeout_ms, 50);
    }
    bool marker() { return !ZqwIsIdNull(ZqwDbSelectionNameToObjectId(TRV_RUNNING_MARKER)); }
};

}  // namespace trvdistest
