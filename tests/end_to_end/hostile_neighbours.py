#!/usr/bin/env python3
"""Hostile neighbours: chklist run by root in a directory that an unprivileged user (nobody, the
attacker) can write, where that user has prepared names beforehand or changes them during the run.
Each case is one row of CASES: what the attacker does, and what must hold afterwards.

Usage: hostile_neighbours.py PATH_TO_CHKLIST [unittest arguments]
Needs root (exits with 77 otherwise); a case that needs a tool, a mount or a file-system feature
this machine lacks skips itself with the reason.
"""
import collections
import ctypes
import fcntl
import os
import pty
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import tty
import unittest

from scratch_tree import BANNER, NOBODY, ScratchTree, as_attacker, drop_to_nobody

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "faults"))
from run_faults import cleaned, dropped, log_records, process_state, snapshot  # noqa: E402

CHKLIST = None
def no_log(reason):
    """The one console line of a run that refused its log for `reason`."""
    return b"Cannot open chklist.log: " + reason + b"; no list file is changed\r\n"


# Why each planted log is refused, as the console says it.
PLANTED_LOG_REASONS = {"link": b"it is a symbolic link", "dangling": b"it is a symbolic link",
                       "null": b"it is a symbolic link", "fifo": b"it is not a regular file",
                       "theirs": b"it is another user's file",
                       "second_name": b"it has more than one name (hard links)"}
WAITING = b"Waiting for another chklist run in this directory to finish..."
NO_FILE_LIST = b"Cannot write the file list blist.dir: no blacklist.txt is checked"
# The same when another user's file keeps the name taken.
NO_FILE_LIST_HELD = (b"Cannot write the file list blist.dir: a file of user nobody holds the name; "
                     b"no blacklist.txt is checked")
GOOD_AND_BAD = b"bad\nkeep@example.org\n"
# A root-only list the attacker must never read, nor see logged.
SECRET = b"first.secret@example.org\nsecret-drop-1\nsecond.secret@example.org\nsecret-drop-2\n"
# Enough lists ahead of the attacked one that the run is well inside them when it is caught.
MANY_LISTS = 1500
INSIDE_NAMESPACE = "CHKLIST_HOSTILE_INSIDE_NAMESPACE"
# An access ACL as the kernel stores it (what setfacl -m user:nobody:rw makes of a 0600 file):
# version 2, then (tag, permissions, id) for the owner, nobody, the group, the mask, others.
ACL_ATTRIBUTE = "system.posix_acl_access"
ACL_NOBODY_MAY_WRITE = struct.pack("<I" + "HHI" * 5, 2, 0x01, 6, 0xFFFFFFFF, 0x02, 6, NOBODY,
                                   0x04, 0, 0xFFFFFFFF, 0x10, 6, 0xFFFFFFFF, 0x20, 0, 0xFFFFFFFF)


class OpenWatch:
    """Names of the files in one directory that anything opened, read or wrote while watched."""

    EVENTS = 0x20 | 0x01 | 0x02  # IN_OPEN | IN_ACCESS | IN_MODIFY

    def __init__(self, test, directory):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            test.skipTest("inotify is not available: " + os.strerror(ctypes.get_errno()))
        if libc.inotify_add_watch(self.fd, os.fsencode(directory), self.EVENTS) < 0:
            os.close(self.fd)
            test.skipTest("cannot watch a directory: " + os.strerror(ctypes.get_errno()))

    def touched(self):
        names = set()
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                break
            offset = 0
            while offset < len(data):
                length = struct.unpack_from("iIII", data, offset)[3]
                names.add(data[offset + 16:offset + 16 + length].rstrip(b"\0"))
                offset += 16 + length
        os.close(self.fd)
        return names


def stopped(process):
    """Stops the process; True once it is stopped, False when it had ended."""
    process.send_signal(signal.SIGSTOP)
    while True:
        state = process_state(process.pid)
        if state in ("T", "t"):
            return True
        if state in ("Z", "X", ""):
            return False
        time.sleep(0.001)


def reads(process, path):
    """True when the process has `path` open for reading alone."""
    fds = "/proc/%d/fd" % process.pid
    try:
        for fd in os.listdir(fds):
            if os.readlink(os.path.join(fds, fd)) == path:
                with open("/proc/%d/fdinfo/%s" % (process.pid, fd)) as info:
                    flags = next(line for line in info if line.startswith("flags:"))
                if int(flags.split()[1], 8) & os.O_ACCMODE == os.O_RDONLY:
                    return True
    except (OSError, StopIteration):
        pass
    return False


def write_file(path, data, mode):
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, mode)
    return path


def read_file(path):
    with open(path, "rb") as data:
        return data.read()


def line_of(out, path):
    """The console line that starts with `Checking PATH `; fails unless there is exactly one."""
    lines = [line for line in out.split(b"\r\n") if line.startswith(b"Checking " + path + b" ")]
    assert len(lines) == 1, (path, out[-2000:])
    return lines[0]


class HostileNeighbours(ScratchTree):
    prefix = "chklist-hostile-"

    def setUp(self):
        super().setUp()
        os.chmod(self.root, 0o777)  # not sticky: the kernel's sticky-directory guards stay out
        self.undo = []
        self.processes = []

    def tearDown(self):
        for process in self.processes:  # a case that ended early leaves no run behind
            if process.poll() is None:
                process.send_signal(signal.SIGCONT)
                process.kill()
                process.wait()
        for step in reversed(self.undo):
            step()
        super().tearDown()

    # -- running the program -----------------------------------------------------------------
    def start(self, preexec_fn=None, stdout=None, stderr=subprocess.DEVNULL):
        out = tempfile.TemporaryFile() if stdout is None else None
        process = subprocess.Popen([CHKLIST], cwd=self.root, stdin=subprocess.DEVNULL,
                                   stdout=out if stdout is None else stdout,
                                   stderr=stderr, preexec_fn=preexec_fn)
        process.out_file = out
        process.err_file = stderr if hasattr(stderr, "seek") else None
        self.processes.append(process)
        return process

    def finish(self, process, timeout=300):
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            self.fail("the run hung")
        self.assertEqual(process.returncode, 0)
        if process.err_file is not None:
            process.err_file.seek(0)
            process.err = process.err_file.read()
            process.err_file.close()
        if process.out_file is None:
            return b""
        process.out_file.seek(0)
        out = process.out_file.read()
        process.out_file.close()
        return out

    def run_chklist(self, preexec_fn=None):
        return self.finish(self.start(preexec_fn), timeout=120)

    def wait_for_listing(self, process, relative):
        """Polls until the run's blist.dir lists `relative`: its search is over."""
        wanted = self.bpath(relative) + b"\r\n"
        while process.poll() is None:
            try:
                if wanted in self.read("blist.dir"):
                    return
            except OSError:
                pass
            time.sleep(0.001)
        self.fail("the run ended before its blist.dir listed " + relative)

    # -- building trees --------------------------------------------------------------------
    def bpath(self, *parts):
        return os.fsencode(self.path(*parts))

    def many_lists(self, with_dropped):
        """MANY_LISTS lists of distinct entries, all listed before any directory named z*."""
        lists = {}
        for index in range(MANY_LISTS):
            body = b"k%04d@example.org\n" % index + (b"d%04d\n" % index if with_dropped else b"")
            lists["a%04d/blacklist.txt" % index] = body
            self.write("a%04d/blacklist.txt" % index, body)
        return lists

    def attacker_dir(self, relative):
        full = self.path(relative)
        os.makedirs(full)
        os.chown(full, NOBODY, NOBODY)
        return full

    def assert_cleaned(self, relative, original):
        self.assertEqual(self.read(relative), cleaned(original), relative)

    # -- 1. chklist.log is not a regular file of this directory ----------------------------
    def planted_log(self, plant):
        private = self.outside_dir(0o700)
        profile = write_file(os.path.join(private, "profile"), b"# root's profile\n", 0o644)
        missing = os.path.join(private, "created")
        log = self.path("chklist.log")
        self.write("d/blacklist.txt", GOOD_AND_BAD)
        self.write("d/whitelist.txt", GOOD_AND_BAD)
        if plant == "second_name":
            # Where hard links to others' files are allowed (fs.protected_hardlinks=0).
            os.link(profile, log)
        else:
            action = {"link": (os.symlink, profile, log), "dangling": (os.symlink, missing, log),
                      "null": (os.symlink, os.devnull, log), "fifo": (os.mkfifo, log),
                      "theirs": (write_file, log, b"", 0o666)}[plant]
            self.assertTrue(as_attacker(*action))
        tree = snapshot(self.root)
        outside = snapshot(private)
        out = self.run_chklist()
        self.assertEqual(out, no_log(PLANTED_LOG_REASONS[plant]))
        self.assertEqual(snapshot(self.root), tree, "the tree changed")
        self.assertEqual(snapshot(private), outside, "the link's target changed")
        self.assertFalse(os.path.lexists(missing))

    # -- 2. a staged copy's name (or a file list) prepared by the attacker ------------------
    def held_working_file(self, name):
        # A list's staged name lies in the list's directory: there the attacker must be able to
        # write to prepare it; a file list lies in the run's directory.
        folder = os.path.dirname(name) or "private"
        os.makedirs(self.path(folder), mode=0o700)
        if folder != "private":
            os.chmod(self.path(folder), 0o777)
        listed = folder + "/blacklist.txt"
        self.write(listed, SECRET, mode=0o600)
        to_child, from_parent = os.pipe()
        from_child, to_parent = os.pipe()
        pid = os.fork()
        if pid == 0:  # the attacker: makes the file and holds it open across the run
            code = 1
            try:
                os.close(from_parent)
                os.close(from_child)
                drop_to_nobody()
                os.umask(0)
                held = os.open(self.path(name), os.O_RDWR | os.O_CREAT, 0o666)
                os.write(to_parent, b"r")
                os.read(to_child, 1)
                seen = os.pread(held, 1 << 20, 0)  # what the descriptor shows after the run
                os.lseek(held, 0, os.SEEK_END)
                os.write(held, b"planted@example.org\r\n")  # and a line written through it
                os.write(to_parent, seen)
                code = 0
            finally:
                os._exit(code)
        os.close(to_child)
        os.close(to_parent)
        try:
            self.assertEqual(os.read(from_child, 1), b"r")
            self.run_chklist()
        finally:
            os.write(from_parent, b"g")
            os.close(from_parent)
            seen = b""
            while chunk := os.read(from_child, 1 << 16):
                seen += chunk
            os.close(from_child)
            _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        for entry in SECRET.splitlines():
            self.assertNotIn(entry, seen, "the attacker read a private entry")
        self.assertNotIn(self.bpath("private"), seen, "the attacker read a private path")
        self.assert_cleaned(listed, SECRET)
        info = os.stat(self.path(listed))
        self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid), (0o600, 0))
        # The attacker's file stays theirs; the copy took another name and is gone.
        self.assertEqual([left for left in self.leftovers() if left != name], [])

    def staged_name_directory(self):
        # A directory at a list's staged name stays the attacker's; the copy takes another name.
        self.write("d/blacklist.txt", GOOD_AND_BAD)
        os.chmod(self.path("d"), 0o777)
        staged = "d/.chklist-copy-blacklist.txt"
        self.assertTrue(as_attacker(os.mkdir, self.path(staged)))
        self.assertTrue(as_attacker(write_file, self.path(staged + "/mine"), b"mine\n", 0o644))
        self.run_chklist()
        self.assert_cleaned("d/blacklist.txt", GOOD_AND_BAD)
        self.assertEqual(self.read(staged + "/mine"), b"mine\n")
        self.assertEqual(sorted(os.listdir(self.path("d"))), [".chklist-copy-blacklist.txt",
                                                              "blacklist.txt"])

    # -- 3. a path swapped for a symbolic link after the search ------------------------------
    def swapped_path(self, last_component):
        """The attacker swaps its directory (or list) for a link to root's private list once the
        search has listed it. The run is stopped for the swap, so that it surely falls between
        the search and the list's turn (the sentinel shows that it did)."""
        protected = self.outside_dir(0o700)
        secret = write_file(os.path.join(protected, "blacklist.txt"), SECRET, 0o600)
        self.many_lists(with_dropped=False)
        sentinel = b"sentinel@example.org\nsentinel\n"
        self.write("zy/blacklist.txt", sentinel)  # listed right before the attacked list
        self.attacker_dir("zz")
        mine = b"mine@example.org\nmine\n"
        self.assertTrue(as_attacker(os.mkdir, self.path("zz/d")))
        self.assertTrue(as_attacker(write_file, self.path("zz/d/blacklist.txt"), mine, 0o644))
        if last_component:
            moves = [(os.rename, self.path("zz/d/blacklist.txt"), self.path("zz/d/mine.txt")),
                     (os.symlink, secret, self.path("zz/d/blacklist.txt"))]
        else:
            moves = [(os.rename, self.path("zz/d"), self.path("zz/d.old")),
                     (os.symlink, protected, self.path("zz/d"))]
        before = snapshot(protected)
        watch = OpenWatch(self, protected)
        run = self.start()
        try:
            self.wait_for_listing(run, "zz/d/blacklist.txt")
            if not stopped(run):  # pins the moment: the swap and its check
                self.skipTest("the run ended before the swap")
            for move in moves:
                self.assertTrue(as_attacker(*move))
            reached = self.read("zy/blacklist.txt") != sentinel
        finally:
            run.send_signal(signal.SIGCONT)
        out = self.finish(run)
        if reached:
            self.skipTest("the run was past the attacked list before the swap")
        self.assertNotIn(b"blacklist.txt", watch.touched(), "the protected list was opened")
        self.assertEqual(snapshot(protected), before, "the protected directory changed")
        log = self.read("chklist.log")
        for entry in SECRET.splitlines():
            self.assertNotIn(entry, log, "a protected entry was logged")
        self.assertIn(b"not cleaned", line_of(out, self.bpath("zz/d/blacklist.txt")))
        self.assert_cleaned("zy/blacklist.txt", sentinel)  # the run went on

    # -- 4. extended attributes and the group's bits -----------------------------------------
    def kept_access(self, attributes=None, foreign_group=False):
        full = self.write("d/blacklist.txt", GOOD_AND_BAD, mode=0o600)
        for name, value in (attributes or {}).items():
            try:
                os.setxattr(full, name, value)
            except OSError as error:
                self.skipTest("this file system cannot hold %s: %s" % (name, error.strerror))
        preexec = None
        if foreign_group:
            # Run by nobody, whose list belongs to group root: the group cannot be kept.
            os.chown(self.path("d"), NOBODY, NOBODY)
            os.chown(full, NOBODY, 0)
            os.chmod(full, 0o644)
            preexec = drop_to_nobody

        def access():
            return stat.S_IMODE(os.stat(full).st_mode), {
                name: os.getxattr(full, name) for name in os.listxattr(full)
                if name.startswith(("user.", "security.")) or name == ACL_ATTRIBUTE}
        before = access()
        self.run_chklist(preexec)
        self.assert_cleaned("d/blacklist.txt", GOOD_AND_BAD)
        self.assertEqual(access(), before)

    # -- 5. the log rotated while a run holds it ---------------------------------------------
    def rotated_log(self):
        """The log is renamed away while a run is inside its lists (stopped there, so that a
        second run surely starts before it ends); a second run must wait for the first."""
        originals = self.many_lists(with_dropped=True)
        first = self.start()
        master = None
        try:
            self.wait_for_listing(first, "a%04d/blacklist.txt" % (MANY_LISTS - 1))
            if not stopped(first):  # inside its lists, holding the log
                self.skipTest("the first run ended before the log was rotated")
            self.assertTrue(as_attacker(os.rename, self.path("chklist.log"),
                                        self.path("chklist.log.1")))
            # On a terminal the waiting message shows as soon as it is said.
            master, slave = pty.openpty()
            tty.setraw(slave)
            second = self.start(stdout=slave)
            os.close(slave)
            shown = self.read_terminal(master, second, until=WAITING)
        finally:
            first.send_signal(signal.SIGCONT)
        self.finish(first)
        shown += self.read_terminal(master, second)
        os.close(master)
        self.finish(second)
        self.assertTrue(WAITING in shown, "the second run did not wait: %r" % shown[:200])
        self.assertTrue(shown.startswith(WAITING + b"\r\nchklist.lock is held by process %d\r\n"
                                         % first.pid + BANNER), shown[:300])
        # Every list ends as it was or exactly cleaned, and the entries it dropped are on record
        # in one of the two logs.
        self.assert_each_list_whole_and_on_record(originals, ("chklist.log", "chklist.log.1"))

    def stopped_inside_its_lists(self):
        """Starts a run over MANY_LISTS lists with dropped entries and stops it once its search
        is over, inside its lists; the originals and the stopped run."""
        originals = self.many_lists(with_dropped=True)
        run = self.start(stderr=tempfile.TemporaryFile())
        self.wait_for_listing(run, "a%04d/blacklist.txt" % (MANY_LISTS - 1))
        # Stopped only once it reads its file list: stopped before, it would find the file list
        # of a run let in meanwhile gone.
        while run.poll() is None and not reads(run, os.path.realpath(self.path("blist.dir"))):
            time.sleep(0.001)
        if not stopped(run):
            self.skipTest("the run ended before it could be stopped inside its lists")
        return originals, run

    def assert_each_list_whole_and_on_record(self, originals, logs=("chklist.log",)):
        """Every list ends as it was or exactly cleaned, each entry it dropped recorded in one of
        `logs`."""
        full = {self.bpath(relative): relative for relative in originals}
        records = collections.Counter()
        for name in logs:
            if os.path.exists(self.path(name)):
                records += log_records(self.read(name), full)
        for path, relative in full.items():
            data, original = self.read(relative), originals[relative]
            self.assertIn(data, (original, cleaned(original)), relative)
            if data != original:
                for entry in dropped(original):
                    self.assertTrue(records[(path, entry)], "no record: %s %r" % (relative, entry))
        self.assertEqual(self.leftovers(), [])

    def second_name_of_the_log(self):
        """A second name is given to chklist.log while a batch waits: the lists of that batch and
        every later one say so, never that the log was moved or removed."""
        originals, run = self.stopped_inside_its_lists()
        try:
            os.link(self.path("chklist.log"), self.path("chklist.log.2"))
        finally:
            run.send_signal(signal.SIGCONT)
        out = self.finish(run)
        self.assertFalse(b"moved or removed" in out, out[-2000:])
        why = b"it has more than one name (hard links)"
        reasons = [line for line in out.split(b"\r\n") if b"chklist.log" in line]
        self.assertTrue(reasons, out[-2000:])
        for line in reasons:
            self.assertTrue(line.endswith(b"could not be replaced: chklist.log is no longer this "
                                          b"run's own file: " + why) or
                            line.endswith(b"not cleaned: cannot write chklist.log: " + why), line)
        self.assert_each_list_whole_and_on_record(originals)

    def lock_lost_during_a_run(self):
        """chklist.lock is removed while a run holds it (a tidy-up script) and another run comes
        and goes meanwhile: the first run says so once, takes the lock anew (waiting while it is
        held) and goes on; nothing is lost and neither run removes the other's file list."""
        originals, first = self.stopped_inside_its_lists()
        try:
            os.unlink(self.path("chklist.lock"))
            second = subprocess.run([CHKLIST], cwd=self.root, stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=300)
            self.assertEqual(second.returncode, 0)
            self.assertNotIn(b"del:", second.stderr)
            self.assertNotIn(WAITING, second.stdout)
            # Someone holds the lock anew when the first run goes on: it must wait.
            held = os.open(self.path("chklist.lock"), os.O_RDWR | os.O_CREAT, 0o600)
            fcntl.lockf(held, fcntl.LOCK_EX)
        finally:
            first.send_signal(signal.SIGCONT)
        try:
            deadline = time.monotonic() + 60
            while WAITING not in self.peek(first) and time.monotonic() < deadline:
                time.sleep(0.01)
        finally:
            os.unlink(self.path("chklist.lock"))
            os.close(held)
        out = self.finish(first)
        self.assertNotIn(b"del:", first.err)
        lost = b"chklist.lock was removed or replaced while this run held it: taking the lock again"
        self.assertEqual(out.count(lost), 1, out[-2000:])
        self.assertIn(lost + b"\r\n" + WAITING, out)
        self.assert_each_list_whole_and_on_record(originals)
        self.assertFalse(os.path.lexists(self.path("chklist.lock")))

    def lock_replaced_by_a_link_during_a_run(self):
        """chklist.lock is replaced by a link to another file while a run holds it: the run
        cannot lock again, says so, says that no whitelist is checked, and stops; the file the
        link leads to is untouched."""
        target = os.path.join(self.outside_dir(0o755), "secret")
        with open(target, "wb") as secret:
            secret.write(b"secret\n")
        originals, first = self.stopped_inside_its_lists()
        try:
            os.unlink(self.path("chklist.lock"))
            os.symlink(target, self.path("chklist.lock"))
        finally:
            first.send_signal(signal.SIGCONT)
        out = self.finish(first)
        self.assertIn(b"Cannot lock this directory against another chklist run: chklist.lock: "
                      b"it is a symbolic link; the rest of the blacklist.txt files are not "
                      b"checked\r\nNo whitelist.txt is checked: this run no longer holds "
                      b"chklist.lock\r\n", out)
        self.assertNotIn(b"Generating file list... Please wait...\r\n" * 2, out)
        with open(target, "rb") as secret:
            self.assertEqual(secret.read(), b"secret\n")
        self.assert_each_list_whole_and_on_record(originals)

    @staticmethod
    def peek(process):
        """What the process has written to its output file so far."""
        process.out_file.seek(0)
        return process.out_file.read()

    def planted_lock(self, sticky):
        """Another user's chklist.lock (in a sticky directory root cannot take it over by
        removal either): the run is refused and creates nothing, not even chklist.log."""
        if sticky:
            os.chmod(self.root, 0o1777)
        self.write("d/blacklist.txt", GOOD_AND_BAD)
        self.assertTrue(as_attacker(write_file, self.path("chklist.lock"), b"", 0o600))
        tree = snapshot(self.root)
        out = self.run_chklist()
        self.assertEqual(out, b"Cannot lock this directory against another chklist run: "
                              b"chklist.lock: it is another user's file; no list file is changed\r\n")
        self.assertEqual(snapshot(self.root), tree, "the refused run changed the tree")

    def reader_holds_lock(self):
        """A user who may only read the run's directory takes every lock it can get there
        (on the directory itself, and a read lock on the lock file if it could open it): root's
        run neither waits nor fails."""
        os.chmod(self.root, 0o755)
        self.write("d/blacklist.txt", GOOD_AND_BAD)
        ready, signal_ready = os.pipe()
        pid = os.fork()
        if pid == 0:  # the reader: takes what it can, then holds it
            try:
                os.close(ready)
                drop_to_nobody()
                directory = os.open(self.root, os.O_RDONLY | os.O_DIRECTORY)
                fcntl.flock(directory, fcntl.LOCK_EX)
                try:
                    lock = os.open(self.path("chklist.lock"), os.O_RDONLY)
                    fcntl.lockf(lock, fcntl.LOCK_SH)
                except OSError:
                    pass
                os.write(signal_ready, b"r")
                time.sleep(600)
            finally:
                os._exit(0)
        os.close(signal_ready)
        self.undo.append(lambda: (os.kill(pid, signal.SIGKILL), os.waitpid(pid, 0)))
        self.assertEqual(os.read(ready, 1), b"r")
        os.close(ready)
        out = self.finish(self.start(), timeout=60)
        self.assertNotIn(WAITING, out)
        self.assert_cleaned("d/blacklist.txt", GOOD_AND_BAD)
        self.assertFalse(os.path.lexists(self.path("chklist.lock")))

    @staticmethod
    def read_terminal(master, process, until=None):
        """What the program shows on the terminal, until `until` appears or it ends."""
        shown = b""
        deadline = time.monotonic() + 300
        while time.monotonic() < deadline and (until is None or until not in shown):
            if not select.select([master], [], [], 0.1)[0]:
                continue
            try:
                shown += os.read(master, 1 << 16)
            except OSError:  # every writer of the terminal has closed it
                break
        return shown

    # -- 6. copies left behind on another file system ----------------------------------------
    def copy_leftovers(self):
        if os.environ.get(INSIDE_NAMESPACE) != "1":
            if shutil.which("unshare") is None:
                self.skipTest("unshare is not installed")
            # The tmpfs is mounted in a private mount namespace of a child process, so nothing
            # leaks into the machine's mounts even when the test is killed.
            inner = subprocess.run(
                ["unshare", "-m", "--propagation", "private", sys.executable, __file__, CHKLIST,
                 "HostileNeighbours." + self._testMethodName],
                capture_output=True, timeout=300, env=dict(os.environ, **{INSIDE_NAMESPACE: "1"}))
            if inner.returncode == 77:
                self.skipTest(inner.stderr.decode(errors="replace").strip())
            self.assertEqual(inner.returncode, 0, inner.stderr.decode(errors="replace"))
            return
        mount = self.path("mnt")
        os.mkdir(mount)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=777",
                                  "chklist-hostile", mount], capture_output=True)
        if mounted.returncode != 0:
            self.tearDown()
            sys.stderr.write("cannot mount a tmpfs: " + mounted.stderr.decode(errors="replace"))
            os._exit(77)
        self.undo.append(lambda: subprocess.run(["umount", mount], check=False))
        target = write_file(os.path.join(self.outside_dir(0o755), "target"), b"target\n", 0o644)
        # The staged name beside a list is the same for every run: root's own leftover there
        # goes; another user's file or a link there stays, and the list is cleaned all the same.
        staged = ".chklist-copy-blacklist.txt"
        for name in ("ours", "theirs", "link"):
            os.mkdir(self.path("mnt", name))
            os.chmod(self.path("mnt", name), 0o777)
            self.write("mnt/%s/blacklist.txt" % name, GOOD_AND_BAD)
        ours = self.write("mnt/ours/" + staged, b"keep@example.org\r\n", mode=0o600)
        theirs, link = self.path("mnt/theirs", staged), self.path("mnt/link", staged)
        self.assertTrue(as_attacker(write_file, theirs, b"mine\n", 0o600))
        self.assertTrue(as_attacker(os.symlink, target, link))
        self.run_chklist()
        for name in ("ours", "theirs", "link"):
            self.assert_cleaned("mnt/%s/blacklist.txt" % name, GOOD_AND_BAD)
        self.assertFalse(os.path.lexists(ours), "root's own leftover copy is still there")
        self.assertEqual(os.listdir(self.path("mnt/ours")), ["blacklist.txt"])
        for planted in (theirs, link):
            self.assertEqual(sorted(os.listdir(os.path.dirname(planted))),
                             sorted(["blacklist.txt", staged]))
        self.assertEqual((self.read(theirs), os.stat(theirs).st_uid), (b"mine\n", NOBODY))
        self.assertEqual(os.readlink(link), target)
        self.assertEqual(read_file(target), b"target\n")

    # -- 7. a stale or planted file list ---------------------------------------------------
    def stale_file_list(self, plant):
        victims = self.outside_dir(0o755)
        paths = [write_file(os.path.join(victims, name), GOOD_AND_BAD, 0o644)
                 for name in ("victim.txt", "blacklist.txt")]
        stale = b"".join(os.fsencode(path) + b"\r\n" for path in paths)
        self.write("d/blacklist.txt", GOOD_AND_BAD)
        if plant == "link":
            self.assertTrue(as_attacker(write_file, self.path("stale"), stale, 0o644))
            self.assertTrue(as_attacker(os.symlink, "stale", self.path("blist.dir")))
        else:
            # Read-only even for root: the search cannot write it, the stale list is there.
            self.assertTrue(as_attacker(write_file, self.path("blist.dir"), stale, 0o444))
            if shutil.which("chattr") is None:
                self.skipTest("chattr is not installed")
            done = subprocess.run(["chattr", "+i", self.path("blist.dir")], capture_output=True)
            if done.returncode != 0:
                self.skipTest("cannot make a file immutable here: "
                              + done.stderr.decode(errors="replace").strip())
            self.undo.append(lambda: subprocess.run(["chattr", "-i", self.path("blist.dir")]))
        watch = OpenWatch(self, victims)
        out = self.run_chklist()
        self.assertEqual(watch.touched() & {b"victim.txt", b"blacklist.txt"}, set(),
                         "a file outside the tree was opened")
        for path in paths:
            self.assertEqual(read_file(path), GOOD_AND_BAD)
            self.assertNotIn(os.fsencode(path), out)
            self.assertNotIn(os.fsencode(path), self.read("chklist.log"))
        if self.read("d/blacklist.txt") != cleaned(GOOD_AND_BAD):
            self.assertEqual(self.read("d/blacklist.txt"), GOOD_AND_BAD)
            self.assertIn(NO_FILE_LIST_HELD, out)

    def file_list_swapped_during_the_search(self):
        """The attacker swaps blist.dir for a file of their own, listing a file outside the tree,
        while the search still fills root's. The run is stopped for the swap, once the search
        has written part of the listing and before it ends."""
        victims = self.outside_dir(0o755)
        victim = write_file(os.path.join(victims, "blacklist.txt"), GOOD_AND_BAD, 0o644)
        lists = self.many_lists(with_dropped=True)
        run = self.start()
        try:
            while run.poll() is None and (not os.path.exists(self.path("blist.dir")) or
                                          os.path.getsize(self.path("blist.dir")) == 0):
                time.sleep(0.001)
            if not stopped(run):
                self.skipTest("the run ended before the swap")
            self.assertTrue(as_attacker(os.rename, self.path("blist.dir"), self.path("mine.old")))
            self.assertTrue(as_attacker(write_file, self.path("blist.dir"),
                                        os.fsencode(victim) + b"\r\n", 0o644))
        finally:
            run.send_signal(signal.SIGCONT)
        out = self.finish(run)
        if b"Checking " in out:
            self.skipTest("the search was over before the swap")
        self.assertEqual(read_file(victim), GOOD_AND_BAD)
        self.assertIn(b"Cannot read the file list blist.dir: ", out)
        self.assertIn(b"; no blacklist.txt is checked\r\n", out)
        for relative, body in lists.items():
            self.assertEqual(self.read(relative), body)
        self.assertFalse(os.path.lexists(self.path("blist.dir")), "the refused file list stayed")


# Each row: the test's name, the scenario, its arguments.
CASES = [
    ("log_is_a_link_to_a_root_file", "planted_log", {"plant": "link"}),
    ("log_is_a_dangling_link", "planted_log", {"plant": "dangling"}),
    ("log_is_a_link_to_dev_null", "planted_log", {"plant": "null"}),
    ("log_is_a_fifo", "planted_log", {"plant": "fifo"}),
    ("log_is_the_attackers_file", "planted_log", {"plant": "theirs"}),
    ("log_is_a_second_name_of_a_root_file", "planted_log", {"plant": "second_name"}),
    ("staged_name_held_open_by_the_attacker", "held_working_file",
     {"name": "shared/.chklist-copy-blacklist.txt"}),
    ("file_list_held_open_by_the_attacker", "held_working_file", {"name": "blist.dir"}),
    ("staged_name_is_a_directory_of_the_attacker", "staged_name_directory", {}),
    ("directory_swapped_for_a_link_during_the_run", "swapped_path", {"last_component": False}),
    ("list_swapped_for_a_link_during_the_run", "swapped_path", {"last_component": True}),
    ("acl_is_kept", "kept_access", {"attributes": {ACL_ATTRIBUTE: ACL_NOBODY_MAY_WRITE}}),
    ("user_extended_attribute_is_kept", "kept_access", {"attributes": {"user.origin": b"a"}}),
    ("security_label_is_kept", "kept_access", {"attributes": {"security.chklist": b"label"}}),
    ("group_that_cannot_be_kept_keeps_the_others_bits", "kept_access", {"foreign_group": True}),
    ("log_rotated_during_a_run_still_keeps_a_second_run_out", "rotated_log", {}),
    ("a_reader_of_the_directory_cannot_hold_the_run_lock", "reader_holds_lock", {}),
    ("lock_planted_by_the_attacker_creates_nothing", "planted_lock", {"sticky": False}),
    ("lock_planted_in_a_sticky_directory_creates_nothing", "planted_lock", {"sticky": True}),
    ("lock_removed_during_a_run_is_taken_anew", "lock_lost_during_a_run", {}),
    ("lock_replaced_by_a_link_stops_the_run_and_says_so", "lock_replaced_by_a_link_during_a_run",
     {}),
    ("log_given_a_second_name_during_a_run_is_said", "second_name_of_the_log", {}),
    ("copy_leftovers_on_another_file_system", "copy_leftovers", {}),
    ("file_list_is_a_planted_link_to_a_stale_list", "stale_file_list", {"plant": "link"}),
    ("file_list_is_stale_and_cannot_be_written", "stale_file_list", {"plant": "immutable"}),
    ("file_list_swapped_during_the_search", "file_list_swapped_during_the_search", {}),
]

for _name, _scenario, _arguments in CASES:
    setattr(HostileNeighbours, "test_" + _name,
            lambda self, s=_scenario, a=_arguments: getattr(self, s)(**a))


if __name__ == "__main__":
    CHKLIST = os.path.abspath(sys.argv.pop(1))
    if os.geteuid() != 0:
        print("skipped: needs root, to run chklist as root beside an unprivileged attacker")
        sys.exit(77)
    unittest.main(verbosity=2)
