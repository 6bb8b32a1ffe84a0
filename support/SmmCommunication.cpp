#include "support/SmmCommunication.h"

namespace ftpm::support {

void BeginSmmMessage(VOID* Buffer, UINTN CommSize, const EFI_GUID& Handler, UINT32 Function) {
  auto* bytes = static_cast<UINT8*>(Buffer);
  ZeroMem(bytes, CommSize);
  CopyMem(bytes + offsetof(EFI_SMM_COMMUNICATE_HEADER, HeaderGuid), &Handler, sizeof(EFI_GUID));
  WriteUnaligned<UINT64>(bytes + offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength),
                         CommSize - offsetof(EFI_SMM_COMMUNICATE_HEADER, Data));
  WriteUnaligned<UINT32>(bytes + offsetof(EFI_SMM_COMMUNICATE_HEADER, Data), Function);
}

}  // namespace ftpm::support
