#include "driver/RecoveryPromptHandler.h"

#include "directory/EntryLookup.h"
#include "driver/FlashErase.h"
#include "driver/PopUpDialog.h"
#include "driver/PromptText.h"
#include "platform/Hardware.h"
#include "support/BufferCache.h"
#include "support/Firmware.h"
#include "support/Settings.h"

namespace ftpm::driver {

namespace {

// A chain of port reads made before the prompt; the first test that finds its
// bit set ends it. Nothing is written and no value is kept.
void PrePromptPortRead() {
  if ((platform::IoRead8(0x75F) & 0x80) != 0) {
    return;
  }
  if ((platform::IoRead8(0x742) & 0x01) != 0) {
    return;
  }
  if ((platform::IoRead8(0x742) & 0x08) != 0) {
    return;
  }
  if ((platform::IoRead8(0x7F9) & 0x04) != 0) {
    return;
  }
  platform::IoRead8(0x74C);
}

// An ASCII text as the UTF-16 row the dialog draws, filled with spaces up to
// Columns characters; Row holds the longer of the two and a NUL.
const CHAR16* Widen(const char* Text, CHAR16* Row, UINTN Columns) {
  UINTN i = 0;
  for (; Text[i] != 0; ++i) {
    Row[i] = static_cast<UINT8>(Text[i]);
  }
  for (; i < Columns; ++i) {
    Row[i] = u' ';
  }
  Row[i] = 0;
  return Row;
}

bool IsYes(CHAR16 c) { return c == u'Y' || c == u'y'; }
bool IsNo(CHAR16 c) { return c == u'N' || c == u'n'; }

}  // namespace

EFI_STATUS EFIAPI RecoveryPromptHandler() {
  const RecoveryCase* recovery = nullptr;
  if (support::SettingGetBool(support::kNvramResetRequest) != FALSE) {
    recovery = &kFullRecovery;
  } else if (support::SettingGetBool(support::kFtpmResetRequest) != FALSE) {
    recovery = &kFtpmRecovery;
  } else {
    return EFI_SUCCESS;
  }

  support::LocateHobList();
  PrePromptPortRead();

  // The prompt's rows and the erasing message, widened once for this call.
  CHAR16 text[kPromptRows + 1][kPromptRowUnits];
  const CHAR16* prompt[kPromptRows + 1];
  for (UINTN i = 0; i < kPromptRows; ++i) {
    const char* row = i == 0 ? recovery->FirstRow : kPromptLaterRows[i - 1];
    prompt[i] = Widen(row, text[i], row[0] != 0 ? kPromptRowColumns : 0);
  }
  prompt[kPromptRows] = nullptr;

  EFI_INPUT_KEY key{};
  do {
    PopUpDialogRows(kPromptAttribute, &key, prompt);
  } while (!IsYes(key.UnicodeChar) && !IsNo(key.UnicodeChar));

  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* conOut = support::SystemTable()->ConOut;
  conOut->ClearScreen(conOut);
  if (!IsYes(key.UnicodeChar)) {
    return EFI_SUCCESS;
  }

  const CHAR16* const message[] = {Widen(recovery->ErasingMessage, text[kPromptRows], 0), nullptr};
  PopUpDialogRows(kPromptAttribute, nullptr, message);
  for (UINTN i = 0; i < recovery->EntryTypeCount; ++i) {
    UINT64 address = 0;
    UINT32 size = 0;
    if (directory::LookupMvqEntry(recovery->EntryTypes[i], &address, &size) != FALSE) {
      UINT64 length = size;
      RequestFlashErase(address, &length);
    }
  }

  support::RuntimeServices()->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}

}  // namespace ftpm::driver
