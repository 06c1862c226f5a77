// Writes a virtual board log from the real exchange code running over the
// Linux stand-in: ShiftExchange drives the recording driver with the board
// model behind it, and the driver's record is written out in the log format
// of the virtual board under Wine, with each RTS or DTR switch as the read and
// write of the modem lines that Wine makes of it. The timing is virtual time,
// so the log is the same on every machine: a reproducible input for the
// waveform tool and the picture in the README.
//
//   waveform_loggen [--exchanges N] [--request-us US] [--period-ms MS]
//                   [--fail-from K --fail-to M] > board.log
//
// --request-us is what each driver request costs; exchanges K..M-1 (from 0)
// find every line request refused, as when the adapter is pulled.
#include "board.h"
#include "comport.h"
#include "fakeclock.h"
#include "fakecomm.h"
#include "shiftlink.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int64_t Frequency = 10000000;           // 10 MHz: 100 ns per count
const int64_t NsPerCount = 1000000000 / Frequency;
const int64_t StartNs = 5123456789000;        // a monotonic clock is never near 0

struct Options {
    int exchanges = 3;
    double requestUs = 2.0;  // about what a modem-line request costs under Wine
    double periodMs = 100.0;
    int failFrom = -1;
    int failTo = -1;
};

// Output and input bytes that change every exchange and show each level on
// TXD and DCD.
const uint8_t OutputBytes[] = {0xA5, 0x3C, 0x01, 0x80, 0xFF, 0x00, 0x5A, 0xC3};
const uint8_t InputBytes[] = {0x96, 0x0F, 0x80, 0x01, 0x00, 0xFF, 0x69, 0xF0};

struct Levels {
    bool rts = false, dtr = false, txd = false, dcd = false;
};

// The log's lines, each at a driver call, in the driver's order.
struct Writer {
    Board board;  // a second board, fed the same levels, so that DCD is known at every line
    Levels levels;

    void Line(int64_t counts, const char* event, const char* extra = nullptr) {
        levels.dcd = BoardDcd(board);
        std::printf("%lld %s %d %d %d %d%s%s\n", static_cast<long long>(StartNs + counts * NsPerCount), event,
                    levels.rts, levels.dtr, levels.txd, levels.dcd, extra != nullptr ? " " : "",
                    extra != nullptr ? extra : "");
    }
    void Drive() { BoardDrive(board, levels.rts, levels.dtr, levels.txd); }
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--exchanges") options.exchanges = std::atoi(value);
        else if (arg == "--request-us") options.requestUs = std::atof(value);
        else if (arg == "--period-ms") options.periodMs = std::atof(value);
        else if (arg == "--fail-from") options.failFrom = std::atoi(value);
        else if (arg == "--fail-to") options.failTo = std::atoi(value);
        else return false;
    }
    return options.exchanges > 0 && options.requestUs >= 0 && options.periodMs > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--exchanges N] [--request-us US] [--period-ms MS] [--fail-from K --fail-to M]\n",
                     argv[0]);
        return 2;
    }
    fakecomm::Reset();
    fakeclock::Start(0, Frequency, 1);
    Board board;
    fakecomm::Port& port = fakecomm::AddPort("\\\\.\\Com3");
    port.board = &board;
    port.requestCost = static_cast<int64_t>(options.requestUs * 1000.0 / NsPerCount);

    // Where in the driver's record the 4021's inputs changed, and to what.
    struct InputChange {
        size_t call;
        int64_t counts;
        uint8_t value;
    };
    std::vector<InputChange> inputs;

    PortHandle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
    if (PortHandle <= 0) return 1;
    const int64_t period = static_cast<int64_t>(options.periodMs * 1e6 / NsPerCount);
    for (int k = 0; k < options.exchanges; ++k) {
        // The timer's tick: the exchange starts a whole period after the last one.
        const int64_t tick = period * (k + 1);
        if (fakeclock::Now() < tick) fakeclock::Advance(tick - fakeclock::Now());
        const uint8_t input = InputBytes[k % sizeof InputBytes];
        BoardSetInputByte(board, input);
        inputs.push_back({fakecomm::Calls().size(), fakeclock::Now() - period / 2, input});
        const bool pulled = k >= options.failFrom && k < options.failTo;
        port.failEscape = port.failModemStatus = pulled;
        OutputByte = OutputBytes[k % sizeof OutputBytes];
        ShiftExchange();
    }
    ComClose(PortHandle);

    std::printf("# serio8 vboard log 1\n");
    std::printf("# made by waveform_loggen from the stand-in: %d exchanges, %.1f us per request\n",
                options.exchanges, options.requestUs);
    Writer out;
    size_t nextInput = 0;
    const std::vector<fakecomm::Call>& calls = fakecomm::Calls();
    const int64_t half = port.requestCost / 2;
    for (size_t i = 0; i < calls.size(); ++i) {
        while (nextInput < inputs.size() && inputs[nextInput].call == i) {
            BoardSetInputByte(out.board, inputs[nextInput].value);
            char hex[8];
            std::snprintf(hex, sizeof hex, "%02X", inputs[nextInput].value);
            out.Line(inputs[nextInput].counts, "INPUT", hex);
            ++nextInput;
        }
        const fakecomm::Call& call = calls[i];
        const bool ok = call.result != FALSE;
        switch (call.op) {
        case fakecomm::Op::CreateFile:
            if (ok) out.Line(call.time, "OPEN");
            break;
        case fakecomm::Op::CloseHandle:
            out.Line(call.time, ok ? "CLOSE" : "FAIL-CLOSE");
            break;
        case fakecomm::Op::SetCommState: {
            // The driver raises or drops DTR and RTS as the block's control modes say.
            if (!ok) break;
            const bool dtr = call.dcb.fDtrControl != DTR_CONTROL_DISABLE;
            const bool rts = call.dcb.fRtsControl != RTS_CONTROL_DISABLE;
            if ((dtr && !out.levels.dtr) || (rts && !out.levels.rts)) {
                out.levels.dtr = out.levels.dtr || dtr;
                out.levels.rts = out.levels.rts || rts;
                out.Drive();
                out.Line(call.time + half, "BIS");
            }
            if ((!dtr && out.levels.dtr) || (!rts && out.levels.rts)) {
                out.levels.dtr = out.levels.dtr && dtr;
                out.levels.rts = out.levels.rts && rts;
                out.Drive();
                out.Line(call.time + half, "BIC");
            }
            break;
        }
        case fakecomm::Op::EscapeCommFunction: {
            bool* line = nullptr;
            bool on = false;
            switch (call.arg1) {
            case SETRTS: line = &out.levels.rts; on = true; break;
            case CLRRTS: line = &out.levels.rts; break;
            case SETDTR: line = &out.levels.dtr; on = true; break;
            case CLRDTR: line = &out.levels.dtr; break;
            case SETBREAK: line = &out.levels.txd; on = true; break;
            case CLRBREAK: line = &out.levels.txd; break;
            default: break;
            }
            if (line == nullptr) break;
            const bool isBreak = line == &out.levels.txd;
            if (!ok) {
                out.Line(call.time, isBreak ? (on ? "FAIL-SBRK" : "FAIL-CBRK") : "FAIL-GET");
                break;
            }
            if (isBreak) {
                *line = on;
                out.Drive();
                out.Line(call.time + half, on ? "SBRK" : "CBRK");
            } else {
                // A switch is the lines read, the one bit changed, the lines written back.
                out.Line(call.time, "GET");
                *line = on;
                out.Drive();
                out.Line(call.time + half, "SET");
            }
            break;
        }
        case fakecomm::Op::GetCommModemStatus:
            out.Line(call.time, ok ? "GET" : "FAIL-GET");
            break;
        default:
            break;
        }
    }
    return 0;
}
