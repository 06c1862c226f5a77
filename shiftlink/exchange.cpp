// One exchange with the shift-register board.
//
// The board, as wired to the port (DB9 pin numbers of the PC's plug). The
// level conversion must not invert: each output line reaches its CMOS input
// through a 10 kOhm resistor with a 5.1 V zener to ground, so an asserted line
// (+5..+12 V) is a 1 and a cleared one (negative) a 0; DCD takes the 4021's
// 0/5 V output directly. An inverting shifter (MAX232) would turn every pulse
// upside down.
//
//      DB9 pin 7  RTS  ----> 4094 STR (1)    and 4021 P/S (9)
//      DB9 pin 4  DTR  ----> 4094 CLK (3)    and 4021 CLK (10)
//      DB9 pin 3  TXD  ----> 4094 DATA (2)        (break = space = +V = 1)
//      DB9 pin 1  DCD  <---- 4021 Q8 (3)
//      DB9 pin 5  GND  ----- GND
//
//      4094 Q1..Q8 = D7..D0 (outputs)     4021 P1..P8 = D7..D0 (inputs)
//
// Both registers shift on the rising DTR edge. The RTS pulse before the bits
// (load) makes the 4021 take its parallel inputs, so that D0 stands at Q8 -
// and so at DCD - when the pulse ends; the RTS pulse after them (strobe) lets
// the 4094 pass the eight bits just shifted in to its outputs. Since one line
// serves both chips, each pulse also acts on the other chip: the load pulse
// strobes the 4094 again with what it already holds, the strobe pulse loads
// the 4021, which the next load pulse does again.
#include "shiftlink.h"

#include "comport.h"

namespace {

// Minimum times, in microseconds. Each line operation adds its own time.
const int32_t PulseWidth = 20;     // RTS on, load and strobe
const int32_t DataSetup = 10;      // TXD set and DCD read to DTR on
const int32_t ClockHighTime = 10;  // DTR on to DTR off

void PulseRts() {
    ComSetRTS(PortHandle, 1);
    DelayMicroseconds(PulseWidth);
    ComSetRTS(PortHandle, 0);
}

}  // namespace

int32_t ShiftExchange() {
    PulseRts();  // load: the 4021 takes D0..D7, D0 is now at DCD
    InputByte = 0;
    for (int32_t bit = 0; bit < 8; ++bit) {
        const int32_t mask = 1 << bit;
        ComSetTXD(PortHandle, (OutputByte & mask) != 0 ? 1 : 0);
        // DCD shows this bit before the rising edge shifts the next one in.
        if (ComGetDCD(PortHandle) == 1) InputByte += mask;
        DelayMicroseconds(DataSetup);
        ComSetDTR(PortHandle, 1);
        DelayMicroseconds(ClockHighTime);
        ComSetDTR(PortHandle, 0);
    }
    PulseRts();  // strobe: the 4094's outputs take the eight bits
    return 0;
}
