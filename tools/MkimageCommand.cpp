// `ftpm-recovery mkimage LAYOUT.json -o IMAGE`: a flash image from a readable
// JSON layout (docs/mkimage.md).
#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "tools/Commands.h"
#include "tools/FileIo.h"
#include "tools/ImageLayout.h"

namespace ftpm::tools {
namespace {

constexpr int kWriteError = 1;

struct MkimageOptions {
  std::string layout;
  std::string output;
};

int Mkimage(const MkimageOptions& options) {
  layout::ImageSummary summary;
  std::vector<uint8_t> image;
  try {
    image = layout::BuildImageFromFile(options.layout, &summary);
  } catch (const layout::LayoutError& error) {
    std::cerr << "mkimage: " << error.what() << "\n";
    return kUsageError;
  }
  if (!WriteFileAtomically(options.output, image)) {
    std::cerr << "mkimage: cannot write " << options.output << "\n";
    return kWriteError;
  }
  std::cout << options.output << ": " << layout::Hex(image.size()) << " bytes; " << summary.signatureBlocks
            << " signature block(s), " << summary.directories << " directory(ies), " << summary.comboDirectories
            << " combo, " << summary.bhdDirectories << " BHD, " << summary.slotHeaders << " slot header(s), "
            << summary.rawRanges << " raw range(s)\n";
  return 0;
}

const RegisterCommand kRegisterMkimage{[](CLI::App& app) {
  auto options = std::make_shared<MkimageOptions>();
  CLI::App* command = app.add_subcommand("mkimage", "Build a flash image from a JSON layout (see docs/mkimage.md)");
  command->add_option("layout", options->layout, "The layout (JSON)")->required();
  command->add_option("-o,--output", options->output, "Where to write the image")->required();
  command->callback([options] { ExitCode() = Mkimage(*options); });
}};

}  // namespace
}  // namespace ftpm::tools
