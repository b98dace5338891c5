// trvmap's uninstall cleanup and its resynchronisation, among the real
// daemons: trapd going away while the map is open, an uninstall confirmed while
// trvdis cannot be asked, SIGHUP and a crash of trvmap, and an uninstall
// confirmed while trvdis still works through requests that write the
// integration's fields.
#include <unistd.h>

#include "mapplatform.h"

namespace {

using namespace trvmaptest;

std::vector<Node> network() {
    auto mib = [](const std::string& sys, const std::string& record) {
        return std::vector<std::string>{"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"" + sys + "\"]",
                                        "\"ENT.11.2.10.1.0\": [\"HEX\", \"" + record + "\"]"};
    };
    std::vector<Node> nodes = {Node{"ent1", {"127.0.64.1"}, "server", mib("ENT.1.1.1.1", condition_record(2, 0))},
                               Node{"ent0", {"127.0.64.2"}, "server", mib("ENT.1.1.1.2", condition_record(2, 0))}};
    // Nodes that never answer: each costs trvdis its whole time-out.
    for (int i = 1; i <= 4; ++i) {
        Node mute{"mute" + std::to_string(i), {"127.0.64." + std::to_string(10 + i)}, "server", {}};
        mute.silent = true;
        nodes.push_back(mute);
    }
    return nodes;
}

// The uninstall option as the map program stores it.
bool uninstall_stored(MapPlatform& p) {
    json config = p.call("GET", "/api/apps/config?app=Tarvo");
    for (const auto& f : config.value("fields", json::array()))
        if (f.value("field", "") == "trvUninstall") return f.value("value", false);
    return false;
}

TEST(TrvmapCleanup, ResyncsAfterTrapdReturnsAndCleansOnlyOnceTrvdisHasEnded) {
    // trvdis stays ended when trapd goes, so that only the test writes the fields.
    MapPlatform p(network(), true, true, "restart=no ");
    p.start_agents();
    p.start_pm();
    RunResult r = p.zqstart();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(p.wait_app("Tarvo", "running")) << p.app("Tarvo").dump() << p.app_out();
    MapRecord map;
    ZqwObjectId ent1 = node_id("ent1"), ent0 = node_id("ent0");
    ASSERT_TRUE(wait_for([&] {
        return type_of(map.id(), ent1) == "Server:TrvServer-ntsrvr" &&
               type_of(map.id(), ent0) == "Server:TrvServer-ntentsrvr" && drawn(map.id(), ent0).chips.size() == 1;
    })) << p.error_log() << p.app_out();

    // --- trapd goes away: trvdis ends with it, trvmap goes on -------------------
    r = p.zqstop({"trapd"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(p.wait_ended("trvdis").state, "EXITED");
    ASSERT_TRUE(wait_for([&] { return p.trace().find("lost the session with TWK trapd") != std::string::npos; }));

    // An uninstall now reaches nobody: nothing goes, the option is not kept.
    json stored = p.call("POST", "/api/apps/config/confirm", {{"app", "Tarvo"}, {"values", {{"trvUninstall", true}}}});
    ASSERT_FALSE(stored.contains("error")) << stored.dump();
    ASSERT_TRUE(wait_for([&] { return p.error_log().find("trvmap (7011): trvdis is not running") != std::string::npos; }))
        << p.error_log();
    EXPECT_FALSE(uninstall_stored(p));
    EXPECT_EQ(value(ent1, "isTrvVantor"), "TRUE");
    EXPECT_EQ(type_of(map.id(), ent1), "Server:TrvServer-ntsrvr");

    // What changed while trapd was away reaches the map once it is back,
    // without any event.
    std::vector<ZqwObjectId> subs0 = subsystems(ent0);
    ASSERT_EQ(subs0.size(), 1u);
    set_string(ent0, "trvOsType", "ntsrvr");
    set_enum(subs0[0], "trvDeviceStatus", "Major");
    r = p.zqstart({"trapd"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(wait_for(
        [&] {
            Drawn d = drawn(map.id(), ent0);
            return d.node.type == "Server:TrvServer-ntsrvr" && d.chips.size() == 1 && d.chips[0].status == 7;
        },
        8000))
        << p.trace().substr(p.trace().size() > 2000 ? p.trace().size() - 2000 : 0);

    // --- SIGHUP to its group leaves trvmap alone; killed, the map program starts it again
    long pid = p.app("Tarvo").value("pid", 0L);
    ASSERT_GT(pid, 0);
    kill(-static_cast<pid_t>(pid), SIGHUP);
    usleep(300000);
    EXPECT_EQ(p.app("Tarvo").value("state", ""), "running") << p.app_out();
    EXPECT_EQ(p.app("Tarvo").value("pid", 0L), pid);
    kill(static_cast<pid_t>(pid), SIGKILL);
    ASSERT_TRUE(wait_for([&] {
        json a = p.app("Tarvo");
        return a.value("state", "") == "running" && a.value("pid", 0L) != pid;
    }, 10000)) << p.app("Tarvo").dump();
    EXPECT_EQ(p.app("Tarvo").value("restarts", 0), 1);

    // --- an uninstall while trvdis works through requests ----------------------
    r = p.zqstart({"trvdis"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<int> request;
    for (int i = 1; i <= 4; ++i) request.push_back(static_cast<int>(node_id("mute" + std::to_string(i))));
    request.push_back(static_cast<int>(ent1));
    request.push_back(static_cast<int>(ent0));
    send_ids(EVT_DISCOVER_REQUEST, request);
    usleep(300000);  // trvdis has taken the request before the uninstall comes
    stored = p.call("POST", "/api/apps/config/confirm", {{"app", "Tarvo"}, {"values", {{"trvUninstall", true}}}});
    ASSERT_FALSE(stored.contains("error")) << stored.dump();
    Platform::ProcStatus st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "EXITED");
    EXPECT_EQ(st.text, "Exited on request from trvmap for un-install request");
    ASSERT_TRUE(wait_for([&] { return type_of(map.id(), ent1) == "Server:Generic"; })) << p.error_log();
    // trvdis wrote the nodes it was asked about before it ended: the cleanup
    // came after, so nothing of the integration is left.
    for (ZqwObjectId n : {ent1, ent0}) {
        EXPECT_EQ(value(n, "isTrvVantor"), "<none>") << n;
        EXPECT_EQ(value(n, "trvSysType"), "<none>") << n;
        EXPECT_EQ(type_of(map.id(), n), "Server:Generic") << n;
    }
    EXPECT_FALSE(uninstall_stored(p));
    EXPECT_EQ(p.app("Tarvo").value("state", ""), "running");
}

}  // namespace
