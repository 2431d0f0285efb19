#!/usr/bin/env python3
"""Every state a power loss could leave during real runs of the Linux tarnwick.

A SIGKILL keeps the page cache, a power loss does not. In the manner of
ALICE and CrashMonkey, this test records every file operation of real runs
(strace, with the data of every write) over a volume whose hives Windows
wrote, some clean with new-format logs (written in place through a log
entry), some dirty or with old-format logs or none (rewritten atomically),
and then computes every state the volume could be in after a power loss at
any moment:
  - after every prefix of the operations;
  - for every file, any subset of its writes since its last fsync, applied
    in order over what that fsync made durable;
  - for every folder, any subset of its renames, creations and removals
    since the folder's last fsync (a name is durable only after that).
Each state of each hive, given with its logs to our replay (replay_hive),
must give hive bins byte-identical with the hive before the run (replayed,
when it was dirty) or with the hive after it. Two runs are recorded: a small
set, then a large one on the result, which grows the hives by new bins.

The checker is shown to catch faults: the same traces with the log's fsync
dropped, with the fsync between the pages and the final base block dropped,
with the mark that makes the hive dirty dropped, and with the temporary
file's fsync dropped, must each give a state that is neither old nor new.

Exit 77 (skipped) where strace cannot trace or ../shared/hives is absent
(a failure instead when CI is set).
"""

import argparse
import collections
import hashlib
import itertools
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hive_files  # noqa: E402
import trace  # noqa: E402

SKIP = 77
SYSCALLS = ("openat,open,creat,write,pwrite64,copy_file_range,lseek,writev,pwritev,pwritev2,ftruncate,fallocate,"
            "fsync,fdatasync,"
            "sync_file_range,rename,renameat,renameat2,unlink,unlinkat,link,linkat")
UNTRACEABLE = {"writev", "pwritev", "pwritev2", "fallocate", "sync_file_range", "link", "linkat"}
# Bounds the states of one hive after one prefix; beyond it they are sampled.
MOST_STATES = 2048
LOG_SUFFIXES = (".LOG1", ".LOG2", ".LOG")


class Op:
    def __init__(self, kind, path, offset=0, data=b"", size=0, target=None, source=None, source_offset=0):
        self.kind, self.path, self.offset, self.data, self.size, self.target = kind, path, offset, data, size, target
        # A copy: size bytes of the file at source, from source_offset.
        self.source, self.source_offset = source, source_offset

    def __repr__(self):
        extra = {"write": " %d bytes at %d" % (len(self.data), self.offset), "truncate": " to %d" % self.size,
                 "copy": " %d bytes at %d from %s" % (self.size, self.offset, self.source),
                 "rename": " -> %s" % self.target}.get(self.kind, "")
        return "%s %s%s" % (self.kind, self.path, extra)


def recorded_ops(lines, volume):
    """The operations on files and folders of the volume, in order, and any
    that this model cannot follow."""
    ops, problems = [], []
    inside = lambda p: p is not None and (p == volume or p.startswith(volume + "/"))
    positions = {}  # descriptor -> file position, for write()
    for _, call, args, result, path in trace.events(lines):
        if result < 0:
            continue
        first = trace.fd_path(args[0]) if args else None
        if call in ("openat", "open", "creat"):
            flags = args[2] if call == "openat" else (args[1] if len(args) > 1 else "")
            positions[result] = 0
            if not inside(path):
                continue
            if "O_CREAT" in flags and "O_EXCL" in flags:
                ops.append(Op("create", path))
            elif "O_TRUNC" in flags:
                ops.append(Op("truncate", path, size=0))
        elif call == "lseek":
            positions[int(args[0].split("<")[0])] = result
        elif call in ("pwrite64", "write") and inside(first):
            data = trace.string(args[1])
            if data is None:
                problems.append("a write's data was cut short: raise strace -s")
                continue
            fd = int(args[0].split("<")[0])
            offset = int(args[3]) if call == "pwrite64" else positions.get(fd, 0)
            if call == "write":
                positions[fd] = offset + result
            ops.append(Op("write", first, offset=offset, data=data[:result]))
        elif call == "copy_file_range" and len(args) >= 5 and inside(trace.fd_path(args[2])):
            # The kernel copies between the files: what lands in the target
            # is what the source held at that moment.
            offsets = [a.strip() for a in (args[1], args[3])]
            if not all(o.startswith("[") and o.endswith("]") for o in offsets):
                problems.append("a copy_file_range without its offsets: %s" % args[:4])
                continue
            ops.append(Op("copy", trace.fd_path(args[2]), offset=int(offsets[1][1:-1]), size=result,
                          source=first, source_offset=int(offsets[0][1:-1])))
        elif call == "ftruncate" and inside(first):
            ops.append(Op("truncate", first, size=int(args[1])))
        elif call in ("fsync", "fdatasync") and inside(first):
            ops.append(Op("dirsync" if os.path.isdir(first) else "fsync", first))
        elif call in ("renameat", "renameat2") and inside(trace.fd_path(args[0])):
            old = os.path.join(trace.fd_path(args[0]), trace.string(args[1]).decode("utf-8", "surrogateescape"))
            new = os.path.join(trace.fd_path(args[2]), trace.string(args[3]).decode("utf-8", "surrogateescape"))
            ops.append(Op("rename", old, target=new))
        elif call == "unlinkat" and inside(trace.fd_path(args[0])):
            ops.append(Op("unlink", os.path.join(trace.fd_path(args[0]),
                                                 trace.string(args[1]).decode("utf-8", "surrogateescape"))))
        elif call in ("rename", "unlink") or (call in UNTRACEABLE and inside(first)):
            problems.append("an operation this model does not follow: %s %s" % (call, args[:1]))
    return ops, problems


def apply_writes(content, writes):
    data = bytearray(content)
    for op in writes:
        if op.kind == "truncate":
            del data[op.size:]
            data.extend(b"\0" * (op.size - len(data)))
        else:
            if len(data) < op.offset:
                data.extend(b"\0" * (op.offset - len(data)))
            data[op.offset:op.offset + len(op.data)] = op.data
    return bytes(data)


class Model:
    """Files as inodes with durable content and pending writes; folders with
    durable names and pending name changes."""

    def __init__(self, files):
        self.names = {}
        self.synced, self.pending = {}, {}
        for path, content in files.items():
            self.names[path] = len(self.synced)
            self.synced[self.names[path]] = content
            self.pending[self.names[path]] = []
        self.durable_names = dict(self.names)
        self.pending_names = collections.defaultdict(list)

    def apply(self, op):
        folder = os.path.dirname(op.path)
        if op.kind == "copy":
            source = self.names[op.source]
            now = apply_writes(self.synced[source], self.pending[source])
            op = Op("write", op.path, offset=op.offset, data=now[op.source_offset:op.source_offset + op.size])
        if op.kind in ("write", "truncate"):
            self.pending[self.names[op.path]].append(op)
        elif op.kind == "fsync":
            inode = self.names[op.path]
            self.synced[inode] = apply_writes(self.synced[inode], self.pending[inode])
            self.pending[inode] = []
        elif op.kind == "create":
            inode = len(self.synced)
            self.synced[inode], self.pending[inode] = b"", []
            self.names[op.path] = inode
            self.pending_names[folder].append(("set", op.path, inode))
        elif op.kind == "rename":
            inode = self.names.pop(op.path)
            self.names[op.target] = inode
            self.pending_names[folder].append(("move", (op.path, op.target), inode))
        elif op.kind == "unlink":
            self.names.pop(op.path)
            self.pending_names[folder].append(("drop", op.path, None))
        elif op.kind == "dirsync":
            for change in self.pending_names.pop(op.path, []):
                self.name_change(self.durable_names, change)

    @staticmethod
    def name_change(names, change):
        kind, path, inode = change
        if kind == "set":
            names[path] = inode
        elif kind == "move":
            names.pop(path[0], None)
            names[path[1]] = inode
        else:
            names.pop(path, None)

    def states(self, paths, rng):
        """Every persisted state of the files at `paths` (content or None),
        sampled beyond MOST_STATES."""
        folders = sorted({os.path.dirname(p) for p in paths})
        changes = [c for f in folders for c in self.pending_names.get(f, [])]
        combos = []
        for chosen in subsets(len(changes), rng):
            names = dict(self.durable_names)
            for i in chosen:
                self.name_change(names, changes[i])
            inodes = sorted({names[p] for p in paths if p in names})
            pending = [self.pending[i] for i in inodes]
            for picks in product_of_subsets([len(p) for p in pending], rng):
                contents = {}
                for inode, writes, pick in zip(inodes, pending, picks):
                    contents[inode] = apply_writes(self.synced[inode], [writes[k] for k in pick])
                combos.append({p: contents[names[p]] if p in names else None for p in paths})
                if len(combos) >= MOST_STATES:
                    return combos
        return combos


def subsets(n, rng):
    if n <= 10:
        return [tuple(i for i in range(n) if mask >> i & 1) for mask in range(1 << n)]
    return [tuple(i for i in range(n) if rng.random() < 0.5) for _ in range(1024)] + [(), tuple(range(n))]


def product_of_subsets(sizes, rng):
    total = 1
    for n in sizes:
        total *= 1 << min(n, 30)
    if total <= MOST_STATES:
        return itertools.product(*[subsets(n, rng) for n in sizes])
    picks = [tuple(tuple(i for i in range(n) if rng.random() < 0.5) for n in sizes) for _ in range(MOST_STATES)]
    return [tuple(tuple(range(n)) for n in sizes), tuple(() for _ in sizes)] + picks


def log_paths(hive, names):
    """The logs of a hive among the names of its folder, found without regard to case."""
    folder, base = os.path.dirname(hive), os.path.basename(hive).lower()
    return sorted(os.path.join(folder, n) for n in names
                  if os.path.dirname(os.path.join(folder, n)) == folder and
                  any(n.lower() == base + s.lower() for s in LOG_SUFFIXES))


class Replayer:
    """Our replay of a hive with its logs, cached by content."""

    def __init__(self, tool, scratch):
        self.tool, self.scratch, self.cache, self.calls = tool, scratch, {}, 0

    def bins(self, files):
        """(bins or None, how) for a state: files maps names to content."""
        key = hashlib.sha1(repr(sorted((n, hashlib.sha1(c).hexdigest() if c is not None else None)
                                       for n, c in files.items())).encode()).hexdigest()
        if key in self.cache:
            return self.cache[key]
        folder = os.path.join(self.scratch, "state")
        shutil.rmtree(folder, ignore_errors=True)
        os.mkdir(folder)
        primary = None
        for name, content in files.items():
            if content is not None:
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(content)
            if not any(name.lower().endswith(s.lower()) for s in LOG_SUFFIXES):
                primary = name
        out = os.path.join(self.scratch, "replayed")
        self.calls += 1
        if files[primary] is None:
            result = (None, "no hive file")
        else:
            r = subprocess.run([self.tool, os.path.join(folder, primary), out], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
            said = r.stdout.decode(errors="replace").strip()
            if r.returncode != 0:
                result = (None, said)
            else:
                with open(out, "rb") as f:
                    hive = f.read()
                size = struct.unpack_from("<I", hive, 40)[0]
                result = (hive[4096:4096 + size], "clean" if said == "clean" else "replayed")
        self.cache[key] = result
        return result


def check_hive(hive, paths, ops, before, references, replayer, rng, kind, counts):
    """The first state of the hive that is neither old nor new, or None."""
    folder = os.path.dirname(hive)
    old, new = references
    model = Model({p: before[p] for p in before if os.path.dirname(p) == folder})
    relevant = [i for i, op in enumerate(ops) if os.path.dirname(op.path) == folder or op.path == folder]
    seen = set()
    for k in [-1] + relevant:
        if k >= 0:
            model.apply(ops[k])
        for state in model.states(paths, rng):
            key = tuple(hashlib.sha1(state[p]).digest() if state[p] is not None else None for p in paths)
            if key in seen:
                continue
            seen.add(key)
            bins, how = replayer.bins({os.path.basename(p): state[p] for p in paths})
            if bins == old:
                counts[kind + ": old"] += 1
            elif bins == new:
                counts[kind + ": new" + (" (replayed from its log)" if how == "replayed" else "")] += 1
            else:
                return "%s (%s): after %s the state %s is neither old nor new (%s)" % (
                    hive, kind, ops[k] if k >= 0 else "nothing",
                    {os.path.basename(p): len(state[p]) if state[p] is not None else None for p in paths},
                    how if bins is None else "other bins")
    return None


def check_run(ops, before, after, replayer, rng):
    """Classifies every crash state of every hive of the run; returns
    (problems, counts)."""
    problems, counts = [], collections.Counter()
    hives = [p for p in before if os.path.basename(p).lower() in ("ntuser.dat", "usrclass.dat")]
    for hive in sorted(hives):
        paths = [hive] + log_paths(hive, [os.path.basename(p) for p in before])
        rel = lambda files: {os.path.basename(p): files.get(p) for p in paths}
        old, old_how = replayer.bins(rel(before))
        new, _ = replayer.bins(rel(after))
        if old is None or new is None:
            problems.append("%s: the hive before or after the run does not replay" % hive)
            continue
        if old == new:
            continue
        kind = "in place" if any(op.kind == "write" and op.path == hive for op in ops) else "rewritten"
        if len(new) > len(old):
            counts[kind + ", the hive grown"] += 1
        problem = check_hive(hive, paths, ops, before, (old, new), replayer, rng, kind, counts)
        if problem:
            problems.append(problem)
    return problems, counts


def snapshot(volume):
    files = {}
    for folder, _, names in os.walk(volume):
        for n in names:
            p = os.path.join(folder, n)
            with open(p, "rb") as f:
                files[p] = f.read()
    return files


def mutations(ops):
    """Faulty variants of a run's operations, each of which a sound checker
    must catch, with the hives each spoils."""
    is_log = lambda p: any(p.lower().endswith(s.lower()) for s in LOG_SUFFIXES)
    in_place = sorted({op.path for op in ops if op.kind == "write" and not is_log(op.path) and
                       ".tarnwick-" not in op.path})
    found = {}
    found["the log's fsync dropped"] = [op for op in ops if not (op.kind == "fsync" and is_log(op.path))]
    # The in-place hives' fsyncs are: after the mark, after the pages, after the base block.
    second, drop_mark = set(), set()
    for hive in in_place:
        syncs = [i for i, op in enumerate(ops) if op.kind == "fsync" and op.path == hive]
        writes = [i for i, op in enumerate(ops) if op.kind == "write" and op.path == hive]
        if len(syncs) >= 2:
            second.add(syncs[1])
        if writes:
            drop_mark.add(writes[0])
    found["the fsync between the pages and the final base block dropped"] = [
        op for i, op in enumerate(ops) if i not in second]
    found["the mark that makes the hive dirty dropped"] = [op for i, op in enumerate(ops) if i not in drop_mark]
    found["the temporary file's fsync dropped"] = [
        op for op in ops if not (op.kind == "fsync" and ".tarnwick-" in os.path.basename(op.path))]
    return found


def prepare(volume, sample, shared):
    subprocess.run([sample, volume], check=True, stdout=subprocess.DEVNULL)
    users = os.path.join(volume, "Users")
    w = lambda *p: os.path.join(shared, *p)

    def put(folder, hive_name, source, logs=()):
        for name in os.listdir(os.path.join(users, folder)):
            if name.lower().startswith(hive_name.lower()):
                os.unlink(os.path.join(users, folder, name))
        shutil.copyfile(source, os.path.join(users, folder, hive_name))
        for log_source, log_name in logs:
            shutil.copyfile(log_source, os.path.join(users, folder, log_name))
        for name in os.listdir(os.path.join(users, folder)):
            os.chmod(os.path.join(users, folder, name), 0o644)

    # Clean, with Windows' own new-format logs beside it: written in place.
    put("bob", "NTUSER.DAT", w("NewDirtyHive1", "RecoveredHive_Windows10"),
        [(w("NewDirtyHive1", "NewDirtyHive.LOG1"), "ntuser.dat.LOG1"),
         (w("NewDirtyHive1", "NewDirtyHive.LOG2"), "ntuser.dat.LOG2")])
    # Dirty: replayed and rewritten; clean with those logs for the second run.
    put("JanNowak", "NtUser.dat", w("NewDirtyHive1", "NewDirtyHive"),
        [(w("NewDirtyHive1", "NewDirtyHive.LOG1"), "NtUser.dat.LOG1"),
         (w("NewDirtyHive1", "NewDirtyHive.LOG2"), "NtUser.dat.LOG2")])
    # Dirty with an old-format log: replayed and rewritten, twice.
    put("Dave", "NTUSER.DAT", w("OldDirtyHive", "OldDirtyHive"),
        [(w("OldDirtyHive", "OldDirtyHive.LOG1"), "ntuser.dat.LOG1")])
    # Many subkeys under an index root, with a new-format log of its own.
    put("alice", "ntuser.dat", w("ManySubkeysHive"))
    hive_files.write_new_format_log(os.path.join(users, "alice", "ntuser.dat"),
                                    os.path.join(users, "alice", "ntuser.dat.LOG1"))
    # No logs at all: rewritten.
    put("Zoë", "NTUSER.DAT", w("CompHive"))


def traced_run(strace, tool, volume, logdir, arguments, scratch, name):
    out = os.path.join(scratch, name + ".trace")
    env = dict(os.environ, TARNWICK_SYSTEM_DRIVE=volume, TMPDIR=logdir)
    r = subprocess.run([strace, "-f", "-qq", "-y", "-xx", "-s", str(1 << 28), "-e", "trace=" + SYSCALLS,
                        "-o", out, tool] + arguments, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(out, errors="surrogateescape") as f:
        lines = f.read().splitlines()
    os.unlink(out)
    return r, lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--replay", required=True)
    parser.add_argument("--windows-hives", required=True)
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()

    if not os.path.isdir(options.windows_hives):
        print("*** CRASH STATE TEST NOT RUN: %s is missing (the hives Windows wrote, beside the repository) ***"
              % options.windows_hives)
        return 1 if os.environ.get("CI") else SKIP
    strace = shutil.which("strace")
    if strace is None or subprocess.run([strace, "-qq", "-o", os.devnull, "true"]).returncode != 0:
        print("*** CRASH STATE TEST NOT RUN: strace is missing or cannot trace here ***")
        return SKIP
    rng = random.Random(options.seed)
    scratch = tempfile.mkdtemp(prefix="tarnwick-crash-states-")
    failures = []
    try:
        volume = os.path.join(scratch, "volume")
        logdir = os.path.join(scratch, "log")
        os.mkdir(logdir)
        prepare(volume, options.sample, os.path.abspath(options.windows_hives))
        replayer = Replayer(options.replay, scratch)
        runs = [("small set", ["/set", "/k", "Software\\Crash States", "/vn", "Small", "/vstr", "x", "/dp"]),
                ("large set, growing the hives",
                 ["/set", "/k", "Software\\Crash States", "/vn", "Large", "/vstr", "grow" * 1500, "/dp"])]
        kinds = collections.Counter()
        caught = collections.Counter()
        for name, arguments in runs:
            before = snapshot(volume)
            r, lines = traced_run(strace, options.tool, volume, logdir, arguments, scratch, name.split()[0])
            if r.returncode != 0:
                failures.append("%s: the traced run exited %d: %s" % (name, r.returncode, r.stderr.decode()[-300:]))
                continue
            after = snapshot(volume)
            ops, problems = recorded_ops(lines, volume)
            failures += ["%s: %s" % (name, p) for p in problems]
            found, counts = check_run(ops, before, after, replayer, rng)
            failures += ["%s: %s" % (name, p) for p in found[:10]]
            print("%s: %d file operations; states by hive kind and outcome:" % (name, len(ops)))
            for label, count in sorted(counts.items()):
                print("  %-52s %5d" % (label, count))
            kinds.update(counts)
            for what, mutated in mutations(ops).items():
                found, _ = check_run(mutated, before, after, replayer, rng)
                print("  with %s: %d hives left neither old nor new" % (what, len(found)))
                caught[what] += len(found)
        for what, count in caught.items():
            if count == 0:
                failures.append("the checker does not catch a run with %s" % what)
        for needed in ("in place: old", "in place: new", "in place: new (replayed from its log)",
                       "in place, the hive grown", "rewritten: old", "rewritten: new"):
            if kinds[needed] == 0:
                failures.append("no state of the kind '%s' was met: the volume does not exercise it" % needed)
        print("%d states replayed" % replayer.calls)
    finally:
        if failures:
            print("work kept in %s" % scratch)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    if failures:
        print("FAILED:\n  " + "\n  ".join(failures[:30]))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
