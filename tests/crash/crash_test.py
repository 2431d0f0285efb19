#!/usr/bin/env python3
"""Crash consistency of the Linux tarnwick's hive write-back.

Kills the tool with SIGKILL at random moments while it sets a value in every
profile of a volume of many hives of realistic size: a third of them dirty
(their latest changes only in NTUSER.DAT.LOG1, as a running Windows leaves
them; replayed and rewritten atomically), a third clean with new-format logs
(written in place through a log entry), a third without logs (rewritten
atomically); then checks that:
  - every hive is byte-identical to its old version (a dirty one still
    dirty) or to its new one (what a complete run makes of the old one: the
    replayed hive with the value, clean), or, for a hive written in place,
    is dirty with hive bins that its logs replay (replay_hive) to the new
    version's; the logs of the other hives never change. Runs are
    deterministic but for the times they stamp (the changed keys'
    last-write times, the hive's written time, the checksum over it): those
    bytes are found by comparing two complete runs and left out of the
    comparison with a new version, and nothing else may differ;
  - the hives around the kill point open with hivex (hivexml walks the whole
    tree) and pass libregf's regfinfo; the reference old and new versions of
    every hive are checked that way once, so byte identity carries it to all;
  - no file is left under a hive's name but a hive, and temporary files of
    the killed run are never taken for hives;
  - the next full run exits 0, leaves every hive as a complete run makes it
    (new, or new written once more for hives the killed run had finished),
    and removes the killed run's temporary files.

Half of the kills come at a delay drawn uniformly over a measured run; the
other half wait until a write-back of a randomly chosen hive begins (a
temporary file appears beside it, or its log is written) and strike within
the next millisecond, so that many land inside a write-back. The
distribution is printed at the end.

SIGKILL stops the process but not the kernel: what was written stays in the
page cache and reaches the disk. It proves the order of the steps (nothing
but a complete file is ever renamed over a hive), not what a power loss does
to unsynced data; that rests on the fsync of the file before the rename and
of the folder after it, which this test cannot observe.
"""

import argparse
import collections
import ctypes
import hashlib
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hive_files  # noqa: E402

TEMP_MARK = ".tarnwick-"
LOG_NAMES = ("NTUSER.DAT.LOG1", "NTUSER.DAT.LOG2")
# Bytes either side of one that differs between two complete runs that may
# belong to the same time field (a FILETIME is 8 bytes).
TIME_FIELD = 8
# More differing bytes than the time fields of a few keys and of the base
# block and first bin would mean the runs are not deterministic.
MOST_TIME_BYTES = 160
ARGS = ["/set", "/k", "Software\\Contoso\\Crash Test", "/vn", "Server", "/vstr", "app01.contoso.com", "/dp"]


def digest(path, mask=(), start=0):
    """sha1 of the file from `start` on, with the masked offsets taken as zero."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for offset in mask:
        if offset < len(data):
            data[offset] = 0
    return hashlib.sha1(data[start:]).hexdigest()


BINS = 4096  # where the hive bins start: what a replay must bring back


def replayed_digest(replay, hive, mask, scratch):
    """digest() of the hive bins our replay makes of the hive and its logs;
    None when it refuses them."""
    out = os.path.join(scratch, "replayed")
    r = subprocess.run([replay, hive, out], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return digest(out, mask, BINS) if r.returncode == 0 else None


def time_mask(a, b):
    """The offsets where two complete runs' versions of a hive may differ: the
    time fields around every byte that does."""
    with open(a, "rb") as f:
        x = f.read()
    with open(b, "rb") as f:
        y = f.read()
    if len(x) != len(y):
        sys.exit("two complete runs made %s and %s of different sizes" % (a, b))
    differing = []
    for page in range(0, len(x), 4096):
        if x[page:page + 4096] != y[page:page + 4096]:
            differing += [i for i in range(page, min(page + 4096, len(x))) if x[i] != y[i]]
    if len(differing) > MOST_TIME_BYTES:
        sys.exit("two complete runs made %s differ in %d bytes, not only in times" % (a, len(differing)))
    mask = set()
    for i in differing:
        mask.update(range(max(0, i - TIME_FIELD + 1), i + TIME_FIELD))
    return frozenset(mask)


def is_temporary(name):
    return TEMP_MARK in name and name.endswith(".tmp")


class Volume:
    def __init__(self, drive):
        self.drive = drive
        users = os.path.join(drive, "Users")
        self.folders = sorted(os.path.join(users, d) for d in os.listdir(users))
        self.hives = [os.path.join(f, "NTUSER.DAT") for f in self.folders]
        self.logs = [os.path.join(f, n) for f in self.folders for n in LOG_NAMES if os.path.exists(os.path.join(f, n))]
        with_logs = {h for h in self.hives if os.path.exists(h + ".LOG1")}
        self.dirty = {h for h in with_logs if not hive_files.is_clean(h)}
        # Clean with new-format logs: written in place through them.
        self.logged = with_logs - self.dirty

    def temporaries(self):
        found = []
        for folder in self.folders:
            for name in os.listdir(folder):
                if is_temporary(name):
                    found.append(os.path.join(folder, name))
        return found

    def digests(self, masks=None):
        return {h: digest(h, (masks or {}).get(h, ())) for h in self.hives}


def run_tool(tool, drive, logdir):
    env = dict(os.environ, TARNWICK_SYSTEM_DRIVE=drive, TMPDIR=logdir)
    return subprocess.run([tool] + ARGS, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def readers_fail(path, value_expected):
    """What hivex or libregf find wrong with the hive; empty when both accept it."""
    problems = []
    r = subprocess.run(["hivexml", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode != 0:
        problems.append("hivexml exit %d: %s" % (r.returncode, r.stderr.decode(errors="replace").strip()[:200]))
    # regfinfo walks every key and value; it reports what it cannot read on
    # stderr and exits 1 (its listing on stdout is not needed here).
    r = subprocess.run(["regfinfo", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode != 0 or r.stderr.strip():
        problems.append("regfinfo exit %d: %s" % (r.returncode, r.stderr.decode(errors="replace").strip()[:200]))
    if value_expected is not None:
        r = subprocess.run(["hivexget", path, "Software\\Contoso\\Crash Test", "Server"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        got = r.stdout.decode(errors="replace").strip()
        if (r.returncode == 0 and got == "app01.contoso.com") != value_expected:
            problems.append("hivexget exit %d gave %r" % (r.returncode, got))
    return problems


class WriteBackWatch:
    """Reports write-backs as they begin (inotify): a temporary file created,
    or a log written, in the folders; so a kill can follow one without
    polling."""

    IN_MODIFY = 0x2
    IN_CREATE = 0x100

    def __init__(self, folders):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        for folder in folders:
            if libc.inotify_add_watch(self.fd, folder.encode(), self.IN_CREATE | self.IN_MODIFY) < 0:
                raise OSError(ctypes.get_errno(), "inotify_add_watch " + folder)

    def drain(self):
        try:
            while os.read(self.fd, 65536):
                pass
        except BlockingIOError:
            pass

    def wait_for_writebacks(self, count, timeout):
        """Once `count` write-backs have begun: "atomic" when the last began
        with a temporary file, "in place" when it began by marking the hive
        dirty (its first write, after its log's); None at the timeout."""
        seen = {}
        deadline = time.monotonic() + timeout
        while len(seen) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            data = os.read(self.fd, 65536)
            offset = 0
            while offset < len(data):
                wd, mask, _cookie, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode(errors="replace")
                offset += 16 + length
                if mask & self.IN_CREATE and is_temporary(name):
                    seen.setdefault(wd, "atomic")
                elif mask & self.IN_MODIFY and name == "NTUSER.DAT":
                    seen.setdefault(wd, "in place")
                else:
                    continue
                last = seen[wd]
        return last


def restore(volume, pristine):
    for hive, source in zip(volume.hives + volume.logs, pristine.hives + pristine.logs):
        shutil.copyfile(source, hive)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--users", type=int, default=30)
    parser.add_argument("--classes-kib", default="256,512,1024,2048,3072")
    parser.add_argument("--replay", required=True)
    parser.add_argument("--dirty-every", type=int, default=3)
    parser.add_argument("--logs-every", type=int, default=3)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--workdir", default=os.environ.get("TARNWICK_CRASH_DIR"))
    parser.add_argument("--keep", action="store_true")
    options = parser.parse_args()

    seed = options.seed if options.seed is not None else int.from_bytes(os.urandom(4), "little")
    rng = random.Random(seed)
    print("seed %d (rerun with --seed %d)" % (seed, seed))
    base = tempfile.mkdtemp(prefix="tarnwick-crash-", dir=options.workdir)
    started = time.monotonic()
    failures = []
    try:
        pristine_drive = os.path.join(base, "old")
        subprocess.run([options.generator, pristine_drive, "--users", str(options.users), "--classes-kib",
                        options.classes_kib, "--dirty-every", str(options.dirty_every),
                        "--logs-every", str(options.logs_every),
                        "--templates", os.path.join(base, "templates")],
                       check=True, stdout=subprocess.PIPE)
        pristine = Volume(pristine_drive)
        if options.dirty_every > 0 and len(pristine.dirty) != (options.users + options.dirty_every - 1) // options.dirty_every:
            sys.exit("the volume has %d dirty hives" % len(pristine.dirty))
        # The logs that must never change: those of the hives not written in place.
        log_digests = {os.path.relpath(l, pristine.drive): digest(l) for l in pristine.logs
                       if os.path.join(os.path.dirname(l), "NTUSER.DAT") not in pristine.logged}
        logdir = os.path.join(base, "log")
        os.mkdir(logdir)

        # The new versions: one complete run on a copy; and what a second
        # complete run makes of them (the hives a killed run had finished).
        # Each is made twice, so that the bytes holding the times of the run
        # are known and left out of the comparisons.
        references = {}
        durations = []
        for name, source in (("new", pristine_drive), ("new-b", pristine_drive),
                             ("new2", os.path.join(base, "new")), ("new2-b", os.path.join(base, "new"))):
            drive = os.path.join(base, name)
            shutil.copytree(source, drive)
            t0 = time.monotonic()
            r = run_tool(options.tool, drive, logdir)
            durations.append(time.monotonic() - t0)
            if r.returncode != 0:
                sys.exit("reference run failed with %d: %s" % (r.returncode, r.stderr.decode(errors="replace")))
            references[name] = Volume(drive)
        rel = lambda p, v: os.path.relpath(p, v.drive)
        masks = {}
        for name in ("new", "new2"):
            masks[name] = {rel(h, references[name]): time_mask(h, hb)
                           for h, hb in zip(references[name].hives, references[name + "-b"].hives)}
        # A second run keeps the times the first one stamped, which another
        # first run (the one killed) stamps differently.
        for key, mask in masks["new2"].items():
            masks["new2"][key] = mask | masks["new"][key]
        old = {rel(h, pristine): d for h, d in pristine.digests().items()}
        new = {rel(h, references["new"]): digest(h, masks["new"][rel(h, references["new"])])
               for h in references["new"].hives}
        new2 = {rel(h, references["new2"]): digest(h, masks["new2"][rel(h, references["new2"])])
                for h in references["new2"].hives}
        for key in old:
            if old[key] == digest(os.path.join(references["new"].drive, key)) or \
                    digest(os.path.join(references["new"].drive, key)) == digest(os.path.join(references["new2"].drive, key)):
                sys.exit("a run left %s unchanged: the test could not tell old from new" % key)
        for v in (references["new"], references["new2"]):
            for h in v.hives:
                if not hive_files.is_clean(h):
                    sys.exit("a complete run left %s dirty" % h)
        # A second run writes the hives the first replayed in place, through
        # their logs; the first changes none of them.
        for key, d in log_digests.items():
            if digest(os.path.join(references["new"].drive, key)) != d:
                sys.exit("a complete run changed the log %s" % key)
        # What a replay of a hive killed inside its write in place must give,
        # and what the next run then makes of it.
        new_bins = {key: digest(os.path.join(references["new"].drive, key), masks["new"][key], BINS) for key in new}
        new2_bins = {key: digest(os.path.join(references["new2"].drive, key), masks["new2"][key], BINS) for key in new2}
        print("%d of %d hives dirty, %d written in place; bytes of times per hive: %d to %d" % (
            len(pristine.dirty), len(pristine.hives), len(pristine.logged), min(len(m) for m in masks["new"].values()),
            max(len(m) for m in masks["new"].values())))
        checked = set()
        for v, mask, expected in ((pristine, {}, False), (references["new"], masks["new"], True),
                                  (references["new2"], masks["new2"], True)):
            # Hives copied from one template are the same bytes but for the
            # times a run stamps: read one.
            for h in v.hives:
                d = digest(h, mask.get(rel(h, v), ()))
                if d in checked:
                    continue
                checked.add(d)
                problems = readers_fail(h, expected)
                if problems:
                    sys.exit("reference hive %s is not sound: %s" % (h, problems))

        work = os.path.join(base, "work")
        shutil.copytree(pristine_drive, work)
        volume = Volume(work)
        # Runs are timed on the volume the kills hit, as a measure of how
        # long the window is.
        timings = []
        for _ in range(3):
            restore(volume, pristine)
            t0 = time.monotonic()
            run_tool(options.tool, work, logdir)
            timings.append(time.monotonic() - t0)
        run_time = sorted(timings)[1]
        print("volume: %d hives, %.1f MiB; a complete run takes %.0f ms" % (
            len(volume.hives), sum(os.path.getsize(h) for h in volume.hives) / 2**20, run_time * 1000))

        watch = WriteBackWatch(volume.folders)
        where = collections.Counter()
        temp_sizes = collections.Counter()
        kills = 0
        attempts = 0
        while kills < options.kills:
            attempts += 1
            if attempts > options.kills * 3:
                failures.append("only %d of %d runs could be killed before they ended" % (kills, attempts))
                break
            restore(volume, pristine)
            for t in volume.temporaries():
                failures.append("temporary file left before a run: %s" % t)
                os.unlink(t)
            targeted = attempts % 2 == 0
            watch.drain()
            env = dict(os.environ, TARNWICK_SYSTEM_DRIVE=work, TMPDIR=logdir)
            process = subprocess.Popen([options.tool] + ARGS, env=env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            if targeted:
                # Within a millisecond of the k-th atomic write-back's start:
                # it takes about that long. A write in place takes a few
                # fsyncs, which cost nothing on tmpfs: at once.
                if watch.wait_for_writebacks(rng.randint(1, len(volume.hives)), run_time * 2 + 0.2) == "atomic":
                    time.sleep(rng.uniform(0, 0.001))
            else:
                time.sleep(rng.uniform(0, run_time))
            process.send_signal(signal.SIGKILL)
            code = process.wait()
            if code != -signal.SIGKILL:
                where["ended before the kill"] += 1
                if code != 0:
                    failures.append("an unkilled run exited with %d" % code)
                continue
            kills += 1

            # The state the kill left.
            temporaries = volume.temporaries()
            states = {}
            for h in volume.hives:
                key = rel(h, volume)
                if digest(h) == old[key]:
                    states[h] = "old"
                # Clean, too: the time fields left out of the comparison hold
                # the secondary sequence number, so a hive written in place
                # but for its last base block would pass for the new one.
                elif hive_files.is_clean(h) and digest(h, masks["new"][key]) == new[key]:
                    states[h] = "new"
                elif h in volume.logged and not hive_files.is_clean(h) and \
                        replayed_digest(options.replay, h, masks["new"][key], base) == new_bins[key]:
                    states[h] = "logged"
                else:
                    states[h] = "torn"
            done = sum(1 for s in states.values() if s == "new")
            torn = [h for h, s in states.items() if s == "torn"]
            for key, d in log_digests.items():
                if digest(os.path.join(work, key)) != d:
                    failures.append("kill %d: the log %s changed" % (kills, key))
            if "logged" in states.values():
                where["inside a write in place (hive dirty, its log holding the change)"] += 1
            elif temporaries:
                where["inside a write-back (temporary file present)"] += 1
                if any(os.path.join(os.path.dirname(t), "NTUSER.DAT") in volume.dirty for t in temporaries):
                    where["  of which inside a replayed write-back"] += 1
                for t in temporaries:
                    hive = os.path.join(os.path.dirname(t), "NTUSER.DAT")
                    full = os.path.getsize(references["new"].hives[volume.hives.index(hive)])
                    size = os.path.getsize(t)
                    temp_sizes["empty" if size == 0 else "complete" if size == full else "partial"] += 1
            elif done == 0:
                where["before the first write-back"] += 1
            elif done == len(volume.hives):
                where["after the last rename"] += 1
            else:
                where["between write-backs"] += 1
            for h in torn:
                failures.append("kill %d: %s is neither old nor new (%d bytes): %s" % (
                    kills, h, os.path.getsize(h), readers_fail(h, None)))
            # The hives at the kill point, read by the real readers: the last
            # one written and the one being written.
            latest = max((h for h, s in states.items() if s == "new"), key=os.path.getmtime, default=None)
            at_risk = {latest} if latest else set()
            at_risk.update(os.path.join(os.path.dirname(t), "NTUSER.DAT") for t in temporaries)
            for h in sorted(at_risk - set(torn) - {h for h, s in states.items() if s == "logged"}):
                problems = readers_fail(h, states[h] == "new")
                if problems:
                    failures.append("kill %d: %s: %s" % (kills, h, problems))
            for folder in volume.folders:
                for name in os.listdir(folder):
                    if name != "NTUSER.DAT" and name not in LOG_NAMES and not is_temporary(name):
                        failures.append("kill %d: unexpected file %s" % (kills, os.path.join(folder, name)))

            # The next full run mends what the kill left.
            for name in os.listdir(logdir):
                os.unlink(os.path.join(logdir, name))
            r = run_tool(options.tool, work, logdir)
            log = open(os.path.join(logdir, "tarnwick.log"), encoding="latin-1").read()
            if r.returncode != 0 or "failed" in log:
                failures.append("kill %d: the next run exited %d or logged a failure: %s" % (kills, r.returncode, log[-400:]))
            for h in volume.hives:
                key = rel(h, volume)
                # A hive left dirty with its change in its log is replayed and
                # rewritten by the next run, numbered otherwise than a second
                # write in place would number it: its bins must be the same.
                if states[h] == "logged":
                    same = hive_files.is_clean(h) and digest(h, masks["new2"][key], BINS) == new2_bins[key]
                elif states[h] == "new":
                    same = digest(h, masks["new2"][key]) == new2[key]
                else:
                    same = digest(h, masks["new"][key]) == new[key]
                if not same:
                    failures.append("kill %d: after the next run %s (%s before it) is not what a complete run makes"
                                    % (kills, h, states[h]))
            left = volume.temporaries()
            if left:
                failures.append("kill %d: the next run left temporary files: %s" % (kills, left))
                for t in left:
                    os.unlink(t)
            if len(failures) > 20:
                break

        print("kills: %d (runs that ended before their kill: %d)" % (kills, where["ended before the kill"]))
        for label, count in sorted(where.items(), key=lambda x: -x[1]):
            if label != "ended before the kill":
                print("  %-46s %4d  %5.1f%%" % (label, count, 100.0 * count / max(kills, 1)))
        print("  temporary files found: %s" % dict(temp_sizes))
        # A write in place is over within microseconds of its first write on
        # tmpfs, so how many kills land inside one depends on how busy the
        # machine is (none to a tenth of them); tests/crash/crash_state_test.py
        # goes through every state such a write can leave.
        in_place = where["inside a write in place (hive dirty, its log holding the change)"]
        inside = where["inside a write-back (temporary file present)"] + in_place
        if options.dirty_every > 0 and kills >= options.kills and where["  of which inside a replayed write-back"] == 0:
            failures.append("no kill landed inside the write-back of a replayed hive")
        # A third of the hives are written in place, and a targeted kill
        # there mostly comes after the write: a sixth inside, not a quarter.
        if kills >= options.kills and inside < kills // 6:
            failures.append("only %d of %d kills landed inside a write-back" % (inside, kills))
    finally:
        if options.keep or failures:
            print("volumes kept in %s" % base)
        else:
            shutil.rmtree(base, ignore_errors=True)
    print("%.1f s" % (time.monotonic() - started))
    if failures:
        print("FAILED: %d problem(s)" % len(failures))
        for f in failures[:20]:
            print("  " + f)
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
