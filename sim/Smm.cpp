// SMM as the simulated platform offers it: the communication protocol that
// hands a buffer to a handler chosen by the header GUID, two handlers (the
// flash service that really erases the simulated flash and the S3 hand-over
// receiver), and the SMM base protocol with its system table for code that
// runs "inside SMRAM".
#include <cstring>

#include "reference/FlashService.h"
#include "reference/S3Receiver.h"
#include "sim/Machine.h"

namespace ftpm::sim {

namespace {

Machine& M() { return Machine::Current(); }
SmmSim& Smm() { return Machine::Current().smm; }

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

// --- The flash service and the S3 receiver: the reference platform's -----------------

// The erase device under the flash service: this machine's flash in 4 KiB
// blocks (a range that starts or ends inside one erases only its part of
// it, for the byte-granular map of the driver's own tests), with its faults
// and the power supply's cuts, one persistent write a block.
bool EraseRange(void* /*context*/, UINT64 offset, UINT64 length) {
  Machine& m = M();
  for (UINT64 at = offset, end = offset + length; at < end;) {
    const UINT64 block = at & ~(Flash::kPageSize - 1);
    const UINT64 n = std::min(end, block + Flash::kPageSize) - at;
    if (m.smm.FailingBlocks.count(block) != 0) {
      return false;
    }
    if (m.power.Begin("erase-block", block)) {
      m.flash.Erase(at, n / 2);
      m.power.LoseMidWrite();
    }
    m.flash.Erase(at, n);
    if (m.smm.StuckBlocks.count(block) != 0) {
      const UINT8 stuck = 0;
      m.flash.Write(at + n / 2, &stuck, 1);
    }
    m.power.End();
    at += n;
  }
  return true;
}

bool ReadsErased(void* /*context*/, UINT64 offset, UINT64 length) { return M().flash.IsErased(offset, length); }

// The platform's communication buffer: where SmmCommBufferAddress points,
// as large as the machine's own buffer or the allocation that holds it; a
// test's own memory is taken as large as the message.
std::pair<UINT64, UINT64> CommBufferNow(UINTN commSize) {
  Machine& m = M();
  const UINT64 address = m.settings.GetGuided(gSmmCommBufferTokenSpaceGuid, kSmmCommBufferToken);
  if (address == reinterpret_cast<UINT64>(m.smm.CommBuffer())) {
    return {address, m.smm.CommBufferSize()};
  }
  for (const auto& [pointer, allocation] : m.boot.Outstanding()) {
    const auto start = reinterpret_cast<UINT64>(pointer);
    if (address >= start && address - start < allocation.Size) {
      return {address, allocation.Size - (address - start)};
    }
  }
  return {address, commSize};
}

// Handlers get Data; the message (and its header) starts 24 bytes before.
constexpr UINTN kHeaderSize = offsetof(EFI_SMM_COMMUNICATE_HEADER, Data);

EFI_STATUS FlashService(UINT8* data, UINTN /*messageLength*/, UINTN commSize) {
  Machine& m = M();
  SmmSim& smm = m.smm;
  const auto [buffer, bufferSize] = CommBufferNow(commSize);
  const reference::FlashService service{&smm.FlashMap, {EraseRange, ReadsErased, nullptr}, buffer, bufferSize, FALSE};
  EraseRequest request{Read64(data + 8), Read64(data + 16), false, reference::EraseVerdict::BadForm, EFI_SUCCESS};
  // Recorded before the erase, so that a cut in the middle still shows it.
  smm.EraseRequests.push_back(request);
  const reference::EraseReply reply = ServeFlashErase(service, data - kHeaderSize, commSize);
  EraseRequest& recorded = smm.EraseRequests.back();
  recorded.Verdict = reply.Verdict;
  recorded.Status = reply.Status;
  recorded.Valid =
      reply.Verdict == reference::EraseVerdict::Erased || reply.Verdict >= reference::EraseVerdict::NotFlashAddress;
  if (!recorded.Valid) {
    return reply.Status;
  }
  if (reply.Verdict == reference::EraseVerdict::Erased) {
    m.Note("SMM flash service erased " + std::to_string(reply.Size) + " bytes at offset " +
           std::to_string(reply.Offset));
    if (smm.OnVerifiedErase) {
      smm.OnVerifiedErase(reply, service.Device);
    }
  } else {
    m.Note(std::string("SMM flash service refused: ") + EraseVerdictName(reply.Verdict));
  }
  if (smm.RewriteSize) {
    std::memcpy(data + 16, &*smm.RewriteSize, 8);
  }
  return smm.EraseStatus.value_or(reply.Status);
}

bool MachineMemory(void* /*context*/, UINT64 address, UINT64 length) {
  return AllocationHolding(address, length) != nullptr;
}

EFI_STATUS S3Receiver(UINT8* data, UINTN /*messageLength*/, UINTN commSize) {
  const auto [buffer, bufferSize] = CommBufferNow(commSize);
  const reference::S3Receipt receipt = reference::ReceiveS3HandOver(data - kHeaderSize, commSize, buffer, bufferSize,
                                                                    reference::MemoryCheck{MachineMemory, nullptr});
  S3HandOver handOver{};
  handOver.PrivateAddress = receipt.Record;
  // As the driver's tests know it: the message in its form, naming a record
  // of the platform's memory.
  handOver.Valid =
      receipt.FormOk != FALSE && std::strcmp(receipt.Reason != nullptr ? receipt.Reason : "", "record-unreadable") != 0;
  handOver.Locked = receipt.Locked;
  handOver.Closed = receipt.Closed;
  handOver.TableAddress = receipt.Table;
  if (receipt.Status == EFI_SUCCESS) {
    handOver.TableHeader.assign(receipt.TableHeader, receipt.TableHeader + sizeof(receipt.TableHeader));
    handOver.TableSize = receipt.TableSize;
    handOver.EndMarker = receipt.HaveEndMarker != FALSE ? receipt.EndMarker : 0;
  }
  Smm().HandOvers.push_back(handOver);
  return receipt.Status;
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

reference::FlashMap UnrestrictedFlashMap() {
  reference::FlashMap map{};
  map.EraseBlockSize = 1;
  map.DeviceSize = kFlashSize;
  map.Nvram[0][0] = reference::FlashRange{0, kFlashSize};
  return map;
}

}  // namespace ftpm::sim
