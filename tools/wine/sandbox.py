#!/usr/bin/env python3
"""Runs a command under Wine in a sandbox that no real serial device reaches.

    tools/wine/sandbox.py [--com N[=DEVICE]]... [--board N=INPUTS]... [--board-dir DIR]
                          [--vboard-lib PATH] [--display] -- COMMAND [ARG]...

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

    --board 3=loopback
    --board 3=A5      puts a virtual board (tools/vboard) behind Com3, on a new
                      pseudo-terminal as with --com 3: its 4021's inputs wired
                      to its 4094's outputs, or set to that byte (hex, D7..D0).
                      The command runs with the board's library preloaded
                      (LD_PRELOAD, SERIO8_VBOARD_PORTS, SERIO8_VBOARD_DIR). The
                      board's directory (--board-dir, else a new one that is
                      kept and named on stderr) gets a fresh control file and
                      each board's log, comN.log, starts anew. The library is
                      --vboard-lib, else $SERIO8_VBOARD_LIB, else the one the
                      wine preset built under build/wine.

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


def reexec_in_namespace(args):
    """Starts this script again in a mount namespace of its own."""
    argv = sys.argv[1:]
    if args.boards:
        # The board's directory is chosen once, out here, and named to the inside.
        argv = ["--board-dir", args.board_dir] + argv
    cmd = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        cmd.insert(1, "--map-root-user")
    env = dict(os.environ, **{INSIDE: "1"})
    return subprocess.call(cmd + [sys.executable, os.path.abspath(__file__)] + argv, env=env)


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
    # Everything needed from the host's /dev is bound in now; its mount point
    # would otherwise stay behind in /tmp after every run.
    subprocess.check_call(["umount", "--lazy", host])
    os.rmdir(host)


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
        if args.boards:
            attach_boards(args, env)
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


def attach_boards(args, env):
    """Writes the boards' control file and preloads their library."""
    os.makedirs(args.board_dir, exist_ok=True)
    lines = ["# written by the sandbox; see tools/vboard/README.md"]
    for number, inputs in args.boards:
        lines.append("com%d inputs %s" % (number, inputs))
        try:
            os.unlink(os.path.join(args.board_dir, "com%d.log" % number))
        except FileNotFoundError:
            pass
    control = os.path.join(args.board_dir, "control")
    with open(control + ".new", "w") as out:
        out.write("\n".join(lines) + "\n")
    os.replace(control + ".new", control)
    env["SERIO8_VBOARD_PORTS"] = ",".join("%d=%s" % (n, env["SERIO8_COM%d_PTY" % n]) for n, _ in args.boards)
    env["SERIO8_VBOARD_DIR"] = args.board_dir
    env["LD_PRELOAD"] = " ".join(filter(None, [args.vboard_lib, env.get("LD_PRELOAD")]))


def parse():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--com", action="append", default=[], metavar="N[=DEVICE]")
    parser.add_argument("--board", action="append", default=[], metavar="N=loopback|HEX")
    parser.add_argument("--board-dir", metavar="DIR")
    parser.add_argument("--vboard-lib", metavar="PATH")
    parser.add_argument("--display", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.command and args.command[0] == "--":
        args.command = args.command[1:]
    if not args.command:
        parser.error("no command")
    args.ports = []
    for mapping in args.com:
        number, _, device = mapping.partition("=")
        if not number.isdigit() or not 1 <= int(number) <= 255:
            parser.error("--com takes a port number 1..255: %s" % mapping)
        args.ports.append((int(number), device))
    args.boards = []
    for mapping in args.board:
        number, _, inputs = mapping.partition("=")
        if not number.isdigit() or not 1 <= int(number) <= 255:
            parser.error("--board takes a port number 1..255: %s" % mapping)
        if inputs != "loopback":
            try:
                if not 0 <= int(inputs, 16) <= 0xFF:
                    raise ValueError
            except ValueError:
                parser.error("--board N=loopback or N=HEX (00..FF): %s" % mapping)
        number = int(number)
        if any(n == number and device for n, device in args.ports):
            parser.error("Com%d cannot be a real device and a virtual board at once" % number)
        if all(n != number for n, _ in args.ports):
            args.ports.append((number, ""))
        args.boards.append((number, inputs))
    if args.boards:
        args.vboard_lib = os.path.abspath(args.vboard_lib or os.environ.get("SERIO8_VBOARD_LIB") or
                                          os.path.join(ROOT, "build", "wine", "tools", "vboard", "libvboard.so"))
        if not os.path.exists(args.vboard_lib):
            parser.error("no virtual board library at %s: build the wine preset" % args.vboard_lib)
        if not args.board_dir and os.environ.get(INSIDE) != "1":
            args.board_dir = tempfile.mkdtemp(prefix="serio8-vboard-")
            print("sandbox: the virtual board's control file and log are in %s" % args.board_dir,
                  file=sys.stderr, flush=True)
        args.board_dir = os.path.abspath(args.board_dir)
    return args


def main():
    args = parse()
    if os.environ.get(INSIDE) != "1":
        return reexec_in_namespace(args)
    return inside(args)


if __name__ == "__main__":
    sys.exit(main())
