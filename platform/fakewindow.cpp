// The stand-in's main window: check boxes and texts by control identifier.
#include "fakewindow.h"

#include <algorithm>
#include <cstring>
#include <map>

struct HWND__ {
    int unused;
};

namespace {

HWND__ TheWindow;

std::map<int, WPARAM> Boxes;
std::map<int, std::string> Texts;
std::vector<fakewindow::SetCall> Sets;
std::vector<UINT_PTR> Killed;

}  // namespace

namespace fakewindow {

void Reset() {
    Boxes.clear();
    Texts.clear();
    Sets.clear();
    Killed.clear();
}

HWND Window() { return &TheWindow; }

void SetCheck(int id, WPARAM state) { Boxes[id] = state; }

long Check(int id) {
    auto box = Boxes.find(id);
    return box == Boxes.end() ? -1 : static_cast<long>(box->second);
}

void SetText(int id, const std::string& text) { Texts[id] = text; }

const std::vector<SetCall>& SetCalls() { return Sets; }
void ClearCalls() { Sets.clear(); }

const std::vector<UINT_PTR>& KilledTimers() { return Killed; }

}  // namespace fakewindow

LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    if (dialog != &TheWindow) return 0;
    if (message == BM_GETCHECK || message == BM_SETCHECK) {
        auto box = Boxes.find(id);
        if (box == Boxes.end()) return 0;
        if (message == BM_GETCHECK) return static_cast<LRESULT>(box->second);
        Sets.push_back({id, wParam});
        box->second = wParam;
        return 0;
    }
    if (message == WM_GETTEXT) {
        auto text = Texts.find(id);
        char* out = reinterpret_cast<char*>(lParam);
        if (text == Texts.end() || wParam == 0 || out == nullptr) return 0;
        // Like the real controls: at most wParam - 1 characters and a NUL.
        const size_t length = std::min<size_t>(text->second.size(), wParam - 1);
        std::memcpy(out, text->second.data(), length);
        out[length] = '\0';
        return static_cast<LRESULT>(length);
    }
    return 0;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id) {
    if (window != &TheWindow) return FALSE;
    Killed.push_back(id);
    return TRUE;
}
