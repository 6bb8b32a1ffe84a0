// The console texts of the recovery prompt, and the two recovery cases.
//
// The texts are plain ASCII, so the image keeps them as one byte a character
// (and byte-aligned, one after another, rather than each on the 16-byte
// boundary the compiler gives larger arrays); the handler widens them to the
// UTF-16 rows the dialog draws. Every prompt row but the empty one is 87
// characters, most of them ending in spaces: the rows are kept without their
// trailing spaces and filled up to 87 when they are widened.
#pragma once

#include "platform/Base.h"

namespace ftpm::driver {

// Attribute of every dialog of the handler: light grey on blue.
inline constexpr UINTN kPromptAttribute = 0x17;

inline constexpr char kFullPromptFirstRow[] __attribute__((aligned(1))) =
    "Press Y to reset MVQ NVRAM and fTPM NVRAM. if you have BitLocker or encryption-enabled";
inline constexpr char kFtpmPromptFirstRow[] __attribute__((aligned(1))) =
    "Press Y to reset fTPM. if you have BitLocker or encryption-enabled";
inline constexpr char kPromptRow2[] __attribute__((aligned(1))) =
    "        system,the system will not boot without a recovery key.";
inline constexpr char kPromptRow3[] __attribute__((aligned(1))) = "";
inline constexpr char kPromptRow4[] __attribute__((aligned(1))) =
    "Press N to keep previous fTPM record and continue system boot, fTPM will NOT be enabled";
inline constexpr char kPromptRow5[] __attribute__((aligned(1))) =
    "        with new CPU unless fTPM is reset (reinitialized), you could swap back to the";
inline constexpr char kPromptRow6[] __attribute__((aligned(1))) =
    "        old CPU to recover TPM related keys and data.";
inline constexpr char kFullErasingMessage[] __attribute__((aligned(1))) = " Erasing MVQ NVRAM and fTPM NVRAM.... ";
inline constexpr char kFtpmErasingMessage[] __attribute__((aligned(1))) = " Erasing fTPM NVRAM.... ";

// The width of every non-empty prompt row, and the size of a widened row.
inline constexpr UINTN kPromptRowColumns = 87;
inline constexpr UINTN kPromptRowUnits = kPromptRowColumns + 1;
static_assert(sizeof(kFullPromptFirstRow) == 86 + 1);  // and 1 space
static_assert(sizeof(kFtpmPromptFirstRow) == 66 + 1);  // and 21 spaces
static_assert(sizeof(kPromptRow2) == 63 + 1);          // and 24 spaces
static_assert(sizeof(kPromptRow4) == 87 + 1);
static_assert(sizeof(kPromptRow5) == 85 + 1);  // and 2 spaces
static_assert(sizeof(kPromptRow6) == 53 + 1);  // and 34 spaces
static_assert(sizeof(kFullErasingMessage) == 39);
static_assert(sizeof(kFtpmErasingMessage) == 25);

// Directory entry types erased: the fTPM NVRAM, and the MVQ NVRAM.
inline constexpr UINT8 kFtpmNvramEntryType = 0x04;
inline constexpr UINT8 kMvqNvramEntryType = 0x54;

inline constexpr UINTN kPromptRows = 6;

// Rows 2 to 6, the same in both cases.
inline constexpr const char* kPromptLaterRows[kPromptRows - 1] = {kPromptRow2, kPromptRow3, kPromptRow4, kPromptRow5,
                                                                  kPromptRow6};

struct RecoveryCase {
  const char* FirstRow;  // row 1 of the prompt
  const char* ErasingMessage;
  UINT8 EntryTypes[2];  // 8-bit entry types, in the order they are erased
  UINT8 EntryTypeCount;
};

// Chosen by NvramResetRequest: both NVRAMs.
inline constexpr RecoveryCase kFullRecovery{
    kFullPromptFirstRow, kFullErasingMessage, {kFtpmNvramEntryType, kMvqNvramEntryType}, 2};

// Chosen by FtpmResetRequest alone: the fTPM NVRAM.
inline constexpr RecoveryCase kFtpmRecovery{kFtpmPromptFirstRow, kFtpmErasingMessage, {kFtpmNvramEntryType, 0}, 1};

}  // namespace ftpm::driver
