// The S3 save table: created at start-up (or found through settings 766 and
// 767), marked locked at DXE SMM ready-to-lock, and terminated and handed to
// SMM at ready-to-boot.
//
// Every boot component carrying this support shares one KelS3LibPrivateData
// record (setting 766) and one table (setting 767). The component that
// creates the record also owns the two events; later components only use
// what is there.
#pragma once

#include "platform/Pi.h"

namespace ftpm::support {

// The shared record; SMM receives its address, so the layout is fixed.
struct KelS3LibPrivateData {
  UINT8 S3TableLocked;  // 1 once the DXE SMM ready-to-lock protocol was seen
  UINT8 S3TableClosed;  // 1 once the table was handed to SMM
  UINT8 Reserved[6];
  UINT64 TableAddress;  // the S3 save table; 0 while there is none
};
static_assert(sizeof(KelS3LibPrivateData) == 16);
static_assert(offsetof(KelS3LibPrivateData, S3TableClosed) == 1);
static_assert(offsetof(KelS3LibPrivateData, TableAddress) == 8);

// The header the S3 save table begins with. The entry area follows it up to
// Size, and the boundary word lies at Size.
struct KelS3LibTableHeader {
  UINT32 Signature;  // "KS3T"
  UINT32 Version;    // 1
  UINT8 Reserved[24];
  UINT64 Size;      // table size in bytes, without the boundary word
  UINT64 NextFree;  // offset of the next free byte
};
static_assert(sizeof(KelS3LibTableHeader) == 48);
static_assert(offsetof(KelS3LibTableHeader, Version) == 4);
static_assert(offsetof(KelS3LibTableHeader, Size) == 32);
static_assert(offsetof(KelS3LibTableHeader, NextFree) == 40);

inline constexpr UINT32 kS3TableSignature = Signature32('K', 'S', '3', 'T');
inline constexpr UINT32 kS3TableVersion = 1;
inline constexpr UINT32 kS3TableBoundary = 0x01558844;  // S3TableBoundary
inline constexpr UINT64 kS3TableMinimumSize = 0x4000;
inline constexpr UINT16 kS3TableEndMarker = 0xFFFF;
inline constexpr UINT32 kS3TableInvalid = 7;  // CheckS3SaveTable's failure result

struct S3SaveTableState {
  KelS3LibPrivateData* PrivateData;  // the current private record
  EFI_EVENT BootScriptLockEvent;
  EFI_EVENT CloseTableEvent;
  // Set when a callback closed its own event, so that the shut-down chain
  // never closes it a second time. The lock callback can close its event
  // before the handle is even stored.
  BOOLEAN BootScriptLockClosed;
  BOOLEAN CloseTableClosed;
  // The table this driver allocated and the Size it gave it, until the table
  // is released. A table from another component is checked against setting
  // 768 as read at the check.
  UINT8* CreatedTable;
  UINT64 CreatedSize;
};
extern constinit S3SaveTableState gS3SaveTableState;

// Start-up step; the entry point ignores the result.
EFI_STATUS S3SaveTableStartUp();
// First link of the shut-down chain: closes the two events.
void S3SaveTableShutDown();

// 0 when the table the current private record names is valid, else 7.
UINT32 CheckS3SaveTable();

// Notify function of the DXE SMM ready-to-lock protocol: marks the table locked.
VOID EFIAPI BootScriptLock(EFI_EVENT Event, VOID* Context);
// Ready-to-boot notify function: validates, terminates and hands the table
// to SMM, then releases it.
VOID EFIAPI KelS3SaveCloseTableCallBack(EFI_EVENT Event, VOID* Context);

}  // namespace ftpm::support
