// ftpm-recovery: builds and inspects flash images, runs the driver on the
// simulated platform, and packages the driver for firmware volumes.
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <new>

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
  } catch (const std::bad_alloc&) {
    // Whatever a command's input asks for, the answer is one line and no
    // crash.
    std::cerr << "ftpm-recovery: out of memory\n";
    return ftpm::tools::kUsageError;
  } catch (const std::exception& error) {
    std::cerr << "ftpm-recovery: " << error.what() << "\n";
    return ftpm::tools::kUsageError;
  }
  return ftpm::tools::ExitCode();
}
