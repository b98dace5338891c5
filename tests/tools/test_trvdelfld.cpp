// trvdelfld on a real topology database of its own instance.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"
#include "zqw.h"

namespace {

using zqtest::RunResult;

const std::string kRefusal =
    "Error : Expects \"y\" as the first parameter.\n"
    "       This will result in deletion of fields from the database.\n\n";
const std::string kSuccess = "Successfully deleted all Vantor Integration fields from Database.\n\n";

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

class Trvdelfld : public ::testing::Test {
protected:
    void SetUp() override {
        inst_ = std::make_unique<zqtest::Instance>();
        inst_->activate();
    }
    void TearDown() override { ZqwDbDone(); }

    RunResult del(const std::vector<std::string>& args) {
        std::vector<std::string> argv{zqtest::bin("trvdelfld")};
        argv.insert(argv.end(), args.begin(), args.end());
        return zqtest::run(argv, inst_->env());
    }
    // Whether a field is defined, as a fresh connection sees it.
    bool defined(const char* field) {
        EXPECT_EQ(ZqwDbInit(), 0);
        bool d = !ZqwIsIdNull(ZqwDbFieldNameToFieldId(field));
        ZqwDbDone();
        return d;
    }
    ZqwFieldId field(const char* name) {
        ZqwFieldId f = ZqwDbFieldNameToFieldId(name);
        EXPECT_FALSE(ZqwIsIdNull(f)) << name;
        return f;
    }
    // A vendor node, and with subsystem a subsystem object that names it.
    ZqwObjectId vendor_node(const char* name, bool subsystem) {
        EXPECT_EQ(ZqwDbInit(), 0);
        ZqwObjectId node = ZqwDbCreateObjectBySelectionName(name);
        EXPECT_EQ(ZqwDbSetFieldBooleanValue(node, field("isNode"), 1), 1);
        EXPECT_EQ(ZqwDbSetFieldBooleanValue(node, field("isTrvVantor"), 1), 1);
        if (subsystem) {
            ZqwObjectId sub = ZqwDbCreateObject(nullptr);
            EXPECT_EQ(ZqwDbSetFieldIntegerValue(sub, field("trvNodeObjId"), static_cast<int>(node)), 1);
        }
        ZqwDbDone();
        return node;
    }
    std::string error_log() { return zqtest::read_file(inst_->root + "/temp/vtmzqerr.log"); }

    std::unique_ptr<zqtest::Instance> inst_;
};

const char* const kDeleted[] = {"trvSubSysType", "trvSysType", "trvOsType", "trvRIXENip", "trvDeviceStatus"};

TEST_F(Trvdelfld, RefusesWithoutAYesAndTouchesNothing) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"yes"}, {"n"}, {""}, {"yy"}}) {
        RunResult r = del(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kRefusal);
    }
    for (const char* f : kDeleted) EXPECT_TRUE(defined(f)) << f;
    EXPECT_EQ(error_log(), "");

    RunResult help = del({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: trvdelfld y"), std::string::npos);
}

TEST_F(Trvdelfld, DeletesTheFieldsAndTheSecondRunFindsNoRegistry) {
    vendor_node("plain-vendor", false);
    RunResult first = del({"y", "ignored"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, kSuccess);
    for (const char* f : kDeleted) EXPECT_FALSE(defined(f)) << f;
    // No node has subsystem objects any more: their link field goes as well.
    EXPECT_FALSE(defined("trvNodeObjId"));
    EXPECT_TRUE(defined("isTrvVantor"));
    EXPECT_TRUE(defined("isTrvRIXEN"));
    EXPECT_TRUE(defined("isVelmswp"));
    EXPECT_TRUE(defined("isNode"));

    // The database has no "OK?": two entries name it, one for the look-up and one
    // for the deletion; nothing else failed.
    std::string log = error_log();
    EXPECT_EQ(count(log, ":OK?"), 2u) << log;
    EXPECT_EQ(count(log, "trvdelfld ("), 2u) << log;
    EXPECT_EQ(count(first.err, ":OK?"), 2u);

    RunResult second = del({"y"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(error_log(), log);
    EXPECT_TRUE(defined("isTrvVantor"));
}

TEST_F(Trvdelfld, UpperCaseYAndSubsystemObjectsKeepTheirLinkField) {
    vendor_node("no-subsystems", false);
    ZqwObjectId node = vendor_node("with-subsystem", true);
    RunResult r = del({"Y"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    for (const char* f : kDeleted) EXPECT_FALSE(defined(f)) << f;
    ASSERT_TRUE(defined("trvNodeObjId"));
    // The values of the fields that stay are untouched.
    ASSERT_EQ(ZqwDbInit(), 0);
    ZqwFieldValue v{};
    v.field_type = ZQW_INT_FIELD;
    v.un.int_val = static_cast<int32_t>(node);
    ZqwObjectIdList* subs = ZqwDbListObjectsByFieldValue(ZqwDbFieldNameToFieldId("trvNodeObjId"), &v);
    ASSERT_NE(subs, nullptr);
    EXPECT_EQ(subs->count, 1u);
    ZqwDbFreeObjectIdList(subs);
    EXPECT_EQ(ZqwDbGetFieldBooleanValue(node, ZqwDbFieldNameToFieldId("isTrvVantor")), 1);
}

TEST_F(Trvdelfld, DatabaseWithOkFieldLogsNothing) {
    zqtest::write_file(inst_->root + "/fields/zz-ok.fields", "field \"OK?\" Boolean\n");
    RunResult setup = zqtest::run({zqtest::bin("zqsetup"), inst_->root});
    ASSERT_EQ(setup.status, 0) << setup.err;
    ASSERT_TRUE(defined("OK?"));

    RunResult r = del({"y"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    EXPECT_FALSE(defined("OK?"));
    EXPECT_EQ(error_log(), "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Trvdelfld, WithoutADatabaseItStops) {
    zqtest::TempDir empty;
    RunResult r = zqtest::run({zqtest::bin("trvdelfld"), "y"}, {{"ZQ_ROOT", empty.path}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");  // the failed connection (its log cannot be written either)
}

}  // namespace
