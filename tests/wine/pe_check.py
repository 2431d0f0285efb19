#!/usr/bin/env python3
"""Checks what tarnwick.exe must be as a Windows program: PE32+, GUI subsystem (no
console window), imports from Windows' own DLLs only, and an embedded manifest
that asks for asInvoker (so Windows neither elevates it nor virtualises it)."""

import argparse
import re
import struct
import subprocess
import sys

ALLOWED_DLLS = {"ADVAPI32.DLL", "KERNEL32.DLL", "SHELL32.DLL", "MSVCRT.DLL"}
RT_MANIFEST = 24


def manifests(data):
    """The RT_MANIFEST resources of a PE file, read from its resource directory."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    if resource_rva == 0:
        return []
    table = optional + optional_size
    spans = []
    for i in range(sections):
        _, virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<8sIIII", data, table + 40 * i)
        spans.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def offset(rva):
        for address, size, pointer in spans:
            if address <= rva < address + size:
                return rva - address + pointer
        raise ValueError(f"RVA {rva:#x} outside every section")

    base = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            yield name, target

    found = []
    for type_id, type_target in entries(0):
        if type_id != RT_MANIFEST or not type_target & 0x80000000:
            continue
        for _, name_target in entries(type_target & 0x7FFFFFFF):
            for _, language_target in entries(name_target & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + (language_target & 0x7FFFFFFF))
                start = offset(rva)
                found.append(data[start:start + size])
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    options = parser.parse_args()
    problems = []

    headers = subprocess.run([options.objdump, "-p", options.exe], check=True, capture_output=True,
                             text=True).stdout
    if not re.search(r"^Magic\s+020b\s+\(PE32\+\)", headers, re.M):
        problems.append("not PE32+")
    if not re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", headers, re.M):
        problems.append("not the Windows GUI subsystem")
    dlls = re.findall(r"DLL Name: (\S+)", headers)
    if not dlls:
        problems.append("no imports found")
    strangers = sorted(d for d in dlls if d.upper() not in ALLOWED_DLLS)
    if strangers:
        problems.append(f"imports from DLLs that Windows does not ship: {strangers}")

    with open(options.exe, "rb") as exe:
        found = manifests(exe.read())
    if len(found) != 1:
        problems.append(f"{len(found)} manifest resources, expected 1")
    for manifest in found:
        text = manifest.decode("utf-8", "replace")
        if not re.search(r'<requestedExecutionLevel\s+level="asInvoker"', text):
            problems.append("the manifest does not request asInvoker")

    print(f"imports: {', '.join(dlls)}; manifests: {len(found)}")
    for problem in problems:
        print("FAILED", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
