// The form of every SMM communication message this driver sends: the PI
// EFI_SMM_COMMUNICATE_HEADER, then Data beginning with a 32-bit Function and
// four zero bytes, then 64-bit fields. The whole area is zeroed before any
// field is written, and Communicate receives 24 + MessageLength bytes.
#pragma once

#include "platform/Pi.h"
#include "support/Memory.h"

namespace ftpm::support {

template <UINTN FieldCount>
struct SmmMessage {
  EFI_GUID HeaderGuid;
  UINT64 MessageLength;
  UINT32 Function;
  UINT32 Reserved;
  UINT64 Fields[FieldCount];

  static constexpr UINTN kMessageLength = 8 + 8 * FieldCount;
  static constexpr UINTN kCommSize = 24 + kMessageLength;
};
static_assert(offsetof(SmmMessage<2>, MessageLength) == offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength));
static_assert(offsetof(SmmMessage<2>, Function) == offsetof(EFI_SMM_COMMUNICATE_HEADER, Data));
static_assert(offsetof(SmmMessage<2>, Fields) == 32);
static_assert(sizeof(SmmMessage<2>) == SmmMessage<2>::kCommSize);
static_assert(sizeof(SmmMessage<1>) == SmmMessage<1>::kCommSize);

// FlashEraseRequest: Function 4, fields Address and Size; 48 bytes.
using FlashEraseRequest = SmmMessage<2>;
inline constexpr UINT32 kFlashEraseFunction = 4;
static_assert(FlashEraseRequest::kCommSize == 48 && FlashEraseRequest::kMessageLength == 24);

// S3TableHandOver: Function 1, field the address of KelS3LibPrivateData; 40 bytes.
using S3TableHandOver = SmmMessage<1>;
inline constexpr UINT32 kS3HandOverFunction = 1;
static_assert(S3TableHandOver::kCommSize == 40 && S3TableHandOver::kMessageLength == 16);

// The communication buffer is the platform's and its address comes from a
// setting, so fields are written and read without assuming any alignment.

// Zeroes the message area of Buffer and writes the header and Function.
template <UINTN FieldCount>
void BeginSmmMessage(VOID* Buffer, const EFI_GUID& Handler, UINT32 Function) {
  using Message = SmmMessage<FieldCount>;
  auto* bytes = static_cast<UINT8*>(Buffer);
  ZeroMem(bytes, Message::kCommSize);
  CopyMem(bytes + offsetof(Message, HeaderGuid), &Handler, sizeof(EFI_GUID));
  WriteUnaligned<UINT64>(bytes + offsetof(Message, MessageLength), Message::kMessageLength);
  WriteUnaligned<UINT32>(bytes + offsetof(Message, Function), Function);
}

template <UINTN FieldCount>
void SetSmmMessageField(VOID* Buffer, UINTN Index, UINT64 Value) {
  WriteUnaligned<UINT64>(static_cast<UINT8*>(Buffer) + offsetof(SmmMessage<FieldCount>, Fields) + 8 * Index, Value);
}

template <UINTN FieldCount>
UINT64 GetSmmMessageField(const VOID* Buffer, UINTN Index) {
  return ReadUnaligned<UINT64>(static_cast<const UINT8*>(Buffer) + offsetof(SmmMessage<FieldCount>, Fields) +
                               8 * Index);
}

}  // namespace ftpm::support
