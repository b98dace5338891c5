// zqtopo against a real instance; the node events through a real trapd.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport.h"
#include "zqoid.h"

namespace {

using zqtest::RunResult;

const char* kNetwork = R"({ "nodes": [
  { "name": "srv1", "addresses": ["127.0.1.1", "127.0.2.1"], "kind": "server", "snmp": true, "status": "Normal",
    "web_agent": true, "mib": { "1.3.6.1.2.1.1.5.0": ["STRING", "srv1"] } },
  { "name": "pc1", "addresses": ["127.0.1.2"], "kind": "client", "snmp": false },
  { "name": "dev1", "addresses": ["127.0.1.3"], "kind": "device", "status": "Unmanaged" },
  { "name": "badkind", "addresses": ["127.0.1.4"], "kind": "toaster" },
  { "name": "noaddr", "addresses": ["300.1.1.1"] },
  { "name": "badstatus", "addresses": ["127.0.1.5"], "status": "Asleep" },
  { "name": "SRV1", "addresses": ["127.0.1.9"] }
] })";

class Topo : public ::testing::Test {
protected:
    zqtest::Instance inst;
    std::string network;

    void SetUp() override {
        network = inst.dir.path + "/net.json";
        zqtest::write_file(network, kNetwork);
    }
    RunResult topo(std::vector<std::string> args) {
        args.insert(args.begin(), zqtest::bin("zqtopo"));
        return zqtest::run(args, inst.env());
    }
    std::string get(const std::string& name, const std::string& field) { return topo({"get", name, field}).out; }
};

TEST_F(Topo, ImportCreatesNodesInterfacesAndHosts) {
    RunResult r = topo({"import", network});
    // The bad nodes are reported, the good ones imported.
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("imported 3 nodes, 4 rejected"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("toaster"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("300.1.1.1"), std::string::npos);
    EXPECT_NE(r.err.find("Asleep"), std::string::npos);
    EXPECT_NE(r.err.find("appears twice"), std::string::npos);

    EXPECT_EQ(get("srv1", "isServer"), "TRUE\n");
    EXPECT_EQ(get("srv1", "isComputer"), "TRUE\n");
    EXPECT_EQ(get("srv1", "isSNMPSupported"), "TRUE\n");
    EXPECT_EQ(get("srv1", "IP Hostname"), "srv1\n");
    EXPECT_EQ(get("pc1", "isClient"), "TRUE\n");
    EXPECT_EQ(get("pc1", "isSNMPSupported"), "FALSE\n");
    EXPECT_EQ(get("pc1", "IP Status"), "Normal\n");
    EXPECT_EQ(get("dev1", "isComputer"), "FALSE\n");
    EXPECT_EQ(get("dev1", "isDevice"), "TRUE\n");
    EXPECT_EQ(get("dev1", "IP Status"), "Unmanaged\n");

    // One IP interface per address, pointing at its node.
    std::string srv = topo({"id", "srv1"}).out;
    r = topo({"find", "TopM Node ID=" + srv.substr(0, srv.size() - 1), "isIP=TRUE"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
    r = topo({"find", "IP Address=127.0.2.1"});
    ASSERT_EQ(r.status, 0);
    std::string iface = r.out.substr(0, r.out.find(' '));
    EXPECT_EQ(get(iface, "TopM Node ID"), srv);

    std::string hosts = zqtest::read_file(inst.root + "/conf/hosts");
    EXPECT_NE(hosts.find("127.0.1.1 srv1\n"), std::string::npos) << hosts;
    EXPECT_NE(hosts.find("127.0.1.3 dev1\n"), std::string::npos);
    EXPECT_EQ(hosts.find("toaster"), std::string::npos);
}

TEST_F(Topo, ReimportUpdatesInPlace) {
    topo({"import", network});
    std::string id = topo({"id", "srv1"}).out;
    topo({"status", "pc1", "Marginal"});
    zqtest::write_file(network, R"({ "nodes": [
      { "name": "srv1", "addresses": ["127.0.2.1", "127.0.3.1"], "kind": "client", "status": "Normal" } ] })");
    RunResult r = topo({"import", network});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(topo({"id", "srv1"}).out, id);
    EXPECT_EQ(get("srv1", "isServer"), "FALSE\n");
    EXPECT_EQ(get("srv1", "isClient"), "TRUE\n");
    // The interface of the address that went is gone, the kept one is the same object.
    EXPECT_EQ(topo({"find", "IP Address=127.0.1.1"}).status, 1);
    EXPECT_EQ(topo({"find", "IP Address=127.0.3.1"}).status, 0);
    std::string hosts = zqtest::read_file(inst.root + "/conf/hosts");
    EXPECT_EQ(hosts.find("127.0.1.1 srv1"), std::string::npos) << hosts;
    EXPECT_NE(hosts.find("127.0.2.1 srv1\n"), std::string::npos);
    EXPECT_NE(hosts.find("127.0.1.2 pc1\n"), std::string::npos);
    // Nodes not in the file are left alone.
    EXPECT_EQ(get("pc1", "IP Status"), "Marginal\n");
}

TEST_F(Topo, GetIdShowAndTheirExitStatuses) {
    topo({"import", network});
    RunResult r = topo({"get", "srv1", "ZQW Maps Exists"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    r = topo({"get", "srv1", "noSuchField"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    r = topo({"get", "nosuch", "isNode"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no object"), std::string::npos);
    // NAME may be a host name (any case) or an id.
    std::string id = topo({"id", "SRV1"}).out;
    EXPECT_EQ(topo({"id", id.substr(0, id.size() - 1)}).out, id);
    EXPECT_EQ(topo({"id", "999999"}).status, 2);

    r = topo({"show", "srv1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Selection Name: srv1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("isServer: TRUE\n"), std::string::npos);
    EXPECT_NE(r.out.find("IP Status: Normal\n"), std::string::npos);
    EXPECT_EQ(r.out.find("ZQW Maps Exists"), std::string::npos);
    r = topo({"show", "srv1", "--json"});
    ASSERT_EQ(r.status, 0);
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["fields"]["isServer"], true);
    EXPECT_EQ(j["fields"]["IP Status"], "Normal");
    EXPECT_EQ(std::to_string(j["id"].get<unsigned>()) + "\n", id);
}

TEST_F(Topo, SetUnsetFindAndBadValues) {
    topo({"import", network});
    EXPECT_EQ(topo({"set", "pc1", "TopM Node ID", "-12"}).status, 0);
    EXPECT_EQ(get("pc1", "TopM Node ID"), "-12\n");
    EXPECT_EQ(topo({"set", "pc1", "TopM Node ID", "12x"}).status, 2);
    EXPECT_EQ(topo({"set", "pc1", "isIP", "maybe"}).status, 2);
    EXPECT_EQ(topo({"set", "pc1", "IP Status", "Sleepy"}).status, 2);
    EXPECT_EQ(topo({"set", "pc1", "IP Status", "3"}).status, 0);
    EXPECT_EQ(get("pc1", "IP Status"), "Critical\n");
    // Selection names stay unique.
    RunResult r = topo({"set", "pc1", "Selection Name", "srv1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    EXPECT_EQ(topo({"unset", "pc1", "TopM Node ID"}).status, 0);
    EXPECT_EQ(topo({"unset", "pc1", "TopM Node ID"}).status, 0);
    EXPECT_EQ(topo({"get", "pc1", "TopM Node ID"}).status, 1);

    r = topo({"find", "isComputer=TRUE", "isSNMPSupported=FALSE"});
    EXPECT_EQ(r.status, 0);
    std::string pc = topo({"id", "pc1"}).out;
    EXPECT_EQ(r.out, pc.substr(0, pc.size() - 1) + " pc1\n");
    EXPECT_EQ(topo({"find", "isComputer=TRUE", "isDevice=TRUE"}).status, 1);
    EXPECT_EQ(topo({"find", "isComputer"}).status, 2);
    EXPECT_EQ(topo({"find", "nofield=1"}).status, 2);
}

TEST_F(Topo, AddRemoveFieldsAndUsage) {
    RunResult r = topo({"add", "n1", "10.0.0.1", "10.0.0.2", "--server", "--snmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get("n1", "isServer"), "TRUE\n");
    EXPECT_EQ(get("n1", "isSNMPSupported"), "TRUE\n");
    EXPECT_EQ(topo({"add", "n1", "10.0.0.3"}).status, 2);
    EXPECT_EQ(topo({"add", "n2", "not-an-address"}).status, 2);
    EXPECT_EQ(topo({"add", "n2", "10.0.0.9", "--server", "--client"}).status, 2);
    EXPECT_EQ(topo({"add", "n 2", "10.0.0.9"}).status, 2);
    EXPECT_NE(zqtest::read_file(inst.root + "/conf/hosts").find("10.0.0.1 n1\n"), std::string::npos);

    EXPECT_EQ(topo({"remove", "n1"}).status, 0);
    EXPECT_EQ(topo({"id", "n1"}).status, 2);
    EXPECT_EQ(topo({"find", "IP Address=10.0.0.2"}).status, 1);
    EXPECT_EQ(zqtest::read_file(inst.root + "/conf/hosts").find(" n1"), std::string::npos);
    EXPECT_EQ(topo({"remove", "n1"}).status, 2);

    r = topo({"fields"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("field \"IP Status\" Enumeration \"Unknown\" \"Normal\" \"Marginal\" \"Critical\" "
                         "\"Unmanaged\"\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(topo({"frobnicate"}).status, 2);
    EXPECT_EQ(topo({}).status, 2);
    r = topo({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: zqtopo"), std::string::npos);
    EXPECT_EQ(topo({"import", inst.dir.path + "/missing.json"}).status, 2);
    zqtest::write_file(network, "{ not json");
    EXPECT_EQ(topo({"import", network}).status, 2);
}

TEST(TopoNoDatabase, ReportsAndExits3) {
    zqtest::TempDir d;
    RunResult r = zqtest::run({zqtest::bin("zqtopo"), "id", "x"}, {{"ZQ_ROOT", d.path}});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot open the topology database"), std::string::npos);
}

TEST_F(Topo, StatusChangesToAndFromCriticalSendNodeEvents) {
    topo({"import", network});
    zqtest::Process trapd({zqtest::bin("trapd"), "--root", inst.root});
    ASSERT_TRUE(trapd.wait_for_err("listening", 10000)) << trapd.err();
    zqtest::Process events({zqtest::bin("zqevents"), "--json", "--count", "2", "--timeout", "30"}, inst.env());
    ASSERT_TRUE(events.wait_for_err("listening", 10000)) << events.err();

    EXPECT_EQ(topo({"status", "srv1", "Marginal"}).status, 0);  // no event
    EXPECT_EQ(topo({"status", "srv1", "Critical"}).status, 0);  // down
    EXPECT_EQ(topo({"status", "srv1", "Critical"}).status, 0);  // no change, no event
    EXPECT_EQ(topo({"status", "srv1", "Normal"}).status, 0);    // up
    EXPECT_EQ(topo({"status", "srv1", "Sleepy"}).status, 2);
    ASSERT_EQ(events.wait(30000), 0) << events.err();
    std::string id = topo({"id", "srv1"}).out;
    id.pop_back();

    std::vector<nlohmann::json> got;
    std::istringstream lines(events.out());
    for (std::string line; std::getline(lines, line);) got.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(got.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& e = got[i];
        EXPECT_EQ(e["enterprise"], std::string(ZQ_ZENT_TEXT) + ".2.17.1");
        EXPECT_EQ(e["generic"], 6);
        EXPECT_EQ(e["specific"], i == 0 ? 58916865 : 58916864);
        EXPECT_EQ(e["agent"], "127.0.1.1");
        ASSERT_EQ(e["varbinds"].size(), 3u);
        EXPECT_EQ(e["varbinds"][0]["value"], "srv1");
        EXPECT_EQ(e["varbinds"][1]["value"], i == 0 ? "Node Down" : "Node Up");
        EXPECT_EQ(e["varbinds"][2]["value"], id);
        EXPECT_EQ(e["varbinds"][2]["type"], "OCTET STRING");
    }
    EXPECT_EQ(get("srv1", "IP Status"), "Normal\n");

    // Without trapd the status is still set, and the failed event is reported.
    trapd.stop();
    RunResult r = topo({"status", "srv1", "Critical"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("IP Status was set"), std::string::npos) << r.err;
    EXPECT_EQ(get("srv1", "IP Status"), "Critical\n");
}

}  // namespace
