#!/usr/bin/env python3
"""Windows end-to-end tests: chklist.exe under wine, in scratch directory trees, comparing bytes.

Usage: run_windows_tests.py CHKLIST_EXE E2E_HELPER_EXE EMULATOR... [-- unittest arguments]

EMULATOR is the command that runs a Windows program (cmake/wine-run.sh and its wine prefix). The
program's own "dir" command lines run in wine's command processor; list paths
are the Z: drive's names of the scratch tree. When wine cannot start, the suite prints why and
exits with 77 (skipped).
"""
import ctypes
import os
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

from scratch_tree import BANNER, RUN_LOCK_OFFSET, ScratchTree, SharedScenarios, expected_record

CHKLIST = None
HELPER = None
EMULATOR = []
SKIP_CODE = 77
CANNOT_PASS = b" not cleaned: its name cannot be passed to the command processor\r\n"
# What the search says on standard error when it finds no list file, as the command processor's
# "dir" says it.
FILE_NOT_FOUND = b"File Not Found"
HIDDEN, SYSTEM, ARCHIVE = 0x2, 0x4, 0x20


def windows_name(path):
    """The name wine gives a Unix path: the Z: drive maps the Unix root."""
    return b"Z:" + os.fsencode(path).replace(b"/", b"\\")


class WineTree(ScratchTree):
    """A scratch tree chklist.exe runs in under wine, with helpers that hold files open."""

    prefix = "chklist-win-"

    def setUp(self):
        super().setUp()
        self.holders = []

    def tearDown(self):
        for holder in list(self.holders):
            self.release(holder)
        super().tearDown()

    def wpath(self, *parts):
        return windows_name(self.path(*parts))

    listed = wpath
    file_not_found = FILE_NOT_FOUND
    start_seconds = 4.0

    def hold_run_lock(self):
        self.write("chklist.log", b"")
        holder = self.hold("lock", str(RUN_LOCK_OFFSET), "1", "chklist.log")
        return lambda: self.release(holder)

    def run_chklist(self, *args, wait=True, file_size_limit=None):
        def limit():
            # Writes beyond the limit fail (EFBIG) instead of ending the process.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        process = subprocess.Popen([*EMULATOR, CHKLIST, *args], cwd=self.root,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL,
                                   preexec_fn=None if file_size_limit is None else limit)
        if not wait:
            return process
        out, err = process.communicate(timeout=300)
        self.assertEqual(process.returncode, 0, (err, out))
        return out, err

    def hold(self, *arguments):
        """Starts the helper holding a file; returns once it holds it."""
        holder = subprocess.Popen([*EMULATOR, HELPER, *arguments], cwd=self.root,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.holders.append(holder)
        self.assertEqual(holder.stdout.readline(), b"held\r\n", arguments)
        return holder

    def attributes(self, relative, value=None):
        """The Windows attributes of a file of the tree, after setting them to `value`."""
        arguments = [] if value is None else [hex(value)]
        done = subprocess.run([*EMULATOR, HELPER, "attributes", self.wpath(relative), *arguments],
                              capture_output=True, timeout=60, check=True)
        return int(done.stdout, 16)

    def release(self, holder):
        holder.stdin.close()
        holder.stdout.close()
        holder.wait(timeout=60)
        if holder in self.holders:
            self.holders.remove(holder)


class WindowsRunTest(WineTree, SharedScenarios):
    help_forms = SharedScenarios.help_forms + ["/?", "-?"]

    # -- failures leave list files as they were -------------------------------------------
    def test_file_held_by_another_program_is_left_alone_and_said(self):
        original = b"bad\nkeep@example.org\n"
        self.write("blacklist.txt", original)
        self.write("whitelist.txt", b"w@example.org\nbad\n")
        self.hold("exclusive", "blacklist.txt")
        out, _ = self.run_chklist()
        self.assertEqual(self.read("blacklist.txt"), original)
        self.assertIn(b"Checking " + self.wpath("blacklist.txt")
                      + b" not cleaned: cannot open the file\r\n", out)
        self.assertEqual(self.read("whitelist.txt"), b"w@example.org\r\n")
        self.assertEqual(self.log_records(), [expected_record(self.wpath("whitelist.txt"), b"bad")])
        self.assertEqual(self.leftovers(), [])

    def test_directory_named_like_a_list_file_is_left_with_its_contents(self):
        # The directory search lists files only.
        self.write("x/blacklist.txt/inner.txt", b"precious\n")
        self.write("blacklist.txt", b"bad\nok@example.org\n")
        out, _ = self.run_chklist()
        self.assertEqual(self.read("x/blacklist.txt/inner.txt"), b"precious\n")
        self.assertEqual(out, BANNER + b"Checking " + self.wpath("blacklist.txt") + b" #\r\n"
                         + BANNER)
        self.assertEqual(self.read("blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(self.leftovers(), [])

    def test_hidden_and_system_list_files_are_cleaned_and_keep_their_attributes(self):
        cases = {"h": HIDDEN, "s": SYSTEM, "hs": HIDDEN | SYSTEM}
        for name, value in cases.items():
            self.write(os.path.join(name, "blacklist.txt"), b"bad\nok@example.org\n")
            self.attributes(os.path.join(name, "blacklist.txt"), value)
        out, _ = self.run_chklist()
        for name, value in cases.items():
            listed = os.path.join(name, "blacklist.txt")
            self.assertEqual(self.read(listed), b"ok@example.org\r\n", name)
            self.assertIn(b"Checking " + self.wpath(listed) + b" #\r\n", out)
            self.assertEqual(self.attributes(listed) & (HIDDEN | SYSTEM), value, name)
        self.assertEqual(len(self.log_records()), len(cases))
        self.assertEqual(self.leftovers(), [])

    def test_list_file_that_cannot_be_replaced_is_left_alone_and_said(self):
        # Another program has the file open for reading and lets others only read it: the
        # cleaning reads it, but the rename that would replace it is refused.
        # The list is hidden and system: its copy, which took those attributes, is removed all
        # the same (a "del" without "/a" would leave it).
        original = b"bad\nkeep@example.org\n"
        self.write("d/blacklist.txt", original)
        self.attributes("d/blacklist.txt", HIDDEN | SYSTEM)
        self.hold("readers", os.path.join("d", "blacklist.txt"))
        out, err = self.run_chklist()
        self.assertEqual(self.read("d/blacklist.txt"), original)
        self.assertIn(b"Checking " + self.wpath("d", "blacklist.txt") + b" #\r\n"
                      + b"Not cleaned: " + self.wpath("d", "blacklist.txt")
                      + b" could not be replaced: another program has it open\r\n", out)
        self.assertEqual(self.log_records(),
                         [expected_record(self.wpath("d", "blacklist.txt"), b"bad")])
        self.assertEqual(self.leftovers(), [])

    def test_a_replacement_blocked_for_a_moment_is_tried_again(self):
        # Another program (a virus scanner, say) holds the list file for a moment while the run
        # renames the cleaned copy over it: the hidden list's copy turns hidden just before the
        # first try, which the holder outlasts by half a second.
        self.write("d/blacklist.txt", b"bad\nkeep@example.org\n")
        self.attributes("d/blacklist.txt", HIDDEN)
        holder = self.hold("briefly", os.path.join("d", "blacklist.txt"),
                           os.path.join("d", ".chklist-copy-blacklist.txt"), "500")
        out, _ = self.run_chklist()
        self.release(holder)
        self.assertEqual(self.read("d/blacklist.txt"), b"keep@example.org\r\n")
        self.assertEqual(out, BANNER + b"Checking " + self.wpath("d", "blacklist.txt") + b" #\r\n"
                         + BANNER)
        self.assertEqual(self.leftovers(), [])

    def test_planted_directory_at_the_staged_name_is_left_with_its_contents(self):
        # A directory at the list's staged name stays as planted; the copy takes another name.
        staged = "d/.chklist-copy-blacklist.txt"
        self.write(staged + "/precious.txt", b"precious\n")
        self.write("d/blacklist.txt", b"bad\nok@example.org\n")
        out, _ = self.run_chklist()
        self.assertEqual(self.read(staged + "/precious.txt"), b"precious\n")
        self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\r\n")
        self.assertIn(b"Checking " + self.wpath("d", "blacklist.txt") + b" #\r\n", out)
        self.assertEqual(self.log_records(),
                         [expected_record(self.wpath("d", "blacklist.txt"), b"bad")])
        self.assertEqual(sorted(os.listdir(self.path("d"))),
                         [".chklist-copy-blacklist.txt", "blacklist.txt"])
        self.assertEqual(self.leftovers(), [os.path.join("d", ".chklist-copy-blacklist.txt")])

    def test_a_staged_name_taken_by_a_dangling_link_or_another_users_file_gives_way(self):
        # Neither is a leftover of this run: it stays as it is, and the copy takes a random name.
        if os.geteuid() != 0:
            self.skipTest("planting another user's file needs root")
        self.write("a/blacklist.txt", b"bad\nok@example.org\n")
        os.symlink("/nonexistent-" + os.urandom(4).hex(), self.path("a/.chklist-copy-blacklist.txt"))
        self.write("b/blacklist.txt", b"bad\nok@example.org\n")
        self.write("b/.chklist-copy-blacklist.txt", b"theirs\n")
        os.chown(self.path("b/.chklist-copy-blacklist.txt"), 65534, 65534)
        out, _ = self.run_chklist()
        self.assertNotIn(b"not cleaned", out)
        for folder in ("a", "b"):
            self.assertEqual(self.read(folder + "/blacklist.txt"), b"ok@example.org\r\n")
        self.assertTrue(os.path.islink(self.path("a/.chklist-copy-blacklist.txt")))
        self.assertEqual(self.read("b/.chklist-copy-blacklist.txt"), b"theirs\n")
        self.assertEqual(sorted(self.leftovers()),
                         ["a/.chklist-copy-blacklist.txt", "b/.chklist-copy-blacklist.txt"])

    def test_planted_hard_link_at_the_staged_name_leaves_its_other_file_alone(self):
        # The staged name is another name of victim.txt: a leftover of a run has one name, so
        # this one is neither removed nor written; the copy takes another name of its own.
        self.write("victim.txt", b"precious\n")
        staged = self.path("d", ".chklist-copy-blacklist.txt")
        self.write("d/blacklist.txt", b"bad\nok@example.org\n")
        os.link(self.path("victim.txt"), staged)
        out, _ = self.run_chklist()
        self.assertEqual(self.read("victim.txt"), b"precious\n")
        self.assertTrue(os.path.samefile(self.path("victim.txt"), staged))
        self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\r\n")
        self.assertIn(b"Checking " + self.wpath("d", "blacklist.txt") + b" #\r\n", out)
        self.assertEqual(self.log_records(),
                         [expected_record(self.wpath("d", "blacklist.txt"), b"bad")])
        self.assertEqual(sorted(os.listdir(self.path("d"))),
                         [".chklist-copy-blacklist.txt", "blacklist.txt"])

    def test_planted_file_lists_never_receive_the_listing(self):
        # blist.dir a hard link to a file of the tree, wlist.dir one to a file outside it: the
        # search writes into a file list made anew, never through the name, so both other files
        # keep their content and the lists are cleaned.
        self.write("victim.txt", b"precious\n")
        os.link(self.path("victim.txt"), self.path("blist.dir"))
        outside = self.path("..", os.path.basename(self.root) + "-v2")
        os.makedirs(outside)
        self.addCleanup(shutil.rmtree, outside, True)
        with open(os.path.join(outside, "victim2.txt"), "wb") as victim:
            victim.write(b"precious too\n")
        os.link(os.path.join(outside, "victim2.txt"), self.path("wlist.dir"))
        self.write("d/blacklist.txt", b"bad\nok@example.org\n")
        self.write("d/whitelist.txt", b"w@example.org\nbad\n")
        out, _ = self.run_chklist()
        self.assertEqual(self.read("victim.txt"), b"precious\n")
        with open(os.path.join(outside, "victim2.txt"), "rb") as victim:
            self.assertEqual(victim.read(), b"precious too\n")
        self.assertEqual(os.stat(self.path("victim.txt")).st_nlink, 1)
        self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(self.read("d/whitelist.txt"), b"w@example.org\r\n")
        self.assertEqual(out, BANNER + b"Checking " + self.wpath("d", "blacklist.txt") + b" #\r\n"
                         + BANNER + b"Checking " + self.wpath("d", "whitelist.txt") + b" #\r\n")
        self.assertEqual(self.leftovers(), [])

    def test_a_log_with_another_name_is_refused_and_nothing_is_written(self):
        # chklist.log a hard link to a file outside the tree, or to a list of the tree: records
        # would reach that file too. The run changes nothing and says why.
        outside = self.path("..", os.path.basename(self.root) + "-v3")
        os.makedirs(outside)
        self.addCleanup(shutil.rmtree, outside, True)
        for other in (os.path.join(outside, "victim.txt"), self.path("s", "whitelist.txt")):
            with self.subTest(other=other):
                os.makedirs(os.path.dirname(other), exist_ok=True)
                with open(other, "wb") as victim:
                    victim.write(b"keep@example.org\nbad\n")
                if os.path.lexists(self.path("chklist.log")):
                    os.remove(self.path("chklist.log"))
                os.link(other, self.path("chklist.log"))
                self.write("d/blacklist.txt", b"bad\nok@example.org\n")
                out, _ = self.run_chklist()
                self.assertEqual(out, b"Cannot open chklist.log: it has more than one name "
                                 b"(hard links); no list file is changed\r\n")
                with open(other, "rb") as victim:
                    self.assertEqual(victim.read(), b"keep@example.org\nbad\n")
                self.assertEqual(self.read("d/blacklist.txt"), b"bad\nok@example.org\n")

    def test_a_hidden_or_system_file_list_left_from_before_is_not_taken_for_the_search(self):
        # An empty hidden blist.dir and a system wlist.dir: the command processor's redirection
        # refuses to write such a file, and an empty one read as "nothing found" would leave
        # every list uncleaned. The file lists are made anew instead.
        self.write("blist.dir", b"")
        self.attributes("blist.dir", HIDDEN)
        self.write("wlist.dir", b"")
        self.attributes("wlist.dir", SYSTEM)
        self.write("d/blacklist.txt", b"bad\nok@example.org\n")
        self.write("d/whitelist.txt", b"bad\nw@example.org\n")
        out, _ = self.run_chklist()
        self.assertEqual(self.read("d/blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(self.read("d/whitelist.txt"), b"w@example.org\r\n")
        self.assertEqual(len(self.log_records()), 2)
        self.assertEqual(self.leftovers(), [])

    def test_a_file_list_that_cannot_be_made_is_a_failed_search_and_said(self):
        # A directory holds the name blist.dir: it is left with its contents, no blacklist is
        # checked and the console says why; the whitelist pass goes on.
        self.write("blist.dir/precious.txt", b"precious\n")
        original = b"bad\nok@example.org\n"
        self.write("d/blacklist.txt", original)
        self.write("d/whitelist.txt", b"bad\nw@example.org\n")
        out, _ = self.run_chklist()
        self.assertEqual(self.read("blist.dir/precious.txt"), b"precious\n")
        self.assertEqual(self.read("d/blacklist.txt"), original)
        self.assertEqual(self.read("d/whitelist.txt"), b"w@example.org\r\n")
        self.assertIn(BANNER + b"Cannot make the file list blist.dir: another file holds its name "
                      b"and cannot be removed: no blacklist.txt is checked\r\n", out)
        self.assertEqual(self.log_records(),
                         [expected_record(self.wpath("d", "whitelist.txt"), b"bad")])

    def test_link_loops_and_a_link_to_a_big_tree_cost_nothing(self):
        # Wine shows a Unix symbolic link to a directory as a directory link, as Windows shows a
        # junction. The search never enters one: two links to parents make no endless walk, a
        # link to /usr reads none of it, and a list behind a link is not cleaned. Every list of
        # the tree itself is.
        original = b"bad\nok@example.org\n"
        for relative in ("blacklist.txt", "a/blacklist.txt", "a/b/blacklist.txt",
                         "c/whitelist.txt"):
            self.write(relative, original)
        os.symlink("..", self.path("a", "up"))
        os.symlink(os.path.join("..", ".."), self.path("a", "b", "up"))
        os.symlink("/usr", self.path("usr"))
        outside = self.path("..", os.path.basename(self.root) + "-out")
        os.makedirs(outside)
        self.addCleanup(shutil.rmtree, outside, True)
        with open(os.path.join(outside, "blacklist.txt"), "wb") as behind:
            behind.write(original)
        os.symlink(outside, self.path("out"))
        started = time.monotonic()
        out, _ = self.run_chklist()
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual(out, BANNER
                         + b"Checking " + self.wpath("blacklist.txt") + b" #\r\n"
                         + b"Checking " + self.wpath("a", "blacklist.txt") + b" #\r\n"
                         + b"Checking " + self.wpath("a", "b", "blacklist.txt") + b" #\r\n"
                         + BANNER
                         + b"Checking " + self.wpath("c", "whitelist.txt") + b" #\r\n")
        for relative in ("blacklist.txt", "a/blacklist.txt", "a/b/blacklist.txt",
                         "c/whitelist.txt"):
            self.assertEqual(self.read(relative), b"ok@example.org\r\n", relative)
        with open(os.path.join(outside, "blacklist.txt"), "rb") as behind:
            self.assertEqual(behind.read(), original)
        self.assertEqual(len(self.log_records()), 4)
        self.assertEqual(self.leftovers(), [])

    def test_a_search_that_fails_leaves_no_file_list(self):
        # The blacklists' file list cannot be written whole (a file size limit stands for a full
        # disk): no blacklist is checked, which is said, and no partial blist.dir is left; the
        # whitelist pass, whose file list fits, goes on.
        original = b"bad\nok@example.org\n"
        for index in range(40):
            self.write(os.path.join("d%02d" % index + "x" * 90, "blacklist.txt"), original)
        self.write("w/whitelist.txt", b"bad\nw@example.org\n")
        self.run_chklist("--version")  # the wine server runs, started without the limit
        out, _ = self.run_chklist(file_size_limit=4096)
        self.assertIn(BANNER + b"The search for blacklist.txt failed: cannot write the file list "
                      b"blist.dir: no blacklist.txt is checked\r\n" + BANNER, out)
        for index in range(40):
            self.assertEqual(self.read(os.path.join("d%02d" % index + "x" * 90, "blacklist.txt")),
                             original)
        self.assertEqual(self.read("w/whitelist.txt"), b"w@example.org\r\n")
        self.assertEqual(self.leftovers(), [])

    def test_list_paths_the_command_processor_cannot_reach_are_left_alone_and_said(self):
        # The command processor's commands take paths of up to 259 characters (wine's "move"
        # even ends with success when it refuses a longer one). Longer list paths are read and
        # looked at all the same (never "the file changed"), but left alone, saying why, before
        # any of their entries is logged.
        original = b"bad\nok@example.org\n"
        paths = {}
        for length in (259, 260, 357):
            parts = ["n%d" % length]
            while len(self.wpath(*parts, "blacklist.txt")) + 101 < length:
                parts.append("d" * 100)
            filler = length - len(self.wpath(*parts, "x", "blacklist.txt")) + 1
            parts.append("x" * filler)
            paths[length] = parts
            self.assertEqual(len(self.wpath(*parts, "blacklist.txt")), length)
            self.write(os.path.join(*parts, "blacklist.txt"), original)
        out, _ = self.run_chklist()
        self.assertNotIn(b"changed", out)
        cleaned = self.wpath(*paths[259], "blacklist.txt")
        self.assertEqual(self.read(os.path.join(*paths[259], "blacklist.txt")),
                         b"ok@example.org\r\n")
        self.assertIn(b"Checking " + cleaned + b" #\r\n", out)
        for length in (260, 357):
            self.assertEqual(self.read(os.path.join(*paths[length], "blacklist.txt")), original)
            self.assertIn(b"Checking " + self.wpath(*paths[length], "blacklist.txt")
                          + b" not cleaned: its path is too long\r\n", out)
        self.assertEqual(self.log_records(), [expected_record(cleaned, b"bad")])
        self.assertEqual(self.leftovers(), [])

    def test_list_directories_are_held_only_below_the_run_without_links(self):
        # Wine shows a Unix symbolic link to a directory as a reparse point, as Windows shows a
        # junction or a directory link. (A link to a file it shows as the file: see
        # docs/windows.md.)
        self.write("real/blacklist.txt", b"bad\n")
        os.symlink("real", self.path("link"))
        os.makedirs(self.path("outside"))
        cases = [
            (self.wpath("real", "BlackList.txt"), b"held BlackList.txt"),
            (self.wpath("link", "blacklist.txt"), b"refused link"),
            (self.wpath("link", "deeper", "blacklist.txt"), b"refused link"),
            (windows_name(os.path.dirname(self.root)) + b"\\blacklist.txt",
             b"refused not below"),
            (self.wpath("real", "..", "outside", "blacklist.txt"), b"refused not below"),
        ]
        for listed, expected in cases:
            answer = subprocess.run([*EMULATOR, HELPER, "hold", listed], cwd=self.root,
                                    capture_output=True, timeout=60).stdout
            self.assertEqual(answer, expected + b"\r\n", listed)

    def swap_attack(self, through_link):
        # Another user exchanges a list's directory, back and forth while chklist runs, with a
        # directory outside the tree (or a symbolic link to it) that holds a list and a file of
        # another user at the list's staged name. No run may read the outside list into the log
        # or the list inside, leave a copy of its own behind other than the leftover the next
        # run removes, take the swap for another run, or leave the list inside other than
        # cleaned or untouched. A link is never followed; a directory exchanged in stands in the
        # tree for moments, and is cleaned when it is held so, as on Linux: its list holds only
        # good entries, which cleaning keeps as they are. Wine renames by the Unix path it
        # recorded, which a swap can make lead outside: the runs that changed an outside file
        # (its name, content or inode) are counted and reported, a known limit under wine, and
        # so are those whose rename over the list, its two paths looked up on either side of a
        # swap, moved the outside file at the staged name over the list inside (the run then
        # says the list was not cleaned).
        libc = ctypes.CDLL(None, use_errno=True)
        if not hasattr(libc, "renameat2"):
            self.skipTest("the C library has no renameat2")
        if os.geteuid() != 0:
            self.skipTest("planting another user's file needs root")
        at_cwd, exchange = -100, 2
        outside = self.outside_dir(0o755)
        marker = b"outside-" + os.urandom(6).hex().encode()
        good = marker + b"@example.org\r\n"
        planted = {"blacklist.txt": (marker + b"\n" if through_link else b"") + good,
                   ".chklist-copy-blacklist.txt": b"planted-" + marker + b"\n"}

        def plant():
            for name in os.listdir(outside):
                os.remove(os.path.join(outside, name))
            for name, content in planted.items():
                with open(os.path.join(outside, name), "wb") as file:
                    file.write(content)
            os.chown(os.path.join(outside, ".chklist-copy-blacklist.txt"), 65534, 65534)

        plant()

        def outside_files():
            found = {}
            for name in sorted(os.listdir(outside)):
                with open(os.path.join(outside, name), "rb") as file:
                    found[name] = (file.read(), os.stat(os.path.join(outside, name)).st_ino)
            return found

        before = outside_files()
        inside = b"bad-inside\nkeep@example.org\n"
        self.write("d/blacklist.txt", inside)
        inside_dir = os.stat(self.path("d")).st_ino
        if through_link:
            os.symlink(outside, self.path("l"))
            other = self.path("l")
        else:
            other = outside
        names = (os.fsencode(self.path("d")), os.fsencode(other))

        def put_back():
            if os.lstat(self.path("d")).st_ino != inside_dir:
                libc.renameat2(at_cwd, names[0], at_cwd, names[1], exchange)

        cleaned, faults, changed, moved_in = 0, [], [], []
        for run in range(40):
            self.write("d/blacklist.txt", inside)
            stop = threading.Event()

            def swap():
                while not stop.is_set():
                    if libc.renameat2(at_cwd, names[0], at_cwd, names[1], exchange) != 0:
                        raise OSError(ctypes.get_errno(), "renameat2")
                    time.sleep(0.0005)

            swapper = threading.Thread(target=swap)
            swapper.start()
            try:
                out, _ = self.run_chklist()
            finally:
                stop.set()
                swapper.join()
            put_back()
            if outside_files() != before:
                changed.append(run)
                plant()  # each run meets the outside as it was
                before = outside_files()
            if os.path.exists(self.path("chklist.log")) and marker in self.read("chklist.log"):
                faults.append("run %d read the outside list" % run)
            if b"another chklist run" in out:
                faults.append("run %d took the swap for another run: %r" % (run, out))
            left = [name for name in self.leftovers() if name != "d/.chklist-copy-blacklist.txt"]
            if left:
                faults.append("run %d left %r: %r" % (run, left, out))
                for name in left:
                    os.remove(self.path(name))
            now = self.read("d/blacklist.txt") if os.path.exists(self.path("d/blacklist.txt")) else None
            if now == planted[".chklist-copy-blacklist.txt"] and b"Not cleaned" in out:
                moved_in.append(run)
            elif now not in (inside, b"keep@example.org\r\n"):
                faults.append("run %d gave the list %r: %r, %r" % (run, now, out, os.listdir(self.path("d"))))
            cleaned += now == b"keep@example.org\r\n"
        sys.stderr.write("swapped %s: %d of 40 runs cleaned the list inside; wine's path-based "
                         "renames: %d changed an outside file, %d moved one over the list\n"
                         % ("for a link" if through_link else "directory", cleaned, len(changed),
                            len(moved_in)))
        self.assertEqual(faults, [])

    def test_a_directory_swapped_for_a_link_during_runs_reads_nothing_outside(self):
        self.swap_attack(through_link=True)

    def test_a_directory_swapped_with_one_outside_during_runs_reads_nothing_outside(self):
        self.swap_attack(through_link=False)

    def test_a_run_without_standard_handles_shows_nothing_and_cleans(self):
        # Started with no standard handle at all: no console text anywhere, above all not in a
        # file the run opens.
        self.write("blacklist.txt", b"bad\nok@example.org\n")
        done = subprocess.run([*EMULATOR, HELPER, "detached", windows_name(CHKLIST)],
                              cwd=self.root, capture_output=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.read("blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(self.log_records(), [expected_record(self.wpath("blacklist.txt"), b"bad")])
        self.assertNotIn(b"Checking", done.stdout)
        self.assertEqual(self.leftovers(), [])

    def test_names_outside_ascii_are_cleaned_and_logged_as_listed(self):
        # Wine's directory search writes names in the ANSI code page (1252 here), the code page
        # in which the program opens them again; the bytes reach the console and log unchanged.
        names = {"caf\u00e9": b"caf\xe9", "na\u00efve \u00c5": b"na\xefve \xc5"}
        for name in names:
            self.write(os.path.join(name, "blacklist.txt"), b"bad\nok@example.org\n")
        out, _ = self.run_chklist()
        records = self.log_records()
        for name, listed in names.items():
            self.assertEqual(self.read(os.path.join(name, "blacklist.txt")), b"ok@example.org\r\n")
            path = windows_name(self.root) + b"\\" + listed + b"\\blacklist.txt"
            self.assertIn(b"Checking " + path + b" #\r\n", out)
            self.assertIn(expected_record(path, b"bad"), records)
        self.assertEqual(self.leftovers(), [])

    def test_a_name_the_code_page_lacks_is_left_alone_never_a_look_alike(self):
        # "\u0141" is not in the ANSI code page (1252): its list file is left alone and said,
        # with "?" for the character, and the list file of "Lodz" is cleaned once, as itself.
        original = b"bad\nok@example.org\n"
        self.write(os.path.join("\u0141odz", "blacklist.txt"), original)
        self.write(os.path.join("Lodz", "blacklist.txt"), original)
        out, _ = self.run_chklist()
        self.assertEqual(self.read(os.path.join("\u0141odz", "blacklist.txt")), original)
        self.assertEqual(self.read(os.path.join("Lodz", "blacklist.txt")), b"ok@example.org\r\n")
        self.assertIn(b"Checking " + self.wpath("?odz", "blacklist.txt") + b" not cleaned: its "
                      b"name holds characters outside the system's ANSI code page\r\n", out)
        self.assertEqual(out.count(b"Checking " + self.wpath("Lodz", "blacklist.txt")), 1)
        self.assertEqual(self.log_records(),
                         [expected_record(self.wpath("Lodz", "blacklist.txt"), b"bad")])
        self.assertEqual(self.leftovers(), [])

    def test_percent_names_are_left_untouched_and_said(self):
        # The command processor expands %NAME% even inside quotes: such a path cannot be passed.
        original = b"bad\nok@example.org\n"
        names = ["pct%PATH%", "pct%x", "%"]
        for name in names:
            self.write(os.path.join(name, "blacklist.txt"), original)
        self.write("plain/blacklist.txt", original)
        out, _ = self.run_chklist()
        for name in names:
            self.assertEqual(self.read(os.path.join(name, "blacklist.txt")), original, name)
            self.assertIn(b"Checking " + self.wpath(name, "blacklist.txt") + CANNOT_PASS, out)
        self.assertEqual(self.read("plain/blacklist.txt"), b"ok@example.org\r\n")
        self.assertEqual(self.log_records(),
                         [expected_record(self.wpath("plain", "blacklist.txt"), b"bad")])
        self.assertEqual(self.leftovers(), [])

    def test_names_the_command_processor_would_turn_into_another_file_are_left_alone(self):
        # "X." is another directory than "X", but the command processor drops the final dot:
        # its "move" would put X.'s cleaned entries over X's list. A device name would be the
        # device. Both lists stay as they are and are said; the list of "X" is cleaned as itself.
        self.write("X/blacklist.txt", b"bad\nvictim@x.example\n")
        self.write("X./blacklist.txt", b"attacker@x.example\n")
        self.write("Y /blacklist.txt", b"attacker@x.example\n")
        self.write("nul/blacklist.txt", b"attacker@x.example\n")
        self.write("com1.d/blacklist.txt", b"attacker@x.example\n")
        out, _ = self.run_chklist()
        self.assertEqual(self.read("X/blacklist.txt"), b"victim@x.example\r\n")
        dropped = (b" not cleaned: a name on its path ends in a dot or a blank, which the command "
                   b"processor drops: it would replace another file\r\n")
        device = b" not cleaned: a name on its path is a device name to the command processor\r\n"
        for name, said in (("X.", dropped), ("Y ", dropped), ("nul", device), ("com1.d", device)):
            self.assertEqual(self.read(os.path.join(name, "blacklist.txt")),
                             b"attacker@x.example\n", name)
            self.assertIn(b"Checking " + self.wpath(name, "blacklist.txt") + said, out)
        self.assertEqual(self.log_records(),
                         [expected_record(self.wpath("X", "blacklist.txt"), b"bad")])
        self.assertEqual(self.leftovers(), [])


class WindowsConsoleTest(WineTree):
    """chklist.exe on a real Windows console: wine makes one of the tmux pane it runs in."""
    maxDiff = None

    def setUp(self):
        super().setUp()
        if shutil.which("tmux") is None:
            self.skipTest("tmux is not installed")
        self.socket = None

    def tearDown(self):
        self.stop_tmux()
        super().tearDown()

    def stop_tmux(self):
        if self.socket is not None:
            subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
            self.socket = None

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], check=True,
                              capture_output=True).stdout

    def screen_of(self, program, columns, rows):
        """Runs the program in a pane of the given size; returns the pane's rows at its end."""
        self.stop_tmux()
        self.socket = "chklist-win-%d-%d" % (os.getpid(), time.monotonic_ns())
        command = " ".join("'%s'" % part for part in [*EMULATOR, *program])
        script = self.write("run.sh", ("cd '%s' && %s; echo DONE; sleep 300\n"
                                       % (self.root, command)).encode())
        self.tmux("new-session", "-d", "-x", str(columns), "-y", str(rows), "-s", "t",
                  "sh", script)
        screen = b""
        deadline = time.time() + 240
        while time.time() < deadline:
            screen = self.tmux("capture-pane", "-p", "-t", "t")
            if b"DONE" in screen:
                break
            time.sleep(0.2)
        self.assertIn(b"DONE", screen)
        rows_shown = screen.split(b"\n")
        return rows_shown[:rows]

    def require_console(self, columns, rows):
        screen = self.screen_of([HELPER, "console"], columns, rows)
        if not screen[0].startswith(b"console "):
            self.skipTest("wine gives no usable console in tmux: %r" % screen[0])
        self.assertEqual(screen[0], b"console %d %d %d" % (columns, rows, rows))
        os.remove(self.path("run.sh"))

    def test_screen_shows_banner_checking_lines_and_marks(self):
        self.require_console(100, 20)
        self.write("blacklist.txt", b"bad\ngood@example.org\nx\n")
        self.write("a b/blacklist.txt", b"alice@example.org\n")
        self.write("c/whitelist.txt", b"w@\n")
        screen = self.screen_of([CHKLIST], 100, 20)
        self.assertEqual(screen[:6], [
            BANNER[:-2],
            b"Checking " + self.wpath("blacklist.txt") + b" ##",
            b"Checking " + self.wpath("a b", "blacklist.txt"),
            BANNER[:-2],
            b"Checking " + self.wpath("c", "whitelist.txt") + b" #",
            b"DONE",
        ])
        self.assertEqual(screen[6:], [b""] * 14)
        self.assertEqual(self.read("blacklist.txt"), b"good@example.org\r\n")

    def test_a_name_outside_ascii_shows_as_its_own_characters(self):
        # The path's bytes are in the ANSI code page (1252 here); the console shows the
        # characters they stand for, whatever its own code page.
        self.require_console(80, 10)
        self.write(os.path.join("caf\u00e9 \u00c5", "blacklist.txt"), b"bad\n")
        screen = self.screen_of([CHKLIST], 80, 10)
        shown = (b"Checking " + self.wpath("") + "caf\u00e9 \u00c5".encode() + b"\\blacklist.txt #")
        self.assertEqual(screen[1].rstrip(b" "), shown)

    def test_output_scrolling_past_the_bottom_keeps_every_line_in_place(self):
        columns, rows = 60, 10
        self.require_console(columns, rows)
        count = 14
        for index in range(count):
            self.write("d%02d/blacklist.txt" % index, b"bad\n" * (index % 3) + b"ok@example.org\n")
        # A name longer than a row: its line wraps onto the next row, marks and all.
        long_name = "l" * 40
        self.write(os.path.join(long_name, "blacklist.txt"), b"bad\nworse\n")
        # A line that fills its row exactly: the cursor has already wrapped when its line end
        # comes, so an empty row stands under it, as on any Windows console.
        fill_name = "f" * (columns - len(b"Checking " + self.wpath("") + b"\\blacklist.txt #"))
        self.write(os.path.join(fill_name, "blacklist.txt"), b"bad\n")
        self.write("zz/whitelist.txt", b"w@\n")
        screen = self.screen_of([CHKLIST], columns, rows)

        def rows_of(line):
            return [line[i:i + columns] for i in range(0, len(line), columns)] or [b""]
        expected = rows_of(BANNER[:-2])
        for index in range(count):
            expected += rows_of(b"Checking " + self.wpath("d%02d" % index, "blacklist.txt") + b" "
                                + b"#" * (index % 3))
        full_row = b"Checking " + self.wpath(fill_name, "blacklist.txt") + b" #"
        self.assertEqual(len(full_row), columns)
        expected += [full_row, b""]
        expected += rows_of(b"Checking " + self.wpath(long_name, "blacklist.txt") + b" ##")
        expected += rows_of(BANNER[:-2])
        expected += rows_of(b"Checking " + self.wpath("zz", "whitelist.txt") + b" #")
        # The shell's line end after DONE scrolls once more and leaves the bottom row empty.
        expected += [b"DONE", b""]
        self.assertGreater(len(expected), rows)
        # The bottom of the output fills the window; the top has scrolled away.
        self.assertEqual([row.rstrip(b" ") for row in screen],
                         [row.rstrip(b" ") for row in expected[-rows:]])
        for index in range(count):
            self.assertEqual(self.read("d%02d/blacklist.txt" % index), b"ok@example.org\r\n")


def main():
    global CHKLIST, HELPER, EMULATOR
    arguments = sys.argv[1:]
    rest = []
    if "--" in arguments:
        rest = arguments[arguments.index("--") + 1:]
        arguments = arguments[:arguments.index("--")]
    CHKLIST = os.path.abspath(arguments[0])
    HELPER = os.path.abspath(arguments[1])
    EMULATOR = arguments[2:]
    check = subprocess.run([*EMULATOR, "--check"], capture_output=True)
    if check.returncode != 0:
        sys.stderr.write(check.stderr.decode(errors="replace"))
        print("Windows end-to-end tests skipped: wine cannot start here")
        sys.exit(SKIP_CODE)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
