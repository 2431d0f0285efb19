"""Reading strace output (strace -f -y, with or without -xx) for the crash tests."""

import re

LINE = re.compile(r"^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(-?\d+)(?:<(.*)>)?(?:\(deleted\))?(?:\s+\w+\s+\(.*\))?\s*$")
FD_PATH = re.compile(r"^-?\d+<(.*)>(?:\(deleted\))?$")
QUOTED = re.compile(r'^"((?:[^"\\]|\\.)*)"(\.\.\.)?$')
ESCAPES = {"n": 10, "t": 9, "r": 13, "v": 11, "f": 12, "\\": 92, '"': 34}


def unescape(text):
    """The bytes of a string as strace prints it (\\xNN, \\NNN octal, \\n ...)."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 >= len(text):
            out += c.encode("utf-8", "surrogateescape")
            i += 1
            continue
        e = text[i + 1]
        if e == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        elif e in ESCAPES:
            out.append(ESCAPES[e])
            i += 2
        elif e.isdigit():
            j = i + 1
            while j < len(text) and j < i + 4 and text[j] in "01234567":
                j += 1
            out.append(int(text[i + 1:j], 8))
            i = j
        else:
            out.append(ord(e))
            i += 2
    return bytes(out)


def fd_path(argument):
    """The path strace -y shows beside a descriptor, decoded; None without one."""
    m = FD_PATH.match(argument.strip())
    return unescape(m.group(1)).decode("utf-8", "surrogateescape") if m else None


def string(argument):
    """The bytes of a quoted string argument; None if it is not one or was cut short."""
    m = QUOTED.match(argument.strip())
    if not m or m.group(2):
        return None
    return unescape(m.group(1))


def split_arguments(text):
    """Top-level comma-separated arguments (strings and <paths> may hold commas)."""
    parts, depth, quoted, current = [], 0, False, []
    i = 0
    while i < len(text):
        c = text[i]
        if quoted:
            current.append(c)
            if c == "\\" and i + 1 < len(text):
                current.append(text[i + 1])
                i += 1
            elif c == '"':
                quoted = False
        elif c == '"':
            quoted = True
            current.append(c)
        elif c in "<[{":
            depth += 1
            current.append(c)
        elif c in ">]}":
            depth -= 1
            current.append(c)
        elif c == "," and depth == 0:
            parts.append("".join(current).strip())
            current = []
        else:
            current.append(c)
        i += 1
    if "".join(current).strip():
        parts.append("".join(current).strip())
    return parts


def events(trace_lines):
    """(index, call, arguments, result, result path) for each completed call."""
    found = []
    for index, line in enumerate(trace_lines):
        m = LINE.match(line.strip())
        if m:
            path = unescape(m.group(4)).decode("utf-8", "surrogateescape") if m.group(4) is not None else None
            found.append((index, m.group(1), split_arguments(m.group(2)), int(m.group(3)), path))
    return found
