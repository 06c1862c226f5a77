#!/usr/bin/env python3
"""Runs a command under Wine in a sandbox that no real serial device reaches.

    tools/wine/sandbox.py [--com N[=DEVICE]]... [--display] -- COMMAND [ARG]...

Wine maps COM ports to the machine's serial devices by itself (COM1 to
/dev/ttyS0, which may be a console) and does so again at every start. So the
command runs in a private mount namespace whose /dev holds only null, zero,
the random devices, tty and the pseudo-terminals: no ttyS*, ttyUSB* or
ttyACM* at all. Wine then finds no serial device but the ones mapped here:

    --com 3           maps Com3 to a new pseudo-terminal; the command finds its
                      path in SERIO8_COM3_PTY and the other end, open, as the
                      file descriptor SERIO8_COM3_MASTER
    --com 3=/dev/ttyUSB0
                      maps Com3 to that real device (made visible on purpose)

The Wine prefix is private to the run: a copy of a template that is made once
(under build/wine-template) inside the same kind of sandbox. --display starts
a virtual X display (Xvfb) unless DISPLAY is already set. The command sees
WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, WINE (the wine64 loader) and
WINESERVER; its exit code is the sandbox's.
"""
import argparse
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TEMPLATE = os.path.join(ROOT, "build", "wine-template")
INSIDE = "SERIO8_SANDBOX_INSIDE"


def log(message):
    print("sandbox: " + message, file=sys.stderr, flush=True)


def reexec_in_namespace():
    """Starts this script again in a mount namespace of its own."""
    cmd = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        cmd.insert(1, "--map-root-user")
    env = dict(os.environ, **{INSIDE: "1"})
    return subprocess.call(cmd + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env=env)


def private_dev(real_devices):
    """Replaces /dev by a tmpfs with the harmless devices, the pseudo-terminals
    and the real devices asked for by name, and nothing else."""
    host = tempfile.mkdtemp(prefix="serio8-hostdev-")
    subprocess.check_call(["mount", "--rbind", "/dev", host])
    subprocess.check_call(["mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/dev"])
    for name in ["null", "zero", "full", "random", "urandom", "tty"]:
        open("/dev/" + name, "w").close()
        subprocess.check_call(["mount", "--bind", os.path.join(host, name), "/dev/" + name])
    for name in ["pts", "shm"]:
        os.mkdir("/dev/" + name)
    subprocess.check_call(["mount", "--bind", os.path.join(host, "pts"), "/dev/pts"])
    subprocess.check_call(["mount", "-t", "tmpfs", "tmpfs", "/dev/shm"])
    os.symlink("pts/ptmx", "/dev/ptmx")
    os.symlink("/proc/self/fd", "/dev/fd")
    for i, name in enumerate(["stdin", "stdout", "stderr"]):
        os.symlink("/proc/self/fd/%d" % i, "/dev/" + name)
    for device in real_devices:
        if not device.startswith("/dev/"):
            sys.exit("sandbox: %s is not a device under /dev" % device)
        source = os.path.join(host, device[len("/dev/"):])
        if not os.path.exists(source):
            sys.exit("sandbox: %s does not exist" % device)
        os.makedirs(os.path.dirname(device), exist_ok=True)
        open(device, "w").close()
        subprocess.check_call(["mount", "--bind", source, device])


def wine_env(prefix):
    env = dict(os.environ)
    env.pop(INSIDE, None)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               WINE=WINE, WINESERVER=WINESERVER)
    return env


def make_template():
    """Creates the prefix template once. Runs in the sandbox, so Wine sees no
    serial device while it sets the prefix up."""
    if os.path.exists(os.path.join(TEMPLATE, "system.reg")):
        return
    log("creating the Wine prefix template (once)")
    work = TEMPLATE + ".new"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.dirname(work), exist_ok=True)
    env = wine_env(work)
    subprocess.call([WINE, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.call([WINESERVER, "-w"], env=env)
    # Links to devices are made anew in each run's copy.
    for entry in os.listdir(os.path.join(work, "dosdevices")):
        if entry.startswith("com"):
            os.unlink(os.path.join(work, "dosdevices", entry))
    os.rename(work, TEMPLATE)


def map_ports(prefix, ports):
    """Writes the COM mappings into the prefix's registry before Wine starts."""
    stamp = int(time.time())
    with open(os.path.join(prefix, "system.reg"), "a") as reg:
        reg.write("\n[Software\\\\Wine\\\\Ports] %d\n" % stamp)
        for number, device in ports:
            reg.write('"COM%d"="%s"\n' % (number, device))


def start_display(env):
    if env.get("DISPLAY"):
        return None
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_fd, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_fd)
    env["DISPLAY"] = ":" + number.decode().strip()
    return xvfb


def inside(args):
    real = [device for _, device in args.ports if device]
    private_dev(real)
    make_template()
    prefix = tempfile.mkdtemp(prefix="serio8-wine-")
    try:
        shutil.copytree(TEMPLATE, prefix, symlinks=True, dirs_exist_ok=True)
        env = wine_env(prefix)
        mapped = []
        keep = []
        for number, device in args.ports:
            if not device:
                master, slave = pty.openpty()
                device = os.ttyname(slave)
                os.close(slave)  # the program opens it again through Wine
                os.set_inheritable(master, True)
                keep.append(master)
                env["SERIO8_COM%d_PTY" % number] = device
                env["SERIO8_COM%d_MASTER" % number] = str(master)
            mapped.append((number, device))
        map_ports(prefix, mapped)
        xvfb = start_display(env) if args.display else None
        try:
            code = subprocess.call(args.command, env=env, pass_fds=keep)
        finally:
            subprocess.call([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
            subprocess.call([WINESERVER, "-w"], env=env, stderr=subprocess.DEVNULL)
            if xvfb is not None:
                xvfb.terminate()
                xvfb.wait()
        return code
    finally:
        shutil.rmtree(prefix, ignore_errors=True)


def parse():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--com", action="append", default=[], metavar="N[=DEVICE]")
    parser.add_argument("--display", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.command and args.command[0] == "--":
        args.command = args.command[1:]
    if not args.command:
        parser.error("no command")
    args.ports = []
    for spec in args.com:
        number, _, device = spec.partition("=")
        if not number.isdigit() or not 1 <= int(number) <= 255:
            parser.error("--com takes a port number 1..255: %s" % spec)
        args.ports.append((int(number), device))
    return args


def main():
    args = parse()
    if os.environ.get(INSIDE) != "1":
        return reexec_in_namespace()
    return inside(args)


if __name__ == "__main__":
    sys.exit(main())
