// trvdis: the discovery and status daemon (see trvdis.h).
#include "trvdis.h"

int main(int argc, char **argv) { return iTrvdisMain(argc, argv); }
