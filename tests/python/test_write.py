"""PackFile's changing side: every staging method landing in one commit,
refused calls, discarding, new archives, a commit killed midway and two
processes committing at once."""

import errno
import gc
import json
import os
import signal
import subprocess
import sys
import unittest
import warnings

import pack_builder as pb
import tavmerk
from pack_builder import File, Folder
from support import ScratchTest, tree_files

TREE = [Folder("docs", [File("readme.txt", b"hello\n"), File("notes.txt", pb.sample(5000, 1), compress=True)]),
        Folder("data", [File("table.csv", b"1,2\n"), File("gone", deleted=True)]),
        Folder("docs", [File("readme.txt", b"shadowed")])]


def snapshot(path, at=None):
    with tavmerk.PackFile(path, at=at) as pack:
        return {i.filename: (None if i.is_dir() else pack.read(i)) for i in pack.infolist()}


class Changes(ScratchTest):
    def test_every_change_lands_in_one_commit_and_reads_see_the_last_one(self):
        path = self.archive(TREE)
        before = snapshot(path)
        source = self.path("source.bin")
        with open(source, "wb") as f:
            f.write(pb.sample(20000, 2, text=False))
        with tavmerk.PackFile(path, "a") as pack:
            shadowed = pack.infolist()[-1]
            pack.writestr("docs/new.txt", b"new " * 100)
            pack.writestr("docs/sub/", b"")
            pack.write(source, "data/source.bin")
            with pack.open("data/stream.txt", "w") as out:
                out.write(b"streamed ")
                out.write(b"content")
            pack.open("data/unclosed.txt", "w").write(b"staged by close()")
            pack.remove("data/table.csv")
            pack.rename("docs/notes.txt", "data/notes.txt")
            pack.rename(shadowed, "data/was_shadowed.txt")
            pack.mkdir("docs")  # exists: nothing to do
            self.assertNotIn("docs/new.txt", pack.namelist())  # still staged
            self.assertEqual(snapshot(path), before)
            pack.commit()
            self.assertIn("docs/new.txt", pack.namelist())
            pack.writestr("late/one.txt", b"after the first commit")
            late = pack.open("late/two.txt", "w")
            late.write(b"still open at close()")
        got = snapshot(path)
        self.assertEqual(got["late/two.txt"], b"still open at close()")
        self.assertEqual(got["docs/new.txt"], b"new " * 100)
        self.assertEqual(got["data/source.bin"], pb.sample(20000, 2, text=False))
        self.assertEqual(got["data/stream.txt"], b"streamed content")
        self.assertEqual(got["data/unclosed.txt"], b"staged by close()")
        self.assertEqual(got["data/notes.txt"], pb.sample(5000, 1))
        self.assertEqual(got["data/was_shadowed.txt"], b"shadowed")
        self.assertEqual(got["late/one.txt"], b"after the first commit")
        self.assertIn("docs/sub/", got)
        for gone in ("data/table.csv", "docs/notes.txt"):
            self.assertNotIn(gone, got)
        with tavmerk.PackFile(path) as pack:
            self.assertIsNone(pack.testpack())
            self.assertEqual(pack.getinfo("docs/new.txt").compress_type, tavmerk.ZLIB)
            self.assertEqual(pack.getinfo("data/source.bin").compress_type, tavmerk.STORED)

    def test_compress_type_names_and_folders_as_given(self):
        path = self.archive(TREE)
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "inner"))
        with open(os.path.join(tree, "inner", "f.txt"), "wb") as f:
            f.write(b"in the tree")
        odd = os.fsdecode(b"docs/caf\xe9.txt")
        cwd = os.getcwd()
        os.chdir(self.dir)
        try:
            with tavmerk.PackFile(path, "a") as pack:
                pack.writestr("docs/forced.txt", b"a" * 1000, compress_type=tavmerk.STORED)
                pack.writestr("docs/small.txt", b"ab", compress_type=tavmerk.ZLIB)
                pack.writestr(odd, b"bytes name")
                pack.write("tree")  # the path as given, a folder with its tree
        finally:
            os.chdir(cwd)
        with tavmerk.PackFile(path) as pack:
            self.assertEqual(pack.getinfo("docs/forced.txt").compress_type, tavmerk.STORED)
            self.assertEqual(pack.getinfo("docs/small.txt").compress_type, tavmerk.ZLIB)
            self.assertEqual(pack.read(odd), b"bytes name")
            self.assertIn(os.fsencode(odd), [os.fsencode(n) for n in pack.namelist()])
            self.assertEqual(pack.read("tree/inner/f.txt"), b"in the tree")

    def test_later_changes_see_a_rename_onto_the_other_method(self):
        # readme.txt (stored) onto notes.txt (zlib): its content is stored
        # again at the commit, and what follows in the change set acts on it.
        cases = (("writestr", lambda pack: pack.writestr("docs/notes.txt", b"new"), {"docs/notes.txt": b"new"}),
                 ("remove", lambda pack: pack.remove("docs/notes.txt"), {"docs/notes.txt": None}),
                 ("rename", lambda pack: pack.rename("docs/notes.txt", "data/moved"),
                  {"data/moved": b"hello\n", "docs/notes.txt": None}))
        for name, then, want in cases:
            path = self.archive(TREE, name="%s.pak" % name)
            with tavmerk.PackFile(path, "a") as pack:
                pack.rename("docs/readme.txt", "docs/notes.txt")
                then(pack)
            got = snapshot(path)
            self.assertEqual({n: got.get(n) for n in want}, want, name)
            self.assertEqual(got["docs/readme.txt"], b"shadowed", name)

    def test_a_packinfo_reaches_only_its_own_record_after_another_commit(self):
        # Another PackFile commits between infolist() and the PackInfo's
        # use: a new file moves the places after it, a new table.csv is
        # another record.
        for other, then, error in (("docs/new.txt", "remove", None), ("docs/new.txt", "extract", None),
                                   ("data/table.csv", "remove", KeyError), ("data/table.csv", "rename", KeyError),
                                   ("data/table.csv", "extract", KeyError)):
            case = "%s after %s" % (then, other)
            path = self.archive(TREE, name="%s-%s.pak" % (then, other.replace("/", "_")))
            with tavmerk.PackFile(path, "a") as first:
                first.mkdir("room")  # a first commit rewrites it with room: records stay where they are
            pack = tavmerk.PackFile(path, "a")
            info = pack.getinfo("data/table.csv")
            with tavmerk.PackFile(path, "a") as meanwhile:
                meanwhile.writestr(other, b"changed")
            out = self.path("out-%s-%s" % (then, other.replace("/", "_")))
            try:
                if then == "extract":
                    pack.extract(info, out)
                else:
                    (pack.remove(info) if then == "remove" else pack.rename(info, "data/moved"))
                    pack.commit()
                self.assertIsNone(error, case)
            except KeyError:
                self.assertIs(error, KeyError, case)
            finally:
                pack._discard_and_close()
            got = snapshot(path)
            table = os.path.join(out, "data", "table.csv")
            if then == "extract":
                self.assertEqual(os.path.exists(table) and open(table, "rb").read(),
                                 b"1,2\n" if error is None else False, case)
            else:
                self.assertEqual(got.get("data/table.csv"), None if error is None else b"changed", case)
            self.assertEqual(got.get("data/moved"), None, case)
            self.assertEqual(got["docs/notes.txt"], pb.sample(5000, 1), case)

    def test_refused_calls_raise_at_once_and_leave_the_rest_staged(self):
        path = self.archive(TREE)
        before = snapshot(path)
        with tavmerk.PackFile(path, "a") as pack:
            pack.writestr("docs/kept.txt", b"kept")
            for name in ("docs/../x", "docs//x", "/docs/x", "docs/./x", "docs\\x", "", "x.txt", "docs/nul\0name",
                         "docs/readme.txt/inner"):
                with self.assertRaises(ValueError, msg=name):
                    pack.writestr(name, b"x")
                with self.assertRaises(ValueError, msg=name):
                    pack.open(name, "w")
            with self.assertRaises(ValueError):
                pack.mkdir("docs/readme.txt")
            with self.assertRaises(ValueError):
                pack.rename("docs/readme.txt", "docs/a/../b")
            with self.assertRaises(ValueError):
                pack.writestr("docs/x", b"", compress_type=8)
            for missing in ("nothing.txt", "data/gone"):
                with self.assertRaises(KeyError):
                    pack.remove(missing)
                with self.assertRaises(KeyError):
                    pack.rename(missing, "docs/y")
            self.assertEqual(snapshot(path), before)
        self.assertEqual(snapshot(path)["docs/kept.txt"], b"kept")

    @unittest.skipUnless(hasattr(os, "mkfifo") and hasattr(os, "symlink"), "needs FIFOs and links")
    def test_write_of_a_folder_leaves_out_links_and_special_files_with_a_warning(self):
        path = self.archive(TREE)
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "inner"))
        with open(os.path.join(tree, "inner", "f.txt"), "wb") as f:
            f.write(b"kept")
        os.mkfifo(os.path.join(tree, "fifo"))
        os.symlink(os.path.join(tree, "inner", "f.txt"), os.path.join(tree, "link.txt"))
        os.symlink(tree, os.path.join(tree, "inner", "loop"))
        os.symlink("itself", os.path.join(tree, "itself"))
        with tavmerk.PackFile(path, "a") as pack:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                pack.write(tree, "docs/tree")
        left_out = sorted(str(w.message).split(os.sep)[-1] for w in caught)
        self.assertEqual(left_out, ["fifo: not a regular file, left out", "itself: a link, left out",
                                    "link.txt: a link, left out", "loop: a link, left out"])
        got = snapshot(path)
        self.assertEqual(got["docs/tree/inner/f.txt"], b"kept")
        self.assertEqual(sorted(n for n in got if n.startswith("docs/tree")),
                         ["docs/tree/", "docs/tree/inner/", "docs/tree/inner/f.txt"])

    @unittest.skipUnless(hasattr(os, "mkfifo"), "needs FIFOs")
    def test_a_system_failure_at_the_commit_carries_a_real_errno(self):
        path = self.archive(TREE)
        source = self.path("soon.fifo")
        with open(source, "wb") as f:
            f.write(b"a file when staged")
        pack = tavmerk.PackFile(path, "a")
        pack.write(source, "docs/soon")
        os.remove(source)
        os.mkfifo(source)
        with self.assertRaises(OSError) as raised:
            pack.close()
        self.assertEqual(raised.exception.errno, errno.EINVAL)

    def test_records_below_a_top_level_folder_with_no_name_are_named_by_their_directory_path(self):
        path = self.archive([Folder("", [File("x", b"in no name"), Folder("sub", [File("y", b"deep")])]),
                             Folder("docs", [File("x", b"docs x")])])
        with tavmerk.PackFile(path, "a") as pack:
            self.assertEqual(pack.namelist(), ["/", "/x", "/sub/", "/sub/y", "docs/", "docs/x"])
            self.assertEqual((pack.read("/x"), pack.read("/sub/y")), (b"in no name", b"deep"))
            with self.assertRaises(KeyError):
                pack.read("x")
            pack.writestr("/x", b"written")
            pack.rename("/sub/y", "docs/y")
        self.assertEqual(snapshot(path), {"/": None, "/x": b"written", "/sub/": None, "docs/": None,
                                          "docs/x": b"docs x", "docs/y": b"deep"})
        with tavmerk.PackFile(path, "a") as pack:
            pack.remove("/x")
        self.assertNotIn("/x", snapshot(path))

    def test_failed_commit_in_close_raises_and_leaves_the_archive(self):
        path = self.archive(TREE)
        before = snapshot(path)
        source = self.path("vanishing")
        with open(source, "wb") as f:
            f.write(b"soon gone")
        pack = tavmerk.PackFile(path, "a")
        pack.writestr("docs/a.txt", b"a")
        pack.write(source, "docs/vanishing")
        os.remove(source)
        with self.assertRaises(FileNotFoundError):
            pack.close()
        with self.assertRaises(ValueError):
            pack.namelist()  # closed all the same
        self.assertEqual(snapshot(path), before)

    def test_cancelled_commit_leaves_the_archive_and_keeps_the_changes(self):
        path = self.archive(TREE)
        before = snapshot(path)
        with tavmerk.PackFile(path, "a") as pack:
            for i in range(20):
                pack.writestr("docs/f%d" % i, pb.sample(10000, i))
            with self.assertRaises(tavmerk.Cancelled):
                pack.commit(progress=lambda done, records: False)
            self.assertEqual(snapshot(path), before)

            def interrupt(done, records):
                raise KeyboardInterrupt

            with self.assertRaises(KeyboardInterrupt):
                pack.commit(progress=interrupt)
            self.assertEqual(snapshot(path), before)
            calls = []
            pack.commit(progress=lambda done, records: calls.append(records))
            self.assertTrue(calls)
        self.assertEqual(snapshot(path)["docs/f3"], pb.sample(10000, 3))


PLAIN = [Folder("docs", [File("readme.txt", b"hello\n"), File("notes.txt", pb.sample(5000, 1), compress=True)]),
         Folder("data", [File("table.csv", b"1,2\n")])]


class Versions(ScratchTest):
    def test_each_commit_is_a_version_read_and_undone_as_the_tool_logs_it(self):
        path = self.archive(PLAIN)
        original = snapshot(path)
        with tavmerk.PackFile(path, "a") as pack:
            pack.writestr("docs/first.txt", b"first")  # written anew with room, the original kept as version 0
        first = snapshot(path)
        with tavmerk.PackFile(path, "a") as pack:
            pack.writestr("docs/readme.txt", b"changed")
            pack.remove("data/table.csv")
            pack.writestr("data/new.txt", b"new")
        second = snapshot(path)
        with tavmerk.PackFile(path) as pack:
            versions = pack.versions()
        log = subprocess.run([os.environ["TAVMERK_UTIL_BINARY"], "log", "--json", path], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, check=True)
        self.assertEqual([v._asdict() for v in versions], [json.loads(line) for line in log.stdout.splitlines()])
        self.assertEqual([(v.version, v.files, v.added, v.changed, v.removed, v.summary, v.data_kept)
                          for v in versions],
                         [(2, 4, 1, 1, 1, "python commit", True), (1, 4, 1, 0, 0, "python commit", True),
                          (0, 3, None, None, None, "", True)])
        self.assertEqual(snapshot(path, 0), original)
        for at in (1, "1", "~1"):
            self.assertEqual(snapshot(path, at), first, msg=repr(at))
        for at in (2, "~0"):
            self.assertEqual(snapshot(path, at), second, msg=repr(at))
        with tavmerk.PackFile(path, at="~1") as old:
            self.assertIsNone(old.testpack())
            old.extractall(self.path("out"))
            self.assertEqual([v.version for v in old.versions()], [2, 1, 0])
            with self.assertRaises(ValueError):
                old.writestr("docs/x", b"x")
            with self.assertRaises(ValueError):
                old.undo()
        self.assertEqual(tree_files(self.path("out")), {k: v for k, v in first.items() if v is not None})

        with tavmerk.PackFile(path, "a") as pack:
            pack.undo()
            self.assertEqual(pack.namelist(), list(first))
            now = pack.versions()[0]
            self.assertEqual((now.version, now.files, now.added, now.changed, now.removed, now.summary),
                             (3, 4, 1, 1, 1, "undo to version 1"))
        self.assertEqual(snapshot(path), first)
        with tavmerk.PackFile(path, "a") as pack:
            pack.undo(to=2)
        self.assertEqual(snapshot(path), second)

    def test_versions_that_cannot_be_had_and_calls_the_mode_refuses(self):
        path = self.archive(PLAIN)
        with open(path, "rb") as f:
            before = f.read()
        for at, error in (("~1", KeyError), (1, KeyError), ("x", ValueError), ("~", ValueError), ("", ValueError),
                          (-1, ValueError), (1.0, TypeError), (True, TypeError)):
            with self.assertRaises(error, msg=repr(at)):
                tavmerk.PackFile(path, at=at)
        with self.assertRaises(ValueError):
            tavmerk.PackFile(path, "a", at=0)
        with tavmerk.PackFile(path) as pack:
            self.assertEqual([v.version for v in pack.versions()], [0])
            with self.assertRaises(ValueError):
                pack.undo()
        with tavmerk.PackFile(path, "a") as pack:
            with self.assertRaises(KeyError):
                pack.undo()  # no version before the first
            pack.writestr("docs/x", b"x")
            with self.assertRaises(ValueError):
                pack.undo(to=0)  # changes staged
            with open(path, "rb") as f:
                self.assertEqual(f.read(), before)
        new = self.path("new.pak")
        with tavmerk.PackFile(new, "x") as pack:
            self.assertEqual(pack.versions(), [])
            with self.assertRaises(ValueError):
                pack.undo()
            pack.writestr("docs/a", b"a")
            pack.commit()
            self.assertEqual([v.version for v in pack.versions()], [0])


class Lifecycle(ScratchTest):
    def test_exceptions_discard_and_new_archives_appear_only_when_closed(self):
        path = self.archive(TREE)
        before = snapshot(path)
        for exception in (RuntimeError, KeyboardInterrupt):
            with self.assertRaises(exception):
                with tavmerk.PackFile(path, "a") as pack:
                    pack.writestr("docs/never.txt", b"x")
                    raise exception()
        self.assertEqual(snapshot(path), before)
        with self.assertRaises(FileExistsError):
            tavmerk.PackFile(path, "x")
        for mode in ("x", "a"):
            new = self.path("new-%s.pak" % mode)
            with self.assertRaises(RuntimeError):
                with tavmerk.PackFile(new, mode) as pack:
                    pack.writestr("a/b.txt", b"b")
                    raise RuntimeError()
            self.assertFalse(os.path.exists(new))
            with tavmerk.PackFile(new, mode) as pack:
                pack.writestr("a/b.txt", b"b")
                self.assertFalse(os.path.exists(new))
            self.assertEqual(snapshot(new), {"a/": None, "a/b.txt": b"b"})
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.pak", "new-a.pak", "new-x.pak"])

    def test_unclosed_packfile_discards_with_a_resource_warning(self):
        path = self.archive(TREE)
        before = snapshot(path)
        pack = tavmerk.PackFile(path, "a")
        pack.writestr("docs/forgotten.txt", b"x")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del pack
            gc.collect()
        self.assertTrue(any(issubclass(w.category, ResourceWarning) for w in caught))
        self.assertEqual(snapshot(path), before)

    def test_create_from_a_folder(self):
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "top", "deep"))
        with open(os.path.join(tree, "top", "deep", "x.txt"), "wb") as f:
            f.write(b"x" * 3000)
        tavmerk.create(self.path("made.pak"), tree)
        self.assertEqual(snapshot(self.path("made.pak")),
                         {"top/": None, "top/deep/": None, "top/deep/x.txt": b"x" * 3000})
        with self.assertRaises(FileExistsError):
            tavmerk.create(self.path("made.pak"), tree)
        with open(os.path.join(tree, "loose.txt"), "wb") as f:
            f.write(b"a file at the top")
        with self.assertRaises(ValueError):
            tavmerk.create(self.path("other.pak"), tree)


# Stages 40 files and commits them; killed after `delay` seconds of the
# commit (negative: never), or from its progress at record `at` (0: never).
CHILD = r"""
import os, signal, sys, threading, tavmerk
path, name, delay, at = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
def progress(done, records):
    if at and records >= at:
        os.kill(os.getpid(), signal.SIGKILL)
pack = tavmerk.PackFile(path, "a")
for i in range(40):
    pack.writestr("%s/f%d" % (name, i), os.urandom(200000))
if delay >= 0:
    threading.Timer(delay, lambda: os.kill(os.getpid(), signal.SIGKILL)).start()
pack.commit(progress)
pack.close()
"""


class Processes(ScratchTest):
    def child(self, path, name, delay=-1.0, at=0):
        return subprocess.Popen([sys.executable, "-c", CHILD, path, name, str(delay), str(at)])

    def test_a_commit_killed_midway_leaves_the_old_archive_or_the_new(self):
        if not hasattr(signal, "SIGKILL"):
            self.skipTest("no SIGKILL")
        path = self.archive(TREE)
        old = snapshot(path)
        # (delay, record): killed from its progress must leave the old; at
        # a moment in the commit, either.
        for delay, at, may_land in ((-1, 1, False), (-1, 39, False), (0.0, 0, True), (0.02, 0, True),
                                    (0.05, 0, True), (0.1, 0, True), (0.2, 0, True)):
            child = self.child(path, "k%d_%d" % (int(delay * 1000), at), delay, at)
            child.wait()
            self.assertEqual(child.returncode, -signal.SIGKILL)
            now = snapshot(path)
            added = [n for n in now if n not in old]
            self.assertIn(len(added), (0, 41) if may_land else (0,), (delay, at))
            self.assertEqual({n: now[n] for n in old}, old)
            with tavmerk.PackFile(path) as pack:
                self.assertIsNone(pack.testpack())
            old = now

    def test_two_processes_committing_at_once_both_land(self):
        path = self.archive(TREE)
        children = [self.child(path, name) for name in ("one", "two")]
        for child in children:
            self.assertEqual(child.wait(), 0)
        names = snapshot(path)
        for name in ("one", "two"):
            self.assertEqual(sum(1 for n in names if n.startswith(name + "/f")), 40)


class Example(ScratchTest):
    def test_replace_txt_edits_every_txt_under_the_folder_in_one_commit(self):
        path = self.archive([Folder("docs", [File("a.txt", b"a sample"), File("b.bin", b"sample"),
                                             Folder("deep", [File("c.txt", pb.sample(9000, 3) + b"sample",
                                                                  compress=True)])]),
                             Folder("other", [File("d.txt", b"sample")])])
        script = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "replace_txt.py")
        subprocess.run([sys.executable, script, path, "docs", "sample", "example"], check=True,
                       stdout=subprocess.DEVNULL)
        got = snapshot(path)
        self.assertEqual(got["docs/a.txt"], b"a example")
        self.assertEqual(got["docs/deep/c.txt"], pb.sample(9000, 3).replace(b"sample", b"example") + b"example")
        self.assertEqual((got["docs/b.bin"], got["other/d.txt"]), (b"sample", b"sample"))
