"""Writing beside a target and swapping it in, and the inside-folder check."""

import os
import tempfile
import unittest
import unittest.mock

from files import snapshot, write_files

from quorvel_pack import PackError, fs


class InsideTest(unittest.TestCase):
    def test_inside_a_folder(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = os.path.join(tmp, "folder")
            write_files(folder, {"a/b.txt": "", "..x/y.txt": ""})
            write_files(tmp, {"folder2/c.txt": "", "elsewhere/d.txt": ""})
            os.symlink(os.path.join(tmp, "elsewhere"), os.path.join(folder, "out"))
            os.symlink("a", os.path.join(folder, "in"))
            os.symlink(folder, os.path.join(tmp, "alias"))
            cases = [
                (folder, True),
                (os.path.join(folder, "a", "b.txt"), True),
                (os.path.join(folder, "a", "..", "a"), True),
                (os.path.join(folder, "..x", "y.txt"), True),  # a name, not the parent
                (os.path.join(folder, "not", "yet", "made"), True),
                (os.path.join(folder, "in", "b.txt"), True),
                (os.path.join(tmp, "alias", "a"), True),
                (os.path.join(folder, ".."), False),
                (os.path.join(folder, "a", "..", ".."), False),
                (os.path.join(tmp, "folder2", "c.txt"), False),  # a longer name beside it
                (os.path.join(folder, "out"), False),
                (os.path.join(folder, "out", "d.txt"), False),
                (tmp, False),
                ("/", False),
            ]
            for path, expected in cases:
                with self.subTest(os.path.relpath(path, tmp)):
                    self.assertEqual(fs.inside(path, folder), expected)
            # The folder given through a link is the same folder.
            self.assertTrue(fs.inside(os.path.join(folder, "a"), os.path.join(tmp, "alias")))


class ReplacingFileTest(unittest.TestCase):
    def test_written_beside_then_renamed_or_removed(self):
        with tempfile.TemporaryDirectory() as tmp:
            output = os.path.join(tmp, "out.zip")
            write_files(tmp, {"out.zip": "old"})
            with fs.replacing_file(output) as partial:
                self.assertEqual(os.path.dirname(partial), tmp)
                self.assertNotEqual(partial, output)
                with open(partial, "w") as f:
                    f.write("new")
                self.assertEqual(snapshot(tmp)["out.zip"], b"old")
            self.assertEqual(snapshot(tmp), {"out.zip": b"new"})
            umask = os.umask(0)
            os.umask(umask)
            self.assertEqual(os.stat(output).st_mode & 0o777, 0o666 & ~umask)

            for raised in (OSError, KeyboardInterrupt):
                with self.subTest(raised.__name__):
                    with self.assertRaises(raised), fs.replacing_file(output) as partial:
                        with open(partial, "w") as f:
                            f.write("half")
                        raise raised()
                    self.assertEqual(snapshot(tmp), {"out.zip": b"new"})


class ReplacingDirectoryTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.root = tmp.name
        self.target = os.path.join(self.root, "target")
        write_files(self.target, {"old.txt": "old", "sub/kept.txt": "kept"})
        os.chmod(self.target, 0o750)

    def build(self, path):
        write_files(path, {"new.txt": "new"})

    def test_new_directory_swapped_in_with_the_old_mode(self):
        swapped = []
        with fs.replacing_directory(
            self.target, self.root, ".stage-", lambda: swapped.append(True)
        ) as new:
            self.assertFalse(os.path.exists(new))
            self.assertTrue(os.path.basename(os.path.dirname(new)).startswith(".stage-"))
            self.build(new)
            self.assertEqual(swapped, [])
        self.assertEqual(swapped, [True])
        self.assertEqual(snapshot(self.root), {"target": "dir", "target/new.txt": b"new"})
        self.assertEqual(os.stat(self.target).st_mode & 0o777, 0o750)

    def test_failure_leaves_the_target_and_no_staging(self):
        before = snapshot(self.root)

        def interrupted(new):
            self.build(new)
            raise KeyboardInterrupt

        def exchange_fails(*_):
            raise OSError("no room")

        cases = [
            ("while building", interrupted, KeyboardInterrupt),
            ("at the exchange", self.build, OSError),
        ]
        for name, build, raised in cases:
            with self.subTest(name), self.assertRaises(raised):
                with unittest.mock.patch("quorvel_pack.fs.exchange", exchange_fails):
                    with fs.replacing_directory(self.target, self.root, ".stage-") as new:
                        build(new)
            self.assertEqual(snapshot(self.root), before)

    def test_leftover_staging_removed(self):
        write_files(self.root, {".stage-1/target/x": "", "other/y": ""})
        os.mkdir(os.path.join(self.root, ".stage-2"))
        fs.remove_staging(self.root, ".stage-")
        self.assertEqual(sorted(os.listdir(self.root)), ["other", "target"])


class LockTest(unittest.TestCase):
    def test_a_second_run_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            target = os.path.join(tmp, "target")
            os.mkdir(target)
            with fs.locked(target):
                with self.assertRaises(PackError) as refused, fs.locked(target):
                    pass
            self.assertEqual(
                str(refused.exception), target + ": another pack-app is packing into it"
            )
            with fs.locked(target):  # released
                pass

    def test_a_directory_swapped_out_meanwhile_is_refused(self):
        # A run opens the directory, another swaps a new one into its place
        # (and holds that): the first must not go on with the old one.
        with tempfile.TemporaryDirectory() as tmp:
            target, new = os.path.join(tmp, "target"), os.path.join(tmp, "new")
            os.mkdir(target)
            os.mkdir(new)
            real_open = os.open

            def open_then_swap(path, *args):
                fd = real_open(path, *args)
                fs.exchange(new, target)
                return fd

            with unittest.mock.patch("quorvel_pack.fs.os.open", open_then_swap):
                with self.assertRaises(PackError), fs.locked(target):
                    pass


class TreeTest(unittest.TestCase):
    def test_walk_as_os_walk(self):
        with tempfile.TemporaryDirectory() as tmp:
            write_files(tmp, {"b/c/d.txt": "", "a.txt": "", "b/e.txt": "", "f/g/h.txt": ""})
            os.symlink("b", os.path.join(tmp, "link"))  # listed, not entered
            mine = [(d, sorted(ds), sorted(names)) for d, ds, names in fs.walk(tmp)]
            theirs = [(d, sorted(ds), sorted(names)) for d, ds, names in os.walk(tmp)]
            self.assertEqual(sorted(mine), sorted(theirs))
            # Pruned in place, as with os.walk.
            pruned = []
            for directory, dirs, _ in fs.walk(tmp):
                pruned.append(os.path.relpath(directory, tmp))
                dirs[:] = [d for d in dirs if d != "b"]
            self.assertEqual(pruned, [".", "f", "f/g"])

    def test_any_depth(self):
        with tempfile.TemporaryDirectory() as tmp:
            deep = os.path.join(tmp, "top", *["d"] * 1100)
            fs.make_dirs(deep)
            fs.make_dirs(deep)  # already there
            write_files(deep, {"leaf.txt": "x"})
            self.assertEqual(len(list(fs.walk(os.path.join(tmp, "top")))), 1101)
            found = fs.files_following_links(os.path.join(tmp, "top"), lambda name: False)
            self.assertEqual([("d/" * 1100 + "leaf.txt", os.path.join(deep, "leaf.txt"))], found)
            fs.remove_tree(os.path.join(tmp, "top"))
            self.assertEqual(os.listdir(tmp), [])

    def test_files_following_links(self):
        with tempfile.TemporaryDirectory() as tmp:
            write_files(tmp, {"data/b.txt": "", "data/a/c.txt": "", "data/skip.pyc": ""})
            write_files(tmp, {"elsewhere/d.txt": ""})
            os.symlink(os.path.join(tmp, "elsewhere"), os.path.join(tmp, "data", "linked"))
            os.symlink(os.path.join(tmp, "gone"), os.path.join(tmp, "data", "dangling"))
            found = fs.files_following_links(
                os.path.join(tmp, "data"), lambda n: n.endswith(".pyc")
            )
            self.assertEqual(
                [
                    ("a/c.txt", os.path.join(tmp, "data", "a", "c.txt")),
                    ("b.txt", os.path.join(tmp, "data", "b.txt")),
                    ("linked/d.txt", os.path.join(tmp, "data", "linked", "d.txt")),
                ],
                found,
            )
            # Two directories that link to each other are a loop.
            os.symlink(os.path.join(tmp, "data"), os.path.join(tmp, "elsewhere", "back"))
            with self.assertRaisesRegex(PackError, "symlinks form a loop"):
                fs.files_following_links(os.path.join(tmp, "data"), lambda n: False)

    def test_remove_tree_removes_links_not_what_they_name(self):
        with tempfile.TemporaryDirectory() as tmp:
            write_files(tmp, {"kept/x.txt": "", "gone/y.txt": ""})
            os.symlink(os.path.join(tmp, "kept"), os.path.join(tmp, "gone", "link"))
            fs.remove_tree(os.path.join(tmp, "gone"))
            fs.remove_tree(os.path.join(tmp, "never-there"))
            self.assertEqual(snapshot(tmp), {"kept": "dir", "kept/x.txt": b""})


class CopyFileTest(unittest.TestCase):
    def test_holes_stay_holes(self):
        mib = 1 << 20
        # name, (offset, bytes) written, size
        cases = [
            ("empty", [], 0),
            ("all hole", [], 64 * mib),
            ("hole first", [(32 * mib, b"tail")], 64 * mib),
            ("data, hole, data", [(0, b"head" * 1024), (60 * mib, b"tail" * 1024)], 61 * mib),
            ("no hole", [(0, b"x" * (3 * mib + 5))], 3 * mib + 5),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            source, copy = os.path.join(tmp, "source"), os.path.join(tmp, "copy")
            for name, writes, size in cases:
                with self.subTest(name):
                    with open(source, "wb") as f:
                        for offset, data in writes:
                            f.seek(offset)
                            f.write(data)
                        f.truncate(size)
                    fs.copy_file(source, copy)
                    with open(source, "rb") as a, open(copy, "rb") as b:
                        self.assertTrue(a.read() == b.read())
                    written = sum(len(data) for _, data in writes)
                    self.assertLessEqual(os.stat(copy).st_blocks * 512, written + 2 * mib)


if __name__ == "__main__":
    unittest.main()
