// Drive.bmp read into the icon strip, and the files it must refuse.
#include "icon_strip.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "file_handle.h"
#include "test_support.h"

namespace {

// A Drive.bmp: the headers, 256 colours (colour i is RGB(i / 2, 255 - i, i)), and rows of the
// width padded to four bytes, bottom row first, pixel x of stored row r being (x + 3r) & 255.
std::string Bitmap(int32_t width, int32_t height, WORD bitCount = 8) {
  BITMAPFILEHEADER file = {0x4D42, 0, 0, 0, 1078};
  BITMAPINFOHEADER info = {40, width, height, 1, bitCount, 0, 0, 0, 0, 0, 0};
  std::string out = std::string(reinterpret_cast<char*>(&file), 14) +
                    std::string(reinterpret_cast<char*>(&info), 40);
  for (int i = 0; i < 256; ++i) out += {char(i), char(255 - i), char(i / 2), 0};
  for (int r = 0; r < height; ++r) {
    for (int x = 0; x < ((width + 3) & ~3); ++x) out += char(x + 3 * r);
  }
  return out;
}

int Load(IconStrip& strip, const std::string& bytes) {
  test::TempFolder folder("strip");
  FileHandle file;
  EXPECT_TRUE(test::WriteFileBytes(folder / "Drive.bmp", bytes));
  EXPECT_TRUE(file.Open((folder / "Drive.bmp").c_str(), GENERIC_READ));
  return strip.Load(file.handle);
}

}  // namespace

TEST(IconStrip, LoadsThePixelsStraightIntoTheStripAndACutFileWithZeroRows) {
  IconStrip strip;
  std::string bytes = Bitmap(833, 32);
  ASSERT_EQ(1, Load(strip, bytes));
  EXPECT_EQ(0, memcmp(strip.bits, bytes.data() + 1078, 836 * 32));
  // y = 0 is the top: the last stored row.
  EXPECT_EQ(RGB(((5 + 93) & 255) / 2, 255 - ((5 + 93) & 255), (5 + 93) & 255),
            GetPixel(strip.memoryDc, 5, 0));

  ASSERT_EQ(1, Load(strip, bytes.substr(0, 1078 + 836 * 10)));
  const char* bits = static_cast<const char*>(strip.bits);
  EXPECT_TRUE(std::all_of(bits + 836 * 10, bits + 836 * 32, [](char c) { return c == 0; }));

  std::string shipped;
  ASSERT_TRUE(test::ReadFileBytes(test::BinDir() + "\\Drive.bmp", &shipped));
  EXPECT_EQ(1, Load(strip, shipped));
  EXPECT_EQ(832, strip.width);
}

TEST(IconStrip, RefusesHostileBitmapsWithNothingLeftBehind) {
  std::string magic = Bitmap(832, 32), huge = Bitmap(832, 1).substr(0, 2000);
  magic[0] = 'M', magic[1] = 'B';
  huge.replace(18, 8, "\xFF\xFF\xFF\x7F\xFF\xFF\xFF\x7F");
  for (const std::string& bytes :
       {Bitmap(832, 32, 24), Bitmap(832, 32, 4), Bitmap(832, 0), Bitmap(832, -32), Bitmap(0, 32),
        Bitmap(832, 32).substr(0, 100), Bitmap(832, 32).substr(0, 1077), magic, std::string(),
        huge}) {
    IconStrip strip;
    EXPECT_EQ(0, Load(strip, bytes)) << bytes.size();
    EXPECT_EQ(nullptr, strip.memoryDc) << bytes.size();
  }
}
