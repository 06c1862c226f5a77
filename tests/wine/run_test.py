#!/usr/bin/env python3
"""The run command without a display: ./run.sh plays its demo on a virtual
display against the virtual loopback board, prints that each output byte came
back in the input boxes, saves a PNG of the whole window and ends with 0.

    run_test.py RUN_SH WINDOWS_BUILD WINE_BUILD

Runs what the two builds hold (--no-build), through a build directory made of
links to them, so that it needs no build/ of its own.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

run_sh, windows_build, wine_build = sys.argv[1:4]
CLIENT = (212, 150)  # the window's client area; the frame comes on top


def png_size_and_colours(path):
    """Width, height and the number of distinct colours of an RGB PNG."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    width, height, depth, kind = struct.unpack(">IIBB", data[16:26])
    if (depth, kind) != (8, 2):
        raise ValueError("not 8-bit RGB: depth %d, colour type %d" % (depth, kind))
    pos, idat = 8, b""
    while pos < len(data):
        length, chunk = struct.unpack(">I4s", data[pos:pos + 8])
        if chunk == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = 1 + width * 3
    colours = set()
    for y in range(height):
        row = raw[y * stride + 1:(y + 1) * stride]  # filter 0: the bytes as they are
        colours.update(row[i:i + 3] for i in range(0, len(row), 3))
    return width, height, len(colours)


def main():
    work = tempfile.mkdtemp(prefix="serio8-run-test-")
    failures = []
    try:
        os.symlink(os.path.abspath(windows_build), os.path.join(work, "windows-x64"))
        os.symlink(os.path.abspath(wine_build), os.path.join(work, "wine"))
        shot = os.path.join(work, "window.png")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        out = subprocess.run([run_sh, "--no-build", "--build-dir", work, "--screenshot", shot],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env, timeout=280)
        print(out.stdout, end="")
        if out.returncode != 0:
            failures.append("run.sh ended with %d, expected 0" % out.returncode)
        for byte in ("01 [.......x]", "80 [x.......]", "A5 [x.x..x.x]"):
            line = "output boxes %s -> input boxes %s" % (byte, byte)
            if line not in out.stdout:
                failures.append("missing from what it printed: %r" % line)
        if "violations: 0" not in out.stdout:
            failures.append("the board's summary with no violation is missing")
        if not os.path.exists(shot):
            failures.append("no screenshot at %s" % shot)
        else:
            width, height, colours = png_size_and_colours(shot)
            print("screenshot: %d x %d pixels, %d colours" % (width, height, colours))
            if width < CLIENT[0] or height < CLIENT[1] or width > CLIENT[0] + 40 or height > CLIENT[1] + 60:
                failures.append("screenshot %d x %d, expected the window: %d x %d and its frame"
                                % (width, height, CLIENT[0], CLIENT[1]))
            if colours < 4:
                failures.append("screenshot has %d colours: no window drawn in it" % colours)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
