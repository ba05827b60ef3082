// velmoractl for Linux: the bus in the kernel host, inside this process.
#include <iostream>

#include "velmoractl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return velmoractl::RunOnHost(args, std::cout, std::cerr);
}
