#include "support/S3SaveTable.h"

#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "support/BootScript.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/Firmware.h"
#include "support/Memory.h"
#include "support/PostCodes.h"
#include "support/Settings.h"
#include "support/SmmCommunication.h"

namespace ftpm::support {

constinit S3SaveTableState gS3SaveTableState{};

namespace {

// The MMIO configuration base MSR; start-up only looks at its enable bit.
constexpr UINT32 kMmioConfigBaseMsr = 0xC0010058;
constexpr UINT64 kMmioConfigEnable = 1;

constexpr UINTN kBoundarySize = sizeof(UINT32);

// The size every component gives the table: setting 768, at least 0x4000.
UINT64 TableSize() {
  const UINT64 requested = SettingGet64(kS3TableSize);
  return requested < kS3TableMinimumSize ? kS3TableMinimumSize : requested;
}

UINT8* CurrentTable() {
  const KelS3LibPrivateData* record = gS3SaveTableState.PrivateData;
  return record != nullptr ? AddressToPointer<UINT8>(record->TableAddress) : nullptr;
}

BOOLEAN SignatureIntact(const UINT8* table) {
  return ReadUnaligned<UINT32>(table + offsetof(KelS3LibTableHeader, Signature)) == kS3TableSignature ? TRUE : FALSE;
}

// The boundary word is read where the table's Size field puts it, but only
// when that field holds the size the table was allocated with: a corrupt
// header must not send the read, or the end marker written at the next-free
// offset, outside the table. A table this driver made is held to the size it
// made it with, whatever setting 768 reads now.
BOOLEAN BoundaryIntact(const UINT8* table) {
  const S3SaveTableState& state = gS3SaveTableState;
  const auto size = ReadUnaligned<UINT64>(table + offsetof(KelS3LibTableHeader, Size));
  if (size != (table == state.CreatedTable ? state.CreatedSize : TableSize())) {
    return FALSE;
  }
  const auto nextFree = ReadUnaligned<UINT64>(table + offsetof(KelS3LibTableHeader, NextFree));
  if (nextFree < sizeof(KelS3LibTableHeader) || nextFree > size - sizeof(kS3TableEndMarker)) {
    return FALSE;
  }
  return ReadUnaligned<UINT32>(table + size) == kS3TableBoundary ? TRUE : FALSE;
}

// Sends the private record's address to the S3 handler in SMM. FALSE when the
// communication buffer or protocol is missing; the table is then kept.
BOOLEAN HandOver(KelS3LibPrivateData* record) {
  const UINT64 bufferAddress = SmmCommBufferAddress();
  if (bufferAddress == 0) {
    PostCodeHalt(postcode::kS3CommBufferMissing);
    return FALSE;
  }
  auto* buffer = AddressToPointer<UINT8>(bufferAddress);
  UINTN commSize = kCommSize<S3TableHandOver>;
  BeginSmmMessage(buffer, commSize, gS3TableHandOverGuid, kS3HandOverFunction);
  WriteUnaligned<UINT64>(buffer + offsetof(S3TableHandOver, PrivateDataAddress), PointerToAddress(record));

  VOID* found = nullptr;
  const EFI_STATUS status = BootServices()->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr, &found);
  if (status != EFI_SUCCESS) {
    PostCodeHalt(postcode::kS3SmmCommunicationMissing);
  }
  // A pointer left behind by a failed lookup is never called through.
  auto* communication = EFI_ERROR(status) ? nullptr : static_cast<EFI_SMM_COMMUNICATION_PROTOCOL*>(found);
  if (communication == nullptr) {
    DebugPrint(kDebugS3, "KelS3SaveLib locate SmmCommunicationProtocol fail \n");
    return FALSE;
  }
  communication->Communicate(communication, buffer, &commSize);
  return TRUE;
}

}  // namespace

EFI_STATUS S3SaveTableStartUp() {
  S3SaveTableState& state = gS3SaveTableState;
  UINT64 privateAddress = SettingGet64(kS3PrivateDataAddress);
  if ((platform::ReadMsr(kMmioConfigBaseMsr) & kMmioConfigEnable) == 0) {
    PostCodeHalt(postcode::kS3MsrEnableClear);
  }

  if (privateAddress == 0) {
    DebugPrint(kDebugS3, "KelS3LibPrivateData allocation\n");
    auto* record =
        static_cast<KelS3LibPrivateData*>(AllocateCleared(EfiRuntimeServicesData, sizeof(KelS3LibPrivateData)));
    if (record == nullptr) {
      PostCodeHalt(postcode::kS3PrivateAllocationFailed);
      DebugPrint(kDebugS3, "KelS3LibPrivateData allocate fail\n");
      return EFI_OUT_OF_RESOURCES;
    }
    record->S3TableLocked = 0;
    record->S3TableClosed = 0;
    record->TableAddress = 0;
    privateAddress = PointerToAddress(record);
    SettingSet64(kS3PrivateDataAddress, privateAddress);
    // Current before any event exists: the lock callback may run while its
    // event is being created.
    state.PrivateData = record;

    VOID* registration = nullptr;
    state.BootScriptLockEvent = CreateReadyToLockNotify(BootScriptLock, &registration);
    if (state.BootScriptLockEvent == nullptr) {
      PostCodeHalt(postcode::kS3LockEventFailed);
      DebugPrint(kDebugS3, "KelS3SaveLib create BootScriptLock Event fail\n");
      return EFI_UNSUPPORTED;
    }

    EFI_EVENT closeTable = nullptr;
    const EFI_STATUS status = BootServices()->CreateEventEx(
        EVT_NOTIFY_SIGNAL, TPL_CALLBACK, KelS3SaveCloseTableCallBack, nullptr, &gEfiEventReadyToBootGuid, &closeTable);
    if (status != EFI_SUCCESS) {
      PostCodeHalt(postcode::kS3CloseTableEventFailed);
      if (EFI_ERROR(status)) {
        DebugPrint(kDebugS3, "KelS3SaveLib create CloseTable Event fail\n");
        return EFI_UNSUPPORTED;
      }
    }
    state.CloseTableEvent = closeTable;
  }

  // Also for a record another component created.
  state.PrivateData = AddressToPointer<KelS3LibPrivateData>(privateAddress);
  if (SettingGet64(kS3TableAddress) != 0) {
    return EFI_SUCCESS;
  }
  // A record whose table was already handed over gets no second table: no
  // one would hand it over.
  if (state.PrivateData->S3TableClosed != 0) {
    return EFI_SUCCESS;
  }

  const UINT64 size = TableSize();
  DebugPrint(kDebugS3, "KelS3LibTableHeader buffer size = 0x%x\n", size);
  if (size > ~UINTN{0} - kBoundarySize) {
    return EFI_OUT_OF_RESOURCES;
  }
  auto* table = static_cast<UINT8*>(AllocateCleared(EfiRuntimeServicesData, static_cast<UINTN>(size) + kBoundarySize));
  if (table == nullptr) {
    // Neither setting 767 nor the record gets an address, so a later
    // component tries again and ready-to-boot finds no table.
    return EFI_OUT_OF_RESOURCES;
  }
  SettingSet64(kS3TableAddress, PointerToAddress(table));
  state.PrivateData->TableAddress = PointerToAddress(table);
  state.CreatedTable = table;
  state.CreatedSize = size;

  auto* header = reinterpret_cast<KelS3LibTableHeader*>(table);
  header->Signature = kS3TableSignature;
  header->Version = kS3TableVersion;
  header->Size = size;
  header->NextFree = sizeof(KelS3LibTableHeader);
  WriteUnaligned<UINT32>(table + size, kS3TableBoundary);
  return EFI_SUCCESS;
}

void S3SaveTableShutDown() {
  S3SaveTableState& state = gS3SaveTableState;
  if (state.BootScriptLockEvent != nullptr && state.BootScriptLockClosed == FALSE) {
    if (BootServices()->CloseEvent(state.BootScriptLockEvent) != EFI_SUCCESS) {
      PostCodeHalt(postcode::kS3LockEventCloseFailed);
    }
  }
  state.BootScriptLockEvent = nullptr;
  if (state.CloseTableEvent != nullptr && state.CloseTableClosed == FALSE) {
    if (BootServices()->CloseEvent(state.CloseTableEvent) != EFI_SUCCESS) {
      PostCodeHalt(postcode::kS3CloseTableEventCloseFailed);
    }
  }
  state.CloseTableEvent = nullptr;
}

UINT32 CheckS3SaveTable() {
  const UINT8* table = CurrentTable();
  if (table == nullptr) {
    return kS3TableInvalid;
  }
  // Each check is made again after the post code: a debug host that stopped
  // there may have repaired the table.
  if (SignatureIntact(table) == FALSE) {
    PostCodeHalt(postcode::kS3TableSignatureBad);
    if (SignatureIntact(table) == FALSE) {
      DebugPrint(kDebugS3, "KelS3Lib table Signature check fail\n");
      return kS3TableInvalid;
    }
  }
  if (BoundaryIntact(table) == FALSE) {
    PostCodeHalt(postcode::kS3TableBoundaryBad);
    if (BoundaryIntact(table) == FALSE) {
      DebugPrint(kDebugS3, "KelS3Lib table boundary check fail\n");
      return kS3TableInvalid;
    }
  }
  return 0;
}

VOID EFIAPI BootScriptLock(EFI_EVENT Event, VOID* /*Context*/) {
  S3SaveTableState& state = gS3SaveTableState;
  VOID* found = nullptr;
  if (EFI_ERROR(BootServices()->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &found))) {
    return;  // not locked yet: the event stays armed
  }
  if (Event != nullptr) {
    BootServices()->CloseEvent(Event);
    state.BootScriptLockClosed = TRUE;
  }
  if (state.PrivateData != nullptr) {
    state.PrivateData->S3TableLocked = 1;
  }
}

VOID EFIAPI KelS3SaveCloseTableCallBack(EFI_EVENT Event, VOID* /*Context*/) {
  S3SaveTableState& state = gS3SaveTableState;
  if (Event != nullptr) {
    BootServices()->CloseEvent(Event);
    state.CloseTableClosed = TRUE;
  }
  DebugPrint(kDebugS3, "KelS3SaveCloseTableCallBack\n");
  KelS3LibPrivateData* record = state.PrivateData;
  if (record == nullptr || record->TableAddress == 0) {
    DebugPrint(kDebugS3, "mKelS3LibPrivateData is NULL\n");
    return;
  }
  if (CheckS3SaveTable() != 0) {
    return;
  }
  const UINT64 tableAddress = record->TableAddress;
  auto* table = AddressToPointer<UINT8>(tableAddress);
  const auto nextFree = ReadUnaligned<UINT64>(table + offsetof(KelS3LibTableHeader, NextFree));
  WriteUnaligned<UINT16>(table + nextFree, kS3TableEndMarker);

  if (HandOver(record) == FALSE) {
    return;
  }
  record->S3TableClosed = 1;
  BootServices()->FreePool(table);
  if (state.CreatedTable == table) {
    state.CreatedTable = nullptr;
  }
  // The table is gone: no address of it stays behind for a later component
  // to write through.
  record->TableAddress = 0;
  if (SettingGet64(kS3TableAddress) == tableAddress) {
    SettingSet64(kS3TableAddress, 0);
  }
}

}  // namespace ftpm::support
