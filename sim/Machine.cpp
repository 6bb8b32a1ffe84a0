#include "sim/Machine.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "driver/RecoveryProtocol.h"
#include "sim/DriverImage.h"

bool operator==(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool operator<(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof a) < 0; }

namespace ftpm::sim {

namespace {
Machine* gCurrent = nullptr;
}  // namespace

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

std::string GuidToString(const EFI_GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string StatusName(EFI_STATUS status) {
  static const char* const kErrors[] = {"Success",          "Load Error",           "Invalid Parameter",
                                        "Unsupported",      "Bad Buffer Size",      "Buffer Too Small",
                                        "Not Ready",        "Device Error",         "Write Protected",
                                        "Out of Resources", "Volume Corrupt",       "Volume Full",
                                        "No Media",         "Media changed",        "Not Found",
                                        "Access Denied",    "No Response",          "No mapping",
                                        "Time out",         "Not started",          "Already started",
                                        "Aborted",          "ICMP Error",           "TFTP Error",
                                        "Protocol Error",   "Incompatible Version", "Security Violation",
                                        "CRC Error",        "End of Media",         "Reserved (29)",
                                        "Reserved (30)",    "End of File",          "Invalid Language",
                                        "Compromised Data"};
  static const char* const kWarnings[] = {"Success",
                                          "Warning Unknown Glyph",
                                          "Warning Delete Failure",
                                          "Warning Write Failure",
                                          "Warning Buffer Too Small",
                                          "Warning Stale Data"};
  const UINTN code = status & ~kEfiErrorBit;
  if (EFI_ERROR(status)) {
    if (code < sizeof kErrors / sizeof kErrors[0] && code != 0) {
      return kErrors[code];
    }
  } else if (code < sizeof kWarnings / sizeof kWarnings[0]) {
    return kWarnings[code];
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(status));
  return text;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    const auto u = static_cast<uint32_t>(c);
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

const char* StopReasonName(StopReason reason) {
  switch (reason) {
    case StopReason::Reset:
      return "reset";
    case StopReason::KeysExhausted:
      return "keys-exhausted";
    case StopReason::PortWriteLimit:
      return "port-write-limit";
    case StopReason::SpinLimit:
      return "spin-limit";
    case StopReason::InvalidAccess:
      return "invalid-access";
    case StopReason::PowerLoss:
      return "power-loss";
  }
  return "?";
}

const char* OpName(Op op) {
  switch (op) {
    case Op::AllocatePool:
      return "AllocatePool";
    case Op::AllocatePages:
      return "AllocatePages";
    case Op::LocateProtocol:
      return "LocateProtocol";
    case Op::CreateEvent:
      return "CreateEvent";
    case Op::InstallProtocolInterface:
      return "InstallProtocolInterface";
    case Op::RegisterProtocolNotify:
      return "RegisterProtocolNotify";
    case Op::SmmAllocatePool:
      return "SmmAllocatePool";
    case Op::InstallConfigurationTable:
      return "InstallConfigurationTable";
    case Op::Count:
      break;
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------

void Faults::FailNth(Op op, unsigned n, EFI_STATUS status) { failNth_[{op, n}] = status; }

void Faults::FailLocate(const EFI_GUID& guid) { failLocate_.insert(guid); }

void Faults::Clear() {
  failNth_.clear();
  failLocate_.clear();
}

std::optional<EFI_STATUS> Faults::Tick(Op op, const std::string& detail) {
  const unsigned n = ++calls_[static_cast<size_t>(op)];
  if (RecordCalls || OnCall) {
    FaultCall call{op, n, detail};
    if (OnCall) {
      OnCall(call);
    }
    if (RecordCalls) {
      Log.push_back(std::move(call));
    }
  }
  auto it = failNth_.find({op, n});
  if (it == failNth_.end()) {
    return std::nullopt;
  }
  ++injected_;
  return it->second;
}

// ---------------------------------------------------------------------------
// HOB lists
// ---------------------------------------------------------------------------

namespace {

void Append(std::vector<UINT8>& out, const void* data, size_t size) {
  const auto* p = static_cast<const UINT8*>(data);
  out.insert(out.end(), p, p + size);
}

}  // namespace

HobListBuilder::HobListBuilder() {
  EFI_HOB_HANDOFF_INFO_TABLE phit{};
  phit.Header.HobType = EFI_HOB_TYPE_HANDOFF;
  phit.Header.HobLength = sizeof phit;
  phit.Version = 9;
  Append(bytes_, &phit, sizeof phit);
}

HobListBuilder& HobListBuilder::GuidHob(const EFI_GUID& name, const std::vector<UINT8>& data) {
  // HOB lengths are multiples of 8.
  const size_t length = (sizeof(EFI_HOB_GUID_TYPE) + data.size() + 7) & ~size_t{7};
  if (length > 0xFFFF) {
    throw std::length_error("GUID HOB longer than 64 KiB");
  }
  EFI_HOB_GUID_TYPE header{};
  header.Header.HobType = EFI_HOB_TYPE_GUID_EXTENSION;
  header.Header.HobLength = static_cast<UINT16>(length);
  header.Name = name;
  Append(bytes_, &header, sizeof header);
  Append(bytes_, data.data(), data.size());
  bytes_.resize(bytes_.size() + (length - sizeof header - data.size()), 0);
  return *this;
}

HobListBuilder& HobListBuilder::HeapBuffer(UINT32 handle, const std::vector<UINT8>& data, UINT8 persistence,
                                           UINT8 inUse, UINT32 signature) {
  std::vector<UINT8> payload(16);
  std::memcpy(&payload[0], &signature, 4);
  std::memcpy(&payload[4], &handle, 4);
  const auto size = static_cast<UINT32>(data.size());
  std::memcpy(&payload[8], &size, 4);
  payload[12] = persistence;
  payload[13] = inUse;
  payload.insert(payload.end(), data.begin(), data.end());
  return GuidHob(gHeapBufferHobGuid, payload);
}

HobListBuilder& HobListBuilder::Raw(const std::vector<UINT8>& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

std::vector<UINT8> HobListBuilder::Build() const {
  std::vector<UINT8> out = bytes_;
  EFI_HOB_GENERIC_HEADER end{};
  end.HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end.HobLength = sizeof end;
  Append(out, &end, sizeof end);
  return out;
}

// ---------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------

namespace {
std::string DescribeWrite(const std::vector<PersistentWrite>& writes) {
  char where[32];
  std::snprintf(where, sizeof where, " 0x%llx", static_cast<unsigned long long>(writes.back().Where));
  return std::to_string(writes.size()) + " (" + writes.back().Kind + where + ")";
}
}  // namespace

bool PowerSupply::Begin(const char* kind, UINT64 where) {
  Writes.push_back(PersistentWrite{kind, where});
  return Cut && Cut->During && Cut->AtWrite == Writes.size();
}

void PowerSupply::End() {
  if (Cut && !Cut->During && Cut->AtWrite == Writes.size()) {
    Machine::Current().Stop(StopReason::PowerLoss, "after write " + DescribeWrite(Writes));
  }
}

void PowerSupply::LoseMidWrite() {
  Machine::Current().Stop(StopReason::PowerLoss, "during write " + DescribeWrite(Writes));
}

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------

Machine::Machine(const MachineConfig& config) {
  if (gCurrent != nullptr) {
    throw std::logic_error("only one simulated machine may exist at a time");
  }
  gCurrent = this;
  registers.tscAtStart_ = cpu.Tsc;

  SystemTable.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  SystemTable.Hdr.Revision = (2U << 16) | 70U;
  SystemTable.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  static CHAR16 vendor[] = u"ftpm-recovery simulated platform";
  SystemTable.FirmwareVendor = vendor;
  SystemTable.FirmwareRevision = 0x00010000;
  SystemTable.BootServices = &boot.Table;
  SystemTable.RuntimeServices = &runtime.Table;
  console.AttachWaitForKey(boot);
  SystemTable.ConIn = &console.ConIn;
  SystemTable.ConOut = &console.ConOut;
  SystemTable.StdErr = &console.ConOut;
  SystemTable.ConsoleInHandle = InstallProtocol(gEfiSimpleTextInProtocolGuid, &console.ConIn);
  SystemTable.ConsoleOutHandle = InstallProtocol(gEfiSimpleTextOutProtocolGuid, &console.ConOut);
  SystemTable.StandardErrorHandle = SystemTable.ConsoleOutHandle;

  if (config.DebugPrint) {
    InstallProtocol(gDebugPrintProtocolGuid, &debug.Protocol);
  }
  if (config.Pcd) {
    InstallProtocol(gPcdProtocolGuid, &settings.Pcd);
  }
  if (config.EfiPcd) {
    InstallProtocol(gEfiPcdProtocolGuid, &settings.EfiPcd);
  }
  if (config.SmmCommunication) {
    InstallProtocol(gEfiSmmCommunicationProtocolGuid, &smm.Communication);
  }
  if (config.EraseServiceReady) {
    InstallProtocol(gEraseServiceReadyProtocolGuid, PresenceInterface(gEraseServiceReadyProtocolGuid));
  }
  if (config.SmmBase2) {
    InstallProtocol(gEfiSmmBase2ProtocolGuid, &smm.Base2);
  }
  settings.SetGuided(gSmmCommBufferTokenSpaceGuid, kSmmCommBufferToken,
                     config.CommBuffer ? reinterpret_cast<UINT64>(smm.CommBuffer()) : 0);
  if (config.HobList) {
    SetHobList(HobListBuilder().Build());
  }
  Trace.clear();
}

Machine::~Machine() {
  ResetDriverImage();
  gCurrent = nullptr;
}

Machine& Machine::Current() {
  if (gCurrent == nullptr) {
    throw std::logic_error("no simulated machine exists");
  }
  return *gCurrent;
}

bool Machine::Exists() { return gCurrent != nullptr; }

void Machine::SetHobList(std::vector<UINT8> hobs) {
  hobLists_.push_back(std::move(hobs));
  boot.InstallConfigurationTable(gEfiHobListGuid, hobLists_.back().data());
}

EFI_HANDLE Machine::InstallProtocol(const EFI_GUID& guid, void* iface, EFI_HANDLE handle) {
  EFI_HANDLE h = handle;
  if (EFI_ERROR(boot.Install(&h, guid, iface))) {
    throw std::logic_error("InstallProtocol failed for " + GuidToString(guid));
  }
  return h;
}

void Machine::UninstallProtocol(const EFI_GUID& guid) {
  for (EFI_HANDLE h : boot.HandlesWith(guid)) {
    void* iface = nullptr;
    boot.HandleProtocol(h, guid, &iface);
    boot.Uninstall(h, guid, iface);
  }
}

void* Machine::PresenceInterface(const EFI_GUID& guid) {
  auto& bytes = presence_[guid];
  if (bytes.empty()) {
    bytes.resize(16, 0);
  }
  return bytes.data();
}

void Machine::LoadDriverImage() {
  ResetDriverImage();
  if (ImageHandle == nullptr) {
    ImageHandle = boot.NewHandle();
  }
  BindDriverImage(ImageHandle, &SystemTable);
}

RunOutcome Machine::StartDriver() {
  ResetDriverImage();
  if (ImageHandle == nullptr) {
    ImageHandle = boot.NewHandle();
  }
  Note("StartImage FtpmRecoveryDxe");
  RunOutcome outcome = Run([this] { return StartDriverImage(ImageHandle, &SystemTable); });
  if (outcome.Status) {
    Note("FtpmRecoveryDxe entry point returned " + StatusName(*outcome.Status));
  }
  return outcome;
}

bool Machine::RecoveryProtocolInstalled() const { return boot.Find(gFtpmRecoveryProtocolGuid) != nullptr; }

RunOutcome Machine::CallRecoveryHandler() {
  auto* protocol = static_cast<driver::FTPM_RECOVERY_PROTOCOL*>(boot.Find(gFtpmRecoveryProtocolGuid));
  if (protocol == nullptr) {
    throw std::logic_error("FtpmRecoveryProtocol is not installed");
  }
  Note("boot component calls RecoveryPromptHandler");
  RunOutcome outcome = Run([protocol] { return protocol->RecoveryPromptHandler(); });
  if (outcome.Status) {
    Note("RecoveryPromptHandler returned " + StatusName(*outcome.Status));
  }
  return outcome;
}

RunOutcome Machine::Run(const std::function<EFI_STATUS()>& body) {
  RunOutcome outcome;
  const EFI_TPL tpl = boot.CurrentTpl;
  try {
    outcome.Status = body();
  } catch (const MachineStop& stop) {
    outcome.Stop = stop;
    boot.CurrentTpl = tpl;
    boot.dispatching_ = false;
    Note(std::string("machine stopped: ") + StopReasonName(stop.Reason) +
         (stop.Detail.empty() ? "" : " (" + stop.Detail + ")"));
  }
  return outcome;
}

void Machine::Stop(StopReason reason, std::string detail) { throw MachineStop{reason, std::move(detail)}; }

void Machine::Note(std::string line) { Trace.push_back(std::move(line)); }

NonVolatile Machine::PowerOff() {
  NonVolatile state{std::move(flash), std::move(runtime.Variables)};
  flash = Flash{};
  runtime.Variables = VariableStore{};
  state.flash.ClearLog();
  return state;
}

void Machine::PowerOn(NonVolatile state) {
  flash = std::move(state.flash);
  runtime.Variables = std::move(state.variables);
}

}  // namespace ftpm::sim
