// trvconfchk: checks the syntax of trvconfig.dat, the discovery daemon's
// configuration, with trvdis's own parser, and prints one verdict.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "TrvConf.h"
#include "trvlib.h"

namespace {

const char kUsage[] =
    "usage: trvconfchk\n"
    "\n"
    "Checks the syntax of trvconfig.dat in the configuration directory below the\n"
    "platform's installation directory (registry value PathName, then conf/c/trv/)\n"
    "with the parser trvdis uses, and prints one verdict:\n"
    "  Success : File PATH passed syntax check\n"
    "  Error : Syntax Error in file PATH      (after the parser's line message,\n"
    "                                         followed by a line on the cause)\n"
    "  Error : File PATH not found\n"
    "  Error : System Error\n"
    "Other arguments are ignored.  The exit status is always 0.\n";

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    TrvParseResult stParse = {};
    switch (iLoadTrvConfig(&stParse)) {
    case TRVCONF_OK:
        std::printf("\nSuccess : File %s passed syntax check\n", szTrvConfigPath);
        break;
    case TRVCONF_NOMEM:
        std::printf("\nError : System Error\n");
        break;
    case TRVCONF_SYNTAX:
        std::printf("\nError : Syntax Error in file %s\n", szTrvConfigPath);
        std::printf("\n%s\n", stParse.szDetail);
        break;
    case TRVCONF_NOFILE:
        std::printf("\nError : File %s not found\n", szTrvConfigPath);
        break;
    default:
        std::printf("\nUnknown Error !!\n");
        break;
    }
    vFreeTrvConfig();
    std::fflush(stdout);
    return 0;
}
