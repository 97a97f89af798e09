// quillreg: the registry tool (see reg_command.h for its commands).
#include <iostream>
#include <string>
#include <vector>

#include "quillreg/reg_command.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quillreg::RunRegCommand(args, std::cin, std::cout, std::cerr);
}
