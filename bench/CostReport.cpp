// ftpm-bench-cost: what the driver costs on the simulated platform, as JSON
// for scripts/bench.py.
//
//   traffic SAMPLE.json...  flash traffic of a full recovery and of a second
//                           one in the same boot, beside the least the
//                           directory walk needs; pool memory after start-up
//                           and after the recovery
//   entry                   runs the entry point of a boot without recovery,
//                           with the time-stamp-counter table already
//                           published, between callgrind's start and stop
//   prompt SAMPLE.json      starts the driver with a full recovery requested,
//                           then runs the handler up to the prompt's key wait
//                           between callgrind's start and stop
//
// Under valgrind --tool=callgrind --instr-atstart=no only the part between
// start and stop is counted; outside valgrind the requests do nothing.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "bench/LeastTraffic.h"
#include "directory/ProcessorIdentity.h"
#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/Settings.h"
#include "tools/ImageLayout.h"

namespace ftpm::bench {
namespace {

using nlohmann::json;
using tools::layout::Hex;

constexpr uint32_t kRecoveryFlagRegisters[] = {0x3810570, 0x3810970};
constexpr uint32_t kRecoveryFlagB = 1U << 30;

// Thrown for a run that did not go as a recovery must; the bench refuses to
// report figures of a story that went wrong.
struct BenchError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Sample {
  std::string Name;
  std::vector<uint8_t> Image;
  uint32_t Processor = 0;
};

Sample LoadSample(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw BenchError(path + ": cannot read");
  }
  const json layout = json::parse(file, nullptr, true, true);
  Sample sample;
  sample.Name = path.substr(path.find_last_of('/') + 1);
  const auto processor = tools::layout::ParseNumber(layout.at("processor").get<std::string>(), UINT32_MAX);
  if (!processor) {
    throw BenchError(path + ": \"processor\" is not a 32-bit number");
  }
  sample.Processor = static_cast<uint32_t>(*processor);
  sample.Image = tools::layout::BuildImage(layout);
  return sample;
}

ProcessorView ViewOf(uint32_t signature) {
  sim::Machine m;
  m.cpu.Signature = signature;
  m.LoadDriverImage();
  ProcessorView view;
  view.Signature = signature;
  const directory::CpuIdentityRow* row = nullptr;
  if (directory::FindCpuIdentityRow(&row) != FALSE && row != nullptr) {
    view.HasIdentityRow = true;
    view.MvqId = row->MvqId;
    view.AbLayout = row->AbLayout;
    view.WideEntryTypes = row->EntryTypeWidth == directory::kWideEntryTypes;
  }
  return view;
}

// The flash log as ranges: runs of 8-byte loads of consecutive words, and
// each mapped copy.
json Ranges(const std::vector<sim::FlashAccess>& log) {
  json ranges = json::array();
  uint64_t start = 0;
  uint64_t next = 0;
  uint64_t loads = 0;
  auto flush = [&] {
    if (loads != 0) {
      ranges.push_back({{"address", Hex(start)}, {"bytes", loads * 8}, {"loads", loads}});
    }
    loads = 0;
  };
  for (const sim::FlashAccess& access : log) {
    if (access.Kind == sim::FlashAccessKind::Load64) {
      if (loads == 0 || access.Address != next) {
        flush();
        start = access.Address;
      }
      next = access.Address + 8;
      ++loads;
      continue;
    }
    flush();
    ranges.push_back({{"address", Hex(access.Address)}, {"bytes", access.Length}, {"loads", 0}, {"mapped", true}});
  }
  flush();
  return ranges;
}

json TrafficJson(const sim::Flash& flash) {
  uint64_t mapped = 0;
  for (const sim::FlashAccess& access : flash.Log) {
    mapped += access.Kind == sim::FlashAccessKind::MappedCopy ? access.Length : 0;
  }
  return {{"bytes", flash.BytesRead()},
          {"loads", flash.Loads64()},
          {"mapped_bytes", mapped},
          {"ranges", Ranges(flash.Log)}};
}

json LeastJson(const std::vector<FlashRead>& reads) {
  const Traffic total = TrafficOf(reads);
  json list = json::array();
  for (const FlashRead& read : reads) {
    const Traffic one = TrafficOf(read);
    list.push_back({{"what", read.What},
                    {"address", Hex(read.Address)},
                    {"length", read.Length},
                    {"bytes", one.Bytes},
                    {"loads", one.Loads64}});
  }
  return {{"bytes", total.Bytes}, {"loads", total.Loads64}, {"mapped_bytes", total.MappedBytes}, {"reads", list}};
}

// Pool bytes allocated since Before, and what the platform's memory holds now.
json MemoryJson(const sim::Machine& m, UINTN before) {
  UINTN pool = 0;
  UINTN pages = 0;
  size_t blocks = 0;
  for (const auto& [pointer, allocation] : m.boot.Outstanding()) {
    if (allocation.Smram) {
      continue;
    }
    (allocation.Pages ? pages : pool) += allocation.Size;
    blocks += allocation.Pages ? 0 : 1;
  }
  return {{"pool_allocated", m.boot.PoolBytesAllocated - before},
          {"pool_held", pool},
          {"pool_blocks_held", blocks},
          {"page_bytes_held", pages}};
}

void SetRecoveryFlag(sim::Machine& m, bool sideB) {
  for (uint32_t reg : kRecoveryFlagRegisters) {
    m.registers.RegisterFile[reg] = sideB ? kRecoveryFlagB : 0;
  }
}

// One recovery with Y, which must end in the cold reset after two erases.
void Recover(sim::Machine& m, const char* which) {
  const size_t erases = m.smm.EraseRequests.size();
  m.console.QueueKey(u'y');
  const sim::RunOutcome outcome = m.CallRecoveryHandler();
  if (!outcome.StoppedBy(sim::StopReason::Reset) || m.smm.EraseRequests.size() != erases + 2) {
    throw BenchError(std::string(which) + " recovery did not erase both NVRAMs and reset");
  }
}

json MeasureRecovery(const Sample& sample, bool sideB) {
  // The least first: working it out needs a machine of its own, and one
  // machine exists at a time.
  const json least = LeastJson(LeastRecoveryReads(sample.Image, ViewOf(sample.Processor), sideB));
  sim::Machine m;
  m.cpu.Signature = sample.Processor;
  m.flash.SetImage(sample.Image);
  m.settings.Set(support::kNvramResetRequest, 1);
  SetRecoveryFlag(m, sideB);

  json row;
  row["sample"] = sample.Name;
  row["processor"] = Hex(sample.Processor, 8);
  row["side"] = sideB ? "B" : "A";
  row["least"] = least;

  const UINTN before = m.boot.PoolBytesAllocated;
  const sim::RunOutcome start = m.StartDriver();
  if (!start.Returned() || *start.Status != EFI_SUCCESS || !m.RecoveryProtocolInstalled()) {
    throw BenchError(sample.Name + ": start-up did not install the recovery protocol");
  }
  row["startup_flash_bytes"] = m.flash.BytesRead();
  row["memory_after_startup"] = MemoryJson(m, before);

  m.flash.ClearLog();
  Recover(m, "the first");
  row["first"] = TrafficJson(m.flash);
  row["memory_after_recovery"] = MemoryJson(m, before);
  json erases = json::array();
  for (const sim::EraseRequest& request : m.smm.EraseRequests) {
    erases.push_back({{"address", Hex(request.Address)}, {"size", Hex(request.Size)}});
  }
  row["erase_requests"] = erases;

  m.flash.ClearLog();
  Recover(m, "the second");
  row["second"] = TrafficJson(m.flash);
  return row;
}

// A boot without recovery: what start-up leaves behind.
json MeasureQuietStartUp() {
  sim::Machine m;
  const UINTN before = m.boot.PoolBytesAllocated;
  const sim::RunOutcome start = m.StartDriver();
  if (!start.Returned() || *start.Status != EFI_SUCCESS || m.RecoveryProtocolInstalled()) {
    throw BenchError("a boot without recovery did not start cleanly");
  }
  return {{"memory_after_startup", MemoryJson(m, before)}, {"flash_bytes", m.flash.BytesRead()}};
}

int RunTraffic(const std::vector<std::string>& paths) {
  json report;
  report["quiet_boot"] = MeasureQuietStartUp();
  report["recoveries"] = json::array();
  for (const std::string& path : paths) {
    const Sample sample = LoadSample(path);
    report["recoveries"].push_back(MeasureRecovery(sample, false));
    // The B side gets its own row where the flag changes what is read.
    const ProcessorView view = ViewOf(sample.Processor);
    const auto readsA = LeastRecoveryReads(sample.Image, view, false);
    const auto readsB = LeastRecoveryReads(sample.Image, view, true);
    const bool differ = readsA.size() != readsB.size() ||
                        !std::equal(readsA.begin(), readsA.end(), readsB.begin(), [](const auto& x, const auto& y) {
                          return x.Address == y.Address && x.Length == y.Length;
                        });
    if (differ) {
      report["recoveries"].push_back(MeasureRecovery(sample, true));
    }
  }
  std::cout << report.dump(2) << "\n";
  return 0;
}

// The frequency a platform driver published before this one loaded.
UINT64 gPublishedTscHz = 2'000'000'000;

int RunEntryPoint() {
  sim::Machine m;
  m.boot.InstallConfigurationTable(gTscFrequencyTableGuid, &gPublishedTscHz);
  CALLGRIND_START_INSTRUMENTATION;
  const sim::RunOutcome start = m.StartDriver();
  CALLGRIND_STOP_INSTRUMENTATION;
  if (!start.Returned() || *start.Status != EFI_SUCCESS || m.RecoveryProtocolInstalled()) {
    throw BenchError("the entry point did not return EFI_SUCCESS on a boot without recovery");
  }
  if (m.registers.PmTimerReads != 0) {
    throw BenchError("the entry point calibrated the counter although the table was published");
  }
  std::cout << json{{"status", "ok"}, {"scenario", "entry point, no recovery, TSC table published"}}.dump() << "\n";
  return 0;
}

int RunPrompt(const std::string& path) {
  const Sample sample = LoadSample(path);
  sim::Machine m;
  m.boot.InstallConfigurationTable(gTscFrequencyTableGuid, &gPublishedTscHz);
  m.cpu.Signature = sample.Processor;
  m.flash.SetImage(sample.Image);
  m.settings.Set(support::kNvramResetRequest, 1);
  const sim::RunOutcome start = m.StartDriver();
  if (!start.Returned() || !m.RecoveryProtocolInstalled()) {
    throw BenchError(sample.Name + ": start-up did not install the recovery protocol");
  }
  // No key is queued: the handler draws the prompt and the machine stops in
  // the key wait.
  CALLGRIND_START_INSTRUMENTATION;
  const sim::RunOutcome handler = m.CallRecoveryHandler();
  CALLGRIND_STOP_INSTRUMENTATION;
  if (!handler.StoppedBy(sim::StopReason::KeysExhausted) || m.flash.BytesRead() != 0) {
    throw BenchError("the handler did not stop at the prompt's key wait without reading flash");
  }
  std::cout << json{{"status", "ok"}, {"scenario", "handler up to the prompt"}, {"sample", sample.Name}}.dump() << "\n";
  return 0;
}

}  // namespace
}  // namespace ftpm::bench

int main(int argc, char** argv) {
  CLI::App app{"ftpm-bench-cost: flash traffic, pool memory and callgrind scenarios on the simulated platform"};
  app.require_subcommand(1);
  std::vector<std::string> samples;
  std::string promptSample;
  CLI::App* traffic = app.add_subcommand("traffic", "flash traffic and pool memory of full recoveries, as JSON");
  traffic->add_option("samples", samples, "sample layouts (JSON with a \"processor\" field)")->required();
  app.add_subcommand("entry", "the entry point of a boot without recovery, for callgrind");
  CLI::App* prompt = app.add_subcommand("prompt", "the handler up to the prompt, for callgrind");
  prompt->add_option("sample", promptSample, "sample layout")->required();
  CLI11_PARSE(app, argc, argv);
  try {
    if (traffic->parsed()) {
      return ftpm::bench::RunTraffic(samples);
    }
    if (prompt->parsed()) {
      return ftpm::bench::RunPrompt(promptSample);
    }
    return ftpm::bench::RunEntryPoint();
  } catch (const std::exception& error) {
    std::cerr << "ftpm-bench-cost: " << error.what() << "\n";
    return 1;
  }
}
