// The flash reader: window choice per processor, the exact aligned loads of
// the window readers (checked in the simulated flash's load log), address
// classes and refusals.
#include "directory/FlashReader.h"

#include <cstring>

#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm::directory {
namespace {

using sim::FlashAccessKind;
using testing::Eax;

class FlashReaderTest : public testing::DirectoryMachine {
 protected:
  FlashReaderTest() {
    // Recognisable bytes (a hash of the offset) where the tests read: near
    // both ends of the 16 MB window and of the 64 MB window, so that the two
    // windows and the offsets above 16 MB differ.
    for (auto [from, to] :
         {std::pair<size_t, size_t>{0, 0x10000}, {0x120000, 0x130000}, {0xFF0000, 0x1030000}, {0x3FF0000, 0x4000000}}) {
      std::vector<uint8_t> bytes(to - from);
      for (size_t o = from; o < to; ++o) {
        bytes[o - from] = static_cast<uint8_t>((o * 131) ^ (o >> 8) ^ (o >> 16));
      }
      m.flash.Write(from, bytes);
    }
    m.flash.ClearLog();
  }
  uint8_t At(uint64_t offset) { return m.flash.At(offset); }
  std::vector<uint8_t> Expected(uint64_t offset, size_t length) { return m.flash.Read(offset, length); }
  std::vector<uint64_t> Loads() {
    std::vector<uint64_t> out;
    for (const auto& access : m.flash.Log) {
      EXPECT_EQ(access.Kind, FlashAccessKind::Load64);
      EXPECT_EQ(access.Length, 8U);
      out.push_back(access.Address);
    }
    return out;
  }
};

TEST_F(FlashReaderTest, LastWordOfThe16MWindowIsOneLoad) {
  uint8_t buffer[8] = {};
  EXPECT_EQ(ReadWindow16M(0xFFFFF8, buffer, 8), TRUE);
  EXPECT_EQ(Loads(), std::vector<uint64_t>{0xFFFFFFF8});
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), Expected(0xFFFFF8, 8));
}

TEST_F(FlashReaderTest, BytesWithinOneWordComeFromOneLoad) {
  uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ReadWindow64M(5, buffer, 2), TRUE);
  EXPECT_EQ(Loads(), std::vector<uint64_t>{0xFD00000000});
  EXPECT_EQ(buffer[0], At(5));
  EXPECT_EQ(buffer[1], At(6));
  EXPECT_EQ(buffer[2], 0xEE);  // exactly Length bytes are written
}

TEST_F(FlashReaderTest, SplitRangeLoadsEachWordOnceInOrder) {
  uint8_t buffer[13] = {};
  buffer[12] = 0xEE;
  EXPECT_EQ(ReadWindow64M(6, buffer, 12), TRUE);
  EXPECT_EQ(Loads(), (std::vector<uint64_t>{0xFD00000000, 0xFD00000008, 0xFD00000010}));
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 12), Expected(6, 12));
  EXPECT_EQ(buffer[12], 0xEE);
}

// Every start and length in a small range: the loads are the aligned words
// from the first to the last byte's word, each once, and the bytes are right,
// also into a destination that is not 8-aligned.
TEST_F(FlashReaderTest, AnyRangeIsReadWithConsecutiveAlignedLoads) {
  for (uint32_t offset = 0x100; offset < 0x110; ++offset) {
    for (uint32_t length = 1; length <= 41; ++length) {
      m.flash.ClearLog();
      std::vector<uint8_t> storage(length + 2, 0xEE);
      ASSERT_EQ(ReadWindow16M(offset, storage.data() + 1, length), TRUE);
      std::vector<uint64_t> expected;
      for (uint64_t word = offset & ~7ULL; word <= ((offset + length - 1) & ~7ULL); word += 8) {
        expected.push_back(0xFF000000 + word);
      }
      ASSERT_EQ(Loads(), expected) << offset << "+" << length;
      ASSERT_EQ(std::vector<uint8_t>(storage.begin() + 1, storage.end() - 1), Expected(offset, length));
      ASSERT_EQ(storage.front(), 0xEE);
      ASSERT_EQ(storage.back(), 0xEE);
    }
  }
}

TEST_F(FlashReaderTest, WindowReadersRefuseBeforeWritingAnything) {
  uint8_t buffer[32];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(ReadWindow16M(0xFFFFFF, buffer, 2), FALSE);  // runs past the window
  EXPECT_EQ(ReadWindow16M(0x1000000, buffer, 1), FALSE);
  EXPECT_EQ(ReadWindow16M(0, buffer, 0), FALSE);
  EXPECT_EQ(ReadWindow16M(0, nullptr, 8), FALSE);
  EXPECT_EQ(ReadWindow64M(0x3FFFFF0, buffer, 17), FALSE);
  EXPECT_EQ(ReadWindow64M(0, buffer, 0x4000001), FALSE);
  EXPECT_EQ(ReadWindow64M(0x3FFFFFF, buffer, 0xFFFFFFFF), FALSE);  // the sum would wrap in 32 bits
  EXPECT_EQ(ReadWindow64M(0x10, buffer, 0xFFFFFFF8), FALSE);
  for (uint8_t b : buffer) {
    ASSERT_EQ(b, 0xEE);
  }
  EXPECT_TRUE(m.flash.Log.empty());
  // A range ending on the window's last byte is accepted.
  EXPECT_EQ(ReadWindow64M(0x3FFFFF0, buffer, 16), TRUE);
  EXPECT_EQ(Loads(), (std::vector<uint64_t>{0xFD03FFFFF0, 0xFD03FFFFF8}));
}

TEST_F(FlashReaderTest, TheWholeWindowIsAccepted) {
  std::vector<uint8_t> all(0x1000000);
  EXPECT_EQ(ReadWindow16M(0, all.data(), 0x1000000), TRUE);
  EXPECT_EQ(m.flash.Loads64(), 0x200000U);
  EXPECT_EQ(all, Expected(0, 0x1000000));
}

TEST_F(FlashReaderTest, ShortImagesReadAsErasedFlashPastTheirEnd) {
  m.flash.SetImage(std::vector<uint8_t>(0x100, 0x11));
  uint8_t buffer[16];
  m.cpu.Signature = Eax(0x19, 0x21);
  EXPECT_EQ(ReadFlashOffset(0xF8, buffer, 16), TRUE);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), std::vector<uint8_t>(8, 0x11));
  EXPECT_EQ(std::vector<uint8_t>(buffer + 8, buffer + 16), std::vector<uint8_t>(8, 0xFF));
  EXPECT_EQ(ReadFlashOffset(0x3FFFFF8, buffer, 8), TRUE);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), std::vector<uint8_t>(8, 0xFF));
}

TEST_F(FlashReaderTest, OffsetsGoThroughTheProcessorsWindow) {
  struct Case {
    uint32_t family, model;
    bool window64;
  };
  const Case cases[] = {
      {0x17, 0x00, false}, {0x17, 0x18, false}, {0x17, 0x2F, false}, {0x17, 0x30, true},  {0x17, 0x4F, false},
      {0x17, 0x50, false}, {0x17, 0x60, true},  {0x17, 0x71, true},  {0x17, 0xF0, true},  {0x19, 0x00, true},
      {0x19, 0x21, true},  {0x1A, 0x24, true},  {0x15, 0x30, false}, {0x16, 0x60, false}, {0x18, 0x60, false},
  };
  for (const Case& c : cases) {
    m.cpu.Signature = Eax(c.family, c.model);
    m.flash.ClearLog();
    uint8_t buffer[8];
    ASSERT_EQ(ReadFlashOffset(0x1020000, buffer, 8), TRUE);
    const uint64_t expected = c.window64 ? 0xFD01020000 : 0xFF020000;
    EXPECT_EQ(Loads(), std::vector<uint64_t>{expected}) << std::hex << c.family << "/" << c.model;
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), Expected(c.window64 ? 0x1020000 : 0x020000, 8));
    EXPECT_EQ(DistinctFlashOffsets(), c.window64 ? 0x4000000U : 0x1000000U);
  }
}

TEST_F(FlashReaderTest, ReadFlashSendsOffsetsToTheWindowReaders) {
  m.cpu.Signature = Eax(0x17, 0x18);
  uint8_t buffer[8];
  EXPECT_EQ(ReadFlash(0x1020004, buffer, 4), TRUE);
  EXPECT_EQ(Loads(), std::vector<uint64_t>{0xFF020000});
  m.flash.ClearLog();
  m.cpu.Signature = Eax(0x19, 0x21);
  EXPECT_EQ(ReadFlash(0x3FFFFFF, buffer, 2), FALSE);  // an offset, refused by the window reader
  EXPECT_EQ(ReadFlash(0x3FFFFFF, buffer, 1), TRUE);
  EXPECT_EQ(buffer[0], At(0x3FFFFFF));
}

TEST_F(FlashReaderTest, ReadFlashCopiesMappedAddressesOfEitherWindow) {
  m.cpu.Signature = Eax(0x17, 0x18);  // a 16 MB-window processor may still name 16 MB window addresses
  uint8_t buffer[24];
  EXPECT_EQ(ReadFlash(0xFF123455, buffer, 24), TRUE);
  ASSERT_EQ(m.flash.Log.size(), 1U);
  EXPECT_EQ(m.flash.Log[0].Kind, FlashAccessKind::MappedCopy);
  EXPECT_EQ(m.flash.Log[0].Address, 0xFF123455U);
  EXPECT_EQ(m.flash.Log[0].Length, 24U);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 24), Expected(0x123455, 24));

  m.flash.ClearLog();
  m.cpu.Signature = Eax(0x19, 0x21);
  EXPECT_EQ(ReadFlash(0xFD01001000, buffer, 24), TRUE);
  ASSERT_EQ(m.flash.Log.size(), 1U);
  EXPECT_EQ(m.flash.Log[0].Address, 0xFD01001000U);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 24), Expected(0x1001000, 24));
  // Any byte address of the window, odd ones included.
  EXPECT_EQ(ReadFlash(0xFD01001003, buffer, 5), TRUE);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), Expected(0x1001003, 5));
}

TEST_F(FlashReaderTest, WideWindowAddressesAreRefusedWhereTheProcessorDoesNotServeThem) {
  uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  for (uint32_t eax : {Eax(0x1A, 0x24), Eax(0x17, 0x18), Eax(0x17, 0x50), Eax(0x15, 0x00)}) {
    m.cpu.Signature = eax;
    EXPECT_EQ(ReadFlash(0xFD00001000, buffer, 8), FALSE) << std::hex << eax;
  }
  for (uint32_t eax : {Eax(0x17, 0x30), Eax(0x17, 0x60), Eax(0x19, 0x00)}) {
    m.cpu.Signature = eax;
    EXPECT_EQ(ReadFlash(0xFD00001000, buffer, 8), TRUE) << std::hex << eax;
  }
}

TEST_F(FlashReaderTest, AddressesOutsideTheWindowsAreRefused) {
  m.cpu.Signature = Eax(0x19, 0x21);
  uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  for (uint64_t address : {0x4000000ULL, 0xFE000000ULL, 0xFEFFFFFFULL, 0x100000000ULL, 0xFD04000000ULL, 0xFCFFFFFFFFULL,
                           0xFFFFFFFFFF000000ULL}) {
    EXPECT_EQ(ReadFlash(address, buffer, 8), FALSE) << std::hex << address;
  }
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), std::vector<uint8_t>(8, 0xEE));
  EXPECT_TRUE(m.flash.Log.empty());
}

// A mapped read that would run past its window is refused rather than cut,
// and nothing outside the window is touched.
TEST_F(FlashReaderTest, MappedReadsRunningPastTheirWindowAreRefused) {
  m.cpu.Signature = Eax(0x19, 0x21);
  uint8_t buffer[32];
  std::memset(buffer, 0xEE, sizeof buffer);
  sim::RunOutcome outcome = m.Run([&] {
    EXPECT_EQ(ReadFlash(0xFFFFFFF0, buffer, 32), FALSE);
    EXPECT_EQ(ReadFlash(0xFD03FFFFF0, buffer, 17), FALSE);
    EXPECT_EQ(ReadFlash(0xFFFFFFF0, buffer, 16), TRUE);
    EXPECT_EQ(ReadFlash(0xFD03FFFFF0, buffer, 16), TRUE);
    return EFI_SUCCESS;
  });
  EXPECT_TRUE(outcome.Returned());
  EXPECT_EQ(m.flash.Log.size(), 2U);
}

TEST_F(FlashReaderTest, ZeroLengthMappedReadCopiesNothing) {
  uint8_t buffer[1] = {0xEE};
  EXPECT_EQ(ReadFlash(0xFF800000, buffer, 0), TRUE);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_TRUE(m.flash.Log.empty());
}

TEST_F(FlashReaderTest, DirectoryCopyIsZeroFilledAndReadWhole) {
  m.cpu.Signature = Eax(0x17, 0x18);
  std::vector<uint8_t> copy(1552, 0xEE);
  EXPECT_EQ(ReadDirectoryCopy(0x4000, copy.data()), TRUE);
  EXPECT_EQ(copy, Expected(0x4000, 1552));
  EXPECT_EQ(m.flash.Loads64(), 1552U / 8);

  std::fill(copy.begin(), copy.end(), 0xEE);
  EXPECT_EQ(ReadDirectoryCopy(0xFE000000, copy.data()), FALSE);
  EXPECT_EQ(copy, std::vector<uint8_t>(1552, 0));

  std::fill(copy.begin(), copy.end(), 0xEE);
  EXPECT_EQ(ReadDirectoryCopy(0xFFFFFC00, copy.data()), FALSE);  // 1552 bytes do not fit before 4 GB
  EXPECT_EQ(copy, std::vector<uint8_t>(1552, 0));
}

}  // namespace
}  // namespace ftpm::directory
