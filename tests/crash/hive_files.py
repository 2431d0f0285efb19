"""Small facts about regf files for the crash tests."""

import struct


def checksum(base):
    """The base block checksum: the first 127 dwords XORed, 0 and -1 avoided."""
    value = 0
    for (word,) in struct.iter_unpack("<I", bytes(base[:508])):
        value ^= word
    return {0: 1, 0xFFFFFFFF: 0xFFFFFFFE}.get(value, value)


def is_clean(path):
    """Both sequence numbers equal and the base block's checksum right."""
    with open(path, "rb") as f:
        base = f.read(512)
    return len(base) == 512 and base[:4] == b"regf" and base[4:8] == base[8:12] and \
        struct.unpack_from("<I", base, 508)[0] == checksum(base)


def write_new_format_log(hive, log):
    """A new-format log beside a clean hive as Windows 8.1 and later leave one
    once the hive is written: the base block copy (file type 6) numbered one
    below the hive, and no entry."""
    with open(hive, "rb") as f:
        copy = bytearray(f.read(512))
    sequence = struct.unpack_from("<I", copy, 4)[0] - 1
    struct.pack_into("<II", copy, 4, sequence, sequence)
    struct.pack_into("<I", copy, 28, 6)
    struct.pack_into("<I", copy, 508, checksum(copy))
    with open(log, "wb") as f:
        f.write(bytes(copy) + b"\0" * 7680)
