// The drop bar: one 32 x 32 icon per virtual drive at the bottom right of the work area;
// an archive dropped on an icon replaces that drive's archive. Its dialog procedure,
// DropBarProc, is declared with the program's other entry points in application.h.
#pragma once

#include <cstdint>

#include "drive_table.h"

constexpr int DropBarIconSize = 32;
constexpr uint8_t DropBarListEnd = 255;

// The virtual drives of the open bar, in letter order, closed by DropBarListEnd. Rebuilt
// each time a bar opens; kept after it has closed.
extern uint8_t DropBarLetters[LetterCount + 1];
