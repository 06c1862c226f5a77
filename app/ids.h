// Identifiers of the main window's controls, its timer, its accelerator
// commands and its private message. The check boxes stand in rows with D7 at
// the left: output box 1 and input box 20 are D7, boxes 8 and 27 are D0.
#ifndef SERIO8_IDS_H
#define SERIO8_IDS_H

#include <windows.h>

enum ControlId {
    IdOutputHeading = 0,
    IdOutD7 = 1, IdOutD6 = 2, IdOutD5 = 3, IdOutD4 = 4,
    IdOutD3 = 5, IdOutD2 = 6, IdOutD1 = 7, IdOutD0 = 8,
    IdOutLabelD0 = 9, IdOutLabelD2 = 11, IdOutLabelD1 = 12, IdOutLabelD3 = 14,
    IdOutLabelD4 = 15, IdOutLabelD5 = 16, IdOutLabelD6 = 17, IdOutLabelD7 = 18,
    IdInputHeading = 19,
    IdInD7 = 20, IdInD6 = 21, IdInD5 = 22, IdInD4 = 23,
    IdInD3 = 24, IdInD2 = 25, IdInD1 = 26, IdInD0 = 27,
    IdInLabelD0 = 28, IdInLabelD2 = 30, IdInLabelD1 = 31, IdInLabelD3 = 33,
    IdInLabelD4 = 34, IdInLabelD5 = 35, IdInLabelD6 = 36, IdInLabelD7 = 37,
    IdPortList = 38,
    IdSetComPort = 39,
};

// The poll timer on the main window.
enum { PollTimerId = 0, PollPeriodMs = 100 };

// Commands of the accelerator table: Tab and Shift+Tab.
enum { CmdFocusNext = 100, CmdFocusPrevious = 101 };

// Posted by the main window to itself so that the event loop's wait returns
// when a press or the close request reached the window outside the loop's
// dispatch (a message sent by another program arrives inside the wait).
enum { WakeUpMessage = WM_APP + 1 };

// The main window's icon.
enum { IconId = 1 };

#endif
