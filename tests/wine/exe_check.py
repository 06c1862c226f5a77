#!/usr/bin/env python3
"""Checks a built serio8.exe without running it: the machine and PE format,
the GUI subsystem, imports from Windows' own DLLs only, the icon resource 1
(one 24-bit image of 149 x 255 pixels) and no manifest resource, which would
switch the controls to the themed look.

    exe_check.py i386|amd64 PATH/serio8.exe
"""
import struct
import sys

MACHINES = {"i386": (0x014C, 0x10B, "PE32"), "amd64": (0x8664, 0x20B, "PE32+")}
SUBSYSTEM_GUI = 2
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
ICON_ID, ICON_WIDTH, ICON_HEIGHT, ICON_BITS = 1, 149, 255, 24
# DLLs that every Windows installation carries; the C runtime DLLs among them
# are the system's own (msvcrt, the universal CRT), never a compiler's.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll", "ucrtbase.dll",
               "ntdll.dll", "shell32.dll", "comctl32.dll"}


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            _, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
            self.sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError("RVA 0x%x in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, _ = self.directories[1]
        names = []
        at = self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, at)
            if not any(fields):
                return names
            names.append(self.cstring(fields[3]))
            at += 20

    def resources(self):
        """{type: {id: bytes}} for the resources named by number."""
        rva, _ = self.directories[2]
        if rva == 0:
            return {}
        base = self.offset(rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield name, target

        result = {}
        for type_id, type_dir in entries(0):
            for res_id, res_dir in entries(type_dir & 0x7FFFFFFF):
                for _, leaf in entries(res_dir & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    result.setdefault(type_id, {})[res_id] = self.data[start:start + size]
        return result


def check(kind, path):
    machine, magic, format_name = MACHINES[kind]
    with open(path, "rb") as f:
        pe = Pe(f.read())
    faults = []
    if pe.machine != machine or pe.magic != magic:
        faults.append("machine 0x%x, optional header 0x%x: not a %s %s exe" % (pe.machine, pe.magic, format_name, kind))
    if pe.subsystem != SUBSYSTEM_GUI:
        faults.append("subsystem %d, not the Windows GUI (2)" % pe.subsystem)
    imports = pe.imports()
    foreign = [name for name in imports if name.lower() not in SYSTEM_DLLS and
               not name.lower().startswith("api-ms-win-crt-")]
    if foreign:
        faults.append("imports DLLs that Windows does not carry: %s" % ", ".join(foreign))
    resources = pe.resources()
    if RT_MANIFEST in resources:
        faults.append("carries a manifest resource")
    group = resources.get(RT_GROUP_ICON, {}).get(ICON_ID)
    if group is None:
        faults.append("no icon resource %d" % ICON_ID)
    else:
        _, _, count = struct.unpack_from("<HHH", group, 0)
        if count != 1:
            faults.append("icon %d holds %d images, not one" % (ICON_ID, count))
        width, height, _, _, _, bits, _, image_id = struct.unpack_from("<BBBBHHIH", group, 6)
        if (width, height, bits) != (ICON_WIDTH, ICON_HEIGHT, ICON_BITS):
            faults.append("icon %d lists %d x %d at %d bits" % (ICON_ID, width, height, bits))
        image = resources.get(RT_ICON, {}).get(image_id)
        if image is None:
            faults.append("icon image %d missing" % image_id)
        else:
            _, dib_width, dib_height, _, dib_bits = struct.unpack_from("<IiiHH", image, 0)
            if (dib_width, dib_height // 2, dib_bits) != (ICON_WIDTH, ICON_HEIGHT, ICON_BITS):
                faults.append("icon image is %d x %d at %d bits" % (dib_width, dib_height // 2, dib_bits))
    found = [k for k, (m, o, _) in MACHINES.items() if (m, o) == (pe.machine, pe.magic)]
    print("%s: %s, subsystem %d, imports %s, resource types %s" %
          (path, found[0] if found else "machine 0x%x" % pe.machine, pe.subsystem, ", ".join(imports),
           sorted(resources)))
    return faults


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in MACHINES:
        sys.exit(__doc__)
    faults = check(sys.argv[1], sys.argv[2])
    for fault in faults:
        print("FAULT: " + fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
