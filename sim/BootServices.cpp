// Boot services of the simulated platform: the handle and protocol database
// with notify registrations, events with task-priority levels and groups,
// pool and page memory with accounting, and configuration tables.
//
// Fault injection happens only in the thunks the firmware table points at, so
// the platform's own use of these services never shifts a test's count.
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/Machine.h"

namespace ftpm::sim {

struct SimHandle {
  std::vector<std::pair<EFI_GUID, void*>> Protocols;
  bool Alive = true;
};

struct SimEvent {
  UINT32 Type = 0;
  EFI_TPL Tpl = 0;
  EFI_EVENT_NOTIFY Notify = nullptr;
  void* Context = nullptr;
  bool InGroup = false;
  EFI_GUID Group{};
  bool Signaled = false;
  bool Queued = false;
  bool Closed = false;
  bool Internal = false;  // the platform's own (ConIn.WaitForKey)
};

struct Registration {
  EFI_GUID Guid{};
  SimEvent* Event = nullptr;
  std::vector<SimHandle*> Pending;
  bool Active = true;
};

namespace {

Machine& M() { return Machine::Current(); }
BootServicesSim& B() { return Machine::Current().boot; }

constexpr UINT8 kFreshMemoryPattern = 0xAF;

// Page allocations, mapped once per process and kept for the next machine.
// Mapping and unmapping pages costs the kernel page-table work each time,
// which a fuzz target booting thousands of machines a second spends most of
// its time on. A kept region is inaccessible until it is handed out again,
// so an access after FreePages or after the machine is gone still faults.
struct KeptPages {
  void* Pointer;
  size_t Size;
};
constexpr size_t kKeptPagesLimit = 64;

std::vector<KeptPages>& Kept() {
  static std::vector<KeptPages> kept;
  return kept;
}

void* MapPages(size_t size, bool low) {
  auto& kept = Kept();
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {  // the last one kept first
    const bool below2G = reinterpret_cast<uintptr_t>(it->Pointer) + it->Size <= 0x80000000ULL;
    if (it->Size == size && (below2G || !low)) {
      void* p = it->Pointer;
      kept.erase(std::next(it).base());
      if (mprotect(p, size, PROT_READ | PROT_WRITE) == 0) {
        return p;
      }
      munmap(p, size);
      break;
    }
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | (low ? MAP_32BIT : 0), -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void UnmapPages(void* p, size_t size) {
  auto& kept = Kept();
  if (kept.size() < kKeptPagesLimit && mprotect(p, size, PROT_NONE) == 0) {
    kept.push_back({p, size});
    return;
  }
  munmap(p, size);
}

bool ValidPoolType(EFI_MEMORY_TYPE type) {
  const auto t = static_cast<UINT32>(type);
  if (t >= 0x70000000U) {
    return true;  // OEM and OS ranges
  }
  return t < EfiMaxMemoryType && type != EfiConventionalMemory && type != EfiPersistentMemory &&
         type != EfiUnacceptedMemoryType;
}

// --- Thunks: the functions the EFI_BOOT_SERVICES table points at ----------

EFI_TPL EFIAPI RaiseTplThunk(EFI_TPL tpl) { return B().Raise(tpl); }
VOID EFIAPI RestoreTplThunk(EFI_TPL tpl) { B().Restore(tpl); }

EFI_STATUS EFIAPI AllocatePagesThunk(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                                     EFI_PHYSICAL_ADDRESS* memory) {
  if (auto failure = M().faults.Tick(Op::AllocatePages, std::to_string(memoryType) + " " + std::to_string(pages))) {
    return *failure;
  }
  return B().AllocatePages(type, memoryType, pages, memory);
}

EFI_STATUS EFIAPI FreePagesThunk(EFI_PHYSICAL_ADDRESS memory, UINTN pages) { return B().FreePages(memory, pages); }

EFI_STATUS EFIAPI GetMemoryMapThunk(UINTN*, EFI_MEMORY_DESCRIPTOR*, UINTN*, UINTN*, UINT32*) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI AllocatePoolThunk(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
  if (auto failure = M().faults.Tick(Op::AllocatePool, std::to_string(type) + " " + std::to_string(size))) {
    return *failure;
  }
  return B().AllocatePool(type, size, buffer);
}

EFI_STATUS EFIAPI FreePoolThunk(VOID* buffer) { return B().FreePool(buffer); }

EFI_STATUS EFIAPI CreateEventThunk(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, VOID* ctx, EFI_EVENT* event) {
  if (auto failure = M().faults.Tick(Op::CreateEvent)) {
    return *failure;
  }
  return B().CreateEvent(type, tpl, fn, ctx, nullptr, event);
}

EFI_STATUS EFIAPI CreateEventExThunk(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, const VOID* ctx,
                                     const EFI_GUID* group, EFI_EVENT* event) {
  if (auto failure = M().faults.Tick(Op::CreateEvent)) {
    return *failure;
  }
  return B().CreateEvent(type, tpl, fn, ctx, group, event);
}

EFI_STATUS EFIAPI SetTimerThunk(EFI_EVENT, EFI_TIMER_DELAY, UINT64) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI WaitForEventThunk(UINTN n, EFI_EVENT* events, UINTN* index) { return B().WaitFor(n, events, index); }
EFI_STATUS EFIAPI SignalEventThunk(EFI_EVENT event) { return B().Signal(event); }
EFI_STATUS EFIAPI CloseEventThunk(EFI_EVENT event) { return B().Close(event); }
EFI_STATUS EFIAPI CheckEventThunk(EFI_EVENT event) { return B().Check(event); }

EFI_STATUS EFIAPI InstallProtocolInterfaceThunk(EFI_HANDLE* handle, const EFI_GUID* guid, EFI_INTERFACE_TYPE type,
                                                VOID* iface) {
  if (auto failure =
          M().faults.Tick(Op::InstallProtocolInterface, guid != nullptr ? GuidToString(*guid) : std::string())) {
    return *failure;
  }
  if (guid == nullptr || type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  const EFI_STATUS status = B().Install(handle, *guid, iface);
  M().Note("InstallProtocolInterface " + GuidToString(*guid) + ": " + StatusName(status));
  return status;
}

EFI_STATUS EFIAPI ReinstallProtocolInterfaceThunk(EFI_HANDLE handle, const EFI_GUID* guid, VOID* oldIface,
                                                  VOID* newIface) {
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return B().Reinstall(handle, *guid, oldIface, newIface);
}

EFI_STATUS EFIAPI UninstallProtocolInterfaceThunk(EFI_HANDLE handle, const EFI_GUID* guid, VOID* iface) {
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return B().Uninstall(handle, *guid, iface);
}

EFI_STATUS EFIAPI HandleProtocolThunk(EFI_HANDLE handle, const EFI_GUID* guid, VOID** iface) {
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return B().HandleProtocol(handle, *guid, iface);
}

EFI_STATUS EFIAPI RegisterProtocolNotifyThunk(const EFI_GUID* guid, EFI_EVENT event, VOID** registration) {
  if (auto failure =
          M().faults.Tick(Op::RegisterProtocolNotify, guid != nullptr ? GuidToString(*guid) : std::string())) {
    return *failure;
  }
  if (guid == nullptr || registration == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return B().RegisterNotify(*guid, event, registration);
}

EFI_STATUS EFIAPI LocateHandleThunk(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, VOID* key, UINTN* size,
                                    EFI_HANDLE* buffer) {
  if (size == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<EFI_HANDLE> found;
  if (type == ByProtocol) {
    if (guid == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    found = B().HandlesWith(*guid);
  } else if (type == AllHandles) {
    for (EFI_HANDLE h : B().HandlesWith(EFI_GUID{})) {
      found.push_back(h);
    }
  } else {
    (void)key;
    return EFI_UNSUPPORTED;
  }
  if (found.empty()) {
    return EFI_NOT_FOUND;
  }
  const UINTN need = found.size() * sizeof(EFI_HANDLE);
  if (*size < need || buffer == nullptr) {
    *size = need;
    return EFI_BUFFER_TOO_SMALL;
  }
  *size = need;
  std::copy(found.begin(), found.end(), buffer);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateDevicePathThunk(const EFI_GUID*, EFI_DEVICE_PATH_PROTOCOL**, EFI_HANDLE*) {
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI InstallConfigurationTableThunk(const EFI_GUID* guid, VOID* table) {
  if (auto failure =
          M().faults.Tick(Op::InstallConfigurationTable, guid != nullptr ? GuidToString(*guid) : std::string())) {
    return *failure;
  }
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return B().InstallConfigurationTable(*guid, table);
}

EFI_STATUS EFIAPI LoadImageThunk(BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL*, VOID*, UINTN, EFI_HANDLE*) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI StartImageThunk(EFI_HANDLE, UINTN*, CHAR16**) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI ExitThunk(EFI_HANDLE, EFI_STATUS, UINTN, CHAR16*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI UnloadImageThunk(EFI_HANDLE) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI ExitBootServicesThunk(EFI_HANDLE, UINTN) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI GetNextMonotonicCountThunk(UINT64* count) {
  static UINT64 counter = 0;
  if (count == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *count = ++counter;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI StallThunk(UINTN microseconds) {
  M().cpu.Advance(static_cast<UINT64>(microseconds) * (M().cpu.TscHz / 1000000));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetWatchdogTimerThunk(UINTN timeout, UINT64, UINTN, CHAR16*) {
  B().WatchdogTimeout = timeout;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI ConnectControllerThunk(EFI_HANDLE, EFI_HANDLE*, EFI_DEVICE_PATH_PROTOCOL*, BOOLEAN) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI DisconnectControllerThunk(EFI_HANDLE, EFI_HANDLE, EFI_HANDLE) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI OpenProtocolThunk(EFI_HANDLE handle, const EFI_GUID* guid, VOID** iface, EFI_HANDLE, EFI_HANDLE,
                                    UINT32) {
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return B().HandleProtocol(handle, *guid, iface);
}

EFI_STATUS EFIAPI CloseProtocolThunk(EFI_HANDLE, const EFI_GUID*, EFI_HANDLE, EFI_HANDLE) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI OpenProtocolInformationThunk(EFI_HANDLE, const EFI_GUID*, EFI_OPEN_PROTOCOL_INFORMATION_ENTRY**,
                                               UINTN*) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI ProtocolsPerHandleThunk(EFI_HANDLE, EFI_GUID***, UINTN*) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI LocateHandleBufferThunk(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, VOID* key, UINTN* count,
                                          EFI_HANDLE** buffer) {
  if (count == nullptr || buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  UINTN size = 0;
  EFI_STATUS status = LocateHandleThunk(type, guid, key, &size, nullptr);
  if (status != EFI_BUFFER_TOO_SMALL) {
    return status;
  }
  void* memory = nullptr;
  status = B().AllocatePool(EfiBootServicesData, size, &memory);
  if (EFI_ERROR(status)) {
    return status;
  }
  status = LocateHandleThunk(type, guid, key, &size, static_cast<EFI_HANDLE*>(memory));
  *buffer = static_cast<EFI_HANDLE*>(memory);
  *count = size / sizeof(EFI_HANDLE);
  return status;
}

EFI_STATUS EFIAPI LocateProtocolThunk(const EFI_GUID* guid, VOID* registration, VOID** iface) {
  if (guid == nullptr || iface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  B().LocateLog.push_back(*guid);
  const bool failed =
      M().faults.Tick(Op::LocateProtocol, GuidToString(*guid)).has_value() || M().faults.LocateFails(*guid);
  if (failed) {
    *iface = nullptr;
    return EFI_NOT_FOUND;
  }
  return B().Locate(*guid, registration, iface);
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfacesThunk(EFI_HANDLE* handle, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, handle);
  EFI_STATUS status = EFI_SUCCESS;
  for (;;) {
    const EFI_GUID* guid = __builtin_va_arg(args, const EFI_GUID*);
    if (guid == nullptr) {
      break;
    }
    void* iface = __builtin_va_arg(args, void*);
    status = InstallProtocolInterfaceThunk(handle, guid, EFI_NATIVE_INTERFACE, iface);
    if (EFI_ERROR(status)) {
      break;
    }
  }
  __builtin_ms_va_end(args);
  return status;
}

EFI_STATUS EFIAPI UninstallMultipleProtocolInterfacesThunk(EFI_HANDLE handle, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, handle);
  EFI_STATUS status = EFI_SUCCESS;
  for (;;) {
    const EFI_GUID* guid = __builtin_va_arg(args, const EFI_GUID*);
    if (guid == nullptr) {
      break;
    }
    void* iface = __builtin_va_arg(args, void*);
    status = B().Uninstall(handle, *guid, iface);
    if (EFI_ERROR(status)) {
      break;
    }
  }
  __builtin_ms_va_end(args);
  return status;
}

EFI_STATUS EFIAPI CalculateCrc32Thunk(VOID* data, UINTN size, UINT32* crc) {
  if (data == nullptr || size == 0 || crc == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  UINT32 value = 0xFFFFFFFF;
  const auto* p = static_cast<const UINT8*>(data);
  for (UINTN i = 0; i < size; ++i) {
    value ^= p[i];
    for (int bit = 0; bit < 8; ++bit) {
      value = (value >> 1) ^ (0xEDB88320U & (0U - (value & 1U)));
    }
  }
  *crc = ~value;
  return EFI_SUCCESS;
}

VOID EFIAPI CopyMemThunk(VOID* destination, VOID* source, UINTN length) { std::memmove(destination, source, length); }
VOID EFIAPI SetMemThunk(VOID* buffer, UINTN size, UINT8 value) { std::memset(buffer, value, size); }

}  // namespace

// ---------------------------------------------------------------------------

BootServicesSim::BootServicesSim() {
  Table.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  Table.Hdr.Revision = (2U << 16) | 70U;
  Table.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  Table.RaiseTPL = RaiseTplThunk;
  Table.RestoreTPL = RestoreTplThunk;
  Table.AllocatePages = AllocatePagesThunk;
  Table.FreePages = FreePagesThunk;
  Table.GetMemoryMap = GetMemoryMapThunk;
  Table.AllocatePool = AllocatePoolThunk;
  Table.FreePool = FreePoolThunk;
  Table.CreateEvent = CreateEventThunk;
  Table.SetTimer = SetTimerThunk;
  Table.WaitForEvent = WaitForEventThunk;
  Table.SignalEvent = SignalEventThunk;
  Table.CloseEvent = CloseEventThunk;
  Table.CheckEvent = CheckEventThunk;
  Table.InstallProtocolInterface = InstallProtocolInterfaceThunk;
  Table.ReinstallProtocolInterface = ReinstallProtocolInterfaceThunk;
  Table.UninstallProtocolInterface = UninstallProtocolInterfaceThunk;
  Table.HandleProtocol = HandleProtocolThunk;
  Table.RegisterProtocolNotify = RegisterProtocolNotifyThunk;
  Table.LocateHandle = LocateHandleThunk;
  Table.LocateDevicePath = LocateDevicePathThunk;
  Table.InstallConfigurationTable = InstallConfigurationTableThunk;
  Table.LoadImage = LoadImageThunk;
  Table.StartImage = StartImageThunk;
  Table.Exit = ExitThunk;
  Table.UnloadImage = UnloadImageThunk;
  Table.ExitBootServices = ExitBootServicesThunk;
  Table.GetNextMonotonicCount = GetNextMonotonicCountThunk;
  Table.Stall = StallThunk;
  Table.SetWatchdogTimer = SetWatchdogTimerThunk;
  Table.ConnectController = ConnectControllerThunk;
  Table.DisconnectController = DisconnectControllerThunk;
  Table.OpenProtocol = OpenProtocolThunk;
  Table.CloseProtocol = CloseProtocolThunk;
  Table.OpenProtocolInformation = OpenProtocolInformationThunk;
  Table.ProtocolsPerHandle = ProtocolsPerHandleThunk;
  Table.LocateHandleBuffer = LocateHandleBufferThunk;
  Table.LocateProtocol = LocateProtocolThunk;
  Table.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfacesThunk;
  Table.UninstallMultipleProtocolInterfaces = UninstallMultipleProtocolInterfacesThunk;
  Table.CalculateCrc32 = CalculateCrc32Thunk;
  Table.CopyMem = CopyMemThunk;
  Table.SetMem = SetMemThunk;
  Table.CreateEventEx = CreateEventExThunk;
}

BootServicesSim::~BootServicesSim() {
  for (auto& [pointer, allocation] : allocations_) {
    if (allocation.Pages) {
      UnmapPages(const_cast<void*>(pointer), allocation.Size);
    } else {
      std::free(const_cast<void*>(pointer));
    }
  }
  for (SimHandle* h : handles_) {
    delete h;
  }
  for (SimEvent* e : events_) {
    delete e;
  }
  for (Registration* r : registrations_) {
    delete r;
  }
}

// --- Protocol database -------------------------------------------------------

SimHandle* BootServicesSim::LookupHandle(EFI_HANDLE handle) const {
  auto* h = static_cast<SimHandle*>(handle);
  if (h == nullptr || std::find(handles_.begin(), handles_.end(), h) == handles_.end() || !h->Alive) {
    return nullptr;
  }
  return h;
}

EFI_HANDLE BootServicesSim::NewHandle() {
  auto* h = new SimHandle;
  handles_.push_back(h);
  return h;
}

EFI_STATUS BootServicesSim::Install(EFI_HANDLE* handle, const EFI_GUID& guid, void* iface) {
  if (handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  SimHandle* h = nullptr;
  if (*handle == nullptr) {
    h = static_cast<SimHandle*>(NewHandle());
  } else {
    h = LookupHandle(*handle);
    if (h == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    for (auto& [g, i] : h->Protocols) {
      if (g == guid) {
        return EFI_INVALID_PARAMETER;  // already on this handle
      }
    }
  }
  h->Protocols.emplace_back(guid, iface);
  *handle = h;
  NotifyInstalled(h, guid);
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::Reinstall(EFI_HANDLE handle, const EFI_GUID& guid, void* oldIface, void* newIface) {
  SimHandle* h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (auto& [g, i] : h->Protocols) {
    if (g == guid && i == oldIface) {
      i = newIface;
      NotifyInstalled(h, guid);
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS BootServicesSim::Uninstall(EFI_HANDLE handle, const EFI_GUID& guid, void* iface) {
  SimHandle* h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (auto it = h->Protocols.begin(); it != h->Protocols.end(); ++it) {
    if (it->first == guid && it->second == iface) {
      h->Protocols.erase(it);
      if (h->Protocols.empty()) {
        h->Alive = false;
      }
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS BootServicesSim::HandleProtocol(EFI_HANDLE handle, const EFI_GUID& guid, void** iface) {
  if (iface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *iface = nullptr;
  SimHandle* h = LookupHandle(handle);
  if (h == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (auto& [g, i] : h->Protocols) {
    if (g == guid) {
      *iface = i;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS BootServicesSim::Locate(const EFI_GUID& guid, void* registration, void** iface) {
  if (registration != nullptr) {
    auto* r = static_cast<Registration*>(registration);
    if (std::find(registrations_.begin(), registrations_.end(), r) == registrations_.end()) {
      return EFI_NOT_FOUND;
    }
    while (!r->Pending.empty()) {
      SimHandle* h = r->Pending.front();
      r->Pending.erase(r->Pending.begin());
      if (h->Alive && HandleProtocol(h, guid, iface) == EFI_SUCCESS) {
        return EFI_SUCCESS;
      }
    }
    *iface = nullptr;
    return EFI_NOT_FOUND;
  }
  for (SimHandle* h : handles_) {
    if (!h->Alive) {
      continue;
    }
    for (auto& [g, i] : h->Protocols) {
      if (g == guid) {
        *iface = i;
        return EFI_SUCCESS;
      }
    }
  }
  *iface = nullptr;
  return EFI_NOT_FOUND;
}

void* BootServicesSim::Find(const EFI_GUID& guid) const {
  for (SimHandle* h : handles_) {
    if (!h->Alive) {
      continue;
    }
    for (auto& [g, i] : h->Protocols) {
      if (g == guid) {
        return i;
      }
    }
  }
  return nullptr;
}

std::vector<EFI_HANDLE> BootServicesSim::HandlesWith(const EFI_GUID& guid) const {
  static const EFI_GUID kAny{};
  std::vector<EFI_HANDLE> out;
  for (SimHandle* h : handles_) {
    if (!h->Alive) {
      continue;
    }
    for (auto& [g, i] : h->Protocols) {
      if (guid == kAny || g == guid) {
        out.push_back(h);
        break;
      }
    }
  }
  return out;
}

bool BootServicesSim::HandleHas(EFI_HANDLE handle, const EFI_GUID& guid) const {
  SimHandle* h = LookupHandle(handle);
  if (h == nullptr) {
    return false;
  }
  return std::any_of(h->Protocols.begin(), h->Protocols.end(), [&](const auto& p) { return p.first == guid; });
}

EFI_STATUS BootServicesSim::RegisterNotify(const EFI_GUID& guid, EFI_EVENT event, void** registration) {
  SimEvent* e = Lookup(event);
  if (e == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto* r = new Registration;
  r->Guid = guid;
  r->Event = e;
  registrations_.push_back(r);
  *registration = r;
  return EFI_SUCCESS;
}

size_t BootServicesSim::RegistrationsFor(const EFI_GUID& guid) const {
  return static_cast<size_t>(std::count_if(registrations_.begin(), registrations_.end(),
                                           [&](const Registration* r) { return r->Active && r->Guid == guid; }));
}

void BootServicesSim::NotifyInstalled(SimHandle* handle, const EFI_GUID& guid) {
  // Copy: a notify function may register further notifications.
  const std::vector<Registration*> current = registrations_;
  for (Registration* r : current) {
    if (r->Active && r->Guid == guid) {
      r->Pending.push_back(handle);
      Signal(r->Event);
    }
  }
}

// --- Events and task priority -------------------------------------------------

SimEvent* BootServicesSim::Lookup(EFI_EVENT event) const {
  auto* e = static_cast<SimEvent*>(event);
  if (e == nullptr || std::find(events_.begin(), events_.end(), e) == events_.end() || e->Closed) {
    return nullptr;
  }
  return e;
}

bool BootServicesSim::IsOpen(EFI_EVENT event) const { return Lookup(event) != nullptr; }

size_t BootServicesSim::OpenEvents() const {
  return static_cast<size_t>(
      std::count_if(events_.begin(), events_.end(), [](const SimEvent* e) { return !e->Closed && !e->Internal; }));
}

EFI_STATUS BootServicesSim::CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, const void* ctx,
                                        const EFI_GUID* group, EFI_EVENT* event) {
  if (event == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const bool notifies = (type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0;
  if (notifies) {
    if (fn == nullptr || tpl <= TPL_APPLICATION || tpl >= TPL_HIGH_LEVEL) {
      return EFI_INVALID_PARAMETER;
    }
  }
  if ((type & EVT_NOTIFY_SIGNAL) != 0 && (type & EVT_NOTIFY_WAIT) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  auto* e = new SimEvent;
  e->Type = type;
  e->Tpl = tpl;
  e->Notify = fn;
  e->Context = const_cast<void*>(ctx);
  if (group != nullptr) {
    e->InGroup = true;
    e->Group = *group;
  }
  events_.push_back(e);
  *event = e;
  return EFI_SUCCESS;
}

EFI_EVENT BootServicesSim::CreatePlatformEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, void* ctx) {
  EFI_EVENT event = nullptr;
  if (CreateEvent(type, tpl, fn, ctx, nullptr, &event) == EFI_SUCCESS) {
    static_cast<SimEvent*>(event)->Internal = true;
  }
  return event;
}

EFI_STATUS BootServicesSim::Signal(EFI_EVENT event) {
  SimEvent* e = Lookup(event);
  if (e == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<SimEvent*> targets;
  if (e->InGroup) {
    for (SimEvent* other : events_) {
      if (!other->Closed && other->InGroup && other->Group == e->Group) {
        targets.push_back(other);
      }
    }
  } else {
    targets.push_back(e);
  }
  for (SimEvent* t : targets) {
    t->Signaled = true;
    if ((t->Type & EVT_NOTIFY_SIGNAL) != 0) {
      t->Queued = true;
    }
  }
  DispatchPending(CurrentTpl);
  return EFI_SUCCESS;
}

void BootServicesSim::SignalGroup(const EFI_GUID& group) {
  M().Note("signal event group " + GuidToString(group));
  for (SimEvent* e : events_) {
    if (!e->Closed && e->InGroup && e->Group == group) {
      Signal(e);
      return;  // signalling one member signals the whole group
    }
  }
}

void BootServicesSim::DispatchPending(EFI_TPL above) {
  for (;;) {
    SimEvent* next = nullptr;
    for (SimEvent* e : events_) {
      if (e->Queued && !e->Closed && e->Tpl > above && (next == nullptr || e->Tpl > next->Tpl)) {
        next = e;
      }
    }
    if (next == nullptr) {
      return;
    }
    next->Queued = false;
    next->Signaled = false;
    const EFI_TPL saved = CurrentTpl;
    CurrentTpl = next->Tpl;
    next->Notify(next, next->Context);
    CurrentTpl = saved;
  }
}

EFI_STATUS BootServicesSim::Close(EFI_EVENT event) {
  ++CloseCalls;
  SimEvent* e = Lookup(event);
  if (e == nullptr) {
    ++FailedCloseCalls;
    return EFI_INVALID_PARAMETER;
  }
  e->Closed = true;
  e->Queued = false;
  for (Registration* r : registrations_) {
    if (r->Event == e) {
      r->Active = false;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::Check(EFI_EVENT event) {
  SimEvent* e = Lookup(event);
  if (e == nullptr || (e->Type & EVT_NOTIFY_SIGNAL) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (!e->Signaled && (e->Type & EVT_NOTIFY_WAIT) != 0 && e->Notify != nullptr) {
    const EFI_TPL saved = CurrentTpl;
    CurrentTpl = e->Tpl;
    e->Notify(e, e->Context);
    CurrentTpl = saved;
  }
  if (e->Signaled) {
    e->Signaled = false;
    return EFI_SUCCESS;
  }
  return EFI_NOT_READY;
}

EFI_STATUS BootServicesSim::WaitFor(UINTN count, EFI_EVENT* events, UINTN* index) {
  if (count == 0 || events == nullptr || index == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (CurrentTpl != TPL_APPLICATION) {
    return EFI_UNSUPPORTED;
  }
  for (UINTN i = 0; i < count; ++i) {
    const EFI_STATUS status = Check(events[i]);
    if (status == EFI_SUCCESS) {
      *index = i;
      return EFI_SUCCESS;
    }
    if (status != EFI_NOT_READY) {
      *index = i;
      return status;
    }
  }
  // Nothing runs concurrently in the simulation: what is not signalled now
  // never will be.
  for (UINTN i = 0; i < count; ++i) {
    if (events[i] == M().console.ConIn.WaitForKey) {
      M().Stop(StopReason::KeysExhausted, "WaitForEvent on ConIn.WaitForKey with no key left");
    }
  }
  M().Stop(StopReason::SpinLimit, "WaitForEvent would wait for ever");
}

EFI_TPL BootServicesSim::Raise(EFI_TPL tpl) {
  const EFI_TPL old = CurrentTpl;
  if (tpl > CurrentTpl) {
    CurrentTpl = tpl;
  }
  return old;
}

void BootServicesSim::Restore(EFI_TPL tpl) {
  CurrentTpl = tpl;
  DispatchPending(CurrentTpl);
}

// --- Memory ---------------------------------------------------------------------

EFI_STATUS BootServicesSim::AllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer, bool smram) {
  if (buffer == nullptr || !ValidPoolType(type)) {
    return EFI_INVALID_PARAMETER;
  }
  void* p = size > AllocationLimit ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::memset(p, kFreshMemoryPattern, size);
  allocations_[p] = Allocation{type, size, false, smram};
  if (!smram) {
    PoolBytesAllocated += size;
  }
  *buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::FreePool(void* buffer, bool smram) {
  auto it = allocations_.find(buffer);
  if (buffer == nullptr || it == allocations_.end() || it->second.Pages || it->second.Smram != smram) {
    char text[96];
    std::snprintf(text, sizeof text, "%s of %p, which is not allocated pool", smram ? "SmmFreePool" : "FreePool",
                  buffer);
    MemoryErrors.emplace_back(text);
    return EFI_INVALID_PARAMETER;
  }
  allocations_.erase(it);
  std::free(buffer);
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                                          EFI_PHYSICAL_ADDRESS* memory) {
  if (memory == nullptr || !ValidPoolType(memoryType) || type >= MaxAllocateType) {
    return EFI_INVALID_PARAMETER;
  }
  if (pages == 0) {
    return EFI_NOT_FOUND;
  }
  if (type == AllocateAddress) {
    return EFI_NOT_FOUND;  // the simulation cannot place memory at a chosen address
  }
  if (pages > AllocationLimit / EFI_PAGE_SIZE) {
    return EFI_OUT_OF_RESOURCES;
  }
  const UINTN size = pages * EFI_PAGE_SIZE;
  const bool low = type == AllocateMaxAddress && *memory <= 0xFFFFFFFFULL;  // MAP_32BIT: below 2 GiB
  void* p = MapPages(size, low);
  if (p == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  const auto address = reinterpret_cast<EFI_PHYSICAL_ADDRESS>(p);
  if (type == AllocateMaxAddress && address + size - 1 > *memory) {
    UnmapPages(p, size);
    return EFI_NOT_FOUND;
  }
  std::memset(p, kFreshMemoryPattern, size);
  allocations_[p] = Allocation{memoryType, size, true, false};
  *memory = address;
  return EFI_SUCCESS;
}

EFI_STATUS BootServicesSim::FreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
  auto* p = reinterpret_cast<void*>(memory);
  auto it = allocations_.find(p);
  if (it == allocations_.end() || !it->second.Pages || it->second.Size != pages * EFI_PAGE_SIZE) {
    char text[96];
    std::snprintf(text, sizeof text, "FreePages of %p (%zu pages), which is not allocated", p,
                  static_cast<size_t>(pages));
    MemoryErrors.emplace_back(text);
    return EFI_NOT_FOUND;
  }
  UnmapPages(p, it->second.Size);
  allocations_.erase(it);
  return EFI_SUCCESS;
}

std::vector<std::string> BootServicesSim::OutstandingReport() const {
  std::vector<std::string> report;
  for (const auto& [pointer, allocation] : allocations_) {
    char text[128];
    std::snprintf(text, sizeof text, "%s%s type %u, %zu bytes at %p", allocation.Pages ? "pages" : "pool",
                  allocation.Smram ? " (SMRAM)" : "", static_cast<unsigned>(allocation.Type),
                  static_cast<size_t>(allocation.Size), pointer);
    report.emplace_back(text);
  }
  return report;
}

std::map<EFI_MEMORY_TYPE, UINTN> BootServicesSim::OutstandingByType(bool smram) const {
  std::map<EFI_MEMORY_TYPE, UINTN> out;
  for (const auto& [pointer, allocation] : allocations_) {
    if (allocation.Smram == smram) {
      out[allocation.Type] += allocation.Size;
    }
  }
  return out;
}

// --- Configuration tables --------------------------------------------------------

EFI_STATUS BootServicesSim::InstallConfigurationTable(const EFI_GUID& guid, void* table) {
  auto it = std::find_if(configTables_.begin(), configTables_.end(),
                         [&](const EFI_CONFIGURATION_TABLE& t) { return t.VendorGuid == guid; });
  if (table == nullptr) {
    if (it == configTables_.end()) {
      return EFI_NOT_FOUND;
    }
    configTables_.erase(it);
  } else if (it != configTables_.end()) {
    it->VendorTable = table;
  } else {
    configTables_.push_back(EFI_CONFIGURATION_TABLE{guid, table});
  }
  EFI_SYSTEM_TABLE& st = M().SystemTable;
  st.NumberOfTableEntries = configTables_.size();
  st.ConfigurationTable = configTables_.empty() ? nullptr : configTables_.data();
  return EFI_SUCCESS;
}

void* BootServicesSim::ConfigurationTable(const EFI_GUID& guid) const {
  for (const auto& t : configTables_) {
    if (t.VendorGuid == guid) {
      return t.VendorTable;
    }
  }
  return nullptr;
}

}  // namespace ftpm::sim
