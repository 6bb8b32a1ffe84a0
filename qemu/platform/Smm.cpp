// What plays SMM in OVMF, which has none: the erase-service-ready protocol,
// the communication buffer, and an EFI_SMM_COMMUNICATION_PROTOCOL whose
// Communicate dispatches on the header GUID to a flash service (erase
// requests) and an S3 receiver (the S3 table hand-over). Both check the
// message form byte for byte, independently of the driver's own definition,
// and report what they received.
#include "platform/Guids.h"
#include "qemu/platform/Platform.h"
#include "reference/FlashService.h"
#include "reference/S3Receiver.h"
#include "reference/Services.h"
#include "support/Memory.h"

namespace ftpm::qemu {

namespace {

using support::ReadUnaligned;

constexpr UINTN kMessageLengthOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength);
constexpr UINTN kDataOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, Data);
constexpr UINTN kFunctionOffset = kDataOffset;
constexpr UINTN kFieldOffset = kDataOffset + 8;

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

bool ReadableMemory(void* /*Context*/, UINT64 Address, UINT64 Length) { return Readable(Address, Length); }

void BeginHandlerReport(Report& Line, UINT64 N, const UINT8* Message, UINTN CommSize) {
  Line.Dec("n", N).Text("phase", gPlatform.Phase);
  Line.Flag("in-comm-buffer", reinterpret_cast<UINTN>(Message) == gPlatform.CommBuffer);
  Line.Dec("comm-size", CommSize);
}

EFI_STATUS FlashService(UINT8* Message, UINTN CommSize) {
  Report line("smm-erase");
  BeginHandlerReport(line, ++gPlatform.EraseRequests, Message, CommSize);
  const reference::FlashService service{&gPlatform.FlashMap, FlashDeviceOfWindow(), gPlatform.CommBuffer,
                                        gPlatform.CommBufferSize, gPlatform.FlashServiceClosed};
  const reference::EraseReply reply = reference::ServeFlashErase(service, Message, CommSize);
  const bool formOk =
      reply.Verdict == reference::EraseVerdict::Erased || reply.Verdict >= reference::EraseVerdict::NotFlashAddress;
  if (reply.Verdict != reference::EraseVerdict::Closed) {
    line.Text("form", formOk ? "ok" : "bad");
  }
  if (reply.Reason != nullptr) {
    line.Text("reason", reply.Reason);
  }
  if (formOk) {
    line.Hex("address", reply.Address).Hex("size", reply.Size);
  }
  if (reply.Verdict == reference::EraseVerdict::Erased || reply.Verdict >= reference::EraseVerdict::NotErasable) {
    line.Hex("offset", reply.Offset);
  }
  if (reply.Verdict >= reference::EraseVerdict::DeviceFailed || reply.Verdict == reference::EraseVerdict::Erased) {
    line.Text("range", reference::SideName(reply.Side)).Raw().AppendChar('.');
    line.Raw().Append(reference::KindName(reply.Kind));
  }
  switch (reply.Verdict) {
    case reference::EraseVerdict::Erased:
      // Read back from the device: the flash array, or the image file's
      // pages behind the 64 MB window.
      line.Text("action", "erased").Flag("verified", true);
      break;
    case reference::EraseVerdict::DeviceFailed:
    case reference::EraseVerdict::NotErasedAfter:
      line.Text("action", "failed").Text("why", reference::EraseVerdictName(reply.Verdict));
      break;
    default:
      line.Text("action", "refused").Text("why", reference::EraseVerdictName(reply.Verdict));
      break;
  }
  line.Status("status", reply.Status).Emit();
  if (reply.Verdict == reference::EraseVerdict::Erased &&
      reference::NoteVerifiedErase(gPlatform.Recovery, service.Device, reply.Side)) {
    // Every range of the case reads erased: the recovery is done, and the
    // next boot on this processor asks no more.
    const reference::RecoveryState& state = gPlatform.Recovery;
    Report("swap-served")
        .Text("side", reference::SideName(state.CompletedSide))
        .Dec("ranges", state.Case == reference::RecoveryCase::Full ? 2 : 1)
        .Hex("signature", state.Current)
        .Status("record-status", state.WriteStatus)
        .Emit();
  } else if (gPlatform.Recovery.Pending != FALSE && gPlatform.Recovery.Wrote != FALSE &&
             EFI_ERROR(gPlatform.Recovery.WriteStatus)) {
    Report("swap-record-failed").Status("record-status", gPlatform.Recovery.WriteStatus).Emit();
  }
  HoldIfConfigured(HoldPoint::AfterErase, gPlatform.EraseRequests);
  return reply.Status;
}

EFI_STATUS S3Receiver(UINT8* Message, UINTN CommSize) {
  Report line("s3-handover");
  BeginHandlerReport(line, ++gPlatform.S3HandOvers, Message, CommSize);
  const reference::S3Receipt receipt =
      reference::ReceiveS3HandOver(Message, CommSize, gPlatform.CommBuffer, gPlatform.CommBufferSize,
                                   reference::MemoryCheck{ReadableMemory, nullptr});
  const bool formOk = receipt.FormOk != FALSE;
  line.Text("form", formOk ? "ok" : "bad");
  if (!formOk) {
    line.Text("reason", receipt.Reason);
    if (CommSize >= kFieldOffset) {
      line.Dec("message-length", ReadUnaligned<UINT64>(Message + kMessageLengthOffset));
    }
    line.Status("status", receipt.Status).Emit();
    return receipt.Status;
  }
  line.Bytes("message", Message, kFieldOffset + 8);
  line.Flag("record-is-setting-766", receipt.Record == SettingValue(766));
  // What the receiver took during the call (the driver frees the table once
  // Communicate returns).
  line.Dec("taken-locked", receipt.Locked).Dec("taken-closed", receipt.Closed);
  if (receipt.HaveEndMarker != FALSE) {
    line.Hex("taken-end-marker", receipt.EndMarker);
  }
  if (receipt.Reason != nullptr) {
    line.Text("reason", receipt.Reason);
  }
  DescribeS3Record(line, receipt.Record);
  line.Status("status", receipt.Status).Emit();
  return receipt.Status;
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
    gPlatform.CommBufferSize = config.CommBufferSize;
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
    gPlatform.CommBufferSize = config.CommBufferSize;
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
  const EFI_STATUS status = reference::InstallEraseServiceReady(gPlatform.BootServices);
  Report("provided").Text("piece", "erase-ready").Flag("installed", !EFI_ERROR(status)).Status("status", status).Emit();
}

namespace {
VOID EFIAPI CloseFlashService(EFI_EVENT /*Event*/, VOID* /*Context*/) { gPlatform.FlashServiceClosed = TRUE; }
}  // namespace

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
  // The flash service closes when the boot services go.
  EFI_EVENT exit = nullptr;
  const EFI_STATUS watch = gPlatform.BootServices->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK,
                                                               CloseFlashService, nullptr, &exit);
  Report("provided")
      .Text("piece", "smm-communication")
      .Flag("installed", !EFI_ERROR(status))
      .Flag("firmware-had-one", present)
      .Status("status", status)
      .Status("exit-boot-services-watch", watch)
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
  support::WriteUnaligned<UINT64>(message + kMessageLengthOffset, reference::kEraseMessageLength);
  support::WriteUnaligned<UINT32>(message + kFunctionOffset, reference::kEraseFunction);
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

}  // namespace ftpm::qemu
