#!/usr/bin/python3
"""Waveforms of the board's four lines from a virtual board log.

    waveform.py LOG --vcd OUT.vcd           all of it, for GTKWave or PulseView
    waveform.py LOG --png OUT.png [-n N]    a timing diagram of the Nth complete exchange
    waveform.py LOG --list                  every complete exchange, one line each

The log is the one the virtual board writes: a first line
"# serio8 vboard log 1", then one line per driver request,
"<t_ns> <EVENT> <rts> <dtr> <txd> <dcd>", with the four levels as they are
after the request ("FAIL-<EVENT>": refused, levels unchanged; "INPUT": a
seventh field, the 4021's new input byte in hex). A GET that is not followed
by a SET, BIS or BIC is a reading of DCD; one that is, is the first half of a
switch of RTS or DTR. The VCD needs nothing but Python; the PNG needs
matplotlib (Debian: python3-matplotlib).
"""

import argparse
import sys

HEADER = "# serio8 vboard log 1"
LINES = ("rts", "dtr", "txd", "dcd")
EVENTS = {"OPEN", "CLOSE", "GET", "SET", "BIS", "BIC", "SBRK", "CBRK"}
SWITCHES = {"SET", "BIS", "BIC"}
WAITS_NS = 200_000  # two RTS pulses of 20 us, eight bits of 10 + 10 us


class LogError(Exception):
    pass


class Event:
    __slots__ = ("t", "kind", "failed", "levels", "input", "read")

    def __init__(self, t, kind, failed, levels, input_byte=None):
        self.t = t
        self.kind = kind  # OPEN ... CBRK or INPUT, without "FAIL-"
        self.failed = failed
        self.levels = levels  # dict of the four lines, 0 or 1
        self.input = input_byte
        self.read = False  # a GET that read DCD


def parse_log(text):
    """The log's events in order; raises LogError on anything malformed."""
    lines = text.splitlines()
    if not lines or lines[0].rstrip() != HEADER:
        raise LogError(f"line 1: expected {HEADER!r}")
    events = []
    for number, line in enumerate(lines[1:], start=2):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        fields = line.split()
        name = fields[1] if len(fields) > 1 else ""
        failed = name.startswith("FAIL-")
        kind = name[5:] if failed else name
        if kind not in EVENTS and not (kind == "INPUT" and not failed):
            raise LogError(f"line {number}: unknown event {name!r}")
        want = 7 if kind == "INPUT" else 6
        if len(fields) != want:
            raise LogError(f"line {number}: {name} takes {want} fields, found {len(fields)}")
        try:
            t = int(fields[0])
            levels = [int(v) for v in fields[2:6]]
            input_byte = int(fields[6], 16) if kind == "INPUT" else None
        except ValueError:
            raise LogError(f"line {number}: not a number in {line!r}") from None
        if t < 0 or any(v not in (0, 1) for v in levels):
            raise LogError(f"line {number}: a time below 0 or a level other than 0/1")
        if input_byte is not None and not 0 <= input_byte <= 0xFF:
            raise LogError(f"line {number}: input byte out of range")
        if events and t < events[-1].t:
            raise LogError(f"line {number}: time goes back ({t} after {events[-1].t})")
        events.append(Event(t, kind, failed, dict(zip(LINES, levels)), input_byte))
    requests = [e for e in events if e.kind != "INPUT"]
    for i, event in enumerate(requests):
        if event.kind == "GET" and not event.failed:
            following = requests[i + 1] if i + 1 < len(requests) else None
            event.read = following is None or following.kind not in SWITCHES
    return events


# ---- VCD ------------------------------------------------------------------

VCD_SIGNALS = (  # id, width, name
    ("r", 1, "RTS"),
    ("d", 1, "DTR"),
    ("t", 1, "TXD"),
    ("c", 1, "DCD"),
    ("s", 1, "DCD_read"),         # a short pulse at each reading of DCD
    ("f", 1, "request_refused"),  # a short pulse at each FAIL- request
)
# One-bit wires only: PulseView's import stops at the first vector.
LINE_IDS = {"rts": "r", "dtr": "d", "txd": "t", "dcd": "c"}
MARK_NS = 500


def vcd_value(ident, value):
    return f"{value}{ident}"


def write_vcd(events, out, source="log"):
    """Writes the events as a VCD with 1 ns resolution, time 0 at the first event."""
    t0 = events[0].t if events else 0
    changes = {}  # time -> {id: value}; a later change at the same time wins

    def change(t, ident, value):
        changes.setdefault(t - t0, {})[ident] = value

    current = {ident: None for ident, _, _ in VCD_SIGNALS}
    for i, event in enumerate(events):
        for line, ident in LINE_IDS.items():
            if current[ident] != event.levels[line]:
                current[ident] = event.levels[line]
                change(event.t, ident, event.levels[line])
        if event.read or event.failed:
            gap = events[i + 1].t - event.t if i + 1 < len(events) else MARK_NS
            width = max(1, min(MARK_NS, gap))
            ident = "s" if event.read else "f"
            change(event.t, ident, 1)
            # The end of a mark must not undo a mark that starts at the same time.
            end = changes.setdefault(event.t + width - t0, {})
            end.setdefault(ident, 0)

    out.write("$version serio8 waveform.py $end\n")
    out.write(f"$comment {source}: time 0 is {t0} ns of CLOCK_MONOTONIC $end\n")
    out.write("$timescale 1 ns $end\n")
    out.write("$scope module board $end\n")
    for ident, width, name in VCD_SIGNALS:
        out.write(f"$var wire {width} {ident} {name} $end\n")
    out.write("$upscope $end\n$enddefinitions $end\n")
    initial = {ident: "x" for ident, _, _ in VCD_SIGNALS}
    initial.update({"s": 0, "f": 0})
    first = changes.pop(0, {})
    initial.update(first)
    out.write("#0\n$dumpvars\n")
    for ident, _, _ in VCD_SIGNALS:
        out.write(vcd_value(ident, initial[ident]) + "\n")
    out.write("$end\n")
    for t in sorted(changes):
        out.write(f"#{t}\n")
        for ident, value in changes[t].items():
            out.write(vcd_value(ident, value) + "\n")


# ---- Exchanges ---------------------------------------------------------------


class Exchange:
    def __init__(self, load, strobe, clocks, reads):
        self.load = load  # (rise, fall) of RTS
        self.strobe = strobe
        self.clocks = clocks  # [(rise, fall, txd at the rise)] for D0..D7
        self.reads = reads  # [(t, dcd)] in order
        self.output = sum(txd << k for k, (_, _, txd) in enumerate(clocks))
        self.input = sum(dcd << k for k, (_, dcd) in enumerate(reads[:8])) if len(reads) == 8 else None

    @property
    def duration(self):
        return self.strobe[1] - self.load[0]


def pulses(events, line):
    """(rise, fall) of every high pulse of a line; a pulse still high at the end is left out."""
    found = []
    level = None
    rise = None
    for event in events:
        value = event.levels[line]
        if level == 0 and value == 1:
            rise = event.t
        elif level == 1 and value == 0 and rise is not None:
            found.append((rise, event.t))
            rise = None
        level = value
    return found


def exchanges(events):
    """Every complete exchange: two RTS pulses with exactly eight DTR pulses between them."""
    rts = pulses(events, "rts")
    dtr = pulses(events, "dtr")
    txd_at = {}
    level = None
    for event in events:  # TXD as it stood when DTR rose
        if level == 0 and event.levels["dtr"] == 1:
            txd_at[event.t] = event.levels["txd"]
        level = event.levels["dtr"]
    reads = [(e.t, e.levels["dcd"]) for e in events if e.read]
    found = []
    i = 0
    while i + 1 < len(rts):
        load, strobe = rts[i], rts[i + 1]
        clocks = [(r, f, txd_at[r]) for r, f in dtr if load[1] <= r and f <= strobe[0]]
        if len(clocks) == 8:
            inside = [(t, v) for t, v in reads if load[1] <= t <= strobe[0]]
            found.append(Exchange(load, strobe, clocks, inside))
            i += 2
        else:
            i += 1
    return found


def describe(number, ex):
    got = f"0x{ex.input:02X}" if ex.input is not None else f"{len(ex.reads)} reads"
    return (f"{number:5d}  t={ex.load[0]} ns  {ex.duration / 1000:8.1f} us  "
            f"{ex.duration / WAITS_NS:5.2f} x 200 us  out 0x{ex.output:02X}  in {got}")


# ---- PNG ---------------------------------------------------------------------

ROWS = (("rts", "RTS\nload / strobe"), ("dtr", "DTR\nclock"), ("txd", "TXD\ndata to 4094"),
        ("dcd", "DCD\ndata from 4021"))
HIGH = 0.62


def write_png(events, ex, number, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t0 = ex.load[0]
    margin = max(6_000, ex.duration // 25)
    start, end = t0 - margin, ex.strobe[1] + margin

    def us(t):
        return (t - t0) / 1000.0

    fig, ax = plt.subplots(figsize=(15, 5.6), dpi=110)
    colours = {"rts": "#b03a2e", "dtr": "#1f618d", "txd": "#1e8449", "dcd": "#7d3c98"}
    base = {}
    for row, (line, _) in enumerate(ROWS):
        y0 = (len(ROWS) - 1 - row) * 1.0
        base[line] = y0
        before = [e for e in events if e.t <= start]
        level = before[-1].levels[line] if before else events[0].levels[line]
        xs, ys = [us(start)], [y0 + HIGH * level]
        for e in events:
            if start < e.t < end and e.levels[line] != level:
                level = e.levels[line]
                xs.append(us(e.t))
                ys.append(y0 + HIGH * level)
        xs.append(us(end))
        ys.append(ys[-1])
        ax.step(xs, ys, where="post", color=colours[line], linewidth=1.8)
        ax.axhline(y0, color="#dddddd", linewidth=0.6, zorder=0)

    top = base["rts"] + HIGH
    for name, (rise, fall) in (("load", ex.load), ("strobe", ex.strobe)):
        ax.axvspan(us(rise), us(fall), color=colours["rts"], alpha=0.08, zorder=0)
        ax.text((us(rise) + us(fall)) / 2, top + 0.08, f"{name}\n{(fall - rise) / 1000:.1f} \u00b5s",
                ha="center", va="bottom", fontsize=9, color=colours["rts"], fontweight="bold")

    for k, (rise, fall, txd) in enumerate(ex.clocks):
        ax.axvline(us(rise), color="#999999", linestyle=":", linewidth=0.8, zorder=0)
        ax.text((us(rise) + us(fall)) / 2, base["dtr"] + HIGH + 0.06, f"D{k}", ha="center", va="bottom",
                fontsize=9, color=colours["dtr"], fontweight="bold")
        ax.plot([us(rise)], [base["txd"] + HIGH * txd], "o", color=colours["txd"], markersize=5)
        ax.text(us(rise), base["txd"] + HIGH + 0.06, f"D{k}={txd}", ha="center", va="bottom", fontsize=8.5,
                color=colours["txd"])
    for k, (t, dcd) in enumerate(ex.reads):
        ax.plot([us(t)], [base["dcd"] + HIGH * dcd], "^", color=colours["dcd"], markersize=6)
        ax.text(us(t), base["dcd"] + HIGH + 0.06, f"D{k}={dcd}", ha="center", va="bottom", fontsize=8.5,
                color=colours["dcd"])

    ax.set_yticks([base[line] + HIGH / 2 for line, _ in ROWS])
    ax.set_yticklabels([label for _, label in ROWS], fontsize=9.5)
    ax.set_ylim(-0.25, top + 0.55)
    ax.set_xlim(us(start), us(end))
    ax.set_xlabel("time since the load pulse began (\u00b5s)")
    ax.grid(axis="x", color="#eeeeee", linewidth=0.6)
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    ax.tick_params(axis="y", length=0)
    got = f"InputByte 0x{ex.input:02X}" if ex.input is not None else f"{len(ex.reads)} DCD reads"
    ax.set_title(f"Exchange {number}: OutputByte 0x{ex.output:02X} out on TXD, {got} in from DCD; "
                 f"{ex.duration / 1000:.1f} \u00b5s = {ex.duration / WAITS_NS:.2f} \u00d7 the 200 \u00b5s of waits",
                 fontsize=11)
    ax.text(1.0, -0.13, "\u25cf TXD where DTR rises (bit shifted into the 4094)    "
            "\u25b2 DCD as read (bit from the 4021)", transform=ax.transAxes, ha="right", va="top",
            fontsize=8.5, color="#555555")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("log", help="virtual board log ('-' for standard input)")
    parser.add_argument("--vcd", help="write all of the log as a VCD file here")
    parser.add_argument("--png", help="write a timing diagram of one exchange here")
    parser.add_argument("-n", "--exchange", type=int, default=1,
                        help="which complete exchange the diagram shows, from 1 (default: the first)")
    parser.add_argument("--list", action="store_true", help="list the complete exchanges")
    args = parser.parse_args(argv)
    if not (args.vcd or args.png or args.list):
        parser.error("nothing to do: give --vcd, --png or --list")
    try:
        if args.log == "-":
            text = sys.stdin.read()
        else:
            with open(args.log, encoding="ascii") as f:
                text = f.read()
        events = parse_log(text)
    except (OSError, UnicodeDecodeError, LogError) as error:
        print(f"waveform.py: {args.log}: {error}", file=sys.stderr)
        return 1
    if args.vcd:
        with open(args.vcd, "w", encoding="ascii", newline="\n") as out:
            write_vcd(events, out, source=args.log)
    found = exchanges(events) if (args.png or args.list) else []
    if args.list:
        for number, ex in enumerate(found, start=1):
            print(describe(number, ex))
    if args.png:
        if not 1 <= args.exchange <= len(found):
            print(f"waveform.py: {args.log}: no complete exchange {args.exchange} "
                  f"(the log has {len(found)})", file=sys.stderr)
            return 1
        write_png(events, found[args.exchange - 1], args.exchange, args.png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
