// The platform under the benchmark: the real monotonic clock as the
// performance counter, and a communications driver that does nothing and
// succeeds at once, so that what is measured is the exchange's own code and
// waits, not a driver.
#include <windows.h>

#include <time.h>

#include <cstring>

namespace {

// Counts of the performance counter: nanoseconds of CLOCK_MONOTONIC.
const int64_t CountsPerSecond = 1000000000;

// Any value but 0 and -1 is an open handle to the exchange.
HANDLE const TheHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x100));

}  // namespace

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = CountsPerSecond;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    count->QuadPart = static_cast<int64_t>(now.tv_sec) * CountsPerSecond + now.tv_nsec;
    return TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return TheHandle;
}

BOOL WINAPI CloseHandle(HANDLE) { return TRUE; }
BOOL WINAPI SetupComm(HANDLE, DWORD, DWORD) { return TRUE; }

BOOL WINAPI GetCommState(HANDLE, LPDCB dcb) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE, LPDCB) { return TRUE; }
BOOL WINAPI BuildCommDCBA(LPCSTR, LPDCB) { return TRUE; }
BOOL WINAPI SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return TRUE; }
BOOL WINAPI EscapeCommFunction(HANDLE, DWORD) { return TRUE; }

BOOL WINAPI GetCommModemStatus(HANDLE, LPDWORD status) {
    *status = 0;
    return TRUE;
}
