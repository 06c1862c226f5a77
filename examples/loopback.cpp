// A first program with the comport library: sends a short message out of a
// serial port and reads it back in. Put a loopback plug on the port (transmit
// data wired to receive data, pins 2 and 3 on a 9-pin plug) and run
//
//     loopback Com1
//
// It prints what came back and exits with 0 when the message returned intact,
// 1 when it did not, and 2 when the port cannot be opened.
#include "comport.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "Com1";

    // One string names the port and sets its line: 9600 baud, no parity,
    // 8 data bits, 1 stop bit. HandshakeRtsOn keeps RTS asserted, which a
    // plug that also loops RTS to CTS needs. Queue sizes of 0 leave the
    // driver's own.
    const std::string mode = name + ":9600,n,8,1";
    const int32_t port = ComOpen(mode.c_str(), HandshakeRtsOn, 0, 0);
    if (port <= 0) {
        std::printf("%s cannot be opened\n", name.c_str());
        return 2;
    }

    // Time-outs in milliseconds; mind the order, each constant before its
    // multiplier. A read may take 1000 ms + 10 ms per byte asked for, with no
    // limit on the pause between two bytes (0); a write 1000 ms + 10 ms per
    // byte. Without this call a read would give up after 100 ms of silence.
    ComSetTimeouts(port, 0, 1000, 10, 1000, 10);

    const char message[] = "Hello from comport";
    const int32_t length = static_cast<int32_t>(std::strlen(message));
    // 1 only when every byte left within the write time-outs.
    if (ComWrite(port, message, length) == 0) {
        std::printf("the message could not be sent\n");
        ComClose(port);
        return 1;
    }

    // ComRead says whether the read worked, not how many bytes came: a read
    // that times out half way still succeeds. So start from a cleared buffer
    // and compare what is in it afterwards.
    char reply[sizeof message] = {};
    const int32_t received = ComRead(port, reply, length);
    const bool intact = received != 0 && std::memcmp(reply, message, sizeof message) == 0;
    std::printf("sent \"%s\", got \"%s\"\n", message, reply);

    // Line errors (parity, framing, overrun, ...) and transmit holds since the
    // last look, as one word; 0 when all is well. Asking also clears them.
    const int32_t status = ComLineStatus(port);
    if (status != 0) std::printf("line status 0x%04x\n", static_cast<unsigned>(status));

    ComClose(port);
    return intact ? 0 : 1;
}
