// Drives the program's main window from another process for the load and
// fault tests, one command per line, so that hundreds of port changes or
// round trips cost one Wine start and not one each.
//
//     panelrun.exe
//
// Reads commands from standard input and answers each with one line:
//
//     attach SECONDS          ->  "attached <pid>": waits for the main window
//     out HH                  ->  "ok": output boxes set to the byte HH (hex)
//     in                      ->  "in HH": the input boxes as a byte
//     ping COUNT GAP TIMEOUT  ->  "ping <ok> <failed> <median us> <max us>":
//                                 COUNT round trips of WM_NULL to the main
//                                 window, GAP ms apart, each allowed TIMEOUT ms
//     changes COUNT GOOD BAD  ->  "changes <done> <boxes> <ms> <good ms> <bad
//                                 ms>": COUNT port changes alternating ComGOOD
//                                 and ComBAD, and the time spent in each kind;
//                                 each change to BAD must bring the error box,
//                                 which is pressed away, each change to GOOD none
//     quit, or end of input   ->  ends with exit code 0
//
// A command that cannot be done is answered with "error <why>".
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char MainTitle[] = "Seriell I/O Steuerung 8-Bit";
const char ErrorTitle[] = "Fehlermeldung";
const int PortListId = 38;
const int SetComPortId = 39;
const int OkButtonId = 1;
const UINT SendTimeoutMs = 10000;

HWND Main = nullptr;
DWORD MainProcess = 0;

// The output box of bit b is 8 - b, its input box 27 - b.
int OutputBox(int bit) { return 8 - bit; }
int InputBox(int bit) { return 27 - bit; }

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result = nullptr,
          UINT timeoutMs = SendTimeoutMs) {
    DWORD_PTR answer = 0;
    const bool ok = SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &answer) != 0;
    if (result != nullptr) *result = answer;
    return ok;
}

bool SendItem(int id, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result = nullptr) {
    HWND item = GetDlgItem(Main, id);
    return item != nullptr && Send(item, message, wParam, lParam, result);
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The program's error box: a top-level window of its process with that title.
HWND FindErrorBox() {
    HWND box = FindWindowA(nullptr, ErrorTitle);
    DWORD owner = 0;
    if (box != nullptr) GetWindowThreadProcessId(box, &owner);
    return owner == MainProcess ? box : nullptr;
}

std::string Attach(char* args) {
    const double limit = NowMs() + std::atof(args) * 1000.0;
    // The window is shown before its controls are made; the button is made
    // last, so with it every control is there.
    while ((Main = FindWindowA(nullptr, MainTitle)) == nullptr || GetDlgItem(Main, SetComPortId) == nullptr) {
        if (NowMs() > limit) return "error no main window with its controls";
        Sleep(50);
    }
    GetWindowThreadProcessId(Main, &MainProcess);
    char answer[64];
    std::snprintf(answer, sizeof answer, "attached %lu", static_cast<unsigned long>(MainProcess));
    return answer;
}

std::string SetOutputs(char* args) {
    const unsigned long byte = std::strtoul(args, nullptr, 16);
    for (int bit = 0; bit < 8; ++bit) {
        const WPARAM state = (byte >> bit) & 1 ? BST_CHECKED : BST_UNCHECKED;
        if (!SendItem(OutputBox(bit), BM_SETCHECK, state, 0)) return "error output box did not answer";
    }
    return "ok";
}

std::string GetInputs(char*) {
    unsigned byte = 0;
    for (int bit = 0; bit < 8; ++bit) {
        DWORD_PTR state = 0;
        if (!SendItem(InputBox(bit), BM_GETCHECK, 0, 0, &state)) return "error input box did not answer";
        if (state == BST_CHECKED) byte |= 1u << bit;
    }
    char answer[16];
    std::snprintf(answer, sizeof answer, "in %02X", byte);
    return answer;
}

std::string Ping(char* args) {
    int count = 0, gapMs = 0, timeoutMs = 0;
    if (std::sscanf(args, "%d %d %d", &count, &gapMs, &timeoutMs) != 3) return "error ping COUNT GAP TIMEOUT";
    std::vector<double> trips;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const double start = NowMs();
        if (Send(Main, WM_NULL, 0, 0, nullptr, static_cast<UINT>(timeoutMs))) {
            trips.push_back((NowMs() - start) * 1000.0);
        } else {
            ++failed;
        }
        if (gapMs > 0) Sleep(static_cast<DWORD>(gapMs));
    }
    std::sort(trips.begin(), trips.end());
    const double median = trips.empty() ? 0 : trips[trips.size() / 2];
    const double most = trips.empty() ? 0 : trips.back();
    char answer[96];
    std::snprintf(answer, sizeof answer, "ping %d %d %.0f %.0f", static_cast<int>(trips.size()), failed, median, most);
    return answer;
}

// One port change: the list set to ComNUMBER, the button pressed. Returns ""
// when it went as expected, else what went wrong.
std::string ChangePort(int number, bool expectBox, int& boxes) {
    if (!SendItem(PortListId, CB_SETCURSEL, static_cast<WPARAM>(number - 1), 0)) return "port list did not answer";
    if (!SendItem(SetComPortId, BM_CLICK, 0, 0)) return "SetComPort did not answer";
    // The first round trip may be served before the program has taken up the
    // press; by the second one the change has run, or its error box is up.
    for (int trip = 0; trip < 2; ++trip) {
        if (!Send(Main, WM_NULL, 0, 0)) return "main window did not answer";
    }
    if (!expectBox) {
        if (FindErrorBox() != nullptr) return "error box after a change to a port that exists";
        return "";
    }
    HWND box = nullptr;
    const double limit = NowMs() + 10000.0;
    while ((box = FindErrorBox()) == nullptr) {
        if (NowMs() > limit) return "no error box within 10 s";
        Sleep(5);
    }
    ++boxes;
    HWND ok = GetDlgItem(box, OkButtonId);
    if (ok == nullptr) return "error box without its OK button";
    Send(ok, BM_CLICK, 0, 0);
    while (IsWindow(box)) {
        if (NowMs() > limit) return "error box still up 10 s after OK";
        Sleep(5);
    }
    return "";
}

std::string Changes(char* args) {
    int count = 0, good = 0, bad = 0;
    if (std::sscanf(args, "%d %d %d", &count, &good, &bad) != 3) return "error changes COUNT GOOD BAD";
    int boxes = 0;
    const double start = NowMs();
    double spent[2] = {0, 0};
    for (int i = 0; i < count; ++i) {
        const bool toBad = i % 2 == 1;
        const double before = NowMs();
        const std::string why = ChangePort(toBad ? bad : good, toBad, boxes);
        spent[toBad] += NowMs() - before;
        if (!why.empty()) {
            char answer[160];
            std::snprintf(answer, sizeof answer, "error change %d (Com%d): %s", i + 1, toBad ? bad : good,
                          why.c_str());
            return answer;
        }
    }
    char answer[96];
    std::snprintf(answer, sizeof answer, "changes %d %d %.0f %.0f %.0f", count, boxes, NowMs() - start, spent[0],
                  spent[1]);
    return answer;
}

struct Command {
    const char* name;
    std::string (*run)(char* args);
    bool needsWindow;
};

const Command Commands[] = {
    {"attach", Attach, false}, {"out", SetOutputs, true}, {"in", GetInputs, true},
    {"ping", Ping, true},      {"changes", Changes, true},
};

}  // namespace

int main() {
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        char* args = std::strchr(line, ' ');
        if (args != nullptr) *args++ = '\0';
        else args = line + std::strlen(line);
        if (std::strcmp(line, "quit") == 0) break;
        std::string answer = "error unknown command " + std::string(line);
        for (const Command& command : Commands) {
            if (std::strcmp(line, command.name) != 0) continue;
            answer = command.needsWindow && Main == nullptr ? "error not attached" : command.run(args);
        }
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    return 0;
}
