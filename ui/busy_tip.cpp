#include "busy_tip.h"

#include "format_text.h"
#include "messages.h"

namespace {

constexpr DWORD BusyTipDelayMs = 1000;

// The program's one thread is inside the library meanwhile: the tip changes from a thread
// of the system's timer queue, which only sends the shell a copy of the icon's record.
HANDLE busyTimer = nullptr;
char busyTip[64];
volatile LONG busyTipShown = 0;

void CALLBACK ShowBusyTip(PVOID, BOOLEAN) {
  if (noticeIcon->ShowTip(busyTip)) InterlockedExchange(&busyTipShown, 1);
}

}  // namespace

void ShowLibraryWork(LibraryWork work, uint8_t letter, int busy) {
  if (busy) {
    if (busyTimer != nullptr || noticeIcon == nullptr) return;
    const char* doing = work == LibraryWork::Extracting ? ExtractingText : WritingBackText;
    lstrcpynA(busyTip, FormatText(BusyTipFormat, ApplicationName, 'A' + letter, doing),
              sizeof busyTip);
    if (!CreateTimerQueueTimer(&busyTimer, nullptr, ShowBusyTip, nullptr, BusyTipDelayMs, 0,
                               WT_EXECUTEONLYONCE)) {
      busyTimer = nullptr;
    }
    return;
  }
  if (busyTimer == nullptr) return;
  // Waits for a tip that is being shown right now, so that it cannot come after the old one.
  DeleteTimerQueueTimer(nullptr, busyTimer, INVALID_HANDLE_VALUE);
  busyTimer = nullptr;
  if (InterlockedExchange(&busyTipShown, 0)) noticeIcon->ShowTip(noticeIcon->data.szTip);
}
