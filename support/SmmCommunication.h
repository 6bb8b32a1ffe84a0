// The form of every SMM communication message this driver sends: the PI
// EFI_SMM_COMMUNICATE_HEADER, then Data beginning with a 32-bit Function and
// four zero bytes, then 64-bit fields. The whole area is zeroed before any
// field is written, and Communicate receives 24 + MessageLength bytes.
#pragma once

#include "platform/Pi.h"
#include "support/Memory.h"

namespace ftpm::support {

// FlashEraseRequest: erase Size bytes of flash at Address; 48 bytes. SMM may
// rewrite Size, and the caller reads it back.
struct FlashEraseRequest {
  EFI_GUID HeaderGuid;  // gFlashSmmServiceGuid
  UINT64 MessageLength;
  UINT32 Function;  // 4
  UINT32 Reserved;
  UINT64 Address;
  UINT64 Size;
};
static_assert(offsetof(FlashEraseRequest, MessageLength) == offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength));
static_assert(offsetof(FlashEraseRequest, Function) == offsetof(EFI_SMM_COMMUNICATE_HEADER, Data));
static_assert(offsetof(FlashEraseRequest, Reserved) == 28);
static_assert(offsetof(FlashEraseRequest, Address) == 32);
static_assert(offsetof(FlashEraseRequest, Size) == 40);
static_assert(sizeof(FlashEraseRequest) == 48);
inline constexpr UINT32 kFlashEraseFunction = 4;

// S3TableHandOver: the address of KelS3LibPrivateData; 40 bytes.
struct S3TableHandOver {
  EFI_GUID HeaderGuid;  // gS3TableHandOverGuid
  UINT64 MessageLength;
  UINT32 Function;  // 1
  UINT32 Reserved;
  UINT64 PrivateDataAddress;
};
static_assert(offsetof(S3TableHandOver, MessageLength) == offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength));
static_assert(offsetof(S3TableHandOver, Function) == offsetof(EFI_SMM_COMMUNICATE_HEADER, Data));
static_assert(offsetof(S3TableHandOver, PrivateDataAddress) == 32);
static_assert(sizeof(S3TableHandOver) == 40);
inline constexpr UINT32 kS3HandOverFunction = 1;

// The size Communicate receives for a message; MessageLength counts what
// follows the 24-byte header.
template <typename Message>
inline constexpr UINTN kCommSize = sizeof(Message);
template <typename Message>
inline constexpr UINT64 kMessageLength = sizeof(Message) - offsetof(Message, Function);
static_assert(kMessageLength<FlashEraseRequest> == 24 && kMessageLength<S3TableHandOver> == 16);

// The communication buffer is the platform's and its address comes from a
// setting, so fields are written and read without assuming any alignment.

// Zeroes CommSize bytes of Buffer and writes the header, MessageLength
// (CommSize - 24) and Function.
void BeginSmmMessage(VOID* Buffer, UINTN CommSize, const EFI_GUID& Handler, UINT32 Function);

}  // namespace ftpm::support
