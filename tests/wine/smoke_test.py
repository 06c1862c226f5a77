#!/usr/bin/env python3
"""The program under Wine: its main window appears with its exact title, a
press of SetComPort is one port change also when another program sends the
click, and a polite close ends the program with exit code 0.

    smoke_test.py SANDBOX WINDOWS_BUILD

Runs in the sandbox on a virtual display once with Com3 mapped to a
pseudo-terminal, where the startup port opens and a press reopens it without
a message, and once with no COM port at all, where startup stays silent and
each press brings exactly one error box. A third run has no display, so the
main window cannot be created: the program must end at once with code 0.
"""
import errno
import os
import subprocess
import sys
import tempfile
import time

TITLE = "Seriell I/O Steuerung 8-Bit"
ERROR_TITLE = "Fehlermeldung"
SET_COM_PORT = "39"
OK_BUTTON = "1"  # IDOK: the box's only button


class Failed(Exception):
    pass


def inside(windows_build, with_com3):
    """The scenario itself, run inside the sandbox."""
    wine = os.environ["WINE"]
    program = os.path.join(windows_build, "app", "serio8.exe")
    uiauto = os.path.join(windows_build, "tools", "uiauto", "uiauto.exe")

    def ui(*args, timeout=120):
        # Through a file, not a pipe: Wine's helper processes that a call
        # starts inherit its output and would keep a pipe open past its end.
        with tempfile.TemporaryFile(mode="w+") as err:
            code = subprocess.call([wine, uiauto] + list(args), stdout=err, stderr=err, timeout=timeout)
            err.seek(0)
            if code != 0:
                raise Failed("uiauto %s: exit %d %s" % (" ".join(args), code, err.read().strip()))

    started = time.monotonic()
    proc = subprocess.Popen([wine, program])
    try:
        ui("wait", TITLE, "90")
        print("main window after %.1f s" % (time.monotonic() - started))
        if with_com3 and not com3_becomes(True):
            raise Failed("Com3 was not opened at startup")
        # Startup reports nothing, whether Com3 opened or not.
        ui("absent", ERROR_TITLE, "1.5")
        # Two clicks sent from this program: each reaches the window while it
        # waits for messages, and each must become one port change.
        ui("click", TITLE, SET_COM_PORT)
        ui("click", TITLE, SET_COM_PORT)
        if with_com3:
            ui("absent", ERROR_TITLE, "2")
            print("two presses reopened Com3 without a message")
        else:
            for press in (1, 2):
                ui("wait", ERROR_TITLE, "20")
                ui("enabled", TITLE, "0")  # no input while the box is up
                ui("dismiss", ERROR_TITLE, OK_BUTTON, "20")
                print("press %d: one error box" % press)
            ui("enabled", TITLE, "1")
            ui("absent", ERROR_TITLE, "2")
            print("no error box beyond the two presses")
            # Polling has stopped now, so no timer message wakes the loop:
            # the press must still be seen at once.
            ui("click", TITLE, SET_COM_PORT)
            ui("wait", ERROR_TITLE, "5")
            ui("dismiss", ERROR_TITLE, OK_BUTTON, "20")
            ui("absent", ERROR_TITLE, "1")
            print("a press while stopped: one error box")
        ui("close", TITLE)
        code = proc.wait(timeout=30)
    except (Failed, subprocess.TimeoutExpired) as failure:
        proc.kill()
        proc.wait()
        print("FAILED: %s" % failure)
        return 1
    print("exit code %d" % code)
    if code != 0:
        print("FAILED: the program must end with exit code 0")
        return 1
    if with_com3:
        if not com3_becomes(False):
            print("FAILED: Com3 still open after the exit")
            return 1
        print("Com3 open while the program ran, closed after it")
    return 0


def com3_becomes(held_open, seconds=10):
    """Whether Com3 is (or within a few seconds comes to be) held open or not."""
    deadline = time.monotonic() + seconds
    while com3_held_open() != held_open:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def com3_held_open():
    """Whether a program holds Com3's pseudo-terminal open. Its other end
    reads EIO once nobody has it open and would block while somebody does;
    the program never sends data, so nothing is consumed."""
    master = int(os.environ["SERIO8_COM3_MASTER"])
    os.set_blocking(master, False)
    try:
        os.read(master, 64)
        return True
    except BlockingIOError:
        return True
    except OSError as error:
        if error.errno == errno.EIO:
            return False
        raise


def inside_without_display(windows_build):
    """With no display Wine cannot create the main window: the program must
    end by itself, at once and with code 0, not wait for a window's close."""
    program = os.path.join(windows_build, "app", "serio8.exe")
    started = time.monotonic()
    try:
        code = subprocess.call([os.environ["WINE"], program], timeout=60)
    except subprocess.TimeoutExpired:
        print("FAILED: without its window the program still runs after 60 s")
        return 1
    print("ended after %.1f s with exit code %d" % (time.monotonic() - started, code))
    return 0 if code == 0 else 1


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--inside":
        if sys.argv[3] == "no-display":
            return inside_without_display(sys.argv[2])
        return inside(sys.argv[2], sys.argv[3] == "com3")
    sandbox, windows_build = sys.argv[1], sys.argv[2]
    for name in ("app/serio8.exe", "tools/uiauto/uiauto.exe"):
        if not os.path.exists(os.path.join(windows_build, name)):
            sys.exit("missing %s in %s: build the windows-x64 preset first" % (name, windows_build))
    failed = 0
    no_display = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    for scenario, options, env in (("com3", ["--display", "--com", "3"], os.environ),
                                   ("no-port", ["--display"], os.environ),
                                   ("no-display", [], no_display)):
        print("--- %s" % scenario, flush=True)
        code = subprocess.call([sys.executable, sandbox] + options +
                               ["--", sys.executable, os.path.abspath(__file__), "--inside", windows_build, scenario],
                               env=env, timeout=280)
        if code != 0:
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
