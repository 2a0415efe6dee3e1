// Helpers for tests that drive the program's dialogs in process: scripted answers to the
// windows that modal loops show (message boxes, nested dialogs), list-view and button
// read-back, and the drive table put back as it was.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "application.h"

namespace dialogtest {

struct WindowSearch {
  const char* caption;
  HWND found;
};

inline BOOL CALLBACK MatchCaption(HWND window, LPARAM data) {
  WindowSearch* search = reinterpret_cast<WindowSearch*>(data);
  char text[256];
  if (IsWindowVisible(window) && GetWindowTextA(window, text, sizeof text) > 0 &&
      strcmp(text, search->caption) == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// This thread's visible top-level window with the given caption, or null.
inline HWND FindThreadWindow(const char* caption) {
  WindowSearch search = {caption, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), MatchCaption, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

inline BOOL CALLBACK CollectStaticText(HWND child, LPARAM data) {
  char kind[32];
  char text[1024];
  GetClassNameA(child, kind, sizeof kind);
  if (lstrcmpiA(kind, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0) {
    std::string* out = reinterpret_cast<std::string*>(data);
    if (!out->empty()) *out += "|";
    *out += text;
  }
  return TRUE;
}

// The texts of a window's static controls, joined by "|" (a message box's text).
inline std::string StaticTexts(HWND window) {
  std::string joined;
  EnumChildWindows(window, CollectStaticText, reinterpret_cast<LPARAM>(&joined));
  return joined;
}

// Answers the windows that this thread's modal loops show, from a timer that those loops
// dispatch: every "Tembrook" message box has its text recorded and its OK pressed; other
// windows are handled by queued actions, each run once on the first visible window with
// its caption. One script at a time.
class WindowScript {
 public:
  WindowScript() {
    active() = this;
    timer = SetTimer(nullptr, 0, 20, &WindowScript::Tick);
  }
  ~WindowScript() {
    KillTimer(nullptr, timer);
    active() = nullptr;
  }
  WindowScript(const WindowScript&) = delete;
  WindowScript& operator=(const WindowScript&) = delete;

  void Then(const char* caption, std::function<void(HWND)> action) {
    std::string text = caption;
    actions.push_back({[text]() { return FindThreadWindow(text.c_str()); }, std::move(action)});
  }
  // For windows whose caption is the platform's own: the finder names the window.
  void ThenFound(std::function<HWND()> finder, std::function<void(HWND)> action) {
    actions.push_back({std::move(finder), std::move(action)});
  }
  size_t PendingActions() const { return actions.size(); }

  std::vector<std::string> messages;

 private:
  struct Action {
    std::function<HWND()> find;
    std::function<void(HWND)> run;
  };

  static WindowScript*& active() {
    static WindowScript* script = nullptr;
    return script;
  }

  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    WindowScript* script = active();
    if (script == nullptr) return;
    if (HWND box = FindThreadWindow("Tembrook")) {
      script->messages.push_back(StaticTexts(box));
      // EndDialog hides the box at once, so a later tick does not find it again.
      SendMessageA(box, WM_COMMAND, IDOK, 0);
      return;
    }
    if (script->actions.empty()) return;
    HWND window = script->actions.front().find();
    if (window == nullptr) return;
    // Taken off the queue first: the action may run a modal loop that ticks again.
    Action action = std::move(script->actions.front());
    script->actions.pop_front();
    action.run(window);
  }

  UINT_PTR timer;
  std::deque<Action> actions;
};

// Runs this thread's message loop for a while, so that timers and posted messages arrive.
inline void Pump(DWORD milliseconds) {
  DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(5);
  } while (GetTickCount() - start < milliseconds);
}

inline std::string CellText(HWND list, int row, int column) {
  char text[512] = {};
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = sizeof text;
  SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return text;
}

inline int RowCount(HWND list) { return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); }

// Selects exactly the given rows.
inline void SelectRows(HWND list, std::initializer_list<int> rows) {
  LVITEMA item = {};
  item.stateMask = LVIS_SELECTED;
  item.state = 0;
  SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
  for (int row : rows) {
    item.state = LVIS_SELECTED;
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  }
}

inline void Command(HWND dialog, int id) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// A click as the user makes it: an automatic button changes its own check mark first.
inline void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

inline bool Checked(HWND dialog, int id) {
  return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

inline bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != 0; }

inline std::string ItemText(HWND dialog, int id) {
  char text[512] = {};
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

// Creates a dialog of the program's resources without a modal loop; destroyed at the end
// of the scope.
class ModelessDialog {
 public:
  ModelessDialog(WORD templateId, DLGPROC procedure)
      : hwnd(CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId), nullptr,
                                procedure, 0)) {
    if (hwnd != nullptr) ShowWindow(hwnd, SW_SHOW);
  }
  ~ModelessDialog() {
    if (hwnd != nullptr && IsWindow(hwnd)) DestroyWindow(hwnd);
  }
  ModelessDialog(const ModelessDialog&) = delete;
  ModelessDialog& operator=(const ModelessDialog&) = delete;
  // EndDialog only hides a modeless dialog.
  bool Closed() const { return !IsWindowVisible(hwnd); }

  HWND hwnd;
};

// The parts of the drive table and the application record that the dialogs change, saved
// and put back.
class SavedProgramState {
 public:
  SavedProgramState() {
    memcpy(kinds, driveTable.kinds, sizeof kinds);
    memcpy(slots, driveTable.slots, sizeof slots);
    memcpy(tempRoot, driveTable.TempRoot, sizeof tempRoot);
    memcpy(pendingTempRoot, driveTable.PendingTempRoot, sizeof pendingTempRoot);
    instance = application.instanceHandle;
  }
  ~SavedProgramState() {
    for (uint8_t i = 0; i < LetterCount; ++i) driveTable.StopUpdateTimer(i);
    memcpy(driveTable.kinds, kinds, sizeof kinds);
    memcpy(driveTable.slots, slots, sizeof slots);
    memcpy(driveTable.TempRoot, tempRoot, sizeof tempRoot);
    memcpy(driveTable.PendingTempRoot, pendingTempRoot, sizeof pendingTempRoot);
    application.instanceHandle = instance;
  }
  SavedProgramState(const SavedProgramState&) = delete;
  SavedProgramState& operator=(const SavedProgramState&) = delete;

 private:
  DriveKind kinds[LetterCount];
  DriveSlot slots[LetterCount];
  char tempRoot[PathSize];
  char pendingTempRoot[PathSize];
  HINSTANCE instance;
};

}  // namespace dialogtest
