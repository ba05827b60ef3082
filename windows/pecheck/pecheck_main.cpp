// pecheck --allow LIST IMAGE...: fails unless every image is an x64 kernel
// driver that imports only the kernel routines on the list.
#include <iostream>
#include <string>
#include <vector>

#include "pecheck.h"

int main(int argc, char** argv) {
  return pecheck::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
