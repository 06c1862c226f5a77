#!/usr/bin/env python3
"""The program under Wine as its user meets it, with the virtual board behind
its ports: each scenario drives the window with real input through uiauto
and checks both what the window shows and what the board's log says
happened on the lines.

    scenarios_test.py SANDBOX WINDOWS_BUILD VBOARD_LIB CHECKER [SCENARIO]...

Each scenario runs in a sandbox of its own (a fresh prefix, display and
boards); with no SCENARIO named, all of them run in turn. The boards' logs of
a failed scenario are kept and named. Every log must pass the exchange
checker, and every run must end with exit code 0 when the window is closed.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

TITLE = "Seriell I/O Steuerung 8-Bit"
ERROR_TITLE = "Fehlermeldung"
OK_BUTTON = "1"
SET_COM_PORT = "39"
PORT_LIST = "38"
# The boxes of each bit, D0 first: both rows carry D7 at the left.
OUTPUT_BOX = [8 - bit for bit in range(8)]
INPUT_BOX = [27 - bit for bit in range(8)]
# Nobody maps this port: opening it fails.
MISSING_PORT = "Com7"


class Failed(Exception):
    pass


def expect(condition, what, got, wanted):
    if not condition:
        raise Failed("%s: got %s, expected %s" % (what, got, wanted))


class Run:
    """One run of the program inside the sandbox: the window through uiauto,
    the boards through their control file and logs."""

    def __init__(self, windows_build, board_dir, checker):
        self.wine = os.environ["WINE"]
        self.program = os.path.join(windows_build, "app", "serio8.exe")
        self.uiauto = os.path.join(windows_build, "tools", "uiauto", "uiauto.exe")
        self.board_dir = board_dir
        self.checker = checker
        self.process = None

    # --- the program and its window

    def start(self):
        self.process = subprocess.Popen([self.wine, self.program])
        self.ui("wait", TITLE, "90")

    def ui(self, *args, code=0):
        """Runs uiauto; returns what it printed. Through a file, not a pipe:
        Wine's helper processes inherit the output and would hold a pipe open."""
        with tempfile.TemporaryFile(mode="w+") as out:
            got = subprocess.call([self.wine, self.uiauto] + list(args), stdout=out, stderr=out, timeout=120)
            out.seek(0)
            text = out.read().strip()
        if got != code:
            raise Failed("uiauto %s: exit %d, expected %d\n%s" % (" ".join(args), got, code, text))
        return text

    def boxes(self):
        """The output and input boxes' check marks, as "outputs HH inputs HH"."""
        return self.ui("boxes", TITLE)

    def output_boxes(self):
        return int(self.boxes().split()[1], 16)

    def set_outputs(self, value):
        """Clicks the output boxes that differ from VALUE; returns the
        monotonic time when all of them are known to have turned."""
        outputs = self.output_boxes()
        for bit in range(8):
            if (outputs ^ value) >> bit & 1:
                self.ui("toggle", TITLE, str(OUTPUT_BOX[bit]))
        turned = time.monotonic_ns()
        outputs = self.output_boxes()
        expect(outputs == value, "output boxes after the clicks", "%02X" % outputs, "%02X" % value)
        return turned

    def wait_inputs(self, value, seconds=3):
        self.ui("wait-inputs", TITLE, "%02X" % value, str(seconds))

    def choose(self, item):
        self.ui("choose", TITLE, item)

    def press_set_com_port(self):
        self.ui("press", TITLE, SET_COM_PORT)

    def dismiss_error_box(self):
        self.ui("press", ERROR_TITLE, OK_BUTTON)
        self.ui("gone", ERROR_TITLE, "10")
        self.ui("enabled", TITLE, "1")

    def close(self):
        """The close request; the program must end by itself with code 0."""
        self.ui("close", TITLE)
        try:
            code = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise Failed("the program still runs 30 s after the close request")
        expect(code == 0, "exit code", code, 0)
        print("closed: exit code 0")

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    # --- the boards

    def control(self, text):
        path = os.path.join(self.board_dir, "control")
        with open(path + ".new", "w") as f:
            f.write(text)
        os.replace(path + ".new", path)

    def log_path(self, port):
        return os.path.join(self.board_dir, "com%d.log" % port)

    def requests(self, port):
        """The board's requests in order, as (t_ns, EVENT); empty when the
        port was never opened."""
        if not os.path.exists(self.log_path(port)):
            return []
        found = []
        with open(self.log_path(port)) as f:
            for line in f:
                words = line.split()
                if len(words) >= 6 and not line.startswith("#") and words[1] != "INPUT":
                    found.append((int(words[0]), words[1]))
        return found

    def outputs_shown(self, port):
        """The 4094's outputs each time they changed, as (t_ns, byte)."""
        found = []
        if os.path.exists(self.log_path(port)):
            with open(self.log_path(port)) as f:
                for line in f:
                    words = line.split()
                    if len(words) == 4 and words[0] == "#" and words[2] == "OUTPUTS":
                        found.append((int(words[1]), int(words[3], 16)))
        return found

    def exchanges(self, port):
        """The exchanges the checker finds in the log so far."""
        if not os.path.exists(self.log_path(port)):
            return []
        out = subprocess.run([sys.executable, self.checker, self.log_path(port), "--json", "-"],
                             capture_output=True, text=True)
        if out.returncode == 2:
            raise Failed("the checker cannot read %s: %s" % (self.log_path(port), out.stderr.strip()))
        return json.loads(out.stdout)["exchanges"]

    def wait_for(self, condition, seconds, what):
        deadline = time.monotonic() + seconds
        while not condition():
            if time.monotonic() > deadline:
                raise Failed("%s: not within %s s" % (what, seconds))
            time.sleep(0.05)

    def checked(self, port):
        """The checker over the whole log, once the program has ended: it
        must find no violation and at least one exchange. Returns its
        summary."""
        out = subprocess.run([sys.executable, self.checker, self.log_path(port), "--min-exchanges", "1",
                              "--json", os.path.join(self.board_dir, "com%d.json" % port)],
                             capture_output=True, text=True)
        text = subprocess.run([sys.executable, self.checker, self.log_path(port), "--quiet"],
                              capture_output=True, text=True).stdout
        shown = "".join(text.splitlines(True)[:12])
        expect(out.returncode == 0, "checker on com%d.log" % port, "exit %d (first lines below)\n%s%s"
               % (out.returncode, shown, out.stderr), "exit 0")
        with open(os.path.join(self.board_dir, "com%d.json" % port)) as f:
            summary = json.load(f)["summary"]
        # The program drops DTR after each open, so even the first exchange
        # clocks D0 in on a rising edge.
        expect(summary["first_clock_without_edge"] == 0, "com%d: exchanges whose first clock had no rising edge"
               % port, summary["first_clock_without_edge"], 0)
        expect(summary["opens"] == summary["closes"], "com%d: every open closed" % port,
               "%d opens, %d closes" % (summary["opens"], summary["closes"]), "as many closes as opens")
        print("com%d: %d exchanges, every one right; %d open(s)" % (port, summary["exchanges"], summary["opens"]))
        return summary

    def polls_until_shown(self, port, value, since_ns):
        """How many exchanges began after SINCE_NS up to the one whose strobe
        made the 4094 show VALUE (0 when it showed it before)."""
        def shown():
            changes = self.outputs_shown(port)
            before = [v for t, v in changes if t < since_ns]
            if before and before[-1] == value:
                return since_ns
            return next((t for t, v in changes if t >= since_ns and v == value), None)
        self.wait_for(lambda: shown() is not None, 3, "the 4094 showing %02X" % value)
        at = shown()
        return sum(1 for x in self.exchanges(port) if since_ns <= x["start_ns"] <= at)


# --- the scenarios, each one function run inside its own sandbox


def no_com3(run):
    """Startup without Com3: no message, every poll clears the input boxes;
    Shift+Tab with no control focused goes to the last one; a later
    SetComPort with a port that opens starts polling."""
    run.start()
    run.ui("absent", ERROR_TITLE, "1.5")
    print("no Com3: no error box at startup")
    for marks in ([20, 27], [21, 26], [22, 23, 24, 25]):
        for box in marks:
            run.ui("set-check", TITLE, str(box), "1")
        run.wait_inputs(0x00, 3)
    print("input boxes marked three times, cleared by the polls each time")
    walk = run.ui("walk", TITLE, "shift+tab", "1")
    expect(walk == "focus none: 39", "Shift+Tab with no control focused", walk, "focus none: 39")
    expect(run.requests(5) == [], "Com5 before it was chosen", run.requests(5), "never opened")
    run.choose("Com5")
    run.press_set_com_port()
    run.wait_inputs(0x4B, 5)
    run.ui("absent", ERROR_TITLE, "1")
    count = len(run.exchanges(5))
    run.wait_for(lambda: len(run.exchanges(5)) >= count + 5, 3, "five more polls on Com5")
    print("SetComPort to Com5: polling, input boxes show 4B")
    run.close()
    summary = run.checked(5)
    expect(set(summary["inputs_read"]) == {"4B"}, "bytes read on Com5", summary["inputs_read"], "4B only")


def outputs_and_inputs(run):
    """Output boxes reach the 4094 with the next poll (within two polls of the
    click) and come back through the loopback into the right input boxes;
    inputs set on the board show in the right input boxes."""
    run.start()
    for value in (0x01, 0x80, 0xA5):
        # The first poll that begins once the boxes have turned must carry
        # them to the 4094 (one may already have done so in the meantime).
        turned = run.set_outputs(value)
        polls = run.polls_until_shown(3, value, turned)
        expect(polls <= 1, "polls begun after the boxes turned until the 4094 shows %02X" % value, polls, "0 or 1")
        run.wait_inputs(value)
        print("output boxes %02X: on the 4094 with the next poll, back in the input boxes" % value)
    run.set_outputs(0x00)
    for value in (0x01, 0x80, 0xA5):
        run.control("com3 inputs %02X\n" % value)
        run.wait_inputs(value)
        print("board inputs %02X: shown in the input boxes" % value)
    run.close()
    summary = run.checked(3)
    expect(summary["opens"] == 1, "opens of Com3", summary["opens"], 1)


def reopen_and_choose(run):
    """SetComPort with the open port closes and reopens it and polling goes
    on; choosing another port without pressing changes nothing; Com255 opens
    the device of Com255."""
    run.start()
    run.set_outputs(0x42)
    run.wait_inputs(0x42)
    pressed = time.monotonic_ns()
    run.press_set_com_port()
    run.wait_for(lambda: [e for _, e in run.requests(3)].count("OPEN") == 2, 5, "Com3 opened again")
    run.ui("absent", ERROR_TITLE, "1")
    events = [(t, e) for t, e in run.requests(3) if e in ("OPEN", "CLOSE") and t >= pressed]
    expect([e for _, e in events] == ["CLOSE", "OPEN"], "Com3 after the press", events, "CLOSE, then OPEN")
    reopened = events[1][0]
    run.wait_for(lambda: sum(1 for x in run.exchanges(3) if x["start_ns"] > reopened) >= 5, 3,
                 "five polls after the reopen")
    run.wait_inputs(0x42)
    print("SetComPort with Com3 open: closed, opened again, polling goes on")

    count = len(run.exchanges(3))
    run.choose("Com4")
    time.sleep(2)
    expect(run.requests(4) == [], "Com4 chosen but not set", run.requests(4), "never opened")
    expect(len(run.exchanges(3)) >= count + 5, "polls on Com3 during the two seconds after choosing Com4",
           len(run.exchanges(3)) - count, "5 or more")
    shown = run.boxes()
    expect(shown == "outputs 42 inputs 42", "boxes after choosing Com4", shown, "outputs 42 inputs 42")
    print("Com4 chosen without SetComPort: Com4 untouched, Com3 still polled")

    run.choose("Com255")
    run.press_set_com_port()
    run.wait_inputs(0xB4, 5)
    expect(run.requests(3)[-1][1] == "CLOSE", "Com3's last request", run.requests(3)[-1], "CLOSE")
    print("Com255 set: its board answers, Com3 closed")
    run.close()
    run.checked(3)
    run.checked(255)
    expect(run.requests(4) == [], "Com4 at the end", run.requests(4), "never opened")


def failed_port_change(run):
    """SetComPort to a port that cannot be opened: the error box, exact, with
    the main window disabled; afterwards the input boxes keep their marks and
    the board sees nothing until a port change succeeds. The space bar
    presses the focused button."""
    run.start()
    run.set_outputs(0xA5)
    run.wait_inputs(0xA5)
    run.choose(MISSING_PORT)
    pressed = time.monotonic_ns()
    run.press_set_com_port()
    print(run.ui("error-box", TITLE, "10"))
    # While the box shows, the main window takes no input: a click on an
    # output box turns nothing.
    run.ui("press", TITLE, str(OUTPUT_BOX[0]))
    time.sleep(0.5)
    shown = run.boxes()
    expect(shown == "outputs A5 inputs A5", "boxes after a click while the error box shows", shown,
           "outputs A5 inputs A5")
    run.ui("wait", ERROR_TITLE, "1")
    closes = [t for t, e in run.requests(3) if e == "CLOSE" and t >= pressed]
    expect(len(closes) == 1, "Com3 closes after the press", len(closes), 1)
    closed = closes[0]
    run.dismiss_error_box()

    run.set_outputs(0xA4)
    time.sleep(1)
    shown = run.boxes()
    expect(shown == "outputs A4 inputs A5", "boxes while stopped", shown, "outputs A4 inputs A5")
    after = [(t, e) for t, e in run.requests(3) if t > closed]
    expect(after == [], "requests on Com3 after its close", after[:4], "none")
    print("stopped: input boxes keep A5, an output box clicked, nothing on the lines")

    # Each press is one port change, by the mouse or by the space bar. The
    # click left the focus on box 8; the button is two Tabs on.
    walk = run.ui("walk", TITLE, "tab", "2")
    expect(walk == "focus 8: 38 39", "Tab from box 8", walk, "focus 8: 38 39")
    run.ui("key", TITLE, "space")
    print(run.ui("error-box", TITLE, "10"))
    run.dismiss_error_box()
    run.ui("absent", ERROR_TITLE, "1")
    expect(run.requests(3)[-1][0] == closed, "Com3 after the second failed change", run.requests(3)[-1],
           "still the close")

    run.choose("Com3")
    run.press_set_com_port()
    run.wait_inputs(0xA4, 5)
    opens = [t for t, e in run.requests(3) if e == "OPEN" and t > closed]
    expect(len(opens) == 1, "opens of Com3 after the close", len(opens), 1)
    first = next(x for x in run.exchanges(3) if x["start_ns"] > opens[0])
    expect(first["output"] == 0xA4, "first exchange after the reopen sends", "%02X" % first["output"], "A4")
    print("Com3 set again: polling resumes with the outputs clicked meanwhile")
    run.close()
    run.checked(3)


def port_pulled(run):
    """The adapter pulled while polling: every request fails, the program
    keeps running and clears the input boxes; a later port change works. Then
    a failed change leaves it stopped, and the close ends it with 0."""
    run.start()
    run.set_outputs(0x0F)
    run.wait_inputs(0x0F)
    run.control("com3 inputs loopback\ncom3 fail 1\ncom4 inputs 1E\n")
    run.wait_inputs(0x00)
    time.sleep(0.5)
    expect(run.process.poll() is None, "the program after the port was pulled", "ended", "running")
    failed = [e for _, e in run.requests(3) if e.startswith("FAIL-")]
    expect(len(failed) >= 36, "failed requests on Com3", len(failed), "a poll's worth or more")
    print("Com3 pulled: %d requests failed, input boxes cleared, the program runs on" % len(failed))
    run.choose("Com4")
    run.press_set_com_port()
    run.wait_inputs(0x1E, 5)
    run.ui("absent", ERROR_TITLE, "1")
    print("Com4 set: its board answers 1E")
    run.choose(MISSING_PORT)
    run.press_set_com_port()
    run.ui("error-box", TITLE, "10")
    run.dismiss_error_box()
    expect(run.requests(4)[-1][1] == "CLOSE", "Com4's last request", run.requests(4)[-1], "CLOSE")
    print("%s failed: stopped" % MISSING_PORT)
    run.close()
    summary = run.checked(3)
    expect(summary["failed_requests"] > 0, "failed requests in com3.log", summary["failed_requests"], "some")
    run.checked(4)


def keyboard_and_layout(run):
    """The window as built, the focus moves of Tab and Shift+Tab, the space
    bar on an output box; no Com3, so no port at all, and the close in that
    state. A board waits on Com4, which nothing may open."""
    run.start()
    print(run.ui("check-layout", TITLE))
    cycle = "1 2 3 4 5 6 7 8 38 39"
    walk = run.ui("walk", TITLE, "tab", "11")
    expect(walk == "focus none: %s 1" % cycle, "Tab from no focus", walk, "focus none: %s 1" % cycle)
    back = " ".join(reversed(cycle.split()))
    walk = run.ui("walk", TITLE, "shift+tab", "11")
    expect(walk == "focus 1: %s 39" % back, "Shift+Tab from box 1", walk, "focus 1: %s 39" % back)
    print("Tab: %s, wrapping both ways; the input boxes and labels skipped" % cycle)
    walk = run.ui("walk", TITLE, "tab", "1")
    expect(walk == "focus 39: 1", "Tab from the button", walk, "focus 39: 1")
    run.ui("key", TITLE, "space")
    run.wait_for(lambda: run.boxes() == "outputs 80 inputs 00", 3, "box 1 checked by the space bar")
    time.sleep(0.5)
    shown = run.boxes()
    expect(shown == "outputs 80 inputs 00", "boxes with no port", shown, "outputs 80 inputs 00")
    print("space on box 1: D7 set; with no port the input boxes stay clear")
    run.ui("set-check", TITLE, "27", "1")
    run.wait_inputs(0x00, 3)
    run.close()
    expect(run.requests(4) == [], "the board on Com4, never chosen", run.requests(4)[:4], "never opened")


SCENARIOS = {
    # name: (what the sandbox maps, the scenario)
    "no_com3": (["--board", "5=4B"], no_com3),
    "outputs_and_inputs": (["--board", "3=loopback"], outputs_and_inputs),
    "reopen_and_choose": (["--board", "3=loopback", "--board", "4=3C", "--board", "255=B4"], reopen_and_choose),
    "failed_port_change": (["--board", "3=loopback"], failed_port_change),
    "port_pulled": (["--board", "3=loopback", "--board", "4=1E"], port_pulled),
    "keyboard_and_layout": (["--board", "4=FF"], keyboard_and_layout),
}


def inside(name, windows_build, board_dir, checker):
    run = Run(windows_build, board_dir, checker)
    try:
        SCENARIOS[name][1](run)
    except (Failed, subprocess.TimeoutExpired) as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        run.kill()
    return 0


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--inside":
        return inside(*sys.argv[2:6])
    sandbox, windows_build, vboard_lib, checker = sys.argv[1:5]
    names = sys.argv[5:] or list(SCENARIOS)
    for name in ("app/serio8.exe", "tools/uiauto/uiauto.exe"):
        if not os.path.exists(os.path.join(windows_build, name)):
            sys.exit("missing %s in %s: build the windows-x64 preset first" % (name, windows_build))
    failed = []
    for name in names:
        options, scenario = SCENARIOS[name]
        print("--- %s: %s" % (name, " ".join(scenario.__doc__.split())), flush=True)
        board_dir = tempfile.mkdtemp(prefix="serio8-scenario-")
        started = time.monotonic()
        boards = ["--board-dir", board_dir, "--vboard-lib", vboard_lib] if options else []
        code = subprocess.call([sys.executable, sandbox, "--display"] + options + boards +
                               ["--", sys.executable, os.path.abspath(__file__), "--inside", name,
                                os.path.abspath(windows_build), board_dir, os.path.abspath(checker)],
                               timeout=280)
        print("--- %s: %s after %.0f s" % (name, "ok" if code == 0 else "FAILED", time.monotonic() - started),
              flush=True)
        if code == 0:
            shutil.rmtree(board_dir, ignore_errors=True)
        else:
            failed.append(name)
            print("the boards' logs are kept in %s" % board_dir)
    if failed:
        sys.exit("failed: %s" % ", ".join(failed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
