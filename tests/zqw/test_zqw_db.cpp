// The topology database library against a real instance made by zqsetup.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"
#include "zqw.h"
#include "zqw_internal.h"

namespace {

// Fields as the integration registers them, for the cases the platform's own
// registrations do not cover.
const char* kTestFields =
    "field \"trvSubSysType\" Enumeration \"Unset\" \"WEB_ENABLED\" \"WEB_DISABLED\"\n"
    "field trvNodeObjId Integer\n"
    "field trvOsType String\n"
    "field isTrvVantor Boolean\n";

class Db : public ::testing::Test {
protected:
    zqtest::Instance inst;

    void SetUp() override {
        zqtest::write_file(inst.root + "/fields/test.fields", kTestFields);
        std::vector<std::string> errors;
        ASSERT_EQ(zq::zqw::register_fields_file(db_path(), inst.root + "/fields/test.fields", errors), 4);
        ASSERT_TRUE(errors.empty());
        inst.activate();
        ASSERT_EQ(ZqwDbInit(), 0);
    }
    void TearDown() override { ZqwDbDone(); }

    std::string db_path() const { return inst.root + "/db/topology.db"; }

    static ZqwFieldId field(const char* name) {
        ZqwFieldId f = ZqwDbFieldNameToFieldId(name);
        EXPECT_FALSE(ZqwIsIdNull(f)) << name;
        return f;
    }
    static std::string take(char* text) {
        std::string s = text ? text : "(null)";
        std::free(text);
        return s;
    }
    static std::vector<ZqwObjectId> ids(ZqwObjectIdList* list) {
        std::vector<ZqwObjectId> v;
        if (list == nullptr) return {999999};
        v.assign(list->object_ids, list->object_ids + list->count);
        ZqwDbFreeObjectIdList(list);
        return v;
    }
};

ZqwFieldValue boolean(int v) { return ZqwFieldValue{0, ZQW_BOOL_FIELD, {v}}; }
ZqwFieldValue integer(int v) { return ZqwFieldValue{0, ZQW_INT_FIELD, {v}}; }
ZqwFieldValue enumeration(int v) {
    ZqwFieldValue r{0, ZQW_ENUM_FIELD, {0}};
    r.un.enum_val = v;
    return r;
}
ZqwFieldValue text(const char* s) {
    ZqwFieldValue r{0, ZQW_STRING_FIELD, {0}};
    r.un.string_val = const_cast<char*>(s);
    return r;
}

TEST(DbInit, FailsWithoutDatabaseAndNeverCreatesOne) {
    zqtest::TempDir d;
    std::string root = d.path + "/zq";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/db").c_str(), 0755), 0);
    setenv("ZQ_ROOT", root.c_str(), 1);
    EXPECT_EQ(ZqwDbInit(), -1);
    EXPECT_NE(access((root + "/db/topology.db").c_str(), F_OK), 0);
    // Every call fails with 23 while there is no connection.
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbFieldNameToFieldId("isNode")));
    EXPECT_EQ(ZqwError(), 23);
    // A file that is not a topology database is refused as well.
    zqtest::write_file(root + "/db/topology.db", "not a database at all");
    EXPECT_EQ(ZqwDbInit(), -1);
    EXPECT_EQ(zqtest::read_file(root + "/db/topology.db"), "not a database at all");
}

TEST_F(Db, ErrorNumbersOfLookUps) {
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbFieldNameToFieldId("noSuchField")));
    EXPECT_EQ(ZqwError(), 62);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbSelectionNameToObjectId("Trvrunning")));
    EXPECT_EQ(ZqwError(), 80);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbHostnameToObjectId("nohost")));
    EXPECT_EQ(ZqwError(), 80);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbFieldNameToFieldId(nullptr)));
    EXPECT_EQ(ZqwError(), 3);
    // A success sets the error number back to 0.
    field("isNode");
    EXPECT_EQ(ZqwError(), 0);
    EXPECT_STREQ(ZqwErrorMsg(80), "no such object");
    EXPECT_STREQ(ZqwErrorMsg(12345), "unknown error");
}

TEST_F(Db, PageCacheSizesInRangeOnlyAndOnlyWithADatabase) {
    const struct {
        int kib, result, error;
    } cases[] = {{255, -1, 3}, {256, 0, 0}, {8192, 0, 0}, {1048576, 0, 0}, {1048577, -1, 3}, {-8192, -1, 3}};
    for (const auto& c : cases) {
        EXPECT_EQ(ZqwDbSetPageCache(c.kib), c.result) << c.kib;
        EXPECT_EQ(ZqwError(), c.error) << c.kib;
    }
    // The smallest cache still serves every call.
    ASSERT_EQ(ZqwDbSetPageCache(256), 0);
    EXPECT_FALSE(ZqwIsIdNull(ZqwDbCreateObjectBySelectionName("cached")));
    EXPECT_FALSE(ZqwIsIdNull(ZqwDbSelectionNameToObjectId("cached")));
    ZqwDbDone();
    EXPECT_EQ(ZqwDbSetPageCache(8192), -1);
    EXPECT_EQ(ZqwError(), 23);
}

TEST_F(Db, RunningMarkerCreatedOnceThenError63) {
    ZqwObjectId a = ZqwDbCreateObjectBySelectionName("Trvrunning");
    ASSERT_FALSE(ZqwIsIdNull(a));
    EXPECT_EQ(ZqwError(), 0);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbCreateObjectBySelectionName("Trvrunning")));
    EXPECT_EQ(ZqwError(), 63);
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("Trvrunning"), a);
    EXPECT_EQ(ZqwDbDeleteObject(a), 1);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbSelectionNameToObjectId("Trvrunning")));
    EXPECT_EQ(ZqwError(), 80);
    EXPECT_EQ(ZqwDbDeleteObject(a), -1);
    EXPECT_EQ(ZqwError(), 80);
    // Ids are never reused.
    ZqwObjectId b = ZqwDbCreateObjectBySelectionName("Trvrunning");
    EXPECT_GT(b, a);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbCreateObjectBySelectionName("")));
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Db, SelectionNamesStayUnique) {
    ZqwFieldId sel = field("Selection Name");
    ZqwObjectId a = ZqwDbCreateObjectBySelectionName("a");
    ZqwObjectId b = ZqwDbCreateObjectBySelectionName("b");
    EXPECT_EQ(ZqwDbSetFieldStringValue(b, sel, "a"), -1);
    EXPECT_EQ(ZqwError(), 63);
    EXPECT_EQ(take(ZqwDbGetFieldStringValue(b, sel)), "b");
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("a"), a);
    // Renaming to a free name, and to its own name, works.
    EXPECT_EQ(ZqwDbSetFieldStringValue(b, sel, "c"), 1);
    EXPECT_EQ(ZqwDbSetFieldStringValue(b, sel, "c"), 1);
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("c"), b);
    // A created object whose bindings clash is not created at all.
    ZqwFieldValue v = text("a");
    ZqwFieldBinding bind{sel, &v};
    ZqwFieldBindList list{1, &bind};
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbCreateObject(&list)));
    EXPECT_EQ(ZqwError(), 63);
    ZqwObjectId d = ZqwDbCreateObject(nullptr);
    EXPECT_EQ(d, b + 1);  // the failed creation left no object behind
    EXPECT_EQ(ZqwDbDeleteField(sel), -1);
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Db, ValuesOfEveryTypeAndTheirErrors) {
    ZqwObjectId o = ZqwDbCreateObject(nullptr);
    ZqwFieldId os = field("trvOsType"), node = field("trvNodeObjId"), vantor = field("isTrvVantor");
    // No value yet: 69, for each reading call.
    EXPECT_EQ(ZqwDbGetFieldBooleanValue(o, vantor), 0);
    EXPECT_EQ(ZqwError(), 69);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(o, node), -1);
    EXPECT_EQ(ZqwError(), 69);
    EXPECT_EQ(ZqwDbGetFieldStringValue(o, os), nullptr);
    EXPECT_EQ(ZqwError(), 69);
    EXPECT_EQ(ZqwDbGetFieldValue(o, node), nullptr);
    EXPECT_EQ(ZqwError(), 69);
    EXPECT_EQ(ZqwDbObjectIdToHostname(o), nullptr);
    EXPECT_EQ(ZqwError(), 69);

    EXPECT_EQ(ZqwDbSetFieldBooleanValue(o, vantor, 7), 1);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(o, node, -5), 1);
    EXPECT_EQ(ZqwDbSetFieldStringValue(o, os, "ntwkstn"), 1);
    EXPECT_EQ(ZqwDbGetFieldBooleanValue(o, vantor), 1);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(o, node), -5);
    EXPECT_EQ(ZqwError(), 0);
    EXPECT_EQ(take(ZqwDbGetFieldStringValue(o, os)), "ntwkstn");
    EXPECT_EQ(ZqwDbSetFieldBooleanValue(o, vantor, 0), 1);
    EXPECT_EQ(ZqwDbGetFieldBooleanValue(o, vantor), 0);
    EXPECT_EQ(ZqwError(), 0);

    ZqwFieldValue* rec = ZqwDbGetFieldValue(o, node);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->is_list, 0);
    EXPECT_EQ(rec->field_type, ZQW_INT_FIELD);
    EXPECT_EQ(rec->un.int_val, -5);
    ZqwDbFreeFieldValue(rec);
    rec = ZqwDbGetFieldValue(o, os);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->field_type, ZQW_STRING_FIELD);
    EXPECT_STREQ(rec->un.string_val, "ntwkstn");
    ZqwDbFreeFieldValue(rec);

    // The wrong type for the call: 64, and the value stays.
    EXPECT_EQ(ZqwDbGetFieldBooleanValue(o, node), 0);
    EXPECT_EQ(ZqwError(), 64);
    EXPECT_EQ(ZqwDbSetFieldStringValue(o, node, "x"), -1);
    EXPECT_EQ(ZqwError(), 64);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(o, node), -5);
    // Unknown or null ids.
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(o + 100, node), -1);
    EXPECT_EQ(ZqwError(), 80);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(o + 100, node, 1), -1);
    EXPECT_EQ(ZqwError(), 80);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(o, 999), -1);
    EXPECT_EQ(ZqwError(), 62);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(0, node), -1);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwDbSetFieldStringValue(o, os, nullptr), -1);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwDbObjectIdToHostname(o + 100), nullptr);
    EXPECT_EQ(ZqwError(), 80);
}

TEST_F(Db, EnumerationsByNameAndByValue) {
    ZqwFieldId kind = field("trvSubSysType"), status = field("IP Status");
    ZqwObjectId o = ZqwDbCreateObject(nullptr);
    EXPECT_EQ(ZqwDbGetEnumValue(kind, "WEB_DISABLED"), 2);
    EXPECT_EQ(ZqwDbGetEnumValue(status, "Unmanaged"), 4);
    EXPECT_EQ(ZqwDbGetEnumValue(kind, "web_disabled"), -1);  // names are exact
    EXPECT_EQ(ZqwError(), 70);
    EXPECT_EQ(ZqwDbGetEnumValue(field("trvOsType"), "x"), -1);
    EXPECT_EQ(ZqwError(), 64);

    EXPECT_EQ(ZqwDbSetFieldEnumByName(o, kind, "WEB_ENABLED"), 1);
    EXPECT_EQ(ZqwDbGetFieldEnumByValue(o, kind), 1);
    EXPECT_EQ(take(ZqwDbGetFieldEnumByName(o, kind)), "WEB_ENABLED");
    EXPECT_EQ(ZqwDbSetFieldEnumByValue(o, kind, 2), 1);
    EXPECT_EQ(take(ZqwDbGetFieldEnumByName(o, kind)), "WEB_DISABLED");
    // Names and values outside the definition: 70, the value stays.
    EXPECT_EQ(ZqwDbSetFieldEnumByName(o, kind, "WEB"), -1);
    EXPECT_EQ(ZqwError(), 70);
    EXPECT_EQ(ZqwDbSetFieldEnumByValue(o, kind, 3), -1);
    EXPECT_EQ(ZqwError(), 70);
    EXPECT_EQ(ZqwDbSetFieldEnumByValue(o, kind, -1), -1);
    EXPECT_EQ(ZqwError(), 70);
    EXPECT_EQ(ZqwDbGetFieldEnumByValue(o, kind), 2);
    ZqwFieldValue* rec = ZqwDbGetFieldValue(o, kind);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->field_type, ZQW_ENUM_FIELD);
    EXPECT_EQ(rec->un.enum_val, 2);
    ZqwDbFreeFieldValue(rec);
    // An enumeration read as text by the wrong call.
    EXPECT_EQ(ZqwDbGetFieldStringValue(o, kind), nullptr);
    EXPECT_EQ(ZqwError(), 64);
}

TEST_F(Db, HostNamesIgnoreCase) {
    ZqwFieldId host = field("IP Hostname");
    ZqwObjectId a = ZqwDbCreateObjectBySelectionName("srv1");
    ASSERT_EQ(ZqwDbSetFieldStringValue(a, host, "Srv1.Example"), 1);
    EXPECT_EQ(ZqwDbHostnameToObjectId("srv1.example"), a);
    EXPECT_EQ(ZqwDbHostnameToObjectId("SRV1.EXAMPLE"), a);
    EXPECT_EQ(take(ZqwDbObjectIdToHostname(a)), "Srv1.Example");
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbHostnameToObjectId("srv1")));
    EXPECT_EQ(ZqwError(), 80);
    EXPECT_EQ(ZqwDbSetFieldStringValue(a, host, ""), -1);
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Db, UnsetSucceedsWithoutValueAndListsAreAllOrNothing) {
    ZqwFieldId os = field("trvOsType"), node = field("trvNodeObjId");
    ZqwObjectId o = ZqwDbCreateObject(nullptr);
    EXPECT_EQ(ZqwDbUnsetFieldValue(o, os), 1);
    EXPECT_EQ(ZqwError(), 0);
    ZqwDbSetFieldStringValue(o, os, "x");
    ZqwDbSetFieldIntegerValue(o, node, 4);
    EXPECT_EQ(ZqwDbUnsetFieldValue(o, os), 1);
    EXPECT_EQ(ZqwDbGetFieldStringValue(o, os), nullptr);
    EXPECT_EQ(ZqwError(), 69);
    EXPECT_EQ(ZqwDbUnsetFieldValue(o + 1, os), 0);
    EXPECT_EQ(ZqwError(), 80);

    ZqwDbSetFieldStringValue(o, os, "x");
    ZqwFieldId bad[] = {os, 777, node};
    ZqwFieldIdList with_unknown{3, bad};
    EXPECT_EQ(ZqwDbUnsetFieldValues(o, &with_unknown), 0);
    EXPECT_EQ(ZqwError(), 62);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(o, node), 4);
    ZqwFieldId good[] = {os, node, field("isTrvVantor")};
    ZqwFieldIdList all{3, good};
    EXPECT_EQ(ZqwDbUnsetFieldValues(o, &all), 1);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(o, node), -1);
    EXPECT_EQ(ZqwError(), 69);
}

TEST_F(Db, NullIdsAreBadArgumentsAndTouchNothing) {
    ZqwFieldId os = field("trvOsType");
    ZqwObjectId o = ZqwDbCreateObject(nullptr);
    ZqwDbSetFieldStringValue(o, os, "x");
    EXPECT_EQ(ZqwDbDeleteObject(0), -1);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwDbDeleteField(0), -1);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwDbDeleteField(4242), -1);
    EXPECT_EQ(ZqwError(), 62);
    EXPECT_EQ(take(ZqwDbGetFieldStringValue(o, os)), "x");
    EXPECT_EQ(ZqwDbUnsetFieldValue(0, os), 0);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwDbListObjectsByFieldValue(os, nullptr), nullptr);
    EXPECT_EQ(ZqwError(), 3);
    ZqwFieldValue listed = text("x");
    listed.is_list = 1;
    EXPECT_EQ(ZqwDbListObjectsByFieldValue(os, &listed), nullptr);
    EXPECT_EQ(ZqwError(), 3);
    EXPECT_EQ(ZqwDbListObjectsByFieldValues(nullptr), nullptr);
    EXPECT_EQ(ZqwError(), 3);
}

TEST_F(Db, DeletingAFieldRemovesItsValues) {
    ZqwFieldId os = field("trvOsType");
    ZqwObjectId a = ZqwDbCreateObject(nullptr), b = ZqwDbCreateObject(nullptr);
    ZqwDbSetFieldStringValue(a, os, "linux");
    ZqwDbSetFieldStringValue(b, os, "linux");
    EXPECT_EQ(ZqwDbDeleteField(os), 1);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbFieldNameToFieldId("trvOsType")));
    EXPECT_EQ(ZqwError(), 62);
    EXPECT_EQ(ZqwDbGetFieldStringValue(a, os), nullptr);
    EXPECT_EQ(ZqwError(), 62);
    EXPECT_EQ(ZqwDbDeleteField(os), -1);
    EXPECT_EQ(ZqwError(), 62);
    // Registered again, the field starts without values.
    std::vector<std::string> errors;
    ASSERT_EQ(zq::zqw::register_fields_file(db_path(), inst.root + "/fields/test.fields", errors), 4);
    ZqwFieldId again = field("trvOsType");
    EXPECT_NE(again, os);
    EXPECT_EQ(ZqwDbGetFieldStringValue(a, again), nullptr);
    EXPECT_EQ(ZqwError(), 69);
    ZqwFieldValue v = text("linux");
    EXPECT_TRUE(ids(ZqwDbListObjectsByFieldValue(again, &v)).empty());
    // The objects themselves remain.
    EXPECT_TRUE(zq::zqw::object_exists(a));
    EXPECT_TRUE(zq::zqw::object_exists(b));
}

TEST_F(Db, ListsByOneValueAndBySeveral) {
    ZqwFieldId node = field("trvNodeObjId"), kind = field("trvSubSysType"), isip = field("isIP"),
               addr = field("IP Address");
    std::vector<ZqwObjectId> of7, of7_enabled;
    for (int i = 0; i < 40; ++i) {
        ZqwObjectId o = ZqwDbCreateObject(nullptr);
        ZqwDbSetFieldIntegerValue(o, node, i % 3 == 0 ? 7 : 8);
        ZqwDbSetFieldEnumByValue(o, kind, i % 2 == 0 ? 1 : 2);
        ZqwDbSetFieldBooleanValue(o, isip, 1);
        if (i % 3 == 0) of7.push_back(o);
        if (i % 3 == 0 && i % 2 == 0) of7_enabled.push_back(o);
    }
    ZqwFieldValue seven = integer(7);
    EXPECT_EQ(ids(ZqwDbListObjectsByFieldValue(node, &seven)), of7);

    ZqwFieldValue enabled = enumeration(1), yes = boolean(1);
    ZqwFieldBinding both[] = {{node, &seven}, {kind, &enabled}, {isip, &yes}};
    ZqwFieldBindList list{3, both};
    EXPECT_EQ(ids(ZqwDbListObjectsByFieldValues(&list)), of7_enabled);
    // The order of the conditions does not matter.
    ZqwFieldBinding reversed[] = {{isip, &yes}, {kind, &enabled}, {node, &seven}};
    ZqwFieldBindList list2{3, reversed};
    EXPECT_EQ(ids(ZqwDbListObjectsByFieldValues(&list2)), of7_enabled);

    // No match: an empty list, not a failure.
    ZqwFieldValue nine = integer(9);
    ZqwObjectIdList* none = ZqwDbListObjectsByFieldValue(node, &nine);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->count, 0u);
    EXPECT_EQ(ZqwError(), 0);
    ZqwDbFreeObjectIdList(none);
    ZqwFieldValue where = text("10.0.0.1");
    ZqwFieldBinding by_addr[] = {{addr, &where}};
    ZqwFieldBindList list3{1, by_addr};
    EXPECT_TRUE(ids(ZqwDbListObjectsByFieldValues(&list3)).empty());

    // A record of another type than the field: 64; an enumeration index outside
    // the definition: 70; an unknown field: 62.
    ZqwFieldValue wrong = boolean(1);
    EXPECT_EQ(ZqwDbListObjectsByFieldValue(node, &wrong), nullptr);
    EXPECT_EQ(ZqwError(), 64);
    ZqwFieldValue nine_kind = enumeration(9);
    EXPECT_EQ(ZqwDbListObjectsByFieldValue(kind, &nine_kind), nullptr);
    EXPECT_EQ(ZqwError(), 70);
    EXPECT_EQ(ZqwDbListObjectsByFieldValue(555, &seven), nullptr);
    EXPECT_EQ(ZqwError(), 62);
}

TEST_F(Db, BindListBuiltWithTheSnmpAllocatorIsFreedByTheLibrary) {
    // Built as a map application builds its filters: every part from the heap.
    auto* list = static_cast<ZqwFieldBindList*>(std::calloc(1, sizeof(ZqwFieldBindList)));
    list->count = 2;
    list->entries = static_cast<ZqwFieldBinding*>(std::calloc(2, sizeof(ZqwFieldBinding)));
    for (unsigned i = 0; i < 2; ++i) {
        list->entries[i].field_id = field(i == 0 ? "isComputer" : "isSNMPSupported");
        list->entries[i].value = static_cast<ZqwFieldValue*>(std::calloc(1, sizeof(ZqwFieldValue)));
        *list->entries[i].value = boolean(1);
    }
    ZqwObjectId o = ZqwDbCreateObject(list);
    ASSERT_FALSE(ZqwIsIdNull(o));
    EXPECT_EQ(ids(ZqwDbListObjectsByFieldValues(list)), std::vector<ZqwObjectId>{o});
    ZqwDbFreeFieldBindList(list);  // leak checkers see the rest
}

TEST_F(Db, RemovedOrUnreadableDatabaseGives23) {
    ZqwObjectId o = ZqwDbCreateObjectBySelectionName("n1");
    ASSERT_FALSE(ZqwIsIdNull(o));
    ZqwFieldId is_node = field("isNode");
    std::string path = db_path();
    // Unreadable: every call fails with 23, and works again once it is readable.
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbSelectionNameToObjectId("n1")));
    EXPECT_EQ(ZqwError(), 23);
    EXPECT_EQ(ZqwDbObjectIdToHostname(o), nullptr);
    EXPECT_EQ(ZqwError(), 23);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("n1"), o);

    // Removed: 23 for reads and writes alike, no crash.
    std::string saved = path + ".saved";
    ASSERT_EQ(rename(path.c_str(), saved.c_str()), 0);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbSelectionNameToObjectId("n1")));
    EXPECT_EQ(ZqwError(), 23);
    EXPECT_EQ(ZqwDbSetFieldBooleanValue(o, is_node, 1), -1);
    EXPECT_EQ(ZqwError(), 23);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbCreateObject(nullptr)));
    EXPECT_EQ(ZqwError(), 23);
    EXPECT_EQ(ZqwDbInit(), -1);

    // Replaced by another file of the same name: still lost until ZqwDbInit.
    ASSERT_EQ(rename(saved.c_str(), path.c_str()), 0);
    EXPECT_EQ(ZqwDbInit(), 0);
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("n1"), o);
    std::string copy = path + ".copy";
    zqtest::write_file(copy, zqtest::read_file(path));
    ASSERT_EQ(rename(copy.c_str(), path.c_str()), 0);
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbSelectionNameToObjectId("n1")));
    EXPECT_EQ(ZqwError(), 23);
}

TEST_F(Db, BusyDatabaseIsWaitedFor) {
    // Another connection holds the write lock for a moment; the call waits for it.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db_path().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; INSERT INTO objects DEFAULT VALUES", nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::thread release([other] {
        usleep(300 * 1000);
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    ZqwObjectId o = ZqwDbCreateObjectBySelectionName("waited");
    release.join();
    sqlite3_close(other);
    EXPECT_FALSE(ZqwIsIdNull(o));
    EXPECT_EQ(ZqwError(), 0);
}

TEST_F(Db, BulkTransactionSurvivesRejectedCallsAndRollsBackWhole) {
    ZqwFieldId node = field("trvNodeObjId"), kind = field("trvSubSysType");
    ASSERT_TRUE(zq::zqw::begin_bulk());
    ZqwObjectId a = ZqwDbCreateObjectBySelectionName("bulk-a");
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbCreateObjectBySelectionName("bulk-a")));
    EXPECT_EQ(ZqwError(), 63);
    // A binding list that fails a check creates nothing, not even the object.
    ZqwFieldValue seven = integer(7), bad_kind = enumeration(9);
    ZqwFieldBinding b[] = {{node, &seven}, {kind, &bad_kind}};
    ZqwFieldBindList list{2, b};
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbCreateObject(&list)));
    EXPECT_EQ(ZqwError(), 70);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(a, kind, 1), -1);
    EXPECT_EQ(ZqwError(), 64);
    ZqwObjectId c = ZqwDbCreateObject(nullptr);
    EXPECT_EQ(c, a + 1);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(c, node, 7), 1);
    ASSERT_TRUE(zq::zqw::end_bulk(true));
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("bulk-a"), a);
    EXPECT_EQ(ids(ZqwDbListObjectsByFieldValue(node, &seven)), std::vector<ZqwObjectId>{c});

    ASSERT_TRUE(zq::zqw::begin_bulk());
    ZqwDbCreateObjectBySelectionName("bulk-b");
    EXPECT_EQ(ZqwDbDeleteObject(a), 1);
    ASSERT_TRUE(zq::zqw::end_bulk(false));
    EXPECT_TRUE(ZqwIsIdNull(ZqwDbSelectionNameToObjectId("bulk-b")));
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("bulk-a"), a);
    // Nested bulk transactions are refused.
    ASSERT_TRUE(zq::zqw::begin_bulk());
    EXPECT_FALSE(zq::zqw::begin_bulk());
    EXPECT_TRUE(zq::zqw::end_bulk(true));
    EXPECT_FALSE(zq::zqw::end_bulk(true));
}

}  // namespace

// The test build's fault hook of the library: the SQLite result the next group
// commit ends with (0: its own).
int g_commit_fault = 0;
extern "C" int ZqwTestCommitFault(void) {
    int rc = g_commit_fault;
    g_commit_fault = 0;
    return rc;
}

namespace {

TEST_F(Db, GroupIsOneTransactionWhoseCallsFailAlone) {
    ZqwFieldId node = field("trvNodeObjId"), kind = field("trvSubSysType"), os = field("trvOsType");
    ZqwObjectId a = ZqwDbCreateObjectBySelectionName("grp-a");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db_path().c_str(), &other), SQLITE_OK);
    auto seen = [other](ZqwObjectId o) {
        // What another process reads: the count of a's values.
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(other, "SELECT count(*) FROM vals WHERE object = ?", -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, o);
        sqlite3_step(st);
        int n = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
        return n;
    };
    const int before = seen(a);

    ASSERT_EQ(ZqwDbBegin(), 0);
    EXPECT_EQ(ZqwDbBegin(), -1);
    EXPECT_EQ(ZqwError(), 3) << "one group at a time";
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(a, node, 7), 1);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(a, kind, 1), -1);  // wrong type: fails alone
    EXPECT_EQ(ZqwError(), 64);
    EXPECT_EQ(ZqwDbSetFieldEnumByName(a, kind, "NOSUCH"), -1);
    EXPECT_EQ(ZqwError(), 70);
    EXPECT_EQ(ZqwDbSetFieldStringValue(a, os, "grouped"), 1);
    EXPECT_EQ(take(ZqwDbGetFieldStringValue(a, os)), "grouped") << "the group reads its own writes";
    EXPECT_EQ(seen(a), before) << "nothing is seen before the commit";
    EXPECT_EQ(ZqwDbCommit(), 0);
    EXPECT_EQ(seen(a), before + 2);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(a, node), 7);

    // A commit the disk refuses stores none of the group, says so, and the next
    // group works.
    ASSERT_EQ(ZqwDbBegin(), 0);
    EXPECT_EQ(ZqwDbSetFieldStringValue(a, os, "lost"), 1);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(a, node, 8), 1);
    g_commit_fault = SQLITE_FULL;
    EXPECT_EQ(ZqwDbCommit(), -1);
    EXPECT_EQ(ZqwError(), 23);
    EXPECT_EQ(take(ZqwDbGetFieldStringValue(a, os)), "grouped");
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(a, node), 7);
    ASSERT_EQ(ZqwDbBegin(), 0);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(a, node, 9), 1);
    EXPECT_EQ(ZqwDbCommit(), 0);
    EXPECT_EQ(ZqwDbGetFieldIntegerValue(a, node), 9);

    // A group without calls, and a commit without a group.
    ASSERT_EQ(ZqwDbBegin(), 0);
    EXPECT_EQ(ZqwDbCommit(), 0);
    EXPECT_EQ(ZqwDbCommit(), -1);
    EXPECT_EQ(ZqwError(), 3);
    // A bulk transaction does not start inside a group.
    ASSERT_EQ(ZqwDbBegin(), 0);
    EXPECT_FALSE(zq::zqw::begin_bulk());
    EXPECT_EQ(ZqwDbCommit(), 0);
    sqlite3_close(other);
}

// Runs body in a child process with its own connection; the child's exit status
// is 0 when body returned true.
pid_t in_child(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        bool ok = ZqwDbInit() == 0 && body();
        ZqwDbDone();
        _exit(ok ? 0 : 1);
    }
    return pid;
}

int child_status(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

TEST_F(Db, TwoProcessesWritingAtOnceLoseNothing) {
    ZqwFieldId node = field("trvNodeObjId");
    ZqwDbDone();  // the children open their own connections
    const int n = 150;
    auto writer = [node](const char* prefix) {
        return [node, prefix] {
            for (int i = 0; i < n; ++i) {
                std::string name = std::string(prefix) + std::to_string(i);
                ZqwObjectId o = ZqwDbCreateObjectBySelectionName(name.c_str());
                if (ZqwIsIdNull(o) || ZqwDbSetFieldIntegerValue(o, node, i) != 1) return false;
                ZqwFieldValue v = integer(i);
                ZqwObjectIdList* l = ZqwDbListObjectsByFieldValue(node, &v);
                if (l == nullptr) return false;
                ZqwDbFreeObjectIdList(l);
            }
            return true;
        };
    };
    pid_t a = in_child(writer("a"));
    pid_t b = in_child(writer("b"));
    EXPECT_EQ(child_status(a), 0);
    EXPECT_EQ(child_status(b), 0);
    ASSERT_EQ(ZqwDbInit(), 0);
    for (int i = 0; i < n; ++i) {
        for (const char* p : {"a", "b"}) {
            std::string name = p + std::to_string(i);
            ZqwObjectId o = ZqwDbSelectionNameToObjectId(name.c_str());
            ASSERT_FALSE(ZqwIsIdNull(o)) << name;
            EXPECT_EQ(ZqwDbGetFieldIntegerValue(o, node), i);
        }
        ZqwFieldValue v = integer(i);
        EXPECT_EQ(ids(ZqwDbListObjectsByFieldValue(node, &v)).size(), 2u);
    }
}

TEST_F(Db, AnotherProcessSeesWritesAtOnce) {
    ZqwFieldId os = field("trvOsType");
    ZqwObjectId o = ZqwDbCreateObjectBySelectionName("shared");
    // This connection stays open while another process writes.
    zqtest::RunResult w = zqtest::run({zqtest::bin("zqtopo"), "set", "shared", "trvOsType", "from-child"}, inst.env());
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(take(ZqwDbGetFieldStringValue(o, os)), "from-child");
    ASSERT_EQ(ZqwDbSetFieldStringValue(o, os, "from-parent"), 1);
    zqtest::RunResult r = zqtest::run({zqtest::bin("zqtopo"), "get", "shared", "trvOsType"}, inst.env());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "from-parent\n");
}

TEST(FieldsFile, ParsesQuotedNamesAndReportsBadLines) {
    std::vector<std::string> errors;
    auto defs = zq::zqw::parse_fields(
        "# comment\n"
        "\n"
        "field \"IP Status\" Enumeration \"Unknown\" Normal \"Say \\\"hi\\\"\"  # trailing\n"
        "field isNode boolean\n"
        "field \"x\" Float\n"
        "field \"y\" Integer \"1\"\n"
        "field \"z\" Enumeration\n"
        "field \"e\" Enumeration a a\n"
        "field \"unterminated\n"
        "fields \"w\" String\n"
        "field isNode String\n",
        "t.fields", errors);
    ASSERT_EQ(defs.size(), 2u);
    EXPECT_EQ(defs[0].name, "IP Status");
    EXPECT_EQ(defs[0].type, ZQW_ENUM_FIELD);
    EXPECT_EQ(defs[0].values, (std::vector<std::string>{"Unknown", "Normal", "Say \"hi\""}));
    EXPECT_EQ(defs[1].type, ZQW_BOOL_FIELD);
    ASSERT_EQ(errors.size(), 7u);
    EXPECT_EQ(errors[0].rfind("t.fields:5: ", 0), 0u) << errors[0];
    EXPECT_EQ(errors[6].rfind("t.fields:11: ", 0), 0u) << errors[6];
}

TEST(FieldsFile, GarbageIsReportedNeverTakenForFields) {
    std::string junk;
    uint32_t x = 12345;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1103515245u + 12345u;
        junk += static_cast<char>((x >> 16) & 0xff);
        if (i % 97 == 0) junk += "field \"";
    }
    std::vector<std::string> errors;
    auto defs = zq::zqw::parse_fields(junk, "junk", errors);
    for (const auto& d : defs) {
        EXPECT_FALSE(d.name.empty());
        EXPECT_GE(d.type, 1);
        EXPECT_LE(d.type, 4);
    }
    EXPECT_FALSE(errors.empty());
}

TEST(FieldsFile, ReRegistrationKeepsTypesAndOnlyExtendsEnumerations) {
    zqtest::Instance inst;
    std::string db = inst.root + "/db/topology.db", file = inst.root + "/fields/more.fields";
    std::vector<std::string> errors;
    zqtest::write_file(file, "field k Enumeration A B\nfield n Integer\n");
    EXPECT_EQ(zq::zqw::register_fields_file(db, file, errors), 2);
    EXPECT_EQ(zq::zqw::register_fields_file(db, file, errors), 2);
    EXPECT_TRUE(errors.empty());
    zqtest::write_file(file, "field k Enumeration A B C\nfield n String\n");
    EXPECT_EQ(zq::zqw::register_fields_file(db, file, errors), 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("registered as Integer"), std::string::npos);
    zqtest::write_file(file, "field k Enumeration B A C\n");
    EXPECT_EQ(zq::zqw::register_fields_file(db, file, errors), 0);
    EXPECT_EQ(errors.size(), 2u);

    inst.activate();
    ASSERT_EQ(ZqwDbInit(), 0);
    ZqwFieldId k = ZqwDbFieldNameToFieldId("k");
    EXPECT_EQ(ZqwDbGetEnumValue(k, "C"), 2);
    EXPECT_EQ(ZqwDbGetEnumValue(k, "A"), 0);
    ZqwFieldId n = ZqwDbFieldNameToFieldId("n");
    ZqwObjectId o = ZqwDbCreateObject(nullptr);
    EXPECT_EQ(ZqwDbSetFieldIntegerValue(o, n, 3), 1);
    ZqwDbDone();
}

TEST(Setup, RerunKeepsTheDatabaseAndItsObjects) {
    zqtest::Instance inst;
    inst.activate();
    ASSERT_EQ(ZqwDbInit(), 0);
    ZqwObjectId o = ZqwDbCreateObjectBySelectionName("kept");
    ZqwDbDone();
    zqtest::RunResult r = zqtest::run({zqtest::bin("zqsetup"), inst.root, "--force"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(ZqwDbInit(), 0);
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("kept"), o);
    // A bad registration file is reported, the rest still registered.
    zqtest::write_file(inst.root + "/fields/bad.fields", "field good Integer\nfield bad Float\n");
    r = zqtest::run({zqtest::bin("zqsetup"), inst.root});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.fields:2"), std::string::npos) << r.err;
    EXPECT_FALSE(ZqwIsIdNull(ZqwDbFieldNameToFieldId("good")));
    ZqwDbDone();
}

}  // namespace
