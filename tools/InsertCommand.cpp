// `ftpm-recovery insert`: firmware files (.ffs) into the DXE volume of an
// existing firmware image, written as a new image of the same size.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/Commands.h"
#include "tools/FileIo.h"
#include "tools/FirmwareInsert.h"

namespace ftpm::tools {
namespace {

constexpr int kWriteError = 1;
// Flash images and firmware files larger than this are not read.
constexpr uint64_t kMaxInputSize = uint64_t{256} << 20;

struct InsertCommandOptions {
  std::string into;
  std::string out;
  bool replace = false;
  std::vector<std::string> files;
};

void PrintSummary(const InsertCommandOptions& options, const ffs::InsertResult& result) {
  for (size_t i = 0; i < result.files.size(); ++i) {
    const ffs::InsertedFile& file = result.files[i];
    std::cout << options.out << ": " << std::filesystem::path(options.files[i]).filename().string() << ": "
              << ffs::FileTypeName(file.type) << " " << ffs::FormatGuid(file.name);
    if (!file.uiName.empty()) {
      std::cout << " \"" << file.uiName << "\"";
    }
    std::cout << ", " << file.size << " bytes at " << ffs::FormatHex(file.offset) << " of the volume";
    if (file.padding > 0) {
      std::cout << " after " << file.padding << " bytes of pad files for its alignment";
    }
    if (file.replaced) {
      std::cout << ", replacing the old one";
    }
    std::cout << "\n";
  }
  std::cout << options.out << ": " << result.files.size() << (result.files.size() == 1 ? " file" : " files") << " into "
            << result.volume << ", " << (result.ffs3 ? "FFSv3" : "FFSv2") << ", " << result.freeAfter << " of "
            << result.volumeSize << " bytes free (" << result.freeBefore << " before)";
  for (const ffs::RecompressedSection& section : result.recompressed) {
    std::cout << "; LZMA data " << section.oldSize << " -> " << section.newSize << " bytes";
  }
  std::cout << "; image " << result.image.size() << " bytes\n";
}

int Insert(const InsertCommandOptions& options) {
  const std::optional<ffs::Bytes> image = ReadBinaryFile(options.into, kMaxInputSize);
  if (!image) {
    std::cerr << "insert: cannot read " << options.into << "\n";
    return kUsageError;
  }
  std::vector<ffs::Bytes> files;
  for (const std::string& path : options.files) {
    std::optional<ffs::Bytes> file = ReadBinaryFile(path, kMaxInputSize);
    if (!file) {
      std::cerr << "insert: cannot read " << path << "\n";
      return kUsageError;
    }
    files.push_back(std::move(*file));
  }

  ffs::InsertResult result;
  try {
    result = ffs::InsertFiles(*image, files, {options.replace});
  } catch (const ffs::PackageError& error) {
    // A message about the Nth input file starts "file N: "; it is named by
    // its path, any other by the image's.
    std::string message = std::string(options.into) + ": " + error.what();
    for (size_t i = 0; i < options.files.size(); ++i) {
      const std::string which = "file " + std::to_string(i + 1) + ": ";
      if (std::string_view(error.what()).starts_with(which)) {
        message = options.files[i] + ": " + std::string(error.what()).substr(which.size());
        break;
      }
    }
    std::cerr << "insert: " << message << "\n";
    return kUsageError;
  } catch (const std::bad_alloc&) {
    // An image can ask for more than this machine has within the limits.
    std::cerr << "insert: " << options.into << ": out of memory while reading or rebuilding the image\n";
    return kUsageError;
  } catch (const std::exception& error) {
    std::cerr << "insert: " << options.into << ": " << error.what() << "\n";
    return kUsageError;
  }

  if (!WriteFileAtomically(options.out, result.image)) {
    std::cerr << "insert: cannot write " << options.out << "\n";
    return kWriteError;
  }
  PrintSummary(options, result);
  return 0;
}

const RegisterCommand kRegisterInsert{[](CLI::App& app) {
  auto options = std::make_shared<InsertCommandOptions>();
  CLI::App* command = app.add_subcommand(
      "insert", "Insert firmware files (.ffs) into the DXE volume of a firmware image, compressed or not");
  command->add_option("--into", options->into, "The firmware image to start from")->required();
  command->add_option("--out", options->out, "Where to write the new image, of the same size")->required();
  command->add_flag("--replace", options->replace,
                    "Replace a file of the same GUID: the old one becomes a pad file, or free space when it is the "
                    "volume's last file");
  command->add_option("files", options->files, "Firmware files, placed in this order")->required();
  command->callback([options] { ExitCode() = Insert(*options); });
}};

}  // namespace
}  // namespace ftpm::tools
