// The main window: its class, its controls, its procedure and the focus moves
// of Tab and Shift+Tab.
#include <cstdio>

#include "app.h"
#include "ids.h"

namespace {

const char ClassName[] = "Serio8MainWindow";
const char Title[] = "Seriell I/O Steuerung 8-Bit";
const DWORD WindowStyle = WS_CAPTION | WS_SYSMENU;
const int WindowX = 355, WindowY = 256;
const int ClientWidth = 212, ClientHeight = 150;

enum Kind { Label, CheckBox, DropDownList, PushButton };

struct KindStyle {
    const char* windowClass;
    DWORD style;
    DWORD exStyle;
};
// Indexed by Kind.
const KindStyle KindStyles[] = {
    {"Static", SS_LEFT, 0},
    {"Button", BS_AUTOCHECKBOX | WS_TABSTOP, 0},
    {"ComboBox", CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL | WS_BORDER | WS_TABSTOP, WS_EX_CLIENTEDGE},
    {"Button", BS_PUSHBUTTON | WS_TABSTOP, 0},
};

struct Control {
    int id;
    Kind kind;
    int x, y, w, h;
    const char* text;
};

// Every control in the order of creation, which is also the order of Tab.
// The labels under the boxes are numbered out of column order; each stands
// in the column of its bit. The headings' a-umlaut is 0xE4 in Windows-1252.
const Control Controls[] = {
    {IdOutputHeading, Label, 50, 2, 130, 14, "Digitalausg\xE4nge (4094)"},
    {IdOutD7, CheckBox, 30, 15, 20, 20, ""},
    {IdOutD6, CheckBox, 50, 15, 20, 20, ""},
    {IdOutD5, CheckBox, 70, 15, 20, 20, ""},
    {IdOutD4, CheckBox, 90, 15, 20, 20, ""},
    {IdOutD3, CheckBox, 110, 15, 20, 20, ""},
    {IdOutD2, CheckBox, 130, 15, 20, 20, ""},
    {IdOutD1, CheckBox, 150, 15, 20, 20, ""},
    {IdOutD0, CheckBox, 170, 15, 20, 20, ""},
    {IdOutLabelD0, Label, 170, 35, 20, 20, "D0"},
    {IdOutLabelD2, Label, 130, 35, 20, 20, "D2"},
    {IdOutLabelD1, Label, 150, 35, 20, 20, "D1"},
    {IdOutLabelD3, Label, 110, 35, 20, 20, "D3"},
    {IdOutLabelD4, Label, 90, 35, 20, 20, "D4"},
    {IdOutLabelD5, Label, 70, 35, 20, 20, "D5"},
    {IdOutLabelD6, Label, 50, 35, 20, 20, "D6"},
    {IdOutLabelD7, Label, 30, 35, 20, 20, "D7"},
    {IdInputHeading, Label, 50, 60, 130, 14, "Digitaleing\xE4nge (4021)"},
    {IdInD7, CheckBox, 30, 75, 20, 20, ""},
    {IdInD6, CheckBox, 50, 75, 20, 20, ""},
    {IdInD5, CheckBox, 70, 75, 20, 20, ""},
    {IdInD4, CheckBox, 90, 75, 20, 20, ""},
    {IdInD3, CheckBox, 110, 75, 20, 20, ""},
    {IdInD2, CheckBox, 130, 75, 20, 20, ""},
    {IdInD1, CheckBox, 150, 75, 20, 20, ""},
    {IdInD0, CheckBox, 170, 75, 20, 20, ""},
    {IdInLabelD0, Label, 170, 95, 20, 20, "D0"},
    {IdInLabelD2, Label, 130, 95, 20, 20, "D2"},
    {IdInLabelD1, Label, 150, 95, 20, 20, "D1"},
    {IdInLabelD3, Label, 110, 95, 20, 20, "D3"},
    {IdInLabelD4, Label, 90, 95, 20, 20, "D4"},
    {IdInLabelD5, Label, 70, 95, 20, 20, "D5"},
    {IdInLabelD6, Label, 50, 95, 20, 20, "D6"},
    {IdInLabelD7, Label, 30, 95, 20, 20, "D7"},
    // The height is the list's when dropped down; the system sizes the field.
    {IdPortList, DropDownList, 30, 120, 80, 400, ""},
    {IdSetComPort, PushButton, 120, 120, 80, 20, "SetComPort"},
};
const int ControlCount = static_cast<int>(sizeof Controls / sizeof Controls[0]);
// The two rows come first; the port list and the button follow them.
const int RowControlCount = ControlCount - 2;
const int PortListIndex = ControlCount - 2;
const int ButtonIndex = ControlCount - 1;

// Disabled from D0 up to D7: the input boxes show the board and take no clicks.
const int InputBoxesToDisable[] = {IdInD0, IdInD1, IdInD2, IdInD3, IdInD4, IdInD5, IdInD6, IdInD7};

const int PortCount = 255;
const int StartPortIndex = 2;  // "Com3"

void CreateControl(const Control& control, HINSTANCE instance) {
    const KindStyle& kind = KindStyles[control.kind];
    HWND window = CreateWindowExA(kind.exStyle, kind.windowClass, control.text,
                                  WS_CHILD | WS_VISIBLE | WS_GROUP | kind.style, control.x, control.y,
                                  control.w, control.h, MainWindow,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr);
    SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
}

void FillPortList() {
    // Appended in number order, unsorted: item n - 1 is "Com" followed by n.
    for (int number = 1; number <= PortCount; ++number) {
        char name[16];
        std::snprintf(name, sizeof name, "Com%d", number);
        SendDlgItemMessageA(MainWindow, IdPortList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendDlgItemMessageA(MainWindow, IdPortList, CB_SETCURSEL, StartPortIndex, 0);
}

bool TakesFocus(HWND control) {
    return control != nullptr && IsWindowVisible(control) && IsWindowEnabled(control) &&
           (GetWindowLongA(control, GWL_STYLE) & WS_TABSTOP) != 0;
}

// Moves the focus to the next (step 1) or previous (step -1) control that
// takes it, in creation order, wrapping round. With no control focused Tab
// starts before the first and Shift+Tab after the last.
void MoveFocus(int step) {
    const HWND focus = GetFocus();
    int current = step > 0 ? -1 : ControlCount;
    for (int i = 0; i < ControlCount; ++i) {
        const HWND control = GetDlgItem(MainWindow, Controls[i].id);
        if (control != nullptr && focus != nullptr && (control == focus || IsChild(control, focus))) current = i;
    }
    for (int n = 1; n <= ControlCount; ++n) {
        const int i = ((current + step * n) % ControlCount + ControlCount) % ControlCount;
        const HWND control = GetDlgItem(MainWindow, Controls[i].id);
        if (TakesFocus(control)) {
            SetFocus(control);
            return;
        }
    }
}

struct FocusKey {
    WORD command;
    int step;
};
const FocusKey FocusKeys[] = {{CmdFocusNext, 1}, {CmdFocusPrevious, -1}};

// A press or the close request that arrives while the loop waits (sent by
// another program, or during the error box's own loop) would otherwise wait
// for some unrelated message; the loop performs it as soon as its wait ends.
void WakeLoop() {
    if (!LoopDispatching) PostMessageA(MainWindow, WakeUpMessage, 0, 0);
}

LRESULT OnCommand(WPARAM wParam, LPARAM lParam) {
    if (lParam != 0) {
        // A control's notification. Only the button's click is an event the
        // loop acts on; each click is one port change.
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IdSetComPort && HIWORD(wParam) == BN_CLICKED) {
            ++PendingPortChanges;
            WakeLoop();
        }
        return 0;
    }
    // HIWORD 1: a command of the accelerator table.
    for (const FocusKey& key : FocusKeys) {
        if (HIWORD(wParam) == 1 && LOWORD(wParam) == key.command) MoveFocus(key.step);
    }
    return 0;
}

LRESULT OnClose() {
    // Not destroyed here: the exit stops polling first, then destroys it.
    CloseRequested = true;
    WakeLoop();
    return 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: return OnCommand(wParam, lParam);
    case WM_CLOSE: return OnClose();
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

int32_t BuildMainWindow() {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IconId));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = ClassName;
    RegisterClassA(&windowClass);

    // The client area is fixed; the frame around it is whatever the system's
    // caption and borders need.
    RECT frame = {0, 0, ClientWidth, ClientHeight};
    AdjustWindowRect(&frame, WindowStyle, FALSE);
    MainWindow = CreateWindowExA(0, ClassName, Title, WindowStyle, WindowX, WindowY, frame.right - frame.left,
                                 frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (MainWindow == nullptr) return 0;
    ShowWindow(MainWindow, SW_SHOWNORMAL);

    for (int i = 0; i < RowControlCount; ++i) CreateControl(Controls[i], instance);
    for (int id : InputBoxesToDisable) EnableWindow(GetDlgItem(MainWindow, id), FALSE);
    CreateControl(Controls[PortListIndex], instance);
    FillPortList();
    CreateControl(Controls[ButtonIndex], instance);
    return 0;
}
