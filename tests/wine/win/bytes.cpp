// Drives the library's data operations on one port, one command per line on
// standard input, one answer line per command on standard output, so that a
// test holding the other end of the line can check each step as it happens.
//
//   open MODE HANDSHAKE      -> handle H
//   close                    -> result R
//   write HEX                -> result R ms T
//   read LENGTH FILL         -> result R ms T data HEX   (buffer filled with FILL first)
//   inqueue | outqueue | linestatus -> result R
//   timeouts I RC RM WC WM   -> result R                 (ComSetTimeouts, in its argument order)
//   xonxoff XON XOFF         -> result R
//   gettimeouts              -> interval I readmult M readconst C writemult M writeconst C
//   state                    -> baud B parity P bytesize S stopbits T xon X xoff Y outx O inx I
//   quit
//
// Numbers are decimal or 0x-prefixed hexadecimal; times are milliseconds.
// GetCommState and GetCommTimeouts read back what the driver holds.
#include "comport.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int32_t Port = -1;

long Number(const char* text) { return std::strtol(text, nullptr, 0); }

std::vector<unsigned char> FromHex(const char* text) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
        const char pair[3] = {text[i], text[i + 1], '\0'};
        bytes.push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16)));
    }
    return bytes;
}

std::string ToHex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out.empty() ? "-" : out;
}

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

HANDLE System() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(Port)); }

void Run(char* line) {
    // Words are cut in place: each separator becomes the end of a word.
    char* words[8] = {};
    int count = 0;
    for (char* p = line; *p != '\0' && count < 8;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') *p++ = '\0';
        if (*p == '\0') break;
        words[count++] = p;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
    }
    if (count == 0) return;
    const std::string command = words[0];
    if (command == "open" && count == 3) {
        Port = ComOpen(words[1], static_cast<int32_t>(Number(words[2])), 0, 0);
        std::printf("handle %ld\n", static_cast<long>(Port));
    } else if (command == "close") {
        std::printf("result %ld\n", static_cast<long>(ComClose(Port)));
    } else if (command == "write" && count == 2) {
        const std::vector<unsigned char> bytes = FromHex(words[1]);
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = ComWrite(Port, bytes.data(), static_cast<int32_t>(bytes.size()));
        std::printf("result %ld ms %.1f\n", static_cast<long>(result), Milliseconds(start));
    } else if (command == "read" && count == 3) {
        std::vector<unsigned char> buffer(static_cast<size_t>(Number(words[1])),
                                          static_cast<unsigned char>(Number(words[2])));
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = ComRead(Port, buffer.data(), static_cast<int32_t>(buffer.size()));
        const double ms = Milliseconds(start);
        std::printf("result %ld ms %.1f data %s\n", static_cast<long>(result), ms,
                    ToHex(buffer.data(), buffer.size()).c_str());
    } else if (command == "inqueue") {
        std::printf("result %ld\n", static_cast<long>(ComInQueue(Port)));
    } else if (command == "outqueue") {
        std::printf("result %ld\n", static_cast<long>(ComOutQueue(Port)));
    } else if (command == "linestatus") {
        std::printf("result %ld\n", static_cast<long>(ComLineStatus(Port)));
    } else if (command == "timeouts" && count == 6) {
        const int32_t result = ComSetTimeouts(Port, Number(words[1]), Number(words[2]), Number(words[3]),
                                              Number(words[4]), Number(words[5]));
        std::printf("result %ld\n", static_cast<long>(result));
    } else if (command == "xonxoff" && count == 3) {
        std::printf("result %ld\n", static_cast<long>(ComSetXonXoffChars(Port, Number(words[1]), Number(words[2]))));
    } else if (command == "gettimeouts") {
        COMMTIMEOUTS t = {};
        if (!GetCommTimeouts(System(), &t)) {
            std::printf("failed\n");
        } else {
            std::printf("interval %lu readmult %lu readconst %lu writemult %lu writeconst %lu\n",
                        static_cast<unsigned long>(t.ReadIntervalTimeout),
                        static_cast<unsigned long>(t.ReadTotalTimeoutMultiplier),
                        static_cast<unsigned long>(t.ReadTotalTimeoutConstant),
                        static_cast<unsigned long>(t.WriteTotalTimeoutMultiplier),
                        static_cast<unsigned long>(t.WriteTotalTimeoutConstant));
        }
    } else if (command == "state") {
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(System(), &dcb)) {
            std::printf("failed\n");
        } else {
            std::printf("baud %lu parity %u bytesize %u stopbits %u xon 0x%02x xoff 0x%02x outx %u inx %u\n",
                        static_cast<unsigned long>(dcb.BaudRate), dcb.Parity, dcb.ByteSize, dcb.StopBits,
                        static_cast<unsigned char>(dcb.XonChar), static_cast<unsigned char>(dcb.XoffChar),
                        static_cast<unsigned>(dcb.fOutX), static_cast<unsigned>(dcb.fInX));
        }
    } else {
        std::printf("unknown\n");
    }
}

}  // namespace

int main() {
    static char line[70000];  // a write of 32 KiB in hexadecimal fits
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        if (std::strncmp(line, "quit", 4) == 0) break;
        Run(line);
        std::fflush(stdout);
    }
    return 0;
}
