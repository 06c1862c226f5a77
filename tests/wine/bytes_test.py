#!/usr/bin/env python3
"""Real bytes through the library under Wine: Com3 is a pseudo-terminal whose
other end this test holds, and tests/wine/win/bytes.exe performs one library
call per command line (see its header for the commands).

    bytes_test.py SANDBOX WINDOWS_BUILD

Starts itself again inside the sandbox, which maps Com3 and hands over the
master end. A pseudo-terminal keeps the baud rate, the stop bits and the
XON/XOFF characters, but always reports 8 data bits without parity, so those
two are not checked here."""
import os
import select
import statistics
import subprocess
import sys
import threading
import time
import tty

WINE = "/usr/lib/wine/wine64"
INSIDE = "--inside"
failures = []


def brief(value):
    text = str(value)
    return text if len(text) <= 120 else "%s...%s (%d characters)" % (text[:60], text[-40:], len(text))


def check(what, ok, got, expected):
    print("%s %s: got %s, expected %s" % ("ok  " if ok else "FAIL", what, brief(got), brief(expected)), flush=True)
    if not ok:
        failures.append(what)


def equal(what, got, expected):
    check(what, got == expected, got, expected)


def nonzero(what, got):
    check(what, got != 0, got, "non-zero")


class Program:
    """bytes.exe under Wine, asked one command at a time."""

    def __init__(self, exe):
        self.proc = subprocess.Popen([WINE, exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline()
        if not answer:
            sys.exit("bytes.exe ended before answering %r (exit %s)" % (line, self.proc.wait()))
        words = answer.split()
        return dict(zip(words[0::2], words[1::2]))

    def result(self, line):
        return int(self.ask(line)["result"])

    def close(self):
        self.proc.stdin.write("quit\n")
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


class Line:
    """The master end of the pseudo-terminal, raw so that bytes pass unchanged."""

    def __init__(self, fd):
        self.fd = fd
        tty.setraw(fd)

    def send(self, data):
        os.write(self.fd, data)

    def receive(self, count, seconds=3.0):
        data = b""
        end = time.monotonic() + seconds
        while len(data) < count and time.monotonic() < end:
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if ready:
                data += os.read(self.fd, 65536)
        return data

    def drain(self):
        return self.receive(1 << 30, 0.3)


def wait_in_queue(program, count, seconds=3.0):
    """ComInQueue, asked until it reaches count: bytes take a moment to cross."""
    end = time.monotonic() + seconds
    got = program.result("inqueue")
    while got < count and time.monotonic() < end:
        time.sleep(0.02)
        got = program.result("inqueue")
    return got


def timed_reads(program, line, runs=3):
    """Time of runs reads of 10 bytes when none arrive, in ms, median first."""
    times = []
    for _ in range(runs):
        answer = program.ask("read 10 0xee")
        if answer["result"] == "0" or answer["data"] != "ee" * 10:
            check("a read with nothing to read succeeds and leaves the buffer alone", False, answer,
                  "a non-zero result and the buffer as filled")
        times.append(float(answer["ms"]))
    line.drain()
    return statistics.median(times), times


def within(what, median, times, low, high):
    check("%s (runs %s)" % (what, ", ".join("%.1f" % t for t in times)), low <= median <= high,
          "median %.1f ms" % median, "%d..%d ms" % (low, high))


def data_steps(program, line):
    answer = program.ask("open Com3:9600,n,8,1 0")
    check("Com3 opens", int(answer["handle"]) > 0, answer["handle"], "> 0")
    equal("ComOpen's time-outs", program.ask("gettimeouts"),
          {"interval": "100", "readmult": "10", "readconst": "100", "writemult": "100", "writeconst": "10"})

    # Every byte value, both ways.
    block = bytes(range(256))
    equal("ComWrite of 256 bytes", program.result("write " + block.hex()), 1)
    arrived = line.receive(len(block))
    check("the block arrives at the other end", arrived == block, arrived.hex(), block.hex())
    equal("ComInQueue with nothing sent", program.result("inqueue"), 0)
    line.send(block)
    waiting = wait_in_queue(program, len(block))
    check("ComInQueue counts the bytes that wait", waiting == len(block), waiting, len(block))
    answer = program.ask("read 256 0xee")
    equal("ComRead of 256 waiting bytes (success, data)", (answer["result"] != "0", answer["data"]),
          (True, block.hex()))
    equal("the queue is empty after the read", program.result("inqueue"), 0)

    # Fewer bytes than asked for: the read ends on the time-outs (interval
    # 100 ms, here before the total of 20 * 10 + 100 ms) and still succeeds.
    line.send(b"hello")
    wait_in_queue(program, 5)
    answer = program.ask("read 20 0xee")
    equal("a short read succeeds with what came (success, data)", (answer["result"] != "0", answer["data"]),
          (True, b"hello".hex() + "ee" * 15))
    ms = float(answer["ms"])
    check("a short read ends within the total time-out", ms <= 300 + 1000, "%.1f ms" % ms, "<= 1300 ms")

    # Nothing arrives: the total time-out alone ends the read.
    median, times = timed_reads(program, line)
    within("ComOpen's read time-out, 10 * 10 + 100 ms", median, times, 180, 1200)

    # New time-outs take effect: no interval limit, 200 ms + 50 ms per byte.
    # Swapping constant and multiplier would give 50 + 10 * 200 = 2050 ms.
    nonzero("ComSetTimeouts", program.result("timeouts 0 200 50 10 100"))
    equal("the record holds each value in its field", program.ask("gettimeouts"),
          {"interval": "0", "readmult": "50", "readconst": "200", "writemult": "100", "writeconst": "10"})
    median, times = timed_reads(program, line)
    within("the new read time-out, 200 + 10 * 50 ms", median, times, 630, 1700)

    # An interval of MAXDWORD with no totals: a read takes what waits and returns at once.
    program.result("timeouts -1 0 0 10 100")
    median, times = timed_reads(program, line)
    within("a read that returns at once", median, times, 0, 150)
    line.send(b"abc")
    wait_in_queue(program, 3)
    answer = program.ask("read 8 0xee")
    equal("...with what waits", answer["data"], b"abc".hex() + "ee" * 5)

    # A write that the write time-out ends: nobody reads the other end, so a
    # big block fills the line's buffer and stops half way.
    program.result("timeouts 100 100 10 300 0")
    answer = program.ask("write " + (b"w" * 32768).hex())
    ms = float(answer["ms"])
    equal("a write cut short by its time-out gives 0", answer["result"], "0")
    check("...after the write time-out", 250 <= ms <= 1500, "%.1f ms" % ms, "250..1500 ms")
    left = len(line.drain())
    check("...and only part of the block left", 0 < left < 32768, left, "between 0 and 32768")
    equal("ComOutQueue once the other end has read everything", program.result("outqueue"), 0)
    equal("ComLineStatus on a quiet line", program.result("linestatus"), 0)

    # The opening values restore the opening time-outs.
    program.result("timeouts 100 100 10 10 100")
    equal("ComSetTimeouts(100, 100, 10, 10, 100) restores ComOpen's", program.ask("gettimeouts"),
          {"interval": "100", "readmult": "10", "readconst": "100", "writemult": "100", "writeconst": "10"})

    # XON/XOFF characters: the low byte of each argument, flow control unchanged.
    for xon, xoff, expected in [("0x111", "0x213", ("0x11", "0x13")), ("0x41", "0x42", ("0x41", "0x42"))]:
        nonzero("ComSetXonXoffChars %s %s" % (xon, xoff), program.result("xonxoff %s %s" % (xon, xoff)))
        state = program.ask("state")
        equal("...read back", (state["xon"], state["xoff"], state["outx"], state["inx"]), expected + ("0", "0"))
    nonzero("ComClose", program.result("close"))

    # Line settings from the mode string, as far as a pseudo-terminal keeps them.
    for mode, baud, stop in [("Com3:19200,e,7,2", "19200", "2"), ("Com3:2400,n,8,1", "2400", "0")]:
        program.ask("open %s 0" % mode)
        state = program.ask("state")
        equal("%s read back" % mode, (state["baud"], state["stopbits"]), (baud, stop))
        program.result("close")

    # With XON/XOFF flow control on, new characters leave it on.
    program.ask("open Com3:9600,n,8,1 3")
    nonzero("ComSetXonXoffChars under HandshakeXonXoff", program.result("xonxoff 0x41 0x42"))
    state = program.ask("state")
    equal("...read back", (state["xon"], state["xoff"], state["outx"], state["inx"]), ("0x41", "0x42", "1", "1"))
    program.result("close")


def echo(line, stop):
    while not stop.is_set():
        ready, _, _ = select.select([line.fd], [], [], 0.05)
        if not ready:
            continue
        try:
            line.send(os.read(line.fd, 4096))
        except OSError:
            time.sleep(0.05)  # nobody holds the port's end yet (EIO)


def example_step(loopback, line):
    """The usage example against a line that sends every byte back."""
    stop = threading.Event()
    thread = threading.Thread(target=echo, args=(line, stop))
    thread.start()
    try:
        out = subprocess.run([WINE, loopback, "Com3"], capture_output=True, text=True, timeout=60)
    finally:
        stop.set()
        thread.join()
    equal("the loopback example over an echoing line", (out.returncode, out.stdout.strip()),
          (0, 'sent "Hello from comport", got "Hello from comport"'))


def inside(exe, loopback):
    line = Line(int(os.environ["SERIO8_COM3_MASTER"]))
    program = Program(exe)
    try:
        data_steps(program, line)
    finally:
        program.close()
    example_step(loopback, line)
    if failures:
        sys.exit("%d check(s) failed: %s" % (len(failures), "; ".join(failures)))
    print("ok: bytes, queue counts, time-outs and settings behave on a real line")


def main():
    if sys.argv[1] == INSIDE:
        inside(sys.argv[2], sys.argv[3])
        return
    sandbox, windows_build = sys.argv[1], sys.argv[2]
    exe = os.path.join(windows_build, "tests", "wine", "win", "bytes.exe")
    loopback = os.path.join(windows_build, "examples", "loopback.exe")
    for path in (exe, loopback):
        if not os.path.exists(path):
            sys.exit("missing %s: build the windows-x64 preset first" % path)
    sys.exit(subprocess.call([sys.executable, sandbox, "--com", "3", "--", sys.executable, os.path.abspath(__file__),
                              INSIDE, exe, loopback], timeout=280))


if __name__ == "__main__":
    main()
