// Platform Initialization (PI) interfaces: the two settings protocols, SMM
// communication, the SMM base protocol and system table, HOBs and the DXE
// services table. Field for field in the order the PI specification and the
// reference firmware's headers give, with asserted layouts.
#pragma once

#include "platform/Uefi.h"

// ---------------------------------------------------------------------------
// PCD_PROTOCOL: settings addressed by token number alone
// ---------------------------------------------------------------------------

using PCD_PROTOCOL_CALLBACK = VOID(EFIAPI*)(const EFI_GUID* CallBackGuid, UINTN CallBackToken, VOID* TokenData,
                                            UINTN TokenDataSize);

struct PCD_PROTOCOL {
  VOID(EFIAPI* SetSku)(UINTN SkuId);

  UINT8(EFIAPI* Get8)(UINTN TokenNumber);
  UINT16(EFIAPI* Get16)(UINTN TokenNumber);
  UINT32(EFIAPI* Get32)(UINTN TokenNumber);
  UINT64(EFIAPI* Get64)(UINTN TokenNumber);
  VOID*(EFIAPI* GetPtr)(UINTN TokenNumber);
  BOOLEAN(EFIAPI* GetBool)(UINTN TokenNumber);
  UINTN(EFIAPI* GetSize)(UINTN TokenNumber);

  UINT8(EFIAPI* Get8Ex)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINT16(EFIAPI* Get16Ex)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINT32(EFIAPI* Get32Ex)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINT64(EFIAPI* Get64Ex)(const EFI_GUID* Guid, UINTN TokenNumber);
  VOID*(EFIAPI* GetPtrEx)(const EFI_GUID* Guid, UINTN TokenNumber);
  BOOLEAN(EFIAPI* GetBoolEx)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINTN(EFIAPI* GetSizeEx)(const EFI_GUID* Guid, UINTN TokenNumber);

  EFI_STATUS(EFIAPI* Set8)(UINTN TokenNumber, UINT8 Value);
  EFI_STATUS(EFIAPI* Set16)(UINTN TokenNumber, UINT16 Value);
  EFI_STATUS(EFIAPI* Set32)(UINTN TokenNumber, UINT32 Value);
  EFI_STATUS(EFIAPI* Set64)(UINTN TokenNumber, UINT64 Value);
  EFI_STATUS(EFIAPI* SetPtr)(UINTN TokenNumber, UINTN* SizeOfBuffer, VOID* Buffer);
  EFI_STATUS(EFIAPI* SetBool)(UINTN TokenNumber, BOOLEAN Value);

  EFI_STATUS(EFIAPI* Set8Ex)(const EFI_GUID* Guid, UINTN TokenNumber, UINT8 Value);
  EFI_STATUS(EFIAPI* Set16Ex)(const EFI_GUID* Guid, UINTN TokenNumber, UINT16 Value);
  EFI_STATUS(EFIAPI* Set32Ex)(const EFI_GUID* Guid, UINTN TokenNumber, UINT32 Value);
  EFI_STATUS(EFIAPI* Set64Ex)(const EFI_GUID* Guid, UINTN TokenNumber, UINT64 Value);
  EFI_STATUS(EFIAPI* SetPtrEx)(const EFI_GUID* Guid, UINTN TokenNumber, UINTN* SizeOfBuffer, VOID* Buffer);
  EFI_STATUS(EFIAPI* SetBoolEx)(const EFI_GUID* Guid, UINTN TokenNumber, BOOLEAN Value);

  EFI_STATUS(EFIAPI* CallbackOnSet)(const EFI_GUID* Guid, UINTN TokenNumber, PCD_PROTOCOL_CALLBACK CallBackFunction);
  EFI_STATUS(EFIAPI* CancelCallback)(const EFI_GUID* Guid, UINTN TokenNumber, PCD_PROTOCOL_CALLBACK CallBackFunction);
  EFI_STATUS(EFIAPI* GetNextToken)(const EFI_GUID* Guid, UINTN* TokenNumber);
  EFI_STATUS(EFIAPI* GetNextTokenSpace)(const EFI_GUID** Guid);
};
static_assert(offsetof(PCD_PROTOCOL, Get8) == 8);
static_assert(offsetof(PCD_PROTOCOL, Get32) == 24);
static_assert(offsetof(PCD_PROTOCOL, Get64) == 32);
static_assert(offsetof(PCD_PROTOCOL, GetBool) == 48);
static_assert(offsetof(PCD_PROTOCOL, Get8Ex) == 64);
static_assert(offsetof(PCD_PROTOCOL, Set8) == 120);
static_assert(offsetof(PCD_PROTOCOL, Set64) == 144);
static_assert(offsetof(PCD_PROTOCOL, Set8Ex) == 168);
static_assert(offsetof(PCD_PROTOCOL, CallbackOnSet) == 216);
static_assert(sizeof(PCD_PROTOCOL) == 248);  // 31 members

// ---------------------------------------------------------------------------
// EFI_PCD_PROTOCOL: settings addressed by token-space GUID and token number
// ---------------------------------------------------------------------------

using EFI_PCD_PROTOCOL_CALLBACK = VOID(EFIAPI*)(const EFI_GUID* Guid, UINTN CallBackToken, VOID* TokenData,
                                                UINTN TokenDataSize);

struct EFI_PCD_PROTOCOL {
  VOID(EFIAPI* SetSku)(UINTN SkuId);
  UINT8(EFIAPI* Get8)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINT16(EFIAPI* Get16)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINT32(EFIAPI* Get32)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINT64(EFIAPI* Get64)(const EFI_GUID* Guid, UINTN TokenNumber);
  VOID*(EFIAPI* GetPtr)(const EFI_GUID* Guid, UINTN TokenNumber);
  BOOLEAN(EFIAPI* GetBool)(const EFI_GUID* Guid, UINTN TokenNumber);
  UINTN(EFIAPI* GetSize)(const EFI_GUID* Guid, UINTN TokenNumber);
  EFI_STATUS(EFIAPI* Set8)(const EFI_GUID* Guid, UINTN TokenNumber, UINT8 Value);
  EFI_STATUS(EFIAPI* Set16)(const EFI_GUID* Guid, UINTN TokenNumber, UINT16 Value);
  EFI_STATUS(EFIAPI* Set32)(const EFI_GUID* Guid, UINTN TokenNumber, UINT32 Value);
  EFI_STATUS(EFIAPI* Set64)(const EFI_GUID* Guid, UINTN TokenNumber, UINT64 Value);
  EFI_STATUS(EFIAPI* SetPtr)(const EFI_GUID* Guid, UINTN TokenNumber, UINTN* SizeOfValue, VOID* Buffer);
  EFI_STATUS(EFIAPI* SetBool)(const EFI_GUID* Guid, UINTN TokenNumber, BOOLEAN Value);
  EFI_STATUS(EFIAPI* CallbackOnSet)
  (const EFI_GUID* Guid, UINTN CallBackToken, EFI_PCD_PROTOCOL_CALLBACK CallBackFunction);
  EFI_STATUS(EFIAPI* CancelCallback)
  (const EFI_GUID* Guid, UINTN CallBackToken, EFI_PCD_PROTOCOL_CALLBACK CallBackFunction);
  EFI_STATUS(EFIAPI* GetNextToken)(const EFI_GUID* Guid, UINTN* TokenNumber);
  EFI_STATUS(EFIAPI* GetNextTokenSpace)(const EFI_GUID** Guid);
};
static_assert(offsetof(EFI_PCD_PROTOCOL, Get8) == 8);
static_assert(offsetof(EFI_PCD_PROTOCOL, Get64) == 32);
static_assert(offsetof(EFI_PCD_PROTOCOL, GetBool) == 48);
static_assert(offsetof(EFI_PCD_PROTOCOL, Set8) == 64);
static_assert(offsetof(EFI_PCD_PROTOCOL, Set64) == 88);
static_assert(offsetof(EFI_PCD_PROTOCOL, CallbackOnSet) == 112);
static_assert(sizeof(EFI_PCD_PROTOCOL) == 144);  // 18 members

// ---------------------------------------------------------------------------
// SMM communication
// ---------------------------------------------------------------------------

struct EFI_SMM_COMMUNICATE_HEADER {
  EFI_GUID HeaderGuid;
  UINTN MessageLength;
  UINT8 Data[1];
};
static_assert(offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength) == 16);
static_assert(offsetof(EFI_SMM_COMMUNICATE_HEADER, Data) == 24);

struct EFI_SMM_COMMUNICATION_PROTOCOL;
using EFI_SMM_COMMUNICATE2 = EFI_STATUS(EFIAPI*)(const EFI_SMM_COMMUNICATION_PROTOCOL* This, VOID* CommBuffer,
                                                 UINTN* CommSize);
struct EFI_SMM_COMMUNICATION_PROTOCOL {
  EFI_SMM_COMMUNICATE2 Communicate;
};
static_assert(sizeof(EFI_SMM_COMMUNICATION_PROTOCOL) == 8);

// ---------------------------------------------------------------------------
// SMM base protocol and SMM system table
// ---------------------------------------------------------------------------

struct EFI_SMM_SYSTEM_TABLE2;

struct EFI_SMM_BASE2_PROTOCOL;
using EFI_SMM_INSIDE_OUT2 = EFI_STATUS(EFIAPI*)(const EFI_SMM_BASE2_PROTOCOL* This, BOOLEAN* InSmram);
using EFI_SMM_GET_SMST_LOCATION2 = EFI_STATUS(EFIAPI*)(const EFI_SMM_BASE2_PROTOCOL* This,
                                                       EFI_SMM_SYSTEM_TABLE2** Smst);
struct EFI_SMM_BASE2_PROTOCOL {
  EFI_SMM_INSIDE_OUT2 InSmm;
  EFI_SMM_GET_SMST_LOCATION2 GetSmstLocation;
};
static_assert(sizeof(EFI_SMM_BASE2_PROTOCOL) == 16);

using EFI_SMM_NOTIFY_FN = EFI_STATUS(EFIAPI*)(const EFI_GUID* Protocol, VOID* Interface, EFI_HANDLE Handle);
using EFI_SMM_REGISTER_PROTOCOL_NOTIFY = EFI_STATUS(EFIAPI*)(const EFI_GUID* Protocol, EFI_SMM_NOTIFY_FN Function,
                                                             VOID** Registration);
using EFI_SMM_INSTALL_CONFIGURATION_TABLE2 = EFI_STATUS(EFIAPI*)(const EFI_SMM_SYSTEM_TABLE2* SystemTable,
                                                                 const EFI_GUID* Guid, VOID* Table, UINTN TableSize);
using EFI_AP_PROCEDURE = VOID(EFIAPI*)(VOID* Buffer);
using EFI_SMM_STARTUP_THIS_AP = EFI_STATUS(EFIAPI*)(EFI_AP_PROCEDURE Procedure, UINTN CpuNumber, VOID* ProcArguments);
using EFI_SMM_HANDLER_ENTRY_POINT2 = EFI_STATUS(EFIAPI*)(EFI_HANDLE DispatchHandle, const VOID* Context,
                                                         VOID* CommBuffer, UINTN* CommBufferSize);
using EFI_SMM_INTERRUPT_MANAGE = EFI_STATUS(EFIAPI*)(const EFI_GUID* HandlerType, const VOID* Context, VOID* CommBuffer,
                                                     UINTN* CommBufferSize);
using EFI_SMM_INTERRUPT_REGISTER = EFI_STATUS(EFIAPI*)(EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                                                       const EFI_GUID* HandlerType, EFI_HANDLE* DispatchHandle);
using EFI_SMM_INTERRUPT_UNREGISTER = EFI_STATUS(EFIAPI*)(EFI_HANDLE DispatchHandle);

// EFI_SMM_CPU_IO2_PROTOCOL: memory and I/O access pairs, each {Read, Write}.
struct EFI_SMM_IO_ACCESS2 {
  VOID* Read;
  VOID* Write;
};
struct EFI_SMM_CPU_IO2_PROTOCOL {
  EFI_SMM_IO_ACCESS2 Mem;
  EFI_SMM_IO_ACCESS2 Io;
};
static_assert(sizeof(EFI_SMM_CPU_IO2_PROTOCOL) == 32);

struct EFI_SMM_SYSTEM_TABLE2 {
  EFI_TABLE_HEADER Hdr;
  CHAR16* SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_SMM_INSTALL_CONFIGURATION_TABLE2 SmmInstallConfigurationTable;
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_ALLOCATE_POOL SmmAllocatePool;
  EFI_FREE_POOL SmmFreePool;
  EFI_ALLOCATE_PAGES SmmAllocatePages;
  EFI_FREE_PAGES SmmFreePages;
  EFI_SMM_STARTUP_THIS_AP SmmStartupThisAp;
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN* CpuSaveStateSize;
  VOID** CpuSaveState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* SmmConfigurationTable;
  EFI_INSTALL_PROTOCOL_INTERFACE SmmInstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE SmmUninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL SmmHandleProtocol;
  EFI_SMM_REGISTER_PROTOCOL_NOTIFY SmmRegisterProtocolNotify;
  EFI_LOCATE_HANDLE SmmLocateHandle;
  EFI_LOCATE_PROTOCOL SmmLocateProtocol;
  EFI_SMM_INTERRUPT_MANAGE SmiManage;
  EFI_SMM_INTERRUPT_REGISTER SmiHandlerRegister;
  EFI_SMM_INTERRUPT_UNREGISTER SmiHandlerUnRegister;
};
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmInstallConfigurationTable) == 40);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmIo) == 48);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePool) == 80);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmFreePool) == 88);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, CurrentlyExecutingCpu) == 120);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmInstallProtocolInterface) == 168);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify) == 192);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 208);
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 240);

// ---------------------------------------------------------------------------
// Hand-off blocks
// ---------------------------------------------------------------------------

inline constexpr UINT16 EFI_HOB_TYPE_HANDOFF = 0x0001;
inline constexpr UINT16 EFI_HOB_TYPE_MEMORY_ALLOCATION = 0x0002;
inline constexpr UINT16 EFI_HOB_TYPE_RESOURCE_DESCRIPTOR = 0x0003;
inline constexpr UINT16 EFI_HOB_TYPE_GUID_EXTENSION = 0x0004;
inline constexpr UINT16 EFI_HOB_TYPE_UNUSED = 0xFFFE;
inline constexpr UINT16 EFI_HOB_TYPE_END_OF_HOB_LIST = 0xFFFF;

struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8);

struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
};
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24);
static_assert(offsetof(EFI_HOB_GUID_TYPE, Name) == 8);

struct EFI_HOB_HANDOFF_INFO_TABLE {
  EFI_HOB_GENERIC_HEADER Header;
  UINT32 Version;
  UINT32 BootMode;
  EFI_PHYSICAL_ADDRESS EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiEndOfHobList;
};
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 56);

// ---------------------------------------------------------------------------
// DXE services table (a configuration table)
// ---------------------------------------------------------------------------

using EFI_DISPATCH = EFI_STATUS(EFIAPI*)();
using EFI_PROCESS_FIRMWARE_VOLUME = EFI_STATUS(EFIAPI*)(const VOID* FirmwareVolumeHeader, UINTN Size,
                                                        EFI_HANDLE* FirmwareVolumeHandle);

inline constexpr UINT64 DXE_SERVICES_SIGNATURE = 0x565245535f455844ULL;  // "DXE_SERV"

// Only Dispatch and ProcessFirmwareVolume are called through this table; the
// other services keep their slots, untyped.
struct DXE_SERVICES {
  EFI_TABLE_HEADER Hdr;
  VOID* AddMemorySpace;
  VOID* AllocateMemorySpace;
  VOID* FreeMemorySpace;
  VOID* RemoveMemorySpace;
  VOID* GetMemorySpaceDescriptor;
  VOID* SetMemorySpaceAttributes;
  VOID* GetMemorySpaceMap;
  VOID* AddIoSpace;
  VOID* AllocateIoSpace;
  VOID* FreeIoSpace;
  VOID* RemoveIoSpace;
  VOID* GetIoSpaceDescriptor;
  VOID* GetIoSpaceMap;
  EFI_DISPATCH Dispatch;
  VOID* Schedule;
  VOID* Trust;
  EFI_PROCESS_FIRMWARE_VOLUME ProcessFirmwareVolume;
  VOID* SetMemorySpaceCapabilities;
};
static_assert(offsetof(DXE_SERVICES, AddMemorySpace) == 24);
static_assert(offsetof(DXE_SERVICES, Dispatch) == 128);
static_assert(offsetof(DXE_SERVICES, ProcessFirmwareVolume) == 152);
static_assert(sizeof(DXE_SERVICES) == 168);
