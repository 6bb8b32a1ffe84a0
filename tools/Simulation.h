// One recovery story on the simulated platform, as `ftpm-recovery simulate`
// runs it: start-up with the given settings, a boot component calling the
// handler, keys typed, and what the platform saw.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Uefi.h"

namespace ftpm::sim {
class Machine;
}

namespace ftpm::tools {

class SimulationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SimulationOptions {
  std::vector<uint8_t> Image;
  uint32_t Cpu = 0;
  std::map<uint64_t, uint64_t> Settings;           // token -> value; unset tokens read 0
  std::optional<std::vector<EFI_INPUT_KEY>> Keys;  // nullopt: keys come from KeySource, if any
  std::function<std::optional<EFI_INPUT_KEY>()> KeySource;
  std::function<void(const sim::Machine&)> OnScreenChange;
  uint32_t Columns = 80;
  uint32_t Rows = 25;
  uint32_t RecoveryFlag = 0;
  bool CommBuffer = true;
  std::vector<std::string> Absent;  // platform pieces left out
  unsigned HandlerCalls = 1;
};

// The platform pieces --absent may name.
const std::vector<std::string>& AbsentNames();

// "a,b,esc,scan=5": a character is a key with that UnicodeChar and no scan
// code; "esc" is scan code 0x17; "scan=N" a scan code alone. Throws
// SimulationError for anything else.
std::vector<EFI_INPUT_KEY> ParseKeys(const std::string& text);

// "COLSxROWS". Throws SimulationError.
std::pair<uint32_t, uint32_t> ParseConsole(const std::string& text);

// The built-in sample layout and the processor it serves.
const char* BuiltInSampleLayout();
uint32_t BuiltInSampleProcessor();

// Runs the story and reports it; see the `simulate` subcommand for the keys.
nlohmann::json RunSimulation(const SimulationOptions& options);

// The readable summary of a report.
std::string FormatSimulation(const nlohmann::json& report);

}  // namespace ftpm::tools
