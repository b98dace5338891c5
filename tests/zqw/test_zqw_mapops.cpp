// The operator's map calls (mapops.h) over a real instance: every refusal
// leaves the maps as they were, and the applications' map is kept, followed
// and protected.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mapops.h"
#include "testsupport.h"
#include "zqw.h"

namespace {

using zq::zqw::MapOutcome;
using zq::zqw::MapRow;

std::string maps_text() {
    std::vector<MapRow> maps;
    if (!zq::zqw::list_maps(maps)) return "list failed";
    std::string s;
    for (const auto& m : maps) {
        s += std::to_string(m.id) + ":" + m.name + (m.read_only ? ":ro" : ":rw");
        for (const auto& [f, v] : m.filter) s += ":" + f + "=" + v;
        s += ";";
    }
    return s + "apps=" + std::to_string(zq::zqw::applications_map());
}

class MapOps : public ::testing::Test {
protected:
    zqtest::Instance inst;
    uint32_t def = 0, own = 0;
    void SetUp() override {
        inst.activate();
        ASSERT_EQ(ZqwDbInit(), 0);
        def = zq::zqw::map_named("default").map.id;
        ASSERT_NE(def, 0u);
        MapOutcome o = zq::zqw::make_map("servers", {{"isServer", "TRUE"}}, false);
        ASSERT_TRUE(o.ok()) << o.error;
        own = o.map.id;
    }
    void TearDown() override { ZqwDbDone(); }
};

TEST_F(MapOps, RefusalsChangeNothing) {
    const std::string long_name(65, 'x');
    struct Case {
        const char* what;
        std::function<MapOutcome()> call;
        int status;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"empty name", [] { return zq::zqw::make_map("", {}, false); }, 400, "a map needs a name"},
        {"blank name", [] { return zq::zqw::make_map("  ", {}, false); }, 400, "a map needs a name"},
        {"65 bytes", [&] { return zq::zqw::make_map(long_name, {}, false); }, 400, "at most 64 bytes, not 65"},
        {"control character", [] { return zq::zqw::make_map("a\nb", {}, false); }, 400, "control characters"},
        {"name taken", [] { return zq::zqw::make_map("servers", {}, false); }, 400, "\"servers\" exists already"},
        {"unknown field", [] { return zq::zqw::make_map("x", {{"isServer", "TRUE"}, {"noSuchField", "1"}}, false); },
         400, "no field \"noSuchField\""},
        {"bad boolean", [] { return zq::zqw::make_map("x", {{"isServer", "maybe"}}, false); }, 400,
         "\"maybe\" is not a value of the field \"isServer\""},
        {"bad enumeration", [] { return zq::zqw::make_map("x", {{"IP Status", "Purple"}}, false); }, 400,
         "\"Purple\" is not a value"},
        {"33 conditions", [] { return zq::zqw::make_map("x", zq::zqw::MapFilter(33, {"isServer", "TRUE"}), false); },
         400, "at most 32 conditions"},
        {"rename to taken", [&] { return zq::zqw::rename_map_to(own, "default"); }, 400, "exists already"},
        {"rename to empty", [&] { return zq::zqw::rename_map_to(own, ""); }, 400, "a map needs a name"},
        {"rename to 65 bytes", [&] { return zq::zqw::rename_map_to(own, long_name); }, 400, "at most 64 bytes"},
        {"rename default", [&] { return zq::zqw::rename_map_to(def, "main"); }, 400, "keeps its name"},
        {"rename unknown", [] { return zq::zqw::rename_map_to(9999, "y"); }, 404, "no such map"},
        {"read-only unknown", [] { return zq::zqw::mark_map_read_only(9999, true); }, 404, "no such map"},
        {"delete default", [&] { return zq::zqw::remove_map(def); }, 400, "cannot be deleted"},
        {"delete unknown", [] { return zq::zqw::remove_map(9999); }, 404, "no such map"},
        {"choose unknown", [] { return zq::zqw::choose_applications_map(9999); }, 404, "no such map"},
        {"name unknown", [] { return zq::zqw::map_named("nothing"); }, 404, "no such map: \"nothing\""},
    };
    const std::string before = maps_text();
    for (const auto& c : cases) {
        MapOutcome o = c.call();
        EXPECT_EQ(o.status, c.status) << c.what;
        EXPECT_NE(o.error.find(c.text), std::string::npos) << c.what << ": " << o.error;
        EXPECT_EQ(maps_text(), before) << c.what;
    }
}

TEST_F(MapOps, RenameMarkChooseAndDelete) {
    EXPECT_TRUE(zq::zqw::make_map(std::string(64, 'y'), {}, true).ok());   // 64 bytes are fine
    MapOutcome o = zq::zqw::rename_map_to(own, "my servers");
    ASSERT_TRUE(o.ok()) << o.error;
    EXPECT_EQ(o.map.name, "my servers");
    EXPECT_EQ(zq::zqw::map_named("my servers").map.id, own);
    EXPECT_EQ(zq::zqw::map_named(std::to_string(own)).map.name, "my servers");
    EXPECT_TRUE(zq::zqw::rename_map_to(own, "my servers").ok());   // the same name: no change

    EXPECT_TRUE(zq::zqw::mark_map_read_only(own, true).map.read_only);
    EXPECT_FALSE(zq::zqw::mark_map_read_only(own, false).map.read_only);

    // The applications' map: default until chosen; the chosen one cannot go.
    EXPECT_EQ(zq::zqw::applications_map(), def);
    ASSERT_TRUE(zq::zqw::choose_applications_map(own).ok());
    EXPECT_EQ(zq::zqw::applications_map(), own);
    o = zq::zqw::remove_map(own);
    EXPECT_EQ(o.status, 400);
    EXPECT_NE(o.error.find("the applications work on the map \"my servers\""), std::string::npos) << o.error;
    ASSERT_TRUE(zq::zqw::choose_applications_map(def).ok());
    o = zq::zqw::remove_map(own);
    ASSERT_TRUE(o.ok()) << o.error;
    EXPECT_EQ(o.map.name, "my servers");
    EXPECT_EQ(zq::zqw::map_with_id(own).status, 404);
}

}  // namespace
