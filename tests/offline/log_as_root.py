#!/usr/bin/env python3
"""The Linux tool's log in a shared temporary folder, as a hostile local user meets it.

Runs the real tool as root and as the unprivileged user 'nobody' in a 1777 folder
(as /tmp is), against logs that 'nobody' planted: a log of its own, a symbolic link
to a root-only file, a hard link, a FIFO. The tool runs without a volume, which
fails the walk (exit 1) but still writes the whole log, so every case compares the
log and the exit code with those of an ordinary run. Needs root; exits 77 (SKIPPED
in ctest) otherwise.
"""

import argparse
import os
import pwd
import re
import shutil
import stat
import subprocess
import sys
import tempfile

SKIP = 77
STAMP = re.compile(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4} ")
ARGS = ["/set", "/k", "Software\\Vendor", "/vn", "Key", "/vstr", "licence-1234"]
VOLUME_NOTE = "tarnwick: TARNWICK_SYSTEM_DRIVE is not set"


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


class Bench:
    def __init__(self, tool):
        self.tool = tool
        self.nobody = pwd.getpwnam("nobody")
        self.root = tempfile.mkdtemp(prefix="tarnwick-logsafe-")
        os.chmod(self.root, 0o755)

    def fresh_tmp(self, name):
        """A shared temporary folder: world-writable with the sticky bit, as /tmp is."""
        tmp = os.path.join(self.root, name)
        os.mkdir(tmp)
        os.chmod(tmp, 0o1777)
        return tmp

    def as_nobody(self):
        uid, gid = self.nobody.pw_uid, self.nobody.pw_gid

        def drop():
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
        return drop

    def run(self, tmp, user="root", umask=0o022):
        env = {k: v for k, v in os.environ.items() if k != "TARNWICK_SYSTEM_DRIVE"}
        env["TMPDIR"] = tmp
        drop = self.as_nobody() if user == "nobody" else (lambda: None)

        def prepare():
            os.umask(umask)
            drop()
        try:
            done = subprocess.run([self.tool, *ARGS], env=env, preexec_fn=prepare, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure(f"the run as {user} hung for 30 s")
        stderr = done.stderr.decode("utf-8", "replace")
        lines = [line for line in stderr.splitlines() if not line.startswith(VOLUME_NOTE)]
        return done.returncode, lines

    def plant(self, path, data=b"", mode=0o666):
        """A file as 'nobody' would create it."""
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        os.chown(path, self.nobody.pw_uid, self.nobody.pw_gid)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_log(data, earlier=b""):
    """A whole run's lines after what was there before, each with its stamp and CR LF."""
    expect(data.startswith(earlier), f"the earlier content changed: {data[:80]!r}")
    lines = data[len(earlier):].split(b"\r\n")
    expect(lines[-1] == b"", f"the log does not end in CR LF: {data[-40:]!r}")
    expect(all(STAMP.match(line) for line in lines[:-1]), f"a line without a stamp in {data!r}")
    messages = [line[26:] for line in lines[:-1]]
    expect(messages[0] == b"Started with command line: " + " ".join(ARGS).encode(), f"first line {messages[0]!r}")
    expect(b"                   valueSZ: licence-1234" in messages, "the report lacks the value")
    expect(messages[-1] == b"Exiting", f"last line {messages[-1]!r}")


def refused(lines, path, why):
    return lines == [f'tarnwick: not writing the log: "{path}" {why}']


# ----- cases ----------------------------------------------------------------------------

def case_new_log_is_owner_only(b):
    """A new log: created by the run, 0600 whatever the umask, owned by whoever ran it."""
    for user in ("root", "nobody"):
        tmp = b.fresh_tmp(f"new-{user}")
        code, lines = b.run(tmp, user=user, umask=0)
        log = os.path.join(tmp, "tarnwick.log")
        expect(code == 1 and lines == [], f"{user}: exit {code}, stderr {lines}")
        st = os.lstat(log)
        expect(stat.S_ISREG(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o600,
               f"{user}: new log has mode {stat.S_IMODE(st.st_mode):o}, expected 600")
        want = 0 if user == "root" else b.nobody.pw_uid
        expect(st.st_uid == want, f"{user}: new log owned by uid {st.st_uid}")
        check_log(read(log))


def case_own_earlier_log_is_appended_to(b):
    """An earlier log of the same account (or root's, for nobody) gets the run's lines."""
    for user, owner in (("root", 0), ("nobody", "nobody"), ("nobody", 0)):
        tmp = b.fresh_tmp(f"own-{user}-{owner}")
        log = os.path.join(tmp, "tarnwick.log")
        earlier = b"2030-01-01 00:00:00 +0000 Exiting\r\n"
        if owner == "nobody":
            b.plant(log, earlier, 0o600)
        else:
            with open(log, "wb") as f:
                f.write(earlier)
            # Writable for nobody only through its mode; root's file is trusted.
            os.chmod(log, 0o666)
        code, lines = b.run(tmp, user=user)
        expect(code == 1 and lines == [], f"{user} on {owner}'s log: exit {code}, stderr {lines}")
        check_log(read(log), earlier)


def case_foreign_log_gets_no_line(b):
    """A log that nobody planted (world-writable even) receives nothing from root's run."""
    tmp = b.fresh_tmp("foreign")
    log = os.path.join(tmp, "tarnwick.log")
    b.plant(log, b"planted\n", 0o666)
    code, lines = b.run(tmp)
    expect(code == 1, f"exit code {code}, expected 1 as without a log")
    expect(refused(lines, log, f"is owned by another account (uid {b.nobody.pw_uid})"), f"stderr {lines}")
    expect(read(log) == b"planted\n", f"the planted log was written to: {read(log)!r}")


def case_symlink_target_is_untouched(b):
    """A symbolic link planted as the log: its target, a root-only file, stays as it was."""
    tmp = b.fresh_tmp("symlink")
    log = os.path.join(tmp, "tarnwick.log")
    secret = os.path.join(b.root, "root-only")
    with open(secret, "wb") as f:
        f.write(b"root only\n")
    os.chmod(secret, 0o600)
    missing = os.path.join(b.root, "would-be-created")
    for target in (secret, missing):
        if os.path.lexists(log):
            os.unlink(log)
        os.symlink(target, log)
        os.lchown(log, b.nobody.pw_uid, b.nobody.pw_gid)
        code, lines = b.run(tmp)
        expect(code == 1, f"exit code {code}")
        expect(refused(lines, log, "is a symbolic link or reparse point"), f"stderr {lines}")
    expect(read(secret) == b"root only\n", f"the link's target was written to: {read(secret)!r}")
    expect(stat.S_IMODE(os.stat(secret).st_mode) == 0o600, "the target's mode changed")
    expect(not os.path.lexists(missing), "the dangling link's target was created")


def case_hard_link_is_refused(b):
    """A second name of another file (root's own, so only the link count refuses it)."""
    tmp = b.fresh_tmp("hardlink")
    log = os.path.join(tmp, "tarnwick.log")
    other = os.path.join(tmp, "other")
    with open(other, "wb") as f:
        f.write(b"another file\n")
    os.link(other, log)
    code, lines = b.run(tmp)
    expect(code == 1, f"exit code {code}")
    expect(refused(lines, log, "does not have exactly one name (hard links)"), f"stderr {lines}")
    expect(read(other) == b"another file\n", f"the other file was written to: {read(other)!r}")


def case_fifo_does_not_hang(b):
    """A FIFO planted as the log, with nobody reading it: refused at once."""
    tmp = b.fresh_tmp("fifo")
    log = os.path.join(tmp, "tarnwick.log")
    os.mkfifo(log, 0o666)
    os.chown(log, b.nobody.pw_uid, b.nobody.pw_gid)
    code, lines = b.run(tmp)
    expect(code == 1, f"exit code {code}")
    expect(refused(lines, log, "is not a regular file"), f"stderr {lines}")


def case_nobody_cannot_use_roots_private_log(b):
    """nobody's run next to root's 0600 log: no line and no word, as with a missing folder."""
    tmp = b.fresh_tmp("root-private")
    log = os.path.join(tmp, "tarnwick.log")
    with open(log, "wb") as f:
        f.write(b"root's\r\n")
    os.chmod(log, 0o600)
    code, lines = b.run(tmp, user="nobody")
    expect(code == 1 and lines == [], f"exit {code}, stderr {lines}")
    expect(read(log) == b"root's\r\n", "root's log changed")


CASES = [
    case_new_log_is_owner_only,
    case_own_earlier_log_is_appended_to,
    case_foreign_log_gets_no_line,
    case_symlink_target_is_untouched,
    case_hard_link_is_refused,
    case_fifo_does_not_hang,
    case_nobody_cannot_use_roots_private_log,
]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True, help="the Linux tarnwick")
    options = parser.parse_args()
    if os.geteuid() != 0:
        print("SKIPPED: these tests need root (they plant files as the user 'nobody' and run the tool as both)",
              flush=True)
        return SKIP
    try:
        pwd.getpwnam("nobody")
    except KeyError:
        print("SKIPPED: there is no user 'nobody'", flush=True)
        return SKIP
    bench = Bench(os.path.abspath(options.tool))
    # A copy that nobody can reach: the build tree may be private to root.
    bench.tool = os.path.join(bench.root, "tarnwick")
    shutil.copy(options.tool, bench.tool)
    os.chmod(bench.tool, 0o755)
    failed = 0
    try:
        for case in CASES:
            try:
                case(bench)
                print(f"ok     {case.__name__}", flush=True)
            except Failure as failure:
                failed += 1
                print(f"FAILED {case.__name__}: {failure}", flush=True)
    finally:
        shutil.rmtree(bench.root, ignore_errors=True)
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
