// libFuzzer target: ComOpen with any mode string, handshake selector and queue
// sizes against the recording driver, then every line and data operation on
// whatever it returned, then ComClose. Besides the sanitizers' own findings it
// aborts on a broken promise of the library's header: a handle of -1, a port
// left open, a device path or settings text other than the mode string gives,
// a sensed line other than 0 or 1, a status bit that is never reported.
//
// Input layout, integers little-endian, missing bytes read as 0:
//   0..3   handshake selector       12  driver faults (bits, see Faults)
//   4..7   receive-queue size       13  line levels and data-call choices
//   8..11  transmit-queue size      14..15  signed length for ComWrite/ComRead
//   16..   the mode string (a NUL inside ends it, as it would for the caller)
#include "comport.h"
#include "fakeclock.h"
#include "fakecomm.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

enum Faults : uint8_t {
    Busy = 1 << 0,
    FailSetup = 1 << 1,
    FailGetState = 1 << 2,
    FailBuild = 1 << 3,
    FailSetState = 1 << 4,
    FailTimeouts = 1 << 5,
    FailLines = 1 << 6,  // EscapeCommFunction and GetCommModemStatus
    FailData = 1 << 7,   // WriteFile, ReadFile and ClearCommError
};

// The devices present; the longest name that fits the path buffer is 7 characters.
const char* const Devices[] = {"\\\\.\\Com3", "\\\\.\\Com1", "\\\\.\\Com255", "\\\\.\\ABCDEFG"};

// Every bit that ComLineStatus may report.
const int32_t LineStatusBits = 0x001F | 0x0F80;

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
}

struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t Byte(size_t at) const { return at < size ? data[at] : 0; }
    int32_t Int32(size_t at) const {
        uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(Byte(at + i)) << (8 * i);
        return static_cast<int32_t>(value);
    }
    int16_t Int16(size_t at) const {
        return static_cast<int16_t>(static_cast<uint16_t>(Byte(at) | Byte(at + 1) << 8));
    }
};

void ScriptPorts(uint8_t faults, const Input& in) {
    fakecomm::Reset();
    fakeclock::Start(0, 10000000, 1);
    for (const char* path : Devices) {
        fakecomm::Port& port = fakecomm::AddPort(path);
        port.busy = (faults & Busy) != 0;
        port.failSetup = (faults & FailSetup) != 0;
        port.failGetState = (faults & FailGetState) != 0;
        port.failBuild = (faults & FailBuild) != 0;
        port.failSetState = (faults & FailSetState) != 0;
        port.failTimeouts = (faults & FailTimeouts) != 0;
        port.failEscape = port.failModemStatus = (faults & FailLines) != 0;
        port.failWrite = port.failRead = port.failClearError = (faults & FailData) != 0;
        // Something to read, and pending errors for the status word.
        for (size_t i = 0; i < 8; ++i) port.received.push_back(in.Byte(16 + i));
        port.errors = static_cast<DWORD>(in.Int32(0)) ^ static_cast<DWORD>(in.Int32(8));
        port.modemStatus = in.Byte(13);
    }
}

// Every operation after ComOpen, on the handle it gave (0 included).
void UseHandle(int32_t handle, uint8_t choices, int16_t length, bool linesFail) {
    const int32_t level = (choices & 1) != 0 ? static_cast<int8_t>(choices) : 0;
    ComSetDTR(handle, level);
    ComSetRTS(handle, level);
    ComSetTXD(handle, level);
    ComSetDTR(handle, !level);
    const int32_t sensed[] = {ComGetCTS(handle), ComGetDSR(handle), ComGetRI(handle), ComGetDCD(handle)};
    for (int32_t s : sensed) {
        Require(s == 0 || s == 1, "a sensed line is 0 or 1");
        if (handle <= 0 || linesFail) Require(s == 0, "a failed or impossible reading is 0");
    }

    ComSetTimeouts(handle, length, -length, choices, -1, 0);
    // Buffers of exactly the length passed, so that a write past their end is seen.
    const bool noBuffer = (choices & 2) != 0;
    const size_t bytes = length > 0 ? static_cast<size_t>(length) : 0;
    std::unique_ptr<uint8_t[]> out(noBuffer ? nullptr : new uint8_t[bytes + (bytes == 0)]());
    std::unique_ptr<uint8_t[]> in(noBuffer ? nullptr : new uint8_t[bytes + (bytes == 0)]());
    const int32_t wrote = ComWrite(handle, out.get(), length);
    Require(wrote == 0 || wrote == 1, "ComWrite answers 0 or 1");
    if (length < 0 || (noBuffer && length > 0)) Require(wrote == 0, "ComWrite refuses a bad length or buffer");
    const int32_t read = ComRead(handle, in.get(), length);
    if (length < 0 || (noBuffer && length > 0)) Require(read == 0, "ComRead refuses a bad length or buffer");
    Require(ComInQueue(handle) >= 0, "a queue count is never negative");
    Require(ComOutQueue(handle) >= 0, "a queue count is never negative");
    ComSetXonXoffChars(handle, length, choices);
    const int32_t status = ComLineStatus(handle);
    Require((status & ~LineStatusBits) == 0, "ComLineStatus reports only its documented bits");
}

bool AllClosed() {
    for (const char* path : Devices) {
        const fakecomm::Port* port = fakecomm::FindPort(path);
        if (port->open || port->opens != port->closes) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Input in{data, size};
    const int32_t handshake = in.Int32(0);
    const int32_t rxQueue = in.Int32(4);
    const int32_t txQueue = in.Int32(8);
    const uint8_t faults = in.Byte(12);
    const uint8_t choices = in.Byte(13);
    const int16_t length = in.Int16(14);
    ScriptPorts(faults, in);

    // The mode string in a buffer of its exact size: a read past its NUL is caught.
    const size_t modeSize = size > 16 ? size - 16 : 0;
    std::unique_ptr<char[]> mode(new char[modeSize + 1]);
    if (modeSize > 0) std::memcpy(mode.get(), data + 16, modeSize);
    mode[modeSize] = '\0';
    const std::string text = mode.get();
    const std::string name = text.substr(0, text.find(':'));
    const std::string path = "\\\\.\\" + name;
    const fakecomm::Port* device = fakecomm::FindPort(path);
    const bool opens = device != nullptr && (faults & Busy) == 0;

    const int32_t handle = ComOpen(mode.get(), handshake, rxQueue, txQueue);
    Require(handle != -1, "ComOpen never returns -1");
    Require((handle > 0) == opens, "ComOpen opens exactly the devices that are there and free");

    if (handle > 0) {
        const std::vector<fakecomm::Call> creates = fakecomm::CallsOf(fakecomm::Op::CreateFile);
        Require(creates.size() == 1 && creates[0].text == path, "the device path is \\\\.\\ and the name");
        Require(creates[0].share == 0, "the device is opened for exclusive use");
        const bool sized = !fakecomm::CallsOf(fakecomm::Op::SetupComm).empty();
        Require(sized == (rxQueue > 0 && txQueue > 0), "the queues are sized only when both sizes are positive");
        for (const fakecomm::Call& build : fakecomm::CallsOf(fakecomm::Op::BuildCommDCB)) {
            Require(build.text == text, "the whole mode string is the settings text");
        }
        const std::vector<fakecomm::Call> sets = fakecomm::CallsOf(fakecomm::Op::SetCommState);
        if (handshake == HandshakeXonXoff && !sets.empty()) {
            const int64_t tenth = rxQueue / 10;
            Require(sets[0].dcb.XonLim == static_cast<WORD>(tenth & 0xFFFF), "XonLim is a tenth of the queue");
            Require(sets[0].dcb.XoffLim == static_cast<WORD>((tenth * 7) & 0xFFFF), "XoffLim is seven tenths");
        }
        Require(ComOpen(mode.get(), handshake, rxQueue, txQueue) == 0, "an open device cannot be opened twice");
    }

    UseHandle(handle, choices, length, (faults & FailLines) != 0);
    const size_t callsBefore = fakecomm::Calls().size();
    UseHandle(-1, choices, length, true);
    Require(fakecomm::Calls().size() == callsBefore, "the handle -1 never reaches the driver");
    if (handle > 0) {
        Require(ComClose(handle) != 0, "an open handle closes");
        Require(ComClose(handle) == 0, "a closed handle does not close again");
    }
    Require(ComClose(0) == 0, "ComClose(0) fails");
    Require(AllClosed(), "every open is closed again");
    return 0;
}
