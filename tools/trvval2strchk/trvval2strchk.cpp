// trvval2strchk: checks the syntax of trvval2str.trap, the texts of enumerated
// values, with trvtrapd's own parser, and prints one verdict.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "trvlib.h"
#include "trvtrapinit.h"

namespace {

const char kUsage[] =
    "usage: trvval2strchk\n"
    "\n"
    "Checks the syntax of trvval2str.trap in the configuration directory below the\n"
    "platform's installation directory (registry value PathName, then conf/c/trv/)\n"
    "with the parser trvtrapd uses, and prints one verdict:\n"
    "  Success : File PATH passed syntax check\n"
    "  Error : Syntax Error in file PATH      (after the parser's line message, if any)\n"
    "  Error : File PATH not found\n"
    "  Error : System Error\n"
    "A file without any BEGIN_OID block is a syntax error.\n"
    "Other arguments are ignored.  The exit status is always 0.\n";

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    ValMapEntry **ppTable = nullptr;
    TrvParseResult stParse = {};
    int iResult = iLoadValMap(&ppTable, "trvval2str.trap", &stParse);
    if (iResult == TRAPCONF_NOFILE)
        std::printf("Error : File %s not found\n", szValToStrPath);
    else if (stParse.iStatus == TRAPCONF_SYNTAX)
        std::printf("Error : Syntax Error in file %s\n", szValToStrPath);
    else if (stParse.iStatus == TRAPCONF_NOMEM)
        std::printf("Error : System Error\n");
    else if (iResult >= 1)
        std::printf("Success : File %s passed syntax check\n", szValToStrPath);
    else if (iResult == 0)
        std::printf("Error : Syntax Error in file %s\n", szValToStrPath);
    else
        std::printf("Unknown Error !! \n");
    vFreeValMap();
    std::fflush(stdout);
    return 0;
}
