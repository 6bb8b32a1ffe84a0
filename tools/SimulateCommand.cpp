// `ftpm-recovery simulate`: one recovery story on the simulated platform.
//
//   ftpm-recovery simulate [--image IMAGE] [--cpu EAX] [--setting TOKEN=VALUE]...
//       [--keys KEYS] [--console COLSxROWS] [--recovery-flag VALUE]
//       [--no-comm-buffer] [--absent NAME]... [--handler-calls N] [--json]
//
// Without --keys on a terminal, the user answers the prompt: the screen is
// drawn in the terminal and keys are read from it.
#include <termios.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "sim/Machine.h"
#include "tools/Commands.h"
#include "tools/FileIo.h"
#include "tools/ImageLayout.h"
#include "tools/Simulation.h"

namespace ftpm::tools {
namespace {

struct SimulateOptions {
  std::string image;
  std::string cpu;
  std::vector<std::string> settings;
  std::optional<std::string> keys;
  std::string console = "80x25";
  std::string flag = "0";
  bool noCommBuffer = false;
  std::vector<std::string> absent;
  std::string handlerCalls = "1";
  bool json = false;
};

// --- The terminal, when a person answers -------------------------------------

termios gSavedTerminal;
bool gRawTerminal = false;

void RestoreTerminal() {
  if (gRawTerminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
    std::fputs("\x1b[0m\x1b[?25h\n", stdout);
    std::fflush(stdout);
    gRawTerminal = false;
  }
}

void OnInterrupt(int) {
  RestoreTerminal();
  std::_Exit(130);
}

void EnterRawTerminal() {
  tcgetattr(STDIN_FILENO, &gSavedTerminal);
  termios raw = gSavedTerminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  gRawTerminal = true;
  std::signal(SIGINT, OnInterrupt);
  std::atexit(RestoreTerminal);
}

// A key from the terminal; a lone Escape is the Escape key. End of input
// gives none, so the dialog is left waiting.
std::optional<EFI_INPUT_KEY> ReadTerminalKey() {
  unsigned char c = 0;
  if (read(STDIN_FILENO, &c, 1) != 1) {
    return std::nullopt;
  }
  EFI_INPUT_KEY key{};
  if (c == 0x1B) {
    key.ScanCode = SCAN_ESC;
  } else if (c == '\n') {
    key.UnicodeChar = u'\r';
  } else {
    key.UnicodeChar = c;
  }
  return key;
}

// EFI text colours to ANSI: black, blue, green, cyan, red, magenta, brown, grey.
constexpr int kAnsiColour[8] = {0, 4, 2, 6, 1, 5, 3, 7};

void DrawScreen(const sim::Machine& m) {
  std::string out = "\x1b[?25l\x1b[H";
  for (UINTN row = 0; row < m.console.Rows(); ++row) {
    int attribute = -1;
    for (UINTN column = 0; column < m.console.Columns(); ++column) {
      const sim::Cell& cell = m.console.At(column, row);
      if (cell.Attribute != attribute) {
        attribute = cell.Attribute;
        const int fg = kAnsiColour[attribute & 7] + ((attribute & 8) != 0 ? 90 : 30);
        const int bg = kAnsiColour[(attribute >> 4) & 7] + 40;
        out += "\x1b[" + std::to_string(fg) + ";" + std::to_string(bg) + "m";
      }
      out += sim::Utf16ToUtf8(std::u16string(1, cell.Char));
    }
    out += "\x1b[0m\r\n";
  }
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

// --- Arguments ---------------------------------------------------------------------

std::vector<uint8_t> ReadImage(const std::string& path) {
  std::optional<std::vector<uint8_t>> image = ReadBinaryFile(path, layout::kMaxImageSize);
  if (!image) {
    throw SimulationError("cannot read " + path + " as a flash image of at most 64 MB");
  }
  return *std::move(image);
}

uint64_t Number(const std::string& option, const std::string& text, uint64_t max) {
  const auto value = layout::ParseNumber(text, max);
  if (!value) {
    throw SimulationError(option + " " + text + ": not a number in range (decimal or 0x hexadecimal)");
  }
  return *value;
}

SimulationOptions Resolve(const SimulateOptions& given) {
  SimulationOptions options;
  if (given.image.empty()) {
    options.Image = layout::BuildImage(nlohmann::json::parse(BuiltInSampleLayout()));
    options.Cpu = BuiltInSampleProcessor();
  } else {
    options.Image = ReadImage(given.image);
  }
  if (!given.cpu.empty()) {
    options.Cpu = static_cast<uint32_t>(Number("--cpu", given.cpu, UINT32_MAX));
  } else if (!given.image.empty()) {
    options.Cpu = BuiltInSampleProcessor();
  }
  options.Settings[122] = 1;
  for (const std::string& setting : given.settings) {
    const size_t equals = setting.find('=');
    if (equals == std::string::npos) {
      throw SimulationError("--setting " + setting + ": expected TOKEN=VALUE");
    }
    options.Settings[Number("--setting token", setting.substr(0, equals), UINT32_MAX)] =
        Number("--setting value", setting.substr(equals + 1), UINT64_MAX);
  }
  if (given.keys) {
    options.Keys = ParseKeys(*given.keys);
  }
  std::tie(options.Columns, options.Rows) = ParseConsole(given.console);
  options.RecoveryFlag = static_cast<uint32_t>(Number("--recovery-flag", given.flag, UINT32_MAX));
  options.CommBuffer = !given.noCommBuffer;
  options.Absent = given.absent;
  options.HandlerCalls = static_cast<unsigned>(Number("--handler-calls", given.handlerCalls, 1000));
  return options;
}

int Simulate(const SimulateOptions& given) {
  SimulationOptions options;
  nlohmann::json report;
  try {
    options = Resolve(given);
    const bool interactive = !given.keys && isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;
    if (interactive) {
      EnterRawTerminal();
      std::fputs("\x1b[2J", stdout);
      options.KeySource = ReadTerminalKey;
      options.OnScreenChange = DrawScreen;
    }
    report = RunSimulation(options);
    RestoreTerminal();
  } catch (const SimulationError& error) {
    RestoreTerminal();
    std::cerr << "simulate: " << error.what() << "\n";
    return kUsageError;
  } catch (const layout::LayoutError& error) {
    RestoreTerminal();
    std::cerr << "simulate: built-in sample: " << error.what() << "\n";
    return kUsageError;
  }
  if (given.json) {
    std::cout << report.dump(2) << "\n";
  } else {
    std::cout << FormatSimulation(report);
  }
  return 0;
}

const RegisterCommand kRegisterSimulate{[](CLI::App& app) {
  auto options = std::make_shared<SimulateOptions>();
  CLI::App* command = app.add_subcommand(
      "simulate", "Boot the driver on the simulated platform, call its handler and answer the prompt");
  command->add_option("--image", options->image, "Flash image (default: the built-in sample)");
  command->add_option("--cpu", options->cpu,
                      "CPUID 0x80000001 EAX (default: the processor the built-in sample serves, 0x00A70F42)");
  command->add_option("--setting", options->settings, "TOKEN=VALUE; default 122=1, every other token 0");
  command->add_option("--keys", options->keys, "Keys typed, comma-separated: a character, esc, or scan=N");
  command->add_option("--console", options->console, "Console size COLSxROWS")->capture_default_str();
  command->add_option("--recovery-flag", options->flag, "What the RecoveryFlag register reads (bit 30: side B)")
      ->capture_default_str();
  command->add_flag("--no-comm-buffer", options->noCommBuffer, "SmmCommBufferAddress reads 0");
  command->add_option("--absent", options->absent,
                      "Leave a platform piece out: erase-service-ready, smm-communication, pcd, efi-pcd, "
                      "debug-print, hob-list");
  command->add_option("--handler-calls", options->handlerCalls, "How often the boot component calls the handler")
      ->capture_default_str();
  command->add_flag("--json", options->json, "Print one JSON object instead of a summary");
  command->callback([options] { ExitCode() = Simulate(*options); });
}};

}  // namespace
}  // namespace ftpm::tools
