#!/usr/bin/env python3
"""The program under faults and load, on the virtual board under Wine.

    load_test.py SANDBOX WINDOWS_BUILD VBOARD_LIB CHECKER SCENARIO [--seconds S]

SCENARIO is one of:

  pulled    the adapter pulled while the program polls (every line request
            fails) and plugged back: the program keeps running and answering,
            the input boxes clear, and a later SetComPort makes them follow
            the board again; the checker passes on the whole log.
  slow      a driver that takes 1 ms per line request, then 3 ms (an exchange
            longer than the poll period): polls never overlap nor pile up, the
            window answers between them, and every minimum time still holds.
  changes   500 port changes alternating Com3 (the board) and Com4 (missing,
            each one brings the error box, which is pressed away): every open
            of the board is closed again, and the program's memory does not
            grow from the 100th change to the 500th beyond its noise.
  soak      polling with the outputs changing every half second for S seconds
            (default 90; the full soak is --seconds 600): every exchange valid,
            inputs follow outputs through the loopback board, no memory growth.

The program (serio8.exe), and panelrun.exe which drives its window from
another process, run in the sandbox with a virtual board behind Com3. Figures
are printed as medians and ratios; durations are asserted only against
generous bounds, since the machine may be busy with other work.

The full soak, by hand (about 11 minutes):

    tests/wine/load_test.py tools/wine/sandbox.py build/windows-x64 \\
        build/wine/tools/vboard/libvboard.so tools/checker/checkexchange.py soak --seconds 600
"""
import argparse
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

TITLE = "Seriell I/O Steuerung 8-Bit"
KIB = 1024
TICKS = os.sysconf("SC_CLK_TCK")
# Outputs the soak and the slow driver walk through: single bits both ends,
# alternating patterns, all and none.
PATTERN = [0x01, 0x80, 0xA5, 0x5A, 0xFF, 0x00, 0x3C, 0xC3, 0x0F, 0xF0, 0x81, 0x7E]

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


class Failed(Exception):
    pass


# ---- Inside the sandbox ----------------------------------------------------

class Panel:
    """panelrun.exe: one command, one answer line."""

    def __init__(self, wine, windows_build):
        program = os.path.join(windows_build, "tests", "wine", "win", "panelrun.exe")
        self.process = subprocess.Popen([wine, program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self.pump, daemon=True).start()

    def pump(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.lines.put(None)

    def ask(self, command, timeout=120):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise Failed("panelrun: no answer to %r within %d s" % (command, timeout))
        if line is None:
            raise Failed("panelrun ended while doing %r" % command)
        if line.startswith("error"):
            raise Failed("panelrun %s: %s" % (command, line))
        return line.split()

    def quit(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.close()
            self.process.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


class Session:
    """The program with its window attached, and its process seen from Linux."""

    def __init__(self, windows_build, board_dir):
        self.wine = os.environ["WINE"]
        self.windows_build = windows_build
        self.board_dir = board_dir
        self.program = subprocess.Popen([self.wine, os.path.join(windows_build, "app", "serio8.exe")])
        self.panel = Panel(self.wine, windows_build)
        self.panel.ask("attach 90")
        self.pid = self.find_pid()
        self.server = self.find_server()

    def find_pid(self):
        """The Linux process of the program: Wine keeps the pid that started
        it, but the command line it shows is its Windows one."""
        prefix = os.environ["WINEPREFIX"]
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for pid in pids_with_prefix(prefix):
                if "serio8.exe" in cmdline(pid) and "panelrun" not in cmdline(pid):
                    return pid
            time.sleep(0.1)
        raise Failed("no Linux process for serio8.exe")

    def find_server(self):
        prefix = os.environ["WINEPREFIX"]
        for pid in pids_with_prefix(prefix):
            if "wineserver" in cmdline(pid).split("\0")[0]:
                return pid
        return None

    def inputs(self):
        return int(self.panel.ask("in")[1], 16)

    def outputs(self, byte):
        self.panel.ask("out %02X" % byte)

    def wait_inputs(self, byte, seconds):
        """Waits until the input boxes show the byte; returns the last seen."""
        deadline = time.monotonic() + seconds
        seen = self.inputs()
        while seen != byte and time.monotonic() < deadline:
            time.sleep(0.05)
            seen = self.inputs()
        return seen

    def ping(self, count, gap_ms, timeout_ms):
        words = self.panel.ask("ping %d %d %d" % (count, gap_ms, timeout_ms), timeout=count * (gap_ms + timeout_ms)
                               / 1000 + 60)
        return dict(ok=int(words[1]), failed=int(words[2]), median_us=float(words[3]), max_us=float(words[4]))

    def memory(self):
        """The program's memory as Linux sees its process: Wine answers
        another process's memory query with its working set only. RssAnon is
        the private memory in use (heap, stacks), VmData the private address
        space, VmRSS all resident pages; fds the descriptors it holds (an
        open port is one); server the wineserver's VmRSS, where handles live."""
        figures = proc_status(self.pid, ("VmRSS", "RssAnon", "VmData"))
        figures["fds"] = len(os.listdir("/proc/%d/fd" % self.pid))
        figures["server"] = proc_status(self.server, ("VmRSS",))["VmRSS"] if self.server else 0
        return figures

    def cpu_seconds(self):
        return cpu_seconds(self.pid), (cpu_seconds(self.server) if self.server else None)

    def control(self, text):
        write_control(self.board_dir, text)

    def alive(self):
        return self.program.poll() is None

    def close(self):
        """The polite close; returns the exit code."""
        try:
            self.panel.quit()
            uiauto = os.path.join(self.windows_build, "tools", "uiauto", "uiauto.exe")
            # Through a file, not a pipe: Wine's helper processes would keep a
            # pipe open past the call's end.
            with tempfile.TemporaryFile() as out:
                subprocess.call([self.wine, uiauto, "close", TITLE], stdout=out, stderr=out, timeout=60)
            return self.program.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.program.kill()
            self.program.wait()
            raise Failed("the program did not end after its window was asked to close")

    def kill(self):
        if self.program.poll() is None:
            self.program.kill()
            self.program.wait()
        self.panel.quit()


def pids_with_prefix(prefix):
    """Processes of this Wine prefix only: other sandboxes may run Wine at
    the same time."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() in env:
            found.append(int(entry))
    return found


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def proc_status(pid, keys):
    """Fields of /proc/PID/status in bytes."""
    found = dict.fromkeys(keys, 0)
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key = line.split(":")[0]
            if key in found:
                found[key] = int(line.split()[1]) * KIB
    return found


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def write_control(board_dir, text):
    """Rewrites the board's control file in one step."""
    path = os.path.join(board_dir, "control")
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


def walk_outputs(session, seconds, step=0.5, on_step=None):
    """Changes the output boxes every step seconds for that long."""
    end = time.monotonic() + seconds
    n = 0
    while time.monotonic() < end:
        session.outputs(PATTERN[n % len(PATTERN)])
        n += 1
        if on_step:
            on_step(n)
        time.sleep(max(0.0, min(step, end - time.monotonic())))
    return n


def fmt_mem(m):
    return "RssAnon %.0f KiB, VmData %.0f KiB, VmRSS %.0f KiB, fds %d, wineserver VmRSS %.0f KiB" % (
        m["RssAnon"] / KIB, m["VmData"] / KIB, m["VmRSS"] / KIB, m["fds"], m["server"] / KIB)


def scenario_pulled(session, results):
    session.control("com3 inputs A5\n")
    seen = session.wait_inputs(0xA5, 10)
    expect(seen == 0xA5, "before the pull the input boxes should show the board's A5, got %02X" % seen)
    session.outputs(0x3C)
    results["pulled_ns"] = time.monotonic_ns()
    session.control("com3 inputs A5\ncom3 fail 1\n")
    seen = session.wait_inputs(0x00, 5)
    expect(seen == 0x00, "with every request failing the input boxes should clear, got %02X" % seen)
    # Kept pulled for a while: every poll fails, nothing may break.
    readings = set()
    for _ in range(20):
        time.sleep(0.1)
        readings.add(session.inputs())
    expect(readings == {0x00}, "while pulled the input boxes should stay clear, got %s"
           % " ".join("%02X" % r for r in sorted(readings)))
    trips = session.ping(10, 50, 5000)
    expect(trips["failed"] == 0 and session.alive(), "while pulled the window should answer: %s" % trips)
    print("pulled: the input boxes show %s, %d round trips answered (median %.0f us, max %.0f us)"
          % (" ".join("%02X" % r for r in sorted(readings)), trips["ok"], trips["median_us"], trips["max_us"]),
          flush=True)

    session.control("com3 inputs 3C\n")
    time.sleep(1.0)
    print("plugged back: the boxes show %02X before SetComPort" % session.inputs(), flush=True)
    results["replugged_ns"] = time.monotonic_ns()
    session.panel.ask("changes 1 3 4")  # one change, to Com3
    seen = session.wait_inputs(0x3C, 10)
    expect(seen == 0x3C, "after SetComPort the input boxes should follow the board's 3C, got %02X" % seen)
    session.control("com3 inputs loopback\n")
    session.outputs(0x96)
    seen = session.wait_inputs(0x96, 10)
    expect(seen == 0x96, "after SetComPort the loopback board should give back 96, got %02X" % seen)
    walk_outputs(session, 2.0)  # polls for the checker after the change
    expect(session.alive(), "the program should still run")
    print("after SetComPort: the input boxes show %02X with the loopback board given 96" % seen, flush=True)


def scenario_slow(session, results):
    session.control("com3 inputs loopback\n")
    for delay_us, seconds in ((1000, 12), (3000, 6)):
        session.control("com3 inputs loopback\ncom3 delay_us %d\n" % delay_us)
        start = time.monotonic_ns()
        answers = {}
        pinger = threading.Thread(target=lambda: answers.update(
            session_ping_copy(session, int(seconds * 1000 / 70))))
        pinger.start()
        walk_outputs(session, seconds, step=1.0)
        pinger.join()
        results.setdefault("slow", []).append(dict(delay_us=delay_us, start_ns=start, end_ns=time.monotonic_ns(),
                                                   ping=answers))
        trips = answers
        expect(trips.get("failed", 1) == 0, "with %d us per request every round trip should be answered: %s"
               % (delay_us, trips))
        expect(trips.get("max_us", 1e9) < 2e6, "with %d us per request a round trip took %.0f ms"
               % (delay_us, trips.get("max_us", 0) / 1000))
        print("%d us per request: %d round trips, median %.1f ms, max %.1f ms" % (
            delay_us, trips.get("ok", 0), trips.get("median_us", 0) / 1000, trips.get("max_us", 0) / 1000),
            flush=True)
    session.control("com3 inputs loopback\n")
    time.sleep(0.5)


def session_ping_copy(session, count):
    """Round trips from a second panelrun, so that they run while the first
    one changes the outputs."""
    panel = Panel(session.wine, session.windows_build)
    try:
        panel.ask("attach 30")
        words = panel.ask("ping %d 50 10000" % count, timeout=count * 11 + 60)
        return dict(ok=int(words[1]), failed=int(words[2]), median_us=float(words[3]), max_us=float(words[4]))
    finally:
        panel.quit()


def scenario_changes(session, results):
    session.control("com3 inputs loopback\n")
    session.outputs(0xA5)
    time.sleep(1.0)
    results["memory"] = [(0, session.memory())]
    done = 0
    started = time.monotonic()
    for upto in (100, 200, 300, 400, 500):
        words = session.panel.ask("changes %d 3 4" % (upto - done), timeout=600)
        expect(int(words[2]) == (upto - done) // 2, "every change to Com4 should bring one error box: %s" % words)
        results.setdefault("change_ms", []).append((float(words[4]), float(words[5]), (upto - done) // 2))
        done = upto
        # Each round ends on Com4; one change to Com3 before sampling would
        # add an open, so memory is sampled with polling stopped, as left.
        results["memory"].append((done, session.memory()))
        print("after %d changes (%.0f s): %s" % (done, time.monotonic() - started, fmt_mem(results["memory"][-1][1])),
              flush=True)
    # Polling again, so the log ends on exchanges after the last open.
    session.panel.ask("changes 1 3 4")
    session.outputs(0x5A)
    seen = session.wait_inputs(0x5A, 10)
    expect(seen == 0x5A, "after the 500 changes the loopback board should give back 5A, got %02X" % seen)
    results["noise"] = memory_noise(session)


def memory_noise(session, samples=10, gap=0.5):
    """Noise: how far the figures move while the program just polls, the
    spread of ten samples half a second apart."""
    figures = [session.memory() for _ in range(samples) if time.sleep(gap) is None]
    return {key: max(f[key] for f in figures) - min(f[key] for f in figures)
            for key in ("RssAnon", "VmData", "VmRSS", "server")}


def scenario_soak(session, results, seconds):
    session.control("com3 inputs loopback\n")
    warm_up = min(10.0, seconds / 6)
    walk_outputs(session, warm_up)
    results["noise"] = memory_noise(session)
    results["memory"] = [(0.0, session.memory())]
    results["cpu_start"] = (time.monotonic(),) + session.cpu_seconds()
    results["soak_start_ns"] = time.monotonic_ns()
    started = time.monotonic()
    next_sample = [started + 10]

    def sample(_):
        if time.monotonic() >= next_sample[0]:
            next_sample[0] += 10
            results["memory"].append((time.monotonic() - started, session.memory()))
            if len(results["memory"]) % 6 == 0:
                print("%4.0f s: %s" % (results["memory"][-1][0], fmt_mem(results["memory"][-1][1])), flush=True)

    walk_outputs(session, seconds, on_step=sample)
    results["cpu_end"] = (time.monotonic(),) + session.cpu_seconds()
    results["soak_end_ns"] = time.monotonic_ns()
    results["memory"].append((time.monotonic() - started, session.memory()))
    last = PATTERN[(len(results["memory"]) + 7) % len(PATTERN)]
    session.outputs(last)
    seen = session.wait_inputs(last, 5)
    expect(seen == last, "at the end of the soak the loopback board should give back %02X, got %02X" % (last, seen))


def unmanaged_windows():
    """Without a window manager on the virtual display, Wine waits 2 s for
    one each time it hides a window that a manager would frame: every error
    box would cost 2 s to press away. Windows left to Wine itself are hidden
    at once; the program sees no difference."""
    with open(os.path.join(os.environ["WINEPREFIX"], "user.reg"), "a") as reg:
        reg.write('\n[Software\\\\Wine\\\\X11 Driver] %d\n"Managed"="N"\n' % int(time.time()))


def inside(args):
    board_dir = os.environ["SERIO8_VBOARD_DIR"]
    results = dict(scenario=args.scenario)
    if args.scenario == "changes":
        unmanaged_windows()
    session = Session(args.windows_build, board_dir)
    try:
        results["memory_start"] = session.memory()
        SCENARIOS[args.scenario][0](session, results, args.seconds)
        expect(session.alive(), "the program should still be running")
        results["exit_code"] = session.close()
    except Failed as failure:
        expect(False, str(failure))
        session.kill()
    results["failures"] = failures
    with open(os.path.join(board_dir, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 0


# ---- Outside: the sandbox, then the log ------------------------------------

def check_log(checker, log_path):
    report = log_path + ".json"
    check = subprocess.run([sys.executable, checker, log_path, "--json", report], capture_output=True, text=True)
    text = check.stdout + check.stderr
    data = None
    if os.path.exists(report):
        with open(report) as f:
            data = json.load(f)
    return check.returncode, text, data


def exchanges_between(data, start_ns, end_ns):
    return [x for x in data["exchanges"] if start_ns <= x["start_ns"] and x["end_ns"] <= end_ns]


def median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2] if ordered else float("nan")


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[max(0, min(len(ordered) - 1, -(-int(fraction * 1000) * len(ordered) // 1000) - 1))]


def judge_pulled(results, data):
    s = data["summary"]
    expect(s["failed_requests"] > 0, "the board should have failed requests while pulled")
    after = [x for x in data["exchanges"] if x["start_ns"] > results.get("replugged_ns", float("inf"))]
    expect(len(after) >= 15, "after SetComPort the log should hold exchanges again, found %d" % len(after))
    expect(s["opens"] == s["closes"] == 2, "two opens (startup, SetComPort) each closed: opens %d, closes %d"
           % (s["opens"], s["closes"]))
    print("log: %d failed requests while pulled, %d exchanges after SetComPort, opens %d, closes %d"
          % (s["failed_requests"], len(after), s["opens"], s["closes"]))


def judge_slow(results, data):
    for phase in results.get("slow", []):
        xs = exchanges_between(data, phase["start_ns"], phase["end_ns"])
        floor_ns = 56 * phase["delay_us"] * 1000 * 0.9  # 56 requests, each at least the delay
        xs = [x for x in xs if x["duration_ns"] >= floor_ns]
        if not expect(len(xs) >= 10, "with %d us per request too few slow exchanges: %d" % (phase["delay_us"], len(xs))):
            continue
        periods = [b["start_ns"] - a["start_ns"] for a, b in zip(xs, xs[1:])]
        gaps = [b["start_ns"] - a["end_ns"] for a, b in zip(xs, xs[1:])]
        durations = [x["duration_ns"] for x in xs]
        expected_period = max(100e6, median(durations))
        print("%d us per request: %d exchanges, exchange median %.1f ms, poll period median %.1f ms "
              "(min %.1f, max %.1f), idle gap between exchanges min %.2f ms median %.1f ms"
              % (phase["delay_us"], len(xs), median(durations) / 1e6, median(periods) / 1e6, min(periods) / 1e6,
                 max(periods) / 1e6, min(gaps) / 1e6, median(gaps) / 1e6))
        expect(min(gaps) >= 0, "exchanges overlap: one began %.3f ms before the previous ended" % (-min(gaps) / 1e6))
        if median(durations) < 50e6:
            # With time to spare in every period, a pile-up would show as
            # polls closer than half a period.
            expect(min(periods) >= 50e6, "two polls came %.1f ms apart though an exchange takes %.1f ms"
                   % (min(periods) / 1e6, median(durations) / 1e6))
        # Piled-up polls would run back to back: shorter periods than the
        # timer's when the exchange is shorter than it, or bursts after it.
        expect(abs(median(periods) - expected_period) <= 0.2 * expected_period,
               "poll period median %.1f ms, expected about %.1f ms"
               % (median(periods) / 1e6, expected_period / 1e6))


def judge_changes(results, data):
    s = data["summary"]
    # Startup's open, 250 changes to Com3 and the one after the sampling.
    expect(s["opens"] == 252, "Com3 should have been opened 252 times, was %d" % s["opens"])
    expect(s["opens"] == s["closes"], "every open closed again: opens %d, closes %d" % (s["opens"], s["closes"]))
    print("log: opens %d, closes %d, %d exchanges" % (s["opens"], s["closes"], s["exchanges"]))
    good = sum(g for g, _, _ in results.get("change_ms", []))
    bad = sum(b for _, b, _ in results.get("change_ms", []))
    pairs = sum(n for _, _, n in results.get("change_ms", []))
    if pairs:
        print("a change to Com3 took %.1f ms on average, one to Com4 with its error box pressed away %.1f ms"
              % (good / pairs, bad / pairs))
    memory = {int(done): m for done, m in results.get("memory", [])}
    noise = results.get("noise")
    if 100 in memory and 500 in memory and noise:
        print("RssAnon after 0/100/200/300/400/500 changes: %s KiB" % " ".join(
            "%.0f" % (memory[n]["RssAnon"] / KIB) for n in sorted(memory)))
        judge_growth("RssAnon (private memory)", memory[100]["RssAnon"], memory[500]["RssAnon"], noise["RssAnon"])
        judge_growth("wineserver VmRSS", memory[100]["server"], memory[500]["server"], noise["server"])
        print("VmData %+.0f KiB, VmRSS %+.0f KiB from 100 to 500 changes; descriptors %d -> %d" % (
            (memory[500]["VmData"] - memory[100]["VmData"]) / KIB,
            (memory[500]["VmRSS"] - memory[100]["VmRSS"]) / KIB, memory[100]["fds"], memory[500]["fds"]))
        expect(memory[500]["fds"] <= memory[100]["fds"], "the program's descriptors grew from %d to %d"
               % (memory[100]["fds"], memory[500]["fds"]))


def judge_growth(what, before, after, noise):
    """Growth beyond noise: more than the larger of 4 x the spread seen while
    idle and 256 KiB, which heap and Wine's own caches can move on their own."""
    bound = max(4 * noise, 256 * KIB)
    print("%s: %.0f KiB -> %.0f KiB, %+.0f KiB (noise %.0f KiB, bound %.0f KiB)"
          % (what, before / KIB, after / KIB, (after - before) / KIB, noise / KIB, bound / KIB))
    expect(after - before <= bound, "%s grew by %.0f KiB, more than %.0f KiB" % (what, (after - before) / KIB,
                                                                                bound / KIB))


def judge_soak(results, data, seconds):
    xs = exchanges_between(data, results["soak_start_ns"], results["soak_end_ns"])
    expect(len(xs) >= seconds * 10 * 0.8, "%d exchanges in %d s of polling, expected about %d"
           % (len(xs), seconds, seconds * 10))
    # Through the loopback board each exchange reads what the one before sent.
    everything = data["exchanges"]
    wrong = [(a, b) for a, b in zip(everything, everything[1:]) if b["input"] != a["output"]
             and not b["first_clock_without_edge"]]
    expect(not wrong, "%d exchanges did not read back what the one before sent%s" % (
        len(wrong), "" if not wrong else ", first at line %d: sent %02X, read %02X"
        % (wrong[0][1]["line"], wrong[0][0]["output"], wrong[0][1]["input"])))
    memory = results["memory"]
    for key, what in (("RssAnon", "RssAnon (private memory)"), ("server", "wineserver VmRSS")):
        series = [m[key] for _, m in memory]
        judge_growth(what, series[0], series[-1], results["noise"][key])
        print("  %s every 10 s: %s KiB" % (what, " ".join("%.0f" % (v / KIB) for v in series)))
    first, last = memory[0][1], memory[-1][1]
    print("VmData %.0f -> %.0f KiB, VmRSS %.0f -> %.0f KiB, descriptors %d -> %d" % (
        first["VmData"] / KIB, last["VmData"] / KIB, first["VmRSS"] / KIB, last["VmRSS"] / KIB,
        first["fds"], last["fds"]))
    expect(last["fds"] <= first["fds"], "the program's descriptors grew from %d to %d" % (first["fds"], last["fds"]))
    t0, p0, s0 = results["cpu_start"]
    t1, p1, s1 = results["cpu_end"]
    minutes = (t1 - t0) / 60
    print("CPU per minute of polling: program %.2f s, wineserver %s" % (
        (p1 - p0) / minutes, "%.2f s" % ((s1 - s0) / minutes) if s0 is not None else "unknown"))
    durations = [x["duration_ns"] for x in xs]
    periods = [b["start_ns"] - a["start_ns"] for a, b in zip(xs, xs[1:])]
    if durations and periods:
        print("exchange median %.1f us (%.2f x 200 us), p99 %.1f us (%.2f x); poll period median %.2f ms, p99 %.2f ms"
              % (median(durations) / 1e3, median(durations) / 200e3, percentile(durations, 0.99) / 1e3,
                 percentile(durations, 0.99) / 200e3, median(periods) / 1e6, percentile(periods, 0.99) / 1e6))


def run(args):
    board_dir = tempfile.mkdtemp(prefix="serio8-load-")
    log_path = os.path.join(board_dir, "com3.log")
    started = time.monotonic()
    code = subprocess.call([sys.executable, args.sandbox, "--display", "--board", "3=loopback", "--board-dir",
                            board_dir, "--vboard-lib", args.vboard_lib, "--", sys.executable,
                            os.path.abspath(__file__), "--inside", args.windows_build, args.scenario,
                            "--seconds", str(args.seconds)],
                           timeout=args.seconds + 900)
    try:
        with open(os.path.join(board_dir, "results.json")) as f:
            results = json.load(f)
    except OSError:
        sys.exit("FAIL: the scenario left no results (sandbox exit %d); board directory %s" % (code, board_dir))
    failures.extend(results["failures"])
    expect(results.get("exit_code") == 0, "the program should end with exit code 0, got %s"
           % results.get("exit_code"))
    rc, text, data = check_log(args.checker, log_path)
    print(text, end="")
    expect(rc == 0, "the checker found violations in the board's log")
    if data is not None:
        SCENARIOS[args.scenario][1](results, data, args.seconds)
    print("%s took %.0f s" % (args.scenario, time.monotonic() - started))
    if failures:
        print("board directory kept: %s" % board_dir)
        return 1
    shutil.rmtree(board_dir, ignore_errors=True)
    return 0


# Each scenario: what it does to the running program, and how its results and
# the board's log are judged. Only the soak has a length of its own.
SCENARIOS = {
    "pulled": (lambda session, results, seconds: scenario_pulled(session, results),
               lambda results, data, seconds: judge_pulled(results, data)),
    "slow": (lambda session, results, seconds: scenario_slow(session, results),
             lambda results, data, seconds: judge_slow(results, data)),
    "changes": (lambda session, results, seconds: scenario_changes(session, results),
                lambda results, data, seconds: judge_changes(results, data)),
    "soak": (scenario_soak, judge_soak),
}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        parser = argparse.ArgumentParser()
        parser.add_argument("windows_build")
        parser.add_argument("scenario")
        parser.add_argument("--seconds", type=float, default=90)
        return inside(parser.parse_args(sys.argv[2:]))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sandbox")
    parser.add_argument("windows_build")
    parser.add_argument("vboard_lib")
    parser.add_argument("checker")
    parser.add_argument("scenario", choices=list(SCENARIOS))
    parser.add_argument("--seconds", type=int, default=90, help="length of the soak (default 90)")
    args = parser.parse_args()
    for name in ("app/serio8.exe", "tests/wine/win/panelrun.exe", "tools/uiauto/uiauto.exe"):
        if not os.path.exists(os.path.join(args.windows_build, name)):
            sys.exit("missing %s in %s: build the windows-x64 preset first" % (name, args.windows_build))
    args.windows_build = os.path.abspath(args.windows_build)
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
