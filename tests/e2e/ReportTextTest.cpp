// The firmware harness's text helpers: report fields, the debug-print
// conversions the driver's messages use, and the number parsing behind the
// configuration file.
#include <gtest/gtest.h>

#include <string>

#include "platform/Guids.h"
#include "qemu/platform/Text.h"

namespace ftpm::qemu {
namespace {

std::string Format(const char* format, std::initializer_list<UINT64> arguments, UINTN max = 16) {
  TextBuffer out;
  FormatDebugMessage(out, format, arguments.size() != 0 ? arguments.begin() : nullptr,
                     arguments.size() < max ? arguments.size() : max);
  return out.CStr();
}

UINT64 Arg(const void* pointer) { return reinterpret_cast<UINT64>(pointer); }

TEST(HarnessText, NumbersStatusesAndGuids) {
  TextBuffer out;
  out.AppendHex(0);
  out.AppendChar(' ');
  out.AppendHex(0xFD00000000ULL);
  out.AppendChar(' ');
  out.AppendDecimal(18446744073709551615ULL);
  out.AppendChar(' ');
  out.AppendSigned(-42);
  out.AppendChar(' ');
  out.AppendHexDigits(0xAB, 4, true);
  EXPECT_STREQ(out.CStr(), "0x0 0xfd00000000 18446744073709551615 -42 00AB");

  TextBuffer statuses;
  statuses.AppendStatus(EFI_SUCCESS);
  statuses.AppendChar(' ');
  statuses.AppendStatus(EFI_INVALID_PARAMETER);
  statuses.AppendChar(' ');
  statuses.AppendStatus(EFI_WARN_STALE_DATA);
  statuses.AppendChar(' ');
  statuses.AppendStatus(EncodeError(99));  // no name: shown as a number
  EXPECT_STREQ(statuses.CStr(), "EFI_SUCCESS EFI_INVALID_PARAMETER EFI_WARN_STALE_DATA 0x8000000000000063");

  TextBuffer guid;
  guid.AppendGuid(gFlashSmmServiceGuid);
  EXPECT_STREQ(guid.CStr(), "B2ABCCBF-02E1-436F-98B0-20599C49E2A1");
}

TEST(HarnessText, EscapedTextKeepsOneLineAndStopsAtTheBound) {
  TextBuffer out;
  out.AppendEscaped("a b\\c\n\x01\xff", 100);
  EXPECT_STREQ(out.CStr(), "a b\\\\c\\x0a\\x01\\xff");

  TextBuffer bounded;
  bounded.AppendEscaped("abcdef", 3);  // the source need not be terminated within the bound
  EXPECT_STREQ(bounded.CStr(), "abc");

  TextBuffer bytes;
  const UINT8 data[] = {0x00, 0x7F, 0xFF};
  bytes.AppendBytes(data, sizeof(data));
  EXPECT_STREQ(bytes.CStr(), "007fff");
}

TEST(HarnessText, FullBufferDropsTheRestAndSaysSo) {
  TextBuffer out;
  const std::string chunk(TextBuffer::kCapacity - 2, 'x');
  out.Append(chunk.c_str());
  EXPECT_FALSE(out.Truncated());
  out.AppendHex(0x1234);  // "0x1234" needs six, two fit
  EXPECT_TRUE(out.Truncated());
  EXPECT_EQ(out.Length(), TextBuffer::kCapacity);
  EXPECT_EQ(std::string(out.CStr()), chunk + "0x");
}

TEST(HarnessText, TheDriverMessagesFormatAsMeant) {
  EXPECT_EQ(Format("[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n",
                   {Arg("KelCfgPcdBufLibDxeConstructor"), EFI_NOT_FOUND}),
            "[KelCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: EFI_NOT_FOUND\n");
  EXPECT_EQ(Format("KelS3LibTableHeader buffer size = 0x%x\n", {0x4000}), "KelS3LibTableHeader buffer size = 0x4000\n");
  EXPECT_EQ(Format("RecoveryFlag %x\n", {0xFFFFFFFFULL}), "RecoveryFlag ffffffff\n");
}

TEST(HarnessText, ConversionsReadTheirSlotsAtTheRightWidth) {
  // Without a size marker only the low 32 bits of the 8-byte slot count.
  EXPECT_EQ(Format("%x %lx", {0x1122334455667788ULL, 0x1122334455667788ULL}), "55667788 1122334455667788");
  EXPECT_EQ(Format("%d %ld %u", {0xFFFFFFFFULL, static_cast<UINT64>(-5LL), 0x1FFFFFFFFULL}), "-1 -5 4294967295");
  EXPECT_EQ(Format("%X|%08x|%-4d|%4d|%04d", {0xBEEF, 0xBEEF, 7, 7, static_cast<UINT64>(-7)}),
            "BEEF|0000beef|7   |   7|-007");
  EXPECT_EQ(Format("%p", {0xFD00000000ULL}), "000000FD00000000");
  EXPECT_EQ(Format("%c%c", {'o', 0x263A}), "o?");
  EXPECT_EQ(Format("%s|%.3a|%a", {Arg(u"wide\u00e9"), Arg("abcdef"), Arg(nullptr)}), "wide?|abc|<null string>");
  EXPECT_EQ(Format("%g", {Arg(&gS3TableHandOverGuid)}), "5C4061F0-D051-4F43-BC23-5E5E89B3CEC0");
}

TEST(HarnessText, OddFormatsStayWithinTheirArguments) {
  EXPECT_EQ(Format("100%% %q %d", {3}), "100% %q 3");  // unknown conversion: copied, no slot used
  EXPECT_EQ(Format("%d %d %d", {1, 2}), "1 2 <missing argument>");
  EXPECT_EQ(Format("%d %d", {1, 2, 3}, 1), "1 <missing argument>");
  EXPECT_EQ(Format("trailing %", {}), "trailing %");
  EXPECT_EQ(Format("%l", {}), "%l");
  // A width beyond reason is capped, not trusted.
  EXPECT_EQ(Format("%999999999999d", {1}).size(), 64u);
  TextBuffer out;
  FormatDebugMessage(out, nullptr, nullptr, 0);
  EXPECT_STREQ(out.CStr(), "<null format>");
}

TEST(HarnessText, UnsignedNumbers) {
  UINT64 value = 99;
  auto parse = [&](const char* text) { return ParseUnsigned(text, std::char_traits<char>::length(text), &value); };
  EXPECT_TRUE(parse("0"));
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(parse("122"));
  EXPECT_EQ(value, 122u);
  EXPECT_TRUE(parse("0xFD00000000"));
  EXPECT_EQ(value, 0xFD00000000ULL);
  EXPECT_TRUE(parse("0x4000_0000"));
  EXPECT_EQ(value, 0x40000000u);
  EXPECT_TRUE(parse("18446744073709551615"));
  EXPECT_EQ(value, ~0ULL);
  value = 7;
  for (const char* bad : {"", "0x", "0x_", "-1", "12a", "0xg", "18446744073709551616", "0x10000000000000000", " 1"}) {
    EXPECT_FALSE(parse(bad)) << bad;
    EXPECT_EQ(value, 7u) << "a refused number leaves the value alone: " << bad;
  }
}

TEST(HarnessText, BooleansAndStatuses) {
  BOOLEAN flag = 5;
  EXPECT_TRUE(ParseBoolean("Yes", 3, &flag));
  EXPECT_EQ(flag, TRUE);
  EXPECT_TRUE(ParseBoolean("off", 3, &flag));
  EXPECT_EQ(flag, FALSE);
  EXPECT_FALSE(ParseBoolean("2", 1, &flag));
  EXPECT_FALSE(ParseBoolean("truex", 5, &flag));
  EXPECT_FALSE(ParseBoolean("tru", 3, &flag));

  EFI_STATUS status = 0;
  EXPECT_TRUE(ParseStatus("EFI_DEVICE_ERROR", 16, &status));
  EXPECT_EQ(status, EFI_DEVICE_ERROR);
  EXPECT_TRUE(ParseStatus("0x8000000000000002", 18, &status));
  EXPECT_EQ(status, EFI_INVALID_PARAMETER);
  EXPECT_FALSE(ParseStatus("EFI_NOPE", 8, &status));
}

}  // namespace
}  // namespace ftpm::qemu
