// Every PostCodeHalt code of the driver. The upper 16 bits name the module
// (0x0008 buffer cache, 0x000A S3 save table, 0x2201 firmware directory
// access); the lower 16 bits hold four decimal digits, one per hex digit.
#pragma once

#include "platform/Base.h"

namespace ftpm::support::postcode {

// Buffer cache.
inline constexpr UINT32 kRuntimeNodeAllocationFailed = 0x00080134;
inline constexpr UINT32 kBootNodeAllocationFailed = 0x00080137;
inline constexpr UINT32 kBufferCacheInstallFailed = 0x00080225;
inline constexpr UINT32 kBufferCreateFailed = 0x00080426;

// S3 save table.
inline constexpr UINT32 kS3TableSignatureBad = 0x000A0630;
inline constexpr UINT32 kS3TableBoundaryBad = 0x000A0635;
inline constexpr UINT32 kS3CommBufferMissing = 0x000A0752;
inline constexpr UINT32 kS3SmmCommunicationMissing = 0x000A0766;
inline constexpr UINT32 kS3MsrEnableClear = 0x000A0802;
inline constexpr UINT32 kS3PrivateAllocationFailed = 0x000A0808;
inline constexpr UINT32 kS3LockEventFailed = 0x000A0831;
inline constexpr UINT32 kS3CloseTableEventFailed = 0x000A0848;
inline constexpr UINT32 kS3LockEventCloseFailed = 0x000A0896;
inline constexpr UINT32 kS3CloseTableEventCloseFailed = 0x000A0901;

// Firmware directory access.
inline constexpr UINT32 kEntryTypeAliasMissing = 0x22010302;
inline constexpr UINT32 kAbPointerDirectoryNull = 0x22010466;
inline constexpr UINT32 kAbRecoveryDirectoryNull = 0x22010583;
inline constexpr UINT32 kAbRecoveryNoCpuRow = 0x22010587;
inline constexpr UINT32 kAbSlotHeader32ReadFailed = 0x22010646;
inline constexpr UINT32 kAbSlotHeader16ReadFailed = 0x22010667;
inline constexpr UINT32 kDiscoveryNoCpuRow = 0x22011152;
inline constexpr UINT32 kSignatureBlockReadFailed = 0x22011179;
inline constexpr UINT32 kRecoveryFlagAllOnes = 0x22012088;

}  // namespace ftpm::support::postcode
