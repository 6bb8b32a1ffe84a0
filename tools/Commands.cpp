#include "tools/Commands.h"

namespace ftpm::tools {

std::vector<CommandRegistrar>& Commands() {
  static std::vector<CommandRegistrar> commands;
  return commands;
}

int& ExitCode() {
  static int code = 0;
  return code;
}

}  // namespace ftpm::tools
