// The operator's look into discovery, against agentsim, trapd and trvdis run
// for real: zqtopo nodes lists what trvdis found, trvrequest asks it for one
// node and waits for its answer, trvexplain runs its probes without writing.
#include <nlohmann/json.hpp>

#include "trvdistest.h"

namespace {

using namespace trvdistest;
using nlohmann::json;

const std::string kRules = default_rules() + "Server:lin3:" + kEnt + ".11.2.2.4.0 STRING \"Lin\"\n";

std::vector<Node> network(const std::string& a_condition) {
    std::vector<Node> n;
    n.push_back({"srvA", {"127.0.52.1", "127.0.53.1"}, "server", vendor_mib("ENT.1.1.1.2", a_condition, "", "16.0.0.5"),
                 true});
    n.push_back({"deskXP", {"127.0.52.2"}, "client", vendor_mib("ENT.1.1.2.1", "0104", "5.1")});
    n.push_back({"other", {"127.0.52.3"}, "computer", {"\"1.3.6.1.2.1.1.2.0\": [\"OID\", \"1.3.6.1.4.1.64099.2.1\"]"}});
    Node nomatch{"nomatch", {"127.0.52.4"}, "server", vendor_mib("ENT.1.1.9.9", "0102")};
    nomatch.mib.push_back("\"ENT.11.2.2.4.0\": [\"STRING\", \"Linux\"]");
    n.push_back(nomatch);
    Node silent{"silent", {"127.0.52.5"}, "server", vendor_mib("ENT.1.1.1.1", "0102")};
    silent.silent = true;
    n.push_back(silent);
    return n;
}

std::vector<std::vector<std::string>> table(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> row;
        for (std::string w; words >> w;) row.push_back(w);
        rows.push_back(row);
    }
    return rows;
}

// The numbers of INTEGER bindings of each discover request trapd logged.
std::vector<int> request_sizes(const std::string& log) {
    std::vector<int> sizes;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("specific=3001 ") == std::string::npos) continue;
        int n = 0;
        for (size_t p = line.find("INTEGER "); p != std::string::npos; p = line.find("INTEGER ", p + 1)) ++n;
        sizes.push_back(n);
    }
    return sizes;
}

TEST(TrvdisTools, NodesRequestAndExplain) {
    Platform p(network("0102"), kRules);
    p.start_agents();
    p.start_pm();
    ASSERT_EQ(p.zqstart().status, 0);
    for (const char* host : {"srvA", "deskXP", "other", "nomatch"})
        ASSERT_TRUE(p.wait_events(EVT_NODE_CHANGED, node_id(host), 1)) << host << p.daemon_out();
    auto topo = [&](std::vector<std::string> args) {
        args.insert(args.begin(), bin("zqtopo"));
        return zqtest::run(args, p.env());
    };

    // --- zqtopo nodes: one aligned line per node, JSON lines, filters.
    RunResult r = topo({"nodes"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = table(r.out);
    ASSERT_EQ(rows.size(), 6u) << r.out;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"NAME", "ADDRESS", "KIND", "STATUS", "CLASS", "OS", "WEB",
                                                 "CONDITION", "BOARD"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"srvA", "127.0.52.1", "server", "Normal", "TrvServer", "ntentsrvr",
                                                 "WEB_ENABLED", "Normal", "16.0.0.5"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"deskXP", "127.0.52.2", "client", "Normal", "TrvDesktop",
                                                 "winxpwkstn", "WEB_DISABLED", "Major", "-"}));
    EXPECT_EQ(rows[3], (std::vector<std::string>{"other", "127.0.52.3", "computer", "Normal", "NonTarvo", "-", "-",
                                                 "-", "-"}));
    EXPECT_EQ(rows[5], (std::vector<std::string>{"silent", "127.0.52.5", "server", "Normal", "-", "-", "-", "-", "-"}));
    // Columns line up: every line has its CLASS column where the header has it.
    std::istringstream lines(r.out);
    std::string header, first;
    std::getline(lines, header);
    std::getline(lines, first);
    EXPECT_EQ(first.find("TrvServer"), header.find("CLASS")) << r.out;

    r = topo({"nodes", "--json", "trvSysType=TrvDesktop"});
    ASSERT_EQ(r.status, 0) << r.err;
    json desk = json::parse(r.out);
    EXPECT_EQ(desk["name"], "deskXP");
    EXPECT_EQ(desk["os"], "winxpwkstn");
    EXPECT_EQ(desk["condition"], "Major");
    EXPECT_FALSE(desk.contains("board"));
    struct Case {
        std::vector<std::string> filters;
        int status;
        size_t lines;
    } cases[] = {
        {{"isServer=TRUE"}, 0, 4},                       // header and three servers
        {{"isServer=TRUE", "trvSysType=NonTarvo"}, 0, 2}, // every condition holds
        {{"trvOsType=none"}, 1, 0},                      // no match
        {{"trvSysType=Toaster"}, 2, 0},                  // no such value
        {{"nofield=1"}, 2, 0},
        {{"isServer"}, 2, 0},
        // Every column it shows filters, the web subsystem's fields too.
        {{"condition=Major"}, 0, 2},
        {{"trvDeviceStatus=Major"}, 0, 2},
        {{"web=WEB_ENABLED", "kind=server"}, 0, 2},
        {{"web=-"}, 0, 4},
        {{"address=127.0.52.3"}, 0, 2},
        {{"trvDeviceStatus=Toaster"}, 2, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"nodes"};
        args.insert(args.end(), c.filters.begin(), c.filters.end());
        r = topo(args);
        EXPECT_EQ(r.status, c.status) << c.filters[0] << r.err;
        EXPECT_EQ(table(r.out).size(), c.lines) << c.filters[0] << r.out;
    }

    // --- trvrequest: the condition changes; a status request brings it in.
    p.reload(network("0103"));
    auto request = [&](std::vector<std::string> args) {
        args.insert(args.begin(), bin("trvrequest"));
        return zqtest::run(args, p.env());
    };
    r = request({"status", "srvA", "--wait", "--timeout", "30"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "srvA: class=TrvServer os=ntentsrvr board=16.0.0.5 web=WEB_ENABLED condition=Marginal\n");
    r = request({"discover", "other", std::to_string(node_id("deskXP")), "--wait", "--timeout", "30"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "other: class=NonTarvo\n" + std::to_string(node_id("deskXP")) +
                         ": class=TrvDesktop os=winxpwkstn web=WEB_DISABLED condition=Major\n");
    // trvdis never answers for a silent node that is no vendor node, nor for an
    // unmanaged one: said at once with the reason, exit 4, the others waited for.
    r = request({"discover", "silent", "127.0.52.3", "--wait", "--timeout", "30"});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("silent: no SNMP answer from 127.0.52.5:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("trvdis keeps nothing of such a node and sends no answer for it"), std::string::npos);
    EXPECT_EQ(r.out, "127.0.52.3: class=NonTarvo\n");  // an interface's address names its node
    open_db();
    set_enum(node_id("nomatch"), "IP Status", "Unmanaged");
    r = request({"status", "nomatch", "--wait", "--timeout", "30"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("nomatch: not managed (IP Status Unmanaged)"), std::string::npos) << r.err;
    set_enum(node_id("nomatch"), "IP Status", "Normal");
    // Batches as the map application sends them: 14, then 15 at most.
    std::vector<std::string> many = {"discover"};
    for (int i = 0; i < 30; ++i) many.push_back("deskXP");
    r = request(many);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "EVT_DISCOVER_REQUEST requested for 30 nodes\n");
    ASSERT_TRUE(zqtest::wait_until([&] { return request_sizes(p.trapd_log()).size() >= 3; }, 10000));
    std::vector<int> sizes = request_sizes(p.trapd_log());
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(std::vector<int>(sizes.end() - 3, sizes.end()), (std::vector<int>{14, 15, 1}));
    for (auto [args, status] : std::vector<std::pair<std::vector<std::string>, int>>{
             {{"discover", "nosuch"}, 2}, {{"restart", "srvA"}, 2}, {{"status"}, 2}, {{"status", "srvA", "--timeout", "x"}, 2},
             {{"status", "srvA", "--wiat"}, 2}})
        EXPECT_EQ(request(args).status, status) << args[0];

    // Without trvdis nobody would take the request: refused.
    ASSERT_EQ(p.zqstop({"trvdis"}).status, 0);
    r = request({"discover", "srvA"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("trvdis is not running"), std::string::npos) << r.err;

    // --- trvexplain: trvdis's probes, nothing written.
    open_db();
    set_string(node_id("srvA"), "trvOsType", "stale");
    std::string before = topo({"show", "srvA"}).out;
    auto explain = [&](const std::string& node) {
        RunResult e = zqtest::run({bin("trvexplain"), node, "--json"}, p.env());
        json doc = e.out.empty() ? json() : json::parse(e.out, nullptr, false);
        return std::make_pair(e.status, doc);
    };
    auto [status, doc] = explain("srvA");
    ASSERT_EQ(status, 0);
    std::vector<std::string> probes;
    for (const auto& s : doc["probes"]) probes.push_back(s["probe"]);
    EXPECT_EQ(probes, (std::vector<std::string>{"managed", "agent", "rule 1", "version", "board", "web agent",
                                                "condition"}));
    EXPECT_EQ(doc["probes"][2]["verdict"], "matches");
    EXPECT_EQ(doc["probes"][2]["matched"], true);
    EXPECT_EQ(doc["probes"][1]["answered"], true);
    EXPECT_EQ(doc["probes"][1]["via"]["address"], "127.0.52.1");
    EXPECT_EQ(doc["probes"][1]["via"]["community"], "public");
    EXPECT_EQ(doc["probes"][0]["verdict"], "managed: every pass of trvdis handles the node");
    EXPECT_TRUE(doc["probes"][0]["via"].is_null());
    EXPECT_EQ(doc["probes"][4]["answer"], "16.0.0.5");
    EXPECT_EQ(doc["probes"][6]["verdict"], "status Marginal");
    auto writes = [](const json& d) {
        std::map<std::string, std::pair<std::string, std::string>> w;
        auto text = [](const json& v) { return v.is_null() ? std::string("(null)") : v.get<std::string>(); };
        for (const auto& x : d["writes"]) w[x["field"]] = {text(x["now"]), text(x["would"])};
        return w;
    };
    auto w = writes(doc);
    EXPECT_EQ(w["trvOsType"], std::make_pair(std::string("stale"), std::string("ntentsrvr")));
    EXPECT_EQ(w["trvSysType"], std::make_pair(std::string("TrvServer"), std::string("TrvServer")));
    EXPECT_EQ(w["trvDeviceStatus"], std::make_pair(std::string("Marginal"), std::string("Marginal")));
    EXPECT_EQ(w["isVelmswp"].second, "TRUE");
    EXPECT_EQ(topo({"show", "srvA"}).out, before);  // nothing written

    std::tie(status, doc) = explain("deskXP");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(doc["probes"][5]["answer"], "\"5.1\"");
    EXPECT_EQ(doc["probes"][5]["verdict"], "the OS becomes winxpwkstn");
    EXPECT_EQ(doc["probes"][2]["verdict"], "no match: the values differ");

    // Every rule tried and why each failed; trvdis would call it NonTarvo.
    std::tie(status, doc) = explain("nomatch");
    EXPECT_EQ(status, 0);
    ASSERT_EQ(doc["probes"].size(), 7u) << doc.dump();
    EXPECT_EQ(doc["probes"][6]["verdict"], "no rule matches");
    EXPECT_EQ(doc["probes"][5]["verdict"],
              "no match: the texts differ in length (3 against 5 characters)");
    EXPECT_EQ(writes(doc)["trvSysType"].second, "NonTarvo");

    std::tie(status, doc) = explain("other");
    EXPECT_EQ(status, 0);
    EXPECT_NE(doc["probes"][1]["verdict"].get<std::string>().find("not a vendor node"), std::string::npos);

    std::tie(status, doc) = explain("silent");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(doc["answered"], false);
    EXPECT_EQ(doc["probes"][1]["answered"], false);
    EXPECT_NE(doc["probes"][1]["answer"].get<std::string>().find("no answer within "), std::string::npos);
    EXPECT_TRUE(doc["writes"].empty());

    // By an interface's address and by a name of conf/hosts; the unmanaged node
    // gets its verdict alone; a node no pass lists is said to be handled on a
    // request only; unset values are null, non-ASCII text escaped.
    zqtest::write_file(p.root() + "/conf/hosts",
                       zqtest::read_file(p.root() + "/conf/hosts") + "127.0.53.1 second-nic\n");
    for (const char* name : {"127.0.53.1", "second-nic"}) {
        std::tie(status, doc) = explain(name);
        EXPECT_EQ(status, 0) << name;
        EXPECT_EQ(doc["id"], node_id("srvA")) << name;
    }
    set_enum(node_id("nomatch"), "IP Status", "Unmanaged");
    std::tie(status, doc) = explain("nomatch");
    EXPECT_EQ(status, 4);
    EXPECT_EQ(doc["managed"], false);
    ASSERT_EQ(doc["probes"].size(), 1u) << doc.dump();
    EXPECT_TRUE(doc["writes"].empty());
    RunResult unmanaged = zqtest::run({bin("trvexplain"), "nomatch"}, p.env());
    EXPECT_NE(unmanaged.out.find("trvdis does not handle the node: nothing would be written."), std::string::npos)
        << unmanaged.out;
    set_bool(node_id("other"), "isSNMPSupported", 0);
    set_string(node_id("other"), "trvOsType", "caf\xc3\xa9 \xff");
    std::tie(status, doc) = explain("other");
    EXPECT_EQ(doc["listed_by_pass"], false);
    EXPECT_NE(doc["probes"][0]["verdict"].get<std::string>().find("only on a request"), std::string::npos);
    RunResult raw = zqtest::run({bin("trvexplain"), "other", "--json"}, p.env());
    EXPECT_NE(raw.out.find("\"now\": \"caf\\u00e9 \\u00ff\""), std::string::npos) << raw.out;
    EXPECT_NE(raw.out.find("\"field\": \"isTrvVantor\", \"now\": null, \"would\": null"), std::string::npos)
        << raw.out;

    RunResult text = zqtest::run({bin("trvexplain"), "srvA"}, p.env());
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("trvdis would write:"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("   to: 127.0.52.1:"), std::string::npos) << text.out;
    EXPECT_EQ(zqtest::run({bin("trvexplain"), "nosuch"}, p.env()).status, 2);
    EXPECT_EQ(zqtest::run({bin("trvexplain"), "srvA", "--jsn"}, p.env()).status, 2);

    // A trvconfig.dat that does not parse: 3, the reason on standard error and
    // nothing on standard output, which --json keeps for the document alone.
    zqtest::write_file(p.root() + "/conf/c/trv/trvconfig.dat", "DiscoveryInterval: 30\nBogus line\n");
    for (bool json_out : {true, false}) {
        std::vector<std::string> args{bin("trvexplain"), "srvA"};
        if (json_out) args.push_back("--json");
        RunResult bad = zqtest::run(args, p.env());
        EXPECT_EQ(bad.status, 3);
        EXPECT_EQ(bad.out, "");
        EXPECT_NE(bad.err.find("Line 2: "), std::string::npos) << bad.err;
    }
}

}  // namespace
