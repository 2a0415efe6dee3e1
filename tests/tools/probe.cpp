// probe: works a running Tembrook from outside its process, for the end-to-end tests and the
// screenshots. KIND is main, bar (the drop bar), box (our message box), menu (an open popup
// menu), settings or options (the two dialogs); every wait lasts at most 30 s.
//   probe KIND                       waits for the window; prints "left top right bottom"
//   probe gone KIND                  waits until none is shown
//   probe box                        prints "owner=main" or "owner=none" and the box's text
//                                    (CP932), then presses its OK
//   probe [send] KIND ID MSG WP [N]  posts (sends) MSG N times to control ID of the window (0:
//                                    the window itself)
//   probe hold FILE MS               holds the file open, unshared, for MS; fails unless a
//                                    balloon from the tray was shown meanwhile
//   probe answer TEXT                waits for the password dialog, prints "owner=main" or
//                                    "owner=none" and its lines (CP932), types TEXT and presses
//                                    OK (an empty TEXT presses Cancel), and waits until it is gone
// Exit code 0 on success, 1 otherwise; also written into the file PROBE_STATUS names, if set
// (inside a Wine desktop window a program's exit code is lost).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Kind, window class, title (nullptr: any).
const char* const Kinds[][3] = {{"main", "Orvalian       0", "Tembrook"}, {"bar", "#32770", ""},
                                {"box", "#32770", "Tembrook"},         {"menu", "#32768", nullptr},
                                {"settings", "#32770", "設定"},
                                {"options", "#32770", "仮想ドライブの設定"},
                                {"password", "#32770", "パスワードの入力"}};

// The password dialog's controls.
constexpr int PasswordLines[] = {1030, 1031, 1033};
constexpr int PasswordEdit = 1032, PasswordOk = 1034, PasswordCancel = 1035;

// The window of the kind once it is shown or, when want is false, the desktop once none is.
HWND Await(const char* kind, bool want = true) {
  for (const auto& k : Kinds) {
    for (DWORD start = GetTickCount(); strcmp(k[0], kind) == 0 && GetTickCount() - start < 30000;
         Sleep(20)) {
      HWND window = FindWindowExA(nullptr, nullptr, k[1], k[2]);
      // The first one shown (the main window never is): a bar that is closing hides first.
      while (window != nullptr && !IsWindowVisible(window) && &k != &Kinds[0]) {
        window = FindWindowExA(nullptr, window, k[1], k[2]);
      }
      if ((window != nullptr) == want) return want ? window : GetDesktopWindow();
    }
  }
  return nullptr;
}

// A balloon is a tooltip window of the tray's process with the balloon style.
BOOL CALLBACK FindBalloon(HWND window, LPARAM found) {
  char name[32] = "";
  GetClassNameA(window, name, sizeof name);
  if (strcmp(name, "tooltips_class32") == 0 && IsWindowVisible(window) &&
      (GetWindowLongA(window, GWL_STYLE) & 0x40)) {
    *reinterpret_cast<bool*>(found) = true;
  }
  return TRUE;
}

int Hold(const char* file, DWORD milliseconds) {
  HANDLE h = CreateFileA(file, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  bool balloon = false;
  for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Sleep(100)) {
    EnumWindows(FindBalloon, reinterpret_cast<LPARAM>(&balloon));
  }
  CloseHandle(h);
  return h != INVALID_HANDLE_VALUE && balloon ? 0 : 1;
}

int Answer(const char* text) {
  HWND dialog = Await("password");
  if (dialog == nullptr) return 1;
  printf("owner=%s", GetWindow(dialog, GW_OWNER) == nullptr ? "none" : "bar");
  for (int id : PasswordLines) {
    char line[1024] = "";
    GetDlgItemTextA(dialog, id, line, sizeof line);
    printf("\n%s", line);
  }
  // The texts are carried across processes with the messages; the click is posted, as the
  // dialog's end runs the program on.
  if (*text != '\0' && !SetDlgItemTextA(dialog, PasswordEdit, text)) return 1;
  if (!PostMessageA(dialog, WM_COMMAND, *text != '\0' ? PasswordOk : PasswordCancel, 0)) return 1;
  // Gone before the next question can be waited for: a wrong password asks in a new dialog.
  for (DWORD start = GetTickCount(); IsWindow(dialog); Sleep(20)) {
    if (GetTickCount() - start > 30000) return 1;
  }
  return 0;
}

int Run(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "gone") == 0) return Await(argv[2], false) ? 0 : 1;
  if (argc == 4 && strcmp(argv[1], "hold") == 0) return Hold(argv[2], atoi(argv[3]));
  if (argc == 3 && strcmp(argv[1], "answer") == 0) return Answer(argv[2]);
  bool send = argc > 1 && strcmp(argv[1], "send") == 0;
  argc -= send, argv += send;
  HWND window = argc > 1 ? Await(argv[1]) : nullptr;
  if (window == nullptr) return 1;
  if (argc == 2 && strcmp(argv[1], "box") == 0) {
    char text[1024] = "";
    // A message box's text is in the static control with this id.
    GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
    printf("owner=%s\n%s", GetWindow(window, GW_OWNER) == Await("main") ? "main" : "none", text);
    return PostMessageA(window, WM_COMMAND, IDOK, 0) ? 0 : 1;
  }
  RECT r;
  if (argc == 2 && GetWindowRect(window, &r)) {
    printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
  }
  if (argc < 5) return 1;
  HWND target = atoi(argv[2]) != 0 ? GetDlgItem(window, atoi(argv[2])) : window;
  UINT message = strtoul(argv[3], nullptr, 0);
  WPARAM wParam = strtoul(argv[4], nullptr, 0);
  DWORD_PTR result = 0;
  bool ok = true;
  for (int i = argc > 5 ? atoi(argv[5]) : 1; i > 0 && ok; --i) {
    // A message that opens a modal loop is posted: a send would wait for the loop's end.
    ok = send ? SendMessageTimeoutA(target, message, wParam, 0, SMTO_NORMAL, 30000, &result) != 0
              : PostMessageA(target, message, wParam, 0) != 0;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int code = Run(argc, argv);
  if (FILE* file = getenv("PROBE_STATUS") ? fopen(getenv("PROBE_STATUS"), "wb") : nullptr) {
    fprintf(file, "%d\n", code);
    fclose(file);
  }
  return code;
}
