// Subcommand registry of the ftpm-recovery tool.
#pragma once

#include <functional>
#include <vector>

namespace CLI {
class App;
}

namespace ftpm::tools {

// Bad arguments or unreadable input.
inline constexpr int kUsageError = 2;

using CommandRegistrar = std::function<void(CLI::App&)>;

// Every subcommand adds itself here from its own file, through a
// RegisterCommand object at namespace scope.
std::vector<CommandRegistrar>& Commands();
struct RegisterCommand {
  explicit RegisterCommand(CommandRegistrar registrar) { Commands().push_back(std::move(registrar)); }
};

// The exit status a subcommand's callback leaves for main to return.
int& ExitCode();

}  // namespace ftpm::tools
