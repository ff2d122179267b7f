// The footprint benchmark's floor: a trivial C++ program that prints a line
// and exits, or with --idle waits to be ended so its memory can be read.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
  std::cout << "hello" << std::endl;
  if (argc > 1 && std::strcmp(argv[1], "--idle") == 0) {
    // Bounded: the benchmark ends it, and an alarm ends it if it does not.
    alarm(600);
    pause();
  }
  return 0;
}
