#!/usr/bin/python3
"""Writes the seed inputs of fuzz_comopen into fuzz/corpus/ (layout: see fuzz_comopen.cpp)."""
import os
import struct

SEEDS = {
    # name: (handshake, rx queue, tx queue, faults, choices, length, mode string)
    "system": (0, 0, 0, 0x00, 0x00, 0, b"Com3:9600,n,8,1"),
    "no-colon": (0, 0, 0, 0x00, 0x01, 4, b"Com3"),
    "second-colon": (1, 512, 512, 0x00, 0x03, 16, b"Com1:9600,n,8,1:x"),
    "seven-chars": (2, 1024, 1024, 0x00, 0x05, -1, b"ABCDEFG:19200,e,7,2"),
    "too-long": (0, 0, 0, 0x00, 0x00, 0, b"ABCDEFGH:9600,n,8,1"),
    "xonxoff": (3, 995, 512, 0x00, 0x07, 8, b"Com255:9600,n,8,1,x"),
    "xonxoff-min": (3, -2**31, 1, 0x00, 0x81, -32768, b"Com3:110,o,5,1.5"),
    "busy": (0, 0, 0, 0x01, 0x00, 0, b"Com3:9600,n,8,1"),
    "settings-refused": (4, -1, 512, 0x10, 0xff, 3, b"Com3:9600,n,8,1"),
    "every-fault": (-1, 7, 7, 0xfe, 0x42, 32767, b"Com1:9600,n,8,1"),
    "empty": (0, 0, 0, 0x00, 0x00, 0, b""),
    "absent": (0, 0, 0, 0x00, 0x00, 0, b"Com9:9600,n,8,1"),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, (handshake, rx, tx, faults, choices, length, mode) in SEEDS.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(struct.pack("<iiiBBh", handshake, rx, tx, faults, choices, length) + mode)
