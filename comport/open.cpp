// Opening, configuring and closing a port.
#include "comport.h"
#include "handle.h"

#include <cstring>

namespace {

// "\\.\" makes CreateFileA take the name as a device in the Win32 device
// namespace; without it only COM1..COM9 open, "COM10" and up are taken as file
// names.
const char DevicePrefix[] = "\\\\.\\";
const size_t DevicePrefixLength = sizeof DevicePrefix - 1;  // 4
const size_t MaxDeviceName = 7;                               // 4 + 7 + NUL = 12 bytes

// The device name is everything before the first ':'. Returns false when it
// does not fit the path buffer; the caller then opens nothing.
bool BuildDevicePath(const char* mode, char (&path)[DevicePrefixLength + MaxDeviceName + 1]) {
    size_t nameLength = 0;
    while (mode[nameLength] != '\0' && mode[nameLength] != ':') {
        if (++nameLength > MaxDeviceName) return false;
    }
    std::memset(path, 0, sizeof path);
    std::memcpy(path, DevicePrefix, DevicePrefixLength);
    std::memcpy(path + DevicePrefixLength, mode, nameLength);
    return true;
}

// The presets, indexed by their selector. Each writes only its own fields;
// everything else in the block stays as the driver and the mode string left it.
struct HandshakePreset {
    bool rtsCts;      // writes fRtsControl and fOutxCtsFlow
    DWORD rtsControl;
    DWORD ctsFlow;
    bool xonXoff;     // writes fOutX, fInX, the characters and the limits
};
const HandshakePreset HandshakePresets[] = {
    {true, RTS_CONTROL_DISABLE, 0, false},    // HandshakeNone: RTS is the caller's to switch
    {true, RTS_CONTROL_ENABLE, 0, false},     // HandshakeRtsOn
    {true, RTS_CONTROL_HANDSHAKE, 1, false},  // HandshakeRtsCts
    {false, 0, 0, true},                      // HandshakeXonXoff
};
const int32_t PresetCount = static_cast<int32_t>(sizeof HandshakePresets / sizeof HandshakePresets[0]);

void ApplyHandshake(DCB& dcb, int32_t handshake, int32_t rxQueue) {
    if (handshake < 0 || handshake >= PresetCount) return;  // no preset: the block as built
    const HandshakePreset& preset = HandshakePresets[handshake];
    if (preset.rtsCts) {
        dcb.fRtsControl = preset.rtsControl;
        dcb.fOutxCtsFlow = preset.ctsFlow;
    }
    if (preset.xonXoff) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.XonChar = 0x11;   // DC1
        dcb.XoffChar = 0x13;  // DC3
        // Divide first, then multiply: 995 gives 99 and 693. Each limit keeps
        // its low 16 bits, as the driver's WORD fields do.
        const int32_t tenth = rxQueue / 10;
        dcb.XonLim = static_cast<WORD>(static_cast<uint32_t>(tenth) & 0xFFFFu);
        dcb.XoffLim = static_cast<WORD>(static_cast<uint32_t>(tenth) * 7u & 0xFFFFu);
    }
}

}  // namespace

int32_t ComOpen(const char* mode, int32_t handshake, int32_t rxQueue, int32_t txQueue) {
    if (mode == nullptr) return 0;
    char path[DevicePrefixLength + MaxDeviceName + 1];
    if (!BuildDevicePath(mode, path)) return 0;

    HANDLE system = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (system == INVALID_HANDLE_VALUE) return 0;
    const int32_t handle = FromSystemHandle(system);

    if (rxQueue > 0 && txQueue > 0) {
        SetupComm(system, static_cast<DWORD>(rxQueue), static_cast<DWORD>(txQueue));
    }

    // From here on every failure still returns the open handle: the caller
    // owns it and must close it, configured or not.
    DCB dcb;  // filled whole by GetCommState, the driver's own view of the port
    if (!GetCommState(system, &dcb)) return handle;
    if (!BuildCommDCBA(mode, &dcb)) return handle;
    ApplyHandshake(dcb, handshake, rxQueue);
    if (!SetCommState(system, &dcb)) return handle;

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 100;
    timeouts.WriteTotalTimeoutMultiplier = 100;
    timeouts.WriteTotalTimeoutConstant = 10;
    SetCommTimeouts(system, &timeouts);
    return handle;
}

int32_t ComClose(int32_t handle) {
    return CloseHandle(ToSystemHandle(handle));
}
