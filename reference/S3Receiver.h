// The SMM receiver of the S3 save table: at ready-to-boot the driver sends a
// 40-byte message (the communicate header, MessageLength 16, Function 1,
// four zero bytes, the address of its private record KelS3LibPrivateData)
// and frees the table as soon as Communicate returns, so the receiver takes
// what it needs during the call. It accepts the message only in the
// platform's communication buffer and in exactly that form, and reads the
// record and the table only where the platform says memory may be read (in
// SMM: outside SMRAM, in memory the firmware owns).
#pragma once

#include "platform/Base.h"

namespace ftpm::reference {

inline constexpr UINTN kS3MessageSize = 40;
inline constexpr UINT64 kS3MessageLength = 16;
inline constexpr UINT32 kS3Function = 1;
inline constexpr UINTN kS3TableHeaderSize = 48;

// Whether Length bytes at Address may be read.
struct MemoryCheck {
  bool (*Readable)(void* Context, UINT64 Address, UINT64 Length);
  void* Context;
};

struct S3Receipt {
  EFI_STATUS Status;   // EFI_SUCCESS once the record and its table were read
  BOOLEAN FormOk;      // the message was in the buffer, in the right form
  const char* Reason;  // otherwise: "outside-comm-buffer", "comm-size", "message-length", "function",
                       // "reserved", "record-unreadable", "table-unreadable"
  UINT64 Record;       // the private record's address, as sent
  UINT8 Locked;        // the record's two flags and its table, read during the call
  UINT8 Closed;
  UINT64 Table;
  UINT8 TableHeader[kS3TableHeaderSize];
  UINT64 TableSize;
  UINT64 NextFree;
  BOOLEAN HaveEndMarker;  // the 16-bit word at the table's next-free offset
  UINT16 EndMarker;
};

S3Receipt ReceiveS3HandOver(const VOID* Message, UINTN CommSize, UINT64 CommBuffer, UINT64 CommBufferSize,
                            const MemoryCheck& Memory);

}  // namespace ftpm::reference
