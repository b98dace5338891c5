// trvmap: the map application (see trvmap.h).
#include "trvmap.h"

int main(int argc, char **argv) { return iTrvmapMain(argc, argv); }
