// velmsvmtwk: its report and parameter text for the notifications the server
// hands over, and the event that really reaches trapd through snmpnotify.
#include <arpa/inet.h>
#include <sys/select.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "eventread.h"
#include "testsupport.h"
#include "zqsnmp.h"

namespace {

using zqtest::Env;
using zqtest::RunResult;

const char* const kNoticeVars[] = {"NOTICELABEL",    "NOTICESTATE",       "NOTICEPLAINTEXT", "NOTICERAWDATA",
                                   "NOTICESEVERITYSTR", "NOTICESEVERITY", "DEVICENAME",      "DEVICEIPADDRESS0",
                                   "SPECIFICTRAPID", "MX_TASKID",         "TWK_SERVER"};

const std::string kUsage =
    "The environment variable TWK_SERVER must be set,\n"
    "or the values must be specified on the command line.\n"
    "For example: velmsvmtwk.exe TWKServerName\n"
    "\nAdditionally, the Systems Vantor Manager environment variables\n"
    "must be set in order for this program to execute.\n";

const std::string kEnt = ZQ_ENT_TEXT;

// The line of the report that starts with label, without the label and the line break.
std::string line(const std::string& out, const std::string& label) {
    size_t p = out.find(label);
    if (p == std::string::npos) return "<missing " + label + ">";
    p += label.size();
    return out.substr(p, out.find('\n', p) - p);
}
std::string parameters(const RunResult& r) { return line(r.out, "Parameters: "); }

// Runs the tool with no snmpnotify to be found: only the report is looked at.
class Velmsvmtwk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* v : kNoticeVars) unsetenv(v);
    }
    RunResult run(const Env& vars, const std::vector<std::string>& args = {"srv"}) {
        std::vector<std::string> argv{zqtest::bin("velmsvmtwk")};
        argv.insert(argv.end(), args.begin(), args.end());
        Env env = vars;
        env.push_back({"PATH", empty_.path});
        return zqtest::run(argv, env);
    }
    zqtest::TempDir empty_;
};

TEST_F(Velmsvmtwk, UsageWhenServerOrPlainTextIsMissing) {
    RunResult none = run({}, {});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, kUsage);

    RunResult no_text = run({{"TWK_SERVER", "srv"}}, {});
    EXPECT_EQ(no_text.status, 0);
    EXPECT_EQ(no_text.out, kUsage);

    RunResult no_server = run({{"NOTICEPLAINTEXT", "a|b"}}, {});
    EXPECT_EQ(no_server.status, 0);
    EXPECT_EQ(no_server.out, kUsage);

    RunResult empty_text = run({{"NOTICEPLAINTEXT", ""}}, {"srv"});
    EXPECT_EQ(empty_text.status, 0);
    EXPECT_EQ(empty_text.out, kUsage);

    RunResult help = run({{"NOTICEPLAINTEXT", "a|b"}, {"TWK_SERVER", "srv"}}, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, kUsage);
}

TEST_F(Velmsvmtwk, FullReportAndParameterText) {
    RunResult r = run({{"NOTICELABEL", "Disk"},
                       {"NOTICESTATE", "New"},
                       {"NOTICEPLAINTEXT", "a|b|c|d|e|f|g|h|x|y"},
                       {"NOTICERAWDATA", "raw"},
                       {"NOTICESEVERITYSTR", "Critical"},
                       {"NOTICESEVERITY", "5"},
                       {"DEVICENAME", "node7"},
                       {"DEVICEIPADDRESS0", "10.0.0.7"},
                       {"SPECIFICTRAPID", "42"},
                       {"MX_TASKID", "9"}});
    EXPECT_EQ(r.status, 1);
    std::string params = "-a node7 srv " + kEnt + ".1.3.1.0.101 " + kEnt +
                         ".1.3.1.100.1 octetstring \"VELMSVM - Disk x, y\"";
    EXPECT_EQ(r.out,
              "Notice Label          : Disk\n"
              "Notice State          : New\n"
              "Notice Plain Text     : a|b|c|d|e|f|g|h|x|y\n"
              "Notice Raw Data       : raw\n"
              "Notice Severity String: Critical\n"
              "Notice Severity       : 5\n"
              "Device Name           : node7\n"
              "Device IP Address     : 10.0.0.7\n"
              "Specific Trap ID      : 42\n"
              "MX Task ID            : 9\n"
              "Variable 1            : |x|y\n"
              "Variable 2            : x, y\n"
              "Final Variable String : x, y\n"
              "Command: snmpnotify.exe\n\n"
              "Parameters: " + params + "\n\n"
              "Command execution called...\n\n\n");
}

TEST_F(Velmsvmtwk, PlainTextIsCondensedFromTheEighthBar) {
    // A trailing bar leaves ", " at the end of Variable 2; the final string drops it.
    RunResult trailing = run({{"NOTICEPLAINTEXT", "a|b|c|d|e|f|g|h|x|y|"}, {"DEVICENAME", "n"}});
    EXPECT_EQ(line(trailing.out, "Variable 1            : "), "|x|y|");
    EXPECT_EQ(line(trailing.out, "Variable 2            : "), "x, y, ");
    EXPECT_EQ(line(trailing.out, "Final Variable String : "), "x, y");

    // Seven bars or fewer: three empty texts, the event text is the label and a blank.
    for (const char* text : {"a|b|c|d|e|f|g|h", "no bars at all"}) {
        RunResult few = run({{"NOTICEPLAINTEXT", text}, {"NOTICELABEL", "L"}, {"DEVICENAME", "n"}});
        EXPECT_EQ(few.status, 1);
        EXPECT_EQ(line(few.out, "Variable 1            : "), "");
        EXPECT_EQ(line(few.out, "Variable 2            : "), "");
        EXPECT_EQ(line(few.out, "Final Variable String : "), "");
        EXPECT_NE(parameters(few).find("octetstring \"VELMSVM - L \""), std::string::npos) << few.out;
    }

    // Exactly eight bars: Variable 1 is the bar alone, Variable 2 empty.
    RunResult eight = run({{"NOTICEPLAINTEXT", "a|b|c|d|e|f|g||"}, {"DEVICENAME", "n"}});
    EXPECT_EQ(line(eight.out, "Variable 1            : "), "|");
    EXPECT_EQ(line(eight.out, "Variable 2            : "), "");
}

TEST_F(Velmsvmtwk, DoubleQuotesNeverUnbalanceTheQuotedParameter) {
    RunResult r = run({{"NOTICEPLAINTEXT", "a|b|c|d|e|f|g|h|say \"hi\"|x"},
                       {"NOTICELABEL", "La\"bel"},
                       {"DEVICENAME", "no\"de"}});
    EXPECT_EQ(line(r.out, "Notice Label          : "), "La\"bel");
    EXPECT_EQ(line(r.out, "Variable 1            : "), "|say \"hi\"|x");
    EXPECT_EQ(line(r.out, "Variable 2            : "), "say hi, x");
    EXPECT_EQ(parameters(r), "-a node srv " + kEnt + ".1.3.1.0.105 " + kEnt +
                                 ".1.3.1.100.1 octetstring \"VELMSVM - Label say hi, x\"");
}

TEST_F(Velmsvmtwk, SeverityChoosesTheEventOid) {
    const std::pair<const char*, const char*> cases[] = {{"Critical", "101"}, {"Major", "102"},  {"Minor", "103"},
                                                         {"Normal", "104"},   {"Informational", "105"},
                                                         {"critical", "105"}, {"", "105"}};
    for (auto [severity, specific] : cases) {
        RunResult r = run({{"NOTICEPLAINTEXT", "t"}, {"NOTICESEVERITYSTR", severity}, {"DEVICENAME", "n"}});
        std::string want = "-a n srv " + kEnt + ".1.3.1.0." + specific + " ";
        EXPECT_EQ(parameters(r).substr(0, want.size()), want) << severity;
    }
}

TEST_F(Velmsvmtwk, TwkServerWinsOverTheArgument) {
    RunResult env_wins = run({{"NOTICEPLAINTEXT", "t"}, {"TWK_SERVER", "envsrv"}, {"DEVICENAME", "n"}}, {"argsrv"});
    EXPECT_EQ(parameters(env_wins).substr(0, 12), "-a n envsrv ");
    // Only the first argument counts; an empty TWK_SERVER counts as unset.
    RunResult arg = run({{"NOTICEPLAINTEXT", "t"}, {"TWK_SERVER", ""}, {"DEVICENAME", "n"}}, {"argsrv", "other"});
    EXPECT_EQ(parameters(arg).substr(0, 12), "-a n argsrv ");
}

TEST_F(Velmsvmtwk, EmptyDeviceNameKeepsTheServerInItsPlace) {
    RunResult r = run({{"NOTICEPLAINTEXT", "t"}});
    EXPECT_EQ(parameters(r).substr(0, 10), "-a \"\" srv ");
}

TEST_F(Velmsvmtwk, BlanksInHostNamesStayInsideTheirArgument) {
    // Unquoted, the blank would make "-c" an option of the sender and shift the server.
    RunResult r = run({{"NOTICEPLAINTEXT", "t"}, {"DEVICENAME", "dev7 -c secret"}}, {"my srv\\"});
    const std::string want = "-a \"dev7 -c secret\" \"my srv\\\\\" " + kEnt + ".1.3.1.0.105 ";
    EXPECT_EQ(parameters(r).substr(0, want.size()), want);
    RunResult tab = run({{"NOTICEPLAINTEXT", "t"}, {"DEVICENAME", "a\tb"}});
    EXPECT_EQ(parameters(tab).substr(0, 13), "-a \"a\tb\" srv ");
}

TEST_F(Velmsvmtwk, NamesThatWouldBeOptionsOfTheSenderAreRefused) {
    struct Case {
        std::string device, server, refused;
    } cases[] = {{"-c", "srv", "device name \"-c\""},
                 {"dev", "-c", "server name \"-c\""},
                 {"dev", "\"-h\"", "server name \"\"-h\"\""},
                 {"-a x", "srv", "device name \"-a x\""}};
    for (const Case& c : cases) {
        RunResult r = run({{"NOTICEPLAINTEXT", "t"}, {"DEVICENAME", c.device}}, {c.server});
        EXPECT_EQ(r.status, 2) << c.refused;
        EXPECT_NE(r.err.find(c.refused), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Parameters: "), std::string::npos) << r.out;
    }
    // A dash inside a name is fine.
    EXPECT_EQ(run({{"NOTICEPLAINTEXT", "t"}, {"DEVICENAME", "dev-7"}}, {"my-srv"}).status, 1);
}

TEST_F(Velmsvmtwk, LongTextsAreCutAndTheQuoteStaysClosed) {
    std::string tail(5000, 'x');
    std::string label(3000, 'L');
    std::string host(400, 'h');
    RunResult r = run({{"NOTICEPLAINTEXT", "a|b|c|d|e|f|g|h|" + tail}, {"NOTICELABEL", label}, {"DEVICENAME", host}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(line(r.out, "Variable 1            : "), "|" + std::string(510, 'x'));
    EXPECT_EQ(line(r.out, "Variable 2            : "), std::string(510, 'x'));
    std::string p = parameters(r);
    EXPECT_EQ(p.size(), 2047u);
    EXPECT_EQ(p.back(), '"');
    EXPECT_EQ(p.substr(0, 3 + 255 + 1), "-a " + std::string(255, 'h') + " ");
    // The report still prints the variables whole.
    EXPECT_EQ(line(r.out, "Notice Label          : "), label);
}

TEST_F(Velmsvmtwk, TrailingBackslashesAreDoubledBeforeTheClosingQuote) {
    RunResult r = run({{"NOTICEPLAINTEXT", "a|b|c|d|e|f|g|h|C:\\dir\\"}, {"DEVICENAME", "n"}});
    std::string p = parameters(r);
    EXPECT_TRUE(p.ends_with("\"VELMSVM -  C:\\dir\\\\\"")) << p;
}

// One trapd for the events; snmpnotify is found on PATH as the platform finds it.
class VelmsvmtwkEvent : public ::testing::Test {
protected:
    struct Seen {
        std::vector<ZqOid> enterprise;
        int generic = 0, specific = 0;
        std::string agent;
        std::vector<std::pair<std::vector<ZqOid>, std::string>> bindings;
    };

    static void collect(int reason, ZqSession*, ZqPdu* pdu, void* data) {
        if (reason != ZQSNMP_REASON_TRAP || pdu == nullptr) return;
        Seen s;
        s.enterprise.assign(pdu->enterprise, pdu->enterprise + pdu->enterprise_length);
        s.generic = pdu->trap_type;
        s.specific = pdu->specific_type;
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, pdu->agent_addr, addr, sizeof addr);
        s.agent = addr;
        for (const ZqVarBind* vb = pdu->variables; vb; vb = vb->next_variable) {
            std::string value;
            if (vb->type == ZQ_ASN_OCTET_STR && vb->val.string)
                value.assign(reinterpret_cast<const char*>(vb->val.string), vb->val_len);
            s.bindings.push_back({{vb->name, vb->name + vb->name_length}, value});
        }
        static_cast<std::vector<Seen>*>(data)->push_back(s);
        ZqsnmpFreePdu(pdu);
    }

    static void SetUpTestSuite() {
        for (const char* v : kNoticeVars) unsetenv(v);
        inst_ = std::make_unique<zqtest::Instance>();
        inst_->activate();
        zqtest::write_file(inst_->root + "/conf/hosts", "127.0.3.7 dev7\n");
        trapd_ = std::make_unique<zqtest::Process>(
            std::vector<std::string>{zqtest::bin("trapd"), "--root", inst_->root, "--foreground"}, inst_->env());
        std::string filter = "." + kEnt + ".*";
        zqtest::wait_until(
            [&] { return (rx_ = ZqsnmpEventOpen("127.0.0.1", "velmtest", collect, &seen_, filter.c_str())) != nullptr; },
            10000);
    }
    static void TearDownTestSuite() {
        ZqsnmpClose(rx_);
        rx_ = nullptr;
        trapd_.reset();
        inst_.reset();
    }
    void SetUp() override {
        ASSERT_NE(rx_, nullptr) << trapd_->err();
        seen_.clear();
    }

    static RunResult send(const Env& vars) {
        std::string bin_dir = zqtest::bin("snmpnotify");
        bin_dir.resize(bin_dir.rfind('/'));
        Env env = inst_->env();
        env.push_back({"PATH", bin_dir});
        env.push_back({"TWK_SERVER", "127.0.0.1"});
        env.insert(env.end(), vars.begin(), vars.end());
        return zqtest::run({zqtest::bin("velmsvmtwk")}, env);
    }
    static bool receive(size_t n) {
        return zqtest::read_events_until(rx_, [&] { return seen_.size() >= n; }, 10000);
    }
    static std::vector<ZqOid> ent(std::initializer_list<ZqOid> rest) {
        std::vector<ZqOid> o{ZQ_ENT_SUBIDS};
        o.insert(o.end(), rest);
        return o;
    }

    static std::unique_ptr<zqtest::Instance> inst_;
    static std::unique_ptr<zqtest::Process> trapd_;
    static ZqSession* rx_;
    static std::vector<Seen> seen_;
};
std::unique_ptr<zqtest::Instance> VelmsvmtwkEvent::inst_;
std::unique_ptr<zqtest::Process> VelmsvmtwkEvent::trapd_;
ZqSession* VelmsvmtwkEvent::rx_ = nullptr;
std::vector<VelmsvmtwkEvent::Seen> VelmsvmtwkEvent::seen_;

TEST_F(VelmsvmtwkEvent, NotificationBecomesAnEventAboutTheDevice) {
    RunResult r = send({{"NOTICEPLAINTEXT", "a|b|c|d|e|f|g|h|disk \"0\" failed|slot 3|"},
                        {"NOTICELABEL", "Storage \"A\""},
                        {"NOTICESEVERITYSTR", "Critical"},
                        {"DEVICENAME", "dev7"}});
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(receive(1)) << r.out;
    const Seen& e = seen_[0];
    EXPECT_EQ(e.enterprise, ent({1, 3, 1}));
    EXPECT_EQ(e.generic, 6);
    EXPECT_EQ(e.specific, 101);
    EXPECT_EQ(e.agent, "127.0.3.7");
    ASSERT_EQ(e.bindings.size(), 1u);
    EXPECT_EQ(e.bindings[0].first, ent({1, 3, 1, 100, 1}));
    EXPECT_EQ(e.bindings[0].second, "VELMSVM - Storage A disk 0 failed, slot 3");
}

TEST_F(VelmsvmtwkEvent, EverySeverityReachesTrapdWithItsSpecificNumber) {
    const char* severities[] = {"Major", "Minor", "Normal", "Informational"};
    for (const char* s : severities) {
        RunResult r = send({{"NOTICEPLAINTEXT", "t"}, {"NOTICELABEL", s}, {"NOTICESEVERITYSTR", s}, {"DEVICENAME", "dev7"}});
        EXPECT_EQ(r.status, 1);
        ASSERT_TRUE(receive(seen_.size() + 1)) << s;
    }
    std::vector<std::pair<std::string, int>> got;
    for (const Seen& e : seen_) got.push_back({e.bindings.at(0).second, e.specific});
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{{"VELMSVM - Informational ", 105},
                                                            {"VELMSVM - Major ", 102},
                                                            {"VELMSVM - Minor ", 103},
                                                            {"VELMSVM - Normal ", 104}}));
}

TEST_F(VelmsvmtwkEvent, BackslashesAndAnEmptyDeviceArriveAsWritten) {
    RunResult r = send({{"NOTICEPLAINTEXT", "a|b|c|d|e|f|g|h|path C:\\logs\\"}, {"NOTICELABEL", "x\\"}});
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(receive(1)) << r.out;
    EXPECT_EQ(seen_[0].agent, "127.0.0.1");  // snmpnotify's own default for an empty agent
    ASSERT_EQ(seen_[0].bindings.size(), 1u);
    EXPECT_EQ(seen_[0].bindings[0].second, "VELMSVM - x\\ path C:\\logs\\");
}

}  // namespace
