#!/usr/bin/env python3
"""The sandbox lets Wine open the COM ports it maps and no other: Com1 must
not reach the machine's /dev/ttyS0, whatever Wine does at start-up."""
import os
import subprocess
import sys

sandbox, windows_build = sys.argv[1], sys.argv[2]
probe = os.path.join(windows_build, "tests", "wine", "win", "portprobe.exe")
if not os.path.exists(probe):
    sys.exit("missing %s: build the windows-x64 preset first" % probe)

out = subprocess.run([sys.executable, sandbox, "--com", "3", "--com", "200", "--",
                      "/usr/lib/wine/wine64", probe], capture_output=True, text=True, timeout=240)
lines = out.stdout.split()
opened = [lines[i] for i in range(0, len(lines) - 1, 2) if lines[i + 1] == "open"]
probed = len(lines) // 2
print("probed %d names, open: %s" % (probed, ", ".join(opened) or "none"))
if out.returncode != 0 or probed != 255:
    print(out.stderr)
    sys.exit("the probe did not run through (exit %d)" % out.returncode)
if opened != ["Com3", "Com200"]:
    sys.exit("expected exactly Com3 and Com200 to open, got %s" % opened)
print("ok: only the mapped ports open")
