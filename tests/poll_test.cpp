// The poll cycle between the window's check boxes and the board, and the two
// port operations, against the stand-in's window and driver.
#include "app.h"
#include "board.h"
#include "comport.h"
#include "fakewindow.h"
#include "fixture.h"
#include "ids.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

const int OutputBoxes[] = {1, 2, 3, 4, 5, 6, 7, 8};          // D7 .. D0
const int InputBoxes[] = {20, 21, 22, 23, 24, 25, 26, 27};   // D7 .. D0

std::string Boxes(const std::set<int>& ids) {
    std::string out;
    for (int id : ids) out += std::to_string(id) + " ";
    return out;
}

std::set<int> CheckedInputBoxes() {
    std::set<int> checked;
    for (int id : InputBoxes)
        if (fakewindow::Check(id) == BST_CHECKED) checked.insert(id);
    return checked;
}

// A window with all sixteen boxes unchecked and the board on an open Com3.
class PollTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        fakewindow::Reset();
        MainWindow = fakewindow::Window();
        for (int id : OutputBoxes) fakewindow::SetCheck(id, BST_UNCHECKED);
        for (int id : InputBoxes) fakewindow::SetCheck(id, BST_UNCHECKED);
        port = &fakecomm::AddPort("\\\\.\\Com3");
        port->board = &board;
        PortHandle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
        ASSERT_GT(PortHandle, 0);
        OutputByte = 0;
        InputByte = 0;
    }
    void TearDown() override {
        ComClose(PortHandle);
        PortHandle = 0;
        MainWindow = nullptr;
    }
    void Poll() { PollTick(MainWindow, 0x0113 /* WM_TIMER */, PollTimerId, 0); }

    Board board;
    fakecomm::Port* port = nullptr;
};

TEST_F(PollTest, OutputBoxesReachThe4094Outputs) {
    // Box n stands above the label of the 4094's pin Qn: box 1 (left) is D7
    // at Q1, box 8 (right) is D0 at Q8.
    struct Case {
        std::set<int> checked;
        int32_t outputByte;
    } cases[] = {
        {{}, 0},
        {{8}, 1},
        {{1}, 128},
        {{1, 8}, 129},
        {{7, 5}, 0x0A},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("checked: " + Boxes(c.checked));
        for (int id : OutputBoxes) fakewindow::SetCheck(id, c.checked.count(id) ? BST_CHECKED : BST_UNCHECKED);
        Poll();
        EXPECT_EQ(OutputByte, c.outputByte);
        for (int n = 1; n <= 8; ++n) EXPECT_EQ(BoardOutputPin(board, n), c.checked.count(n) == 1) << "pin Q" << n;
    }
}

TEST_F(PollTest, OnlyAPlainCheckCountsAsOne) {
    fakewindow::SetCheck(8, 2);  // BST_INDETERMINATE
    fakewindow::SetCheck(1, BST_CHECKED);
    Poll();
    EXPECT_EQ(OutputByte, 128);
}

TEST_F(PollTest, The4021InputsReachTheInputBoxes) {
    // Input box 20 (left) shows D7 from the 4021's pin P1, box 27 (right) D0.
    struct Case {
        uint8_t inputs;  // D7..D0 at the 4021
        std::set<int> checked;
    } cases[] = {
        {0x00, {}},
        {0x01, {27}},
        {0x80, {20}},
        {0xA5, {20, 22, 25, 27}},
        {0x0E, {24, 25, 26}},
        {0xFF, {20, 21, 22, 23, 24, 25, 26, 27}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("inputs 0x" + std::to_string(c.inputs));
        BoardSetInputByte(board, c.inputs);
        fakewindow::ClearCalls();
        Poll();
        EXPECT_EQ(InputByte, c.inputs);
        EXPECT_EQ(Boxes(CheckedInputBoxes()), Boxes(c.checked));
        // Every input box is written on every poll, D0 first, and nothing else.
        std::vector<int> written;
        for (const fakewindow::SetCall& call : fakewindow::SetCalls()) written.push_back(call.id);
        EXPECT_EQ(written, (std::vector<int>{27, 26, 25, 24, 23, 22, 21, 20}));
    }
}

TEST_F(PollTest, ABoxThatAPollCheckedIsClearedByTheNextWhenItsBitFalls) {
    BoardSetInputByte(board, 0xFF);
    Poll();
    ASSERT_EQ(CheckedInputBoxes().size(), 8u);
    BoardSetInputByte(board, 0x7E);
    Poll();
    EXPECT_EQ(Boxes(CheckedInputBoxes()), Boxes({21, 22, 23, 24, 25, 26}));
}

TEST_F(PollTest, WithNoPortEveryPollClearsTheInputBoxesAndMovesNoLine) {
    for (int id : InputBoxes) fakewindow::SetCheck(id, BST_CHECKED);
    for (int id : OutputBoxes) fakewindow::SetCheck(id, BST_CHECKED);
    BoardSetInputByte(board, 0xFF);
    ComClose(PortHandle);
    PortHandle = 0;  // what a failed open leaves
    const long clocks = board.risingClocks;
    for (int poll = 0; poll < 2; ++poll) {
        fakewindow::ClearCalls();
        Poll();
        EXPECT_EQ(OutputByte, 255);
        EXPECT_EQ(InputByte, 0);
        EXPECT_TRUE(CheckedInputBoxes().empty()) << Boxes(CheckedInputBoxes());
        EXPECT_EQ(fakewindow::SetCalls().size(), 8u);
    }
    EXPECT_EQ(board.risingClocks, clocks);
}

TEST_F(PollTest, OpenSelectedPortOpensTheListedPortAt9600n81) {
    ComClose(PortHandle);
    struct Case {
        const char* item;
        const char* mode;
        const char* path;
    } cases[] = {
        {"Com3", "Com3:9600,n,8,1", "\\\\.\\Com3"},
        {"Com255", "Com255:9600,n,8,1", "\\\\.\\Com255"},
    };
    fakecomm::AddPort("\\\\.\\Com255");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        fakewindow::SetText(IdPortList, c.item);
        fakecomm::ClearCalls();
        OpenSelectedPort();
        EXPECT_STREQ(PortMode, c.mode);
        EXPECT_GT(PortHandle, 0);
        const std::vector<fakecomm::Call> opens = fakecomm::CallsOf(fakecomm::Op::CreateFile);
        ASSERT_EQ(opens.size(), 1u) << DescribeCalls(fakecomm::Calls());
        EXPECT_EQ(opens[0].text, c.path);
        const std::vector<fakecomm::Call> builds = fakecomm::CallsOf(fakecomm::Op::BuildCommDCB);
        ASSERT_EQ(builds.size(), 1u);
        EXPECT_EQ(builds[0].text, c.mode);
        ComClose(PortHandle);
    }
}

TEST_F(PollTest, TheFirstPollAfterAnOpenIsAlreadyRight) {
    // The driver raises DTR when the port is set up; the first exchange must
    // still clock D0 into the 4094 and read D0 first from the 4021.
    ComClose(PortHandle);
    fakewindow::SetText(IdPortList, "Com3");
    BoardSetInputByte(board, 0xA5);
    for (int id : {1, 8}) fakewindow::SetCheck(id, BST_CHECKED);  // 0x81
    OpenSelectedPort();
    ASSERT_GT(PortHandle, 0);
    Poll();
    EXPECT_EQ(BoardOutputByte(board), 0x81);
    EXPECT_EQ(InputByte, 0xA5);
    EXPECT_EQ(Boxes(CheckedInputBoxes()), Boxes({20, 22, 25, 27}));
}

TEST_F(PollTest, OpenSelectedPortLeavesNoPortWhenTheDeviceIsMissing) {
    fakewindow::SetText(IdPortList, "Com7");
    OpenSelectedPort();
    EXPECT_STREQ(PortMode, "Com7:9600,n,8,1");
    EXPECT_EQ(PortHandle, 0);
}

TEST_F(PollTest, StopPollingStopsTimerZeroAndClosesThePort) {
    StopPolling();
    EXPECT_EQ(fakewindow::KilledTimers(), (std::vector<UINT_PTR>{0}));
    EXPECT_FALSE(port->open);
    EXPECT_EQ(port->closes, 1);
}

}  // namespace
