// Host paths, the registry file, the shell without a shell, the log opener.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "testsupport.h"
#include "winapi.h"

namespace {

using zqtest::read_file;
using zqtest::write_file;

const char kTarnwick[] = "SOFTWARE\\Velmora\\Corvel\\Tarnwick";

// A fresh ZQ_ROOT for this process.
struct Root {
    zqtest::TempDir dir;
    std::string root;
    Root() : root(dir.path + "/zq") {
        mkdir(root.c_str(), 0755);
        setenv("ZQ_ROOT", root.c_str(), 1);
    }
};

std::string host(const std::string& p) {
    char buf[512];
    int n = zqHostPath(p.c_str(), buf, sizeof buf);
    EXPECT_GE(n, 0);
    return buf;
}

TEST(HostPath, DriveRootedPathsLieBelowTheInstance) {
    Root r;
    EXPECT_EQ(host("\\temp\\vtmzqerr.log"), r.root + "/temp/vtmzqerr.log");
    EXPECT_EQ(host("c:\\temp\\srdbglog.txt"), r.root + "/temp/srdbglog.txt");
    EXPECT_EQ(host("D:/temp/x"), r.root + "/temp/x");
    // Nothing climbs above the drive root.
    EXPECT_EQ(host("\\temp\\..\\..\\..\\etc\\passwd"), r.root + "/etc/passwd");
    EXPECT_EQ(host("\\.\\temp\\.\\a"), r.root + "/temp/a");
    EXPECT_EQ(host("\\temp\\"), r.root + "/temp/");
    // Other paths only change their separators: the installation directory from
    // the registry with the configuration folder appended.
    EXPECT_EQ(host(r.root + "\\conf\\c\\trv\\trvconfig.dat"), r.root + "/conf/c/trv/trvconfig.dat");
    EXPECT_EQ(host("conf\\x"), "conf/x");
    EXPECT_EQ(host(""), "");
}

TEST(HostPath, AShortBufferGetsNothingRatherThanACutPath) {
    Root r;
    std::string want = r.root + "/temp/vtmzqerr.log";
    std::vector<char> buf(want.size(), 'x');  // one byte short
    EXPECT_EQ(zqHostPath("\\temp\\vtmzqerr.log", buf.data(), buf.size()), static_cast<int>(want.size()));
    EXPECT_EQ(buf[0], '\0');
    buf.resize(want.size() + 1);
    EXPECT_EQ(zqHostPath("\\temp\\vtmzqerr.log", buf.data(), buf.size()), static_cast<int>(want.size()));
    EXPECT_EQ(std::string(buf.data()), want);
    EXPECT_EQ(zqHostPath(nullptr, buf.data(), buf.size()), -1);
    EXPECT_EQ(zqHostPath("\\x", nullptr, 10), -1);
    EXPECT_EQ(zqHostPath("\\x", buf.data(), 0), -1);
}

// ------------------------------------------------------------------ registry

LONG query(HKEY k, const char* name, std::string& out, DWORD cap = 100) {
    std::vector<unsigned char> buf(cap + 1, 0xAA);
    DWORD size = cap, type = 0;
    LONG rc = RegQueryValueExA(k, name, nullptr, &type, buf.data(), &size);
    if (rc == ERROR_SUCCESS) {
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(size, std::strlen(reinterpret_cast<char*>(buf.data())) + 1);
        out = reinterpret_cast<char*>(buf.data());
    }
    return rc;
}

LONG set(HKEY k, const char* name, const std::string& v) {
    return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                          static_cast<DWORD>(v.size() + 1));
}

TEST(Registry, ReadsTheFileZqsetupWritesBlanksIncluded) {
    Root r;
    write_file(r.root + "/registry", "; written by hand\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvel\\Tarnwick]\r\n"
                                     "PathName=" + r.root + "  \r\n");
    HKEY k = nullptr;
    DWORD disp = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTarnwick, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &k, &disp),
              ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    std::string v;
    ASSERT_EQ(query(k, "pathname", v), ERROR_SUCCESS);  // names compare without case
    EXPECT_EQ(v, r.root + "  ");
    EXPECT_EQ(query(k, "Missing", v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    // The parent key exists because a key below it does.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\velmora", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST(Registry, RoundTripAndAMissingKeyIsCreatedEmpty) {
    Root r;
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTarnwick, 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    DWORD disp = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTarnwick, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp),
              ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    std::string v = "unchanged";
    EXPECT_EQ(query(k, "PathName", v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(v, "unchanged");
    EXPECT_NE(read_file(r.root + "/registry").find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvel\\Tarnwick]"),
              std::string::npos);

    ASSERT_EQ(set(k, "PathName", "C:\\zq dir\\x=1"), ERROR_SUCCESS);
    ASSERT_EQ(set(k, "Other", "o"), ERROR_SUCCESS);
    ASSERT_EQ(set(k, "PATHNAME", "/opt/zq"), ERROR_SUCCESS);  // replaces, not adds
    ASSERT_EQ(query(k, "PathName", v), ERROR_SUCCESS);
    EXPECT_EQ(v, "/opt/zq");
    ASSERT_EQ(query(k, "Other", v), ERROR_SUCCESS);
    EXPECT_EQ(v, "o");
    RegCloseKey(k);

    // The user environment is there on every system.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    ASSERT_EQ(set(k, "VTMXEIp", "10.1.2.3"), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(zqtest::run({zqtest::bin("zqreg"), "get", "HKCU\\Environment", "vtmxeip"}).out, "10.1.2.3\n");
    EXPECT_EQ(zqtest::run({zqtest::bin("zqreg"), "get", std::string("HKEY_LOCAL_MACHINE\\") + kTarnwick, "PathName"})
                  .out,
              "/opt/zq\n");
}

TEST(Registry, ShortBufferGivesMoreDataWithTheSizeNeeded) {
    Root r;
    std::string longdir(150, 'd');
    write_file(r.root + "/registry", std::string("[HKEY_LOCAL_MACHINE\\") + kTarnwick + "]\nPathName=" + longdir + "\n");
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTarnwick, 0, KEY_READ, &k), ERROR_SUCCESS);
    unsigned char buf[100];
    std::memset(buf, 'x', sizeof buf);
    DWORD size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(k, "PathName", nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 151u);
    EXPECT_EQ(buf[0], 0);  // no unterminated text left behind
    size = 0;
    EXPECT_EQ(RegQueryValueExA(k, "PathName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 151u);
    std::string v;
    EXPECT_EQ(query(k, "PathName", v, 151), ERROR_SUCCESS);
    EXPECT_EQ(v, longdir);
    EXPECT_EQ(query(k, "PathName", v, 150), ERROR_MORE_DATA);
    RegCloseKey(k);
}

TEST(Registry, RefusesWhatTheFileCannotHoldAndHandlesThatAreNotOpen) {
    Root r;
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(set(k, "V", "two\nlines"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(set(k, "a=b", "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(set(k, "[x]", "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(k, "V", 0, 3 /* REG_BINARY */, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_INVALID_PARAMETER);
    HKEY bad = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "a]b", 0, nullptr, 0, 0, nullptr, &bad, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "a\\\\b", 0, 0, &bad), ERROR_BAD_PATHNAME);
    // A value that was refused left the file as it was.
    std::string before = read_file(r.root + "/registry");
    EXPECT_EQ(before.find("lines"), std::string::npos);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
    std::string v;
    EXPECT_EQ(query(k, "V", v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set(k, "V", "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(query(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdead)), "V", v), ERROR_INVALID_HANDLE);
}

TEST(Registry, ConcurrentWritersLoseNothingAndCommentsStay) {
    Root r;
    write_file(r.root + "/registry", "# keep me\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\nA=1\n");
    const int kWriters = 4, kValues = 25;
    std::vector<pid_t> kids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY k = nullptr;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\K\\W" + std::to_string(w)).c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &k, nullptr) != ERROR_SUCCESS)
                _exit(1);
            for (int i = 0; i < kValues; ++i)
                if (set(k, ("v" + std::to_string(i)).c_str(), std::to_string(w * 100 + i)) != ERROR_SUCCESS) _exit(2);
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t p : kids) {
        int st = 0;
        waitpid(p, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    for (int w = 0; w < kWriters; ++w) {
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\K\\W" + std::to_string(w)).c_str(), 0, KEY_READ, &k),
                  ERROR_SUCCESS);
        for (int i = 0; i < kValues; ++i) {
            std::string v;
            ASSERT_EQ(query(k, ("v" + std::to_string(i)).c_str(), v), ERROR_SUCCESS) << w << " " << i;
            EXPECT_EQ(v, std::to_string(w * 100 + i));
        }
        RegCloseKey(k);
    }
    std::string text = read_file(r.root + "/registry");
    EXPECT_EQ(text.rfind("# keep me\n", 0), 0u);
    EXPECT_NE(text.find("A=1\n"), std::string::npos);
}

TEST(Zqreg, GetAndSetFromTheShell) {
    Root r;
    zqtest::Env env{{"ZQ_ROOT", r.root}};
    std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kTarnwick;
    auto res = zqtest::run({zqtest::bin("zqreg"), "get", key, "PathName"}, env);
    EXPECT_EQ(res.status, 1);
    res = zqtest::run({zqtest::bin("zqreg"), "set", key, "PathName", "/srv/zq; $(rm -rf /)"}, env);
    EXPECT_EQ(res.status, 0) << res.err;
    res = zqtest::run({zqtest::bin("zqreg"), "get", key, "PathName"}, env);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, "/srv/zq; $(rm -rf /)\n");
    EXPECT_EQ(zqtest::run({zqtest::bin("zqreg"), "get", "HKEY_NOWHERE\\x", "y"}, env).status, 2);
    EXPECT_EQ(zqtest::run({zqtest::bin("zqreg"), "set", key, "V", "a\nb"}, env).status, 2);
    EXPECT_EQ(zqtest::run({zqtest::bin("zqreg"), "get", key}, env).status, 2);
}

// ------------------------------------------------------------------ shell

TEST(CommandLine, SplitsByTheWindowsRules) {
    using V = std::vector<std::string>;
    auto s = [](const char* t) { return zq::win::split_command_line(t); };
    EXPECT_EQ(s(R"("abc" d e)"), (V{"abc", "d", "e"}));
    EXPECT_EQ(s(R"(a\\b d"e f"g h)"), (V{R"(a\\b)", "de fg", "h"}));
    EXPECT_EQ(s(R"(a\\\"b c d)"), (V{R"(a\"b)", "c", "d"}));
    EXPECT_EQ(s(R"(a\\\\"b c" d e)"), (V{R"(a\\b c)", "d", "e"}));
    EXPECT_EQ(s(R"(a"b"" c d)"), (V{R"(ab")", "c", "d"}));  // "" in quotes: a quote, and the group ends
    EXPECT_EQ(s("  \t x  \"\"  y "), (V{"x", "", "y"}));
    EXPECT_EQ(s(R"("unterminated group)"), (V{"unterminated group"}));
    EXPECT_EQ(s(""), V{});
}

struct Shell : ::testing::Test {
    Root r;
    std::string bindir, dump, old_path;
    void SetUp() override {
        bindir = r.dir.path + "/bin";
        dump = r.dir.path + "/dump";
        mkdir(bindir.c_str(), 0755);
        ASSERT_EQ(symlink(ARGDUMP, (bindir + "/recorder").c_str()), 0);
        old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
        setenv("PATH", (bindir + ":" + old_path).c_str(), 1);
        setenv("ARGDUMP", dump.c_str(), 1);
        unsetenv("BROWSER");
    }
    void TearDown() override {
        setenv("PATH", old_path.c_str(), 1);
        unsetenv("ARGDUMP");
    }
    // cwd, session id, then the arguments.
    std::vector<std::string> recorded() {
        std::vector<std::string> v;
        if (!zqtest::wait_until([&] { return access(dump.c_str(), F_OK) == 0; }, 10000)) return v;
        std::string all = read_file(dump);
        size_t i = 0;
        while (i < all.size()) {
            size_t j = all.find('\0', i);
            v.push_back(all.substr(i, j - i));
            i = j + 1;
        }
        return v;
    }
};

intptr_t code(HINSTANCE h) { return reinterpret_cast<intptr_t>(h); }

TEST_F(Shell, ParametersArriveAsWindowsSplitsThemAndNothingIsExpanded) {
    std::string work = r.dir.path + "/work";
    mkdir(work.c_str(), 0755);
    std::string params = R"(-a "dev 1" srv ENT.1.3.1.0.101 octetstring "VELMSVM - a; $(touch made1) `touch made2` $HOME \"q\" end" x;touch made3)";
    intptr_t rc = code(ShellExecuteA(nullptr, "open", "recorder.exe", params.c_str(), work.c_str(), SW_SHOWNORMAL));
    EXPECT_GT(rc, 32);
    auto v = recorded();
    ASSERT_EQ(v.size(), 10u) << read_file(dump);
    EXPECT_EQ(v[0], work);
    EXPECT_NE(v[1], std::to_string(getsid(0)));  // detached from the caller's session
    std::vector<std::string> args(v.begin() + 2, v.end());
    EXPECT_EQ(args, (std::vector<std::string>{"-a", "dev 1", "srv", "ENT.1.3.1.0.101", "octetstring",
                                              "VELMSVM - a; $(touch made1) `touch made2` $HOME \"q\" end",
                                              "x;touch", "made3"}))
        << read_file(dump);
    // Nothing ran: no files appeared.
    for (const char* f : {"made1", "made2", "made3"}) EXPECT_NE(access((work + "/" + f).c_str(), F_OK), 0) << f;
}

TEST_F(Shell, AUrlGoesAloneToTheBrowser) {
    setenv("BROWSER", "recorder", 1);
    intptr_t rc = code(ShellExecuteA(nullptr, "open", "http://10.0.0.5/a b?x=\"1\"&y=$(id)", "ignored params",
                                     nullptr, SW_SHOWNORMAL));
    EXPECT_GT(rc, 32);
    auto v = recorded();
    ASSERT_EQ(v.size(), 3u) << read_file(dump);
    EXPECT_EQ(v[2], "http://10.0.0.5/a b?x=\"1\"&y=$(id)");
    unlink(dump.c_str());
    setenv("BROWSER", "no-such-browser-here", 1);
    EXPECT_EQ(code(ShellExecuteA(nullptr, "open", "http://x/", nullptr, nullptr, 1)), SE_ERR_FNF);
    unsetenv("BROWSER");
    setenv("PATH", bindir.c_str(), 1);  // no xdg-open there
    EXPECT_EQ(code(ShellExecuteA(nullptr, "open", "https://x/", nullptr, nullptr, 1)), SE_ERR_NOASSOC);
}

TEST_F(Shell, FailuresAreSmallNumbers) {
    EXPECT_EQ(code(ShellExecuteA(nullptr, "open", "no-such-program.exe", "", nullptr, 1)), SE_ERR_FNF);
    EXPECT_EQ(code(ShellExecuteA(nullptr, "open", nullptr, "", nullptr, 1)), SE_ERR_FNF);
    EXPECT_EQ(code(ShellExecuteA(nullptr, "print", "recorder", "", nullptr, 1)), SE_ERR_NOASSOC);
    EXPECT_EQ(code(ShellExecuteA(nullptr, "open", "recorder", "", "\\no\\such\\dir", 1)), SE_ERR_PNF);
    write_file(bindir + "/plainfile", "not a program\n");
    EXPECT_EQ(code(ShellExecuteA(nullptr, "open", "plainfile", "", nullptr, 1)), SE_ERR_ACCESSDENIED);
    // A Windows-form path to the program goes through the host-path mapping.
    std::string inroot = r.root + "/prog";
    mkdir(inroot.c_str(), 0755);
    ASSERT_EQ(symlink(ARGDUMP, (inroot + "/rec").c_str()), 0);
    EXPECT_GT(code(ShellExecuteA(nullptr, nullptr, "c:\\prog\\rec.exe", "one", nullptr, 1)), 32);
    auto v = recorded();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[2], "one");
}

// ------------------------------------------------------------------ files

TEST(LogFile, AppendsButNeverFollowsALinkOrOpensAFifo) {
    Root r;
    std::string target = r.dir.path + "/precious", log = r.dir.path + "/vtmzqerr.log";
    write_file(target, "keep\n");
    ASSERT_EQ(symlink(target.c_str(), log.c_str()), 0);
    errno = 0;
    EXPECT_EQ(zqOpenLogFile(log.c_str(), "a+"), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(read_file(target), "keep\n");

    unlink(log.c_str());
    for (const char* line : {"one\n", "two\n"}) {
        FILE* f = zqOpenLogFile(log.c_str(), "a");
        ASSERT_NE(f, nullptr);
        std::fputs(line, f);
        std::fclose(f);
    }
    EXPECT_EQ(read_file(log), "one\ntwo\n");
    FILE* f = zqOpenLogFile(log.c_str(), "a+");
    ASSERT_NE(f, nullptr);
    EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
    std::fclose(f);

    std::string fifo = r.dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(zqOpenLogFile(fifo.c_str(), "a"), nullptr);   // no reader: refused at once
    EXPECT_EQ(zqOpenLogFile(log.c_str(), "r"), nullptr);
    EXPECT_EQ(zqOpenLogFile(log.c_str(), "w"), nullptr);
}

TEST(Files, DeleteFileAndSleep) {
    Root r;
    std::string f = r.dir.path + "/old";
    write_file(f, "x");
    EXPECT_EQ(DeleteFileA(f.c_str()), TRUE);
    EXPECT_NE(access(f.c_str(), F_OK), 0);
    EXPECT_EQ(DeleteFileA(f.c_str()), FALSE);
    EXPECT_EQ(DeleteFileA(nullptr), FALSE);
    Sleep(1);
}

}  // namespace
