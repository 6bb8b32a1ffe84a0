// Runtime services of the simulated platform: ResetSystem ends the run.
#include "sim/Machine.h"

namespace ftpm::sim {

namespace {

VOID EFIAPI ResetSystemThunk(EFI_RESET_TYPE type, EFI_STATUS status, UINTN, VOID*) {
  Machine& m = Machine::Current();
  m.runtime.Resets.push_back(ResetRecord{type, status});
  static const char* const kNames[] = {"cold", "warm", "shutdown", "platform-specific"};
  m.Stop(StopReason::Reset, type <= EfiResetPlatformSpecific ? kNames[type] : "unknown");
}

// Services the driver never calls.
EFI_STATUS EFIAPI GetTime(EFI_TIME*, EFI_TIME_CAPABILITIES*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetTime(EFI_TIME*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI GetWakeupTime(BOOLEAN*, BOOLEAN*, EFI_TIME*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetWakeupTime(BOOLEAN, EFI_TIME*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetVirtualAddressMap(UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI ConvertPointer(UINTN, VOID**) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI GetVariable(CHAR16*, EFI_GUID*, UINT32*, UINTN*, VOID*) { return EFI_NOT_FOUND; }
EFI_STATUS EFIAPI GetNextVariableName(UINTN*, CHAR16*, EFI_GUID*) { return EFI_NOT_FOUND; }
EFI_STATUS EFIAPI SetVariable(CHAR16*, EFI_GUID*, UINT32, UINTN, VOID*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI GetNextHighMonotonicCount(UINT32*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI UpdateCapsule(EFI_CAPSULE_HEADER**, UINTN, EFI_PHYSICAL_ADDRESS) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI QueryCapsuleCapabilities(EFI_CAPSULE_HEADER**, UINTN, UINT64*, EFI_RESET_TYPE*) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI QueryVariableInfo(UINT32, UINT64*, UINT64*, UINT64*) { return EFI_UNSUPPORTED; }

}  // namespace

RuntimeServicesSim::RuntimeServicesSim() {
  Table.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  Table.Hdr.Revision = (2U << 16) | 70U;
  Table.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  Table.GetTime = GetTime;
  Table.SetTime = SetTime;
  Table.GetWakeupTime = GetWakeupTime;
  Table.SetWakeupTime = SetWakeupTime;
  Table.SetVirtualAddressMap = SetVirtualAddressMap;
  Table.ConvertPointer = ConvertPointer;
  Table.GetVariable = GetVariable;
  Table.GetNextVariableName = GetNextVariableName;
  Table.SetVariable = SetVariable;
  Table.GetNextHighMonotonicCount = GetNextHighMonotonicCount;
  Table.ResetSystem = ResetSystemThunk;
  Table.UpdateCapsule = UpdateCapsule;
  Table.QueryCapsuleCapabilities = QueryCapsuleCapabilities;
  Table.QueryVariableInfo = QueryVariableInfo;
}

}  // namespace ftpm::sim
