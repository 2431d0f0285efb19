#!/usr/bin/env python3
"""The order of the durable steps of a real write-back, seen in its system calls.

A SIGKILL cannot show a missing fsync (the page cache outlives the process),
so the crash test passes whether or not the write-back syncs. This test runs
the Linux tarnwick under strace on a sample volume (one user's hive dirty, so
that one write-back is of a replayed hive; one user's hive clean with a
new-format log, so that one is written in place) and checks:

for every hive rewritten atomically, that
  1. every write to the temporary file (data, owner, mode, attributes) comes
     before its fsync;
  2. the temporary file is fsynced before it is renamed over the hive;
  3. the folder is fsynced after the rename, before the next write-back
     begins;
for every hive written in place, that
  4. one of its logs is written and fsynced before the hive is written;
  5. the hive's writes are: its base block (marking it dirty), fsync, the
     changed pages, fsync, its base block again, fsync, and nothing after;
and that no other log file is ever opened for writing.

--self-test feeds the checker traces with an fsync deleted or moved, a write
after an fsync, and a log written out of turn, and fails unless each is
caught. CTest runs both.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hive_files  # noqa: E402
import trace  # noqa: E402

SKIP = 77
TEMP_MARK = ".tarnwick-"
SYSCALLS = ("openat,open,creat,write,pwrite64,copy_file_range,writev,pwritev,pwritev2,ftruncate,fallocate,fchmod,fchown,"
            "fsetxattr,fsync,fdatasync,sync_file_range,rename,renameat,renameat2")
WRITES = {"write", "pwrite64", "copy_file_range", "writev", "pwritev", "pwritev2", "ftruncate", "fallocate", "fchmod",
          "fchown", "fsetxattr", "sync_file_range"}


def written(call, args):
    """The path of the file a write changes: copy_file_range names its source first."""
    at = 2 if call == "copy_file_range" else 0
    return trace.fd_path(args[at]) if len(args) > at else None
HIVE_NAMES = ("ntuser.dat", "usrclass.dat")
LOG = re.compile(r"\.LOG[12]?$", re.I)


def is_log(path):
    return bool(path) and LOG.search(path) is not None and os.path.basename(path) != "tarnwick.log"


def hive_of_log(path):
    return LOG.sub("", path).lower()


def check_atomic(calls, wb, next_start):
    """Problems with the write-back through the temporary file `wb`."""
    temp, folder = wb["temp"], os.path.dirname(wb["temp"])
    name = os.path.basename(temp)
    rename = None
    for index, call, args, result, _ in calls:
        if index <= wb["created"] or index >= next_start:
            continue
        if call in ("renameat", "renameat2") and len(args) >= 4 and trace.fd_path(args[0]) == folder:
            old = trace.string(args[1])
            if old is not None and old.decode("utf-8", "surrogateescape") == name and result == 0:
                rename = index
        elif call == "rename" and args and trace.string(args[0]) == temp.encode():
            rename = index if result == 0 else rename
    if rename is None:
        return ["%s: never renamed over the hive" % temp]
    syncs = [i for i, call, args, r, _ in calls
             if wb["created"] < i < rename and call in ("fsync", "fdatasync") and args and
             trace.fd_path(args[0]) == temp and r == 0]
    if not syncs:
        return ["%s: renamed without an fsync before the rename" % temp]
    problems = []
    late = [(i, call) for i, call, args, r, _ in calls
            if syncs[-1] < i < next_start and call in WRITES and args and written(call, args) == temp]
    if late:
        problems.append("%s: %s after its fsync (line %d)" % (temp, late[0][1], late[0][0] + 1))
    folder_syncs = [i for i, call, args, r, _ in calls
                    if rename < i < next_start and call == "fsync" and args and trace.fd_path(args[0]) == folder
                    and r == 0]
    if not folder_syncs:
        problems.append("%s: the folder %s was not fsynced after the rename" % (temp, folder))
    return problems


def check_in_place(calls, hive):
    """Problems with the write of `hive` in place through its log."""
    steps = []  # "L" log write, "l" log fsync, "0" base block write, "P" page write, "S" hive fsync
    logs = set()
    for _, call, args, result, _ in calls:
        path = (written(call, args) if call in WRITES else trace.fd_path(args[0])) if args else None
        if path is None or result < 0:
            continue
        if is_log(path) and hive_of_log(path) == hive.lower() and call in WRITES | {"fsync", "fdatasync"}:
            logs.add(path)
            steps.append("l" if call in ("fsync", "fdatasync") else "L")
        elif path == hive and call in ("fsync", "fdatasync"):
            steps.append("S")
        elif path == hive and call == "pwrite64":
            steps.append("0" if int(args[3]) == 0 and int(args[2]) == 4096 else "P")
        elif path == hive and call in WRITES:
            steps.append("?")
    order = "".join(steps)
    problems = []
    if len(logs) != 1:
        problems.append("%s: written in place through %d logs" % (hive, len(logs)))
    if not re.fullmatch(r"L+l0SP+S0S", order):
        problems.append("%s: written in place in the order %s, not L+l0SP+S0S (L/l: log write/fsync, 0: base "
                        "block, P: pages, S: hive fsync)" % (hive, order))
    return problems


def check(trace_lines):
    """The problems with the order of the durable steps; empty when sound."""
    problems = []
    calls = trace.events(trace_lines)
    # The atomic write-backs: a temporary file created by name in a folder.
    writebacks = []
    written_in_place = set()
    for index, call, args, result, path in calls:
        if call in ("openat", "open", "creat") and result >= 0 and path and TEMP_MARK in os.path.basename(path):
            if "O_CREAT" in " ".join(args) and path not in (wb["temp"] for wb in writebacks):
                writebacks.append({"temp": path, "created": index})
        target = written(call, args) if args and call in WRITES else None
        if target and os.path.basename(target).lower() in HIVE_NAMES:
            written_in_place.add(target)
    for hive in sorted(written_in_place):
        problems += check_in_place(calls, hive)
    # A log may be opened for writing only where its hive is written in place.
    in_place = {h.lower() for h in written_in_place}
    for index, call, args, result, path in calls:
        if call in ("openat", "open") and result >= 0 and is_log(path):
            flags = args[2] if call == "openat" and len(args) > 2 else (args[1] if len(args) > 1 else "")
            if ("O_WRONLY" in flags or "O_RDWR" in flags or "O_TRUNC" in flags) and hive_of_log(path) not in in_place:
                problems.append("a log file was opened for writing, its hive not written in place: %s" % path)
    if not writebacks and not written_in_place:
        return problems + ["no write-back found in the trace"]
    for n, wb in enumerate(writebacks):
        next_start = writebacks[n + 1]["created"] if n + 1 < len(writebacks) else len(trace_lines)
        problems += check_atomic(calls, wb, next_start)
    return problems


def self_test():
    """The checker catches each fault it exists to catch."""
    d = "/v/Users/bob"
    t = d + "/NTUSER.DAT.tarnwick-1-1-1.tmp"
    created = '1 openat(3<%s>, "NTUSER.DAT.tarnwick-1-1-1.tmp", O_RDWR|O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, 0600) = 5<%s>' % (d, t)
    write = '1 pwrite64(5<%s>, "regf"..., 4096, 0) = 4096' % t
    sync = "1 fsync(5<%s>) = 0" % t
    rename = '1 renameat(3<%s>, "NTUSER.DAT.tarnwick-1-1-1.tmp", 3<%s>, "NTUSER.DAT") = 0' % (d, d)
    folder = "1 fsync(3<%s>) = 0" % d
    log = '1 openat(3<%s>, "ntuser.dat.LOG1", O_RDWR|O_CLOEXEC) = 6<%s/ntuser.dat.LOG1>' % (d, d)
    sound = [created, write, sync, rename, folder]
    a = "/v/Users/alice"
    h = a + "/ntuser.dat"
    log_open = '1 openat(3<%s>, "ntuser.dat.LOG1", O_RDWR|O_NOFOLLOW|O_CLOEXEC) = 6<%s.LOG1>' % (a, h)
    log_write = '1 pwrite64(6<%s.LOG1>, "regf"..., 8704, 0) = 8704' % h
    log_sync = "1 fsync(6<%s.LOG1>) = 0" % h
    mark = '1 pwrite64(7<%s>, "regf"..., 4096, 0) = 4096' % h
    page = '1 pwrite64(7<%s>, "hbin"..., 8192, 4096) = 8192' % h
    hive_sync = "1 fsync(7<%s>) = 0" % h
    base = mark
    in_place = [log_open, log_write, log_sync, mark, hive_sync, page, hive_sync, base, hive_sync]
    faults = {
        "sound": (sound, False),
        "sound, in place": (in_place + sound, False),
        "temporary file's fsync deleted": ([created, write, rename, folder], True),
        "temporary file's fsync moved after the rename": ([created, write, rename, sync, folder], True),
        "folder's fsync deleted": ([created, write, sync, rename], True),
        "folder's fsync moved before the rename": ([created, write, sync, folder, rename], True),
        "a write after the fsync": ([created, sync, write, rename, folder], True),
        "a log opened for writing": ([log] + sound, True),
        "the log's fsync deleted": ([log_open, log_write, mark, hive_sync, page, hive_sync, base, hive_sync], True),
        "the log's fsync after the hive's first write": (
            [log_open, log_write, mark, log_sync, hive_sync, page, hive_sync, base, hive_sync], True),
        "pages before the mark is durable": (
            [log_open, log_write, log_sync, mark, page, hive_sync, base, hive_sync], True),
        "the base block before the pages are durable": (
            [log_open, log_write, log_sync, mark, hive_sync, page, base, hive_sync], True),
        "no fsync after the base block": (
            [log_open, log_write, log_sync, mark, hive_sync, page, hive_sync, base], True),
        "the log written after the hive": (in_place + [log_write], True),
    }
    failed = []
    for what, (lines, bad) in faults.items():
        problems = check(lines)
        if bool(problems) != bad:
            failed.append("%s: checker said %s" % (what, problems or "nothing"))
    return failed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool")
    parser.add_argument("--sample")
    parser.add_argument("--windows-hives")
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("--trace", help="check this strace output instead of running the tool")
    options = parser.parse_args()

    failed = self_test()
    if failed:
        print("FAILED: the checker misses faults:\n  " + "\n  ".join(failed))
        return 1
    print("checker catches a deleted or moved fsync, a write after the fsync and a log written out of turn")
    if options.self_test:
        return 0
    if options.trace:
        with open(options.trace, errors="replace") as f:
            problems = check(f.read().splitlines())
        print("\n".join(problems) or "sound")
        return 1 if problems else 0

    strace = shutil.which("strace")
    if strace is None:
        print("*** WRITE ORDER TEST NOT RUN: strace is missing (apt-get install strace) ***")
        return SKIP
    base = tempfile.mkdtemp(prefix="tarnwick-write-order-")
    try:
        probe = subprocess.run([strace, "-qq", "-o", os.devnull, "true"], stderr=subprocess.PIPE)
        if probe.returncode != 0:
            print("*** WRITE ORDER TEST NOT RUN: strace cannot trace here: %s ***" % probe.stderr.decode().strip())
            return SKIP
        drive = os.path.join(base, "drive")
        subprocess.run([options.sample, drive], check=True, stdout=subprocess.DEVNULL)
        replayed = False
        source = os.path.join(options.windows_hives or "", "NewDirtyHive1")
        if options.windows_hives and os.path.isdir(source):
            bob = os.path.join(drive, "Users", "bob")
            shutil.copyfile(os.path.join(source, "NewDirtyHive"), os.path.join(bob, "NTUSER.DAT"))
            for log in ("LOG1", "LOG2"):
                shutil.copyfile(os.path.join(source, "NewDirtyHive." + log), os.path.join(bob, "ntuser.dat." + log))
            replayed = True
        elif options.windows_hives:
            # Without Windows' hives beside the repository no replayed hive is
            # written back; CI must have them.
            print("no folder %s: no write-back of a replayed hive is traced" % source)
            if os.environ.get("CI"):
                print("FAILED: CI is set and the Windows-written hives are missing")
                return 1
        alice = os.path.join(drive, "Users", "alice")
        hive_files.write_new_format_log(os.path.join(alice, "ntuser.dat"), os.path.join(alice, "ntuser.dat.LOG1"))
        trace_path = os.path.join(base, "trace.txt")
        logdir = os.path.join(base, "log")
        os.mkdir(logdir)
        env = dict(os.environ, TARNWICK_SYSTEM_DRIVE=drive, TMPDIR=logdir)
        r = subprocess.run([strace, "-f", "-qq", "-y", "-s", "256", "-e", "trace=" + SYSCALLS, "-o", trace_path,
                            options.tool, "/set", "/k", "Software\\Write Order", "/vn", "V", "/vstr", "x", "/dp"],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if r.returncode != 0:
            print("FAILED: the traced run exited %d: %s" % (r.returncode, r.stderr.decode(errors="replace")))
            return 1
        with open(trace_path, errors="replace") as f:
            lines = f.read().splitlines()
        problems = check(lines)
        with open(os.path.join(logdir, "tarnwick.log"), encoding="latin-1") as f:
            unloads = f.read().count(": unloading")
        calls = trace.events(lines)
        atomic = len({path for _, call, _, result, path in calls
                      if call == "openat" and result >= 0 and path and TEMP_MARK in os.path.basename(path)})
        in_place = len({trace.fd_path(args[0]) for _, call, args, _, _ in calls
                        if call == "pwrite64" and os.path.basename(trace.fd_path(args[0]) or "").lower() == "ntuser.dat"})
        if atomic + in_place < unloads:
            problems.append("%d hives were unloaded but %d write-backs were traced" % (unloads, atomic + in_place))
        if in_place != 1:
            problems.append("%d hives were written in place, not alice's alone" % in_place)
        print("%d write-backs traced: %d atomic (%s one of a replayed hive), %d in place; %d system calls" % (
            unloads, atomic, "with" if replayed else "without", in_place, len(lines)))
        if problems:
            print("FAILED:\n  " + "\n  ".join(problems[:20]))
            print("trace kept in %s" % trace_path)
            base = None
            return 1
        print("passed")
        return 0
    finally:
        if base:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
