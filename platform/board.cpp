// The CD4094/CD4021 board model.
#include "board.h"

namespace {

void TakeParallelInputs(Board& board) {
    board.in.stages = board.loopback ? board.out.outputs : board.in.inputs;
}

}  // namespace

uint8_t BoardPinsFromByte(uint8_t value) {
    uint8_t pins = 0;
    for (int d = 0; d < 8; ++d) {
        if (value & (1u << d)) pins |= static_cast<uint8_t>(1u << (7 - d));  // Dd -> pin 8-d -> bit 7-d
    }
    return pins;
}

void BoardDrive(Board& board, bool rts, bool dtr, bool txd) {
    const bool rising = dtr && !board.out.clock;
    board.txd = txd;
    if (rising) {
        ++board.risingClocks;
        board.out.stages = static_cast<uint8_t>((board.out.stages << 1) | (txd ? 1 : 0));
    }
    board.out.clock = dtr;
    board.out.strobe = rts;
    if (board.out.strobe) board.out.outputs = board.out.stages;

    // P/S high loads asynchronously and blocks the clock; low lets the rising
    // edge shift towards Q8.
    board.in.parallel = rts;
    if (board.in.parallel) {
        TakeParallelInputs(board);
    } else if (rising) {
        board.in.stages = static_cast<uint8_t>((board.in.stages << 1) | (board.in.serialIn ? 1 : 0));
    }
    board.in.clock = dtr;
}

bool BoardDcd(const Board& board) {
    // While P/S is high the stages follow the inputs, which may have changed
    // since the last line change.
    if (board.in.parallel) {
        const uint8_t stages = board.loopback ? board.out.outputs : board.in.inputs;
        return (stages & 0x80) != 0;
    }
    return (board.in.stages & 0x80) != 0;
}

uint8_t BoardOutputByte(const Board& board) {
    return BoardPinsFromByte(board.out.outputs);  // the mapping is its own inverse
}

void BoardSetInputByte(Board& board, uint8_t value) {
    board.in.inputs = BoardPinsFromByte(value);
    if (board.in.parallel && !board.loopback) board.in.stages = board.in.inputs;
}

bool BoardOutputPin(const Board& board, int n) {
    return n >= 1 && n <= 8 && (board.out.outputs & (1u << (n - 1))) != 0;
}
