// The simulated flash: erased bytes read 0xFF wherever nothing was written,
// both windows and the 16 MB window's view of the first 16 MB show the same
// bytes, erases and writes show through every address that names them, and
// the storage it holds follows what was written, not the 64 MB.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/Machine.h"

namespace ftpm::sim {
namespace {

constexpr UINT64 kPage = Flash::kPageSize;

class SimFlashTest : public ::testing::Test {
 protected:
  // Reads as the driver's mapped copies do.
  std::vector<UINT8> Mapped(UINT64 address, UINT64 length) {
    const auto* bytes = static_cast<const UINT8*>(machine.flash.Map(address, length));
    return std::vector<UINT8>(bytes, bytes + length);
  }
  Machine machine;
};

TEST_F(SimFlashTest, AnImageReadsBackThroughBothWindowsAndErasedFlashBeyondIt) {
  std::vector<UINT8> image(3 * kPage + 5);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<UINT8>(i * 7 + 1);
  }
  machine.flash.SetImage(image);
  EXPECT_EQ(machine.flash.Read(0, image.size()), image);
  EXPECT_EQ(Mapped(kWindow16Base, image.size()), image);
  EXPECT_EQ(Mapped(kWindow64Base, image.size()), image);
  // The word that holds the image's last byte, then erased flash.
  UINT64 expected = 0xFFFFFFFFFFFFFFFF;
  std::memcpy(&expected, image.data() + image.size() - 5, 5);
  EXPECT_EQ(machine.flash.Load64(kWindow64Base + image.size() - 5), expected);
  EXPECT_EQ(machine.flash.Load64(kWindow16Base + 0xFFFFF8), ~0ULL);
  EXPECT_EQ(machine.flash.Load64(kWindow64Base + kFlashSize - 8), ~0ULL);
  EXPECT_EQ(Mapped(kWindow64Base + 0x2000000, 2 * kPage + 3), std::vector<UINT8>(2 * kPage + 3, 0xFF));
  EXPECT_EQ(machine.flash.Contents(), image);
}

TEST_F(SimFlashTest, TheWindowsShareOneFlashAndOnlyTheFirst16MBAppearInThe16MBWindow) {
  machine.flash.Write(0x123456, std::vector<UINT8>{1, 2, 3});
  machine.flash.Write(0x1123456, std::vector<UINT8>{4, 5, 6});
  EXPECT_EQ(Mapped(kWindow16Base + 0x123456, 3), (std::vector<UINT8>{1, 2, 3}));
  EXPECT_EQ(Mapped(kWindow64Base + 0x123456, 3), (std::vector<UINT8>{1, 2, 3}));
  EXPECT_EQ(Mapped(kWindow64Base + 0x1123456, 3), (std::vector<UINT8>{4, 5, 6}));
  // Offsets above 16 MB are not in the 16 MB window: its end reads erased.
  EXPECT_EQ(Mapped(kWindow16Base + 0xFFFFFD, 3), (std::vector<UINT8>{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Flash::OffsetOf(kWindow16Base + 0xFFFFFF, 2), std::nullopt);
  EXPECT_EQ(Flash::OffsetOf(kWindow64Base + kFlashSize, 1), std::nullopt);
}

TEST_F(SimFlashTest, AnEraseThroughOneWindowShowsThroughTheOther) {
  machine.flash.SetImage(std::vector<UINT8>(4 * kPage, 0x5A));
  // The SMM service takes either window's address or a flash offset.
  const auto at = Flash::EraseOffset(kWindow64Base + kPage - 2, kPage + 4);
  ASSERT_EQ(at, kPage - 2);
  machine.flash.Erase(*at, kPage + 4);
  EXPECT_EQ(Mapped(kWindow16Base + kPage - 3, 1), std::vector<UINT8>{0x5A});
  EXPECT_TRUE(machine.flash.IsErased(kPage - 2, kPage + 4));
  EXPECT_EQ(Mapped(kWindow16Base + 2 * kPage + 2, 1), std::vector<UINT8>{0x5A});
  EXPECT_FALSE(machine.flash.IsErased(kPage - 3, 2));
  EXPECT_EQ(Flash::EraseOffset(kWindow16Base + 0x10, 0x20), 0x10U);
  EXPECT_EQ(Flash::EraseOffset(0x10, 0x20), 0x10U);
  EXPECT_EQ(Flash::EraseOffset(0x10, 0), std::nullopt);
  EXPECT_EQ(Flash::EraseOffset(kFlashSize - 8, 16), std::nullopt);
  EXPECT_EQ(Flash::EraseOffset(kWindow16Base + 0xFFFFF0, 0x20), std::nullopt);
}

TEST_F(SimFlashTest, StorageFollowsWhatIsWrittenAndANewImageReplacesEverything) {
  EXPECT_EQ(machine.flash.PagesHeld(), 0U);
  machine.flash.Write(kFlashSize - 2, std::vector<UINT8>{7, 8});  // the very end
  machine.flash.Write(kPage - 1, std::vector<UINT8>{9, 9});       // across a page boundary
  EXPECT_EQ(machine.flash.PagesHeld(), 3U);
  EXPECT_EQ(machine.flash.At(kFlashSize - 1), 8);
  EXPECT_EQ(machine.flash.Contents().size(), kFlashSize);
  machine.flash.SetImage(std::vector<UINT8>{1});
  EXPECT_EQ(machine.flash.PagesHeld(), 1U);
  EXPECT_EQ(machine.flash.At(kFlashSize - 1), 0xFF);
  EXPECT_EQ(machine.flash.Contents(), std::vector<UINT8>{1});
  EXPECT_THROW(machine.flash.Write(kFlashSize - 1, std::vector<UINT8>{1, 2}), std::out_of_range);
}

// An image or a write costs the pages it fills: erased bytes over an erased
// page hold nothing, a page with one byte that is not 0xFF (the short last
// one too) is held, and what the image held before is gone.
TEST_F(SimFlashTest, AnImageHoldsOnlyThePagesItFills) {
  machine.flash.Write(7 * kPage, std::vector<UINT8>(2 * kPage, 0xFF));
  EXPECT_EQ(machine.flash.PagesHeld(), 0U);
  machine.flash.Write(5 * kPage, std::vector<UINT8>{1});
  std::vector<UINT8> image(4 * kPage + 3, 0xFF);
  image[kPage + 7] = 0x00;
  image[4 * kPage + 2] = 0x5A;
  machine.flash.SetImage(image);
  EXPECT_EQ(machine.flash.PagesHeld(), 2U);
  EXPECT_EQ(machine.flash.At(kPage + 7), 0x00);
  EXPECT_EQ(machine.flash.At(4 * kPage + 2), 0x5A);
  EXPECT_EQ(machine.flash.At(5 * kPage), 0xFF);
  EXPECT_EQ(machine.flash.Contents(), image);
}

TEST_F(SimFlashTest, ContentsEndAtTheLastByteThatIsNotErased) {
  std::vector<UINT8> image(2 * kPage, 0xFF);
  image[5] = 0;
  image[kPage + 9] = 0x12;
  machine.flash.SetImage(image);
  image.resize(kPage + 10);
  EXPECT_EQ(machine.flash.Contents(), image);
  machine.flash.Erase(kPage, kPage);
  image.resize(6);
  EXPECT_EQ(machine.flash.Contents(), image);
}

TEST_F(SimFlashTest, AMappedRangeAcrossPagesIsOneContiguousCopy) {
  std::vector<UINT8> image(3 * kPage);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<UINT8>(i >> 4);
  }
  machine.flash.SetImage(image);
  EXPECT_EQ(Mapped(kWindow16Base + 100, 2 * kPage + 50),
            std::vector<UINT8>(image.begin() + 100, image.begin() + 100 + 2 * kPage + 50));
  ASSERT_EQ(machine.flash.Log.size(), 1U);
  EXPECT_EQ(machine.flash.Log[0].Kind, FlashAccessKind::MappedCopy);
  EXPECT_EQ(machine.flash.BytesRead(), 2 * kPage + 50);
}

}  // namespace
}  // namespace ftpm::sim
