// Every GUID the driver, the simulated platform, the reference platform and
// the firmware harness use, written once in registry form.
#pragma once

#include "platform/Base.h"

// --- Protocols and tables of this driver -----------------------------------
inline constexpr EFI_GUID gFtpmRecoveryProtocolGuid = MakeGuid("2332FAD6-BEF3-4A03-90BB-E2A1DF178A2C");
inline constexpr EFI_GUID gBufferCacheProtocolGuid = MakeGuid("AF62673D-DEDA-43AE-8F03-9C2D89FD78DA");
inline constexpr EFI_GUID gHeapBufferHobGuid = MakeGuid("D97D161A-16CD-4ADA-B9F6-AEC3F9FCCC2C");
inline constexpr EFI_GUID gTscFrequencyTableGuid = MakeGuid("9BC17822-F911-4E18-B212-C9FB9E4E3B36");
// Name of the driver's firmware file (FtpmRecoveryDxe.ffs) in a firmware volume.
inline constexpr EFI_GUID gFtpmRecoveryDxeFileGuid = MakeGuid("45FE3E99-C7A4-4918-B123-914F98F78C8B");

// --- Platform protocols the driver looks up --------------------------------
inline constexpr EFI_GUID gDebugPrintProtocolGuid = MakeGuid("669ED5B1-49A3-4C59-9D2D-0432AD6CDB61");
inline constexpr EFI_GUID gEraseServiceReadyProtocolGuid = MakeGuid("9F373486-DA76-4C9F-8155-6CCDDB0B0B04");
inline constexpr EFI_GUID gSmbusHcProtocolGuid = MakeGuid("E49D33ED-513D-4634-B698-6F55AA751C1B");
inline constexpr EFI_GUID gHiiStringProtocolGuid = MakeGuid("0FD96974-23AA-4CDC-B9CB-98D17750322A");
inline constexpr EFI_GUID gHiiDatabaseProtocolGuid = MakeGuid("EF9FC172-A1B2-4693-B327-6D32FC416042");
inline constexpr EFI_GUID gHiiConfigRoutingProtocolGuid = MakeGuid("587E72D7-CC50-4F79-8209-CA291FC1A10F");
inline constexpr EFI_GUID gHiiFontProtocolGuid = MakeGuid("E9CA4775-8657-47FC-97E7-7ED65A084324");
inline constexpr EFI_GUID gHiiImageProtocolGuid = MakeGuid("31A6406A-6BDF-4E46-B2A2-EBAA89C40920");

// --- Settings ---------------------------------------------------------------
inline constexpr EFI_GUID gPcdProtocolGuid = MakeGuid("11B34006-D85B-4D0A-A290-D5A571310EF7");
inline constexpr EFI_GUID gEfiPcdProtocolGuid = MakeGuid("13A3F0F6-264A-3EF0-F2E0-DEC512342F34");
inline constexpr EFI_GUID gSmmCommBufferTokenSpaceGuid = MakeGuid("7788ADF0-9788-4A3F-83FA-CB512E7CF8DD");

// --- SMM ----------------------------------------------------------------------
inline constexpr EFI_GUID gEfiSmmCommunicationProtocolGuid = MakeGuid("C68ED8E2-9DC6-4CBD-9D94-DB65ACC5C332");
inline constexpr EFI_GUID gEfiSmmBase2ProtocolGuid = MakeGuid("F4CCBFB7-F6E0-47FD-9DD4-10A8F150C191");
inline constexpr EFI_GUID gFlashSmmServiceGuid = MakeGuid("B2ABCCBF-02E1-436F-98B0-20599C49E2A1");
inline constexpr EFI_GUID gS3TableHandOverGuid = MakeGuid("5C4061F0-D051-4F43-BC23-5E5E89B3CEC0");
inline constexpr EFI_GUID gEfiDxeSmmReadyToLockProtocolGuid = MakeGuid("60FF8964-E906-41D0-AFED-F241E974E08E");
inline constexpr EFI_GUID gEfiSmmReadyToLockProtocolGuid = MakeGuid("47B7FA8C-F4BD-4AF6-8200-333086F0D2C8");
// The two SMM protocols whose installation fixes the boot-script length.
inline constexpr EFI_GUID gScriptFixLengthTriggerGuidA = MakeGuid("296EB418-C4C8-4E05-AB59-39E8AF56F00A");
inline constexpr EFI_GUID gScriptFixLengthTriggerGuidB = MakeGuid("85A8AB57-0644-4110-850F-981322047070");

// --- Lock-box names -----------------------------------------------------------
// The whole reserved boot-script table: saved, marked restore-in-place, restored.
inline constexpr EFI_GUID gLockBoxScriptTableGuid = MakeGuid("AEA6B965-DCF5-4311-B4B8-0F12464494D2");
// Marked restore-in-place at ready-to-lock.
inline constexpr EFI_GUID gLockBoxReadyToLockGuid = MakeGuid("1810AB4A-2314-4DF6-81EB-67C6EC058591");
// The used part of the table, terminator included, saved when its length is fixed.
inline constexpr EFI_GUID gLockBoxUsedScriptGuid = MakeGuid("B5AF1D7A-B8CF-4EB3-8925-A820E16B687D");
// Marked restore-in-place when the length is fixed.
inline constexpr EFI_GUID gLockBoxFixLengthGuid = MakeGuid("627EE2DA-3BF9-439B-929F-2E0E6E9DBA62");

// --- Configuration tables and event groups ------------------------------------
inline constexpr EFI_GUID gEfiHobListGuid = MakeGuid("7739F24C-93D7-11D4-9A3A-0090273FC14D");
inline constexpr EFI_GUID gEfiDxeServicesTableGuid = MakeGuid("05AD34BA-6F02-4214-952E-4DA0398E2BB9");
inline constexpr EFI_GUID gEfiEventReadyToBootGuid = MakeGuid("7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B");

// --- Firmware storage -----------------------------------------------------------
inline constexpr EFI_GUID gEfiFirmwareFileSystem2Guid = MakeGuid("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
inline constexpr EFI_GUID gEfiFirmwareFileSystem3Guid = MakeGuid("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");
// GUID-defined sections whose data is an LZMA "alone" stream.
inline constexpr EFI_GUID gLzmaCustomDecompressGuid = MakeGuid("EE4E5898-3914-4259-9D6E-DC7BD79403CF");

// --- The reference platform's firmware files and variables ---------------------
// FtpmPlatformDxe: the DXE driver that plays the platform around the driver.
inline constexpr EFI_GUID gFtpmPlatformDxeFileGuid = MakeGuid("7D73F219-9B9D-4D03-87CC-2EBC7A50F2B4");
// FtpmSysPrep: the SysPrep#### application that calls the recovery handler.
inline constexpr EFI_GUID gFtpmSysPrepFileGuid = MakeGuid("0A086351-8DFE-48E3-BDE4-DE4D74C64315");
// Vendor GUID of the reference platform's non-volatile variables.
inline constexpr EFI_GUID gFtpmPlatformVariableGuid = MakeGuid("1DB6924C-5439-4A13-A4EB-EEC4434E5DA4");
// The DXE core's own firmware file: the parent of every image its dispatcher starts.
inline constexpr EFI_GUID gDxeCoreFileGuid = MakeGuid("D6A2CB7F-6A18-4E2F-B43B-9920A733700A");
// The boot manager's file (BdsDxe): the parent of the load options it runs.
inline constexpr EFI_GUID gBdsDxeFileGuid = MakeGuid("6D33944A-EC75-4855-A54D-809C75241F6C");

// --- Standard UEFI and PI names used by the reference platform and harness -------
inline constexpr EFI_GUID gEfiGlobalVariableGuid = MakeGuid("8BE4DF61-93CA-11D2-AA0D-00E098032B8C");
inline constexpr EFI_GUID gEfiEndOfDxeEventGroupGuid = MakeGuid("02CE967A-DD7E-4FFC-9EE7-810CF0470880");
inline constexpr EFI_GUID gEfiPciEnumerationCompleteProtocolGuid = MakeGuid("30CFE3E7-3DE1-4586-BE20-DEABA1B3B793");
inline constexpr EFI_GUID gEfiVariableArchProtocolGuid = MakeGuid("1E5668E2-8481-11D4-BCF1-0080C73C8881");
inline constexpr EFI_GUID gEfiVariableWriteArchProtocolGuid = MakeGuid("6441F818-6362-4E44-B570-7DBA31DD2453");
inline constexpr EFI_GUID gEfiLoadedImageProtocolGuid = MakeGuid("5B1B31A1-9562-11D2-8E3F-00A0C969723B");
inline constexpr EFI_GUID gEfiSimpleFileSystemProtocolGuid = MakeGuid("964E5B22-6459-11D2-8E39-00A0C969723B");
inline constexpr EFI_GUID gEfiFileInfoGuid = MakeGuid("09576E92-6D3F-11D2-8E39-00A0C969723B");
inline constexpr EFI_GUID gEfiDevicePathProtocolGuid = MakeGuid("09576E91-6D3F-11D2-8E39-00A0C969723B");
inline constexpr EFI_GUID gEfiSimpleTextOutProtocolGuid = MakeGuid("387477C2-69C7-11D2-8E39-00A0C969723B");
inline constexpr EFI_GUID gEfiSimpleTextInProtocolGuid = MakeGuid("387477C1-69C7-11D2-8E39-00A0C969723B");
