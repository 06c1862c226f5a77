// The stand-in's performance counter, in virtual time.
#include "fakeclock.h"

#include <windows.h>

namespace {

struct Clock {
    uint64_t value = 0;  // unsigned, so that stepping past the top wraps without overflow
    int64_t frequency = 10000000;
    int64_t step = 1;
    fakeclock::FrequencyMode frequencyMode = fakeclock::FrequencyMode::Works;
    bool counterFails = false;
    std::vector<int64_t> readings;
};

Clock& TheClock() {
    static Clock clock;
    return clock;
}

}  // namespace

namespace fakeclock {

void Start(int64_t value, int64_t frequency, int64_t stepPerReading) {
    Clock& c = TheClock();
    c = Clock();
    c.value = static_cast<uint64_t>(value);
    c.frequency = frequency;
    c.step = stepPerReading;
}

void SetFrequencyMode(FrequencyMode mode) { TheClock().frequencyMode = mode; }
void SetCounterFails(bool fails) { TheClock().counterFails = fails; }
int64_t Now() { return static_cast<int64_t>(TheClock().value); }
void Advance(int64_t counts) { TheClock().value += static_cast<uint64_t>(counts); }
int64_t Frequency() { return TheClock().frequency; }
const std::vector<int64_t>& Readings() { return TheClock().readings; }
void ClearReadings() { TheClock().readings.clear(); }

}  // namespace fakeclock

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    const Clock& c = TheClock();
    switch (c.frequencyMode) {
    case fakeclock::FrequencyMode::Fails:
        return FALSE;
    case fakeclock::FrequencyMode::Zero:
        frequency->QuadPart = 0;
        return TRUE;
    case fakeclock::FrequencyMode::Works:
        break;
    }
    frequency->QuadPart = c.frequency;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    Clock& c = TheClock();
    if (c.counterFails) return FALSE;
    count->QuadPart = static_cast<int64_t>(c.value);
    // Keep the record bounded: a wait that never ends must not eat the memory.
    if (c.readings.size() < 10000000) c.readings.push_back(count->QuadPart);
    c.value += static_cast<uint64_t>(c.step);
    return TRUE;
}
