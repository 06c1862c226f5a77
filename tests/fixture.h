// A clean driver and a running virtual clock for every test.
#ifndef SERIO8_TESTS_FIXTURE_H
#define SERIO8_TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "fakeclock.h"
#include "fakecomm.h"

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakecomm::Reset();
        fakeclock::Start(0, 10000000, 1);  // 10 MHz, 0.1 us per reading
    }
};

// The driver's calls as one line each, for messages that show what happened.
inline std::string DescribeCalls(const std::vector<fakecomm::Call>& calls) {
    std::ostringstream out;
    for (const fakecomm::Call& call : calls) {
        out << "  " << fakecomm::OpName(call.op) << " handle=" << call.handle;
        if (!call.text.empty()) out << " \"" << call.text << "\"";
        if (call.op == fakecomm::Op::EscapeCommFunction) out << " code=" << call.arg1;
        out << " -> " << call.result << "\n";
    }
    return out.str();
}

inline std::vector<fakecomm::Op> OpsOf(const std::vector<fakecomm::Call>& calls) {
    std::vector<fakecomm::Op> ops;
    for (const fakecomm::Call& call : calls) ops.push_back(call.op);
    return ops;
}

#endif
