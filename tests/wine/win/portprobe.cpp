// Tries to open each COM name given (default Com1..Com255) with the library
// and prints one line per name: "Com3 open" or "Com3 absent".
#include "comport.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    int first = 1;
    int last = 255;
    if (argc == 3) {
        first = std::atoi(argv[1]);
        last = std::atoi(argv[2]);
    }
    for (int n = first; n <= last; ++n) {
        const std::string mode = "Com" + std::to_string(n) + ":9600,n,8,1";
        const int32_t handle = ComOpen(mode.c_str(), HandshakeNone, 0, 0);
        std::printf("Com%d %s\n", n, handle > 0 ? "open" : "absent");
        if (handle > 0) ComClose(handle);
    }
    return 0;
}
