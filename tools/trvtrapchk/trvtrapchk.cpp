// trvtrapchk: checks the syntax of trvtrapd.conf, the trap formatter's trap
// definitions, with trvtrapd's own parser, and prints one verdict.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "trvlib.h"
#include "trvtrapinit.h"

namespace {

const char kUsage[] =
    "usage: trvtrapchk\n"
    "\n"
    "Checks the syntax of trvtrapd.conf in the configuration directory below the\n"
    "platform's installation directory (registry value PathName, then conf/c/trv/)\n"
    "with the parser trvtrapd uses, and prints one verdict:\n"
    "  Success : File PATH passed syntax check\n"
    "  Error : Syntax Error in file PATH      (after the parser's line message,\n"
    "                                         followed by a line on the cause)\n"
    "  Error : File PATH not found\n"
    "A file without any trap definition is a syntax error.\n"
    "Other arguments are ignored.  The exit status is always 0.\n";

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    TrapDef **ppTable = nullptr;
    int iResult = iLoadTrapDefs(&ppTable);
    if (iResult >= 1) {
        std::printf("Success : File %s passed syntax check\n", szTrapConfPath);
    } else if (iResult == 0) {
        std::printf("Error : Syntax Error in file %s\n", szTrapConfPath);
        std::printf("%s\n", szTrapErrorDetail[0] != '\0' ? szTrapErrorDetail : "The file holds no trap definition");
    } else if (iResult == TRAPCONF_NOFILE) {
        std::printf("Error : File %s not found\n", szTrapConfPath);
    } else {
        std::printf("Unknown Error !! \n");
    }
    vFreeTrapDefs();
    std::fflush(stdout);
    return 0;
}
