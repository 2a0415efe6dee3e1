// The tray icon's tip while the program waits for the archive library: an extraction or a
// write-back blocks the whole program, and one that takes longer than a second says so.
#pragma once

#include <cstdint>

#include "drive_table.h"

// The engine's work sink.
void ShowLibraryWork(LibraryWork work, uint8_t letter, int busy);
