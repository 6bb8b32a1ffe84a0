// The boot-wide buffer cache: named memory buffers in one circular doubly
// linked list that every module of the boot carrying this cache shares. The
// first module creates the list, imports the buffers the earlier boot phase
// handed over in GUID-extension HOBs, and publishes the list head through
// BufferCacheProtocol; later modules join it. Buffers are never freed.
//
// Also the driver's HOB-list access and its pool allocation helpers.
#pragma once

#include "platform/Pi.h"

namespace ftpm::support {

using BufferHandle = UINT32;

// Handles of the buffers this driver keeps.
inline constexpr BufferHandle kDiscoveryScratchHandle = 41015;  // 1552: directory read by discovery
inline constexpr BufferHandle kLevel2ScratchHandle = 41016;     // 1552: level-2 directory as read
inline constexpr BufferHandle kAbInfoScratchHandle = 41017;     // 104: AbRecoveryInfo under construction
inline constexpr BufferHandle kAbInfoHandle = 41020;            // 104: last completed AbRecoveryInfo
inline constexpr BufferHandle kMvqDirectoryHandle = 41021;      // 1552: validated level-1 directory
inline constexpr BufferHandle kBhdDirectoryHandle = 41022;      // validation rule only
inline constexpr BufferHandle kMvqL2DirectoryHandle = 41023;    // 1552: validated level-2 directory
inline constexpr BufferHandle kBl2DirectoryHandle = 41024;      // validation rule only

inline constexpr UINT32 kHeapSignature = Signature32('H', 'E', 'A', 'P');
inline constexpr UINT8 kPersistenceRuntime = 8;  // buffers of this class are runtime-services data
inline constexpr UINT8 kPersistenceDefault = 7;  // what GetOrCreateBuffer asks for
inline constexpr UINT8 kPersistenceMax = 8;

// The same 16 bytes in a HOB and in memory.
struct HeapBufferHeader {
  UINT32 Signature;  // "HEAP"
  UINT32 Handle;
  UINT32 Size;  // data bytes that follow
  UINT8 Persistence;
  UINT8 InUse;
  UINT16 Reserved;
};
static_assert(sizeof(HeapBufferHeader) == 16);
static_assert(offsetof(HeapBufferHeader, Handle) == 4);
static_assert(offsetof(HeapBufferHeader, Size) == 8);
static_assert(offsetof(HeapBufferHeader, Persistence) == 12);
static_assert(offsetof(HeapBufferHeader, InUse) == 13);

struct LIST_ENTRY {
  LIST_ENTRY* ForwardLink;
  LIST_ENTRY* BackLink;
};
static_assert(sizeof(LIST_ENTRY) == 16);

// One pool allocation: links, header, data. Other modules walk the same list.
struct BufferNode {
  LIST_ENTRY Link;
  HeapBufferHeader Header;
  // Header.Size data bytes follow.
};
static_assert(sizeof(BufferNode) == 32);
static_assert(offsetof(BufferNode, Header) == 16);

inline UINT8* NodeData(BufferNode* node) { return reinterpret_cast<UINT8*>(node) + sizeof(BufferNode); }

// The interface of gBufferCacheProtocolGuid: a static record in the image of
// the module that created the list.
struct BUFFER_CACHE_PROTOCOL {
  UINT64 Value;  // 1; nothing reads it
  LIST_ENTRY ListHead;
};
static_assert(sizeof(BUFFER_CACHE_PROTOCOL) == 24);
static_assert(offsetof(BUFFER_CACHE_PROTOCOL, ListHead) == 8);

struct BufferCreateRequest {
  UINT32 Size;
  UINT32 Handle;
  UINT8 Persistence;
  VOID* Buffer;  // out
};

struct BufferLocateRequest {
  UINT32 Handle;
  UINT32 Size;   // out
  VOID* Buffer;  // out
};

// Result codes of CreateCachedBuffer and FindCachedBuffer.
enum BufferResult : UINT32 {
  kBufferSuccess = 0,
  kBufferBadPersistence = 1,
  kBufferHandleConflict = 2,  // exists (create) or missing (find)
  kBufferAllocationFailed = 7,
};

struct BufferCacheState {
  LIST_ENTRY* ListHead;  // this module's own, or the one found through the protocol
  VOID* HobList;         // remembered once found
  UINT8* HobListEnd;     // bound from the hand-off HOB, when the list has one
  BUFFER_CACHE_PROTOCOL Interface;
  EFI_HANDLE PublishedHandle;  // where this module published Interface, if it did
};
extern constinit BufferCacheState gBufferCacheState;
inline constexpr BUFFER_CACHE_PROTOCOL kBufferCacheInterfaceAtLoad{1, {nullptr, nullptr}};
inline constexpr BufferCacheState kBufferCacheStateAtLoad{nullptr, nullptr, nullptr, kBufferCacheInterfaceAtLoad,
                                                          nullptr};

VOID* LocateHobList();
// The first HeapBufferHobGuid GUID-extension HOB at or after HobStart, or
// NULL. A HOB shorter than its header ends the walk, as does reaching the end
// of the list that its hand-off HOB announces.
VOID* NextHeapBufferHob(VOID* HobStart);
// Start-up step: join the published list, or create one from the HOBs.
void ImportHeapBuffers();
// Run when the driver fails to start and its image is about to be unloaded:
// withdraws the BufferCacheProtocol this module published, whose interface
// lies in the image. The buffers stay allocated; nothing can reach them.
void BufferCacheShutDown();
EFI_STATUS AddBufferNode(const HeapBufferHeader* Header, BufferNode** Node);
UINT32 CreateCachedBuffer(BufferCreateRequest* Request);
UINT32 FindCachedBuffer(BufferLocateRequest* Request);
// The buffer of Handle, created zero-filled with Size bytes when missing.
BOOLEAN GetOrCreateBuffer(UINT32 Handle, UINT32 Size, VOID** Buffer);

VOID* AllocateBootData(UINTN Size);
VOID* AllocateCleared(EFI_MEMORY_TYPE PoolType, UINTN Size);

}  // namespace ftpm::support
