// The installation directory from the registry and the configuration-file
// opener, in an instance made by zqsetup.
#include <errno.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "trvlib.h"
#include "winapi.h"

namespace fs = std::filesystem;

namespace {

class TrvConf : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inst_ = std::make_unique<zqtest::Instance>();
        inst_->activate();
    }
    static void TearDownTestSuite() { inst_.reset(); }
    void SetUp() override {
        set_path_name(inst_->root);
        fs::remove_all(dir());
        fs::create_directories(dir());
        zqtest::write_file(dir() + "/trvconfig.dat", "DiscoveryInterval 30\n");
    }

    static std::string dir() { return inst_->root + "/conf/c/trv"; }
    static void set_path_name(const std::string& value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, TRV_REGISTRY_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, TRV_REGISTRY_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static std::string first_line(FILE* fp) {
        char buf[256] = "";
        if (fgets(buf, sizeof buf, fp) == nullptr) buf[0] = '\0';
        fclose(fp);
        return buf;
    }

    static std::unique_ptr<zqtest::Instance> inst_;
};
std::unique_ptr<zqtest::Instance> TrvConf::inst_;

TEST_F(TrvConf, OpensBelowTheInstallationDirectoryAndRemembersTheHostPath) {
    FILE* fp = pOpenConfFile("trvconfig.dat");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(first_line(fp), "DiscoveryInterval 30\n");
    EXPECT_STREQ(szInstallDir, inst_->root.c_str());
    EXPECT_EQ(std::string(szTrvConfigPath), dir() + "/trvconfig.dat");
}

TEST_F(TrvConf, TrailingBlanksOfTheDirectoryAreRemoved) {
    set_path_name(inst_->root + "  ");
    FILE* fp = pOpenConfFile("trvconfig.dat");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    EXPECT_EQ(std::string(szTrvConfigPath), dir() + "/trvconfig.dat");
}

TEST_F(TrvConf, FailedOpenStillRemembersThePathTried) {
    EXPECT_EQ(pOpenConfFile("trvtrapd.conf"), nullptr);
    EXPECT_EQ(std::string(szTrapConfPath), dir() + "/trvtrapd.conf");
    EXPECT_EQ(pOpenConfFile("trvval2str.trap"), nullptr);
    EXPECT_EQ(std::string(szValToStrPath), dir() + "/trvval2str.trap");
}

TEST_F(TrvConf, OnlyTheExactNamesAreRemembered) {
    FILE* fp = pOpenConfFile("trvconfig.dat");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    zqtest::write_file(dir() + "/TRVCONFIG.DAT", "upper\n");
    fp = pOpenConfFile("TRVCONFIG.DAT");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(first_line(fp), "upper\n");
    EXPECT_EQ(std::string(szTrvConfigPath), dir() + "/trvconfig.dat");
}

TEST_F(TrvConf, UnreadableInstallationDirectoryMeansTheDriveRoot) {
    // An empty value, and one too long for its 100 bytes, both leave the
    // installation directory empty: "\conf\c\trv\..." lies at the drive root,
    // which is the instance directory.
    set_path_name("");
    FILE* fp = pOpenConfFile("trvconfig.dat");
    EXPECT_STREQ(szInstallDir, "");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    EXPECT_EQ(std::string(szTrvConfigPath), dir() + "/trvconfig.dat");

    set_path_name("/nowhere/" + std::string(95, 'd'));
    fp = pOpenConfFile("trvconfig.dat");
    EXPECT_STREQ(szInstallDir, "");
    ASSERT_NE(fp, nullptr);
    fclose(fp);

    set_path_name("/nowhere/" + std::string(90, 'd'));  // 99 characters: read
    EXPECT_EQ(pOpenConfFile("trvconfig.dat"), nullptr);
    EXPECT_EQ(std::strlen(szInstallDir), 99u);
    EXPECT_EQ(std::string(szTrvConfigPath), "/nowhere/" + std::string(90, 'd') + "/conf/c/trv/trvconfig.dat");
}

TEST_F(TrvConf, OverlongPathsAndDirectoriesAreNotOpened) {
    std::string name(300, 'n');
    zqtest::write_file(dir() + "/" + name.substr(0, 200), "x");
    errno = 0;
    EXPECT_EQ(pOpenConfFile(name.c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(pOpenConfFile(nullptr), nullptr);

    // A drive root so deep that the path exceeds 255 characters: not opened, and
    // the remembered text says it is cut.
    std::string deep = inst_->root + "/" + std::string(250, 'r');
    setenv("ZQ_ROOT", deep.c_str(), 1);
    FILE* fp = pOpenConfFile("trvconfig.dat");
    inst_->activate();
    EXPECT_EQ(fp, nullptr);
    std::string remembered = szTrvConfigPath;
    EXPECT_EQ(remembered.size(), 255u);
    EXPECT_EQ(remembered, deep.substr(0, 252) + "...");

    fs::create_directories(dir() + "/trvtrapd.conf");
    EXPECT_EQ(pOpenConfFile("trvtrapd.conf"), nullptr);
    EXPECT_EQ(std::string(szTrapConfPath), dir() + "/trvtrapd.conf");
}

}  // namespace

namespace {

// The line reader and the number converter the three configuration parsers share.
TEST(ConfigLines, LinesEndsLimitsAndReadErrors) {
    struct Case {
        std::string text;
        std::vector<std::pair<int, std::string>> lines;  // result and text of each read, up to the end
    } cases[] = {
        {"a\nb\n", {{1, "a"}, {1, "b"}, {0, ""}}},
        {"a\r\nb", {{1, "a"}, {1, "b"}, {0, ""}}},          // CRLF, and a last line without its end
        {"a\rb\r\r\n", {{1, "a\rb\r"}, {0, ""}}},           // only the CR before the end goes
        {"12345\n123456\nx\n", {{1, "12345"}, {-2, ""}, {1, "x"}, {0, ""}}},  // 5 fit, 6 do not
        {"12345\r\n", {{1, "12345"}, {0, ""}}},             // the CR does not count
        {std::string("n\0l\nok\n", 7), {{-2, ""}, {1, "ok"}, {0, ""}}},
        {"", {{0, ""}}},
    };
    for (const Case& c : cases) {
        FILE* f = zqtest::file_of(c.text);
        int line = 0;
        char buf[6];
        for (size_t i = 0; i < c.lines.size(); ++i) {
            int r = iReadConfigLine(f, buf, 5, &line);
            EXPECT_EQ(r, c.lines[i].first) << "[" << c.text << "] read " << i;
            EXPECT_EQ(std::string(buf), c.lines[i].second) << "[" << c.text << "] read " << i;
            EXPECT_EQ(line, static_cast<int>(i) + 1);
        }
        std::fclose(f);
    }
    // A directory opens for reading but cannot be read: -1, not the end of a file.
    zqtest::TempDir d;
    FILE* f = std::fopen(d.path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    int line = 0;
    char buf[6];
    EXPECT_EQ(iReadConfigLine(f, buf, 5, &line), -1);
    std::fclose(f);
}

TEST(ConfigLines, NumbersSaturateAtThe32BitLimits) {
    const std::pair<const char*, int32_t> cases[] = {
        {"0", 0},           {"42", 42},           {"  -7x", -7},          {"+9", 9},
        {"", 0},            {"abc", 0},           {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"-99999999999999999999", INT32_MIN}, {"99999999999999999999", INT32_MAX},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(iConfigNumber(text), want) << text;
}

}  // namespace
