#include "reference/S3Receiver.h"

#include "platform/Pi.h"
#include "support/Memory.h"

namespace ftpm::reference {

namespace {

using support::ReadUnaligned;

constexpr UINTN kMessageLengthOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength);
constexpr UINTN kFunctionOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, Data);
constexpr UINTN kRecordOffset = kFunctionOffset + 8;
static_assert(kRecordOffset + 8 == kS3MessageSize && kFunctionOffset + kS3MessageLength == kS3MessageSize);

// The private record: two flag bytes, then the table's address at 8.
constexpr UINT64 kRecordSize = 16;
constexpr UINTN kTableSizeOffset = 32;
constexpr UINTN kNextFreeOffset = 40;

const char* CheckForm(const UINT8* Message, UINTN CommSize) {
  if (CommSize != kS3MessageSize) {
    return "comm-size";
  }
  if (ReadUnaligned<UINT64>(Message + kMessageLengthOffset) != kS3MessageLength) {
    return "message-length";
  }
  if (ReadUnaligned<UINT32>(Message + kFunctionOffset) != kS3Function) {
    return "function";
  }
  if (ReadUnaligned<UINT32>(Message + kFunctionOffset + 4) != 0) {
    return "reserved";
  }
  return nullptr;
}

}  // namespace

S3Receipt ReceiveS3HandOver(const VOID* Message, UINTN CommSize, UINT64 CommBuffer, UINT64 CommBufferSize,
                            const MemoryCheck& Memory) {
  S3Receipt receipt{};
  receipt.Status = EFI_INVALID_PARAMETER;
  if (Message == nullptr || support::PointerToAddress(Message) != CommBuffer || CommSize > CommBufferSize) {
    receipt.Reason = "outside-comm-buffer";
    return receipt;
  }
  const auto* bytes = static_cast<const UINT8*>(Message);
  receipt.Reason = CheckForm(bytes, CommSize);
  if (receipt.Reason != nullptr) {
    return receipt;
  }
  receipt.FormOk = TRUE;
  receipt.Record = ReadUnaligned<UINT64>(bytes + kRecordOffset);
  if (!Memory.Readable(Memory.Context, receipt.Record, kRecordSize)) {
    receipt.Reason = "record-unreadable";
    return receipt;
  }
  const auto* record = support::AddressToPointer<const UINT8>(receipt.Record);
  receipt.Locked = record[0];
  receipt.Closed = record[1];
  receipt.Table = ReadUnaligned<UINT64>(record + 8);
  if (!Memory.Readable(Memory.Context, receipt.Table, kS3TableHeaderSize)) {
    receipt.Reason = "table-unreadable";
    return receipt;
  }
  const auto* table = support::AddressToPointer<const UINT8>(receipt.Table);
  support::CopyMem(receipt.TableHeader, table, kS3TableHeaderSize);
  receipt.TableSize = ReadUnaligned<UINT64>(table + kTableSizeOffset);
  receipt.NextFree = ReadUnaligned<UINT64>(table + kNextFreeOffset);
  if (receipt.NextFree <= ~0ULL - receipt.Table &&
      Memory.Readable(Memory.Context, receipt.Table + receipt.NextFree, 2)) {
    receipt.HaveEndMarker = TRUE;
    receipt.EndMarker = ReadUnaligned<UINT16>(table + receipt.NextFree);
  }
  receipt.Status = EFI_SUCCESS;
  receipt.Reason = nullptr;
  return receipt;
}

}  // namespace ftpm::reference
