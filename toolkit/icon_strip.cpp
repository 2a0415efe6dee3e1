#include "icon_strip.h"

#include <cstdint>
#include <cstring>

namespace {

const DWORD FileHeaderSize = 14;
const WORD BitmapMagic = 0x4D42;  // "BM"

// The screen's device context, borrowed for the scope and always given back.
class ScreenDc {
 public:
  ScreenDc() : dc(GetDC(nullptr)) {}
  ~ScreenDc() {
    if (dc != nullptr) ReleaseDC(nullptr, dc);
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC dc;
};

// 1 when count bytes were read; a file that ends earlier holds no complete header.
int ReadAll(HANDLE file, void* buffer, DWORD count) {
  DWORD read = 0;
  return ReadFile(file, buffer, count, &read, nullptr) && read == count ? 1 : 0;
}

}  // namespace

IconStrip::IconStrip() { memset(&info, 0, sizeof info); }

int IconStrip::Load(HANDLE file) {
  Release();

  unsigned char fileHeader[FileHeaderSize];
  if (!ReadAll(file, fileHeader, sizeof fileHeader)) return 0;
  if ((fileHeader[0] | fileHeader[1] << 8) != BitmapMagic) return 0;

  if (!ReadAll(file, &info, sizeof info)) return 0;
  if (info.bmiHeader.biBitCount != 8) return 0;
  width = info.bmiHeader.biWidth;
  height = info.bmiHeader.biHeight;
  if (width <= 0 || height <= 0) return 0;
  // Rows are stored padded to a multiple of four bytes, bottom row first, exactly as the
  // DIB section keeps them, so the pixels go into it in one read.
  uint64_t stride = (static_cast<uint64_t>(width) + 3) & ~static_cast<uint64_t>(3);
  uint64_t pixelBytes = stride * static_cast<uint64_t>(height);
  if (pixelBytes > 0x7FFFFFFF) return 0;

  {
    ScreenDc screen;
    memoryDc = CreateCompatibleDC(screen.dc);
    if (memoryDc == nullptr) return 0;
    bitmap = CreateDIBSection(screen.dc, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                              &bits, nullptr, 0);
    if (bitmap == nullptr) {
      bits = nullptr;
      return 0;
    }
    // The pixels are read straight into the section's storage: never more than it holds,
    // whatever else the header says.
    DIBSECTION section;
    if (GetObjectA(bitmap, sizeof section, &section) != sizeof section ||
        static_cast<uint64_t>(section.dsBm.bmWidthBytes) * section.dsBm.bmHeight < pixelBytes) {
      return 0;
    }
    DWORD read = 0;
    if (!ReadFile(file, bits, static_cast<DWORD>(pixelBytes), &read, nullptr)) return 0;
  }

  previousBitmap = SelectObject(memoryDc, bitmap);
  SetDIBColorTable(memoryDc, 0, 256, info.bmiColors);
  return 1;
}

void IconStrip::Release() {
  if (memoryDc != nullptr) {
    if (bitmap != nullptr) {
      // A half-built strip never selected its bitmap.
      if (previousBitmap != nullptr) SelectObject(memoryDc, previousBitmap);
      DeleteObject(bitmap);
      bitmap = nullptr;
      bits = nullptr;  // the storage went with the bitmap
    }
    DeleteDC(memoryDc);
    memoryDc = nullptr;
  }
  previousBitmap = nullptr;
}
