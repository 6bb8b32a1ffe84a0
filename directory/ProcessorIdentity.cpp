#include "directory/ProcessorIdentity.h"

#include "platform/Hardware.h"
#include "support/Diagnostics.h"
#include "support/PostCodes.h"

namespace ftpm::directory {

namespace {
constexpr UINT32 kNone = 0xFFFFFFFF;
}  // namespace

// Rows are tried in this order and the first match wins: rows 0 and 2 take
// family 0x19 models 0x7C and 0x78 ahead of row 3; rows 11 and 15 are
// shadowed by rows 10 and 14.
constinit const CpuIdentityRow kCpuIdentityTable[kCpuIdentityRows] = {
    {0x00A70FC0, 0xBC0D0B00, kNone, 0, 2, 2, 1},      // 0: 0x19, model 0x7C
    {0x00B40F00, 0xBC0D0300, kNone, 0, 2, 2, 1},      // 1: 0x1A, 0x40-0x4F
    {0x00A70F80, 0xBC0D0B00, kNone, 0, 2, 2, 1},      // 2: 0x19, model 0x78
    {0x00A70F00, 0xBC0D0400, kNone, 0, 2, 2, 1},      // 3: 0x19, 0x70-0x7F
    {0x00A60F00, 0xBC0D0300, kNone, 0, 2, 2, 1},      // 4: 0x19, 0x60-0x6F
    {0x00A40F00, 0xBC0D0200, kNone, 0, 2, 2, 1},      // 5: 0x19, 0x40-0x4F
    {0x00A20F00, 0xBC0B0500, 0x20, 0, -1, 1, 1},      // 6: 0x19, 0x20-0x2F
    {0x00A50F00, 0xBC0C0140, 0x28, 1, -1, 1, 1},      // 7: 0x19, 0x50-0x5F
    {0x00A30F00, 0xBC0B0F00, 0x28, 0, -1, kNone, 1},  // 8: 0x19, 0x30-0x3F
    {0x00A00F00, 0xBC0B0D00, 0x28, 0, -1, kNone, 1},  // 9: 0x19, 0x00-0x0F
    {0x00890F00, 0xBC0B0800, kNone, 1, 1, 2, 1},      // 10: 0x17, 0x90-0x9F
    {0x00890F80, 0xBC0B0800, kNone, 1, 1, 2, 1},      // 11: 0x17, model 0x98
    {0x00860F00, 0xBC0C0000, 0x28, 1, -1, 1, 1},      // 12: 0x17, 0x60-0x6F
    {0x00800F00, 0xBC090000, 0x18, 0, -1, kNone, 1},  // 13: 0x17, 0x00-0x0F
    {0x00810F00, 0xBC0A0000, 0x1C, 0, -1, kNone, 1},  // 14: 0x17, 0x10-0x1F
    {0x00810F80, 0xBC0A0000, 0x1C, 0, -1, kNone, 1},  // 15: 0x17, model 0x18
    {0x00820F00, 0xBC0A0100, 0x1C, 0, -1, kNone, 1},  // 16: 0x17, 0x20-0x2F
    {0x00870F00, 0xBC0B0500, 0x20, 0, -1, kNone, 1},  // 17: 0x17, 0x70-0x7F
    {0x00830F00, 0xBC0B0000, 0x20, 0, -1, kNone, 1},  // 18: 0x17, 0x30-0x3F
    {0x008A0F00, 0xBC0D0900, kNone, 0, 2, 2, 1},      // 19: 0x17, 0xA0-0xAF
    {0x00A10F00, 0xBC0D0111, 0x28, 0, -1, kNone, 1},  // 20: 0x19, 0x10-0x1F
    {0x00AA0F00, 0xBC0D0111, 0x28, 0, -1, kNone, 1},  // 21: 0x19, 0xA0-0xAF
    {0x00A80F00, 0xBC0D0600, kNone, 0, 2, 2, 2},      // 22: 0x19, 0x80-0x8F
    {0x00A90F00, 0xBC0D0600, kNone, 0, 2, 2, 2},      // 23: 0x19, 0x90-0x9F
    {0x00B00F00, 0xBC0E0000, 0x28, 0, -1, kNone, 1},  // 24: 0x1A, 0x00-0x0F
    {0x00B10F00, 0xBC0E0000, 0x28, 0, -1, kNone, 1},  // 25: 0x1A, 0x10-0x1F
    {0x00B20F00, 0xBC0E0200, kNone, 0, 2, 2, 1},      // 26: 0x1A, 0x20-0x2F
    {0x00B70F00, 0xBC0E0900, kNone, 0, 2, 2, 1},      // 27: 0x1A, 0x70-0x7F
};

constinit const EntryTypeAlias kEntryTypeAliasTable[kEntryTypeAliasRows] = {
    {0x48, 0, 0x013C},
    {0x4A, 0, 0x013D},
    {0x49, 0, 0x014F},
};

constinit const SocInfoRow kSocInfoTable[kSocInfoRows] = {
    {0x00870F00, 0, 0x13E1, 0x00, 1, 0x00010500, 0x00010680}, {0x00830F00, 0, 0x13E1, 0x03, 1, 0x00010500, 0x00010680},
    {0x00A20F00, 0, 0x13E1, 0x00, 1, 0x00010500, 0x00010680}, {0x00B00F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500},
    {0x00B10F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500}, {0x00B20F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500},
    {0x00B70F00, 0, 0x13B1, 0x00, 2, 0x00010900, 0x00010500},
};

UINT32 ReadCpuId(UINT32 Leaf, UINT32* Eax, UINT32* Ebx, UINT32* Ecx, UINT32* Edx) {
  const platform::CpuidResult result = platform::Cpuid(Leaf);
  if (Eax != nullptr) {
    *Eax = result.Eax;
  }
  if (Ebx != nullptr) {
    *Ebx = result.Ebx;
  }
  if (Ecx != nullptr) {
    *Ecx = result.Ecx;
  }
  if (Edx != nullptr) {
    *Edx = result.Edx;
  }
  return Leaf;
}

UINT32 ReadProcessorSignature() {
  UINT32 eax = 0;
  ReadCpuId(kExtendedSignatureLeaf, &eax, nullptr, nullptr, nullptr);
  return eax;
}

BOOLEAN CpuSignatureMatches(UINT32 Signature) {
  return (ReadProcessorSignature() & kFamilySignatureMask) == Signature ? TRUE : FALSE;
}

BOOLEAN FindCpuIdentityRow(const CpuIdentityRow** Row) {
  *Row = nullptr;
  for (const CpuIdentityRow& row : kCpuIdentityTable) {
    // The row's own signature decides whether it names one model or sixteen.
    BOOLEAN match = FALSE;
    if ((row.CpuSignature & kBaseModelMask) != 0) {
      match = (ReadProcessorSignature() & kExactSignatureMask) == row.CpuSignature ? TRUE : FALSE;
    } else {
      match = CpuSignatureMatches(row.CpuSignature);
    }
    if (match != FALSE) {
      *Row = &row;
      return TRUE;
    }
  }
  return FALSE;
}

BOOLEAN UsesWideEntryTypes() {
  const CpuIdentityRow* row = nullptr;
  return (FindCpuIdentityRow(&row) != FALSE && row->EntryTypeWidth == kWideEntryTypes) ? TRUE : FALSE;
}

BOOLEAN EntryTypeMatches(UINT32 TypeWord, UINT8 Type) {
  if (UsesWideEntryTypes() == FALSE) {
    return (TypeWord & 0xFF) == Type ? TRUE : FALSE;
  }
  for (const EntryTypeAlias& alias : kEntryTypeAliasTable) {
    if (alias.Type != Type) {
      continue;
    }
    if (alias.WideType == kNoWideType) {
      break;
    }
    return (TypeWord & 0xFFFF) == alias.WideType ? TRUE : FALSE;
  }
  support::PostCodeHalt(support::postcode::kEntryTypeAliasMissing);
  return FALSE;
}

BOOLEAN FindSocInfoRow(const SocInfoRow** Row) {
  *Row = nullptr;
  for (const SocInfoRow& row : kSocInfoTable) {
    if (CpuSignatureMatches(row.CpuSignature) != FALSE) {
      *Row = &row;
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace ftpm::directory
