// trvdis's start-up failures with their texts in zqstatus and the error log,
// the range checks, commands while a pass is busy, the stop, a lost trapd, and
// a second trvdis that cannot start leaving the first one's marker alone.
#include <cstdio>

#include "trvdistest.h"

namespace {

using namespace trvdistest;

// Silent nodes keep a pass busy (0.3 s each); one vendor node answers.
std::vector<Node> network() {
    std::vector<Node> n;
    for (int i = 1; i <= 25; ++i) {
        Node s{"s" + std::to_string(i), {"127.0.53." + std::to_string(i)}, "computer",
               vendor_mib("ENT.1.1.1.1", "0102")};
        s.silent = true;
        n.push_back(s);
    }
    n.push_back({"v", {"127.0.53.100"}, "computer", vendor_mib("ENT.1.1.1.1", "0102")});
    return n;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(TrvdisLifecycle, StartupFailuresCommandsStopAndLostTrapd) {
    Platform p(network(), default_rules(), "", 0.3, 0);
    std::string conf = p.root() + "/conf/c/trv/trvconfig.dat";
    std::string db = p.root() + "/db/topology.db";

    // Not started by zqspmd: error 2003, status 1, and the marker that another
    // trvdis holds stays where it is.
    ASSERT_NE(ZqwDbCreateObjectBySelectionName(TRV_RUNNING_MARKER), 0u);
    RunResult r = zqtest::run({bin("trvdis")}, p.env());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(p.error_log(), "trvdis (2003): Unable to open a connection with zqspmd. Check if zqspmd is running."))
        << p.error_log();
    EXPECT_TRUE(p.marker());
    ASSERT_EQ(ZqwDbDeleteObject(ZqwDbSelectionNameToObjectId(TRV_RUNNING_MARKER)), 1);

    EXPECT_EQ(zqtest::run({bin("trvdis"), "--help"}).status, 0);

    p.start_agents();
    p.start_pm({{"LC_ALL", "xx_XX.no-such-locale"}});
    ASSERT_EQ(p.zqstart({"trapd"}).status, 0);

    // trvconfig.dat missing.
    ASSERT_EQ(std::rename(conf.c_str(), (conf + ".away").c_str()), 0);
    p.zqstart({"trvdis"});
    Platform::ProcStatus st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "FAILED");
    EXPECT_EQ(st.exit, "1");
    EXPECT_EQ(st.text, "Unable to open \"" + conf + "\".");
    EXPECT_TRUE(has(p.error_log(), "trvdis (2000): Unable to find file " + conf + ".")) << p.error_log();
    EXPECT_TRUE(has(p.error_log(), "(2104): Error in setting specified locale(Native Language).Assuming default "
                                   "language \"C\"."));
    EXPECT_FALSE(p.marker());

    // A syntax error: error 101 with the path and the parser's words.
    zqtest::write_file(conf, "# settings\nDiscoveryInterval: 3x\n");
    p.zqstart({"trvdis"});
    st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "FAILED");
    EXPECT_EQ(st.text, "Syntax error in \"" + conf + "\".");
    EXPECT_TRUE(has(p.error_log(), "trvdis (101): " + conf + " - Line 2")) << p.error_log();
    EXPECT_FALSE(p.marker());

    // Out of range: both replaced and reported once each; it runs.
    zqtest::write_file(conf, "DiscoveryInterval: 5000\nRe-DiscoveryIntervalIteration: 101\n" +
                                 default_rules().substr(default_rules().find("Server")));
    ASSERT_EQ(p.zqstart({"trvdis"}).status, 0);
    EXPECT_EQ(p.status("trvdis").state, "RUNNING");
    std::string log = p.error_log();
    EXPECT_TRUE(has(log, "trvdis (2004): Discovery interval out of range assuming default value."));
    EXPECT_TRUE(has(log, "trvdis (2004): Re-discover iteration out of range assuming default value."));
    EXPECT_TRUE(p.marker());

    // SIGTERM is ignored, and an unknown command while the pass is busy is
    // reported: it goes on.
    ASSERT_EQ(kill(std::stoi(p.status("trvdis").pid), SIGTERM), 0);
    r = zqtest::run({bin("zqstop"), "--command", "7", "trvdis"}, p.env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zqtest::wait_until([&] { return has(p.error_log(), "trvdis (2201): Bad command(7) from \"zqspmd\"."); },
                                   20000, 50));
    EXPECT_EQ(p.status("trvdis").state, "RUNNING");

    // Stop while the queue is still full of silent nodes: status 1, the marker gone.
    EXPECT_EQ(p.events(EVT_NODE_CHANGED, node_id("v")), 0);  // still far from the last node
    r = p.zqstop({"trvdis"});
    st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "NOT_RUNNING");
    EXPECT_EQ(st.exit, "1");
    EXPECT_EQ(st.text, "trvdis exiting at the request of ZqsPMD (via zqstop)");
    EXPECT_FALSE(p.marker());

    // trapd goes away under a running trvdis: status 0, the marker stays.
    ASSERT_EQ(p.zqstart({"trvdis"}).status, 0);
    ASSERT_EQ(p.zqstop({"trapd"}).status, 0);
    st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "EXITED");
    EXPECT_EQ(st.exit, "0");
    EXPECT_EQ(st.text, "Lost connection with trapd, trvupdate terminating");
    EXPECT_TRUE(p.marker());

    // No trapd to open a session with: the marker goes.
    p.zqstart({"trvdis"});
    st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "FAILED");
    EXPECT_EQ(st.exit, "1");
    EXPECT_EQ(st.text, "Open session with trapd failed.");
    EXPECT_FALSE(p.marker());

    // A field of the registry missing: its name in the log and in zqstatus.
    ASSERT_EQ(ZqwDbDeleteField(ZqwDbFieldNameToFieldId("isVelmswp")), 1);
    p.zqstart({"trvdis"});
    st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "FAILED");
    EXPECT_EQ(st.exit, "1");
    EXPECT_EQ(st.text, "Could not resolve the field \"isVelmswp\" in the topology database.");
    EXPECT_TRUE(has(p.error_log(), "trvdis (ZQW API ERROR): ") && has(p.error_log(), ":isVelmswp")) << p.error_log();
    EXPECT_FALSE(p.marker());

    // No database at all.
    ASSERT_EQ(std::rename(db.c_str(), (db + ".away").c_str()), 0);
    p.zqstart({"trvdis"});
    st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "FAILED");
    EXPECT_EQ(st.exit, "1");
    EXPECT_EQ(st.text, "Could not connect to zqwdb.");
}

}  // namespace

namespace {

// The uninstall request ends trvdis only when it comes from this instance's own
// programs: over UDP, from anyone who can reach the trap port, it is refused.
TEST(TrvdisLifecycle, UninstallOverUdpIsRefusedAndFromASessionEndsIt) {
    using namespace trvdistest;
    Platform p({{"v", {"127.0.53.100"}, "computer", vendor_mib("ENT.1.1.1.1", "0102")}}, default_rules());
    p.start_agents();
    p.start_pm();
    ASSERT_EQ(p.zqstart().status, 0);
    RunResult r = zqtest::run({"/usr/bin/snmptrap", "-v1", "-c", "public",
                               "127.0.0.1:" + std::to_string(p.inst.trap_port), kEnt + ".1.3.20", "10.9.9.9", "6",
                               "3005", "0"},
                              {{"MIBS", ""}});
    ASSERT_EQ(r.status, 0) << r.err;
    // A fence: an event sent after the trap has reached trapd once it is logged.
    notify(p.env(), "ENT.1.3.99.0.1", {});
    ASSERT_TRUE(zqtest::wait_until([&] { return has(p.trapd_log(), ".1.3.99.0.1 "); }, 10000)) << p.trapd_log();
    usleep(500 * 1000);
    EXPECT_EQ(p.status("trvdis").state, "RUNNING");
    EXPECT_FALSE(has(p.trapd_log(), "specific=3005 ")) << p.trapd_log();

    notify(p.env(), "ENT.1.3.20.0.3005", {});
    Platform::ProcStatus st = p.wait_ended("trvdis");
    EXPECT_EQ(st.exit, "0");
}

}  // namespace
