#include "format_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(FormatText, FormatsIntoTheSharedBufferAndOverwritesIt) {
  const char* first = FormatText("%c:", 'D');
  EXPECT_EQ(first, formatTextBuffer);
  EXPECT_STREQ("D:", first);
  const char* second = FormatText("%c:の情報", 'F');
  EXPECT_EQ(first, second);
  EXPECT_STREQ("F:の情報", first);
}

TEST(FormatText, TooLongResultIsCutAtTheBufferEnd) {
  std::string longText(3000, 'x');
  longText[1022] = 'y';
  const char* result = FormatText("%s%d", longText.c_str(), 12345);
  ASSERT_EQ(1023u, strlen(result));
  EXPECT_EQ(longText.substr(0, 1023), std::string(result));
}

TEST(FormatText, CutNeverSplitsADoubleByteCharacter) {
  std::string wide;
  for (int i = 0; i < 600; ++i) wide += "あ";  // two bytes each in the system code page
  ASSERT_EQ(1200u, wide.size());
  const char* result = FormatText("%s", wide.c_str());
  // 511 whole characters fit; the 512th would need byte 1023, the terminator's place.
  EXPECT_EQ(wide.substr(0, 1022), std::string(result));

  const char* shifted = FormatText("a%s", wide.c_str());
  EXPECT_EQ("a" + wide.substr(0, 1022), std::string(shifted));
}

TEST(FormatText, ResultOfExactlyTheCapacityIsKeptWhole) {
  std::string text(1023, 'z');
  EXPECT_EQ(text, std::string(FormatText("%s", text.c_str())));
}
