// The map half of the zqw library over a real instance made by zqsetup: symbol
// calls and their errors, the status rules, map syncs, "ZQW Maps Exists", the
// change log, the map store, and the upgrade of a database of the first format.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "testsupport.h"
#include "zqw.h"
#include "schema.h"
#include "zqw_internal.h"

namespace {

using zq::zqw::AppDef;
using zq::zqw::SymbolRow;

ZqwFieldValue boolean(int v) { return ZqwFieldValue{0, ZQW_BOOL_FIELD, {v}}; }
ZqwFieldValue integer(int v) { return ZqwFieldValue{0, ZQW_INT_FIELD, {v}}; }
ZqwFieldValue text(const char* s) {
    ZqwFieldValue r{0, ZQW_STRING_FIELD, {0}};
    r.un.string_val = const_cast<char*>(s);
    return r;
}

// A direct connection to the database, as another process would have.
struct Peer {
    sqlite3* db = nullptr;
    explicit Peer(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db, 10000);
    }
    ~Peer() { sqlite3_close_v2(db); }
    int64_t number(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        int64_t v = -1;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return v;
    }
    bool exec(const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
};

class Map : public ::testing::Test {
protected:
    zqtest::Instance inst;
    ZqwMapInfo map{const_cast<char*>("default"), 0, 0};
    ZqwFieldId is_node = 0, ip_status = 0, maps_exists = 0, vantor = 0, os_type = 0;

    void SetUp() override {
        inst.activate();
        ASSERT_EQ(ZqwDbInit(), 0);
        zq::zqw::MapRow row;
        ASSERT_TRUE(zq::zqw::find_map("default", row));
        map.map_id = row.id;
        is_node = ZqwDbFieldNameToFieldId("isNode");
        ip_status = ZqwDbFieldNameToFieldId("IP Status");
        maps_exists = ZqwDbFieldNameToFieldId("ZQW Maps Exists");
        vantor = ZqwDbFieldNameToFieldId("isTrvVantor");
        os_type = ZqwDbFieldNameToFieldId("trvOsType");
        ASSERT_TRUE(is_node && ip_status && maps_exists && vantor && os_type);
        AppDef app;
        app.name = "Tester";
        app.file = "test.reg";
        app.command = {"tester", "-x", "two\nlines"};
        app.actions = {{"Act", "Do it", "", {"a1"}}, {"Web", "Browse", "http://${hostname}/", {}}};
        app.symbol_types = {{"Server:Generic", "server"}, {"Server:Trv*", "vendor-server"}, {"Chip:Sub", "chip"}};
        app.config = {{"trvOsType", "OS"}, {"isTrvVantor", "Vantor"}};
        ASSERT_TRUE(zq::zqw::store_registrations({app}));
    }
    void TearDown() override { ZqwDbDone(); }

    std::string db_path() const { return inst.root + "/db/topology.db"; }

    // A node with a host name, isNode TRUE and an IP Status (index; -1: none).
    ZqwObjectId node(const char* host, int status = 1) {
        ZqwFieldValue h = text(host), n = boolean(1);
        ZqwFieldValue s{0, ZQW_ENUM_FIELD, {0}};
        s.un.enum_val = status;
        std::vector<ZqwFieldBinding> b = {{2, &h}, {is_node, &n}};
        if (status >= 0) b.push_back({ip_status, &s});
        ZqwFieldBindList list{static_cast<unsigned>(b.size()), b.data()};
        return ZqwDbCreateObject(&list);
    }
    ZqwObjectId plain(const char* name) { return ZqwDbCreateObjectBySelectionName(name); }
    ZqwSymbolId node_symbol(ZqwObjectId o, uint32_t on = 0) {
        return zq::zqw::create_node_symbol(on ? on : map.map_id, o, "Server:Generic");
    }
    ZqwSymbolId component(ZqwObjectId parent, ZqwObjectId o, int status = 0, int source = 1) {
        return ZqwCreateComponentSymbol(&map, parent, o, "Chip:Sub", "sub", status, source, 0, 0);
    }
    int shown(ZqwSymbolId s) {
        ZqwSymbolInfo* info = ZqwGetSymbolInfo(&map, s);
        int st = info ? info->status : -ZqwError();
        ZqwFreeSymbolInfo(info);
        return st;
    }
    int maps_of(ZqwObjectId o) {
        int v = ZqwDbGetFieldIntegerValue(o, maps_exists);
        return ZqwError() == ZQW_E_NOVALUE ? 0 : v;
    }
};

// Each call with each of its failures: the result and the error number.
TEST_F(Map, SymbolCallsAndTheirErrors) {
    ZqwObjectId n = node("n1"), sub = plain("sub"), lone = plain("lone");
    ZqwSymbolId ns = node_symbol(n);
    ASSERT_NE(ns, 0u);
    ZqwSymbolId cs = component(n, sub, 2);
    ASSERT_NE(cs, 0u);
    uint32_t ro_id = zq::zqw::create_map("frozen", true, {});
    ASSERT_NE(ro_id, 0u);
    // A new map without a filter holds every node.
    std::vector<SymbolRow> on_ro;
    ASSERT_TRUE(zq::zqw::load_symbols(ro_id, on_ro));
    ASSERT_EQ(on_ro.size(), 1u);
    ZqwSymbolId ro_sym = on_ro[0].id;
    EXPECT_EQ(on_ro[0].object, n);
    ZqwMapInfo ro{const_cast<char*>("frozen"), 1, ro_id};
    ZqwMapInfo nomap{const_cast<char*>("gone"), 0, 9999};
    ZqwObjectId ids[] = {n};
    ZqwObjectIdList objs{1, ids};

    struct Case {
        const char* what;
        std::function<int()> call;
        int result, error;
    };
    const std::vector<Case> cases = {
        {"type: null map", [&] { return ZqwSetSymbolType(nullptr, ns, "Server:Generic", 0); }, -1, 3},
        {"type: unknown map", [&] { return ZqwSetSymbolType(&nomap, ns, "Server:Generic", 0); }, -1, 3},
        {"type: null type", [&] { return ZqwSetSymbolType(&map, ns, nullptr, 0); }, -1, 3},
        {"type: arg", [&] { return ZqwSetSymbolType(&map, ns, "Server:Generic", 1); }, -1, 3},
        {"type: no symbol", [&] { return ZqwSetSymbolType(&map, 99999, "Server:Generic", 0); }, -1, 141},
        {"type: symbol of another map", [&] { return ZqwSetSymbolType(&map, ro_sym, "Server:Generic", 0); }, -1, 141},
        {"type: not registered", [&] { return ZqwSetSymbolType(&map, ns, "Server:Other", 0); }, -1, 121},
        {"type: same", [&] { return ZqwSetSymbolType(&map, ns, "Server:Generic", 0); }, -1, 92},
        {"type: by pattern", [&] { return ZqwSetSymbolType(&map, ns, "Server:TrvServer-nt", 0); }, 1, 0},
        {"type: read-only map", [&] { return ZqwSetSymbolType(&ro, ro_sym, "Server:TrvX", 0); }, -1, 3},
        {"label", [&] { return ZqwSetSymbolLabel(&map, ns, "n one"); }, 1, 0},
        {"label: same", [&] { return ZqwSetSymbolLabel(&map, ns, "n one"); }, -1, 92},
        {"label: none", [&] { return ZqwSetSymbolLabel(&map, ns, nullptr); }, 1, 0},
        {"source: bad", [&] { return ZqwSetSymbolStatusSource(&map, ns, 4); }, -1, 3},
        {"source: bad and no symbol", [&] { return ZqwSetSymbolStatusSource(&map, 99999, 0); }, -1, 3},
        {"source", [&] { return ZqwSetSymbolStatusSource(&map, ns, 2); }, 1, 0},
        {"source: same", [&] { return ZqwSetSymbolStatusSource(&map, ns, 2); }, -1, 92},
        {"status: bad", [&] { return ZqwSetSymbolStatus(&map, ns, 8); }, -1, 3},
        {"status", [&] { return ZqwSetSymbolStatus(&map, ns, 4); }, 1, 0},
        {"behaviour: bad", [&] { return ZqwSetSymbolBehavior(&map, cs, 3, "Tester", "Act", nullptr); }, -1, 3},
        {"behaviour: no app", [&] { return ZqwSetSymbolBehavior(&map, cs, 2, "Nobody", "Act", nullptr); }, -1, 30},
        {"behaviour: no action", [&] { return ZqwSetSymbolBehavior(&map, cs, 2, "Tester", "Nope", nullptr); }, -1, 32},
        {"behaviour: null action", [&] { return ZqwSetSymbolBehavior(&map, cs, 2, "Tester", nullptr, nullptr); }, -1, 3},
        {"behaviour", [&] { return ZqwSetSymbolBehavior(&map, cs, 2, "Tester", "Act", &objs); }, 1, 0},
        {"behaviour: same", [&] { return ZqwSetSymbolBehavior(&map, cs, 2, "Tester", "Act", &objs); }, -1, 92},
        {"clear app", [&] { return ZqwClearSymbolApp(&map, cs); }, 1, 0},
        {"clear app again", [&] { return ZqwClearSymbolApp(&map, cs); }, 1, 0},
        {"clear app: no symbol", [&] { return ZqwClearSymbolApp(&map, 99999); }, -1, 141},
        {"object status: no object", [&] { return ZqwSetStatusOnObject(&map, 99999, 2); }, -1, 80},
        {"object status: null object", [&] { return ZqwSetStatusOnObject(&map, 0, 2); }, -1, 3},
        {"object status: bad", [&] { return ZqwSetStatusOnObject(&map, n, -1); }, -1, 3},
        {"object status: read-only", [&] { return ZqwSetStatusOnObject(&ro, n, 2); }, -1, 3},
        {"object status", [&] { return ZqwSetStatusOnObject(&map, lone, 3); }, 1, 0},
        {"component: flags", [&] { return (int)ZqwCreateComponentSymbol(&map, n, sub, "Chip:Sub", 0, 1, 1, 0, 1); }, 0, 3},
        {"component: no object", [&] { return (int)ZqwCreateComponentSymbol(&map, n, 99999, "Chip:Sub", 0, 1, 1, 0, 0); }, 0, 80},
        {"component: parent w/o symbol", [&] { return (int)ZqwCreateComponentSymbol(&map, lone, sub, "Chip:Sub", 0, 1, 1, 0, 0); }, 0, 82},
        {"component: type", [&] { return (int)ZqwCreateComponentSymbol(&map, n, sub, "Chip:Other", 0, 1, 1, 0, 0); }, 0, 121},
        {"component: read-only", [&] { return (int)ZqwCreateComponentSymbol(&ro, n, sub, "Chip:Sub", 0, 1, 1, 0, 0); }, 0, 3},
        {"delete: no symbol", [&] { return ZqwDeleteSymbol(&map, 99999); }, -1, 141},
        {"delete: read-only", [&] { return ZqwDeleteSymbol(&ro, ro_sym); }, -1, 3},
        {"sync end without begin", [&] { return ZqwEndMapSync(&map); }, -1, 3},
        {"sync: unknown map", [&] { return ZqwBeginMapSync(&nomap); }, -1, 3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.what;
        EXPECT_EQ(ZqwError(), c.error) << c.what;
    }

    ZqwSymbolInfo* info = ZqwGetSymbolInfo(&map, ns);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->type, "Server:TrvServer-nt");
    EXPECT_EQ(info->label, nullptr);
    EXPECT_EQ(info->status_source, 2);
    EXPECT_EQ(info->parent, 0u);
    ZqwFreeSymbolInfo(info);
    EXPECT_EQ(ZqwGetSymbolInfo(&map, 0), nullptr);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwGetSymbolInfo(&map, ro_sym), nullptr);
    EXPECT_EQ(ZqwError(), 141);

    // Symbols of an object: node and component symbols, 80, 82.
    ZqwSymbolList* list = ZqwGetSymbolsByObject(&map, sub);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 1u);
    EXPECT_EQ(list->entries[0].symbol, cs);
    EXPECT_EQ(list->entries[0].parent, ns);
    EXPECT_EQ(list->entries[0].behavior, 1);
    ZqwFreeSymbolList(list);
    EXPECT_EQ(ZqwGetSymbolsByObject(&map, 99999), nullptr);
    EXPECT_EQ(ZqwError(), 80);
    EXPECT_EQ(ZqwGetSymbolsByObject(&map, lone), nullptr);
    EXPECT_EQ(ZqwError(), 82);
    EXPECT_EQ(ZqwGetSymbolsByObject(&map, 0), nullptr);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwListObjectsOnMap(&nomap, nullptr), nullptr);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwGetAppConfigValues(nullptr, "Tester"), nullptr);
    EXPECT_EQ(ZqwError(), 3);

    // Deleting a node symbol takes its components along.
    EXPECT_EQ(ZqwDeleteSymbol(&map, ns), 1);
    EXPECT_EQ(ZqwGetSymbolInfo(&map, cs), nullptr);
    EXPECT_EQ(ZqwError(), 141);

    ZqwMapInfo* copy = ZqwCopyMapInfo(&map);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->name, "default");
    EXPECT_EQ(copy->map_id, map.map_id);
    ZqwFreeMapInfo(copy);
    EXPECT_EQ(ZqwCopyMapInfo(nullptr), nullptr);
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Map, StatusRules) {
    // IP Status indexes: Unknown 0, Normal 1, Marginal 2, Critical 3, Unmanaged 4.
    struct Case {
        const char* what;
        int ip;                        // -1: no IP Status
        int object_status;             // set on the node's object for the map (0: none)
        int source;
        int symbol_status;             // for source 3
        std::vector<std::pair<int, bool>> components;   // status set on the object, managed
        bool managed;
        int expect;
    };
    const std::vector<Case> cases = {
        {"object: IP Status Normal", 1, 0, 1, 0, {}, true, 2},
        {"object: IP Status Critical", 3, 0, 1, 0, {}, true, 4},
        {"object: IP Status Unmanaged", 4, 0, 1, 0, {}, true, 5},
        {"object: no IP Status", -1, 0, 1, 0, {}, true, 1},
        {"object: set on the map wins", 3, 6, 1, 0, {}, true, 6},
        {"symbol", 1, 0, 3, 7, {}, true, 7},
        {"symbol: never set", 1, 0, 3, 0, {}, true, 1},
        {"compound: most severe", 1, 0, 2, 0, {{2, true}, {7, true}, {3, true}}, true, 7},
        {"compound: critical over major", 1, 0, 2, 0, {{7, true}, {4, true}}, true, 4},
        {"compound: marginal over warning", 1, 0, 2, 0, {{6, true}, {3, true}, {2, true}}, true, 3},
        {"compound: unmanaged left out", 1, 0, 2, 0, {{4, false}, {2, true}}, true, 2},
        {"compound: none managed: as object", 3, 0, 2, 0, {{7, false}}, true, 4},
        {"compound: no components", 2, 0, 2, 0, {}, true, 3},
        {"unmanaged symbol", 1, 0, 3, 4, {}, false, 5},
        {"unmanaged compound", 1, 0, 2, 0, {{4, true}}, false, 5},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string host = "st" + std::to_string(i++);
        ZqwObjectId n = node(host.c_str(), c.ip);
        ZqwSymbolId s = node_symbol(n);
        ASSERT_NE(s, 0u) << c.what;
        if (c.object_status) {
            ASSERT_EQ(ZqwSetStatusOnObject(&map, n, c.object_status), 1);
        }
        if (c.source != 1) {
            ASSERT_EQ(ZqwSetSymbolStatusSource(&map, s, c.source), 1);
        }
        if (c.symbol_status) {
            ASSERT_EQ(ZqwSetSymbolStatus(&map, s, c.symbol_status), 1);
        }
        int k = 0;
        for (auto [st, managed] : c.components) {
            std::string name = host + "-c" + std::to_string(k++);
            ZqwSymbolId cs = component(n, plain(name.c_str()), st);
            ASSERT_NE(cs, 0u) << c.what;
            if (!managed) {
                ASSERT_TRUE(zq::zqw::set_symbol_managed(map.map_id, cs, false));
            }
        }
        if (!c.managed) {
            ASSERT_TRUE(zq::zqw::set_symbol_managed(map.map_id, s, false));
        }
        EXPECT_EQ(shown(s), c.expect) << c.what;
        // The map store computes the same.
        std::vector<SymbolRow> rows;
        ASSERT_TRUE(zq::zqw::load_symbols(map.map_id, {s}, rows));
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].status, c.expect) << c.what;
    }
    std::vector<SymbolRow> all;
    ASSERT_TRUE(zq::zqw::load_symbols(map.map_id, all));
    for (const SymbolRow& r : all) {
        if (r.parent != 0) continue;
        EXPECT_EQ(r.status, shown(r.id)) << r.id;
    }
}

TEST_F(Map, ListObjectsOnMap) {
    ZqwObjectId a = node("a"), b = node("b"), c = node("c");
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(a, vantor, 1), 1);
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(c, vantor, 1), 1);
    ASSERT_EQ(ZqwDbSetFieldStringValue(c, os_type, "nt"), 1);
    for (ZqwObjectId o : {a, b}) ASSERT_NE(node_symbol(o), 0u);   // c has no symbol

    ZqwFieldValue t = boolean(1), nt = text("nt"), wrong = integer(1);
    struct Case {
        const char* what;
        std::vector<ZqwFieldBinding> filter;
        std::vector<ZqwObjectId> expect;
        int error;
    };
    const std::vector<Case> cases = {
        {"all", {}, {a, b}, 0},
        {"isTrvVantor", {{vantor, &t}}, {a}, 0},
        {"two conditions", {{vantor, &t}, {os_type, &nt}}, {}, 0},
        {"no field", {{99999, &t}}, {}, 62},
        {"wrong type", {{vantor, &wrong}}, {}, 64},
        {"null field", {{0, &t}}, {}, 3},
    };
    for (const Case& c : cases) {
        ZqwFieldBindList f{static_cast<unsigned>(c.filter.size()), const_cast<ZqwFieldBinding*>(c.filter.data())};
        ZqwObjectList* list = ZqwListObjectsOnMap(&map, c.filter.empty() ? nullptr : &f);
        EXPECT_EQ(ZqwError(), c.error) << c.what;
        if (c.error) {
            EXPECT_EQ(list, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(list, nullptr) << c.what;
        std::vector<ZqwObjectId> got;
        for (unsigned i = 0; i < list->count; ++i) got.push_back(list->entries[i].object);
        EXPECT_EQ(got, c.expect) << c.what;
        if (list->count > 0) {
            EXPECT_STREQ(list->entries[0].hostname, "a");
            EXPECT_EQ(list->entries[0].status, 2);
            EXPECT_NE(list->entries[0].symbol, 0u);
        }
        ZqwFreeObjectList(list);
    }
}

// A map sync is one transaction: another connection sees nothing before the
// outermost end, and every change after it.
TEST_F(Map, SyncIsOneTransactionAndNests) {
    std::vector<ZqwSymbolId> syms;
    for (int i = 0; i < 5; ++i) syms.push_back(node_symbol(node(("s" + std::to_string(i)).c_str())));
    Peer peer(db_path());
    auto peer_count = [&] { return peer.number("SELECT count(*) FROM symbols WHERE type = 'Server:TrvA'"); };
    int64_t before = zq::zqw::last_change();

    ASSERT_EQ(ZqwBeginMapSync(&map), 1);
    ASSERT_EQ(ZqwBeginMapSync(&map), 1);
    for (ZqwSymbolId s : syms) {
        ASSERT_EQ(ZqwSetSymbolType(&map, s, "Server:TrvA", 0), 1);
        ASSERT_EQ(ZqwSetSymbolStatusSource(&map, s, 2), 1);
    }
    EXPECT_EQ(ZqwSetSymbolType(&map, syms[0], "Server:TrvA", 0), -1);
    EXPECT_EQ(ZqwError(), 92);   // a failing check leaves the sync intact
    EXPECT_EQ(ZqwEndMapSync(&map), 1);
    EXPECT_EQ(peer_count(), 0);
    EXPECT_EQ(ZqwEndMapSync(&map), 1);
    EXPECT_EQ(peer_count(), 5);
    // One change row per symbol, however many writes it had in the sync.
    std::vector<zq::zqw::ChangeRow> rows;
    ASSERT_TRUE(zq::zqw::changes_since(before, 100, rows));
    EXPECT_EQ(rows.size(), syms.size());
    EXPECT_EQ(ZqwEndMapSync(&map), -1);
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Map, MapsExistsCountsTheMapsHoldingASymbol) {
    ZqwObjectId n = node("me"), sub = plain("me-sub");
    uint32_t second = zq::zqw::create_map("second", false, {{"IP Hostname", "nobody"}});
    ASSERT_NE(second, 0u);
    ZqwMapInfo m2{const_cast<char*>("second"), 0, second};
    EXPECT_EQ(maps_of(n), 0);
    ZqwSymbolId s1 = node_symbol(n);
    EXPECT_EQ(maps_of(n), 1);
    ASSERT_NE(node_symbol(n, second), 0u);
    EXPECT_EQ(maps_of(n), 2);
    ZqwSymbolId c1 = component(n, sub);
    ZqwSymbolId c2 = component(n, sub);
    ASSERT_NE(ZqwCreateComponentSymbol(&m2, n, sub, "Chip:Sub", nullptr, 0, 1, 0, 0), 0u);
    EXPECT_EQ(maps_of(sub), 2);
    EXPECT_EQ(ZqwDeleteSymbol(&map, c1), 1);
    EXPECT_EQ(maps_of(sub), 2);   // c2 is still on the default map
    EXPECT_EQ(ZqwDeleteSymbol(&map, c2), 1);
    EXPECT_EQ(maps_of(sub), 1);
    EXPECT_TRUE(zq::zqw::delete_map(second));
    EXPECT_EQ(maps_of(sub), 0);
    EXPECT_EQ(maps_of(n), 1);
    EXPECT_EQ(ZqwDeleteSymbol(&map, s1), 1);
    EXPECT_EQ(maps_of(n), 0);
    // Deleting an object removes its symbols and the components inside them.
    ZqwObjectId n2 = node("me2"), sub2 = plain("me2-sub");
    ZqwSymbolId s2 = node_symbol(n2);
    ZqwSymbolId c3 = component(n2, sub2);
    EXPECT_EQ(maps_of(sub2), 1);
    EXPECT_EQ(ZqwDbDeleteObject(n2), 1);
    EXPECT_EQ(ZqwGetSymbolInfo(&map, s2), nullptr);
    EXPECT_EQ(ZqwGetSymbolInfo(&map, c3), nullptr);
    EXPECT_EQ(maps_of(sub2), 0);
    Peer peer(db_path());
    EXPECT_EQ(peer.number("SELECT count(*) FROM vals WHERE object = " + std::to_string(n2)), 0);
}

// A node's record carries its interfaces' addresses: writing an interface's
// "IP Address" or "TopM Node ID" (any process) sends the node(s) named again.
TEST_F(Map, AddressWritesSendTheirNode) {
    ZqwObjectId a = node("ad-a"), b = node("ad-b"), iface = plain("ad-if");
    ZqwFieldId node_id = ZqwDbFieldNameToFieldId("TopM Node ID"), address = ZqwDbFieldNameToFieldId("IP Address");
    ASSERT_TRUE(node_id && address);
    auto n = [](uint32_t v) { return std::to_string(v); };
    std::string row = " WHERE object = " + n(iface) + " AND field = ";
    struct Case {
        const char* what;
        std::string sql;
        std::vector<uint32_t> sent;   // object-level rows, in order
    };
    const Case cases[] = {
        {"joins a", "INSERT INTO vals(object, field, value) VALUES (" + n(iface) + ", " + n(node_id) + ", " + n(a) + ")", {a}},
        {"address given", "INSERT INTO vals(object, field, value) VALUES (" + n(iface) + ", " + n(address) + ", '127.0.9.1')", {a}},
        {"address changed", "UPDATE vals SET value = '127.0.9.2'" + row + n(address), {a}},
        {"same address", "UPDATE vals SET value = '127.0.9.2'" + row + n(address), {}},
        {"moved to b", "UPDATE vals SET value = " + n(b) + row + n(node_id), {b, a}},
        {"address removed", "DELETE FROM vals" + row + n(address), {b}},
        {"leaves b", "DELETE FROM vals" + row + n(node_id), {b}},
        {"address without a node", "INSERT INTO vals(object, field, value) VALUES (" + n(iface) + ", " + n(address) + ", '127.0.9.3')", {}},
    };
    Peer peer(db_path());
    for (const Case& c : cases) {
        int64_t mark = zq::zqw::last_change();
        ASSERT_TRUE(peer.exec(c.sql)) << c.what;
        std::vector<zq::zqw::ChangeRow> rows;
        ASSERT_TRUE(zq::zqw::changes_since(mark, 100, rows)) << c.what;
        std::vector<uint32_t> sent;
        for (const auto& r : rows) {
            EXPECT_EQ(r.map, 0u) << c.what;
            sent.push_back(r.object);
        }
        EXPECT_EQ(sent, c.sent) << c.what;
    }
}

// Writes by another process appear in the change log (the triggers), and the
// rows lead to the symbols they touch.
TEST_F(Map, ChangeLogSeesOtherProcesses) {
    ZqwObjectId n = node("cl"), sub = plain("cl-sub");
    ZqwSymbolId ns = node_symbol(n);
    ZqwSymbolId cs = component(n, sub, 2);
    int64_t mark = zq::zqw::last_change();
    EXPECT_GT(mark, 0);

    zqtest::RunResult r = zqtest::run({zqtest::bin("zqtopo"), "set", "cl", "IP Status", "Marginal"}, inst.env());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<zq::zqw::ChangeRow> rows;
    ASSERT_TRUE(zq::zqw::changes_since(mark, 100, rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].map, 0u);
    EXPECT_EQ(rows[0].object, n);
    std::vector<uint32_t> existing, deleted;
    ASSERT_TRUE(zq::zqw::affected_symbols(map.map_id, rows, existing, deleted));
    EXPECT_EQ(existing, std::vector<uint32_t>{ns});
    EXPECT_TRUE(deleted.empty());

    // A component's change touches the node symbol holding it.
    mark = zq::zqw::last_change();
    ASSERT_EQ(ZqwSetStatusOnObject(&map, sub, 4), 1);
    ASSERT_TRUE(zq::zqw::changes_since(mark, 100, rows));
    ASSERT_TRUE(zq::zqw::affected_symbols(map.map_id, rows, existing, deleted));
    EXPECT_EQ(existing, (std::vector<uint32_t>{ns, cs}));

    // A value of another field adds nothing; a removed object its symbols.
    mark = zq::zqw::last_change();
    r = zqtest::run({zqtest::bin("zqtopo"), "set", "cl", "trvOsType", "nt"}, inst.env());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zq::zqw::last_change(), mark);
    Peer peer(db_path());
    ASSERT_TRUE(peer.exec("DELETE FROM objects WHERE id = " + std::to_string(n)));
    ASSERT_TRUE(zq::zqw::changes_since(mark, 100, rows));
    ASSERT_TRUE(zq::zqw::affected_symbols(map.map_id, rows, existing, deleted));
    EXPECT_TRUE(existing.empty());
    EXPECT_EQ(deleted, (std::vector<uint32_t>{ns, cs}));

    // Pruned rows: a reader that is behind is told to start over.
    int64_t last = zq::zqw::last_change();
    ASSERT_TRUE(zq::zqw::prune_changes(1));
    EXPECT_FALSE(zq::zqw::changes_since(0, 100, rows));
    EXPECT_EQ(ZqwError(), 3);
    ASSERT_TRUE(zq::zqw::changes_since(last - 1, 100, rows));
    EXPECT_EQ(rows.size(), 1u);
    EXPECT_EQ(zq::zqw::last_change(), last);
    EXPECT_FALSE(zq::zqw::changes_since(last + 1, 100, rows));
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Map, MapsAndNodeSymbols) {
    ZqwObjectId a = node("ma"), b = node("mb");
    ZqwObjectId c = plain("not-a-node");
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(a, vantor, 1), 1);
    ZqwFieldValue server = boolean(1);
    ASSERT_EQ(ZqwDbSetFieldValue(a, ZqwDbFieldNameToFieldId("isServer"), &server), 1);

    uint32_t m = zq::zqw::create_map("vantors", false, {{"isTrvVantor", "TRUE"}});
    ASSERT_NE(m, 0u);
    EXPECT_EQ(zq::zqw::create_map("vantors", false, {}), 0u);
    EXPECT_EQ(ZqwError(), 63);
    EXPECT_EQ(zq::zqw::create_map("bad", false, {{"noSuchField", "1"}}), 0u);
    EXPECT_EQ(ZqwError(), 62);
    EXPECT_EQ(zq::zqw::create_map("bad", false, {{"isTrvVantor", "maybe"}}), 0u);
    EXPECT_EQ(ZqwError(), 3);
    std::vector<SymbolRow> rows;
    ASSERT_TRUE(zq::zqw::load_symbols(m, rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].object, a);
    EXPECT_EQ(rows[0].type, "Server:Generic");
    EXPECT_EQ(rows[0].name, "ma");

    std::vector<zq::zqw::MapRow> maps;
    ASSERT_TRUE(zq::zqw::list_maps(maps));
    ASSERT_EQ(maps.size(), 2u);
    EXPECT_EQ(maps[0].name, "default");
    EXPECT_EQ(maps[1].filter, (std::vector<std::pair<std::string, std::string>>{{"isTrvVantor", "TRUE"}}));

    // The default map: nodes without a symbol, then symbols gone stale.
    std::vector<uint32_t> ids;
    ASSERT_TRUE(zq::zqw::nodes_without_symbol(map.map_id, ids));
    EXPECT_EQ(ids, (std::vector<uint32_t>{a, b}));
    ZqwSymbolId sa = node_symbol(a), sb = node_symbol(b);
    EXPECT_EQ(zq::zqw::create_node_symbol(map.map_id, a, "Server:Generic"), 0u);
    EXPECT_EQ(ZqwError(), 63);
    EXPECT_NE(zq::zqw::create_node_symbol(map.map_id, c, "Computer:Generic"), 0u);
    ASSERT_TRUE(zq::zqw::nodes_without_symbol(map.map_id, ids));
    EXPECT_TRUE(ids.empty());
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(b, is_node, 0), 1);
    ASSERT_TRUE(zq::zqw::stale_node_symbols(map.map_id, ids));
    EXPECT_EQ(ids.size(), 2u);   // b is no node now, c never was
    EXPECT_EQ(ids[0], sb);
    ASSERT_EQ(ZqwDbSetFieldBooleanValue(a, vantor, 0), 1);
    ASSERT_TRUE(zq::zqw::stale_node_symbols(m, ids));
    EXPECT_EQ(ids.size(), 1u);

    // Positions and management.
    EXPECT_TRUE(zq::zqw::set_symbol_position(map.map_id, sa, 10.5, -3));
    EXPECT_FALSE(zq::zqw::set_symbol_position(map.map_id, 99999, 1, 1));
    EXPECT_EQ(ZqwError(), 141);
    EXPECT_TRUE(zq::zqw::set_symbol_managed(map.map_id, sa, false));
    ASSERT_TRUE(zq::zqw::load_symbols(map.map_id, {sa}, rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].has_position);
    EXPECT_EQ(rows[0].x, 10.5);
    EXPECT_EQ(rows[0].y, -3);
    EXPECT_FALSE(rows[0].managed);
    EXPECT_EQ(rows[0].status, 5);

    // The default map stays; read-only maps refuse application writes.
    EXPECT_FALSE(zq::zqw::delete_map(map.map_id));
    EXPECT_EQ(ZqwError(), 3);
    ASSERT_TRUE(zq::zqw::set_map_read_only(map.map_id, true));
    EXPECT_EQ(ZqwSetSymbolLabel(&map, sa, "x"), -1);
    EXPECT_EQ(ZqwError(), 3);
    ASSERT_TRUE(zq::zqw::set_map_read_only(map.map_id, false));
    EXPECT_TRUE(zq::zqw::delete_map(m));
    EXPECT_FALSE(zq::zqw::load_symbols(m, rows));
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Map, RegistrationsAndConfiguration) {
    std::vector<AppDef> apps;
    ASSERT_TRUE(zq::zqw::load_registrations(apps));
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].command, (std::vector<std::string>{"tester", "-x", "two\nlines"}));
    ASSERT_EQ(apps[0].actions.size(), 2u);
    EXPECT_EQ(apps[0].actions[0].args, std::vector<std::string>{"a1"});
    EXPECT_EQ(apps[0].actions[1].url, "http://${hostname}/");
    EXPECT_EQ(apps[0].config.size(), 2u);

    struct Icon {
        const char* type;
        const char* icon;
    };
    for (const Icon& c : std::vector<Icon>{{"Server:Generic", "server"},
                                           {"Server:TrvServer-nt", "vendor-server"},
                                           {"Server:Trv*", "vendor-server"},
                                           {"Server:Tr", ""},
                                           {"Client:Generic", ""}})
        EXPECT_EQ(zq::zqw::symbol_icon(c.type), c.icon) << c.type;

    // Values: registration order, defaults for what was never stored.
    ZqwFieldBindList* v = ZqwGetAppConfigValues(&map, "Tester");
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->count, 2u);
    EXPECT_EQ(v->entries[0].field_id, os_type);
    EXPECT_STREQ(v->entries[0].value->un.string_val, "");
    EXPECT_EQ(v->entries[1].value->un.bool_val, 0);
    ZqwDbFreeFieldBindList(v);
    ZqwFieldValue ip = text("10.0.0.1"), on = boolean(1), bad = integer(1);
    ZqwFieldBinding b[] = {{os_type, &ip}, {vantor, &on}};
    ZqwFieldBindList values{2, b};
    ASSERT_TRUE(zq::zqw::store_app_config(map.map_id, "Tester", values));
    v = ZqwGetAppConfigValues(&map, "Tester");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->entries[0].value->un.string_val, "10.0.0.1");
    EXPECT_EQ(v->entries[1].value->un.bool_val, 1);
    ZqwDbFreeFieldBindList(v);
    EXPECT_EQ(ZqwGetAppConfigValues(&map, "Nobody"), nullptr);
    EXPECT_EQ(ZqwError(), 30);
    EXPECT_FALSE(zq::zqw::store_app_config(map.map_id, "Nobody", values));
    EXPECT_EQ(ZqwError(), 30);
    ZqwFieldBinding wrong[] = {{vantor, &bad}};
    ZqwFieldBindList bad_values{1, wrong};
    EXPECT_FALSE(zq::zqw::store_app_config(map.map_id, "Tester", bad_values));
    EXPECT_EQ(ZqwError(), 64);
    // Not connected as an application: nothing to store for.
    EXPECT_EQ(ZqwSetAppConfigValues(&map, &values), -1);
    EXPECT_EQ(ZqwError(), 30);
}

// The first format (objects and fields only), as the previous zqsetup made it:
// the object tables the current format still begins with, and some contents.
const std::string kFormat1Schema = std::string(zq::zqw::kObjectTables) + R"sql(
INSERT INTO zqw_meta(key, value) VALUES ('format', 'zqw-1');
INSERT INTO fields(id, name, type) VALUES (3, 'isNode', 2), (4, 'ZQW Maps Exists', 1);
INSERT INTO objects(id) VALUES (1), (2);
INSERT INTO vals(object, field, value) VALUES (1, 1, 'kept'), (1, 3, 1), (2, 2, 'host2');
)sql";

// A database file made of schema (WAL, as the library keeps it) at path.
void write_database(const std::string& path, const std::string& schema) {
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST(Upgrade, FirstFormatGainsTheMapsOnFirstUse) {
    zqtest::TempDir d;
    std::string root = d.path + "/zq";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/db").c_str(), 0755), 0);
    std::string path = root + "/db/topology.db";
    for (int round = 0; round < 2; ++round) {
        write_database(path, kFormat1Schema);
        std::string error;
        if (round == 0) {
            // The library opens it.
            setenv("ZQ_ROOT", root.c_str(), 1);
            ASSERT_EQ(ZqwDbInit(), 0);
        } else {
            // zqsetup keeps it and registers into it.
            ASSERT_TRUE(zq::zqw::create_database(path, error)) << error;
            setenv("ZQ_ROOT", root.c_str(), 1);
            ASSERT_EQ(ZqwDbInit(), 0);
        }
        EXPECT_EQ(ZqwDbSelectionNameToObjectId("kept"), 1u) << round;
        EXPECT_EQ(ZqwDbHostnameToObjectId("HOST2"), 2u) << round;
        zq::zqw::MapRow m;
        ASSERT_TRUE(zq::zqw::find_map("default", m)) << round;
        ASSERT_NE(zq::zqw::create_node_symbol(m.id, 1, "Server:Generic"), 0u);
        EXPECT_EQ(ZqwDbGetFieldIntegerValue(1, 4), 1);
        ZqwDbDone();
        Peer p(path);
        EXPECT_EQ(p.number("SELECT count(*) FROM zqw_meta WHERE key = 'format' AND value = 'zqw-2'"), 1);
        EXPECT_EQ(p.number("SELECT count(*) FROM maps"), 1);
    }
}

// A database the previous version made: the second format without the status
// columns of the symbols, with a node symbol on the default map.
std::string previous_schema() {
    std::string schema = zq::zqw::kSchema;
    std::string cols = zq::zqw::kStatusColumns;
    schema.erase(schema.find(cols), cols.size());
    return schema + R"sql(
INSERT INTO fields(id, name, type) VALUES (3, 'isNode', 2);
INSERT INTO objects(id) VALUES (1);
INSERT INTO vals(object, field, value) VALUES (1, 1, 'node1'), (1, 3, 1);
INSERT INTO symbols(map, object, type, label) VALUES (1, 1, 'Server:Generic', 'kept');
)sql";
}

TEST(Upgrade, PreviousVersionGainsTheStatusRecordOnFirstUse) {
    zqtest::TempDir d;
    std::string root = d.path + "/zq";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/db").c_str(), 0755), 0);
    std::string path = root + "/db/topology.db";
    write_database(path, previous_schema());
    setenv("ZQ_ROOT", root.c_str(), 1);
    ASSERT_EQ(ZqwDbInit(), 0);
    std::vector<SymbolRow> rows;
    ASSERT_TRUE(zq::zqw::load_symbols(1, rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].label, "kept");
    EXPECT_EQ(rows[0].since, 0);
    EXPECT_EQ(rows[0].recorded_status, 0);
    // The first record of a status found there: its time is not known.
    ASSERT_TRUE(zq::zqw::note_statuses(rows, 5000, true));
    ASSERT_TRUE(zq::zqw::load_symbols(1, rows));
    EXPECT_EQ(rows[0].recorded_status, rows[0].status);
    EXPECT_EQ(rows[0].since, 0);
    ZqwDbDone();
    Peer p(path);
    EXPECT_EQ(p.number("SELECT count(*) FROM zqw_meta WHERE key = 'format' AND value = 'zqw-2'"), 1);
    EXPECT_EQ(p.number("SELECT shown_status FROM symbols"), rows[0].status);
}

TEST(Upgrade, ZqsetupMakesTheCurrentFormat) {
    zqtest::Instance inst;
    Peer p(inst.root + "/db/topology.db");
    EXPECT_EQ(p.number("SELECT count(*) FROM zqw_meta WHERE key = 'format' AND value = 'zqw-2'"), 1);
    EXPECT_EQ(p.number("SELECT count(*) FROM maps WHERE name = 'default'"), 1);
}

}  // namespace
