// Processor identification: which directory arrangement the running
// processor uses, from its extended processor signature (CPUID 0x80000001
// EAX) and three constant tables. Pure lookups: CPUID is executed again on
// every call and nothing is remembered.
#pragma once

#include "platform/Base.h"

namespace ftpm::directory {

inline constexpr UINT32 kExtendedSignatureLeaf = 0x80000001;
inline constexpr UINT32 kExactSignatureMask = 0x0FFF0FF0;   // stepping and bits 12-15, 28-31 cleared
inline constexpr UINT32 kFamilySignatureMask = 0x0FFF0F00;  // the base model cleared as well
inline constexpr UINT32 kBaseModelMask = 0x000000F0;
inline constexpr INT32 kNoAbLayout = -1;
inline constexpr UINT32 kWideEntryTypes = 2;

// Columns 2, 3 and 5 are carried with the table; nothing in this driver reads
// them.
struct CpuIdentityRow {
  UINT32 CpuSignature;  // base model bits set: one model; clear: sixteen models
  UINT32 MvqId;         // security-processor generation
  UINT32 Column2;
  UINT32 Column3;
  INT32 AbLayout;  // -1 none, 1 or 2: the two A/B layouts
  UINT32 Column5;
  UINT32 EntryTypeWidth;  // 2: 16-bit entry types; otherwise 8-bit
};
static_assert(sizeof(CpuIdentityRow) == 28);
static_assert(offsetof(CpuIdentityRow, AbLayout) == 16);
static_assert(offsetof(CpuIdentityRow, EntryTypeWidth) == 24);

struct EntryTypeAlias {
  UINT8 Type;  // 8-bit entry type
  UINT8 Reserved;
  UINT16 WideType;  // its 16-bit equivalent; 0xFFFF: none
};
static_assert(sizeof(EntryTypeAlias) == 4);
inline constexpr UINT16 kNoWideType = 0xFFFF;

// Fields in order with nothing between them.
struct __attribute__((packed)) SocInfoRow {
  UINT32 CpuSignature;  // compared with the family signature
  UINT16 Field2;
  UINT16 Field3;
  UINT8 Field4;
  UINT8 RecoveryFlagSelector;  // 2: register 0x3810970; otherwise 0x3810570
  UINT32 Field6;
  UINT32 Field7;
};
static_assert(sizeof(SocInfoRow) == 18);
static_assert(offsetof(SocInfoRow, RecoveryFlagSelector) == 9);

inline constexpr UINT32 kCpuIdentityRows = 28;
inline constexpr UINT32 kEntryTypeAliasRows = 3;
inline constexpr UINT32 kSocInfoRows = 7;
extern const CpuIdentityRow kCpuIdentityTable[kCpuIdentityRows];
extern const EntryTypeAlias kEntryTypeAliasTable[kEntryTypeAliasRows];
extern const SocInfoRow kSocInfoTable[kSocInfoRows];

// CPUID with EAX = Leaf; each register is stored when its pointer is not
// NULL. Returns Leaf.
UINT32 ReadCpuId(UINT32 Leaf, UINT32* Eax, UINT32* Ebx, UINT32* Ecx, UINT32* Edx);

// EAX of CPUID 0x80000001.
UINT32 ReadProcessorSignature();
// Base family plus extended family (the extended family is always added).
constexpr UINT32 ProcessorFamily(UINT32 Eax) { return ((Eax >> 8) & 0xF) + ((Eax >> 20) & 0xFF); }
// Bits 16-19 placed at bits 4-7: 0x00, 0x10, ... 0xF0.
constexpr UINT32 ModelHighNibble(UINT32 Eax) { return (Eax >> 12) & 0xF0; }
// Extended model times 16 plus base model.
constexpr UINT32 ProcessorModel(UINT32 Eax) { return ModelHighNibble(Eax) | ((Eax >> 4) & 0xF); }

// TRUE when the family signature (EAX AND 0x0FFF0F00) equals Signature.
BOOLEAN CpuSignatureMatches(UINT32 Signature);

// The first matching row of the identity table, tried from row 0. *Row is
// NULL when FALSE is returned.
BOOLEAN FindCpuIdentityRow(const CpuIdentityRow** Row);

// TRUE when the running processor has a row whose EntryTypeWidth is 2.
BOOLEAN UsesWideEntryTypes();

// The A/B pointer test: the low 8 bits of TypeWord equal Type, or in 16-bit
// mode the low 16 bits equal Type's alias (a type without one reports
// PostCodeHalt 0x22010302 and does not match).
BOOLEAN EntryTypeMatches(UINT32 TypeWord, UINT8 Type);

// The first SocInfoTable row whose signature matches the family signature.
BOOLEAN FindSocInfoRow(const SocInfoRow** Row);

}  // namespace ftpm::directory
