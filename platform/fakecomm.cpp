// The stand-in's communications driver: records, keeps state, fails on demand.
#include "fakecomm.h"

#include "board.h"
#include "fakeclock.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Driver {
    std::vector<std::unique_ptr<fakecomm::Port>> ports;
    std::vector<fakecomm::Call> calls;
    intptr_t nextHandle = 0x100;
};

Driver& TheDriver() {
    static Driver driver;
    return driver;
}

fakecomm::Call& Record(fakecomm::Op op, HANDLE handle) {
    fakecomm::Call call;
    call.op = op;
    call.handle = reinterpret_cast<intptr_t>(handle);
    call.time = fakeclock::Now();
    TheDriver().calls.push_back(call);
    return TheDriver().calls.back();
}

// The open port behind a handle, or nullptr for 0, -1, unknown or closed
// handles. A request on a port costs the port's request time.
fakecomm::Port* Open(HANDLE handle) {
    fakecomm::Port* port = fakecomm::PortOfHandle(reinterpret_cast<intptr_t>(handle));
    if (port != nullptr) fakeclock::Advance(port->requestCost);
    return port;
}

void DriveBoard(fakecomm::Port& port) {
    if (port.board != nullptr) BoardDrive(*port.board, port.rts, port.dtr, port.brk);
}

BOOL Finish(fakecomm::Call& call, BOOL result) {
    call.result = result;
    return result;
}

// Line settings in the classic form "[name:]baud,parity,data,stop[,x|p]".
// Only the fields the text names change.
bool ParseDefinition(const char* text, DCB& dcb) {
    const char* colon = std::strchr(text, ':');
    const char* p = colon != nullptr ? colon + 1 : text;
    if (colon == nullptr) {
        // A bare device name carries no settings.
        const char* q = text;
        while (std::isalnum(static_cast<unsigned char>(*q))) ++q;
        if (*q == '\0' && q != text && std::isalpha(static_cast<unsigned char>(*text))) return true;
    }
    while (*p == ' ') ++p;
    char* end = nullptr;
    const long baud = std::strtol(p, &end, 10);
    if (end == p || baud <= 0 || *end != ',') return false;
    p = end + 1;
    int parity;
    switch (std::tolower(static_cast<unsigned char>(*p))) {
    case 'n': parity = NOPARITY; break;
    case 'o': parity = ODDPARITY; break;
    case 'e': parity = EVENPARITY; break;
    case 'm': parity = MARKPARITY; break;
    case 's': parity = SPACEPARITY; break;
    default: return false;
    }
    if (p[1] != ',') return false;
    p += 2;
    const long data = std::strtol(p, &end, 10);
    if (end == p || data < 5 || data > 8 || *end != ',') return false;
    p = end + 1;
    int stop;
    if (std::strncmp(p, "1.5", 3) == 0) {
        stop = ONE5STOPBITS;
        p += 3;
    } else if (*p == '1' || *p == '2') {
        stop = *p == '1' ? ONESTOPBIT : TWOSTOPBITS;
        p += 1;
    } else {
        return false;
    }
    int flow = 0;
    if (*p == ',') {
        flow = std::tolower(static_cast<unsigned char>(p[1]));
        if (flow != 'x' && flow != 'p') return false;
        p += 2;
    }
    while (*p == ' ') ++p;
    if (*p != '\0') return false;

    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.fParity = parity != NOPARITY;
    dcb.ByteSize = static_cast<BYTE>(data);
    dcb.StopBits = static_cast<BYTE>(stop);
    if (flow == 'x') {
        dcb.fOutX = 1;
        dcb.fInX = 1;
    } else if (flow == 'p') {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    return true;
}

}  // namespace

namespace fakecomm {

const char* OpName(Op op) {
    static const char* const names[] = {
        "CreateFile", "CloseHandle", "SetupComm", "GetCommState", "BuildCommDCB", "SetCommState",
        "SetCommTimeouts", "EscapeCommFunction", "GetCommModemStatus", "WriteFile", "ReadFile",
        "ClearCommError",
    };
    return names[static_cast<int>(op)];
}

DCB DefaultDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

void Reset() {
    Driver& d = TheDriver();
    d.ports.clear();
    d.calls.clear();
    d.nextHandle = 0x100;
}

Port& AddPort(const std::string& path) {
    auto port = std::make_unique<Port>();
    port->path = path;
    port->dcb = DefaultDcb();
    TheDriver().ports.push_back(std::move(port));
    return *TheDriver().ports.back();
}

Port* FindPort(const std::string& path) {
    for (auto& port : TheDriver().ports) {
        if (port->path == path) return port.get();
    }
    return nullptr;
}

Port* PortOfHandle(intptr_t handle) {
    if (handle == 0 || handle == -1) return nullptr;
    for (auto& port : TheDriver().ports) {
        if (port->open && port->handle == handle) return port.get();
    }
    return nullptr;
}

void Pull(intptr_t handle) {
    if (Port* port = PortOfHandle(handle)) port->open = false;
}

const std::vector<Call>& Calls() { return TheDriver().calls; }

std::vector<Call> CallsOf(Op op) {
    std::vector<Call> out;
    for (const Call& call : TheDriver().calls) {
        if (call.op == op) out.push_back(call);
    }
    return out;
}

void ClearCalls() { TheDriver().calls.clear(); }

}  // namespace fakecomm

using fakecomm::Op;
using fakecomm::Port;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD creation, DWORD flags, HANDLE templateFile) {
    fakecomm::Call& call = Record(Op::CreateFile, nullptr);
    call.text = name != nullptr ? name : "";
    call.access = access;
    call.share = share;
    call.creation = creation;
    call.flags = flags;
    call.security = security != nullptr;
    call.templateFile = templateFile != nullptr;
    Port* port = fakecomm::FindPort(call.text);
    if (port == nullptr || port->busy || port->open) {
        call.handle = -1;
        call.result = FALSE;
        return INVALID_HANDLE_VALUE;
    }
    port->open = true;
    port->handle = TheDriver().nextHandle;
    TheDriver().nextHandle += 4;
    ++port->opens;
    call.handle = port->handle;
    call.result = TRUE;
    return reinterpret_cast<HANDLE>(port->handle);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    fakecomm::Call& call = Record(Op::CloseHandle, handle);
    Port* port = Open(handle);
    if (port == nullptr) return Finish(call, FALSE);
    port->open = false;
    ++port->closes;
    return Finish(call, TRUE);
}

BOOL WINAPI SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    fakecomm::Call& call = Record(Op::SetupComm, handle);
    call.arg1 = inQueue;
    call.arg2 = outQueue;
    Port* port = Open(handle);
    if (port == nullptr || port->failSetup) return Finish(call, FALSE);
    port->inQueueSize = inQueue;
    port->outQueueSize = outQueue;
    return Finish(call, TRUE);
}

BOOL WINAPI GetCommState(HANDLE handle, LPDCB dcb) {
    fakecomm::Call& call = Record(Op::GetCommState, handle);
    Port* port = Open(handle);
    if (port == nullptr || port->failGetState) return Finish(call, FALSE);
    *dcb = port->dcb;
    return Finish(call, TRUE);
}

BOOL WINAPI BuildCommDCBA(LPCSTR definition, LPDCB dcb) {
    fakecomm::Call& call = Record(Op::BuildCommDCB, nullptr);
    call.text = definition != nullptr ? definition : "";
    bool ok = definition != nullptr && ParseDefinition(definition, *dcb);
    // A refusal can be scripted on the port that the definition names.
    const std::string name = call.text.substr(0, call.text.find(':'));
    if (const Port* port = fakecomm::FindPort("\\\\.\\" + name)) {
        if (port->failBuild) ok = false;
    }
    if (ok) call.dcb = *dcb;
    return Finish(call, ok ? TRUE : FALSE);
}

BOOL WINAPI SetCommState(HANDLE handle, LPDCB dcb) {
    fakecomm::Call& call = Record(Op::SetCommState, handle);
    call.dcb = *dcb;
    Port* port = Open(handle);
    if (port == nullptr || port->failSetState) return Finish(call, FALSE);
    port->dcb = *dcb;
    // A driver raises or drops DTR and RTS as their control modes say.
    port->dtr = dcb->fDtrControl != DTR_CONTROL_DISABLE;
    port->rts = dcb->fRtsControl != RTS_CONTROL_DISABLE;
    DriveBoard(*port);
    return Finish(call, TRUE);
}

BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    fakecomm::Call& call = Record(Op::SetCommTimeouts, handle);
    call.timeouts = *timeouts;
    Port* port = Open(handle);
    if (port == nullptr || port->failTimeouts) return Finish(call, FALSE);
    port->timeouts = *timeouts;
    return Finish(call, TRUE);
}

BOOL WINAPI EscapeCommFunction(HANDLE handle, DWORD function) {
    fakecomm::Call& call = Record(Op::EscapeCommFunction, handle);
    call.arg1 = function;
    Port* port = Open(handle);
    if (port == nullptr || port->failEscape) return Finish(call, FALSE);
    switch (function) {
    case SETRTS: port->rts = true; break;
    case CLRRTS: port->rts = false; break;
    case SETDTR: port->dtr = true; break;
    case CLRDTR: port->dtr = false; break;
    case SETBREAK: port->brk = true; break;
    case CLRBREAK: port->brk = false; break;
    case SETXON:
    case SETXOFF: break;
    default: return Finish(call, FALSE);
    }
    DriveBoard(*port);
    return Finish(call, TRUE);
}

BOOL WINAPI GetCommModemStatus(HANDLE handle, LPDWORD status) {
    fakecomm::Call& call = Record(Op::GetCommModemStatus, handle);
    Port* port = Open(handle);
    if (port == nullptr || port->failModemStatus) {
        // A careless caller that reads the word after a refusal sees every line on.
        if (status != nullptr) *status = 0xFFFFFFFFu;
        return Finish(call, FALSE);
    }
    DWORD word = port->modemStatus;
    if (!port->modemSequence.empty()) {
        word = port->modemSequence.front();
        port->modemSequence.pop_front();
    }
    if (port->board != nullptr) {
        word = (word & ~static_cast<DWORD>(MS_RLSD_ON)) | (BoardDcd(*port->board) ? MS_RLSD_ON : 0);
    }
    *status = word;
    call.arg1 = word;
    return Finish(call, TRUE);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    fakecomm::Call& call = Record(Op::WriteFile, handle);
    call.arg1 = length;
    call.buffer = buffer;
    call.overlapped = overlapped != nullptr;
    Port* port = Open(handle);
    if (port == nullptr || port->failWrite) return Finish(call, FALSE);
    DWORD count = length;
    if (port->writeLimit >= 0 && static_cast<DWORD>(port->writeLimit) < count) {
        count = static_cast<DWORD>(port->writeLimit);
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    port->sent.insert(port->sent.end(), bytes, bytes + count);
    *written = count;
    call.arg2 = count;
    return Finish(call, TRUE);
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
    fakecomm::Call& call = Record(Op::ReadFile, handle);
    call.arg1 = length;
    call.buffer = buffer;
    call.overlapped = overlapped != nullptr;
    Port* port = Open(handle);
    if (port == nullptr || port->failRead) return Finish(call, FALSE);
    DWORD count = 0;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    while (count < length && !port->received.empty()) {
        bytes[count++] = port->received.front();
        port->received.pop_front();
    }
    *read = count;
    call.arg2 = count;
    return Finish(call, TRUE);
}

BOOL WINAPI ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
    fakecomm::Call& call = Record(Op::ClearCommError, handle);
    Port* port = Open(handle);
    if (port == nullptr || port->failClearError) {
        // What a refused query leaves in the caller's records is not to be read.
        if (errors != nullptr) *errors = 0xFFFFFFFFu;
        if (stat != nullptr) std::memset(static_cast<void*>(stat), 0xFF, sizeof *stat);
        return Finish(call, FALSE);
    }
    if (errors != nullptr) *errors = port->errors;
    call.arg1 = port->errors;
    port->errors = 0;
    if (stat != nullptr) {
        *stat = port->holds;
        stat->cbInQue = static_cast<DWORD>(port->received.size());
        stat->cbOutQue = port->outQueue;
    }
    return Finish(call, TRUE);
}
