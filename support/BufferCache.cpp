#include "support/BufferCache.h"

#include "platform/Guids.h"
#include "support/Diagnostics.h"
#include "support/Firmware.h"
#include "support/Memory.h"
#include "support/PostCodes.h"

namespace ftpm::support {

constinit BufferCacheState gBufferCacheState{kBufferCacheStateAtLoad};

namespace {

constexpr UINTN kGuidHobHeaderSize = sizeof(EFI_HOB_GUID_TYPE);
constexpr UINTN kHeapHobMinimumLength = kGuidHobHeaderSize + sizeof(HeapBufferHeader);

void InitializeListHead(LIST_ENTRY* head) {
  head->ForwardLink = head;
  head->BackLink = head;
}

LIST_ENTRY* OwnList() {
  LIST_ENTRY* head = &gBufferCacheState.Interface.ListHead;
  InitializeListHead(head);
  gBufferCacheState.ListHead = head;
  return head;
}

// The end of the list as its hand-off HOB announces it (just past the
// end-of-list HOB), or NULL when the list does not start with one.
UINT8* AnnouncedEnd(VOID* hobList) {
  auto* start = static_cast<UINT8*>(hobList);
  const auto type = ReadUnaligned<UINT16>(start);
  const auto length = ReadUnaligned<UINT16>(start + 2);
  if (type != EFI_HOB_TYPE_HANDOFF || length < sizeof(EFI_HOB_HANDOFF_INFO_TABLE)) {
    return nullptr;
  }
  const auto endHob = ReadUnaligned<UINT64>(start + offsetof(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList));
  const auto startAddress = reinterpret_cast<UINT64>(start);
  if (endHob < startAddress + length || endHob > ~UINT64{0} - sizeof(EFI_HOB_GENERIC_HEADER)) {
    return nullptr;
  }
  return AddressToPointer<UINT8>(endHob + sizeof(EFI_HOB_GENERIC_HEADER));
}

}  // namespace

VOID* LocateHobList() {
  if (gBufferCacheState.HobList == nullptr) {
    GetConfigurationTable(&gEfiHobListGuid, &gBufferCacheState.HobList);
    if (gBufferCacheState.HobList != nullptr) {
      gBufferCacheState.HobListEnd = AnnouncedEnd(gBufferCacheState.HobList);
    }
  }
  return gBufferCacheState.HobList;
}

VOID* NextHeapBufferHob(VOID* HobStart) {
  const UINT8* end = gBufferCacheState.HobListEnd;
  auto* hob = static_cast<UINT8*>(HobStart);
  while (hob != nullptr) {
    if (end != nullptr && (hob >= end || static_cast<UINTN>(end - hob) < sizeof(EFI_HOB_GENERIC_HEADER))) {
      return nullptr;
    }
    const auto type = ReadUnaligned<UINT16>(hob);
    const auto length = ReadUnaligned<UINT16>(hob + 2);
    if (type == EFI_HOB_TYPE_END_OF_HOB_LIST || length < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return nullptr;
    }
    if (end != nullptr && length > static_cast<UINTN>(end - hob)) {
      return nullptr;
    }
    if (type == EFI_HOB_TYPE_GUID_EXTENSION && length >= kGuidHobHeaderSize) {
      EFI_GUID name;
      CopyMem(&name, hob + offsetof(EFI_HOB_GUID_TYPE, Name), sizeof name);
      if (CompareGuid(&name, &gHeapBufferHobGuid) != FALSE) {
        return hob;
      }
    }
    hob += length;
  }
  return nullptr;
}

void ImportHeapBuffers() {
  auto* found = static_cast<BUFFER_CACHE_PROTOCOL*>(LocateInterface(gBufferCacheProtocolGuid));
  if (found != nullptr) {
    gBufferCacheState.ListHead = &found->ListHead;
    return;
  }

  OwnList();
  VOID* hobList = LocateHobList();
  auto* hob = hobList != nullptr ? static_cast<UINT8*>(NextHeapBufferHob(hobList)) : nullptr;
  while (hob != nullptr) {
    const auto length = ReadUnaligned<UINT16>(hob + 2);
    // A HOB too short for a buffer header, or whose header announces more
    // data than the HOB holds, is not imported.
    if (length >= kHeapHobMinimumLength) {
      HeapBufferHeader header;
      CopyMem(&header, hob + kGuidHobHeaderSize, sizeof header);
      const bool fits = header.Size <= length - kHeapHobMinimumLength;
      if (header.Signature == kHeapSignature && header.InUse == 1 && fits) {
        BufferNode* node = nullptr;
        if (AddBufferNode(&header, &node) == EFI_SUCCESS && header.Size != 0) {
          CopyMem(NodeData(node), hob + kHeapHobMinimumLength, header.Size);
        }
      }
    }
    hob = static_cast<UINT8*>(NextHeapBufferHob(hob + length));
  }

  EFI_HANDLE handle = nullptr;
  const EFI_STATUS status = BootServices()->InstallProtocolInterface(
      &handle, &gBufferCacheProtocolGuid, EFI_NATIVE_INTERFACE, &gBufferCacheState.Interface);
  if (status != EFI_SUCCESS) {
    PostCodeHalt(postcode::kBufferCacheInstallFailed);
    return;
  }
  gBufferCacheState.PublishedHandle = handle;
}

void BufferCacheShutDown() {
  if (gBufferCacheState.PublishedHandle == nullptr) {
    return;
  }
  BootServices()->UninstallProtocolInterface(gBufferCacheState.PublishedHandle, &gBufferCacheProtocolGuid,
                                             &gBufferCacheState.Interface);
  gBufferCacheState.PublishedHandle = nullptr;
}

EFI_STATUS AddBufferNode(const HeapBufferHeader* Header, BufferNode** Node) {
  const bool runtime = Header->Persistence == kPersistenceRuntime;
  VOID* memory = nullptr;
  if (EFI_ERROR(BootServices()->AllocatePool(runtime ? EfiRuntimeServicesData : EfiBootServicesData,
                                             sizeof(BufferNode) + Header->Size, &memory)) ||
      memory == nullptr) {
    PostCodeHalt(runtime ? postcode::kRuntimeNodeAllocationFailed : postcode::kBootNodeAllocationFailed);
    return EFI_UNSUPPORTED;
  }
  LIST_ENTRY* head = gBufferCacheState.ListHead != nullptr ? gBufferCacheState.ListHead : OwnList();
  auto* node = static_cast<BufferNode*>(memory);
  *Node = node;
  CopyMem(&node->Header, Header, sizeof node->Header);
  node->Link.ForwardLink = head;
  node->Link.BackLink = head->BackLink;
  head->BackLink->ForwardLink = &node->Link;
  head->BackLink = &node->Link;
  return EFI_SUCCESS;
}

UINT32 CreateCachedBuffer(BufferCreateRequest* Request) {
  if (Request->Persistence == 0 || Request->Persistence > kPersistenceMax) {
    return kBufferBadPersistence;
  }
  BufferLocateRequest locate{Request->Handle, 0, nullptr};
  if (FindCachedBuffer(&locate) == kBufferSuccess) {
    return kBufferHandleConflict;
  }
  HeapBufferHeader header{kHeapSignature, Request->Handle, Request->Size, Request->Persistence, 1, 0};
  Request->Buffer = nullptr;
  BufferNode* node = nullptr;
  if (EFI_ERROR(AddBufferNode(&header, &node))) {
    return kBufferAllocationFailed;
  }
  Request->Buffer = NodeData(node);
  if (Request->Size != 0) {
    ZeroMem(Request->Buffer, Request->Size);
  }
  return kBufferSuccess;
}

UINT32 FindCachedBuffer(BufferLocateRequest* Request) {
  LIST_ENTRY* head = gBufferCacheState.ListHead;
  if (head != nullptr) {
    for (LIST_ENTRY* link = head->ForwardLink; link != head; link = link->ForwardLink) {
      auto* node = reinterpret_cast<BufferNode*>(link);
      if (node->Header.Handle == Request->Handle && node->Header.Signature == kHeapSignature) {
        Request->Buffer = NodeData(node);
        Request->Size = node->Header.Size;
        return kBufferSuccess;
      }
    }
  }
  Request->Buffer = nullptr;
  Request->Size = 0;
  return kBufferHandleConflict;
}

BOOLEAN GetOrCreateBuffer(UINT32 Handle, UINT32 Size, VOID** Buffer) {
  BufferLocateRequest locate{Handle, 0, nullptr};
  if (FindCachedBuffer(&locate) == kBufferSuccess) {
    *Buffer = locate.Buffer;
    return TRUE;
  }
  BufferCreateRequest create{Size, Handle, kPersistenceDefault, nullptr};
  if (CreateCachedBuffer(&create) != kBufferSuccess) {
    PostCodeHalt(postcode::kBufferCreateFailed);
    return FALSE;
  }
  *Buffer = create.Buffer;
  return TRUE;
}

VOID* AllocateBootData(UINTN Size) {
  VOID* memory = nullptr;
  if (EFI_ERROR(BootServices()->AllocatePool(EfiBootServicesData, Size, &memory))) {
    return nullptr;
  }
  return memory;
}

VOID* AllocateCleared(EFI_MEMORY_TYPE PoolType, UINTN Size) {
  VOID* memory = nullptr;
  if (EFI_ERROR(BootServices()->AllocatePool(PoolType, Size, &memory)) || memory == nullptr) {
    return nullptr;
  }
  if (Size != 0) {
    ZeroMem(memory, Size);
  }
  return memory;
}

}  // namespace ftpm::support
