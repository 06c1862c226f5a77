// The control panel: main window, poll cycle, port change and event loop.
#ifndef SERIO8_APP_H
#define SERIO8_APP_H

#include <windows.h>

#include <cstdint>

#include "shiftlink.h"  // PortHandle, OutputByte, InputByte

// The main window; null until BuildMainWindow has made it.
extern HWND MainWindow;

// The mode string of the last port opened, e.g. "Com3:9600,n,8,1". The
// longest, "Com255:9600,n,8,1", has 17 characters.
enum { PortModeSize = 32 };
extern char PortMode[PortModeSize];

// What the window procedure reports to the event loop: presses of SetComPort
// not yet turned into port changes, and the close request.
extern int32_t PendingPortChanges;
extern bool CloseRequested;
// True while the event loop itself translates and dispatches a message.
extern bool LoopDispatching;

// Creates and shows the main window with all its controls; leaves MainWindow
// null when the window cannot be created. Returns 0.
int32_t BuildMainWindow();

// The poll timer's callback: output boxes to OutputByte, one exchange with the
// board, InputByte to the input boxes.
VOID CALLBACK PollTick(HWND window, UINT message, UINT_PTR id, DWORD time);

// Opens the port that the port list shows into PortHandle, with PortMode as
// its mode string. Does not judge the outcome. Returns 0.
int32_t OpenSelectedPort();

// Stops the poll timer, then closes the port. Returns 0.
int32_t StopPolling();

#endif
