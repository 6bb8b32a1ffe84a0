// Fuzz target: the buffer-cache import from an arbitrary HOB list. The list
// lies at the start of a heap allocation of exactly its own size, so ASan
// reports any read past its end.
//
// Input: a flag byte, the number of the pool allocation to fail (0: none),
// then the list body.
//   flag bit 0 set, bounded list: the list starts with a hand-off HOB whose
//     EfiEndOfHobList names the last 8 bytes of the allocation; the body
//     follows it as raw bytes, lengths and all, and need not end properly.
//   flag bit 0 clear, chained list: no hand-off HOB, so the walk is bounded
//     only by the end-of-list HOB. The body is read as records whose HOB
//     lengths this target writes truthfully (any other length would send an
//     unbounded walk anywhere, by the list's own word), each record: a kind
//     byte (0 a HEAP buffer HOB, 1 a GUID HOB with a GUID from the input,
//     2 a HOB of a type from the input, 3 an end-of-list HOB), a data length
//     byte, then the data; an end-of-list HOB closes the list.
//
// Checks: the cache holds exactly the buffers an independent model of the
// import rules expects, in order, with their bytes; each node is an
// allocation of exactly its header and data, never more data than its HOB
// carries; the allocations held are exactly the nodes; nothing is freed twice.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "tests/scenario/DriverResidue.h"

using namespace ftpm;

namespace {

constexpr size_t kHandOffSize = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
constexpr size_t kGuidHobSize = sizeof(EFI_HOB_GUID_TYPE);
constexpr size_t kHeapHobMinimum = kGuidHobSize + sizeof(support::HeapBufferHeader);

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_hob_import: %s\n", what);
    std::abort();
  }
}

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Builds the chained form of the list from the input records.
std::vector<uint8_t> ChainedList(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  while (size >= 2) {
    const uint8_t kind = data[0] & 3;
    size_t length = data[1];
    data += 2;
    size -= 2;
    length = length < size ? length : size;
    const size_t at = out.size();
    if (kind == 3) {
      out.resize(at + 8, 0);
      Put16(out, at, EFI_HOB_TYPE_END_OF_HOB_LIST);
      Put16(out, at + 2, 8);
      continue;
    }
    const size_t header = kind == 2 ? sizeof(EFI_HOB_GENERIC_HEADER) : kGuidHobSize;
    if (header + length > 0xFFFF) {
      break;
    }
    out.resize(at + header, 0);
    Put16(out, at, kind == 2 && length >= 2 ? Read16(data) : EFI_HOB_TYPE_GUID_EXTENSION);
    Put16(out, at + 2, static_cast<uint16_t>(header + length));
    if (kind == 0) {
      std::memcpy(&out[at + 8], &gHeapBufferHobGuid, sizeof(EFI_GUID));
    }
    out.insert(out.end(), data, data + length);
    if (kind == 1 && length >= 16) {
      // The GUID comes from the data's first bytes; they stay in the body too.
      std::memcpy(&out[at + 8], data, 16);
    }
    data += length;
    size -= length;
  }
  out.resize(out.size() + 8, 0);
  Put16(out, out.size() - 8, EFI_HOB_TYPE_END_OF_HOB_LIST);
  Put16(out, out.size() - 6, 8);
  return out;
}

struct ExpectedBuffer {
  support::HeapBufferHeader Header;
  const uint8_t* Data;
  uint16_t HobLength;
};

// The import rules, written from the formats: walk HOB by HOB (within the
// bound, when there is one), stop at the end-of-list HOB or a HOB shorter
// than its header; import each HEAP GUID HOB long enough for a buffer header
// whose header is signed, in use and announces no more data than the HOB
// holds. The allocation-th node allocation (1-based) fails.
std::vector<ExpectedBuffer> Model(const uint8_t* list, size_t size, bool bounded, unsigned failing) {
  std::vector<ExpectedBuffer> expected;
  const uint8_t* hob = list;
  const uint8_t* end = list + size;
  unsigned allocations = 0;
  for (;;) {
    if (bounded && (hob >= end || static_cast<size_t>(end - hob) < 8)) {
      break;
    }
    const uint16_t type = Read16(hob);
    const uint16_t length = Read16(hob + 2);
    if (type == EFI_HOB_TYPE_END_OF_HOB_LIST || length < 8 || (bounded && length > end - hob)) {
      break;
    }
    if (type == EFI_HOB_TYPE_GUID_EXTENSION && length >= kHeapHobMinimum &&
        std::memcmp(hob + 8, &gHeapBufferHobGuid, sizeof(EFI_GUID)) == 0) {
      support::HeapBufferHeader header;
      std::memcpy(&header, hob + kGuidHobSize, sizeof header);
      if (header.Signature == support::kHeapSignature && header.InUse == 1 && header.Size <= length - kHeapHobMinimum) {
        if (++allocations != failing) {
          expected.push_back({header, hob + kHeapHobMinimum, length});
        }
      }
    }
    hob += length;
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  const bool bounded = (data[0] & 1) != 0;
  const unsigned failing = data[1];
  data += 2;
  size -= 2;

  std::vector<uint8_t> body;
  if (bounded) {
    body.resize(kHandOffSize, 0);
    Put16(body, 0, EFI_HOB_TYPE_HANDOFF);
    Put16(body, 2, kHandOffSize);
    body.insert(body.end(), data, data + size);
    // EfiEndOfHobList must lie past the hand-off HOB for the bound to count.
    while (body.size() < kHandOffSize + 8) {
      body.push_back(0);
    }
  } else {
    body = ChainedList(data, size);
    // A first record of the hand-off type must not bound the walk by chance.
    if (Read16(body.data()) == EFI_HOB_TYPE_HANDOFF && Read16(body.data() + 2) >= kHandOffSize) {
      std::memset(&body[offsetof(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList)], 0, 8);
    }
  }

  // Exactly sized: the first byte past the list is a redzone.
  auto* list = static_cast<uint8_t*>(std::malloc(body.size()));
  std::memcpy(list, body.data(), body.size());
  if (bounded) {
    const uint64_t endHob = reinterpret_cast<uint64_t>(list) + body.size() - 8;
    std::memcpy(list + offsetof(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList), &endHob, 8);
  }

  {
    sim::Machine m(sim::MachineConfig{.HobList = false});
    m.boot.InstallConfigurationTable(gEfiHobListGuid, list);
    m.LoadDriverImage();
    if (failing != 0) {
      m.faults.FailNth(sim::Op::AllocatePool, failing);
    }
    const sim::RunOutcome outcome = m.Run([] {
      support::ImportHeapBuffers();
      return EFI_SUCCESS;
    });
    Check(outcome.Returned(), "the import stopped the machine");

    // The walk of the bounded form starts at the hand-off HOB, as the
    // driver's does: it is not a GUID HOB and is skipped.
    const std::vector<ExpectedBuffer> expected = Model(list, body.size(), bounded, failing);
    const support::LIST_ENTRY* head = support::gBufferCacheState.ListHead;
    Check(head == &support::gBufferCacheState.Interface.ListHead, "the import did not create its own list");
    Check(m.boot.Find(gBufferCacheProtocolGuid) == &support::gBufferCacheState.Interface, "the list is not published");
    size_t index = 0;
    for (const support::LIST_ENTRY* link = head->ForwardLink; link != head; link = link->ForwardLink, ++index) {
      Check(index < expected.size(), "more buffers imported than the rules allow");
      Check(link->ForwardLink->BackLink == link, "list links disagree");
      const auto* node = reinterpret_cast<const support::BufferNode*>(link);
      const ExpectedBuffer& e = expected[index];
      Check(std::memcmp(&node->Header, &e.Header, sizeof e.Header) == 0, "buffer header differs from its HOB");
      Check(
          std::memcmp(reinterpret_cast<const uint8_t*>(node) + sizeof(support::BufferNode), e.Data, e.Header.Size) == 0,
          "buffer data differs from its HOB");
      // The node holds the buffer and nothing more: never more data than the HOB carries.
      const auto held = m.boot.Outstanding().find(node);
      Check(held != m.boot.Outstanding().end(), "a buffer node is not an allocation of its own");
      Check(held->second.Size == sizeof(support::BufferNode) + e.Header.Size, "a buffer node is not sized to its data");
      Check(held->second.Size - sizeof(support::BufferNode) <= e.HobLength - kHeapHobMinimum,
            "a buffer is larger than its HOB");
    }
    Check(index == expected.size(), "fewer buffers imported than the rules give");
    Check(testing::ResidueProblems(m).empty(), "allocations held differ from the imported nodes");
  }
  std::free(list);
  return 0;
}
