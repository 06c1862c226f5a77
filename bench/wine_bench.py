#!/usr/bin/env python3
"""Benchmark of the program under Wine on the virtual board: how close each
exchange comes to its floor of 200 us, how steady the 100 ms poll is, and
what polling costs in CPU time. Not a test: it reports and asserts nothing
beyond the exchanges being valid.

    bench/wine_bench.py [--seconds S] [--windows-build DIR] [--wine-build DIR] [--keep DIR]

Runs serio8.exe in the sandbox with the loopback board behind Com3 for S
seconds (default 110: over 1000 polls) while the output boxes change every
half second, then reads the board's log:

- the exchange time, median and 99th percentile, as a ratio of 200 us;
- the poll period, median and 99th percentile;
- the CPU time of the program and of the wineserver per minute of polling;
- the checker's phases (min/median/max);
- the driver's own time per line request, from the log: the gaps between
  two requests with no wait between them (the TXD switch after a DTR off,
  the DCD read after the TXD switch, the RTS on of the strobe after the last
  DTR off). The exchange's waits come out as what remains.

The builds default to build/windows-x64 and build/wine (the presets' own);
the figures depend on the machine's load, so run it on a quiet machine and
quote its `uptime` with them.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
sys.path.insert(0, os.path.join(ROOT, "tools", "checker"))
import checkexchange  # noqa: E402
import load_test  # noqa: E402

US = 1000
FLOOR_NS = 200 * US

# Positions of the 36 operations of one exchange.
LOAD_ON, LOAD_OFF, STROBE_ON, STROBE_OFF = 0, 1, 34, 35


def txd(k):
    return 2 + 4 * k


def dcd(k):
    return 3 + 4 * k


def dtr_on(k):
    return 4 + 4 * k


def dtr_off(k):
    return 5 + 4 * k


def median(values):
    return load_test.median(values)


def p99(values):
    return load_test.percentile(values, 0.99)


def exchanges_with_operations(log_path):
    """Each exchange the checker finds, with its 36 operations (end time t and,
    for a switch, the time t0 of the read that comes before it)."""
    with open(log_path) as f:
        events, _ = checkexchange.parse(f.readlines())
    ops, _ = checkexchange.operations(events)
    result = checkexchange.check(ops)
    index = {op["line"]: i for i, op in enumerate(ops)}
    return [(x, ops[index[x["line"]]:index[x["line"]] + 36]) for x in result["exchanges"]], result


def driver_time(pairs):
    """The cost of one request of each kind, from gaps with no wait in them."""
    txd_ns, dcd_ns, switch_ns, first_ns = [], [], [], []
    for _, seq in pairs:
        t = [op["t"] for op in seq]
        for k in range(8):
            txd_ns.append(t[txd(k)] - t[txd(k) - 1])
            dcd_ns.append(t[dcd(k)] - t[txd(k)])
        switch_ns.append(t[STROBE_ON] - t[dtr_off(7)])
        first_ns.append(t[LOAD_ON] - seq[LOAD_ON]["t0"])
    return dict(txd=median(txd_ns), dcd=median(dcd_ns), switch=median(switch_ns), first=median(first_ns))


def split_exchanges(pairs, cost):
    """Each exchange as 200 us of waiting, the driver's time and what the
    waits took beyond their length. The 17 requests that follow no wait and
    the first switch's write are measured in the exchange itself; the 18
    switches that follow a wait are counted at the median switch's cost."""
    driver, overshoot, interrupted = [], [], 0
    for x, seq in pairs:
        t = [op["t"] for op in seq]
        own = t[LOAD_ON] - seq[LOAD_ON]["t0"] + t[STROBE_ON] - t[dtr_off(7)]
        own += sum(t[dcd(k)] - t[txd(k) - 1] for k in range(8))
        driver.append(own + 18 * cost["switch"])
        overshoot.append(x["duration_ns"] - FLOOR_NS - driver[-1])
        # A step 30 us longer than it should be: the thread was held up.
        steps = [t[i] - t[i - 1] for i in range(1, 36)]
        nominal = [20 * US if i in (LOAD_OFF, STROBE_OFF) else 10 * US if (i - 4) % 4 in (0, 1) and 4 <= i < 34
                   else 0 for i in range(1, 36)]
        if any(step - n > 30 * US for step, n in zip(steps, nominal)):
            interrupted += 1
    return driver, overshoot, interrupted


def wait_overshoot(pairs, cost):
    """What each wait took beyond its length, once the request after it
    (a switch) is taken off."""
    found = dict(load=[], strobe=[], setup=[], high=[])
    for _, seq in pairs:
        t = [op["t"] for op in seq]
        found["load"].append(t[LOAD_OFF] - t[LOAD_ON] - 20 * US - cost["switch"])
        found["strobe"].append(t[STROBE_OFF] - t[STROBE_ON] - 20 * US - cost["switch"])
        for k in range(8):
            found["setup"].append(t[dtr_on(k)] - t[dcd(k)] - 10 * US - cost["switch"])
            found["high"].append(t[dtr_off(k)] - t[dtr_on(k)] - 10 * US - cost["switch"])
    return {name: median(values) for name, values in found.items()}


def steal_ticks():
    """The machine's CPU time stolen by its host (a virtual machine) and its
    total, in ticks."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    return fields[7] if len(fields) > 7 else 0, sum(fields)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=110)
    parser.add_argument("--windows-build", default=os.path.join(ROOT, "build", "windows-x64"))
    parser.add_argument("--wine-build", default=os.path.join(ROOT, "build", "wine"))
    parser.add_argument("--keep", metavar="DIR", help="keep the board's log and the results in DIR")
    parser.add_argument("--again", metavar="DIR", help="report again on a run kept with --keep, without running")
    args = parser.parse_args()
    if args.again:
        return report(os.path.abspath(args.again), None, None)
    windows_build = os.path.abspath(args.windows_build)
    vboard_lib = os.path.join(os.path.abspath(args.wine_build), "tools", "vboard", "libvboard.so")
    for path in (os.path.join(windows_build, "app", "serio8.exe"),
                 os.path.join(windows_build, "tests", "wine", "win", "panelrun.exe"), vboard_lib):
        if not os.path.exists(path):
            sys.exit("missing %s: build the windows-x64 and wine presets first" % path)
    board_dir = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(prefix="serio8-bench-")
    os.makedirs(board_dir, exist_ok=True)
    with open("/proc/loadavg") as f:
        load_before = f.read().split()[:3]
    steal_before = steal_ticks()
    subprocess.call([sys.executable, os.path.join(ROOT, "tools", "wine", "sandbox.py"), "--display", "--board",
                     "3=loopback", "--board-dir", board_dir, "--vboard-lib", vboard_lib, "--", sys.executable,
                     load_test.__file__, "--inside", windows_build, "soak", "--seconds", str(args.seconds)],
                    timeout=args.seconds + 600)
    with open("/proc/loadavg") as f:
        load_after = f.read().split()[:3]
    steal_after = steal_ticks()
    report(board_dir, (load_before, load_after), (steal_before, steal_after))
    if not args.keep:
        shutil.rmtree(board_dir, ignore_errors=True)
    else:
        print("log and results kept in %s" % board_dir)
    return 0


def report(board_dir, load, steal):
    with open(os.path.join(board_dir, "results.json")) as f:
        results = json.load(f)
    log_path = os.path.join(board_dir, "com3.log")
    pairs, checked = exchanges_with_operations(log_path)
    pairs = [(x, seq) for x, seq in pairs
             if results["soak_start_ns"] <= x["start_ns"] and x["end_ns"] <= results["soak_end_ns"]]
    xs = [x for x, _ in pairs]
    durations = [x["duration_ns"] for x in xs]
    periods = [b["start_ns"] - a["start_ns"] for a, b in zip(xs, xs[1:])]
    cost = driver_time(pairs)
    driver, overshoot, interrupted = split_exchanges(pairs, cost)
    over = wait_overshoot(pairs, cost)
    t0, p0, s0 = results["cpu_start"]
    t1, p1, s1 = results["cpu_end"]
    minutes = (t1 - t0) / 60

    print()
    if load:
        print("machine: %d cores, load average %s before, %s after" % (os.cpu_count(), " ".join(load[0]),
                                                                      " ".join(load[1])))
    print("polls measured: %d exchanges in %.0f s; violations in the whole log: %d; scenario failures: %d"
          % (len(xs), t1 - t0, len(checked["violations"]), len(results["failures"])))
    summary = checkexchange.summary(dict(checked, exchanges=xs, periods_ns=periods), [], [])
    print("%-14s %9s %9s %9s   (us)" % ("phase", "min", "median", "max"))
    for name, v in summary["phases_ns"].items():
        print("%-14s %9.1f %9.1f %9.1f" % (name, v["min"] / US, v["median"] / US, v["max"] / US))
    print("exchange: median %.1f us = %.2f x 200 us, p99 %.1f us = %.2f x, max %.1f us"
          % (median(durations) / US, median(durations) / FLOOR_NS, p99(durations) / US, p99(durations) / FLOOR_NS,
             max(durations) / US))
    print("poll period: median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms"
          % (median(periods) / 1e6, p99(periods) / 1e6, min(periods) / 1e6, max(periods) / 1e6))
    print("CPU per minute of polling: program %.2f s (%.1f %% of a core), wineserver %s"
          % ((p1 - p0) / minutes, (p1 - p0) / (t1 - t0) * 100,
             "%.2f s" % ((s1 - s0) / minutes) if s0 is not None else "unknown"))
    print("driver's time per request (median of gaps with no wait): TXD %.1f us, DCD read %.1f us, "
          "RTS/DTR switch %.1f us (its read to its write %.1f us)"
          % (cost["txd"] / US, cost["dcd"] / US, cost["switch"] / US, cost["first"] / US))
    print("driver's time in one exchange (36 requests), median: %.1f us; the 18 waits' overshoot, median: %.1f us"
          % (median(driver) / US, median(overshoot) / US))
    target = 1.05 * FLOOR_NS + median(driver)
    print("target: median exchange <= 1.05 x 200 us + driver's time = %.1f us: %s (median %.1f us)"
          % (target / US, "met" if median(durations) <= target else "MISSED", median(durations) / US))
    print("each wait's overshoot past its length, median: load pulse %.2f us, strobe pulse %.2f us, "
          "bit setup %.2f us, clock high %.2f us" % (over["load"] / US, over["strobe"] / US, over["setup"] / US,
                                                    over["high"] / US))
    print("exchanges in which a step ran 30 us or more past its wait (the thread held up): %d of %d (%.0f %%)"
          % (interrupted, len(pairs), 100.0 * interrupted / max(1, len(pairs))))
    if steal:
        stolen = (steal[1][0] - steal[0][0]) / max(1, steal[1][1] - steal[0][1])
        print("CPU time the host took from this machine during the run (steal): %.1f %%" % (100 * stolen))
    shortest = {name: v["min"] for name, v in summary["phases_ns"].items()}
    floors = {"load pulse": 20, "bit setup": 10, "clock high": 10, "clock low": 10, "strobe pulse": 20}
    short = [name for name, floor in floors.items() if shortest.get(name, 0) < floor * US]
    print("target: no phase shorter than its minimum: %s" % ("met" if not short else "MISSED: " + ", ".join(short)))
    print("target: poll period median within 2 ms of 100 ms: %s (%.2f ms)"
          % ("met" if abs(median(periods) - 100e6) <= 2e6 else "MISSED", median(periods) / 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
