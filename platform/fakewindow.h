// Test control of the stand-in's main window: its check boxes by control
// identifier, the text of its port list, and the timers stopped on it. Every
// BM_SETCHECK is recorded, so a test sees each write, also one that does not
// change a box.
#ifndef SERIO8_FAKEWINDOW_H
#define SERIO8_FAKEWINDOW_H

#include <windows.h>

#include <string>
#include <vector>

namespace fakewindow {

// Forgets every box, text, recording and timer.
void Reset();

// The handle of the one window that answers; messages for any other handle
// (a null one included) reach nothing and return 0.
HWND Window();

// Makes `id` a check box with the given state (BST_CHECKED or BST_UNCHECKED).
void SetCheck(int id, WPARAM state);
// The state of box `id`; -1 when there is no such box.
long Check(int id);

// Gives control `id` a window text, as the port list shows its selected item.
void SetText(int id, const std::string& text);

struct SetCall {
    int id;
    WPARAM state;
};
const std::vector<SetCall>& SetCalls();
void ClearCalls();

// The identifiers passed to KillTimer with the window, in call order.
const std::vector<UINT_PTR>& KilledTimers();

}  // namespace fakewindow

#endif
