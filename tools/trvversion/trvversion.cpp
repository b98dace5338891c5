/*
 * trvversion - prints the integration's version.
 */
#include <signal.h>

#include <cstdio>
#include <cstring>

#define TRV_VERSION "3.3"

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        printf("Usage: trvversion\n\nPrints the version of the Tarvo integration.\n");
        return 0;
    }
    printf("\n%s\n", TRV_VERSION);
    return 0;
}
