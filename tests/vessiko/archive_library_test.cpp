// The library's interface as the program sees it through its loader: the format mask and
// names, the kinds Pac accepts, and the loader itself.
#include <cstring>

#include "vessiko_test_helpers.h"

using namespace vessiko_test;

TEST_F(LibraryTest, MaskHoldsExactlyTheSixWritableFormats) {
  EXPECT_EQ(0x3Fu, GetDLLType());
}

TEST_F(LibraryTest, WritableFormatsHaveShortNamesThatFitTheListColumn) {
  const char* names[] = {"ZIP", "7-Zip", "TAR", "TAR+GZIP", "TAR+BZIP2", "TAR+XZ"};
  // The settings dialog's list, in its font; a column of 125 pixels keeps about 6 pixels of
  // margin on either side.
  HDC dc = CreateCompatibleDC(nullptr);
  HFONT font = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, SHIFTJIS_CHARSET, 0, 0, 0, 0,
                           "ＭＳ Ｐゴシック");
  HGDIOBJ old = SelectObject(dc, font);
  for (int i = 0; i < 6; ++i) {
    const char* text = GetDLLStr(i);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ(names[i], text);
    SIZE size = {};
    ASSERT_TRUE(GetTextExtentPoint32A(dc, text, static_cast<int>(strlen(text)), &size));
    EXPECT_LE(size.cx + 12, 125) << text;
  }
  SelectObject(dc, old);
  DeleteObject(font);
  DeleteDC(dc);
}

TEST_F(LibraryTest, IndicesWithoutFormatGiveAnEmptyText) {
  for (int index : {6, 7, 15, 28, 29, 30, 31, 32, 1000, -1, -1000}) {
    const char* text = GetDLLStr(index);
    ASSERT_NE(nullptr, text) << index;
    EXPECT_STREQ("", text) << index;
  }
}

TEST_F(LibraryTest, ReadOnlyFormatsAreNamedButNeverInTheMask) {
  for (int index = 16; index <= 27; ++index) {
    EXPECT_STRNE("", GetDLLStr(index)) << index;
    EXPECT_EQ(0u, GetDLLType() & (1u << index)) << index;
  }
  EXPECT_STREQ("LZH", GetDLLStr(16));
  EXPECT_STREQ("ISO9660", GetDLLStr(19));
}

TEST_F(LibraryTest, PacRefusesKindsThatNameNoSingleFormatAndDirection) {
  test::TempFolder temp("kind");
  std::string archive = temp / "fixture.zip";
  ASSERT_TRUE(CopyFileA(FixturePath("7zz-utf8.zip").c_str(), archive.c_str(), FALSE));
  std::string before = ReadBytes(archive);
  std::string target = temp / "target";
  ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
  std::string created = temp / "created.zip";
  const ArchiveKind kinds[] = {
      0u,          0x00000002u,                // no direction
      0xC0000002u, 0xC0000001u, 0xE0000001u,   // both directions
      0x80000000u, 0x80000001u, 0x80000006u,   // extraction of no format, of two
      0xA0000000u, 0x80000100u,                // extraction of indices without a format
      0x40000000u, 0x40000003u, 0x60000000u,   // packing into no format, into two
      0x40000040u, 0x40008000u,                // packing into indices without a format
      0x40010000u, 0x60080000u,                // packing into read-only formats (LZH, ISO9660)
  };
  for (ArchiveKind kind : kinds) {
    EXPECT_EQ(0, Pac(archive.c_str(), (target + "\\").c_str(), kind)) << std::hex << kind;
    EXPECT_EQ(0, Pac(created.c_str(), (target + "\\").c_str(), kind)) << std::hex << kind;
  }
  EXPECT_TRUE(test::ListTree(target).empty());
  EXPECT_FALSE(test::PathExists(created));
  EXPECT_TRUE(before == ReadBytes(archive));
}

TEST_F(LibraryTest, NullTextsAreRefused) {
  test::TempFolder temp("null");
  EXPECT_EQ(0u, Check(nullptr));
  EXPECT_EQ(0, Pac(nullptr, (temp.Path() + "\\").c_str(), ExtractKind(0)));
  EXPECT_EQ(0, Pac(FixturePath("7zz-utf8.zip").c_str(), nullptr, ExtractKind(0)));
  EXPECT_EQ(0, Pac((temp / "a.zip").c_str(), nullptr, PackKind(0)));
  EXPECT_TRUE(test::ListTree(temp.Path()).empty());
}

// ---- The loader, seen from a probe program run from different folders ----

namespace {

int RunProbe(const std::string& folder) {
  return test::RunProcess("\"" + folder + "\\loader_probe.exe\" \"" +
                          FixturePath("7zz-utf8.zip") + "\"");
}

}  // namespace

TEST(ArchiveLoader, LoadsTheLibraryBesideTheExecutableAndReleasesItTwiceHarmlessly) {
  EXPECT_EQ(1, RunProbe(test::BinDir()));
}

TEST(ArchiveLoader, RefusesWhenTheExecutableFolderLacksTheLibrary) {
  // The probe's current folder (the tests' own) holds a Vessiko.dll: it must not be used.
  ASSERT_TRUE(test::PathExists("Vessiko.dll"));
  test::TempFolder temp("probe");
  ASSERT_TRUE(CopyFileA((test::BinDir() + "\\loader_probe.exe").c_str(),
                        (temp / "loader_probe.exe").c_str(), FALSE));
  EXPECT_EQ(0, RunProbe(temp.Path()));
}

TEST(ArchiveLoader, RefusesALibraryThatLacksAFunction) {
  test::TempFolder temp("probe");
  ASSERT_TRUE(CopyFileA((test::BinDir() + "\\loader_probe.exe").c_str(),
                        (temp / "loader_probe.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((test::BinDir() + "\\partial\\Vessiko.dll").c_str(),
                        (temp / "Vessiko.dll").c_str(), FALSE));
  EXPECT_EQ(0, RunProbe(temp.Path()));
}
