#include "tools/Lzma.h"

#include <lzma.h>

#include <algorithm>
#include <bit>
#include <string>

namespace ftpm::tools::ffs {
namespace {

constexpr uint64_t kUnknownSize = UINT64_MAX;
// Properties up to (4 * 5 + 4) * 9 + 8 exist; liblzma takes lc + lp <= 4.
constexpr uint8_t kLargestProperties = 224;
// The encoder's match finder works in this preset's way; the properties and
// dictionary are set from the stream being replaced.
constexpr uint32_t kEncoderPreset = 6;
constexpr size_t kFirstOutputChunk = size_t{64} << 10;

// lc, lp and pb from the properties byte; false when liblzma cannot use them.
bool SetProperties(lzma_options_lzma& options, uint8_t properties) {
  if (properties > kLargestProperties) {
    return false;
  }
  options.lc = properties % 9;
  options.lp = (properties / 9) % 5;
  options.pb = properties / 45;
  return options.lc + options.lp <= LZMA_LCLP_MAX;
}

}  // namespace

LzmaHeader ReadLzmaHeader(std::span<const uint8_t> stream) {
  if (stream.size() < kLzmaHeaderSize) {
    throw PackageError("LZMA data of " + std::to_string(stream.size()) + " bytes is shorter than its header");
  }
  LzmaHeader header{};
  header.properties = stream[0];
  for (int i = 3; i >= 0; --i) {
    header.dictionarySize = header.dictionarySize << 8 | stream[1 + i];
  }
  for (int i = 7; i >= 0; --i) {
    header.uncompressedSize = header.uncompressedSize << 8 | stream[5 + i];
  }
  return header;
}

Bytes LzmaDecompress(std::span<const uint8_t> stream, uint64_t maxSize) {
  const LzmaHeader header = ReadLzmaHeader(stream);
  if (header.uncompressedSize == kUnknownSize) {
    throw PackageError("LZMA header does not give the uncompressed size");
  }
  if (header.uncompressedSize > maxSize) {
    throw PackageError("LZMA header gives an uncompressed size of " + std::to_string(header.uncompressedSize) +
                       " bytes, more than the " + std::to_string(maxSize) + " this tool unpacks");
  }
  lzma_options_lzma options{};
  if (!SetProperties(options, header.properties)) {
    throw PackageError("LZMA properties byte " + std::to_string(header.properties) + " is not supported");
  }
  // A dictionary larger than the output decodes the same; it is bounded by
  // the output so that a hostile header cannot ask for gigabytes.
  options.dict_size = static_cast<uint32_t>(std::clamp<uint64_t>(
      header.dictionarySize, LZMA_DICT_SIZE_MIN, std::max<uint64_t>(header.uncompressedSize, LZMA_DICT_SIZE_MIN)));
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(options, header.uncompressedSize);
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

  lzma_stream decoder = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&decoder, filters) != LZMA_OK) {
    throw PackageError("liblzma cannot decode with these LZMA properties");
  }
  // The output grows as the data really unpacks, not as far as the header
  // claims up front.
  Bytes out;
  decoder.next_in = stream.data() + kLzmaHeaderSize;
  decoder.avail_in = stream.size() - kLzmaHeaderSize;
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK) {
    if (decoder.avail_out == 0) {
      const size_t used = out.size();
      const uint64_t left = header.uncompressedSize - used;
      out.resize(used + static_cast<size_t>(std::min<uint64_t>(left, std::max<size_t>(used, kFirstOutputChunk))));
      decoder.next_out = out.data() + used;
      decoder.avail_out = out.size() - used;
    }
    result = lzma_code(&decoder, LZMA_FINISH);
  }
  const size_t produced = out.size() - decoder.avail_out;
  const size_t consumed = stream.size() - decoder.avail_in;
  lzma_end(&decoder);
  if (result == LZMA_BUF_ERROR) {
    throw PackageError("LZMA data ends after " + std::to_string(produced) + " of the " +
                       std::to_string(header.uncompressedSize) + " bytes its header gives");
  }
  if (result == LZMA_DATA_ERROR && produced == header.uncompressedSize) {
    throw PackageError("LZMA data goes on after the " + std::to_string(produced) + " bytes its header gives");
  }
  if (result != LZMA_STREAM_END || produced != header.uncompressedSize) {
    throw PackageError("LZMA data is corrupt after " + std::to_string(produced) + " of " +
                       std::to_string(header.uncompressedSize) + " bytes (an end marker too early, or bad data)");
  }
  if (consumed != stream.size()) {
    throw PackageError("LZMA data goes on for " + std::to_string(stream.size() - consumed) + " bytes after the " +
                       std::to_string(produced) + " bytes its header gives");
  }
  return out;
}

Bytes LzmaCompress(std::span<const uint8_t> data, uint8_t properties, uint32_t dictionarySize) {
  lzma_options_lzma options{};
  if (lzma_lzma_preset(&options, kEncoderPreset)) {
    throw PackageError("liblzma has no preset " + std::to_string(kEncoderPreset));
  }
  if (!SetProperties(options, properties)) {
    throw PackageError("LZMA properties byte " + std::to_string(properties) + " is not supported");
  }
  options.dict_size = std::max<uint32_t>(dictionarySize, LZMA_DICT_SIZE_MIN);
  options.ext_flags = 0;  // no end marker: the header gives the size
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

  // One encoder per thread, initialised again for each stream: liblzma then
  // keeps its match finder's tables (about a megabyte) and only clears them,
  // instead of allocating and zeroing them for every section.
  struct Encoder {
    lzma_stream stream = LZMA_STREAM_INIT;
    Encoder() = default;
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    ~Encoder() { lzma_end(&stream); }
  };
  thread_local Encoder encoder;
  lzma_stream& stream = encoder.stream;
  if (const lzma_ret init = lzma_raw_encoder(&stream, filters); init != LZMA_OK) {
    throw PackageError("liblzma cannot encode with these LZMA settings (error " +
                       std::to_string(static_cast<int>(init)) + ")");
  }

  Bytes out(kLzmaHeaderSize + data.size() + data.size() / 16 + 4096);
  out[0] = properties;
  for (int i = 0; i < 4; ++i) {
    out[1 + i] = static_cast<uint8_t>(options.dict_size >> (8 * i));
  }
  for (int i = 0; i < 8; ++i) {
    out[5 + i] = static_cast<uint8_t>(static_cast<uint64_t>(data.size()) >> (8 * i));
  }
  stream.next_in = data.data();
  stream.avail_in = data.size();
  stream.next_out = out.data() + kLzmaHeaderSize;
  stream.avail_out = out.size() - kLzmaHeaderSize;
  const lzma_ret result = lzma_code(&stream, LZMA_FINISH);
  if (result != LZMA_STREAM_END) {
    throw PackageError("liblzma could not compress " + std::to_string(data.size()) + " bytes (error " +
                       std::to_string(static_cast<int>(result)) + ")");
  }
  out.resize(out.size() - stream.avail_out);
  return out;
}

}  // namespace ftpm::tools::ffs
