// Microsecond busy wait on the high-resolution performance counter.
#include "shiftlink.h"

#include <windows.h>

#include <chrono>
#include <cstdint>

namespace {

// Difference of two counter readings with wrap-around in unsigned arithmetic,
// so that readings near the ends of the 64-bit range never overflow.
int64_t CounterDifference(int64_t later, int64_t earlier) {
    return static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
}

// Whole microseconds, truncated toward zero, clamped to the 32-bit range: a
// double out of the target's range must never be converted.
int32_t WholeMicroseconds(double microseconds) {
    if (microseconds >= 2147483647.0) return INT32_MAX;
    if (microseconds <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(microseconds);
}

// Without a usable counter the wait still has to end and still has to last:
// the standard steady clock is the clock every platform has.
void DelayOnSteadyClock(int32_t microseconds) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() >= microseconds) return;
    }
}

}  // namespace

int32_t DelayMicroseconds(int32_t microseconds) {
    LARGE_INTEGER frequency;
    frequency.QuadPart = 0;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        DelayOnSteadyClock(microseconds);
        return 0;
    }
    const double countsPerMicrosecond = static_cast<double>(frequency.QuadPart) / 1000000.0;

    LARGE_INTEGER start;
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&start)) {
        DelayOnSteadyClock(microseconds);
        return 0;
    }
    do {
        // A counter that stops answering would otherwise hold the wait forever.
        if (!QueryPerformanceCounter(&now)) {
            DelayOnSteadyClock(microseconds);
            return 0;
        }
    } while (WholeMicroseconds(static_cast<double>(CounterDifference(now.QuadPart, start.QuadPart)) /
                               countsPerMicrosecond) < microseconds);
    return 0;
}
