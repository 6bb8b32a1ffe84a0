// The simulated UEFI/PI platform: an in-process firmware and machine on which
// the driver layers run on Linux. It builds real UEFI tables, so the driver
// cannot tell it from firmware, and records everything observable.
//
// One Machine exists at a time; the firmware tables reach it through
// Machine::Current(). A run ends normally or with a MachineStop (a reset, the
// keyboard script running out, a guard tripping), which Run() catches.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Guids.h"
#include "platform/Pi.h"
#include "reference/FlashMap.h"
#include "reference/FlashService.h"
#include "reference/Recovery.h"
#include "support/Diagnostics.h"

// Host-side comparisons, so GUIDs can key the simulator's maps.
bool operator==(const EFI_GUID& a, const EFI_GUID& b);
bool operator<(const EFI_GUID& a, const EFI_GUID& b);

namespace ftpm::sim {

std::string GuidToString(const EFI_GUID& guid);
std::string StatusName(EFI_STATUS status);
std::string Utf16ToUtf8(std::u16string_view text);

// ---------------------------------------------------------------------------
// Why a run ended early
// ---------------------------------------------------------------------------

enum class StopReason {
  Reset,           // ResetSystem was called
  KeysExhausted,   // the dialog waits for a key and the script has none left
  PortWriteLimit,  // the post-code display loop was cut off
  SpinLimit,       // a busy wait did not end within the simulated time limit
  InvalidAccess,   // the driver touched something a real machine would not serve
  PowerLoss,       // the power went (a cut the test asked for)
};
const char* StopReasonName(StopReason reason);

// Thrown where the machine stops, and caught by Machine::Run. It unwinds
// through EFIAPI (ms_abi) frames, and the unwinder gives a landing pad back
// only what the System V convention saves: rsi, rdi and xmm6 to xmm15, which
// an ms_abi function preserves for its caller, arrive as the stopping code
// left them. So code with destructors to run must not call an EFIAPI
// function that may stop the machine itself (clang keeps values in those
// registers across such a call); it calls a function of its own that makes
// the call.
struct MachineStop {
  StopReason Reason;
  std::string Detail;
};

struct RunOutcome {
  std::optional<EFI_STATUS> Status;  // set when the call returned
  std::optional<MachineStop> Stop;   // set when the machine stopped instead
  bool Returned() const { return Status.has_value(); }
  bool StoppedBy(StopReason reason) const { return Stop && Stop->Reason == reason; }
};

// ---------------------------------------------------------------------------
// Fault injection
// ---------------------------------------------------------------------------

enum class Op {
  AllocatePool,
  AllocatePages,
  LocateProtocol,
  CreateEvent,  // CreateEvent and CreateEventEx
  InstallProtocolInterface,
  RegisterProtocolNotify,
  SmmAllocatePool,
  InstallConfigurationTable,
  Count
};
const char* OpName(Op op);

// One call of an operation that fault injection counts, as recorded while
// Faults::RecordCalls is set: which call of its kind it was and what it asked
// for (memory type and size, GUID).
struct FaultCall {
  Op Kind;
  unsigned N;
  std::string Detail;
};

class Faults {
 public:
  // Makes the n-th call (1-based, counted from machine creation) of op fail.
  void FailNth(Op op, unsigned n, EFI_STATUS status = EFI_OUT_OF_RESOURCES);
  // Makes every LocateProtocol of guid fail with EFI_NOT_FOUND, present or not.
  void FailLocate(const EFI_GUID& guid);
  void Clear();

  unsigned Calls(Op op) const { return calls_[static_cast<size_t>(op)]; }
  // Counts the call and tells whether it is to fail, with which status.
  std::optional<EFI_STATUS> Tick(Op op, const std::string& detail = {});
  bool LocateFails(const EFI_GUID& guid) const { return failLocate_.count(guid) != 0; }
  unsigned Injected() const { return injected_; }

  // Off by default, so long-lived machines (fuzz targets) do not grow a log.
  bool RecordCalls = false;
  std::vector<FaultCall> Log;
  // Called on every counted call, before it is failed or served.
  std::function<void(const FaultCall&)> OnCall;

 private:
  unsigned calls_[static_cast<size_t>(Op::Count)] = {};
  std::map<std::pair<Op, unsigned>, EFI_STATUS> failNth_;
  std::set<EFI_GUID> failLocate_;
  unsigned injected_ = 0;
};

// ---------------------------------------------------------------------------
// Processor
// ---------------------------------------------------------------------------

struct Processor {
  UINT32 Signature = 0x00A20F12;  // CPUID 0x80000001 EAX: family 0x19, model 0x21
  UINT16 DebugHostAnswer = 0;     // SI after the debug-host CPUID query
  std::map<UINT32, UINT64> Msrs = {{0xC0010058, 0xE0000021}};
  UINT64 Tsc = 0x1000;
  UINT64 TscHz = 2'000'000'000;  // the simulated time-stamp counter's rate
  UINT64 TscPerRead = 40;        // ticks each RDTSC takes
  UINT64 TscPerPause = 400;      // ticks each PAUSE takes
  UINT64 TscPerMmio = 800;       // ticks each memory-mapped register access takes
  UINT64 SpinLimitTicks = 0;     // 0: no limit; else stop once Tsc passes it
  unsigned CpuidCount = 0;
  unsigned PauseCount = 0;

  void Advance(UINT64 ticks);
};

// ---------------------------------------------------------------------------
// I/O ports
// ---------------------------------------------------------------------------

struct PortAccess {
  bool Write;
  UINT16 Port;
  unsigned Width;  // bytes
  UINT32 Value;
  UINT64 Tsc;  // the time-stamp counter at the access
};

class Ports {
 public:
  // Values a port reads, in order; the last one repeats. Unset ports read 0.
  void SetReads(UINT16 port, std::vector<UINT8> values) { reads_[port] = std::move(values); }
  UINT8 Read8(UINT16 port);
  void Write(UINT16 port, unsigned width, UINT32 value);

  std::vector<PortAccess> Log;
  // Stop the machine once port 0x80 has been written this many times (0: never).
  unsigned Port80WriteLimit = 0;
  std::vector<PortAccess> AccessesTo(UINT16 port) const;

 private:
  std::map<UINT16, std::vector<UINT8>> reads_;
  std::map<UINT16, size_t> readIndex_;
  unsigned port80Writes_ = 0;
};

// ---------------------------------------------------------------------------
// Memory-mapped registers: the power-management timer and the index/data pair
// ---------------------------------------------------------------------------

inline constexpr UINT64 kPmTimerAddress = 0xFED80808;
inline constexpr UINT64 kIndexRegisterAddress = 0xE00000B8;
inline constexpr UINT64 kDataRegisterAddress = 0xE00000BC;
inline constexpr UINT64 kPmTimerHz = 3'579'545;

struct MmioAccess {
  bool Write;
  UINT64 Address;
  UINT32 Value;
};

class Registers {
 public:
  UINT32 Read32(UINT64 address);
  void Write32(UINT64 address, UINT32 value);

  // The power-management timer reads PmTimerStart + elapsed ticks (wrapping),
  // with the elapsed time taken from the simulated time-stamp counter.
  UINT32 PmTimerStart = 0x00100000;
  UINT32 PmTimerMask = 0xFFFFFFFF;  // 0x00FFFFFF: a 24-bit timer, wrapping at 2^24
  bool PmTimerPresent = true;
  std::map<UINT32, UINT32> RegisterFile;  // behind the index/data pair
  UINT32 IndexRegister = 0;
  std::vector<MmioAccess> Log;
  unsigned PmTimerReads = 0;

 private:
  friend class Machine;
  UINT64 tscAtStart_ = 0;
};

// ---------------------------------------------------------------------------
// SPI flash behind its two memory-mapped windows
// ---------------------------------------------------------------------------

inline constexpr UINT64 kFlashSize = 0x4000000;  // 64 MB
inline constexpr UINT64 kWindow16Base = 0xFF000000;
inline constexpr UINT64 kWindow16Size = 0x1000000;
inline constexpr UINT64 kWindow64Base = 0xFD00000000;
inline constexpr UINT64 kWindow64Size = 0x4000000;

enum class FlashAccessKind { Load64, MappedCopy };

struct FlashAccess {
  FlashAccessKind Kind;
  UINT64 Address;
  UINT64 Length;
};

// The flash holds only the 4 KiB pages that something wrote: every other
// byte reads 0xFF, as erased NOR flash does. A machine costs what its test
// writes, not 64 MB, and both windows (and the 16 MB window's view of the
// first 16 MB) read the same pages, so a write or an erase shows through
// every address that names it.
class Flash {
 public:
  static constexpr UINT64 kPageSize = 0x1000;

  // The image from flash offset 0; everything else erased. An image longer
  // than the flash is cut at 64 MB.
  void SetImage(const std::vector<UINT8>& image);
  // Stores bytes at a flash offset, as a programmer would. Ranges past the
  // end of the flash are a test's mistake and throw std::out_of_range.
  void Write(UINT64 offset, const void* bytes, UINT64 length);
  void Write(UINT64 offset, const std::vector<UINT8>& bytes) { Write(offset, bytes.data(), bytes.size()); }
  // Returns a range to 0xFF (the SMM flash service's erase).
  void Erase(UINT64 offset, UINT64 length);
  void EraseAll();

  UINT8 At(UINT64 offset) const;
  std::vector<UINT8> Read(UINT64 offset, UINT64 length) const;
  bool IsErased(UINT64 offset, UINT64 length) const;
  // Offset 0 up to the last byte that is not 0xFF: two flashes read the same
  // everywhere exactly when their contents are equal.
  std::vector<UINT8> Contents() const;
  // Pages of storage held now, the machine's cost in 4 KiB.
  size_t PagesHeld() const { return held_.size(); }

  // Flash offset of a window address, or nullopt outside both windows.
  static std::optional<UINT64> OffsetOf(UINT64 address, UINT64 length);
  // Where the SMM flash service erases a range: a flash offset below 64 MB
  // or an address in either window, the whole range inside; nullopt for a
  // range it refuses (also an empty one).
  static std::optional<UINT64> EraseOffset(UINT64 address, UINT64 size);

  UINT64 Load64(UINT64 address);
  // The bytes at a window address. The pointer stays valid until the next
  // Map or change of the flash: the driver copies from it at once.
  const void* Map(UINT64 address, UINT64 length);

  std::vector<FlashAccess> Log;
  UINT64 BytesRead() const;
  size_t Loads64() const;
  void ClearLog() { Log.clear(); }

 private:
  UINT8* PageAt(UINT64 page) const;  // nullptr when erased
  UINT8* WritablePage(UINT64 page);
  void CopyOut(UINT64 offset, UINT8* out, UINT64 length) const;
  static void CheckRange(UINT64 offset, UINT64 length);

  // Pages by number in two levels, 256 pages (1 MB) to a group, so that a
  // few pages anywhere in the 64 MB cost a few small tables.
  static constexpr UINT64 kPagesPerGroup = 256;
  using PageGroup = std::array<std::unique_ptr<UINT8[]>, kPagesPerGroup>;
  std::array<std::unique_ptr<PageGroup>, kFlashSize / Flash::kPageSize / kPagesPerGroup> groups_;
  std::vector<UINT64> held_;   // numbers of the pages held, for EraseAll
  std::vector<UINT8> mapped_;  // a mapped range that spans pages
};

// ---------------------------------------------------------------------------
// Boot services: handles and protocols, events, memory, configuration tables
// ---------------------------------------------------------------------------

struct Allocation {
  EFI_MEMORY_TYPE Type;
  UINTN Size;
  bool Pages;
  bool Smram;
};

struct SimEvent;
struct SimHandle;
struct Registration;

class BootServicesSim {
 public:
  BootServicesSim();
  ~BootServicesSim();
  EFI_BOOT_SERVICES Table{};

  // Protocol database, as the firmware sees it.
  EFI_STATUS Install(EFI_HANDLE* handle, const EFI_GUID& guid, void* iface);
  EFI_STATUS Reinstall(EFI_HANDLE handle, const EFI_GUID& guid, void* oldIface, void* newIface);
  EFI_STATUS Uninstall(EFI_HANDLE handle, const EFI_GUID& guid, void* iface);
  EFI_STATUS Locate(const EFI_GUID& guid, void* registration, void** iface);
  EFI_STATUS HandleProtocol(EFI_HANDLE handle, const EFI_GUID& guid, void** iface);
  // Every GUID the firmware was asked to LocateProtocol, in order.
  std::vector<EFI_GUID> LocateLog;
  // Test helpers that bypass fault injection and registrations.
  void* Find(const EFI_GUID& guid) const;
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID& guid) const;
  bool HandleHas(EFI_HANDLE handle, const EFI_GUID& guid) const;
  EFI_HANDLE NewHandle();  // an empty handle, e.g. an image handle

  // Events.
  EFI_TPL CurrentTpl = TPL_APPLICATION;
  EFI_STATUS CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, const void* ctx, const EFI_GUID* group,
                         EFI_EVENT* event);
  EFI_STATUS Signal(EFI_EVENT event);
  EFI_STATUS Close(EFI_EVENT event);
  EFI_STATUS Check(EFI_EVENT event);
  EFI_STATUS WaitFor(UINTN count, EFI_EVENT* events, UINTN* index);
  EFI_TPL Raise(EFI_TPL tpl);
  void Restore(EFI_TPL tpl);
  // Signals every open event of the group, at the current priority.
  void SignalGroup(const EFI_GUID& group);
  size_t OpenEvents() const;
  size_t EventsCreated() const { return events_.size(); }
  bool IsOpen(EFI_EVENT event) const;
  // An event of the platform's own (not counted as the driver's).
  EFI_EVENT CreatePlatformEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, void* ctx);
  unsigned CloseCalls = 0;
  unsigned FailedCloseCalls = 0;  // closes of events already closed or unknown

  // Memory.
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer, bool smram = false);
  EFI_STATUS FreePool(void* buffer, bool smram = false);
  EFI_STATUS AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                           EFI_PHYSICAL_ADDRESS* memory);
  EFI_STATUS FreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages);
  const std::map<const void*, Allocation>& Outstanding() const { return allocations_; }
  // Bytes still allocated, by memory type (pool and pages, outside SMRAM).
  std::map<EFI_MEMORY_TYPE, UINTN> OutstandingByType(bool smram = false) const;
  UINTN PoolBytesAllocated = 0;           // ever, outside SMRAM
  std::vector<std::string> MemoryErrors;  // frees of unknown pointers, double frees
  // The largest single allocation the platform can serve; larger requests
  // fail with EFI_OUT_OF_RESOURCES, as on a machine with that much free memory.
  UINTN AllocationLimit = UINTN{1} << 30;
  // One line per allocation still held ("pool|pages type size at address"),
  // in address order: what a leak report shows.
  std::vector<std::string> OutstandingReport() const;

  // The last timeout given to SetWatchdogTimer (0: stopped), if any.
  std::optional<UINTN> WatchdogTimeout;

  // Configuration tables.
  EFI_STATUS InstallConfigurationTable(const EFI_GUID& guid, void* table);
  void* ConfigurationTable(const EFI_GUID& guid) const;

  // Registrations made through RegisterProtocolNotify, for tests.
  size_t RegistrationsFor(const EFI_GUID& guid) const;
  EFI_STATUS RegisterNotify(const EFI_GUID& guid, EFI_EVENT event, void** registration);

 private:
  friend class Machine;
  void DispatchPending(EFI_TPL above);
  SimEvent* Lookup(EFI_EVENT event) const;
  SimHandle* LookupHandle(EFI_HANDLE handle) const;
  void NotifyInstalled(SimHandle* handle, const EFI_GUID& guid);

  std::vector<SimHandle*> handles_;
  std::vector<SimEvent*> events_;
  std::vector<Registration*> registrations_;
  std::map<const void*, Allocation> allocations_;
  std::vector<EFI_CONFIGURATION_TABLE> configTables_;
  bool dispatching_ = false;
};

// ---------------------------------------------------------------------------
// Runtime services
// ---------------------------------------------------------------------------

struct ResetRecord {
  EFI_RESET_TYPE Type;
  EFI_STATUS Status;
};

// The non-volatile variable store behind GetVariable, SetVariable and
// GetNextVariableName, with the UEFI rules a platform's code relies on: a
// variable's attributes are fixed once it exists (only a delete changes
// them), runtime access needs boot-service access, a write of no data or
// with no attributes deletes, and a buffer too small is told the size.
struct Variable {
  UINT32 Attributes;
  std::vector<UINT8> Data;
};

class VariableStore {
 public:
  using Key = std::pair<EFI_GUID, std::u16string>;
  std::map<Key, Variable> Variables;
  // Returned by every Get or Set while set (a failing store).
  std::optional<EFI_STATUS> GetFailure;
  std::optional<EFI_STATUS> SetFailure;

  EFI_STATUS Get(const CHAR16* name, const EFI_GUID* vendor, UINT32* attributes, UINTN* size, void* data) const;
  EFI_STATUS Set(const CHAR16* name, const EFI_GUID* vendor, UINT32 attributes, UINTN size, const void* data);
  EFI_STATUS GetNextName(UINTN* nameSize, CHAR16* name, EFI_GUID* vendor) const;

  const Variable* Find(const EFI_GUID& vendor, std::u16string_view name) const;
  // Test helpers that bypass the rules: a variable as some other code (or a
  // corrupted store) left it.
  void Put(const EFI_GUID& vendor, std::u16string_view name, UINT32 attributes, std::vector<UINT8> data);
  void Remove(const EFI_GUID& vendor, std::u16string_view name);
};

struct RuntimeServicesSim {
  RuntimeServicesSim();
  EFI_RUNTIME_SERVICES Table{};
  std::vector<ResetRecord> Resets;
  VariableStore Variables;
};

// ---------------------------------------------------------------------------
// Power: persistent writes and cuts
// ---------------------------------------------------------------------------

// What a variable write cut in the middle leaves, as stores of different
// designs do: the old value (a store that commits last), the new one (cut
// after the commit), no variable (the old one deleted first), or a record
// of the right size holding half of each (a store without any protection).
enum class TornVariable : UINT8 { KeepsOld, TakesNew, Vanishes, Mixes };

struct PowerCut {
  unsigned AtWrite;  // the n-th persistent write of this power-on, 1-based
  bool During;       // in the middle of it; otherwise right after it
  TornVariable Variable = TornVariable::Mixes;
};

// One write that outlives a power-on.
struct PersistentWrite {
  const char* Kind;  // "erase-block", "variable-write", "variable-delete"
  UINT64 Where;      // the block's flash offset; 0 for a variable
};

// Counts the writes that outlive a power-on (a 4 KiB flash block erased, a
// variable written or deleted) and cuts the power at one of them. A block
// erase cut in the middle leaves its first half erased and the rest as it
// was.
class PowerSupply {
 public:
  std::optional<PowerCut> Cut;
  std::vector<PersistentWrite> Writes;  // every persistent write begun this power-on

  // A persistent write begins: true when it is to be cut in the middle. The
  // writer then does half of it and calls LoseMidWrite().
  bool Begin(const char* kind, UINT64 where);
  // The write is done: the power goes when the cut is right after it.
  void End();
  [[noreturn]] void LoseMidWrite();
};

// What outlives a power-on: the flash and the variable store.
struct NonVolatile;

// ---------------------------------------------------------------------------
// Text console: a character grid behind ConOut, a scripted keyboard behind ConIn
// ---------------------------------------------------------------------------

struct Cell {
  CHAR16 Char = u' ';
  UINT8 Attribute = 0x07;
};

enum class ConsoleOp { OutputString, SetCursorPosition, ClearScreen, SetAttribute, EnableCursor, QueryMode, SetMode };

struct ConsoleCall {
  ConsoleOp Kind;
  INT32 Column;  // cursor at the call (OutputString) or the position asked for
  INT32 Row;
  std::u16string Text;  // OutputString
  UINTN Value;          // attribute, visibility or mode number
};

struct KeyStroke {
  EFI_STATUS Status = EFI_SUCCESS;  // an error returned instead of a key
  EFI_INPUT_KEY Key{};
};

class ConsoleSim {
 public:
  ConsoleSim();
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL ConOut{};
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL ConIn{};
  SIMPLE_TEXT_OUTPUT_MODE Mode{};

  // Modes the console offers; mode 0 is the current one at start.
  void SetModes(std::vector<std::pair<UINTN, UINTN>> modes, UINTN current = 0);
  UINTN Columns() const { return modes_[static_cast<size_t>(Mode.Mode)].first; }
  UINTN Rows() const { return modes_[static_cast<size_t>(Mode.Mode)].second; }
  // QueryMode fails with this status when set; its outputs stay untouched.
  std::optional<EFI_STATUS> QueryModeFailure;

  // The screen.
  const Cell& At(UINTN column, UINTN row) const { return grid_.empty() ? blank_ : grid_[row * Columns() + column]; }
  std::u16string RowText(UINTN row) const;
  std::string RowUtf8(UINTN row) const;
  std::vector<std::string> ScreenUtf8() const;
  std::vector<ConsoleCall> Calls;
  std::vector<ConsoleCall> CallsOf(ConsoleOp kind) const;
  unsigned ClearScreens = 0;

  // The keyboard.
  void QueueKey(CHAR16 ch, UINT16 scan = SCAN_NULL);
  void QueueStatus(EFI_STATUS status);
  // Called when the script is empty; returns a key or nullopt for none.
  std::function<std::optional<EFI_INPUT_KEY>()> KeySource;
  size_t KeysLeft() const;
  std::vector<EFI_INPUT_KEY> KeysConsumed;
  unsigned ReadKeyStrokeCalls = 0;
  bool KeyAvailable();

  // Console operations (the protocol thunks call these).
  EFI_STATUS OutputString(const CHAR16* text);
  EFI_STATUS QueryMode(UINTN mode, UINTN* columns, UINTN* rows);
  EFI_STATUS SetMode(UINTN mode);
  EFI_STATUS SetAttribute(UINTN attribute);
  EFI_STATUS ClearScreen();
  EFI_STATUS SetCursorPosition(UINTN column, UINTN row);
  EFI_STATUS EnableCursor(BOOLEAN visible);
  EFI_STATUS ReadKeyStroke(EFI_INPUT_KEY* key);

  // Observer called after every change of the screen (for live terminals).
  std::function<void()> OnChange;

  // Creates ConIn.WaitForKey; the machine calls it once its boot services exist.
  void AttachWaitForKey(BootServicesSim& boot);

 private:
  void Scroll();
  void Blank();
  Cell& CellAt(UINTN column, UINTN row);  // makes the grid on the first write
  std::vector<std::pair<UINTN, UINTN>> modes_;
  std::vector<Cell> grid_;  // empty while the screen is blank
  Cell blank_;
  std::vector<KeyStroke> keys_;
  size_t nextKey_ = 0;
  unsigned idleReads_ = 0;
  std::optional<EFI_INPUT_KEY> pendingFromSource_;
};

// ---------------------------------------------------------------------------
// Settings: PCD_PROTOCOL and EFI_PCD_PROTOCOL over a token table
// ---------------------------------------------------------------------------

struct SettingAccess {
  bool Guided;  // through EFI_PCD_PROTOCOL
  EFI_GUID TokenSpace;
  UINTN Token;
  unsigned Width;  // 0 for a boolean
  bool Write;
  UINT64 Value;
};

class SettingsSim {
 public:
  SettingsSim();
  PCD_PROTOCOL Pcd{};
  EFI_PCD_PROTOCOL EfiPcd{};

  void Set(UINTN token, UINT64 value) { tokens_[token] = value; }
  UINT64 Get(UINTN token) const;
  void SetGuided(const EFI_GUID& space, UINTN token, UINT64 value) { guided_[{space, token}] = value; }
  UINT64 GetGuided(const EFI_GUID& space, UINTN token) const;
  bool WasRead(UINTN token) const;
  std::vector<SettingAccess> Log;

  UINT64 Read(UINTN token, unsigned width, bool guided = false, const EFI_GUID* space = nullptr);
  EFI_STATUS Write(UINTN token, unsigned width, UINT64 value, bool guided = false, const EFI_GUID* space = nullptr);

 private:
  std::map<UINTN, UINT64> tokens_;
  std::map<std::pair<EFI_GUID, UINTN>, UINT64> guided_;
};

// ---------------------------------------------------------------------------
// SMM: communication with pluggable handlers, the base protocol and the SMST
// ---------------------------------------------------------------------------

inline constexpr UINTN kSmmCommBufferToken = 0x27001;

struct SmmMessage {
  EFI_GUID Guid;
  std::vector<UINT8> Bytes;  // CommSize bytes as received
  UINTN CommSize;
  EFI_STATUS Status;
};

struct EraseRequest {
  UINT64 Address;
  UINT64 Size;
  bool Valid;  // the message had the expected form, in the communication buffer
  reference::EraseVerdict Verdict;
  EFI_STATUS Status;
};

// A flash map under which the whole flash may be erased in single bytes:
// what the flash service serves unless a test gives it the platform's map,
// so that the driver's own tests erase wherever their images put NVRAM.
reference::FlashMap UnrestrictedFlashMap();

struct S3HandOver {
  bool Valid;             // the message had the expected form
  UINT64 PrivateAddress;  // as sent
  UINT8 Locked;           // the private record's flags, read during the call
  UINT8 Closed;
  UINT64 TableAddress;
  std::vector<UINT8> TableHeader;  // 48 bytes, when a table was named
  UINT64 TableSize;
  UINT16 EndMarker;  // at the table's next-free offset
};

class SmmSim {
 public:
  SmmSim();
  ~SmmSim();
  EFI_SMM_COMMUNICATION_PROTOCOL Communication{};
  EFI_SMM_BASE2_PROTOCOL Base2{};
  EFI_SMM_SYSTEM_TABLE2 Smst{};

  using Handler = std::function<EFI_STATUS(UINT8* data, UINTN messageLength, UINTN commSize)>;
  void SetHandler(const EFI_GUID& guid, Handler handler) { handlers_[guid] = std::move(handler); }
  std::vector<SmmMessage> Messages;

  // The shared communication buffer; its address is the SmmCommBufferAddress
  // setting unless a test clears it.
  UINT8* CommBuffer() { return commBuffer_.data(); }
  size_t CommBufferSize() const { return commBuffer_.size(); }

  // The flash service behind FlashSmmServiceGuid: the reference platform's
  // (reference/FlashService.h) over this machine's flash, with the block
  // size of FlashMap.
  reference::FlashMap FlashMap = UnrestrictedFlashMap();
  // Called after every erase the service served (the range read back
  // erased): where the platform notes the recovery's progress.
  std::function<void(const reference::EraseReply&, const reference::FlashDevice&)> OnVerifiedErase;
  // The device's 4 KiB blocks (by flash offset) whose erase it reports
  // failed, changing nothing; and those whose erase it reports done while a
  // byte in the middle stays 0x00.
  std::set<UINT64> FailingBlocks;
  std::set<UINT64> StuckBlocks;
  std::vector<EraseRequest> EraseRequests;
  std::optional<UINT64> RewriteSize;      // written back into Size when set
  std::optional<EFI_STATUS> EraseStatus;  // returned instead of the service's own
  // The S3 receiver behind the hand-over GUID.
  std::vector<S3HandOver> HandOvers;

  // SMRAM side.
  bool InSmram = false;
  EFI_STATUS InstallSmmProtocol(const EFI_GUID& guid, void* iface = nullptr);
  size_t ActiveNotifications(const EFI_GUID& guid) const;
  std::vector<std::pair<EFI_GUID, void*>> SmmProtocols;

  EFI_STATUS Communicate(void* buffer, UINTN* size);
  EFI_STATUS RegisterNotify(const EFI_GUID* guid, EFI_SMM_NOTIFY_FN fn, void** registration);

 private:
  struct Notification {
    EFI_GUID Guid;
    EFI_SMM_NOTIFY_FN Function;
    bool Active;
  };
  std::map<EFI_GUID, Handler> handlers_;
  std::vector<Notification*> notifications_;
  std::vector<UINT8> commBuffer_;
};

// ---------------------------------------------------------------------------
// The debug-print protocol
// ---------------------------------------------------------------------------

struct DebugMessage {
  UINT64 Level;
  std::string Text;
};

// Formats an EDK2-style format string against an ms_abi argument list
// (8-byte slots): %a %s %c %d %i %u %x %X %lx %ld %p %r %g %%, with flags
// '-', '0' and a width.
std::string FormatDebugMessage(const char* format, const UINT64* arguments);

struct DebugLog {
  DebugLog();
  support::DEBUG_PRINT_PROTOCOL Protocol{};
  std::vector<DebugMessage> Messages;
  bool Contains(const std::string& text) const;
  size_t Count(const std::string& text) const;
};

// ---------------------------------------------------------------------------
// HOB lists
// ---------------------------------------------------------------------------

class HobListBuilder {
 public:
  HobListBuilder();  // starts with the hand-off information table
  HobListBuilder& GuidHob(const EFI_GUID& name, const std::vector<UINT8>& data);
  // A buffer in the form the earlier boot phase hands over.
  HobListBuilder& HeapBuffer(UINT32 handle, const std::vector<UINT8>& data, UINT8 persistence = 7, UINT8 inUse = 1,
                             UINT32 signature = 0x50414548);
  HobListBuilder& Raw(const std::vector<UINT8>& bytes);  // anything, malformed included
  std::vector<UINT8> Build() const;                      // appends the end-of-list HOB

 private:
  std::vector<UINT8> bytes_;
};

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------

struct MachineConfig {
  bool DebugPrint = true;
  bool Pcd = true;
  bool EfiPcd = true;
  bool SmmCommunication = true;
  bool EraseServiceReady = true;
  bool SmmBase2 = false;
  bool CommBuffer = true;  // SmmCommBufferAddress names the buffer
  bool HobList = true;     // an empty, well-formed HOB list is published
};

class Machine {
 public:
  explicit Machine(const MachineConfig& config = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  static Machine& Current();
  static bool Exists();

  Faults faults;
  PowerSupply power;
  Processor cpu;
  Ports ports;
  Registers registers;
  Flash flash;
  BootServicesSim boot;
  RuntimeServicesSim runtime;
  ConsoleSim console;
  SettingsSim settings;
  SmmSim smm;
  DebugLog debug;
  EFI_SYSTEM_TABLE SystemTable{};

  // Replaces the published HOB list (the previous one stays valid in memory,
  // as a pointer the driver remembered would).
  void SetHobList(std::vector<UINT8> hobs);
  void* HobList() { return hobLists_.empty() ? nullptr : hobLists_.back().data(); }

  // Installs a protocol on a new handle (or the given one) at any point.
  EFI_HANDLE InstallProtocol(const EFI_GUID& guid, void* iface, EFI_HANDLE handle = nullptr);
  void UninstallProtocol(const EFI_GUID& guid);
  // A protocol interface record of the sim's for a GUID that only has to be
  // present (erase-service-ready, ready-to-lock, ...).
  void* PresenceInterface(const EFI_GUID& guid);

  // The driver image.
  EFI_HANDLE ImageHandle = nullptr;
  // Returns every driver module to its load state and records this machine's
  // tables in the driver, without running the entry point (unit tests).
  void LoadDriverImage();
  // Loads the image and calls its entry point.
  RunOutcome StartDriver();
  // Finds FtpmRecoveryProtocol as a boot component would and calls its handler.
  RunOutcome CallRecoveryHandler();
  bool RecoveryProtocolInstalled() const;

  // Runs code on the machine, catching a stop.
  RunOutcome Run(const std::function<EFI_STATUS()>& body);
  [[noreturn]] void Stop(StopReason reason, std::string detail = {});

  std::vector<std::string> Trace;  // notable firmware events, in order
  void Note(std::string line);

  // Power off: the flash and the variable store leave this machine, to be
  // put into the next one (a power-on from the same flash and variables).
  NonVolatile PowerOff();
  void PowerOn(NonVolatile state);

 private:
  std::vector<std::vector<UINT8>> hobLists_;
  std::map<EFI_GUID, std::vector<UINT8>> presence_;
};

struct NonVolatile {
  Flash flash;
  VariableStore variables;
};

}  // namespace ftpm::sim
