#include "main/cli.h"

int main(int argc, char** argv) { return callvane::program_main(argc, argv) & 0xff; }
