// The SMM flash service's rules: what it accepts of a FlashEraseRequest and
// how it erases. A request is served only when all of these hold:
//
// - it lies in the platform's communication buffer and has exactly the form
//   the driver sends (a 48-byte message: the communicate header,
//   MessageLength 24, Function 4, four zero bytes, Address, Size);
// - Address names flash (a flash offset below 64 MB or an address in either
//   window);
// - the range lies inside one NVRAM range of the platform's flash map and
//   consists of whole erase blocks.
//
// The device erases the blocks; afterwards the whole range is read back
// from the device. Only a range that reads back erased is reported as
// served. The device is reached through two operations, so that the same
// service runs on QEMU's flash, on a file-backed window and on the
// simulated machine's flash.
#pragma once

#include "platform/Base.h"
#include "reference/FlashMap.h"

namespace ftpm::reference {

struct FlashDevice {
  // Erases the whole erase blocks of [Offset, Offset + Length) (image
  // offsets); false when the device reports a failure, after which some of
  // them may be erased.
  bool (*Erase)(void* Context, UINT64 Offset, UINT64 Length);
  // Whether [Offset, Offset + Length) reads 0xFF, read from the device.
  bool (*ReadsErased)(void* Context, UINT64 Offset, UINT64 Length);
  void* Context;
};

// The erase message, as offsets from the start of the buffer.
inline constexpr UINTN kEraseMessageSize = 48;
inline constexpr UINT64 kEraseMessageLength = 24;
inline constexpr UINT32 kEraseFunction = 4;

enum class EraseVerdict : UINT8 {
  Erased,           // served: every block erased and the range reads back 0xFF
  Closed,           // the boot services are gone: nothing is served any more
  OutsideBuffer,    // the message is not in the communication buffer
  BadForm,          // a size or field of the message is wrong
  NotFlashAddress,  // Address names no flash
  NotErasable,      // the range is not inside an NVRAM range of the map
  NotWholeBlocks,   // the range is empty or not whole erase blocks
  DeviceFailed,     // the device reported a failed block erase
  NotErasedAfter,   // the erase reported success, the read-back differs
};

struct EraseReply {
  EFI_STATUS Status;  // what Communicate returns to the driver
  EraseVerdict Verdict;
  const char* Reason;  // for BadForm: "comm-size", "message-length", "function", "reserved"
  UINT64 Address;      // as received (valid from NotFlashAddress on)
  UINT64 Size;
  UINT64 Offset;   // image offset of Address (valid from NotErasable on)
  FlashSide Side;  // the NVRAM range (valid from DeviceFailed on)
  NvramKind Kind;
};

struct FlashService {
  const FlashMap* Map;
  FlashDevice Device;
  UINT64 CommBuffer;  // where requests must lie, and its size
  UINT64 CommBufferSize;
  // Set at exit-boot-services: no caller of the driver needs the service
  // afterwards, and an operating system must not reach it.
  BOOLEAN Closed;
};

// Serves one message for FlashSmmServiceGuid (the caller has matched the
// header GUID). Statuses: EFI_SUCCESS when served; EFI_ACCESS_DENIED once
// the service is closed; EFI_INVALID_PARAMETER for
// a message outside the buffer, of the wrong form, naming no flash or not
// whole blocks; EFI_ACCESS_DENIED for a range outside the map's NVRAM
// ranges; EFI_DEVICE_ERROR when the device failed or the range does not read
// back erased. Nothing is written to flash unless the request passed every
// check; Size in the message is left as the driver wrote it.
EraseReply ServeFlashErase(const FlashService& Service, const VOID* Message, UINTN CommSize);

const char* EraseVerdictName(EraseVerdict Verdict);

}  // namespace ftpm::reference
