// What plays SMM in OVMF, which has none: the erase-service-ready protocol,
// the communication buffer, and an EFI_SMM_COMMUNICATION_PROTOCOL whose
// Communicate dispatches on the header GUID to a flash service (erase
// requests) and an S3 receiver (the S3 table hand-over). Both check the
// message form byte for byte, independently of the driver's own definition,
// and report what they received.
#include "platform/Guids.h"
#include "qemu/reference/Platform.h"
#include "support/Memory.h"

namespace ftpm::reference {

namespace {

using support::ReadUnaligned;

// Offsets in a message: the PI communicate header, then Data with Function,
// four reserved bytes and 64-bit fields.
constexpr UINTN kMessageLengthOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength);
constexpr UINTN kDataOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, Data);
constexpr UINTN kFunctionOffset = kDataOffset;
constexpr UINTN kReservedOffset = kDataOffset + 4;
constexpr UINTN kFieldOffset = kDataOffset + 8;
static_assert(kMessageLengthOffset == 16 && kDataOffset == 24 && kFieldOffset == 32);

constexpr UINT64 kEraseMessageLength = 24;
constexpr UINT32 kEraseFunction = 4;
constexpr UINT64 kS3MessageLength = 16;
constexpr UINT32 kS3Function = 1;

// Memory the S3 receiver is willing to read: OVMF's pool lies below 4 GiB.
constexpr UINT64 kReadableLow = 0x1000;
constexpr UINT64 kReadableHigh = 0x100000000;
// A table claiming to be larger than this is not walked to its boundary word.
constexpr UINT64 kMaxS3TableSize = 0x1000000;
// The boot-script record: the table address at 0, the ready-to-lock flag at 20.
constexpr UINT64 kScriptRecordSize = 24;
constexpr UINTN kScriptReadyToLockSeenOffset = 20;

bool Readable(UINT64 Address, UINT64 Length) {
  return Address >= kReadableLow && Length <= kReadableHigh && Address <= kReadableHigh - Length;
}

// Checks the fixed part of a message. Returns the first mismatch, or nullptr.
const char* CheckForm(const UINT8* Message, UINTN CommSize, UINT64 MessageLength, UINT32 Function) {
  if (CommSize != kDataOffset + MessageLength) {
    return "comm-size";
  }
  if (ReadUnaligned<UINT64>(Message + kMessageLengthOffset) != MessageLength) {
    return "message-length";
  }
  if (ReadUnaligned<UINT32>(Message + kFunctionOffset) != Function) {
    return "function";
  }
  if (ReadUnaligned<UINT32>(Message + kReservedOffset) != 0) {
    return "reserved";
  }
  return nullptr;
}

// Reports the header fields of a malformed message. The fields beyond the
// header are only read when the size handed over covers them.
void ReportBadForm(Report& Line, const UINT8* Message, UINTN CommSize, const char* Reason) {
  Line.Text("form", "bad").Text("reason", Reason).Dec("comm-size", CommSize);
  Line.Dec("message-length", ReadUnaligned<UINT64>(Message + kMessageLengthOffset));
  if (CommSize >= kFieldOffset) {
    Line.Dec("function", ReadUnaligned<UINT32>(Message + kFunctionOffset));
    Line.Hex("reserved", ReadUnaligned<UINT32>(Message + kReservedOffset));
  }
}

// Starts a handler's report (its count, the phase, where the message lies)
// and checks the message form. A wrong form is reported and answered with
// EFI_INVALID_PARAMETER is reported as the status; the caller returns it.
bool BeginHandlerReport(Report& Line, UINT64 N, UINT8* Message, UINTN CommSize, UINT64 MessageLength, UINT32 Function) {
  Line.Dec("n", N).Text("phase", gPlatform.Phase);
  Line.Flag("in-comm-buffer", reinterpret_cast<UINTN>(Message) == gPlatform.CommBuffer);
  const char* bad = CheckForm(Message, CommSize, MessageLength, Function);
  if (bad == nullptr) {
    return true;
  }
  ReportBadForm(Line, Message, CommSize, bad);
  Line.Status("status", EFI_INVALID_PARAMETER).Emit();
  return false;
}

EFI_STATUS FlashService(UINT8* Message, UINTN CommSize) {
  Report line("smm-erase");
  if (!BeginHandlerReport(line, ++gPlatform.EraseRequests, Message, CommSize, kEraseMessageLength, kEraseFunction)) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT64 address = ReadUnaligned<UINT64>(Message + kFieldOffset);
  const UINT64 size = ReadUnaligned<UINT64>(Message + kFieldOffset + 8);
  line.Text("form", "ok").Hex("address", address).Hex("size", size);

  UINT64 offset = 0;
  if (!FlashImageOffset(address, &offset)) {
    line.Text("action", "refused").Text("reason", "address").Status("status", EFI_INVALID_PARAMETER).Emit();
    return EFI_INVALID_PARAMETER;
  }
  line.Hex("offset", offset);
  if (size == 0 || size > kFlashImageSize - offset) {
    line.Text("action", "refused").Text("reason", "range").Status("status", EFI_INVALID_PARAMETER).Emit();
    return EFI_INVALID_PARAMETER;
  }
  const EraseResult erase = EraseFlashRange(offset, size);
  const bool erased = erase.Outcome == EraseOutcome::Erased;
  switch (erase.Outcome) {
    case EraseOutcome::Erased:
      line.Text("action", "erased").Flag("verified", erase.Verified);
      break;
    case EraseOutcome::NotConfigured:
      line.Text("action", "none");
      break;
    case EraseOutcome::Failed:
      line.Text("action", "failed").Text("reason", erase.Reason);
      break;
  }
  const EFI_STATUS status = erase.Outcome == EraseOutcome::Failed ? EFI_DEVICE_ERROR : gPlatform.Config.EraseStatus;
  line.Status("status", status).Emit();
  if (erased) {
    NoteErasedRange(offset, size);
  }
  return status;
}

EFI_STATUS S3Receiver(UINT8* Message, UINTN CommSize) {
  Report line("s3-handover");
  if (!BeginHandlerReport(line, ++gPlatform.S3HandOvers, Message, CommSize, kS3MessageLength, kS3Function)) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT64 record = ReadUnaligned<UINT64>(Message + kFieldOffset);
  line.Text("form", "ok").Bytes("message", Message, kFieldOffset + 8);
  line.Flag("record-is-setting-766", record == SettingValue(766));
  DescribeS3Record(line, record);
  line.Status("status", EFI_SUCCESS).Emit();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Communicate(const EFI_SMM_COMMUNICATION_PROTOCOL* /*This*/, VOID* CommBuffer, UINTN* CommSize) {
  if (CommBuffer == nullptr || CommSize == nullptr || *CommSize < kDataOffset) {
    Report("smm-message")
        .Text("form", "bad")
        .Text("reason", CommBuffer == nullptr ? "no-buffer" : (CommSize == nullptr ? "no-size" : "comm-size"))
        .Dec("comm-size", CommSize != nullptr ? *CommSize : 0)
        .Text("phase", gPlatform.Phase)
        .Status("status", EFI_INVALID_PARAMETER)
        .Emit();
    return EFI_INVALID_PARAMETER;
  }
  auto* message = static_cast<UINT8*>(CommBuffer);
  EFI_GUID guid;
  support::CopyMem(&guid, message, sizeof(guid));
  if (support::CompareGuid(&guid, &gFlashSmmServiceGuid) != FALSE) {
    return FlashService(message, *CommSize);
  }
  if (support::CompareGuid(&guid, &gS3TableHandOverGuid) != FALSE) {
    return S3Receiver(message, *CommSize);
  }
  Report("smm-message")
      .Text("form", "unknown-handler")
      .Guid("guid", guid)
      .Dec("comm-size", *CommSize)
      .Text("phase", gPlatform.Phase)
      .Status("status", EFI_NOT_FOUND)
      .Emit();
  return EFI_NOT_FOUND;
}

}  // namespace

void DescribeS3Record(Report& Line, UINT64 Record) {
  Line.Hex("record", Record);
  if (!Readable(Record, 16)) {
    Line.Text("record-state", "unreadable");
    return;
  }
  const auto* record = PhysicalPointer<const UINT8>(Record);
  const UINT64 table = ReadUnaligned<UINT64>(record + 8);
  Line.Dec("locked", record[0]).Dec("closed", record[1]).Hex("record-reserved", ReadUnaligned<UINT64>(record) >> 16);
  Line.Hex("table", table);
  // A closed table has been handed over and released: its memory is no
  // longer the driver's to describe.
  if (table == 0 || record[1] != 0) {
    return;
  }
  if (!Readable(table, 48)) {
    Line.Text("table-state", "unreadable");
    return;
  }
  const auto* header = PhysicalPointer<const UINT8>(table);
  char signature[5] = {static_cast<char>(header[0]), static_cast<char>(header[1]), static_cast<char>(header[2]),
                       static_cast<char>(header[3]), 0};
  const UINT64 size = ReadUnaligned<UINT64>(header + 32);
  const UINT64 nextFree = ReadUnaligned<UINT64>(header + 40);
  Line.Raw().Append(" signature=");
  Line.Raw().AppendEscaped(signature, 4);
  Line.Dec("version", ReadUnaligned<UINT32>(header + 4)).Hex("size", size).Hex("next-free", nextFree);
  if (nextFree >= 48 && size >= 2 && nextFree <= size - 2 && size <= kMaxS3TableSize) {
    Line.Hex("end-marker", ReadUnaligned<UINT16>(header + nextFree));
  }
  if (size <= kMaxS3TableSize && Readable(table, size + 4)) {
    Line.Hex("boundary", ReadUnaligned<UINT32>(header + size));
  }
}

void DescribeScriptRecord(Report& Line, UINT64 Record) {
  Line.Hex("script-record", Record);
  if (Record == 0) {
    return;
  }
  if (!Readable(Record, kScriptRecordSize)) {
    Line.Text("script-record-state", "unreadable");
    return;
  }
  const auto* record = PhysicalPointer<const UINT8>(Record);
  Line.Hex("script-table", ReadUnaligned<UINT64>(record))
      .Dec("script-ready-to-lock-seen", record[kScriptReadyToLockSeenOffset]);
}

void ProvideCommBuffer() {
  const PlatformConfig& config = gPlatform.Config;
  if (config.CommBufferAuto == FALSE) {
    gPlatform.CommBuffer = config.CommBufferAddress;
    Report("provided")
        .Text("piece", "comm-buffer")
        .Hex("address", gPlatform.CommBuffer)
        .Flag("allocated", false)
        .Emit();
    return;
  }
  VOID* buffer = nullptr;
  const EFI_STATUS status =
      gPlatform.BootServices->AllocatePool(EfiRuntimeServicesData, static_cast<UINTN>(config.CommBufferSize), &buffer);
  if (!EFI_ERROR(status) && buffer != nullptr) {
    support::ZeroMem(buffer, static_cast<UINTN>(config.CommBufferSize));
    gPlatform.CommBuffer = reinterpret_cast<UINTN>(buffer);
  }
  Report("provided")
      .Text("piece", "comm-buffer")
      .Hex("address", gPlatform.CommBuffer)
      .Flag("allocated", true)
      .Hex("size", config.CommBufferSize)
      .Status("status", status)
      .Emit();
}

void ProvideEraseReady() {
  if (gPlatform.Config.ProvideEraseReady == FALSE) {
    Report("provided").Text("piece", "erase-ready").Flag("installed", false).Emit();
    return;
  }
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS status = gPlatform.BootServices->InstallProtocolInterface(
      &handle, &gEraseServiceReadyProtocolGuid, EFI_NATIVE_INTERFACE, &gPlatform.EraseReadyInterface);
  Report("provided").Text("piece", "erase-ready").Flag("installed", !EFI_ERROR(status)).Status("status", status).Emit();
}

void ProvideSmmCommunication() {
  if (gPlatform.Config.ProvideSmmCommunication == FALSE) {
    Report("provided").Text("piece", "smm-communication").Flag("installed", false).Emit();
    return;
  }
  VOID* existing = nullptr;
  const bool present =
      !EFI_ERROR(gPlatform.BootServices->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr, &existing));
  gPlatform.SmmCommunication.Communicate = Communicate;
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS status = gPlatform.BootServices->InstallProtocolInterface(
      &handle, &gEfiSmmCommunicationProtocolGuid, EFI_NATIVE_INTERFACE, &gPlatform.SmmCommunication);
  Report("provided")
      .Text("piece", "smm-communication")
      .Flag("installed", !EFI_ERROR(status))
      .Flag("firmware-had-one", present)
      .Status("status", status)
      .Emit();
}

void RunEraseSelfTest(const MemoryRange& Range) {
  VOID* found = nullptr;
  EFI_STATUS status = gPlatform.BootServices->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr, &found);
  if (EFI_ERROR(status) || found == nullptr || gPlatform.CommBuffer == 0) {
    Report("selftest-erase").Text("result", "skipped").Status("locate-status", status).Emit();
    return;
  }
  auto* message = PhysicalPointer<UINT8>(gPlatform.CommBuffer);
  support::ZeroMem(message, kFieldOffset + 16);
  support::CopyMem(message, &gFlashSmmServiceGuid, sizeof(EFI_GUID));
  support::WriteUnaligned<UINT64>(message + kMessageLengthOffset, kEraseMessageLength);
  support::WriteUnaligned<UINT32>(message + kFunctionOffset, kEraseFunction);
  support::WriteUnaligned<UINT64>(message + kFieldOffset, Range.Address);
  support::WriteUnaligned<UINT64>(message + kFieldOffset + 8, Range.Length);
  UINTN commSize = kFieldOffset + 16;
  auto* protocol = static_cast<EFI_SMM_COMMUNICATION_PROTOCOL*>(found);
  status = protocol->Communicate(protocol, message, &commSize);
  Report("selftest-erase")
      .Text("result", "sent")
      .Flag("own-protocol", protocol == &gPlatform.SmmCommunication)
      .Status("status", status)
      .Emit();
}

void ReportS3Record(const char* Phase) {
  Report line("s3-record");
  line.Text("phase", Phase);
  const UINT64 record = SettingValue(766);
  if (record == 0) {
    line.Hex("record", 0).Emit();
    return;
  }
  DescribeS3Record(line, record);
  line.Emit();
}

}  // namespace ftpm::reference
