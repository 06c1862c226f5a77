// The poll cycle: every 100 ms the output boxes go out to the 4094 and the
// 4021's inputs come back into the input boxes.
#include "app.h"
#include "ids.h"
#include "shiftlink.h"

namespace {

// The two boxes of each bit, bit 0 (D0) first. Both rows carry D7 at the left,
// so the box identifiers fall as the bits rise.
struct BitBoxes {
    int output;
    int input;
};
const BitBoxes BoxesOfBit[8] = {
    {IdOutD0, IdInD0}, {IdOutD1, IdInD1}, {IdOutD2, IdInD2}, {IdOutD3, IdInD3},
    {IdOutD4, IdInD4}, {IdOutD5, IdInD5}, {IdOutD6, IdInD6}, {IdOutD7, IdInD7},
};

}  // namespace

VOID CALLBACK PollTick(HWND, UINT, UINT_PTR, DWORD) {
    OutputByte = 0;
    for (int32_t bit = 0; bit < 8; ++bit) {
        // Only a plain check counts: an indeterminate answer is not a 1.
        if (SendDlgItemMessageA(MainWindow, BoxesOfBit[bit].output, BM_GETCHECK, 0, 0) == BST_CHECKED)
            OutputByte += 1 << bit;
    }
    ShiftExchange();
    // Every box is written on every poll, so a bit that went back to 0 clears
    // its box, and with no port all boxes clear.
    for (int32_t bit = 0; bit < 8; ++bit) {
        const WPARAM state = (InputByte & (1 << bit)) != 0 ? BST_CHECKED : BST_UNCHECKED;
        SendDlgItemMessageA(MainWindow, BoxesOfBit[bit].input, BM_SETCHECK, state, 0);
    }
}
