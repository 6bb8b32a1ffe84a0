#include "reference/FlashService.h"

#include "platform/Pi.h"
#include "support/Memory.h"

namespace ftpm::reference {

namespace {

using support::ReadUnaligned;

constexpr UINTN kMessageLengthOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength);
constexpr UINTN kFunctionOffset = offsetof(EFI_SMM_COMMUNICATE_HEADER, Data);
constexpr UINTN kReservedOffset = kFunctionOffset + 4;
constexpr UINTN kAddressOffset = kFunctionOffset + 8;
constexpr UINTN kSizeOffset = kAddressOffset + 8;
static_assert(kMessageLengthOffset == 16 && kFunctionOffset == 24 && kSizeOffset + 8 == kEraseMessageSize);
static_assert(kEraseMessageSize == kFunctionOffset + kEraseMessageLength);

EraseReply Refuse(EraseReply Reply, EraseVerdict Verdict, EFI_STATUS Status) {
  Reply.Verdict = Verdict;
  Reply.Status = Status;
  return Reply;
}

}  // namespace

EraseReply ServeFlashErase(const FlashService& Service, const VOID* Message, UINTN CommSize) {
  EraseReply reply{};
  reply.Reason = nullptr;
  if (Service.Closed != FALSE) {
    return Refuse(reply, EraseVerdict::Closed, EFI_ACCESS_DENIED);
  }
  const UINT64 at = support::PointerToAddress(Message);
  // The whole message as handed over must lie in the buffer: a message that
  // runs past it could make the service read memory it must not trust.
  if (Message == nullptr || at != Service.CommBuffer || CommSize > Service.CommBufferSize) {
    return Refuse(reply, EraseVerdict::OutsideBuffer, EFI_INVALID_PARAMETER);
  }
  const auto* bytes = static_cast<const UINT8*>(Message);
  if (CommSize != kEraseMessageSize) {
    reply.Reason = "comm-size";
  } else if (ReadUnaligned<UINT64>(bytes + kMessageLengthOffset) != kEraseMessageLength) {
    reply.Reason = "message-length";
  } else if (ReadUnaligned<UINT32>(bytes + kFunctionOffset) != kEraseFunction) {
    reply.Reason = "function";
  } else if (ReadUnaligned<UINT32>(bytes + kReservedOffset) != 0) {
    reply.Reason = "reserved";
  }
  if (reply.Reason != nullptr) {
    return Refuse(reply, EraseVerdict::BadForm, EFI_INVALID_PARAMETER);
  }
  reply.Address = ReadUnaligned<UINT64>(bytes + kAddressOffset);
  reply.Size = ReadUnaligned<UINT64>(bytes + kSizeOffset);
  if (!FlashImageOffset(reply.Address, &reply.Offset)) {
    return Refuse(reply, EraseVerdict::NotFlashAddress, EFI_INVALID_PARAMETER);
  }
  const FlashMap& map = *Service.Map;
  switch (CheckErase(map, reply.Offset, reply.Size, &reply.Side, &reply.Kind)) {
    case EraseCheck::Allowed:
      break;
    case EraseCheck::NotErasable:
      return Refuse(reply, EraseVerdict::NotErasable, EFI_ACCESS_DENIED);
    case EraseCheck::NotWholeBlocks:
      return Refuse(reply, EraseVerdict::NotWholeBlocks, EFI_INVALID_PARAMETER);
  }
  if (!Service.Device.Erase(Service.Device.Context, reply.Offset, reply.Size)) {
    return Refuse(reply, EraseVerdict::DeviceFailed, EFI_DEVICE_ERROR);
  }
  if (!Service.Device.ReadsErased(Service.Device.Context, reply.Offset, reply.Size)) {
    return Refuse(reply, EraseVerdict::NotErasedAfter, EFI_DEVICE_ERROR);
  }
  reply.Verdict = EraseVerdict::Erased;
  reply.Status = EFI_SUCCESS;
  return reply;
}

const char* EraseVerdictName(EraseVerdict Verdict) {
  switch (Verdict) {
    case EraseVerdict::Erased:
      return "erased";
    case EraseVerdict::Closed:
      return "closed";
    case EraseVerdict::OutsideBuffer:
      return "outside-comm-buffer";
    case EraseVerdict::BadForm:
      return "bad-form";
    case EraseVerdict::NotFlashAddress:
      return "not-flash";
    case EraseVerdict::NotErasable:
      return "not-erasable";
    case EraseVerdict::NotWholeBlocks:
      return "not-whole-blocks";
    case EraseVerdict::DeviceFailed:
      return "device-failed";
    case EraseVerdict::NotErasedAfter:
      return "not-erased-after";
  }
  return "unknown";
}

}  // namespace ftpm::reference
