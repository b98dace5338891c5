// The event configuration (parse, match, text) and the store (alarms, clearing,
// acknowledgement kept on disk, bounds, filters).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>

#include <nlohmann/json.hpp>

#include "evconf.h"
#include "evstore.h"
#include "testsupport.h"
#include "zqcommon.h"

using namespace zq::ev;

namespace {

Event trap(const std::string& trap_id, const std::string& agent, std::vector<Binding> b = {}) {
    Event e;
    e.trap_id = trap_id;
    zq::parse_oid(trap_id, e.trap_oid);
    e.agent = agent;
    e.bindings = std::move(b);
    return e;
}

const char* kConf =
    "1.3.6.1.4.1.9.0.1   NodeDown  Status  Critical            \"Node $1 is down\"\n"
    "1.3.6.1.4.1.9.0.2   NodeUp    Status  Normal  clears=NodeDown  \"Node $1 is up\"\n"
    "1.3.6.1.4.1.9.*     Nine      Vendor  Minor   \"nine: $*\"\n"
    "1.3.6.1.4.1.9.7.*   Seven     Vendor  Major   log-only \"seven\"\n"
    "1.3.6.1.4.1.8.*     Noise     Other   Normal  ignore \"\"\n";

}  // namespace

TEST(EventsConf, BadLinesNamedWithFileAndLine) {
    struct Case {
        const char* line;
        const char* error;  // a part of the message
    } cases[] = {
        {"1.3.6.x Name Cat Normal \"t\"", "is not a trap identifier"},
        {"1.3.6 Name Cat Severe \"t\"", "unknown severity 'Severe'"},
        {"1.3.6 Name Cat Normal \"open", "double quote is not closed"},
        {"1.3.6 Name Cat Major clears=X \"t\"", "only a Normal event clears"},
        {"1.3.6 Name Cat Normal loud \"t\"", "unknown option 'loud'"},
        {"1.3.6 Name Cat Normal log-only ignore \"t\"", "exclude each other"},
        {"1.3.6 Na<me Cat Normal \"t\"", "the name 'Na<me'"},
        {"1.3.6 Name Cat", "expected PATTERN NAME"},
    };
    for (const auto& c : cases) {
        Conf conf;
        std::vector<std::string> errors;
        std::string text = "# a comment\n1.3.9 Good Cat Normal \"ok\"\n" + std::string(c.line) + "\n";
        EXPECT_FALSE(parse_events_conf(text, "events.conf", conf, errors)) << c.line;
        ASSERT_EQ(errors.size(), 1u) << c.line;
        EXPECT_EQ(errors[0].rfind("events.conf:3: ", 0), 0u) << errors[0];
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
        EXPECT_EQ(conf.entries.size(), 1u) << "the good line stays";
    }
    Conf conf;
    std::vector<std::string> errors;
    EXPECT_FALSE(parse_events_conf("1.3.6.* A B Normal \"x\"\n1.3.6.* C D Normal \"y\"\n", "f", conf, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("f:2: '1.3.6.*' is given twice (also on line 1)"), std::string::npos) << errors[0];
}

TEST(EventsConf, ShippedFileIsClean) {
    Conf conf;
    std::vector<std::string> errors;
    EXPECT_TRUE(load_events_conf(zqtest::source("zq/conf/events.conf"), conf, errors));
    for (auto& e : errors) ADD_FAILURE() << e;
    Event readable = trap(zq::expand_arcs("ENT.1.3.1.0.1001"), "10.1.2.3", {{"x", "OCTET STRING", "Fan 2 failed", false}});
    classify(conf, readable);
    EXPECT_EQ(readable.name, "TarvoEvent");
    EXPECT_EQ(readable.text, "Fan 2 failed");
    Event internal = trap(zq::expand_arcs("ENT.1.3.11.0.3003"), "127.0.0.1");
    classify(conf, internal);
    EXPECT_EQ(internal.action, kLogOnly);
}

TEST(EventsConf, MatchAndText) {
    Conf conf;
    std::vector<std::string> errors;
    ASSERT_TRUE(parse_events_conf(kConf, "f", conf, errors));
    struct Case {
        const char* trap_id;
        const char* name;  // "" no entry
    } cases[] = {
        {"1.3.6.1.4.1.9.0.1", "NodeDown"},   // exact beats the prefix
        {"1.3.6.1.4.1.9.0.3", "Nine"},
        {"1.3.6.1.4.1.9.7.0.1", "Seven"},    // the longer prefix wins
        {"1.3.6.1.4.1.90.0.1", ""},          // a prefix ends at a dot
        {"1.3.6.1.4.1.9", ""},               // the prefix itself is not below it
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> oid;
        zq::parse_oid(c.trap_id, oid);
        const Entry* e = conf.match(oid);
        EXPECT_EQ(e ? e->name : "", c.name) << c.trap_id;
    }
    Event ev = trap("1.3.6.1.4.1.9.0.5", "10.0.0.1",
                    {{"1.2.1", "OCTET STRING", "<b>x</b>", false}, {"1.2.2", "OCTET STRING", "00ff", true}});
    ev.node_name = "srv1";
    struct Text {
        const char* tmpl;
        const char* out;
    } texts[] = {
        {"$1 at $A", "<b>x</b> at 10.0.0.1"}, {"$2|$3|", "0x00ff||"}, {"$N $S $G", "srv1 0 0"},
        {"$*", "1.2.1=<b>x</b> 1.2.2=0x00ff"}, {"100$$ $Q", "100$ $Q"}, {"$O", "1.3.6.1.4.1.9.0.5"},
    };
    for (const auto& t : texts) EXPECT_EQ(expand_text(t.tmpl, ev), t.out) << t.tmpl;
    Event unknown = trap("1.3.7.1", "10.0.0.9", {{"1.1", "INTEGER", "5", false}});
    classify(conf, unknown);
    EXPECT_EQ(unknown.name, "Trap");
    EXPECT_EQ(unknown.text, "1.3.7.1 from 10.0.0.9: 1.1=5");
}

struct StoreTest : ::testing::Test {
    zqtest::TempDir dir;
    std::string path = dir.path + "/events.db";
    Conf conf;
    void SetUp() override {
        std::vector<std::string> errors;
        ASSERT_TRUE(parse_events_conf(kConf, "f", conf, errors));
    }
    Event classified(const std::string& trap_id, uint32_t node, const std::string& name, int64_t t,
                     std::vector<Binding> b = {}) {
        Event e = trap(trap_id, "10.0.0." + std::to_string(node), std::move(b));
        e.node = node;
        e.node_name = name;
        e.time_ms = t;
        classify(conf, e);
        return e;
    }
    void add(Store& s, const std::string& trap_id, uint32_t node, const std::string& name, int64_t t,
             std::vector<Binding> b = {}) {
        std::vector<Event> batch{classified(trap_id, node, name, t, std::move(b))};
        ASSERT_TRUE(s.add(batch)) << s.error();
    }
    // The ids of the events a list with these parameters gives, newest first.
    std::vector<int64_t> ids(Store& s, const std::vector<std::pair<std::string, std::string>>& params) {
        Filter f;
        std::string reason;
        for (auto& [n, v] : params) EXPECT_TRUE(parse_filter(n, v, false, f, reason)) << reason;
        std::vector<Event> list;
        bool more = false;
        EXPECT_TRUE(s.events(f, list, more)) << s.error();
        std::vector<int64_t> out;
        for (auto& e : list) out.push_back(e.id);
        return out;
    }
    std::vector<Alarm> alarms(Store& s, const std::string& state = "all") {
        Filter f;
        f.state = state;
        std::vector<Alarm> out;
        bool more = false;
        EXPECT_TRUE(s.alarms(f, out, more)) << s.error();
        return out;
    }
};

TEST_F(StoreTest, RepeatsFoldAndNodeUpClears) {
    Store s;
    ASSERT_TRUE(s.open(path, true)) << s.error();
    for (int i = 0; i < 10; ++i) add(s, "1.3.6.1.4.1.9.0.1", 7, "srv7", 1000 + i, {{"1.1", "OCTET STRING", "srv7", false}});
    add(s, "1.3.6.1.4.1.9.0.1", 8, "srv8", 2000);       // another node: its own alarm
    add(s, "1.3.6.1.4.1.9.7.0.1", 7, "srv7", 2001);     // log only: no alarm
    auto list = alarms(s);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].count, 10);
    EXPECT_EQ(list[1].first_ms, 1000);
    EXPECT_EQ(list[1].last_ms, 1009);
    EXPECT_EQ(list[1].last_event, 10);
    EXPECT_EQ(list[1].text, "Node srv7 is down");
    add(s, "1.3.6.1.4.1.9.0.2", 7, "srv7", 3000);       // node up for srv7 only
    list = alarms(s, "open");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].node, 8u);
    list = alarms(s, "cleared");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cleared_ms, 3000);
    add(s, "1.3.6.1.4.1.9.0.1", 7, "srv7", 4000);       // down again: a new alarm
    EXPECT_EQ(alarms(s, "open").size(), 2u);
    std::vector<uint32_t> marked;
    ASSERT_TRUE(s.marked_nodes(marked));
    EXPECT_EQ(marked, (std::vector<uint32_t>{7, 8}));
}

TEST_F(StoreTest, AcknowledgementIsKeptOnDisk) {
    int64_t id = 0;
    {
        Store s;
        ASSERT_TRUE(s.open(path, true));
        add(s, "1.3.6.1.4.1.9.0.1", 7, "srv7", 1000);
        id = alarms(s)[0].id;
        int64_t changed = 0;
        ASSERT_TRUE(s.acknowledge({id, 999}, true, "alice", 5000, changed));
        EXPECT_EQ(changed, 1);
        ASSERT_TRUE(s.acknowledge({id}, true, "bob", 6000, changed));
        EXPECT_EQ(changed, 0) << "acknowledged already: who and when stay";
    }
    Store r;
    ASSERT_TRUE(r.open(path, false)) << r.error();
    auto list = alarms(r);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0].acked);
    EXPECT_EQ(list[0].ack_by, "alice");
    EXPECT_EQ(list[0].ack_ms, 5000);
    std::vector<uint32_t> marked;
    ASSERT_TRUE(r.marked_nodes(marked));
    EXPECT_TRUE(marked.empty()) << "an acknowledged alarm marks no node";
    EXPECT_EQ(alarms(r, "unacked").size(), 0u);
}

TEST_F(StoreTest, BoundsRemoveOldestAndCount) {
    Store s;
    ASSERT_TRUE(s.open(path, true));
    int64_t day = 86400000LL, now = 100 * day;
    for (int i = 0; i < 30; ++i) add(s, "1.3.6.1.4.1.9.0.3", 1, "n", (i < 5 ? now - 40 * day : now) + i);
    int64_t removed = 0;
    int64_t n = 0;
    ASSERT_TRUE(s.index_some(1000, n));
    EXPECT_EQ(n, 30);
    ASSERT_TRUE(s.prune(20, 30, now, 1000, removed));
    EXPECT_EQ(removed, 10);  // ten beyond the count, the five old ones among them
    ASSERT_TRUE(s.prune(20, 30, now, 1000, removed));
    EXPECT_EQ(removed, 0);
    Counters c;
    ASSERT_TRUE(s.counters(c));
    EXPECT_EQ(c.removed, 10);
    EXPECT_EQ(c.last_event, 30);
    Filter f;
    f.limit = 100;
    std::vector<Event> list;
    bool more = false;
    ASSERT_TRUE(s.events(f, list, more));
    ASSERT_EQ(list.size(), 20u);
    EXPECT_EQ(list.front().id, 30);  // newest first
    EXPECT_EQ(list.back().id, 11);
}

TEST_F(StoreTest, Filters) {
    Store s;
    ASSERT_TRUE(s.open(path, true));
    add(s, "1.3.6.1.4.1.9.0.1", 7, "srv7", 1000, {{"1.1", "OCTET STRING", "srv7", false}});
    add(s, "1.3.6.1.4.1.9.0.3", 8, "srv8", 2000, {{"1.1", "OCTET STRING", "100%_done", false}});
    int64_t n = 0;
    ASSERT_TRUE(s.index_some(1, n));                  // the text index holds the first event only:
    EXPECT_EQ(n, 1);                                  // text searches read both parts
    add(s, "1.3.6.1.4.1.9.7.0.3", 8, "srv8", 2500);  // log only, Major
    struct Case {
        std::vector<std::pair<std::string, std::string>> params;
        std::vector<int64_t> ids;
    } cases[] = {
        {{{"severity", "Critical,Major"}}, {3, 1}},
        {{{"node", "srv8"}}, {3, 2}},
        {{{"node", "7"}}, {1}},
        {{{"text", "%_d"}}, {2}},          // wildcards are plain characters
        {{{"text", "NODE SRV7"}}, {1}},    // any case, from the index
        {{{"text", "NINE"}}, {2}},         // from the part the index has not reached
        {{{"text", "e"}, {"limit", "2"}}, {3, 2}},
        {{{"from", "1970-01-01T00:00:01.500Z"}, {"until", "2400"}}, {2}},
        {{{"since", "1"}, {"limit", "1"}}, {3}},
        {{{"category", "Vendor"}, {"name", "Nine"}}, {2}},
        {{{"log_only", "true"}}, {3}},
    };
    for (const auto& c : cases) EXPECT_EQ(ids(s, c.params), c.ids) << c.params[0].first << "=" << c.params[0].second;
    struct Bad {
        const char* name;
        const char* value;
        bool alarms;
    } bad[] = {{"severity", "Loud", false}, {"limit", "0", false}, {"since", "-1", false}, {"from", "yesterday", false},
               {"state", "open", false},    {"log_only", "1", true}, {"colour", "red", false}, {"state", "gone", true}};
    for (const auto& b : bad) {
        Filter f;
        std::string reason;
        EXPECT_FALSE(parse_filter(b.name, b.value, b.alarms, f, reason)) << b.name;
        EXPECT_NE(reason.find(b.name), std::string::npos) << reason;
    }
}

// A part of a text is found the same whether the index has reached the event
// or not; LIKE's wildcards and the index's quotes are plain characters.
TEST_F(StoreTest, TextSearchSameWithAndWithoutIndex) {
    Store s;
    ASSERT_TRUE(s.open(path, true));
    const char* texts[] = {"100%_done", "100% done", "1000 done", "say \"hi\" now", "a\\b_c"};
    for (int i = 0; i < 5; ++i) add(s, "1.3.6.1.4.1.9.0.3", 1, "n", 1000 + i, {{"1.1", "OCTET STRING", texts[i], false}});
    struct Case {
        const char* text;
        std::vector<int64_t> ids;
    } cases[] = {
        {"%_d", {1}}, {"0% ", {2}}, {"00%", {2, 1}}, {"_do", {1}}, {"\"hi\"", {4}},
        {"\\b_", {5}}, {"b_c", {5}}, {"0_d", {}},  {"DONE", {3, 2, 1}},
    };
    for (bool indexed : {false, true}) {
        if (indexed) {
            int64_t n = 0;
            ASSERT_TRUE(s.index_some(100, n));
            ASSERT_EQ(n, 5);
        }
        for (const auto& c : cases)
            EXPECT_EQ(ids(s, {{"text", c.text}}), c.ids) << c.text << (indexed ? " (index)" : " (row by row)");
    }
}

// The counts of each kind of event follow adds and removals (a filter on a
// kind none has is answered from them), and a store made before them is
// counted when its writer opens it.
TEST_F(StoreTest, KindCountsFollowTheEvents) {
    auto counted_right = [&](const char* when) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char* sql =  // the kinds whose counts differ from the events'
            "WITH a AS (SELECT severity, category, name, log_only, count(*) FROM events GROUP BY 1, 2, 3, 4), "
            "b AS (SELECT severity, category, name, log_only, n FROM event_kinds WHERE n <> 0) "
            "SELECT (SELECT count(*) FROM (SELECT * FROM a EXCEPT SELECT * FROM b)) + "
            "(SELECT count(*) FROM (SELECT * FROM b EXCEPT SELECT * FROM a))";
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(st, 0), 0) << when;
        sqlite3_finalize(st);
        sqlite3_close(db);
    };
    auto severity = [&](Store& s, const char* names) { return ids(s, {{"severity", names}}); };
    {
        Store s;
        ASSERT_TRUE(s.open(path, true));
        for (int i = 0; i < 6; ++i) add(s, i % 2 ? "1.3.6.1.4.1.9.0.1" : "1.3.6.1.4.1.9.0.3", 1, "n", 1000 + i);
        add(s, "1.3.6.1.4.1.9.7.0.1", 1, "n", 2000);  // Major, log only
        counted_right("after adds");
        EXPECT_EQ(severity(s, "Critical"), (std::vector<int64_t>{6, 4, 2}));
        EXPECT_EQ(severity(s, "Warning"), (std::vector<int64_t>{}));
        int64_t removed = 0;
        ASSERT_TRUE(s.prune(1, 30, 2000, 1000, removed));
        EXPECT_EQ(removed, 6);
        counted_right("after the bound");
        EXPECT_EQ(severity(s, "Critical"), (std::vector<int64_t>{}));
        EXPECT_EQ(severity(s, "Major,Critical"), (std::vector<int64_t>{7}));
    }
    // As a store of before: no counts.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TRIGGER events_uncounted; DROP TABLE event_kinds; DELETE FROM meta WHERE key = 'kinds'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    {
        Store r;
        ASSERT_TRUE(r.open(path, false)) << r.error();
        EXPECT_EQ(severity(r, "Major"), (std::vector<int64_t>{7})) << "read before its writer counted it";
    }
    Store s;
    ASSERT_TRUE(s.open(path, true)) << s.error();
    counted_right("counted on opening");
    EXPECT_EQ(severity(s, "Major"), (std::vector<int64_t>{7}));
}

// Events of one batch fold and clear in their order: a clear in the middle
// ends the alarm the earlier repeats made, and the later ones open another.
TEST_F(StoreTest, OneBatchFoldsAndClearsInOrder) {
    Store s;
    ASSERT_TRUE(s.open(path, true));
    std::vector<Event> batch;
    const char* order[] = {"1", "1", "1", "2", "1", "1"};  // down x3, up, down x2
    for (int i = 0; i < 6; ++i) batch.push_back(classified(std::string("1.3.6.1.4.1.9.0.") + order[i], 7, "srv7", 1000 + i));
    ASSERT_TRUE(s.add(batch)) << s.error();
    auto list = alarms(s);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_FALSE(list[0].cleared);
    EXPECT_EQ(list[0].count, 2);
    EXPECT_EQ(list[0].first_ms, 1004);
    EXPECT_EQ(list[0].last_event, 6);
    EXPECT_TRUE(list[1].cleared);
    EXPECT_EQ(list[1].count, 3);
    EXPECT_EQ(list[1].last_ms, 1002);
    EXPECT_EQ(list[1].cleared_ms, 1003);
    EXPECT_EQ(batch[4].alarm, list[0].id);
    EXPECT_EQ(batch[2].alarm, list[1].id);
}

// Bindings come back as they went in, whatever their characters.
TEST_F(StoreTest, BindingsKeptExactly) {
    Store s;
    ASSERT_TRUE(s.open(path, true));
    std::vector<Binding> in = {{"1.1", "OCTET STRING", "plain text", false},
                               {"1.2", "OCTET STRING", "00ff80", true},
                               {"1.3", "OCTET STRING", "quote \" back\\slash\ttab", false},
                               {"1.4", "OCTET STRING", "caf\xc3\xa9 <b>", false},
                               {"1.5", "INTEGER", "-5", false}};
    add(s, "1.3.6.1.4.1.9.0.3", 1, "n", 1000, in);
    add(s, "1.3.6.1.4.1.9.0.3", 1, "n", 1001, {in[0], in[1]});
    for (int64_t id : {1, 2}) {
        Event e;
        bool found = false;
        ASSERT_TRUE(s.event(id, e, found));
        ASSERT_TRUE(found);
        auto j = nlohmann::json::parse(event_json(e));
        size_t n = id == 1 ? in.size() : 2;
        ASSERT_EQ(j["bindings"].size(), n);
        for (size_t i = 0; i < n; ++i) {
            auto& b = j["bindings"][i];
            EXPECT_EQ(b["oid"], in[i].oid);
            EXPECT_EQ(b["type"], in[i].type);
            EXPECT_EQ(b[in[i].hex ? "hex" : "value"], in[i].value) << i;
            EXPECT_EQ(b.size(), 3u);
        }
    }
}

// The vendor's traps of a return to normal clear, through the shipped
// configuration, the open alarms of their condition on the same node only.
TEST_F(StoreTest, VendorReturnsToNormalClearTheirConditions) {
    std::vector<std::string> errors;
    ASSERT_TRUE(load_events_conf(zqtest::source("zq/conf/events.conf"), conf, errors));
    struct Pair {
        std::vector<int> conditions;
        int back;
    } pairs[] = {{{6001, 6002}, 6003}, {{6004, 6005}, 6006}, {{6007, 6008}, 6009}, {{18011}, 18012}};
    Store s;
    ASSERT_TRUE(s.open(path, true));
    int64_t t = 1000;
    auto readable = [](int n) { return zq::expand_arcs("ENT.1.3.1.0.") + std::to_string(n); };
    for (const auto& p : pairs) {
        for (int c : p.conditions)
            for (uint32_t node : {7u, 8u}) add(s, readable(c), node, "srv", ++t, {{"x", "OCTET STRING", "bad", false}});
        add(s, readable(p.back), 7, "srv", ++t, {{"x", "OCTET STRING", "good", false}});
        std::map<std::pair<std::string, uint32_t>, bool> cleared;
        for (const auto& a : alarms(s)) cleared[{a.name, a.node}] = a.cleared;
        for (int c : p.conditions) {
            Event e = trap(readable(c), "10.0.0.7");
            classify(conf, e);
            EXPECT_NE(e.severity, kNormal) << c;
            EXPECT_TRUE(cleared.at({e.name, 7})) << c << " on the node that came back";
            EXPECT_FALSE(cleared.at({e.name, 8})) << c << " on another node";
        }
        Event back = trap(readable(p.back), "10.0.0.7");
        classify(conf, back);
        EXPECT_EQ(cleared.count({back.name, 7}), 0u) << p.back << " is no alarm of its own";
    }
}
