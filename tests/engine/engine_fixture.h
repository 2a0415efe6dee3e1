// Run where the batch files lie, as the program runs, with the real library and R:, S:, T:.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archives.h"
#include "bounded_text.h"
#include "drive_table.h"

using namespace test;

constexpr uint8_t R = 'R' - 'A', S = 'S' - 'A', T = 'T' - 'A';

// The notices given, in order: "kept R: <folder>", "not emptied R:", "root not moved",
// "tick failed R:".
inline std::vector<std::string> notices;
inline void CollectNotice(EngineNotice notice, uint8_t letter, const char* folder,
                          const LibraryReport&) {
  std::string drive = std::string(1, static_cast<char>('A' + letter)) + ":";
  if (notice == EngineNotice::RootNotMoved) notices.push_back("root not moved");
  if (notice == EngineNotice::FolderNotEmptied) notices.push_back("not emptied " + drive);
  if (notice == EngineNotice::ChangesKept) notices.push_back("kept " + drive + " " + folder);
  if (notice == EngineNotice::TimedWriteBackFailed) notices.push_back("tick failed " + drive);
}

// The password sink's script: the answers given in turn ("" cancels), and per question
// whether it said the last one was wrong.
inline std::vector<std::string> passwordAnswers;
inline std::vector<int> passwordsAsked;
inline int AnswerPassword(uint8_t, const char*, int wrong, char* buffer, size_t size) {
  passwordsAsked.push_back(wrong);
  if (passwordAnswers.empty()) return 0;
  std::string answer = passwordAnswers.front();
  passwordAnswers.erase(passwordAnswers.begin());
  return !answer.empty() && CopyBounded(buffer, size, answer.c_str());
}
// An encrypted ZIP (Info-ZIP, password "tembrook") and the text of a file it holds.
inline const char* const EncryptedReadme = "Tembrook archive test\r\nsecond line\r\n";
inline std::string EncryptedFixture() { return DataDir() + "\\vessiko\\infozip-zipcrypto.zip"; }

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint8_t letter : {R, S, T}) ASSERT_TRUE(WaitForLetter(letter, false, 3000)) << int(letter);
    ours_ = true;
    passwordAnswers.clear();
    passwordsAsked.clear();
    ASSERT_TRUE(SetCurrentDirectoryA(BinDir().c_str()));
    ASSERT_TRUE(MakeArchive(archive_, original_));
  }
  // A letter a failing test left mapped is unmapped; one in use before is never touched.
  void TearDown() override {
    if (ours_) for (char letter : {'R', 'S', 'T'}) ForceUnmap(letter);
  }
  std::string Folder(uint8_t letter, const std::string& name = "") const {
    std::string folder = root_.Path() + "\\Drive\\" + static_cast<char>('A' + letter);
    return name.empty() ? folder : folder + "\\" + name;
  }

  bool ours_ = false;
  TempFolder root_{"root"}, archives_{"arc"};
  std::string archive_ = archives_ / "drive.zip";
  const Files original_ = {{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}};
};
