#!/usr/bin/env python3
"""Fault suite: run the built chklist program under faults, hostile input and interruption.

Every scenario is judged by one rule. Each list file ends exactly as it was or exactly fully
cleaned (never missing, partial, or mixed with another file), its mode unchanged; nothing else
in the tree is touched except "chklist.log" and the temporary files "chklist.lock", "list.tmp",
"blist.dir" and "wlist.dir" in the directory the run starts in; and every entry a cleaned list file dropped has a
record in "chklist.log". The whole tree is snapshotted (bytes, modes, link targets) before and
after each run. Scenarios then check what they expect on top of that.

Usage: run_faults.py PATH_TO_CHKLIST [unittest arguments]
Scenarios that need root (mounts, running as an unprivileged user) skip themselves otherwise.
"""
import collections
import fcntl
import hashlib
import os
import pty
import re
import resource
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "end_to_end"))
from scratch_tree import NOBODY, RECORD, drop_to_nobody, zone_pad  # noqa: E402

CHKLIST = None
TEMPORARY_NAMES = {b"chklist.log", b"chklist.lock", b"list.tmp", b"blist.dir", b"wlist.dir"}
# The cleaned copy moved beside its list file just before it replaces it: a run stopped at that
# moment leaves it there (under the list's staged name, or a random one when another file held
# that), and the next run that opens the list there removes it.
COPY_LEFTOVER = re.compile(
    rb"(?:.*/)?\.chklist-copy-(?:[A-Za-z0-9]{6}|blacklist\.txt|whitelist\.txt)$")
LIST_NAMES = {b"blacklist.txt", b"whitelist.txt"}
FIGURES = collections.OrderedDict()  # printed at the end: what the scenarios measured


# -- the reference: what a list file becomes ------------------------------------------------
def read_entries(data):
    """The entries of a list file, read as the program reads it: every byte up to the next LF,
    less one CR right before that LF, whatever the length; a last line without an LF loses its
    trailing NUL bytes and then one CR; the file ends at its length."""
    lines = data.split(b"\n")
    last = lines.pop()  # the bytes after the last LF
    entries = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    if last:
        last = last.rstrip(b"\0")
        entries.append(last[:-1] if last.endswith(b"\r") else last)
    return entries


def is_good(entry):
    return len(entry) >= 7 and b"@" in entry


def cleaned(data):
    return b"".join(entry + b"\r\n" for entry in read_entries(data) if is_good(entry))


def dropped(data):
    return [entry for entry in read_entries(data) if not is_good(entry)]


def log_records(log, paths):
    """Counter of (path, entry) over the records of the log. A record runs from its date to the
    first CR LF (an entry never holds an LF). A record cut short by a killed run ends at the
    line end the next run puts before its first record; it is not counted as what it was meant
    to be."""
    counts = collections.Counter()
    by_length = sorted(paths, key=len, reverse=True)
    for match in RECORD.finditer(log):
        end = log.find(b"\r\n", match.end())
        if end < 0:
            break
        body = log[match.end():end]
        for path in by_length:
            head = path + zone_pad(28 + len(path))
            if body.startswith(head):
                counts[(path, body[len(head):])] += 1
                break
    return counts


# -- snapshots -------------------------------------------------------------------------------
def file_digest(name, dir_fd):
    digest, size = hashlib.sha256(), 0
    descriptor = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=dir_fd)
    try:
        while True:
            block = os.read(descriptor, 1 << 20)
            if not block:
                break
            digest.update(block)
            size += len(block)
    finally:
        os.close(descriptor)
    return digest.hexdigest(), size


def snapshot(top, list_contents=None):
    """Relative path -> what is there: ("d", mode), ("f", mode, sha256, size), ("l", target) or
    ("o", mode). Works on descriptors, so paths longer than PATH_MAX are fine. The bytes of the
    list files go into `list_contents` when given."""
    top = os.fsencode(top)
    tree = {}
    for dirpath, dirnames, filenames, dir_fd in os.fwalk(top, follow_symlinks=False):
        relative = os.path.relpath(dirpath, top)
        for name in dirnames + filenames:
            info = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
            key = os.path.normpath(os.path.join(relative, name))
            mode = stat.S_IMODE(info.st_mode)
            if stat.S_ISLNK(info.st_mode):
                tree[key] = ("l", os.readlink(name, dir_fd=dir_fd))
            elif stat.S_ISDIR(info.st_mode):
                tree[key] = ("d", mode)
            elif stat.S_ISREG(info.st_mode):
                tree[key] = ("f", mode) + file_digest(name, dir_fd)
                if list_contents is not None and name in LIST_NAMES:
                    descriptor = os.open(name, os.O_RDONLY | os.O_NOFOLLOW, dir_fd=dir_fd)
                    with os.fdopen(descriptor, "rb") as data:
                        list_contents[key] = data.read()
            else:
                tree[key] = ("o", mode)
    return tree


def digest_of(data):
    return hashlib.sha256(data).hexdigest()


# -- running the program ---------------------------------------------------------------------
# Starts the program as a child of a small fresh process and reports the child's peak resident
# memory. (A process forked straight from this test would start its count at the test's own
# size: the peak survives exec.)
MEASURE = """
import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
with open(sys.argv[1], "w") as out:
    out.write(str(usage.ru_maxrss))
os._exit(os.waitstatus_to_exitcode(status) & 0xFF)
"""


class Run:
    """One chklist process: its output and exit status, and with `measure` its peak resident
    memory in MB."""

    def __init__(self, cwd, preexec_fn=None, env=None, measure=False):
        self.out_file = tempfile.TemporaryFile()
        self.err_file = tempfile.TemporaryFile()
        self.started = time.monotonic()
        command = [CHKLIST]
        self.rss_file = None
        if measure:
            self.rss_file = tempfile.NamedTemporaryFile(delete=False)
            self.rss_file.close()
            command = [sys.executable, "-c", MEASURE, self.rss_file.name, CHKLIST]
        self.process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL,
                                        stdout=self.out_file, stderr=self.err_file,
                                        preexec_fn=preexec_fn, env=env)
        self.pid = self.process.pid

    def signal(self, number):
        os.kill(self.pid, number)

    def wait(self, timeout=120):
        timer = threading.Timer(timeout, os.kill, (self.pid, signal.SIGKILL))
        timer.start()
        _, status, usage = os.wait4(self.pid, 0)
        timer.cancel()
        self.elapsed = time.monotonic() - self.started
        self.returncode = os.waitstatus_to_exitcode(status)
        self.process.returncode = self.returncode
        if self.rss_file is not None:
            with open(self.rss_file.name) as measured:
                self.peak_rss_mb = int(measured.read() or 0) / 1024.0
            os.unlink(self.rss_file.name)
        self.out_file.seek(0)
        self.err_file.seek(0)
        self.out = self.out_file.read()
        self.err = self.err_file.read()
        self.out_file.close()
        self.err_file.close()
        return self


def process_state(pid):
    """The state letter of a process (R, S, T for stopped, Z when ended), "" when reaped."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as info:
            return info.read().rsplit(b")", 1)[1].split()[0].decode()
    except OSError:
        return ""


def alive(pid):
    """True while the process runs (a zombie has ended); never reaps it."""
    return process_state(pid) not in ("Z", "")


def reading(pid, path):
    """True when the process holds `path` open and has read part of it, not all."""
    try:
        for name in os.listdir("/proc/%d/fd" % pid):
            if os.readlink("/proc/%d/fd/%s" % (pid, name)) == path:
                with open("/proc/%d/fdinfo/%s" % (pid, name)) as info:
                    position = int(info.readline().split()[1])
                return 0 < position < os.path.getsize(path)
    except (OSError, ValueError, IndexError):
        pass
    return False


def require_proc(test):
    if not os.path.isdir("/proc/self/fd"):
        test.skipTest("needs /proc to see which files the run holds open")


def with_limit(which, limit):
    """A preexec_fn that sets the resource limit `which`. Under RLIMIT_FSIZE SIGXFSZ stays at its
    default action, as shells leave it: the program must not die of it."""
    return lambda: resource.setrlimit(which, (limit, limit))


def require_plain_build(test):
    """AddressSanitizer reserves far more address space than a limit leaves, and its operator new
    ends the process where a plain build's throws."""
    with open(CHKLIST, "rb") as program:
        if b"__asan_init" in program.read():
            test.skipTest("needs a build without sanitizers to run under an address-space limit")


def require_root(test):
    if os.geteuid() != 0:
        test.skipTest("needs root to run the program as an unprivileged user or to mount")


class FaultTest(unittest.TestCase):
    """A scratch tree, the snapshot taken before the run, and the rule every scenario obeys."""

    def setUp(self):
        self.scratch = os.path.realpath(tempfile.mkdtemp(prefix="chklist-faults-"))
        os.chmod(self.scratch, 0o755)
        self.root = os.path.join(self.scratch, "tree")
        os.mkdir(self.root)
        self.outside = os.path.join(self.scratch, "outside")
        os.mkdir(self.outside)

    def tearDown(self):
        if getattr(self, "mounted", False):
            subprocess.run(["umount", self.root], check=False)
            self.mounted = False
        for dirpath, dirnames, _, dir_fd in os.fwalk(self.scratch):
            for name in dirnames:
                if not os.path.islink(os.path.join(dirpath, name)):
                    try:
                        os.chmod(name, 0o755, dir_fd=dir_fd)
                    except OSError:
                        pass
        subprocess.run(["rm", "-rf", "--", self.scratch], check=False)

    # -- building trees ------------------------------------------------------------------
    def path(self, relative):
        return os.path.join(self.root, relative)

    def own_log(self, owner):
        """A chklist.log of `owner` alone, as a run of that user requires."""
        log = self.path("chklist.log")
        if not os.path.exists(log):
            self.write("chklist.log", b"", mode=0o600)
        os.chown(log, owner, owner)

    def write(self, relative, data, mode=0o644):
        full = self.path(relative) if isinstance(relative, str) else os.path.join(
            os.fsencode(self.root), relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            out.write(data)
        os.chmod(full, mode)
        return full

    def read(self, relative):
        with open(self.path(relative), "rb") as data:
            return data.read()

    def log(self):
        """The log's bytes; nothing when it is not a regular file."""
        try:
            if not stat.S_ISREG(os.lstat(self.path("chklist.log")).st_mode):
                return b""
            return self.read("chklist.log")
        except (FileNotFoundError, PermissionError):
            return b""

    # -- the rule ------------------------------------------------------------------------
    def begin(self):
        """Snapshot of the tree and of the outside directory before a run."""
        self.originals = {}
        self.before = snapshot(self.root, self.originals)
        self.outside_before = snapshot(self.outside)
        self.cleaned_digests = {key: digest_of(cleaned(data))
                                for key, data in self.originals.items()}

    def judge(self, changed_by_others=()):
        """Checks the rule against the snapshot taken by begin(); returns relative path ->
        "original" or "cleaned" for every list file (a file that is both counts as cleaned).
        `changed_by_others`: list files another process changed during the run; they must end
        as that process left them, checked by the scenario."""
        after = snapshot(self.root)
        self.assertEqual(snapshot(self.outside), self.outside_before,
                         "something outside the tree was touched")
        outcome = {}
        for key in sorted(set(self.before) | set(after)):
            if b"/" not in key and key in TEMPORARY_NAMES:
                continue
            if COPY_LEFTOVER.match(key) and (key not in self.before or key not in after):
                # A copy left beside a list (by this run when it was stopped, or removed by it
                # as an earlier run's leftover).
                self.assertEqual(after.get(key, self.before.get(key))[0], "f", key)
                continue
            if key in self.originals and key not in changed_by_others:
                self.assertIn(key, after, b"list file missing: " + key)
                kind, mode, digest, _ = after[key]
                self.assertEqual((kind, mode), self.before[key][:2], key)
                if digest == self.cleaned_digests[key]:
                    outcome[key] = "cleaned"
                elif digest == self.before[key][2]:
                    outcome[key] = "original"
                else:
                    self.fail(b"list file neither as it was nor fully cleaned: " + key)
            elif key not in changed_by_others:
                self.assertEqual(after.get(key), self.before.get(key),
                                 b"touched: " + key)
        self.check_log_covers(outcome)
        return outcome

    def check_log_covers(self, outcome):
        """Every entry a cleaned list file dropped has a record (perhaps more than one)."""
        paths = {os.path.join(os.fsencode(self.root), key): key for key in self.originals}
        records = log_records(self.log(), paths)
        for full, key in paths.items():
            if outcome.get(key) != "cleaned":
                continue
            for entry, count in collections.Counter(dropped(self.originals[key])).items():
                self.assertGreaterEqual(records[(full, entry)], count,
                                        b"dropped without a record: " + key + b": " + entry[:80])

    def fresh_tree(self):
        """A scratch tree of its own for the next case of a test."""
        self.tearDown()
        self.setUp()

    def copies_in_tree(self):
        """The names of the cleaned copies anywhere in the tree."""
        return [name for _, _, names in os.walk(self.root) for name in names
                if name.startswith(".chklist-copy-")]

    def no_temporary_files_left(self):
        for name in ("list.tmp", "blist.dir", "wlist.dir", "chklist.lock"):
            self.assertFalse(os.path.lexists(self.path(name)), name)


def entries_file(count, seed, bad_every=3):
    """A list file of `count` distinct entries, every `bad_every`-th one too short or without
    an "@", LF line ends."""
    lines = []
    for index in range(count):
        if index % bad_every == 1:
            lines.append(b"bad%d-%d" % (seed, index) if index % 2 else b"x%d" % index)
        else:
            lines.append(b"user%d.%d@example.org" % (seed, index))
    return b"\n".join(lines) + b"\n"


# -- disk and size limits ----------------------------------------------------------------------
class WriteFailures(FaultTest):
    def build_mixed_sizes(self):
        self.write("a/blacklist.txt", entries_file(40, 1))
        self.write("big/blacklist.txt", entries_file(30000, 2, bad_every=1000))
        self.write("c/whitelist.txt", entries_file(40, 3))

    def in_private_mount_namespace(self, inner):
        """Runs the scenario `inner` of this class in a child process with a mount namespace of
        its own, so that nothing it mounts leaks into the machine's mounts even when the test is
        killed."""
        require_root(self)
        if shutil.which("unshare") is None:
            self.skipTest("unshare is not installed")
        inner = subprocess.run(
            ["unshare", "-m", "--propagation", "private", sys.executable, __file__, CHKLIST,
             "WriteFailures." + inner], capture_output=True, timeout=300)
        if inner.returncode == 77:
            self.skipTest(inner.stderr.decode(errors="replace").strip())
        self.assertEqual(inner.returncode, 0, inner.stderr.decode(errors="replace"))

    def mount_tmpfs(self, size):
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=755" % size,
                                  "chklist-faults", self.root], capture_output=True)
        if mounted.returncode != 0:
            sys.stderr.write("cannot mount a tmpfs: %s" % mounted.stderr.decode())
            os._exit(77)
        self.mounted = True

    def test_disk_full_while_writing_the_cleaned_copy(self):
        self.in_private_mount_namespace("inner_disk_full")

    def inner_disk_full(self):
        self.mount_tmpfs("1200k")
        self.build_mixed_sizes()  # the big list (about 700 kB) and its copy do not both fit
        self.begin()
        run = Run(self.root).wait()
        outcome = self.judge()
        self.assertEqual(outcome[b"big/blacklist.txt"], "original")
        self.assertEqual(outcome[b"a/blacklist.txt"], "cleaned")
        self.assertEqual(outcome[b"c/whitelist.txt"], "cleaned")
        self.assertRegex(run.out, rb"/big/blacklist.txt #* not cleaned: cannot write its cleaned "
                                  rb"copy: No space left on device\r\n")
        self.no_temporary_files_left()

    def test_file_size_limit_on_the_cleaned_copy(self):
        self.build_mixed_sizes()
        self.begin()
        run = Run(self.root, preexec_fn=with_limit(resource.RLIMIT_FSIZE, 400 * 1024)).wait()
        outcome = self.judge()
        self.assertEqual(outcome, {b"a/blacklist.txt": "cleaned", b"big/blacklist.txt": "original",
                                   b"c/whitelist.txt": "cleaned"})
        self.assertIn(b" not cleaned: cannot write its cleaned copy: File too large\r\n", run.out)
        self.no_temporary_files_left()

    # -- a file list that cannot be written: said, and not left behind --------------------
    def build_long_paths(self):
        for index in range(20):
            self.write("directory-with-a-long-name-%02d/blacklist.txt" % index,
                       b"bad\nkeep@example.org\n")

    def assert_file_lists_gone(self, run):
        self.assertEqual(run.returncode, 0, run.err)
        self.assertEqual(set(self.judge().values()), {"original"})
        self.assertIn(b"Cannot write the file list blist.dir: no blacklist.txt is checked\r\n",
                      run.out)
        self.no_temporary_files_left()

    def test_file_list_beyond_the_file_size_limit_is_not_left(self):
        # `ulimit -f`: the first paths fit, the rest do not.
        self.build_long_paths()
        self.begin()
        self.assert_file_lists_gone(Run(self.root, preexec_fn=with_limit(resource.RLIMIT_FSIZE, 300)).wait())

    def test_file_list_on_a_full_disk_is_not_left(self):
        self.in_private_mount_namespace("inner_file_list_on_a_full_disk")

    def inner_file_list_on_a_full_disk(self):
        self.mount_tmpfs("256k")
        self.build_long_paths()
        # Whatever room is left is taken: the log and the lock file are empty, the file list is not.
        try:
            with open(self.path("filler"), "wb") as filler:
                while True:
                    filler.write(b"f" * 4096)
                    filler.flush()
        except OSError:
            pass
        self.begin()
        self.assert_file_lists_gone(Run(self.root).wait())

    def test_file_size_limit_reached_by_the_log(self):
        # The log is already near the limit and ends inside a line (a record cut short by an
        # older run): the run's first record starts on a new line. The records of a list file
        # cannot all be written, so that list file must stay as it was, and the log is cut back
        # to the end of its last whole record. The list before it waits in the same batch for
        # its records to be made durable: it stays as it was too, and says so.
        old = b"x" * (60 * 1024 - 300)
        self.write("chklist.log", old)
        self.write("a/blacklist.txt", entries_file(9, 1))
        self.write("b/blacklist.txt", entries_file(300, 2, bad_every=2))
        self.begin()
        run = Run(self.root, preexec_fn=with_limit(resource.RLIMIT_FSIZE, 60 * 1024)).wait()
        self.assertEqual(run.returncode, 0, run.err)
        outcome = self.judge()
        self.assertEqual(outcome[b"a/blacklist.txt"], "original")
        self.assertEqual(outcome[b"b/blacklist.txt"], "original")
        for name in (b"a", b"b"):
            self.assertRegex(run.out, rb"Not cleaned: \S*/" + name + rb"/blacklist.txt could not "
                                      rb"be replaced: cannot write chklist.log\r\n")
        self.no_temporary_files_left()
        log = self.log()
        self.assertEqual(log[:len(old) + 2], old + b"\r\n")
        self.assertLessEqual(len(log), 60 * 1024)
        self.assert_whole_records(log[len(old) + 2:])
        # Without the limit the next run finishes the job, its records whole after the others.
        self.begin()
        self.assertEqual(Run(self.root).wait().returncode, 0)
        self.assertEqual(self.judge(), {b"a/blacklist.txt": "cleaned",
                                        b"b/blacklist.txt": "cleaned"})
        self.assert_whole_records(self.log()[len(old) + 2:])

    def assert_whole_records(self, records):
        """`records` is nothing but whole log records."""
        self.assertTrue(records.endswith(b"\r\n"), records[-200:])
        for record in records.split(b"\r\n")[:-1]:
            self.assertIsNotNone(RECORD.match(record), record)
            self.assertIn(b"/blacklist.txt ", record)


# -- permissions -----------------------------------------------------------------------------
class Permissions(FaultTest):
    def test_unreadable_files_and_read_only_directories(self):
        require_root(self)
        os.chmod(self.root, 0o777)
        body = b"bad\nkeep@example.org\nx\n"
        self.write("ok/blacklist.txt", body, mode=0o666)
        self.write("unreadable/blacklist.txt", body, mode=0o200)
        self.write("rodir/blacklist.txt", body, mode=0o666)
        self.write("closed/blacklist.txt", body, mode=0o666)
        self.write("sticky/blacklist.txt", body, mode=0o666)  # owned by root in a sticky dir
        self.write("ok/whitelist.txt", body, mode=0o640)
        for directory in ("ok", "unreadable"):
            os.chmod(self.path(directory), 0o777)
        os.chmod(self.path("rodir"), 0o555)
        os.chmod(self.path("closed"), 0o000)
        os.chmod(self.path("sticky"), 0o1777)
        # Its own files: a replacement made by another user could not keep a root-owned file's
        # owner and group.
        for name in ("ok/blacklist.txt", "ok/whitelist.txt"):
            os.chown(self.path(name), NOBODY, NOBODY)
        self.begin()
        run = Run(self.root, preexec_fn=drop_to_nobody).wait()
        outcome = self.judge()
        self.assertEqual(outcome, {
            b"ok/blacklist.txt": "cleaned", b"ok/whitelist.txt": "cleaned",
            b"unreadable/blacklist.txt": "original", b"rodir/blacklist.txt": "original",
            b"closed/blacklist.txt": "original", b"sticky/blacklist.txt": "original"})
        self.assertIn(b"/unreadable/blacklist.txt not cleaned: cannot open the file\r\n", run.out)
        self.assertIn(b"/rodir/blacklist.txt not cleaned: cannot create its cleaned copy: "
                      b"Permission denied", run.out)
        self.assertIn(b"/sticky/blacklist.txt could not be replaced", run.out)
        self.no_temporary_files_left()

    def test_read_only_working_directory(self):
        require_root(self)
        self.own_log(NOBODY)
        self.write("d/blacklist.txt", b"bad\nkeep@example.org\n", mode=0o666)
        os.chmod(self.path("d"), 0o777)
        os.chmod(self.root, 0o555)  # no lock file, "blist.dir" nor "list.tmp" can be made here
        self.begin()
        run = Run(self.root, preexec_fn=drop_to_nobody).wait()
        self.assertEqual(self.judge(), {b"d/blacklist.txt": "original"})
        self.assertEqual(b"Cannot lock this directory against another chklist run: chklist.lock: "
                         b"it cannot be created: Permission denied; no list file is changed\r\n",
                         run.out)


# -- interruption ----------------------------------------------------------------------------
class Interruption(FaultTest):
    SMALL_LISTS = 36

    def build(self):
        for index in range(self.SMALL_LISTS):
            kind = "blacklist.txt" if index % 3 else "whitelist.txt"
            self.write("d%02d/%s" % (index, kind), entries_file(60, index))
        self.write("d17/m/blacklist.txt", entries_file(200000, 99, bad_every=5))

    def interrupt_at_moments(self, number, moments):
        """Runs once undisturbed for the end state and its duration, then `moments` times: a
        run stopped by signal `number` at a moment spread over that duration, judged; then a
        second run that must finish the job."""
        self.build()
        self.begin()
        reference = Run(self.root).wait()
        self.assertEqual(reference.returncode, 0)
        self.judge()
        expected = snapshot(self.root)
        del expected[b"chklist.log"]
        duration = reference.elapsed
        # Per moment: the list files cleaned when stopped, and the cleaned copies left staged
        # beside their lists (a batch stopped before it closed).
        states = []

        def stop_at(delay):
            shutil.rmtree(self.root)
            os.mkdir(self.root)
            self.build()
            self.begin()
            run = Run(self.root)
            time.sleep(delay)
            run.signal(number)
            run.wait()
            if number != signal.SIGKILL and run.returncode != 0:
                # Caught: the run's own files are gone, and the signal still ended it.
                self.assertEqual(run.returncode, -number)
                self.no_temporary_files_left()
                self.assertEqual(self.copies_in_tree(), [])
            outcome = self.judge()
            staged = len(self.copies_in_tree())
            states.append((sum(1 for state in outcome.values() if state == "cleaned"), staged))
            finish = Run(self.root).wait()
            self.assertEqual(finish.returncode, 0)
            self.judge()
            final = snapshot(self.root)
            del final[b"chklist.log"]
            self.assertEqual(final, expected, "the second run did not finish the job")

        for moment in range(moments):
            stop_at(0.85 * duration * (moment + 0.5) / moments)
        # The moments must fall inside the run, not all before or after it, nor all in its
        # longest file. On a machine whose speed changes between runs they may not: then the
        # moments are spread again over a span of twice the measured duration.
        if len(set(states)) <= 2:
            for moment in range(moments):
                stop_at(2 * duration * (moment + 0.5) / moments)
        FIGURES["interrupted by %s" % signal.Signals(number).name] = (
            "%d moments over %.2f s; (list files cleaned, copies staged) when stopped: %s"
            % (len(states), duration, states))
        self.assertGreater(len(set(states)), 2, states)

    def take_lock(self):
        self.lock = os.open(self.path("chklist.lock"), os.O_RDWR | os.O_CREAT, 0o600)
        fcntl.lockf(self.lock, fcntl.LOCK_EX)

    def test_a_signal_ends_the_run_within_a_second_wherever_it_is(self):
        # Inside a long list, inside the directory search of a wide tree, in the wait for the
        # lock: the run's own files go and the signal ends it within a second. A run stopped
        # while it waited for the lock has created nothing, not even chklist.log.
        require_proc(self)
        def long_list():
            with open(self.write("big/blacklist.txt", b"bad\n"), "ab") as out:
                line = b"someone.somewhere@example.org\n" * 4096
                for _ in range(1500):  # about 180 MB
                    out.write(line)
            return lambda run: reading(run.pid, self.path("big/blacklist.txt"))

        def sparse_petabyte():
            # Not snapshotted (a petabyte cannot be read whole): its inode and size must stay.
            path = self.write("big/blacklist.txt", b"")
            try:
                os.truncate(path, 1 << 50)
            except OSError:
                os.truncate(path, 1 << 43)
            self.write("big/whitelist.txt", b"bad\nkeep@example.org\n")
            before = os.stat(path)

            def ready(run):
                return reading(run.pid, path)
            ready.unsnapshotted = lambda: self.assertEqual(
                (os.stat(path).st_ino, os.stat(path).st_size), (before.st_ino, before.st_size))
            return ready

        def wide_tree():
            for index in range(6000):
                os.makedirs(self.path("w/%02d/%04d" % (index % 60, index)))
            self.write("w/00/0000/blacklist.txt", b"bad\nkeep@example.org\n")
            return lambda run: os.path.exists(self.path("blist.dir"))

        def held_lock():
            self.write("d/blacklist.txt", b"bad\nkeep@example.org\n")

            def ready(run):
                return b"Waiting" in os.pread(run.out_file.fileno(), 4096, 0)
            # Taken once the tree is snapshotted: closing any descriptor of the lock file in
            # this process (as a snapshot does) would let the lock go.
            ready.before_run = self.take_lock
            return ready

        for where, build, number, said in (
                ("inside a long list", long_list, signal.SIGTERM,
                 b"/big/blacklist.txt # not cleaned: the run was interrupted"),
                ("inside a line of a sparse petabyte", sparse_petabyte, signal.SIGTERM,
                 b"/big/blacklist.txt not cleaned: the run was interrupted"),
                ("inside the directory search", wide_tree, signal.SIGINT, None),
                ("waiting for the lock", held_lock, signal.SIGHUP, b"Waiting")):
            with self.subTest(where=where, signal=number):
                self.fresh_tree()
                self.lock = None
                ready = build()
                unsnapshotted = getattr(ready, "unsnapshotted", None)
                if unsnapshotted is None:
                    self.begin()
                getattr(ready, "before_run", lambda: None)()
                run = Run(self.root)
                deadline = time.monotonic() + 60
                while not ready(run) and alive(run.pid) and time.monotonic() < deadline:
                    time.sleep(0.002)
                if not alive(run.pid):
                    self.skipTest("the run ended before it was " + where)
                signalled = time.monotonic()
                run.signal(number)
                run.wait()
                stopped_after = time.monotonic() - signalled
                self.assertEqual(run.returncode, -number, run.out[-500:])
                FIGURES["stopped by %s %s" % (signal.Signals(number).name, where)] = (
                    "%.3f s after the signal" % stopped_after)
                self.assertLess(stopped_after, 1.0)
                if said is not None:
                    self.assertIn(said, run.out)
                if self.lock is not None:
                    self.assertFalse(os.path.lexists(self.path("chklist.log")),
                                     "the waiting run created the log")
                    os.unlink(self.path("chklist.lock"))
                    os.close(self.lock)
                if unsnapshotted is None:
                    self.judge()
                else:
                    unsnapshotted()
                self.no_temporary_files_left()
                self.assertEqual(self.copies_in_tree(), [])

    def test_sigkill_at_many_moments(self):
        self.interrupt_at_moments(signal.SIGKILL, 22)

    def test_sigint_at_many_moments(self):
        self.interrupt_at_moments(signal.SIGINT, 10)

    def test_sigterm_at_many_moments(self):
        self.interrupt_at_moments(signal.SIGTERM, 10)

    def test_sighup_at_many_moments(self):
        self.interrupt_at_moments(signal.SIGHUP, 6)


class Concurrency(FaultTest):
    def test_three_runs_started_together(self):
        for index in range(24):
            kind = "whitelist.txt" if index % 4 == 0 else "blacklist.txt"
            self.write("d%02d/%s" % (index, kind), entries_file(400, index))
        self.begin()
        runs = [Run(self.root) for _ in range(3)]
        for run in runs:
            self.assertEqual(run.wait().returncode, 0)
        outcome = self.judge()
        self.assertEqual(set(outcome.values()), {"cleaned"})
        # Later runs find nothing left to drop: each dropped entry is recorded exactly once.
        records = log_records(self.log(), {os.path.join(os.fsencode(self.root), key)
                                           for key in self.originals})
        self.assertEqual(sum(records.values()),
                         sum(len(dropped(data)) for data in self.originals.values()))
        self.no_temporary_files_left()

    def changed_while_read(self, change):
        """Stops the run while it holds the big list file open, lets `change` alter that file,
        and continues the run. Returns the run, or None when the run got past the file before
        it could be stopped."""
        big = self.write("big/blacklist.txt", entries_file(150000, 7))
        self.write("a/blacklist.txt", entries_file(30, 1))
        self.begin()
        run = Run(self.root)
        caught = False
        while alive(run.pid) and not caught:
            if reading(run.pid, big):
                run.signal(signal.SIGSTOP)
                caught = reading(run.pid, big)  # still reading once stopped?
                if caught:
                    change(big)
                run.signal(signal.SIGCONT)
        run.wait()
        return run if caught else None

    def check_change_detected(self, change, describe):
        require_proc(self)
        for _ in range(10):
            run = self.changed_while_read(change)
            if run is not None:
                break
            shutil.rmtree(self.root)
            os.mkdir(self.root)
        else:
            self.fail("the run never held the big list file open long enough to stop it")
        outcome = self.judge(changed_by_others={b"big/blacklist.txt"})
        self.assertEqual(outcome, {b"a/blacklist.txt": "cleaned"})
        self.assertEqual(self.read("big/blacklist.txt"), describe)
        self.assertRegex(
            run.out, rb"/big/blacklist.txt #* not cleaned: the file changed while it was read\r\n")
        self.no_temporary_files_left()

    def test_list_file_grown_while_read(self):
        added = b"late@example.org\nlate\n"
        original = entries_file(150000, 7)

        def grow(path):
            with open(path, "ab") as out:
                out.write(added)
        self.check_change_detected(grow, original + added)

    def test_list_file_replaced_while_read(self):
        replacement = b"other@example.org\nother\n"

        def replace(path):
            with open(path + ".new", "wb") as out:
                out.write(replacement)
            os.chmod(path + ".new", 0o644)
            os.rename(path + ".new", path)
        self.check_change_detected(replace, replacement)

    def test_list_file_rewritten_in_place_at_the_same_size(self):
        original = entries_file(150000, 7)
        rewritten = original.replace(b"user7.0@", b"USER7.0@", 1)

        def rewrite(path):
            with open(path, "r+b") as out:
                out.write(rewritten)
        self.check_change_detected(rewrite, rewritten)

    def test_list_file_rewritten_in_place_with_its_time_restored(self):
        # As a copy tool that keeps times does it: same size, same modification time, new
        # content. Only the status-change time tells.
        original = entries_file(150000, 7)
        rewritten = original.replace(b"user7.0@", b"USER7.0@", 1)

        def rewrite(path):
            before = os.stat(path)
            with open(path, "r+b") as out:
                out.write(rewritten)
            os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
            after = os.stat(path)
            self.assertEqual((after.st_size, after.st_mtime_ns),
                             (before.st_size, before.st_mtime_ns))
        self.check_change_detected(rewrite, rewritten)

    def run_stopped_at(self, functions, shell_command, then_kill=False, on_return=False):
        """Runs chklist under gdb, stopped at the first call of any of `functions` (with
        `on_return`, once that call returned), where `shell_command` runs; then it goes on, or
        with `then_kill` is killed there. Skips when gdb cannot do that here."""
        gdb = shutil.which("gdb")
        if gdb is None:
            self.skipTest("gdb is not installed")
        breaks = []
        for function in functions:
            breaks += ["-ex", "break " + function]
        traced = subprocess.run(
            [gdb, "-q", "-batch", "-ex", "set breakpoint pending on", *breaks, "-ex", "run",
             *(["-ex", "finish"] if on_return else []), "-ex", "shell " + shell_command,
             *(["-ex", "kill"] if then_kill else ["-ex", "delete", "-ex", "continue"]),
             "--args", CHKLIST], cwd=self.root, stdin=subprocess.DEVNULL, capture_output=True,
            timeout=300)
        if b"Breakpoint 1," not in traced.stdout and b"Breakpoint 2," not in traced.stdout:
            self.skipTest("gdb could not stop the run: %s" % traced.stderr.decode(errors="replace"))
        return traced.stdout

    def test_entry_appended_while_the_copy_is_made_durable(self):
        # The last look at the list file comes after the cleaned copy is synced: an entry
        # appended while that sync runs (long for a big copy on a disk) is not lost. The run is
        # stopped at its first fsync (the copy's: the list drops nothing, so the log needs none).
        original = b"".join(b"user%d@example.org\n" % index for index in range(2000))
        big = self.write("big/blacklist.txt", original)
        self.own_log(0)  # an existing log: the run's directory needs no sync for its name
        self.begin()
        out = self.run_stopped_at(["fsync"], "printf 'late@example.org\\n' >> '%s'" % big)
        self.assertEqual(self.read("big/blacklist.txt"), original + b"late@example.org\n")
        self.assertIn(b"changed while it was read", out)
        self.no_temporary_files_left()

    def test_list_edited_while_its_batch_waits(self):
        # A staged list is looked at once more when its batch closes: an entry appended while
        # the batch's copies are made durable is not lost; that list alone stays as it is and
        # says so, its staged copy removed.
        self.write("a/blacklist.txt", b"keep@example.org\nbad\n")
        edited = self.write("b/blacklist.txt", b"keep@example.org\nbad\n")
        self.own_log(0)
        self.begin()
        out = self.run_stopped_at(["fdatasync"], "printf 'late@example.org\\n' >> '%s'" % edited)
        self.assertEqual(self.read("b/blacklist.txt"), b"keep@example.org\nbad\nlate@example.org\n")
        self.assertEqual(self.read("a/blacklist.txt"), b"keep@example.org\r\n")
        self.assertIn(b"Not cleaned: " + os.fsencode(edited) + b" changed while it was read\r\n",
                      out)
        self.assertEqual(sorted(os.listdir(self.path("b"))), ["blacklist.txt"])
        self.no_temporary_files_left()

    def test_staged_copy_swapped_or_log_cut_while_the_batch_waits(self):
        # While the batch's copies are made durable: another file put at a list's staged name
        # never passes for the cleaned list; while the log is, a log emptied by a rotation that
        # copies it (its records may be lost) replaces no list of the batch.
        cases = {
            "staged copy swapped": ("fdatasync", "mv -f '{theirs}' '{staged}'",
                                    b"Not cleaned: {list} changed while it was read\r\n"),
            "log copied and cut": ("fsync", "cp '{log}' '{log}.1' && truncate -s 0 '{log}'",
                                   b"Not cleaned: {list} could not be replaced: chklist.log was "
                                   b"cut short while its records were written\r\n"),
        }
        for name, (stop, change, said) in cases.items():
            with self.subTest(case=name):
                self.fresh_tree()
                original = b"keep@example.org\nbad\n"
                listed = self.write("d/blacklist.txt", original)
                self.write("theirs", b"attacker@example.org\r\n", mode=0o644)
                self.own_log(0)
                self.begin()
                command = change.format(theirs=self.path("theirs"), log=self.path("chklist.log"),
                                        staged=self.path("d/.chklist-copy-blacklist.txt"))
                out = self.run_stopped_at([stop], command)
                self.assertEqual(self.read("d/blacklist.txt"), original)
                self.assertIn(said.replace(b"{list}", os.fsencode(listed)), out)
                self.no_temporary_files_left()

    def test_killed_between_staging_and_the_batch_sync(self):
        # Killed while its batch's copies wait beside their lists: every list is as it was, and
        # the next run removes the staged copies with one look each and finishes the job, also
        # the one given another user's list's owner.
        for name in ("a", "b"):
            self.write(name + "/blacklist.txt", b"keep@example.org\nbad\n")
        if os.geteuid() == 0:
            os.chown(self.path("b/blacklist.txt"), NOBODY, NOBODY)
        self.own_log(0)
        self.begin()
        self.run_stopped_at(["fdatasync"], "true", then_kill=True)
        self.assertEqual(self.judge(), {b"a/blacklist.txt": "original",
                                        b"b/blacklist.txt": "original"})
        self.assertEqual(self.copies_in_tree(), [".chklist-copy-blacklist.txt"] * 2)
        self.assertEqual(Run(self.root).wait().returncode, 0)
        self.assertEqual(self.judge(), {b"a/blacklist.txt": "cleaned",
                                        b"b/blacklist.txt": "cleaned"})
        for name in ("a", "b"):
            self.assertEqual(os.listdir(self.path(name)), ["blacklist.txt"])
        self.no_temporary_files_left()

    def test_what_the_exchange_meets_is_never_lost(self):
        # At the moment the staged copy and the list exchange names, another user who can write
        # the list's directory swaps the staged copy for a file of theirs (by a rename, or a new
        # file of the same size and time), or the list's owner appends an entry or saves the list
        # by rename (vim, sed -i). Their file never takes the list's place, and the edit stays.
        staged = "d/.chklist-copy-blacklist.txt"
        original = b"keep@example.org\nbad\n"
        cases = {
            "copy renamed over": ("mv -f '{theirs}' '{staged}'", original),
            "copy made anew": ("rm -f '{staged}' && cp '{theirs}' '{staged}' && "
                               "touch -r '{theirs}' '{staged}'", original),
            "copy removed": ("rm -f '{staged}'", original),
            "entry appended": ("echo late@example.org >> '{list}'",
                               original + b"late@example.org\n"),
            "saved by rename": ("printf 'saved@example.org\\n' > '{list}.new' && "
                                "mv '{list}.new' '{list}'", b"saved@example.org\n"),
            # Just after the exchange: the names go back, and the save is kept beside the list.
            "saved by rename after": ("printf 'saved@example.org\\n' > '{list}.new' && "
                                      "mv '{list}.new' '{list}'", original),
        }
        for name, (edit, kept) in cases.items():
            with self.subTest(edit=name):
                self.fresh_tree()
                self.write("d/blacklist.txt", original, mode=0o666)
                self.write("theirs", b"attacker@example.org\r\n", mode=0o600)
                self.begin()
                command = edit.format(theirs=self.path("theirs"), staged=self.path(staged),
                                      list=self.path("d/blacklist.txt"))
                after = name.endswith("after")
                out = self.run_stopped_at(["renameat2"], command, on_return=after)
                self.assertEqual(self.read("d/blacklist.txt"), kept)
                removed = name == "copy removed"
                self.assertIn(b"Not cleaned: " + os.fsencode(self.path("d/blacklist.txt")) + (
                    b" could not be replaced: its cleaned copy was moved or removed meanwhile"
                    if removed else b" changed while it was read"), out)
                # What took the copy's or the list's place is someone's: kept under a name of
                # its own, which no later run takes for a leftover.
                others = set(os.listdir(self.path("d"))) - {"blacklist.txt"}
                if removed or ("copy" not in name and not after):
                    self.assertEqual(others, set())
                    continue
                self.assertEqual(len(others), 1, others)
                kept_name = others.pop()
                self.assertTrue(kept_name.startswith("blacklist.txt-"), kept_name)
                self.assertIn(b"is kept beside it as " + os.fsencode(kept_name), out)
                self.assertEqual(self.read("d/" + kept_name), b"saved@example.org\n" if after
                                 else b"attacker@example.org\r\n")
                if not after:  # theirs, as they made it: not given the list's access
                    self.assertEqual(stat.S_IMODE(os.stat(self.path("d/" + kept_name)).st_mode),
                                     0o600)
                Run(self.root).wait()
                self.assertIn(kept_name, os.listdir(self.path("d")))

    def test_a_directory_moved_out_of_the_tree_before_its_commit_stays_as_it_went(self):
        # Another user who can write a list's parent moves the list's directory out of the tree
        # while its copy waits for the batch, and may put another directory at that path, with a
        # list of its own or a link of the list moved: nothing outside the tree is replaced, the
        # list at the path is left as it is, and the console says the list was not cleaned.
        original = b"keep@example.org\nbad\n"
        planted = b"planted@example.org\nx\n"
        listed = os.fsencode(self.path("team/d/blacklist.txt"))
        gone = b" could not be replaced: its directory is no longer where it was found"
        decoy = os.path.join(self.scratch, "decoy")
        cases = [
            ("moved away", False, "", None),
            ("another directory in its place", False,
             " && mkdir '%s' && printf 'planted@example.org\\nx\\n' > '%s'" % (
                 self.path("team/d"), self.path("team/d/blacklist.txt")), planted),
            # A link of the list made before the run, in a directory then moved in its place.
            ("another directory with a link of the list in its place", True,
             " && mv '%s' '%s'" % (decoy, self.path("team/d")), original),
        ]
        for name, linked, then, at_path in cases:
            with self.subTest(name):
                shutil.rmtree(self.path("team"), ignore_errors=True)
                shutil.rmtree(os.path.join(self.outside, "d"), ignore_errors=True)
                self.write("team/d/blacklist.txt", original)
                if linked:
                    os.mkdir(decoy)
                    os.link(self.path("team/d/blacklist.txt"),
                            os.path.join(decoy, "blacklist.txt"))
                moved = os.path.join(self.outside, "d")
                self.begin()
                out = self.run_stopped_at(["fdatasync"], "mv '%s' '%s'%s" % (
                    self.path("team/d"), moved, then))
                self.assertIn(b"Not cleaned: " + listed + gone, out)
                self.assertEqual(os.listdir(moved), ["blacklist.txt"])
                with open(os.path.join(moved, "blacklist.txt"), "rb") as moved_list:
                    self.assertEqual(moved_list.read(), original)
                if at_path is not None:
                    self.assertEqual(self.read("team/d/blacklist.txt"), at_path)

    def test_a_file_renamed_over_the_file_list_is_neither_read_nor_removed(self):
        # Anyone who can write the run's directory can rename another private file of the run's
        # user there (a log, a lock, any file) over the file list once the search wrote it. The
        # pass says it checks nothing, and that file stays as it is.
        self.write("d/blacklist.txt", b"keep@example.org\nbad\n")
        self.write("mine", b"/elsewhere/blacklist.txt\r\n", mode=0o600)
        self.begin()
        out = self.run_stopped_at(["runFileSearch"], "mv -f '%s' '%s'" % (
            self.path("mine"), self.path("blist.dir")), on_return=True)
        self.assertIn(b"Cannot read the file list blist.dir: another file took its name after "
                      b"the search wrote it; no blacklist.txt is checked\r\n", out)
        self.assertEqual(self.read("blist.dir"), b"/elsewhere/blacklist.txt\r\n")
        self.assertEqual(self.read("d/blacklist.txt"), b"keep@example.org\nbad\n")

    def test_cleaned_copy_stays_private_until_it_is_complete(self):
        # The copy beside the list is this user's alone while it is written: it is given the
        # list's access only once it holds every kept entry.
        self.write("private/blacklist.txt", b"secret@example.org\nbad\n", mode=0o666)
        self.begin()
        seen = self.path("mode-seen")
        self.run_stopped_at(["giveListsAccess"], "stat -c %%a '%s' > '%s'" % (
            self.path("private/.chklist-copy-blacklist.txt"), seen))
        with open(seen) as mode:
            self.assertEqual(mode.read().strip(), "600")
        os.unlink(seen)
        self.assertEqual(self.read("private/blacklist.txt"), b"secret@example.org\r\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.path("private/blacklist.txt")).st_mode), 0o666)


# -- progress on a terminal ------------------------------------------------------------------
class Terminal(FaultTest):
    @staticmethod
    def read_until(master, shown, wanted, patience):
        """Adds what the terminal shows to `shown` until `wanted(shown)` holds or nothing more
        has arrived for `patience` seconds; returns `shown`."""
        while not wanted(shown):
            ready, _, _ = select.select([master], [], [], patience)
            if not ready:
                break
            try:
                shown += os.read(master, 65536)
            except OSError:  # the program has ended and closed its side
                break
        return shown

    def test_progress_shows_while_a_big_file_is_read(self):
        # The run is stopped (SIGSTOP) while it reads a big list file: what it printed for that
        # file must be on the terminal already, not held until its line ends.
        require_proc(self)
        big = self.write("big/blacklist.txt", entries_file(1000000, 5, bad_every=1000))
        self.begin()
        master, slave = pty.openpty()
        tty.setraw(slave)  # the terminal shows the bytes as written, CR LF and all
        process = subprocess.Popen([CHKLIST], cwd=self.root, stdin=subprocess.DEVNULL,
                                   stdout=slave, stderr=subprocess.DEVNULL)
        os.close(slave)
        checking = b"Checking " + os.fsencode(big) + b" "
        shown, checking_shown, mark_shown = b"", False, False
        try:
            while process.poll() is None and not reading(process.pid, big):
                shown = self.read_until(master, shown, lambda _: False, 0.005)
            # Its line starts as the file is opened.
            process.send_signal(signal.SIGSTOP)
            if reading(process.pid, big):
                shown = self.read_until(master, shown, lambda text: checking in text, 5)
                checking_shown = checking in shown
                # Each mark is printed just after its entry is read: once a tenth of a second
                # has passed since the line went out, the next mark goes out too.
                while checking_shown and not mark_shown and reading(process.pid, big):
                    time.sleep(0.15)
                    process.send_signal(signal.SIGCONT)
                    time.sleep(0.01)
                    process.send_signal(signal.SIGSTOP)
                    shown = self.read_until(master, shown,
                                            lambda text: checking + b"#" in text, 0.5)
                    mark_shown = checking + b"#" in shown
        finally:
            process.send_signal(signal.SIGCONT)
            shown = self.read_until(master, shown, lambda _: False, 30)
            process.wait(timeout=120)
            os.close(master)
        self.assertEqual(process.returncode, 0)
        self.assertEqual(self.judge(), {b"big/blacklist.txt": "cleaned"})
        self.assertTrue(checking_shown, "nothing of the line shown while its file was read")
        self.assertTrue(mark_shown, "no mark shown while the file was read")
        self.assertIn(checking + b"#" * 1000 + b"\r\n", shown)


# -- hostile names ---------------------------------------------------------------------------
HOSTILE_NAMES = [
    b"a b", b"  blanks  ", b'dq"uote', b"sq'uote", b"amp&er", b"pipe|x", b"semi;colon",
    b"lt<gt>", b"caret^", b"bang!", b"dollar$HOME", b"back`touch PWNED`tick", b"paren(x)",
    b"pct%PATH%", b"$(touch PWNED)", b"-rf", b"--help", b"-", b"\xff\xfe\x80latin\xe9",
    b"tab\there", b"star*?[x]", b"back\\slash", b"x" * 200, b'"', b"'", b"y", b"x /s b > y",
    b"move list.tmp z",
]
LINE_BREAK_NAMES = [b"new\nline", b"cr\rname"]


class HostileNames(FaultTest):
    def test_hostile_names_paths_and_links(self):
        body = b"bad\nok@example.org\n"
        # The working directory's own name is hostile too: it is part of every path.
        self.root = os.path.join(self.root, "run $(touch PWNED) 'it'")
        os.mkdir(self.root)
        broot = os.fsencode(self.root)
        for name in HOSTILE_NAMES + LINE_BREAK_NAMES:
            self.write(name + b"/blacklist.txt", body)
            self.write(name + b"/whitelist.txt", body)
        # A directory named blacklist.txt is searched, not cleaned.
        self.write("blacklist.txt/blacklist.txt", body)
        self.write("blacklist.txt/note", b"not a list\n")
        # A link named blacklist.txt to a file outside the tree is neither cleaned nor followed.
        outside_list = os.path.join(self.outside, "blacklist.txt")
        with open(outside_list, "wb") as out:
            out.write(body)
        os.makedirs(self.path("link"))
        os.symlink(outside_list, self.path("link/blacklist.txt"))
        os.symlink(self.outside, self.path("link/outside-dir"))
        # A loop of directory links.
        os.makedirs(self.path("loop/a"))
        os.symlink("../..", self.path("loop/a/up"))
        os.symlink("../loop", self.path("loop/a/again"))
        os.symlink(".", self.path("loop/self"))
        # Paths whose lengths sit at 511-byte edges (510 + k * 511 bytes, then CR LF: a reader
        # working in 511-byte chunks would find an empty line after them), near PATH_MAX and
        # beyond it.
        edges = {}
        for total in (510, 1021, 1532, 4000, 4095, 4300):
            edges[total] = self.nested_list(broot, b"e%d" % total, total, body)
        self.begin()
        run = Run(self.root).wait()
        self.assertEqual(run.returncode, 0)
        outcome = self.judge()
        for name in HOSTILE_NAMES:
            for kind in (b"/blacklist.txt", b"/whitelist.txt"):
                self.assertEqual(outcome[name + kind], "cleaned", name)
        for name in LINE_BREAK_NAMES:
            self.assertEqual(outcome[name + b"/blacklist.txt"], "original", name)
        self.assertEqual(outcome[b"blacklist.txt/blacklist.txt"], "cleaned")
        for total in (510, 1021, 1532, 4000, 4095):
            self.assertEqual(outcome[edges[total]], "cleaned", total)
        FIGURES["path of 4300 bytes (beyond PATH_MAX)"] = outcome[edges[4300]]
        self.assertFalse(os.path.lexists(os.path.join(self.scratch, "PWNED")))
        self.no_temporary_files_left()

    @staticmethod
    def nested_list(broot, stem, total, body):
        """Makes a list file whose absolute path is exactly `total` bytes long, through
        directories of at most 200-byte names, working by descriptors. Returns its relative
        path."""
        remaining = total - len(broot) - 1 - len(b"blacklist.txt")
        parts = []
        first = True
        while remaining > 0:
            length = min(200, remaining - 1) if first or remaining > 201 else remaining - 1
            if remaining - (length + 1) in range(1, 3):  # never leave a part too short to make
                length -= 3
            part = (stem + b"x" * 200)[:max(length, 1)]
            parts.append(part)
            remaining -= len(part) + 1
            first = False
        assert remaining == 0, remaining
        fd = os.open(broot, os.O_RDONLY)
        try:
            for part in parts:
                os.mkdir(part, dir_fd=fd)
                child = os.open(part, os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = child
            out = os.open(b"blacklist.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
            os.write(out, body)
            os.close(out)
        finally:
            os.close(fd)
        relative = b"/".join(parts + [b"blacklist.txt"])
        assert len(broot) + 1 + len(relative) == total
        return relative


# -- temporary files and the log -------------------------------------------------------------
class TemporaryFiles(FaultTest):
    BODY = b"bad\nkeep@example.org\n"

    def test_what_holds_the_staged_name_is_left_or_removed_by_its_rules(self):
        # A staged copy that no live run holds is removed when it is a regular file with one
        # name of this user or of the list's owner; anything else (a directory, another user's
        # file, a second name of a file) stays, and the copy takes a random name instead.
        require_root(self)
        staged = "d/.chklist-copy-blacklist.txt"

        def directory():
            self.write(staged + "/inside", b"precious\n")

        def others_file():
            self.write(staged, b"theirs\n", mode=0o444)
            os.chown(self.path(staged), NOBODY, NOBODY)

        def second_name():
            self.write("other.txt", b"precious\n")
            os.link(self.path("other.txt"), self.path(staged))

        def list_owners_leftover():  # what a killed root run leaves: given the owner's access
            self.write(staged, b"old copy\n", mode=0o644)
            os.chown(self.path(staged), NOBODY, NOBODY)
            os.chown(self.path("d/blacklist.txt"), NOBODY, NOBODY)

        cases = [("a directory", directory, True), ("another user's file", others_file, True),
                 ("a second name", second_name, True),
                 ("the list owner's leftover", list_owners_leftover, False)]
        for name, prepare, stays in cases:
            with self.subTest(holder=name):
                self.fresh_tree()
                self.write("d/blacklist.txt", self.BODY)
                prepare()
                self.begin()
                run = Run(self.root).wait()
                self.assertEqual(self.judge(), {b"d/blacklist.txt": "cleaned"}, run.out)
                self.assertEqual(os.path.lexists(self.path(staged)), stays)
                left = [entry for entry in os.listdir(self.path("d"))
                        if entry.startswith(".chklist-copy-") and entry != os.path.basename(staged)]
                self.assertEqual(left, [])
                if name == "a directory":
                    self.assertEqual(self.read(staged + "/inside"), b"precious\n")
                if name == "a second name":
                    self.assertEqual(self.read("other.txt"), b"precious\n")

    def test_log_that_cannot_be_opened(self):
        require_root(self)
        os.chmod(self.root, 0o777)
        self.write("chklist.log", b"old\r\n", mode=0o444)
        self.write("d/blacklist.txt", self.BODY, mode=0o666)
        os.chmod(self.path("d"), 0o777)
        self.begin()
        run = Run(self.root, preexec_fn=drop_to_nobody).wait()
        self.assertEqual(self.judge(), {b"d/blacklist.txt": "original"})
        self.assertEqual(run.out, b"Cannot open chklist.log: it is another user's file; "
                                  b"no list file is changed\r\n")
        self.assertEqual(self.read("chklist.log"), b"old\r\n")
        # No log, and a directory the run may not write: the system's reason, for the lock file
        # the run makes first.
        os.remove(self.path("chklist.log"))
        os.chmod(self.root, 0o755)
        run = Run(self.root, preexec_fn=drop_to_nobody).wait()
        self.assertEqual(self.judge(), {b"d/blacklist.txt": "original"})
        self.assertEqual(run.out, b"Cannot lock this directory against another chklist run: "
                                  b"chklist.lock: it cannot be created: Permission denied; "
                                  b"no list file is changed\r\n")
        self.assertFalse(os.path.lexists(self.path("chklist.log")))

    def test_fifo_in_place_of_a_working_file_does_not_hang_the_run(self):
        # Opening a FIFO waits for its other end unless asked not to.
        # A FIFO at a staged copy's name stays (a random name is taken); one at a file list's is
        # removed like any stale file of that name.
        expectations = {
            "d/.chklist-copy-blacklist.txt": ({b"d/blacklist.txt": "cleaned",
                                               b"d/whitelist.txt": "cleaned"}, b"Checking"),
            "blist.dir": ({b"d/blacklist.txt": "cleaned", b"d/whitelist.txt": "cleaned"},
                          b"Checking"),
            "chklist.log": ({b"d/blacklist.txt": "original", b"d/whitelist.txt": "original"},
                            b"Cannot open chklist.log: it is not a regular file; "
                            b"no list file is changed"),
        }
        for name, (outcome, said) in expectations.items():
            with self.subTest(name=name):
                self.fresh_tree()
                self.write("d/blacklist.txt", self.BODY)
                self.write("d/whitelist.txt", self.BODY)
                os.mkfifo(self.path(name))
                self.begin()
                run = Run(self.root).wait(timeout=30)
                self.assertEqual(run.returncode, 0, "the run hung on a FIFO named " + name)
                self.assertEqual(self.judge(), outcome)
                self.assertIn(said, run.out)
                if name == "chklist.log":
                    self.assertTrue(stat.S_ISFIFO(os.lstat(self.path(name)).st_mode))


# -- bad bytes -------------------------------------------------------------------------------
class BadBytes(FaultTest):
    CASES = [
        ("a 50 MB line without a line end",
         lambda: b"a" * (25 << 20) + b"@" + b"b" * ((25 << 20) - 1)),
        ("16 MB of NUL bytes", lambda: b"\0" * (16 << 20)),
        ("8 MB of CR bytes", lambda: b"\r" * (8 << 20)),
        ("NUL and CR bytes at 511-byte edges of long lines",
         lambda: b"a@" + b"b" * 508 + b"\0" + b"c" * 100 + b"\n" + b"x@" + b"y" * 508 + b"\r"
         + b"z" * 20 + b"\n" + b"k@" + b"q" * 508 + b"\r\n" + b"ok@example.org\n"),
    ]

    def test_runs_end_and_memory_stays_bounded(self):
        self.write("d/whitelist.txt", b"bad\nkeep@example.org\n")
        baseline = Run(self.root, measure=True).wait().peak_rss_mb
        FIGURES["peak memory, a small tree (baseline)"] = "%.0f MB" % baseline
        for description, make in self.CASES:
            with self.subTest(description):
                self.fresh_tree()
                data = make()
                self.write("blacklist.txt", data)
                self.write("d/whitelist.txt", b"bad\nkeep@example.org\n")
                self.begin()
                run = Run(self.root, measure=True).wait(timeout=120)
                self.assertEqual(run.returncode, 0)
                self.assertEqual(self.judge(), {b"blacklist.txt": "cleaned",
                                                b"d/whitelist.txt": "cleaned"})
                longest = max(len(entry) for entry in read_entries(data))
                FIGURES["peak memory, " + description] = "%.0f MB (longest line %.1f MB)" % (
                    run.peak_rss_mb, longest / 1048576.0)
                # A line is held whole (with the copy made while it grows); nothing else grows
                # with the file.
                self.assertLess(run.peak_rss_mb - baseline, 16 + 4 * longest / 1048576.0)

    def test_line_too_long_for_the_address_space(self):
        # `ulimit -v 200000` and a 256 MB line: that list file is left alone, the run goes on.
        require_plain_build(self)
        self.write("a/blacklist.txt", b"short\nkeep@example.org\n")
        path = self.write("b/blacklist.txt", b"bad\nkeep@example.org\n")
        with open(path, "ab") as out:
            block = b"x" * (1 << 20)
            for _ in range(256):
                out.write(block)
            out.write(b"@\nalso@example.org\n")
        self.write("c/whitelist.txt", b"bad\nkeep@example.org\n")
        self.begin()
        run = Run(self.root, preexec_fn=with_limit(resource.RLIMIT_AS, 200000 * 1024)).wait()
        self.assertEqual(run.returncode, 0, run.err)
        self.assertEqual(self.judge(), {b"a/blacklist.txt": "cleaned", b"b/blacklist.txt": "original",
                                        b"c/whitelist.txt": "cleaned"})
        self.assertIn(b"/b/blacklist.txt # not cleaned: " + LINE_TOO_LONG + b"\r\n", run.out)
        self.no_temporary_files_left()

    def sparse_list(self, relative, size, tail):
        """A list of `size` bytes of holes (free to its writer) and then `tail`; the size the
        file system allows when it is smaller (ext4 stops at 16 TiB)."""
        path = self.write(relative, b"")
        for attempt in (size, 1 << 43, 1 << 40):
            try:
                os.truncate(path, attempt)
                break
            except OSError:
                continue
        with open(path, "ab") as out:
            out.write(tail)
        return os.path.getsize(path)

    def test_a_line_past_the_limit_costs_the_limit_and_a_block(self):
        # However long the line, NUL bytes or not, the list is given up once 64 MiB of it are
        # read: a sparse petabyte takes seconds, not days, and memory stays under the limit and
        # one block (1 MiB) above what a small run takes. Nothing of the line is logged and the
        # run goes on.
        self.write("d/whitelist.txt", b"bad\nkeep@example.org\n")
        baseline = Run(self.root, measure=True).wait().peak_rss_mb
        cases = [
            ("a petabyte of NUL bytes", lambda: self.sparse_list("b/blacklist.txt", 1 << 50, b"")),
            ("a petabyte of NUL bytes, then an @",
             lambda: self.sparse_list("b/blacklist.txt", 1 << 50, b"@x\nalso@example.org\n")),
            ("a gigabyte of NUL bytes, then an @",
             lambda: self.sparse_list("b/blacklist.txt", 1 << 30, b"@x\nalso@example.org\n")),
            ("100 MB of one line", lambda: self.write(
                "b/blacklist.txt", b"ok@example.org\n" + b"x@" * (50 << 20) + b"\n")),
        ]
        for description, make in cases:
            with self.subTest(description):
                self.fresh_tree()
                self.write("a/blacklist.txt", b"short\nkeep@example.org\n")
                self.write("d/whitelist.txt", b"bad\nkeep@example.org\n")
                make()
                # A petabyte cannot be snapshotted: the list must keep its inode, size and
                # times (a replacement would give it another inode), the others be cleaned.
                before = os.stat(self.path("b/blacklist.txt"))
                run = Run(self.root, measure=True).wait(timeout=120)
                self.assertEqual(run.returncode, 0, run.err)
                after = os.stat(self.path("b/blacklist.txt"))
                self.assertEqual((after.st_ino, after.st_size, after.st_mtime_ns, after.st_mode),
                                 (before.st_ino, before.st_size, before.st_mtime_ns,
                                  before.st_mode))
                for relative in ("a/blacklist.txt", "d/whitelist.txt"):
                    self.assertEqual(self.read(relative), b"keep@example.org\r\n", relative)
                self.assertEqual(sorted(os.listdir(self.path("b"))), ["blacklist.txt"])
                self.assertIn(b"/b/blacklist.txt not cleaned: " + LINE_TOO_LONG + b"\r\n",
                              run.out)
                FIGURES["a line past the limit, " + description] = (
                    "%.2f s, peak memory %.0f MB (%.0f MB above a small run)"
                    % (run.elapsed, run.peak_rss_mb, run.peak_rss_mb - baseline))
                self.assertLess(run.elapsed, 30)
                self.assertLessEqual(run.peak_rss_mb - baseline, 80)
                self.assertLess(os.path.getsize(self.path("chklist.log")), 4096)
                self.no_temporary_files_left()


# The reason a list with a line the reader cannot hold is left alone.
LINE_TOO_LONG = b"a line is longer than 64 MiB or than the memory the run may use"


if __name__ == "__main__":
    CHKLIST = os.path.abspath(sys.argv.pop(1))
    program = unittest.main(verbosity=2, exit=False)
    for name, figure in FIGURES.items():
        print("figure: %s: %s" % (name, figure))
    result = program.result
    print("figure: scenarios passed: %d of %d (%d skipped)" % (
        result.testsRun - len(result.failures) - len(result.errors) - len(result.skipped),
        result.testsRun, len(result.skipped)))
    sys.exit(0 if result.wasSuccessful() else 1)
