// Fletcher-32 throughput over the sizes the driver checks: a whole 1552-byte
// directory copy, the checksummed part of a directory of 96 entries (what a
// copy holds), and of 512 entries (the most a header may announce).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "directory/Validation.h"

namespace {

void Fletcher32(benchmark::State& state, UINT32 words) {
  // Fixed pseudo-random contents, so both sums keep changing.
  std::vector<uint16_t> data(words);
  uint32_t x = 0x12345678;
  for (uint16_t& word : data) {
    x = x * 1664525 + 1013904223;
    word = static_cast<uint16_t>(x >> 16);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(ftpm::directory::Fletcher32(data.data(), words));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * words * 2);
}

// Checksummed words: 4 header words and 8 per entry.
BENCHMARK_CAPTURE(Fletcher32, copy_1552_bytes, 776);
BENCHMARK_CAPTURE(Fletcher32, entries_96, 772);
BENCHMARK_CAPTURE(Fletcher32, entries_512, 4100);

}  // namespace

BENCHMARK_MAIN();
