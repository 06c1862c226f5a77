// comport: a small serial-port library for Windows.
//
// Open a port from a mode string, switch its output lines (DTR, RTS, TXD) and
// sense its input lines (CTS, DSR, RI, DCD) as plain digital lines, or move
// blocks of serial data with time-outs, queue counts and a line-status word.
//
// Every operation is a free function over a port handle, the signed 32-bit
// value that ComOpen returns. The library keeps no state of its own: all that
// describes an open port lives in the operating system's driver.
//
// Results are signed 32-bit integers and 0 always means "failed, no port, or
// the line is off". Every operation but ComOpen and ComClose returns 0 at once,
// without asking the driver, for the handle -1; a handle of 0 (what a failed
// ComOpen leaves) is passed on and refused by the driver, which also gives 0.
// On/off arguments take 0 for off and any other value for on. The library
// never reads or resets the operating system's last-error code.
//
// Typical use:
//     int32_t port = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
//     if (port > 0) { ComSetDTR(port, 1); int dcd = ComGetDCD(port); ComClose(port); }
#ifndef SERIO8_COMPORT_H
#define SERIO8_COMPORT_H

#include <cstdint>

// Handshake presets for ComOpen. Any other value applies no preset.
enum {
    HandshakeNone = 0,     // RTS held off by the driver's flow control (free for ComSetRTS), no CTS flow
    HandshakeRtsOn = 1,    // RTS held on, no CTS flow
    HandshakeRtsCts = 2,   // RTS/CTS hardware handshake
    HandshakeXonXoff = 3,  // XON/XOFF both ways, DC1/DC3, limits from the receive-queue size
};

// ---- Opening and closing -------------------------------------------------

// Opens the device named before the first ':' of `mode` (the whole string when
// it has none) as "\\.\<name>", for exclusive synchronous use. Sizes the
// driver's queues when rxQueue > 0 and txQueue > 0, sets the line parameters
// from the whole of `mode` (e.g. "Com3:9600,n,8,1"), applies the `handshake`
// preset and sets the time-outs: read interval 100 ms, read 10 ms per byte
// + 100 ms, write 100 ms per byte + 10 ms.
// For HandshakeXonXoff, XonLim = rxQueue / 10 and XoffLim = (rxQueue / 10) * 7.
// Returns the handle (> 0), or 0 when the device cannot be opened, `mode` is
// NULL or its device name is longer than 7 characters. A port whose settings
// the driver refused is still returned open: the caller must close it.
int32_t ComOpen(const char* mode, int32_t handshake, int32_t rxQueue, int32_t txQueue);

// Closes the handle, whatever it is (no check for 0 or -1). Returns the
// driver's non-zero success flag when it was closed, 0 otherwise; ComClose(0)
// returns 0 and does nothing.
int32_t ComClose(int32_t handle);

// ---- Control and status lines -------------------------------------------

// Switch an output line: DTR and RTS are asserted when on; TXD on holds the
// line in the break state (continuous space), off ends the break (the line
// rests at mark). Return the driver's non-zero success flag, or 0.
int32_t ComSetDTR(int32_t handle, int32_t state);
int32_t ComSetRTS(int32_t handle, int32_t state);
int32_t ComSetTXD(int32_t handle, int32_t state);

// Sense an input line, each a fresh reading of the modem status. Return
// exactly 1 when the line is on, 0 when it is off or the reading failed.
int32_t ComGetCTS(int32_t handle);
int32_t ComGetDSR(int32_t handle);
int32_t ComGetRI(int32_t handle);
int32_t ComGetDCD(int32_t handle);

// ---- Serial data ---------------------------------------------------------
// examples/loopback.cpp is a complete program that sends a block and reads it
// back.

// Replaces all five time-outs at once, in milliseconds. Mind the order: each
// constant comes before its multiplier. A read ends when its total,
// readTotalConstant + readTotalMultiplier * length, has passed, or when
// readInterval passes between two bytes; a write ends after writeTotalConstant
// + writeTotalMultiplier * length. 0 switches a limit off. readInterval -1 with
// both read totals 0 makes a read return at once with what is waiting.
// Values pass unchecked; ComSetTimeouts(h, 100, 100, 10, 10, 100) restores
// what ComOpen set. Returns the driver's non-zero success flag, or 0.
int32_t ComSetTimeouts(int32_t handle, int32_t readInterval, int32_t readTotalConstant,
                       int32_t readTotalMultiplier, int32_t writeTotalConstant,
                       int32_t writeTotalMultiplier);

// Writes `length` bytes from `buffer`. Returns 1 only when all of them left
// before the write time-out (an empty block counts); 0 for a short or refused
// write, a negative `length`, or a NULL `buffer` with a positive `length`.
// How many bytes of a short write left is not reported; nothing is retried.
int32_t ComWrite(int32_t handle, const void* buffer, int32_t length);

// Reads up to `length` bytes into `buffer`; bytes that did not arrive before
// the read time-out leave their places in `buffer` untouched. Returns the
// driver's non-zero success flag even when fewer bytes, or none, arrived: it
// does not say how many came (ask ComInQueue first, or compare contents).
// 0 when the read was refused, for a negative `length`, or a NULL `buffer`
// with a positive `length`.
int32_t ComRead(int32_t handle, void* buffer, int32_t length);

// Byte counts of the receive queue (received, not yet read) and of the
// transmit queue (not yet sent); 0 also when the query was refused. Like
// ComLineStatus they collect and clear the port's pending line errors, so an
// error seen here is not reported by the next ComLineStatus.
int32_t ComInQueue(int32_t handle);
int32_t ComOutQueue(int32_t handle);

// Sets the XON and XOFF characters to the low 8 bits of `xonChar` and
// `xoffChar` and changes nothing else: XON/XOFF flow control is neither
// switched on nor off (HandshakeXonXoff switches it on). Returns the driver's
// non-zero success flag, or 0; when the port's settings could not be read,
// the port is left as it was.
int32_t ComSetXonXoffChars(int32_t handle, int32_t xonChar, int32_t xoffChar);

// Collects and clears the port's line errors and reports them with the
// transmit hold flags as one word:
//   0x0001 receive queue overflow    0x0080 waiting for CTS
//   0x0002 character buffer overrun  0x0100 waiting for DSR
//   0x0004 parity error              0x0200 waiting for DCD
//   0x0008 framing error             0x0400 waiting: XOFF received
//   0x0010 break received            0x0800 waiting: XOFF sent
// No other bit is ever set: not 0x0020 or 0x0040 (a queue overflow sets
// 0x0001 only), no error above the break, and neither "end-of-file character
// received" nor "immediate character waiting" (COMSTAT's fEof, fTxim) shows.
// 0 when there is nothing to report or the query was refused.
int32_t ComLineStatus(int32_t handle);

#endif
