// `ftpm-recovery package`: a DXE driver image as a firmware file (.ffs) and,
// optionally, a firmware volume (.fv) holding it, ready for a platform image.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/Guids.h"
#include "tools/Commands.h"
#include "tools/Ffs.h"
#include "tools/FileIo.h"

namespace ftpm::tools {
namespace {

constexpr int kWriteError = 1;
constexpr const char* kDriverName = "FtpmRecoveryDxe";

struct PackageOptions {
  std::string driver;
  std::string ffs;
  std::string fv;
  std::string guid;
  std::string name;
  std::string depex{ffs::kDefaultDxeDepex};
};

int Package(const PackageOptions& options) {
  const std::optional<ffs::Bytes> image = ReadBinaryFile(options.driver);
  if (!image) {
    std::cerr << "package: cannot read " << options.driver << "\n";
    return kUsageError;
  }

  ffs::DriverSpec spec{};
  spec.name = options.name.empty() ? std::filesystem::path(options.driver).stem().string() : options.name;
  spec.depex = options.depex;
  if (!options.guid.empty()) {
    if (!ffs::ParseGuid(options.guid, spec.fileGuid)) {
      std::cerr << "package: --guid " << options.guid << " is not a GUID in registry form\n";
      return kUsageError;
    }
  } else if (spec.name == kDriverName) {
    spec.fileGuid = gFtpmRecoveryDxeFileGuid;
  } else {
    // Two drivers under one file name would shadow each other in a volume.
    std::cerr << "package: give --guid for " << spec.name << "; the default file GUID belongs to " << kDriverName
              << "\n";
    return kUsageError;
  }

  ffs::Bytes file;
  ffs::Bytes volume;
  ffs::PeImageInfo info{};
  try {
    info = ffs::InspectDriverImage(*image);
    file = ffs::PackageDxeDriver(*image, spec);
    if (!options.fv.empty()) {
      volume = ffs::BuildFirmwareVolume(std::span<const ffs::Bytes>(&file, 1));
    }
  } catch (const ffs::PackageError& error) {
    std::cerr << "package: " << options.driver << ": " << error.what() << "\n";
    return kUsageError;
  }

  if (!WriteFileAtomically(options.ffs, file)) {
    std::cerr << "package: cannot write " << options.ffs << "\n";
    return kWriteError;
  }
  std::cout << options.ffs << ": DXE driver " << ffs::FormatGuid(spec.fileGuid) << " \"" << spec.name << "\", "
            << ffs::MachineName(info.machine)
            << (info.subsystem == ffs::kPeSubsystemEfiRuntimeDriver ? " runtime driver" : " boot-service driver")
            << ", depex [" << spec.depex << "], " << file.size() << " bytes\n";
  if (!options.fv.empty()) {
    if (!WriteFileAtomically(options.fv, volume)) {
      std::cerr << "package: cannot write " << options.fv << "\n";
      return kWriteError;
    }
    std::cout << options.fv << ": firmware volume (FFSv2, erase polarity 1), " << volume.size() << " bytes\n";
  }
  return 0;
}

const RegisterCommand kRegisterPackage{[](CLI::App& app) {
  auto options = std::make_shared<PackageOptions>();
  CLI::App* command =
      app.add_subcommand("package", "Package a DXE driver as a firmware file (.ffs) and firmware volume (.fv)");
  command->add_option("driver", options->driver, "The driver's PE32 image (.efi)")->required();
  command->add_option("--ffs", options->ffs, "Where to write the firmware file")->required();
  command->add_option("--fv", options->fv, "Where to write a firmware volume holding the file");
  command->add_option(
      "--guid", options->guid,
      "File GUID in registry form (default: FtpmRecoveryDxe's, " + ffs::FormatGuid(gFtpmRecoveryDxeFileGuid) + ")");
  command->add_option("--name", options->name, "User-interface name (default: the driver file's stem)");
  command
      ->add_option("--depex", options->depex,
                   "Dependency expression: AND, OR, NOT, TRUE, FALSE, parentheses, BEFORE/AFTER GUID, SOR; "
                   "protocols by GUID or by name (PCD_PROTOCOL, EFI_PCD_PROTOCOL, ...)")
      ->capture_default_str();
  command->callback([options] { ExitCode() = Package(*options); });
}};

}  // namespace
}  // namespace ftpm::tools
