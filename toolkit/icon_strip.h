// The drive icons of the drop bar: an 8-bit, 256-colour bitmap read from Drive.bmp into a
// DIB section selected into a memory device context. Icon k (0 = A:) is the 32 x 32 block
// at (32k, 0).
#pragma once

#include <windows.h>

// The info header and the full 256-entry colour table exactly as the file holds them.
struct IconStripInfo {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[256];
};
static_assert(sizeof(IconStripInfo) == 1064, "header and colour table as in the file");

class IconStrip {
 public:
  HDC memoryDc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previousBitmap = nullptr;  // what memoryDc held before bitmap was selected
  void* bits = nullptr;  // the DIB section's pixels, owned by bitmap
  IconStripInfo info;
  LONG width = 0;
  LONG height = 0;

  IconStrip();
  ~IconStrip() { Release(); }
  IconStrip(const IconStrip&) = delete;
  IconStrip& operator=(const IconStrip&) = delete;

  // Reads the bitmap from the file's current position in three sequential reads (the
  // 14-byte file header, the 1064-byte info header and colour table, the pixel rows) and
  // leaves the file open. 1 when the strip is ready for drawing through memoryDc, 0
  // otherwise: no "BM", not 8 bits per pixel, a file shorter than its 1078 bytes of
  // headers, a width or height that is not positive, a header the platform refuses, a
  // failed read. A file that ends inside the pixels loads; the missing rows stay 0.
  int Load(HANDLE file);
  // Frees the bitmap and the memory device context; nothing happens on an empty strip.
  void Release();
};
