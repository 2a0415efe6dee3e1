#include "messages.h"

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

TrayIcon* noticeIcon = nullptr;
void (*messageSink)(HWND owner, const char* text) = nullptr;

namespace {

const char* const RootNotMovedText = "テンポラリフォルダの移動に失敗しました。";
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

// The folder goes in as an argument, never as part of the format.
int FormatKeptChanges(char (&text)[512], uint8_t letter, KeptChanges what, const char* folder) {
  char format[256];
  return FormatBounded(format, sizeof format, "%s%s", WriteBackFailedText,
                       KeptChangesText(what)) &&
         FormatBounded(text, sizeof text, format, 'A' + letter, folder);
}

// The balloon names the drive and its folder; a folder too long for the balloon is left out.
void ShowTimedWriteBackFailure(uint8_t letter, const char* folder) {
  char text[512];
  if (!FormatKeptChanges(text, letter, KeptChanges::AtExit, folder)) return;
  if (messageSink != nullptr) {
    messageSink(HWND_MESSAGE, text);
  } else if (noticeIcon != nullptr && !noticeIcon->Balloon(ApplicationName, text) &&
             FormatKeptChanges(text, letter, KeptChanges::AtExit, "")) {
    noticeIcon->Balloon(ApplicationName, text);
  }
}

}  // namespace

void ShowKeptChanges(HWND owner, uint8_t letter, KeptChanges what, const char* folder) {
  char text[512];
  if (FormatKeptChanges(text, letter, what, folder)) ShowMessage(owner, text);
}

void ShowEngineNotice(EngineNotice notice, uint8_t letter, const char* folder) {
  switch (notice) {
    case EngineNotice::FolderNotEmptied:
      ShowDriveMessage(nullptr, FolderNotEmptiedText, letter);
      break;
    case EngineNotice::ChangesKept:
      ShowKeptChanges(nullptr, letter, KeptChanges::AtExit, folder);
      break;
    case EngineNotice::RootNotMoved:
      ShowMessage(nullptr, RootNotMovedText);
      break;
    case EngineNotice::TimedWriteBackFailed:
      ShowTimedWriteBackFailure(letter, folder);
      break;
  }
}
