// The image layout behind `mkimage`: records land at their documented
// offsets with the driver's checksum, overrides are honoured, mistakes are
// refused with the offending field named; and the samples, inspected on the
// simulated platform, give the answers their descriptions promise.
#include "tools/ImageLayout.h"

#include <gmock/gmock.h>

#include <fstream>

#include "tests/unit/DirectoryTestSupport.h"
#include "tools/LookupReport.h"

namespace ftpm::tools::layout {
namespace {

using json = nlohmann::json;
using testing::ReferenceFletcher32;

uint32_t U32(const std::vector<uint8_t>& image, size_t at) {
  return image.at(at) | (image.at(at + 1) << 8) | (image.at(at + 2) << 16) |
         (static_cast<uint32_t>(image.at(at + 3)) << 24);
}
uint64_t U64(const std::vector<uint8_t>& image, size_t at) {
  return U32(image, at) | (static_cast<uint64_t>(U32(image, at + 4)) << 32);
}

std::string ErrorOf(const json& layout) {
  try {
    BuildImage(layout);
  } catch (const LayoutError& error) {
    return error.what();
  }
  return "";
}

TEST(ParseNumberTest, DecimalAndHexadecimalOnly) {
  EXPECT_EQ(ParseNumber("0"), 0U);
  EXPECT_EQ(ParseNumber("10"), 10U);
  EXPECT_EQ(ParseNumber("0x00A20F12"), 0x00A20F12U);
  EXPECT_EQ(ParseNumber("0XfF"), 0xFFU);
  EXPECT_EQ(ParseNumber("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ParseNumber("18446744073709551616"), std::nullopt);
  EXPECT_EQ(ParseNumber("0x1FFFFFFFFFFFFFFFF"), std::nullopt);
  EXPECT_EQ(ParseNumber("0x100000000", UINT32_MAX), std::nullopt);
  EXPECT_EQ(ParseNumber("0xFFFFFFFF", UINT32_MAX), 0xFFFFFFFFU);
  for (const char* bad : {"", "0x", "-1", " 1", "1 ", "12a", "0x12g", "1e3", "+5"}) {
    EXPECT_EQ(ParseNumber(bad), std::nullopt) << bad;
  }
}

TEST(ImageLayoutTest, RecordsLandAtTheirOffsetsWithTheDriversChecksum) {
  const json layout = json::parse(R"({
    "size": "0x10000", "fill": "0xEE",
    "signature_blocks": [{"offset": "0x100", "directory": "0x2000", "alternate_directory": 4096, "exclusion": "0xFF"}],
    "directories": [
      {"offset": "0x2000", "info": "0x1234", "entries": [
        {"type": "ftpm-nvram", "size": "0x4000", "location": "0x300000"},
        {"type": "0x04", "subtype": 1, "variant": 3, "size": 1, "location": "0x10", "mode": 2},
        {"type_word": "0xABCD013C", "size": 2, "location": "0xC000000000000020"}]},
      {"offset": "0x3000", "level": 2, "entries": []}
    ],
    "combo_directories": [{"offset": "0x4000", "entries": [{"mvq_id": "0xBC0D0400", "directory": "0x2000"}]}],
    "bhd_directories": [{"offset": "0x5000", "entries": [{"hex": "01 02 03"}]}],
    "slot_headers": [
      {"offset": "0x6000", "form": 1, "priority": 5, "aux1": 6, "aux2": 7, "l2_address": "0x3000"},
      {"offset": "0x6100", "form": 2, "priority": 8, "aux1": 9, "aux2": 10, "l2_address": "0x3000", "mvq_id": "0xBC0D0400"}
    ],
    "raw": [{"offset": "0x7000", "hex": "DEADBEEF"}, {"offset": "0x7004", "length": 3, "byte": 0}]
  })");
  ImageSummary summary;
  const std::vector<uint8_t> image = BuildImage(layout, &summary);
  ASSERT_EQ(image.size(), 0x10000U);
  EXPECT_EQ(image[0], 0xEE);
  EXPECT_EQ(summary.directories, 2U);
  EXPECT_EQ(summary.rawRanges, 2U);

  // Signature block.
  EXPECT_EQ(U32(image, 0x100), 0x55AA55AAU);
  EXPECT_EQ(U32(image, 0x114), 0x2000U);
  EXPECT_EQ(image[0x124], 0xFF);
  EXPECT_EQ(U32(image, 0x12C), 0x1000U);
  EXPECT_EQ(image[0x104], 0);  // uninterpreted bytes are zero
  EXPECT_EQ(image[0x13C], 0xEE);

  // Level-1 directory: header, entries, checksum over count, info, entries.
  EXPECT_EQ(U32(image, 0x2000), testing::Cookie("$MVQ"));
  EXPECT_EQ(U32(image, 0x2008), 3U);
  EXPECT_EQ(U32(image, 0x200C), 0x1234U);
  EXPECT_EQ(U32(image, 0x2004), ReferenceFletcher32(&image[0x2008], 3 * 8 + 4));
  EXPECT_EQ(U32(image, 0x2010), 0x04U);
  EXPECT_EQ(U32(image, 0x2014), 0x4000U);
  EXPECT_EQ(U64(image, 0x2018), 0x300000U);
  EXPECT_EQ(U32(image, 0x2020), 0x04U | (1U << 8) | (3U << 19));
  EXPECT_EQ(U64(image, 0x2028), 0x8000000000000010U);
  EXPECT_EQ(U32(image, 0x2030), 0xABCD013CU);
  EXPECT_EQ(U64(image, 0x2038), 0xC000000000000020U);
  EXPECT_EQ(image[0x2040], 0xEE);
  // Level-2 directory, empty: the checksum of its four words.
  EXPECT_EQ(U32(image, 0x3000), testing::Cookie("$ML2"));
  EXPECT_EQ(U32(image, 0x3004), ReferenceFletcher32(&image[0x3008], 4));

  // Combo: cookie, count, entries from +0x20.
  EXPECT_EQ(U32(image, 0x4000), testing::Cookie("2MVQ"));
  EXPECT_EQ(U32(image, 0x4008), 1U);
  EXPECT_EQ(U32(image, 0x4024), 0xBC0D0400U);
  EXPECT_EQ(U32(image, 0x4028), 0x2000U);

  // BHD: 24-byte entries, checksum over 8 + 24 bytes.
  EXPECT_EQ(U32(image, 0x5000), testing::Cookie("$BHD"));
  EXPECT_EQ(image[0x5010], 1);
  EXPECT_EQ(image[0x5012], 3);
  EXPECT_EQ(image[0x5013], 0);
  EXPECT_EQ(U32(image, 0x5004), ReferenceFletcher32(&image[0x5008], 12 + 4));
  EXPECT_EQ(image[0x5028], 0xEE);

  // Slot headers of both forms.
  EXPECT_EQ(U32(image, 0x6000), 5U);
  EXPECT_EQ(U32(image, 0x6004), 6U);
  EXPECT_EQ(U32(image, 0x6008), 7U);
  EXPECT_EQ(U32(image, 0x600C), 0x3000U);
  EXPECT_EQ(U32(image, 0x6104), 8U);
  EXPECT_EQ(U32(image, 0x6108), 9U);
  EXPECT_EQ(image[0x610C], 10);
  EXPECT_EQ(U32(image, 0x6110), 0x3000U);
  EXPECT_EQ(U32(image, 0x6114), 0xBC0D0400U);

  // Raw bytes.
  EXPECT_EQ(U32(image, 0x7000), 0xEFBEADDEU);
  EXPECT_EQ(image[0x7006], 0);
  EXPECT_EQ(image[0x7007], 0xEE);
}

TEST(ImageLayoutTest, ChecksumAndCountOverrides) {
  auto build = [](const char* directory) {
    return BuildImage(json::parse(std::string(R"({"size": 4096, "directories": [)") + directory + "]}"));
  };
  const auto good = build(R"({"offset": 0, "entries": [{"type": 4, "size": 1, "location": 2}]})");
  const auto wrong = build(R"({"offset": 0, "checksum": "wrong", "entries": [{"type": 4, "size": 1, "location": 2}]})");
  const auto given =
      build(R"({"offset": 0, "checksum": "0x12345678", "entries": [{"type": 4, "size": 1, "location": 2}]})");
  EXPECT_NE(U32(wrong, 4), U32(good, 4));
  EXPECT_EQ(U32(given, 4), 0x12345678U);
  // A larger count is written as given, and the checksum covers that many
  // entries of the image (here the fill after the one written).
  const auto more = build(R"({"offset": 0, "entry_count": 3, "entries": [{"type": 4, "size": 1, "location": 2}]})");
  EXPECT_EQ(U32(more, 8), 3U);
  EXPECT_EQ(U32(more, 4), ReferenceFletcher32(&more[8], 3 * 8 + 4));
  EXPECT_EQ(more[0x20], 0xFF);
  // A cookie of one's own.
  const auto other = build(R"({"offset": 0, "cookie": "$XYZ", "entries": []})");
  EXPECT_EQ(U32(other, 0), testing::Cookie("$XYZ"));
}

TEST(ImageLayoutTest, MistakesAreRefusedNamingTheField) {
  using ::testing::HasSubstr;
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": "0x4000001"})")), HasSubstr("size"));
  EXPECT_THAT(ErrorOf(json::parse(R"({"fill": 1})")), HasSubstr("missing field \"size\""));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": 64, "sizes": 1})")), HasSubstr("unknown field \"sizes\""));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": -1})")), HasSubstr("negative"));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": "sixty"})")), HasSubstr("not a number"));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": 1.5})")), HasSubstr("not a number"));
  EXPECT_THAT(
      ErrorOf(json::parse(R"({"size": 4096, "directories": [{"offset": 0, "entries": [{"type": 4, "size": 1}]}]})")),
      HasSubstr("directories[0].entries[0]: missing field \"location\""));
  EXPECT_THAT(
      ErrorOf(json::parse(
          R"({"size": 4096, "directories": [{"offset": 0, "entries": [{"type": 4, "size": "0x100000000", "location": 0}]}]})")),
      HasSubstr("directories[0].entries[0].size"));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": 4096, "directories": [{"offset": 4090, "entries": []}]})")),
              HasSubstr("runs past the image end"));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": 4096, "directories": [{"offset": 0, "entries": []}],
                                     "slot_headers": [{"offset": 8, "form": 1, "priority": 1, "l2_address": 0}]})")),
              HasSubstr("slot_headers[0]: overlaps directories[0]"));
  EXPECT_THAT(ErrorOf(json::parse(
                  R"({"size": 4096, "slot_headers": [{"offset": 0, "form": 3, "priority": 1, "l2_address": 0}]})")),
              HasSubstr("form"));
  EXPECT_THAT(
      ErrorOf(json::parse(
          R"({"size": 4096, "slot_headers": [{"offset": 0, "form": 2, "priority": 1, "aux2": 256, "l2_address": 0, "mvq_id": 0}]})")),
      HasSubstr("aux2"));
  EXPECT_THAT(
      ErrorOf(json::parse(
          R"({"size": 4096, "directories": [{"offset": 0, "entries": [{"type": "0x13C", "subtype": 1, "size": 1, "location": 0}]}]})")),
      HasSubstr("8-bit types only"));
  EXPECT_THAT(
      ErrorOf(json::parse(
          R"({"size": 4096, "directories": [{"offset": 0, "entries": [{"type": "nvram", "size": 1, "location": 0}]}]})")),
      HasSubstr("entries[0].type"));
  EXPECT_THAT(
      ErrorOf(json::parse(
          R"({"size": 4096, "directories": [{"offset": 0, "entries": [{"type": 4, "size": 1, "location": "0x4000000000000000", "mode": 2}]}]})")),
      HasSubstr("bits 62-63"));
  EXPECT_THAT(
      ErrorOf(json::parse(R"({"size": 4096, "directories": [{"offset": 0, "entry_count": 1000, "entries": []}]})")),
      HasSubstr("give \"checksum\""));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": 4096, "raw": [{"offset": 0, "hex": "ABC"}]})")), HasSubstr("odd number"));
  EXPECT_THAT(ErrorOf(json::parse(R"({"size": 4096, "raw": [{"offset": 0, "hex": "zz"}]})")),
              HasSubstr("hexadecimal digit"));
  EXPECT_THAT(
      ErrorOf(json::parse(
          R"({"size": 4096, "bhd_directories": [{"offset": 0, "entries": [{"hex": "00000000000000000000000000000000000000000000000000"}]}]})")),
      HasSubstr("more than 24 bytes"));
  EXPECT_THAT(ErrorOf(json::parse(R"([1, 2])")), HasSubstr("expected an object"));
  // Raw bytes may be written over records: that is how corrupt images are made.
  EXPECT_EQ(ErrorOf(json::parse(R"({"size": 4096, "directories": [{"offset": 0, "entries": []}],
                                   "raw": [{"offset": 0, "hex": "00"}]})")),
            "");
}

TEST(ImageLayoutTest, FilesThatCannotBeReadOrParsedAreRefused) {
  EXPECT_THROW(BuildImageFromFile("/nonexistent/layout.json"), LayoutError);
  const std::string path = ::testing::TempDir() + "/broken-layout.json";
  {
    std::ofstream out(path);
    out << "{\"size\": 16,";
  }
  try {
    BuildImageFromFile(path);
    ADD_FAILURE() << "no error";
  } catch (const LayoutError& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("not valid JSON"));
  }
  {
    std::ofstream out(path);
    out << "// comments are allowed\n{\"size\": 16 /* bytes */}";
  }
  EXPECT_EQ(BuildImageFromFile(path).size(), 16U);
}

// ---------------------------------------------------------------------------
// The samples, on the processors they are written for
// ---------------------------------------------------------------------------

struct Expected {
  std::optional<std::pair<uint64_t, uint32_t>> ftpm, mvq, pointer;
};

json Inspect(const std::string& sample, uint32_t flag) {
  const std::string path = std::string(FTPM_SOURCE_DIR) + "/samples/" + sample + ".json";
  std::ifstream in(path);
  const json layout = json::parse(in, nullptr, true, true);
  const uint32_t cpu = static_cast<uint32_t>(*ParseNumber(layout.at("processor").get<std::string>()));
  return InspectImage(BuildImageFromFile(path), cpu, flag);
}

void ExpectLookups(const json& report, const Expected& expected) {
  const std::pair<const char*, std::optional<std::pair<uint64_t, uint32_t>>> cases[] = {
      {"0x04", expected.ftpm}, {"0x54", expected.mvq}, {"0x40", expected.pointer}};
  for (const auto& [key, want] : cases) {
    const json& lookup = report.at("lookups").at(key);
    if (!want) {
      EXPECT_EQ(lookup.at("found"), false) << key;
      EXPECT_TRUE(lookup.at("address").is_null()) << key;
      EXPECT_TRUE(lookup.at("size").is_null()) << key;
      continue;
    }
    EXPECT_EQ(lookup.at("found"), true) << key;
    EXPECT_EQ(lookup.at("address"), Hex(want->first)) << key;
    EXPECT_EQ(lookup.at("size"), Hex(want->second)) << key;
  }
}

TEST(SamplesTest, PlainLevelOneWithALevelTwoPointer) {
  const json report = Inspect("plain-16m", 0);
  ExpectLookups(report, {{{0xFF400000, 0x10000}}, {{0xFF420000, 0x20000}}, {{0xFF110000, 0x610}}});
  EXPECT_EQ(report["processor"]["offset_window"], "16M");
  EXPECT_EQ(report["level1"]["layout"], "plain");
  EXPECT_EQ(report["lookups"]["0x04"]["from"], "level-2");
  EXPECT_EQ(report["lookups"]["0x40"]["from"], "level-1");
  // Later lookups of the boot are served from the cache.
  EXPECT_GT(report["lookups"]["0x04"]["flash_bytes"], 0);
  EXPECT_EQ(report["lookups"]["0x54"]["flash_bytes"], 0);
  EXPECT_EQ(report["lookups"]["0x40"]["flash_bytes"], 0);
}

TEST(SamplesTest, ComboWithAbLayoutTwo) {
  json report = Inspect("combo-ab2-64m", 0);
  ExpectLookups(report, {{{0x1140000, 0x4000}}, {{0x1150000, 0x8000}}, std::nullopt});
  EXPECT_EQ(report["signature_block"]["flash_offset"], "0x820000");  // the first block is excluded
  EXPECT_EQ(report["level1"]["source"], "combo entry 1 (MvqId 0xBC0D0400)");
  EXPECT_EQ(report["lookups"]["0x54"]["flash_bytes"], 0);
  EXPECT_EQ(report["lookups"]["0x54"]["register_accesses"], 4);
  report = Inspect("combo-ab2-64m", 0x40000000);
  ExpectLookups(report, {{{0x1200000, 0x4000}}, {{0x1210000, 0x8000}}, std::nullopt});
}

TEST(SamplesTest, AbLayoutOne) {
  ExpectLookups(Inspect("ab1", 0), {{{0x900000, 0x4000}}, {{0x910000, 0x8000}}, std::nullopt});
  const json report = Inspect("ab1", 0x40000000);
  ExpectLookups(report, {{{0x800000, 0x4000}}, {{0x810000, 0x8000}}, std::nullopt});
  EXPECT_EQ(report["ab_recovery_info"]["slot_a"]["entry_index"], 1);
  EXPECT_EQ(report["ab_recovery_info"]["slot_a"]["priority"], 5);
}

TEST(SamplesTest, AProcessorWithoutATableRowFindsNothing) {
  const std::string path = std::string(FTPM_SOURCE_DIR) + "/samples/plain-16m.json";
  const json report = InspectImage(BuildImageFromFile(path), testing::kCpuUnknown, 0);
  ExpectLookups(report, {});
  EXPECT_TRUE(report["processor"]["identity_row"].is_null());
  EXPECT_EQ(report["lookups"]["0x04"]["post_codes"], json::array({"0x22011152"}));
}

}  // namespace
}  // namespace ftpm::tools::layout
