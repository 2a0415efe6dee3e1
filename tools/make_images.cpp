// Draws the drive pictures (Drive.bmp) and the program icon (Tembrook.ico) at build time,
// so that no binary image is kept with the sources. A plain host program.
//   make_images DRIVE_BMP TEMBROOK_ICO
//
// Drive.bmp: one 832 x 32 strip of 26 pictures, A: to Z: from left to right, written as
// an uncompressed 8-bit bitmap with a full 256-entry colour table and the pixels at offset
// 1078, the only layout the program reads.
// Tembrook.ico: one 32 x 32 image in 256 colours with its transparency mask.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int IconSize = 32;
const int LetterCount = 26;

// The palette: the first entries are the colours the pictures use; the rest is a colour
// cube and a grey ramp so that the table is full.
enum Colour : uint8_t {
  Black,
  White,
  Background,
  Outline,
  Body,
  Highlight,
  Shade,
  LetterInk,
  Lamp,
  Vent,
  Carton,
  CartonEdge,
  ZipLight,
  ZipDark,
  NamedColours
};

struct Rgb {
  uint8_t r, g, b;
};

const Rgb Named[NamedColours] = {
    {0, 0, 0},       {255, 255, 255}, {226, 232, 240}, {58, 64, 76},   {178, 184, 194},
    {226, 230, 236}, {128, 134, 146}, {16, 42, 120},   {46, 204, 72},  {96, 102, 114},
    {226, 186, 118}, {118, 78, 28},   {246, 226, 168}, {86, 58, 18},
};

std::vector<Rgb> Palette() {
  std::vector<Rgb> palette(256, Rgb{0, 0, 0});
  for (int i = 0; i < NamedColours; ++i) palette[i] = Named[i];
  int i = 16;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        palette[i++] = Rgb{uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51)};
  for (int k = 0; i < 256; ++i, ++k) palette[i] = Rgb{uint8_t(8 + k * 10), uint8_t(8 + k * 10), uint8_t(8 + k * 10)};
  return palette;
}

// A 5 x 7 font for the drive letters, one string per row, '#' for ink.
const char* const Glyphs[LetterCount][7] = {
    {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"},  // A
    {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."},  // B
    {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."},  // C
    {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."},  // D
    {"#####", "#....", "#....", "####.", "#....", "#....", "#####"},  // E
    {"#####", "#....", "#....", "####.", "#....", "#....", "#...."},  // F
    {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"},  // G
    {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"},  // H
    {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."},  // I
    {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."},  // J
    {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"},  // K
    {"#....", "#....", "#....", "#....", "#....", "#....", "#####"},  // L
    {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"},  // M
    {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"},  // N
    {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."},  // O
    {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."},  // P
    {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"},  // Q
    {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"},  // R
    {".####", "#....", "#....", ".###.", "....#", "....#", "####."},  // S
    {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."},  // T
    {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."},  // U
    {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."},  // V
    {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."},  // W
    {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"},  // X
    {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."},  // Y
    {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"},  // Z
};

// An image with y = 0 at the top, as it is seen; written bottom row first.
struct Image {
  int width, height;
  std::vector<uint8_t> pixels;
  Image(int w, int h, uint8_t fill) : width(w), height(h), pixels(size_t(w) * h, fill) {}
  void Set(int x, int y, uint8_t c) {
    if (x >= 0 && x < width && y >= 0 && y < height) pixels[size_t(y) * width + x] = c;
  }
  uint8_t Get(int x, int y) const { return pixels[size_t(y) * width + x]; }
  void Fill(int x0, int y0, int x1, int y1, uint8_t c) {  // inclusive corners
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, c);
  }
  // A filled box with a one-pixel outline and its corners cut, so it looks rounded.
  void Box(int x0, int y0, int x1, int y1, uint8_t fill, uint8_t edge, uint8_t outside) {
    Fill(x0, y0, x1, y1, fill);
    for (int x = x0; x <= x1; ++x) Set(x, y0, edge), Set(x, y1, edge);
    for (int y = y0; y <= y1; ++y) Set(x0, y, edge), Set(x1, y, edge);
    Set(x0, y0, outside), Set(x1, y0, outside), Set(x0, y1, outside), Set(x1, y1, outside);
  }
};

// The drive body of a picture whose top-left corner is at (left, top).
void DrawDrive(Image& image, int left, int top, int bodyTop, uint8_t outside) {
  int x0 = left + 2, x1 = left + 29, y0 = top + bodyTop, y1 = top + 27;
  image.Box(x0, y0, x1, y1, Body, Outline, outside);
  image.Fill(x0 + 1, y0 + 1, x1 - 1, y0 + 1, Highlight);
  image.Fill(x0 + 1, y1 - 1, x1 - 1, y1 - 1, Shade);
  image.Fill(left + 23, y1 - 5, left + 26, y1 - 3, Lamp);
}

void DrawLetter(Image& image, int left, int top, int letter, int scale, uint8_t ink) {
  for (int row = 0; row < 7; ++row)
    for (int col = 0; col < 5; ++col)
      if (Glyphs[letter][row][col] == '#')
        image.Fill(left + col * scale, top + row * scale, left + col * scale + scale - 1,
                   top + row * scale + scale - 1, ink);
}

Image DriveStrip() {
  Image strip(IconSize * LetterCount, IconSize, Background);
  for (int k = 0; k < LetterCount; ++k) {
    int left = k * IconSize;
    DrawDrive(strip, left, 0, 5, Background);
    // A white label on the left of the face carries the letter, ten by fourteen pixels.
    strip.Box(left + 5, 8, left + 18, 24, White, Shade, Body);
    DrawLetter(strip, left + 7, 9, k, 2, LetterInk);
    for (int y = 9; y <= 15; y += 2) strip.Fill(left + 21, y, left + 27, y, Vent);
  }
  return strip;
}

// The program icon: an archive carton standing on a drive. Pixels of the colour `Black`
// outside the drawing are transparent.
Image ProgramIcon(std::vector<uint8_t>* transparent) {
  Image icon(IconSize, IconSize, Black);
  DrawDrive(icon, 0, 0, 16, Black);
  icon.Box(6, 2, 25, 15, Carton, CartonEdge, Black);
  icon.Fill(7, 8, 24, 8, CartonEdge);
  for (int y = 3; y <= 14; ++y) {
    icon.Set(15, y, (y % 2) ? ZipDark : ZipLight);
    icon.Set(16, y, (y % 2) ? ZipLight : ZipDark);
  }
  icon.Fill(14, 9, 17, 11, ZipDark);
  transparent->assign(size_t(IconSize) * IconSize, 0);
  for (int y = 0; y < IconSize; ++y)
    for (int x = 0; x < IconSize; ++x)
      if (icon.Get(x, y) == Black) (*transparent)[size_t(y) * IconSize + x] = 1;
  return icon;
}

void Put16(std::string& out, uint32_t v) {
  out.push_back(char(v & 0xFF));
  out.push_back(char((v >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// BITMAPINFOHEADER, the 256-entry colour table and the pixel rows, bottom row first, each
// padded to a multiple of four bytes.
void PutInfoAndPixels(std::string& out, const Image& image, int headerHeight,
                      uint32_t imageBytes) {
  Put32(out, 40);
  Put32(out, uint32_t(image.width));
  Put32(out, uint32_t(headerHeight));
  Put16(out, 1);
  Put16(out, 8);
  Put32(out, 0);  // BI_RGB
  Put32(out, imageBytes);
  Put32(out, 2835);  // 72 dpi
  Put32(out, 2835);
  Put32(out, 256);
  Put32(out, 0);
  for (const Rgb& c : Palette()) {
    out.push_back(char(c.b));
    out.push_back(char(c.g));
    out.push_back(char(c.r));
    out.push_back(0);
  }
  int stride = (image.width + 3) & ~3;
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) out.push_back(char(image.Get(x, y)));
    for (int x = image.width; x < stride; ++x) out.push_back(0);
  }
}

std::string BitmapFile(const Image& image) {
  const uint32_t headers = 14 + 40 + 1024;
  uint32_t pixelBytes = uint32_t((image.width + 3) & ~3) * uint32_t(image.height);
  std::string out;
  out += "BM";
  Put32(out, headers + pixelBytes);
  Put16(out, 0);
  Put16(out, 0);
  Put32(out, headers);
  PutInfoAndPixels(out, image, image.height, pixelBytes);
  return out;
}

std::string IconFile(const Image& image, const std::vector<uint8_t>& transparent) {
  const uint32_t xorBytes = uint32_t(image.width) * uint32_t(image.height);
  const int maskStride = ((image.width + 31) / 32) * 4;
  const uint32_t andBytes = uint32_t(maskStride) * uint32_t(image.height);
  const uint32_t imageBytes = 40 + 1024 + xorBytes + andBytes;
  std::string out;
  Put16(out, 0);  // reserved
  Put16(out, 1);  // icon
  Put16(out, 1);  // one image
  out.push_back(char(image.width));
  out.push_back(char(image.height));
  out.push_back(0);  // 256 colours
  out.push_back(0);
  Put16(out, 1);  // planes
  Put16(out, 8);  // bits per pixel
  Put32(out, imageBytes);
  Put32(out, 6 + 16);  // the image follows the directory
  // An icon image's header counts the colour rows and the mask rows together.
  PutInfoAndPixels(out, image, image.height * 2, xorBytes + andBytes);
  for (int y = image.height - 1; y >= 0; --y) {
    std::string row(size_t(maskStride), '\0');
    for (int x = 0; x < image.width; ++x)
      if (transparent[size_t(y) * image.width + x]) row[size_t(x / 8)] |= char(0x80 >> (x % 8));
    out += row;
  }
  return out;
}

bool WriteFile(const char* path, const std::string& bytes) {
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_images DRIVE_BMP TEMBROOK_ICO\n");
    return 2;
  }
  std::vector<uint8_t> transparent;
  Image icon = ProgramIcon(&transparent);
  if (!WriteFile(argv[1], BitmapFile(DriveStrip())) ||
      !WriteFile(argv[2], IconFile(icon, transparent))) {
    perror("make_images");
    return 1;
  }
  return 0;
}
