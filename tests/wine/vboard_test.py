#!/usr/bin/env python3
"""The exchange of the program's own library under Wine, against the virtual
board on Com3: loopback, inputs set while it runs, a board that fails every
request and one that answers slowly. The checker must pass on the whole log.

    vboard_test.py SANDBOX WINDOWS_BUILD VBOARD_LIB CHECKER
"""
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading

sandbox, windows_build, vboard_lib, checker = sys.argv[1:5]
program = os.path.join(windows_build, "tests", "wine", "win", "shiftrun.exe")
if not os.path.exists(program):
    sys.exit("missing %s: build the windows-x64 preset first" % program)

TIMING_EXCHANGES = 300
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)


class Program:
    """shiftrun.exe in the sandbox, one command and its answers at a time."""

    def __init__(self, board_dir):
        self.process = subprocess.Popen(
            [sys.executable, sandbox, "--board", "3=loopback", "--board-dir", board_dir, "--vboard-lib", vboard_lib,
             "--", "/usr/lib/wine/wine64", program, "Com3"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self.pump, daemon=True).start()

    def pump(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.lines.put(None)

    def answer(self, timeout=60):
        line = self.lines.get(timeout=timeout)
        if line is None:
            raise RuntimeError("shiftrun ended early: %s" % self.process.stderr.read())
        return line

    def send(self, command, answers=1):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return [self.answer() for _ in range(answers)]

    def exchange(self, output, count=1, period_ms=0):
        """Runs exchanges; returns the input bytes and durations (us) it printed."""
        lines = self.send("x %02X %d %d" % (output, count, period_ms), count)
        result = []
        for line in lines:
            word, value, micros = line.split()
            if word != "in":
                raise RuntimeError("unexpected answer %r" % line)
            result.append((int(value, 16), int(micros)))
        return result

    def quit(self):
        self.process.stdin.write("quit\n")
        self.process.stdin.close()
        return self.process.wait(timeout=60)

    def stop(self):
        """Ends a run that went wrong: end of input ends shiftrun, and the
        sandbox then takes Wine down with it."""
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
                self.process.wait(timeout=30)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


def control(board_dir, text):
    """Rewrites the board's control file in one step."""
    path = os.path.join(board_dir, "control")
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


def outputs_at(log_path):
    """The 4094's outputs after each time they changed: (t_ns, byte)."""
    changes = []
    with open(log_path) as f:
        for line in f:
            words = line.split()
            if len(words) == 4 and words[0] == "#" and words[2] == "OUTPUTS":
                changes.append((int(words[1]), int(words[3], 16)))
    return changes


def main():
    board_dir = tempfile.mkdtemp(prefix="serio8-vboard-test-")
    log_path = os.path.join(board_dir, "com3.log")
    sent = []  # every byte sent, in order, with what the program read back

    def run(output, count=1, period_ms=0):
        got = program.exchange(output, count, period_ms)
        sent.extend((output & 0xFF, value) for value, _ in got)
        return got

    program = Program(board_dir)
    try:
        exercise(program, run, board_dir)
    finally:
        program.stop()
    check_log(board_dir, log_path, sent)
    if failures:
        print("board directory kept: %s" % board_dir)
        sys.exit("%d check(s) failed" % len(failures))
    shutil.rmtree(board_dir, ignore_errors=True)
    print("ok: loopback, inputs, failures, a slow board and every exchange in the log")


def exercise(program, run, board_dir):
    first = program.answer()
    expect(first.startswith("open "), "Com3 should open, got %r" % first)

    # The first exchange after the open finds DTR on (the driver raised it)
    # and so loses its first clock edge; from the next one on, loopback reads
    # back what the exchange before sent.
    run(0x00)
    previous = 0x00
    for value in [0x01, 0x80, 0xA5, 0x5A, 0xFF, 0x00, 0x3C]:
        got = run(value)[0][0]
        expect(got == previous, "loopback: after sending %02X the board should give it back, got %02X"
               % (previous, got))
        previous = value

    # Inputs set on the board while the program runs.
    for value in [0x01, 0x80, 0xA5]:
        control(board_dir, "com3 inputs %02X\n" % value)
        got = run(0x00)[0][0]
        expect(got == value, "inputs %02X set on the board, read %02X" % (value, got))

    # Timing over many exchanges.
    durations = sorted(micros for _, micros in run(0x55, TIMING_EXCHANGES, 1))
    print("program's own measure of %d exchanges: median %d us, max %d us" %
          (len(durations), durations[len(durations) // 2], durations[-1]))

    # The adapter pulled: every request fails, the exchange reads 0; then back.
    control(board_dir, "com3 inputs A5\ncom3 fail 1\n")
    for _ in range(3):
        got = run(0x0F)[0][0]
        expect(got == 0, "a board that fails every request must read 00, got %02X" % got)
    control(board_dir, "com3 inputs A5\n")
    got = run(0x0F)[0][0]
    expect(got == 0xA5, "after the failures the board should read A5 again, got %02X" % got)

    # A slow board: each request takes 1 ms.
    control(board_dir, "com3 inputs C3\ncom3 delay_us 1000\n")
    slow = run(0x96, 2)
    expect(all(value == 0xC3 for value, _ in slow), "a slow board should still read C3: %s" % slow)
    expect(all(micros > 50000 for _, micros in slow), "1 ms per request should show: %s" % slow)
    control(board_dir, "com3 inputs loopback\n")

    # Closing and opening again: the first exchange lacks its first clock edge
    # again, so D0 does not reach the 4094 (it shows the D7 before it); the
    # next exchange puts everything right.
    answer = program.send("open Com3")[0]
    expect(answer.startswith("open "), "Com3 should open again, got %r" % answer)
    run(0x81)
    got = run(0x42)[0][0]
    expect(got == 0x80, "loopback after the reopen: D0 of the first exchange is lost, expected 80, got %02X" % got)
    got = run(0x00)[0][0]
    expect(got == 0x42, "loopback after the reopen: expected 42, got %02X" % got)

    code = program.quit()
    expect(code == 0, "shiftrun should end with 0, got %d" % code)


def check_log(board_dir, log_path, sent):

    # The whole log through the checker.
    report = os.path.join(board_dir, "exchanges.json")
    check = subprocess.run([sys.executable, checker, log_path, "--json", report], capture_output=True, text=True)
    print(check.stdout, end="")
    expect(check.returncode == 0, "the checker found violations:\n%s%s" % (check.stdout, check.stderr))
    with open(report) as f:
        data = json.load(f)
    exchanges = data["exchanges"]
    served = [pair for pair in sent if not (pair[0] == 0x0F and pair[1] == 0)]  # failed ones leave no exchange
    expect(len(exchanges) == len(served), "%d exchanges in the log, %d served" % (len(exchanges), len(served)))
    seen = [(x["output"], x["input"]) for x in exchanges]
    expect(seen == served, "the bytes on the lines differ from those the program sent and read")
    s = data["summary"]
    expect(s["first_clock_without_edge"] == 2, "only the two first exchanges after an open may lack the first "
           "clock edge, found %d" % s["first_clock_without_edge"])
    expect((s["opens"], s["closes"]) == (2, 2), "opens/closes: %d/%d" % (s["opens"], s["closes"]))
    expect(s["failed_requests"] > 0 and s["interrupted"] == 0, "failed requests %d, interrupted exchanges %d"
           % (s["failed_requests"], s["interrupted"]))
    slow_seen = [x for x in exchanges if x["duration_ns"] > 50e6]
    expect(len(slow_seen) == 2, "two slow exchanges expected, found %d" % len(slow_seen))

    # The 4094's outputs hold each byte sent once its strobe pulse is over.
    changes = outputs_at(log_path)
    for x in exchanges:
        held = [value for t, value in changes if t <= x["end_ns"]]
        held = held[-1] if held else None
        if x["first_clock_without_edge"]:
            continue  # its first bit never went in
        expect(held == x["output"], "after the exchange at line %d the 4094 should show %02X, shows %s"
               % (x["line"], x["output"], held))

    timed = sorted(x["duration_ns"] for x in exchanges if x["output"] == 0x55)
    if timed:
        print("the board's measure of the same %d: median %.1f us (%.2f x 200 us), p99 %.1f us, max %.1f us" %
              (len(timed), timed[len(timed) // 2] / 1000, timed[len(timed) // 2] / 200000,
               timed[min(len(timed) - 1, -(-99 * len(timed) // 100) - 1)] / 1000, timed[-1] / 1000))


if __name__ == "__main__":
    main()
