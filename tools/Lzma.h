// LZMA "alone" streams as firmware keeps them in LZMA-compressed
// GUID-defined sections: the 13-byte header (properties, dictionary size,
// uncompressed size) and the raw LZMA data, through liblzma.
#pragma once

#include <cstdint>
#include <span>

#include "tools/Ffs.h"

namespace ftpm::tools::ffs {

struct LzmaHeader {
  uint8_t properties;  // (pb * 5 + lp) * 9 + lc
  uint32_t dictionarySize;
  uint64_t uncompressedSize;
};

LzmaHeader ReadLzmaHeader(std::span<const uint8_t> stream);

// The bytes the stream holds. The header must give the uncompressed size, at
// most maxSize; the data must make exactly that many bytes (an end marker
// after them is accepted, one before them is not) and end there.
Bytes LzmaDecompress(std::span<const uint8_t> stream, uint64_t maxSize);

// An alone stream of data with the properties and dictionary size given, the
// real size in the header and no end marker, as firmware's decoders read it.
Bytes LzmaCompress(std::span<const uint8_t> data, uint8_t properties, uint32_t dictionarySize);

}  // namespace ftpm::tools::ffs
