// `ftpm-recovery inspect --image IMAGE --cpu EAX [--recovery-flag VALUE]
// [--json]`: boots the simulated platform on a flash image and reports what
// the driver's own directory lookups find there.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#include "tools/Commands.h"
#include "tools/FileIo.h"
#include "tools/ImageLayout.h"
#include "tools/LookupReport.h"

namespace ftpm::tools {
namespace {

struct InspectOptions {
  std::string image;
  std::string cpu;
  std::string flag = "0";
  bool json = false;
};

int Inspect(const InspectOptions& options) {
  const std::optional<uint64_t> cpu = layout::ParseNumber(options.cpu, UINT32_MAX);
  if (!cpu) {
    std::cerr << "inspect: --cpu " << options.cpu << " is not a 32-bit number (decimal or 0x hexadecimal)\n";
    return kUsageError;
  }
  const std::optional<uint64_t> flag = layout::ParseNumber(options.flag, UINT32_MAX);
  if (!flag) {
    std::cerr << "inspect: --recovery-flag " << options.flag << " is not a 32-bit number (decimal or 0x hexadecimal)\n";
    return kUsageError;
  }
  const std::optional<std::vector<uint8_t>> image = ReadBinaryFile(options.image, layout::kMaxImageSize);
  if (!image) {
    std::cerr << "inspect: cannot read " << options.image << " as a flash image of at most 64 MB\n";
    return kUsageError;
  }

  const nlohmann::json report = InspectImage(*image, static_cast<uint32_t>(*cpu), static_cast<uint32_t>(*flag));
  if (options.json) {
    std::cout << report.dump(2) << "\n";
  } else {
    std::cout << FormatInspection(report);
  }
  return 0;
}

const RegisterCommand kRegisterInspect{[](CLI::App& app) {
  auto options = std::make_shared<InspectOptions>();
  CLI::App* command =
      app.add_subcommand("inspect", "Run the driver's directory lookups (types 0x04, 0x54, 0x40) on a flash image");
  command->add_option("--image", options->image, "The flash image (at most 64 MB; shorter images read 0xFF beyond)")
      ->required();
  command->add_option("--cpu", options->cpu, "CPUID 0x80000001 EAX of the simulated processor, e.g. 0x00A20F12")
      ->required();
  command->add_option("--recovery-flag", options->flag, "Value the RecoveryFlag register reads (bit 30: side B)")
      ->capture_default_str();
  command->add_flag("--json", options->json, "Print one JSON object instead of text");
  command->callback([options] { ExitCode() = Inspect(*options); });
}};

}  // namespace
}  // namespace ftpm::tools
