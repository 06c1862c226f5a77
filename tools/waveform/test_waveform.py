#!/usr/bin/python3
"""Tests of waveform.py: reading the board log, the VCD it writes, the exchanges it finds.

    test_waveform.py --loggen PATH/TO/waveform_loggen [unittest options]
"""

import io
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import waveform  # noqa: E402

LOGGEN = None
HEADER = waveform.HEADER + "\n"


def run_loggen(*args):
    return subprocess.run([LOGGEN, *args], check=True, capture_output=True, text=True).stdout


def read_vcd(text):
    """A strict reader of the VCD subset the tool writes: (variables by id, [(time, id, value)])."""
    declarations, _, body = text.partition("$enddefinitions $end\n")
    if not body:
        raise AssertionError("no $enddefinitions")
    variables = {}
    for declaration in re.findall(r"\$(\w+)(.*?)\$end", declarations, re.S):
        keyword, content = declaration[0], declaration[1].split()
        if keyword == "var":
            kind, width, ident, name = content[0], int(content[1]), content[2], content[3]
            if kind != "wire" or ident in variables:
                raise AssertionError(f"bad $var {content}")
            variables[ident] = (name, width)
        elif keyword not in ("version", "comment", "timescale", "scope", "upscope", "date"):
            raise AssertionError(f"unknown declaration ${keyword}")
    if not re.search(r"\$timescale\s+1\s*ns\s+\$end", declarations):
        raise AssertionError("no 1 ns timescale")
    changes = []
    time = None
    in_dumpvars = False
    for line in body.splitlines():
        if line.startswith("#"):
            new = int(line[1:])
            if time is not None and new <= time:
                raise AssertionError(f"time #{new} after #{time}")
            time = new
        elif line == "$dumpvars":
            in_dumpvars = True
        elif line == "$end" and in_dumpvars:
            in_dumpvars = False
        else:
            scalar = re.fullmatch(r"([01xz])(\S+)", line)
            vector = re.fullmatch(r"b([01xz]+) (\S+)", line)
            match = scalar or vector
            if time is None or match is None or match.group(2) not in variables:
                raise AssertionError(f"bad value change {line!r}")
            if (variables[match.group(2)][1] == 1) != (scalar is not None):
                raise AssertionError(f"width mismatch in {line!r}")
            changes.append((time, match.group(2), match.group(1)))
    return variables, changes


def rising_edges(variables, changes, name):
    ident = next(i for i, (n, _) in variables.items() if n == name)
    edges, level = 0, None
    for _, i, value in changes:
        if i == ident:
            edges += level == "0" and value == "1"
            level = value
    return edges


class ParseTest(unittest.TestCase):
    def test_malformed_logs_are_refused(self):
        cases = [
            ("no header", "10 OPEN 0 0 0 0\n"),
            ("another version", "# serio8 vboard log 2\n10 OPEN 0 0 0 0\n"),
            ("a field missing", HEADER + "10 SET 0 0 0\n"),
            ("INPUT without its byte", HEADER + "10 INPUT 0 0 0 0\n"),
            ("a level of 2", HEADER + "10 SET 0 2 0 0\n"),
            ("an unknown event", HEADER + "10 TIOCMGET 0 0 0 0\n"),
            ("a failed INPUT", HEADER + "10 FAIL-INPUT 0 0 0 0 5A\n"),
            ("time going back", HEADER + "20 GET 0 0 0 0\n10 GET 0 0 0 0\n"),
            ("a time that is no number", HEADER + "1e3 GET 0 0 0 0\n"),
        ]
        for name, text in cases:
            with self.subTest(name), self.assertRaises(waveform.LogError):
                waveform.parse_log(text)

    def test_a_get_is_a_read_unless_a_switch_follows(self):
        cases = [
            # log body, which of its requests are DCD reads
            ("1 GET 0 0 0 0\n2 SET 1 0 0 0\n", [False, False]),
            ("1 GET 0 0 0 0\n2 BIS 0 1 0 0\n", [False, False]),
            ("1 GET 0 0 0 0\n2 BIC 0 0 0 0\n", [False, False]),
            ("1 GET 0 0 0 0\n2 FAIL-SET 0 0 0 0\n", [False, False]),
            ("1 GET 0 0 0 0\n2 GET 0 0 0 1\n", [True, True]),
            ("1 GET 0 0 0 1\n2 SBRK 0 0 1 1\n", [True, False]),
            ("1 GET 0 0 0 0\n", [True]),
            ("1 FAIL-GET 0 0 0 0\n2 GET 0 0 0 0\n", [False, True]),
            ("1 GET 0 0 0 0\n# a comment\n\n2 INPUT 0 0 0 0 FF\n3 SET 0 1 0 0\n", [False, False]),
        ]
        for body, reads in cases:
            with self.subTest(body=body):
                events = [e for e in waveform.parse_log(HEADER + body) if e.kind != "INPUT"]
                self.assertEqual([e.read for e in events], reads)


class GeneratedLogTest(unittest.TestCase):
    """Logs of the real exchange code over the stand-in, written by waveform_loggen."""

    def vcd_of(self, log):
        out = io.StringIO()
        waveform.write_vcd(waveform.parse_log(log), out, source="test")
        return read_vcd(out.getvalue())

    def test_vcd_holds_the_four_lines_and_every_clock_edge(self):
        variables, changes = self.vcd_of(run_loggen("--exchanges", "3"))
        names = {name for name, _ in variables.values()}
        self.assertLessEqual({"RTS", "DTR", "TXD", "DCD", "DCD_read"}, names)
        # The driver raises DTR when the port is opened, so the first exchange
        # finds it high and clocks seven rising edges; every later one eight.
        self.assertEqual(rising_edges(variables, changes, "DTR"), 1 + 7 + 8 + 8)
        self.assertEqual(rising_edges(variables, changes, "DCD_read"), 3 * 8)
        self.assertEqual(rising_edges(variables, changes, "RTS"), 3 * 2)

    def test_refused_requests_are_marked_and_move_no_line(self):
        log = run_loggen("--exchanges", "3", "--fail-from", "1", "--fail-to", "2")
        variables, changes = self.vcd_of(log)
        self.assertEqual(rising_edges(variables, changes, "request_refused"), 36)
        self.assertEqual(rising_edges(variables, changes, "RTS"), 2 * 2)

    def test_exchanges_are_decoded_least_significant_bit_first(self):
        # waveform_loggen sends 0xA5, 0x3C, 0x01, 0x80 and offers 0x96, 0x0F, 0x80, 0x01.
        cases = [
            # loggen arguments, (output, input) of each complete exchange
            (["--exchanges", "4"], [(0x3C, 0x0F), (0x01, 0x80), (0x80, 0x01)]),
            (["--exchanges", "4", "--fail-from", "2", "--fail-to", "3"], [(0x3C, 0x0F), (0x80, 0x01)]),
            (["--exchanges", "1"], []),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                found = waveform.exchanges(waveform.parse_log(run_loggen(*args)))
                self.assertEqual([(ex.output, ex.input) for ex in found], expected)
                for ex in found:
                    self.assertGreaterEqual(ex.duration, waveform.WAITS_NS)
                    self.assertGreaterEqual(ex.load[1] - ex.load[0], 20_000)
                    self.assertGreaterEqual(ex.strobe[1] - ex.strobe[0], 20_000)

    def test_png_of_one_exchange(self):
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            self.skipTest("matplotlib is not installed (Debian: python3-matplotlib)")
        with tempfile.TemporaryDirectory() as scratch:
            log = os.path.join(scratch, "board.log")
            png = os.path.join(scratch, "exchange.png")
            with open(log, "w") as f:
                f.write(run_loggen("--exchanges", "3"))
            self.assertEqual(waveform.main([log, "--png", png, "-n", "2"]), 0)
            with open(png, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            # There is no third complete exchange to draw.
            self.assertEqual(waveform.main([log, "--png", png, "-n", "3"]), 1)


if __name__ == "__main__":
    if "--loggen" in sys.argv:
        at = sys.argv.index("--loggen")
        LOGGEN = sys.argv[at + 1]
        del sys.argv[at:at + 2]
    if LOGGEN is None:
        sys.exit("usage: test_waveform.py --loggen PATH/TO/waveform_loggen")
    unittest.main()
