// trvdis under zqspmd against agentsim and Debian's snmpd: the first pass
// classifies every kind of node by the rules, keeps one web subsystem object
// per vendor node with its condition, and leaves silent and unmanaged nodes
// alone; later requests follow the web agent as it comes and goes.
#include <sys/stat.h>
#include <unistd.h>

#include "trvdistest.h"

namespace {

using namespace trvdistest;

const std::string kRules = default_rules() +
                           // A three-character value never matches a four-character answer.
                           "Server:lin3:" + kEnt + ".11.2.2.4.0 STRING \"Lin\"\n"
                           "Server:linux:" + kEnt + ".11.2.2.4.0 STRING \"Linu\"\n"
                           // Matches srvB too, but stands after the rule that wins.
                           "Desktop:second:1.3.6.1.2.1.1.2.0 OID \"." + kEnt + ".1.1.1.1\"\n"
                           "Server:netware:" + kEnt + ".11.2.2.1.0 INTEGER \"3\"\n";

const std::string kForeign = "1.3.6.1.4.1.8072.3.2.10";

std::vector<Node> network(bool a_web, bool b_web, bool lin_silent) {
    std::vector<Node> n;
    n.push_back({"srvA", {"127.0.51.1"}, "server", vendor_mib("ENT.1.1.1.2", "0102", "5.0", "16.0.0.5"), a_web});
    n.push_back({"srvB", {"127.0.51.2"}, "server", vendor_mib("ENT.1.1.1.1", "0103"), b_web});
    n.push_back({"deskXP", {"127.0.51.3"}, "client", vendor_mib("ENT.1.1.2.1", "0104", "5.1"), true});
    n.push_back({"desk2K", {"127.0.51.4"}, "client", vendor_mib("ENT.1.1.2.1", "0101", "5.0")});
    n.push_back({"deskNT", {"127.0.51.5"}, "client", vendor_mib("ENT.1.1.2.1", "0100", "4.0")});
    Node lin{"srvLin", {"127.0.51.6"}, "server", vendor_mib(kForeign, "0105")};
    lin.mib.push_back("\"ENT.11.2.2.4.0\": [\"STRING\", \"Linu\"]");
    lin.silent = lin_silent;
    n.push_back(lin);
    n.push_back({"other", {"127.0.51.7"}, "computer", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.64099.2.1\"]"}});
    Node silent{"silent", {"127.0.51.8"}, "server", vendor_mib("ENT.1.1.1.1", "0102")};
    silent.silent = true;
    n.push_back(silent);
    Node unm{"unm", {"127.0.51.9"}, "server", vendor_mib("ENT.1.1.1.1", "0102")};
    unm.status = "Unmanaged";
    n.push_back(unm);
    n.push_back({"nomatch", {"127.0.51.10"}, "server", vendor_mib("ENT.1.1.9.9", "0102")});
    n.push_back({"short", {"127.0.51.11"}, "server", vendor_mib("ENT.1.1.1.1", "01")});
    Node nw{"nw", {"127.0.51.12"}, "server", vendor_mib(kForeign, "0102")};
    nw.mib.push_back("\"ENT.11.2.2.1.0\": [\"INTEGER\", 3]");
    n.push_back(nw);
    return n;
}

// How often one pass hands a node to the per-node step.
int handlings(ZqwObjectId id) {
    int n = 0;
    for (const char* f : {"isServer", "isClient", "isComputer"}) n += value(id, f) == "TRUE";
    return n;
}

// The kind and status of a node's only subsystem object.
std::string web_object(const std::string& host) {
    std::vector<ZqwObjectId> objs = subsystems(node_id(host));
    if (objs.size() != 1) return "objects: " + std::to_string(objs.size());
    return value(objs[0], "trvSubSysType") + " " + value(objs[0], "trvDeviceStatus");
}

TEST(TrvdisDiscovery, ClassifiesTheNetworkAndFollowsTheWebAgent) {
    int snmpd_port = zqtest::free_udp_port();
    Platform p(network(true, false, false), kRules,
               "127.0.51.20 port=" + std::to_string(snmpd_port) +
                   " timeout=2 retries=1 version=3 user=trv level=authPriv auth=SHA-256 priv=AES\n");
    // Debian's snmpd as one real vendor node, which answers SNMPv3 only (its user
    // authPriv), so that the node is classified over SNMPv3.
    std::string users = p.inst.root + "/conf/snmpv3.users";
    zqtest::write_file(users, "trv authpass=trv-auth-phrase privpass=trv-priv-phrase\n");
    chmod(users.c_str(), 0600);
    std::unique_ptr<Process> snmpd = zqtest::start_snmpd(
        p.inst.dir.path, snmpd_port,
        "createUser trv SHA-256 trv-auth-phrase AES trv-priv-phrase\n"
        "rouser trv priv\n"
        "override .1.3.6.1.2.1.1.2.0 object_id ." + kEnt + ".1.1.1.1\noverride ." + kEnt +
            ".11.2.10.1.0 octet_str 0x0104\noverride ." + kEnt + ".9.2.5.1.1.5.2 octet_str 0x10000009\n",
        "127.0.51.20");
    ASSERT_FALSE(HasFailure());
    if (snmpd) {
        ASSERT_EQ(zqtest::run({bin("zqtopo"), "add", "snmpd1", "127.0.51.20", "--server", "--snmp"}, p.env()).status,
                  0);
    }

    // What an earlier life left: a non-vendor node with vendor fields and an
    // object, and a desktop whose web object shows "Warning".
    ZqwObjectId other = node_id("other");
    set_string(other, "trvOsType", "ntsrvr");
    set_bool(other, "isTrvVantor", 1);
    set_bool(other, "isTrvRIXEN", 1);
    set_string(other, "trvRIXENip", "16.0.0.1");
    ZqwObjectId stale = make_subsystem(other, "WEB_ENABLED", "Normal");
    ZqwObjectId warned = make_subsystem(node_id("deskNT"), "WEB_DISABLED", "Warning");

    p.start_agents();
    p.start_pm();
    RunResult r = p.zqstart();
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::vector<std::string> answering = {"srvA", "srvB", "deskXP", "desk2K", "deskNT", "srvLin",
                                          "other", "nomatch", "short", "nw"};
    if (snmpd) answering.push_back("snmpd1");
    for (const std::string& host : answering) {
        ZqwObjectId id = node_id(host);
        ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, id, handlings(id))) << host << "\n" << p.daemon_out();
    }

    // Vendor servers and desktops by the first matching rule.
    EXPECT_EQ(value("srvA", "trvSysType"), "TrvServer");
    EXPECT_EQ(value("srvA", "trvOsType"), "ntentsrvr");
    EXPECT_EQ(value("srvA", "isTrvVantor"), "TRUE");
    EXPECT_EQ(value("srvA", "isTrvRIXEN"), "TRUE");
    EXPECT_EQ(value("srvA", "trvRIXENip"), "16.0.0.5");
    EXPECT_EQ(value("srvA", "isVelmswp"), "TRUE");
    EXPECT_EQ(web_object("srvA"), "WEB_ENABLED Normal");
    EXPECT_EQ(value("srvB", "trvSysType"), "TrvServer");
    EXPECT_EQ(value("srvB", "trvOsType"), "ntsrvr");
    EXPECT_EQ(value("srvB", "isTrvRIXEN"), "<none>");
    EXPECT_EQ(value("srvB", "isVelmswp"), "<none>");
    EXPECT_EQ(web_object("srvB"), "WEB_DISABLED Marginal");
    EXPECT_EQ(value("srvLin", "trvOsType"), "linux");
    EXPECT_EQ(value("nw", "trvOsType"), "netware");

    // Workstations by their version: 5.1, 5.0, anything else.
    EXPECT_EQ(value("deskXP", "trvSysType"), "TrvDesktop");
    EXPECT_EQ(value("deskXP", "trvOsType"), "winxpwkstn");
    EXPECT_EQ(value("desk2K", "trvOsType"), "2kwkstn");
    EXPECT_EQ(value("deskNT", "trvOsType"), "ntwkstn");

    // Condition codes: 1 to 4 by name, 0 and 5 leave what was there, a record
    // of one byte says Unknown.
    EXPECT_EQ(web_object("deskXP"), "WEB_ENABLED Major");
    EXPECT_EQ(web_object("desk2K"), "WEB_DISABLED Unknown");
    EXPECT_EQ(web_object("deskNT"), "WEB_DISABLED Warning");
    EXPECT_EQ(subsystems(node_id("deskNT")), std::vector<ZqwObjectId>{warned});
    EXPECT_EQ(web_object("srvLin"), "WEB_DISABLED <none>");
    EXPECT_EQ(web_object("short"), "WEB_DISABLED Unknown");
    for (const char* host : {"srvA", "deskXP", "short"})
        EXPECT_GE(p.events(EVT_STATUS_UPDATED, node_id(host)), 1) << host;

    // Not vendor nodes: NonTarvo, vendor fields and objects gone.
    EXPECT_EQ(value(other, "trvSysType"), "NonTarvo");
    for (const char* f : {"trvOsType", "isTrvVantor", "isTrvRIXEN", "trvRIXENip"}) EXPECT_EQ(value(other, f), "<none>") << f;
    EXPECT_TRUE(subsystems(other).empty());
    EXPECT_EQ(value(stale, "trvSubSysType"), "<none>");
    EXPECT_EQ(value("nomatch", "trvSysType"), "NonTarvo");
    EXPECT_EQ(value("nomatch", "trvOsType"), "<none>");
    EXPECT_TRUE(subsystems(node_id("nomatch")).empty());

    // A silent node and an unmanaged one: untouched.
    for (const char* host : {"silent", "unm"}) {
        for (const char* f : {"trvSysType", "trvOsType", "isTrvVantor", "isVelmswp"})
            EXPECT_EQ(value(host, f), "<none>") << host << " " << f;
        EXPECT_TRUE(subsystems(node_id(host)).empty()) << host;
        EXPECT_EQ(p.events(EVT_NODE_CHANGED, node_id(host)), 0) << host;
    }

    if (snmpd) {
        EXPECT_EQ(value("snmpd1", "trvSysType"), "TrvServer");
        EXPECT_EQ(value("snmpd1", "trvOsType"), "ntsrvr");
        EXPECT_EQ(value("snmpd1", "trvRIXENip"), "16.0.0.9");
        EXPECT_EQ(web_object("snmpd1"), "WEB_DISABLED Major");
    }

    // The web agents change places and srvLin falls silent; a discover request
    // looks at the three again.
    ZqwObjectId a = node_id("srvA"), b = node_id("srvB"), lin = node_id("srvLin");
    ZqwObjectId a_web = subsystems(a).at(0), b_web = subsystems(b).at(0);
    p.reload(network(false, true, true));
    int a_seen = p.events(EVT_NODE_CHANGED, a), b_seen = p.events(EVT_NODE_CHANGED, b),
        lin_seen = p.events(EVT_NODE_CHANGED, lin);
    send_ids(EVT_DISCOVER_REQUEST, {static_cast<int>(a), static_cast<int>(b), static_cast<int>(lin)});
    ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, a, a_seen + 1));
    ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, b, b_seen + 1));
    ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, lin, lin_seen + 1)) << p.daemon_out();
    EXPECT_EQ(subsystems(a), std::vector<ZqwObjectId>{a_web});
    EXPECT_EQ(subsystems(b), std::vector<ZqwObjectId>{b_web});
    EXPECT_EQ(web_object("srvA"), "WEB_DISABLED Normal");
    EXPECT_EQ(web_object("srvB"), "WEB_ENABLED Marginal");
    EXPECT_EQ(value(a, "isVelmswp"), "TRUE");  // never set back
    EXPECT_EQ(value(b, "isVelmswp"), "TRUE");
    // A vendor node that stopped answering keeps its class; its object shows Unknown.
    EXPECT_EQ(value(lin, "trvSysType"), "TrvServer");
    EXPECT_EQ(web_object("srvLin"), "WEB_DISABLED Unknown");

    // srvA's agent comes back; srvB has two objects of one kind: reported, not
    // touched, no third one.
    p.reload(network(true, true, false));
    ZqwObjectId b_dup = make_subsystem(b, "WEB_ENABLED", "Normal");
    a_seen = p.events(EVT_NODE_CHANGED, a);
    b_seen = p.events(EVT_NODE_CHANGED, b);
    send_ids(EVT_DISCOVER_REQUEST, {static_cast<int>(a), static_cast<int>(b)});
    ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, a, a_seen + 1));
    ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, b, b_seen + 1));
    EXPECT_EQ(subsystems(a), std::vector<ZqwObjectId>{a_web});
    EXPECT_EQ(web_object("srvA"), "WEB_ENABLED Normal");
    EXPECT_EQ(subsystems(b), (std::vector<ZqwObjectId>{b_web, b_dup}));
    EXPECT_NE(p.error_log().find("trvdis (2203): Duplicate objects:srvB."), std::string::npos) << p.error_log();

    // Stopping ends it with status 1 and takes the marker away.
    EXPECT_TRUE(p.marker());
    r = p.zqstop({"trvdis"});
    EXPECT_EQ(r.status, 0) << r.err;
    Platform::ProcStatus st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "NOT_RUNNING");
    EXPECT_EQ(st.exit, "1");
    EXPECT_EQ(st.text, "trvdis exiting at the request of ZqsPMD (via zqstop)");
    EXPECT_FALSE(p.marker());
}

}  // namespace
