// FtpmRecoveryProtocol: what the driver installs on its image handle when this
// boot needs the recovery prompt. A boot component finds it by GUID
// (gFtpmRecoveryProtocolGuid) and calls RecoveryPromptHandler once the text
// console is usable.
#pragma once

#include "platform/Base.h"

namespace ftpm::driver {

struct FTPM_RECOVERY_PROTOCOL {
  EFI_STATUS(EFIAPI* RecoveryPromptHandler)();
  UINT64 Value;  // 0x80; nothing in the driver reads it
};
static_assert(sizeof(FTPM_RECOVERY_PROTOCOL) == 16);
static_assert(offsetof(FTPM_RECOVERY_PROTOCOL, Value) == 8);

inline constexpr UINT64 kRecoveryProtocolValue = 0x80;

}  // namespace ftpm::driver
