#!/usr/bin/env python3
"""Speed of the Linux tarnwick on offline volumes of N profiles, against
hivex's own tools and the bare I/O of an atomic file replacement; and of
tarnwick.exe under Wine. Called by bench/run.sh, which builds what it needs.

Each measurement is the median of --runs runs; peak memory is the largest
resident set of one process, from one more run under /usr/bin/time (see
peak_kib).
"""

import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SUBKEY = "Software\\Contoso\\Bench"
VALUE = "Server"


def timed(argv, env=None, cwd=None):
    """(seconds, peak KiB, exit code, CPU seconds) of one process."""
    t0 = time.monotonic()
    p = subprocess.Popen(argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    return time.monotonic() - t0, usage.ru_maxrss, p.returncode, usage.ru_utime + usage.ru_stime


def peak_kib(argv, env=None):
    """The largest resident set of one run of argv, as /usr/bin/time reports
    it for its child. wait4's ru_maxrss of a child of this script cannot tell:
    a child starts as a copy of this script, whose resident set (about 14 MiB
    of Python) stays counted in it after the exec."""
    with tempfile.NamedTemporaryFile(mode="r") as out:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name] + argv, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        return int(out.read().split()[-1])


def way(argv, env=None):
    """One measured run of a command, as interleaved() takes it; a failure ends the benchmark."""
    def one(_):
        result = timed(argv, env=env)
        if result[2] != 0:
            sys.exit("%s exited %d" % (" ".join(argv[:2]), result[2]))
        return result
    return one


COMMAND = ["/set", "/k", SUBKEY, "/vn", VALUE, "/vstr", "app01", "/dp"]


def write_import_file(path, values):
    """A registry file of `values` values as regedit exports settings: keys of
    ten values each, of every form (text, DWORD, binary, expandable, multi,
    QWORD), in UTF-16LE with its mark and CRLF."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for i in range(values):
        if i % 10 == 0:
            lines += ["", "[HKEY_CURRENT_USER\\Software\\Contoso\\Imported\\Key%04d]" % (i // 10)]
        kind = i % 6
        name = '"Value%04d"' % i
        if kind == 0:
            lines.append('%s="setting %d for every user"' % (name, i))
        elif kind == 1:
            lines.append("%s=dword:%08x" % (name, i))
        elif kind == 2:
            lines.append("%s=hex:%s" % (name, ",".join("%02x" % ((i + j) % 256) for j in range(16))))
        elif kind == 3:
            text = ("%%USERPROFILE%%\\Contoso\\%d" % i).encode("utf-16-le") + b"\0\0"
            lines.append("%s=hex(2):%s" % (name, ",".join("%02x" % b for b in text)))
        elif kind == 4:
            text = ("app%d\0app%d\0\0" % (i, i + 1)).encode("utf-16-le")
            lines.append("%s=hex(7):%s" % (name, ",".join("%02x" % b for b in text)))
        else:
            lines.append("%s=hex(b):%s" % (name, ",".join("%02x" % ((i >> (8 * j)) & 255) for j in range(8))))
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))


def median_of(runs, one):
    results = [one(i) for i in range(runs)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results), results


def interleaved(runs, ways):
    """Runs each way once per round, round after round, so that every way
    meets the same load on a shared machine; per way (median seconds, peak,
    results, median CPU seconds)."""
    results = {name: [] for name in ways}
    for i in range(runs):
        for name, one in ways.items():
            results[name].append(one(i))
    return {name: (statistics.median(r[0] for r in rs), max(r[1] for r in rs), rs,
                   statistics.median(r[3] if len(r) > 3 else 0 for r in rs))
            for name, rs in results.items()}


def hives_of(drive):
    users = os.path.join(drive, "Users")
    return sorted(os.path.join(users, d, "NTUSER.DAT") for d in os.listdir(users))


def bytes_written(argv, env, volume):
    """What one traced run writes into the volume's files, by kind: hives
    (written in place), logs, and temporary files (atomic rewrites)."""
    trace = os.path.join(os.path.dirname(volume), "bytes.trace")
    subprocess.run(["strace", "-f", "-qq", "-y", "-e", "trace=pwrite64,write", "-o", trace] + argv, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    kinds = {"hive": 0, "log": 0, "temporary": 0}
    pattern = re.compile(r"^\d+\s+(?:pwrite64|write)\(\d+<([^>]*)>.*\)\s+=\s+(\d+)$")
    with open(trace, errors="replace") as f:
        for line in f:
            m = pattern.match(line.strip())
            if not m or not m.group(1).startswith(volume + "/"):
                continue
            name = os.path.basename(m.group(1))
            kind = "temporary" if ".tarnwick-" in name else "log" if ".LOG" in name.upper() else "hive"
            kinds[kind] += int(m.group(2))
    os.unlink(trace)
    return kinds


def make_volume(options, drive, n, logs, root):
    big_every = "5" if n < 40 else "40"
    subprocess.run([options.generator, drive, "--users", str(n), "--big-every", big_every, "--big-kib", "16384",
                    "--software-kib", str(options.software_kib), "--templates", os.path.join(root, "templates")] +
                   (["--logs-every", "1"] if logs else []),
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def measure_offline(options, n, root, logs=False):
    """A volume of n profiles; with `logs`, every user hive clean with a
    new-format log (written in place), otherwise none with logs (rewritten
    atomically)."""
    drive = os.path.join(root, "n%d%s" % (n, "-logs" if logs else ""))
    t0 = time.monotonic()
    make_volume(options, drive, n, logs, root)
    # Flush the new volume first: its write-back would otherwise slow the
    # fsyncs of whichever way is measured first.
    os.sync()
    hives = hives_of(drive)
    sizes = [os.path.getsize(h) for h in hives]
    software = os.path.getsize(os.path.join(drive, "Windows/System32/config/SOFTWARE"))
    row = {"N": n, "logs": logs, "hives": len(hives), "hive_bytes": sum(sizes), "largest_user_hive": max(sizes),
           "software_bytes": software, "generate_s": time.monotonic() - t0}
    print("N=%d%s: %d hives, %.0f MiB of user hives (largest %.1f MiB), SOFTWARE %.1f MiB, made in %.1f s" % (
        n, " with new-format logs" if logs else "", len(hives), sum(sizes) / 2**20, max(sizes) / 2**20,
        software / 2**20, row["generate_s"]), flush=True)
    logdir = os.path.join(root, "log")
    os.makedirs(logdir, exist_ok=True)
    env = dict(os.environ, TARNWICK_SYSTEM_DRIVE=drive, TMPDIR=logdir)
    tool = way([options.tool] + COMMAND, env)
    floor = way([options.floor] + hives)

    # One unmeasured run of each first: the volume was just written, and page
    # cache state should be the same for all three ways. Then a and c take
    # turns, so that both meet the same load.
    tool(0)
    floor(0)
    written = bytes_written([options.tool] + COMMAND, env, drive)
    row["bytes_per_hive"] = sum(written.values()) / len(hives)
    row["bytes_written"] = written
    print("  bytes written per hive: %.0f (%s)" % (row["bytes_per_hive"], ", ".join(
        "%s %.0f" % (k, v / len(hives)) for k, v in written.items() if v)), flush=True)
    ways = {"a": tool, "c": floor}
    if options.import_values > 0:
        # The import of a whole settings file, beside the set of one value.
        reg = os.path.join(root, "settings.reg")
        write_import_file(reg, options.import_values)
        ways["i"] = way([options.tool, "/import", reg, "/dp"], env)
        # The first import makes the keys and values (one run only); the
        # measured ones import the same file again.
        row["i_first_s"] = ways["i"](0)[0]
    if options.tool_before:
        ways["a_before"] = way([options.tool_before] + COMMAND, env)
        ways["a_before"](0)
    measured = interleaved(options.runs, ways)
    row["a_s"], _, runs, row["a_cpu_s"] = measured["a"]
    row["a_peak_kib"] = peak_kib([options.tool] + COMMAND, env)
    row["a_runs"] = [r[0] for r in runs]
    print("  a: %s; peak %.1f MiB; CPU %.2f s" % (", ".join("%.2f s" % r[0] for r in runs),
                                                row["a_peak_kib"] / 1024, row["a_cpu_s"]), flush=True)
    if options.tool_before:
        row["a_before_s"], _, runs, row["a_before_cpu_s"] = measured["a_before"]
        row["a_before_peak_kib"] = peak_kib([options.tool_before] + COMMAND, env)
        row["a_before_runs"] = [r[0] for r in runs]
        print("  a before: %s; CPU %.2f s" % (", ".join("%.2f s" % r[0] for r in runs), row["a_before_cpu_s"]),
              flush=True)
    if "i" in measured:
        row["i_s"], _, runs, row["i_cpu_s"] = measured["i"]
        row["i_peak_kib"] = peak_kib([options.tool, "/import", reg, "/dp"], env)
        row["i_runs"] = [r[0] for r in runs]
        print("  i (import of %d values, again): %s (the first: %.2f s); peak %.1f MiB; CPU %.2f s; i/a %.2f" % (
            options.import_values, ", ".join("%.2f s" % r[0] for r in runs), row["i_first_s"], row["i_peak_kib"] / 1024,
            row["i_cpu_s"], row["i_s"] / row["a_s"]), flush=True)
    row["c_s"], row["c_peak_kib"], runs, row["c_cpu_s"] = measured["c"]
    row["c_runs"] = [r[0] for r in runs]
    print("  c: %s; CPU %.2f s" % (", ".join("%.2f s" % r[0] for r in runs), row["c_cpu_s"]), flush=True)

    # hivexregedit costs about the same per hive at every N; at large N it
    # is run fewer times (--b-runs-large), and the table says how many.
    b_runs = options.b_runs if n <= 100 else options.b_runs_large
    if b_runs > 0:
        reg = os.path.join(root, "one.reg")
        with open(reg, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[\\%s]\n\"%s\"=\"app01\"\n\n" % (SUBKEY, VALUE))

        def merge_all(_):
            t = time.monotonic()
            peak = 0
            for h in hives:
                _, kib, code, _ = timed(["hivexregedit", "--merge", h, reg])
                if code != 0:
                    sys.exit("hivexregedit exited %d on %s" % (code, h))
                peak = max(peak, kib)
            return time.monotonic() - t, peak

        row["b_s"], row["b_peak_kib"], runs = median_of(b_runs, merge_all)
        row["b_runs"] = [r[0] for r in runs]
        print("  b: %d run(s): %s" % (len(runs), ", ".join("%.2f s" % r[0] for r in runs)), flush=True)
    if not options.keep:
        shutil.rmtree(drive)
    return row


def measure_dirty(options, n, root):
    """The same volume twice, its user hives clean and dirty (each with a
    new-format NTUSER.DAT.LOG1 that holds changes not yet in the file). A run
    makes a dirty hive clean, so before every run, measured or not, of every
    way, the hives are put back as they were made and flushed."""
    common = ["--users", str(n), "--big-every", "5" if n < 40 else "40", "--big-kib", "16384",
              "--software-kib", str(options.software_kib), "--templates", os.path.join(root, "templates")]
    volumes = {}
    for kind, extra in (("clean", []), ("dirty", ["--dirty-every", "1", "--dirty-changes-per-mib",
                                                  str(options.dirty_changes_per_mib)])):
        drive = os.path.join(root, "n%d-%s" % (n, kind))
        subprocess.run([options.generator, drive] + common + extra, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        hives = hives_of(drive)
        pristine = os.path.join(root, "n%d-%s-pristine" % (n, kind))
        os.makedirs(pristine, exist_ok=True)
        copies = []
        for i, h in enumerate(hives):
            copy = os.path.join(pristine, "%05d.hive" % i)
            shutil.copyfile(h, copy)
            copies.append(copy)
        volumes[kind] = (drive, hives, copies)
    logs = [h + ".LOG1" for h in volumes["dirty"][1] if os.path.exists(h + ".LOG1")]
    log_bytes = sum(os.path.getsize(l) for l in logs)
    hive_bytes = sum(os.path.getsize(h) for h in volumes["dirty"][1])
    row = {"N": n, "hives": len(volumes["dirty"][1]), "dirty_hives": len(logs), "hive_bytes": hive_bytes,
           "log_bytes": log_bytes}
    print("N=%d dirty: %d hives (%.0f MiB), %d dirty with %.1f MiB of logs" % (
        n, len(volumes["dirty"][1]), hive_bytes / 2**20, len(logs), log_bytes / 2**20), flush=True)
    logdir = os.path.join(root, "log")
    os.makedirs(logdir, exist_ok=True)

    def restored(kind, argv, env=None):
        def one(_):
            _, hives, copies = volumes[kind]
            for h, c in zip(hives, copies):
                shutil.copyfile(c, h)
            os.sync()
            result = timed(argv, env=env)
            if result[2] != 0:
                sys.exit("%s exited %d" % (argv[0], result[2]))
            return result
        return one

    ways = {}
    for kind in ("clean", "dirty"):
        drive, hives, _ = volumes[kind]
        env = dict(os.environ, TARNWICK_SYSTEM_DRIVE=drive, TMPDIR=logdir)
        ways["a_" + kind] = restored(kind, [options.tool] + COMMAND, env)
        ways["c_" + kind] = restored(kind, [options.floor] + (["--logs"] if kind == "dirty" else []) + hives)
    for one in ways.values():
        one(0)
    measured = interleaved(options.runs, ways)
    for name, (median, peak, runs, cpu) in measured.items():
        row[name + "_s"], row[name + "_cpu_s"] = median, cpu
        if name.startswith("a_"):
            kind = name[2:]
            _, hives, copies = volumes[kind]
            for h, c in zip(hives, copies):
                shutil.copyfile(c, h)
            row[name + "_peak_kib"] = peak_kib([options.tool] + COMMAND, dict(os.environ,
                                               TARNWICK_SYSTEM_DRIVE=volumes[kind][0], TMPDIR=logdir))
        row[name + "_runs"] = [r[0] for r in runs]
        print("  %s: %s; CPU %.2f s" % (name, ", ".join("%.2f s" % r[0] for r in runs), cpu), flush=True)
    row["replay_ms_per_log_mib"] = 1000 * (row["a_dirty_s"] - row["a_clean_s"]) / (log_bytes / 2**20)
    row["replay_ms_per_hive"] = 1000 * (row["a_dirty_s"] - row["a_clean_s"]) / max(len(logs), 1)
    if not options.keep:
        for kind in volumes:
            shutil.rmtree(volumes[kind][0])
            shutil.rmtree(os.path.join(root, "n%d-%s-pristine" % (n, kind)))
    return row


def measure_ntfs(options, n, root):
    """A volume of n profiles, every user hive with a new-format log, on an
    NTFS image mounted through ntfs-3g (root and /dev/fuse needed): ms per
    hive of this tool (in place), of --tool-before, and of the floor c."""
    image = os.path.join(root, "ntfs-n%d.img" % n)
    mount = os.path.join(root, "ntfs-n%d" % n)
    os.makedirs(mount, exist_ok=True)
    subprocess.run(["truncate", "-s", "%dM" % (n * 8 + options.software_kib // 1024 * 2 + 256), image], check=True)
    subprocess.run(["mkntfs", "-F", "-Q", "-q", image], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ntfs-3g", image, mount], check=True)
    try:
        make_volume(options, mount, n, True, root)
        hives = hives_of(mount)
        logdir = os.path.join(root, "log")
        os.makedirs(logdir, exist_ok=True)
        env = dict(os.environ, TARNWICK_SYSTEM_DRIVE=mount, TMPDIR=logdir)
        ways = {"a": way([options.tool] + COMMAND, env), "c": way([options.floor] + hives)}
        if options.tool_before:
            ways["a_before"] = way([options.tool_before] + COMMAND, env)
        for one in ways.values():
            one(0)
        measured = interleaved(options.runs, ways)
        row = {"N": n, "hives": len(hives), "hive_bytes": sum(os.path.getsize(h) for h in hives)}
        for name, (median, _, runs, cpu) in measured.items():
            row[name + "_s"], row[name + "_cpu_s"], row[name + "_runs"] = median, cpu, [r[0] for r in runs]
            row[name + "_ms_per_hive"] = 1000 * median / len(hives)
            print("  NTFS %s: %s; %.1f ms per hive" % (name, ", ".join("%.2f s" % r[0] for r in runs),
                                                     row[name + "_ms_per_hive"]), flush=True)
        return row
    finally:
        subprocess.run(["umount", mount], check=False)
        if not options.keep:
            os.unlink(image)


def measure_wine(options, n, root):
    """tarnwick.exe under Wine on a prefix with n logged-off profiles whose
    hives Wine saved itself (RegSaveKeyW); Wine cannot load regf files."""
    prefix = os.path.join(root, "wine-n%d" % n)
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE") and k not in ("DISPLAY",)}
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LANG="C.UTF-8")

    # Without address-space randomisation, as the Wine tests run it: Wine 8 now
    # and then cannot start where the kernel puts the heap (tests/wine/e2e.py).
    FIXED = ["setarch", "-R"]

    def call(argv, timeout=600):
        with tempfile.TemporaryFile() as out:
            r = subprocess.run(FIXED + argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                               timeout=timeout)
            out.seek(0)
            return r.returncode, out.read().decode("utf-8", "replace")

    t0 = time.monotonic()
    call(["wineboot", "-i"])
    call(["wineserver", "-w"])
    subprocess.run(["wineserver", "-p60"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    try:
        # A few hundred values per hive: Wine's saved hives are text, and this
        # measures the per-profile path (privilege, load, set, unload).
        values = []
        for i in range(60):
            values += ["Software\\Bench\\Key%d" % (i % 12), "Value%d" % i, "x" * 40]
        script = []
        for user in range(n):
            folder = "C:\\users\\bench%04d" % user
            os.makedirs(os.path.join(prefix, "drive_c", "users", "bench%04d" % user), exist_ok=True)
            code, out = call(["wine", options.fixture, "makehive", folder + "\\ntuser.dat"] + values)
            if code != 0:
                sys.exit("fixture makehive failed: %s" % out)
            code, out = call(["wine", options.fixture, "addprofile", "S-1-5-21-7-7-7-%d" % (2000 + user), folder, "sz"])
            if code != 0:
                sys.exit("fixture addprofile failed: %s" % out)
        setup = time.monotonic() - t0
        print("Wine prefix with %d profiles made in %.0f s" % (n, setup), flush=True)

        def run(_):
            result = timed(FIXED + ["wine", options.exe, "/set", "/k", SUBKEY, "/vn", VALUE, "/vstr", "app01"], env=env)
            if result[2] != 0:
                sys.exit("tarnwick.exe exited %d" % result[2])
            return result

        def empty(_):
            # Wine's own start-up and exit, for comparison: the fixture with a
            # command that touches no profile.
            return timed(FIXED + ["wine", options.fixture, "tempdir"], env=env)

        run(0)
        # The walk must really have loaded and unloaded every profile.
        code, temp = call(["wine", options.fixture, "tempdir"])
        log_path = os.path.join(prefix, "drive_c", *temp.strip().rstrip("\\")[3:].split("\\"), "tarnwick.log")
        with open(log_path, encoding="latin-1") as f:
            last = f.read().split("Started with command line")[-1]
        if last.count(": unloading") != n or "failed" in last:
            sys.exit("tarnwick.exe did not walk the %d profiles: %s" % (n, last[-500:]))
        seconds, _, runs = median_of(options.runs, run)
        baseline, _, _ = median_of(options.runs, empty)
        code, out = call(["wine", options.fixture, "listhku"])
        return {"N": n, "wine_s": seconds, "wine_runs": [r[0] for r in runs], "wine_start_s": baseline,
                "wine_per_profile_ms": 1000 * (seconds - baseline) / n}
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not options.keep:
            shutil.rmtree(prefix, ignore_errors=True)


def machine():
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = f.readline().split()[1]
    return {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "nproc": os.cpu_count(), "cpu": cpu,
            "memory_gib": round(int(mem) / 2**20, 1), "kernel": platform.release(),
            "load_before": os.getloadavg()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--exe")
    parser.add_argument("--fixture")
    parser.add_argument("--dir", required=True)
    parser.add_argument("--sizes", default="10,100,1000")
    parser.add_argument("--logs-sizes", default="10,100,1000",
                        help="volumes whose hives are clean with new-format logs (written in place)")
    parser.add_argument("--ntfs-sizes", default="30", help="the same on an ntfs-3g mount (needs root, /dev/fuse)")
    parser.add_argument("--tool-before", help="an earlier tarnwick to measure beside this one")
    parser.add_argument("--wine-sizes", default="10,100")
    parser.add_argument("--dirty-sizes", default="100")
    parser.add_argument("--dirty-changes-per-mib", type=int, default=16)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--b-runs", type=int, default=5)
    parser.add_argument("--b-runs-large", type=int, default=1)
    parser.add_argument("--software-kib", type=int, default=40960)
    parser.add_argument("--import-values", type=int, default=1000,
                        help="also measure /import of a registry file of this many values (0: not)")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--json")
    options = parser.parse_args()

    os.makedirs(options.dir, exist_ok=True)
    info = machine()
    disk = subprocess.run(["df", "-h", "--output=source,fstype,size,avail", options.dir], stdout=subprocess.PIPE,
                          text=True).stdout.strip().splitlines()[-1]
    info["disk"] = disk
    info["block_devices"] = subprocess.run(["lsblk", "-d", "-o", "NAME,ROTA,SIZE,MODEL"], stdout=subprocess.PIPE,
                                           text=True).stdout.strip()
    print(info["block_devices"])
    print("machine: %(nproc)s CPUs (%(cpu)s), %(memory_gib)s GiB, kernel %(kernel)s, %(date)s" % info)
    print("disk: %s; load before: %s" % (disk, info["load_before"]), flush=True)
    rows = [measure_offline(options, int(n), options.dir) for n in options.sizes.split(",") if n]
    rows += [measure_offline(options, int(n), options.dir, logs=True) for n in options.logs_sizes.split(",") if n]
    ntfs = [measure_ntfs(options, int(n), options.dir) for n in options.ntfs_sizes.split(",") if n]
    dirty = [measure_dirty(options, int(n), options.dir) for n in options.dirty_sizes.split(",") if n]
    wine = []
    if options.exe and options.fixture and options.wine_sizes:
        wine = [measure_wine(options, int(n), options.dir) for n in options.wine_sizes.split(",") if n]
    info["load_after"] = os.getloadavg()

    print()
    print("%6s %4s %9s | %9s %8s %9s | %9s %8s | %9s %8s | %6s %6s | %6s %5s | %9s %8s | %s" % (
        "N", "logs", "MiB", "a s", "a ms/pr", "a ms/MiB", "c s", "c ms/pr", "b s", "b ms/pr", "a/c", "b/a",
        "i s", "i/a", "bytes/hv", "before s", "peak a, i / largest hive"))
    for r in rows:
        mib = (r["hive_bytes"] + r["software_bytes"]) / 2**20
        profiles = r["hives"]
        b = r.get("b_s")
        largest = max(r["largest_user_hive"], r["software_bytes"])
        before = r.get("a_before_s")
        i = r.get("i_s")
        print("%6d %4s %9.0f | %9.2f %8.1f %9.2f | %9.2f %8.1f | %9s %8s | %6.2f %6s | %6s %5s | %9.0f %8s | "
              "%.1f, %s MiB / %.0f MiB" % (
                  r["N"], "yes" if r["logs"] else "no", mib, r["a_s"], 1000 * r["a_s"] / profiles,
                  1000 * r["a_s"] / mib, r["c_s"], 1000 * r["c_s"] / profiles, "%.2f" % b if b else "-",
                  "%.1f" % (1000 * b / profiles) if b else "-", r["a_s"] / r["c_s"],
                  "%.1f" % (b / r["a_s"]) if b else "-", "%.2f" % i if i else "-", "%.2f" % (i / r["a_s"]) if i else "-",
                  r["bytes_per_hive"], "%.2f" % before if before else "-", r["a_peak_kib"] / 1024,
                  "%.1f" % (r["i_peak_kib"] / 1024) if i else "-", largest / 2**20))
    for r in ntfs:
        print("NTFS (ntfs-3g) N=%d, %d hives with new-format logs: a %.1f ms/hive, c %.1f ms/hive, a/c %.2f%s" % (
            r["N"], r["hives"], r["a_ms_per_hive"], r["c_ms_per_hive"], r["a_s"] / r["c_s"],
            "; before %.1f ms/hive" % r["a_before_ms_per_hive"] if "a_before_s" in r else ""))
    if dirty:
        print()
        print("%6s %9s %9s | %9s %9s | %9s %9s | %6s %6s | %s" % (
            "N", "hive MiB", "log MiB", "a clean", "a dirty", "c clean", "c dirty", "a/c cl", "a/c di",
            "replay: ms per MiB of log, per dirty hive; peak clean/dirty"))
    for r in dirty:
        print("%6d %9.0f %9.1f | %9.2f %9.2f | %9.2f %9.2f | %6.2f %6.2f | %.1f, %.1f; %.0f / %.0f MiB" % (
            r["N"], r["hive_bytes"] / 2**20, r["log_bytes"] / 2**20, r["a_clean_s"], r["a_dirty_s"], r["c_clean_s"],
            r["c_dirty_s"], r["a_clean_s"] / r["c_clean_s"], r["a_dirty_s"] / r["c_dirty_s"],
            r["replay_ms_per_log_mib"], r["replay_ms_per_hive"], r["a_clean_peak_kib"] / 1024,
            r["a_dirty_peak_kib"] / 1024))
    for w in wine:
        print("Wine N=%d: %.2f s per run (Wine start-up alone %.2f s), %.1f ms per profile" % (
            w["N"], w["wine_s"], w["wine_start_s"], w["wine_per_profile_ms"]))
    print("load after: %s" % (info["load_after"],))
    if options.json:
        with open(options.json, "w") as f:
            json.dump({"machine": info, "offline": rows, "dirty": dirty, "ntfs": ntfs, "wine": wine}, f, indent=1)


if __name__ == "__main__":
    main()
