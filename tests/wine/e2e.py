#!/usr/bin/env python3
"""End-to-end tests of the real tarnwick.exe under Wine.

One throw-away prefix per run (wineboot takes a while); cases stay independent
through distinct SIDs, subkeys and hive files, and each removes its profile list
entries again, because every run of the tool walks the whole profile list.
Each run's log lines are the bytes the log file grew by; every line is checked
whole: its stamp (format, offset, time window), its message, its CR LF.
"""

import argparse
import datetime
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import zoneinfo

OWN_SID = "S-1-5-21-0-0-0-1000"
E2E_DIR = "C:\\e2e"  # test files inside the prefix's drive C:
STAMP = re.compile(rb"^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) ([+-])(\d\d)(\d\d) $")
PROFILE_LIST = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"


class Failure(Exception):
    pass


# Every Wine process runs without address-space randomisation. Wine 8 must map
# the shared user data page at the fixed address 0x7ffe0000 during start-up,
# and recent Linux kernels place a 64-bit process's heap anywhere up to 1 GiB
# above the program, here Wine's loader at 0x7d000000: about one start in a
# few thousand finds its heap over that page, and Wine exits 1 before the
# program runs ("wine: failed to map the shared user data", silent unless err
# messages are on). A fixed layout puts the heap right after the loader.
FIXED_LAYOUT = ["setarch", "-R"]

def expect(condition, message):
    if not condition:
        raise Failure(message)


class Raw(str):
    """A physical log line without a stamp: the rest of a value after a line feed."""


def quoted(path):
    """A path as the log writes it: in double quotes, backslashes and quotes escaped."""
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


def log_bytes(text):
    """Expected bytes of a message: Latin-1 as is, anything above U+00FF as one '?'."""
    return bytes(ord(c) if ord(c) <= 0xFF else ord("?") for c in text)


class Wine:
    def __init__(self, exe, fixture, keep):
        self.exe = os.path.abspath(exe)
        self.fixture_exe = os.path.abspath(fixture)
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="tarnwick-wine-")
        self.prefix = os.path.join(self.root, "prefix")
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("WINE") and k not in ("TZ", "DISPLAY")}
        # Wine's own errors stay on (its stderr goes into failure messages); its
        # traces and fixmes do not.
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all,err+all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.server_started = False
        self.last_stderr = ""

    def start(self):
        began = time.monotonic()
        self.server_started = True  # from here on, stop() must shut the server down
        code, _ = self._call(["wineboot", "-i"], timeout=300)
        expect(code == 0, f"wineboot -i failed: status {code}{self.stderr_note()}")
        self._call(["wineserver", "-w"], timeout=300)
        # A server that outlives its clients by 30 s keeps every later Wine process
        # start short, and still ends by itself should this script be killed. It runs
        # in the background, so it gets no pipes that would keep us waiting.
        self.server_started = True
        subprocess.run(["wineserver", "-p30"], env=self.env, timeout=60, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(f"prefix ready in {time.monotonic() - began:.1f}s: {self.prefix}", flush=True)

    def stop(self):
        if self.server_started:
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.server_started = False
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def _call(self, argv, timeout=120, env=None):
        # Files, not pipes: Wine's background processes (services, explorer) inherit
        # the standard handles and would hold a pipe open after the program ended.
        # What the program and Wine wrote on stderr is kept for failure messages.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            completed = subprocess.run(FIXED_LAYOUT + argv, env=env or self.env, timeout=timeout, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err)
            out.seek(0)
            err.seek(0)
            self.last_stderr = err.read().decode("utf-8", "replace")
            return completed.returncode, out.read().decode("utf-8", "replace")

    def stderr_note(self):
        """The last Wine call's stderr, for a failure message."""
        return f"; stderr {self.last_stderr!r}" if self.last_stderr else "; stderr empty"

    def fixture_raw(self, *args):
        """Runs fixture commands; returns (status, output). status is 0 or the Windows error."""
        code, output = self._call(["wine", self.fixture_exe, *args])
        match = re.search(r"error = (\d+)", output)
        if code != 0 and match:
            return int(match.group(1)), output
        return code, output

    def fixture(self, *args):
        status, output = self.fixture_raw(*args)
        expect(status == 0, f"fixture {args} failed: status {status}, output {output!r}{self.stderr_note()}")
        return output

    def unix_path(self, windows_path):
        expect(windows_path[:3].upper() == "C:\\", f"not on drive C: {windows_path}")
        return os.path.join(self.prefix, "drive_c", *[p for p in windows_path[3:].split("\\") if p])

    def run_tool(self, args, tz=None):
        """Runs tarnwick.exe with Wine's own command-line building; returns the exit code."""
        env = dict(self.env)
        if tz is not None:
            env["TZ"] = tz
        code, _ = self._call(["wine", self.exe, *args], env=env)
        return code

    def spawn_tool(self, argument_text, tz=None):
        """Runs tarnwick.exe with exactly this argument text, through CreateProcessW."""
        env = dict(self.env)
        if tz is not None:
            env["TZ"] = tz
        code, output = self._call(["wine", self.fixture_exe, "spawn", f'"{self.exe_windows}" {argument_text}'], env=env)
        match = re.search(r"exit code (\d+)", output)
        expect(code == 0 and match, f"spawn failed: {code} {output!r}{self.stderr_note()}")
        return int(match.group(1))


class Suite:
    def __init__(self, wine):
        self.wine = wine
        self.results = []
        temp = wine.fixture("tempdir").strip()
        self.log_path = os.path.join(wine.unix_path(temp), "tarnwick.log")
        # The tool and its inputs live inside the prefix, so spawn can name it by a C: path.
        os.makedirs(wine.unix_path(E2E_DIR + "\\bin"), exist_ok=True)
        shutil.copy(wine.exe, wine.unix_path(E2E_DIR + "\\bin\\tarnwick.exe"))
        wine.exe_windows = E2E_DIR + "\\bin\\tarnwick.exe"
        self.runs = 0

    # ----- helpers shared by the cases -------------------------------------------------

    def log_size(self):
        return os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0

    def make_hive(self, windows_file, values=()):
        os.makedirs(os.path.dirname(self.wine.unix_path(windows_file)), exist_ok=True)
        args = ["makehive", windows_file]
        for subkey, name, data in values:
            args += [subkey, name, data]
        self.wine.fixture(*args)

    def profile_order(self):
        return [line for line in self.wine.fixture("listprofiles").splitlines() if line]

    def hku(self):
        return [line for line in self.wine.fixture("listhku").splitlines() if line]

    def get(self, mount, subkey, name):
        """The value's text, or None when it is missing (status 2)."""
        status, output = self.wine.fixture_raw("get", mount, subkey, name)
        if status == 2:
            return None
        expect(status == 0, f"get {mount}\\{subkey}\\{name}: status {status} {output!r}{self.wine.stderr_note()}")
        return output[:-1] if output.endswith("\n") else output

    def run_and_check(self, expected, exit_code=0, args=None, text=None, tz=None, zone=None):
        """Runs the tool once and checks the bytes it appended to the log.

        args go through Wine's command-line building, text through CreateProcessW.
        zone is the zone the stamps must be in: an IANA name, a fixed tzinfo, or None
        for the host's local zone.
        """
        before = open(self.log_path, "rb").read() if os.path.exists(self.log_path) else b""
        started = time.time()
        code = self.wine.run_tool(args, tz=tz) if text is None else self.wine.spawn_tool(text, tz=tz)
        finished = time.time()
        self.runs += 1
        after = open(self.log_path, "rb").read()
        expect(after[:len(before)] == before, "the log's earlier content changed: it must only be appended to")
        try:
            check_lines(after[len(before):], expected, started, finished, zone)
        except Failure as failure:
            raise Failure(f"{failure}\n(exit code {code}{self.wine.stderr_note()})")
        expect(code == exit_code, f"exit code {code}, expected {exit_code}{self.wine.stderr_note()}")
        return code


def check_lines(data, expected, started, finished, zone):
    expect(data.endswith(b"\r\n"), f"log does not end in CR LF: {data[-40:]!r}")
    lines = data[:-2].split(b"\r\n")
    got_messages = []
    for line in lines:
        expect(b"\n" not in line and b"\r" not in line, f"stray CR or LF inside {line!r}")
    for index, want in enumerate(expected):
        if index >= len(lines):
            break
        line = lines[index]
        if isinstance(want, Raw):
            got_messages.append(line)
            continue
        check_stamp(line[:26], started, finished, zone)
        got_messages.append(line[26:])
    want_messages = [log_bytes(w) for w in expected]
    got_messages += lines[len(expected):]
    if got_messages != want_messages:
        diff = []
        for i in range(max(len(got_messages), len(want_messages))):
            g = got_messages[i] if i < len(got_messages) else b"<none>"
            w = want_messages[i] if i < len(want_messages) else b"<none>"
            diff.append(("   " if g == w else "!! ") + f"line {i + 1}: expected {w!r}" +
                        ("" if g == w else f"\n{'':>11} got {g!r}"))
        raise Failure("log lines differ:\n" + "\n".join(diff))


def check_stamp(prefix, started, finished, zone):
    match = STAMP.match(prefix)
    expect(match, f"bad stamp prefix {prefix!r}")
    year, month, day, hour, minute, second = (int(g) for g in match.groups()[:6])
    sign, off_h, off_m = match.group(7), int(match.group(8)), int(match.group(9))
    offset = (off_h * 60 + off_m) * (1 if sign == b"+" else -1)
    local = datetime.datetime(year, month, day, hour, minute, second)
    instant = (local - datetime.timedelta(minutes=offset)).replace(tzinfo=datetime.timezone.utc).timestamp()
    expect(int(started) - 1 <= instant <= finished + 1,
           f"stamp {prefix!r} is outside the run ({started:.0f}..{finished:.0f})")
    tz = zoneinfo.ZoneInfo(zone) if isinstance(zone, str) else zone
    when = datetime.datetime.fromtimestamp(instant, tz) if tz else datetime.datetime.fromtimestamp(instant).astimezone()
    want = when.strftime("%Y-%m-%d %H:%M:%S %z ").encode()
    expect(prefix == want, f"stamp {prefix!r}, expected {want!r} for zone {zone or 'of the host'}")


def header(text, dp=False, op=None, k=None, vn=None, vstr=None, missing_switch=None, vtype=None, importfile=None):
    """The lines every run begins with."""
    lines = ["Started with command line: " + text]
    if missing_switch:
        lines.append("Missing value for switch " + missing_switch)
    shown = lambda v: "missing" if v is None else v
    lines += ["Parsed args:",
              "     includeDefaultProfile: " + ("true" if dp else "false"),
              "                 operation: " + shown(op),
              "                    subKey: " + shown(k),
              "                 valueName: " + shown(vn),
              "                   valueSZ: " + shown(vstr)]
    if vtype is not None:
        lines.append("                 valueType: " + vtype)
    if importfile is not None:
        lines.append("                importFile: " + importfile)
    # A line feed inside a value goes to the file as is: the rest is a bare line.
    out = []
    for line in lines:
        parts = line.split("\n")
        out.append(parts[0])
        out += [Raw(p) for p in parts[1:]]
    return out


def mounted(sid, *result):
    return [f"HKEY_USERS\\{sid}: processing", *result]


def loaded(sid, hive_file, *result):
    return [f"HKEY_USERS\\{sid}: loading {quoted(hive_file)}", f"HKEY_USERS\\{sid}: processing", *result,
            f"HKEY_USERS\\{sid}: unloading"]


def load_failed(sid, hive_file, status):
    return [f"HKEY_USERS\\{sid}: loading {quoted(hive_file)}",
            f"maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\\{sid}, "
            f"file path = '{quoted(hive_file)}', error = {status}"]


def no_image_path(sid):
    return [f"readStringOrExpandStringValue: RegGetValueW() failed for subkey '{sid}' and value "
            f"'ProfileImagePath', error = 2",
            f"enumAllUserRegHives: skipping SID '{sid}', failed to read the profile image path"]


NO_DEFAULT = ["readStringOrExpandStringValue: RegGetValueW() failed for subkey '' and value 'Default', error = 2",
              "enumAllUserRegHives: could not read path to the default profile"]
DELETE_MISSING = "processingFunc: RegDeleteKeyValueW() failed, error = 2"
INVALID = "processingFunc: invalid args"
NO_VALUE = "processingFunc: missing value to set"
TAIL = ["Exiting"]


# ----- cases --------------------------------------------------------------------------

def expected_walk(suite, blocks, own):
    """Lines of the profile walk, in the order the registry enumerates the profile list."""
    lines = []
    for sid in suite.profile_order():
        if sid == OWN_SID:
            lines += own
        else:
            expect(sid in blocks, f"unexpected profile list entry {sid}")
            lines += blocks[sid]
    return lines


class Profiles:
    """Profile list entries of one case, removed again when the case ends."""

    def __init__(self, suite, tag):
        self.suite, self.tag, self.sids, self.blocks, self.hives = suite, tag, [], {}, {}

    def sid(self, n):
        return f"S-1-5-21-{self.tag}-0-0-{1100 + n}"

    def logged_off(self, n, values=(), expand=False, user=None, result=()):
        sid = self.sid(n)
        user = user or f"{self.tag}-u{n}"
        hive = f"{E2E_DIR}\\users\\{user}\\ntuser.dat"
        self.suite.make_hive(hive, values)
        stored = (f"%SystemDrive%\\e2e\\users\\{user}") if expand else f"{E2E_DIR}\\users\\{user}"
        self.add(sid, stored, "expand" if expand else "sz", loaded(sid, hive, *result))
        self.hives[sid] = hive
        return sid

    def mounted_elsewhere(self, n, values=(), result=()):
        sid = self.sid(n)
        hive = f"{E2E_DIR}\\users\\{self.tag}-m{n}\\ntuser.dat"
        self.suite.make_hive(hive, values)
        self.suite.wine.fixture("load", sid, hive)
        self.add(sid, f"{E2E_DIR}\\users\\{self.tag}-m{n}", "sz", mounted(sid, *result))
        return sid

    def missing_hive(self, n, folder_too=False):
        sid = self.sid(n)
        directory = f"{E2E_DIR}\\users\\{self.tag}-x{n}"
        if not folder_too:
            os.makedirs(self.suite.wine.unix_path(directory), exist_ok=True)
        hive = directory + "\\ntuser.dat"
        self.add(sid, directory, "sz", load_failed(sid, hive, 3 if folder_too else 2))
        return sid, hive

    def without_image_path(self, n):
        sid = self.sid(n)
        self.suite.wine.fixture("addprofilekey", sid)
        self.sids.append(sid)
        self.blocks[sid] = no_image_path(sid)
        return sid

    def short(self, name):
        self.suite.wine.fixture("addprofile", name, f"{E2E_DIR}\\nobody", "sz")
        self.sids.append(name)
        self.blocks[name] = [f"Skipping SID '{name}', not a full profile"]

    def add(self, sid, path, kind, block):
        self.suite.wine.fixture("addprofile", sid, path, kind)
        self.sids.append(sid)
        self.blocks[sid] = block

    def cleanup(self):
        for sid in self.sids:
            self.suite.wine.fixture_raw("delprofile", sid)
        self.suite.wine.fixture_raw("deldefault")


def case_set_across_profile_kinds(s):
    """Every kind of profile list entry in one walk, with /set."""
    key, name, data = "Software\\tarnwick-e2e\\set", "Colour", "blue"
    p = Profiles(s, "11")
    try:
        off_sz = p.logged_off(1, [("Software\\Other", "x", "y")])
        off_expand = p.logged_off(2, expand=True)
        other = p.mounted_elsewhere(3)
        _, missing_file = p.missing_hive(4)
        _, missing_dir = p.missing_hive(5, folder_too=True)
        p.without_image_path(6)
        p.short("S-1-5-18")
        expected = (header(f"/set /k {key} /vn {name} /vstr {data}", op="setValue", k=key, vn=name, vstr=data)
                    + expected_walk(s, p.blocks, mounted(OWN_SID)) + TAIL)
        s.run_and_check(expected, args=["/set", "/k", key, "/vn", name, "/vstr", data])
        expect(s.get(OWN_SID, key, name) == data, "own user's value not set in place")
        expect(s.get(other, key, name) == data, "value in the hive mounted by another process not set")
        mounts = s.hku()
        expect(other in mounts, "the hive mounted by another process was unmounted")
        for sid in (off_sz, off_expand):
            expect(sid not in mounts, f"{sid} still mounted after the run")
        # Windows would create an empty hive here; Wine must not, and neither must the tool.
        expect(not os.path.exists(s.wine.unix_path(missing_file)), "a missing ntuser.dat was created")
        expect(not os.path.exists(os.path.dirname(s.wine.unix_path(missing_dir))), "a missing folder was created")
    finally:
        p.cleanup()


def case_delete(s):
    """/del removes the value where it exists and reports status 2 where it does not."""
    key, name = "Software\\tarnwick-e2e\\del", "Gone"
    value = [(key, name, "old"), (key, "Stays", "kept")]
    p = Profiles(s, "12")
    try:
        s.wine.fixture("set", OWN_SID, key, name, "old", "--", "set", OWN_SID, key, "Stays", "kept")
        p.logged_off(1, value)
        p.logged_off(2, [(key, "Stays", "kept")], result=[DELETE_MISSING])
        other = p.mounted_elsewhere(3, value)
        without = p.mounted_elsewhere(4, result=[DELETE_MISSING])
        expected = (header(f"/del /k {key} /vn {name}", op="deleteValue", k=key, vn=name)
                    + expected_walk(s, p.blocks, mounted(OWN_SID)) + TAIL)
        s.run_and_check(expected, args=["/del", "/k", key, "/vn", name])
        expect(s.get(OWN_SID, key, name) is None, "own user's value not deleted")
        expect(s.get(OWN_SID, key, "Stays") == "kept", "a neighbouring value was deleted")
        expect(s.get(other, key, name) is None, "value in the mounted hive not deleted")
        expect(s.get(other, key, "Stays") == "kept", "a neighbouring value in the mounted hive was deleted")
        expect(other in s.hku() and without in s.hku(), "a hive mounted by another process was unmounted")
        # Deleting what is already gone: status 2 for every hive, exit code still 0.
        expected = (header(f"/DEL /K {key} /VN {name}", op="deleteValue", k=key, vn=name)
                    + expected_walk(s, {sid: b if sid not in (other, without) else mounted(sid, DELETE_MISSING)
                                        for sid, b in p.blocks.items()}, mounted(OWN_SID, DELETE_MISSING))
                    + TAIL)
        # The logged-off hives are loaded afresh from their files, which Wine did not
        # write back on unload, so their results repeat.
        s.run_and_check(expected, args=["/DEL", "/K", key, "/VN", name])
    finally:
        p.cleanup()


def case_set_fails(s):
    """A set that fails inside every hive is logged per hive; the run still exits with 0."""
    table = [
        # (subKey, status Wine gives for it)
        ("\\Software\\tarnwick-e2e\\lead", 161),  # a leading backslash: a bad path name
        ("Software\\" + "k" * 300, 87),  # a key name longer than 255 characters
    ]
    p = Profiles(s, "16")
    try:
        p.logged_off(1)
        other = p.mounted_elsewhere(2)
        for key, status in table:
            line = f"processingFunc: RegSetKeyValueW() failed, error = {status}"
            blocks = {sid: loaded(sid, hive, line) for sid, hive in p.hives.items()}
            blocks[other] = mounted(other, line)
            expected = (header(f"/set /k {key} /vn v /vstr x", op="setValue", k=key, vn="v", vstr="x")
                        + expected_walk(s, blocks, mounted(OWN_SID, line)) + TAIL)
            try:
                s.run_and_check(expected, args=["/set", "/k", key, "/vn", "v", "/vstr", "x"])
            except Failure as failure:
                raise Failure(f"[{key[:40]}] {failure}")
        expect(p.sid(1) not in s.hku(), "a hive whose change failed was not unloaded")
    finally:
        p.cleanup()


def case_default_profile(s):
    """/dp: no "Default" value, a loadable default hive, a missing one."""
    key, name, data = "Software\\tarnwick-e2e\\dp", "D", "x"
    text = f"/set /k {key} /vn {name} /vstr {data} /dp"
    mount = "tarnwick-default-profile"
    table = [
        # (label, Default value or None, hive to create, expected lines for the default profile)
        ("no Default value", None, None, NO_DEFAULT),
        ("REG_EXPAND_SZ Default", ("%SystemDrive%\\e2e\\default-a", "expand"), E2E_DIR + "\\default-a\\ntuser.dat",
         loaded(mount, E2E_DIR + "\\default-a\\ntuser.dat")),
        ("REG_SZ Default", (E2E_DIR + "\\default-b\\", "sz"), E2E_DIR + "\\default-b\\ntuser.dat",
         loaded(mount, E2E_DIR + "\\default-b\\ntuser.dat")),
        ("Default without hive file", (E2E_DIR + "\\default-c", "sz"), None,
         load_failed(mount, E2E_DIR + "\\default-c\\ntuser.dat", 2)),
    ]
    p = Profiles(s, "13")
    try:
        p.logged_off(1)
        os.makedirs(s.wine.unix_path(E2E_DIR + "\\default-c"), exist_ok=True)
        for label, default, hive, lines in table:
            s.wine.fixture("deldefault")
            if hive:
                s.make_hive(hive)
            if default:
                s.wine.fixture("setdefault", *default)
            expected = (header(text, dp=True, op="setValue", k=key, vn=name, vstr=data)
                        + expected_walk(s, p.blocks, mounted(OWN_SID)) + lines + TAIL)
            try:
                s.run_and_check(expected, args=text.split())
            except Failure as failure:
                raise Failure(f"[{label}] {failure}")
            expect(mount not in s.hku(), f"[{label}] default profile still mounted")
        expect(not os.path.exists(s.wine.unix_path(E2E_DIR + "\\default-c\\ntuser.dat")),
               "a missing default hive was created")
    finally:
        p.cleanup()


def case_incomplete_switches(s):
    """Switches without values, no switches, /set without /vstr."""
    key = "Software\\tarnwick-e2e\\incomplete"
    table = [
        # (arguments, missing switch, operation, subKey, valueName, valueSZ, line per hive)
        ([], None, None, None, None, None, INVALID),
        (["/set", "/k"], "/k", "setValue", None, None, None, INVALID),
        (["/SET", "/K", key, "/VN"], "/vn", "setValue", key, None, None, INVALID),
        (["/set", "/k", key, "/vn", "n", "/Vstr"], "/vstr", "setValue", key, "n", None, NO_VALUE),
        (["/set", "/k", key, "/vn", "n"], None, "setValue", key, "n", None, NO_VALUE),
        (["/del", "/vn", "n"], None, "deleteValue", None, "n", None, INVALID),
        (["/k", key, "/vn", "n", "/vstr", "v", "/dp"], None, None, key, "n", "v", INVALID),
    ]
    p = Profiles(s, "14")
    try:
        p.logged_off(1)
        for args, missing, op, k, vn, vstr, per_hive in table:
            blocks = {sid: loaded(sid, hive, per_hive) for sid, hive in p.hives.items()}
            dp = "/dp" in args
            expected = (header(" ".join(args), dp=dp, op=op, k=k, vn=vn, vstr=vstr, missing_switch=missing)
                        + expected_walk(s, blocks, mounted(OWN_SID, per_hive))
                        + (NO_DEFAULT if dp else []) + TAIL)
            try:
                s.run_and_check(expected, args=args)
            except Failure as failure:
                raise Failure(f"[{' '.join(args) or 'no arguments'}] {failure}")
        expect(s.get(OWN_SID, key, "n") is None, "a value was written although the run had nothing to write")
    finally:
        p.cleanup()


def case_exact_argument_text(s):
    """Argument texts handed over exactly (CreateProcessW), split by Windows' rules."""
    base = "Software\\tarnwick-e2e\\text"
    table = [
        # (argument text, operation, subKey, valueName, valueSZ, own user's line, value to read back)
        ('/k "Software\\My App\\" /vn x', None, 'Software\\My App" /vn x', None, None, [INVALID], None),
        (f'/SET /K "{base}\\with space" /VN "Name 1" /VSTR "a b"', "setValue", base + "\\with space", "Name 1",
         "a b", [], (base + "\\with space", "Name 1", "a b")),
        (f'/set /k {base} /vn two""quotes /vstr "one\\" still"', "setValue", base, "twoquotes", 'one" still',
         [], (base, "twoquotes", 'one" still')),
        (f'/set /k {base} /vn lf /vstr "a\nb"', "setValue", base, "lf", "a\nb", [], (base, "lf", "a\nb")),
        (f'/set /k {base} /vn empty /vstr ""', "setValue", base, "empty", "", [], (base, "empty", "")),
    ]
    for text, op, k, vn, vstr, own, readback in table:
        expected = header(text, op=op, k=k, vn=vn, vstr=vstr) + expected_walk(s, {}, mounted(OWN_SID, *own)) + TAIL
        try:
            s.run_and_check(expected, text=text)
            if readback:
                got = s.get(OWN_SID, readback[0], readback[1])
                expect(got == readback[2], f"value read back {got!r}, expected {readback[2]!r}")
        except Failure as failure:
            raise Failure(f"[{text!r}] {failure}")


def case_characters(s):
    """Latin-1 as its own byte, anything above U+00FF as one '?', in values and paths."""
    key, name = "Software\\tarnwick-e2e\\chars", "Name"
    data = "café 中😀 ok"
    p = Profiles(s, "15")
    try:
        user = p.logged_off(1, user="Дима")
        text = f'/set /k {key} /vn {name} /vstr "{data}"'  # Wine quotes an argument with spaces
        expected = (header(text, op="setValue", k=key, vn=name, vstr=data)
                    + expected_walk(s, p.blocks, mounted(OWN_SID)) + TAIL)
        before = s.log_size()
        s.run_and_check(expected, args=["/set", "/k", key, "/vn", name, "/vstr", data])
        appended = open(s.log_path, "rb").read()[before:]
        expect(b'valueSZ: caf\xe9 ?? ok\r\n' in appended, "é is not the byte 0xE9 or the '?'s are wrong")
        expect(b"\\\\users\\\\????\\\\ntuser.dat" in appended, "user name above U+00FF not written as '?'s")
        expect(s.get(OWN_SID, key, name) == data, "the value in the registry is not the exact text")
        expect(user not in s.hku(), "user with a Cyrillic name still mounted")
    finally:
        p.cleanup()


def case_stamps(s):
    """Stamps in zones east and west of UTC, with and without daylight saving."""
    key = "Software\\tarnwick-e2e\\stamp"
    text = f"/set /k {key} /vn z /vstr 1"
    expected = header(text, op="setValue", k=key, vn="z", vstr="1") + expected_walk(s, {}, mounted(OWN_SID)) + TAIL
    # TZ in the C runtime's own format, read by msvcrt itself.
    fixed = lambda minutes: datetime.timezone(datetime.timedelta(minutes=minutes))
    s.run_and_check(expected, args=text.split(), tz="IST-5:30", zone=fixed(330))
    s.run_and_check(expected, args=text.split(), tz="NST3:30", zone=fixed(-210))
    # Zones with daylight-saving rules reach the program through Wine's time-zone information:
    # TZ is kept from the C runtime, so the system's zone is used.
    in_dst = False
    for zone in ("Australia/Sydney", "America/New_York", "America/St_Johns"):
        s.run_and_check(expected, text=text, tz=zone, zone=zone)
        in_dst |= datetime.datetime.now(zoneinfo.ZoneInfo(zone)).dst().total_seconds() != 0
    expect(in_dst, "none of the zones was in daylight-saving time, so its bias went untested")


CLASSES_FILE = "AppData\\Local\\Microsoft\\Windows\\UsrClass.dat"


def case_classes_hive(s):
    """Software\\Classes goes to each user's classes hive, UsrClass.dat, mounted as <SID>_Classes."""
    key, name = "Software\\Classes\\.tarnwick-e2e", "Colour"
    in_hive = ".tarnwick-e2e"
    p = Profiles(s, "17")
    mounts = []
    try:
        # A logged-off user whose classes hive was saved with RegSaveKeyW.
        off = p.sid(1)
        off_dir = f"{E2E_DIR}\\users\\17-c1"
        s.make_hive(off_dir + "\\ntuser.dat")
        s.make_hive(off_dir + "\\" + CLASSES_FILE, [(in_hive, "Old", "classes")])
        # A logged-on one: both hives mounted before the run, as at logon.
        on = p.sid(2)
        on_dir = f"{E2E_DIR}\\users\\17-c2"
        s.make_hive(on_dir + "\\ntuser.dat")
        s.make_hive(on_dir + "\\" + CLASSES_FILE, [(in_hive, "Old", "classes")])
        s.wine.fixture("load", on, on_dir + "\\ntuser.dat", "--", "load", on + "_Classes", on_dir + "\\" + CLASSES_FILE)
        mounts += [on, on + "_Classes"]
        # A logged-off one without a classes hive, though its folder is there.
        bare = p.sid(3)
        bare_dir = f"{E2E_DIR}\\users\\17-c3"
        s.make_hive(bare_dir + "\\ntuser.dat")
        os.makedirs(s.wine.unix_path(bare_dir + "\\AppData\\Local\\Microsoft\\Windows"), exist_ok=True)
        # The prefix's own user has no classes hive either: Wine keeps its
        # Software\\Classes in the user's own hive.
        own_dir = s.wine.fixture("profilepath", OWN_SID).strip()
        own_status = 2 if os.path.isdir(s.wine.unix_path(own_dir + "\\AppData\\Local\\Microsoft\\Windows")) else 3
        own = load_failed(OWN_SID + "_Classes", own_dir + "\\" + CLASSES_FILE, own_status)

        def blocks(*results):
            return {
                off: loaded(off + "_Classes", off_dir + "\\" + CLASSES_FILE, *results),
                on: mounted(on + "_Classes", *results),
                bare: load_failed(bare + "_Classes", bare_dir + "\\" + CLASSES_FILE, 2),
            }

        for sid, directory in ((off, off_dir), (on, on_dir), (bare, bare_dir)):
            p.add(sid, directory, "sz", [])

        expected = (header(f"/set /k {key} /vn {name} /vstr blue", op="setValue", k=key, vn=name, vstr="blue")
                    + expected_walk(s, blocks(), own) + TAIL)
        s.run_and_check(expected, args=["/set", "/k", key, "/vn", name, "/vstr", "blue"])
        expect(s.get(on + "_Classes", in_hive, name) == "blue", "value not set in the mounted classes hive")
        expect(s.get(on, key, name) is None, "value set in the logged-on user's ntuser.dat")
        expect(s.get(OWN_SID, key, name) is None, "value set in the own user's hive, which has no classes hive")
        expect(off + "_Classes" not in s.hku() and bare + "_Classes" not in s.hku(), "a classes hive stayed mounted")
        expect(off not in s.hku() and bare not in s.hku(), "an ntuser.dat was loaded")
        expect(not os.path.exists(s.wine.unix_path(bare_dir + "\\" + CLASSES_FILE)), "a missing UsrClass.dat was created")

        # The delete finds the value that only the classes hives hold, in the
        # loaded file as in the mounted hive.
        key2 = "SOFTWARE\\classes\\.tarnwick-e2e"
        expected = (header(f"/del /k {key2} /vn Old", op="deleteValue", k=key2, vn="Old")
                    + expected_walk(s, blocks(), own) + TAIL)
        s.run_and_check(expected, args=["/del", "/k", key2, "/vn", "Old"])
        expect(s.get(on + "_Classes", in_hive, "Old") is None, "value not deleted from the mounted classes hive")

        # The classes root itself, typed with doubled and trailing backslashes;
        # the Default profile, as usual, has no classes hive.
        key3 = "Software\\\\Classes\\\\"
        default_dir = E2E_DIR + "\\default-17"
        s.make_hive(default_dir + "\\ntuser.dat")
        s.wine.fixture("setdefault", default_dir, "sz")
        mount = "tarnwick-default-profile_Classes"
        expected = (header(f"/set /k {key3} /vn Root /vstr r /dp", dp=True, op="setValue", k=key3, vn="Root", vstr="r")
                    + expected_walk(s, blocks(), own)
                    + load_failed(mount, default_dir + "\\" + CLASSES_FILE, 3) + TAIL)
        s.run_and_check(expected, args=["/set", "/k", key3, "/vn", "Root", "/vstr", "r", "/dp"])
        expect(s.get(on + "_Classes", "", "Root") == "r", "value not set on the classes root")
        expect(s.get(on, "Software\\Classes", "Root") is None, "value set in the logged-on user's ntuser.dat")
        expect("tarnwick-default-profile" not in s.hku(), "the Default profile's ntuser.dat was loaded")
    finally:
        for mount in mounts:
            s.wine.fixture_raw("unload", mount)
        p.cleanup()


def case_typed_values(s):
    """/vtype: a DWORD and a MULTI_SZ read back with RegQueryValueExW; data that is no DWORD stops the run."""
    key = "Software\\tarnwick-e2e\\typed"
    table = [
        # (value name, /vtype, /vstr, type and bytes RegQueryValueExW reads back)
        ("Port", "REG_DWORD", "0x1F90", "4 901f0000"),
        ("Servers", "reg_multi_sz", "app01\\0app02", "7 " + "app01\0app02\0\0".encode("utf-16-le").hex()),
    ]
    for name, vtype, data, stored in table:
        args = ["/set", "/k", key, "/vn", name, "/vtype", vtype, "/vstr", data]
        expected = (header(" ".join(args), op="setValue", k=key, vn=name, vstr=data, vtype=vtype)
                    + expected_walk(s, {}, mounted(OWN_SID)) + TAIL)
        s.run_and_check(expected, args=args)
        got = s.wine.fixture("query", OWN_SID, key, name).strip()
        expect(got == stored, f"{name} read back as {got!r}, expected {stored!r}")
    args = ["/set", "/k", key, "/vn", "Port", "/vtype", "REG_DWORD", "/vstr", "4294967296"]
    expected = (header(" ".join(args), op="setValue", k=key, vn="Port", vstr="4294967296", vtype="REG_DWORD")
                + ["Invalid data for REG_DWORD: '4294967296' (out of range: at most 4294967295)"] + TAIL)
    s.run_and_check(expected, exit_code=1, args=args)
    expect(s.wine.fixture("query", OWN_SID, key, "Port").strip() == "4 901f0000", "a refused run changed the value")


IMPORT_BASE = "Software\\tarnwick-e2e\\import"
# Every form a registry file writes, as regedit exports them and as people
# write them by hand: CRLF, a comment, a continued hex list, escapes, the
# default value, deletions of a value and of a tree.
IMPORT_FILE = "\r\n".join([
    "Windows Registry Editor Version 5.00",
    "",
    "; settings for every profile",
    f"[HKEY_CURRENT_USER\\{IMPORT_BASE}]",
    '"Replaced"="new"',
    '@="default text"',
    '"Quoted"="a \\"b\\" c:\\\\d\\\\"',
    '"Unicode"="Caf\u00e9 \u0416 \u4e2d"',
    '"Empty"=""',
    '"Port"=dword:00001F90',
    '"Max"=dword:ffffffff',
    '"Blob"=hex:00,01,02,fe,ff,\\',
    '  10,20,\\',
    '  30',
    '"NoBytes"=hex:',
    '"Path"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,\\',
    '  25,00,5c,00,78,00,00,00',
    '"List"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00',
    '"Big"=hex(b):08,07,06,05,04,03,02,01',
    '"None"=hex(0):01,02',
    '"Own"=hex(100):0a,0b',
    "",
    f"[HKEY_CURRENT_USER\\{IMPORT_BASE}\\Old]",
    '"Gone"=-',
    '"Added"="a"',
    "",
    f"[-HKEY_CURRENT_USER\\{IMPORT_BASE}\\Tree]",
    "",
    f"[HKEY_CURRENT_USER\\{IMPORT_BASE}\\\u041a\u043b\u044e\u0447\\Empty key]",
    "",
]) + "\r\n"
# What the hives hold before: the same in each.
IMPORT_BEFORE = [(IMPORT_BASE, "Replaced", "old"), (IMPORT_BASE + "\\Old", "Gone", "g"),
                 (IMPORT_BASE + "\\Old", "Kept", "k"), (IMPORT_BASE + "\\Tree\\Deep", "V", "x")]


def case_import(s):
    """/import of a UTF-16 registry file into a logged-on user's hive and a hive another process holds,
    compared with Wine's own reg import of the same file into the same user; then /delkey of its key."""
    windows_file = E2E_DIR + "\\settings.reg"
    with open(s.wine.unix_path(windows_file), "wb") as out:
        out.write(b"\xff\xfe" + IMPORT_FILE.encode("utf-16-le"))

    def set_before(mount):
        args = []
        for key, name, data in IMPORT_BEFORE:
            args += ["--", "set", mount, key, name, data] if args else ["set", mount, key, name, data]
        s.wine.fixture(*args)

    def export(key):
        """The key's tree as Wine's reg export writes it, its root's name left out."""
        target = E2E_DIR + "\\export.reg"
        code, output = s.wine._call(["wine", "reg", "export", key, target, "/y"])
        expect(code == 0, f"reg export {key}: {code} {output!r}{s.wine.stderr_note()}")
        with open(s.wine.unix_path(target), "rb") as exported:
            text = exported.read().decode("utf-16")
        expect(f"{IMPORT_BASE}]" in text, f"reg export of {key} holds no key: {text!r}")
        return text.replace(key, "ROOT")

    p = Profiles(s, "22")
    try:
        set_before(OWN_SID)
        held = p.mounted_elsewhere(1, IMPORT_BEFORE)
        expected = (header(f"/import {windows_file}", op="importFile", importfile=windows_file)
                    + [f"Registry file {quoted(windows_file)}: 3 keys, 15 values, 2 deletions"]
                    + expected_walk(s, p.blocks, mounted(OWN_SID)) + TAIL)
        s.run_and_check(expected, args=["/import", windows_file])
        ours = export(f"HKEY_USERS\\{OWN_SID}\\{IMPORT_BASE}")
        expect(export(f"HKEY_USERS\\{held}\\{IMPORT_BASE}") == ours,
               "the held hive and the logged-on user's differ after the import")

        # Wine's own import of the file into the same user, from the same start.
        code, output = s.wine._call(["wine", "reg", "delete", f"HKEY_CURRENT_USER\\{IMPORT_BASE}", "/f"])
        expect(code == 0, f"reg delete: {code} {output!r}{s.wine.stderr_note()}")
        set_before(OWN_SID)
        code, output = s.wine._call(["wine", "reg", "import", windows_file])
        expect(code == 0, f"reg import: {code} {output!r}{s.wine.stderr_note()}")
        theirs = export(f"HKEY_CURRENT_USER\\{IMPORT_BASE}")
        if ours != theirs:
            diff = [line for line in ours.splitlines() if line not in theirs.splitlines()]
            diff += ["wine: " + line for line in theirs.splitlines() if line not in ours.splitlines()]
            raise Failure("tarnwick's import differs from Wine's reg import:\n" + "\n".join(diff))

        # And the key deleted again, with everything below it, in both hives.
        expected = (header(f"/delkey /k {IMPORT_BASE}", op="deleteKey", k=IMPORT_BASE)
                    + expected_walk(s, p.blocks, mounted(OWN_SID)) + TAIL)
        s.run_and_check(expected, args=["/delkey", "/k", IMPORT_BASE])
        for mount in (OWN_SID, held):
            status, _ = s.wine.fixture_raw("get", mount, IMPORT_BASE + "\\Old", "Kept")
            expect(status == 2, f"{mount}: the deleted key's tree is still there (status {status})")
            expect(s.get(mount, "Software\\tarnwick-e2e", "x") is None, "")
    finally:
        s.wine._call(["wine", "reg", "delete", f"HKEY_CURRENT_USER\\{IMPORT_BASE}", "/f"])
        p.cleanup()


def case_enumeration_fails(s):
    """Without a profile list the walk cannot start: exit code 1. Runs last: it breaks the prefix."""
    s.wine.fixture("delprofilelist")
    expected = (header("/set /k Software\\x /vn y /vstr z", op="setValue", k="Software\\x", vn="y", vstr="z")
                + [f"enumAllUserRegHives: RegOpenKeyExW() failed for HKEY_LOCAL_MACHINE\\{PROFILE_LIST}, error = 2",
                   "Enumeration of user profiles failed"] + TAIL)
    s.run_and_check(expected, exit_code=1, args=["/set", "/k", "Software\\x", "/vn", "y", "/vstr", "z"])


def case_wine_facts(s):
    """What the other cases rely on about Wine's registry, measured with the fixture."""
    w = s.wine
    out = w.fixture("privileges")
    expect("SeRestorePrivilege disabled" in out and "SeBackupPrivilege disabled" in out,
           f"token privileges: {out!r}")
    hive = E2E_DIR + "\\facts\\ntuser.dat"
    s.make_hive(hive, [("Software\\F", "v", "1")])
    status, _ = w.fixture_raw("load", "tarnwick-e2e-facts", hive, "noprivilege")
    expect(status == 1314, f"RegLoadKeyW without the restore privilege: {status}, expected 1314")
    w.fixture("load", "tarnwick-e2e-facts", hive)
    status, _ = w.fixture_raw("load", "tarnwick-e2e-facts", hive)
    expect(status == 183, f"RegLoadKeyW of a loaded name: {status}, expected 183")
    w.fixture("set", "tarnwick-e2e-facts", "Software\\F", "v", "2", "--", "unload", "tarnwick-e2e-facts")
    status, _ = w.fixture_raw("unload", "tarnwick-e2e-facts")
    expect(status == 2, f"RegUnLoadKeyW of a name not loaded: {status}, expected 2")
    w.fixture("load", "tarnwick-e2e-facts", hive)
    written_back = s.get("tarnwick-e2e-facts", "Software\\F", "v")
    w.fixture("unload", "tarnwick-e2e-facts")
    print(f"    measured: a change to a loaded hive is {'' if written_back == '2' else 'not '}"
          f"written back to its file on unload (read back {written_back!r})")
    missing = E2E_DIR + "\\facts\\none.dat"
    status, _ = w.fixture_raw("load", "tarnwick-e2e-facts2", missing)
    expect(status == 2, f"RegLoadKeyW of a missing file: {status}, expected 2")
    expect(not os.path.exists(w.unix_path(missing)), "RegLoadKeyW created the missing hive file")
    status, _ = w.fixture_raw("load", "tarnwick-e2e-facts2", E2E_DIR + "\\no-folder\\ntuser.dat")
    expect(status == 3, f"RegLoadKeyW in a missing folder: {status}, expected 3")
    expect("tarnwick-e2e-facts2" not in s.hku(), "a failed load left a mount behind")


CASES = [
    case_wine_facts,
    case_set_across_profile_kinds,
    case_delete,
    case_set_fails,
    case_default_profile,
    case_incomplete_switches,
    case_exact_argument_text,
    case_characters,
    case_stamps,
    case_classes_hive,
    case_typed_values,
    case_import,
    case_enumeration_fails,  # last: it removes the profile list
]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="tarnwick.exe")
    parser.add_argument("--fixture", required=True, help="fixture.exe")
    parser.add_argument("--keep", action="store_true", help="keep the prefix for inspection")
    parser.add_argument("-k", "--only", help="run only the cases whose name contains this")
    options = parser.parse_args()
    for tool in ("wine", "wineboot", "wineserver"):
        if shutil.which(tool) is None:
            print(f"{tool} not found; install the Debian packages wine and wine64", file=sys.stderr)
            return 1

    wine = Wine(options.exe, options.fixture, options.keep)
    # A CTest timeout or ^C must still stop the persistent wineserver.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    began = time.monotonic()
    failed = []
    try:
        wine.start()
        suite = Suite(wine)
        expect_fresh = not os.path.exists(suite.log_path)
        for case in CASES:
            if options.only and options.only not in case.__name__ and case is not CASES[0]:
                continue
            case_began = time.monotonic()
            try:
                case(suite)
                status = "ok"
            except Failure as failure:
                status = "FAILED"
                failed.append(case.__name__)
                print(f"{case.__name__}: {failure}", flush=True)
            except Exception:
                status = "ERROR"
                failed.append(case.__name__)
                traceback.print_exc()
            print(f"{status:6} {case.__name__} ({time.monotonic() - case_began:.1f}s)", flush=True)
        if not expect_fresh:
            failed.append("fresh prefix")
            print("FAILED the fresh prefix already had a log, so the first run did not create it")
        print(f"{suite.runs} runs of tarnwick.exe; log: {suite.log_path}")
    finally:
        wine.stop()
    print(f"{len(CASES) - len(failed) if not options.only else ''} passed, {len(failed)} failed "
          f"in {time.monotonic() - began:.0f}s", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
