// The map program: registrations, application hosting and events, node symbols
// kept in step with the topology, stopping.  The loop runs in-process (the
// mapd.h functions are reached through post()) or as the real zqw program; the
// applications are the real test application, started by the map program.
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "daemon.h"
#include "mapd.h"
#include "registration.h"
#include "testsupport.h"
#include "zqw.h"
#include "zqw_internal.h"

namespace {

namespace fs = std::filesystem;
using zqtest::read_file;
using zqtest::wait_until;
using zqtest::write_file;

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

// --- registrations --------------------------------------------------------------

TEST(Registration, ParsesApplicationsAndReportsBadLines) {
    const char* text = R"(# two applications in one file
application "Tarvo"
command "trvmap" "-dl" "0"
action "Tarvo Discover" "Discover selected nodes"
action "With Args" "Label" args "a b" c
symbol_type "Server:TrvServer-*" vendor-server
config_field "VTMXEIp" "Vantor Manager address"
application "Velm Sub-system Summary"
action "Action_WEB" "Web agent" url "http://${hostname}:2301/"
)";
    std::vector<std::string> errors;
    auto apps = zq::map::parse_registration(text, "t.reg", errors);
    EXPECT_TRUE(errors.empty()) << errors.front();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].name, "Tarvo");
    EXPECT_EQ(apps[0].command, (std::vector<std::string>{"trvmap", "-dl", "0"}));
    ASSERT_EQ(apps[0].actions.size(), 2u);
    EXPECT_EQ(apps[0].actions[0].label, "Discover selected nodes");
    EXPECT_EQ(apps[0].actions[1].args, (std::vector<std::string>{"a b", "c"}));
    ASSERT_EQ(apps[0].symbol_types.size(), 1u);
    EXPECT_EQ(apps[0].symbol_types[0].icon, "vendor-server");
    ASSERT_EQ(apps[0].config.size(), 1u);
    EXPECT_EQ(apps[0].config[0].label, "Vantor Manager address");
    EXPECT_TRUE(apps[1].command.empty());
    ASSERT_EQ(apps[1].actions.size(), 1u);
    EXPECT_EQ(apps[1].actions[0].url, "http://${hostname}:2301/");

    // Each bad line is named and left out; the rest stands.
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {
        {"command", "command wants"},
        {"action \"A\"", "action wants"},
        {"action \"A\" \"L\" url \"javascript:alert(1)\"", "http://"},
        {"action \"A\" \"L\" frobnicate", "url TEMPLATE or args"},
        {"symbol_type \"Server:*Trv\" server", "'*' only at its end"},
        {"symbol_type \"Server:X\" toaster", "unknown icon class"},
        {"config_field \"F\"", "config_field wants"},
        {"colour red", "unknown keyword"},
        {"action \"A\" \"unterminated", "unterminated quote"},
        {"application \"\"", "application wants"},
        {"covers Good", "covers wants an action and FIELD=VALUE"},
        {"covers Good isNode", "covers wants an action and FIELD=VALUE"},
        {"covers Other isNode=TRUE", "covers names no action of App"},
    };
    for (const auto& c : cases) {
        errors.clear();
        std::string t = std::string("application App\naction Good Label\n") + c.line + "\n";
        apps = zq::map::parse_registration(t, "x.reg", errors);
        ASSERT_EQ(errors.size(), 1u) << c.line;
        EXPECT_TRUE(contains(errors[0], "x.reg:3: ")) << errors[0];
        EXPECT_TRUE(contains(errors[0], c.message)) << c.line << " -> " << errors[0];
    }
    // A line before any application, and lines of an application whose name line was bad.
    errors.clear();
    apps = zq::map::parse_registration("action A B\napplication\naction C D\napplication ok\n", "y.reg", errors);
    EXPECT_EQ(errors.size(), 2u);
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].name, "ok");
    EXPECT_TRUE(apps[0].actions.empty());
}

TEST(Registration, TypePatterns) {
    struct Case {
        const char *pattern, *type;
        bool match;
    } cases[] = {
        {"Server:TrvServer-*", "Server:TrvServer-ntentsrvr", true},
        {"Server:TrvServer-*", "Server:TrvServer-", true},
        {"Server:TrvServer-*", "Server:TrvServer", false},
        {"Server:Generic", "Server:Generic", true},
        {"Server:Generic", "Server:Generic2", false},
        {"*", "anything", true},
    };
    for (const auto& c : cases) EXPECT_EQ(zq::map::type_matches(c.pattern, c.type), c.match) << c.pattern << " " << c.type;
}

TEST(Registration, LaterDuplicateApplicationAndOddFilesAreLeftOut) {
    zqtest::TempDir t;
    write_file(t.path + "/a.reg", "application One\naction X Y\n");
    write_file(t.path + "/b.reg", "application One\napplication Two\n");
    write_file(t.path + "/notes.txt", "application Three\n");
    ASSERT_EQ(mkfifo((t.path + "/c.reg").c_str(), 0600), 0);   // must not block the map program
    std::vector<std::string> errors;
    auto apps = zq::map::load_registration_dir(t.path, errors);
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].name, "One");
    EXPECT_EQ(apps[0].file, "a.reg");
    EXPECT_EQ(apps[1].name, "Two");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(contains(errors[0], "registered already")) << errors[0];
    EXPECT_TRUE(contains(errors[1], "c.reg")) << errors[1];
}

TEST(Registration, ShippedFilesParseWhole) {
    for (const char* rel : {"zq/registration/zq.reg", "conf/registration/trv.reg"}) {
        std::string path = zqtest::source(rel);
        if (!fs::exists(path)) continue;
        std::vector<std::string> errors;
        auto apps = zq::map::parse_registration(read_file(path), rel, errors);
        EXPECT_TRUE(errors.empty()) << errors.front();
        EXPECT_FALSE(apps.empty()) << rel;
    }
}

// --- the application side without a map program ------------------------------------------

TEST(AppSide, NoMapProgramIsError30) {
    zqtest::TempDir t;
    setenv("ZQW_SOCKET", (t.path + "/none.sock").c_str(), 1);
    unsetenv("ZQW_APP");
    EXPECT_LT(_ZqwInit(7), 0);   // not started by a map program
    EXPECT_EQ(ZqwError(), ZQW_E_NOAPP);
    setenv("ZQW_APP", "Test App", 1);
    EXPECT_LT(_ZqwInit(7), 0);   // nothing listens
    EXPECT_EQ(ZqwError(), ZQW_E_NOAPP);
    EXPECT_EQ(ZqwGetMapInfo(), nullptr);
    EXPECT_EQ(ZqwError(), ZQW_E_NOAPP);
    EXPECT_EQ(ZqwFileDescriptor(), -1);
    EXPECT_EQ(ZqwGetAppName(), nullptr);
    EXPECT_EQ(ZqwVerifyAppConfigChange(nullptr, nullptr, 1, "x"), -1);
    EXPECT_EQ(ZqwError(), ZQW_E_NOAPP);
    unsetenv("ZQW_SOCKET");
    unsetenv("ZQW_APP");
}

// --- the map program ----------------------------------------------------------------

// An instance whose registrations are the platform's own and the test's.
struct MapInstance {
    zqtest::Instance inst;
    std::string app_out;   // log/Test_App.out

    explicit MapInstance(const std::string& extra_reg = "") {
        write_file(inst.root + "/fields/test.fields", "field \"Test Address\" String\n");
        EXPECT_EQ(zqtest::run({zqtest::bin("zqsetup"), inst.root}).status, 0);
        // Only the platform's registration and the test's: no integration application.
        for (const auto& e : fs::directory_iterator(inst.root + "/registration"))
            if (e.path().filename() != "zq.reg") fs::remove(e.path());
        write_file(inst.root + "/registration/test.reg",
                   "application \"Test App\"\n"
                   "command \"" + zqtest::bin("zqwtestapp") + "\"\n"
                   "action \"Test Action\" \"Run the test\" args one two\n"
                   "config_field \"Test Address\" \"Address\"\n"
                   "application \"Test Links\"\n"
                   "action \"Web\" \"Web agent\" url \"http://${hostname}:2301/x?o=${object}\"\n" +
                       extra_reg);
        app_out = inst.root + "/log/Test_App.out";
    }
    zqtest::RunResult topo(std::vector<std::string> args) {
        args.insert(args.begin(), zqtest::bin("zqtopo"));
        return zqtest::run(args, inst.env());
    }
    uint32_t id(const std::string& name) { return static_cast<uint32_t>(std::stoul(topo({"id", name}).out)); }
    bool app_says(const std::string& what, int timeout_ms = 10000) {
        return wait_until([&] { return contains(read_file(app_out), what); }, timeout_ms);
    }
};

// The map program's loop on a thread of the test.
class Loop {
public:
    explicit Loop(zq::map::Options opt) {
        thread_ = std::thread([this, opt] { status_ = zq::map::run(opt); });
    }
    ~Loop() { stop(); }
    int stop() {
        if (thread_.joinable()) {
            zq::map::request_stop();
            thread_.join();
        }
        return status_;
    }
    // Runs fn on the loop's thread and returns its result.
    template <class F>
    auto call(F fn) -> decltype(fn()) {
        using R = decltype(fn());
        auto p = std::make_shared<std::promise<R>>();
        auto fut = p->get_future();
        zq::map::post([p, fn] { p->set_value(fn()); });
        EXPECT_EQ(fut.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        return fut.get();
    }

private:
    std::thread thread_;
    int status_ = -1;
};

zq::map::Options fast_options() {
    zq::map::Options o;
    o.poll_ms = 50;
    o.stop_grace_ms = 3000;
    o.query_timeout_ms = 2000;
    return o;
}

// The node symbols of the open map, by object.
std::map<uint32_t, zq::zqw::SymbolRow> node_symbols() {
    std::vector<zq::zqw::SymbolRow> rows;
    std::map<uint32_t, zq::zqw::SymbolRow> out;
    if (!zq::zqw::load_symbols(zq::map::open_map(), rows)) return out;
    for (auto& r : rows)
        if (r.parent == 0) out[r.object] = r;
    return out;
}

ZqwFieldBindList* address_values(const std::string& text) {
    auto* l = static_cast<ZqwFieldBindList*>(calloc(1, sizeof(ZqwFieldBindList)));
    l->count = 1;
    l->entries = static_cast<ZqwFieldBinding*>(calloc(1, sizeof(ZqwFieldBinding)));
    l->entries[0].field_id = ZqwDbFieldNameToFieldId("Test Address");
    l->entries[0].value = static_cast<ZqwFieldValue*>(calloc(1, sizeof(ZqwFieldValue)));
    l->entries[0].value->field_type = ZQW_STRING_FIELD;
    l->entries[0].value->un.string_val = strdup(text.c_str());
    return l;
}

const char* kNetwork = R"({ "nodes": [
  { "name": "srv1", "addresses": ["127.0.1.1"], "kind": "server", "snmp": true },
  { "name": "pc1", "addresses": ["127.0.1.2"], "kind": "client", "snmp": true },
  { "name": "dev1", "addresses": ["127.0.1.3"], "kind": "device" }
] })";

TEST(MapProgram, ApplicationGetsEveryEventInOrder) {
    MapInstance mi;
    mi.inst.activate();
    Loop loop(fast_options());
    ASSERT_TRUE(mi.app_says("ready app=Test App map=default ro=0")) << read_file(mi.app_out);
    EXPECT_FALSE(contains(read_file(mi.app_out), "failed")) << read_file(mi.app_out);
    EXPECT_FALSE(contains(read_file(mi.app_out), "unregistered action accepted"));

    // New nodes get symbols of their kind; event 17 once per registration whose
    // filter holds, with only the matching symbols.
    write_file(mi.inst.dir.path + "/net.json", kNetwork);
    ASSERT_EQ(mi.topo({"import", mi.inst.dir.path + "/net.json"}).status, 0);
    uint32_t srv = mi.id("srv1"), pc = mi.id("pc1"), dev = mi.id("dev1");
    std::string s = std::to_string(srv), p = std::to_string(pc), d = std::to_string(dev);
    ASSERT_TRUE(mi.app_says("event 17 reg=computers")) << read_file(mi.app_out);
    ASSERT_TRUE(mi.app_says("event 17 reg=servers"));
    std::string out = read_file(mi.app_out);
    EXPECT_TRUE(contains(out, "event 17 reg=servers map=default objects=" + s + ":Server:Generic\n")) << out;
    EXPECT_TRUE(contains(out, "event 17 reg=computers map=default objects=" + s + ":Server:Generic," + p +
                                  ":Client:Generic\n"))
        << out;
    auto syms = loop.call(node_symbols);
    ASSERT_EQ(syms.count(dev), 1u);
    EXPECT_EQ(syms[dev].type, "Device:Generic");

    // Map open, configuration query and confirmation.
    ASSERT_TRUE(loop.call([] { return zq::map::open_map(zq::map::open_map()); }));
    ASSERT_TRUE(mi.app_says("event 3 map=default"));
    auto answer = std::make_shared<std::promise<std::string>>();
    auto answered = answer->get_future();
    loop.call([answer] {
        ZqwFieldBindList* v = address_values("10.1.2.3");
        zq::map::query_config("Test App", *v, [answer](bool replied, bool accept, std::string msg) {
            answer->set_value(std::to_string(replied) + std::to_string(accept) + " " + msg);
        });
        ZqwDbFreeFieldBindList(v);
        return 0;
    });
    ASSERT_EQ(answered.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::string field = std::to_string(loop.call([] { return ZqwDbFieldNameToFieldId("Test Address"); }));
    EXPECT_EQ(answered.get(), "11 checked " + field + "=10.1.2.3");
    std::string err;
    ASSERT_TRUE(loop.call([&] {
        ZqwFieldBindList* v = address_values("10.1.2.3");
        bool ok = zq::map::confirm_config("Test App", *v, err);
        ZqwDbFreeFieldBindList(v);
        return ok;
    })) << err;
    ASSERT_TRUE(mi.app_says("event 6 map=default values=" + field + "=10.1.2.3"));

    // Actions: the program's action reaches its callback with the selection and
    // the registration's arguments; a URL action gives one URL per object.
    zq::map::ActionRun run;
    ASSERT_TRUE(loop.call([&] { return zq::map::run_action("Test App", "Test Action", {pc, srv}, run, err); }))
        << err;
    ASSERT_TRUE(mi.app_says("action Test Action item=Run the test sel=" + p + "," + s + " args=one,two"));
    ASSERT_TRUE(loop.call([&] { return zq::map::run_action("Test Links", "Web", {srv}, run, err); })) << err;
    EXPECT_EQ(run.urls, std::vector<std::string>{"http://srv1:2301/x?o=" + s});
    // An object without a host name beside one with it gives the one URL and
    // is left out; alone it is refused.
    uint32_t nameless = loop.call([] { return ZqwDbCreateObject(nullptr); });
    ASSERT_TRUE(loop.call([&] { return zq::map::run_action("Test Links", "Web", {srv, nameless}, run, err); })) << err;
    EXPECT_EQ(run.urls, std::vector<std::string>{"http://srv1:2301/x?o=" + s});
    ASSERT_EQ(run.left_out.size(), 1u);
    EXPECT_EQ(run.left_out[0].reason, "it has no host name");
    EXPECT_FALSE(loop.call([&] { return zq::map::run_action("Test Links", "Web", {nameless}, run, err); }));
    EXPECT_EQ(err, "Web agent: not for object " + std::to_string(nameless) + ": it has no host name");
    EXPECT_FALSE(loop.call([&] { return zq::map::run_action("Test App", "Nope", {srv}, run, err); }));
    EXPECT_FALSE(loop.call([&] { return zq::map::run_action("Nobody", "Web", {srv}, run, err); }));

    // Unmanaging sends nothing; managing again sends event 21.
    uint32_t srv_sym = syms[srv].id;
    ASSERT_TRUE(loop.call([&] { return zq::map::manage_symbols({srv_sym}, false, err); })) << err;
    ASSERT_TRUE(loop.call([&] { return zq::map::manage_symbols({srv_sym}, true, err); })) << err;
    ASSERT_TRUE(mi.app_says("event 21 map=default objects=" + s + ":srv1:1"));

    // Deleting: event 15 names the objects (state 2) while they still exist; then they go.
    ASSERT_TRUE(loop.call([&] { return zq::map::delete_objects({dev}, err); })) << err;
    ASSERT_TRUE(mi.app_says("event 15 map=default objects=" + d + ":dev1:2"));
    EXPECT_FALSE(loop.call([&] { return zq::zqw::object_exists(dev); }));
    EXPECT_FALSE(loop.call([&] { return zq::map::delete_objects({dev}, err); }));

    // A node removed with zqtopo loses its symbol.
    ASSERT_EQ(mi.topo({"remove", "pc1"}).status, 0);
    EXPECT_TRUE(wait_until([&] { return loop.call(node_symbols).count(pc) == 0; }, 5000));
    EXPECT_EQ(loop.call(node_symbols).count(srv), 1u);

    // Stopping: event 1, and the application ends.
    EXPECT_EQ(loop.stop(), 0);
    out = read_file(mi.app_out);
    size_t pos = 0;
    for (const char* step : {"ready", "event 17", "event 3 ", "event 5 ", "event 6 ", "action Test Action",
                             "event 21 ", "event 15 ", "event 1 "}) {
        size_t at = out.find(step, pos);
        ASSERT_NE(at, std::string::npos) << step << " missing or out of order in:\n" << out;
        pos = at;
    }
    EXPECT_FALSE(contains(out, "gone")) << out;
}

// When a symbol's status last changed: kept in the database across a restart,
// moved by a change of the status only (also one made while the map program was
// not running), and the addresses of a node's interfaces with its symbol.
TEST(MapProgram, StatusTimesOutliveARestartAndFollowOnlyTheStatus) {
    MapInstance mi;
    mi.inst.activate();
    // More nodes than the map store reads address by address.
    std::string net = R"({ "nodes": [ { "name": "multi", "addresses": ["127.0.2.1", "127.0.2.2"] })";
    for (int i = 0; i < 70; ++i)
        net += ", { \"name\": \"n" + std::to_string(i) + "\", \"addresses\": [\"127.0.3." + std::to_string(i + 1) + "\"] }";
    write_file(mi.inst.dir.path + "/net.json", net + "] }");
    ASSERT_EQ(mi.topo({"import", mi.inst.dir.path + "/net.json"}).status, 0);
    uint32_t multi = mi.id("multi"), n0 = mi.id("n0"), n1 = mi.id("n1"), n2 = mi.id("n2");
    // Work posted before the loop takes it is dropped.
    auto up = [] {
        auto ran = std::make_shared<std::atomic<bool>>(false);
        zq::map::post([ran] { *ran = true; });
        return wait_until([&] { return ran->load(); }, 200);
    };
    auto loop = std::make_unique<Loop>(fast_options());
    ASSERT_TRUE(wait_until(up, 10000));
    auto read = [&] {
        return loop->call([] {
            zq::map::note_status_changes();
            return node_symbols();
        });
    };
    ASSERT_TRUE(wait_until([&] { return read().size() == 71; }, 10000));
    auto syms = read();
    // Found at start-up: since when is not known.
    EXPECT_EQ(syms[n0].since, 0);
    EXPECT_EQ(syms[multi].addresses, (std::vector<std::string>{"127.0.2.1", "127.0.2.2"}));
    EXPECT_EQ(syms[n1].addresses, std::vector<std::string>{"127.0.3.2"});
    std::vector<zq::zqw::SymbolRow> one;
    uint32_t map = loop->call([] { return zq::map::open_map(); });
    ASSERT_TRUE(loop->call([&] { return zq::zqw::load_symbols(map, {syms[multi].id}, one); }));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].addresses, syms[multi].addresses);

    {
        // As another process would date them.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((mi.inst.root + "/db/topology.db").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000);
        EXPECT_EQ(sqlite3_exec(db, "UPDATE symbols SET status_since = 1000", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    int64_t t0 = static_cast<int64_t>(time(nullptr));
    ASSERT_EQ(mi.topo({"set", "n0", "IP Status", "Critical"}).status, 0);
    ASSERT_TRUE(loop->call([&] { return zq::zqw::set_symbol_position(map, syms[n1].id, 5, 5); }));
    ASSERT_TRUE(wait_until([&] {
        auto s = read();
        return s[n0].status == ZQW_STATUS_CRITICAL && s[n1].has_position;
    }, 10000));
    syms = read();
    EXPECT_GE(syms[n0].since, t0);
    EXPECT_EQ(syms[n1].since, 1000) << "a position is no status change";
    EXPECT_EQ(syms[multi].since, 1000);
    int64_t n0_since = syms[n0].since;

    EXPECT_EQ(loop->stop(), 0);
    loop.reset();
    int64_t t1 = static_cast<int64_t>(time(nullptr));
    ASSERT_EQ(mi.topo({"set", "n2", "IP Status", "Critical"}).status, 0);
    loop = std::make_unique<Loop>(fast_options());
    ASSERT_TRUE(wait_until(up, 10000));
    syms = read();
    EXPECT_EQ(syms[n0].since, n0_since);
    EXPECT_EQ(syms[n1].since, 1000);
    EXPECT_EQ(syms[n2].status, ZQW_STATUS_CRITICAL);
    EXPECT_GE(syms[n2].since, t1) << "changed while the map program was not running";
}

// An action is offered and run only for what its registration covers: its
// symbol types, its covers lines, a host name for a ${hostname} URL (a
// component's from its node).
TEST(MapProgram, ActionsFitWhatTheyCover) {
    MapInstance mi("application \"Typed\"\n"
                   "action \"Poll\" \"Poll the servers\"\n"
                   "action \"Again\" \"Discover again\"\n"
                   "action \"Sub\" \"Subsystem page\" url \"http://${hostname}/sub\"\n"
                   "symbol_type \"Server:Generic\" server\n"
                   "symbol_type \"Chip:Sub\" chip\n"
                   "covers \"Again\" \"isNode=TRUE\"\n"
                   "covers \"Sub\" \"isServer=TRUE\"\n"
                   "covers \"Sub\" \"Selection Name=chip\"\n");
    mi.inst.activate();
    write_file(mi.inst.dir.path + "/net.json", kNetwork);
    ASSERT_EQ(mi.topo({"import", mi.inst.dir.path + "/net.json"}).status, 0);
    uint32_t srv = mi.id("srv1"), dev = mi.id("dev1");
    Loop loop(fast_options());
    ASSERT_TRUE(mi.app_says("ready app=Test App")) << read_file(mi.app_out);
    ASSERT_TRUE(wait_until([&] { return loop.call(node_symbols).size() == 3; }, 5000));
    // A chip of srv1: no host name of its own, a component symbol inside srv1's.
    uint32_t chip = loop.call([&] {
        uint32_t o = ZqwDbCreateObjectBySelectionName("chip");
        zq::zqw::MapRow m;
        zq::zqw::find_map("default", m);
        ZqwMapInfo info{const_cast<char*>("default"), 0, m.id};
        return ZqwCreateComponentSymbol(&info, srv, o, "Chip:Sub", "chip", 0, 1, 0, 0) ? o : 0u;
    });
    ASSERT_NE(chip, 0u);
    const uint32_t plain = loop.call([] { return ZqwDbCreateObjectBySelectionName("plain"); }), gone = 999999;

    struct Case {
        const char* action;
        std::vector<uint32_t> objects;
        size_t covered;
        const char* reason;   // of the first object not covered
    } cases[] = {
        {"Poll", {srv}, 1, ""},
        {"Poll", {dev}, 0, "it has no symbol of a type Typed handles"},
        {"Poll", {srv, dev, chip}, 2, "it has no symbol of a type Typed handles"},
        {"Again", {dev, srv}, 2, ""},
        {"Again", {plain}, 0, "it is not isNode=TRUE"},
        {"Sub", {srv, chip}, 2, ""},
        {"Sub", {dev}, 0, "it is not isServer=TRUE"},
        {"Sub", {gone}, 0, "no such object"},
        {"Test Action", {plain}, 1, ""},   // an application of no types takes anything
        {"Web", {plain}, 0, "it has no host name"},
    };
    for (const auto& c : cases) {
        std::vector<zq::map::ActionFit> fits;
        std::string err;
        ASSERT_TRUE(loop.call([&] { return zq::map::action_fits(c.objects, fits, err); })) << err;
        auto it = std::find_if(fits.begin(), fits.end(), [&](const auto& f) { return f.action == c.action; });
        ASSERT_NE(it, fits.end()) << c.action;
        EXPECT_EQ(it->covered, c.covered) << c.action << " " << c.objects.size();
        EXPECT_TRUE(contains(it->reason, c.reason)) << c.action << ": " << it->reason;
    }

    // Run: only what it covers; the chip's URL is its node's, each URL once.
    zq::map::ActionRun run;
    std::string err;
    ASSERT_TRUE(loop.call([&] { return zq::map::run_action("Typed", "Sub", {srv, dev, chip}, run, err); })) << err;
    EXPECT_EQ(run.urls, std::vector<std::string>{"http://srv1/sub"});
    EXPECT_EQ(run.ran, 2u);
    ASSERT_EQ(run.left_out.size(), 1u);
    EXPECT_EQ(run.left_out[0].object, dev);
    EXPECT_FALSE(loop.call([&] { return zq::map::run_action("Typed", "Poll", {dev}, run, err); }));
    EXPECT_EQ(err, "Poll the servers: not for dev1 (object " + std::to_string(dev) +
                       "): it has no symbol of a type Typed handles");
}

TEST(MapProgram, ReadOnlyMapStillFollowsTheNodes) {
    MapInstance mi;
    mi.inst.activate();
    Loop loop(fast_options());
    ASSERT_EQ(mi.topo({"add", "n1", "127.0.1.1", "--server"}).status, 0);
    ASSERT_EQ(mi.topo({"add", "n2", "127.0.1.2", "--device"}).status, 0);
    uint32_t n1 = mi.id("n1"), n2 = mi.id("n2");
    ASSERT_TRUE(wait_until([&] { return loop.call(node_symbols).size() == 2; }, 5000));
    ASSERT_TRUE(loop.call([] { return zq::zqw::set_map_read_only(zq::map::open_map(), true); }));
    // The application sees the mark at its next ZqwGetMapInfo; the map program
    // goes on adding and removing node symbols.
    ASSERT_EQ(mi.topo({"set", "n1", "isNode", "FALSE"}).status, 0);
    ASSERT_EQ(mi.topo({"add", "n3", "127.0.1.3", "--client"}).status, 0);
    uint32_t n3 = mi.id("n3");
    EXPECT_TRUE(wait_until(
        [&] {
            auto syms = loop.call(node_symbols);
            return syms.size() == 2 && syms.count(n2) && syms.count(n3) && !syms.count(n1);
        },
        5000));
    EXPECT_EQ(loop.call(node_symbols)[n3].type, "Client:Generic");
    zq::zqw::MapRow row;
    EXPECT_TRUE(loop.call([&] { return zq::zqw::find_map("default", row); }));
    EXPECT_TRUE(row.read_only);
}

TEST(MapProgram, RefusalAndSilenceOfAConfigurationQuery) {
    MapInstance mi("application \"Silent\"\ncommand \"" + zqtest::bin("zqwtestapp") + "\" --hang\n");
    // The test application refuses every change.
    std::string reg = read_file(mi.inst.root + "/registration/test.reg");
    reg.replace(reg.find("zqwtestapp\""), 11, "zqwtestapp\" --refuse");
    write_file(mi.inst.root + "/registration/test.reg", reg);
    mi.inst.activate();
    Loop loop(fast_options());
    ASSERT_TRUE(mi.app_says("ready app=Test App"));
    ASSERT_TRUE(wait_until([&] { return contains(read_file(mi.inst.root + "/log/Silent.out"), "ready hang"); }, 10000));
    // Silent registered no event 5: its change stands at once.  Test App refuses.
    // An application that is not running gives no answer.
    struct Case {
        const char* app;
        std::string expect;
    } cases[] = {{"Test App", "10 refused"}, {"Silent", "11 "}, {"Nobody", "00 "}};
    for (const auto& c : cases) {
        auto answer = std::make_shared<std::promise<std::string>>();
        auto answered = answer->get_future();
        std::string app = c.app;
        loop.call([answer, app] {
            ZqwFieldBindList* v = address_values("x");
            zq::map::query_config(app, *v, [answer](bool replied, bool accept, std::string msg) {
                answer->set_value(std::to_string(replied) + std::to_string(accept) + " " + msg);
            });
            ZqwDbFreeFieldBindList(v);
            return 0;
        });
        ASSERT_EQ(answered.wait_for(std::chrono::seconds(10)), std::future_status::ready) << c.app;
        EXPECT_EQ(answered.get(), c.expect) << c.app;
    }
}

TEST(MapProgram, HungApplicationDoesNotStallAnother) {
    MapInstance mi("application \"Hung\"\ncommand \"" + zqtest::bin("zqwtestapp") + "\" --hang\n");
    mi.inst.activate();
    auto opt = fast_options();
    opt.queue_limit = 64 * 1024;
    Loop loop(opt);
    ASSERT_TRUE(mi.app_says("ready app=Test App"));
    std::string hung_out = mi.inst.root + "/log/Hung.out";
    ASSERT_TRUE(wait_until([&] { return contains(read_file(hung_out), "ready hang"); }, 10000));

    // Far more map-open events than the hung application's queue and socket
    // hold, in rounds the other application keeps up with: it gets every one.
    auto opens_seen = [&] {
        std::string out = read_file(mi.app_out);
        int n = 0;
        for (size_t p = out.find("event 3 "); p != std::string::npos; p = out.find("event 3 ", p + 1)) ++n;
        return n;
    };
    constexpr int kRounds = 30, kPerRound = 200;
    for (int round = 1; round <= kRounds; ++round) {
        loop.call([] {
            for (int i = 0; i < kPerRound; ++i) zq::map::open_map(zq::map::open_map());
            return 0;
        });
        ASSERT_TRUE(wait_until([&] { return opens_seen() == round * kPerRound; }, 10000)) << opens_seen();
    }
    // The hung one lost its session; the loop still answers at once.
    auto apps = loop.call([] { return zq::map::apps(); });
    std::map<std::string, std::string> state;
    for (const auto& a : apps) state[a.def.name] = a.state;
    EXPECT_EQ(state["Hung"], "starting");
    EXPECT_EQ(state["Test App"], "running");
    EXPECT_EQ(state["Test Links"], "actions only");
    EXPECT_EQ(state["zq"], "actions only");
    auto t0 = std::chrono::steady_clock::now();
    loop.call([] { return 0; });
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));

    // The stop ends both; the hung one, without a session, by SIGTERM.
    EXPECT_EQ(loop.stop(), 0);
    EXPECT_TRUE(contains(read_file(mi.app_out), "event 1 "));
}

TEST(MapProgram, ApplicationThatDiesIsRestartedWithinItsBudget) {
    MapInstance mi;
    mi.inst.activate();
    zq::map::Options opt = fast_options();
    opt.restart_delay_ms = 100;
    opt.restart_budget = 2;
    Loop loop(opt);
    ASSERT_TRUE(mi.app_says("ready app=Test App"));
    std::string err;
    EXPECT_FALSE(loop.call([&] { return zq::map::restart_app("Test App", false, err); }));
    EXPECT_TRUE(contains(err, "is running")) << err;
    EXPECT_FALSE(loop.call([&] { return zq::map::restart_app("Test Links", true, err); }));
    EXPECT_TRUE(contains(err, "actions only")) << err;
    auto status = [&] {
        for (const auto& a : loop.call([] { return zq::map::apps(); }))
            if (a.def.name == "Test App") return a;
        return zq::map::AppStatus{};
    };
    auto readies = [&] {
        std::string out = read_file(mi.app_out);
        size_t n = 0;
        for (size_t at = out.find("ready app="); at != std::string::npos; at = out.find("ready app=", at + 1)) ++n;
        return n;
    };
    // Killed twice: started again each time, with the count of restarts shown.
    for (int round = 1; round <= 2; ++round) {
        zq::map::AppStatus before = status();
        ASSERT_EQ(before.state, "running");
        size_t ready = readies();
        kill(static_cast<pid_t>(before.pid), SIGKILL);
        ASSERT_TRUE(wait_until([&] { return readies() > ready && status().state == "running"; }, 10000)) << round;
        zq::map::AppStatus after = status();
        EXPECT_NE(after.pid, before.pid);
        EXPECT_EQ(after.restarts, round);
    }
    // The third death in ten minutes spends the budget: it stays down.
    kill(static_cast<pid_t>(status().pid), SIGKILL);
    ASSERT_TRUE(wait_until([&] { return status().state == "failed"; }, 5000)) << status().state;
    EXPECT_EQ(status().exit_status, 128 + SIGKILL);
    usleep(500000);
    EXPECT_EQ(status().state, "failed");
    // The operator's restart starts afresh.
    ASSERT_TRUE(loop.call([&] { return zq::map::restart_app("Test App", false, err); })) << err;
    EXPECT_TRUE(wait_until([&] { return status().state == "running"; }, 10000));
    EXPECT_EQ(status().restarts, 0);
    // A running one, with force: stopped and started again, the budget untouched.
    ASSERT_TRUE(wait_until([&] { return readies() >= 4; }, 10000));
    pid_t old = static_cast<pid_t>(status().pid);
    ASSERT_TRUE(loop.call([&] { return zq::map::restart_app("Test App", true, err); })) << err;
    ASSERT_TRUE(wait_until([&] { return readies() >= 5 && status().state == "running"; }, 10000));
    EXPECT_NE(status().pid, old);
    EXPECT_EQ(status().restarts, 0);
}

// An application's output goes through the map program into log/NAME.out,
// which it keeps bounded: four files of 4 MiB at most.
TEST(MapProgram, ApplicationOutputIsBounded) {
    zqtest::TempDir scripts;
    std::string script = scripts.path + "/chatty.sh";
    write_file(script, "head -c 18000000 /dev/zero | tr '\\0' x\necho end\nexec sleep 30\n");
    MapInstance mi("application \"Chatty\"\ncommand \"/bin/sh\" \"" + script + "\"\n");
    mi.inst.activate();
    Loop loop(fast_options());
    std::string out = mi.inst.root + "/log/Chatty.out";
    auto size_of = [](const std::string& path) -> long long {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    };
    ASSERT_TRUE(wait_until(
        [&] {
            std::string t = read_file(out);
            return t.size() >= 4 && t.compare(t.size() - 4, 4, "end\n") == 0;
        },
        30000))
        << size_of(out);
    long long total = 0;
    for (const std::string suffix : {"", ".1", ".2", ".3"}) {
        long long n = size_of(out + suffix);
        EXPECT_GT(n, 0) << suffix;
        EXPECT_LE(n, (4 << 20) + (1 << 20)) << suffix;
        total += n;
    }
    EXPECT_EQ(size_of(out + ".4"), -1);
    EXPECT_LT(total, 18000000);
}

// The library in this process against the real program: callbacks, filters,
// errors, strangers on the socket, and ZqwDone from inside the exit callback.
struct Seen {
    std::vector<std::string> lines;
};

void record(void* data, int event, ZqwMapInfo* map, void* ev) {
    auto* seen = static_cast<Seen*>(data);
    std::string line = std::to_string(event) + " " + (map ? map->name : "?");
    if (event == ZQW_EVENT_CONFIRM_CREATE_SYMBOLS) {
        auto* l = static_cast<ZqwSymbolList*>(ev);
        for (unsigned i = 0; i < l->count; ++i) line += " " + std::to_string(l->entries[i].object);
    }
    seen->lines.push_back(line);
    if (event == ZQW_EVENT_EXIT) ZqwDone();   // the session may end inside its own callback
}

void nop_action(void*, const char*, const char*, ZqwObjectIdList*, int, char**, ZqwMapInfo*) {}

// A raw connection to the socket that sends bytes and returns what comes back
// before the map program closes it (or wait_ms pass without anything).
std::string raw_exchange(const std::string& path, const std::string& bytes, int wait_ms = 2000) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return "no connection";
    }
    ssize_t w = write(fd, bytes.data(), bytes.size());
    (void)w;
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, wait_ms) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            got += "<closed>";
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}

std::string framed(const std::string& payload) {
    uint32_t n = static_cast<uint32_t>(payload.size());
    std::string f{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
    return f + payload;
}

TEST(MapProgram, LibraryCallbacksFiltersErrorsAndStrangers) {
    MapInstance mi;
    zqtest::Process zqw({zqtest::bin("zqw"), "--no-apps"}, mi.inst.env());
    std::string sock = mi.inst.root + "/run/zqw.sock";
    ASSERT_TRUE(zqw.wait_for_err("socket", 10000)) << zqw.err();
    mi.inst.activate();
    setenv("ZQW_APP", "Test App", 1);
    ASSERT_EQ(_ZqwInit(7), 0) << ZqwError();
    EXPECT_STREQ(ZqwGetAppName(), "Test App");
    ZqwMapInfo* map = ZqwGetMapInfo();
    ASSERT_NE(map, nullptr);
    EXPECT_STREQ(map->name, "default");
    EXPECT_EQ(map->read_only, 0);
    ZqwFreeMapInfo(map);

    Seen seen;
    ZqwFieldValue yes{0, ZQW_BOOL_FIELD, {1}};
    ZqwFieldValue number{0, ZQW_INT_FIELD, {1}};
    ZqwFieldBinding servers_b{ZqwDbFieldNameToFieldId("isServer"), &yes};
    ZqwFieldBinding unknown_b{999999, &yes};
    ZqwFieldBinding mistyped_b{ZqwDbFieldNameToFieldId("isServer"), &number};
    ZqwFieldBindList servers{1, &servers_b}, unknown{1, &unknown_b}, mistyped{1, &mistyped_b};
    struct Case {
        int event;
        const ZqwFieldBindList* filter;
        ZqwCallbackProc proc;
        int result, error;
    } cases[] = {
        {ZQW_EVENT_CONFIRM_CREATE_SYMBOLS, &servers, record, 0, 0},
        {ZQW_EVENT_EXIT, nullptr, record, 0, 0},
        {ZQW_EVENT_CONFIRM_CREATE_SYMBOLS, &unknown, record, -1, ZQW_E_NOFIELD},
        {ZQW_EVENT_CONFIRM_CREATE_SYMBOLS, &mistyped, record, -1, ZQW_E_BADTYPE},
        {99, nullptr, record, -1, ZQW_E_BADARG},
        {ZQW_EVENT_MAP_OPEN, nullptr, nullptr, -1, ZQW_E_BADARG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZqwAddCallback(c.event, c.filter, c.proc, &seen), c.result) << c.event;
        EXPECT_EQ(ZqwError(), c.error) << c.event;
    }
    EXPECT_EQ(ZqwAddActionCallback("Test Action", nop_action, nullptr), 0);
    EXPECT_EQ(ZqwAddActionCallback("Web", nop_action, nullptr), -1);   // another application's
    EXPECT_EQ(ZqwError(), ZQW_E_NOACTION);
    EXPECT_EQ(ZqwVerifyAppConfigChange(nullptr, nullptr, 1, "x"), -1);   // nothing to verify
    EXPECT_EQ(ZqwError(), ZQW_E_BADARG);

    // Strangers: each is sent away; the session above is not disturbed.
    EXPECT_EQ(raw_exchange(sock, std::string("\xff\xff\xff\xff", 4)), "<closed>");
    EXPECT_EQ(raw_exchange(sock, framed("not json")), "<closed>");
    EXPECT_EQ(raw_exchange(sock, framed(R"({"t":"subscribe","event":3})")), "<closed>");   // before hello
    std::string r = raw_exchange(sock, framed(R"({"t":"hello","version":7,"app":"Nobody"})"));
    EXPECT_TRUE(contains(r, "refused") && contains(r, "no application")) << r;
    r = raw_exchange(sock, framed(R"({"t":"hello","version":7,"app":"Test App"})"));
    EXPECT_TRUE(contains(r, "connected already")) << r;

    EXPECT_EQ(raw_exchange(sock, "", 9000), "<closed>");   // silent: closed after 5 s

    // A server and a device: event 17 of the servers filter names the server only.
    ASSERT_EQ(mi.topo({"add", "s1", "127.0.1.1", "--server"}).status, 0);
    ASSERT_EQ(mi.topo({"add", "d1", "127.0.1.2", "--device"}).status, 0);
    std::string s1 = std::to_string(mi.id("s1"));
    auto pump = [&](const std::function<bool()>& until) {
        return wait_until(
            [&] {
                int fd = ZqwFileDescriptor();
                if (fd < 0) return until();
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) > 0 && ZqwProcessEvent() < 0) return true;
                return until();
            },
            10000);
    };
    ASSERT_TRUE(pump([&] { return !seen.lines.empty(); }));
    EXPECT_EQ(seen.lines, std::vector<std::string>{"17 default " + s1});

    // The program ends: event 1, ZqwDone inside it, and the session is gone.
    kill(zqw.pid(), SIGTERM);
    ASSERT_TRUE(pump([&] { return seen.lines.size() == 2; }));
    EXPECT_EQ(seen.lines.back(), "1 default");
    EXPECT_EQ(ZqwFileDescriptor(), -1);
    EXPECT_EQ(ZqwError(), ZQW_E_NOAPP);
    EXPECT_EQ(zqw.wait(10000), 0);
    unsetenv("ZQW_APP");
}

// The real program: started by zqspmd, stopped by zqstop (command 6) or SIGTERM.
TEST(MapProgram, ZqstopAndSigtermSendEvent1) {
    MapInstance mi;
    write_file(mi.inst.root + "/conf/zqsuf", "zqw " + zqtest::bin("zqw") + " --stop-grace 3\n");
    auto r = zqtest::run({zqtest::bin("zqstart"), "zqw"}, mi.inst.env());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(mi.app_says("ready app=Test App")) << read_file(mi.inst.root + "/log/zqw.out");
    r = zqtest::run({zqtest::bin("zqstop")}, mi.inst.env());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(mi.app_says("event 1 "));
    EXPECT_TRUE(contains(read_file(mi.inst.root + "/log/zqw.out"), "Test App (pid"));
    EXPECT_TRUE(contains(read_file(mi.inst.root + "/log/zqw.out"), "ended with status 0"));

    // Alone, SIGTERM does the same.
    write_file(mi.app_out, "");
    zqtest::Process zqw({zqtest::bin("zqw")}, mi.inst.env());
    ASSERT_TRUE(mi.app_says("ready app=Test App"));
    EXPECT_EQ(zqw.stop(SIGTERM, 10000), 0) << zqw.err();
    EXPECT_TRUE(contains(read_file(mi.app_out), "event 1 "));
    // A second copy for the same instance is refused.
    zqtest::Process first({zqtest::bin("zqw"), "--no-apps"}, mi.inst.env());
    ASSERT_TRUE(first.wait_for_err("socket", 10000)) << first.err();
    auto second = zqtest::run({zqtest::bin("zqw")}, mi.inst.env(), "", 10000);
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(contains(second.err, "another map program")) << second.err;
}

}  // namespace
