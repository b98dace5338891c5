// A write lock another process holds on the topology database: a call waits for
// it at most db_busy_timeout seconds, then fails with its own error and text.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <string>

#include "testsupport.h"
#include "zqw.h"

namespace {

TEST(DbLock, ALockHeldElsewhereGivesTheLockedErrorAfterDbBusyTimeout) {
    zqtest::Instance inst;
    {
        std::ofstream conf(inst.root + "/conf/zq.conf", std::ios::app);
        conf << "db_busy_timeout=1\n";
    }
    inst.activate();
    ASSERT_EQ(ZqwDbInit(), 0);
    ZqwObjectId before = ZqwDbCreateObjectBySelectionName("before");
    ASSERT_NE(before, 0u);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((inst.root + "/db/topology.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ZqwDbCreateObjectBySelectionName("blocked"), 0u);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(ZqwError(), ZQW_E_LOCKED);
    EXPECT_NE(std::string(ZqwErrorMsg(ZqwError())).find("locked by another process"), std::string::npos);
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 5.0);
    // Readers are not held up, and once the lock is gone writes work again.
    EXPECT_EQ(ZqwDbSelectionNameToObjectId("before"), before);
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_NE(ZqwDbCreateObjectBySelectionName("after"), 0u);
    EXPECT_EQ(ZqwError(), ZQW_E_OK);
}

}  // namespace
