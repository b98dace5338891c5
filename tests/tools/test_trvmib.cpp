// trvmib2conf and trvtrapchk --lint against net-snmp's MIB parser: the shipped
// vendor MIB, a module of each SMI version with enumerations, a merge into
// existing files, and a definition file with every kind of finding.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "zqoid.h"

namespace {

using zqtest::bin;
using zqtest::read_file;
using zqtest::RunResult;
using zqtest::write_file;

const std::string kEnt = ZQ_ENT_TEXT;
const std::string kMib = zqtest::source("conf/mibs/VELMORA-VANTOR-MIB.txt");

// The trap definitions of a trvtrapd.conf text: "{.ENT} NUMBER" lines.
std::set<std::string> definitions(const std::string& text) {
    std::set<std::string> s;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] == '{') s.insert(line.substr(0, line.rfind(' ')));
    return s;
}

// The value maps of a trvval2str.trap text: object to its values.
std::map<std::string, std::set<int>> value_maps(const std::string& text) {
    std::map<std::string, std::set<int>> m;
    std::istringstream lines(text);
    std::string block;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("BEGIN_OID ", 0) == 0) block = line.substr(10);
        else if (line == "END_OID") block.clear();
        else if (!block.empty() && !line.empty() && line[0] != '#') m[block].insert(std::stoi(line));
    }
    return m;
}

// The shipped MIB's version one and version two modules of its own, with enums.
const char* kMixedV1 = R"(MIXED-V1-MIB DEFINITIONS ::= BEGIN
IMPORTS
    enterprises FROM RFC1155-SMI
    OBJECT-TYPE FROM RFC-1212
    TRAP-TYPE FROM RFC-1215;
mx OBJECT IDENTIFIER ::= { enterprises 64001 40 }
mxLevel OBJECT-TYPE
    SYNTAX INTEGER { low(1), high(2) }
    ACCESS read-only
    STATUS mandatory
    DESCRIPTION "The level."
    ::= { mx 1 }
mxName OBJECT-TYPE
    SYNTAX OCTET STRING
    ACCESS read-only
    STATUS mandatory
    DESCRIPTION "The name."
    ::= { mx 2 }
mxAlarm TRAP-TYPE
    ENTERPRISE mx
    VARIABLES { mxName, mxLevel }
    DESCRIPTION "The level of
                 @ the tank changed.  Look at it soon."
    ::= 4001
END
)";
const char* kMixedV2 = R"(MIXED-V2-MIB DEFINITIONS ::= BEGIN
IMPORTS
    MODULE-IDENTITY, OBJECT-TYPE, NOTIFICATION-TYPE, enterprises FROM SNMPv2-SMI;
my MODULE-IDENTITY
    LAST-UPDATED "202612080000Z"
    ORGANIZATION "none"
    CONTACT-INFO "none"
    DESCRIPTION "A module of the test."
    ::= { enterprises 64001 41 }
myState OBJECT-TYPE
    SYNTAX INTEGER { up(1), down(2), testing(3) }
    MAX-ACCESS read-only
    STATUS current
    DESCRIPTION "The state."
    ::= { my 2 }
myNotifications OBJECT IDENTIFIER ::= { my 0 }
myDown NOTIFICATION-TYPE
    OBJECTS { myState }
    STATUS current
    DESCRIPTION "The link went down"
    ::= { myNotifications 7 }
myOdd NOTIFICATION-TYPE
    STATUS current
    DESCRIPTION "Not below a zero arc."
    ::= { my 9 }
elsewhere NOTIFICATION-TYPE
    STATUS current
    DESCRIPTION "Under another enterprise."
    ::= { enterprises 9999 0 1 }
END
)";

TEST(TrvMib2Conf, ConvertsTheShippedMibAndBothSmiVersions) {
    zqtest::TempDir dir;
    // The shipped MIB covers every shipped definition and value map.
    RunResult r = zqtest::run({bin("trvmib2conf"), "--out", dir.path, kMib});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "wrote 30 definitions and 13 value maps into " + dir.path + "\n");
    std::string shipped_traps = read_file(zqtest::source("conf/trv/trvtrapd.conf"));
    std::string shipped_maps = read_file(zqtest::source("conf/trv/trvval2str.trap"));
    std::string traps = read_file(dir.path + "/trvtrapd.conf"), maps = read_file(dir.path + "/trvval2str.trap");
    std::set<std::string> want;
    for (const auto& d : definitions(shipped_traps)) want.insert(d);
    EXPECT_EQ(definitions(traps), want);
    EXPECT_EQ(value_maps(maps), value_maps(shipped_maps));
    EXPECT_NE(traps.find("{.1.3.6.1.4.1.64001.6} 6001 N\nA fan has failed. vtFanCondition=@M1 vtFanLocation=@M2\n"),
              std::string::npos)
        << traps;
    EXPECT_NE(maps.find("BEGIN_OID 1.3.6.1.4.1.64001.6.2.6.7.1.3\n1 \"other\"\n2 \"unknown\"\n3 \"system\"\n4 "
                        "\"systemBoard\"\n"),
              std::string::npos)
        << maps;

    // Version one and two modules; a notification maps as trapd maps it.
    write_file(dir.path + "/MIXED-V1-MIB.txt", kMixedV1);
    write_file(dir.path + "/MIXED-V2-MIB.txt", kMixedV2);
    r = zqtest::run({bin("trvmib2conf"), dir.path + "/MIXED-V1-MIB.txt", dir.path + "/MIXED-V2-MIB.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("START_TRAP\n{." + kEnt + ".40} 4001 N\nThe level of @@ the tank changed. mxName=@1 "
                         "mxLevel=@M2\nEND_TRAP\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("{." + kEnt + ".41} 7 N\nThe link went down myState=@M1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{." + kEnt + ".41} 9 N\nNot below a zero arc.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("9999"), std::string::npos);  // not under the vendor arc
    EXPECT_NE(r.out.find("BEGIN_OID " + kEnt + ".41.2\n1 \"up\"\n2 \"down\"\n3 \"testing\"\nEND_OID"),
              std::string::npos);
    EXPECT_NE(r.out.find("BEGIN_OID " + kEnt + ".40.1\n1 \"low\"\n2 \"high\"\nEND_OID"), std::string::npos);
    // Event entries for the readable events, the severity from a --#SEVERITY comment.
    std::string v1 = kMixedV1;
    v1.replace(v1.find("    ::= 4001"), 0, "    --#SEVERITY MAJOR\n");
    write_file(dir.path + "/SEV-MIB.txt", v1);
    write_file(dir.path + "/events.conf", "ENT.1.3.1.0.7  Old  Tarvo  Minor  \"$1\"\n");
    r = zqtest::run({bin("trvmib2conf"), "--events", dir.path + "/events.conf", dir.path + "/SEV-MIB.txt",
                     dir.path + "/MIXED-V2-MIB.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("added 2 event entries"), std::string::npos) << r.out;  // 7 has one already
    std::string events = read_file(dir.path + "/events.conf");
    EXPECT_NE(events.find(kEnt + ".1.3.1.0.4001  mxAlarm  Tarvo  Major  \"$1\"\n"), std::string::npos) << events;
    EXPECT_NE(events.find(kEnt + ".1.3.1.0.9  myOdd  Tarvo  Warning  \"$1\"\n"), std::string::npos) << events;
    // trvtrapd receives nothing outside the vendor's arc: no definitions for it.
    r = zqtest::run({bin("trvmib2conf"), "--enterprise", "1.3.6.1.4.1.9999", dir.path + "/MIXED-V2-MIB.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("lies outside the vendor's arc " + kEnt + ": trvtrapd never receives"), std::string::npos)
        << r.err;

    // Bad input: usage, a file that is no MIB, nothing under the enterprise.
    write_file(dir.path + "/junk.txt", "this is not a module\n");
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"--enterprise", "1..3", kMib}, 2},
        {{"--merge", dir.path, "--out", dir.path, kMib}, 2},
        {{dir.path + "/junk.txt"}, 3},
        {{dir.path + "/missing.txt"}, 3},
        {{"--enterprise", "1.3.6.1.4.1.1", kMib}, 2},
        {{"--enterprise", kEnt + ".99", kMib}, 1},
        {{"--merge", dir.path + "/typo", kMib}, 2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {bin("trvmib2conf")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(zqtest::run(argv).status, c.status) << (c.args.empty() ? "" : c.args.back());
    }
    // A folder that cannot be written into is named with the reason.
    r = zqtest::run({bin("trvmib2conf"), "--out", dir.path + "/typo", kMib});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot write " + dir.path + "/typo/trvtrapd.conf: No such file or directory"),
              std::string::npos)
        << r.err;
    // When the second file cannot be written, the first is not replaced either
    // and no temporary file stays behind.
    zqtest::TempDir out;
    write_file(out.path + "/trvtrapd.conf", "# the operator's\n");
    ASSERT_EQ(mkdir((out.path + "/trvval2str.trap").c_str(), 0755), 0);
    r = zqtest::run({bin("trvmib2conf"), "--out", out.path, kMib});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot write " + out.path + "/trvval2str.trap: Is a directory; nothing written"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(out.path + "/trvtrapd.conf"), "# the operator's\n");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(out.path)) ++entries;
    EXPECT_EQ(entries, 2u);
}

// Modules of other makers' shape (tests/tools/mibs): the operator's complete
// module wins over the shipped reduced one, values trvval2str.trap cannot hold
// are left out with a warning naming the object, a missing import is named with
// its line, and other makers' traps give no definitions.
TEST(TrvMib2Conf, OtherMakersModules) {
    const std::string mibs = zqtest::source("tests/tools/mibs/");
    RunResult r = zqtest::run({bin("trvmib2conf"), mibs + "TEST-VENDOR-EXT-MIB.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("{." + kEnt + ".45} 4501 N\nA link went down. ifIndex=@1 ifOperStatus=@M2\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("BEGIN_OID 1.3.6.1.2.1.2.2.1.8\n1 \"up\"\n2 \"down\"\n3 \"testing\"\nEND_OID"),
              std::string::npos)
        << r.out;
    // unused(-1) is left out, the rest of the map stays; a map of nothing but
    // negative values is no map, and its variable is shown by value.
    EXPECT_NE(r.out.find("BEGIN_OID 1.3.6.1.4.1.64090.1.2.1\n1 \"unknown\"\n2 \"batteryNormal\"\n3 "
                         "\"batteryLow\"\nEND_OID"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("The battery changed. upsBatteryStatus=@M1 upsBatteryReplace=@2\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("warning: TEST-VENDOR-EXT-MIB::upsBatteryStatus: value -1 (unused) left out of its value "
                         "map: trvval2str.trap holds no negative value"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("value map of TEST-VENDOR-EXT-MIB::upsBatteryReplace skipped"), std::string::npos) << r.err;

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;  // a piece of standard error
    } cases[] = {
        // The UPS module's traps lie under its maker's arc.
        {{mibs + "TEST-UPS-MIB.txt"}, 1, "no trap or notification under " + kEnt},
        {{"--enterprise", ".1.3.6.1.4.1.64090", mibs + "TEST-UPS-MIB.txt"}, 2, "outside the vendor's arc"},
        {{mibs + "TEST-EVENT-MIB.txt"}, 1, "no trap or notification under"},
        {{mibs + "TEST-AGENT-MIB.txt"}, 3,
         "TEST-AGENT-MIB.txt: Cannot find module (SNMP-FRAMEWORK-MIB): At line 7 in "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {bin("trvmib2conf")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        r = zqtest::run(argv);
        EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << c.args.back();
    }
}

TEST(TrvMib2Conf, MergeAddsOnlyWhatIsMissing) {
    zqtest::Instance inst;
    std::string trv = inst.root + "/conf/c/trv";
    std::string before = read_file(trv + "/trvtrapd.conf");
    // One definition and one map less than the MIB gives.
    size_t cut = before.find("START_TRAP\n{.1.3.6.1.4.1.64001.11} 11003");
    ASSERT_NE(cut, std::string::npos);
    write_file(trv + "/trvtrapd.conf", before.substr(0, cut));
    std::string maps = read_file(trv + "/trvval2str.trap");
    size_t block = maps.find("BEGIN_OID 1.3.6.1.4.1.64001.15.2.2.1.1.4");
    ASSERT_NE(block, std::string::npos);
    write_file(trv + "/trvval2str.trap", maps.substr(0, block));

    RunResult r = zqtest::run({bin("trvmib2conf"), "--merge", trv, kMib});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "added 1 definitions and 1 value maps, skipped 41\n");
    EXPECT_NE(r.err.find("skipped vtFanFailed: trvtrapd.conf defines trap 6001 already"), std::string::npos) << r.err;
    std::string merged = read_file(trv + "/trvtrapd.conf");
    EXPECT_EQ(merged.find(before.substr(0, cut)), 0u);  // what was there stays, first
    EXPECT_NE(merged.find("{.1.3.6.1.4.1.64001.11} 11003 N\nA test trap was sent. vtTestText=@1\n"),
              std::string::npos);
    // The merged files pass the checker and its lint against the MIB.
    r = zqtest::run({bin("trvtrapchk"), "--lint", "--mib", kMib}, inst.env());
    EXPECT_EQ(r.status, 0) << r.out;
    // A second merge has nothing to add.
    r = zqtest::run({bin("trvmib2conf"), "--merge", trv, kMib});
    EXPECT_EQ(r.out, "added 0 definitions and 0 value maps, skipped 43\n");
}

TEST(TrvTrapChk, LintFindsEveryKindOfFinding) {
    zqtest::Instance inst;
    std::string trv = inst.root + "/conf/c/trv";
    // The shipped files agree with the shipped MIB.
    RunResult r = zqtest::run({bin("trvtrapchk"), "--lint", "--mib", kMib}, inst.env());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "Success : File " + trv + "/trvtrapd.conf passed syntax check\n");

    write_file(trv + "/trvtrapd.conf",
               "# findings\n"
               "START_TRAP\n{.1.3.6.1.4.1.64001.6} 6001 Y\nFan @I1,1 @M2 @M1\nEND_TRAP\n"
               "START_TRAP\n{.1.3.6.1.4.1.64001.7} 6001 N\nthe same number elsewhere\nEND_TRAP\n"
               "START_TRAP\n{.1.3.6.1.4.1.64001.6} 6010 N\nerrors @1 then @3 and @I1,2 and @@4\nEND_TRAP\n"
               "START_TRAP\n{.1.3.6.1.4.1.64001.11} 11003 N\ntext @M1\nEND_TRAP\n"
               "START_TRAP\n{.1.3.6.1.4.1.64001.6} 6010 N\nthe same definition again\nEND_TRAP\n"
               "START_TRAP\n{.1.3.6.1.4.1.318} 5 N\nanother maker's\nEND_TRAP\n");
    // The fan location has no block any more.
    std::string maps = read_file(trv + "/trvval2str.trap");
    size_t from = maps.find("BEGIN_OID 1.3.6.1.4.1.64001.6.2.6.7.1.3"), to = maps.find("END_OID", from);
    write_file(trv + "/trvval2str.trap", maps.substr(0, from) + maps.substr(to + 8));
    std::string path = trv + "/trvtrapd.conf:";

    // Without --mib only the shadowing; without --lint the verdict alone, exit 0.
    r = zqtest::run({bin("trvtrapchk"), "--lint"}, inst.env());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(path + "7: trap 6001 under .1.3.6.1.4.1.64001.7 is defined at line 3 under "
                                ".1.3.6.1.4.1.64001.6 too"),
              std::string::npos)
        << r.out;
    r = zqtest::run({bin("trvtrapchk")}, inst.env());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(path), std::string::npos);

    r = zqtest::run({bin("trvtrapchk"), "--lint", "--mib", kMib}, inst.env());
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> findings;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(path, 0) == 0) findings.push_back(line.substr(path.size()));
    const std::string unused = findings.empty() ? "" : findings[1].substr(0, findings[1].find(':'));
    EXPECT_TRUE(unused == "11" || unused == "19") << r.out;  // the sort decides which of the two is found
    EXPECT_EQ(findings,
              (std::vector<std::string>{
                  "7: trap 6001 under .1.3.6.1.4.1.64001.7 is defined at line 3 under .1.3.6.1.4.1.64001.6 too: a trap "
                  "of that number under any other enterprise is shown with one of them",
                  unused + ": this definition of trap 6010 under .1.3.6.1.4.1.64001.6 is never used: trvtrapd finds "
                           "the one at line " + (unused == "11" ? "19" : "11"),
                  "23: trap 5 under .1.3.6.1.4.1.318 lies outside the vendor's arc .1.3.6.1.4.1.64001: trvtrapd never "
                  "receives it",
                  "4: @M2 maps vtFanLocation (1.3.6.1.4.1.64001.6.2.6.7.1.3), which has no block in trvval2str.trap",
                  "12: @3 names binding 3, but vtMemoryErrors has 1 variable",
                  "12: @I1,2 names binding 2, but vtMemoryErrors has 1 variable",
                  "16: @M1 maps vtTestText, which the MIB does not enumerate: use @1 for its value",
              }))
        << r.out;

    // A candidate file is checked where it lies, the installed one left alone;
    // unknown options are refused.
    write_file(inst.dir.path + "/candidate.conf", "START_TRAP\n{.1.3.6.1.4.1.64001.6} 6001 N\nFan @M1\nEND_TRAP\n");
    r = zqtest::run({bin("trvtrapchk"), inst.dir.path + "/candidate.conf", "--lint", "--mib", kMib}, inst.env());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Success : File " + inst.dir.path + "/candidate.conf passed syntax check\n");
    // A candidate with value maps beside it (the pair trvmib2conf --out writes)
    // is checked against those, not the installed ones (which lack the block).
    std::string pair = inst.dir.path + "/pair";
    ASSERT_EQ(mkdir(pair.c_str(), 0700), 0);
    write_file(pair + "/trvtrapd.conf", "START_TRAP\n{.1.3.6.1.4.1.64001.6} 6001 N\nFan @M2\nEND_TRAP\n");
    r = zqtest::run({bin("trvtrapchk"), pair + "/trvtrapd.conf", "--lint", "--mib", kMib}, inst.env());
    EXPECT_NE(r.out.find("3: @M2 maps vtFanLocation (1.3.6.1.4.1.64001.6.2.6.7.1.3), which has no block in "
                         "trvval2str.trap\n"),
              std::string::npos)
        << r.out;
    write_file(pair + "/trvval2str.trap", maps);
    r = zqtest::run({bin("trvtrapchk"), pair + "/trvtrapd.conf", "--lint", "--mib", kMib}, inst.env());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    write_file(pair + "/trvval2str.trap", read_file(trv + "/trvval2str.trap"));
    r = zqtest::run({bin("trvtrapchk"), pair + "/trvtrapd.conf", "--lint", "--mib", kMib}, inst.env());
    EXPECT_NE(r.out.find("which has no block in " + pair + "/trvval2str.trap\n"), std::string::npos) << r.out;
    r = zqtest::run({bin("trvtrapchk"), inst.dir.path + "/nothing.conf"}, inst.env());
    EXPECT_EQ(r.out, "Error : File " + inst.dir.path + "/nothing.conf not found\n");
    for (const char* bad : {"--lnit", "-x"}) {
        r = zqtest::run({bin("trvtrapchk"), bad}, inst.env());
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find(std::string("unknown option ") + bad + "\nusage: trvtrapchk"), std::string::npos) << r.err;
    }
    write_file(inst.dir.path + "/candidate.trap", "BEGIN_OID 1.2.3\n1 \"one\"\nEND_OID\n");
    r = zqtest::run({bin("trvval2strchk"), inst.dir.path + "/candidate.trap"}, inst.env());
    EXPECT_EQ(r.out, "Success : File " + inst.dir.path + "/candidate.trap passed syntax check\n");
    EXPECT_EQ(zqtest::run({bin("trvval2strchk"), "--bad"}, inst.env()).status, 2);

    // A syntax error is a finding too; bad arguments and unreadable MIBs.
    write_file(trv + "/trvtrapd.conf", "START_TRAP\n{.1.2} x N\n");
    EXPECT_EQ(zqtest::run({bin("trvtrapchk"), "--lint"}, inst.env()).status, 1);
    EXPECT_EQ(zqtest::run({bin("trvtrapchk"), "--mib", kMib}, inst.env()).status, 2);
    write_file(trv + "/trvtrapd.conf", "START_TRAP\n{.1.2} 1 N\ntext\nEND_TRAP\n");
    EXPECT_EQ(zqtest::run({bin("trvtrapchk"), "--lint", "--mib", inst.root + "/nomib"}, inst.env()).status, 3);
}

}  // namespace
