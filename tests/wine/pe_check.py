#!/usr/bin/env python3
"""Checks what tarnwick.exe must be as a Windows program: PE32+, GUI subsystem (no
console window), imports from Windows' own DLLs only, an embedded manifest that
asks for asInvoker (so Windows neither elevates it nor virtualises it), and a
version resource that carries the project's version (deployment systems detect
installed tools by it)."""

import argparse
import re
import struct
import subprocess
import sys

ALLOWED_DLLS = {"ADVAPI32.DLL", "KERNEL32.DLL", "SHELL32.DLL", "MSVCRT.DLL"}
RT_VERSION = 16
RT_MANIFEST = 24
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


def resources(data, wanted_type):
    """The resources of one type in a PE file, read from its resource directory."""
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
        if type_id != wanted_type or not type_target & 0x80000000:
            continue
        for _, name_target in entries(type_target & 0x7FFFFFFF):
            for _, language_target in entries(name_target & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + (language_target & 0x7FFFFFFF))
                start = offset(rva)
                found.append(data[start:start + size])
    return found


def align4(offset):
    return (offset + 3) & ~3


def version_block(data, pos=0):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, children). Every node is
    wLength, wValueLength, wType, a NUL-terminated UTF-16 key, then its value and its
    children, each on a 32-bit boundary; a text value's length counts WCHARs."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    key_end = pos + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos + 6:key_end].decode("utf-16-le")
    value_pos = align4(key_end + 2)
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_pos:value_pos + value_size]
    children = []
    child = align4(value_pos + value_size)
    while child < end:
        node = version_block(data, child)
        children.append(node)
        child = align4(child + struct.unpack_from("<H", data, child)[0])
    return key, value, children


def version_info(resource):
    """The fixed file and product versions and the strings of a version resource."""
    key, fixed, children = version_block(resource)
    if key != "VS_VERSION_INFO":
        raise ValueError(f"version resource starts with {key!r}")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != VS_FIXEDFILEINFO_SIGNATURE:
        raise ValueError(f"VS_FIXEDFILEINFO signature {signature:#x}")
    split = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    strings = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, entries in tables:
                for name, value, _ in entries:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    return split(file_ms, file_ls), split(product_ms, product_ls), strings


def check_version(data, version, problems):
    found = resources(data, RT_VERSION)
    if len(found) != 1:
        problems.append(f"{len(found)} version resources, expected 1")
        return
    file_version, product_version, strings = version_info(found[0])
    numeric = version + ".0"
    if file_version != numeric or product_version != numeric:
        problems.append(f"fixed versions {file_version} / {product_version}, expected {numeric}")
    wanted = {"FileVersion": version, "ProductVersion": version, "ProductName": "tarnwick",
              "OriginalFilename": "tarnwick.exe"}
    for name, value in wanted.items():
        if strings.get(name) != value:
            problems.append(f"version string {name} is {strings.get(name)!r}, expected {value!r}")
    if not strings.get("FileDescription"):
        problems.append("no FileDescription")
    if "CompanyName" in strings:
        problems.append(f"a CompanyName ({strings['CompanyName']!r}): the project has none")
    print(f"version resource: {file_version}; " + ", ".join(f"{k}={v!r}" for k, v in sorted(strings.items())))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--version", required=True, help="the project's version, e.g. 1.0.0")
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
        data = exe.read()
    found = resources(data, RT_MANIFEST)
    if len(found) != 1:
        problems.append(f"{len(found)} manifest resources, expected 1")
    for manifest in found:
        text = manifest.decode("utf-8", "replace")
        if not re.search(r'<requestedExecutionLevel\s+level="asInvoker"', text):
            problems.append("the manifest does not request asInvoker")

    check_version(data, options.version, problems)

    print(f"imports: {', '.join(dlls)}; manifests: {len(found)}")
    for problem in problems:
        print("FAILED", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
