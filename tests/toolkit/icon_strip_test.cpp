#include "icon_strip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "file_handle.h"
#include "test_support.h"

namespace {

void Put16(std::string& out, uint32_t v) {
  out.push_back(char(v & 0xFF));
  out.push_back(char((v >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// The pixel (a colour index) at column x of stored row r; rows are stored bottom first.
uint8_t PixelAt(int x, int storedRow) { return uint8_t((x * 3 + storedRow * 7) & 0xFF); }

// A bitmap file: file header, info header, `colours` table entries and the pixel rows
// padded to four bytes (for 8 bits per pixel; other depths get rows of the same length,
// which is all the refusing cases need).
std::string BitmapBytes(int32_t width, int32_t height, int bitCount = 8, int colours = 256,
                        uint32_t compression = 0, const char* magic = "BM") {
  std::string out(magic, 2);
  int rows = height < 0 ? -height : height;
  uint32_t stride = (uint32_t(width < 0 ? 0 : width) + 3) & ~3u;
  if (bitCount == 24) stride = (uint32_t(width) * 3 + 3) & ~3u;
  if (bitCount == 4) stride = ((uint32_t(width) + 1) / 2 + 3) & ~3u;
  uint32_t offset = 14 + 40 + 4 * uint32_t(colours);
  Put32(out, offset + stride * uint32_t(rows));
  Put32(out, 0);
  Put32(out, offset);
  Put32(out, 40);
  Put32(out, uint32_t(width));
  Put32(out, uint32_t(height));
  Put16(out, 1);
  Put16(out, uint32_t(bitCount));
  Put32(out, compression);
  Put32(out, stride * uint32_t(rows));
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, bitCount == 24 ? 0 : uint32_t(colours));
  Put32(out, 0);
  for (int i = 0; i < colours; ++i) {
    out.push_back(char(i));  // blue
    out.push_back(char(255 - i));  // green
    out.push_back(char(i / 2));  // red
    out.push_back(0);
  }
  for (int r = 0; r < rows; ++r)
    for (uint32_t x = 0; x < stride; ++x) out.push_back(char(PixelAt(int(x), r)));
  return out;
}

COLORREF TableColour(uint8_t index) { return RGB(index / 2, 255 - index, index); }

class IconStripTest : public ::testing::Test {
 protected:
  // Loads the bytes through a file opened as the program opens Drive.bmp.
  int LoadBytes(const std::string& bytes, IconStrip& strip, LONGLONG* position = nullptr) {
    std::string path = folder_ / "Drive.bmp";
    EXPECT_TRUE(test::WriteFileBytes(path, bytes));
    FileHandle file;
    if (!file.Open(path.c_str(), GENERIC_READ)) {
      ADD_FAILURE() << "cannot open " << path;
      return -1;
    }
    int result = strip.Load(file.handle);
    if (position != nullptr) {
      LARGE_INTEGER zero = {}, now = {};
      SetFilePointerEx(file.handle, zero, &now, FILE_CURRENT);
      *position = now.QuadPart;
    }
    return result;
  }
  static void ExpectEmpty(const IconStrip& strip) {
    EXPECT_EQ(nullptr, strip.memoryDc);
    EXPECT_EQ(nullptr, strip.bitmap);
  }

  test::TempFolder folder_{"strip"};
};

}  // namespace

TEST_F(IconStripTest, LoadsAStripOf26Icons) {
  IconStrip strip;
  std::string bytes = BitmapBytes(832, 32);
  ASSERT_EQ(1078u + 26624u, bytes.size());
  LONGLONG position = 0;
  ASSERT_EQ(1, LoadBytes(bytes, strip, &position));
  EXPECT_EQ(LONGLONG(bytes.size()), position);
  EXPECT_EQ(832, strip.width);
  EXPECT_EQ(32, strip.height);
  ASSERT_NE(nullptr, strip.memoryDc);
  ASSERT_NE(nullptr, strip.bitmap);
  EXPECT_EQ(strip.bitmap, GetCurrentObject(strip.memoryDc, OBJ_BITMAP));
  EXPECT_EQ(0, memcmp(strip.bits, bytes.data() + 1078, 26624));

  RGBQUAD table[256];
  ASSERT_EQ(256u, GetDIBColorTable(strip.memoryDc, 0, 256, table));
  EXPECT_EQ(0, memcmp(table, bytes.data() + 54, sizeof table));
  // The top-left pixel of icon k is stored in the last row; y = 0 is the top.
  for (int k = 0; k < 26; ++k) {
    EXPECT_EQ(TableColour(PixelAt(32 * k, 31)), GetPixel(strip.memoryDc, 32 * k, 0)) << k;
    EXPECT_EQ(TableColour(PixelAt(32 * k + 31, 0)), GetPixel(strip.memoryDc, 32 * k + 31, 31));
  }
}

TEST_F(IconStripTest, TheShippedDriveBitmapLoadsWith26DifferentIcons) {
  std::string bytes;
  ASSERT_TRUE(test::ReadFileBytes(test::BinDir() + "\\Drive.bmp", &bytes));
  ASSERT_EQ(1078u + 832u * 32u, bytes.size());
  // Exactly the layout the loader reads: no compression, a full colour table, pixels at 1078.
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  memcpy(&file, bytes.data(), sizeof file);
  memcpy(&info, bytes.data() + sizeof file, sizeof info);
  EXPECT_EQ(0x4D42, file.bfType);
  EXPECT_EQ(1078u, file.bfOffBits);
  EXPECT_EQ(bytes.size(), file.bfSize);
  EXPECT_EQ(40u, info.biSize);
  EXPECT_EQ(1, info.biPlanes);
  EXPECT_EQ(static_cast<DWORD>(BI_RGB), info.biCompression);
  EXPECT_TRUE(info.biClrUsed == 0 || info.biClrUsed == 256) << info.biClrUsed;
  IconStrip strip;
  ASSERT_EQ(1, LoadBytes(bytes, strip));
  EXPECT_EQ(832, strip.width);
  EXPECT_EQ(32, strip.height);
  std::set<std::string> icons;
  for (int k = 0; k < 26; ++k) {
    std::string icon;
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 32; ++x) {
        COLORREF c = GetPixel(strip.memoryDc, 32 * k + x, y);
        icon.append(reinterpret_cast<const char*>(&c), sizeof c);
      }
    icons.insert(icon);
  }
  EXPECT_EQ(26u, icons.size()) << "every letter has a picture of its own";
}

TEST_F(IconStripTest, RefusesOtherDepths) {
  IconStrip strip;
  EXPECT_EQ(0, LoadBytes(BitmapBytes(832, 32, 24, 0), strip));
  ExpectEmpty(strip);
  EXPECT_EQ(0, LoadBytes(BitmapBytes(832, 32, 4, 16), strip));
  ExpectEmpty(strip);
  EXPECT_EQ(0, LoadBytes(BitmapBytes(832, 32, 1, 256), strip));
  ExpectEmpty(strip);
}

TEST_F(IconStripTest, RefusesAFileWithoutBMBeforeReadingTheInfoHeader) {
  IconStrip strip;
  LONGLONG position = 0;
  EXPECT_EQ(0, LoadBytes(BitmapBytes(832, 32, 8, 256, 0, "MB"), strip, &position));
  EXPECT_EQ(14, position);
  ExpectEmpty(strip);
  EXPECT_EQ(0, LoadBytes(std::string(), strip));
  EXPECT_EQ(0, LoadBytes("BM", strip));
}

TEST_F(IconStripTest, RefusesAFileShorterThanItsHeaders) {
  IconStrip strip;
  std::string bytes = BitmapBytes(832, 32);
  EXPECT_EQ(0, LoadBytes(bytes.substr(0, 100), strip));
  EXPECT_EQ(0, LoadBytes(bytes.substr(0, 1077), strip));
  ExpectEmpty(strip);
  // Headers alone load: every pixel keeps the storage's initial zero.
  ASSERT_EQ(1, LoadBytes(bytes.substr(0, 1078), strip));
  const uint8_t* bits = static_cast<const uint8_t*>(strip.bits);
  for (int i = 0; i < 832 * 32; ++i) ASSERT_EQ(0, bits[i]) << i;
}

TEST_F(IconStripTest, RefusesAWidthOrHeightThatIsNotPositive) {
  IconStrip strip;
  EXPECT_EQ(0, LoadBytes(BitmapBytes(0, 32), strip));
  EXPECT_EQ(0, LoadBytes(BitmapBytes(832, 0), strip));
  EXPECT_EQ(0, LoadBytes(BitmapBytes(832, -32), strip));
  EXPECT_EQ(0, LoadBytes(BitmapBytes(-832, 32), strip));
  ExpectEmpty(strip);
}

TEST_F(IconStripTest, RefusesAHugeImageWithoutReadingIt) {
  IconStrip strip;
  std::string bytes = BitmapBytes(832, 32).substr(0, 2000);
  // Width and height patched to 0x7FFFFFFF x 0x7FFFFFFF.
  for (int i = 18; i < 26; ++i) bytes[i] = char(i == 21 || i == 25 ? 0x7F : 0xFF);
  EXPECT_EQ(0, LoadBytes(bytes, strip));
  ExpectEmpty(strip);
}

TEST_F(IconStripTest, FileCutInsideThePixelsLoadsWithTheMissingRowsZero) {
  IconStrip strip;
  std::string bytes = BitmapBytes(832, 32);
  ASSERT_EQ(1, LoadBytes(bytes.substr(0, 1078 + 832 * 10 + 100), strip));
  const uint8_t* bits = static_cast<const uint8_t*>(strip.bits);
  EXPECT_EQ(0, memcmp(bits, bytes.data() + 1078, 832 * 10 + 100));
  for (int i = 832 * 10 + 100; i < 832 * 32; ++i) ASSERT_EQ(0, bits[i]) << i;
  // The bottom rows were read; the top of the picture is colour 0.
  EXPECT_EQ(TableColour(PixelAt(5, 0)), GetPixel(strip.memoryDc, 5, 31));
  EXPECT_EQ(TableColour(0), GetPixel(strip.memoryDc, 5, 0));
}

TEST_F(IconStripTest, RowsOfWidth833AreReadWithTheirPadding) {
  IconStrip strip;
  std::string bytes = BitmapBytes(833, 4);
  ASSERT_EQ(1078u + 836u * 4u, bytes.size());
  ASSERT_EQ(1, LoadBytes(bytes, strip));
  EXPECT_EQ(0, memcmp(strip.bits, bytes.data() + 1078, 836 * 4));
  for (int y = 0; y < 4; ++y) {
    EXPECT_EQ(TableColour(PixelAt(0, 3 - y)), GetPixel(strip.memoryDc, 0, y)) << y;
    EXPECT_EQ(TableColour(PixelAt(832, 3 - y)), GetPixel(strip.memoryDc, 832, y)) << y;
  }
}

TEST_F(IconStripTest, SecondLoadReleasesTheFirst) {
  IconStrip strip;
  ASSERT_EQ(1, LoadBytes(BitmapBytes(832, 32), strip));
  HDC firstDc = strip.memoryDc;
  HBITMAP firstBitmap = strip.bitmap;
  ASSERT_EQ(1, LoadBytes(BitmapBytes(833, 32), strip));
  EXPECT_EQ(833, strip.width);
  // A freed handle is invalid, unless the new object happens to reuse it.
  if (firstBitmap != strip.bitmap) {
    EXPECT_EQ(0u, GetObjectType(firstBitmap));
  }
  if (firstDc != strip.memoryDc) {
    EXPECT_EQ(0u, GetObjectType(firstDc));
  }
}

TEST_F(IconStripTest, HalfBuiltStripIsFreedByRelease) {
  IconStrip strip;
  // A compressed header passes the loader's own checks; the platform refuses the section.
  EXPECT_EQ(0, LoadBytes(BitmapBytes(832, 32, 8, 256, BI_RLE8), strip));
  EXPECT_EQ(nullptr, strip.bitmap);
  HDC halfBuilt = strip.memoryDc;
  strip.Release();
  ExpectEmpty(strip);
  if (halfBuilt != nullptr) {
    EXPECT_EQ(0u, GetObjectType(halfBuilt));
  }
  // The strip loads again afterwards.
  EXPECT_EQ(1, LoadBytes(BitmapBytes(832, 32), strip));
}

TEST_F(IconStripTest, ReleaseFreesEverythingAndOnAnEmptyStripDoesNothing) {
  IconStrip strip;
  strip.Release();
  ExpectEmpty(strip);
  ASSERT_EQ(1, LoadBytes(BitmapBytes(832, 32), strip));
  HBITMAP bitmap = strip.bitmap;
  HDC dc = strip.memoryDc;
  strip.Release();
  ExpectEmpty(strip);
  EXPECT_EQ(0u, GetObjectType(bitmap));
  EXPECT_EQ(0u, GetObjectType(dc));
  EXPECT_EQ(832, strip.width) << "the header's values stay";
  strip.Release();
  ExpectEmpty(strip);
}
