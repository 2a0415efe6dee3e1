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

void ShowKeptChanges(HWND owner, uint8_t letter, KeptChanges what, const char* folder) {
  // The folder goes in as an argument, never as part of the format.
  char format[256];
  char text[512];
  if (FormatBounded(format, sizeof format, "%s%s", WriteBackFailedText, KeptChangesText(what)) &&
      FormatBounded(text, sizeof text, format, 'A' + letter, folder)) {
    ShowMessage(owner, text);
  }
}

void ShowExitNotice(ExitNotice notice, uint8_t letter, const char* folder) {
  switch (notice) {
    case ExitNotice::FolderNotEmptied:
      ShowDriveMessage(nullptr, FolderNotEmptiedText, letter);
      break;
    case ExitNotice::ChangesKept:
      ShowKeptChanges(nullptr, letter, KeptChanges::AtExit, folder);
      break;
    case ExitNotice::RootNotMoved:
      ShowMessage(nullptr, RootNotMovedText);
      break;
  }
}
