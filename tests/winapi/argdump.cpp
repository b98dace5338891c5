// Test helper: writes what it was started with to the file named by $ARGDUMP:
// its working directory, its session id, then each argument,
// every item followed by a NUL byte.  The file appears whole (rename).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0 && std::getenv("ARGDUMP") == nullptr) {
        std::printf("usage: ARGDUMP=FILE winapi_argdump [ARGUMENTS...]\n");
        return 0;
    }
    const char* target = std::getenv("ARGDUMP");
    if (target == nullptr) return 2;
    std::string out;
    char cwd[4096];
    out += getcwd(cwd, sizeof cwd) ? cwd : "?";
    out += '\0';
    out += std::to_string(getsid(0));
    out += '\0';
    for (int i = 1; i < argc; ++i) {
        out += argv[i];
        out += '\0';
    }
    std::string tmp = std::string(target) + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return 3;
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
    return std::rename(tmp.c_str(), target) == 0 ? 0 : 4;
}
