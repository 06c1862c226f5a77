// uiauto: drives top-level windows of another program from outside, by
// their exact titles, as a user or an accessibility tool would.
//
//     uiauto COMMAND ARG...
//
// Exit code 0 when the command did what it says, 1 when it did not (a
// window missing, a wait run out, a check that found a mismatch), 2 for a
// wrong command line. What a command reads or finds wrong goes to stdout,
// each mismatch as got/expected; why it could not act goes to stderr. Each
// command is one row of the table below.
//
// Acting as a user goes through the system's input queue (SendInput): the
// keys and clicks reach the program's own message loop as real input does,
// with the key state they carry, and the focus decides where keys go.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const DWORD StepMs = 50;

// Finds the visible or hidden top-level window with exactly this title.
HWND FindTitled(const char* title) { return FindWindowA(nullptr, title); }

HWND FindOrComplain(const char* title) {
    HWND window = FindTitled(title);
    if (window == nullptr) std::fprintf(stderr, "uiauto: no window titled \"%s\"\n", title);
    return window;
}

HWND ControlOrComplain(HWND window, const char* title, const char* id) {
    HWND control = GetDlgItem(window, std::atoi(id));
    if (control == nullptr) std::fprintf(stderr, "uiauto: \"%s\" has no control %s\n", title, id);
    return control;
}

DWORD Milliseconds(const char* seconds) { return static_cast<DWORD>(std::atof(seconds) * 1000.0); }

// wait TITLE SECONDS: until a window with the title exists.
int Wait(char** args) {
    const DWORD limit = Milliseconds(args[1]);
    for (DWORD waited = 0;; waited += StepMs) {
        if (FindTitled(args[0]) != nullptr) return 0;
        if (waited >= limit) break;
        Sleep(StepMs);
    }
    std::fprintf(stderr, "uiauto: no window titled \"%s\" within %s s\n", args[0], args[1]);
    return 1;
}

// gone TITLE SECONDS: until no window with the title exists.
int Gone(char** args) {
    const DWORD limit = Milliseconds(args[1]);
    for (DWORD waited = 0;; waited += StepMs) {
        if (FindTitled(args[0]) == nullptr) return 0;
        if (waited >= limit) break;
        Sleep(StepMs);
    }
    std::fprintf(stderr, "uiauto: window \"%s\" still there after %s s\n", args[0], args[1]);
    return 1;
}

// absent TITLE SECONDS: no window with the title appears during that time.
int Absent(char** args) {
    const DWORD limit = Milliseconds(args[1]);
    for (DWORD waited = 0;; waited += StepMs) {
        if (FindTitled(args[0]) != nullptr) {
            std::fprintf(stderr, "uiauto: window \"%s\" appeared\n", args[0]);
            return 1;
        }
        if (waited >= limit) return 0;
        Sleep(StepMs);
    }
}

// close TITLE: the polite close request, WM_CLOSE, posted as the close box
// or a task manager's "end task" would.
int Close(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    return PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
}

// click TITLE ID: BM_CLICK sent to the button with that control identifier.
// The sender waits while the button handles it, so the window's click
// notification arrives while its program waits for messages, outside its
// own dispatch.
int Click(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    HWND button = ControlOrComplain(window, args[0], args[1]);
    if (button == nullptr) return 1;
    SendMessageA(button, BM_CLICK, 0, 0);
    return 0;
}

// dismiss TITLE ID SECONDS: clicks button ID of the window, then waits until
// that very window is destroyed (another with the same title may follow it).
int Dismiss(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    HWND button = ControlOrComplain(window, args[0], args[1]);
    if (button == nullptr) return 1;
    SendMessageA(button, BM_CLICK, 0, 0);
    const DWORD limit = Milliseconds(args[2]);
    for (DWORD waited = 0;; waited += StepMs) {
        if (!IsWindow(window)) return 0;
        if (waited >= limit) break;
        Sleep(StepMs);
    }
    std::fprintf(stderr, "uiauto: window \"%s\" not closed after %s s\n", args[0], args[2]);
    return 1;
}

// enabled TITLE 0|1: the window takes input (1) or is disabled (0).
int Enabled(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    const int expected = std::atoi(args[1]) != 0 ? 1 : 0;
    const int actual = IsWindowEnabled(window) ? 1 : 0;
    if (actual == expected) return 0;
    std::fprintf(stderr, "uiauto: \"%s\" is %s\n", args[0], actual ? "enabled" : "disabled");
    return 1;
}

// ---------------------------------------------------------------------------
// serio8's main window, as its user sees it. Written down here on its own,
// not taken from the program, so that a slip in the program's tables shows.

const DWORD ChildStyle = WS_CHILD | WS_VISIBLE | WS_GROUP;
const DWORD LabelStyle = ChildStyle | SS_LEFT;
const DWORD BoxStyle = ChildStyle | WS_TABSTOP | BS_AUTOCHECKBOX;
const DWORD ListStyle = ChildStyle | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL | WS_BORDER;
const DWORD ButtonStyle = ChildStyle | WS_TABSTOP | BS_PUSHBUTTON;
// A combo box hands these to its drop-down list (Wine does at creation); on
// the combo box itself they then read 0.
const DWORD ListMovedStyle = WS_VSCROLL | WS_BORDER;
const DWORD ListMovedExStyle = WS_EX_CLIENTEDGE;

const DWORD MainStyle = WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
// The system adds these to every overlapped window with a caption.
const DWORD MainStyleAdded = WS_CLIPSIBLINGS;
const DWORD MainExStyleAdded = WS_EX_WINDOWEDGE;
const POINT MainPosition = {355, 256};
const SIZE MainClientSize = {212, 150};

const int OutputBox[8] = {8, 7, 6, 5, 4, 3, 2, 1};      // by bit, D0 first
const int InputBox[8] = {27, 26, 25, 24, 23, 22, 21, 20};
const int PortListId = 38;
const int PortCount = 255;
const int StartPortIndex = 2;
const int ListDropHeight = 400;

struct ExpectedControl {
    int id;
    const char* windowClass;
    DWORD style;
    DWORD exStyle;
    RECT rect;            // left, top, right, bottom in the main window's client area
    std::string text;     // Windows-1252
};

// The labels under the boxes: text, column, and identifier in each row.
struct RowLabel {
    const char* text;
    int x;
    int outputId;
    int inputId;
};
const RowLabel RowLabels[] = {
    {"D7", 30, 18, 37}, {"D6", 50, 17, 36}, {"D5", 70, 16, 35}, {"D4", 90, 15, 34},
    {"D3", 110, 14, 33}, {"D2", 130, 11, 30}, {"D1", 150, 12, 31}, {"D0", 170, 9, 28},
};

RECT At(int x, int y, int w, int h) { return RECT{x, y, x + w, y + h}; }

// One row: its heading, its eight boxes, then its labels in identifier order.
struct Row {
    int headingId;
    const char* heading;
    int headingY;
    int firstBox;
    DWORD boxStyle;
    int boxY;
    int labelY;
    bool outputs;
};
const Row Rows[] = {
    {0, "Digitalausg\xE4nge (4094)", 2, 1, BoxStyle, 15, 35, true},
    {19, "Digitaleing\xE4nge (4021)", 60, 20, BoxStyle | WS_DISABLED, 75, 95, false},
};

void AddRow(std::vector<ExpectedControl>& out, const Row& row) {
    out.push_back({row.headingId, "Static", LabelStyle, 0, At(50, row.headingY, 130, 14), row.heading});
    for (int i = 0; i < 8; ++i)
        out.push_back({row.firstBox + i, "Button", row.boxStyle, 0, At(30 + 20 * i, row.boxY, 20, 20), ""});
    std::vector<ExpectedControl> labels;
    for (const RowLabel& label : RowLabels)
        labels.push_back({row.outputs ? label.outputId : label.inputId, "Static", LabelStyle, 0,
                          At(label.x, row.labelY, 20, 20), label.text});
    std::sort(labels.begin(), labels.end(),
              [](const ExpectedControl& a, const ExpectedControl& b) { return a.id < b.id; });
    out.insert(out.end(), labels.begin(), labels.end());
}

// Every control in the order of creation.
std::vector<ExpectedControl> ExpectedControls() {
    std::vector<ExpectedControl> controls;
    for (const Row& row : Rows) AddRow(controls, row);
    controls.push_back({PortListId, "ComboBox", ListStyle, WS_EX_CLIENTEDGE, At(30, 120, 80, ListDropHeight), ""});
    controls.push_back({39, "Button", ButtonStyle, 0, At(120, 120, 80, 20), "SetComPort"});
    return controls;
}

// Text as the program wrote it, in Windows-1252, whatever code page the
// system runs with.
std::wstring FromWindows1252(const std::string& text) {
    if (text.empty()) return L"";
    std::wstring wide(text.size(), L'\0');
    const int n = MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                      static_cast<int>(wide.size()));
    wide.resize(n > 0 ? n : 0);
    return wide;
}

// For printing: Windows-1252 with every byte outside ASCII as \xNN.
std::string Printable(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        char byte = '?';
        BOOL lost = FALSE;
        WideCharToMultiByte(1252, 0, &c, 1, &byte, 1, nullptr, &lost);
        char hex[8];
        if (lost) {
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        } else if (static_cast<unsigned char>(byte) < 0x20 || static_cast<unsigned char>(byte) >= 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(byte));
            out += hex;
        } else {
            out += byte;
        }
    }
    return "\"" + out + "\"";
}

// Reading another program's windows: a message it does not answer within
// this time counts as no answer.
const UINT AnswerMs = 5000;

LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, AnswerMs, &answer)) return -1;
    return static_cast<LRESULT>(answer);
}

// The window text as the window itself gives it (WM_GETTEXT), which for a
// drop-down list is its selected item.
std::wstring TextOf(HWND window) {
    wchar_t buffer[512] = L"";
    Ask(window, WM_GETTEXT, sizeof buffer / sizeof buffer[0], reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::wstring ItemOf(HWND list, int index) {
    const LRESULT length = Ask(list, CB_GETLBTEXTLEN, index);
    if (length < 0 || length > 500) return L"<none>";
    wchar_t buffer[512] = L"";
    Ask(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

// Collects mismatches, prints each as it is found.
struct Findings {
    int count = 0;
    void Mismatch(const std::string& what, const std::string& got, const std::string& expected) {
        ++count;
        std::printf("mismatch: %s: got %s, expected %s\n", what.c_str(), got.c_str(), expected.c_str());
    }
    void Compare(const std::string& what, long long got, long long expected, const char* format = "%lld") {
        if (got == expected) return;
        char g[32], e[32];
        std::snprintf(g, sizeof g, format, got);
        std::snprintf(e, sizeof e, format, expected);
        Mismatch(what, g, e);
    }
    void CompareText(const std::string& what, const std::wstring& got, const std::wstring& expected) {
        if (got != expected) Mismatch(what, Printable(got), Printable(expected));
    }
    static void Note(const std::string& what) { std::printf("note: %s\n", what.c_str()); }
};

std::string Describe(const char* format, int value) {
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string RectText(const RECT& r) {
    char text[64];
    std::snprintf(text, sizeof text, "(%ld,%ld %ldx%ld)", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return text;
}

RECT ClientRectOf(HWND control, HWND parent) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void CheckMainWindow(HWND main, Findings& found) {
    // The bytes as the program gave them (the system's code page is 1252 here).
    const char expectedTitle[] = "Seriell I/O Steuerung 8-Bit";
    char title[256] = "";
    GetWindowTextA(main, title, sizeof title);
    if (std::strcmp(title, expectedTitle) != 0)
        found.Mismatch("window title", Printable(FromWindows1252(title)), Printable(FromWindows1252(expectedTitle)));
    const DWORD style = static_cast<DWORD>(GetWindowLongW(main, GWL_STYLE));
    found.Compare("window style", style & ~MainStyleAdded, MainStyle, "0x%08llX");
    found.Compare("window extended style", static_cast<DWORD>(GetWindowLongW(main, GWL_EXSTYLE)) & ~MainExStyleAdded,
                  0, "0x%08llX");
    RECT outer;
    GetWindowRect(main, &outer);
    found.Compare("window left", outer.left, MainPosition.x);
    found.Compare("window top", outer.top, MainPosition.y);
    RECT client;
    GetClientRect(main, &client);
    found.Compare("client width", client.right, MainClientSize.cx);
    found.Compare("client height", client.bottom, MainClientSize.cy);
    found.Compare("menu", GetMenu(main) != nullptr, 0);
}

// The font. Under Wine another process gets no answer to WM_GETFONT; where
// it gets one, it must be the stock DEFAULT_GUI_FONT.
void CheckFont(HWND control, const std::string& what, Findings& found, int& unreadable) {
    const LRESULT font = Ask(control, WM_GETFONT);
    if (font == 0 || font == -1) {
        ++unreadable;
        return;
    }
    if (reinterpret_cast<HGDIOBJ>(font) != GetStockObject(DEFAULT_GUI_FONT))
        found.Mismatch(what + " font", Describe("0x%X", static_cast<int>(font)), "DEFAULT_GUI_FONT");
}

// A combo box sets the height of its closed field from its font. A combo box
// of the same style made here with DEFAULT_GUI_FONT must be as high as the
// program's; one with the system font tells whether this says anything.
void CheckListFieldHeight(HWND list, Findings& found) {
    RECT r;
    GetWindowRect(list, &r);
    const int got = r.bottom - r.top;
    HWND probe = CreateWindowExA(WS_EX_CLIENTEDGE, "ComboBox", "", CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL,
                                 0, 0, 80, ListDropHeight, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (probe == nullptr) {
        Findings::Note("could not make a combo box to compare the port list's font with");
        return;
    }
    GetWindowRect(probe, &r);
    const int systemFont = r.bottom - r.top;
    SendMessageA(probe, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    GetWindowRect(probe, &r);
    const int guiFont = r.bottom - r.top;
    DestroyWindow(probe);
    found.Compare("port list field height (set by its font: DEFAULT_GUI_FONT)", got, guiFont);
    if (guiFont == systemFont)
        Findings::Note("the system font gives the port list the same height: its font is not told apart");
}

// The drop-down list of a combo box: a window of class ComboLBox of the same
// thread. (GetComboBoxInfo does not reach into another process under Wine.)
HWND DropDownListOf(HWND list) {
    struct Search {
        static BOOL CALLBACK Visit(HWND window, LPARAM found) {
            char windowClass[32] = "";
            GetClassNameA(window, windowClass, sizeof windowClass);
            if (lstrcmpiA(windowClass, "ComboLBox") != 0) return TRUE;
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
    };
    HWND found = nullptr;
    EnumThreadWindows(GetWindowThreadProcessId(list, nullptr), Search::Visit, reinterpret_cast<LPARAM>(&found));
    if (found == nullptr) EnumChildWindows(list, Search::Visit, reinterpret_cast<LPARAM>(&found));
    return found;
}

// The style bits a combo box hands to its drop-down list must be on one of
// the two; the list's border is the combo box's own doing, so only its
// scroll bar tells what the program asked for.
void CheckPortListStyle(HWND list, const ExpectedControl& want, Findings& found) {
    const DWORD style = static_cast<DWORD>(GetWindowLongW(list, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(list, GWL_EXSTYLE));
    HWND drop = DropDownListOf(list);
    const bool haveInfo = drop != nullptr;
    const DWORD dropStyle = haveInfo ? static_cast<DWORD>(GetWindowLongW(drop, GWL_STYLE)) : 0;
    found.Compare("control 38 style", style & ~ListMovedStyle, want.style & ~ListMovedStyle, "0x%08llX");
    if ((style & WS_VSCROLL) == 0) {
        if (!haveInfo)
            Findings::Note("WS_VSCROLL is off the port list and its drop-down list cannot be found");
        else if ((dropStyle & WS_VSCROLL) == 0)
            found.Mismatch("control 38 WS_VSCROLL", "on neither the port list nor its drop-down list", "on one");
        else
            Findings::Note("WS_VSCROLL and WS_BORDER: the system moved them to the drop-down list");
    }
    found.Compare("control 38 extended style", exStyle & ~ListMovedExStyle, want.exStyle & ~ListMovedExStyle,
                  "0x%08llX");
    if ((exStyle & ListMovedExStyle) == 0)
        Findings::Note("WS_EX_CLIENTEDGE: the system took it off the port list, which draws its own edge");
}

void CheckPortItems(HWND list, Findings& found) {
    found.Compare("port list item count", Ask(list, CB_GETCOUNT), PortCount);
    for (int index = 0; index < PortCount; ++index) {
        wchar_t name[16];
        std::swprintf(name, sizeof name / sizeof name[0], L"Com%d", index + 1);
        found.CompareText(Describe("port list item %d", index), ItemOf(list, index), name);
    }
    found.Compare("port list selection", Ask(list, CB_GETCURSEL), StartPortIndex);
    found.CompareText("port list text", TextOf(list), L"Com3");
    // The height dropped down (CB_GETDROPPEDCONTROLRECT) would need a
    // pointer into this process, which Wine does not carry across.
    Findings::Note("the port list's height dropped down is not checked from another process");
}

void CheckControls(HWND main, Findings& found) {
    const std::vector<ExpectedControl> controls = ExpectedControls();
    // The children in Z order, which is the order of their creation.
    std::vector<int> order;
    for (HWND child = GetWindow(main, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        order.push_back(GetDlgCtrlID(child));
    std::string gotOrder, wantOrder;
    for (int id : order) gotOrder += Describe(" %d", id);
    for (const ExpectedControl& c : controls) wantOrder += Describe(" %d", c.id);
    if (gotOrder != wantOrder) found.Mismatch("controls in creation order", "[" + gotOrder + " ]", "[" + wantOrder + " ]");

    int unreadableFonts = 0;
    for (const ExpectedControl& want : controls) {
        const std::string name = Describe("control %d", want.id);
        HWND control = GetDlgItem(main, want.id);
        if (control == nullptr) {
            found.Mismatch(name, "missing", "present");
            continue;
        }
        char windowClass[64] = "";
        GetClassNameA(control, windowClass, sizeof windowClass);
        found.CompareText(name + " class", FromWindows1252(windowClass), FromWindows1252(want.windowClass));
        RECT rect = ClientRectOf(control, main);
        if (want.id == PortListId) {
            // The field's height is the system's; 400 is the dropped-down list.
            CheckPortListStyle(control, want, found);
            rect.bottom = rect.top + (want.rect.bottom - want.rect.top);
        } else {
            found.Compare(name + " style", static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE)), want.style,
                          "0x%08llX");
            found.Compare(name + " extended style", static_cast<DWORD>(GetWindowLongW(control, GWL_EXSTYLE)),
                          want.exStyle, "0x%08llX");
            found.CompareText(name + " text", TextOf(control), FromWindows1252(want.text));
        }
        if (!EqualRect(&rect, &want.rect)) found.Mismatch(name + " rectangle", RectText(rect), RectText(want.rect));
        const bool shouldTakeInput = (want.style & WS_DISABLED) == 0;
        found.Compare(name + " enabled", IsWindowEnabled(control) != 0, shouldTakeInput);
        CheckFont(control, name, found, unreadableFonts);
    }
    if (unreadableFonts > 0)
        Findings::Note(Describe("WM_GETFONT gets no answer from another process for %d controls: their fonts "
                                "are not checked here", unreadableFonts));
    HWND list = GetDlgItem(main, PortListId);
    if (list != nullptr) {
        CheckListFieldHeight(list, found);
        CheckPortItems(list, found);
    }
}

// check-layout TITLE: the window and every control against the tables above.
int CheckLayout(char** args) {
    HWND main = FindOrComplain(args[0]);
    if (main == nullptr) return 1;
    Findings found;
    CheckMainWindow(main, found);
    CheckControls(main, found);
    std::printf("%s: %d mismatch(es)\n", found.count == 0 ? "layout ok" : "layout wrong", found.count);
    return found.count == 0 ? 0 : 1;
}

// The check marks of eight boxes as a byte, bit 0 from the box of D0.
int BoxesByte(HWND main, const int (&boxes)[8]) {
    int byte = 0;
    for (int bit = 0; bit < 8; ++bit) {
        HWND box = GetDlgItem(main, boxes[bit]);
        if (box != nullptr && Ask(box, BM_GETCHECK) == BST_CHECKED) byte |= 1 << bit;
    }
    return byte;
}

// boxes TITLE: prints the check marks of both rows.
int Boxes(char** args) {
    HWND main = FindOrComplain(args[0]);
    if (main == nullptr) return 1;
    std::printf("outputs %02X inputs %02X\n", BoxesByte(main, OutputBox), BoxesByte(main, InputBox));
    return 0;
}

// wait-inputs TITLE HH SECONDS: until the input boxes show the byte HH.
int WaitInputs(char** args) {
    HWND main = FindOrComplain(args[0]);
    if (main == nullptr) return 1;
    const int want = static_cast<int>(std::strtol(args[1], nullptr, 16));
    const DWORD limit = Milliseconds(args[2]);
    int got = -1;
    for (DWORD waited = 0;; waited += StepMs) {
        got = BoxesByte(main, InputBox);
        if (got == want) return 0;
        if (waited >= limit) break;
        Sleep(StepMs);
    }
    std::fprintf(stderr, "uiauto: input boxes show %02X, expected %02X within %s s\n", got, want, args[2]);
    return 1;
}

// set-check TITLE ID 0|1: puts a check mark as the program itself would
// (BM_SETCHECK); for tests that need marks the board did not give.
int SetCheck(char** args) {
    HWND main = FindOrComplain(args[0]);
    if (main == nullptr) return 1;
    HWND box = ControlOrComplain(main, args[0], args[1]);
    if (box == nullptr) return 1;
    Ask(box, BM_SETCHECK, std::atoi(args[2]) != 0 ? BST_CHECKED : BST_UNCHECKED);
    return 0;
}

// The control of the main window that has the keyboard focus, by the window
// thread's own account: its identifier, "none" when the focus is on the main
// window itself or nowhere, "other" when it is on some other window.
std::string FocusOf(HWND main) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info)) return "unknown";
    if (info.hwndFocus == nullptr || info.hwndFocus == main) return "none";
    for (HWND w = info.hwndFocus; w != nullptr; w = GetParent(w))
        if (GetParent(w) == main) return Describe("%d", GetDlgCtrlID(w));
    return "other";
}

// focus TITLE: prints the focused control.
int Focus(char** args) {
    HWND main = FindOrComplain(args[0]);
    if (main == nullptr) return 1;
    std::printf("focus %s\n", FocusOf(main).c_str());
    return 0;
}

// Real input: events put into the system's input queue as the keyboard and
// the mouse put them, which reach the window under the pointer or the one
// with the focus and pass through that program's own message loop with the
// key state they carry (Shift+Tab needs it).
struct NamedKey {
    const char* name;
    WORD key;
    bool shift;
};
const NamedKey NamedKeys[] = {
    {"tab", VK_TAB, false},   {"shift+tab", VK_TAB, true}, {"space", VK_SPACE, false},
    {"down", VK_DOWN, false}, {"up", VK_UP, false},        {"home", VK_HOME, false},
    {"end", VK_END, false},   {"enter", VK_RETURN, false}, {"escape", VK_ESCAPE, false},
};

INPUT KeyEvent(WORD key, bool up) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = key;
    in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return in;
}

bool TypeKey(const NamedKey& key) {
    std::vector<INPUT> events;
    if (key.shift) events.push_back(KeyEvent(VK_SHIFT, false));
    events.push_back(KeyEvent(key.key, false));
    events.push_back(KeyEvent(key.key, true));
    if (key.shift) events.push_back(KeyEvent(VK_SHIFT, true));
    return SendInput(static_cast<UINT>(events.size()), events.data(), sizeof(INPUT)) == events.size();
}

const NamedKey* FindKey(const char* name) {
    for (const NamedKey& key : NamedKeys)
        if (std::strcmp(key.name, name) == 0) return &key;
    std::fprintf(stderr, "uiauto: no key named \"%s\"\n", name);
    return nullptr;
}

// Keys go to the foreground window's focus, so the window is brought there
// first, as a user would click it.
bool BringForward(HWND window) {
    for (DWORD waited = 0; waited <= 2000; waited += StepMs) {
        if (GetForegroundWindow() == window) return true;
        SetForegroundWindow(window);
        Sleep(StepMs);
    }
    std::fprintf(stderr, "uiauto: cannot bring the window to the foreground\n");
    return false;
}

// A left click in the middle of a window, through the mouse's own queue.
bool ClickWindow(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    int x = (r.left + r.right) / 2;
    const int y = (r.top + r.bottom) / 2;
    // Two clicks on one spot in quick succession make a double click, which
    // a combo box ignores: a click where the pointer already is goes a little
    // to the side, still inside the window.
    POINT pointer;
    const int nearX = GetSystemMetrics(SM_CXDOUBLECLK), nearY = GetSystemMetrics(SM_CYDOUBLECLK);
    if (GetCursorPos(&pointer) && std::abs(pointer.x - x) <= nearX && std::abs(pointer.y - y) <= nearY)
        x += x + nearX + 1 < r.right ? nearX + 1 : -(nearX + 1);
    INPUT events[3] = {};
    for (INPUT& in : events) {
        in.type = INPUT_MOUSE;
        in.mi.dx = (x * 65536 + width / 2) / width;
        in.mi.dy = (y * 65536 + height / 2) / height;
        in.mi.dwFlags = MOUSEEVENTF_ABSOLUTE;
    }
    events[0].mi.dwFlags |= MOUSEEVENTF_MOVE;
    events[1].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
    events[2].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
    return SendInput(3, events, sizeof(INPUT)) == 3;
}

// press TITLE ID: a mouse click on the control, e.g. the SetComPort button
// or the error box's OK.
int Press(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    HWND control = ControlOrComplain(window, args[0], args[1]);
    if (control == nullptr || !BringForward(window)) return 1;
    return ClickWindow(control) ? 0 : 1;
}

// toggle TITLE ID: a mouse click on a check box, and the wait until its mark
// has turned over.
int Toggle(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    HWND box = ControlOrComplain(window, args[0], args[1]);
    if (box == nullptr || !BringForward(window)) return 1;
    const LRESULT before = Ask(box, BM_GETCHECK);
    if (!ClickWindow(box)) return 1;
    for (DWORD waited = 0; waited <= 5000; waited += StepMs) {
        if (Ask(box, BM_GETCHECK) != before) return 0;
        Sleep(StepMs);
    }
    std::fprintf(stderr, "uiauto: check box %s did not change on a click\n", args[1]);
    return 1;
}

// key TITLE KEY: one key (tab, shift+tab, space, down, up, home, end, enter,
// escape) typed into the window.
int Key(char** args) {
    HWND window = FindOrComplain(args[0]);
    const NamedKey* key = FindKey(args[1]);
    if (window == nullptr || key == nullptr || !BringForward(window)) return 1;
    return TypeKey(*key) ? 0 : 1;
}

// walk TITLE KEY COUNT: types the key COUNT times and prints the focused
// control after each, waiting for the focus to move (at most a second).
int Walk(char** args) {
    HWND main = FindOrComplain(args[0]);
    const NamedKey* key = FindKey(args[1]);
    if (main == nullptr || key == nullptr || !BringForward(main)) return 1;
    const int count = std::atoi(args[2]);
    std::printf("focus %s:", FocusOf(main).c_str());
    for (int i = 0; i < count; ++i) {
        const std::string before = FocusOf(main);
        if (!TypeKey(*key)) return 1;
        std::string now = before;
        for (DWORD waited = 0; waited <= 1000 && now == before; waited += 10) {
            Sleep(10);
            now = FocusOf(main);
        }
        std::printf(" %s", now.c_str());
    }
    std::printf("\n");
    return 0;
}

// choose TITLE ITEM: picks an item of the port list the way a user does
// with mouse and keyboard: a click drops the list down, Home or End and the
// arrow keys go to the item, Enter takes it.
int Choose(char** args) {
    HWND main = FindOrComplain(args[0]);
    if (main == nullptr) return 1;
    HWND list = GetDlgItem(main, PortListId);
    const std::wstring item = FromWindows1252(args[1]);
    const int count = static_cast<int>(Ask(list, CB_GETCOUNT));
    int index = -1;
    for (int i = 0; i < count && index < 0; ++i)
        if (ItemOf(list, i) == item) index = i;
    if (index < 0) {
        std::fprintf(stderr, "uiauto: the port list has no item \"%s\"\n", args[1]);
        return 1;
    }
    if (!BringForward(main) || !ClickWindow(list)) return 1;
    for (DWORD waited = 0; Ask(list, CB_GETDROPPEDSTATE) != TRUE; waited += StepMs) {
        if (waited >= 5000) {
            std::fprintf(stderr, "uiauto: a click did not drop the port list down\n");
            return 1;
        }
        Sleep(StepMs);
    }
    const bool fromTop = index <= count - 1 - index;
    bool typed = TypeKey(*FindKey(fromTop ? "home" : "end"));
    const int steps = fromTop ? index : count - 1 - index;
    for (int i = 0; i < steps; ++i) typed = typed && TypeKey(*FindKey(fromTop ? "down" : "up"));
    typed = typed && TypeKey(*FindKey("enter"));
    if (!typed) return 1;
    for (DWORD waited = 0; waited <= 5000; waited += StepMs) {
        if (Ask(list, CB_GETDROPPEDSTATE) == FALSE && Ask(list, CB_GETCURSEL) == index) return 0;
        Sleep(StepMs);
    }
    std::fprintf(stderr, "uiauto: the port list shows %s, not \"%s\"\n", Printable(TextOf(list)).c_str(), args[1]);
    return 1;
}

// The error box of a port that cannot be opened.
const char ErrorCaption[] = "Fehlermeldung";
const char ErrorText[] = "COM-Schnittstelle kann nicht ge\xF6" "ffnet werden!";

// error-box TITLE SECONDS: waits for the error box, then checks its caption,
// text, single OK button and missing icon, and that the main window TITLE
// takes no input while it shows.
int ErrorBox(char** args) {
    const DWORD limit = Milliseconds(args[1]);
    HWND box = nullptr;
    for (DWORD waited = 0; (box = FindTitled(ErrorCaption)) == nullptr; waited += StepMs) {
        if (waited >= limit) {
            std::fprintf(stderr, "uiauto: no error box within %s s\n", args[1]);
            return 1;
        }
        Sleep(StepMs);
    }
    Findings found;
    wchar_t caption[128] = L"";
    GetWindowTextW(box, caption, 128);
    found.CompareText("error box caption", caption, FromWindows1252(ErrorCaption));
    std::vector<std::wstring> texts;
    std::string buttons;
    int icons = 0;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        char windowClass[64] = "";
        GetClassNameA(child, windowClass, sizeof windowClass);
        const DWORD style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
        if (lstrcmpiA(windowClass, "Button") == 0)
            buttons += Describe(" %d", GetDlgCtrlID(child)) + "=" + Printable(TextOf(child));
        else if (lstrcmpiA(windowClass, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
            // Wine keeps an empty icon field in every box; only an image in it counts.
            const LRESULT icon = Ask(child, STM_GETICON);
            if (icon != 0 && icon != -1) ++icons;
        }
        else if (lstrcmpiA(windowClass, "Static") == 0 && !TextOf(child).empty())
            texts.push_back(TextOf(child));
    }
    if (texts.size() != 1)
        found.Mismatch("error box texts", Describe("%d", static_cast<int>(texts.size())), "1");
    else
        found.CompareText("error box text", texts[0], FromWindows1252(ErrorText));
    if (buttons != " 1=\"OK\"") found.Mismatch("error box buttons", "[" + buttons + " ]", "[ 1=\"OK\" ]");
    found.Compare("error box icons", icons, 0);
    HWND main = FindTitled(args[0]);
    if (main == nullptr) found.Mismatch("main window", "missing", "present");
    else found.Compare("main window enabled while the error box shows", IsWindowEnabled(main) != 0, 0);
    std::printf("error box %s: %d mismatch(es)\n", found.count == 0 ? "ok" : "wrong", found.count);
    return found.count == 0 ? 0 : 1;
}

// screenshot TITLE FILE: the window as it stands on the screen, frame and
// all, saved as a 24-bit BMP.
int Screenshot(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    RECT r;
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    const bool copied = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != 0;
    GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    const DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageSize;
    HANDLE out = copied ? CreateFileA(args[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                        : INVALID_HANDLE_VALUE;
    DWORD done = 0;
    bool written = out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof file, &done, nullptr) &&
                   WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &done, nullptr) &&
                   WriteFile(out, bits, imageSize, &done, nullptr) && done == imageSize;
    if (out != INVALID_HANDLE_VALUE) written = CloseHandle(out) && written;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!written) {
        std::fprintf(stderr, "uiauto: cannot %s\n", copied ? "write the picture" : "copy the screen");
        return 1;
    }
    std::printf("%dx%d at (%ld,%ld)\n", width, height, r.left, r.top);
    return 0;
}

struct Command {
    const char* name;
    int argCount;
    const char* usage;
    int (*run)(char** args);
};

const Command Commands[] = {
    {"wait", 2, "wait TITLE SECONDS     until a window with that title exists", Wait},
    {"gone", 2, "gone TITLE SECONDS     until no window with that title exists", Gone},
    {"absent", 2, "absent TITLE SECONDS   no window with that title appears meanwhile", Absent},
    {"close", 1, "close TITLE            post WM_CLOSE to the window", Close},
    {"click", 2, "click TITLE ID         send BM_CLICK to its button with control id ID", Click},
    {"dismiss", 3, "dismiss TITLE ID SECONDS  click button ID, wait until that window is gone", Dismiss},
    {"enabled", 2, "enabled TITLE 0|1      the window is disabled (0) or enabled (1)", Enabled},
    {"check-layout", 1, "check-layout TITLE     the main window and its controls against their tables", CheckLayout},
    {"boxes", 1, "boxes TITLE            print the output and input boxes' check marks as bytes", Boxes},
    {"wait-inputs", 3, "wait-inputs TITLE HH SECONDS  until the input boxes show the byte HH", WaitInputs},
    {"set-check", 3, "set-check TITLE ID 0|1 set a box's check mark as the program would", SetCheck},
    {"focus", 1, "focus TITLE            print the control with the keyboard focus", Focus},
    {"press", 2, "press TITLE ID         a mouse click on control ID", Press},
    {"toggle", 2, "toggle TITLE ID        a mouse click on check box ID, until its mark turns", Toggle},
    {"key", 2, "key TITLE KEY          type tab, shift+tab, space, down, up, home, end, enter or escape", Key},
    {"walk", 3, "walk TITLE KEY COUNT   type KEY COUNT times, print the focus after each", Walk},
    {"choose", 2, "choose TITLE ITEM      pick ITEM in the port list with mouse and keys", Choose},
    {"error-box", 2, "error-box TITLE SECONDS  wait for the port error box and check it and TITLE", ErrorBox},
    {"screenshot", 2, "screenshot TITLE FILE  save the window as it stands on the screen as a BMP", Screenshot},
};

int Usage() {
    std::fprintf(stderr, "usage: uiauto COMMAND ARG...\n");
    for (const Command& command : Commands) std::fprintf(stderr, "  %s\n", command.usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    for (const Command& command : Commands) {
        if (std::strcmp(argv[1], command.name) != 0) continue;
        if (argc - 2 != command.argCount) return Usage();
        return command.run(argv + 2);
    }
    return Usage();
}
