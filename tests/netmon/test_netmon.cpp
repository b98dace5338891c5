// netmon under zqspmd against agentsim: a node that falls silent goes Critical with
// a node down event, and comes back Normal with a node up event; unmanaged and
// non-SNMP nodes are left alone.
#include <signal.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "zqoid.h"

namespace {

using zqtest::bin;
using zqtest::RunResult;

std::string network(bool n1_silent) {
    return std::string(R"({ "nodes": [
  { "name": "n1", "addresses": ["127.0.7.1"], "kind": "server", "snmp": true, "status": "Normal",
    "silent": )") + (n1_silent ? "true" : "false") + R"( },
  { "name": "quiet", "addresses": ["127.0.7.2"], "kind": "server", "snmp": true, "status": "Unmanaged",
    "silent": true },
  { "name": "pc", "addresses": ["127.0.7.3"], "kind": "client", "snmp": false, "status": "Normal",
    "silent": true } ] })";
}

TEST(Netmon, NodeDownWhenSilentAndUpWhenItAnswersAgain) {
    zqtest::Instance inst;
    auto env = inst.env();
    std::string net = inst.dir.path + "/net.json";
    zqtest::write_file(net, network(false));
    zqtest::write_file(inst.root + "/conf/snmp.conf",
                       "* community=public port=" + std::to_string(inst.snmp_port) + " timeout=0.2 retries=1\n");
    ASSERT_EQ(zqtest::run({bin("zqtopo"), "import", net}, env).status, 0);
    zqtest::write_file(inst.root + "/conf/zqsuf",
                       "trapd " + bin("trapd") + "\nnetmon " + bin("netmon") + " --interval 1\n");

    zqtest::Process agents({bin("agentsim"), net, "--web-port", "0", "--console-port", "0"}, env);
    ASSERT_TRUE(agents.wait_for_out("serving", 10000)) << agents.err();
    zqtest::Process pmd({bin("zqspmd"), "--stop-grace", "5"}, env);
    ASSERT_TRUE(zqtest::wait_until([&] { return zqtest::run({bin("zqstatus")}, env).status == 0; }, 10000));
    RunResult r = zqtest::run({bin("zqstart")}, env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("netmon started"), std::string::npos) << r.out;

    zqtest::Process events({bin("zqevents"), "--json", "--count", "2", "--timeout", "40"}, env);
    ASSERT_TRUE(events.wait_for_err("listening", 10000)) << events.err();
    auto status = [&](const std::string& n) { return zqtest::run({bin("zqtopo"), "get", n, "IP Status"}, env).out; };

    zqtest::write_file(net, network(true));
    kill(agents.pid(), SIGHUP);
    EXPECT_TRUE(zqtest::wait_until([&] { return status("n1") == "Critical\n"; }, 20000, 100));
    zqtest::write_file(net, network(false));
    kill(agents.pid(), SIGHUP);
    EXPECT_TRUE(zqtest::wait_until([&] { return status("n1") == "Normal\n"; }, 20000, 100));
    ASSERT_EQ(events.wait(30000), 0) << events.err();

    std::vector<nlohmann::json> got;
    std::istringstream lines(events.out());
    for (std::string line; std::getline(lines, line);) got.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(got.size(), 2u) << events.out();
    std::string id = zqtest::run({bin("zqtopo"), "id", "n1"}, env).out;
    if (!id.empty()) id.pop_back();
    for (size_t i = 0; i < 2; ++i) {
        const auto& e = got[i];
        EXPECT_EQ(e["enterprise"], std::string(ZQ_ZENT_TEXT) + ".2.17.1");
        EXPECT_EQ(e["generic"], 6);
        EXPECT_EQ(e["specific"], i == 0 ? 58916865 : 58916864);
        EXPECT_EQ(e["agent"], "127.0.7.1");
        ASSERT_EQ(e["varbinds"].size(), 3u);
        EXPECT_EQ(e["varbinds"][0]["value"], "n1");
        EXPECT_EQ(e["varbinds"][1]["value"], i == 0 ? "Node Down" : "Node Up");
        EXPECT_EQ(e["varbinds"][2]["value"], id);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(e["varbinds"][k]["type"], "OCTET STRING");
    }
    // Silent all along, but unmanaged or not SNMP: untouched.
    EXPECT_EQ(status("quiet"), "Unmanaged\n");
    EXPECT_EQ(status("pc"), "Normal\n");

    r = zqtest::run({bin("zqstop"), "netmon"}, env);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string st = zqtest::run({bin("zqstatus")}, env).out;
    EXPECT_NE(st.find("netmon exiting at the request of zqspmd"), std::string::npos) << st;
    std::string log = zqtest::read_file(inst.root + "/log/netmon.log");
    EXPECT_NE(log.find("n1 (object " + id + "): IP Status Normal -> Critical"), std::string::npos) << log;
}

TEST(Netmon, RefusesBadArgumentsAndAnInstanceWithoutDatabase) {
    EXPECT_EQ(zqtest::run({bin("netmon"), "--interval", "0"}).status, 2);
    EXPECT_EQ(zqtest::run({bin("netmon"), "--bogus"}).status, 2);
    EXPECT_EQ(zqtest::run({bin("netmon"), "--help"}).status, 0);
    zqtest::TempDir empty;
    RunResult r = zqtest::run({bin("netmon")}, {{"ZQ_ROOT", empty.path}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("topology database"), std::string::npos) << r.err;
}

}  // namespace
