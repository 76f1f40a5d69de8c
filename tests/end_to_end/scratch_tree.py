"""What the Linux and Windows end-to-end suites share: the program's fixed texts, the log record
layout, and a scratch directory tree with helpers to fill and inspect it."""
import os
import re
import shutil
import stat
import sys
import tempfile
import time
import traceback
import unittest

BANNER = b"Generating file list... Please wait...\r\n"
# The date and time that start every log record (28 bytes), in the pattern the C++ tests and CI
# share; its groups are month, day, year, hour, minute and second.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                       "log_record_stamp.txt"), "rb") as stamp:
    RECORD = re.compile(stamp.read().strip())
# The byte of chklist.log a run holds locked while it runs.
RUN_LOCK_OFFSET = 0x7FFFFFFE


# The unprivileged user a test acts as (root's runs and attackers alike).
NOBODY = 65534


def drop_to_nobody():
    """preexec_fn (or the first step of a forked child): from root to nobody, without root's
    groups, so every permission check applies."""
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def as_attacker(action, *args):
    """Runs action(*args) in a forked child that has dropped to nobody; True when it returned.
    A fork (no program to start) keeps the move quick enough to land inside a run."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            drop_to_nobody()
            action(*args)
            code = 0
        except BaseException:
            traceback.print_exc()
            sys.stderr.flush()
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status) == 0


def zone_pad(length):
    """Blanks after a field that ends at column `length`."""
    return b" " * (14 - length % 14)


def expected_record(path, entry):
    """A log record without its date and time (the first 28 bytes)."""
    return path + zone_pad(28 + len(path)) + entry + b"\r\n"


class ScratchTree(unittest.TestCase):
    """A scratch directory tree to run the program in, and helpers to inspect it."""

    prefix = "chklist-e2e-"

    def setUp(self):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix=self.prefix))
        os.chmod(self.root, 0o755)

    def tearDown(self):
        # Tests may leave directories without write or search permission behind.
        for dirpath, dirnames, _ in os.walk(self.root):
            for name in dirnames:
                full = os.path.join(dirpath, name)
                if not os.path.islink(full):
                    os.chmod(full, 0o755)
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, relative, data, mode=None):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            out.write(data)
        if mode is not None:
            os.chmod(full, mode)
        return full

    def read(self, relative):
        with open(self.path(relative), "rb") as data:
            return data.read()

    def outside_dir(self, mode=0o700):
        """A directory beside the tree, not below it, removed after the test."""
        directory = os.path.realpath(tempfile.mkdtemp(prefix=self.prefix + "outside-"))
        os.chmod(directory, mode)
        self.addCleanup(shutil.rmtree, directory, True)
        return directory

    def log_records(self, name="chklist.log"):
        """The log's records with their date and time checked and cut off."""
        return self.records_of(self.read(name) if os.path.exists(self.path(name)) else b"")

    def records_of(self, data):
        """The records in `data`, laid out as in the log, with their date and time checked and
        cut off."""
        records = []
        for line in data.split(b"\r\n")[:-1]:
            match = RECORD.match(line)
            self.assertIsNotNone(match, line)
            month, day, _, hour, minute, second = (int(x) for x in match.groups())
            self.assertTrue(1 <= month <= 12 and 1 <= day <= 31, line)
            self.assertTrue(hour < 24 and minute < 60 and second < 61, line)
            records.append(line[28:] + b"\r\n")
        self.assertTrue(data == b"" or data.endswith(b"\r\n"))
        return records

    def snapshot(self):
        """Every name below the tree's top: its inode, mode, links, size, modification time and,
        for a file, its bytes."""
        shot = {}
        for folder, directories, files in os.walk(self.root):
            for name in directories + files:
                full = os.path.join(folder, name)
                info = os.lstat(full)
                with open(full, "rb") if stat.S_ISREG(info.st_mode) else open(os.devnull, "rb") as f:
                    data = f.read()
                shot[os.path.relpath(full, self.root)] = (
                    info.st_ino, info.st_mode, info.st_nlink, info.st_size, info.st_mtime_ns, data)
        return shot

    def leftovers(self):
        """The run's temporary files left in its directory, and staged copies left anywhere."""
        left = [name for name in ("list.tmp", "blist.dir", "wlist.dir")
                if os.path.lexists(self.path(name))]
        for folder, directories, files in os.walk(self.root):
            left += [os.path.relpath(os.path.join(folder, name), self.root)
                     for name in directories + files if name.startswith(".chklist-copy-")]
        return left


class SharedScenarios:
    """Scenarios that run alike on every platform. Mixed into a ScratchTree suite, which supplies
    `listed(*parts)` (a path as the directory search lists it), `run_chklist(*args, wait=True)`,
    `file_not_found` (what the command processor says of a search that finds nothing),
    `hold_run_lock()` (holds the lock of a run in the tree; returns what releases it) and
    `start_seconds` (time for a run to reach that lock)."""

    concurrent_lists = 8
    entries_per_list = 200
    # Names the command processor or a shell would act on, all legal everywhere: each list is
    # cleaned as itself. Were a path not passed as one argument, "&" would run "del" on
    # victim.txt.
    hostile_names = ["a b", "amp&er", "x & del victim.txt &", "semi;colon", "paren(x)", "caret^x",
                     "it's", "-dash", "bang!x", "comma,x", "eq=x", "plus+x", "b[r]{c}",
                     "dollar$x", "back`tick", "tilde~1", "$(touch PWNED)"]

    def test_good_entries_are_kept_with_crlf_whatever_their_line_ends(self):
        # LF, CR LF, no line end after the last entry; a Ctrl-Z and a NUL inside an entry are
        # data, not the end of the file.
        self.write("blacklist.txt", b"alice@example.org\nbob@example.org\r\n"
                   b"x\x1ay@example.org\r\nnul\x00l@example.org\ncarol@example.org")
        out, _ = self.run_chklist()
        self.assertEqual(self.read("blacklist.txt"),
                         b"alice@example.org\r\nbob@example.org\r\nx\x1ay@example.org\r\n"
                         b"nul\x00l@example.org\r\ncarol@example.org\r\n")
        self.assertEqual(out, BANNER + b"Checking " + self.listed("blacklist.txt") + b" \r\n"
                         + BANNER)
        self.assertEqual(self.log_records(), [])
        self.assertEqual(self.leftovers(), [])

    def test_dropped_entries_are_marked_and_logged_in_order(self):
        entries = [b"abc@def", b"ab@cde", b"nomarkhere", b"@@@@@@@", b"", b"  a@b  ",
                   b"x\x00y@zzzz", b"trailing@cr\r", b"short@"]
        self.write("blacklist.txt", b"\n".join(entries) + b"\n")
        out, _ = self.run_chklist()
        # The CR in front of the line's LF belongs to the line end, not to the entry.
        kept = [b"abc@def", b"@@@@@@@", b"  a@b  ", b"x\x00y@zzzz", b"trailing@cr"]
        self.assertEqual(self.read("blacklist.txt"), b"".join(e + b"\r\n" for e in kept))
        path = self.listed("blacklist.txt")
        self.assertEqual(self.log_records(), [expected_record(path, e) for e in
                                              (b"ab@cde", b"nomarkhere", b"", b"short@")])
        self.assertEqual(out, BANNER + b"Checking " + path + b" ####\r\n" + BANNER)

    def test_whitelists_come_after_blacklists_and_files_in_listing_order(self):
        self.write("b/blacklist.txt", b"short\n")
        self.write("a b/whitelist.txt", b"w@x\n")
        self.write("a b/blacklist.txt", b"bad\n")
        self.write("blacklist.txt", b"good@example.org\n")
        out, _ = self.run_chklist()
        self.assertEqual(out.split(b"\r\n"), [
            BANNER[:-2],
            b"Checking " + self.listed("blacklist.txt") + b" ",
            b"Checking " + self.listed("a b", "blacklist.txt") + b" #",
            b"Checking " + self.listed("b", "blacklist.txt") + b" #",
            BANNER[:-2],
            b"Checking " + self.listed("a b", "whitelist.txt") + b" #",
            b""])
        self.assertEqual(self.read("a b/whitelist.txt"), b"")
        self.assertEqual(self.read("blacklist.txt"), b"good@example.org\r\n")
        self.assertEqual(len(self.log_records()), 3)
        self.assertEqual(self.leftovers(), [])

    def test_tree_without_lists_prints_two_banners_and_leaves_no_file_lists(self):
        # Standard output holds the program's own bytes only: the command processor reports each
        # search that found nothing on standard error.
        self.write("other/notes.txt", b"x\n")
        out, err = self.run_chklist()
        self.assertEqual(out, BANNER + BANNER)
        self.assertEqual(err.count(self.file_not_found), 2)
        self.assertEqual(self.leftovers(), [])
        self.assertEqual(self.read("chklist.log"), b"")

    def test_hostile_names_are_cleaned_as_themselves(self):
        self.write("victim.txt", b"precious\n")
        for name in self.hostile_names:
            self.write(os.path.join(name, "blacklist.txt"), b"bad\nok@example.org\n")
        out, _ = self.run_chklist()
        for name in self.hostile_names:
            self.assertEqual(self.read(os.path.join(name, "blacklist.txt")),
                             b"ok@example.org\r\n", (name, out))
            self.assertIn(b"Checking " + self.listed(name, "blacklist.txt") + b" #\r\n", out)
        self.assertEqual(self.read("victim.txt"), b"precious\n")
        self.assertEqual([made for made in ("PWNED", "PWNED2") if os.path.exists(self.path(made))],
                         [])
        self.assertEqual(len(self.log_records()), len(self.hostile_names))
        self.assertEqual(self.leftovers(), [])

    def test_second_run_waits_for_the_first(self):
        original = b"bad\nok@example.org\n"
        self.write("blacklist.txt", original)
        release = self.hold_run_lock()
        try:
            process = self.run_chklist(wait=False)
            time.sleep(self.start_seconds)
            self.assertIsNone(process.poll(), "the run did not wait for the lock")
            self.assertEqual(self.read("blacklist.txt"), original)
        finally:
            release()
        out, err = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 0, err)
        # Where the system tells who holds the lock, the line after the wait says it.
        self.assertRegex(out, rb"\AWaiting for another chklist run in this directory to finish\.\.\.\r\n"
                         rb"(chklist\.lock is held by process %d\r\n)?" % os.getpid()
                         + re.escape(BANNER))
        self.assertEqual(self.read("blacklist.txt"), b"ok@example.org\r\n")

    def test_stale_staged_copy_is_removed_and_nothing_is_left_behind(self):
        # What a run killed before its batch committed leaves beside a list.
        self.write("d/.chklist-copy-blacklist.txt", b"stale@example.org\r\n")
        self.write("d/blacklist.txt", b"fresh@example.org\n")
        self.run_chklist()
        self.assertEqual(self.read("d/blacklist.txt"), b"fresh@example.org\r\n")
        self.assertEqual(self.leftovers(), [])

    def test_long_entries_are_read_whole(self):
        # A 510-byte entry before CR LF, and entries with a CR or a NUL as their 511th byte: each
        # is one entry, whatever size of pieces the lines are read in.
        entries = [b"a@" + b"b" * 508, b"x@" + b"y" * 508 + b"\r" + b"z" * 20,
                   b"k@" + b"q" * 508 + b"\0" + b"w" * 100]
        self.write("blacklist.txt", b"".join(e + b"\r\n" for e in entries) + b"short\r\n")
        self.run_chklist()
        self.assertEqual(self.read("blacklist.txt"), b"".join(e + b"\r\n" for e in entries))
        self.assertEqual(self.log_records(),
                         [expected_record(self.listed("blacklist.txt"), b"short")])

    def test_lists_larger_than_a_buffer_are_cleaned_line_by_line(self):
        # The copy takes the lines lying whole in the list file's 64 KiB read buffer at once and
        # reads the others one by one: lines across every buffer end (inside CR LF, inside a
        # line, right after an LF), a 64 KiB line, NUL and lone CR bytes inside runs of kept
        # lines, runs of dropped ones, and a last line without a line end.
        def piece(index):
            kinds = [b"keep%d@example.org\r\n", b"drop%d\n", b"lf%d@example.org\n",
                     b"nul\x00%d@x.org\r\n", b"cr\r%d@x.org\r\n", b"\r\n", b"x@%d\r\n"]
            return kinds[(index * 7 + index // 5) % len(kinds)].replace(b"%d", b"%d" % index)
        cases = [
            b"".join(piece(i) for i in range(12000)) + b"tail@example.org",
            b"a@b.cdef\r\n" + b"k@" + b"q" * 65536 + b"\r\n" + b"".join(piece(i) for i in range(9000)),
            (b"x" * 65533 + b"\r\n") + b"".join(piece(i) for i in range(5000)) + b"short\r",
        ]
        for data in cases:
            with self.subTest(length=len(data)):
                self.tearDown()
                self.setUp()
                self.write("blacklist.txt", data)
                out, _ = self.run_chklist()
                lines = data.split(b"\n")
                if lines[-1] == b"":
                    lines.pop()
                entries = [line[:-1] if line.endswith(b"\r") else line for line in lines]
                good = [e for e in entries if len(e) >= 7 and b"@" in e]
                bad = [e for e in entries if not (len(e) >= 7 and b"@" in e)]
                path = self.listed("blacklist.txt")
                self.assertEqual(self.read("blacklist.txt"), b"".join(e + b"\r\n" for e in good))
                self.assertEqual(self.log_records(), [expected_record(path, e) for e in bad])
                self.assertEqual(out, BANNER + b"Checking " + path + b" " + b"#" * len(bad)
                                 + b"\r\n" + BANNER)

    def test_log_that_cannot_be_opened_changes_nothing(self):
        original = b"bad\n"
        self.write("blacklist.txt", original)
        for plant, reason in self.log_refusals():
            with self.subTest(reason=reason):
                plant()
                out, _ = self.run_chklist()
                self.assertEqual(self.read("blacklist.txt"), original)
                self.assertEqual(out, b"Cannot open chklist.log: " + reason +
                                 b"; no list file is changed\r\n")
                self.assertEqual(self.leftovers(), [])
                self.clear_log()

    def log_refusals(self):
        """(what makes the log unusable, the reason the console gives) for every platform; a suite
        adds its own."""
        return [(lambda: os.mkdir(self.path("chklist.log")), b"it is not a regular file")]

    def clear_log(self):
        log = self.path("chklist.log")
        if os.path.isdir(log) and not os.path.islink(log):
            os.rmdir(log)
        elif os.path.lexists(log):
            os.remove(log)

    # Forms of the command line that ask for help on every platform; a suite adds its own.
    help_forms = ["--help", "-h"]

    def test_arguments_other_than_none_change_nothing(self):
        # Help, the version and a refusal are answered before anything in the directory is read:
        # the list stays as it was, no log and no file list appear. Only no argument cleans.
        self.write("blacklist.txt", b"bad\n")
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "CMakeLists.txt"), "rb") as project:
            version = re.search(rb"project\(chklist VERSION ([0-9.]+)", project.read()).group(1)
        refusal = re.compile(rb"^chklist: .*'(.*)': chklist takes none and cleans the current "
                             rb"directory \(cd DIR && chklist\); nothing was changed\r?\n$")
        cases = [(form, 0, b"Usage: chklist", None) for form in self.help_forms] + [
            ("--version", 0, b"chklist " + version, None),
            ("--dry", 2, None, b"--dry"),
            ("/n", 2, None, b"/n"),
            (self.root, 2, None, os.fsencode(self.root)),
            (("lists", "more"), 2, None, b"lists"),
        ]
        for arguments, code, first_line, named in cases:
            arguments = arguments if isinstance(arguments, tuple) else (arguments,)
            with self.subTest(arguments=arguments):
                process = self.run_chklist(*arguments, wait=False)
                out, err = process.communicate(timeout=300)
                self.assertEqual(process.returncode, code, err)
                if first_line is not None:
                    self.assertEqual(out.splitlines()[0], first_line)
                    self.assertEqual(err, b"")
                if named is not None:
                    self.assertEqual(out, b"")
                    match = refusal.match(err)
                    self.assertIsNotNone(match, err)
                    self.assertEqual(match.group(1), named)
                self.assertEqual(self.read("blacklist.txt"), b"bad\n")
                self.assertFalse(os.path.lexists(self.path("chklist.log")))
                self.assertEqual(self.leftovers(), [])

    def test_preview_writes_the_runs_log_to_standard_output_and_changes_nothing(self):
        # The example tree, and a list a run would not clean: a line longer than 64 MiB after an
        # entry it drops (a sparse file).
        shutil.copytree(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                     "examples", "tree"), self.root, dirs_exist_ok=True)
        self.write("long/blacklist.txt", b"bad\n")
        os.truncate(self.path("long/blacklist.txt"), 65 * 1024 * 1024)
        before = self.snapshot()
        for form in ("--dry-run", "-n"):
            with self.subTest(form=form):
                preview, err = self.run_chklist(form)
                self.assertEqual(self.snapshot(), before)
                self.assertEqual(self.leftovers(), [])
                self.assertEqual([name for name in ("chklist.log", "chklist.lock")
                                  if os.path.lexists(self.path(name))], [])
                # Standard error is no terminal: no progress, only the list left as it is.
                self.assertNotIn(BANNER, err)
                self.assertEqual(err.count(b"Checking "), 1, err)
                self.assertIn(b"Checking " + self.listed("long", "blacklist.txt") +
                              b" # not cleaned: a line is longer than 64 MiB", err)
        self.run_chklist()
        self.assertEqual(self.records_of(preview), self.log_records())
        self.assertEqual(len(self.log_records()), 8)

    def test_log_grows_from_run_to_run(self):
        self.write("blacklist.txt", b"one\n")
        self.run_chklist()
        self.write("blacklist.txt", b"two\n")
        self.run_chklist()
        path = self.listed("blacklist.txt")
        self.assertEqual(self.log_records(),
                         [expected_record(path, b"one"), expected_record(path, b"two")])

    def test_two_runs_started_together_lose_nothing(self):
        lists, entries = self.concurrent_lists, self.entries_per_list
        for index in range(lists):
            self.write("d%02d/blacklist.txt" % index,
                       b"".join(b"e%04d@example.org\nbad%04d\n" % (i, i) for i in range(entries)))
        first = self.run_chklist(wait=False)
        second = self.run_chklist(wait=False)
        for process in (first, second):
            _, err = process.communicate(timeout=300)
            self.assertEqual(process.returncode, 0, err)
        expected = b"".join(b"e%04d@example.org\r\n" % i for i in range(entries))
        for index in range(lists):
            self.assertEqual(self.read("d%02d/blacklist.txt" % index), expected)
        self.assertEqual(len(self.log_records()), lists * entries)
        self.assertEqual(self.leftovers(), [])
