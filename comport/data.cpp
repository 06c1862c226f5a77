// Serial data: time-outs, block transfers, queues, XON/XOFF characters and
// line errors.
#include "comport.h"
#include "handle.h"

#include <cstddef>

namespace {

// The error bits that the line-status word reports, at their own places.
const DWORD ReportedErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

// The transmit hold flags follow from 0x0080 up, in COMSTAT's own order.
const int32_t FirstHoldBit = 0x0080;

// One ClearCommError. A COMSTAT that a failed query did not fill is never read:
// the caller learns of the failure and answers 0.
bool QueryErrors(int32_t handle, DWORD& errors, COMSTAT& stat) {
    errors = 0;
    stat = COMSTAT();
    return ClearCommError(ToSystemHandle(handle), &errors, &stat) != 0;
}

}  // namespace

int32_t ComSetTimeouts(int32_t handle, int32_t readInterval, int32_t readTotalConstant,
                       int32_t readTotalMultiplier, int32_t writeTotalConstant,
                       int32_t writeTotalMultiplier) {
    if (handle == NoPortHandle) return 0;
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = static_cast<DWORD>(readInterval);
    timeouts.ReadTotalTimeoutMultiplier = static_cast<DWORD>(readTotalMultiplier);
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(readTotalConstant);
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(writeTotalMultiplier);
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(writeTotalConstant);
    return SetCommTimeouts(ToSystemHandle(handle), &timeouts);
}

int32_t ComWrite(int32_t handle, const void* buffer, int32_t length) {
    if (handle == NoPortHandle) return 0;
    // A negative length would reach the driver as a count of gigabytes.
    if (length < 0 || (buffer == nullptr && length > 0)) return 0;
    DWORD written = 0;
    if (!WriteFile(ToSystemHandle(handle), buffer, static_cast<DWORD>(length), &written, nullptr)) return 0;
    return written == static_cast<DWORD>(length) ? 1 : 0;
}

int32_t ComRead(int32_t handle, void* buffer, int32_t length) {
    if (handle == NoPortHandle) return 0;
    // A negative length would let the driver write gigabytes into the buffer.
    if (length < 0 || (buffer == nullptr && length > 0)) return 0;
    DWORD read = 0;
    return ReadFile(ToSystemHandle(handle), buffer, static_cast<DWORD>(length), &read, nullptr);
}

int32_t ComInQueue(int32_t handle) {
    if (handle == NoPortHandle) return 0;
    DWORD errors;
    COMSTAT stat;
    if (!QueryErrors(handle, errors, stat)) return 0;
    return static_cast<int32_t>(stat.cbInQue);
}

int32_t ComOutQueue(int32_t handle) {
    if (handle == NoPortHandle) return 0;
    DWORD errors;
    COMSTAT stat;
    if (!QueryErrors(handle, errors, stat)) return 0;
    return static_cast<int32_t>(stat.cbOutQue);
}

int32_t ComSetXonXoffChars(int32_t handle, int32_t xonChar, int32_t xoffChar) {
    if (handle == NoPortHandle) return 0;
    DCB dcb;
    if (!GetCommState(ToSystemHandle(handle), &dcb)) return 0;
    dcb.XonChar = static_cast<char>(xonChar & 0xFF);
    dcb.XoffChar = static_cast<char>(xoffChar & 0xFF);
    return SetCommState(ToSystemHandle(handle), &dcb);
}

int32_t ComLineStatus(int32_t handle) {
    if (handle == NoPortHandle) return 0;
    DWORD errors;
    COMSTAT stat;
    if (!QueryErrors(handle, errors, stat)) return 0;
    int32_t word = static_cast<int32_t>(errors & ReportedErrors);
    const DWORD holds[] = {stat.fCtsHold, stat.fDsrHold, stat.fRlsdHold, stat.fXoffHold, stat.fXoffSent};
    for (size_t i = 0; i < sizeof holds / sizeof holds[0]; ++i) {
        if (holds[i] != 0) word |= FirstHoldBit << i;
    }
    return word;
}
