#include "support/S3SaveTable.h"

namespace ftpm::support {

EFI_STATUS S3SaveTableStartUp() { return EFI_SUCCESS; }

void S3SaveTableShutDown() {}

}  // namespace ftpm::support
