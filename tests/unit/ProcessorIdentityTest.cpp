// Processor identification: table order and masks, the 16-bit entry-type
// aliases, and the SocInfo lookup.
#include "directory/ProcessorIdentity.h"

#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm::directory {
namespace {

using testing::Eax;

class ProcessorIdentityTest : public testing::DirectoryMachine {
 protected:
  int RowFor(uint32_t eax) {
    m.cpu.Signature = eax;
    const CpuIdentityRow* row = reinterpret_cast<const CpuIdentityRow*>(1);
    if (FindCpuIdentityRow(&row) == FALSE) {
      EXPECT_EQ(row, nullptr);
      return -1;
    }
    return static_cast<int>(row - kCpuIdentityTable);
  }
  int SocRowFor(uint32_t eax) {
    m.cpu.Signature = eax;
    const SocInfoRow* row = reinterpret_cast<const SocInfoRow*>(1);
    if (FindSocInfoRow(&row) == FALSE) {
      EXPECT_EQ(row, nullptr);
      return -1;
    }
    return static_cast<int>(row - kSocInfoTable);
  }
};

// Every row, reached through the first and last model it covers (family and
// models as the table's documentation gives them), with the stepping and the
// reserved signature bits set to show that they are ignored.
TEST_F(ProcessorIdentityTest, EachProcessorFindsItsRowFirstMatchWinning) {
  struct Case {
    uint32_t family, firstModel, lastModel;
    int row;
  };
  const Case cases[] = {
      {0x19, 0x7C, 0x7C, 0},  {0x1A, 0x40, 0x4F, 1},  {0x19, 0x78, 0x78, 2},  {0x19, 0x70, 0x7B, 3},
      {0x19, 0x7D, 0x7F, 3},  {0x19, 0x60, 0x6F, 4},  {0x19, 0x40, 0x4F, 5},  {0x19, 0x20, 0x2F, 6},
      {0x19, 0x50, 0x5F, 7},  {0x19, 0x30, 0x3F, 8},  {0x19, 0x00, 0x0F, 9},  {0x17, 0x90, 0x9F, 10},
      {0x17, 0x60, 0x6F, 12}, {0x17, 0x00, 0x0F, 13}, {0x17, 0x10, 0x1F, 14}, {0x17, 0x20, 0x2F, 16},
      {0x17, 0x70, 0x7F, 17}, {0x17, 0x30, 0x3F, 18}, {0x17, 0xA0, 0xAF, 19}, {0x19, 0x10, 0x1F, 20},
      {0x19, 0xA0, 0xAF, 21}, {0x19, 0x80, 0x8F, 22}, {0x19, 0x90, 0x9F, 23}, {0x1A, 0x00, 0x0F, 24},
      {0x1A, 0x10, 0x1F, 25}, {0x1A, 0x20, 0x2F, 26}, {0x1A, 0x70, 0x7F, 27},
  };
  for (const Case& c : cases) {
    for (uint32_t model : {c.firstModel, c.lastModel}) {
      EXPECT_EQ(RowFor(Eax(c.family, model, 0xF) | 0xF000F000), c.row)
          << "family " << std::hex << c.family << " model " << model;
    }
  }
  // Rows 11 and 15 are shadowed by rows 10 and 14.
  EXPECT_EQ(RowFor(Eax(0x17, 0x98)), 10);
  EXPECT_EQ(RowFor(Eax(0x17, 0x18)), 14);
  // Models next to the covered ranges find nothing.
  EXPECT_EQ(RowFor(Eax(0x17, 0x40)), -1);
  EXPECT_EQ(RowFor(Eax(0x19, 0xB0)), -1);
  EXPECT_EQ(RowFor(Eax(0x1A, 0x30)), -1);
  EXPECT_EQ(RowFor(Eax(0x15, 0x10)), -1);
  EXPECT_EQ(RowFor(Eax(0x18, 0x00)), -1);
}

TEST_F(ProcessorIdentityTest, RowsCarryTheirGenerationLayoutAndWidth) {
  const CpuIdentityRow* row = nullptr;
  m.cpu.Signature = 0x00A70FC2;  // family 0x19, model 0x7C, stepping 2
  ASSERT_EQ(FindCpuIdentityRow(&row), TRUE);
  EXPECT_EQ(row->MvqId, 0xBC0D0B00U);
  EXPECT_EQ(row->AbLayout, 2);
  m.cpu.Signature = Eax(0x19, 0x75);
  ASSERT_EQ(FindCpuIdentityRow(&row), TRUE);
  EXPECT_EQ(row->MvqId, 0xBC0D0400U);
  m.cpu.Signature = Eax(0x19, 0x21);
  ASSERT_EQ(FindCpuIdentityRow(&row), TRUE);
  EXPECT_EQ(row->MvqId, 0xBC0B0500U);
  EXPECT_EQ(row->AbLayout, -1);
  EXPECT_EQ(row->Column2, 0x20U);
  m.cpu.Signature = Eax(0x17, 0x98);
  ASSERT_EQ(FindCpuIdentityRow(&row), TRUE);
  EXPECT_EQ(row->MvqId, 0xBC0B0800U);
  EXPECT_EQ(row->AbLayout, 1);
  m.cpu.Signature = Eax(0x19, 0x85);
  ASSERT_EQ(FindCpuIdentityRow(&row), TRUE);
  EXPECT_EQ(row->EntryTypeWidth, 2U);
  EXPECT_EQ(row->MvqId, 0xBC0D0600U);
}

TEST_F(ProcessorIdentityTest, CpuidRunsOncePerRowExamined) {
  const CpuIdentityRow* row = nullptr;
  m.cpu.Signature = Eax(0x19, 0x7C);
  unsigned before = m.cpu.CpuidCount;
  FindCpuIdentityRow(&row);
  EXPECT_EQ(m.cpu.CpuidCount - before, 1U);
  m.cpu.Signature = Eax(0x15, 0x00);
  before = m.cpu.CpuidCount;
  FindCpuIdentityRow(&row);
  EXPECT_EQ(m.cpu.CpuidCount - before, 28U);
}

TEST_F(ProcessorIdentityTest, ReadCpuIdStoresOnlyWhatIsAskedAndReturnsTheLeaf) {
  m.cpu.Signature = 0x00A20F12;
  UINT32 eax = 0;
  UINT32 edx = 0x1234;
  EXPECT_EQ(ReadCpuId(0x80000001, &eax, nullptr, nullptr, &edx), 0x80000001U);
  EXPECT_EQ(eax, 0x00A20F12U);
  EXPECT_EQ(edx, 0U);  // the simulated leaf reports zero in EDX
  EXPECT_EQ(ReadCpuId(0x80000001, nullptr, nullptr, nullptr, nullptr), 0x80000001U);
}

TEST_F(ProcessorIdentityTest, DerivedFamilyAndModelAlwaysAddTheExtendedFields) {
  EXPECT_EQ(ProcessorFamily(0x00A70FC2), 0x19U);
  EXPECT_EQ(ModelHighNibble(0x00A70FC2), 0x70U);
  EXPECT_EQ(ProcessorModel(0x00A70FC2), 0x7CU);
  // Base family below 0xF: the extended family is added all the same.
  EXPECT_EQ(ProcessorFamily(0x00100600), 0x07U);
}

TEST_F(ProcessorIdentityTest, EightBitModeComparesTheLowByteOnly) {
  m.cpu.Signature = Eax(0x17, 0x31);
  EXPECT_EQ(UsesWideEntryTypes(), FALSE);
  EXPECT_EQ(EntryTypeMatches(0x00010048, 0x48), TRUE);
  EXPECT_EQ(EntryTypeMatches(0xFFFFFF48, 0x48), TRUE);
  EXPECT_EQ(EntryTypeMatches(0x0000013C, 0x48), FALSE);
  EXPECT_EQ(EntryTypeMatches(0x00000050, 0x50), TRUE);  // any type, no alias needed
  EXPECT_TRUE(PostCodes().empty());
}

TEST_F(ProcessorIdentityTest, SixteenBitModeComparesAliases) {
  m.cpu.Signature = Eax(0x19, 0x85);
  EXPECT_EQ(UsesWideEntryTypes(), TRUE);
  EXPECT_EQ(EntryTypeMatches(0x0000013C, 0x48), TRUE);
  EXPECT_EQ(EntryTypeMatches(0xABCD013C, 0x48), TRUE);  // high 16 bits ignored
  EXPECT_EQ(EntryTypeMatches(0x00000048, 0x48), FALSE);
  EXPECT_EQ(EntryTypeMatches(0x0000013D, 0x4A), TRUE);
  EXPECT_EQ(EntryTypeMatches(0x0000013C, 0x4A), FALSE);
  EXPECT_EQ(EntryTypeMatches(0x0000014F, 0x49), TRUE);
  EXPECT_TRUE(PostCodes().empty());
}

TEST_F(ProcessorIdentityTest, SixteenBitModeWithoutAnAliasReportsAndNeverMatches) {
  m.cpu.Signature = Eax(0x19, 0x85);
  EXPECT_EQ(EntryTypeMatches(0x00000050, 0x50), FALSE);
  EXPECT_EQ(EntryTypeMatches(0x00000000, 0x50), FALSE);
  EXPECT_EQ(PostCodes(), (std::vector<uint32_t>{0x22010302, 0x22010302}));
}

TEST_F(ProcessorIdentityTest, UnknownProcessorHasNoRowsAndNarrowTypes) {
  m.cpu.Signature = testing::kCpuUnknown;
  EXPECT_EQ(RowFor(testing::kCpuUnknown), -1);
  EXPECT_EQ(SocRowFor(testing::kCpuUnknown), -1);
  EXPECT_EQ(UsesWideEntryTypes(), FALSE);
  EXPECT_EQ(EntryTypeMatches(0x48, 0x48), TRUE);
}

TEST_F(ProcessorIdentityTest, SocInfoRowsMatchTheFamilySignature) {
  EXPECT_EQ(SocRowFor(Eax(0x17, 0x7F)), 0);
  EXPECT_EQ(SocRowFor(Eax(0x17, 0x31)), 1);
  EXPECT_EQ(SocRowFor(Eax(0x19, 0x21, 2)), 2);
  EXPECT_EQ(SocRowFor(Eax(0x1A, 0x05)), 3);
  EXPECT_EQ(SocRowFor(Eax(0x1A, 0x1F)), 4);
  EXPECT_EQ(SocRowFor(Eax(0x1A, 0x24)), 5);
  EXPECT_EQ(SocRowFor(Eax(0x1A, 0x70)), 6);
  EXPECT_EQ(SocRowFor(Eax(0x19, 0x44)), -1);  // has an identity row, but no SocInfo row
  EXPECT_EQ(RowFor(Eax(0x19, 0x44)), 5);

  const SocInfoRow* row = nullptr;
  m.cpu.Signature = Eax(0x1A, 0x24);
  ASSERT_EQ(FindSocInfoRow(&row), TRUE);
  EXPECT_EQ(row->RecoveryFlagSelector, 2);
  m.cpu.Signature = Eax(0x17, 0x31);
  ASSERT_EQ(FindSocInfoRow(&row), TRUE);
  EXPECT_EQ(row->RecoveryFlagSelector, 1);
  EXPECT_EQ(row->Field4, 3);
}

}  // namespace
}  // namespace ftpm::directory
