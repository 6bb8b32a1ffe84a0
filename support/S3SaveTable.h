// The S3 save table: created at start-up (or found through settings 766 and
// 767), marked locked at DXE SMM ready-to-lock, and terminated and handed to
// SMM at ready-to-boot.
#pragma once

#include "platform/Pi.h"

namespace ftpm::support {

// Start-up step; the entry point ignores the result.
EFI_STATUS S3SaveTableStartUp();
// First link of the shut-down chain: closes the two events.
void S3SaveTableShutDown();

}  // namespace ftpm::support
