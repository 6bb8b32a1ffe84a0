// `ftpm-recovery package`: a DXE driver or EFI application image as a
// firmware file (.ffs) and, optionally, a firmware volume (.fv) holding it,
// ready for a platform image.
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

// The project's own firmware files, by user-interface name: their fixed file
// GUIDs, and the dependency expression a driver gets unless one is given.
struct KnownFile {
  const char* Name;
  EFI_GUID Guid;
  const char* Depex;  // nullptr: the default for a driver, none for an application
};
constexpr KnownFile kKnownFiles[] = {
    {"FtpmRecoveryDxe", gFtpmRecoveryDxeFileGuid, nullptr},
    // The reference platform reads and writes variables at its start.
    {"FtpmPlatformDxe", gFtpmPlatformDxeFileGuid,
     "PCD_PROTOCOL AND EFI_PCD_PROTOCOL AND EFI_VARIABLE_ARCH_PROTOCOL AND EFI_VARIABLE_WRITE_ARCH_PROTOCOL"},
    {"FtpmSysPrep", gFtpmSysPrepFileGuid, nullptr},
};

const KnownFile* FindKnownFile(const std::string& Name) {
  for (const KnownFile& file : kKnownFiles) {
    if (Name == file.Name) {
      return &file;
    }
  }
  return nullptr;
}

struct PackageOptions {
  std::string driver;
  std::string ffs;
  std::string fv;
  std::string guid;
  std::string name;
  std::optional<std::string> depex;  // given on the command line
};

const char* Kind(const ffs::PeImageInfo& info) {
  switch (info.subsystem) {
    case ffs::kPeSubsystemEfiApplication:
      return " application";
    case ffs::kPeSubsystemEfiRuntimeDriver:
      return " runtime driver";
    default:
      return " boot-service driver";
  }
}

int Package(const PackageOptions& options) {
  const std::optional<ffs::Bytes> image = ReadBinaryFile(options.driver);
  if (!image) {
    std::cerr << "package: cannot read " << options.driver << "\n";
    return kUsageError;
  }

  ffs::ImageSpec spec{};
  spec.name = options.name.empty() ? std::filesystem::path(options.driver).stem().string() : options.name;
  spec.depex = options.depex;
  const KnownFile* known = FindKnownFile(spec.name);
  if (!spec.depex && known != nullptr && known->Depex != nullptr) {
    spec.depex = known->Depex;
  }
  if (!options.guid.empty()) {
    if (!ffs::ParseGuid(options.guid, spec.fileGuid)) {
      std::cerr << "package: --guid " << options.guid << " is not a GUID in registry form\n";
      return kUsageError;
    }
  } else if (known != nullptr) {
    spec.fileGuid = known->Guid;
  } else {
    // Two files under one GUID would shadow each other in a volume.
    std::cerr << "package: give --guid for " << spec.name
              << "; default file GUIDs belong to FtpmRecoveryDxe, FtpmPlatformDxe and FtpmSysPrep\n";
    return kUsageError;
  }

  ffs::Bytes file;
  ffs::Bytes volume;
  ffs::PeImageInfo info{};
  try {
    info = ffs::InspectEfiImage(*image);
    file = ffs::PackageEfiImage(*image, spec);
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
  const bool application = info.subsystem == ffs::kPeSubsystemEfiApplication;
  std::cout << options.ffs << (application ? ": application " : ": DXE driver ") << ffs::FormatGuid(spec.fileGuid)
            << " \"" << spec.name << "\", " << ffs::MachineName(info.machine) << Kind(info);
  if (!application) {
    std::cout << ", depex [" << spec.depex.value_or(std::string(ffs::kDefaultDxeDepex)) << "]";
  }
  std::cout << ", " << file.size() << " bytes\n";
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
  CLI::App* command = app.add_subcommand(
      "package", "Package a DXE driver or EFI application as a firmware file (.ffs) and firmware volume (.fv)");
  command->add_option("image", options->driver, "The driver's or application's PE32 image (.efi)")->required();
  command->add_option("--ffs", options->ffs, "Where to write the firmware file")->required();
  command->add_option("--fv", options->fv, "Where to write a firmware volume holding the file");
  command->add_option(
      "--guid", options->guid,
      "File GUID in registry form (default: the fixed GUID of FtpmRecoveryDxe, FtpmPlatformDxe or FtpmSysPrep)");
  command->add_option("--name", options->name, "User-interface name (default: the image file's stem)");
  command->add_option("--depex", options->depex,
                      "A driver's dependency expression (default: " + std::string(ffs::kDefaultDxeDepex) +
                          ", or FtpmPlatformDxe's own): AND, OR, NOT, TRUE, FALSE, parentheses, BEFORE/AFTER GUID, "
                          "SOR; protocols by GUID or "
                          "by name (PCD_PROTOCOL, EFI_PCD_PROTOCOL, ...). An application has none.");
  command->callback([options] { ExitCode() = Package(*options); });
}};

}  // namespace
}  // namespace ftpm::tools
