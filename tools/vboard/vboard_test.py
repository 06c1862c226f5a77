#!/usr/bin/env python3
"""The virtual board's library without Wine: a Python child, with the library
preloaded, makes the requests that Wine's serial driver makes.

    vboard_test.py LIBVBOARD CHECKER
"""
import errno
import fcntl
import json
import os
import pty
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

TIOCSBRK, TIOCCBRK = 0x5427, 0x5428
RTS, DTR, CAR = termios.TIOCM_RTS, termios.TIOCM_DTR, termios.TIOCM_CAR


def child(steps):
    """Runs the steps in this (preloaded) process and prints one result each.
    A ("switch", name, line, on) step is a SET of the lines that the GET just
    before it returned, with that line changed: what Wine does."""
    fds = {}
    lines = {}
    results = []
    for step in steps:
        op, name = step[0], step[1] if len(step) > 1 else None
        if op == "switch":
            bits = lines.get(name, 0)
            op, step = "set", ("set", name, bits | step[2] if step[3] else bits & ~step[2])
        try:
            start = time.monotonic()
            if op == "open":
                fds[name] = os.open(step[2], os.O_RDWR | os.O_NOCTTY)
                result = fds[name]
            elif op == "close":
                os.close(fds.pop(name))
                result = 0
            elif op == "dup2":
                os.dup2(fds[step[2]], fds[name])
                result = 0
            elif op == "control":
                with open(name + ".new", "w") as f:
                    f.write(step[2])
                os.replace(name + ".new", name)
                result = 0
            elif op == "get":
                result = struct.unpack("i", fcntl.ioctl(fds[name], termios.TIOCMGET, struct.pack("i", 0)))[0]
                lines[name] = result
            elif op in ("set", "bis", "bic"):
                request = {"set": termios.TIOCMSET, "bis": termios.TIOCMBIS, "bic": termios.TIOCMBIC}[op]
                fcntl.ioctl(fds[name], request, struct.pack("i", step[2]))
                result = 0
            else:
                fcntl.ioctl(fds[name], TIOCSBRK if op == "sbrk" else TIOCCBRK)
                result = 0
            results.append(dict(result=result, seconds=time.monotonic() - start))
        except OSError as e:
            results.append(dict(errno=e.errno))
    print(json.dumps(results))


def switch(name, line, on):
    """A line switched the way Wine does it: read, then write all lines."""
    return [("get", name), ("switch", name, line, on)]


def exchange(name, output):
    """One exchange as the program makes it, without the waits."""
    steps = switch(name, RTS, 1) + switch(name, RTS, 0)
    for k in range(8):
        steps += [("sbrk" if output >> k & 1 else "cbrk", name), ("get", name)]
        steps += switch(name, DTR, 1) + switch(name, DTR, 0)
    return steps + switch(name, RTS, 1) + switch(name, RTS, 0)


def dcd_byte(steps, results, n):
    """The byte read by exchange n: its GETs that no switch follows, LSB first."""
    reads = [results[i]["result"] & CAR != 0 for i, step in enumerate(steps)
             if step[0] == "get" and (i + 1 == len(steps) or steps[i + 1][0] != "switch")]
    return sum(1 << k for k, bit in enumerate(reads[8 * n:8 * n + 8]) if bit)


class Board(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="serio8-vboard-lib-")
        self.ptys = {}
        for com in (3, 4):
            master, slave = pty.openpty()
            self.ptys[com] = (master, os.ttyname(slave))
            os.close(slave)
        self.control("com3 inputs loopback\n")

    def tearDown(self):
        for master, _ in self.ptys.values():
            os.close(master)
        shutil.rmtree(self.dir, ignore_errors=True)

    def control(self, text):
        with open(os.path.join(self.dir, "control"), "w") as f:
            f.write(text)

    def run_child(self, steps, boards=(3,)):
        """Runs the steps in a child with the library preloaded."""
        expanded = [self.resolve(step) for step in steps]
        env = dict(os.environ, LD_PRELOAD=LIBRARY, SERIO8_VBOARD_DIR=self.dir,
                   SERIO8_VBOARD_PORTS=",".join("%d=%s" % (c, self.ptys[c][1]) for c in boards))
        script = "import sys; sys.path.insert(0, %r); import vboard_test; vboard_test.child(%r)" % (HERE, expanded)
        out = subprocess.run([sys.executable, "-B", "-c", script], env=env, capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        return json.loads(out.stdout)

    def resolve(self, step):
        if step[0] == "open":
            return ("open", step[1], self.ptys[step[2]][1] if isinstance(step[2], int) else step[2])
        if step[0] == "control":
            return ("control", os.path.join(self.dir, "control"), step[1])
        return step

    def log(self, com=3):
        with open(os.path.join(self.dir, "com%d.log" % com)) as f:
            return [line.split() for line in f if not line.startswith("#")]

    def events(self, com=3):
        return [words[1] for words in self.log(com)]

    def test_exchanges_in_loopback_read_back_the_byte_before(self):
        steps = [("open", "p", 3)] + exchange("p", 0xA5) + exchange("p", 0x3C)
        results = self.run_child(steps)
        self.assertEqual(dcd_byte(steps, results, 1), 0xA5)
        check = subprocess.run([sys.executable, "-B", CHECKER, os.path.join(self.dir, "com3.log"), "--json", "-"],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 1, "no waits: the checker must find every minimum broken")
        data = json.loads(check.stdout)
        self.assertEqual([(x["output"], x["input"]) for x in data["exchanges"]], [(0xA5, 0x00), (0x3C, 0xA5)])

    def test_inputs_reach_dcd_lsb_first(self):
        for value in (0x01, 0x80, 0xA5):
            with self.subTest(value="%02X" % value):
                self.control("com3 inputs %02X\n" % value)
                steps = [("open", "p", 3)] + exchange("p", 0)
                results = self.run_child(steps)
                self.assertEqual(dcd_byte(steps, results, 0), value)
                self.assertIn(["INPUT", "%02X" % value], [[w[1], w[-1]] for w in self.log() if w[1] == "INPUT"])
                os.unlink(os.path.join(self.dir, "com3.log"))

    def test_a_reused_descriptor_number_is_not_taken_for_the_board(self):
        results = self.run_child([("open", "p", 3), ("get", "p"), ("close", "p"),
                                  ("open", "n", "/dev/null"), ("get", "n"),
                                  ("open", "q", 3), ("get", "q"), ("close", "q")])
        self.assertEqual(results[0]["result"], results[3]["result"], "the descriptor number should be reused")
        self.assertEqual(results[4].get("errno"), errno.ENOTTY, "/dev/null must get the real answer")
        self.assertEqual(self.events(), ["OPEN", "GET", "CLOSE", "OPEN", "GET", "CLOSE"])

    def test_a_pseudo_terminal_without_a_board_gets_the_real_answer(self):
        results = self.run_child([("open", "p", 4), ("get", "p")])
        self.assertIn("errno", results[1])
        self.assertFalse(os.path.exists(os.path.join(self.dir, "com4.log")))

    def test_the_lines_drop_when_the_last_descriptor_closes(self):
        self.run_child([("open", "a", 3), ("open", "b", 3), ("bis", "a", DTR | RTS), ("sbrk", "a"), ("get", "b"),
                        ("close", "a"), ("close", "b"), ("open", "c", "/dev/null"), ("dup2", "c", "c")])
        log = self.log()
        self.assertEqual([w[1:] for w in log if w[1] in ("OPEN", "CLOSE", "BIS", "SBRK")],
                         [["OPEN", "0", "0", "0", "0"], ["BIS", "1", "1", "0", "0"], ["SBRK", "1", "1", "1", "0"],
                          ["OPEN", "1", "1", "1", "0"], ["CLOSE", "1", "1", "1", "0"], ["CLOSE", "0", "0", "0", "0"]])

    def test_dup2_over_a_board_descriptor_closes_it(self):
        # ("dup2", target, source): the board's descriptor replaced by /dev/null.
        self.run_child([("open", "p", 3), ("get", "p"), ("open", "n", "/dev/null"), ("dup2", "p", "n"),
                        ("get", "p")])
        self.assertEqual(self.events(), ["OPEN", "GET", "CLOSE"])
        # The other way round nothing of the board closes.
        os.unlink(os.path.join(self.dir, "com3.log"))
        self.run_child([("open", "p", 3), ("get", "p"), ("open", "n", "/dev/null"), ("dup2", "n", "p"),
                        ("get", "p")])
        self.assertEqual(self.events(), ["OPEN", "GET", "GET"])

    def test_failing_and_slow_requests(self):
        results = self.run_child([("open", "p", 3), ("get", "p"),
                                  ("control", "com3 fail 1\n"), ("get", "p"), ("set", "p", DTR), ("sbrk", "p"),
                                  ("control", "delay_us 3000\n"), ("get", "p"), ("bis", "p", DTR)])
        self.assertEqual([r.get("errno") for r in results[3:6]], [errno.EIO] * 3)
        self.assertGreaterEqual(results[7]["seconds"], 0.003)
        self.assertGreaterEqual(results[8]["seconds"], 0.003)
        # The control file without inputs puts them back to 00 (INPUT); a
        # process that ends without closing logs no CLOSE.
        self.assertEqual([w[1:] for w in self.log()][1:],
                         [["GET", "0", "0", "0", "0"], ["INPUT", "0", "0", "0", "0", "00"], ["FAIL-GET", "0", "0", "0", "0"],
                          ["FAIL-SET", "0", "0", "0", "0"], ["FAIL-SBRK", "0", "0", "0", "0"],
                          ["GET", "0", "0", "0", "0"], ["BIS", "0", "1", "0", "0"]])

    def test_two_boards_have_their_own_inputs_and_logs(self):
        self.control("inputs 01\ncom4 inputs 00\n")
        results = self.run_child([("open", "a", 3), ("open", "b", 4), ("bis", "a", RTS), ("bis", "b", RTS),
                                  ("get", "a"), ("get", "b")], boards=(3, 4))
        self.assertEqual((results[4]["result"] & CAR, results[5]["result"] & CAR), (CAR, 0))
        self.assertEqual(self.events(3), ["INPUT", "OPEN", "BIS", "GET"])
        self.assertEqual(self.events(4), ["INPUT", "OPEN", "BIS", "GET"])


if __name__ == "__main__":
    HERE = os.path.dirname(os.path.abspath(__file__))
    LIBRARY, CHECKER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
