// Process-wide state shared by the window and control wrappers. Plain globals, zero at
// process start, touched only by the program's one thread.
#pragma once

// 1 once InitCommonControls has run (the first ListViewControl does it).
extern int commonControlsReady;
// The number given to the next FrameWindow's class name.
extern int frameClassCounter;
// The identifier given to the next TrayIcon.
extern int trayIconCounter;
// The text PositionText returns; shared by every UpDownControl, so each call overwrites
// the text of the previous one.
extern char positionTextBuffer[16];
