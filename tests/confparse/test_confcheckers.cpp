// The checkers trvconfchk, trvtrapchk and trvval2strchk, run as programs against
// a platform instance: their verdicts byte for byte, and the shipped files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testsupport.h"

namespace {

class Checkers : public ::testing::Test {
protected:
    static zqtest::Instance *instance;
    static void SetUpTestSuite() { instance = new zqtest::Instance(); }
    static void TearDownTestSuite() {
        delete instance;
        instance = nullptr;
    }

    static std::string conf(const std::string &name) { return instance->root + "/conf/c/trv/" + name; }
    static void write(const std::string &name, const std::string &text) { zqtest::write_file(conf(name), text); }
    static void ship(const std::string &name) { write(name, zqtest::read_file(zqtest::source("conf/trv/" + name))); }

    // Runs a checker; it always ends with status 0 and writes nothing to stderr.
    static std::string check(const std::string &program, const std::vector<std::string> &args = {}) {
        std::vector<std::string> argv = {zqtest::bin(program)};
        argv.insert(argv.end(), args.begin(), args.end());
        zqtest::RunResult r = zqtest::run(argv, instance->env());
        EXPECT_EQ(r.status, 0) << program;
        EXPECT_EQ(r.err, "") << program;
        return r.out;
    }
};
zqtest::Instance *Checkers::instance = nullptr;

TEST_F(Checkers, ZqsetupInstallsTheShippedFiles) {
    for (const char *name : {"trvconfig.dat", "trvtrapd.conf", "trvval2str.trap"})
        EXPECT_EQ(zqtest::read_file(conf(name)), zqtest::read_file(zqtest::source(std::string("conf/trv/") + name)))
            << name;
    EXPECT_EQ(zqtest::read_file(instance->root + "/fields/trv.fields"), zqtest::read_file(zqtest::source("conf/trv.fields")));
}

TEST_F(Checkers, ShippedFilesPass) {
    ship("trvconfig.dat");
    ship("trvtrapd.conf");
    ship("trvval2str.trap");
    EXPECT_EQ(check("trvconfchk"), "\nSuccess : File " + conf("trvconfig.dat") + " passed syntax check\n");
    EXPECT_EQ(check("trvtrapchk"), "Success : File " + conf("trvtrapd.conf") + " passed syntax check\n");
    EXPECT_EQ(check("trvval2strchk"), "Success : File " + conf("trvval2str.trap") + " passed syntax check\n");
    // Arguments are ignored.
    EXPECT_EQ(check("trvconfchk", {"-dl", "2", "x"}), "\nSuccess : File " + conf("trvconfig.dat") + " passed syntax check\n");
}

TEST_F(Checkers, TrvconfchkVerdicts) {
    const std::string path = conf("trvconfig.dat");
    write("trvconfig.dat", "# a\n\nDiscoveryInterval: 5\n[x]\nPollInterval: 1\nServer:a:1.2 INTEGER \"1\"\n");
    EXPECT_EQ(check("trvconfchk"), "\nERROR: Syntax Error At Line No 5\n"
                                   "\nError : Syntax Error in file " + path + "\n"
                                   "\nLine 5: not a rule, DiscoveryInterval or Re-DiscoveryIntervalIteration\n");

    write("trvconfig.dat", "Server:nt:1.3.6.1.2.1.1.2.0 OID \".1.3.x\"\r\n");
    EXPECT_EQ(check("trvconfchk"), "\nERROR: Syntax Error At Line No 1\n"
                                   "\nError : Syntax Error in file " + path + "\n"
                                   "\nLine 1: an OID value may hold only digits and dots\n");

    write("trvconfig.dat", "");
    EXPECT_EQ(check("trvconfchk"), "\nSuccess : File " + path + " passed syntax check\n");

    unlink(path.c_str());
    EXPECT_EQ(check("trvconfchk"), "\nError : File " + path + " not found\n");
}

TEST_F(Checkers, TrvtrapchkVerdicts) {
    const std::string path = conf("trvtrapd.conf");
    const std::string def = "START_TRAP\n{.1.3.6.1.4.1.64001.6} 6001 Y\nFan @I1,1 failed.\nEND_TRAP\n";
    write("trvtrapd.conf", def + "\n" + def);
    EXPECT_EQ(check("trvtrapchk"), "\nERROR: Syntax Error At Line No 5\n"
                                   "Error : Syntax Error in file " + path + "\n"
                                   "Line 5: START_TRAP expected\n");

    write("trvtrapd.conf", "# nothing defined yet\n");
    EXPECT_EQ(check("trvtrapchk"), "Error : Syntax Error in file " + path + "\nThe file holds no trap definition\n");
    write("trvtrapd.conf", "");
    EXPECT_EQ(check("trvtrapchk"), "Error : Syntax Error in file " + path + "\nThe file holds no trap definition\n");

    write("trvtrapd.conf", def + def);
    EXPECT_EQ(check("trvtrapchk"), "Success : File " + path + " passed syntax check\n");

    unlink(path.c_str());
    EXPECT_EQ(check("trvtrapchk"), "Error : File " + path + " not found\n");
}

TEST_F(Checkers, Trvval2strchkVerdicts) {
    const std::string path = conf("trvval2str.trap");
    write("trvval2str.trap", "BEGIN_OID 1.2\n1 \"a\"\nEND_OID\n\nBEGIN_OID 1.3\n1 a\nEND_OID\n");
    EXPECT_EQ(check("trvval2strchk"), "\nERROR: Syntax Error At Line No 6\nError : Syntax Error in file " + path + "\n");

    write("trvval2str.trap", "# nothing mapped yet\n\n");
    EXPECT_EQ(check("trvval2strchk"), "Error : Syntax Error in file " + path + "\n");

    write("trvval2str.trap", "BEGIN_OID 1.2\nEND_OID\n");
    EXPECT_EQ(check("trvval2strchk"), "Success : File " + path + " passed syntax check\n");

    unlink(path.c_str());
    EXPECT_EQ(check("trvval2strchk"), "Error : File " + path + " not found\n");
}

TEST_F(Checkers, VerdictsNameThePathThatWasTried) {
    const std::string registry = zqtest::read_file(instance->root + "/registry");
    const std::string elsewhere = instance->root + "/elsewhere";
    zqtest::write_file(instance->root + "/registry",
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvel\\Tarnwick]\nPathName=" + elsewhere + "  \n");
    const std::string dir = elsewhere + "/conf/c/trv/";
    EXPECT_EQ(check("trvconfchk"), "\nError : File " + dir + "trvconfig.dat not found\n");
    EXPECT_EQ(check("trvtrapchk"), "Error : File " + dir + "trvtrapd.conf not found\n");
    EXPECT_EQ(check("trvval2strchk"), "Error : File " + dir + "trvval2str.trap not found\n");
    zqtest::write_file(instance->root + "/registry", registry);
}

TEST_F(Checkers, HelpDescribesTheVerdicts) {
    for (const char *program : {"trvconfchk", "trvtrapchk", "trvval2strchk"}) {
        std::string out = check(program, {"--help"});
        EXPECT_EQ(out.rfind(std::string("usage: ") + program, 0), 0u) << out;
        EXPECT_NE(out.find("passed syntax check"), std::string::npos);
    }
}

}  // namespace
