// SMM as the simulated platform offers it: the communication protocol that
// hands a buffer to a handler chosen by the header GUID, two handlers (the
// flash service that really erases the simulated flash and the S3 hand-over
// receiver), and the SMM base protocol with its system table for code that
// runs "inside SMRAM".
#include <cstring>

#include "sim/Machine.h"

namespace ftpm::sim {

namespace {

Machine& M() { return Machine::Current(); }
SmmSim& Smm() { return Machine::Current().smm; }

UINT32 Read32(const UINT8* p) {
  UINT32 v;
  std::memcpy(&v, p, 4);
  return v;
}
UINT64 Read64(const UINT8* p) {
  UINT64 v;
  std::memcpy(&v, p, 8);
  return v;
}

// The allocation that holds [address, address + length), or nullptr.
const Allocation* AllocationHolding(UINT64 address, UINT64 length) {
  for (const auto& [pointer, allocation] : M().boot.Outstanding()) {
    const auto start = reinterpret_cast<UINT64>(pointer);
    if (address >= start && address - start <= allocation.Size && length <= allocation.Size - (address - start)) {
      return &allocation;
    }
  }
  return nullptr;
}

EFI_STATUS EFIAPI CommunicateThunk(const EFI_SMM_COMMUNICATION_PROTOCOL*, VOID* buffer, UINTN* size) {
  return Smm().Communicate(buffer, size);
}

EFI_STATUS EFIAPI InSmmThunk(const EFI_SMM_BASE2_PROTOCOL*, BOOLEAN* inSmram) {
  if (inSmram == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *inSmram = Smm().InSmram ? TRUE : FALSE;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetSmstLocationThunk(const EFI_SMM_BASE2_PROTOCOL*, EFI_SMM_SYSTEM_TABLE2** smst) {
  if (smst == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *smst = &Smm().Smst;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmAllocatePoolThunk(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
  if (auto failure = M().faults.Tick(Op::SmmAllocatePool, std::to_string(type) + " " + std::to_string(size))) {
    return *failure;
  }
  return M().boot.AllocatePool(type, size, buffer, true);
}

EFI_STATUS EFIAPI SmmFreePoolThunk(VOID* buffer) { return M().boot.FreePool(buffer, true); }

EFI_STATUS EFIAPI SmmRegisterProtocolNotifyThunk(const EFI_GUID* guid, EFI_SMM_NOTIFY_FN fn, VOID** registration) {
  return Smm().RegisterNotify(guid, fn, registration);
}

EFI_STATUS EFIAPI SmmInstallProtocolInterfaceThunk(EFI_HANDLE*, const EFI_GUID* guid, EFI_INTERFACE_TYPE, VOID* iface) {
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return Smm().InstallSmmProtocol(*guid, iface);
}

EFI_STATUS EFIAPI SmmLocateProtocolThunk(const EFI_GUID* guid, VOID*, VOID** iface) {
  if (guid == nullptr || iface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (auto& [g, i] : Smm().SmmProtocols) {
    if (g == *guid) {
      *iface = i;
      return EFI_SUCCESS;
    }
  }
  *iface = nullptr;
  return EFI_NOT_FOUND;
}

// Services no code of this project calls inside SMM.
EFI_STATUS EFIAPI SmmInstallConfigurationTable(const EFI_SMM_SYSTEM_TABLE2*, const EFI_GUID*, VOID*, UINTN) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI SmmAllocatePages(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS*) {
  return EFI_OUT_OF_RESOURCES;
}
EFI_STATUS EFIAPI SmmFreePages(EFI_PHYSICAL_ADDRESS, UINTN) { return EFI_NOT_FOUND; }
EFI_STATUS EFIAPI SmmStartupThisAp(EFI_AP_PROCEDURE, UINTN, VOID*) { return EFI_INVALID_PARAMETER; }
EFI_STATUS EFIAPI SmmUninstallProtocolInterface(EFI_HANDLE, const EFI_GUID*, VOID*) { return EFI_NOT_FOUND; }
EFI_STATUS EFIAPI SmmHandleProtocol(EFI_HANDLE, const EFI_GUID*, VOID**) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SmmLocateHandle(EFI_LOCATE_SEARCH_TYPE, const EFI_GUID*, VOID*, UINTN*, EFI_HANDLE*) {
  return EFI_NOT_FOUND;
}
EFI_STATUS EFIAPI SmiManage(const EFI_GUID*, const VOID*, VOID*, UINTN*) { return EFI_NOT_FOUND; }
EFI_STATUS EFIAPI SmiHandlerRegister(EFI_SMM_HANDLER_ENTRY_POINT2, const EFI_GUID*, EFI_HANDLE*) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI SmiHandlerUnRegister(EFI_HANDLE) { return EFI_INVALID_PARAMETER; }

// --- The flash service ------------------------------------------------------------

EFI_STATUS FlashService(UINT8* data, UINTN messageLength, UINTN commSize) {
  SmmSim& smm = Smm();
  EraseRequest request{Read64(data + 8), Read64(data + 16), false};
  request.Valid = messageLength == 24 && commSize == 48 && Read32(data) == 4 && Read32(data + 4) == 0;
  smm.EraseRequests.push_back(request);
  if (!request.Valid) {
    return EFI_INVALID_PARAMETER;
  }
  const std::optional<UINT64> offset = Flash::EraseOffset(request.Address, request.Size);
  if (!offset) {
    return EFI_INVALID_PARAMETER;
  }
  M().flash.Erase(*offset, request.Size);
  M().Note("SMM flash service erased " + std::to_string(request.Size) + " bytes at offset " + std::to_string(*offset));
  if (smm.RewriteSize) {
    std::memcpy(data + 16, &*smm.RewriteSize, 8);
  }
  return smm.EraseStatus.value_or(EFI_SUCCESS);
}

// --- The S3 hand-over receiver -------------------------------------------------------

EFI_STATUS S3Receiver(UINT8* data, UINTN messageLength, UINTN commSize) {
  S3HandOver handOver{};
  handOver.Valid = messageLength == 16 && commSize == 40 && Read32(data) == 1 && Read32(data + 4) == 0;
  handOver.PrivateAddress = Read64(data + 8);
  // The receiver reads the private record and the table now: the sender
  // releases the table once Communicate returns.
  if (handOver.Valid && AllocationHolding(handOver.PrivateAddress, 16) != nullptr) {
    const auto* record = reinterpret_cast<const UINT8*>(handOver.PrivateAddress);
    handOver.Locked = record[0];
    handOver.Closed = record[1];
    handOver.TableAddress = Read64(record + 8);
    const Allocation* table = AllocationHolding(handOver.TableAddress, 48);
    if (table != nullptr) {
      const auto* bytes = reinterpret_cast<const UINT8*>(handOver.TableAddress);
      handOver.TableHeader.assign(bytes, bytes + 48);
      handOver.TableSize = Read64(bytes + 32);
      const UINT64 nextFree = Read64(bytes + 40);
      if (AllocationHolding(handOver.TableAddress + nextFree, 2) != nullptr) {
        std::memcpy(&handOver.EndMarker, bytes + nextFree, 2);
      }
    }
  } else {
    handOver.Valid = false;
  }
  Smm().HandOvers.push_back(handOver);
  return handOver.Valid ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

}  // namespace

SmmSim::SmmSim() : commBuffer_(4096, 0) {
  Communication.Communicate = CommunicateThunk;
  Base2.InSmm = InSmmThunk;
  Base2.GetSmstLocation = GetSmstLocationThunk;
  Smst.Hdr.Signature = Signature32('S', 'M', 'S', 'T');
  Smst.Hdr.Revision = (1U << 16) | 40U;
  Smst.Hdr.HeaderSize = sizeof(EFI_SMM_SYSTEM_TABLE2);
  Smst.SmmInstallConfigurationTable = SmmInstallConfigurationTable;
  Smst.SmmAllocatePool = SmmAllocatePoolThunk;
  Smst.SmmFreePool = SmmFreePoolThunk;
  Smst.SmmAllocatePages = SmmAllocatePages;
  Smst.SmmFreePages = SmmFreePages;
  Smst.SmmStartupThisAp = SmmStartupThisAp;
  Smst.NumberOfCpus = 1;
  Smst.SmmInstallProtocolInterface = SmmInstallProtocolInterfaceThunk;
  Smst.SmmUninstallProtocolInterface = SmmUninstallProtocolInterface;
  Smst.SmmHandleProtocol = SmmHandleProtocol;
  Smst.SmmRegisterProtocolNotify = SmmRegisterProtocolNotifyThunk;
  Smst.SmmLocateHandle = SmmLocateHandle;
  Smst.SmmLocateProtocol = SmmLocateProtocolThunk;
  Smst.SmiManage = SmiManage;
  Smst.SmiHandlerRegister = SmiHandlerRegister;
  Smst.SmiHandlerUnRegister = SmiHandlerUnRegister;
  SetHandler(gFlashSmmServiceGuid, FlashService);
  SetHandler(gS3TableHandOverGuid, S3Receiver);
}

SmmSim::~SmmSim() {
  for (Notification* n : notifications_) {
    delete n;
  }
}

EFI_STATUS SmmSim::Communicate(void* buffer, UINTN* size) {
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto* bytes = static_cast<UINT8*>(buffer);
  SmmMessage message{};
  std::memcpy(&message.Guid, bytes, sizeof(EFI_GUID));
  const UINT64 messageLength = Read64(bytes + 16);
  message.CommSize = size != nullptr ? *size : 24 + messageLength;
  // Only sizes that fit the platform's buffer are read back.
  const UINTN recorded = std::min<UINTN>(message.CommSize, commBuffer_.size());
  message.Bytes.assign(bytes, bytes + recorded);
  auto handler = handlers_.find(message.Guid);
  if (handler == handlers_.end()) {
    message.Status = EFI_NOT_FOUND;
  } else if (messageLength > message.CommSize - std::min<UINTN>(message.CommSize, 24)) {
    message.Status = EFI_BAD_BUFFER_SIZE;
  } else {
    message.Status = handler->second(bytes + 24, messageLength, message.CommSize);
  }
  M().Note("SMM Communicate " + GuidToString(message.Guid) + ": " + StatusName(message.Status));
  Messages.push_back(std::move(message));
  return Messages.back().Status;
}

EFI_STATUS SmmSim::RegisterNotify(const EFI_GUID* guid, EFI_SMM_NOTIFY_FN fn, void** registration) {
  if (guid == nullptr || registration == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (fn == nullptr) {
    for (Notification* n : notifications_) {
      if (n == *registration && n->Active && n->Guid == *guid) {
        n->Active = false;
        return EFI_SUCCESS;
      }
    }
    return EFI_NOT_FOUND;
  }
  auto* n = new Notification{*guid, fn, true};
  notifications_.push_back(n);
  *registration = n;
  return EFI_SUCCESS;
}

EFI_STATUS SmmSim::InstallSmmProtocol(const EFI_GUID& guid, void* iface) {
  SmmProtocols.emplace_back(guid, iface);
  M().Note("SMM protocol installed " + GuidToString(guid));
  const std::vector<Notification*> current = notifications_;
  for (Notification* n : current) {
    if (n->Active && n->Guid == guid) {
      n->Function(&guid, iface, nullptr);
    }
  }
  return EFI_SUCCESS;
}

size_t SmmSim::ActiveNotifications(const EFI_GUID& guid) const {
  return static_cast<size_t>(std::count_if(notifications_.begin(), notifications_.end(),
                                           [&](const Notification* n) { return n->Active && n->Guid == guid; }));
}

}  // namespace ftpm::sim
