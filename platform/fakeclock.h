// Test control of the stand-in's performance counter, which runs in virtual
// time: every QueryPerformanceCounter returns the current value and then moves
// the counter on by a fixed step, so a busy wait advances time by itself.
#ifndef SERIO8_FAKECLOCK_H
#define SERIO8_FAKECLOCK_H

#include <cstdint>
#include <vector>

namespace fakeclock {

enum class FrequencyMode {
    Works,         // returns TRUE and the frequency
    Fails,         // returns FALSE and leaves the output untouched
    Zero,          // returns TRUE and 0
};

// Counter value (any 64-bit value, wraps like the hardware would), counts per
// second and the counts each reading moves it on by.
void Start(int64_t value, int64_t frequency, int64_t stepPerReading);
void SetFrequencyMode(FrequencyMode mode);
void SetCounterFails(bool fails);  // QueryPerformanceCounter returns FALSE, output untouched

int64_t Now();                // the current value, without a reading
void Advance(int64_t counts); // time that passes outside the counter (e.g. a driver request)
int64_t Frequency();

// Every value that QueryPerformanceCounter returned since Start / ClearReadings.
const std::vector<int64_t>& Readings();
void ClearReadings();

}  // namespace fakeclock

#endif
