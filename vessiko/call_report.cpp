// The report of the current call, shared by the threads of one call.
#include "call_report.h"

#include <mutex>

namespace {

struct SharedReport {
  std::mutex lock;
  CallReport report;
};

// Constructed on first use: the library has no objects of its own to order at load time.
SharedReport& Shared() {
  static SharedReport shared;
  return shared;
}

}  // namespace

void StartReport() {
  std::lock_guard<std::mutex> guard(Shared().lock);
  Shared().report = CallReport();
}

void NoteFailure(LibraryReason reason, const NativeString& subject) {
  std::lock_guard<std::mutex> guard(Shared().lock);
  CallReport& report = Shared().report;
  if (report.reason != ReasonNone) return;
  report.reason = reason;
  report.subject = subject;
}

void NoteNoRoom(uint64_t needed, uint64_t available) {
  std::lock_guard<std::mutex> guard(Shared().lock);
  CallReport& report = Shared().report;
  if (report.reason != ReasonNone) return;
  report.reason = ReasonNoRoom;
  report.needed = needed;
  report.available = available;
}

void NoteLeftOut(uint64_t count) {
  std::lock_guard<std::mutex> guard(Shared().lock);
  Shared().report.leftOut += count;
}

void NoteArchiveSize(uint64_t size) {
  std::lock_guard<std::mutex> guard(Shared().lock);
  Shared().report.sized = 1;
  Shared().report.size = size;
}

bool FailureNoted() {
  std::lock_guard<std::mutex> guard(Shared().lock);
  return Shared().report.reason != ReasonNone;
}

CallReport CurrentReport() {
  std::lock_guard<std::mutex> guard(Shared().lock);
  return Shared().report;
}
