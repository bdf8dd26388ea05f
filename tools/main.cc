// kelstore: looks into, checks, exports, imports and rebuilds table files,
// and creates the demo data of the application.
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = kel::tool::RunKelstore(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
