// UEFI tables and protocols, declared field for field in the order the UEFI
// specification gives. Every layout is asserted: a wrong slot would only show
// up in real firmware, never in a simulation built from this same header.
#pragma once

#include "platform/Base.h"

// ---------------------------------------------------------------------------
// Enumerations and constants
// ---------------------------------------------------------------------------

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiUnacceptedMemoryType,
  EfiMaxMemoryType
};
static_assert(sizeof(EFI_MEMORY_TYPE) == 4);

enum EFI_ALLOCATE_TYPE : UINT32 { AllocateAnyPages, AllocateMaxAddress, AllocateAddress, MaxAllocateType };
static_assert(sizeof(EFI_ALLOCATE_TYPE) == 4);

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE };
static_assert(sizeof(EFI_INTERFACE_TYPE) == 4);

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };
static_assert(sizeof(EFI_LOCATE_SEARCH_TYPE) == 4);

enum EFI_TIMER_DELAY : UINT32 { TimerCancel, TimerPeriodic, TimerRelative };
static_assert(sizeof(EFI_TIMER_DELAY) == 4);

enum EFI_RESET_TYPE : UINT32 { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific };
static_assert(sizeof(EFI_RESET_TYPE) == 4);

inline constexpr EFI_TPL TPL_APPLICATION = 4;
inline constexpr EFI_TPL TPL_CALLBACK = 8;
inline constexpr EFI_TPL TPL_NOTIFY = 16;
inline constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

inline constexpr UINT32 EVT_TIMER = 0x80000000;
inline constexpr UINT32 EVT_RUNTIME = 0x40000000;
inline constexpr UINT32 EVT_NOTIFY_WAIT = 0x00000100;
inline constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200;
inline constexpr UINT32 EVT_SIGNAL_EXIT_BOOT_SERVICES = 0x00000201;
inline constexpr UINT32 EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE = 0x60000202;

inline constexpr UINTN EFI_PAGE_SIZE = 4096;
constexpr UINTN EFI_SIZE_TO_PAGES(UINTN size) { return (size + EFI_PAGE_SIZE - 1) / EFI_PAGE_SIZE; }

// Text attributes: foreground in bits 0-3, background in bits 4-6.
inline constexpr UINTN EFI_BLACK = 0x00;
inline constexpr UINTN EFI_BLUE = 0x01;
inline constexpr UINTN EFI_LIGHTGRAY = 0x07;
inline constexpr UINTN EFI_WHITE = 0x0F;
inline constexpr UINTN EFI_BACKGROUND_BLUE = 0x10;
constexpr UINTN EFI_TEXT_ATTR(UINTN foreground, UINTN background) { return foreground | (background << 4); }

// Scan codes of EFI_INPUT_KEY.
inline constexpr UINT16 SCAN_NULL = 0x00;
inline constexpr UINT16 SCAN_UP = 0x01;
inline constexpr UINT16 SCAN_DOWN = 0x02;
inline constexpr UINT16 SCAN_ESC = 0x17;

// ---------------------------------------------------------------------------
// Common records
// ---------------------------------------------------------------------------

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

struct EFI_MEMORY_DESCRIPTOR {
  UINT32 Type;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS VirtualStart;
  UINT64 NumberOfPages;
  UINT64 Attribute;
};
static_assert(sizeof(EFI_MEMORY_DESCRIPTOR) == 40);

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16);

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4);

struct EFI_OPEN_PROTOCOL_INFORMATION_ENTRY {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32 Attributes;
  UINT32 OpenCount;
};
static_assert(sizeof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY) == 24);

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID* VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24);
static_assert(offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 16);

// ---------------------------------------------------------------------------
// Simple text input and output
// ---------------------------------------------------------------------------

struct EFI_INPUT_KEY {
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
};
static_assert(sizeof(EFI_INPUT_KEY) == 4);
static_assert(offsetof(EFI_INPUT_KEY, UnicodeChar) == 2);

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
using EFI_INPUT_RESET = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This, BOOLEAN ExtendedVerification);
using EFI_INPUT_READ_KEY = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This, EFI_INPUT_KEY* Key);

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
  EFI_INPUT_RESET Reset;
  EFI_INPUT_READ_KEY ReadKeyStroke;
  EFI_EVENT WaitForKey;
};
static_assert(sizeof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL) == 24);
static_assert(offsetof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, WaitForKey) == 16);

struct SIMPLE_TEXT_OUTPUT_MODE {
  INT32 MaxMode;
  INT32 Mode;
  INT32 Attribute;
  INT32 CursorColumn;
  INT32 CursorRow;
  BOOLEAN CursorVisible;
};
using EFI_SIMPLE_TEXT_OUTPUT_MODE = SIMPLE_TEXT_OUTPUT_MODE;
static_assert(sizeof(SIMPLE_TEXT_OUTPUT_MODE) == 24);
static_assert(offsetof(SIMPLE_TEXT_OUTPUT_MODE, CursorRow) == 16);
static_assert(offsetof(SIMPLE_TEXT_OUTPUT_MODE, CursorVisible) == 20);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
using EFI_TEXT_RESET = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, BOOLEAN ExtendedVerification);
using EFI_TEXT_STRING = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, const CHAR16* String);
using EFI_TEXT_TEST_STRING = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, const CHAR16* String);
using EFI_TEXT_QUERY_MODE = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN ModeNumber, UINTN* Columns,
                                                UINTN* Rows);
using EFI_TEXT_SET_MODE = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN ModeNumber);
using EFI_TEXT_SET_ATTRIBUTE = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN Attribute);
using EFI_TEXT_CLEAR_SCREEN = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This);
using EFI_TEXT_SET_CURSOR_POSITION = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN Column,
                                                         UINTN Row);
using EFI_TEXT_ENABLE_CURSOR = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, BOOLEAN Visible);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  EFI_TEXT_RESET Reset;
  EFI_TEXT_STRING OutputString;
  EFI_TEXT_TEST_STRING TestString;
  EFI_TEXT_QUERY_MODE QueryMode;
  EFI_TEXT_SET_MODE SetMode;
  EFI_TEXT_SET_ATTRIBUTE SetAttribute;
  EFI_TEXT_CLEAR_SCREEN ClearScreen;
  EFI_TEXT_SET_CURSOR_POSITION SetCursorPosition;
  EFI_TEXT_ENABLE_CURSOR EnableCursor;
  SIMPLE_TEXT_OUTPUT_MODE* Mode;
};
static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == 80);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, QueryMode) == 24);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, ClearScreen) == 48);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, EnableCursor) == 64);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Mode) == 72);

// ---------------------------------------------------------------------------
// Boot services
// ---------------------------------------------------------------------------

using EFI_EVENT_NOTIFY = VOID(EFIAPI*)(EFI_EVENT Event, VOID* Context);

using EFI_RAISE_TPL = EFI_TPL(EFIAPI*)(EFI_TPL NewTpl);
using EFI_RESTORE_TPL = VOID(EFIAPI*)(EFI_TPL OldTpl);
using EFI_ALLOCATE_PAGES = EFI_STATUS(EFIAPI*)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                               EFI_PHYSICAL_ADDRESS* Memory);
using EFI_FREE_PAGES = EFI_STATUS(EFIAPI*)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
using EFI_GET_MEMORY_MAP = EFI_STATUS(EFIAPI*)(UINTN* MemoryMapSize, EFI_MEMORY_DESCRIPTOR* MemoryMap, UINTN* MapKey,
                                               UINTN* DescriptorSize, UINT32* DescriptorVersion);
using EFI_ALLOCATE_POOL = EFI_STATUS(EFIAPI*)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID** Buffer);
using EFI_FREE_POOL = EFI_STATUS(EFIAPI*)(VOID* Buffer);
using EFI_CREATE_EVENT = EFI_STATUS(EFIAPI*)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                             VOID* NotifyContext, EFI_EVENT* Event);
using EFI_SET_TIMER = EFI_STATUS(EFIAPI*)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
using EFI_WAIT_FOR_EVENT = EFI_STATUS(EFIAPI*)(UINTN NumberOfEvents, EFI_EVENT* Event, UINTN* Index);
using EFI_SIGNAL_EVENT = EFI_STATUS(EFIAPI*)(EFI_EVENT Event);
using EFI_CLOSE_EVENT = EFI_STATUS(EFIAPI*)(EFI_EVENT Event);
using EFI_CHECK_EVENT = EFI_STATUS(EFIAPI*)(EFI_EVENT Event);
using EFI_INSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI*)(EFI_HANDLE* Handle, const EFI_GUID* Protocol,
                                                           EFI_INTERFACE_TYPE InterfaceType, VOID* Interface);
using EFI_REINSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, const EFI_GUID* Protocol,
                                                             VOID* OldInterface, VOID* NewInterface);
using EFI_UNINSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, const EFI_GUID* Protocol,
                                                             VOID* Interface);
using EFI_HANDLE_PROTOCOL = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, const EFI_GUID* Protocol, VOID** Interface);
using EFI_REGISTER_PROTOCOL_NOTIFY = EFI_STATUS(EFIAPI*)(const EFI_GUID* Protocol, EFI_EVENT Event,
                                                         VOID** Registration);
using EFI_LOCATE_HANDLE = EFI_STATUS(EFIAPI*)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID* Protocol,
                                              VOID* SearchKey, UINTN* BufferSize, EFI_HANDLE* Buffer);
using EFI_LOCATE_DEVICE_PATH = EFI_STATUS(EFIAPI*)(const EFI_GUID* Protocol, EFI_DEVICE_PATH_PROTOCOL** DevicePath,
                                                   EFI_HANDLE* Device);
using EFI_INSTALL_CONFIGURATION_TABLE = EFI_STATUS(EFIAPI*)(const EFI_GUID* Guid, VOID* Table);
using EFI_IMAGE_LOAD = EFI_STATUS(EFIAPI*)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL* DevicePath, VOID* SourceBuffer, UINTN SourceSize,
                                           EFI_HANDLE* ImageHandle);
using EFI_IMAGE_START = EFI_STATUS(EFIAPI*)(EFI_HANDLE ImageHandle, UINTN* ExitDataSize, CHAR16** ExitData);
using EFI_EXIT = EFI_STATUS(EFIAPI*)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize,
                                     CHAR16* ExitData);
using EFI_IMAGE_UNLOAD = EFI_STATUS(EFIAPI*)(EFI_HANDLE ImageHandle);
using EFI_EXIT_BOOT_SERVICES = EFI_STATUS(EFIAPI*)(EFI_HANDLE ImageHandle, UINTN MapKey);
using EFI_GET_NEXT_MONOTONIC_COUNT = EFI_STATUS(EFIAPI*)(UINT64* Count);
using EFI_STALL = EFI_STATUS(EFIAPI*)(UINTN Microseconds);
using EFI_SET_WATCHDOG_TIMER = EFI_STATUS(EFIAPI*)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize,
                                                   CHAR16* WatchdogData);
using EFI_CONNECT_CONTROLLER = EFI_STATUS(EFIAPI*)(EFI_HANDLE ControllerHandle, EFI_HANDLE* DriverImageHandle,
                                                   EFI_DEVICE_PATH_PROTOCOL* RemainingDevicePath, BOOLEAN Recursive);
using EFI_DISCONNECT_CONTROLLER = EFI_STATUS(EFIAPI*)(EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle,
                                                      EFI_HANDLE ChildHandle);
using EFI_OPEN_PROTOCOL = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, const EFI_GUID* Protocol, VOID** Interface,
                                              EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle, UINT32 Attributes);
using EFI_CLOSE_PROTOCOL = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, const EFI_GUID* Protocol, EFI_HANDLE AgentHandle,
                                               EFI_HANDLE ControllerHandle);
using EFI_OPEN_PROTOCOL_INFORMATION = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, const EFI_GUID* Protocol,
                                                          EFI_OPEN_PROTOCOL_INFORMATION_ENTRY** EntryBuffer,
                                                          UINTN* EntryCount);
using EFI_PROTOCOLS_PER_HANDLE = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, EFI_GUID*** ProtocolBuffer,
                                                     UINTN* ProtocolBufferCount);
using EFI_LOCATE_HANDLE_BUFFER = EFI_STATUS(EFIAPI*)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID* Protocol,
                                                     VOID* SearchKey, UINTN* NoHandles, EFI_HANDLE** Buffer);
using EFI_LOCATE_PROTOCOL = EFI_STATUS(EFIAPI*)(const EFI_GUID* Protocol, VOID* Registration, VOID** Interface);
using EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES = EFI_STATUS(EFIAPI*)(EFI_HANDLE* Handle, ...);
using EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES = EFI_STATUS(EFIAPI*)(EFI_HANDLE Handle, ...);
using EFI_CALCULATE_CRC32 = EFI_STATUS(EFIAPI*)(VOID* Data, UINTN DataSize, UINT32* Crc32);
using EFI_COPY_MEM = VOID(EFIAPI*)(VOID* Destination, VOID* Source, UINTN Length);
using EFI_SET_MEM = VOID(EFIAPI*)(VOID* Buffer, UINTN Size, UINT8 Value);
using EFI_CREATE_EVENT_EX = EFI_STATUS(EFIAPI*)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                                const VOID* NotifyContext, const EFI_GUID* EventGroup,
                                                EFI_EVENT* Event);

inline constexpr UINT64 EFI_BOOT_SERVICES_SIGNATURE = 0x56524553544f4f42ULL;  // "BOOTSERV"

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID* Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  EFI_GET_NEXT_MONOTONIC_COUNT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER ConnectController;
  EFI_DISCONNECT_CONTROLLER DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_OPEN_PROTOCOL_INFORMATION OpenProtocolInformation;
  EFI_PROTOCOLS_PER_HANDLE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
};
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePages) == 40);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 72);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEvent) == 80);
static_assert(offsetof(EFI_BOOT_SERVICES, WaitForEvent) == 96);
static_assert(offsetof(EFI_BOOT_SERVICES, SignalEvent) == 104);
static_assert(offsetof(EFI_BOOT_SERVICES, CloseEvent) == 112);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152);
static_assert(offsetof(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 168);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 192);
static_assert(offsetof(EFI_BOOT_SERVICES, LoadImage) == 200);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 248);
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 312);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320);
static_assert(offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == 344);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 368);
static_assert(sizeof(EFI_BOOT_SERVICES) == 376);

// ---------------------------------------------------------------------------
// Runtime services
// ---------------------------------------------------------------------------

struct EFI_TIME_CAPABILITIES {
  UINT32 Resolution;
  UINT32 Accuracy;
  BOOLEAN SetsToZero;
};

struct EFI_CAPSULE_HEADER;

using EFI_GET_TIME = EFI_STATUS(EFIAPI*)(EFI_TIME* Time, EFI_TIME_CAPABILITIES* Capabilities);
using EFI_SET_TIME = EFI_STATUS(EFIAPI*)(EFI_TIME* Time);
using EFI_GET_WAKEUP_TIME = EFI_STATUS(EFIAPI*)(BOOLEAN* Enabled, BOOLEAN* Pending, EFI_TIME* Time);
using EFI_SET_WAKEUP_TIME = EFI_STATUS(EFIAPI*)(BOOLEAN Enable, EFI_TIME* Time);
using EFI_SET_VIRTUAL_ADDRESS_MAP = EFI_STATUS(EFIAPI*)(UINTN MemoryMapSize, UINTN DescriptorSize,
                                                        UINT32 DescriptorVersion, EFI_MEMORY_DESCRIPTOR* VirtualMap);
using EFI_CONVERT_POINTER = EFI_STATUS(EFIAPI*)(UINTN DebugDisposition, VOID** Address);
// Variable attributes.
inline constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x00000001;
inline constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x00000002;
inline constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x00000004;

using EFI_GET_VARIABLE = EFI_STATUS(EFIAPI*)(CHAR16* VariableName, EFI_GUID* VendorGuid, UINT32* Attributes,
                                             UINTN* DataSize, VOID* Data);
using EFI_GET_NEXT_VARIABLE_NAME = EFI_STATUS(EFIAPI*)(UINTN* VariableNameSize, CHAR16* VariableName,
                                                       EFI_GUID* VendorGuid);
using EFI_SET_VARIABLE = EFI_STATUS(EFIAPI*)(CHAR16* VariableName, EFI_GUID* VendorGuid, UINT32 Attributes,
                                             UINTN DataSize, VOID* Data);
using EFI_GET_NEXT_HIGH_MONO_COUNT = EFI_STATUS(EFIAPI*)(UINT32* HighCount);
using EFI_RESET_SYSTEM = VOID(EFIAPI*)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                       VOID* ResetData);
using EFI_UPDATE_CAPSULE = EFI_STATUS(EFIAPI*)(EFI_CAPSULE_HEADER** CapsuleHeaderArray, UINTN CapsuleCount,
                                               EFI_PHYSICAL_ADDRESS ScatterGatherList);
using EFI_QUERY_CAPSULE_CAPABILITIES = EFI_STATUS(EFIAPI*)(EFI_CAPSULE_HEADER** CapsuleHeaderArray, UINTN CapsuleCount,
                                                           UINT64* MaximumCapsuleSize, EFI_RESET_TYPE* ResetType);
using EFI_QUERY_VARIABLE_INFO = EFI_STATUS(EFIAPI*)(UINT32 Attributes, UINT64* MaximumVariableStorageSize,
                                                    UINT64* RemainingVariableStorageSize, UINT64* MaximumVariableSize);

inline constexpr UINT64 EFI_RUNTIME_SERVICES_SIGNATURE = 0x56524553544e5552ULL;  // "RUNTSERV"

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_GET_TIME GetTime;
  EFI_SET_TIME SetTime;
  EFI_GET_WAKEUP_TIME GetWakeupTime;
  EFI_SET_WAKEUP_TIME SetWakeupTime;
  EFI_SET_VIRTUAL_ADDRESS_MAP SetVirtualAddressMap;
  EFI_CONVERT_POINTER ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_GET_NEXT_VARIABLE_NAME GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  EFI_GET_NEXT_HIGH_MONO_COUNT GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  EFI_UPDATE_CAPSULE UpdateCapsule;
  EFI_QUERY_CAPSULE_CAPABILITIES QueryCapsuleCapabilities;
  EFI_QUERY_VARIABLE_INFO QueryVariableInfo;
};
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetTime) == 24);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72);
static_assert(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 104);
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136);

// ---------------------------------------------------------------------------
// System table
// ---------------------------------------------------------------------------

inline constexpr UINT64 EFI_SYSTEM_TABLE_SIGNATURE = 0x5453595320494249ULL;  // "IBI SYST"

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16* FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* StdErr;
  EFI_RUNTIME_SERVICES* RuntimeServices;
  EFI_BOOT_SERVICES* BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareVendor) == 24);
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == 32);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConsoleInHandle) == 40);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConIn) == 48);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 64);
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112);
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);

using EFI_IMAGE_ENTRY_POINT = EFI_STATUS(EFIAPI*)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

// ---------------------------------------------------------------------------
// Loaded image, simple file system and file protocols (used by the harness
// that loads the driver in real firmware)
// ---------------------------------------------------------------------------

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL* FilePath;
  VOID* Reserved;
  UINT32 LoadOptionsSize;
  VOID* LoadOptions;
  VOID* ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_IMAGE_UNLOAD Unload;
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 48);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, Unload) == 88);
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96);

struct EFI_FILE_PROTOCOL;
using EFI_FILE_OPEN = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This, EFI_FILE_PROTOCOL** NewHandle,
                                          const CHAR16* FileName, UINT64 OpenMode, UINT64 Attributes);
using EFI_FILE_CLOSE = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This);
using EFI_FILE_DELETE = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This);
using EFI_FILE_READ = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer);
using EFI_FILE_WRITE = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer);
using EFI_FILE_GET_POSITION = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This, UINT64* Position);
using EFI_FILE_SET_POSITION = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This, UINT64 Position);
using EFI_FILE_GET_INFO = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This, EFI_GUID* InformationType, UINTN* BufferSize,
                                              VOID* Buffer);
using EFI_FILE_SET_INFO = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This, EFI_GUID* InformationType, UINTN BufferSize,
                                              VOID* Buffer);
using EFI_FILE_FLUSH = EFI_STATUS(EFIAPI*)(EFI_FILE_PROTOCOL* This);

inline constexpr UINT64 EFI_FILE_MODE_READ = 0x0000000000000001ULL;
inline constexpr UINT64 EFI_FILE_MODE_WRITE = 0x0000000000000002ULL;
inline constexpr UINT64 EFI_FILE_MODE_CREATE = 0x8000000000000000ULL;

struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  EFI_FILE_DELETE Delete;
  EFI_FILE_READ Read;
  EFI_FILE_WRITE Write;
  EFI_FILE_GET_POSITION GetPosition;
  EFI_FILE_SET_POSITION SetPosition;
  EFI_FILE_GET_INFO GetInfo;
  EFI_FILE_SET_INFO SetInfo;
  EFI_FILE_FLUSH Flush;
};
static_assert(offsetof(EFI_FILE_PROTOCOL, Read) == 32);
static_assert(offsetof(EFI_FILE_PROTOCOL, GetInfo) == 64);
static_assert(sizeof(EFI_FILE_PROTOCOL) == 88);

struct EFI_FILE_INFO {
  UINT64 Size;
  UINT64 FileSize;
  UINT64 PhysicalSize;
  EFI_TIME CreateTime;
  EFI_TIME LastAccessTime;
  EFI_TIME ModificationTime;
  UINT64 Attribute;
  CHAR16 FileName[1];
};
static_assert(offsetof(EFI_FILE_INFO, FileSize) == 8);
static_assert(offsetof(EFI_FILE_INFO, Attribute) == 72);
static_assert(offsetof(EFI_FILE_INFO, FileName) == 80);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;
using EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* This,
                                                                        EFI_FILE_PROTOCOL** Root);
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME OpenVolume;
};
static_assert(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16);
