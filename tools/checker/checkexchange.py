#!/usr/bin/env python3
"""Checks every exchange with the shift-register board in a virtual board log.

    tools/checker/checkexchange.py LOG [--json PATH|-] [--min-exchanges N] [--quiet]

An exchange is 36 line operations in this order: RTS on, RTS off (the load
pulse), eight times TXD set, DCD read, DTR on, DTR off (one bit, D0 first), RTS
on, RTS off (the strobe pulse). Under Wine each switch of RTS or DTR reaches
the board as GET followed by SET (or BIS/BIC); a GET that no switch follows is
a DCD read; TXD is SBRK (1) or CBRK (0).

For each exchange the checker verifies the order, that each switch changes
its own line and no other, a rising DTR edge for every bit, and the minimum
times: RTS pulse >= 20 us, from the DCD read (and so the TXD set) to DTR on
>= 10 us, DTR high >= 10 us, DTR low between two pulses >= 10 us, and the
whole exchange >= 200 us. The byte sent is the TXD level at each DTR on, the
byte read the DCD levels read, both least significant bit first.

Allowed, and reported: the first exchange after the port opened (or after
requests that the board failed on purpose) may find DTR already on, because
the driver raises it on open; its first clock pulse then has no rising edge.
Between OPEN and the first exchange any request may come (the driver setting
the port up); between two exchanges none may. An exchange cut short by a
failed request is counted as interrupted, not as a violation, and the checker
picks up again at the next complete exchange.

Prints per phase min/median/max, the exchange time (median, p99, max) against
its floor of 200 us, the poll period (median, p99), and the bytes sent and
read. --json writes the exchanges and the findings as JSON ('-': to standard
output, instead of the text). Exit code: 0 all good, 1 a violation (or fewer
exchanges than --min-exchanges), 2 the log cannot be read.
"""
import argparse
import json
import sys

HEADER = "# serio8 vboard log 1"
EVENTS = {"OPEN", "CLOSE", "GET", "SET", "BIS", "BIC", "SBRK", "CBRK"}
SWITCHES = {"SET", "BIS", "BIC"}

US = 1000  # nanoseconds
PULSE_WIDTH = 20 * US
DATA_SETUP = 10 * US
CLOCK_HIGH = 10 * US
CLOCK_LOW = 10 * US
EXCHANGE_FLOOR = 200 * US

EXPECTED = ["RTS on", "RTS off"] + ["TXD", "DCD read", "DTR on", "DTR off"] * 8 + ["RTS on", "RTS off"]


class LogError(Exception):
    pass


def parse(lines):
    """The log's requests as dicts, and the 4094 outputs it reported."""
    events = []
    outputs = []
    for number, raw in enumerate(lines, 1):
        # The board may still be writing the last line of a log read while
        # the program runs: a line without its newline is not there yet.
        if number == len(lines) and not raw.endswith("\n"):
            break
        line = raw.strip()
        if number == 1:
            if line != HEADER:
                raise LogError("line 1: expected %r, got %r" % (HEADER, line))
            continue
        if not line:
            continue
        if line.startswith("#"):
            words = line[1:].split()
            if len(words) == 3 and words[1] == "OUTPUTS":
                outputs.append((int(words[0]), int(words[2], 16)))
            continue
        words = line.split()
        try:
            t = int(words[0])
            kind = words[1]
            levels = [int(w) for w in words[2:6]]
        except (ValueError, IndexError):
            raise LogError("line %d: cannot read %r" % (number, line))
        base = kind[5:] if kind.startswith("FAIL-") else kind
        if kind == "INPUT":
            if len(words) != 7:
                raise LogError("line %d: INPUT needs the input byte" % number)
            extra = int(words[6], 16)
        elif base in EVENTS and len(words) == 6:
            extra = None
        else:
            raise LogError("line %d: unknown request %r" % (number, line))
        if any(level not in (0, 1) for level in levels):
            raise LogError("line %d: levels must be 0 or 1" % number)
        events.append(dict(t=t, kind=kind, rts=levels[0], dtr=levels[1], txd=levels[2], dcd=levels[3],
                           extra=extra, line=number))
    return events, outputs


def operations(events):
    """Folds the requests into line operations: a GET followed by a switch is
    one switch, a GET on its own a DCD read."""
    ops = []
    inputs = []
    before = dict(rts=0, dtr=0, txd=0)
    i = 0
    while i < len(events):
        e = events[i]
        if e["kind"] == "INPUT":
            inputs.append((e["t"], e["extra"]))
            before = dict(rts=e["rts"], dtr=e["dtr"], txd=e["txd"])
            i += 1
            continue
        if e["kind"].startswith("FAIL-"):
            ops.append(dict(kind="FAIL", t=e["t"], t0=e["t"], line=e["line"], request=e["kind"]))
            i += 1
            continue
        after = dict(rts=e["rts"], dtr=e["dtr"], txd=e["txd"])
        op = dict(t=e["t"], t0=e["t"], line=e["line"], before=before, after=after, dcd=e["dcd"])
        if e["kind"] in ("OPEN", "CLOSE"):
            op["kind"] = e["kind"]
        elif e["kind"] in ("SBRK", "CBRK"):
            op["kind"] = "TXD"
            op["level"] = 1 if e["kind"] == "SBRK" else 0
        else:
            start = e
            if e["kind"] == "GET":
                j = i + 1
                while j < len(events) and events[j]["kind"] == "INPUT":
                    j += 1
                if j < len(events) and events[j]["kind"] in SWITCHES:
                    # What the driver read is what it switches from.
                    before = dict(rts=start["rts"], dtr=start["dtr"], txd=start["txd"])
                    op["before"] = before
                    for k in range(i + 1, j):
                        inputs.append((events[k]["t"], events[k]["extra"]))
                    i = j
                    e = events[j]
                    after = dict(rts=e["rts"], dtr=e["dtr"], txd=e["txd"])
                    op.update(t=e["t"], line=e["line"], after=after)
                else:
                    op["kind"] = "DCD read"
                    op["level"] = e["dcd"]
            if "kind" not in op:
                op["kind"] = switch_kind(before, after)
                op["t0"] = start["t"]
        ops.append(op)
        before = after
        i += 1
    return ops, inputs


def switch_kind(before, after):
    changed = [name for name in ("rts", "dtr", "txd") if before[name] != after[name]]
    if not changed:
        return "no change"
    if len(changed) > 1:
        return "several lines"
    name = changed[0]
    return "%s %s" % (name.upper(), "on" if after[name] else "off")


def describe(op):
    return "%s (line %d)" % (op["kind"], op["line"])


def match(ops, i, allow_dtr_high):
    """Matches one exchange at ops[i]; returns (exchange, None) or (None, why)."""
    if i + len(EXPECTED) > len(ops):
        return None, "exchange at line %d is cut short by the end of the log" % ops[i]["line"]
    seq = ops[i:i + len(EXPECTED)]
    no_edge = False
    for n, (want, op) in enumerate(zip(EXPECTED, seq)):
        if op["kind"] == want:
            continue
        if (want == "DTR on" and n == 4 and allow_dtr_high and op["kind"] == "no change"
                and op["after"]["dtr"] == 1 and op["after"]["rts"] == 0):
            no_edge = True
            continue
        why = "expected %s as operation %d, got %s" % (want, n + 1, describe(op))
        if want == "DTR on" and op["kind"] == "no change" and op["after"]["dtr"] == 1:
            why = "DTR on for bit %d has no rising edge (line %d)" % ((n - 4) // 4, op["line"])
        return None, "exchange at line %d: %s" % (seq[0]["line"], why)

    t = [op["t"] for op in seq]
    phases = dict(load=t[1] - t[0], strobe=t[35] - t[34],
                  setup=[t[4 + 4 * k] - t[3 + 4 * k] for k in range(8)],
                  txd_setup=[t[4 + 4 * k] - t[2 + 4 * k] for k in range(8)],
                  high=[t[5 + 4 * k] - t[4 + 4 * k] for k in range(8)],
                  low=[t[4 + 4 * k] - t[1 + 4 * k] for k in range(1, 8)])
    output = sum(seq[4 + 4 * k]["after"]["txd"] << k for k in range(8))
    inputs = sum(seq[3 + 4 * k]["level"] << k for k in range(8))
    exchange = dict(line=seq[0]["line"], start_ns=seq[0]["t0"], end_ns=t[35], duration_ns=t[35] - seq[0]["t0"],
                    output=output, input=inputs, first_clock_without_edge=no_edge, phases_ns=phases)
    return exchange, None


def timing_violations(x):
    found = []
    p = x["phases_ns"]

    def short(name, value, floor):
        found.append("exchange at line %d: %s lasted %.1f us, less than %d us"
                     % (x["line"], name, value / US, floor // US))

    if p["load"] < PULSE_WIDTH:
        short("the load pulse (RTS on)", p["load"], PULSE_WIDTH)
    if p["strobe"] < PULSE_WIDTH:
        short("the strobe pulse (RTS on)", p["strobe"], PULSE_WIDTH)
    for k in range(8):
        if p["setup"][k] < DATA_SETUP:
            short("the setup of bit %d (DCD read to DTR on)" % k, p["setup"][k], DATA_SETUP)
        if p["high"][k] < CLOCK_HIGH:
            short("DTR high for bit %d" % k, p["high"][k], CLOCK_HIGH)
    for k in range(7):
        if p["low"][k] < CLOCK_LOW:
            short("DTR low before bit %d" % (k + 1), p["low"][k], CLOCK_LOW)
    if x["duration_ns"] < EXCHANGE_FLOOR:
        short("the exchange", x["duration_ns"], EXCHANGE_FLOOR)
    return found


def check(ops):
    """Walks the operations; returns the exchanges and what was found."""
    result = dict(exchanges=[], violations=[], interrupted=0, opens=0, closes=0, failed_requests=0,
                  setup_requests=0, periods_ns=[])
    mode = "setup"  # after OPEN (or the log's start) until the first exchange
    allow_dtr_high = True
    last_start = None
    i = 0
    while i < len(ops):
        op = ops[i]
        kind = op["kind"]
        if kind in ("OPEN", "CLOSE"):
            result["opens" if kind == "OPEN" else "closes"] += 1
            mode, allow_dtr_high, last_start = "setup", True, None
            i += 1
            continue
        if kind == "FAIL":
            result["failed_requests"] += 1
            mode, allow_dtr_high, last_start = "resync", True, None
            i += 1
            continue
        if kind != "RTS on":
            if mode == "setup":
                result["setup_requests"] += 1
            elif mode == "between":
                result["violations"].append(dict(line=op["line"], message="%s between two exchanges" % describe(op)))
            i += 1
            continue
        exchange, why = match(ops, i, allow_dtr_high)
        if exchange is None:
            cut = next((n for n in range(i, min(i + len(EXPECTED), len(ops))) if ops[n]["kind"] == "FAIL"), None)
            if cut is not None:
                # The board failed the rest of this exchange on purpose.
                result["interrupted"] += 1
                mode = "inside"
                i = cut
                continue
            if mode != "resync":
                result["violations"].append(dict(line=op["line"], message=why))
                mode = "resync"
            i += 1
            continue
        exchange["after"] = {"setup": "open", "resync": "failure", "between": "exchange"}[mode]
        for message in timing_violations(exchange):
            result["violations"].append(dict(line=exchange["line"], message=message))
        if last_start is not None:
            result["periods_ns"].append(exchange["start_ns"] - last_start)
        last_start = exchange["start_ns"]
        result["exchanges"].append(exchange)
        mode, allow_dtr_high = "between", False
        i += len(EXPECTED)
    return result


def percentile(values, fraction):
    ordered = sorted(values)
    rank = max(0, min(len(ordered) - 1, int(-(-fraction * len(ordered) // 1)) - 1))
    return ordered[rank]


def median(values):
    ordered = sorted(values)
    n = len(ordered)
    return ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2


def summary(result, outputs, inputs):
    xs = result["exchanges"]
    phases = {}
    for name, key in [("load pulse", "load"), ("bit setup", "setup"), ("clock high", "high"),
                      ("clock low", "low"), ("strobe pulse", "strobe")]:
        values = []
        for x in xs:
            value = x["phases_ns"][key]
            values.extend(value if isinstance(value, list) else [value])
        if values:
            phases[name] = dict(min=min(values), median=median(values), max=max(values))
    durations = [x["duration_ns"] for x in xs]
    out = dict(exchanges=len(xs), violations=len(result["violations"]), interrupted=result["interrupted"],
               first_clock_without_edge=sum(1 for x in xs if x["first_clock_without_edge"]),
               opens=result["opens"], closes=result["closes"], failed_requests=result["failed_requests"],
               setup_requests=result["setup_requests"], phases_ns=phases,
               outputs_sent=counts(x["output"] for x in xs), inputs_read=counts(x["input"] for x in xs),
               board_outputs=["%02X" % value for _, value in outputs],
               inputs_set=["%02X" % value for _, value in inputs])
    if durations:
        out["exchange_ns"] = dict(median=median(durations), p99=percentile(durations, 0.99), max=max(durations),
                                  floor=EXCHANGE_FLOOR, ratio=median(durations) / EXCHANGE_FLOOR)
    if result["periods_ns"]:
        out["period_ns"] = dict(median=median(result["periods_ns"]), p99=percentile(result["periods_ns"], 0.99),
                                count=len(result["periods_ns"]))
    return out


def counts(values):
    tally = {}
    for value in values:
        key = "%02X" % value
        tally[key] = tally.get(key, 0) + 1
    return tally


def print_text(s, result):
    print("exchanges: %d, violations: %d, interrupted by failed requests: %d, first clock without edge "
          "(DTR already on): %d" % (s["exchanges"], s["violations"], s["interrupted"], s["first_clock_without_edge"]))
    print("opens: %d, closes: %d, failed requests: %d, requests while the port was set up: %d"
          % (s["opens"], s["closes"], s["failed_requests"], s["setup_requests"]))
    if s["phases_ns"]:
        print("%-14s %9s %9s %9s   (us)" % ("phase", "min", "median", "max"))
        for name, v in s["phases_ns"].items():
            print("%-14s %9.1f %9.1f %9.1f" % (name, v["min"] / US, v["median"] / US, v["max"] / US))
    if "exchange_ns" in s:
        e = s["exchange_ns"]
        print("exchange time: median %.1f us, p99 %.1f us, max %.1f us; floor 200 us, median/floor %.2f"
              % (e["median"] / US, e["p99"] / US, e["max"] / US, e["ratio"]))
    if "period_ns" in s:
        p = s["period_ns"]
        print("poll period: median %.2f ms, p99 %.2f ms (%d intervals)"
              % (p["median"] / 1e6, p["p99"] / 1e6, p["count"]))
    print("bytes sent: %s" % (" ".join("%s x%d" % kv for kv in sorted(s["outputs_sent"].items())) or "none"))
    print("bytes read: %s" % (" ".join("%s x%d" % kv for kv in sorted(s["inputs_read"].items())) or "none"))
    if s["board_outputs"]:
        print("4094 outputs, as they changed: %s" % " ".join(s["board_outputs"]))
    if s["inputs_set"]:
        print("4021 inputs set: %s" % " ".join(s["inputs_set"]))
    for v in result["violations"]:
        print("VIOLATION: %s" % v["message"])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("log")
    parser.add_argument("--json", metavar="PATH", help="write the exchanges as JSON ('-': standard output)")
    parser.add_argument("--min-exchanges", type=int, default=0, metavar="N")
    parser.add_argument("--quiet", action="store_true", help="print only the violations")
    args = parser.parse_args(argv)
    try:
        with open(args.log) as f:
            events, outputs = parse(f.readlines())
    except (OSError, LogError) as e:
        print("checkexchange: %s" % e, file=sys.stderr)
        return 2
    ops, inputs = operations(events)
    result = check(ops)
    s = summary(result, outputs, inputs)
    failed = bool(result["violations"])
    if s["exchanges"] < args.min_exchanges:
        result["violations"].append(dict(line=0, message="only %d exchanges, expected at least %d"
                                         % (s["exchanges"], args.min_exchanges)))
        failed = True
    if args.json:
        data = dict(summary=s, exchanges=result["exchanges"], violations=result["violations"])
        if args.json == "-":
            json.dump(data, sys.stdout, indent=1)
            print()
        else:
            with open(args.json, "w") as f:
                json.dump(data, f, indent=1)
    if args.json != "-":
        if args.quiet:
            for v in result["violations"]:
                print("VIOLATION: %s" % v["message"])
        else:
            print_text(s, result)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
