#!/usr/bin/env python3
"""The exchange checker on small hand-made logs, written the way the virtual
board writes them for Wine (each switch a GET and a SET)."""
import contextlib
import io
import json
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # the source tree stays clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import checkexchange  # noqa: E402


def exchange_steps(output, inputs, waits=None):
    """The 36 operations of one exchange, with the waits between them (us)."""
    w = dict(load=20, setup=10, high=10, strobe=20)
    w.update(waits or {})
    steps = [("switch", "rts", 1), ("wait", w["load"]), ("switch", "rts", 0)]
    for k in range(8):
        steps += [("txd", (output >> k) & 1), ("read", (inputs >> k) & 1), ("wait", w["setup"]),
                  ("switch", "dtr", 1), ("wait", w["high"]), ("switch", "dtr", 0)]
    steps += [("switch", "rts", 1), ("wait", w["strobe"]), ("switch", "rts", 0)]
    return steps


class Log:
    """Writes a log as the board would, each request taking 1 us."""

    def __init__(self):
        self.t = 1000000
        self.lines = [checkexchange.HEADER]
        self.level = dict(rts=0, dtr=0, txd=0)
        self.dcd = 0

    def emit(self, event, dcd=None):
        self.t += 1000
        self.lines.append("%d %s %d %d %d %d" % (self.t, event, self.level["rts"], self.level["dtr"],
                                                self.level["txd"], self.dcd if dcd is None else dcd))

    def run(self, steps):
        for step in steps:
            kind = step[0]
            if kind == "wait":
                self.t += step[1] * 1000
            elif kind == "switch":
                self.emit("GET")
                self.level[step[1]] = step[2]
                self.emit("SET")
            elif kind == "txd":
                self.level["txd"] = step[1]
                self.emit("SBRK" if step[1] else "CBRK")
            elif kind == "read":
                self.emit("GET", dcd=step[1])
            elif kind == "raw":
                self.emit(step[1])
            elif kind == "sleep_ms":
                self.t += step[1] * 1000000
        return self

    def open(self):
        """OPEN and what Wine does while it sets the port up: reads the lines,
        raises DTR, keeps RTS off."""
        self.emit("OPEN")
        return self.run([("read", 0), ("switch", "dtr", 1), ("switch", "rts", 0)])

    def text(self):
        return "\n".join(self.lines) + "\n"


def check(log, *extra):
    with tempfile.NamedTemporaryFile("w", suffix=".log", delete=False) as f:
        f.write(log.text() if isinstance(log, Log) else log)
    try:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            code = checkexchange.main([f.name, "--json", "-"] + list(extra))
        return code, (json.loads(out.getvalue()) if code != 2 else None)
    finally:
        os.unlink(f.name)


def messages(data):
    return " | ".join(v["message"] for v in data["violations"])


class GoodLogs(unittest.TestCase):
    def test_bytes_travel_lsb_first_and_the_first_exchange_may_find_dtr_on(self):
        log = Log().open()
        cases = [(0x01, 0x80), (0x80, 0x01), (0xA5, 0x3C), (0x00, 0xFF)]
        for out, inp in cases:
            log.run(exchange_steps(out, inp) + [("sleep_ms", 100)])
        code, data = check(log)
        self.assertEqual(code, 0, messages(data))
        self.assertEqual([(x["output"], x["input"]) for x in data["exchanges"]], cases)
        self.assertEqual([x["first_clock_without_edge"] for x in data["exchanges"]], [True, False, False, False])
        self.assertEqual(data["summary"]["opens"], 1)
        self.assertEqual(data["summary"]["setup_requests"], 3)

    def test_exchange_time_and_poll_period(self):
        log = Log().open()
        for _ in range(5):
            log.run(exchange_steps(0x55, 0) + [("sleep_ms", 100)])
        code, data = check(log)
        self.assertEqual(code, 0, messages(data))
        s = data["summary"]
        # 200 us of waits and 56 requests of 1 us (20 switches of two, 8 TXD,
        # 8 reads); the time runs from the first GET to the last SET.
        self.assertEqual(s["exchange_ns"]["median"], 255000)
        self.assertEqual(s["period_ns"]["count"], 4)
        self.assertEqual(s["period_ns"]["median"], 100256000)

    def test_a_board_that_failed_on_purpose_interrupts_without_a_violation(self):
        log = Log().open()
        steps = exchange_steps(0x0F, 0)
        log.run(exchange_steps(0x0F, 0) + steps[:9])
        log.run([("raw", "FAIL-GET")] * 5)  # DTR is left on: the next exchange may find it so
        log.run(exchange_steps(0x0F, 0x0F) + exchange_steps(0xF0, 0xF0))
        code, data = check(log)
        self.assertEqual(code, 0, messages(data))
        self.assertEqual(data["summary"]["interrupted"], 1)
        self.assertEqual(data["summary"]["failed_requests"], 5)
        self.assertEqual([x["after"] for x in data["exchanges"]], ["open", "failure", "exchange"])

    def test_reopen_counts_opens_and_closes(self):
        log = Log()
        for _ in range(3):
            log.open().run(exchange_steps(1, 1))
            log.level = dict(rts=0, dtr=0, txd=0)
            log.emit("CLOSE")
        code, data = check(log)
        self.assertEqual(code, 0, messages(data))
        self.assertEqual((data["summary"]["opens"], data["summary"]["closes"]), (3, 3))


class Violations(unittest.TestCase):
    def run_case(self, steps, expected):
        log = Log().open().run(exchange_steps(0, 0)).run(steps)
        code, data = check(log)
        self.assertEqual(code, 1, "expected a violation: %s" % expected)
        self.assertIn(expected, messages(data))

    def test_order(self):
        good = exchange_steps(0xA5, 0x5A)
        swapped = list(good)
        swapped[3 + 6 * 3], swapped[4 + 6 * 3] = swapped[4 + 6 * 3], swapped[3 + 6 * 3]  # bit 3: read before TXD
        no_strobe = good[:-3]
        no_strobe_then_next = no_strobe + exchange_steps(0, 0)
        cases = [
            (swapped, "expected TXD as operation 15, got DCD read"),
            (good[3:] + exchange_steps(0, 0), "TXD (line"),  # no load pulse: a stray TXD between exchanges
            # The next load pulse passes for the strobe; the bits after it cannot.
            (no_strobe_then_next, "between two exchanges"),
            (good[:30], "cut short by the end of the log"),
            ([("switch", "dtr", 1)] + good, "DTR on (line"),  # between two exchanges
        ]
        for steps, expected in cases:
            with self.subTest(expected=expected):
                self.run_case(steps, expected)

    def test_short_waits(self):
        # Each request takes 1 us and a switch is two of them (GET, SET), so
        # every phase lasts its wait + 2 us.
        cases = [
            (dict(load=17), "the load pulse (RTS on) lasted 19.0 us, less than 20 us"),
            (dict(strobe=10), "the strobe pulse (RTS on) lasted 12.0 us, less than 20 us"),
            (dict(setup=5), "the setup of bit 0 (DCD read to DTR on) lasted 7.0 us"),
            (dict(high=7), "DTR high for bit 0 lasted 9.0 us"),
        ]
        for waits, expected in cases:
            with self.subTest(expected=expected):
                self.run_case(exchange_steps(0x11, 0x22, waits), expected)

    def test_short_clock_low_between_two_bits(self):
        # DTR off, TXD, read, wait, DTR on: the wait + 4 us.
        steps = exchange_steps(0, 0, dict(setup=5))
        self.run_case(steps, "DTR low before bit 1 lasted 9.0 us, less than 10 us")

    def test_a_missing_rising_edge_is_allowed_only_for_the_first_clock_after_open(self):
        # DTR not switched off after bit 2: the clock of bit 3 has no edge.
        steps = exchange_steps(0xFF, 0)
        index = steps.index(("switch", "dtr", 0), 3 + 6 * 2)
        stuck = steps[:index] + [("switch", "dtr", 1)] + steps[index + 1:]
        self.run_case(stuck, "expected DTR off as operation 14, got no change")
        # An exchange that is not the first after open, starting with DTR on.
        log = Log().open().run(exchange_steps(0, 0))
        log.level["dtr"] = 1  # raised behind the checker's back, no request logged
        log.run(exchange_steps(0, 0))
        code, data = check(log)
        self.assertEqual(code, 1)
        self.assertIn("DTR on for bit 0 has no rising edge", messages(data))

    def test_a_switch_that_moves_two_lines(self):
        steps = exchange_steps(0, 0)
        log = Log().open().run(steps + steps[:6])
        log.emit("GET")
        log.level.update(rts=1, dtr=1)  # bit 0's clock with RTS on as well
        log.emit("SET")
        code, data = check(log.run(steps[7:]))
        self.assertEqual(code, 1)
        self.assertIn("expected DTR on as operation 5, got several lines", messages(data))

    def test_too_few_exchanges(self):
        code, data = check(Log().open().run(exchange_steps(0, 0)), "--min-exchanges", "2")
        self.assertEqual(code, 1)
        self.assertIn("only 1 exchanges", messages(data))


class BadLogs(unittest.TestCase):
    def test_unreadable_logs_exit_2(self):
        cases = [
            "1 OPEN 0 0 0 0\n",                              # no header
            checkexchange.HEADER + "\n5 JUMP 0 0 0 0\n",     # unknown request
            checkexchange.HEADER + "\n5 GET 0 2 0 0\n",      # not a level
            checkexchange.HEADER + "\n5 INPUT 0 0 0 0\n",    # INPUT without its byte
        ]
        for text in cases:
            with self.subTest(text=text):
                with contextlib.redirect_stderr(io.StringIO()):
                    self.assertEqual(check(text)[0], 2)

    def test_a_last_line_still_being_written_is_not_read_yet(self):
        # A log read while the program runs may end in the middle of a line:
        # it reads as if that line were not there, not as a broken log.
        whole = Log().open().run(exchange_steps(0x3C, 0xA5)).text()
        for cut in [len(checkexchange.HEADER) // 2, len(whole) // 2, len(whole) - 3]:
            with self.subTest(cut=cut):
                complete = whole[:whole.rfind("\n", 0, cut) + 1]
                self.assertEqual(check(whole[:cut]), check(complete))
                self.assertNotEqual(check(whole[:cut])[0], 2)

    def test_comments_and_inputs_are_read(self):
        log = Log().open()
        log.lines.append("%d INPUT 0 1 0 0 A5" % (log.t + 1))
        log.lines.append("# %d OUTPUTS 3C" % (log.t + 2))
        code, data = check(log.run(exchange_steps(0x3C, 0xA5)))
        self.assertEqual(code, 0, messages(data))
        self.assertEqual(data["summary"]["inputs_set"], ["A5"])
        self.assertEqual(data["summary"]["board_outputs"], ["3C"])


if __name__ == "__main__":
    unittest.main()
