// Probe ahead, commit in order: the requests of the nodes next in the pass go
// out before their turn, yet the pass ends as it would one node at a time.
#include <unistd.h>

#include "trvdistest.h"

namespace {

using namespace trvdistest;

// Every internal event trapd saw, in order: "SPECIFIC:ID".
std::vector<std::string> event_order(const Platform& p) {
    std::vector<std::string> seen;
    std::istringstream lines(p.trapd_log());
    for (std::string line; std::getline(lines, line);) {
        size_t s = line.find("specific=300");
        size_t i = line.rfind("INTEGER ");
        if (s == std::string::npos || i == std::string::npos) continue;
        seen.push_back(line.substr(s + 9, 4) + ":" + line.substr(i + 8, line.find(']', i) - i - 8));
    }
    return seen;
}

// What the pass wrote about each node and its web objects.
std::string dump(const std::vector<Node>& nodes) {
    std::string out;
    for (const Node& n : nodes) {
        out += n.name + ":";
        for (const char* f : {"trvSysType", "trvOsType", "isTrvVantor", "isTrvRIXEN", "trvRIXENip", "isVelmswp"})
            out += " " + value(n.name, f);
        for (ZqwObjectId o : subsystems(node_id(n.name)))
            out += " [" + value(o, "trvSubSysType") + " " + value(o, "trvDeviceStatus") + "]";
        out += "\n";
    }
    return out;
}

void use_window(Platform& p, const std::string& window) {
    zqtest::write_file(p.root() + "/conf/zqsuf",
                       "trapd " + bin("trapd") + "\ntrvdis " + bin("trvdis") + " -dl 1" + window + "\n");
}

TEST(TrvdisAhead, WindowOfOneAndTheDefaultEndThePassAlike) {
    // Every kind of node, a silent one whose web port hangs among them.  The
    // last is a vendor server: its second event (servers come again among the
    // computers) ends the pass.
    const std::string foreign = "1.3.6.1.4.1.8072.3.2.10";
    std::vector<Node> nodes = {
        {"srvA", {"127.0.63.1"}, "server", vendor_mib("ENT.1.1.1.2", "0102", "", "16.0.0.5"), true},
        {"hang", {"127.0.63.2"}, "computer", vendor_mib("ENT.1.1.1.1", "0102")},
        {"deskXP", {"127.0.63.4"}, "client", vendor_mib("ENT.1.1.2.1", "0104", "5.1"), true},
        {"other", {"127.0.63.5"}, "computer", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"" + foreign + "\"]"}},
        {"nomatch", {"127.0.63.6", "127.0.63.3"}, "server", vendor_mib("ENT.1.1.9.9", "0102")},
        {"srvB", {"127.0.63.7"}, "server", vendor_mib("ENT.1.1.1.1", "0103")},
    };
    nodes[1].silent = true;
    nodes[1].web_hang = true;
    std::string dumps[2];
    std::vector<std::string> events[2];
    const char* windows[2] = {" -window 1", ""};
    for (int run = 0; run < 2; ++run) {
        Platform p(nodes, default_rules());
        use_window(p, windows[run]);
        p.start_agents();
        p.start_pm();
        ASSERT_EQ(p.zqstart().status, 0);
        ZqwObjectId last = node_id("srvB");
        ASSERT_TRUE(p.wait_events(3002, last, 2, 60000)) << windows[run] << p.trapd_log();
        dumps[run] = dump(nodes);
        events[run] = event_order(p);
    }
    EXPECT_EQ(dumps[0], dumps[1]);
    EXPECT_EQ(events[0], events[1]);
    EXPECT_NE(dumps[1].find("srvA: TrvServer ntentsrvr TRUE TRUE 16.0.0.5 TRUE [WEB_ENABLED Normal]"),
              std::string::npos)
        << dumps[1];
    EXPECT_NE(dumps[1].find("hang: <none> <none> <none>"), std::string::npos) << dumps[1];
}

// A node's answers gathered ahead are what its turn uses, even when its agent
// answers otherwise by then (the pass sees the change on its next round); a
// request is always asked afresh, and goes before the pass's next node.
TEST(TrvdisAhead, TurnUsesWhatWasGatheredAndARequestAsksAfresh) {
    Node head{"head", {"127.0.64.1"}, "server", vendor_mib("ENT.1.1.1.1", "0102")};
    head.silent = true;  // its answers are awaited for a while: the others are gathered meanwhile
    std::vector<Node> nodes = {head,
                               {"kept", {"127.0.64.2"}, "server", vendor_mib("ENT.1.1.1.1", "0102")},
                               {"asked", {"127.0.64.3"}, "server", vendor_mib("ENT.1.1.1.1", "0102")},
                               {"last", {"127.0.64.4"}, "server", vendor_mib("ENT.1.1.1.1", "0102")}};
    Platform p(nodes, default_rules());
    zqtest::write_file(p.root() + "/conf/snmp.conf",
                       "127.0.64.1 port=" + std::to_string(p.inst.snmp_port) + " timeout=6 retries=0\n" +
                           "* community=public port=" + std::to_string(p.inst.snmp_port) + " timeout=0.4 retries=0\n");
    p.start_agents();
    p.start_pm();
    ASSERT_EQ(p.zqstart().status, 0);
    usleep(1200 * 1000);  // the pass has begun; the head's agent probe waits 6 s
    std::vector<Node> changed = nodes;
    changed[1].mib = changed[2].mib = vendor_mib("ENT.1.1.1.1", "0104");
    ASSERT_NO_FATAL_FAILURE(p.reload(changed));
    ZqwObjectId kept = node_id("kept"), asked = node_id("asked"), last = node_id("last");
    send_ids(EVT_STATUS_REQUEST, {static_cast<int>(asked)});
    ASSERT_TRUE(p.wait_events(3002, last, 2, 60000)) << p.trapd_log();
    EXPECT_EQ(p.events(3002, kept), 2);   // as a server, then as a computer
    EXPECT_EQ(p.events(3002, asked), 3);  // the request, then its two turns
    std::vector<ZqwObjectId> order = p.changed_order();
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], asked) << "the request went before the pass's waiting node";
    std::vector<ZqwObjectId> web_kept = subsystems(kept), web_asked = subsystems(asked);
    ASSERT_EQ(web_kept.size(), 1u);
    ASSERT_EQ(web_asked.size(), 1u);
    EXPECT_EQ(value(web_kept[0], "trvDeviceStatus"), "Normal") << "answered before its turn";
    EXPECT_EQ(value(web_asked[0], "trvDeviceStatus"), "Major") << "asked afresh";
}

}  // namespace
