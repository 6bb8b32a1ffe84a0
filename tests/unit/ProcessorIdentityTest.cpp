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

// Every value of every row, transcribed from the processor table: a row
// whose generation, layout or width is wrong sends discovery and the A/B
// selection to the wrong directories.
TEST_F(ProcessorIdentityTest, EveryRowCarriesItsValues) {
  constexpr uint32_t N = 0xFFFFFFFF;
  struct Row {
    uint32_t signature, mvqId, column2, column3;
    int32_t abLayout;
    uint32_t column5, width;
  };
  const Row rows[kCpuIdentityRows] = {
      {0x00A70FC0, 0xBC0D0B00, N, 0, 2, 2, 1},     {0x00B40F00, 0xBC0D0300, N, 0, 2, 2, 1},
      {0x00A70F80, 0xBC0D0B00, N, 0, 2, 2, 1},     {0x00A70F00, 0xBC0D0400, N, 0, 2, 2, 1},
      {0x00A60F00, 0xBC0D0300, N, 0, 2, 2, 1},     {0x00A40F00, 0xBC0D0200, N, 0, 2, 2, 1},
      {0x00A20F00, 0xBC0B0500, 0x20, 0, -1, 1, 1}, {0x00A50F00, 0xBC0C0140, 0x28, 1, -1, 1, 1},
      {0x00A30F00, 0xBC0B0F00, 0x28, 0, -1, N, 1}, {0x00A00F00, 0xBC0B0D00, 0x28, 0, -1, N, 1},
      {0x00890F00, 0xBC0B0800, N, 1, 1, 2, 1},     {0x00890F80, 0xBC0B0800, N, 1, 1, 2, 1},
      {0x00860F00, 0xBC0C0000, 0x28, 1, -1, 1, 1}, {0x00800F00, 0xBC090000, 0x18, 0, -1, N, 1},
      {0x00810F00, 0xBC0A0000, 0x1C, 0, -1, N, 1}, {0x00810F80, 0xBC0A0000, 0x1C, 0, -1, N, 1},
      {0x00820F00, 0xBC0A0100, 0x1C, 0, -1, N, 1}, {0x00870F00, 0xBC0B0500, 0x20, 0, -1, N, 1},
      {0x00830F00, 0xBC0B0000, 0x20, 0, -1, N, 1}, {0x008A0F00, 0xBC0D0900, N, 0, 2, 2, 1},
      {0x00A10F00, 0xBC0D0111, 0x28, 0, -1, N, 1}, {0x00AA0F00, 0xBC0D0111, 0x28, 0, -1, N, 1},
      {0x00A80F00, 0xBC0D0600, N, 0, 2, 2, 2},     {0x00A90F00, 0xBC0D0600, N, 0, 2, 2, 2},
      {0x00B00F00, 0xBC0E0000, 0x28, 0, -1, N, 1}, {0x00B10F00, 0xBC0E0000, 0x28, 0, -1, N, 1},
      {0x00B20F00, 0xBC0E0200, N, 0, 2, 2, 1},     {0x00B70F00, 0xBC0E0900, N, 0, 2, 2, 1},
  };
  for (uint32_t i = 0; i < kCpuIdentityRows; ++i) {
    const CpuIdentityRow& row = kCpuIdentityTable[i];
    EXPECT_EQ(row.CpuSignature, rows[i].signature) << "row " << i;
    EXPECT_EQ(row.MvqId, rows[i].mvqId) << "row " << i;
    EXPECT_EQ(row.Column2, rows[i].column2) << "row " << i;
    EXPECT_EQ(row.Column3, rows[i].column3) << "row " << i;
    EXPECT_EQ(row.AbLayout, rows[i].abLayout) << "row " << i;
    EXPECT_EQ(row.Column5, rows[i].column5) << "row " << i;
    EXPECT_EQ(row.EntryTypeWidth, rows[i].width) << "row " << i;
  }
  // What the lookups answer comes from the row found: the stepping ignored.
  const CpuIdentityRow* row = nullptr;
  m.cpu.Signature = 0x00A70FC2;
  ASSERT_EQ(FindCpuIdentityRow(&row), TRUE);
  EXPECT_EQ(row, &kCpuIdentityTable[0]);
  m.cpu.Signature = Eax(0x19, 0x85);
  EXPECT_EQ(UsesWideEntryTypes(), TRUE);
  m.cpu.Signature = Eax(0x19, 0x75);
  EXPECT_EQ(UsesWideEntryTypes(), FALSE);
}

TEST_F(ProcessorIdentityTest, EverySocInfoRowCarriesItsValues) {
  struct Row {
    uint32_t signature;
    uint16_t field2, field3;
    uint8_t field4, selector;
    uint32_t field6, field7;
  };
  const Row rows[kSocInfoRows] = {
      {0x00870F00, 0, 0x13E1, 0x00, 1, 0x00010500, 0x00010680},
      {0x00830F00, 0, 0x13E1, 0x03, 1, 0x00010500, 0x00010680},
      {0x00A20F00, 0, 0x13E1, 0x00, 1, 0x00010500, 0x00010680},
      {0x00B00F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500},
      {0x00B10F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500},
      {0x00B20F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500},
      {0x00B70F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500},
  };
  for (uint32_t i = 0; i < kSocInfoRows; ++i) {
    const SocInfoRow& row = kSocInfoTable[i];
    EXPECT_EQ(static_cast<uint32_t>(row.CpuSignature), rows[i].signature) << "row " << i;
    EXPECT_EQ(static_cast<uint16_t>(row.Field2), rows[i].field2) << "row " << i;
    EXPECT_EQ(static_cast<uint16_t>(row.Field3), rows[i].field3) << "row " << i;
    EXPECT_EQ(row.Field4, rows[i].field4) << "row " << i;
    EXPECT_EQ(row.RecoveryFlagSelector, rows[i].selector) << "row " << i;
    EXPECT_EQ(static_cast<uint32_t>(row.Field6), rows[i].field6) << "row " << i;
    EXPECT_EQ(static_cast<uint32_t>(row.Field7), rows[i].field7) << "row " << i;
  }
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
  UINT32 ebx = 0x1234;
  UINT32 ecx = 0x1234;
  UINT32 edx = 0x1234;
  EXPECT_EQ(ReadCpuId(0x80000001, &eax, nullptr, nullptr, &edx), 0x80000001U);
  EXPECT_EQ(eax, 0x00A20F12U);
  EXPECT_EQ(edx, 0U);  // the simulated leaf reports zero in EBX, ECX and EDX
  eax = 0;
  edx = 0x1234;
  EXPECT_EQ(ReadCpuId(0x80000001, &eax, &ebx, &ecx, &edx), 0x80000001U);
  EXPECT_EQ(eax, 0x00A20F12U);
  EXPECT_EQ(ebx, 0U);
  EXPECT_EQ(ecx, 0U);
  EXPECT_EQ(edx, 0U);
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
