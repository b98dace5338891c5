// trvval2strchk: checks the syntax of trvval2str.trap, the texts of enumerated
// values, with trvtrapd's own parser, and prints one verdict.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "trvlib.h"
#include "trvtrapinit.h"

namespace {

const char kUsage[] =
    "usage: trvval2strchk [FILE]\n"
    "\n"
    "Checks the syntax of trvval2str.trap with the parser trvtrapd uses, and prints\n"
    "one verdict.  The file is FILE when given (a candidate, before it is\n"
    "installed), else trvval2str.trap in the configuration directory below the\n"
    "platform's installation directory (registry value PathName, then conf/c/trv/):\n"
    "  Success : File PATH passed syntax check\n"
    "  Error : Syntax Error in file PATH      (after the parser's line message, if any)\n"
    "  Error : File PATH not found\n"
    "  Error : System Error\n"
    "A file without any BEGIN_OID block is a syntax error.\n"
    "Exit status: 0 (whatever the verdict); 2 an unknown option or a second FILE.\n";

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const char *szFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((argv[i][0] == '-' && argv[i][1] != '\0') || szFile != nullptr) {
            std::fprintf(stderr, "trvval2strchk: %s%s\n%s", szFile != nullptr ? "one FILE only: " : "unknown option ",
                         argv[i], kUsage);
            return 2;
        }
        szFile = argv[i];
    }
    ValMapEntry **ppTable = nullptr;
    TrvParseResult stParse = {};
    int iResult = szFile != nullptr
                      ? iLoadValMapFrom(pOpenNamedConfFile(szFile, "trvval2str.trap"), &ppTable, &stParse)
                      : iLoadValMap(&ppTable, "trvval2str.trap", &stParse);
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
