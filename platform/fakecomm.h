// Test control of the stand-in's communications driver. It keeps a port per
// device path and the state of each open handle like a driver does, records
// every call with its arguments, and lets a test script results and faults.
#ifndef SERIO8_FAKECOMM_H
#define SERIO8_FAKECOMM_H

#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct Board;

namespace fakecomm {

enum class Op {
    CreateFile, CloseHandle, SetupComm, GetCommState, BuildCommDCB, SetCommState,
    SetCommTimeouts, EscapeCommFunction, GetCommModemStatus, WriteFile, ReadFile, ClearCommError,
};
const char* OpName(Op op);

// One call as the driver saw it. Only the fields that belong to the call are set.
struct Call {
    Op op;
    intptr_t handle = 0;     // the handle passed (CreateFile: the handle returned)
    std::string text;        // CreateFile: the path; BuildCommDCB: the whole definition
    DWORD access = 0, share = 0, creation = 0, flags = 0;
    bool security = false, templateFile = false;  // CreateFile: non-NULL pointers passed
    DWORD arg1 = 0, arg2 = 0;  // SetupComm: queue sizes; EscapeCommFunction: code; Write/Read: length
    DCB dcb{};                 // SetCommState: the block as it arrived; BuildCommDCB: as it left
    COMMTIMEOUTS timeouts{};   // SetCommTimeouts
    bool overlapped = false;   // Write/Read: an OVERLAPPED pointer was passed
    const void* buffer = nullptr;  // Write/Read: the buffer pointer passed
    BOOL result = FALSE;
    int64_t time = 0;          // the virtual counter when the call came in
};

// A device behind a path such as "\\.\Com3", and its state while open.
struct Port {
    std::string path;
    // Scripted faults.
    bool busy = false;  // held by another program: CreateFile fails
    bool failSetup = false, failGetState = false, failBuild = false, failSetState = false,
         failTimeouts = false;
    bool failEscape = false, failModemStatus = false, failWrite = false, failRead = false,
         failClearError = false;
    // What the driver holds.
    DCB dcb{};                  // what GetCommState delivers; SetCommState replaces it
    COMMTIMEOUTS timeouts{};
    DWORD inQueueSize = 0, outQueueSize = 0;
    bool dtr = false, rts = false, brk = false;
    DWORD modemStatus = 0;      // CTS, DSR, RI, RLSD bits; RLSD also follows the board
    std::deque<DWORD> modemSequence;  // if not empty, each reading takes the next word instead
    Board* board = nullptr;     // sees every line change, drives DCD
    // Serial data.
    std::deque<uint8_t> received;   // bytes waiting to be read
    std::vector<uint8_t> sent;      // bytes written
    long writeLimit = -1;           // bytes a WriteFile takes before its time-out, -1: all
    DWORD errors = 0;               // pending error mask, cleared by ClearCommError
    COMSTAT holds{};                // hold flags reported by ClearCommError
    DWORD outQueue = 0;             // bytes reported as still to transmit
    int64_t requestCost = 0;        // counter counts each request takes
    // Open state.
    bool open = false;
    intptr_t handle = 0;
    int opens = 0, closes = 0;
};

// Forgets every port, handle and call; the next handle starts anew.
void Reset();

// Adds a device (present, not busy) and returns it for the test to script.
// The block it holds to begin with is a driver's default for 9600,n,8,1.
Port& AddPort(const std::string& path);
Port* FindPort(const std::string& path);
Port* PortOfHandle(intptr_t handle);

// A refused GetCommModemStatus or ClearCommError fills the caller's records
// with 0xFF bytes, so that code which reads them anyway is caught.

// Closes a handle under its owner, as when an adapter is pulled: every later
// request on it fails.
void Pull(intptr_t handle);

const std::vector<Call>& Calls();
std::vector<Call> CallsOf(Op op);
void ClearCalls();

// A driver's default block, as GetCommState reports it for a new port.
DCB DefaultDcb();

}  // namespace fakecomm

#endif
