// Runs exchanges with the shift-register board on command, so that a test can
// change the board between two exchanges and see what each one brought back.
//
//     shiftrun.exe [ComN]
//
// Opens ComN first when it is given. Then reads one command per line from
// standard input and answers each on standard output:
//
//     open ComN              ->  "open <handle>" or "absent"
//     close                  ->  "closed"
//     x HH [COUNT [PERIOD]]  ->  COUNT lines "in <HH> <us>": one exchange each
//                                with OutputByte = HH (hex), PERIOD ms apart
//                                (Sleep); <us> is the exchange's duration
//                                measured with the performance counter
//     quit, or end of input  ->  closes the port and ends with exit code 0
//
// Anything else is answered with "error <line>". The exchange, the port
// library and the shared values are the program's own.
#include "comport.h"
#include "shiftlink.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void OpenPort(const char* name) {
    const std::string mode = std::string(name) + ":9600,n,8,1";
    PortHandle = ComOpen(mode.c_str(), HandshakeNone, 0, 0);
    if (PortHandle > 0) {
        std::printf("open %ld\n", static_cast<long>(PortHandle));
    } else {
        std::printf("absent\n");
    }
}

void ClosePort() {
    if (PortHandle > 0) ComClose(PortHandle);
    PortHandle = 0;
}

long ElapsedMicroseconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<long>((end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
}

void Exchange(long output, long count, long periodMs) {
    for (long i = 0; i < count; ++i) {
        if (i > 0 && periodMs > 0) Sleep(static_cast<DWORD>(periodMs));
        OutputByte = static_cast<int32_t>(output);
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        ShiftExchange();
        QueryPerformanceCounter(&end);
        std::printf("in %02lX %ld\n", static_cast<long>(InputByte), ElapsedMicroseconds(start, end));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Line-buffered answers would wait for a full buffer on a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc > 1) OpenPort(argv[1]);

    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        char name[64] = {0};
        char hex[16] = {0};
        long count = 1;
        long periodMs = 0;
        if (std::sscanf(line, "open %63s", name) == 1) {
            ClosePort();
            OpenPort(name);
        } else if (std::strcmp(line, "close") == 0) {
            ClosePort();
            std::printf("closed\n");
        } else if (std::sscanf(line, "x %15s %ld %ld", hex, &count, &periodMs) >= 1 && count > 0) {
            Exchange(std::strtol(hex, nullptr, 16), count, periodMs);
        } else if (std::strcmp(line, "quit") == 0) {
            break;
        } else {
            std::printf("error %s\n", line);
        }
    }
    ClosePort();
    return 0;
}
