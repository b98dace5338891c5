// trvmap as it runs: agentsim, zqspmd, trapd, trvdis and the map program zqw for
// real, trvmap started by the map program from the integration's registration,
// actions and the configuration dialog driven through the map program's HTTP
// API, internal events sent to trapd as trvdis sends them, and the map read
// from the database in this process.
#include <unistd.h>

#include <algorithm>

#include "mapplatform.h"

namespace {

using namespace trvmaptest;
using zq::zqw::SymbolRow;

std::vector<Node> network() {
    auto mib = [](const std::string& sys, const std::string& record) {
        return std::vector<std::string>{"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"" + sys + "\"]",
                                        "\"ENT.11.2.10.1.0\": [\"HEX\", \"" + record + "\"]"};
    };
    Node ent1{"ent1", {"127.0.63.1"}, "server", mib("ENT.1.1.1.2", condition_record(2, 3))};
    ent1.web = true;
    Node ent0{"ent0", {"127.0.63.2"}, "server", mib("ENT.1.1.1.2", condition_record(2, 0))};
    Node desk{"desk", {"127.0.63.3"}, "computer", mib("ENT.1.1.2.1", "0102")};
    desk.web = true;
    Node flip{"flip", {"127.0.63.4"}, "server", mib("ENT.1.1.1.1", "0102")};
    flip.web = true;
    Node other{"other", {"127.0.63.5"}, "server", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.64099.2\"]"}};
    return {ent1, ent0, desk, flip, other};
}

TEST(TrvmapMap, DrawsVendorNodesFollowsTrvdisAndUninstalls) {
    MapPlatform p(network());
    ZqwObjectId ent1 = node_id("ent1"), ent0 = node_id("ent0"), desk = node_id("desk"), flip = node_id("flip"),
                other = node_id("other");
    // The management console of the dialog's checks: agentsim's own on TCP 280.
    bool root = geteuid() == 0;
    std::vector<Node> nodes = network();
    p.agents = std::make_unique<Process>(
        std::vector<std::string>{bin("agentsim"), p.net, "--console-port", root ? "280" : "0"},
        p.env());
    ASSERT_TRUE(p.agents->wait_for_out("serving", 10000)) << p.agents->err();
    p.start_pm();
    RunResult r = p.zqstart();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(p.wait_app("Tarvo", "running")) << p.app("Tarvo").dump() << p.app_out();
    MapRecord map;
    ASSERT_NE(map.id(), 0u);

    // --- what trvdis found, drawn ---------------------------------------------
    ASSERT_TRUE(wait_for([&] {
        return type_of(map.id(), ent1) == "Server:TrvServer-ntentsrvr-Cluster" &&
               type_of(map.id(), flip) == "Server:TrvServer-ntsrvr" && drawn(map.id(), desk).chips.size() == 1 &&
               drawn(map.id(), ent0).chips.size() == 1 && value(other, "trvSysType") == "NonTarvo";
    })) << p.error_log() << p.app_out();
    struct {
        ZqwObjectId node;
        const char* type;
        int source;
    } nodes_drawn[] = {
        {ent1, "Server:TrvServer-ntentsrvr-Cluster", 2},  // cluster role 3
        {ent0, "Server:TrvServer-ntentsrvr", 2},          // role 0
        {desk, "Computer:TrvDesktop-ntwkstn", 2},
        {flip, "Server:TrvServer-ntsrvr", 2},
        {other, "Server:Generic", 1},
    };
    for (const auto& n : nodes_drawn) {
        Drawn d = drawn(map.id(), n.node);
        EXPECT_EQ(d.node.type, n.type) << n.node;
        EXPECT_EQ(d.node.source, n.source) << n.node;
    }
    Drawn d1 = drawn(map.id(), ent1);
    ASSERT_EQ(d1.chips.size(), 1u);
    SymbolRow chip = d1.chips[0];
    std::vector<ZqwObjectId> subs1 = subsystems(ent1);
    ASSERT_EQ(subs1.size(), 1u);
    EXPECT_EQ(chip.object, subs1[0]);
    EXPECT_EQ(chip.type, "TrvDevice:WEB_ENABLED");
    EXPECT_EQ(chip.label, "Vantor Agents");
    EXPECT_EQ(chip.status, 2);
    EXPECT_EQ(chip.source, 1);
    EXPECT_EQ(chip.behavior, 2);
    EXPECT_EQ(chip.action_app, "Velm Sub-system Summary");
    EXPECT_EQ(chip.action, "Action_WEB_ENABLED");
    EXPECT_EQ(chip.action_objects, (std::vector<uint32_t>{ent1, subs1[0]}));
    EXPECT_EQ(d1.node.status, 2);  // compound: its chip
    Drawn d0 = drawn(map.id(), ent0);
    EXPECT_EQ(d0.chips[0].type, "TrvDevice:WEB_DISABLED");
    EXPECT_EQ(d0.chips[0].label, "WEB_DISABLED");
    EXPECT_EQ(d0.chips[0].behavior, 1);
    EXPECT_TRUE(drawn(map.id(), other).chips.empty());

    // --- the web agent goes away, a node stops being the vendor's --------------
    nodes[0].web = false;
    nodes[3].mib = {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.64099.2\"]"};
    p.reload(nodes);
    send_ids(EVT_DISCOVER_REQUEST, {static_cast<int>(ent1), static_cast<int>(flip)});
    ASSERT_TRUE(wait_for([&] {
        Drawn d = drawn(map.id(), ent1);
        return type_of(map.id(), flip) == "Server:Generic" && d.chips.size() == 1 &&
               d.chips[0].type == "TrvDevice:WEB_DISABLED";
    })) << p.error_log();
    d1 = drawn(map.id(), ent1);
    EXPECT_EQ(d1.chips[0].id, chip.id);  // the same symbol, retyped
    EXPECT_EQ(d1.chips[0].label, "WEB_DISABLED");
    EXPECT_EQ(d1.chips[0].behavior, 1);
    EXPECT_EQ(d1.node.type, "Server:TrvServer-ntentsrvr-Cluster");
    EXPECT_TRUE(drawn(map.id(), flip).chips.empty());

    // --- status updates: a named node past a 0, then every vendor node ----------
    std::vector<ZqwObjectId> desk_subs = subsystems(desk), ent0_subs = subsystems(ent0);
    ASSERT_EQ(desk_subs.size(), 1u);
    ASSERT_EQ(ent0_subs.size(), 1u);
    set_enum(desk_subs[0], "trvDeviceStatus", "Major");
    set_enum(ent0_subs[0], "trvDeviceStatus", "Marginal");
    send_ids(EVT_STATUS_UPDATED, {0, static_cast<int>(desk)});
    ASSERT_TRUE(wait_for([&] { return drawn(map.id(), desk).chips[0].status == 7; }));
    EXPECT_EQ(drawn(map.id(), desk).node.status, 7);
    EXPECT_EQ(drawn(map.id(), ent0).chips[0].status, 2);  // not named
    send_ids(EVT_STATUS_UPDATED, {});
    ASSERT_TRUE(wait_for([&] { return drawn(map.id(), ent0).chips[0].status == 3; }));

    // --- a subsystem of the kind "Unset" goes, with its symbol -----------------
    set_enum(desk_subs[0], "trvSubSysType", "Unset");
    send_ids(EVT_NODE_CHANGED, {static_cast<int>(desk)});
    ASSERT_TRUE(wait_for([&] { return drawn(map.id(), desk).chips.empty(); }));
    EXPECT_FALSE(zq::zqw::object_exists(desk_subs[0]));

    // --- "Tarvo Monitor": only for the vendor's managed nodes -------------------
    ASSERT_FALSE(p.call("POST", "/api/symbols/manage", {{"symbols", {d0.node.id}}, {"managed", false}})
                     .contains("error"));
    std::vector<uint32_t> selection = {other, subs1[0], ent0};
    for (int i = 0; i < 11; ++i) selection.push_back(ZqwDbCreateObject(nullptr));  // neither node nor device
    selection.push_back(desk);
    selection.push_back(ent1);
    size_t before = logged_events(p.trapd_log(), EVT_STATUS_REQUEST).size();
    json ran = p.call("POST", "/api/actions", {{"app", "Tarvo"}, {"action", "Tarvo Monitor"}, {"objects", selection}});
    ASSERT_FALSE(ran.contains("error")) << ran.dump();
    ASSERT_TRUE(wait_for([&] { return logged_events(p.trapd_log(), EVT_STATUS_REQUEST).size() >= before + 1; }));
    auto requests = logged_events(p.trapd_log(), EVT_STATUS_REQUEST);
    requests.erase(requests.begin(), requests.begin() + static_cast<long>(before));
    // The map program hands trvmap only the vendor's nodes (the registration's
    // covers lines): the other node, the subsystem and the plain objects are
    // left out with the reason; trvmap skips the unmanaged one.
    EXPECT_EQ(ran.value("objects", 0), 3) << ran.dump();
    EXPECT_EQ(ran.value("left_out", 0), 13) << ran.dump();
    EXPECT_EQ(requests, (std::vector<std::vector<long>>{{static_cast<long>(desk), static_cast<long>(ent1)}}));
    // Managed again: the map program's event 21 has trvmap look at the node again.
    ASSERT_FALSE(
        p.call("POST", "/api/symbols/manage", {{"symbols", {d0.node.id}}, {"managed", true}}).contains("error"));

    // --- the configuration dialog -----------------------------------------------
    auto verify = [&](const json& values) {
        return p.call("POST", "/api/apps/config/verify", {{"app", "Tarvo"}, {"values", values}});
    };
    struct {
        json values;
        bool accept;
        std::string message;
    } checks[] = {
        {json::object(), false, "Operation Not Valid\n"},
        {{{"VTMXEIp", "1.2.3"}}, true, "Not a valid IP Address for Vantor Manager."},
        {{{"trvUninstall", false}}, true, "Not a valid IP Address for Vantor Manager."},
        {{{"VTMXEIp", "127.0.63.99"}},
         true,
         "There was no response from the remote host. The machine may be down or the Velm Management Agents are "
         "not running on the remote machine. "},
        {{{"VTMXEIp", "127.0.63.2"}}, true, "Vantor Manager is not running on 127.0.63.2"},
        {{{"trvUninstall", true}, {"VTMXEIp", "127.0.63.2"}},
         true,
         " This operation will result in removing all the Velm Management Agent objects and symbols from the "
         "currently opened map only. This is a pre-requisite for uninstallation of the Vantor Integration for "
         "Tarnwick. Click OK to continue or Cancel to abort the operation."},
    };
    for (const auto& c : checks) {
        json a = verify(c.values);
        EXPECT_EQ(a.value("replied", false), true) << c.values.dump() << a.dump();
        EXPECT_EQ(a.value("accept", !c.accept), c.accept) << c.values.dump();
        EXPECT_EQ(a.value("message", ""), c.message) << c.values.dump();
    }
    if (root) {
        nodes.push_back(Node{"mgr", {"127.0.63.10"}, "server", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.64099.2\"]"}});
        std::vector<MapNode> with_console;
        for (const Node& n : nodes) with_console.push_back({n, n.name == "mgr"});
        zqtest::write_file(p.net, map_network_json(with_console));
        kill(p.agents->pid(), SIGHUP);
        ASSERT_TRUE(wait_for([&] { return verify({{"VTMXEIp", "127.0.63.10"}}).value("message", "") ==
                                          "Vantor Manager is running on 127.0.63.10"; }, 10000));
    }
    // Confirmed, the address goes to the user's environment, 15 characters at most.
    json stored = p.call("POST", "/api/apps/config/confirm", {{"app", "Tarvo"}, {"values", {{"VTMXEIp", "127.000.063.0101"}}}});
    ASSERT_FALSE(stored.contains("error")) << stored.dump();
    ASSERT_TRUE(wait_for([&] {
        return zqtest::read_file(p.root() + "/registry").find("VTMXEIp=127.000.063.010\n") != std::string::npos;
    })) << zqtest::read_file(p.root() + "/registry");

    // --- uninstall ---------------------------------------------------------------
    // A second map holds ent1 only: its subsystem object must survive the cleanup
    // of "default".
    uint32_t second = zq::zqw::create_map("ent1 only", false, {{"IP Hostname", "ent1"}});
    ASSERT_NE(second, 0u) << ZqwErrorMsg(ZqwError());
    ASSERT_FALSE(p.call("POST", "/api/maps/" + std::to_string(second) + "/open").contains("error"));
    ASSERT_TRUE(wait_for([&] { return drawn(second, ent1).chips.size() == 1; })) << p.error_log();
    ASSERT_FALSE(p.call("POST", "/api/maps/" + std::to_string(map.id()) + "/open").contains("error"));
    ASSERT_TRUE(wait_for([&] { return count(p.trace(), "Currently opened MAP is:default\n") >= 2; })) << p.trace();

    stored = p.call("POST", "/api/apps/config/confirm", {{"app", "Tarvo"}, {"values", {{"trvUninstall", true}}}});
    ASSERT_FALSE(stored.contains("error")) << stored.dump();
    Platform::ProcStatus st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "EXITED");
    EXPECT_EQ(st.exit, "0");
    EXPECT_EQ(st.text, "Exited on request from trvmap for un-install request");
    ASSERT_TRUE(wait_for([&] { return type_of(map.id(), ent1) == "Server:Generic"; })) << p.error_log();
    for (ZqwObjectId n : {ent1, ent0, desk}) {
        Drawn d = drawn(map.id(), n);
        EXPECT_TRUE(d.chips.empty()) << n;
        EXPECT_EQ(d.node.type, n == desk ? "Computer:Generic" : "Server:Generic") << n;
        EXPECT_EQ(value(n, "isTrvVantor"), "<none>") << n;
        EXPECT_EQ(value(n, "trvSysType"), "<none>") << n;
        EXPECT_TRUE(zq::zqw::object_exists(n));
    }
    EXPECT_FALSE(zq::zqw::object_exists(ent0_subs[0]));        // drawn on "default" only
    EXPECT_TRUE(zq::zqw::object_exists(subs1[0]));             // still on the second map
    EXPECT_EQ(value(subs1[0], "trvSubSysType"), "WEB_DISABLED");
    EXPECT_EQ(drawn(second, ent1).chips.size(), 1u);
    json config = p.call("GET", "/api/apps/config?app=Tarvo");
    for (const auto& f : config.value("fields", json::array())) {
        if (f.value("field", "") == "trvUninstall") {
            EXPECT_EQ(f.value("value", true), false) << config.dump();
        }
    }

    // From now on nothing changes on the map until trvmap starts again.
    set_bool(ent0, "isTrvVantor", 1);
    set_enum(ent0, "trvSysType", "TrvServer");
    set_string(ent0, "trvOsType", "ntsrvr");
    send_ids(EVT_NODE_CHANGED, {static_cast<int>(ent0)});
    send_ids(EVT_NODE_CHANGED, {});
    size_t opened = count(p.trace(), "Currently opened MAP is:default\n");
    ASSERT_FALSE(p.call("POST", "/api/maps/" + std::to_string(second) + "/open").contains("error"));
    ASSERT_FALSE(p.call("POST", "/api/maps/" + std::to_string(map.id()) + "/open").contains("error"));
    ASSERT_TRUE(wait_for([&] { return count(p.trace(), "Currently opened MAP is:default\n") > opened; }));
    usleep(500000);
    EXPECT_EQ(type_of(map.id(), ent0), "Server:Generic");
    EXPECT_EQ(p.app("Tarvo").value("state", ""), "running");

    // The trace of the whole session.
    std::string trace = p.trace();
    EXPECT_EQ(trace.rfind("MapDebug file opened for debug logging.\n", 0), 0u) << trace.substr(0, 200);
    EXPECT_NE(trace.find("trvmap - entering while loop in main\n"), std::string::npos);
    EXPECT_NE(trace.find("iIsCluster - return true\n"), std::string::npos);
}

TEST(TrvmapMap, WithoutTrvdisItEndsWith7001AndStatusZero) {
    MapPlatform p({}, /*with_trvdis=*/false, /*trace=*/false);
    p.start_pm();
    RunResult r = p.zqstart();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(p.wait_app("Tarvo", "ended")) << p.app("Tarvo").dump();
    EXPECT_EQ(p.app("Tarvo").value("exit_status", -1), 0);
    EXPECT_NE(p.error_log().find("trvmap (7001): trvdis process not running, start trvdis process before starting "
                                 "zqw.\n"),
              std::string::npos)
        << p.error_log();
    EXPECT_NE(access((p.root() + "/temp/trvmapdebug.log").c_str(), F_OK), 0);  // no marker, no trace
}

}  // namespace
