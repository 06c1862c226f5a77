#!/usr/bin/env python3
"""A short demonstration of serio8 under Wine without a screen: run by
run.sh inside the sandbox, on the sandbox's virtual display.

    demo.py WINDOWS_BUILD SCREENSHOT [--port N] [--loopback] [--hold SECONDS]

Starts the program (and sets the port to ComN, if not Com3), sets the output boxes to 01, 80 and A5 with mouse clicks
(through uiauto) and reads the input boxes after each. With --loopback (a
virtual board whose inputs are wired to its outputs) the inputs must follow
the outputs; on a real board they show whatever its inputs see. Saves the
window as a PNG, leaves the program polling for --hold seconds (to gather
polls for the board's log), closes it and prints what it saw. Exit code 0 when all of
that worked.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time
import zlib

TITLE = "Seriell I/O Steuerung 8-Bit"
OUTPUT_BOX = [8 - bit for bit in range(8)]  # by bit, D0 first
SHOWN = (0x01, 0x80, 0xA5)


class Failed(Exception):
    pass


def ui(uiauto, *args, check=True):
    # Through a file: Wine's helper processes inherit the output and would
    # hold a pipe open.
    with tempfile.TemporaryFile(mode="w+") as out:
        code = subprocess.call([os.environ["WINE"], uiauto] + list(args), stdout=out, stderr=out, timeout=120)
        out.seek(0)
        text = out.read().strip()
    if check and code != 0:
        raise Failed("uiauto %s: %s" % (" ".join(args), text))
    return code, text


def boxes(uiauto):
    words = ui(uiauto, "boxes", TITLE)[1].split()
    return int(words[1], 16), int(words[3], 16)


def bmp_to_png(bmp_path, png_path):
    """A 24-bit bottom-up BMP, as uiauto writes it, to an RGB PNG."""
    with open(bmp_path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24 or height <= 0:
        raise Failed("unexpected picture: %d bits, height %d" % (bits, height))
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride:offset + y * stride + width * 3]
        rgb = bytearray(row)
        rgb[0::3], rgb[2::3] = row[2::3], row[0::3]  # BGR to RGB
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    os.makedirs(os.path.dirname(os.path.abspath(png_path)), exist_ok=True)
    with open(png_path, "wb") as f:
        f.write(png)


def draw_own_frame():
    """No window manager runs on the virtual display, so Wine draws the
    window's caption and border itself; set before Wine first starts."""
    with open(os.path.join(os.environ["WINEPREFIX"], "user.reg"), "a") as reg:
        reg.write('\n[Software\\\\Wine\\\\X11 Driver] %d\n"Decorated"="N"\n' % int(time.time()))


def demo(args):
    uiauto = os.path.join(args.windows_build, "tools", "uiauto", "uiauto.exe")
    program = os.path.join(args.windows_build, "app", "serio8.exe")
    draw_own_frame()
    process = subprocess.Popen([os.environ["WINE"], program])
    try:
        ui(uiauto, "wait", TITLE, "90")
        if args.port != 3:
            # The program always starts on Com3; the user picks another.
            ui(uiauto, "choose", TITLE, "Com%d" % args.port)
            ui(uiauto, "press", TITLE, "39")
            if ui(uiauto, "absent", "Fehlermeldung", "1", check=False)[0] != 0:
                raise Failed("Com%d cannot be opened" % args.port)
        print("serio8 is up on Com%d (%s)" % (args.port, "virtual board, loopback" if args.loopback else "real device"))
        for value in SHOWN:
            outputs, _ = boxes(uiauto)
            for bit in range(8):
                if (outputs ^ value) >> bit & 1:
                    ui(uiauto, "toggle", TITLE, str(OUTPUT_BOX[bit]))
            if args.loopback:
                code, text = ui(uiauto, "wait-inputs", TITLE, "%02X" % value, "5", check=False)
                if code != 0:
                    raise Failed("the input boxes did not follow: %s" % text)
            else:
                time.sleep(0.5)
            outputs, inputs = boxes(uiauto)
            print("output boxes %s -> input boxes %s" % (bits(outputs), bits(inputs)))
        bmp = args.screenshot + ".bmp"
        ui(uiauto, "screenshot", TITLE, bmp)
        bmp_to_png(bmp, args.screenshot)
        os.unlink(bmp)
        print("screenshot of the window: %s" % args.screenshot)
        if args.hold > 0:
            print("polling on for %g s" % args.hold, flush=True)
            time.sleep(args.hold)
        ui(uiauto, "close", TITLE)
        code = process.wait(timeout=30)
        print("window closed, serio8 ended with exit code %d" % code)
        return 0 if code == 0 else 1
    except (Failed, subprocess.TimeoutExpired) as failure:
        print("demo failed: %s" % failure)
        return 1
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def bits(byte):
    """A byte as the window's boxes show it, D7 at the left."""
    return "%02X [%s]" % (byte, "".join("x" if byte >> bit & 1 else "." for bit in range(7, -1, -1)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("windows_build")
    parser.add_argument("screenshot")
    parser.add_argument("--port", type=int, default=3)
    parser.add_argument("--loopback", action="store_true")
    parser.add_argument("--hold", type=float, default=0, metavar="SECONDS")
    return demo(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
