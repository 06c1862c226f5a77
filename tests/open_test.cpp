// Opening, configuring and closing a port, against the recording driver.
#include "comport.h"
#include "fixture.h"

#include <cstdint>
#include <string>
#include <vector>

using fakecomm::Op;

namespace {

// Every field of a DCB by name, so that a difference reads as a field.
struct DcbField {
    const char* name;
    unsigned long (*get)(const DCB&);
};
const DcbField DcbFields[] = {
    {"DCBlength", [](const DCB& d) -> unsigned long { return d.DCBlength; }},
    {"BaudRate", [](const DCB& d) -> unsigned long { return d.BaudRate; }},
    {"fBinary", [](const DCB& d) -> unsigned long { return d.fBinary; }},
    {"fParity", [](const DCB& d) -> unsigned long { return d.fParity; }},
    {"fOutxCtsFlow", [](const DCB& d) -> unsigned long { return d.fOutxCtsFlow; }},
    {"fOutxDsrFlow", [](const DCB& d) -> unsigned long { return d.fOutxDsrFlow; }},
    {"fDtrControl", [](const DCB& d) -> unsigned long { return d.fDtrControl; }},
    {"fDsrSensitivity", [](const DCB& d) -> unsigned long { return d.fDsrSensitivity; }},
    {"fTXContinueOnXoff", [](const DCB& d) -> unsigned long { return d.fTXContinueOnXoff; }},
    {"fOutX", [](const DCB& d) -> unsigned long { return d.fOutX; }},
    {"fInX", [](const DCB& d) -> unsigned long { return d.fInX; }},
    {"fErrorChar", [](const DCB& d) -> unsigned long { return d.fErrorChar; }},
    {"fNull", [](const DCB& d) -> unsigned long { return d.fNull; }},
    {"fRtsControl", [](const DCB& d) -> unsigned long { return d.fRtsControl; }},
    {"fAbortOnError", [](const DCB& d) -> unsigned long { return d.fAbortOnError; }},
    {"fDummy2", [](const DCB& d) -> unsigned long { return d.fDummy2; }},
    {"wReserved", [](const DCB& d) -> unsigned long { return d.wReserved; }},
    {"XonLim", [](const DCB& d) -> unsigned long { return d.XonLim; }},
    {"XoffLim", [](const DCB& d) -> unsigned long { return d.XoffLim; }},
    {"ByteSize", [](const DCB& d) -> unsigned long { return d.ByteSize; }},
    {"Parity", [](const DCB& d) -> unsigned long { return d.Parity; }},
    {"StopBits", [](const DCB& d) -> unsigned long { return d.StopBits; }},
    {"XonChar", [](const DCB& d) -> unsigned long { return static_cast<unsigned char>(d.XonChar); }},
    {"XoffChar", [](const DCB& d) -> unsigned long { return static_cast<unsigned char>(d.XoffChar); }},
    {"ErrorChar", [](const DCB& d) -> unsigned long { return static_cast<unsigned char>(d.ErrorChar); }},
    {"EofChar", [](const DCB& d) -> unsigned long { return static_cast<unsigned char>(d.EofChar); }},
    {"EvtChar", [](const DCB& d) -> unsigned long { return static_cast<unsigned char>(d.EvtChar); }},
    {"wReserved1", [](const DCB& d) -> unsigned long { return d.wReserved1; }},
};

std::string DcbDifferences(const DCB& expected, const DCB& got) {
    std::ostringstream out;
    for (const DcbField& field : DcbFields) {
        if (field.get(expected) != field.get(got)) {
            out << "  " << field.name << ": got " << field.get(got) << ", expected " << field.get(expected) << "\n";
        }
    }
    return out.str();
}

DCB Filled(unsigned char byte) {
    DCB dcb;
    std::memset(&dcb, byte, sizeof dcb);
    return dcb;
}

class ComOpenTest : public DriverTest {};

// ---- The device path and what reaches the driver --------------------------

struct PathCase {
    const char* mode;
    const char* path;  // what CreateFileA must receive
};

TEST_F(ComOpenTest, DevicePathIsThePrefixAndEverythingBeforeTheFirstColon) {
    const PathCase cases[] = {
        {"Com3:9600,n,8,1", "\\\\.\\Com3"},
        {"Com3", "\\\\.\\Com3"},                      // no ':': the whole string is the name
        {"Com4:9600,n,8,1:x", "\\\\.\\Com4"},         // only the first ':' divides
        {"Com255:9600,n,8,1", "\\\\.\\Com255"},
        {"COM12:9600,n,8,1", "\\\\.\\COM12"},         // case kept byte for byte
        {"ABCDEFG:9600,n,8,1", "\\\\.\\ABCDEFG"},     // 7 characters fill the buffer exactly
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.mode);
        fakecomm::Reset();
        fakecomm::AddPort(c.path);
        const int32_t handle = ComOpen(c.mode, HandshakeNone, 0, 0);
        EXPECT_GT(handle, 0);
        const auto opens = fakecomm::CallsOf(Op::CreateFile);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].text, c.path);
        EXPECT_EQ(opens[0].access, GENERIC_READ | GENERIC_WRITE);
        EXPECT_EQ(opens[0].share, 0u) << "the port is for exclusive use";
        EXPECT_EQ(opens[0].creation, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(opens[0].flags, 0u) << "synchronous, no overlapped I/O";
        EXPECT_FALSE(opens[0].security);
        EXPECT_FALSE(opens[0].templateFile);
        const auto builds = fakecomm::CallsOf(Op::BuildCommDCB);
        ASSERT_EQ(builds.size(), 1u);
        EXPECT_EQ(builds[0].text, c.mode) << "the whole mode string goes to BuildCommDCBA";
        EXPECT_NE(ComClose(handle), 0);
    }
}

TEST_F(ComOpenTest, UnusableModeStringsOpenNothing) {
    fakecomm::AddPort("\\\\.\\ABCDEFGH");
    const char* const modes[] = {nullptr, "ABCDEFGH:9600,n,8,1", "ABCDEFGH", "Com3456789012345678901234567890:9600"};
    for (const char* mode : modes) {
        SCOPED_TRACE(mode != nullptr ? mode : "(null)");
        EXPECT_EQ(ComOpen(mode, HandshakeNone, 0, 0), 0);
        EXPECT_TRUE(fakecomm::Calls().empty()) << DescribeCalls(fakecomm::Calls());
    }
}

TEST_F(ComOpenTest, ADeviceThatCannotBeOpenedGivesZeroNeverMinusOne) {
    fakecomm::AddPort("\\\\.\\Com5").busy = true;
    fakecomm::AddPort("\\\\.\\Com6");
    const int32_t held = ComOpen("Com6:9600,n,8,1", HandshakeNone, 0, 0);
    ASSERT_GT(held, 0);
    fakecomm::ClearCalls();
    const char* const modes[] = {"Com4:9600,n,8,1", "Com5:9600,n,8,1", "Com6:9600,n,8,1"};  // absent, busy, already open
    for (const char* mode : modes) {
        SCOPED_TRACE(mode);
        fakecomm::ClearCalls();
        EXPECT_EQ(ComOpen(mode, HandshakeNone, 512, 512), 0);
        EXPECT_EQ(OpsOf(fakecomm::Calls()), std::vector<Op>{Op::CreateFile}) << DescribeCalls(fakecomm::Calls());
    }
    EXPECT_NE(ComClose(held), 0);
}

// ---- The steps of a good open --------------------------------------------

TEST_F(ComOpenTest, AGoodOpenConfiguresInOrderAndSetsTheFixedTimeouts) {
    fakecomm::AddPort("\\\\.\\Com3");
    const int32_t handle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
    ASSERT_GT(handle, 0);
    const std::vector<Op> expected = {Op::CreateFile, Op::GetCommState, Op::BuildCommDCB, Op::SetCommState,
                                      Op::SetCommTimeouts};
    EXPECT_EQ(OpsOf(fakecomm::Calls()), expected) << DescribeCalls(fakecomm::Calls());
    for (const fakecomm::Call& call : fakecomm::Calls()) {
        if (call.op != Op::BuildCommDCB && call.op != Op::CreateFile) {
            EXPECT_EQ(call.handle, handle);
        }
    }
    const COMMTIMEOUTS t = fakecomm::CallsOf(Op::SetCommTimeouts).at(0).timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);
    const fakecomm::Port* port = fakecomm::FindPort("\\\\.\\Com3");
    EXPECT_EQ(port->dcb.BaudRate, 9600u);
    EXPECT_EQ(port->dcb.ByteSize, 8);
    EXPECT_FALSE(port->rts) << "HandshakeNone leaves RTS off, for the caller to switch";
}

struct QueueCase {
    int32_t rx, tx;
    bool sized;
};

TEST_F(ComOpenTest, QueuesAreSizedOnlyWhenBothSizesArePositive) {
    const QueueCase cases[] = {
        {0, 0, false}, {512, 0, false}, {0, 512, false}, {-1, 512, false}, {512, -1, false},
        {512, 512, true}, {1, 1, true}, {4096, 1024, true},
    };
    for (const QueueCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "rx " << c.rx << ", tx " << c.tx);
        fakecomm::Reset();
        fakecomm::AddPort("\\\\.\\Com3");
        const int32_t handle = ComOpen("Com3:9600,n,8,1", HandshakeNone, c.rx, c.tx);
        ASSERT_GT(handle, 0);
        const auto setups = fakecomm::CallsOf(Op::SetupComm);
        if (!c.sized) {
            EXPECT_TRUE(setups.empty()) << DescribeCalls(fakecomm::Calls());
            continue;
        }
        ASSERT_EQ(setups.size(), 1u);
        EXPECT_EQ(setups[0].arg1, static_cast<DWORD>(c.rx));
        EXPECT_EQ(setups[0].arg2, static_cast<DWORD>(c.tx));
        EXPECT_EQ(fakecomm::Calls().at(1).op, Op::SetupComm) << "sized right after the open, before the state is read";
    }
}

TEST_F(ComOpenTest, ARefusedQueueSizeDoesNotStopTheConfiguration) {
    fakecomm::AddPort("\\\\.\\Com3").failSetup = true;
    EXPECT_GT(ComOpen("Com3:9600,n,8,1", HandshakeNone, 512, 512), 0);
    EXPECT_EQ(fakecomm::CallsOf(Op::SetCommTimeouts).size(), 1u);
}

// ---- Handshake presets ------------------------------------------------------

// What each preset must leave in the block; -1 means "as built".
struct PresetCase {
    int32_t handshake;
    int rtsControl;
    int ctsFlow;
    bool xonXoff;
};

TEST_F(ComOpenTest, PresetsWriteTheirFieldsAndNothingElse) {
    const PresetCase presets[] = {
        {HandshakeNone, RTS_CONTROL_DISABLE, 0, false},
        {HandshakeRtsOn, RTS_CONTROL_ENABLE, 0, false},
        {HandshakeRtsCts, RTS_CONTROL_HANDSHAKE, 1, false},
        {HandshakeXonXoff, -1, -1, true},
        {4, -1, -1, false},
        {-1, -1, -1, false},
        {0x7fffffff, -1, -1, false},
    };
    // The driver's block starts all zeros and then all ones, so a field that
    // the library touches without reason shows up in one of the two.
    for (unsigned char fill : {0x00, 0xff}) {
        for (const PresetCase& c : presets) {
            SCOPED_TRACE(::testing::Message() << "handshake " << c.handshake << ", block filled with " << int(fill));
            fakecomm::Reset();
            fakecomm::AddPort("\\\\.\\Com3").dcb = Filled(fill);
            ASSERT_GT(ComOpen("Com3:9600,n,8,1", c.handshake, 995, 0), 0);
            const auto built = fakecomm::CallsOf(Op::BuildCommDCB);
            const auto applied = fakecomm::CallsOf(Op::SetCommState);
            ASSERT_EQ(built.size(), 1u);
            ASSERT_EQ(applied.size(), 1u);
            DCB expected = built[0].dcb;  // the block as the mode string left it
            if (c.rtsControl >= 0) expected.fRtsControl = static_cast<DWORD>(c.rtsControl);
            if (c.ctsFlow >= 0) expected.fOutxCtsFlow = static_cast<DWORD>(c.ctsFlow);
            if (c.xonXoff) {
                expected.fOutX = 1;
                expected.fInX = 1;
                expected.XonChar = 0x11;
                expected.XoffChar = 0x13;
                expected.XonLim = 99;    // 995 / 10
                expected.XoffLim = 693;  // (995 / 10) * 7, not 995 * 7 / 10 = 696
            }
            EXPECT_EQ(DcbDifferences(expected, applied[0].dcb), "");
        }
    }
}

struct LimitCase {
    int32_t rxQueue;
    WORD xonLim, xoffLim;
};

TEST_F(ComOpenTest, XonXoffLimitsDivideFirstAndKeepTheLow16Bits) {
    const LimitCase cases[] = {
        {15, 1, 7}, {9, 0, 0}, {0, 0, 0}, {995, 99, 693}, {1000, 100, 700},
        {700000, 4464, 31248},  // 70000 and 490000, each cut to 16 bits
        {-15, 0xFFFF, 0xFFF9},  // -1 and -7 toward zero, cut to 16 bits
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "receive queue " << c.rxQueue);
        fakecomm::Reset();
        fakecomm::AddPort("\\\\.\\Com3");
        ASSERT_GT(ComOpen("Com3:9600,n,8,1", HandshakeXonXoff, c.rxQueue, 0), 0);
        const DCB got = fakecomm::CallsOf(Op::SetCommState).at(0).dcb;
        EXPECT_EQ(got.XonLim, c.xonLim);
        EXPECT_EQ(got.XoffLim, c.xoffLim);
    }
}

TEST_F(ComOpenTest, HandshakeNoneLeavesXonXoffFlowAsBuilt) {
    fakecomm::AddPort("\\\\.\\Com3");
    ASSERT_GT(ComOpen("Com3:9600,n,8,1,x", HandshakeNone, 0, 0), 0);
    const DCB got = fakecomm::CallsOf(Op::SetCommState).at(0).dcb;
    EXPECT_EQ(got.fOutX, 1u);
    EXPECT_EQ(got.fInX, 1u);
    EXPECT_EQ(got.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
}

// ---- A port that opens but cannot be configured ----------------------------

struct RefusalCase {
    const char* what;
    bool fakecomm::Port::*fault;
    std::vector<Op> calls;  // what ComOpen does before it gives up
};

TEST_F(ComOpenTest, APortWhoseSettingsAreRefusedIsStillReturnedOpen) {
    const RefusalCase cases[] = {
        {"GetCommState refused", &fakecomm::Port::failGetState, {Op::CreateFile, Op::GetCommState}},
        {"BuildCommDCBA refused", &fakecomm::Port::failBuild, {Op::CreateFile, Op::GetCommState, Op::BuildCommDCB}},
        {"SetCommState refused", &fakecomm::Port::failSetState,
         {Op::CreateFile, Op::GetCommState, Op::BuildCommDCB, Op::SetCommState}},
        {"SetCommTimeouts refused", &fakecomm::Port::failTimeouts,
         {Op::CreateFile, Op::GetCommState, Op::BuildCommDCB, Op::SetCommState, Op::SetCommTimeouts}},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        fakecomm::Reset();
        fakecomm::Port& port = fakecomm::AddPort("\\\\.\\Com3");
        port.*(c.fault) = true;
        const int32_t handle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
        ASSERT_GT(handle, 0);
        EXPECT_EQ(OpsOf(fakecomm::Calls()), c.calls) << DescribeCalls(fakecomm::Calls());
        EXPECT_TRUE(port.open) << "ComOpen never closes what it opened";
        EXPECT_NE(ComClose(handle), 0);
        EXPECT_FALSE(port.open);
        EXPECT_EQ(port.closes, 1);
    }
}

TEST_F(ComOpenTest, AModeStringTheDriverCannotParseStillOpensThePort) {
    fakecomm::AddPort("\\\\.\\Com3");
    const int32_t handle = ComOpen("Com3:fast", HandshakeNone, 0, 0);
    EXPECT_GT(handle, 0);
    EXPECT_TRUE(fakecomm::CallsOf(Op::SetCommState).empty());
    EXPECT_NE(ComClose(handle), 0);
}

// ---- Closing -------------------------------------------------------------

TEST_F(ComOpenTest, CloseReportsWhetherTheHandleWasClosed) {
    fakecomm::AddPort("\\\\.\\Com3");
    const int32_t handle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
    ASSERT_GT(handle, 0);
    EXPECT_NE(ComClose(handle), 0);
    EXPECT_EQ(ComClose(handle), 0) << "a second close finds nothing";
    EXPECT_EQ(ComClose(0), 0) << "0 is what a failed open leaves; closing it changes nothing";
    const auto closes = fakecomm::CallsOf(Op::CloseHandle);
    ASSERT_EQ(closes.size(), 3u);
    EXPECT_EQ(closes[2].handle, 0) << "ComClose tests nothing itself: 0 goes to the system";
    // The device can be opened again once it is closed.
    EXPECT_GT(ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0), 0);
}

}  // namespace
