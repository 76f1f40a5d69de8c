#!/usr/bin/env python3
"""End-to-end tests: run the built chklist program in scratch directory trees and compare bytes.

Usage: run_tests.py PATH_TO_CHKLIST [unittest arguments]
CHKLIST_WRAPPER, when set, is put in front of every run of the program, e.g.
CHKLIST_WRAPPER="valgrind --error-exitcode=99 --leak-check=full -q".
"""
import fcntl
import os
import resource
import shlex
import shutil
import stat
import subprocess
import sys
import termios
import time
import unittest

from scratch_tree import BANNER, ScratchTree, SharedScenarios, drop_to_nobody, expected_record

CHKLIST = None
WRAPPER = shlex.split(os.environ.get("CHKLIST_WRAPPER", ""))


class LinuxTree(ScratchTree):
    """A scratch tree the Linux program runs in."""

    def bpath(self, *parts):
        return os.fsencode(self.path(*parts))

    listed = bpath
    file_not_found = b"File Not Found"
    # Time for the program to reach its run lock; a wrapper such as valgrind starts slowly.
    start_seconds = 8.0 if WRAPPER else 1.0

    def hold_run_lock(self):
        # The run lock is a write lock on the private chklist.lock: it does not move with the log.
        lock = os.open(self.path("chklist.lock"), os.O_RDWR | os.O_CREAT, 0o600)
        fcntl.lockf(lock, fcntl.LOCK_EX)
        return lambda: os.close(lock)

    def run_chklist(self, *args, preexec_fn=None, wait=True, **kwargs):
        kwargs.setdefault("stdout", subprocess.PIPE)
        process = subprocess.Popen([*WRAPPER, CHKLIST, *args], cwd=self.root,
                                   stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                   preexec_fn=preexec_fn, **kwargs)
        if not wait:
            return process
        out, err = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 0, err)
        return out, err


class ChklistTest(LinuxTree, SharedScenarios):
    concurrent_lists = 30
    entries_per_list = 300
    hostile_names = SharedScenarios.hostile_names + [
        "q\"uote", "pipe|x", "`touch PWNED2`", "pct%PATH%", "esc\x1b]0;title\x07"]

    def log_refusals(self):
        log = self.path("chklist.log")

        def shared_with_group():
            self.write("chklist.log", b"")
            os.chmod(log, 0o664)

        def second_name():
            self.write("other.txt", b"")
            os.link(self.path("other.txt"), log)

        return SharedScenarios.log_refusals(self) + [
            (lambda: os.symlink("elsewhere", log), b"it is a symbolic link"),
            (shared_with_group, b"its group or others may write it (chmod go-w chklist.log)"),
            (second_name, b"it has more than one name (hard links)"),
        ]

    # -- the ordinary run -----------------------------------------------------------------
    def test_a_list_with_nothing_to_clean_is_left_in_place(self):
        # Nothing dropped and every line already ending in CR LF: the file keeps its inode, its
        # second name and its times; a list that only needs its line ends changed is replaced.
        clean = b"alice@example.org\r\nbob@example.org\r\n"
        self.write("same/blacklist.txt", clean)
        os.link(self.path("same/blacklist.txt"), self.path("same-link"))
        self.write("ends/blacklist.txt", b"alice@example.org\nbob@example.org\r\n")
        self.write("last/blacklist.txt", b"alice@example.org\r\nbob@example.org")
        self.write("empty/whitelist.txt", b"")
        before = {name: os.stat(self.path(name)) for name in
                  ("same/blacklist.txt", "ends/blacklist.txt", "last/blacklist.txt",
                   "empty/whitelist.txt")}
        time.sleep(0.01)
        self.run_chklist()
        for name in ("same/blacklist.txt", "empty/whitelist.txt"):
            after = os.stat(self.path(name))
            self.assertEqual((after.st_ino, after.st_mtime_ns), (before[name].st_ino,
                                                                 before[name].st_mtime_ns), name)
        self.assertEqual(os.stat(self.path("same/blacklist.txt")).st_nlink, 2)
        for name in ("ends/blacklist.txt", "last/blacklist.txt"):
            self.assertNotEqual(os.stat(self.path(name)).st_ino, before[name].st_ino, name)
            self.assertEqual(self.read(name), clean, name)
        self.assertEqual(self.leftovers(), [])

    def test_two_names_of_one_list_are_both_cleaned_and_logged_once_each(self):
        # A list with a second name in another directory of the same batch: each name is
        # cleaned, each of its entries logged once per name, and neither said to have changed.
        self.write("a/blacklist.txt", b"ok@example.org\nbad\n")
        os.mkdir(self.path("b"))
        os.link(self.path("a/blacklist.txt"), self.path("b/blacklist.txt"))
        out, _ = self.run_chklist()
        self.assertNotIn(b"changed", out)
        for name in ("a", "b"):
            self.assertEqual(self.read(name + "/blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(sorted(self.log_records()),
                         sorted(expected_record(self.listed(name, "blacklist.txt"), b"bad")
                                for name in ("a", "b")))
        self.assertEqual(self.leftovers(), [])

    def test_lists_read_by_workers_come_out_as_one_at_a_time(self):
        # Workers read lists ahead and the run commits them in order: the console, the log and
        # the lists are what a run reading one list at a time (a low limit on open files leaves
        # no room to read ahead) makes of the same tree, long lists among short ones included.
        if WRAPPER:
            self.skipTest("a wrapper such as valgrind needs descriptors of its own")
        contents = [b"", b"ok@example.org\r\n", b"bad\nok@example.org\n", b"x@y\r\nshort",
                    b"ok@example.org\r\n" * 6000 + b"bad\n",  # longer than a worker reads
                    b"bad\r\n" * 300, b"a\rb@cdefgh\r\n\r\n", b"\xff@\xfe\xfd\xfc\xfb\xfa\n"]
        for index in range(90):
            for kind in ("blacklist.txt", "whitelist.txt"):
                self.write("d%02d/e/%s" % (index, kind), contents[(index + len(kind)) % 8])
        os.link(self.path("d03/e/blacklist.txt"), self.path("d04/blacklist.txt"))
        tree = self.root + ".orig"
        shutil.copytree(self.root, tree, symlinks=True)
        self.addCleanup(shutil.rmtree, tree, True)

        def outcome(preexec_fn=None):
            shutil.rmtree(self.root)
            shutil.copytree(tree, self.root, symlinks=True)
            out, _ = self.run_chklist(preexec_fn=preexec_fn)
            lists = {os.path.relpath(os.path.join(folder, name), self.root):
                     self.read(os.path.relpath(os.path.join(folder, name), self.root))
                     for folder, _, files in os.walk(self.root) for name in files
                     if name != "chklist.log"}
            return out, self.log_records(), lists, self.leftovers()

        alone = outcome(lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40)))
        self.assertEqual(outcome(), alone)
        self.assertIn(b"#" * 300 + b"\r\n", alone[0])

    def test_a_slow_share_gives_what_a_local_tree_gives(self):
        # Through a mirror that delays every request (bench/latency_fs), the search reads
        # directories ahead and the lists are read by workers: the console, the log and the
        # lists are what the same tree gives on a local file system.
        if os.geteuid() != 0:
            self.skipTest("mounting the delayed mirror needs root")
        try:
            os.close(os.open("/dev/fuse", os.O_RDWR))
            flags = subprocess.run(["pkg-config", "--cflags", "--libs", "fuse3"], check=True,
                                   capture_output=True, text=True).stdout.split()
        except (OSError, subprocess.CalledProcessError):
            self.skipTest("no /dev/fuse, or pkg-config finds no fuse3 (libfuse3-dev)")
        work = self.outside_dir()
        server = os.path.join(work, "latency_fs")
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench",
                              "latency_fs.c")
        subprocess.run(["cc", "-O2", "-o", server, source, *flags], check=True)
        for index in range(24):
            for kind in ("blacklist.txt", "whitelist.txt"):
                self.write("d%d/e%d/f/%s" % (index % 6, index, kind),
                           [b"ok@example.org\r\n", b"bad\nok@example.org\nx@y\n"][index % 2])
        backing, mountpoint = os.path.join(work, "backing"), os.path.join(work, "share")
        shutil.copytree(self.root, backing, symlinks=True)
        os.mkdir(mountpoint)
        mirror = subprocess.Popen([server, "--delay-ms=1", backing, mountpoint, "-f"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not os.path.ismount(mountpoint):
                if mirror.poll() is not None or time.monotonic() > deadline:
                    self.skipTest("the delayed mirror did not mount")
                time.sleep(0.01)
            shared = subprocess.run([*WRAPPER, CHKLIST], cwd=mountpoint, capture_output=True,
                                    stdin=subprocess.DEVNULL, timeout=120)
            self.assertEqual(shared.returncode, 0, shared.stderr)
        finally:
            subprocess.run(["umount", "-l", mountpoint], stderr=subprocess.DEVNULL)
            mirror.wait(timeout=10)
        local, _ = self.run_chklist()

        def seen(root):
            found = {}
            for folder, _, files in os.walk(root):
                for name in files:
                    with open(os.path.join(folder, name), "rb") as data:
                        found[os.path.relpath(os.path.join(folder, name), root)] = data.read()
            return found

        self.assertEqual(shared.stdout.replace(os.fsencode(mountpoint), os.fsencode(self.root)),
                         local)
        self.assertEqual(self.records_of(seen(backing).pop("chklist.log").replace(
            os.fsencode(mountpoint), os.fsencode(self.root))), self.log_records())
        local_files, shared_files = seen(self.root), seen(backing)
        del local_files["chklist.log"], shared_files["chklist.log"]
        self.assertEqual(shared_files, local_files)

    def test_an_old_list_that_cannot_be_removed_is_said_and_goes_next_run(self):
        # After the exchange the staged name holds the old list; when it cannot be removed (EIO)
        # the console says so, and the next run removes it.
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        self.write("d/blacklist.txt", b"ok@example.org\nbad\n")
        process = subprocess.run(
            ["strace", "-f", "-o", os.devnull, "-e", "trace=unlinkat",
             "-e", "inject=unlinkat:error=EIO", CHKLIST], cwd=self.root, capture_output=True,
            stdin=subprocess.DEVNULL, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        if b"inject" in process.stderr:
            self.skipTest("strace cannot inject faults here")
        self.assertIn(b"Cleaned: " + self.bpath("d", "blacklist.txt") + b", but its old content "
                      b"stays beside it as .chklist-copy-blacklist.txt: cannot remove it: "
                      b"Input/output error; the next run removes it\r\n", process.stdout)
        self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(self.leftovers(), ["d/.chklist-copy-blacklist.txt"])
        self.run_chklist()
        self.assertEqual(self.leftovers(), [])

    def test_nested_runs_never_undo_each_other(self):
        # Runs started at once in a directory and in one of its subdirectories: each list is
        # cleaned by one of them, and nothing is left beside any list.
        if WRAPPER:
            self.skipTest("the runs must overlap; a wrapper such as valgrind serialises them")
        for round in range(3):
            for index in range(40):
                for kind in ("blacklist.txt", "whitelist.txt"):
                    self.write("sub/d%d/%s" % (index, kind), b"ok@example.org\nbad\n")
            outer = self.run_chklist(wait=False)
            inner = subprocess.run([CHKLIST], cwd=self.path("sub"), capture_output=True,
                                   stdin=subprocess.DEVNULL)
            outer.communicate(timeout=120)
            self.assertEqual((outer.returncode, inner.returncode), (0, 0))
            uncleaned = [name for name in sorted(os.listdir(self.path("sub"))) if name[0] == "d"
                         for kind in ("blacklist.txt", "whitelist.txt")
                         if self.read("sub/%s/%s" % (name, kind)) != b"ok@example.org\r\n"]
            self.assertEqual(uncleaned, [], "round %d" % round)
            self.assertEqual(self.leftovers(), [])

    def test_syncs_protect_entries_and_cost_no_more(self):
        # Replacements are made durable by the batch: when it closes, each staged copy is synced
        # with its own descriptor and then the log (before any exchange), and after the exchanges
        # each directory that took one. No file system is synced whole: other programs' unsynced
        # data stay theirs. The run's directory is synced once, for the new log's name. A list
        # that needs no change costs no sync.
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        for lists in (6, 12):
            with self.subTest(lists=lists):
                shutil.rmtree(self.root)
                os.mkdir(self.root)
                for index in range(lists):
                    self.write("d%d/blacklist.txt" % index, b"ok@example.org\nbad\n")
                    self.write("d%d/whitelist.txt" % index, b"ok@example.org\r\n")  # unchanged
                trace = self.path("..", os.path.basename(self.root) + ".strace")
                self.addCleanup(lambda: os.path.exists(trace) and os.unlink(trace))
                process = subprocess.run(
                    ["strace", "-f", "-e",
                     "trace=fsync,fdatasync,syncfs,sync,renameat,renameat2,rename",
                     "-o", trace, CHKLIST], cwd=self.root, capture_output=True,
                    env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertEqual(process.returncode, 0, process.stderr)
                with open(trace) as lines:
                    calls = [line.split()[1].split("(")[0] for line in lines if "(" in line]
                # The new log's name, then the batch's copies and log, then its replacements
                # (names exchanged with the lists) and their directories.
                self.assertEqual(calls, ["fsync"] + ["fdatasync"] * lists + ["fsync"] +
                                 ["renameat2"] * lists + ["fsync"] * lists)
                for index in range(lists):
                    self.assertEqual(self.read("d%d/blacklist.txt" % index), b"ok@example.org\r\n")

    def test_a_log_made_anew_after_rotation_reaches_the_disk_by_name_first(self):
        # The log is renamed away inside the run's lists: the run makes a new chklist.log and
        # syncs the run's directory (the new name) before it replaces any list whose records
        # went there.
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        for index in range(600):
            self.write("d%03d/blacklist.txt" % index, b"ok@example.org\nbad%03d\n" % index)
        self.write("chklist.log", b"")
        os.chmod(self.path("chklist.log"), 0o600)
        trace = self.path("..", os.path.basename(self.root) + ".strace")
        self.addCleanup(lambda: os.path.exists(trace) and os.unlink(trace))
        process = subprocess.Popen(
            ["strace", "-f", "-y", "-e", "trace=openat,fsync,renameat2", "-o", trace, CHKLIST],
            cwd=self.root, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        wanted = self.bpath("d599", "blacklist.txt") + b"\r\n"
        while process.poll() is None:
            try:
                with open(self.path("blist.dir"), "rb") as listing:
                    if wanted in listing.read():
                        break
            except OSError:
                pass
            time.sleep(0.001)
        os.rename(self.path("chklist.log"), self.path("chklist.log.1"))
        out, err = process.communicate(timeout=300)
        self.assertEqual(process.returncode, 0, err)
        with open(trace) as lines:
            calls = [line for line in lines if "(" in line]
        opens = [number for number, call in enumerate(calls)
                 if "openat(" in call and '"chklist.log"' in call and "= -1" not in call]
        if len(opens) < 2:
            self.skipTest("the run ended before the log was rotated")
        after = calls[opens[1] + 1:]
        directory = "<%s>" % os.path.realpath(self.root)
        # Workers' calls may cut a call's line in two ("<unfinished ...>" and "resumed").
        syncs = [n for n, call in enumerate(after) if "fsync(" in call and
                 (directory + ")" in call or directory + " <unfinished" in call)]
        self.assertTrue(syncs, "the new log's name was never synced")
        renames = [n for n, call in enumerate(after) if "renameat2(" in call]
        if renames:
            self.assertLess(syncs[0], renames[0], "a list was replaced before the new log's name "
                                                  "reached the disk")
        self.assertIn(b"chklist.log was moved or removed while its records were written", out)

    def test_a_batch_whose_copies_or_log_cannot_be_synced_replaces_no_list(self):
        # fdatasync failing (a staged copy could not be written back) or the log's fsync
        # failing: the entries or their records may never reach the disk, so no list of the
        # batch takes its copy, and the copies are removed.
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        cases = [("fdatasync", b"cannot flush the cleaned copies to the disk: Input/output error"),
                 ("fsync", b"cannot write chklist.log")]
        for call, reason in cases:
            with self.subTest(call=call):
                shutil.rmtree(self.root)
                os.mkdir(self.root)
                self.write("chklist.log", b"", mode=0o600)  # no fsync for a new log's name
                self.write("d/blacklist.txt", b"ok@example.org\n")
                self.write("e/blacklist.txt", b"ok@example.org\nbad\n")
                process = subprocess.run(
                    ["strace", "-f", "-o", os.devnull, "-e", "trace=" + call,
                     "-e", "inject=%s:error=EIO" % call, CHKLIST], cwd=self.root,
                    capture_output=True, stdin=subprocess.DEVNULL,
                    env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                if b"inject" in process.stderr:
                    self.skipTest("strace cannot inject faults here")
                self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\n")
                self.assertEqual(self.read("e/blacklist.txt"), b"ok@example.org\nbad\n")
                for name in ("d", "e"):
                    self.assertIn(b"Not cleaned: " + self.bpath(name, "blacklist.txt") +
                                  b" could not be replaced: " + reason + b"\r\n", process.stdout)
                    self.assertEqual(os.listdir(self.path(name)), ["blacklist.txt"])
                self.assertEqual(self.leftovers(), [])

    def test_private_list_keeps_its_permissions(self):
        self.write("blacklist.txt", b"a@example.org\nbad\n", mode=0o600)
        self.run_chklist()
        self.assertEqual(stat.S_IMODE(os.stat(self.path("blacklist.txt")).st_mode), 0o600)

    # -- failures leave list files as they were -------------------------------------------
    def require_root(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the program as an unprivileged user")

    def test_unreadable_list_file_is_left_alone_and_said(self):
        self.require_root()
        os.chmod(self.root, 0o777)
        original = b"bad\nkeep@example.org\n"
        self.write("blacklist.txt", original, mode=0o200)
        self.write("whitelist.txt", b"w@example.org\nbad\n", mode=0o666)
        out, _ = self.run_chklist(preexec_fn=drop_to_nobody)
        self.assertEqual(self.read("blacklist.txt"), original)
        self.assertIn(b"Checking " + self.bpath("blacklist.txt")
                      + b" not cleaned: cannot open the file\r\n", out)
        self.assertEqual(self.read("whitelist.txt"), b"w@example.org\r\n")
        self.assertEqual(self.log_records(), [expected_record(self.bpath("whitelist.txt"), b"bad")])

    def test_closed_standard_streams_leave_the_log_to_its_records(self):
        # `chklist >&-` and `chklist 2>&-`: a file opened by the run must not take the number, or
        # the console lines and the command processor's messages (no whitelist.txt here: "File
        # Not Found") would be written into it.
        path = self.bpath("d", "blacklist.txt")
        if WRAPPER:
            self.skipTest("a wrapper such as valgrind needs the standard streams itself")
        for closed in (1, 2):
            with self.subTest(closed=closed):
                if os.path.exists(self.path("chklist.log")):
                    os.unlink(self.path("chklist.log"))
                self.write("d/blacklist.txt", b"bad\nok@example.org\n")
                out, err = self.run_chklist(preexec_fn=lambda: os.close(closed))
                self.assertEqual(self.log_records(), [expected_record(path, b"bad")])
                self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\r\n")
                self.assertEqual(self.leftovers(), [])
                if closed == 2:
                    self.assertEqual(out, BANNER + b"Checking " + path + b" #\r\n" + BANNER)

    def test_help_or_version_that_cannot_be_written_exits_1(self):
        # As the system's own tools do: what could not be written is not a success, and one line
        # on standard error says why.
        if WRAPPER:
            self.skipTest("a wrapper such as valgrind needs the standard streams itself")
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full here")
        # A preview's records are the text it owes standard output: the line says so at its end.
        self.write("blacklist.txt", b"bad\n")
        self.write("whitelist.txt", b"ok@example.org\r\n")
        incomplete = b"; the preview is incomplete\r\n"
        cases = [
            ("--help", "/dev/full", b"No space left on device", b"\n"),
            ("--version", "/dev/full", b"No space left on device", b"\n"),
            ("--version", None, b"Bad file descriptor", b"\n"),
            ("-h", None, b"Bad file descriptor", b"\n"),
            ("--dry-run", "/dev/full", b"No space left on device", incomplete),
        ]
        for argument, target, reason, end in cases:
            with self.subTest(argument=argument, target=target):
                if target is None:
                    process = self.run_chklist(argument, wait=False, stdout=None,
                                               preexec_fn=lambda: os.close(1))
                else:
                    with open(target, "wb") as full:
                        process = self.run_chklist(argument, wait=False, stdout=full)
                _, err = process.communicate(timeout=60)
                self.assertEqual(process.returncode, 1, err)
                self.assertEqual(err, b"chklist: write error: " + reason + end)
                self.assertEqual(self.read("blacklist.txt"), b"bad\n")
                self.assertEqual(self.leftovers(), [])
                self.assertFalse(os.path.lexists(self.path("chklist.log")))

    def run_on_terminal(self, *args, stream):
        """Runs chklist with `stream` ("stdout" or "stderr") on a terminal and the other on a
        pipe: (what the terminal showed, what the pipe got, the exit code)."""
        controller, terminal = os.openpty()
        try:
            attributes = termios.tcgetattr(terminal)
            attributes[1] &= ~termios.OPOST  # the bytes as written, no LF made CR LF
            termios.tcsetattr(terminal, termios.TCSANOW, attributes)
            other = "stderr" if stream == "stdout" else "stdout"
            process = subprocess.Popen([*WRAPPER, CHKLIST, *args], cwd=self.root,
                                       stdin=subprocess.DEVNULL,
                                       **{stream: terminal, other: subprocess.PIPE})
            os.close(terminal)
            terminal = -1
            piped = process.communicate(timeout=120)[0 if other == "stdout" else 1]
            shown = b""
            while True:
                try:
                    piece = os.read(controller, 65536)
                except OSError:  # the terminal's other side has closed
                    break
                if not piece:
                    break
                shown += piece
        finally:
            os.close(controller)
            if terminal >= 0:
                os.close(terminal)
        return shown, piped, process.returncode

    def test_preview_shows_its_progress_where_standard_error_is_a_terminal(self):
        self.write("blacklist.txt", b"bad\nok@example.org\n")
        path = self.bpath("blacklist.txt")
        shown, out, code = self.run_on_terminal("-n", stream="stderr")
        self.assertEqual(code, 0)
        self.assertEqual(self.records_of(out), [expected_record(path, b"bad")])
        self.assertTrue(shown.startswith(BANNER + b"Checking " + path + b" #\r\n" + BANNER),
                        shown)
        # Records shown on a terminal cannot drive it; the console lines go to the pipe.
        self.write("blacklist.txt", b"x\x1b]2;HACKED\x07\n")
        shown, err, code = self.run_on_terminal("-n", stream="stdout")
        self.assertEqual(code, 0)
        self.assertEqual(self.records_of(shown), [expected_record(path, b"x?]2;HACKED?")])
        self.assertNotIn(b"Checking", err)
        self.assertEqual(self.read("blacklist.txt"), b"x\x1b]2;HACKED\x07\n")
        self.assertEqual(self.leftovers(), [])

    def test_a_small_limit_on_open_files_changes_nothing_or_keeps_local_time(self):
        # With 4 descriptors the lock file can be opened but not the log after it: the run says
        # so, changes nothing and creates nothing either. With 11 the time zone must already be
        # loaded, or the records would be stamped in UTC.
        if WRAPPER:
            self.skipTest("a wrapper such as valgrind needs descriptors of its own")
        zone = "Asia/Tokyo"  # never UTC, no summer time
        if not os.path.exists(os.path.join("/usr/share/zoneinfo", zone)):
            self.skipTest("no time zone data here (tzdata)")

        def limit(count):
            return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (count, count))

        self.write("blacklist.txt", b"bad\n")
        out, _ = self.run_chklist(preexec_fn=limit(4))
        self.assertEqual(out, b"Cannot open chklist.log: it cannot be created: Too many open "
                              b"files; no list file is changed\r\n")
        self.assertEqual(self.read("blacklist.txt"), b"bad\n")
        self.assertEqual(sorted(os.listdir(self.root)), ["blacklist.txt"], "created")
        before = time.time()
        self.run_chklist(preexec_fn=limit(11), env={**os.environ, "TZ": zone})
        after = time.time()
        stamp = self.read("chklist.log")[:28]
        os.environ["TZ"] = zone
        try:
            time.tzset()
            expected = {time.strftime("%m-%d-%Y    %H:%M", time.localtime(moment)).encode()
                        for moment in (before, after)}
        finally:
            del os.environ["TZ"]
            time.tzset()
        self.assertIn(stamp[:19], expected, stamp)

    def test_every_small_limit_on_open_files_is_said_and_leaves_nothing_behind(self):
        # Whatever the limit, the run's own files are gone afterwards, the list ends original or
        # cleaned, and a directory the search could not open for its own reasons is said on the
        # console; a search that failed so is never "File Not Found".
        if WRAPPER:
            self.skipTest("a wrapper such as valgrind needs descriptors of its own")
        deep = os.path.join("a", "b", "c", "d", "blacklist.txt")
        for count in range(4, 14):
            with self.subTest(limit=count):
                self.write(deep, b"bad\nok@example.org\n")
                out, err = self.run_chklist(preexec_fn=lambda: resource.setrlimit(
                    resource.RLIMIT_NOFILE, (count, count)))
                self.assertEqual(self.leftovers(), [])
                self.assertIn(self.read(deep), (b"bad\nok@example.org\n", b"ok@example.org\r\n"))
                if b"The search could not read " in out:
                    self.assertNotIn(self.file_not_found, err)
                    self.assertIn(b"; the lists below it are not checked\r\n", out)
                elif (b"Cannot lock" not in out and b"Cannot write the file list" not in out
                      and b"Cannot open chklist.log" not in out):
                    self.assertIn(b"Checking " + self.bpath(deep), out)

    def test_planted_link_at_the_staged_name_is_never_written_through(self):
        # The copy takes a random name beside the list; the link stays as it was planted.
        victim = self.write("victim.txt", b"precious\n")
        self.write("d/blacklist.txt", b"bad\nok@example.org\n")
        os.symlink(victim, self.path("d/.chklist-copy-blacklist.txt"))
        self.run_chklist()
        self.assertEqual(self.read("victim.txt"), b"precious\n")
        self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(sorted(os.listdir(self.path("d"))),
                         [".chklist-copy-blacklist.txt", "blacklist.txt"])


class TerminalTest(LinuxTree):
    """The program in a real terminal: tmux gives it one, capture-pane reads the screen."""

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], check=True,
                              capture_output=True).stdout

    def test_names_holding_escape_sequences_cannot_drive_the_terminal(self):
        if shutil.which("tmux") is None:
            self.skipTest("tmux is not installed")
        self.socket = "chklist-e2e-%d" % os.getpid()
        hostile = "x\x1b]2;HACKED\x07\x1b[2J\x1b[31mred\b\t\u202egnp"
        self.write(os.path.join(hostile, "blacklist.txt"), b"bad\nok@example.org\n")
        script = self.write("run.sh", ("cd '%s' && '%s'; echo DONE; sleep 30\n"
                                       % (self.root, CHKLIST)).encode())
        self.tmux("new-session", "-d", "-x", "200", "-y", "20", "-s", "t", "sh", script)
        try:
            screen = b""
            for _ in range(100):
                screen = self.tmux("capture-pane", "-p", "-t", "t")
                if b"DONE" in screen:
                    break
                time.sleep(0.1)
            title = self.tmux("display-message", "-p", "-t", "t", "#{pane_title}")
        finally:
            subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
        self.assertIn(b"DONE", screen)
        shown = os.fsencode(self.path("x")) + b"?]2;HACKED??[2J?[31mred?????gnp/blacklist.txt #"
        self.assertIn(b"Checking " + shown, screen)
        self.assertEqual(screen.count(b"Generating file list... Please wait..."), 2)
        self.assertNotIn(b"HACKED", title)
        self.assertEqual(self.read(os.path.join(hostile, "blacklist.txt")),
                         b"ok@example.org\r\n")


if __name__ == "__main__":
    CHKLIST = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
