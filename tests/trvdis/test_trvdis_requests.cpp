// The requests trvdis takes from its event session: discover by ids, status by
// address, platform node up/down events, malformed ones, and the un-install
// request.
#include <algorithm>

#include "trvdistest.h"

namespace {

using namespace trvdistest;

std::vector<Node> network() {
    std::vector<Node> n;
    for (int i = 1; i <= 3; ++i)
        n.push_back({"v" + std::to_string(i), {"127.0.52." + std::to_string(i)}, "computer",
                     vendor_mib("ENT.1.1.1.1", "0102")});
    n.push_back({"v4", {"127.0.52.4", "127.0.52.14"}, "computer", vendor_mib("ENT.1.1.1.1", "0102")});
    n.push_back({"nt", {"127.0.52.5"}, "computer", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.64099.2.1\"]"}});
    n.push_back({"unm", {"127.0.52.6"}, "computer", vendor_mib("ENT.1.1.1.1", "0102")});
    Node slow{"slow", {"127.0.52.7"}, "computer", vendor_mib("ENT.1.1.1.1", "0102")};
    slow.silent = true;
    n.push_back(slow);
    return n;
}

// An interface object carrying an address for a node.
void add_interface(ZqwObjectId node, const char* address) {
    ZqwObjectId id = ZqwDbCreateObject(nullptr);
    ASSERT_NE(id, 0u);
    set_string(id, "IP Address", address);
    set_int(id, "TopM Node ID", static_cast<int>(node));
    set_bool(id, "isIP", 1);
}

// A status request in trvtrapd's form: one OCTET STRING named ENT.11.2.8.1.
void status_by_text(const zqtest::Env& env, const std::string& text) {
    notify(env, kEnt + ".1.3.12.0.3004", {kEnt + ".11.2.8.1", "octetstring", text});
}

TEST(TrvdisRequests, QueuesRequestedNodesAndEndsOnUninstall) {
    // The silent node costs two seconds a probe: time for events to pile up.
    Platform p(network(), default_rules(), "127.0.52.7 timeout=2 retries=0\n");
    ZqwObjectId v1 = node_id("v1"), v2 = node_id("v2"), v3 = node_id("v3"), v4 = node_id("v4"),
                nt = node_id("nt"), unm = node_id("unm"), slow = node_id("slow");
    add_interface(v1, "127.0.52.30");
    add_interface(v2, "127.0.52.30");
    p.start_agents();
    p.start_pm();
    RunResult r = p.zqstart();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (ZqwObjectId id : {v1, v2, v3, v4, nt, unm}) ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, id, 1)) << id;
    ASSERT_EQ(value(nt, "trvSysType"), "NonTarvo");
    ASSERT_EQ(value(unm, "trvSysType"), "TrvServer");
    auto env = p.env();

    // Three ids in order, then an address that only an interface carries: the
    // three come first, in order, then v4.
    size_t before = p.changed_order().size();
    send_ids(EVT_DISCOVER_REQUEST, {static_cast<int>(v3), static_cast<int>(v1), static_cast<int>(v2)});
    status_by_text(env, "127.0.52.14");
    ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, v4, 2)) << p.daemon_out();
    std::vector<ZqwObjectId> order = p.changed_order();
    order.erase(order.begin(), order.begin() + static_cast<long>(before));
    EXPECT_EQ(order, (std::vector<ZqwObjectId>{v3, v1, v2, v4}));
    EXPECT_GE(p.events(EVT_STATUS_UPDATED, v4), 2);

    // Requests that name nothing or too much; node events for a vendor node,
    // a non-vendor node, an unmanaged node; malformed ones.  A discover request
    // for v1 comes last and marks the end.
    ASSERT_EQ(ZqwDbSetFieldEnumByName(unm, ZqwDbFieldNameToFieldId("IP Status"), "Unmanaged"), 1);
    int seen_v1 = p.events(EVT_NODE_CHANGED, v1), seen_v2 = p.events(EVT_NODE_CHANGED, v2),
        seen_v3 = p.events(EVT_NODE_CHANGED, v3);
    status_by_text(env, "127.0.52.30");           // two interfaces: 3019
    status_by_text(env, std::string(300, '7'));   // no such host or address; cut at 255
    node_event(env, "v2", v2);                    // vendor: looked at again
    node_event(env, "nt", nt, true);              // NonTarvo: nothing
    node_event(env, "unm", unm);                  // unmanaged: nothing
    std::string o = kZent + ".2.17.1";
    notify(env, o + ".0.58916865", {o, "octetstring", "v3", o, "octetstring", "Node Down"});  // two bindings
    notify(env, o + ".0.58916865",
           {o, "octetstring", "v3", o, "octetstring", "Node Down", o, "integer", std::to_string(v3)});
    notify(env, o + ".0.58916865", {});           // no bindings at all
    notify(env, kEnt + ".1.3.2.0.3001", {});      // a discover request without ids
    // INTEGER requests take only their INTEGER bindings.
    notify(env, kEnt + ".1.3.2.0.3001",
           {kEnt + ".1.3.2", "integer", std::to_string(v3), kEnt + ".1.3.2", "octetstring", "garbage",
            kEnt + ".1.3.2", "integer", std::to_string(v1)});
    ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, v1, seen_v1 + 1)) << p.daemon_out();
    EXPECT_EQ(p.events(EVT_NODE_CHANGED, v2), seen_v2 + 1);
    EXPECT_EQ(p.events(EVT_NODE_CHANGED, v3), seen_v3 + 1);
    EXPECT_EQ(p.events(EVT_NODE_CHANGED, nt), 1);
    EXPECT_EQ(p.events(EVT_NODE_CHANGED, unm), 1);
    std::string log = p.error_log();
    EXPECT_NE(log.find("trvdis (3019): No object found with the IP Address 127.0.52.30"), std::string::npos) << log;
    EXPECT_NE(log.find("trvdis (3019): No object found with the IP Address " + std::string(255, '7')),
              std::string::npos);
    EXPECT_EQ(log.find(std::string(256, '7')), std::string::npos);
    EXPECT_EQ(p.status("trvdis").state, "RUNNING");

    // While trvdis waits on the silent node, ids and the un-install request
    // arrive: it ends at once with status 0, the ids unhandled, the marker kept.
    std::vector<int> counts;
    for (ZqwObjectId id : {v1, v2, v3, v4}) counts.push_back(p.events(EVT_NODE_CHANGED, id));
    auto received = [&] {
        std::string out = p.daemon_out();
        size_t n = 0;
        for (size_t at = out.find("Received Tarvo enterprise trap."); at != std::string::npos;
             at = out.find("Received Tarvo enterprise trap.", at + 1))
            ++n;
        return n;
    };
    size_t requests = received();
    send_ids(EVT_DISCOVER_REQUEST, {static_cast<int>(slow)});
    ASSERT_TRUE(zqtest::wait_until([&] { return received() > requests; }, 10000));
    send_ids(EVT_DISCOVER_REQUEST, {static_cast<int>(v1), static_cast<int>(v2), static_cast<int>(v3),
                                    static_cast<int>(v4)});
    send_ids(EVT_UNINSTALL_REQUEST, {});
    Platform::ProcStatus st = p.wait_ended("trvdis");
    EXPECT_EQ(st.state, "EXITED");
    EXPECT_EQ(st.exit, "0");
    EXPECT_EQ(st.text, "Exited on request from trvmap for un-install request");
    std::vector<int> after;
    for (ZqwObjectId id : {v1, v2, v3, v4}) after.push_back(p.events(EVT_NODE_CHANGED, id));
    EXPECT_EQ(after, counts);
    EXPECT_TRUE(p.marker());
}

}  // namespace
