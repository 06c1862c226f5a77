// The program: startup, the event loop, the port change with its error box,
// and the exit. One thread does everything; polls run only inside the loop's
// dispatch of the poll timer's message.
#include "app.h"
#include "ids.h"

int32_t PendingPortChanges = 0;
bool CloseRequested = false;
bool LoopDispatching = false;

namespace {

const char ErrorCaption[] = "Fehlermeldung";
// "geöffnet": the o-umlaut is 0xF6 in Windows-1252; the literal is split so
// that the 'f' after it is not read as a further hex digit.
const char ErrorText[] = "COM-Schnittstelle kann nicht ge\xF6" "ffnet werden!";

// Tab and Shift+Tab move the focus through the controls (see MoveFocus).
ACCEL FocusKeys[] = {
    {FVIRTKEY, VK_TAB, CmdFocusNext},
    {FVIRTKEY | FSHIFT, VK_TAB, CmdFocusPrevious},
};

void StartPolling() { SetTimer(MainWindow, PollTimerId, PollPeriodMs, PollTick); }

// The box belongs to the window the user was working in when it is one of
// ours; otherwise it has no owner, and the main window is disabled by hand so
// that it takes no input while the box is up.
void ShowPortError() {
    HWND owner = GetForegroundWindow();
    DWORD process = 0;
    if (owner != nullptr) GetWindowThreadProcessId(owner, &process);
    if (process != GetCurrentProcessId()) owner = nullptr;
    if (owner != MainWindow) EnableWindow(MainWindow, FALSE);
    MessageBoxA(owner, ErrorText, ErrorCaption, MB_OK);
    if (owner != MainWindow) EnableWindow(MainWindow, TRUE);
}

// Closes before it opens, so the port already open is opened anew. After a
// failure polling stays stopped until a later change succeeds.
void ChangePort() {
    StopPolling();
    OpenSelectedPort();
    if (PortHandle <= 0) {
        ShowPortError();
        return;
    }
    StartPolling();
}

void RunEventLoop(HACCEL accelerators) {
    MSG message;
    for (;;) {
        // 0 is WM_QUIT and -1 a broken wait: either way no close request
        // could ever arrive, so the program ends as if it had.
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) return;
        LoopDispatching = true;
        if (GetActiveWindow() != MainWindow || !TranslateAcceleratorA(MainWindow, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        LoopDispatching = false;
        // Presses that arrive during a change (in the error box's loop) are
        // counted and performed here in turn. Once the user has asked to
        // close, no further port is opened and no error box shown.
        while (PendingPortChanges > 0 && !CloseRequested) {
            --PendingPortChanges;
            ChangePort();
        }
        if (CloseRequested) return;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    BuildMainWindow();
    // Without its window the program could never be closed: every step that
    // follows needs it. It ends at once, with the exit code it always has.
    if (MainWindow == nullptr) return 0;
    OpenSelectedPort();  // at startup a port that does not open is not reported
    StartPolling();
    const HACCEL accelerators =
        CreateAcceleratorTableA(FocusKeys, static_cast<int>(sizeof FocusKeys / sizeof FocusKeys[0]));
    RunEventLoop(accelerators);
    StopPolling();
    DestroyWindow(MainWindow);
    DestroyAcceleratorTable(accelerators);
    ExitProcess(0);
}
