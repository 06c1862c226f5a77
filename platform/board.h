// A model of the shift-register board: a CD4094 (8 outputs) and a CD4021
// (8 inputs) on four lines of a serial port. It sees only line levels, like
// the real board, and is used by the unit tests behind the fake driver and by
// the virtual board under Wine.
//
//      RTS ---> 4094 STR  and 4021 P/S
//      DTR ---> 4094 CLK  and 4021 CLK
//      TXD ---> 4094 DATA      (break = 1)
//      DCD <--- 4021 Q8
//
// Shift stages are held as a byte whose bit n-1 is stage n, so the 4094's
// output Qn and the 4021's input Pn are bit n-1. Data goes in at stage 1 and
// moves up; the 4021's serial output is stage 8. Shifted in least significant
// bit first, D0 ends at Q8 and D7 at Q1; read out the same way, D0 comes from
// P8 and D7 from P1.
#ifndef SERIO8_BOARD_H
#define SERIO8_BOARD_H

#include <cstdint>

struct Cd4094 {
    uint8_t stages = 0;
    uint8_t outputs = 0;  // Q1..Q8: follow the stages while STR is high
    bool clock = false;
    bool strobe = false;
};

struct Cd4021 {
    uint8_t stages = 0;
    uint8_t inputs = 0;    // P1..P8: taken in while P/S is high
    bool serialIn = false; // SER, tied low on the board
    bool clock = false;
    bool parallel = false; // P/S
};

struct Board {
    Cd4094 out;
    Cd4021 in;
    bool loopback = false;  // 4094 Qn wired to 4021 Pn
    bool txd = false;
    long risingClocks = 0;  // rising DTR edges seen, for tests
};

// Applies the levels of the three output lines (true = on; TXD on is the break).
void BoardDrive(Board& board, bool rts, bool dtr, bool txd);

// The level at DCD: the 4021's last stage.
bool BoardDcd(const Board& board);

// The 4094's output pins Q1..Q8 read as D7..D0, i.e. the byte that the last
// strobe put out.
uint8_t BoardOutputByte(const Board& board);

// Sets the 4021's input pins P1..P8 from a byte D7..D0.
void BoardSetInputByte(Board& board, uint8_t value);

// Level of 4094 output pin Qn, n = 1..8.
bool BoardOutputPin(const Board& board, int n);

// Bit order between a D7..D0 byte and pins 1..8: D0 is pin 8, D7 pin 1.
uint8_t BoardPinsFromByte(uint8_t value);

#endif
