#include "messages.h"

#include <cstring>

#include "bounded_text.h"

const char* const ApplicationName = "Tembrook";

const char* const AlreadyRunningText = "Tembrookは既に起動しています。";
const char* const CannotStartText = "Tembrookを起動できませんでした。";
const char* const DriveImageMissingText = "仮想ドライブ画像が見つかりません。";
const char* const DriveImageUnreadableText = "仮想ドライブ画像が読み出せません。";
const char* const AlreadyVirtualText = "このドライブは既に仮想ドライブとして設定されています。";
const char* const NotUsableText = "このドライブは物理ドライブであるか、使用出来ません。";
const char* const NotInUseText = "このドライブは未使用です。";
const char* const CreateFailedText = "仮想ドライブを作成中にエラーが発生しました。";
const char* const RemoveFailedText = "仮想ドライブを破棄中にエラーが発生しました。";
const char* const ArchiveInsideDriveText = "圧縮ファイルが仮想ドライブ%c:の中にあるため開けません。";
const char* const FolderNotEmptiedText =
    "仮想ドライブ%c:で、テンポラリフォルダ削除エラーが発生しました。\n"
    "手動でテンポラリフォルダを削除してください。";

const char* const DriveKindNames[8] = {
    "未使用", "不明", "リムーバブル", "ハードディスク",
    "ネットワーク", "ＣＤ－ＲＯＭ", "ＲＡＭディスク", "仮想ドライブ",
};
const char* const FormatListHeading = "対応アーカイブ処理";
const char* const DriveListHeadings[4] = {"No.", "タイプ", "使用ファイル", "状態"};
const char* const UpdateOnText = "更新あり";
const char* const UpdateOffText = "更新なし";
const char* const UpdatePendingText = "未反映";
const char* const ChooseRootTitle = "テンポラリフォルダの選択";
const char* const DriveGroupCaption = "%c:の情報";
const char* const BusyTipFormat = "%s - %c: %s";
const char* const ExtractingText = "展開中";
const char* const WritingBackText = "書き戻し中";
const char* const PasswordPromptText =
    "仮想ドライブ%c:に開く圧縮ファイルのパスワードを入力してください。";
const char* const WrongPasswordText = "パスワードが違います。もう一度入力してください。";

TrayIcon* noticeIcon = nullptr;
void (*messageSink)(HWND owner, const char* text) = nullptr;

namespace {

const char* const RootNotMovedText = "テンポラリフォルダの移動に失敗しました。";
const char* const ArchiveRefusedText = "%sを開けませんでした。仮想ドライブ%c:はそのままです。";
const char* const ExtractionFailedText =
    "%sを仮想ドライブ%c:に展開できませんでした。仮想ドライブは空になっています。";
const char* const EntriesLeftOutText =
    "仮想ドライブ%c:に表示できない項目が%s個あります。圧縮ファイルの中には残っています。";

// Why, as a line of its own: "%s" is what the reason concerns, where the library named it.
struct ReasonTexts {
  const char* plain;
  const char* named;
};
const ReasonTexts ReasonLines[ReasonCount] = {
    {"", ""},
    {"対応していない形式のファイルです。", "対応していない形式のファイルです。"},
    {"圧縮ファイルが壊れています。", "圧縮ファイルが壊れています（%s）。"},
    {"パスワードで保護されています。", "パスワードで保護されています。"},
    {"対応していない圧縮方式です。", "対応していない圧縮方式です（%s）。"},
    {"読み出せないファイルがあります。",
     "%sを読み出せません。他のプログラムが使用中の可能性があります。"},
    // With the sizes: needed and free, or the free room alone.
    {"ディスクの空き容量が足りません（空き %s）。", "ディスクの空き容量が足りません（必要 %s、空き %s）。"},
    {"圧縮ファイルが他のプログラムで使用中です。", "圧縮ファイルが他のプログラムで使用中です。"},
    {"圧縮ファイルが読み取り専用です。", "圧縮ファイルが読み取り専用です。"},
    {"パスが長すぎます。", "パスが長すぎます（%s）。"},
    {"書き込みに失敗しました。", "%sに書き込めませんでした。"},
    {"圧縮ファイルが見つかりません。", "圧縮ファイルが見つかりません。"},
    {"パスワードが違います。", "パスワードが違います。"},
    // The plain text when the user gave none; the other when the library takes none.
    {"パスワードが入力されていません。", "パスワード付きの圧縮ファイルには対応していません。"},
};

// Bytes as a person reads them: megabytes below a gigabyte, else gigabytes, one decimal.
void FormatBytes(char (&text)[32], uint64_t bytes) {
  const double mega = 1024.0 * 1024.0, giga = mega * 1024.0;
  if (bytes >= static_cast<uint64_t>(giga)) {
    FormatBounded(text, sizeof text, "%.1f GB", bytes / giga);
  } else {
    FormatBounded(text, sizeof text, "%.1f MB", bytes / mega);
  }
}

// Adds the reason's line to a text.
template <size_t Size>
bool AppendReason(char (&text)[Size], const char* reason) {
  size_t used = strlen(text);
  return FormatBounded(text + used, Size - used, "%s", reason) != 0;
}

// The reason's line, with a line break before it; empty when the library gave none.
void FormatReason(char (&line)[768], const LibraryReport& report) {
  line[0] = '\0';
  if (report.reason == ReasonNone || report.reason >= ReasonCount) return;
  char body[700];
  const ReasonTexts& texts = ReasonLines[report.reason];
  if (report.reason == ReasonNoRoom) {
    char needed[32], available[32];
    FormatBytes(needed, report.needed);
    FormatBytes(available, report.available);
    if (report.needed > 0) {
      FormatBounded(body, sizeof body, texts.named, needed, available);
    } else {
      FormatBounded(body, sizeof body, texts.plain, available);
    }
  } else if (report.reason == ReasonPasswordNeeded) {
    FormatBounded(body, sizeof body, "%s", PasswordsSupported() ? texts.plain : texts.named);
  } else if (report.subject[0] == '\0' ||
             !FormatBounded(body, sizeof body, texts.named, report.subject)) {
    FormatBounded(body, sizeof body, "%s", texts.plain);
  }
  FormatBounded(line, sizeof line, "\n%s", body);
}
const char* const WriteBackFailedText = "仮想ドライブ%c:の内容を圧縮ファイルに書き戻せませんでした。\n";

const char* KeptChangesText(KeptChanges what) {
  switch (what) {
    case KeptChanges::DropRefused: return "新しい圧縮ファイルは開いていません。";
    case KeptChanges::RemovalRefused: return "仮想ドライブは破棄していません。";
    case KeptChanges::AtExit: break;
  }
  return "変更はテンポラリフォルダ%sに残してあります。";
}

}  // namespace

void ShowMessage(HWND owner, const char* text) {
  if (messageSink != nullptr) {
    messageSink(owner, text);
  } else {
    MessageBoxA(owner, text, ApplicationName, MB_OK);
  }
}

void ShowDriveMessage(HWND owner, const char* format, uint8_t letter) {
  char text[512];
  if (FormatBounded(text, sizeof text, format, 'A' + letter)) ShowMessage(owner, text);
}

namespace {

// The folder and the reason go in as arguments, never as part of the format.
int FormatKeptChanges(char (&text)[1536], uint8_t letter, KeptChanges what, const char* folder,
                      const LibraryReport& why) {
  char format[256], reason[768];
  FormatReason(reason, why);
  return FormatBounded(format, sizeof format, "%s%s", WriteBackFailedText,
                       KeptChangesText(what)) &&
         FormatBounded(text, sizeof text, format, 'A' + letter, folder) &&
         AppendReason(text, reason);
}

// A balloon, or the sink's record of one; false when the text did not fit the balloon.
bool ShowBalloon(const char* text) {
  if (messageSink != nullptr) {
    messageSink(HWND_MESSAGE, text);
    return true;
  }
  return noticeIcon == nullptr || noticeIcon->Balloon(ApplicationName, text);
}

// The balloon names the drive and its folder; a folder too long for the balloon is left out,
// and then the reason too.
void ShowTimedWriteBackFailure(uint8_t letter, const char* folder, const LibraryReport& why) {
  char text[1536];
  if (FormatKeptChanges(text, letter, KeptChanges::AtExit, folder, why) && ShowBalloon(text)) {
    return;
  }
  if (FormatKeptChanges(text, letter, KeptChanges::AtExit, "", why) && ShowBalloon(text)) return;
  if (FormatKeptChanges(text, letter, KeptChanges::AtExit, "", LibraryReport())) ShowBalloon(text);
}

}  // namespace

void ShowKeptChanges(HWND owner, uint8_t letter, KeptChanges what, const LibraryReport& why,
                     const char* folder) {
  char text[1536];
  if (FormatKeptChanges(text, letter, what, folder, why)) ShowMessage(owner, text);
}

void ShowArchiveProblem(HWND owner, ArchiveProblem problem, uint8_t letter, const char* path,
                        const LibraryReport& why) {
  char text[1536], reason[768];
  FormatReason(reason, why);
  const char* format = problem == ArchiveProblem::Refused ? ArchiveRefusedText
                                                          : ExtractionFailedText;
  if (FormatBounded(text, sizeof text, format, path, 'A' + letter) && AppendReason(text, reason)) {
    ShowMessage(owner, text);
  }
}

void ShowEngineNotice(EngineNotice notice, uint8_t letter, const char* folder,
                      const LibraryReport& report) {
  switch (notice) {
    case EngineNotice::FolderNotEmptied:
      ShowDriveMessage(nullptr, FolderNotEmptiedText, letter);
      break;
    case EngineNotice::ChangesKept:
      ShowKeptChanges(nullptr, letter, KeptChanges::AtExit, report, folder);
      break;
    case EngineNotice::RootNotMoved:
      ShowMessage(nullptr, RootNotMovedText);
      break;
    case EngineNotice::TimedWriteBackFailed:
      ShowTimedWriteBackFailure(letter, folder, report);
      break;
    case EngineNotice::EntriesLeftOut: {
      char count[24], text[512];
      FormatBounded(count, sizeof count, "%llu", static_cast<unsigned long long>(report.leftOut));
      if (FormatBounded(text, sizeof text, EntriesLeftOutText, 'A' + letter, count)) {
        ShowBalloon(text);
      }
      break;
    }
  }
}
