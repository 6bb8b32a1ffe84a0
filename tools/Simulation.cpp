#include "tools/Simulation.h"

#include <sstream>

#include "driver/PromptText.h"
#include "sim/Machine.h"
#include "tools/BuiltInSample.h"
#include "tools/ImageLayout.h"

namespace ftpm::tools {

using layout::Hex;
using layout::ParseNumber;

namespace {

constexpr uint32_t kRecoveryFlagRegisters[] = {0x3810570, 0x3810970};

// The text every prompt's first row starts with, in both cases and shortened.
const std::u16string kPromptStart(driver::kFullPromptFirstRow, driver::kFullPromptFirstRow + 16);

const char* ResetName(EFI_RESET_TYPE type) {
  switch (type) {
    case EfiResetCold:
      return "cold";
    case EfiResetWarm:
      return "warm";
    case EfiResetShutdown:
      return "shutdown";
    default:
      return "platform-specific";
  }
}

void Leave(sim::MachineConfig& config, const std::string& name) {
  if (name == "erase-service-ready") {
    config.EraseServiceReady = false;
  } else if (name == "smm-communication") {
    config.SmmCommunication = false;
  } else if (name == "pcd") {
    config.Pcd = false;
  } else if (name == "efi-pcd") {
    config.EfiPcd = false;
  } else if (name == "debug-print") {
    config.DebugPrint = false;
  } else if (name == "hob-list") {
    config.HobList = false;
  } else {
    throw SimulationError("--absent " + name + ": not one of erase-service-ready, smm-communication, pcd, efi-pcd, " +
                          "debug-print, hob-list");
  }
}

size_t PromptsDrawn(const sim::Machine& m) {
  size_t count = 0;
  for (const auto& call : m.console.CallsOf(sim::ConsoleOp::OutputString)) {
    count += std::u16string_view(call.Text).substr(0, kPromptStart.size()) == kPromptStart ? 1 : 0;
  }
  return count;
}

}  // namespace

const std::vector<std::string>& AbsentNames() {
  static const std::vector<std::string> names = {"erase-service-ready", "smm-communication", "pcd", "efi-pcd",
                                                 "debug-print",         "hob-list"};
  return names;
}

std::vector<EFI_INPUT_KEY> ParseKeys(const std::string& text) {
  std::vector<EFI_INPUT_KEY> keys;
  if (text.empty()) {
    return keys;
  }
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    EFI_INPUT_KEY key{};
    if (item.size() == 1 && static_cast<unsigned char>(item[0]) >= 0x20 && static_cast<unsigned char>(item[0]) < 0x7F) {
      key.UnicodeChar = static_cast<CHAR16>(item[0]);
    } else if (item == "esc") {
      key.ScanCode = SCAN_ESC;
    } else if (item.rfind("scan=", 0) == 0) {
      const auto scan = ParseNumber(item.substr(5), 0xFFFF);
      if (!scan) {
        throw SimulationError("--keys: " + item + ": the scan code is not a 16-bit number");
      }
      key.ScanCode = static_cast<UINT16>(*scan);
    } else {
      throw SimulationError("--keys: '" + item + "' is not a character, esc or scan=N");
    }
    keys.push_back(key);
  }
  if (text.back() == ',') {
    throw SimulationError("--keys: empty key at the end of the list");
  }
  return keys;
}

std::pair<uint32_t, uint32_t> ParseConsole(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) {
    throw SimulationError("--console " + text + ": expected COLSxROWS, e.g. 80x25");
  }
  const auto columns = ParseNumber(text.substr(0, x), 1000);
  const auto rows = ParseNumber(text.substr(x + 1), 1000);
  if (!columns || !rows || *columns == 0 || *rows == 0) {
    throw SimulationError("--console " + text + ": columns and rows must be numbers from 1 to 1000");
  }
  return {static_cast<uint32_t>(*columns), static_cast<uint32_t>(*rows)};
}

const char* BuiltInSampleLayout() { return kBuiltInSampleLayout; }

uint32_t BuiltInSampleProcessor() {
  const nlohmann::json layout = nlohmann::json::parse(kBuiltInSampleLayout);
  return static_cast<uint32_t>(*ParseNumber(layout.at("processor").get<std::string>(), UINT32_MAX));
}

nlohmann::json RunSimulation(const SimulationOptions& options) {
  sim::MachineConfig config;
  config.CommBuffer = options.CommBuffer;
  for (const std::string& name : options.Absent) {
    Leave(config, name);
  }
  sim::Machine m(config);
  m.cpu.Signature = options.Cpu;
  m.flash.SetImage(options.Image);
  for (const auto& [token, value] : options.Settings) {
    m.settings.Set(static_cast<UINTN>(token), value);
  }
  m.console.SetModes({{options.Columns, options.Rows}});
  for (uint32_t reg : kRecoveryFlagRegisters) {
    m.registers.RegisterFile[reg] = options.RecoveryFlag;
  }
  if (options.Keys) {
    for (const EFI_INPUT_KEY& key : *options.Keys) {
      m.console.QueueKey(key.UnicodeChar, key.ScanCode);
    }
  }
  m.console.KeySource = options.KeySource;
  if (options.OnScreenChange) {
    m.console.OnChange = [&] { options.OnScreenChange(m); };
  }

  nlohmann::json report;
  report["processor"] = Hex(options.Cpu, 8);
  const sim::RunOutcome entry = m.StartDriver();
  report["entry_status"] = entry.Status ? nlohmann::json(Hex(*entry.Status)) : nlohmann::json(nullptr);
  report["protocol_installed"] = m.RecoveryProtocolInstalled();

  std::optional<EFI_STATUS> handlerStatus;
  std::optional<sim::MachineStop> stop = entry.Stop;
  nlohmann::json calls = nlohmann::json::array();
  if (entry.Returned() && m.RecoveryProtocolInstalled()) {
    for (unsigned call = 0; call < options.HandlerCalls; ++call) {
      const sim::RunOutcome outcome = m.CallRecoveryHandler();
      if (outcome.Returned()) {
        handlerStatus = *outcome.Status;
        calls.push_back({{"status", Hex(*outcome.Status)}});
        continue;
      }
      stop = outcome.Stop;
      calls.push_back({{"stopped", sim::StopReasonName(stop->Reason)}});
      break;
    }
  }
  report["handler_calls"] = calls;
  report["handler_status"] = handlerStatus ? nlohmann::json(Hex(*handlerStatus)) : nlohmann::json(nullptr);
  report["prompts_drawn"] = PromptsDrawn(m);
  report["waiting_for_key"] = stop && stop->Reason == sim::StopReason::KeysExhausted;
  report["stopped"] = stop ? nlohmann::json(sim::StopReasonName(stop->Reason)) : nlohmann::json(nullptr);
  report["keys_consumed"] = m.console.KeysConsumed.size();

  nlohmann::json erases = nlohmann::json::array();
  for (const sim::EraseRequest& request : m.smm.EraseRequests) {
    erases.push_back({{"address", Hex(request.Address)}, {"size", Hex(request.Size)}});
  }
  report["erase_requests"] = erases;
  report["reset"] =
      m.runtime.Resets.empty() ? nlohmann::json(nullptr) : nlohmann::json(ResetName(m.runtime.Resets.front().Type));
  report["screen"] = m.console.ScreenUtf8();
  nlohmann::json messages = nlohmann::json::array();
  for (const sim::DebugMessage& message : m.debug.Messages) {
    messages.push_back({{"level", Hex(message.Level)}, {"text", message.Text}});
  }
  report["debug_messages"] = messages;
  report["flash_loads"] = m.flash.Log.size();
  report["flash_bytes_read"] = m.flash.BytesRead();
  return report;
}

std::string FormatSimulation(const nlohmann::json& report) {
  std::ostringstream out;
  auto text = [](const nlohmann::json& value, const char* none) {
    return value.is_null() ? std::string(none) : value.get<std::string>();
  };
  out << "Processor:              " << report["processor"].get<std::string>() << "\n";
  out << "Entry point:            " << text(report["entry_status"], "did not return") << "\n";
  out << "FtpmRecoveryProtocol:   " << (report["protocol_installed"].get<bool>() ? "installed" : "not installed")
      << "\n";
  size_t index = 1;
  for (const auto& call : report["handler_calls"]) {
    out << "Handler call " << index++ << ":         "
        << (call.contains("status") ? "returned " + call["status"].get<std::string>()
                                    : "stopped: " + call["stopped"].get<std::string>())
        << "\n";
  }
  out << "Prompts drawn:          " << report["prompts_drawn"].get<size_t>() << "\n";
  if (report["waiting_for_key"].get<bool>()) {
    out << "Waiting for a key:      the keys ran out while the dialog waited\n";
  }
  out << "Erase requests:         " << report["erase_requests"].size() << "\n";
  for (const auto& request : report["erase_requests"]) {
    out << "  " << request["address"].get<std::string>() << ", " << request["size"].get<std::string>() << " bytes\n";
  }
  out << "Reset:                  " << text(report["reset"], "none") << "\n";
  out << "Flash reads:            " << report["flash_loads"].get<size_t>() << " accesses, "
      << report["flash_bytes_read"].get<uint64_t>() << " bytes\n";
  for (const auto& message : report["debug_messages"]) {
    std::string line = message["text"].get<std::string>();
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
    }
    out << "Debug " << message["level"].get<std::string>() << ": " << line << "\n";
  }
  // Blank rows are left out; each row shown carries its number.
  const auto& screen = report["screen"];
  out << "Final screen (" << screen.size() << " rows; blank rows not shown):\n";
  for (size_t row = 0; row < screen.size(); ++row) {
    const std::string text = screen[row].get<std::string>();
    if (text.find_first_not_of(' ') == std::string::npos) {
      continue;
    }
    out << (row < 10 ? "   " : "  ") << row << " |" << text << "|\n";
  }
  return out.str();
}

}  // namespace ftpm::tools
