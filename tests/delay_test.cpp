// The microsecond busy wait, in virtual time wherever the counter stands.
#include "fixture.h"
#include "shiftlink.h"

#include <chrono>
#include <cstdint>

namespace {

struct DelayCase {
    const char* what;
    int64_t start;
    int64_t frequency;
    int64_t step;
    int32_t wait;
};

const DelayCase DelayCases[] = {
    {"from zero", 0, 10000000, 1, 20},
    {"a 3.58 MHz counter", 0, 3579545, 1, 20},
    {"ten microseconds", 12345, 3579545, 2, 10},
    {"just below 2^31", (int64_t{1} << 31) - 40, 10000000, 1, 20},
    {"just below 2^32", (int64_t{1} << 32) - 40, 10000000, 1, 20},
    {"far beyond 32 bits", int64_t{1} << 50, 10000000, 7, 20},
    {"across zero", -150, 10000000, 1, 20},
    {"across the top of 64 bits", INT64_MAX - 100, 10000000, 1, 20},
    {"a 1 GHz counter", 987654321987, 1000000000, 97, 20},
    {"a coarse counter", 5, 1000, 1, 20},  // one count is 1000 us
    {"a long wait", 0, 10000000, 1000, 100000},
};

// Whole microseconds between two readings, exactly.
int64_t ElapsedUs(int64_t from, int64_t to, int64_t frequency) {
    const int64_t counts = static_cast<int64_t>(static_cast<uint64_t>(to) - static_cast<uint64_t>(from));
    return counts * 1000000 / frequency;
}

TEST(DelayMicroseconds, ReturnsAtTheFirstReadingThatLiesFarEnoughAfterTheStart) {
    for (const DelayCase& c : DelayCases) {
        SCOPED_TRACE(c.what);
        fakeclock::Start(c.start, c.frequency, c.step);
        EXPECT_EQ(DelayMicroseconds(c.wait), 0);
        const std::vector<int64_t>& r = fakeclock::Readings();
        ASSERT_GE(r.size(), 2u);
        EXPECT_EQ(r.front(), c.start);
        const int64_t last = ElapsedUs(r.front(), r.back(), c.frequency);
        EXPECT_GE(last, c.wait) << "returned too early: " << r.size() << " readings";
        if (r.size() > 2) {
            const int64_t before = ElapsedUs(r.front(), r[r.size() - 2], c.frequency);
            EXPECT_LT(before, c.wait) << "went on after the wait was over";
        }
    }
}

TEST(DelayMicroseconds, ZeroOrLessReturnsAfterOneReadingBeyondTheStart) {
    for (int32_t wait : {0, -1, -20, INT32_MIN}) {
        SCOPED_TRACE(wait);
        fakeclock::Start(1000, 10000000, 1);
        DelayMicroseconds(wait);
        EXPECT_EQ(fakeclock::Readings().size(), 2u);
    }
}

TEST(DelayMicroseconds, AHugeJumpOfTheCounterEndsTheWait) {
    // 2^62 us between two readings: far out of the 32-bit range, which must
    // not be converted to an integer (the sanitizer build checks that).
    fakeclock::Start(0, 1000000, int64_t{1} << 62);
    DelayMicroseconds(INT32_MAX);
    EXPECT_EQ(fakeclock::Readings().size(), 2u);
}

TEST(DelayMicroseconds, WithoutAUsableCounterItStillWaits) {
    struct Fault {
        const char* what;
        fakeclock::FrequencyMode frequency;
        bool counterFails;
    };
    const Fault faults[] = {
        {"frequency query fails", fakeclock::FrequencyMode::Fails, false},
        {"frequency is zero", fakeclock::FrequencyMode::Zero, false},
        {"counter query fails", fakeclock::FrequencyMode::Works, true},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.what);
        fakeclock::Start(0, 10000000, 1);
        fakeclock::SetFrequencyMode(f.frequency);
        fakeclock::SetCounterFails(f.counterFails);
        const auto begin = std::chrono::steady_clock::now();
        DelayMicroseconds(2000);
        const auto waited = std::chrono::steady_clock::now() - begin;
        // A lower bound only: the wait must not come back early.
        EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(waited).count(), 2000);
    }
    fakeclock::Start(0, 10000000, 1);
}

}  // namespace
