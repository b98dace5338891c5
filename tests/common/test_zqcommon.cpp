#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "testsupport.h"
#include "zqcommon.h"
#include "zqconf.h"
#include "zqoid.h"

TEST(Wildcard, MatchesLikeShellStarsCaseInsensitive) {
    EXPECT_TRUE(zq::wildcard_match("*", ""));
    EXPECT_TRUE(zq::wildcard_match("srv*", "SRV12"));
    EXPECT_TRUE(zq::wildcard_match("127.0.*.1", "127.0.5.1"));
    EXPECT_TRUE(zq::wildcard_match("*a*b*", "xxaxxbxx"));
    EXPECT_FALSE(zq::wildcard_match("srv*", "desk1"));
    EXPECT_FALSE(zq::wildcard_match("a*b", "ab c"));
}

TEST(Oid, ParsesDottedTextAndArcs) {
    std::vector<uint32_t> o;
    ASSERT_TRUE(zq::parse_oid(".1.3.6.1.2.1.1.1.0", o));
    EXPECT_EQ(zq::oid_to_string(o), "1.3.6.1.2.1.1.1.0");
    ASSERT_TRUE(zq::parse_oid("ENT.1.3.1", o));
    EXPECT_EQ(o.size(), static_cast<size_t>(ZQ_ENT_LENGTH + 3));
    EXPECT_EQ(zq::oid_to_string(o), std::string(ZQ_ENT_TEXT) + ".1.3.1");
    ASSERT_TRUE(zq::parse_oid("ZENT", o));
    EXPECT_EQ(zq::oid_to_string(o), ZQ_ZENT_TEXT);
    ASSERT_TRUE(zq::parse_oid("4294967295", o));
    EXPECT_EQ(o[0], 4294967295u);
    for (const char* bad : {"", ".", "1..2", "1.2.", "1.x", "4294967296", "ENTX.1"})
        EXPECT_FALSE(zq::parse_oid(bad, o)) << bad;
    std::string longest;
    for (int i = 0; i < 129; ++i) longest += "1.";
    longest += "1";
    EXPECT_FALSE(zq::parse_oid(longest, o));
    EXPECT_EQ(zq::expand_arcs(".ENT.2"), std::string(".") + ZQ_ENT_TEXT + ".2");
}

TEST(Decimal, AppendsAfterWhatIsThereUpToTheLimits) {
    struct {
        uint64_t u;
        const char* want;
    } unsigned_cases[] = {{0, "x0"}, {7, "x7"}, {UINT64_MAX, "x18446744073709551615"}};
    for (const auto& c : unsigned_cases) {
        std::string out = "x";
        zq::append_uint(out, c.u);
        EXPECT_EQ(out, c.want);
    }
    struct {
        int64_t i;
        const char* want;
    } signed_cases[] = {{0, "x0"}, {-1, "x-1"}, {INT64_MAX, "x9223372036854775807"},
                        {INT64_MIN, "x-9223372036854775808"}};
    for (const auto& c : signed_cases) {
        std::string out = "x";
        zq::append_int(out, c.i);
        EXPECT_EQ(out, c.want);
    }
}

TEST(FieldText, BooleanWordsAndThirtyTwoBitIntegers) {
    struct {
        const char* text;
        bool ok;
        int value;
    } bools[] = {{"TRUE", true, 1}, {"yes", true, 1}, {"On", true, 1}, {"1", true, 1}, {"false", true, 0},
                 {"NO", true, 0}, {"off", true, 0}, {"0", true, 0}, {"", false, 0}, {"2", false, 0},
                 {"true ", false, 0}, {"y", false, 0}};
    for (const auto& c : bools) {
        int v = -7;
        EXPECT_EQ(zq::parse_bool_word(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : -7) << c.text;  // untouched when refused
    }
    struct {
        const char* text;
        bool ok;
        int value;
    } ints[] = {{"0", true, 0}, {"-5", true, -5}, {"+12", true, 12}, {"2147483647", true, INT32_MAX},
                {"-2147483648", true, INT32_MIN}, {"2147483648", false, 0}, {"-2147483649", false, 0},
                {"000000000001", false, 0}, {"", false, 0}, {"12x", false, 0}, {"1 ", false, 0}};
    for (const auto& c : ints) {
        int v = -7;
        EXPECT_EQ(zq::parse_int32(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : -7) << c.text;
    }
}

TEST(Instance, NoInstanceReasonNamesTheRootAndWhy) {
    zqtest::TempDir d;
    zqtest::write_file(d.path + "/file", "x");
    const char* saved = std::getenv("ZQ_ROOT");
    std::string keep = saved ? saved : "";
    struct {
        std::string root;
        const char* env;  // null: ZQ_ROOT unset
        std::string want;
    } cases[] = {
        {d.path, nullptr, ""},
        {d.path + "/none", nullptr, "no instance at " + d.path + "/none (ZQ_ROOT=(unset)): No such file or directory"},
        {d.path + "/file", "/x", "no instance at " + d.path + "/file (ZQ_ROOT=/x): not a directory"},
    };
    for (const auto& c : cases) {
        if (c.env) setenv("ZQ_ROOT", c.env, 1);
        else unsetenv("ZQ_ROOT");
        EXPECT_EQ(zq::no_instance_reason(c.root, "(unset)"), c.want);
    }
    if (saved) setenv("ZQ_ROOT", keep.c_str(), 1);
    else unsetenv("ZQ_ROOT");
}

TEST(SendPending, SendsWhatFitsAndTellsAGonePeer) {
    struct {
        size_t bytes;
        bool close_peer;
        bool alive;
        bool all_sent;
    } cases[] = {
        {100, false, true, true},        // fits at once
        {8u << 20, false, true, false},  // more than the socket takes: the rest waits
        {100, true, false, false},       // the peer is gone
    };
    for (const auto& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        if (c.close_peer) close(sv[1]);
        std::string out(c.bytes, 'x');
        size_t off = 0;
        EXPECT_EQ(zq::send_pending(sv[0], out, off), c.alive) << c.bytes;
        EXPECT_EQ(off == out.size(), c.all_sent) << c.bytes;
        if (c.alive && !c.all_sent) {
            EXPECT_GT(off, 0u);
            // Once the reader drains what is there, a second call goes on from off.
            std::string buf(1 << 16, '\0');
            size_t before = off;
            while (recv(sv[1], buf.data(), buf.size(), MSG_DONTWAIT) > 0) {}
            EXPECT_TRUE(zq::send_pending(sv[0], out, off));
            EXPECT_GT(off, before);
        }
        close(sv[0]);
        if (!c.close_peer) close(sv[1]);
    }
}

TEST(InstanceConf, ReadsPortsAndKeepsDefaultsForBadLines) {
    zqtest::TempDir d;
    zqtest::write_file(d.path + "/zq.conf",
                       "# ports\ntrap_port=1162\nevent_port 6162\nhttp_port = 99999\npoll_interval=x\n");
    zq::InstanceConf c = zq::read_instance_conf(d.path + "/zq.conf");
    EXPECT_EQ(c.trap_port, 1162);
    EXPECT_EQ(c.event_port, 6162);
    EXPECT_EQ(c.http_port, 7180);
    EXPECT_EQ(c.poll_interval, 300);
    EXPECT_EQ(c.http_listen, "127.0.0.1");
    EXPECT_EQ(c.http_password, "");
}

TEST(InstanceConf, WebServerAddressAndPassword) {
    zqtest::TempDir d;
    zqtest::write_file(d.path + "/zq.conf",
                       "http_listen = 0.0.0.0\nhttp_password=s3cret word  # not part of it\n");
    zq::InstanceConf c = zq::read_instance_conf(d.path + "/zq.conf");
    EXPECT_EQ(c.http_listen, "0.0.0.0");
    EXPECT_EQ(c.http_password, "s3cret word");
    // An empty address keeps the loopback default rather than listening everywhere.
    zqtest::write_file(d.path + "/zq.conf", "http_listen=\n");
    EXPECT_EQ(zq::read_instance_conf(d.path + "/zq.conf").http_listen, "127.0.0.1");
}

// The daemons' reader and zqcheck's strict check read a line the same way: what
// the check accepts, the daemons take with the same value.
TEST(InstanceConf, LenientAndStrictReadersAgreeOnEveryAcceptedLine) {
    struct Case {
        const char* text;
        bool accepted;
        int trap_port;
        const char* password;
    } cases[] = {
        {"trap_port=1162\n", true, 1162, ""},
        {"trap_port 1162\n", true, 1162, ""},
        {"  trap_port\t=\t1162   # comment\n", true, 1162, ""},
        {"trap_port = 1162\r\n", true, 1162, ""},
        {"# only\n\n   \n#\ttrap_port=1\ntrap_port=1162", true, 1162, ""},  // no final line end
        {"http_password==secret\n", true, 162, "=secret"},  // the second '=' is the password's
        {"http_password = =x\n", true, 162, "=x"},
        {"http_password=a b#c\n", true, 162, "a b"},
        {"trap_port==1162\n", false, 162, ""},
        {"trap_port\n", false, 162, ""},
        {"trap_port=0x10\n", false, 162, ""},
    };
    zqtest::TempDir d;
    const std::string file = d.path + "/zq.conf";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        zqtest::write_file(file, c.text);
        zq::InstanceConf strict;
        std::vector<std::string> errors;
        EXPECT_EQ(zq::load_instance_conf(file, strict, errors), c.accepted);
        zq::InstanceConf lenient = zq::read_instance_conf(file);
        EXPECT_EQ(lenient.trap_port, c.trap_port);
        EXPECT_EQ(lenient.http_password, c.password);
        if (c.accepted) {
            EXPECT_EQ(strict.trap_port, c.trap_port);
            EXPECT_EQ(strict.http_password, c.password);
        }
    }
}

TEST(ConfLines, SkipsCommentsAndBlankLinesAndCountsEveryLine) {
    struct Case {
        const char* text;
        std::vector<std::pair<int, std::string>> lines;
    } cases[] = {
        {"", {}},
        {"\n\n", {}},
        {"a", {{1, "a"}}},
        {"a\n", {{1, "a"}}},
        {"# x\n\n  b c  # d\r\n#\n\te\n", {{3, "b c"}, {5, "e"}}},
        {"x\n\n", {{1, "x"}}},
        {"\n\nlast", {{3, "last"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        zq::ConfLines reader(text);
        std::vector<std::pair<int, std::string>> got;
        for (std::string_view line; reader.next(line);) got.emplace_back(reader.lineno(), std::string(line));
        EXPECT_EQ(got, c.lines);
    }
}

// A key the matching line does not set comes from the line "*", then the defaults.
TEST(AgentConf, FirstMatchThenStarThenDefaults) {
    zqtest::TempDir d;
    setenv("ZQ_ROOT", d.path.c_str(), 1);
    std::string f = d.path + "/snmp.conf";
    zqtest::write_file(f,
                       "srv* community=private retries=1\n"
                       "127.0.9.* timeout=2.5 port=1161\n"
                       "* community=star\n"
                       "srv1 community=never\n");
    auto a = zq::agent_conf(f, "srv1");
    EXPECT_EQ(a.community, "private");
    EXPECT_EQ(a.retries, 1);
    EXPECT_EQ(a.port, 161);
    auto b = zq::agent_conf(f, "127.0.9.4");
    EXPECT_EQ(b.community, "star");  // inherited from the line "*"
    EXPECT_DOUBLE_EQ(b.timeout, 2.5);
    EXPECT_EQ(b.port, 1161);
    EXPECT_EQ(zq::agent_conf(f, "desk").community, "star");
    auto none = zq::agent_conf(d.path + "/missing", "x");
    EXPECT_EQ(none.community, "public");
    EXPECT_EQ(none.retries, 3);
    EXPECT_DOUBLE_EQ(none.timeout, 0.8);
}

TEST(Resolve, HostsFileBeforeResolverAndPortSplit) {
    zqtest::TempDir d;
    std::string hosts = d.path + "/hosts";
    zqtest::write_file(hosts, "# managed nodes\n127.0.1.1 srv1 srv1.example\n127.0.1.2\tdesk1\n");
    auto a = zq::resolve_host_in(hosts, "SRV1.example");
    ASSERT_TRUE(a);
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &*a, buf, sizeof buf);
    EXPECT_STREQ(buf, "127.0.1.1");
    EXPECT_TRUE(zq::resolve_host_in(hosts, "127.0.0.7"));
    EXPECT_FALSE(zq::resolve_host_in(hosts, "no-such-host.invalid"));
    EXPECT_FALSE(zq::resolve_host_in(hosts, ""));
    std::string h;
    int port = 0;
    zq::split_host_port("srv1:1161", h, port);
    EXPECT_EQ(h, "srv1");
    EXPECT_EQ(port, 1161);
    zq::split_host_port("srv1:x", h, port);
    EXPECT_EQ(h, "srv1:x");
    EXPECT_EQ(port, -1);
}

// The parsed files are kept between sessions once they have not changed for a
// while; any later change (same size and time, a new file renamed over, a
// removal) is seen by the next look-up.
TEST(Resolve, KeptParseFollowsEveryChangeOfTheFile) {
    zqtest::TempDir d;
    std::string hosts = d.path + "/hosts", conf = d.path + "/snmp.conf";
    auto address = [&](const char* name) {
        auto a = zq::resolve_host_in(hosts, name);
        char buf[INET_ADDRSTRLEN] = "none";
        if (a) inet_ntop(AF_INET, &*a, buf, sizeof buf);
        return std::string(buf);
    };
    const timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    zqtest::write_file(hosts, "127.0.1.1 srv1\n");
    zqtest::write_file(conf, "srv1 community=aaaa\n");
    sleep(2);  // settled: from now on the parse is kept
    struct Step {
        const char* hosts;
        const char* conf;
        bool rename;       // written beside and renamed over the old file
        bool same_mtime;   // its time set back to the old one
        const char* address_of_srv1;
        const char* community_of_srv1;
    } steps[] = {
        {nullptr, nullptr, false, false, "127.0.1.1", "aaaa"},
        {nullptr, nullptr, false, false, "127.0.1.1", "aaaa"},
        {"127.0.1.2 srv1\n", "srv1 community=bbbb\n", false, true, "127.0.1.2", "bbbb"},
        {"127.0.1.3 srv1\n", "srv1 community=cccc\n", true, true, "127.0.1.3", "cccc"},
        {"127.0.1.4 srv1\n", "srv1 community=dddd\n", false, false, "127.0.1.4", "dddd"},
        {"", "", false, false, "none", "public"},
    };
    for (const Step& s : steps) {
        for (auto [file, text] : {std::pair{hosts, s.hosts}, std::pair{conf, s.conf}}) {
            if (text == nullptr) continue;
            std::string target = s.rename ? file + ".new" : file;
            zqtest::write_file(target, text);
            if (s.same_mtime) {
                ASSERT_EQ(utimensat(AT_FDCWD, target.c_str(), old, 0), 0);
            }
            if (s.rename) {
                ASSERT_EQ(rename(target.c_str(), file.c_str()), 0);
            }
        }
        EXPECT_EQ(address("SRV1"), s.address_of_srv1) << (s.hosts ? s.hosts : "kept");
        EXPECT_EQ(zq::agent_conf(conf, "srv1").community, s.community_of_srv1) << (s.conf ? s.conf : "kept");
    }
    unlink(hosts.c_str());
    EXPECT_EQ(address("srv1"), "none");
}

TEST(PathDirs, SplitsPathKeepsOrderAndEmptyEntriesMeanHere) {
    const char* old = std::getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", "/a/b::/c:", 1);
    EXPECT_EQ(zq::path_dirs(), (std::vector<std::string>{"/a/b", ".", "/c", "."}));
    setenv("PATH", "", 1);
    EXPECT_EQ(zq::path_dirs(), (std::vector<std::string>{"."}));
    unsetenv("PATH");
    EXPECT_EQ(zq::path_dirs(), (std::vector<std::string>{"/usr/local/bin", "/usr/bin", "/bin"}));
    if (old) setenv("PATH", saved.c_str(), 1);
}
