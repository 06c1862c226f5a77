// One exchange with the board: the order of the line operations, the bits at
// the board's pins, and every minimum wait, in virtual time.
#include "board.h"
#include "comport.h"
#include "fixture.h"
#include "shiftlink.h"

#include <cstdint>
#include <vector>

using fakecomm::Op;

namespace {

// A line operation of the exchange as the driver saw it.
struct LineOp {
    enum Kind { RtsOn, RtsOff, TxdOn, TxdOff, DtrOn, DtrOff, ReadDcd, Other } kind;
    int64_t time;
};

LineOp::Kind KindOf(const fakecomm::Call& call) {
    if (call.op == Op::GetCommModemStatus) return LineOp::ReadDcd;
    if (call.op != Op::EscapeCommFunction) return LineOp::Other;
    switch (call.arg1) {
    case SETRTS: return LineOp::RtsOn;
    case CLRRTS: return LineOp::RtsOff;
    case SETBREAK: return LineOp::TxdOn;
    case CLRBREAK: return LineOp::TxdOff;
    case SETDTR: return LineOp::DtrOn;
    case CLRDTR: return LineOp::DtrOff;
    default: return LineOp::Other;
    }
}

const char* const KindNames[] = {"RTS on", "RTS off", "TXD on", "TXD off", "DTR on", "DTR off", "read DCD", "?"};

std::vector<LineOp> LineOps() {
    std::vector<LineOp> ops;
    for (const fakecomm::Call& call : fakecomm::Calls()) ops.push_back({KindOf(call), call.time});
    return ops;
}

std::string Describe(const std::vector<LineOp::Kind>& kinds) {
    std::string out;
    for (LineOp::Kind k : kinds) out += std::string(KindNames[k]) + ", ";
    return out;
}

// The 36 operations in the order the board needs them, for one output byte.
std::vector<LineOp::Kind> ExpectedOrder(int32_t output) {
    std::vector<LineOp::Kind> kinds = {LineOp::RtsOn, LineOp::RtsOff};
    for (int bit = 0; bit < 8; ++bit) {
        kinds.push_back((output >> bit) & 1 ? LineOp::TxdOn : LineOp::TxdOff);
        kinds.push_back(LineOp::ReadDcd);
        kinds.push_back(LineOp::DtrOn);
        kinds.push_back(LineOp::DtrOff);
    }
    kinds.push_back(LineOp::RtsOn);
    kinds.push_back(LineOp::RtsOff);
    return kinds;
}

class ExchangeTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        port = &fakecomm::AddPort("\\\\.\\Com3");
        port->board = &board;
        PortHandle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
        ASSERT_GT(PortHandle, 0);
        // The driver raised DTR when it applied the settings; an exchange
        // leaves it off, as every later exchange finds it.
        ComSetDTR(PortHandle, 0);
        OutputByte = 0;
        InputByte = 0;
        fakecomm::ClearCalls();
    }
    void TearDown() override {
        if (PortHandle > 0) ComClose(PortHandle);
        PortHandle = 0;
    }
    Board board;
    fakecomm::Port* port = nullptr;
};

TEST_F(ExchangeTest, The36LineOperationsComeInOrderLeastSignificantBitFirst) {
    for (int32_t output : {0x00, 0x01, 0x80, 0xA5, 0x5A, 0xFF}) {
        SCOPED_TRACE(::testing::Message() << "OutputByte 0x" << std::hex << output);
        fakecomm::ClearCalls();
        OutputByte = output;
        EXPECT_EQ(ShiftExchange(), 0);
        std::vector<LineOp::Kind> got;
        for (const LineOp& op : LineOps()) got.push_back(op.kind);
        ASSERT_EQ(got.size(), 36u);
        EXPECT_EQ(Describe(got), Describe(ExpectedOrder(output)));
        for (const fakecomm::Call& call : fakecomm::Calls()) EXPECT_EQ(call.handle, PortHandle);
    }
}

struct PinCase {
    int32_t output;
    uint8_t pins;  // 4094 Q1..Q8 as bits 0..7
};

TEST_F(ExchangeTest, The4094OutputsHoldTheOutputByteAfterTheStrobe) {
    const PinCase cases[] = {
        {0x00, 0x00}, {0x01, 0x80},   // D0 alone: Q8
        {0x80, 0x01},                 // D7 alone: Q1
        {0xA5, 0xA5}, {0x0F, 0xF0}, {0xFF, 0xFF},
        {0x1A5, 0xA5},                // bit 8 is ignored
        {-1, 0xFF},
    };
    for (const PinCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "OutputByte 0x" << std::hex << c.output);
        OutputByte = c.output;
        ShiftExchange();
        EXPECT_EQ(board.out.outputs, c.pins) << "pins Q1..Q8 as bits 0..7";
        EXPECT_EQ(BoardOutputByte(board), c.output & 0xFF);
        EXPECT_EQ(BoardOutputPin(board, 8), (c.output & 1) != 0) << "D0 at Q8";
        EXPECT_EQ(BoardOutputPin(board, 1), (c.output & 0x80) != 0) << "D7 at Q1";
        // RTS and DTR rest off; TXD keeps bit 7 until the next exchange.
        EXPECT_FALSE(port->rts);
        EXPECT_FALSE(port->dtr);
        EXPECT_EQ(port->brk, (c.output & 0x80) != 0);
    }
}

TEST_F(ExchangeTest, TxdHoldsBitKAtTheKthRisingEdge) {
    for (int32_t output : {0x01, 0x80, 0x96}) {
        SCOPED_TRACE(::testing::Message() << "OutputByte 0x" << std::hex << output);
        fakecomm::ClearCalls();
        OutputByte = output;
        const long clocksBefore = board.risingClocks;
        const bool txdBefore = port->brk;
        ShiftExchange();
        bool txd = txdBefore;
        int edge = 0;
        for (const LineOp& op : LineOps()) {
            if (op.kind == LineOp::TxdOn) txd = true;
            if (op.kind == LineOp::TxdOff) txd = false;
            if (op.kind == LineOp::DtrOn) {
                EXPECT_EQ(txd, ((output >> edge) & 1) != 0) << "at rising edge " << edge;
                ++edge;
            }
        }
        EXPECT_EQ(edge, 8);
        EXPECT_EQ(board.risingClocks - clocksBefore, 8) << "the board saw eight rising edges";
    }
}

TEST_F(ExchangeTest, InputByteIsThe4021sInputs) {
    for (int value : {0x00, 0x01, 0x02, 0x80, 0xA5, 0x5A, 0xFF}) {
        SCOPED_TRACE(::testing::Message() << "inputs 0x" << std::hex << value);
        BoardSetInputByte(board, static_cast<uint8_t>(value));
        InputByte = 0x1234;  // stale bits must not survive
        ShiftExchange();
        EXPECT_EQ(InputByte, value);
    }
}

TEST_F(ExchangeTest, DcdOnOnlyAtTheReadOfBitKGivesTwoToTheK) {
    port->board = nullptr;
    for (int k = -1; k < 9; ++k) {
        SCOPED_TRACE(::testing::Message() << "DCD on at read " << k);
        port->modemSequence.clear();
        for (int read = 0; read < 8; ++read) {
            const bool on = k == 8 || read == k;  // k = 8: on at every read, k = -1: at none
            port->modemSequence.push_back(on ? MS_RLSD_ON : MS_CTS_ON | MS_DSR_ON | MS_RING_ON);
        }
        ShiftExchange();
        const int32_t expected = k == 8 ? 255 : k < 0 ? 0 : 1 << k;
        EXPECT_EQ(InputByte, expected);
        EXPECT_TRUE(port->modemSequence.empty()) << "each bit is one reading";
    }
}

TEST_F(ExchangeTest, ALoopbackBoardReturnsThePreviousOutputByte) {
    board.loopback = true;
    const int32_t sequence[] = {0x3C, 0xC3, 0x01, 0x80, 0x00, 0xFF};
    int32_t previous = 0;
    for (int32_t output : sequence) {
        SCOPED_TRACE(::testing::Message() << "OutputByte 0x" << std::hex << output);
        OutputByte = output;
        ShiftExchange();
        EXPECT_EQ(InputByte, previous);
        previous = output;
    }
}

// ---- Without a port --------------------------------------------------------

TEST_F(ExchangeTest, WithoutAPortNoLineMovesAndInputsReadZero) {
    port->modemStatus = 0xFFFFFFFFu;
    ComClose(PortHandle);
    for (int32_t handle : {0, -1}) {
        SCOPED_TRACE(::testing::Message() << "PortHandle " << handle);
        PortHandle = handle;
        OutputByte = 0xFF;
        InputByte = 0xFF;
        fakecomm::ClearCalls();
        const long clocks = board.risingClocks;
        const int64_t start = fakeclock::Now();
        ShiftExchange();
        EXPECT_EQ(InputByte, 0);
        EXPECT_EQ(board.risingClocks, clocks);
        EXPECT_EQ(board.out.outputs, 0);
        // -1 is caught in the library, 0 is refused by the driver.
        EXPECT_EQ(fakecomm::Calls().size(), handle == -1 ? 0u : 36u);
        for (const fakecomm::Call& call : fakecomm::Calls()) EXPECT_EQ(call.result, FALSE);
        EXPECT_GE((fakeclock::Now() - start) / 10, 200) << "the waits run all the same (us)";
    }
    PortHandle = 0;
}

// ---- Timing ----------------------------------------------------------------

// The gaps between consecutive line operations, in microseconds of virtual
// time, checked against what must lie between them: a minimum wait, or no
// wait at all.
struct Gap {
    LineOp::Kind from, to;
    int64_t atLeastUs;  // 0: the next operation follows at once
};

const Gap Gaps[] = {
    {LineOp::RtsOn, LineOp::RtsOff, 20},     // load and strobe pulse width
    {LineOp::RtsOff, LineOp::TxdOn, 0},      // the first bit follows the load at once
    {LineOp::RtsOff, LineOp::TxdOff, 0},
    {LineOp::TxdOn, LineOp::ReadDcd, 0},
    {LineOp::TxdOff, LineOp::ReadDcd, 0},
    {LineOp::ReadDcd, LineOp::DtrOn, 10},    // data setup
    {LineOp::DtrOn, LineOp::DtrOff, 10},     // clock high time
    {LineOp::DtrOff, LineOp::TxdOn, 0},
    {LineOp::DtrOff, LineOp::TxdOff, 0},
    {LineOp::DtrOff, LineOp::RtsOn, 0},      // the strobe follows the eighth clock at once
};

struct ClockCase {
    int64_t start;
    int64_t frequency;
    int64_t step;  // counts per reading
};

TEST_F(ExchangeTest, EveryMinimumWaitHoldsAndNoOtherWaitIsAdded) {
    const ClockCase clocks[] = {
        {0, 10000000, 1},
        {(int64_t{1} << 32) - 500, 10000000, 3},  // crosses 2^32 during the exchange
        {(int64_t{1} << 31) - 700, 3579545, 1},
        {int64_t{1} << 52, 1000000000, 37},
    };
    for (const ClockCase& clock : clocks) {
        SCOPED_TRACE(::testing::Message() << "counter from " << clock.start << " at " << clock.frequency << " Hz");
        fakeclock::Start(clock.start, clock.frequency, clock.step);
        fakecomm::ClearCalls();
        OutputByte = 0x5A;
        const int64_t begin = fakeclock::Now();
        ShiftExchange();
        const int64_t end = fakeclock::Now();
        const std::vector<LineOp> ops = LineOps();
        ASSERT_EQ(ops.size(), 36u);
        auto us = [&](int64_t counts) { return counts * 1000000 / clock.frequency; };
        for (size_t i = 0; i + 1 < ops.size(); ++i) {
            const Gap* rule = nullptr;
            for (const Gap& gap : Gaps) {
                if (gap.from == ops[i].kind && gap.to == ops[i + 1].kind) rule = &gap;
            }
            ASSERT_NE(rule, nullptr) << "unexpected step " << KindNames[ops[i].kind] << " -> "
                                     << KindNames[ops[i + 1].kind];
            const int64_t counts = ops[i + 1].time - ops[i].time;
            if (rule->atLeastUs == 0) {
                EXPECT_EQ(counts, 0) << KindNames[ops[i].kind] << " -> " << KindNames[ops[i + 1].kind]
                                     << " at operation " << i;
            } else {
                EXPECT_GE(us(counts), rule->atLeastUs) << KindNames[ops[i].kind] << " -> "
                                                       << KindNames[ops[i + 1].kind] << " at operation " << i;
            }
        }
        // TXD is set before the setup wait, so it too leads the edge by 10 us.
        for (size_t i = 0; i + 2 < ops.size(); ++i) {
            if (ops[i].kind == LineOp::TxdOn || ops[i].kind == LineOp::TxdOff) {
                EXPECT_GE(us(ops[i + 2].time - ops[i].time), 10);
            }
        }
        EXPECT_GE(us(end - begin), 200);
    }
}

TEST_F(ExchangeTest, DriverTimeAddsToTheWaitsWithoutShorteningThem) {
    port->requestCost = 5000;  // 500 us per request at 10 MHz, as a slow adapter
    OutputByte = 0xA5;
    const int64_t begin = fakeclock::Now();
    ShiftExchange();
    EXPECT_EQ(BoardOutputByte(board), 0xA5);
    EXPECT_GE((fakeclock::Now() - begin) / 10, 200 + 36 * 500);
}

}  // namespace
