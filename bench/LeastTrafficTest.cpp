// The least-traffic model against figures worked out by hand from the sample
// layouts, and the driver's real flash traffic on the simulated platform
// against the model: a recovery that reads more than the walk needs, or a
// second recovery that reads the flash again, fails here.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "bench/LeastTraffic.h"
#include "directory/ProcessorIdentity.h"
#include "sim/Machine.h"
#include "support/Settings.h"
#include "tools/ImageLayout.h"

namespace ftpm::bench {
namespace {

struct Expected {
  uint64_t Address;
  uint32_t Length;
};

std::vector<uint8_t> SampleImage(const std::string& name, uint32_t* processor) {
  std::ifstream file(std::string(FTPM_SOURCE_DIR) + "/samples/" + name);
  const nlohmann::json layout = nlohmann::json::parse(file, nullptr, true, true);
  *processor = static_cast<uint32_t>(*tools::layout::ParseNumber(layout.at("processor").get<std::string>()));
  return tools::layout::BuildImage(layout);
}

ProcessorView View(uint32_t signature) {
  sim::Machine m;
  m.cpu.Signature = signature;
  m.LoadDriverImage();
  const directory::CpuIdentityRow* row = nullptr;
  ProcessorView view{signature, 0, -1, false, false};
  if (directory::FindCpuIdentityRow(&row) != FALSE) {
    view = {signature, row->MvqId, row->AbLayout, row->EntryTypeWidth == 2, true};
  }
  return view;
}

void ExpectReads(const std::vector<FlashRead>& reads, const std::vector<Expected>& expected) {
  ASSERT_EQ(reads.size(), expected.size());
  for (size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].Address, expected[i].Address) << "read " << i << ": " << reads[i].What;
    EXPECT_EQ(reads[i].Length, expected[i].Length) << "read " << i << ": " << reads[i].What;
  }
}

TEST(TrafficOf, FlashOffsetsCostEveryWordTheRangeTouches) {
  EXPECT_EQ(TrafficOf({0x100000, 1552, ""}).Loads64, 194U);
  EXPECT_EQ(TrafficOf({0x100000, 1552, ""}).Bytes, 1552U);
  EXPECT_EQ(TrafficOf({0x100004, 1552, ""}).Loads64, 195U);  // a word more at each end, one of them partial
  EXPECT_EQ(TrafficOf({0x20000, 60, ""}).Loads64, 8U);
  EXPECT_EQ(TrafficOf({0x20000, 60, ""}).Bytes, 64U);
  EXPECT_EQ(TrafficOf({0x180010, 16, ""}).Loads64, 2U);
  EXPECT_EQ(TrafficOf({0x7, 2, ""}).Loads64, 2U);
  EXPECT_EQ(TrafficOf({0x20000, 0, ""}).Bytes, 0U);
}

TEST(TrafficOf, WindowAddressesAreCopiedByteForByte) {
  const Traffic mapped = TrafficOf({0xFF110000, 1552, ""});
  EXPECT_EQ(mapped.Loads64, 0U);
  EXPECT_EQ(mapped.Bytes, 1552U);
  EXPECT_EQ(mapped.MappedBytes, 1552U);
}

TEST(LeastRecoveryReads, PlainLevel2PointerAtAWindowAddress) {
  uint32_t cpu = 0;
  const auto image = SampleImage("plain-16m.json", &cpu);
  const auto reads = LeastRecoveryReads(image, View(cpu), false);
  ExpectReads(reads, {{0x20000, 60}, {0x100000, 1552}, {0xFF110000, 1552}});
  const Traffic total = TrafficOf(reads);
  EXPECT_EQ(total.Loads64, 8U + 194U);
  EXPECT_EQ(total.Bytes, 64U + 1552U + 1552U);
  // Without an A/B pair the flag changes nothing.
  ExpectReads(LeastRecoveryReads(image, View(cpu), true), {{0x20000, 60}, {0x100000, 1552}, {0xFF110000, 1552}});
}

TEST(LeastRecoveryReads, ExcludedBlockComboAndLayout2SlotHeaders) {
  uint32_t cpu = 0;
  const auto image = SampleImage("combo-ab2-64m.json", &cpu);
  const std::vector<Expected> common = {{0x20000, 60},     {0x820000, 60},  {0x1000000, 1552},
                                        {0x1020000, 1552}, {0x1030000, 32}, {0x1030020, 32}};
  std::vector<Expected> sideA = common;
  sideA.push_back({0x1040000, 1552});
  std::vector<Expected> sideB = common;
  sideB.push_back({0x1050000, 1552});
  ExpectReads(LeastRecoveryReads(image, View(cpu), false), sideA);
  ExpectReads(LeastRecoveryReads(image, View(cpu), true), sideB);
  EXPECT_EQ(TrafficOf(LeastRecoveryReads(image, View(cpu), false)).Loads64, 16U + 194U * 3 + 8U);
}

TEST(LeastRecoveryReads, Layout1HigherPrioritySideIsSlotA) {
  uint32_t cpu = 0;
  const auto image = SampleImage("ab1.json", &cpu);
  // Priorities 3 (first pointer, level 2 at 0x200000) and 5 (0x240000): the
  // flag clear searches the priority-5 side.
  ExpectReads(LeastRecoveryReads(image, View(cpu), false),
              {{0x20000, 60}, {0x100000, 1552}, {0x180000, 16}, {0x180010, 16}, {0x240000, 1552}});
  ExpectReads(LeastRecoveryReads(image, View(cpu), true),
              {{0x20000, 60}, {0x100000, 1552}, {0x180000, 16}, {0x180010, 16}, {0x200000, 1552}});
}

TEST(LeastRecoveryReads, ProbesAreCountedUpToTheChosenBlockOnly) {
  // A wide-entry-type processor probes only the first candidate of each
  // window, so a block at 0x820000 is never found.
  std::vector<uint8_t> image(0x900000, 0xFF);
  const uint8_t signature[] = {0xAA, 0x55, 0xAA, 0x55};
  std::copy(std::begin(signature), std::end(signature), image.begin() + 0x820000);
  const ProcessorView wide{0x00A80F50, 0, 2, true, true};
  ExpectReads(LeastRecoveryReads(image, wide, false),
              {{0x20000, 60}, {0x1020000, 60}, {0x2020000, 60}, {0x3020000, 60}});

  // An 8-bit processor finds it second; a directory pointer the flash reader
  // refuses (64 MB and above, outside the 16 MB window) ends the walk there.
  const uint8_t refused[] = {0x00, 0x00, 0x00, 0x04};  // 0x04000000
  std::copy(std::begin(refused), std::end(refused), image.begin() + 0x820014);
  const ProcessorView narrow{0x00810F82, 0, -1, false, true};
  ExpectReads(LeastRecoveryReads(image, narrow, false), {{0x20000, 60}, {0x820000, 60}});

  // No identity row: discovery never touches the flash.
  EXPECT_TRUE(LeastRecoveryReads(image, ProcessorView{}, false).empty());
}

// The driver's own traffic: a full recovery reads exactly the least, and a
// second one in the same boot reads nothing.
struct TrafficCase {
  const char* Sample;
  bool SideB;
};

class DriverTraffic : public ::testing::TestWithParam<TrafficCase> {};

TEST_P(DriverTraffic, FullRecoveryReadsTheLeastAndASecondOneNothing) {
  uint32_t cpu = 0;
  const auto image = SampleImage(GetParam().Sample, &cpu);
  const Traffic least = TrafficOf(LeastRecoveryReads(image, View(cpu), GetParam().SideB));
  ASSERT_GT(least.Bytes, 0U);

  sim::Machine m;
  m.cpu.Signature = cpu;
  m.flash.SetImage(image);
  m.settings.Set(support::kNvramResetRequest, 1);
  for (uint32_t reg : {0x3810570U, 0x3810970U}) {
    m.registers.RegisterFile[reg] = GetParam().SideB ? 1U << 30 : 0;
  }
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(m.flash.BytesRead(), 0U) << "start-up reads no flash";

  for (int recovery = 1; recovery <= 2; ++recovery) {
    m.flash.ClearLog();
    m.console.QueueKey(u'y');
    ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(sim::StopReason::Reset));
    ASSERT_EQ(m.smm.EraseRequests.size(), 2U * recovery);
    const uint64_t mapped = m.flash.BytesRead() - 8 * m.flash.Loads64();
    if (recovery == 1) {
      EXPECT_EQ(m.flash.Loads64(), least.Loads64);
      EXPECT_EQ(m.flash.BytesRead(), least.Bytes);
      EXPECT_EQ(mapped, least.MappedBytes);
    } else {
      EXPECT_EQ(m.flash.BytesRead(), 0U) << "the second recovery is served from the buffer cache";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, DriverTraffic,
                         ::testing::Values(TrafficCase{"plain-16m.json", false},
                                           TrafficCase{"combo-ab2-64m.json", false},
                                           TrafficCase{"combo-ab2-64m.json", true}, TrafficCase{"ab1.json", false},
                                           TrafficCase{"ab1.json", true}),
                         [](const auto& info) {
                           std::string name = info.param.Sample;
                           name = name.substr(0, name.find('.'));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name + (info.param.SideB ? "_side_b" : "_side_a");
                         });

}  // namespace
}  // namespace ftpm::bench
