// A find handle of FindFirstFile, closed with the scope.
#pragma once

#include <windows.h>

struct FindHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~FindHandle() {
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
};
