// Serial data: time-outs, block transfers, queue counts, XON/XOFF characters
// and the line-status word, against the recording driver.
#include "comport.h"
#include "fixture.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using fakecomm::Op;

namespace {

class DataTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        port = &fakecomm::AddPort("\\\\.\\Com3");
        handle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
        ASSERT_GT(handle, 0);
        opened = port->timeouts;
        fakecomm::ClearCalls();
    }
    fakecomm::Port* port = nullptr;
    int32_t handle = 0;
    COMMTIMEOUTS opened{};  // what ComOpen installed
};

std::string Hex(const void* data, size_t size) {
    std::string out;
    char byte[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, "%02x ", static_cast<const unsigned char*>(data)[i]);
        out += byte;
    }
    return out;
}

std::string Describe(const COMMTIMEOUTS& t) {
    return "interval " + std::to_string(t.ReadIntervalTimeout) + ", read " +
           std::to_string(t.ReadTotalTimeoutMultiplier) + "/byte + " + std::to_string(t.ReadTotalTimeoutConstant) +
           ", write " + std::to_string(t.WriteTotalTimeoutMultiplier) + "/byte + " +
           std::to_string(t.WriteTotalTimeoutConstant);
}

// ---- Every operation, reduced to its handle ----------------------------------

unsigned char Block[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct OpCase {
    const char* name;
    int32_t (*call)(int32_t handle);
    std::vector<Op> onOpenPort;  // the requests it makes on a good port
};

const OpCase AllOps[] = {
    {"ComSetTimeouts", [](int32_t h) { return ComSetTimeouts(h, 1, 2, 3, 4, 5); }, {Op::SetCommTimeouts}},
    {"ComWrite", [](int32_t h) { return ComWrite(h, Block, 4); }, {Op::WriteFile}},
    {"ComRead", [](int32_t h) { return ComRead(h, Block, 4); }, {Op::ReadFile}},
    {"ComInQueue", [](int32_t h) { return ComInQueue(h); }, {Op::ClearCommError}},
    {"ComOutQueue", [](int32_t h) { return ComOutQueue(h); }, {Op::ClearCommError}},
    {"ComSetXonXoffChars", [](int32_t h) { return ComSetXonXoffChars(h, 0x11, 0x13); },
     {Op::GetCommState, Op::SetCommState}},
    {"ComLineStatus", [](int32_t h) { return ComLineStatus(h); }, {Op::ClearCommError}},
};

TEST_F(DataTest, MinusOneReachesNoDriverAndEveryOperationAnswersZero) {
    port->errors = CE_FRAME;  // something every query would report
    port->holds.fCtsHold = 1;
    port->received = {1, 2, 3};
    for (const OpCase& c : AllOps) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(-1), 0);
        EXPECT_TRUE(fakecomm::Calls().empty()) << DescribeCalls(fakecomm::Calls());
    }
}

TEST_F(DataTest, ZeroAndClosedHandlesGoToTheDriverWhichRefusesThem) {
    port->received = {1, 2, 3};
    port->outQueue = 5;
    port->errors = CE_FRAME;
    const int32_t closed = handle;
    ASSERT_NE(ComClose(closed), 0);
    for (int32_t h : {0, closed}) {
        for (const OpCase& c : AllOps) {
            SCOPED_TRACE(::testing::Message() << c.name << " on handle " << h);
            fakecomm::ClearCalls();
            EXPECT_EQ(c.call(h), 0);
            const auto& calls = fakecomm::Calls();
            ASSERT_EQ(calls.size(), 1u) << DescribeCalls(calls);  // a refused GetCommState ends ComSetXonXoffChars
            EXPECT_EQ(calls[0].op, c.onOpenPort[0]);
            EXPECT_EQ(calls[0].handle, h);
        }
    }
}

TEST_F(DataTest, OnAGoodPortEachOperationMakesItsOwnRequestsOnly) {
    for (const OpCase& c : AllOps) {
        SCOPED_TRACE(c.name);
        fakecomm::ClearCalls();
        c.call(handle);
        EXPECT_EQ(OpsOf(fakecomm::Calls()), c.onOpenPort) << DescribeCalls(fakecomm::Calls());
        for (const fakecomm::Call& call : fakecomm::Calls()) EXPECT_EQ(call.handle, handle);
    }
}

// ---- Time-outs --------------------------------------------------------------

struct TimeoutCase {
    const char* name;
    int32_t args[5];        // readInterval, readConstant, readMultiplier, writeConstant, writeMultiplier
    COMMTIMEOUTS expected;  // in the record's own order: interval, read mult, read const, write mult, write const
};

TEST_F(DataTest, SetTimeoutsPutsEachConstantBeforeItsMultiplier) {
    const TimeoutCase cases[] = {
        {"distinct values", {1, 2, 3, 4, 5}, {1, 3, 2, 5, 4}},
        {"zeros", {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"-1 passes as all bits", {-1, 0, 0, -1, 7}, {0xFFFFFFFFu, 0, 0, 7, 0xFFFFFFFFu}},
        {"-1 in each read field", {0, -1, -1, 0, 0}, {0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0}},
        {"large", {INT32_MAX, INT32_MIN, 60000, 1, 2}, {0x7FFFFFFFu, 60000, 0x80000000u, 2, 1}},
    };
    for (const TimeoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        fakecomm::ClearCalls();
        EXPECT_NE(ComSetTimeouts(handle, c.args[0], c.args[1], c.args[2], c.args[3], c.args[4]), 0);
        const auto sets = fakecomm::CallsOf(Op::SetCommTimeouts);
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(Describe(sets[0].timeouts), Describe(c.expected));
        EXPECT_EQ(Describe(port->timeouts), Describe(c.expected));
    }
}

TEST_F(DataTest, SetTimeoutsWithTheOpeningValuesRestoresWhatComOpenInstalled) {
    ASSERT_NE(ComSetTimeouts(handle, 0, 0, 0, 0, 0), 0);
    ASSERT_NE(ComSetTimeouts(handle, 100, 100, 10, 10, 100), 0);
    EXPECT_EQ(Describe(port->timeouts), Describe(opened));
    EXPECT_EQ(Describe(port->timeouts), Describe({100, 10, 100, 100, 10}));
}

TEST_F(DataTest, ARefusedSetTimeoutsGivesZero) {
    port->failTimeouts = true;
    EXPECT_EQ(ComSetTimeouts(handle, 1, 2, 3, 4, 5), 0);
    EXPECT_EQ(Describe(port->timeouts), Describe(opened));
}

// ---- Block transfers ------------------------------------------------------

struct WriteCase {
    const char* name;
    int32_t length;
    long writeLimit;  // bytes the driver takes before its time-out, -1: all
    bool fail;
    int32_t result;
};

TEST_F(DataTest, WriteIsOneOnlyWhenEveryByteLeft) {
    const WriteCase cases[] = {
        {"complete", 16, -1, false, 1},
        {"one byte", 1, -1, false, 1},
        {"short: time-out after 10 of 16", 16, 10, false, 0},
        {"short: one byte missing", 16, 15, false, 0},
        {"nothing left before the time-out", 16, 0, false, 0},
        {"refused", 16, -1, true, 0},
        {"empty block", 0, -1, false, 1},
        {"empty block refused", 0, -1, true, 0},  // 0 of 0 written, yet the driver said no
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        port->sent.clear();
        port->writeLimit = c.writeLimit;
        port->failWrite = c.fail;
        fakecomm::ClearCalls();
        EXPECT_EQ(ComWrite(handle, Block, c.length), c.result);
        const auto& calls = fakecomm::Calls();
        ASSERT_EQ(OpsOf(calls), std::vector<Op>{Op::WriteFile}) << DescribeCalls(calls) << "nothing is retried";
        EXPECT_EQ(calls[0].buffer, static_cast<const void*>(Block)) << "the caller's buffer goes to the driver";
        EXPECT_EQ(calls[0].arg1, static_cast<DWORD>(c.length));
        EXPECT_FALSE(calls[0].overlapped);
        const size_t left = c.fail ? 0 : c.writeLimit < 0 ? c.length : std::min<long>(c.writeLimit, c.length);
        EXPECT_EQ(Hex(port->sent.data(), port->sent.size()), Hex(Block, left));
    }
}

struct ReadCase {
    const char* name;
    int32_t length;
    size_t waiting;  // bytes that arrive before the time-out
    bool fail;
    bool success;
};

TEST_F(DataTest, ReadPassesTheDriversSuccessWhateverTheCount) {
    const ReadCase cases[] = {
        {"all arrive", 8, 8, false, true},
        {"more wait than asked for", 4, 8, false, true},
        {"fewer arrive", 8, 3, false, true},
        {"none arrive", 8, 0, false, true},
        {"empty block", 0, 5, false, true},
        {"refused", 8, 8, true, false},
    };
    const unsigned char incoming[8] = {0xC0, 0x01, 0xFF, 0x00, 0x11, 0x13, 0x0D, 0x0A};
    for (const ReadCase& c : cases) {
        for (unsigned char fill : {0x00, 0xff}) {
            SCOPED_TRACE(::testing::Message() << c.name << ", buffer filled with " << int(fill));
            port->received.assign(incoming, incoming + c.waiting);
            port->failRead = c.fail;
            unsigned char buffer[8];
            std::memset(buffer, fill, sizeof buffer);
            fakecomm::ClearCalls();
            const int32_t result = ComRead(handle, buffer, c.length);
            EXPECT_EQ(result != 0, c.success) << "got " << result;
            const auto& calls = fakecomm::Calls();
            ASSERT_EQ(OpsOf(calls), std::vector<Op>{Op::ReadFile}) << DescribeCalls(calls);
            EXPECT_EQ(calls[0].buffer, static_cast<const void*>(buffer));
            EXPECT_EQ(calls[0].arg1, static_cast<DWORD>(c.length));
            EXPECT_FALSE(calls[0].overlapped);
            // The bytes that came, then the buffer as it was.
            unsigned char expected[8];
            std::memset(expected, fill, sizeof expected);
            const size_t got = c.fail ? 0 : std::min<size_t>(c.waiting, static_cast<size_t>(c.length));
            std::memcpy(expected, incoming, got);
            EXPECT_EQ(Hex(buffer, sizeof buffer), Hex(expected, sizeof expected));
        }
    }
}

TEST_F(DataTest, LengthsTheDriverCannotTakeAreRefusedBeforeIt) {
    struct Case {
        const char* name;
        int32_t (*call)(int32_t handle);
    };
    const Case cases[] = {
        {"write -1 bytes", [](int32_t h) { return ComWrite(h, Block, -1); }},
        {"write INT32_MIN bytes", [](int32_t h) { return ComWrite(h, Block, INT32_MIN); }},
        {"write 4 bytes from NULL", [](int32_t h) { return ComWrite(h, nullptr, 4); }},
        {"read -1 bytes", [](int32_t h) { return ComRead(h, Block, -1); }},
        {"read INT32_MIN bytes", [](int32_t h) { return ComRead(h, Block, INT32_MIN); }},
        {"read 4 bytes into NULL", [](int32_t h) { return ComRead(h, nullptr, 4); }},
    };
    port->received = {1, 2, 3, 4};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(handle), 0);
        EXPECT_TRUE(fakecomm::Calls().empty()) << DescribeCalls(fakecomm::Calls());
    }
    EXPECT_NE(ComWrite(handle, nullptr, 0), 0) << "an empty block needs no buffer";
}

// ---- Queue counts and failed queries ----------------------------------------

TEST_F(DataTest, QueueCountsComeFromTheDriversReport) {
    port->received = {1, 2, 3, 4, 5, 6, 7};
    port->outQueue = 42;
    EXPECT_EQ(ComInQueue(handle), 7);
    EXPECT_EQ(ComOutQueue(handle), 42);
    port->received.clear();
    port->outQueue = 0;
    EXPECT_EQ(ComInQueue(handle), 0);
    EXPECT_EQ(ComOutQueue(handle), 0);
}

TEST_F(DataTest, ARefusedQueryGivesZeroFromAllThree) {
    // The driver scribbles 0xFF over the records it refused to fill.
    port->received = {1, 2, 3};
    port->outQueue = 9;
    port->errors = CE_FRAME;
    port->holds.fXoffHold = 1;
    port->failClearError = true;
    int32_t (*const queries[])(int32_t) = {ComInQueue, ComOutQueue, ComLineStatus};
    for (auto query : queries) {
        fakecomm::ClearCalls();
        EXPECT_EQ(query(handle), 0) << DescribeCalls(fakecomm::Calls());
    }
}

// ---- XON/XOFF characters -----------------------------------------------------

struct CharCase {
    int32_t xon, xoff;
    unsigned char xonChar, xoffChar;
};

TEST_F(DataTest, XonXoffCharsTakeTheLowBytesAndChangeNothingElse) {
    const CharCase cases[] = {
        {0x111, 0x213, 0x11, 0x13}, {0x13, 0x11, 0x13, 0x11}, {0, 0xFF, 0x00, 0xFF},
        {-1, 0x80, 0xFF, 0x80},     {0x7FFFFF41, INT32_MIN, 0x41, 0x00},
    };
    for (unsigned char fill : {0x00, 0xff}) {
        for (const CharCase& c : cases) {
            SCOPED_TRACE(::testing::Message() << std::hex << "xon 0x" << c.xon << ", xoff 0x" << c.xoff
                                              << ", block filled with 0x" << int(fill));
            DCB before;
            std::memset(&before, fill, sizeof before);
            port->dcb = before;
            fakecomm::ClearCalls();
            EXPECT_NE(ComSetXonXoffChars(handle, c.xon, c.xoff), 0);
            const auto sets = fakecomm::CallsOf(Op::SetCommState);
            ASSERT_EQ(sets.size(), 1u) << DescribeCalls(fakecomm::Calls());
            DCB expected = before;
            expected.XonChar = static_cast<char>(c.xonChar);
            expected.XoffChar = static_cast<char>(c.xoffChar);
            EXPECT_EQ(Hex(&sets[0].dcb, sizeof(DCB)), Hex(&expected, sizeof expected));
        }
    }
}

TEST_F(DataTest, XonXoffCharsLeaveThePortAloneWhenItsStateCannotBeRead) {
    port->failGetState = true;
    const DCB before = port->dcb;
    EXPECT_EQ(ComSetXonXoffChars(handle, 0x41, 0x42), 0);
    EXPECT_EQ(OpsOf(fakecomm::Calls()), std::vector<Op>{Op::GetCommState}) << DescribeCalls(fakecomm::Calls());
    EXPECT_EQ(Hex(&port->dcb, sizeof(DCB)), Hex(&before, sizeof before));
}

TEST_F(DataTest, XonXoffCharsGiveZeroWhenTheBlockIsRefused) {
    port->failSetState = true;
    EXPECT_EQ(ComSetXonXoffChars(handle, 0x41, 0x42), 0);
}

// ---- Line-status word -------------------------------------------------------

// COMSTAT flags by their bit in the record, fCtsHold first.
enum : unsigned { Cts = 1, Dsr = 2, Rlsd = 4, XoffHold = 8, XoffSent = 16, Eof = 32, Txim = 64 };

COMSTAT Holds(unsigned flags, bool reserved = false) {
    COMSTAT stat{};
    stat.fCtsHold = (flags & Cts) != 0;
    stat.fDsrHold = (flags & Dsr) != 0;
    stat.fRlsdHold = (flags & Rlsd) != 0;
    stat.fXoffHold = (flags & XoffHold) != 0;
    stat.fXoffSent = (flags & XoffSent) != 0;
    stat.fEof = (flags & Eof) != 0;
    stat.fTxim = (flags & Txim) != 0;
    stat.fReserved = reserved ? 0x1FFFFFFu : 0;
    return stat;
}

struct StatusCase {
    const char* name;
    DWORD errors;
    unsigned flags;
    int32_t word;
    bool reserved = false;
};

TEST_F(DataTest, LineStatusWordBitForBit) {
    const StatusCase cases[] = {
        {"nothing to report", 0, 0, 0x0000},
        {"framing error while XOFF holds", CE_FRAME, XoffHold, 0x0408},
        {"CE_TXFULL alone", CE_TXFULL, 0, 0x0000},
        {"CE_MODE alone", CE_MODE, 0, 0x0000},
        {"receive queue overflow", CE_RXOVER, 0, 0x0001},  // never 0x0020 or 0x0040 with it
        {"overrun", CE_OVERRUN, 0, 0x0002},
        {"parity error", CE_RXPARITY, 0, 0x0004},
        {"framing error", CE_FRAME, 0, 0x0008},
        {"break", CE_BREAK, 0, 0x0010},
        {"waiting for CTS", 0, Cts, 0x0080},
        {"waiting for DSR", 0, Dsr, 0x0100},
        {"waiting for DCD", 0, Rlsd, 0x0200},
        {"XOFF received", 0, XoffHold, 0x0400},
        {"XOFF sent", 0, XoffSent, 0x0800},
        {"end-of-file character", 0, Eof, 0x0000},
        {"immediate character pending", 0, Txim, 0x0000},
        {"reserved COMSTAT bits", 0, 0, 0x0000, true},
        {"every error bit", 0xFFFFFFFFu, 0, 0x001F},
        {"every flag", 0, 0x7F, 0x0F80, true},
        {"everything", 0xFFFFFFFFu, 0x7F, 0x0F9F, true},
    };
    // Full queues must not leak into the word either.
    port->received.assign(300, 0x55);
    port->outQueue = 0xFFFFFFFFu;
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        port->errors = c.errors;
        port->holds = Holds(c.flags, c.reserved);
        fakecomm::ClearCalls();
        EXPECT_EQ(ComLineStatus(handle), c.word);
        EXPECT_EQ(OpsOf(fakecomm::Calls()), std::vector<Op>{Op::ClearCommError});
    }
}

TEST_F(DataTest, LineStatusReportsOnlyTheFiveLowErrorBitsEachAlone) {
    for (int bit = 0; bit < 32; ++bit) {
        const DWORD error = DWORD{1} << bit;
        SCOPED_TRACE(::testing::Message() << "error mask 0x" << std::hex << error);
        port->errors = error;
        EXPECT_EQ(ComLineStatus(handle), bit < 5 ? static_cast<int32_t>(error) : 0);
    }
}

// ---- Who collects a pending error ----------------------------------------------

struct CollectCase {
    const char* name;
    int32_t (*first)(int32_t handle);
    int32_t then;  // what ComLineStatus reports afterwards
};

TEST_F(DataTest, AnErrorIsReportedOnceToWhicheverQueryCollectsIt) {
    const CollectCase cases[] = {
        {"ComInQueue", ComInQueue, 0x0400},
        {"ComOutQueue", ComOutQueue, 0x0400},
        {"ComLineStatus", ComLineStatus, 0x0400},
        {"ComRead", [](int32_t h) { return ComRead(h, Block, 1); }, 0x0408},  // reads never clear errors
        {"ComWrite", [](int32_t h) { return ComWrite(h, Block, 1); }, 0x0408},
    };
    for (const CollectCase& c : cases) {
        SCOPED_TRACE(c.name);
        port->errors = CE_FRAME;
        port->holds = Holds(XoffHold);  // a hold is a state and stays
        port->received = {0x41};
        c.first(handle);
        EXPECT_EQ(ComLineStatus(handle), c.then);
        EXPECT_EQ(ComLineStatus(handle), 0x0400);
    }
}

}  // namespace
