// Conversions between the library's 32-bit port handle and the system's HANDLE.
// Kernel handles fit in 32 bits on 64-bit Windows too, so a port handle
// survives the round trip; going through intptr_t sign-extends, which keeps
// -1 equal to INVALID_HANDLE_VALUE in both directions.
#ifndef SERIO8_COMPORT_HANDLE_H
#define SERIO8_COMPORT_HANDLE_H

#include <windows.h>
#include <cstdint>

inline HANDLE ToSystemHandle(int32_t handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

inline int32_t FromSystemHandle(HANDLE handle) {
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(handle));
}

// The value that stands for "no port": the line and data operations answer it
// with 0 without asking the driver.
const int32_t NoPortHandle = -1;

#endif
