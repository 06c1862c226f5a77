// Opening the selected port and stopping the polls: the two port operations
// that startup, the port change and the exit share.
#include <cstdio>

#include "app.h"
#include "comport.h"
#include "ids.h"

int32_t OpenSelectedPort() {
    // A drop-down list's window text is its selected item, e.g. "Com7".
    // Names are at most "Com255"; a longer text would be cut, not overrun.
    char name[16] = "";
    SendDlgItemMessageA(MainWindow, IdPortList, WM_GETTEXT, sizeof name, reinterpret_cast<LPARAM>(name));
    std::snprintf(PortMode, sizeof PortMode, "%s:9600,n,8,1", name);
    // No handshake leaves RTS to the exchange; 0, 0 keeps the driver's queues.
    PortHandle = ComOpen(PortMode, HandshakeNone, 0, 0);
    // Applying the settings raises DTR. Left on, the first exchange's first
    // clock pulse would have no rising edge: D0 would never reach the 4094,
    // whose outputs would show a wrong byte until the next poll, and every
    // input bit would come in one place late. With DTR off the first exchange
    // after an open is like every other.
    if (PortHandle > 0) ComSetDTR(PortHandle, 0);
    return 0;
}

int32_t StopPolling() {
    // The timer goes first so that no poll can run on the port being closed.
    KillTimer(MainWindow, PollTimerId);
    ComClose(PortHandle);
    return 0;
}
