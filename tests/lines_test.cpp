// The control and status lines, against the recording driver.
#include "comport.h"
#include "fixture.h"

#include <cstdint>

using fakecomm::Op;

namespace {

class LinesTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        port = &fakecomm::AddPort("\\\\.\\Com3");
        handle = ComOpen("Com3", HandshakeNone, 0, 0);
        ASSERT_GT(handle, 0);
        fakecomm::ClearCalls();
    }
    fakecomm::Port* port = nullptr;
    int32_t handle = 0;
};

struct SwitchCase {
    const char* name;
    int32_t (*op)(int32_t, int32_t);
    int32_t state;
    DWORD code;
};

const SwitchCase SwitchCases[] = {
    {"DTR on", ComSetDTR, 1, SETDTR},          {"DTR off", ComSetDTR, 0, CLRDTR},
    {"DTR 2", ComSetDTR, 2, SETDTR},           {"DTR -1", ComSetDTR, -1, SETDTR},
    {"RTS on", ComSetRTS, 1, SETRTS},          {"RTS off", ComSetRTS, 0, CLRRTS},
    {"RTS min", ComSetRTS, INT32_MIN, SETRTS}, {"TXD on", ComSetTXD, 1, SETBREAK},
    {"TXD off", ComSetTXD, 0, CLRBREAK},       {"TXD -1", ComSetTXD, -1, SETBREAK},
};

TEST_F(LinesTest, EachSwitchIsOneEscapeWithTheLinesCode) {
    for (const SwitchCase& c : SwitchCases) {
        SCOPED_TRACE(c.name);
        fakecomm::ClearCalls();
        EXPECT_NE(c.op(handle, c.state), 0);
        const auto& calls = fakecomm::Calls();
        ASSERT_EQ(calls.size(), 1u) << DescribeCalls(calls);
        EXPECT_EQ(calls[0].op, Op::EscapeCommFunction);
        EXPECT_EQ(calls[0].handle, handle);
        EXPECT_EQ(calls[0].arg1, c.code);
    }
}

TEST_F(LinesTest, TxdOffEndsTheBreak) {
    ComSetTXD(handle, 1);
    EXPECT_TRUE(port->brk);
    ComSetTXD(handle, 0);
    EXPECT_FALSE(port->brk);
}

struct SenseCase {
    const char* name;
    int32_t (*op)(int32_t);
    DWORD bit;
};

const SenseCase SenseCases[] = {
    {"CTS", ComGetCTS, MS_CTS_ON},
    {"DSR", ComGetDSR, MS_DSR_ON},
    {"RI", ComGetRI, MS_RING_ON},
    {"DCD", ComGetDCD, MS_RLSD_ON},
};

TEST_F(LinesTest, SensingAnswersExactlyOneForItsOwnBitOnly) {
    struct Word {
        DWORD status;
        bool own;  // whether the line's own bit is set
    };
    for (const SenseCase& c : SenseCases) {
        const Word words[] = {{0, false}, {c.bit, true}, {0xFFFFFFFFu, true}, {~c.bit, false},
                              {MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, true}};
        for (const Word& w : words) {
            SCOPED_TRACE(::testing::Message() << c.name << " with status word 0x" << std::hex << w.status);
            port->modemStatus = w.status;
            fakecomm::ClearCalls();
            EXPECT_EQ(c.op(handle), w.own ? 1 : 0);
            EXPECT_EQ(OpsOf(fakecomm::Calls()), std::vector<Op>{Op::GetCommModemStatus});
        }
    }
}

TEST_F(LinesTest, EachReadingIsARequestOfItsOwn) {
    port->modemSequence = {MS_RLSD_ON, 0, MS_RLSD_ON};
    EXPECT_EQ(ComGetDCD(handle), 1);
    EXPECT_EQ(ComGetDCD(handle), 0);
    EXPECT_EQ(ComGetDCD(handle), 1);
    EXPECT_EQ(fakecomm::CallsOf(Op::GetCommModemStatus).size(), 3u);
}

TEST_F(LinesTest, ARefusedReadingIsOffWhateverTheDriverLeftBehind) {
    port->modemStatus = 0xFFFFFFFFu;
    port->failModemStatus = true;  // the driver scribbles all ones into the word
    for (const SenseCase& c : SenseCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.op(handle), 0);
    }
}

TEST_F(LinesTest, MinusOneReachesNoDriverAndEveryOperationAnswersZero) {
    for (const SwitchCase& c : SwitchCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.op(-1, c.state), 0);
    }
    for (const SenseCase& c : SenseCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.op(-1), 0);
    }
    EXPECT_TRUE(fakecomm::Calls().empty()) << DescribeCalls(fakecomm::Calls());
}

TEST_F(LinesTest, ZeroAndClosedHandlesGoToTheDriverWhichRefusesThem) {
    port->modemStatus = 0xFFFFFFFFu;
    const int32_t closed = handle;
    ASSERT_NE(ComClose(closed), 0);
    for (int32_t h : {0, closed}) {
        SCOPED_TRACE(::testing::Message() << "handle " << h);
        for (const SwitchCase& c : SwitchCases) {
            fakecomm::ClearCalls();
            EXPECT_EQ(c.op(h, c.state), 0) << c.name;
            ASSERT_EQ(fakecomm::Calls().size(), 1u) << c.name;
            EXPECT_EQ(fakecomm::Calls()[0].handle, h);
        }
        for (const SenseCase& c : SenseCases) {
            fakecomm::ClearCalls();
            EXPECT_EQ(c.op(h), 0) << c.name;
            EXPECT_EQ(fakecomm::Calls().size(), 1u) << c.name;
        }
    }
}

TEST_F(LinesTest, APulledAdapterTurnsEveryRequestIntoZero) {
    port->modemStatus = MS_RLSD_ON;
    ASSERT_EQ(ComGetDCD(handle), 1);
    const bool dtr = port->dtr;
    fakecomm::Pull(handle);
    EXPECT_EQ(ComGetDCD(handle), 0);
    EXPECT_EQ(ComSetDTR(handle, !dtr), 0);
    EXPECT_EQ(port->dtr, dtr);
}

}  // namespace
