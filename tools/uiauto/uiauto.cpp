// uiauto: drives top-level windows of another program from outside, by
// their exact titles, as a user or an accessibility tool would.
//
//     uiauto COMMAND ARG...
//
// Exit code 0 when the command did what it says, 1 when it did not (a
// window missing or a wait run out), 2 for a wrong command line. What went
// wrong is printed on stderr. Each command is one row of the table below.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const DWORD StepMs = 50;

// Finds the visible or hidden top-level window with exactly this title.
HWND FindTitled(const char* title) { return FindWindowA(nullptr, title); }

HWND FindOrComplain(const char* title) {
    HWND window = FindTitled(title);
    if (window == nullptr) std::fprintf(stderr, "uiauto: no window titled \"%s\"\n", title);
    return window;
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
    HWND button = GetDlgItem(window, std::atoi(args[1]));
    if (button == nullptr) {
        std::fprintf(stderr, "uiauto: \"%s\" has no control %s\n", args[0], args[1]);
        return 1;
    }
    SendMessageA(button, BM_CLICK, 0, 0);
    return 0;
}

// dismiss TITLE ID SECONDS: clicks button ID of the window, then waits until
// that very window is destroyed (another with the same title may follow it).
int Dismiss(char** args) {
    HWND window = FindOrComplain(args[0]);
    if (window == nullptr) return 1;
    HWND button = GetDlgItem(window, std::atoi(args[1]));
    if (button == nullptr) {
        std::fprintf(stderr, "uiauto: \"%s\" has no control %s\n", args[0], args[1]);
        return 1;
    }
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
