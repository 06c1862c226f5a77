// The shift-register link: one exchange of an output byte for an input byte
// with the board's CD4094 and CD4021 over four lines of the serial port.
#ifndef SERIO8_SHIFTLINK_H
#define SERIO8_SHIFTLINK_H

#include <cstdint>

// The values the exchange works on. They belong to the control panel, which
// defines them (app/globals.cpp): PortHandle is the open port (0 or less: no
// port), OutputByte the bits to send and InputByte the bits received, bit 0 =
// D0 and bit 7 = D7; bits above 7 of OutputByte are ignored.
extern int32_t PortHandle;
extern int32_t OutputByte;
extern int32_t InputByte;

// Sends bits 0..7 of OutputByte to the 4094's outputs and reads the 4021's
// eight inputs into InputByte, both least significant bit first. Lasts at
// least 200 us (busy waits) plus 36 driver requests. Examines no result: with
// no port the lines do not move and InputByte comes out 0. Returns 0.
int32_t ShiftExchange();

// Busy-waits until the performance counter shows that at least `microseconds`
// have passed, never sleeping or yielding; 0 or less returns after one
// reading. Falls back to the standard steady clock when the counter's
// frequency cannot be had or the counter does not answer. Returns 0.
int32_t DelayMicroseconds(int32_t microseconds);

#endif
