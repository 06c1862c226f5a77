// The port's control circuits as plain digital lines.
#include "comport.h"
#include "handle.h"

namespace {

// Output line to the driver's escape codes. TXD has no escape of its own: a
// break holds it at space, ending the break lets it rest at mark.
struct Switch {
    DWORD on;
    DWORD off;
};
const Switch DtrSwitch = {SETDTR, CLRDTR};
const Switch RtsSwitch = {SETRTS, CLRRTS};
const Switch TxdSwitch = {SETBREAK, CLRBREAK};

int32_t SwitchLine(int32_t handle, int32_t state, const Switch& line) {
    if (handle == NoPortHandle) return 0;
    return EscapeCommFunction(ToSystemHandle(handle), state != 0 ? line.on : line.off);
}

// Every reading is a request of its own, so two lines read one after the other
// are two snapshots, not one. The answer is 1, not the bit's own value.
int32_t SenseLine(int32_t handle, DWORD bit) {
    if (handle == NoPortHandle) return 0;
    DWORD status = 0;
    if (!GetCommModemStatus(ToSystemHandle(handle), &status)) return 0;
    return (status & bit) == bit ? 1 : 0;
}

}  // namespace

int32_t ComSetDTR(int32_t handle, int32_t state) { return SwitchLine(handle, state, DtrSwitch); }
int32_t ComSetRTS(int32_t handle, int32_t state) { return SwitchLine(handle, state, RtsSwitch); }
int32_t ComSetTXD(int32_t handle, int32_t state) { return SwitchLine(handle, state, TxdSwitch); }

int32_t ComGetCTS(int32_t handle) { return SenseLine(handle, MS_CTS_ON); }
int32_t ComGetDSR(int32_t handle) { return SenseLine(handle, MS_DSR_ON); }
int32_t ComGetRI(int32_t handle) { return SenseLine(handle, MS_RING_ON); }
int32_t ComGetDCD(int32_t handle) { return SenseLine(handle, MS_RLSD_ON); }
