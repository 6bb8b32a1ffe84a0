// ftpm-recovery: builds and inspects flash images, runs the driver on the
// simulated platform, and packages the driver for firmware volumes.
#include <CLI/CLI.hpp>

#include "tools/Commands.h"

int main(int argc, char** argv) {
  CLI::App app{"ftpm-recovery: the fTPM NVRAM recovery driver's companion tool"};
  app.require_subcommand(1);
  // Bad arguments are reported in one line on stderr.
  app.failure_message(
      [](const CLI::App*, const CLI::Error& error) { return std::string("ftpm-recovery: ") + error.what() + "\n"; });
  for (const auto& registerCommand : ftpm::tools::Commands()) {
    registerCommand(app);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : ftpm::tools::kUsageError;
  }
  return ftpm::tools::ExitCode();
}
